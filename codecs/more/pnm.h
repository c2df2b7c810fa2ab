#pragma once
// Portable any-maps and float maps, read only: "pbm", "pgm", "ppm" and "pnm"
// files in text (P1-P3) and binary (P4-P6) form with 8- or 16-bit samples,
// and "pfm" colour (PF) and grey (Pf) float maps.
#include <cstdint>

#include "core/format.h"
#include "core/result.h"

namespace quillon {

class ImageReader;

ResultCode pnmProbe(MappedFile* file);
ImageReader* pnmReaderCreate(MappedFile* file, const FormatDescriptor* descriptor);

// The next unsigned decimal at or after `p` (before `end`): characters that
// are not digits are skipped, "#" comments up to LF or CR too; at most
// `maxDigits` digits are read and a larger value saturates. The character
// after the number is consumed. Returns 1, with `p` at `end`, when the end
// comes first.
uint32_t pnmNextInt(const uint8_t*& p, const uint8_t* end, uint32_t maxDigits);

} // namespace quillon
