#pragma once
// Colour adjustment (hue turn, colour balance, contrast, brightness,
// luminance, saturation, gamma, inversion) for every pixel format, and the
// side-car file that carries an image's adjustments beside it.
#include <cstddef>
#include <cstdint>
#include <filesystem>

#include "core/result.h"
#include "processing/adjustment_settings.h"
#include "processing/band_job.h"

namespace quillon {

class Image;

// dst may be src. Palette images are adjusted through their palette only.
ResultCode imageColorAdjust(Image* dst, const Image* src, const AdjustmentSettings& adj);
// In place on img and every frame after it; the first failure is returned.
ResultCode imageColorAdjustFrames(Image* img, const AdjustmentSettings& adj);
// Adjusts count entries 0xAARRGGBB in place.
void colorAdjustPalette(uint32_t* entries, uint32_t count, const AdjustmentSettings& adj);

// Row kernels: source rows [firstRow, endRow) into the same destination rows.
void colorAdjustRowsRgba8(const BandJob& job, const AdjustmentSettings& adj);
void colorAdjustRowsRgba16(const BandJob& job, const AdjustmentSettings& adj);
void colorAdjustRowsRgbaFloat(const BandJob& job, const AdjustmentSettings& adj);
void colorAdjustRowsGray8(const BandJob& job, const AdjustmentSettings& adj);
void colorAdjustRowsGray16(const BandJob& job, const AdjustmentSettings& adj);
void colorAdjustRowsGrayFloat(const BandJob& job, const AdjustmentSettings& adj);

// Reads "<imagePath>.qxa". 0: no usable side-car (missing, unreadable or not
// a RIFF "LMAD" form), record untouched; 1: read (also when it holds nothing).
uint32_t adjustSidecarRead(AdjustmentSettings& adj, const std::filesystem::path& imagePath);
// The same over bytes already in memory (the whole file).
uint32_t adjustSidecarParse(AdjustmentSettings& adj, const uint8_t* data, size_t size);

} // namespace quillon
