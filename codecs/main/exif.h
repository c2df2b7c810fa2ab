#pragma once
// EXIF metadata: the reader turns an EXIF block (a small TIFF structure:
// header, first directory, the Exif sub-directory and the GPS directory)
// into information fields, and the writers build such a block, or the two
// sub-directories inside a TIFF file, from an image's fields.
//
// Readers:
//   - JPEG APP1 "Exif\0\0", the Photoshop EXIF resource and the WebP "EXIF"
//     chunk: exifParse over the block (with or without the "Exif\0\0"
//     prefix).
//   - TIFF files: their own tags 34665 and 34853 point at the two
//     sub-directories; call exifParseExifIfd / exifParseGpsIfd with the
//     whole file.
// Every text stored in the bag is borrowed from `data`, which must outlive
// the bag (the mapped input does). Nothing is reported: damaged entries are
// skipped, and nothing outside [data, data + size) is ever read.
//
// Writers (all little-endian, offsets counted from the first byte of the
// TIFF header, "II"):
//   - JPEG and WebP: n = exifBlockSize(image->info()); when n != 0, allocate
//     n bytes, exifBlockWrite(buffer, image->info()) returns n. The JPEG
//     writer puts "Exif\0\0" in front itself.
//   - TIFF: exifExifIfdSize / exifGpsIfdSize give each sub-directory's size
//     (0 = leave that tag out); exifWriteExifIfd / exifWriteGpsIfd fill a
//     buffer of that size that will lie at file offset `ifdOffset` (even),
//     and return the bytes written.
#include <cstddef>
#include <cstdint>

#include "core/image_info.h"

namespace quillon {

constexpr uint16_t EXIF_TAG_EXIF_IFD = 34665;
constexpr uint16_t EXIF_TAG_GPS_IFD = 34853;
// The date a photograph was taken, in the Exif sub-directory: the creation
// date is read from it before the first directory's DateTime (the date the
// file last changed), and written there.
constexpr uint16_t EXIF_TAG_DATE_TIME_ORIGINAL = 0x9003;
// Earlier versions of this program wrote the creation date as text under
// 0x8833, which EXIF defines as ISOSpeed (a number); such files still have
// their date read from it, but no file gets one there any more.
constexpr uint16_t EXIF_TAG_OLD_CREATION_DATE = 0x8833;

struct ExifTagField {
    uint16_t tag;
    uint8_t type;   // TIFF type: 3 SHORT, 5 RATIONAL, 10 SRATIONAL
    uint8_t field;  // InfoField
};
// ExposureTime, FNumber, ISOSpeedRatings, ShutterSpeedValue, ApertureValue,
// FocalLength, ExposureBiasValue, Flash, ExposureMode, WhiteBalance ->
// fields 28..37; ended by a row with tag 0.
extern const ExifTagField ExifTagFieldTable[];

// Reads a whole EXIF block: text tags, orientation and density of the first
// directory (filling only empty fields), then the Exif and GPS
// sub-directories (whose values replace what the fields held).
void exifParse(ImageInfoBag& bag, const uint8_t* data, size_t size);

// One sub-directory of a TIFF structure: `tiffStart` is the byte offsets
// count from and `size` the bytes readable from it; `ifdOffset` is the
// directory's offset; `bigEndian` is the structure's byte order ("MM").
void exifParseExifIfd(ImageInfoBag& bag, const uint8_t* tiffStart, size_t size, uint32_t ifdOffset, bool bigEndian);
void exifParseGpsIfd(ImageInfoBag& bag, const uint8_t* tiffStart, size_t size, uint32_t ifdOffset, bool bigEndian);

// The block for JPEG APP1 and WebP: 0 when the record has too little to be
// worth a block (fewer than three first-directory entries).
uint32_t exifBlockSize(const ImageInfo* info);
// Writes exactly exifBlockSize(info) bytes; returns that count.
uint32_t exifBlockWrite(uint8_t* out, const ImageInfo* info);

// The Exif sub-directory (version, date taken, exposure values): 0 when
// there is nothing but the version to write.
uint32_t exifExifIfdSize(const ImageInfo* info);
uint32_t exifWriteExifIfd(uint8_t* out, uint32_t ifdOffset, const ImageInfo* info);

// The GPS directory: 0 when the record has no readable GPS position, else
// 114 bytes (no altitude) or 146.
uint32_t exifGpsIfdSize(const ImageInfo* info);
uint32_t exifWriteGpsIfd(uint8_t* out, uint32_t ifdOffset, const ImageInfo* info);

} // namespace quillon
