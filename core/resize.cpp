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

template <class S>
void storeSample(S* out, double v)
{
    if constexpr (std::is_same_v<S, float>) {
        *out = float(v);
    } else {
        constexpr double top = std::is_same_v<S, uint8_t> ? 255.0 : 65535.0;
        const double r = v + 0.5;
        *out = r <= 0.0 || std::isnan(r) ? S(0) : r >= top ? S(top) : S(int64_t(r));
    }
}

struct SplineJob {
    Image* dst;
    const Image* src;
    uint32_t channels;
    float* plane;
    const double* poles;
    int poleCount;
    const SplineTaps* colTaps;
    const int64_t* colStart;  // first tap of a column whose taps are contiguous, else -1
    const double* colWeights; // the columns' weights packed, degree + 1 per column
    double* rowDouble;        // one coefficient row widened to double
    const SplineTaps* rowTaps;
    double* rowCache;         // kSplineSlots rows of dstW sums
    double* line;             // prefilter lines and the vertical sums
    const std::atomic<uint8_t>* abort;
};

constexpr int kSplineSlots = 8;
constexpr int kSplineLanes = 8;

// Prefilters rows or columns of the plane, eight lines at a time so that the
// recursions of neighbouring lines overlap. Lines [first, end) of count; the
// groups of eight start at multiples of eight and the last count % 8 lines
// go one by one, however the lines are split between threads.
void prefilterRows(const SplineJob& job, uint32_t first, uint32_t end)
{
    const uint32_t w = job.src->width, h = job.src->height;
    float* plane = job.plane;
    double* line = job.line;
    uint32_t y0 = first;
    for (; y0 + kSplineLanes <= end && y0 + kSplineLanes <= h; y0 += kSplineLanes) {
        for (int l = 0; l < kSplineLanes; ++l) {
            const float* p = plane + size_t(y0 + l) * w;
            for (uint32_t x = 0; x < w; ++x) line[size_t(x) * kSplineLanes + l] = p[x];
        }
        prefilterLanes<kSplineLanes>(line, w, job.poles, job.poleCount);
        for (int l = 0; l < kSplineLanes; ++l) {
            float* p = plane + size_t(y0 + l) * w;
            for (uint32_t x = 0; x < w; ++x) p[x] = float(line[size_t(x) * kSplineLanes + l]);
        }
    }
    for (; y0 < end; ++y0) {
        float* p = plane + size_t(y0) * w;
        for (uint32_t x = 0; x < w; ++x) line[x] = p[x];
        prefilterLanes<1>(line, w, job.poles, job.poleCount);
        for (uint32_t x = 0; x < w; ++x) p[x] = float(line[x]);
    }
}

void prefilterColumns(const SplineJob& job, uint32_t first, uint32_t end)
{
    const uint32_t w = job.src->width, h = job.src->height;
    float* plane = job.plane;
    double* line = job.line;
    uint32_t x0 = first;
    for (; x0 + kSplineLanes <= end && x0 + kSplineLanes <= w; x0 += kSplineLanes) {
        for (uint32_t y = 0; y < h; ++y)
            for (int l = 0; l < kSplineLanes; ++l) line[size_t(y) * kSplineLanes + l] = plane[size_t(y) * w + x0 + l];
        prefilterLanes<kSplineLanes>(line, h, job.poles, job.poleCount);
        for (uint32_t y = 0; y < h; ++y)
            for (int l = 0; l < kSplineLanes; ++l) plane[size_t(y) * w + x0 + l] = float(line[size_t(y) * kSplineLanes + l]);
    }
    for (; x0 < end; ++x0) {
        for (uint32_t y = 0; y < h; ++y) line[y] = plane[size_t(y) * w + x0];
        prefilterLanes<1>(line, h, job.poles, job.poleCount);
        for (uint32_t y = 0; y < h; ++y) plane[size_t(y) * w + x0] = float(line[y]);
    }
}

// The horizontal sums of one coefficient row, in the order of the direct
// formula: sum = 0, then += weight x coefficient tap by tap.
template <int Taps>
void splineRowSums(const SplineJob& job, const float* p, double* out)
{
    const uint32_t srcW = job.src->width, dstW = job.dst->width;
    // Coefficients widened once per row (exactly, as each tap would be).
    double* q = job.rowDouble;
    for (uint32_t x = 0; x < srcW; ++x) q[x] = p[x];
    const double* w = job.colWeights;
    for (uint32_t x = 0; x < dstW; ++x, w += Taps) {
        double sum = 0.0;
        const int64_t start = job.colStart[x];
        if (start >= 0) {
            const double* t = q + start;
            for (int i = 0; i < Taps; ++i) sum += w[i] * t[i];
        } else {
            const SplineTaps& cx = job.colTaps[x];
            for (int i = 0; i < Taps; ++i) sum += w[i] * q[cx.index[i]];
        }
        out[x] = sum;
    }
}

// One channel: interpolate every destination pixel from the prefiltered
// plane. Row sums are kept per coefficient row (as many as the taps of one
// destination row need), so each is formed once however many destination
// rows use it; the arithmetic is exactly that of bsplineWeights.
template <class S, int Taps>
void splineChannel(const SplineJob& job, uint32_t channel, uint32_t firstRow, uint32_t endRow)
{
    const uint32_t srcW = job.src->width, dstW = job.dst->width;
    int64_t held[kSplineSlots];
    uint64_t used[kSplineSlots] = {};
    std::fill(std::begin(held), std::end(held), -1);
    uint64_t clock = 0;
    double* acc = job.line;
    for (uint32_t y = firstRow; y < endRow; ++y) {
        const SplineTaps& ry = job.rowTaps[y];
        const double* rows[Taps];
        for (int j = 0; j < Taps; ++j) {
            const int64_t r = ry.index[j];
            int slot = -1;
            for (int s = 0; s < kSplineSlots; ++s)
                if (held[s] == r) slot = s;
            if (slot < 0) {
                // The least recently used slot that this row does not need.
                for (int s = 0; s < kSplineSlots; ++s) {
                    bool needed = false;
                    for (int j2 = 0; j2 < Taps; ++j2) needed |= held[s] == ry.index[j2];
                    if (!needed && (slot < 0 || used[s] < used[slot])) slot = s;
                }
                splineRowSums<Taps>(job, job.plane + size_t(r) * srcW, job.rowCache + size_t(slot) * dstW);
                held[slot] = r;
            }
            used[slot] = ++clock;
            rows[j] = job.rowCache + size_t(slot) * dstW;
        }
        // v = 0, then += weight x row sum, row by row; eight pixels per
        // step in four independent chains.
        __m128d wv[Taps];
        for (int j = 0; j < Taps; ++j) wv[j] = _mm_set1_pd(ry.weight[j]);
        uint32_t x = 0;
        for (; x + 8 <= dstW; x += 8) {
            __m128d v0 = _mm_setzero_pd(), v1 = v0, v2 = v0, v3 = v0;
#pragma GCC unroll 6
            for (int j = 0; j < Taps; ++j) {
                const double* r = rows[j] + x;
                v0 = _mm_add_pd(v0, _mm_mul_pd(wv[j], _mm_loadu_pd(r)));
                v1 = _mm_add_pd(v1, _mm_mul_pd(wv[j], _mm_loadu_pd(r + 2)));
                v2 = _mm_add_pd(v2, _mm_mul_pd(wv[j], _mm_loadu_pd(r + 4)));
                v3 = _mm_add_pd(v3, _mm_mul_pd(wv[j], _mm_loadu_pd(r + 6)));
            }
            _mm_storeu_pd(acc + x, v0);
            _mm_storeu_pd(acc + x + 2, v1);
            _mm_storeu_pd(acc + x + 4, v2);
            _mm_storeu_pd(acc + x + 6, v3);
        }
        for (; x < dstW; ++x) {
            double v = 0.0;
            for (int j = 0; j < Taps; ++j) v += ry.weight[j] * rows[j][x];
            acc[x] = v;
        }
        S* out = job.dst->row<S>(y) + channel;
        const uint32_t step = job.channels;
        if constexpr (std::is_same_v<S, float>) {
            for (x = 0; x < dstW; ++x) out[size_t(x) * step] = float(acc[x]);
        } else {
            // (int)(v + 0.5) limited to the sample range; NaN gives 0.
            const __m128d half = _mm_set1_pd(0.5), zero = _mm_setzero_pd();
            const __m128d top = _mm_set1_pd(std::is_same_v<S, uint8_t> ? 255.0 : 65535.0);
            for (x = 0; x + 2 <= dstW; x += 2) {
                __m128d r = _mm_add_pd(_mm_loadu_pd(acc + x), half);
                r = _mm_min_pd(_mm_max_pd(r, zero), top);
                __m128i i = _mm_cvttpd_epi32(r);
                out[size_t(x) * step] = S(_mm_cvtsi128_si32(i));
                out[size_t(x + 1) * step] = S(_mm_cvtsi128_si32(_mm_srli_si128(i, 4)));
            }
            for (; x < dstW; ++x) storeSample<S>(out + size_t(x) * step, acc[x]);
        }
        if (aborted(job.abort)) return;
    }
}

template <class S>
void splineChannelAny(const SplineJob& job, uint32_t channel, uint32_t degree, uint32_t firstRow, uint32_t endRow)
{
    switch (degree) {
    case 2: splineChannel<S, 3>(job, channel, firstRow, endRow); break;
    case 3: splineChannel<S, 4>(job, channel, firstRow, endRow); break;
    case 4: splineChannel<S, 5>(job, channel, firstRow, endRow); break;
    default: splineChannel<S, 6>(job, channel, firstRow, endRow); break;
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

// Destination column x samples source position x * scaleX, row y y * scaleY
// (pixel corners: destination pixel 0 samples source position 0).
ResultCode splineResample(Image* dst, const Image* src, uint32_t degree, const std::atomic<uint8_t>* abort,
                          double scaleX, double scaleY)
{
    double poles[2];
    const int poleCount = polesOf(degree, poles);
    if (poleCount == 0) return RC_INVALID_PARAMETER;
    const uint32_t srcW = src->width, srcH = src->height, dstW = dst->width, dstH = dst->height;
    AlignedBuffer<float> plane;
    if (!plane.allocate(uint64_t(srcW) * srcH)) return RC_OUT_OF_MEMORY;
    AlignedBuffer<SplineTaps> colTaps(dstW), rowTaps(dstH);
    AlignedBuffer<int64_t> colStart(dstW);
    // Every band of rows, columns or destination rows works in scratch rows
    // of its own; the shared plane is only written line by line.
    const unsigned bands = rowBandCount(std::max(srcH, dstH), uint64_t(std::max(srcW, dstW)) * 64);
    const uint64_t cacheLen = uint64_t(dstW) * kSplineSlots, lineLen =
        std::max<uint64_t>(uint64_t(std::max(srcW, srcH)) * kSplineLanes, dstW);
    AlignedBuffer<double> rowCache;
    if (!colTaps || !rowTaps || !colStart || !rowCache.allocate(cacheLen * bands))
        return RC_OUT_OF_MEMORY;
    AlignedBuffer<double> colWeights, rowDouble;
    if (!colWeights.allocate(uint64_t(dstW) * (degree + 1)) || !rowDouble.allocate(uint64_t(srcW) * bands))
        return RC_OUT_OF_MEMORY;
    AlignedBuffer<double> line;
    if (!line.allocate(lineLen * bands)) return RC_GENERAL_FAILURE;
    for (uint32_t x = 0; x < dstW; ++x) {
        splineTaps(degree, srcW, double(x) * scaleX, colTaps[x]);
        bool contiguous = true;
        for (uint32_t i = 1; i <= degree; ++i) contiguous &= colTaps[x].index[i] == colTaps[x].index[0] + i;
        colStart[x] = contiguous ? colTaps[x].index[0] : -1;
        for (uint32_t i = 0; i <= degree; ++i) colWeights[uint64_t(x) * (degree + 1) + i] = colTaps[x].weight[i];
    }
    for (uint32_t y = 0; y < dstH; ++y) splineTaps(degree, srcH, double(y) * scaleY, rowTaps[y]);
    const uint32_t channels = channelsOf(src->pixelFormat);
    SplineJob job{dst, src, channels, plane.get(), poles, poleCount, colTaps.get(), colStart.get(), colWeights.get(),
                  rowDouble.get(), rowTaps.get(), rowCache.get(), line.get(), abort};
    auto bandJob = [&](unsigned band) {
        SplineJob part = job;
        part.rowDouble = rowDouble.get() + uint64_t(srcW) * band;
        part.rowCache = rowCache.get() + cacheLen * band;
        part.line = line.get() + lineLen * band;
        return part;
    };
    // Bands of whole groups of eight lines for the prefilter.
    auto groupBands = [&](uint32_t lines, const std::function<void(const SplineJob&, uint32_t, uint32_t)>& fn) {
        const uint32_t groups = (lines + kSplineLanes - 1) / kSplineLanes;
        runRowBands(std::min<unsigned>(bands, groups), groups, [&](unsigned band, uint32_t g0, uint32_t g1) {
            fn(bandJob(band), g0 * kSplineLanes, std::min<uint32_t>(g1 * kSplineLanes, lines));
        });
    };
    for (uint32_t c = 0; c < channels; ++c) {
        if (aborted(abort)) break;
        runRowBands(bands, srcH, [&](unsigned, uint32_t firstRow, uint32_t endRow) {
            for (uint32_t y = firstRow; y < endRow; ++y) {
                float* p = plane.get() + size_t(y) * srcW;
                switch (src->pixelFormat) {
                case PF_RGBA8: case PF_GRAY8: {
                    const uint8_t* in = src->row<uint8_t>(y) + c;
                    for (uint32_t x = 0; x < srcW; ++x) p[x] = float(in[size_t(x) * channels]);
                    break;
                }
                case PF_RGBA16: case PF_GRAY16: {
                    const uint16_t* in = src->row<uint16_t>(y) + c;
                    for (uint32_t x = 0; x < srcW; ++x) p[x] = float(in[size_t(x) * channels]);
                    break;
                }
                default: {
                    const float* in = src->row<float>(y) + c;
                    for (uint32_t x = 0; x < srcW; ++x) p[x] = in[size_t(x) * channels];
                    break;
                }
                }
            }
        });
        if (aborted(abort)) break;
        groupBands(srcH, prefilterRows);
        groupBands(srcW, prefilterColumns);
        runRowBands(bands, dstH, [&](unsigned band, uint32_t firstRow, uint32_t endRow) {
            const SplineJob part = bandJob(band);
            switch (src->pixelFormat) {
            case PF_RGBA8: case PF_GRAY8: splineChannelAny<uint8_t>(part, c, degree, firstRow, endRow); break;
            case PF_RGBA16: case PF_GRAY16: splineChannelAny<uint16_t>(part, c, degree, firstRow, endRow); break;
            default: splineChannelAny<float>(part, c, degree, firstRow, endRow); break;
            }
        });
    }
    return aborted(abort) ? RC_CANCELLED : RC_OK;
}

} // namespace

ResultCode resampleBSpline(Image* dst, const Image* src, uint32_t degree, const std::atomic<uint8_t>* abort)
{
    if (!dst || !src) return RC_INVALID_PARAMETER;
    if (dst->pixelFormat != src->pixelFormat) return RC_GENERAL_FAILURE;
    if (src->pixelFormat > PF_GRAY_FLOAT) return RC_UNSUPPORTED_COLOUR_FORMAT;
    const uint32_t srcW = src->width, srcH = src->height, dstW = dst->width, dstH = dst->height;
    if (srcW == 0 || srcH == 0 || dstW == 0 || dstH == 0) return RC_INVALID_PARAMETER;
    const double scaleX = double(srcW) / double(dstW), scaleY = double(srcH) / double(dstH);
    // A spline interpolates: reducing by 2 or more with it alone skips
    // source pixels and aliases. Like the cubic filters, it resamples to a
    // power-of-two multiple of the destination, which box averaging reduces.
    uint32_t shift = 0;
    while (shift < 30 && (uint64_t(dstW) << (shift + 1)) <= srcW && (uint64_t(dstH) << (shift + 1)) <= srcH) ++shift;
    if (shift == 0) return splineResample(dst, src, degree, abort, scaleX, scaleY);
    const uint32_t midW = dstW << shift, midH = dstH << shift;
    Ref<Image> mid = Ref<Image>::adopt(imageCreate(src->pixelFormat, packSize(midW, midH)));
    if (!mid) return RC_OUT_OF_MEMORY;
    ResultCode rc = splineResample(mid.get(), src, degree, abort, double(srcW) / midW, double(srcH) / midH);
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
