// PC Paintbrush: a 128-byte little-endian header, then planar rows, raw or
// run-length coded as one stream, and for 256 colours a palette after a
// 0x0C byte at the end of the file. The writer always codes runs and puts
// the most used colours of a 256-colour image at the low indices.
#include "codecs/more/pcx.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "core/byte_cursor.h"
#include "core/image_reader.h"
#include "core/image_writer.h"
#include "platform/memory.h"

namespace quillon {

const char16_t* const kPcxSubFormats[] = {u"Normal", u""};
const ColourFormatFlags kPcxSubFormatCaps[] = {CF_2_COLOURS | CF_4_COLOURS | CF_16_COLOURS | CF_256_COLOURS |
                                               CF_RGB24};

namespace {

constexpr uint32_t kHeaderBytes = 128;
constexpr uint32_t kEndPaletteBytes = 769;

// Versions 0 and 1 use this fixed EGA palette.
const uint32_t kDefaultPalette[16] = {0x000000, 0xFFFFFF, 0x00AA00, 0x00AAAA, 0xAA0000, 0xAA00AA,
                                      0xAAAA00, 0xAAAAAA, 0x555555, 0x5555FF, 0x55FF55, 0x55FFFF,
                                      0xFF5555, 0xFF55FF, 0xFFFF55, 0xFFFFFF};

struct PcxHeader {
    uint32_t version, encoding, bits, planes;
    uint32_t xmin, ymin, xmax, ymax;
    uint32_t bytesPerLine;
};

// The checks probe and reader share; false when the data is not a PCX file.
bool readPcxHeader(const uint8_t* data, uint64_t size, PcxHeader* h)
{
    if (size < kHeaderBytes) return false;
    ByteCursor c(data, kHeaderBytes);
    c.skip(1);  // manufacturer
    h->version = c.u8();
    h->encoding = c.u8();
    h->bits = c.u8();
    h->xmin = c.u16le();
    h->ymin = c.u16le();
    h->xmax = c.u16le();
    h->ymax = c.u16le();
    c.seek(65);
    h->planes = c.u8();
    h->bytesPerLine = c.u16le();
    if (h->version == 0) {
        h->planes = h->bits;
        h->bits = 1;
    }
    uint32_t total = h->bits * h->planes;
    return total >= 1 && total <= 32 && h->encoding <= 1 && h->xmin <= h->xmax && h->ymin <= h->ymax;
}

// Whether a file that reached the probe by sniffing is PCX: the
// manufacturer byte that every writer sets, and data long enough for the
// rows the header gives, stored as they are or run-length coded at the
// densest (two bytes for 63).
bool sniffedFileFits(const uint8_t* data, uint64_t size, const PcxHeader& h)
{
    constexpr uint8_t kManufacturer = 10;
    if (data[0] != kManufacturer) return false;
    const uint64_t width = uint64_t(h.xmax) - h.xmin + 1, height = uint64_t(h.ymax) - h.ymin + 1;
    const uint64_t planeBytes = h.bytesPerLine ? h.bytesPerLine : (width + 7) / 8 * h.bits;
    const uint64_t rows = height * h.planes * planeBytes;
    const uint64_t least = h.encoding == 1 ? (rows + 62) / 63 * 2 : rows;
    return least <= size - kHeaderBytes;
}

inline uint32_t rgb(const uint8_t* p) { return 0xFF000000u | (uint32_t(p[0]) << 16) | (uint32_t(p[1]) << 8) | p[2]; }

class PcxReader final : public ImageReader {
public:
    PcxReader(MappedFile* f, const FormatDescriptor* d) : ImageReader(f, d) {}

protected:
    ResultCode readHeader(const void* options) override;
    ResultCode readPixels(Image* image, bool reduced, Progress* progress, AbortFlag* abort) override;

private:
    void decodeRow(uint8_t* dst, const uint8_t* src) const;
    void fillPalette(uint32_t* pal) const;

    PcxHeader h_{};
    uint64_t dataEnd_ = 0;   // the pixel data ends here (before a palette)
    uint64_t fileRow_ = 0;   // bytes of one row, all planes
    uint64_t planeStep_ = 0; // from one 8-bit plane of a row to the next
    int paletteKind_ = 0;    // 0 header, 1 default, 2 end of file, 3 black and white
};

ResultCode PcxReader::readHeader(const void*)
{
    const uint8_t* data = input->data();
    uint64_t size = input->size();
    if (!readPcxHeader(data, size, &h_)) return RC_UNKNOWN_FORMAT;
    width = h_.xmax - h_.xmin + 1;
    height = h_.ymax - h_.ymin + 1;
    bitsPerPixel = h_.bits * h_.planes;
    colourModel = CM_RGB;
    if (h_.encoding == 1) info.set(INFO_COMPRESSION, u"RLE");

    bool layoutOk = (h_.bits == 1 && h_.planes <= 8) || (h_.bits == 4 && h_.planes == 1) ||
                    (h_.bits == 8 && (h_.planes == 1 || h_.planes == 3 || h_.planes == 4)) ||
                    (h_.bits == 32 && h_.planes == 1);
    if (!layoutOk) return RC_UNSUPPORTED_SUBFORMAT;

    uint64_t planeBytes = h_.bytesPerLine;
    fileRow_ = planeBytes * h_.planes;
    if (!fileRow_) {
        planeBytes = (uint64_t(width) + 7) / 8 * h_.bits;
        fileRow_ = (uint64_t(width) + 7) / 8 * bitsPerPixel;
    }
    // What one row of the layout reads; a file row shorter than that would
    // take its pixels from the next row or past the data.
    uint64_t needed;
    switch (h_.bits) {
    case 1: needed = planeBytes < (uint64_t(width) + 7) / 8 ? UINT64_MAX : 0; break;
    case 4: needed = (uint64_t(width) + 1) / 2; break;
    case 8: needed = uint64_t(width) * h_.planes; break;
    default: needed = uint64_t(width) * 3; break;
    }
    if (needed > fileRow_) return RC_CORRUPT_FILE;
    // Colour planes are bytes-per-line apart, as every writer pads them,
    // but an older writer of ours packed them width apart inside a padded
    // row. Its files say so: the resolution fields hold the picture's size
    // and the line is the width plus one, rounded down to even.
    planeStep_ = planeBytes;
    if (h_.bytesPerLine == 0 || (h_.bits == 8 && h_.planes >= 3 && loadU16le(data + 12) == width &&
                                 loadU16le(data + 14) == height && h_.bytesPerLine == ((width + 1) & ~1u)))
        planeStep_ = width;

    dataEnd_ = size;
    uint64_t minRow = width;
    if (bitsPerPixel <= 8) {
        pixelFormat = PF_INDEXED8;
        if (h_.version <= 1) {
            paletteKind_ = 1;
        } else if (h_.bits == 8 && h_.planes == 1 && h_.version >= 5 && size >= kHeaderBytes + kEndPaletteBytes &&
                   data[size - kEndPaletteBytes] == 12) {
            // Only a 256-colour file ends with a palette; in any other the
            // 0x0C is just a byte of the pixel data.
            paletteKind_ = 2;
            dataEnd_ = size - kEndPaletteBytes;
        } else if (bitsPerPixel == 1 && loadU16le(data + 16) == loadU16le(data + 19) && data[18] == data[21]) {
            // Two equal entries (most often all zero) say nothing: black
            // and white.
            paletteKind_ = 3;
        } else {
            paletteKind_ = 0;
        }
    } else {
        pixelFormat = PF_RGBA8;
        alphaKind = h_.planes == 4 ? ALPHA_STRAIGHT : ALPHA_NONE;
        minRow *= 4;
    }
    if (minRow > UINT32_MAX - 64) return RC_OUT_OF_MEMORY;
    minRowBytes = uint32_t(minRow);
    // A run gives at most 63 bytes from two: data too short to fill even a
    // small part of the rows is a damaged file, refused before an image of
    // the size it claims is made (and cleared). The slack keeps the bound
    // clear of any whole file.
    const uint64_t have = dataEnd_ - kHeaderBytes;
    const uint64_t least = h_.encoding == 1 ? fileRow_ * height / 63 * 2 : fileRow_ * height;
    if (h_.encoding == 1 && least > have + 64) return RC_CORRUPT_FILE;
    // Without the slack, and raw rows whole, for a picture too large to
    // make: the size is a lie, not a picture too large for memory.
    if (least > have && imageBeyondAllocationCap(this)) return RC_CORRUPT_FILE;
    return RC_OK;
}

void PcxReader::fillPalette(uint32_t* pal) const
{
    const uint8_t* data = input->data();
    std::fill(pal, pal + 256, 0xFF000000u);
    switch (paletteKind_) {
    case 1:
        for (int i = 0; i < 16; ++i) pal[i] = 0xFF000000u | kDefaultPalette[i];
        break;
    case 2:
        for (int i = 0; i < 256; ++i) pal[i] = rgb(data + dataEnd_ + 1 + 3 * i);
        break;
    case 3: pal[1] = 0xFFFFFFFFu; break;
    default:
        for (int i = 0; i < 16; ++i) pal[i] = rgb(data + 16 + 3 * i);
    }
}

void PcxReader::decodeRow(uint8_t* dst, const uint8_t* src) const
{
    uint32_t w = width;
    if (h_.bits == 1) {
        // Bit k of each index comes from plane k.
        uint64_t stride = fileRow_ / h_.planes;
        for (uint32_t x = 0; x < w; ++x) {
            uint8_t v = 0;
            for (uint32_t k = 0; k < h_.planes; ++k)
                v |= uint8_t(((src[k * stride + (x >> 3)] >> (7 - (x & 7))) & 1) << k);
            dst[x] = v;
        }
    } else if (h_.bits == 4) {
        for (uint32_t x = 0; x < w; ++x) dst[x] = (x & 1) ? (src[x >> 1] & 15) : (src[x >> 1] >> 4);
    } else if (h_.bits == 8 && h_.planes == 1) {
        std::memcpy(dst, src, w);
    } else if (h_.bits == 8) {
        Rgba8* out = reinterpret_cast<Rgba8*>(dst);
        const uint64_t step = planeStep_;
        const uint8_t* a = h_.planes == 4 ? src + 3 * step : nullptr;
        for (uint32_t x = 0; x < w; ++x)
            out[x] = {src[2 * step + x], src[step + x], src[x], a ? a[x] : uint8_t(255)};
    } else {
        Rgba8* out = reinterpret_cast<Rgba8*>(dst);
        for (uint32_t x = 0; x < w; ++x) out[x] = {src[3 * x], src[3 * x + 1], src[3 * x + 2], 255};
    }
}

ResultCode PcxReader::readPixels(Image* image, bool, Progress* progress, AbortFlag* abort)
{
    if (pixelFormat == PF_INDEXED8) {
        uint32_t* pal = image->palette();
        if (!pal) return RC_INVALID_PARAMETER;
        fillPalette(pal);
    }
    const uint8_t* data = input->data() + kHeaderBytes;
    uint64_t avail = dataEnd_ - kHeaderBytes;
    uint64_t total;
    if (!checkedMul(fileRow_, height, &total)) return RC_OUT_OF_MEMORY;

    AlignedBuffer<uint8_t> decoded;
    uint64_t have = std::min(avail, total);
    if (h_.encoding == 1) {
        // The whole image is one run-length stream; rows may share a run.
        if (!decoded.allocate(total + 64, true)) return RC_OUT_OF_MEMORY;
        uint8_t* out = decoded.get();
        uint64_t o = 0, i = 0;
        for (uint32_t step = 1; o < total && i < avail; ++step) {
            uint8_t b = data[i++];
            uint64_t n = 1;
            if (b >= 0xC0) {
                if (i >= avail) break;
                n = b & 0x3F;
                b = data[i++];
            }
            n = std::min(n, total - o);
            std::memset(out + o, b, size_t(n));
            o += n;
            if (!(step & 0xFFFF) && aborted(abort)) return RC_OK;
        }
        have = o;
        data = out;
        reportProgress(progress, 50, 100);
    }

    AlignedBuffer<uint8_t> scratch;
    for (uint32_t y = 0; y < height; ++y) {
        uint64_t at = uint64_t(y) * fileRow_;
        const uint8_t* src = data + at;
        if (at + fileRow_ > have) {
            // A row cut short: what is missing reads as zeros.
            if (!scratch && !scratch.allocate(fileRow_, true)) return RC_OUT_OF_MEMORY;
            std::memset(scratch.get(), 0, size_t(fileRow_));
            if (at < have) std::memcpy(scratch.get(), src, size_t(have - at));
            src = scratch.get();
        }
        decodeRow(image->rowBytesPtr(y), src);
        if (aborted(abort)) return RC_OK;
        if ((y & 31) == 31) reportProgress(progress, y + 1, height);
    }
    return have < total ? RC_CORRUPT_FILE : RC_OK;
}

// ---- writer ----

class PcxWriter final : public ImageWriter {
public:
    using ImageWriter::ImageWriter;

protected:
    ResultCode encode(Image* image, const char16_t* subFormatName, uint32_t colourFlag, uint32_t bitsPerPixel,
                      int32_t parameter, bool allFrames, void* extra) override;
};

// The 256 indices ordered by how many runs of each the data holds, most
// first; ties keep index order. map[old] = new position.
void orderByRuns(const uint8_t* data, uint64_t n, uint8_t order[256], uint8_t map[256])
{
    uint64_t runs[256] = {};
    for (uint64_t i = 0; i < n; ++i)
        if (i == 0 || data[i] != data[i - 1]) ++runs[data[i]];
    uint32_t idx[256];
    for (uint32_t i = 0; i < 256; ++i) idx[i] = i;
    std::stable_sort(idx, idx + 256, [&](uint32_t a, uint32_t b) { return runs[a] > runs[b]; });
    for (uint32_t i = 0; i < 256; ++i) {
        order[i] = uint8_t(idx[i]);
        map[idx[i]] = uint8_t(i);
    }
}

ResultCode PcxWriter::encode(Image* image, const char16_t*, uint32_t colourFlag, uint32_t, int32_t, bool, void*)
{
    uint32_t bits = 1, planes;
    switch (colourFlag) {
    case CF_2_COLOURS: planes = 1; break;
    case CF_4_COLOURS: planes = 2; break;
    case CF_16_COLOURS: planes = 4; break;
    case CF_256_COLOURS: bits = 8, planes = 1; break;
    case CF_RGB24: bits = 8, planes = 3; break;
    default: return RC_UNSUPPORTED_COLOUR_FORMAT;
    }
    bool rgb = planes == 3;
    if (rgb ? !image->rgba8View() : !image->indexedView()) return RC_INVALID_PARAMETER;
    uint32_t w = image->width, h = image->height;
    // Other programs read three-plane rows with the planes bytes-per-line
    // apart, so those rows are not padded.
    uint64_t bpl = rgb ? w : (((uint64_t(w) * bits + 7) / 8 + 1) & ~uint64_t(1));
    if (w > 65536 || h > 65536 || bpl > 0xFFFF) return RC_INVALID_PARAMETER;
    uint64_t rowBytes = bpl * planes;
    uint64_t total;
    if (!checkedMul(rowBytes, h, &total)) return RC_OUT_OF_MEMORY;
    AlignedBuffer<uint8_t> buf(total, true);
    AlignedBuffer<uint8_t> coded(rowBytes * 2 + 16);
    if (!buf || !coded) return RC_OUT_OF_MEMORY;

    for (uint32_t y = 0; y < h; ++y) {
        uint8_t* row = buf.get() + uint64_t(y) * rowBytes;
        if (rgb) {
            const Rgba8* px = image->row<Rgba8>(y);
            for (uint32_t x = 0; x < w; ++x) row[x] = px[x].r, row[w + x] = px[x].g, row[2 * w + x] = px[x].b;
        } else if (bits == 8) {
            std::memcpy(row, image->row<uint8_t>(y), w);
        } else {
            const uint8_t* idx = image->row<uint8_t>(y);
            for (uint32_t k = 0; k < planes; ++k)
                for (uint32_t x = 0; x < w; ++x)
                    if ((idx[x] >> k) & 1) row[k * bpl + (x >> 3)] |= uint8_t(0x80 >> (x & 7));
        }
    }

    const uint32_t* imagePalette = image->palette();
    uint32_t pal[256] = {};
    if (imagePalette) std::copy(imagePalette, imagePalette + 256, pal);
    if (bits == 8 && planes == 1) {
        uint8_t order[256], map[256];
        orderByRuns(buf.get(), total, order, map);
        for (uint64_t i = 0; i < total; ++i) buf.get()[i] = map[buf.get()[i]];
        uint32_t reordered[256];
        for (uint32_t i = 0; i < 256; ++i) reordered[i] = imagePalette[order[i]];
        std::copy(reordered, reordered + 256, pal);
    }

    uint8_t hd[kHeaderBytes] = {};
    hd[0] = 10;
    hd[1] = bits == 1 ? 2 : 5;
    hd[2] = 1;
    hd[3] = uint8_t(bits);
    auto put16 = [&](int at, uint32_t v) { hd[at] = uint8_t(v), hd[at + 1] = uint8_t(v >> 8); };
    put16(8, w - 1);
    put16(10, h - 1);
    put16(12, w);
    put16(14, h);
    for (uint32_t i = 0; i < 16; ++i) {
        uint32_t c = bits == 1 ? pal[i] : (15 - i) * 0x010101u;
        hd[16 + 3 * i] = uint8_t(c >> 16), hd[17 + 3 * i] = uint8_t(c >> 8), hd[18 + 3 * i] = uint8_t(c);
    }
    hd[65] = uint8_t(planes);
    put16(66, uint32_t(bpl));
    put16(68, 1);
    if (failed(output.write(hd, sizeof hd))) return RC_WRITE_FAILED;

    for (uint32_t y = 0; y < h; ++y) {
        uint32_t n = pcxEncodeRow(coded.get(), buf.get() + uint64_t(y) * rowBytes, uint32_t(rowBytes));
        if (failed(output.write(coded.get(), n))) return RC_WRITE_FAILED;
    }
    if (bits == 8 && planes == 1) {
        uint8_t tail[kEndPaletteBytes];
        tail[0] = 12;
        for (uint32_t i = 0; i < 256; ++i)
            tail[1 + 3 * i] = uint8_t(pal[i] >> 16), tail[2 + 3 * i] = uint8_t(pal[i] >> 8),
                     tail[3 + 3 * i] = uint8_t(pal[i]);
        if (failed(output.write(tail, sizeof tail))) return RC_WRITE_FAILED;
    }
    return failed(output.flush()) ? RC_WRITE_FAILED : RC_OK;
}

} // namespace

ResultCode pcxProbe(MappedFile* file)
{
    PcxHeader h;
    if (!file || !readPcxHeader(file->data(), file->size(), &h)) return RC_UNKNOWN_FORMAT;
    // The header's checks pass on many a short binary record. A .pcx file
    // is taken without the manufacturer byte, as the reader ignores it; a
    // file named otherwise must carry it and fit.
    if (!sourceNamedAs(file, u"pcx") && !sniffedFileFits(file->data(), file->size(), h)) return RC_UNKNOWN_FORMAT;
    return RC_OK;
}

ImageReader* pcxReaderCreate(MappedFile* file, const FormatDescriptor* descriptor)
{
    return new (std::nothrow) PcxReader(file, descriptor);
}

ImageWriter* pcxWriterCreate(const std::filesystem::path& path, const FormatDescriptor* descriptor)
{
    return writerCreate<PcxWriter>(path, descriptor);
}

uint32_t pcxEncodeRow(uint8_t* out, const uint8_t* in, uint32_t count)
{
    uint32_t o = 0, i = 0;
    while (i < count) {
        uint8_t b = in[i];
        uint32_t n = 1;
        while (i + n < count && n < 63 && in[i + n] == b) ++n;
        if (n > 1 || b >= 0xC0) out[o++] = uint8_t(0xC0 | n);
        out[o++] = b;
        i += n;
    }
    return o;
}

} // namespace quillon
