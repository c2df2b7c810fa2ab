#pragma once
// Windows icons and cursors, read only: the largest image of the file's
// directory, either a bitmap with its AND mask (transparent pixels) or an
// embedded PNG image read by the PNG reader.
#include "core/format.h"
#include "core/result.h"

namespace quillon {

class ImageReader;

// Claims only names ending in ".ico" or ".cur": the header is too weak a
// signature to sniff.
ResultCode icoProbe(MappedFile* file);
ImageReader* icoReaderCreate(MappedFile* file, const FormatDescriptor* descriptor);

} // namespace quillon
