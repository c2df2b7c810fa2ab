#include "platform/profile.h"

#include "core/byte_cursor.h"
#include "core/text.h"
#include "platform/settings_store.h"

namespace quillon {

namespace {

// Larger files are not presets; reading them would only waste memory.
constexpr size_t kMaxProfileBytes = size_t(4) << 20;

bool isBlank(char16_t c) { return c == u' ' || c == u'\t'; }

std::u16string_view trim(std::u16string_view s)
{
    while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
    return s;
}

bool isQuote(char16_t c) { return c == u'"' || c == u'\''; }

// The section name of a header line, or nothing for other lines.
std::optional<std::u16string_view> headerName(std::u16string_view line)
{
    std::u16string_view t = trim(line);
    if (t.empty() || t.front() != u'[') return std::nullopt;
    t.remove_prefix(1);
    size_t close = t.find(u']');
    if (close != std::u16string_view::npos) t = t.substr(0, close);
    return trim(t);
}

// Splits "key = value" into its trimmed parts; false for blank, comment,
// header and other lines without '='.
bool splitKeyLine(std::u16string_view line, std::u16string_view& key, std::u16string_view& value)
{
    std::u16string_view t = trim(line);
    if (t.empty() || t.front() == u';' || t.front() == u'[') return false;
    size_t eq = t.find(u'=');
    if (eq == std::u16string_view::npos) return false;
    key = trim(t.substr(0, eq));
    value = trim(t.substr(eq + 1));
    if (value.size() >= 2 && isQuote(value.front()) && value.back() == value.front()) value = value.substr(1, value.size() - 2);
    return true;
}

bool validUtf8(const uint8_t* p, size_t n)
{
    size_t i = 0;
    while (i < n) {
        uint8_t b = p[i];
        size_t len;
        uint32_t min;
        if (b < 0x80) { ++i; continue; }
        if ((b & 0xE0) == 0xC0) { len = 2; min = 0x80; }
        else if ((b & 0xF0) == 0xE0) { len = 3; min = 0x800; }
        else if ((b & 0xF8) == 0xF0) { len = 4; min = 0x10000; }
        else return false;
        if (n - i < len) return false;
        uint32_t cp = b & (0x7F >> len);
        for (size_t k = 1; k < len; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (p[i + k] & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += len;
    }
    return true;
}

std::u16string formatInt(int32_t v) { return asciiToU16(std::to_string(v)); }

} // namespace

std::u16string decodeTextFile(const uint8_t* data, size_t size)
{
    if (!data || size == 0) return {};
    if (size >= 2 && ((data[0] == 0xFF && data[1] == 0xFE) || (data[0] == 0xFE && data[1] == 0xFF))) {
        bool little = data[0] == 0xFF;
        ByteCursor in(data + 2, (size - 2) & ~size_t(1));
        std::u16string out;
        out.reserve(in.size() / 2);
        while (!in.atEnd()) out.push_back(char16_t(little ? in.u16le() : in.u16be()));
        return out;
    }
    if (size >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF) {
        data += 3;
        size -= 3;
        return utf8ToU16(std::string_view(reinterpret_cast<const char*>(data), size));
    }
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    if (validUtf8(data, size)) return utf8ToU16(bytes);
    return cp1252ToU16(bytes);
}

ProfileFile::ProfileFile(const std::filesystem::path& file)
{
    std::vector<uint8_t> bytes;
    if (!readWholeFile(file, bytes, kMaxProfileBytes)) return;
    parse(decodeTextFile(bytes.data(), bytes.size()));
    readable_ = true;
}

ProfileFile ProfileFile::fromBytes(const uint8_t* data, size_t size)
{
    ProfileFile f;
    f.parse(decodeTextFile(data, size));
    f.readable_ = true;
    return f;
}

void ProfileFile::parse(std::u16string_view text)
{
    lines_.clear();
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find(u'\n', start);
        size_t end = nl == std::u16string_view::npos ? text.size() : nl;
        std::u16string_view line = text.substr(start, end - start);
        if (!line.empty() && line.back() == u'\r') {
            line.remove_suffix(1);
            crlf_ = true;
        }
        // Text after a NUL is not part of the line on the original platform.
        line = line.substr(0, line.find(u'\0'));
        lines_.emplace_back(line);
        if (nl == std::u16string_view::npos) break;
        start = nl + 1;
    }
}

ptrdiff_t ProfileFile::findSection(std::u16string_view section) const
{
    for (size_t i = 0; i < lines_.size(); ++i) {
        auto name = headerName(lines_[i]);
        if (name && equalsNoCase(*name, trim(section))) return ptrdiff_t(i);
    }
    return -1;
}

ptrdiff_t ProfileFile::sectionEnd(ptrdiff_t header) const
{
    size_t i = size_t(header) + 1;
    while (i < lines_.size() && !headerName(lines_[i])) ++i;
    return ptrdiff_t(i);
}

ptrdiff_t ProfileFile::findKey(ptrdiff_t header, std::u16string_view key) const
{
    ptrdiff_t end = sectionEnd(header);
    for (ptrdiff_t i = header + 1; i < end; ++i) {
        std::u16string_view k, v;
        if (splitKeyLine(lines_[size_t(i)], k, v) && equalsNoCase(k, trim(key))) return i;
    }
    return -1;
}

std::optional<std::u16string> ProfileFile::get(std::u16string_view section, std::u16string_view key) const
{
    ptrdiff_t header = findSection(section);
    if (header < 0) return std::nullopt;
    ptrdiff_t line = findKey(header, key);
    if (line < 0) return std::nullopt;
    std::u16string_view k, v;
    splitKeyLine(lines_[size_t(line)], k, v);
    return std::u16string(v);
}

std::vector<std::u16string> ProfileFile::keys(std::u16string_view section) const
{
    std::vector<std::u16string> out;
    ptrdiff_t header = findSection(section);
    if (header < 0) return out;
    ptrdiff_t end = sectionEnd(header);
    for (ptrdiff_t i = header + 1; i < end; ++i) {
        std::u16string_view k, v;
        if (splitKeyLine(lines_[size_t(i)], k, v)) out.emplace_back(k);
    }
    return out;
}

std::u16string ProfileFile::getString(std::u16string_view section, std::u16string_view key, std::u16string_view def,
                                      size_t maxUnits) const
{
    std::optional<std::u16string> v = get(section, key);
    std::u16string out = v ? std::move(*v) : std::u16string(def);
    if (maxUnits == 0) return {};
    if (out.size() > maxUnits - 1) out.resize(maxUnits - 1);
    return out;
}

std::optional<int32_t> ProfileFile::getInt(std::u16string_view section, std::u16string_view key) const
{
    std::optional<std::u16string> v = get(section, key);
    if (!v) return std::nullopt;
    const char16_t* p = v->c_str();
    while (isBlank(*p)) ++p;
    const char16_t* digits = p;
    if (*digits == u'-' || *digits == u'+') ++digits;
    if (*digits < u'0' || *digits > u'9') return std::nullopt;
    bool negative = *p == u'-';
    uint32_t value = 0;
    for (const char16_t* d = digits; *d >= u'0' && *d <= u'9'; ++d) value = value * 10u + uint32_t(*d - u'0');
    if (negative) value = 0u - value;
    return int32_t(value);
}

int32_t ProfileFile::getInt(std::u16string_view section, std::u16string_view key, int32_t def) const
{
    return getInt(section, key).value_or(def);
}

bool ProfileFile::set(std::u16string_view section, std::u16string_view key, const std::u16string* value)
{
    bool ok = true;
    std::u16string line;
    if (value) {
        std::u16string_view v(*value);
        v = v.substr(0, v.find(u'\0'));
        if (v.find_first_of(u"\r\n") != std::u16string_view::npos) {
            ok = false;
            value = nullptr;
        } else {
            line.assign(trim(key));
            line += u'=';
            bool quote = !v.empty() && (isBlank(v.front()) || isBlank(v.back()) || isQuote(v.front()) || isQuote(v.back()));
            if (quote) line += u'"';
            line += v;
            if (quote) line += u'"';
        }
    }
    ptrdiff_t header = findSection(section);
    if (!value) {
        if (header < 0) return ok;
        // Every copy goes: a later duplicate would otherwise surface.
        for (ptrdiff_t i; (i = findKey(header, key)) >= 0;) lines_.erase(lines_.begin() + i);
        return ok;
    }
    if (header < 0) {
        lines_.push_back(u"[" + std::u16string(trim(section)) + u"]");
        lines_.push_back(std::move(line));
        return ok;
    }
    ptrdiff_t at = findKey(header, key);
    if (at >= 0) {
        lines_[size_t(at)] = std::move(line);
        return ok;
    }
    // Behind the section's last non-blank line, so blank separators stay
    // between sections.
    ptrdiff_t end = sectionEnd(header);
    while (end > header + 1 && trim(lines_[size_t(end - 1)]).empty()) --end;
    lines_.insert(lines_.begin() + end, std::move(line));
    return ok;
}

bool ProfileFile::setInt(std::u16string_view section, std::u16string_view key, int32_t value)
{
    std::u16string text = formatInt(value);
    return set(section, key, &text);
}

std::string ProfileFile::text() const
{
    std::string out;
    const char* eol = crlf_ ? "\r\n" : "\n";
    for (const std::u16string& line : lines_) {
        out += u16ToUtf8(line);
        out += eol;
    }
    return out;
}

bool ProfileFile::save(const std::filesystem::path& file) const
{
    std::string bytes = text();
    return writeFileAtomically(file, bytes.data(), bytes.size());
}

} // namespace quillon
