#include "core/resize.h"

#include <emmintrin.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <type_traits>

#include "core/box_reduce.h"
#include "core/convert.h"
#include "core/image_info.h"
#include "core/resample.h"
#include "platform/memory.h"
#include "platform/tasks.h"

namespace quillon {

const ResizeFilterEntry resizeFilterTable[] = {
    {RF_NEAREST, u"Nearest neighbour (1x1 filter)"},
    {RF_BILINEAR, u"Bilinear interpolation (2x2 filter)"},
    {RF_CATMULL_ROM, u"Catmull-Rom spline (4x4 filter)"},
    {RF_CUBIC_IMOMS, u"Cubic I-MOMS (4x4 filter)"},
    {RF_BSPLINE2, u"2nd degree B-spline (3x3 filter)"},
    {RF_BSPLINE3, u"3rd degree B-spline (4x4 filter)"},
    {RF_BSPLINE4, u"4th degree B-spline (5x5 filter)"},
    {RF_BSPLINE5, u"5th degree B-spline (6x6 filter)"},
    {0, nullptr},
};

namespace {

bool aborted(const std::atomic<uint8_t>* abort) { return abort && abort->load(std::memory_order_relaxed) != 0; }

uint32_t channelsOf(PixelFormat f) { return f <= PF_RGBA_FLOAT ? 4 : 1; }

// ---- nearest neighbour ----

template <size_t Bytes>
void nearestRows(Image* dst, const Image* src, const uint32_t* columns, uint64_t stepY,
                 const std::atomic<uint8_t>* abort, bool* stopped)
{
    struct Pixel { uint8_t b[Bytes]; };
    const uint32_t dstW = dst->width;
    for (uint32_t y = 0; y < dst->height; ++y) {
        if (aborted(abort)) { *stopped = true; return; }
        const uint32_t sy = uint32_t((stepY / 2 + y * stepY) >> 16);
        const Pixel* in = src->row<Pixel>(sy);
        Pixel* out = dst->row<Pixel>(y);
        for (uint32_t x = 0; x < dstW; ++x) out[x] = in[columns[x]];
    }
}

// ---- bilinear ----

template <PixelFormat F> struct Lin;
template <> struct Lin<PF_RGBA8> { using S = uint8_t; using H = uint16_t; static constexpr int C = 4; };
template <> struct Lin<PF_RGBA16> { using S = uint16_t; using H = uint32_t; static constexpr int C = 4; };
template <> struct Lin<PF_RGBA_FLOAT> { using S = float; using H = float; static constexpr int C = 4; };
template <> struct Lin<PF_GRAY8> { using S = uint8_t; using H = uint16_t; static constexpr int C = 1; };
template <> struct Lin<PF_GRAY16> { using S = uint16_t; using H = uint32_t; static constexpr int C = 1; };
template <> struct Lin<PF_GRAY_FLOAT> { using S = float; using H = float; static constexpr int C = 1; };

struct LinColumn {
    uint32_t left, right;
    uint32_t f;  // 0..255, the weight of the right pixel
};

template <class L>
void bilinearRow(const typename L::S* in, typename L::H* out, const LinColumn* cols, uint32_t dstW)
{
    constexpr int C = L::C;
    for (uint32_t x = 0; x < dstW; ++x) {
        const LinColumn& c = cols[x];
        const typename L::S* p0 = in + size_t(c.left) * C;
        const typename L::S* p1 = in + size_t(c.right) * C;
        for (int k = 0; k < C; ++k) {
            if constexpr (std::is_same_v<typename L::S, float>) {
                const float w1 = float(c.f) * (1.0f / 256.0f);
                out[size_t(x) * C + k] = (1.0f - w1) * p0[k] + w1 * p1[k];
            } else {
                out[size_t(x) * C + k] = typename L::H((256 - c.f) * uint32_t(p0[k]) + c.f * uint32_t(p1[k]));
            }
        }
    }
}

template <class L>
ResultCode bilinearDirect(Image* dst, const Image* src, const std::atomic<uint8_t>* abort)
{
    using S = typename L::S;
    using H = typename L::H;
    constexpr int C = L::C;
    const uint64_t srcW = src->width, srcH = src->height;
    const uint32_t dstW = dst->width, dstH = dst->height;
    // 16.16 positions in 64 bits: sources of 65,536 and more stay exact.
    const uint64_t stepX = ((srcW - 1) << 16) / dstW;
    const uint64_t stepY = ((srcH - 1) << 16) / dstH;
    // Each band keeps its own pair of filtered source rows.
    const uint64_t lineLanes = (uint64_t(dstW) + 1) * C;
    const unsigned bands = rowBandCount(dstH, (uint64_t(dstW) * 2 + srcW) * sizeof(S) * C);
    AlignedBuffer<LinColumn> cols(dstW);
    AlignedBuffer<H> lines;
    if (!cols || !lines.allocate(2 * lineLanes * bands)) return RC_OUT_OF_MEMORY;
    for (uint32_t x = 0; x < dstW; ++x) {
        const uint64_t pos = x * stepX;
        const uint64_t i = std::min<uint64_t>(pos >> 16, srcW - 1);
        cols[x] = {uint32_t(i), uint32_t(std::min<uint64_t>(i + 1, srcW - 1)), uint32_t(pos >> 8) & 255};
    }
    runRowBands(bands, dstH, [&](unsigned band, uint32_t firstRow, uint32_t endRow) {
        H* line[2] = {lines.get() + 2 * lineLanes * band, lines.get() + 2 * lineLanes * band + lineLanes};
        int64_t held = -2;  // source row held in line[0]; line[1] holds the next
        for (uint32_t y = firstRow; y < endRow; ++y) {
            if (aborted(abort)) return;
            const uint64_t pos = 32768 + y * stepY;
            const int64_t i = int64_t(std::min<uint64_t>(pos >> 16, srcH - 1));
            const uint32_t g = uint32_t(pos >> 8) & 255;
            const auto nextRow = [&](int64_t r) {
                return src->row<S>(uint32_t(std::min<int64_t>(r + 1, int64_t(srcH) - 1)));
            };
            if (i == held + 1) {
                std::swap(line[0], line[1]);
                bilinearRow<L>(nextRow(i), line[1], cols.get(), dstW);
            } else if (i != held) {
                bilinearRow<L>(src->row<S>(uint32_t(i)), line[0], cols.get(), dstW);
                bilinearRow<L>(nextRow(i), line[1], cols.get(), dstW);
            }
            held = i;
            S* out = dst->row<S>(y);
            const size_t lanes = size_t(dstW) * C;
            for (size_t k = 0; k < lanes; ++k) {
                if constexpr (std::is_same_v<S, float>) {
                    const float w1 = float(g) * (1.0f / 256.0f);
                    out[k] = (1.0f - w1) * line[0][k] + w1 * line[1][k];
                } else {
                    out[k] = S((uint64_t(256 - g) * line[0][k] + uint64_t(g) * line[1][k]) >> 16);
                }
            }
        }
    });
    return aborted(abort) ? RC_CANCELLED : RC_OK;
}

ResultCode bilinearDirectAny(Image* dst, const Image* src, const std::atomic<uint8_t>* abort)
{
    switch (src->pixelFormat) {
    case PF_RGBA8: return bilinearDirect<Lin<PF_RGBA8>>(dst, src, abort);
    case PF_RGBA16: return bilinearDirect<Lin<PF_RGBA16>>(dst, src, abort);
    case PF_RGBA_FLOAT: return bilinearDirect<Lin<PF_RGBA_FLOAT>>(dst, src, abort);
    case PF_GRAY8: return bilinearDirect<Lin<PF_GRAY8>>(dst, src, abort);
    case PF_GRAY16: return bilinearDirect<Lin<PF_GRAY16>>(dst, src, abort);
    case PF_GRAY_FLOAT: return bilinearDirect<Lin<PF_GRAY_FLOAT>>(dst, src, abort);
    default: return RC_UNSUPPORTED_COLOUR_FORMAT;
    }
}

// ---- B-spline interpolation ----

constexpr double kLogEpsilon = -36.04365338911715;  // ln(2^-52)

int polesOf(uint32_t degree, double* z)
{
    switch (degree) {
    case 2: z[0] = -0.1715728752538097; return 1;
    case 3: z[0] = -0.2679491924311228; return 1;
    case 4:
        z[0] = std::sqrt(1.4473605818176338) + 17.435595774162696 - 19.0;
        z[1] = std::sqrt(1326.5526394181825) - 17.435595774162696 - 19.0;
        return 2;
    case 5:
        z[0] = std::sqrt(0.8948200212626034) + 5.123475382979799 - 6.5;
        z[1] = std::sqrt(134.1051799787374) - 5.123475382979799 - 6.5;
        return 2;
    default: return 0;
    }
}

// L interleaved lines (sample k of line l at c[k * L + l]) filtered in
// lockstep; every lane takes exactly the operations of a single line.
template <int L>
void prefilterLanes(double* c, uint64_t n, const double* poles, int poleCount)
{
    if (n <= 1) return;
    double gain = 1.0;
    for (int k = 0; k < poleCount; ++k) gain = gain * (1.0 - poles[k]) * (1.0 - 1.0 / poles[k]);
    for (uint64_t i = 0; i < n * L; ++i) c[i] *= gain;
    for (int k = 0; k < poleCount; ++k) {
        const double z = poles[k];
        const uint64_t horizon = uint64_t(std::ceil(kLogEpsilon / std::log(std::fabs(z))));
        double first[L];
        if (horizon < n) {
            double zn = z;
            for (int l = 0; l < L; ++l) first[l] = c[l];
            for (uint64_t i = 1; i < horizon; ++i) {
                for (int l = 0; l < L; ++l) first[l] += zn * c[i * L + l];
                zn *= z;
            }
        } else {
            double zn = z;
            const double iz = 1.0 / z;
            double z2n = std::pow(z, double(n - 1));
            for (int l = 0; l < L; ++l) first[l] = c[l] + z2n * c[(n - 1) * L + l];
            z2n *= z2n * iz;
            for (uint64_t i = 1; i + 1 < n; ++i) {
                for (int l = 0; l < L; ++l) first[l] += (zn + z2n) * c[i * L + l];
                zn *= z;
                z2n *= iz;
            }
            for (int l = 0; l < L; ++l) first[l] /= (1.0 - zn * zn);
        }
        for (int l = 0; l < L; ++l) c[l] = first[l];
        for (uint64_t i = 1; i < n; ++i)
            for (int l = 0; l < L; ++l) c[i * L + l] += z * c[(i - 1) * L + l];
        for (int l = 0; l < L; ++l)
            c[(n - 1) * L + l] = (z / (z * z - 1.0)) * (z * c[(n - 2) * L + l] + c[(n - 1) * L + l]);
        for (uint64_t i = n - 1; i-- > 0;)
            for (int l = 0; l < L; ++l) c[i * L + l] = z * (c[(i + 1) * L + l] - c[i * L + l]);
    }
}

// Taps and weights of one axis position (at most 6 taps).
struct SplineTaps {
    int64_t index[6];
    double weight[6];
};

void splineTaps(uint32_t degree, uint64_t size, double t, SplineTaps& out)
{
    const int64_t half = int64_t(degree / 2);
    const int64_t first = (degree & 1) ? int64_t(std::floor(t)) - half : int64_t(std::floor(t + 0.5)) - half;
    for (uint32_t k = 0; k <= degree; ++k) out.index[k] = first + k;
    double* wt = out.weight;
    double w;
    switch (degree) {
    case 2:
        w = t - double(out.index[1]);
        wt[1] = 3.0 / 4.0 - w * w;
        wt[2] = (1.0 / 2.0) * (w - wt[1] + 1.0);
        wt[0] = 1.0 - wt[1] - wt[2];
        break;
    case 3:
        w = t - double(out.index[1]);
        wt[3] = (1.0 / 6.0) * w * w * w;
        wt[0] = (1.0 / 6.0) + (1.0 / 2.0) * w * (w - 1.0) - wt[3];
        wt[2] = w + wt[0] - 2.0 * wt[3];
        wt[1] = 1.0 - wt[0] - wt[2] - wt[3];
        break;
    case 4: {
        w = t - double(out.index[2]);
        const double w2 = w * w;
        const double q = (1.0 / 6.0) * w2;
        wt[0] = 1.0 / 2.0 - w;
        wt[0] *= wt[0];
        wt[0] *= (1.0 / 24.0) * wt[0];
        const double a = w * (q - 11.0 / 24.0);
        const double b = 19.0 / 96.0 + w2 * (1.0 / 4.0 - q);
        wt[1] = b + a;
        wt[3] = b - a;
        wt[4] = wt[0] + a + (1.0 / 2.0) * w;
        wt[2] = 1.0 - wt[0] - wt[1] - wt[3] - wt[4];
        break;
    }
    case 5: {
        w = t - double(out.index[2]);
        double w2 = w * w;
        wt[5] = (1.0 / 120.0) * w * w2 * w2;
        w2 -= w;
        const double w4 = w2 * w2;
        w -= 1.0 / 2.0;
        const double q = w2 * (w2 - 3.0);
        wt[0] = (1.0 / 24.0) * (1.0 / 5.0 + w2 + w4) - wt[5];
        double a = (1.0 / 24.0) * (w2 * (w2 - 5.0) + 46.0 / 5.0);
        double b = (-1.0 / 12.0) * w * (q + 4.0);
        wt[2] = a + b;
        wt[3] = a - b;
        a = (1.0 / 16.0) * (9.0 / 5.0 - q);
        b = (1.0 / 24.0) * w * (w4 - w2 - 5.0);
        wt[1] = a + b;
        wt[4] = a - b;
        break;
    }
    default: break;
    }
    // Mirror-symmetric extension with period 2 size - 2.
    const int64_t period = 2 * int64_t(size) - 2;
    for (uint32_t k = 0; k <= degree; ++k) {
        if (size == 1) {
            out.index[k] = 0;
            continue;
        }
        int64_t m = out.index[k] < 0 ? -out.index[k] : out.index[k];
        m %= period;
        if (m >= int64_t(size)) m = period - m;
        out.index[k] = m;
    }
}

// ---- working images ----

bool isGray816(PixelFormat f) { return f == PF_GRAY8 || f == PF_GRAY16; }

} // namespace

uint16_t floatToU16(float v)
{
    if (!(v > 0.0f)) return 0;
    if (v >= 1.0f) return 65535;
    return uint16_t(v * 65535.0f + 0.5f);
}

ResultCode resampleNearest(Image* dst, const Image* src, const std::atomic<uint8_t>* abort)
{
    if (!dst || !src) return RC_INVALID_PARAMETER;
    if (dst->pixelFormat != src->pixelFormat) return RC_INVALID_PARAMETER;
    if (src->pixelFormat > PF_GRAY_FLOAT) return RC_UNSUPPORTED_COLOUR_FORMAT;
    const uint64_t srcW = src->width, srcH = src->height;
    const uint32_t dstW = dst->width;
    // 16.16 steps in 64 bits, so widths of 65,536 and more do not wrap.
    const uint64_t stepX = (srcW << 16) / dstW;
    const uint64_t stepY = (srcH << 16) / dst->height;
    AlignedBuffer<uint32_t> columns(dstW);
    if (!columns) return RC_OUT_OF_MEMORY;
    for (uint32_t x = 0; x < dstW; ++x) columns[x] = uint32_t((stepX / 2 + x * stepX) >> 16);
    bool stopped = false;
    switch (src->bytesPerPixel()) {
    case 1: nearestRows<1>(dst, src, columns.get(), stepY, abort, &stopped); break;
    case 2: nearestRows<2>(dst, src, columns.get(), stepY, abort, &stopped); break;
    case 4: nearestRows<4>(dst, src, columns.get(), stepY, abort, &stopped); break;
    case 8: nearestRows<8>(dst, src, columns.get(), stepY, abort, &stopped); break;
    case 16: nearestRows<16>(dst, src, columns.get(), stepY, abort, &stopped); break;
    default: return RC_UNSUPPORTED_COLOUR_FORMAT;
    }
    return stopped ? RC_CANCELLED : RC_OK;
}

ResultCode resampleBilinear(Image* dst, const Image* src, const std::atomic<uint8_t>* abort)
{
    if (!dst || !src) return RC_INVALID_PARAMETER;
    if (dst->pixelFormat != src->pixelFormat) return RC_GENERAL_FAILURE;
    const uint64_t srcW = src->width, srcH = src->height, dstW = dst->width, dstH = dst->height;
    if (dstW <= (srcW >> 1) && dstH <= (srcH >> 1)) {
        uint32_t s = 1;
        while ((dstW << (s + 1)) <= srcW && (dstH << (s + 1)) <= srcH) ++s;
        if ((dstW << s) == srcW && (dstH << s) == srcH) return imageShrinkPow2(dst, src, abort);
        Ref<Image> mid =
            Ref<Image>::adopt(imageCreate(src->pixelFormat, packSize(uint32_t(dstW << s), uint32_t(dstH << s))));
        if (!mid) return RC_OUT_OF_MEMORY;
        ResultCode rc = bilinearDirectAny(mid.get(), src, abort);
        if (failed(rc)) return rc;
        return imageShrinkPow2(dst, mid.get(), abort);
    }
    return bilinearDirectAny(dst, src, abort);
}

int bsplinePoles(uint32_t degree, double* poles) { return polesOf(degree, poles); }

void bsplinePrefilter(double* line, uint64_t length, const double* poles, int poleCount)
{
    prefilterLanes<1>(line, length, poles, poleCount);
}

double bsplineWeights(const float* plane, uint32_t width, uint32_t height, uint32_t degree, double x, double y)
{
    if (degree < 2 || degree > 5) return 0.0;
    SplineTaps tx, ty;
    splineTaps(degree, width, x, tx);
    splineTaps(degree, height, y, ty);
    double result = 0.0;
    for (uint32_t j = 0; j <= degree; ++j) {
        const float* p = plane + size_t(ty.index[j]) * width;
        double sum = 0.0;
        for (uint32_t i = 0; i <= degree; ++i) sum += tx.weight[i] * p[tx.index[i]];
        result += ty.weight[j] * sum;
    }
    return result;
}

namespace {

// B-spline resampling in f32, one axis at a time: first down the columns of
// the source (prefilter and interpolation, in strips, each worked through a
// ring of rows that stays in cache), then along the rows of that result.
// Both steps are linear and act on different axes, so the order does not
// change the result beyond rounding. An axis whose size does not change is skipped: the spline
// interpolates, so sampling it at the knots gives the samples back. Box
// averaging behind the spline (reductions by 2 or more) runs on the rows as
// they are made.

// Floats in one row of a column strip (128 colour pixels, 96 with alpha,
// 384 grey); floats per sample of a row group (8 colour rows or 32 grey).
constexpr uint32_t kStripFloats = 384;
constexpr uint32_t kGroupFloats = 32;

// The taps of one destination position on one axis.
struct SplineAxisTaps {
    uint32_t index[6];
    float weight[6];
};

// Whether the first `taps` taps of `t` lie below `ready`: the coefficients
// the streaming prefilter has finished.
inline bool tapsReady(const SplineAxisTaps& t, uint32_t taps, uint64_t ready)
{
    for (uint32_t k = 0; k < taps; ++k)
        if (t.index[k] >= ready) return false;
    return true;
}

bool makeAxisTaps(AlignedBuffer<SplineAxisTaps>& taps, uint32_t degree, uint32_t srcSize, uint32_t dstSize,
                  double scale)
{
    if (!taps.allocate(dstSize)) return false;
    for (uint32_t i = 0; i < dstSize; ++i) {
        SplineTaps t;
        splineTaps(degree, srcSize, double(i) * scale, t);
        for (uint32_t k = 0; k < 6; ++k) {
            taps[i].index[k] = k <= degree ? uint32_t(t.index[k]) : 0;
            taps[i].weight[k] = k <= degree ? float(t.weight[k]) : 0.0f;
        }
    }
    return true;
}

// The pieces of the interpolation prefilter over n steps of L lanes (sample
// k of lane l at c[k * L + l]), every lane a line of its own; the caller has
// applied the gain. Mirror-symmetric boundaries, in f32 with the pole powers
// in f64. Per pole: the first causal coefficient, the causal pass, the last
// coefficient and the anti-causal pass.
template <uint32_t L>
struct Prefilter {
    static constexpr uint32_t V = L / 4;
    // Step k lives at c + (k & mask) * L: the whole line, or a ring of a
    // power-of-two number of steps.
    static float* at(float* c, uint64_t k, uint64_t mask) { return c + (k & mask) * L; }

    static uint64_t horizon(double z) { return uint64_t(std::ceil(kLogEpsilon / std::log(std::fabs(z)))); }

    // c[0] := the first causal coefficient, from c[0 .. n) (only the first
    // horizon steps when the line is longer than the horizon).
    static void first(float* c, uint64_t n, double zd, uint64_t mask = ~uint64_t(0))
    {
        __m128 f[V];
        if (horizon(zd) < n) {
            double zn = zd;
            for (uint32_t v = 0; v < V; ++v) f[v] = _mm_load_ps(at(c, 0, mask) + v * 4);
            for (uint64_t k = 1, h = horizon(zd); k < h; ++k, zn *= zd) {
                const __m128 w = _mm_set1_ps(float(zn));
                for (uint32_t v = 0; v < V; ++v)
                    f[v] = _mm_add_ps(f[v], _mm_mul_ps(w, _mm_load_ps(at(c, k, mask) + v * 4)));
            }
        } else {
            double zn = zd, z2n = std::pow(zd, double(n - 1));
            const double iz = 1.0 / zd;
            const __m128 wl = _mm_set1_ps(float(z2n));
            for (uint32_t v = 0; v < V; ++v)
                f[v] = _mm_add_ps(_mm_load_ps(at(c, 0, mask) + v * 4),
                                  _mm_mul_ps(wl, _mm_load_ps(at(c, n - 1, mask) + v * 4)));
            z2n *= z2n * iz;
            for (uint64_t k = 1; k + 1 < n; ++k) {
                const __m128 w = _mm_set1_ps(float(zn + z2n));
                for (uint32_t v = 0; v < V; ++v)
                    f[v] = _mm_add_ps(f[v], _mm_mul_ps(w, _mm_load_ps(at(c, k, mask) + v * 4)));
                zn *= zd;
                z2n *= iz;
            }
            const __m128 scale = _mm_set1_ps(float(1.0 / (1.0 - zn * zn)));
            for (uint32_t v = 0; v < V; ++v) f[v] = _mm_mul_ps(f[v], scale);
        }
        for (uint32_t v = 0; v < V; ++v) _mm_store_ps(at(c, 0, mask) + v * 4, f[v]);
    }

    // c[k] += z c[k - 1] for k in [from, to).
    static void causal(float* c, uint64_t from, uint64_t to, double zd, uint64_t mask = ~uint64_t(0))
    {
        const __m128 z = _mm_set1_ps(float(zd));
        for (uint64_t k = from; k < to; ++k) {
            float* cur = at(c, k, mask);
            const float* prev = at(c, k - 1, mask);
            for (uint32_t v = 0; v < V; ++v)
                _mm_store_ps(cur + v * 4,
                             _mm_add_ps(_mm_load_ps(cur + v * 4), _mm_mul_ps(z, _mm_load_ps(prev + v * 4))));
        }
    }

    static void last(float* c, uint64_t n, double zd, uint64_t mask = ~uint64_t(0))
    {
        const __m128 z = _mm_set1_ps(float(zd));
        const __m128 scale = _mm_set1_ps(float(zd / (zd * zd - 1.0)));
        float* end = at(c, n - 1, mask);
        const float* before = at(c, n - 2, mask);
        for (uint32_t v = 0; v < V; ++v)
            _mm_store_ps(end + v * 4, _mm_mul_ps(scale, _mm_add_ps(_mm_mul_ps(z, _mm_load_ps(before + v * 4)),
                                                                   _mm_load_ps(end + v * 4))));
    }

    // c[k] = z (c[k + 1] - c[k]) for k from `from` - 1 down to `to`.
    static void anticausal(float* c, uint64_t from, uint64_t to, double zd, uint64_t mask = ~uint64_t(0))
    {
        const __m128 z = _mm_set1_ps(float(zd));
        for (uint64_t k = from; k-- > to;) {
            float* cur = at(c, k, mask);
            const float* next = at(c, k + 1, mask);
            for (uint32_t v = 0; v < V; ++v)
                _mm_store_ps(cur + v * 4,
                             _mm_mul_ps(z, _mm_sub_ps(_mm_load_ps(next + v * 4), _mm_load_ps(cur + v * 4))));
        }
    }

    // c[from .. to) of the anti-causal pass, started at `end` - 1 from zero
    // instead of at the end of the line: past the horizon the difference is
    // below the f64 epsilon.
    static void antiBlock(float* c, uint64_t from, uint64_t to, uint64_t end, double zd, uint64_t mask)
    {
        const __m128 z = _mm_set1_ps(float(zd));
        __m128 acc[V];
        for (uint32_t v = 0; v < V; ++v) acc[v] = _mm_setzero_ps();
        for (uint64_t k = end; k-- > from;) {
            float* cur = at(c, k, mask);
            for (uint32_t v = 0; v < V; ++v) acc[v] = _mm_mul_ps(z, _mm_sub_ps(acc[v], _mm_load_ps(cur + v * 4)));
            if (k < to)
                for (uint32_t v = 0; v < V; ++v) _mm_store_ps(cur + v * 4, acc[v]);
        }
    }

};


// out[0 .. count) = sum over the taps of weight x the tap's step (steps of L
// floats), four vectors at a time so the sums stay in registers.
template <uint32_t L, uint32_t Taps>
inline void interpolateStep(const float* c, const SplineAxisTaps& t, uint32_t count, __m128* out, uint64_t mask)
{
    __m128 w[Taps];
    const float* p[Taps];
    for (uint32_t k = 0; k < Taps; ++k) {
        w[k] = _mm_set1_ps(t.weight[k]);
        p[k] = c + size_t(t.index[k] & mask) * L;
    }
    for (uint32_t v = 0; v < count; v += 4) {
        __m128 a0 = _mm_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
        for (uint32_t k = 0; k < Taps; ++k) {
            const float* q = p[k] + v * 4;
            a0 = _mm_add_ps(a0, _mm_mul_ps(w[k], _mm_load_ps(q)));
            a1 = _mm_add_ps(a1, _mm_mul_ps(w[k], _mm_load_ps(q + 4)));
            a2 = _mm_add_ps(a2, _mm_mul_ps(w[k], _mm_load_ps(q + 8)));
            a3 = _mm_add_ps(a3, _mm_mul_ps(w[k], _mm_load_ps(q + 12)));
        }
        out[v] = a0;
        out[v + 1] = a1;
        out[v + 2] = a2;
        out[v + 3] = a3;
    }
}

// count: vectors wanted, rounded up to a multiple of 4 (L is one).
// Steps at c + (index & mask) * L, as Prefilter::at.
template <uint32_t L>
void interpolateAny(uint32_t taps, const float* c, const SplineAxisTaps& t, uint32_t count, __m128* out,
                    uint64_t mask = ~uint64_t(0))
{
    count = (count + 3) & ~3u;
    switch (taps) {
    case 3: interpolateStep<L, 3>(c, t, count, out, mask); break;
    case 4: interpolateStep<L, 4>(c, t, count, out, mask); break;
    case 5: interpolateStep<L, 5>(c, t, count, out, mask); break;
    default: interpolateStep<L, 6>(c, t, count, out, mask); break;
    }
}

// ---- samples to floats and back, four pixels (or grey samples) at a time ----

// Four colour pixels as four vectors of b, g, r, a.
template <class S>
inline void loadPixels(const S* in, __m128* p)
{
    if constexpr (std::is_same_v<S, uint8_t>) {
        const __m128i zero = _mm_setzero_si128();
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
        const __m128i lo = _mm_unpacklo_epi8(v, zero), hi = _mm_unpackhi_epi8(v, zero);
        p[0] = _mm_cvtepi32_ps(_mm_unpacklo_epi16(lo, zero));
        p[1] = _mm_cvtepi32_ps(_mm_unpackhi_epi16(lo, zero));
        p[2] = _mm_cvtepi32_ps(_mm_unpacklo_epi16(hi, zero));
        p[3] = _mm_cvtepi32_ps(_mm_unpackhi_epi16(hi, zero));
    } else if constexpr (std::is_same_v<S, uint16_t>) {
        const __m128i zero = _mm_setzero_si128();
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 8));
        p[0] = _mm_cvtepi32_ps(_mm_unpacklo_epi16(a, zero));
        p[1] = _mm_cvtepi32_ps(_mm_unpackhi_epi16(a, zero));
        p[2] = _mm_cvtepi32_ps(_mm_unpacklo_epi16(b, zero));
        p[3] = _mm_cvtepi32_ps(_mm_unpackhi_epi16(b, zero));
    } else {
        for (int i = 0; i < 4; ++i) p[i] = _mm_loadu_ps(in + i * 4);
    }
}

// Four consecutive samples: four grey pixels or one colour pixel.
template <class S>
inline __m128 loadFour(const S* in)
{
    if constexpr (std::is_same_v<S, uint8_t>) {
        int32_t word;
        std::memcpy(&word, in, 4);
        const __m128i zero = _mm_setzero_si128();
        return _mm_cvtepi32_ps(_mm_unpacklo_epi16(_mm_unpacklo_epi8(_mm_cvtsi32_si128(word), zero), zero));
    } else if constexpr (std::is_same_v<S, uint16_t>) {
        const __m128i v = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(in));
        return _mm_cvtepi32_ps(_mm_unpacklo_epi16(v, _mm_setzero_si128()));
    } else {
        return _mm_loadu_ps(in);
    }
}

// Sixteen samples (four vectors) rounded and stored: (int)(v + 0.5) within
// the sample range, NaN and negative values 0; float samples as they are.
template <class S>
inline void storeSamples(__m128 v0, __m128 v1, __m128 v2, __m128 v3, S* out)
{
    if constexpr (std::is_same_v<S, float>) {
        _mm_storeu_ps(out, v0);
        _mm_storeu_ps(out + 4, v1);
        _mm_storeu_ps(out + 8, v2);
        _mm_storeu_ps(out + 12, v3);
    } else {
        const __m128 half = _mm_set1_ps(0.5f), zero = _mm_setzero_ps();
        const __m128 top = _mm_set1_ps(std::is_same_v<S, uint8_t> ? 255.0f : 65535.0f);
        // max(NaN, 0) is 0: the second operand wins when one is NaN.
        auto toInt = [&](__m128 v) { return _mm_cvttps_epi32(_mm_min_ps(_mm_max_ps(_mm_add_ps(v, half), zero), top)); };
        const __m128i n0 = toInt(v0), n1 = toInt(v1), n2 = toInt(v2), n3 = toInt(v3);
        if constexpr (std::is_same_v<S, uint8_t>) {
            const __m128i bytes = _mm_packus_epi16(_mm_packs_epi32(n0, n1), _mm_packs_epi32(n2, n3));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out), bytes);
        } else {
            // Signed packing after moving 0..65535 to -32768..32767.
            const __m128i bias = _mm_set1_epi32(32768), flip = _mm_set1_epi16(int16_t(0x8000));
            const __m128i a = _mm_packs_epi32(_mm_sub_epi32(n0, bias), _mm_sub_epi32(n1, bias));
            const __m128i b = _mm_packs_epi32(_mm_sub_epi32(n2, bias), _mm_sub_epi32(n3, bias));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_xor_si128(a, flip));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8), _mm_xor_si128(b, flip));
        }
    }
}

template <class S>
using BetweenOf = std::conditional_t<std::is_same_v<S, uint8_t>, int16_t, float>;
constexpr float kBetweenScale = 32.0f;

struct SplinePlan {
    const Image* src;
    Image* dst;       // the final destination
    uint32_t outW, outH;  // the spline's size: the destination's << shift
    uint32_t shift;       // box averaging by 2^shift behind the spline
    ShrinkRowKernel shrinkRow;
    uint32_t degree;
    const double* poles;
    int poleCount;
    // The prefilter's gain down the columns and along the rows; none on a
    // line of one sample, which the prefilter leaves alone.
    float gainColumns, gainRows;
    // Colour images whose alpha is the same everywhere filter b, g, r only
    // and give every pixel that alpha.
    uint32_t active;  // 1 (grey), 3 or 4
    float alpha;
    // Filtering colour alone assumes the alpha of pixel 0 everywhere; the
    // loads check it and the first pixel with another alpha sets this,
    // which stops the passes so that they run again on all four channels.
    std::atomic<bool>* alphaVaries;
    const SplineAxisTaps* colTaps;  // output columns (null: same width)
    const SplineAxisTaps* rowTaps;  // output rows (null: same height)
    // srcW x outH x active samples between the passes, or null: for 8-bit
    // images fixed point (value x kBetweenScale in i16, which keeps the
    // overshoot and 1/64 of a level), else floats.
    void* between;
    const std::atomic<uint8_t>* abort;
};

inline bool stopForAlpha(const SplinePlan& plan)
{
    return plan.active == 3 && plan.alphaVaries->load(std::memory_order_relaxed);
}

// Nonzero when a pixel's alpha (lane 3 of each vector) is not `expect`.
inline int alphaDiffers(const __m128* px, __m128 expect)
{
    __m128 differ = _mm_cmpneq_ps(px[0], expect);
    for (int i = 1; i < 4; ++i) differ = _mm_or_ps(differ, _mm_cmpneq_ps(px[i], expect));
    return _mm_movemask_ps(differ) & 8;
}

// The last `count` (< 4) pixels of a row made whole: zero samples, with the
// expected alpha so that the padding passes the check.
template <class S, uint32_t C>
inline void fillTail(S* tail, const S* pixels, uint32_t count, float alpha)
{
    std::memset(tail, 0, sizeof(S) * 16);
    std::memcpy(tail, pixels, size_t(count) * C * sizeof(S));
    if constexpr (C == 4)
        for (uint32_t i = count; i < 4; ++i) tail[i * 4 + 3] = S(alpha);
}

// Output rows [first, first + count) of the spline, made in `rows` (a row
// every rowStride samples, x0 .. x0 + width of the output), handed on: to
// the destination as they are, or box-averaged 2^shift rows at a time.
template <class S>
void emitRows(const SplinePlan& plan, const S* rows, size_t rowStride, uint32_t first, uint32_t count, uint32_t x0,
              uint32_t width)
{
    const uint32_t C = plan.active == 1 ? 1 : 4;
    const size_t bytes = size_t(width) * C * sizeof(S);
    if (plan.shift == 0) {
        for (uint32_t r = 0; r < count; ++r)
            std::memcpy(plan.dst->row<S>(first + r) + size_t(x0) * C, rows + r * rowStride, bytes);
        return;
    }
    const uint32_t k = 1u << plan.shift;
    const void* in[16];
    for (uint32_t r = 0; r < count; r += k) {
        for (uint32_t j = 0; j < k; ++j) in[j] = rows + (r + j) * rowStride;
        plan.shrinkRow(in, plan.dst->row<S>((first + r) >> plan.shift) + size_t(x0 >> plan.shift) * C,
                       width >> plan.shift);
    }
}

// The prefilter of a strip run as its rows come in, pole after pole, so
// that the rows it works on are the last few loaded and stay in cache: each
// pole's causal pass follows the rows its input has ready, and its
// anti-causal pass follows in blocks, each started a horizon further down
// (the last rows exactly, from the end of the line). Rows [0, ready()) are
// final coefficients.
template <uint32_t L>
class StreamingPrefilter {
public:
    static constexpr uint64_t kBlock = 64;

    // The steps in use at any one time span less than this: a pole's
    // anti-causal blocks trail its causal pass by under two blocks and a
    // horizon, there are at most two poles, and horizons stay below 64.
    static constexpr uint64_t kRing = 512;
    static uint64_t ringSteps(uint64_t n)
    {
        uint64_t r = 1;
        while (r < std::min(n, kRing)) r <<= 1;
        return r;
    }

    StreamingPrefilter(float* c, uint64_t n, const double* poles, int poleCount)
        : c_(c), n_(n), mask_(ringSteps(n) - 1), poleCount_(poleCount)
    {
        for (int p = 0; p < poleCount; ++p) {
            z_[p] = poles[p];
            // The blocks start from zero this many steps further down: the
            // part left out is below 2^-30 of the result, under f32 rounding.
            h_[p] = std::max<uint64_t>(uint64_t(std::ceil(-20.79441541679836 / std::log(std::fabs(poles[p])))), 2);
        }
    }

    // Rows [0, loaded) of the input are there.
    void advance(uint64_t loaded)
    {
        if (n_ <= 1) {
            ready_ = loaded;
            return;
        }
        uint64_t available = loaded;
        for (int p = 0; p < poleCount_; ++p) {
            pole(p, available);
            available = final_[p];
        }
        ready_ = available;
    }

    uint64_t ready() const { return ready_; }
    uint64_t mask() const { return mask_; }

private:
    void pole(int p, uint64_t available)
    {
        const double z = z_[p];
        if (causal_[p] == 0) {
            if (available < std::min(Prefilter<L>::horizon(z), n_)) return;
            Prefilter<L>::first(c_, n_, z, mask_);
            causal_[p] = 1;
        }
        if (available > causal_[p]) {
            Prefilter<L>::causal(c_, causal_[p], available, z, mask_);
            causal_[p] = available;
        }
        if (causal_[p] == n_) {
            if (final_[p] < n_) {
                Prefilter<L>::last(c_, n_, z, mask_);
                Prefilter<L>::anticausal(c_, n_ - 1, final_[p], z, mask_);
                final_[p] = n_;
            }
            return;
        }
        while (final_[p] + kBlock + h_[p] <= causal_[p]) {
            Prefilter<L>::antiBlock(c_, final_[p], final_[p] + kBlock, final_[p] + kBlock + h_[p], z, mask_);
            final_[p] += kBlock;
        }
    }

    float* c_;
    uint64_t n_;
    uint64_t mask_;
    int poleCount_;
    double z_[2] = {};
    uint64_t h_[2] = {};
    uint64_t causal_[2] = {};
    uint64_t final_[2] = {};
    uint64_t ready_ = 0;
};

// Columns down: strips of whole source columns loaded, prefiltered and
// interpolated to the output rows, into `between` or, when the width does
// not change, on to the destination. `scratch` holds the strip and the
// output rows of one box average.
template <class S, uint32_t A>
void splineColumns(const SplinePlan& plan, float* strip, S* made, uint32_t firstStrip, uint32_t endStrip)
{
    constexpr uint32_t C = A == 1 ? 1 : 4;
    constexpr uint32_t perStrip = kStripFloats / A;
    constexpr uint32_t V = kStripFloats / 4;
    const Image* src = plan.src;
    const uint32_t srcW = src->width, srcH = src->height, outH = plan.outH;
    const uint32_t taps = plan.degree + 1;
    const __m128 gain = _mm_set1_ps(plan.gainColumns);
    const uint32_t held = 1u << plan.shift;  // output rows kept for one box average
    const size_t madeStride = size_t(perStrip) * C;
    const __m128 rgbMask = _mm_castsi128_ps(_mm_set_epi32(0, -1, -1, -1));
    const __m128 alphaLane = _mm_set_ps(plan.alpha, 0.0f, 0.0f, 0.0f);
    const __m128 expectAlpha = _mm_set1_ps(plan.alpha);
    for (uint32_t s = firstStrip; s < endStrip; ++s) {
        if (aborted(plan.abort) || stopForAlpha(plan)) return;
        const uint32_t x0 = s * perStrip, count = std::min(perStrip, srcW - x0);
        int otherAlpha = 0;
        const uint32_t quads = (count + 3) / 4;
        const size_t rowBytes = size_t(count) * C * sizeof(S);
        alignas(16) S tail[16];
        StreamingPrefilter<kStripFloats> prefilter(strip, srcH, plan.poles, plan.poleCount);
        const uint32_t vectors = quads * A;
        uint32_t y = 0;  // the next output row
        for (uint32_t r = 0; r < srcH; ++r) {
            // The strip's next rows are pages apart: fetch them ahead.
            if (r + 16 < srcH) {
                const char* ahead = reinterpret_cast<const char*>(src->row<S>(r + 16) + size_t(x0) * C);
                for (size_t b = 0; b < rowBytes; b += 64) _mm_prefetch(ahead + b, _MM_HINT_T0);
            }
            float* line = strip + size_t(r & prefilter.mask()) * kStripFloats;
            const S* in = src->row<S>(r) + size_t(x0) * C;
            for (uint32_t q = 0; q < quads; ++q) {
                const S* p4 = in + size_t(q) * 4 * C;
                if (q * 4 + 4 > count) {
                    fillTail<S, C>(tail, p4, count - q * 4, plan.alpha);
                    p4 = tail;
                }
                if constexpr (A == 1) {
                    _mm_store_ps(line + q * 4, _mm_mul_ps(loadFour(p4), gain));
                } else {
                    __m128 px[4];
                    loadPixels(p4, px);
                    float* to = line + q * 4 * A;
                    if constexpr (A == 3) {
                        otherAlpha |= alphaDiffers(px, expectAlpha);
                        const __m128 t0 = _mm_shuffle_ps(px[0], px[1], _MM_SHUFFLE(0, 0, 2, 2));
                        const __m128 t2 = _mm_shuffle_ps(px[2], px[3], _MM_SHUFFLE(0, 0, 2, 2));
                        _mm_store_ps(to, _mm_mul_ps(_mm_shuffle_ps(px[0], t0, _MM_SHUFFLE(2, 0, 1, 0)), gain));
                        _mm_store_ps(to + 4, _mm_mul_ps(_mm_shuffle_ps(px[1], px[2], _MM_SHUFFLE(1, 0, 2, 1)), gain));
                        _mm_store_ps(to + 8, _mm_mul_ps(_mm_shuffle_ps(t2, px[3], _MM_SHUFFLE(2, 1, 2, 0)), gain));
                    } else {
                        _mm_store_ps(to, _mm_mul_ps(px[0], gain));
                        _mm_store_ps(to + 4, _mm_mul_ps(px[1], gain));
                        _mm_store_ps(to + 8, _mm_mul_ps(px[2], gain));
                        _mm_store_ps(to + 12, _mm_mul_ps(px[3], gain));
                    }
                }
            }
            for (uint32_t l = quads * 4 * A; l < kStripFloats; ++l) line[l] = 0.0f;
            if ((r + 1) % StreamingPrefilter<kStripFloats>::kBlock != 0 && r + 1 != srcH) continue;
            if (otherAlpha) {
                plan.alphaVaries->store(true, std::memory_order_relaxed);
                return;
            }
            prefilter.advance(r + 1);
            const uint64_t ready = prefilter.ready();
            for (; y < outH; ++y) {
                const SplineAxisTaps& t = plan.rowTaps[y];
                if (ready < srcH && !tapsReady(t, taps, ready)) break;
                __m128 v[V + 4];
                interpolateAny<kStripFloats>(taps, strip, t, vectors, v, prefilter.mask());
                if (plan.between) {
                    auto* out = static_cast<BetweenOf<S>*>(plan.between) + (size_t(y) * srcW + x0) * A;
                    const uint32_t used = count * A;
                    uint32_t i = 0;
                    if constexpr (std::is_same_v<S, uint8_t>) {
                        // Rounded to nearest, saturated to i16.
                        const __m128 scale = _mm_set1_ps(kBetweenScale);
                        for (; i + 8 <= used; i += 8) {
                            const __m128i a = _mm_cvtps_epi32(_mm_mul_ps(v[i / 4], scale));
                            const __m128i b = _mm_cvtps_epi32(_mm_mul_ps(v[i / 4 + 1], scale));
                            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_packs_epi32(a, b));
                        }
                        alignas(16) int16_t last[8];
                        _mm_store_si128(reinterpret_cast<__m128i*>(last),
                                        _mm_packs_epi32(_mm_cvtps_epi32(_mm_mul_ps(v[i / 4], scale)),
                                                        _mm_cvtps_epi32(_mm_mul_ps(v[i / 4 + 1], scale))));
                        for (uint32_t j = 0; i < used; ++i, ++j) out[i] = last[j];
                    } else {
                        for (; i + 4 <= used; i += 4) _mm_storeu_ps(out + i, v[i / 4]);
                        alignas(16) float last[4];
                        _mm_store_ps(last, v[i / 4]);
                        for (uint32_t j = 0; i < used; ++i, ++j) out[i] = last[j];
                    }
                    continue;
                }
                S* row = made + (y & (held - 1)) * madeStride;
                // Sixteen samples a step: four colour pixels or sixteen grey ones.
                for (uint32_t q = 0; q < (A == 1 ? (quads + 3) / 4 : quads); ++q) {
                    if constexpr (A == 3) {
                        const __m128* w = v + q * 3;
                        const __m128 mix = _mm_shuffle_ps(w[0], w[1], _MM_SHUFFLE(0, 0, 3, 3));
                        const __m128 p1 = _mm_shuffle_ps(mix, w[1], _MM_SHUFFLE(0, 1, 2, 0));
                        const __m128 p2 = _mm_shuffle_ps(w[1], w[2], _MM_SHUFFLE(0, 0, 3, 2));
                        const __m128 p3 = _mm_shuffle_ps(w[2], w[2], _MM_SHUFFLE(0, 3, 2, 1));
                        storeSamples<S>(_mm_or_ps(_mm_and_ps(w[0], rgbMask), alphaLane),
                                        _mm_or_ps(_mm_and_ps(p1, rgbMask), alphaLane),
                                        _mm_or_ps(_mm_and_ps(p2, rgbMask), alphaLane),
                                        _mm_or_ps(_mm_and_ps(p3, rgbMask), alphaLane), row + size_t(q) * 16);
                    } else {
                        storeSamples<S>(v[q * 4], v[q * 4 + 1], v[q * 4 + 2], v[q * 4 + 3], row + size_t(q) * 16);
                    }
                }
                if ((y & (held - 1)) == held - 1) emitRows<S>(plan, made, madeStride, y + 1 - held, held, x0, count);
            }
        }
    }
}

// Rows along: groups of rows (four of colour, sixteen of grey, side by side
// in the lanes) loaded from `between` or the source, prefiltered and
// interpolated to the output columns. A unit is as many groups as one box
// average takes (or one group), made whole in `made` and then handed on.
template <class S, uint32_t A>
void splineRows(const SplinePlan& plan, float* line, S* made, uint32_t unitRows, uint32_t firstUnit, uint32_t endUnit)
{
    constexpr uint32_t C = A == 1 ? 1 : 4;
    constexpr uint32_t lanesPerRow = A == 1 ? 1 : 4;
    constexpr uint32_t perGroup = kGroupFloats / lanesPerRow;
    const Image* src = plan.src;
    const uint32_t srcW = src->width, outW = plan.outW, rows = plan.outH;
    const uint32_t taps = plan.degree + 1;
    const float gain = plan.gainRows;
    const float betweenGain = std::is_same_v<S, uint8_t> ? gain / kBetweenScale : gain;
    const size_t madeStride = size_t(outW) * C + 16;
    const __m128 rgbMask = _mm_castsi128_ps(_mm_set_epi32(0, -1, -1, -1));
    const __m128 alphaLane = _mm_set_ps(plan.alpha, 0.0f, 0.0f, 0.0f);
    const __m128 expectAlpha = _mm_set1_ps(plan.alpha);
    for (uint32_t u = firstUnit; u < endUnit; ++u) {
        const uint32_t unitFirst = u * unitRows, unitCount = std::min(unitRows, rows - unitFirst);
        for (uint32_t y0 = unitFirst; y0 < unitFirst + unitCount; y0 += perGroup) {
            if (aborted(plan.abort) || stopForAlpha(plan)) return;
            int otherAlpha = 0;
            const uint32_t count = std::min(perGroup, rows - y0);
            // Where each row of the group comes from: `between` or the source.
            const void* from[perGroup];
            for (uint32_t r = 0; r < count; ++r)
                from[r] = plan.between ? static_cast<const void*>(static_cast<const BetweenOf<S>*>(plan.between) +
                                                                  size_t(y0 + r) * srcW * A)
                                       : static_cast<const void*>(src->row<S>(y0 + r));
            const float rowGain = plan.between ? betweenGain : gain;
            const __m128 scale = _mm_set1_ps(rowGain);
            StreamingPrefilter<kGroupFloats> prefilter(line, srcW, plan.poles, plan.poleCount);
            alignas(16) S rounded[kGroupFloats];
            S* out = made + size_t(y0 - unitFirst) * madeStride;
            uint32_t x = 0;  // the next output column
            for (uint32_t k = 0; k < srcW; ++k) {
                float* step = line + size_t(k & prefilter.mask()) * kGroupFloats;
                for (uint32_t r = 0; r < perGroup; ++r) {
                    float* lane = step + r * lanesPerRow;
                    if (r >= count) {
                        for (uint32_t a = 0; a < lanesPerRow; ++a) lane[a] = 0.0f;
                    } else if constexpr (A == 1) {
                        if (plan.between) lane[0] = float(static_cast<const BetweenOf<S>*>(from[r])[k]) * rowGain;
                        else lane[0] = float(static_cast<const S*>(from[r])[k]) * rowGain;
                    } else {
                        __m128 px;
                        if (plan.between) {
                            // Four samples a pixel: with three filtered
                            // channels the fourth is the next pixel's first
                            // (the buffer has slack at its end), masked off.
                            const auto* in = static_cast<const BetweenOf<S>*>(from[r]) + size_t(k) * A;
                            if constexpr (std::is_same_v<S, uint8_t>) {
                                const __m128i w = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(in));
                                px = _mm_cvtepi32_ps(_mm_srai_epi32(_mm_unpacklo_epi16(w, w), 16));
                            } else {
                                px = _mm_loadu_ps(in);
                            }
                        } else {
                            px = loadFour(static_cast<const S*>(from[r]) + size_t(k) * C);
                            if constexpr (A == 3) otherAlpha |= _mm_movemask_ps(_mm_cmpneq_ps(px, expectAlpha)) & 8;
                        }
                        if constexpr (A == 3) px = _mm_and_ps(px, rgbMask);
                        _mm_store_ps(lane, _mm_mul_ps(px, scale));
                    }
                }
                if ((k + 1) % StreamingPrefilter<kGroupFloats>::kBlock != 0 && k + 1 != srcW) continue;
                if (otherAlpha) {
                    plan.alphaVaries->store(true, std::memory_order_relaxed);
                    return;
                }
                prefilter.advance(k + 1);
                const uint64_t ready = prefilter.ready();
                for (; x < outW; ++x) {
                    const SplineAxisTaps& t = plan.colTaps[x];
                    if (ready < srcW && !tapsReady(t, taps, ready)) break;
                    __m128 v[kGroupFloats / 4];
                    interpolateAny<kGroupFloats>(taps, line, t, kGroupFloats / 4, v, prefilter.mask());
                    if constexpr (A == 3)
                        for (uint32_t i = 0; i < kGroupFloats / 4; ++i)
                            v[i] = _mm_or_ps(_mm_and_ps(v[i], rgbMask), alphaLane);
                    for (uint32_t i = 0; i < kGroupFloats / 4; i += 4)
                        storeSamples<S>(v[i], v[i + 1], v[i + 2], v[i + 3], rounded + i * 4);
                    for (uint32_t r = 0; r < count; ++r)
                        std::memcpy(out + r * madeStride + size_t(x) * C, rounded + r * lanesPerRow, C * sizeof(S));
                }
            }
        }
        emitRows<S>(plan, made, madeStride, unitFirst, unitCount, 0, outW);
    }
}

// Both passes with the plan's channels.
template <class S>
ResultCode splinePasses(SplinePlan& plan)
{
    const Image* src = plan.src;
    const uint32_t srcW = src->width, srcH = src->height, outW = plan.outW, outH = plan.outH;
    const uint32_t C = plan.active == 1 ? 1 : 4;
    const uint32_t boxRows = 1u << plan.shift;
    const bool sameWidth = srcW == outW, sameHeight = srcH == outH;
    // Down the columns (unless the height stays), on to the destination when
    // the width stays too, else into the samples between the passes.
    AlignedBuffer<BetweenOf<S>> between;
    plan.between = nullptr;
    if (!sameHeight) {
        if (!sameWidth) {
            uint64_t floats;
            if (!checkedMul(uint64_t(srcW) * outH, plan.active, &floats) || !between.allocate(floats + 8))
                return RC_OUT_OF_MEMORY;
            plan.between = between.get();
        }
        const uint32_t perStrip = kStripFloats / plan.active;
        const uint32_t strips = (srcW + perStrip - 1) / perStrip;
        const uint64_t stripFloats = StreamingPrefilter<kStripFloats>::ringSteps(srcH) * kStripFloats;
        const uint64_t madeSamples = uint64_t(perStrip) * C * boxRows + 16;
        const unsigned bands = rowBandCount(strips, uint64_t(srcH + outH) * kStripFloats * sizeof(float));
        AlignedBuffer<float> stripBuffers;
        AlignedBuffer<S> madeBuffers;
        if (!stripBuffers.allocate(stripFloats * bands) || !madeBuffers.allocate(madeSamples * bands))
            return RC_OUT_OF_MEMORY;
        runRowBands(bands, strips, [&](unsigned band, uint32_t first, uint32_t end) {
            float* strip = stripBuffers.get() + stripFloats * band;
            S* made = madeBuffers.get() + madeSamples * band;
            if (plan.active == 1) splineColumns<S, 1>(plan, strip, made, first, end);
            else if (plan.active == 3) splineColumns<S, 3>(plan, strip, made, first, end);
            else splineColumns<S, 4>(plan, strip, made, first, end);
        });
        if (aborted(plan.abort)) return RC_CANCELLED;
        if (stopForAlpha(plan)) return RC_OK;
    }
    if (!sameWidth) {
        const uint32_t perGroup = plan.active == 1 ? kGroupFloats : kGroupFloats / 4;
        const uint32_t unitRows = std::max(perGroup, boxRows);
        const uint32_t units = (outH + unitRows - 1) / unitRows;
        const uint64_t lineFloats = StreamingPrefilter<kGroupFloats>::ringSteps(srcW) * kGroupFloats;
        const uint64_t madeSamples = (uint64_t(outW) * C + 16) * unitRows;
        const unsigned bands =
            rowBandCount(units, uint64_t(srcW + outW) * kGroupFloats * sizeof(float) * (unitRows / perGroup));
        AlignedBuffer<float> lines;
        AlignedBuffer<S> madeBuffers;
        if (!lines.allocate(lineFloats * bands) || !madeBuffers.allocate(madeSamples * bands)) return RC_OUT_OF_MEMORY;
        runRowBands(bands, units, [&](unsigned band, uint32_t first, uint32_t end) {
            float* line = lines.get() + lineFloats * band;
            S* made = madeBuffers.get() + madeSamples * band;
            if (plan.active == 1) splineRows<S, 1>(plan, line, made, unitRows, first, end);
            else if (plan.active == 3) splineRows<S, 3>(plan, line, made, unitRows, first, end);
            else splineRows<S, 4>(plan, line, made, unitRows, first, end);
        });
    }
    return aborted(plan.abort) ? RC_CANCELLED : RC_OK;
}

template <class S>
ResultCode splineResampleAs(Image* dst, const Image* src, uint32_t degree, uint32_t shift,
                            const std::atomic<uint8_t>* abort)
{
    double poles[2];
    const int poleCount = polesOf(degree, poles);
    if (poleCount == 0) return RC_INVALID_PARAMETER;
    const uint32_t srcW = src->width, srcH = src->height;
    double gain = 1.0;
    for (int k = 0; k < poleCount; ++k) gain = gain * (1.0 - poles[k]) * (1.0 - 1.0 / poles[k]);

    SplinePlan plan{};
    plan.src = src;
    plan.dst = dst;
    plan.outW = dst->width << shift;
    plan.outH = dst->height << shift;
    plan.shift = shift;
    plan.shrinkRow = shift ? shrinkRowKernel(src->pixelFormat, shift) : nullptr;
    plan.degree = degree;
    plan.poles = poles;
    plan.poleCount = poleCount;
    plan.gainColumns = srcH > 1 ? float(gain) : 1.0f;
    plan.gainRows = srcW > 1 ? float(gain) : 1.0f;
    plan.active = channelsOf(src->pixelFormat);
    plan.abort = abort;
    std::atomic<bool> alphaVaries{false};
    plan.alphaVaries = &alphaVaries;
    if (plan.active == 4) {
        plan.active = 3;
        plan.alpha = float(src->row<S>(0)[3]);
    }

    // Destination column x samples source position x * srcW / outW, row y
    // y * srcH / outH (pixel corners: output pixel 0 samples position 0).
    const uint32_t outW = plan.outW, outH = plan.outH;
    AlignedBuffer<SplineAxisTaps> colTaps, rowTaps;
    if (srcW != outW && !makeAxisTaps(colTaps, degree, srcW, outW, double(srcW) / double(outW)))
        return RC_OUT_OF_MEMORY;
    if (srcH != outH && !makeAxisTaps(rowTaps, degree, srcH, outH, double(srcH) / double(outH)))
        return RC_OUT_OF_MEMORY;
    plan.colTaps = colTaps.get();
    plan.rowTaps = rowTaps.get();
    ResultCode rc = splinePasses<S>(plan);
    if (rc == RC_OK && plan.active == 3 && alphaVaries.load()) {
        plan.active = 4;
        rc = splinePasses<S>(plan);
    }
    return rc;
}

// The spline to (dst size << shift), box-averaged by 2^shift (shift <= 4).
ResultCode splineResample(Image* dst, const Image* src, uint32_t degree, uint32_t shift,
                          const std::atomic<uint8_t>* abort)
{
    switch (src->pixelFormat) {
    case PF_RGBA8: case PF_GRAY8: return splineResampleAs<uint8_t>(dst, src, degree, shift, abort);
    case PF_RGBA16: case PF_GRAY16: return splineResampleAs<uint16_t>(dst, src, degree, shift, abort);
    default: return splineResampleAs<float>(dst, src, degree, shift, abort);
    }
}

} // namespace

ResultCode resampleBSpline(Image* dst, const Image* src, uint32_t degree, const std::atomic<uint8_t>* abort)
{
    if (!dst || !src) return RC_INVALID_PARAMETER;
    if (dst->pixelFormat != src->pixelFormat) return RC_GENERAL_FAILURE;
    if (src->pixelFormat > PF_GRAY_FLOAT) return RC_UNSUPPORTED_COLOUR_FORMAT;
    const uint32_t srcW = src->width, srcH = src->height, dstW = dst->width, dstH = dst->height;
    if (srcW == 0 || srcH == 0 || dstW == 0 || dstH == 0) return RC_INVALID_PARAMETER;
    if (degree < 2 || degree > 5) return RC_INVALID_PARAMETER;
    // A spline interpolates: reducing by 2 or more with it alone skips
    // source pixels and aliases. Like the cubic filters, it resamples to a
    // power-of-two multiple of the destination, which box averaging reduces.
    uint32_t shift = 0;
    while (shift < 30 && (uint64_t(dstW) << (shift + 1)) <= srcW && (uint64_t(dstH) << (shift + 1)) <= srcH) ++shift;
    const uint64_t midW = uint64_t(dstW) << shift, midH = uint64_t(dstH) << shift;
    // Sampled at its knots the spline gives the source back.
    if (midW == srcW && midH == srcH) return shift ? imageShrinkPow2(dst, src, abort) : imageCopySame(dst, src);
    if (shift <= 4) return splineResample(dst, src, degree, shift, abort);
    // Beyond 16 the box averaging goes on from an image reduced by 16.
    Ref<Image> mid =
        Ref<Image>::adopt(imageCreate(src->pixelFormat, packSize(dstW << (shift - 4), dstH << (shift - 4))));
    if (!mid) return RC_OUT_OF_MEMORY;
    ResultCode rc = splineResample(mid.get(), src, degree, 4, abort);
    if (failed(rc)) return rc;
    return imageShrinkPow2(dst, mid.get(), abort);
}

ResultCode imageResample(Image* dst, const Image* src, uint8_t filter, const std::atomic<uint8_t>* abort)
{
    if (!dst || !src) return RC_INVALID_PARAMETER;
    if (dst == src) return RC_OK;
    if (uint64_t(dst->width) * dst->height == 0) return RC_OK;
    if (dst->width == src->width && dst->height == src->height) {
        // A plain conversion; its failure is the caller's failure, and the
        // information record travels with the pixels.
        ResultCode rc = imageConvertPixels(dst, src, false);
        if (failed(rc)) return rc;
        imageCopyInfo(dst, src);
        dst->alphaKind = src->alphaKind;
        return RC_OK;
    }
    if (filter > RF_BSPLINE5) return RC_INVALID_PARAMETER;

    const PixelFormat sf = src->pixelFormat;
    const bool cubic = filter == RF_PREVIEW || filter == RF_CATMULL_ROM || filter == RF_CUBIC_IMOMS;
    Ref<Image> ownSource, ownDest;
    const Image* workSrc = src;
    Image* workDst = dst;
    auto convertedSource = [&](PixelFormat f) -> bool {
        ownSource = Ref<Image>::adopt(imageConvertNew(src, false, false, f));
        workSrc = ownSource.get();
        return workSrc != nullptr;
    };
    if (cubic && (isGray816(sf) || isGray816(dst->pixelFormat))) {
        const PixelFormat df = dst->pixelFormat;
        const bool keep = sf == df || sf == PF_GRAY16 || (sf == PF_GRAY8 && (df == PF_RGBA8 || df == PF_INDEXED8));
        if (!keep && !convertedSource(df == PF_GRAY16 || df == PF_RGBA16 ? PF_GRAY16 : PF_GRAY8))
            return RC_OUT_OF_MEMORY;
        if (workSrc->pixelFormat == PF_GRAY8 && df == PF_INDEXED8) {
            // The index values become the grey levels; the palette goes.
            if (!dst->indexedView() || !dst->indexedView()->toGray()) return RC_OUT_OF_MEMORY;
        }
    } else {
        const PixelFormat df = dst->pixelFormat;
        const bool convert = sf == PF_INDEXED8 || (sf != df && sf != PF_RGBA16 && !(sf == PF_RGBA8 && df == PF_INDEXED8));
        if (convert && !convertedSource(df == PF_RGBA16 ? PF_RGBA16 : PF_RGBA8)) return RC_OUT_OF_MEMORY;
    }
    if (dst->pixelFormat != workSrc->pixelFormat) {
        ownDest = Ref<Image>::adopt(imageCreate(workSrc->pixelFormat, dst->size()));
        if (!ownDest) return RC_OUT_OF_MEMORY;
        workDst = ownDest.get();
    }

    ResultCode rc;
    if (cubic) rc = resampleRun(filter, workDst, workSrc, abort);
    else if (filter == RF_NEAREST) rc = resampleNearest(workDst, workSrc, abort);
    else if (filter == RF_BILINEAR) rc = resampleBilinear(workDst, workSrc, abort);
    else rc = resampleBSpline(workDst, workSrc, uint32_t(filter) - 3, abort);
    ownSource.reset();
    if (failed(rc)) return rc;
    if (ownDest) {
        rc = imageConvertPixels(dst, ownDest.get(), false);
        if (failed(rc)) return rc;
    }
    imageCopyInfo(dst, src);
    dst->alphaKind = src->alphaKind;
    return RC_OK;
}

void imageFillRectArgb(Image* img, uint64_t origin, uint64_t size, uint32_t colour)
{
    if (!img) return;
    // Signed 64-bit clipping: a negative origin or a width that would wrap
    // past the right edge must never reach memory outside the image.
    int64_t x0 = int32_t(uint32_t(origin)), y0 = int32_t(uint32_t(origin >> 32));
    int64_t x1 = x0 + int64_t(uint32_t(size)), y1 = y0 + int64_t(uint32_t(size >> 32));
    x0 = std::max<int64_t>(x0, 0);
    y0 = std::max<int64_t>(y0, 0);
    x1 = std::min<int64_t>(x1, img->width);
    y1 = std::min<int64_t>(y1, img->height);
    if (x0 >= x1 || y0 >= y1) return;
    const uint32_t b = colour & 0xFF, g = (colour >> 8) & 0xFF, r = (colour >> 16) & 0xFF, a = colour >> 24;
    auto fill = [&](auto value) {
        using T = decltype(value);
        for (int64_t y = y0; y < y1; ++y) {
            T* row = img->row<T>(uint32_t(y));
            std::fill(row + x0, row + x1, value);
        }
    };
    switch (img->pixelFormat) {
    case PF_RGBA8: fill(Rgba8{uint8_t(b), uint8_t(g), uint8_t(r), uint8_t(a)}); break;
    case PF_RGBA16:
        fill(Rgba16{uint16_t(b * 257), uint16_t(g * 257), uint16_t(r * 257), uint16_t(a * 257)});
        break;
    case PF_RGBA_FLOAT:
        fill(RgbaF{b * 0.003921569f, g * 0.003921569f, r * 0.003921569f, a * 0.003921569f});
        break;
    case PF_GRAY8: fill(uint8_t((r + g + b + 1) / 3)); break;
    case PF_GRAY16: fill(floatToU16(float(r + g + b) * 0.0013071897f)); break;
    case PF_GRAY_FLOAT: fill(float(r + g + b) * 0.0013071897f); break;
    case PF_INDEXED8: {
        const uint32_t* pal = img->palette();
        if (!pal) return;
        uint32_t best = 0;
        if (a == 0) {
            for (uint32_t i = 0; i < 256; ++i)
                if ((pal[i] >> 24) == 0) { best = i; break; }
        } else {
            uint64_t bestDistance = UINT64_MAX;
            for (uint32_t i = 0; i < 256; ++i) {
                uint64_t d = 0;
                for (int s = 0; s < 32; s += 8) {
                    const int64_t diff = int64_t((pal[i] >> s) & 0xFF) - int64_t((colour >> s) & 0xFF);
                    d += uint64_t(diff * diff);
                }
                if (d < bestDistance) { bestDistance = d; best = i; }
            }
        }
        fill(uint8_t(best));
        break;
    }
    default: break;
    }
}

} // namespace quillon
