#include "processing/colour_adjust.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <type_traits>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/byte_cursor.h"
#include "core/convert.h"
#include "core/image.h"
#include "platform/tasks.h"

namespace quillon {

namespace {

constexpr float kInv255 = 0.003921569f;
constexpr float kInv65535 = 1.5259022e-5f;
constexpr float kThird = 0.33333334f;

// The values the per-pixel code needs, prepared once per call.
struct ColourParams {
    bool colourSteps; // any of hue .. gamma off neutral (RGB kernels)
    bool greySteps;   // contrast, brightness, luminance or gamma off neutral
    bool hueTurn;
    float hue;        // wrapped into [0, 1)
    float balanceB, balanceG, balanceR;
    bool balance;
    float contrast, brightness1, luminance, saturation1;
    bool gamma;
    float gammaPower;
    bool invert;
};

ColourParams prepare(const AdjustmentSettings& a)
{
    ColourParams p{};
    p.colourSteps = a.contrast != 0 || a.brightness != 0 || a.hue != 0 || a.saturation != 0 || a.luminance != 0 ||
                    a.red != 0 || a.green != 0 || a.blue != 0 || a.gamma != 1.0f;
    p.greySteps = a.contrast != 0 || a.brightness != 0 || a.luminance != 0 || a.gamma != 1.0f;
    // A hue outside one turn (or not a number) must still select one of the
    // six sectors: the turn is taken modulo 1.
    float hue = std::isfinite(a.hue) ? a.hue - std::floor(a.hue) : 0.0f;
    if (!(hue < 1.0f)) hue = 0.0f;
    p.hue = hue;
    p.hueTurn = hue != 0.0f;
    p.balanceB = (a.blue - a.red / 2 - a.green / 2) / 2;
    p.balanceG = (a.green - a.red / 2 - a.blue / 2) / 2;
    p.balanceR = (a.red - a.green / 2 - a.blue / 2) / 2;
    p.balance = a.red != 0 || a.green != 0 || a.blue != 0;
    p.contrast = a.contrast;
    p.brightness1 = a.brightness + 1.0f;
    p.luminance = a.luminance;
    p.saturation1 = a.saturation + 1.0f;
    p.gamma = a.gamma != 1.0f;
    p.gammaPower = 2.0f - a.gamma;
    p.invert = a.invert != 0;
    return p;
}

inline void hueTurn(float& r, float& g, float& b, float hue)
{
    float v = std::max(r, std::max(g, b));
    float m = std::min(r, std::min(g, b));
    if (!(v > 0)) return;
    float s = (v - m) / v;
    if (s == 0) return;
    float range = v - m;
    float h;
    if (r == v) h = (g - b) / range;
    else if (g == v) h = 2 + (b - r) / range;
    else h = 4 + (r - g) / range;
    h = h * 0.16666667f;
    if (h < 0) h += 1;
    h += hue;
    if (h >= 1) h -= 1;
    // Infinite channels of a float image give no hue (inf / inf); converting
    // that to a sector number would be undefined.
    if (!(h >= 0)) return;
    int i = int(6 * h);
    float f = 6 * h - float(i);
    float pp = (1 - s) * v, q = (1 - s * f) * v, t = (1 - s * (1 - f)) * v;
    switch (i) {
    case 0: r = v; g = t; b = pp; break;
    case 1: r = q; g = v; b = pp; break;
    case 2: r = pp; g = v; b = t; break;
    case 3: r = pp; g = q; b = v; break;
    case 4: r = t; g = pp; b = v; break;
    case 5: r = v; g = pp; b = q; break;
    default: break; // rounding up to exactly one turn: unchanged
    }
}

// Steps 3 to 6 of the colour kernel on normalised channels.
inline void adjustRgb(float& r, float& g, float& b, const ColourParams& p)
{
    if (p.hueTurn) hueTurn(r, g, b, p.hue);
    if (p.balance) {
        b += p.balanceB;
        g += p.balanceG;
        r += p.balanceR;
    }
    float m = (r + g + b) * kThird;
    float base = p.luminance + p.brightness1 * (m + p.contrast * (m - 0.5f));
    r = base + p.saturation1 * (r - m);
    g = base + p.saturation1 * (g - m);
    b = base + p.saturation1 * (b - m);
    if (p.gamma) {
        if (r > 0) r = std::pow(r, p.gammaPower);
        if (g > 0) g = std::pow(g, p.gammaPower);
        if (b > 0) b = std::pow(b, p.gammaPower);
    }
}

inline float adjustGrey(float v, const ColourParams& p)
{
    float c = p.luminance + p.brightness1 * (v + p.contrast * (v - 0.5f));
    if (p.gamma && c > 0) c = std::pow(c, p.gammaPower);
    return c;
}

// Not-a-number stores as 0.
inline uint8_t store8(float c)
{
    if (!(c > 0)) return 0;
    if (c >= 1) return 255;
    return uint8_t(int(c * 255 + 0.5f));
}
inline uint16_t store16(float c)
{
    if (!(c > 0)) return 0;
    if (c >= 1) return 65535;
    return uint16_t(int(c * 65535 + 0.5f));
}

typedef float F4 __attribute__((vector_size(16)));
typedef int32_t I4 __attribute__((vector_size(16)));

inline F4 splat(float v) { return F4{v, v, v, v}; }

inline I4 store8x4(F4 c)
{
    c = c > 0 ? c : splat(0); // not-a-number stores as 0
    c = c < 1 ? c : splat(1);
    return __builtin_convertvector(c * 255.0f + 0.5f, I4);
}

// Steps 2 to 5 and 7 for four 8-bit pixels at a time, the same arithmetic as
// adjustRgb lane by lane (gamma is left to the scalar path). Returns how many
// pixels it did.
uint32_t rgba8Vector(const Rgba8* in, Rgba8* out, uint32_t w, const ColourParams& p)
{
    const F4 hue = splat(p.hue), one = splat(1), zero = splat(0);
    uint32_t x = 0;
    for (; x + 4 <= w; x += 4) {
        I4 px;
        std::memcpy(&px, in + x, 16);
        F4 b = __builtin_convertvector(px & 0xFF, F4) * kInv255;
        F4 g = __builtin_convertvector((px >> 8) & 0xFF, F4) * kInv255;
        F4 r = __builtin_convertvector((px >> 16) & 0xFF, F4) * kInv255;
        if (p.hueTurn) {
            const F4 v = r > (g > b ? g : b) ? r : (g > b ? g : b);
            const F4 m = r < (g < b ? g : b) ? r : (g < b ? g : b);
            const F4 range = v - m;
            const I4 positive = v > zero;
            const F4 safeV = positive ? v : one;
            const F4 s = (v - m) / safeV;
            const I4 active = positive & (s != zero);
            const F4 safeRange = active ? range : one;
            F4 h = r == v ? (g - b) / safeRange : (g == v ? 2.0f + (b - r) / safeRange : 4.0f + (r - g) / safeRange);
            h = h * 0.16666667f;
            h = h < zero ? h + 1.0f : h;
            h = h + hue;
            h = h >= one ? h - 1.0f : h;
            const F4 h6 = 6.0f * h;
            const I4 i = __builtin_convertvector(h6, I4);
            const F4 f = h6 - __builtin_convertvector(i, F4);
            const F4 pp = (1.0f - s) * v, q = (1.0f - s * f) * v, t = (1.0f - s * (1.0f - f)) * v;
            const F4 nr = (i == 0 || i == 5) ? v : (i == 1 ? q : (i == 4 ? t : (i == 2 || i == 3) ? pp : r));
            const F4 ng = (i == 1 || i == 2) ? v : (i == 0 ? t : (i == 3 ? q : (i == 4 || i == 5) ? pp : g));
            const F4 nb = (i == 3 || i == 4) ? v : ((i == 0 || i == 1) ? pp : (i == 2 ? t : (i == 5 ? q : b)));
            r = active ? nr : r;
            g = active ? ng : g;
            b = active ? nb : b;
        }
        if (p.balance) {
            b = b + p.balanceB;
            g = g + p.balanceG;
            r = r + p.balanceR;
        }
        const F4 m = (r + g + b) * kThird;
        const F4 base = p.luminance + p.brightness1 * (m + p.contrast * (m - 0.5f));
        r = base + p.saturation1 * (r - m);
        g = base + p.saturation1 * (g - m);
        b = base + p.saturation1 * (b - m);
        I4 o = store8x4(b) | (store8x4(g) << 8) | (store8x4(r) << 16) | (px & int32_t(0xFF000000));
        if (p.invert) o = o ^ 0x00FFFFFF;
        std::memcpy(out + x, &o, 16);
    }
    return x;
}

template <class P, class Norm, class Store, class Inv>
void rgbaKernel(const BandJob& job, const AdjustmentSettings& adj, Norm norm, Store store, Inv inv)
{
    const ColourParams p = prepare(adj);
    const Image* src = job.source;
    Image* dst = job.destination;
    const uint32_t w = dst->width;
    for (uint32_t y = job.firstRow; y < job.endRow; ++y) {
        const P* in = src->row<P>(y);
        P* out = dst->row<P>(y);
        if (p.colourSteps) {
            uint32_t x = 0;
            if constexpr (std::is_same_v<P, Rgba8>)
                if (!p.gamma) x = rgba8Vector(in, out, w, p);
            for (; x < w; ++x) {
                float r = norm(in[x].r), g = norm(in[x].g), b = norm(in[x].b);
                adjustRgb(r, g, b, p);
                P o;
                o.b = store(b);
                o.g = store(g);
                o.r = store(r);
                o.a = in[x].a;
                if (p.invert) {
                    o.b = inv(o.b);
                    o.g = inv(o.g);
                    o.r = inv(o.r);
                }
                out[x] = o;
            }
        } else if (p.invert) {
            for (uint32_t x = 0; x < w; ++x) {
                P o = in[x];
                o.b = inv(o.b);
                o.g = inv(o.g);
                o.r = inv(o.r);
                out[x] = o;
            }
        } else if (in != out) {
            std::memcpy(out, in, size_t(w) * sizeof(P));
        }
    }
}

template <class T, class Norm, class Store, class Inv>
void greyKernel(const BandJob& job, const AdjustmentSettings& adj, Norm norm, Store store, Inv inv)
{
    const ColourParams p = prepare(adj);
    const Image* src = job.source;
    Image* dst = job.destination;
    const uint32_t w = dst->width;
    for (uint32_t y = job.firstRow; y < job.endRow; ++y) {
        const T* in = src->row<T>(y);
        T* out = dst->row<T>(y);
        for (uint32_t x = 0; x < w; ++x) {
            T v = in[x];
            if (p.greySteps) v = store(adjustGrey(norm(v), p));
            if (p.invert) v = inv(v);
            out[x] = v;
        }
    }
}

const auto norm8 = [](uint8_t v) { return float(v) * kInv255; };
const auto norm16 = [](uint16_t v) { return float(v) * kInv65535; };
const auto normF = [](float v) { return v; };
const auto inv8 = [](uint8_t v) { return uint8_t(~v); };
const auto inv16 = [](uint16_t v) { return uint16_t(65535 - v); };
const auto invF = [](float v) { return 1.0f - v; };
const auto storeF = [](float c) { return c; };

} // namespace

void colorAdjustRowsRgba8(const BandJob& job, const AdjustmentSettings& adj)
{
    rgbaKernel<Rgba8>(job, adj, norm8, store8, inv8);
}
void colorAdjustRowsRgba16(const BandJob& job, const AdjustmentSettings& adj)
{
    rgbaKernel<Rgba16>(job, adj, norm16, store16, inv16);
}
void colorAdjustRowsRgbaFloat(const BandJob& job, const AdjustmentSettings& adj)
{
    rgbaKernel<RgbaF>(job, adj, normF, storeF, invF);
}
void colorAdjustRowsGray8(const BandJob& job, const AdjustmentSettings& adj)
{
    greyKernel<uint8_t>(job, adj, norm8, store8, inv8);
}
void colorAdjustRowsGray16(const BandJob& job, const AdjustmentSettings& adj)
{
    greyKernel<uint16_t>(job, adj, norm16, store16, inv16);
}
void colorAdjustRowsGrayFloat(const BandJob& job, const AdjustmentSettings& adj)
{
    greyKernel<float>(job, adj, normF, storeF, invF);
}

void colorAdjustPalette(uint32_t* entries, uint32_t count, const AdjustmentSettings& adj)
{
    Ref<Image> view = Ref<Image>::adopt(paletteImageCreate(entries, count));
    if (!view) return;
    BandJob job;
    job.source = view.get();
    job.destination = view.get();
    job.endRow = 1;
    colorAdjustRowsRgba8(job, adj);
}

ResultCode imageColorAdjust(Image* dst, const Image* src, const AdjustmentSettings& adj)
{
    if (!dst || !src) return RC_INVALID_PARAMETER;
    if (dst != src && (dst->width != src->width || dst->height != src->height || dst->pixelFormat != src->pixelFormat))
        return RC_INVALID_PARAMETER;
    if (src->pixelFormat == PF_INDEXED8) {
        if (dst != src) {
            // The destination has the source's format already: a plain copy,
            // never a fresh quantisation that could change the indexes.
            ResultCode rc = imageCopySame(dst, src);
            if (failed(rc)) return rc;
        }
        IndexedView* view = dst->indexedView();
        if (!view || !view->palette()) return RC_INVALID_PARAMETER;
        colorAdjustPalette(view->palette(), 256, adj);
        view->paletteChanged();
    } else {
        void (*rows)(const BandJob&, const AdjustmentSettings&) = nullptr;
        switch (src->pixelFormat) {
        case PF_RGBA8: rows = colorAdjustRowsRgba8; break;
        case PF_RGBA16: rows = colorAdjustRowsRgba16; break;
        case PF_RGBA_FLOAT: rows = colorAdjustRowsRgbaFloat; break;
        case PF_GRAY8: rows = colorAdjustRowsGray8; break;
        case PF_GRAY16: rows = colorAdjustRowsGray16; break;
        case PF_GRAY_FLOAT: rows = colorAdjustRowsGrayFloat; break;
        default: return RC_UNSUPPORTED_COLOUR_FORMAT;
        }
        // Every pixel on its own: bands of rows on the pool, in place too.
        runRowBands(dst->height, uint64_t(dst->width) * dst->bytesPerPixel() * 4, [&](uint32_t first, uint32_t end) {
            BandJob job;
            job.source = src;
            job.destination = dst;
            job.firstRow = first;
            job.endRow = end;
            rows(job, adj);
        });
    }
    uint32_t background = src->frameInfo.backgroundColour;
    colorAdjustPalette(&background, 1, adj);
    dst->frameInfo.backgroundColour = background;
    return RC_OK;
}

ResultCode imageColorAdjustFrames(Image* img, const AdjustmentSettings& adj)
{
    // Bounded by the chain itself; frame chains are never circular.
    for (Image* frame = img; frame; frame = frame->frameInfo.next) {
        ResultCode rc = imageColorAdjust(frame, frame, adj);
        if (failed(rc)) return rc;
    }
    return RC_OK;
}

// ---- side-car file ----

namespace {

constexpr uint32_t fourcc(const char (&s)[5])
{
    return uint32_t(uint8_t(s[0])) | uint32_t(uint8_t(s[1])) << 8 | uint32_t(uint8_t(s[2])) << 16 |
           uint32_t(uint8_t(s[3])) << 24;
}

// Random access to the side-car's bytes: a file read with pread, or memory.
class SidecarInput {
public:
    virtual ~SidecarInput() = default;
    // True only when all n bytes at pos were read.
    virtual bool readAt(uint64_t pos, void* buffer, size_t n) = 0;
    uint64_t length = 0;
};

class MemoryInput final : public SidecarInput {
public:
    MemoryInput(const uint8_t* data, size_t size) : data_(data) { length = data ? size : 0; }
    bool readAt(uint64_t pos, void* buffer, size_t n) override
    {
        if (pos > length || n > length - pos) return false;
        ByteCursor cursor(data_, size_t(length));
        return cursor.seek(size_t(pos)) && cursor.read(buffer, n);
    }

private:
    const uint8_t* data_;
};

class FileInput final : public SidecarInput {
public:
    explicit FileInput(int fd) : fd_(fd) {}
    bool readAt(uint64_t pos, void* buffer, size_t n) override
    {
        auto* out = static_cast<uint8_t*>(buffer);
        while (n > 0) {
            if (pos > uint64_t(INT64_MAX)) return false;
            ssize_t got = ::pread(fd_, out, n, off_t(pos));
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return false;
            out += got;
            pos += uint64_t(got);
            n -= size_t(got);
        }
        return true;
    }

private:
    int fd_;
};

void applyPair(AdjustmentSettings& adj, uint32_t tag, float value)
{
    // An infinite or not-a-number value has no meaning for any field, and
    // converting one to an integer is undefined: the pair is ignored.
    if (!std::isfinite(value)) return;
    switch (tag) {
    case fourcc("CCTR"): adj.setColour(&AdjustmentSettings::contrast, value); break;
    case fourcc("CBRI"): adj.setColour(&AdjustmentSettings::brightness, value); break;
    case fourcc("CHUE"): adj.setColour(&AdjustmentSettings::hue, value); break;
    case fourcc("CSAT"): adj.setColour(&AdjustmentSettings::saturation, value); break;
    case fourcc("CLUM"): adj.setColour(&AdjustmentSettings::luminance, value); break;
    case fourcc("CRED"): adj.setColour(&AdjustmentSettings::red, value); break;
    case fourcc("CGRN"): adj.setColour(&AdjustmentSettings::green, value); break;
    case fourcc("CBLU"): adj.setColour(&AdjustmentSettings::blue, value); break;
    case fourcc("CGAM"): adj.setGamma(value); break;
    case fourcc("CINV"): adj.setInvert(value >= 0.5f); break;
    case fourcc("IROT"): {
        // The low byte of the rounded value, also for values beyond 32 bits.
        double t = std::trunc(double(value) + 0.5);
        double low = std::fmod(t, 256.0);
        adj.setOrientation(uint8_t(int64_t(low)));
        break;
    }
    case fourcc("ISHA"): adj.setSharpness(value); break;
    default: break;
    }
}

uint32_t parseSidecar(AdjustmentSettings& adj, SidecarInput& in)
{
    uint8_t header[12];
    if (!in.readAt(0, header, 12)) return 0;
    ByteCursor h(header, 12);
    uint32_t riff = h.u32le(), formSize = h.u32le(), form = h.u32le();
    if (riff != fourcc("RIFF") || form != fourcc("LMAD")) return 0;
    // 64-bit positions: a chunk size near 4 GiB must end the walk, never wrap
    // it back to an earlier chunk.
    const uint64_t end = std::min<uint64_t>(uint64_t(formSize) + 8, in.length);
    if (end < 20) return 1;
    uint64_t pos = 12;
    while (pos + 8 <= end) {
        uint8_t chunk[8];
        if (!in.readAt(pos, chunk, 8)) break;
        ByteCursor c(chunk, 8);
        uint32_t id = c.u32le(), size = c.u32le();
        if (id == fourcc("LADJ")) {
            uint64_t pairs = std::min<uint64_t>(end - (pos + 8), size) / 8;
            uint8_t block[8 * 64];
            uint64_t at = pos + 8;
            while (pairs > 0) {
                size_t n = size_t(std::min<uint64_t>(pairs, 64));
                if (!in.readAt(at, block, n * 8)) return 1;
                ByteCursor b(block, n * 8);
                for (size_t i = 0; i < n; ++i) {
                    uint32_t tag = b.u32le();
                    uint32_t bits = b.u32le();
                    float value;
                    std::memcpy(&value, &bits, 4);
                    applyPair(adj, tag, value);
                }
                pairs -= n;
                at += n * 8;
            }
        }
        pos = pos + 8 + size + (size & 1);
    }
    return 1;
}

} // namespace

uint32_t adjustSidecarParse(AdjustmentSettings& adj, const uint8_t* data, size_t size)
{
    MemoryInput in(data, size);
    return parseSidecar(adj, in);
}

uint32_t adjustSidecarRead(AdjustmentSettings& adj, const std::filesystem::path& imagePath)
{
    std::filesystem::path name = imagePath;
    name += ".qxa";
    // O_NONBLOCK: a named pipe must be refused, not waited on.
    int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return 0;
    struct stat st;
    uint32_t result = 0;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        FileInput in(fd);
        in.length = uint64_t(st.st_size);
        result = parseSidecar(adj, in);
    }
    ::close(fd);
    return result;
}

} // namespace quillon
