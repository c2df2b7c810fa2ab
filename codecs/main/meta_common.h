#pragma once
// Small pieces the metadata readers and writers share: bounds-checked reads
// of a TIFF structure in either byte order, locale-free number texts, and
// the little-endian stores of the block writers.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/image_info.h"
#include "core/text.h"

namespace quillon::meta {

// A TIFF structure: offsets count from `base`; every read is checked as
// integers against `size`, so no offset a file gives can form a pointer
// outside the data.
struct TiffView {
    const uint8_t* base = nullptr;
    size_t size = 0;
    bool bigEndian = false;

    bool fits(uint64_t offset, uint64_t n) const { return offset <= size && n <= size - offset; }
    uint16_t u16(uint64_t offset) const
    {
        if (!fits(offset, 2)) return 0;
        const uint8_t* p = base + offset;
        return bigEndian ? uint16_t((p[0] << 8) | p[1]) : uint16_t(p[0] | (p[1] << 8));
    }
    uint32_t u32(uint64_t offset) const
    {
        if (!fits(offset, 4)) return 0;
        const uint8_t* p = base + offset;
        return bigEndian ? (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3]
                         : uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
    }
};

// One 12-byte directory entry, read only when all of it lies inside.
struct TiffEntry {
    uint16_t tag = 0, type = 0;
    uint32_t count = 0;
    uint64_t valuePos = 0;  // where the value (or its offset) lies
    uint32_t offset = 0;    // the value field read as an offset
};

// Calls fn(entry) for each entry of the directory at `ifd`; stops at the
// first entry that does not lie wholly inside the data.
template <typename Fn>
void forEachEntry(const TiffView& view, uint64_t ifd, Fn&& fn)
{
    if (!view.fits(ifd, 2)) return;
    uint32_t count = view.u16(ifd);
    for (uint32_t i = 0; i < count; ++i) {
        uint64_t pos = ifd + 2 + uint64_t(i) * 12;
        if (!view.fits(pos, 12)) return;
        TiffEntry e;
        e.tag = view.u16(pos);
        e.type = view.u16(pos + 2);
        e.count = view.u32(pos + 4);
        e.valuePos = pos + 8;
        e.offset = view.u32(pos + 8);
        fn(e);
    }
}

// How to borrow 8-bit text that the format defines as ASCII or leaves
// without a character set: other tools write UTF-8 there (exiftool does by
// default), so well-formed UTF-8 with a character beyond ASCII is taken as
// UTF-8 and anything else as Windows-1252.
inline int eightBitKind(const void* text, size_t length)
{
    return isMultibyteUtf8(static_cast<const char*>(text), length) ? BORROW_UTF8 : BORROW_CP1252;
}

// A keyword as the image will hold it, for telling whether two items of a
// list are one: outer blanks and control characters dropped, inner control
// characters as blanks (as the image's record stores them).
inline std::u16string keywordKey(const char16_t* text)
{
    std::u16string key;
    if (!text) return key;
    for (size_t i = 0; text[i] && i < kTextSourceLimit; ++i) key += text[i] < 0x20 ? u' ' : text[i];
    size_t first = key.find_first_not_of(u' ');
    if (first == std::u16string::npos) return {};
    return key.substr(first, key.find_last_not_of(u' ') - first + 1);
}

// Whether keyword field `field` is to be dropped from a list being read
// into 17..25 in order: it is blank, or it repeats an earlier one.
inline bool keywordIsDropped(const ImageInfo& info, int field)
{
    const std::u16string key = keywordKey(info.get(field));
    if (key.empty()) return true;
    for (int f = INFO_KEYWORD_FIRST; f < field; ++f)
        if (keywordKey(info.get(f)) == key) return true;
    return false;
}

// UTF-16 as well-formed UTF-8: a lone surrogate becomes U+FFFD, which any
// reader takes, where encoding it as itself would make bytes that strict
// readers refuse.
inline std::string wellFormedUtf8(const char16_t* text)
{
    std::u16string clean;
    if (!text) return {};
    for (size_t i = 0; text[i] && i < kTextSourceLimit; ++i) {
        const char16_t c = text[i];
        const bool high = c >= 0xD800 && c <= 0xDBFF, low = c >= 0xDC00 && c <= 0xDFFF;
        if (high && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            clean += c;
            clean += text[++i];
        } else {
            clean += high || low ? u'\uFFFD' : c;
        }
    }
    return u16ToUtf8(clean);
}

// Cuts UTF-8 text to at most `limit` bytes without splitting a character.
inline void cutUtf8(std::string& text, size_t limit)
{
    if (text.size() <= limit) return;
    size_t n = limit;
    while (n > 0 && (uint8_t(text[n]) & 0xC0) == 0x80) --n;
    text.resize(n);
}

// `value` with `decimals` digits after the point, in C-locale form.
inline std::string fixedText(double value, int decimals)
{
    char buf[400];
    auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, decimals);
    if (r.ec != std::errc()) return "0";
    return std::string(buf, r.ptr);
}

// Three decimals, or more (up to nine) while three lose more than half a
// percent of the value, so 1/8000 s survives being written back.
inline int decimalPlaces(double value)
{
    int decimals = 3;
    for (; decimals < 9; ++decimals) {
        double shown = std::round(value * std::pow(10.0, decimals)) / std::pow(10.0, decimals);
        if (value == 0 || std::fabs(shown - value) <= std::fabs(value) * 0.005) break;
    }
    return decimals;
}

inline std::string decimalText(double value)
{
    if (!std::isfinite(value)) return "0.000";
    return fixedText(value, decimalPlaces(value));
}

// The leading decimal number of an ASCII text (blanks skipped, one sign),
// and the count of digits after its point; false when there is none.
inline bool leadingNumber(const std::string& text, double& value, int& decimals)
{
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    const char* first = text.data() + i;
    const char* last = text.data() + text.size();
    double v = 0;
    auto r = std::from_chars(first, last, v, std::chars_format::general);
    if (r.ec == std::errc::invalid_argument || r.ptr == first) return false;
    if (r.ec == std::errc::result_out_of_range) v = HUGE_VAL;
    decimals = 0;
    for (const char* p = first; p < r.ptr; ++p)
        if (*p == '.') decimals = int(r.ptr - p - 1);
    value = negative ? -v : v;
    return true;
}

// A creation date in any of the usual orders of year, month and day with
// an optional time and offset, as XMP writes it: "YYYY-MM-DD", then
// "Thh:mm:ss" and "+hh:mm" when present. False when it is no date.
bool formatCreateDate(const char16_t* text, std::string& out);

// The creation date as TIFF and EXIF store it: "YYYY:MM:DD HH:MM:SS".
// Empty when the text gives no time, since those dates need one and a
// date alone (which XMP keeps) must not gain a time it never had; empty too
// when the text reads as no date, which readers would take for a damaged
// value.
inline std::string tiffDateText(const char16_t* text)
{
    std::string iso;
    if (!formatCreateDate(text, iso) || iso.size() < 19 || iso[10] != 'T') return {};
    std::string out = iso.substr(0, 19);
    out[4] = out[7] = ':';
    out[10] = ' ';
    return out;
}

inline void storeU16le(uint8_t* p, uint32_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
inline void storeU32le(uint8_t* p, uint32_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}
inline void storeU16be(uint8_t* p, uint32_t v)
{
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}

} // namespace quillon::meta
