#pragma once
// The TIFF tag helpers that the TIFF reader and writer share with the EXIF
// reader and writer (whose first directory is a small TIFF directory): the
// ASCII tags that carry information fields, the orientation names, the
// setter that stores a tag's text in a reader's information record, and the
// collector that turns an image's fields into ASCII directory entries.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/image_info.h"

namespace quillon {

constexpr uint16_t TIFF_TYPE_BYTE = 1;
constexpr uint16_t TIFF_TYPE_ASCII = 2;
constexpr uint16_t TIFF_TYPE_SHORT = 3;
constexpr uint16_t TIFF_TYPE_LONG = 4;
constexpr uint16_t TIFF_TYPE_RATIONAL = 5;
constexpr uint16_t TIFF_TYPE_UNDEFINED = 7;
constexpr uint16_t TIFF_TYPE_SRATIONAL = 10;
constexpr uint16_t TIFF_TYPE_IFD = 13;

// A pointer to a sub-directory (Exif, GPS) is a LONG, or of the type IFD
// that the TIFF note which brought in sub-directories gives it, as many
// writers store it: both are the same 32-bit offset.
inline bool tiffIsOffsetType(uint16_t type) { return type == TIFF_TYPE_LONG || type == TIFF_TYPE_IFD; }
// Bytes of a packet (XMP, IPTC) are BYTE or, from other writers, UNDEFINED.
inline bool tiffIsByteType(uint16_t type) { return type == TIFF_TYPE_BYTE || type == TIFF_TYPE_UNDEFINED; }

constexpr uint16_t TIFF_TAG_ORIENTATION = 274;
constexpr uint16_t TIFF_TAG_X_RESOLUTION = 282;
constexpr uint16_t TIFF_TAG_Y_RESOLUTION = 283;
constexpr uint16_t TIFF_TAG_RESOLUTION_UNIT = 296;

struct TiffTagField {
    uint16_t tag;
    uint16_t field;
};
// 269 DocumentName -> title, 270 ImageDescription -> comments, 271 Make,
// 272 Model, 306 DateTime -> creation date, 315 Artist -> author,
// 33432 Copyright; ended by a row with tag 0.
extern const TiffTagField TiffTagFieldTable[];

// The information field an ASCII tag carries, or -1 when it carries none.
int tiffTagField(uint16_t tag);
// The tag that carries an information field, or 0.
uint16_t tiffFieldTag(int field);

// The density of XResolution, YResolution and ResolutionUnit as the
// information record tells it: "X x Y ppi" per inch (unit 2), "X x Y ppm"
// per metre (unit 3, per centimetre, times a hundred), a vertical value
// that cannot be told taken as the horizontal one; empty for any other
// unit or a horizontal value below 1 or beyond 32 bits.
std::string tiffDensityText(double xResolution, double yResolution, uint32_t unit);

// The name of a TIFF/Exif orientation value 1..8 ("Unrotated", "Mirrored",
// "Rotated 180", "Bottom-Up", "Rotated 90 & Bottom-Up", "Rotated 270",
// "Rotated 270 & Bottom-Up", "Rotated 90"), or null for any other value.
// The names are static; storing one with infoSetBorrowed(..., BORROW_UTF16)
// is safe.
const char16_t* tiffOrientationName(uint32_t value);

// Stores the text of an ASCII tag in the reader's record when the tag maps
// to a field that is still empty (the first value wins). `text` points at
// the tag's bytes inside the input (it is borrowed, so it must outlive the
// bag); `length` is the tag's count, or 0 to measure up to the NUL;
// `available` is how many bytes from `text` lie inside the input, and
// nothing past it is ever read. The text ends at its first NUL; trailing
// blanks are cut and a text of blanks only is dropped.
void imageInfoSetFromTiffTag(ImageInfoBag& bag, uint16_t tag, const char* text, uint32_t length, size_t available);

// One ASCII directory entry built from an information field.
struct TiffTextTag {
    uint16_t tag = 0;
    // The entry's count: the text's bytes and its NUL (the creation date is
    // blank-padded to 19 characters, count 20). A count of 4 or less means
    // the value lies inside the entry, as TIFF keeps every value that fits.
    uint32_t count = 0;
    // The value: `count` bytes, plus one zero byte when `count` is odd so a
    // value stored at an offset leaves the next one word-aligned.
    std::string data;
    bool fitsInEntry() const { return count <= 4; }
};
constexpr size_t kTiffTextTagMax = 16;

// The ASCII entries for every text field the record holds (at most
// kTiffTextTagMax), in ascending tag order as a TIFF directory needs them.
// Texts are written as UTF-8, which is what other readers take them for
// (ASCII texts keep their bytes); the creation date is cut to 19
// characters. Null gives none.
std::vector<TiffTextTag> tiffBuildTextTags(const ImageInfo* info);

} // namespace quillon
