// Conversions, quantisation and blits on arbitrary pixel data: the first
// bytes choose formats, sizes and switches, the rest fills the pixels (and
// the palette), so NaN, infinities and every palette oddity come through.
#include <cstdint>
#include <cstring>

#include "core/convert.h"
#include "core/quantize.h"
#include "platform/memory.h"

using namespace quillon;

namespace {

void fill(Image* img, const uint8_t*& data, size_t& size)
{
    const size_t row = size_t(img->width) * img->bytesPerPixel();
    for (uint32_t y = 0; y < img->height; ++y) {
        uint8_t* p = img->rowBytesPtr(y);
        for (size_t i = 0; i < row; ++i) p[i] = size ? data[i % size] : uint8_t(i * 37 + y);
    }
    if (uint32_t* pal = img->palette()) {
        for (int i = 0; i < 256; ++i) {
            uint32_t e = 0;
            for (int b = 0; b < 4; ++b) e = (e << 8) | (size ? data[(i * 4 + b) % size] : uint8_t(i + b));
            pal[i] = e;
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 8) return 0;
    const PixelFormat from = PixelFormat(data[0] % 7), to = PixelFormat(data[1] % 7);
    const uint32_t w = 1 + data[2] % 40, h = 1 + data[3] % 24;
    const uint8_t flags = data[4];
    const uint32_t colours = 2 + data[5] % 255;
    const int32_t bx = int8_t(data[6]), by = int8_t(data[7]);
    data += 8;
    size -= 8;

    Ref<Image> src = Ref<Image>::adopt(imageCreate(from, packSize(w, h)));
    Ref<Image> dst = Ref<Image>::adopt(imageCreate(to, packSize(w, h)));
    if (!src || !dst) return 0;
    fill(src.get(), data, size);
    src->alphaKind = AlphaKind(flags % 3);
    src->frameInfo.backgroundColour = size >= 4 ? uint32_t(data[0]) << 24 | uint32_t(data[size - 1]) : 0;

    QuantizeOptions q;
    q.ditherTo8Bit = flags & 8;
    q.greyByLuminance = flags & 16;
    q.dither = flags & 32;
    q.useFixedPalette = (flags & 64) != 0;
    q.useGivenPalette = (flags & 128) != 0;
    q.colourCount = colours;
    AlignedBuffer<uint32_t> given(256);
    if (given) {
        for (int i = 0; i < 256; ++i) given[i] = src->palette() ? src->palette()[i] : 0xFF000000u | uint32_t(i * 0x010305);
        q.palette = given.get();
    }
    setGlobalQuantizeOptions(&q);
    imageConvertPixels(dst.get(), src.get(), true);

    Ref<Image> ix = Ref<Image>::adopt(imageCreate(PF_INDEXED8, packSize(w, h)));
    if (ix) imageQuantize(ix.get(), src.get(), q);

    Ref<Image> canvas = Ref<Image>::adopt(imageCreate(to, packSize(w / 2 + 1, h + 3)));
    if (canvas) imageBlitRect(canvas.get(), {bx, by}, src.get(), {int32_t(flags % 5), 0}, {});

    imagePremultiplyAlpha(src.get());
    imageUnpremultiplyAlpha(src.get(), true);

    SharedPaletteBuilder builder(colours);
    sharedPaletteAddImage(&builder, src.get());
    uint32_t pal[256], n = 0;
    sharedPaletteBuild(&builder, pal, &n);
    setGlobalQuantizeOptions(nullptr);
    return 0;
}
