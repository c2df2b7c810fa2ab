// JPEG files: the probe, the reader (marker segments into the information
// record, pixels through the system's own decoder) and the writer (the JPEG
// library's compressor into memory, then one write of the result).
#include "codecs/main/jpeg_codec.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include <jpeglib.h>
#include <jerror.h>

#include "codecs/main/exif.h"
#include "codecs/main/iptc.h"
#include "codecs/main/jpeg_decoder.h"
#include "codecs/main/meta_common.h"
#include "codecs/main/xmp.h"
#include "core/byte_cursor.h"
#include "core/image_reader.h"
#include "core/image_writer.h"
#include "core/text.h"

namespace quillon {

const char16_t* const kJpegSubFormats[] = {u"Normal, by Quality:",     u"Normal, to Size:",
                                           u"Progressive, Quality:",   u"Progressive, to Size:",
                                           u"Arithmetic, by Quality:", u"Arithmetic, to Size:",
                                           u""};
const ColourFormatFlags kJpegSubFormatCaps[] = {CF_GRAY8 | CF_RGB24, CF_GRAY8 | CF_RGB24, CF_GRAY8 | CF_RGB24,
                                                CF_GRAY8 | CF_RGB24, CF_GRAY8 | CF_RGB24, CF_GRAY8 | CF_RGB24};
const uint8_t kJpegParamKinds[] = {PARAM_QUALITY, PARAM_SIZE_KB, PARAM_QUALITY,
                                   PARAM_SIZE_KB, PARAM_QUALITY, PARAM_SIZE_KB};

namespace {

// A file with a 692-byte preview header in front of its stream.
constexpr uint64_t kEmbeddedOffset = 692;
// The most data one marker segment holds.
constexpr size_t kMaxSegmentData = 65533;

constexpr uint8_t kExifIdentifier[6] = {'E', 'x', 'i', 'f', 0, 0};
constexpr char kPhotoshopIdentifier[14] = "Photoshop 3.0";  // with its NUL

class JpegReader final : public ImageReader {
public:
    JpegReader(MappedFile* f, const FormatDescriptor* d) : ImageReader(f, d) {}

protected:
    ResultCode readHeader(const void* options) override;
    ResultCode readPixels(Image* image, bool reduced, Progress* progress, AbortFlag* abort) override;

private:
    ResultCode readSegments();
    void readSegment(uint8_t marker, const uint8_t* data, size_t length);
    ResultCode readFrame(uint8_t marker, const uint8_t* data, size_t length);
    int nextMarker(const uint8_t*& p, const uint8_t* end);
    void noteTablesBeforeScan(const uint8_t* p, const uint8_t* end);

    uint64_t streamOffset_ = 0;
    // The density came from an EXIF segment, which the JFIF segment's own
    // overrides wherever it stands.
    bool exifDensity_ = false;
    // The 8 x 8 blocks the frame's components hold, each coded once.
    uint64_t blocks_ = 0;
    // Places with stray bytes between header segments after the last one
    // that has its own line in `notes`.
    uint32_t notesLeftOut_ = 0;
};

// Lines of notes a reader keeps; a file with stray bytes before every one of
// thousands of segments says so in a line more, not in thousands.
constexpr size_t kMaxNotes = 8;

// The decoder's progress into the reader's.
class ProgressBridge final : public JpegProgress {
public:
    explicit ProgressBridge(Progress* p) : progress_(p) {}
    void report(uint32_t done, uint32_t total) override { reportProgress(progress_, done, total); }

private:
    Progress* progress_;
};

ResultCode JpegReader::readHeader(const void*)
{
    notes.clear();
    notesLeftOut_ = 0;
    const ResultCode rc = readSegments();
    if (notesLeftOut_ > 0)
        notes.push_back("Corrupt JPEG data: extraneous bytes before " + std::to_string(notesLeftOut_) +
                        " more markers");
    return rc;
}

// The segments up to the frame header, read; those after it up to the first
// scan only walked for stray bytes.
ResultCode JpegReader::readSegments()
{
    const uint8_t* data = input->data();
    const uint64_t size = input->size();
    const int64_t start = jpegStreamOffset(data, size);
    if (start < 0) return RC_UNKNOWN_FORMAT;
    streamOffset_ = uint64_t(start);
    const uint8_t* p = data + start + 2;
    const uint8_t* end = data + size;
    if (end - p < 4) return RC_CORRUPT_FILE;
    for (;;) {
        const int found = nextMarker(p, end);
        if (found < 0) return RC_CORRUPT_FILE;
        const uint8_t marker = uint8_t(found);
        // TEM, restart markers and SOI carry no length.
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8)) continue;
        if (marker == 0xD9) return RC_UNSUPPORTED_SUBFORMAT;  // an image without a frame
        if (end - p < 2) return RC_CORRUPT_FILE;
        const size_t length = loadU16be(p);
        if (length < 2 || length > size_t(end - p)) return RC_CORRUPT_FILE;
        const uint8_t* segment = p + 2;
        switch (marker) {
        case 0xC0: case 0xC1: case 0xC2: case 0xC9: case 0xCA: {
            const ResultCode rc = readFrame(marker, segment, length - 2);
            // Sequential Huffman coding spends at least two bits on every
            // block (a DC difference and an end of block, each a code of one
            // bit or more); progressive Huffman coding at least the DC
            // difference, end-of-band runs making the rest cheap. Data too
            // short for that is a damaged file, refused before an image of
            // the size it claims is made (and cleared). Arithmetic coding
            // can describe large blank areas in a few bytes, so it is let
            // be. The slack keeps the bound clear of any whole file.
            const uint64_t leastBytes = marker == 0xC2 ? blocks_ / 8 : blocks_ / 4;
            if (!failed(rc) && marker <= 0xC2 && leastBytes > uint64_t(end - segment) + 64) return RC_CORRUPT_FILE;
            if (!failed(rc)) noteTablesBeforeScan(p + length, end);
            return rc;
        }
        case 0xC3: case 0xC5: case 0xC6: case 0xC7: case 0xC8:
        case 0xCB: case 0xCD: case 0xCE: case 0xCF:
            return RC_UNSUPPORTED_SUBFORMAT;  // lossless and hierarchical
        default:
            readSegment(marker, segment, length - 2);
            break;
        }
        p += length;
        if (end - p < 4) return RC_CORRUPT_FILE;
    }
}

// Steps from p past stray bytes and fill bytes to the next marker code, as
// the decoder's own search does, and returns it with p just after it; -1 at
// the end of the data. Bytes stepped over other than fill before a marker
// are counted as libjpeg counts them (two for each 0xFF 0x00 pair) and noted
// in its words, so that a log reads like djpeg's warning about the file.
int JpegReader::nextMarker(const uint8_t*& p, const uint8_t* end)
{
    uint64_t stray = 0;
    for (;;) {
        const uint8_t* from = p;
        while (p < end && *p != 0xFF) ++p;
        stray += uint64_t(p - from);
        while (p < end && *p == 0xFF) ++p;
        if (p >= end) return -1;
        if (*p != 0x00) break;
        stray += 2;
        ++p;
    }
    const uint8_t marker = *p++;
    if (stray > 0 && notes.size() < kMaxNotes) {
        char text[96];
        std::snprintf(text, sizeof text, "Corrupt JPEG data: %llu extraneous bytes before marker 0x%02x",
                      static_cast<unsigned long long>(stray), marker);
        notes.emplace_back(text);
    } else if (stray > 0) {
        ++notesLeftOut_;
    }
    return marker;
}

// The segments between the frame header and the first scan (Huffman and
// quantisation tables, restart interval...) are the decoder's to read; this
// walk only notes stray bytes among them, and leaves whatever else is wrong
// there to the decode.
void JpegReader::noteTablesBeforeScan(const uint8_t* p, const uint8_t* end)
{
    for (;;) {
        const int marker = nextMarker(p, end);
        if (marker < 0 || marker == 0xDA || marker == 0xD8 || marker == 0xD9) return;
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) continue;
        if (end - p < 2) return;
        const size_t length = loadU16be(p);
        if (length < 2 || length > size_t(end - p)) return;
        p += length;
    }
}

void JpegReader::readSegment(uint8_t marker, const uint8_t* data, size_t length)
{
    if (marker == 0xE0 && length >= 14 && std::memcmp(data, "JFIF", 5) == 0) {
        const uint8_t units = data[7];
        const uint32_t x = loadU16be(data + 8), y = loadU16be(data + 10);
        if (units == 0 || units > 2 || x == 0 || y == 0 || (info.has(INFO_DENSITY) && !exifDensity_)) return;
        exifDensity_ = false;
        char text[48];
        // JFIF counts dots per centimetre.
        if (units == 1) std::snprintf(text, sizeof text, "%u x %u ppi", x, y);
        else std::snprintf(text, sizeof text, "%u x %u ppm", x * 100, y * 100);
        info.set(INFO_DENSITY, asciiToU16(text).c_str());
    } else if (marker == 0xE1 && length > 6 && std::memcmp(data, kExifIdentifier, 6) == 0) {
        // Without a JFIF density, the one of the EXIF block's first
        // directory (as camera files carry it) is the file's.
        const bool hadDensity = info.has(INFO_DENSITY);
        exifParse(info, data + 6, length - 6);
        exifDensity_ = exifDensity_ || (!hadDensity && info.has(INFO_DENSITY));
    } else if (marker == 0xE1 && length > kXmpJpegIdentifier.size() &&
               std::memcmp(data, kXmpJpegIdentifier.data(), kXmpJpegIdentifier.size()) == 0) {
        xmpParse(info, data + kXmpJpegIdentifier.size(), length - kXmpJpegIdentifier.size());
    } else if (marker == 0xED && length > sizeof kPhotoshopIdentifier &&
               std::memcmp(data, kPhotoshopIdentifier, sizeof kPhotoshopIdentifier) == 0) {
        psResourcesParse(info, data + sizeof kPhotoshopIdentifier, length - sizeof kPhotoshopIdentifier);
    } else if (marker == 0xFE && length > 0 && !info.has(INFO_COMMENTS)) {
        // Comments that begin "<?" are XML processing instructions, not text.
        if (length >= 2 && data[0] == '<' && data[1] == '?') return;
        // Comments carry no character set: other tools write UTF-8 there, as
        // this writer does, and older ones Windows-1252.
        infoSetBorrowed(info, INFO_COMMENTS, data, uint32_t(length), meta::eightBitKind(data, length));
    }
}

ResultCode JpegReader::readFrame(uint8_t marker, const uint8_t* data, size_t length)
{
    info.set(INFO_COMPRESSION, marker >= 0xC9 ? u"ArithDCT" : u"HuffDCT");
    ByteCursor in(data, length);
    const uint32_t precision = in.u8();
    const uint32_t h = in.u16be(), w = in.u16be();
    const uint32_t count = in.u8();
    if (in.overrun() || w == 0 || h == 0 || count == 0 || length < 6 + 3 * size_t(count)) return RC_CORRUPT_FILE;
    if (precision == 12) return RC_UNSUPPORTED_SUBFORMAT;
    if (precision != 8) return RC_CORRUPT_FILE;
    if (count != 1 && count != 3 && count != 4) return RC_UNSUPPORTED_SUBFORMAT;
    uint32_t maxH = 1, maxV = 1;
    uint32_t factors[4][2];
    for (uint32_t i = 0; i < count; ++i) {
        in.u8();
        const uint8_t sampling = in.u8();
        in.u8();
        const uint32_t sh = count == 1 ? 1 : sampling >> 4, sv = count == 1 ? 1 : sampling & 15;
        if (sh < 1 || sh > 4 || sv < 1 || sv > 4) return RC_CORRUPT_FILE;
        maxH = std::max(maxH, sh);
        maxV = std::max(maxV, sv);
        factors[i][0] = sh, factors[i][1] = sv;
    }
    blocks_ = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const uint64_t cw = (uint64_t(w) * factors[i][0] + maxH - 1) / maxH;
        const uint64_t ch = (uint64_t(h) * factors[i][1] + maxV - 1) / maxV;
        blocks_ += (cw + 7) / 8 * ((ch + 7) / 8);
    }
    width = w;
    height = h;
    bitsPerPixel = precision * count;
    const uint64_t alignedWidth = (uint64_t(w) + 8 * maxH - 1) / (8 * maxH) * (8 * maxH);
    const uint64_t alignedHeight = (uint64_t(h) + 8 * maxV - 1) / (8 * maxV) * (8 * maxV);
    minRowBytes = uint32_t(alignedWidth * (count > 1 ? 4 : 1));
    minRows = uint32_t(alignedHeight);
    reducedWidth = (w + 7) / 8;
    reducedHeight = (h + 7) / 8;
    pixelFormat = count == 1 ? PF_GRAY8 : PF_RGBA8;
    colourModel = count == 1 ? CM_L : count == 3 ? CM_YCBCR : CM_CMYK;
    return RC_OK;
}

ResultCode JpegReader::readPixels(Image* image, bool reduced, Progress* progress, AbortFlag* abort)
{
    std::unique_ptr<JpegDecoder> decoder(jpegDecoderCreate());
    if (!decoder) return RC_OUT_OF_MEMORY;
    decoder->setInput(input->data() + streamOffset_, size_t(input->size() - streamOffset_));
    ResultCode rc = decoder->readHeader();
    if (aborted(abort)) return RC_CANCELLED;
    if (failed(rc)) return rc;
    const uint32_t bytesPerPixel = image->rgba8View() ? 4 : 1;
    ProgressBridge bridge(progress);
    rc = decoder->decode(image->rowBytesPtr(0), bytesPerPixel, image->rowBytes(), image->rowsAllocated(), reduced,
                         &bridge, abort);
    // What the decoder delivered (RGB after its own conversion, CMYK as
    // Adobe stores it...), also for the partial picture of a damaged file.
    colourModel = ColourModel(decoder->colourSpace());
    return rc;
}

// ---- writer ----

// A destination in growing memory of the process's own.
struct MemoryDestination {
    jpeg_destination_mgr pub;
    JOCTET* data;
    size_t capacity;
    size_t used;
};

void destinationInit(j_compress_ptr cinfo)
{
    auto* d = reinterpret_cast<MemoryDestination*>(cinfo->dest);
    d->capacity = 1 << 16;
    d->data = static_cast<JOCTET*>(std::malloc(d->capacity));
    if (!d->data) ERREXIT1(cinfo, JERR_OUT_OF_MEMORY, 0);
    d->pub.next_output_byte = d->data;
    d->pub.free_in_buffer = d->capacity;
}

boolean destinationGrow(j_compress_ptr cinfo)
{
    auto* d = reinterpret_cast<MemoryDestination*>(cinfo->dest);
    const size_t grown = d->capacity * 2;
    auto* more = static_cast<JOCTET*>(std::realloc(d->data, grown));
    if (!more) ERREXIT1(cinfo, JERR_OUT_OF_MEMORY, 1);
    d->data = more;
    d->pub.next_output_byte = more + d->capacity;
    d->pub.free_in_buffer = grown - d->capacity;
    d->capacity = grown;
    return TRUE;
}

void destinationTerm(j_compress_ptr cinfo)
{
    auto* d = reinterpret_cast<MemoryDestination*>(cinfo->dest);
    d->used = d->capacity - d->pub.free_in_buffer;
}

struct ErrorManager {
    jpeg_error_mgr pub;
    jmp_buf jump;
    int code;
};

[[noreturn]] void errorExit(j_common_ptr cinfo)
{
    auto* e = reinterpret_cast<ErrorManager*>(cinfo->err);
    e->code = cinfo->err->msg_code;
    std::longjmp(e->jump, 1);
}

// Warnings and traces are not shown.
void silentMessage(j_common_ptr) {}

// The quantisation tables of T.81 Annex K.1 and K.2 (natural order), which
// the library scales by its quality rule.
constexpr unsigned int kLumaTable[64] = {
    16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,  14, 13, 16, 24, 40,  57,
    69, 56, 14, 17, 22,  29,  51,  87,  80, 62, 18, 22, 37,  56,  68,  109, 103, 77, 24, 35, 55, 64,
    81, 104, 113, 92, 49, 64, 78,  87,  103, 121, 120, 101, 72, 92, 95, 98,  112, 100, 103, 99};
constexpr unsigned int kChromaTable[64] = {
    17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99, 24, 26, 56, 99, 99, 99,
    99, 99, 47, 66, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99};

// Everything one compression needs, prepared before the library runs: no
// object with a destructor lives in the frame that the error exit jumps to.
struct CompressJob {
    const uint8_t* rows;
    size_t strideBytes;
    uint32_t width, height, channels;
    int32_t quality;
    bool arithmetic, progressive;
    uint32_t densityX, densityY;  // dots per inch; 0: none
    const uint8_t* comment;
    size_t commentLength;
    const uint8_t* exif;  // the APP1 data, identifier included
    size_t exifLength;
    const uint8_t* xmp;
    size_t xmpLength;
    jpeg_compress_struct cinfo;
    ErrorManager error;
    MemoryDestination destination;
};

ResultCode resultOf(int code)
{
    if (code == JERR_OUT_OF_MEMORY) return RC_OUT_OF_MEMORY;
    if (code == JERR_FILE_WRITE) return RC_WRITE_FAILED;
    return RC_GENERAL_FAILURE;
}

// On success the stream is job.destination.data[0..used), which the caller
// frees; on failure nothing is left to free.
ResultCode runCompression(CompressJob& job)
{
    jpeg_compress_struct& cinfo = job.cinfo;
    job.destination = MemoryDestination{};
    cinfo.err = jpeg_std_error(&job.error.pub);
    job.error.pub.error_exit = errorExit;
    job.error.pub.output_message = silentMessage;
    job.error.code = 0;
    if (setjmp(job.error.jump)) {
        jpeg_destroy_compress(&cinfo);
        std::free(job.destination.data);
        job.destination.data = nullptr;
        return resultOf(job.error.code);
    }
    jpeg_create_compress(&cinfo);
    job.destination.pub.init_destination = destinationInit;
    job.destination.pub.empty_output_buffer = destinationGrow;
    job.destination.pub.term_destination = destinationTerm;
    cinfo.dest = &job.destination.pub;
    cinfo.image_width = job.width;
    cinfo.image_height = job.height;
    cinfo.input_components = int(job.channels);
    cinfo.in_color_space = job.channels == 4 ? JCS_EXT_BGRX : JCS_GRAYSCALE;
    jpeg_set_defaults(&cinfo);
    cinfo.dct_method = JDCT_FLOAT;
    if (job.arithmetic) cinfo.arith_code = TRUE;
    else cinfo.optimize_coding = TRUE;
    if (job.densityX) {
        cinfo.density_unit = 1;
        cinfo.X_density = UINT16(job.densityX);
        cinfo.Y_density = UINT16(job.densityY);
    }
    // Without the baseline limit: low qualities get 16-bit tables.
    const int scale = jpeg_quality_scaling(job.quality);
    jpeg_add_quant_table(&cinfo, 0, kLumaTable, scale, FALSE);
    jpeg_add_quant_table(&cinfo, 1, kChromaTable, scale, FALSE);
    if (job.progressive) jpeg_simple_progression(&cinfo);
    jpeg_start_compress(&cinfo, TRUE);
    if (job.comment) jpeg_write_marker(&cinfo, JPEG_COM, job.comment, unsigned(job.commentLength));
    if (job.exif) jpeg_write_marker(&cinfo, JPEG_APP0 + 1, job.exif, unsigned(job.exifLength));
    if (job.xmp) jpeg_write_marker(&cinfo, JPEG_APP0 + 1, job.xmp, unsigned(job.xmpLength));
    for (uint32_t y = 0; y < job.height; ++y) {
        JSAMPROW row = const_cast<JSAMPROW>(job.rows + size_t(y) * job.strideBytes);
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    return RC_OK;
}

ResultCode compressJob(CompressJob& job, std::vector<uint8_t>& out)
{
    ResultCode rc = runCompression(job);
    if (failed(rc)) return rc;
    try {
        out.assign(job.destination.data, job.destination.data + job.destination.used);
    } catch (const std::bad_alloc&) {
        rc = RC_OUT_OF_MEMORY;
    }
    std::free(job.destination.data);
    return rc;
}

CompressJob jobFor(const uint8_t* rows, size_t stride, uint32_t width, uint32_t height, uint32_t channels,
                   const JpegCompressOptions& options)
{
    CompressJob job{};
    job.rows = rows;
    job.strideBytes = stride;
    job.width = width;
    job.height = height;
    job.channels = channels;
    job.quality = std::clamp(options.quality, 1, 100);
    job.arithmetic = options.arithmetic;
    job.progressive = options.progressive;
    return job;
}

// The record whose metadata block `sizeOf` measures, as it fits in one
// segment of `limit` bytes: `info` itself, or a copy in `cut` whose comment
// (the one text that grows without bound in practice) is cut to the most
// whole characters that fit, so the camera, exposure, position and date
// around it are kept. Null when the block does not fit even without the
// comment.
template <typename SizeOf>
const ImageInfo* withCommentToFit(const ImageInfo* info, size_t limit, SizeOf sizeOf, ImageInfoOwned& cut)
{
    if (sizeOf(info) <= limit) return info;
    const char16_t* comment = info->get(INFO_COMMENTS);
    if (!comment) return nullptr;
    const std::u16string text(comment);
    infoCopyAll(&cut, info);
    const auto fits = [&](size_t units) {
        if (units > 0 && units < text.size() && text[units - 1] >= 0xD800 && text[units - 1] <= 0xDBFF) --units;
        cut.set(INFO_COMMENTS, text.substr(0, units).c_str());
        return sizeOf(&cut) <= limit;
    };
    if (!fits(0)) return nullptr;
    // The block grows with the comment: the longest fitting cut lies
    // between lo (fits) and hi (does not).
    size_t lo = 0, hi = text.size();
    while (hi - lo > 1) {
        const size_t mid = lo + (hi - lo) / 2;
        (fits(mid) ? lo : hi) = mid;
    }
    fits(lo);
    return &cut;
}

class JpegWriter final : public ImageWriter {
public:
    using ImageWriter::ImageWriter;

protected:
    ResultCode encode(Image* image, const char16_t* subFormatName, uint32_t colourFlag, uint32_t bitsPerPixel,
                      int32_t parameter, bool allFrames, void* extra) override;
};

bool contains(std::u16string_view text, std::u16string_view part) { return text.find(part) != text.npos; }

ResultCode JpegWriter::encode(Image* image, const char16_t* subFormatName, uint32_t colourFlag, uint32_t,
                              int32_t parameter, bool, void*)
{
    const std::u16string_view name = subFormatName && *subFormatName ? subFormatName : kJpegSubFormats[0];
    // JPEG data meant for a TIFF file: plain baseline, nothing around it. The
    // name decides, not the temporary the batch writes first.
    const std::u16string path = pathToU16(targetPath());
    const bool insideTiff = path.size() >= 5 && equalsNoCase(std::u16string_view(path).substr(path.size() - 5), u".tiff");
    JpegCompressOptions options;
    options.arithmetic = !insideTiff && contains(name, u"Arith");
    options.progressive = !insideTiff && contains(name, u"Progr");
    options.writeMarkers = !insideTiff;
    options.quality = 75;
    std::vector<uint8_t> bytes;
    ResultCode rc;
    if (parameter > 0 && contains(name, u"Size")) {
        rc = jpegCompressToSize(image, colourFlag, options, uint64_t(parameter) * 1024, bytes);
    } else {
        if (parameter > 0 && contains(name, u"Quality")) options.quality = parameter;
        rc = jpegCompress(image, colourFlag, options, bytes);
    }
    if (failed(rc)) return rc;
    if (failed(output.write(bytes.data(), bytes.size())) || failed(output.flush())) return RC_WRITE_FAILED;
    return RC_OK;
}

} // namespace

int64_t jpegStreamOffset(const uint8_t* data, uint64_t size)
{
    if (!data) return -1;
    if (size >= 2 && data[0] == 0xFF && data[1] == 0xD8) return 0;
    if (size >= kEmbeddedOffset + 2 && data[kEmbeddedOffset] == 0xFF && data[kEmbeddedOffset + 1] == 0xD8)
        return int64_t(kEmbeddedOffset);
    return -1;
}

ResultCode jpegProbe(MappedFile* file)
{
    return file && jpegStreamOffset(file->data(), file->size()) >= 0 ? RC_OK : RC_UNKNOWN_FORMAT;
}

ImageReader* jpegReaderCreate(MappedFile* file, const FormatDescriptor* descriptor)
{
    return new (std::nothrow) JpegReader(file, descriptor);
}

ImageWriter* jpegWriterCreate(const std::filesystem::path& path, const FormatDescriptor* descriptor)
{
    return writerCreate<JpegWriter>(path, descriptor);
}

ResultCode jpegCompressRows(const uint8_t* rows, size_t strideBytes, uint32_t width, uint32_t height,
                            uint32_t channels, int32_t quality, std::vector<uint8_t>& out)
{
    if (!rows || width == 0 || height == 0 || (channels != 1 && channels != 4)) return RC_INVALID_PARAMETER;
    JpegCompressOptions options;
    options.quality = quality;
    options.writeMarkers = false;
    CompressJob job = jobFor(rows, strideBytes, width, height, channels, options);
    return compressJob(job, out);
}

ResultCode jpegCompress(const Image* image, uint32_t colourFlag, const JpegCompressOptions& options,
                        std::vector<uint8_t>& out)
{
    if (!image) return RC_INVALID_PARAMETER;
    uint32_t channels;
    if (colourFlag == CF_GRAY8 && image->gray8View()) channels = 1;
    else if (colourFlag == CF_RGB24 && image->rgba8View()) channels = 4;
    else return RC_UNSUPPORTED_COLOUR_FORMAT;
    if (image->width == 0 || image->height == 0 || image->width > 65500 || image->height > 65500)
        return RC_INVALID_PARAMETER;
    CompressJob job = jobFor(image->rowBytesPtr(0), image->rowBytes(), image->width, image->height, channels, options);

    // The segments, prepared here so the compression itself owns nothing.
    std::string comment;
    std::vector<uint8_t> exif, xmp;
    const ImageInfo* info = image->info();
    if (options.writeMarkers && info) {
        uint32_t dpi[2];
        if (parseResolution(dpi, info->get(INFO_DENSITY), true)) {
            job.densityX = std::clamp<uint32_t>(dpi[0], 1, 65535);
            job.densityY = std::clamp<uint32_t>(dpi[1], 1, 65535);
        }
        if (const char16_t* text = info->get(INFO_COMMENTS)) {
            // UTF-8, as other readers take a comment; longer than one segment
            // holds, it is cut to fit before a character that would not.
            comment = u16ToUtf8(text);
            meta::cutUtf8(comment, kMaxSegmentData);
            if (!comment.empty()) {
                job.comment = reinterpret_cast<const uint8_t*>(comment.data());
                job.commentLength = comment.size();
            }
        }
        ImageInfoOwned exifCut, xmpCut;
        const auto exifSize = [](const ImageInfo* i) { return size_t(exifBlockSize(i)); };
        const ImageInfo* exifInfo = withCommentToFit(info, kMaxSegmentData - sizeof kExifIdentifier, exifSize, exifCut);
        if (const uint32_t n = exifInfo ? exifBlockSize(exifInfo) : 0) {
            exif.resize(sizeof kExifIdentifier + n);
            std::memcpy(exif.data(), kExifIdentifier, sizeof kExifIdentifier);
            exifBlockWrite(exif.data() + sizeof kExifIdentifier, exifInfo);
            job.exif = exif.data();
            job.exifLength = exif.size();
        }
        const auto xmpSize = [](const ImageInfo* i) {
            XmpBuildState count;
            return xmpBuild(count, i);
        };
        const ImageInfo* xmpInfo = withCommentToFit(info, kMaxSegmentData - kXmpJpegIdentifier.size(), xmpSize, xmpCut);
        if (const size_t n = xmpInfo ? xmpSize(xmpInfo) : 0) {
            xmp.resize(kXmpJpegIdentifier.size() + n);
            std::memcpy(xmp.data(), kXmpJpegIdentifier.data(), kXmpJpegIdentifier.size());
            XmpBuildState fill(xmp.data() + kXmpJpegIdentifier.size());
            xmpBuild(fill, xmpInfo);
            job.xmp = xmp.data();
            job.xmpLength = xmp.size();
        }
    }
    return compressJob(job, out);
}

ResultCode jpegCompressToSize(const Image* image, uint32_t colourFlag, JpegCompressOptions options,
                              uint64_t targetBytes, std::vector<uint8_t>& out, int32_t* quality)
{
    // lo holds a stream that fits (or quality 1's, which is kept whatever
    // its size); hi a quality known to be too large.
    std::vector<uint8_t> lo, trial;
    options.quality = 1;
    ResultCode rc = jpegCompress(image, colourFlag, options, lo);
    if (failed(rc)) return rc;
    int32_t qLo = 1, qHi = 100;
    if (lo.size() < targetBytes) {
        options.quality = 100;
        rc = jpegCompress(image, colourFlag, options, trial);
        if (failed(rc)) return rc;
        if (trial.size() <= targetBytes) {
            lo.swap(trial);
            qLo = 100;
        }
        while (qLo < qHi) {
            const int32_t q = (qLo + qHi) / 2;
            if (q == qLo) break;
            options.quality = q;
            rc = jpegCompress(image, colourFlag, options, trial);
            if (failed(rc)) return rc;
            if (trial.size() > targetBytes) {
                qHi = q;
            } else {
                lo.swap(trial);
                qLo = q;
            }
        }
    }
    out.swap(lo);
    if (quality) *quality = qLo;
    return RC_OK;
}

} // namespace quillon
