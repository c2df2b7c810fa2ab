// The JPEG decoder on damaged streams: a lost restart marker, data that runs
// out under a large frame, and streams that lack only their end marker.
#include <gtest/gtest.h>

#include <cstring>

#include "jpeg_decoder_test_util.h"

using namespace quillon;
using namespace quillon::test;

namespace {

using Bytes = std::vector<uint8_t>;

class JpegDamage : public JpegToolsTest {};

// djpeg's grey plane of a damaged stream (it warns and exits with 2).
bool djpegDamaged(const TempDir& dir, const Bytes& jpg, Pnm& out)
{
    writeFile(dir / "damaged.jpg", jpg);
    std::filesystem::remove(dir / "damaged.pgm");
    const int status = run("djpeg -grayscale -pnm -outfile " + shellQuote((dir / "damaged.pgm").string()) + " " +
                           shellQuote((dir / "damaged.jpg").string()) + " 2>/dev/null");
    return (status == 0 || status == 2) && readPnm(dir / "damaged.pgm", out);
}

// Offsets of every restart marker in a stream (the 0xFF).
std::vector<size_t> restartMarkers(const Bytes& jpg)
{
    std::vector<size_t> at;
    for (size_t i = 2; i + 1 < jpg.size(); ++i)
        if (jpg[i] == 0xFF && jpg[i + 1] >= 0xD0 && jpg[i + 1] <= 0xD7) at.push_back(i);
    return at;
}

Bytes without(const Bytes& jpg, size_t at, size_t count)
{
    Bytes out(jpg.begin(), jpg.begin() + long(at));
    out.insert(out.end(), jpg.begin() + long(at + count), jpg.end());
    return out;
}

TEST_F(JpegDamage, LostRestartMarkerCostsOneIntervalAsInDjpeg)
{
    // One restart marker cut out: djpeg loses the interval after it and
    // finds every later one in its place; so must we, for grey and colour
    // frames, Huffman and arithmetic, one or two MCUs per interval. The lost
    // Huffman interval is left level 128, where libjpeg decodes its first
    // MCU from zero bits; arithmetic decoders both read zeros there.
    struct Case {
        const char* args;
        uint32_t intervalPixels;
    };
    const Pnm pic = photoCrop(96, 64, 200, 120);
    for (const Case& k : {Case{"-grayscale -restart 1B", 64}, Case{"-sample 2x2 -restart 2B", 512},
                          Case{"-grayscale -restart 3B -arithmetic", 0}, Case{"-sample 2x1 -restart 1B -arithmetic", 0}}) {
        const char* args = k.args;
        const Bytes jpg = cjpegBytes(dir, pic, args);
        ASSERT_FALSE(jpg.empty()) << args;
        const std::vector<size_t> markers = restartMarkers(jpg);
        ASSERT_GT(markers.size(), 8u) << args;
        for (size_t which : {size_t(3), markers.size() / 2, markers.size() - 1}) {
            const Bytes damaged = without(jpg, markers[which], 2);
            const std::string what = std::string(args) + ", marker " + std::to_string(which) + " lost";
            Pnm ref;
            ASSERT_TRUE(djpegDamaged(dir, damaged, ref)) << what;
            JpegDecodeOptions o;
            o.convert = false;
            const JpegOutput ours = jpegDecodeBytes(damaged, o);
            EXPECT_EQ(ours.rc, RC_CORRUPT_FILE) << what;
            size_t off = 0;
            for (uint32_t y = 0; y < ref.height; ++y)
                for (uint32_t x = 0; x < ref.width; ++x) off += ours.at(x, y, 0) != ref.at(x, y, 0);
            EXPECT_LE(off, k.intervalPixels) << what;
        }
    }
}

TEST_F(JpegDamage, RestartMarkersOutOfOrderAreSkippedOrTakenLikeDjpeg)
{
    // A stray earlier restart marker inserted, and one marker renumbered
    // far off: djpeg skips the first and takes the second for the one due.
    const Pnm pic = photoCrop(64, 48, 20, 30);
    const Bytes jpg = cjpegBytes(dir, pic, "-grayscale -restart 1B");
    ASSERT_FALSE(jpg.empty());
    const std::vector<size_t> markers = restartMarkers(jpg);
    ASSERT_GT(markers.size(), 10u);
    Bytes stray = jpg;
    const uint8_t earlier = uint8_t(0xD0 + ((jpg[markers[5] + 1] - 0xD0 + 7) & 7));
    stray.insert(stray.begin() + long(markers[5]), {0xFF, earlier});
    Bytes far = jpg;
    far[markers[6] + 1] = uint8_t(0xD0 + ((jpg[markers[6] + 1] - 0xD0 + 4) & 7));
    for (const Bytes* damaged : {&stray, &far}) {
        Pnm ref;
        ASSERT_TRUE(djpegDamaged(dir, *damaged, ref));
        const JpegOutput ours = jpegDecodeBytes(*damaged);
        size_t off = 0;
        for (uint32_t y = 0; y < ref.height; ++y)
            for (uint32_t x = 0; x < ref.width; ++x) off += ours.at(x, y, 0) != ref.at(x, y, 0);
        EXPECT_EQ(off, 0u) << (damaged == &stray ? "stray" : "far");
    }
}

TEST_F(JpegDamage, StreamsLackingOnlyTheirEndMarkerAreWhole)
{
    // Cameras and cut downloads leave out the end marker after a complete
    // last scan: the picture is whole and the decode a success. One byte
    // less and it is missing data.
    const Pnm pic = photoCrop(80, 56, 10, 10);
    for (const char* args : {"-sample 2x2", "-progressive -sample 2x1", "-grayscale -restart 2", "-arithmetic",
                             "-arithmetic -progressive"}) {
        const Bytes jpg = cjpegBytes(dir, pic, args);
        ASSERT_FALSE(jpg.empty()) << args;
        const JpegOutput whole = jpegDecodeBytes(jpg);
        ASSERT_EQ(whole.rc, RC_OK) << args;
        const Bytes noEnd(jpg.begin(), jpg.end() - 2);
        const JpegOutput ours = jpegDecodeBytes(noEnd);
        // Arithmetic data read up to the end of the file cannot be told
        // complete: the coder leaves out the zero bytes that end it.
        EXPECT_EQ(ours.rc, std::strstr(args, "arithmetic") ? RC_CORRUPT_FILE : RC_OK) << args;
        EXPECT_TRUE(ours.pixels == whole.pixels) << args;
        if (!std::strstr(args, "arithmetic")) {
            const Bytes shorter(jpg.begin(), jpg.end() - 3);
            EXPECT_EQ(jpegDecodeBytes(shorter).rc, RC_CORRUPT_FILE) << args;
        }
    }
}

TEST_F(JpegDamage, LargeFrameOverAFewBytesIsFilledAndReportedMissing)
{
    // A header of 4096 x 4096 before a scan of a few bytes: everything past
    // them reads as blocks without coefficients (level 128, as djpeg fills),
    // and the decode reports the missing data.
    const Pnm pic = photoCrop(16, 16);
    for (const char* args : {"-grayscale", "-sample 2x2", "-progressive -grayscale", "-grayscale -restart 1"}) {
        Bytes jpg = cjpegBytes(dir, pic, args);
        ASSERT_FALSE(jpg.empty()) << args;
        size_t frame = 2;
        while (frame + 4 < jpg.size() && !(jpg[frame] == 0xFF && (jpg[frame + 1] & 0xF0) == 0xC0 &&
                                           jpg[frame + 1] != 0xC4 && jpg[frame + 1] != 0xCC))
            frame += 2 + ((jpg[frame + 2] << 8) | jpg[frame + 3]);
        ASSERT_LT(frame + 9, jpg.size()) << args;
        jpg[frame + 5] = 0x10, jpg[frame + 6] = 0x00;  // height 4096
        jpg[frame + 7] = 0x10, jpg[frame + 8] = 0x00;  // width 4096
        const JpegOutput ours = jpegDecodeBytes(jpg);
        EXPECT_EQ(ours.rc, RC_CORRUPT_FILE) << args;
        // The bottom half lies far past any data.
        size_t notGrey = 0;
        for (uint32_t y = 2048; y < 4096; y += 7)
            for (uint32_t x = 0; x < 4096; x += 5) notGrey += ours.at(x, y, 0) != 128;
        EXPECT_EQ(notGrey, 0u) << args;
    }
}

} // namespace
