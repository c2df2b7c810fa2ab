#include "app/output_names.h"

#include <cstdlib>

#include <algorithm>
#include <system_error>
#include <vector>

#include "core/text.h"

namespace quillon {

const uint8_t asciiNameTable[256] = {
    // 0x00-0x7F: unchanged
    0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F,
    0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19, 0x1A, 0x1B, 0x1C, 0x1D, 0x1E, 0x1F,
    0x20, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0x28, 0x29, 0x2A, 0x2B, 0x2C, 0x2D, 0x2E, 0x2F,
    0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3A, 0x3B, 0x3C, 0x3D, 0x3E, 0x3F,
    0x40, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4A, 0x4B, 0x4C, 0x4D, 0x4E, 0x4F,
    0x50, 0x51, 0x52, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5A, 0x5B, 0x5C, 0x5D, 0x5E, 0x5F,
    0x60, 0x61, 0x62, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6A, 0x6B, 0x6C, 0x6D, 0x6E, 0x6F,
    0x70, 0x71, 0x72, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7A, 0x7B, 0x7C, 0x7D, 0x7E, 0x7F,
    0x45, 0x20, 0x27, 0x66, 0x22, 0x2E, 0x23, 0x23, 0x5E, 0x25, 0x53, 0x3C, 0x41, 0x20, 0x5A, 0x20,
    0x20, 0x27, 0x27, 0x22, 0x22, 0x2A, 0x2D, 0x2D, 0x7E, 0x74, 0x53, 0x3E, 0x61, 0x20, 0x7A, 0x59,
    0x20, 0x21, 0x63, 0x70, 0x2A, 0x59, 0x7C, 0x24, 0x22, 0x63, 0x2A, 0x3C, 0x2D, 0x2D, 0x72, 0x5F,
    0x20, 0x20, 0x32, 0x33, 0x27, 0x6D, 0x50, 0x2A, 0x2C, 0x31, 0x30, 0x3E, 0x20, 0x20, 0x20, 0x3F,
    0x41, 0x41, 0x41, 0x41, 0x41, 0x41, 0x41, 0x43, 0x45, 0x45, 0x45, 0x45, 0x49, 0x49, 0x49, 0x49,
    0x44, 0x4E, 0x4F, 0x4F, 0x4F, 0x4F, 0x4F, 0x78, 0x4F, 0x55, 0x55, 0x55, 0x55, 0x59, 0x54, 0x42,
    0x61, 0x61, 0x61, 0x61, 0x61, 0x61, 0x61, 0x63, 0x65, 0x65, 0x65, 0x65, 0x69, 0x69, 0x69, 0x69,
    0x64, 0x6E, 0x6F, 0x6F, 0x6F, 0x6F, 0x6F, 0x2F, 0x6F, 0x75, 0x75, 0x75, 0x75, 0x79, 0x74, 0x79,
};

std::u16string asciiFileName(std::u16string_view name)
{
    std::u16string out;
    out.reserve(name.size());
    for (char16_t c : name) {
        // A byte of a name that is not UTF-8 (carried as U+DC80..U+DCFF) is
        // most likely Latin-1 or Windows-1252, which is what the table reads.
        if (c >= 0xDC80 && c <= 0xDCFF) c = char16_t(c - 0xDC00);
        char16_t r = c < 0x100 ? char16_t(asciiNameTable[c]) : u'_';
        // The table maps the division sign to "/", which would split the
        // name into a folder: keep names names.
        if (r == u'/') r = u'_';
        out += r;
    }
    return out;
}

std::filesystem::path keptSubFolders(const std::filesystem::path& sourceFolder, int levels)
{
    std::vector<std::filesystem::path> parts;
    // "." and ".." are not folder levels; kept, a ".." would lead the output
    // out of the output folder, perhaps onto the sources.
    for (const auto& p : sourceFolder.relative_path())
        if (!p.empty() && p != "." && p != "..") parts.push_back(p);
    size_t first;
    if (levels < 0) {
        size_t keep = size_t(-int64_t(levels));
        first = parts.size() > keep ? parts.size() - keep : 0;
    } else {
        // The root counts as the first component: drop `levels` folders after it.
        first = std::min(parts.size(), size_t(levels));
    }
    std::filesystem::path kept;
    for (size_t i = first; i < parts.size(); ++i) kept /= parts[i];
    if (!kept.empty()) kept += "/";
    return kept;
}

std::u16string sanitizeFolderName(std::u16string_view name)
{
    std::u16string out(name);
    for (char16_t& c : out) {
        switch (c) {
        case u'"': c = u'\''; break;
        case u'*': c = u'x'; break;
        case u'<': c = u'('; break;
        case u'>': c = u')'; break;
        case u'/': case u'\\': case u':': case u'?': case u'|': c = u','; break;
        default: break;
        }
    }
    return out;
}

std::u16string slotSubFolderName(std::u16string_view formatDescription, std::u16string_view subFormat,
                                 int32_t compParam, std::u16string_view colourName)
{
    std::u16string name(formatDescription);
    name += u" - ";
    name += subFormat;
    if (compParam > 0) name += u" " + asciiToU16(std::to_string(compParam));
    name += u" - ";
    name += colourName;
    return sanitizeFolderName(name);
}

std::u16string outputFileName(std::u16string_view sourceFileName, std::u16string_view overrideName,
                              std::u16string_view extension)
{
    std::u16string name;
    if (!overrideName.empty()) {
        // A name typed by the user stays one name: a "/" in it would put the
        // output into another folder, even outside the output folder.
        name = overrideName;
        std::replace(name.begin(), name.end(), u'/', u'_');
    } else {
        size_t end = sourceFileName.size();
        size_t dot = sourceFileName.rfind(u'.');
        bool doubleDotEnd = sourceFileName.size() >= 2 && sourceFileName.substr(sourceFileName.size() - 2) == u"..";
        if (dot != std::u16string_view::npos && !doubleDotEnd) end = dot;
        name = sourceFileName.substr(0, end);
    }
    // A source without an extension, written by extension, has none to add.
    if (!extension.empty()) {
        name += u'.';
        name += extension;
    }
    return name;
}

std::filesystem::path expandHomeFolder(const std::filesystem::path& path)
{
    const std::string& text = path.native();
    if (text.empty() || text[0] != '~' || (text.size() > 1 && text[1] != '/')) return path;
    const char* home = std::getenv("HOME");
    if (!home || !*home) return path;
    std::string rest = text.substr(1);
    std::string base = home;
    if (!rest.empty() && !base.empty() && base.back() == '/') base.pop_back();
    return std::filesystem::path(base + rest);
}

bool directoryCreatePath(const std::filesystem::path& path)
{
    if (path.empty()) return false;
    std::error_code ec;
    std::filesystem::path cut;
    for (const auto& part : path) {
        cut /= part;
        if (cut.empty() || part == "/") continue;
        if (std::filesystem::is_directory(cut, ec)) continue;
        if (!std::filesystem::create_directory(cut, ec) && !std::filesystem::is_directory(cut, ec)) return false;
    }
    return std::filesystem::is_directory(path, ec);
}

} // namespace quillon
