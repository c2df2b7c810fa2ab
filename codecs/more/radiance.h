#pragma once
// Radiance high-dynamic-range pictures: shared-exponent RGBE or XYZE pixels
// in flat, old-style run or per-component run-length coded scanlines; written
// as run-length coded RGBE.
#include <cstdint>
#include <filesystem>

#include "core/format.h"
#include "core/result.h"

namespace quillon {

class ImageReader;
class ImageWriter;

ResultCode radianceProbe(MappedFile* file);
ImageReader* radianceReaderCreate(MappedFile* file, const FormatDescriptor* descriptor);
ImageWriter* radianceWriterCreate(const std::filesystem::path& path, const FormatDescriptor* descriptor);

// One float pixel (red, green, blue; NaN and infinities count as 0) as
// mantissas and exponent, and back.
void radianceFromFloat(uint8_t out[4], float r, float g, float b);
void radianceToFloat(const uint8_t in[4], float* r, float* g, float* b);

// The scanline of `width` (8..32767) RGBE pixels coded per component; `out`
// must hold 4 + width x 5 bytes. Returns the bytes written.
uint32_t radianceEncodeRow(uint8_t* out, const uint8_t* rgbe, uint32_t width);

// Sub-formats of the "hdr" descriptor.
extern const char16_t* const kRadianceSubFormats[];
extern const ColourFormatFlags kRadianceSubFormatCaps[];

} // namespace quillon
