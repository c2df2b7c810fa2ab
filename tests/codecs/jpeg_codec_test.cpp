// The JPEG codec as the registry sees it: probe, header walk and metadata
// against files made by cjpeg, wrjpgcom, ImageMagick and exiftool; the
// writer against cjpeg with the same settings, decoded by djpeg.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <unistd.h>

#include "app/batch.h"
#include "app/format_table.h"
#include "app/input_list.h"
#include "app/job_settings.h"
#include "codecs/main/jpeg_codec.h"
#include "core/image_writer.h"
#include "core/text.h"
#include "jpeg_decoder_test_util.h"
#include "metadata_test_util.h"
#include "platform/memory.h"
#include "support/batch_support.h"
#include "support/codec_support.h"
#include "support/quiet_batch_ui.h"

using namespace quillon;
using namespace quillon::test;
namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<uint8_t>;

class JpegCodec : public ::testing::Test {
protected:
    void SetUp() override
    {
        registerAllFormats();
        for (const char* tool : {"cjpeg", "djpeg", "convert"}) QUILLON_REQUIRE_TOOL(tool);
    }
    // A photograph cut to w x h, as a PPM and as our image.
    fs::path photo(uint32_t w, uint32_t h)
    {
        const fs::path ppm = dir / "photo.ppm";
        EXPECT_TRUE(writePnm(ppm, photoCrop(w, h, 300, 200)));
        return ppm;
    }
    fs::path make(const std::string& name, const std::string& command)
    {
        const fs::path out = dir / name;
        EXPECT_EQ(run(command + " > " + shellQuote(out.string()) + " 2>/dev/null"), 0) << command;
        return out;
    }
    TempDir dir;
};

Ref<Image> imageFromPpm(const fs::path& ppm, bool grey)
{
    Pnm p;
    if (!readPnm(ppm, p)) return {};
    Ref<Image> img = Ref<Image>::adopt(imageCreate(grey ? PF_GRAY8 : PF_RGBA8, packSize(p.width, p.height)));
    for (uint32_t y = 0; y < p.height; ++y)
        for (uint32_t x = 0; x < p.width; ++x) {
            if (grey) img->row<uint8_t>(y)[x] = uint8_t(p.at(x, y, 0));
            else img->row<Rgba8>(y)[x] = {uint8_t(p.at(x, y, 2)), uint8_t(p.at(x, y, 1)), uint8_t(p.at(x, y, 0)), 255};
        }
    return img;
}

ResultCode writeJpeg(Image* img, const fs::path& path, const char16_t* sub, uint32_t mask, int32_t parameter)
{
    const FormatDescriptor* d = formatRegistry().at(formatFindByExtension(std::u16string_view(u"jpg"), true));
    Ref<ImageWriter> w = Ref<ImageWriter>::adopt(d->createWriter(path, d));
    return w->write(img, sub, mask, parameter, false, nullptr, nullptr);
}

// Our decode against djpeg's with replicated chroma (ours places chroma
// samples without interpolation), in dB.
double psnrOf(Image* image, const Pnm& p)
{
    Ref<Image> rgba = asRgba8(image);
    if (!rgba || rgba->width != p.width || rgba->height != p.height) return 0;
    double se = 0;
    for (uint32_t y = 0; y < p.height; ++y)
        for (uint32_t x = 0; x < p.width; ++x) {
            const Rgba8 q = rgba->row<Rgba8>(y)[x];
            const uint32_t c = p.channels >= 3 ? 1 : 0;
            se += std::pow(double(q.r) - p.at(x, y, 0), 2) + std::pow(double(q.g) - p.at(x, y, c), 2) +
                  std::pow(double(q.b) - p.at(x, y, 2 * c), 2);
        }
    return se == 0 ? 99 : 10 * std::log10(255.0 * 255.0 * 3 * p.width * p.height / se);
}

double psnr(const Pnm& a, const Pnm& b)
{
    if (a.samples.size() != b.samples.size() || a.samples.empty()) return 0;
    double se = 0;
    for (size_t i = 0; i < a.samples.size(); ++i) se += std::pow(double(a.samples[i]) - b.samples[i], 2);
    return se == 0 ? 99 : 10 * std::log10(255.0 * 255.0 * double(a.samples.size()) / se);
}

bool hasMarker(const Bytes& jpg, uint8_t code)
{
    for (size_t i = 2; i + 4 <= jpg.size() && jpg[i] == 0xFF && jpg[i + 1] != 0xDA;
         i += 2 + ((jpg[i + 2] << 8) | jpg[i + 3]))
        if (jpg[i + 1] == code) return true;
    return false;
}

} // namespace

TEST_F(JpegCodec, ProbeFindsTheStreamAtZeroAndBehindAPreviewHeader)
{
    const fs::path jpg = make("a.jpg", "cjpeg -quality 90 " + shellQuote(photo(61, 45).string()));
    Bytes whole = readFile(jpg);
    Bytes behind(692, 0x2A);
    behind.insert(behind.end(), whole.begin(), whole.end());
    Decoded a = decodeBytesFull(whole, "a.jpg"), b = decodeBytesFull(behind, "b.jpg");
    ASSERT_EQ(a.rc, RC_OK);
    ASSERT_EQ(b.rc, RC_OK);
    ASSERT_EQ(b.image->width, 61u);
    Pnm ref;
    ASSERT_TRUE(oracleDecode("djpeg -nosmooth -pnm IN", jpg, ref));
    EXPECT_GE(psnrOf(b.image.get(), ref), 40.0);
    Ref<Image> ra = asRgba8(a.image.get()), rb = asRgba8(b.image.get());
    for (uint32_t y = 0; y < 45; ++y)
        ASSERT_EQ(std::memcmp(ra->row<Rgba8>(y), rb->row<Rgba8>(y), 61 * 4), 0) << y;
    // Anywhere else, or cut before its SOI, it is not JPEG.
    Bytes elsewhere(691, 0x2A);
    elsewhere.insert(elsewhere.end(), whole.begin(), whole.end());
    EXPECT_EQ(decodeBytesFull(elsewhere, "c.jpg").rc, RC_UNKNOWN_FORMAT);
    EXPECT_EQ(decodeBytesFull(Bytes(behind.begin(), behind.begin() + 693), "d.jpg").rc, RC_UNKNOWN_FORMAT);
    EXPECT_EQ(b.reader->info.get(INFO_COMPRESSION), std::u16string(u"HuffDCT"));
}

TEST_F(JpegCodec, DensityCommentsAndCompressionReachTheRecord)
{
    const fs::path ppm = photo(40, 30);
    const fs::path ppi = make("ppi.jpg", "convert " + shellQuote(ppm.string()) +
                                             " -units PixelsPerInch -density 300 jpg:-");
    const fs::path ppcm = make("ppcm.jpg", "convert " + shellQuote(ppm.string()) +
                                               " -units PixelsPerCentimeter -density 28 jpg:-");
    const fs::path plain = make("plain.jpg", "cjpeg -arithmetic " + shellQuote(ppm.string()));
    const fs::path commented =
        make("com.jpg", "wrjpgcom -comment 'Harbour at dawn   ' " + shellQuote(plain.string()));
    const fs::path xml = make("xml.jpg", "wrjpgcom -comment '<?xml version=\"1.0\"?><a/>' " + shellQuote(plain.string()));

    Decoded d = decodeFileFull(ppi);
    ASSERT_EQ(d.rc, RC_OK);
    EXPECT_EQ(std::u16string(d.image->info()->get(INFO_DENSITY)), u"300 x 300 ppi");
    d = decodeFileFull(ppcm);
    ASSERT_EQ(d.rc, RC_OK);
    EXPECT_EQ(std::u16string(d.image->info()->get(INFO_DENSITY)), u"2800 x 2800 ppm");
    d = decodeFileFull(commented);
    ASSERT_EQ(d.rc, RC_OK);
    EXPECT_EQ(std::u16string(d.image->info()->get(INFO_COMMENTS)), u"Harbour at dawn");
    EXPECT_EQ(std::u16string(d.image->info()->get(INFO_COMPRESSION)), u"ArithDCT");
    d = decodeFileFull(xml);
    ASSERT_EQ(d.rc, RC_OK);
    EXPECT_FALSE(d.image->info()->has(INFO_COMMENTS));

    // 2800 ppm goes back out as 71 dots per inch.
    d.image->info()->set(INFO_DENSITY, u"2800 x 2800 ppm");
    const fs::path out = dir / "out.jpg";
    ASSERT_EQ(writeJpeg(d.image.get(), out, u"Normal, by Quality:", CF_RGB24, 80), RC_OK);
    const Bytes bytes = readFile(out);
    ASSERT_GT(bytes.size(), 20u);
    ASSERT_EQ(std::string(bytes.begin() + 6, bytes.begin() + 10), "JFIF");
    EXPECT_EQ(bytes[13], 1);  // dots per inch
    EXPECT_EQ((bytes[14] << 8) | bytes[15], 71);
    EXPECT_EQ((bytes[16] << 8) | bytes[17], 71);
    // Densities beyond the field's 16 bits are held at its limit.
    d.image->info()->set(INFO_DENSITY, u"100000 x 50 ppi");
    ASSERT_EQ(writeJpeg(d.image.get(), out, u"Normal, by Quality:", CF_RGB24, 80), RC_OK);
    const Bytes clamped = readFile(out);
    EXPECT_EQ((clamped[14] << 8) | clamped[15], 65535);
    EXPECT_EQ((clamped[16] << 8) | clamped[17], 50);
}

TEST_F(JpegCodec, ExifDensityStandsInForJfifAndCommentsMayBeUtf8)
{
    QUILLON_REQUIRE_TOOL("exiftool");
    QUILLON_REQUIRE_TOOL("wrjpgcom");
    namespace tm = quillon::test::meta;
    const std::string ppm = shellQuote(photo(16, 16).string());
    // A JFIF segment without a unit (as ImageMagick writes it), then EXIF
    // at 300 dpi; JFIF's own 96 dpi wins, before or after the EXIF segment.
    const fs::path aspect = make("aspect.jpg", "convert " + ppm + " -strip jpg:-");
    const fs::path dpi96 = make("96.jpg", "convert " + ppm + " -strip -units PixelsPerInch -density 96 jpg:-");
    ASSERT_EQ(run("exiftool -q -q -overwrite_original -IFD0:XResolution=300 -IFD0:YResolution=300 "
                  "-IFD0:ResolutionUnit=inches -Artist=Ann " +
                  shellQuote(aspect.string()) + " " + shellQuote(dpi96.string())),
              0);
    const std::string exifId("Exif\0\0", 6);
    const Bytes exif = tm::jpegSegment(readFile(aspect), 0xE1, exifId);
    const Bytes exifFirst = tm::withSegment(readFile(dpi96), 0xE1, exifId, exif);
    const struct {
        Bytes file;
        const char16_t* density;
    } cases[] = {{readFile(aspect), u"300 x 300 ppi"}, {readFile(dpi96), u"96 x 96 ppi"}, {exifFirst, u"96 x 96 ppi"}};
    for (const auto& c : cases) {
        Decoded d = decodeBytesFull(c.file, "d.jpg");
        ASSERT_EQ(d.rc, RC_OK);
        EXPECT_EQ(d.field(INFO_DENSITY), c.density);
        EXPECT_EQ(d.field(INFO_AUTHOR), u"Ann");
    }
    // A comment that is UTF-8 is read so; others as Windows-1252.
    const auto commented = [&](const char* name, const std::string& comment) {
        const std::string command = "wrjpgcom -comment " + shellQuote(comment) + " " + shellQuote(aspect.string());
        return decodeFileFull(make(name, command)).field(INFO_COMMENTS);
    };
    EXPECT_EQ(commented("u.jpg", "Caf\u00e9 \u0141\u00f3d\u017a \u5c71"), u"Caf\u00e9 \u0141\u00f3d\u017a \u5c71");
    EXPECT_EQ(commented("l.jpg", "Caf\xe9 \x80"), u"Caf\u00e9 \u20ac");
}

TEST_F(JpegCodec, DamagedHeadersGiveTheirCodes)
{
    const Bytes jpg = readFile(make("h.jpg", "cjpeg -quality 80 " + shellQuote(photo(24, 16).string())));
    ASSERT_GT(jpg.size(), 200u);
    size_t sof = 2;
    while (jpg[sof + 1] != 0xC0) sof += 2 + ((jpg[sof + 2] << 8) | jpg[sof + 3]);
    struct Patch {
        const char* what;
        size_t at;
        std::vector<uint8_t> bytes;
        ResultCode rc;
    };
    const Patch patches[] = {
        {"segment length 0", 4, {0, 0}, RC_CORRUPT_FILE},
        {"segment length 1", 4, {0, 1}, RC_CORRUPT_FILE},
        {"segment past the end", 4, {0xFF, 0xF0}, RC_CORRUPT_FILE},
        {"end of image before the frame", 2, {0xFF, 0xD9}, RC_UNSUPPORTED_SUBFORMAT},
        {"lossless frame", sof + 1, {0xC3}, RC_UNSUPPORTED_SUBFORMAT},
        {"hierarchical frame", sof + 1, {0xC5}, RC_UNSUPPORTED_SUBFORMAT},
        {"12-bit samples", sof + 4, {12}, RC_UNSUPPORTED_SUBFORMAT},
        {"zero width", sof + 7, {0, 0}, RC_CORRUPT_FILE},
        {"two components", sof + 9, {2}, RC_UNSUPPORTED_SUBFORMAT},
        {"sampling 0", sof + 11, {0x02}, RC_CORRUPT_FILE},
    };
    for (const Patch& p : patches) {
        Bytes b = jpg;
        std::copy(p.bytes.begin(), p.bytes.end(), b.begin() + long(p.at));
        EXPECT_EQ(decodeBytesFull(b, "x.jpg").rc, p.rc) << p.what;
    }
    // A frame far larger than its Huffman-coded data could fill at two bits
    // a block (one when progressive): damaged, refused before any image is
    // made. The same claim in arithmetic coding, which can describe blank
    // areas in a few bytes, is left to the decode (and here to the memory
    // cap).
    setAllocationCap(uint64_t(1) << 20);
    for (uint8_t frame : {0xC0, 0xC2, 0xC9}) {
        Bytes b = jpg;
        b[sof + 1] = frame;
        b[sof + 5] = b[sof + 7] = 30000 >> 8;
        b[sof + 6] = b[sof + 8] = 30000 & 255;
        Decoded d = decodeBytesFull(b, "big.jpg");
        EXPECT_EQ(d.rc, frame != 0xC9 ? RC_CORRUPT_FILE : RC_OUT_OF_MEMORY) << int(frame);
        EXPECT_EQ(d.image.get(), nullptr) << int(frame);
    }
    setAllocationCap(0);
    // A blank picture with one-bit codes is coded at that bound: whole.
    Pnm blank;
    blank.width = blank.height = 2048, blank.channels = 1, blank.maxval = 255;
    blank.samples.assign(size_t(2048) * 2048, 128);
    ASSERT_TRUE(writePnm(dir / "blank.pgm", blank));
    for (const char* options : {"-optimize", "-optimize -progressive"}) {
        const Bytes tight =
            readFile(make("blank.jpg", std::string("cjpeg ") + options + " " + shellQuote((dir / "blank.pgm").string())));
        ASSERT_LT(tight.size(), 2048u * 2048 / 64 / 4 + 1024) << options;
        Decoded flat = decodeBytesFull(tight, "blank.jpg");
        EXPECT_EQ(flat.rc, RC_OK) << options;
        ASSERT_TRUE(flat.image) << options;
        EXPECT_EQ(flat.image->row<uint8_t>(2047)[2047], 128) << options;
    }

    // Markers without a length (restart, TEM) before the frame are stepped over.
    Bytes extra = jpg;
    extra.insert(extra.begin() + 2, {0xFF, 0xD3, 0xFF, 0x01});
    EXPECT_EQ(decodeBytesFull(extra, "x.jpg").rc, RC_OK);

    // Cut anywhere: the header gives RC_CORRUPT_FILE, the pixel data too,
    // with the rows before the cut kept; only the end marker may go.
    Decoded whole = decodeBytesFull(jpg, "w.jpg");
    ASSERT_EQ(whole.rc, RC_OK);
    for (size_t cut = 2; cut < jpg.size(); cut += 3) {
        Decoded part = decodeBytesFull(Bytes(jpg.begin(), jpg.begin() + long(cut)), "p.jpg");
        EXPECT_EQ(part.rc, cut + 2 >= jpg.size() ? RC_OK : RC_CORRUPT_FILE) << "cut at " << cut;
    }
    // Cut just before its last bytes: the first row of MCUs is whole and
    // kept for display.
    const Bytes tall = readFile(make("tall.jpg", "cjpeg -quality 80 " + shellQuote(photo(24, 160).string())));
    Decoded full = decodeBytesFull(tall, "t.jpg");
    Decoded part = decodeBytesFull(Bytes(tall.begin(), tall.end() - long(tall.size() / 8)), "p.jpg");
    ASSERT_EQ(full.rc, RC_OK);
    ASSERT_EQ(part.rc, RC_CORRUPT_FILE);
    ASSERT_TRUE(part.image);
    Ref<Image> a = asRgba8(full.image.get()), b = asRgba8(part.image.get());
    ASSERT_TRUE(a && b);
    for (uint32_t y = 0; y < 16; ++y) EXPECT_EQ(std::memcmp(a->row<Rgba8>(y), b->row<Rgba8>(y), 24 * 4), 0) << y;
}

TEST_F(JpegCodec, WriterMatchesCjpegWithTheSameSettings)
{
    const fs::path ppm = photo(203, 141);
    const fs::path pgm = make("photo.pgm", "ppmtopgm " + shellQuote(ppm.string()));
    Ref<Image> colour = imageFromPpm(ppm, false);
    Ref<Image> grey = imageFromPpm(pgm, true);
    ASSERT_TRUE(colour && grey);
    struct Case {
        const char16_t* sub;
        const char* args;
        int quality;
        bool grey;
    };
    for (const Case& k : {Case{u"Normal, by Quality:", "", 85, false}, Case{u"Progressive, Quality:", "-progressive", 60, false},
                          Case{u"Arithmetic, by Quality:", "-arithmetic", 92, false},
                          Case{u"Normal, by Quality:", "", 10, false}, Case{u"Progressive, Quality:", "-progressive", 75, true}}) {
        const std::string what = u16ToUtf8(k.sub) + " " + std::to_string(k.quality) + (k.grey ? " grey" : "");
        const fs::path ours = dir / "ours.jpg";
        ASSERT_EQ(writeJpeg(k.grey ? grey.get() : colour.get(), ours, k.sub, k.grey ? CF_GRAY8 : CF_RGB24, k.quality),
                  RC_OK)
            << what;
        const fs::path theirs =
            // (cjpeg refuses -optimize with arithmetic coding, which has no tables.)
            make("theirs.jpg", std::string("cjpeg -dct float ") + (std::strstr(k.args, "arith") ? "" : "-optimize ") +
                                   "-quality " + std::to_string(k.quality) + " " + k.args +
                                   " " + shellQuote((k.grey ? pgm : ppm).string()));
        const Bytes a = readFile(ours), b = readFile(theirs);
        EXPECT_NEAR(double(a.size()), double(b.size()), double(b.size()) * 0.01) << what;
        Pnm da, db;
        ASSERT_TRUE(oracleDecode("djpeg -pnm IN", ours, da)) << what;
        ASSERT_TRUE(oracleDecode("djpeg -pnm IN", theirs, db)) << what;
        EXPECT_GE(psnr(da, db), 45.0) << what;
        // The coding the sub-format names.
        EXPECT_TRUE(hasMarker(a, std::strstr(k.args, "arith") ? 0xC9 : std::strstr(k.args, "prog") ? 0xC2
                                 : k.quality < 25                ? 0xC1
                                                                 : 0xC0))
            << what;
        // And we read what we wrote like djpeg does.
        Decoded back = decodeFileFull(ours);
        ASSERT_EQ(back.rc, RC_OK) << what;
        Pnm replicated;
        ASSERT_TRUE(oracleDecode("djpeg -nosmooth -pnm IN", ours, replicated)) << what;
        EXPECT_GE(psnrOf(back.image.get(), replicated), 40.0) << what;
    }
}

TEST_F(JpegCodec, ToSizeFitsWhereOneQualityMoreWouldNot)
{
    const fs::path ppm = photo(160, 120);
    Ref<Image> img = imageFromPpm(ppm, false);
    ASSERT_TRUE(img);
    // An existing file beside the output is a user's, never touched.
    writeFile(dir / "out.jpg.1", std::string("keep me"));
    for (int32_t kb : {3, 6, 1}) {
        const fs::path out = dir / "out.jpg";
        ASSERT_EQ(writeJpeg(img.get(), out, u"Progressive, to Size:", CF_RGB24, kb), RC_OK);
        const uint64_t size = fs::file_size(out);
        std::vector<uint8_t> stream;
        int32_t q = 0;
        JpegCompressOptions o;
        o.progressive = true;
        ASSERT_EQ(jpegCompressToSize(img.get(), CF_RGB24, o, uint64_t(kb) * 1024, stream, &q), RC_OK);
        EXPECT_EQ(stream.size(), size);
        if (q > 1) {
            EXPECT_LE(size, uint64_t(kb) * 1024) << kb;
        }
        if (q < 100) {
            o.quality = q + 1;
            ASSERT_EQ(jpegCompress(img.get(), CF_RGB24, o, stream), RC_OK);
            EXPECT_GT(stream.size(), uint64_t(kb) * 1024) << kb << " KB at quality " << q + 1;
        }
    }
    size_t files = 0;
    for (const auto& e : fs::directory_iterator(dir.path())) files += e.path().filename().string().rfind("out.jpg", 0) == 0;
    EXPECT_EQ(files, 2u);
    EXPECT_EQ(readFile(dir / "out.jpg.1").size(), 7u);
}

TEST_F(JpegCodec, FullDiskTiffPathsAndMetadataLimits)
{
    Ref<Image> img = imageFromPpm(photo(64, 48), false);
    ASSERT_TRUE(img);
    if (access("/dev/full", W_OK) == 0) {
        EXPECT_EQ(writeJpeg(img.get(), "/dev/full", u"Normal, by Quality:", CF_RGB24, 90), RC_WRITE_FAILED);
    }
    EXPECT_EQ(writeJpeg(img.get(), dir / "no" / "such" / "x.jpg", u"Normal, by Quality:", CF_RGB24, 90),
              RC_CREATE_FAILED);
    // A comment longer than a segment is cut to fit.
    img->info()->set(INFO_COMMENTS, std::u16string(70000, u'c').c_str());
    const fs::path big = dir / "big.jpg";
    ASSERT_EQ(writeJpeg(img.get(), big, u"Arithmetic, by Quality:", CF_RGB24, 0), RC_OK);
    Decoded back = decodeFileFull(big);
    ASSERT_EQ(back.rc, RC_OK);
    EXPECT_EQ(quillon::test::meta::jpegSegment(readFile(big), 0xFE, "").size(), 65533u);
    // The XMP copy, cut to its own segment, is the one read back. The
    // comment segment gives the same letters, so the packet itself must be
    // there, well formed, and hold the cut text.
    QUILLON_REQUIRE_TOOL("exiftool");
    QUILLON_REQUIRE_TOOL("xmllint");
    const fs::path packet = dir / "big.xmp";
    ASSERT_EQ(run("exiftool -xmp -b " + shellQuote(big.string()) + " > " + shellQuote(packet.string())), 0);
    ASSERT_GT(fs::file_size(packet), 60000u);
    EXPECT_EQ(run("xmllint --noout " + shellQuote(packet.string())), 0);
    const std::string description = "string(//*[local-name()='description']//*[local-name()='li'])";
    std::string xmpText = runOutput("xmllint --xpath " + shellQuote(description) + " " + shellQuote(packet.string()));
    if (!xmpText.empty() && xmpText.back() == '\n') xmpText.pop_back();
    EXPECT_GT(xmpText.size(), 60000u);
    EXPECT_LT(xmpText.size(), 65533u);
    EXPECT_EQ(xmpText.find_first_not_of('c'), std::string::npos);
    const std::u16string readBack = back.image->info()->get(INFO_COMMENTS);
    EXPECT_EQ(readBack.size(), xmpText.size());
    EXPECT_EQ(readBack.find_first_not_of(u'c'), std::u16string::npos);
    EXPECT_EQ(std::u16string(back.image->info()->get(INFO_COMPRESSION)), u"ArithDCT");
    // JPEG data for a TIFF file: baseline, no segments of its own.
    const fs::path tiff = dir / "strip.TIFF";
    ASSERT_EQ(writeJpeg(img.get(), tiff, u"Arithmetic, by Quality:", CF_RGB24, 80), RC_OK);
    const Bytes t = readFile(tiff);
    EXPECT_TRUE(hasMarker(t, 0xC0));
    EXPECT_FALSE(hasMarker(t, 0xFE));
    EXPECT_FALSE(hasMarker(t, 0xE1));
    EXPECT_FALSE(hasMarker(t, 0xC9));
}

TEST_F(JpegCodec, LongCommentIsCutInEveryCopyAndTheMetadataAroundItStays)
{
    QUILLON_REQUIRE_TOOL("exiftool");
    namespace tm = quillon::test::meta;
    Ref<Image> img = imageFromPpm(photo(32, 24), false);
    ASSERT_TRUE(img);
    ImageInfo* info = img->info();
    info->set(INFO_TITLE, u"Quay");
    info->set(INFO_CAMERA_MAKE, u"Canon");
    info->set(INFO_CAMERA_MODEL, u"EOS 5");
    info->set(INFO_EXPOSURE_TIME, u"0.004 s");
    info->set(INFO_CREATION_DATE, u"2021:03:05 07:08:09");
    info->set(INFO_GPS, u"48\u00B051'24.50\" N, 2\u00B021'3.00\" E");
    // Letters that take one byte in EXIF but up to five in XMP; characters
    // of two units each, which a cut must not split.
    for (const std::u16string unit : {u"Caf\u00e9 & b\U0001F600r ", u"\U0001F600"}) {
        std::u16string comment;
        while (comment.size() < 140000) comment += unit;
        info->set(INFO_COMMENTS, comment.c_str());
        const fs::path out = dir / "long.jpg";
        ASSERT_EQ(writeJpeg(img.get(), out, u"Normal, by Quality:", CF_RGB24, 80), RC_OK);

        auto m = tm::exiftoolJson(out);
        EXPECT_EQ(m["Make"], "Canon");
        EXPECT_EQ(m["Model"], "EOS 5");
        EXPECT_EQ(m["ExposureTime"], "0.004");
        EXPECT_EQ(m["CreateDate"], "2021:03:05 07:08:09");
        EXPECT_EQ(m["Title"], "Quay");
        EXPECT_NEAR(std::atof(m["GPSLatitude"].c_str()), 48.856806, 1e-5);
        EXPECT_NEAR(std::atof(m["GPSLongitude"].c_str()), 2.350833, 1e-5);
        // Every copy is UTF-8, cut between characters: the comment segment
        // within one character of its limit.
        const std::string text = u16ToUtf8(comment);
        const std::string& com = m["Comment"];
        EXPECT_GE(com.size(), 65533u - 3);
        EXPECT_EQ(text.compare(0, com.size(), com), 0);
        const std::string& description = m["ImageDescription"];
        EXPECT_GT(description.size(), 40000u);
        EXPECT_EQ(text.compare(0, description.size(), description), 0);
        const std::string& dcDescription = m["Description"];
        EXPECT_GT(dcDescription.size(), 40000u);
        EXPECT_EQ(text.compare(0, dcDescription.size(), dcDescription), 0);
        // Each segment is filled to within one character of its limit.
        const Bytes file = readFile(out);
        EXPECT_GE(tm::jpegSegment(file, 0xE1, std::string("Exif\0\0", 6)).size(), 65533u - 6 - 8);
        EXPECT_GE(tm::jpegSegment(file, 0xE1, std::string("http://ns.adobe.com/xap/1.0/\0", 29)).size(),
                  65533u - 29 - 8);
        for (const std::string& w : tm::exiftoolUnexpectedWarnings(out)) ADD_FAILURE() << w;
    }
    // Whatever room the rest of the packet leaves, no character is split
    // (a lone half would be written as U+FFFD).
    std::u16string emoji;
    while (emoji.size() < 140000) emoji += u"\U0001F600";
    info->set(INFO_COMMENTS, emoji.c_str());
    for (const char16_t* title : {u"Quay", u"Quay1", u"Quay12", u"Quay123"}) {
        info->set(INFO_TITLE, title);
        const fs::path out = dir / "emoji.jpg";
        ASSERT_EQ(writeJpeg(img.get(), out, u"Normal, by Quality:", CF_RGB24, 80), RC_OK);
        const Bytes xmp = tm::jpegSegment(readFile(out), 0xE1, std::string("http://ns.adobe.com/xap/1.0/\0", 29));
        EXPECT_GE(xmp.size(), 65533u - 29 - 8);
        const std::string packet(xmp.begin(), xmp.end());
        EXPECT_EQ(packet.find("\xEF\xBF\xBD"), std::string::npos) << u16ToUtf8(title);
    }
}

TEST_F(JpegCodec, RowsCompressedForTiffStripsDecodeInDjpeg)
{
    Ref<Image> img = imageFromPpm(photo(48, 32), false);
    ASSERT_TRUE(img);
    std::vector<uint8_t> stream;
    // The lower half only, as a strip.
    ASSERT_EQ(jpegCompressRows(img->rowBytesPtr(16), img->rowBytes(), 48, 16, 4, 90, stream), RC_OK);
    writeFile(dir / "strip.jpg", stream);
    Pnm strip;
    ASSERT_TRUE(oracleDecode("djpeg -pnm IN", dir / "strip.jpg", strip));
    ASSERT_EQ(strip.height, 16u);
    size_t far = 0;
    for (uint32_t y = 0; y < 16; ++y)
        for (uint32_t x = 0; x < 48; ++x) far += std::abs(int(strip.at(x, y, 1)) - int(img->row<Rgba8>(y + 16)[x].g)) > 24;
    EXPECT_LT(far, 48u * 16 / 20);
    EXPECT_EQ(jpegCompressRows(img->rowBytesPtr(0), img->rowBytes(), 48, 16, 3, 90, stream), RC_INVALID_PARAMETER);
}

namespace {

std::string exiftoolTag(const fs::path& file, const char* tag)
{
    std::string v = runOutput(std::string("exiftool -s -s -s -") + tag + " " + shellQuote(file.string()));
    while (!v.empty() && (v.back() == '\n' || v.back() == '\r')) v.pop_back();
    return v;
}

} // namespace

TEST_F(JpegCodec, PhotographsConvertThroughTheBatchWithTheirExif)
{
    // Photographs JPEG to JPEG at quality 85, halved with Catmull-Rom, as a
    // silent batch does; one carries EXIF written by exiftool, which must
    // read the same values from our output.
    QUILLON_REQUIRE_TOOL("exiftool");
    std::vector<fs::path> photos = photographs({"Fossa_by_Jasper_Roks.jpg", "Painting-Colors_by__herobrine7gamer.jpg"});
    QUILLON_REQUIRE_PHOTOS(photos);
    fs::create_directories(dir / "in");
    fs::create_directories(dir / "out");
    const fs::path tagged = dir / "in" / "tagged.jpg";
    ASSERT_EQ(run("exiftool -q -Make=Canon -Model='EOS 5D' -Artist='Ann Smith' -Copyright='(c) Ann' -o " +
                  shellQuote(tagged.string()) + " " + shellQuote(photos[0].string())),
              0);
    photos.push_back(tagged);

    JobSettings s;
    s.szOutDir = dir / "out" / "";
    s.iOutFormats = 1;
    FormatRegistry reg;
    registerAllFormats(reg);
    s.slots[0].iFormatId = reg.findByExtension(std::u16string_view(u"x.jpg"), true);
    s.slots[0].szSubFormat = u"Normal, by Quality:";
    s.slots[0].iColorFormat = CF_AUTO;
    s.slots[0].iCompParam = 85;
    s.bNoOverwritePrompt = 1;
    s.eResize = 1;
    s.i3ResizeFactor = 50000;
    s.eResizeMethod = 3;
    InputListHooks hooks;
    hooks.registry = &reg;
    InputList list(&hooks);
    for (const fs::path& p : photos) ASSERT_EQ(list.addFile(p, false, false), RC_OK);
    QuietBatchUi ui;
    ui.overwriteAnswer = OVERWRITE_REPLACE;
    ui.cancelAllRemaining = false;
    bool running = false;
    BatchContext ctx{s, list, ui, running};
    ctx.registry = &reg;
    const BatchResult r = batchRun(ctx);
    EXPECT_EQ(r.converted, int32_t(photos.size()));

    for (const fs::path& in : photos) {
        const fs::path out = dir / "out" / in.filename();
        ASSERT_TRUE(fs::exists(out)) << out;
        const fs::path expected = dir / "magick.ppm";
        ASSERT_EQ(run("convert " + shellQuote(in.string()) + " -filter Catrom -resize 50% " + shellQuote(expected.string())), 0);
        Pnm ref, got;
        ASSERT_TRUE(readPnm(expected, ref));
        ASSERT_TRUE(oracleDecode("djpeg -pnm IN", out, got)) << out;
        ASSERT_EQ(got.width, ref.width) << out;
        ASSERT_EQ(got.height, ref.height) << out;
        EXPECT_GE(psnr(got, ref), 30.0) << out;
    }
    const fs::path tagOut = dir / "out" / "tagged.jpg";
    EXPECT_EQ(exiftoolTag(tagOut, "Make"), "Canon");
    EXPECT_EQ(exiftoolTag(tagOut, "Model"), "EOS 5D");
    EXPECT_EQ(exiftoolTag(tagOut, "Artist"), "Ann Smith");
    EXPECT_EQ(exiftoolTag(tagOut, "Copyright"), "(c) Ann");
}

TEST_F(JpegCodec, ExifTagsAndTheEighthSizeDecode)
{
    QUILLON_REQUIRE_TOOL("exiftool");
    const fs::path plain = make("p.jpg", "cjpeg -sample 2x2 -quality 90 " + shellQuote(photo(203, 141).string()));
    const fs::path tagged = dir / "t.jpg";
    ASSERT_EQ(run("exiftool -q -Make=Nikon -Model=D850 -Artist=Bo -ImageDescription=Quay -o " +
                  shellQuote(tagged.string()) + " " + shellQuote(plain.string())),
              0);
    Decoded d = decodeFileFull(tagged);
    ASSERT_EQ(d.rc, RC_OK);
    const ImageInfo& info = *d.image->info();
    EXPECT_EQ(u16ToUtf8(info.get(INFO_CAMERA_MAKE) ? info.get(INFO_CAMERA_MAKE) : u""), "Nikon");
    EXPECT_EQ(u16ToUtf8(info.get(INFO_CAMERA_MODEL) ? info.get(INFO_CAMERA_MODEL) : u""), "D850");
    EXPECT_EQ(u16ToUtf8(info.get(INFO_AUTHOR) ? info.get(INFO_AUTHOR) : u""), "Bo");

    // One eighth straight from the DC terms, like djpeg -scale 1/8.
    Ref<ImageReader> reader;
    Ref<MappedFile> src = Ref<MappedFile>::adopt(exactSourceCreate(readFile(tagged), "t.jpg"));
    ASSERT_EQ(imageSourceOpen(reader, src.get(), true), RC_OK);
    ASSERT_TRUE(reader->hasReducedSize());
    EXPECT_EQ(reader->reducedWidth, 26u);
    EXPECT_EQ(reader->reducedHeight, 18u);
    Ref<Image> small = Ref<Image>::adopt(imageCreate(PF_RGBA8, packSize(reader->reducedWidth, reader->reducedHeight)));
    ASSERT_EQ(reader->decode(small.get(), false, nullptr, nullptr), RC_OK);
    Pnm eighth;
    ASSERT_TRUE(oracleDecode("djpeg -scale 1/8 -pnm IN", tagged, eighth));
    EXPECT_GE(psnrOf(small.get(), eighth), 30.0);
}

TEST_F(JpegCodec, XmpAndIptcFromExiftoolReadAndXmpWrittenBack)
{
    QUILLON_REQUIRE_TOOL("exiftool");
    const fs::path plain = make("p.jpg", "cjpeg -quality 85 " + shellQuote(photo(64, 48).string()));
    const fs::path tagged = dir / "t.jpg";
    ASSERT_EQ(run("exiftool -q -XMP-dc:Title='Quay at dusk' -XMP-dc:Subject=sea -XMP-dc:Subject=boats "
                  "-IPTC:CopyrightNotice='(c) Bo' -IPTC:Source=Archive -o " +
                  shellQuote(tagged.string()) + " " + shellQuote(plain.string())),
              0);
    Decoded d = decodeFileFull(tagged);
    ASSERT_EQ(d.rc, RC_OK);
    ImageInfo& info = *d.image->info();
    auto field = [&](int f) { return u16ToUtf8(info.get(f) ? info.get(f) : u""); };
    EXPECT_EQ(field(INFO_TITLE), "Quay at dusk");
    EXPECT_EQ(field(INFO_KEYWORD_FIRST), "sea");
    EXPECT_EQ(field(INFO_KEYWORD_FIRST + 1), "boats");
    EXPECT_EQ(field(INFO_COPYRIGHT), "(c) Bo");
    EXPECT_EQ(field(INFO_SOURCE), "Archive");

    // Written back: exiftool finds the same texts in our XMP segment, and
    // the file carries no warning.
    info.set(INFO_TITLE, u"Caf\u00e9 & <bar>");
    const fs::path out = dir / "out.jpg";
    ASSERT_EQ(writeJpeg(d.image.get(), out, u"Progressive, Quality:", CF_RGB24, 80), RC_OK);
    EXPECT_EQ(exiftoolTag(out, "XMP-dc:Title"), "Caf\xc3\xa9 & <bar>");
    EXPECT_EQ(exiftoolTag(out, "XMP-dc:Subject"), "sea, boats");
    EXPECT_EQ(exiftoolTag(out, "Validate"), "OK");
}

// Answering "Rename" to an existing output is how a JPEG output of the
// wizard gets the name of another format. Named ".tiff" it is JPEG data
// meant for a TIFF file: plain baseline with no segments, whatever the
// sub-format asks. That name decides, not the temporary the batch writes
// first; the same output renamed ".jpg" keeps its progressive scans and
// its metadata.
TEST_F(JpegCodec, RenamedToTiffInTheBatchIsPlainBaselineData)
{
    QUILLON_REQUIRE_TOOL("exiftool");
    fs::create_directories(dir / "in");
    const fs::path in = dir / "in" / "quay.jpg";
    ASSERT_EQ(run("cjpeg -quality 90 " + shellQuote(photo(64, 48).string()) + " > " + shellQuote(in.string())), 0);
    ASSERT_EQ(run("exiftool -q -overwrite_original -Comment=Harbour -XMP-dc:Title=Quay " + shellQuote(in.string())),
              0);
    const fs::path out = dir / "out";
    for (const char* renamed : {"quay.tiff", "quay.TIFF", "quay-2.jpg"}) {
        SCOPED_TRACE(renamed);
        const bool tiff = std::string(renamed).find("-2") == std::string::npos;
        BatchJob job(out, "jpg", u"Progressive, Quality:", 80);
        job.settings.bNoOverwritePrompt = 0;
        job.ui.overwriteAnswer = OVERWRITE_RENAME;
        job.ui.renameTo = out / renamed;
        writeFile(out / "quay.jpg", std::string("taken"));
        const BatchResult r = job.run({in});
        for (const std::u16string& e : job.ui.errors) ADD_FAILURE() << u16ToUtf8(e);
        EXPECT_EQ(r.converted, 1);
        EXPECT_EQ(readFile(out / "quay.jpg").size(), 5u);
        const Bytes b = readFile(out / renamed);
        EXPECT_EQ(hasMarker(b, 0xC0), tiff);
        EXPECT_EQ(hasMarker(b, 0xC2), !tiff);
        EXPECT_EQ(hasMarker(b, 0xFE), !tiff);
        EXPECT_EQ(hasMarker(b, 0xE1), !tiff);
        Pnm got;
        ASSERT_TRUE(oracleDecode("djpeg -pnm IN", out / renamed, got));
        EXPECT_EQ(got.width, 64u);
        EXPECT_EQ(got.height, 48u);
        fs::remove(out / renamed);
    }
}
