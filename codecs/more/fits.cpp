// FITS: 80-character header cards in 2880-byte blocks up to "END", then
// big-endian samples, bottom row first, from the next block. Only the primary
// header and the first plane of its data are read.
#include "codecs/more/fits.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "core/byte_cursor.h"
#include "core/image_reader.h"
#include "core/image_writer.h"
#include "core/text.h"
#include "platform/memory.h"

namespace quillon {

const char16_t* const kFitsSubFormats[] = {u"Normal", u""};
const ColourFormatFlags kFitsSubFormatCaps[] = {CF_GRAY8 | CF_GRAY16 | CF_GRAY_FLOAT};

namespace {

constexpr uint32_t kCard = 80;
constexpr uint32_t kBlock = 2880;

std::string_view keywordOf(const uint8_t* card)
{
    size_t n = 0;
    while (n < 8 && card[n] != ' ') ++n;
    return {reinterpret_cast<const char*>(card), n};
}

bool hasSignature(const uint8_t* data, uint64_t size) { return size >= kCard && keywordOf(data) == "SIMPLE"; }

bool isValueCard(const uint8_t* card) { return card[8] == '='; }

// The value text from column 11, blanks cut.
std::string_view valueText(const uint8_t* card)
{
    std::string_view v(reinterpret_cast<const char*>(card + 10), kCard - 10);
    size_t a = v.find_first_not_of(' ');
    if (a == std::string_view::npos) return {};
    size_t b = v.find_last_not_of(' ');
    return v.substr(a, b - a + 1);
}

// A decimal with an optional sign; false when there is none or it is out
// of range.
bool parseInteger(std::string_view v, int64_t* out)
{
    size_t i = 0;
    bool negative = false;
    if (i < v.size() && (v[i] == '+' || v[i] == '-')) negative = v[i++] == '-';
    size_t start = i;
    int64_t n = 0;
    for (; i < v.size() && v[i] >= '0' && v[i] <= '9'; ++i) {
        if (n > (int64_t(1) << 40)) return false;
        n = n * 10 + (v[i] - '0');
    }
    if (i == start || (i < v.size() && v[i] != ' ' && v[i] != '/')) return false;
    *out = negative ? -n : n;
    return true;
}

// The text between the first quote and the next, trailing blanks cut.
std::string_view stringValue(const uint8_t* card)
{
    std::string_view v(reinterpret_cast<const char*>(card + 10), kCard - 10);
    size_t a = v.find('\'');
    if (a == std::string_view::npos) return {};
    size_t b = v.find('\'', a + 1);
    std::string_view s = v.substr(a + 1, b == std::string_view::npos ? std::string_view::npos : b - a - 1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return s;
}

class FitsReader final : public ImageReader {
public:
    FitsReader(MappedFile* f, const FormatDescriptor* d) : ImageReader(f, d) {}

protected:
    ResultCode readHeader(const void* options) override;
    ResultCode readPixels(Image* image, bool reduced, Progress* progress, AbortFlag* abort) override;

private:
    void decodeRow(uint8_t* dst, const uint8_t* src) const;

    uint64_t dataOffset_ = 0;
    int32_t bitpix_ = 0;
};

ResultCode FitsReader::readHeader(const void*)
{
    const uint8_t* data = input->data();
    uint64_t size = input->size();
    if (!hasSignature(data, size)) return RC_UNKNOWN_FORMAT;
    std::string_view simple = valueText(data);
    if (!isValueCard(data) || simple.substr(0, simple.find_first_of(" /")) != "T") return RC_UNSUPPORTED_SUBFORMAT;

    int64_t w = 0, h = 0;
    uint64_t end = size;
    for (uint64_t at = kCard; at + kCard <= size; at += kCard) {
        const uint8_t* card = data + at;
        std::string_view key = keywordOf(card);
        if (key == "END") {
            end = at + kCard;
            break;
        }
        if (key == "COMMENT") {
            std::string_view text(reinterpret_cast<const char*>(card + 8), kCard - 8);
            while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
            if (!text.empty() && !info.has(INFO_COMMENTS))
                infoSetBorrowed(info, INFO_COMMENTS, text.data(), uint32_t(text.size()), BORROW_CP1252);
            continue;
        }
        if (!isValueCard(card) || valueText(card).empty()) continue;
        std::string_view value = valueText(card);
        int64_t n = 0;
        bool number = parseInteger(value, &n);
        if (key == "BITPIX") {
            if (!number || (n != 8 && n != 16 && n != 32 && n != -32 && n != -64)) return RC_UNSUPPORTED_SUBFORMAT;
            bitpix_ = int32_t(n);
        } else if (key == "NAXIS") {
            if (!number || n < 2) return RC_UNSUPPORTED_SUBFORMAT;
        } else if (key == "NAXIS1" || key == "NAXIS2") {
            if (!number || n < 0) return RC_CORRUPT_FILE;
            if (n == 0) return RC_UNSUPPORTED_SUBFORMAT;
            (key == "NAXIS1" ? w : h) = n;
        } else {
            int field = key == "OBJECT"                          ? INFO_TITLE
                        : key == "ORIGIN" || key == "OBSERVER"   ? INFO_SOURCE
                        : key == "AUTHOR"                        ? INFO_AUTHOR
                        : key == "DATE"                          ? INFO_CREATION_DATE
                                                                 : -1;
            std::string_view text = stringValue(card);
            if (field >= 0 && !text.empty())
                infoSetBorrowed(info, field, text.data(), uint32_t(text.size()), BORROW_CP1252);
        }
    }
    if (!w || !h || !bitpix_) return RC_CORRUPT_FILE;
    uint32_t bits = uint32_t(bitpix_ < 0 ? -bitpix_ : bitpix_);
    dataOffset_ = (end + kBlock - 1) / kBlock * kBlock;
    const uint64_t have = dataOffset_ < size ? size - dataOffset_ : 0;
    // Data that cannot fill even the first row holds no picture: refused
    // here, before an image of the declared size exists.
    if (have < uint64_t(w) * (bits / 8)) return RC_CORRUPT_FILE;
    const bool fits32 = w <= UINT32_MAX && h <= UINT32_MAX;
    if (fits32) {
        width = uint32_t(w);
        height = uint32_t(h);
    }
    bitsPerPixel = bits;
    colourModel = CM_L;
    pixelFormat = bitpix_ < 0 ? PF_GRAY_FLOAT : bits == 8 ? PF_GRAY8 : PF_GRAY16;
    const uint64_t row = uint64_t(w) * bytesPerPixel(pixelFormat);
    const bool unmakeable = !fits32 || row > UINT32_MAX - 64;
    // Rows the data cannot hold are a cut file's, or the size is a lie.
    if (uncompressedRowsLie(this, uint64_t(w) * (bits / 8), uint64_t(h), have, unmakeable)) return RC_CORRUPT_FILE;
    if (unmakeable) return RC_OUT_OF_MEMORY;
    minRowBytes = uint32_t(row);
    return RC_OK;
}

void FitsReader::decodeRow(uint8_t* dst, const uint8_t* src) const
{
    switch (bitpix_) {
    case 8: std::memcpy(dst, src, width); break;
    case 16: {
        auto* out = reinterpret_cast<uint16_t*>(dst);
        for (uint32_t x = 0; x < width; ++x) out[x] = uint16_t(loadU16be(src + 2 * x) + 32768u);
        break;
    }
    case 32: {
        auto* out = reinterpret_cast<uint16_t*>(dst);
        for (uint32_t x = 0; x < width; ++x) out[x] = uint16_t(loadU16be(src + 4 * x) + 32768u);
        break;
    }
    case -32: {
        auto* out = reinterpret_cast<float*>(dst);
        for (uint32_t x = 0; x < width; ++x) {
            uint32_t v = loadU32be(src + 4 * x);
            std::memcpy(&out[x], &v, 4);
        }
        break;
    }
    default: {
        auto* out = reinterpret_cast<float*>(dst);
        for (uint32_t x = 0; x < width; ++x) {
            uint64_t v = (uint64_t(loadU32be(src + 8 * x)) << 32) | loadU32be(src + 8 * x + 4);
            double d;
            std::memcpy(&d, &v, 8);
            out[x] = float(d);
        }
    }
    }
}

ResultCode FitsReader::readPixels(Image* image, bool, Progress* progress, AbortFlag* abort)
{
    const uint8_t* data = input->data();
    uint64_t size = input->size();
    uint64_t fileRow = uint64_t(width) * (bitsPerPixel / 8);
    bool complete = true;
    for (uint32_t r = 0; r < height; ++r) {
        uint8_t* dst = image->rowBytesPtr(height - 1 - r);
        uint64_t at = dataOffset_ + uint64_t(r) * fileRow;
        if (at > size || fileRow > size - at) {
            // Rows the data does not hold stay black: zeros, which on fresh
            // memory cost nothing however many rows the file claims.
            imageClearRows(image, 0, height - r);
            complete = false;
            break;
        }
        decodeRow(dst, data + at);
        reportProgress(progress, r + 1, height);
        if (aborted(abort)) return RC_OK;
    }
    return complete ? RC_OK : RC_CORRUPT_FILE;
}

// ---- writer ----

class FitsWriter final : public ImageWriter {
public:
    using ImageWriter::ImageWriter;

protected:
    ResultCode encode(Image* image, const char16_t* subFormatName, uint32_t colourFlag, uint32_t bitsPerPixel,
                      int32_t parameter, bool allFrames, void* extra) override;
};

// Header cards, 80 characters each, in blank-filled blocks.
class Cards {
public:
    void add(std::string_view text)
    {
        std::string card(text.substr(0, kCard));
        card.resize(kCard, ' ');
        text_ += card;
    }
    void value(const char* key, const std::string& value, const char* comment = nullptr)
    {
        char buf[96];
        std::snprintf(buf, sizeof buf, "%-8s= %s", key, value.c_str());
        std::string card = buf;
        if (comment) card += std::string(" / ") + comment;
        add(card);
    }
    void text(const char* key, const char16_t* wide)
    {
        std::string s = narrow(wide);
        if (s.empty()) return;
        // The closing quote must fit the card.
        s.resize(std::min<size_t>(s.size(), 68));
        value(key, "'" + s + "'");
    }
    const std::string& blocks()
    {
        text_.resize((text_.size() + kBlock - 1) / kBlock * kBlock, ' ');
        return text_;
    }
    static std::string narrow(const char16_t* wide)
    {
        if (!wide) return {};
        std::u16string_view w(wide);
        std::string s(w.size() + 1, '\0');
        wideToAnsiApprox(s.data(), wide, s.size());
        s.resize(std::strlen(s.c_str()));
        // A quote would end the value early, a control character is not
        // allowed in a card.
        for (char& c : s)
            if (c == '\'' || uint8_t(c) < 32) c = c == '\'' ? '"' : ' ';
        return s;
    }

private:
    std::string text_;
};

ResultCode FitsWriter::encode(Image* image, const char16_t*, uint32_t colourFlag, uint32_t, int32_t, bool, void*)
{
    int bitpix;
    uint32_t sample;
    if (image->grayFloatView()) bitpix = -32, sample = 4;
    else if (image->gray16View()) bitpix = 16, sample = 2;
    else if (image->gray8View()) bitpix = 8, sample = 1;
    else return colourFlag & kFitsSubFormatCaps[0] ? RC_INVALID_PARAMETER : RC_UNSUPPORTED_COLOUR_FORMAT;
    uint32_t w = image->width, h = image->height;
    AlignedBuffer<uint8_t> row(uint64_t(w) * sample + 16);
    if (!row) return RC_OUT_OF_MEMORY;

    Cards cards;
    cards.value("SIMPLE", "T", "Standard FITS file");
    cards.value("BITPIX", std::to_string(bitpix), "No. of bits per pixel");
    cards.value("NAXIS", "2", "No. of axes in matrix");
    cards.value("NAXIS1", std::to_string(w), "No. of pixels in X");
    cards.value("NAXIS2", std::to_string(h), "No. of pixels in Y");
    if (bitpix == 16) {
        // Samples are stored less 32768; these say so to other readers.
        cards.value("BZERO", "32768");
        cards.value("BSCALE", "1");
    }
    if (const ImageInfo* inf = image->info()) {
        cards.text("OBJECT", inf->get(INFO_TITLE));
        cards.text("AUTHOR", inf->get(INFO_AUTHOR));
        cards.text("OBSERVER", inf->get(INFO_SOURCE));
        cards.text("DATE", inf->get(INFO_CREATION_DATE));
        std::string comment = Cards::narrow(inf->get(INFO_COMMENTS));
        if (!comment.empty()) cards.add("COMMENT " + comment.substr(0, 71));
    }
    cards.add("END");
    const std::string& header = cards.blocks();
    if (failed(output.write(header.data(), header.size()))) return RC_WRITE_FAILED;

    uint64_t rowBytes = uint64_t(w) * sample;
    for (uint32_t r = 0; r < h; ++r) {
        uint32_t y = h - 1 - r;
        const uint8_t* out = image->row<uint8_t>(y);
        if (bitpix == 16) {
            const uint16_t* p = image->row<uint16_t>(y);
            for (uint32_t x = 0; x < w; ++x) {
                uint16_t v = uint16_t(p[x] + 32768u);
                row.get()[2 * x] = uint8_t(v >> 8), row.get()[2 * x + 1] = uint8_t(v);
            }
            out = row.get();
        } else if (bitpix == -32) {
            const float* p = image->row<float>(y);
            for (uint32_t x = 0; x < w; ++x) {
                uint32_t v;
                std::memcpy(&v, &p[x], 4);
                for (int k = 0; k < 4; ++k) row.get()[4 * x + uint32_t(k)] = uint8_t(v >> (24 - 8 * k));
            }
            out = row.get();
        }
        if (failed(output.write(out, size_t(rowBytes)))) return RC_WRITE_FAILED;
    }
    uint64_t dataBytes = rowBytes * h;
    static const uint8_t zeros[kBlock] = {};
    if (uint64_t pad = (kBlock - dataBytes % kBlock) % kBlock)
        if (failed(output.write(zeros, size_t(pad)))) return RC_WRITE_FAILED;
    return failed(output.flush()) ? RC_WRITE_FAILED : RC_OK;
}

} // namespace

ResultCode fitsProbe(MappedFile* file)
{
    return file && hasSignature(file->data(), file->size()) ? RC_OK : RC_UNKNOWN_FORMAT;
}

ImageReader* fitsReaderCreate(MappedFile* file, const FormatDescriptor* descriptor)
{
    return new (std::nothrow) FitsReader(file, descriptor);
}

ImageWriter* fitsWriterCreate(const std::filesystem::path& path, const FormatDescriptor* descriptor)
{
    return writerCreate<FitsWriter>(path, descriptor);
}

} // namespace quillon
