#pragma once
// DirectDraw surfaces ("dds"): the top surface read uncompressed with bit
// masks or block-compressed DXT1 to DXT5; written as a power-of-two surface,
// with or without its mip-map chain, uncompressed at 16, 24 or 32 bits or
// block-compressed by our own DXT encoder.
#include <cstdint>
#include <filesystem>

#include "core/format.h"
#include "core/result.h"

namespace quillon {

class ImageReader;
class ImageWriter;

ResultCode ddsProbe(MappedFile* file);
ImageReader* ddsReaderCreate(MappedFile* file, const FormatDescriptor* descriptor);
// The writer polls its `abort` byte per row of blocks: once it is set the
// write ends with RC_CANCELLED.
ImageWriter* ddsWriterCreate(const std::filesystem::path& path, const FormatDescriptor* descriptor);

extern const char16_t* const kDdsSubFormats[];
extern const ColourFormatFlags kDdsSubFormatCaps[];

// The block coders, exposed for tests. Pixels are 16 values 0xAARRGGBB of a
// 4 x 4 block, row by row. A colour block is 8 bytes, an alpha block 8.
// Only DXT1 colour blocks have the three-colour mode (colour 0 <= colour 1).
void ddsDecodeColourBlock(const uint8_t* block, uint32_t* pixels, bool dxt1);
void ddsDecodeAlphaBlock(const uint8_t* block, uint32_t* pixels);
// `dxt1`: a DXT1 block (alpha below 64 is transparent; three or four
// colours); otherwise the colour half of a DXT2..5 block (four colours).
void ddsWriteColourBlock(uint8_t* out, const uint32_t* pixels, bool dxt1);
void ddsWriteAlphaBlock(uint8_t* out, const uint32_t* pixels);

} // namespace quillon
