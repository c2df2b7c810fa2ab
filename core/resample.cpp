#include "core/resample.h"

#include <emmintrin.h>

#include <algorithm>
#include <cstring>
#include <type_traits>

#include "core/box_reduce.h"
#include "platform/memory.h"
#include "platform/tasks.h"

namespace quillon {

namespace {

bool aborted(const std::atomic<uint8_t>* abort) { return abort && abort->load(std::memory_order_relaxed) != 0; }

constexpr uint64_t roundUp16(uint64_t v) { return (v + 15) & ~uint64_t(15); }

struct WeightTables {
    alignas(16) int16_t fixed[256][4];
    alignas(16) float real[256][4];
    WeightTables()
    {
        for (int p = 0; p < 256; ++p) {
            const double t = p / 256.0;
            const double k[4] = {
                -0.5 * t * t * t + t * t - 0.5 * t,
                1.5 * t * t * t - 2.5 * t * t + 1.0,
                -1.5 * t * t * t + 2.0 * t * t + 0.5 * t,
                0.5 * t * t * t - 0.5 * t * t,
            };
            for (int i = 0; i < 4; ++i) {
                // Truncation toward zero after adding one half, as the table
                // has always been built; negative entries come out one less
                // negative when 16384 k is (nearly) integral.
                fixed[p][i] = int16_t(int(16384.0 * k[i] + 0.5));
                real[p][i] = float(fixed[p][i]) * 6.1035156e-5f;
            }
        }
    }
};

const WeightTables& weightTables()
{
    static const WeightTables tables;
    return tables;
}

// ---- per-format arithmetic ----
// 8-bit data keeps value x 128 in i16 between the passes, so overshoot below
// 0 and above 255 survives until the final rounding.

template <PixelFormat F> struct Fmt;
template <> struct Fmt<PF_RGBA8> { using Src = uint8_t; using Mid = int16_t; using W = int16_t; static constexpr int C = 4; };
template <> struct Fmt<PF_RGBA16> { using Src = uint16_t; using Mid = uint16_t; using W = int16_t; static constexpr int C = 4; };
template <> struct Fmt<PF_RGBA_FLOAT> { using Src = float; using Mid = float; using W = float; static constexpr int C = 4; };
template <> struct Fmt<PF_GRAY8> { using Src = uint8_t; using Mid = int16_t; using W = int16_t; static constexpr int C = 1; };
template <> struct Fmt<PF_GRAY16> { using Src = uint16_t; using Mid = uint16_t; using W = int16_t; static constexpr int C = 1; };
template <> struct Fmt<PF_GRAY_FLOAT> { using Src = float; using Mid = float; using W = float; static constexpr int C = 1; };

template <class Tr>
inline void tapScalar(const typename Tr::Src* p, const typename Tr::W* w, typename Tr::Mid* out)
{
    constexpr int C = Tr::C;
    for (int c = 0; c < C; ++c) {
        if constexpr (std::is_same_v<typename Tr::Src, float>) {
            out[c] = w[0] * p[c] + w[1] * p[C + c] + w[2] * p[2 * C + c] + w[3] * p[3 * C + c];
        } else {
            int32_t sum = int32_t(w[0]) * p[c] + int32_t(w[1]) * p[C + c] + int32_t(w[2]) * p[2 * C + c] +
                          int32_t(w[3]) * p[3 * C + c];
            if constexpr (std::is_same_v<typename Tr::Src, uint8_t>)
                out[c] = int16_t(std::clamp(sum >> 7, -32768, 32767));
            else
                out[c] = uint16_t(std::clamp(sum >> 14, 0, 65535));
        }
    }
}

// Destination pixels [from, to) of one row; base + (index - offset) pixels
// addresses a pixel's first tap.
template <class Tr>
void rowSegment(const ResampleTables& t, uint32_t from, uint32_t to, const typename Tr::Src* base, int64_t offset,
                typename Tr::Mid* out)
{
    const auto* w = static_cast<const typename Tr::W*>(t.weights);
    for (uint32_t x = from; x < to; ++x)
        tapScalar<Tr>(base + (t.indexes[x] - offset) * Tr::C, w + size_t(x) * 4, out + size_t(x) * Tr::C);
}

inline __m128i tapRgba8Sse(const uint8_t* p, const int16_t* w)
{
    const __m128i zero = _mm_setzero_si128();
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    // Channel pairs (p0, p1) and (p2, p3) side by side for the 16-bit
    // multiply-add: b0 b1 g0 g1 r0 r1 a0 a1 and b2 b3 g2 g3 ...
    __m128i a = _mm_unpacklo_epi8(_mm_unpacklo_epi8(v, _mm_srli_si128(v, 4)), zero);
    __m128i b = _mm_unpacklo_epi8(_mm_unpacklo_epi8(_mm_srli_si128(v, 8), _mm_srli_si128(v, 12)), zero);
    __m128i wv = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(w));
    __m128i sum = _mm_add_epi32(_mm_madd_epi16(a, _mm_shuffle_epi32(wv, 0x00)),
                                _mm_madd_epi16(b, _mm_shuffle_epi32(wv, 0x55)));
    return _mm_srai_epi32(sum, 7);
}

template <>
void rowSegment<Fmt<PF_RGBA8>>(const ResampleTables& t, uint32_t from, uint32_t to, const uint8_t* base,
                               int64_t offset, int16_t* out)
{
    const auto* w = static_cast<const int16_t*>(t.weights);
    uint32_t x = from;
    for (; x + 2 <= to; x += 2) {
        __m128i s0 = tapRgba8Sse(base + (t.indexes[x] - offset) * 4, w + size_t(x) * 4);
        __m128i s1 = tapRgba8Sse(base + (t.indexes[x + 1] - offset) * 4, w + size_t(x + 1) * 4);
        // The saturating pack is the clamp to -32768..32767.
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + size_t(x) * 4), _mm_packs_epi32(s0, s1));
    }
    for (; x < to; ++x)
        tapScalar<Fmt<PF_RGBA8>>(base + (t.indexes[x] - offset) * 4, w + size_t(x) * 4, out + size_t(x) * 4);
}

// Filters one source row into an intermediate row. The taps left of pixel 0
// and right of the last pixel repeat the edge pixels; those few destination
// pixels read from a scratch copy of the edges, because the source may be
// shared with other threads and its margins are not ours to write.
template <class Tr>
void resampleRowGeneral(const ResampleBandJob& job, const typename Tr::Src* row, typename Tr::Mid* out)
{
    using Src = typename Tr::Src;
    constexpr int C = Tr::C;
    const ResampleTables& t = *job.tables;
    const int64_t srcW = t.srcW;
    auto* scratch = reinterpret_cast<Src*>(job.scratch);
    auto copyExtended = [&](Src* to, int64_t first, int64_t count) {
        for (int64_t j = 0; j < count; ++j) {
            const int64_t s = std::clamp<int64_t>(first + j, 0, srcW - 1);
            std::memcpy(to + j * C, row + s * C, sizeof(Src) * C);
        }
    };
    // First taps reach pixel -2 (the centred exact kernels) at the most.
    if (srcW < 8) {
        copyExtended(scratch, -2, srcW + 4);
        rowSegment<Tr>(t, 0, t.dstW, scratch, -2, out);
        return;
    }
    // Left: extended pixels -2..5; right: srcW - 6 .. srcW + 1.
    copyExtended(scratch, -2, 8);
    copyExtended(scratch + 8 * C, srcW - 6, 8);
    uint32_t x0 = 0;
    while (x0 < t.dstW && t.indexes[x0] < 0) ++x0;
    uint32_t x1 = x0;
    while (x1 < t.dstW && t.indexes[x1] <= srcW - 4) ++x1;
    rowSegment<Tr>(t, 0, x0, scratch, -2, out);
    rowSegment<Tr>(t, x0, x1, row, 0, out);
    rowSegment<Tr>(t, x1, t.dstW, scratch + 8 * C, srcW - 6, out);
}

template <class Tr>
void resampleOutScalar(const typename Tr::W* w, typename Tr::Src* dst, const typename Tr::Mid* const* r, size_t from,
                  size_t lanes)
{
    for (size_t i = from; i < lanes; ++i) {
        if constexpr (std::is_same_v<typename Tr::Src, float>) {
            dst[i] = w[0] * r[0][i] + w[1] * r[1][i] + w[2] * r[2][i] + w[3] * r[3][i];
        } else if constexpr (std::is_same_v<typename Tr::Src, uint8_t>) {
            int32_t sum = int32_t(w[0]) * r[0][i] + int32_t(w[1]) * r[1][i] + int32_t(w[2]) * r[2][i] +
                          int32_t(w[3]) * r[3][i] + (1 << 20);
            dst[i] = uint8_t(std::clamp(sum >> 21, 0, 255));
        } else {
            int32_t sum = int32_t(w[0]) * r[0][i] + int32_t(w[1]) * r[1][i] + int32_t(w[2]) * r[2][i] +
                          int32_t(w[3]) * r[3][i] + 8192;
            dst[i] = uint16_t(std::clamp(sum >> 14, 0, 65535));
        }
    }
}

// The vertical pass of both 8-bit formats: Q7 rows times Q14 weights.
void resampleOut8Sse(const int16_t* w, uint8_t* dst, const int16_t* const* r, size_t lanes)
{
    const __m128i w01 = _mm_set1_epi32(int32_t(uint16_t(w[0])) | (int32_t(w[1]) << 16));
    const __m128i w23 = _mm_set1_epi32(int32_t(uint16_t(w[2])) | (int32_t(w[3]) << 16));
    const __m128i round = _mm_set1_epi32(1 << 20);
    size_t i = 0;
    for (; i + 8 <= lanes; i += 8) {
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r[0] + i));
        __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r[1] + i));
        __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r[2] + i));
        __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r[3] + i));
        __m128i lo = _mm_add_epi32(_mm_madd_epi16(_mm_unpacklo_epi16(a, b), w01),
                                   _mm_madd_epi16(_mm_unpacklo_epi16(c, d), w23));
        __m128i hi = _mm_add_epi32(_mm_madd_epi16(_mm_unpackhi_epi16(a, b), w01),
                                   _mm_madd_epi16(_mm_unpackhi_epi16(c, d), w23));
        lo = _mm_srai_epi32(_mm_add_epi32(lo, round), 21);
        hi = _mm_srai_epi32(_mm_add_epi32(hi, round), 21);
        __m128i packed = _mm_packus_epi16(_mm_packs_epi32(lo, hi), _mm_setzero_si128());
        _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + i), packed);
    }
    resampleOutScalar<Fmt<PF_GRAY8>>(w, dst, r, i, lanes);
}

template <class Tr>
void resampleOut(const typename Tr::W* w, typename Tr::Src* dst, const typename Tr::Mid* const* r, size_t lanes)
{
    if constexpr (std::is_same_v<typename Tr::Src, uint8_t>)
        resampleOut8Sse(w, dst, r, lanes);
    else
        resampleOutScalar<Tr>(w, dst, r, 0, lanes);
}

// Equal widths: every destination pixel takes phase 0, (0, 16384, 0, 0), of
// its own source pixel, so the horizontal pass is the source in the
// intermediate's scale: x 128 for 8-bit data, unchanged otherwise.
template <class Tr>
void resampleRowSame(const typename Tr::Src* row, typename Tr::Mid* out, size_t lanes)
{
    if constexpr (std::is_same_v<typename Tr::Src, uint8_t>) {
        const __m128i zero = _mm_setzero_si128();
        size_t i = 0;
        for (; i + 16 <= lanes; i += 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + i));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_slli_epi16(_mm_unpacklo_epi8(v, zero), 7));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i + 8), _mm_slli_epi16(_mm_unpackhi_epi8(v, zero), 7));
        }
        for (; i < lanes; ++i) out[i] = int16_t(row[i] << 7);
    } else {
        std::memcpy(out, row, lanes * sizeof(typename Tr::Src));
    }
}

// Makes the rows of the cubic pass one at a time, keeping the ring of
// horizontally filtered source rows between calls. A row's pixels depend on
// its index alone, not on the rows made before it.
template <class Tr>
class CubicRows {
public:
    using Src = typename Tr::Src;
    using Mid = typename Tr::Mid;
    using W = typename Tr::W;

    explicit CubicRows(ResampleBandJob& job)
        : job_(job), table_(static_cast<const W*>(job.tables->weightTable)), lanes_(size_t(job.tables->dstW) * Tr::C)
    {
    }

    void make(uint32_t y, Src* out)
    {
        const int64_t pos = job_.startY + int64_t(y) * int64_t(job_.stepY);
        const int64_t base = pos >> 16;
        const uint32_t phase = uint32_t(pos >> 8) & 255;
        // The ring holds source rows base - 1 .. base + 2, clamped to the
        // image; a row already filtered is kept, only new rows are filtered.
        int64_t need[4];
        for (int k = 0; k < 4; ++k) need[k] = std::clamp<int64_t>(base - 1 + k, 0, job_.lastSourceRow);
        bool keep[4] = {};
        int slotOf[4] = {-1, -1, -1, -1};
        for (int k = 0; k < 4; ++k)
            for (int j = 0; j < 4; ++j)
                if (held_[j] == need[k]) { keep[j] = true; slotOf[k] = j; }
        for (int k = 0; k < 4; ++k) {
            if (slotOf[k] >= 0) continue;
            int j = 0;
            while (keep[j]) ++j;
            const Src* in = job_.source->template row<Src>(uint32_t(need[k]));
            Mid* ringRow = reinterpret_cast<Mid*>(job_.ring[j]);
            if (job_.rowKind == RESAMPLE_ROW_SAME) resampleRowSame<Tr>(in, ringRow, lanes_);
            else resampleRowGeneral<Tr>(job_, in, ringRow);
            held_[j] = need[k];
            keep[j] = true;
            for (int k2 = k; k2 < 4; ++k2)
                if (need[k2] == need[k]) slotOf[k2] = j;
        }
        const Mid* rows[4];
        for (int k = 0; k < 4; ++k) rows[k] = reinterpret_cast<const Mid*>(job_.ring[slotOf[k]]);
        resampleOut<Tr>(table_ + phase * 4, out, rows, lanes_);
    }

private:
    ResampleBandJob& job_;
    const W* table_;
    size_t lanes_;
    int64_t held_[4] = {-1, -1, -1, -1};
};

template <class Tr>
void workerImpl(ResampleBandJob& job)
{
    using Src = typename Tr::Src;
    CubicRows<Tr> cubic(job);
    if (job.shrinkShift == 0) {
        for (uint32_t y = job.firstRow; y < job.endRow; ++y) {
            if (aborted(job.abort)) break;
            cubic.make(y, job.destination->row<Src>(y));
        }
        return;
    }
    // Each destination row averages 2^shift rows of the cubic pass, made
    // into the band's own rows and never stored as an image.
    const uint32_t k = 1u << job.shrinkShift;
    const void* rows[16];
    for (uint32_t j = 0; j < k; ++j) rows[j] = job.shrinkRows + size_t(j) * job.shrinkRowBytes;
    for (uint32_t y = job.firstRow; y < job.endRow; ++y) {
        for (uint32_t j = 0; j < k; ++j) {
            if (aborted(job.abort)) return;
            cubic.make(y * k + j, reinterpret_cast<Src*>(job.shrinkRows + size_t(j) * job.shrinkRowBytes));
        }
        job.shrinkRow(rows, job.destination->rowBytesPtr(y), job.destination->width);
    }
}

// The exact x2 and x4 enlargements sample the destination pixel centres,
// (x + 0.5) / factor - 0.5 in source pixels: phases 192 and 64, or 160, 224,
// 32 and 96, the first taps reaching two pixels left of pixel 0. They run
// through the general row kernel with these tables. (The general kernel
// keeps its corner grid, x * step.)
int64_t exactStart(uint32_t factor) { return -int64_t(65536 - 65536 / factor) / 2; }

ResultCode buildExactTables(ResampleTables& t, uint32_t factor)
{
    uint64_t entries = uint64_t(t.dstW) + 8;
    uint64_t bytes;
    if (!checkedMul(entries, uint64_t(t.rowBytes) + 8, &bytes)) return RC_OUT_OF_MEMORY;
    t.block = alignedAlloc(bytes);
    if (!t.block) return RC_OUT_OF_MEMORY;
    t.weights = t.block;
    t.indexes = reinterpret_cast<int64_t*>(static_cast<uint8_t*>(t.block) + entries * t.rowBytes);
    auto* out = static_cast<uint8_t*>(t.weights);
    const auto* table = static_cast<const uint8_t*>(t.weightTable);
    const int64_t step = 65536 / factor;
    for (uint64_t x = 0; x < entries; ++x) {
        if (x < t.dstW) {
            const int64_t pos = int64_t(x) * step + exactStart(factor) - 65536;
            const uint32_t phase = uint32_t(pos >> 8) & 255;
            std::memcpy(out + x * t.rowBytes, table + phase * t.rowBytes, t.rowBytes);
            t.indexes[x] = pos >> 16;
        } else {
            std::memset(out + x * t.rowBytes, 0, t.rowBytes);
            t.indexes[x] = t.indexes[t.dstW - 1];
        }
    }
    return RC_OK;
}

using WorkerFn = void (*)(ResampleBandJob&);

} // namespace

const ResampleWeightRow* resampleWeightTable() { return weightTables().fixed; }
const float* resampleWeightTableFloat() { return &weightTables().real[0][0]; }

ResultCode resampleBuildTables(ResampleTables& t)
{
    if (t.srcW == 0 || t.dstW == 0) return RC_INVALID_PARAMETER;
    const uint64_t entries = uint64_t(t.dstW) + 8;
    uint64_t bytes;
    if (!checkedMul(entries, uint64_t(t.rowBytes) + 8, &bytes)) return RC_OUT_OF_MEMORY;
    t.block = alignedAlloc(bytes);
    if (!t.block) return RC_OUT_OF_MEMORY;
    t.weights = t.block;
    t.indexes = reinterpret_cast<int64_t*>(static_cast<uint8_t*>(t.block) + entries * t.rowBytes);
    auto* out = static_cast<uint8_t*>(t.weights);
    const auto* table = static_cast<const uint8_t*>(t.weightTable);
    // Positions in 64 bits: x * stepX passes 2^31 for sources 32,768 wide.
    int64_t pos = -65536;
    for (uint64_t x = 0; x < entries; ++x, pos += int64_t(t.stepX)) {
        if (x < t.dstW) {
            const uint32_t phase = uint32_t(pos >> 8) & 255;
            std::memcpy(out + x * t.rowBytes, table + phase * t.rowBytes, t.rowBytes);
            t.indexes[x] = pos >> 16;
        } else {
            std::memset(out + x * t.rowBytes, 0, t.rowBytes);
            t.indexes[x] = t.indexes[t.dstW - 1];
        }
    }
    return RC_OK;
}

void resampleFreeTables(ResampleTables& t)
{
    alignedFree(t.block);
    t.block = nullptr;
    t.weights = nullptr;
    t.indexes = nullptr;
}

void resampleWorker(ResampleBandJob& job)
{
    switch (job.source->pixelFormat) {
    case PF_RGBA8: workerImpl<Fmt<PF_RGBA8>>(job); break;
    case PF_RGBA16: workerImpl<Fmt<PF_RGBA16>>(job); break;
    case PF_RGBA_FLOAT: workerImpl<Fmt<PF_RGBA_FLOAT>>(job); break;
    case PF_GRAY8: workerImpl<Fmt<PF_GRAY8>>(job); break;
    case PF_GRAY16: workerImpl<Fmt<PF_GRAY16>>(job); break;
    case PF_GRAY_FLOAT: workerImpl<Fmt<PF_GRAY_FLOAT>>(job); break;
    default: break;
    }
}

namespace {

// The cubic pass to (dstW << shift) x (dstH << shift), each 2^shift rows and
// columns of it box-averaged into one destination pixel as it is made
// (shift 0: the cubic pass writes the destination itself).
ResultCode cubicPass(Image* dst, const Image* src, uint32_t shift, const std::atomic<uint8_t>* abort)
{
    if (!dst || !src) return RC_INVALID_PARAMETER;
    if (dst->pixelFormat != src->pixelFormat) return RC_GENERAL_FAILURE;
    const uint32_t srcW = src->width, srcH = src->height;
    if (srcW == 0 || srcH == 0 || dst->width == 0 || dst->height == 0) return RC_INVALID_PARAMETER;
    const uint32_t dstW = dst->width << shift, dstH = dst->height << shift;

    uint32_t srcPixelBytes, midPixelBytes;
    bool isFloat = false;
    switch (src->pixelFormat) {
    case PF_RGBA8: srcPixelBytes = 4; midPixelBytes = 8; break;
    case PF_RGBA16: srcPixelBytes = 8; midPixelBytes = 8; break;
    case PF_RGBA_FLOAT: srcPixelBytes = 16; midPixelBytes = 16; isFloat = true; break;
    case PF_GRAY8: srcPixelBytes = 1; midPixelBytes = 2; break;
    case PF_GRAY16: srcPixelBytes = 2; midPixelBytes = 2; break;
    case PF_GRAY_FLOAT: srcPixelBytes = 4; midPixelBytes = 4; isFloat = true; break;
    default: return RC_UNSUPPORTED_COLOUR_FORMAT;
    }

    ResampleTables tables;
    tables.dstW = dstW;
    tables.srcW = srcW;
    tables.stepX = (uint64_t(srcW) << 16) / dstW;
    tables.rowBytes = isFloat ? 16 : 8;
    tables.weightTable = isFloat ? static_cast<const void*>(resampleWeightTableFloat())
                                 : static_cast<const void*>(resampleWeightTable());

    ResampleBandJob job;
    job.rowKind = RESAMPLE_ROW_GENERAL;
    if (uint64_t(dstW) == 4ull * srcW && uint64_t(dstH) == 4ull * srcH) job.rowKind = RESAMPLE_ROW_X4;
    else if (uint64_t(dstW) == 2ull * srcW && uint64_t(dstH) == 2ull * srcH) job.rowKind = RESAMPLE_ROW_X2;
    else if (dstW == srcW) job.rowKind = RESAMPLE_ROW_SAME;
    ResultCode rc = RC_OK;
    if (job.rowKind == RESAMPLE_ROW_GENERAL) rc = resampleBuildTables(tables);
    else if (job.rowKind != RESAMPLE_ROW_SAME) rc = buildExactTables(tables, job.rowKind == RESAMPLE_ROW_X4 ? 4 : 2);
    if (failed(rc)) return rc;

    // Four ring rows with room for whole vector groups past the last pixel,
    // then the scratch for the edge pixels of one source row (16 extended
    // pixels, or a whole row of a source narrower than 8), then the rows of
    // the cubic pass that one box average takes. Every band has its own: a
    // band filters the source rows it needs itself, so its pixels do not
    // depend on where the bands are cut.
    const uint64_t ringRowBytes = roundUp16(dstW) * midPixelBytes + 64;
    const uint64_t scratchBytes = roundUp16(uint64_t(std::max<uint32_t>(srcW, 16) + 4) * srcPixelBytes) + 64;
    const uint64_t shrinkRowBytes = shift ? roundUp16(uint64_t(dstW) * srcPixelBytes) + 64 : 0;
    const uint64_t bandBytes = ringRowBytes * 4 + scratchBytes + (shrinkRowBytes << shift);
    // The work of a destination row: its vertical passes and the source rows
    // they bring into the ring.
    const uint64_t rowWork = ((uint64_t(srcW) * std::max<uint32_t>(1, srcH / dstH) + dstW) * srcPixelBytes) << shift;
    const unsigned bands = rowBandCount(dst->height, rowWork);
    AlignedBuffer<uint8_t> ring;
    if (!ring.allocate(bandBytes * bands)) {
        resampleFreeTables(tables);
        return RC_OUT_OF_MEMORY;
    }
    job.source = src;
    job.destination = dst;
    job.abort = abort;
    job.stepY = (uint64_t(srcH) << 16) / dstH;
    job.startY = job.rowKind == RESAMPLE_ROW_X2 || job.rowKind == RESAMPLE_ROW_X4
                     ? exactStart(job.rowKind == RESAMPLE_ROW_X4 ? 4 : 2)
                     : 0;
    job.lastSourceRow = srcH - 1;
    job.midPixelBytes = midPixelBytes;
    job.tables = &tables;
    job.shrinkShift = shift;
    job.shrinkRow = shift ? shrinkRowKernel(src->pixelFormat, shift) : nullptr;
    job.shrinkRowBytes = shrinkRowBytes;
    runRowBands(bands, dst->height, [&](unsigned band, uint32_t first, uint32_t end) {
        ResampleBandJob part = job;
        part.firstRow = first;
        part.endRow = end;
        uint8_t* mine = ring.get() + band * bandBytes;
        for (int k = 0; k < 4; ++k) part.ring[k] = mine + k * ringRowBytes;
        part.scratch = mine + 4 * ringRowBytes;
        part.shrinkRows = part.scratch + scratchBytes;
        resampleWorker(part);
    });
    resampleFreeTables(tables);
    return aborted(abort) ? RC_CANCELLED : RC_OK;
}

} // namespace

ResultCode resampleSetup(Image* dst, const Image* src, const std::atomic<uint8_t>* abort)
{
    return cubicPass(dst, src, 0, abort);
}

ResultCode resampleRun(uint32_t /*kernel*/, Image* dst, const Image* src, const std::atomic<uint8_t>* abort)
{
    if (!dst || !src) return RC_INVALID_PARAMETER;
    if (dst->pixelFormat != src->pixelFormat) return RC_GENERAL_FAILURE;
    const uint64_t srcW = src->width, srcH = src->height, dstW = dst->width, dstH = dst->height;
    if (dstW > 0 && dstH > 0 && dstW <= (srcW >> 1) && dstH <= (srcH >> 1)) {
        // Reductions by 2 or more: cubic to a power-of-two multiple of the
        // destination, then box averaging, so no source pixel is skipped.
        uint32_t s = 1;
        while ((dstW << (s + 1)) <= srcW && (dstH << (s + 1)) <= srcH) ++s;
        if ((dstW << s) == srcW && (dstH << s) == srcH) return imageShrinkPow2(dst, src, abort);
        // The box averaging by up to 16 runs as the cubic rows are made;
        // larger factors go on from an image reduced by 16 so far.
        if (s <= 4) return cubicPass(dst, src, s, abort);
        Ref<Image> mid = Ref<Image>::adopt(
            imageCreate(src->pixelFormat, packSize(uint32_t(dstW << (s - 4)), uint32_t(dstH << (s - 4)))));
        if (!mid) return RC_OUT_OF_MEMORY;
        ResultCode rc = cubicPass(mid.get(), src, 4, abort);
        if (failed(rc)) return rc;
        return imageShrinkPow2(dst, mid.get(), abort);
    }
    return resampleSetup(dst, src, abort);
}

} // namespace quillon
