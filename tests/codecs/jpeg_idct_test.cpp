// The vector inverse DCT against the scalar one, byte for byte: realistic
// blocks from a forward DCT of synthetic pixels, sparse and DC-only blocks,
// blocks around the limits where the vector code hands over to the scalar
// code, 16-bit quantisers, and arbitrary values.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <random>

#include "codecs/main/jpeg_internal.h"

namespace quillon::jpeg_internal {
namespace {

using Block = std::array<int16_t, 64>;
using Quant = std::array<uint16_t, 64>;
using Samples = std::array<uint8_t, 64>;

Samples scalar(const Block& in, const Quant& q)
{
    Samples out;
    idctBlockScalar(in.data(), q.data(), out.data());
    return out;
}

// The example luminance table of the JPEG standard, scaled for a quality
// the way common encoders do it.
Quant qualityQuant(int quality)
{
    static const uint16_t base[64] = {16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,
                                      14, 13, 16, 24, 40,  57,  69,  56,  14, 17, 22, 29, 51,  87,  80,  62,
                                      18, 22, 37, 56, 68,  109, 103, 77,  24, 35, 55, 64, 81,  104, 113, 92,
                                      49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99};
    int scale = quality < 50 ? 5000 / quality : 200 - 2 * quality;
    Quant q;
    for (int i = 0; i < 64; ++i) q[i] = uint16_t(std::clamp((base[i] * scale + 50) / 100, 1, 255));
    return q;
}

// Synthetic 8x8 pixels (gradients, an edge, noise; sometimes a checkerboard
// at full contrast) through a floating-point forward DCT and quantisation.
// cos((2x + 1) u pi / 16), by [u][x].
struct CosTable {
    double v[8][8];
    CosTable()
    {
        const double pi = std::acos(-1.0);
        for (int u = 0; u < 8; ++u)
            for (int x = 0; x < 8; ++x) v[u][x] = std::cos((2 * x + 1) * u * pi / 16);
    }
};
const CosTable kCos;

Block realisticBlock(std::mt19937& rng, const Quant& q)
{
    std::uniform_real_distribution<double> u(0, 1);
    double pixels[8][8];
    const int kind = int(u(rng) * 4);
    const double base = u(rng) * 255, gx = (u(rng) - 0.5) * 40, gy = (u(rng) - 0.5) * 40, noise = u(rng) * 60;
    const double edge = u(rng) * 8, step = (u(rng) - 0.5) * 400;
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) {
            double v = kind == 3 ? ((x + y) & 1) * 255.0
                                 : base + gx * x + gy * y + (u(rng) - 0.5) * noise + (kind == 2 && x > edge ? step : 0);
            pixels[y][x] = std::clamp(v, 0.0, 255.0) - 128;
        }
    Block block;
    for (int v = 0; v < 8; ++v)
        for (int uu = 0; uu < 8; ++uu) {
            double sum = 0;
            for (int y = 0; y < 8; ++y)
                for (int x = 0; x < 8; ++x)
                    sum += pixels[y][x] * kCos.v[uu][x] * kCos.v[v][y];
            double cu = uu ? 1 : std::sqrt(0.5), cv = v ? 1 : std::sqrt(0.5);
            block[v * 8 + uu] = int16_t(std::lround(sum * cu * cv / 4 / q[v * 8 + uu]));
        }
    return block;
}

#if defined(__SSE2__)

Samples dispatched(const Block& in, const Quant& q)
{
    Samples out;
    idctBlock(in.data(), q.data(), out.data());
    return out;
}

Quant flatQuant(uint16_t v)
{
    Quant q;
    q.fill(v);
    return q;
}

// Runs the vector transform into a buffer filled with a marker; when it
// declines, it must have left the buffer alone.
bool vector(const Block& in, const Quant& q, Samples& out)
{
    out.fill(0xA5);
    bool accepted = idctBlockSse2(in.data(), q.data(), out.data());
    if (!accepted) {
        for (uint8_t b : out) EXPECT_EQ(b, 0xA5) << "declined block written";
    }
    return accepted;
}

// Every block: equal to the scalar result when accepted, and the dispatched
// transform equal to it always.
void expectSame(const Block& in, const Quant& q, bool mustAccept, const char* what, int index)
{
    Samples expected = scalar(in, q), got;
    bool accepted = vector(in, q, got);
    if (mustAccept) {
        EXPECT_TRUE(accepted) << what << " block " << index << " left to the scalar code";
    }
    if (accepted) {
        EXPECT_EQ(got, expected) << what << " block " << index;
    }
    EXPECT_EQ(dispatched(in, q), expected) << what << " block " << index << " through idctBlock";
}

TEST(JpegIdctVector, RealisticBlocksAtSeveralQualitiesTakeTheVectorPathAndMatch)
{
    std::mt19937 rng(104);
    for (int quality : {5, 25, 50, 75, 90, 100}) {
        Quant q = qualityQuant(quality);
        for (int i = 0; i < 3000; ++i) expectSame(realisticBlock(rng, q), q, true, "quality", quality * 10000 + i);
    }
    // Chroma-like and uneven tables: a different quantiser in each position.
    std::uniform_int_distribution<int> qd(1, 255);
    for (int i = 0; i < 3000; ++i) {
        Quant q;
        for (auto& v : q) v = uint16_t(qd(rng));
        expectSame(realisticBlock(rng, q), q, true, "uneven table", i);
    }
}

TEST(JpegIdctVector, SparseAndDcOnlyBlocksMatch)
{
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> pos(0, 63), mag(-1023, 1023), qd(1, 255), count(1, 4);
    for (int i = 0; i < 20000; ++i) {
        Block b{};
        Quant q = flatQuant(uint16_t(qd(rng)));
        for (int n = count(rng); n > 0; --n) b[pos(rng)] = int16_t(mag(rng) / (q[0] > 32 ? 8 : 1));
        expectSame(b, q, false, "sparse", i);
    }
    // One coefficient in each position, both signs: the column and row
    // shortcuts of the scalar code meet full vector arithmetic.
    for (int p = 0; p < 64; ++p)
        for (int v : {1, -1, 37, -200, 300}) {
            Block b{};
            b[p] = int16_t(v);
            expectSame(b, flatQuant(3), true, "single", p * 10000 + v);
        }
    // DC only, over the whole coefficient range, with 8- and 16-bit
    // quantisers: the shortcut clamps, for every quantiser.
    for (uint16_t qv : {1, 2, 8, 16, 99, 255, 1000, 32767, 32768, 65535})
        for (int dc = -32768; dc <= 32767; dc += 97) {
            Block b{};
            b[0] = int16_t(dc);
            expectSame(b, flatQuant(qv), true, "dc only", dc);
        }
}

TEST(JpegIdctVector, SamplesNearTheEndsOfTheClampRangeMatch)
{
    // A DC term with one small AC term, swept so that samples run through
    // -256..767 and beyond, where the scalar clamp table wraps: the vector
    // code must take over up to the ends and decline past them.
    int accepted = 0, declined = 0;
    for (int dc = -4200; dc <= 6200; ++dc) {
        Block b{};
        b[0] = int16_t(dc);
        b[63] = 1;
        Samples got;
        bool ok = vector(b, flatQuant(1), got);
        (ok ? accepted : declined)++;
        if (ok) {
            EXPECT_EQ(got, scalar(b, flatQuant(1))) << "dc " << dc;
        }
        EXPECT_EQ(dispatched(b, flatQuant(1)), scalar(b, flatQuant(1))) << "dc " << dc;
        if (dc >= -3000 && dc <= 5000) {
            EXPECT_TRUE(ok) << "dc " << dc;
        }
        if (dc <= -3100 || dc >= 5200) {
            EXPECT_FALSE(ok) << "dc " << dc;
        }
    }
    EXPECT_GT(accepted, 0);
    EXPECT_GT(declined, 0);
}

TEST(JpegIdctVector, DequantisedValuesAtAndBeyondSixteenBits)
{
    // Products of exactly 32767 and -32768 still fit; 32768 and -32769 do
    // not and must fall back. The column outputs of such values are far
    // out of range, so every one of these blocks ends in the scalar code.
    struct Case {
        int16_t coefficient;
        uint16_t quant;
    };
    const Case cases[] = {{1, 32767}, {-1, 32767}, {-2, 16384}, {2, 16384}, {-32768, 1},  {32767, 1},
                          {3, 10923}, {-3, 10923}, {181, 181},  {-181, 182}, {-32768, 2}, {256, 128}};
    for (int p : {1, 8, 9, 27, 63}) {
        int index = 0;
        for (const Case& c : cases) {
            Block b{};
            b[0] = 5;
            b[p] = c.coefficient;
            Quant q = flatQuant(1);
            q[p] = c.quant;
            Samples got;
            EXPECT_FALSE(vector(b, q, got)) << p << " case " << index;
            EXPECT_EQ(dispatched(b, q), scalar(b, q)) << p << " case " << index;
            ++index;
        }
    }
    // Just below the bounds on the column outputs and samples: accepted.
    Block b{};
    b[0] = 4000;
    b[1] = 1;
    expectSame(b, flatQuant(1), true, "large dc", 0);
}

TEST(JpegIdctVector, SixteenBitQuantisersFallBackAndMatch)
{
    std::mt19937 rng(65535);
    std::uniform_int_distribution<int> small(-3, 3), pos(0, 63), big(32768, 65535), qd(1, 255);
    for (int i = 0; i < 5000; ++i) {
        Quant q;
        for (auto& v : q) v = uint16_t(qd(rng));
        q[pos(rng)] = uint16_t(big(rng));
        Block b{};
        for (int n = 0; n < 6; ++n) b[pos(rng)] = int16_t(small(rng));
        b[1 + i % 63] |= 1; // never DC only
        Samples got;
        EXPECT_FALSE(vector(b, q, got)) << i;
        EXPECT_EQ(dispatched(b, q), scalar(b, q)) << i;
    }
}

TEST(JpegIdctVector, ArbitraryValuesNeverDisagree)
{
    // Corrupt streams can hold anything: full-range coefficients and
    // quantisers, and mixtures of large and tiny values.
    std::mt19937 rng(2104);
    std::uniform_int_distribution<int> any16(-32768, 32767), anyQ(0, 65535), pick(0, 3), small(-16, 16);
    int accepted = 0;
    for (int i = 0; i < 20000; ++i) {
        Block b;
        Quant q;
        // 0: anything; 1: small values, any quantiser; 2: small values and
        // quantisers, mostly accepted; 3: as 2 with some values scaled up.
        const int mode = i % 4;
        for (int j = 0; j < 64; ++j) {
            b[j] = int16_t(mode == 0 ? any16(rng) : small(rng) * (mode == 3 && pick(rng) == 0 ? 256 : 1));
            q[j] = uint16_t(mode == 1 ? anyQ(rng) : 1 + pick(rng) * 3);
        }
        Samples got;
        Samples expected = scalar(b, q);
        if (vector(b, q, got)) {
            ++accepted;
            EXPECT_EQ(got, expected) << i;
        }
        EXPECT_EQ(dispatched(b, q), expected) << i;
    }
    EXPECT_GT(accepted, 1000);
}

TEST(JpegIdctVector, WorksInPlace)
{
    // The decoder may write an MCU's samples over its own coefficients.
    std::mt19937 rng(12);
    Quant q = qualityQuant(80);
    for (int i = 0; i < 200; ++i) {
        Block b = realisticBlock(rng, q);
        Samples expected = scalar(b, q);
        alignas(16) int16_t buffer[64];
        std::memcpy(buffer, b.data(), sizeof buffer);
        idctBlock(buffer, q.data(), reinterpret_cast<uint8_t*>(buffer));
        EXPECT_EQ(0, std::memcmp(reinterpret_cast<uint8_t*>(buffer), expected.data(), 64)) << i;
    }
}

#endif

TEST(JpegIdct, ScalarAgreesWithFloatingPointTransform)
{
    // An independent check of the reference itself: within one level of an
    // exact inverse DCT for realistic blocks.
    std::mt19937 rng(3);
    Quant q = qualityQuant(90);
    for (int i = 0; i < 300; ++i) {
        Block b = realisticBlock(rng, q);
        Samples got = scalar(b, q);
        for (int y = 0; y < 8; ++y)
            for (int x = 0; x < 8; ++x) {
                double sum = 0;
                for (int v = 0; v < 8; ++v)
                    for (int u = 0; u < 8; ++u) {
                        double cu = u ? 1 : std::sqrt(0.5), cv = v ? 1 : std::sqrt(0.5);
                        sum += cu * cv * b[v * 8 + u] * q[v * 8 + u] * kCos.v[u][x] * kCos.v[v][y];
                    }
                double exact = std::clamp(sum / 4 + 128, 0.0, 255.0);
                EXPECT_NEAR(got[y * 8 + x], exact, 1.0) << i << " at " << x << "," << y;
            }
    }
}

} // namespace
} // namespace quillon::jpeg_internal
