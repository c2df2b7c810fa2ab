// Progressive frames whose scans decode side by side on the task pool: every
// order of scans the format allows (made by cjpeg from hand-written scan
// scripts) decodes as djpeg does and to the same bytes as on one thread, and
// so do damaged and out-of-order streams; cancelling and a busy pool end
// cleanly.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <jpeglib.h>
#include <string>
#include <thread>
#include <vector>

#include "jpeg_decoder_test_util.h"

namespace quillon::test {
namespace {

using Bytes = std::vector<uint8_t>;

// Scan scripts in cjpeg's syntax (component list: Ss-Se, Ah, Al).
// Within a scan the components keep the frame's order; across scans every
// kind of order: DC of all components at once or one by one, AC bands of
// one component between those of another, successive approximation whose
// refinements come scans after their first passes.
const char* const kScripts[] = {
    // DC together, AC bands per component in mixed order, refinements last.
    "0,1,2: 0-0, 0, 1;\n2: 1-5, 0, 2;\n0: 1-5, 0, 2;\n1: 1-63, 0, 1;\n0: 6-63, 0, 2;\n2: 6-63, 0, 2;\n"
    "0,1,2: 0-0, 1, 0;\n0: 1-63, 2, 1;\n2: 1-63, 2, 1;\n1: 1-63, 1, 0;\n0: 1-63, 1, 0;\n2: 1-63, 1, 0;\n",
    // DC one component at a time, the last first, each followed by AC.
    "2: 0-0, 0, 0;\n2: 1-63, 0, 0;\n0: 0-0, 0, 1;\n1: 0-0, 0, 0;\n0: 1-9, 0, 0;\n1: 1-63, 0, 0;\n"
    "0: 10-63, 0, 0;\n0: 0-0, 1, 0;\n",
    // DC of two components interleaved and the third alone; a DC
    // refinement in the middle of the AC scans.
    "0,2: 0-0, 0, 2;\n1: 0-0, 0, 0;\n1: 1-63, 0, 0;\n0,2: 0-0, 2, 1;\n0: 1-2, 0, 1;\n2: 1-63, 0, 0;\n"
    "0: 3-63, 0, 1;\n0,2: 0-0, 1, 0;\n0: 1-63, 1, 0;\n",
    // Luma first to the end, then each chroma component's DC and AC.
    "0: 0-0, 0, 0;\n0: 1-63, 0, 1;\n0: 1-63, 1, 0;\n1,2: 0-0, 0, 0;\n2: 1-63, 0, 0;\n1: 1-63, 0, 0;\n",
};

// DC refinements whose components are only some of those of the scans they
// refine, or take in several of them: a refinement must wait for every
// earlier scan it shares a component with, not only one of the very same
// components. AC scans of a component run between them, and AC refinements
// follow their first passes.
const char* const kOverlapping[] = {
    // DC of all three, then each component's refinement on its own, the
    // luma one at once and the chroma ones after AC scans.
    "0,1,2: 0-0, 0, 2;\n0: 0-0, 2, 1;\n0: 1-63, 0, 1;\n2: 0-0, 2, 1;\n1: 0-0, 2, 1;\n1: 1-63, 0, 0;\n"
    "0: 0-0, 1, 0;\n2: 1-63, 0, 1;\n0: 1-63, 1, 0;\n1,2: 0-0, 1, 0;\n2: 1-63, 1, 0;\n",
    // The reverse: DC one component at a time, then one refinement of all
    // three at once, before and after AC first passes and refinements.
    "0: 0-0, 0, 2;\n1: 0-0, 0, 2;\n2: 0-0, 0, 2;\n0,1,2: 0-0, 2, 1;\n0: 1-63, 0, 2;\n2: 1-63, 0, 1;\n"
    "0: 1-63, 2, 1;\n1: 1-63, 0, 0;\n0,1,2: 0-0, 1, 0;\n0: 1-63, 1, 0;\n2: 1-63, 1, 0;\n",
    // Neither part nor whole: two components, then the third alone, each
    // refined together with a component of the other scan.
    "0,2: 0-0, 0, 1;\n1: 0-0, 0, 1;\n0,1: 0-0, 1, 0;\n0: 1-63, 0, 0;\n2: 0-0, 1, 0;\n2: 1-63, 0, 0;\n"
    "1: 1-63, 0, 0;\n",
};

// Samplings whose components have blocks of their own size in a scan
// (non-interleaved raster order) and MCUs of several luma blocks, with and
// without restart intervals, Huffman and arithmetic.
const char* const kVariants[] = {
    "-sample 2x2",
    "-sample 1x1 -restart 1",
    "-sample 2x1 -restart 3B",
    "-sample 1x2 -arithmetic",
    "-sample 2x2 -arithmetic -restart 2",
};

class JpegScans : public JpegToolsTest {
protected:
    // The stream of one script.
    Bytes progressive(const Pnm& pic, const std::string& script, const std::string& args)
    {
        writeFile(dir / "scans.txt", script);
        return cjpegBytes(dir, pic, args + " -scans " + shellQuote((dir / "scans.txt").string()));
    }

    // Ours on one thread, with the scans on the pool whatever the size, and
    // as the size decides: the same result and bytes each time.
    static JpegOutput expectSameEverywhere(const Bytes& jpg, JpegDecodeOptions o, const std::string& what)
    {
        o.band = 0;
        const JpegOutput one = jpegDecodeBytes(jpg, o);
        EXPECT_EQ(one.scansOnTasks, 0u) << what;
        for (int8_t band : {int8_t(1), int8_t(-1)}) {
            o.band = band;
            const JpegOutput other = jpegDecodeBytes(jpg, o);
            EXPECT_EQ(other.rc, one.rc) << what << " band " << int(band);
            EXPECT_EQ(other.colourSpace, one.colourSpace) << what;
            EXPECT_TRUE(other.pixels == one.pixels) << what << " band " << int(band);
        }
        return one;
    }
};

// One JPEG segment: its marker code and bytes (a scan's with its data).
struct Segment {
    uint8_t code;
    Bytes bytes;
};

// Splits a stream into its segments; entropy-coded data goes with the scan
// before it. An independent reading of the format: the tests rearrange
// streams through it.
std::vector<Segment> segments(const Bytes& jpg)
{
    std::vector<Segment> out;
    size_t i = 2;
    out.push_back({0xD8, Bytes(jpg.begin(), jpg.begin() + 2)});
    while (i + 1 < jpg.size()) {
        const uint8_t code = jpg[i + 1];
        if (code == 0xD9) {
            out.push_back({code, Bytes(jpg.begin() + i, jpg.end())});
            break;
        }
        size_t end = i + 2 + (size_t(jpg[i + 2]) << 8 | jpg[i + 3]);
        if (code == 0xDA)
            while (end + 1 < jpg.size() &&
                   !(jpg[end] == 0xFF && jpg[end + 1] != 0 && (jpg[end + 1] < 0xD0 || jpg[end + 1] > 0xD7)))
                ++end;
        out.push_back({code, Bytes(jpg.begin() + i, jpg.begin() + end)});
        i = end;
    }
    return out;
}

Bytes join(const std::vector<Segment>& parts)
{
    Bytes out;
    for (const Segment& s : parts) out.insert(out.end(), s.bytes.begin(), s.bytes.end());
    return out;
}

// Each scan with the table segments just before it (a progressive stream
// from cjpeg has its own Huffman tables before each scan).
std::vector<std::vector<Segment>> scanUnits(const std::vector<Segment>& parts, std::vector<Segment>& head,
                                            std::vector<Segment>& tail)
{
    std::vector<std::vector<Segment>> units;
    std::vector<Segment> pending;
    bool seenFrame = false;
    for (const Segment& s : parts) {
        if (!seenFrame) {
            head.push_back(s);
            seenFrame = s.code >= 0xC0 && s.code <= 0xCF && s.code != 0xC4 && s.code != 0xCC;
            continue;
        }
        if (s.code == 0xD9) {
            tail.push_back(s);
            continue;
        }
        pending.push_back(s);
        if (s.code == 0xDA) {
            units.push_back(pending);
            pending.clear();
        }
    }
    return units;
}

Bytes joinUnits(const std::vector<Segment>& head, const std::vector<std::vector<Segment>>& units,
                const std::vector<Segment>& tail)
{
    std::vector<Segment> all = head;
    for (const auto& u : units) all.insert(all.end(), u.begin(), u.end());
    all.insert(all.end(), tail.begin(), tail.end());
    return join(all);
}

// A scan's Ah (successive approximation high) from its header.
uint8_t scanAh(const Segment& sos) { return sos.bytes[4 + 1 + 2 * sos.bytes[4] + 2] >> 4; }

// libjpeg's Y, Cb and Cr of a stream, without colour conversion: for a frame
// without subsampling, every sample exactly as the stream holds it.
Bytes libjpegYcc(const Bytes& jpg, uint32_t& width, uint32_t& height)
{
    jpeg_decompress_struct d;
    jpeg_error_mgr err;
    d.err = jpeg_std_error(&err);
    jpeg_create_decompress(&d);
    jpeg_mem_src(&d, jpg.data(), jpg.size());
    jpeg_read_header(&d, TRUE);
    d.out_color_space = JCS_YCbCr;
    jpeg_start_decompress(&d);
    width = d.output_width;
    height = d.output_height;
    Bytes out(size_t(width) * height * 3);
    while (d.output_scanline < height) {
        JSAMPROW row = out.data() + size_t(d.output_scanline) * width * 3;
        jpeg_read_scanlines(&d, &row, 1);
    }
    jpeg_finish_decompress(&d);
    jpeg_destroy_decompress(&d);
    return out;
}

} // namespace

TEST_F(JpegScans, EveryScanOrderDecodesAsDjpegAndAsOnOneThread)
{
    const Pnm pic = photoCrop(301, 203, 11, 7);
    std::vector<const char*> scripts(std::begin(kScripts), std::end(kScripts));
    scripts.insert(scripts.end(), std::begin(kOverlapping), std::end(kOverlapping));
    for (const char* args : kVariants)
        for (const char* script : scripts) {
            const std::string what = std::string(args) + " / " + script;
            const Bytes jpg = progressive(pic, script, args);
            ASSERT_FALSE(jpg.empty()) << what;
            size_t scans = 0;
            for (const Segment& s : segments(jpg)) scans += s.code == 0xDA;
            for (bool reduced : {false, true}) {
                JpegDecodeOptions o;
                o.reduced = reduced;
                const JpegOutput one = expectSameEverywhere(jpg, o, what);
                ASSERT_EQ(one.rc, RC_OK) << what;
                // Y exactly as djpeg has it, with the scans on the pool.
                Pnm ref;
                ASSERT_TRUE(djpegDecode(dir, jpg, reduced ? "-grayscale -scale 1/8 -pnm" : "-grayscale -pnm", ref));
                o.convert = false;
                o.band = 1;
                const JpegOutput ours = jpegDecodeBytes(jpg, o);
                ASSERT_EQ(ours.rc, RC_OK) << what;
                expectSameY(ours, ref, what + (reduced ? " 1/8" : ""));
                // At one-eighth size only the DC scans are decoded.
                if (!reduced) {
                    EXPECT_EQ(ours.scansOnTasks, scans) << what;
                }
            }
        }
}

TEST_F(JpegScans, RefinementOfSomeOfAScansComponentsGivesTheSameBytesOnEveryRun)
{
    // Large enough that a refinement let start beside the scan it refines
    // overtakes it: a DC first pass over all components is slower than a
    // refinement of one, and the first pass then overwrites the refined bits.
    const Pnm pic = photoCrop(3000, 2000, 5, 3);
#if defined(__SANITIZE_THREAD__)
    const int runs = 2;  // the sanitizer sees a race whether or not it shows
#else
    const int runs = 10;
#endif
    for (const char* args : {"-sample 1x1", "-sample 2x2 -arithmetic -restart 4"})
        for (const char* script : kOverlapping) {
            const std::string what = std::string(args) + " / " + script;
            const Bytes jpg = progressive(pic, script, args);
            ASSERT_FALSE(jpg.empty()) << what;
            JpegDecodeOptions o;
            o.band = 0;
            o.convert = false;
            const JpegOutput rawOne = jpegDecodeBytes(jpg, o);
            ASSERT_EQ(rawOne.rc, RC_OK) << what;
            Pnm ref;
            ASSERT_TRUE(djpegDecode(dir, jpg, "-grayscale -pnm", ref));
            expectSameY(rawOne, ref, what);
            if (std::string(args).find("1x1") != std::string::npos) {
                // Chroma refined on its own is checked as exactly as luma.
                uint32_t w = 0, h = 0;
                const Bytes ycc = libjpegYcc(jpg, w, h);
                ASSERT_EQ(w, rawOne.width);
                ASSERT_EQ(h, rawOne.height);
                size_t mismatches = 0;
                for (uint32_t y = 0; y < h; ++y)
                    for (uint32_t x = 0; x < w; ++x)
                        for (uint32_t c = 1; c < 3; ++c)
                            mismatches += rawOne.at(x, y, c) != ycc[(size_t(y) * w + x) * 3 + c];
                EXPECT_EQ(mismatches, 0u) << what;
            }
            o.convert = true;
            const JpegOutput one = jpegDecodeBytes(jpg, o);
            ASSERT_EQ(one.rc, RC_OK) << what;
            o.band = 1;
            for (int run = 0; run < runs; ++run) {
                const JpegOutput pool = jpegDecodeBytes(jpg, o);
                ASSERT_EQ(pool.rc, RC_OK) << what;
                EXPECT_GT(pool.scansOnTasks, 0u) << what;
                if (pool.pixels != one.pixels) {
                    ADD_FAILURE() << what << " differs from one thread on run " << run;
                    break;
                }
            }
        }
}

TEST_F(JpegScans, LargeFrameSplitsItsOutputIntoBandsAsTheSizeDecides)
{
    // Big enough for the size to choose the pool by itself, with a last
    // MCU row the destination holds only in part.
    const Pnm pic = photoCrop(1100, 700, 0, 0);
    const Bytes jpg = progressive(pic, kScripts[0], "-sample 2x2");
    for (int64_t rows : {int64_t(-1), int64_t(697)}) {
        JpegDecodeOptions o;
        o.rows = rows;
        o.padding = 40;
        const JpegOutput one = expectSameEverywhere(jpg, o, "rows " + std::to_string(rows));
        ASSERT_EQ(one.rc, RC_OK);
        EXPECT_TRUE(one.paddingIntact);
        o.band = -1;
        const JpegOutput chosen = jpegDecodeBytes(jpg, o);
        EXPECT_GT(chosen.scansOnTasks, 0u);
        EXPECT_TRUE(chosen.paddingIntact);
    }
}

TEST_F(JpegScans, DamagedAndRearrangedStreamsEndAlikeOnEveryThreadCount)
{
    const Pnm pic = photoCrop(240, 176, 3, 9);
    for (const char* args : {"-sample 2x2 -restart 1", "-sample 1x1", "-sample 2x1 -arithmetic -restart 2"}) {
        const Bytes jpg = progressive(pic, kScripts[0], args);
        ASSERT_FALSE(jpg.empty());
        std::vector<Bytes> streams;
        // Cut anywhere: inside scans' data, between scans, in headers.
        for (size_t cut = 20; cut < jpg.size(); cut += jpg.size() / 37 + 1)
            streams.emplace_back(jpg.begin(), jpg.begin() + cut);
        std::vector<Segment> head, tail;
        const auto units = scanUnits(segments(jpg), head, tail);
        ASSERT_EQ(units.size(), 12u);
        // A scan naming a component the frame lacks.
        {
            auto u = units;
            u[4].back().bytes[5] = 9;
            streams.push_back(joinUnits(head, u, tail));
        }
        // Refinements before the scans they refine: the last scan (Y,
        // Ah 1) first of all, and each refinement swapped with the scan
        // before it.
        {
            auto u = units;
            std::rotate(u.begin(), u.end() - 1, u.end());
            streams.push_back(joinUnits(head, u, tail));
            u = units;
            for (size_t i = 1; i < u.size(); ++i)
                if (scanAh(u[i].back())) std::swap(u[i - 1], u[i]);
            streams.push_back(joinUnits(head, u, tail));
        }
        // A scan given twice, and one left out.
        {
            auto u = units;
            u.insert(u.begin() + 8, u[7]);
            streams.push_back(joinUnits(head, u, tail));
            u = units;
            u.erase(u.begin() + 3);
            streams.push_back(joinUnits(head, u, tail));
        }
        // Bytes no marker has in the middle of a scan's data: a decoder
        // resynchronising at a restart steps over them, so where that scan
        // ends shows only once it is decoded. Also a stray restart marker
        // and an end of image in the middle.
        for (const Bytes& junk : {Bytes{0xFF, 0x05}, Bytes{0xFF, 0xD3}, Bytes{0xFF, 0xD9}, Bytes{0xFF, 0xFF, 0x42}}) {
            auto u = units;
            Bytes& data = u[1].back().bytes;
            data.insert(data.begin() + long(data.size() / 2), junk.begin(), junk.end());
            streams.push_back(joinUnits(head, u, tail));
        }
        for (size_t k = 0; k < streams.size(); ++k) {
            for (bool reduced : {false, true}) {
                JpegDecodeOptions o;
                o.reduced = reduced;
                const JpegOutput one = expectSameEverywhere(streams[k], o, std::string(args) + " stream " +
                                                                                std::to_string(k));
                // Damage is reported, never a failure to decode what came
                // before it (except a stream cut inside its headers).
                EXPECT_TRUE(one.rc == RC_OK || one.rc == RC_CORRUPT_FILE || one.rc == RC_UNSUPPORTED_SUBFORMAT)
                    << k << " " << one.rc;
            }
        }
    }
}

TEST_F(JpegScans, CancelledWhileScansRunOnThePool)
{
    const Pnm pic = photoCrop(800, 600, 0, 0);
    const Bytes jpg = progressive(pic, kScripts[0], "-sample 2x2");
    // Progress is reported from the decoding thread only, whoever decodes.
    struct Sink final : JpegProgress {
        std::thread::id caller = std::this_thread::get_id();
        std::atomic<bool> otherThread{false};
        void report(uint32_t, uint32_t) override
        {
            if (std::this_thread::get_id() != caller) otherThread = true;
        }
    };
    for (int8_t band : {int8_t(0), int8_t(1)}) {
        // Raised before the start: nothing is decoded.
        std::atomic<uint8_t> now{1};
        JpegDecodeOptions o;
        o.band = band;
        o.abortByte = &now;
        EXPECT_EQ(jpegDecodeBytes(jpg, o).rc, RC_CANCELLED);
        // Raised from another thread while scans and rows are under way.
        for (int attempt = 0; attempt < 6; ++attempt) {
            std::atomic<uint8_t> later{0};
            JpegDecoder* d = jpegDecoderCreate();
            ASSERT_NE(d, nullptr);
            d->bandMode = band;
            d->setInput(jpg.data(), jpg.size());
            ASSERT_EQ(d->readHeader(), RC_OK);
            std::vector<uint8_t> pixels(size_t(d->alignedWidth()) * d->alignedHeight() * 4);
            Sink sink;
            std::thread setter([&] {
                std::this_thread::sleep_for(std::chrono::microseconds(700 * attempt));
                later = 1;
            });
            const ResultCode rc = d->decode(pixels.data(), 4, size_t(d->alignedWidth()) * 4,
                                            uint32_t(d->alignedHeight()), false, &sink, &later);
            setter.join();
            EXPECT_TRUE(rc == RC_CANCELLED || rc == RC_OK) << rc;
            EXPECT_FALSE(sink.otherThread.load());
            delete d;
        }
    }
}

TEST_F(JpegScans, DecodeEndsWhenNoPoolWorkerIsFree)
{
    // Every worker busy until after the decode, or for part of it: the
    // scans and the output stage then run on the decoding thread itself.
    const Pnm pic = photoCrop(640, 480, 0, 0);
    const Bytes jpg = progressive(pic, kScripts[2], "-sample 2x2");
    JpegDecodeOptions one, pool;
    one.band = 0;
    pool.band = 1;
    const JpegOutput reference = jpegDecodeBytes(jpg, one);
    ASSERT_EQ(reference.rc, RC_OK);
    for (int releaseAfterMs : {-1, 0, 3}) {
        const JpegOutput out = jpegDecodeWithPoolBusy(jpg, pool, releaseAfterMs);
        ASSERT_EQ(out.rc, RC_OK);
        EXPECT_TRUE(out.pixels == reference.pixels) << releaseAfterMs;
    }
}

} // namespace quillon::test
