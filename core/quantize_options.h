#pragma once
// The process-wide palette and conversion switches. One instance lives in the
// job settings; conversions and the write driver reach it through
// globalQuantizeOptions().
#include <cstdint>

namespace quillon {

struct QuantizeOptions {
    uint8_t greyByLuminance = 0;   // grey as sRGB luminance instead of the channel average
    uint8_t ditherTo8Bit = 0;      // error diffusion when 16-bit/float data becomes 8-bit
    uint8_t ditherHighColour = 0;  // dither 15- and 16-bit output
    uint8_t dither = 1;            // error diffusion during palette reduction
    uint8_t useFixedPalette = 0;
    uint8_t useGivenPalette = 0;   // use `palette` (a shared palette)
    uint32_t* palette = nullptr;   // 256 entries 0xAARRGGBB, 16-byte aligned, allocated on first use
    uint32_t colourCount = 256;    // 2..256: colours wanted in the output
    // How many entries of `palette` a shared-palette build really filled;
    // kept apart from colourCount, which the write driver changes per output.
    uint32_t givenCount = 0;
};

// The instance the conversions read; the job settings install theirs at
// start-up, until then a default record answers.
QuantizeOptions& globalQuantizeOptions();
void setGlobalQuantizeOptions(QuantizeOptions* options);

} // namespace quillon
