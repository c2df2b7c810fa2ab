#include "codecs/more/iff.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <string>

#include "core/bitpack.h"
#include "core/byte_cursor.h"
#include "core/convert.h"
#include "core/image_reader.h"
#include "core/text.h"
#include "platform/memory.h"

namespace quillon {

namespace {

constexpr uint32_t kCamgHalfBright = 0x80, kCamgHoldAndModify = 0x800;

bool isId(const uint8_t* p, const char* id) { return std::memcmp(p, id, 4) == 0; }

// "FORM" with an "ILBM" or "PBM " form type.
bool hasSignature(const uint8_t* d, uint64_t size)
{
    return size >= 12 && isId(d, "FORM") && (isId(d + 8, "ILBM") || isId(d + 8, "PBM "));
}

class IffReader final : public ImageReader {
public:
    IffReader(MappedFile* f, const FormatDescriptor* d) : ImageReader(f, d) {}

protected:
    ResultCode readHeader(const void* options) override;
    ResultCode readPixels(Image* image, bool reduced, Progress* progress, AbortFlag* abort) override;

private:
    void buildPalette(uint32_t* palette, uint32_t entries) const;
    void holdAndModifyRow(Rgba8* out, const uint8_t* values, const uint32_t* palette) const;
    void takeCmykColourMap(const uint8_t* cmyk, uint32_t entries);

    const uint8_t* body_ = nullptr;
    uint64_t bodySize_ = 0;
    const uint8_t* colourMap_ = nullptr;
    uint32_t colourMapEntries_ = 0;
    std::array<uint8_t, 256 * 3> cmykAsRgb_{};  // a colour map given only as CMYK, as red, green, blue
    uint32_t rowLength_ = 0;  // pixels per stored row
    uint64_t fileRowBytes_ = 0;  // bytes per stored row, every plane and the mask
    uint32_t planes_ = 0;
    bool compressed_ = false, chunky_ = false, maskPlane_ = false, halfBright_ = false, holdAndModify_ = false;
    uint32_t transparent_ = 0xFFFFFFFF;
};

ResultCode IffReader::readHeader(const void*)
{
    const uint8_t* d = input->data();
    const uint64_t size = input->size();
    if (!hasSignature(d, size)) return RC_UNKNOWN_FORMAT;
    chunky_ = isId(d + 8, "PBM ");
    if (size < 20) return RC_CORRUPT_FILE;
    // A form length that claims more than the file is held to the file.
    const uint64_t end = std::min<uint64_t>(size, 8 + uint64_t(loadU32be(d + 4)));
    bool haveHeader = false, paletteChanges = false;
    uint32_t camg = 0, masking = 0, compression = 0;
    const uint8_t* cmyk = nullptr;
    uint32_t cmykEntries = 0;
    for (uint64_t pos = 12; pos < end && end - pos >= 8;) {
        const uint8_t* chunk = d + pos;
        const uint64_t length = loadU32be(chunk + 4);
        const uint64_t start = pos + 8;
        const uint64_t avail = std::min<uint64_t>(length, end - start);
        const uint8_t* data = d + start;
        if (isId(chunk, "BMHD")) {
            if (avail < 11) return RC_CORRUPT_FILE;
            width = loadU16be(data);
            height = loadU16be(data + 2);
            planes_ = data[8];
            masking = data[9];
            compression = data[10];
            transparent_ = masking == 2 && avail >= 14 ? loadU16be(data + 12) : 0xFFFFFFFF;
            haveHeader = true;
        } else if (isId(chunk, "CMAP") && haveHeader) {
            colourMap_ = data;
            colourMapEntries_ = uint32_t(std::min<uint64_t>(avail / 3, 256));
        } else if (isId(chunk, "CMYK")) {
            cmyk = data;
            cmykEntries = uint32_t(std::min<uint64_t>(avail / 4, 256));
        } else if (isId(chunk, "PCHG") || isId(chunk, "SHAM") || isId(chunk, "CTBL") || isId(chunk, "BEAM") ||
                   isId(chunk, "RAST")) {
            paletteChanges = true;
        } else if (isId(chunk, "CAMG") && avail >= 4) {
            camg = loadU32be(data);
        } else if (isId(chunk, "TEXT") && !info.has(INFO_COMMENTS)) {
            std::string text(reinterpret_cast<const char*>(data), size_t(avail));
            while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.pop_back();
            if (!text.empty()) info.set(INFO_COMMENTS, latin1ToU16(text).c_str());
        } else if (isId(chunk, "BODY")) {
            body_ = data;
            bodySize_ = avail;
        }
        pos = start + length + (length & 1);
    }
    if (!haveHeader || !body_) return RC_CORRUPT_FILE;
    if (width == 0 || height == 0) return RC_CORRUPT_FILE;
    if (planes_ == 0 || (planes_ > 8 && planes_ != 24)) return RC_UNSUPPORTED_SUBFORMAT;
    if (compression > 1) return RC_UNSUPPORTED_SUBFORMAT;
    // Colour registers changed line by line: drawn with the first palette
    // alone the picture would be wrong. Without a palette they change
    // nothing.
    if (paletteChanges && planes_ <= 8) return RC_UNSUPPORTED_SUBFORMAT;
    if (!colourMap_ && cmyk) takeCmykColourMap(cmyk, cmykEntries);
    compressed_ = compression == 1;
    if (compressed_) info.set(INFO_COMPRESSION, u"RLE");
    maskPlane_ = masking == 1 && !chunky_;
    holdAndModify_ = (camg & kCamgHoldAndModify) && !chunky_ && planes_ >= 5 && planes_ <= 8;
    halfBright_ = (camg & kCamgHalfBright) && !holdAndModify_ && planes_ <= 8;
    rowLength_ = chunky_ ? (width + 1) & ~1u : (width + 15) & ~15u;
    // An uncompressed body that cannot fill even the first row holds no
    // picture: refused before an image of the declared size exists.
    fileRowBytes_ = chunky_ ? uint64_t(rowLength_) * (planes_ == 24 ? 3 : 1)
                            : uint64_t(rowLength_ / 8) * (planes_ + (maskPlane_ ? 1 : 0));
    if (!compressed_ && bodySize_ < fileRowBytes_) return RC_CORRUPT_FILE;
    // ByteRun1 makes at most 128 bytes of two: a body too short to fill even
    // a small part of the rows is damaged, refused likewise. The slack keeps
    // the bound clear of any whole file.
    if (compressed_ && fileRowBytes_ * height / 64 > bodySize_ + 64) return RC_CORRUPT_FILE;
    bitsPerPixel = planes_;
    colourModel = CM_RGB;
    if (planes_ == 24) {
        pixelFormat = PF_RGBA8;
        alphaKind = ALPHA_NONE;
    } else {
        pixelFormat = holdAndModify_ ? PF_RGBA8 : PF_INDEXED8;
        alphaKind = ALPHA_STRAIGHT;
    }
    // Without the slack, and stored rows whole, for a picture too large to
    // make: the size is a lie, not a picture too large for memory.
    const uint64_t least = fileRowBytes_ * height / (compressed_ ? 64 : 1);
    if (least > bodySize_ && imageBeyondAllocationCap(this)) return RC_CORRUPT_FILE;
    return RC_OK;
}

// An RGB colour map stands first; CMYK entries turn to RGB by the same
// arithmetic as CMYK pixels of other formats, so one value gives one colour.
void IffReader::takeCmykColourMap(const uint8_t* cmyk, uint32_t entries)
{
    for (uint32_t i = 0; i < entries; ++i) {
        const uint32_t k = cmyk[4 * i + 3];
        for (uint32_t c = 0; c < 3; ++c) cmykAsRgb_[3 * i + c] = uint8_t((255 - k) * (255 - cmyk[4 * i + c]) / 255);
    }
    colourMap_ = cmykAsRgb_.data();
    colourMapEntries_ = entries;
}

// The colour map's entries, a grey ramp where the map has none.
void IffReader::buildPalette(uint32_t* palette, uint32_t entries) const
{
    const uint32_t fromMap = halfBright_ ? entries / 2 : entries;
    for (uint32_t i = 0; i < fromMap; ++i) {
        const uint32_t grey = fromMap > 1 ? i * 255 / (fromMap - 1) : 0;
        uint32_t r = grey, g = grey, b = grey;
        if (colourMap_ && i < colourMapEntries_) {
            r = colourMap_[3 * i];
            g = colourMap_[3 * i + 1];
            b = colourMap_[3 * i + 2];
        }
        palette[i] = 0xFF000000u | r << 16 | g << 8 | b;
    }
    if (halfBright_)
        for (uint32_t i = 0; i < fromMap; ++i) palette[i + fromMap] = 0xFF000000u | ((palette[i] >> 1) & 0x7F7F7F);
    if (transparent_ < entries) palette[transparent_] &= 0x00FFFFFF;
}

void IffReader::holdAndModifyRow(Rgba8* out, const uint8_t* values, const uint32_t* palette) const
{
    const bool wide = planes_ > 6;
    const uint32_t dataBits = wide ? 6 : 4, dataMask = (1u << dataBits) - 1;
    uint32_t colour = palette[0];
    for (uint32_t x = 0; x < width; ++x) {
        const uint32_t v = values[x], control = v >> dataBits, data = v & dataMask;
        const uint32_t level = wide ? (data << 2) | (data >> 4) : data * 17;
        switch (control) {
        case 0: colour = palette[data]; break;
        case 1: colour = (colour & 0xFFFFFF00u) | level; break;
        case 2: colour = (colour & 0xFF00FFFFu) | level << 16; break;
        default: colour = (colour & 0xFFFF00FFu) | level << 8; break;
        }
        out[x] = {uint8_t(colour), uint8_t(colour >> 8), uint8_t(colour >> 16), uint8_t(colour >> 24)};
    }
}

ResultCode IffReader::readPixels(Image* image, bool, Progress* progress, AbortFlag* abort)
{
    const uint32_t planeBytes = rowLength_ / 8;
    const uint64_t fileRowBytes = fileRowBytes_;
    uint64_t total;
    if (!checkedMul(fileRowBytes, uint64_t(height), &total)) return RC_OUT_OF_MEMORY;

    const uint8_t* rows = body_;
    uint64_t available = bodySize_;
    AlignedBuffer<uint8_t> expanded;
    if (compressed_) {
        if (!expanded.allocate(total)) return RC_OUT_OF_MEMORY;
        const PackBitsResult r = packBitsDecode(expanded.get(), size_t(total), body_, size_t(bodySize_));
        rows = expanded.get();
        available = r.written;
        reportProgress(progress, 62, 100);
    }

    uint32_t palette[256] = {};
    if (planes_ <= 8) {
        const uint32_t entries = holdAndModify_ ? (planes_ <= 6 ? 16 : 64) : 1u << planes_;
        buildPalette(palette, entries);
        if (!holdAndModify_) {
            IndexedView* iv = image->indexedView();
            if (!iv) return RC_UNSUPPORTED_COLOUR_FORMAT;
            iv->setPalette(palette, entries);
        }
    }

    AlignedBuffer<uint8_t> scratch;
    if (!scratch.allocate(uint64_t(rowLength_) * 3)) return RC_OUT_OF_MEMORY;
    for (uint32_t y = 0; y < height; ++y) {
        if (aborted(abort)) return RC_OK;
        const uint64_t at = uint64_t(y) * fileRowBytes;
        if (at > available || available - at < fileRowBytes) {
            // The body ends early: the rows it had stay, the rest are cleared.
            imageClearRows(image, y, height);
            return RC_CORRUPT_FILE;
        }
        const uint8_t* row = rows + at;
        uint8_t* out = image->rowBytesPtr(y);
        if (planes_ == 24) {
            const uint8_t *r, *g, *b;
            if (chunky_) {
                for (uint32_t x = 0; x < width; ++x)
                    reinterpret_cast<Rgba8*>(out)[x] = {row[3 * x + 2], row[3 * x + 1], row[3 * x], 255};
                continue;
            }
            uint8_t* s = scratch.get();
            for (uint32_t k = 0; k < 3; ++k) planarToChunky(s + size_t(k) * rowLength_, row + size_t(k) * 8 * planeBytes, rowLength_, 8);
            r = s, g = s + rowLength_, b = s + 2 * size_t(rowLength_);
            for (uint32_t x = 0; x < width; ++x) reinterpret_cast<Rgba8*>(out)[x] = {b[x], g[x], r[x], 255};
        } else if (chunky_) {
            std::memcpy(out, row, width);
        } else if (holdAndModify_) {
            planarToChunky(scratch.get(), row, rowLength_, planes_);
            holdAndModifyRow(reinterpret_cast<Rgba8*>(out), scratch.get(), palette);
        } else {
            planarToChunky(scratch.get(), row, rowLength_, planes_);
            std::memcpy(out, scratch.get(), width);
        }
        if ((y & 31) == 31) reportProgress(progress, y + 1, height);
    }
    return RC_OK;
}

} // namespace

ResultCode iffProbe(MappedFile* file)
{
    if (!file || file->size() < 40) return RC_UNKNOWN_FORMAT;
    return hasSignature(file->data(), file->size()) ? RC_OK : RC_UNKNOWN_FORMAT;
}

ImageReader* iffReaderCreate(MappedFile* file, const FormatDescriptor* descriptor)
{
    return new (std::nothrow) IffReader(file, descriptor);
}

} // namespace quillon
