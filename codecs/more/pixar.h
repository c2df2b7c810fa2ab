#pragma once
// Pixar picture files ("pxr"), read only: 8-bit grey, RGB or RGBA pixels
// behind a 520-byte header.
#include "core/format.h"
#include "core/result.h"

namespace quillon {

class ImageReader;

ResultCode pixarProbe(MappedFile* file);
ImageReader* pixarReaderCreate(MappedFile* file, const FormatDescriptor* descriptor);

} // namespace quillon
