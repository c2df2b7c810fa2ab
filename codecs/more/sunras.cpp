// Sun raster: a 32-byte big-endian header, an optional colour map of all
// reds, then all greens, then all blues, and uncompressed rows top to bottom.
// Reads depths 1, 8, 24 and 32 (standard and RGB types); writes 1-bit and
// 8-bit with a map, 8-bit grey, 24-bit and 32-bit, rows padded to 16 bits.
#include "codecs/more/sunras.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "core/byte_cursor.h"
#include "core/convert.h"
#include "core/image_reader.h"
#include "core/image_writer.h"
#include "platform/memory.h"

namespace quillon {

const char16_t* const kSunRasterSubFormats[] = {u"Normal", u""};
const ColourFormatFlags kSunRasterSubFormatCaps[] = {CF_2_COLOURS | CF_256_COLOURS | CF_GRAY8 | CF_RGB24 | CF_RGBA32};

namespace {

constexpr uint32_t kMagic = 0x59A66A95;
constexpr uint32_t kHeaderBytes = 32;
constexpr uint32_t kTypeStandard = 1;
constexpr uint32_t kTypeRgb = 3;

struct SunHeader {
    uint32_t magic, width, height, depth, length, type, mapType, mapLength;
};

bool readSunHeader(const uint8_t* data, uint64_t size, SunHeader* h)
{
    if (size < kHeaderBytes) return false;
    ByteCursor c(data, kHeaderBytes);
    h->magic = c.u32be();
    h->width = c.u32be();
    h->height = c.u32be();
    h->depth = c.u32be();
    h->length = c.u32be();
    h->type = c.u32be();
    h->mapType = c.u32be();
    h->mapLength = c.u32be();
    return h->magic == kMagic;
}

class SunRasterReader final : public ImageReader {
public:
    SunRasterReader(MappedFile* f, const FormatDescriptor* d) : ImageReader(f, d) {}

protected:
    ResultCode readHeader(const void* options) override;
    ResultCode readPixels(Image* image, bool reduced, Progress* progress, AbortFlag* abort) override;

private:
    void decodeRow(uint8_t* dst, const uint8_t* src) const;

    uint64_t dataOffset_ = 0;
    uint64_t rowBytes_ = 0;
    uint32_t mapEntries_ = 0;
    bool rgbOrder_ = false;
};

ResultCode SunRasterReader::readHeader(const void*)
{
    SunHeader h;
    if (!readSunHeader(input->data(), input->size(), &h)) return RC_UNKNOWN_FORMAT;
    if (h.type == 2 || h.type > kTypeRgb) return RC_UNSUPPORTED_SUBFORMAT;
    if (h.depth != 1 && h.depth != 8 && h.depth != 24 && h.depth != 32) return RC_UNSUPPORTED_SUBFORMAT;
    if (h.mapLength && h.mapType != 0 && h.mapType != 1) return RC_UNSUPPORTED_SUBFORMAT;
    if (!h.width || !h.height) return RC_CORRUPT_FILE;
    dataOffset_ = uint64_t(kHeaderBytes) + h.mapLength;
    if (dataOffset_ > input->size()) return RC_CORRUPT_FILE;
    mapEntries_ = h.mapType == 1 ? std::min<uint32_t>(h.mapLength / 3, 256) : 0;
    rgbOrder_ = h.type == kTypeRgb;

    // Rows are padded to 16 bits, as every other program writes and reads
    // them. Files whose length field counts unpadded rows and whose data is
    // too short for padded ones were written without the padding.
    uint64_t unpadded = (uint64_t(h.width) * h.depth + 7) / 8;
    rowBytes_ = unpadded + (unpadded & 1);
    uint64_t avail = input->size() - dataOffset_;
    if (h.depth != 1 && rowBytes_ != unpadded && uint64_t(h.length) == unpadded * h.height &&
        avail < rowBytes_ * h.height)
        rowBytes_ = unpadded;

    width = h.width;
    height = h.height;
    bitsPerPixel = h.depth;
    colourModel = CM_RGB;
    uint64_t minRow = uint64_t(width);
    if (h.depth <= 8) {
        // A bitmap without a map is black on white.
        pixelFormat = mapEntries_ || h.depth == 1 ? PF_INDEXED8 : PF_GRAY8;
    } else {
        pixelFormat = PF_RGBA8;
        alphaKind = h.depth == 32 ? ALPHA_STRAIGHT : ALPHA_NONE;
        minRow *= 4;
    }
    // Data that cannot fill even the first row holds no picture: refused
    // here, before an image of the declared size exists.
    if (avail < unpadded) return RC_CORRUPT_FILE;
    // Rows the data cannot hold even unpadded are a cut file's, or the size
    // is a lie.
    if (uncompressedRowsLie(this, unpadded, height, avail, minRow > UINT32_MAX - 64)) return RC_CORRUPT_FILE;
    if (minRow > UINT32_MAX - 64) return RC_OUT_OF_MEMORY;
    minRowBytes = uint32_t(minRow);
    return RC_OK;
}

void SunRasterReader::decodeRow(uint8_t* dst, const uint8_t* src) const
{
    switch (bitsPerPixel) {
    case 1:
        for (uint32_t x = 0; x < width; ++x) dst[x] = (src[x >> 3] >> (7 - (x & 7))) & 1;
        break;
    case 8: std::memcpy(dst, src, width); break;
    default: {
        // 32-bit pixels carry their alpha (or pad) byte first.
        Rgba8* out = reinterpret_cast<Rgba8*>(dst);
        uint32_t step = bitsPerPixel / 8;
        uint32_t c = step == 4 ? 1 : 0;
        for (uint32_t x = 0; x < width; ++x, src += step) {
            uint8_t a = step == 4 ? src[0] : 255;
            if (rgbOrder_) out[x] = {src[c + 2], src[c + 1], src[c], a};
            else out[x] = {src[c], src[c + 1], src[c + 2], a};
        }
    }
    }
}

ResultCode SunRasterReader::readPixels(Image* image, bool, Progress* progress, AbortFlag* abort)
{
    const uint8_t* data = input->data();
    uint64_t size = input->size();
    if (pixelFormat == PF_INDEXED8) {
        uint32_t* pal = image->palette();
        if (!pal) return RC_INVALID_PARAMETER;
        std::fill(pal, pal + 256, 0xFF000000u);
        if (mapEntries_) {
            const uint8_t* map = data + kHeaderBytes;
            uint32_t n = (uint32_t(dataOffset_) - kHeaderBytes) / 3;
            for (uint32_t i = 0; i < mapEntries_; ++i)
                pal[i] = 0xFF000000u | (uint32_t(map[i]) << 16) | (uint32_t(map[n + i]) << 8) | map[2 * n + i];
        } else {
            pal[0] = 0xFFFFFFFFu;
        }
    }

    AlignedBuffer<uint8_t> scratch;
    bool truncated = false;
    bool anyAlpha = false;
    for (uint32_t y = 0; y < height; ++y) {
        uint8_t* dst = image->rowBytesPtr(y);
        uint64_t at = dataOffset_ + uint64_t(y) * rowBytes_;
        const uint8_t* src = data + at;
        if (truncated) {
            // The rows the data never reached: zeros, which on fresh memory
            // cost nothing however many rows the file claims.
            imageClearRows(image, y, height);
            break;
        }
        if (at + rowBytes_ > size) {
            // The last, partial row: what is missing reads as zeros.
            if (!scratch.allocate(rowBytes_, true)) return RC_OUT_OF_MEMORY;
            if (at < size) std::memcpy(scratch.get(), src, size_t(size - at));
            src = scratch.get();
            truncated = true;
        }
        decodeRow(dst, src);
        if (bitsPerPixel == 32)
            for (uint32_t x = 0; x < width && !anyAlpha; ++x) anyAlpha = dst[4 * x + 3] != 0;
        if (aborted(abort)) return RC_OK;
        if ((y & 31) == 31) reportProgress(progress, y + 1, height);
    }
    // Pad bytes left at zero are not transparency: such a file would
    // otherwise show nothing at all.
    if (bitsPerPixel == 32 && !anyAlpha)
        for (uint32_t y = 0; y < height; ++y) {
            Rgba8* p = image->row<Rgba8>(y);
            for (uint32_t x = 0; x < width; ++x) p[x].a = 255;
        }
    return truncated ? RC_CORRUPT_FILE : RC_OK;
}

// ---- writer ----

class SunRasterWriter final : public ImageWriter {
public:
    using ImageWriter::ImageWriter;

protected:
    ResultCode encode(Image* image, const char16_t* subFormatName, uint32_t colourFlag, uint32_t bitsPerPixel,
                      int32_t parameter, bool allFrames, void* extra) override;
};

ResultCode SunRasterWriter::encode(Image* image, const char16_t*, uint32_t colourFlag, uint32_t, int32_t, bool, void*)
{
    uint32_t depth, mapEntries = 0;
    switch (colourFlag) {
    case CF_2_COLOURS: depth = 1, mapEntries = 2; break;
    case CF_256_COLOURS: depth = 8, mapEntries = 256; break;
    case CF_GRAY8: depth = 8; break;
    case CF_RGB24: depth = 24; break;
    case CF_RGBA32: depth = 32; break;
    default: return RC_UNSUPPORTED_COLOUR_FORMAT;
    }
    bool ok = mapEntries ? image->indexedView() != nullptr
                         : depth == 8 ? image->gray8View() != nullptr : image->rgba8View() != nullptr;
    if (!ok) return RC_INVALID_PARAMETER;
    uint32_t w = image->width, h = image->height;
    uint64_t unpadded = (uint64_t(w) * depth + 7) / 8;
    uint64_t rowBytes = unpadded + (unpadded & 1);
    uint64_t length;
    if (!checkedMul(rowBytes, h, &length) || length > UINT32_MAX) return RC_INVALID_PARAMETER;
    AlignedBuffer<uint8_t> row(rowBytes + 16, true);
    if (!row) return RC_OUT_OF_MEMORY;

    const uint32_t header[8] = {kMagic,           w,          h,          depth, uint32_t(length), kTypeStandard,
                                mapEntries ? 1u : 0u, 3 * mapEntries};
    for (uint32_t v : header)
        if (failed(output.writeU32be(v))) return RC_WRITE_FAILED;
    if (mapEntries) {
        const uint32_t* pal = image->palette();
        uint8_t map[768];
        for (uint32_t i = 0; i < mapEntries; ++i) {
            map[i] = uint8_t(pal[i] >> 16);
            map[mapEntries + i] = uint8_t(pal[i] >> 8);
            map[2 * mapEntries + i] = uint8_t(pal[i]);
        }
        if (failed(output.write(map, 3 * mapEntries))) return RC_WRITE_FAILED;
    }

    uint8_t* out = row.get();
    bool premultiplied = depth == 32 && image->alphaKind == ALPHA_PREMULTIPLIED;
    AlignedBuffer<Rgba8> straight(premultiplied ? w : 0);
    if (premultiplied && !straight) return RC_OUT_OF_MEMORY;
    for (uint32_t y = 0; y < h; ++y) {
        if (depth == 1) {
            std::memset(out, 0, size_t(rowBytes));
            const uint8_t* idx = image->row<uint8_t>(y);
            for (uint32_t x = 0; x < w; ++x)
                if (idx[x] & 1) out[x >> 3] |= uint8_t(0x80 >> (x & 7));
        } else if (depth == 8) {
            std::memcpy(out, image->row<uint8_t>(y), w);
        } else {
            const Rgba8* px = image->row<Rgba8>(y);
            if (premultiplied) {
                unpremultiplyRow8(straight.get(), px, w);
                px = straight.get();
            }
            uint8_t* o = out;
            for (uint32_t x = 0; x < w; ++x) {
                Rgba8 p = px[x];
                if (depth == 32) *o++ = p.a;
                *o++ = p.b, *o++ = p.g, *o++ = p.r;
            }
            if (rowBytes > unpadded) out[unpadded] = 0;
        }
        if (failed(output.write(out, size_t(rowBytes)))) return RC_WRITE_FAILED;
    }
    return failed(output.flush()) ? RC_WRITE_FAILED : RC_OK;
}

} // namespace

ResultCode sunRasterProbe(MappedFile* file)
{
    SunHeader h;
    return file && readSunHeader(file->data(), file->size(), &h) ? RC_OK : RC_UNKNOWN_FORMAT;
}

ImageReader* sunRasterReaderCreate(MappedFile* file, const FormatDescriptor* descriptor)
{
    return new (std::nothrow) SunRasterReader(file, descriptor);
}

ImageWriter* sunRasterWriterCreate(const std::filesystem::path& path, const FormatDescriptor* descriptor)
{
    return writerCreate<SunRasterWriter>(path, descriptor);
}

} // namespace quillon
