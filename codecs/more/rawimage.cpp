// RawImage descriptions: "RawImage { width 640; height 480; format uint8;
// R { file "a.raw"; start 0; delta 3; } ... }" read through a small
// tokenizer and parser; the samples come from the files the channels name.
// Written as the description plus one interleaved or one file per channel.
#include "codecs/more/rawimage.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <new>
#include <system_error>
#include <vector>

#include "core/convert.h"
#include "core/image_reader.h"
#include "core/image_writer.h"
#include "core/text.h"
#include "platform/mapped_file.h"
#include "platform/memory.h"
#include "platform/output_file.h"

namespace quillon {

namespace fs = std::filesystem;

const char16_t* const kRawImageSubFormats[] = {u"Luminance", u"Interleaved", u"Separated", u""};
const ColourFormatFlags kRawImageSubFormatCaps[] = {
    CF_GRAY8 | CF_GRAY16 | CF_GRAY_FLOAT,
    CF_RGB24 | CF_RGBA32 | CF_RGB48 | CF_RGBA64 | CF_RGB_FLOAT | CF_RGBA_FLOAT,
    CF_RGB24 | CF_RGBA32 | CF_RGB48 | CF_RGBA64 | CF_RGB_FLOAT | CF_RGBA_FLOAT};

// ---- tokens ----

namespace {

bool isBlank(char c) { return c == ' ' || c == 0 || c == '\t' || c == '\n' || c == '\r' || c == ';' || c == '='; }

} // namespace

bool TokenCursor::atTerminator(const char* p) const
{
    if (p >= end_) return true;
    if (isBlank(*p)) return true;
    return *p == '/' && p + 1 < end_ && (p[1] == '*' || p[1] == '/');
}

void TokenCursor::skipBlank()
{
    while (p_ < end_) {
        if (isBlank(*p_)) {
            ++p_;
        } else if (*p_ == '/' && p_ + 1 < end_ && p_[1] == '*') {
            static constexpr char kClose[] = "*/";
            const char* close = std::search(p_ + 2, end_, kClose, kClose + 2);
            p_ = close == end_ ? end_ : close + 2;
        } else if (*p_ == '/' && p_ + 1 < end_ && p_[1] == '/') {
            while (p_ < end_ && *p_ != '\n') ++p_;
        } else {
            return;
        }
    }
}

bool TokenCursor::next(std::string* token, bool* continues)
{
    skipBlank();
    if (p_ >= end_) return false;
    const char* from = p_;
    const char* to;
    if (*p_ == '"' && !(p_ + 1 < end_ && p_[1] == '"')) {
        // A quoted string: up to the first word that ends with a quote.
        const char* q = p_ + 1;
        for (;;) {
            q = std::find(q, end_, '"');
            if (q == end_ || atTerminator(q + 1)) break;
            ++q;
        }
        from = p_ + 1;
        to = q;
        p_ = q == end_ ? end_ : q + 1;
    } else {
        while (!atTerminator(p_)) ++p_;
        to = p_;
    }
    // The statement ends at a ";" after the token, blanks before it aside.
    const char* after = p_;
    while (after < end_ && (*after == ' ' || *after == '\t' || *after == '\r' || *after == '\n' || *after == 0))
        ++after;
    *continues = after < end_ && *after != ';';
    if (size_t(to - from) > kMaxToken) {
        token->clear();
        *continues = false;
    } else {
        token->assign(from, to);
    }
    return true;
}

bool rawImageNumber(std::string_view t, int64_t* out)
{
    size_t i = 0;
    bool negative = false;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) negative = t[i++] == '-';
    bool hex = !t.empty() && (t.back() == 'h' || t.back() == 'H');
    size_t start = i;
    int64_t v = 0;
    for (; i < t.size(); ++i) {
        char c = t[i];
        int d = c >= '0' && c <= '9' ? c - '0' : -1;
        if (hex && d < 0) d = c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        if (d < 0) break;
        v = v * (hex ? 16 : 10) + d;
        if (v > INT32_MAX + int64_t(1)) return false;
    }
    if (i == start) return false;
    v = negative ? -v : v;
    if (v > INT32_MAX || v < INT32_MIN) return false;
    *out = v;
    return true;
}

// ---- parser ----

namespace {

constexpr int kMaxNesting = 16;

struct Parser {
    TokenCursor cursor;
    fs::path descriptionPath;
    RawImageDescription* d;
    std::string token;
    bool continues = false;

    bool next() { return cursor.next(&token, &continues); }
    // Skips the rest of the statement the last token belongs to.
    void skipStatement()
    {
        while (continues && next()) {
        }
    }
    bool skipTo(std::string_view what)
    {
        while (next())
            if (token == what) return true;
        return false;
    }

    // A name without a separator replaces the file-name part of the
    // description's path; "\" separates as "/" does.
    bool resolvePath(fs::path* out)
    {
        if (!continues || !next() || token.empty()) return false;
        std::string name = token;
        std::replace(name.begin(), name.end(), '\\', '/');
        auto place = [&](const std::string& n) {
            return n.find('/') != std::string::npos ? fs::path(n) : descriptionPath.parent_path() / fs::path(n);
        };
        fs::path path = place(name);
        std::error_code ec;
        if (!fs::exists(path, ec)) {
            // Descriptions written elsewhere may hold Windows-1252 names for
            // files that are named in UTF-8 here. Only the description's text
            // is read that way: the folder it lies in keeps its own bytes.
            fs::path other = place(u16ToUtf8(latin1ToU16(name)));
            if (fs::exists(other, ec)) path = other;
        }
        *out = path;
        return true;
    }

    static int channelIndex(std::string_view key, bool* rgb, bool* ycbcr)
    {
        struct Key {
            const char* name;
            int index;
            int kind;  // 1 RGB, 2 YCbCr
        } static const keys[] = {{"L", 0, 0}, {"I", 0, 0}, {"B", 0, 1},  {"G", 1, 1},  {"R", 2, 1},
                                 {"A", 3, 0}, {"Y", 0, 2}, {"Cb", 1, 2}, {"Cr", 2, 2}};
        for (const Key& k : keys)
            if (equalsNoCase(key, std::string_view(k.name))) {
                *rgb = k.kind == 1;
                *ycbcr = k.kind == 2;
                return k.index;
            }
        return -1;
    }

    void channel(uint32_t index)
    {
        if (!skipTo("{")) return;
        RawChannel* rec = nullptr;
        for (uint32_t i = 0; i < d->channels; ++i)
            if (d->channel[i].index == index) rec = &d->channel[i];
        if (!rec && d->channels < 4) {
            rec = &d->channel[d->channels++];
            rec->index = index;
        }
        if (!rec) {
            skipTo("}");
            return;
        }
        while (next() && token != "}") {
            int64_t n;
            if (equalsNoCase(token, std::string_view("file"))) {
                resolvePath(&rec->file);
            } else if (equalsNoCase(token, std::string_view("start"))) {
                if (continues && next() && rawImageNumber(token, &n)) rec->start = n;
            } else if (equalsNoCase(token, std::string_view("delta"))) {
                if (continues && next() && rawImageNumber(token, &n)) rec->delta = n;
            }
        }
    }

    void text(std::string* out)
    {
        if (continues && next()) *out = token.substr(0, 100);
    }

    // The statements of a block whose "{" was read.
    void block(int depth)
    {
        while (next()) {
            if (token == "}") return;
            if (token == "{") {
                if (depth < kMaxNesting) block(depth + 1);
                else skipTo("}");
                continue;
            }
            bool rgb, ycbcr;
            int index = channelIndex(token, &rgb, &ycbcr);
            if (index >= 0) {
                d->rgbKeys += rgb;
                d->ycbcrKeys += ycbcr;
                channel(uint32_t(index));
                continue;
            }
            int64_t n;
            std::string_view key = token;
            if (equalsNoCase(key, std::string_view("width")) || equalsNoCase(key, std::string_view("height"))) {
                bool isWidth = equalsNoCase(key, std::string_view("width"));
                // A negative size is no size.
                if (continues && next() && rawImageNumber(token, &n)) (isWidth ? d->width : d->height) = n > 0 ? uint32_t(n) : 0;
            } else if (equalsNoCase(key, std::string_view("format"))) {
                if (continues && next()) {
                    if (token == "uint8") d->sampleBytes = 1;
                    else if (token == "uint16") d->sampleBytes = 2;
                    else if (token == "float32") d->sampleBytes = 4;
                }
            } else if (equalsNoCase(key, std::string_view("name"))) {
                text(&d->name);
            } else if (equalsNoCase(key, std::string_view("copyright"))) {
                text(&d->copyright);
            } else if (equalsNoCase(key, std::string_view("comment"))) {
                text(&d->comment);
            } else if (equalsNoCase(key, std::string_view("file"))) {
                fs::path p;
                if (resolvePath(&p))
                    for (RawChannel& c : d->channel) c.file = p;
            }
            skipStatement();
        }
    }
};

} // namespace

bool rawImageParse(std::string_view text, const fs::path& path, RawImageDescription* out)
{
    *out = RawImageDescription();
    for (RawChannel& c : out->channel) c.file = path;
    Parser p{TokenCursor(text.data(), text.size()), path, out, {}, false};
    if (!p.next() || !equalsNoCase(p.token, std::string_view("RawImage"))) return false;
    if (p.skipTo("{")) p.block(0);
    for (RawChannel& c : out->channel)
        if (c.delta < 0) c.delta = out->sampleBytes;
    return true;
}

namespace {

std::string_view textOf(MappedFile* f) { return {reinterpret_cast<const char*>(f->data()), size_t(f->size())}; }

class RawImageReader final : public ImageReader {
public:
    RawImageReader(MappedFile* f, const FormatDescriptor* d) : ImageReader(f, d) {}

protected:
    ResultCode readHeader(const void* options) override;
    ResultCode readPixels(Image* image, bool reduced, Progress* progress, AbortFlag* abort) override;
};

ResultCode RawImageReader::readHeader(const void*)
{
    RawImageDescription d;
    if (!rawImageParse(textOf(input), input->name(), &d)) return RC_UNKNOWN_FORMAT;
    if (!d.width || !d.height || !d.channels) return RC_CORRUPT_FILE;
    width = d.width;
    height = d.height;
    bitsPerPixel = 8 * d.channels;
    static const PixelFormat grey[] = {PF_SAME, PF_GRAY8, PF_GRAY16, PF_SAME, PF_GRAY_FLOAT};
    static const PixelFormat colour[] = {PF_SAME, PF_RGBA8, PF_RGBA16, PF_SAME, PF_RGBA_FLOAT};
    pixelFormat = d.channels == 1 ? grey[d.sampleBytes] : colour[d.sampleBytes];
    colourModel = d.channels == 1 ? CM_L : d.ycbcrKeys > d.rgbKeys ? CM_YCBCR : CM_RGB;
    alphaKind = d.channels == 4 ? ALPHA_STRAIGHT : ALPHA_NONE;
    // The data files hold the picture, so they bound it: a channel whose
    // data cannot fill even the first row holds no picture, and one with
    // fewer bytes than the picture has rows could not hold them however
    // narrow, so the size is a lie whose picture would take memory out of
    // all proportion to the data. Both are refused before the picture is
    // made; rows between are a cut file's, which keeps them. Files that are
    // missing or not regular fail as such when the samples are read.
    for (uint32_t c = 0; c < d.channels; ++c) {
        const RawChannel& ch = d.channel[c];
        struct stat st {};
        if (ch.start < 0 || stat(ch.file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        const uint64_t have = uint64_t(st.st_size) > uint64_t(ch.start) ? uint64_t(st.st_size) - uint64_t(ch.start) : 0;
        uint64_t firstRow;
        if (!checkedMul(uint64_t(width - 1), uint64_t(ch.delta), &firstRow) ||
            !checkedAdd(firstRow, d.sampleBytes, &firstRow) || have < firstRow || height > have)
            return RC_CORRUPT_FILE;
    }
    uint64_t row = uint64_t(width) * bytesPerPixel(pixelFormat);
    if (row > UINT32_MAX - 64) return RC_OUT_OF_MEMORY;
    minRowBytes = uint32_t(row);
    if (!d.name.empty()) info.set(INFO_TITLE, latin1ToU16(d.name).c_str());
    if (!d.copyright.empty()) info.set(INFO_COPYRIGHT, latin1ToU16(d.copyright).c_str());
    if (!d.comment.empty()) info.set(INFO_COMMENTS, latin1ToU16(d.comment).c_str());
    return RC_OK;
}

ResultCode RawImageReader::readPixels(Image* image, bool, Progress* progress, AbortFlag* abort)
{
    RawImageDescription d;
    if (!rawImageParse(textOf(input), input->name(), &d)) return RC_UNKNOWN_FORMAT;
    if (d.width != width || d.height != height || d.channels == 0) return RC_CORRUPT_FILE;
    uint32_t sb = d.sampleBytes;
    uint32_t pixelBytes = d.channels == 1 ? sb : 4 * sb;
    for (uint32_t y = 0; y < height; ++y) std::memset(image->rowBytesPtr(y), 0, size_t(width) * pixelBytes);
    if (d.channels < 4 && d.channels > 1) {
        // No alpha channel: opaque.
        for (uint32_t y = 0; y < height; ++y)
            for (uint32_t x = 0; x < width; ++x) {
                uint8_t* a = image->rowBytesPtr(y) + uint64_t(x) * pixelBytes + 3 * sb;
                if (sb == 1) *a = 255;
                else if (sb == 2) std::memset(a, 0xFF, 2);
                else {
                    const float one = 1.0f;
                    std::memcpy(a, &one, 4);
                }
            }
    }
    bool complete = true;
    for (uint32_t c = 0; c < d.channels; ++c) {
        const RawChannel& ch = d.channel[c];
        // Only regular files: a pipe or a device would never end.
        struct stat st {};
        if (stat(ch.file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return RC_OPEN_FAILED;
        Ref<MappedFile> file = Ref<MappedFile>::adopt(st.st_size ? mappedFileOpen(ch.file) : nullptr);
        if (st.st_size && !file) return RC_OPEN_FAILED;
        const uint8_t* data = file ? file->data() : nullptr;
        int64_t size = file ? int64_t(file->size()) : 0;
        uint32_t offset = d.channels == 1 ? 0 : ch.index * sb;
        int64_t pos = ch.start;
        for (uint32_t y = 0; y < height; ++y) {
            uint8_t* dst = image->rowBytesPtr(y) + offset;
            for (uint32_t x = 0; x < width; ++x, pos += ch.delta, dst += pixelBytes) {
                if (pos < 0 || pos + sb > size) {
                    complete = false;
                    continue;
                }
                std::memcpy(dst, data + pos, sb);
            }
            if (aborted(abort)) return RC_OK;
        }
        reportProgress(progress, c + 1, d.channels);
    }
    return complete ? RC_OK : RC_CORRUPT_FILE;
}

// ---- writer ----

class RawImageWriter final : public ImageWriter {
public:
    using ImageWriter::ImageWriter;

protected:
    ResultCode encode(Image* image, const char16_t* subFormatName, uint32_t colourFlag, uint32_t bitsPerPixel,
                      int32_t parameter, bool allFrames, void* extra) override;

private:
    // The data files: written under temporary names, renamed by the caller
    // with the description when it asked to name them, else here.
    struct DataFile {
        fs::path final, temporary;
    };
    ResultCode writeData(Image* image, uint32_t channels, uint32_t sb, bool interleaved, std::vector<DataFile>& files);
    ResultCode placeData(std::vector<DataFile>& files);
};

std::string eightBit(const char16_t* text)
{
    if (!text || !*text) return {};
    std::string s = u16ToApprox(text);
    // No escape exists inside a quoted value.
    std::replace(s.begin(), s.end(), '"', '\'');
    return s.substr(0, 100);
}

constexpr const char* kRgbaNames[] = {"R", "G", "B", "A"};
constexpr const char* kLuminanceNames[] = {"L"};
constexpr uint32_t kRgbaIndex[] = {2, 1, 0, 3};  // of R, G, B, A in a pixel

std::string descriptionText(const Image* image, uint32_t channels, uint32_t sb, bool interleaved,
                            const std::vector<std::string>& files)
{
    const char* const* names = channels == 1 ? kLuminanceNames : kRgbaNames;
    std::string text = "RawImage {\r\n";
    char line[160];
    std::snprintf(line, sizeof line, "\twidth %u;\r\n\theight %u;\r\n\tformat %s;\r\n", image->width, image->height,
                  sb == 1 ? "uint8" : sb == 2 ? "uint16" : "float32");
    text += line;
    if (const ImageInfo* inf = image->info()) {
        std::string name = eightBit(inf->get(INFO_TITLE)), copyright = eightBit(inf->get(INFO_COPYRIGHT)),
                    comment = eightBit(inf->get(INFO_COMMENTS));
        if (!name.empty()) text += "\tname \"" + name + "\";\r\n";
        if (!copyright.empty()) text += "\tcopyright \"" + copyright + "\";\r\n";
        if (!comment.empty()) text += "\tcomment \"" + comment + "\";\r\n";
    }
    if (interleaved) {
        text += "\tfile \"" + files[0] + "\";\r\n";
        for (uint32_t c = 0; c < channels; ++c) {
            std::snprintf(line, sizeof line, "\t%s {\r\n\t\tstart %u;\r\n\t\tdelta %u;\r\n\t}\r\n", names[c], c * sb,
                          sb * channels);
            text += line;
        }
    } else {
        for (uint32_t c = 0; c < channels; ++c)
            text += std::string("\t") + names[c] + " {\r\n\t\tfile \"" + files[c] + "\";\r\n\t}\r\n";
    }
    return text + "}\r\n";
}

ResultCode RawImageWriter::writeData(Image* image, uint32_t channels, uint32_t sb, bool interleaved,
                                     std::vector<DataFile>& files)
{
    const uint32_t w = image->width, perFile = interleaved ? channels : 1;
    AlignedBuffer<uint8_t> row(uint64_t(w) * sb * perFile + 16);
    AlignedBuffer<uint8_t> straight(uint64_t(w) * 4 * sb + 16);
    if (!row || !straight) return RC_OUT_OF_MEMORY;
    const bool premultiplied = image->alphaKind == ALPHA_PREMULTIPLIED && channels == 4 && sb <= 2;
    const uint32_t pixelBytes = channels == 1 ? sb : 4 * sb;
    for (size_t f = 0; f < files.size(); ++f) {
        DataFile& file = files[f];
        const std::string hidden = "." + file.final.filename().native() + ".part";
        file.temporary = companionTemporary ? companionTemporary(file.final) : file.final.parent_path() / hidden;
        OutputFile out;
        if (failed(out.create(file.temporary))) return RC_CREATE_FAILED;
        for (uint32_t y = 0; y < image->height; ++y) {
            const uint8_t* src = image->rowBytesPtr(y);
            if (premultiplied) {
                if (sb == 1) unpremultiplyRow8(reinterpret_cast<Rgba8*>(straight.get()), image->row<Rgba8>(y), w);
                else unpremultiplyRow16(reinterpret_cast<Rgba16*>(straight.get()), image->row<Rgba16>(y), w);
                src = straight.get();
            }
            uint8_t* o = row.get();
            for (uint32_t x = 0; x < w; ++x)
                for (uint32_t k = 0; k < perFile; ++k) {
                    const uint32_t c = interleaved ? k : uint32_t(f);
                    const uint32_t at = channels == 1 ? 0 : kRgbaIndex[c] * sb;
                    std::memcpy(o, src + uint64_t(x) * pixelBytes + at, sb);
                    o += sb;
                }
            if (failed(out.write(row.get(), size_t(o - row.get())))) return RC_WRITE_FAILED;
        }
        if (failed(out.close())) return RC_WRITE_FAILED;
    }
    return RC_OK;
}

// Written in place: the description must be on disk before its data files
// appear, or one that fails now (a full disk) leaves data files without a
// description.
ResultCode RawImageWriter::placeData(std::vector<DataFile>& files)
{
    if (failed(output.flush())) return RC_WRITE_FAILED;
    std::error_code ec;
    for (size_t f = 0; f < files.size(); ++f) {
        fs::rename(files[f].temporary, files[f].final, ec);
        if (ec) {
            for (size_t g = 0; g < f; ++g) fs::remove(files[g].final, ec);
            return RC_WRITE_FAILED;
        }
    }
    return RC_OK;
}

ResultCode RawImageWriter::encode(Image* image, const char16_t* subFormatName, uint32_t colourFlag, uint32_t,
                                  int32_t, bool, void*)
{
    uint32_t channels, sb;
    switch (colourFlag) {
    case CF_GRAY8: channels = 1, sb = 1; break;
    case CF_RGB24: channels = 3, sb = 1; break;
    case CF_RGBA32: channels = 4, sb = 1; break;
    case CF_GRAY16: channels = 1, sb = 2; break;
    case CF_RGB48: channels = 3, sb = 2; break;
    case CF_RGBA64: channels = 4, sb = 2; break;
    case CF_GRAY_FLOAT: channels = 1, sb = 4; break;
    case CF_RGB_FLOAT: channels = 3, sb = 4; break;
    case CF_RGBA_FLOAT: channels = 4, sb = 4; break;
    default: return RC_UNSUPPORTED_COLOUR_FORMAT;
    }
    static const PixelFormat grey[] = {PF_SAME, PF_GRAY8, PF_GRAY16, PF_SAME, PF_GRAY_FLOAT};
    static const PixelFormat colour[] = {PF_SAME, PF_RGBA8, PF_RGBA16, PF_SAME, PF_RGBA_FLOAT};
    if (image->pixelFormat != (channels == 1 ? grey[sb] : colour[sb])) return RC_INVALID_PARAMETER;
    const bool interleaved =
        channels == 1 || std::u16string_view(subFormatName ? subFormatName : u"") == kRawImageSubFormats[1];

    // Named after the output's own name, whatever name it is written under.
    const fs::path target = targetPath();
    std::string base = target.filename().native();
    base = base.substr(0, std::min(base.size(), base.rfind('.')));
    const char* const* names = channels == 1 ? kLuminanceNames : kRgbaNames;
    std::vector<std::string> fileNames;
    if (interleaved) {
        std::string all;
        for (uint32_t c = 0; c < channels; ++c) all += names[c];
        fileNames.push_back(base + "." + all);
    } else {
        for (uint32_t c = 0; c < channels; ++c) fileNames.push_back(base + "." + names[c]);
    }
    std::vector<DataFile> files;
    for (const std::string& f : fileNames) files.push_back({target.parent_path() / f, {}});
    // A data file already there is replaced only when the description it
    // belongs to is (the batch has asked about that one).
    std::error_code ec;
    const bool mayReplace = finalPath.empty() || fs::exists(finalPath, ec);
    for (const DataFile& f : files)
        if (!mayReplace && fs::exists(f.final, ec)) return RC_CREATE_FAILED;

    const std::string text = descriptionText(image, channels, sb, interleaved, fileNames);
    if (failed(output.write(text.data(), text.size()))) return RC_WRITE_FAILED;
    ResultCode rc = writeData(image, channels, sb, interleaved, files);
    // A caller that named the temporaries puts them in place itself.
    if (succeeded(rc) && !companionTemporary) rc = placeData(files);
    if (failed(rc))
        for (const DataFile& f : files)
            if (!f.temporary.empty()) fs::remove(f.temporary, ec);
    return rc;
}

} // namespace

ResultCode rawImageProbe(MappedFile* file)
{
    if (!file) return RC_UNKNOWN_FORMAT;
    // Only the first token decides, and it lies near the start: every file
    // of a batch is probed, and a large one must not be scanned through.
    TokenCursor c(reinterpret_cast<const char*>(file->data()), size_t(std::min<uint64_t>(file->size(), 65536)));
    std::string token;
    bool continues;
    return c.next(&token, &continues) && equalsNoCase(token, std::string_view("RawImage")) ? RC_OK
                                                                                           : RC_UNKNOWN_FORMAT;
}

ImageReader* rawImageReaderCreate(MappedFile* file, const FormatDescriptor* descriptor)
{
    return new (std::nothrow) RawImageReader(file, descriptor);
}

ImageWriter* rawImageWriterCreate(const fs::path& path, const FormatDescriptor* descriptor)
{
    return writerCreate<RawImageWriter>(path, descriptor);
}

} // namespace quillon
