#include <algorithm>
#include <cmath>

#include "core/image.h"
#include "core/resize.h"
#include "processing/geometry.h"

namespace quillon {

namespace {

int64_t roundScaled(double scale, int64_t v)
{
    const double r = std::floor(scale * double(v) + 0.5);
    return int64_t(std::clamp(r, double(INT32_MIN), double(INT32_MAX)));
}

uint32_t roundCanvas(double scale, uint32_t v)
{
    return uint32_t(std::clamp(std::floor(scale * double(v) + 0.5), 0.0, double(UINT32_MAX)));
}

} // namespace

ResultCode imageResizeFrames(Image** slot, uint32_t width, uint32_t height, uint8_t filter, bool allFrames)
{
    if (!slot || !*slot) return RC_INVALID_PARAMETER;
    if (width == 0 || height == 0) return RC_INVALID_PARAMETER;
    // One scale for the whole chain, taken from the first frame: a later
    // frame's rounded size would give the frames after it another scale (a
    // 1-pixel frame would stop the scaling altogether).
    const double sx = double(width) / double((*slot)->width);
    const double sy = double(height) / double((*slot)->height);
    bool first = true;
    for (Image** link = slot; *link;) {
        Image* frame = *link;
        const FrameInfo& fi = frame->frameInfo;
        const int64_t x = roundScaled(sx, fi.x), y = roundScaled(sy, fi.y);
        int64_t w = width, h = height;
        if (!first) {
            // Both edges rounded, so the frame ends where the scaled canvas
            // would put its right and bottom edges, never past the canvas.
            w = std::max<int64_t>(1, roundScaled(sx, int64_t(fi.x) + frame->width) - x);
            h = std::max<int64_t>(1, roundScaled(sy, int64_t(fi.y) + frame->height) - y);
            if (w > UINT32_MAX || h > UINT32_MAX) return RC_OUT_OF_MEMORY;
        }
        const PixelFormat format = frame->pixelFormat == PF_INDEXED8 ? PF_RGBA8 : frame->pixelFormat;
        Image* resized = imageCreate(format, packSize(uint32_t(w), uint32_t(h)), frame->display() != nullptr);
        if (!resized) return RC_OUT_OF_MEMORY;
        ResultCode rc = imageResample(resized, frame, filter, nullptr);
        if (failed(rc)) {
            objectRelease(resized);
            return rc;
        }
        const uint32_t canvasW = roundCanvas(sx, fi.canvasWidth), canvasH = roundCanvas(sy, fi.canvasHeight);
        imageReplaceFrame(link, resized);
        FrameInfo& nfi = resized->frameInfo;
        nfi.x = int32_t(x);
        nfi.y = int32_t(y);
        // A frame widened to its 1-pixel minimum at the canvas edge moves in.
        if (canvasW && nfi.x > 0 && int64_t(nfi.x) + w > canvasW) nfi.x = int32_t(std::max<int64_t>(0, canvasW - w));
        if (canvasH && nfi.y > 0 && int64_t(nfi.y) + h > canvasH) nfi.y = int32_t(std::max<int64_t>(0, canvasH - h));
        nfi.canvasWidth = canvasW;
        nfi.canvasHeight = canvasH;
        if (!allFrames) break;
        link = &nfi.next;
        first = false;
    }
    return RC_OK;
}

} // namespace quillon
