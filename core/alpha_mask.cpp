#include <atomic>

#include "core/convert.h"
#include "core/image_reader.h"
#include "core/resize.h"

namespace quillon {

namespace {

std::atomic<AlphaMaskFetch> g_fetch{nullptr};

ResultCode decodeMask(Image** out, ImageReader* reader)
{
    Image* mask = nullptr;
    ResultCode rc = imageCreateForReader(reader, &mask, false);
    if (failed(rc)) return rc;
    rc = reader->decode(mask, false, nullptr, nullptr);
    if (failed(rc)) {
        objectRelease(mask);
        return rc;
    }
    *out = mask;
    return RC_OK;
}

} // namespace

void setAlphaMaskFetch(AlphaMaskFetch fetch) { g_fetch.store(fetch); }

ResultCode imageApplyAlphaMask(Image** imageSlot, ImageReader* maskReader, ImageCache* cache)
{
    if (!imageSlot || !*imageSlot || !maskReader) return RC_INVALID_PARAMETER;
    Image* image = *imageSlot;
    // A palette or grey image has no room for alpha: it becomes colour with
    // alpha at its own depth first, as a user adding a mask expects.
    PixelFormat withAlpha = PF_SAME;
    switch (image->pixelFormat) {
    case PF_INDEXED8:
    case PF_GRAY8: withAlpha = PF_RGBA8; break;
    case PF_GRAY16: withAlpha = PF_RGBA16; break;
    case PF_GRAY_FLOAT: withAlpha = PF_RGBA_FLOAT; break;
    default: break;
    }
    if (withAlpha != PF_SAME) {
        Image* copy = imageConvertNew(image, false, image->display() != nullptr, withAlpha);
        if (!copy) return RC_OUT_OF_MEMORY;
        imageReplaceFrame(imageSlot, copy);
        image = copy;
    }
    PixelFormat grey;
    switch (image->pixelFormat) {
    case PF_RGBA8: grey = PF_GRAY8; break;
    case PF_RGBA16: grey = PF_GRAY16; break;
    case PF_RGBA_FLOAT: grey = PF_GRAY_FLOAT; break;
    default: return RC_INVALID_PARAMETER;
    }

    Image* fetched = nullptr;
    AlphaMaskFetch fetch = g_fetch.load();
    ResultCode rc = fetch && cache ? fetch(cache, &fetched, maskReader) : decodeMask(&fetched, maskReader);
    if (failed(rc)) return rc;
    if (!fetched) return RC_GENERAL_FAILURE;
    Ref<Image> mask = Ref<Image>::adopt(fetched);

    // The mask is fitted here rather than by the cache, so a cached mask of
    // another size behaves exactly like a freshly decoded one.
    if (mask->width != image->width || mask->height != image->height) {
        Ref<Image> fitted = Ref<Image>::adopt(imageCreate(grey, image->size()));
        if (!fitted) return RC_OUT_OF_MEMORY;
        rc = imageResample(fitted.get(), mask.get(), RF_PREVIEW, nullptr);
        if (failed(rc)) return rc;
        mask = std::move(fitted);
    }
    return imageApplyAlphaFromGrey(image, mask.get());
}

} // namespace quillon
