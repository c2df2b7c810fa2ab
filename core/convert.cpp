#include "core/convert.h"

#include <algorithm>
#include <cmath>
#include <atomic>
#include <cstring>
#include <functional>

#include "core/quantize.h"
#include "core/quantize_options.h"
#include "core/ycc_simd.h"
#include "platform/memory.h"
#include "platform/tasks.h"

namespace quillon {

// ---- scalar rules ----

uint8_t floatToU8(float v)
{
    // NaN fails both tests and lands on 0 rather than on an undefined cast.
    if (!(v > 0.0f)) return 0;
    if (v >= 1.0f) return 255;
    return uint8_t(v * 255.0f + 0.5f);
}

uint16_t floatToU16Sample(float v)
{
    if (!(v > 0.0f)) return 0;
    if (v >= 1.0f) return 65535;
    return uint16_t(v * 65535.0f + 0.5f);
}

void colourToRgba8(uint8_t out[4], const float in[4])
{
    for (int i = 0; i < 4; ++i) out[i] = floatToU8(in[i]);
}

void colourToRgba16(uint16_t out[4], const float in[4])
{
    for (int i = 0; i < 4; ++i) out[i] = floatToU16Sample(in[i]);
}

float srgbEncode(float v)
{
    if (v <= 0.0031308f) return 12.92f * v;
    return 1.055f * std::pow(v, 1.0f / 2.4f) - 0.055f;
}

float srgbDecode(float c)
{
    if (c <= 0.04045f) return c / 12.92f;
    return std::pow((c + 0.055f) / 1.055f, 2.4f);
}

namespace {

constexpr float kThird = 0.33333334f;
constexpr float kInv65535 = 1.0f / 65535.0f;

float luminanceLinear(float b, float g, float r) { return 0.212656f * r + 0.715158f * g + 0.072186f * b; }

// Decoded sRGB values of every 8-bit and 16-bit level, built once.
const float* decodeTable8()
{
    static const struct T {
        float v[256];
        T()
        {
            for (int i = 0; i < 256; ++i) v[i] = srgbDecode(float(i) / 255.0f);
        }
    } table;
    return table.v;
}

const float* decodeTable16()
{
    static const struct T {
        float* v;
        T() : v(new float[65536])
        {
            for (int i = 0; i < 65536; ++i) v[i] = srgbDecode(float(i) * kInv65535);
        }
    } table;
    return table.v;
}

uint8_t lumaOf8(uint8_t b, uint8_t g, uint8_t r)
{
    const float* d = decodeTable8();
    return floatToU8(srgbEncode(luminanceLinear(d[b], d[g], d[r])));
}

uint16_t lumaOf8To16(uint8_t b, uint8_t g, uint8_t r)
{
    const float* d = decodeTable8();
    return floatToU16Sample(srgbEncode(luminanceLinear(d[b], d[g], d[r])));
}

float lumaOfFloat(float b, float g, float r)
{
    return srgbEncode(luminanceLinear(srgbDecode(b), srgbDecode(g), srgbDecode(r)));
}

uint8_t grey8OfEntry(uint32_t e, bool luminance)
{
    uint8_t b = uint8_t(e), g = uint8_t(e >> 8), r = uint8_t(e >> 16);
    return luminance ? lumaOf8(b, g, r) : uint8_t((uint32_t(b) + g + r + 1) / 3);
}

uint16_t grey16OfEntry(uint32_t e, bool luminance)
{
    uint8_t b = uint8_t(e), g = uint8_t(e >> 8), r = uint8_t(e >> 16);
    return luminance ? lumaOf8To16(b, g, r) : uint16_t((uint32_t(b) * 257 + uint32_t(g) * 257 + uint32_t(r) * 257 + 1) / 3);
}

bool sameSize(const Image* a, const Image* b) { return a->width == b->width && a->height == b->height; }

// Conversions that treat every row on its own run in bands of rows on the
// task pool (error diffusion carries from row to row and stays on one
// thread). fn(first, end) returns false when its row buffers cannot be had.
bool rowBands(const Image* dst, const Image* src, const std::function<bool(uint32_t, uint32_t)>& fn)
{
    std::atomic<bool> ok{true};
    const uint64_t rowWork = uint64_t(src->width) * (src->bytesPerPixel() + dst->bytesPerPixel());
    runRowBands(src->height, rowWork, [&](uint32_t first, uint32_t end) {
        if (!fn(first, end)) ok.store(false, std::memory_order_relaxed);
    });
    return ok.load();
}

bool validSource(const Image* src) { return src->pixelFormat <= PF_INDEXED8 && src->pixels(); }

void finish(Image* dst, const Image* src)
{
    imageCopyInfo(dst, src);
    dst->alphaKind = src->alphaKind;
}

// One row of any source as RGBA16 by the widening rules.
void rowToRgba16(Rgba16* out, const Image* src, uint32_t y)
{
    const uint32_t w = src->width;
    switch (src->pixelFormat) {
    case PF_RGBA8: {
        const Rgba8* s = src->row<Rgba8>(y);
        for (uint32_t x = 0; x < w; ++x)
            out[x] = {uint16_t(s[x].b * 257), uint16_t(s[x].g * 257), uint16_t(s[x].r * 257), uint16_t(s[x].a * 257)};
        break;
    }
    case PF_RGBA16: std::memcpy(out, src->row<Rgba16>(y), size_t(w) * sizeof(Rgba16)); break;
    case PF_RGBA_FLOAT: {
        const RgbaF* s = src->row<RgbaF>(y);
        for (uint32_t x = 0; x < w; ++x)
            out[x] = {floatToU16Sample(s[x].b), floatToU16Sample(s[x].g), floatToU16Sample(s[x].r),
                      floatToU16Sample(s[x].a)};
        break;
    }
    case PF_GRAY8: {
        const uint8_t* s = src->row<uint8_t>(y);
        for (uint32_t x = 0; x < w; ++x) {
            uint16_t v = uint16_t(s[x] * 257);
            out[x] = {v, v, v, 65535};
        }
        break;
    }
    case PF_GRAY16: {
        const uint16_t* s = src->row<uint16_t>(y);
        for (uint32_t x = 0; x < w; ++x) out[x] = {s[x], s[x], s[x], 65535};
        break;
    }
    case PF_GRAY_FLOAT: {
        const float* s = src->row<float>(y);
        for (uint32_t x = 0; x < w; ++x) {
            uint16_t v = floatToU16Sample(s[x]);
            out[x] = {v, v, v, 65535};
        }
        break;
    }
    case PF_INDEXED8: {
        const uint8_t* s = src->row<uint8_t>(y);
        const uint32_t* pal = src->palette();
        for (uint32_t x = 0; x < w; ++x) {
            uint32_t e = pal[s[x]];
            out[x] = {uint16_t((e & 0xFF) * 257), uint16_t(((e >> 8) & 0xFF) * 257),
                      uint16_t(((e >> 16) & 0xFF) * 257), uint16_t((e >> 24) * 257)};
        }
        break;
    }
    default: break;
    }
}

// Grey levels of the 256 palette entries; entries with alpha 0 show the
// frame's background colour.
void greyTable8(uint8_t table[256], const Image* src, bool luminance)
{
    const uint32_t* pal = src->palette();
    const uint8_t bg = grey8OfEntry(src->frameInfo.backgroundColour, luminance);
    for (int i = 0; i < 256; ++i) table[i] = (pal[i] >> 24) == 0 ? bg : grey8OfEntry(pal[i], luminance);
}

void greyTable16(uint16_t table[256], const Image* src, bool luminance)
{
    const uint32_t* pal = src->palette();
    const uint16_t bg = grey16OfEntry(src->frameInfo.backgroundColour, luminance);
    for (int i = 0; i < 256; ++i) table[i] = (pal[i] >> 24) == 0 ? bg : grey16OfEntry(pal[i], luminance);
}

// One row of any source as 16-bit grey.
void rowToGray16(uint16_t* out, const Image* src, uint32_t y, bool luminance, const uint16_t* paletteGrey)
{
    const uint32_t w = src->width;
    switch (src->pixelFormat) {
    case PF_RGBA8: {
        const Rgba8* s = src->row<Rgba8>(y);
        if (luminance)
            for (uint32_t x = 0; x < w; ++x) out[x] = lumaOf8To16(s[x].b, s[x].g, s[x].r);
        else
            for (uint32_t x = 0; x < w; ++x)
                out[x] = uint16_t((uint32_t(s[x].b) * 257 + uint32_t(s[x].g) * 257 + uint32_t(s[x].r) * 257 + 1) / 3);
        break;
    }
    case PF_RGBA16: {
        const Rgba16* s = src->row<Rgba16>(y);
        if (luminance) {
            const float* d = decodeTable16();
            for (uint32_t x = 0; x < w; ++x)
                out[x] = floatToU16Sample(srgbEncode(luminanceLinear(d[s[x].b], d[s[x].g], d[s[x].r])));
        } else {
            for (uint32_t x = 0; x < w; ++x) out[x] = uint16_t((uint32_t(s[x].b) + s[x].g + s[x].r + 1) / 3);
        }
        break;
    }
    case PF_RGBA_FLOAT: {
        const RgbaF* s = src->row<RgbaF>(y);
        if (luminance)
            for (uint32_t x = 0; x < w; ++x) out[x] = floatToU16Sample(lumaOfFloat(s[x].b, s[x].g, s[x].r));
        else
            for (uint32_t x = 0; x < w; ++x) out[x] = floatToU16Sample((s[x].b + s[x].g + s[x].r) * kThird);
        break;
    }
    case PF_GRAY8: {
        const uint8_t* s = src->row<uint8_t>(y);
        for (uint32_t x = 0; x < w; ++x) out[x] = uint16_t(s[x] * 257);
        break;
    }
    case PF_GRAY16: std::memcpy(out, src->row<uint16_t>(y), size_t(w) * 2); break;
    case PF_GRAY_FLOAT: {
        const float* s = src->row<float>(y);
        for (uint32_t x = 0; x < w; ++x) out[x] = floatToU16Sample(s[x]);
        break;
    }
    case PF_INDEXED8: {
        const uint8_t* s = src->row<uint8_t>(y);
        for (uint32_t x = 0; x < w; ++x) out[x] = paletteGrey[s[x]];
        break;
    }
    default: break;
    }
}

// Row y of a source as RGBA16: the source's own row when it has that format,
// else widened into `tmp` (one row long).
const Rgba16* rgba16Row(const Image* src, uint32_t y, Rgba16* tmp)
{
    if (src->pixelFormat == PF_RGBA16) return src->row<Rgba16>(y);
    rowToRgba16(tmp, src, y);
    return tmp;
}

// Row y of a source as 16-bit grey, the same way.
const uint16_t* gray16Row(const Image* src, uint32_t y, bool luminance, uint16_t* tmp)
{
    if (src->pixelFormat == PF_GRAY16) return src->row<uint16_t>(y);
    rowToGray16(tmp, src, y, luminance, nullptr);
    return tmp;
}

// Serpentine error diffusion of 16-bit samples to 8 bits over C interleaved
// channels. One error row of (width + 2) cells per channel; cell x + 1 holds
// what the row above sends to column x. A pixel's contributions to the row
// below are written one pixel late, once nothing in this row reads that
// cell any more.
template <int C>
class Diffuser {
public:
    bool init(uint32_t width)
    {
        width_ = width;
        row_ = 0;
        return errors_.allocate((uint64_t(width) + 2) * C, true);
    }

    void run(uint8_t* dst, size_t dstStep, const uint16_t* src, size_t srcStep)
    {
        const bool forward = (row_++ & 1) == 0;
        const int64_t d = forward ? 1 : -1;
        int64_t x = forward ? 0 : int64_t(width_) - 1;
        int32_t* buf = errors_.get();
        int32_t carry[C] = {}, pend[C] = {}, prevR[C] = {};
        for (uint32_t i = 0; i < width_; ++i, x += d) {
            for (int c = 0; c < C; ++c) {
                int32_t above = buf[(x + 1) * C + c];
                int32_t v = int32_t(src[size_t(x) * srcStep + c] >> 4) + ((above + carry[c] + 8) >> 4);
                int32_t r;
                if (v > 4095) {
                    v = 4095;
                    r = 15;
                } else {
                    r = v & 15;
                }
                dst[size_t(x) * dstStep + c] = uint8_t(v >> 4);
                carry[c] = 7 * r;
                buf[(x + 1 - d) * C + c] = pend[c] + 3 * r;
                pend[c] = prevR[c] + 5 * r;
                prevR[c] = r;
            }
        }
        if (width_) {
            x -= d; // the last pixel
            for (int c = 0; c < C; ++c) {
                buf[(x + 1) * C + c] = pend[c];
                buf[(x + 1 + d) * C + c] = prevR[c];
            }
        }
    }

private:
    AlignedBuffer<int32_t> errors_;
    uint32_t width_ = 0;
    uint32_t row_ = 0;
};

ResultCode checkDst(Image* dst, const Image* src, bool viewOk)
{
    if (!dst || !src || !viewOk || !sameSize(dst, src) || !dst->pixels()) return RC_INVALID_PARAMETER;
    if (!validSource(src)) return RC_UNSUPPORTED_COLOUR_FORMAT;
    return RC_OK;
}

} // namespace

// ---- row helpers ----

void ditherRows16To8(uint8_t* dst, const uint16_t* src, uint64_t size, size_t dstStride, size_t srcStride)
{
    const uint32_t w = sizeWidth(size), h = sizeHeight(size);
    Diffuser<1> diffuser;
    if (!w || !h || !diffuser.init(w)) return;
    for (uint32_t y = 0; y < h; ++y) diffuser.run(dst + y * dstStride, 1, src + y * srcStride, 1);
}

void ditherRowsRgba16To8(Rgba8* dst, const Rgba16* src, uint64_t size, size_t dstStride, size_t srcStride)
{
    const uint32_t w = sizeWidth(size), h = sizeHeight(size);
    Diffuser<3> diffuser;
    if (!w || !h || !diffuser.init(w)) return;
    for (uint32_t y = 0; y < h; ++y) {
        Rgba8* d = dst + y * dstStride;
        const Rgba16* s = src + y * srcStride;
        diffuser.run(reinterpret_cast<uint8_t*>(d), 4, reinterpret_cast<const uint16_t*>(s), 4);
        for (uint32_t x = 0; x < w; ++x) d[x].a = uint8_t(s[x].a >> 8);
    }
}

void copyRows(void* dst, const void* src, size_t dstStrideBytes, size_t srcStrideBytes, uint32_t rows)
{
    auto* d = static_cast<uint8_t*>(dst);
    auto* s = static_cast<const uint8_t*>(src);
    const size_t n = std::min(dstStrideBytes, srcStrideBytes);
    if (d == s && dstStrideBytes == srcStrideBytes) return;
    // Widening in place must start at the last row, narrowing at the first;
    // either order would overwrite rows not yet read in the other case.
    const bool backwards = d == s ? dstStrideBytes > srcStrideBytes : d > s;
    if (backwards) {
        for (uint32_t y = rows; y-- > 0;) std::memmove(d + y * dstStrideBytes, s + y * srcStrideBytes, n);
    } else {
        for (uint32_t y = 0; y < rows; ++y) std::memmove(d + y * dstStrideBytes, s + y * srcStrideBytes, n);
    }
}

void planarToChunky(uint8_t* dst, const uint8_t* src, uint32_t width, uint32_t planeCount)
{
    const uint32_t planeBytes = (width + 7) / 8;
    for (uint32_t x = 0; x < planeBytes * 8; ++x) {
        uint32_t v = 0;
        const uint32_t bit = 7 - (x & 7);
        for (uint32_t p = 0; p < planeCount; ++p) v |= uint32_t((src[size_t(p) * planeBytes + x / 8] >> bit) & 1) << p;
        dst[x] = uint8_t(v);
    }
}

void packBitsRow(uint8_t* dst, const uint8_t* src, uint32_t count)
{
    uint32_t full = count / 8;
    for (uint32_t i = 0; i < full; ++i) {
        uint32_t v = 0;
        for (int b = 0; b < 8; ++b) v = (v << 1) | (src[i * 8 + b] & 1);
        dst[i] = uint8_t(v);
    }
    if (count & 7) {
        uint32_t v = 0;
        for (uint32_t b = 0; b < (count & 7); ++b) v |= uint32_t(src[full * 8 + b] & 1) << (7 - b);
        dst[full] = uint8_t(v);
    }
}

namespace {
struct YccTables {
    int32_t rt[256], bt[256], gb[256], gr[256];
    YccTables()
    {
        for (int i = 0; i < 256; ++i) {
            int32_t c = i - 128;
            rt[i] = (359 * c + 128) >> 8;
            bt[i] = (454 * c + 128) >> 8;
            gb[i] = -88 * c + 128;
            gr[i] = -183 * c;
        }
    }
};
inline uint8_t clamp255(int32_t v) { return uint8_t(v < 0 ? 0 : v > 255 ? 255 : v); }
} // namespace

void ycbcrToRgbRowScalar(uint8_t* pixels, uint32_t count)
{
    static const YccTables t;
    for (uint32_t i = 0; i < count; ++i, pixels += 4) {
        int32_t y = pixels[0], cb = pixels[1], cr = pixels[2];
        pixels[0] = clamp255(y + t.bt[cb]);
        pixels[1] = clamp255(y + ((t.gb[cb] + t.gr[cr]) >> 8));
        pixels[2] = clamp255(y + t.rt[cr]);
        pixels[3] = 255;
    }
}

void ycbcrToRgbRow(uint8_t* pixels, uint32_t count)
{
#if defined(QUILLON_YCC_SSE2)
    uint32_t x = 0;
    for (; x + 8 <= count; x += 8) ycc_simd::convert8InPlace(pixels + size_t(x) * 4);
    if (x < count) {
        // The last few pixels go through a local copy, so nothing past the
        // row is read or written.
        alignas(16) uint8_t tail[32] = {};
        const size_t bytes = size_t(count - x) * 4;
        std::memcpy(tail, pixels + size_t(x) * 4, bytes);
        ycc_simd::convert8InPlace(tail);
        std::memcpy(pixels + size_t(x) * 4, tail, bytes);
    }
#else
    ycbcrToRgbRowScalar(pixels, count);
#endif
}

void rgba16RowSwapRB(uint16_t* dst, const uint16_t* src, uint32_t count, bool byteSwap)
{
    for (uint32_t i = 0; i < count; ++i, dst += 4, src += 4) {
        uint16_t p[4] = {src[2], src[1], src[0], src[3]};
        for (int c = 0; c < 4; ++c) dst[c] = byteSwap ? uint16_t((p[c] >> 8) | (p[c] << 8)) : p[c];
    }
}

void rgbaFloatRowSwapRB(float* dst, const float* src, uint32_t count, bool byteSwap)
{
    for (uint32_t i = 0; i < count; ++i, dst += 4, src += 4) {
        float p[4] = {src[2], src[1], src[0], src[3]};
        if (byteSwap) {
            for (int c = 0; c < 4; ++c) {
                uint32_t u;
                std::memcpy(&u, &p[c], 4);
                u = __builtin_bswap32(u);
                std::memcpy(&p[c], &u, 4);
            }
        }
        std::memcpy(dst, p, sizeof p);
    }
}

void rgba8RowToGray(uint8_t* dst, const Rgba8* src, uint32_t count, bool luminance)
{
    if (luminance) {
        for (uint32_t x = 0; x < count; ++x) dst[x] = lumaOf8(src[x].b, src[x].g, src[x].r);
    } else {
        for (uint32_t x = 0; x < count; ++x) dst[x] = uint8_t((uint32_t(src[x].b) + src[x].g + src[x].r + 1) / 3);
    }
}

// ---- whole-image conversions ----

ResultCode imageCopySame(Image* dst, const Image* src)
{
    if (!dst || !src || !sameSize(dst, src) || dst->pixelFormat != src->pixelFormat || !dst->pixels() ||
        !src->pixels())
        return RC_INVALID_PARAMETER;
    if (dst != src) {
        const size_t n = size_t(src->width) * src->bytesPerPixel();
        rowBands(dst, src, [&](uint32_t first, uint32_t end) {
            for (uint32_t y = first; y < end; ++y) std::memcpy(dst->rowBytesPtr(y), src->rowBytesPtr(y), n);
            return true;
        });
        if (src->palette() && dst->indexedView()) dst->indexedView()->setPalette(src->palette(), 256);
    }
    finish(dst, src);
    return RC_OK;
}

ResultCode imageConvertToRgba8(Image* dst, const Image* src, bool dither)
{
    ResultCode rc = checkDst(dst, src, dst && dst->rgba8View());
    if (failed(rc)) return rc;
    if (src->pixelFormat == PF_RGBA8) return imageCopySame(dst, src);
    const uint32_t w = src->width, h = src->height;
    switch (src->pixelFormat) {
    case PF_RGBA16:
    case PF_RGBA_FLOAT: {
        if (!dither) {
            const bool done = rowBands(dst, src, [&](uint32_t first, uint32_t end) {
                AlignedBuffer<Rgba16> tmp;
                if (src->pixelFormat == PF_RGBA_FLOAT && !tmp.allocate(w)) return false;
                for (uint32_t y = first; y < end; ++y) {
                    const Rgba16* s = rgba16Row(src, y, tmp.get());
                    Rgba8* d = dst->row<Rgba8>(y);
                    for (uint32_t x = 0; x < w; ++x)
                        d[x] = {uint8_t(s[x].b >> 8), uint8_t(s[x].g >> 8), uint8_t(s[x].r >> 8), uint8_t(s[x].a >> 8)};
                }
                return true;
            });
            if (!done) return RC_OUT_OF_MEMORY;
            break;
        }
        AlignedBuffer<Rgba16> tmp;
        if (src->pixelFormat == PF_RGBA_FLOAT && !tmp.allocate(w)) return RC_OUT_OF_MEMORY;
        // Error diffusion carries from row to row: one thread.
        Diffuser<3> diffuser;
        if (!diffuser.init(w)) return RC_OUT_OF_MEMORY;
        for (uint32_t y = 0; y < h; ++y) {
            const Rgba16* s = rgba16Row(src, y, tmp.get());
            Rgba8* d = dst->row<Rgba8>(y);
            diffuser.run(reinterpret_cast<uint8_t*>(d), 4, reinterpret_cast<const uint16_t*>(s), 4);
            for (uint32_t x = 0; x < w; ++x) d[x].a = uint8_t(s[x].a >> 8);
        }
        break;
    }
    case PF_GRAY8:
        rowBands(dst, src, [&](uint32_t first, uint32_t end) {
            for (uint32_t y = first; y < end; ++y) {
                const uint8_t* s = src->row<uint8_t>(y);
                Rgba8* d = dst->row<Rgba8>(y);
                for (uint32_t x = 0; x < w; ++x) d[x] = {s[x], s[x], s[x], 255};
            }
            return true;
        });
        break;
    case PF_GRAY16:
    case PF_GRAY_FLOAT: {
        AlignedBuffer<uint16_t> tmp;
        AlignedBuffer<uint8_t> grey;
        if (!grey.allocate(w) || (src->pixelFormat == PF_GRAY_FLOAT && !tmp.allocate(w))) return RC_OUT_OF_MEMORY;
        Diffuser<1> diffuser;
        if (dither && !diffuser.init(w)) return RC_OUT_OF_MEMORY;
        for (uint32_t y = 0; y < h; ++y) {
            const uint16_t* s = gray16Row(src, y, false, tmp.get());
            uint8_t* g = grey.get();
            if (dither) diffuser.run(g, 1, s, 1);
            else
                for (uint32_t x = 0; x < w; ++x) g[x] = uint8_t(s[x] >> 8);
            Rgba8* d = dst->row<Rgba8>(y);
            for (uint32_t x = 0; x < w; ++x) d[x] = {g[x], g[x], g[x], 255};
        }
        break;
    }
    case PF_INDEXED8: {
        const uint32_t* pal = src->palette();
        rowBands(dst, src, [&](uint32_t first, uint32_t end) {
            for (uint32_t y = first; y < end; ++y) {
                const uint8_t* s = src->row<uint8_t>(y);
                uint32_t* d = dst->row<uint32_t>(y);
                for (uint32_t x = 0; x < w; ++x) d[x] = pal[s[x]];
            }
            return true;
        });
        break;
    }
    default: return RC_UNSUPPORTED_COLOUR_FORMAT;
    }
    finish(dst, src);
    return RC_OK;
}

ResultCode imageConvertToRgba16(Image* dst, const Image* src)
{
    ResultCode rc = checkDst(dst, src, dst && dst->rgba16View());
    if (failed(rc)) return rc;
    if (src->pixelFormat == PF_RGBA16) return imageCopySame(dst, src);
    rowBands(dst, src, [&](uint32_t first, uint32_t end) {
        for (uint32_t y = first; y < end; ++y) rowToRgba16(dst->row<Rgba16>(y), src, y);
        return true;
    });
    finish(dst, src);
    return RC_OK;
}

ResultCode imageConvertToRgbaFloat(Image* dst, const Image* src)
{
    ResultCode rc = checkDst(dst, src, dst && dst->rgbaFloatView());
    if (failed(rc)) return rc;
    if (src->pixelFormat == PF_RGBA_FLOAT) return imageCopySame(dst, src);
    const uint32_t w = src->width;
    if (src->pixelFormat == PF_GRAY_FLOAT) {
        rowBands(dst, src, [&](uint32_t first, uint32_t end) {
            for (uint32_t y = first; y < end; ++y) {
                const float* s = src->row<float>(y);
                RgbaF* d = dst->row<RgbaF>(y);
                for (uint32_t x = 0; x < w; ++x) d[x] = {s[x], s[x], s[x], 1.0f};
            }
            return true;
        });
    } else {
        const bool done = rowBands(dst, src, [&](uint32_t first, uint32_t end) {
            AlignedBuffer<Rgba16> tmp;
            if (!tmp.allocate(w)) return false;
            for (uint32_t y = first; y < end; ++y) {
                rowToRgba16(tmp.get(), src, y);
                const Rgba16* s = tmp.get();
                RgbaF* d = dst->row<RgbaF>(y);
                for (uint32_t x = 0; x < w; ++x)
                    d[x] = {s[x].b * kInv65535, s[x].g * kInv65535, s[x].r * kInv65535, s[x].a * kInv65535};
            }
            return true;
        });
        if (!done) return RC_OUT_OF_MEMORY;
    }
    finish(dst, src);
    return RC_OK;
}

ResultCode imageConvertToGray8(Image* dst, const Image* src, bool dither, bool luminance)
{
    ResultCode rc = checkDst(dst, src, dst && dst->gray8View());
    if (failed(rc)) return rc;
    if (src->pixelFormat == PF_GRAY8) return imageCopySame(dst, src);
    const uint32_t w = src->width, h = src->height;
    switch (src->pixelFormat) {
    case PF_RGBA8:
        rowBands(dst, src, [&](uint32_t first, uint32_t end) {
            for (uint32_t y = first; y < end; ++y)
                rgba8RowToGray(dst->row<uint8_t>(y), src->row<Rgba8>(y), w, luminance);
            return true;
        });
        break;
    case PF_RGBA16:
        if (!dither) {
            rowBands(dst, src, [&](uint32_t first, uint32_t end) {
                for (uint32_t y = first; y < end; ++y) {
                    const Rgba16* s = src->row<Rgba16>(y);
                    uint8_t* d = dst->row<uint8_t>(y);
                    if (luminance) {
                        const float* dec = decodeTable16();
                        for (uint32_t x = 0; x < w; ++x)
                            d[x] = floatToU8(srgbEncode(luminanceLinear(dec[s[x].b], dec[s[x].g], dec[s[x].r])));
                    } else {
                        // The channel mean scaled from 0..65535 to 0..255, rounded.
                        for (uint32_t x = 0; x < w; ++x)
                            d[x] = uint8_t((uint32_t(s[x].b) + s[x].g + s[x].r + 385) / 771);
                    }
                }
                return true;
            });
            break;
        }
        [[fallthrough]];
    case PF_RGBA_FLOAT:
    case PF_GRAY16:
    case PF_GRAY_FLOAT: {
        if (!dither) {
            const bool done = rowBands(dst, src, [&](uint32_t first, uint32_t end) {
                AlignedBuffer<uint16_t> tmp;
                if (src->pixelFormat != PF_GRAY16 && !tmp.allocate(w)) return false;
                for (uint32_t y = first; y < end; ++y) {
                    const uint16_t* s = gray16Row(src, y, luminance, tmp.get());
                    uint8_t* d = dst->row<uint8_t>(y);
                    for (uint32_t x = 0; x < w; ++x) d[x] = uint8_t(s[x] >> 8);
                }
                return true;
            });
            if (!done) return RC_OUT_OF_MEMORY;
            break;
        }
        AlignedBuffer<uint16_t> tmp;
        if (src->pixelFormat != PF_GRAY16 && !tmp.allocate(w)) return RC_OUT_OF_MEMORY;
        // Error diffusion carries from row to row: one thread.
        Diffuser<1> diffuser;
        if (!diffuser.init(w)) return RC_OUT_OF_MEMORY;
        for (uint32_t y = 0; y < h; ++y)
            diffuser.run(dst->row<uint8_t>(y), 1, gray16Row(src, y, luminance, tmp.get()), 1);
        break;
    }
    case PF_INDEXED8: {
        uint8_t table[256];
        greyTable8(table, src, luminance);
        rowBands(dst, src, [&](uint32_t first, uint32_t end) {
            for (uint32_t y = first; y < end; ++y) {
                const uint8_t* s = src->row<uint8_t>(y);
                uint8_t* d = dst->row<uint8_t>(y);
                for (uint32_t x = 0; x < w; ++x) d[x] = table[s[x]];
            }
            return true;
        });
        break;
    }
    default: return RC_UNSUPPORTED_COLOUR_FORMAT;
    }
    finish(dst, src);
    return RC_OK;
}

ResultCode imageConvertToGray16(Image* dst, const Image* src, bool luminance)
{
    ResultCode rc = checkDst(dst, src, dst && dst->gray16View());
    if (failed(rc)) return rc;
    if (src->pixelFormat == PF_GRAY16) return imageCopySame(dst, src);
    uint16_t table[256];
    if (src->pixelFormat == PF_INDEXED8) greyTable16(table, src, luminance);
    rowBands(dst, src, [&](uint32_t first, uint32_t end) {
        for (uint32_t y = first; y < end; ++y) rowToGray16(dst->row<uint16_t>(y), src, y, luminance, table);
        return true;
    });
    finish(dst, src);
    return RC_OK;
}

ResultCode imageConvertToGrayFloat(Image* dst, const Image* src, bool luminance)
{
    ResultCode rc = checkDst(dst, src, dst && dst->grayFloatView());
    if (failed(rc)) return rc;
    if (src->pixelFormat == PF_GRAY_FLOAT) return imageCopySame(dst, src);
    const uint32_t w = src->width;
    if (src->pixelFormat == PF_RGBA_FLOAT) {
        rowBands(dst, src, [&](uint32_t first, uint32_t end) {
            for (uint32_t y = first; y < end; ++y) {
                const RgbaF* s = src->row<RgbaF>(y);
                float* d = dst->row<float>(y);
                if (luminance)
                    for (uint32_t x = 0; x < w; ++x) d[x] = lumaOfFloat(s[x].b, s[x].g, s[x].r);
                else
                    for (uint32_t x = 0; x < w; ++x) d[x] = (s[x].b + s[x].g + s[x].r) * kThird;
            }
            return true;
        });
    } else {
        uint16_t table[256];
        if (src->pixelFormat == PF_INDEXED8) greyTable16(table, src, luminance);
        const bool done = rowBands(dst, src, [&](uint32_t first, uint32_t end) {
            AlignedBuffer<uint16_t> tmp;
            if (!tmp.allocate(w)) return false;
            for (uint32_t y = first; y < end; ++y) {
                rowToGray16(tmp.get(), src, y, luminance, table);
                float* d = dst->row<float>(y);
                for (uint32_t x = 0; x < w; ++x) d[x] = tmp[x] * kInv65535;
            }
            return true;
        });
        if (!done) return RC_OUT_OF_MEMORY;
    }
    finish(dst, src);
    return RC_OK;
}

namespace {

ResultCode convertOne(Image* dst, const Image* src)
{
    const QuantizeOptions& q = globalQuantizeOptions();
    switch (dst->pixelFormat) {
    case PF_RGBA8: return imageConvertToRgba8(dst, src, q.ditherTo8Bit != 0);
    case PF_RGBA16: return imageConvertToRgba16(dst, src);
    case PF_RGBA_FLOAT: return imageConvertToRgbaFloat(dst, src);
    case PF_GRAY8: return imageConvertToGray8(dst, src, q.ditherTo8Bit != 0, q.greyByLuminance != 0);
    case PF_GRAY16: return imageConvertToGray16(dst, src, q.greyByLuminance != 0);
    case PF_GRAY_FLOAT: return imageConvertToGrayFloat(dst, src, q.greyByLuminance != 0);
    case PF_INDEXED8: return imageQuantize(dst, src, q);
    default: return RC_INVALID_PARAMETER;
    }
}

void takeFrameData(Image* dst, const Image* src)
{
    frameInfoCopyData(dst->frameInfo, src->frameInfo);
    dst->frameInfo.prev = nullptr;
    dst->frameInfo.next = nullptr;
}

} // namespace

ResultCode imageConvertPixels(Image* dst, const Image* src, bool withFrames)
{
    if (!dst || !src || dst == src || !sameSize(dst, src)) return RC_INVALID_PARAMETER;
    if (Image* rest = dst->frameInfo.next) {
        dst->frameInfo.next = nullptr;
        rest->frameInfo.prev = nullptr;
        objectRelease(rest);
    }
    ResultCode rc = convertOne(dst, src);
    if (failed(rc)) return rc;
    takeFrameData(dst, src);
    if (!withFrames) {
        dst->frameInfo.duration = 0;
        return rc;
    }
    // Later frames one after another: a long animation must not cost one
    // stack frame per frame.
    Image* tail = dst;
    for (const Image* s = src->next(); s; s = s->next()) {
        // Display frames stay display frames where the format allows it; a
        // 16-bit or float chain made from them is plain memory rather than
        // a failure.
        const PixelFormat f = dst->pixelFormat;
        const bool dib = s->display() != nullptr && (f == PF_RGBA8 || f == PF_GRAY8 || f == PF_INDEXED8);
        Image* frame = imageCreate(f, s->size(), dib);
        if (!frame) return RC_OUT_OF_MEMORY;
        ResultCode frc = convertOne(frame, s);
        if (failed(frc)) {
            objectRelease(frame);
            return frc;
        }
        takeFrameData(frame, s);
        tail->frameInfo.next = frame;
        frame->frameInfo.prev = tail;
        tail = frame;
    }
    return rc;
}

Image* imageConvertNew(const Image* src, bool withFrames, bool useDib, PixelFormat format)
{
    if (!src) return nullptr;
    if (format == PF_SAME) format = src->pixelFormat;
    Image* img = imageCreate(format, src->size(), useDib);
    if (!img) return nullptr;
    if (failed(imageConvertPixels(img, src, withFrames))) {
        objectRelease(img);
        return nullptr;
    }
    return img;
}

// ---- blitting ----

ResultCode imageBlitRect(Image* dst, BlitPoint dstPos, const Image* src, BlitPoint srcPos, BlitSize size)
{
    if (!dst || !src || !dst->pixels() || !src->pixels()) return RC_INVALID_PARAMETER;
    if (srcPos.x < 0 || srcPos.y < 0 || uint32_t(srcPos.x) > src->width || uint32_t(srcPos.y) > src->height)
        return RC_INVALID_PARAMETER;
    int64_t w = size.width == kBlitToEdge ? int64_t(src->width) - srcPos.x : int64_t(size.width);
    int64_t h = size.height == kBlitToEdge ? int64_t(src->height) - srcPos.y : int64_t(size.height);
    int64_t sx = srcPos.x, sy = srcPos.y, dx = dstPos.x, dy = dstPos.y;
    // Clipping at the destination's top left moves the source start too, so
    // the visible part lands where it would have without the clip.
    if (dx < 0) {
        w += dx;
        sx -= dx;
        dx = 0;
    }
    if (dy < 0) {
        h += dy;
        sy -= dy;
        dy = 0;
    }
    w = std::min<int64_t>(w, int64_t(dst->width) - dx);
    h = std::min<int64_t>(h, int64_t(dst->height) - dy);
    if (w <= 0 || h <= 0) return 1;
    if (sx + w > int64_t(src->width) || sy + h > int64_t(src->height)) return RC_INVALID_PARAMETER;
    Ref<Image> converted;
    const Image* from = src;
    if (src->pixelFormat != dst->pixelFormat) {
        converted = Ref<Image>::adopt(imageConvertNew(src, false, false, dst->pixelFormat));
        if (!converted) return RC_OUT_OF_MEMORY;
        from = converted.get();
    }
    const size_t b = dst->bytesPerPixel();
    auto copyRows = [&](uint32_t first, uint32_t end) {
        for (int64_t y = first; y < int64_t(end); ++y)
            std::memmove(dst->rowBytesPtr(uint32_t(dy + y)) + size_t(dx) * b,
                         from->rowBytesPtr(uint32_t(sy + y)) + size_t(sx) * b, size_t(w) * b);
    };
    // Within one image the rows may overlap and their order matters.
    if (from == dst) copyRows(0, uint32_t(h));
    else runRowBands(uint32_t(h), uint64_t(w) * b * 2, copyRows);
    return RC_OK;
}

// ---- alpha ----

ResultCode imageApplyAlphaFromGrey(Image* image, const Image* mask)
{
    if (!image || !mask || !sameSize(image, mask)) return RC_INVALID_PARAMETER;
    PixelFormat want;
    switch (image->pixelFormat) {
    case PF_RGBA8: want = PF_GRAY8; break;
    case PF_RGBA16: want = PF_GRAY16; break;
    case PF_RGBA_FLOAT: want = PF_GRAY_FLOAT; break;
    default: return RC_INVALID_PARAMETER;
    }
    Ref<Image> converted;
    const Image* grey = mask;
    if (mask->pixelFormat != want) {
        converted = Ref<Image>::adopt(imageConvertNew(mask, false, false, want));
        // A mask that could not be brought into shape is a failure, not an
        // image silently left as it was but marked as having alpha.
        if (!converted) return RC_OUT_OF_MEMORY;
        grey = converted.get();
    }
    const uint32_t w = image->width;
    for (uint32_t y = 0; y < image->height; ++y) {
        switch (want) {
        case PF_GRAY8: {
            Rgba8* d = image->row<Rgba8>(y);
            const uint8_t* s = grey->row<uint8_t>(y);
            for (uint32_t x = 0; x < w; ++x) d[x].a = s[x];
            break;
        }
        case PF_GRAY16: {
            Rgba16* d = image->row<Rgba16>(y);
            const uint16_t* s = grey->row<uint16_t>(y);
            for (uint32_t x = 0; x < w; ++x) d[x].a = s[x];
            break;
        }
        default: {
            RgbaF* d = image->row<RgbaF>(y);
            const float* s = grey->row<float>(y);
            for (uint32_t x = 0; x < w; ++x) d[x].a = s[x];
            break;
        }
        }
    }
    image->alphaKind = ALPHA_STRAIGHT;
    return RC_OK;
}

namespace {

void premultiplyPixels8(Rgba8* p, uint32_t n)
{
    for (uint32_t x = 0; x < n; ++x) {
        uint32_t a = p[x].a;
        if (a == 255) continue;
        uint32_t f = a * 257;
        p[x].b = uint8_t((p[x].b * f + 32768) >> 16);
        p[x].g = uint8_t((p[x].g * f + 32768) >> 16);
        p[x].r = uint8_t((p[x].r * f + 32768) >> 16);
    }
}

void unpremultiplyPixels8(Rgba8* p, uint32_t n) { unpremultiplyRow8(p, p, n); }

void premultiplyFrame(Image* img)
{
    const uint32_t w = img->width;
    switch (img->pixelFormat) {
    case PF_RGBA8: rowPremultiply8(img->rgba8View()); break;
    case PF_RGBA16:
        for (uint32_t y = 0; y < img->height; ++y) {
            Rgba16* p = img->row<Rgba16>(y);
            for (uint32_t x = 0; x < w; ++x) {
                uint32_t a = p[x].a;
                if (a == 65535) continue;
                p[x].b = uint16_t((uint64_t(p[x].b) * a + 32768) >> 16);
                p[x].g = uint16_t((uint64_t(p[x].g) * a + 32768) >> 16);
                p[x].r = uint16_t((uint64_t(p[x].r) * a + 32768) >> 16);
            }
        }
        break;
    case PF_RGBA_FLOAT:
        for (uint32_t y = 0; y < img->height; ++y) {
            RgbaF* p = img->row<RgbaF>(y);
            for (uint32_t x = 0; x < w; ++x) {
                float a = p[x].a;
                if (a == 1.0f) continue;
                p[x].b *= a;
                p[x].g *= a;
                p[x].r *= a;
            }
        }
        break;
    case PF_INDEXED8:
        premultiplyPixels8(reinterpret_cast<Rgba8*>(img->palette()), 256);
        img->indexedView()->paletteChanged();
        break;
    default: return;
    }
    img->alphaKind = ALPHA_PREMULTIPLIED;
}

void unpremultiplyFrame(Image* img)
{
    const uint32_t w = img->width;
    switch (img->pixelFormat) {
    case PF_RGBA8: rowUnpremultiply8(img->rgba8View()); break;
    case PF_RGBA16:
        for (uint32_t y = 0; y < img->height; ++y) {
            Rgba16* p = img->row<Rgba16>(y);
            unpremultiplyRow16(p, p, w);
        }
        break;
    case PF_RGBA_FLOAT:
        for (uint32_t y = 0; y < img->height; ++y) {
            RgbaF* p = img->row<RgbaF>(y);
            for (uint32_t x = 0; x < w; ++x) {
                float a = p[x].a;
                if (a == 0.0f || a == 1.0f) continue;
                float f = 1.0f / a;
                p[x].b *= f;
                p[x].g *= f;
                p[x].r *= f;
            }
        }
        break;
    case PF_INDEXED8:
        unpremultiplyPixels8(reinterpret_cast<Rgba8*>(img->palette()), 256);
        img->indexedView()->paletteChanged();
        break;
    default: return;
    }
    img->alphaKind = ALPHA_STRAIGHT;
}

} // namespace

void unpremultiplyRow8(Rgba8* dst, const Rgba8* src, uint32_t count)
{
    for (uint32_t x = 0; x < count; ++x) {
        Rgba8 p = src[x];
        const uint32_t a = p.a;
        if (a != 0 && a != 255) {
            // Round by half the divisor: a fixed +127 would lift black under
            // a faint alpha to mid grey.
            const uint32_t half = a / 2;
            p.b = uint8_t(std::min<uint32_t>(255, (p.b * 255u + half) / a));
            p.g = uint8_t(std::min<uint32_t>(255, (p.g * 255u + half) / a));
            p.r = uint8_t(std::min<uint32_t>(255, (p.r * 255u + half) / a));
        }
        dst[x] = p;
    }
}

void unpremultiplyRow16(Rgba16* dst, const Rgba16* src, uint32_t count)
{
    for (uint32_t x = 0; x < count; ++x) {
        Rgba16 p = src[x];
        const uint32_t a = p.a;
        if (a != 0 && a != 65535) {
            const uint64_t half = a / 2;
            p.b = uint16_t(std::min<uint64_t>(65535, (uint64_t(p.b) * 65535 + half) / a));
            p.g = uint16_t(std::min<uint64_t>(65535, (uint64_t(p.g) * 65535 + half) / a));
            p.r = uint16_t(std::min<uint64_t>(65535, (uint64_t(p.r) * 65535 + half) / a));
        }
        dst[x] = p;
    }
}

bool isOpaqueGreyRamp(const uint32_t* pal)
{
    if (!pal) return false;
    for (uint32_t i = 0; i < 256; ++i)
        if (pal[i] != 0xFF000000u + i * 0x010101u) return false;
    return true;
}

void rowPremultiply8(Rgba8View* view)
{
    if (!view) return;
    for (uint32_t y = 0; y < view->height(); ++y) premultiplyPixels8(view->row(y), view->width());
}

void rowUnpremultiply8(Rgba8View* view)
{
    if (!view) return;
    for (uint32_t y = 0; y < view->height(); ++y) unpremultiplyPixels8(view->row(y), view->width());
}

void imagePremultiplyAlpha(Image* image)
{
    for (Image* f = image; f; f = f->next())
        if (f->alphaKind == ALPHA_STRAIGHT) premultiplyFrame(f);
}

void imageUnpremultiplyAlpha(Image* image, bool allFrames)
{
    for (Image* f = image; f; f = allFrames ? f->next() : nullptr)
        if (f->alphaKind == ALPHA_PREMULTIPLIED) unpremultiplyFrame(f);
}

void flattenOnBackground8(Rgba8View* view, Rgba8 colour)
{
    if (!view) return;
    const uint32_t bg[4] = {colour.b, colour.g, colour.r, colour.a};
    for (uint32_t y = 0; y < view->height(); ++y) {
        uint8_t* p = reinterpret_cast<uint8_t*>(view->row(y));
        for (uint32_t x = 0; x < view->width(); ++x, p += 4) {
            uint32_t a = p[3];
            if (a == 255) continue;
            uint32_t t = (255 - a) * 257;
            // Straight-alpha data can exceed its alpha; saturate rather than wrap.
            for (int c = 0; c < 4; ++c) p[c] = uint8_t(std::min<uint32_t>(255, p[c] + ((bg[c] * t + 32768) >> 16)));
        }
    }
}

void flattenOnBackground16(Rgba16View* view, Rgba16 colour)
{
    if (!view) return;
    const uint64_t bg[4] = {colour.b, colour.g, colour.r, colour.a};
    for (uint32_t y = 0; y < view->height(); ++y) {
        uint16_t* p = reinterpret_cast<uint16_t*>(view->row(y));
        for (uint32_t x = 0; x < view->width(); ++x, p += 4) {
            uint64_t a = p[3];
            if (a == 65535) continue;
            uint64_t t = 65535 - a;
            for (int c = 0; c < 4; ++c) p[c] = uint16_t(std::min<uint64_t>(65535, p[c] + ((65535 + bg[c] * t) >> 16)));
        }
    }
}

void flattenOnBackgroundFloat(RgbaFloatView* view, RgbaF colour)
{
    if (!view) return;
    const float bg[4] = {colour.b, colour.g, colour.r, colour.a};
    for (uint32_t y = 0; y < view->height(); ++y) {
        float* p = reinterpret_cast<float*>(view->row(y));
        for (uint32_t x = 0; x < view->width(); ++x, p += 4) {
            float k = 1.0f - p[3];
            if (k == 0.0f) continue;
            for (int c = 0; c < 4; ++c) p[c] += bg[c] * k;
        }
    }
}

ResultCode imageSetOpaque(Image* image)
{
    if (!image || !image->pixels()) return RC_INVALID_PARAMETER;
    const uint32_t w = image->width;
    switch (image->pixelFormat) {
    case PF_RGBA8:
        for (uint32_t y = 0; y < image->height; ++y) {
            Rgba8* p = image->row<Rgba8>(y);
            for (uint32_t x = 0; x < w; ++x) p[x].a = 255;
        }
        return RC_OK;
    case PF_RGBA16:
        for (uint32_t y = 0; y < image->height; ++y) {
            Rgba16* p = image->row<Rgba16>(y);
            for (uint32_t x = 0; x < w; ++x) p[x].a = 65535;
        }
        return RC_OK;
    case PF_RGBA_FLOAT:
        for (uint32_t y = 0; y < image->height; ++y) {
            RgbaF* p = image->row<RgbaF>(y);
            for (uint32_t x = 0; x < w; ++x) p[x].a = 1.0f;
        }
        return RC_OK;
    default: return RC_INVALID_PARAMETER;
    }
}

} // namespace quillon
