#include "core/image_writer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#include "core/convert.h"
#include "core/quantize.h"
#include "core/quantize_options.h"
#include "platform/memory.h"

namespace quillon {

namespace {

constexpr uint32_t kAlphaOnly = 0x80000000u;  // marks a preference that counts only with alpha

const uint32_t kPrefRgba8[] = {CF_RGBA32 | kAlphaOnly,     CF_RGB24,     CF_RGBA32,
                               CF_RGBA64 | kAlphaOnly,     CF_RGB48,     CF_RGBA64,
                               CF_RGBA_FLOAT | kAlphaOnly, CF_RGB_FLOAT, CF_RGBA_FLOAT,
                               CF_256_COLOURS,             0};
const uint32_t kPrefRgba16[] = {CF_RGBA64 | kAlphaOnly,     CF_RGB48,     CF_RGBA64,
                                CF_RGBA_FLOAT | kAlphaOnly, CF_RGB_FLOAT, CF_RGBA_FLOAT,
                                CF_RGBA32 | kAlphaOnly,     CF_RGB24,     CF_RGBA32,
                                CF_256_COLOURS,             0};
const uint32_t kPrefRgbaF[] = {CF_RGBA_FLOAT | kAlphaOnly, CF_RGB_FLOAT, CF_RGBA_FLOAT,
                               CF_RGBA64 | kAlphaOnly,     CF_RGB48,     CF_RGBA64,
                               CF_RGBA32 | kAlphaOnly,     CF_RGB24,     CF_RGBA32,
                               CF_256_COLOURS,             0};
const uint32_t kPrefGray8[] = {CF_GRAY8,      CF_256_COLOURS, CF_GRAY16,     CF_RGB24, CF_RGBA32,
                               CF_GRAY_FLOAT, CF_RGB_FLOAT,   CF_RGBA_FLOAT, 0};
const uint32_t kPrefGray16[] = {CF_GRAY16, CF_RGB48,       CF_RGBA64, CF_GRAY_FLOAT, CF_RGB_FLOAT, CF_RGBA_FLOAT,
                                CF_GRAY8,  CF_256_COLOURS, CF_RGB24,  CF_RGBA32,     0};
const uint32_t kPrefGrayF[] = {CF_GRAY_FLOAT, CF_RGB_FLOAT,   CF_RGBA_FLOAT, CF_GRAY16, CF_RGB48, CF_RGBA64,
                               CF_GRAY8,      CF_256_COLOURS, CF_RGB24,      CF_RGBA32, 0};
// The RGBA8 list without its final 256-colour entry, for palettes too rich
// for any allowed palette depth.
const uint32_t kPrefIndexedRest[] = {CF_RGBA32 | kAlphaOnly,     CF_RGB24,     CF_RGBA32,
                                     CF_RGBA64 | kAlphaOnly,     CF_RGB48,     CF_RGBA64,
                                     CF_RGBA_FLOAT | kAlphaOnly, CF_RGB_FLOAT, CF_RGBA_FLOAT,
                                     0};

uint32_t highestBit(uint32_t caps) { return caps ? 1u << (31 - __builtin_clz(caps)) : 0; }

uint32_t choose(const uint32_t* list, uint32_t caps, bool hasAlpha)
{
    for (; *list; ++list) {
        uint32_t flag = *list & ~kAlphaOnly;
        if ((*list & kAlphaOnly) && !hasAlpha) continue;
        if (caps & flag) return flag;
    }
    return highestBit(caps);
}

uint32_t bitsFor(uint32_t highest)
{
    uint32_t b = 1;
    while (b < 8 && (1u << b) <= highest) ++b;
    return b;
}


bool firstEntriesInFixed(const Image* image, uint32_t n)
{
    const uint32_t* pal = image->palette();
    if (!pal) return false;
    uint32_t fixed[256];
    uint32_t count = paletteFixed(fixed, n);
    for (uint32_t i = 0; i < n; ++i) {
        uint32_t e = pal[i] | 0xFF000000u;
        bool found = false;
        for (uint32_t k = 0; k < count && !found; ++k) found = (fixed[k] | 0xFF000000u) == e;
        if (!found) return false;
    }
    return true;
}

// True when every frame that is written has the view the flag needs.
template <class HasView>
bool chainHas(Image* image, bool allFrames, HasView has)
{
    for (Image* f = image; f; f = allFrames ? f->next() : nullptr)
        if (!has(f)) return false;
    return true;
}

Image* copyChain(Image* image, bool allFrames, PixelFormat format)
{
    Image* c = imageConvertNew(image, allFrames, false, format);
    if (c && allFrames) {
        // The copy's frames come from the converter; the first frame's
        // information and alpha kind too.
        for (Image *s = image, *d = c; s && d; s = s->next(), d = d->next()) {
            d->alphaKind = s->alphaKind;
            imageCopyInfo(d, s);
        }
    } else if (c) {
        c->alphaKind = image->alphaKind;
        imageCopyInfo(c, image);
    }
    return c;
}

float linearise(float v) { return v <= 0.04045f ? v / 12.92f : std::pow((v + 0.055f) / 1.055f, 2.4f); }

// Palette reduction of every frame with a private copy of the switches, so
// the process-wide record is never changed under anyone's feet.
Image* quantizeChain(Image* image, bool allFrames, const QuantizeOptions& options)
{
    Image* head = nullptr;
    Image* tail = nullptr;
    for (Image* f = image; f; f = allFrames ? f->next() : nullptr) {
        Image* q = imageCreate(PF_INDEXED8, f->size());
        if (!q || failed(imageQuantize(q, f, options))) {
            objectRelease(q);
            objectRelease(head);
            return nullptr;
        }
        frameInfoCopyData(q->frameInfo, f->frameInfo);
        q->alphaKind = f->alphaKind;
        imageCopyInfo(q, f);
        if (tail) {
            tail->frameInfo.next = q;
            q->frameInfo.prev = tail;
        } else {
            head = q;
        }
        tail = q;
    }
    return head;
}

// Serpentine error diffusion to 5 bits per channel. With keepAlpha (the
// 16-bit format's alpha bit) transparent pixels keep their transparency;
// otherwise they become the background colour and everything is opaque.
Image* ditherHighColour(Image* image, bool allFrames, bool keepAlpha)
{
    Image* head = nullptr;
    Image* tail = nullptr;
    for (Image* f = image; f; f = allFrames ? f->next() : nullptr) {
        uint32_t w = f->width, h = f->height;
        Image* d = imageCreate(PF_RGBA8, f->size());
        AlignedBuffer<int32_t> err;
        uint64_t cells = (uint64_t(w) + 2) * 2 * 3;
        if (!d || !err.allocate(cells, true)) {
            objectRelease(d);
            objectRelease(head);
            return nullptr;
        }
        uint32_t bg = f->frameInfo.backgroundColour & 0xF8F8F8;
        int32_t* cur = err.get();
        int32_t* nxt = err.get() + (uint64_t(w) + 2) * 3;
        for (uint32_t y = 0; y < h; ++y) {
            const Rgba8* s = f->row<Rgba8>(y);
            Rgba8* o = d->row<Rgba8>(y);
            std::memset(nxt, 0, size_t(w + 2) * 3 * sizeof(int32_t));
            bool ltr = (y & 1) == 0;
            for (uint32_t i = 0; i < w; ++i) {
                uint32_t x = ltr ? i : w - 1 - i;
                int32_t* e = cur + (x + 1) * 3;
                if (s[x].a == 0) {
                    if (keepAlpha) {
                        o[x] = {uint8_t(s[x].b & 0xF8), uint8_t(s[x].g & 0xF8), uint8_t(s[x].r & 0xF8), 0};
                    } else {
                        o[x] = {uint8_t(bg), uint8_t(bg >> 8), uint8_t(bg >> 16), 255};
                    }
                    continue;
                }
                uint8_t ch[3] = {s[x].b, s[x].g, s[x].r};
                uint8_t outc[3];
                for (int c = 0; c < 3; ++c) {
                    int32_t v = std::clamp(int32_t(ch[c]) + ((e[c] + 8) >> 4), 0, 255);
                    outc[c] = uint8_t(v & 0xF8);
                    int32_t r = v & 7;
                    int dir = ltr ? 1 : -1;
                    cur[(int64_t(x) + 1 + dir) * 3 + c] += r * 7;
                    nxt[(int64_t(x) + 1 - dir) * 3 + c] += r * 3;
                    nxt[(int64_t(x) + 1) * 3 + c] += r * 5;
                    nxt[(int64_t(x) + 1 + dir) * 3 + c] += r * 1;
                }
                o[x] = {outc[0], outc[1], outc[2], uint8_t(keepAlpha ? s[x].a : 255)};
            }
            std::swap(cur, nxt);
        }
        imageCopyInfo(d, f);
        d->alphaKind = f->alphaKind;
        frameInfoCopyData(d->frameInfo, f->frameInfo);
        if (tail) {
            tail->frameInfo.next = d;
            d->frameInfo.prev = tail;
        } else {
            head = d;
        }
        tail = d;
    }
    return head;
}

// Whether a pixel of the frames written shows a palette entry that is not
// opaque (a frame without a palette: whether it has alpha at all).
bool showsTransparency(Image* image, bool allFrames)
{
    for (Image* f = image; f; f = allFrames ? f->next() : nullptr) {
        IndexedView* iv = f->indexedView();
        if (!iv) {
            if (f->alphaKind != ALPHA_NONE) return true;
            continue;
        }
        bool clear[256];
        bool any = false;
        for (uint32_t i = 0; i < 256; ++i) any |= clear[i] = (iv->palette()[i] >> 24) != 255;
        for (uint32_t y = 0; any && y < f->height; ++y) {
            const uint8_t* row = iv->row(y);
            for (uint32_t x = 0; x < f->width; ++x)
                if (clear[row[x]]) return true;
        }
    }
    return false;
}

// Grey frames are left alone; indexed ones carry their transparency unless
// the format's palettes drop it.
bool canCarryAlpha(PixelFormat format, uint32_t flag, bool paletteWithoutAlpha)
{
    switch (format) {
    case PF_RGBA8: return flag == CF_RGBA16 || flag == CF_RGBA32;
    case PF_RGBA16: return flag == CF_RGBA64;
    case PF_RGBA_FLOAT: return flag == CF_RGBA_FLOAT;
    case PF_INDEXED8: return !paletteWithoutAlpha;
    default: return true;
    }
}

void flattenFrame(Image* f)
{
    uint32_t bg = f->frameInfo.backgroundColour;
    double bgc[3] = {double(bg & 0xFF) / 255, double((bg >> 8) & 0xFF) / 255, double((bg >> 16) & 0xFF) / 255};
    bool straight = f->alphaKind == ALPHA_STRAIGHT;
    if (f->pixelFormat == PF_INDEXED8) {
        // The palette's hidden colours never show: its clear entries become
        // the background, as clear pixels do.
        if (IndexedView* v = f->indexedView()) {
            for (uint32_t i = 0; i < 256; ++i)
                if ((v->palette()[i] >> 24) == 0) v->palette()[i] = bg;
            v->paletteChanged();
        }
    } else if (Rgba8View* v = f->rgba8View()) {
        Rgba8 b = {uint8_t(bg), uint8_t(bg >> 8), uint8_t(bg >> 16), uint8_t(bg >> 24)};
        for (uint32_t y = 0; y < f->height; ++y) {
            Rgba8* p = v->row(y);
            for (uint32_t x = 0; x < f->width; ++x)
                if (p[x].a == 0) p[x] = b;
        }
    } else if (Rgba16View* v = f->rgba16View()) {
        for (uint32_t y = 0; y < f->height; ++y) {
            Rgba16* p = v->row(y);
            for (uint32_t x = 0; x < f->width; ++x) {
                double a = p[x].a / 65535.0;
                uint16_t* c[3] = {&p[x].b, &p[x].g, &p[x].r};
                for (int k = 0; k < 3; ++k) {
                    double s = *c[k] / 65535.0;
                    double o = (straight ? s * a : s) + bgc[k] * (1 - a);
                    *c[k] = uint16_t(std::clamp(o, 0.0, 1.0) * 65535 + 0.5);
                }
                p[x].a = 65535;
            }
        }
    } else if (RgbaFloatView* v = f->rgbaFloatView()) {
        for (uint32_t y = 0; y < f->height; ++y) {
            RgbaF* p = v->row(y);
            for (uint32_t x = 0; x < f->width; ++x) {
                float a = std::clamp(p[x].a, 0.0f, 1.0f);
                float* c[3] = {&p[x].b, &p[x].g, &p[x].r};
                for (int k = 0; k < 3; ++k) *c[k] = (straight ? *c[k] * a : *c[k]) + float(bgc[k]) * (1 - a);
                p[x].a = 1.0f;
            }
        }
    }
}

// The first frame of a chain on its own: the frame's pixels, palette and
// information, borrowed, without the links to the frames behind it.
class HeadFrame final : public AnyFormatImage {
public:
    explicit HeadFrame(Image* frame) : frame_(Ref<Image>::share(frame))
    {
        width = frame->width;
        height = frame->height;
        pixelFormat = frame->pixelFormat;
        alphaKind = frame->alphaKind;
        frameInfoCopyData(frameInfo, frame->frameInfo);
    }

    ImageInfo* info() override { return frame_->info(); }
    const ImageInfo* info() const override { return static_cast<const Image*>(frame_.get())->info(); }
    void* pixels() override { return frame_->pixels(); }
    const void* pixels() const override { return static_cast<const Image*>(frame_.get())->pixels(); }
    uint32_t rowPixels() const override { return frame_->rowPixels(); }
    uint32_t rowsAllocated() const override { return frame_->rowsAllocated(); }
    uint32_t* palette() override { return frame_->palette(); }
    const uint32_t* palette() const override { return static_cast<const Image*>(frame_.get())->palette(); }

protected:
    void notifyPaletteChanged() override
    {
        if (IndexedView* iv = frame_->indexedView()) iv->paletteChanged();
    }

private:
    Ref<Image> frame_;
};

} // namespace

ResultCode ImageWriter::createOutput(const std::filesystem::path& path)
{
    created_ = true;
    createResult_ = output.create(path);
    return createResult_;
}

uint32_t ImageWriter::colourFlagForFrames(Image*, uint32_t flag, uint32_t) { return flag; }

uint8_t imageScanPaletteUse(Image* image, bool noCompact, bool allFrames)
{
    if (!image) return 255;
    uint8_t used[256] = {};
    uint32_t highest = 0;
    bool differ = false;
    bool hasPrevious = false;
    const uint32_t* firstPal = image->palette();
    for (Image* f = image; f; f = allFrames ? f->next() : nullptr) {
        IndexedView* iv = f->indexedView();
        if (!iv) return 255;
        for (uint32_t y = 0; y < f->height; ++y) {
            const uint8_t* row = iv->row(y);
            for (uint32_t x = 0; x < f->width; ++x) used[row[x]] = 1;
        }
        if (f->frameInfo.prev) hasPrevious = true;
        // All 256 entries: frames that share only their first entries do
        // not share a palette.
        if (f != image && std::memcmp(iv->palette(), firstPal, 1024) != 0) differ = true;
    }
    for (uint32_t i = 0; i < 256; ++i)
        if (used[i]) highest = i;
    if (noCompact) return uint8_t(highest);
    if (differ) {
        uint32_t result = 0;
        for (Image* f = image; f; f = f->next()) result = std::max<uint32_t>(result, imageScanPaletteUse(f, false, false));
        return uint8_t(result);
    }
    // A later frame leaves the pixels it does not cover at index 0 of the
    // shared palette, so index 0 stays.
    if (hasPrevious) used[0] = 1;
    uint8_t map[256];
    uint32_t next = 0;
    bool gap = false;
    for (uint32_t i = 0; i <= highest; ++i) {
        if (used[i])
            map[i] = uint8_t(next++);
        else
            gap = true;
    }
    if (!gap) return uint8_t(highest);
    uint32_t newHighest = next - 1;
    if (bitsFor(newHighest) < bitsFor(highest)) {
        for (Image* f = image; f; f = allFrames ? f->next() : nullptr) {
            IndexedView* iv = f->indexedView();
            for (uint32_t y = 0; y < f->height; ++y) {
                uint8_t* row = iv->row(y);
                for (uint32_t x = 0; x < f->width; ++x) row[x] = map[row[x]];
            }
            uint32_t* pal = iv->palette();
            uint32_t old[256];
            std::memcpy(old, pal, sizeof old);
            for (uint32_t i = 0; i <= highest; ++i)
                if (used[i]) pal[map[i]] = old[i];
            iv->paletteChanged();
        }
    }
    return uint8_t(newHighest);
}

ResultCode ImageWriter::write(Image* image, const char16_t* subFormatName, ColourFormatFlags colourMask,
                              int32_t parameter, bool allFrames, void* extra, uint32_t* bitsOut)
{
    if (!image || !descriptor) return RC_INVALID_PARAMETER;
    // 1-2: the sub-format and the colour formats it and the caller allow.
    uint32_t count = descriptor->subFormatCount();
    int32_t index = 0;
    if (subFormatName && subFormatName[0]) {
        index = descriptor->subFormatIndex(subFormatName);
        if (count == 0 || index < 0) return RC_UNSUPPORTED_SUBFORMAT;
    }
    uint32_t caps = count && descriptor->subFormatCaps ? descriptor->subFormatCaps[index] & colourMask : 0;
    if (!caps) return RC_UNSUPPORTED_COLOUR_FORMAT;
    const char16_t* name = count ? descriptor->subFormatNames[index] : u"";

    // 3: transparency in any frame that is written; frames left out must
    // not turn an opaque first frame into an alpha output.
    bool hasAlpha = false;
    for (Image* f = image; f; f = allFrames ? f->next() : nullptr)
        if (f->alphaKind != ALPHA_NONE) hasAlpha = true;

    // 4: an opaque grey-ramp palette is grey.
    if (image->pixelFormat == PF_INDEXED8 && isOpaqueGreyRamp(image->palette())) {
        if (IndexedView* iv = image->indexedView()) {
            if (iv->toGray()) hasAlpha = false;
        }
    }

    const QuantizeOptions& global = globalQuantizeOptions();
    // 5: the colour format.
    uint32_t flag = 0;
    uint32_t highest = 0;
    switch (image->pixelFormat) {
    case PF_RGBA8: flag = choose(kPrefRgba8, caps, hasAlpha); break;
    case PF_RGBA16: flag = choose(kPrefRgba16, caps, hasAlpha); break;
    case PF_RGBA_FLOAT: flag = choose(kPrefRgbaF, caps, hasAlpha); break;
    case PF_GRAY8: flag = choose(kPrefGray8, caps, false), hasAlpha = false; break;
    case PF_GRAY16: flag = choose(kPrefGray16, caps, false), hasAlpha = false; break;
    case PF_GRAY_FLOAT: flag = choose(kPrefGrayF, caps, false), hasAlpha = false; break;
    case PF_INDEXED8: {
        // "Auto" writes a palette picture whose transparency the format's
        // palettes would lose as an RGBA picture, in a colour format with
        // alpha when the sub-format has one.
        constexpr uint32_t kAlphaFormats = CF_RGBA32 | CF_RGBA64 | CF_RGBA_FLOAT;
        if (colourMask == CF_AUTO && hasAlpha && descriptor->paletteWithoutAlpha && (caps & kAlphaFormats) &&
            showsTransparency(image, allFrames)) {
            flag = choose(kPrefIndexedRest, caps, true);
            break;
        }
        bool fixed = global.useFixedPalette != 0;
        highest = imageScanPaletteUse(image, fixed, allFrames);
        if ((caps & CF_2_COLOURS) && highest < 2 && (!fixed || firstEntriesInFixed(image, 2)))
            flag = CF_2_COLOURS;
        else if ((caps & CF_4_COLOURS) && highest < 4 && (!fixed || firstEntriesInFixed(image, 4)))
            flag = CF_4_COLOURS;
        else if ((caps & CF_8_COLOURS) && highest < 8 && !fixed) flag = CF_8_COLOURS;
        else if ((caps & CF_16_COLOURS) && highest < 16 && (!fixed || firstEntriesInFixed(image, 16)))
            flag = CF_16_COLOURS;
        else if ((caps & CF_32_COLOURS) && highest < 32 && !fixed) flag = CF_32_COLOURS;
        else if ((caps & CF_64_COLOURS) && highest < 64 && !fixed) flag = CF_64_COLOURS;
        else if ((caps & CF_128_COLOURS) && highest < 128 && !fixed) flag = CF_128_COLOURS;
        else if (caps & CF_256_COLOURS) flag = CF_256_COLOURS;
        else flag = choose(kPrefIndexedRest, caps, hasAlpha);
        break;
    }
    default: return RC_UNSUPPORTED_COLOUR_FORMAT;
    }

    // Several formats allowed: the writer may need one that suits every
    // frame, not only the first.
    if (allFrames && image->next() && (caps & (caps - 1))) flag = colourFlagForFrames(image, flag, caps);

    // 6: the chosen depth and the image's own.
    int32_t flagBits = colourFormatBits(flag);
    if (flagBits <= 0) return RC_UNSUPPORTED_COLOUR_FORMAT;
    if (bitsOut) *bitsOut = uint32_t(flagBits);
    uint32_t depth = 0;
    switch (image->pixelFormat) {
    case PF_RGBA8: depth = 24; break;
    case PF_RGBA16: depth = 48; break;
    case PF_RGBA_FLOAT: depth = 96; break;
    case PF_GRAY8: depth = 8; break;
    case PF_GRAY16: depth = 16; break;
    case PF_GRAY_FLOAT: depth = 32; break;
    default: depth = bitsFor(highest); break;
    }

    // 7: the image that is encoded. Every frame that is written must have
    // the view the colour format needs, not only the first.
    Ref<Image> converted;
    Image* work = image;
    if (flag <= CF_256_COLOURS) {
        uint32_t bits = uint32_t(flagBits);
        bool indexed = chainHas(image, allFrames, [](Image* f) { return f->indexedView() != nullptr; });
        if (!(indexed && !global.useFixedPalette && !global.useGivenPalette && depth <= bits)) {
            QuantizeOptions options = global;
            options.colourCount = 1u << bits;
            uint32_t shared[256];
            if (!options.useFixedPalette && !options.useGivenPalette && allFrames && image->next()) {
                SharedPaletteBuilder builder(options.colourCount);
                uint32_t built = 0;
                std::memset(shared, 0, sizeof shared);
                if (builder.valid()) {
                    sharedPaletteAddImage(&builder, image);
                    if (succeeded(sharedPaletteBuild(&builder, shared, &built)) && built) {
                        options.palette = shared;
                        options.givenCount = built;
                        options.useGivenPalette = 1;
                    }
                }
            }
            converted = Ref<Image>::adopt(quantizeChain(image, allFrames, options));
            if (!converted) return RC_OUT_OF_MEMORY;
            work = converted.get();
        }
        depth = bits;
    } else if (flag == CF_GRAY8 || flag == CF_GRAY16) {
        PixelFormat want = flag == CF_GRAY8 ? PF_GRAY8 : PF_GRAY16;
        if (!chainHas(image, allFrames, [want](Image* f) { return f->pixelFormat == want; })) {
            converted = Ref<Image>::adopt(copyChain(image, allFrames, want));
            if (!converted) return RC_OUT_OF_MEMORY;
            work = converted.get();
        }
        depth = flag == CF_GRAY8 ? 8 : 16;
    } else if (flag == CF_GRAY_FLOAT || flag == CF_RGB_FLOAT || flag == CF_RGBA_FLOAT) {
        bool grey = flag == CF_GRAY_FLOAT;
        converted = Ref<Image>::adopt(copyChain(image, allFrames, grey ? PF_GRAY_FLOAT : PF_RGBA_FLOAT));
        if (!converted) return RC_OUT_OF_MEMORY;
        work = converted.get();
        for (Image* f = work; f; f = f->next()) {
            for (uint32_t y = 0; y < f->height; ++y) {
                if (grey) {
                    float* p = f->row<float>(y);
                    for (uint32_t x = 0; x < f->width; ++x) p[x] = linearise(p[x]);
                } else {
                    RgbaF* p = f->row<RgbaF>(y);
                    for (uint32_t x = 0; x < f->width; ++x)
                        p[x].b = linearise(p[x].b), p[x].g = linearise(p[x].g), p[x].r = linearise(p[x].r);
                }
            }
        }
        depth = grey ? 32 : 96;
    } else if (flag == CF_RGB48 || flag == CF_RGBA64) {
        if (!chainHas(image, allFrames, [](Image* f) { return f->pixelFormat == PF_RGBA16; })) {
            converted = Ref<Image>::adopt(copyChain(image, allFrames, PF_RGBA16));
            if (!converted) return RC_OUT_OF_MEMORY;
            work = converted.get();
        }
        depth = 48;
    } else {
        if (!chainHas(image, allFrames, [](Image* f) { return f->pixelFormat == PF_RGBA8; })) {
            converted = Ref<Image>::adopt(copyChain(image, allFrames, PF_RGBA8));
            if (!converted) return RC_OUT_OF_MEMORY;
            work = converted.get();
        }
        depth = uint32_t(flagBits);
        if ((flag == CF_RGB15 || flag == CF_RGBA16) && global.ditherHighColour) {
            Ref<Image> dithered = Ref<Image>::adopt(ditherHighColour(work, allFrames, flag == CF_RGBA16));
            if (!dithered) return RC_OUT_OF_MEMORY;
            converted = std::move(dithered);
            work = converted.get();
        }
    }

    // 8: transparency the colour format cannot carry is flattened onto the
    // frame's background, on a copy: the caller's image may still be
    // written to a format that keeps it.
    if (hasAlpha) {
        const bool opaquePalette = descriptor->paletteWithoutAlpha;
        auto mustFlatten = [&](const Image* f) {
            return f->alphaKind != ALPHA_NONE && !canCarryAlpha(f->pixelFormat, flag, opaquePalette);
        };
        bool needed = false;
        for (Image* f = work; f; f = allFrames ? f->next() : nullptr)
            if (mustFlatten(f)) needed = true;
        if (needed) {
            if (work == image) {
                // A plain copy: an indexed one through the quantiser with
                // nothing to reduce, whatever the switches say.
                const QuantizeOptions copyAll;
                converted = Ref<Image>::adopt(image->pixelFormat == PF_INDEXED8
                                                  ? quantizeChain(image, allFrames, copyAll)
                                                  : copyChain(image, allFrames, PF_SAME));
                if (!converted) return RC_OUT_OF_MEMORY;
                work = converted.get();
            }
            for (Image* f = work; f; f = allFrames ? f->next() : nullptr)
                if (mustFlatten(f)) flattenFrame(f);
        }
    }

    // 9: a writer asked for one frame sees one frame, even when the image
    // is the caller's chain and nothing needed converting.
    if (created_ && failed(createResult_)) return createResult_;
    Ref<Image> single;
    if (!allFrames && work->next()) {
        single = Ref<Image>::adopt(new (std::nothrow) HeadFrame(work));
        if (!single) return RC_OUT_OF_MEMORY;
        work = single.get();
    }
    return encode(work, name, flag, depth, parameter, allFrames, extra);
}

} // namespace quillon
