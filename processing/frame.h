#pragma once
// Frames around images (flat or toned borders drawn as one-pixel rings) and
// the rectangle outline they are drawn with.
#include <cstdint>

#include "core/result.h"

namespace quillon {

class Image;

enum FrameStyle : uint8_t { FRAME_NONE = 0, FRAME_FLAT = 1, FRAME_TONED = 2 };

// Colours are four floats 0..1 in pixel order blue, green, red, alpha:
// colourA the frame colour, colourB the edge colour. Every frame of the chain
// in slot grows by width on each side (palette frames become PF_RGBA8); a
// width of 0 or less changes nothing.
ResultCode imageAddFrame(Image** slot, uint8_t style, const float colourA[4], const float colourB[4], int32_t width);

// One-pixel outline of the rectangle at origin (x low, y high 32 bits) of
// size (width low, height high 32 bits). Palette images are left alone, and so
// is a rectangle that does not lie inside the image.
void imageDrawRect(Image* img, uint64_t origin, uint64_t size, const float colour[4]);

} // namespace quillon
