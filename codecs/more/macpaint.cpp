#include "codecs/more/macpaint.h"

#include <cstring>
#include <new>

#include "core/bitpack.h"
#include "core/byte_cursor.h"
#include "core/image_reader.h"
#include "platform/memory.h"

namespace quillon {

namespace {

constexpr uint32_t kWidth = 576, kHeight = 720, kRowBytes = kWidth / 8;
constexpr uint64_t kLargestFile = 53269;
// The 512-byte header and at least the two bytes a row needs at the least.
constexpr uint64_t kSmallestPicture = 512 + 2 * kHeight;

// Version 0 files carry no patterns, so their header is zero throughout;
// that is what tells them from any other file that starts with four zeros.
bool validHeaderAt(const uint8_t* d, uint64_t size, uint64_t at)
{
    if (size < at || size - at < kSmallestPicture) return false;
    const uint32_t version = loadU32be(d + at);
    if (version == 2 || version == 3) return true;
    if (version != 0) return false;
    for (uint64_t i = 4; i < 512; ++i)
        if (d[at + i]) return false;
    return true;
}

// Where the header starts: 0, or behind one to three 128-byte MacBinary
// headers; -1 when none fits.
int64_t locateHeader(const uint8_t* d, uint64_t size)
{
    if (size > kLargestFile) return -1;
    for (uint64_t at : {0u, 128u, 256u, 384u})
        if (validHeaderAt(d, size, at)) return int64_t(at);
    return -1;
}

// Whether the rows coded behind the header at `at` fill the whole page
// before the file ends, and nothing but padding follows them: a block's
// worth at most, or zeros.
bool pageFitsFile(const uint8_t* d, uint64_t size, uint64_t at)
{
    constexpr uint64_t kPage = uint64_t(kRowBytes) * kHeight, kPadding = 512;
    uint64_t pos = at + 512, unpacked = 0;
    while (unpacked < kPage) {
        if (pos >= size) return false;
        const uint8_t n = d[pos++];
        if (n < 128) {
            unpacked += n + 1u;
            pos += n + 1u;
        } else if (n > 128) {
            unpacked += 257u - n;
            pos += 1;
        }
    }
    if (pos > size) return false;
    if (size - pos < kPadding) return true;
    for (; pos < size; ++pos)
        if (d[pos]) return false;
    return true;
}

class MacPaintReader final : public ImageReader {
public:
    MacPaintReader(MappedFile* f, const FormatDescriptor* d) : ImageReader(f, d) {}

protected:
    ResultCode readHeader(const void*) override
    {
        const int64_t at = locateHeader(input->data(), input->size());
        if (at < 0) return RC_UNKNOWN_FORMAT;
        dataOffset_ = uint64_t(at) + 512;
        width = kWidth;
        height = kHeight;
        bitsPerPixel = 1;
        pixelFormat = PF_GRAY8;
        colourModel = CM_K;
        alphaKind = ALPHA_NONE;
        info.set(INFO_COMPRESSION, u"RLE");
        return RC_OK;
    }

    ResultCode readPixels(Image* image, bool, Progress* progress, AbortFlag* abort) override
    {
        if (!image->gray8View()) return RC_UNSUPPORTED_COLOUR_FORMAT;
        AlignedBuffer<uint8_t> rows;
        if (!rows.allocate(uint64_t(kRowBytes) * kHeight)) return RC_OUT_OF_MEMORY;
        std::memset(rows.get(), 0, size_t(kRowBytes) * kHeight);
        // Runs may cross rows, so the page is unpacked as one stream.
        const PackBitsResult r = packBitsDecode(rows.get(), size_t(kRowBytes) * kHeight,
                                                input->data() + dataOffset_, size_t(input->size() - dataOffset_));
        reportProgress(progress, 50, 100);
        if (aborted(abort)) return RC_OK;
        for (uint32_t y = 0; y < kHeight; ++y)
            unpackSamples(image->rowBytesPtr(y), rows.get() + size_t(y) * kRowBytes, kWidth, 1);
        reportProgress(progress, 100, 100);
        // A page whose data ends early keeps the rows it had; the rest stay white.
        return r.written < size_t(kRowBytes) * kHeight ? RC_CORRUPT_FILE : RC_OK;
    }

private:
    uint64_t dataOffset_ = 0;
};

} // namespace

ResultCode macPaintProbe(MappedFile* file)
{
    if (!file) return RC_UNKNOWN_FORMAT;
    const int64_t at = locateHeader(file->data(), file->size());
    if (at < 0) return RC_UNKNOWN_FORMAT;
    // A version word of 0, 2 or 3 says little, and zeros or stray data can
    // carry one: a file named otherwise is taken only when its size fits a
    // whole coded page.
    if (!sourceNamedAs(file, u"mac") && !pageFitsFile(file->data(), file->size(), uint64_t(at)))
        return RC_UNKNOWN_FORMAT;
    return RC_OK;
}

ImageReader* macPaintReaderCreate(MappedFile* file, const FormatDescriptor* descriptor)
{
    return new (std::nothrow) MacPaintReader(file, descriptor);
}

} // namespace quillon
