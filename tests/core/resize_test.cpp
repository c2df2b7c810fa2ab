#include "core/resize.h"

#include <gtest/gtest.h>

#include <cmath>

#include "core/convert.h"
#include "core/resample.h"
#include "platform/memory.h"
#include "resample_support.h"

using namespace quillon;
using namespace quillon::test;

namespace {

const PixelFormat kDirect[] = {PF_RGBA8, PF_RGBA16, PF_RGBA_FLOAT, PF_GRAY8, PF_GRAY16, PF_GRAY_FLOAT};

Ref<Image> make(PixelFormat f, uint32_t w, uint32_t h) { return Ref<Image>::adopt(imageCreate(f, packSize(w, h))); }

// Samples of any format as doubles (palette images through their entries).
double sampleAt(const Image* img, uint32_t x, uint32_t y, uint32_t c)
{
    switch (img->pixelFormat) {
    case PF_RGBA8: return img->row<uint8_t>(y)[x * 4 + c];
    case PF_RGBA16: return img->row<uint16_t>(y)[x * 4 + c];
    case PF_RGBA_FLOAT: return img->row<float>(y)[x * 4 + c];
    case PF_GRAY8: return img->row<uint8_t>(y)[x];
    case PF_GRAY16: return img->row<uint16_t>(y)[x];
    case PF_GRAY_FLOAT: return img->row<float>(y)[x];
    default: return (img->palette()[img->row<uint8_t>(y)[x]] >> (8 * c)) & 0xFF;
    }
}

} // namespace

// B-splines of degree 2 to 5 against scipy's map_coordinates with mirror
// boundaries at the same positions. The coefficient plane is f32, so float
// data agrees within 1e-4 and 8-bit data within one level.
TEST(ResizeBSpline, DegreesTwoToFiveMatchScipy)
{
    QUILLON_REQUIRE_ORACLE();
    TempDir dir;
    struct Case { uint32_t degree; PixelFormat f; uint32_t sw, sh, dw, dh; };
    std::vector<Case> cases;
    for (uint32_t degree = 2; degree <= 5; ++degree)
        for (PixelFormat f : {PF_GRAY_FLOAT, PF_RGBA8, PF_GRAY16})
            for (auto s : {std::array<uint32_t, 4>{23, 17, 41, 30}, {40, 31, 17, 12}, {9, 2, 5, 7}, {3, 40, 8, 33}})
                cases.push_back({degree, f, s[0], s[1], s[2], s[3]});
    std::vector<std::string> lines;
    auto name = [&](size_t i) { return dir / ("b" + std::to_string(i)); };
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        Ref<Image> src = Ref<Image>::adopt(makeTestImage(c.f, c.sw, c.sh, uint32_t(i)));
        writeRaw(src.get(), name(i).string() + ".in");
        lines.push_back("bspline " + std::to_string(c.degree) + " " + std::to_string(c.f) + " " +
                        std::to_string(c.sw) + " " + std::to_string(c.sh) + " " + std::to_string(c.dw) + " " +
                        std::to_string(c.dh) + " " + name(i).string() + ".in " + name(i).string() + ".out");
    }
    ASSERT_TRUE(runOracleBatch(dir, lines));
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE("degree " + std::to_string(c.degree) + " format " + std::to_string(c.f) + " case " +
                     std::to_string(i));
        Ref<Image> src = Ref<Image>::adopt(makeTestImage(c.f, c.sw, c.sh, uint32_t(i)));
        Ref<Image> dst = make(c.f, c.dw, c.dh);
        ASSERT_EQ(imageResample(dst.get(), src.get(), uint8_t(c.degree + 3), nullptr), RC_OK);
        std::vector<uint8_t> raw = readRaw(name(i).string() + ".out");
        const uint32_t ch = channelsOf(c.f);
        ASSERT_EQ(raw.size(), size_t(c.dw) * c.dh * ch * sizeof(double));
        const double* expect = reinterpret_cast<const double*>(raw.data());
        int worst = 0;
        for (uint32_t y = 0; y < c.dh; ++y)
            for (uint32_t x = 0; x < c.dw; ++x)
                for (uint32_t k = 0; k < ch; ++k) {
                    const double e = expect[(size_t(y) * c.dw + x) * ch + k];
                    const double got = sampleAt(dst.get(), x, y, k);
                    if (c.f == PF_GRAY_FLOAT) {
                        ASSERT_NEAR(got, e, 1e-4) << x << "," << y;
                    } else {
                        const double top = c.f == PF_RGBA8 ? 255 : 65535;
                        const double want = std::clamp(std::floor(e + 0.5), 0.0, top);
                        const double tolerance = c.f == PF_RGBA8 ? 1 : 2;
                        ASSERT_NEAR(got, want, tolerance) << x << "," << y;
                        worst = std::max(worst, int(std::fabs(got - want)));
                    }
                }
    }
}

namespace {

// The B-spline resize as it was first written, in f64 lines over an f32
// coefficient plane, channel by channel, to the power-of-two multiple of the
// destination and then box-averaged: the reference for the f32 resampler.
Ref<Image> splineReference(const Image* src, uint32_t degree, uint32_t dw, uint32_t dh)
{
    double poles[2];
    const int poleCount = bsplinePoles(degree, poles);
    const uint32_t sw = src->width, sh = src->height, ch = channelsOf(src->pixelFormat);
    uint32_t shift = 0;
    while ((dw << (shift + 1)) <= sw && (dh << (shift + 1)) <= sh) ++shift;
    const uint32_t ow = dw << shift, oh = dh << shift;
    Ref<Image> out = make(src->pixelFormat, ow, oh);
    std::vector<float> plane(size_t(sw) * sh);
    std::vector<double> line(std::max(sw, sh));
    for (uint32_t c = 0; c < ch; ++c) {
        for (uint32_t y = 0; y < sh; ++y)
            for (uint32_t x = 0; x < sw; ++x) plane[size_t(y) * sw + x] = float(sampleAt(src, x, y, c));
        for (uint32_t y = 0; y < sh; ++y) {
            for (uint32_t x = 0; x < sw; ++x) line[x] = plane[size_t(y) * sw + x];
            bsplinePrefilter(line.data(), sw, poles, poleCount);
            for (uint32_t x = 0; x < sw; ++x) plane[size_t(y) * sw + x] = float(line[x]);
        }
        for (uint32_t x = 0; x < sw; ++x) {
            for (uint32_t y = 0; y < sh; ++y) line[y] = plane[size_t(y) * sw + x];
            bsplinePrefilter(line.data(), sh, poles, poleCount);
            for (uint32_t y = 0; y < sh; ++y) plane[size_t(y) * sw + x] = float(line[y]);
        }
        for (uint32_t y = 0; y < oh; ++y)
            for (uint32_t x = 0; x < ow; ++x) {
                const double v = bsplineWeights(plane.data(), sw, sh, degree, double(x) * sw / ow, double(y) * sh / oh);
                const size_t i = size_t(x) * ch + c;
                switch (src->pixelFormat) {
                case PF_RGBA8: case PF_GRAY8:
                    out->row<uint8_t>(y)[i] = uint8_t(std::clamp(std::floor(v + 0.5), 0.0, 255.0));
                    break;
                case PF_RGBA16: case PF_GRAY16:
                    out->row<uint16_t>(y)[i] = uint16_t(std::clamp(std::floor(v + 0.5), 0.0, 65535.0));
                    break;
                default: out->row<float>(y)[i] = float(v); break;
                }
            }
    }
    if (shift == 0) return out;
    Ref<Image> dst = make(src->pixelFormat, dw, dh);
    EXPECT_EQ(imageShrinkPow2(dst.get(), out.get(), nullptr), RC_OK);
    return dst;
}

} // namespace

// The resampler works in f32 down the columns and then along the rows, skips
// an axis whose size stays, filters colour alone when alpha is the same
// everywhere (and starts again on all four when a pixel says otherwise) and
// averages boxes as the rows are made. Against the f64 reference: within one
// level on 8- and 16-bit data, 1e-4 on float data, and alpha kept exactly
// when it is constant.
TEST(ResizeBSpline, SinglePrecisionMatchesTheDoubleReference)
{
    struct Case { uint32_t sw, sh, dw, dh; };
    const Case sizes[] = {{61, 47, 30, 23},  {61, 47, 29, 11},   {23, 17, 41, 30}, {40, 31, 40, 50},
                          {40, 31, 57, 31},  {80, 62, 40, 31},   {82, 63, 41, 31}, {700, 70, 20, 2},
                          {97, 5, 13, 2},    {1, 9, 4, 5},       {9, 1, 4, 3},     {13, 1500, 7, 701},
                          {11, 1300, 23, 2000}};
    for (uint32_t degree = 2; degree <= 5; ++degree)
        for (PixelFormat f : {PF_RGBA8, PF_RGBA16, PF_RGBA_FLOAT, PF_GRAY8, PF_GRAY16, PF_GRAY_FLOAT})
            for (int alpha : {0, 1, 2}) {  // random, constant, constant but for the last pixel
                const bool opaque = alpha == 1;
                if (alpha && channelsOf(f) == 1) continue;
                for (const Case& c : sizes) {
                    SCOPED_TRACE("degree " + std::to_string(degree) + " format " + std::to_string(f) + " alpha " +
                                 std::to_string(alpha) + " " + std::to_string(c.sw) + "x" + std::to_string(c.sh) +
                                 " -> " + std::to_string(c.dw) + "x" + std::to_string(c.dh));
                    Ref<Image> src = Ref<Image>::adopt(makeTestImage(f, c.sw, c.sh, c.sw * 3 + c.dh + degree));
                    for (uint32_t y = 0; alpha && y < c.sh; ++y)
                        for (uint32_t x = 0; x < c.sw; ++x) {
                            const bool lastPixel = alpha == 2 && y == c.sh - 1 && x == c.sw - 1;
                            if (f == PF_RGBA8) src->row<uint8_t>(y)[x * 4 + 3] = lastPixel ? 7 : 200;
                            else if (f == PF_RGBA16) src->row<uint16_t>(y)[x * 4 + 3] = lastPixel ? 7 : 50000;
                            else src->row<float>(y)[x * 4 + 3] = lastPixel ? 0.125f : 0.75f;
                        }
                    Ref<Image> ref = splineReference(src.get(), degree, c.dw, c.dh);
                    Ref<Image> dst = make(f, c.dw, c.dh);
                    ASSERT_EQ(resampleBSpline(dst.get(), src.get(), degree, nullptr), RC_OK);
                    const bool isFloat = f == PF_RGBA_FLOAT || f == PF_GRAY_FLOAT;
                    double worst = 0;
                    for (uint32_t y = 0; y < c.dh; ++y)
                        for (uint32_t x = 0; x < c.dw; ++x)
                            for (uint32_t k = 0; k < channelsOf(f); ++k) {
                                const double got = sampleAt(dst.get(), x, y, k), want = sampleAt(ref.get(), x, y, k);
                                worst = std::max(worst, std::fabs(got - want));
                                if (opaque && k == 3) {
                                    ASSERT_EQ(got, sampleAt(src.get(), 0, 0, 3)) << x << "," << y;
                                }
                            }
                    EXPECT_LE(worst, isFloat ? 1e-4 : 1.0);
                }
            }
}

TEST(ResizeBSpline, ConstantImageStaysConstant)
{
    for (uint8_t filter = RF_BSPLINE2; filter <= RF_BSPLINE5; ++filter)
        for (auto s : {std::array<uint32_t, 4>{1, 1, 4, 3}, {7, 1, 19, 2}, {30, 20, 11, 9}}) {
            Ref<Image> src = make(PF_GRAY_FLOAT, s[0], s[1]);
            for (uint32_t y = 0; y < s[1]; ++y)
                for (uint32_t x = 0; x < s[0]; ++x) src->row<float>(y)[x] = 0.625f;
            Ref<Image> dst = make(PF_GRAY_FLOAT, s[2], s[3]);
            ASSERT_EQ(imageResample(dst.get(), src.get(), filter, nullptr), RC_OK);
            for (uint32_t y = 0; y < s[3]; ++y)
                for (uint32_t x = 0; x < s[2]; ++x) ASSERT_NEAR(dst->row<float>(y)[x], 0.625f, 1e-6);
        }
}

TEST(ResizeCubic, FilterIdsZeroThreeAndFourAreIdentical)
{
    for (PixelFormat f : kDirect) {
        Ref<Image> src = Ref<Image>::adopt(makeTestImage(f, 37, 23, 3));
        for (auto s : {std::array<uint32_t, 2>{50, 31}, {74, 46}, {12, 7}}) {
            Ref<Image> direct = make(f, s[0], s[1]);
            ASSERT_EQ(resampleRun(0, direct.get(), src.get(), nullptr), RC_OK);
            for (uint8_t filter : {RF_PREVIEW, RF_CATMULL_ROM, RF_CUBIC_IMOMS}) {
                Ref<Image> dst = make(f, s[0], s[1]);
                ASSERT_EQ(imageResample(dst.get(), src.get(), filter, nullptr), RC_OK);
                for (uint32_t y = 0; y < s[1]; ++y)
                    ASSERT_EQ(std::memcmp(dst->rowBytesPtr(y), direct->rowBytesPtr(y), s[0] * dst->bytesPerPixel()), 0)
                        << "format " << int(f) << " filter " << int(filter) << " row " << y;
            }
        }
    }
}

TEST(ResizeNearest, PixelCentresAndWideSources)
{
    Ref<Image> src = make(PF_GRAY8, 4, 4);
    for (uint32_t y = 0; y < 4; ++y)
        for (uint32_t x = 0; x < 4; ++x) src->row<uint8_t>(y)[x] = uint8_t(y * 16 + x);
    Ref<Image> dst = make(PF_GRAY8, 2, 2);
    ASSERT_EQ(imageResample(dst.get(), src.get(), RF_NEAREST, nullptr), RC_OK);
    EXPECT_EQ(dst->row<uint8_t>(0)[0], 0x11);
    EXPECT_EQ(dst->row<uint8_t>(0)[1], 0x13);
    EXPECT_EQ(dst->row<uint8_t>(1)[0], 0x31);
    EXPECT_EQ(dst->row<uint8_t>(1)[1], 0x33);

    // 70,000 pixels wide: (srcW << 16) does not fit 32 bits.
    Ref<Image> wide = make(PF_GRAY_FLOAT, 70000, 1);
    for (uint32_t x = 0; x < 70000; ++x) wide->row<float>(0)[x] = float(x);
    Ref<Image> out = make(PF_GRAY_FLOAT, 3, 2);
    ASSERT_EQ(imageResample(out.get(), wide.get(), RF_NEAREST, nullptr), RC_OK);
    const uint64_t step = (uint64_t(70000) << 16) / 3;
    for (uint32_t x = 0; x < 3; ++x) EXPECT_EQ(out->row<float>(1)[x], float((step / 2 + x * step) >> 16));
    EXPECT_EQ(out->row<float>(0)[2], 58333.0f);
}

TEST(ResizeBilinear, EdgesOfTheGrid)
{
    // Rows start half a source row down, columns at 0.
    Ref<Image> src = make(PF_GRAY8, 2, 2);
    src->row<uint8_t>(0)[0] = 0, src->row<uint8_t>(0)[1] = 100;
    src->row<uint8_t>(1)[0] = 200, src->row<uint8_t>(1)[1] = 40;
    Ref<Image> dst = make(PF_GRAY8, 4, 4);
    ASSERT_EQ(imageResample(dst.get(), src.get(), RF_BILINEAR, nullptr), RC_OK);
    EXPECT_EQ(dst->row<uint8_t>(0)[0], 100);  // (0 + 200) / 2
    EXPECT_EQ(dst->row<uint8_t>(3)[0], 200);  // row 1 clamped below
    // Column 0 is source column 0 in every row; column 3 samples 0.75.
    EXPECT_EQ(dst->row<uint8_t>(3)[3], (64 * 200 + 192 * 40) * 256 >> 16);
}

// Every format, reductions through the box front end, one-pixel sources and
// a source 70,000 pixels wide, against the numpy port.
TEST(ResizeBilinear, MatchesNumpyPort)
{
    QUILLON_REQUIRE_ORACLE();
    TempDir dir;
    struct Case { PixelFormat f; uint32_t sw, sh, dw, dh; };
    std::vector<Case> cases;
    for (PixelFormat f : kDirect)
        for (auto s : {std::array<uint32_t, 4>{23, 17, 41, 30}, {64, 64, 16, 16}, {64, 64, 12, 12},
                       {40, 31, 29, 12}, {1, 5, 3, 9}, {6, 1, 11, 2}})
            cases.push_back({f, s[0], s[1], s[2], s[3]});
    cases.push_back({PF_GRAY_FLOAT, 70000, 2, 40001, 3});
    cases.push_back({PF_RGBA8, 70000, 2, 33000, 2});
    std::vector<std::string> lines;
    auto name = [&](size_t i) { return dir / ("l" + std::to_string(i)); };
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        Ref<Image> src = Ref<Image>::adopt(makeTestImage(c.f, c.sw, c.sh, uint32_t(i) + 50));
        writeRaw(src.get(), name(i).string() + ".in");
        lines.push_back("bilinear " + std::to_string(c.f) + " " + std::to_string(c.sw) + " " + std::to_string(c.sh) +
                        " " + std::to_string(c.dw) + " " + std::to_string(c.dh) + " " + name(i).string() + ".in " +
                        name(i).string() + ".out");
    }
    ASSERT_TRUE(runOracleBatch(dir, lines));
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE("format " + std::to_string(c.f) + " case " + std::to_string(i));
        Ref<Image> src = Ref<Image>::adopt(makeTestImage(c.f, c.sw, c.sh, uint32_t(i) + 50));
        Ref<Image> dst = make(c.f, c.dw, c.dh);
        ASSERT_EQ(imageResample(dst.get(), src.get(), RF_BILINEAR, nullptr), RC_OK);
        EXPECT_EQ(rawDifferences(dst.get(), readRaw(name(i).string() + ".out")), 0);
    }
}

// Every source format into every destination format through every filter: a
// uniform colour comes out as the same colour in the destination's format
// (channel order and working-format conversions included), with the
// source's information record and alpha kind.
TEST(ResizeFormats, EveryFormatPairThroughEveryFilter)
{
    const PixelFormat all[] = {PF_RGBA8, PF_RGBA16, PF_RGBA_FLOAT, PF_GRAY8, PF_GRAY16, PF_GRAY_FLOAT, PF_INDEXED8};
    const uint32_t colour = 0xFFC87828;  // A 255, R 200, G 120, B 40
    const int64_t liveBefore = Image::liveCount();
    for (PixelFormat sf : all) {
        Ref<Image> src = make(sf, 9, 7);
        if (sf == PF_INDEXED8) {
            src->palette()[5] = colour;
            src->indexedView()->paletteChanged();
        }
        imageFillRectArgb(src.get(), 0, packSize(9, 7), colour);
        src->info()->set(INFO_TITLE, u"resampled");
        src->alphaKind = ALPHA_STRAIGHT;
        for (PixelFormat df : all)
            for (uint8_t filter = 0; filter <= RF_BSPLINE5; ++filter) {
                SCOPED_TRACE("source " + std::to_string(sf) + " destination " + std::to_string(df) + " filter " +
                             std::to_string(filter));
                Ref<Image> dst = make(df, 5, 11);
                const bool turnsGray = sf == PF_GRAY8 && df == PF_INDEXED8 &&
                                       (filter == 0 || filter == RF_CATMULL_ROM || filter == RF_CUBIC_IMOMS);
                Ref<Image> expect = make(turnsGray ? PF_GRAY8 : df, 9, 7);
                if (failed(imageConvertPixels(expect.get(), src.get(), false))) {
                    // The conversion into this format is not available: the
                    // resample must not claim success either.
                    EXPECT_TRUE(failed(imageResample(dst.get(), src.get(), filter, nullptr)));
                    continue;
                }
                ASSERT_EQ(imageResample(dst.get(), src.get(), filter, nullptr), RC_OK);
                EXPECT_EQ(dst->pixelFormat, turnsGray ? PF_GRAY8 : df);
                ASSERT_NE(dst->info()->get(INFO_TITLE), nullptr);
                EXPECT_EQ(std::u16string(dst->info()->get(INFO_TITLE)), u"resampled");
                EXPECT_EQ(dst->alphaKind, ALPHA_STRAIGHT);
                const double top = df == PF_RGBA16 || df == PF_GRAY16 ? 65535 : df == PF_RGBA_FLOAT || df == PF_GRAY_FLOAT ? 1 : 255;
                const uint32_t ch = dst->pixelFormat == PF_INDEXED8 ? 4 : channelsOf(dst->pixelFormat);
                for (uint32_t y = 0; y < 11; ++y)
                    for (uint32_t x = 0; x < 5; ++x)
                        for (uint32_t k = 0; k < ch; ++k)
                            ASSERT_NEAR(sampleAt(dst.get(), x, y, k), sampleAt(expect.get(), 0, 0, k), top * 0.0042)
                                << x << "," << y << " channel " << k;
            }
    }
    // Working images are released on every path.
    EXPECT_EQ(Image::liveCount(), liveBefore);
}

TEST(ResizeFormats, SameSizeConvertsCarriesInformationAndReportsFailure)
{
    Ref<Image> src = Ref<Image>::adopt(makeTestImage(PF_RGBA8, 16, 8, 4));
    src->info()->set(INFO_AUTHOR, u"someone");
    Ref<Image> dst = make(PF_RGBA16, 16, 8);
    ASSERT_EQ(imageResample(dst.get(), src.get(), RF_BSPLINE3, nullptr), RC_OK);
    EXPECT_EQ(dst->row<uint16_t>(3)[5], src->row<uint8_t>(3)[5] * 257);
    ASSERT_NE(dst->info()->get(INFO_AUTHOR), nullptr);
    EXPECT_EQ(std::u16string(dst->info()->get(INFO_AUTHOR)), u"someone");

    // A conversion that fails (here: no memory for its temporary image) is
    // the call's failure, not a success with stale pixels.
    Ref<Image> wide = Ref<Image>::adopt(makeTestImage(PF_GRAY_FLOAT, 4096, 1, 5));
    Ref<Image> colour = make(PF_RGBA8, 4096, 1);
    setAllocationCap(1024);
    ResultCode rc = imageResample(colour.get(), wide.get(), RF_NEAREST, nullptr);
    setAllocationCap(0);
    EXPECT_TRUE(failed(rc));
}

TEST(ResizeFormats, ParametersAndAbort)
{
    Ref<Image> src = Ref<Image>::adopt(makeTestImage(PF_RGBA8, 20, 20, 6));
    Ref<Image> dst = make(PF_RGBA8, 30, 10);
    EXPECT_EQ(imageResample(nullptr, src.get(), 1, nullptr), RC_INVALID_PARAMETER);
    EXPECT_EQ(imageResample(dst.get(), nullptr, 1, nullptr), RC_INVALID_PARAMETER);
    EXPECT_EQ(imageResample(dst.get(), src.get(), 9, nullptr), RC_INVALID_PARAMETER);
    EXPECT_EQ(imageResample(src.get(), src.get(), 9, nullptr), RC_OK);
    std::atomic<uint8_t> abort{1};
    src->info()->set(INFO_TITLE, u"not copied");
    for (uint8_t filter = 0; filter <= RF_BSPLINE5; ++filter) {
        Ref<Image> out = make(PF_RGBA8, 30, 10);
        EXPECT_EQ(imageResample(out.get(), src.get(), filter, &abort), RC_CANCELLED) << int(filter);
        EXPECT_EQ(out->info()->get(INFO_TITLE), nullptr);
    }
}

TEST(FillRect, EveryFormatAndClipping)
{
    const uint32_t colour = 0x80FF4010;  // A 128, R 255, G 64, B 16
    for (PixelFormat f : kDirect) {
        Ref<Image> img = make(f, 6, 5);
        for (uint32_t y = 0; y < 5; ++y) std::memset(img->rowBytesPtr(y), 0, 6 * img->bytesPerPixel());
        imageFillRectArgb(img.get(), packSize(4, 3), packSize(100, 100), colour);
        // Negative origin: clipped to the image, the rectangle shortened.
        imageFillRectArgb(img.get(), packSize(uint32_t(-2), uint32_t(-3)), packSize(3, 4), colour);
        // x + width wraps in 32 bits: still clipped at the right edge.
        imageFillRectArgb(img.get(), packSize(5, 0), packSize(0xFFFFFFFFu, 1), colour);
        SCOPED_TRACE("format " + std::to_string(f));
        for (uint32_t y = 0; y < 5; ++y)
            for (uint32_t x = 0; x < 6; ++x) {
                const bool filled = (x >= 4 && y >= 3) || (x < 1 && y < 1) || (x == 5 && y == 0);
                const double got = sampleAt(img.get(), x, y, 0);
                double want = 0;
                if (filled) {
                    switch (f) {
                    case PF_RGBA8: want = 16; break;
                    case PF_RGBA16: want = 16 * 257; break;
                    case PF_RGBA_FLOAT: want = 16 * 0.003921569f; break;
                    case PF_GRAY8: want = (255 + 64 + 16 + 1) / 3; break;
                    case PF_GRAY16: want = floatToU16(335 * 0.0013071897f); break;
                    default: want = 335 * 0.0013071897f; break;
                    }
                }
                ASSERT_FLOAT_EQ(float(got), float(want)) << x << "," << y;
                if (filled && f == PF_RGBA16) {
                    ASSERT_EQ(sampleAt(img.get(), x, y, 3), 128 * 257);
                }
            }
    }
    EXPECT_EQ(floatToU16(-1.0f), 0);
    EXPECT_EQ(floatToU16(2.0f), 65535);
    EXPECT_EQ(floatToU16(0.5f), 32768);
}

TEST(FillRect, PaletteImagesPickTheNearestEntry)
{
    Ref<Image> img = make(PF_INDEXED8, 4, 1);
    uint32_t* pal = img->palette();
    for (int i = 0; i < 256; ++i) pal[i] = 0xFF000000u | uint32_t(i * 0x010101);
    pal[7] = 0x00123456;   // first fully transparent entry
    pal[9] = 0x00000000;
    pal[20] = 0xFF102030;  // exact match below
    pal[21] = 0xFF102030;  // equal distance: the first wins
    imageFillRectArgb(img.get(), packSize(0, 0), packSize(1, 1), 0x00000000);
    imageFillRectArgb(img.get(), packSize(1, 0), packSize(1, 1), 0xFF102030);
    imageFillRectArgb(img.get(), packSize(2, 0), packSize(1, 1), 0xFF7F7F80);
    EXPECT_EQ(img->row<uint8_t>(0)[0], 7);
    EXPECT_EQ(img->row<uint8_t>(0)[1], 20);
    EXPECT_EQ(img->row<uint8_t>(0)[2], 127);
}

// A sanity check against independent resamplers: on a smooth picture the
// cubic engine, bilinear and the cubic B-spline agree with ImageMagick's
// filters of the same family. Sampling grids differ by a fraction of a
// pixel, so this catches swapped channels or misplaced rows, not rounding.
TEST(ResizePeers, SmoothPictureAgreesWithImageMagick)
{
    QUILLON_REQUIRE_TOOL("convert");
    TempDir dir;
    const uint32_t w = 240, h = 180;
    Pnm pnm;
    pnm.width = w, pnm.height = h, pnm.channels = 3, pnm.maxval = 255;
    Ref<Image> src = make(PF_RGBA8, w, h);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            const uint8_t r = uint8_t(128 + 100 * std::sin(x / 17.0) * std::cos(y / 23.0));
            const uint8_t g = uint8_t(128 + 90 * std::cos(x / 29.0 + y / 31.0));
            const uint8_t b = uint8_t(x * 255 / w);
            pnm.samples.insert(pnm.samples.end(), {r, g, b});
            src->row<Rgba8>(y)[x] = {b, g, r, 255};
        }
    ASSERT_TRUE(writePnm(dir / "in.ppm", pnm));
    struct Case { uint8_t filter; const char* magick; uint32_t dw, dh; };
    for (const Case& c : {Case{RF_CATMULL_ROM, "Catrom", 150, 110}, Case{RF_CATMULL_ROM, "Catrom", 70, 50},
                          Case{RF_CATMULL_ROM, "Catrom", 480, 360}, Case{RF_CATMULL_ROM, "Catrom", 120, 89},
                          Case{RF_CATMULL_ROM, "Catrom", 79, 59}, Case{RF_BILINEAR, "Triangle", 150, 110},
                          Case{RF_BSPLINE3, "Catrom", 333, 251}}) {
        SCOPED_TRACE(std::string(c.magick) + " " + std::to_string(c.dw));
        const std::string size = std::to_string(c.dw) + "x" + std::to_string(c.dh) + "!";
        ASSERT_EQ(run("convert " + shellQuote((dir / "in.ppm").string()) + " -filter " + c.magick + " -resize '" +
                      size + "' " + shellQuote((dir / "out.ppm").string())), 0);
        Pnm peer;
        ASSERT_TRUE(readPnm(dir / "out.ppm", peer));
        Ref<Image> dst = make(PF_RGBA8, c.dw, c.dh);
        ASSERT_EQ(imageResample(dst.get(), src.get(), c.filter, nullptr), RC_OK);
        for (uint32_t ch = 0; ch < 3; ++ch) {
            double se = 0;
            for (uint32_t y = 0; y < c.dh; ++y)
                for (uint32_t x = 0; x < c.dw; ++x) {
                    const Rgba8 p = dst->row<Rgba8>(y)[x];
                    const double ours = ch == 0 ? p.r : ch == 1 ? p.g : p.b;
                    se += (ours - peer.at(x, y, ch)) * (ours - peer.at(x, y, ch));
                }
            const double psnr = 10 * std::log10(255.0 * 255.0 / (se / (double(c.dw) * c.dh) + 1e-9));
            EXPECT_GT(psnr, 35.0) << "channel " << ch;
        }
    }
}

namespace {

// Our resize of an 8-bit RGB picture against ImageMagick's of the same
// picture: the largest and the mean channel difference and the PSNR.
struct PeerDiff { int max = 0; double mean = 0, psnr = 0; };

PeerDiff compareWithMagick(const TempDir& dir, const Pnm& pnm, uint8_t filter, const char* magickFilter, uint32_t dw,
                           uint32_t dh)
{
    PeerDiff d;
    Ref<Image> src = make(PF_RGBA8, pnm.width, pnm.height);
    for (uint32_t y = 0; y < pnm.height; ++y)
        for (uint32_t x = 0; x < pnm.width; ++x)
            src->row<Rgba8>(y)[x] = {uint8_t(pnm.at(x, y, 2)), uint8_t(pnm.at(x, y, 1)), uint8_t(pnm.at(x, y, 0)), 255};
    const std::string size = std::to_string(dw) + "x" + std::to_string(dh) + "!";
    EXPECT_EQ(run("convert " + shellQuote((dir / "peer-in.ppm").string()) + " -filter " + magickFilter + " -resize '" +
                  size + "' " + shellQuote((dir / "peer-out.ppm").string())), 0);
    Pnm peer;
    EXPECT_TRUE(readPnm(dir / "peer-out.ppm", peer));
    if (peer.width != dw || peer.height != dh) return d;
    Ref<Image> dst = make(PF_RGBA8, dw, dh);
    EXPECT_EQ(imageResample(dst.get(), src.get(), filter, nullptr), RC_OK);
    double sum = 0, se = 0;
    for (uint32_t y = 0; y < dh; ++y)
        for (uint32_t x = 0; x < dw; ++x) {
            const Rgba8 p = dst->row<Rgba8>(y)[x];
            const int ours[3] = {p.r, p.g, p.b};
            for (uint32_t c = 0; c < 3; ++c) {
                const int diff = std::abs(ours[c] - int(peer.at(x, y, c)));
                d.max = std::max(d.max, diff);
                sum += diff;
                se += double(diff) * diff;
            }
        }
    const double n = double(dw) * dh * 3;
    d.mean = sum / n;
    d.psnr = 10 * std::log10(255.0 * 255.0 / (se / n + 1e-9));
    return d;
}

} // namespace

// The exact x2 and x4 enlargements sample destination pixel centres, as
// ImageMagick does: on a busy picture, where a shift of a quarter pixel
// shows at once, they agree within rounding.
TEST(ResizePeers, ExactEnlargementsSamplePixelCentres)
{
    QUILLON_REQUIRE_TOOL("convert");
    TempDir dir;
    Pnm pnm = Pnm::rgb8(60, 45);
    for (uint32_t y = 0; y < pnm.height; ++y)
        for (uint32_t x = 0; x < pnm.width; ++x) {
            pnm.samples[(size_t(y) * pnm.width + x) * 3 + 0] = uint16_t(128 + 100 * std::sin(x / 3.0) * std::cos(y / 4.0));
            pnm.samples[(size_t(y) * pnm.width + x) * 3 + 1] = uint16_t(128 + 90 * std::cos(x / 5.0 + y / 2.0));
            pnm.samples[(size_t(y) * pnm.width + x) * 3 + 2] = uint16_t(x * 255 / pnm.width);
        }
    ASSERT_TRUE(writePnm(dir / "peer-in.ppm", pnm));
    for (uint32_t factor : {2u, 4u}) {
        SCOPED_TRACE("x" + std::to_string(factor));
        const PeerDiff d = compareWithMagick(dir, pnm, RF_CATMULL_ROM, "Catrom", 60 * factor, 45 * factor);
        EXPECT_LE(d.max, 2);
        EXPECT_LT(d.mean, 0.2);
    }
}

// Reducing a photograph to 30% or 10%: the B-splines average every source
// pixel as the cubic filters do, so they come as close to ImageMagick's
// Lanczos as Catmull-Rom does instead of aliasing.
TEST(ResizePeers, BSplineReductionsDoNotAlias)
{
    QUILLON_REQUIRE_TOOL("convert");
    const std::vector<std::filesystem::path> photos = photographs({"Kleiber_by_Lukas_Baubkus.jpg"});
    QUILLON_REQUIRE_PHOTOS(photos);
    const std::string photo = photos[0];
    TempDir dir;
    ASSERT_EQ(run("convert " + shellQuote(photo) + " -resize 800x " + shellQuote((dir / "peer-in.ppm").string())), 0);
    Pnm pnm;
    ASSERT_TRUE(readPnm(dir / "peer-in.ppm", pnm));
    for (double scale : {0.3, 0.1}) {
        const uint32_t dw = uint32_t(pnm.width * scale), dh = uint32_t(pnm.height * scale);
        const double cubic = compareWithMagick(dir, pnm, RF_CATMULL_ROM, "Lanczos", dw, dh).psnr;
        for (uint8_t filter = RF_BSPLINE2; filter <= RF_BSPLINE5; ++filter) {
            SCOPED_TRACE("filter " + std::to_string(filter) + " scale " + std::to_string(scale));
            EXPECT_GT(compareWithMagick(dir, pnm, filter, "Lanczos", dw, dh).psnr, cubic - 1.5);
        }
    }
}
