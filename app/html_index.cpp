#include "app/html_index.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <system_error>

#include "app/temp_files.h"
#include "core/text.h"

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
    h += "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=UTF-8\">\r\n";
    h += "</head>\r\n\r\n<body";
    // The user's own markup, as typed.
    if (!bodyAttributes.empty()) h += " " + u16ToUtf8(bodyAttributes);
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

// Text taken from a file or its information, as character data or inside
// a quoted attribute: a name may hold anything, markup included.
std::string escaped(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c;
        }
    }
    return out;
}

// The prefixes are the user's own text and stay as typed; names from disk
// are the bytes of the names on disk, which need not be UTF-8, so every byte
// outside ASCII is percent-encoded (the page stays UTF-8 and the link still
// reaches the file), and what encoding leaves of markup is escaped.
std::string encodeName(std::string name, bool validUris)
{
    if (validUris) urlEncodeInPlace(name);
    else urlEncodeNonAsciiInPlace(name);
    return escaped(name);
}

} // namespace

std::string indexCellLines(const IndexCell& c, int32_t& column)
{
    std::string out;
    if (column == 0) out += "\r\n<tr>\r\n";
    out += "<td align=center valign=top>\r\n\t";
    if (c.linkUrl != 0) {
        std::string address;
        if (c.linkUrl == 2) address = withSlash(u16ToUtf8(c.linkPrefix));
        std::string file;
        if (!c.linkFolder.empty()) file = withSlash(u16ToNameBytes(c.linkFolder));
        file += replaceExtension(u16ToNameBytes(c.thumbnailName), u16ToNameBytes(c.fullExtension));
        address += encodeName(file, c.useValidUris);
        out += "<a href=\"" + address + "\"";
        if (c.linkToNew) out += " target=_blank";
        out += ">";
    }
    if (c.iconUrl != 0) {
        std::string address;
        if (c.iconUrl == 2) address = withSlash(u16ToUtf8(c.iconPrefix));
        std::string file;
        if (c.iconUrl != 2 && !c.iconSubdir.empty()) file = withSlash(u16ToNameBytes(c.iconSubdir));
        file += u16ToNameBytes(c.thumbnailName);
        address += encodeName(file, c.useValidUris);
        char dims[96];
        std::snprintf(dims, sizeof dims, " width=%u height=%u border=%d>", c.thumbWidth, c.thumbHeight,
                      c.imageBorder ? 1 : 0);
        out += "<img src=\"" + address + "\"" + dims + "<br/>";
    }
    if (c.linkUrl != 0) out += "</a>";
    if (c.fileName) {
        std::string name = u16ToUtf8(c.sourceName);
        if (!c.fileExt) {
            size_t dot = name.rfind('.');
            if (dot != std::string::npos) name.resize(dot);
        }
        out += escaped(name) + "<br/>";
    }
    if (c.imageRes) {
        if (c.resolutionKnown) {
            char res[64];
            std::snprintf(res, sizeof res, "%ux%ux%u", c.width, c.height, c.bits);
            out += escaped(res);
        }
        out += "<br/>";
    }
    out += "\r\n";
    column += 1;
    if (column >= c.columns) column = 0;
    return out;
}

bool writeIndexPage(const std::filesystem::path& page, std::string_view text)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    // A page reached through a symbolic link is replaced where the link
    // points, as an output is.
    fs::path target = page;
    if (fs::is_symlink(page, ec)) {
        fs::path resolved = fs::canonical(page, ec);
        if (!ec && fs::is_regular_file(resolved, ec)) target = resolved;
    }
    const fs::path temporary = temporaryBeside(target);
    LiveTemporary live(temporary);
    // Created as the outputs are, so the user's umask decides who may read
    // it; a page it replaces keeps that one's permissions.
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    bool ok = true;
    for (size_t done = 0; ok && done < text.size();) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += size_t(n);
    }
    struct stat old {};
    if (ok && ::stat(target.c_str(), &old) == 0 && S_ISREG(old.st_mode)) ::fchmod(fd, old.st_mode & 07777);
    ok = ok && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(temporary.c_str(), target.c_str()) == 0;
    if (!ok) {
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

} // namespace quillon
