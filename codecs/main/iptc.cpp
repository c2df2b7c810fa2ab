// Photoshop image resources and IPTC-NAA records.
#include "codecs/main/iptc.h"

#include <cstring>
#include <string>
#include <vector>

#include "codecs/main/exif.h"
#include "codecs/main/meta_common.h"
#include "codecs/main/xmp.h"
#include "core/text.h"

namespace quillon {

const IptcDatasetField IptcDatasetFieldTable[] = {
    {5, INFO_TITLE},   {25, INFO_KEYWORD_FIRST}, {55, INFO_CREATION_DATE}, {80, INFO_AUTHOR},
    {115, INFO_SOURCE}, {116, INFO_COPYRIGHT},    {120, INFO_COMMENTS},     {0, 0},
};

namespace {

constexpr uint32_t kMaxResourceSize = 0x6400000;
constexpr uint8_t kKeywordsDataset = 25;
constexpr uint8_t kDateCreatedDataset = 55;
constexpr uint8_t kTimeCreatedDataset = 60;
constexpr uint8_t kCodedCharsetDataset = 90;
// A standard dataset length has its top bit clear; set, it announces an
// extended length.
constexpr uint32_t kMaxDatasetLength = 0x7FFF;
constexpr char kUtf8Escape[3] = {0x1B, 0x25, 0x47};  // ESC % G: UTF-8

uint32_t be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

int datasetField(uint8_t dataset)
{
    for (const IptcDatasetField* row = IptcDatasetFieldTable; row->dataset; ++row)
        if (row->dataset == dataset) return row->field;
    return -1;
}

uint8_t fieldDataset(int field)
{
    if (field >= INFO_KEYWORD_FIRST && field <= INFO_KEYWORD_LAST) return kKeywordsDataset;
    for (const IptcDatasetField* row = IptcDatasetFieldTable; row->dataset; ++row)
        if (row->field == field) return row->dataset;
    return 0;
}

// The character set the envelope record (1:90) declares for the datasets
// after it.
enum class Charset { UNDECLARED, UTF8, OTHER };

// Borrows a dataset's bytes with trailing blanks cut; false for blanks only.
bool borrow(ImageInfoBag& bag, int field, const uint8_t* text, size_t length, Charset charset)
{
    while (length > 0 && text[length - 1] == ' ') --length;
    if (length == 0) return false;
    const int kind = charset == Charset::UTF8    ? BORROW_UTF8
                     : charset == Charset::OTHER ? BORROW_CP1252
                                                 : meta::eightBitKind(text, length);
    infoSetBorrowed(bag, field, text, uint32_t(length), kind);
    return bag.has(field);
}

// Date Created (CCYYMMDD) and Time Created (HHMMSS and the offset from
// UTC, +HHMM) in the form the EXIF, TIFF and XMP writers take: "CCYY:MM:DD",
// then " HH:MM:SS" and "+HH:MM" as far as the time gives them. Empty when
// the date is in no such form (or has unknown parts, which IPTC writes as
// 00): it is then kept as it came.
std::u16string createdText(const uint8_t* date, size_t dateLength, const uint8_t* time, size_t timeLength)
{
    auto digitsAt = [](const uint8_t* p, size_t length, size_t at, size_t n) {
        if (at + n > length) return false;
        for (size_t k = at; k < at + n; ++k)
            if (p[k] < '0' || p[k] > '9') return false;
        return true;
    };
    auto number = [](const uint8_t* p) { return (p[0] - '0') * 10 + (p[1] - '0'); };
    auto two = [](const uint8_t* p) { return std::string(reinterpret_cast<const char*>(p), 2); };
    if (dateLength != 8 || !digitsAt(date, dateLength, 0, 8)) return {};
    const int month = number(date + 4), day = number(date + 6);
    if (month < 1 || month > 12 || day < 1 || day > 31) return {};
    std::string text = two(date) + two(date + 2) + ':' + two(date + 4) + ':' + two(date + 6);
    if (time && digitsAt(time, timeLength, 0, 6) && number(time) < 24 && number(time + 2) < 60 &&
        number(time + 4) < 60) {
        text += ' ' + two(time) + ':' + two(time + 2) + ':' + two(time + 4);
        if (timeLength >= 11 && (time[6] == '+' || time[6] == '-') && digitsAt(time, timeLength, 7, 4))
            text += char(time[6]) + two(time + 7) + ':' + two(time + 9);
    }
    return asciiToU16(text);
}

// The most bytes the IPTC-IIM standard lets a dataset hold; other readers
// warn of longer ones. A standard length can say no more in any case.
uint32_t datasetLimit(uint8_t dataset)
{
    switch (dataset) {
    case 5: return 64;      // Object Name
    case 25: return 64;     // Keywords
    case 80: return 32;     // By-line
    case 115: return 32;    // Source
    case 116: return 128;   // Copyright Notice
    case 120: return 2000;  // Caption/Abstract
    default: return kMaxDatasetLength;
    }
}

// The bytes iptcWrite stores for a field: its text as UTF-8, cut on a
// character boundary to the dataset's limit. A creation date that reads as
// a date is written as the CCYYMMDD the dataset is defined to hold.
std::string datasetText(const ImageInfo* info, int field, uint8_t dataset)
{
    std::string date;
    if (field == INFO_CREATION_DATE && meta::formatCreateDate(info->get(field), date))
        return date.substr(0, 4) + date.substr(5, 2) + date.substr(8, 2);
    std::string text = meta::wellFormedUtf8(info->get(field));
    if (text.size() > datasetLimit(dataset)) {
        meta::cutUtf8(text, datasetLimit(dataset));
        // Readers drop trailing blanks; a cut that leaves some would make
        // the next copy differ from this one.
        while (!text.empty() && text.back() == ' ') text.pop_back();
    }
    return text;
}

struct Dataset {
    uint8_t record, number;
    std::string data;
};

// The datasets of the block, in field order; led by the envelope's coded
// character set saying UTF-8 when any text goes beyond ASCII, since readers
// take undeclared bytes for Latin-1.
std::vector<Dataset> blockDatasets(const ImageInfo* info)
{
    std::vector<Dataset> out;
    bool ascii = true;
    for (int field = 0; field < INFO_FIELD_COUNT; ++field) {
        uint8_t dataset = fieldDataset(field);
        if (!dataset || !info->has(field)) continue;
        std::string text = datasetText(info, field, dataset);
        if (text.empty()) continue;
        for (char c : text) ascii = ascii && uint8_t(c) < 0x80;
        out.push_back({2, dataset, std::move(text)});
    }
    if (!ascii) out.insert(out.begin(), Dataset{1, kCodedCharsetDataset, std::string(kUtf8Escape, 3)});
    return out;
}

} // namespace

void iptcParse(ImageInfoBag& bag, const uint8_t* data, size_t size)
{
    if (!data) return;
    // The keyword list comes whole from one source: a list another block or
    // packet gave already stays as it is.
    bool keywordsBefore = false;
    for (int f = INFO_KEYWORD_FIRST; f <= INFO_KEYWORD_LAST; ++f) keywordsBefore = keywordsBefore || bag.has(f);
    int nextKeyword = INFO_KEYWORD_FIRST;
    Charset charset = Charset::UNDECLARED;
    // The date and the time are two datasets; each may come first.
    const uint8_t *date = nullptr, *time = nullptr;
    size_t dateLength = 0, timeLength = 0;
    Charset dateCharset = charset;
    size_t pos = 0;
    while (size - pos > 5) {
        const uint8_t* h = data + pos;
        uint32_t length = uint32_t(h[3]) << 8 | h[4];
        size_t start = pos + 5;
        if (length & 0x8000) {
            // An extended length: its byte count, then the length itself.
            size_t n = length & 0x7FFF;
            if (n == 0 || n > 8 || size - start < n) return;
            uint64_t extended = 0;
            for (size_t k = 0; k < n; ++k) extended = extended << 8 | data[start + k];
            start += n;
            if (extended > size - start) return;
            pos = start + size_t(extended);
            continue;
        }
        if (length > size - start) return;
        pos = start + length;
        const uint8_t* text = data + start;
        if (h[0] == 0x1C && h[1] == 1 && h[2] == kCodedCharsetDataset) {
            charset = length == sizeof kUtf8Escape && std::memcmp(text, kUtf8Escape, length) == 0 ? Charset::UTF8
                                                                                                : Charset::OTHER;
            continue;
        }
        // Only text datasets are in the table, so any first byte is text.
        if (h[0] != 0x1C || h[1] != 2 || length == 0) continue;
        if (h[2] == kDateCreatedDataset || h[2] == kTimeCreatedDataset) {
            const bool isDate = h[2] == kDateCreatedDataset;
            if (isDate ? date : time) continue;
            (isDate ? date : time) = text;
            (isDate ? dateLength : timeLength) = length;
            if (isDate) dateCharset = charset;
            continue;
        }
        int field = datasetField(h[2]);
        if (field < 0) continue;
        if (field == INFO_KEYWORD_FIRST) {
            if (keywordsBefore || nextKeyword > INFO_KEYWORD_LAST) continue;
            // Blank and repeated keywords are dropped, not given a place.
            if (borrow(bag, nextKeyword, text, length, charset) && !meta::keywordIsDropped(bag, nextKeyword))
                ++nextKeyword;
            else
                bag.set(nextKeyword, nullptr);
            continue;
        }
        if (!bag.has(field)) borrow(bag, field, text, length, charset);
    }
    if (!date || bag.has(INFO_CREATION_DATE)) return;
    while (dateLength > 0 && date[dateLength - 1] == ' ') --dateLength;
    if (const std::u16string created = createdText(date, dateLength, time, timeLength); !created.empty())
        bag.set(INFO_CREATION_DATE, created.c_str());
    else
        borrow(bag, INFO_CREATION_DATE, date, dateLength, dateCharset);
    bag.creationDateTaken = false;
}

namespace {

// Calls fn(id, data, size) for each "8BIM" resource of a block, in order;
// the walk stops at the first resource that does not fit.
template <typename Fn>
void forEachResource(const uint8_t* data, size_t size, Fn&& fn)
{
    if (!data) return;
    size_t pos = 0;
    while (size - pos >= 11) {
        const uint8_t* r = data + pos;
        size_t nameBytes = (size_t(r[6]) + 2) & ~size_t(1);  // length byte, name, pad to even
        size_t sizeAt = pos + 6 + nameBytes;
        if (sizeAt > size || size - sizeAt < 4) break;
        uint32_t dataSize = be32(data + sizeAt);
        size_t dataAt = sizeAt + 4;
        if (dataSize > kMaxResourceSize || dataSize > size - dataAt) break;
        if (std::memcmp(r, "8BIM", 4) == 0) fn(uint16_t(r[4] << 8 | r[5]), data + dataAt, size_t(dataSize));
        pos = dataAt + dataSize;
        if (dataSize & 1) {
            if (pos == size) break;
            ++pos;
        }
    }
}

} // namespace

void psResourcesParse(ImageInfoBag& bag, const uint8_t* data, size_t size)
{
    struct Block {
        const uint8_t* data = nullptr;
        size_t size = 0;
    } iptc, exif, xmp;
    forEachResource(data, size, [&](uint16_t id, const uint8_t* d, size_t n) {
        if (id == PS_RESOURCE_IPTC) iptc = {d, n};
        else if (id == PS_RESOURCE_EXIF) exif = {d, n};
        else if (id == PS_RESOURCE_XMP) xmp = {d, n};
    });
    if (exif.data) exifParse(bag, exif.data, exif.size);
    if (iptc.data) iptcParse(bag, iptc.data, iptc.size);
    if (xmp.data) xmpParse(bag, xmp.data, xmp.size);
}

bool psResourceFind(const uint8_t* data, size_t size, uint16_t id, const uint8_t*& found, size_t& foundSize)
{
    found = nullptr;
    foundSize = 0;
    forEachResource(data, size, [&](uint16_t resourceId, const uint8_t* d, size_t n) {
        if (resourceId == id) found = d, foundSize = n;
    });
    return found != nullptr;
}

uint32_t iptcMeasure(const ImageInfo* info)
{
    if (!info) return 0;
    uint32_t total = 0;
    for (const Dataset& d : blockDatasets(info)) total += 5 + uint32_t(d.data.size());
    return total;
}

uint32_t iptcWrite(uint8_t* out, const ImageInfo* info)
{
    if (!info || !out) return 0;
    uint8_t* p = out;
    for (const Dataset& d : blockDatasets(info)) {
        p[0] = 0x1C;
        p[1] = d.record;
        p[2] = d.number;
        meta::storeU16be(p + 3, uint32_t(d.data.size()));
        std::memcpy(p + 5, d.data.data(), d.data.size());
        p += 5 + d.data.size();
    }
    return uint32_t(p - out);
}

} // namespace quillon
