// WebP reading: the RIFF chunks of simple and extended files (VP8X, ALPH,
// ANIM, ANMF frames, XMP, EXIF) walked here, each frame's bitstream decoded
// by libwebp straight into the image's rows.
// WebP writing: each frame encoded by libwebp into a file in memory, whose
// bitstream chunks are then placed in an extended container with the
// animation and metadata chunks.
#include "codecs/more/webp.h"

#include <webp/decode.h>
#include <webp/encode.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "codecs/main/exif.h"
#include "codecs/main/xmp.h"
#include "core/byte_cursor.h"
#include "core/convert.h"
#include "core/frame_rect.h"
#include "core/image_reader.h"
#include "core/image_writer.h"
#include "platform/memory.h"

namespace quillon {

const char16_t* const kWebpSubFormats[] = {u"Lossless", u"Lossy, by Quality:", u""};
const ColourFormatFlags kWebpSubFormatCaps[] = {CF_RGB24 | CF_RGBA32, CF_RGB24 | CF_RGBA32};
const uint8_t kWebpParamKinds[] = {PARAM_NONE, PARAM_QUALITY};

namespace {

constexpr uint8_t kFlagAnimation = 0x02, kFlagXmp = 0x04, kFlagExif = 0x08, kFlagAlpha = 0x10;

bool isTag(const uint8_t* p, const char* tag) { return std::memcmp(p, tag, 4) == 0; }

// RC_OK for a RIFF/WEBP file whose first chunk is an image or VP8X chunk.
ResultCode checkSignature(const uint8_t* d, uint64_t size)
{
    if (size < 32 || !isTag(d, "RIFF") || !isTag(d + 8, "WEBP")) return RC_UNKNOWN_FORMAT;
    const uint8_t* first = d + 12;
    return isTag(first, "VP8 ") || isTag(first, "VP8L") || isTag(first, "VP8X") ? RC_OK : RC_CORRUPT_FILE;
}

uint32_t u24(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16; }

class WebpReader;

// What the chunk walk carries from chunk to chunk.
struct Walk {
    const uint8_t* vp8x = nullptr;
    uint8_t flags = 0;
    bool animated = false;
    uint32_t canvasWidth = 0, canvasHeight = 0;
    uint32_t background = 0;
    uint8_t loop = 0;
    WebpReader* last = nullptr;  // the reader of the latest frame
    bool cut = false;            // a chunk ran past the end of the data
    uint32_t frames = 0;
};

class WebpReader final : public ImageReader {
public:
    WebpReader(MappedFile* f, const FormatDescriptor* d) : ImageReader(f, d) {}

protected:
    ResultCode readHeader(const void* options) override;
    ResultCode readPixels(Image* image, bool reduced, Progress* progress, AbortFlag* abort) override;

private:
    ResultCode walk(const uint8_t* p, const uint8_t* end, bool inFrame, Walk& w);
    ResultCode takeBitstream(const uint8_t* chunk, uint32_t length, bool lossless);
    WebpReader* newFrame(Walk& w);

    // The image chunk with its 8-byte header, as far as the file holds it.
    const uint8_t* bitstream_ = nullptr;
    size_t bitstreamLength_ = 0;
    // The ALPH chunk with its header (lossy frames only).
    const uint8_t* alpha_ = nullptr;
    size_t alphaLength_ = 0;
    bool lossless_ = false;
    // The image chunk is cut short, or the file ends inside a chunk after
    // this frame: decoding reports the file as damaged.
    bool cut_ = false;
};

ResultCode WebpReader::takeBitstream(const uint8_t* chunk, uint32_t length, bool lossless)
{
    const uint8_t* data = chunk + 8;
    uint32_t size = length - 8;
    uint32_t w, h;
    bool hasAlpha;
    if (lossless) {
        WebPBitstreamFeatures features;
        if (size < 5 || WebPGetFeatures(data, size, &features) != VP8_STATUS_OK) return RC_CORRUPT_FILE;
        w = uint32_t(features.width);
        h = uint32_t(features.height);
        hasAlpha = features.has_alpha != 0;
    } else {
        // A key frame's header: tag bits, start code and the two sizes.
        if (size < 10) return RC_CORRUPT_FILE;
        uint32_t tag = u24(data);
        bool key = (tag & 1) == 0, shown = (tag >> 4) & 1;
        uint32_t version = (tag >> 1) & 7, partition = tag >> 5;
        if (!key || version > 3 || !shown || partition >= size) return RC_CORRUPT_FILE;
        if (data[3] != 0x9D || data[4] != 0x01 || data[5] != 0x2A) return RC_CORRUPT_FILE;
        w = loadU16le(data + 6) & 0x3FFF;
        h = loadU16le(data + 8) & 0x3FFF;
        hasAlpha = alpha_ != nullptr;
    }
    if (w == 0 || h == 0) return RC_CORRUPT_FILE;
    bitstream_ = chunk;
    bitstreamLength_ = length;
    lossless_ = lossless;
    width = w;
    height = h;
    pixelFormat = PF_RGBA8;
    colourModel = CM_RGB;
    bitsPerPixel = hasAlpha ? 32 : 24;
    alphaKind = hasAlpha ? ALPHA_STRAIGHT : ALPHA_NONE;
    return RC_OK;
}

WebpReader* WebpReader::newFrame(Walk& w)
{
    if (!w.last) {
        w.last = this;
    } else {
        auto* r = new (std::nothrow) WebpReader(input, descriptor);
        if (!r) return nullptr;
        w.last->nextReader = r;
        w.last = r;
    }
    FrameInfo& fi = w.last->frameInfo;
    fi.canvasWidth = w.canvasWidth;
    fi.canvasHeight = w.canvasHeight;
    fi.backgroundColour = w.background;
    fi.loop = w.loop;
    return w.last;
}

// One level of chunks from p to end. Inside a frame only its image chunks
// count, so frames cannot nest.
ResultCode WebpReader::walk(const uint8_t* p, const uint8_t* end, bool inFrame, Walk& w)
{
    while (end - p >= 8) {
        const uint8_t* data = p + 8;
        uint64_t size = loadU32le(p + 4);
        uint64_t avail = uint64_t(end - data);
        bool image = isTag(p, "VP8 ") || isTag(p, "VP8L");
        if (size > avail) {
            // A chunk cut short: an image chunk still gives what it holds.
            w.cut = true;
            if (!image || bitstream_) break;
            size = avail;
        }
        if (image) {
            if (!bitstream_) {
                ResultCode rc = takeBitstream(p, uint32_t(size + 8), isTag(p, "VP8L"));
                if (failed(rc)) return rc;
            }
        } else if (isTag(p, "ALPH")) {
            if (w.vp8x && (w.flags & kFlagAlpha) && !alpha_) {
                alpha_ = p;
                alphaLength_ = size_t(size + 8);
            }
        } else if (inFrame) {
            // Nothing else belongs inside a frame.
        } else if (isTag(p, "VP8X")) {
            if (!w.vp8x && size >= 10) {
                w.vp8x = data;
                w.flags = data[0];
                w.canvasWidth = u24(data + 4) + 1;
                w.canvasHeight = u24(data + 7) + 1;
            }
        } else if (!w.vp8x) {
            break;
        } else if (isTag(p, "ANIM")) {
            if ((w.flags & kFlagAnimation) && !w.animated && size >= 6) {
                uint32_t b = data[0], g = data[1], r = data[2], a = data[3];
                // Decoders compose on a clear canvas and take this colour as a
                // hint at most: the canvas starts clear, and the colour stays
                // for pictures flattened without alpha.
                if (a) w.background = r << 16 | g << 8 | b;
                w.loop = loadU16le(data + 4) != 1;
                w.animated = true;
            }
        } else if (isTag(p, "ANMF")) {
            if (w.animated && size >= 16) {
                if (++w.frames > kMaxFrames) {
                    // More than any real animation: the rest is not kept.
                    w.cut = true;
                    break;
                }
                WebpReader* r = newFrame(w);
                if (!r) return RC_OUT_OF_MEMORY;
                r->frameInfo.x = int32_t(2 * u24(data));
                r->frameInfo.y = int32_t(2 * u24(data + 3));
                r->frameInfo.duration = u24(data + 12);
                r->frameInfo.dispose = data[15] & 1;
                r->frameInfo.blend = (data[15] & 2) ? 0 : 1;
                // A frame without an image keeps no size: the decode then
                // reports the damage after the frames before it.
                ResultCode rc = r->walk(data + 16, data + size, true, w);
                if (failed(rc)) return rc;
            }
        } else if (isTag(p, "XMP ")) {
            if (w.flags & kFlagXmp) xmpParse(info, data, size_t(size));
        } else if (isTag(p, "EXIF")) {
            if (w.flags & kFlagExif) exifParse(info, data, size_t(size));
        }
        // The pad byte after an odd size may be missing at the very end.
        p = data + std::min<uint64_t>(size + (size & 1), avail);
    }
    return RC_OK;
}

ResultCode WebpReader::readHeader(const void*)
{
    const uint8_t* d = input->data();
    uint64_t size = input->size();
    if (checkSignature(d, size) == RC_UNKNOWN_FORMAT) return RC_UNKNOWN_FORMAT;
    uint64_t end = std::min<uint64_t>(uint64_t(loadU32le(d + 4)) + 8, size);
    Walk w;
    ResultCode rc = walk(d + 12, d + end, false, w);
    if (failed(rc)) return rc;
    if (!bitstream_) return RC_CORRUPT_FILE;
    if (w.cut) (w.last ? w.last : this)->cut_ = true;

    bool anyLossless = false, anyLossy = false;
    for (ImageReader* r = this; r; r = r->nextReader) {
        bool lossless = static_cast<WebpReader*>(r)->lossless_;
        anyLossless |= lossless;
        anyLossy |= !lossless;
    }
    const char16_t* kind = anyLossless && anyLossy ? u"Mixed VP8" : anyLossless ? u"Lossless VP8" : u"Lossy VP8";
    for (ImageReader* r = this; r; r = r->nextReader) r->info.set(INFO_COMPRESSION, kind);
    return RC_OK;
}

ResultCode WebpReader::readPixels(Image* image, bool, Progress* progress, AbortFlag* abort)
{
    // The decoder takes an ALPH chunk followed by the VP8 chunk, or the VP8L
    // chunk alone; the two are copied together when they are apart.
    const uint8_t* stream = bitstream_;
    size_t length = bitstreamLength_;
    AlignedBuffer<uint8_t> joined;
    if (alpha_ && !lossless_) {
        if (alpha_ + alphaLength_ == bitstream_ || alpha_ + alphaLength_ + 1 == bitstream_) {
            stream = alpha_;
            length = size_t(bitstream_ + bitstreamLength_ - alpha_);
        } else {
            if (!joined.allocate(uint64_t(alphaLength_) + (alphaLength_ & 1) + bitstreamLength_))
                return RC_OUT_OF_MEMORY;
            std::memcpy(joined.get(), alpha_, alphaLength_);
            if (alphaLength_ & 1) joined[alphaLength_] = 0;
            std::memcpy(joined.get() + alphaLength_ + (alphaLength_ & 1), bitstream_, bitstreamLength_);
            stream = joined.get();
            length = alphaLength_ + (alphaLength_ & 1) + bitstreamLength_;
        }
    }

    WebPDecBuffer out;
    if (!WebPInitDecBuffer(&out)) return RC_GENERAL_FAILURE;
    out.colorspace = MODE_BGRA;
    out.is_external_memory = 1;
    out.u.RGBA.rgba = static_cast<uint8_t*>(image->pixels());
    out.u.RGBA.stride = int(image->rowBytes());
    out.u.RGBA.size = image->rowBytes() * height;
    WebPIDecoder* decoder = WebPINewDecoder(&out);
    if (!decoder) return RC_OUT_OF_MEMORY;
    // Fed in pieces, so that a long decode can be stopped and report how
    // far it got.
    constexpr size_t kPiece = 256 * 1024;
    VP8StatusCode status = VP8_STATUS_SUSPENDED;
    int lastRow = 0;
    for (size_t fed = 0; fed < length && status == VP8_STATUS_SUSPENDED;) {
        fed = std::min(length, fed + kPiece);
        status = WebPIUpdate(decoder, stream, fed);
        WebPIDecGetRGB(decoder, &lastRow, nullptr, nullptr, nullptr);
        reportProgress(progress, uint32_t(std::max(lastRow, 0)), height);
        if (aborted(abort)) {
            WebPIDelete(decoder);
            return RC_OK;
        }
    }
    WebPIDecGetRGB(decoder, &lastRow, nullptr, nullptr, nullptr);
    WebPIDelete(decoder);
    if (status == VP8_STATUS_OK && !cut_) return RC_OK;
    // Rows the data did not reach stay blank.
    imageClearRows(image, uint32_t(std::clamp(lastRow, 0, int(height))), height);
    return status == VP8_STATUS_OUT_OF_MEMORY ? RC_OUT_OF_MEMORY : RC_CORRUPT_FILE;
}

// ---- writer ----

// One encoded frame: the library's whole file in memory and where its
// bitstream chunks (ALPH and VP8, or VP8L, headers and pads included) lie.
struct EncodedFrame {
    WebPMemoryWriter memory;
    size_t chunkStart = 0, chunkLength = 0;
    bool alpha = false;
    uint32_t width = 0, height = 0;
    uint32_t x = 0, y = 0;
    uint32_t duration = 0;
    uint8_t dispose = 0, blend = 1;

    EncodedFrame() { WebPMemoryWriterInit(&memory); }
    ~EncodedFrame() { WebPMemoryWriterClear(&memory); }
    EncodedFrame(const EncodedFrame&) = delete;
    EncodedFrame& operator=(const EncodedFrame&) = delete;

    // Finds the bitstream chunks after the optional VP8X chunk.
    bool findBitstream()
    {
        const uint8_t* d = memory.mem;
        size_t size = memory.size;
        size_t at = 12;
        size_t start = 0;
        bool started = false;
        while (d && at + 8 <= size) {
            uint64_t length = 8 + uint64_t(loadU32le(d + at + 4));
            length += length & 1;
            if (length > size - at) length = size - at;
            if (isTag(d + at, "ALPH") && !started) {
                start = at;
                started = true;
            } else if (isTag(d + at, "VP8 ") || isTag(d + at, "VP8L")) {
                chunkStart = started ? start : at;
                chunkLength = size_t(at + length - chunkStart);
                return true;
            }
            at += size_t(length);
        }
        return false;
    }
};

uint32_t clampOffset(int32_t v) { return uint32_t(std::clamp<int64_t>(v, 0, 2 * int64_t(0xFFFFFF))); }

using Rect = FrameRect;

// The container stores positions halved: an odd one moves a pixel up or
// left and the frame grows by it.
Rect evenOrigin(const Rect& r) { return {r.x & ~1u, r.y & ~1u, r.width + (r.x & 1), r.height + (r.y & 1)}; }

// Straight-alpha "over", as a decoder blends a frame onto the canvas.
Rgba8 over(Rgba8 s, Rgba8 d)
{
    if (s.a == 0) return d;
    if (s.a == 255 || d.a == 0) return s;
    uint32_t da = (uint32_t(d.a) * (255 - s.a) + 127) / 255, a = s.a + da;
    auto mix = [&](uint8_t sc, uint8_t dc) { return uint8_t((sc * s.a + dc * da + a / 2) / a); };
    return {mix(s.b, d.b), mix(s.g, d.g), mix(s.r, d.r), uint8_t(a)};
}

// Two clear pixels look the same whatever their colours.
bool sameLook(Rgba8 p, Rgba8 q)
{
    return (p.a == 0 && q.a == 0) || (p.b == q.b && p.g == q.g && p.r == q.r && p.a == q.a);
}

// The canvas as a decoder composes the frames written so far, and as the
// source shows its own, kept when the two can part. A frame padded to an
// even position and disposed of clears its padding too; a first frame laid
// on the background and disposed of clears the whole canvas, where its
// source clears or restores the frame alone; a frame its source disposes of
// to the previous picture stays, as WebP cannot restore one. Where the
// decoder then shows something else than the source, the canvas is owed,
// and the next frame grows to give it back.
class ComposedCanvas {
public:
    // The decoder starts on a clear canvas, the source on its opaque
    // `background` when it has one.
    bool create(uint32_t width, uint32_t height, const Rgba8* background)
    {
        width_ = width;
        height_ = height;
        const uint64_t pixels = uint64_t(width) * height;
        if (!decoded_.allocate(pixels, true) || !shown_.allocate(pixels, true)) return false;
        if (background) std::fill(shown_.get(), shown_.get() + pixels, *background);
        return true;
    }
    const Rect& owedBounds() const { return owedBounds_; }
    Rgba8 decoded(uint32_t x, uint32_t y) const { return decoded_.get()[index(x, y)]; }
    Rgba8 shown(uint32_t x, uint32_t y) const { return shown_.get()[index(x, y)]; }
    bool owes(uint32_t x, uint32_t y) const
    {
        return owedBounds_.contains(x, y) && !sameLook(decoded(x, y), shown(x, y));
    }

    // `written` covers `rect`, which holds what is owed, and is composed
    // as a decoder does (opaque when encoded without `alpha`); the source
    // then shows the same there. Then the source's frame at `own` is
    // disposed of as `dispose` says, and the written one as it can be:
    // only to the background. False when out of memory.
    bool draw(const Image* written, bool alpha, const Rect& rect, bool blend, const Rect& own, uint8_t dispose)
    {
        AlignedBuffer<Rgba8> previous;
        if (dispose == 2) {
            if (!previous.allocate(uint64_t(own.width) * own.height)) return false;
            for (uint32_t r = 0; r < own.height; ++r)
                std::copy_n(shown_.get() + index(own.x, own.y + r), own.width, previous.get() + size_t(r) * own.width);
        }
        for (uint32_t r = 0; r < rect.height; ++r) {
            const Rgba8* src = written->row<Rgba8>(r);
            Rgba8* dst = decoded_.get() + index(rect.x, rect.y + r);
            for (uint32_t c = 0; c < rect.width; ++c) {
                Rgba8 v = src[c];
                if (!alpha) v.a = 255;
                dst[c] = blend ? over(v, dst[c]) : v;
            }
            std::copy_n(dst, rect.width, shown_.get() + index(rect.x, rect.y + r));
        }
        owedBounds_ = {};
        if (dispose == 1) {
            for (uint32_t r = 0; r < rect.height; ++r)
                std::fill_n(decoded_.get() + index(rect.x, rect.y + r), rect.width, Rgba8{});
            for (uint32_t r = 0; r < own.height; ++r)
                std::fill_n(shown_.get() + index(own.x, own.y + r), own.width, Rgba8{});
        } else if (dispose == 2) {
            for (uint32_t r = 0; r < own.height; ++r)
                std::copy_n(previous.get() + size_t(r) * own.width, own.width, shown_.get() + index(own.x, own.y + r));
        } else {
            return true;
        }
        // Only what was just disposed of can differ.
        for (uint32_t y = rect.y; y < rect.y + rect.height; ++y)
            for (uint32_t x = rect.x; x < rect.x + rect.width; ++x)
                if (!sameLook(decoded(x, y), shown(x, y))) owedBounds_ = owedBounds_.unite({x, y, 1, 1});
        return true;
    }

private:
    size_t index(uint32_t x, uint32_t y) const { return size_t(y) * width_ + x; }

    uint32_t width_ = 0, height_ = 0;
    AlignedBuffer<Rgba8> decoded_, shown_;
    Rect owedBounds_;
};

// `frame` laid at `own` on `canvas` filled with `background`, straight, and
// opaque when the frame is encoded without `alpha`; written over the whole
// canvas, as the first frame replaces it. Null when out of memory.
Ref<Image> layOnBackground(Image* frame, bool alpha, const Rect& own, const Rect& canvas, Rgba8 background)
{
    Ref<Image> laid = Ref<Image>::adopt(imageCreate(PF_RGBA8, packSize(canvas.width, canvas.height)));
    AlignedBuffer<Rgba8> straight(frame->width);
    if (!laid || !straight) return nullptr;
    laid->alphaKind = alpha ? ALPHA_STRAIGHT : ALPHA_NONE;
    frameInfoCopyData(laid->frameInfo, frame->frameInfo);
    laid->frameInfo.blend = 0;
    for (uint32_t y = 0; y < canvas.height; ++y) {
        Rgba8* row = laid->row<Rgba8>(y);
        std::fill_n(row, canvas.width, background);
        if (y < own.y || y - own.y >= own.height) continue;
        const Rgba8* src = frame->row<Rgba8>(y - own.y);
        if (frame->alphaKind == ALPHA_PREMULTIPLIED) {
            unpremultiplyRow8(straight.get(), src, frame->width);
            src = straight.get();
        }
        Rgba8* dst = row + own.x;
        std::copy_n(src, frame->width, dst);
        if (!alpha)
            for (uint32_t x = 0; x < frame->width; ++x) dst[x].a = 255;
    }
    return laid;
}

// Opaque frames still leave the canvas clear where none has been yet, and
// where one disposed of is not covered by the next.
bool leavesClearCanvas(const EncodedFrame* frames, size_t count, uint64_t width, uint64_t height)
{
    auto rect = [&](size_t k) { return Rect{frames[k].x, frames[k].y, frames[k].width, frames[k].height}; };
    const Rect whole = {0, 0, uint32_t(width), uint32_t(height)};
    if (!(rect(0).unite(whole) == rect(0))) return true;
    for (size_t k = 0; k + 1 < count; ++k)
        if (frames[k].dispose && !(rect(k + 1).unite(rect(k)) == rect(k + 1))) return true;
    return false;
}

class WebpWriter final : public ImageWriter {
public:
    using ImageWriter::ImageWriter;

protected:
    ResultCode encode(Image* image, const char16_t* subFormatName, uint32_t colourFlag, uint32_t bitsPerPixel,
                      int32_t parameter, bool allFrames, void* extra) override;

private:
    ResultCode encodeFrame(EncodedFrame& out, Image* frame, const WebPConfig& config, bool alpha, const Rect& own,
                           const Rect& rect, ComposedCanvas* canvas, Ref<Image>& written);
    ResultCode put(const void* data, size_t n) { return failed(output.write(data, n)) ? RC_WRITE_FAILED : RC_OK; }
    ResultCode putChunk(const char* tag, const uint8_t* data, size_t n);
};

// Encodes `frame`, placed at `own`, as a complete file in memory, widened to
// `rect` when that is larger (in an animation, to an even position, and
// over what the canvas owes): the pixels around the frame leave the canvas
// as it was, or give back what it owes. A frame that blends can give back
// only what lies over a clear pixel or is opaque; else it replaces the
// canvas, showing what its source shows over it. `written` receives the
// pixels encoded.
ResultCode WebpWriter::encodeFrame(EncodedFrame& out, Image* frame, const WebPConfig& config, bool alpha,
                                   const Rect& own, const Rect& rect, ComposedCanvas* canvas, Ref<Image>& written)
{
    const FrameInfo& fi = frame->frameInfo;
    bool blend = fi.blend != 0;
    const uint32_t w = rect.width, h = rect.height;
    const bool grown = w != own.width || h != own.height;
    const bool owes = canvas && !canvas->owedBounds().empty();
    written = Ref<Image>::share(frame);
    if (grown || owes || frame->alphaKind == ALPHA_PREMULTIPLIED) {
        written = Ref<Image>::adopt(imageCreate(PF_RGBA8, packSize(w, h)));
        if (!written) return RC_OUT_OF_MEMORY;
        AlignedBuffer<Rgba8> straight(frame->width);
        if (!straight) return RC_OUT_OF_MEMORY;
        // Row y of the canvas within the frame, straight; null outside it.
        // A frame encoded without alpha is opaque, whatever its alpha
        // bytes hold; a widened one carries them.
        const bool opaque = !alpha && !grown;
        auto sourceRow = [&](uint32_t y) -> const Rgba8* {
            if (y < own.y || y - own.y >= own.height) return nullptr;
            const Rgba8* src = frame->row<Rgba8>(y - own.y);
            if (frame->alphaKind == ALPHA_PREMULTIPLIED) {
                unpremultiplyRow8(straight.get(), src, frame->width);
                src = straight.get();
            }
            if (opaque) {
                if (src != straight.get()) std::copy_n(src, frame->width, straight.get());
                for (uint32_t x = 0; x < frame->width; ++x) straight[x].a = 255;
                src = straight.get();
            }
            return src;
        };
        // What the source shows at (x, y) of its frame's row `src` once the
        // frame is drawn.
        auto shown = [&](const Rgba8* src, uint32_t x, uint32_t y) {
            const Rgba8 under = canvas->shown(x, y);
            if (!src || !own.contains(x, y)) return under;
            return fi.blend ? over(src[x - own.x], under) : src[x - own.x];
        };
        if (blend && owes) {
            const Rect& owed = canvas->owedBounds();
            for (uint32_t y = owed.y; y < owed.y + owed.height && blend; ++y) {
                const Rgba8* src = sourceRow(y);
                for (uint32_t x = owed.x; x < owed.x + owed.width && blend; ++x)
                    if (canvas->owes(x, y) && canvas->decoded(x, y).a && shown(src, x, y).a != 255) blend = false;
            }
        }
        const Rgba8 transparent = {255, 255, 255, 0};
        bool clear = false;
        for (uint32_t r = 0; r < h; ++r) {
            Rgba8* dst = written->row<Rgba8>(r);
            const uint32_t y = rect.y + r;
            const Rgba8* src = sourceRow(y);
            for (uint32_t c = 0; c < w; ++c) {
                const uint32_t x = rect.x + c;
                const bool inside = src && own.contains(x, y), owed = canvas && canvas->owes(x, y);
                Rgba8& v = dst[c];
                if (blend) {
                    // The decoder blends over what it has: what it owes is
                    // given whole, which a clear or equal pixel takes as is.
                    v = owed ? shown(src, x, y) : inside ? src[x - own.x] : transparent;
                } else if (inside) {
                    v = canvas ? shown(src, x, y) : src[x - own.x];
                } else {
                    v = !canvas ? transparent : owed ? canvas->shown(x, y) : canvas->decoded(x, y);
                }
                clear |= v.a != 255;
            }
        }
        if (grown || clear) alpha = true;
    }

    WebPPicture picture;
    if (!WebPPictureInit(&picture)) return RC_GENERAL_FAILURE;
    picture.width = int(w);
    picture.height = int(h);
    picture.use_argb = config.lossless;
    const uint8_t* rows = static_cast<const uint8_t*>(written->pixels());
    int stride = int(written->rowBytes());
    int imported =
        alpha ? WebPPictureImportBGRA(&picture, rows, stride) : WebPPictureImportBGRX(&picture, rows, stride);
    if (!imported) {
        WebPPictureFree(&picture);
        return RC_OUT_OF_MEMORY;
    }
    picture.writer = WebPMemoryWrite;
    picture.custom_ptr = &out.memory;
    int ok = WebPEncode(&config, &picture);
    WebPEncodingError error = picture.error_code;
    WebPPictureFree(&picture);
    if (!ok) return error == VP8_ENC_ERROR_OUT_OF_MEMORY ? RC_OUT_OF_MEMORY : RC_GENERAL_FAILURE;
    if (!out.findBitstream()) return RC_GENERAL_FAILURE;
    out.alpha = alpha;
    out.width = w;
    out.height = h;
    out.x = rect.x;
    out.y = rect.y;
    // Durations are 24 bits; a frame that waits for the user waits longest.
    out.duration = std::min<uint32_t>(fi.duration, 0xFFFFFF);
    out.dispose = fi.dispose == 1;
    out.blend = blend;
    return RC_OK;
}

ResultCode WebpWriter::putChunk(const char* tag, const uint8_t* data, size_t n)
{
    uint8_t head[8];
    std::memcpy(head, tag, 4);
    for (int i = 0; i < 4; ++i) head[4 + i] = uint8_t(uint32_t(n) >> (8 * i));
    const uint8_t pad = 0;
    if (failed(output.write(head, 8)) || failed(output.write(data, n)) || ((n & 1) && failed(output.write(&pad, 1))))
        return RC_WRITE_FAILED;
    return RC_OK;
}

ResultCode WebpWriter::encode(Image* image, const char16_t* subFormatName, uint32_t colourFlag, uint32_t,
                              int32_t parameter, bool allFrames, void*)
{
    if (colourFlag != CF_RGB24 && colourFlag != CF_RGBA32) return RC_UNSUPPORTED_COLOUR_FORMAT;
    const bool animated = allFrames && image->next();
    for (Image* f = image; f; f = animated ? f->next() : nullptr)
        if (!f->rgba8View()) return RC_UNSUPPORTED_COLOUR_FORMAT;
    const bool lossy =
        subFormatName && std::u16string_view(subFormatName).find(u"Quality") != std::u16string_view::npos;
    const bool wantAlpha = colourFlag == CF_RGBA32 && image->alphaKind != ALPHA_NONE;

    const ImageInfo* info = image->info();
    XmpBuildState counter;
    size_t xmpLength = info ? xmpBuild(counter, info) : 0;
    AlignedBuffer<uint8_t> xmp(std::max<size_t>(xmpLength, 1));
    uint32_t exifLength = info ? exifBlockSize(info) : 0;
    AlignedBuffer<uint8_t> exif(std::max<uint32_t>(exifLength, 1));
    if (!xmp || !exif) return RC_OUT_OF_MEMORY;
    if (xmpLength) {
        XmpBuildState filler(xmp.get());
        xmpLength = xmpBuild(filler, info);
    }
    if (exifLength) exifLength = exifBlockWrite(exif.get(), info);

    WebPConfig config;
    if (!WebPConfigInit(&config)) return RC_GENERAL_FAILURE;
    config.quality = float(lossy ? std::clamp(parameter, 0, 100) : 75);
    if (!WebPValidateConfig(&config)) return RC_GENERAL_FAILURE;
    config.lossless = lossy ? 0 : 1;

    size_t count = 0;
    for (Image* f = image; f; f = animated ? f->next() : nullptr) ++count;
    std::unique_ptr<EncodedFrame[]> frames(new (std::nothrow) EncodedFrame[count]);
    if (!frames) return RC_OUT_OF_MEMORY;
    size_t i = 0;
    uint64_t canvasW = image->width, canvasH = image->height;
    if (animated) {
        canvasW = std::max<uint64_t>(canvasW, image->frameInfo.canvasWidth);
        canvasH = std::max<uint64_t>(canvasH, image->frameInfo.canvasHeight);
    }
    // The canvas is composed only when a written frame parts from its
    // source, and only as far as the frames reach, or over the whole canvas
    // when the first frame is laid on it.
    std::unique_ptr<ComposedCanvas> canvas;
    uint64_t reachW = 0, reachH = 0;
    bool odd = false, restores = false;
    for (Image* f = image; animated && f; f = f->next()) {
        uint32_t x = clampOffset(f->frameInfo.x), y = clampOffset(f->frameInfo.y);
        odd |= ((x | y) & 1) != 0;
        restores |= f->frameInfo.dispose == 2 && f->next();
        reachW = std::max<uint64_t>(reachW, uint64_t(x) + f->width);
        reachH = std::max<uint64_t>(reachH, uint64_t(y) + f->height);
    }
    // Decoders start on a clear canvas, whatever the background: a first
    // frame that leaves an opaque one showing around it is laid on it. What
    // it and a frame disposed of to the previous picture owe may take a
    // frame as large as the canvas to give back, and no WebP frame is wider
    // or taller than WEBP_MAX_DIMENSION: a larger canvas is left as it was.
    const Rect first = {animated ? clampOffset(image->frameInfo.x) : 0, animated ? clampOffset(image->frameInfo.y) : 0,
                        image->width, image->height};
    const uint32_t background = image->frameInfo.backgroundColour;
    const bool opaqueBackground = (background >> 24) == 0xFF;
    const Rect screen = first.unite({0, 0, uint32_t(canvasW), uint32_t(canvasH)});
    const bool fits =
        std::max(canvasW, reachW) <= WEBP_MAX_DIMENSION && std::max(canvasH, reachH) <= WEBP_MAX_DIMENSION;
    const bool laidOut = animated && fits && opaqueBackground && !(first == screen);
    const Rgba8 backgroundPixel = {uint8_t(background), uint8_t(background >> 8), uint8_t(background >> 16), 255};
    if (odd || (fits && restores) || (laidOut && image->frameInfo.dispose)) {
        const uint64_t w = laidOut ? std::max<uint64_t>(screen.width, reachW) : reachW;
        const uint64_t h = laidOut ? std::max<uint64_t>(screen.height, reachH) : reachH;
        if (w > 0x1000000 || h > 0x1000000) return RC_INVALID_PARAMETER;
        canvas.reset(new (std::nothrow) ComposedCanvas);
        if (!canvas || !canvas->create(uint32_t(w), uint32_t(h), fits && opaqueBackground ? &backgroundPixel : nullptr))
            return RC_OUT_OF_MEMORY;
    }
    bool anyAlpha = false;
    for (Image* f = image; f; f = animated ? f->next() : nullptr, ++i) {
        bool alpha = f == image ? wantAlpha : f->alphaKind != ALPHA_NONE;
        Rect own = {animated ? clampOffset(f->frameInfo.x) : 0, animated ? clampOffset(f->frameInfo.y) : 0, f->width,
                    f->height};
        Image* frame = f;
        Rect drawn = own;
        Ref<Image> laid;
        if (laidOut && f == image) {
            drawn = screen;
            laid = layOnBackground(f, alpha, own, drawn, backgroundPixel);
            if (!laid) return RC_OUT_OF_MEMORY;
            frame = laid.get();
        }
        Rect rect = canvas ? evenOrigin(drawn.unite(canvas->owedBounds())) : evenOrigin(drawn);
        Ref<Image> written;
        ResultCode rc = encodeFrame(frames[i], frame, config, alpha, drawn, rect, canvas.get(), written);
        if (failed(rc)) return rc;
        const uint8_t dispose = f->frameInfo.dispose == 2 && !fits ? 0 : f->frameInfo.dispose;
        if (canvas && !canvas->draw(written.get(), frames[i].alpha, rect, frames[i].blend, own, dispose))
            return RC_OUT_OF_MEMORY;
        anyAlpha |= frames[i].alpha;
        // The canvas covers every frame, whatever the first one says.
        canvasW = std::max<uint64_t>(canvasW, uint64_t(frames[i].x) + frames[i].width);
        canvasH = std::max<uint64_t>(canvasH, uint64_t(frames[i].y) + frames[i].height);
    }
    if (canvasW > 0x1000000 || canvasH > 0x1000000) return RC_INVALID_PARAMETER;
    if (animated && !anyAlpha) anyAlpha = leavesClearCanvas(frames.get(), count, canvasW, canvasH);

    if (!animated && !xmpLength && !exifLength) {
        if (failed(output.write(frames[0].memory.mem, frames[0].memory.size)) || failed(output.flush()))
            return RC_WRITE_FAILED;
        return RC_OK;
    }

    uint64_t imagePart = 0;
    if (animated) {
        imagePart = 8 + 6;
        for (size_t k = 0; k < count; ++k) imagePart += 8 + 16 + uint64_t(frames[k].chunkLength);
    } else {
        imagePart = frames[0].chunkLength;
    }
    uint64_t riffSize = 4 + 18 + imagePart;
    if (xmpLength) riffSize += 8 + xmpLength + (xmpLength & 1);
    if (exifLength) riffSize += 8 + exifLength + (exifLength & 1);
    if (riffSize > 0xFFFFFFF0u) return RC_INVALID_PARAMETER;

    uint8_t head[30];
    std::memcpy(head, "RIFF", 4);
    for (int b = 0; b < 4; ++b) head[4 + b] = uint8_t(riffSize >> (8 * b));
    std::memcpy(head + 8, "WEBPVP8X", 8);
    head[16] = 10, head[17] = head[18] = head[19] = 0;
    head[20] = uint8_t((animated ? kFlagAnimation : 0) | (xmpLength ? kFlagXmp : 0) | (exifLength ? kFlagExif : 0) |
                       (anyAlpha ? kFlagAlpha : 0));
    head[21] = head[22] = head[23] = 0;
    for (int b = 0; b < 3; ++b) {
        head[24 + b] = uint8_t((canvasW - 1) >> (8 * b));
        head[27 + b] = uint8_t((canvasH - 1) >> (8 * b));
    }
    if (ResultCode rc = put(head, 30); failed(rc)) return rc;
    if (!animated) {
        if (ResultCode rc = put(frames[0].memory.mem + frames[0].chunkStart, frames[0].chunkLength); failed(rc))
            return rc;
    } else {
        uint32_t bg = image->frameInfo.backgroundColour;
        uint8_t anim[6] = {uint8_t(bg), uint8_t(bg >> 8), uint8_t(bg >> 16), uint8_t(bg >> 24),
                           uint8_t(image->frameInfo.loop ? 0 : 1), 0};
        if (ResultCode rc = putChunk("ANIM", anim, 6); failed(rc)) return rc;
        for (size_t k = 0; k < count; ++k) {
            const EncodedFrame& f = frames[k];
            uint32_t size = uint32_t(16 + f.chunkLength);
            uint8_t h[24];
            std::memcpy(h, "ANMF", 4);
            uint32_t fields[5] = {f.x / 2, f.y / 2, f.width - 1, f.height - 1, f.duration};
            for (int b = 0; b < 4; ++b) h[4 + b] = uint8_t(size >> (8 * b));
            for (int n = 0; n < 5; ++n)
                for (int b = 0; b < 3; ++b) h[8 + 3 * n + b] = uint8_t(fields[n] >> (8 * b));
            h[23] = uint8_t((f.dispose ? 1 : 0) | (f.blend ? 0 : 2));
            if (failed(output.write(h, 24)) || failed(output.write(f.memory.mem + f.chunkStart, f.chunkLength)))
                return RC_WRITE_FAILED;
        }
    }
    if (xmpLength)
        if (ResultCode rc = putChunk("XMP ", xmp.get(), xmpLength); failed(rc)) return rc;
    if (exifLength)
        if (ResultCode rc = putChunk("EXIF", exif.get(), exifLength); failed(rc)) return rc;
    return failed(output.flush()) ? RC_WRITE_FAILED : RC_OK;
}

} // namespace

ResultCode webpProbe(MappedFile* file)
{
    if (!file) return RC_UNKNOWN_FORMAT;
    return checkSignature(file->data(), file->size());
}

ImageReader* webpReaderCreate(MappedFile* file, const FormatDescriptor* descriptor)
{
    return new (std::nothrow) WebpReader(file, descriptor);
}

ImageWriter* webpWriterCreate(const std::filesystem::path& path, const FormatDescriptor* descriptor)
{
    return writerCreate<WebpWriter>(path, descriptor);
}

} // namespace quillon
