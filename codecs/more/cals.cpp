// CALS type 1: sixteen 128-byte text records (size, density, title, notes),
// then Group 4 coded rows from byte 2048 to the end of the file, decoded by
// the fax decoder into 1-bit samples, 1 black.
#include "codecs/more/cals.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <string_view>

#include "codecs/main/fax.h"
#include "core/image_reader.h"
#include "core/text.h"
#include "platform/memory.h"

namespace quillon {

namespace {

constexpr uint64_t kHeaderBytes = 2048;
constexpr uint32_t kRecord = 128;

bool keywordAt(const uint8_t* data, uint32_t at, std::string_view keyword)
{
    return std::memcmp(data + at, keyword.data(), keyword.size()) == 0;
}

bool hasSignature(const uint8_t* data, uint64_t size)
{
    return size > kHeaderBytes && keywordAt(data, 0, "srcdocid: ") && keywordAt(data, 128, "dstdocid: ") &&
           keywordAt(data, 768, "rtype: ") && keywordAt(data, 1024, "rpelcnt: ");
}

// The value of the record at `record` from `from` to the record's end.
std::string_view recordValue(const uint8_t* data, uint32_t record, uint32_t from)
{
    return {reinterpret_cast<const char*>(data + from), size_t(record + kRecord - from)};
}

bool isNone(std::string_view v) { return v.starts_with("NONE"); }

// Up to `most` decimal digits, ending at the first other character.
uint32_t digits(std::string_view v, size_t most, bool* any)
{
    uint32_t n = 0;
    *any = false;
    for (size_t i = 0; i < v.size() && i < most && v[i] >= '0' && v[i] <= '9'; ++i) {
        n = n * 10 + uint32_t(v[i] - '0');
        *any = true;
    }
    return n;
}

class CalsReader final : public ImageReader {
public:
    CalsReader(MappedFile* f, const FormatDescriptor* d) : ImageReader(f, d) {}

protected:
    ResultCode readHeader(const void* options) override;
    ResultCode readPixels(Image* image, bool reduced, Progress* progress, AbortFlag* abort) override;

private:
    void borrowText(int field, uint32_t record, uint32_t from);
};

void CalsReader::borrowText(int field, uint32_t record, uint32_t from)
{
    std::string_view v = recordValue(input->data(), record, from);
    if (isNone(v)) return;
    while (!v.empty() && (v.back() == ' ' || v.back() == 0)) v.remove_suffix(1);
    if (!v.empty()) infoSetBorrowed(info, field, v.data(), uint32_t(v.size()), BORROW_CP1252);
}

ResultCode CalsReader::readHeader(const void*)
{
    const uint8_t* data = input->data();
    if (!hasSignature(data, input->size())) return RC_UNKNOWN_FORMAT;
    if (!recordValue(data, 768, 775).starts_with("1 ")) return RC_UNSUPPORTED_SUBFORMAT;
    std::string_view size = recordValue(data, 1024, 1033);
    if (isNone(size)) return RC_UNSUPPORTED_SUBFORMAT;
    bool any;
    width = digits(size, 6, &any);
    height = 0;
    for (uint32_t at = 1040; at < 1044; ++at)
        if (data[at] != ' ') {
            height = digits(recordValue(data, 1024, at), 6, &any);
            break;
        }
    if (!width || !height) return RC_CORRUPT_FILE;
    bitsPerPixel = 1;
    pixelFormat = PF_GRAY8;
    colourModel = CM_K;
    minRowBytes = width;
    // Every coded row takes a bit at the least, so a body with fewer bits
    // than the rows claimed can never be whole: refuse it as damaged before
    // a picture is made, or a few bytes could make the decode take gigabytes.
    if ((uint64_t(height) + 7) / 8 > input->size() - kHeaderBytes) return RC_CORRUPT_FILE;

    borrowText(INFO_TITLE, 512, 520);
    borrowText(INFO_COMMENTS, 1280, 1287);
    // The standard keyword is "rdensty: "; some files spell it out.
    uint32_t densityAt = keywordAt(data, 1152, "rdensity: ") ? 1162 : keywordAt(data, 1152, "rdensty: ") ? 1161 : 0;
    if (densityAt) {
        std::string_view v = recordValue(data, 1152, densityAt);
        uint32_t n = isNone(v) ? 0 : digits(v, 4, &any);
        if (n) {
            char buf[32];
            std::snprintf(buf, sizeof buf, "%u x %u ppi", n, n);
            info.set(INFO_DENSITY, asciiToU16(buf).c_str());
        }
    }
    return RC_OK;
}

ResultCode CalsReader::readPixels(Image* image, bool, Progress* progress, AbortFlag* abort)
{
    uint64_t rowBytes = (uint64_t(width) + 7) / 8;
    uint64_t total = rowBytes * height;
    AlignedBuffer<uint8_t> packed(total, true);
    if (!packed) return RC_OUT_OF_MEMORY;
    FaxDecoder fax;
    ResultCode rc = faxDecoderInit(fax, FAX_MODE_T6, 0, uint32_t(rowBytes), width, 0);
    if (failed(rc)) return rc == RC_OUT_OF_MEMORY ? rc : RC_CORRUPT_FILE;
    // The whole body, however dense its coding; data that ends before the
    // rows do leaves the rows it did not reach white, and is damage.
    fax.setInput(input->data() + kHeaderBytes, size_t(input->size() - kHeaderBytes));
    bool complete = fax.decodeRows(packed.get(), size_t(total)) == 1;
    reportProgress(progress, 50, 100);
    for (uint32_t y = 0; y < height; ++y) {
        if (aborted(abort)) return RC_OK;
        const uint8_t* src = packed.get() + uint64_t(y) * rowBytes;
        uint8_t* dst = image->row<uint8_t>(y);
        for (uint32_t x = 0; x < width; ++x) dst[x] = (src[x >> 3] >> (7 - (x & 7))) & 1;
    }
    return complete ? RC_OK : RC_CORRUPT_FILE;
}

} // namespace

ResultCode calsProbe(MappedFile* file)
{
    return file && hasSignature(file->data(), file->size()) ? RC_OK : RC_UNKNOWN_FORMAT;
}

ImageReader* calsReaderCreate(MappedFile* file, const FormatDescriptor* descriptor)
{
    return new (std::nothrow) CalsReader(file, descriptor);
}

} // namespace quillon
