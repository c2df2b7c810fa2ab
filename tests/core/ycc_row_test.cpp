// The row conversion from Y, Cb, Cr to B, G, R, 255 runs eight pixels at a
// time where the target allows; it must give the one-pixel form's bytes for
// every input and leave everything outside the row alone.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "core/convert.h"

using namespace quillon;

namespace {

TEST(YccRow, EveryTripleMatchesTheScalarForm)
{
    // One Y value per pass: 65,536 (Cb, Cr) pairs, with a random fourth byte,
    // which carries no sample and must not leak into the result.
    std::mt19937 rng(12);
    std::vector<uint8_t> a(size_t(65536) * 4), b;
    for (uint32_t y = 0; y < 256; ++y) {
        for (uint32_t i = 0; i < 65536; ++i) {
            a[i * 4] = uint8_t(y);
            a[i * 4 + 1] = uint8_t(i >> 8);
            a[i * 4 + 2] = uint8_t(i);
            a[i * 4 + 3] = uint8_t(rng());
        }
        b = a;
        ycbcrToRgbRow(a.data(), 65536);
        ycbcrToRgbRowScalar(b.data(), 65536);
        if (a != b) {
            for (uint32_t i = 0; i < 65536; ++i)
                if (std::memcmp(&a[i * 4], &b[i * 4], 4) != 0)
                    FAIL() << "Y " << y << " Cb " << (i >> 8) << " Cr " << (i & 255) << ": " << int(a[i * 4]) << ","
                           << int(a[i * 4 + 1]) << "," << int(a[i * 4 + 2]) << "," << int(a[i * 4 + 3]) << " vs "
                           << int(b[i * 4]) << "," << int(b[i * 4 + 1]) << "," << int(b[i * 4 + 2]) << ","
                           << int(b[i * 4 + 3]);
        }
    }
}

TEST(YccRow, ShortAndOddRowsTouchOnlyTheirPixels)
{
    // Rows of every length up to a few vectors, in exact-size buffers (so the
    // address checker sees any access past the end), at every 4-byte offset
    // from the buffer's alignment, with guard pixels before them.
    std::mt19937 rng(7);
    for (uint32_t count = 0; count <= 41; ++count)
        for (uint32_t lead = 0; lead < 4; ++lead) {
            const size_t bytes = size_t(lead + count) * 4;
            std::vector<uint8_t> a(bytes);
            for (auto& v : a) v = uint8_t(rng());
            std::vector<uint8_t> b = a, before = a;
            ycbcrToRgbRow(a.data() + lead * 4, count);
            ycbcrToRgbRowScalar(b.data() + lead * 4, count);
            EXPECT_EQ(a, b) << count << " pixels after " << lead;
            EXPECT_TRUE(std::equal(a.begin(), a.begin() + lead * 4, before.begin())) << count << " pixels";
            for (uint32_t i = 0; i < count; ++i) EXPECT_EQ(a[(lead + i) * 4 + 3], 255);
        }
}

TEST(YccRow, ScalarFormKnownValues)
{
    // Worked through the fixed-point formula by hand: the chroma extremes
    // saturate, neutral chroma leaves the luma.
    struct Case {
        uint8_t y, cb, cr, b, g, r;
    } cases[] = {
        {128, 128, 128, 128, 128, 128},
        {0, 255, 0, 225, 48, 0},     // B (454 * 127 + 128) >> 8; G (-88 * 127 + 183 * 128 + 128) >> 8
        {255, 0, 255, 28, 208, 255}, // B 255 + ((-454 * 128 + 128) >> 8) = 255 - 227
        {16, 128, 240, 16, 0, 173},  // R 16 + ((359 * 112 + 128) >> 8); G below 0
        {200, 30, 220, 26, 168, 255},
        {60, 200, 40, 188, 98, 0},
    };
    for (const Case& c : cases) {
        for (int vector = 0; vector < 2; ++vector) {
            // Nine pixels, so the vector form handles one in its main loop
            // and one in the tail.
            std::vector<uint8_t> px(9 * 4);
            for (int i = 0; i < 9; ++i) {
                px[i * 4] = c.y;
                px[i * 4 + 1] = c.cb;
                px[i * 4 + 2] = c.cr;
            }
            if (vector) ycbcrToRgbRow(px.data(), 9);
            else ycbcrToRgbRowScalar(px.data(), 9);
            for (int i = 0; i < 9; i += 8) {
                EXPECT_EQ(px[i * 4], c.b) << int(c.y) << " " << int(c.cb) << " " << int(c.cr);
                EXPECT_EQ(px[i * 4 + 1], c.g) << int(c.y) << " " << int(c.cb) << " " << int(c.cr);
                EXPECT_EQ(px[i * 4 + 2], c.r) << int(c.y) << " " << int(c.cb) << " " << int(c.cr);
                EXPECT_EQ(px[i * 4 + 3], 255);
            }
        }
    }
}

} // namespace
