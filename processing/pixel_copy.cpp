#include "processing/pixel_copy.h"

#include <cstring>

#include "core/image.h"

namespace quillon {

ResultCode copySameFormat(Image* dst, const Image* src)
{
    if (!dst || !src || dst->width != src->width || dst->height != src->height ||
        dst->pixelFormat != src->pixelFormat || dst->bytesPerPixel() == 0)
        return RC_INVALID_PARAMETER;
    if (dst == src) return RC_OK;
    const size_t bytes = size_t(src->width) * src->bytesPerPixel();
    for (uint32_t y = 0; y < src->height; ++y) std::memcpy(dst->rowBytesPtr(y), src->rowBytesPtr(y), bytes);
    if (const uint32_t* pal = src->palette()) {
        if (IndexedView* view = dst->indexedView()) view->setPalette(pal, 256);
    }
    imageCopyInfo(dst, src);
    dst->alphaKind = src->alphaKind;
    return RC_OK;
}

} // namespace quillon
