#include "core/decode_bridge.h"

#include <algorithm>
#include <cstring>

namespace quillon {

void bridgeYcbcrToRgbRow(uint8_t* p, uint32_t count)
{
    for (uint32_t i = 0; i < count; ++i, p += 4) {
        int y = p[0], cb = p[1] - 128, cr = p[2] - 128;
        int r = y + ((359 * cr + 128) >> 8);
        int b = y + ((454 * cb + 128) >> 8);
        int g = y + ((-88 * cb + 128 - 183 * cr) >> 8);
        p[0] = uint8_t(std::clamp(b, 0, 255));
        p[1] = uint8_t(std::clamp(g, 0, 255));
        p[2] = uint8_t(std::clamp(r, 0, 255));
        p[3] = 255;
    }
}

ResultCode bridgeConvertPixels(Image* dst, const Image* src)
{
    if (dst->width != src->width || dst->height != src->height) return RC_INVALID_PARAMETER;
    if (dst->pixelFormat != src->pixelFormat) return RC_UNSUPPORTED_COLOUR_FORMAT;
    size_t bytes = size_t(src->width) * src->bytesPerPixel();
    for (uint32_t y = 0; y < src->height; ++y) std::memcpy(dst->rowBytesPtr(y), src->rowBytesPtr(y), bytes);
    if (src->palette() && dst->palette()) std::memcpy(dst->palette(), src->palette(), 1024);
    frameInfoCopyData(dst->frameInfo, src->frameInfo);
    return RC_OK;
}

ResultCode decodeResample(Image* dst, const Image* src)
{
    (void)dst;
    (void)src;
    return RC_UNSUPPORTED_COLOUR_FORMAT;
}

} // namespace quillon
