#include "processing/geometry.h"

#include <algorithm>
#include <cstring>

#include "core/convert.h"
#include "core/image.h"
#include "core/image_info.h"
#include "platform/tasks.h"

namespace quillon {

namespace {

struct Pixel128 {
    uint64_t lo, hi;
};

// dst(x, y) = src[base + y rowStep + x colStep], in pixels, for destination
// rows [firstRow, endRow). Square tiles keep both the rows read and the rows
// written in cache during a quarter turn.
constexpr uint32_t kTile = 64;

template <class T>
void remap(Image* dst, const Image* src, int64_t base, int64_t rowStep, int64_t colStep, uint32_t firstRow,
           uint32_t endRow)
{
    const T* s = static_cast<const T*>(src->pixels());
    const uint32_t dw = dst->width;
    for (uint32_t ty = firstRow; ty < endRow; ty += kTile) {
        const uint32_t ye = std::min(endRow, ty + kTile);
        for (uint32_t tx = 0; tx < dw; tx += kTile) {
            const uint32_t xe = std::min(dw, tx + kTile);
            for (uint32_t y = ty; y < ye; ++y) {
                T* d = dst->row<T>(y);
                const int64_t rowBase = base + int64_t(y) * rowStep;
                for (uint32_t x = tx; x < xe; ++x) d[x] = s[rowBase + int64_t(x) * colStep];
            }
        }
    }
}

// The bands are whole rows of tiles, on the task pool.
void remapPixels(Image* dst, const Image* src, int64_t base, int64_t rowStep, int64_t colStep)
{
    const uint32_t dh = dst->height;
    const uint32_t tileRows = uint32_t((uint64_t(dh) + kTile - 1) / kTile);
    const uint64_t tileRowWork = uint64_t(dst->width) * dst->bytesPerPixel() * kTile * 2;
    runRowBands(tileRows, tileRowWork, [&](uint32_t first, uint32_t end) {
        const uint32_t y0 = first * kTile, y1 = uint32_t(std::min<uint64_t>(uint64_t(end) * kTile, dh));
        switch (src->bytesPerPixel()) {
        case 1: remap<uint8_t>(dst, src, base, rowStep, colStep, y0, y1); break;
        case 2: remap<uint16_t>(dst, src, base, rowStep, colStep, y0, y1); break;
        case 4: remap<uint32_t>(dst, src, base, rowStep, colStep, y0, y1); break;
        case 8: remap<uint64_t>(dst, src, base, rowStep, colStep, y0, y1); break;
        case 16: remap<Pixel128>(dst, src, base, rowStep, colStep, y0, y1); break;
        default: break;
        }
    });
}

// The turns after folding both mirror bits into a half turn.
void normalise(uint8_t flags, uint32_t& turns, uint32_t& mirror)
{
    turns = flags & ORIENT_TURNS_MASK;
    mirror = flags & (ORIENT_MIRROR_V | ORIENT_MIRROR_H);
    if (mirror == (ORIENT_MIRROR_V | ORIENT_MIRROR_H)) {
        turns = (turns + 2) & 3;
        mirror = 0;
    }
}

int32_t toI32(int64_t v)
{
    return int32_t(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX));
}

} // namespace

ResultCode imageRotateFlip(Image* dst, const Image* src, uint8_t flags)
{
    if (!dst || !src) return RC_INVALID_PARAMETER;
    uint32_t turns, mirror;
    normalise(flags, turns, mirror);
    if (turns == 0 && mirror == 0)
        return dst->pixelFormat == src->pixelFormat ? imageCopySame(dst, src) : imageConvertPixels(dst, src, false);
    if (dst == src) return RC_INVALID_PARAMETER; // a turn cannot read and write one buffer
    const bool swap = turns & 1;
    const uint32_t wantW = swap ? src->height : src->width, wantH = swap ? src->width : src->height;
    if (dst->width != wantW || dst->height != wantH) return RC_INVALID_PARAMETER;
    if (dst->bytesPerPixel() == 0 || src->bytesPerPixel() == 0) return RC_UNSUPPORTED_COLOUR_FORMAT;

    Ref<Image> converted;
    const Image* work = src;
    if (src->pixelFormat != dst->pixelFormat) {
        converted = Ref<Image>::adopt(imageConvertNew(src, false, false, dst->pixelFormat));
        if (!converted) return RC_OUT_OF_MEMORY;
        work = converted.get();
    }

    const int64_t s = work->rowPixels(), W = work->width, H = work->height;
    int64_t base = 0, rowStep = 0, colStep = 0;
    switch (turns * 16 + mirror) {
    case 0 * 16 + ORIENT_MIRROR_V: base = (H - 1) * s; rowStep = -s; colStep = 1; break;
    case 0 * 16 + ORIENT_MIRROR_H: base = W - 1; rowStep = s; colStep = -1; break;
    case 1 * 16 + 0: base = W - 1; rowStep = -1; colStep = s; break;
    case 1 * 16 + ORIENT_MIRROR_V: base = 0; rowStep = 1; colStep = s; break;
    case 1 * 16 + ORIENT_MIRROR_H: base = (H - 1) * s + W - 1; rowStep = -1; colStep = -s; break;
    case 2 * 16 + 0: base = (H - 1) * s + W - 1; rowStep = -s; colStep = -1; break;
    case 2 * 16 + ORIENT_MIRROR_V: base = W - 1; rowStep = s; colStep = -1; break;
    case 2 * 16 + ORIENT_MIRROR_H: base = (H - 1) * s; rowStep = -s; colStep = 1; break;
    case 3 * 16 + 0: base = (H - 1) * s; rowStep = 1; colStep = -s; break;
    case 3 * 16 + ORIENT_MIRROR_V: base = (H - 1) * s + W - 1; rowStep = -1; colStep = -s; break;
    case 3 * 16 + ORIENT_MIRROR_H: base = 0; rowStep = 1; colStep = s; break;
    default: return RC_INVALID_PARAMETER;
    }
    remapPixels(dst, work, base, rowStep, colStep);
    if (dst->pixelFormat == PF_INDEXED8) {
        if (IndexedView* view = dst->indexedView(); view && work->palette()) view->setPalette(work->palette(), 256);
    }
    imageCopyInfo(dst, work);
    dst->alphaKind = work->alphaKind;
    return RC_OK;
}

ResultCode imageRotateFrames(Image** slot, uint8_t flags)
{
    if (!slot) return RC_INVALID_PARAMETER;
    flags &= ORIENT_TURNS_MASK | ORIENT_MIRROR_V | ORIENT_MIRROR_H;
    if (flags == 0) return RC_OK;
    const uint32_t turns = flags & ORIENT_TURNS_MASK;
    for (Image** link = slot; *link;) {
        Image* frame = *link;
        const FrameInfo& fi = frame->frameInfo;
        const int64_t w = frame->width, h = frame->height, x = fi.x, y = fi.y;
        // A canvas of 0 (a page of a document) or one smaller than the frame
        // is measured by the frame's own extent, so positions stay >= 0.
        const int64_t W = std::max<int64_t>(fi.canvasWidth, x + w);
        const int64_t H = std::max<int64_t>(fi.canvasHeight, y + h);
        int64_t nw = w, nh = h, nW = W, nH = H, nx = x, ny = y;
        uint32_t canvasW = fi.canvasWidth, canvasH = fi.canvasHeight;
        switch (turns) {
        case 1: nw = h; nh = w; nW = H; nH = W; nx = y; ny = W - x - w; break;
        case 2: nx = W - x - w; ny = H - y - h; break;
        case 3: nw = h; nh = w; nW = H; nH = W; nx = H - y - h; ny = x; break;
        default: break;
        }
        if (turns & 1) std::swap(canvasW, canvasH);
        if (flags & ORIENT_MIRROR_V) ny = nH - ny - nh;
        if (flags & ORIENT_MIRROR_H) nx = nW - nx - nw;

        // Turning moves pixels and changes none, so a 16-bit, float or grey
        // frame keeps its depth and an "Auto" output still sees what it is.
        Image* turned = imageCreate(frame->pixelFormat, packSize(uint32_t(nw), uint32_t(nh)), frame->display() != nullptr);
        if (!turned) return RC_OUT_OF_MEMORY;
        ResultCode rc = imageRotateFlip(turned, frame, flags);
        if (failed(rc)) {
            objectRelease(turned);
            return rc;
        }
        imageReplaceFrame(link, turned);
        turned->frameInfo.x = toI32(nx);
        turned->frameInfo.y = toI32(ny);
        turned->frameInfo.canvasWidth = canvasW;
        turned->frameInfo.canvasHeight = canvasH;
        link = &turned->frameInfo.next;
    }
    return RC_OK;
}

ResultCode imageCropCopy(Image* dst, const Image* src, uint64_t origin)
{
    if (!dst || !src || dst == src) return RC_INVALID_PARAMETER;
    if (dst->width > src->width || dst->height > src->height || dst->pixelFormat != src->pixelFormat)
        return RC_INVALID_PARAMETER;
    const uint64_t x = uint32_t(origin), y = origin >> 32;
    // The region must lie inside the source; the caller's word is not enough.
    if (x + dst->width > src->width || y + dst->height > src->height) return RC_INVALID_PARAMETER;
    const size_t bpp = src->bytesPerPixel();
    if (bpp == 0) return RC_INVALID_PARAMETER;
    const size_t bytes = size_t(dst->width) * bpp;
    for (uint32_t row = 0; row < dst->height; ++row)
        std::memcpy(dst->rowBytesPtr(row), src->rowBytesPtr(uint32_t(y) + row) + x * bpp, bytes);
    imageCopyInfo(dst, src);
    dst->alphaKind = src->alphaKind;
    return RC_OK;
}

} // namespace quillon
