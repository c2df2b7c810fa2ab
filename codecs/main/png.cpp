// PNG and APNG. The reader walks the chunks at header time (one reader per
// animation frame, chained), and at pixel time inflates the frame's IDAT or
// fdAT data row by row, undoes the filters and the Adam7 interlacing and
// converts the samples. The writer packs rows into PNG sample order, filters
// them and deflates each frame into IDAT or fdAT chunks, a large frame in
// pieces on the task pool joined into one stream.
#include "codecs/main/png.h"

#include <zlib.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include "codecs/main/xmp.h"
#include "core/bitpack.h"
#include "core/byte_cursor.h"
#include "core/convert.h"
#include "core/frame_rect.h"
#include "core/resize.h"
#include "core/image_reader.h"
#include "core/image_writer.h"
#include "core/quantize.h"
#include "core/text.h"
#include "platform/memory.h"
#include "platform/tasks.h"

namespace quillon {

const char16_t* const kPngSubFormats[] = {u"Normal", u"Super optimized", u""};
const ColourFormatFlags kPngSubFormatCaps[] = {
    CF_2_COLOURS | CF_4_COLOURS | CF_16_COLOURS | CF_256_COLOURS | CF_GRAY8 | CF_RGB24 | CF_RGBA32 | CF_GRAY16 |
        CF_RGB48 | CF_RGBA64,
    CF_2_COLOURS | CF_4_COLOURS | CF_16_COLOURS | CF_256_COLOURS | CF_GRAY8 | CF_RGB24 | CF_RGBA32 | CF_GRAY16 |
        CF_RGB48 | CF_RGBA64,
};

const PngKeywordField kPngKeywordFields[] = {
    {INFO_TITLE, "Title"},        {INFO_AUTHOR, "Author"},
    {INFO_COMMENTS, "Description"}, {INFO_COPYRIGHT, "Copyright"},
    {INFO_CREATION_DATE, "Creation Time"}, {INFO_SOURCE, "Source"},
    {255, nullptr},
};

namespace {

const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
// The keyword of XMP packets in text chunks.
const char kXmpKeyword[] = "XML:com.adobe.xmp";
// PNG's own limit on either dimension.
constexpr uint32_t kMaxDimension = 0x7FFFFFFF;

constexpr uint32_t chunkType(const char (&t)[5])
{
    return (uint32_t(uint8_t(t[0])) << 24) | (uint32_t(uint8_t(t[1])) << 16) | (uint32_t(uint8_t(t[2])) << 8) |
           uint32_t(uint8_t(t[3]));
}
constexpr uint32_t kIHDR = chunkType("IHDR"), kPLTE = chunkType("PLTE"), kIDAT = chunkType("IDAT"),
                   kIEND = chunkType("IEND"), kTRNS = chunkType("tRNS"), kBKGD = chunkType("bKGD"),
                   kPHYS = chunkType("pHYs"), kTEXT = chunkType("tEXt"), kITXT = chunkType("iTXt"),
                   kACTL = chunkType("acTL"), kFCTL = chunkType("fcTL"), kFDAT = chunkType("fdAT");

bool hasSignature(const uint8_t* data, uint64_t size) { return size >= 8 && std::memcmp(data, kSignature, 8) == 0; }

bool isLetter(uint8_t c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

enum ChunkState { CHUNK_OK, CHUNK_END, CHUNK_CUT, CHUNK_BAD };

struct Chunk {
    uint64_t pos = 0;   // of the length field
    uint64_t next = 0;  // of the chunk after it
    uint32_t length = 0;
    uint32_t type = 0;
    const uint8_t* data = nullptr;
    uint32_t present = 0;  // data bytes inside the file (less than length when cut)
};

// The chunk at `pos`. CHUNK_END: fewer than the 12 bytes of a chunk's frame
// are left; CHUNK_CUT: the file ends inside its data or CRC (what is there
// is described); CHUNK_BAD: its type is not four letters.
ChunkState readChunk(const uint8_t* data, uint64_t size, uint64_t pos, Chunk& c)
{
    if (pos > size || size - pos < 12) return CHUNK_END;
    c.pos = pos;
    c.length = loadU32be(data + pos);
    c.type = loadU32be(data + pos + 4);
    for (int i = 0; i < 4; ++i)
        if (!isLetter(data[pos + 4 + uint64_t(i)])) return CHUNK_BAD;
    c.data = data + pos + 8;
    uint64_t end = pos + 12 + uint64_t(c.length);
    c.next = end;
    if (end > size) {
        uint64_t avail = size - pos - 8;
        c.present = uint32_t(std::min<uint64_t>(avail, c.length));
        return CHUNK_CUT;
    }
    c.present = c.length;
    return CHUNK_OK;
}

bool keywordIs(const uint8_t* text, size_t length, const char* keyword)
{
    return equalsNoCase(std::string_view(reinterpret_cast<const char*>(text), length), std::string_view(keyword));
}

// ---- row helpers ----

inline uint8_t paethPredict(int a, int b, int c)
{
    int pa = std::abs(b - c), pb = std::abs(a - c), pc = std::abs(a + b - 2 * c);
    if (pa <= pb && pa <= pc) return uint8_t(a);
    return uint8_t(pb <= pc ? b : c);
}

template <uint32_t BPP>
void unfilterRowBpp(uint32_t type, uint8_t* row, const uint8_t* prev, size_t n)
{
    size_t first = std::min<size_t>(BPP, n);
    switch (type) {
    case 1:
        for (size_t i = BPP; i < n; ++i) row[i] = uint8_t(row[i] + row[i - BPP]);
        break;
    case 2:
        for (size_t i = 0; i < n; ++i) row[i] = uint8_t(row[i] + prev[i]);
        break;
    case 3:
        for (size_t i = 0; i < first; ++i) row[i] = uint8_t(row[i] + (prev[i] >> 1));
        for (size_t i = BPP; i < n; ++i) row[i] = uint8_t(row[i] + ((row[i - BPP] + prev[i]) >> 1));
        break;
    case 4:
        for (size_t i = 0; i < first; ++i) row[i] = uint8_t(row[i] + prev[i]);
        for (size_t i = BPP; i < n; ++i) row[i] = uint8_t(row[i] + paethPredict(row[i - BPP], prev[i], prev[i - BPP]));
        break;
    default:
        break;
    }
}

// What the row converters need besides the samples.
struct RowContext {
    uint32_t depth = 8;
    // The tRNS key at the file's depth (grey in key[0]), or -1 for none.
    int32_t key[3] = {-1, -1, -1};
};
using RowFn = void (*)(uint8_t* dst, const uint8_t* src, uint32_t count, const RowContext& ctx);

void rowCopy8(uint8_t* dst, const uint8_t* src, uint32_t n, const RowContext&) { std::memcpy(dst, src, n); }

// Sub-byte samples, MSB first, to one raw value per byte.
void rowUnpack(uint8_t* dst, const uint8_t* src, uint32_t n, const RowContext& ctx)
{
    unpackSamples(dst, src, n, ctx.depth);
}

void rowGray16(uint8_t* dst, const uint8_t* src, uint32_t n, const RowContext&)
{
    auto* out = reinterpret_cast<uint16_t*>(dst);
    for (uint32_t i = 0; i < n; ++i) out[i] = loadU16be(src + 2 * i);
}

void rowRgb8(uint8_t* dst, const uint8_t* src, uint32_t n, const RowContext&)
{
    for (uint32_t i = 0; i < n; ++i, src += 3, dst += 4) {
        dst[0] = src[2];
        dst[1] = src[1];
        dst[2] = src[0];
        dst[3] = 255;
    }
}

void rowRgb16(uint8_t* dst, const uint8_t* src, uint32_t n, const RowContext&)
{
    auto* out = reinterpret_cast<uint16_t*>(dst);
    for (uint32_t i = 0; i < n; ++i, src += 6, out += 4) {
        out[0] = loadU16be(src + 4);
        out[1] = loadU16be(src + 2);
        out[2] = loadU16be(src);
        out[3] = 65535;
    }
}

void rowRgba8(uint8_t* dst, const uint8_t* src, uint32_t n, const RowContext&)
{
    for (uint32_t i = 0; i < n; ++i, src += 4, dst += 4) {
        dst[0] = src[2];
        dst[1] = src[1];
        dst[2] = src[0];
        dst[3] = src[3];
    }
}

void rowRgba16(uint8_t* dst, const uint8_t* src, uint32_t n, const RowContext&)
{
    auto* out = reinterpret_cast<uint16_t*>(dst);
    for (uint32_t i = 0; i < n; ++i, src += 8, out += 4) {
        out[0] = loadU16be(src + 4);
        out[1] = loadU16be(src + 2);
        out[2] = loadU16be(src);
        out[3] = loadU16be(src + 6);
    }
}

void rowGrayAlpha8(uint8_t* dst, const uint8_t* src, uint32_t n, const RowContext&)
{
    for (uint32_t i = 0; i < n; ++i, src += 2, dst += 4) {
        dst[0] = dst[1] = dst[2] = src[0];
        dst[3] = src[1];
    }
}

void rowGrayAlpha16(uint8_t* dst, const uint8_t* src, uint32_t n, const RowContext&)
{
    auto* out = reinterpret_cast<uint16_t*>(dst);
    for (uint32_t i = 0; i < n; ++i, src += 4, out += 4) {
        out[0] = out[1] = out[2] = loadU16be(src);
        out[3] = loadU16be(src + 2);
    }
}

// Grey of any depth up to 8 with a tRNS key, into RGBA8.
void rowGrayKey8(uint8_t* dst, const uint8_t* src, uint32_t n, const RowContext& ctx)
{
    uint32_t d = ctx.depth, perByte = 8 / d, mask = (1u << d) - 1;
    uint32_t scale = (255u << 22) / mask;
    for (uint32_t i = 0; i < n; ++i, dst += 4) {
        uint32_t v = (src[i / perByte] >> (8 - d - (i % perByte) * d)) & mask;
        uint8_t g = uint8_t((v * scale + (1u << 21)) >> 22);
        dst[0] = dst[1] = dst[2] = g;
        dst[3] = int32_t(v) == ctx.key[0] ? 0 : 255;
    }
}

void rowGrayKey16(uint8_t* dst, const uint8_t* src, uint32_t n, const RowContext& ctx)
{
    auto* out = reinterpret_cast<uint16_t*>(dst);
    for (uint32_t i = 0; i < n; ++i, out += 4) {
        uint16_t g = loadU16be(src + 2 * i);
        out[0] = out[1] = out[2] = g;
        out[3] = int32_t(g) == ctx.key[0] ? 0 : 65535;
    }
}

void rowRgbKey8(uint8_t* dst, const uint8_t* src, uint32_t n, const RowContext& ctx)
{
    for (uint32_t i = 0; i < n; ++i, src += 3, dst += 4) {
        dst[0] = src[2];
        dst[1] = src[1];
        dst[2] = src[0];
        bool keyed = src[0] == ctx.key[0] && src[1] == ctx.key[1] && src[2] == ctx.key[2];
        dst[3] = keyed ? 0 : 255;
    }
}

void rowRgbKey16(uint8_t* dst, const uint8_t* src, uint32_t n, const RowContext& ctx)
{
    auto* out = reinterpret_cast<uint16_t*>(dst);
    for (uint32_t i = 0; i < n; ++i, src += 6, out += 4) {
        uint16_t r = loadU16be(src), g = loadU16be(src + 2), b = loadU16be(src + 4);
        out[0] = b;
        out[1] = g;
        out[2] = r;
        bool keyed = r == ctx.key[0] && g == ctx.key[1] && b == ctx.key[2];
        out[3] = keyed ? 0 : 65535;
    }
}

// Adam7: first column and row, and steps, of each pass.
const uint8_t kPassX0[7] = {0, 4, 0, 2, 0, 1, 0};
const uint8_t kPassY0[7] = {0, 0, 4, 0, 2, 0, 1};
const uint8_t kPassDx[7] = {8, 8, 4, 4, 2, 2, 1};
const uint8_t kPassDy[7] = {8, 8, 8, 4, 4, 2, 2};

uint32_t passSize(uint32_t full, uint32_t start, uint32_t step)
{
    return full > start ? (full - start + step - 1) / step : 0;
}

// The image data of one frame as a zlib stream spread over chunks: IDAT
// chunks (a still image or the default image) or fdAT chunks of consecutive
// sequence numbers after the frame's fcTL.
class FrameData {
public:
    FrameData(const uint8_t* data, uint64_t size, uint64_t start, bool fdat, uint32_t sequence)
        : data_(data), size_(size), pos_(start), fdat_(fdat), expected_(sequence + 1)
    {
    }
    ~FrameData()
    {
        if (open_) inflateEnd(&z_);
    }
    bool init()
    {
        std::memset(&z_, 0, sizeof z_);
        open_ = inflateInit(&z_) == Z_OK;
        return open_;
    }
    // Fills exactly n bytes. RC_CORRUPT_FILE when the data ends first or
    // is damaged.
    ResultCode read(uint8_t* out, size_t n);

private:
    bool nextPiece();

    z_stream z_;
    bool open_ = false;
    const uint8_t* data_;
    uint64_t size_, pos_;
    bool fdat_;
    uint32_t expected_;
    bool done_ = false;  // no more chunks
    bool ended_ = false; // zlib's stream end
};

bool FrameData::nextPiece()
{
    while (!done_) {
        Chunk c;
        ChunkState st = readChunk(data_, size_, pos_, c);
        if (st == CHUNK_END || st == CHUNK_BAD) break;
        if (st == CHUNK_CUT) done_ = true;
        pos_ = c.next;
        if (c.type == kIEND) break;
        const uint8_t* p = nullptr;
        uint32_t n = 0;
        if (fdat_) {
            if (c.type == kFCTL) break;
            if (c.type != kFDAT || c.present < 4 || loadU32be(c.data) != expected_) continue;
            ++expected_;
            p = c.data + 4;
            n = c.present - 4;
        } else {
            if (c.type != kIDAT) continue;
            p = c.data;
            n = c.present;
        }
        // Empty data chunks are legal and carry nothing.
        if (n == 0) continue;
        z_.next_in = const_cast<Bytef*>(p);
        z_.avail_in = n;
        return true;
    }
    done_ = true;
    return false;
}

ResultCode FrameData::read(uint8_t* out, size_t n)
{
    z_.next_out = out;
    z_.avail_out = uInt(n);
    while (z_.avail_out) {
        if (ended_) return RC_CORRUPT_FILE;
        if (z_.avail_in == 0 && !nextPiece()) return RC_CORRUPT_FILE;
        int r = inflate(&z_, Z_NO_FLUSH);
        if (r == Z_STREAM_END) {
            ended_ = true;
        } else if (r == Z_MEM_ERROR) {
            return RC_OUT_OF_MEMORY;
        } else if (r != Z_OK && r != Z_BUF_ERROR) {
            return RC_CORRUPT_FILE;
        }
    }
    return RC_OK;
}

// Deflate's greatest expansion: a 258-byte match in two bits.
constexpr uint64_t kMostInflated = 1032;
// Compressed bytes allowed for beyond that bound before data counts as too
// short; a bound this loose never refuses a whole file.
constexpr uint64_t kInflateSlack = 64;

class PngReader final : public ImageReader {
public:
    PngReader(MappedFile* f, const FormatDescriptor* d) : ImageReader(f, d) {}

protected:
    ResultCode readHeader(const void* options) override;
    ResultCode readPixels(Image* image, bool reduced, Progress* progress, AbortFlag* abort) override;

private:
    ResultCode readImageHeader(const Chunk& c);
    void readBackground(const Chunk& c);
    void readText(const Chunk& c);
    ResultCode readFrameControl(const Chunk& c, bool seenData, PngReader*& current, uint32_t& frames);
    // Takes the layout of `head` (colour type, palette, transparency ...)
    // and decides the pixel format from it.
    void takeLayout(const PngReader& head);
    void choosePixelFormat();

    uint8_t colourType_ = 0;
    uint8_t bitDepth_ = 0;
    uint8_t interlace_ = 0;
    const uint8_t* palette_ = nullptr;
    uint32_t paletteCount_ = 0;
    const uint8_t* transparency_ = nullptr;
    uint32_t transparencyLength_ = 0;
    uint32_t sequence_ = 0;
    // Where this frame's data is looked for, and in which chunks.
    uint64_t dataStart_ = 0;
    bool fromFdat_ = false;
    uint32_t canvasWidth_ = 0, canvasHeight_ = 0;
    RowFn rowFn_ = nullptr;
    RowContext ctx_;
};

ResultCode PngReader::readImageHeader(const Chunk& c)
{
    if (c.length != 13) return RC_CORRUPT_FILE;
    const uint8_t* d = c.data;
    uint32_t w = loadU32be(d), h = loadU32be(d + 4);
    if (w == 0 || h == 0 || w > kMaxDimension || h > kMaxDimension) return RC_CORRUPT_FILE;
    bitDepth_ = d[8];
    colourType_ = d[9];
    interlace_ = d[12];
    if (d[10] != 0 || d[11] != 0 || interlace_ > 1) return RC_UNSUPPORTED_SUBFORMAT;
    uint32_t b = bitDepth_;
    bool depthOk;
    switch (colourType_) {
    case 0: depthOk = b == 1 || b == 2 || b == 4 || b == 8 || b == 16; break;
    case 3: depthOk = b == 1 || b == 2 || b == 4 || b == 8; break;
    // Grey with alpha below 8 bits is not PNG.
    case 2: case 4: case 6: depthOk = b == 8 || b == 16; break;
    default: return RC_UNSUPPORTED_SUBFORMAT;
    }
    if (!depthOk) return RC_UNSUPPORTED_SUBFORMAT;
    static const uint8_t kChannels[7] = {1, 0, 3, 1, 2, 0, 4};
    width = w;
    height = h;
    bitsPerPixel = b * kChannels[colourType_];
    canvasWidth_ = w;
    canvasHeight_ = h;
    info.set(INFO_COMPRESSION, u"Inflate");
    return RC_OK;
}

void PngReader::readBackground(const Chunk& c)
{
    const uint8_t* d = c.data;
    auto sample = [&](const uint8_t* p) -> uint32_t {
        uint32_t v = loadU16be(p);
        if (bitDepth_ == 16) return v >> 8;
        if (bitDepth_ == 8) return v & 255;
        uint32_t mask = (1u << bitDepth_) - 1;
        return (v & mask) * 255 / mask;
    };
    uint32_t r, g, b;
    if ((colourType_ == 0 || colourType_ == 4) && c.length >= 2) {
        r = g = b = sample(d);
    } else if ((colourType_ == 2 || colourType_ == 6) && c.length >= 6) {
        r = sample(d), g = sample(d + 2), b = sample(d + 4);
    } else if (colourType_ == 3 && palette_ && c.length >= 1 && d[0] < paletteCount_) {
        const uint8_t* e = palette_ + 3 * d[0];
        r = e[0], g = e[1], b = e[2];
    } else {
        return;
    }
    frameInfo.backgroundColour = 0xFF000000u | (r << 16) | (g << 8) | b;
}

void PngReader::readText(const Chunk& c)
{
    const uint8_t* d = c.data;
    uint32_t n = c.length;
    const uint8_t* nul = static_cast<const uint8_t*>(std::memchr(d, 0, n));
    if (!nul || nul == d) return;
    size_t kwLength = size_t(nul - d);
    const uint8_t* p = nul + 1;
    const uint8_t* end = d + n;
    if (p >= end) return;
    int field = -1;
    for (const PngKeywordField* k = kPngKeywordFields; k->keyword; ++k)
        if (keywordIs(d, kwLength, k->keyword)) field = int(k->field);
    bool xmp = field < 0 && keywordIs(d, kwLength, kXmpKeyword);
    if (field < 0 && !xmp) {
        if (!keywordIs(d, kwLength, "Comment")) return;
        field = INFO_COMMENTS;
    }
    bool utf8 = c.type == kITXT;
    if (utf8) {
        if (end - p < 4 || p[0] != 0) return;
        const uint8_t* language = p + 2;
        const uint8_t* languageEnd = static_cast<const uint8_t*>(std::memchr(language, 0, size_t(end - language)));
        if (!languageEnd) return;
        const uint8_t* translated = languageEnd + 1;
        const uint8_t* translatedEnd =
            translated < end ? static_cast<const uint8_t*>(std::memchr(translated, 0, size_t(end - translated))) : nullptr;
        if (!translatedEnd) return;
        // A translation does not displace a text already read, unless it
        // is English (or Norwegian, Dutch: the languages PNG writers used).
        if (!xmp && languageEnd > language && info.has(field)) {
            uint8_t first = uint8_t(*language | 0x20);
            if (first != 'e' && first != 'n') return;
        }
        p = translatedEnd + 1;
    }
    if (p >= end) return;
    if (xmp) {
        xmpParse(info, p, size_t(end - p));
        return;
    }
    infoSetBorrowed(info, field, p, uint32_t(end - p), utf8 ? BORROW_UTF8 : BORROW_CP1252);
}

ResultCode PngReader::readFrameControl(const Chunk& c, bool seenData, PngReader*& current, uint32_t& frames)
{
    if (c.length != 26) return RC_CORRUPT_FILE;
    const uint8_t* d = c.data;
    uint32_t seq = loadU32be(d), w = loadU32be(d + 4), h = loadU32be(d + 8), x = loadU32be(d + 12),
             y = loadU32be(d + 16);
    uint32_t num = loadU16be(d + 20), den = loadU16be(d + 22);
    uint8_t dispose = d[24], blend = d[25];
    if (w == 0 || h == 0 || uint64_t(x) + w > canvasWidth_ || uint64_t(y) + h > canvasHeight_) return RC_CORRUPT_FILE;
    PngReader* frame;
    if (!seenData) {
        // The default image is the first frame: only one fcTL may precede it.
        if (current) return RC_CORRUPT_FILE;
        frame = this;
        x = y = 0;
        w = width;
        h = height;
    } else if (!current) {
        // The default image is not part of the animation.
        frame = this;
    } else {
        if (frames >= kMaxFrames) return RC_OK;
        frame = new (std::nothrow) PngReader(input, descriptor);
        if (!frame) return RC_OUT_OF_MEMORY;
        current->nextReader = frame;
    }
    ++frames;
    current = frame;
    frame->width = w;
    frame->height = h;
    frame->sequence_ = seq;
    if (seenData) {
        frame->fromFdat_ = true;
        frame->dataStart_ = c.next;
    }
    FrameInfo& fi = frame->frameInfo;
    fi.canvasWidth = canvasWidth_;
    fi.canvasHeight = canvasHeight_;
    fi.x = int32_t(x);
    fi.y = int32_t(y);
    if (den == 0) den = 100;
    fi.duration = num == 0 ? 17 : (num * 1000 + den / 2) / den;
    if (dispose <= 2) fi.dispose = dispose;
    fi.blend = blend == 1;
    return RC_OK;
}

void PngReader::choosePixelFormat()
{
    ctx_ = RowContext();
    ctx_.depth = bitDepth_;
    colourModel = CM_RGB;
    alphaKind = ALPHA_NONE;
    bool sixteen = bitDepth_ == 16;
    bool keyed = false;
    if (transparency_ && transparencyLength_) {
        if (colourType_ == 0 && transparencyLength_ >= 2) {
            uint32_t mask = sixteen ? 0xFFFF : (1u << bitDepth_) - 1;
            ctx_.key[0] = int32_t(loadU16be(transparency_) & mask);
            keyed = true;
        } else if (colourType_ == 2 && transparencyLength_ >= 6) {
            for (int i = 0; i < 3; ++i) {
                uint32_t v = loadU16be(transparency_ + 2 * i);
                ctx_.key[i] = int32_t(sixteen ? v : (v & 255));
            }
            keyed = true;
        } else if (colourType_ == 3) {
            alphaKind = ALPHA_STRAIGHT;
        }
    }
    if (keyed) alphaKind = ALPHA_STRAIGHT;
    switch (colourType_) {
    case 0:
        if (keyed) {
            pixelFormat = sixteen ? PF_RGBA16 : PF_RGBA8;
            rowFn_ = sixteen ? rowGrayKey16 : rowGrayKey8;
        } else {
            colourModel = CM_L;
            pixelFormat = sixteen ? PF_GRAY16 : PF_GRAY8;
            rowFn_ = sixteen ? rowGray16 : bitDepth_ == 8 ? rowCopy8 : rowUnpack;
        }
        break;
    case 3:
        pixelFormat = PF_INDEXED8;
        rowFn_ = bitDepth_ == 8 ? rowCopy8 : rowUnpack;
        break;
    case 2:
        pixelFormat = sixteen ? PF_RGBA16 : PF_RGBA8;
        rowFn_ = keyed ? (sixteen ? rowRgbKey16 : rowRgbKey8) : (sixteen ? rowRgb16 : rowRgb8);
        break;
    case 4:
        alphaKind = ALPHA_STRAIGHT;
        pixelFormat = sixteen ? PF_RGBA16 : PF_RGBA8;
        rowFn_ = sixteen ? rowGrayAlpha16 : rowGrayAlpha8;
        break;
    default:
        alphaKind = ALPHA_STRAIGHT;
        pixelFormat = sixteen ? PF_RGBA16 : PF_RGBA8;
        rowFn_ = sixteen ? rowRgba16 : rowRgba8;
        break;
    }
}

void PngReader::takeLayout(const PngReader& head)
{
    colourType_ = head.colourType_;
    bitDepth_ = head.bitDepth_;
    interlace_ = head.interlace_;
    palette_ = head.palette_;
    paletteCount_ = head.paletteCount_;
    transparency_ = head.transparency_;
    transparencyLength_ = head.transparencyLength_;
    bitsPerPixel = head.bitsPerPixel;
    canvasWidth_ = head.canvasWidth_;
    canvasHeight_ = head.canvasHeight_;
    frameInfo.backgroundColour = head.frameInfo.backgroundColour;
    frameInfo.loop = head.frameInfo.loop;
    info.set(INFO_COMPRESSION, u"Inflate");
    choosePixelFormat();
}

ResultCode PngReader::readHeader(const void*)
{
    const uint8_t* data = input->data();
    uint64_t size = input->size();
    if (!hasSignature(data, size)) return RC_UNKNOWN_FORMAT;
    if (size <= 8) return RC_CORRUPT_FILE;
    transparency_ = nullptr;
    transparencyLength_ = 0;
    alphaKind = ALPHA_NONE;

    bool haveHeader = false, seenData = false, animated = false;
    uint32_t plays = 0, frames = 0;
    // Compressed bytes of the IDAT chunks, and of the fdAT chunks of the
    // first frame when it replaces the default image.
    uint64_t idatBytes = 0, fdatBytes = 0;
    PngReader* current = nullptr;
    uint64_t pos = 8;
    for (;;) {
        Chunk c;
        ChunkState st = readChunk(data, size, pos, c);
        if (st == CHUNK_END) break;
        if (st == CHUNK_BAD) return RC_CORRUPT_FILE;
        if (!haveHeader && c.type != kIHDR) return RC_CORRUPT_FILE;
        if (st == CHUNK_CUT) {
            // A file cut inside its image data still shows what is there;
            // the pixel decoding reports it as damaged.
            if (!haveHeader || !(seenData || c.type == kIDAT)) return RC_CORRUPT_FILE;
            if (c.type == kIDAT && !seenData) {
                seenData = true;
                dataStart_ = c.pos;
            }
            if (c.type == kIDAT) idatBytes += c.present;
            else if (c.type == kFDAT && current == this && fromFdat_ && c.present > 4) fdatBytes += c.present - 4;
            break;
        }
        pos = c.next;
        const uint8_t* d = c.data;
        if (c.type == kIHDR) {
            if (haveHeader) return RC_CORRUPT_FILE;
            ResultCode rc = readImageHeader(c);
            if (failed(rc)) return rc;
            haveHeader = true;
        } else if (c.type == kPLTE) {
            if (colourType_ == 3 && !seenData && c.length >= 3) {
                palette_ = d;
                paletteCount_ = std::min<uint32_t>(c.length / 3, 256);
            }
        } else if (c.type == kTRNS) {
            if (!seenData) {
                transparency_ = d;
                transparencyLength_ = c.length;
            }
        } else if (c.type == kBKGD) {
            readBackground(c);
        } else if (c.type == kPHYS) {
            if (c.length == 9 && d[8] == 1) {
                char buf[48];
                std::snprintf(buf, sizeof buf, "%u x %u ppm", loadU32be(d), loadU32be(d + 4));
                info.set(INFO_DENSITY, asciiToU16(buf).c_str());
            }
        } else if (c.type == kTEXT || c.type == kITXT) {
            readText(c);
        } else if (c.type == kACTL) {
            if (c.length != 8) return RC_CORRUPT_FILE;
            if (!seenData) {
                animated = true;
                plays = loadU32be(d + 4);
            }
        } else if (c.type == kFCTL) {
            if (animated) {
                ResultCode rc = readFrameControl(c, seenData, current, frames);
                if (failed(rc)) return rc;
            }
        } else if (c.type == kFDAT) {
            if (animated && c.length < 4) return RC_CORRUPT_FILE;
            if (current == this && fromFdat_ && c.present > 4) fdatBytes += c.present - 4;
        } else if (c.type == kIDAT) {
            if (!seenData) dataStart_ = c.pos;
            seenData = true;
            idatBytes += c.present;
        } else if (c.type == kIEND) {
            break;
        }
    }
    if (!haveHeader || !seenData) return RC_CORRUPT_FILE;
    if (colourType_ == 3 && !palette_) return RC_CORRUPT_FILE;
    frameInfo.loop = animated && plays != 1;
    if (animated && !current) {
        // An acTL without frames: a still image.
        animated = false;
    }
    choosePixelFormat();
    for (ImageReader* r = nextReader; r; r = r->nextReader) static_cast<PngReader*>(r)->takeLayout(*this);
    uint64_t rowBytes = uint64_t(canvasWidth_) * quillon::bytesPerPixel(pixelFormat);
    if (rowBytes > UINT32_MAX - 64) return RC_OUT_OF_MEMORY;
    // Deflate makes at most 1032 bytes of one: data too short to fill even a
    // small part of the picture is a damaged file, refused before an image
    // of the size it claims is made (and cleared) for the few rows there.
    const uint64_t pixelBytes = uint64_t(bitsPerPixel) * width / 8 * height;
    if (pixelBytes / kMostInflated > (fromFdat_ ? fdatBytes : idatBytes) + kInflateSlack) return RC_CORRUPT_FILE;
    return RC_OK;
}

ResultCode PngReader::readPixels(Image* image, bool, Progress* progress, AbortFlag* abort)
{
    if (colourType_ == 3) {
        uint32_t* pal = image->palette();
        if (!pal) return RC_INVALID_PARAMETER;
        for (uint32_t i = 0; i < 256; ++i) {
            pal[i] = 0xFF000000u;
            if (i < paletteCount_) {
                const uint8_t* e = palette_ + 3 * i;
                pal[i] |= (uint32_t(e[0]) << 16) | (uint32_t(e[1]) << 8) | e[2];
            }
        }
        if (transparency_) {
            uint32_t n = std::min<uint32_t>(transparencyLength_, 256);
            for (uint32_t i = 0; i < n; ++i) pal[i] = (pal[i] & 0xFFFFFF) | (uint32_t(transparency_[i]) << 24);
        }
    }
    uint32_t pixelBytes = image->bytesPerPixel();
    if (image->rowBytes() == 0 || pixelBytes == 0) return RC_UNSUPPORTED_COLOUR_FORMAT;

    uint32_t filterBpp = (bitsPerPixel + 7) / 8;
    uint64_t maxRowBytes = (uint64_t(bitsPerPixel) * width + 7) / 8;
    // Two rows (this one and the one above), each after filterBpp zeros so
    // that the neighbours left of the first pixel read as 0.
    uint64_t slot = ((maxRowBytes + 1 + filterBpp + 15) & ~uint64_t(15));
    AlignedBuffer<uint8_t> rows(slot * 2, true);
    AlignedBuffer<uint8_t> scatter;
    if (!rows) return RC_OUT_OF_MEMORY;
    bool interlaced = interlace_ == 1;
    if (interlaced) {
        if (!scatter.allocate(uint64_t(width) * pixelBytes + 16)) return RC_OUT_OF_MEMORY;
        for (uint32_t y = 0; y < height; ++y) std::memset(image->rowBytesPtr(y), 0, size_t(width) * pixelBytes);
    }

    FrameData source(input->data(), input->size(), dataStart_, fromFdat_, sequence_);
    if (!source.init()) return RC_GENERAL_FAILURE;
    reportProgress(progress, 10, 100);

    uint64_t totalRows = 0, doneRows = 0;
    int passes = interlaced ? 7 : 1;
    for (int p = 0; p < passes; ++p) {
        uint32_t pw = interlaced ? passSize(width, kPassX0[p], kPassDx[p]) : width;
        uint32_t ph = interlaced ? passSize(height, kPassY0[p], kPassDy[p]) : height;
        if (pw && ph) totalRows += ph;
    }
    ResultCode rc = RC_OK;
    uint32_t failedRow = 0;  // the first image row not decoded (non-interlaced)
    bool halfway = false;
    for (int p = 0; p < passes && rc == RC_OK; ++p) {
        uint32_t pw = interlaced ? passSize(width, kPassX0[p], kPassDx[p]) : width;
        uint32_t ph = interlaced ? passSize(height, kPassY0[p], kPassDy[p]) : height;
        if (!pw || !ph) continue;
        size_t rowBytes = size_t((uint64_t(bitsPerPixel) * pw + 7) / 8);
        uint8_t* cur = rows.get() + filterBpp;
        uint8_t* prev = rows.get() + slot + filterBpp;
        std::memset(rows.get(), 0, size_t(slot * 2));
        for (uint32_t j = 0; j < ph; ++j) {
            // cur[-1] receives the filter byte, the data follows.
            uint8_t filter;
            rc = source.read(&filter, 1);
            if (rc == RC_OK) rc = source.read(cur, rowBytes);
            if (rc != RC_OK) {
                failedRow = j;
                break;
            }
            switch (filterBpp) {
            case 1: unfilterRowBpp<1>(filter, cur, prev, rowBytes); break;
            case 2: unfilterRowBpp<2>(filter, cur, prev, rowBytes); break;
            case 3: unfilterRowBpp<3>(filter, cur, prev, rowBytes); break;
            case 4: unfilterRowBpp<4>(filter, cur, prev, rowBytes); break;
            case 6: unfilterRowBpp<6>(filter, cur, prev, rowBytes); break;
            default: unfilterRowBpp<8>(filter, cur, prev, rowBytes); break;
            }
            if (!interlaced) {
                rowFn_(image->rowBytesPtr(j), cur, pw, ctx_);
            } else {
                uint8_t* tmp = scatter.get();
                rowFn_(tmp, cur, pw, ctx_);
                uint8_t* dst = image->rowBytesPtr(kPassY0[p] + j * kPassDy[p]) + size_t(kPassX0[p]) * pixelBytes;
                size_t step = size_t(kPassDx[p]) * pixelBytes;
                for (uint32_t i = 0; i < pw; ++i, dst += step, tmp += pixelBytes) std::memcpy(dst, tmp, pixelBytes);
            }
            std::swap(cur, prev);
            ++doneRows;
            if (aborted(abort)) return RC_OK;
            if (!halfway && doneRows * 2 >= totalRows) {
                halfway = true;
                reportProgress(progress, 50, 100);
            }
        }
    }
    if (rc != RC_OK) {
        // Rows the data never reached are blank, never left as they were.
        if (!interlaced) imageClearRows(image, failedRow, height);
        return rc;
    }
    reportProgress(progress, 75, 100);
    return RC_OK;
}

// ---- writer ----

enum AdaptiveMode { ADAPT_NEVER, ADAPT_SUPER_ONLY, ADAPT_ALWAYS };

struct PngLayout {
    uint8_t depth = 0, colourType = 0;
    uint32_t bits = 0;
    AdaptiveMode adaptive = ADAPT_NEVER;
    PixelFormat format = PF_SAME;
};

bool layoutFor(uint32_t flag, PngLayout& l)
{
    switch (flag) {
    case CF_2_COLOURS: l = {1, 3, 1, ADAPT_NEVER, PF_INDEXED8}; break;
    case CF_4_COLOURS: l = {2, 3, 2, ADAPT_NEVER, PF_INDEXED8}; break;
    case CF_16_COLOURS: l = {4, 3, 4, ADAPT_NEVER, PF_INDEXED8}; break;
    case CF_256_COLOURS: l = {8, 3, 8, ADAPT_NEVER, PF_INDEXED8}; break;
    case CF_GRAY8: l = {8, 0, 8, ADAPT_SUPER_ONLY, PF_GRAY8}; break;
    case CF_GRAY16: l = {16, 0, 16, ADAPT_SUPER_ONLY, PF_GRAY16}; break;
    case CF_RGB24: l = {8, 2, 24, ADAPT_ALWAYS, PF_RGBA8}; break;
    case CF_RGB48: l = {16, 2, 48, ADAPT_ALWAYS, PF_RGBA16}; break;
    case CF_RGBA32: l = {8, 6, 32, ADAPT_ALWAYS, PF_RGBA8}; break;
    case CF_RGBA64: l = {16, 6, 64, ADAPT_ALWAYS, PF_RGBA16}; break;
    default: return false;
    }
    return true;
}

// Chunk data must stay below 2^31 bytes; an fdAT also carries its number.
constexpr uint64_t kMaxChunkData = 0x7FFFFFFFu - 4;

// Where a frame's compressed bytes go.
class ByteSink {
public:
    virtual ResultCode data(const uint8_t* p, size_t n) = 0;

protected:
    ~ByteSink() = default;
};

// Compressed bytes kept in memory, to choose the smaller of two streams.
class MemorySink final : public ByteSink {
public:
    ResultCode data(const uint8_t* p, size_t n) override
    {
        if (size_ + n > buffer_.size()) {
            uint64_t want = std::max<uint64_t>(uint64_t(size_ + n), uint64_t(buffer_.size()) * 2 + (1 << 16));
            AlignedBuffer<uint8_t> bigger(want);
            if (!bigger) return RC_OUT_OF_MEMORY;
            if (size_) std::memcpy(bigger.get(), buffer_.get(), size_);
            buffer_ = std::move(bigger);
        }
        std::memcpy(buffer_.get() + size_, p, n);
        size_ += n;
        return RC_OK;
    }
    const uint8_t* bytes() const { return buffer_.get(); }
    size_t size() const { return size_; }
    void release()
    {
        buffer_ = AlignedBuffer<uint8_t>();
        size_ = 0;
    }

private:
    AlignedBuffer<uint8_t> buffer_;
    size_t size_ = 0;
};

// Writes chunks to the output; the data of a frame's image chunk is streamed
// and its length patched once known.
class ChunkWriter final : public ByteSink {
public:
    explicit ChunkWriter(OutputFile& out) : out_(out) {}

    ResultCode whole(const char* type, const uint8_t* data, size_t length)
    {
        uint8_t head[8];
        storeBe(head, uint32_t(length));
        std::memcpy(head + 4, type, 4);
        uint8_t tail[4];
        storeBe(tail, pngCrc32(head + 4, data, length));
        if (failed(out_.write(head, 8)) || (length && failed(out_.write(data, length))) || failed(out_.write(tail, 4)))
            return RC_WRITE_FAILED;
        return RC_OK;
    }

    // Starts an IDAT (sequence < 0) or an fdAT with its sequence number.
    ResultCode begin(bool fdat, uint32_t* sequence)
    {
        fdat_ = fdat;
        sequence_ = sequence;
        return open();
    }
    ResultCode data(const uint8_t* p, size_t n) override
    {
        while (n) {
            if (length_ == kMaxChunkData) {
                ResultCode rc = close();
                if (failed(rc) || failed(rc = open())) return rc;
            }
            size_t take = size_t(std::min<uint64_t>(n, kMaxChunkData - length_));
            if (failed(out_.write(p, take))) return RC_WRITE_FAILED;
            crc_ = crc32(crc_, p, uInt(take));
            length_ += take;
            p += take;
            n -= take;
        }
        return RC_OK;
    }
    ResultCode end() { return close(); }

    static void storeBe(uint8_t* p, uint32_t v)
    {
        p[0] = uint8_t(v >> 24), p[1] = uint8_t(v >> 16), p[2] = uint8_t(v >> 8), p[3] = uint8_t(v);
    }

private:
    ResultCode open()
    {
        start_ = out_.tell();
        uint8_t head[12];
        storeBe(head, 0);
        std::memcpy(head + 4, fdat_ ? "fdAT" : "IDAT", 4);
        size_t n = 8;
        crc_ = crc32(0, head + 4, 4);
        length_ = 0;
        if (fdat_) {
            storeBe(head + 8, (*sequence_)++);
            crc_ = crc32(crc_, head + 8, 4);
            length_ = 4;
            n = 12;
        }
        return failed(out_.write(head, n)) ? RC_WRITE_FAILED : RC_OK;
    }
    ResultCode close()
    {
        uint8_t tail[4], len[4];
        storeBe(tail, uint32_t(crc_));
        storeBe(len, uint32_t(length_));
        uint64_t endPos = out_.tell() + 4;
        if (failed(out_.write(tail, 4)) || failed(out_.seek(start_)) || failed(out_.write(len, 4)) ||
            failed(out_.seek(endPos)))
            return RC_WRITE_FAILED;
        return RC_OK;
    }

    OutputFile& out_;
    bool fdat_ = false;
    uint32_t* sequence_ = nullptr;
    uint64_t start_ = 0, length_ = 0;
    uLong crc_ = 0;
};

inline void put16(uint8_t* p, uint32_t v) { p[0] = uint8_t(v >> 8), p[1] = uint8_t(v); }

// One image row in PNG sample order. `map` renumbers palette indices;
// `straight` (a row of the frame's pixels) receives a premultiplied row's
// straight copy, since the frame itself is never changed.
void packRow(uint8_t* out, const Image* frame, uint32_t y, const PngLayout& l, const uint8_t* map, void* straight)
{
    uint32_t w = frame->width;
    bool premultiplied = frame->alphaKind == ALPHA_PREMULTIPLIED;
    switch (frame->pixelFormat) {
    case PF_INDEXED8: {
        const uint8_t* idx = frame->row<uint8_t>(y);
        uint32_t d = l.depth, mask = (1u << d) - 1, perByte = 8 / d;
        if (d == 8) {
            if (map) {
                for (uint32_t x = 0; x < w; ++x) out[x] = map[idx[x]];
            } else {
                std::memcpy(out, idx, w);
            }
            break;
        }
        std::memset(out, 0, (size_t(w) * d + 7) / 8);
        for (uint32_t x = 0; x < w; ++x) {
            uint32_t v = (map ? map[idx[x]] : idx[x]) & mask;
            out[x / perByte] |= uint8_t(v << (8 - d - (x % perByte) * d));
        }
        break;
    }
    case PF_GRAY8: std::memcpy(out, frame->row<uint8_t>(y), w); break;
    case PF_GRAY16: {
        const uint16_t* g = frame->row<uint16_t>(y);
        for (uint32_t x = 0; x < w; ++x) put16(out + 2 * x, g[x]);
        break;
    }
    case PF_RGBA8: {
        const Rgba8* px = frame->row<Rgba8>(y);
        if (premultiplied) {
            unpremultiplyRow8(static_cast<Rgba8*>(straight), px, w);
            px = static_cast<const Rgba8*>(straight);
        }
        bool alpha = l.colourType == 6;
        for (uint32_t x = 0; x < w; ++x) {
            Rgba8 p = px[x];
            *out++ = p.r, *out++ = p.g, *out++ = p.b;
            if (alpha) *out++ = p.a;
        }
        break;
    }
    default: {
        const Rgba16* px = frame->row<Rgba16>(y);
        if (premultiplied) {
            unpremultiplyRow16(static_cast<Rgba16*>(straight), px, w);
            px = static_cast<const Rgba16*>(straight);
        }
        bool alpha = l.colourType == 6;
        for (uint32_t x = 0; x < w; ++x) {
            Rgba16 p = px[x];
            put16(out, p.r), put16(out + 2, p.g), put16(out + 4, p.b);
            out += 6;
            if (alpha) put16(out, p.a), out += 2;
        }
        break;
    }
    }
}

// Sum of the filtered bytes taken as unsigned values.
uint64_t byteSum(const uint8_t* p, size_t n)
{
    uint64_t s = 0;
    for (size_t i = 0; i < n; ++i) s += p[i];
    return s;
}

// Packs a frame's rows into PNG sample order and filters them, one row after
// another from wherever seek() placed it.
class RowFilterer {
public:
    RowFilterer(const Image* frame, const PngLayout& layout, const uint8_t* map, bool adaptive)
        : frame_(frame), layout_(layout), map_(map), adaptive_(adaptive),
          bpp_(std::max<uint32_t>(1, layout.bits / 8)),
          rowBytes_(size_t((uint64_t(frame->width) * layout.bits + 7) / 8)),
          slot_((rowBytes_ + bpp_ + 15) & ~size_t(15)), lineStride_(rowBytes_ + 16)
    {
        // Two raw rows after bpp zero bytes each, and one filtered line per
        // filter type (filter byte first).
        raw_.allocate(uint64_t(slot_) * 2, true);
        lines_.allocate(uint64_t(lineStride_) * (adaptive ? 5 : 1));
        straight_.allocate(frame->alphaKind == ALPHA_PREMULTIPLIED ? uint64_t(frame->width) * 8 + 16 : 1);
        cur_ = raw_.get() + bpp_;
        prev_ = raw_.get() + slot_ + bpp_;
    }
    bool ready() const { return raw_ && lines_ && straight_; }
    bool adaptive() const { return adaptive_; }
    // A row with its filter byte.
    size_t lineBytes() const { return rowBytes_ + 1; }

    // The next row asked for is y: the row above becomes its neighbour.
    void seek(uint32_t y)
    {
        if (y == 0) {
            std::memset(prev_, 0, rowBytes_);
        } else {
            packRow(prev_, frame_, y - 1, layout_, map_, straight_.get());
        }
    }

    // Row y filtered; `score` rates a candidate line (lower is better, the
    // lower type wins ties). Without adaptive filtering every row is type 0.
    template <class Score>
    const uint8_t* next(uint32_t y, Score&& score)
    {
        packRow(cur_, frame_, y, layout_, map_, straight_.get());
        uint8_t* chosen = lines_.get();
        if (adaptive_) {
            uint64_t bestScore = UINT64_MAX;
            for (uint32_t t = 0; t < 5; ++t) {
                uint8_t* line = lines_.get() + t * lineStride_;
                line[0] = uint8_t(t);
                pngFilterRow(t, line + 1, cur_, prev_, rowBytes_, bpp_);
                uint64_t s = score(static_cast<const uint8_t*>(line), rowBytes_ + 1);
                if (s < bestScore) bestScore = s, chosen = line;
            }
        } else {
            chosen[0] = 0;
            std::memcpy(chosen + 1, cur_, rowBytes_);
        }
        std::swap(cur_, prev_);
        return chosen;
    }
    // Row y filtered by the byte sums of the candidates.
    const uint8_t* next(uint32_t y)
    {
        return next(y, [](const uint8_t* line, size_t n) { return byteSum(line + 1, n - 1); });
    }

private:
    const Image* frame_;
    const PngLayout& layout_;
    const uint8_t* map_;
    bool adaptive_;
    uint32_t bpp_;
    size_t rowBytes_, slot_, lineStride_;
    AlignedBuffer<uint8_t> raw_, lines_, straight_;
    uint8_t* cur_;
    uint8_t* prev_;
};

// Deflates a run of a frame's rows: a whole frame as one zlib stream, or a
// piece of one as raw deflate data (primed with what precedes it and ending
// on a byte boundary, so that pieces made apart join into one stream).
class FrameDeflater {
public:
    // trial: filters chosen by trial compression, else by byte sums.
    FrameDeflater(ByteSink& sink, RowFilterer& rows, bool trial) : sink_(sink), rows_(rows), super_(trial) {}
    ~FrameDeflater()
    {
        if (open_) deflateEnd(&z_);
    }
    // A zlib stream of rows [0, height).
    ResultCode run(uint32_t height) { return run(0, height, false, true, nullptr, 0); }
    // Raw deflate data of rows [first, end); `last` finishes the stream,
    // otherwise it ends flushed to a byte boundary. `dictionary` is the
    // filtered data just before `first` (at most the window's 32 KiB).
    ResultCode run(uint32_t first, uint32_t end, bool raw, bool last, const uint8_t* dictionary,
                   size_t dictionaryBytes);
    // Checksum and count of the uncompressed bytes of the last run.
    uLong adler() const { return adler_; }
    uint64_t inputBytes() const { return inputBytes_; }

private:
    ResultCode feed(const uint8_t* p, size_t n, int flush);
    ResultCode drain(int flush);
    uint32_t trialSize(const uint8_t* line, size_t n);

    ByteSink& sink_;
    RowFilterer& rows_;
    bool super_;
    z_stream z_;
    bool open_ = false;
    uLong adler_ = 1;
    uint64_t inputBytes_ = 0;
    AlignedBuffer<uint8_t> out_;
    AlignedBuffer<uint8_t> trialOut_;
    static constexpr size_t kOutBytes = 1 << 18;
};

ResultCode FrameDeflater::drain(int flush)
{
    for (;;) {
        z_.next_out = out_.get();
        z_.avail_out = uInt(kOutBytes);
        int r = deflate(&z_, flush);
        if (r == Z_STREAM_ERROR) return RC_GENERAL_FAILURE;
        size_t produced = kOutBytes - z_.avail_out;
        if (produced) {
            ResultCode rc = sink_.data(out_.get(), produced);
            if (failed(rc)) return rc;
        }
        if (flush == Z_FINISH ? r == Z_STREAM_END : (z_.avail_in == 0 && z_.avail_out != 0)) return RC_OK;
        if (r == Z_BUF_ERROR && produced == 0) return RC_GENERAL_FAILURE;
    }
}

// Hands `n` bytes to the stream in pieces zlib's counters can hold; `flush`
// applies once all are in.
ResultCode FrameDeflater::feed(const uint8_t* p, size_t n, int flush)
{
    adler_ = adler32_z(adler_, p, n);
    inputBytes_ += n;
    constexpr size_t kMaxFeed = size_t(1) << 30;
    do {
        size_t take = std::min(n, kMaxFeed);
        z_.next_in = const_cast<Bytef*>(p);
        z_.avail_in = uInt(take);
        p += take;
        n -= take;
        ResultCode rc = drain(n ? Z_NO_FLUSH : flush);
        if (failed(rc)) return rc;
    } while (n);
    return RC_OK;
}

// What the stream grows by when `line` is compressed and flushed, tried on
// a copy of the stream.
uint32_t FrameDeflater::trialSize(const uint8_t* line, size_t n)
{
    z_stream t;
    if (deflateCopy(&t, &z_) != Z_OK) return UINT32_MAX;
    uLong before = t.total_out;
    constexpr size_t kMaxFeed = size_t(1) << 30;
    for (bool more = true; more;) {
        size_t take = std::min(n, kMaxFeed);
        t.next_in = const_cast<Bytef*>(line);
        t.avail_in = uInt(take);
        line += take;
        n -= take;
        int flush = n ? Z_NO_FLUSH : Z_SYNC_FLUSH;
        do {
            t.next_out = trialOut_.get();
            t.avail_out = uInt(kOutBytes);
            if (deflate(&t, flush) == Z_STREAM_ERROR) more = false;
        } while (more && (t.avail_out == 0 || t.avail_in));
        more = more && n;
    }
    uint32_t size = uint32_t(std::min<uLong>(t.total_out - before, UINT32_MAX - 1));
    deflateEnd(&t);
    return size;
}

ResultCode FrameDeflater::run(uint32_t first, uint32_t end, bool raw, bool last, const uint8_t* dictionary,
                              size_t dictionaryBytes)
{
    std::memset(&z_, 0, sizeof z_);
    if (deflateInit2(&z_, 9, Z_DEFLATED, raw ? -15 : 15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return RC_GENERAL_FAILURE;
    open_ = true;
    adler_ = adler32(0, nullptr, 0);
    inputBytes_ = 0;
    if (dictionaryBytes && deflateSetDictionary(&z_, dictionary, uInt(dictionaryBytes)) != Z_OK)
        return RC_GENERAL_FAILURE;
    bool trial = super_ && rows_.adaptive();
    if (!rows_.ready() || !out_.allocate(kOutBytes) || (trial && !trialOut_.allocate(kOutBytes)))
        return RC_OUT_OF_MEMORY;
    rows_.seek(first);
    for (uint32_t y = first; y < end; ++y) {
        const uint8_t* line = trial ? rows_.next(y, [this](const uint8_t* l, size_t n) { return trialSize(l, n); })
                                    : rows_.next(y);
        ResultCode rc = feed(line, rows_.lineBytes(), Z_NO_FLUSH);
        if (failed(rc)) return rc;
    }
    z_.avail_in = 0;
    ResultCode rc = drain(last ? Z_FINISH : Z_SYNC_FLUSH);
    deflateEnd(&z_);
    open_ = false;
    return rc;
}

// Large frames are deflated in pieces of whole rows on the task pool and
// joined into one stream. The pieces follow from the frame alone, never from
// the number of workers, so a file comes out the same on every machine.
// Byte-sum pieces are primed with the data before them and cost only a
// flush marker each. Trial pieces start without that history (the filters
// of the piece before are known only once it is done), so they are larger
// to lose less of it.
constexpr uint64_t kPieceBytes = 512 << 10, kTrialPieceBytes = 2 << 20;
constexpr size_t kWindowBytes = 32768;

// Rows per piece; 0 when the frame is too small to be worth splitting.
uint32_t pieceRows(uint64_t lineBytes, uint32_t height, bool trial)
{
    uint64_t target = trial ? kTrialPieceBytes : kPieceBytes;
    if (lineBytes * height < 2 * target) return 0;
    return uint32_t(std::min<uint64_t>(height, std::max<uint64_t>(1, (target + lineBytes - 1) / lineBytes)));
}

struct Piece {
    MemorySink out;
    uLong adler = 1;
    uint64_t bytes = 0;
    bool done = false;
};

// The filtered data just before row `first`, at most the window's worth, in
// `window` (room for twice that); *bytes receives its size. The rows are
// filtered again exactly as the piece before chose, which depends on those
// rows alone.
const uint8_t* dictionaryBefore(uint32_t first, RowFilterer& rows, uint8_t* window, size_t* bytes)
{
    size_t lineBytes = rows.lineBytes();
    uint64_t want = (kWindowBytes + lineBytes - 1) / lineBytes;
    uint32_t from = first - uint32_t(std::min<uint64_t>(first, want));
    size_t filled = 0;
    rows.seek(from);
    for (uint32_t y = from; y < first; ++y) {
        const uint8_t* line = rows.next(y);
        // A line longer than the window is the only one here.
        size_t take = std::min(lineBytes, kWindowBytes);
        std::memcpy(window + filled, line + lineBytes - take, take);
        filled += take;
    }
    *bytes = std::min(filled, kWindowBytes);
    return window + filled - *bytes;
}

ResultCode deflateInPieces(ByteSink& sink, const Image* frame, const PngLayout& layout, const uint8_t* map,
                           bool adaptive, bool trial, uint32_t rowsPerPiece)
{
    const uint32_t height = frame->height;
    const uint32_t count = uint32_t((uint64_t(height) + rowsPerPiece - 1) / rowsPerPiece);
    std::unique_ptr<Piece[]> pieces(new (std::nothrow) Piece[count]);
    if (!pieces) return RC_OUT_OF_MEMORY;
    // The zlib header of a level-9 stream with a 32 KiB window.
    static const uint8_t kZlibHeader[2] = {0x78, 0xDA};
    ResultCode status = sink.data(kZlibHeader, 2);
    if (failed(status)) return status;
    uLong adler = adler32(0, nullptr, 0);
    uint32_t taken = 0, written = 0;
    std::mutex mutex;
    std::condition_variable wake;
    const uint64_t lineBytes = (uint64_t(frame->width) * layout.bits + 7) / 8 + 1;
    const unsigned lanes = rowBandCount(count, lineBytes * rowsPerPiece);
    // A finished piece waits in memory until those before it are written;
    // lanes run at most this many pieces ahead of the writing.
    const uint32_t ahead = 2 * lanes + 2;
    runRowBands(lanes, lanes, [&](unsigned, uint32_t, uint32_t) {
        RowFilterer rows(frame, layout, map, adaptive);
        AlignedBuffer<uint8_t> window(trial ? 1 : 2 * kWindowBytes);
        for (;;) {
            uint32_t i;
            {
                std::unique_lock<std::mutex> hold(mutex);
                wake.wait(hold, [&] { return failed(status) || taken == count || taken < written + ahead; });
                if (failed(status) || taken == count) return;
                i = taken++;
            }
            Piece& piece = pieces[i];
            uint32_t first = i * rowsPerPiece;
            uint32_t end = uint32_t(std::min<uint64_t>(height, uint64_t(first) + rowsPerPiece));
            ResultCode rc = RC_OK;
            if (!rows.ready() || !window) {
                rc = RC_OUT_OF_MEMORY;
            } else {
                size_t dictionaryBytes = 0;
                const uint8_t* dictionary =
                    trial || !first ? nullptr : dictionaryBefore(first, rows, window.get(), &dictionaryBytes);
                FrameDeflater deflater(piece.out, rows, trial);
                rc = deflater.run(first, end, true, i + 1 == count, dictionary, dictionaryBytes);
                piece.adler = deflater.adler();
                piece.bytes = deflater.inputBytes();
            }
            {
                std::lock_guard<std::mutex> hold(mutex);
                piece.done = true;
                if (failed(rc) && succeeded(status)) status = rc;
                while (succeeded(status) && written < count && pieces[written].done) {
                    Piece& p = pieces[written++];
                    if (p.out.size()) status = sink.data(p.out.bytes(), p.out.size());
                    adler = adler32_combine(adler, p.adler, z_off_t(p.bytes));
                    p.out.release();
                }
            }
            wake.notify_all();
        }
    });
    if (failed(status)) return status;
    uint8_t tail[4] = {uint8_t(adler >> 24), uint8_t(adler >> 16), uint8_t(adler >> 8), uint8_t(adler)};
    return sink.data(tail, 4);
}

// One frame's zlib stream, whole or in pieces.
ResultCode deflateFrame(ByteSink& sink, const Image* frame, const PngLayout& layout, const uint8_t* map, bool trial)
{
    bool adaptive = layout.adaptive == ADAPT_ALWAYS || (trial && layout.adaptive == ADAPT_SUPER_ONLY);
    uint64_t lineBytes = (uint64_t(frame->width) * layout.bits + 7) / 8 + 1;
    if (uint32_t rows = pieceRows(lineBytes, frame->height, trial && adaptive))
        return deflateInPieces(sink, frame, layout, map, adaptive, trial && adaptive, rows);
    RowFilterer rows(frame, layout, map, adaptive);
    FrameDeflater deflater(sink, rows, trial);
    return deflater.run(frame->height);
}

class PngWriter final : public ImageWriter {
public:
    using ImageWriter::ImageWriter;

protected:
    ResultCode encode(Image* image, const char16_t* subFormatName, uint32_t colourFlag, uint32_t, int32_t,
                      bool allFrames, void*) override
    {
        return encodeChain(image, subFormatName, colourFlag, allFrames);
    }

    uint32_t colourFlagForFrames(Image* image, uint32_t flag, uint32_t caps) override;

private:
    ResultCode encodeChain(Image* image, const char16_t* subFormatName, uint32_t colourFlag, bool allFrames);
    ResultCode writeText(const ImageInfo* info, ChunkWriter& chunks);
};

// The frame in the colour format's pixel format: the frame itself, or a
// converted copy held by `keep`. Null when it cannot be had.
const Image* frameInFormat(Image* frame, PixelFormat want, Ref<Image>& keep)
{
    if (frame->pixelFormat == want) return frame;
    if (want == PF_INDEXED8) return nullptr;
    keep = Ref<Image>::adopt(imageConvertNew(frame, false, false, want));
    return keep.get();
}

// Transparent entries stand for one another, whatever their colour.
uint32_t paletteKey(uint32_t c) { return c >> 24 ? c : 0; }

// The entry of `file` nearest to `colour` (an exact one when there is one).
uint8_t nearestEntry(const uint32_t* file, uint32_t entries, uint32_t colour)
{
    colour = paletteKey(colour);
    uint64_t bestDistance = UINT64_MAX;
    uint32_t best = 0;
    for (uint32_t j = 0; j < entries && bestDistance; ++j) {
        uint64_t d = 0;
        for (int s = 0; s < 32; s += 8) {
            int64_t k = int64_t((colour >> s) & 255) - int64_t((paletteKey(file[j]) >> s) & 255);
            d += uint64_t(k * k);
        }
        if (d < bestDistance) bestDistance = d, best = j;
    }
    return uint8_t(best);
}

// Renumbers a frame's palette indices onto the file's palette.
void paletteMap(const uint32_t* file, uint32_t entries, const uint32_t* own, uint8_t map[256])
{
    for (uint32_t i = 0; i < 256; ++i) map[i] = nearestEntry(file, entries, own[i]);
}

// The size of the header and whether the first frame must be laid on it:
// the canvas, grown to hold every frame of an animation.
struct Canvas {
    uint64_t width = 0, height = 0;
    bool composeFirst = false;
};

Canvas canvasOf(Image* image, bool animated)
{
    Canvas c{image->width, image->height, false};
    if (!animated) return c;
    c.width = std::max<uint64_t>(c.width, image->frameInfo.canvasWidth);
    c.height = std::max<uint64_t>(c.height, image->frameInfo.canvasHeight);
    for (Image* f = image; f; f = f->next()) {
        c.width = std::max<uint64_t>(c.width, uint64_t(std::max(0, f->frameInfo.x)) + f->width);
        c.height = std::max<uint64_t>(c.height, uint64_t(std::max(0, f->frameInfo.y)) + f->height);
    }
    // The default image is the first frame and must fill the header's
    // size: a smaller or displaced one is laid on the background.
    c.composeFirst = image->width != c.width || image->height != c.height || image->frameInfo.x > 0 ||
                     image->frameInfo.y > 0;
    return c;
}

// The first frame laid on the canvas is disposed of: a decoder then clears
// the whole canvas, where the source clears or restores the frame alone.
bool laidOutFrameDisposes(const Image* image, const Canvas& canvas)
{
    return canvas.composeFirst && (image->frameInfo.dispose == 1 || image->frameInfo.dispose == 2);
}

// An animation as its source shows it and as a decoder composes the file,
// kept once the first frame, laid on the canvas, is disposed of. The decoder
// clears the whole laid-out frame (the first frame has no earlier canvas to
// restore), where the source clears or restores the frame's own rectangle:
// whatever differs is owed. The next frame grows over what is owed and is
// written whole from the source's canvas, replacing what the decoder has
// there, as the WebP writer gives back what its padding cleared.
// Pixels are kept in the file's sample format (indices in the file's
// palette); a mask marks the pixels a disposal cleared. A file that cannot
// hold a clear pixel (no alpha, or no transparent entry) shows the
// background colour where a grown frame covers one, as a flattened picture.
class SourceCanvas {
public:
    SourceCanvas(const PngLayout& layout, const uint32_t* palette, uint32_t entries)
        : layout_(layout), palette_(palette), entries_(entries), bpp_(bytesPerPixel(layout.format))
    {
    }

    // `composed` is the first frame on its background colour, in the file's
    // format; the frame's own rectangle is `own`.
    ResultCode start(const Image* composed, uint32_t background, const FrameRect& own, uint8_t dispose)
    {
        width_ = composed->width, height_ = composed->height;
        const uint64_t pixels = uint64_t(width_) * height_;
        source_ = Ref<Image>::adopt(imageCreate(layout_.format, composed->size()));
        decoder_ = Ref<Image>::adopt(imageCreate(layout_.format, composed->size()));
        if (!source_ || !decoder_ || !sourceClear_.allocate(pixels, true) || !decoderClear_.allocate(pixels, true))
            return RC_OUT_OF_MEMORY;
        for (Image* c : {source_.get(), decoder_.get()}) {
            c->alphaKind = layout_.colourType == 6 ? ALPHA_STRAIGHT : ALPHA_NONE;
            if (layout_.format == PF_INDEXED8) std::memcpy(c->palette(), palette_, 256 * sizeof(uint32_t));
        }
        uint8_t backgroundValue[8] = {};
        if (layout_.format == PF_INDEXED8) {
            backgroundValue[0] = nearestEntry(palette_, entries_, background);
            canClear_ = false;
            for (uint32_t i = 0; i < entries_ && !canClear_; ++i)
                if ((palette_[i] >> 24) == 0) clearValue_[0] = uint8_t(i), canClear_ = true;
        } else {
            Ref<Image> one = Ref<Image>::adopt(imageCreate(layout_.format, packSize(1, 1)));
            if (!one) return RC_OUT_OF_MEMORY;
            imageFillRectArgb(one.get(), 0, packSize(1, 1), background);
            std::memcpy(backgroundValue, one->pixels(), bpp_);
            opaque(backgroundValue);
            canClear_ = layout_.colourType == 6;
        }
        if (!canClear_) std::memcpy(clearValue_, backgroundValue, bpp_);

        for (uint32_t y = 0; y < height_; ++y) {
            straightRow(composed, y, source_->rowBytesPtr(y));
            std::memcpy(decoder_->rowBytesPtr(y), source_->rowBytesPtr(y), size_t(width_) * bpp_);
        }
        const FrameRect whole = {0, 0, width_, height_};
        if (dispose == 2) {
            // Back to the background the frame was laid on.
            for (uint32_t y = own.y; y < own.y + own.height; ++y)
                for (uint32_t x = own.x; x < own.x + own.width; ++x)
                    std::memcpy(at(source_, x, y), backgroundValue, bpp_);
        } else {
            clear(source_.get(), sourceClear_.get(), own);
        }
        clear(decoder_.get(), decoderClear_.get(), whole);
        findOwed(whole);
        return RC_OK;
    }

    // The rectangle the frame at `own` is written over.
    FrameRect rectFor(const FrameRect& own) const { return own.unite(owed_); }

    // Lays `frame` (the file's format, its indices through `map`) at `own`
    // on the source's canvas and disposes of it as told. When `rect` is
    // larger than `own`, `grown` receives the canvas over `rect`, to be
    // written in the frame's place without blending.
    ResultCode draw(const Image* frame, const uint8_t* map, const FrameRect& own, const FrameRect& rect, bool blend,
                    uint8_t dispose, Ref<Image>& grown)
    {
        const size_t rowBytes = size_t(rect.width) * bpp_;
        AlignedBuffer<uint8_t> savedSource, savedDecoder, savedSourceClear, savedDecoderClear, row;
        if (!row.allocate(uint64_t(own.width) * bpp_)) return RC_OUT_OF_MEMORY;
        if (dispose == 2) {
            if (!savedSource.allocate(uint64_t(own.height) * own.width * bpp_) ||
                !savedSourceClear.allocate(uint64_t(own.height) * own.width) ||
                !savedDecoder.allocate(uint64_t(rect.height) * rowBytes) ||
                !savedDecoderClear.allocate(uint64_t(rect.height) * rect.width))
                return RC_OUT_OF_MEMORY;
            copyOut(source_.get(), sourceClear_.get(), own, savedSource.get(), savedSourceClear.get());
            copyOut(decoder_.get(), decoderClear_.get(), rect, savedDecoder.get(), savedDecoderClear.get());
        }
        for (uint32_t r = 0; r < own.height; ++r) {
            straightRow(frame, r, row.get());
            for (uint32_t c = 0; c < own.width; ++c) {
                const uint32_t x = own.x + c, y = own.y + r;
                uint8_t* p = row.get() + size_t(c) * bpp_;
                if (map) *p = map[*p];
                compose(at(source_, x, y), sourceClear_[index(x, y)], p, blend);
            }
        }
        const bool grows = !(rect == own);
        if (grows) {
            grown = Ref<Image>::adopt(imageCreate(layout_.format, packSize(rect.width, rect.height)));
            if (!grown) return RC_OUT_OF_MEMORY;
            grown->alphaKind = source_->alphaKind;
            if (layout_.format == PF_INDEXED8) std::memcpy(grown->palette(), palette_, 256 * sizeof(uint32_t));
        }
        // The decoder now shows what the source shows over the rectangle; a
        // file without clear pixels shows opaque ones where a grown frame
        // covers cleared ones.
        for (uint32_t r = 0; r < rect.height; ++r) {
            const uint32_t y = rect.y + r;
            std::memcpy(at(decoder_, rect.x, y), at(source_, rect.x, y), rowBytes);
            if (grows) std::memcpy(grown->rowBytesPtr(r), at(source_, rect.x, y), rowBytes);
            for (uint32_t x = rect.x; x < rect.x + rect.width; ++x)
                decoderClear_[index(x, y)] = grows && !canClear_ ? 0 : sourceClear_[index(x, y)];
        }
        if (dispose == 1) {
            clear(source_.get(), sourceClear_.get(), own);
            clear(decoder_.get(), decoderClear_.get(), rect);
        } else if (dispose == 2) {
            copyIn(source_.get(), sourceClear_.get(), own, savedSource.get(), savedSourceClear.get());
            copyIn(decoder_.get(), decoderClear_.get(), rect, savedDecoder.get(), savedDecoderClear.get());
        }
        // Elsewhere the two agree: only what was just disposed of can differ.
        findOwed(dispose == 1 || dispose == 2 ? rect : FrameRect{});
        return RC_OK;
    }

private:
    size_t index(uint32_t x, uint32_t y) const { return size_t(y) * width_ + x; }
    uint8_t* at(const Ref<Image>& c, uint32_t x, uint32_t y) const { return c->rowBytesPtr(y) + size_t(x) * bpp_; }

    // A file without alpha shows every sample opaque.
    void opaque(uint8_t* p) const
    {
        if (layout_.colourType != 2) return;
        if (bpp_ == 4) p[3] = 255;
        else p[6] = p[7] = 255;
    }

    bool transparent(const uint8_t* p) const
    {
        if (layout_.format == PF_INDEXED8) return (palette_[*p] >> 24) == 0;
        if (layout_.colourType != 6) return false;
        return bpp_ == 4 ? p[3] == 0 : (p[6] | p[7]) == 0;
    }

    // Row y of an image in the file's format, with straight alpha.
    void straightRow(const Image* image, uint32_t y, uint8_t* out) const
    {
        const size_t n = size_t(image->width) * bpp_;
        if (image->alphaKind != ALPHA_PREMULTIPLIED || bpp_ < 4) {
            std::memcpy(out, image->rowBytesPtr(y), n);
        } else if (bpp_ == 4) {
            unpremultiplyRow8(reinterpret_cast<Rgba8*>(out), image->row<Rgba8>(y), image->width);
        } else {
            unpremultiplyRow16(reinterpret_cast<Rgba16*>(out), image->row<Rgba16>(y), image->width);
        }
        for (size_t i = 0; i < n; i += bpp_) opaque(out + i);
    }

    // A frame's pixel laid on the source's: replaced, or blended when told.
    void compose(uint8_t* dst, uint8_t& cleared, const uint8_t* src, bool blend) const
    {
        const bool under = cleared || transparent(dst);
        if (blend && transparent(src)) return;
        if (!blend || under || layout_.colourType != 6) {
            std::memcpy(dst, src, bpp_);
        } else if (bpp_ == 4) {
            over<uint8_t, 255>(reinterpret_cast<const Rgba8*>(src), reinterpret_cast<Rgba8*>(dst));
        } else {
            Rgba16 s, d;
            std::memcpy(&s, src, 8), std::memcpy(&d, dst, 8);
            over<uint16_t, 65535>(&s, &d);
            std::memcpy(dst, &d, 8);
        }
        cleared = 0;
    }

    // Straight-alpha "over", as a decoder blends.
    template <class T, uint32_t kMax, class Pixel>
    static void over(const Pixel* s, Pixel* d)
    {
        const uint64_t sa = s->a, da = uint64_t(d->a) * (kMax - sa) / kMax, a = sa + da;
        auto mix = [&](T sc, T dc) { return T((sc * sa + dc * da + a / 2) / a); };
        *d = {mix(s->b, d->b), mix(s->g, d->g), mix(s->r, d->r), T(a)};
    }

    void clear(Image* c, uint8_t* mask, const FrameRect& r) const
    {
        for (uint32_t y = r.y; y < r.y + r.height; ++y)
            for (uint32_t x = r.x; x < r.x + r.width; ++x) {
                std::memcpy(c->rowBytesPtr(y) + size_t(x) * bpp_, clearValue_, bpp_);
                mask[index(x, y)] = 1;
            }
    }

    void copyOut(const Image* c, const uint8_t* mask, const FrameRect& r, uint8_t* values, uint8_t* clear) const
    {
        for (uint32_t y = 0; y < r.height; ++y) {
            std::memcpy(values + size_t(y) * r.width * bpp_, c->rowBytesPtr(r.y + y) + size_t(r.x) * bpp_,
                        size_t(r.width) * bpp_);
            std::memcpy(clear + size_t(y) * r.width, mask + index(r.x, r.y + y), r.width);
        }
    }

    void copyIn(Image* c, uint8_t* mask, const FrameRect& r, const uint8_t* values, const uint8_t* clear) const
    {
        for (uint32_t y = 0; y < r.height; ++y) {
            std::memcpy(c->rowBytesPtr(r.y + y) + size_t(r.x) * bpp_, values + size_t(y) * r.width * bpp_,
                        size_t(r.width) * bpp_);
            std::memcpy(mask + index(r.x, r.y + y), clear + size_t(y) * r.width, r.width);
        }
    }

    // What the decoder shows wrongly within `r`: a clear pixel the file can
    // hold, or any other pixel that is not what the source shows.
    void findOwed(const FrameRect& r)
    {
        owed_ = {};
        for (uint32_t y = r.y; y < r.y + r.height; ++y)
            for (uint32_t x = r.x; x < r.x + r.width; ++x) {
                const uint8_t *s = at(source_, x, y), *d = at(decoder_, x, y);
                const bool sClear = sourceClear_[index(x, y)] || transparent(s);
                const bool dClear = decoderClear_[index(x, y)] || transparent(d);
                bool owed;
                if (sClear) {
                    owed = canClear_ && !dClear;
                } else if (dClear) {
                    owed = true;
                } else if (layout_.format == PF_INDEXED8) {
                    owed = paletteKey(palette_[*s]) != paletteKey(palette_[*d]);
                } else {
                    owed = std::memcmp(s, d, bpp_) != 0;
                }
                if (owed) owed_ = owed_.unite({x, y, 1, 1});
            }
    }

    const PngLayout layout_;
    const uint32_t* palette_;
    const uint32_t entries_;
    const uint32_t bpp_;
    uint32_t width_ = 0, height_ = 0;
    Ref<Image> source_, decoder_;
    AlignedBuffer<uint8_t> sourceClear_, decoderClear_;
    uint8_t clearValue_[8] = {};
    bool canClear_ = false;
    FrameRect owed_;
};

// The one palette of an animation: the colours its frames' pixels use, in
// order of first use, and the background the first frame is laid on (and a
// clear entry, when the laid-out frame's disposal clears it). The count is
// above 256 when they do not fit one palette or a frame is not a palette
// image.
uint32_t framesPalette(Image* image, const Canvas& canvas, uint32_t colours[256])
{
    uint32_t count = 0;
    auto add = [&](uint32_t c) {
        c = paletteKey(c);
        for (uint32_t i = 0; i < count; ++i)
            if (colours[i] == c) return true;
        if (count == 256) return false;
        colours[count++] = c;
        return true;
    };
    for (Image* f = image; f; f = f->next()) {
        IndexedView* view = f->indexedView();
        if (!view) return 257;
        bool used[256] = {};
        for (uint32_t y = 0; y < f->height; ++y) {
            const uint8_t* row = view->row(y);
            for (uint32_t x = 0; x < f->width; ++x) used[row[x]] = true;
        }
        const uint32_t* own = view->palette();
        for (uint32_t i = 0; i < 256; ++i)
            if (used[i] && !add(own[i])) return 257;
    }
    if (canvas.composeFirst && !add(image->frameInfo.backgroundColour)) return 257;
    if (laidOutFrameDisposes(image, canvas) && image->frameInfo.dispose == 1 && !add(0)) return 257;
    return count;
}

// An animation's frames may each carry a palette of their own, while the
// file holds one for all: a palette depth is kept only when one palette
// holds every frame's colours, else the frames are stored in true colour.
// Grey is kept only when every frame is grey.
uint32_t PngWriter::colourFlagForFrames(Image* image, uint32_t flag, uint32_t caps)
{
    const bool grey = flag == CF_GRAY8 || flag == CF_GRAY16;
    // A canvas that starts clear shows through where the first frame does
    // not cover it and where a frame is disposed of to the background: the
    // file needs alpha there, however opaque the frames are.
    bool showsClear = false;
    if ((image->frameInfo.backgroundColour >> 24) != 0xFF) {
        showsClear = canvasOf(image, true).composeFirst;
        for (Image* f = image; f && !showsClear; f = f->next()) showsClear = f->frameInfo.dispose == 1 && f->next();
    }
    if (flag > CF_256_COLOURS && !grey) {
        if (showsClear && flag == CF_RGB24 && (caps & CF_RGBA32)) return CF_RGBA32;
        if (showsClear && flag == CF_RGB48 && (caps & CF_RGBA64)) return CF_RGBA64;
        return flag;
    }
    bool alpha = showsClear, wide = false, colour = false;
    for (Image* f = image; f; f = f->next()) {
        PixelFormat p = f->pixelFormat;
        alpha |= f->alphaKind != ALPHA_NONE;
        wide |= p == PF_RGBA16 || p == PF_RGBA_FLOAT || p == PF_GRAY16 || p == PF_GRAY_FLOAT;
        colour |= p == PF_RGBA8 || p == PF_RGBA16 || p == PF_RGBA_FLOAT ||
                  (p == PF_INDEXED8 && !isOpaqueGreyRamp(f->palette()));
    }
    if (grey) {
        if (!colour) return flag;
    } else {
        uint32_t colours[256];
        uint32_t count = framesPalette(image, canvasOf(image, true), colours);
        for (uint32_t f : {CF_2_COLOURS, CF_4_COLOURS, CF_16_COLOURS, CF_256_COLOURS})
            if (f >= flag && (caps & f) && count <= 1u << colourFormatBits(f)) return f;
    }
    const uint32_t deep[] = {alpha ? CF_RGBA64 : CF_RGB48, alpha ? CF_RGB48 : CF_RGBA64};
    const uint32_t shallow[] = {alpha ? CF_RGBA32 : CF_RGB24, alpha ? CF_RGB24 : CF_RGBA32};
    for (const uint32_t* order : {wide ? deep : shallow, wide ? shallow : deep})
        for (int i = 0; i < 2; ++i)
            if (caps & order[i]) return order[i];
    return flag;
}

ResultCode PngWriter::encodeChain(Image* image, const char16_t* subFormatName, uint32_t colourFlag, bool allFrames)
{
    PngLayout layout;
    if (!image || !layoutFor(colourFlag, layout)) return RC_UNSUPPORTED_COLOUR_FORMAT;
    bool super = subFormatName && std::u16string_view(subFormatName) == kPngSubFormats[1];
    bool animated = allFrames && image->next();
    uint32_t frameCount = 0;
    for (Image* f = image; f; f = animated ? f->next() : nullptr) ++frameCount;

    // The header covers the canvas and every frame.
    const Canvas canvas = canvasOf(image, animated);
    const uint64_t canvasW = canvas.width, canvasH = canvas.height;
    if (canvasW > kMaxDimension || canvasH > kMaxDimension || !canvasW || !canvasH) return RC_INVALID_PARAMETER;

    const uint32_t* palette = nullptr;
    uint32_t entries = layout.colourType == 3 ? 1u << layout.depth : 0;
    uint32_t shared[256];
    uint32_t sharedCount = 0;
    if (entries) {
        palette = image->palette();
        if (!palette) return RC_INVALID_PARAMETER;
    }
    if (entries && animated) {
        sharedCount = framesPalette(image, canvas, shared);
        if (sharedCount > entries) {
            // More colours than the depth asked for: one palette made over
            // every frame, onto which each frame's colours are mapped.
            SharedPaletteBuilder builder(entries);
            if (!builder.valid()) return RC_OUT_OF_MEMORY;
            sharedPaletteAddImage(&builder, image);
            if (failed(sharedPaletteBuild(&builder, shared, &sharedCount)) || !sharedCount) return RC_OUT_OF_MEMORY;
        }
        std::fill(shared + sharedCount, shared + 256, 0xFF000000u);
        palette = shared;
    }

    if (failed(output.write(kSignature, 8))) return RC_WRITE_FAILED;
    ChunkWriter chunks(output);
    uint8_t ihdr[13];
    ChunkWriter::storeBe(ihdr, uint32_t(canvasW));
    ChunkWriter::storeBe(ihdr + 4, uint32_t(canvasH));
    ihdr[8] = layout.depth, ihdr[9] = layout.colourType, ihdr[10] = ihdr[11] = ihdr[12] = 0;
    ResultCode rc = chunks.whole("IHDR", ihdr, 13);
    if (failed(rc)) return rc;
    if (animated) {
        uint8_t actl[8];
        ChunkWriter::storeBe(actl, frameCount);
        ChunkWriter::storeBe(actl + 4, image->frameInfo.loop ? 0 : 1);
        if (failed(rc = chunks.whole("acTL", actl, 8))) return rc;
    }
    if (entries) {
        uint8_t plte[768], trns[256];
        uint32_t lastClear = 0;
        for (uint32_t i = 0; i < entries; ++i) {
            plte[3 * i] = uint8_t(palette[i] >> 16), plte[3 * i + 1] = uint8_t(palette[i] >> 8);
            plte[3 * i + 2] = uint8_t(palette[i]);
            trns[i] = uint8_t(palette[i] >> 24);
            if (trns[i] != 255) lastClear = i + 1;
        }
        if (failed(rc = chunks.whole("PLTE", plte, 3 * entries))) return rc;
        if (lastClear && failed(rc = chunks.whole("tRNS", trns, lastClear))) return rc;
    }
    const ImageInfo* info = image->info();
    uint32_t ppm[2];
    if (info && parseResolution(ppm, info->get(INFO_DENSITY), false)) {
        uint8_t phys[9];
        ChunkWriter::storeBe(phys, std::min<uint32_t>(ppm[0], 0x7FFFFFFF));
        ChunkWriter::storeBe(phys + 4, std::min<uint32_t>(ppm[1], 0x7FFFFFFF));
        phys[8] = 1;
        if (failed(rc = chunks.whole("pHYs", phys, 9))) return rc;
    }

    uint32_t sequence = 0;
    bool first = true;
    std::unique_ptr<SourceCanvas> source;
    for (Image* f = image; f; f = animated ? f->next() : nullptr, first = false) {
        Ref<Image> converted, composed, grown;
        const Image* frame = frameInFormat(f, layout.format, converted);
        if (!frame) return layout.format == PF_INDEXED8 ? RC_INVALID_PARAMETER : RC_OUT_OF_MEMORY;
        int32_t x = std::max(0, f->frameInfo.x), y = std::max(0, f->frameInfo.y);
        uint8_t map[256];
        const uint8_t* mapping = nullptr;
        if (entries && animated) {
            paletteMap(palette, sharedCount, frame->palette(), map);
            mapping = map;
        }
        if (animated && first && canvas.composeFirst) {
            composed = Ref<Image>::adopt(imageCreate(frame->pixelFormat, packSize(uint32_t(canvasW), uint32_t(canvasH))));
            if (!composed) return RC_OUT_OF_MEMORY;
            composed->alphaKind = frame->alphaKind;
            if (entries) {
                // Laid out in the file's palette, which holds the background.
                std::memcpy(composed->palette(), palette, 256 * sizeof(uint32_t));
                uint8_t background = nearestEntry(palette, sharedCount, f->frameInfo.backgroundColour);
                for (uint32_t r = 0; r < composed->height; ++r)
                    std::memset(composed->row<uint8_t>(r), background, composed->width);
                for (uint32_t r = 0; r < frame->height; ++r) {
                    const uint8_t* src = frame->row<uint8_t>(r);
                    uint8_t* dst = composed->row<uint8_t>(uint32_t(y) + r) + x;
                    for (uint32_t i = 0; i < frame->width; ++i) dst[i] = map[src[i]];
                }
                mapping = nullptr;
            } else {
                imageFillRectArgb(composed.get(), 0, composed->size(), f->frameInfo.backgroundColour);
                if (failed(imageBlitRect(composed.get(), BlitPoint{x, y}, frame, BlitPoint{}, BlitSize{})))
                    return RC_OUT_OF_MEMORY;
            }
            if (laidOutFrameDisposes(f, canvas)) {
                source.reset(new (std::nothrow) SourceCanvas(layout, palette, entries && animated ? sharedCount : 0));
                if (!source) return RC_OUT_OF_MEMORY;
                const FrameRect own = {uint32_t(x), uint32_t(y), frame->width, frame->height};
                rc = source->start(composed.get(), f->frameInfo.backgroundColour, own, f->frameInfo.dispose);
                if (failed(rc)) return rc;
            }
            frame = composed.get();
            x = y = 0;
        } else if (source) {
            const FrameRect own = {uint32_t(x), uint32_t(y), frame->width, frame->height};
            const FrameRect rect = source->rectFor(own);
            rc = source->draw(frame, mapping, own, rect, f->frameInfo.blend != 0, f->frameInfo.dispose, grown);
            if (failed(rc)) return rc;
            if (grown) {
                frame = grown.get();
                x = int32_t(rect.x), y = int32_t(rect.y);
                mapping = nullptr;
            }
        }
        if (animated) {
            uint8_t fctl[26];
            ChunkWriter::storeBe(fctl, sequence++);
            ChunkWriter::storeBe(fctl + 4, frame->width);
            ChunkWriter::storeBe(fctl + 8, frame->height);
            ChunkWriter::storeBe(fctl + 12, uint32_t(x));
            ChunkWriter::storeBe(fctl + 16, uint32_t(y));
            // Taken as signed, a page that waits for its reader (all bits
            // set) keeps the millisecond form, as the longest delay it can
            // carry, instead of turning into hours.
            const int32_t duration = int32_t(f->frameInfo.duration);
            uint32_t num = uint16_t(duration), den = 1000;
            if (duration >= 65536) num = std::min<uint32_t>(uint32_t(duration) / 1000, 65535), den = 1;
            fctl[20] = uint8_t(num >> 8), fctl[21] = uint8_t(num);
            fctl[22] = uint8_t(den >> 8), fctl[23] = uint8_t(den);
            // Laid on the canvas or not, the first frame keeps its disposal:
            // a frame its source clears must be gone from the next one, which
            // gives back what the decoder cleared around it. A grown frame
            // replaces the canvas it covers.
            fctl[24] = f->frameInfo.dispose > 2 ? 0 : f->frameInfo.dispose;
            fctl[25] = !composed && !grown && f->frameInfo.blend ? 1 : 0;
            if (failed(rc = chunks.whole("fcTL", fctl, 26))) return rc;
        }
        if (failed(rc = chunks.begin(!first, &sequence))) return rc;
        bool filtersVary = layout.adaptive == ADAPT_ALWAYS || layout.adaptive == ADAPT_SUPER_ONLY;
        if (super && filtersVary) {
            // Row-by-row trials can lose to the plain choice over a whole
            // frame; the smaller stream is kept, so this sub-format never
            // writes a larger file.
            MemorySink tried, plain;
            if (failed(rc = deflateFrame(tried, frame, layout, mapping, true)) ||
                failed(rc = deflateFrame(plain, frame, layout, mapping, false)))
                return rc;
            const MemorySink& best = tried.size() <= plain.size() ? tried : plain;
            if (failed(rc = chunks.data(best.bytes(), best.size()))) return rc;
        } else if (failed(rc = deflateFrame(chunks, frame, layout, mapping, false))) {
            return rc;
        }
        if (failed(rc = chunks.end())) return rc;
    }
    if (failed(rc = writeText(info, chunks))) return rc;
    if (failed(rc = chunks.whole("IEND", nullptr, 0))) return rc;
    return failed(output.flush()) ? RC_WRITE_FAILED : RC_OK;
}

ResultCode PngWriter::writeText(const ImageInfo* info, ChunkWriter& chunks)
{
    if (!info) return RC_OK;
    for (const PngKeywordField* k = kPngKeywordFields; k->keyword; ++k) {
        const char16_t* value = info->get(int(k->field));
        if (!value || !*value) continue;
        std::u16string_view text(value);
        std::string data(k->keyword);
        data.push_back('\0');
        data += u16ToApprox(text);
        ResultCode rc = chunks.whole("tEXt", reinterpret_cast<const uint8_t*>(data.data()), data.size());
        if (failed(rc)) return rc;
        if (std::none_of(text.begin(), text.end(), [](char16_t c) { return c >= 0x100; })) continue;
        data.assign(k->keyword);
        // NUL, no compression (flag and method), no language, no translation.
        data.append(5, '\0');
        data += u16ToUtf8(text);
        if (failed(rc = chunks.whole("iTXt", reinterpret_cast<const uint8_t*>(data.data()), data.size()))) return rc;
    }
    return RC_OK;
}

} // namespace

ResultCode pngProbe(MappedFile* file)
{
    if (!file || !hasSignature(file->data(), file->size())) return RC_UNKNOWN_FORMAT;
    // Too short for a header: a PNG, but a damaged one.
    return file->size() < 22 ? RC_CORRUPT_FILE : RC_OK;
}

ImageReader* pngReaderCreate(MappedFile* file, const FormatDescriptor* descriptor)
{
    return new (std::nothrow) PngReader(file, descriptor);
}

ImageWriter* pngWriterCreate(const std::filesystem::path& path, const FormatDescriptor* descriptor)
{
    return writerCreate<PngWriter>(path, descriptor);
}

void pngFilterRow(uint32_t type, uint8_t* out, const uint8_t* cur, const uint8_t* prev, size_t n, uint32_t bpp)
{
    // Index arithmetic with a signed offset reaches the zero bytes before
    // each row for the first pixel's neighbours.
    const ptrdiff_t b = ptrdiff_t(bpp);
    switch (type) {
    case 0: std::memcpy(out, cur, n); break;
    case 1:
        for (size_t i = 0; i < n; ++i) out[i] = uint8_t(cur[i] - cur[ptrdiff_t(i) - b]);
        break;
    case 2:
        for (size_t i = 0; i < n; ++i) out[i] = uint8_t(cur[i] - prev[i]);
        break;
    case 3:
        for (size_t i = 0; i < n; ++i) out[i] = uint8_t(cur[i] - ((cur[ptrdiff_t(i) - b] + prev[i]) >> 1));
        break;
    case 4:
        for (size_t i = 0; i < n; ++i)
            out[i] = uint8_t(cur[i] - paethPredict(cur[ptrdiff_t(i) - b], prev[i], prev[ptrdiff_t(i) - b]));
        break;
    default: break;
    }
}

void pngUnfilterRow(uint32_t type, uint8_t* row, const uint8_t* previous, size_t count, uint32_t bytesPerPixel)
{
    switch (bytesPerPixel) {
    case 1: unfilterRowBpp<1>(type, row, previous, count); break;
    case 2: unfilterRowBpp<2>(type, row, previous, count); break;
    case 3: unfilterRowBpp<3>(type, row, previous, count); break;
    case 4: unfilterRowBpp<4>(type, row, previous, count); break;
    case 6: unfilterRowBpp<6>(type, row, previous, count); break;
    case 8: unfilterRowBpp<8>(type, row, previous, count); break;
    default: break;
    }
}

uint32_t pngCrc32(const uint8_t type[4], const uint8_t* data, size_t length)
{
    uLong crc = crc32(0L, type, 4);
    while (length) {
        uInt n = uInt(std::min<size_t>(length, 1u << 30));
        crc = crc32(crc, data, n);
        data += n;
        length -= n;
    }
    return uint32_t(crc);
}

} // namespace quillon
