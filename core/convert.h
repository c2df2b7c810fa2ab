#pragma once
// Conversions between the seven pixel formats, alpha operations (mask,
// premultiply, flatten), rectangle blits, and the row helpers codecs use.
// Every converter reads the source through its typed view and writes the
// destination through its own; sizes must match.
#include <cstddef>
#include <cstdint>

#include "core/image.h"
#include "core/result.h"

namespace quillon {

class ImageReader;
class ImageCache;

// ---- whole images ----

// Converts every pixel of src into dst (same size, any of the seven formats).
// Frames that follow dst are released first. On success dst takes src's
// FrameInfo data with cleared links; without withFrames its duration becomes
// 0, with it the rest of src's chain is converted into new frames linked
// behind dst. The chain is walked iteratively.
ResultCode imageConvertPixels(Image* dst, const Image* src, bool withFrames);

// A new image of `format` (PF_SAME: src's) holding src converted; null on
// failure.
Image* imageConvertNew(const Image* src, bool withFrames, bool useDib, PixelFormat format);

// The typed converters: dst must have the named format and src's size
// (RC_INVALID_PARAMETER); src of another format than 0..6 gives
// RC_UNSUPPORTED_COLOUR_FORMAT. Each ends by copying the information record
// and the alpha kind. dither selects error diffusion for 16-bit and float
// sources; luminance selects sRGB luminance over the channel average.
ResultCode imageConvertToRgba8(Image* dst, const Image* src, bool dither);
ResultCode imageConvertToRgba16(Image* dst, const Image* src);
ResultCode imageConvertToRgbaFloat(Image* dst, const Image* src);
ResultCode imageConvertToGray8(Image* dst, const Image* src, bool dither, bool luminance);
ResultCode imageConvertToGray16(Image* dst, const Image* src, bool luminance);
ResultCode imageConvertToGrayFloat(Image* dst, const Image* src, bool luminance);

// Same size and format required; copies the pixels, the palette, the
// information record and the alpha kind.
ResultCode imageCopySame(Image* dst, const Image* src);

struct BlitPoint {
    int32_t x = 0, y = 0;
};
// A component of kBlitToEdge means "up to the source's edge".
constexpr uint32_t kBlitToEdge = 0xFFFFFFFF;
struct BlitSize {
    uint32_t width = kBlitToEdge, height = kBlitToEdge;
};

// Copies a rectangle of src into dst, converting src to dst's format first
// when they differ. A negative destination position clips the rectangle and
// moves the source start by the same amount. Returns 1 (success) when nothing
// is left to copy; RC_INVALID_PARAMETER when the source rectangle does not
// lie inside src.
ResultCode imageBlitRect(Image* dst, BlitPoint dstPos, const Image* src, BlitPoint srcPos, BlitSize size);

// Takes the alpha channel of the image in *imageSlot from the grey levels of
// the mask file that maskReader has opened (through the decoded-image cache).
// An indexed image is first replaced in its slot by an RGBA8 copy. A mask of
// another size is fitted to the image, wherever it came from.
ResultCode imageApplyAlphaMask(Image** imageSlot, ImageReader* maskReader, ImageCache* cache);

// How imageApplyAlphaMask obtains the decoded mask at its own size: *out
// receives one reference. Without a fetch installed (or without a cache) the
// mask is decoded from the reader; the decoded-image cache installs its own
// so a cached mask is reused.
using AlphaMaskFetch = ResultCode (*)(ImageCache* cache, Image** out, ImageReader* maskReader);
void setAlphaMaskFetch(AlphaMaskFetch fetch);

// Copies the grey levels of mask (any grey format, or anything convertible to
// one) into the alpha channel of image (PF_RGBA8, PF_RGBA16 or PF_RGBA_FLOAT)
// and marks it ALPHA_STRAIGHT. The mask must have the image's size.
ResultCode imageApplyAlphaFromGrey(Image* image, const Image* mask);

// Premultiplies every frame of the chain that has straight alpha.
void imagePremultiplyAlpha(Image* image);
// Undoes premultiplication on the first frame and, with allFrames, on every
// following one.
void imageUnpremultiplyAlpha(Image* image, bool allFrames);
void rowPremultiply8(Rgba8View* view);
void rowUnpremultiply8(Rgba8View* view);
// Straight alpha from premultiplied on one row of `count` pixels (dst may
// equal src). Files carry straight alpha and an encoder must not change the
// image it is handed, so writers undo premultiplication on a row copy.
// Alpha 0 and full alpha leave the pixel as it is.
void unpremultiplyRow8(Rgba8* dst, const Rgba8* src, uint32_t count);
void unpremultiplyRow16(Rgba16* dst, const Rgba16* src, uint32_t count);

// True when all 256 entries are the opaque grey ramp (i -> 0xFF000000 +
// i x 0x010101): such an indexed image is grey. A transparent entry keeps
// the palette, or its transparency would be lost.
bool isOpaqueGreyRamp(const uint32_t* palette);

// Composite every pixel, taken as premultiplied, over the background colour
// (channels in blue, green, red, alpha order).
void flattenOnBackground8(Rgba8View* view, Rgba8 colour);
void flattenOnBackground16(Rgba16View* view, Rgba16 colour);
void flattenOnBackgroundFloat(RgbaFloatView* view, RgbaF colour);

// Every alpha to its maximum (alpha kind unchanged); RGBA formats only.
ResultCode imageSetOpaque(Image* image);

// Float to integer: 0 at or below 0 (and for NaN), the maximum at or above 1,
// else truncate(v x max + 0.5).
uint8_t floatToU8(float v);
uint16_t floatToU16Sample(float v);
void colourToRgba8(uint8_t out[4], const float in[4]);
void colourToRgba16(uint16_t out[4], const float in[4]);

// sRGB transfer functions on nominal 0..1 values.
float srgbEncode(float v);
float srgbDecode(float c);

// ---- row helpers ----

// Copies `rows` rows of min(dstStride, srcStride) bytes. Source and
// destination may overlap (the same buffer restrided in place).
void copyRows(void* dst, const void* src, size_t dstStrideBytes, size_t srcStrideBytes, uint32_t rows);
// planeCount bit planes of (width + 7) / 8 bytes each, MSB first, into one
// byte per pixel (bit p from plane p), for width rounded up to 8 pixels.
void planarToChunky(uint8_t* dst, const uint8_t* src, uint32_t width, uint32_t planeCount);
// count bytes of 0 or 1 into bits, MSB first.
void packBitsRow(uint8_t* dst, const uint8_t* src, uint32_t count);
// In place on 4-byte pixels holding Y, Cb, Cr: gives B, G, R, 255.
void ycbcrToRgbRow(uint8_t* pixels, uint32_t count);
// The same one pixel at a time: the reference for the vector form.
void ycbcrToRgbRowScalar(uint8_t* pixels, uint32_t count);
// Exchange channels 0 and 2 of 4-channel pixels; byteSwap also reverses the
// bytes of every channel. dst may equal src.
void rgba16RowSwapRB(uint16_t* dst, const uint16_t* src, uint32_t count, bool byteSwap);
void rgbaFloatRowSwapRB(float* dst, const float* src, uint32_t count, bool byteSwap);
// (B + G + R + 1) / 3, or the sRGB luminance with `luminance`.
void rgba8RowToGray(uint8_t* dst, const Rgba8* src, uint32_t count, bool luminance);
// Error diffusion of 16-bit samples to 8 bits over a width x height block
// (size as packSize); strides count samples.
void ditherRows16To8(uint8_t* dst, const uint16_t* src, uint64_t size, size_t dstStride, size_t srcStride);
// The same rule per colour channel of RGBA16 rows into RGBA8 (alpha takes its
// high byte); strides count pixels.
void ditherRowsRgba16To8(Rgba8* dst, const Rgba16* src, uint64_t size, size_t dstStride, size_t srcStride);

} // namespace quillon
