#pragma once
// YCbCr to blue, green, red, 255 on eight pixels at a time with SSE2, giving
// exactly the bytes of the scalar fixed-point conversion (ycbcrToRgbRowScalar):
//   B = Y + ((454 (Cb - 128) + 128) >> 8)
//   G = Y + ((-88 (Cb - 128) - 183 (Cr - 128) + 128) >> 8)
//   R = Y + ((359 (Cr - 128) + 128) >> 8)
// each clamped to 0..255. Those sums need 17 bits; taking the multiple of
// 256 out of each constant (454 = 256 + 198, 359 = 256 + 103,
// -183 = -256 + 73) leaves remainders that fit 16 bits, and as a multiple of
// 256 passes through >> 8 unchanged,
//   (454 b + 128) >> 8 = b + ((198 b + 128) >> 8)
//   (359 r + 128) >> 8 = r + ((103 r + 128) >> 8)
//   (-88 b - 183 r + 128) >> 8 = -r + ((-88 b + 73 r + 128) >> 8)
// for b, r in -128..127, so eight lanes of 16-bit multiplies and arithmetic
// shifts give the exact values. Without SSE2 (other targets) callers keep
// their scalar loops.
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#define QUILLON_YCC_SSE2 1

namespace quillon::ycc_simd {

// Eight bytes at p as eight 16-bit lanes.
inline __m128i load8(const uint8_t* p)
{
    return _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)), _mm_setzero_si128());
}

// y, cb, cr: eight 16-bit lanes of 0..255. Stores eight B, G, R, 255 pixels
// (32 bytes) at out.
inline void store8(__m128i y, __m128i cb, __m128i cr, uint8_t* out)
{
    const __m128i bias = _mm_set1_epi16(128);
    cb = _mm_sub_epi16(cb, bias);
    cr = _mm_sub_epi16(cr, bias);
    // The offsets lie within -227..227 and Y within 0..255, so the 16-bit sums
    // are exact and packus does the clamping.
    __m128i bOff = _mm_add_epi16(cb, _mm_srai_epi16(_mm_add_epi16(_mm_mullo_epi16(cb, _mm_set1_epi16(198)), bias), 8));
    __m128i rOff = _mm_add_epi16(cr, _mm_srai_epi16(_mm_add_epi16(_mm_mullo_epi16(cr, _mm_set1_epi16(103)), bias), 8));
    __m128i gSum = _mm_add_epi16(_mm_mullo_epi16(cb, _mm_set1_epi16(-88)), _mm_mullo_epi16(cr, _mm_set1_epi16(73)));
    __m128i gOff = _mm_sub_epi16(_mm_srai_epi16(_mm_add_epi16(gSum, bias), 8), cr);
    __m128i b = _mm_add_epi16(y, bOff);
    __m128i g = _mm_add_epi16(y, gOff);
    __m128i r = _mm_add_epi16(y, rOff);

    __m128i bg = _mm_packus_epi16(b, g);                       // b0..b7 g0..g7
    __m128i ra = _mm_packus_epi16(r, _mm_set1_epi16(255));     // r0..r7 255 x 8
    __m128i br = _mm_unpacklo_epi8(bg, ra);                    // b0 r0 b1 r1 ..
    __m128i ga = _mm_unpackhi_epi8(bg, ra);                    // g0 a  g1 a  ..
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi8(br, ga));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16), _mm_unpackhi_epi8(br, ga));
}

// Eight 4-byte pixels holding Y, Cb, Cr (and a fourth byte without meaning)
// at p, converted in place.
inline void convert8InPlace(uint8_t* p)
{
    const __m128i mask = _mm_set1_epi32(0xFF);
    __m128i p0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i p1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
    __m128i y = _mm_packs_epi32(_mm_and_si128(p0, mask), _mm_and_si128(p1, mask));
    __m128i cb = _mm_packs_epi32(_mm_and_si128(_mm_srli_epi32(p0, 8), mask), _mm_and_si128(_mm_srli_epi32(p1, 8), mask));
    __m128i cr = _mm_packs_epi32(_mm_and_si128(_mm_srli_epi32(p0, 16), mask), _mm_and_si128(_mm_srli_epi32(p1, 16), mask));
    store8(y, cb, cr, p);
}

} // namespace quillon::ycc_simd

#endif
