// Blur, sharpen, rotation and colour adjustment split their rows into bands
// on the task pool; whatever the cut, every pixel must equal the one-thread
// result, in place as well as into a new image.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <functional>

#include "core/image_info.h"
#include "image_helpers.h"
#include "platform/tasks.h"
#include "processing/blur.h"
#include "processing/colour_adjust.h"
#include "processing/frame.h"
#include "processing/geometry.h"

using namespace quillon;
using namespace quillon::test;

namespace {

const PixelFormat kFormats[] = {PF_RGBA8, PF_RGBA16, PF_RGBA_FLOAT, PF_GRAY8, PF_GRAY16, PF_GRAY_FLOAT, PF_INDEXED8};

bool samePixels(const Image* a, const Image* b)
{
    if (a->width != b->width || a->height != b->height || a->pixelFormat != b->pixelFormat) return false;
    const size_t bytes = size_t(a->width) * a->bytesPerPixel();
    for (uint32_t y = 0; y < a->height; ++y)
        if (std::memcmp(a->rowBytesPtr(y), b->rowBytesPtr(y), bytes) != 0) return false;
    if (a->palette() && b->palette() && std::memcmp(a->palette(), b->palette(), 256 * 4) != 0) return false;
    return true;
}

// op(src) returns the result image (a new one, or src itself when working
// in place); it runs on a fresh copy of the same random source each time.
using Operation = std::function<Ref<Image>(Image* src)>;

void expectBandsMatchOneThread(PixelFormat f, uint32_t w, uint32_t h, const char* what, const Operation& op)
{
    SCOPED_TRACE(std::string(what) + " format " + std::to_string(f) + " " + std::to_string(w) + "x" +
                 std::to_string(h));
    auto source = [&] {
        Ref<Image> img = makeImage(f, w, h);
        if (img) fillRandom(img.get(), w * 13 + h + f);
        return img;
    };
    Ref<Image> single;
    {
        RowBandOverride one(1, 0);
        Ref<Image> src = source();
        ASSERT_TRUE(src);
        single = op(src.get());
        ASSERT_TRUE(single);
    }
    for (unsigned bands : {2u, 3u, 7u}) {
        RowBandOverride many(bands, 0);
        Ref<Image> src = source();
        ASSERT_TRUE(src);
        Ref<Image> split = op(src.get());
        ASSERT_TRUE(split);
        EXPECT_TRUE(samePixels(single.get(), split.get())) << bands << " bands";
    }
}

const uint32_t kSizes[][2] = {{67, 45}, {5, 130}, {150, 9}};

Ref<Image> fresh(const Image* like, uint32_t w, uint32_t h)
{
    return makeImage(like->pixelFormat == PF_INDEXED8 ? PF_RGBA8 : like->pixelFormat, w, h);
}

} // namespace

TEST(ProcessingBands, BlurAndSharpenMatchOneThread)
{
    for (PixelFormat f : kFormats)
        for (const auto& s : kSizes) {
            expectBandsMatchOneThread(f, s[0], s[1], "edge-keeping blur", [](Image* src) {
                Ref<Image> out = fresh(src, src->width, src->height);
                return imageBlur(out.get(), src, 40, 3.5f, 1.6f) == RC_OK ? out : Ref<Image>();
            });
            expectBandsMatchOneThread(f, s[0], s[1], "sharpen", [](Image* src) {
                Ref<Image> out = fresh(src, src->width, src->height);
                return imageSharpen(out.get(), src, 8, 1.5f) == RC_OK ? out : Ref<Image>();
            });
            if (f == PF_INDEXED8) continue;
            // In place the bands would read rows their neighbours have
            // already overwritten.
            expectBandsMatchOneThread(f, s[0], s[1], "blur in place", [](Image* src) {
                return imageBlur(src, src, 255, 3.5f, 2.0f) == RC_OK ? Ref<Image>::share(src) : Ref<Image>();
            });
            expectBandsMatchOneThread(f, s[0], s[1], "sharpen in place", [](Image* src) {
                return imageSharpen(src, src, 0, 2.0f) == RC_OK ? Ref<Image>::share(src) : Ref<Image>();
            });
        }
}

TEST(ProcessingBands, EveryTurnAndMirrorMatchesOneThread)
{
    for (PixelFormat f : kFormats)
        for (const auto& s : {std::array<uint32_t, 2>{67, 150}, std::array<uint32_t, 2>{200, 3}})
            for (uint8_t turns = 0; turns < 4; ++turns)
                for (uint8_t mirror : {uint8_t(0), uint8_t(ORIENT_MIRROR_V), uint8_t(ORIENT_MIRROR_H)}) {
                    const uint8_t flags = uint8_t(turns | mirror);
                    expectBandsMatchOneThread(f, s[0], s[1], ("orientation " + std::to_string(flags)).c_str(),
                                              [flags](Image* src) {
                        const bool swap = flags & 1;
                        Ref<Image> out = makeImage(src->pixelFormat, swap ? src->height : src->width,
                                                   swap ? src->width : src->height);
                        return imageRotateFlip(out.get(), src, flags) == RC_OK ? out : Ref<Image>();
                    });
                }
}

TEST(ProcessingBands, ColourAdjustmentMatchesOneThread)
{
    AdjustmentSettings adj;
    adj.setColour(&AdjustmentSettings::contrast, 0.3f);
    adj.setColour(&AdjustmentSettings::hue, 40.0f);
    adj.setColour(&AdjustmentSettings::saturation, -0.2f);
    adj.setColour(&AdjustmentSettings::red, 0.1f);
    adj.setGamma(1.4f);
    AdjustmentSettings invertOnly;
    invertOnly.invert = 1;
    invertOnly.colourCount = 1;
    for (const AdjustmentSettings* a : {&adj, &invertOnly})
        for (PixelFormat f : kFormats)
            for (const auto& s : kSizes) {
                expectBandsMatchOneThread(f, s[0], s[1], "colour adjustment", [a](Image* src) {
                    Ref<Image> out = makeImage(src->pixelFormat, src->width, src->height);
                    return imageColorAdjust(out.get(), src, *a) == RC_OK ? out : Ref<Image>();
                });
                expectBandsMatchOneThread(f, s[0], s[1], "colour adjustment in place", [a](Image* src) {
                    return imageColorAdjust(src, src, *a) == RC_OK ? Ref<Image>::share(src) : Ref<Image>();
                });
            }
}

TEST(ProcessingBands, FramesMatchOneThread)
{
    // The picture is copied into the framed image in bands of rows.
    const float a[4] = {0.2f, 0.5f, 0.9f, 1.0f}, b[4] = {0.9f, 0.1f, 0.3f, 0.5f};
    for (PixelFormat f : kFormats)
        for (const auto& s : kSizes)
            for (uint8_t style : {uint8_t(FRAME_FLAT), uint8_t(FRAME_TONED)})
                expectBandsMatchOneThread(f, s[0], s[1], "frame", [&](Image* src) {
                    Image* slot = src;
                    src->addRef();  // the frame replaces the image in its slot
                    if (imageAddFrame(&slot, style, a, b, 7) != RC_OK) {
                        objectRelease(slot);
                        return Ref<Image>();
                    }
                    return Ref<Image>::adopt(slot);
                });
}
