#include "core/image_reader.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "core/text.h"
#include "core/convert.h"
#include "core/resize.h"
#include "platform/memory.h"

namespace quillon {

namespace {

const char16_t* const kModelNames[] = {u"RGB", u"L", u"K", u"YCbCr", u"CMYK", u"CMYL", u"YCCK", u"XYZ", u"Lab", u"?"};

std::u16string decimal(uint64_t v)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%llu", static_cast<unsigned long long>(v));
    return asciiToU16(buf);
}

inline double srgbCurve(double v)
{
    return v <= 0.0031308 ? 12.92 * v : 1.055 * std::pow(v, 1.0 / 2.4) - 0.055;
}

inline uint8_t unitToByte(double v)
{
    if (!(v > 0)) return 0;
    if (v >= 1) return 255;
    return uint8_t(int(v * 255 + 0.5));
}

inline uint8_t clampTrunc(double v)
{
    if (!(v > 0)) return 0;
    if (v >= 255) return 255;
    return uint8_t(int(v));
}

void xyzToLinear(double x, double y, double z, double rgb[3])
{
    rgb[0] = 3.2406 * x - 1.5372 * y - 0.4986 * z;
    rgb[1] = -0.9689 * x + 1.8758 * y + 0.0415 * z;
    rgb[2] = 0.0557 * x - 0.204 * y + 1.057 * z;
}

// One 4-byte pixel (or palette entry) from the model's components, in place.
void convertPixel8(uint8_t* p, ColourModel model)
{
    int c0 = p[0], c1 = p[1], c2 = p[2], c3 = p[3];
    int r, g, b;
    switch (model) {
    case CM_CMYK:
        r = (255 - c3) * (255 - c0) / 255;
        g = (255 - c3) * (255 - c1) / 255;
        b = (255 - c3) * (255 - c2) / 255;
        break;
    case CM_CMYL:
        r = c3 * c0 / 255;
        g = c3 * c1 / 255;
        b = c3 * c2 / 255;
        break;
    case CM_YCCK: {
        double y = c0, cb = c1, cr = c2, k = c3 / 255.0;
        double rr = y + 1.402 * cr - 179.456;
        double gg = y - 0.34414 * cb - 0.71414 * cr + 135.45984;
        double bb = y + 1.772 * cb - 226.816;
        p[2] = clampTrunc((255 - rr) * k);
        p[1] = clampTrunc((255 - gg) * k);
        p[0] = clampTrunc((255 - bb) * k);
        p[3] = 255;
        return;
    }
    case CM_XYZ: {
        double rgb[3];
        xyzToLinear(c0 / 255.0, c1 / 255.0, c2 / 255.0, rgb);
        p[2] = unitToByte(srgbCurve(rgb[0]));
        p[1] = unitToByte(srgbCurve(rgb[1]));
        p[0] = unitToByte(srgbCurve(rgb[2]));
        p[3] = 255;
        return;
    }
    case CM_LAB: {
        // CIE L*a*b* (D65 white) to sRGB-encoded values: linear light would
        // come out far too dark on screen and in every writer.
        double L = c0 * 100.0 / 255.0;
        double a = int8_t(uint8_t(c1)), bb = int8_t(uint8_t(c2));
        double fy = (L + 16) / 116;
        double fx = fy + a / 500, fz = fy - bb / 200;
        auto inv = [](double f) { return f * f * f > 0.008856 ? f * f * f : (f - 16.0 / 116) / 7.787; };
        double X = inv(fx) * 0.95047, Y = L >= 8 ? fy * fy * fy : L / 903.3, Z = inv(fz) * 1.08883;
        double rgb[3];
        xyzToLinear(X, Y, Z, rgb);
        p[2] = unitToByte(srgbCurve(rgb[0]));
        p[1] = unitToByte(srgbCurve(rgb[1]));
        p[0] = unitToByte(srgbCurve(rgb[2]));
        p[3] = 255;
        return;
    }
    default:
        return;
    }
    p[0] = uint8_t(b);
    p[1] = uint8_t(g);
    p[2] = uint8_t(r);
    p[3] = 255;
}

} // namespace

ResultCode convertColourModel(Image* target, ColourModel model)
{
    if (target->pixelFormat == PF_INDEXED8) {
        uint32_t* pal = target->palette();
        if (!pal) return RC_UNSUPPORTED_COLOUR_FORMAT;
        if (model == CM_YCBCR) {
            ycbcrToRgbRow(reinterpret_cast<uint8_t*>(pal), 256);
        } else {
            for (int i = 0; i < 256; ++i) convertPixel8(reinterpret_cast<uint8_t*>(pal + i), model);
        }
        return RC_OK;
    }
    if (target->pixelFormat == PF_RGBA8) {
        for (uint32_t y = 0; y < target->height; ++y) {
            uint8_t* row = target->rowBytesPtr(y);
            if (model == CM_YCBCR) {
                ycbcrToRgbRow(row, target->width);
            } else {
                for (uint32_t x = 0; x < target->width; ++x) convertPixel8(row + 4 * x, model);
            }
        }
        return RC_OK;
    }
    if (model == CM_XYZ && target->pixelFormat == PF_RGBA_FLOAT) {
        for (uint32_t y = 0; y < target->height; ++y) {
            RgbaF* row = target->row<RgbaF>(y);
            for (uint32_t x = 0; x < target->width; ++x) {
                // Storage positions 0, 1, 2 hold X, Y, Z.
                double rgb[3];
                xyzToLinear(row[x].b, row[x].g, row[x].r, rgb);
                row[x].r = float(srgbCurve(rgb[0]));
                row[x].g = float(srgbCurve(rgb[1]));
                row[x].b = float(srgbCurve(rgb[2]));
                row[x].a = 1.0f;
            }
        }
        return RC_OK;
    }
    if (model == CM_CMYK && target->pixelFormat == PF_RGBA16) {
        for (uint32_t y = 0; y < target->height; ++y) {
            uint16_t* row = target->row<uint16_t>(y);
            for (uint32_t x = 0; x < target->width; ++x) {
                uint16_t* p = row + 4 * x;
                uint64_t c = p[0], m = p[1], ye = p[2], k = p[3];
                p[2] = uint16_t((65535 - k) * (65535 - c) / 65535);
                p[1] = uint16_t((65535 - k) * (65535 - m) / 65535);
                p[0] = uint16_t((65535 - k) * (65535 - ye) / 65535);
                p[3] = 65535;
            }
        }
        return RC_OK;
    }
    return RC_UNSUPPORTED_COLOUR_FORMAT;
}

namespace {

ResultCode convertGrey(Image* target, ColourModel model, uint32_t bits)
{
    if (target->pixelFormat == PF_INDEXED8) {
        IndexedView* iv = target->indexedView();
        if (!iv || !iv->toGray()) return RC_UNSUPPORTED_COLOUR_FORMAT;
    }
    Gray8View* g8 = target->gray8View();
    Gray16View* g16 = target->gray16View();
    GrayFloatView* gf = target->grayFloatView();
    if (!g8 && !g16 && !gf) return RC_UNSUPPORTED_COLOUR_FORMAT;
    bool invert = model == CM_K;
    if (gf) {
        for (uint32_t y = 0; y < target->height; ++y) {
            float* row = gf->row(y);
            for (uint32_t x = 0; x < target->width; ++x) {
                float v = float(srgbCurve(row[x]));
                row[x] = invert ? 1.0f - v : v;
            }
        }
        return RC_OK;
    }
    if (bits >= 8 && !invert) return RC_OK;
    if (g8) {
        // 256 entries whatever the depth: a sample beyond the depth's range
        // (a codec's slip or a damaged file) maps to white, not out of bounds.
        uint8_t table[256];
        uint32_t maxv = bits >= 1 && bits < 8 ? (1u << bits) - 1 : 255;
        for (uint32_t v = 0; v < 256; ++v) {
            uint32_t e = std::min(v, maxv) * 255 / maxv;
            table[v] = uint8_t(invert ? 255 - e : e);
        }
        for (uint32_t y = 0; y < target->height; ++y) {
            uint8_t* row = g8->row(y);
            for (uint32_t x = 0; x < target->width; ++x) row[x] = table[row[x]];
        }
        return RC_OK;
    }
    if (g16 && invert) {
        for (uint32_t y = 0; y < target->height; ++y) {
            uint16_t* row = g16->row(y);
            for (uint32_t x = 0; x < target->width; ++x) row[x] = uint16_t(65535 - row[x]);
        }
    }
    return RC_OK;
}

// True when every entry is the opaque grey ramp; a transparent entry keeps
// the palette, or its transparency would be lost.

} // namespace

const char16_t* colourModelName(uint8_t model) { return kModelNames[model <= CM_UNKNOWN ? model : uint8_t(CM_UNKNOWN)]; }

std::u16string titleFromFileName(const std::filesystem::path& name)
{
    std::u16string text = pathToU16(name);
    size_t slash = text.rfind(u'/');
    std::u16string base = slash == std::u16string::npos ? text : text.substr(slash + 1);
    size_t dot = base.rfind(u'.');
    if (dot != std::u16string::npos) base.resize(dot);
    return base;
}

ImageReader::ImageReader(MappedFile* in, const FormatDescriptor* d) : descriptor(d), input(in)
{
    if (input) input->addRef();
    if (d && d->description) info.set(INFO_FORMAT, d->description);
}

ImageReader::~ImageReader()
{
    objectRelease(input);
    ImageReader* next = nextReader;
    nextReader = nullptr;
    while (next && dropReference(next)) {
        ImageReader* after = next->nextReader;
        next->nextReader = nullptr;
        delete next;
        next = after;
    }
}

bool ImageReader::hasReducedSize() const
{
    return reducedWidth && reducedHeight && reducedWidth < width && reducedHeight < height;
}

namespace {

// The fields every reader of a chain shows, whatever its codec set.
void fillGenericInfo(ImageReader* r, MappedFile* input)
{
    if (!r->info.has(INFO_COMPRESSION)) r->info.set(INFO_COMPRESSION, u"None");
    if (!r->info.has(INFO_PATH)) r->info.set(INFO_PATH, pathToU16(input->name()).c_str());
    uint64_t t;
    if (!r->info.has(INFO_FILE_TIME) && input->lastWriteTime(&t)) r->info.set(INFO_FILE_TIME, formatFileTime(t).c_str());
    if (!r->info.has(INFO_FILE_SIZE)) r->info.set(INFO_FILE_SIZE, decimal(input->size()).c_str());
}

void fillDecodedInfo(ImageReader* r, MappedFile* input)
{
    if (r->colourModel >= CM_UNKNOWN) r->colourModel = CM_RGB;
    r->info.set(INFO_BITS_PER_PIXEL, decimal(r->bitsPerPixel).c_str());
    // A reader that brings its pixels to RGB itself (to keep a transparency
    // the file's model has no room for) names the file's model there.
    if (!r->info.has(INFO_COLOUR_MODEL)) r->info.set(INFO_COLOUR_MODEL, colourModelName(r->colourModel));
    if (!r->info.has(INFO_TITLE)) r->info.set(INFO_TITLE, titleFromFileName(input->name()).c_str());
}

bool headerComplete(const ImageReader* r)
{
    return r->width && r->height && bytesPerPixel(r->pixelFormat) != 0;
}

} // namespace

ResultCode ImageReader::open(const void* options)
{
    if (!input || !input->data() || input->size() == 0) return RC_CORRUPT_FILE;
    info.set(INFO_COMPRESSION, u"None");
    fillGenericInfo(this, input);
    ResultCode rc = readHeader(options);
    if (failed(rc)) return rc;
    // A header that left the size or the pixel format unset describes no
    // image; a later frame's is reported when that frame is decoded.
    if (!headerComplete(this)) return RC_CORRUPT_FILE;
    fillDecodedInfo(this, input);
    for (ImageReader* r = nextReader; r; r = r->nextReader) {
        if (!r->descriptor) r->descriptor = descriptor;
        if (!r->info.has(INFO_FORMAT) && descriptor && descriptor->description)
            r->info.set(INFO_FORMAT, descriptor->description);
        fillGenericInfo(r, r->input ? r->input : input);
        fillDecodedInfo(r, r->input ? r->input : input);
    }
    return rc;
}

ResultCode imageCreateForReader(const ImageReader* reader, Image** out, bool forDisplay)
{
    *out = nullptr;
    if (!headerComplete(reader)) return RC_CORRUPT_FILE;
    PixelFormat format = reader->pixelFormat;
    if (forDisplay) {
        if (format == PF_RGBA16 || format == PF_RGBA_FLOAT) format = PF_RGBA8;
        if (format == PF_GRAY16 || format == PF_GRAY_FLOAT) format = PF_GRAY8;
    }
    *out = imageCreate(format, packSize(reader->width, reader->height), forDisplay, 0, reader->minRowBytes,
                       reader->minRows);
    return *out ? RC_OK : RC_OUT_OF_MEMORY;
}

bool imageBeyondAllocationCap(const ImageReader* reader)
{
    // As the image allocators reckon it, with their padding.
    const uint64_t rowBytes = std::max<uint64_t>(uint64_t(bytesPerPixel(reader->pixelFormat)) * reader->width + 32,
                                                 reader->minRowBytes);
    const uint64_t rows = std::max<uint64_t>(reader->height, reader->minRows) + 2;
    uint64_t bytes;
    return !checkedMul(rowBytes, rows, &bytes) || bytes > allocationCap();
}

bool uncompressedRowsLie(const ImageReader* reader, uint64_t rowBytes, uint64_t rows, uint64_t have, bool unmakeable)
{
    uint64_t claimed;
    if (checkedMul(rowBytes, rows, &claimed) && claimed <= have) return false;
    return rows > have || unmakeable || imageBeyondAllocationCap(reader);
}

ResultCode ImageReader::decodeOne(Image* image, Progress* progress, AbortFlag* abort)
{
    bool reduced = false;
    uint32_t decW = width, decH = height;
    bool suitable;
    if (hasReducedSize() && image->width <= reducedWidth && image->height <= reducedHeight) {
        reduced = true;
        decW = reducedWidth;
        decH = reducedHeight;
        // The codec's needs scale down with the size; judged with the
        // smaller factor so that a rounded-up reduced decode never writes
        // past the rows or stride the image really has.
        uint32_t factor = std::max(1u, std::min(width / reducedWidth, height / reducedHeight));
        uint64_t needBytes = (uint64_t(minRowBytes) + factor - 1) / factor;
        uint64_t needRows = (uint64_t(minRows) + factor - 1) / factor;
        suitable = image->rowBytes() >= needBytes && image->rowsAllocated() >= needRows;
    } else {
        suitable = image->rowBytes() >= minRowBytes && image->rowsAllocated() >= minRows;
    }

    Image* target = image;
    Ref<Image> intermediate;
    if (!(image->pixelFormat == pixelFormat && suitable && image->width == decW && image->height == decH)) {
        intermediate = Ref<Image>::adopt(imageCreate(pixelFormat, packSize(decW, decH), false, 0, minRowBytes, minRows));
        if (!intermediate) return RC_OUT_OF_MEMORY;
        target = intermediate.get();
    }

    ResultCode rc = readPixels(target, reduced, progress, abort);
    if (aborted(abort)) rc = RC_CANCELLED;
    // Where the file was cut short under the reader, it read zeros, which
    // many formats take for pixels: the picture is damaged all the same.
    if (succeeded(rc) && input && input->cutShort()) rc = RC_CORRUPT_FILE;
    // Data that ends early still gives a picture: it is finished like a
    // whole one, and the caller learns that the file is damaged.
    const bool partial = rc == RC_CORRUPT_FILE;
    if (failed(rc) && !partial) return rc;

    if (pixelFormat == PF_INDEXED8 && bitsPerPixel == 8 && target->pixelFormat == PF_INDEXED8 &&
        isOpaqueGreyRamp(target->palette())) {
        if (IndexedView* iv = target->indexedView()) iv->toGray();
    }

    ResultCode crc = RC_OK;
    switch (colourModel) {
    case CM_RGB:
    case CM_UNKNOWN:
        if (RgbaFloatView* fv = target->rgbaFloatView()) {
            for (uint32_t y = 0; y < target->height; ++y) {
                RgbaF* row = fv->row(y);
                for (uint32_t x = 0; x < target->width; ++x) {
                    row[x].b = float(srgbCurve(row[x].b));
                    row[x].g = float(srgbCurve(row[x].g));
                    row[x].r = float(srgbCurve(row[x].r));
                }
            }
        }
        break;
    case CM_L:
    case CM_K:
        crc = convertGrey(target, colourModel, bitsPerPixel);
        break;
    default:
        crc = convertColourModel(target, colourModel);
        break;
    }
    if (failed(crc)) return crc;

    if (IndexedView* iv = target->indexedView()) iv->paletteChanged();
    frameInfoCopyData(target->frameInfo, frameInfo);

    if (intermediate) {
        if (intermediate->width != image->width || intermediate->height != image->height) {
            rc = imageResample(image, intermediate.get(), 0, nullptr);
            // The resampler copies pixels, not the frame's own data.
            frameInfoCopyData(image->frameInfo, frameInfo);
        } else {
            rc = imageConvertPixels(image, intermediate.get(), true);
        }
        if (aborted(abort)) rc = RC_CANCELLED;
        intermediate.reset();
        if (failed(rc)) return rc;
    }

    image->alphaKind = alphaKind;
    if (ImageInfo* dst = image->info()) infoCopyAll(dst, &info);
    reportProgress(progress, 100, 100);
    return partial ? RC_CORRUPT_FILE : rc;
}

ResultCode ImageReader::decode(Image* image, bool allFrames, Progress* progress, AbortFlag* abort)
{
    if (!image) return RC_INVALID_PARAMETER;
    Ref<Progress> hold = Ref<Progress>::share(progress);
    ResultCode rc = decodeOne(image, progress, abort);
    if (failed(rc)) return rc;
    if (aborted(abort)) return RC_CANCELLED;
    if (!nextReader) return rc;

    if (allFrames) {
        // One frame after another, linked behind the caller's image; a loop,
        // not a recursion, so a file of any number of frames is safe. A
        // frame cut short is kept and ends the chain.
        bool display = image->display() != nullptr;
        Image* last = image;
        for (ImageReader* r = nextReader; r; r = r->nextReader) {
            Image* frame = nullptr;
            rc = imageCreateForReader(r, &frame, display);
            if (failed(rc)) return rc;
            rc = r->decodeOne(frame, progress, abort);
            if (succeeded(rc) && aborted(abort)) rc = RC_CANCELLED;
            if (failed(rc) && rc != RC_CORRUPT_FILE) {
                objectRelease(frame);
                return rc;
            }
            last->frameInfo.next = frame;
            frame->frameInfo.prev = last;
            last = frame;
            if (failed(rc)) break;
        }
    }

    uint32_t pages = 1;
    for (const ImageReader* r = this; r; r = r->nextReader)
        if (r->frameInfo.duration == kPageEndDuration && r->nextReader) ++pages;
    if (pages > 1) {
        uint32_t page = 1;
        for (Image* im = image; im; im = im->frameInfo.next) {
            if (ImageInfo* dst = im->info()) {
                char buf[32];
                std::snprintf(buf, sizeof buf, "%u:%u", page, pages);
                dst->set(INFO_PAGE, asciiToU16(buf).c_str());
            }
            if (im->frameInfo.duration == kPageEndDuration) ++page;
        }
    }
    return rc;
}

} // namespace quillon
