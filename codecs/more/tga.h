#pragma once
// Truevision TGA images: colour-mapped, true-colour (15, 16, 24 and 32 bits)
// and grey, raw or run-length coded, either row order, with the alpha
// meaning of the extension area; written uncompressed as 256 colours, grey,
// 15/16-bit, 24-bit and 32-bit, the alpha formats with an extension area and
// footer.
#include <cstddef>
#include <cstdint>
#include <filesystem>

#include "core/format.h"
#include "core/result.h"

namespace quillon {

class ImageReader;
class ImageWriter;

// Claims only names ending in ".tga" or ".targa": the format has no
// signature to sniff.
ResultCode tgaProbe(MappedFile* file);
ImageReader* tgaReaderCreate(MappedFile* file, const FormatDescriptor* descriptor);
ImageWriter* tgaWriterCreate(const std::filesystem::path& path, const FormatDescriptor* descriptor);

// A run-length stream of pixels of `bytesPerPixel` bytes, decoded a piece at
// a time: a packet may continue from one call (row) into the next. Never
// reads past `size` input bytes nor writes past the pixels asked for.
class TgaRunDecoder {
public:
    TgaRunDecoder(const uint8_t* data, size_t size, uint32_t bytesPerPixel)
        : data_(data), size_(size), bpp_(bytesPerPixel) {}
    // Fills up to `pixels` pixels; returns how many it wrote (fewer once the
    // input ends).
    uint32_t unpack(uint8_t* out, uint32_t pixels);

private:
    const uint8_t* data_;
    size_t size_, pos_ = 0;
    uint32_t bpp_;
    uint32_t left_ = 0;  // pixels still owed by the current packet
    bool repeat_ = false;
    uint8_t value_[4] = {};
};

// 16-bit pixels (x-R-G-B 1-5-5-5, little-endian) to B, G, R, A bytes, each
// component scaled to 0..255; with `alphaBit` the top bit is the alpha
// (set: opaque), else every pixel is opaque.
void tgaExpand555(uint8_t* out, const uint8_t* in, uint32_t count, bool alphaBit);

// Sub-formats of the "tga" descriptor.
extern const char16_t* const kTgaSubFormats[];
extern const ColourFormatFlags kTgaSubFormatCaps[];

} // namespace quillon
