#pragma once
// JPEG files ("jpg", "jif", "jfif", "jpe", "jpeg"): read with the system's
// own decoder (at full size or one eighth) together with their JFIF density,
// comment, EXIF, XMP and Photoshop/IPTC metadata; written through the JPEG
// library by quality or to a target size, baseline, progressive or
// arithmetic-coded, with JFIF density, comment, EXIF and XMP segments.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <vector>

#include "core/format.h"
#include "core/result.h"

namespace quillon {

class Image;
class ImageReader;
class ImageWriter;

ResultCode jpegProbe(MappedFile* file);
ImageReader* jpegReaderCreate(MappedFile* file, const FormatDescriptor* descriptor);
ImageWriter* jpegWriterCreate(const std::filesystem::path& path, const FormatDescriptor* descriptor);

// Sub-formats of the "jpg" descriptor, their colour formats and numbers.
extern const char16_t* const kJpegSubFormats[];
extern const ColourFormatFlags kJpegSubFormatCaps[];
extern const uint8_t kJpegParamKinds[];

// Offset of the JPEG stream inside a file (0, or 692 behind a preview
// header); -1 when neither place starts with SOI.
int64_t jpegStreamOffset(const uint8_t* data, uint64_t size);

struct JpegCompressOptions {
    int32_t quality = 75;       // 1..100 (clamped)
    bool arithmetic = false;    // else optimised Huffman tables
    bool progressive = false;
    // JFIF density, comment, EXIF and XMP segments from the image's
    // information record. Off for JPEG data inside other files.
    bool writeMarkers = true;
};

// One compression of `image` into `out` (replaced), as a whole JPEG stream.
// colourFlag: CF_GRAY8 (one component, from a PF_GRAY8 image) or CF_RGB24
// (three, from a PF_RGBA8 image, alpha ignored). RC_UNSUPPORTED_COLOUR_FORMAT
// for any other pairing, RC_OUT_OF_MEMORY or RC_GENERAL_FAILURE for library
// errors; never ends the process.
ResultCode jpegCompress(const Image* image, uint32_t colourFlag, const JpegCompressOptions& options,
                        std::vector<uint8_t>& out);

// The same over bare rows, for JPEG strips and tiles inside TIFF files:
// `height` rows of `width` pixels, `strideBytes` apart, of B, G, R, A bytes
// (channels 4; compressed as YCbCr 4:2:0) or grey bytes (channels 1). No
// metadata segments are written.
ResultCode jpegCompressRows(const uint8_t* rows, size_t strideBytes, uint32_t width, uint32_t height,
                            uint32_t channels, int32_t quality, std::vector<uint8_t>& out);

// The target-size search: the highest quality from 1 to 100 whose stream is
// at most `targetBytes` (quality 1 when even that is larger), by bisection
// in memory: at most nine compressions. `quality` receives the choice.
ResultCode jpegCompressToSize(const Image* image, uint32_t colourFlag, JpegCompressOptions options,
                              uint64_t targetBytes, std::vector<uint8_t>& out, int32_t* quality = nullptr);

} // namespace quillon
