// Random sequences of the chain operations on tiny frames of every format,
// with hostile positions and empty canvases: under the sanitizers nothing may
// read or write outside an image, the links must stay consistent and no frame
// may leak.
#include <gtest/gtest.h>

#include <random>

#include "core/image.h"
#include "image_helpers.h"
#include "processing/blur.h"
#include "processing/colour_adjust.h"
#include "processing/frame.h"
#include "processing/geometry.h"
using namespace quillon;
using namespace quillon::test;

TEST(ChainOperations, RandomSequencesOnTinyFrames)
{
    const int64_t liveBefore = Image::liveCount();
    std::mt19937 rng(1234);
    for (int round = 0; round < 1500; ++round) {
        Image* first = nullptr; Image* last = nullptr;
        int frames = 1 + rng() % 3;
        uint32_t cw = rng() % 4 == 0 ? 0 : rng() % 12, ch = rng() % 12;
        for (int k = 0; k < frames; ++k) {
            PixelFormat f = PixelFormat(rng() % 7);
            uint32_t w = 1 + rng() % 5, h = 1 + rng() % 5;
            Image* img = imageCreate(f, packSize(w, h), (f == 0 || f == 3 || f == 6) && rng() % 2);
            ASSERT_TRUE(img);
            fillRandom(img, rng());
            img->frameInfo.canvasWidth = cw; img->frameInfo.canvasHeight = ch;
            img->frameInfo.x = int32_t(rng() % 3 == 0 ? rng() : rng() % 10);
            img->frameInfo.y = int32_t(rng() % 3 == 0 ? rng() : rng() % 10);
            if (last) { last->frameInfo.next = img; img->frameInfo.prev = last; } else first = img;
            last = img;
        }
        for (int op = 0; op < 4; ++op) {
            ResultCode rc = RC_OK;
            switch (rng() % 6) {
            case 0: rc = imageResizeFrames(&first, 1 + rng() % 7, 1 + rng() % 7, rng() % 9, rng() % 2); break;
            case 1: rc = imageRotateFrames(&first, rng() % 16); break;
            case 2: { float a[4] = {0.1f, 0.5f, 0.9f, 1}, b[4] = {1, 0, 0.3f, 0.5f};
                      rc = imageAddFrame(&first, 1 + rng() % 2, a, b, int32_t(rng() % 5) - 1); break; }
            case 3: rc = imageBlurFrames(&first, int32_t(rng() % 300) - 10, rng() % 2 ? 0.14f : 1.4f); break;
            case 4: rc = imageSharpenFrames(&first, float(int(rng() % 100) - 30) / 10.0f); break;
            case 5: { AdjustmentSettings adj; adj.setColour(&AdjustmentSettings::hue, float(rng() % 100) / 37.0f);
                      adj.setGamma(float(rng() % 30) / 10.0f); adj.setInvert(rng() % 2);
                      rc = imageColorAdjustFrames(first, adj); break; }
            }
            ASSERT_EQ(rc, RC_OK) << "round " << round << " op " << op;
        }
        for (Image* f = first; f; f = f->frameInfo.next) {
            if (f->frameInfo.next) {
                ASSERT_EQ(f->frameInfo.next->frameInfo.prev, f);
            }
        }
        objectRelease(first);
    }
    EXPECT_EQ(Image::liveCount(), liveBefore);
}
