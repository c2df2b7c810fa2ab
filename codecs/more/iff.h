#pragma once
// Interchange File Format bitmaps ("iff", "bbm", "lbm"), read only: ILBM bit
// planes (1 to 8 with an RGB or CMYK colour map, extra half-bright,
// hold-and-modify, 24 planes, a mask plane) and the chunky "PBM " form, raw
// or ByteRun1. Palettes that change from line to line (PCHG, SHAM, CTBL,
// BEAM, RAST) are refused.
#include "core/format.h"
#include "core/result.h"

namespace quillon {

class ImageReader;

ResultCode iffProbe(MappedFile* file);
ImageReader* iffReaderCreate(MappedFile* file, const FormatDescriptor* descriptor);

} // namespace quillon
