#include "processing/frame.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "core/image.h"
#include "image_helpers.h"
#include "support/test_support.h"

using namespace quillon;
using namespace quillon::test;

namespace {

Rgba8 rgba8Of(const float c[4])
{
    auto q = [](float v) { return uint8_t(v <= 0 ? 0 : v >= 1 ? 255 : int(v * 255 + 0.5f)); };
    return {q(c[0]), q(c[1]), q(c[2]), q(c[3])};
}

bool same(Rgba8 a, Rgba8 b) { return a.b == b.b && a.g == b.g && a.r == b.r && a.a == b.a; }


bool ringUniform(const Image* img, uint32_t i, Rgba8 c)
{
    const uint32_t W = img->width, H = img->height;
    for (uint32_t x = i; x < W - i; ++x)
        if (!same(img->row<Rgba8>(i)[x], c) || !same(img->row<Rgba8>(H - 1 - i)[x], c)) return false;
    for (uint32_t y = i; y < H - i; ++y)
        if (!same(img->row<Rgba8>(y)[i], c) || !same(img->row<Rgba8>(y)[W - 1 - i], c)) return false;
    return true;
}

std::string imColour(Rgba8 c)
{
    char s[64];
    std::snprintf(s, sizeof s, "'rgb(%d,%d,%d)'", c.r, c.g, c.b);
    return s;
}

} // namespace

TEST(Frame, FlatDefaultsOnHundredByFifty)
{
    Image* img = imageCreate(PF_RGBA8, packSize(100, 50));
    ASSERT_TRUE(img);
    fillRandom(img, 9);
    auto picture = packedBytes(img);
    const float black[4] = {0, 0, 0, 1}, white[4] = {1, 1, 1, 1};
    ASSERT_EQ(imageAddFrame(&img, FRAME_FLAT, black, white, 14), RC_OK);
    ASSERT_EQ(img->width, 128u);
    ASSERT_EQ(img->height, 78u);
    EXPECT_TRUE(ringUniform(img, 0, {255, 255, 255, 255}));
    EXPECT_TRUE(ringUniform(img, 13, {255, 255, 255, 255}));
    for (uint32_t i = 1; i <= 12; ++i) EXPECT_TRUE(ringUniform(img, i, {0, 0, 0, 255})) << i;
    for (uint32_t y = 0; y < 50; ++y)
        ASSERT_EQ(std::memcmp(img->row<Rgba8>(14 + y) + 14, picture.data() + y * 400, 400), 0);
    objectRelease(img);
}

// Flat frames against ImageMagick's nested borders: edge 1, frame width - 2,
// edge 1 (widths below 3 use the frame colour throughout).
TEST(Frame, FlatMatchesImageMagickBorders)
{
    QUILLON_REQUIRE_TOOL("convert");
    TempDir dir;
    const float A[4] = {30 / 255.0f, 160 / 255.0f, 200 / 255.0f, 1}, B[4] = {250 / 255.0f, 5 / 255.0f, 90 / 255.0f, 1};
    for (int32_t width : {1, 2, 3, 4, 9}) {
        for (auto [w, h] : {std::pair{1u, 1u}, std::pair{2u, 5u}, std::pair{17u, 6u}}) {
            Image* img = imageCreate(PF_RGBA8, packSize(w, h));
            ASSERT_TRUE(img);
            fillRandom(img, width * 100 + w);
            Pnm in;
            in.width = w;
            in.height = h;
            in.channels = 3;
            in.maxval = 255;
            for (uint32_t y = 0; y < h; ++y)
                for (uint32_t x = 0; x < w; ++x) {
                    Rgba8& p = img->row<Rgba8>(y)[x];
                    p.a = 255;
                    in.samples.insert(in.samples.end(), {p.r, p.g, p.b});
                }
            ASSERT_TRUE(writePnm(dir / "in.ppm", in));
            const Rgba8 a8 = rgba8Of(A), b8 = width < 3 ? a8 : rgba8Of(B);
            std::string cmd = "convert " + shellQuote((dir / "in.ppm").string()) + " -bordercolor " + imColour(b8) +
                              " -border 1";
            if (width >= 3) cmd += " -bordercolor " + imColour(a8) + " -border " + std::to_string(width - 2);
            if (width >= 2) cmd += " -bordercolor " + imColour(b8) + " -border 1";
            cmd += " " + shellQuote((dir / "out.ppm").string());
            ASSERT_EQ(run(cmd), 0) << cmd;
            Pnm ref;
            ASSERT_TRUE(readPnm(dir / "out.ppm", ref));
            ASSERT_EQ(imageAddFrame(&img, FRAME_FLAT, A, B, width), RC_OK);
            ASSERT_EQ(img->width, ref.width);
            ASSERT_EQ(img->height, ref.height);
            for (uint32_t y = 0; y < ref.height; ++y)
                for (uint32_t x = 0; x < ref.width; ++x) {
                    Rgba8 p = img->row<Rgba8>(y)[x];
                    ASSERT_TRUE(p.r == ref.at(x, y, 0) && p.g == ref.at(x, y, 1) && p.b == ref.at(x, y, 2) &&
                                p.a == 255)
                        << "width " << width << " image " << w << "x" << h << " at " << x << "," << y;
                }
            objectRelease(img);
        }
    }
}

TEST(Frame, TonedMatchesPythonReference)
{
    QUILLON_REQUIRE_TOOL(kPython);
    TempDir dir;
    const float A[4] = {0.1f, 0.9f, 0.25f, 1.0f}, B[4] = {0.8f, 0.05f, 0.6f, 0.5f};
    for (int32_t width : {1, 2, 5, 8}) {
        Image* img = imageCreate(PF_RGBA8, packSize(11, 4));
        ASSERT_TRUE(img);
        fillRandom(img, width);
        writeFile(dir / "in.raw", packedBytes(img));
        char cols[256];
        std::snprintf(cols, sizeof cols, "%.9g %.9g %.9g %.9g %.9g %.9g %.9g %.9g", A[0], A[1], A[2], A[3], B[0], B[1],
                      B[2], B[3]);
        std::string cmd = std::string(kPython) + " " +
                          shellQuote(sourceFile("tests/processing/reference/toned_frame.py")) + " " +
                          std::to_string(width) + " 11 4 " + shellQuote((dir / "in.raw").string()) + " " +
                          shellQuote((dir / "out.raw").string()) + " " + cols;
        ASSERT_EQ(run(cmd), 0) << cmd;
        ASSERT_EQ(imageAddFrame(&img, FRAME_TONED, A, B, width), RC_OK);
        EXPECT_EQ(packedBytes(img), readFile(dir / "out.raw")) << "width " << width;
        objectRelease(img);
    }
    // The worked example: width 5, rings 0/4 in A, 1/3 two thirds A, 2 one third A.
    Image* img = imageCreate(PF_RGBA_FLOAT, packSize(2, 2));
    ASSERT_TRUE(img);
    const float a[4] = {0, 0, 0, 1}, b[4] = {0.9f, 0.9f, 0.9f, 1};
    ASSERT_EQ(imageAddFrame(&img, FRAME_TONED, a, b, 5), RC_OK);
    EXPECT_FLOAT_EQ(img->row<RgbaF>(0)[0].b, 0.0f);
    EXPECT_FLOAT_EQ(img->row<RgbaF>(4)[4].b, 0.0f);
    EXPECT_NEAR(img->row<RgbaF>(1)[1].b, 0.3f, 1e-6);
    EXPECT_NEAR(img->row<RgbaF>(3)[3].b, 0.3f, 1e-6);
    EXPECT_NEAR(img->row<RgbaF>(2)[2].b, 0.6f, 1e-6);
    objectRelease(img);
}

TEST(Frame, StylesWidthsAndFormats)
{
    const float A[4] = {0.2f, 0.4f, 0.6f, 1}, B[4] = {1, 1, 1, 1};
    Image* img = imageCreate(PF_RGBA8, packSize(3, 3));
    ASSERT_TRUE(img);
    Image* before = img;
    EXPECT_EQ(imageAddFrame(&img, FRAME_NONE, A, B, 5), RC_OK);
    EXPECT_EQ(imageAddFrame(&img, 3, A, B, 5), RC_INVALID_PARAMETER);
    // A width of 0 or less leaves the image alone instead of drawing outside it.
    for (int32_t w : {0, -1, -100}) {
        EXPECT_EQ(imageAddFrame(&img, FRAME_FLAT, A, B, w), RC_OK);
        EXPECT_EQ(imageAddFrame(&img, FRAME_TONED, A, B, w), RC_OK);
    }
    EXPECT_EQ(img, before);
    EXPECT_EQ(img->width, 3u);
    objectRelease(img);

    // A palette image comes out as 8-bit colour with its colours kept.
    img = imageCreate(PF_INDEXED8, packSize(2, 1));
    ASSERT_TRUE(img);
    img->palette()[0] = 0xFF112233;
    img->palette()[1] = 0x80445566;
    img->rowBytesPtr(0)[0] = 0;
    img->rowBytesPtr(0)[1] = 1;
    ASSERT_EQ(imageAddFrame(&img, FRAME_FLAT, A, B, 2), RC_OK);
    ASSERT_EQ(img->pixelFormat, PF_RGBA8);
    Rgba8 p0 = img->row<Rgba8>(2)[2], p1 = img->row<Rgba8>(2)[3];
    EXPECT_TRUE(same(p0, {0x33, 0x22, 0x11, 0xFF}));
    EXPECT_TRUE(same(p1, {0x66, 0x55, 0x44, 0x80}));
    objectRelease(img);

    // Every direct format gets its rings (grey takes the channel mean).
    for (PixelFormat f : {PF_RGBA16, PF_RGBA_FLOAT, PF_GRAY8, PF_GRAY16, PF_GRAY_FLOAT}) {
        img = imageCreate(f, packSize(1, 1));
        ASSERT_TRUE(img);
        ASSERT_EQ(imageAddFrame(&img, FRAME_FLAT, A, A, 1), RC_OK) << formatName(f);
        ASSERT_EQ(img->pixelFormat, f);
        ASSERT_EQ(img->width, 3u);
        switch (f) {
        case PF_RGBA16: EXPECT_EQ(img->row<Rgba16>(0)[1].r, uint16_t(0.6f * 65535 + 0.5f)); break;
        case PF_RGBA_FLOAT: EXPECT_FLOAT_EQ(img->row<RgbaF>(2)[0].g, 0.4f); break;
        case PF_GRAY8: EXPECT_EQ(img->row<uint8_t>(1)[0], 102); break;
        case PF_GRAY16: EXPECT_EQ(img->row<uint16_t>(0)[2], 26214); break;
        default: EXPECT_NEAR(img->row<float>(2)[2], 0.4f, 1e-6); break;
        }
        objectRelease(img);
    }
}

TEST(Frame, AnimationCanvasGrowsAndFramesStayInside)
{
    Image* first = imageCreate(PF_RGBA8, packSize(40, 30));
    Image* second = imageCreate(PF_INDEXED8, packSize(10, 8));
    ASSERT_TRUE(first && second);
    first->frameInfo.next = second;
    second->frameInfo.prev = first;
    for (Image* f : {first, second}) {
        f->frameInfo.canvasWidth = 40;
        f->frameInfo.canvasHeight = 30;
    }
    second->frameInfo.x = 30;
    second->frameInfo.y = 22;
    const float A[4] = {0, 0, 0, 1};
    ASSERT_EQ(imageAddFrame(&first, FRAME_FLAT, A, A, 3), RC_OK);
    Image* f2 = first->frameInfo.next;
    ASSERT_TRUE(f2);
    EXPECT_EQ(f2->frameInfo.prev, first);
    EXPECT_EQ(f2->pixelFormat, PF_RGBA8);
    for (Image* f : {first, f2}) {
        EXPECT_EQ(f->frameInfo.canvasWidth, 46u);
        EXPECT_EQ(f->frameInfo.canvasHeight, 36u);
        EXPECT_LE(f->frameInfo.x + int64_t(f->width), 46);
        EXPECT_LE(f->frameInfo.y + int64_t(f->height), 36);
    }
    // The second frame's picture keeps its place relative to the first's.
    EXPECT_EQ((f2->frameInfo.x + 3) - (first->frameInfo.x + 3), 30);
    objectRelease(first);
}

TEST(DrawRect, OutlinesAndRefusesToLeaveTheImage)
{
    auto img = makeImage(PF_GRAY8, 6, 5);
    std::memset(img->rowBytesPtr(0), 0, img->rowBytes() * 5);
    const float white[4] = {1, 1, 1, 1};
    imageDrawRect(img.get(), packSize(2, 3), packSize(1, 1), white);
    int set = 0;
    for (uint32_t y = 0; y < 5; ++y)
        for (uint32_t x = 0; x < 6; ++x) set += img->row<uint8_t>(y)[x] != 0;
    EXPECT_EQ(set, 1);
    EXPECT_EQ(img->row<uint8_t>(3)[2], 255);

    imageDrawRect(img.get(), packSize(1, 0), packSize(4, 3), white);
    const char* expected[5] = {".####.", ".#..#.", ".####.", "..#...", "......"};
    for (uint32_t y = 0; y < 5; ++y)
        for (uint32_t x = 0; x < 6; ++x)
            EXPECT_EQ(img->row<uint8_t>(y)[x] != 0, expected[y][x] == '#') << x << "," << y;

    // Outside the image: nothing drawn.
    auto copy = packedBytes(img.get());
    imageDrawRect(img.get(), packSize(3, 0), packSize(4, 1), white);
    imageDrawRect(img.get(), packSize(0, 4), packSize(1, 2), white);
    imageDrawRect(img.get(), packSize(0xFFFFFFFF, 0), packSize(2, 1), white);
    EXPECT_EQ(packedBytes(img.get()), copy);
}
