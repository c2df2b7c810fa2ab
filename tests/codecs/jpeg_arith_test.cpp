// Arithmetic-coded JPEG scans against libjpeg-turbo: cjpeg -arithmetic
// streams (sequential, progressive, with restarts) and streams with
// non-default conditioning made through the library, decoded by us and
// compared with djpeg -grayscale, which gives the Y plane exactly.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <jpeglib.h>

#include "jpeg_decoder_test_util.h"

using namespace quillon;
using namespace quillon::test;

namespace {

// A stream made through libjpeg-turbo with the given arithmetic
// conditioning for every table (DC bounds L and U, AC value Kx).
std::vector<uint8_t> encodeWithConditioning(const Pnm& pic, bool grey, bool progressive, int lower, int upper,
                                            int kx, int restartRows)
{
    jpeg_compress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&cinfo);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &buffer, &size);
    cinfo.image_width = pic.width;
    cinfo.image_height = pic.height;
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    if (grey) jpeg_set_colorspace(&cinfo, JCS_GRAYSCALE);
    jpeg_set_quality(&cinfo, 92, TRUE);
    cinfo.arith_code = TRUE;
    for (int i = 0; i < NUM_ARITH_TBLS; ++i) {
        cinfo.arith_dc_L[i] = uint8_t(lower);
        cinfo.arith_dc_U[i] = uint8_t(upper);
        cinfo.arith_ac_K[i] = uint8_t(kx);
    }
    if (progressive) jpeg_simple_progression(&cinfo);
    cinfo.restart_in_rows = restartRows;
    jpeg_start_compress(&cinfo, TRUE);
    std::vector<uint8_t> row(size_t(pic.width) * 3);
    while (cinfo.next_scanline < cinfo.image_height) {
        for (uint32_t x = 0; x < pic.width; ++x)
            for (uint32_t c = 0; c < 3; ++c) row[x * 3 + c] = uint8_t(pic.at(x, cinfo.next_scanline, c));
        JSAMPROW rows[1] = {row.data()};
        jpeg_write_scanlines(&cinfo, rows, 1);
    }
    jpeg_finish_compress(&cinfo);
    std::vector<uint8_t> out(buffer, buffer + size);
    jpeg_destroy_compress(&cinfo);
    std::free(buffer);
    return out;
}

// Offset of the first segment with the given marker code, or 0.
size_t findMarker(const std::vector<uint8_t>& jpg, uint8_t code)
{
    for (size_t i = 2; i + 3 < jpg.size();) {
        if (jpg[i] != 0xFF) return 0;
        if (jpg[i + 1] == code) return i;
        if (jpg[i + 1] == 0xDA) return 0;
        i += 2 + ((jpg[i + 2] << 8) | jpg[i + 3]);
    }
    return 0;
}

class JpegArith : public JpegToolsTest {};

struct Sampling {
    const char* name;
    const char* args;
};
const Sampling kSamplings[] = {{"444", "-sample 1x1"}, {"420", "-sample 2x2"}, {"grey", "-grayscale"}};

} // namespace

// Every AC magnitude of 2 or more, every DC context and the probability
// estimation run through these: any slip shows as a wrong sample.
TEST_F(JpegArith, SequentialAndProgressiveWithRestartsMatchDjpeg)
{
    struct Size {
        uint32_t w, h;
    };
    for (const Sampling& s : kSamplings)
        for (Size size : {Size{1, 1}, Size{17, 9}, Size{203, 131}}) {
            Pnm pic = photoCrop(size.w, size.h);
            for (const char* coding : {"", "-progressive"})
                for (const char* extra : {"", "-restart 1", "-restart 3B", "-quality 98"}) {
                    std::string what = std::string(s.name) + " " + std::to_string(size.w) + "x" +
                                       std::to_string(size.h) + " " + coding + " " + extra;
                    auto jpg = cjpegBytes(dir, pic, std::string("-arithmetic ") + s.args + " " + coding + " " + extra);
                    ASSERT_NE(findMarker(jpg, coding[0] ? 0xCA : 0xC9), 0u) << what;
                    expectExactY(dir, jpg, false, what);
                    expectExactY(dir, jpg, true, what + " 1/8");
                }
        }
}

// A large progressive colour image: many MCU rows, chroma on AC table 1.
TEST_F(JpegArith, LargeProgressiveImage)
{
    Pnm pic = photoCrop(1100, 700, 5, 9);
    auto jpg = cjpegBytes(dir, pic, "-arithmetic -progressive -sample 2x1 -quality 90");
    expectExactY(dir, jpg, false, "progressive 1100x700");
    auto seq = cjpegBytes(dir, pic, "-arithmetic -sample 2x2 -quality 90 -restart 2");
    expectExactY(dir, seq, false, "sequential 1100x700");
}

// Conditioning other than the defaults (L = 2, U = 5, Kx = 10) arrives in a
// DAC segment and changes the DC contexts and the AC category bins.
TEST_F(JpegArith, NonDefaultConditioningFromDac)
{
    Pnm pic = photoCrop(150, 97, 120, 40);
    for (bool grey : {false, true})
        for (bool progressive : {false, true})
            for (int restart : {0, 2}) {
                std::string what = std::string(grey ? "grey" : "colour") + (progressive ? " progressive" : "") +
                                   " restart " + std::to_string(restart);
                std::vector<uint8_t> jpg = encodeWithConditioning(pic, grey, progressive, 2, 5, 10, restart);
                // The conditioning is really in the stream: L/U byte 0x52
                // for table 0 and Kx 10 for AC table 0.
                bool sawDc = false, sawAc = false;
                for (size_t i = 0; i + 5 < jpg.size(); ++i) {
                    if (jpg[i] != 0xFF || jpg[i + 1] != 0xCC) continue;
                    size_t len = (jpg[i + 2] << 8) | jpg[i + 3];
                    for (size_t j = i + 4; j + 1 < i + 2 + len && j + 1 < jpg.size(); j += 2) {
                        if (jpg[j] == 0x00 && jpg[j + 1] == 0x52) sawDc = true;
                        if (jpg[j] == 0x10 && jpg[j + 1] == 10) sawAc = true;
                    }
                }
                EXPECT_TRUE(sawDc && sawAc) << what;
                expectExactY(dir, jpg, false, what);
                expectExactY(dir, jpg, true, what + " 1/8");
            }
}

TEST_F(JpegArith, DacWithLowerBoundAboveUpperIsCorrupt)
{
    Pnm pic = photoCrop(40, 24);
    std::vector<uint8_t> jpg = encodeWithConditioning(pic, true, false, 2, 5, 10, 0);
    size_t dac = findMarker(jpg, 0xCC);
    ASSERT_NE(dac, 0u);
    ASSERT_EQ(jpg[dac + 4], 0x00);
    jpg[dac + 5] = 0x25; // U = 2, L = 5
    JpegDecodeOptions o;
    o.convert = false;
    EXPECT_EQ(jpegDecodeBytes(jpg, o).rc, RC_CORRUPT_FILE);
    jpg[dac + 5] = 0x55; // L = U is fine
    EXPECT_EQ(jpegDecodeBytes(jpg, o).rc, RC_OK);
}

// Where each scan's entropy-coded data lies: from the end of its SOS
// segment up to the next marker other than a restart marker.
std::vector<std::pair<size_t, size_t>> entropyRanges(const std::vector<uint8_t>& jpg)
{
    std::vector<std::pair<size_t, size_t>> ranges;
    size_t i = 2;
    while (i + 3 < jpg.size()) {
        if (jpg[i] != 0xFF) return ranges;
        uint8_t code = jpg[i + 1];
        if (code == 0xD9) break;
        size_t next = i + 2 + ((jpg[i + 2] << 8) | jpg[i + 3]);
        if (code == 0xDA) {
            size_t end = next;
            while (end + 1 < jpg.size() &&
                   !(jpg[end] == 0xFF && jpg[end + 1] != 0 && (jpg[end + 1] < 0xD0 || jpg[end + 1] > 0xD7)))
                ++end;
            ranges.push_back({next, end});
            next = end;
        }
        i = next;
    }
    return ranges;
}

// Streams cut inside their entropy-coded data, or with a marker there: the
// decoder reads zeros from there on, leaves the marker unread and never
// reads past the input (the helper decodes from an exact-size copy).
// libjpeg does the same, so jpegtran's copy of such a stream holds the
// coefficients we must have decoded: both files must decode alike.
TEST_F(JpegArith, CutStreamsDecodeAsLibjpegReadsThem)
{
    QUILLON_REQUIRE_TOOL("jpegtran");
    Pnm pic = photoCrop(160, 120, 300, 200);
    for (const char* args : {"-arithmetic -grayscale", "-arithmetic -sample 2x2 -restart 2",
                             "-arithmetic -progressive -sample 2x2"}) {
        auto jpg = cjpegBytes(dir, pic, args);
        ASSERT_FALSE(jpg.empty());
        auto ranges = entropyRanges(jpg);
        ASSERT_FALSE(ranges.empty()) << args;
        std::vector<size_t> cuts;
        for (const auto& r : ranges) {
            if (r.second - r.first < 8) continue;
            cuts.push_back(r.first + (r.second - r.first) / 3);
            cuts.push_back(r.first + (r.second - r.first) * 4 / 5);
        }
        // Each cut twice: the data ending there, and a marker there with
        // the rest of the data after it (never to be read). Not with
        // restarts: a restart steps past whatever marker comes next, where
        // libjpeg would leave a marker that is not a restart marker unread.
        const bool restarts = std::strstr(args, "restart") != nullptr;
        for (size_t variant = 0; variant < 2 * cuts.size(); variant += restarts ? 2 : 1) {
            size_t cut = cuts[variant / 2];
            std::vector<uint8_t> part(jpg.begin(), jpg.begin() + long(cut));
            if (variant & 1) {
                part = jpg;
                part[cut] = 0xFF;
                part[cut + 1] = 0xD9;
            }
            std::string what = std::string(args) + (variant & 1 ? " marker at " : " cut at ") + std::to_string(cut);
            JpegDecodeOptions o;
            o.convert = false;
            JpegOutput ours = jpegDecodeBytes(part, o);
            // Arithmetic data before a marker cannot be told from a whole
            // scan (the decoder reads zeros there by design); data that the
            // file ends in is missing.
            if (variant & 1) ASSERT_TRUE(ours.rc == RC_OK || ours.rc == RC_CORRUPT_FILE) << what;
            else ASSERT_EQ(ours.rc, RC_CORRUPT_FILE) << what;
            writeFile(dir / "cut.jpg", part);
            // jpegtran warns about the damage (status 2) but copies.
            int status = run("jpegtran -arithmetic -copy none -outfile " + shellQuote((dir / "whole.jpg").string()) +
                             " " + shellQuote((dir / "cut.jpg").string()) + " 2>/dev/null");
            ASSERT_TRUE(status == 0 || status == 2) << what;
            JpegOutput copy = jpegDecodeBytes(readFile(dir / "whole.jpg"), o);
            ASSERT_EQ(copy.rc, RC_OK) << what;
            ASSERT_EQ(copy.pixels.size(), ours.pixels.size()) << what;
            // The image itself; the padding of the last MCUs is coded
            // differently in the copy.
            size_t mismatches = 0;
            for (uint32_t y = 0; y < ours.height; ++y)
                for (uint32_t x = 0; x < ours.width; ++x)
                    for (uint32_t c = 0; c < ours.bpp; ++c) mismatches += ours.at(x, y, c) != copy.at(x, y, c);
            EXPECT_EQ(mismatches, 0u) << what;
        }
    }
}
