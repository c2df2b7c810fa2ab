#include "codecs/main/exif.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "codecs/main/tiff_tags.h"
#include "codecs/main/xmp.h"
#include "core/image_reader.h"
#include "metadata_test_util.h"
#include "raster_oracle.h"

using namespace quillon;
using namespace quillon::test;
using namespace quillon::test::meta;

namespace {

const std::string kExifPrefix("Exif\0\0", 6);

const char* kExposureArgs =
    " -ExposureTime=1/250 -FNumber=2.8 -FocalLength=50 -ISO=400 -ExifIFD:Flash#=16 -ExposureMode#=1"
    " -WhiteBalance#=1 -ExposureCompensation=-0.7 -ShutterSpeedValue=1/250 -ApertureValue=2.8"
    " -GPSLatitude=48.8568 -GPSLatitudeRef=S -GPSLongitude=2.3508 -GPSLongitudeRef=W"
    " -GPSAltitude=12 -GPSAltitudeRef#=1 -Make=Canon '-Model=EOS 5' '-Artist=Jo Doe'"
    " '-Copyright=(c) Jo' '-ImageDescription=A desc  ' -DocumentName=Doc"
    " '-ModifyDate=2021:03:05 07:08:09' -Orientation#=6";

// The bag borrows from the returned block, which must outlive it.
std::vector<uint8_t> parseJpegExif(ImageInfoBag& bag, const std::vector<uint8_t>& jpeg)
{
    std::vector<uint8_t> block = jpegSegment(jpeg, 0xE1, kExifPrefix);
    EXPECT_FALSE(block.empty());
    exifParse(bag, block.data(), block.size());
    return block;
}

// A big- or little-endian TIFF structure assembled by hand, for the cases
// exiftool refuses to write.
struct TiffBuilder {
    bool be;
    std::vector<uint8_t> b;
    explicit TiffBuilder(bool bigEndian) : be(bigEndian)
    {
        b = be ? std::vector<uint8_t>{'M', 'M', 0, 42} : std::vector<uint8_t>{'I', 'I', 42, 0};
        u32(8);
    }
    void u16(uint32_t v)
    {
        if (be) b.insert(b.end(), {uint8_t(v >> 8), uint8_t(v)});
        else b.insert(b.end(), {uint8_t(v), uint8_t(v >> 8)});
    }
    void u32(uint32_t v)
    {
        if (be) b.insert(b.end(), {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)});
        else b.insert(b.end(), {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)});
    }
    void entry(uint16_t tag, uint16_t type, uint32_t count, uint32_t value)
    {
        u16(tag);
        u16(type);
        u32(count);
        u32(value);
    }
    void text(const std::string& s) { b.insert(b.end(), s.begin(), s.end()); }
};

std::u16string field(const ImageInfo& info, int f)
{
    const char16_t* t = info.get(f);
    return t ? t : u"";
}

} // namespace

TEST(Exif, ReadsWhatExiftoolWroteInEitherByteOrder)
{
    QUILLON_REQUIRE_TOOL("exiftool");
    QUILLON_REQUIRE_TOOL("convert");
    TempDir dir;
    for (const char* order : {"II", "MM"}) {
        SCOPED_TRACE(order);
        std::vector<uint8_t> jpeg =
            exiftoolTagged(dir, std::string("-ExifByteOrder=") + order + kExposureArgs, std::string(order) + ".jpg");
        ImageInfoBag bag;
        std::vector<uint8_t> block = parseJpegExif(bag, jpeg);
        EXPECT_EQ(fieldUtf8(bag, INFO_TITLE), "Doc");
        EXPECT_EQ(fieldUtf8(bag, INFO_COMMENTS), "A desc");
        EXPECT_EQ(fieldUtf8(bag, INFO_CAMERA_MAKE), "Canon");
        EXPECT_EQ(fieldUtf8(bag, INFO_CAMERA_MODEL), "EOS 5");
        EXPECT_EQ(fieldUtf8(bag, INFO_AUTHOR), "Jo Doe");
        EXPECT_EQ(fieldUtf8(bag, INFO_COPYRIGHT), "(c) Jo");
        EXPECT_EQ(fieldUtf8(bag, INFO_CREATION_DATE), "2021:03:05 07:08:09");
        EXPECT_EQ(fieldUtf8(bag, INFO_ORIENTATION), "Rotated 270");
        EXPECT_EQ(fieldUtf8(bag, INFO_EXPOSURE_TIME), "0.004 s");
        EXPECT_EQ(fieldUtf8(bag, INFO_FNUMBER), "2.800");
        EXPECT_EQ(fieldUtf8(bag, INFO_ISO_SPEED), "400");
        EXPECT_EQ(fieldUtf8(bag, INFO_SHUTTER_SPEED), "7.966");
        EXPECT_EQ(fieldUtf8(bag, INFO_APERTURE), "2.971");
        EXPECT_EQ(fieldUtf8(bag, INFO_FOCAL_LENGTH), "50.000 mm");
        EXPECT_EQ(fieldUtf8(bag, INFO_EXPOSURE_BIAS), "-0.700");
        EXPECT_EQ(fieldUtf8(bag, INFO_FLASH), "16");
        EXPECT_EQ(fieldUtf8(bag, INFO_EXPOSURE_MODE), "1");
        EXPECT_EQ(fieldUtf8(bag, INFO_WHITE_BALANCE), "1");
        // 48.8568 degrees are 48 degrees 51 minutes 24.48 seconds.
        EXPECT_EQ(fieldUtf8(bag, INFO_GPS), "48\u00B051'24.48\" S, 2\u00B021'2.88\" W, -12m");
    }
}

TEST(Exif, Utf8TextsOfOtherToolsReachEveryOutput)
{
    // exiftool writes EXIF and TIFF text as UTF-8 unless told otherwise.
    QUILLON_REQUIRE_TOOL("exiftool");
    QUILLON_REQUIRE_TOOL("convert");
    TempDir dir;
    const std::string uber = "\xC3\x9C" "ber test", jorg = "J\xC3\xB6rg \xC3\x86r\xC3\xB8";
    ASSERT_EQ(run("cd " + shellQuote(dir.path().string()) +
                  " && convert -size 8x8 xc:gray -strip in.jpg && convert -size 8x8 xc:gray -strip in.tif"
                  " && cp in.jpg latin.jpg && exiftool -q -q -overwrite_original '-ImageDescription=" + uber +
                  "' '-Artist=" + jorg + "' in.jpg in.tif && exiftool -q -q -overwrite_original -charset exif=latin"
                  " '-ImageDescription=" + uber + "' '-Artist=" + jorg + "' latin.jpg"),
              0);
    Ref<Image> source;
    for (const char* name : {"in.jpg", "in.tif", "latin.jpg"}) {
        Decoded d = decodeFileFull(dir / name);
        ASSERT_EQ(d.rc, RC_OK) << name;
        EXPECT_EQ(fieldUtf8(*d.image->info(), INFO_COMMENTS), uber) << name;
        EXPECT_EQ(fieldUtf8(*d.image->info(), INFO_AUTHOR), jorg) << name;
        if (!source) source = d.image;
    }
    // Every copy of the texts goes out as UTF-8, which exiftool reads by default.
    ASSERT_EQ(writeAs(u"jpg", source.get(), dir / "out.jpg", u"Normal, by Quality:", CF_RGB24), RC_OK);
    ASSERT_EQ(writeAs(u"tiff", source.get(), dir / "out.tif", u"Uncompressed", CF_RGB24), RC_OK);
    ASSERT_EQ(writeAs(u"png", source.get(), dir / "out.png", nullptr, CF_RGB24), RC_OK);
    for (const char* name : {"out.jpg", "out.tif"}) {
        auto m = exiftoolJson(dir / name);
        EXPECT_EQ(m["ImageDescription"], uber) << name;
        EXPECT_EQ(m["Artist"], jorg) << name;
        EXPECT_EQ(m["Description"], uber) << name;
        EXPECT_EQ(m["Creator"], jorg) << name;
    }
    auto png = exiftoolJson(dir / "out.png");
    EXPECT_EQ(png["Description"], uber);
    EXPECT_EQ(png["Author"], jorg);
}

TEST(Exif, GpsSecondsRoundOnceAndShortExposuresKeepTheirDigits)
{
    QUILLON_REQUIRE_TOOL("exiftool");
    QUILLON_REQUIRE_TOOL("convert");
    TempDir dir;
    std::vector<uint8_t> jpeg = exiftoolTagged(
        dir, "'-GPSLatitude=48 51 24.499' -GPSLatitudeRef=N '-GPSLongitude=2 59 59.996' -GPSLongitudeRef=E"
             " -ExposureTime=1/8000 -ExposureCompensation=-1/3 -ExifIFD:ISO=50");
    ImageInfoBag bag;
    std::vector<uint8_t> block = parseJpegExif(bag, jpeg);
    EXPECT_EQ(fieldUtf8(bag, INFO_GPS), "48\u00B051'24.50\" N, 3\u00B00'0.00\" E");
    EXPECT_EQ(fieldUtf8(bag, INFO_EXPOSURE_TIME), "0.000125 s");
    EXPECT_EQ(fieldUtf8(bag, INFO_EXPOSURE_BIAS), "-0.333");
    // Written back, 1/8000 s is still 1/8000 s.
    ImageInfoOwned info;
    infoCopyAll(&info, &bag);
    info.set(INFO_TITLE, u"t");
    info.set(INFO_AUTHOR, u"a");
    std::vector<uint8_t> ours(exifBlockSize(&info));
    exifBlockWrite(ours.data(), &info);
    std::filesystem::path file = dir / "back.jpg";
    writeFile(file, withSegment(plainJpeg(dir), 0xE1, kExifPrefix, ours));
    auto m = exiftoolJson(file);
    EXPECT_EQ(m["ExposureTime"], "0.000125");
}

TEST(Exif, DateOfTheExifDirectoryBeatsDateTimeAndFirstTextWins)
{
    for (bool be : {true, false}) {
        TiffBuilder t(be);
        // IFD0 at 8: DateTime, Artist twice, Exif pointer.
        t.u16(4);
        t.entry(306, 2, 20, 62);
        t.entry(315, 2, 4, 0);
        t.b[8 + 2 + 12 + 8] = 'A', t.b[8 + 2 + 12 + 9] = 'b', t.b[8 + 2 + 12 + 10] = 0;
        t.entry(315, 2, 6, 82);
        t.entry(34665, be ? 13 : 4, 1, 88);  // LONG, or IFD as many writers type it
        t.u32(0);
        ASSERT_EQ(t.b.size(), 62u);
        t.text(std::string("2000:01:01 00:00:00\0", 20));
        t.text(std::string("Other\0", 6));
        ASSERT_EQ(t.b.size(), 88u);
        t.u16(1);
        t.entry(0x8833, 2, 20, 106);
        t.u32(0);
        t.text(std::string("2021:03:05 07:08:09\0", 20));
        ImageInfoBag bag;
        exifParse(bag, t.b.data(), t.b.size());
        EXPECT_EQ(fieldUtf8(bag, INFO_CREATION_DATE), "2021:03:05 07:08:09");
        EXPECT_EQ(fieldUtf8(bag, INFO_AUTHOR), "Ab");
    }
}

TEST(Exif, DateTakenComesBeforeTheOlderDateTextAndDateTime)
{
    struct Entry {
        uint16_t tag, type;
        std::string text;  // ASCII; a LONG entry holds 400
    };
    const std::string taken = "2019:07:14 10:11:12", older = "2021:03:05 07:08:09", modified = "2000:01:01 00:00:00";
    const std::vector<Entry> cases[] = {
        {{0x9003, 2, taken}},
        {{0x8833, 2, older}},  // where earlier versions of ours wrote it
        {{0x9003, 2, taken}, {0x8833, 2, older}},
        {{0x8833, 2, older}, {0x9003, 2, taken}},
        // Unknown, and a clock never set: DateTime stays.
        {{0x9003, 2, "    :  :     :  :  "}},
        {{0x9003, 2, "0000:00:00 00:00:00"}, {0x8833, 2, "    :  :     :  :  "}},
        {{0x8833, 4, ""}},  // a camera's ISOSpeed
    };
    const std::string wants[] = {taken, older, taken, taken, modified, modified, modified};
    for (bool be : {false, true})
        for (size_t c = 0; c < std::size(cases); ++c) {
            SCOPED_TRACE(c);
            const std::vector<Entry>& sub = cases[c];
            // IFD0 at 8 (DateTime, Exif pointer), its date at 38, the Exif
            // directory at 58 with its texts after it.
            TiffBuilder t(be);
            t.u16(2);
            t.entry(306, 2, 20, 38);
            t.entry(34665, 4, 1, 58);
            t.u32(0);
            t.text(modified + '\0');
            t.u16(uint32_t(sub.size()));
            uint32_t text = 58 + 6 + 12 * uint32_t(sub.size());
            for (const Entry& e : sub) {
                t.entry(e.tag, e.type, e.type == 2 ? 20 : 1, e.type == 2 ? text : 400);
                text += e.type == 2 ? 20 : 0;
            }
            t.u32(0);
            for (const Entry& e : sub) t.text(e.text.empty() ? "" : e.text + '\0');
            ImageInfoBag bag;
            exifParse(bag, t.b.data(), t.b.size());
            EXPECT_EQ(fieldUtf8(bag, INFO_CREATION_DATE), wants[c]);
        }
}

TEST(Exif, FirstDirectoryDensityInInchesOrCentimetres)
{
    struct Case {
        int unit;  // -1: no ResolutionUnit entry
        uint32_t x, xDen, y;
        const char* want;  // null: no density
    } cases[] = {
        {2, 300, 1, 300, "300 x 300 ppi"},
        {3, 118, 1, 59, "11800 x 5900 ppm"},
        {-1, 144, 2, 72, "72 x 72 ppi"},  // inches unless told otherwise
        {2, 300, 1, 0, "300 x 300 ppi"},
        {1, 300, 1, 300, nullptr},        // no absolute unit
        {2, 300, 0, 300, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.x);
        TiffBuilder t(true);
        const uint32_t n = c.unit < 0 ? 2 : 3, data = 8 + 2 + 12 * n + 4;
        t.u16(n);
        t.entry(282, 5, 1, data);
        t.entry(283, 5, 1, data + 8);
        if (c.unit >= 0) t.entry(296, 3, 1, uint32_t(c.unit) << 16);
        t.u32(0);
        t.u32(c.x), t.u32(c.xDen), t.u32(c.y), t.u32(1);
        ImageInfoBag bag;
        exifParse(bag, t.b.data(), t.b.size());
        EXPECT_EQ(fieldUtf8(bag, INFO_DENSITY), c.want ? c.want : "");
        // A density the file gave before stays.
        ImageInfoBag first;
        first.set(INFO_DENSITY, u"96 x 96 ppi");
        exifParse(first, t.b.data(), t.b.size());
        EXPECT_EQ(fieldUtf8(first, INFO_DENSITY), "96 x 96 ppi");
    }
}

TEST(Exif, EntriesAndValuesOutsideTheBlockAreNotRead)
{
    // Orientation's value bytes lie just past the block's end; the bytes
    // behind the block say 6 so that reading them would show.
    TiffBuilder t(false);
    t.u16(1);
    t.entry(274, 3, 1, 6);
    std::vector<uint8_t> backing = t.b;
    ImageInfoBag bag;
    exifParse(bag, backing.data(), backing.size() - 4);
    EXPECT_FALSE(bag.has(INFO_ORIENTATION));
    exifParse(bag, backing.data(), backing.size());
    EXPECT_EQ(fieldUtf8(bag, INFO_ORIENTATION), "Rotated 270");

    // A text whose count runs past the end stops at the end.
    TiffBuilder u(false);
    u.u16(1);
    u.entry(270, 2, 1000, 26);
    u.u32(0);
    u.text("Hello there");
    ImageInfoBag b2;
    exifParse(b2, u.b.data(), u.b.size());
    EXPECT_EQ(fieldUtf8(b2, INFO_COMMENTS), "Hello there");

    // Directory offsets near 2^32 must not wrap into the block.
    for (uint32_t ifd : {0xFFFFFFFFu, 0xFFFFFFF8u, uint32_t(t.b.size()) - 1}) {
        TiffBuilder v(false);
        v.b[4] = uint8_t(ifd), v.b[5] = uint8_t(ifd >> 8), v.b[6] = uint8_t(ifd >> 16), v.b[7] = uint8_t(ifd >> 24);
        v.u16(1);
        v.entry(34665, 4, 1, ifd);
        ImageInfoBag b3;
        exifParse(b3, v.b.data(), v.b.size());
        exifParseExifIfd(b3, v.b.data(), v.b.size(), ifd, false);
        exifParseGpsIfd(b3, v.b.data(), v.b.size(), ifd, false);
        for (int f = 0; f < INFO_FIELD_COUNT; ++f) EXPECT_FALSE(b3.has(f));
    }
}

TEST(Exif, OnlyTheFirstExifDirectoryIsRead)
{
    TiffBuilder t(false);
    t.u16(2);
    t.entry(34665, 4, 1, 38);
    t.entry(34665, 4, 1, 56);
    t.u32(0);
    ASSERT_EQ(t.b.size(), 38u);
    for (uint32_t iso : {100u, 800u}) {
        t.u16(1);
        t.entry(34855, 3, 1, iso);
        t.u32(0);
    }
    ImageInfoBag bag;
    exifParse(bag, t.b.data(), t.b.size());
    EXPECT_EQ(fieldUtf8(bag, INFO_ISO_SPEED), "100");
}

TEST(Exif, ZeroDenominatorsAreSkipped)
{
    TiffBuilder t(true);
    t.u16(1);
    t.entry(34665, 4, 1, 26);
    t.u32(0);
    t.u16(2);
    t.entry(33434, 5, 1, 26 + 2 + 24 + 4);
    t.entry(37380, 10, 1, 26 + 2 + 24 + 4 + 8);
    t.u32(0);
    t.u32(1), t.u32(0), t.u32(uint32_t(-2)), t.u32(0);
    ImageInfoBag bag;
    exifParse(bag, t.b.data(), t.b.size());
    EXPECT_FALSE(bag.has(INFO_EXPOSURE_TIME));
    EXPECT_FALSE(bag.has(INFO_EXPOSURE_BIAS));
}

namespace {

void setAll(ImageInfoOwned& info)
{
    info.set(INFO_TITLE, u"Doc");
    info.set(INFO_COMMENTS, u"A caf\u00E9 desc");
    info.set(INFO_AUTHOR, u"Jo Doe");
    info.set(INFO_COPYRIGHT, u"(c) Jo");
    info.set(INFO_CREATION_DATE, u"2021-03-05T07:08:09+01:00");  // as XMP gives it
    info.set(INFO_CAMERA_MAKE, u"Ca");
    info.set(INFO_CAMERA_MODEL, u"EOS 5");
    info.set(INFO_EXPOSURE_TIME, u"0.000125 s");
    info.set(INFO_FNUMBER, u"2.800");
    info.set(INFO_ISO_SPEED, u"400");
    info.set(INFO_SHUTTER_SPEED, u"7.966");
    info.set(INFO_APERTURE, u"2.971");
    info.set(INFO_FOCAL_LENGTH, u"50.000 mm");
    info.set(INFO_EXPOSURE_BIAS, u"-0.700");
    info.set(INFO_FLASH, u"16");
    info.set(INFO_EXPOSURE_MODE, u"0");
    info.set(INFO_WHITE_BALANCE, u"1");
    info.set(INFO_GPS, u"48\u00B051'24.499\" S, 2\u00B021'59.996\" W, -12m");
}

std::vector<uint8_t> block(const ImageInfo& info)
{
    std::vector<uint8_t> b(exifBlockSize(&info));
    EXPECT_EQ(exifBlockWrite(b.data(), &info), b.size());
    return b;
}

double num(const std::map<std::string, std::string>& m, const std::string& key)
{
    auto it = m.find(key);
    return it == m.end() ? -12345 : std::stod(it->second);
}

} // namespace

TEST(Exif, WrittenBlockReadsBackInExiftoolAndHere)
{
    QUILLON_REQUIRE_TOOL("exiftool");
    QUILLON_REQUIRE_TOOL("convert");
    TempDir dir;
    ImageInfoOwned info;
    setAll(info);
    std::vector<uint8_t> b = block(info);
    ASSERT_FALSE(b.empty());
    std::filesystem::path file = dir / "ours.jpg";
    writeFile(file, withSegment(plainJpeg(dir), 0xE1, kExifPrefix, b));
    auto m = exiftoolJson(file);
    EXPECT_EQ(m["DocumentName"], "Doc");
    EXPECT_EQ(m["ImageDescription"], "A caf\u00E9 desc");
    EXPECT_EQ(m["Artist"], "Jo Doe");
    EXPECT_EQ(m["Copyright"], "(c) Jo");
    EXPECT_EQ(m["ModifyDate"], "2021:03:05 07:08:09");
    EXPECT_EQ(m["DateTimeOriginal"], "2021:03:05 07:08:09");
    EXPECT_EQ(m.count("ISOSpeed"), 0u);
    EXPECT_EQ(m["Make"], "Ca");
    EXPECT_EQ(m["Model"], "EOS 5");
    EXPECT_DOUBLE_EQ(num(m, "ExposureTime"), 0.000125);
    EXPECT_DOUBLE_EQ(num(m, "FNumber"), 2.8);
    EXPECT_DOUBLE_EQ(num(m, "ISO"), 400);
    EXPECT_NEAR(num(m, "ShutterSpeedValue"), std::pow(2, -7.966), 1e-6);
    EXPECT_NEAR(num(m, "ApertureValue"), std::pow(2, 2.971 / 2), 1e-6);
    EXPECT_DOUBLE_EQ(num(m, "FocalLength"), 50);
    EXPECT_DOUBLE_EQ(num(m, "ExposureCompensation"), -0.7);
    EXPECT_DOUBLE_EQ(num(m, "Flash"), 16);
    EXPECT_DOUBLE_EQ(num(m, "ExposureMode"), 0);
    EXPECT_DOUBLE_EQ(num(m, "WhiteBalance"), 1);
    EXPECT_NEAR(num(m, "GPSLatitude"), -(48 + 51 / 60.0 + 24.5 / 3600), 1e-9);
    EXPECT_NEAR(num(m, "GPSLongitude"), -(2 + 22 / 60.0), 1e-9);
    EXPECT_DOUBLE_EQ(num(m, "GPSAltitude"), -12);
    EXPECT_EQ(m["GPSAltitudeRef"], "1");

    // And the same block read here gives the fields back.
    ImageInfoBag bag;
    exifParse(bag, b.data(), b.size());
    EXPECT_EQ(fieldUtf8(bag, INFO_CREATION_DATE), "2021:03:05 07:08:09");
    for (int f : {INFO_TITLE, INFO_COMMENTS, INFO_AUTHOR, INFO_COPYRIGHT, INFO_CAMERA_MAKE,
                  INFO_CAMERA_MODEL, INFO_EXPOSURE_TIME, INFO_FNUMBER, INFO_ISO_SPEED, INFO_SHUTTER_SPEED,
                  INFO_APERTURE, INFO_FOCAL_LENGTH, INFO_EXPOSURE_BIAS, INFO_FLASH, INFO_EXPOSURE_MODE,
                  INFO_WHITE_BALANCE}) {
        EXPECT_EQ(field(bag, f), field(info, f)) << "field " << f;
    }
    EXPECT_EQ(fieldUtf8(bag, INFO_GPS), "48\u00B051'24.50\" S, 2\u00B022'0.00\" W, -12m");
}

TEST(Exif, WrittenBlockAddsNoValidationWarnings)
{
    QUILLON_REQUIRE_TOOL("exiftool");
    QUILLON_REQUIRE_TOOL("convert");
    TempDir dir;
    ImageInfoOwned info;
    setAll(info);
    std::filesystem::path file = dir / "ours.jpg";
    writeFile(file, withSegment(plainJpeg(dir), 0xE1, kExifPrefix, block(info)));
    for (const std::string& w : exiftoolUnexpectedWarnings(file)) ADD_FAILURE() << w;
}

TEST(Exif, DatesCarryIntoTheNextDayAndNonDatesAreLeftOut)
{
    QUILLON_REQUIRE_TOOL("exiftool");
    QUILLON_REQUIRE_TOOL("convert");
    TempDir dir;
    struct Case {
        const char16_t* in;
        const char* exif;  // exiftool's ModifyDate; null: none
        const char* xmp;   // exiftool's XMP CreateDate; null: none
    } cases[] = {
        {u"2021:12:31 23:59:59.6", "2022:01:01 00:00:00", "2022:01:01 00:00:00"},
        {u"2021-03-05 24:00:00", "2021:03:06 00:00:00", "2021:03:06 00:00:00"},
        // EXIF dates need a time, XMP's take a date alone: no time is made
        // up, and none is left blank.
        {u"2021-03-05", nullptr, "2021:03:05"},
        {u"2021-03-05 7:08", "2021:03:05 07:08:00", "2021:03:05 07:08:00"},
        {u"last summer", nullptr, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(u16ToUtf8(c.in));
        ImageInfoOwned info;
        info.set(INFO_CREATION_DATE, c.in);
        info.set(INFO_CAMERA_MAKE, u"Canon");
        info.set(INFO_CAMERA_MODEL, u"EOS 5");
        info.set(INFO_TITLE, u"Dated");
        XmpBuildState count;
        std::vector<uint8_t> packet(xmpBuild(count, &info));
        XmpBuildState fill(packet.data());
        xmpBuild(fill, &info);
        const std::filesystem::path file = dir / "dated.jpg";
        writeFile(file, withSegment(withSegment(plainJpeg(dir), 0xE1, std::string(kXmpJpegIdentifier), packet), 0xE1,
                                    kExifPrefix, block(info)));
        auto m = exiftoolJson(file, "-EXIF:ModifyDate -XMP:CreateDate");
        EXPECT_EQ(m.count("ModifyDate") != 0, c.exif != nullptr);
        if (c.exif) {
            EXPECT_EQ(m["ModifyDate"], c.exif);
        }
        EXPECT_EQ(m.count("CreateDate") != 0, c.xmp != nullptr);
        if (c.xmp) {
            EXPECT_EQ(m["CreateDate"], c.xmp);
        }
        for (const std::string& w : exiftoolUnexpectedWarnings(file)) ADD_FAILURE() << w;
        // Nothing that is no whole date and time reaches the Exif directory
        // either.
        ImageInfoBag bag;
        std::vector<uint8_t> b = block(info);
        exifParse(bag, b.data(), b.size());
        EXPECT_EQ(bag.has(INFO_CREATION_DATE), c.exif != nullptr);
    }
}

TEST(Exif, NeedsThreeFirstDirectoryEntries)
{
    ImageInfoOwned info;
    info.set(INFO_FNUMBER, u"2.8");
    info.set(INFO_FLASH, u"1");
    EXPECT_EQ(exifBlockSize(&info), 0u);
    info.set(INFO_TITLE, u"a");
    EXPECT_EQ(exifBlockSize(&info), 0u);
    info.set(INFO_AUTHOR, u"b");
    EXPECT_GT(exifBlockSize(&info), 0u);
    // A title of one character lies inside its entry and still reads back.
    std::vector<uint8_t> b = block(info);
    ImageInfoBag bag;
    exifParse(bag, b.data(), b.size());
    EXPECT_EQ(fieldUtf8(bag, INFO_TITLE), "a");
    EXPECT_EQ(fieldUtf8(bag, INFO_FNUMBER), "2.800");
}

TEST(Exif, WrittenNumbersAreClampedNotWrapped)
{
    ImageInfoOwned info;
    info.set(INFO_TITLE, u"a");
    info.set(INFO_AUTHOR, u"b");
    info.set(INFO_FNUMBER, u"1e12");
    info.set(INFO_EXPOSURE_BIAS, u"-5000000000");
    info.set(INFO_FOCAL_LENGTH, u"-3 mm");
    info.set(INFO_ISO_SPEED, u"100000");
    info.set(INFO_EXPOSURE_TIME, u"nan");
    std::vector<uint8_t> b = block(info);
    ImageInfoBag bag;
    exifParse(bag, b.data(), b.size());
    EXPECT_EQ(fieldUtf8(bag, INFO_FNUMBER), "4294967295.000");
    EXPECT_EQ(fieldUtf8(bag, INFO_EXPOSURE_BIAS), "-2147483647.000");
    EXPECT_EQ(fieldUtf8(bag, INFO_FOCAL_LENGTH), "0.000 mm");
    EXPECT_EQ(fieldUtf8(bag, INFO_ISO_SPEED), "65535");
    EXPECT_EQ(fieldUtf8(bag, INFO_EXPOSURE_TIME), "0.000 s");
}

TEST(Exif, SubDirectoriesForTiffPointAtTheirFileOffsets)
{
    ImageInfoOwned info;
    info.set(INFO_CREATION_DATE, u"2021:03:05 07:08:09 and more");
    info.set(INFO_FNUMBER, u"4");
    info.set(INFO_GPS, u"1\u00B02'3\" N, 4\u00B05'6\" E");
    uint32_t exifSize = exifExifIfdSize(&info), gpsSize = exifGpsIfdSize(&info);
    EXPECT_EQ(exifSize, 12u * 3 + 6 + 20 + 8);
    EXPECT_EQ(gpsSize, 114u);
    // A file whose first 1000 bytes are something else.
    std::vector<uint8_t> file(1000 + exifSize + gpsSize, 0);
    EXPECT_EQ(exifWriteExifIfd(file.data() + 1000, 1000, &info), exifSize);
    EXPECT_EQ(exifWriteGpsIfd(file.data() + 1000 + exifSize, 1000 + exifSize, &info), gpsSize);
    ImageInfoBag bag;
    exifParseExifIfd(bag, file.data(), file.size(), 1000, false);
    exifParseGpsIfd(bag, file.data(), file.size(), 1000 + exifSize, false);
    EXPECT_EQ(fieldUtf8(bag, INFO_CREATION_DATE), "2021:03:05 07:08:09");
    EXPECT_EQ(fieldUtf8(bag, INFO_FNUMBER), "4.000");
    EXPECT_EQ(fieldUtf8(bag, INFO_GPS), "1\u00B02'3.00\" N, 4\u00B05'6.00\" E");
}

TEST(Exif, HostileBlocksNeverCrash)
{
    ImageInfoOwned info;
    setAll(info);
    std::vector<uint8_t> good = block(info);
    std::mt19937 rng(7);
    for (size_t cut = 0; cut <= good.size(); ++cut) {
        std::vector<uint8_t> part(good.begin(), good.begin() + cut);
        ImageInfoBag bag;
        exifParse(bag, part.data(), part.size());
    }
    for (int round = 0; round < 3000; ++round) {
        std::vector<uint8_t> bad = good;
        for (int k = 0; k < 4; ++k) bad[rng() % bad.size()] = uint8_t(rng());
        ImageInfoBag bag;
        exifParse(bag, bad.data(), bad.size());
        ImageInfoOwned copy;
        infoCopyAll(&copy, &bag);
    }
}

namespace {

// Where the first directory of a block of ours keeps the text of `tag`:
// its count, and the value bytes (inside the entry, or at its offset).
struct StoredText {
    uint32_t count = 0;
    bool insideEntry = false;
    std::string bytes;
};

StoredText storedText(const std::vector<uint8_t>& b, uint16_t tag)
{
    auto u16 = [&](size_t p) { return uint32_t(b[p] | b[p + 1] << 8); };
    auto u32 = [&](size_t p) { return u16(p) | u16(p + 2) << 16; };
    StoredText out;
    for (uint32_t i = 0, n = u16(8); i < n; ++i) {
        size_t e = 10 + 12 * size_t(i);
        if (u16(e) != tag) continue;
        EXPECT_EQ(u16(e + 2), 2u);
        out.count = u32(e + 4);
        out.insideEntry = out.count <= 4;
        size_t at = out.insideEntry ? e + 8 : u32(e + 8);
        EXPECT_LE(at + out.count, b.size());
        if (at + out.count <= b.size()) out.bytes.assign(b.begin() + at, b.begin() + at + out.count);
    }
    return out;
}

} // namespace

// Texts of one to three bytes lie inside their entries with their true
// count (text and NUL, never NUL padding); four bytes go to an offset.
// exiftool and our reader read every one back, and exiftool finds nothing
// to warn of.
TEST(Exif, ShortTextsLieInsideTheirEntriesAndReadBack)
{
    QUILLON_REQUIRE_TOOL("exiftool");
    QUILLON_REQUIRE_TOOL("convert");
    ImageInfoOwned info;
    info.set(INFO_TITLE, u"a");
    info.set(INFO_CAMERA_MAKE, u"AB");
    info.set(INFO_AUTHOR, u"Jo!");
    info.set(INFO_COPYRIGHT, u"(c)2");
    info.set(INFO_CAMERA_MODEL, u"\u00e9");  // one character, two bytes of UTF-8
    info.set(INFO_FNUMBER, u"2.8");
    const std::vector<uint8_t> b = block(info);
    ASSERT_FALSE(b.empty());
    const struct {
        uint16_t tag;
        std::string value;
    } expected[] = {{269, std::string("a\0", 2)},
                    {271, std::string("AB\0", 3)},
                    {272, std::string("\xC3\xA9\0", 3)},
                    {315, std::string("Jo!\0", 4)},
                    {33432, std::string("(c)2\0", 5)}};
    for (const auto& x : expected) {
        StoredText t = storedText(b, x.tag);
        EXPECT_EQ(t.count, x.value.size()) << x.tag;
        EXPECT_EQ(t.insideEntry, x.value.size() <= 4) << x.tag;
        EXPECT_EQ(t.bytes, x.value) << x.tag;
    }

    ImageInfoBag bag;
    exifParse(bag, b.data(), b.size());
    for (int f : {INFO_TITLE, INFO_CAMERA_MAKE, INFO_CAMERA_MODEL, INFO_AUTHOR, INFO_COPYRIGHT, INFO_FNUMBER})
        EXPECT_EQ(field(bag, f), f == INFO_FNUMBER ? u"2.800" : field(info, f)) << "field " << f;

    TempDir dir;
    std::filesystem::path file = dir / "short.jpg";
    writeFile(file, withSegment(plainJpeg(dir), 0xE1, kExifPrefix, b));
    auto m = exiftoolJson(file, "-EXIF:all");
    EXPECT_EQ(m["DocumentName"], "a");
    EXPECT_EQ(m["Make"], "AB");
    EXPECT_EQ(m["Model"], "\xC3\xA9");
    EXPECT_EQ(m["Artist"], "Jo!");
    EXPECT_EQ(m["Copyright"], "(c)2");
    for (const std::string& w : exiftoolUnexpectedWarnings(file)) ADD_FAILURE() << w;
}

// A hand-made big-endian block: short texts inside their entries, one of
// them filling all four bytes without a NUL, must read as just those bytes
// and never run into the next entry.
TEST(Exif, InlineTextsOfABigEndianBlockStayInsideTheirEntries)
{
    TiffBuilder t(true);
    t.u16(4);
    t.entry(269, 2, 3, 0);
    t.b.end()[-4] = 'a', t.b.end()[-3] = 'b', t.b.end()[-2] = 0;
    t.entry(271, 2, 4, 0);
    std::memcpy(&t.b.end()[-4], "ABCD", 4);
    t.entry(315, 2, 2, 0);
    std::memcpy(&t.b.end()[-4], "J\0zz", 4);
    t.entry(33432, 2, 1, 0);
    std::memcpy(&t.b.end()[-4], "\0xyz", 4);
    t.u32(0);
    ImageInfoBag bag;
    exifParse(bag, t.b.data(), t.b.size());
    EXPECT_EQ(fieldUtf8(bag, INFO_TITLE), "ab");
    EXPECT_EQ(fieldUtf8(bag, INFO_CAMERA_MAKE), "ABCD");
    EXPECT_EQ(fieldUtf8(bag, INFO_AUTHOR), "J");
    EXPECT_FALSE(bag.has(INFO_COPYRIGHT));  // an empty text sets nothing
}

// Short camera texts of a real batch: exiftool's JPEG (whose EXIF keeps
// them inside their entries) converted to JPEG and TIFF; both outputs give
// them back to exiftool and to our reader, with no new warning.
TEST(Exif, ShortCameraTextsThroughABatchReachJpegAndTiff)
{
    QUILLON_REQUIRE_TOOL("exiftool");
    QUILLON_REQUIRE_TOOL("convert");
    QUILLON_REQUIRE_TOOL("tiffinfo");
    TempDir dir;
    exiftoolTagged(dir, "-Make=AB -Model=Z '-Artist=J D' '-Copyright=(c)'", "in.jpg");
    BatchResult r = convertInBatch({dir / "in.jpg"}, dir / "out",
                                   {{"x.jpg", u"Normal, by Quality:"}, {"x.tiff", u"Uncompressed"}});
    EXPECT_EQ(r.converted, 2);
    for (const char* name : {"in.jpg", "in.tiff"}) {
        SCOPED_TRACE(name);
        const std::filesystem::path out = dir / "out" / name;
        ASSERT_TRUE(std::filesystem::exists(out));
        auto m = exiftoolJson(out, "-EXIF:all");
        EXPECT_EQ(m["DocumentName"], "in");
        EXPECT_EQ(m["Make"], "AB");
        EXPECT_EQ(m["Model"], "Z");
        EXPECT_EQ(m["Artist"], "J D");
        EXPECT_EQ(m["Copyright"], "(c)");
        for (const std::string& w : exiftoolUnexpectedWarnings(out)) ADD_FAILURE() << w;
        if (std::string(name).ends_with(".tiff")) {
            EXPECT_EQ(runOutput("tiffinfo " + shellQuote(out.string()) + " 2>&1 >/dev/null"), "");
        }

        // Read here under another name, so no title can come from the file's.
        const std::filesystem::path copy = dir / (std::string("copy") + out.extension().string());
        std::filesystem::copy_file(out, copy, std::filesystem::copy_options::overwrite_existing);
        ResultCode rc;
        Ref<ImageReader> reader;
        Ref<Image> image = decodeFile(copy, &rc, &reader);
        ASSERT_EQ(rc, RC_OK);
        const FieldTexts texts = {{INFO_TITLE, "in"},
                                  {INFO_CAMERA_MAKE, "AB"},
                                  {INFO_CAMERA_MODEL, "Z"},
                                  {INFO_AUTHOR, "J D"},
                                  {INFO_COPYRIGHT, "(c)"}};
        expectFieldTexts(reader->info, texts);
        // XMP carries these too: the EXIF directory alone must give them.
        const std::vector<uint8_t> bytes = readFile(out);
        std::vector<uint8_t> exif = out.extension() == ".jpg" ? jpegSegment(bytes, 0xE1, kExifPrefix) : bytes;
        ImageInfoBag bag;
        exifParse(bag, exif.data(), exif.size());
        expectFieldTexts(bag, texts);
    }
}
