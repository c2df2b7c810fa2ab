// Radiance RGBE: a text header of LF-ended lines, a resolution line, then
// scanlines of 4-byte pixels (three mantissas and a shared exponent), flat,
// with old-style repeat markers, or coded per component. Read into float
// RGBA; written with per-component runs.
#include "codecs/more/radiance.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "core/image_reader.h"
#include "core/image_writer.h"
#include "core/text.h"
#include "platform/memory.h"

namespace quillon {

const char16_t* const kRadianceSubFormats[] = {u"RLE", u""};
const ColourFormatFlags kRadianceSubFormatCaps[] = {CF_RGB_FLOAT};

namespace {

constexpr uint32_t kMinCoded = 8, kMaxCoded = 32767;
// From this width on the first pixel of a flat row could pass for a coded
// row's header, so such rows are always coded.
constexpr uint32_t kAlwaysCoded = 32512;

bool hasSignature(const uint8_t* data, uint64_t size)
{
    if (size < 11) return false;
    std::string_view s(reinterpret_cast<const char*>(data), 11);
    return s.starts_with("#?RADIANCE") || s.starts_with("#?RGBE");
}

bool isBlank(uint8_t c) { return c == ' ' || c == '\t'; }

std::string_view trim(std::string_view s)
{
    while (!s.empty() && (isBlank(uint8_t(s.front())) || s.front() == '\r')) s.remove_prefix(1);
    while (!s.empty() && (isBlank(uint8_t(s.back())) || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

struct Resolution {
    bool xFirst = false;
    bool firstPlus = false, secondPlus = false;
    uint64_t first = 0, second = 0;
};

// "[+-]Y n [+-]X n" or with X first; false when the line is something else.
bool parseResolution(std::string_view line, Resolution* r)
{
    size_t i = 0;
    auto blanks = [&] {
        while (i < line.size() && isBlank(uint8_t(line[i]))) ++i;
    };
    auto item = [&](char* axis, bool* plus, uint64_t* n) {
        blanks();
        *plus = true;
        if (i < line.size() && (line[i] == '+' || line[i] == '-')) *plus = line[i++] == '+';
        if (i >= line.size()) return false;
        char a = char(line[i] & ~0x20);
        if (a != 'X' && a != 'Y') return false;
        *axis = a;
        ++i;
        blanks();
        // Digits only: a sign here would be a negative size.
        size_t start = i;
        uint64_t v = 0;
        while (i < line.size() && line[i] >= '0' && line[i] <= '9') {
            v = std::min<uint64_t>(v * 10 + uint64_t(line[i] - '0'), uint64_t(1) << 40);
            ++i;
        }
        *n = v;
        return i > start;
    };
    char a1, a2;
    if (!item(&a1, &r->firstPlus, &r->first) || !item(&a2, &r->secondPlus, &r->second) || a1 == a2) return false;
    blanks();
    if (i != line.size()) return false;
    r->xFirst = a1 == 'X';
    return true;
}

// The orientation text for the order and signs of the resolution items. The
// first item is the outer loop; X grows to the right and Y upwards, so
// "-Y h +X w" is top-down, left to right. With X first a stored row is a
// column of the picture: "+X w -Y h" holds the columns from the left, each
// from the top (the transpose), "-X w +Y h" holds them from the right, each
// from the bottom up.
const char16_t* orientationOf(const Resolution& r)
{
    bool yPlus = r.xFirst ? r.secondPlus : r.firstPlus;
    bool xPlus = r.xFirst ? r.firstPlus : r.secondPlus;
    if (!r.xFirst) {
        if (!yPlus) return xPlus ? nullptr : u"Mirrored";
        return xPlus ? u"Bottom-Up" : u"Rotated 180";
    }
    if (!yPlus) return xPlus ? u"Rotated 90 & Bottom-Up" : u"Rotated 270";
    return xPlus ? u"Rotated 90" : u"Rotated 270 & Bottom-Up";
}

class RadianceReader final : public ImageReader {
public:
    RadianceReader(MappedFile* f, const FormatDescriptor* d) : ImageReader(f, d) {}

protected:
    ResultCode readHeader(const void* options) override;
    ResultCode readPixels(Image* image, bool reduced, Progress* progress, AbortFlag* abort) override;

private:
    bool decodeRow(uint8_t* out, uint64_t* pos, const uint8_t previous[4]) const;

    uint64_t dataOffset_ = 0;
};

ResultCode RadianceReader::readHeader(const void*)
{
    const uint8_t* data = input->data();
    uint64_t size = input->size();
    if (!hasSignature(data, size)) return RC_UNKNOWN_FORMAT;
    colourModel = CM_RGB;
    uint64_t pos = 0, rows = 0, columns = 0;
    for (;;) {
        while (pos < size && (data[pos] == 0 || data[pos] == '\n' || data[pos] == '\r')) ++pos;
        if (pos >= size || data[pos] < 32) return RC_UNKNOWN_FORMAT;
        uint64_t end = pos;
        while (end < size && data[end] != '\n' && data[end] != 0) ++end;
        std::string_view line(reinterpret_cast<const char*>(data + pos), size_t(end - pos));
        uint64_t next = end < size ? end + 1 : end;
        if (line[0] == '#') {
            if (line.size() < 2 || line[1] != '?') {
                std::string_view text = trim(line.substr(1));
                if (!text.empty() && !info.has(INFO_COMMENTS))
                    infoSetBorrowed(info, INFO_COMMENTS, text.data(), uint32_t(text.size()), BORROW_CP1252);
            }
            pos = next;
            continue;
        }
        size_t eq = line.find('=');
        if (eq != std::string_view::npos) {
            std::string_view key = trim(line.substr(0, eq)), value = trim(line.substr(eq + 1));
            if (equalsNoCase(key, "format")) {
                if (equalsNoCase(value, "32-bit_rle_rgbe")) colourModel = CM_RGB;
                else if (equalsNoCase(value, "32-bit_rle_xyze")) colourModel = CM_XYZ;
                else return RC_UNSUPPORTED_SUBFORMAT;
            }
            pos = next;
            continue;
        }
        Resolution r;
        if (!parseResolution(trim(line), &r)) {
            pos = next;
            continue;
        }
        // Scanlines follow the first item, pixels within them the second:
        // the image is kept in file order and the orientation tells how to
        // turn it.
        if (!r.first || !r.second) return RC_CORRUPT_FILE;
        rows = r.first;
        columns = r.second;
        if (const char16_t* o = orientationOf(r)) info.set(INFO_ORIENTATION, o);
        dataOffset_ = next;
        break;
    }
    pixelFormat = PF_RGBA_FLOAT;
    bitsPerPixel = 32;
    alphaKind = ALPHA_NONE;
    // Every scanline, flat, repeated or coded, holds at least one 4-byte
    // record (repeats do not reach into the next row): data too short for
    // that is a damaged file, refused before an image of the size it claims
    // is made (and cleared). The slack keeps the bound clear of any whole
    // file.
    const uint64_t have = size - dataOffset_;
    if (rows * 4 > have + 64) return RC_CORRUPT_FILE;
    // Rows too narrow or too wide to be coded are flat: data that cannot
    // fill even the first of them holds no picture.
    const bool flat = columns < kMinCoded || columns > kMaxCoded;
    if (flat && columns * 4 > have) return RC_CORRUPT_FILE;
    const uint64_t rowBytes = columns * sizeof(RgbaF);
    const bool fits32 = rows <= UINT32_MAX && columns <= UINT32_MAX && rowBytes <= UINT32_MAX - 64;
    if (fits32) {
        height = uint32_t(rows);
        width = uint32_t(columns);
    }
    // Without the slack, and flat rows whole, for a picture too large to
    // make: the size is a lie, not a picture too large for memory.
    uint64_t least;
    if ((!fits32 || imageBeyondAllocationCap(this)) &&
        (!checkedMul(rows, flat ? columns * 4 : 4, &least) || least > have))
        return RC_CORRUPT_FILE;
    if (!fits32) return RC_OUT_OF_MEMORY;
    minRowBytes = uint32_t(rowBytes);
    return RC_OK;
}

// One scanline into `out` (width x 4 bytes, zeroed by the caller). False when
// the data ends or is damaged first.
bool RadianceReader::decodeRow(uint8_t* out, uint64_t* pos, const uint8_t previous[4]) const
{
    const uint8_t* data = input->data();
    uint64_t size = input->size();
    uint64_t p = *pos;
    bool mayCode = width >= kMinCoded && width <= kMaxCoded;
    if (mayCode && p + 4 <= size && data[p] == 2 && data[p + 1] == 2 && data[p + 2] == (width >> 8) &&
        data[p + 3] == (width & 255)) {
        p += 4;
        for (uint32_t c = 0; c < 4; ++c) {
            uint32_t x = 0;
            while (x < width) {
                if (p >= size) { *pos = p; return false; }
                uint32_t count = data[p++];
                if (count > 128) {
                    if (p >= size) { *pos = p; return false; }
                    uint32_t n = std::min(count - 128, width - x);
                    for (uint8_t v = data[p++]; n--; ++x) out[4 * x + c] = v;
                } else {
                    // A zero count would never move on.
                    if (!count) { *pos = p; return false; }
                    uint64_t have = std::min<uint64_t>(count, size - p);
                    uint32_t n = uint32_t(std::min<uint64_t>(have, width - x));
                    for (uint32_t k = 0; k < n; ++k, ++x) out[4 * x + c] = data[p + k];
                    p += have;
                    if (have < count) { *pos = p; return false; }
                }
            }
        }
        *pos = p;
        return true;
    }
    uint32_t x = 0, shift = 0;
    while (x < width) {
        if (p + 4 > size) { *pos = size; return false; }
        const uint8_t* px = data + p;
        p += 4;
        if (mayCode && px[0] == 1 && px[1] == 1 && px[2] == 1) {
            // Repeats the pixel before; the first pixel of a row repeats the
            // previous row's last one.
            const uint8_t* src = x ? out + 4 * (x - 1) : previous;
            uint64_t n = std::min<uint64_t>(uint64_t(px[3]) << shift, width - x);
            for (; n; --n, ++x) std::memcpy(out + 4 * x, src, 4);
            shift = shift < 16 ? shift + 8 : 0;
            continue;
        }
        shift = 0;
        std::memcpy(out + 4 * x++, px, 4);
    }
    *pos = p;
    return true;
}

ResultCode RadianceReader::readPixels(Image* image, bool, Progress* progress, AbortFlag* abort)
{
    AlignedBuffer<uint8_t> line(uint64_t(width) * 4 + 16);
    if (!line) return RC_OUT_OF_MEMORY;
    uint8_t previous[4] = {0, 0, 0, 0};
    uint64_t pos = dataOffset_;
    bool complete = true;
    for (uint32_t y = 0; y < height; ++y) {
        std::memset(line.get(), 0, size_t(width) * 4);
        if (complete) complete = decodeRow(line.get(), &pos, previous);
        RgbaF* dst = image->row<RgbaF>(y);
        const uint8_t* src = line.get();
        for (uint32_t x = 0; x < width; ++x, src += 4) {
            float r, g, b;
            radianceToFloat(src, &r, &g, &b);
            dst[x] = {b, g, r, 1.0f};
        }
        std::memcpy(previous, line.get() + 4 * (uint64_t(width) - 1), 4);
        if (aborted(abort)) return RC_OK;
        if ((y & 15) == 15) reportProgress(progress, y + 1, height);
    }
    return complete ? RC_OK : RC_CORRUPT_FILE;
}

// ---- writer ----

class RadianceWriter final : public ImageWriter {
public:
    using ImageWriter::ImageWriter;

protected:
    ResultCode encode(Image* image, const char16_t* subFormatName, uint32_t colourFlag, uint32_t bitsPerPixel,
                      int32_t parameter, bool allFrames, void* extra) override;
};

ResultCode RadianceWriter::encode(Image* image, const char16_t*, uint32_t colourFlag, uint32_t, int32_t, bool, void*)
{
    if (colourFlag != CF_RGB_FLOAT || !image->rgbaFloatView()) return RC_UNSUPPORTED_COLOUR_FORMAT;
    uint32_t w = image->width, h = image->height;
    AlignedBuffer<uint8_t> flat(uint64_t(w) * 4 + 16);
    AlignedBuffer<uint8_t> coded(uint64_t(w) * 5 + 16);
    if (!flat || !coded) return RC_OUT_OF_MEMORY;

    std::string header = "#?RADIANCE\n";
    const ImageInfo* inf = image->info();
    if (const char16_t* comment = inf ? inf->get(INFO_COMMENTS) : nullptr) {
        std::u16string_view cv(comment);
        std::string text(cv.size() * 2 + 1, '\0');
        wideToAnsiApprox(text.data(), comment, text.size());
        text.resize(std::strlen(text.c_str()));
        // One header line: a line break inside would end the header early
        // or make the rest of the comment read as header lines.
        std::replace(text.begin(), text.end(), '\n', ' ');
        std::replace(text.begin(), text.end(), '\r', ' ');
        if (!text.empty()) header += "# " + text + "\n";
    }
    char res[64];
    std::snprintf(res, sizeof res, "-Y %u +X %u\n", h, w);
    header += "FORMAT=32-bit_rle_rgbe\n\n";
    header += res;
    if (failed(output.write(header.data(), header.size()))) return RC_WRITE_FAILED;

    bool coding = w >= kMinCoded && w <= kMaxCoded;
    for (uint32_t y = 0; y < h; ++y) {
        const RgbaF* px = image->row<RgbaF>(y);
        for (uint32_t x = 0; x < w; ++x) radianceFromFloat(flat.get() + 4 * x, px[x].r, px[x].g, px[x].b);
        const uint8_t* out = flat.get();
        uint32_t n = w * 4;
        if (coding) {
            uint32_t c = radianceEncodeRow(coded.get(), flat.get(), w);
            if (c < n || w >= kAlwaysCoded) out = coded.get(), n = c;
        }
        if (failed(output.write(out, n))) return RC_WRITE_FAILED;
    }
    return failed(output.flush()) ? RC_WRITE_FAILED : RC_OK;
}

// Codes one component (every fourth byte) of a scanline.
uint32_t encodeComponent(uint8_t* out, const uint8_t* in, uint32_t width)
{
    auto at = [&](uint32_t i) { return in[4 * i]; };
    uint32_t o = 0, cur = 0;
    while (cur < width) {
        uint32_t begRun = cur, runCount = 0, oldRunCount = 0;
        // The next run of at least four equal bytes.
        while (runCount < 4 && begRun < width) {
            begRun += runCount;
            oldRunCount = runCount;
            runCount = 1;
            while (begRun + runCount < width && runCount < 127 && at(begRun) == at(begRun + runCount)) ++runCount;
        }
        if (oldRunCount > 1 && oldRunCount == begRun - cur) {
            out[o++] = uint8_t(128 + oldRunCount);
            out[o++] = at(cur);
            cur = begRun;
        }
        while (cur < begRun) {
            uint32_t n = std::min<uint32_t>(128, begRun - cur);
            out[o++] = uint8_t(n);
            for (uint32_t k = 0; k < n; ++k) out[o++] = at(cur + k);
            cur += n;
        }
        if (runCount >= 4) {
            out[o++] = uint8_t(128 + runCount);
            out[o++] = at(begRun);
            cur += runCount;
        }
    }
    return o;
}

} // namespace

void radianceFromFloat(uint8_t out[4], float r, float g, float b)
{
    auto clean = [](float v) { return std::isfinite(v) ? v : 0.0f; };
    r = clean(r), g = clean(g), b = clean(b);
    float v = std::max(r, std::max(g, b));
    if (v <= 1e-32f) {
        out[0] = out[1] = out[2] = out[3] = 0;
        return;
    }
    int e;
    float f = std::frexp(v, &e);
    float scale = f * 255.9999f / v;
    auto mantissa = [&](float c) { return uint8_t(std::clamp(std::trunc(c * scale), 0.0f, 255.0f)); };
    out[0] = mantissa(r);
    out[1] = mantissa(g);
    out[2] = mantissa(b);
    out[3] = uint8_t(std::clamp(e + 128, 0, 255));
}

void radianceToFloat(const uint8_t in[4], float* r, float* g, float* b)
{
    if (!in[3]) {
        *r = *g = *b = 0.0f;
        return;
    }
    float scale = std::ldexp(1.0f, int(in[3]) - 136);
    *r = (float(in[0]) + 0.5f) * scale;
    *g = (float(in[1]) + 0.5f) * scale;
    *b = (float(in[2]) + 0.5f) * scale;
}

uint32_t radianceEncodeRow(uint8_t* out, const uint8_t* rgbe, uint32_t width)
{
    uint32_t o = 0;
    out[o++] = 2;
    out[o++] = 2;
    out[o++] = uint8_t(width >> 8);
    out[o++] = uint8_t(width & 255);
    for (uint32_t c = 0; c < 4; ++c) o += encodeComponent(out + o, rgbe + c, width);
    return o;
}

ResultCode radianceProbe(MappedFile* file)
{
    return file && hasSignature(file->data(), file->size()) ? RC_OK : RC_UNKNOWN_FORMAT;
}

ImageReader* radianceReaderCreate(MappedFile* file, const FormatDescriptor* descriptor)
{
    return new (std::nothrow) RadianceReader(file, descriptor);
}

ImageWriter* radianceWriterCreate(const std::filesystem::path& path, const FormatDescriptor* descriptor)
{
    return writerCreate<RadianceWriter>(path, descriptor);
}

} // namespace quillon
