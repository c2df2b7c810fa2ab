// TIFF reading up to the pixel data: the header, each image file directory
// with its tags, the page chain and the trailing-thumbnail rule. The pixels
// are decoded in tiff_decode.cpp.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <new>
#include <vector>

#include "codecs/main/exif.h"
#include "codecs/main/iptc.h"
#include "codecs/main/tiff.h"
#include "codecs/main/tiff_internal.h"
#include "codecs/main/tiff_tags.h"
#include "codecs/main/xmp.h"
#include "core/image_reader.h"
#include "core/text.h"
#include "platform/memory.h"

namespace quillon {

using namespace tiff_internal;

const char16_t* const kTiffSubFormats[] = {u"Uncompressed", u"LZW compressed", u"JPEG, by Quality:",
                                           u"SGI LogLuv RLE", u""};
constexpr ColourFormatFlags kTiffAllFormats = CF_2_COLOURS | CF_4_COLOURS | CF_16_COLOURS | CF_256_COLOURS |
                                              CF_GRAY8 | CF_GRAY16 | CF_GRAY_FLOAT | CF_RGB24 | CF_RGB48 |
                                              CF_RGB_FLOAT | CF_RGBA32 | CF_RGBA64 | CF_RGBA_FLOAT;
const ColourFormatFlags kTiffSubFormatCaps[] = {kTiffAllFormats, kTiffAllFormats, CF_GRAY8 | CF_RGB24,
                                                CF_GRAY_FLOAT | CF_RGB_FLOAT};
const uint8_t kTiffSubFormatParams[] = {PARAM_NONE, PARAM_NONE, PARAM_QUALITY, PARAM_NONE};

namespace {

// Far more pages than any real document; a longer chain is damage.
constexpr uint32_t kMaxPages = 4096;

// The 8-byte header both the probe and the reader check: byte order, 42 and
// the first directory's offset. 43 is the 64-bit variant we do not read.
ResultCode checkHeader(const uint8_t* data, uint64_t size, bool* bigEndian, uint32_t* firstIfd)
{
    if (size < 8) return RC_UNKNOWN_FORMAT;
    bool be;
    if (data[0] == 'I' && data[1] == 'I') be = false;
    else if (data[0] == 'M' && data[1] == 'M') be = true;
    else return RC_UNKNOWN_FORMAT;
    TiffBytes b{data, size, be};
    uint16_t magic = b.u16(2);
    if (magic == 43) return RC_UNSUPPORTED_SUBFORMAT;
    if (magic != 42) return RC_UNKNOWN_FORMAT;
    if (bigEndian) *bigEndian = be;
    if (firstIfd) *firstIfd = b.u32(4);
    return RC_OK;
}

const char16_t* compressionName(uint32_t c)
{
    switch (c) {
    case 1: return nullptr;
    case 2:
    case 32771: return u"Fax G3 RLE";
    case 3: return u"Fax G3";
    case 4: return u"Fax G4";
    case 5: return u"LZW";
    case 6:
    case 7: return u"JPEG";
    case 8:
    case 32946: return u"ZIP";
    case 32773: return u"RLE";
    case 34676: return u"SGI LogLuv RLE";
    case 34677: return u"SGI LogLuv 24";
    default: return u"";
    }
}

bool isFax(uint32_t c) { return c == 2 || c == 3 || c == 4 || c == 32771; }
bool isLogLuv(uint32_t c) { return c == 34676 || c == 34677; }

// The most bytes one byte of a segment's data can become, for the codings
// whose output is bounded by their input: LZW at most a 4096-byte string
// from a code of 9 bits or more, Deflate 258 bytes from two bits, PackBits
// 128 bytes from two and LogLuv's runs 129 from two. Zero where there is no
// such bound (fax coding gives a white row from one bit, JPEG has end-of-band
// runs) or where the data is stored as it is.
uint64_t mostExpanded(uint32_t c)
{
    switch (c) {
    case 5: return (4096 * 8 + 8) / 9;
    case 8:
    case 32946: return 1032;
    case 32773: return 64;
    case 34676: return 65;
    default: return 0;
    }
}

// Data bytes allowed for beyond that bound before the data counts as too
// short; a bound this loose never refuses a whole file.
constexpr uint64_t kExpansionSlack = 64;

// Where a JPEG stream's frame header lies (its marker), or UINT64_MAX when
// the stream is not JPEG or reaches a scan or its end without a frame.
uint64_t jpegFrameAt(const uint8_t* p, uint64_t length)
{
    if (length < 4 || p[0] != 0xFF || p[1] != 0xD8) return UINT64_MAX;
    for (uint64_t at = 2; at + 4 <= length;) {
        if (p[at] != 0xFF) return UINT64_MAX;
        const uint8_t marker = p[at + 1];
        if (marker == 0xFF) {
            ++at;
            continue;
        }
        if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xCC) return at;
        if (marker == 0xDA) return UINT64_MAX;
        at += 2 + ((uint32_t(p[at + 2]) << 8) | p[at + 3]);
    }
    return UINT64_MAX;
}

} // namespace

namespace tiff_internal {

uint64_t TiffList::values(const TiffBytes& b) const
{
    uint64_t size = type == kTypeShort ? 2 : 4;
    uint64_t total = size * count;
    if (total <= 4) return field;
    uint64_t at = b.u32(field);
    return b.inside(at, total) ? at : UINT64_MAX;
}

uint32_t TiffList::at(const TiffBytes& b, uint32_t i) const
{
    uint64_t base = values(b);
    if (base == UINT64_MAX || i >= count) return 0;
    return type == kTypeShort ? b.u16(base + 2ull * i) : b.u32(base + 4ull * i);
}

ResultCode TiffReader::readHeader(const void*)
{
    bytes.data = input->data();
    bytes.size = input->size();
    uint32_t first = 0;
    ResultCode rc = checkHeader(bytes.data, bytes.size, &bytes.bigEndian, &first);
    if (failed(rc)) return rc;
    rc = readIfd(first);
    if (failed(rc)) return rc;
    rc = checkDataAmount();
    if (failed(rc)) return rc;

    // Further directories are further pages, walked in a loop with a record
    // of the directories seen, so a chain that points back ends there.
    std::vector<uint32_t> seen{first};
    TiffReader* last = this;
    uint32_t pages = 1;
    while (last->nextIfd && pages < kMaxPages) {
        uint32_t pos = last->nextIfd;
        if (!bytes.inside(pos, 2)) break;
        uint16_t n = bytes.u16(pos);
        if (n < 5 || n > 1000) break;
        if (std::find(seen.begin(), seen.end(), pos) != seen.end()) break;
        seen.push_back(pos);
        auto* next = new (std::nothrow) TiffReader(input, descriptor);
        if (!next) return RC_OUT_OF_MEMORY;
        next->bytes = bytes;
        next->width = last->width;
        next->height = last->height;
        // A page that cannot be read, or whose data is far too short, ends
        // the document, and the damage is reported with the page before it.
        if (failed(next->readIfd(pos)) || failed(next->checkDataAmount())) {
            objectRelease(next);
            last->pagesLost = true;
            break;
        }
        last->nextReader = next;
        last->frameInfo.duration = kPageEndDuration;
        last = next;
        ++pages;
    }

    // A second directory marked as a reduced copy is a thumbnail, one marked
    // or numbered as a page is a page; of one that says neither, a smaller
    // copy of the same proportions is taken for a thumbnail. Whole-number
    // proportions match most smaller pages, so they decide only then.
    if (pages == 2) {
        const TiffReader* t = static_cast<const TiffReader*>(nextReader);
        auto ratio = [](uint32_t a, uint32_t b) { return (uint64_t(a) + b / 2) / b; };
        const bool reduced = t->subfileType & 1;
        const bool page = !reduced && ((t->subfileType & 2) || t->pageNumbered);
        if (reduced || (!page && t->width && t->height && t->width < width && t->height < height &&
                        ratio(width, t->width) == ratio(height, t->height))) {
            objectRelease(nextReader);
            nextReader = nullptr;
            frameInfo.duration = 0;
        }
    }
    return RC_OK;
}

ResultCode TiffReader::readIfd(uint64_t position)
{
    if (position >= bytes.size) return RC_CORRUPT_FILE;
    uint32_t n = bytes.u16(position);
    if (!bytes.inside(position, 2 + 12ull * n + 4)) return RC_CORRUPT_FILE;
    for (uint32_t i = 0; i < n; ++i) {
        ResultCode rc = readTag(position + 2 + 12ull * i);
        if (failed(rc)) return rc;
    }
    nextIfd = bytes.u32(position + 2 + 12ull * n);
    return settleFormat();
}

ResultCode TiffReader::readTag(uint64_t entry)
{
    const TiffBytes& b = bytes;
    uint16_t tag = b.u16(entry);
    uint16_t type = b.u16(entry + 2);
    uint32_t count = b.u32(entry + 4);
    uint64_t field = entry + 8;
    auto shortOrLong = [&](uint32_t* out) {
        if (type == kTypeShort) *out = b.u16(field);
        else if (type == kTypeLong) *out = b.u32(field);
        else return false;
        return true;
    };
    // The values of a tag, inline when they fit in the field.
    auto valuesAt = [&](uint64_t elementSize) -> uint64_t {
        uint64_t total = elementSize * count;
        if (total <= 4) return field;
        uint64_t at = b.u32(field);
        return b.inside(at, total) ? at : UINT64_MAX;
    };
    uint32_t v = 0;

    switch (tag) {
    case 254:
        if (count == 1 && shortOrLong(&v)) subfileType = v;
        break;
    case 256:
    case 257:
        if (count != 1 || !shortOrLong(&v)) return RC_CORRUPT_FILE;
        (tag == 256 ? width : height) = v;
        break;
    case 258: {
        if (type != kTypeShort) return RC_CORRUPT_FILE;
        if (count == 1) {
            v = b.u16(field);
        } else if (count == 3 || count == 4) {
            uint64_t at = valuesAt(2);
            if (at == UINT64_MAX) return RC_CORRUPT_FILE;
            v = b.u16(at);
            uint32_t sum = 0;
            for (uint32_t i = 0; i < count; ++i) sum += b.u16(at + 2 * i);
            if (sum != count * v) return RC_UNSUPPORTED_SUBFORMAT;
        } else {
            return RC_UNSUPPORTED_SUBFORMAT;
        }
        if (v == 0 || v > 64) return RC_UNSUPPORTED_SUBFORMAT;
        bitsPerSample = uint8_t(v);
        break;
    }
    case 259: {
        if (count != 1 || !shortOrLong(&v)) return RC_CORRUPT_FILE;
        const char16_t* name = compressionName(v);
        if (name && !*name) return RC_UNSUPPORTED_SUBFORMAT;
        compression = v;
        if (name) info.set(INFO_COMPRESSION, name);
        break;
    }
    case 262: {
        if (count != 1 || !shortOrLong(&v)) return RC_CORRUPT_FILE;
        static const struct { uint16_t value; ColourModel model; } kModels[] = {
            {0, CM_K}, {1, CM_L}, {2, CM_RGB}, {3, CM_RGB}, {4, CM_L}, {5, CM_CMYK},
            {6, CM_YCBCR}, {8, CM_LAB}, {32844, CM_L}, {32845, CM_RGB}};
        bool known = false;
        for (const auto& m : kModels)
            if (m.value == v) colourModel = m.model, known = true;
        if (!known) return RC_UNSUPPORTED_SUBFORMAT;
        photometric = uint16_t(v);
        photometricSet = true;
        break;
    }
    case 266:
        v = b.u16(field);
        if (v == 1 || v == 2) reversedFill = v == 2;
        break;
    case 269:
    case 270:
    case 271:
    case 272:
    case 306:
    case 315:
    case 33432: {
        if (type != kTypeAscii || count == 0) break;
        uint64_t at = valuesAt(1);
        if (at == UINT64_MAX) break;
        setTextTag(tag, b.data + at, count);
        break;
    }
    case 273:
    case 279:
    case 324:
    case 325: {
        if (type != kTypeShort && type != kTypeLong) return RC_CORRUPT_FILE;
        bool isOffsets = tag == 273 || tag == 324;
        TiffList& list = isOffsets ? offsets : byteCounts;
        // Strips keep their first list; tile lists replace them.
        if (tag < 300 && list.present) break;
        if (tag > 300) strips = false;
        list.present = true;
        list.type = type;
        list.count = count;
        list.field = field;
        break;
    }
    case 274:
        if (type != kTypeShort || count != 1) return RC_CORRUPT_FILE;
        setOrientation(b.u16(field));
        break;
    case 277:
        if (count != 1 || !shortOrLong(&v)) return RC_CORRUPT_FILE;
        if (v == 0 || v > 255) return RC_UNSUPPORTED_SUBFORMAT;
        samplesPerPixel = uint8_t(v);
        samplesSet = true;
        break;
    case 278:
        if (count != 1 || !shortOrLong(&v)) return RC_CORRUPT_FILE;
        rowsPerStrip = v;
        break;
    case 282:
    case 283: {
        if (type != kTypeRational) break;
        uint64_t at = b.u32(field);
        if (!b.inside(at, 8)) break;
        uint32_t num = b.u32(at), den = b.u32(at + 4);
        if (den == 0) break;
        // Kept whole: a value per centimetre is a hundred per metre.
        (tag == 282 ? xResolution : yResolution) = double(num) / den;
        break;
    }
    case 284:
        if (count != 1 || !shortOrLong(&v)) return RC_CORRUPT_FILE;
        if (v != 1 && v != 2) return RC_UNSUPPORTED_SUBFORMAT;
        planar = uint8_t(v);
        break;
    case 292:
    case 293:
        if (shortOrLong(&v)) faxOptions |= v;
        break;
    case 296:
        if (type == kTypeShort) resolutionUnit = b.u16(field);
        break;
    case 297:
        pageNumbered = true;
        break;
    case 317:
        if (shortOrLong(&v)) predictor = uint8_t(std::min<uint32_t>(v, 255));
        break;
    case 320: {
        if (type != kTypeShort) return RC_CORRUPT_FILE;
        uint64_t at = valuesAt(2);
        if (at == UINT64_MAX || count < 3) break;
        colourMap = at;
        paletteCount = count / 3;
        break;
    }
    case 322:
    case 323:
        if (count != 1 || !shortOrLong(&v)) return RC_CORRUPT_FILE;
        (tag == 322 ? tileWidth : tileLength) = v;
        break;
    case 338: {
        if (type != kTypeShort || count == 0) break;
        uint64_t at = valuesAt(2);
        if (at != UINT64_MAX) extraSamples = uint8_t(std::min<uint32_t>(b.u16(at), 255));
        break;
    }
    case 339: {
        if (count == 0) break;
        uint64_t at = valuesAt(type == kTypeLong ? 4 : 2);
        if (at == UINT64_MAX) return RC_CORRUPT_FILE;
        v = type == kTypeLong ? b.u32(at) : b.u16(at);
        if (v < 1 || v > 4) return RC_UNSUPPORTED_SUBFORMAT;
        sampleFormat = uint16_t(v);
        break;
    }
    case 347:
        jpegTables.present = true;
        jpegTables.type = kTypeByte;
        jpegTables.count = count;
        jpegTables.field = field;
        break;
    case 512:
        if (b.u16(field) != 1) return RC_UNSUPPORTED_SUBFORMAT;
        break;
    case 513:
        if (shortOrLong(&v)) jpegIfOffset = v;
        break;
    case 514:
        if (shortOrLong(&v)) jpegIfLength = v;
        break;
    case 530:
        if (count != 2 || type != kTypeShort) return RC_CORRUPT_FILE;
        subsampling = uint8_t((b.u16(field) & 15) | ((b.u16(field + 2) & 15) << 4));
        break;
    default:
        readMetadataTag(tag, type, count, field);
        break;
    }
    return RC_OK;
}

void TiffReader::setTextTag(uint16_t tag, const uint8_t* text, uint32_t length)
{
    imageInfoSetFromTiffTag(info, tag, reinterpret_cast<const char*>(text), length, length);
}

void TiffReader::setOrientation(uint16_t value)
{
    if (const char16_t* name = tiffOrientationName(value)) infoSetBorrowed(info, INFO_ORIENTATION, name, 0, BORROW_UTF16);
    else info.set(INFO_ORIENTATION, nullptr);
}

void TiffReader::readMetadataTag(uint16_t tag, uint16_t type, uint32_t count, uint64_t field)
{
    const TiffBytes& b = bytes;
    if (tag == 700 && tiffIsByteType(type)) {
        uint64_t at = count <= 4 ? field : b.u32(field);
        if (b.inside(at, count)) xmpParse(info, b.data + at, count);
    } else if (tag == 33723 && (type == kTypeLong || tiffIsByteType(type))) {
        uint64_t n = type == kTypeLong ? 4ull * count : count;
        uint64_t at = n <= 4 ? field : b.u32(field);
        if (b.inside(at, n)) iptcParse(info, b.data + at, size_t(n));
    } else if ((tag == 34665 || tag == 34853) && tiffIsOffsetType(type) && count >= 1) {
        uint32_t ifd = b.u32(field);
        if (ifd >= b.size) return;
        if (tag == 34665) exifParseExifIfd(info, b.data, size_t(b.size), ifd, b.bigEndian);
        else exifParseGpsIfd(info, b.data, size_t(b.size), ifd, b.bigEndian);
    }
}

ResultCode TiffReader::settleFormat()
{
    if (width == 0 || height == 0) return RC_CORRUPT_FILE;
    const bool oldJpeg = compression == 6;
    if (oldJpeg) {
        // Without the interchange offset, the stream is spread over strips
        // and table tags: a layout we do not read.
        if (jpegIfOffset == 0) return RC_UNSUPPORTED_SUBFORMAT;
        if (jpegIfOffset >= bytes.size) return RC_CORRUPT_FILE;
        if (jpegIfLength == 0 || jpegIfLength > bytes.size - jpegIfOffset)
            jpegIfLength = uint32_t(bytes.size - jpegIfOffset);
        // Writers of old-style JPEG often left the sample count to the
        // stream, which is whole and says it.
        const uint8_t* stream = bytes.data + jpegIfOffset;
        const uint64_t frame = jpegFrameAt(stream, jpegIfLength);
        if (!samplesSet && frame != UINT64_MAX && frame + 10 <= jpegIfLength &&
            (stream[frame + 9] == 1 || stream[frame + 9] == 3))
            samplesPerPixel = stream[frame + 9];
    } else if (!offsets.present) {
        return RC_CORRUPT_FILE;
    }
    const uint32_t spp = samplesPerPixel, bps = bitsPerSample;
    bitsPerPixel = spp * bps;
    // Without the tag, one sample is BlackIsZero grey, or palette indices
    // when the file carries a colour map.
    if (!photometricSet && spp == 1) colourModel = colourMap ? CM_RGB : CM_L;
    if (strips) {
        if (rowsPerStrip == 0 || rowsPerStrip > height) rowsPerStrip = height;
    } else if (tileWidth == 0 || tileLength == 0) {
        return RC_CORRUPT_FILE;
    }
    // One sample stored "separately" is laid out exactly as chunky data.
    if (spp == 1) planar = 1;

    const bool isFloat = sampleFormat == 3;
    alphaKind = ALPHA_NONE;
    minRowBytes = 0;
    minRows = 0;
    if (isLogLuv(compression)) {
        if (planar != 1) return RC_UNSUPPORTED_SUBFORMAT;
        if (spp == 1 && compression == 34676) {
            pixelFormat = PF_GRAY_FLOAT;
            colourModel = CM_L;
            bitsPerPixel = 16;
        } else if (spp == 3) {
            pixelFormat = PF_RGBA_FLOAT;
            colourModel = CM_RGB;
            bitsPerPixel = 32;
        } else {
            return RC_UNSUPPORTED_SUBFORMAT;
        }
        sampleFormat = 1;
        predictor = 1;
    } else if (spp > 1) {
        if (spp != 3 && spp != 4) return RC_UNSUPPORTED_SUBFORMAT;
        if (bps != 8 && bps != 16 && bps != 24 && bps != 32) return RC_UNSUPPORTED_SUBFORMAT;
        if (isFloat ? bps < 16 : bps > 16) return RC_UNSUPPORTED_SUBFORMAT;
        pixelFormat = isFloat ? PF_RGBA_FLOAT : bps <= 8 ? PF_RGBA8 : PF_RGBA16;
        minRowBytes = width * 4;
    } else {
        if (bps == 1 || bps == 2 || bps == 4) {
            pixelFormat = PF_INDEXED8;
            uint32_t per = 8 / bps;
            minRowBytes = uint32_t((uint64_t(width) + per - 1) / per * per);
        } else if (bps == 8 || bps == 16 || bps == 24 || bps == 32) {
            minRowBytes = width;
            if (colourMap && !isFloat) {
                if (bps > 8) return RC_UNSUPPORTED_SUBFORMAT;
                pixelFormat = PF_INDEXED8;
            } else if (isFloat) {
                if (bps < 16) return RC_UNSUPPORTED_SUBFORMAT;
                pixelFormat = PF_GRAY_FLOAT;
            } else {
                if (bps > 16) return RC_UNSUPPORTED_SUBFORMAT;
                pixelFormat = bps <= 8 ? PF_GRAY8 : PF_GRAY16;
            }
        } else {
            return RC_UNSUPPORTED_SUBFORMAT;
        }
    }

    if (colourModel == CM_YCBCR && bps != 8) return RC_UNSUPPORTED_SUBFORMAT;
    if (compression == 5 && oldStyleLzw()) return RC_UNSUPPORTED_SUBFORMAT;
    if (isFax(compression)) {
        if (spp != 1 || bps != 1) return RC_UNSUPPORTED_SUBFORMAT;
        // Coded black runs are 1 bits; a BlackIsZero file means them as white.
        colourModel = photometric == 1 ? CM_L : CM_K;
    }
    if (oldJpeg || compression == 7) {
        if (spp > 1 && planar != 1) return RC_UNSUPPORTED_SUBFORMAT;
        if (bps != 8) return RC_UNSUPPORTED_SUBFORMAT;
        // Each segment is brought to RGB as it is decoded.
        if (spp == 3) colourModel = CM_RGB;
        // Room for whole MCUs across, so strips decode straight into the image.
        minRowBytes = uint32_t(std::min<uint64_t>((uint64_t(width) + 31) / 32 * 32 * (spp > 1 ? 4 : 1), UINT32_MAX));
    } else if (colourModel == CM_YCBCR && spp == 3) {
        uint32_t h = subsampling & 15, v = subsampling >> 4;
        auto ok = [](uint32_t f) { return f == 1 || f == 2 || f == 4; };
        if (!ok(h) || !ok(v)) return RC_CORRUPT_FILE;
        if (h * v != 1 && planar != 1) return RC_UNSUPPORTED_SUBFORMAT;
    }

    if (const std::string density = tiffDensityText(xResolution, yResolution, resolutionUnit); !density.empty())
        info.set(INFO_DENSITY, asciiToU16(density).c_str());
    if (spp == 4 && colourModel == CM_RGB && !isLogLuv(compression))
        alphaKind = extraSamples == 1 ? ALPHA_PREMULTIPLIED : extraSamples == 2 ? ALPHA_STRAIGHT : ALPHA_NONE;
    return RC_OK;
}

bool TiffReader::oldStyleLzw() const
{
    // libtiff before 5.0 wrote its codes least significant bit first; the
    // opening clear code then reads as the bytes 0 and (odd) 1.
    const uint64_t start = offsets.at(bytes, 0);
    return bytes.inside(start, 2) && bytes.data[start] == 0 && (bytes.data[start + 1] & 1);
}

ResultCode TiffReader::checkDataAmount() const
{
    // Segments whose data could not fill them even at their coding's
    // greatest expansion: a damaged file, refused before an image of the
    // size it claims is made (and cleared) for the little data there.
    // Where the coding has no such bound, data short of a picture too large
    // to make says its size is a lie, not that the picture is too large.
    uint64_t need = 0, have = 0, firstRow = 0;
    if (const uint64_t most = mostExpanded(compression)) {
        segmentBytes(&need, &have, &firstRow);
        if (need / most > have + kExpansionSlack) return RC_CORRUPT_FILE;
    } else if (compression == 1 || compression == 34677) {
        // Stored data that cannot fill even the first row holds no picture.
        segmentBytes(&need, &have, &firstRow);
        if (have < firstRow || (need > have && imageBeyondAllocationCap(this))) return RC_CORRUPT_FILE;
    } else if (isFax(compression)) {
        // Each coded row takes a bit at the least.
        segmentBytes(&need, &have, &firstRow);
        if (height / 8 > have + kExpansionSlack && imageBeyondAllocationCap(this)) return RC_CORRUPT_FILE;
    } else if (compression == 7) {
        jpegSegmentBytes(&need, &have);
        if (need > have + kExpansionSlack) return RC_CORRUPT_FILE;
    }
    return RC_OK;
}

namespace {

// The bits a JPEG stream spends on each 8 x 8 block at the least, from its
// frame marker: sequential Huffman coding a DC difference and an end of
// block (codes of a bit or more), progressive Huffman coding the DC
// difference. Arithmetic coding can describe blank areas in next to
// nothing: 0, no bound. A stream without a frame we decode is as good as
// missing: 1.
uint32_t leastBlockBits(const uint8_t* p, uint64_t length)
{
    const uint64_t at = jpegFrameAt(p, length);
    if (at == UINT64_MAX) return 1;
    const uint8_t marker = p[at + 1];
    if (marker == 0xC0 || marker == 0xC1) return 2;
    if (marker == 0xC9 || marker == 0xCA) return 0;
    return 1;
}

} // namespace

void TiffReader::jpegSegmentBytes(uint64_t* need, uint64_t* have) const
{
    // Each segment is a stream whose own frame must cover the segment: at
    // least its blocks of one full-resolution component.
    *need = *have = 0;
    const uint32_t segW = strips ? width : tileWidth;
    const uint32_t segH = strips ? std::max<uint32_t>(1, rowsPerStrip) : tileLength;
    const uint64_t across = (uint64_t(width) + segW - 1) / segW, down = (uint64_t(height) + segH - 1) / segH;
    auto blocksOf = [&](uint64_t rows) { return (uint64_t(segW) + 7) / 8 * ((rows + 7) / 8); };
    // Every segment's blocks, saturating.
    uint64_t total = 0, part;
    if (!checkedMul(down - 1, blocksOf(segH), &part) || (total = part + blocksOf(height - (down - 1) * segH)) < part ||
        !checkedMul(total, across, &total))
        total = UINT64_MAX;

    const bool listOk = offsets.values(bytes) != UINT64_MAX;
    const bool countsOk = byteCounts.present && byteCounts.values(bytes) != UINT64_MAX;
    const uint64_t listed = listOk ? std::min<uint64_t>(offsets.count, across * down) : 0;
    uint64_t bits = 0, seen = 0, data = 0;
    for (uint64_t s = 0; s < listed; ++s) {
        const uint64_t blocks = blocksOf(std::min<uint64_t>(segH, height - s / across * segH));
        const uint64_t start = offsets.at(bytes, uint32_t(s));
        // Segments read one after another from where the last ended: where
        // they lie is not known here.
        if (start >= bytes.size && offsets.type == kTypeLong) return;
        uint32_t rate = 1;
        if (start < bytes.size) {
            const uint64_t counted = countsOk && s < byteCounts.count ? byteCounts.at(bytes, uint32_t(s)) : UINT64_MAX;
            const uint64_t length = std::min<uint64_t>(counted, bytes.size - start);
            rate = leastBlockBits(bytes.data + start, length);
            if (rate) data += length;
        }
        bits += blocks * rate;
        seen += blocks;
    }
    // Segments the file does not list are missing: nothing codes them.
    const uint64_t unlisted = total == UINT64_MAX ? UINT64_MAX : total - seen;
    bits = bits > UINT64_MAX - unlisted ? UINT64_MAX : bits + unlisted;
    *need = bits / 8;
    *have = data;
}

void TiffReader::segmentBytes(uint64_t* need, uint64_t* have, uint64_t* firstRow) const
{
    // The segments as the decoder walks them (tiff_decode.cpp): their
    // stored rows and the data each is given.
    const uint32_t spp = samplesPerPixel, bps = bitsPerSample;
    const uint32_t segW = strips ? width : tileWidth;
    const uint32_t segH = strips ? std::max<uint32_t>(1, rowsPerStrip) : tileLength;
    const uint64_t across = (uint64_t(width) + segW - 1) / segW, down = (uint64_t(height) + segH - 1) / segH;
    const uint32_t planes = planar == 2 ? spp : 1;
    const uint64_t storedSamples = planar == 2 ? 1 : spp;
    uint64_t rowBytes = (uint64_t(segW) * storedSamples * bps + 7) / 8;
    uint32_t blockV = 1;
    if (compression == 34676) {
        rowBytes = uint64_t(segW) * (spp == 1 ? 2 : 4);
    } else if (compression == 34677) {
        rowBytes = uint64_t(segW) * 3;
    } else if (colourModel == CM_YCBCR && spp == 3 && planar == 1 && (subsampling & 15) * (subsampling >> 4) != 1) {
        const uint32_t h = subsampling & 15;
        blockV = subsampling >> 4;
        rowBytes = (uint64_t(segW) + h - 1) / h * (h * blockV + 2);
    }
    auto needOf = [&](uint64_t rows) { return (rows + blockV - 1) / blockV * rowBytes; };
    const uint64_t lastRows = height - (down - 1) * segH;
    // Every segment's stored bytes, saturating: the picture's claim.
    uint64_t total = 0, part;
    if (!checkedMul(down - 1, needOf(segH), &part) || (total = part + needOf(lastRows)) < part ||
        !checkedMul(total, across * planes, &total))
        total = UINT64_MAX;

    // An empty Deflate segment is a sparse one: blank by design.
    const bool sparseEmpty = compression == 8 || compression == 32946;
    const bool listOk = offsets.values(bytes) != UINT64_MAX;
    const bool countsOk = byteCounts.present && byteCounts.values(bytes) != UINT64_MAX;
    const uint64_t listed = listOk ? std::min<uint64_t>(offsets.count, across * down * planes) : 0;
    bool consecutive = false;
    uint64_t data = 0, sparse = 0;
    for (uint64_t s = 0; s < listed; ++s) {
        const uint64_t y0 = (s % (across * down)) / across * segH;
        const uint64_t start = offsets.at(bytes, uint32_t(s));
        if (start >= bytes.size && offsets.type == kTypeLong) consecutive = true;
        const uint64_t counted = countsOk && s < byteCounts.count ? byteCounts.at(bytes, uint32_t(s)) : UINT64_MAX;
        uint64_t length = 0;
        // Read from wherever the segment before ended: at most the file
        // after its header, and possibly nothing.
        if (consecutive) length = std::min<uint64_t>(counted, bytes.size - 8);
        else if (start < bytes.size) length = std::min<uint64_t>(counted, bytes.size - start);
        else continue;
        if (sparseEmpty && (consecutive || length == 0)) sparse += needOf(std::min<uint64_t>(segH, height - y0));
        else data += length;
    }
    *need = total == UINT64_MAX ? total : total - sparse;
    *have = data;
    *firstRow = rowBytes;
}

} // namespace tiff_internal

ResultCode tiffProbe(MappedFile* file)
{
    if (!file || !file->data()) return RC_UNKNOWN_FORMAT;
    return checkHeader(file->data(), file->size(), nullptr, nullptr);
}

ImageReader* tiffReaderCreate(MappedFile* file, const FormatDescriptor* descriptor)
{
    return new (std::nothrow) TiffReader(file, descriptor);
}

} // namespace quillon
