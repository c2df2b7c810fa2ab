#include "codecs/more/dds.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>
#include <string_view>

#include "core/byte_cursor.h"
#include "core/convert.h"
#include "core/image_reader.h"
#include "core/image_writer.h"
#include "core/resize.h"
#include "platform/memory.h"
#include "platform/tasks.h"

namespace quillon {

const char16_t* const kDdsSubFormats[] = {
    u"DXT1 (mip-mapped)", u"DXT2 (mip-mapped)", u"DXT3 (mip-mapped)", u"DXT4 (mip-mapped)", u"DXT5 (mip-mapped)",
    u"Uncomp(mip-mapped)", u"DXT1 (no mip-map)", u"DXT2 (no mip-map)", u"DXT3 (no mip-map)", u"DXT4 (no mip-map)",
    u"DXT5 (no mip-map)", u"Uncomp(no mip-map)", u""};
const ColourFormatFlags kDdsSubFormatCaps[] = {
    CF_RGBA32, CF_RGBA32, CF_RGBA32, CF_RGBA32, CF_RGBA32, CF_RGBA16 | CF_RGB24 | CF_RGBA32,
    CF_RGBA32, CF_RGBA32, CF_RGBA32, CF_RGBA32, CF_RGBA32, CF_RGBA16 | CF_RGB24 | CF_RGBA32,
};

namespace {

constexpr uint64_t kFileHeader = 128;
constexpr uint32_t kPfAlpha = 0x1, kPfFourCc = 0x4, kPfRgb = 0x40, kPfPremultiplied = 0x8000;
constexpr uint32_t kHeaderPitch = 0x8, kCapsTexture = 0x1000;

bool hasSignature(const uint8_t* d, uint64_t size) { return size >= kFileHeader && std::memcmp(d, "DDS ", 4) == 0; }

// ---- block decoding ----

uint32_t expand565(uint32_t c)
{
    const uint32_t r = ((c >> 11) * 255 + 15) / 31, g = (((c >> 5) & 63) * 255 + 31) / 63, b = ((c & 31) * 255 + 15) / 31;
    return 0xFF000000u | r << 16 | g << 8 | b;
}

// Per channel of two 0xAARRGGBB colours: (wa a + wb b + round) / div.
uint32_t mix(uint32_t a, uint32_t b, uint32_t wa, uint32_t wb, uint32_t round, uint32_t div)
{
    uint32_t out = 0xFF000000u;
    for (int s = 0; s < 24; s += 8) out |= ((wa * ((a >> s) & 255) + wb * ((b >> s) & 255) + round) / div) << s;
    return out;
}

struct Mask {
    uint32_t shift = 0;
    uint64_t top = 0;  // 0 for an empty mask
};

Mask maskOf(uint32_t m)
{
    Mask r;
    if (!m) return r;
    r.shift = uint32_t(__builtin_ctz(m));
    r.top = (uint64_t(1) << __builtin_popcount(m)) - 1;
    return r;
}

inline uint8_t maskChannel(uint32_t pixel, const Mask& m)
{
    if (!m.top) return 0;
    return uint8_t(((uint64_t(pixel) >> m.shift) & m.top) * 255 / m.top);
}

enum Kind { KIND_MASKS, KIND_DXT1, KIND_DXT3, KIND_DXT5 };

class DdsReader final : public ImageReader {
public:
    DdsReader(MappedFile* f, const FormatDescriptor* d) : ImageReader(f, d) {}

protected:
    ResultCode readHeader(const void*) override
    {
        const uint8_t* d = input->data();
        const uint64_t size = input->size();
        if (!hasSignature(d, size)) return RC_UNKNOWN_FORMAT;
        // The pixels follow the header whose size the file gives.
        const uint64_t headerSize = loadU32le(d + 4);
        if (headerSize < 124 || headerSize > size - 4) return RC_CORRUPT_FILE;
        dataOffset_ = 4 + headerSize;
        const uint32_t flags = loadU32le(d + 8), pfFlags = loadU32le(d + 80), caps = loadU32le(d + 108);
        if (!(caps & kCapsTexture)) return RC_UNSUPPORTED_SUBFORMAT;
        height = loadU32le(d + 12);
        width = loadU32le(d + 16);
        if (width == 0 || height == 0) return RC_CORRUPT_FILE;
        pixelFormat = PF_RGBA8;
        colourModel = CM_RGB;
        if (pfFlags & kPfRgb) {
            const uint32_t bits = loadU32le(d + 88);
            if (bits < 9 || bits > 32) return RC_UNSUPPORTED_SUBFORMAT;
            bitsPerPixel = bits;
            pixelBytes_ = (bits + 7) / 8;
            const uint64_t packed = uint64_t(pixelBytes_) * width;
            pitch_ = (flags & kHeaderPitch) ? loadU32le(d + 20) : ((packed + 3) & ~uint64_t(3));
            if (pitch_ < packed) return RC_CORRUPT_FILE;
            red_ = maskOf(loadU32le(d + 92));
            green_ = maskOf(loadU32le(d + 96));
            blue_ = maskOf(loadU32le(d + 100));
            alpha_ = maskOf(loadU32le(d + 104));
            // An alpha flag with no alpha bits has nothing to say.
            alphaKind = !(pfFlags & kPfAlpha) || !alpha_.top ? ALPHA_NONE
                        : (pfFlags & kPfPremultiplied)     ? ALPHA_PREMULTIPLIED
                                                           : ALPHA_STRAIGHT;
            kind_ = KIND_MASKS;
        } else if (pfFlags & kPfFourCc) {
            const std::string_view fourCc(reinterpret_cast<const char*>(d + 84), 4);
            if (fourCc == "DXT1") kind_ = KIND_DXT1, bitsPerPixel = 23, alphaKind = ALPHA_PREMULTIPLIED;
            else if (fourCc == "DXT2") kind_ = KIND_DXT3, bitsPerPixel = 26, alphaKind = ALPHA_PREMULTIPLIED;
            else if (fourCc == "DXT3") kind_ = KIND_DXT3, bitsPerPixel = 30, alphaKind = ALPHA_STRAIGHT;
            else if (fourCc == "DXT4") kind_ = KIND_DXT5, bitsPerPixel = 26, alphaKind = ALPHA_PREMULTIPLIED;
            else if (fourCc == "DXT5") kind_ = KIND_DXT5, bitsPerPixel = 30, alphaKind = ALPHA_STRAIGHT;
            else return RC_UNSUPPORTED_SUBFORMAT;
            char16_t name[5] = {char16_t(d[84]), char16_t(d[85]), char16_t(d[86]), char16_t(d[87]), 0};
            info.set(INFO_COMPRESSION, name);
        } else {
            return RC_UNSUPPORTED_SUBFORMAT;
        }
        // Data that cannot fill even the first row (of pixels or of blocks)
        // holds no picture: refused before an image of the declared size exists.
        const uint64_t firstRow = kind_ == KIND_MASKS ? uint64_t(pixelBytes_) * width
                                                      : (uint64_t(width) + 3) / 4 * (kind_ == KIND_DXT1 ? 8 : 16);
        if (size - dataOffset_ < firstRow) return RC_CORRUPT_FILE;
        // Rows the file cannot hold, of a picture too large to make: the
        // size is a lie, not a picture too large for memory.
        uint64_t claimed;
        const bool measured = kind_ == KIND_MASKS ? checkedMul(pitch_, height - 1, &claimed) &&
                                                    checkedAdd(claimed, firstRow, &claimed)
                                              : checkedMul(firstRow, (uint64_t(height) + 3) / 4, &claimed);
        if ((!measured || claimed > size - dataOffset_) && imageBeyondAllocationCap(this)) return RC_CORRUPT_FILE;
        return RC_OK;
    }

    ResultCode readPixels(Image* image, bool, Progress* progress, AbortFlag* abort) override
    {
        return kind_ == KIND_MASKS ? readMasked(image, progress, abort) : readBlocks(image, progress, abort);
    }

private:
    ResultCode readMasked(Image* image, Progress* progress, AbortFlag* abort)
    {
        const uint64_t size = input->size();
        const bool withAlpha = alphaKind != ALPHA_NONE;
        for (uint32_t y = 0; y < height; ++y) {
            if (aborted(abort)) return RC_OK;
            const uint64_t at = dataOffset_ + uint64_t(y) * pitch_;
            if (at > size || size - at < uint64_t(pixelBytes_) * width) {
                imageClearRows(image, y, image->height);
                return RC_CORRUPT_FILE;
            }
            const uint8_t* src = input->data() + at;
            Rgba8* out = image->row<Rgba8>(y);
            for (uint32_t x = 0; x < width; ++x, src += pixelBytes_) {
                uint32_t p = 0;
                for (uint32_t i = 0; i < pixelBytes_; ++i) p |= uint32_t(src[i]) << (8 * i);
                out[x] = {maskChannel(p, blue_), maskChannel(p, green_), maskChannel(p, red_),
                          withAlpha ? maskChannel(p, alpha_) : uint8_t(255)};
            }
            if ((y & 31) == 31) reportProgress(progress, y + 1, height);
        }
        return RC_OK;
    }

    ResultCode readBlocks(Image* image, Progress* progress, AbortFlag* abort)
    {
        const uint64_t size = input->size();
        const uint32_t blockBytes = kind_ == KIND_DXT1 ? 8 : 16;
        const uint64_t across = (uint64_t(width) + 3) / 4, down = (uint64_t(height) + 3) / 4;
        const uint64_t rowBytes = across * blockBytes;
        uint32_t px[16];
        for (uint64_t by = 0; by < down; ++by) {
            if (aborted(abort)) return RC_OK;
            const uint64_t at = dataOffset_ + by * rowBytes;
            if (at > size || size - at < rowBytes) {
                imageClearRows(image, uint32_t(by * 4), image->height);
                return RC_CORRUPT_FILE;
            }
            const uint8_t* block = input->data() + at;
            for (uint64_t bx = 0; bx < across; ++bx, block += blockBytes) {
                if (kind_ == KIND_DXT1) {
                    ddsDecodeColourBlock(block, px, true);
                } else {
                    ddsDecodeColourBlock(block + 8, px, false);
                    if (kind_ == KIND_DXT3) {
                        for (int i = 0; i < 16; ++i)
                            px[i] = (px[i] & 0xFFFFFF) | uint32_t(((block[i / 2] >> (4 * (i & 1))) & 15) * 17) << 24;
                    } else {
                        ddsDecodeAlphaBlock(block, px);
                    }
                }
                for (uint32_t j = 0; j < 4 && by * 4 + j < height; ++j) {
                    Rgba8* out = image->row<Rgba8>(uint32_t(by * 4 + j));
                    for (uint32_t i = 0; i < 4 && bx * 4 + i < width; ++i) {
                        const uint32_t c = px[j * 4 + i];
                        out[bx * 4 + i] = {uint8_t(c), uint8_t(c >> 8), uint8_t(c >> 16), uint8_t(c >> 24)};
                    }
                }
            }
            reportProgress(progress, uint32_t(by + 1), uint32_t(down));
        }
        return RC_OK;
    }

    Kind kind_ = KIND_MASKS;
    uint64_t dataOffset_ = 0, pitch_ = 0;
    uint32_t pixelBytes_ = 0;
    Mask red_, green_, blue_, alpha_;
};

// ---- block encoding ----

uint32_t channel(uint32_t c, int s) { return (c >> s) & 255; }

uint32_t distance(uint32_t a, uint32_t b)
{
    uint32_t e = 0;
    for (int s = 0; s < 24; s += 8) {
        const int d = int(channel(a, s)) - int(channel(b, s));
        e += uint32_t(d * d);
    }
    return e;
}

// The palette of an endpoint pair: mode 4 gives four colours, mode 3 three.
uint32_t ddsColourPalette(uint32_t* palette, uint32_t a, uint32_t b, uint32_t mode)
{
    palette[0] = a | 0xFF000000u;
    palette[1] = b | 0xFF000000u;
    if (mode == 4) {
        palette[2] = mix(a, b, 2, 1, 1, 3);
        palette[3] = mix(a, b, 1, 2, 1, 3);
        return 4;
    }
    palette[2] = mix(a, b, 1, 1, 1, 2);
    return 3;
}

// The summed smallest squared distance of the pixels whose alpha is at
// least the threshold; with `indices`, each one's nearest entry (the first
// on a tie).
uint64_t ddsColourBlockIndices(const uint32_t* palette, uint32_t count, const uint32_t* pixels, uint32_t threshold,
                               uint8_t* indices = nullptr)
{
    uint64_t error = 0;
    for (int i = 0; i < 16; ++i) {
        if ((pixels[i] >> 24) < threshold) continue;
        uint32_t best = UINT32_MAX, which = 0;
        for (uint32_t k = 0; k < count; ++k) {
            const uint32_t e = distance(palette[k], pixels[i]);
            if (e < best) best = e, which = k;
        }
        error += best;
        if (indices) indices[i] = uint8_t(which);
    }
    return error;
}

// The searches measure in single-precision lanes, four colours or four trials
// at a time. Every value they handle is a whole number below 2^24 (a squared
// distance is at most 3 x 255^2, a block's error at most 16 times that), so
// the float sums are exact and equal the integer sums bit for bit.
typedef float F4 __attribute__((vector_size(16)));

inline F4 splat(float v) { return F4{v, v, v, v}; }
inline F4 lanes(const float* p)
{
    F4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline F4 lowest(F4 a, F4 b) { return a < b ? a : b; }
inline float total(F4 v) { return (v[0] + v[1]) + (v[2] + v[3]); }

// Orders a set's entries, farthest from their weighted mean first.
template <int Channels>
void farthestFirst(uint32_t count, int32_t (*ch)[16], uint32_t* weight)
{
    int64_t sum[Channels] = {}, all = 0;
    for (uint32_t i = 0; i < count; ++i) {
        for (int c = 0; c < Channels; ++c) sum[c] += int64_t(ch[c][i]) * weight[i];
        all += weight[i];
    }
    int64_t key[16];
    for (uint32_t i = 0; i < count; ++i) {
        key[i] = 0;
        for (int c = 0; c < Channels; ++c) {
            const int64_t d = int64_t(ch[c][i]) * all - sum[c];
            key[i] += d * d;
        }
    }
    for (uint32_t i = 1; i < count; ++i)
        for (uint32_t j = i; j > 0 && key[j - 1] < key[j]; --j) {
            std::swap(key[j - 1], key[j]);
            std::swap(weight[j - 1], weight[j]);
            for (int c = 0; c < Channels; ++c) std::swap(ch[c][j - 1], ch[c][j]);
        }
}

// What a block search measures its candidates against: the distinct values
// of the pixels it counts (colours, or alphas), each weighted by the number
// of pixels that have it. An error is a sum over pixels, so counting equal
// pixels once, weighted, in any order gives the same sum; the values
// farthest from the block's mean come first, so that a candidate worse than
// the best so far is found out after few of them. Lanes past the last value
// weigh 0.
template <int Channels>
struct BlockSet {
    uint32_t count = 0;
    uint32_t groups = 0;  // of four lanes
    alignas(16) float value[Channels][16] = {};
    alignas(16) float weight[16] = {};

    // value(i) is the i-th pixel's value in each channel (0..255); pixels
    // for which `counts` is false are left out.
    template <class ValueOf, class Counts>
    BlockSet(ValueOf valueOf, Counts counts)
    {
        uint32_t seen[16], w[16] = {};
        int32_t v[Channels][16];
        for (int i = 0; i < 16; ++i) {
            if (!counts(i)) continue;
            const uint32_t key = valueOf(i);
            uint32_t k = 0;
            while (k < count && seen[k] != key) ++k;
            if (k == count) {
                seen[count++] = key;
                for (int c = 0; c < Channels; ++c) v[c][k] = int32_t(channel(key, 8 * c));
            }
            ++w[k];
        }
        farthestFirst<Channels>(count, v, w);
        for (uint32_t i = 0; i < count; ++i) {
            weight[i] = float(w[i]);
            for (int c = 0; c < Channels; ++c) value[c][i] = float(v[c][i]);
        }
        groups = (count + 3) / 4;
    }
};

using ColourSet = BlockSet<3>;  // blue, green, red
using AlphaSet = BlockSet<1>;

ColourSet colourSet(const uint32_t* pixels, uint32_t threshold)
{
    return ColourSet([&](int i) { return pixels[i] & 0xFFFFFF; },
                     [&](int i) { return (pixels[i] >> 24) >= threshold; });
}

AlphaSet alphaSet(const uint32_t* pixels)
{
    return AlphaSet([&](int i) { return pixels[i] >> 24; }, [](int) { return true; });
}

inline F4 squared(F4 d) { return d * d; }

// Four colours' squared distances to one colour.
inline F4 distanceTo(const ColourSet& set, uint32_t group, float b, float g, float r)
{
    const uint32_t at = 4 * group;
    return squared(lanes(set.value[0] + at) - b) + squared(lanes(set.value[1] + at) - g) +
           squared(lanes(set.value[2] + at) - r);
}

// The error of the palette of the pair (a, b): the weighted sum of each
// colour's smallest squared distance to an entry.
uint32_t pairError(const ColourSet& set, uint32_t a, uint32_t b, uint32_t mode)
{
    uint32_t entries[4];
    const uint32_t count = ddsColourPalette(entries, a, b, mode);
    float error = 0;
    for (uint32_t g = 0; g < set.groups; ++g) {
        F4 nearest = splat(1e9f);
        for (uint32_t k = 0; k < count; ++k)
            nearest = lowest(nearest, distanceTo(set, g, float(channel(entries[k], 0)), float(channel(entries[k], 8)),
                                                 float(channel(entries[k], 16))));
        error += total(nearest * lanes(set.weight + 4 * g));
    }
    return uint32_t(error);
}

// Every pair of candidates (i < j); the first with the smallest error wins
// and a zero error ends the search. A pair's first two entries are the
// candidates themselves, whose distances are measured once for all pairs;
// a pair stops being measured once its error cannot win.
template <uint32_t mode>
uint32_t searchPairs(const ColourSet& set, const uint32_t* candidates, uint32_t n, uint32_t* ba, uint32_t* bb)
{
    alignas(16) float toCandidate[17][16];
    int32_t cand[3][17];
    for (uint32_t i = 0; i < n; ++i) {
        for (int s = 0; s < 3; ++s) cand[s][i] = int32_t(channel(candidates[i], 8 * s));
        for (uint32_t g = 0; g < set.groups; ++g) {
            const F4 d = distanceTo(set, g, float(cand[0][i]), float(cand[1][i]), float(cand[2][i]));
            std::memcpy(toCandidate[i] + 4 * g, &d, sizeof d);
        }
    }
    float best = 1e9f;
    for (uint32_t i = 0; i < n && best != 0; ++i)
        for (uint32_t j = i + 1; j < n && best != 0; ++j) {
            float m[2][3];
            for (int s = 0; s < 3; ++s) {
                const int32_t a = cand[s][i], b = cand[s][j];
                m[0][s] = float(mode == 4 ? (2 * a + b + 1) / 3 : (a + b + 1) / 2);
                m[1][s] = float((a + 2 * b + 1) / 3);
            }
            float error = 0;
            for (uint32_t g = 0; g < set.groups && error < best; ++g) {
                F4 d = lowest(lanes(toCandidate[i] + 4 * g), lanes(toCandidate[j] + 4 * g));
                d = lowest(d, distanceTo(set, g, m[0][0], m[0][1], m[0][2]));
                if (mode == 4) d = lowest(d, distanceTo(set, g, m[1][0], m[1][1], m[1][2]));
                error += total(d * lanes(set.weight + 4 * g));
            }
            if (error < best) best = error, *ba = candidates[i], *bb = candidates[j];
        }
    return uint32_t(best);
}

// Nudges each channel where the endpoints differ, on the 5-6-5 grid: both
// endpoints' values from 16 below to 16 above, a strictly smaller error
// replacing the best. Only one channel moves at a time, so each colour's
// distance to each entry in the two others is measured once per channel.
template <uint32_t mode>
uint32_t refine(const ColourSet& set, uint32_t best, uint32_t* ba, uint32_t* bb)
{
    for (int k = 0; k < 3 && best; ++k) {
        const int s = 8 * k, step = k == 1 ? 4 : 8;
        if (channel(*ba, s) == channel(*bb, s)) continue;
        const uint32_t a0 = *ba, b0 = *bb;
        uint32_t base[4];
        ddsColourPalette(base, a0, b0, mode);
        const int o1 = (k + 1) % 3, o2 = (k + 2) % 3;
        alignas(16) float rest[4][16];
        for (uint32_t e = 0; e < mode; ++e) {
            const float c1 = float(channel(base[e], 8 * o1)), c2 = float(channel(base[e], 8 * o2));
            for (uint32_t g = 0; g < set.groups; ++g) {
                const F4 d = squared(lanes(set.value[o1] + 4 * g) - c1) + squared(lanes(set.value[o2] + 4 * g) - c2);
                std::memcpy(rest[e] + 4 * g, &d, sizeof d);
            }
        }
        float bestError = float(best);
        for (int da = -16; da <= 16 && bestError != 0; da += step)
            for (int db = -16; db <= 16 && bestError != 0; db += step) {
                const int va = int(channel(a0, s)) + da, vb = int(channel(b0, s)) + db;
                if (va < 0 || va > 255 || vb < 0 || vb > 255) continue;
                const float v[4] = {float(va), float(vb), float(mode == 4 ? (2 * va + vb + 1) / 3 : (va + vb + 1) / 2),
                                    float((va + 2 * vb + 1) / 3)};
                float error = 0;
                for (uint32_t g = 0; g < set.groups && error < bestError; ++g) {
                    const F4 x = lanes(set.value[k] + 4 * g);
                    F4 d = lanes(rest[0] + 4 * g) + squared(x - v[0]);
                    for (uint32_t e = 1; e < mode; ++e) d = lowest(d, lanes(rest[e] + 4 * g) + squared(x - v[e]));
                    error += total(d * lanes(set.weight + 4 * g));
                }
                if (error < bestError) {
                    bestError = error;
                    *ba = (a0 & ~(255u << s)) | uint32_t(va) << s;
                    *bb = (b0 & ~(255u << s)) | uint32_t(vb) << s;
                }
            }
        best = uint32_t(bestError);
    }
    return best;
}

// The best endpoint pair (0x00RRGGBB each, on the 5-6-5 grid) for a mode.
// `set` holds the pixels the threshold lets count; the candidates keep the
// order of the pixels, which decides between pairs of equal error.
uint64_t ddsEncodeColourBlock(uint32_t* endpoints, const uint32_t* pixels, uint32_t mode, uint32_t threshold,
                              const ColourSet& set)
{
    uint32_t candidates[17];
    uint32_t n = 0;
    for (int i = 0; i < 16; ++i) {
        if ((pixels[i] >> 24) < threshold) continue;
        const uint32_t c = pixels[i] & 0xF8FCF8;
        if (std::find(candidates, candidates + n, c) == candidates + n) candidates[n++] = c;
    }
    if (n == 0) {
        candidates[n++] = 0;
        candidates[n++] = 0xF8FCF8;
    } else if (n == 1) {
        const uint32_t c = candidates[0];
        // A single colour on the 5-6-5 grid is stored exactly by itself.
        if (pairError(set, c, c, mode) == 0) {
            endpoints[0] = endpoints[1] = c;
            return 0;
        }
        uint32_t down = c, up = c;
        const uint32_t step[3] = {8, 4, 8}, limit[3] = {248, 252, 248};
        for (int k = 0; k < 3; ++k) {
            const int s = 8 * k;
            if (channel(c, s) >= step[k]) down -= step[k] << s;
            if (channel(c, s) < limit[k]) up += step[k] << s;
        }
        candidates[0] = down;
        candidates[n++] = up;
    }
    uint32_t ba = candidates[0], bb = candidates[1];
    const uint32_t best = mode == 4 ? refine<4>(set, searchPairs<4>(set, candidates, n, &ba, &bb), &ba, &bb)
                                    : refine<3>(set, searchPairs<3>(set, candidates, n, &ba, &bb), &ba, &bb);
    endpoints[0] = ba;
    endpoints[1] = bb;
    return best;
}

uint32_t to565(uint32_t c) { return (channel(c, 16) >> 3) << 11 | (channel(c, 8) >> 2) << 5 | channel(c, 0) >> 3; }

void putColourBlock(uint8_t* out, uint32_t c0, uint32_t c1, const uint8_t* indices)
{
    out[0] = uint8_t(c0), out[1] = uint8_t(c0 >> 8), out[2] = uint8_t(c1), out[3] = uint8_t(c1 >> 8);
    uint32_t bits = 0;
    for (int i = 0; i < 16; ++i) bits |= uint32_t(indices[i] & 3) << (2 * i);
    for (int i = 0; i < 4; ++i) out[4 + i] = uint8_t(bits >> (8 * i));
}

// Writes a block in one mode: the 5-6-5 endpoints ordered as the mode needs
// (c0 >= c1 for four colours, c0 <= c1 for three), each pixel its nearest
// entry; pixels under the threshold take index 3.
void writeInMode(uint8_t* out, const uint32_t* pixels, const uint32_t* endpoints, uint32_t mode, uint32_t threshold)
{
    uint32_t a = endpoints[0], b = endpoints[1];
    uint32_t ca = to565(a), cb = to565(b);
    if ((mode == 4 && ca < cb) || (mode == 3 && ca > cb)) std::swap(a, b), std::swap(ca, cb);
    uint8_t indices[16] = {};
    if (!(mode == 4 && ca == cb)) {
        uint32_t palette[4];
        const uint32_t count = ddsColourPalette(palette, a, b, mode);
        ddsColourBlockIndices(palette, count, pixels, 0, indices);
        for (int i = 0; i < 16; ++i)
            if ((pixels[i] >> 24) < threshold) indices[i] = 3;
    }
    putColourBlock(out, ca, cb, indices);
}

// The alpha palette of a pair: eight values, or six with 0 and 255.
void ddsAlphaPalette(uint32_t* palette, uint32_t a0, uint32_t a1, uint32_t mode)
{
    palette[0] = a0;
    palette[1] = a1;
    if (mode == 8) {
        for (uint32_t k = 1; k <= 6; ++k) palette[1 + k] = ((7 - k) * a0 + k * a1 + 3) / 7;
    } else {
        for (uint32_t k = 1; k <= 4; ++k) palette[1 + k] = ((5 - k) * a0 + k * a1 + 2) / 5;
        palette[6] = 0;
        palette[7] = 255;
    }
}

uint64_t ddsAlphaBlockIndices(const uint32_t* palette, const uint32_t* pixels, uint8_t* indices = nullptr)
{
    uint64_t error = 0;
    for (int i = 0; i < 16; ++i) {
        const int a = int(pixels[i] >> 24);
        uint32_t best = UINT32_MAX, which = 0;
        for (uint32_t k = 0; k < 8; ++k) {
            const uint32_t e = uint32_t((a - int(palette[k])) * (a - int(palette[k])));
            if (e < best) best = e, which = k;
        }
        error += best;
        if (indices) indices[i] = uint8_t(which);
    }
    return error;
}

// The weighted sum of each alpha's smallest squared distance to a palette,
// stopping once it reaches `limit`, which it cannot then beat.
float alphaError(const AlphaSet& set, const uint32_t* palette, float limit)
{
    float entries[8];
    for (int k = 0; k < 8; ++k) entries[k] = float(palette[k]);
    float error = 0;
    for (uint32_t g = 0; g < set.groups && error < limit; ++g) {
        const F4 x = lanes(set.value[0] + 4 * g);
        F4 nearest = squared(x - entries[0]);
        for (int k = 1; k < 8; ++k) nearest = lowest(nearest, squared(x - entries[k]));
        error += total(nearest * lanes(set.weight + 4 * g));
    }
    return error;
}

// n / 7 and n / 5 for every numerator of an alpha palette, as the float
// lanes compute them: by the reciprocal, truncated. (Lanes past the window's
// end reach a little further; their results are never used.)
constexpr bool reciprocalsAreExact()
{
    for (int n = 0; n <= 7 * 255 + 3; ++n)
        if (int(float(n) * (1.0f / 7)) != n / 7 || int(float(n) * (1.0f / 5)) != n / 5) return false;
    return true;
}
static_assert(reciprocalsAreExact());

inline F4 quotient(F4 n, float reciprocal)
{
    typedef int32_t I4 __attribute__((vector_size(16)));
    return __builtin_convertvector(__builtin_convertvector(n * reciprocal, I4), F4);
}

// The errors of the trials (va, vb + l), l = 0..3, with the palettes of
// ddsAlphaPalette, lane by lane. Once every lane has reached `limit` none can
// win, and the sums so far are returned.
F4 alphaErrors(const AlphaSet& set, int va, int vb, uint32_t mode, float limit)
{
    const F4 a = splat(float(va)), b = F4{float(vb), float(vb + 1), float(vb + 2), float(vb + 3)};
    F4 entries[8] = {a, b};
    if (mode == 8) {
        for (int k = 1; k <= 6; ++k) entries[1 + k] = quotient(float(7 - k) * a + float(k) * b + 3.0f, 1.0f / 7);
    } else {
        for (int k = 1; k <= 4; ++k) entries[1 + k] = quotient(float(5 - k) * a + float(k) * b + 2.0f, 1.0f / 5);
        entries[6] = splat(0);
        entries[7] = splat(255);
    }
    F4 errors = splat(0);
    for (uint32_t i = 0; i < set.count; ++i) {
        const float x = set.value[0][i];
        F4 nearest = squared(entries[0] - x);
        for (int k = 1; k < 8; ++k) nearest = lowest(nearest, squared(entries[k] - x));
        errors += nearest * set.weight[i];
        if (errors[0] >= limit && errors[1] >= limit && errors[2] >= limit && errors[3] >= limit) break;
    }
    return errors;
}

uint64_t ddsEncodeAlphaBlock(uint32_t* endpoints, const uint32_t* pixels, uint32_t mode, const AlphaSet& set)
{
    uint32_t candidates[18];
    uint32_t n = 0;
    for (int i = 0; i < 16; ++i) {
        const uint32_t a = pixels[i] >> 24;
        if (mode == 6 && (a == 0 || a == 255)) continue;
        if (std::find(candidates, candidates + n, a) == candidates + n) candidates[n++] = a;
    }
    if (n == 0) {
        candidates[n++] = mode == 6 ? 32 : 255;
        candidates[n++] = mode == 6 ? 223 : 0;
    } else if (n == 1) {
        candidates[n++] = candidates[0] == 128 ? 64 : 128;
    }
    uint32_t palette[8];
    float best = 1e9f;
    uint32_t ba = candidates[0], bb = candidates[1];
    for (uint32_t i = 0; i < n && best != 0; ++i)
        for (uint32_t j = i + 1; j < n && best != 0; ++j) {
            ddsAlphaPalette(palette, candidates[i], candidates[j], mode);
            const float e = alphaError(set, palette, best);
            if (e < best) best = e, ba = candidates[i], bb = candidates[j];
        }
    if (best != 0 && ba != bb) {
        const int reach = mode == 6 ? 21 : 16, low = mode == 6 ? 1 : 0, high = mode == 6 ? 254 : 255;
        const int a0 = int(ba), b0 = int(bb);
        const int firstB = std::max(low, b0 - reach), lastB = std::min(high, b0 + reach);
        for (int va = std::max(low, a0 - reach); va <= std::min(high, a0 + reach) && best != 0; ++va)
            for (int vb = firstB; vb <= lastB && best != 0; vb += 4) {
                // Four trials at once; taken in their order, each as if alone.
                const F4 errors = alphaErrors(set, va, vb, mode, best);
                for (int l = 0; l < 4 && vb + l <= lastB && best != 0; ++l)
                    if (errors[l] < best) best = errors[l], ba = uint32_t(va), bb = uint32_t(vb + l);
            }
    }
    endpoints[0] = ba;
    endpoints[1] = bb;
    return uint64_t(best);
}

} // namespace

void ddsDecodeColourBlock(const uint8_t* block, uint32_t* pixels, bool dxt1)
{
    const uint32_t c0 = loadU16le(block), c1 = loadU16le(block + 2);
    uint32_t colours[4] = {expand565(c0), expand565(c1), 0, 0};
    // Blocks that carry their alpha beside them have four colours whatever
    // the order of the endpoints: graphics hardware decodes them so.
    if (c0 > c1 || !dxt1) {
        colours[2] = mix(colours[0], colours[1], 2, 1, 1, 3);
        colours[3] = mix(colours[0], colours[1], 1, 2, 1, 3);
    } else {
        colours[2] = mix(colours[0], colours[1], 1, 1, 1, 2);
        colours[3] = 0;
    }
    const uint32_t bits = loadU32le(block + 4);
    for (int i = 0; i < 16; ++i) pixels[i] = colours[(bits >> (2 * i)) & 3];
}

void ddsDecodeAlphaBlock(const uint8_t* block, uint32_t* pixels)
{
    const uint32_t a0 = block[0], a1 = block[1];
    uint32_t values[8];
    ddsAlphaPalette(values, a0, a1, a0 > a1 ? 8 : 6);
    uint64_t bits = 0;
    for (int i = 0; i < 6; ++i) bits |= uint64_t(block[2 + i]) << (8 * i);
    for (int i = 0; i < 16; ++i) pixels[i] = (pixels[i] & 0xFFFFFF) | values[(bits >> (3 * i)) & 7] << 24;
}

void ddsWriteColourBlock(uint8_t* out, const uint32_t* pixels, bool dxt1)
{
    uint32_t endpoints[2];
    if (dxt1) {
        int transparent = 0;
        for (int i = 0; i < 16; ++i) transparent += (pixels[i] >> 24) < 64;
        if (transparent == 16) {
            const uint8_t clear[8] = {0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF};
            std::memcpy(out, clear, 8);
            return;
        }
        if (transparent) {
            ddsEncodeColourBlock(endpoints, pixels, 3, 64, colourSet(pixels, 64));
            writeInMode(out, pixels, endpoints, 3, 64);
            return;
        }
    }
    const ColourSet set = colourSet(pixels, 0);
    const uint64_t four = ddsEncodeColourBlock(endpoints, pixels, 4, 0, set);
    // Only DXT1 has a three-colour mode: beside an alpha block every reader
    // takes the block as four colours.
    if (four && dxt1) {
        uint32_t three[2];
        if (ddsEncodeColourBlock(three, pixels, 3, 0, set) < four) {
            writeInMode(out, pixels, three, 3, 0);
            return;
        }
    }
    writeInMode(out, pixels, endpoints, 4, 0);
}

void ddsWriteAlphaBlock(uint8_t* out, const uint32_t* pixels)
{
    bool extremes = false;
    for (int i = 0; i < 16; ++i) extremes |= (pixels[i] >> 24) == 0 || (pixels[i] >> 24) == 255;
    uint32_t six[2], eight[2];
    const AlphaSet set = alphaSet(pixels);
    const uint64_t sixError = ddsEncodeAlphaBlock(six, pixels, 6, set);
    uint32_t mode = 6, a0 = six[0], a1 = six[1];
    if (!extremes && ddsEncodeAlphaBlock(eight, pixels, 8, set) <= sixError) mode = 8, a0 = eight[0], a1 = eight[1];
    // Eight values are stored with a0 > a1, six with a0 <= a1.
    if ((mode == 8 && a0 < a1) || (mode == 6 && a0 > a1)) std::swap(a0, a1);
    uint32_t palette[8];
    ddsAlphaPalette(palette, a0, a1, a0 > a1 ? 8 : 6);
    uint8_t indices[16];
    ddsAlphaBlockIndices(palette, pixels, indices);
    uint64_t bits = 0;
    for (int i = 0; i < 16; ++i) bits |= uint64_t(indices[i]) << (3 * i);
    out[0] = uint8_t(a0);
    out[1] = uint8_t(a1);
    for (int i = 0; i < 6; ++i) out[2 + i] = uint8_t(bits >> (8 * i));
}

namespace {

// ---- writer ----

class DdsWriter final : public ImageWriter {
public:
    using ImageWriter::ImageWriter;

protected:
    ResultCode encode(Image* image, const char16_t* subFormatName, uint32_t colourFlag, uint32_t, int32_t, bool,
                      void*) override;

private:
    ResultCode put(const void* p, size_t n) { return failed(output.write(p, n)) ? RC_WRITE_FAILED : RC_OK; }
    ResultCode writeUncompressed(const Image* level, uint32_t bytesPerPixel);
    ResultCode writeBlocks(const Image* level, char kind);
};

uint32_t powerOfTwoAtLeast(uint32_t v)
{
    uint32_t p = 1;
    while (p < v) p <<= 1;
    return p;
}

uint32_t log2Of(uint32_t v)
{
    uint32_t n = 0;
    while (v > 1) v >>= 1, ++n;
    return n;
}

ResultCode DdsWriter::writeUncompressed(const Image* level, uint32_t bytesPerPixel)
{
    const uint64_t pitch = (uint64_t(bytesPerPixel) * level->width + 3) & ~uint64_t(3);
    AlignedBuffer<uint8_t> row;
    if (!row.allocate(pitch)) return RC_OUT_OF_MEMORY;
    for (uint32_t y = 0; y < level->height; ++y) {
        if (aborted(abort)) return RC_CANCELLED;
        std::memset(row.get(), 0, size_t(pitch));
        const Rgba8* in = level->row<Rgba8>(y);
        uint8_t* o = row.get();
        for (uint32_t x = 0; x < level->width; ++x) {
            const Rgba8 p = in[x];
            if (bytesPerPixel == 2) {
                const uint32_t v = (p.a >= 128 ? 0x8000u : 0) | uint32_t(p.r >> 3) << 10 | uint32_t(p.g >> 3) << 5 | (p.b >> 3);
                *o++ = uint8_t(v), *o++ = uint8_t(v >> 8);
            } else {
                *o++ = p.b, *o++ = p.g, *o++ = p.r;
                if (bytesPerPixel == 4) *o++ = p.a;
            }
        }
        if (failed(put(row.get(), size_t(pitch)))) return RC_WRITE_FAILED;
    }
    return RC_OK;
}

// One row of blocks of a level into `out`.
void encodeBlockRow(const Image* level, char kind, uint32_t by, uint8_t* out)
{
    const uint32_t across = (level->width + 3) / 4, blockBytes = kind == '1' ? 8 : 16;
    uint32_t px[16];
    for (uint32_t bx = 0; bx < across; ++bx, out += blockBytes) {
        // Past the last row or column the last one repeats.
        for (uint32_t j = 0; j < 4; ++j) {
            const Rgba8* in = level->row<Rgba8>(std::min(by * 4 + j, level->height - 1));
            for (uint32_t i = 0; i < 4; ++i) {
                const Rgba8 p = in[std::min(bx * 4 + i, level->width - 1)];
                px[j * 4 + i] = uint32_t(p.a) << 24 | uint32_t(p.r) << 16 | uint32_t(p.g) << 8 | p.b;
            }
        }
        if (kind == '1') {
            ddsWriteColourBlock(out, px, true);
            continue;
        }
        if (kind == '2' || kind == '3') {
            for (int i = 0; i < 8; ++i) out[i] = uint8_t((px[2 * i] >> 28) | ((px[2 * i + 1] >> 28) << 4));
        } else {
            ddsWriteAlphaBlock(out, px);
        }
        ddsWriteColourBlock(out + 8, px, false);
    }
}

// A block's search costs about as much as passing over its 64 bytes 64
// times: the measure of work that decides how many lanes a level gets.
constexpr uint64_t kBlockWork = 64 * 64;

// Every block depends on its own pixels only, so rows of blocks are searched
// on the task pool in any order, each lane taking the next row not yet
// taken, and the file's bytes are the same whatever the number of lanes.
ResultCode DdsWriter::writeBlocks(const Image* level, char kind)
{
    const uint32_t across = (level->width + 3) / 4, down = (level->height + 3) / 4;
    const uint64_t rowBytes = uint64_t(across) * (kind == '1' ? 8 : 16);
    AlignedBuffer<uint8_t> blocks;
    if (!blocks.allocate(rowBytes * down)) return RC_OUT_OF_MEMORY;
    std::atomic<uint32_t> next{0};
    const unsigned lanes = rowBandCount(down, across * kBlockWork);
    runRowBands(lanes, lanes, [&](unsigned, uint32_t, uint32_t) {
        for (uint32_t by; !aborted(abort) && (by = next.fetch_add(1, std::memory_order_relaxed)) < down;)
            encodeBlockRow(level, kind, by, blocks.get() + by * rowBytes);
    });
    if (aborted(abort)) return RC_CANCELLED;
    return put(blocks.get(), size_t(rowBytes * down));
}

ResultCode DdsWriter::encode(Image* image, const char16_t* subFormatName, uint32_t colourFlag, uint32_t, int32_t, bool,
                             void*)
{
    if (!image->rgba8View()) return RC_INVALID_PARAMETER;
    const std::u16string_view name = subFormatName && *subFormatName ? subFormatName : kDdsSubFormats[0];
    const bool mipMapped = name.find(u"(mip-mapped)") != std::u16string_view::npos;
    const bool blocks = name.substr(0, 3) == u"DXT";
    char kind = 0;
    uint32_t bytesPerPixel = 0, pfFlags = 0, bitCount = 0, masks[4] = {};
    if (blocks) {
        if (name.size() < 4 || name[3] < u'1' || name[3] > u'5') return RC_UNSUPPORTED_SUBFORMAT;
        kind = char(name[3]);
        pfFlags = kPfFourCc;
    } else if (colourFlag == CF_RGBA16) {
        bytesPerPixel = 2, bitCount = 16, pfFlags = kPfRgb | kPfAlpha;
        masks[0] = 0x7C00, masks[1] = 0x3E0, masks[2] = 0x1F, masks[3] = 0x8000;
    } else if (colourFlag == CF_RGB24) {
        bytesPerPixel = 3, bitCount = 24, pfFlags = kPfRgb;
        masks[0] = 0xFF0000, masks[1] = 0xFF00, masks[2] = 0xFF;
    } else if (colourFlag == CF_RGBA32) {
        bytesPerPixel = 4, bitCount = 32, pfFlags = kPfRgb | kPfAlpha;
        masks[0] = 0xFF0000, masks[1] = 0xFF00, masks[2] = 0xFF, masks[3] = 0xFF000000;
    } else {
        return RC_UNSUPPORTED_COLOUR_FORMAT;
    }
    if (image->width > (1u << 30) || image->height > (1u << 30)) return RC_INVALID_PARAMETER;
    const uint32_t W = powerOfTwoAtLeast(image->width), H = powerOfTwoAtLeast(image->height);
    const uint32_t levels = mipMapped ? std::max(log2Of(W), log2Of(H)) + 1 : 1;

    // The alpha the file stores, on a copy: the image is the caller's.
    const Image* source = image;
    Ref<Image> own;
    const bool wantPremultiplied = kind == '2' || kind == '4';
    const bool wantStraight = kind == '3' || kind == '5';
    if ((wantPremultiplied && image->alphaKind == ALPHA_STRAIGHT) ||
        (wantStraight && image->alphaKind == ALPHA_PREMULTIPLIED)) {
        own = Ref<Image>::adopt(imageConvertNew(image, false, false, PF_RGBA8));
        if (!own) return RC_OUT_OF_MEMORY;
        if (wantPremultiplied) imagePremultiplyAlpha(own.get());
        else imageUnpremultiplyAlpha(own.get(), false);
        source = own.get();
    }
    if (!blocks && image->alphaKind == ALPHA_PREMULTIPLIED && bytesPerPixel != 3) pfFlags |= kPfPremultiplied;

    uint8_t h[kFileHeader] = {};
    auto put32 = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) h[at + i] = uint8_t(v >> (8 * i));
    };
    std::memcpy(h, "DDS ", 4);
    put32(4, 124);
    put32(8, blocks ? 0x21007 | 0x80000 : 0x2100F);
    put32(12, H);
    put32(16, W);
    put32(20, blocks ? uint32_t(uint64_t((W + 3) / 4) * ((H + 3) / 4) * (kind == '1' ? 8 : 16))
                     : uint32_t((uint64_t(bytesPerPixel) * W + 3) & ~uint64_t(3)));
    put32(28, levels);
    put32(76, 32);
    put32(80, pfFlags);
    if (blocks) {
        const char fourCc[4] = {'D', 'X', 'T', kind};
        std::memcpy(h + 84, fourCc, 4);
    } else {
        put32(88, bitCount);
        for (int i = 0; i < 4; ++i) put32(92 + 4 * size_t(i), masks[i]);
    }
    put32(108, 0x401008);
    if (failed(put(h, sizeof h))) return RC_WRITE_FAILED;

    for (uint32_t k = 0; k < levels; ++k) {
        const uint32_t lw = std::max(1u, W >> k), lh = std::max(1u, H >> k);
        const Image* level = source;
        Ref<Image> made;
        if (!(k == 0 && lw == source->width && lh == source->height)) {
            made = Ref<Image>::adopt(imageCreate(PF_RGBA8, packSize(lw, lh)));
            if (!made) return RC_OUT_OF_MEMORY;
            const ResultCode rc = imageResample(made.get(), source, k == 0 ? RF_PREVIEW : RF_BILINEAR, abort);
            if (failed(rc)) return rc;
            level = made.get();
        }
        const ResultCode rc = blocks ? writeBlocks(level, kind) : writeUncompressed(level, bytesPerPixel);
        if (failed(rc)) return rc;
    }
    // A small file is still in the output's buffer: a full disk shows only now.
    return failed(output.flush()) ? RC_WRITE_FAILED : RC_OK;
}

} // namespace

ResultCode ddsProbe(MappedFile* file)
{
    return file && hasSignature(file->data(), file->size()) ? RC_OK : RC_UNKNOWN_FORMAT;
}

ImageReader* ddsReaderCreate(MappedFile* file, const FormatDescriptor* descriptor)
{
    return new (std::nothrow) DdsReader(file, descriptor);
}

ImageWriter* ddsWriterCreate(const std::filesystem::path& path, const FormatDescriptor* descriptor)
{
    return writerCreate<DdsWriter>(path, descriptor);
}

} // namespace quillon
