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
#include <new>

#include "codecs/main/exif.h"
#include "codecs/main/xmp.h"
#include "core/byte_cursor.h"
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
                if (a) w.background = a << 24 | r << 16 | g << 8 | b;
                w.loop = loadU16le(data + 4) != 1;
                w.animated = true;
            }
        } else if (isTag(p, "ANMF")) {
            if (w.animated && size >= 16) {
                WebpReader* r = newFrame(w);
                if (!r) return RC_OUT_OF_MEMORY;
                r->frameInfo.x = int32_t(2 * u24(data));
                r->frameInfo.y = int32_t(2 * u24(data + 3));
                r->frameInfo.duration = u24(data + 12);
                r->frameInfo.dispose = data[15] & 1;
                r->frameInfo.blend = (data[15] & 2) ? 0 : 1;
                ResultCode rc = r->walk(data + 16, data + size, true, w);
                if (failed(rc)) return rc;
                if (!r->bitstream_) return RC_CORRUPT_FILE;
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
            if (!joined.allocate(uint64_t(alphaLength_) + (alphaLength_ & 1) + bitstreamLength_)) return RC_OUT_OF_MEMORY;
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
    for (uint32_t y = uint32_t(std::clamp(lastRow, 0, int(height))); y < height; ++y)
        std::memset(image->rowBytesPtr(y), 0, size_t(width) * 4);
    return status == VP8_STATUS_OUT_OF_MEMORY ? RC_OUT_OF_MEMORY : RC_CORRUPT_FILE;
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

ImageWriter* webpWriterCreate(const std::filesystem::path&, const FormatDescriptor*) { return nullptr; }

} // namespace quillon
