// EXIF blocks read into and written from the information fields.
#include "codecs/main/exif.h"

#include <cmath>
#include <cstring>
#include <string>
#include <string_view>

#include "codecs/main/meta_common.h"
#include "codecs/main/tiff_tags.h"
#include "core/text.h"

namespace quillon {

using meta::TiffEntry;
using meta::TiffView;

const ExifTagField ExifTagFieldTable[] = {
    {33434, TIFF_TYPE_RATIONAL, INFO_EXPOSURE_TIME},  {33437, TIFF_TYPE_RATIONAL, INFO_FNUMBER},
    {34855, TIFF_TYPE_SHORT, INFO_ISO_SPEED},         {37377, TIFF_TYPE_SRATIONAL, INFO_SHUTTER_SPEED},
    {37378, TIFF_TYPE_RATIONAL, INFO_APERTURE},       {37386, TIFF_TYPE_RATIONAL, INFO_FOCAL_LENGTH},
    {37380, TIFF_TYPE_SRATIONAL, INFO_EXPOSURE_BIAS}, {37385, TIFF_TYPE_SHORT, INFO_FLASH},
    {41986, TIFF_TYPE_SHORT, INFO_EXPOSURE_MODE},     {41987, TIFF_TYPE_SHORT, INFO_WHITE_BALANCE},
    {0, 0, 0},
};

namespace {

constexpr uint16_t kExifVersionTag = 36864;
constexpr uint32_t kDateBytes = 20;

const ExifTagField* exifRow(uint16_t tag)
{
    for (const ExifTagField* row = ExifTagFieldTable; row->tag; ++row)
        if (row->tag == tag) return row;
    return nullptr;
}

bool isRational(uint8_t type) { return type == TIFF_TYPE_RATIONAL || type == TIFF_TYPE_SRATIONAL; }

// The quotient of the rational at `pos`; false when it does not fit or its
// denominator is zero.
bool readRational(const TiffView& view, uint64_t pos, bool isSigned, double& out)
{
    if (!view.fits(pos, 8)) return false;
    uint32_t n = view.u32(pos), d = view.u32(pos + 4);
    if (d == 0) return false;
    out = isSigned ? double(int32_t(n)) / double(int32_t(d)) : double(n) / double(d);
    return true;
}

// ASCII text of an entry: inside it for up to four bytes, else at its
// offset; `available` bounds it by the data.
const char* entryText(const TiffView& view, const TiffEntry& e, size_t& available)
{
    uint64_t pos = e.count <= 4 ? e.valuePos : e.offset;
    if (!view.fits(pos, 1)) return nullptr;
    available = view.size - size_t(pos);
    if (e.count <= 4) available = std::min<size_t>(available, 4);
    return reinterpret_cast<const char*>(view.base + pos);
}

struct Fraction {
    uint64_t num, den;
};

// The fraction with the smallest denominator in [ln/ld, hn/hd], where
// 0 <= ln/ld <= hn/hd, found down its continued fraction.
Fraction simplestBetween(uint64_t ln, uint64_t ld, uint64_t hn, uint64_t hd)
{
    const uint64_t whole = ln / ld;
    if (whole * ld == ln) return {whole, 1};
    if ((whole + 1) * hd <= hn) return {whole + 1, 1};
    // Both ends lie strictly between whole and whole + 1: x = whole + 1/y.
    const Fraction y = simplestBetween(hd, hn - whole * hd, ld, ln - whole * ld);
    return {whole * y.num + y.den, y.num};
}

// A decimal text that stands for a fraction it cannot spell out, as 0.333
// stands for 1/3: the fraction with the smallest denominator that rounds to
// those digits, taken only when its denominator is so small beside them
// (its square at most a hundredth of the digits' scale) that no other
// fraction of such a denominator rounds to them too. Texts that are exact
// as they stand are left to the decimal form.
bool fractionOfDecimal(const std::string& text, bool isSigned, uint32_t& num, uint32_t& den)
{
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    uint64_t digits = 0, scale = 1;
    int count = 0;
    bool point = false;
    for (; i < text.size(); ++i) {
        if (text[i] == '.' && !point) {
            point = true;
        } else if (text[i] >= '0' && text[i] <= '9' && ++count <= 18) {
            digits = digits * 10 + uint64_t(text[i] - '0');
            if (point) scale *= 10;
        } else {
            break;
        }
    }
    const bool exponent = i < text.size() && (text[i] == 'e' || text[i] == 'E');
    if (digits == 0 || count > 18 || exponent || scale > 1000000000 || (negative && !isSigned)) return false;
    const Fraction f = simplestBetween(2 * digits - 1, 2 * scale, 2 * digits + 1, 2 * scale);
    if (f.den > 4000 || f.den * f.den * 100 > scale) return false;
    if (scale % f.den == 0 && f.num * (scale / f.den) == digits) return false;
    if (f.num > (isSigned ? 2147483647u : 4294967295u)) return false;
    num = negative ? uint32_t(-int64_t(f.num)) : uint32_t(f.num);
    den = uint32_t(f.den);
    return true;
}

// The text of a field as a rational: the fraction it stands for, else its
// decimal with denominator 1000, or a larger power of ten when the text
// carries more decimals; values beyond the type's range are clamped, never
// wrapped.
void rationalFromText(const std::string& text, bool isSigned, uint32_t& num, uint32_t& den)
{
    if (fractionOfDecimal(text, isSigned, num, den)) return;
    double v = 0;
    int decimals = 0;
    if (!meta::leadingNumber(text, v, decimals) || std::isnan(v)) v = 0;
    const double limit = isSigned ? 2147483647.0 : 4294967295.0;
    if (!isSigned && v < 0) v = 0;
    uint32_t d = 1000;
    for (int i = 3; i < std::min(decimals, 9); ++i) d *= 10;
    while (d > 1 && std::fabs(v) * d > limit) d /= 10;
    double n = std::fabs(v) * d;
    n = std::min(std::floor(n + 0.5), limit);
    num = isSigned && v < 0 ? uint32_t(-int64_t(n)) : uint32_t(n);
    den = d;
}

// The text of a rational read from a file: the decimals decimalText shows,
// or as many more (up to nine) as the writer needs to give back this very
// value, so that 1/320 s is not written back as 1/319 s nor -1/3 as
// -333/1000. A value that nine decimals cannot pin down keeps the shorter
// text.
std::string rationalText(uint32_t n, uint32_t d, bool isSigned)
{
    const double v = isSigned ? double(int32_t(n)) / double(int32_t(d)) : double(n) / double(d);
    for (int decimals = meta::decimalPlaces(v); decimals <= 9; ++decimals) {
        std::string text = meta::fixedText(v, decimals);
        uint32_t wn, wd;
        rationalFromText(text, isSigned, wn, wd);
        const bool same = isSigned ? int64_t(int32_t(wn)) * int32_t(d) == int64_t(int32_t(n)) * int64_t(wd)
                                   : uint64_t(wn) * d == uint64_t(n) * wd;
        if (same) return text;
    }
    return meta::decimalText(v);
}

void storeExposure(ImageInfoBag& bag, const TiffView& view, const TiffEntry& e, const ExifTagField& row)
{
    std::string text;
    if (isRational(row.type)) {
        const bool isSigned = row.type == TIFF_TYPE_SRATIONAL;
        if (!view.fits(e.offset, 8) || view.u32(e.offset + 4) == 0) return;
        text = rationalText(view.u32(e.offset), view.u32(e.offset + 4), isSigned);
        if (row.field == INFO_EXPOSURE_TIME) text += " s";
        if (row.field == INFO_FOCAL_LENGTH) text += " mm";
    } else {
        uint64_t pos = e.count > 2 ? e.offset : e.valuePos;
        if (!view.fits(pos, 2)) return;
        text = std::to_string(view.u16(pos));
    }
    bag.set(row.field, asciiToU16(text).c_str());
}

// A date text of the Exif sub-directory, up to its NUL and without trailing
// blanks; empty when it gives no date at all. EXIF fills the unknown parts
// of a date with blanks, and cameras whose clock was never set write
// zeros: neither may replace a date the first directory gave.
std::string_view exifDate(const TiffView& view, const TiffEntry& e)
{
    if (e.type != TIFF_TYPE_ASCII || e.count <= 4 || !view.fits(e.offset, 1)) return {};
    const char* text = reinterpret_cast<const char*>(view.base + e.offset);
    size_t n = strnlen(text, std::min<size_t>(e.count, view.size - e.offset));
    while (n > 0 && text[n - 1] == ' ') --n;
    std::string_view date(text, n);
    return date.find_first_of("123456789") == date.npos ? std::string_view() : date;
}

void parseExifIfd(ImageInfoBag& bag, const TiffView& view, uint64_t ifd)
{
    std::string_view taken, older;
    meta::forEachEntry(view, ifd, [&](const TiffEntry& e) {
        if (e.tag == EXIF_TAG_DATE_TIME_ORIGINAL) {
            taken = exifDate(view, e);
            return;
        }
        if (e.tag == EXIF_TAG_OLD_CREATION_DATE) {
            older = exifDate(view, e);  // only as text: a camera's ISOSpeed number is skipped
            return;
        }
        const ExifTagField* row = exifRow(e.tag);
        if (row && row->type == e.type && e.count != 0) storeExposure(bag, view, e, *row);
    });
    const std::string_view date = taken.empty() ? older : taken;
    if (date.empty()) return;
    infoSetBorrowed(bag, INFO_CREATION_DATE, date.data(), uint32_t(date.size()),
                    meta::eightBitKind(date.data(), date.size()));
    bag.creationDateTaken = bag.has(INFO_CREATION_DATE);
}

// The density the first directory gives (XResolution, YResolution and
// ResolutionUnit, inches when the unit is left out), told as the TIFF reader
// tells it; nothing for unit 1 (no absolute unit) or unusable values.
struct Density {
    double x = 0, y = 0;
    uint32_t unit = 2;

    void store(ImageInfoBag& bag) const
    {
        if (bag.has(INFO_DENSITY)) return;
        if (const std::string text = tiffDensityText(x, y, unit); !text.empty())
            bag.set(INFO_DENSITY, asciiToU16(text).c_str());
    }
};

struct GpsAngle {
    double value[3] = {0, 0, 0};
    bool present = false;
};

// Degrees, minutes and seconds (rounded once to hundredths, carried at 60).
struct Dms {
    uint32_t degrees = 0, minutes = 0, hundredths = 0;
};

Dms toDms(const GpsAngle& a)
{
    double deg = a.value[0], min = a.value[1], sec = a.value[2];
    // Fractions move down: 48.5 degrees are 48 degrees 30 minutes.
    double whole = std::floor(deg);
    min += (deg - whole) * 60;
    deg = whole;
    whole = std::floor(min);
    sec += (min - whole) * 60;
    min = whole;
    // A hostile value must not overflow the conversions below.
    deg = std::min(deg, 1e6);
    min = std::min(min, 1e6);
    sec = std::min(sec, 1e6);
    Dms out;
    out.degrees = uint32_t(deg);
    out.minutes = uint32_t(min);
    out.hundredths = uint32_t(std::floor(sec * 100 + 0.5));
    out.minutes += out.hundredths / 6000;
    out.hundredths %= 6000;
    // Carrying a whole minute can make 60 of them only when the seconds
    // rounded up; an angle given with 60 or more minutes stays as it is.
    if (out.minutes == 60 && min < 60) {
        out.minutes = 0;
        ++out.degrees;
    }
    return out;
}

void appendDms(std::u16string& out, const Dms& d, char16_t ref)
{
    out += asciiToU16(std::to_string(d.degrees));
    out += u'\u00B0';
    out += asciiToU16(std::to_string(d.minutes));
    out += u'\'';
    out += asciiToU16(std::to_string(d.hundredths / 100));
    out += u'.';
    out += char16_t(u'0' + d.hundredths / 10 % 10);
    out += char16_t(u'0' + d.hundredths % 10);
    out += u"\" ";
    out += ref;
}

void parseGpsIfd(ImageInfoBag& bag, const TiffView& view, uint64_t ifd)
{
    if (!view.fits(ifd, 2)) return;
    GpsAngle lat, lon;
    char16_t latRef = u'N', lonRef = u'E';
    uint8_t altitudeRef = 0;
    double altitude = 0;
    bool hasAltitude = false;
    auto readAngle = [&](const TiffEntry& e, GpsAngle& a) {
        if (e.type != TIFF_TYPE_RATIONAL || e.count < 3) return;
        a.present = true;
        if (!view.fits(e.offset, 24)) return;
        for (int i = 0; i < 3; ++i) {
            double v;
            if (readRational(view, uint64_t(e.offset) + 8 * i, false, v)) a.value[i] = v;
        }
    };
    meta::forEachEntry(view, ifd, [&](const TiffEntry& e) {
        uint8_t first = view.fits(e.valuePos, 1) ? view.base[e.valuePos] : 0;
        switch (e.tag) {
        case 1: latRef = (first == 'S' || first == 's') ? u'S' : u'N'; break;
        case 3: lonRef = (first == 'W' || first == 'w') ? u'W' : u'E'; break;
        case 5: altitudeRef = first; break;
        case 2: readAngle(e, lat); break;
        case 4: readAngle(e, lon); break;
        case 6:
            if (e.type != TIFF_TYPE_RATIONAL) break;
            hasAltitude = true;
            readRational(view, e.offset, false, altitude);
            break;
        default: break;
        }
    });
    if (!lat.present || !lon.present) return;
    bool allZero = altitude == 0;
    for (int i = 0; i < 3; ++i) allZero = allZero && lat.value[i] == 0 && lon.value[i] == 0;
    if (allZero) return;
    std::u16string text;
    appendDms(text, toDms(lat), latRef);
    text += u", ";
    appendDms(text, toDms(lon), lonRef);
    if (hasAltitude) {
        text += u", ";
        text += altitudeRef ? u'-' : u'+';
        text += asciiToU16(std::to_string(uint64_t(std::floor(std::min(altitude, 1e9) + 0.5))));
        text += u'm';
    }
    bag.set(INFO_GPS, text.c_str());
}

} // namespace

void exifParse(ImageInfoBag& bag, const uint8_t* data, size_t size)
{
    if (!data || size <= 10) return;
    size_t start = 0;
    if (std::memcmp(data, "Exif", 4) == 0) {
        start = 4;
        if (data[4] == 0 && data[5] == 0) start = 6;
    }
    TiffView view{data + start, size - start, false};
    if (view.size < 8) return;
    if (view.base[0] == 'M' && view.base[1] == 'M') view.bigEndian = true;
    else if (!(view.base[0] == 'I' && view.base[1] == 'I')) return;
    if (view.u16(2) != 42) return;
    uint32_t ifd0 = view.u32(4);
    // One Exif and one GPS directory: a directory that points at a large
    // one thousands of times must not cost thousands of walks over it.
    bool exifSeen = false, gpsSeen = false;
    Density density;
    meta::forEachEntry(view, ifd0, [&](const TiffEntry& e) {
        if (e.tag == TIFF_TAG_X_RESOLUTION || e.tag == TIFF_TAG_Y_RESOLUTION) {
            double v;
            if (e.type == TIFF_TYPE_RATIONAL && e.count >= 1 && readRational(view, e.offset, false, v))
                (e.tag == TIFF_TAG_X_RESOLUTION ? density.x : density.y) = v;
        } else if (e.tag == TIFF_TAG_RESOLUTION_UNIT) {
            if (e.type == TIFF_TYPE_SHORT && e.count == 1) density.unit = view.u16(e.valuePos);
        } else if (tiffTagField(e.tag) >= 0) {
            if (e.type != TIFF_TYPE_ASCII) return;
            size_t available = 0;
            if (const char* text = entryText(view, e, available))
                imageInfoSetFromTiffTag(bag, e.tag, text, e.count, available);
        } else if (e.tag == TIFF_TAG_ORIENTATION) {
            if (e.type != TIFF_TYPE_SHORT || e.count != 1 || bag.has(INFO_ORIENTATION)) return;
            if (const char16_t* name = tiffOrientationName(view.u16(e.valuePos)))
                infoSetBorrowed(bag, INFO_ORIENTATION, name, 0, BORROW_UTF16);
        } else if (e.tag == EXIF_TAG_EXIF_IFD && tiffIsOffsetType(e.type) && !exifSeen) {
            exifSeen = true;
            parseExifIfd(bag, view, e.offset);
        } else if (e.tag == EXIF_TAG_GPS_IFD && tiffIsOffsetType(e.type) && !gpsSeen) {
            gpsSeen = true;
            parseGpsIfd(bag, view, e.offset);
        }
    });
    // Camera files often carry their density here only, with no JFIF
    // segment; a density the file gave elsewhere first stays.
    density.store(bag);
}

void exifParseExifIfd(ImageInfoBag& bag, const uint8_t* tiffStart, size_t size, uint32_t ifdOffset, bool bigEndian)
{
    if (!tiffStart) return;
    parseExifIfd(bag, TiffView{tiffStart, size, bigEndian}, ifdOffset);
}

void exifParseGpsIfd(ImageInfoBag& bag, const uint8_t* tiffStart, size_t size, uint32_t ifdOffset, bool bigEndian)
{
    if (!tiffStart) return;
    parseGpsIfd(bag, TiffView{tiffStart, size, bigEndian}, ifdOffset);
}

// ---- writer ----

namespace {

std::string fieldText(const ImageInfo* info, int field)
{
    return info && info->has(field) ? u16ToApprox(info->get(field)) : std::string();
}

uint32_t shortFromText(const std::string& text)
{
    double v = 0;
    int decimals = 0;
    if (!meta::leadingNumber(text, v, decimals) || !(v > 0)) return 0;
    return uint32_t(std::min(std::trunc(v), 65535.0));
}

struct ExifIfdPlan {
    bool date = false;
    uint32_t rows = 0, rationals = 0;
    uint32_t count() const { return 1 + (date ? 1 : 0) + rows; }
    uint32_t size() const
    {
        if (count() < 2) return 0;
        return 12 * count() + 6 + (date ? kDateBytes : 0) + 8 * rationals;
    }
};

ExifIfdPlan planExifIfd(const ImageInfo* info)
{
    ExifIfdPlan plan;
    if (!info) return plan;
    plan.date = !meta::tiffDateText(info->get(INFO_CREATION_DATE)).empty();
    for (const ExifTagField* row = ExifTagFieldTable; row->tag; ++row) {
        if (!info->has(row->field)) continue;
        ++plan.rows;
        if (isRational(row->type)) ++plan.rationals;
    }
    return plan;
}

void putEntry(uint8_t* p, uint16_t tag, uint16_t type, uint32_t count, uint32_t value)
{
    meta::storeU16le(p, tag);
    meta::storeU16le(p + 2, type);
    meta::storeU32le(p + 4, count);
    meta::storeU32le(p + 8, value);
}

bool gpsPosition(const ImageInfo* info, GpsPosition& gps)
{
    return info && info->has(INFO_GPS) && parseGpsPosition(gps, info->get(INFO_GPS));
}

// Degrees/1, minutes/1, seconds in hundredths/100 (carried at 60).
void putGpsAngle(uint8_t* p, uint32_t degrees, uint32_t minutes, float seconds)
{
    double s = std::isfinite(seconds) ? std::clamp(double(seconds), 0.0, 1e6) : 0.0;
    uint64_t hundredths = uint64_t(std::floor(s * 100 + 0.5));
    uint64_t m = minutes + hundredths / 6000;
    hundredths %= 6000;
    uint64_t d = degrees;
    if (m >= 60 && minutes < 60) {
        m -= 60;
        ++d;
    }
    meta::storeU32le(p, uint32_t(std::min<uint64_t>(d, UINT32_MAX)));
    meta::storeU32le(p + 4, 1);
    meta::storeU32le(p + 8, uint32_t(std::min<uint64_t>(m, UINT32_MAX)));
    meta::storeU32le(p + 12, 1);
    meta::storeU32le(p + 16, uint32_t(hundredths));
    meta::storeU32le(p + 20, 100);
}

} // namespace

uint32_t exifExifIfdSize(const ImageInfo* info) { return planExifIfd(info).size(); }

uint32_t exifWriteExifIfd(uint8_t* out, uint32_t ifdOffset, const ImageInfo* info)
{
    ExifIfdPlan plan = planExifIfd(info);
    uint32_t size = plan.size();
    if (!size || !out) return 0;
    std::memset(out, 0, size);
    uint32_t count = plan.count();
    meta::storeU16le(out, count);
    uint8_t* entry = out + 2;
    uint32_t data = 2 + 12 * count + 4;  // local offset of the next value
    if (plan.date) {
        std::string date = meta::tiffDateText(info->get(INFO_CREATION_DATE));
        date.resize(kDateBytes - 1, ' ');
        std::memcpy(out + data, date.data(), kDateBytes - 1);
    }
    // Entries go out in ascending tag order, as readers expect of a
    // directory; the date taken and the version sit among the table's.
    struct Item {
        uint16_t tag;
        const ExifTagField* row;
    };
    Item items[16];
    uint32_t n = 0;
    if (plan.date) items[n++] = {EXIF_TAG_DATE_TIME_ORIGINAL, nullptr};
    items[n++] = {kExifVersionTag, nullptr};
    for (const ExifTagField* row = ExifTagFieldTable; row->tag; ++row)
        if (info->has(row->field)) items[n++] = {row->tag, row};
    std::sort(items, items + n, [](const Item& a, const Item& b) { return a.tag < b.tag; });
    uint32_t rationalPos = data + (plan.date ? kDateBytes : 0);
    for (uint32_t i = 0; i < n; ++i, entry += 12) {
        const Item& it = items[i];
        if (it.tag == EXIF_TAG_DATE_TIME_ORIGINAL) {
            putEntry(entry, it.tag, TIFF_TYPE_ASCII, kDateBytes, ifdOffset + data);
        } else if (it.tag == kExifVersionTag) {
            putEntry(entry, it.tag, TIFF_TYPE_UNDEFINED, 4, 0);
            std::memcpy(entry + 8, "0220", 4);
        } else if (isRational(it.row->type)) {
            uint32_t num, den;
            rationalFromText(fieldText(info, it.row->field), it.row->type == TIFF_TYPE_SRATIONAL, num, den);
            putEntry(entry, it.tag, it.row->type, 1, ifdOffset + rationalPos);
            meta::storeU32le(out + rationalPos, num);
            meta::storeU32le(out + rationalPos + 4, den);
            rationalPos += 8;
        } else {
            putEntry(entry, it.tag, TIFF_TYPE_SHORT, 1, 0);
            meta::storeU16le(entry + 8, shortFromText(fieldText(info, it.row->field)));
        }
    }
    return size;
}

uint32_t exifGpsIfdSize(const ImageInfo* info)
{
    GpsPosition gps;
    if (!gpsPosition(info, gps)) return 0;
    return gps.hasAltitude ? 146 : 114;
}

uint32_t exifWriteGpsIfd(uint8_t* out, uint32_t ifdOffset, const ImageInfo* info)
{
    GpsPosition gps;
    if (!out || !gpsPosition(info, gps)) return 0;
    uint32_t count = gps.hasAltitude ? 7 : 5;
    uint32_t size = gps.hasAltitude ? 146 : 114;
    std::memset(out, 0, size);
    meta::storeU16le(out, count);
    uint8_t* e = out + 2;
    uint32_t data = 2 + 12 * count + 4;
    putEntry(e, 0, TIFF_TYPE_BYTE, 4, 0);
    e[8] = 2, e[9] = 2;
    e += 12;
    putEntry(e, 1, TIFF_TYPE_ASCII, 2, 0);
    e[8] = uint8_t(gps.latRef == 'S' ? 'S' : 'N');
    e += 12;
    putEntry(e, 2, TIFF_TYPE_RATIONAL, 3, ifdOffset + data);
    putGpsAngle(out + data, gps.latDegrees, gps.latMinutes, gps.latSeconds);
    e += 12;
    putEntry(e, 3, TIFF_TYPE_ASCII, 2, 0);
    e[8] = uint8_t(gps.lonRef == 'W' ? 'W' : 'E');
    e += 12;
    putEntry(e, 4, TIFF_TYPE_RATIONAL, 3, ifdOffset + data + 24);
    putGpsAngle(out + data + 24, gps.lonDegrees, gps.lonMinutes, gps.lonSeconds);
    e += 12;
    if (gps.hasAltitude) {
        double a = std::isfinite(gps.altitude) ? std::fabs(double(gps.altitude)) : 0.0;
        putEntry(e, 5, TIFF_TYPE_BYTE, 1, 0);
        e[8] = gps.altitude < 0 ? 1 : 0;
        e += 12;
        putEntry(e, 6, TIFF_TYPE_RATIONAL, 1, ifdOffset + data + 48);
        meta::storeU32le(out + data + 48, uint32_t(std::min(std::floor(a + 0.5), 4294967295.0)));
        meta::storeU32le(out + data + 52, 1);
    }
    return size;
}

namespace {

struct BlockPlan {
    std::vector<TiffTextTag> texts;
    uint32_t textBytes = 0;  // of the texts too long for their entries
    uint32_t exifSize = 0, gpsSize = 0, n = 0;
    uint32_t size() const { return n < 3 ? 0 : textBytes + 12 * n + exifSize + gpsSize + 14; }
};

BlockPlan planBlock(const ImageInfo* info)
{
    BlockPlan plan;
    plan.texts = tiffBuildTextTags(info);
    for (const TiffTextTag& t : plan.texts)
        if (!t.fitsInEntry()) plan.textBytes += uint32_t(t.data.size());
    plan.exifSize = exifExifIfdSize(info);
    plan.gpsSize = exifGpsIfdSize(info);
    plan.n = uint32_t(plan.texts.size()) + (plan.exifSize ? 1 : 0) + (plan.gpsSize ? 1 : 0);
    return plan;
}

} // namespace

uint32_t exifBlockSize(const ImageInfo* info) { return planBlock(info).size(); }

uint32_t exifBlockWrite(uint8_t* out, const ImageInfo* info)
{
    BlockPlan plan = planBlock(info);
    uint32_t size = plan.size();
    if (!size || !out) return 0;
    std::memset(out, 0, size);
    std::memcpy(out, "II*\0", 4);
    meta::storeU32le(out + 4, 8);
    meta::storeU16le(out + 8, plan.n);
    uint8_t* e = out + 10;
    uint32_t data = 14 + 12 * plan.n;
    for (const TiffTextTag& t : plan.texts) {
        if (t.fitsInEntry()) {
            putEntry(e, t.tag, TIFF_TYPE_ASCII, t.count, 0);
            std::memcpy(e + 8, t.data.data(), t.count);
        } else {
            putEntry(e, t.tag, TIFF_TYPE_ASCII, t.count, data);
            std::memcpy(out + data, t.data.data(), t.data.size());
            data += uint32_t(t.data.size());
        }
        e += 12;
    }
    if (plan.exifSize) {
        putEntry(e, EXIF_TAG_EXIF_IFD, TIFF_TYPE_LONG, 1, data);
        exifWriteExifIfd(out + data, data, info);
        data += plan.exifSize;
        e += 12;
    }
    if (plan.gpsSize) {
        putEntry(e, EXIF_TAG_GPS_IFD, TIFF_TYPE_LONG, 1, data);
        exifWriteGpsIfd(out + data, data, info);
        data += plan.gpsSize;
    }
    return size;
}

} // namespace quillon
