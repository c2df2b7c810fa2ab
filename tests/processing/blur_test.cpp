#include "processing/blur.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <sstream>

#include "core/image.h"
#include "image_helpers.h"
#include "platform/memory.h"
#include "support/test_support.h"

using namespace quillon;
using namespace quillon::test;

namespace {

struct KernelPair {
    uint32_t n = 0, stride = 0;
    float* f = nullptr;
    uint8_t* u = nullptr;
    KernelPair(double radius, double sigma)
    {
        f = gaussianKernel(&n, &stride, radius, sigma);
        if (f) u = gaussianKernelU8(f, n, stride);
    }
    ~KernelPair()
    {
        alignedFree(f);
        alignedFree(u);
    }
    // The normalised 1-D weight i: the square root of the diagonal entry.
    double weight(uint32_t i) const { return std::sqrt(double(f[size_t(i) * stride + i])); }
};

std::string runReference(const std::string& args)
{
    return runOutput(std::string(kPython) + " " + shellQuote(sourceFile("tests/processing/reference/blur.py")) + " " +
                     args);
}

const PixelFormat kDirectFormats[] = {PF_RGBA8, PF_RGBA16, PF_RGBA_FLOAT, PF_GRAY8, PF_GRAY16, PF_GRAY_FLOAT};

void expectMatches(const Image* ours, const std::vector<uint8_t>& ref, const std::string& what)
{
    auto bytes = packedBytes(ours);
    ASSERT_EQ(bytes.size(), ref.size()) << what;
    const PixelFormat f = ours->pixelFormat;
    if (f == PF_RGBA_FLOAT || f == PF_GRAY_FLOAT) {
        for (size_t i = 0; i < sampleCount(bytes, f); ++i)
            ASSERT_NEAR(sampleAt(bytes, f, i), sampleAt(ref, f, i), 1e-6) << what << " sample " << i;
    } else {
        for (size_t i = 0; i < sampleCount(bytes, f); ++i)
            ASSERT_EQ(sampleAt(bytes, f, i), sampleAt(ref, f, i)) << what << " sample " << i;
    }
}

} // namespace

TEST(GaussianKernel, SizesWeightsAndIntegerForm)
{
    EXPECT_EQ(KernelPair(3.5, 1.4).n, 7u);
    EXPECT_EQ(KernelPair(2.5, 1.25).n, 5u);
    EXPECT_EQ(KernelPair(0.5, 1.0).n, 3u);
    EXPECT_EQ(KernelPair(0.1, 1.0).n, 3u);
    EXPECT_EQ(KernelPair(3.5, 1.4).stride, 16u);

    struct Case {
        double radius, sigma;
        std::vector<double> weights;
        std::vector<int> centreRow;
    } cases[] = {
        {3.5, 0.14, {0, 0, 0.2708, 0.4585, 0.2708, 0, 0}, {0, 0, 31, 60, 31, 0, 0}},
        {3.5, 1.4, {0.0330, 0.1127, 0.2359, 0.2369, 0.2359, 0.1127, 0.0330}, {2, 6, 14, 44, 14, 6, 2}},
        {2.5, 1.25, {0.1051, 0.2628, 0.2643, 0.2628, 0.1051}, {7, 17, 28, 17, 7}},
    };
    for (const Case& c : cases) {
        KernelPair k(c.radius, c.sigma);
        ASSERT_TRUE(k.f && k.u);
        ASSERT_EQ(k.n, c.weights.size());
        int sum = 0;
        for (uint32_t i = 0; i < k.n; ++i) {
            EXPECT_NEAR(k.weight(i), c.weights[i], 6e-5) << c.sigma << " " << i;
            EXPECT_EQ(k.u[size_t(k.n / 2) * k.stride + i], c.centreRow[i]) << c.sigma << " " << i;
            for (uint32_t j = 0; j < k.n; ++j) sum += k.u[size_t(i) * k.stride + j];
            for (uint32_t j = k.n; j < k.stride; ++j) EXPECT_EQ(k.f[size_t(i) * k.stride + j], 0.0f);
        }
        EXPECT_EQ(sum, 256);
    }
    uint32_t n, s;
    EXPECT_EQ(gaussianKernel(&n, &s, 3.5, 0.0), nullptr);
    EXPECT_EQ(gaussianKernel(&n, &s, std::nan(""), 1.0), nullptr);
    EXPECT_EQ(gaussianKernel(&n, &s, 3.5, std::numeric_limits<double>::infinity()), nullptr);
}

TEST(GaussianKernel, MatchesPythonReference)
{
    QUILLON_REQUIRE_TOOL(kPython);
    for (auto [radius, sigma] : {std::pair{3.5, 0.14}, std::pair{3.5, 0.7}, std::pair{4.5, 2.0}, std::pair{1.5, 0.5}}) {
        KernelPair k(radius, sigma);
        ASSERT_TRUE(k.f && k.u);
        std::istringstream ref(runReference("kernel " + std::to_string(radius) + " " + std::to_string(sigma)));
        uint32_t n = 0;
        ref >> n;
        ASSERT_EQ(n, k.n);
        for (uint32_t i = 0; i < n * n; ++i) {
            double v;
            ref >> v;
            EXPECT_NEAR(k.f[size_t(i / n) * k.stride + i % n], v, 1e-8);
        }
        for (uint32_t i = 0; i < n * n; ++i) {
            int v;
            ref >> v;
            EXPECT_EQ(k.u[size_t(i / n) * k.stride + i % n], v) << radius << "/" << sigma << " entry " << i;
        }
    }
}

TEST(Blur, CheckerboardExample)
{
    auto img = makeImage(PF_GRAY8, 8, 8);
    for (uint32_t y = 0; y < 8; ++y)
        for (uint32_t x = 0; x < 8; ++x) img->row<uint8_t>(y)[x] = ((x + y) & 1) ? 255 : 0;
    auto out = makeImage(PF_GRAY8, 8, 8);
    ASSERT_EQ(imageBlur(out.get(), img.get(), 255, 3.5f, 0.14f), RC_OK);
    for (uint32_t y = 0; y < 8; ++y)
        for (uint32_t x = 0; x < 8; ++x) {
            // Corners see the repeated edge; every inner pixel is one of the two values.
            if (x == 0 || y == 0 || x == 7 || y == 7) continue;
            EXPECT_EQ(out->row<uint8_t>(y)[x], ((x + y) & 1) ? 131 : 123) << x << "," << y;
        }
}

// Every direct format and several thresholds against the numpy reference,
// in place and into a separate destination.
TEST(Blur, MatchesNumpyReference)
{
    QUILLON_REQUIRE_TOOL(kPython);
    TempDir dir;
    int seed = 0;
    for (PixelFormat f : kDirectFormats) {
        for (int threshold : {0, 40, 255}) {
            for (auto [radius, sigma] : {std::pair{3.5f, 0.7f}, std::pair{2.5f, 1.25f}}) {
                auto src = makeImage(f, 37, 11);
                fillRandom(src.get(), ++seed);
                // Smooth areas too, so that both sides of the threshold occur.
                for (uint32_t y = 0; y < 5; ++y) std::memcpy(src->rowBytesPtr(y), src->rowBytesPtr(5), src->rowBytes());
                writeFile(dir / "in.raw", packedBytes(src.get()));
                char args[256];
                std::snprintf(args, sizeof args, "blur %s 37 11 %s %s %d %.9g %.9g", formatName(f),
                              shellQuote((dir / "in.raw").string()).c_str(),
                              shellQuote((dir / "out.raw").string()).c_str(), threshold, radius, sigma);
                runReference(args);
                auto ref = readFile(dir / "out.raw");
                auto dst = makeImage(f, 37, 11);
                ASSERT_EQ(imageBlur(dst.get(), src.get(), threshold, radius, sigma), RC_OK);
                std::string what = std::string(formatName(f)) + " threshold " + std::to_string(threshold);
                expectMatches(dst.get(), ref, what);
                ASSERT_EQ(imageBlur(src.get(), src.get(), threshold, radius, sigma), RC_OK);
                expectMatches(src.get(), ref, what + " in place");
            }
        }
    }
}

TEST(Sharpen, MatchesNumpyReference)
{
    QUILLON_REQUIRE_TOOL(kPython);
    TempDir dir;
    int seed = 50;
    for (PixelFormat f : kDirectFormats) {
        for (auto [threshold, amount] : {std::pair{8u, 1.0f}, std::pair{0u, 0.6f}, std::pair{8u, -1.0f},
                                         std::pair{30u, 20.0f}, std::pair{8u, 0.001f}}) {
            auto src = makeImage(f, 29, 9);
            fillRandom(src.get(), ++seed);
            writeFile(dir / "in.raw", packedBytes(src.get()));
            char args[256];
            std::snprintf(args, sizeof args, "sharpen %s 29 9 %s %s %u %.9g", formatName(f),
                          shellQuote((dir / "in.raw").string()).c_str(), shellQuote((dir / "out.raw").string()).c_str(),
                          threshold, amount);
            runReference(args);
            auto dst = makeImage(f, 29, 9);
            ASSERT_EQ(imageSharpen(dst.get(), src.get(), threshold, amount), RC_OK);
            expectMatches(dst.get(), readFile(dir / "out.raw"),
                          std::string(formatName(f)) + " amount " + std::to_string(amount));
        }
    }
}

// Single pixels, rows and columns: every tap past the edge repeats the edge
// pixel, in the blur and in the unsharp mask.
TEST(Blur, TinyImagesMatchNumpyReference)
{
    QUILLON_REQUIRE_TOOL(kPython);
    TempDir dir;
    for (PixelFormat f : {PF_RGBA8, PF_GRAY16}) {
        for (auto [w, h] : {std::pair{1u, 1u}, std::pair{1u, 6u}, std::pair{6u, 1u}}) {
            auto src = makeImage(f, w, h);
            fillRandom(src.get(), w * 13 + h);
            writeFile(dir / "in.raw", packedBytes(src.get()));
            const std::string io = std::string(formatName(f)) + " " + std::to_string(w) + " " + std::to_string(h) +
                                   " " + shellQuote((dir / "in.raw").string()) + " " +
                                   shellQuote((dir / "out.raw").string());
            const std::string what = std::string(formatName(f)) + " " + std::to_string(w) + "x" + std::to_string(h);
            runReference("blur " + io + " 40 3.5 1.4");
            auto dst = makeImage(f, w, h);
            ASSERT_EQ(imageBlur(dst.get(), src.get(), 40, 3.5f, 1.4f), RC_OK);
            expectMatches(dst.get(), readFile(dir / "out.raw"), "blur " + what);
            runReference("sharpen " + io + " 0 1.5");
            ASSERT_EQ(imageSharpen(dst.get(), src.get(), 0, 1.5f), RC_OK);
            expectMatches(dst.get(), readFile(dir / "out.raw"), "sharpen " + what);
        }
    }
}

TEST(Sharpen, LimitsAndSpecialAmounts)
{
    auto src = makeImage(PF_RGBA8, 16, 16);
    fillRandom(src.get(), 3);
    // k = 0 copies the source.
    auto copy = makeImage(PF_RGBA8, 16, 16);
    ASSERT_EQ(imageSharpen(copy.get(), src.get(), 8, 0.001f), RC_OK);
    EXPECT_EQ(packedBytes(copy.get()), packedBytes(src.get()));
    // The strength stops at 2032/256.
    auto a = makeImage(PF_RGBA8, 16, 16), b = makeImage(PF_RGBA8, 16, 16);
    ASSERT_EQ(imageSharpen(a.get(), src.get(), 8, 20.0f), RC_OK);
    ASSERT_EQ(imageSharpen(b.get(), src.get(), 8, 7.9375f), RC_OK);
    EXPECT_EQ(packedBytes(a.get()), packedBytes(b.get()));
    auto c = makeImage(PF_RGBA8, 16, 16);
    ASSERT_EQ(imageSharpen(c.get(), src.get(), 8, 1e30f), RC_OK);
    EXPECT_EQ(packedBytes(c.get()), packedBytes(b.get()));
    // Not-a-number and infinite amounts are refused, the destination untouched.
    auto before = packedBytes(copy.get());
    for (float bad : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                      -std::numeric_limits<float>::infinity()}) {
        EXPECT_EQ(imageSharpen(copy.get(), src.get(), 8, bad), RC_INVALID_PARAMETER);
        Image* chain = imageCreate(PF_RGBA8, packSize(4, 4));
        EXPECT_EQ(imageSharpenFrames(&chain, bad), RC_INVALID_PARAMETER);
        objectRelease(chain);
    }
    EXPECT_EQ(packedBytes(copy.get()), before);
    // A threshold beyond every difference leaves the image as it was.
    auto untouched = makeImage(PF_RGBA8, 16, 16);
    for (uint32_t thr : {256u, 0x80000000u, 0xFFFFFFFFu}) {
        ASSERT_EQ(imageSharpen(untouched.get(), src.get(), thr, 2.0f), RC_OK);
        EXPECT_EQ(packedBytes(untouched.get()), packedBytes(src.get())) << thr;
    }
    auto other = makeImage(PF_RGBA8, 15, 16);
    EXPECT_EQ(imageSharpen(other.get(), src.get(), 8, 1.0f), RC_INVALID_PARAMETER);
    EXPECT_EQ(imageBlur(other.get(), src.get(), 8, 3.5f, 1.0f), RC_INVALID_PARAMETER);
}

TEST(Sharpen, FlatImagesStayUnchanged)
{
    for (PixelFormat f : kDirectFormats) {
        auto img = makeImage(f, 9, 7);
        auto row = makeImage(f, 9, 1);
        fillRandom(row.get(), 8);
        // Every pixel equal to the first random pixel; alpha flat as well.
        const size_t bpp = img->bytesPerPixel();
        for (uint32_t y = 0; y < 7; ++y)
            for (uint32_t x = 0; x < 9; ++x) std::memcpy(img->rowBytesPtr(y) + x * bpp, row->rowBytesPtr(0), bpp);
        auto out = makeImage(f, 9, 7);
        // Integer kernels sum to exactly 256; float ones to 1 within rounding.
        ASSERT_EQ(imageSharpen(out.get(), img.get(), 0, 5.0f), RC_OK);
        expectMatches(out.get(), packedBytes(img.get()), std::string("sharpen ") + formatName(f));
        ASSERT_EQ(imageBlur(out.get(), img.get(), 0, 3.5f, 1.4f), RC_OK);
        expectMatches(out.get(), packedBytes(img.get()), std::string("blur ") + formatName(f));
    }
}

TEST(FilterFrames, PaletteFramesBecomeColourAndChainsStayLinked)
{
    Image* first = imageCreate(PF_INDEXED8, packSize(6, 5));
    Image* second = imageCreate(PF_GRAY16, packSize(3, 2));
    ASSERT_TRUE(first && second);
    fillRandom(first, 1);
    fillRandom(second, 2);
    first->frameInfo.next = second;
    second->frameInfo.prev = first;
    second->frameInfo.x = 3;
    second->frameInfo.duration = 70;
    ASSERT_EQ(imageSharpenFrames(&first, 1.0f), RC_OK);
    ASSERT_EQ(first->pixelFormat, PF_RGBA8);
    Image* s = first->frameInfo.next;
    ASSERT_TRUE(s);
    EXPECT_EQ(s->pixelFormat, PF_GRAY16);
    EXPECT_EQ(s->frameInfo.prev, first);
    EXPECT_EQ(s->frameInfo.x, 3);
    EXPECT_EQ(s->frameInfo.duration, 70u);
    ASSERT_EQ(imageBlurFrames(&first, 40, 0.14f), RC_OK);
    EXPECT_EQ(first->pixelFormat, PF_RGBA8);
    ASSERT_TRUE(first->frameInfo.next);
    EXPECT_EQ(first->frameInfo.next->frameInfo.duration, 70u);
    Image* keep = first;
    ASSERT_EQ(imageSharpenFrames(&first, 0.0f), RC_OK);
    EXPECT_EQ(first, keep);
    objectRelease(first);
}

TEST(FilterFrames, TinyImages)
{
    for (PixelFormat f : kDirectFormats) {
        for (auto [w, h] : {std::pair{1u, 1u}, std::pair{1u, 9u}, std::pair{9u, 1u}, std::pair{2u, 2u}}) {
            Image* img = imageCreate(f, packSize(w, h));
            ASSERT_TRUE(img);
            fillRandom(img, w * 10 + h);
            ASSERT_EQ(imageBlurFrames(&img, 0, 1.4f), RC_OK);
            ASSERT_EQ(imageSharpenFrames(&img, 2.0f), RC_OK);
            EXPECT_EQ(img->width, w);
            objectRelease(img);
        }
    }
}
