#pragma once
// PC Paintbrush images: 1-bit images of 1 to 8 planes, 4- and 8-bit palette
// images and 24/32-bit images of three or four 8-bit planes, raw or run-length
// coded; written run-length coded as 1-bit images of 1, 2 or 4 planes,
// 8-bit palette images (most used colours first) and 24-bit images.
#include <cstdint>
#include <filesystem>

#include "core/format.h"
#include "core/result.h"

namespace quillon {

class ImageReader;
class ImageWriter;

ResultCode pcxProbe(MappedFile* file);
ImageReader* pcxReaderCreate(MappedFile* file, const FormatDescriptor* descriptor);
ImageWriter* pcxWriterCreate(const std::filesystem::path& path, const FormatDescriptor* descriptor);

// One row of bytes run-length coded; `out` must hold 2 x count bytes.
// Returns the bytes written.
uint32_t pcxEncodeRow(uint8_t* out, const uint8_t* in, uint32_t count);

// Sub-formats of the "pcx" descriptor.
extern const char16_t* const kPcxSubFormats[];
extern const ColourFormatFlags kPcxSubFormatCaps[];

} // namespace quillon
