#include <gtest/gtest.h>

#include <random>

#include "core/image.h"
#include "core/resize.h"
#include "image_helpers.h"
#include "processing/geometry.h"

using namespace quillon;
using namespace quillon::test;

namespace {

using Spec = FrameSpec;

Image* chainOf(std::initializer_list<Spec> specs, uint32_t cw, uint32_t ch, PixelFormat f = PF_RGBA8)
{
    return makeChain(f, specs, cw, ch, 40);
}

std::vector<Image*> framesOf(Image* first) { return chainFrames(first); }

} // namespace

TEST(ResizeFrames, WorkedExample)
{
    Image* chain = chainOf({{100, 50, 0, 0}, {30, 30, 7, 9}}, 100, 50);
    ASSERT_EQ(imageResizeFrames(&chain, 50, 25, RF_CATMULL_ROM, true), RC_OK);
    auto f = framesOf(chain);
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(f[0]->width, 50u);
    EXPECT_EQ(f[0]->height, 25u);
    EXPECT_EQ(f[1]->width, 15u);
    EXPECT_EQ(f[1]->height, 15u);
    EXPECT_EQ(f[1]->frameInfo.x, 4);
    EXPECT_EQ(f[1]->frameInfo.y, 5);
    for (Image* i : f) {
        EXPECT_EQ(i->frameInfo.canvasWidth, 50u);
        EXPECT_EQ(i->frameInfo.canvasHeight, 25u);
        EXPECT_EQ(i->frameInfo.duration, 40u);
    }
    EXPECT_EQ(f[1]->frameInfo.prev, f[0]);
    objectRelease(chain);
}

// A 1-pixel frame inside the chain must not change the scale of the frames
// after it, nor shrink to nothing.
TEST(ResizeFrames, OnePixelFrameKeepsTheChainsScale)
{
    for (auto [w, h, expectW, expectH] : {std::tuple{50u, 25u, 20u, 10u}, std::tuple{40u, 20u, 16u, 8u}}) {
        Image* chain = chainOf({{100, 50, 0, 0}, {1, 1, 10, 10}, {40, 20, 0, 0}}, 100, 50);
        ASSERT_EQ(imageResizeFrames(&chain, w, h, RF_BILINEAR, true), RC_OK) << w;
        auto f = framesOf(chain);
        ASSERT_EQ(f.size(), 3u);
        EXPECT_EQ(f[1]->width, 1u);
        EXPECT_EQ(f[1]->height, 1u);
        EXPECT_EQ(f[2]->width, expectW);
        EXPECT_EQ(f[2]->height, expectH);
        objectRelease(chain);
    }
}

TEST(ResizeFrames, FramesStayInsideTheCanvas)
{
    std::mt19937 rng(5);
    for (int round = 0; round < 60; ++round) {
        const uint32_t cw = 20 + rng() % 200, ch = 20 + rng() % 200;
        Image* chain = chainOf({{cw, ch, 0, 0}}, cw, ch, PF_GRAY8);
        Image* last = chain;
        for (int k = 0; k < 4; ++k) {
            const uint32_t w = 1 + rng() % cw, h = 1 + rng() % ch;
            Image* img = imageCreate(PF_GRAY8, packSize(w, h));
            ASSERT_TRUE(img);
            img->frameInfo.x = int32_t(rng() % (cw - w + 1));
            img->frameInfo.y = int32_t(rng() % (ch - h + 1));
            img->frameInfo.canvasWidth = cw;
            img->frameInfo.canvasHeight = ch;
            last->frameInfo.next = img;
            img->frameInfo.prev = last;
            last = img;
        }
        const uint32_t tw = 1 + rng() % 300, th = 1 + rng() % 300;
        ASSERT_EQ(imageResizeFrames(&chain, tw, th, RF_NEAREST, true), RC_OK);
        for (Image* f : framesOf(chain)) {
            EXPECT_GE(f->frameInfo.x, 0);
            EXPECT_GE(f->frameInfo.y, 0);
            EXPECT_LE(f->frameInfo.x + int64_t(f->width), int64_t(f->frameInfo.canvasWidth))
                << cw << "->" << tw << " round " << round;
            EXPECT_LE(f->frameInfo.y + int64_t(f->height), int64_t(f->frameInfo.canvasHeight));
        }
        objectRelease(chain);
    }
}

TEST(ResizeFrames, FormatsSingleFrameModeAndBadTargets)
{
    Image* chain = chainOf({{9, 7, 0, 0}, {4, 4, 1, 1}}, 9, 7, PF_INDEXED8);
    Image* secondBefore = chain->frameInfo.next;
    ASSERT_EQ(imageResizeFrames(&chain, 18, 14, RF_NEAREST, false), RC_OK);
    EXPECT_EQ(chain->pixelFormat, PF_RGBA8);
    EXPECT_EQ(chain->frameInfo.next, secondBefore) << "later frames untouched";
    EXPECT_EQ(secondBefore->width, 4u);
    EXPECT_EQ(imageResizeFrames(&chain, 0, 14, RF_NEAREST, true), RC_INVALID_PARAMETER);
    EXPECT_EQ(imageResizeFrames(&chain, 14, 0, RF_NEAREST, true), RC_INVALID_PARAMETER);
    EXPECT_EQ(chain->width, 18u);
    objectRelease(chain);

    // The pixels are exactly imageResample's.
    for (PixelFormat f : {PF_RGBA16, PF_GRAY_FLOAT, PF_GRAY8}) {
        Image* img = chainOf({{31, 17, 0, 0}}, 0, 0, f);
        auto expected = makeImage(f, 12, 40);
        ASSERT_EQ(imageResample(expected.get(), img, RF_CATMULL_ROM, nullptr), RC_OK);
        ASSERT_EQ(imageResizeFrames(&img, 12, 40, RF_CATMULL_ROM, true), RC_OK);
        EXPECT_EQ(img->pixelFormat, f);
        EXPECT_EQ(packedBytes(img), packedBytes(expected.get())) << formatName(f);
        EXPECT_EQ(img->frameInfo.canvasWidth, 0u);
        objectRelease(img);
    }
}

// Positions and canvases from a hostile file: no overflow, sizes stay >= 1.
TEST(ResizeFrames, ExtremePositionsAreClamped)
{
    Image* chain = chainOf({{8, 8, 0, 0}, {3, 3, INT32_MAX, INT32_MIN}, {2, 2, -5, 7}}, UINT32_MAX, UINT32_MAX);
    ASSERT_EQ(imageResizeFrames(&chain, 16, 4, RF_NEAREST, true), RC_OK);
    for (Image* f : framesOf(chain)) {
        EXPECT_GE(f->width, 1u);
        EXPECT_GE(f->height, 1u);
    }
    ASSERT_EQ(imageRotateFrames(&chain, 7), RC_OK);
    ASSERT_EQ(imageRotateFrames(&chain, 9), RC_OK);
    objectRelease(chain);
}
