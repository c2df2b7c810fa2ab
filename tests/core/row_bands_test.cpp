// The resamplers split their destination rows into bands on the task pool;
// whatever the cut, every pixel must equal the one-thread result.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "core/box_reduce.h"
#include "core/convert.h"
#include "core/quantize_options.h"
#include "core/resample.h"
#include "core/resize.h"
#include "platform/tasks.h"
#include "resample_support.h"

using namespace quillon;
using namespace quillon::test;

namespace {

const PixelFormat kDirect[] = {PF_RGBA8, PF_RGBA16, PF_RGBA_FLOAT, PF_GRAY8, PF_GRAY16, PF_GRAY_FLOAT};

// Index of the first differing byte of two images' pixels, or -1.
int64_t firstDifference(const Image* a, const Image* b)
{
    if (a->width != b->width || a->height != b->height || a->pixelFormat != b->pixelFormat) return 0;
    const size_t bytes = size_t(a->width) * a->bytesPerPixel();
    for (uint32_t y = 0; y < a->height; ++y)
        if (std::memcmp(a->rowBytesPtr(y), b->rowBytesPtr(y), bytes) != 0)
            for (size_t i = 0; i < bytes; ++i)
                if (a->rowBytesPtr(y)[i] != b->rowBytesPtr(y)[i]) return int64_t(y) * int64_t(bytes) + int64_t(i);
    return -1;
}

using Operation = std::function<ResultCode(Image* dst, const Image* src)>;

// Runs op on one thread and then in 2, 3 and 7 bands (cuts at different
// rows), and expects the same bytes each time.
void expectBandsMatchOneThread(PixelFormat f, uint32_t sw, uint32_t sh, uint32_t dw, uint32_t dh, const Operation& op)
{
    SCOPED_TRACE("format " + std::to_string(f) + " " + std::to_string(sw) + "x" + std::to_string(sh) + " -> " +
                 std::to_string(dw) + "x" + std::to_string(dh));
    Ref<Image> src = Ref<Image>::adopt(makeTestImage(f, sw, sh, sw * 7 + sh + f));
    ASSERT_TRUE(src);
    Ref<Image> single = Ref<Image>::adopt(imageCreate(f, packSize(dw, dh)));
    ASSERT_TRUE(single);
    {
        RowBandOverride one(1, 0);
        ASSERT_EQ(op(single.get(), src.get()), RC_OK);
    }
    for (unsigned bands : {2u, 3u, 7u}) {
        Ref<Image> split = Ref<Image>::adopt(imageCreate(f, packSize(dw, dh)));
        ASSERT_TRUE(split);
        // Poison, so rows a band forgot cannot pass by chance.
        for (uint32_t y = 0; y < dh; ++y) std::memset(split->rowBytesPtr(y), 0xA5, size_t(dw) * split->bytesPerPixel());
        RowBandOverride many(bands, 0);
        ASSERT_EQ(op(split.get(), src.get()), RC_OK);
        EXPECT_EQ(firstDifference(single.get(), split.get()), -1) << bands << " bands";
    }
}

struct Sizes { uint32_t sw, sh, dw, dh; };
// Reductions whose halving is not exact (cubic pass then box, with equal
// widths and beyond 16 too), exact halvings (box alone), the exact x2 and
// x4 enlargements, general enlargements and a source narrower than the edge
// scratch.
const Sizes kSizes[] = {
    {301, 203, 97, 61}, {64, 48, 32, 24}, {128, 64, 8, 4}, {37, 29, 74, 58}, {23, 19, 92, 76},
    {37, 29, 150, 117}, {6, 5, 13, 40}, {90, 70, 61, 53}, {302, 203, 151, 101}, {999, 333, 30, 10},
};

} // namespace

TEST(RowBands, CatmullRomMatchesOneThreadOnEveryFormat)
{
    for (PixelFormat f : kDirect)
        for (const Sizes& s : kSizes)
            expectBandsMatchOneThread(f, s.sw, s.sh, s.dw, s.dh, [](Image* d, const Image* s) {
                return imageResample(d, s, RF_CATMULL_ROM, nullptr);
            });
}

TEST(RowBands, BilinearMatchesOneThreadOnEveryFormat)
{
    for (PixelFormat f : kDirect)
        for (const Sizes& s : kSizes)
            expectBandsMatchOneThread(f, s.sw, s.sh, s.dw, s.dh, [](Image* d, const Image* s) {
                return imageResample(d, s, RF_BILINEAR, nullptr);
            });
}

TEST(RowBands, BSplinesMatchOneThreadOnEveryFormat)
{
    // The columns go in strips and the rows in groups; the sizes leave
    // partial strips and groups at both ends of the cut, and take every
    // path: both axes, the width alone, the height alone, box averaging as
    // the rows are made, and beyond 16. Opaque colour filters three
    // channels instead of four.
    const Sizes sizes[] = {{53, 41, 97, 83},    {90, 70, 61, 53},  {301, 203, 97, 61}, {6, 5, 13, 40},
                           {302, 203, 151, 101}, {64, 45, 90, 45}, {700, 70, 20, 2}};
    for (uint8_t filter : {uint8_t(RF_BSPLINE2), uint8_t(RF_BSPLINE3), uint8_t(RF_BSPLINE4), uint8_t(RF_BSPLINE5)})
        for (PixelFormat f : kDirect)
            for (bool opaque : {false, true}) {
                if (opaque && f > PF_RGBA_FLOAT) continue;
                for (const Sizes& s : sizes)
                    expectBandsMatchOneThread(f, s.sw, s.sh, s.dw, s.dh, [filter, opaque](Image* d, const Image* s) {
                        if (!opaque) return imageResample(d, s, filter, nullptr);
                        Ref<Image> solid = Ref<Image>::adopt(imageCreate(s->pixelFormat, s->size()));
                        if (!solid || failed(imageCopySame(solid.get(), s))) return RC_OUT_OF_MEMORY;
                        for (uint32_t y = 0; y < s->height; ++y)
                            for (uint32_t x = 0; x < s->width; ++x) {
                                if (s->pixelFormat == PF_RGBA8) solid->row<uint8_t>(y)[x * 4 + 3] = 255;
                                else if (s->pixelFormat == PF_RGBA16) solid->row<uint16_t>(y)[x * 4 + 3] = 65535;
                                else solid->row<float>(y)[x * 4 + 3] = 1.0f;
                            }
                        return imageResample(d, solid.get(), filter, nullptr);
                    });
            }
}

TEST(RowBands, BoxReductionMatchesOneThreadAtEveryFactor)
{
    // By 2, 4, 8, 16 and 32 (the last through an intermediate), with
    // columns and rows left over that belong to no block.
    for (PixelFormat f : kDirect)
        for (uint32_t shift = 1; shift <= 5; ++shift)
            expectBandsMatchOneThread(f, (13u << shift) + 1, (11u << shift) + (1u << shift) - 1, 13, 11,
                                      [](Image* d, const Image* s) { return imageShrinkPow2(d, s, nullptr); });
}

TEST(RowBands, AbortStopsEveryBand)
{
    Ref<Image> src = Ref<Image>::adopt(makeTestImage(PF_RGBA8, 200, 200, 3));
    Ref<Image> dst = Ref<Image>::adopt(imageCreate(PF_RGBA8, packSize(150, 150)));
    ASSERT_TRUE(src && dst);
    RowBandOverride many(4, 0);
    std::atomic<uint8_t> abort{1};
    EXPECT_EQ(resampleRun(RF_CATMULL_ROM, dst.get(), src.get(), &abort), RC_CANCELLED);
    EXPECT_EQ(imageResample(dst.get(), src.get(), RF_BILINEAR, &abort), RC_CANCELLED);
}

TEST(RowBands, PixelFormatConversionsMatchOneThread)
{
    // Every pair of formats, with and without luminance weighting of greys;
    // palette sources carry a random palette.
    const PixelFormat sources[] = {PF_RGBA8, PF_RGBA16, PF_RGBA_FLOAT, PF_GRAY8, PF_GRAY16, PF_GRAY_FLOAT, PF_INDEXED8};
    QuantizeOptions& q = globalQuantizeOptions();
    const QuantizeOptions saved = q;
    for (uint8_t luminance : {uint8_t(0), uint8_t(1)}) {
        q.greyByLuminance = luminance;
        for (PixelFormat from : sources) {
            Ref<Image> src = Ref<Image>::adopt(makeTestImage(from, 71, 53, from * 5 + 1));
            ASSERT_TRUE(src);
            if (uint32_t* pal = src->palette())
                for (uint32_t i = 0; i < 256; ++i) pal[i] = i * 2654435761u;
            for (PixelFormat to : kDirect) {
                if (from == to) continue;
                SCOPED_TRACE(std::to_string(from) + " to " + std::to_string(to) + " luminance " +
                             std::to_string(luminance));
                Ref<Image> single = Ref<Image>::adopt(imageCreate(to, src->size()));
                ASSERT_TRUE(single);
                {
                    RowBandOverride one(1, 0);
                    ASSERT_EQ(imageConvertPixels(single.get(), src.get(), false), RC_OK);
                }
                for (unsigned bands : {2u, 7u}) {
                    Ref<Image> split = Ref<Image>::adopt(imageCreate(to, src->size()));
                    ASSERT_TRUE(split);
                    for (uint32_t y = 0; y < split->height; ++y) std::memset(split->rowBytesPtr(y), 0x5A, split->rowBytes());
                    RowBandOverride many(bands, 0);
                    ASSERT_EQ(imageConvertPixels(split.get(), src.get(), false), RC_OK);
                    EXPECT_EQ(firstDifference(single.get(), split.get()), -1) << bands << " bands";
                }
            }
        }
    }
    q = saved;
}
