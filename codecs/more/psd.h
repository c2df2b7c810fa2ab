#pragma once
// Photoshop documents ("psd"): the merged image of grey, duotone, indexed,
// RGB, CMYK and Lab documents, raw or PackBits-coded, with its transparency
// where a negative layer count marks one (its colours taken back out of the
// white they are stored blended with), and the IPTC, Exif and XMP of their
// image resources; layers are skipped, and a document saved without its
// merged image is refused. Written as flat documents of one raw merged
// image with IPTC and XMP resources.
#include <cstdint>
#include <filesystem>

#include "core/format.h"
#include "core/result.h"

namespace quillon {

class ImageReader;
class ImageWriter;

ResultCode psdProbe(MappedFile* file);
ImageReader* psdReaderCreate(MappedFile* file, const FormatDescriptor* descriptor);
ImageWriter* psdWriterCreate(const std::filesystem::path& path, const FormatDescriptor* descriptor);

// Sub-formats of the "psd" descriptor.
extern const char16_t* const kPsdSubFormats[];
extern const ColourFormatFlags kPsdSubFormatCaps[];

} // namespace quillon
