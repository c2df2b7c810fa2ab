// XMP packets read into and written from the information fields.
#include "codecs/main/xmp.h"

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "codecs/main/meta_common.h"
#include "core/text.h"
#include "platform/output_file.h"

namespace quillon {

namespace {

enum Schema : uint8_t { SCHEMA_NONE, SCHEMA_TIFF, SCHEMA_XAP, SCHEMA_EXIF, SCHEMA_DC };

struct SchemaName {
    Schema schema;
    const char* prefix;  // the writer's
    const char* uri;
};

// Built at compile time, so readers on several threads share them safely.
constexpr SchemaName kSchemas[] = {
    {SCHEMA_TIFF, "tiff", "http://ns.adobe.com/tiff/1.0/"},
    {SCHEMA_XAP, "xap", "http://ns.adobe.com/xap/1.0/"},
    {SCHEMA_EXIF, "exif", "http://ns.adobe.com/exif/1.0/"},
    {SCHEMA_DC, "dc", "http://purl.org/dc/elements/1.1/"},
};

constexpr size_t npos = size_t(-1);

bool isSpace(uint32_t c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The packet as units of W bytes (1: UTF-8, 2: UTF-16LE); every access is
// bounded by the packet.
template <int W>
struct Packet {
    const uint8_t* base;
    size_t n;  // units

    uint32_t at(size_t i) const
    {
        if (i >= n) return 0;
        return W == 1 ? base[i] : uint32_t(base[2 * i] | (base[2 * i + 1] << 8));
    }
    const uint8_t* ptr(size_t i) const { return base + i * W; }
    bool match(size_t i, const char* s) const
    {
        for (; *s; ++s, ++i)
            if (i >= n || at(i) != uint8_t(*s)) return false;
        return true;
    }
    // Searches stop at `limit` and share one budget of work, so a hostile
    // packet of unclosed elements cannot make the scan quadratic.
    size_t find(size_t i, const char* s, size_t limit = npos) const
    {
        size_t len = std::strlen(s);
        size_t stop = std::min(limit, n);
        for (; i < stop && n - i >= len; ++i) {
            if (!spend()) return npos;
            if (at(i) == uint8_t(s[0]) && match(i, s)) return i;
        }
        return npos;
    }
    size_t findUnit(size_t i, uint32_t c, size_t limit = npos) const
    {
        size_t stop = std::min(limit, n);
        for (; i < stop; ++i) {
            if (!spend()) return npos;
            if (at(i) == c) return i;
        }
        return npos;
    }
    bool spend() const
    {
        if (work == 0) return false;
        --work;
        return true;
    }
    mutable uint64_t work = 0;
    bool equalsAscii(size_t a, size_t b, const char* s) const
    {
        return b - a == std::strlen(s) && match(a, s);
    }
    // Up to 64 units as ASCII (others become '?'), for numbers and names.
    std::string ascii(size_t a, size_t b) const
    {
        std::string out;
        for (size_t i = a; i < b && out.size() < 64; ++i) {
            uint32_t c = at(i);
            out += c < 0x80 ? char(c) : '?';
        }
        return out;
    }
    std::u16string wide(size_t a, size_t b) const
    {
        if (W == 2) {
            std::u16string out;
            for (size_t i = a; i < b; ++i) out += char16_t(at(i));
            return out;
        }
        return utf8ToU16(std::string_view(reinterpret_cast<const char*>(ptr(a)), b - a));
    }
};

// Replaces the XML escapes a writer may have used.
std::u16string unescape(const std::u16string& in)
{
    std::u16string out;
    for (size_t i = 0; i < in.size(); ++i) {
        if (in[i] != u'&') {
            out += in[i];
            continue;
        }
        size_t semi = in.find(u';', i);
        if (semi == std::u16string::npos || semi - i > 10) {
            out += in[i];
            continue;
        }
        std::u16string name = in.substr(i + 1, semi - i - 1);
        char32_t c = 0;
        if (name == u"amp") c = U'&';
        else if (name == u"lt") c = U'<';
        else if (name == u"gt") c = U'>';
        else if (name == u"quot") c = U'"';
        else if (name == u"apos") c = U'\'';
        else if (name.size() > 1 && name[0] == u'#') {
            bool hex = name[1] == u'x' || name[1] == u'X';
            uint32_t v = 0;
            bool ok = name.size() > (hex ? 2u : 1u);
            for (size_t k = hex ? 2 : 1; k < name.size() && ok; ++k) {
                char16_t d = name[k];
                int digit = d >= u'0' && d <= u'9' ? d - u'0'
                            : hex && d >= u'a' && d <= u'f' ? d - u'a' + 10
                            : hex && d >= u'A' && d <= u'F' ? d - u'A' + 10
                                                            : -1;
                if (digit < 0) ok = false;
                else v = v * (hex ? 16 : 10) + uint32_t(digit);
                if (v > 0x10FFFF) ok = false;
            }
            if (ok && v != 0) c = char32_t(v);
        }
        if (!c) {
            out += in[i];
            continue;
        }
        if (c >= 0x10000) {
            out += char16_t(0xD800 + ((c - 0x10000) >> 10));
            out += char16_t(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            out += char16_t(c);
        }
        i = semi;
    }
    return out;
}

// A coordinate "deg,min,sec[.frac]k" or "deg,min[.frac]k" as degrees,
// minutes and seconds with its hemisphere letter.
bool parseCoordinate(const std::string& s, double dms[3], char& ref)
{
    size_t i = 0;
    auto number = [&](double& out, bool fraction) {
        size_t start = i;
        double v = 0;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') v = v * 10 + (s[i++] - '0');
        if (i == start) return false;
        if (fraction && i < s.size() && s[i] == '.') {
            double scale = 0.1;
            for (++i; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i, scale /= 10) v += (s[i] - '0') * scale;
        }
        out = v;
        return true;
    };
    dms[0] = dms[1] = dms[2] = 0;
    while (i < s.size() && isSpace(uint8_t(s[i]))) ++i;
    if (!number(dms[0], false) || i >= s.size()) return false;
    ++i;  // the separator
    if (!number(dms[1], true)) return false;
    if (i + 1 < s.size() && !std::isalpha(uint8_t(s[i])) && s[i] >= ' ' && s[i + 1] >= '0' && s[i + 1] <= '9') {
        ++i;
        if (!number(dms[2], true)) return false;
    }
    while (i < s.size() && s[i] == ' ') ++i;
    if (i >= s.size() || !std::isalpha(uint8_t(s[i]))) return false;
    ref = char(std::toupper(uint8_t(s[i])));
    return true;
}

// "300", "3000000/10000": a denominator above 1 divides.
double numberOrFraction(const std::string& s)
{
    double v = 0, d = 0;
    int decimals = 0;
    if (!meta::leadingNumber(s, v, decimals) || !std::isfinite(v)) return 0;
    size_t slash = s.find('/');
    if (slash != std::string::npos && meta::leadingNumber(s.substr(slash + 1), d, decimals) && d > 1) v /= d;
    return std::isfinite(v) ? v : 0;
}

// A unit or reference number; anything out of the small range is -1.
int smallInt(double v) { return v >= 0 && v < 65536 ? int(v) : -1; }

// Degrees, minutes and seconds in hundredths, rounded once and carried.
void appendDms(std::u16string& out, const double dms[3], char ref)
{
    double deg = std::min(dms[0], 1e6), min = std::min(dms[1], 1e6), sec = std::min(dms[2], 1e6);
    double whole = std::floor(min);
    sec += (min - whole) * 60;
    min = whole;
    uint64_t hundredths = uint64_t(std::floor(sec * 100 + 0.5));
    uint64_t m = uint64_t(min) + hundredths / 6000;
    hundredths %= 6000;
    uint64_t d = uint64_t(deg);
    if (m == 60 && min < 60) m = 0, ++d;
    std::string s = std::to_string(d) + "\xC2\xB0" + std::to_string(m) + "'" + std::to_string(hundredths / 100) +
                    "." + char('0' + hundredths / 10 % 10) + char('0' + hundredths % 10) + "\" " + ref;
    out += utf8ToU16(s);
}

template <int W>
class Scanner {
public:
    Scanner(ImageInfoBag& bag, Packet<W> p) : bag_(bag), p_(p) { p_.work = uint64_t(p_.n) * 16 + (uint64_t(1) << 22); }

    void run(size_t from)
    {
        size_t pos = from;
        while ((pos = p_.find(pos, "<rdf:Description")) != npos) {
            size_t after = pos + 16;
            uint32_t c = p_.at(after);
            if (!(isSpace(c) || c == '>' || c == '/')) {
                pos = after;
                continue;
            }
            bool selfClosing = false;
            size_t end = readAttributes(after, selfClosing);
            if (end == npos) return;
            pos = selfClosing ? end : readChildren(end);
            if (pos == npos) return;
        }
    }

private:
    struct Binding {
        size_t start, length;
        Schema schema;
    };

    Schema schemaOfPrefix(size_t a, size_t b) const
    {
        for (const Binding& bd : bindings_) {
            if (bd.length != b - a) continue;
            bool same = true;
            for (size_t k = 0; k < bd.length && same; ++k) same = p_.at(bd.start + k) == p_.at(a + k);
            if (same) return bd.schema;
        }
        return SCHEMA_NONE;
    }

    // Reads the attributes of a start tag from `i` (after its name); returns
    // the position after the tag's ">" or npos when the packet ends first.
    size_t readAttributes(size_t i, bool& selfClosing)
    {
        struct Attr {
            size_t nameA, nameB, valA, valB;
        };
        std::vector<Attr> attrs;
        for (;;) {
            while (isSpace(p_.at(i)) && i < p_.n) ++i;
            if (i >= p_.n) return npos;
            uint32_t c = p_.at(i);
            if (c == '>') {
                ++i;
                break;
            }
            if (c == '/' && p_.at(i + 1) == '>') {
                selfClosing = true;
                i += 2;
                break;
            }
            size_t nameA = i;
            while (i < p_.n && !isSpace(p_.at(i)) && p_.at(i) != '=' && p_.at(i) != '>' && p_.at(i) != '/') ++i;
            size_t nameB = i;
            while (i < p_.n && isSpace(p_.at(i))) ++i;
            if (p_.at(i) != '=' || nameB == nameA) {
                if (i >= p_.n) return npos;
                if (nameB == nameA) ++i;  // a stray character
                continue;
            }
            ++i;
            while (i < p_.n && isSpace(p_.at(i))) ++i;
            uint32_t quote = p_.at(i);
            if (quote != '"' && quote != '\'') continue;
            size_t close = p_.findUnit(i + 1, quote);
            if (close == npos) return npos;
            attrs.push_back({nameA, nameB, i + 1, close});
            i = close + 1;
        }
        // Declarations first, so a property may come before its prefix's.
        for (const Attr& a : attrs) {
            if (a.nameB - a.nameA <= 6 || !p_.match(a.nameA, "xmlns:")) continue;
            for (const SchemaName& s : kSchemas) {
                if (p_.equalsAscii(a.valA, a.valB, s.uri) && bindings_.size() < 64)
                    bindings_.push_back({a.nameA + 6, a.nameB - a.nameA - 6, s.schema});
            }
        }
        for (const Attr& a : attrs) {
            size_t colon = p_.findUnit(a.nameA, ':', a.nameB);
            if (colon == npos) continue;
            Schema s = schemaOfPrefix(a.nameA, colon);
            if (s != SCHEMA_NONE) property(s, p_.ascii(colon + 1, a.nameB), a.valA, a.valB, false);
        }
        return i;
    }

    // Reads the property elements inside a description from `i`; returns
    // the position after its end tag, or npos when the packet ends first.
    size_t readChildren(size_t i)
    {
        for (;;) {
            i = p_.findUnit(i, '<');
            if (i == npos) return npos;
            if (p_.match(i, "</")) {
                size_t gt = p_.findUnit(i, '>');
                if (gt == npos) return npos;
                if (p_.match(i, "</rdf:Description")) return gt + 1;
                i = gt + 1;
                continue;
            }
            if (p_.match(i, "<!--")) {
                size_t e = p_.find(i + 4, "-->");
                if (e == npos) return npos;
                i = e + 3;
                continue;
            }
            if (p_.match(i, "<?") || p_.match(i, "<!")) {
                size_t gt = p_.findUnit(i, '>');
                if (gt == npos) return npos;
                i = gt + 1;
                continue;
            }
            size_t nameA = i + 1, nameB = nameA;
            while (nameB < p_.n && !isSpace(p_.at(nameB)) && p_.at(nameB) != '>' && p_.at(nameB) != '/') ++nameB;
            size_t gt = p_.findUnit(nameB, '>');
            if (gt == npos) return npos;
            if (p_.at(gt - 1) == '/') {  // an empty element
                i = gt + 1;
                continue;
            }
            size_t closeAt = findEndTag(gt + 1, nameA, nameB);
            if (closeAt == npos) {
                i = gt + 1;
                continue;
            }
            size_t colon = p_.findUnit(nameA, ':', nameB);
            if (colon != npos) {
                Schema s = schemaOfPrefix(nameA, colon);
                if (s != SCHEMA_NONE) property(s, p_.ascii(colon + 1, nameB), gt + 1, closeAt, true);
            }
            size_t endGt = p_.findUnit(closeAt, '>');
            if (endGt == npos) return npos;
            i = endGt + 1;
        }
    }

    // The "</name" that ends the element whose name spans [a, b).
    size_t findEndTag(size_t from, size_t a, size_t b) const
    {
        for (size_t i = from; (i = p_.find(i, "</")) != npos; i += 2) {
            bool same = true;
            for (size_t k = 0; k < b - a && same; ++k) same = p_.at(i + 2 + k) == p_.at(a + k);
            uint32_t after = p_.at(i + 2 + (b - a));
            if (same && (after == '>' || isSpace(after))) return i;
        }
        return npos;
    }

    // The text of the next rdf:li item in [from, b), and where its start tag
    // lies ([tagA, itemA)); false when there is none.
    bool nextItem(size_t& from, size_t b, size_t& itemA, size_t& itemB, size_t* tagA = nullptr) const
    {
        for (size_t i = from; (i = p_.find(i, "<rdf:li", b)) != npos; i += 7) {
            uint32_t c = p_.at(i + 7);
            if (!(isSpace(c) || c == '>' || c == '/')) continue;
            size_t gt = p_.findUnit(i, '>', b);
            if (gt == npos) return false;
            itemA = gt + 1;
            if (p_.at(gt - 1) == '/') {
                itemB = itemA;
            } else {
                size_t lt = p_.findUnit(itemA, '<', b);
                itemB = lt == npos ? b : lt;
            }
            if (tagA) *tagA = i;
            from = itemB;
            return true;
        }
        return false;
    }

    // Whether the start tag [a, b) says xml:lang="x-default" (the tag is
    // compared without regard to case, as language tags are).
    bool isDefaultLanguage(size_t a, size_t b) const
    {
        size_t at = p_.find(a, "xml:lang", b);
        if (at == npos) return false;
        size_t i = at + 8;
        while (i < b && isSpace(p_.at(i))) ++i;
        if (p_.at(i) != '=') return false;
        for (++i; i < b && isSpace(p_.at(i));) ++i;
        uint32_t quote = p_.at(i);
        if (quote != '"' && quote != '\'') return false;
        static constexpr char kDefault[] = "x-default";
        for (size_t k = 0; k < sizeof kDefault - 1; ++k) {
            uint32_t c = p_.at(i + 1 + k);
            if ((c >= 'A' && c <= 'Z' ? c + 32 : c) != uint32_t(kDefault[k])) return false;
        }
        return p_.at(i + sizeof kDefault) == quote;
    }

    // Stores [a, b) in `field`, borrowed when it needs no unescaping; false
    // when it is blank.
    bool store(int field, size_t a, size_t b)
    {
        while (b > a && p_.at(b - 1) == ' ') --b;
        if (b == a) return false;
        if (p_.findUnit(a, '&', b) != npos) {
            std::u16string text = unescape(p_.wide(a, b));
            while (!text.empty() && text.back() == u' ') text.pop_back();
            if (text.empty()) return false;
            bag_.set(field, text.c_str());
            return bag_.has(field);
        }
        if (b - a > 0xFFFFFFFFu) return false;
        infoSetBorrowed(bag_, field, p_.ptr(a), uint32_t(b - a), W == 1 ? BORROW_UTF8 : BORROW_UTF16);
        return bag_.has(field);
    }

    void property(Schema schema, const std::string& name, size_t a, size_t b, bool element)
    {
        switch (schema) {
        case SCHEMA_TIFF:
            if (name == "Make") store(INFO_CAMERA_MAKE, a, b);
            else if (name == "Model") store(INFO_CAMERA_MODEL, a, b);
            else if (name == "XResolution") xRes_ = numberOrFraction(p_.ascii(a, b));
            else if (name == "YResolution") yRes_ = numberOrFraction(p_.ascii(a, b));
            else if (name == "ResolutionUnit") resUnit_ = smallInt(numberOrFraction(p_.ascii(a, b)));
            else return;
            density();
            break;
        case SCHEMA_XAP:
            // CreateDate is when the picture was digitised, which other
            // tools pair with EXIF's DateTimeDigitized: it stands in for a
            // date taken only where EXIF gave none, before or after it.
            if (name != "CreateDate" || (bag_.creationDateTaken && bag_.has(INFO_CREATION_DATE))) break;
            if (store(INFO_CREATION_DATE, a, b)) bag_.creationDateTaken = false;
            break;
        case SCHEMA_EXIF:
            if (name == "GPSLatitude") haveLat_ = parseCoordinate(p_.ascii(a, b), lat_, latRef_);
            else if (name == "GPSLongitude") haveLon_ = parseCoordinate(p_.ascii(a, b), lon_, lonRef_);
            else if (name == "GPSAltitude") altitude_ = numberOrFraction(p_.ascii(a, b)), haveAltitude_ = true;
            else if (name == "GPSAltitudeRef") altitudeRef_ = smallInt(numberOrFraction(p_.ascii(a, b)));
            else return;
            gps();
            break;
        case SCHEMA_DC:
            if (name == "subject") subjects(a, b);
            else if (name == "title") firstItem(INFO_TITLE, a, b, element);
            else if (name == "creator") firstItem(INFO_AUTHOR, a, b, element);
            else if (name == "description") firstItem(INFO_COMMENTS, a, b, element);
            else if (name == "rights") firstItem(INFO_COPYRIGHT, a, b, element);
            break;
        default: break;
        }
    }

    // A single text: of a language alternative ("Alt") the x-default item,
    // else the first, as XMP readers show one; of any other container the
    // first item; without items the element's text.
    void firstItem(int field, size_t a, size_t b, bool element)
    {
        size_t from = a, itemA, itemB, tagA;
        if (!element || p_.findUnit(a, '<', b) == npos) {
            store(field, a, b);
            return;
        }
        if (!nextItem(from, b, itemA, itemB, &tagA)) return;
        size_t chosenA = itemA, chosenB = itemB;
        bool isDefault = isDefaultLanguage(tagA, itemA);
        while (!isDefault && nextItem(from, b, itemA, itemB, &tagA))
            if ((isDefault = isDefaultLanguage(tagA, itemA))) chosenA = itemA, chosenB = itemB;
        store(field, chosenA, chosenB);
    }

    // The keyword list is taken whole: a bag holding any keyword replaces
    // the list another source gave (an IPTC block read before), one holding
    // none leaves it. Blank and repeated items are dropped.
    void subjects(size_t a, size_t b)
    {
        std::u16string before[INFO_KEYWORD_LAST - INFO_KEYWORD_FIRST + 1];
        for (int f = INFO_KEYWORD_FIRST; f <= INFO_KEYWORD_LAST; ++f) {
            if (const char16_t* t = bag_.get(f)) before[f - INFO_KEYWORD_FIRST] = t;
            bag_.set(f, nullptr);
        }
        int field = INFO_KEYWORD_FIRST;
        size_t from = a, itemA, itemB;
        while (field <= INFO_KEYWORD_LAST && nextItem(from, b, itemA, itemB)) {
            if (store(field, itemA, itemB) && !meta::keywordIsDropped(bag_, field)) ++field;
            else bag_.set(field, nullptr);
        }
        if (field > INFO_KEYWORD_FIRST) return;
        for (int f = INFO_KEYWORD_FIRST; f <= INFO_KEYWORD_LAST; ++f)
            if (!before[f - INFO_KEYWORD_FIRST].empty()) bag_.set(f, before[f - INFO_KEYWORD_FIRST].c_str());
    }

    void density()
    {
        if (!(xRes_ >= 0.5 && yRes_ >= 0.5) || (resUnit_ != 2 && resUnit_ != 3) || bag_.has(INFO_DENSITY)) return;
        double scale = resUnit_ == 3 ? 100 : 1;
        double x = std::min(std::floor(xRes_ * scale + 0.5), 2147483647.0);
        double y = std::min(std::floor(yRes_ * scale + 0.5), 2147483647.0);
        std::string text = std::to_string(int64_t(x)) + " x " + std::to_string(int64_t(y)) +
                           (resUnit_ == 2 ? " ppi" : " ppm");
        bag_.set(INFO_DENSITY, asciiToU16(text).c_str());
    }

    void gps()
    {
        if (!haveLat_ || !haveLon_) return;
        std::u16string text;
        appendDms(text, lat_, latRef_ == 'S' ? 'S' : 'N');
        text += u", ";
        appendDms(text, lon_, lonRef_ == 'W' ? 'W' : 'E');
        if (haveAltitude_) {
            double alt = std::min(std::floor(std::fabs(altitude_) + 0.5), 1e9);
            text += u", ";
            text += altitudeRef_ == 1 ? u'-' : u'+';
            text += asciiToU16(std::to_string(int64_t(alt)));
            text += u'm';
        }
        bag_.set(INFO_GPS, text.c_str());
    }

    ImageInfoBag& bag_;
    Packet<W> p_;
    std::vector<Binding> bindings_;
    double xRes_ = 0, yRes_ = 0;
    int resUnit_ = 0;
    double lat_[3] = {}, lon_[3] = {};
    char latRef_ = 'N', lonRef_ = 'E';
    bool haveLat_ = false, haveLon_ = false, haveAltitude_ = false;
    double altitude_ = 0;
    int altitudeRef_ = 0;
};

constexpr char kPacketStart[] = "<?xpacket begin=";  // its first 16 characters

bool startsWide(const uint8_t* d, size_t size, int width, bool bigEndian)
{
    if (size < size_t(16 * width)) return false;
    for (int i = 0; i < 16; ++i) {
        for (int k = 0; k < width; ++k) {
            int at = bigEndian ? width - 1 - k : k;
            uint8_t expect = k == 0 ? uint8_t(kPacketStart[i]) : 0;
            if (d[i * width + at] != expect) return false;
        }
    }
    return true;
}

} // namespace

void xmpParse(ImageInfoBag& bag, const uint8_t* data, size_t size)
{
    if (!data || size < 64) return;
    bool wideLe = startsWide(data, size, 2, false);
    if (std::memcmp(data, kPacketStart, 16) == 0 || (!wideLe && !startsWide(data, size, 2, true) &&
                                                     !startsWide(data, size, 4, false) &&
                                                     !startsWide(data, size, 4, true))) {
        Scanner<1>(bag, Packet<1>{data, size}).run(0);
        return;
    }
    if (!wideLe) return;
    Packet<2> p{data, size / 2};
    size_t from = 17;  // after the opening quote
    if (p.at(16) != '"' && p.at(16) != '\'') return;
    if (p.at(from) == 0xFFFE) return;
    if (p.at(from) == 0xFEFF) ++from;
    Scanner<2>(bag, p).run(from);
}

// ---- writer ----

namespace {

void put(XmpBuildState& s, const char* text, size_t n)
{
    if (s.fill && s.write) {
        std::memcpy(s.write, text, n);
        s.write += n;
    }
    s.length += n;
}
void put(XmpBuildState& s, const char* text) { put(s, text, std::strlen(text)); }
void put(XmpBuildState& s, const std::string& text) { put(s, text.data(), text.size()); }

void indent(XmpBuildState& s)
{
    static const char blanks[] = "                                ";
    put(s, blanks, std::min<size_t>(s.indent, sizeof blanks - 1));
}

// UTF-16 as UTF-8 with the characters XML reserves escaped; characters XML
// cannot carry (controls, lone surrogates) become blanks or U+FFFD.
std::string escaped(const char16_t* text)
{
    std::string out;
    if (!text) return out;
    for (size_t i = 0; text[i] && i < kTextSourceLimit; ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        switch (c) {
        case U'&': out += "&amp;"; continue;
        case U'<': out += "&lt;"; continue;
        case U'>': out += "&gt;"; continue;
        case U'"': out += "&quot;"; continue;
        default: break;
        }
        if (c < 0x20 && c != U'\t' && c != U'\n' && c != U'\r') c = U' ';
        if (c == 0xFFFE || c == 0xFFFF) c = 0xFFFD;
        if (c < 0x80) {
            out += char(c);
        } else if (c < 0x800) {
            out += char(0xC0 | (c >> 6));
            out += char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += char(0xE0 | (c >> 12));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        } else {
            out += char(0xF0 | (c >> 18));
            out += char(0x80 | ((c >> 12) & 0x3F));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        }
    }
    return out;
}

void writeElementText(XmpBuildState& s, const char* prefix, const char* name, const std::string& escapedText)
{
    indent(s);
    put(s, std::string("<") + prefix + ":" + name + ">");
    put(s, escapedText);
    put(s, std::string("</") + prefix + ":" + name + ">\n");
}

} // namespace

namespace meta {

// The parts of a creation date: "YYYY-MM-DD" and, when a time follows,
// "Thh:mm:ss" and an offset.
bool formatCreateDate(const char16_t* text, std::string& out)
{
    if (!text) return false;
    std::string s = u16ToApprox(text);
    size_t i = 0;
    auto digits = [&](int& v, size_t maxDigits) {
        size_t start = i;
        v = 0;
        while (i < s.size() && i - start < maxDigits && s[i] >= '0' && s[i] <= '9') v = v * 10 + (s[i++] - '0');
        return i > start;
    };
    auto dateSep = [&]() {
        if (i < s.size() && (s[i] == ' ' || s[i] == '-' || s[i] == '/' || s[i] == ':')) {
            ++i;
            return true;
        }
        return false;
    };
    while (i < s.size() && s[i] == ' ') ++i;
    int year, month, day;
    size_t yearStart = i;
    if (!digits(year, 4)) return false;
    if (i - yearStart <= 2) year += year < 70 ? 2000 : 1900;
    if (!dateSep() || !digits(month, 2) || !dateSep() || !digits(day, 2)) return false;
    // "5/3/2021" is no year-first date; reading it as 2005-03-20 would be wrong.
    if (i < s.size() && s[i] >= '0' && s[i] <= '9') return false;
    if (month < 1 || month > 12 || day < 1 || day > 31) return false;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", year, month, day);
    out = buf;
    if (i >= s.size() || !(s[i] == 'T' || s[i] == 't' || s[i] == ' ' || s[i] == ',' || s[i] == ';')) return true;
    ++i;
    while (i < s.size() && s[i] == ' ') ++i;
    int hour, minute, second = 0;
    if (!digits(hour, 2) || i >= s.size() || s[i] != ':') return true;
    ++i;
    if (!digits(minute, 2)) return true;
    bool roundUp = false;
    if (i < s.size() && s[i] == ':') {
        ++i;
        if (!digits(second, 2)) return true;
        if (i < s.size() && s[i] == '.') {
            ++i;
            roundUp = i < s.size() && s[i] >= '6' && s[i] <= '9';
            while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i;
        }
    }
    // 24:00 ends the day; any later time is no time.
    if (hour > 24 || minute > 59 || second > 59 || (hour == 24 && (minute || second || roundUp))) return true;
    if (roundUp && ++second == 60) {
        second = 0;
        if (++minute == 60) minute = 0, ++hour;
    }
    // Readers take hour 24 for an error: the end of a day is the start of
    // the next.
    if (hour == 24) {
        static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
        const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
        hour = 0;
        if (day >= kDays[month - 1] + (month == 2 && leap)) {
            day = 1;
            if (++month > 12) month = 1, ++year;
        } else {
            ++day;
        }
        if (year > 9999) return true;
        std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", year, month, day);
        out = buf;
    }
    std::snprintf(buf, sizeof buf, "T%02d:%02d:%02d", hour, minute, second);
    out += buf;
    while (i < s.size() && s[i] == ' ') ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
        char sign = s[i++];
        int zh, zm = 0;
        if (digits(zh, 2) && zh <= 23) {
            if (i < s.size() && s[i] == ':') ++i;
            if (!digits(zm, 2) || zm > 59) zm = 0;
            std::snprintf(buf, sizeof buf, "%c%02d:%02d", sign, zh, zm);
            out += buf;
        }
    }
    return true;
}

} // namespace meta

namespace {

using meta::formatCreateDate;

std::string coordinateText(uint32_t deg, uint32_t min, float sec, char ref)
{
    double s = std::isfinite(sec) ? std::clamp(double(sec), 0.0, 1e6) : 0.0;
    uint64_t hundredths = uint64_t(std::floor(s * 100 + 0.5));
    uint64_t m = min + hundredths / 6000;
    hundredths %= 6000;
    uint64_t d = deg;
    if (m >= 60 && min < 60) m -= 60, ++d;
    return std::to_string(d) + "," + std::to_string(m) + "," + std::to_string(hundredths / 100) + "." +
           char('0' + hundredths / 10 % 10) + char('0' + hundredths % 10) + ref;
}

struct Plan {
    bool density = false;
    uint32_t ppi[2] = {0, 0};
    std::string createDate;
    bool gps = false;
    GpsPosition position;
    bool tiff = false, xap = false, exif = false, dc = false;
};

Plan plan(const ImageInfo* info)
{
    Plan p;
    if (!info) return p;
    p.density = info->has(INFO_DENSITY) && parseResolution(p.ppi, info->get(INFO_DENSITY), true);
    p.tiff = p.density || info->has(INFO_CAMERA_MAKE) || info->has(INFO_CAMERA_MODEL);
    p.xap = info->has(INFO_CREATION_DATE) && formatCreateDate(info->get(INFO_CREATION_DATE), p.createDate);
    p.gps = info->has(INFO_GPS) && parseGpsPosition(p.position, info->get(INFO_GPS));
    p.exif = p.gps;
    for (int f : {INFO_TITLE, INFO_AUTHOR, INFO_COMMENTS, INFO_COPYRIGHT}) p.dc = p.dc || info->has(f);
    for (int f = INFO_KEYWORD_FIRST; f <= INFO_KEYWORD_LAST; ++f) p.dc = p.dc || info->has(f);
    return p;
}

} // namespace

void xmpWriteElement(XmpBuildState& state, const char* prefix, const char* name, const char16_t* text)
{
    writeElementText(state, prefix, name, escaped(text));
}

void xmpWriteContainer(XmpBuildState& state, const char* prefix, const char* name, const char* containerKind,
                       const char16_t* const* texts, size_t count, bool withLanguage)
{
    indent(state);
    put(state, std::string("<") + prefix + ":" + name + ">\n");
    state.indent += 3;
    indent(state);
    put(state, std::string("<rdf:") + containerKind + ">\n");
    state.indent += 3;
    for (size_t i = 0; i < count; ++i) {
        if (!texts[i] || !texts[i][0]) continue;
        indent(state);
        put(state, withLanguage ? "<rdf:li xml:lang=\"x-default\">" : "<rdf:li>");
        put(state, escaped(texts[i]));
        put(state, "</rdf:li>\n");
    }
    state.indent -= 3;
    indent(state);
    put(state, std::string("</rdf:") + containerKind + ">\n");
    state.indent -= 3;
    indent(state);
    put(state, std::string("</") + prefix + ":" + name + ">\n");
}

size_t xmpBuild(XmpBuildState& state, const ImageInfo* info)
{
    Plan p = plan(info);
    state.length = 0;
    if (!p.tiff && !p.xap && !p.exif && !p.dc) return 0;
    put(state, "<?xpacket begin=\"\xEF\xBB\xBF\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>\n");
    put(state, "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\">\n");
    put(state, "   <rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">\n");
    state.indent = 6;
    indent(state);
    put(state, "<rdf:Description rdf:about=\"\"");
    bool used[] = {p.tiff, p.xap, p.exif, p.dc};
    for (size_t k = 0; k < 4; ++k) {
        if (!used[k]) continue;
        put(state, std::string("\n") + std::string(state.indent + 3, ' ') + "xmlns:" + kSchemas[k].prefix + "=\"" +
                       kSchemas[k].uri + "\"");
    }
    put(state, ">\n");
    state.indent += 3;
    if (p.tiff) {
        if (p.density) {
            writeElementText(state, "tiff", "XResolution", std::to_string(p.ppi[0]) + "0000/10000");
            writeElementText(state, "tiff", "YResolution", std::to_string(p.ppi[1]) + "0000/10000");
            writeElementText(state, "tiff", "ResolutionUnit", "2");
        }
        if (info->has(INFO_CAMERA_MAKE)) xmpWriteElement(state, "tiff", "Make", info->get(INFO_CAMERA_MAKE));
        if (info->has(INFO_CAMERA_MODEL)) xmpWriteElement(state, "tiff", "Model", info->get(INFO_CAMERA_MODEL));
    }
    if (p.xap) writeElementText(state, "xap", "CreateDate", p.createDate);
    if (p.exif) {
        const GpsPosition& g = p.position;
        writeElementText(state, "exif", "GPSVersionID", "2.0.0.0");
        writeElementText(state, "exif", "GPSLatitude",
                         coordinateText(g.latDegrees, g.latMinutes, g.latSeconds, g.latRef == 'S' ? 'S' : 'N'));
        writeElementText(state, "exif", "GPSLongitude",
                         coordinateText(g.lonDegrees, g.lonMinutes, g.lonSeconds, g.lonRef == 'W' ? 'W' : 'E'));
        if (g.hasAltitude) {
            double a = std::isfinite(g.altitude) ? std::fabs(double(g.altitude)) : 0.0;
            writeElementText(state, "exif", "GPSAltitudeRef", g.altitude < 0 ? "1" : "0");
            writeElementText(state, "exif", "GPSAltitude",
                             std::to_string(uint64_t(std::min(std::floor(a + 0.5), 4294967295.0))) + "/1");
        }
    }
    if (p.dc) {
        const char16_t* one[1];
        struct {
            int field;
            const char* name;
            const char* kind;
            bool lang;
        } rows[] = {{INFO_TITLE, "title", "Alt", true},
                    {INFO_AUTHOR, "creator", "Seq", false},
                    {INFO_COMMENTS, "description", "Alt", true},
                    {INFO_COPYRIGHT, "rights", "Alt", true}};
        for (const auto& r : rows) {
            if (!info->has(r.field)) continue;
            one[0] = info->get(r.field);
            xmpWriteContainer(state, "dc", r.name, r.kind, one, 1, r.lang);
        }
        const char16_t* keywords[INFO_KEYWORD_LAST - INFO_KEYWORD_FIRST + 1];
        size_t n = 0;
        for (int f = INFO_KEYWORD_FIRST; f <= INFO_KEYWORD_LAST; ++f)
            if (info->has(f)) keywords[n++] = info->get(f);
        if (n) xmpWriteContainer(state, "dc", "subject", "Bag", keywords, n, false);
    }
    state.indent = 6;
    indent(state);
    put(state, "</rdf:Description>\n");
    put(state, "   </rdf:RDF>\n");
    put(state, "</x:xmpmeta>\n");
    put(state, std::string(128, ' ') + "\n");
    put(state, "<?xpacket end='w'?>");
    return state.length;
}

ResultCode xmpWriteToFile(OutputFile& out, const ImageInfo* info)
{
    XmpBuildState count;
    size_t n = xmpBuild(count, info);
    if (!n) return RC_OK;
    std::vector<uint8_t> buffer(n);
    XmpBuildState fill(buffer.data());
    if (xmpBuild(fill, info) != n) return RC_GENERAL_FAILURE;
    return out.write(buffer.data(), n);
}

namespace {

template <typename Unit>
int32_t parseDecimal(const Unit*& cursor, const Unit* end, int32_t fallback)
{
    const Unit* p = cursor;
    while (p < end && uint32_t(*p) <= 0x20) ++p;
    if (p < end && (*p == '+' || *p == '-')) ++p;
    if (p >= end || *p < '0' || *p > '9') return fallback;
    uint32_t v = 0;
    while (p < end && *p >= '0' && *p <= '9') v = v * 10 + uint32_t(*p++ - '0');
    cursor = p;
    return int32_t(v);
}

} // namespace

int32_t parseDecimalA(const char*& cursor, const char* end, int32_t fallback)
{
    return parseDecimal(cursor, end, fallback);
}

int32_t parseDecimalW(const char16_t*& cursor, const char16_t* end, int32_t fallback)
{
    return parseDecimal(cursor, end, fallback);
}

} // namespace quillon
