// The converting sample writers of the JPEG decoder (vector code where the
// target has it) against their one-pixel forms: the same bytes for random and
// extreme blocks, and nothing written outside the MCU. Also the colour
// finishing of whole rows at odd widths.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <vector>

#include "codecs/main/jpeg_decoder.h"
#include "codecs/main/jpeg_internal.h"
#include "core/convert.h"

using namespace quillon;
using namespace quillon::jpeg_internal;

namespace {

struct WriterCase {
    const char* name;
    JpegSampleWriter vector, scalar;
    uint32_t lumaBlocks;      // chroma blocks follow, one Cb and one Cr
    uint32_t width, height;   // pixels of the MCU
};

const WriterCase kWriters[] = {
    {"4:4:4", write444Rgb, write444RgbScalar, 1, 8, 8},
    {"4:2:2", write422Rgb, write422RgbScalar, 2, 16, 8},
    {"4:4:0", write440Rgb, write440RgbScalar, 2, 8, 16},
    {"4:2:0", write420Rgb, write420RgbScalar, 4, 16, 16},
};

// One MCU's samples in one of several patterns: random, flat extremes, and
// stripes and checks of 0 and 255 (the steepest steps for the upsampling
// and the largest chroma offsets for the conversion).
void fillSamples(std::vector<uint8_t>& s, int pattern, std::mt19937& rng)
{
    for (size_t i = 0; i < s.size(); ++i) {
        const size_t block = i / 64, x = i % 8, y = (i % 64) / 8;
        switch (pattern) {
        case 0: s[i] = uint8_t(rng()); break;
        case 1: s[i] = 0; break;
        case 2: s[i] = 255; break;
        case 3: s[i] = (x & 1) ? 255 : 0; break;
        case 4: s[i] = (y & 1) ? 0 : 255; break;
        case 5: s[i] = ((x ^ y ^ block) & 1) ? 255 : 0; break;
        default: s[i] = (rng() & 1) ? 255 : uint8_t(rng() & 3); break;
        }
    }
}

TEST(JpegSampleWriters, VectorWritersMatchTheScalarOnes)
{
    std::unique_ptr<JpegDecoder> d(jpegDecoderCreate());
    ASSERT_TRUE(d);
    std::mt19937 rng(2104);
    for (const WriterCase& w : kWriters) {
        // A stride wider than the MCU, an MCU away from the buffer's start,
        // and a buffer that ends right after the MCU's last pixel.
        const uint32_t stride = 4 * (w.width + 13);
        const size_t offset = 3 * stride + 4 * 5;
        const size_t size = offset + size_t(w.height - 1) * stride + w.width * 4;
        std::vector<uint8_t> samples(size_t(w.lumaBlocks + 2) * 64);
        d->strideBytes = stride;
        int mismatches = 0;
        for (int round = 0; round < 3000 && mismatches < 3; ++round) {
            fillSamples(samples, round < 7 ? round : (round % 4 == 0 ? 6 : 0), rng);
            std::vector<uint8_t> a(size);
            for (auto& v : a) v = uint8_t(rng());
            std::vector<uint8_t> b = a;
            w.vector(*d, a.data() + offset, samples.data(), nullptr, 3);
            w.scalar(*d, b.data() + offset, samples.data(), nullptr, 3);
            if (a != b) {
                ++mismatches;
                for (size_t i = 0; i < size; ++i)
                    if (a[i] != b[i]) {
                        ADD_FAILURE() << w.name << " round " << round << ": first difference at pixel ("
                                      << (i % stride) / 4 - 5 << ", " << i / stride - 3 << ") byte " << i % 4
                                      << ": " << int(a[i]) << " vs " << int(b[i]);
                        break;
                    }
            }
        }
    }
}

TEST(JpegSampleWriters, NeutralChromaKeepsTheLumaAndEdgesStayInTheBlock)
{
    // Independent of the scalar form: with Cb = Cr = 128 every pixel is its
    // luma sample in B, G and R.
    std::unique_ptr<JpegDecoder> d(jpegDecoderCreate());
    ASSERT_TRUE(d);
    std::mt19937 rng(9);
    for (const WriterCase& w : kWriters) {
        const uint32_t stride = 4 * w.width;
        d->strideBytes = stride;
        std::vector<uint8_t> samples(size_t(w.lumaBlocks + 2) * 64, 128);
        for (size_t i = 0; i < w.lumaBlocks * 64; ++i) samples[i] = uint8_t(rng());
        std::vector<uint8_t> out(size_t(stride) * w.height);
        w.vector(*d, out.data(), samples.data(), nullptr, 3);
        // Which luma sample lands at (x, y): blocks run left to right, then down.
        const uint32_t blocksAcross = w.width / 8;
        for (uint32_t y = 0; y < w.height; ++y)
            for (uint32_t x = 0; x < w.width; ++x) {
                const uint32_t block = (y / 8) * blocksAcross + x / 8;
                const uint8_t luma = samples[block * 64 + (y % 8) * 8 + x % 8];
                const uint8_t* p = &out[y * stride + x * 4];
                ASSERT_EQ(p[0], luma) << w.name << " " << x << "," << y;
                ASSERT_EQ(p[1], luma) << w.name << " " << x << "," << y;
                ASSERT_EQ(p[2], luma) << w.name << " " << x << "," << y;
                ASSERT_EQ(p[3], 255) << w.name << " " << x << "," << y;
            }

        // Luma 128, and Cr 255 on the border of its block, 0 inside: the
        // outermost pixels of the MCU repeat the border samples, so their red
        // is 128 + ((359 * 127 + 128) >> 8), clamped to 255; a filter that
        // reached past the block (taking 0 there) would give less.
        std::fill(samples.begin(), samples.begin() + w.lumaBlocks * 64, 128);
        uint8_t* cr = samples.data() + (w.lumaBlocks + 1) * 64;
        for (int i = 0; i < 64; ++i) cr[i] = (i % 8 == 0 || i % 8 == 7 || i < 8 || i >= 56) ? 255 : 0;
        w.vector(*d, out.data(), samples.data(), nullptr, 3);
        for (uint32_t y = 0; y < w.height; ++y) {
            EXPECT_EQ(out[y * stride + 2], 255) << w.name << " row " << y;
            EXPECT_EQ(out[y * stride + (w.width - 1) * 4 + 2], 255) << w.name << " row " << y;
        }
        for (uint32_t x = 0; x < w.width; ++x) {
            EXPECT_EQ(out[x * 4 + 2], 255) << w.name << " column " << x;
            EXPECT_EQ(out[(w.height - 1) * stride + x * 4 + 2], 255) << w.name << " column " << x;
        }
        EXPECT_LT(out[(w.height / 2) * stride + (w.width / 2) * 4 + 2], 128) << w.name;
    }
}

TEST(JpegSampleWriters, FinishRowsConvertsOddWidthsAndLeavesTheStrideGap)
{
    std::mt19937 rng(44);
    for (uint32_t pixels : {1u, 3u, 7u, 8u, 9u, 15u, 17u, 31u, 33u, 100u}) {
        const uint32_t rows = 5;
        const size_t stride = size_t(pixels) * 4 + 12;
        // Exact size: the last row ends at the buffer's end.
        const size_t size = (rows - 1) * stride + size_t(pixels) * 4;
        std::vector<uint8_t> src(size);
        for (auto& v : src) v = uint8_t(rng());

        std::vector<uint8_t> ycc = src, expected = src;
        finishRows(ColourFinish::YccToBgra, ycc.data(), stride, rows, pixels);
        for (uint32_t y = 0; y < rows; ++y) ycbcrToRgbRowScalar(expected.data() + y * stride, pixels);
        EXPECT_EQ(ycc, expected) << pixels << " pixels, YCbCr";

        std::vector<uint8_t> rgb = src;
        expected = src;
        for (uint32_t y = 0; y < rows; ++y)
            for (uint32_t x = 0; x < pixels; ++x) {
                uint8_t* p = &expected[y * stride + x * 4];
                std::swap(p[0], p[2]);
                p[3] = 255;
            }
        finishRows(ColourFinish::RgbToBgra, rgb.data(), stride, rows, pixels);
        EXPECT_EQ(rgb, expected) << pixels << " pixels, RGB";

        std::vector<uint8_t> none = src;
        finishRows(ColourFinish::None, none.data(), stride, rows, pixels);
        EXPECT_EQ(none, src);
    }
}

} // namespace
