#include "core/quantize.h"

#include <algorithm>
#include <cstring>

#include "core/convert.h"
#include "platform/memory.h"

namespace quillon {

namespace {

constexpr uint32_t kCells = 64 * 64 * 64;
constexpr uint32_t kMaxBoxes = 256;

} // namespace

// Axes are red, green, blue (0, 1, 2) in cell units 0..63.
struct MedianCutBox {
    uint32_t lo[3], hi[3];    // current bounds, shrunk to the counted cells
    uint32_t rlo[3], rhi[3];  // the part of colour space the box owns
    uint32_t centroid[3];     // 0..255 scale (cell x 4)
    uint64_t count;
    uint32_t size;
};

namespace {

inline uint32_t cellOf(uint32_t r, uint32_t g, uint32_t b) { return (r << 12) | (g << 6) | b; }

inline void countCell(uint16_t* hist, uint32_t cell)
{
    if (hist[cell] != 0xFFFF) ++hist[cell];
}

// Bounds shrink to the planes that hold counted cells, and the centroid is
// the count-weighted mean. A box without counted cells keeps its bounds (it
// can never shrink past itself) and takes the middle as its centroid.
void shrinkBox(const uint16_t* hist, MedianCutBox& box)
{
    uint64_t marg[3][64] = {};
    for (uint32_t r = box.lo[0]; r <= box.hi[0]; ++r)
        for (uint32_t g = box.lo[1]; g <= box.hi[1]; ++g) {
            const uint16_t* line = hist + cellOf(r, g, 0);
            for (uint32_t b = box.lo[2]; b <= box.hi[2]; ++b) {
                uint32_t n = line[b];
                if (!n) continue;
                marg[0][r] += n;
                marg[1][g] += n;
                marg[2][b] += n;
            }
        }
    uint64_t total = 0;
    for (uint32_t v = box.lo[0]; v <= box.hi[0]; ++v) total += marg[0][v];
    if (total == 0) {
        for (int a = 0; a < 3; ++a) box.centroid[a] = ((box.lo[a] + box.hi[a]) / 2) * 4;
        box.count = 1;
    } else {
        for (int a = 0; a < 3; ++a) {
            while (box.lo[a] < box.hi[a] && marg[a][box.lo[a]] == 0) ++box.lo[a];
            while (box.hi[a] > box.lo[a] && marg[a][box.hi[a]] == 0) --box.hi[a];
            uint64_t sum = 0;
            for (uint32_t v = box.lo[a]; v <= box.hi[a]; ++v) sum += marg[a][v] * v;
            box.centroid[a] = uint32_t((sum * 4 + total / 2) / total);
        }
        box.count = total;
    }
    uint32_t s = 0;
    for (int a = 0; a < 3; ++a) s += (box.hi[a] - box.lo[a]) * (box.hi[a] - box.lo[a]);
    box.size = s;
}

// Runs the median cut; returns the number of boxes.
uint32_t medianCutSplit(const uint16_t* hist, MedianCutBox* boxes, uint32_t target)
{
    if (target < 1) target = 1;
    if (target > kMaxBoxes) target = kMaxBoxes;
    MedianCutBox& first = boxes[0];
    for (int a = 0; a < 3; ++a) {
        first.lo[a] = first.rlo[a] = 0;
        first.hi[a] = first.rhi[a] = 63;
    }
    shrinkBox(hist, first);
    uint32_t count = 1;
    auto byCount = [&]() -> int {
        int best = -1;
        for (uint32_t i = 0; i < count; ++i)
            if (boxes[i].size > 0 && boxes[i].count > 1 && (best < 0 || boxes[i].count > boxes[best].count)) best = int(i);
        return best;
    };
    // A box of non-zero size has counted cells at both ends of some axis, so
    // its pixels never all lie in its centroid's cell.
    auto bySize = [&]() -> int {
        int best = -1;
        for (uint32_t i = 0; i < count; ++i)
            if (boxes[i].count > 1 && boxes[i].size > 0 && (best < 0 || boxes[i].size > boxes[best].size)) best = int(i);
        return best;
    };
    while (count < target) {
        int pick = count < target / 2 ? byCount() : bySize();
        if (pick < 0) pick = count < target / 2 ? bySize() : byCount();
        if (pick < 0) break;
        MedianCutBox& box = boxes[pick];
        uint32_t c[3], dist[3];
        for (int a = 0; a < 3; ++a) {
            c[a] = std::clamp((box.centroid[a] + 2) >> 2, box.lo[a], box.hi[a]);
            dist[a] = std::min(c[a] - box.lo[a], box.hi[a] - c[a]);
        }
        int axis;
        if (dist[0] >= dist[1] && dist[0] >= dist[2] && box.lo[0] < box.hi[0]) axis = 0;
        else if (dist[1] >= dist[2] && box.lo[1] < box.hi[1]) axis = 1;
        else if (box.lo[2] < box.hi[2]) axis = 2;
        else axis = box.lo[0] < box.hi[0] ? 0 : 1;
        uint32_t split = c[axis];
        if (split == box.hi[axis]) --split;
        MedianCutBox& nb = boxes[count];
        nb = box;
        nb.lo[axis] = nb.rlo[axis] = split + 1;
        nb.hi[axis] = box.hi[axis];
        nb.rhi[axis] = box.rhi[axis];
        box.hi[axis] = box.rhi[axis] = split;
        shrinkBox(hist, box);
        shrinkBox(hist, nb);
        ++count;
    }
    return count;
}

void fillRegion(uint8_t* table, const MedianCutBox& box, uint8_t index)
{
    for (uint32_t r = box.rlo[0]; r <= box.rhi[0]; ++r)
        for (uint32_t g = box.rlo[1]; g <= box.rhi[1]; ++g)
            std::memset(table + cellOf(r, g, box.rlo[2]), index, box.rhi[2] - box.rlo[2] + 1);
}

uint32_t entryCell(uint32_t e) { return histogramCell((e >> 16) & 0xFF, (e >> 8) & 0xFF, e & 0xFF); }

uint8_t nearestEntry(const uint32_t* pal, const bool* usable, uint32_t n, int r, int g, int b)
{
    uint32_t best = 0, bestD = 0xFFFFFFFF;
    for (uint32_t i = 0; i < n; ++i) {
        if (!usable[i]) continue;
        int dr = int((pal[i] >> 16) & 0xFF) - r, dg = int((pal[i] >> 8) & 0xFF) - g, db = int(pal[i] & 0xFF) - b;
        uint32_t d = uint32_t(dr * dr + dg * dg + db * db);
        if (d < bestD) {
            bestD = d;
            best = i;
        }
    }
    return uint8_t(best);
}

// The 256-entry fixed table: the first eight of the 16 colours, the 6-level
// cube without 00FF33, 33FF00, FF0033 and FF3300, 22 further greys between
// the cube's levels, six pale and mid tones, and the last eight of the 16.
struct FixedTables {
    uint32_t c16[16] = {0x000000, 0x000080, 0x008000, 0x008080, 0x800000, 0x800080, 0x808000, 0xC0C0C0,
                        0x808080, 0x0000FF, 0x00FF00, 0x00FFFF, 0xFF0000, 0xFF00FF, 0xFFFF00, 0xFFFFFF};
    uint32_t c256[256] = {};
    FixedTables()
    {
        uint32_t n = 0;
        for (int i = 0; i < 8; ++i) c256[n++] = c16[i];
        static const uint32_t level[6] = {0x00, 0x33, 0x66, 0x99, 0xCC, 0xFF};
        for (int r = 0; r < 6; ++r)
            for (int g = 0; g < 6; ++g)
                for (int b = 0; b < 6; ++b) {
                    uint32_t v = (level[r] << 16) | (level[g] << 8) | level[b];
                    if (v == 0x00FF33 || v == 0x33FF00 || v == 0xFF0033 || v == 0xFF3300) continue;
                    c256[n++] = v;
                }
        // 22 greys in steps of 11 levels, none equal to a grey above.
        for (uint32_t i = 0; i < 22; ++i) c256[n++] = (0x08 + i * 0x0B) * 0x010101u;
        static const uint32_t extra[6] = {0xC0DCC0, 0xA6CAF0, 0xFFFBF0, 0xA0A0A4, 0x804000, 0x0080FF};
        for (uint32_t e : extra) c256[n++] = e;
        for (int i = 8; i < 16; ++i) c256[n++] = c16[i];
        for (uint32_t i = 0; i < 256; ++i) c256[i] |= 0xFF000000u;
    }
};

const FixedTables& fixedTables()
{
    static const FixedTables t;
    return t;
}

} // namespace

uint32_t paletteFixed(uint32_t* entries, uint32_t count)
{
    const FixedTables& t = fixedTables();
    if (count < 3) {
        entries[0] = 0xFF000000;
        entries[1] = 0xFFFFFFFF;
        return 2;
    }
    if (count < 16) {
        static const uint32_t grey4[4] = {0xFF000000, 0xFF555555, 0xFFAAAAAA, 0xFFFFFFFF};
        std::memcpy(entries, grey4, sizeof grey4);
        return 4;
    }
    if (count < 256) {
        for (int i = 0; i < 16; ++i) entries[i] = t.c16[i] | 0xFF000000u;
        return 16;
    }
    std::memcpy(entries, t.c256, sizeof t.c256);
    return 256;
}

// ---- builder ----

SharedPaletteBuilder::SharedPaletteBuilder(uint32_t colourCount)
{
    targetCount = std::clamp<uint32_t>(colourCount, 2, 256);
    histogram = static_cast<uint16_t*>(alignedAllocZero(uint64_t(kCells) * 2));
    boxes = static_cast<MedianCutBox*>(alignedAlloc(sizeof(MedianCutBox) * kMaxBoxes));
    if (!boxes) {
        alignedFree(histogram);
        histogram = nullptr;
    }
}

SharedPaletteBuilder::~SharedPaletteBuilder()
{
    alignedFree(histogram);
    alignedFree(boxes);
}

void histogramAddRgba8(SharedPaletteBuilder* builder, const Rgba8* pixels, uint64_t size, uint32_t rowPixels)
{
    if (!builder || !builder->valid() || !pixels) return;
    const uint32_t w = sizeWidth(size), h = sizeHeight(size);
    uint16_t* hist = builder->histogram;
    for (uint32_t y = 0; y < h; ++y) {
        const Rgba8* p = pixels + size_t(y) * rowPixels;
        for (uint32_t x = 0; x < w; ++x) {
            if (p[x].a == 0) {
                builder->hasTransparent = 1;
                continue;
            }
            countCell(hist, histogramCell(p[x].r, p[x].g, p[x].b));
        }
    }
}

void histogramAddIndexed(SharedPaletteBuilder* builder, const uint8_t* indices, const uint32_t* palette, uint64_t size,
                         uint32_t rowPixels)
{
    if (!builder || !builder->valid() || !indices || !palette) return;
    const uint32_t w = sizeWidth(size), h = sizeHeight(size);
    uint32_t cell[256];
    for (int i = 0; i < 256; ++i) cell[i] = entryCell(palette[i]);
    uint16_t* hist = builder->histogram;
    for (uint32_t y = 0; y < h; ++y) {
        const uint8_t* p = indices + size_t(y) * rowPixels;
        for (uint32_t x = 0; x < w; ++x) {
            if ((palette[p[x]] >> 24) == 0) {
                builder->hasTransparent = 1;
                continue;
            }
            countCell(hist, cell[p[x]]);
        }
    }
}

void sharedPaletteAddImage(SharedPaletteBuilder* builder, const Image* image)
{
    if (!builder || !builder->valid()) return;
    uint32_t ramp[256];
    fillGreyRamp(ramp);
    for (const Image* f = image; f; f = f->next()) {
        switch (f->pixelFormat) {
        case PF_RGBA8: histogramAddRgba8(builder, f->row<Rgba8>(0), f->size(), f->rowPixels()); break;
        case PF_INDEXED8: histogramAddIndexed(builder, f->row<uint8_t>(0), f->palette(), f->size(), f->rowPixels()); break;
        case PF_GRAY8: histogramAddIndexed(builder, f->row<uint8_t>(0), ramp, f->size(), f->rowPixels()); break;
        case PF_GRAY16:
        case PF_GRAY_FLOAT: {
            Ref<Image> g = Ref<Image>::adopt(imageConvertNew(f, false, false, PF_GRAY8));
            if (g) histogramAddIndexed(builder, g->row<uint8_t>(0), ramp, g->size(), g->rowPixels());
            break;
        }
        case PF_RGBA16:
        case PF_RGBA_FLOAT: {
            Ref<Image> c = Ref<Image>::adopt(imageCreate(PF_RGBA8, f->size()));
            if (c && succeeded(imageConvertToRgba8(c.get(), f, false)))
                histogramAddRgba8(builder, c->row<Rgba8>(0), c->size(), c->rowPixels());
            break;
        }
        default: break;
        }
    }
}

namespace {

// Scales a centroid on the cell grid (0..252) to the full byte range, so the
// top cell gives 255 and white stays white.
inline uint32_t fullRange(uint32_t centroid) { return (std::min<uint32_t>(centroid, 252) * 255 + 126) / 252; }

} // namespace

ResultCode sharedPaletteBuild(SharedPaletteBuilder* builder, uint32_t* palette, uint32_t* countOut)
{
    if (!builder || !palette) return RC_INVALID_PARAMETER;
    if (!builder->valid()) return RC_OUT_OF_MEMORY;
    const uint32_t reserved = builder->hasTransparent ? 1 : 0;
    uint32_t target = builder->targetCount - reserved;
    builder->boxCount = medianCutSplit(builder->histogram, builder->boxes, target);
    uint32_t n = 0;
    if (reserved) palette[n++] = 0x00000000;
    for (uint32_t i = 0; i < builder->boxCount; ++i) {
        const MedianCutBox& b = builder->boxes[i];
        palette[n++] = 0xFF000000u | (fullRange(b.centroid[0]) << 16) | (fullRange(b.centroid[1]) << 8) |
                       fullRange(b.centroid[2]);
    }
    for (uint32_t i = n; i < 256; ++i) palette[i] = 0;
    if (countOut) *countOut = n;
    return RC_OK;
}

// ---- quantisation ----

namespace {

// The working source: 8-bit colour pixels, or indices with a palette.
struct Source {
    const Image* rgba = nullptr;
    const Image* indexed = nullptr; // PF_INDEXED8 or PF_GRAY8
    const uint32_t* palette = nullptr;
};

inline int32_t limitError(int32_t e)
{
    if (e < -8) e = e < -24 ? -16 : (e >> 1) - 4;
    else if (e > 8) e = e > 24 ? 16 : (e >> 1) + 4;
    return e;
}

// Serpentine error diffusion through the cell table. Flat areas in the
// palette, and transparent pixels, pass no error on.
bool mapDithered(Image* dst, const Source& s, const uint8_t* table, const uint32_t* pal)
{
    const uint32_t w = dst->width, h = dst->height;
    AlignedBuffer<int32_t> errors((uint64_t(w) + 2) * 3, true);
    if (!errors) return false;
    int32_t* buf = errors.get();
    auto colourAt = [&](uint32_t x, uint32_t y) -> uint32_t {
        if (s.rgba) return s.rgba->row<uint32_t>(y)[x];
        return s.palette[s.indexed->row<uint8_t>(y)[x]];
    };
    auto keyAt = [&](uint32_t x, uint32_t y) -> uint32_t {
        if (s.rgba) return s.rgba->row<uint32_t>(y)[x];
        return s.indexed->row<uint8_t>(y)[x];
    };
    for (uint32_t y = 0; y < h; ++y) {
        const bool forward = (y & 1) == 0;
        const int64_t d = forward ? 1 : -1;
        int64_t x = forward ? 0 : int64_t(w) - 1;
        uint8_t* out = dst->row<uint8_t>(y);
        int32_t carry[3] = {}, pend[3] = {}, prevR[3] = {};
        for (uint32_t i = 0; i < w; ++i, x += d) {
            const uint32_t ux = uint32_t(x);
            const uint32_t colour = colourAt(ux, y);
            int32_t r[3] = {0, 0, 0};
            const int32_t ch[3] = {int32_t((colour >> 16) & 0xFF), int32_t((colour >> 8) & 0xFF), int32_t(colour & 0xFF)};
            if ((colour >> 24) == 0) {
                out[ux] = 0;
            } else {
                const uint8_t own = table[histogramCell(ch[0], ch[1], ch[2])];
                bool flat = false;
                if (((pal[own] ^ colour) & 0xFFFFFF) == 0) {
                    const uint32_t key = keyAt(ux, y);
                    int same = 0;
                    same += ux == 0 || keyAt(ux - 1, y) == key;
                    same += ux + 1 >= w || keyAt(ux + 1, y) == key;
                    same += y == 0 || keyAt(ux, y - 1) == key;
                    same += y + 1 >= h || keyAt(ux, y + 1) == key;
                    flat = same >= 2;
                }
                if (flat) {
                    out[ux] = own;
                } else {
                    int32_t adj[3];
                    for (int c = 0; c < 3; ++c) {
                        int32_t e = (limitError((buf[(x + 1) * 3 + c] + carry[c] + 8) >> 4));
                        adj[c] = std::clamp(ch[c] + e, 0, 255);
                    }
                    const uint8_t idx = table[histogramCell(adj[0], adj[1], adj[2])];
                    out[ux] = idx;
                    const uint32_t e = pal[idx];
                    r[0] = adj[0] - int32_t((e >> 16) & 0xFF);
                    r[1] = adj[1] - int32_t((e >> 8) & 0xFF);
                    r[2] = adj[2] - int32_t(e & 0xFF);
                }
            }
            for (int c = 0; c < 3; ++c) {
                carry[c] = 7 * r[c];
                buf[(x + 1 - d) * 3 + c] = pend[c] + 3 * r[c];
                pend[c] = prevR[c] + 5 * r[c];
                prevR[c] = r[c];
            }
        }
        if (w) {
            x -= d;
            for (int c = 0; c < 3; ++c) {
                buf[(x + 1) * 3 + c] = pend[c];
                buf[(x + 1 + d) * 3 + c] = prevR[c];
            }
        }
    }
    return true;
}

void mapPlain(Image* dst, const Source& s, const uint8_t* table)
{
    const uint32_t w = dst->width, h = dst->height;
    if (s.rgba) {
        for (uint32_t y = 0; y < h; ++y) {
            const Rgba8* p = s.rgba->row<Rgba8>(y);
            uint8_t* out = dst->row<uint8_t>(y);
            for (uint32_t x = 0; x < w; ++x)
                out[x] = p[x].a == 0 ? 0 : table[histogramCell(p[x].r, p[x].g, p[x].b)];
        }
        return;
    }
    uint8_t map[256];
    for (int i = 0; i < 256; ++i) map[i] = (s.palette[i] >> 24) == 0 ? 0 : table[entryCell(s.palette[i])];
    for (uint32_t y = 0; y < h; ++y) {
        const uint8_t* p = s.indexed->row<uint8_t>(y);
        uint8_t* out = dst->row<uint8_t>(y);
        for (uint32_t x = 0; x < w; ++x) out[x] = map[p[x]];
    }
}

} // namespace

ResultCode imageQuantize(Image* dst, const Image* src, const QuantizeOptions& options)
{
    if (!dst || !src || !dst->indexedView() || dst->width != src->width || dst->height != src->height)
        return RC_INVALID_PARAMETER;
    if (options.colourCount < 2 || options.colourCount > 256) return RC_INVALID_PARAMETER;
    if (src->pixelFormat > PF_INDEXED8 || !src->pixels()) return RC_UNSUPPORTED_COLOUR_FORMAT;
    if (dst == src) {
        // Reducing an indexed image into itself: the mapping would overwrite
        // indices it has yet to read, so it works from a copy.
        Ref<Image> copy = Ref<Image>::adopt(imageCreate(PF_INDEXED8, src->size()));
        if (!copy || failed(imageCopySame(copy.get(), src))) return RC_OUT_OF_MEMORY;
        return imageQuantize(dst, copy.get(), options);
    }
    const bool paletteOption = options.useFixedPalette || options.useGivenPalette;
    if (options.useGivenPalette && !options.useFixedPalette && !options.palette) return RC_INVALID_PARAMETER;
    uint32_t ramp[256];
    fillGreyRamp(ramp);

    if (options.colourCount == 256 && !paletteOption) {
        if (src->pixelFormat == PF_INDEXED8) return imageCopySame(dst, src);
        if (src->pixelFormat == PF_GRAY8) {
            // Shown as indexed through a grey ramp of our own: the source is
            // never switched, since others may be reading it.
            const size_t n = src->width;
            for (uint32_t y = 0; y < src->height; ++y) std::memcpy(dst->row<uint8_t>(y), src->row<uint8_t>(y), n);
            dst->indexedView()->setPalette(ramp, 256);
            imageCopyInfo(dst, src);
            dst->alphaKind = src->alphaKind;
            return RC_OK;
        }
    }

    Ref<Image> temp;
    Source s;
    switch (src->pixelFormat) {
    case PF_RGBA8: s.rgba = src; break;
    case PF_RGBA16:
    case PF_RGBA_FLOAT:
        temp = Ref<Image>::adopt(imageCreate(PF_RGBA8, src->size()));
        if (!temp || failed(imageConvertToRgba8(temp.get(), src, false))) return RC_OUT_OF_MEMORY;
        s.rgba = temp.get();
        break;
    case PF_GRAY16:
    case PF_GRAY_FLOAT:
        temp = Ref<Image>::adopt(imageCreate(PF_GRAY8, src->size()));
        if (!temp || failed(imageConvertToGray8(temp.get(), src, false, false))) return RC_OUT_OF_MEMORY;
        s.indexed = temp.get();
        s.palette = ramp;
        break;
    case PF_GRAY8:
        s.indexed = src;
        s.palette = ramp;
        break;
    default:
        s.indexed = src;
        s.palette = src->palette();
        break;
    }

    SharedPaletteBuilder hist(options.colourCount);
    AlignedBuffer<uint8_t> table(kCells);
    if (!hist.valid() || !table) return RC_OUT_OF_MEMORY;
    uint32_t* pal = dst->palette();
    uint32_t entries[256] = {};
    uint32_t used = 0;

    if (paletteOption) {
        if (options.useFixedPalette) {
            used = paletteFixed(entries, options.colourCount);
        } else {
            // Only the entries a shared-palette build really filled; the
            // rest of the block may be stale.
            used = options.givenCount ? std::min(options.givenCount, options.colourCount) : options.colourCount;
            std::memcpy(entries, options.palette, used * 4);
        }
        bool usable[256] = {};
        for (uint32_t i = 0; i < used; ++i) {
            if ((entries[i] >> 24) == 0) continue;
            usable[i] = true;
            countCell(hist.histogram, entryCell(entries[i]));
        }
        uint32_t boxes = medianCutSplit(hist.histogram, hist.boxes, used);
        // Each opaque entry claims the region of the box whose centroid lies
        // in its own cell; the first entry of a cell wins.
        AlignedBuffer<uint8_t> claimed(kCells, true);
        if (!claimed) return RC_OUT_OF_MEMORY;
        for (uint32_t i = 0; i < used; ++i) {
            if (!usable[i]) continue;
            const uint32_t cell = entryCell(entries[i]);
            for (uint32_t k = 0; k < boxes; ++k) {
                const MedianCutBox& b = hist.boxes[k];
                uint32_t cc = histogramCell(std::min<uint32_t>(b.centroid[0], 255), std::min<uint32_t>(b.centroid[1], 255),
                                            std::min<uint32_t>(b.centroid[2], 255));
                if (cc != cell || claimed[cell]) continue;
                for (uint32_t r = b.rlo[0]; r <= b.rhi[0]; ++r)
                    for (uint32_t g = b.rlo[1]; g <= b.rhi[1]; ++g)
                        for (uint32_t bl = b.rlo[2]; bl <= b.rhi[2]; ++bl) {
                            uint32_t at = cellOf(r, g, bl);
                            if (!claimed[at]) {
                                claimed[at] = 1;
                                table[at] = uint8_t(i);
                            }
                        }
                break;
            }
        }
        // Cells no entry claimed go to the nearest usable entry, never to
        // an index the palette does not have.
        bool any = false;
        for (uint32_t i = 0; i < used; ++i) any |= usable[i];
        for (uint32_t cell = 0; cell < kCells; ++cell) {
            if (claimed[cell]) continue;
            table[cell] = any ? nearestEntry(entries, usable, used, int((cell >> 12) * 4 + 2), int(((cell >> 6) & 63) * 4 + 2),
                                             int((cell & 63) * 4 + 2))
                              : 0;
        }
    } else {
        if (s.rgba) histogramAddRgba8(&hist, s.rgba->row<Rgba8>(0), s.rgba->size(), s.rgba->rowPixels());
        else histogramAddIndexed(&hist, s.indexed->row<uint8_t>(0), s.palette, s.indexed->size(), s.indexed->rowPixels());
        const uint32_t reserved = hist.hasTransparent ? 1 : 0;
        const uint32_t boxes = medianCutSplit(hist.histogram, hist.boxes, options.colourCount - reserved);
        for (uint32_t k = 0; k < boxes; ++k) fillRegion(table.get(), hist.boxes[k], uint8_t(k + reserved));
        used = boxes + reserved;
        // Exact means of the pixels each entry stands for, in 64 bits: one
        // colour can cover far more than 2^24 pixels.
        uint64_t sum[256][3] = {}, cnt[256] = {};
        auto add = [&](uint32_t colour) {
            if ((colour >> 24) == 0) return;
            uint8_t idx = table[entryCell(colour)];
            sum[idx][0] += (colour >> 16) & 0xFF;
            sum[idx][1] += (colour >> 8) & 0xFF;
            sum[idx][2] += colour & 0xFF;
            ++cnt[idx];
        };
        if (s.rgba) {
            for (uint32_t y = 0; y < src->height; ++y) {
                const uint32_t* p = s.rgba->row<uint32_t>(y);
                for (uint32_t x = 0; x < src->width; ++x) add(p[x]);
            }
        } else {
            uint64_t perIndex[256] = {};
            for (uint32_t y = 0; y < src->height; ++y) {
                const uint8_t* p = s.indexed->row<uint8_t>(y);
                for (uint32_t x = 0; x < src->width; ++x) ++perIndex[p[x]];
            }
            for (int i = 0; i < 256; ++i) {
                const uint32_t colour = s.palette[i];
                if (!perIndex[i] || (colour >> 24) == 0) continue;
                uint8_t idx = table[entryCell(colour)];
                sum[idx][0] += perIndex[i] * ((colour >> 16) & 0xFF);
                sum[idx][1] += perIndex[i] * ((colour >> 8) & 0xFF);
                sum[idx][2] += perIndex[i] * (colour & 0xFF);
                cnt[idx] += perIndex[i];
            }
        }
        if (reserved) entries[0] = 0x00000000;
        for (uint32_t k = 0; k < boxes; ++k) {
            const uint32_t idx = k + reserved;
            uint32_t c[3];
            for (int a = 0; a < 3; ++a)
                c[a] = cnt[idx] ? uint32_t((sum[idx][a] + cnt[idx] / 2) / cnt[idx]) : std::min<uint32_t>(hist.boxes[k].centroid[a], 255);
            entries[idx] = 0xFF000000u | (c[0] << 16) | (c[1] << 8) | c[2];
        }
    }

    std::memcpy(pal, entries, sizeof entries);
    if (options.dither) {
        if (!mapDithered(dst, s, table.get(), pal)) return RC_OUT_OF_MEMORY;
    } else {
        mapPlain(dst, s, table.get());
    }
    dst->indexedView()->paletteChanged();
    imageCopyInfo(dst, src);
    dst->alphaKind = src->alphaKind;
    return RC_OK;
}

} // namespace quillon
