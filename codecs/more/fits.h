#pragma once
// FITS grey-level images: the primary header's first two axes of 8-, 16- or
// 32-bit integer or 32- or 64-bit float samples; written as 8-bit, 16-bit
// or 32-bit float.
#include <filesystem>

#include "core/format.h"
#include "core/result.h"

namespace quillon {

class ImageReader;
class ImageWriter;

ResultCode fitsProbe(MappedFile* file);
ImageReader* fitsReaderCreate(MappedFile* file, const FormatDescriptor* descriptor);
ImageWriter* fitsWriterCreate(const std::filesystem::path& path, const FormatDescriptor* descriptor);

// Sub-formats of the "fits" descriptor.
extern const char16_t* const kFitsSubFormats[];
extern const ColourFormatFlags kFitsSubFormatCaps[];

} // namespace quillon
