#include "core/quantize.h"

#include "platform/memory.h"

namespace quillon {

struct MedianCutBox {
    uint32_t lo[3], hi[3];
};

SharedPaletteBuilder::SharedPaletteBuilder(uint32_t colourCount)
{
    targetCount = colourCount < 2 ? 2 : colourCount > 256 ? 256 : colourCount;
    histogram = static_cast<uint16_t*>(alignedAllocZero(262144 * 2));
}

SharedPaletteBuilder::~SharedPaletteBuilder()
{
    alignedFree(histogram);
    alignedFree(boxes);
}

ResultCode imageQuantize(Image*, const Image*, const QuantizeOptions&) { return RC_UNSUPPORTED_COLOUR_FORMAT; }

uint32_t paletteFixed(uint32_t*, uint32_t) { return 0; }

void histogramAddRgba8(SharedPaletteBuilder*, const Rgba8*, uint64_t, uint32_t) {}
void histogramAddIndexed(SharedPaletteBuilder*, const uint8_t*, const uint32_t*, uint64_t, uint32_t) {}
void sharedPaletteAddImage(SharedPaletteBuilder*, const Image*) {}
ResultCode sharedPaletteBuild(SharedPaletteBuilder*, uint32_t*, uint32_t*) { return RC_GENERAL_FAILURE; }

} // namespace quillon
