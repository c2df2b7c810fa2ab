#pragma once
// What the directory reader (tiff_read.cpp) settles for the strip and tile
// decoder (tiff_decode.cpp).
#include <cstdint>

#include "codecs/main/tiff.h"
#include "core/image_reader.h"

namespace quillon::tiff_internal {

constexpr uint16_t kTypeByte = 1, kTypeAscii = 2, kTypeShort = 3, kTypeLong = 4, kTypeRational = 5;

// The file's bytes in its byte order; every read is bounds-checked and
// reads 0 outside the file.
struct TiffBytes {
    const uint8_t* data = nullptr;
    uint64_t size = 0;
    bool bigEndian = false;

    bool inside(uint64_t pos, uint64_t n) const { return pos <= size && n <= size - pos; }
    uint16_t u16(uint64_t pos) const
    {
        if (!inside(pos, 2)) return 0;
        const uint8_t* p = data + pos;
        return bigEndian ? uint16_t((p[0] << 8) | p[1]) : uint16_t(p[0] | (p[1] << 8));
    }
    uint32_t u32(uint64_t pos) const
    {
        if (!inside(pos, 4)) return 0;
        const uint8_t* p = data + pos;
        return bigEndian ? (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3]
                         : uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
    }
};

// A list tag (offsets, byte counts): its type, count and the position of
// its 4-byte value field; values lie there when they fit, else at the
// offset it holds.
struct TiffList {
    bool present = false;
    uint16_t type = kTypeLong;
    uint32_t count = 0;
    uint64_t field = 0;

    // The position of the values, or UINT64_MAX when they lie outside the file.
    uint64_t values(const TiffBytes& b) const;
    uint32_t at(const TiffBytes& b, uint32_t i) const;
};

class TiffReader final : public ImageReader {
public:
    TiffReader(MappedFile* f, const FormatDescriptor* d) : ImageReader(f, d) {}

    // Reads the directory at `position`, settling everything below.
    ResultCode readIfd(uint64_t position);
    // The next directory's offset found by readIfd (0 when none).
    uint32_t nextIfd = 0;
    // RC_CORRUPT_FILE when the data could not fill the image read by
    // readIfd, even at its coding's greatest expansion.
    ResultCode checkDataAmount() const;
    // Pages after this one were dropped as damaged: its decode says so.
    bool pagesLost = false;

    TiffBytes bytes;
    TiffList offsets, byteCounts;
    uint32_t compression = 1;
    uint32_t rowsPerStrip = 0;
    uint32_t faxOptions = 0;
    uint32_t jpegIfOffset = 0, jpegIfLength = 0;
    TiffList jpegTables;
    uint64_t colourMap = 0;  // position of the values, 0 when absent
    uint32_t paletteCount = 0;
    uint32_t resolutionUnit = 2;
    double xResolution = 0, yResolution = 0;  // per resolution unit
    uint32_t tileWidth = 0, tileLength = 0;
    bool strips = true;
    bool reversedFill = false;
    uint8_t bitsPerSample = 1, samplesPerPixel = 1, planar = 1, predictor = 1;
    uint16_t sampleFormat = 1;
    uint8_t extraSamples = 2;
    uint8_t subsampling = 0x22;
    uint16_t photometric = 1;
    bool photometricSet = false, samplesSet = false;
    // What the directory says it is: NewSubfileType's bits (1 a reduced
    // copy, 2 a page of a document) and whether it numbers its page.
    uint32_t subfileType = 0;
    bool pageNumbered = false;

protected:
    ResultCode readHeader(const void* options) override;
    ResultCode readPixels(Image* image, bool reduced, Progress* progress, AbortFlag* abort) override;

private:
    ResultCode readTag(uint64_t entry);
    ResultCode settleFormat();
    // The first LZW segment opens as libtiff's early coder wrote it.
    bool oldStyleLzw() const;
    // The stored bytes of the segments that carry data, that data, and the
    // stored bytes of one row (or row of blocks) of a segment.
    void segmentBytes(uint64_t* need, uint64_t* have, uint64_t* firstRow) const;
    // The least bytes the JPEG segments' streams could code the segments
    // in, and those streams' bytes.
    void jpegSegmentBytes(uint64_t* need, uint64_t* have) const;
    void setTextTag(uint16_t tag, const uint8_t* text, uint32_t length);
    void setOrientation(uint16_t value);
    void readMetadataTag(uint16_t tag, uint16_t type, uint32_t count, uint64_t field);
};

} // namespace quillon::tiff_internal
