#pragma once
// Windows bitmaps: "bmp", "dib" and "rle" files with core, info and V2-V5
// headers, "BA" arrays (the first bitmap), bit fields, 4- and 8-bit run
// lengths; written uncompressed at 1, 4, 8, 16, 24 and 32 bits or with
// 4- and 8-bit run lengths.
#include <cstdint>
#include <filesystem>

#include "core/format.h"
#include "core/result.h"

namespace quillon {

class ImageReader;
class ImageWriter;

ResultCode bmpProbe(MappedFile* file);
ImageReader* bmpReaderCreate(MappedFile* file, const FormatDescriptor* descriptor);
ImageWriter* bmpWriterCreate(const std::filesystem::path& path, const FormatDescriptor* descriptor);

// One row of indices as run-length pairs, ended by 0, 0. `out` must hold
// 2 x count + 4 bytes. Returns the bytes written.
uint32_t bmpEncodeRle8Row(uint8_t* out, const uint8_t* indices, uint32_t count, uint32_t minRun);
// The same for 4-bit indices (one 0..15 index per input byte).
uint32_t bmpEncodeRle4Row(uint8_t* out, const uint8_t* indices, uint32_t count, uint32_t minRun);

// Sub-formats of the "bmp" descriptor, ended by an empty name, and the
// colour formats each can store.
extern const char16_t* const kBmpSubFormats[];
extern const ColourFormatFlags kBmpSubFormatCaps[];
enum BmpSubFormat : uint32_t { kBmpNormal = 0, kBmpRle = 1 };

} // namespace quillon
