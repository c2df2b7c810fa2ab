#pragma once
// WebP: simple lossy and lossless files and the extended container with
// alpha, animation frames (one reader per frame, chained), Exif and XMP; the
// container is walked and written here, the bitstreams are decoded and
// encoded by libwebp. Written lossless or lossy by quality, still or
// animated.
#include <cstdint>
#include <filesystem>

#include "core/format.h"
#include "core/result.h"

namespace quillon {

class ImageReader;
class ImageWriter;

ResultCode webpProbe(MappedFile* file);
ImageReader* webpReaderCreate(MappedFile* file, const FormatDescriptor* descriptor);
ImageWriter* webpWriterCreate(const std::filesystem::path& path, const FormatDescriptor* descriptor);

// Sub-formats of the "webp" descriptor.
extern const char16_t* const kWebpSubFormats[];
extern const ColourFormatFlags kWebpSubFormatCaps[];
extern const uint8_t kWebpParamKinds[];

} // namespace quillon
