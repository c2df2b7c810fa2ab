// Output stage of the JPEG decoder: the accurate integer inverse DCT (the
// Loeffler-Ligtenberg-Moschytz factorisation in 13-bit fixed point), the
// DC-only transform for one-eighth output, the sample writers with chroma
// upsampling confined to each block, and the colour finishing of rows.
#include <array>
#include <cstring>

#include "codecs/main/jpeg_internal.h"
#include "core/convert.h"
#include "core/ycc_simd.h"

namespace quillon::jpeg_internal {
namespace {

constexpr int64_t k0_298631336 = 2446;
constexpr int64_t k0_390180644 = 3196;
constexpr int64_t k0_541196100 = 4433;
constexpr int64_t k0_765366865 = 6270;
constexpr int64_t k0_899976223 = 7373;
constexpr int64_t k1_175875602 = 9633;
constexpr int64_t k1_501321110 = 12299;
constexpr int64_t k1_847759065 = 15137;
constexpr int64_t k1_961570560 = 16069;
constexpr int64_t k2_053119869 = 16819;
constexpr int64_t k2_562915447 = 20995;
constexpr int64_t k3_072711026 = 25172;

// One 1-D pass over eight values x0..x7, outputs scaled by 2^13; each output
// o is descaled as (o + round) >> shift and handed to put(index, value).
template <class Put>
inline void butterfly(int64_t x0, int64_t x1, int64_t x2, int64_t x3, int64_t x4, int64_t x5, int64_t x6,
                      int64_t x7, int64_t round, int shift, Put put)
{
    int64_t z1 = (x2 + x6) * k0_541196100;
    int64_t t2 = z1 - x6 * k1_847759065;
    int64_t t3 = z1 + x2 * k0_765366865;
    int64_t t0 = (x0 + x4) * 8192 + round;
    int64_t t1 = (x0 - x4) * 8192 + round;
    int64_t e10 = t0 + t3, e13 = t0 - t3, e11 = t1 + t2, e12 = t1 - t2;

    int64_t y1 = x7 + x1, y2 = x5 + x3, y3 = x7 + x3, y4 = x5 + x1;
    int64_t y5 = (y3 + y4) * k1_175875602;
    int64_t a0 = x7 * k0_298631336, a1 = x5 * k2_053119869, a2 = x3 * k3_072711026, a3 = x1 * k1_501321110;
    y1 *= -k0_899976223;
    y2 *= -k2_562915447;
    y3 = y3 * -k1_961570560 + y5;
    y4 = y4 * -k0_390180644 + y5;
    a0 += y1 + y3;
    a1 += y2 + y4;
    a2 += y2 + y3;
    a3 += y1 + y4;

    put(0, (e10 + a3) >> shift);
    put(7, (e10 - a3) >> shift);
    put(1, (e11 + a2) >> shift);
    put(6, (e11 - a2) >> shift);
    put(2, (e12 + a1) >> shift);
    put(5, (e12 - a1) >> shift);
    put(3, (e13 + a0) >> shift);
    put(4, (e13 - a0) >> shift);
}

// The workspace keeps 32 bits; only damaged blocks overflow it, and those
// wrap (the conversion is modular), as their samples are not defined.
inline int32_t toWork(int64_t v) { return int32_t(v); }

// Clamping to 0..255 by table: index 256 + v for v in -256..767.
struct ClampTable {
    uint8_t v[1024];
    constexpr ClampTable() : v()
    {
        for (int i = 0; i < 1024; ++i) v[i] = uint8_t(i < 256 ? 0 : i > 511 ? 255 : i - 256);
    }
};
constexpr ClampTable kClamp;

} // namespace

void idctBlockScalar(const int16_t* in, const uint16_t* q, uint8_t* out)
{
    // Blocks with a DC term only are common in smooth areas; both passes'
    // shortcuts then give one value for the whole block.
    uint64_t ac;
    std::memcpy(&ac, in, 8);
    ac &= ~uint64_t(0xFFFF);
    for (int i = 1; i < 16 && ac == 0; ++i) {
        uint64_t part;
        std::memcpy(&part, in + 4 * i, 8);
        ac |= part;
    }
    if (ac == 0) {
        std::memset(out, flatSample(in[0], q[0]), 64);
        return;
    }
    // Products with quantisers of up to 65535 (16-bit DQT) need more than 16
    // bits, so the column pass works in 64.
    int32_t ws[64];
    for (int c = 0; c < 8; ++c) {
        if ((in[8 + c] | in[16 + c] | in[24 + c] | in[32 + c] | in[40 + c] | in[48 + c] | in[56 + c]) == 0) {
            int32_t dc = toWork(int64_t(in[c]) * q[c] * 4);
            for (int r = 0; r < 8; ++r) ws[r * 8 + c] = dc;
            continue;
        }
        butterfly(int64_t(in[c]) * q[c], int64_t(in[8 + c]) * q[8 + c], int64_t(in[16 + c]) * q[16 + c],
                  int64_t(in[24 + c]) * q[24 + c], int64_t(in[32 + c]) * q[32 + c], int64_t(in[40 + c]) * q[40 + c],
                  int64_t(in[48 + c]) * q[48 + c], int64_t(in[56 + c]) * q[56 + c], 1024, 11,
                  [&](int r, int64_t v) { ws[r * 8 + c] = toWork(v); });
    }
    for (int r = 0; r < 8; ++r) {
        const int32_t* w = ws + r * 8;
        uint8_t* o = out + r * 8;
        if ((w[1] | w[2] | w[3] | w[4] | w[5] | w[6] | w[7]) == 0) {
            std::memset(o, clampSample(((int64_t(w[0]) + 16) >> 5) + 128), 8);
            continue;
        }
        // Through the clamp table; damaged blocks far outside the range wrap.
        butterfly(w[0], w[1], w[2], w[3], w[4], w[5], w[6], w[7], 131072 + (int64_t(384) << 18), 18,
                  [&](int x, int64_t v) { o[x] = kClamp.v[v & 1023]; });
    }
}

void idctBlock(const int16_t* in, const uint16_t* q, uint8_t* out)
{
#if defined(__SSE2__)
    if (idctBlockSse2(in, q, out)) return;
#endif
    idctBlockScalar(in, q, out);
}

uint8_t dcOnlySample(const int16_t* coefficients, const uint16_t* quant)
{
    int64_t v = (int64_t(coefficients[0]) * quant[0] + 4) >> 3;
    return clampSample(v + 128);
}

void transformMcu(const JpegDecoder& d, const int16_t* coefficients, uint8_t* samples,
                  JpegComponent* const* components, uint32_t count)
{
    for (uint32_t i = 0; i < count; ++i) {
        const JpegComponent& c = *components[i];
        const uint16_t* q = d.quant + c.quantTable * 64;
        for (uint32_t k = 0; k < c.blocksPerMcu; ++k) {
            uint32_t j = c.firstBlock + k;
            if (d.reduced) samples[j] = dcOnlySample(coefficients + j * 64, q);
            else idctBlock(coefficients + j * 64, q, samples + j * 64);
        }
    }
}

void transformRecordedMcu(const JpegDecoder& d, int16_t* coefficients, const int32_t* records, uint8_t* samples,
                          JpegComponent* const* components, uint32_t count)
{
    for (uint32_t i = 0; i < count; ++i) {
        const JpegComponent& c = *components[i];
        const uint16_t* q = d.quant + c.quantTable * 64;
        for (uint32_t k = 0; k < c.blocksPerMcu; ++k) {
            const uint32_t j = c.firstBlock + k;
            if (records[j] != kJpegBlockHasAc) {
                std::memset(samples + j * 64, flatSample(records[j], q[0]), 64);
                continue;
            }
            int16_t* block = coefficients + j * 64;
            idctBlock(block, q, samples + j * 64);
            std::memset(block, 0, 64 * sizeof(int16_t));
        }
    }
}

void writeComponentBlock(const JpegDecoder& d, const JpegComponent& c, uint8_t* dest, const uint8_t* samples)
{
    const uint32_t bpp = d.bytesPerPixel;
    const size_t stride = d.strideBytes;
    const uint32_t fx = d.maxH / c.h, fy = d.maxV / c.v;
    uint8_t* base = dest + (bpp == 4 ? c.index : 0);
    if (d.reduced) {
        for (uint32_t y = 0; y < fy; ++y)
            for (uint32_t x = 0; x < fx; ++x) base[y * stride + x * bpp] = samples[0];
        return;
    }
    if (fx == 1 && fy == 1) {
        for (int y = 0; y < 8; ++y) {
            uint8_t* o = base + y * stride;
            const uint8_t* s = samples + y * 8;
            if (bpp == 1) std::memcpy(o, s, 8);
            else
                for (int x = 0; x < 8; ++x) o[x * 4] = s[x];
        }
        return;
    }
    for (int y = 0; y < 8; ++y) {
        const uint8_t* s = samples + y * 8;
        for (uint32_t ry = 0; ry < fy; ++ry) {
            uint8_t* o = base + (y * fy + ry) * stride;
            for (int x = 0; x < 8; ++x)
                for (uint32_t rx = 0; rx < fx; ++rx) o[(x * fx + rx) * bpp] = s[x];
        }
    }
}

void writeGeneric(const JpegDecoder& d, uint8_t* dest, const uint8_t* samples, JpegComponent* const* components,
                  uint32_t count)
{
    const uint32_t unit = d.reduced ? 1 : 8;
    const uint32_t blockSamples = d.reduced ? 1 : 64;
    for (uint32_t i = 0; i < count; ++i) {
        const JpegComponent& c = *components[i];
        const uint32_t fx = d.maxH / c.h, fy = d.maxV / c.v;
        for (uint32_t by = 0; by < c.v; ++by)
            for (uint32_t bx = 0; bx < c.h; ++bx) {
                uint8_t* o = dest + by * unit * fy * d.strideBytes + bx * unit * fx * d.bytesPerPixel;
                writeComponentBlock(d, c, o, samples + (c.firstBlock + by * c.h + bx) * blockSamples);
            }
    }
}

namespace {

// ---- straight-line writers of whole MCUs ----

void writeGrey(const JpegDecoder& d, uint8_t* dest, const uint8_t* s, JpegComponent* const*, uint32_t)
{
    for (int y = 0; y < 8; ++y) std::memcpy(dest + y * d.strideBytes, s + y * 8, 8);
}

void writeGreyDc(const JpegDecoder&, uint8_t* dest, const uint8_t* s, JpegComponent* const*, uint32_t)
{
    dest[0] = s[0];
}

// Luma block `lumaBlock` at (ox, oy) into byte 0.
inline void putLuma(const JpegDecoder& d, uint8_t* dest, const uint8_t* luma, uint32_t ox, uint32_t oy)
{
    for (uint32_t y = 0; y < 8; ++y) {
        uint8_t* o = dest + (oy + y) * d.strideBytes + ox * 4;
        const uint8_t* s = luma + y * 8;
        for (int x = 0; x < 8; ++x) o[x * 4] = s[x];
    }
}

void write444(const JpegDecoder& d, uint8_t* dest, const uint8_t* s, JpegComponent* const*, uint32_t)
{
    for (int y = 0; y < 8; ++y) {
        uint8_t* o = dest + y * d.strideBytes;
        const uint8_t* a = s + y * 8;
        const uint8_t* b = s + 64 + y * 8;
        const uint8_t* c = s + 128 + y * 8;
        for (int x = 0; x < 8; ++x) {
            o[x * 4] = a[x];
            o[x * 4 + 1] = b[x];
            o[x * 4 + 2] = c[x];
        }
    }
}

void write4444(const JpegDecoder& d, uint8_t* dest, const uint8_t* s, JpegComponent* const*, uint32_t)
{
    for (int y = 0; y < 8; ++y) {
        uint8_t* o = dest + y * d.strideBytes;
        for (int x = 0; x < 8; ++x) {
            o[x * 4] = s[y * 8 + x];
            o[x * 4 + 1] = s[64 + y * 8 + x];
            o[x * 4 + 2] = s[128 + y * 8 + x];
            o[x * 4 + 3] = s[192 + y * 8 + x];
        }
    }
}

// Triangle filter doubling one line of eight samples, edges repeated.
inline void upsampleLine(const uint8_t* s, size_t step, uint8_t* out)
{
    out[0] = s[0];
    for (int j = 0; j < 7; ++j) {
        int a = s[j * step], b = s[(j + 1) * step];
        out[2 * j + 1] = uint8_t((3 * a + b + 2) >> 2);
        out[2 * j + 2] = uint8_t((3 * b + a + 2) >> 2);
    }
    out[15] = s[7 * step];
}

// Chroma block doubled horizontally into 16 x 8 pixels, byte `channel`.
void putChroma21(const JpegDecoder& d, uint8_t* dest, const uint8_t* s, int channel)
{
    uint8_t line[16];
    for (int y = 0; y < 8; ++y) {
        upsampleLine(s + y * 8, 1, line);
        uint8_t* o = dest + y * d.strideBytes + channel;
        for (int x = 0; x < 16; ++x) o[x * 4] = line[x];
    }
}

// Chroma block doubled vertically into 8 x 16 pixels.
void putChroma12(const JpegDecoder& d, uint8_t* dest, const uint8_t* s, int channel)
{
    uint8_t column[16];
    for (int x = 0; x < 8; ++x) {
        upsampleLine(s + x, 8, column);
        uint8_t* o = dest + x * 4 + channel;
        for (int y = 0; y < 16; ++y) o[y * d.strideBytes] = column[y];
    }
}

// A chroma block doubled both ways: 16 rows of 16 samples, `rowStep` bytes
// from row to row and `Step` from sample to sample.
template <size_t Step>
void upsample22Into(const uint8_t* s, uint8_t* out, size_t rowStep)
{
    int t[16][8];
    for (int x = 0; x < 8; ++x) {
        t[0][x] = 4 * s[x];
        for (int i = 0; i < 7; ++i) {
            int a = s[i * 8 + x], b = s[(i + 1) * 8 + x];
            t[2 * i + 1][x] = 3 * a + b;
            t[2 * i + 2][x] = 3 * b + a;
        }
        t[15][x] = 4 * s[56 + x];
    }
    for (int y = 0; y < 16; ++y) {
        const int* r = t[y];
        uint8_t* o = out + y * rowStep;
        o[0] = uint8_t((r[0] + 2) >> 2);
        for (int j = 0; j < 7; ++j) {
            o[(2 * j + 1) * Step] = uint8_t((3 * r[j] + r[j + 1] + 8) >> 4);
            o[(2 * j + 2) * Step] = uint8_t((3 * r[j + 1] + r[j] + 8) >> 4);
        }
        o[15 * Step] = uint8_t((r[7] + 2) >> 2);
    }
}

// Chroma block doubled both ways into 16 x 16 pixels.
void putChroma22(const JpegDecoder& d, uint8_t* dest, const uint8_t* s, int channel)
{
    upsample22Into<4>(s, dest + channel, d.strideBytes);
}

void write420(const JpegDecoder& d, uint8_t* dest, const uint8_t* s, JpegComponent* const*, uint32_t)
{
    putLuma(d, dest, s, 0, 0);
    putLuma(d, dest, s + 64, 8, 0);
    putLuma(d, dest, s + 128, 0, 8);
    putLuma(d, dest, s + 192, 8, 8);
    putChroma22(d, dest, s + 256, 1);
    putChroma22(d, dest, s + 320, 2);
}

void write422(const JpegDecoder& d, uint8_t* dest, const uint8_t* s, JpegComponent* const*, uint32_t)
{
    putLuma(d, dest, s, 0, 0);
    putLuma(d, dest, s + 64, 8, 0);
    putChroma21(d, dest, s + 128, 1);
    putChroma21(d, dest, s + 192, 2);
}

void write440(const JpegDecoder& d, uint8_t* dest, const uint8_t* s, JpegComponent* const*, uint32_t)
{
    putLuma(d, dest, s, 0, 0);
    putLuma(d, dest, s + 64, 0, 8);
    putChroma12(d, dest, s + 128, 1);
    putChroma12(d, dest, s + 192, 2);
}

// ---- one-eighth writers: one pixel per luma block ----

void write444Dc(const JpegDecoder&, uint8_t* dest, const uint8_t* s, JpegComponent* const*, uint32_t)
{
    dest[0] = s[0];
    dest[1] = s[1];
    dest[2] = s[2];
    dest[3] = 0;
}

void write4444Dc(const JpegDecoder&, uint8_t* dest, const uint8_t* s, JpegComponent* const*, uint32_t)
{
    std::memcpy(dest, s, 4);
}

void write420Dc(const JpegDecoder& d, uint8_t* dest, const uint8_t* s, JpegComponent* const*, uint32_t)
{
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 2; ++x) {
            uint8_t* o = dest + y * d.strideBytes + x * 4;
            o[0] = s[y * 2 + x];
            o[1] = s[4];
            o[2] = s[5];
            o[3] = 0;
        }
}

void write422Dc(const JpegDecoder&, uint8_t* dest, const uint8_t* s, JpegComponent* const*, uint32_t)
{
    for (int x = 0; x < 2; ++x) {
        dest[x * 4] = s[x];
        dest[x * 4 + 1] = s[2];
        dest[x * 4 + 2] = s[3];
        dest[x * 4 + 3] = 0;
    }
}

void write440Dc(const JpegDecoder& d, uint8_t* dest, const uint8_t* s, JpegComponent* const*, uint32_t)
{
    for (int y = 0; y < 2; ++y) {
        uint8_t* o = dest + y * d.strideBytes;
        o[0] = s[y];
        o[1] = s[2];
        o[2] = s[3];
        o[3] = 0;
    }
}

// ---- colour ----

struct YccTables {
    std::array<int32_t, 256> crToR{}, cbToB{}, cbToG{}, crToG{};
    constexpr YccTables()
    {
        for (int i = 0; i < 256; ++i) {
            int x = i - 128;
            crToR[i] = (359 * x + 128) >> 8;
            cbToB[i] = (454 * x + 128) >> 8;
            cbToG[i] = -88 * x + 128;
            crToG[i] = -183 * x;
        }
    }
};
constexpr YccTables kYcc;

inline uint32_t yccPixel(int32_t luma, uint32_t cb, uint32_t cr)
{
    // Every sum lies in -256..511, inside the clamp table.
    const uint8_t* clamp = kClamp.v + 256 + luma;
    uint32_t b = clamp[kYcc.cbToB[cb]];
    uint32_t g = clamp[(kYcc.cbToG[cb] + kYcc.crToG[cr]) >> 8];
    uint32_t r = clamp[kYcc.crToR[cr]];
    return b | (g << 8) | (r << 16) | 0xFF000000u;
}

inline void storePixel(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }

// ---- writers that convert YCbCr to B, G, R, 255 as they place samples ----

// 8 rows of 16 chroma samples from one block doubled horizontally.
void upsample21(const uint8_t* s, uint8_t out[8][16])
{
    for (int y = 0; y < 8; ++y) upsampleLine(s + y * 8, 1, out[y]);
}

// 16 x 16 chroma samples from one block doubled both ways.
void upsample22(const uint8_t* s, uint8_t out[16][16])
{
    upsample22Into<1>(s, &out[0][0], 16);
}

#if defined(QUILLON_YCC_SSE2)
using ycc_simd::load8;
using ycc_simd::store8;

// Each lane's left and right neighbour, the outermost lane standing in for
// the missing one: the block-edge repetition of the triangle filter.
inline __m128i leftNeighbours(__m128i v)
{
    return _mm_or_si128(_mm_slli_si128(v, 2), _mm_and_si128(v, _mm_setr_epi16(-1, 0, 0, 0, 0, 0, 0, 0)));
}
inline __m128i rightNeighbours(__m128i v)
{
    return _mm_or_si128(_mm_srli_si128(v, 2), _mm_and_si128(v, _mm_setr_epi16(0, 0, 0, 0, 0, 0, 0, -1)));
}
inline __m128i times3(__m128i v) { return _mm_add_epi16(v, _mm_add_epi16(v, v)); }

// Eight values doubled along the row: out[2k] = (3 v[k] + v[k-1] + r) >> shift
// and out[2k+1] = (3 v[k] + v[k+1] + r) >> shift, edges repeated; outputs 0..7
// in lo, 8..15 in hi. With the edge repeated, out[0] = (4 v[0] + r) >> shift,
// which is the filter's plain copy of the edge sample.
template <int Shift>
inline void doubleRow(__m128i v, __m128i& lo, __m128i& hi)
{
    const __m128i round = _mm_set1_epi16(1 << (Shift - 1));
    __m128i t = _mm_add_epi16(times3(v), round);
    __m128i even = _mm_srli_epi16(_mm_add_epi16(t, leftNeighbours(v)), Shift);
    __m128i odd = _mm_srli_epi16(_mm_add_epi16(t, rightNeighbours(v)), Shift);
    lo = _mm_unpacklo_epi16(even, odd);
    hi = _mm_unpackhi_epi16(even, odd);
}

// The eight rows of one block of samples, as 16-bit lanes.
inline void loadBlockRows(const uint8_t* block, __m128i rows[8])
{
    for (int i = 0; i < 8; ++i) rows[i] = load8(block + i * 8);
}

// Row y (0..15) of a chroma block doubled vertically, as a sum scaled by 4:
// 3 s[i] + s[i -+ 1] with i = y / 2, the edge rows repeated.
inline __m128i verticalSum(const __m128i* rows, int y)
{
    int i = y >> 1;
    int j = (y & 1) ? (i < 7 ? i + 1 : 7) : (i > 0 ? i - 1 : 0);
    return _mm_add_epi16(times3(rows[i]), rows[j]);
}
#endif

} // namespace

void write444RgbScalar(const JpegDecoder& d, uint8_t* dest, const uint8_t* s, JpegComponent* const*, uint32_t)
{
    const size_t stride = d.strideBytes;
    for (int y = 0; y < 8; ++y) {
        uint8_t* o = dest + y * stride;
        for (int x = 0; x < 8; ++x) storePixel(o + x * 4, yccPixel(s[y * 8 + x], s[64 + y * 8 + x], s[128 + y * 8 + x]));
    }
}

void write422RgbScalar(const JpegDecoder& d, uint8_t* dest, const uint8_t* s, JpegComponent* const*, uint32_t)
{
    const size_t stride = d.strideBytes;
    uint8_t cb[8][16], cr[8][16];
    upsample21(s + 128, cb);
    upsample21(s + 192, cr);
    for (int y = 0; y < 8; ++y) {
        uint8_t* o = dest + y * stride;
        const uint8_t* l0 = s + y * 8;
        const uint8_t* l1 = s + 64 + y * 8;
        for (int x = 0; x < 8; ++x) storePixel(o + x * 4, yccPixel(l0[x], cb[y][x], cr[y][x]));
        for (int x = 0; x < 8; ++x) storePixel(o + 32 + x * 4, yccPixel(l1[x], cb[y][8 + x], cr[y][8 + x]));
    }
}

void write440RgbScalar(const JpegDecoder& d, uint8_t* dest, const uint8_t* s, JpegComponent* const*, uint32_t)
{
    const size_t stride = d.strideBytes;
    uint8_t cb[16][8], cr[16][8];
    uint8_t column[16];
    for (int x = 0; x < 8; ++x) {
        upsampleLine(s + 128 + x, 8, column);
        for (int y = 0; y < 16; ++y) cb[y][x] = column[y];
        upsampleLine(s + 192 + x, 8, column);
        for (int y = 0; y < 16; ++y) cr[y][x] = column[y];
    }
    for (int y = 0; y < 16; ++y) {
        uint8_t* o = dest + y * stride;
        const uint8_t* l = s + (y < 8 ? 0 : 64) + (y & 7) * 8;
        for (int x = 0; x < 8; ++x) storePixel(o + x * 4, yccPixel(l[x], cb[y][x], cr[y][x]));
    }
}

void write420RgbScalar(const JpegDecoder& d, uint8_t* dest, const uint8_t* s, JpegComponent* const*, uint32_t)
{
    const size_t stride = d.strideBytes;
    uint8_t cb[16][16], cr[16][16];
    upsample22(s + 256, cb);
    upsample22(s + 320, cr);
    for (int y = 0; y < 16; ++y) {
        uint8_t* o = dest + y * stride;
        const uint8_t* l0 = s + (y < 8 ? 0 : 128) + (y & 7) * 8;
        const uint8_t* l1 = l0 + 64;
        for (int x = 0; x < 8; ++x) storePixel(o + x * 4, yccPixel(l0[x], cb[y][x], cr[y][x]));
        for (int x = 0; x < 8; ++x) storePixel(o + 32 + x * 4, yccPixel(l1[x], cb[y][8 + x], cr[y][8 + x]));
    }
}

#if defined(QUILLON_YCC_SSE2)
void write444Rgb(const JpegDecoder& d, uint8_t* dest, const uint8_t* s, JpegComponent* const*, uint32_t)
{
    const size_t stride = d.strideBytes;
    for (int y = 0; y < 8; ++y) store8(load8(s + y * 8), load8(s + 64 + y * 8), load8(s + 128 + y * 8), dest + y * stride);
}

void write422Rgb(const JpegDecoder& d, uint8_t* dest, const uint8_t* s, JpegComponent* const*, uint32_t)
{
    const size_t stride = d.strideBytes;
    for (int y = 0; y < 8; ++y) {
        __m128i cbLo, cbHi, crLo, crHi;
        doubleRow<2>(load8(s + 128 + y * 8), cbLo, cbHi);
        doubleRow<2>(load8(s + 192 + y * 8), crLo, crHi);
        uint8_t* o = dest + y * stride;
        store8(load8(s + y * 8), cbLo, crLo, o);
        store8(load8(s + 64 + y * 8), cbHi, crHi, o + 32);
    }
}

void write440Rgb(const JpegDecoder& d, uint8_t* dest, const uint8_t* s, JpegComponent* const*, uint32_t)
{
    const size_t stride = d.strideBytes;
    __m128i cb[8], cr[8];
    loadBlockRows(s + 128, cb);
    loadBlockRows(s + 192, cr);
    const __m128i two = _mm_set1_epi16(2);
    for (int y = 0; y < 16; ++y) {
        __m128i u = _mm_srli_epi16(_mm_add_epi16(verticalSum(cb, y), two), 2);
        __m128i v = _mm_srli_epi16(_mm_add_epi16(verticalSum(cr, y), two), 2);
        store8(load8(s + (y < 8 ? 0 : 64) + (y & 7) * 8), u, v, dest + y * stride);
    }
}

void write420Rgb(const JpegDecoder& d, uint8_t* dest, const uint8_t* s, JpegComponent* const*, uint32_t)
{
    const size_t stride = d.strideBytes;
    __m128i cb[8], cr[8];
    loadBlockRows(s + 256, cb);
    loadBlockRows(s + 320, cr);
    for (int y = 0; y < 16; ++y) {
        __m128i cbLo, cbHi, crLo, crHi;
        doubleRow<4>(verticalSum(cb, y), cbLo, cbHi);
        doubleRow<4>(verticalSum(cr, y), crLo, crHi);
        const uint8_t* l0 = s + (y < 8 ? 0 : 128) + (y & 7) * 8;
        uint8_t* o = dest + y * stride;
        store8(load8(l0), cbLo, crLo, o);
        store8(load8(l0 + 64), cbHi, crHi, o + 32);
    }
}
#else
void write444Rgb(const JpegDecoder& d, uint8_t* dest, const uint8_t* s, JpegComponent* const* c, uint32_t n)
{
    write444RgbScalar(d, dest, s, c, n);
}
void write422Rgb(const JpegDecoder& d, uint8_t* dest, const uint8_t* s, JpegComponent* const* c, uint32_t n)
{
    write422RgbScalar(d, dest, s, c, n);
}
void write440Rgb(const JpegDecoder& d, uint8_t* dest, const uint8_t* s, JpegComponent* const* c, uint32_t n)
{
    write440RgbScalar(d, dest, s, c, n);
}
void write420Rgb(const JpegDecoder& d, uint8_t* dest, const uint8_t* s, JpegComponent* const* c, uint32_t n)
{
    write420RgbScalar(d, dest, s, c, n);
}
#endif

JpegSampleWriter chooseWriter(const JpegDecoder& d, ColourFinish finish, bool& converts)
{
    const JpegComponent* c = d.component;
    const bool dc = d.reduced;
    converts = false;
    if (finish == ColourFinish::YccToBgra && !dc && d.componentCount_ == 3 && c[1].h == 1 && c[1].v == 1 &&
        c[2].h == 1 && c[2].v == 1) {
        converts = true;
        if (c[0].h == 1 && c[0].v == 1) return write444Rgb;
        if (c[0].h == 2 && c[0].v == 2) return write420Rgb;
        if (c[0].h == 2 && c[0].v == 1) return write422Rgb;
        if (c[0].h == 1 && c[0].v == 2) return write440Rgb;
        converts = false;
    }
    if (d.componentCount_ == 1) return dc ? writeGreyDc : writeGrey;
    if (d.componentCount_ == 4 && d.maxH == 1 && d.maxV == 1) return dc ? write4444Dc : write4444;
    if (d.componentCount_ == 3 && c[1].h == 1 && c[1].v == 1 && c[2].h == 1 && c[2].v == 1) {
        if (c[0].h == 1 && c[0].v == 1) return dc ? write444Dc : write444;
        if (c[0].h == 2 && c[0].v == 2) return dc ? write420Dc : write420;
        if (c[0].h == 2 && c[0].v == 1) return dc ? write422Dc : write422;
        if (c[0].h == 1 && c[0].v == 2) return dc ? write440Dc : write440;
    }
    return writeGeneric;
}

ColourFinish colourFinishFor(const JpegDecoder& d)
{
    if (d.componentCount_ != 3 || d.bytesPerPixel != 4) return ColourFinish::None;
    if (d.frameColourSpace == JPEG_CS_YCBCR) return ColourFinish::YccToBgra;
    if (d.frameColourSpace == JPEG_CS_RGB) return ColourFinish::RgbToBgra;
    return ColourFinish::None;
}

void finishRows(ColourFinish finish, uint8_t* rows, size_t strideBytes, uint32_t rowCount, uint32_t pixels)
{
    if (finish == ColourFinish::None) return;
    for (uint32_t y = 0; y < rowCount; ++y) {
        uint8_t* p = rows + y * strideBytes;
        if (finish == ColourFinish::YccToBgra) {
            ycbcrToRgbRow(p, pixels);
            continue;
        }
        uint32_t x = 0;
#if defined(QUILLON_YCC_SSE2)
        const __m128i green = _mm_set1_epi32(0x0000FF00);
        const __m128i low = _mm_set1_epi32(0xFF);
        const __m128i alpha = _mm_set1_epi32(int32_t(0xFF000000u));
        for (; x + 4 <= pixels; x += 4, p += 16) {
            __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            __m128i r = _mm_slli_epi32(_mm_and_si128(v, low), 16);
            __m128i b = _mm_and_si128(_mm_srli_epi32(v, 16), low);
            v = _mm_or_si128(_mm_or_si128(_mm_and_si128(v, green), alpha), _mm_or_si128(r, b));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
        }
#endif
        for (; x < pixels; ++x, p += 4) {
            uint8_t r = p[0];
            p[0] = p[2];
            p[2] = r;
            p[3] = 255;
        }
    }
}

} // namespace quillon::jpeg_internal
