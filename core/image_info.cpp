#include "core/image_info.h"

#include <cmath>
#include <cstring>
#include <ctime>
#include <new>

#include "core/image.h"
#include "core/text.h"

namespace quillon {

namespace {

bool validField(int field) { return field >= 0 && field < INFO_FIELD_COUNT; }

char16_t* dupWide(const char16_t* text, size_t length)
{
    auto* copy = new (std::nothrow) char16_t[length + 1];
    if (!copy) return nullptr;
    std::memcpy(copy, text, length * sizeof(char16_t));
    copy[length] = 0;
    return copy;
}

} // namespace

// ---- ImageInfoOwned ----

ImageInfoOwned::~ImageInfoOwned() { clear(); }

bool ImageInfoOwned::has(int field) const
{
    return validField(field) && value_[field] && value_[field][0] != 0;
}

const char16_t* ImageInfoOwned::get(int field) const
{
    return validField(field) ? value_[field] : nullptr;
}

void ImageInfoOwned::set(int field, const char16_t* text)
{
    if (!validField(field)) return;
    if (text)
        while (*text == u' ') ++text;
    if (!text || !*text) {
        delete[] value_[field];
        value_[field] = nullptr;
        return;
    }
    size_t n = u16Length(text);
    char16_t* copy = dupWide(text, n);
    if (!copy) return; // keep the old value
    for (size_t i = 0; i < n; ++i)
        if (copy[i] < 0x20) copy[i] = u' ';
    delete[] value_[field];
    value_[field] = copy;
}

void ImageInfoOwned::clear()
{
    for (auto& v : value_) {
        delete[] v;
        v = nullptr;
    }
}

// ---- ImageInfoBag ----

ImageInfoBag::~ImageInfoBag() { clear(); }

void ImageInfoBag::drop(int field)
{
    if (encoding_[field] == ENC_OWNED) delete[] static_cast<const char16_t*>(value_[field]);
    value_[field] = nullptr;
    encoding_[field] = ENC_OWNED;
    length_[field] = 0;
}

bool ImageInfoBag::has(int field) const
{
    if (!validField(field) || !value_[field]) return false;
    switch (encoding_[field]) {
    case ENC_OWNED:
    case ENC_UTF16_NUL:
        return static_cast<const char16_t*>(value_[field])[0] != 0;
    case ENC_UTF16_COUNTED:
        return length_[field] > 0 && static_cast<const char16_t*>(value_[field])[0] != 0;
    case ENC_CP1252_NUL:
    case ENC_UTF8_NUL:
        return static_cast<const char*>(value_[field])[0] != 0;
    default:
        return length_[field] > 0 && static_cast<const char*>(value_[field])[0] != 0;
    }
}

const char16_t* ImageInfoBag::get(int field) const
{
    if (!validField(field) || !value_[field]) return nullptr;
    Encoding enc = encoding_[field];
    if (enc == ENC_OWNED || enc == ENC_UTF16_NUL) return static_cast<const char16_t*>(value_[field]);
    uint32_t len = length_[field];
    auto* out = new (std::nothrow) char16_t[size_t(len) + 1];
    if (!out) return nullptr;
    const char* bytes = static_cast<const char*>(value_[field]);
    switch (enc) {
    case ENC_CP1252_NUL:
    case ENC_CP1252_COUNTED:
        latin1ToWide(out, bytes, size_t(len) + 1, ptrdiff_t(len));
        break;
    case ENC_UTF8_NUL:
    case ENC_UTF8_COUNTED:
        utf8ToWideN(out, bytes, size_t(len) + 1, ptrdiff_t(len));
        break;
    default: // counted UTF-16
        std::memcpy(out, value_[field], size_t(len) * sizeof(char16_t));
        out[len] = 0;
        break;
    }
    value_[field] = out;
    encoding_[field] = ENC_OWNED;
    length_[field] = uint32_t(u16Length(out));
    return out;
}

void ImageInfoBag::set(int field, const char16_t* text)
{
    if (!validField(field)) return;
    if (!text || !*text) {
        drop(field);
        return;
    }
    size_t n = u16Length(text);
    char16_t* copy = dupWide(text, n);
    if (!copy) return;
    drop(field);
    value_[field] = copy;
    encoding_[field] = ENC_OWNED;
    length_[field] = uint32_t(n);
}

void ImageInfoBag::clear()
{
    for (int f = 0; f < INFO_FIELD_COUNT; ++f) drop(f);
    creationDateTaken = false;
}

void ImageInfoBag::setBorrowed(int field, const void* text, uint32_t length, Encoding encoding)
{
    if (!validField(field)) return;
    drop(field);
    if (!text) return;
    value_[field] = text;
    encoding_[field] = encoding;
    length_[field] = length;
}

ImageInfoBag::Encoding ImageInfoBag::encoding(int field) const
{
    return validField(field) ? encoding_[field] : ENC_OWNED;
}

uint32_t ImageInfoBag::length(int field) const { return validField(field) ? length_[field] : 0; }

void infoSetText(ImageInfoBag& bag, int field, const char* text)
{
    infoSetBorrowed(bag, field, text, 0, BORROW_CP1252);
}

void infoSetBorrowed(ImageInfoBag& bag, int field, const void* text, uint32_t length, int kind)
{
    if (!validField(field)) return;
    bag.set(field, nullptr);
    if (!text) return;
    using E = ImageInfoBag::Encoding;
    if (kind == BORROW_UTF16) {
        // Text inside a file need not be 2-byte aligned; copy it then, so no
        // one ever dereferences a misaligned char16_t.
        const auto* bytes = static_cast<const uint8_t*>(text);
        auto unit = [&](uint32_t i) {
            char16_t c;
            std::memcpy(&c, bytes + size_t(i) * 2, 2);
            return c;
        };
        if (length == 0) {
            while (unit(length) != 0 && length < kTextSourceLimit) ++length;
            if (length == 0) return;
            if ((reinterpret_cast<uintptr_t>(text) & 1) == 0) {
                bag.setBorrowed(field, text, length, E::ENC_UTF16_NUL);
                return;
            }
        } else {
            while (length > 0 && unit(length - 1) == u' ') --length;
            if (length == 0) return;
        }
        if ((reinterpret_cast<uintptr_t>(text) & 1) == 0) {
            bag.setBorrowed(field, text, length, E::ENC_UTF16_COUNTED);
            return;
        }
        std::u16string copy(length, u'\0');
        std::memcpy(copy.data(), text, size_t(length) * 2);
        bag.set(field, copy.c_str());
        return;
    }
    const char* s = static_cast<const char*>(text);
    bool utf8 = kind == BORROW_UTF8;
    if (length == 0) {
        size_t n = strnlen(s, kTextSourceLimit);
        if (n == 0) return;
        bag.setBorrowed(field, text, uint32_t(n), utf8 ? E::ENC_UTF8_NUL : E::ENC_CP1252_NUL);
        return;
    }
    while (length > 0 && s[length - 1] == ' ') --length;
    if (length == 0) return;
    bag.setBorrowed(field, text, length, utf8 ? E::ENC_UTF8_COUNTED : E::ENC_CP1252_COUNTED);
}

void infoCopyAll(ImageInfo* destination, const ImageInfo* source)
{
    if (!destination || !source || destination == source) return;
    for (int f = 0; f < INFO_FIELD_COUNT; ++f)
        if (source->has(f)) destination->set(f, source->get(f));
}

bool imageCopyInfo(Image* destination, const Image* source)
{
    if (!destination || !source) return false;
    ImageInfo* d = destination->info();
    const ImageInfo* s = source->info();
    if (!d || !s) return false;
    infoCopyAll(d, s);
    return true;
}

uint8_t orientationFromName(const char16_t* text)
{
    if (!text || !*text) return 0;
    struct Row { const char16_t* name; uint8_t code; };
    static const Row rows[] = {
        {u"Unrotated", 0}, {u"Rotated 90", 1}, {u"Rotated 180", 2}, {u"Rotated 270", 3},
        {u"Mirrored", 8}, {u"Bottom-Up", 4}, {u"Rotated 90 & Bottom-Up", 5},
        {u"Rotated 270 & Bottom-Up", 7},
    };
    std::u16string_view t(text);
    for (const Row& r : rows)
        if (t == r.name) return r.code;
    return 0;
}

namespace {

void skipBlanks(const char16_t*& p)
{
    while (*p == u' ') ++p;
}

// Reads an unsigned decimal number; false when there is no digit or the value
// does not fit 32 bits.
bool readUnsigned(const char16_t*& p, uint32_t* out)
{
    if (*p < u'0' || *p > u'9') return false;
    uint64_t v = 0;
    while (*p >= u'0' && *p <= u'9') {
        v = v * 10 + uint64_t(*p - u'0');
        if (v > 0xFFFFFFFFu) return false;
        ++p;
    }
    *out = uint32_t(v);
    return true;
}

double readFraction(const char16_t*& p)
{
    double f = 0, scale = 0.1;
    while (*p >= u'0' && *p <= u'9') {
        f += (*p - u'0') * scale;
        scale *= 0.1;
        ++p;
    }
    return f;
}

} // namespace

bool parseResolution(uint32_t out[2], const char16_t* text, bool wantPpi)
{
    if (!text || !*text) return false;
    const char16_t* p = text;
    skipBlanks(p);
    // Negative and overflowing values are refused rather than wrapped.
    uint32_t h = 0, v = 0;
    if (*p == u'+') ++p;
    if (!readUnsigned(p, &h) || h == 0) return false;
    skipBlanks(p);
    if (*p == u'x') {
        ++p;
        skipBlanks(p);
        if (*p == u'+') ++p;
        if (*p >= u'0' && *p <= u'9' && !readUnsigned(p, &v)) return false;
        skipBlanks(p);
    }
    if (v == 0) v = h;
    std::u16string_view unit(p);
    bool isPpi = equalsNoCase(unit, u"ppi");
    bool isPpm = equalsNoCase(unit, u"ppm");
    if (!isPpi && !isPpm) return false;
    double factor = 1.0;
    if (isPpi && !wantPpi) factor = 39.37008;
    if (isPpm && wantPpi) factor = 0.0254;
    double fh = std::trunc(h * factor + 0.5), fv = std::trunc(v * factor + 0.5);
    if (fh > 4294967295.0 || fv > 4294967295.0) return false;
    out[0] = uint32_t(fh);
    out[1] = uint32_t(fv);
    return true;
}

namespace {

// Degrees, separator, minutes, separator, seconds[.fraction], hemisphere.
bool readCoordinate(const char16_t*& p, uint32_t* deg, uint32_t* min, float* sec, char* ref,
                    char negative, char positive, char16_t negUpper, char16_t negLower)
{
    if (!*p) return false;
    *deg = uint32_t(parseUInt(p));
    if (!*p) return false;
    ++p;
    if (!*p) return false;
    *min = uint32_t(parseUInt(p));
    if (!*p) return false;
    ++p;
    if (!*p) return false;
    double s = double(uint32_t(parseUInt(p)));
    if (*p == u'.') {
        ++p;
        s += readFraction(p);
    }
    *sec = float(s);
    while (*p == u' ' || *p == u'"') ++p;
    if (!*p) return false;
    char16_t h = *p++;
    *ref = (h == negUpper || h == negLower || h == u'-') ? negative : positive;
    return true;
}

} // namespace

bool parseGpsPosition(GpsPosition& out, const char16_t* text)
{
    if (!text || !*text) return false;
    const char16_t* p = text;
    if (!readCoordinate(p, &out.latDegrees, &out.latMinutes, &out.latSeconds, &out.latRef, 'S', 'N',
                        u'S', u's'))
        return false;
    while (*p == u',' || *p == u' ') ++p;
    if (!*p) return false;
    if (!readCoordinate(p, &out.lonDegrees, &out.lonMinutes, &out.lonSeconds, &out.lonRef, 'W', 'E',
                        u'W', u'w'))
        return false;
    while (*p == u',' || *p == u' ') ++p;
    out.altitude = 0;
    out.hasAltitude = false;
    if (!*p) return true;
    // The sign applies to the whole number: "-12.5" is -12.5 m, below sea level.
    while (*p == u' ') ++p;
    bool negative = false;
    if (*p == u'+' || *p == u'-') {
        negative = *p == u'-';
        ++p;
    }
    const char16_t* q = p;
    double a = double(uint32_t(parseUInt(q)));
    p = q;
    if (*p == u'.') {
        ++p;
        a += readFraction(p);
    }
    out.altitude = float(negative ? -a : a);
    out.hasAltitude = true;
    return true;
}

uint64_t fileTimeFromUnix(int64_t seconds, uint32_t nanoseconds)
{
    return uint64_t(seconds + 11644473600LL) * 10000000ULL + nanoseconds / 100;
}

std::u16string formatFileTime(uint64_t fileTime)
{
    int64_t unixSeconds = int64_t(fileTime / 10000000ULL) - 11644473600LL;
    time_t t = time_t(unixSeconds);
    struct tm tmv {};
    if (!gmtime_r(&t, &tmv)) return std::u16string();
    char buf[64];
    std::snprintf(buf, sizeof buf, "%d-%02d-%02d, %02d:%02d:%02d", tmv.tm_year + 1900, tmv.tm_mon + 1,
                  tmv.tm_mday, tmv.tm_hour, tmv.tm_min, tmv.tm_sec);
    return asciiToU16(buf);
}

} // namespace quillon
