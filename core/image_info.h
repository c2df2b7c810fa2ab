#pragma once
// The 38 numbered text fields that carry an image's information and metadata
// from reader to image to writer and to the user interface.
#include <cstdint>
#include <string>

namespace quillon {

enum InfoField : int {
    INFO_PATH = 0,
    INFO_BITS_PER_PIXEL = 1,
    INFO_COLOUR_MODEL = 2,
    INFO_COMPRESSION = 3,
    INFO_FORMAT = 4,
    INFO_FILE_TIME = 5,
    INFO_FILE_SIZE = 6,
    INFO_TITLE = 7,
    INFO_COMMENTS = 8,
    INFO_AUTHOR = 9,
    INFO_COPYRIGHT = 10,
    INFO_CREATION_DATE = 11,
    INFO_PAGE = 12,
    INFO_SOURCE = 13,
    INFO_DENSITY = 14,
    INFO_ORIENTATION = 15,
    INFO_GPS = 16,
    INFO_KEYWORD_FIRST = 17,
    INFO_KEYWORD_LAST = 25,
    INFO_CAMERA_MAKE = 26,
    INFO_CAMERA_MODEL = 27,
    INFO_EXPOSURE_TIME = 28,
    INFO_FNUMBER = 29,
    INFO_ISO_SPEED = 30,
    INFO_SHUTTER_SPEED = 31,
    INFO_APERTURE = 32,
    INFO_FOCAL_LENGTH = 33,
    INFO_EXPOSURE_BIAS = 34,
    INFO_FLASH = 35,
    INFO_EXPOSURE_MODE = 36,
    INFO_WHITE_BALANCE = 37,
    INFO_FIELD_COUNT = 38,
};

class ImageInfo {
public:
    virtual ~ImageInfo() = default;
    // A field has a value when it is set and its first unit is not NUL.
    virtual bool has(int field) const = 0;
    // The field as NUL-terminated UTF-16, or null when empty. The pointer
    // stays valid until the field is set again or the record is cleared.
    virtual const char16_t* get(int field) const = 0;
    virtual void set(int field, const char16_t* text) = 0;
    virtual void clear() = 0;
};

// The image's variant: owned UTF-16 copies.
class ImageInfoOwned final : public ImageInfo {
public:
    ImageInfoOwned() = default;
    ~ImageInfoOwned() override;
    ImageInfoOwned(const ImageInfoOwned&) = delete;
    ImageInfoOwned& operator=(const ImageInfoOwned&) = delete;

    bool has(int field) const override;
    const char16_t* get(int field) const override;
    // Leading blanks are skipped, control characters become blanks, and an
    // empty rest empties the field.
    void set(int field, const char16_t* text) override;
    void clear() override;

private:
    char16_t* value_[INFO_FIELD_COUNT] = {};
};

// How borrowed text is encoded (infoSetBorrowed's kind).
enum BorrowedKind : int { BORROW_CP1252 = 0, BORROW_UTF8 = 1, BORROW_UTF16 = 2 };

// The reader's variant: fields may point at text inside the mapped input in
// its own encoding and are converted on first use.
class ImageInfoBag final : public ImageInfo {
public:
    enum Encoding : uint8_t {
        ENC_OWNED = 0,
        ENC_CP1252_NUL = 1,
        ENC_CP1252_COUNTED = 2,
        ENC_UTF8_NUL = 3,
        ENC_UTF8_COUNTED = 4,
        ENC_UTF16_NUL = 5,
        ENC_UTF16_COUNTED = 6,
    };

    ImageInfoBag() = default;
    ~ImageInfoBag() override;
    ImageInfoBag(const ImageInfoBag&) = delete;
    ImageInfoBag& operator=(const ImageInfoBag&) = delete;

    bool has(int field) const override;
    const char16_t* get(int field) const override;
    void set(int field, const char16_t* text) override;
    void clear() override;

    // Stores a borrowed pointer; the text must outlive the bag.
    void setBorrowed(int field, const void* text, uint32_t length, Encoding encoding);
    Encoding encoding(int field) const;
    uint32_t length(int field) const;

    // Set by the EXIF reader when the creation date it stored is the date a
    // photograph was taken. A file's metadata blocks come in any order, and
    // the dates other blocks give (XMP's CreateDate) must not replace it.
    bool creationDateTaken = false;

private:
    void drop(int field);

    mutable const void* value_[INFO_FIELD_COUNT] = {};
    mutable Encoding encoding_[INFO_FIELD_COUNT] = {};
    // 32 bits: a long comment must not wrap to a few bytes.
    mutable uint32_t length_[INFO_FIELD_COUNT] = {};
};

// Borrows NUL-terminated 8-bit text (Windows-1252). Null empties the field.
void infoSetText(ImageInfoBag& bag, int field, const char* text);
// kind: BORROW_CP1252, BORROW_UTF8 or BORROW_UTF16 (native order). length 0:
// measured up to the NUL. With a length, trailing blanks are cut and the text
// is treated as counted, never read past its length.
void infoSetBorrowed(ImageInfoBag& bag, int field, const void* text, uint32_t length, int kind);

void infoCopyAll(ImageInfo* destination, const ImageInfo* source);

class Image;
bool imageCopyInfo(Image* destination, const Image* source);

// Orientation bits: quarter turns counter-clockwise in bits 0-1, then the
// rows (4) and columns (8) reversed.
constexpr uint8_t ORIENT_MIRROR_V = 4;
constexpr uint8_t ORIENT_MIRROR_H = 8;
uint8_t orientationFromName(const char16_t* text);

// "300 ppi", "72 x 96 PPM": false on anything else. wantPpi converts to
// pixels per inch, otherwise to pixels per metre.
bool parseResolution(uint32_t out[2], const char16_t* text, bool wantPpi);

struct GpsPosition {
    uint32_t latDegrees = 0, latMinutes = 0;
    float latSeconds = 0;
    char latRef = 'N';
    uint32_t lonDegrees = 0, lonMinutes = 0;
    float lonSeconds = 0;
    char lonRef = 'E';
    float altitude = 0;
    bool hasAltitude = false;
};
bool parseGpsPosition(GpsPosition& out, const char16_t* text);

// 100-nanosecond ticks since 1601-01-01 UTC.
uint64_t fileTimeFromUnix(int64_t seconds, uint32_t nanoseconds);
// "2024-03-05, 07:08:09" (UTC, no time-zone conversion).
std::u16string formatFileTime(uint64_t fileTime);

} // namespace quillon
