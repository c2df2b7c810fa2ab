#pragma once
// MacPaint pictures ("mac"), read only: 576 x 720 black-and-white pages of
// PackBits rows, with or without a MacBinary prefix.
#include "core/format.h"
#include "core/result.h"

namespace quillon {

class ImageReader;

ResultCode macPaintProbe(MappedFile* file);
ImageReader* macPaintReaderCreate(MappedFile* file, const FormatDescriptor* descriptor);

} // namespace quillon
