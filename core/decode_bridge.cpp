#include "core/decode_bridge.h"

#include "core/convert.h"
#include "core/resize.h"

namespace quillon {

void bridgeYcbcrToRgbRow(uint8_t* p, uint32_t count) { ycbcrToRgbRow(p, count); }

ResultCode bridgeConvertPixels(Image* dst, const Image* src) { return imageConvertPixels(dst, src, true); }

ResultCode decodeResample(Image* dst, const Image* src) { return imageResample(dst, src, 0, nullptr); }

} // namespace quillon
