#pragma once
// Sun raster files: uncompressed 1-, 8-, 24- and 32-bit images, with or
// without a colour map; written as 1-bit and 8-bit with a map, 8-bit grey,
// 24-bit and 32-bit.
#include <filesystem>

#include "core/format.h"
#include "core/result.h"

namespace quillon {

class ImageReader;
class ImageWriter;

ResultCode sunRasterProbe(MappedFile* file);
ImageReader* sunRasterReaderCreate(MappedFile* file, const FormatDescriptor* descriptor);
ImageWriter* sunRasterWriterCreate(const std::filesystem::path& path, const FormatDescriptor* descriptor);

// Sub-formats of the Sun "ras" descriptor.
extern const char16_t* const kSunRasterSubFormats[];
extern const ColourFormatFlags kSunRasterSubFormatCaps[];

} // namespace quillon
