// Colour output of the JPEG decoder against djpeg's RGB: our chroma
// upsampling stays inside each block and our YCbCr conversion uses 8-bit
// tables, so colours agree within a tolerance rather than exactly. Also band
// mode against whole-frame mode, and the abort byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <jpeglib.h>
#include <random>
#include <thread>

#include "jpeg_decoder_test_util.h"
#include "platform/tasks.h"

using namespace quillon;
using namespace quillon::test;

namespace {

using Bytes = std::vector<uint8_t>;

struct Size {
    uint32_t w, h;
};

struct Stats {
    int maxInside = 0;  // away from chroma block borders and the image edge
    double psnr = 0;
};

// Compares our B, G, R, 255 with djpeg's R, G, B.
Stats compareRgb(const JpegOutput& ours, const Pnm& ref, uint32_t fx, uint32_t fy)
{
    Stats s;
    double sq = 0;
    size_t n = 0;
    for (uint32_t y = 0; y < ref.height; ++y)
        for (uint32_t x = 0; x < ref.width; ++x) {
            EXPECT_EQ(ours.at(x, y, 3), 255);
            bool border = false;
            if (fx > 1) border |= x % (8 * fx) == 0 || x % (8 * fx) == 8 * fx - 1 || x + fx >= ref.width;
            if (fy > 1) border |= y % (8 * fy) == 0 || y % (8 * fy) == 8 * fy - 1 || y + fy >= ref.height;
            for (uint32_t c = 0; c < 3; ++c) {
                int d = std::abs(int(ours.at(x, y, 2 - c)) - int(ref.at(x, y, c)));
                sq += double(d) * d;
                ++n;
                if (!border) s.maxInside = std::max(s.maxInside, d);
            }
        }
    s.psnr = sq == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / (sq / n));
    return s;
}

class JpegColour : public JpegToolsTest {};

} // namespace

TEST_F(JpegColour, RgbWithinToleranceOfDjpegForEveryWriter)
{
    struct Case {
        const char* args;
        uint32_t fx, fy;
        int limit;
    };
    const Case cases[] = {
        {"-sample 1x1", 1, 1, 2},
        {"-sample 2x2", 2, 2, 3},
        {"-sample 2x1", 2, 1, 3},
        {"-sample 1x2", 1, 2, 3},
        {"-sample 4x1", 4, 1, 3},   // generic writer, replicated chroma
        {"-sample 2x2 -progressive", 2, 2, 3},
        {"-sample 4x1 -progressive", 4, 1, 3},
        {"-sample 1x1 -rgb", 1, 1, 0},   // RGB frame: no conversion at all
        // Frames in several scans go through the generic writer, which
        // replicates chroma instead of interpolating it: PSNR is the measure.
        {"-sample 2x2 @three", 2, 2, 24},
        {"-sample 2x1 @two", 2, 1, 24},
    };
    writeFile(dir / "three.txt", std::string("0;\n1;\n2;\n"));
    writeFile(dir / "two.txt", std::string("0;\n1 2;\n"));
    auto expand = [&](std::string args) {
        for (const char* name : {"three", "two"}) {
            std::string tag = std::string("@") + name;
            if (size_t at = args.find(tag); at != std::string::npos)
                args.replace(at, tag.size(), "-scans " + shellQuote((dir / (std::string(name) + ".txt")).string()));
        }
        return args;
    };
    for (const Size& size : {Size{61, 45}, Size{320, 200}}) {
        Pnm pic = photoCrop(size.w, size.h, 211, 97);
        for (const Case& c : cases) {
            Bytes jpg = cjpegBytes(dir, pic, expand(c.args));
            Pnm ref;
            ASSERT_TRUE(djpegDecode(dir, jpg, "-pnm", ref)) << c.args;
            for (int band : {0, 1}) {
                JpegDecodeOptions o;
                o.band = int8_t(band);
                JpegOutput ours = jpegDecodeBytes(jpg, o);
                ASSERT_EQ(ours.rc, RC_OK) << c.args;
                EXPECT_EQ(ours.colourSpace, JPEG_CS_RGB);
                Stats s = compareRgb(ours, ref, c.fx, c.fy);
                EXPECT_LE(s.maxInside, c.limit) << c.args << " " << size.w << "x" << size.h;
                EXPECT_GE(s.psnr, 40.0) << c.args << " " << size.w << "x" << size.h;
            }
        }
    }
}

TEST_F(JpegColour, ChromaIsInterpolatedOnlyInsideEachBlock)
{
    // Two flat chroma blocks side by side: at full size the two pixels at
    // their border keep their own block's colour exactly.
    Pnm pic = Pnm::rgb8(32, 16);
    for (uint32_t y = 0; y < 16; ++y)
        for (uint32_t x = 0; x < 32; ++x) {
            uint16_t* p = &pic.samples[(y * 32 + x) * 3];
            p[0] = x < 16 ? 200 : 40;
            p[1] = 100;
            p[2] = x < 16 ? 40 : 200;
        }
    Bytes jpg = cjpegBytes(dir, pic, "-sample 2x2 -quality 100");
    JpegDecodeOptions raw;
    raw.convert = false;
    JpegOutput out = jpegDecodeBytes(jpg, raw);
    ASSERT_EQ(out.rc, RC_OK);
    for (uint32_t y = 0; y < 16; ++y) {
        EXPECT_EQ(out.at(15, y, 1), out.at(8, y, 1));
        EXPECT_EQ(out.at(16, y, 1), out.at(23, y, 1));
        EXPECT_NE(out.at(15, y, 1), out.at(16, y, 1));
    }
}

TEST(JpegColourGenerated, CmykAndRgbFramesWithoutConversion)
{
    TempDir dir;
    QUILLON_REQUIRE_TOOL("convert");
    const uint32_t w = 45, h = 29;
    Pnm pic = photoCrop(w, h, 400, 300);
    Bytes cmyk(size_t(w) * h * 4);
    for (size_t i = 0; i < size_t(w) * h; ++i)
        for (int c = 0; c < 4; ++c)
            cmyk[i * 4 + c] = uint8_t(c < 3 ? 255 - pic.samples[i * 3 + c] : (pic.samples[i * 3] + pic.samples[i * 3 + 2]) / 3);
    Bytes jpg = libjpegEncode(cmyk, w, h, 4, JCS_CMYK, JCS_CMYK, true);
    writeFile(dir / "cmyk.jpg", jpg);
    // ImageMagick reads an Adobe CMYK stream as inverted ink values.
    ASSERT_EQ(run("convert " + shellQuote((dir / "cmyk.jpg").string()) + " -depth 8 cmyk:" +
                  shellQuote((dir / "cmyk.raw").string())),
              0);
    Bytes im = readFile(dir / "cmyk.raw");
    ASSERT_EQ(im.size(), size_t(w) * h * 4);
    JpegOutput ours = jpegDecodeBytes(jpg);
    ASSERT_EQ(ours.rc, RC_OK);
    EXPECT_EQ(ours.colourSpace, JPEG_CS_CMYL);
    int worst = 0;
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x)
            for (uint32_t c = 0; c < 4; ++c)
                worst = std::max(worst, std::abs(int(ours.at(x, y, c)) - (255 - int(im[(y * w + x) * 4 + c]))));
    EXPECT_LE(worst, 1);

    // RGB frame without an Adobe segment (component ids R, G, B): blue
    // first, alpha 255, as for every colour output.
    Bytes rgb(size_t(w) * h * 3);
    for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = uint8_t(pic.samples[i]);
    Bytes rgbJpg = libjpegEncode(rgb, w, h, 3, JCS_RGB, JCS_RGB, false, 100);
    JpegOutput o = jpegDecodeBytes(rgbJpg);
    ASSERT_EQ(o.rc, RC_OK);
    EXPECT_EQ(o.colourSpace, JPEG_CS_RGB);
    worst = 0;
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            EXPECT_EQ(o.at(x, y, 3), 255);
            for (uint32_t c = 0; c < 3; ++c)
                worst = std::max(worst, std::abs(int(o.at(x, y, 2 - c)) - int(rgb[(y * w + x) * 3 + c])));
        }
    EXPECT_LE(worst, 3);
}

TEST_F(JpegColour, BandModeGivesTheSameBytesAsWholeFrameMode)
{
    writeFile(dir / "three.txt", std::string("0;\n1;\n2;\n"));
    const std::string threeScans = "-sample 2x2 -scans " + shellQuote((dir / "three.txt").string());
    for (const std::string& args :
         {std::string("-sample 2x2 -restart 7B"), std::string("-sample 1x1"), std::string("-sample 4x1"),
          std::string("-grayscale"), threeScans}) {
        Pnm pic = photoCrop(1030, 530, 5, 5);
        Bytes jpg = cjpegBytes(dir, pic, args);
        for (int split = -1; split <= 3; ++split)
        for (bool reduced : {false, true}) {
            JpegDecodeOptions off, on;
            off.band = 0;
            on.band = 1;
            on.bandSplit = int8_t(split);
            off.reduced = on.reduced = reduced;
            JpegOutput a = jpegDecodeBytes(jpg, off), b = jpegDecodeBytes(jpg, on);
            ASSERT_EQ(a.rc, RC_OK);
            ASSERT_EQ(b.rc, RC_OK);
            // A frame whose first scan lacks components is never banded.
            EXPECT_EQ(b.usedBands, args != threeScans);
            EXPECT_EQ(a.colourSpace, b.colourSpace);
            EXPECT_TRUE(a.pixels == b.pixels) << args << (reduced ? " 1/8" : "") << " split " << split;
        }
    }
}

TEST_F(JpegColour, BandRowsOfFlatDetailedAndMixedAreasGiveTheSameBytes)
{
    // Rows of flat tiles (blocks of a DC term alone), of flat tiles among
    // detailed ones, and of noise: band rows pass the flat blocks over as
    // their DC terms alone where they are most of a row, and the blocks
    // themselves elsewhere, and change from one way to the other.
    Pnm pic = Pnm::rgb8(1040, 600);
    std::mt19937 rng(11);
    std::uniform_int_distribution<int> noise(0, 255);
    for (uint32_t y = 0; y < pic.height; ++y)
        for (uint32_t x = 0; x < pic.width; ++x) {
            const uint32_t tile = (y / 16) * 65 + x / 16;
            const bool detailed = y >= 400 || (y >= 200 && tile % 5 == 0) || (y < 200 && tile % 97 == 0);
            for (uint32_t c = 0; c < 3; ++c)
                pic.samples[(size_t(y) * pic.width + x) * 3 + c] =
                    uint16_t(detailed ? noise(rng) : (tile * (37 + 29 * c) + 11 * c) % 256);
        }
    for (const char* args : {"-sample 1x1", "-sample 2x2 -restart 3", "-sample 2x1 -quality 95", "-grayscale"}) {
        Bytes jpg = cjpegBytes(dir, pic, args);
        JpegDecodeOptions off;
        off.band = 0;
        const JpegOutput a = jpegDecodeBytes(jpg, off);
        ASSERT_EQ(a.rc, RC_OK);
        for (int split = -1; split <= 3; ++split) {
            JpegDecodeOptions on;
            on.band = 1;
            on.bandSplit = int8_t(split);
            const JpegOutput b = jpegDecodeBytes(jpg, on);
            ASSERT_EQ(b.rc, RC_OK);
            EXPECT_TRUE(b.usedBands);
            EXPECT_TRUE(a.pixels == b.pixels) << args << " split " << split;
        }
    }
}

TEST_F(JpegColour, BandModeWritesOnlyThePixelsOfEachRow)
{
    // Rows followed by bytes that are not the decoder's, and a destination
    // shorter than the frame (its last MCU row goes through a scratch band),
    // with either thread doing the transforms.
    Pnm pic = photoCrop(1030, 530, 5, 5);
    Bytes jpg = cjpegBytes(dir, pic, "-sample 2x2");
    for (int8_t split : {int8_t(0), int8_t(1), int8_t(3), int8_t(-1)})
        for (int64_t rows : {int64_t(-1), int64_t(517)}) {
            JpegDecodeOptions off, on;
            off.band = 0;
            on.band = 1;
            on.bandSplit = split;
            off.padding = on.padding = 4099;
            off.rows = on.rows = rows;
            JpegOutput a = jpegDecodeBytes(jpg, off), b = jpegDecodeBytes(jpg, on);
            ASSERT_EQ(a.rc, RC_OK);
            ASSERT_EQ(b.rc, RC_OK);
            EXPECT_TRUE(b.usedBands);
            EXPECT_TRUE(a.paddingIntact);
            EXPECT_TRUE(b.paddingIntact) << int(split) << " " << rows;
            EXPECT_TRUE(a.pixels == b.pixels) << int(split) << " " << rows;
        }
}

TEST_F(JpegColour, BandModeFinishesWhenTheRowTaskStartsLateOrNever)
{
    // Every pool worker busy: the row task cannot start until they are let
    // go, after the decode (never, for it) or part way through it.
    Pnm pic = photoCrop(1200, 900, 0, 0);
    Bytes jpg = cjpegBytes(dir, pic, "-sample 2x2");
    JpegDecodeOptions off, on;
    off.band = 0;
    on.band = 1;
    const JpegOutput reference = jpegDecodeBytes(jpg, off);
    ASSERT_EQ(reference.rc, RC_OK);
    for (int releaseAfterMs : {-1, 0, 2, 5}) {
        const JpegOutput banded = jpegDecodeWithPoolBusy(jpg, on, releaseAfterMs);
        ASSERT_EQ(banded.rc, RC_OK);
        EXPECT_TRUE(banded.usedBands);
        EXPECT_TRUE(banded.pixels == reference.pixels) << releaseAfterMs;
    }
}

TEST_F(JpegColour, BandModeChosenBySizeReportsLikeWholeFrameMode)
{
    // 2048 x 256 at 4:2:0: 128 MCUs x 3 components per row but 16 MCU rows,
    // below the band threshold; 2048 x 512 has 32 and decodes in bands.
    for (uint32_t h : {256u, 512u}) {
        Pnm pic = photoCrop(2048, h, 0, 0);
        Bytes jpg = cjpegBytes(dir, pic, "-sample 2x2 -quality 60");
        JpegDecodeOptions automatic, off;
        off.band = 0;
        JpegOutput a = jpegDecodeBytes(jpg, automatic), b = jpegDecodeBytes(jpg, off);
        ASSERT_EQ(a.rc, RC_OK);
        EXPECT_EQ(a.colourSpace, JPEG_CS_RGB);
        EXPECT_EQ(b.colourSpace, JPEG_CS_RGB);
        EXPECT_EQ(a.usedBands, h == 512);
        EXPECT_FALSE(b.usedBands);
        EXPECT_TRUE(a.pixels == b.pixels) << h;
        for (size_t i = 3; i < a.pixels.size(); i += 4) ASSERT_EQ(a.pixels[i], 255);
    }
}

TEST_F(JpegColour, AbortDuringBandDecodingCancels)
{
    Pnm pic = photoCrop(1200, 900, 0, 0);
    Bytes jpg = cjpegBytes(dir, pic, "-sample 2x2");
    // Set before the start: nothing is decoded.
    std::atomic<uint8_t> abortNow{1};
    JpegDecodeOptions o;
    o.band = 1;
    o.abortByte = &abortNow;
    EXPECT_EQ(jpegDecodeBytes(jpg, o).rc, RC_CANCELLED);
    // Set from another thread while rows are being decoded.
    for (int attempt = 0; attempt < 5; ++attempt) {
        std::atomic<uint8_t> abortLater{0};
        o.abortByte = &abortLater;
        std::thread setter([&] {
            std::this_thread::sleep_for(std::chrono::microseconds(500 * attempt));
            abortLater = 1;
        });
        ResultCode rc = jpegDecodeBytes(jpg, o).rc;
        setter.join();
        EXPECT_TRUE(rc == RC_CANCELLED || rc == RC_OK);
    }
}

TEST_F(JpegColour, AbortRaisedWhileBandRowsAreInFlightCancels)
{
    // The progress sink runs on the decoding thread once per MCU row; raising
    // the abort byte from it lands while earlier rows sit with the row task,
    // every time, whatever the machine's speed.
    Pnm pic = photoCrop(1200, 900, 0, 0);
    Bytes jpg = cjpegBytes(dir, pic, "-sample 2x2");
    ASSERT_FALSE(jpg.empty());
    struct AbortAt final : JpegProgress {
        std::atomic<uint8_t> flag{0};
        uint32_t calls = 0, at = 0;
        void report(uint32_t, uint32_t) override
        {
            if (++calls == at) flag = 1;
        }
    };
    for (int8_t split : {int8_t(-1), int8_t(0), int8_t(1), int8_t(2), int8_t(3)})
        for (uint32_t at : {2u, 9u, 40u}) {
            JpegDecoder* d = jpegDecoderCreate();
            ASSERT_NE(d, nullptr);
            d->bandMode = 1;
            d->bandSplit = split;
            d->setInput(jpg.data(), jpg.size());
            ASSERT_EQ(d->readHeader(), RC_OK);
            std::vector<uint8_t> pixels(size_t(d->alignedWidth()) * d->alignedHeight() * 4);
            AbortAt sink;
            sink.at = at;
            EXPECT_EQ(d->decode(pixels.data(), 4, size_t(d->alignedWidth()) * 4, uint32_t(d->alignedHeight()), false,
                                &sink, &sink.flag),
                      RC_CANCELLED)
                << int(split) << " " << at;
            EXPECT_TRUE(d->usedBands);
            // Stopped at the next row: no further rows were reported.
            EXPECT_EQ(sink.calls, at);
            delete d;
        }
}
