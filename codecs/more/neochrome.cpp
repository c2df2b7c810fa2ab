#include "codecs/more/neochrome.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "core/byte_cursor.h"
#include "core/image_reader.h"

namespace quillon {

namespace {

constexpr uint64_t kHeaderSize = 128;
// The header and one 32,000-byte screen, whatever the resolution.
constexpr uint64_t kFileSize = kHeaderSize + 32000;

struct Geometry {
    uint32_t width = 0, height = 0, planes = 0;
};

// Every picture is a full screen dump, sized by the resolution word. The
// words at 52 to 60 hold the colour-cycling step count and a nominal
// 320 x 200 that writers fill in whatever the resolution; false when the
// resolution is one the machine never had.
bool geometryOf(const uint8_t* d, uint64_t size, Geometry& g)
{
    if (size < kHeaderSize || loadU16be(d) != 0) return false;
    const uint32_t resolution = loadU16be(d + 2);
    if (resolution > 2) return false;
    static const Geometry kByResolution[] = {{320, 200, 4}, {640, 200, 2}, {640, 400, 1}};
    g = kByResolution[resolution];
    return true;
}

class NeochromeReader final : public ImageReader {
public:
    NeochromeReader(MappedFile* f, const FormatDescriptor* d) : ImageReader(f, d) {}

protected:
    ResultCode readHeader(const void*) override
    {
        Geometry g;
        if (!geometryOf(input->data(), input->size(), g)) return RC_UNKNOWN_FORMAT;
        width = g.width;
        height = g.height;
        planes_ = g.planes;
        bitsPerPixel = g.planes;
        pixelFormat = PF_INDEXED8;
        colourModel = CM_RGB;
        alphaKind = ALPHA_NONE;
        minRowBytes = (g.width + 15) & ~15u;
        // Data that cannot fill even the first row holds no picture.
        if (input->size() - kHeaderSize < uint64_t((g.width + 15) / 16) * g.planes * 2) return RC_CORRUPT_FILE;
        return RC_OK;
    }

    ResultCode readPixels(Image* image, bool, Progress* progress, AbortFlag* abort) override
    {
        IndexedView* iv = image->indexedView();
        if (!iv) return RC_UNSUPPORTED_COLOUR_FORMAT;
        const uint8_t* d = input->data();
        uint32_t palette[16];
        for (uint32_t i = 0; i < 16; ++i) {
            // Channel nibbles in the STE order: bit 3 is the lowest bit.
            const uint32_t word = loadU16be(d + 4 + 2 * i);
            auto channel = [&](uint32_t shift) {
                const uint32_t n = (word >> shift) & 15;
                return (((n & 7) << 1) | (n >> 3)) << 4;
            };
            palette[i] = 0xFF000000u | channel(8) << 16 | channel(4) << 8 | channel(0);
        }
        iv->setPalette(palette, 1u << planes_);

        const uint32_t groups = (width + 15) / 16;
        const uint64_t rowBytes = uint64_t(groups) * planes_ * 2;
        const uint64_t size = input->size();
        for (uint32_t y = 0; y < height; ++y) {
            if (aborted(abort)) return RC_OK;
            uint8_t* out = image->rowBytesPtr(y);
            const uint64_t at = kHeaderSize + uint64_t(y) * rowBytes;
            if (at > size || size - at < rowBytes) {
                for (uint32_t r = y; r < height; ++r) std::memset(image->rowBytesPtr(r), 0, image->rowBytes());
                return RC_CORRUPT_FILE;
            }
            const uint8_t* row = d + at;
            for (uint32_t g = 0; g < groups; ++g) {
                uint32_t words[4] = {};
                for (uint32_t k = 0; k < planes_; ++k) words[k] = loadU16be(row + (size_t(g) * planes_ + k) * 2);
                const uint32_t count = std::min<uint32_t>(16, width - g * 16);
                for (uint32_t i = 0; i < count; ++i) {
                    uint8_t index = 0;
                    for (uint32_t k = 0; k < planes_; ++k) index |= uint8_t(((words[k] >> (15 - i)) & 1) << k);
                    out[g * 16 + i] = index;
                }
            }
            if ((y & 31) == 31) reportProgress(progress, y + 1, height);
        }
        return RC_OK;
    }

private:
    uint32_t planes_ = 0;
};

} // namespace

ResultCode neochromeProbe(MappedFile* file)
{
    Geometry g;
    if (!file || !geometryOf(file->data(), file->size(), g)) return RC_UNKNOWN_FORMAT;
    // Two zero words are all the signature there is, and any file that
    // starts with four zero bytes has them: one named otherwise is taken
    // only when it is the size of a screen dump.
    if (!sourceNamedAs(file, u"neo") && file->size() != kFileSize) return RC_UNKNOWN_FORMAT;
    return RC_OK;
}

ImageReader* neochromeReaderCreate(MappedFile* file, const FormatDescriptor* descriptor)
{
    return new (std::nothrow) NeochromeReader(file, descriptor);
}

} // namespace quillon
