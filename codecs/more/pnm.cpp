#include "codecs/more/pnm.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <new>

#include "core/bitpack.h"
#include "core/image_reader.h"
#include "platform/memory.h"

namespace quillon {

namespace {

bool knownType(uint8_t t) { return (t >= '1' && t <= '6') || t == 'F' || t == 'f'; }
bool isDigit(uint8_t c) { return c >= '0' && c <= '9'; }

// Steps over everything that is not a digit, and over "#" comments; true
// when a digit is next.
bool skipToDigit(const uint8_t*& p, const uint8_t* end)
{
    while (p < end) {
        if (*p == '#') {
            while (p < end && *p != '\n' && *p != '\r') ++p;
        } else if (isDigit(*p)) {
            return true;
        } else {
            ++p;
        }
    }
    return false;
}

// The next decimal; false when the data ends before one.
bool nextNumber(const uint8_t*& p, const uint8_t* end, uint32_t maxDigits, uint32_t& value)
{
    if (!skipToDigit(p, end)) return false;
    uint64_t v = 0;
    for (uint32_t n = 0; p < end && isDigit(*p) && n < maxDigits; ++p, ++n)
        v = std::min<uint64_t>(v * 10 + (*p - '0'), UINT32_MAX);
    while (p < end && isDigit(*p)) { // digits past the limit saturate
        v = UINT32_MAX;
        ++p;
    }
    if (p < end) ++p;
    value = uint32_t(v);
    return true;
}

// Scales samples of 0..maximum to 0..top, rounding; larger samples count as
// the maximum.
struct SampleScale {
    uint32_t maximum = 255, top = 255;
    bool identity() const { return maximum == top; }
    uint32_t operator()(uint32_t v) const
    {
        v = std::min(v, maximum);
        return uint32_t((uint64_t(v) * top + maximum / 2) / maximum);
    }
};

class PnmReader final : public ImageReader {
public:
    PnmReader(MappedFile* f, const FormatDescriptor* d) : ImageReader(f, d) {}

protected:
    ResultCode readHeader(const void* options) override;
    ResultCode readPixels(Image* image, bool reduced, Progress* progress, AbortFlag* abort) override;

private:
    ResultCode readText(Image* image, Progress* progress, AbortFlag* abort);
    ResultCode readBinary(Image* image, Progress* progress, AbortFlag* abort);
    ResultCode readFloat(Image* image, Progress* progress, AbortFlag* abort);
    void binaryRow(uint8_t* dst, const uint8_t* src) const;

    uint8_t type_ = 0;
    uint32_t maximum_ = 1;
    bool wide_ = false;          // 16-bit samples
    bool littleEndian_ = true;   // float maps
    uint64_t dataOffset_ = 0;
    uint64_t fileRowBytes_ = 0;  // binary and float types
    SampleScale scale_;
};

ResultCode PnmReader::readHeader(const void*)
{
    const uint8_t* data = input->data();
    const uint64_t size = input->size();
    if (size < 2 || data[0] != 'P') return RC_UNKNOWN_FORMAT;
    type_ = data[1];
    if (!knownType(type_)) return RC_UNSUPPORTED_SUBFORMAT;
    const uint8_t* end = data + size;
    const uint8_t* p = data + 2;
    auto window = [&](uint64_t n) { return p + std::min<uint64_t>(n, uint64_t(end - p)); };
    uint32_t w = 1, h = 1;
    if (!nextNumber(p, window(256), 32, w)) w = 1;
    if (!nextNumber(p, window(256), 32, h)) h = 1;
    if (w == 0 || h == 0) return RC_CORRUPT_FILE;
    width = w;
    height = h;

    const bool text = type_ >= '1' && type_ <= '3';
    const bool bitmap = type_ == '1' || type_ == '4';
    const bool colour = type_ == '3' || type_ == '6' || type_ == 'F';
    alphaKind = ALPHA_NONE;
    if (type_ == 'F' || type_ == 'f') {
        // The scale: its sign tells the byte order, negative for little-endian.
        while (p < end && !(isDigit(*p) || *p == '-' || *p == '+' || *p == '.')) {
            if (*p == '#')
                while (p < end && *p != '\n' && *p != '\r') ++p;
            else
                ++p;
        }
        const uint8_t* token = p;
        while (p < end && p - token < 64 &&
               (isDigit(*p) || *p == '-' || *p == '+' || *p == '.' || *p == 'e' || *p == 'E'))
            ++p;
        double scale = -1.0;
        const char* first = reinterpret_cast<const char*>(token);
        if (p > token && *first == '+') ++first;
        if (std::from_chars(first, reinterpret_cast<const char*>(p), scale).ec != std::errc()) scale = -1.0;
        littleEndian_ = !(scale > 0.0);
        if (p < end) ++p;
        pixelFormat = colour ? PF_RGBA_FLOAT : PF_GRAY_FLOAT;
        colourModel = colour ? CM_RGB : CM_L;
        bitsPerPixel = colour ? 96 : 32;
        fileRowBytes_ = uint64_t(w) * (colour ? 12 : 4);
        info.set(INFO_COMPRESSION, u"Float");
    } else {
        maximum_ = 1;
        if (!bitmap && !nextNumber(p, window(256), 32, maximum_)) maximum_ = 1;
        if (maximum_ == 0) return RC_CORRUPT_FILE;
        if (maximum_ > 65535 || (text && maximum_ > 255)) return RC_UNSUPPORTED_SUBFORMAT;
        wide_ = maximum_ > 255;
        scale_ = SampleScale{maximum_, wide_ ? 65535u : 255u};
        if (bitmap) {
            pixelFormat = PF_GRAY8;
            colourModel = CM_K;
            bitsPerPixel = 1;
            fileRowBytes_ = packedBytes(w, 1);
        } else {
            pixelFormat = colour ? (wide_ ? PF_RGBA16 : PF_RGBA8) : (wide_ ? PF_GRAY16 : PF_GRAY8);
            colourModel = colour ? CM_RGB : CM_L;
            bitsPerPixel = (colour ? 24 : 8) * (wide_ ? 2 : 1);
            fileRowBytes_ = uint64_t(w) * (colour ? 3 : 1) * (wide_ ? 2 : 1);
        }
        if (text) info.set(INFO_COMPRESSION, u"Ascii");
    }
    // Exactly one whitespace byte, already stepped over, ends a binary
    // header: samples of 10 or 13 after it are data, and whatever follows
    // the picture (a newline, the next picture of a stream) is not ours.
    dataOffset_ = uint64_t(p - data);
    // Binary data that cannot fill even the first row holds no picture:
    // refused here, before an image of the declared size exists.
    if (!text && size - dataOffset_ < fileRowBytes_) return RC_CORRUPT_FILE;
    // So is text with fewer characters than the first row has samples (a
    // sample is a digit at the least).
    if (text && size - dataOffset_ < uint64_t(w) * (colour ? 3 : 1)) return RC_CORRUPT_FILE;
    // Rows the data cannot hold (a text sample takes a digit at the least)
    // are a cut file's, or the size is a lie.
    const uint64_t leastRow = text ? uint64_t(w) * (colour ? 3 : 1) : fileRowBytes_;
    return uncompressedRowsLie(this, leastRow, h, size - dataOffset_) ? RC_CORRUPT_FILE : RC_OK;
}

ResultCode PnmReader::readPixels(Image* image, bool, Progress* progress, AbortFlag* abort)
{
    if (type_ >= '1' && type_ <= '3') return readText(image, progress, abort);
    if (type_ == 'F' || type_ == 'f') return readFloat(image, progress, abort);
    return readBinary(image, progress, abort);
}

ResultCode PnmReader::readText(Image* image, Progress* progress, AbortFlag* abort)
{
    const uint8_t* p = input->data() + dataOffset_;
    const uint8_t* end = input->data() + input->size();
    const uint32_t w = image->width, h = image->height;
    for (uint32_t y = 0; y < h; ++y) {
        if (aborted(abort)) return RC_OK;
        bool complete = true;
        uint8_t* row8 = image->rowBytesPtr(y);
        if (type_ == '1') {
            for (uint32_t x = 0; x < w; ++x) {
                if (!skipToDigit(p, end)) {
                    std::memset(row8 + x, 0, w - x);
                    complete = false;
                    break;
                }
                row8[x] = *p++ != '0';
            }
        } else {
            const uint32_t samples = type_ == '3' ? 3 : 1;
            for (uint32_t x = 0; x < w && complete; ++x) {
                uint32_t v[3] = {0, 0, 0};
                for (uint32_t s = 0; s < samples; ++s) {
                    if (!nextNumber(p, end, 32, v[s])) {
                        complete = false;
                        break;
                    }
                    v[s] = scale_(v[s]);
                }
                if (!complete) {
                    std::memset(row8 + size_t(x) * (samples == 3 ? 4 : 1), 0, size_t(w - x) * (samples == 3 ? 4 : 1));
                } else if (samples == 3) {
                    reinterpret_cast<Rgba8*>(row8)[x] = {uint8_t(v[2]), uint8_t(v[1]), uint8_t(v[0]), 255};
                } else {
                    row8[x] = uint8_t(v[0]);
                }
            }
        }
        if (!complete) {
            imageClearRows(image, y + 1, image->height);
            return RC_CORRUPT_FILE;
        }
        if ((y & 31) == 31) reportProgress(progress, y + 1, h);
    }
    return RC_OK;
}

void PnmReader::binaryRow(uint8_t* dst, const uint8_t* src) const
{
    const uint32_t w = width;
    switch (type_) {
    case '4': unpackSamples(dst, src, w, 1); break;
    case '5':
        if (wide_) {
            auto* out = reinterpret_cast<uint16_t*>(dst);
            for (uint32_t x = 0; x < w; ++x) out[x] = uint16_t(scale_(uint32_t(src[2 * x] << 8 | src[2 * x + 1])));
        } else if (scale_.identity()) {
            std::memcpy(dst, src, w);
        } else {
            for (uint32_t x = 0; x < w; ++x) dst[x] = uint8_t(scale_(src[x]));
        }
        break;
    default: // '6'
        if (wide_) {
            auto* out = reinterpret_cast<Rgba16*>(dst);
            for (uint32_t x = 0; x < w; ++x, src += 6)
                out[x] = {uint16_t(scale_(uint32_t(src[4] << 8 | src[5]))),
                          uint16_t(scale_(uint32_t(src[2] << 8 | src[3]))),
                          uint16_t(scale_(uint32_t(src[0] << 8 | src[1]))), 65535};
        } else {
            auto* out = reinterpret_cast<Rgba8*>(dst);
            for (uint32_t x = 0; x < w; ++x, src += 3)
                out[x] = {uint8_t(scale_(src[2])), uint8_t(scale_(src[1])), uint8_t(scale_(src[0])), 255};
        }
        break;
    }
}

ResultCode PnmReader::readBinary(Image* image, Progress* progress, AbortFlag* abort)
{
    const uint64_t size = input->size();
    for (uint32_t y = 0; y < image->height; ++y) {
        if (aborted(abort)) return RC_OK;
        const uint64_t at = dataOffset_ + uint64_t(y) * fileRowBytes_;
        if (at > size || size - at < fileRowBytes_) {
            imageClearRows(image, y, image->height);
            return RC_CORRUPT_FILE;
        }
        binaryRow(image->rowBytesPtr(y), input->data() + at);
        if ((y & 31) == 31) reportProgress(progress, y + 1, image->height);
    }
    return RC_OK;
}

ResultCode PnmReader::readFloat(Image* image, Progress* progress, AbortFlag* abort)
{
    const uint64_t size = input->size();
    const uint32_t w = image->width, h = image->height;
    const bool colour = type_ == 'F';
    auto sample = [&](const uint8_t* s) {
        uint32_t bits = littleEndian_ ? uint32_t(s[0]) | uint32_t(s[1]) << 8 | uint32_t(s[2]) << 16 | uint32_t(s[3]) << 24
                                      : uint32_t(s[3]) | uint32_t(s[2]) << 8 | uint32_t(s[1]) << 16 | uint32_t(s[0]) << 24;
        float f;
        std::memcpy(&f, &bits, 4);
        return f;
    };
    // The file stores the bottom row first.
    for (uint32_t r = 0; r < h; ++r) {
        if (aborted(abort)) return RC_OK;
        const uint64_t at = dataOffset_ + uint64_t(r) * fileRowBytes_;
        if (at > size || size - at < fileRowBytes_) {
            imageClearRows(image, 0, h - r);
            return RC_CORRUPT_FILE;
        }
        const uint8_t* src = input->data() + at;
        const uint32_t y = h - 1 - r;
        if (colour) {
            RgbaF* out = image->row<RgbaF>(y);
            for (uint32_t x = 0; x < w; ++x, src += 12) out[x] = {sample(src + 8), sample(src + 4), sample(src), 1.0f};
        } else {
            float* out = image->row<float>(y);
            for (uint32_t x = 0; x < w; ++x, src += 4) out[x] = sample(src);
        }
        if ((r & 31) == 31) reportProgress(progress, r + 1, h);
    }
    return RC_OK;
}

} // namespace

uint32_t pnmNextInt(const uint8_t*& p, const uint8_t* end, uint32_t maxDigits)
{
    uint32_t v = 1;
    if (!nextNumber(p, end, maxDigits, v)) return 1;
    return v;
}

ResultCode pnmProbe(MappedFile* file)
{
    if (!file || file->size() < 4) return RC_UNKNOWN_FORMAT;
    const uint8_t* d = file->data();
    // An arbitrary map ("P7" and a line break) is of the family too, one we
    // do not read: claimed, so that the header reader can say so.
    const bool arbitraryMap = d[1] == '7' && d[2] == '\n';
    return d[0] == 'P' && (knownType(d[1]) || arbitraryMap) ? RC_OK : RC_UNKNOWN_FORMAT;
}

ImageReader* pnmReaderCreate(MappedFile* file, const FormatDescriptor* descriptor)
{
    return new (std::nothrow) PnmReader(file, descriptor);
}

} // namespace quillon
