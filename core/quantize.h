#pragma once
// Reduction of any image to PF_INDEXED8 with at most 256 colours: a median
// cut over a 64 x 64 x 64 histogram (or a fixed or caller-given palette),
// one table lookup per pixel, and an optional error-diffusion dither that
// leaves flat areas alone. The shared-palette builder collects the histogram
// of several images and builds one palette for all of them.
#include <cstdint>

#include "core/image.h"
#include "core/quantize_options.h"
#include "core/result.h"

namespace quillon {

// dst: PF_INDEXED8 of src's size. src is never modified.
ResultCode imageQuantize(Image* dst, const Image* src, const QuantizeOptions& options);

// Writes the fixed palette for count colours (2, 4 greys, 16 or 256 entries,
// alpha 255) and returns how many entries it wrote.
uint32_t paletteFixed(uint32_t* entries, uint32_t count);

struct MedianCutBox;

// Accumulates the colour histogram of every image added, then builds one
// palette over all of them.
class SharedPaletteBuilder {
public:
    // colourCount: 2..256 entries wanted (clamped).
    explicit SharedPaletteBuilder(uint32_t colourCount);
    ~SharedPaletteBuilder();
    SharedPaletteBuilder(const SharedPaletteBuilder&) = delete;
    SharedPaletteBuilder& operator=(const SharedPaletteBuilder&) = delete;
    // False when the histogram could not be allocated.
    bool valid() const { return histogram != nullptr; }

    uint16_t* histogram = nullptr;  // 262,144 saturating counts
    MedianCutBox* boxes = nullptr;
    uint32_t boxCount = 0;
    uint32_t targetCount = 0;
    uint8_t hasTransparent = 0;
};

// Histogram cell of a colour: (R >> 2) << 12 | (G >> 2) << 6 | (B >> 2).
constexpr uint32_t histogramCell(uint32_t r, uint32_t g, uint32_t b)
{
    return ((r >> 2) << 12) | ((g >> 2) << 6) | (b >> 2);
}

void histogramAddRgba8(SharedPaletteBuilder* builder, const Rgba8* pixels, uint64_t size, uint32_t rowPixels);
void histogramAddIndexed(SharedPaletteBuilder* builder, const uint8_t* indices, const uint32_t* palette, uint64_t size,
                         uint32_t rowPixels);
// Adds every frame of the chain; frames that cannot be converted are skipped.
void sharedPaletteAddImage(SharedPaletteBuilder* builder, const Image* image);
// Runs the median cut and writes the palette (256 entries of room);
// *countOut receives the number of entries.
ResultCode sharedPaletteBuild(SharedPaletteBuilder* builder, uint32_t* palette, uint32_t* countOut);

} // namespace quillon
