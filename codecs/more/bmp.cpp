#include "codecs/more/bmp.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>

#include "core/bitpack.h"
#include "core/byte_cursor.h"
#include "core/convert.h"
#include "core/image_reader.h"
#include "core/image_writer.h"
#include "core/text.h"
#include "platform/memory.h"

namespace quillon {

const char16_t* const kBmpSubFormats[] = {u"Normal", u"RLE compressed", u""};
const ColourFormatFlags kBmpSubFormatCaps[] = {
    CF_2_COLOURS | CF_16_COLOURS | CF_256_COLOURS | CF_RGB15 | CF_RGB24 | CF_RGBA32,
    CF_16_COLOURS | CF_256_COLOURS,
};

namespace {

// Where the "BM" file header starts: 0, or 14 behind the 14-byte array
// header of an OS/2 "BA" array (its first bitmap); -1 if none.
int64_t locateHeader(const uint8_t* data, uint64_t size)
{
    if (size >= 2 && data[0] == 'B' && data[1] == 'M') return 0;
    if (size >= 16 && data[0] == 'B' && data[1] == 'A' && data[14] == 'B' && data[15] == 'M') return 14;
    return -1;
}

bool knownInfoSize(uint32_t s) { return s == 12 || s == 40 || s == 52 || s == 56 || s == 108 || s == 124; }

// A bit field of any width widened to 8 bits by repeating its bits, as other
// readers widen it: the field's largest value reads as 255. Wider fields
// keep their top 8 bits.
struct MaskShift {
    uint32_t mask = 0;
    uint32_t shift = 0;
    uint32_t width = 0;
    uint8_t table[256];  // fields of up to 8 bits, looked up
};

void analyseMask(uint32_t mask, MaskShift& m)
{
    m.mask = mask;
    if (!mask) return;
    const uint32_t low = uint32_t(__builtin_ctz(mask));
    const uint32_t high = 31 - uint32_t(__builtin_clz(mask));
    m.width = high - low + 1;
    m.shift = low;
    if (m.width > 8) {
        m.shift += m.width - 8;
        m.width = 8;
    }
    for (uint32_t v = 0; v < (1u << m.width); ++v) {
        uint32_t out = 0;
        for (int at = 8 - int(m.width); at > -int(m.width); at -= int(m.width))
            out |= at >= 0 ? v << at : v >> -at;
        m.table[v] = uint8_t(out);
    }
}

inline uint8_t maskChannel(uint32_t pixel, const MaskShift& m, uint8_t whenEmpty)
{
    if (!m.mask) return whenEmpty;
    return m.table[((pixel & m.mask) >> m.shift) & ((1u << m.width) - 1)];
}

class BmpReader final : public ImageReader {
public:
    BmpReader(MappedFile* f, const FormatDescriptor* d) : ImageReader(f, d) {}

protected:
    ResultCode readHeader(const void* options) override;
    ResultCode readPixels(Image* image, bool reduced, Progress* progress, AbortFlag* abort) override;

private:
    ResultCode readRle(Image* image, const uint8_t* data, uint64_t size);
    ResultCode runLengthReach(uint64_t have) const;

    uint32_t compression_ = 0;
    uint64_t dataOffset_ = 0;
    uint64_t paletteOffset_ = 0;
    uint32_t paletteEntries_ = 0;  // as the header declares them
    bool hasPalette_ = false;
    uint32_t maskB_ = 0, maskG_ = 0, maskR_ = 0, maskA_ = 0;
    bool quadPalette_ = true;
    bool topDown_ = false;
    bool lookForAlpha_ = false;
    uint64_t rowBytes_ = 0;
};

ResultCode BmpReader::readHeader(const void*)
{
    const uint8_t* data = input->data();
    uint64_t size = input->size();
    int64_t base = locateHeader(data, size);
    if (base < 0) return RC_UNKNOWN_FORMAT;
    ByteCursor c(data, size_t(size));
    c.seek(size_t(base) + 10);
    uint32_t offset = c.u32le();
    uint32_t infoSize = c.u32le();
    if (c.overrun()) return RC_CORRUPT_FILE;
    if (!knownInfoSize(infoSize)) return RC_UNSUPPORTED_SUBFORMAT;
    // The whole info header must lie inside the data; so must the masks
    // that follow a 40-byte header.
    uint64_t infoStart = uint64_t(base) + 14;
    if (infoStart + infoSize > size) return RC_CORRUPT_FILE;
    ByteCursor h(data + infoStart, size_t(size - infoStart));
    h.skip(4); // the size itself
    uint32_t planes, bits;
    int64_t w, hgt;
    uint32_t coloursUsed = 0;
    compression_ = 0;
    if (infoSize == 12) {
        w = h.u16le();
        hgt = h.u16le();
        planes = h.u16le();
        bits = h.u16le();
        quadPalette_ = false;
        topDown_ = false;
    } else {
        int32_t sw = h.i32le();
        int32_t sh = h.i32le();
        planes = h.u16le();
        bits = h.u16le();
        compression_ = h.u32le();
        h.u32le(); // image size
        int32_t xppm = h.i32le();
        int32_t yppm = h.i32le();
        coloursUsed = h.u32le();
        if (sh == INT_MIN || sw <= 0) return RC_CORRUPT_FILE;
        w = sw;
        topDown_ = sh < 0;
        hgt = sh < 0 ? -int64_t(sh) : sh;
        quadPalette_ = true;
        if (xppm && yppm) {
            char buf[48];
            std::snprintf(buf, sizeof buf, "%d x %d ppm", xppm, yppm);
            info.set(INFO_DENSITY, asciiToU16(buf).c_str());
        }
    }
    if (w <= 0 || hgt <= 0) return RC_CORRUPT_FILE;
    if (planes != 1 || compression_ > 3) return RC_UNSUPPORTED_SUBFORMAT;
    maskA_ = 0;
    if (compression_ == 0) {
        if (bits == 16) {
            compression_ = 3;
            maskR_ = 0x7C00, maskG_ = 0x3E0, maskB_ = 0x1F;
        } else if (bits == 32) {
            lookForAlpha_ = infoSize <= 52;
        } else if (bits != 1 && bits != 4 && bits != 8 && bits != 24) {
            return RC_UNSUPPORTED_SUBFORMAT;
        }
    } else if (compression_ == 1 || compression_ == 2) {
        if (bits != 4 && bits != 8) return RC_UNSUPPORTED_SUBFORMAT;
        info.set(INFO_COMPRESSION, u"RLE");
    } else {
        if (bits != 16 && bits != 32) return RC_UNSUPPORTED_SUBFORMAT;
        ByteCursor m(data, size_t(size));
        m.seek(size_t(infoStart) + 40);
        maskR_ = m.u32le();
        maskG_ = m.u32le();
        maskB_ = m.u32le();
        if (infoSize >= 56) maskA_ = m.u32le();
        if (m.overrun()) return RC_CORRUPT_FILE;
        // A header that names an alpha field declares alpha (ARGB1555,
        // ARGB4444, 32-bit with alpha).
        if (maskA_) alphaKind = ALPHA_STRAIGHT;
        if (bits == 32 && maskR_ == 0xFF0000 && maskG_ == 0xFF00 && maskB_ == 0xFF &&
            (maskA_ == 0 || maskA_ == 0xFF000000))
            compression_ = 0;
    }
    width = uint32_t(w);
    height = uint32_t(hgt);
    bitsPerPixel = bits;
    // Row bytes in 64 bits: a lying width must not wrap the arithmetic.
    rowBytes_ = ((uint64_t(width) * bits + 7) / 8 + 3) & ~uint64_t(3);
    dataOffset_ = offset;
    paletteOffset_ = infoStart + infoSize;
    if (bits <= 8) {
        paletteEntries_ = coloursUsed && coloursUsed < (1u << bits) ? coloursUsed : 1u << bits;
        // Some writers leave the palette out of the data offset; a palette
        // file cannot do without one, so its pixels follow the palette.
        if (dataOffset_ <= paletteOffset_)
            dataOffset_ = paletteOffset_ + uint64_t(paletteEntries_) * (quadPalette_ ? 4 : 3);
    }
    // Uncompressed data that cannot fill even the first row holds no
    // picture: refused here, before an image of the declared size exists.
    if (compression_ != 1 && compression_ != 2 &&
        (dataOffset_ >= size || size - dataOffset_ < packedBytes(width, bits)))
        return RC_CORRUPT_FILE;
    if (bits <= 8) {
        pixelFormat = PF_INDEXED8;
        uint64_t perRow = (rowBytes_ * 8 + bits - 1) / bits;
        if (perRow > UINT32_MAX - 64) return RC_OUT_OF_MEMORY;
        minRowBytes = uint32_t(perRow);
        hasPalette_ = true;
    } else {
        pixelFormat = PF_RGBA8;
        uint64_t rb = uint64_t(width) * 4;
        if (rb > UINT32_MAX - 64) return RC_OUT_OF_MEMORY;
        minRowBytes = uint32_t(rb);
        hasPalette_ = false;
    }
    const uint64_t have = dataOffset_ < size ? size - dataOffset_ : 0;
    if (compression_ == 1 || compression_ == 2) return runLengthReach(have);
    // Uncompressed rows must fit in the bytes that are there, except in a
    // cut file (12 GB were once taken for a 70-byte header's claim).
    return uncompressedRowsLie(this, rowBytes_, height, have) ? RC_CORRUPT_FILE : RC_OK;
}

// How far run-length data of `have` bytes can reach: a run draws at most 255
// pixels for 2 bytes, a move at most 255 columns and 255 rows for 4. No
// stream reaches the last column of a wider picture, or the top row of a
// taller one, so its header lies; its picture is refused before memory is
// taken for it. Only an end-of-bitmap code can leave more than that blank,
// and writers end the bitmap behind the rows they draw, so no file they make
// is refused. Together the two bound the picture by the square of the data.
// A picture larger than memory allows that runs alone could not draw is a
// lie as well.
ResultCode BmpReader::runLengthReach(uint64_t have) const
{
    const uint64_t columns = 255 * (have / 2), rows = 1 + std::max(have / 2, 255 * (have / 4));
    if (width > columns || height > rows) return RC_CORRUPT_FILE;
    if (uint64_t(width) * height > columns && imageBeyondAllocationCap(this)) return RC_CORRUPT_FILE;
    return RC_OK;
}

ResultCode BmpReader::readPixels(Image* image, bool, Progress* progress, AbortFlag* abort)
{
    const uint8_t* data = input->data();
    uint64_t size = input->size();
    uint32_t bits = bitsPerPixel;

    if (hasPalette_) {
        uint32_t* pal = image->palette();
        if (!pal) return RC_INVALID_PARAMETER;
        uint32_t entry = quadPalette_ ? 4 : 3;
        // As many entries as lie before the pixel data, or the entries the
        // header declares where the data starts inside them; indices past
        // them are opaque black.
        std::fill(pal, pal + 256, 0xFF000000u);
        uint64_t end = std::min<uint64_t>(dataOffset_, size);
        uint64_t n = end > paletteOffset_ ? (end - paletteOffset_) / entry : 0;
        n = std::max<uint64_t>(n, paletteEntries_);
        n = std::min<uint64_t>(n, size > paletteOffset_ ? (size - paletteOffset_) / entry : 0);
        n = std::min<uint64_t>(n, uint64_t(1) << bits);
        for (uint64_t i = 0; i < n; ++i) {
            const uint8_t* p = data + paletteOffset_ + i * entry;
            pal[i] = 0xFF000000u | (uint32_t(p[2]) << 16) | (uint32_t(p[1]) << 8) | p[0];
        }
    }

    const uint8_t* pixels = dataOffset_ < size ? data + dataOffset_ : nullptr;
    uint64_t avail = pixels ? size - dataOffset_ : 0;

    if (compression_ == 1 || compression_ == 2) return readRle(image, pixels, avail);

    if (lookForAlpha_) {
        bool any = false;
        for (uint32_t y = 0; y < height && !any; ++y) {
            uint64_t at = uint64_t(y) * rowBytes_;
            if (at >= avail) break;
            uint64_t n = std::min<uint64_t>(width, (avail - at) / 4);
            for (uint64_t x = 0; x < n; ++x)
                if (pixels[at + x * 4 + 3]) {
                    any = true;
                    break;
                }
        }
        if (any) {
            maskA_ = 0xFF000000;
            alphaKind = ALPHA_STRAIGHT;
        }
    }

    AlignedBuffer<uint8_t> scratch;
    size_t stride = image->rowBytes();
    // The last row may lack its padding; only missing pixels are damage.
    const uint64_t pixelBytes = packedBytes(width, bits);
    bool cut = false;
    MaskShift mb, mg, mr, ma;
    analyseMask(maskB_, mb);
    analyseMask(maskG_, mg);
    analyseMask(maskR_, mr);
    analyseMask(maskA_, ma);
    for (uint32_t row = 0; row < height; ++row) {
        uint32_t y = topDown_ ? row : height - 1 - row;
        uint8_t* dst = image->rowBytesPtr(y);
        uint64_t at = uint64_t(row) * rowBytes_;
        const uint8_t* src = pixels ? pixels + at : nullptr;
        if (at >= avail && bits <= 8 && compression_ != 3) {
            // Past the data, palette indices read as zeros are zero bytes:
            // the rows left are cleared at once, which on fresh memory costs
            // nothing however many rows the file claims.
            if (topDown_) imageClearRows(image, row, height);
            else imageClearRows(image, 0, height - row);
            cut = true;
            break;
        }
        if (at + rowBytes_ > avail) {
            // A file cut short: what is missing reads as zeros.
            if (at + pixelBytes > avail) cut = true;
            if (!scratch && !scratch.allocate(rowBytes_)) return RC_OUT_OF_MEMORY;
            std::memset(scratch.get(), 0, size_t(rowBytes_));
            if (at < avail) std::memcpy(scratch.get(), pixels + at, size_t(avail - at));
            src = scratch.get();
        }
        if (compression_ == 3) {
            Rgba8* out = reinterpret_cast<Rgba8*>(dst);
            for (uint32_t x = 0; x < width; ++x) {
                uint32_t px = bits == 16 ? loadU16le(src + 2 * x) : loadU32le(src + 4 * x);
                out[x].b = maskChannel(px, mb, 0);
                out[x].g = maskChannel(px, mg, 0);
                out[x].r = maskChannel(px, mr, 0);
                out[x].a = maskChannel(px, ma, 255);
            }
        } else if (bits == 32) {
            std::memcpy(dst, src, size_t(width) * 4);
            if (maskA_ != 0xFF000000) {
                Rgba8* out = reinterpret_cast<Rgba8*>(dst);
                for (uint32_t x = 0; x < width; ++x) out[x].a = 255;
            }
        } else if (bits == 24) {
            Rgba8* out = reinterpret_cast<Rgba8*>(dst);
            for (uint32_t x = 0; x < width; ++x) out[x] = {src[3 * x], src[3 * x + 1], src[3 * x + 2], 255};
        } else if (bits == 8) {
            std::memcpy(dst, src, width);
        } else {
            // The whole padded row, as far as the image's stride holds it.
            uint64_t perByte = 8 / bits;
            uint64_t n = std::min<uint64_t>(rowBytes_, stride / perByte);
            unpackSamples(dst, src, size_t(n * perByte), bits);
        }
        if (aborted(abort)) return RC_OK;
        if ((row & 31) == 31) reportProgress(progress, row + 1, height);
    }
    return cut ? RC_CORRUPT_FILE : RC_OK;
}

ResultCode BmpReader::readRle(Image* image, const uint8_t* data, uint64_t size)
{
    for (uint32_t y = 0; y < height; ++y) std::memset(image->rowBytesPtr(y), 0, width);
    if (!data) return RC_CORRUPT_FILE;
    bool four = compression_ == 2;
    bool ended = false;  // by the end-of-bitmap code
    uint64_t pos = 0;
    uint32_t x = 0;
    uint32_t row = 0; // counted from the bottom
    while (row < height && pos + 2 <= size) {
        uint8_t n = data[pos], v = data[pos + 1];
        pos += 2;
        uint8_t* dst = image->rowBytesPtr(height - 1 - row);
        if (n > 0) {
            uint32_t count = std::min<uint32_t>(n, width > x ? width - x : 0);
            if (four) {
                for (uint32_t i = 0; i < count; ++i) dst[x + i] = (i & 1) ? (v & 15) : (v >> 4);
            } else {
                std::memset(dst + x, v, count);
            }
            x += count;
            continue;
        }
        if (v == 0) {
            ++row;
            x = 0;
        } else if (v == 1) {
            ended = true;
            break;
        } else if (v == 2) {
            if (pos + 2 > size) break;
            uint32_t dx = data[pos], dy = data[pos + 1];
            pos += 2;
            x = std::min(width, x + dx);
            if (dy >= height - row) {
                ended = true;  // moved past the last row: nothing more to draw
                break;
            }
            row += dy;
        } else {
            uint64_t bytes = four ? (uint64_t(v) + 1) / 2 : v;
            uint64_t have = std::min<uint64_t>(bytes, size - pos);
            const uint8_t* src = data + pos;
            uint32_t pixelsIn = four ? uint32_t(std::min<uint64_t>(v, have * 2)) : uint32_t(have);
            uint32_t count = std::min<uint32_t>(pixelsIn, width > x ? width - x : 0);
            for (uint32_t i = 0; i < count; ++i)
                dst[x + i] = four ? ((i & 1) ? (src[i / 2] & 15) : (src[i / 2] >> 4)) : src[i];
            x += count;
            // Absolute runs keep the data word-aligned, counted from the
            // start of the pixel data.
            pos += bytes;
            if (pos & 1) ++pos;
            if (have < bytes) break;
        }
    }
    // Data that stops before the last row, or inside it without the row
    // being drawn out, was cut short. Files that end the last row without
    // an end-of-line or end-of-bitmap code are whole.
    bool whole = ended || row >= height || (row + 1 == height && x >= width);
    return whole ? RC_OK : RC_CORRUPT_FILE;
}

// ---- writer ----

class BmpWriter final : public ImageWriter {
public:
    using ImageWriter::ImageWriter;

protected:
    ResultCode encode(Image* image, const char16_t* subFormatName, uint32_t colourFlag, uint32_t bitsPerPixel,
                      int32_t parameter, bool allFrames, void* extra) override;
};

ResultCode BmpWriter::encode(Image* image, const char16_t* subFormatName, uint32_t colourFlag, uint32_t, int32_t,
                             bool, void*)
{
    bool rle = subFormatName && std::u16string_view(subFormatName) == kBmpSubFormats[kBmpRle];
    uint32_t bits;
    switch (colourFlag) {
    case CF_2_COLOURS: bits = 1; break;
    case CF_16_COLOURS: bits = 4; break;
    case CF_256_COLOURS: bits = 8; break;
    case CF_RGB15: bits = 16; break;
    case CF_RGB24: bits = 24; break;
    case CF_RGBA32: bits = 32; break;
    default: return RC_UNSUPPORTED_COLOUR_FORMAT;
    }
    if (bits != 4 && bits != 8) rle = false;
    const uint32_t* pal = nullptr;
    const Rgba8View* rgba = nullptr;
    if (bits <= 8) {
        const IndexedView* iv = image->indexedView();
        if (!iv) return RC_INVALID_PARAMETER;
        pal = iv->palette();
    } else {
        rgba = image->rgba8View();
        if (!rgba) return RC_INVALID_PARAMETER;
    }
    uint32_t w = image->width, h = image->height;
    uint64_t rowBytes = ((uint64_t(w) * bits + 7) / 8 + 3) & ~uint64_t(3);
    uint64_t bufBytes;
    if (!checkedMul(std::max<uint64_t>(rowBytes, w), 2, &bufBytes) || !checkedAdd(bufBytes, 64, &bufBytes))
        return RC_OUT_OF_MEMORY;
    bool premultiplied = bits > 8 && image->alphaKind == ALPHA_PREMULTIPLIED;
    AlignedBuffer<uint8_t> buf(bufBytes, true);
    AlignedBuffer<uint8_t> trial(rle ? bufBytes : 1);
    AlignedBuffer<Rgba8> straight(premultiplied ? w : 1);
    if (!buf || !trial || !straight) return RC_OUT_OF_MEMORY;

    // Pixels per metre, which the header's signed fields hold.
    uint32_t ppm[2] = {0, 0};
    const ImageInfo* inf = image->info();
    if (!inf || !parseResolution(ppm, inf->get(INFO_DENSITY), false)) ppm[0] = ppm[1] = 0;
    ppm[0] = std::min<uint32_t>(ppm[0], INT32_MAX);
    ppm[1] = std::min<uint32_t>(ppm[1], INT32_MAX);

    uint32_t paletteBytes = bits <= 8 ? 4u << bits : 0;
    uint32_t offset = 54 + paletteBytes;
    uint64_t fileSize = uint64_t(offset) + uint64_t(h) * rowBytes;
    // Writes after a failed one fail too, so one check at the end covers
    // the whole header.
    output.write("BM", 2);
    output.writeU32le(uint32_t(std::min<uint64_t>(fileSize, UINT32_MAX)));
    output.writeU32le(0);
    output.writeU32le(offset);
    output.writeU32le(40);
    output.writeU32le(w);
    output.writeU32le(h);
    output.writeU16le(1);
    output.writeU16le(uint16_t(bits));
    output.writeU32le(rle ? (bits == 8 ? 1 : 2) : 0);
    output.writeU32le(0);
    output.writeU32le(ppm[0]);
    output.writeU32le(ppm[1]);
    output.writeU32le(0);
    if (failed(output.writeU32le(0))) return RC_WRITE_FAILED;
    if (pal) {
        uint8_t entries[1024];
        uint32_t n = 1u << bits;
        for (uint32_t i = 0; i < n; ++i) {
            entries[4 * i] = uint8_t(pal[i]);
            entries[4 * i + 1] = uint8_t(pal[i] >> 8);
            entries[4 * i + 2] = uint8_t(pal[i] >> 16);
            entries[4 * i + 3] = 0;
        }
        if (failed(output.write(entries, 4 * n))) return RC_WRITE_FAILED;
    }

    uint8_t* out = buf.get();
    for (uint32_t r = 0; r < h; ++r) {
        uint32_t y = h - 1 - r;
        if (rle) {
            const uint8_t* idx = image->row<uint8_t>(y);
            uint32_t best = 0, bestRun = 0;
            uint32_t lo = bits == 8 ? 2 : 4, hi = bits == 8 ? 6 : 16;
            for (uint32_t m = lo; m <= hi; ++m) {
                uint32_t n = bits == 8 ? bmpEncodeRle8Row(trial.get(), idx, w, m) : bmpEncodeRle4Row(trial.get(), idx, w, m);
                if (m == lo || n < best) best = n, bestRun = m;
            }
            uint32_t n = bits == 8 ? bmpEncodeRle8Row(out, idx, w, bestRun) : bmpEncodeRle4Row(out, idx, w, bestRun);
            if (failed(output.write(out, n))) return RC_WRITE_FAILED;
            continue;
        }
        std::memset(out, 0, size_t(rowBytes));
        if (bits == 1) {
            const uint8_t* idx = image->row<uint8_t>(y);
            for (uint32_t x = 0; x < w; ++x)
                if (idx[x] & 1) out[x >> 3] |= uint8_t(0x80 >> (x & 7));
        } else if (bits == 4) {
            const uint8_t* idx = image->row<uint8_t>(y);
            for (uint32_t x = 0; x < w; ++x) out[x >> 1] |= uint8_t((idx[x] & 15) << ((x & 1) ? 0 : 4));
        } else if (bits == 8) {
            std::memcpy(out, image->row<uint8_t>(y), w);
        } else {
            const Rgba8* px = image->row<Rgba8>(y);
            if (premultiplied) {
                // Files carry straight alpha, which is how readers take it.
                unpremultiplyRow8(straight.get(), px, w);
                px = straight.get();
            }
            for (uint32_t x = 0; x < w; ++x) {
                Rgba8 p = px[x];
                if (bits == 16) {
                    uint32_t v = (p.a >= 128 ? 0x8000u : 0) | (uint32_t(p.r >> 3) << 10) | (uint32_t(p.g >> 3) << 5) |
                                 uint32_t(p.b >> 3);
                    out[2 * x] = uint8_t(v);
                    out[2 * x + 1] = uint8_t(v >> 8);
                } else if (bits == 24) {
                    out[3 * x] = p.b, out[3 * x + 1] = p.g, out[3 * x + 2] = p.r;
                } else {
                    out[4 * x] = p.b, out[4 * x + 1] = p.g, out[4 * x + 2] = p.r, out[4 * x + 3] = p.a;
                }
            }
        }
        if (failed(output.write(out, size_t(rowBytes)))) return RC_WRITE_FAILED;
    }
    if (rle) {
        const uint8_t end[2] = {0, 1};
        if (failed(output.write(end, 2))) return RC_WRITE_FAILED;
        uint64_t total = output.tell();
        if (failed(output.seek(2)) || failed(output.writeU32le(uint32_t(std::min<uint64_t>(total, UINT32_MAX)))) ||
            failed(output.seek(total)))
            return RC_WRITE_FAILED;
    }
    return failed(output.flush()) ? RC_WRITE_FAILED : RC_OK;
}

} // namespace

ResultCode bmpProbe(MappedFile* file)
{
    if (!file || file->size() < 44) return RC_UNKNOWN_FORMAT;
    const uint8_t* d = file->data();
    int64_t base = locateHeader(d, file->size());
    if (base < 0) return RC_UNKNOWN_FORMAT;
    ByteCursor c(d, size_t(file->size()));
    c.seek(size_t(base) + 14);
    uint32_t infoSize = c.u32le();
    if (c.overrun()) return RC_UNKNOWN_FORMAT;
    return knownInfoSize(infoSize) ? RC_OK : RC_UNSUPPORTED_SUBFORMAT;
}

ImageReader* bmpReaderCreate(MappedFile* file, const FormatDescriptor* descriptor)
{
    return new (std::nothrow) BmpReader(file, descriptor);
}

ImageWriter* bmpWriterCreate(const std::filesystem::path& path, const FormatDescriptor* descriptor)
{
    return writerCreate<BmpWriter>(path, descriptor);
}

uint32_t bmpEncodeRle8Row(uint8_t* out, const uint8_t* in, uint32_t count, uint32_t minRun)
{
    uint32_t o = 0, i = 0;
    while (i < count) {
        uint32_t start = i, run = 1;
        ++i;
        while (i < count) {
            if (in[i] == in[i - 1]) {
                if (run >= 255) break;
                ++run;
                ++i;
                continue;
            }
            uint32_t len = i - start;
            if (run >= minRun || (run >= minRun / 2 && len >= 255 - minRun)) break;
            if (len >= 255) break;
            run = 1;
            ++i;
        }
        uint32_t len = i - start;
        if (len > 255) {
            // Grown past the limit through its run: hand the rest back and
            // write the first 255 bytes as they are.
            i = start + 255;
            len = 255;
            run = 0;
        }
        uint32_t runLen = run >= 2 ? run : 0;
        uint32_t lit = len - runLen;
        const uint8_t* p = in + start;
        if (lit == 1) {
            out[o++] = 1, out[o++] = p[0];
        } else if (lit == 2) {
            if (p[0] == p[1]) {
                out[o++] = 2, out[o++] = p[0];
            } else {
                out[o++] = 1, out[o++] = p[0], out[o++] = 1, out[o++] = p[1];
            }
        } else if (lit >= 3) {
            out[o++] = 0, out[o++] = uint8_t(lit);
            std::memcpy(out + o, p, lit);
            o += lit;
            if (lit & 1) out[o++] = 0;
        }
        if (runLen) out[o++] = uint8_t(runLen), out[o++] = p[lit];
    }
    out[o++] = 0;
    out[o++] = 0;
    return o;
}

uint32_t bmpEncodeRle4Row(uint8_t* out, const uint8_t* in, uint32_t count, uint32_t minRun)
{
    uint32_t o = 0, i = 0;
    while (i < count) {
        uint32_t start = i;
        uint32_t take = std::min<uint32_t>(2, count - i);
        uint32_t run = take;
        i += take;
        while (i < count) {
            if (in[i] == in[i - 2]) {
                if (run >= 254) break;
                ++run;
                ++i;
                continue;
            }
            uint32_t len = i - start;
            if (run >= minRun || (run >= minRun / 2 && len >= 254 - minRun)) break;
            if (len >= 254) break;
            run = 1;
            ++i;
        }
        uint32_t len = i - start;
        if (len > 254) {
            i = start + 254;
            len = 254;
            run = 0;
        }
        uint32_t runLen = run >= 4 ? run : 0;
        uint32_t lit = len - runLen;
        const uint8_t* p = in + start;
        if (lit == 1) {
            out[o++] = 1, out[o++] = uint8_t((p[0] & 15) << 4);
        } else if (lit == 2) {
            out[o++] = 2, out[o++] = uint8_t(((p[0] & 15) << 4) | (p[1] & 15));
        } else if (lit >= 3) {
            out[o++] = 0, out[o++] = uint8_t(lit);
            uint32_t bytes = (lit + 1) / 2;
            for (uint32_t k = 0; k < bytes; ++k) {
                uint8_t hi = p[2 * k] & 15;
                uint8_t lo = 2 * k + 1 < lit ? (p[2 * k + 1] & 15) : 0;
                out[o++] = uint8_t((hi << 4) | lo);
            }
            if (bytes & 1) out[o++] = 0;
        }
        if (runLen) out[o++] = uint8_t(runLen), out[o++] = uint8_t(((p[lit] & 15) << 4) | (p[lit + 1] & 15));
    }
    out[o++] = 0;
    out[o++] = 0;
    return o;
}

} // namespace quillon
