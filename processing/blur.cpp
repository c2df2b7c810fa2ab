#include "processing/blur.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/convert.h"
#include "core/image.h"
#include "core/image_info.h"
#include "platform/memory.h"
#include "platform/tasks.h"

namespace quillon {

float* gaussianKernel(uint32_t* outSize, uint32_t* outStride, double radius, double sigma)
{
    if (!std::isfinite(radius) || !std::isfinite(sigma) || !(sigma > 0) || radius > 1000) return nullptr;
    const uint32_t n = std::max<uint32_t>(3, 2 * uint32_t(std::max(0.0, std::ceil(radius - 0.5))) + 1);
    const uint32_t c = n / 2;
    const uint32_t stride = (n + 15) & ~15u;
    double w[2001];
    const double twoSigma2 = 2 * sigma * sigma;
    for (uint32_t i = c + 1; i < n; ++i) {
        const double d = double(i - c);
        double sum = 0;
        for (int k = 1; k <= 50; ++k) {
            const double x = d - 0.5 + 0.02 * k;
            if (x <= radius) sum += std::exp(-x * x / twoSigma2);
        }
        w[i] = 0.02 * sum;
        w[n - 1 - i] = w[i];
    }
    // The centre tap samples from +0.5 outward like its neighbours, so even a
    // tiny sigma spreads over the 3 x 3 neighbourhood.
    double centre = 0;
    for (int k = 0; k <= 50; ++k) {
        const double x = 0.5 + 0.02 * k;
        centre += std::exp(-x * x / twoSigma2);
    }
    w[c] = centre * 0.0196078431372549;
    double total = 0;
    for (uint32_t i = 0; i < n; ++i) total += w[i];
    if (!(total > 0)) return nullptr;
    for (uint32_t i = 0; i < n; ++i) w[i] /= total;

    uint64_t entries;
    if (!checkedMul(uint64_t(n), stride, &entries)) return nullptr;
    auto* table = static_cast<float*>(alignedAllocZero(entries * sizeof(float)));
    if (!table) return nullptr;
    for (uint32_t i = 0; i < n; ++i)
        for (uint32_t j = 0; j < n; ++j) table[size_t(i) * stride + j] = float(w[i] * w[j]);
    if (outSize) *outSize = n;
    if (outStride) *outStride = stride;
    return table;
}

uint8_t* gaussianKernelU8(const float* kernel, uint32_t size, uint32_t stride)
{
    if (!kernel || size == 0) return nullptr;
    auto* table = static_cast<uint8_t*>(alignedAllocZero(uint64_t(size) * stride));
    if (!table) return nullptr;
    uint32_t sum = 0;
    for (uint32_t i = 0; i < size; ++i)
        for (uint32_t j = 0; j < size; ++j) {
            const uint8_t v = uint8_t(int(kernel[size_t(i) * stride + j] * 256.0f));
            table[size_t(i) * stride + j] = v;
            sum += v;
        }
    const size_t centre = size_t(size / 2) * stride + size / 2;
    table[centre] = uint8_t(table[centre] + uint8_t(256 - sum));
    return table;
}

namespace {

// ---- the convolution ----

struct Tap {
    uint32_t row;    // kernel row
    uint32_t offset; // sample offset within the padded row
    uint32_t weight; // u8 kernels
    float weightF;   // f32 kernels
};

// Source rows with the edge pixels repeated half-size times on both sides,
// kept for the n rows the current output row needs. Each source row is
// copied once, before the output rows that overwrite it are written, so the
// destination may be the source.
template <class S>
class PaddedRows {
public:
    bool init(const Image* src, uint32_t channels, uint32_t n)
    {
        src_ = src;
        ch_ = channels;
        n_ = n;
        half_ = (n - 1) / 2;
        // The vector loop reads up to 32 samples past the last output sample.
        const uint64_t count = uint64_t(src->width) * channels;
        stride_ = ((count + 31) & ~uint64_t(31)) + uint64_t(n) * channels + 32;
        uint64_t total;
        if (!checkedMul(stride_, n, &total)) return false;
        if (!buffer_.allocate(total, true)) return false;
        if (!tags_.allocate(n)) return false;
        for (uint32_t i = 0; i < n; ++i) tags_[i] = std::numeric_limits<int64_t>::min();
        return true;
    }

    // Padded source row j (clamped into the image), as n consecutive rows
    // for output row y: rows[i] = row y - half + i.
    void rowsFor(uint32_t y, const S** rows)
    {
        for (uint32_t i = 0; i < n_; ++i) rows[i] = get(int64_t(y) - half_ + i);
    }
    // The unpadded samples of row y (valid after rowsFor(y)).
    const S* centre(uint32_t y) { return get(y) + size_t(half_) * ch_; }
    uint32_t half() const { return half_; }

private:
    const S* get(int64_t j)
    {
        const uint32_t slot = uint32_t(((j % n_) + n_) % n_);
        S* row = buffer_.get() + size_t(slot) * stride_;
        if (tags_[slot] != j) {
            tags_[slot] = j;
            const int64_t last = int64_t(src_->height) - 1;
            const uint32_t r = uint32_t(std::clamp<int64_t>(j, 0, last));
            const S* in = src_->row<S>(r);
            const size_t w = src_->width;
            std::memcpy(row + size_t(half_) * ch_, in, w * ch_ * sizeof(S));
            for (uint32_t k = 0; k < half_; ++k) {
                std::memcpy(row + size_t(k) * ch_, in, ch_ * sizeof(S));
                std::memcpy(row + (size_t(half_) + w + k) * ch_, in + (w - 1) * ch_, ch_ * sizeof(S));
            }
        }
        return row;
    }

    const Image* src_ = nullptr;
    uint32_t ch_ = 0, n_ = 0, half_ = 0;
    uint64_t stride_ = 0;
    AlignedBuffer<S> buffer_;
    AlignedBuffer<int64_t> tags_;
};

typedef uint8_t U8x16 __attribute__((vector_size(16)));
typedef uint16_t U16x16 __attribute__((vector_size(32)));

// 8-bit samples: weights sum to 256 and samples are at most 255, so every
// partial sum fits in 16 bits (at most 65280).
#if defined(__SSE2__)
void convolveU8(const uint8_t* const* rows, const Tap* taps, uint32_t tapCount, uint32_t count, uint8_t* out)
{
    const __m128i zero = _mm_setzero_si128();
    for (uint32_t p = 0; p < count; p += 32) {
        __m128i a0 = zero, a1 = zero, a2 = zero, a3 = zero;
        for (uint32_t t = 0; t < tapCount; ++t) {
            const uint8_t* q = rows[taps[t].row] + taps[t].offset + p;
            const __m128i k = _mm_set1_epi16(int16_t(taps[t].weight));
            const __m128i v0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
            const __m128i v1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q + 16));
            a0 = _mm_add_epi16(a0, _mm_mullo_epi16(_mm_unpacklo_epi8(v0, zero), k));
            a1 = _mm_add_epi16(a1, _mm_mullo_epi16(_mm_unpackhi_epi8(v0, zero), k));
            a2 = _mm_add_epi16(a2, _mm_mullo_epi16(_mm_unpacklo_epi8(v1, zero), k));
            a3 = _mm_add_epi16(a3, _mm_mullo_epi16(_mm_unpackhi_epi8(v1, zero), k));
        }
        const __m128i r0 = _mm_packus_epi16(_mm_srli_epi16(a0, 8), _mm_srli_epi16(a1, 8));
        const __m128i r1 = _mm_packus_epi16(_mm_srli_epi16(a2, 8), _mm_srli_epi16(a3, 8));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + p), r0);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + p + 16), r1);
    }
}
#else
void convolveU8(const uint8_t* const* rows, const Tap* taps, uint32_t tapCount, uint32_t count, uint8_t* out)
{
    for (uint32_t p = 0; p < count; p += 32) {
        U16x16 a0 = {}, a1 = {};
        for (uint32_t t = 0; t < tapCount; ++t) {
            const uint8_t* q = rows[taps[t].row] + taps[t].offset + p;
            U8x16 v0, v1;
            std::memcpy(&v0, q, 16);
            std::memcpy(&v1, q + 16, 16);
            const U16x16 k = U16x16{} + uint16_t(taps[t].weight);
            a0 += __builtin_convertvector(v0, U16x16) * k;
            a1 += __builtin_convertvector(v1, U16x16) * k;
        }
        const U8x16 r0 = __builtin_convertvector(a0 >> 8, U8x16);
        const U8x16 r1 = __builtin_convertvector(a1 >> 8, U8x16);
        std::memcpy(out + p, &r0, 16);
        std::memcpy(out + p + 16, &r1, 16);
    }
}
#endif

void convolveU16(const uint16_t* const* rows, const Tap* taps, uint32_t tapCount, uint32_t count, uint32_t* acc,
                 uint16_t* out)
{
    std::memset(acc, 0, size_t(count) * sizeof(uint32_t));
    for (uint32_t t = 0; t < tapCount; ++t) {
        const uint16_t* q = rows[taps[t].row] + taps[t].offset;
        const uint32_t k = taps[t].weight;
        for (uint32_t p = 0; p < count; ++p) acc[p] += k * q[p];
    }
    for (uint32_t p = 0; p < count; ++p) out[p] = uint16_t(acc[p] >> 8);
}

void convolveF(const float* const* rows, const Tap* taps, uint32_t tapCount, uint32_t count, float* out)
{
    std::memset(out, 0, size_t(count) * sizeof(float));
    for (uint32_t t = 0; t < tapCount; ++t) {
        const float* q = rows[taps[t].row] + taps[t].offset;
        const float k = taps[t].weightF;
        for (uint32_t p = 0; p < count; ++p) out[p] += k * q[p];
    }
}

// The kernel as a list of its non-zero taps.
struct Kernel {
    AlignedBuffer<Tap> taps;
    uint32_t count = 0, size = 0;

    bool build(float radius, float sigma, bool integer, uint32_t channels)
    {
        uint32_t n = 0, stride = 0;
        float* f = gaussianKernel(&n, &stride, radius, sigma);
        if (!f) return false;
        uint8_t* u = integer ? gaussianKernelU8(f, n, stride) : nullptr;
        if (integer && !u) {
            alignedFree(f);
            return false;
        }
        bool ok = taps.allocate(uint64_t(n) * n);
        if (ok) {
            size = n;
            for (uint32_t i = 0; i < n; ++i)
                for (uint32_t j = 0; j < n; ++j) {
                    const size_t at = size_t(i) * stride + j;
                    Tap t{i, j * channels, integer ? u[at] : 0u, f[at]};
                    if (integer ? t.weight != 0 : t.weightF != 0) taps[count++] = t;
                }
        }
        alignedFree(u);
        alignedFree(f);
        return ok;
    }
};

// What happens to each output row once its blurred samples are known.
enum class Post { Plain, EdgeKeep, Sharpen };

struct Params {
    Post post = Post::Plain;
    int64_t thresholdI = 0; // scaled threshold (blur) or per-sample threshold (sharpen)
    float thresholdF = 0;
    int32_t strength = 0;   // K of the integer unsharp mask
    float amount = 0;       // float unsharp mask
};

typedef int32_t I32x16 __attribute__((vector_size(64)));

// The 8-bit unsharp mask sixteen samples at a time; returns how many samples
// it did (the rest, fewer than sixteen, are left to the scalar loop).
uint32_t sharpenU8(const uint8_t* u, const uint8_t* b, uint32_t count, int32_t thr, int32_t K, uint8_t* out)
{
    uint32_t p = 0;
    for (; p + 16 <= count; p += 16) {
        U8x16 uv, bv;
        std::memcpy(&uv, u + p, 16);
        std::memcpy(&bv, b + p, 16);
        const I32x16 ui = __builtin_convertvector(uv, I32x16);
        const I32x16 d = ui - __builtin_convertvector(bv, I32x16);
        const I32x16 ad = d < 0 ? -d : d;
        I32x16 v = ui + ((d * K) >> 12);
        v = v < 0 ? 0 : v;
        v = v > 255 ? 255 : v;
        const I32x16 r = ad >= thr ? v : ui;
        const U8x16 o = __builtin_convertvector(r, U8x16);
        std::memcpy(out + p, &o, 16);
    }
    return p;
}

template <class S> struct SampleTraits;
template <> struct SampleTraits<uint8_t> { static constexpr int32_t max = 255; };
template <> struct SampleTraits<uint16_t> { static constexpr int32_t max = 65535; };

// Integer rows: unblurred u, blurred b, channels ch; writes out.
template <class S>
void finishRowInt(const S* u, const S* b, uint32_t w, uint32_t ch, const Params& prm, S* out)
{
    const uint32_t count = w * ch;
    switch (prm.post) {
    case Post::Plain: std::memcpy(out, b, count * sizeof(S)); break;
    case Post::EdgeKeep:
        for (uint32_t x = 0; x < w; ++x) {
            const S* up = u + size_t(x) * ch;
            const S* bp = b + size_t(x) * ch;
            S* op = out + size_t(x) * ch;
            int64_t d = ch == 4 ? (int64_t(up[0]) + up[1] + up[2]) - (int64_t(bp[0]) + bp[1] + bp[2])
                                : int64_t(up[0]) - bp[0];
            if (d < 0) d = -d;
            if (d > prm.thresholdI)
                for (uint32_t c = 0; c < ch; ++c) op[c] = S((uint32_t(up[c]) + bp[c]) >> 1);
            else
                for (uint32_t c = 0; c < ch; ++c) op[c] = bp[c];
        }
        break;
    case Post::Sharpen: {
        const int32_t thr = int32_t(prm.thresholdI), K = prm.strength;
        uint32_t p = 0;
        if constexpr (std::is_same_v<S, uint8_t>) p = sharpenU8(u, b, count, thr, K, out);
        for (; p < count; ++p) {
            const int32_t uv = u[p];
            const int32_t d = uv - int32_t(b[p]);
            const int32_t ad = d < 0 ? -d : d;
            int32_t v = uv;
            if (ad >= thr) {
                // Arithmetic shift of a possibly negative product.
                v = uv + int32_t((int64_t(d) * K) >> 12);
                v = std::clamp(v, 0, SampleTraits<S>::max);
            }
            out[p] = S(v);
        }
        break;
    }
    }
}

void finishRowFloat(const float* u, const float* b, uint32_t w, uint32_t ch, const Params& prm, float* out)
{
    const uint32_t count = w * ch;
    switch (prm.post) {
    case Post::Plain: std::memcpy(out, b, count * sizeof(float)); break;
    case Post::EdgeKeep:
        for (uint32_t x = 0; x < w; ++x) {
            const float* up = u + size_t(x) * ch;
            const float* bp = b + size_t(x) * ch;
            float* op = out + size_t(x) * ch;
            float d = ch == 4 ? (up[0] + up[1] + up[2]) - (bp[0] + bp[1] + bp[2]) : up[0] - bp[0];
            if (std::fabs(d) > prm.thresholdF)
                for (uint32_t c = 0; c < ch; ++c) op[c] = (up[c] + bp[c]) * 0.5f;
            else
                for (uint32_t c = 0; c < ch; ++c) op[c] = bp[c];
        }
        break;
    case Post::Sharpen:
        for (uint32_t p = 0; p < count; ++p) {
            const float d = u[p] - b[p];
            out[p] = std::fabs(d) >= prm.thresholdF ? u[p] + d * prm.amount : u[p];
        }
        break;
    }
}

// The workers: one band of rows of src, filtered into dst (same format).
template <class S>
ResultCode filterRows(const BandJob& job, const Kernel& kernel, uint32_t ch, const Params& prm)
{
    const Image* src = job.source;
    Image* dst = job.destination;
    PaddedRows<S> rows;
    if (!rows.init(src, ch, kernel.size)) return RC_OUT_OF_MEMORY;
    const uint32_t w = src->width, count = w * ch;
    const uint32_t padded = (count + 31) & ~31u;
    AlignedBuffer<S> blurred;
    AlignedBuffer<uint32_t> acc;
    if (!blurred.allocate(padded + 32)) return RC_OUT_OF_MEMORY;
    if constexpr (std::is_same_v<S, uint16_t>)
        if (!acc.allocate(padded)) return RC_OUT_OF_MEMORY;
    AlignedBuffer<const S*> rowPtrs;
    if (!rowPtrs.allocate(kernel.size)) return RC_OUT_OF_MEMORY;
    for (uint32_t y = job.firstRow; y < job.endRow; ++y) {
        if (job.abort && job.abort->load(std::memory_order_relaxed)) return RC_CANCELLED;
        rows.rowsFor(y, rowPtrs.get());
        if constexpr (std::is_same_v<S, uint8_t>)
            convolveU8(rowPtrs.get(), kernel.taps.get(), kernel.count, count, blurred.get());
        else if constexpr (std::is_same_v<S, uint16_t>)
            convolveU16(rowPtrs.get(), kernel.taps.get(), kernel.count, count, acc.get(), blurred.get());
        else
            convolveF(rowPtrs.get(), kernel.taps.get(), kernel.count, count, blurred.get());
        const S* u = rows.centre(y);
        if constexpr (std::is_same_v<S, float>)
            finishRowFloat(u, blurred.get(), w, ch, prm, dst->row<float>(y));
        else
            finishRowInt<S>(u, blurred.get(), w, ch, prm, dst->row<S>(y));
    }
    return RC_OK;
}

ResultCode runFilter(const BandJob& job, const Kernel& kernel, const Params& prm)
{
    switch (job.source->pixelFormat) {
    case PF_RGBA8: return filterRows<uint8_t>(job, kernel, 4, prm);   // blurRowsRgba8 / sharpenRowsRgba8
    case PF_RGBA16: return filterRows<uint16_t>(job, kernel, 4, prm); // blurRowsRgba16 / sharpenRowsRgba16
    case PF_RGBA_FLOAT: return filterRows<float>(job, kernel, 4, prm);
    case PF_GRAY8: return filterRows<uint8_t>(job, kernel, 1, prm);
    case PF_GRAY16: return filterRows<uint16_t>(job, kernel, 1, prm);
    case PF_GRAY_FLOAT: return filterRows<float>(job, kernel, 1, prm);
    default: return RC_UNSUPPORTED_COLOUR_FORMAT;
    }
}

// Runs the filter over bands of rows on the task pool. A band reads rows
// half the kernel beyond its own, which the neighbouring bands overwrite
// when filtering in place; then the bands read from a copy of the source.
ResultCode filterInBands(const Image* work, Image* out, const Kernel& kernel, const Params& prm)
{
    const uint64_t rowWork = uint64_t(work->width) * work->bytesPerPixel() * kernel.size;
    const unsigned bands = rowBandCount(work->height, rowWork);
    Ref<Image> held;
    const Image* from = work;
    if (bands > 1 && out == work) {
        held = Ref<Image>::adopt(imageCreate(work->pixelFormat, work->size()));
        if (!held || failed(imageCopySame(held.get(), work))) return RC_OUT_OF_MEMORY;
        from = held.get();
    }
    std::atomic<int> firstFailure{RC_OK};
    runRowBands(bands, work->height, [&](unsigned, uint32_t first, uint32_t end) {
        BandJob job;
        job.source = from;
        job.destination = out;
        job.firstRow = first;
        job.endRow = end;
        const ResultCode rc = runFilter(job, kernel, prm);
        int expected = RC_OK;
        if (failed(rc)) firstFailure.compare_exchange_strong(expected, int(rc));
    });
    return ResultCode(firstFailure.load());
}

bool isFloat(PixelFormat f) { return f == PF_RGBA_FLOAT || f == PF_GRAY_FLOAT; }
uint32_t channels(PixelFormat f) { return f <= PF_RGBA_FLOAT ? 4 : 1; }

// Converts a working image into the caller's destination of another format
// without touching the destination's place in a frame chain.
ResultCode convertIntoDestination(Image* dst, const Image* work)
{
    if (dst->frameInfo.next) return RC_INVALID_PARAMETER;
    const FrameInfo saved = dst->frameInfo;
    ResultCode rc = imageConvertPixels(dst, work, false);
    frameInfoCopyData(dst->frameInfo, saved);
    dst->frameInfo.prev = saved.prev;
    dst->frameInfo.next = nullptr;
    return rc;
}

// Shared frame of imageBlur and imageSharpen: the working source (palette
// images as PF_RGBA8), the working destination, the filter, the conversion.
ResultCode filterImage(Image* dst, const Image* src, float radius, float sigma, const Params& prm)
{
    Ref<Image> srcCopy;
    const Image* work = src;
    if (src->pixelFormat == PF_INDEXED8) {
        srcCopy = Ref<Image>::adopt(imageConvertNew(src, false, false, PF_RGBA8));
        if (!srcCopy) return RC_OUT_OF_MEMORY;
        work = srcCopy.get();
    }
    if (work->pixelFormat > PF_GRAY_FLOAT) return RC_UNSUPPORTED_COLOUR_FORMAT;
    Ref<Image> dstCopy;
    Image* out = dst;
    if (dst->pixelFormat != work->pixelFormat) {
        dstCopy = Ref<Image>::adopt(imageCreate(work->pixelFormat, work->size()));
        if (!dstCopy) return RC_OUT_OF_MEMORY;
        out = dstCopy.get();
    }
    Kernel kernel;
    if (!kernel.build(radius, sigma, !isFloat(work->pixelFormat), channels(work->pixelFormat)))
        return RC_OUT_OF_MEMORY;
    ResultCode rc = filterInBands(work, out, kernel, prm);
    if (failed(rc)) return rc;
    if (out != dst) {
        rc = convertIntoDestination(dst, out);
        if (failed(rc)) return rc;
    }
    if (dst != src) imageCopyInfo(dst, src);
    dst->alphaKind = src->alphaKind;
    return RC_OK;
}

PixelFormat frameFormat(const Image* frame)
{
    return frame->pixelFormat == PF_INDEXED8 ? PF_RGBA8 : frame->pixelFormat;
}

} // namespace

ResultCode imageBlur(Image* dst, const Image* src, int32_t threshold, float radius, float sigma)
{
    if (!dst || !src) return RC_INVALID_PARAMETER;
    if (dst->width != src->width || dst->height != src->height) return RC_INVALID_PARAMETER;
    if (!std::isfinite(radius) || !std::isfinite(sigma) || !(sigma > 0) || radius > 1000)
        return RC_INVALID_PARAMETER;
    const PixelFormat wf = frameFormat(src);
    Params prm;
    int64_t scaled = 0, limit = 0;
    float scaledF = 0, limitF = 0;
    switch (wf) {
    case PF_RGBA8: scaled = int64_t(threshold) * 3; limit = 765; break;
    case PF_RGBA16: scaled = int64_t(threshold) * 768; limit = 196605; break;
    case PF_RGBA_FLOAT: scaledF = float(threshold) * 3 / 256; limitF = 3.0f; break;
    case PF_GRAY8: scaled = threshold; limit = 255; break;
    case PF_GRAY16: scaled = int64_t(threshold) * 256; limit = 65535; break;
    case PF_GRAY_FLOAT: scaledF = float(threshold) / 256; limitF = 1.0f; break;
    default: return RC_UNSUPPORTED_COLOUR_FORMAT;
    }
    if (isFloat(wf)) {
        prm.thresholdF = scaledF;
        prm.post = scaledF >= limitF ? Post::Plain : Post::EdgeKeep;
    } else {
        prm.thresholdI = scaled;
        prm.post = scaled >= limit ? Post::Plain : Post::EdgeKeep;
    }
    return filterImage(dst, src, radius, sigma, prm);
}

ResultCode imageSharpen(Image* dst, const Image* src, uint32_t threshold, float amount)
{
    if (!dst || !src) return RC_INVALID_PARAMETER;
    if (dst->width != src->width || dst->height != src->height) return RC_INVALID_PARAMETER;
    // An infinite or not-a-number amount has no integer strength.
    if (!std::isfinite(amount)) return RC_INVALID_PARAMETER;
    const double scaledAmount = std::trunc(double(amount) * 256);
    const int32_t k = int32_t(std::clamp(scaledAmount, -1e9, 1e9));
    if (k == 0) {
        if (dst == src) return RC_OK;
        ResultCode rc = dst->pixelFormat == src->pixelFormat ? imageCopySame(dst, src)
                                                              : convertIntoDestination(dst, src);
        return rc;
    }
    if (k < 0) threshold = 0;
    Params prm;
    prm.post = Post::Sharpen;
    prm.strength = std::clamp(16 * std::clamp(k, -2032, 2032), -2032 * 16, 2032 * 16);
    prm.amount = amount;
    const PixelFormat wf = frameFormat(src);
    switch (wf) {
    case PF_RGBA8:
    case PF_GRAY8: prm.thresholdI = std::min<int64_t>(threshold, INT32_MAX); break;
    case PF_RGBA16:
    case PF_GRAY16: prm.thresholdI = std::min<int64_t>(int64_t(threshold) * 256, INT32_MAX); break;
    case PF_RGBA_FLOAT:
    case PF_GRAY_FLOAT: prm.thresholdF = float(threshold) / 256; break;
    default: return RC_UNSUPPORTED_COLOUR_FORMAT;
    }
    return filterImage(dst, src, 2.5f, 1.25f, prm);
}

namespace {

template <class Op>
ResultCode eachFrame(Image** slot, Op op)
{
    if (!slot) return RC_INVALID_PARAMETER;
    for (Image** link = slot; *link;) {
        Image* frame = *link;
        Image* made = imageCreate(frameFormat(frame), frame->size(), frame->display() != nullptr);
        if (!made) return RC_OUT_OF_MEMORY;
        ResultCode rc = op(made, frame);
        if (failed(rc)) {
            objectRelease(made);
            return rc;
        }
        imageReplaceFrame(link, made);
        link = &made->frameInfo.next;
    }
    return RC_OK;
}

} // namespace

ResultCode imageBlurFrames(Image** slot, int32_t threshold, float sigma)
{
    return eachFrame(slot, [&](Image* made, const Image* frame) { return imageBlur(made, frame, threshold, 3.5f, sigma); });
}

ResultCode imageSharpenFrames(Image** slot, float amount)
{
    if (amount == 0) return RC_OK;
    if (!std::isfinite(amount)) return RC_INVALID_PARAMETER;
    return eachFrame(slot, [&](Image* made, const Image* frame) { return imageSharpen(made, frame, 8, amount); });
}

} // namespace quillon
