// Windows icons and cursors: a directory of images, each either a PNG file
// or a bitmap (an info header, a palette, the colour rows and a 1-bit AND
// mask, all rows bottom-up and padded to 4 bytes). The largest image is
// read; bitmaps of up to 8 bits turn their masked pixels into one
// transparent palette entry, 24-bit bitmaps into transparent pixels.
#include "codecs/more/ico.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

#include "codecs/main/png.h"
#include "core/bitpack.h"
#include "core/byte_cursor.h"
#include "core/convert.h"
#include "core/image_reader.h"
#include "core/quantize.h"
#include "core/text.h"
#include "platform/memory.h"

namespace quillon {

namespace {

constexpr uint32_t kDirectoryHeader = 6;
constexpr uint32_t kEntryBytes = 16;
constexpr uint32_t kInfoHeaderBytes = 40;
constexpr uint64_t kMinFileBytes = kDirectoryHeader + kEntryBytes + kInfoHeaderBytes;
const uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
constexpr uint32_t kTransparentWhite = 0x00FFFFFF;

// The directory header checks probe and reader share; the entry count, or 0
// when the data is not an icon or cursor file.
uint32_t directoryCount(const uint8_t* data, uint64_t size)
{
    if (size < kDirectoryHeader) return 0;
    uint32_t reserved = loadU16le(data), type = loadU16le(data + 2), count = loadU16le(data + 4);
    return reserved == 0 && (type == 1 || type == 2) ? count : 0;
}

bool decodableBits(uint32_t bits) { return bits == 1 || bits == 4 || bits == 8 || bits == 24 || bits == 32; }

// Row bytes of `width` samples of `bits` bits, padded to 4 bytes.
inline uint64_t paddedRow(uint64_t width, uint32_t bits) { return (width * bits + 31) / 32 * 4; }

class IcoReader final : public ImageReader {
public:
    IcoReader(MappedFile* f, const FormatDescriptor* d) : ImageReader(f, d) {}

protected:
    ResultCode readHeader(const void* options) override;
    ResultCode readPixels(Image* image, bool reduced, Progress* progress, AbortFlag* abort) override;

private:
    struct Best {
        uint32_t width = 0, height = 0, bits = 0;
    };
    ResultCode considerPng(const uint8_t* image, uint64_t bytes, Best& best, bool& chosen);
    bool considerBitmap(uint64_t offset, Best& best, bool& unsupported);
    ResultCode readRows(Image* image, Progress* progress, AbortFlag* abort) const;
    ResultCode applyMask(Image* image) const;
    ResultCode applyMaskRgba(Image* image) const;
    bool maskBit(uint32_t x, uint32_t y) const;
    bool maskComplete() const;

    Ref<ImageReader> png_;
    uint64_t palette_ = 0, pixels_ = 0;  // offsets in the file
    uint32_t bits_ = 0;
};

// A PNG entry is chosen only when it is larger in every respect.
ResultCode IcoReader::considerPng(const uint8_t* image, uint64_t bytes, Best& best, bool& chosen)
{
    Ref<MappedFile> stream = Ref<MappedFile>::adopt(memoryStreamCreate(image, bytes, "", false));
    if (!stream) return RC_OUT_OF_MEMORY;
    Ref<ImageReader> reader = Ref<ImageReader>::adopt(pngReaderCreate(stream.get(), descriptor));
    if (!reader) return RC_OUT_OF_MEMORY;
    if (failed(reader->open(nullptr))) return RC_OK;
    if (reader->width > best.width && reader->height > best.height && reader->bitsPerPixel > best.bits) {
        best = {reader->width, reader->height, reader->bitsPerPixel};
        png_ = std::move(reader);
        chosen = true;
    }
    return RC_OK;
}

// A bitmap entry wins ties, so the last of equal bitmaps is read.
bool IcoReader::considerBitmap(uint64_t offset, Best& best, bool& unsupported)
{
    const uint8_t* h = input->data() + offset;
    uint64_t headerBytes = loadU32le(h);
    int32_t w = int32_t(loadU32le(h + 4)), h2 = int32_t(loadU32le(h + 8));
    uint32_t planes = loadU16le(h + 12), bits = loadU16le(h + 14);
    if (planes != 1 || bits > 32 || w <= 0 || h2 < 2 || headerBytes < kInfoHeaderBytes ||
        headerBytes > input->size() - offset)
        return false;
    if (!decodableBits(bits)) {
        unsupported = true;
        return false;
    }
    uint32_t height = uint32_t(h2) / 2;
    if (uint32_t(w) < best.width || height < best.height || bits < best.bits) return false;
    best = {uint32_t(w), height, bits};
    png_.reset();
    bits_ = bits;
    palette_ = offset + headerBytes;
    pixels_ = palette_ + (bits <= 8 ? 4ull << bits : 0);
    return true;
}

ResultCode IcoReader::readHeader(const void*)
{
    const uint8_t* data = input->data();
    const uint64_t size = input->size();
    uint32_t count = directoryCount(data, size);
    if (!count) return RC_UNKNOWN_FORMAT;
    png_.reset();
    Best best;
    bool chosen = false, unsupported = false;
    for (uint32_t i = 0; i < count; ++i) {
        uint64_t entry = kDirectoryHeader + uint64_t(i) * kEntryBytes;
        if (entry + kEntryBytes > size) break;
        uint64_t bytes = loadU32le(data + entry + 8), offset = loadU32le(data + entry + 12);
        if (offset + kInfoHeaderBytes > size) break;
        if (std::memcmp(data + offset, kPngSignature, sizeof kPngSignature) == 0) {
            // The stream never reaches past the file, whatever the entry says.
            if (ResultCode rc = considerPng(data + offset, std::min(bytes, size - offset), best, chosen); failed(rc))
                return rc;
        } else if (considerBitmap(offset, best, unsupported)) {
            chosen = true;
        }
    }
    if (!chosen) return unsupported ? RC_UNSUPPORTED_SUBFORMAT : RC_UNKNOWN_FORMAT;
    width = best.width;
    height = best.height;
    bitsPerPixel = best.bits;

    if (png_) {
        info.set(INFO_COMPRESSION, u"PNG/Inflate");
        minRowBytes = png_->minRowBytes;
        minRows = png_->minRows;
        pixelFormat = png_->pixelFormat;
        alphaKind = png_->alphaKind;
        // The PNG reader's decode already widens grey of under 8 bits; a
        // second widening here would saturate it.
        colourModel = png_->colourModel == CM_L && png_->bitsPerPixel < 8 ? CM_RGB : png_->colourModel;
        return RC_OK;
    }
    uint64_t rowBytes = bits_ >= 24 ? uint64_t(width) * 4 : width;
    // Colour rows that cannot fill even the first row hold no picture:
    // refused here, before an image of the declared size exists.
    if (pixels_ >= size || size - pixels_ < paddedRow(width, bits_)) return RC_CORRUPT_FILE;
    pixelFormat = bits_ >= 24 ? PF_RGBA8 : PF_INDEXED8;
    // Colour rows must fit in the bytes that are there, except in a cut file.
    if (uncompressedRowsLie(this, paddedRow(width, bits_), height, size - pixels_, rowBytes > UINT32_MAX - 64))
        return RC_CORRUPT_FILE;
    if (rowBytes > UINT32_MAX - 64) return RC_OUT_OF_MEMORY;
    minRowBytes = uint32_t(rowBytes);
    alphaKind = ALPHA_STRAIGHT;
    colourModel = CM_RGB;
    return RC_OK;
}

// The colour rows, bottom-up; RC_CORRUPT_FILE when the data ends first
// (the rows it never reached are cleared).
ResultCode IcoReader::readRows(Image* image, Progress* progress, AbortFlag* abort) const
{
    const uint8_t* data = input->data();
    const uint64_t size = input->size();
    if (bits_ <= 8) {
        uint32_t* pal = image->palette();
        if (!pal) return RC_INVALID_PARAMETER;
        std::fill(pal, pal + 256, 0xFF000000u);
        uint64_t have = palette_ < size ? (size - palette_) / 4 : 0;
        for (uint32_t i = 0; i < (1u << bits_) && i < have; ++i) {
            const uint8_t* e = data + palette_ + 4 * i;
            pal[i] = 0xFF000000u | uint32_t(e[2]) << 16 | uint32_t(e[1]) << 8 | e[0];
        }
    }
    const uint64_t fileRow = paddedRow(width, bits_);
    AlignedBuffer<uint8_t> scratch(fileRow + 16, true);
    if (!scratch) return RC_OUT_OF_MEMORY;
    for (uint32_t r = 0; r < height; ++r) {
        if (aborted(abort)) return RC_OK;
        uint32_t y = height - 1 - r;
        uint64_t at = pixels_ + uint64_t(r) * fileRow;
        const uint8_t* src = data + at;
        bool cut = at > size || size - at < fileRow;
        if (cut) {
            std::memset(scratch.get(), 0, size_t(fileRow));
            if (at < size) std::memcpy(scratch.get(), data + at, size_t(size - at));
            src = scratch.get();
        }
        uint8_t* dst = image->rowBytesPtr(y);
        if (bits_ <= 8) {
            unpackSamples(dst, src, width, bits_);
        } else {
            Rgba8* out = reinterpret_cast<Rgba8*>(dst);
            uint32_t step = bits_ / 8;
            for (uint32_t x = 0; x < width; ++x, src += step)
                out[x] = {src[0], src[1], src[2], step == 4 ? src[3] : uint8_t(255)};
        }
        if (cut) {
            // The rows the data never reached (the file stores the bottom row
            // first) stay empty.
            imageClearRows(image, 0, height - 1 - r);
            return RC_CORRUPT_FILE;
        }
        if ((r & 31) == 31) reportProgress(progress, r + 1, height);
    }
    return RC_OK;
}

// The AND mask follows the colour rows: 1 bit per pixel, set for a
// transparent pixel, rows bottom-up and padded to 4 bytes. Bits past the end
// of the file read as visible.
bool IcoReader::maskBit(uint32_t x, uint32_t y) const
{
    const uint64_t maskRow = paddedRow(width, 1);
    uint64_t at = pixels_ + paddedRow(width, bits_) * height + uint64_t(height - 1 - y) * maskRow + x / 8;
    return at < input->size() && (input->data()[at] >> (7 - x % 8)) & 1;
}

bool IcoReader::maskComplete() const
{
    return pixels_ + (paddedRow(width, bits_) + paddedRow(width, 1)) * height <= input->size();
}

// Masked pixels take one palette entry no visible pixel uses, made
// transparent white. An 8-bit image whose visible pixels use all 256
// entries is first reduced to 255 colours.
ResultCode IcoReader::applyMask(Image* image) const
{
    bool used[256] = {};
    bool any = false;
    for (uint32_t y = 0; y < height; ++y) {
        const uint8_t* row = image->row<uint8_t>(y);
        for (uint32_t x = 0; x < width; ++x) {
            if (maskBit(x, y)) any = true;
            else used[row[x]] = true;
        }
    }
    if (any) {
        uint32_t t = 1u << bits_;
        if (t == 256) {
            while (t > 0 && used[t - 1]) --t;
            if (t == 0) {
                Ref<Image> copy = Ref<Image>::adopt(imageCreate(PF_INDEXED8, image->size()));
                if (!copy || failed(imageConvertPixels(copy.get(), image, false))) return RC_OUT_OF_MEMORY;
                QuantizeOptions options = globalQuantizeOptions();
                options.colourCount = 255;
                options.useFixedPalette = 0;
                options.useGivenPalette = 0;
                if (ResultCode rc = imageQuantize(image, copy.get(), options); failed(rc)) return rc;
                t = 256;
            }
            --t;
        }
        image->palette()[t] = kTransparentWhite;
        for (uint32_t y = 0; y < height; ++y) {
            uint8_t* row = image->row<uint8_t>(y);
            for (uint32_t x = 0; x < width; ++x)
                if (maskBit(x, y)) row[x] = uint8_t(t);
        }
    }
    return maskComplete() ? RC_OK : RC_CORRUPT_FILE;
}

// 24-bit pixels have no alpha of their own: the mask is their
// transparency. 32-bit pixels carry alpha; only when every alpha byte is
// zero (written by programs that relied on the mask) does the mask decide.
ResultCode IcoReader::applyMaskRgba(Image* image) const
{
    if (bits_ == 32) {
        for (uint32_t y = 0; y < height; ++y) {
            const Rgba8* row = image->row<Rgba8>(y);
            for (uint32_t x = 0; x < width; ++x)
                if (row[x].a) return RC_OK;
        }
    }
    for (uint32_t y = 0; y < height; ++y) {
        Rgba8* row = image->row<Rgba8>(y);
        for (uint32_t x = 0; x < width; ++x) row[x].a = maskBit(x, y) ? 0 : 255;
    }
    return maskComplete() ? RC_OK : RC_CORRUPT_FILE;
}

ResultCode IcoReader::readPixels(Image* image, bool, Progress* progress, AbortFlag* abort)
{
    if (png_) return png_->decode(image, false, progress, abort);
    ResultCode rc = readRows(image, progress, abort);
    if (failed(rc) || aborted(abort)) return rc;
    ResultCode mask = bits_ <= 8 ? applyMask(image) : applyMaskRgba(image);
    return failed(mask) ? mask : rc;
}

} // namespace

ResultCode icoProbe(MappedFile* file)
{
    if (!file) return RC_UNKNOWN_FORMAT;
    std::string name = file->name().string();
    if (!hasExtensionNoCase(name, ".ico") && !hasExtensionNoCase(name, ".cur")) return RC_UNKNOWN_FORMAT;
    if (file->size() < kMinFileBytes) return RC_UNKNOWN_FORMAT;
    uint32_t count = directoryCount(file->data(), file->size());
    return count >= 1 && count <= 99 ? RC_OK : RC_UNKNOWN_FORMAT;
}

ImageReader* icoReaderCreate(MappedFile* file, const FormatDescriptor* descriptor)
{
    return new (std::nothrow) IcoReader(file, descriptor);
}

} // namespace quillon
