#pragma once
// CALS type 1 raster files: a 2,048-byte text header and one Group 4 coded
// bi-level image. Read only.
#include <filesystem>

#include "core/format.h"
#include "core/result.h"

namespace quillon {

class ImageReader;

ResultCode calsProbe(MappedFile* file);
ImageReader* calsReaderCreate(MappedFile* file, const FormatDescriptor* descriptor);

} // namespace quillon
