// TIFF writing: one little-endian directory per page with the page as one
// strip, uncompressed, LZW with a predictor, JPEG or SGI LogLuv RLE, with the
// text tags, resolution, Exif and GPS directories and an XMP packet. The
// directory and its values come first; the strip follows and its byte count
// is patched once it is known.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "codecs/main/exif.h"
#include "codecs/main/jpeg_codec.h"
#include "codecs/main/tiff.h"
#include "codecs/main/tiff_tags.h"
#include "codecs/main/xmp.h"
#include "core/convert.h"
#include "core/image_writer.h"
#include "platform/memory.h"

namespace quillon {

// ---- LZW ----

namespace {

constexpr uint32_t kLzwHashSize = 9001;  // a prime about 2.2 times the table
constexpr uint32_t kLzwClear = 256, kLzwEnd = 257, kLzwFirst = 258, kLzwMax = 4096;
constexpr uint64_t kLzwCheckGap = 10000;

// TIFF LZW with the classic hash, the table cleared when full or when the
// compression ratio stops improving. Keeps its state between calls, so a
// strip is fed row by row; output collects in `out` for the caller to drain.
class LzwEncoder {
public:
    LzwEncoder() { reset(); }
    void start(std::vector<uint8_t>& out)
    {
        reset();
        put(out, kLzwClear);
    }
    void add(std::vector<uint8_t>& out, const uint8_t* in, size_t n);
    void finish(std::vector<uint8_t>& out);

private:
    void reset()
    {
        std::fill(std::begin(hash_), std::end(hash_), -1);
        free_ = kLzwFirst;
        bits_ = 9;
        maxCode_ = 511;
        ratio_ = 0;
        inCount_ = 0;
        outCount_ = 0;
        checkpoint_ = kLzwCheckGap;
    }
    void clearTable(std::vector<uint8_t>& out)
    {
        std::fill(std::begin(hash_), std::end(hash_), -1);
        ratio_ = 0;
        inCount_ = 0;
        outCount_ = 0;
        free_ = kLzwFirst;
        put(out, kLzwClear);
        bits_ = 9;
        maxCode_ = 511;
    }
    void put(std::vector<uint8_t>& out, uint32_t code)
    {
        acc_ = (acc_ << bits_) | code;
        accBits_ += bits_;
        outCount_ += bits_;
        while (accBits_ >= 8) {
            accBits_ -= 8;
            out.push_back(uint8_t(acc_ >> accBits_));
        }
    }
    void grow(std::vector<uint8_t>& out);

    int32_t hash_[kLzwHashSize];
    uint16_t code_[kLzwHashSize];
    int32_t ent_ = -1;
    uint32_t free_ = kLzwFirst, bits_ = 9, maxCode_ = 511;
    uint64_t ratio_ = 0, inCount_ = 0, outCount_ = 0, checkpoint_ = kLzwCheckGap;
    uint64_t acc_ = 0;
    uint32_t accBits_ = 0;
};

void LzwEncoder::grow(std::vector<uint8_t>& out)
{
    if (free_ == kLzwMax - 2) {
        clearTable(out);
    } else if (free_ > maxCode_) {
        ++bits_;
        maxCode_ = (1u << bits_) - 1;
    } else if (inCount_ >= checkpoint_) {
        // Ratio in 24.8 fixed point; a table that no longer helps restarts.
        checkpoint_ = inCount_ + kLzwCheckGap;
        uint64_t rat;
        if (inCount_ > 0x007FFFFF) {
            rat = outCount_ >> 8;
            rat = rat == 0 ? 0x7FFFFFFF : inCount_ / rat;
        } else {
            rat = outCount_ ? (inCount_ << 8) / outCount_ : 0x7FFFFFFF;
        }
        if (rat <= ratio_) clearTable(out);
        else ratio_ = rat;
    }
}

void LzwEncoder::add(std::vector<uint8_t>& out, const uint8_t* in, size_t n)
{
    size_t i = 0;
    if (ent_ < 0 && n) ent_ = in[i++], ++inCount_;
    for (; i < n; ++i) {
        uint32_t c = in[i];
        ++inCount_;
        int32_t fcode = int32_t((c << 12) + uint32_t(ent_));
        int32_t h = int32_t((c << 5) ^ uint32_t(ent_));
        if (hash_[h] == fcode) {
            ent_ = code_[h];
            continue;
        }
        bool found = false;
        if (hash_[h] >= 0) {
            int32_t disp = int32_t(kLzwHashSize) - h;
            if (h == 0) disp = 1;
            do {
                if ((h -= disp) < 0) h += kLzwHashSize;
                if (hash_[h] == fcode) {
                    found = true;
                    break;
                }
            } while (hash_[h] >= 0);
        }
        if (found) {
            ent_ = code_[h];
            continue;
        }
        put(out, uint32_t(ent_));
        ent_ = int32_t(c);
        code_[h] = uint16_t(free_++);
        hash_[h] = fcode;
        grow(out);
    }
}

void LzwEncoder::finish(std::vector<uint8_t>& out)
{
    if (ent_ >= 0) {
        put(out, uint32_t(ent_));
        ++free_;
        if (free_ == kLzwMax - 2) {
            put(out, kLzwClear);
            bits_ = 9;
        } else if (free_ > maxCode_) {
            ++bits_;
        }
    }
    put(out, kLzwEnd);
    if (accBits_) out.push_back(uint8_t(acc_ << (8 - accBits_)));
    accBits_ = 0;
    ent_ = -1;
}

} // namespace

size_t tiffLzwBound(size_t size) { return size + size / 2 + size / 1024 + 64; }

size_t tiffLzwEncode(uint8_t* out, const uint8_t* in, size_t size)
{
    std::unique_ptr<LzwEncoder> enc(new (std::nothrow) LzwEncoder);
    if (!enc) return 0;
    std::vector<uint8_t> bytes;
    enc->start(bytes);
    enc->add(bytes, in, size);
    enc->finish(bytes);
    std::memcpy(out, bytes.data(), std::min(bytes.size(), tiffLzwBound(size)));
    return bytes.size();
}

// ---- SGI LogLuv ----

uint16_t logL16Encode(float y)
{
    constexpr double kMax = 1.8371976e19;  // 2^(16382.5 / 256)
    if (std::isnan(y)) return 0;
    if (y >= kMax) return 0x7FFF;
    if (y <= -kMax) return 0xFFFF;
    double a = std::fabs(double(y));
    if (a < std::ldexp(1.0, -64)) return 0;
    uint32_t v = uint32_t(std::floor(256.0 * std::log2(a) + 16384.0));
    v = std::min<uint32_t>(v, 0x7FFF);
    return uint16_t(y < 0 ? (v | 0x8000) : v);
}

namespace {

uint32_t logLuv32Encode(float r, float g, float b)
{
    double X = 0.497 * r + 0.339 * g + 0.164 * b;
    double Y = 0.256 * r + 0.678 * g + 0.066 * b;
    double Z3 = 0.069 * r + 0.339 * g + 2.592 * b;
    double d = X + 15 * Y + Z3;
    double u = 0.2105263, v = 0.4736842;
    if (Y != 0 && d > 0 && std::isfinite(d)) {
        u = 4 * X / d;
        v = 9 * Y / d;
    }
    auto cell = [](double x) {
        double c = std::round(410 * x);
        return uint32_t(std::isnan(c) ? 0 : std::clamp(c, 0.0, 255.0));
    };
    return logL16Encode(float(Y)) | (cell(u) << 16) | (cell(v) << 24);
}

// One byte plane as runs of 4 or more (128 + n - 2, value) and literal
// stretches (count, bytes).
void logLuvRlePlane(std::vector<uint8_t>& out, const uint8_t* plane, size_t n)
{
    size_t i = 0;
    while (i < n) {
        size_t run = 1;
        while (i + run < n && run < 129 && plane[i + run] == plane[i]) ++run;
        if (run >= 4) {
            out.push_back(uint8_t(128 + run - 2));
            out.push_back(plane[i]);
            i += run;
            continue;
        }
        // A literal stretch up to the next run of four.
        size_t j = i;
        while (j < n && j - i < 127) {
            if (j + 3 < n && plane[j] == plane[j + 1] && plane[j] == plane[j + 2] && plane[j] == plane[j + 3]) break;
            ++j;
        }
        out.push_back(uint8_t(j - i));
        out.insert(out.end(), plane + i, plane + j);
        i = j;
    }
}

// ---- writer ----

constexpr uint16_t kShort = 3, kLong = 4, kRational = 5, kByte = 1, kAscii = 2;

enum class Compression : uint8_t { None, Lzw, Jpeg, LogLuv };

// How one page is stored.
struct PageFormat {
    uint32_t samples = 1, bits = 8;
    uint16_t photometric = 1;
    uint16_t sampleFormat = 0;  // 0: no tag
    uint16_t predictor = 1;
    uint16_t extraSamples = 0;  // 0: no tag
    uint32_t paletteBits = 0;   // 0: no colour map
    uint64_t rowBytes = 0;
};

struct Entry {
    uint16_t tag, type;
    uint32_t count;
    std::vector<uint8_t> value;  // little-endian values
    int32_t block = -1;          // the value is the offset of this data block
};

void putLe(std::vector<uint8_t>& v, uint32_t x, int bytes)
{
    for (int i = 0; i < bytes; ++i) v.push_back(uint8_t(x >> (8 * i)));
}

Entry shortEntry(uint16_t tag, std::initializer_list<uint32_t> values)
{
    Entry e{tag, kShort, uint32_t(values.size()), {}};
    for (uint32_t v : values) putLe(e.value, v, 2);
    return e;
}
Entry longEntry(uint16_t tag, uint32_t value)
{
    Entry e{tag, kLong, 1, {}};
    putLe(e.value, value, 4);
    return e;
}

class TiffWriter final : public ImageWriter {
public:
    using ImageWriter::ImageWriter;

protected:
    ResultCode encode(Image* image, const char16_t* subFormatName, uint32_t colourFlag, uint32_t bitsPerPixel,
                      int32_t parameter, bool allFrames, void* extra) override;

private:
    // Writes one page; gives where its directory and its next-directory
    // field lie.
    ResultCode writePage(const Image* page, Compression comp, uint32_t colourFlag, int32_t quality,
                         uint64_t* ifdPosition, uint64_t* nextField);
    ResultCode writeStrip(const Image* page, const PageFormat& f, Compression comp, int32_t quality,
                          uint64_t* written);
    void packRow(const Image* page, const PageFormat& f, uint32_t y, uint8_t* out) const;
};

ResultCode formatFor(const Image* page, uint32_t flag, Compression comp, PageFormat& f)
{
    const PixelFormat pf = page->pixelFormat;
    auto need = [&](PixelFormat want) { return pf == want; };
    switch (flag) {
    case CF_2_COLOURS:
    case CF_4_COLOURS:
    case CF_16_COLOURS:
    case CF_256_COLOURS: {
        if (!need(PF_INDEXED8) || !page->palette()) return RC_UNSUPPORTED_COLOUR_FORMAT;
        f.bits = flag == CF_2_COLOURS ? 1 : flag == CF_4_COLOURS ? 2 : flag == CF_16_COLOURS ? 4 : 8;
        // Indices beyond the depth (a later page quantised on its own) take a
        // deeper page rather than being cut.
        uint32_t highest = 0;
        for (uint32_t y = 0; y < page->height; ++y) {
            const uint8_t* row = page->rowBytesPtr(y);
            for (uint32_t x = 0; x < page->width; ++x) highest = std::max<uint32_t>(highest, row[x]);
        }
        while (f.bits < 8 && highest >= (1u << f.bits)) f.bits *= 2;
        const uint32_t* pal = page->palette();
        auto grey = [&](uint32_t e) { return (e & 0xFFFFFF) == 0 ? 0 : (e & 0xFFFFFF) == 0xFFFFFF ? 1 : -1; };
        // Black and white as a bilevel image; any other pair keeps its colours.
        if (f.bits == 1 && grey(pal[0]) >= 0 && grey(pal[1]) >= 0 && grey(pal[0]) != grey(pal[1])) {
            f.photometric = grey(pal[0]) == 0 ? 1 : 0;
        } else {
            f.photometric = 3;
            f.paletteBits = f.bits;
        }
        break;
    }
    case CF_GRAY8:
        if (!need(PF_GRAY8)) return RC_UNSUPPORTED_COLOUR_FORMAT;
        f.bits = 8;
        break;
    case CF_GRAY16:
        if (!need(PF_GRAY16)) return RC_UNSUPPORTED_COLOUR_FORMAT;
        f.bits = 16;
        break;
    case CF_GRAY_FLOAT:
        if (!need(PF_GRAY_FLOAT)) return RC_UNSUPPORTED_COLOUR_FORMAT;
        f.bits = 32;
        f.sampleFormat = 3;
        break;
    case CF_RGB24:
    case CF_RGBA32:
        if (!need(PF_RGBA8)) return RC_UNSUPPORTED_COLOUR_FORMAT;
        f.samples = flag == CF_RGB24 ? 3 : 4;
        f.photometric = 2;
        break;
    case CF_RGB48:
    case CF_RGBA64:
        if (!need(PF_RGBA16)) return RC_UNSUPPORTED_COLOUR_FORMAT;
        f.samples = flag == CF_RGB48 ? 3 : 4;
        f.bits = 16;
        f.photometric = 2;
        break;
    case CF_RGB_FLOAT:
    case CF_RGBA_FLOAT:
        if (!need(PF_RGBA_FLOAT)) return RC_UNSUPPORTED_COLOUR_FORMAT;
        f.samples = flag == CF_RGB_FLOAT ? 3 : 4;
        f.bits = 32;
        f.photometric = 2;
        f.sampleFormat = 3;
        break;
    default:
        return RC_UNSUPPORTED_COLOUR_FORMAT;
    }
    if (f.samples == 4) f.extraSamples = page->alphaKind == ALPHA_PREMULTIPLIED ? 1 : 2;
    if (comp == Compression::LogLuv) {
        if (flag != CF_GRAY_FLOAT && flag != CF_RGB_FLOAT) return RC_UNSUPPORTED_COLOUR_FORMAT;
        f.bits = 16;
        f.sampleFormat = 2;
        f.photometric = f.samples == 1 ? 32844 : 32845;
    } else if (comp == Compression::Jpeg) {
        if (flag != CF_GRAY8 && flag != CF_RGB24) return RC_UNSUPPORTED_COLOUR_FORMAT;
        if (f.samples == 3) f.photometric = 6;
    } else if (comp == Compression::Lzw && f.bits >= 8 && f.photometric != 3) {
        f.predictor = f.sampleFormat == 3 ? 3 : 2;
    }
    f.rowBytes = (uint64_t(page->width) * f.samples * f.bits + 7) / 8;
    return RC_OK;
}

void TiffWriter::packRow(const Image* page, const PageFormat& f, uint32_t y, uint8_t* out) const
{
    const uint32_t w = page->width;
    const uint8_t* src = page->rowBytesPtr(y);
    if (f.samples == 1 && f.bits < 8) {
        const uint32_t per = 8 / f.bits;
        std::memset(out, 0, f.rowBytes);
        for (uint32_t x = 0; x < w; ++x)
            out[x / per] |= uint8_t((src[x] & ((1u << f.bits) - 1)) << (8 - f.bits * (x % per + 1)));
        return;
    }
    if (f.samples == 1) {
        std::memcpy(out, src, f.rowBytes);
        return;
    }
    if (f.bits == 8) {
        for (uint32_t x = 0; x < w; ++x, src += 4, out += f.samples) {
            out[0] = src[2], out[1] = src[1], out[2] = src[0];
            if (f.samples == 4) out[3] = src[3];
        }
    } else if (f.bits == 16) {
        const uint16_t* s = reinterpret_cast<const uint16_t*>(src);
        for (uint32_t x = 0; x < w; ++x, s += 4, out += 2 * f.samples) {
            uint16_t v[4] = {s[2], s[1], s[0], s[3]};
            std::memcpy(out, v, 2 * f.samples);
        }
    } else {
        const float* s = reinterpret_cast<const float*>(src);
        for (uint32_t x = 0; x < w; ++x, s += 4, out += 4 * f.samples) {
            float v[4] = {s[2], s[1], s[0], s[3]};
            std::memcpy(out, v, 4 * f.samples);
        }
    }
}

// Horizontal differencing of one packed row (samples of 1 or 2 bytes).
void differenceRow(uint8_t* row, uint32_t pixels, uint32_t samples, uint32_t bytes)
{
    size_t n = size_t(pixels) * samples;
    if (bytes == 1) {
        for (size_t i = n; i-- > samples;) row[i] = uint8_t(row[i] - row[i - samples]);
    } else {
        uint16_t* p = reinterpret_cast<uint16_t*>(row);
        for (size_t i = n; i-- > samples;) p[i] = uint16_t(p[i] - p[i - samples]);
    }
}

// Floating-point prediction: byte planes, most significant first, then each
// byte minus the one a pixel's worth of samples before it.
void floatDifferenceRow(uint8_t* row, uint8_t* scratch, uint32_t pixels, uint32_t samples)
{
    const size_t count = size_t(pixels) * samples, n = count * 4;
    for (size_t s = 0; s < count; ++s)
        for (uint32_t b = 0; b < 4; ++b) scratch[(3 - b) * count + s] = row[s * 4 + b];
    for (size_t i = n; i-- > samples;) scratch[i] = uint8_t(scratch[i] - scratch[i - samples]);
    std::memcpy(row, scratch, n);
}

ResultCode TiffWriter::writeStrip(const Image* page, const PageFormat& f, Compression comp, int32_t quality,
                                  uint64_t* written)
{
    const uint64_t start = output.tell();
    if (comp == Compression::Jpeg) {
        // No JFIF, comment or metadata segments: the directory carries those.
        JpegCompressOptions options;
        options.quality = quality > 0 ? quality : 75;
        options.writeMarkers = false;
        std::vector<uint8_t> stream;
        ResultCode rc = jpegCompress(page, f.samples == 1 ? CF_GRAY8 : CF_RGB24, options, stream);
        if (failed(rc)) return rc;
        if (failed(rc = output.write(stream.data(), stream.size()))) return rc;
        *written = stream.size();
        return RC_OK;
    }
    AlignedBuffer<uint8_t> row, scratch;
    if (!row.allocate(f.rowBytes + 16) || !scratch.allocate(f.rowBytes + 16)) return RC_OUT_OF_MEMORY;
    std::vector<uint8_t> out;
    ResultCode rc = RC_OK;
    auto drain = [&](bool all) {
        if (out.size() >= (1u << 20) || (all && !out.empty())) {
            ResultCode w = output.write(out.data(), out.size());
            out.clear();
            return w;
        }
        return RC_OK;
    };
    std::unique_ptr<LzwEncoder> lzw;
    if (comp == Compression::Lzw) {
        lzw.reset(new (std::nothrow) LzwEncoder);
        if (!lzw) return RC_OUT_OF_MEMORY;
        lzw->start(out);
    }
    for (uint32_t y = 0; y < page->height && succeeded(rc); ++y) {
        if (comp == Compression::LogLuv) {
            const uint32_t w = page->width;
            const uint32_t planes = f.samples == 1 ? 2 : 4;
            uint8_t* p = scratch.get();  // planes one after another
            for (uint32_t x = 0; x < w; ++x) {
                uint32_t v;
                if (f.samples == 1) {
                    v = logL16Encode(page->row<float>(y)[x]);
                } else {
                    const RgbaF& px = page->row<RgbaF>(y)[x];
                    v = logLuv32Encode(px.r, px.g, px.b);
                }
                p[x] = uint8_t(v >> 8);
                p[w + x] = uint8_t(v);
                if (planes == 4) p[2 * w + x] = uint8_t(v >> 16), p[3 * w + x] = uint8_t(v >> 24);
            }
            for (uint32_t k = 0; k < planes; ++k) logLuvRlePlane(out, p + size_t(k) * w, w);
            rc = drain(false);
            continue;
        }
        packRow(page, f, y, row.get());
        if (comp == Compression::None) {
            rc = output.write(row.get(), f.rowBytes);
            continue;
        }
        if (f.predictor == 2) differenceRow(row.get(), page->width, f.samples, f.bits / 8);
        else if (f.predictor == 3) floatDifferenceRow(row.get(), scratch.get(), page->width, f.samples);
        lzw->add(out, row.get(), f.rowBytes);
        rc = drain(false);
    }
    if (succeeded(rc) && lzw) lzw->finish(out);
    if (succeeded(rc)) rc = drain(true);
    if (failed(rc)) return rc;
    *written = output.tell() - start;
    return RC_OK;
}

ResultCode TiffWriter::writePage(const Image* page, Compression comp, uint32_t colourFlag, int32_t quality,
                                 uint64_t* ifdPosition, uint64_t* nextField)
{
    PageFormat f;
    ResultCode rc = formatFor(page, colourFlag, comp, f);
    if (failed(rc)) return rc;
    uint64_t stripBytes;
    if (!checkedMul(f.rowBytes, page->height, &stripBytes)) return RC_OUT_OF_MEMORY;
    // Strip offsets and counts are 32-bit: what cannot be addressed is refused.
    if (stripBytes > UINT32_MAX) return RC_OUT_OF_MEMORY;

    const ImageInfo* info = page->info();
    std::vector<Entry> entries;
    std::vector<std::vector<uint8_t>> blocks;
    entries.push_back(longEntry(256, page->width));
    entries.push_back(longEntry(257, page->height));
    Entry bits{258, kShort, f.samples, {}};
    for (uint32_t i = 0; i < f.samples; ++i) putLe(bits.value, f.bits, 2);
    entries.push_back(bits);
    const uint16_t compression = comp == Compression::Lzw ? 5 : comp == Compression::Jpeg ? 7
                                 : comp == Compression::LogLuv ? 34676 : 1;
    entries.push_back(shortEntry(259, {compression}));
    entries.push_back(shortEntry(262, {f.photometric}));
    entries.push_back(longEntry(273, 0));
    entries.push_back(shortEntry(277, {f.samples}));
    entries.push_back(longEntry(278, page->height));
    entries.push_back(longEntry(279, uint32_t(stripBytes)));
    entries.push_back(shortEntry(284, {1}));
    if (compression == 5) entries.push_back(shortEntry(317, {f.predictor}));
    if (f.extraSamples) entries.push_back(shortEntry(338, {f.extraSamples}));
    if (f.sampleFormat) {
        Entry e{339, kShort, f.samples, {}};
        for (uint32_t i = 0; i < f.samples; ++i) putLe(e.value, f.sampleFormat, 2);
        entries.push_back(e);
    }
    if (f.paletteBits) {
        const uint32_t n = 1u << f.paletteBits;
        Entry e{320, kShort, 3 * n, {}};
        const uint32_t* pal = page->palette();
        for (int shift : {16, 8, 0})
            for (uint32_t i = 0; i < n; ++i) putLe(e.value, ((pal[i] >> shift) & 255) * 257, 2);
        entries.push_back(e);
    }
    // TIFF requires the resolution: a picture without a density says so with
    // unit 1 (no absolute unit) and a ratio of 1 to 1, which readers take
    // for no density.
    uint32_t res[2] = {1, 1}, dpi[2];
    uint16_t unit = 1;
    if (info && parseResolution(dpi, info->get(INFO_DENSITY), true) && dpi[0]) {
        res[0] = dpi[0];
        res[1] = dpi[1] ? dpi[1] : dpi[0];
        unit = 2;
    }
    for (uint16_t tag : {TIFF_TAG_X_RESOLUTION, TIFF_TAG_Y_RESOLUTION}) {
        Entry e{tag, kRational, 1, {}};
        putLe(e.value, res[tag == TIFF_TAG_X_RESOLUTION ? 0 : 1], 4);
        putLe(e.value, 1, 4);
        entries.push_back(e);
    }
    entries.push_back(shortEntry(TIFF_TAG_RESOLUTION_UNIT, {unit}));
    for (const TiffTextTag& t : tiffBuildTextTags(info)) {
        Entry e{t.tag, kAscii, t.count, std::vector<uint8_t>(t.data.begin(), t.data.begin() + t.count)};
        entries.push_back(e);
    }
    const uint32_t exifSize = info ? exifExifIfdSize(info) : 0;
    const uint32_t gpsSize = info ? exifGpsIfdSize(info) : 0;
    if (exifSize) {
        blocks.emplace_back(exifSize);
        entries.push_back({34665, kLong, 1, {}, int32_t(blocks.size() - 1)});
    }
    if (gpsSize) {
        blocks.emplace_back(gpsSize);
        entries.push_back({34853, kLong, 1, {}, int32_t(blocks.size() - 1)});
    }
    if (info) {
        XmpBuildState count;
        size_t xmpSize = xmpBuild(count, info);
        if (xmpSize) {
            Entry e{700, kByte, uint32_t(xmpSize), std::vector<uint8_t>(xmpSize)};
            XmpBuildState fill(e.value.data());
            xmpBuild(fill, info);
            entries.push_back(std::move(e));
        }
    }
    std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.tag < b.tag; });

    // Lay out: directory, then the values that do not fit in their entries
    // and the data blocks, each on an even offset, then the strip.
    const uint64_t ifd = (output.tell() + 1) & ~uint64_t(1);
    uint64_t pos = ifd + 2 + 12ull * entries.size() + 4;
    std::vector<uint64_t> valueAt(entries.size(), 0), blockAt(blocks.size(), 0);
    for (size_t i = 0; i < entries.size(); ++i)
        if (entries[i].block < 0 && entries[i].value.size() > 4) valueAt[i] = pos, pos = (pos + entries[i].value.size() + 1) & ~1ull;
    for (size_t k = 0; k < blocks.size(); ++k) blockAt[k] = pos, pos = (pos + blocks[k].size() + 1) & ~1ull;
    const uint64_t strip = pos;
    if (strip + stripBytes > UINT32_MAX) return RC_OUT_OF_MEMORY;
    for (size_t k = 0; k < blocks.size(); ++k) {
        bool gps = blocks.size() == 2 ? k == 1 : gpsSize != 0;
        if (gps) exifWriteGpsIfd(blocks[k].data(), uint32_t(blockAt[k]), info);
        else exifWriteExifIfd(blocks[k].data(), uint32_t(blockAt[k]), info);
    }

    std::vector<uint8_t> head;
    head.resize(size_t(ifd - output.tell()), 0);
    putLe(head, uint32_t(entries.size()), 2);
    uint64_t countField = 0;
    for (size_t i = 0; i < entries.size(); ++i) {
        Entry& e = entries[i];
        if (e.tag == 273) e.value.clear(), putLe(e.value, uint32_t(strip), 4);
        if (e.tag == 279) countField = ifd + 2 + 12 * i + 8;
        putLe(head, e.tag, 2);
        putLe(head, e.type, 2);
        putLe(head, e.count, 4);
        if (e.block >= 0) {
            putLe(head, uint32_t(blockAt[size_t(e.block)]), 4);
        } else if (valueAt[i]) {
            putLe(head, uint32_t(valueAt[i]), 4);
        } else {
            std::vector<uint8_t> v = e.value;
            v.resize(4, 0);
            head.insert(head.end(), v.begin(), v.end());
        }
    }
    putLe(head, 0, 4);
    for (size_t i = 0; i < entries.size(); ++i)
        if (valueAt[i]) {
            head.resize(size_t(valueAt[i] - output.tell()), 0);
            head.insert(head.end(), entries[i].value.begin(), entries[i].value.end());
        }
    for (size_t k = 0; k < blocks.size(); ++k) {
        head.resize(size_t(blockAt[k] - output.tell()), 0);
        head.insert(head.end(), blocks[k].begin(), blocks[k].end());
    }
    head.resize(size_t(strip - output.tell()), 0);
    rc = output.write(head.data(), head.size());
    if (failed(rc)) return rc;

    uint64_t written = 0;
    rc = writeStrip(page, f, comp, quality, &written);
    if (failed(rc)) return rc;
    if (written > UINT32_MAX || strip + written > UINT32_MAX) return RC_OUT_OF_MEMORY;
    if (written != stripBytes) {
        const uint64_t end = output.tell();
        if (failed(rc = output.seek(countField)) || failed(rc = output.writeU32le(uint32_t(written))) ||
            failed(rc = output.seek(end)))
            return rc;
    }
    *ifdPosition = ifd;
    *nextField = ifd + 2 + 12ull * entries.size();
    return RC_OK;
}

ResultCode TiffWriter::encode(Image* image, const char16_t* subFormatName, uint32_t colourFlag, uint32_t,
                              int32_t parameter, bool allFrames, void*)
{
    Compression comp = Compression::None;
    if (subFormatName) {
        if (std::u16string_view(subFormatName) == kTiffSubFormats[1]) comp = Compression::Lzw;
        else if (std::u16string_view(subFormatName) == kTiffSubFormats[2]) comp = Compression::Jpeg;
        else if (std::u16string_view(subFormatName) == kTiffSubFormats[3]) comp = Compression::LogLuv;
    }
    // Refused before anything is written.
    PageFormat probe;
    ResultCode rc = formatFor(image, colourFlag, comp, probe);
    if (failed(rc)) return rc;

    if (failed(rc = output.write("II\x2A\0\0\0\0\0", 8))) return rc;
    uint64_t linkField = 4;
    for (Image* page = image; page; page = allFrames ? page->next() : nullptr) {
        // A page of another pixel format than the first is brought to it.
        Ref<Image> converted;
        const Image* source = page;
        if (page->pixelFormat != image->pixelFormat) {
            converted = Ref<Image>::adopt(imageConvertNew(page, false, false, image->pixelFormat));
            if (!converted) return RC_OUT_OF_MEMORY;
            source = converted.get();
        }
        uint64_t ifd = 0, next = 0;
        if (failed(rc = writePage(source, comp, colourFlag, parameter, &ifd, &next))) return rc;
        const uint64_t end = output.tell();
        if (failed(rc = output.seek(linkField)) || failed(rc = output.writeU32le(uint32_t(ifd))) ||
            failed(rc = output.seek(end)))
            return rc;
        linkField = next;
    }
    return output.flush();
}

} // namespace

ImageWriter* tiffWriterCreate(const std::filesystem::path& path, const FormatDescriptor* descriptor)
{
    return writerCreate<TiffWriter>(path, descriptor);
}

} // namespace quillon
