#include "processing/geometry.h"

#include <gtest/gtest.h>

#include "core/convert.h"
#include "core/image.h"
#include "core/image_info.h"
#include "image_helpers.h"
#include "support/test_support.h"

using namespace quillon;
using namespace quillon::test;

namespace {

std::vector<const Image*> frames(const Image* first) { return chainFrames(first); }

} // namespace

// Every orientation code on every pixel format, against numpy's rot90 and
// flips on the raw pixels.
TEST(Orientation, AllCodesAndFormatsMatchNumpy)
{
    QUILLON_REQUIRE_TOOL(kPython);
    TempDir dir;
    for (int f = PF_RGBA8; f <= PF_INDEXED8; ++f) {
        const PixelFormat format = PixelFormat(f);
        auto src = makeImage(format, 7, 4);
        fillRandom(src.get(), 20 + f);
        auto in = dir / "in.raw";
        writeFile(in, packedBytes(src.get()));
        std::string cmd = std::string(kPython) + " " + shellQuote(sourceFile("tests/processing/reference/orient.py")) +
                          " " + std::to_string(src->bytesPerPixel()) + " 7 4 " + shellQuote(in.string()) + " " +
                          shellQuote((dir / "o").string());
        ASSERT_EQ(run(cmd), 0) << cmd;
        for (uint8_t code = 0; code < 16; ++code) {
            const bool swap = code & 1;
            auto dst = makeImage(format, swap ? 4 : 7, swap ? 7 : 4);
            ASSERT_EQ(imageRotateFlip(dst.get(), src.get(), code), RC_OK) << formatName(format) << " " << int(code);
            EXPECT_EQ(packedBytes(dst.get()), readFile(dir / ("o" + std::to_string(code) + ".raw")))
                << formatName(format) << " code " << int(code);
            if (format == PF_INDEXED8) {
                EXPECT_EQ(std::memcmp(dst->palette(), src->palette(), 1024), 0);
            }
            EXPECT_EQ(dst->alphaKind, src->alphaKind);
        }
    }
    // Single pixels, single rows and single columns: the walks start at the
    // far corner, so one step too many leaves the image.
    for (PixelFormat format : {PF_RGBA_FLOAT}) {
        for (auto [w, h] : {std::pair{1u, 1u}, std::pair{1u, 5u}, std::pair{6u, 1u}}) {
            auto src = makeImage(format, w, h);
            fillRandom(src.get(), w * 7 + h);
            auto in = dir / "in.raw";
            writeFile(in, packedBytes(src.get()));
            std::string cmd = std::string(kPython) + " " +
                              shellQuote(sourceFile("tests/processing/reference/orient.py")) + " " +
                              std::to_string(src->bytesPerPixel()) + " " + std::to_string(w) + " " +
                              std::to_string(h) + " " + shellQuote(in.string()) + " " + shellQuote((dir / "o").string());
            ASSERT_EQ(run(cmd), 0) << cmd;
            for (uint8_t code = 0; code < 16; ++code) {
                const bool swap = code & 1;
                auto dst = makeImage(format, swap ? h : w, swap ? w : h);
                ASSERT_EQ(imageRotateFlip(dst.get(), src.get(), code), RC_OK);
                EXPECT_EQ(packedBytes(dst.get()), readFile(dir / ("o" + std::to_string(code) + ".raw")))
                    << formatName(format) << " " << w << "x" << h << " code " << int(code);
            }
        }
    }
}

// The same on 8-bit colour against ImageMagick's own operators.
TEST(Orientation, MatchesImageMagickOperators)
{
    QUILLON_REQUIRE_TOOL("convert");
    const char* ops[16] = {"",
                           "-rotate 270",
                           "-rotate 180",
                           "-rotate 90",
                           "-flip",
                           "-transpose",
                           "-rotate 180 -flip",
                           "-transverse",
                           "-flop",
                           "-transverse",
                           "-rotate 180 -flop",
                           "-transpose",
                           "-rotate 180",
                           "-rotate 270 -rotate 180",
                           "",
                           "-rotate 90 -rotate 180"};
    TempDir dir;
    auto src = makeImage(PF_RGBA8, 9, 5);
    fillRandom(src.get(), 77);
    for (uint32_t y = 0; y < 5; ++y)
        for (uint32_t x = 0; x < 9; ++x) src->row<Rgba8>(y)[x].a = 255;
    Pnm pnm;
    pnm.width = 9;
    pnm.height = 5;
    pnm.channels = 3;
    pnm.maxval = 255;
    for (uint32_t y = 0; y < 5; ++y)
        for (uint32_t x = 0; x < 9; ++x) {
            Rgba8 p = src->row<Rgba8>(y)[x];
            pnm.samples.insert(pnm.samples.end(), {p.r, p.g, p.b});
        }
    ASSERT_TRUE(writePnm(dir / "in.ppm", pnm));
    for (uint8_t code = 1; code < 16; ++code) {
        auto out = dir / ("out" + std::to_string(code) + ".ppm");
        ASSERT_EQ(run("convert " + shellQuote((dir / "in.ppm").string()) + " " + ops[code] + " " +
                      shellQuote(out.string())),
                  0);
        Pnm ref;
        ASSERT_TRUE(readPnm(out, ref));
        const bool swap = code & 1;
        auto dst = makeImage(PF_RGBA8, swap ? 5 : 9, swap ? 9 : 5);
        ASSERT_EQ(imageRotateFlip(dst.get(), src.get(), code), RC_OK);
        ASSERT_EQ(ref.width, dst->width);
        ASSERT_EQ(ref.height, dst->height);
        for (uint32_t y = 0; y < ref.height; ++y)
            for (uint32_t x = 0; x < ref.width; ++x) {
                Rgba8 p = dst->row<Rgba8>(y)[x];
                ASSERT_EQ(p.r, ref.at(x, y, 0)) << "code " << int(code) << " at " << x << "," << y;
                ASSERT_EQ(p.g, ref.at(x, y, 1));
                ASSERT_EQ(p.b, ref.at(x, y, 2));
            }
    }
}

TEST(Orientation, RotateFlipChecksItsDestination)
{
    auto src = makeImage(PF_RGBA8, 6, 3);
    auto wrong = makeImage(PF_RGBA8, 6, 3);
    EXPECT_EQ(imageRotateFlip(wrong.get(), src.get(), 1), RC_INVALID_PARAMETER);
    EXPECT_EQ(imageRotateFlip(src.get(), src.get(), 2), RC_INVALID_PARAMETER);
    // No turn and no mirror is a plain conversion copy.
    fillRandom(src.get(), 4);
    auto grey = makeImage(PF_GRAY8, 6, 3);
    auto expected = makeImage(PF_GRAY8, 6, 3);
    ASSERT_EQ(imageRotateFlip(grey.get(), src.get(), 0), RC_OK);
    ASSERT_EQ(imageConvertPixels(expected.get(), src.get(), false), RC_OK);
    EXPECT_EQ(packedBytes(grey.get()), packedBytes(expected.get()));
}

TEST(Orientation, FrameChainGeometry)
{
    Image* chain = makeChain(PF_RGBA8, {{10, 20, 5, 5}, {10, 20, 5, 5}, {10, 20, 5, 5}}, 100, 50);
    ASSERT_EQ(imageRotateFrames(&chain, 1), RC_OK);
    for (const Image* f : frames(chain)) {
        EXPECT_EQ(f->width, 20u);
        EXPECT_EQ(f->height, 10u);
        EXPECT_EQ(f->frameInfo.canvasWidth, 50u);
        EXPECT_EQ(f->frameInfo.canvasHeight, 100u);
        EXPECT_EQ(f->frameInfo.x, 5);
        EXPECT_EQ(f->frameInfo.y, 85);
    }
    EXPECT_EQ(frames(chain).size(), 3u);
    objectRelease(chain);

    // Both mirrors equal a half turn, positions included.
    Image* a = makeChain(PF_RGBA8, {{30, 12, 0, 0}, {10, 7, 3, 9}}, 30, 20);
    Image* b = makeChain(PF_RGBA8, {{30, 12, 0, 0}, {10, 7, 3, 9}}, 30, 20);
    ASSERT_EQ(imageRotateFrames(&a, 12), RC_OK);
    ASSERT_EQ(imageRotateFrames(&b, 2), RC_OK);
    auto fa = frames(a), fb = frames(b);
    ASSERT_EQ(fa.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(fa[i]->frameInfo.x, fb[i]->frameInfo.x);
        EXPECT_EQ(fa[i]->frameInfo.y, fb[i]->frameInfo.y);
        EXPECT_EQ(packedBytes(fa[i]), packedBytes(fb[i]));
    }
    EXPECT_EQ(fa[1]->frameInfo.x, 30 - 3 - 10);
    EXPECT_EQ(fa[1]->frameInfo.y, 20 - 9 - 7);
    objectRelease(a);
    objectRelease(b);
}

TEST(Orientation, ZeroCanvasNeverGivesNegativePositions)
{
    // Pages of a document carry no canvas.
    for (uint8_t code = 1; code < 16; ++code) {
        Image* chain = makeChain(PF_GRAY8, {{40, 30, 0, 0}, {25, 60, 0, 0}}, 0, 0);
        ASSERT_EQ(imageRotateFrames(&chain, code), RC_OK);
        for (const Image* f : frames(chain)) {
            EXPECT_GE(f->frameInfo.x, 0) << int(code);
            EXPECT_GE(f->frameInfo.y, 0) << int(code);
            EXPECT_EQ(f->frameInfo.canvasWidth, 0u);
        }
        objectRelease(chain);
    }
}

TEST(Orientation, PixelFormatRule)
{
    // Palette frames stay indexed with their palette.
    Image* pal = makeChain(PF_INDEXED8, {{5, 3, 0, 0}}, 5, 3);
    auto before = packedBytes(pal);
    uint32_t palette[256];
    std::memcpy(palette, pal->palette(), sizeof palette);
    ASSERT_EQ(imageRotateFrames(&pal, 3), RC_OK);
    EXPECT_EQ(pal->pixelFormat, PF_INDEXED8);
    EXPECT_EQ(std::memcmp(pal->palette(), palette, sizeof palette), 0);
    EXPECT_EQ(pal->width, 3u);
    objectRelease(pal);

    // Every other frame keeps its own format: a 16-bit, float or grey frame
    // turned is still that frame, pixel for pixel (imageRotateFlip is
    // checked against numpy above).
    for (int f = PF_RGBA8; f < PF_INDEXED8; ++f) {
        Image* frame = makeChain(PixelFormat(f), {{5, 3, 0, 0}}, 5, 3);
        fillRandom(frame, 40 + f);
        auto turnedExpected = makeImage(PixelFormat(f), 3, 5);
        ASSERT_EQ(imageRotateFlip(turnedExpected.get(), frame, 3), RC_OK);
        ASSERT_EQ(imageRotateFrames(&frame, 3), RC_OK);
        EXPECT_EQ(frame->pixelFormat, PixelFormat(f)) << formatName(PixelFormat(f));
        EXPECT_EQ(packedBytes(frame), packedBytes(turnedExpected.get())) << formatName(PixelFormat(f));
        objectRelease(frame);
    }

    // Flags 0 does nothing at all.
    Image* keep = makeChain(PF_GRAY16, {{5, 3, 0, 0}}, 5, 3);
    Image* same = keep;
    ASSERT_EQ(imageRotateFrames(&keep, 0), RC_OK);
    EXPECT_EQ(keep, same);
    EXPECT_EQ(keep->pixelFormat, PF_GRAY16);
    objectRelease(keep);
}

TEST(Orientation, InformationRecordTravels)
{
    Image* img = makeChain(PF_RGBA8, {{4, 2, 0, 0}}, 0, 0);
    img->info()->set(INFO_TITLE, u"turned");
    img->alphaKind = ALPHA_STRAIGHT;
    ASSERT_EQ(imageRotateFrames(&img, 1), RC_OK);
    ASSERT_TRUE(img->info()->get(INFO_TITLE));
    EXPECT_EQ(std::u16string(img->info()->get(INFO_TITLE)), u"turned");
    EXPECT_EQ(img->alphaKind, ALPHA_STRAIGHT);
    objectRelease(img);
}

TEST(Crop, CopiesTheRegionAndChecksItsBounds)
{
    for (int f = PF_RGBA8; f <= PF_INDEXED8; ++f) {
        auto src = makeImage(PixelFormat(f), 9, 7);
        fillRandom(src.get(), f);
        auto dst = makeImage(PixelFormat(f), 4, 3);
        ASSERT_EQ(imageCropCopy(dst.get(), src.get(), packSize(5, 4)), RC_OK);
        const size_t bpp = src->bytesPerPixel();
        for (uint32_t y = 0; y < 3; ++y)
            EXPECT_EQ(std::memcmp(dst->rowBytesPtr(y), src->rowBytesPtr(4 + y) + 5 * bpp, 4 * bpp), 0);
        // One pixel further in either direction leaves the source.
        EXPECT_EQ(imageCropCopy(dst.get(), src.get(), packSize(6, 4)), RC_INVALID_PARAMETER);
        EXPECT_EQ(imageCropCopy(dst.get(), src.get(), packSize(5, 5)), RC_INVALID_PARAMETER);
        EXPECT_EQ(imageCropCopy(dst.get(), src.get(), packSize(0xFFFFFFFF, 0)), RC_INVALID_PARAMETER);
        EXPECT_EQ(imageCropCopy(dst.get(), src.get(), packSize(0, 0xFFFFFFFF)), RC_INVALID_PARAMETER);
    }
    auto small = makeImage(PF_RGBA8, 3, 3), big = makeImage(PF_RGBA8, 4, 3), grey = makeImage(PF_GRAY8, 2, 2);
    EXPECT_EQ(imageCropCopy(big.get(), small.get(), 0), RC_INVALID_PARAMETER);
    EXPECT_EQ(imageCropCopy(grey.get(), small.get(), 0), RC_INVALID_PARAMETER);
    EXPECT_EQ(imageCropCopy(small.get(), small.get(), 0), RC_INVALID_PARAMETER);
}

// Display images stay display images through every chain operation.
TEST(Orientation, DisplayFramesStayDisplayFrames)
{
    for (PixelFormat f : {PF_RGBA8, PF_GRAY8, PF_INDEXED8}) {
        Image* img = imageCreate(f, packSize(5, 3), true);
        ASSERT_TRUE(img && img->display());
        fillRandom(img, 1);
        ASSERT_EQ(imageRotateFrames(&img, 1), RC_OK);
        EXPECT_TRUE(img->display()) << formatName(f);
        EXPECT_EQ(img->pixelFormat, f);
        objectRelease(img);
    }
}
