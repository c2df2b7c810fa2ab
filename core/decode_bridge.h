#pragma once
// What the decode driver needs of the pixel conversions and the resampler,
// in one place.
#include <cstdint>

#include "core/image.h"
#include "core/result.h"

namespace quillon {

// JFIF YCbCr to blue, green, red, 255 on 4-byte pixels, in place.
void bridgeYcbcrToRgbRow(uint8_t* pixels, uint32_t count);
// Copies and converts src into dst of the same size, frame data included.
ResultCode bridgeConvertPixels(Image* dst, const Image* src);
// Resamples src into dst (dst has the wanted size).
ResultCode decodeResample(Image* dst, const Image* src);

} // namespace quillon
