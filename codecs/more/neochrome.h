#pragma once
// Neochrome pictures ("neo") of the Atari ST, read only: 1, 2 or 4
// interleaved bit planes with a 16-entry palette.
#include "core/format.h"
#include "core/result.h"

namespace quillon {

class ImageReader;

ResultCode neochromeProbe(MappedFile* file);
ImageReader* neochromeReaderCreate(MappedFile* file, const FormatDescriptor* descriptor);

} // namespace quillon
