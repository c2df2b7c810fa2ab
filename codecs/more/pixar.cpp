#include "codecs/more/pixar.h"

#include <cstring>
#include <new>

#include "core/byte_cursor.h"
#include "core/image_reader.h"

namespace quillon {

namespace {

constexpr uint64_t kHeaderSize = 520;

struct Layout {
    uint32_t width = 0, height = 0;
    uint64_t offset = 0, size = 0;
};

// The header's fields when they describe data inside the file.
bool layoutOf(const uint8_t* d, uint64_t fileSize, Layout& l)
{
    if (fileSize < kHeaderSize || loadU32le(d + 8) != 0 || loadU32le(d + 12) != 0) return false;
    l.height = loadU16le(d + 416);
    l.width = loadU16le(d + 418);
    l.offset = loadU16le(d + 512);
    l.size = loadU32le(d + 516);
    return l.size != 0 && l.width != 0 && l.height != 0 && l.offset <= fileSize && l.size <= fileSize - l.offset;
}

// Bytes per pixel: the data size over the pixel count when that is 1, 3 or
// 4 with nothing left over, else 0.
uint32_t channelsOf(const Layout& l)
{
    const uint64_t pixels = uint64_t(l.width) * l.height;
    const uint64_t channels = l.size / pixels;
    return (channels == 1 || channels == 3 || channels == 4) && l.size == pixels * channels ? uint32_t(channels) : 0;
}

class PixarReader final : public ImageReader {
public:
    PixarReader(MappedFile* f, const FormatDescriptor* d) : ImageReader(f, d) {}

protected:
    ResultCode readHeader(const void*) override
    {
        Layout l;
        if (!layoutOf(input->data(), input->size(), l)) return RC_UNKNOWN_FORMAT;
        channels_ = channelsOf(l);
        if (!channels_) return RC_UNSUPPORTED_SUBFORMAT;
        width = l.width;
        height = l.height;
        offset_ = l.offset;
        bitsPerPixel = channels_ * 8;
        pixelFormat = channels_ == 1 ? PF_GRAY8 : PF_RGBA8;
        colourModel = channels_ == 1 ? CM_L : CM_RGB;
        alphaKind = channels_ == 4 ? ALPHA_STRAIGHT : ALPHA_NONE;
        return RC_OK;
    }

    ResultCode readPixels(Image* image, bool, Progress* progress, AbortFlag* abort) override
    {
        const uint8_t* data = input->data() + offset_;
        for (uint32_t y = 0; y < height; ++y) {
            if (aborted(abort)) return RC_OK;
            const uint8_t* src = data + uint64_t(y) * width * channels_;
            if (channels_ == 1) {
                std::memcpy(image->rowBytesPtr(y), src, width);
            } else {
                Rgba8* out = image->row<Rgba8>(y);
                for (uint32_t x = 0; x < width; ++x, src += channels_)
                    out[x] = {src[2], src[1], src[0], channels_ == 4 ? src[3] : uint8_t(255)};
            }
            if ((y & 31) == 31) reportProgress(progress, y + 1, height);
        }
        return RC_OK;
    }

private:
    uint32_t channels_ = 0;
    uint64_t offset_ = 0;
};

} // namespace

ResultCode pixarProbe(MappedFile* file)
{
    Layout l;
    if (!file || !layoutOf(file->data(), file->size(), l)) return RC_UNKNOWN_FORMAT;
    // Eight zero bytes and a few small numbers are common in other data: a
    // file named otherwise is taken only when its data size is exactly that
    // of the pixels its header gives.
    if (!sourceNamedAs(file, u"pxr") && !channelsOf(l)) return RC_UNKNOWN_FORMAT;
    return RC_OK;
}

ImageReader* pixarReaderCreate(MappedFile* file, const FormatDescriptor* descriptor)
{
    return new (std::nothrow) PixarReader(file, descriptor);
}

} // namespace quillon
