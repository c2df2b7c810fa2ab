#include "core/text.h"

#include <cstring>

namespace quillon {

namespace {

const char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

inline char16_t cp1252(uint8_t b)
{
    return (b >= 0x80 && b < 0xA0) ? kCp1252High[b - 0x80] : char16_t(b);
}

// U+0100 to U+017E reduced to a Latin-1 byte or a base letter.
const uint8_t kLatinExtendedA[127] = {
    0xC4, 0xE4,
    'A', 'a', 'A', 'a', 'C', 'c', 'C', 'c', 'C', 'c', 'C', 'c', 'D', 'd',
    0xD0, 'd',
    'E', 'e', 'E', 'e', 'E', 'e', 'E', 'e', 'E', 'e', 'G', 'g', 'G', 'g', 'G', 'g',
    'G', 'g', 'H', 'h', 'H', 'h', 'I', 'i', 'I', 'i', 'I', 'i', 'I', 'i', 'I', 'i',
    'J', 'j', 'J', 'j', 'K', 'k', 'K',
    'L', 'l', 'L', 'l', 'L', 'l', 'L', 'l', 'L', 'l', 'N', 'n', 'N', 'n', 'N', 'n',
    'n', 'N', 'n',
    0xD6, 0xF6, 'O', 'o', 0xD5, 0xF5,
    'A', 'a', 'R', 'r', 'R', 'r', 'R', 'r', 'S', 's', 'S', 's', 'S', 's', 'S', 's',
    'T', 't', 'T', 't', 'T', 't', 'U', 'u', 'U', 'u', 'U', 'u', 'U', 'u', 'U', 'u',
    'U', 'u', 'W', 'w', 'Y', 'y', 'Y', 'Z', 'z', 'Z', 'z', 'Z', 'z',
};
static_assert(sizeof kLatinExtendedA == 127);

uint8_t approxByte(uint32_t cp)
{
    if (cp <= 0xFF) return uint8_t(cp);
    if (cp >= 0x100 && cp <= 0x17E) return kLatinExtendedA[cp - 0x100];
    switch (cp) {
    case 0x02C6: return '^';
    case 0x2018: case 0x2019: case 0x201A: return '\'';
    case 0x201C: case 0x201D: case 0x201E: return '"';
    case 0x2022: return '*';
    case 0x2026: return '.';
    case 0x2039: return '<';
    case 0x203A: return '>';
    case 0x20AC: return 'E';
    default: return '?';
    }
}

// Reads one code point from UTF-16, combining a valid surrogate pair; a lone
// surrogate stands for itself. Returns the units consumed (0 at the end).
size_t nextCodePoint(const char16_t* s, size_t avail, uint32_t* cp)
{
    if (avail == 0 || s[0] == 0) return 0;
    char16_t c = s[0];
    if (c >= 0xD800 && c <= 0xDBFF && avail >= 2 && s[1] >= 0xDC00 && s[1] <= 0xDFFF) {
        *cp = 0x10000 + ((uint32_t(c) - 0xD800) << 10) + (uint32_t(s[1]) - 0xDC00);
        return 2;
    }
    *cp = c;
    return 1;
}

size_t encodeUtf8(uint32_t cp, char* out)
{
    if (cp < 0x80) { out[0] = char(cp); return 1; }
    if (cp < 0x800) {
        out[0] = char(0xC0 | (cp >> 6));
        out[1] = char(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = char(0xE0 | (cp >> 12));
        out[1] = char(0x80 | ((cp >> 6) & 0x3F));
        out[2] = char(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = char(0xF0 | (cp >> 18));
    out[1] = char(0x80 | ((cp >> 12) & 0x3F));
    out[2] = char(0x80 | ((cp >> 6) & 0x3F));
    out[3] = char(0x80 | (cp & 0x3F));
    return 4;
}

// UTF-16 to an 8-bit destination, either UTF-8 or the approximation.
// Returns 1 when the source ended, 0 when the next character did not fit.
int narrow(char* dst, const char16_t* src, size_t dstSize, size_t srcLen, bool approx)
{
    size_t limit = srcLen ? srcLen : kTextSourceLimit;
    size_t out = 0, in = 0;
    int complete = 1;
    while (in < limit) {
        uint32_t cp;
        size_t used = nextCodePoint(src + in, limit - in, &cp);
        if (!used) break;
        // A high surrogate that ends a counted source is dropped: its partner
        // lies beyond what we were given.
        if (srcLen && used == 1 && cp >= 0xD800 && cp <= 0xDBFF && in + 1 == limit) break;
        // A lone surrogate (a byte of a name that is not UTF-8, or broken
        // text) has no UTF-8 form; its 3-byte encoding would make the whole
        // text invalid for every reader.
        if (!approx && cp >= 0xD800 && cp <= 0xDFFF) cp = 0xFFFD;
        char bytes[4];
        size_t n;
        if (approx) {
            bytes[0] = char(approxByte(cp));
            n = 1;
        } else {
            n = encodeUtf8(cp, bytes);
        }
        if (out + n + 1 > dstSize) { complete = 0; break; }
        std::memcpy(dst + out, bytes, n);
        out += n;
        in += used;
    }
    dst[out] = 0;
    return complete;
}

int widenCp1252(char16_t* dst, const char* src, size_t dstSize, ptrdiff_t srcLen)
{
    size_t limit = srcLen >= 0 ? size_t(srcLen) : kTextSourceLimit;
    size_t out = 0;
    for (size_t in = 0; in < limit; ++in) {
        uint8_t b = uint8_t(src[in]);
        if (b == 0) break;
        if (out + 1 >= dstSize) { dst[out] = 0; return 0; }
        dst[out++] = cp1252(b);
    }
    dst[out] = 0;
    return 1;
}

template <class Ch>
int32_t parseUIntT(const Ch*& cursor)
{
    const Ch* p = cursor;
    while (*p == Ch(' ')) ++p;
    bool negative = false;
    if (*p == Ch('+') || *p == Ch('-')) { negative = (*p == Ch('-')); ++p; }
    uint32_t value = 0;
    bool any = false;
    while (*p >= Ch('0') && *p <= Ch('9')) {
        value = value * 10u + uint32_t(*p - Ch('0'));
        ++p;
        any = true;
    }
    if (!any) return 0;
    cursor = p;
    return int32_t(negative ? 0u - value : value);
}

template <class Ch>
uint32_t countDigitsT(const Ch* text)
{
    uint32_t n = 0;
    if (!text) return 0;
    while (text[n] >= Ch('0') && text[n] <= Ch('9')) ++n;
    return n;
}

} // namespace

int latin1ToWide(char16_t* dst, const char* src, size_t dstSize, ptrdiff_t srcLen)
{
    if (!dst || dstSize == 0) return 0;
    if (!src) { dst[0] = 0; return 1; }
    return widenCp1252(dst, src, dstSize, srcLen);
}

int ansiToWide(char16_t* dst, const char* src, size_t dstSize)
{
    if (!dst || dstSize == 0) return 0;
    if (!src) { dst[0] = 0; return 1; }
    return widenCp1252(dst, src, dstSize, -1);
}

namespace {

// What a UTF-8 lead byte starts: its bits of the code point, the number of
// continuation bytes and the range the first of them must lie in (tighter
// than 0x80..0xBF where it excludes overlong forms, surrogates and code
// points past U+10FFFF). False for a byte that starts no sequence.
bool utf8Lead(uint8_t b, uint32_t& cp, size_t& need, uint8_t& lo, uint8_t& hi)
{
    lo = 0x80, hi = 0xBF;
    if (b < 0x80) { cp = b; need = 0; }
    else if (b >= 0xC2 && b <= 0xDF) { cp = b & 0x1F; need = 1; }
    else if (b >= 0xE0 && b <= 0xEF) {
        cp = b & 0x0F; need = 2;
        if (b == 0xE0) lo = 0xA0;
        if (b == 0xED) hi = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        cp = b & 0x07; need = 3;
        if (b == 0xF0) lo = 0x90;
        if (b == 0xF4) hi = 0x8F;
    } else {
        return false;
    }
    return true;
}

} // namespace

namespace {

// The length of the well-formed UTF-8 sequence that starts at s[i] and its
// code point; 0 when the byte there starts none (or the text ends inside it).
size_t wellFormedAt(const uint8_t* s, size_t length, size_t i, uint32_t* cpOut)
{
    uint32_t cp;
    size_t need;
    uint8_t lo, hi;
    if (!utf8Lead(s[i], cp, need, lo, hi) || length - i <= need) return 0;
    for (size_t k = 1; k <= need; ++k) {
        const uint8_t c = s[i + k];
        if (c < (k == 1 ? lo : 0x80) || c > (k == 1 ? hi : 0xBF)) return 0;
        cp = (cp << 6) | (c & 0x3F);
    }
    *cpOut = cp;
    return need + 1;
}

constexpr char16_t kByteEscape = 0xDC00; // + a byte from 0x80 to 0xFF

} // namespace

std::u16string nameBytesToU16(std::string_view bytes)
{
    const uint8_t* s = reinterpret_cast<const uint8_t*>(bytes.data());
    std::u16string out;
    out.reserve(bytes.size());
    for (size_t i = 0; i < bytes.size();) {
        uint32_t cp;
        const size_t n = wellFormedAt(s, bytes.size(), i, &cp);
        if (n == 0) {
            // Only bytes from 0x80 start no sequence: ASCII always decodes.
            out += char16_t(kByteEscape + s[i]);
            ++i;
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += char16_t(0xD800 + (cp >> 10));
            out += char16_t(0xDC00 + (cp & 0x3FF));
        } else {
            out += char16_t(cp);
        }
        i += n;
    }
    return out;
}

std::string u16ToNameBytes(std::u16string_view text)
{
    std::string out;
    out.reserve(text.size() * 3);
    for (size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        uint32_t cp = c;
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((uint32_t(c) - 0xD800) << 10) + (uint32_t(text[i + 1]) - 0xDC00);
            ++i;
        } else if (c >= kByteEscape + 0x80 && c <= kByteEscape + 0xFF) {
            out += char(c - kByteEscape);
            continue;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            // Typed or pasted broken text: no byte stands behind it.
            cp = 0xFFFD;
        }
        char bytes[4];
        out.append(bytes, encodeUtf8(cp, bytes));
    }
    return out;
}

size_t nameCutPoint(std::string_view bytes, size_t limit)
{
    if (bytes.size() <= limit) return bytes.size();
    const uint8_t* s = reinterpret_cast<const uint8_t*>(bytes.data());
    size_t i = 0;
    while (i < limit) {
        uint32_t cp;
        const size_t n = wellFormedAt(s, bytes.size(), i, &cp);
        const size_t step = n ? n : 1;
        if (i + step > limit) break;
        i += step;
    }
    return i;
}

bool isMultibyteUtf8(const char* text, size_t length)
{
    if (!text) return false;
    const uint8_t* s = reinterpret_cast<const uint8_t*>(text);
    bool multibyte = false;
    for (size_t i = 0; i < length;) {
        uint32_t cp;
        const size_t n = wellFormedAt(s, length, i, &cp);
        if (n == 0) return false;
        multibyte = multibyte || n > 1;
        i += n;
    }
    return multibyte;
}

int utf8ToWideN(char16_t* dst, const char* src, size_t dstSize, ptrdiff_t srcLen)
{
    if (!dst || dstSize == 0) return 0;
    if (!src) { dst[0] = 0; return 1; }
    const uint8_t* s = reinterpret_cast<const uint8_t*>(src);
    const size_t limit = srcLen >= 0 ? size_t(srcLen) : kTextSourceLimit;
    size_t out = 0, in = 0;
    auto put = [&](uint32_t cp) -> bool {
        if (cp >= 0x10000) {
            if (out + 2 >= dstSize) return false;
            cp -= 0x10000;
            dst[out++] = char16_t(0xD800 + (cp >> 10));
            dst[out++] = char16_t(0xDC00 + (cp & 0x3FF));
        } else {
            if (out + 1 >= dstSize) return false;
            dst[out++] = char16_t(cp);
        }
        return true;
    };
    while (in < limit) {
        uint8_t b = s[in];
        if (b == 0) break;
        uint32_t cp;
        size_t need;
        uint8_t lo, hi;
        if (!utf8Lead(b, cp, need, lo, hi)) {
            // Stray continuation byte, overlong lead or a lead past U+10FFFF.
            if (!put(0xFFFD)) { dst[out] = 0; return 0; }
            ++in;
            continue;
        }
        size_t took = 1;
        bool bad = false;
        for (size_t k = 0; k < need; ++k) {
            if (in + took >= limit) {
                // The bound cuts the sequence: the text ends here.
                dst[out] = 0;
                return 1;
            }
            uint8_t c = s[in + took];
            uint8_t l = k == 0 ? lo : 0x80, h = k == 0 ? hi : 0xBF;
            if (c < l || c > h) { bad = true; break; }
            cp = (cp << 6) | (c & 0x3F);
            ++took;
        }
        if (bad) cp = 0xFFFD; // the offending byte starts the next sequence
        if (!put(cp)) { dst[out] = 0; return 0; }
        in += took;
    }
    dst[out] = 0;
    return 1;
}

int utf8ToWide(char16_t* dst, const char* src)
{
    if (!dst) return 0;
    return utf8ToWideN(dst, src, kPathUnits, -1);
}

int wideToUtf8(char* dst, const char16_t* src, size_t dstSize)
{
    if (!dst || dstSize == 0) return 0;
    if (!src) { dst[0] = 0; return 1; }
    return narrow(dst, src, dstSize, 0, false);
}

int utf16ToUtf8(char* dst, const char16_t* src, size_t dstSize, size_t srcLen)
{
    if (!dst || dstSize == 0) return 0;
    if (!src) { dst[0] = 0; return 1; }
    return narrow(dst, src, dstSize, srcLen, false);
}

int wideToAnsiApprox(char* dst, const char16_t* src, size_t dstSize)
{
    if (!dst || dstSize == 0) return 0;
    if (!src) { dst[0] = 0; return 1; }
    return narrow(dst, src, dstSize, 0, true);
}

int32_t parseUInt(const char16_t*& cursor) { return parseUIntT(cursor); }
int32_t parseUInt(const char*& cursor) { return parseUIntT(cursor); }
uint32_t countDigits(const char16_t* text) { return countDigitsT(text); }
uint32_t countDigits(const char* text) { return countDigitsT(text); }

std::u16string utf8ToU16(std::string_view utf8)
{
    std::u16string out(utf8.size() + 1, u'\0');
    utf8ToWideN(out.data(), utf8.data(), out.size(), ptrdiff_t(utf8.size()));
    out.resize(u16Length(out.c_str()));
    return out;
}

std::string u16ToUtf8(std::u16string_view text)
{
    std::string out(text.size() * 3 + 1, '\0');
    if (!text.empty()) utf16ToUtf8(out.data(), text.data(), out.size(), text.size());
    out.resize(std::strlen(out.c_str()));
    return out;
}

std::u16string latin1ToU16(std::string_view bytes)
{
    std::u16string out(bytes.size() + 1, u'\0');
    latin1ToWide(out.data(), bytes.data(), out.size(), ptrdiff_t(bytes.size()));
    out.resize(u16Length(out.c_str()));
    return out;
}

std::string u16ToApprox(std::u16string_view text)
{
    std::u16string copy(text);
    std::string out(copy.size() + 1, '\0');
    wideToAnsiApprox(out.data(), copy.c_str(), out.size());
    out.resize(std::strlen(out.c_str()));
    return out;
}

std::u16string asciiToU16(std::string_view ascii)
{
    return std::u16string(ascii.begin(), ascii.end());
}

std::u16string pathToU16(const std::filesystem::path& path) { return nameBytesToU16(path.native()); }

std::filesystem::path u16ToPath(std::u16string_view text) { return std::filesystem::path(u16ToNameBytes(text)); }

size_t u16Length(const char16_t* text)
{
    size_t n = 0;
    if (text)
        while (text[n]) ++n;
    return n;
}

char16_t asciiLower(char16_t c) { return (c >= u'A' && c <= u'Z') ? char16_t(c + 32) : c; }

int compareNoCase(std::u16string_view a, std::u16string_view b)
{
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        char16_t x = asciiLower(a[i]), y = asciiLower(b[i]);
        if (x != y) return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

bool equalsNoCase(std::u16string_view a, std::u16string_view b) { return compareNoCase(a, b) == 0; }

bool equalsNoCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = char(x + 32);
        if (y >= 'A' && y <= 'Z') y = char(y + 32);
        if (x != y) return false;
    }
    return true;
}

bool hasExtensionNoCase(std::string_view name, std::string_view ext)
{
    return name.size() > ext.size() && equalsNoCase(name.substr(name.size() - ext.size()), ext);
}

std::string escapeControls(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (byte < 0x20 || byte == 0x7F) {
            static const char kHex[] = "0123456789ABCDEF";
            out += "\\x";
            out += kHex[byte >> 4];
            out += kHex[byte & 15];
        } else {
            out += c;
        }
    }
    return out;
}

} // namespace quillon
