#pragma once
// GIF: GIF87a and GIF89a files with global and local colour tables,
// transparency, interlacing, comments and animation (one reader per image of
// the file, chained as frames, with delays, disposal and the loop count);
// written as single images or animations, plain or interlaced, at 1 to 8
// bits per pixel.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>

#include "core/format.h"
#include "core/result.h"

namespace quillon {

class ImageReader;
class ImageWriter;

ResultCode gifProbe(MappedFile* file);
ImageReader* gifReaderCreate(MappedFile* file, const FormatDescriptor* descriptor);
ImageWriter* gifWriterCreate(const std::filesystem::path& path, const FormatDescriptor* descriptor);

// Decodes one image's data (the minimum-code-size byte, then the sub-blocks)
// into at most outSize index bytes. Returns how many it produced: it stops at
// the end code, at the end of the data, at the first impossible code, or when
// `out` is full. A minimum code size outside 2..11 produces nothing.
uint64_t gifLzwDecode(uint8_t* out, uint64_t outSize, const uint8_t* data, size_t length);

// Encodes `count` indices of `bits` bits each (1..8) as the minimum code
// size, the sub-blocks and their terminator, handing the bytes to `sink` in
// pieces. False as soon as the sink returns false.
bool gifLzwEncode(const uint8_t* pixels, size_t count, uint32_t bits,
                  const std::function<bool(const uint8_t*, size_t)>& sink);

// Sub-formats of the "gif" descriptor.
extern const char16_t* const kGifSubFormats[];
extern const ColourFormatFlags kGifSubFormatCaps[];

} // namespace quillon
