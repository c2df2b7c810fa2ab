#include "processing/colour_adjust.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "core/image.h"
#include "image_helpers.h"
#include "support/test_support.h"

using namespace quillon;
using namespace quillon::test;

namespace {

Rgba8 adjustOne(Rgba8 in, const AdjustmentSettings& adj)
{
    auto img = makeImage(PF_RGBA8, 1, 1);
    img->row<Rgba8>(0)[0] = in;
    EXPECT_EQ(imageColorAdjust(img.get(), img.get(), adj), RC_OK);
    return img->row<Rgba8>(0)[0];
}

uint8_t adjustGrey8(uint8_t v, const AdjustmentSettings& adj)
{
    auto img = makeImage(PF_GRAY8, 1, 1);
    img->row<uint8_t>(0)[0] = v;
    EXPECT_EQ(imageColorAdjust(img.get(), img.get(), adj), RC_OK);
    return img->row<uint8_t>(0)[0];
}

} // namespace

TEST(ColourAdjust, WorkedExamples)
{
    AdjustmentSettings inv;
    inv.setInvert(true);
    Rgba8 p = adjustOne({10, 20, 30, 40}, inv);
    EXPECT_EQ(p.b, 245);
    EXPECT_EQ(p.g, 235);
    EXPECT_EQ(p.r, 225);
    EXPECT_EQ(p.a, 40);

    AdjustmentSettings contrast;
    contrast.setColour(&AdjustmentSettings::contrast, 0.5f);
    EXPECT_EQ(adjustGrey8(100, contrast), 86);

    AdjustmentSettings g05;
    g05.setGamma(0.5f);
    EXPECT_EQ(adjustGrey8(128, g05), 91);
    p = adjustOne({128, 128, 128, 7}, g05);
    EXPECT_EQ(p.b, 91);
    EXPECT_EQ(p.a, 7);

    AdjustmentSettings g2;
    g2.setGamma(2.0f);
    EXPECT_EQ(adjustGrey8(1, g2), 255);
    EXPECT_EQ(adjustGrey8(0, g2), 0);

    AdjustmentSettings hue;
    hue.setColour(&AdjustmentSettings::hue, 0.5f);
    p = adjustOne({0, 0, 255, 255}, hue); // pure red
    EXPECT_EQ(p.r, 0);
    EXPECT_EQ(p.g, 255);
    EXPECT_EQ(p.b, 255);
}

// A hue that lands exactly on a full turn is red again, not the untouched
// pixel: cyan turned by half a turn and blue by a third, in the scalar path
// (one pixel) and the four-pixel path (a row of four).
TEST(ColourAdjust, TurnEndingOnAFullTurnGivesRed)
{
    struct Case {
        Rgba8 in;
        float hue;
    } cases[] = {{{255, 255, 0, 200}, 0.5f}, {{255, 0, 0, 9}, 1.0f / 3.0f}};
    for (const Case& c : cases) {
        AdjustmentSettings adj;
        adj.setColour(&AdjustmentSettings::hue, c.hue);
        Rgba8 p = adjustOne(c.in, adj);
        EXPECT_TRUE(p.r == 255 && p.g == 0 && p.b == 0 && p.a == c.in.a)
            << "hue " << c.hue << ": " << int(p.r) << "," << int(p.g) << "," << int(p.b);
        auto row = makeImage(PF_RGBA8, 4, 1);
        for (uint32_t x = 0; x < 4; ++x) row->row<Rgba8>(0)[x] = c.in;
        ASSERT_EQ(imageColorAdjust(row.get(), row.get(), adj), RC_OK);
        for (uint32_t x = 0; x < 4; ++x) {
            Rgba8 q = row->row<Rgba8>(0)[x];
            EXPECT_TRUE(q.r == 255 && q.g == 0 && q.b == 0) << "hue " << c.hue << " pixel " << x;
        }
    }
}

TEST(ColourAdjust, NeutralRecordLeavesEveryFormatUnchanged)
{
    AdjustmentSettings neutral;
    for (PixelFormat f : {PF_RGBA8, PF_RGBA16, PF_RGBA_FLOAT, PF_GRAY8, PF_GRAY16, PF_GRAY_FLOAT}) {
        auto src = makeImage(f, 13, 5);
        auto dst = makeImage(f, 13, 5);
        fillRandom(src.get(), 3);
        ASSERT_EQ(imageColorAdjust(dst.get(), src.get(), neutral), RC_OK) << formatName(f);
        EXPECT_EQ(packedBytes(dst.get()), packedBytes(src.get())) << formatName(f);
    }
}

TEST(ColourAdjust, HueIsTakenModuloOneTurn)
{
    // A turn outside 0..1 selects the same sector as its fractional part.
    auto base = makeImage(PF_RGBA8, 64, 4);
    fillRandom(base.get(), 11);
    for (float hue : {1.25f, -0.75f, 7.25f}) {
        AdjustmentSettings wrapped, plain;
        wrapped.setColour(&AdjustmentSettings::hue, hue);
        plain.setColour(&AdjustmentSettings::hue, 0.25f);
        auto a = makeImage(PF_RGBA8, 64, 4);
        auto b = makeImage(PF_RGBA8, 64, 4);
        ASSERT_EQ(imageColorAdjust(a.get(), base.get(), wrapped), RC_OK);
        ASSERT_EQ(imageColorAdjust(b.get(), base.get(), plain), RC_OK);
        auto pa = packedBytes(a.get()), pb = packedBytes(b.get());
        for (size_t i = 0; i < pa.size(); ++i) ASSERT_LE(std::abs(int(pa[i]) - int(pb[i])), 1) << "hue " << hue;
        EXPECT_NE(pa, packedBytes(base.get()));
    }
}

TEST(ColourAdjust, RejectsMismatchedImages)
{
    AdjustmentSettings adj;
    auto a = makeImage(PF_RGBA8, 4, 4), b = makeImage(PF_RGBA8, 4, 5), c = makeImage(PF_GRAY8, 4, 4);
    EXPECT_EQ(imageColorAdjust(nullptr, a.get(), adj), RC_INVALID_PARAMETER);
    EXPECT_EQ(imageColorAdjust(a.get(), nullptr, adj), RC_INVALID_PARAMETER);
    EXPECT_EQ(imageColorAdjust(a.get(), b.get(), adj), RC_INVALID_PARAMETER);
    EXPECT_EQ(imageColorAdjust(a.get(), c.get(), adj), RC_INVALID_PARAMETER);
}

TEST(ColourAdjust, PaletteImageChangesOnlyItsPaletteAndBackground)
{
    auto src = makeImage(PF_INDEXED8, 17, 9);
    fillRandom(src.get(), 5);
    uint32_t* pal = src->palette();
    // Duplicate entries: a fresh quantisation could pick either; a copy must not.
    for (int i = 128; i < 256; ++i) pal[i] = pal[i - 128];
    src->frameInfo.backgroundColour = 0x80FF0000; // half-transparent red
    AdjustmentSettings adj;
    adj.setColour(&AdjustmentSettings::hue, 0.5f);
    adj.setColour(&AdjustmentSettings::brightness, 0.1f);

    uint32_t expected[256];
    std::memcpy(expected, pal, sizeof expected);
    colorAdjustPalette(expected, 256, adj);
    uint32_t expectedBackground = 0x80FF0000;
    colorAdjustPalette(&expectedBackground, 1, adj);
    EXPECT_EQ(expectedBackground >> 24, 0x80u);
    EXPECT_NE(expectedBackground, 0x80FF0000u);

    auto dst = makeImage(PF_INDEXED8, 17, 9);
    const auto indexes = packedBytes(src.get());
    ASSERT_EQ(imageColorAdjust(dst.get(), src.get(), adj), RC_OK);
    EXPECT_EQ(packedBytes(dst.get()), indexes);
    EXPECT_EQ(std::memcmp(dst->palette(), expected, sizeof expected), 0);
    EXPECT_EQ(dst->frameInfo.backgroundColour, expectedBackground);
    EXPECT_EQ(packedBytes(src.get()), indexes) << "source untouched";

    ASSERT_EQ(imageColorAdjust(src.get(), src.get(), adj), RC_OK);
    EXPECT_EQ(packedBytes(src.get()), indexes);
    EXPECT_EQ(std::memcmp(src->palette(), expected, sizeof expected), 0);
}

TEST(ColourAdjust, AnimatedPaletteChainAdjustsEveryFrameAndBackground)
{
    Image* first = imageCreate(PF_INDEXED8, packSize(4, 4));
    Image* second = imageCreate(PF_INDEXED8, packSize(4, 4));
    ASSERT_TRUE(first && second);
    first->frameInfo.next = second;
    second->frameInfo.prev = first;
    for (Image* f : {first, second}) {
        f->palette()[0] = 0xFF102030;
        f->frameInfo.backgroundColour = 0xFF102030;
    }
    AdjustmentSettings adj;
    adj.setInvert(true);
    ASSERT_EQ(imageColorAdjustFrames(first, adj), RC_OK);
    for (Image* f : {first, second}) {
        EXPECT_EQ(f->palette()[0], 0xFFEFDFCFu);
        EXPECT_EQ(f->frameInfo.backgroundColour, 0xFFEFDFCFu);
    }
    objectRelease(first);
}

// The kernels against an independent float32 reference in Python/numpy.
TEST(ColourAdjust, MatchesNumpyReference)
{
    QUILLON_REQUIRE_TOOL("python3");
    struct Case {
        float contrast, brightness, hue, saturation, luminance, red, green, blue, gamma;
        bool invert;
    };
    const Case cases[] = {
        {0.3f, -0.2f, 0.37f, 0.5f, 0.05f, 0.1f, -0.2f, 0.3f, 0.7f, false},
        {-0.4f, 0.25f, 0.0f, -0.6f, -0.1f, 0, 0, 0, 1.0f, true},
        {0, 0, 0.81f, 0.2f, 0, 0, 0, 0, 1.3f, false},
        {0.9f, 0.0f, 0.0f, 0.0f, 0.0f, 0.4f, 0.0f, 0.0f, 1.0f, true},
    };
    TempDir dir;
    int caseNo = 0;
    for (const Case& c : cases) {
        AdjustmentSettings adj;
        adj.setColour(&AdjustmentSettings::contrast, c.contrast);
        adj.setColour(&AdjustmentSettings::brightness, c.brightness);
        adj.setColour(&AdjustmentSettings::hue, c.hue);
        adj.setColour(&AdjustmentSettings::saturation, c.saturation);
        adj.setColour(&AdjustmentSettings::luminance, c.luminance);
        adj.setColour(&AdjustmentSettings::red, c.red);
        adj.setColour(&AdjustmentSettings::green, c.green);
        adj.setColour(&AdjustmentSettings::blue, c.blue);
        adj.setGamma(c.gamma);
        adj.setInvert(c.invert);
        for (PixelFormat f : {PF_RGBA8, PF_RGBA16, PF_RGBA_FLOAT, PF_GRAY8, PF_GRAY16, PF_GRAY_FLOAT}) {
            auto img = makeImage(f, 97, 31);
            fillRandom(img.get(), 100 + caseNo);
            auto in = dir / "in.raw", out = dir / "out.raw";
            writeFile(in, packedBytes(img.get()));
            char params[512];
            std::snprintf(params, sizeof params, "%.9g %.9g %.9g %.9g %.9g %.9g %.9g %.9g %.9g %d", c.contrast,
                          c.brightness, c.hue, c.saturation, c.luminance, c.red, c.green, c.blue, c.gamma,
                          int(c.invert));
            std::string cmd = std::string(kPython) + " " + shellQuote(sourceFile("tests/processing/reference/colour_adjust.py")) +
                              " " + formatName(f) + " 97 31 " + shellQuote(in.string()) + " " +
                              shellQuote(out.string()) + " " + params;
            ASSERT_EQ(run(cmd), 0) << cmd;
            ASSERT_EQ(imageColorAdjust(img.get(), img.get(), adj), RC_OK);
            auto ours = packedBytes(img.get());
            auto ref = readFile(out);
            ASSERT_EQ(ours.size(), ref.size());
            const bool isFloat = f == PF_RGBA_FLOAT || f == PF_GRAY_FLOAT;
            size_t n = sampleCount(ours, f), offByOne = 0;
            for (size_t i = 0; i < n; ++i) {
                double a = sampleAt(ours, f, i), b = sampleAt(ref, f, i);
                if (isFloat) {
                    ASSERT_NEAR(a, b, 1e-5 * std::max(1.0, std::abs(b))) << formatName(f) << " case " << caseNo;
                } else {
                    ASSERT_LE(std::abs(a - b), 1.0) << formatName(f) << " case " << caseNo << " sample " << i;
                    offByOne += a != b;
                }
            }
            EXPECT_LT(offByOne, n / 50 + 1) << formatName(f) << " case " << caseNo;
        }
        ++caseNo;
    }
}

TEST(AdjustmentCounters, StayRightUnderRandomSetterSequences)
{
    std::mt19937 rng(42);
    AdjustmentSettings adj;
    float AdjustmentSettings::*colours[] = {
        &AdjustmentSettings::contrast, &AdjustmentSettings::brightness, &AdjustmentSettings::hue,
        &AdjustmentSettings::saturation, &AdjustmentSettings::luminance, &AdjustmentSettings::red,
        &AdjustmentSettings::green, &AdjustmentSettings::blue};
    auto pick = [&](float neutral) { return rng() % 3 == 0 ? neutral : float(int(rng() % 5) - 2) * 0.25f + neutral; };
    for (int step = 0; step < 5000; ++step) {
        switch (rng() % 7) {
        case 0: adj.setColour(colours[rng() % 8], pick(0)); break;
        case 1: adj.setGamma(pick(1.0f)); break;
        case 2: adj.setInvert(rng() % 2); break;
        case 3: fileAdjSetFloat(adj, pick(0)); break;
        case 4: adj.setOrientation(uint8_t(rng() % 3 == 0 ? 0 : rng() % 16)); break;
        case 5: adjustSetScale(adj, rng() % 2 ? 1.0 : 0.5 * (rng() % 4)); break;
        case 6: {
            uint32_t m[4] = {0, 0, 0, 0};
            if (rng() % 2) m[rng() % 4] = rng() % 10;
            adjustSetCrop(adj, m);
            break;
        }
        }
        uint32_t colour = 0;
        for (auto f : colours) colour += adj.*f != 0;
        colour += adj.gamma != 1.0f;
        colour += adj.invert != 0;
        uint32_t other = (adj.sharpness != 0) + (adj.orientation != 0) + (adj.scaleA != 1.0) +
                         ((adj.crop[0] | adj.crop[1] | adj.crop[2] | adj.crop[3]) != 0);
        ASSERT_EQ(adj.colourCount, colour) << "step " << step;
        ASSERT_EQ(adj.otherCount, other) << "step " << step;
    }
}

// Wide rows take the four-pixel path, single-pixel rows the scalar one: the
// two must agree exactly.
TEST(ColourAdjust, WideAndNarrowRowsAgree)
{
    const uint32_t n = 4099;
    auto wide = makeImage(PF_RGBA8, n, 1);
    auto narrow = makeImage(PF_RGBA8, 1, n);
    fillRandom(wide.get(), 123);
    for (uint32_t i = 0; i < n; ++i) narrow->row<Rgba8>(i)[0] = wide->row<Rgba8>(0)[i];
    // Greys, primaries and both extremes as well.
    const Rgba8 special[] = {{0, 0, 0, 9}, {255, 255, 255, 1}, {7, 7, 7, 7}, {0, 0, 255, 0}, {0, 255, 0, 3},
                             {255, 0, 0, 4}, {255, 255, 0, 5}, {1, 0, 0, 6}};
    for (uint32_t i = 0; i < 8; ++i) {
        wide->row<Rgba8>(0)[i] = special[i];
        narrow->row<Rgba8>(i)[0] = special[i];
    }
    for (float hue : {0.0f, 0.5f, 0.9999f, 0.33f}) {
        AdjustmentSettings adj;
        adj.setColour(&AdjustmentSettings::hue, hue);
        adj.setColour(&AdjustmentSettings::saturation, 0.4f);
        adj.setColour(&AdjustmentSettings::contrast, -0.2f);
        adj.setColour(&AdjustmentSettings::red, 0.1f);
        adj.setInvert(hue > 0.4f);
        auto a = makeImage(PF_RGBA8, n, 1), b = makeImage(PF_RGBA8, 1, n);
        ASSERT_EQ(imageColorAdjust(a.get(), wide.get(), adj), RC_OK);
        ASSERT_EQ(imageColorAdjust(b.get(), narrow.get(), adj), RC_OK);
        for (uint32_t i = 0; i < n; ++i) {
            Rgba8 p = a->row<Rgba8>(0)[i], q = b->row<Rgba8>(i)[0];
            ASSERT_TRUE(p.b == q.b && p.g == q.g && p.r == q.r && p.a == q.a) << "hue " << hue << " pixel " << i;
        }
    }
}
