#pragma once
// PC Paint pictures ("pic"), read only: 1-, 4- (planar or packed nibbles)
// and 8-bit indexed pixels in run-length blocks, with EGA or VGA palettes.
#include "core/format.h"
#include "core/result.h"

namespace quillon {

class ImageReader;

ResultCode pcPaintProbe(MappedFile* file);
ImageReader* pcPaintReaderCreate(MappedFile* file, const FormatDescriptor* descriptor);

} // namespace quillon
