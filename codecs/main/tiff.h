#pragma once
// Tagged image files: "tiff" and "tif". Read: classic TIFF in either byte
// order, every directory as a page, strips or tiles, chunky or planar,
// uncompressed, LZW, PackBits, Deflate, JPEG (old and new style), CCITT fax
// and SGI LogLuv, with predictors and the text, Exif, GPS, IPTC and XMP
// tags. Written: one little-endian directory holding the image as one
// strip, uncompressed, LZW with a predictor, JPEG or SGI LogLuv RLE.
#include <cstddef>
#include <cstdint>
#include <filesystem>

#include "core/format.h"
#include "core/result.h"

namespace quillon {

class ImageReader;
class ImageWriter;

ResultCode tiffProbe(MappedFile* file);
ImageReader* tiffReaderCreate(MappedFile* file, const FormatDescriptor* descriptor);
ImageWriter* tiffWriterCreate(const std::filesystem::path& path, const FormatDescriptor* descriptor);

// Sub-formats of the "tiff" descriptor.
extern const char16_t* const kTiffSubFormats[];
extern const ColourFormatFlags kTiffSubFormatCaps[];
extern const uint8_t kTiffSubFormatParams[];

// ---- pure helpers, exported for tests ----

struct TiffLzwResult {
    size_t consumed = 0;   // input bytes read
    size_t produced = 0;   // output bytes written
    bool damaged = false;  // stopped at an impossible code
};
// One LZW segment (MSB-first codes, early change). Output stops when `out`
// is full; input stops at the end code or the end of `in`.
TiffLzwResult tiffLzwDecode(uint8_t* out, const uint8_t* in, size_t outLength, size_t inLength);

// TIFF LZW of `size` bytes into `out`, which must hold tiffLzwBound(size)
// bytes. Returns the bytes written.
size_t tiffLzwBound(size_t size);
size_t tiffLzwEncode(uint8_t* out, const uint8_t* in, size_t size);

// Undoes horizontal differencing in place on one row of `pixels` pixels of
// `samples` samples each, samples of 1, 2 or 4 native-order bytes.
void tiffUnpredictRow(uint8_t* row, uint32_t pixels, uint32_t samples, uint32_t bytesPerSample);

// SGI LogL16 of a luminance; 0 for zero, tiny and NaN values.
uint16_t logL16Encode(float y);
float logL16Decode(uint16_t v);

// One plane of a row of SGI LogLuv RLE into `out` (up to outLength bytes,
// one every `step`). Returns the input bytes read; *filled the bytes placed.
size_t tiffLogLuvRlePlane(uint8_t* out, size_t outLength, size_t step, const uint8_t* in, size_t inLength,
                          size_t* filled);

} // namespace quillon
