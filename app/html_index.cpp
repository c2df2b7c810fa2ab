#include "app/html_index.h"

#include <cstdio>

#include "core/text.h"
#include "platform/settings_store.h"

namespace quillon {

namespace {

// Replaces every byte that `keep` refuses with %XX.
template <class Keep>
void percentEncodeInPlace(std::string& text, Keep keep)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size() * 3);
    for (unsigned char c : text) {
        if (keep(c)) {
            out += char(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    text.swap(out);
}

} // namespace

void urlEncodeInPlace(std::string& text)
{
    percentEncodeInPlace(text, [](unsigned char c) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
        switch (c) {
        case '!': case '\'': case '(': case ')': case '*': case '-': case '.': case '/': case ':': case '\\':
        case '_': case '~':
            return true;
        default:
            return false;
        }
    });
}

void urlEncodeNonAsciiInPlace(std::string& text)
{
    percentEncodeInPlace(text, [](unsigned char c) { return c < 0x80; });
}

std::string indexHead(std::u16string_view bodyAttributes, int32_t spacing)
{
    std::string h;
    h += "<!Image index created by Quillon 5>\r\n\r\n<html>\r\n\r\n<head>\r\n";
    h += "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=ISO-8859-1\">\r\n";
    h += "</head>\r\n\r\n<body";
    // The attributes are the setting's own 8-bit text, as the page is.
    if (!bodyAttributes.empty()) h += " " + u16ToCp1252(bodyAttributes);
    h += ">\r\n\r\n<table border=0 cellspacing=" + std::to_string(spacing) + ">\r\n";
    return h;
}

std::string indexTail() { return "\r\n</table>\r\n\r\n</body>\r\n\r\n</html>\r\n"; }

bool indexThumbnailSize(uint32_t w, uint32_t h, uint32_t X, uint32_t Y, bool onlyDown, uint32_t* newW, uint32_t* newH)
{
    if (w == X && h == Y) return false;
    if (onlyDown && w <= X && h <= Y) return false;
    if (w == 0 || h == 0) return false;
    // 64-bit products: a large photo and a large box must not wrap.
    if (uint64_t(w) * Y < uint64_t(X) * h) {
        *newW = uint32_t(uint64_t(w) * Y / h);
        *newH = Y;
    } else {
        *newW = X;
        *newH = uint32_t(uint64_t(X) * h / w);
    }
    if (*newW == 0) *newW = 1;
    if (*newH == 0) *newH = 1;
    return true;
}

namespace {

std::string withSlash(std::string p)
{
    if (!p.empty() && p.back() != '/' && p.back() != '\\') p += '/';
    return p;
}

std::string replaceExtension(std::string name, const std::string& ext)
{
    size_t dot = name.rfind('.');
    if (dot != std::string::npos) name.resize(dot);
    return name + "." + ext;
}

// The prefixes are the user's own text and stay as typed; names from disk
// are encoded.
void encodeName(std::string& name, bool validUris)
{
    if (validUris) urlEncodeInPlace(name);
    else urlEncodeNonAsciiInPlace(name);
}

} // namespace

std::string indexCellLines(const IndexCell& c, int32_t& column)
{
    std::string out;
    if (column == 0) out += "\r\n<tr>\r\n";
    out += "<td align=center valign=top>\r\n\t";
    if (c.linkUrl != 0) {
        std::string address;
        if (c.linkUrl == 2) address = withSlash(u16ToCp1252(c.linkPrefix));
        std::string file;
        if (!c.linkFolder.empty()) file = withSlash(u16ToUtf8(c.linkFolder));
        file += replaceExtension(u16ToUtf8(c.thumbnailName), u16ToUtf8(c.fullExtension));
        encodeName(file, c.useValidUris);
        address += file;
        out += "<a href=\"" + address + "\"";
        if (c.linkToNew) out += " target=_blank";
        out += ">";
    }
    if (c.iconUrl != 0) {
        std::string address;
        if (c.iconUrl == 2) address = withSlash(u16ToCp1252(c.iconPrefix));
        std::string file;
        if (c.iconUrl != 2 && !c.iconSubdir.empty()) file = withSlash(u16ToUtf8(c.iconSubdir));
        file += u16ToUtf8(c.thumbnailName);
        encodeName(file, c.useValidUris);
        address += file;
        char dims[96];
        std::snprintf(dims, sizeof dims, " width=%u height=%u border=%d>", c.thumbWidth, c.thumbHeight,
                      c.imageBorder ? 1 : 0);
        out += "<img src=\"" + address + "\"" + dims + "<br/>";
    }
    if (c.linkUrl != 0) out += "</a>";
    if (c.fileName) {
        std::string name = u16ToApprox(c.sourceName);
        if (!c.fileExt) {
            size_t dot = name.rfind('.');
            if (dot != std::string::npos) name.resize(dot);
        }
        out += name + "<br/>";
    }
    if (c.imageRes) {
        if (c.resolutionKnown) {
            char res[64];
            std::snprintf(res, sizeof res, "%ux%ux%u", c.width, c.height, c.bits);
            out += res;
        }
        out += "<br/>";
    }
    out += "\r\n";
    column += 1;
    if (column >= c.columns) column = 0;
    return out;
}

} // namespace quillon
