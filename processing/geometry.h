#pragma once
// Geometric operations on images and whole frame chains: turning and
// mirroring by an orientation, resizing every frame, and copying a region.
#include <cstdint>

#include "core/result.h"

namespace quillon {

class Image;

// Orientation flags: quarter turns counter-clockwise in bits 0-1, then the
// rows (4) and the columns (8) reversed, applied to the turned image.
constexpr uint8_t ORIENT_TURNS_MASK = 3;
// ORIENT_MIRROR_V (4) and ORIENT_MIRROR_H (8) live in core/image_info.h.

// slot holds the first frame of a chain and, on success, the new first frame.
// Every frame is resampled with the first frame's scale; frame positions and
// canvas sizes follow. A target size of 0 is RC_INVALID_PARAMETER.
ResultCode imageResizeFrames(Image** slot, uint32_t width, uint32_t height, uint8_t filter, bool allFrames);

// Applies an orientation to every frame of the chain. Palette frames stay
// PF_INDEXED8; every other format becomes PF_RGBA8.
ResultCode imageRotateFrames(Image** slot, uint8_t flags);

// One image into a destination of the turned size (any format).
ResultCode imageRotateFlip(Image* dst, const Image* src, uint8_t flags);

// Copies the region of src at origin (x low, y high 32 bits) with dst's size
// into dst (same format, not the same image, region inside src).
ResultCode imageCropCopy(Image* dst, const Image* src, uint64_t origin);

} // namespace quillon
