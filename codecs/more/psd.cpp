// Photoshop documents: a big-endian header, then four sections each led by
// its length (colour-mode data, image resources, layers and masks), then
// the merged image as one plane per channel, raw or PackBits-coded. Only
// the merged image is read; a large-document file ("version 2") has 8-byte
// layer lengths and 4-byte row counts. The writer makes flat version-1
// documents with raw planes. Both keep the density in the ResolutionInfo
// resource, where Photoshop and other readers look for it.
#include "codecs/more/psd.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <new>
#include <string>

#include "codecs/main/iptc.h"
#include "codecs/main/xmp.h"
#include "core/bitpack.h"
#include "core/byte_cursor.h"
#include "core/image_reader.h"
#include "core/image_writer.h"
#include "core/text.h"
#include "platform/memory.h"

namespace quillon {

const char16_t* const kPsdSubFormats[] = {u"Normal", u""};
const ColourFormatFlags kPsdSubFormatCaps[] = {CF_256_COLOURS | CF_GRAY8 | CF_GRAY16 | CF_GRAY_FLOAT | CF_RGB24 |
                                               CF_RGB48 | CF_RGB_FLOAT};

namespace {

constexpr uint64_t kMinimumFile = 30;  // the fixed header and the first section length
constexpr uint32_t kFixedHeader = 26;

enum PsdMode : uint32_t {
    MODE_BITMAP = 0,
    MODE_GREY = 1,
    MODE_INDEXED = 2,
    MODE_RGB = 3,
    MODE_CMYK = 4,
    MODE_MULTICHANNEL = 7,
    MODE_DUOTONE = 8,
    MODE_LAB = 9,
};

inline void storeU16be(uint8_t* p, uint32_t v) { p[0] = uint8_t(v >> 8), p[1] = uint8_t(v); }
inline void storeU32be(uint8_t* p, uint32_t v)
{
    p[0] = uint8_t(v >> 24), p[1] = uint8_t(v >> 16), p[2] = uint8_t(v >> 8), p[3] = uint8_t(v);
}

// The check probe and reader share: version 1 or 2 (0 when not a PSD file).
uint32_t psdVersion(const uint8_t* data, uint64_t size)
{
    if (size < kMinimumFile || std::memcmp(data, "8BPS", 4) != 0) return 0;
    uint32_t v = loadU16be(data + 4);
    return v == 1 || v == 2 ? v : 0;
}

// One row of big-endian samples of `bytes` bytes (1, 2 or 4) into position
// `pos` of pixels `comps` elements wide; integer samples are xor-ed with
// `flip`, a value at the pixels' depth. With `narrow`, 16-bit samples go
// to 8-bit pixels, each to its nearest 8-bit value.
void storeRow(uint8_t* dst, const uint8_t* src, uint32_t w, uint32_t bytes, uint32_t comps, uint32_t pos,
              uint16_t flip, bool narrow)
{
    if (bytes == 1) {
        for (uint32_t x = 0; x < w; ++x) dst[size_t(x) * comps + pos] = uint8_t(src[x] ^ flip);
    } else if (bytes == 2 && narrow) {
        for (uint32_t x = 0; x < w; ++x)
            dst[size_t(x) * comps + pos] = uint8_t(((loadU16be(src + 2 * size_t(x)) * 255u + 32767u) / 65535u) ^ flip);
    } else if (bytes == 2) {
        uint16_t* d = reinterpret_cast<uint16_t*>(dst);
        for (uint32_t x = 0; x < w; ++x) d[size_t(x) * comps + pos] = uint16_t(loadU16be(src + 2 * size_t(x)) ^ flip);
    } else {
        float* d = reinterpret_cast<float*>(dst);
        for (uint32_t x = 0; x < w; ++x) {
            uint32_t bits = loadU32be(src + 4 * size_t(x));
            std::memcpy(&d[size_t(x) * comps + pos], &bits, 4);
        }
    }
}

// Float samples are linear light, as the blend was made in, with white and
// whole alpha at 1: the colour comes back unrounded. Alpha outside (0, 1),
// or not a number, keeps what is stored, as does a sample that is not
// finite. The colour is kept from going below zero, and a tiny alpha from
// making it infinite; colours above white stay, as floats may hold them.
void unmatteFloatRow(uint8_t* row, const uint8_t* alpha, uint32_t n)
{
    for (uint32_t x = 0; x < n; ++x) {
        float a, s;
        const uint32_t alphaBits = loadU32be(alpha + 4 * size_t(x)), bits = loadU32be(row + 4 * size_t(x));
        std::memcpy(&a, &alphaBits, 4);
        std::memcpy(&s, &bits, 4);
        if (!(a > 0 && a < 1) || !std::isfinite(s)) continue;
        const float c = float(std::clamp(1.0 + (double(s) - 1.0) / a, 0.0, double(FLT_MAX)));
        uint32_t out;
        std::memcpy(&out, &c, 4);
        storeU32be(row + 4 * size_t(x), out);
    }
}

// Takes white back out of the first `n` big-endian samples (of `bytes`
// bytes) of a row that was blended with it by the alpha row beside it: the
// colour c that white + (c - white) * alpha makes the stored sample, to the
// nearest and kept in range. Fully transparent samples keep what is stored,
// which is all they hold.
void unmatteRow(uint8_t* row, const uint8_t* alpha, uint32_t n, uint32_t bytes, uint32_t white)
{
    if (bytes == 4) return unmatteFloatRow(row, alpha, n);
    const int64_t full = bytes == 1 ? 0xFF : 0xFFFF;
    for (uint32_t x = 0; x < n; ++x) {
        const int64_t a = bytes == 1 ? alpha[x] : loadU16be(alpha + 2 * size_t(x));
        if (a == 0 || a == full) continue;
        const int64_t s = bytes == 1 ? row[x] : loadU16be(row + 2 * size_t(x));
        // round((s - white) * full / a), halves up, in whole numbers.
        const int64_t num = 2 * (s - white) * full + a, den = 2 * a;
        const int64_t c = std::clamp<int64_t>(white + (num >= 0 ? num / den : -((den - 1 - num) / den)), 0, full);
        if (bytes == 1) row[x] = uint8_t(c);
        else storeU16be(row + 2 * size_t(x), uint32_t(c));
    }
}

// ResolutionInfo (resource 1005): horizontal and vertical pixels per inch
// as 16.16 fixed point, each followed by the unit Photoshop shows it in
// (1 inch, 2 centimetre) and a unit of width or height.
constexpr size_t kResolutionInfoBytes = 16;
constexpr uint32_t kUnitInch = 1, kUnitCentimetre = 2;
constexpr double kInchesPerMetre = 39.37008;

// The document's density from its ResolutionInfo, in the unit it is shown
// in; nothing for a missing, short or non-positive one.
void readResolution(ImageInfoBag& info, const uint8_t* resources, size_t size)
{
    const uint8_t* r;
    size_t n;
    if (!psResourceFind(resources, size, PS_RESOURCE_RESOLUTION, r, n) || n < kResolutionInfoBytes) return;
    const bool perCentimetre = loadU16be(r + 4) == kUnitCentimetre;
    const double scale = perCentimetre ? kInchesPerMetre : 1.0;
    const double x = std::floor(int32_t(loadU32be(r)) / 65536.0 * scale + 0.5);
    const double y = std::floor(int32_t(loadU32be(r + 8)) / 65536.0 * scale + 0.5);
    if (!(x >= 1 && y >= 1)) return;
    const std::string text = std::to_string(uint32_t(x)) + " x " + std::to_string(uint32_t(y)) +
                             (perCentimetre ? " ppm" : " ppi");
    info.set(INFO_DENSITY, asciiToU16(text).c_str());
}

// The ResolutionInfo of a density, in whole pixels per inch as the XMP
// packet beside it gives it: readers that take the resolution from one and
// the unit from the other then still agree. False when there is none.
bool resolutionInfo(const ImageInfo* info, uint8_t out[kResolutionInfoBytes])
{
    uint32_t ppi[2];
    if (!info || !parseResolution(ppi, info->get(INFO_DENSITY), true) || !ppi[0] || !ppi[1]) return false;
    for (int k = 0; k < 2; ++k) {
        storeU32be(out + 8 * k, std::min<uint32_t>(ppi[k], INT16_MAX) << 16);
        storeU16be(out + 8 * k + 4, kUnitInch);
        storeU16be(out + 8 * k + 6, kUnitInch);
    }
    return true;
}

// VersionInfo (resource 1057): a version, a byte saying whether the merged
// image is real, the writer's and the reader's names (each a count of UTF-16
// units, then the units) and the file's version. A document saved without
// its merged image holds a placeholder picture there instead: a white page
// or a note saying so. A resource too short for its fields is not trusted.
constexpr uint16_t kVersionInfo = 1057;

bool mergedImageIsPlaceholder(const uint8_t* resources, size_t size)
{
    const uint8_t* r;
    size_t n;
    if (!psResourceFind(resources, size, kVersionInfo, r, n)) return false;
    ByteCursor c(r, n);
    c.skip(4);
    const bool real = c.u8() != 0;
    for (int name = 0; name < 2; ++name) c.skip(size_t(c.u32be()) * 2);
    c.skip(4);
    return !c.overrun() && !real;
}

class PsdReader final : public ImageReader {
public:
    PsdReader(MappedFile* f, const FormatDescriptor* d) : ImageReader(f, d) {}

protected:
    ResultCode readHeader(const void* options) override;
    ResultCode readPixels(Image* image, bool reduced, Progress* progress, AbortFlag* abort) override;

private:
    ResultCode chooseLayout(uint32_t channels);
    void keepMergedAlpha(uint32_t channels);
    void clearRows(Image* image) const;
    void fillPalette(uint32_t* pal) const;
    struct Plane {
        const uint8_t* src = nullptr;
        uint64_t have = 0;  // bytes of it the file holds
    };
    Plane nextPlane(uint64_t& at, uint8_t* buffer) const;
    void storeChannel(Image* image, uint32_t ch, uint32_t y, const uint8_t* row, const Plane& alpha,
                      uint8_t* scratch) const;

    const uint8_t* palette_ = nullptr;
    uint32_t paletteCount_ = 0;
    uint64_t dataStart_ = 0;  // the first plane (after the row counts for RLE)
    uint32_t mode_ = 0;
    uint32_t bytes_ = 1;      // per sample in the file
    // 16-bit Lab, which the decode driver converts from 8-bit pixels only.
    bool narrow_ = false;
    uint32_t comps_ = 1;      // elements per image pixel
    uint32_t readChannels_ = 1;
    static constexpr uint32_t kMostRead = 5;  // CMYK and the merged transparency
    uint32_t position_[kMostRead] = {};  // element of each channel read
    uint16_t flip_[kMostRead] = {};      // what each channel's samples are xor-ed with
    // Grey kept with its transparency goes to all three colours.
    bool greyAsColour_ = false;
    // CMYK or Lab kept with its transparency: brought to RGB here, once the
    // colours are in, before the alpha is laid where that model has its
    // fourth component or nothing.
    ColourModel convertHere_ = CM_RGB;
    // The merged image of a document with transparency is stored blended
    // with white: taken back out of each colour channel, whose white in
    // stored terms is `white_` (for floats, 1), before anything else is done
    // to it.
    bool matted_ = false;
    uint16_t white_[kMostRead] = {};
    bool rle_ = false;
};

// Pixel formats for samples of 1, 2 and 4 bytes.
constexpr PixelFormat kGrey[] = {PF_GRAY8, PF_GRAY16, PF_GRAY_FLOAT};
constexpr PixelFormat kColour[] = {PF_RGBA8, PF_RGBA16, PF_RGBA_FLOAT};
constexpr uint32_t depthIndexOf(uint32_t bytes) { return bytes == 1 ? 0 : bytes == 2 ? 1 : 2; }

ResultCode PsdReader::chooseLayout(uint32_t channels)
{
    const uint32_t depthIndex = depthIndexOf(bytes_);
    switch (mode_) {
    case MODE_GREY:
    case MODE_DUOTONE:
        colourModel = CM_L;
        pixelFormat = kGrey[depthIndex];
        readChannels_ = 1;
        break;
    case MODE_INDEXED:
        if (bytes_ != 1) return RC_UNSUPPORTED_SUBFORMAT;
        colourModel = CM_RGB;
        pixelFormat = PF_INDEXED8;
        alphaKind = ALPHA_STRAIGHT;
        readChannels_ = 1;
        break;
    case MODE_RGB:
        if (channels < 3) return RC_UNSUPPORTED_SUBFORMAT;
        colourModel = CM_RGB;
        pixelFormat = kColour[depthIndex];
        alphaKind = channels > 3 ? ALPHA_STRAIGHT : ALPHA_NONE;
        readChannels_ = 3;
        position_[0] = 2, position_[1] = 1, position_[2] = 0;  // stored blue, green, red
        comps_ = 4;
        break;
    case MODE_CMYK:
        // Float ink is a form nobody writes.
        if (bytes_ == 4 || channels < 4) return RC_UNSUPPORTED_SUBFORMAT;
        colourModel = CM_CMYK;
        pixelFormat = kColour[depthIndex];
        readChannels_ = 4;
        position_[0] = 0, position_[1] = 1, position_[2] = 2, position_[3] = 3;
        comps_ = 4;
        // The file stores the most a sample holds less the ink.
        std::fill(flip_, flip_ + 4, uint16_t(bytes_ == 1 ? 0xFF : 0xFFFF));
        break;
    case MODE_LAB:
        if (bytes_ == 4 || channels < 3) return RC_UNSUPPORTED_SUBFORMAT;
        colourModel = CM_LAB;
        pixelFormat = PF_RGBA8;
        narrow_ = bytes_ == 2;
        readChannels_ = 3;
        position_[0] = 0, position_[1] = 1, position_[2] = 2;
        // a and b are stored offset by half their range, and read as
        // signed bytes (a 16-bit sample once brought to 8 bits).
        flip_[1] = flip_[2] = 0x80;
        comps_ = 4;
        break;
    default: return RC_UNSUPPORTED_SUBFORMAT;
    }
    return RC_OK;
}

// The channel after the colours is the merged image's transparency. No grey
// format has room for it, nor the four bytes that hold CMYK or Lab for the
// decode driver, which leaves what it converts opaque: such documents are
// read as colour with alpha, converted as the driver converts their model.
void PsdReader::keepMergedAlpha(uint32_t channels)
{
    const uint32_t alpha = readChannels_;
    if (channels <= alpha || alpha >= kMostRead) return;
    // The document stays what it is, whatever its pixels become: it shows
    // the colour model an opaque one of its mode shows.
    info.set(INFO_COLOUR_MODEL, colourModelName(colourModel));
    switch (mode_) {
    case MODE_GREY:
    case MODE_DUOTONE:
        pixelFormat = kColour[depthIndexOf(bytes_)];
        colourModel = CM_RGB;
        comps_ = 4;
        greyAsColour_ = true;
        break;
    case MODE_CMYK:
    case MODE_LAB:
        convertHere_ = colourModel;
        colourModel = CM_RGB;
        break;
    case MODE_RGB: break;
    default: return;
    }
    alphaKind = ALPHA_STRAIGHT;
    position_[alpha] = 3;
    flip_[alpha] = 0;
    readChannels_ = alpha + 1;
    matted_ = true;
    // Full scale is white, or no ink, in every channel but Lab's a and b,
    // where it is their middle. Float documents (grey and RGB only) have
    // their own white.
    const uint16_t full = bytes_ == 1 ? 0xFF : 0xFFFF;
    std::fill(white_, white_ + alpha, full);
    if (mode_ == MODE_LAB) white_[1] = white_[2] = uint16_t(full / 2 + 1);
}

constexpr bool isKey(const uint8_t* p, const char* key) { return std::memcmp(p, key, 4) == 0; }

// The layer count of the layer and mask section: that of its layer info,
// or, where that holds no layers, that of an "Lr16" or "Lr32" block among
// the section's tagged blocks, where 16- and 32-bit documents may keep
// their layers. 0 when there is none.
int32_t layerCount(const uint8_t* section, uint64_t length, uint32_t version)
{
    ByteCursor c(section, size_t(length));
    const uint64_t infoLength = version == 2 ? c.u64be() : c.u32be();
    if (c.overrun()) return 0;
    if (infoLength >= 2) {
        const uint8_t* p = c.peek(2);
        if (!p) return 0;
        if (const int16_t count = int16_t(loadU16be(p))) return count;
    }
    if (!c.skip(size_t(std::min<uint64_t>(infoLength, SIZE_MAX)))) return 0;
    const uint32_t maskLength = c.u32be();
    if (!c.skip(maskLength)) return 0;
    // Each block: a signature, a key, a length (8 bytes in a large
    // document for the keys that hold layers, masks or filters) and data
    // padded to an even size. Every block moves on by 12 bytes at least.
    while (c.remaining() >= 12) {
        const uint8_t* head = c.take(8);
        if (!isKey(head, "8BIM") && !isKey(head, "8B64")) return 0;
        const uint8_t* key = head + 4;
        const bool layers = isKey(key, "Lr16") || isKey(key, "Lr32");
        const bool wide = version == 2 && (layers || isKey(key, "Layr") || isKey(key, "LMsk") ||
                                           isKey(key, "Mt16") || isKey(key, "Mt32") || isKey(key, "Mtrn") ||
                                           isKey(key, "Alph") || isKey(key, "FMsk") || isKey(key, "lnk2") ||
                                           isKey(key, "FEid") || isKey(key, "FXid") || isKey(key, "PxSD"));
        const uint64_t blockLength = wide ? c.u64be() : c.u32be();
        if (c.overrun()) return 0;
        if (layers) {
            const uint8_t* p = blockLength >= 2 ? c.peek(2) : nullptr;
            return p ? int16_t(loadU16be(p)) : 0;
        }
        if (blockLength > c.remaining() || !c.skip(size_t(blockLength + (blockLength & 1)))) return 0;
    }
    return 0;
}

// PackBits' greatest expansion, and the bytes of runs allowed for beyond it
// before data counts as too short; a bound this loose never refuses a whole
// file.
constexpr uint64_t kMostUnpacked = 64;
constexpr uint64_t kUnpackSlack = 64;

ResultCode PsdReader::readHeader(const void*)
{
    const uint8_t* data = input->data();
    const uint64_t size = input->size();
    const uint32_t version = psdVersion(data, size);
    if (!version) return RC_UNKNOWN_FORMAT;
    ByteCursor c(data, size_t(size));
    c.seek(12);
    const uint32_t channels = c.u16be();
    height = c.u32be();
    width = c.u32be();
    const uint32_t depth = c.u16be();
    mode_ = c.u16be();
    if (!channels || !width || !height) return RC_CORRUPT_FILE;
    if ((depth != 8 && depth != 16 && depth != 32) || mode_ > MODE_LAB) return RC_UNSUPPORTED_SUBFORMAT;
    bytes_ = depth / 8;
    if (ResultCode rc = chooseLayout(channels); failed(rc)) return rc;
    bitsPerPixel = depth * channels;

    const uint32_t modeDataLength = c.u32be();
    const uint8_t* modeData = c.take(modeDataLength);
    if (!modeData) return RC_CORRUPT_FILE;
    if (mode_ == MODE_INDEXED && modeDataLength) {
        palette_ = modeData;
        paletteCount_ = modeDataLength / 3;
    }
    const uint32_t resourcesLength = c.u32be();
    const uint8_t* resources = c.take(resourcesLength);
    if (!resources) return RC_CORRUPT_FILE;
    const uint64_t layersLength = version == 2 ? c.u64be() : c.u32be();
    if (c.overrun() || layersLength > c.remaining()) return RC_CORRUPT_FILE;
    // A negative layer count says the first channel after the colours holds
    // the merged image's transparency. Without it, further channels are
    // saved selections, which a flat picture does not show.
    if (layerCount(data + c.pos(), layersLength, version) < 0) keepMergedAlpha(channels);
    c.skip(size_t(layersLength));
    const uint32_t compression = c.u16be();
    if (c.overrun()) return RC_CORRUPT_FILE;
    if (compression > 1) return RC_UNSUPPORTED_SUBFORMAT;
    rle_ = compression == 1;
    // Our PackBits runs give bytes, and nobody writes 32-bit samples so.
    if (rle_ && bytes_ == 4) return RC_UNSUPPORTED_SUBFORMAT;
    if (rle_) info.set(INFO_COMPRESSION, u"RLE");
    if (mergedImageIsPlaceholder(resources, resourcesLength)) return RC_UNSUPPORTED_SUBFORMAT;
    // Photoshop's own record of the density comes first: the XMP copy of it
    // only fills an empty field.
    readResolution(info, resources, resourcesLength);
    psResourcesParse(info, resources, resourcesLength);

    // Planes this large no file holds, however coded: measured as if they
    // were only that large, the data says whether the size is a lie.
    uint64_t plane;
    const bool beyondAnyFile = !checkedMul(uint64_t(width) * bytes_, height, &plane) || plane > (uint64_t(1) << 48);
    if (beyondAnyFile) plane = uint64_t(1) << 48;
    dataStart_ = c.pos();
    if (rle_) {
        // One row count per row and channel, which the stream does not need.
        const uint64_t counts = uint64_t(channels) * height * (version == 2 ? 4 : 2);
        if (counts > c.remaining()) return RC_CORRUPT_FILE;
        dataStart_ += counts;
        // PackBits makes at most 128 bytes of two: runs too short to fill
        // even a small part of the planes read are a damaged file, refused
        // before an image of the size it claims is made (and cleared).
        // Without the allowance, for a picture too large to make, the size
        // is a lie rather than a picture too large for memory.
        const uint64_t leastCoded = plane * readChannels_ / kMostUnpacked;
        if (leastCoded > c.remaining() - counts + kUnpackSlack) return RC_CORRUPT_FILE;
        if (leastCoded > c.remaining() - counts && imageBeyondAllocationCap(this)) return RC_CORRUPT_FILE;
    } else if (c.remaining() < uint64_t(width) * bytes_) {
        // Raw planes that cannot fill even the first row hold no picture:
        // refused likewise.
        return RC_CORRUPT_FILE;
    } else if (plane * readChannels_ > c.remaining() && imageBeyondAllocationCap(this)) {
        // Raw planes the file cannot hold, of a picture too large to make:
        // the size is a lie, not a picture too large for memory.
        return RC_CORRUPT_FILE;
    }
    if (beyondAnyFile) return RC_OUT_OF_MEMORY;
    return RC_OK;
}

void PsdReader::fillPalette(uint32_t* pal) const
{
    std::fill(pal, pal + 256, 0xFF000000u);
    // The three planes are as long as the data holds entries: a short
    // table is read within its own bytes.
    const uint32_t n = std::min<uint32_t>(paletteCount_, 256);
    for (uint32_t i = 0; i < n; ++i)
        pal[i] = 0xFF000000u | uint32_t(palette_[i]) << 16 | uint32_t(palette_[paletteCount_ + i]) << 8 |
                 palette_[2 * paletteCount_ + i];
}

// Channels the file does not supply: colour zero, alpha opaque.
void PsdReader::clearRows(Image* image) const
{
    const uint32_t sampleBytes = narrow_ ? 1 : bytes_;
    const uint64_t rowBytes = uint64_t(width) * sampleBytes * comps_;
    for (uint32_t y = 0; y < height; ++y) {
        uint8_t* row = image->rowBytesPtr(y);
        std::memset(row, 0, size_t(rowBytes));
        // Zero ink throughout is white; a fourth byte of 255 would be black.
        if (comps_ != 4 || mode_ == MODE_CMYK) continue;
        for (uint32_t x = 0; x < width; ++x) {
            if (sampleBytes == 1) row[4 * size_t(x) + 3] = 255;
            else if (sampleBytes == 2) reinterpret_cast<uint16_t*>(row)[4 * size_t(x) + 3] = 65535;
            else reinterpret_cast<float*>(row)[4 * size_t(x) + 3] = 1.0f;
        }
    }
}

// The plane at `at`, moving `at` past it: raw planes where they lie, runs
// decoded into `buffer`. Each channel is its own stream: a run may go on
// into the next row but never into the next channel.
PsdReader::Plane PsdReader::nextPlane(uint64_t& at, uint8_t* buffer) const
{
    const uint8_t* data = input->data();
    const uint64_t size = input->size();
    const uint64_t planeBytes = uint64_t(width) * bytes_ * height;
    const uint64_t left = at < size ? size - at : 0;
    if (rle_) {
        PackBitsResult r = packBitsDecode(buffer, size_t(planeBytes), data + (size - left), size_t(left));
        at += r.consumed;
        return {buffer, r.written};
    }
    const uint64_t have = std::min(left, planeBytes);
    at = have == planeBytes ? at + planeBytes : size;
    return {data + (size - left), have};
}

void PsdReader::storeChannel(Image* image, uint32_t ch, uint32_t y, const uint8_t* row, const Plane& alpha,
                             uint8_t* scratch) const
{
    // Only samples whose alpha the file holds were blended; those past it
    // show opaque (or, in a cut row, transparent), as stored.
    const uint64_t rowBytes = uint64_t(width) * bytes_, start = uint64_t(y) * rowBytes;
    if (matted_ && ch + 1 < readChannels_ && alpha.have > start) {
        const uint32_t n = uint32_t(std::min<uint64_t>(width, (alpha.have - start) / bytes_));
        std::memcpy(scratch, row, size_t(rowBytes));
        unmatteRow(scratch, alpha.src + start, n, bytes_, white_[ch]);
        row = scratch;
    }
    uint8_t* dst = image->rowBytesPtr(y);
    storeRow(dst, row, width, bytes_, comps_, position_[ch], flip_[ch], narrow_);
    if (greyAsColour_ && ch == 0) {
        storeRow(dst, row, width, bytes_, comps_, 1, 0, false);
        storeRow(dst, row, width, bytes_, comps_, 2, 0, false);
    }
}

ResultCode PsdReader::readPixels(Image* image, bool, Progress* progress, AbortFlag* abort)
{
    if (pixelFormat == PF_INDEXED8) {
        uint32_t* pal = image->palette();
        if (!pal) return RC_INVALID_PARAMETER;
        fillPalette(pal);
    }
    clearRows(image);
    const uint64_t rowBytes = uint64_t(width) * bytes_;
    const uint64_t planeBytes = rowBytes * height;
    AlignedBuffer<uint8_t> plane, partial, alphaPlane, scratch;
    if (rle_ && !plane.allocate(planeBytes)) return RC_OUT_OF_MEMORY;
    if (!partial.allocate(rowBytes)) return RC_OUT_OF_MEMORY;

    // The colours of a blended image need its alpha as they are read:
    // found first, past the colour planes.
    const uint32_t alphaChannel = readChannels_ - 1;
    Plane alpha;
    if (matted_) {
        if (!scratch.allocate(rowBytes) || (rle_ && !alphaPlane.allocate(planeBytes))) return RC_OUT_OF_MEMORY;
        uint64_t at = dataStart_;
        for (uint32_t ch = 0; ch < alphaChannel; ++ch) nextPlane(at, plane.get());
        alpha = nextPlane(at, alphaPlane.get());
    }

    uint64_t at = dataStart_;
    bool damaged = false;
    const uint32_t steps = readChannels_ * height;
    for (uint32_t ch = 0; ch < readChannels_; ++ch) {
        if (aborted(abort)) return RC_OK;
        if (ch == alphaChannel && convertHere_ != CM_RGB) {
            if (ResultCode rc = convertColourModel(image, convertHere_); failed(rc)) return rc;
        }
        const Plane p = matted_ && ch == alphaChannel ? alpha : nextPlane(at, plane.get());
        if (p.have < planeBytes) damaged = true;
        for (uint32_t y = 0; y < height; ++y) {
            const uint64_t start = uint64_t(y) * rowBytes;
            if (start >= p.have) break;
            const uint8_t* row = p.src + start;
            if (start + rowBytes > p.have) {
                std::memset(partial.get(), 0, size_t(rowBytes));
                std::memcpy(partial.get(), row, size_t(p.have - start));
                row = partial.get();
            }
            storeChannel(image, ch, y, row, alpha, scratch.get());
            if (aborted(abort)) return RC_OK;
            if ((y & 63) == 63) reportProgress(progress, ch * height + y + 1, steps);
        }
    }
    return damaged ? RC_CORRUPT_FILE : RC_OK;
}

// ---- writer ----

class PsdWriter final : public ImageWriter {
public:
    using ImageWriter::ImageWriter;

protected:
    ResultCode encode(Image* image, const char16_t* subFormatName, uint32_t colourFlag, uint32_t bitsPerPixel,
                      int32_t parameter, bool allFrames, void* extra) override;

private:
    ResultCode writeResource(uint16_t id, const uint8_t* data, uint32_t length, const ImageInfo* xmpOf);
    ResultCode writePlanes(const Image* image, uint32_t channels, uint32_t bytes);
};

constexpr uint64_t resourceBytes(uint64_t length) { return length ? 12 + length + (length & 1) : 0; }

// One "8BIM" record with an empty name; the XMP packet goes straight from
// its builder to the file.
ResultCode PsdWriter::writeResource(uint16_t id, const uint8_t* data, uint32_t length, const ImageInfo* xmpOf)
{
    static const uint8_t kZero[2] = {0, 0};
    if (failed(output.write("8BIM", 4)) || failed(output.writeU16be(id)) || failed(output.write(kZero, 2)) ||
        failed(output.writeU32be(length)))
        return RC_WRITE_FAILED;
    const uint64_t before = output.tell();
    if (xmpOf) {
        if (failed(xmpWriteToFile(output, xmpOf)) || output.tell() - before != length) return RC_WRITE_FAILED;
    } else if (failed(output.write(data, length))) {
        return RC_WRITE_FAILED;
    }
    if ((length & 1) && failed(output.write(kZero, 1))) return RC_WRITE_FAILED;
    return RC_OK;
}

ResultCode PsdWriter::writePlanes(const Image* image, uint32_t channels, uint32_t bytes)
{
    const uint32_t w = image->width;
    AlignedBuffer<uint8_t> row(uint64_t(w) * bytes + 16);
    if (!row) return RC_OUT_OF_MEMORY;
    // Colour planes in the order red, green, blue: stored at 2, 1, 0.
    const uint32_t comps = channels == 3 ? 4 : 1;
    for (uint32_t ch = 0; ch < channels; ++ch) {
        const uint32_t pos = channels == 3 ? 2 - ch : 0;
        for (uint32_t y = 0; y < image->height; ++y) {
            const uint8_t* src = image->rowBytesPtr(y);
            uint8_t* out = row.get();
            for (uint32_t x = 0; x < w; ++x) {
                const size_t i = size_t(x) * comps + pos;
                if (bytes == 1) {
                    out[x] = src[i];
                } else if (bytes == 2) {
                    storeU16be(out + 2 * size_t(x), reinterpret_cast<const uint16_t*>(src)[i]);
                } else {
                    uint32_t bits;
                    std::memcpy(&bits, reinterpret_cast<const float*>(src) + i, 4);
                    storeU32be(out + 4 * size_t(x), bits);
                }
            }
            if (failed(output.write(out, size_t(w) * bytes))) return RC_WRITE_FAILED;
        }
    }
    return RC_OK;
}

ResultCode PsdWriter::encode(Image* image, const char16_t*, uint32_t colourFlag, uint32_t, int32_t, bool, void*)
{
    uint32_t channels = 1, bytes = 1, mode = MODE_GREY;
    bool viewOk;
    switch (colourFlag) {
    case CF_256_COLOURS: mode = MODE_INDEXED, viewOk = image->indexedView() && image->palette(); break;
    case CF_GRAY8: viewOk = image->gray8View(); break;
    case CF_GRAY16: bytes = 2, viewOk = image->gray16View(); break;
    case CF_GRAY_FLOAT: bytes = 4, viewOk = image->grayFloatView(); break;
    case CF_RGB24: channels = 3, mode = MODE_RGB, viewOk = image->rgba8View(); break;
    case CF_RGB48: channels = 3, bytes = 2, mode = MODE_RGB, viewOk = image->rgba16View(); break;
    case CF_RGB_FLOAT: channels = 3, bytes = 4, mode = MODE_RGB, viewOk = image->rgbaFloatView(); break;
    default: return RC_UNSUPPORTED_COLOUR_FORMAT;
    }
    if (!viewOk) return RC_INVALID_PARAMETER;

    const ImageInfo* inf = image->info();
    const uint32_t iptcLength = inf ? iptcMeasure(inf) : 0;
    AlignedBuffer<uint8_t> iptc(iptcLength + 1);
    if (!iptc) return RC_OUT_OF_MEMORY;
    if (iptcLength && iptcWrite(iptc.get(), inf) != iptcLength) return RC_GENERAL_FAILURE;
    XmpBuildState count;
    const size_t xmpLength = inf ? xmpBuild(count, inf) : 0;
    if (xmpLength > UINT32_MAX / 2) return RC_OUT_OF_MEMORY;
    uint8_t resolution[kResolutionInfoBytes];
    const uint32_t resolutionLength = resolutionInfo(inf, resolution) ? kResolutionInfoBytes : 0;
    const uint64_t resources =
        resourceBytes(resolutionLength) + resourceBytes(iptcLength) + resourceBytes(xmpLength);

    uint8_t head[kFixedHeader] = {'8', 'B', 'P', 'S', 0, 1};
    storeU16be(head + 12, uint16_t(channels));
    storeU32be(head + 14, image->height);
    storeU32be(head + 18, image->width);
    storeU16be(head + 22, uint16_t(bytes * 8));
    storeU16be(head + 24, uint16_t(mode));
    if (failed(output.write(head, sizeof head))) return RC_WRITE_FAILED;

    if (mode == MODE_INDEXED) {
        uint8_t table[768];
        const uint32_t* pal = image->palette();
        for (uint32_t i = 0; i < 256; ++i)
            table[i] = uint8_t(pal[i] >> 16), table[256 + i] = uint8_t(pal[i] >> 8), table[512 + i] = uint8_t(pal[i]);
        if (failed(output.writeU32be(768)) || failed(output.write(table, sizeof table))) return RC_WRITE_FAILED;
    } else if (failed(output.writeU32be(0))) {
        return RC_WRITE_FAILED;
    }

    if (failed(output.writeU32be(uint32_t(resources)))) return RC_WRITE_FAILED;
    if (resolutionLength) {
        if (ResultCode rc = writeResource(PS_RESOURCE_RESOLUTION, resolution, resolutionLength, nullptr); failed(rc))
            return rc;
    }
    if (iptcLength) {
        if (ResultCode rc = writeResource(PS_RESOURCE_IPTC, iptc.get(), iptcLength, nullptr); failed(rc)) return rc;
    }
    if (xmpLength) {
        if (ResultCode rc = writeResource(PS_RESOURCE_XMP, nullptr, uint32_t(xmpLength), inf); failed(rc)) return rc;
    }
    // No layers; raw planes.
    if (failed(output.writeU32be(0)) || failed(output.writeU16be(0))) return RC_WRITE_FAILED;
    if (ResultCode rc = writePlanes(image, channels, bytes); failed(rc)) return rc;
    return failed(output.flush()) ? RC_WRITE_FAILED : RC_OK;
}

} // namespace

ResultCode psdProbe(MappedFile* file)
{
    return file && psdVersion(file->data(), file->size()) ? RC_OK : RC_UNKNOWN_FORMAT;
}

ImageReader* psdReaderCreate(MappedFile* file, const FormatDescriptor* descriptor)
{
    return new (std::nothrow) PsdReader(file, descriptor);
}

ImageWriter* psdWriterCreate(const std::filesystem::path& path, const FormatDescriptor* descriptor)
{
    return writerCreate<PsdWriter>(path, descriptor);
}

} // namespace quillon
