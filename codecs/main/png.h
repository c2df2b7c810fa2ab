#pragma once
// PNG and animated PNG: every standard colour type and depth, interlaced or
// not, with transparency, background, density and text chunks, and APNG
// frames as a chain of readers; written without interlacing with adaptive
// row filters ("Normal") or filters chosen by trial compression ("Super
// optimized"), as APNG when every frame of a chain is written.
#include <cstddef>
#include <cstdint>
#include <filesystem>

#include "core/format.h"
#include "core/result.h"

namespace quillon {

class ImageReader;
class ImageWriter;

ResultCode pngProbe(MappedFile* file);
// Also reads PNG data held in memory (icon entries) over a memory stream.
ImageReader* pngReaderCreate(MappedFile* file, const FormatDescriptor* descriptor);
ImageWriter* pngWriterCreate(const std::filesystem::path& path, const FormatDescriptor* descriptor);

// Text-chunk keywords and the information fields they carry, shared by the
// reader and the writer; ended by a row with field 255 and no keyword.
struct PngKeywordField {
    uint64_t field;
    const char* keyword;
};
extern const PngKeywordField kPngKeywordFields[];

// Filters `count` bytes of `current` against `previous` with filter type 0
// (none) to 4 (Paeth) into `out`; other types write nothing. Both rows must
// be preceded by `bytesPerPixel` zero bytes, which stand for the neighbours
// left of the first pixel.
void pngFilterRow(uint32_t type, uint8_t* out, const uint8_t* current, const uint8_t* previous, size_t count,
                  uint32_t bytesPerPixel);
// Undoes one filter in place; `previous` is the unfiltered row above (all
// zeros on a pass's first row). Unknown types leave the row unchanged.
void pngUnfilterRow(uint32_t type, uint8_t* row, const uint8_t* previous, size_t count, uint32_t bytesPerPixel);

// The CRC of a chunk: its four type bytes, then its data.
uint32_t pngCrc32(const uint8_t type[4], const uint8_t* data, size_t length);

// Sub-formats of the "png" descriptor.
extern const char16_t* const kPngSubFormats[];
extern const ColourFormatFlags kPngSubFormatCaps[];

} // namespace quillon
