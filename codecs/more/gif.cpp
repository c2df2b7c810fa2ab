// GIF reading: the screen, the global and local tables, the graphic-control,
// comment and application extensions, and every image of the file as one
// reader of a frame chain; LZW decoding and interlaced row order.
// GIF writing: one image or a whole frame chain, with a global table from the
// first frame and local tables only where a frame's colours differ. A GIF
// frame always lies over what the screen shows; where a source frame clears
// pixels instead, the frame before is disposed of to the background and what
// must stay is drawn again, so every frame shows as its source composes it.
#include "codecs/more/gif.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "codecs/main/xmp.h"
#include "core/byte_cursor.h"
#include "core/frame_rect.h"
#include "core/image_reader.h"
#include "core/image_writer.h"
#include "core/quantize.h"
#include "core/quantize_options.h"
#include "core/text.h"
#include "platform/memory.h"

namespace quillon {

const char16_t* const kGifSubFormats[] = {u"Normal", u"Interlaced", u""};
const ColourFormatFlags kGifSubFormatCaps[] = {
    CF_2_COLOURS | CF_4_COLOURS | CF_8_COLOURS | CF_16_COLOURS | CF_32_COLOURS | CF_64_COLOURS | CF_128_COLOURS |
        CF_256_COLOURS,
    CF_2_COLOURS | CF_4_COLOURS | CF_8_COLOURS | CF_16_COLOURS | CF_32_COLOURS | CF_64_COLOURS | CF_128_COLOURS |
        CF_256_COLOURS,
};

namespace {

constexpr uint32_t kMaxCodes = 4096;

// LZW's greatest expansion: a code of w bits names an entry below 2^w, whose
// string is never longer than its index is high, so at most 4096 pixels come
// from a 12-bit code (and fewer per bit from narrower ones).
constexpr uint64_t kMostExpanded = (4096 * 8 + 11) / 12;
// Data bytes allowed for beyond that bound before the data counts as too
// short; a bound this loose never refuses a whole file.
constexpr uint64_t kExpansionSlack = 64;

bool hasSignature(const uint8_t* data, uint64_t size)
{
    return size >= 3 && data[0] == 'G' && data[1] == 'I' && data[2] == 'F';
}

// The row each decoded row of an interlaced image lands on, in file order.
void interlacedRowOrder(uint32_t height, uint32_t* order)
{
    static const uint32_t start[4] = {0, 4, 2, 1}, step[4] = {8, 8, 4, 2};
    uint32_t n = 0;
    for (int pass = 0; pass < 4; ++pass)
        for (uint32_t y = start[pass]; y < height; y += step[pass]) order[n++] = y;
}

// Walks the sub-blocks that start at the cursor. `blocks` receives the
// number of sub-blocks and `first`/`firstLength` the first one. False when
// the file ends before the terminator (the cursor is then at the end).
bool skipSubBlocks(ByteCursor& c, uint32_t* blocks = nullptr, const uint8_t** first = nullptr,
                   uint32_t* firstLength = nullptr)
{
    uint32_t count = 0;
    for (;;) {
        if (c.atEnd()) return false;
        uint8_t n = c.u8();
        if (n == 0) break;
        const uint8_t* p = c.take(n);
        if (!p) return false;
        if (count == 0) {
            if (first) *first = p;
            if (firstLength) *firstLength = n;
        }
        ++count;
    }
    if (blocks) *blocks = count;
    return true;
}

class GifReader final : public ImageReader {
public:
    GifReader(MappedFile* f, const FormatDescriptor* d) : ImageReader(f, d) {}

protected:
    ResultCode readHeader(const void* options) override;
    ResultCode readPixels(Image* image, bool reduced, Progress* progress, AbortFlag* abort) override;

private:
    void readComment(ByteCursor c);
    void fillPalette(uint32_t* palette) const;

    // The image's data: the minimum-code-size byte up to and including its
    // terminator, or to the end of the file when that comes first.
    const uint8_t* data_ = nullptr;
    size_t dataLength_ = 0;
    // The size the data is coded at; the reader's own size is the part of
    // it that lies on the screen.
    uint32_t codedWidth_ = 0, codedHeight_ = 0;
    // Nothing of the image lies on the screen: it stands as one transparent
    // pixel that changes nothing, keeping its place and time in the
    // animation.
    bool offScreen_ = false;
    // The local table, or the global one it inherits (null: none at all).
    const uint8_t* table_ = nullptr;
    uint32_t tableBits_ = 0;
    bool interlaced_ = false;
    bool transparent_ = false;
    uint8_t transparentIndex_ = 0;
    // The file ends inside a block after this image: whatever followed is
    // lost, so its decode reports the file as damaged.
    bool cutAfter_ = false;
};

void GifReader::readComment(ByteCursor c)
{
    uint32_t blocks = 0;
    const uint8_t* first = nullptr;
    uint32_t firstLength = 0;
    size_t start = c.pos();
    if (!skipSubBlocks(c, &blocks, &first, &firstLength) || blocks == 0) return;
    if (blocks == 1) {
        infoSetBorrowed(info, INFO_COMMENTS, first, firstLength, BORROW_CP1252);
        return;
    }
    // Several sub-blocks: joined, up to the first NUL.
    std::string joined;
    c.seek(start);
    for (;;) {
        uint8_t n = c.u8();
        if (n == 0) break;
        const uint8_t* p = c.take(n);
        const void* nul = std::memchr(p, 0, n);
        size_t take = nul ? size_t(static_cast<const uint8_t*>(nul) - p) : n;
        joined.append(reinterpret_cast<const char*>(p), take);
        if (nul || joined.size() >= kTextSourceLimit) break;
    }
    info.set(INFO_COMMENTS, latin1ToU16(joined).c_str());
}

ResultCode GifReader::readHeader(const void*)
{
    const uint8_t* d = input->data();
    uint64_t size = input->size();
    if (!hasSignature(d, size)) return RC_UNKNOWN_FORMAT;
    ByteCursor c(d, size_t(size));
    c.seek(6);
    uint32_t screenW = c.u16le(), screenH = c.u16le();
    uint8_t packed = c.u8();
    uint8_t backgroundIndex = c.u8();
    c.u8(); // aspect
    if (c.overrun()) return RC_CORRUPT_FILE;
    info.set(INFO_COMPRESSION, u"LZW");

    frameInfo.canvasWidth = screenW;
    frameInfo.canvasHeight = screenH;
    bitsPerPixel = ((packed >> 4) & 7) + 1;
    const uint8_t* global = nullptr;
    uint32_t globalBits = 0;
    if (packed & 0x80) {
        globalBits = (packed & 7) + 1;
        global = c.take(size_t(3) << globalBits);
        if (!global) return RC_CORRUPT_FILE;
        bitsPerPixel = std::max(bitsPerPixel, globalBits);
    }

    GifReader* last = nullptr;  // the reader of the latest image
    const uint8_t* control = nullptr;  // graphic control waiting for its image
    bool loopSeen = false;
    uint8_t loop = 0;
    bool cut = false;
    bool afterImage = false;
    uint32_t frames = 0;
    for (;;) {
        if (c.atEnd()) {
            // A missing trailer is tolerated right after an image's data;
            // after anything else part of the file is missing.
            cut = !afterImage;
            break;
        }
        afterImage = false;
        uint8_t introducer = c.u8();
        if (introducer == ';' || introducer == 0) break;
        if (introducer == '!') {
            uint8_t label = c.u8();
            size_t start = c.pos();
            uint32_t blocks = 0, firstLength = 0;
            const uint8_t* first = nullptr;
            if (!skipSubBlocks(c, &blocks, &first, &firstLength)) {
                cut = true;
                break;
            }
            if (label == 0xF9 && blocks && firstLength == 4) {
                control = first;
            } else if (label == 0xFE && !info.has(INFO_COMMENTS)) {
                readComment(ByteCursor(d + start, size_t(size) - start));
            } else if (label == 0xFF && blocks >= 2 && firstLength == 11) {
                ByteCursor app(first + 11, size_t(d + size - (first + 11)));
                if (equalsNoCase(std::string_view(reinterpret_cast<const char*>(first), 8), "NETSCAPE")) {
                    uint8_t n = app.u8();
                    const uint8_t* sub = app.take(n);
                    if (n == 3 && sub && sub[0] == 1) {
                        loopSeen = true;
                        loop = loadU16le(sub + 1) != 1;
                    }
                } else if (std::memcmp(first, "XMP DataXMP", 11) == 0) {
                    // The packet is stored raw, its "sub-block lengths" being
                    // its own characters, and ends where the 258-byte run
                    // that steers block walkers to the terminator begins
                    // (its first byte, 1, never occurs in the text).
                    const uint8_t* packet = first + 11;
                    size_t n = size_t(d + c.pos() - packet);
                    if (const void* stop = std::memchr(packet, 1, n))
                        n = size_t(static_cast<const uint8_t*>(stop) - packet);
                    xmpParse(info, packet, n);
                }
            }
            continue;
        }
        if (introducer != ',') return RC_CORRUPT_FILE;

        uint32_t x = c.u16le(), y = c.u16le(), w = c.u16le(), h = c.u16le();
        uint8_t flags = c.u8();
        const uint8_t* local = nullptr;
        uint32_t localBits = 0;
        if (!c.overrun() && (flags & 0x80)) {
            localBits = (flags & 7) + 1;
            local = c.take(size_t(3) << localBits);
        }
        if (c.overrun()) {
            cut = true;
            break;
        }

        GifReader* r = this;
        if (last) {
            if (++frames >= kMaxFrames) {
                // More than any real animation: the rest is not kept.
                cut = true;
                break;
            }
            r = new (std::nothrow) GifReader(input, descriptor);
            if (!r) return RC_OUT_OF_MEMORY;
            last->nextReader = r;
            r->codedWidth_ = last->codedWidth_;
            r->codedHeight_ = last->codedHeight_;
            r->bitsPerPixel = last->bitsPerPixel;
            r->pixelFormat = last->pixelFormat;
            r->colourModel = last->colourModel;
            r->alphaKind = last->alphaKind;
            r->frameInfo.canvasWidth = screenW;
            r->frameInfo.canvasHeight = screenH;
            r->frameInfo.backgroundColour = last->frameInfo.backgroundColour;
            r->frameInfo.loop = last->frameInfo.loop;
            r->table_ = global ? global : last->table_;
            r->tableBits_ = global ? globalBits : last->tableBits_;
        } else {
            pixelFormat = PF_INDEXED8;
            colourModel = CM_RGB;
            alphaKind = ALPHA_NONE;
            table_ = global;
            tableBits_ = globalBits;
            codedWidth_ = screenW;
            codedHeight_ = screenH;
            // A first image with a transparent colour leaves the screen
            // around it transparent, whatever the background index says, as
            // players show it; the background's colour stays for flattening
            // onto, unless the index is the 0 that writers put when they
            // mean none.
            const bool transparentFirst = control && (control[0] & 1);
            if (global && backgroundIndex < (1u << globalBits) && !(transparentFirst && backgroundIndex == 0)) {
                const uint8_t* e = global + 3 * backgroundIndex;
                frameInfo.backgroundColour = (transparentFirst ? 0u : 0xFF000000u) | (uint32_t(e[0]) << 16) |
                                             (uint32_t(e[1]) << 8) | e[2];
            }
        }
        GifReader* previous = last;
        last = r;
        r->frameInfo.x = int32_t(x);
        r->frameInfo.y = int32_t(y);
        if (control) {
            uint8_t cf = control[0];
            if (cf & 1) {
                r->transparent_ = true;
                r->transparentIndex_ = control[3];
                r->alphaKind = ALPHA_STRAIGHT;
            }
            r->frameInfo.duration = (cf & 2) ? kPageEndDuration : uint32_t(loadU16le(control + 1)) * 10;
            uint32_t disposal = (cf >> 2) & 7;
            if (disposal >= 1 && disposal <= 3) r->frameInfo.dispose = uint8_t(disposal - 1);
            r->frameInfo.blend = cf & 1;
            // It applies to this image only.
            control = nullptr;
        }
        r->interlaced_ = (flags & 0x40) != 0;
        if (w) r->codedWidth_ = w;
        if (h) r->codedHeight_ = h;
        if (r->codedWidth_ == 0 || r->codedHeight_ == 0) return RC_CORRUPT_FILE;
        if (r == this) {
            // A screen smaller than the first image (0 x 0 from some
            // writers) grows to its size, never to its offset, which is
            // what a far-off frame would otherwise inflate.
            screenW = std::max(screenW, codedWidth_);
            screenH = std::max(screenH, codedHeight_);
            frameInfo.canvasWidth = screenW;
            frameInfo.canvasHeight = screenH;
        }
        // Frames show only what lies on the screen.
        r->offScreen_ = x >= screenW || y >= screenH;
        if (r->offScreen_) {
            r->width = r->height = 1;
            r->frameInfo.x = r->frameInfo.y = 0;
            r->frameInfo.dispose = 0;
            r->frameInfo.blend = 1;
            r->alphaKind = ALPHA_STRAIGHT;
            r->transparent_ = true;
            r->transparentIndex_ = 0;
        } else {
            r->width = std::min(r->codedWidth_, screenW - x);
            r->height = std::min(r->codedHeight_, screenH - y);
        }
        if (local) {
            r->table_ = local;
            r->tableBits_ = localBits;
            r->bitsPerPixel = std::max(r->bitsPerPixel, localBits);
        }
        size_t dataStart = c.pos();
        bool complete = !c.atEnd() && (c.u8(), skipSubBlocks(c));
        r->data_ = d + dataStart;
        r->dataLength_ = c.pos() - dataStart;
        // Data too short to fill even a small part of the image: damage,
        // refused before an image of the size it claims is made (and
        // cleared) for the few pixels there. A later frame ends the
        // animation as a cut file does.
        if (uint64_t(r->codedWidth_) * r->codedHeight_ / kMostExpanded > r->dataLength_ + kExpansionSlack) {
            if (r == this) return RC_CORRUPT_FILE;
            previous->nextReader = nullptr;
            objectRelease(r);
            last = previous;
            cut = true;
            break;
        }
        if (!complete) break; // the data runs to the end of the file
        afterImage = true;
    }
    if (!last) return RC_CORRUPT_FILE;
    last->cutAfter_ = cut;
    if (loopSeen)
        for (ImageReader* r = this; r; r = r->nextReader) r->frameInfo.loop = loop;
    return RC_OK;
}

void GifReader::fillPalette(uint32_t* palette) const
{
    if (table_) {
        uint32_t n = 1u << tableBits_;
        for (uint32_t i = 0; i < 256; ++i) palette[i] = 0xFF000000u;
        for (uint32_t i = 0; i < n; ++i) {
            const uint8_t* e = table_ + 3 * i;
            palette[i] |= (uint32_t(e[0]) << 16) | (uint32_t(e[1]) << 8) | e[2];
        }
    } else {
        fillGreyRamp(palette);
    }
    if (transparent_) palette[transparentIndex_] &= 0x00FFFFFF;
}

ResultCode GifReader::readPixels(Image* image, bool, Progress* progress, AbortFlag* abort)
{
    uint32_t* palette = image->palette();
    if (!palette) return RC_INVALID_PARAMETER;
    fillPalette(palette);
    if (offScreen_) {
        image->rowBytesPtr(0)[0] = transparentIndex_;
        return cutAfter_ ? RC_CORRUPT_FILE : RC_OK;
    }

    // Rows are coded one after another at the coded width; without
    // interlacing, the rows below the screen are never needed.
    const bool clipped = width != codedWidth_ || height != codedHeight_;
    const uint32_t codedRows = interlaced_ ? codedHeight_ : height;
    uint64_t count = uint64_t(codedWidth_) * codedRows;
    size_t stride = image->rowBytes();
    // Whole rows of a plain image are decoded straight into its own memory
    // (its stride is at least the width), then spread out to the stride
    // from the last row up.
    AlignedBuffer<uint8_t> scratch;
    uint8_t* target = static_cast<uint8_t*>(image->pixels());
    if (interlaced_ || clipped) {
        if (!scratch.allocate(count)) return RC_OUT_OF_MEMORY;
        target = scratch.get();
    }
    uint64_t produced = gifLzwDecode(target, count, data_, dataLength_);
    // Pixels the data did not reach read as index 0.
    std::memset(target + produced, 0, size_t(count - produced));
    if (aborted(abort)) return RC_OK;

    if (interlaced_) {
        AlignedBuffer<uint32_t> order(codedRows);
        if (!order) return RC_OUT_OF_MEMORY;
        interlacedRowOrder(codedRows, order.get());
        for (uint32_t i = 0; i < codedRows; ++i)
            if (order[i] < height)
                std::memcpy(image->rowBytesPtr(order[i]), target + uint64_t(i) * codedWidth_, width);
    } else if (clipped) {
        for (uint32_t y = 0; y < height; ++y)
            std::memcpy(image->rowBytesPtr(y), target + uint64_t(y) * codedWidth_, width);
    } else if (stride != width) {
        for (uint32_t y = height; y-- > 1;)
            std::memmove(image->rowBytesPtr(y), target + uint64_t(y) * width, width);
    }
    reportProgress(progress, height, height);
    return produced < count || cutAfter_ ? RC_CORRUPT_FILE : RC_OK;
}

// ---- writer ----

// What the writer takes from a palette: the entry that stands for
// transparency (the first fully transparent one, else the least opaque;
// used when its alpha is below 16) and the screen's background entry.
struct PaletteRoles {
    bool transparent = false;
    uint8_t transparentIndex = 0;
    uint8_t backgroundIndex = 0;
};

PaletteRoles scanPalette(const uint32_t* palette, uint32_t entries, uint32_t background)
{
    PaletteRoles roles;
    uint32_t lowest = 256, nearest = UINT32_MAX;
    bool backgroundFound = false;
    for (uint32_t i = 0; i < entries; ++i) {
        uint32_t e = palette[i], alpha = e >> 24;
        if (alpha == 0) {
            if (lowest != 0) roles.transparentIndex = uint8_t(i);
            lowest = 0;
            if ((background >> 24) == 0 && !backgroundFound) {
                roles.backgroundIndex = uint8_t(i);
                backgroundFound = true;
            }
            continue;
        }
        if (alpha < lowest) {
            lowest = alpha;
            roles.transparentIndex = uint8_t(i);
        }
        if (backgroundFound) continue;
        int32_t dr = int32_t((e >> 16) & 255) - int32_t((background >> 16) & 255);
        int32_t dg = int32_t((e >> 8) & 255) - int32_t((background >> 8) & 255);
        int32_t db = int32_t(e & 255) - int32_t(background & 255);
        uint32_t distance = uint32_t(dr * dr + dg * dg + db * db);
        if (distance < nearest) {
            nearest = distance;
            roles.backgroundIndex = uint8_t(i);
        }
    }
    roles.transparent = lowest < 16;
    return roles;
}

// A frame can use the global table when it shows the same colours through
// it: the same transparency and the same red, green and blue in every entry
// that is visible in either palette.
bool sameTable(const uint32_t* global, const PaletteRoles& globalRoles, const uint32_t* palette,
               const PaletteRoles& roles, uint32_t entries)
{
    if (roles.transparent != globalRoles.transparent) return false;
    if (roles.transparent && roles.transparentIndex != globalRoles.transparentIndex) return false;
    for (uint32_t i = 0; i < entries; ++i) {
        if (roles.transparent && i == roles.transparentIndex) continue;
        if ((global[i] >> 24) == 0 && (palette[i] >> 24) == 0) continue;
        if ((global[i] & 0xFFFFFF) != (palette[i] & 0xFFFFFF)) return false;
    }
    return true;
}

// What a frame shows at one index: 0 where it is clear, else its opaque
// colour (0xFFRRGGBB).
uint32_t shownColour(const uint32_t* palette, const PaletteRoles& roles, uint8_t index)
{
    return roles.transparent && index == roles.transparentIndex ? 0 : 0xFF000000u | (palette[index] & 0xFFFFFF);
}

// Where a frame of an animation lies on the screen (moved inside the
// coordinates a GIF can hold).
FrameRect placed(const Image* f)
{
    return {uint32_t(std::clamp<int64_t>(f->frameInfo.x, 0, 0xFFFF - f->width)),
            uint32_t(std::clamp<int64_t>(f->frameInfo.y, 0, 0xFFFF - f->height)), f->width, f->height};
}

// The disposal method that says what the source's dispose value says.
uint8_t disposalOf(const Image* f) { return f->frameInfo.dispose == 1 ? 2 : f->frameInfo.dispose == 2 ? 3 : 1; }

// Whether a frame after the first replaces what lies under it (it does not
// blend) with clear pixels, which a GIF frame cannot do.
bool clearsPixels(Image* image, uint32_t bits)
{
    const uint32_t mask = (1u << bits) - 1;
    for (Image* f = image->next(); f; f = f->next()) {
        if (f->frameInfo.blend) continue;
        const PaletteRoles roles = scanPalette(f->palette(), mask + 1, f->frameInfo.backgroundColour);
        for (uint32_t y = 0; roles.transparent && y < f->height; ++y) {
            const uint8_t* row = f->row<uint8_t>(y);
            for (uint32_t x = 0; x < f->width; ++x)
                if ((row[x] & mask) == roles.transparentIndex) return true;
        }
    }
    return false;
}

// A picture of the whole screen: what a decoder or the source shows, one
// shownColour per pixel.
class Screen {
public:
    bool create(uint32_t width, uint32_t height)
    {
        width_ = width;
        return pixels_.allocate(uint64_t(width) * height, true);
    }
    uint32_t* row(uint32_t y) const { return pixels_.get() + uint64_t(y) * width_; }
    uint32_t at(uint32_t x, uint32_t y) const { return row(y)[x]; }
    void clear(const FrameRect& r)
    {
        for (uint32_t y = r.y; y < r.y + r.height; ++y) std::fill_n(row(y) + r.x, r.width, 0u);
    }
    void copy(const Screen& from) { std::copy_n(from.pixels_.get(), pixels_.size(), pixels_.get()); }

private:
    uint32_t width_ = 0;
    AlignedBuffer<uint32_t> pixels_;
};

// The screen as the source composes it: before a frame is drawn, the one
// before it is disposed of as it says; the frame then covers what lies under
// it where it is not clear when it blends, and replaces it when it does not.
class SourceScreen {
public:
    bool create(uint32_t width, uint32_t height)
    {
        return shown_.create(width, height) && under_.create(width, height);
    }
    const Screen& shown() const { return shown_; }

    void draw(Image* f, uint32_t bits)
    {
        if (last_.width) {
            if (lastDispose_ == 1) shown_.clear(last_);
            if (lastDispose_ == 2) shown_.copy(under_);
        }
        under_.copy(shown_);
        const uint32_t mask = (1u << bits) - 1;
        const PaletteRoles roles = scanPalette(f->palette(), mask + 1, f->frameInfo.backgroundColour);
        last_ = placed(f);
        lastDispose_ = f->frameInfo.dispose;
        for (uint32_t y = 0; y < f->height; ++y) {
            const uint8_t* src = f->row<uint8_t>(y);
            uint32_t* dst = shown_.row(last_.y + y) + last_.x;
            for (uint32_t x = 0; x < f->width; ++x) {
                const uint32_t v = shownColour(f->palette(), roles, src[x] & mask);
                if (v || !f->frameInfo.blend) dst[x] = v;
            }
        }
    }

private:
    Screen shown_, under_;
    FrameRect last_;
    uint8_t lastDispose_ = 0;
};

// How one frame is written: where, from the frame's own pixels or from what
// the source's screen shows there, and the disposal method.
struct PlannedFrame {
    FrameRect rect;
    bool composed;
    uint8_t disposal;
};

// Plans every frame so that a decoder's screen shows, after each, what the
// source's does. A frame is written as it is while that shows the source's
// screen; otherwise it grows over what differs and is written from the
// source's screen. Where the source shows clear what a decoder still shows,
// the frame before is disposed of to the background, grown over those
// pixels. False when out of memory.
bool planFrames(Image* image, uint32_t bits, uint32_t width, uint32_t height, PlannedFrame* plan)
{
    SourceScreen source;
    Screen gif;  // a decoder's screen before the frame, once the one before is disposed of
    if (!source.create(width, height) || !gif.create(width, height)) return false;
    const uint32_t mask = (1u << bits) - 1;
    size_t i = 0;
    for (Image* f = image; f; f = f->next(), ++i) {
        source.draw(f, bits);
        const Screen& shown = source.shown();
        // Where the decoder's screen differs from the source's, and where of
        // that the source's is clear.
        FrameRect cleared, differs;
        auto compare = [&] {
            cleared = differs = {};
            for (uint32_t y = 0; y < height; ++y)
                for (uint32_t x = 0; x < width; ++x) {
                    if (gif.at(x, y) == shown.at(x, y)) continue;
                    differs = differs.unite({x, y, 1, 1});
                    if (!shown.at(x, y)) cleared = cleared.unite({x, y, 1, 1});
                }
        };
        compare();
        if (!cleared.empty() && i > 0) {
            // The last frame, grown over these pixels and disposed of to the
            // background, clears them. Outside its old rectangle the decoder
            // shows what that frame left whatever its disposal, so nothing
            // changes there.
            PlannedFrame& last = plan[i - 1];
            const FrameRect grown = last.rect.unite(cleared);
            last.composed = last.composed || !(grown == last.rect);
            last.rect = grown;
            last.disposal = 2;
            gif.clear(grown);
            compare();
        }
        const FrameRect own = placed(f);
        bool fits = own.unite(differs) == own;
        const PaletteRoles roles = scanPalette(f->palette(), mask + 1, f->frameInfo.backgroundColour);
        for (uint32_t y = 0; fits && y < f->height; ++y)
            for (uint32_t x = 0; fits && x < f->width; ++x) {
                const uint32_t v = shownColour(f->palette(), roles, f->row<uint8_t>(y)[x] & mask);
                fits = (v ? v : gif.at(own.x + x, own.y + y)) == shown.at(own.x + x, own.y + y);
            }
        plan[i] = {fits ? own : own.unite(differs), !fits, disposalOf(f)};
        // The decoder now shows the source's screen; then the frame is
        // disposed of.
        if (plan[i].disposal != 3) gif.copy(shown);
        if (plan[i].disposal == 2) gif.clear(plan[i].rect);
    }
    return true;
}

// Indices of `colours` (sorted keys of colour << 8 | index) for what the
// screen shows over `rect`, the clear pixels at `clear` (none when
// negative). False when a colour is missing.
bool mapColours(const Screen& screen, const FrameRect& rect, const uint32_t* colours, uint32_t count, int32_t clear,
                Image* out)
{
    for (uint32_t y = 0; y < rect.height; ++y) {
        uint8_t* dst = out->row<uint8_t>(y);
        for (uint32_t x = 0; x < rect.width; ++x) {
            const uint32_t v = screen.at(rect.x + x, rect.y + y);
            const uint32_t* k = std::lower_bound(colours, colours + count, v << 8);
            if (v ? k == colours + count || *k >> 8 != (v & 0xFFFFFF) : clear < 0) return false;
            dst[x] = uint8_t(v ? *k : uint32_t(clear));
        }
    }
    return true;
}

// What the screen shows over `rect`, as a palette picture placed there with
// `frame`'s timing: through the frame's palette of 2^bits entries when it
// holds every colour shown (and a transparent entry where the screen is
// clear), else through a table of the colours shown, made to fit 256 when
// they are more. `bitsOut` receives the picture's table size. Null when out
// of memory.
Ref<Image> composedFrame(const Screen& screen, const FrameRect& rect, Image* frame, uint32_t bits, uint32_t* bitsOut)
{
    Ref<Image> out = Ref<Image>::adopt(imageCreate(PF_INDEXED8, packSize(rect.width, rect.height)));
    if (!out) return {};
    frameInfoCopyData(out->frameInfo, frame->frameInfo);
    out->frameInfo.x = int32_t(rect.x);
    out->frameInfo.y = int32_t(rect.y);
    *bitsOut = bits;
    const PaletteRoles roles = scanPalette(frame->palette(), 1u << bits, frame->frameInfo.backgroundColour);
    uint32_t keys[256];
    uint32_t n = 0;
    for (uint32_t i = 0; i < (1u << bits); ++i)
        if (uint32_t v = shownColour(frame->palette(), roles, uint8_t(i))) keys[n++] = v << 8 | i;
    std::sort(keys, keys + n);
    if (mapColours(screen, rect, keys, n, roles.transparent ? roles.transparentIndex : -1, out.get())) {
        out->indexedView()->setPalette(frame->palette(), 256);
        return out;
    }
    // The colours shown, clear (0) first.
    AlignedBuffer<uint32_t> shown(uint64_t(rect.width) * rect.height);
    if (!shown) return {};
    uint32_t* first = shown.get();
    for (uint32_t y = 0; y < rect.height; ++y)
        std::copy_n(screen.row(rect.y + y) + rect.x, rect.width, first + uint64_t(y) * rect.width);
    std::sort(first, first + shown.size());
    const uint64_t count = uint64_t(std::unique(first, first + shown.size()) - first);
    if (count <= 256) {
        uint32_t palette[256];
        std::fill_n(palette, 256, 0xFF000000u);
        for (uint32_t i = 0; i < count; ++i) palette[i] = first[i], keys[i] = first[i] << 8 | i;
        const uint32_t clear = first[0] == 0;
        mapColours(screen, rect, keys + clear, uint32_t(count) - clear, clear ? 0 : -1, out.get());
        out->indexedView()->setPalette(palette, 256);
        for (*bitsOut = 1; (1u << *bitsOut) < count;) ++*bitsOut;
        return out;
    }
    Ref<Image> rgba = Ref<Image>::adopt(imageCreate(PF_RGBA8, packSize(rect.width, rect.height)));
    if (!rgba) return {};
    rgba->alphaKind = ALPHA_STRAIGHT;
    for (uint32_t y = 0; y < rect.height; ++y)
        for (uint32_t x = 0; x < rect.width; ++x) {
            const uint32_t v = screen.at(rect.x + x, rect.y + y);
            rgba->row<Rgba8>(y)[x] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
        }
    QuantizeOptions options;
    options.dither = 0;
    *bitsOut = 8;
    return failed(imageQuantize(out.get(), rgba.get(), options)) ? Ref<Image>() : out;
}

// A few hundred bytes of header or extension, written at once.
struct Bytes {
    uint8_t b[1024];
    size_t n = 0;
    void u8(uint32_t v) { b[n++] = uint8_t(v); }
    void u16(uint32_t v) { u8(v & 255), u8(v >> 8); }
    void table(const uint32_t* palette, uint32_t entries)
    {
        for (uint32_t i = 0; i < entries; ++i) u8(palette[i] >> 16), u8(palette[i] >> 8), u8(palette[i]);
    }
};

class GifWriter final : public ImageWriter {
public:
    using ImageWriter::ImageWriter;

protected:
    ResultCode encode(Image* image, const char16_t* subFormatName, uint32_t colourFlag, uint32_t bitsPerPixel,
                      int32_t parameter, bool allFrames, void* extra) override;

private:
    ResultCode writeComment(const ImageInfo* info);
    ResultCode writeFrame(Image* frame, uint32_t bits, uint32_t frameBits, bool interlaced, bool animated,
                          const uint32_t* global, const PaletteRoles& globalRoles, uint8_t disposal);
    ResultCode put(const Bytes& bytes) { return failed(output.write(bytes.b, bytes.n)) ? RC_WRITE_FAILED : RC_OK; }
};

ResultCode GifWriter::encode(Image* image, const char16_t* subFormatName, uint32_t colourFlag, uint32_t, int32_t,
                             bool allFrames, void*)
{
    if (colourFlag == 0 || colourFlag > CF_256_COLOURS || (colourFlag & (colourFlag - 1)))
        return RC_UNSUPPORTED_COLOUR_FORMAT;
    const uint32_t bits = uint32_t(colourFormatBits(colourFlag));
    const bool interlaced = subFormatName && std::u16string_view(subFormatName) == kGifSubFormats[1];
    const bool animated = allFrames && image->next() != nullptr;

    // Every frame must be a palette image a GIF can hold; an animation's
    // screen covers every frame, whatever its canvas says.
    uint64_t screenW = image->width, screenH = image->height;
    for (Image* f = image; f; f = animated ? f->next() : nullptr) {
        if (!f->indexedView() || !f->palette()) return RC_UNSUPPORTED_COLOUR_FORMAT;
        if (f->width == 0 || f->height == 0 || f->width > 0xFFFF || f->height > 0xFFFF) return RC_INVALID_PARAMETER;
        if (animated) {
            uint64_t x = uint64_t(std::clamp<int64_t>(f->frameInfo.x, 0, 0xFFFF - f->width));
            uint64_t y = uint64_t(std::clamp<int64_t>(f->frameInfo.y, 0, 0xFFFF - f->height));
            screenW = std::max<uint64_t>(screenW, x + f->width);
            screenH = std::max<uint64_t>(screenH, y + f->height);
        }
    }
    if (animated) {
        screenW = std::min<uint64_t>(std::max<uint64_t>(screenW, image->frameInfo.canvasWidth), 0xFFFF);
        screenH = std::min<uint64_t>(std::max<uint64_t>(screenH, image->frameInfo.canvasHeight), 0xFFFF);
    }

    const uint32_t entries = 1u << bits;
    const uint32_t* global = image->palette();
    PaletteRoles roles = scanPalette(global, entries, image->frameInfo.backgroundColour);

    Bytes h;
    for (char ch : std::string_view(roles.transparent || animated ? "GIF89a" : "GIF87a")) h.u8(uint8_t(ch));
    h.u16(uint32_t(screenW));
    h.u16(uint32_t(screenH));
    h.u8(0x80 | (bits - 1) << 4 | (bits - 1));
    h.u8(roles.backgroundIndex);
    h.u8(0);
    h.table(global, entries);
    if (animated && image->frameInfo.loop) {
        // Loop count 0: for ever.
        static const uint8_t kLoop[] = {0x21, 0xFF, 11,  'N', 'E', 'T', 'S', 'C', 'A', 'P',
                                        'E',  '2',  '.', '0', 3,   1,   0,   0,   0};
        for (uint8_t v : kLoop) h.u8(v);
    }
    if (ResultCode rc = put(h); failed(rc)) return rc;
    if (ResultCode rc = writeComment(image->info()); failed(rc)) return rc;

    // Frames written as they are, unless one clears what lies under it.
    size_t count = 0;
    for (Image* f = image; f; f = animated ? f->next() : nullptr) ++count;
    AlignedBuffer<PlannedFrame> plan(count);
    SourceScreen source;
    const bool replan = animated && clearsPixels(image, bits);
    if (!plan || (replan && (!planFrames(image, bits, uint32_t(screenW), uint32_t(screenH), plan.get()) ||
                             !source.create(uint32_t(screenW), uint32_t(screenH)))))
        return RC_OUT_OF_MEMORY;
    size_t i = 0;
    for (Image* f = image; f; f = animated ? f->next() : nullptr, ++i) {
        Ref<Image> written = Ref<Image>::share(f);
        uint32_t frameBits = bits;
        if (replan) {
            source.draw(f, bits);
            if (plan[i].composed) written = composedFrame(source.shown(), plan[i].rect, f, bits, &frameBits);
            if (!written) return RC_OUT_OF_MEMORY;
        }
        ResultCode rc = writeFrame(written.get(), bits, frameBits, interlaced, animated, global, roles,
                                   replan ? plan[i].disposal : disposalOf(f));
        if (failed(rc)) return rc;
    }
    if (failed(output.writeU8(';')) || failed(output.flush())) return RC_WRITE_FAILED;
    return RC_OK;
}

ResultCode GifWriter::writeComment(const ImageInfo* info)
{
    if (!info) return RC_OK;
    const char16_t* text = nullptr;
    for (int field : {INFO_COMMENTS, INFO_AUTHOR, INFO_COPYRIGHT})
        if ((text = info->get(field)) && *text) break;
    if (!text || !*text) return RC_OK;
    size_t units = u16Length(text);
    AlignedBuffer<char> narrow(2 * uint64_t(units) + 1);
    if (!narrow) return RC_OUT_OF_MEMORY;
    wideToAnsiApprox(narrow.get(), text, 2 * units + 1);
    size_t length = std::strlen(narrow.get());
    const uint8_t head[2] = {0x21, 0xFE};
    if (failed(output.write(head, 2))) return RC_WRITE_FAILED;
    for (size_t at = 0; at < length; at += 255) {
        uint8_t n = uint8_t(std::min<size_t>(255, length - at));
        if (failed(output.writeU8(n)) || failed(output.write(narrow.get() + at, n))) return RC_WRITE_FAILED;
    }
    return failed(output.writeU8(0)) ? RC_WRITE_FAILED : RC_OK;
}

ResultCode GifWriter::writeFrame(Image* frame, uint32_t bits, uint32_t frameBits, bool interlaced, bool animated,
                                 const uint32_t* global, const PaletteRoles& globalRoles, uint8_t disposal)
{
    // A frame's own table may be larger than the global one.
    const uint32_t entries = 1u << frameBits;
    const uint32_t* palette = frame->palette();
    const bool first = palette == global;
    PaletteRoles roles = first ? globalRoles : scanPalette(palette, entries, frame->frameInfo.backgroundColour);
    bool local = !first && (frameBits != bits || !sameTable(global, globalRoles, palette, roles, entries));
    const FrameInfo& fi = frame->frameInfo;

    Bytes h;
    if (roles.transparent || animated) {
        uint32_t flags = roles.transparent ? 1 : 0;
        uint32_t delay = 0;
        if (animated) {
            flags |= uint32_t(disposal) << 2;
            if (fi.duration == kPageEndDuration) {
                flags |= 2;
            } else {
                delay = uint32_t(std::min<uint64_t>((uint64_t(fi.duration) + 5) / 10, 0xFFFF));
            }
        }
        h.u8(0x21), h.u8(0xF9), h.u8(4), h.u8(flags), h.u16(delay), h.u8(roles.transparentIndex), h.u8(0);
    }
    h.u8(',');
    h.u16(animated ? placed(frame).x : 0);
    h.u16(animated ? placed(frame).y : 0);
    h.u16(frame->width);
    h.u16(frame->height);
    h.u8((local ? 0x80 | (frameBits - 1) : 0) | (interlaced ? 0x40 : 0));
    if (local) h.table(palette, entries);
    if (ResultCode rc = put(h); failed(rc)) return rc;

    // The rows one after another, in pass order when interlaced.
    const uint32_t w = frame->width, height = frame->height;
    AlignedBuffer<uint8_t> pixels(uint64_t(w) * height);
    AlignedBuffer<uint32_t> order(height);
    if (!pixels || !order) return RC_OUT_OF_MEMORY;
    if (interlaced) {
        interlacedRowOrder(height, order.get());
    } else {
        for (uint32_t y = 0; y < height; ++y) order[y] = y;
    }
    const uint8_t mask = uint8_t(entries - 1);
    for (uint32_t i = 0; i < height; ++i) {
        const uint8_t* src = frame->row<uint8_t>(order[i]);
        uint8_t* dst = pixels.get() + uint64_t(i) * w;
        for (uint32_t x = 0; x < w; ++x) dst[x] = src[x] & mask;
    }
    bool ok = gifLzwEncode(pixels.get(), uint64_t(w) * height, frameBits,
                           [this](const uint8_t* p, size_t n) { return succeeded(output.write(p, n)); });
    return ok ? RC_OK : RC_WRITE_FAILED;
}

} // namespace

// ---- LZW ----

uint64_t gifLzwDecode(uint8_t* out, uint64_t outSize, const uint8_t* data, size_t length)
{
    if (!data || length < 1) return 0;
    const uint32_t minSize = data[0];
    if (minSize < 2 || minSize > 11) return 0;
    const uint32_t clear = 1u << minSize, end = clear + 1;

    uint16_t prefix[kMaxCodes];
    uint8_t suffix[kMaxCodes];
    uint8_t first[kMaxCodes];
    uint16_t size[kMaxCodes];
    for (uint32_t i = 0; i < clear; ++i) {
        prefix[i] = 0;
        suffix[i] = first[i] = uint8_t(i);
        size[i] = 1;
    }

    size_t pos = 1, blockLeft = 0;
    bool ended = false;
    uint32_t bits = 0, bitCount = 0;
    uint32_t width = minSize + 1, next = clear + 2;
    int32_t previous = -1;
    uint64_t done = 0;
    while (done < outSize) {
        while (bitCount < width) {
            while (blockLeft == 0 && !ended) {
                if (pos >= length || data[pos] == 0) {
                    ended = true;
                } else {
                    blockLeft = data[pos++];
                }
            }
            if (ended || pos >= length) return done;
            bits |= uint32_t(data[pos++]) << bitCount;
            --blockLeft;
            bitCount += 8;
        }
        uint32_t code = bits & ((1u << width) - 1);
        bits >>= width;
        bitCount -= width;

        if (code == clear) {
            width = minSize + 1;
            next = clear + 2;
            previous = -1;
            continue;
        }
        if (code == end) break;
        if (previous < 0) {
            if (code > clear) return done;
            out[done++] = uint8_t(code);
            previous = int32_t(code);
            continue;
        }
        if (code > next || (code == next && next >= kMaxCodes)) return done;
        if (next < kMaxCodes) {
            // code == next is the string just being defined: the previous
            // one plus its own first byte.
            uint32_t firstByte = code < next ? first[code] : first[previous];
            prefix[next] = uint16_t(previous);
            suffix[next] = uint8_t(firstByte);
            first[next] = first[previous];
            size[next] = uint16_t(size[previous] + 1);
            ++next;
            if (next == (1u << width) && width < 12) ++width;
        }
        // Written from its last byte back; whatever lies past the image is
        // dropped.
        uint32_t n = size[code];
        uint64_t room = outSize - done;
        uint32_t c = code;
        for (uint32_t i = n; i-- > 0;) {
            if (i < room) out[done + i] = suffix[c];
            c = prefix[c];
        }
        done += std::min<uint64_t>(n, room);
        previous = int32_t(code);
    }
    return done;
}

bool gifLzwEncode(const uint8_t* pixels, size_t count, uint32_t bits,
                  const std::function<bool(const uint8_t*, size_t)>& sink)
{
    constexpr uint32_t kHashSize = 5003;  // prime, a little above the 4,096 codes
    const uint32_t minSize = std::max(bits, 2u);
    const uint32_t clear = 1u << minSize, end = clear + 1, mask = clear - 1;
    int32_t keys[kHashSize];
    uint16_t codes[kHashSize];
    std::fill(keys, keys + kHashSize, -1);

    uint8_t block[256];
    uint32_t used = 0;
    bool ok = true;
    auto emit = [&](uint8_t byte) {
        block[1 + used++] = byte;
        if (used == 255) {
            block[0] = 255;
            ok = ok && sink(block, 256);
            used = 0;
        }
    };
    uint32_t acc = 0, accBits = 0, width = minSize + 1, next = clear + 2;
    auto put = [&](uint32_t code) {
        acc |= code << accBits;
        accBits += width;
        while (accBits >= 8) {
            emit(uint8_t(acc));
            acc >>= 8;
            accBits -= 8;
        }
        // The reader widens its codes once its table reaches the next power
        // of two, one code after this side defines that entry.
        if (next >= (1u << width) && width < 12) ++width;
    };

    const uint8_t head = uint8_t(minSize);
    if (!sink(&head, 1)) return false;
    put(clear);
    if (count) {
        uint32_t prefix = pixels[0] & mask;
        for (size_t i = 1; i < count && ok; ++i) {
            uint32_t byte = pixels[i] & mask;
            int32_t key = int32_t(prefix << 8 | byte);
            uint32_t slot = (prefix + 16 * byte) % kHashSize;
            const uint32_t step = slot == 0 ? 1 : kHashSize - slot;
            bool found = false;
            while (keys[slot] >= 0) {
                if (keys[slot] == key) {
                    found = true;
                    break;
                }
                slot = slot >= step ? slot - step : slot + kHashSize - step;
            }
            if (found) {
                prefix = codes[slot];
                continue;
            }
            put(prefix);
            if (next < kMaxCodes) {
                keys[slot] = key;
                codes[slot] = uint16_t(next++);
            } else {
                put(clear);
                std::fill(keys, keys + kHashSize, -1);
                width = minSize + 1;
                next = clear + 2;
            }
            prefix = byte;
        }
        put(prefix);
    }
    put(end);
    if (accBits) emit(uint8_t(acc));
    if (used) {
        block[0] = uint8_t(used);
        ok = ok && sink(block, used + 1);
    }
    const uint8_t terminator = 0;
    return ok && sink(&terminator, 1);
}

// ---- probe and factories ----

ResultCode gifProbe(MappedFile* file)
{
    if (!file || file->size() < 14 || !hasSignature(file->data(), file->size())) return RC_UNKNOWN_FORMAT;
    return RC_OK;
}

ImageReader* gifReaderCreate(MappedFile* file, const FormatDescriptor* descriptor)
{
    return new (std::nothrow) GifReader(file, descriptor);
}

ImageWriter* gifWriterCreate(const std::filesystem::path& path, const FormatDescriptor* descriptor)
{
    return writerCreate<GifWriter>(path, descriptor);
}

} // namespace quillon
