#include "core/box_reduce.h"

#include <emmintrin.h>

#include <cstring>
#include <type_traits>

#include "platform/tasks.h"

namespace quillon {

namespace {

bool aborted(const std::atomic<uint8_t>* abort) { return abort && abort->load(std::memory_order_relaxed) != 0; }

// Integer formats round to nearest: (sum + k^2 / 2) >> log2(k^2); the sums of
// at most 256 samples of 16 bits stay inside 32 bits.
template <class T, int C, int K>
void shrinkRowGeneric(const void* const* rowsIn, void* outRow, uint32_t width)
{
    constexpr int shift = K == 2 ? 2 : K == 4 ? 4 : K == 8 ? 6 : 8;
    T* out = static_cast<T*>(outRow);
    const T* rows[K];
    for (int dy = 0; dy < K; ++dy) rows[dy] = static_cast<const T*>(rowsIn[dy]);
    for (uint32_t x = 0; x < width; ++x) {
        const size_t base = size_t(x) * K * C;
        if constexpr (std::is_floating_point_v<T>) {
            float sum[C] = {};
            for (int dy = 0; dy < K; ++dy) {
                const T* in = rows[dy] + base;
                for (int dx = 0; dx < K; ++dx)
                    for (int c = 0; c < C; ++c) sum[c] += in[dx * C + c];
            }
            for (int c = 0; c < C; ++c) out[size_t(x) * C + c] = sum[c] * (1.0f / float(K * K));
        } else {
            uint32_t sum[C] = {};
            for (int dy = 0; dy < K; ++dy) {
                const T* in = rows[dy] + base;
                for (int dx = 0; dx < K; ++dx)
                    for (int c = 0; c < C; ++c) sum[c] += in[dx * C + c];
            }
            for (int c = 0; c < C; ++c) out[size_t(x) * C + c] = T((sum[c] + (K * K / 2)) >> shift);
        }
    }
}

// A band of destination rows through a row kernel.
template <int K>
void shrinkBand(ShrinkRowKernel row, const ShrinkBandJob& job, const Image* source, const std::atomic<uint8_t>* abort)
{
    Image* dst = job.destination;
    for (uint32_t y = job.firstRow; y < job.endRow; ++y) {
        if (aborted(abort)) return;
        const void* rows[K];
        for (int dy = 0; dy < K; ++dy) rows[dy] = source->rowBytesPtr(y * uint32_t(K) + uint32_t(dy));
        row(rows, dst->rowBytesPtr(y), dst->width);
    }
}

// The 8-bit colour kernels by 2 and 4 carry the large photo reductions; they
// add whole pixels in 16-bit lanes, two destination pixels per step.
void shrinkRowRgba8By2(const void* const* rows, void* outRow, uint32_t width)
{
    const __m128i zero = _mm_setzero_si128();
    const __m128i round = _mm_set1_epi16(2);
    auto* out = static_cast<uint8_t*>(outRow);
    const auto* r0 = static_cast<const uint8_t*>(rows[0]);
    const auto* r1 = static_cast<const uint8_t*>(rows[1]);
    uint32_t x = 0;
    for (; x + 2 <= width; x += 2) {
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r0 + size_t(x) * 8));
        __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r1 + size_t(x) * 8));
        __m128i lo = _mm_add_epi16(_mm_unpacklo_epi8(a, zero), _mm_unpacklo_epi8(b, zero));
        __m128i hi = _mm_add_epi16(_mm_unpackhi_epi8(a, zero), _mm_unpackhi_epi8(b, zero));
        __m128i sum = _mm_add_epi16(_mm_unpacklo_epi64(lo, hi), _mm_unpackhi_epi64(lo, hi));
        sum = _mm_srli_epi16(_mm_add_epi16(sum, round), 2);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + size_t(x) * 4), _mm_packus_epi16(sum, zero));
    }
    for (; x < width; ++x) {
        const uint8_t* p0 = r0 + size_t(x) * 8;
        const uint8_t* p1 = r1 + size_t(x) * 8;
        for (int c = 0; c < 4; ++c)
            out[size_t(x) * 4 + c] = uint8_t((p0[c] + p0[4 + c] + p1[c] + p1[4 + c] + 2) >> 2);
    }
}

void shrinkRowRgba8By4(const void* const* rowsIn, void* outRow, uint32_t width)
{
    const __m128i zero = _mm_setzero_si128();
    const __m128i round = _mm_set1_epi16(8);
    auto* out = static_cast<uint8_t*>(outRow);
    const uint8_t* rows[4];
    for (int dy = 0; dy < 4; ++dy) rows[dy] = static_cast<const uint8_t*>(rowsIn[dy]);
    uint32_t x = 0;
    for (; x + 2 <= width; x += 2) {
        __m128i accA = zero, accB = zero;
        for (int dy = 0; dy < 4; ++dy) {
            const uint8_t* p = rows[dy] + size_t(x) * 16;
            __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
            accA = _mm_add_epi16(accA, _mm_add_epi16(_mm_unpacklo_epi8(a, zero), _mm_unpackhi_epi8(a, zero)));
            accB = _mm_add_epi16(accB, _mm_add_epi16(_mm_unpacklo_epi8(b, zero), _mm_unpackhi_epi8(b, zero)));
        }
        __m128i sum = _mm_add_epi16(_mm_unpacklo_epi64(accA, accB), _mm_unpackhi_epi64(accA, accB));
        sum = _mm_srli_epi16(_mm_add_epi16(sum, round), 4);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + size_t(x) * 4), _mm_packus_epi16(sum, zero));
    }
    for (; x < width; ++x) {
        uint32_t sum[4] = {};
        for (int dy = 0; dy < 4; ++dy)
            for (int dx = 0; dx < 4; ++dx)
                for (int c = 0; c < 4; ++c) sum[c] += rows[dy][(size_t(x) * 4 + dx) * 4 + c];
        for (int c = 0; c < 4; ++c) out[size_t(x) * 4 + c] = uint8_t((sum[c] + 8) >> 4);
    }
}

const ShrinkRowKernel kRowKernels[6][4] = {
    {shrinkRowRgba8By2, shrinkRowRgba8By4, shrinkRowGeneric<uint8_t, 4, 8>, shrinkRowGeneric<uint8_t, 4, 16>},
    {shrinkRowGeneric<uint16_t, 4, 2>, shrinkRowGeneric<uint16_t, 4, 4>, shrinkRowGeneric<uint16_t, 4, 8>,
     shrinkRowGeneric<uint16_t, 4, 16>},
    {shrinkRowGeneric<float, 4, 2>, shrinkRowGeneric<float, 4, 4>, shrinkRowGeneric<float, 4, 8>,
     shrinkRowGeneric<float, 4, 16>},
    {shrinkRowGeneric<uint8_t, 1, 2>, shrinkRowGeneric<uint8_t, 1, 4>, shrinkRowGeneric<uint8_t, 1, 8>,
     shrinkRowGeneric<uint8_t, 1, 16>},
    {shrinkRowGeneric<uint16_t, 1, 2>, shrinkRowGeneric<uint16_t, 1, 4>, shrinkRowGeneric<uint16_t, 1, 8>,
     shrinkRowGeneric<uint16_t, 1, 16>},
    {shrinkRowGeneric<float, 1, 2>, shrinkRowGeneric<float, 1, 4>, shrinkRowGeneric<float, 1, 8>,
     shrinkRowGeneric<float, 1, 16>},
};

} // namespace

#define QUILLON_SHRINK_KERNEL(name, F, SHIFT) \
    void name(const ShrinkBandJob& job, const Image* source, const std::atomic<uint8_t>* abort) \
    {                                                                                            \
        shrinkBand<(1 << SHIFT)>(kRowKernels[F][SHIFT - 1], job, source, abort);                \
    }

QUILLON_SHRINK_KERNEL(shrinkRgba8By2, PF_RGBA8, 1)
QUILLON_SHRINK_KERNEL(shrinkRgba8By4, PF_RGBA8, 2)
QUILLON_SHRINK_KERNEL(shrinkRgba8By8, PF_RGBA8, 3)
QUILLON_SHRINK_KERNEL(shrinkRgba8By16, PF_RGBA8, 4)
QUILLON_SHRINK_KERNEL(shrinkRgba16By2, PF_RGBA16, 1)
QUILLON_SHRINK_KERNEL(shrinkRgba16By4, PF_RGBA16, 2)
QUILLON_SHRINK_KERNEL(shrinkRgba16By8, PF_RGBA16, 3)
QUILLON_SHRINK_KERNEL(shrinkRgba16By16, PF_RGBA16, 4)
QUILLON_SHRINK_KERNEL(shrinkRgbaFloatBy2, PF_RGBA_FLOAT, 1)
QUILLON_SHRINK_KERNEL(shrinkRgbaFloatBy4, PF_RGBA_FLOAT, 2)
QUILLON_SHRINK_KERNEL(shrinkRgbaFloatBy8, PF_RGBA_FLOAT, 3)
QUILLON_SHRINK_KERNEL(shrinkRgbaFloatBy16, PF_RGBA_FLOAT, 4)
QUILLON_SHRINK_KERNEL(shrinkGray8By2, PF_GRAY8, 1)
QUILLON_SHRINK_KERNEL(shrinkGray8By4, PF_GRAY8, 2)
QUILLON_SHRINK_KERNEL(shrinkGray8By8, PF_GRAY8, 3)
QUILLON_SHRINK_KERNEL(shrinkGray8By16, PF_GRAY8, 4)
QUILLON_SHRINK_KERNEL(shrinkGray16By2, PF_GRAY16, 1)
QUILLON_SHRINK_KERNEL(shrinkGray16By4, PF_GRAY16, 2)
QUILLON_SHRINK_KERNEL(shrinkGray16By8, PF_GRAY16, 3)
QUILLON_SHRINK_KERNEL(shrinkGray16By16, PF_GRAY16, 4)
QUILLON_SHRINK_KERNEL(shrinkGrayFloatBy2, PF_GRAY_FLOAT, 1)
QUILLON_SHRINK_KERNEL(shrinkGrayFloatBy4, PF_GRAY_FLOAT, 2)
QUILLON_SHRINK_KERNEL(shrinkGrayFloatBy8, PF_GRAY_FLOAT, 3)
QUILLON_SHRINK_KERNEL(shrinkGrayFloatBy16, PF_GRAY_FLOAT, 4)

#undef QUILLON_SHRINK_KERNEL

ShrinkRowKernel shrinkRowKernel(PixelFormat format, uint32_t shift)
{
    if (format > PF_GRAY_FLOAT || shift < 1 || shift > 4) return nullptr;
    return kRowKernels[format][shift - 1];
}

namespace {

const ShrinkKernel kKernels[6][4] = {
    {shrinkRgba8By2, shrinkRgba8By4, shrinkRgba8By8, shrinkRgba8By16},
    {shrinkRgba16By2, shrinkRgba16By4, shrinkRgba16By8, shrinkRgba16By16},
    {shrinkRgbaFloatBy2, shrinkRgbaFloatBy4, shrinkRgbaFloatBy8, shrinkRgbaFloatBy16},
    {shrinkGray8By2, shrinkGray8By4, shrinkGray8By8, shrinkGray8By16},
    {shrinkGray16By2, shrinkGray16By4, shrinkGray16By8, shrinkGray16By16},
    {shrinkGrayFloatBy2, shrinkGrayFloatBy4, shrinkGrayFloatBy8, shrinkGrayFloatBy16},
};

// One reduction by at most 16; the caller has checked sizes and format.
ResultCode shrinkStep(Image* dst, const Image* src, uint32_t shift, const std::atomic<uint8_t>* abort)
{
    const ShrinkKernel kernel = kKernels[src->pixelFormat][shift - 1];
    // A destination row reads 2^shift source rows.
    const uint64_t rowWork = uint64_t(src->width) * src->bytesPerPixel() << shift;
    runRowBands(dst->height, rowWork, [&](uint32_t first, uint32_t end) {
        ShrinkBandJob job;
        job.source = src;
        job.destination = dst;
        job.firstRow = first;
        job.endRow = end;
        job.abort = abort;
        kernel(job, src, abort);
    });
    return aborted(abort) ? RC_CANCELLED : RC_OK;
}

} // namespace

ResultCode imageShrinkPow2(Image* dst, const Image* src, const std::atomic<uint8_t>* abort)
{
    if (!dst || !src) return RC_INVALID_PARAMETER;
    if (dst->pixelFormat != src->pixelFormat) return RC_GENERAL_FAILURE;
    if (src->pixelFormat > PF_GRAY_FLOAT) return RC_UNSUPPORTED_COLOUR_FORMAT;
    // The width names the factor; the height must agree with it, or the
    // kernels would read rows past the end of the source.
    uint32_t shift = 1;
    while (shift < 32 && (src->width >> shift) > dst->width) ++shift;
    if (shift >= 32 || dst->width == 0 || (src->width >> shift) != dst->width || (src->height >> shift) != dst->height)
        return RC_INVALID_PARAMETER;

    if (shift <= 4) return shrinkStep(dst, src, shift, abort);

    // Beyond 16 the reduction chains through intermediates reduced by 16.
    const Image* current = src;
    Ref<Image> held;
    while (shift > 4) {
        Ref<Image> next = Ref<Image>::adopt(
            imageCreate(src->pixelFormat, packSize(current->width >> 4, current->height >> 4)));
        if (!next) return RC_OUT_OF_MEMORY;
        ResultCode rc = shrinkStep(next.get(), current, 4, abort);
        if (failed(rc)) return rc;
        held = std::move(next);
        current = held.get();
        shift -= 4;
    }
    return shrinkStep(dst, current, shift, abort);
}

} // namespace quillon
