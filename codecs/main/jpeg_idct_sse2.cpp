// The accurate integer inverse DCT with SSE2: the same 13-bit fixed-point
// arithmetic as the scalar transform, on 16-bit lanes with 32-bit products.
//
// Exactness. Each 1-D pass computes, per output, a sum of products of the
// eight inputs with fixed constants, then a rounding shift. The scalar code
// forms some of those sums in stages ((x2 + x6) * k, then adds x2 * k'); by
// distributivity the same sum comes out of constants merged per input, which
// lets one _mm_madd_epi16 handle a pair of inputs. With every input within
// 16 bits the largest possible pre-shift sum is
//   2 * 32768 * 8192            (x0, x4)
// + 15137 * 32768              (x2, x6; largest merged pair)
// + 29693 * 32768              (x1, x3, x5, x7; largest merged sum)
// + 131072                     (rounding of the row pass)
// = 2005991424 < 2^31,
// so no 32-bit lane overflows and each output equals the scalar one. The
// block is handed back to the scalar code (nothing written) when:
// - a quantiser exceeds 32767 (it would be negative as a signed lane);
// - a dequantised coefficient does not fit 16 bits;
// - a column-pass output might not fit 16 bits (its packed value saturated);
// - a sample before clamping lies outside -256..767, where the scalar
//   transform's clamp table wraps instead of clamping (only damaged data).
#include "codecs/main/jpeg_internal.h"

#if defined(__SSE2__)
#include <emmintrin.h>

#include <cstring>

namespace quillon::jpeg_internal {
namespace {

// Two 16-bit constants for _mm_madd_epi16 on lanes interleaved (a, b).
inline __m128i pairConstant(int a, int b)
{
    return _mm_set1_epi32(int32_t(uint32_t(uint16_t(int16_t(a))) | (uint32_t(uint16_t(int16_t(b))) << 16)));
}

// Even part: t0 = (x0 + x4) * 8192, t1 = (x0 - x4) * 8192,
// t2 = x2 * 4433 - x6 * 10704, t3 = x2 * 10703 + x6 * 4433.
// Odd part, on pairs (x1, x5) and (x3, x7), the four sums a0..a3 of the
// scalar butterfly with its shared terms multiplied out.
struct Constants {
    __m128i e04p = pairConstant(8192, 8192);
    __m128i e04m = pairConstant(8192, -8192);
    __m128i e26t2 = pairConstant(4433, 4433 - 15137);
    __m128i e26t3 = pairConstant(4433 + 6270, 4433);
    __m128i a0_15 = pairConstant(9633 - 7373, 9633);
    __m128i a0_37 = pairConstant(9633 - 16069, 2446 - 7373 - 16069 + 9633);
    __m128i a1_15 = pairConstant(9633 - 3196, 16819 - 20995 - 3196 + 9633);
    __m128i a1_37 = pairConstant(9633 - 20995, 9633);
    __m128i a2_15 = pairConstant(9633, 9633 - 20995);
    __m128i a2_37 = pairConstant(25172 - 20995 - 16069 + 9633, 9633 - 16069);
    __m128i a3_15 = pairConstant(12299 - 7373 - 3196 + 9633, 9633 - 3196);
    __m128i a3_37 = pairConstant(9633, 9633 - 7373);
};

// One 1-D pass over four lanes; p04 holds (x0, x4) pairs and so on. Writes
// the eight outputs, each (sum + round) >> Shift, as 32-bit lanes.
template <int Shift>
inline void pass(const Constants& k, __m128i p04, __m128i p26, __m128i p15, __m128i p37, __m128i round,
                 __m128i out[8])
{
    __m128i t0 = _mm_add_epi32(_mm_madd_epi16(p04, k.e04p), round);
    __m128i t1 = _mm_add_epi32(_mm_madd_epi16(p04, k.e04m), round);
    __m128i t2 = _mm_madd_epi16(p26, k.e26t2);
    __m128i t3 = _mm_madd_epi16(p26, k.e26t3);
    __m128i e10 = _mm_add_epi32(t0, t3), e13 = _mm_sub_epi32(t0, t3);
    __m128i e11 = _mm_add_epi32(t1, t2), e12 = _mm_sub_epi32(t1, t2);

    __m128i a0 = _mm_add_epi32(_mm_madd_epi16(p15, k.a0_15), _mm_madd_epi16(p37, k.a0_37));
    __m128i a1 = _mm_add_epi32(_mm_madd_epi16(p15, k.a1_15), _mm_madd_epi16(p37, k.a1_37));
    __m128i a2 = _mm_add_epi32(_mm_madd_epi16(p15, k.a2_15), _mm_madd_epi16(p37, k.a2_37));
    __m128i a3 = _mm_add_epi32(_mm_madd_epi16(p15, k.a3_15), _mm_madd_epi16(p37, k.a3_37));

    out[0] = _mm_srai_epi32(_mm_add_epi32(e10, a3), Shift);
    out[7] = _mm_srai_epi32(_mm_sub_epi32(e10, a3), Shift);
    out[1] = _mm_srai_epi32(_mm_add_epi32(e11, a2), Shift);
    out[6] = _mm_srai_epi32(_mm_sub_epi32(e11, a2), Shift);
    out[2] = _mm_srai_epi32(_mm_add_epi32(e12, a1), Shift);
    out[5] = _mm_srai_epi32(_mm_sub_epi32(e12, a1), Shift);
    out[3] = _mm_srai_epi32(_mm_add_epi32(e13, a0), Shift);
    out[4] = _mm_srai_epi32(_mm_sub_epi32(e13, a0), Shift);
}

// Four workspace rows (eight 16-bit values each) into the pairs the row
// pass wants: pNM lane r holds (w[r][N], w[r][M]).
inline void rowPairs(const __m128i* w, __m128i& p04, __m128i& p15, __m128i& p26, __m128i& p37)
{
    // Each row as (w0, w4), (w1, w5), (w2, w6), (w3, w7).
    __m128i r0 = _mm_unpacklo_epi16(w[0], _mm_srli_si128(w[0], 8));
    __m128i r1 = _mm_unpacklo_epi16(w[1], _mm_srli_si128(w[1], 8));
    __m128i r2 = _mm_unpacklo_epi16(w[2], _mm_srli_si128(w[2], 8));
    __m128i r3 = _mm_unpacklo_epi16(w[3], _mm_srli_si128(w[3], 8));
    // A 4 x 4 transpose of those 32-bit pairs.
    __m128i lo01 = _mm_unpacklo_epi32(r0, r1), lo23 = _mm_unpacklo_epi32(r2, r3);
    __m128i hi01 = _mm_unpackhi_epi32(r0, r1), hi23 = _mm_unpackhi_epi32(r2, r3);
    p04 = _mm_unpacklo_epi64(lo01, lo23);
    p15 = _mm_unpackhi_epi64(lo01, lo23);
    p26 = _mm_unpacklo_epi64(hi01, hi23);
    p37 = _mm_unpackhi_epi64(hi01, hi23);
}

} // namespace

bool idctBlockSse2(const int16_t* in, const uint16_t* q, uint8_t* out)
{
    __m128i x[8], quant[8];
#pragma GCC unroll 8
    for (int r = 0; r < 8; ++r) {
        x[r] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 8 * r));
        quant[r] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q + 8 * r));
    }

    // DC only: the scalar shortcut, which clamps rather than wraps.
    __m128i ac = _mm_and_si128(x[0], _mm_set_epi16(-1, -1, -1, -1, -1, -1, -1, 0));
#pragma GCC unroll 8
    for (int r = 1; r < 8; ++r) ac = _mm_or_si128(ac, x[r]);
    if (_mm_movemask_epi8(_mm_cmpeq_epi16(ac, _mm_setzero_si128())) == 0xFFFF) {
        std::memset(out, flatSample(in[0], q[0]), 64);
        return true;
    }

    // Dequantise; a product fits 16 bits when its high half is the sign
    // extension of its low half. Quantisers above 32767 clear `fits` too.
    __m128i fits = _mm_set1_epi16(-1), quantOr = _mm_setzero_si128();
#pragma GCC unroll 8
    for (int r = 0; r < 8; ++r) {
        __m128i lo = _mm_mullo_epi16(x[r], quant[r]);
        __m128i hi = _mm_mulhi_epi16(x[r], quant[r]);
        fits = _mm_and_si128(fits, _mm_cmpeq_epi16(hi, _mm_srai_epi16(lo, 15)));
        quantOr = _mm_or_si128(quantOr, quant[r]);
        x[r] = lo;
    }
    fits = _mm_andnot_si128(_mm_srai_epi16(quantOr, 15), fits);
    if (_mm_movemask_epi8(fits) != 0xFFFF) return false;

    const Constants k;

    // Column pass: row vectors, lane c works on column c; columns 0..3 in
    // the low halves of the interleaved pairs, 4..7 in the high halves.
    __m128i w[8];
    {
        const __m128i round = _mm_set1_epi32(1024);
        __m128i lo[8], hi[8];
        pass<11>(k, _mm_unpacklo_epi16(x[0], x[4]), _mm_unpacklo_epi16(x[2], x[6]), _mm_unpacklo_epi16(x[1], x[5]),
                 _mm_unpacklo_epi16(x[3], x[7]), round, lo);
        pass<11>(k, _mm_unpackhi_epi16(x[0], x[4]), _mm_unpackhi_epi16(x[2], x[6]), _mm_unpackhi_epi16(x[1], x[5]),
                 _mm_unpackhi_epi16(x[3], x[7]), round, hi);
        // A saturated pack means the value may not have fit; exact values of
        // 32767 and -32768 go to the scalar code too, which costs nothing.
        __m128i most = _mm_set1_epi16(-32768), least = _mm_set1_epi16(32767);
#pragma GCC unroll 8
        for (int r = 0; r < 8; ++r) {
            w[r] = _mm_packs_epi32(lo[r], hi[r]);
            most = _mm_max_epi16(most, w[r]);
            least = _mm_min_epi16(least, w[r]);
        }
        __m128i edge = _mm_or_si128(_mm_cmpeq_epi16(most, _mm_set1_epi16(32767)),
                                    _mm_cmpeq_epi16(least, _mm_set1_epi16(-32768)));
        if (_mm_movemask_epi8(edge) != 0) return false;
    }

    // Row pass: after the pairing transpose, lane r works on row r (rows
    // 0..3 in `top`, 4..7 in `bottom`); output vector i holds sample i of
    // each row.
    __m128i samples[8];
    {
        const __m128i round = _mm_set1_epi32(131072);
        __m128i p04, p15, p26, p37, top[8], bottom[8];
        rowPairs(w, p04, p15, p26, p37);
        pass<18>(k, p04, p26, p15, p37, round, top);
        rowPairs(w + 4, p04, p15, p26, p37);
        pass<18>(k, p04, p26, p15, p37, round, bottom);
        // Level shift, then the range check: v + 256 below 1024 as unsigned
        // means v in -256..767 (saturated packs land outside it).
        const __m128i shift = _mm_set1_epi16(128), offset = _mm_set1_epi16(256);
        __m128i range = _mm_setzero_si128();
#pragma GCC unroll 8
        for (int i = 0; i < 8; ++i) {
            samples[i] = _mm_adds_epi16(_mm_packs_epi32(top[i], bottom[i]), shift);
            range = _mm_or_si128(range, _mm_add_epi16(samples[i], offset));
        }
        if (_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(range, _mm_set1_epi16(int16_t(0xFC00))),
                                              _mm_setzero_si128())) != 0xFFFF)
            return false;
    }

    // Clamp to bytes: vector j holds samples 2j and 2j + 1 of rows 0..7;
    // an 8 x 8 byte transpose turns that into two rows per vector.
    __m128i s01 = _mm_packus_epi16(samples[0], samples[1]);
    __m128i s23 = _mm_packus_epi16(samples[2], samples[3]);
    __m128i s45 = _mm_packus_epi16(samples[4], samples[5]);
    __m128i s67 = _mm_packus_epi16(samples[6], samples[7]);
    __m128i s02 = _mm_unpacklo_epi8(s01, s23), s13 = _mm_unpackhi_epi8(s01, s23);
    __m128i s46 = _mm_unpacklo_epi8(s45, s67), s57 = _mm_unpackhi_epi8(s45, s67);
    __m128i left0 = _mm_unpacklo_epi8(s02, s13), left1 = _mm_unpackhi_epi8(s02, s13);
    __m128i right0 = _mm_unpacklo_epi8(s46, s57), right1 = _mm_unpackhi_epi8(s46, s57);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi32(left0, right0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16), _mm_unpackhi_epi32(left0, right0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 32), _mm_unpacklo_epi32(left1, right1));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 48), _mm_unpackhi_epi32(left1, right1));
    return true;
}

} // namespace quillon::jpeg_internal

#endif
