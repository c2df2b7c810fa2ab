#include "processing/frame.h"

#include <algorithm>

#include "core/convert.h"
#include "core/image.h"
#include "core/image_info.h"

namespace quillon {

namespace {

template <class T>
void outline(Image* img, uint32_t x, uint32_t y, uint32_t w, uint32_t h, T value)
{
    T* top = img->row<T>(y);
    T* bottom = img->row<T>(y + h - 1);
    for (uint32_t i = 0; i < w; ++i) {
        top[x + i] = value;
        bottom[x + i] = value;
    }
    for (uint32_t j = 1; j + 1 < h; ++j) {
        T* r = img->row<T>(y + j);
        r[x] = value;
        r[x + w - 1] = value;
    }
}

float greyOf(const float c[4]) { return (c[0] + c[1] + c[2]) * 0.33333334f; }

void drawRing(Image* img, uint32_t ring, const float colour[4])
{
    const uint64_t w = img->width - 2 * uint64_t(ring), h = img->height - 2 * uint64_t(ring);
    imageDrawRect(img, packSize(ring, ring), packSize(uint32_t(w), uint32_t(h)), colour);
}

void mix(float out[4], const float a[4], const float b[4], float t)
{
    for (int c = 0; c < 4; ++c) out[c] = a[c] * (1 - t) + b[c] * t;
}

} // namespace

void imageDrawRect(Image* img, uint64_t origin, uint64_t size, const float colour[4])
{
    if (!img || !colour) return;
    const uint32_t x = uint32_t(origin), y = uint32_t(origin >> 32);
    const uint32_t w = sizeWidth(size), h = sizeHeight(size);
    if (w == 0 || h == 0 || uint64_t(x) + w > img->width || uint64_t(y) + h > img->height) return;
    switch (img->pixelFormat) {
    case PF_RGBA8: {
        Rgba8 v;
        colourToRgba8(reinterpret_cast<uint8_t*>(&v), colour);
        outline(img, x, y, w, h, v);
        break;
    }
    case PF_RGBA16: {
        Rgba16 v;
        colourToRgba16(reinterpret_cast<uint16_t*>(&v), colour);
        outline(img, x, y, w, h, v);
        break;
    }
    case PF_RGBA_FLOAT: outline(img, x, y, w, h, RgbaF{colour[0], colour[1], colour[2], colour[3]}); break;
    case PF_GRAY8: outline(img, x, y, w, h, floatToU8(greyOf(colour))); break;
    case PF_GRAY16: outline(img, x, y, w, h, floatToU16Sample(greyOf(colour))); break;
    case PF_GRAY_FLOAT: outline(img, x, y, w, h, greyOf(colour)); break;
    default: break;
    }
}

ResultCode imageAddFrame(Image** slot, uint8_t style, const float colourA[4], const float colourB[4], int32_t width)
{
    if (style == FRAME_NONE) return RC_OK;
    if (style != FRAME_FLAT && style != FRAME_TONED) return RC_INVALID_PARAMETER;
    // A width from the registry or a preset may be 0 or negative: no border.
    if (width <= 0) return RC_OK;
    if (!slot || !colourA || !colourB) return RC_INVALID_PARAMETER;
    const uint32_t bw = uint32_t(width);
    for (Image** link = slot; *link;) {
        Image* frame = *link;
        const uint64_t fw = uint64_t(frame->width) + 2 * uint64_t(bw);
        const uint64_t fh = uint64_t(frame->height) + 2 * uint64_t(bw);
        if (fw > 0xFFFFFFFFu || fh > 0xFFFFFFFFu) return RC_OUT_OF_MEMORY;
        const bool palette = frame->pixelFormat == PF_INDEXED8;
        Image* framed = imageCreate(palette ? PF_RGBA8 : frame->pixelFormat, packSize(uint32_t(fw), uint32_t(fh)));
        if (!framed) return RC_OUT_OF_MEMORY;
        Ref<Image> copy;
        const Image* source = frame;
        if (palette) {
            copy = Ref<Image>::adopt(imageConvertNew(frame, false, false, PF_RGBA8));
            if (!copy) {
                objectRelease(framed);
                return RC_OUT_OF_MEMORY;
            }
            source = copy.get();
        }

        if (style == FRAME_FLAT) {
            const float* edge = bw < 3 ? colourA : colourB;
            drawRing(framed, 0, edge);
            for (uint32_t i = 1; i + 1 < bw; ++i) drawRing(framed, i, colourA);
            drawRing(framed, std::max<uint32_t>(1, bw - 1), edge);
        } else {
            const uint32_t n = (bw + 1) / 2;
            const float step = 1.0f / float(n);
            for (uint32_t i = 0; i < n; ++i) {
                float c[4];
                mix(c, colourA, colourB, float(i) * step);
                drawRing(framed, i, c);
                drawRing(framed, bw - 1 - i, c);
            }
        }
        ResultCode rc = imageBlitRect(framed, BlitPoint{width, width}, source, BlitPoint{0, 0}, BlitSize{});
        if (failed(rc)) {
            objectRelease(framed);
            return rc;
        }
        // The border adds pixels, it does not make the picture another one:
        // its information record and alpha kind go with it.
        imageCopyInfo(framed, source);
        framed->alphaKind = source->alphaKind;
        imageReplaceFrame(link, framed);
        FrameInfo& fi = framed->frameInfo;
        // An animation's canvas grows by the border on every side; each frame
        // keeps its position, so its picture moves by the width with the rest
        // of the canvas and every framed frame stays inside it.
        if (fi.canvasWidth) fi.canvasWidth = uint32_t(std::min<uint64_t>(0xFFFFFFFFu, fi.canvasWidth + 2 * uint64_t(bw)));
        if (fi.canvasHeight)
            fi.canvasHeight = uint32_t(std::min<uint64_t>(0xFFFFFFFFu, fi.canvasHeight + 2 * uint64_t(bw)));
        link = &fi.next;
    }
    return RC_OK;
}

} // namespace quillon
