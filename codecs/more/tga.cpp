// Truevision TGA: an 18-byte little-endian header, an optional image ID and
// colour map, then the pixels, raw or as run-length packets that may span
// rows, bottom row first unless the descriptor says otherwise. A TGA 2.0
// file ends with a footer that points at the extension area, whose
// attributes type tells whether the alpha channel is real and premultiplied.
#include "codecs/more/tga.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

#include "core/byte_cursor.h"
#include "core/image_reader.h"
#include "core/image_writer.h"
#include "core/text.h"
#include "platform/memory.h"

namespace quillon {

const char16_t* const kTgaSubFormats[] = {u"Normal", u""};
const ColourFormatFlags kTgaSubFormatCaps[] = {CF_256_COLOURS | CF_GRAY8 | CF_RGB15 | CF_RGBA16 | CF_RGB24 |
                                               CF_RGBA32};

namespace {

constexpr uint32_t kHeaderBytes = 18;
constexpr uint32_t kFooterBytes = 26;
constexpr uint32_t kExtensionBytes = 495;
constexpr char kSignature[18] = "TRUEVISION-XFILE.";  // with its zero byte

enum : uint8_t { KIND_MAPPED = 1, KIND_TRUE = 2, KIND_GREY = 3 };
enum : uint8_t { ATTR_NO_ALPHA = 1, ATTR_STRAIGHT = 3, ATTR_PREMULTIPLIED = 4 };

struct TgaHeader {
    uint32_t idLength, mapType, type, firstIndex, mapLength, mapBits;
    uint32_t width, height, depth, descriptor;
};

// The checks probe and reader share; false when the data is not a TGA file.
bool readTgaHeader(const uint8_t* data, uint64_t size, TgaHeader* h)
{
    if (size <= kHeaderBytes) return false;
    ByteCursor c(data, kHeaderBytes);
    h->idLength = c.u8();
    h->mapType = c.u8();
    h->type = c.u8();
    h->firstIndex = c.u16le();
    h->mapLength = c.u16le();
    h->mapBits = c.u8();
    c.skip(4);  // origin
    h->width = c.u16le();
    h->height = c.u16le();
    h->depth = c.u8();
    h->descriptor = c.u8();
    bool depthOk = h->depth == 8 || h->depth == 15 || h->depth == 16 || h->depth == 24 || h->depth == 32;
    return h->mapBits <= 32 && depthOk && (h->type & 7) < 4;
}

inline void storeU16le(uint8_t* p, uint32_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

class TgaReader final : public ImageReader {
public:
    TgaReader(MappedFile* f, const FormatDescriptor* d) : ImageReader(f, d) {}

protected:
    ResultCode readHeader(const void* options) override;
    ResultCode readPixels(Image* image, bool reduced, Progress* progress, AbortFlag* abort) override;

private:
    ResultCode checkLayout();
    void readAttributes(uint64_t size);
    void fillPalette(uint32_t* pal) const;
    void convertRow(uint8_t* dst, const uint8_t* src) const;

    TgaHeader h_{};
    uint64_t mapStart_ = 0, dataStart_ = 0, dataEnd_ = 0;
    uint32_t bytesPerPixel_ = 0;
    bool bottomUp_ = false, rle_ = false;
};

// Layout checks of readHeader that need no file offsets.
ResultCode TgaReader::checkLayout()
{
    uint32_t kind = h_.type & 7;
    // Types above 11 are the Huffman-coded variants, whose low bits would
    // otherwise pass for raw ones. Rows stored right to left are a TGA
    // file all the same, one we do not read.
    if (h_.type > 11 || (h_.descriptor & 0xD0) || h_.mapType >= 2 || kind == 0) return RC_UNSUPPORTED_SUBFORMAT;
    switch (kind) {
    case KIND_MAPPED:
        if (h_.depth != 8 || h_.mapType != 1) return RC_CORRUPT_FILE;
        if (h_.mapLength == 0) return RC_UNSUPPORTED_SUBFORMAT;
        if (h_.mapBits != 15 && h_.mapBits != 16 && h_.mapBits != 24 && h_.mapBits != 32)
            return RC_UNSUPPORTED_SUBFORMAT;
        break;
    case KIND_TRUE:
        if (h_.depth < 15) return RC_CORRUPT_FILE;
        break;
    default:
        // Grey with alpha (16 bits) is a real variant; other depths are not.
        if (h_.depth != 8) return h_.depth == 16 ? RC_UNSUPPORTED_SUBFORMAT : RC_CORRUPT_FILE;
        break;
    }
    if (!h_.width || !h_.height) return RC_CORRUPT_FILE;
    return RC_OK;
}

// A TGA 2.0 footer's extension area says what the alpha channel means; a
// footer or area that does not fit the file is ignored. The pixel data ends
// where either begins.
void TgaReader::readAttributes(uint64_t size)
{
    const uint8_t* data = input->data();
    if (size < dataStart_ + kFooterBytes || std::memcmp(data + size - 18, kSignature, 18) != 0) return;
    dataEnd_ = size - kFooterBytes;
    uint64_t ext = loadU32le(data + size - kFooterBytes);
    if (ext < kHeaderBytes || ext + kExtensionBytes > dataEnd_ || loadU16le(data + ext) < kExtensionBytes) return;
    switch (data[ext + kExtensionBytes - 1]) {
    case ATTR_STRAIGHT: alphaKind = ALPHA_STRAIGHT; break;
    case ATTR_PREMULTIPLIED: alphaKind = ALPHA_PREMULTIPLIED; break;
    default: alphaKind = ALPHA_NONE; break;
    }
    if (ext >= dataStart_) dataEnd_ = ext;
}

ResultCode TgaReader::readHeader(const void*)
{
    const uint64_t size = input->size();
    if (!readTgaHeader(input->data(), size, &h_)) return RC_UNKNOWN_FORMAT;
    if (ResultCode rc = checkLayout(); failed(rc)) return rc;
    uint32_t kind = h_.type & 7;
    width = h_.width;
    height = h_.height;
    bitsPerPixel = h_.depth;
    bottomUp_ = !(h_.descriptor & 0x20);
    rle_ = (h_.type & 8) != 0;
    if (rle_) info.set(INFO_COMPRESSION, u"RLE");

    // A true-colour or grey file may carry a map it does not use: skipped.
    uint64_t mapBytes = h_.mapType == 1 ? uint64_t(h_.mapBits + 7) / 8 * h_.mapLength : 0;
    mapStart_ = kHeaderBytes + h_.idLength;
    dataStart_ = mapStart_ + mapBytes;
    if (dataStart_ > size) return RC_CORRUPT_FILE;
    dataEnd_ = size;

    if (kind == KIND_MAPPED) alphaKind = h_.mapBits == 32 ? ALPHA_STRAIGHT : ALPHA_NONE;
    else if (kind == KIND_TRUE) alphaKind = h_.depth > 24 && (h_.descriptor & 15) ? ALPHA_STRAIGHT : ALPHA_NONE;
    readAttributes(size);
    if (kind == KIND_GREY) alphaKind = ALPHA_NONE;

    bytesPerPixel_ = h_.depth == 15 ? 2 : h_.depth / 8;
    // Far more data than the image could need says this is not a TGA file
    // at all (the format has no signature); less is a truncated file, which
    // decodes as far as it goes.
    uint64_t rawBytes = uint64_t(width) * height * bytesPerPixel_;
    if (dataEnd_ - dataStart_ > 2 * (rawBytes + 512)) return RC_UNSUPPORTED_SUBFORMAT;
    // A run packet gives at most 128 pixels from its header byte and one
    // pixel: packets too few to fill even a small part of the image are a
    // damaged file, refused before an image of the size it claims is made
    // (and cleared). The slack keeps the bound clear of any whole file.
    if (rle_ && uint64_t(width) * height / 128 * (1 + bytesPerPixel_) > dataEnd_ - dataStart_ + 64)
        return RC_CORRUPT_FILE;
    // Raw data that cannot fill even the first row holds no picture: refused
    // likewise.
    if (!rle_ && dataEnd_ - dataStart_ < uint64_t(width) * bytesPerPixel_) return RC_CORRUPT_FILE;

    colourModel = kind == KIND_GREY ? CM_L : CM_RGB;
    pixelFormat = kind == KIND_TRUE ? PF_RGBA8 : PF_INDEXED8;
    minRowBytes = kind == KIND_TRUE ? width * 4 : width;
    // Raw rows the file cannot hold, of a picture too large to make: the
    // size is a lie rather than a picture too large for memory.
    if (!rle_ && rawBytes > dataEnd_ - dataStart_ && imageBeyondAllocationCap(this)) return RC_CORRUPT_FILE;
    return RC_OK;
}

void TgaReader::fillPalette(uint32_t* pal) const
{
    uint32_t kind = h_.type & 7;
    for (uint32_t i = 0; i < 256; ++i) pal[i] = kind == KIND_GREY ? 0xFF000000u | i * 0x010101u : 0xFF000000u;
    if (kind != KIND_MAPPED) return;
    const uint8_t* map = input->data() + mapStart_;
    uint32_t entryBytes = (h_.mapBits + 7) / 8;
    uint32_t alphaMask = alphaKind == ALPHA_NONE ? 0xFF000000u : 0;
    for (uint32_t i = 0; i < h_.mapLength && h_.firstIndex + i < 256; ++i) {
        const uint8_t* e = map + uint64_t(i) * entryBytes;
        uint32_t c;
        if (entryBytes == 2) {
            // Map entries are shifted, not scaled, as the format's own
            // programs show them.
            uint32_t v = loadU16le(e);
            c = 0xFF000000u | ((v >> 10) & 31) << 19 | ((v >> 5) & 31) << 11 | (v & 31) << 3;
        } else if (entryBytes == 3) {
            c = 0xFF000000u | uint32_t(e[2]) << 16 | uint32_t(e[1]) << 8 | e[0];
        } else {
            c = uint32_t(e[3]) << 24 | uint32_t(e[2]) << 16 | uint32_t(e[1]) << 8 | e[0];
        }
        pal[h_.firstIndex + i] = c | alphaMask;
    }
}

void TgaReader::convertRow(uint8_t* dst, const uint8_t* src) const
{
    uint32_t w = width;
    Rgba8* out = reinterpret_cast<Rgba8*>(dst);
    switch (bytesPerPixel_) {
    case 1: std::memcpy(dst, src, w); break;
    case 2: tgaExpand555(dst, src, w, alphaKind != ALPHA_NONE); break;
    case 3:
        for (uint32_t x = 0; x < w; ++x) out[x] = {src[3 * x], src[3 * x + 1], src[3 * x + 2], 255};
        break;
    default: {
        bool keep = alphaKind != ALPHA_NONE;
        for (uint32_t x = 0; x < w; ++x)
            out[x] = {src[4 * x], src[4 * x + 1], src[4 * x + 2], keep ? src[4 * x + 3] : uint8_t(255)};
        break;
    }
    }
}

ResultCode TgaReader::readPixels(Image* image, bool, Progress* progress, AbortFlag* abort)
{
    if (pixelFormat == PF_INDEXED8) {
        uint32_t* pal = image->palette();
        if (!pal) return RC_INVALID_PARAMETER;
        fillPalette(pal);
    }
    const uint8_t* data = input->data() + dataStart_;
    const uint64_t avail = dataEnd_ - dataStart_;
    const uint64_t fileRow = uint64_t(width) * bytesPerPixel_;
    AlignedBuffer<uint8_t> scratch(fileRow + 16, true);
    if (!scratch) return RC_OUT_OF_MEMORY;
    TgaRunDecoder runs(data, size_t(avail), bytesPerPixel_);

    for (uint32_t r = 0; r < height; ++r) {
        if (aborted(abort)) return RC_OK;
        uint32_t y = bottomUp_ ? height - 1 - r : r;
        const uint8_t* src = scratch.get();
        bool cut = false;
        if (rle_) {
            uint32_t n = runs.unpack(scratch.get(), width);
            if (n < width) {
                std::memset(scratch.get() + uint64_t(n) * bytesPerPixel_, 0, size_t(fileRow - n * bytesPerPixel_));
                cut = true;
            }
        } else {
            uint64_t at = uint64_t(r) * fileRow;
            if (at + fileRow <= avail) {
                src = data + at;
            } else {
                std::memset(scratch.get(), 0, size_t(fileRow));
                if (at < avail) std::memcpy(scratch.get(), data + at, size_t(avail - at));
                cut = true;
            }
        }
        convertRow(image->rowBytesPtr(y), src);
        if (cut) {
            // The rows the data never reached stay empty.
            if (bottomUp_) imageClearRows(image, 0, height - 1 - r);
            else imageClearRows(image, r + 1, height);
            return RC_CORRUPT_FILE;
        }
        if ((r & 31) == 31) reportProgress(progress, r + 1, height);
    }
    return RC_OK;
}

// ---- writer ----

class TgaWriter final : public ImageWriter {
public:
    using ImageWriter::ImageWriter;

protected:
    ResultCode encode(Image* image, const char16_t* subFormatName, uint32_t colourFlag, uint32_t bitsPerPixel,
                      int32_t parameter, bool allFrames, void* extra) override;

private:
    ResultCode writeExtension(AlphaKind kind);
};

struct TgaLayout {
    uint8_t mapType, imageType, depth, alphaBits;
    bool extension;
};

ResultCode TgaWriter::writeExtension(AlphaKind kind)
{
    uint8_t ext[kExtensionBytes] = {};
    storeU16le(ext, kExtensionBytes);
    static const char kSoftware[] = "Vexa++ v2.3";
    std::memcpy(ext + 426, kSoftware, sizeof kSoftware - 1);
    storeU16le(ext + 478, 1);  // gamma 1/1
    storeU16le(ext + 480, 1);
    ext[kExtensionBytes - 1] = kind == ALPHA_STRAIGHT ? ATTR_STRAIGHT
                               : kind == ALPHA_PREMULTIPLIED ? ATTR_PREMULTIPLIED
                                                            : ATTR_NO_ALPHA;
    uint64_t at = output.tell();
    if (at > UINT32_MAX) return RC_WRITE_FAILED;
    output.write(ext, sizeof ext);
    output.writeU32le(uint32_t(at));
    output.writeU32le(0);
    return output.write(kSignature, sizeof kSignature);
}

ResultCode TgaWriter::encode(Image* image, const char16_t*, uint32_t colourFlag, uint32_t, int32_t, bool, void*)
{
    TgaLayout l;
    switch (colourFlag) {
    case CF_256_COLOURS: l = {1, 1, 8, 0, false}; break;
    case CF_GRAY8: l = {0, 3, 8, 0, false}; break;
    case CF_RGB15: l = {0, 2, 16, 0, false}; break;
    case CF_RGBA16: l = {0, 2, 16, 1, true}; break;
    case CF_RGB24: l = {0, 2, 24, 0, false}; break;
    case CF_RGBA32: l = {0, 2, 32, 8, true}; break;
    default: return RC_UNSUPPORTED_COLOUR_FORMAT;
    }
    PixelFormat want = l.imageType == 1 ? PF_INDEXED8 : l.imageType == 3 ? PF_GRAY8 : PF_RGBA8;
    if (image->pixelFormat != want || (want == PF_INDEXED8 && !image->palette())) return RC_INVALID_PARAMETER;
    const uint32_t w = image->width, h = image->height;
    if (w > 0xFFFF || h > 0xFFFF) return RC_INVALID_PARAMETER;
    const uint32_t bytes = l.depth / 8;
    AlignedBuffer<uint8_t> row(uint64_t(w) * bytes + 16);
    if (!row) return RC_OUT_OF_MEMORY;

    uint8_t hd[kHeaderBytes] = {};
    hd[1] = l.mapType;
    hd[2] = l.imageType;
    if (l.mapType) {
        storeU16le(hd + 5, 256);
        hd[7] = 24;
    }
    storeU16le(hd + 12, uint16_t(w));
    storeU16le(hd + 14, uint16_t(h));
    hd[16] = l.depth;
    hd[17] = l.alphaBits;  // bit 5 clear: bottom row first
    if (failed(output.write(hd, sizeof hd))) return RC_WRITE_FAILED;
    if (l.mapType) {
        uint8_t map[3 * 256];
        const uint32_t* pal = image->palette();
        for (uint32_t i = 0; i < 256; ++i)
            map[3 * i] = uint8_t(pal[i]), map[3 * i + 1] = uint8_t(pal[i] >> 8), map[3 * i + 2] = uint8_t(pal[i] >> 16);
        if (failed(output.write(map, sizeof map))) return RC_WRITE_FAILED;
    }

    // An image without alpha may hold anything in its alpha bytes.
    const bool alpha = image->alphaKind != ALPHA_NONE;
    uint8_t* out = row.get();
    for (uint32_t r = 0; r < h; ++r) {
        uint32_t y = h - 1 - r;
        if (bytes == 1) {
            std::memcpy(out, image->row<uint8_t>(y), w);
        } else {
            const Rgba8* px = image->row<Rgba8>(y);
            for (uint32_t x = 0; x < w; ++x) {
                uint8_t a = alpha ? px[x].a : 255;
                uint8_t* o = out + uint64_t(x) * bytes;
                if (bytes == 2) {
                    storeU16le(o, uint16_t((a >= 128 ? 0x8000 : 0) | (px[x].r >> 3) << 10 | (px[x].g >> 3) << 5 |
                                           px[x].b >> 3));
                } else {
                    o[0] = px[x].b, o[1] = px[x].g, o[2] = px[x].r;
                    if (bytes == 4) o[3] = a;
                }
            }
        }
        if (failed(output.write(out, size_t(w) * bytes))) return RC_WRITE_FAILED;
    }
    if (l.extension && failed(writeExtension(image->alphaKind))) return RC_WRITE_FAILED;
    return failed(output.flush()) ? RC_WRITE_FAILED : RC_OK;
}

} // namespace

uint32_t TgaRunDecoder::unpack(uint8_t* out, uint32_t pixels)
{
    uint32_t done = 0;
    while (done < pixels) {
        if (left_ == 0) {
            if (pos_ >= size_) break;
            uint8_t head = data_[pos_++];
            left_ = (head & 127u) + 1;
            repeat_ = (head & 128) != 0;
            if (repeat_) {
                if (size_ - pos_ < bpp_) {
                    pos_ = size_;
                    left_ = 0;
                    break;
                }
                std::memcpy(value_, data_ + pos_, bpp_);
                pos_ += bpp_;
            }
        }
        uint32_t n = std::min(left_, pixels - done);
        uint8_t* o = out + uint64_t(done) * bpp_;
        if (repeat_) {
            for (uint32_t i = 0; i < n; ++i) std::memcpy(o + i * bpp_, value_, bpp_);
        } else {
            // A literal packet cut by the end of the data keeps its whole
            // pixels.
            uint64_t have = (size_ - pos_) / bpp_;
            if (have < n) {
                std::memcpy(o, data_ + pos_, size_t(have * bpp_));
                done += uint32_t(have);
                pos_ = size_;
                left_ = 0;
                break;
            }
            std::memcpy(o, data_ + pos_, size_t(n) * bpp_);
            pos_ += size_t(n) * bpp_;
        }
        left_ -= n;
        done += n;
    }
    return done;
}

void tgaExpand555(uint8_t* out, const uint8_t* in, uint32_t count, bool alphaBit)
{
    for (uint32_t x = 0; x < count; ++x) {
        uint32_t v = loadU16le(in + 2 * x);
        uint8_t* o = out + 4 * x;
        o[0] = uint8_t((v & 31) * 255 / 31);
        o[1] = uint8_t(((v >> 5) & 31) * 255 / 31);
        o[2] = uint8_t(((v >> 10) & 31) * 255 / 31);
        o[3] = !alphaBit || (v & 0x8000) ? 255 : 0;
    }
}

ResultCode tgaProbe(MappedFile* file)
{
    if (!file) return RC_UNKNOWN_FORMAT;
    std::string name = file->name().string();
    if (!hasExtensionNoCase(name, ".tga") && !hasExtensionNoCase(name, ".targa")) return RC_UNKNOWN_FORMAT;
    TgaHeader h;
    return readTgaHeader(file->data(), file->size(), &h) ? RC_OK : RC_UNKNOWN_FORMAT;
}

ImageReader* tgaReaderCreate(MappedFile* file, const FormatDescriptor* descriptor)
{
    return new (std::nothrow) TgaReader(file, descriptor);
}

ImageWriter* tgaWriterCreate(const std::filesystem::path& path, const FormatDescriptor* descriptor)
{
    return writerCreate<TgaWriter>(path, descriptor);
}

} // namespace quillon
