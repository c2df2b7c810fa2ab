#include "codecs/main/tiff_tags.h"

#include <gtest/gtest.h>

#include <cstring>

#include "codecs/main/exif.h"
#include "core/image_reader.h"
#include "metadata_test_util.h"
#include "support/codec_support.h"

using namespace quillon;
using namespace quillon::test;
using namespace quillon::test::meta;

TEST(TiffTags, TextTagsFillEmptyFieldsOnceWithoutTrailingBlanks)
{
    ImageInfoBag bag;
    static const char blanks[] = "    ";
    imageInfoSetFromTiffTag(bag, 269, blanks, sizeof blanks, sizeof blanks);
    EXPECT_FALSE(bag.has(INFO_TITLE));
    static const char title[] = "Title  ";
    imageInfoSetFromTiffTag(bag, 269, title, sizeof title, sizeof title);
    EXPECT_EQ(fieldUtf8(bag, INFO_TITLE), "Title");
    static const char d1[] = "2020:01:01 00:00:00", d2[] = "2021:01:01 00:00:00";
    imageInfoSetFromTiffTag(bag, 306, d1, sizeof d1, sizeof d1);
    imageInfoSetFromTiffTag(bag, 306, d2, sizeof d2, sizeof d2);
    EXPECT_EQ(fieldUtf8(bag, INFO_CREATION_DATE), "2020:01:01 00:00:00");
    // Tags without a field are ignored.
    imageInfoSetFromTiffTag(bag, 305, d2, sizeof d2, sizeof d2);
    for (int f = 0; f < INFO_FIELD_COUNT; ++f) {
        if (f != INFO_TITLE && f != INFO_CREATION_DATE) {
            EXPECT_FALSE(bag.has(f));
        }
    }
}

TEST(TiffTags, MeasuringToTheNulStopsAtTheData)
{
    // No NUL anywhere: a length of 0 must not run past the six bytes given.
    char text[8] = {'A', 'r', 't', 'i', 's', 't', 'X', 'Y'};
    ImageInfoBag bag;
    imageInfoSetFromTiffTag(bag, 315, text, 0, 6);
    EXPECT_EQ(fieldUtf8(bag, INFO_AUTHOR), "Artist");
    // A count larger than the data is bounded too; a NUL inside ends it.
    char copyright[] = {'(', 'c', ')', 0, 'z', 'z'};
    imageInfoSetFromTiffTag(bag, 33432, copyright, 400, sizeof copyright);
    EXPECT_EQ(fieldUtf8(bag, INFO_COPYRIGHT), "(c)");
}

TEST(TiffTags, OrientationNames)
{
    const char16_t* expected[] = {nullptr,       u"Unrotated",              u"Mirrored",
                                  u"Rotated 180", u"Bottom-Up",              u"Rotated 90 & Bottom-Up",
                                  u"Rotated 270", u"Rotated 270 & Bottom-Up", u"Rotated 90",
                                  nullptr};
    for (uint32_t v = 0; v <= 9; ++v) {
        const char16_t* got = tiffOrientationName(v);
        if (!expected[v]) {
            EXPECT_EQ(got, nullptr) << v;
        } else {
            EXPECT_EQ(std::u16string(got), expected[v]) << v;
        }
    }
    // Every name maps back to the flags of the same orientation.
    EXPECT_EQ(orientationFromName(tiffOrientationName(6)), 3);
    EXPECT_EQ(orientationFromName(tiffOrientationName(5)), 5);
}

TEST(TiffTags, BuiltEntriesCountTheirNulOnceAndComeInTagOrder)
{
    ImageInfoOwned info;
    info.set(INFO_TITLE, u"ab");
    info.set(INFO_CAMERA_MODEL, u"abc");
    info.set(INFO_COPYRIGHT, u"\u0141ukasz \u20AC");
    info.set(INFO_CREATION_DATE, u"2021:03:05 07:08:09 +01:00");
    info.set(INFO_CAMERA_MAKE, u"Canon");
    info.set(INFO_AUTHOR, u"Ann");
    info.set(INFO_SOURCE, u"not a tag");
    std::vector<TiffTextTag> tags = tiffBuildTextTags(&info);
    ASSERT_EQ(tags.size(), 6u);
    uint16_t order[] = {269, 271, 272, 306, 315, 33432};
    for (size_t i = 0; i < tags.size(); ++i) {
        EXPECT_EQ(tags[i].tag, order[i]);
        EXPECT_EQ(tags[i].data.size() % 2, 0u);
        EXPECT_GE(tags[i].data.size(), tags[i].count);
        // Exactly one NUL, at the end of the count: libtiff warns of any other.
        EXPECT_EQ(tags[i].data.find('\0'), tags[i].count - 1) << tags[i].tag;
    }
    // Texts of up to three bytes fit in their entries with their NUL.
    EXPECT_EQ(tags[0].count, 3u);
    EXPECT_TRUE(tags[0].fitsInEntry());
    EXPECT_EQ(tags[0].data.substr(0, 3), std::string("ab\0", 3));
    EXPECT_EQ(tags[1].count, 6u);
    EXPECT_FALSE(tags[1].fitsInEntry());
    EXPECT_EQ(tags[2].count, 4u);
    EXPECT_TRUE(tags[2].fitsInEntry());
    EXPECT_EQ(tags[2].data, std::string("abc\0", 4));
    EXPECT_EQ(tags[3].count, 20u);
    EXPECT_EQ(tags[3].data, std::string("2021:03:05 07:08:09\0", 20));
    EXPECT_EQ(tags[4].count, 4u);
    EXPECT_EQ(tags[4].data, std::string("Ann\0", 4));
    EXPECT_EQ(tags[5].count, 12u);
    EXPECT_EQ(tags[5].data, std::string("\xC5\x81ukasz \xE2\x82\xAC\0", 12));
    // Four bytes need five with their NUL and go out of line.
    ImageInfoOwned four;
    four.set(INFO_TITLE, u"abcd");
    four.set(INFO_AUTHOR, u"\u00e9");
    tags = tiffBuildTextTags(&four);
    ASSERT_EQ(tags.size(), 2u);
    EXPECT_EQ(tags[0].count, 5u);
    EXPECT_FALSE(tags[0].fitsInEntry());
    EXPECT_EQ(tags[0].data, std::string("abcd\0\0", 6));
    EXPECT_EQ(tags[1].count, 3u);  // one character, two bytes of UTF-8
    EXPECT_EQ(tags[1].data.substr(0, 3), std::string("\xC3\xA9\0", 3));
    EXPECT_TRUE(tiffBuildTextTags(nullptr).empty());
}

TEST(TiffTags, DatesTakeTheTiffFormWhenTheyReadAsDates)
{
    for (const char16_t* in : {u"2021-03-05T07:08:09+01:00", u"21/3/5 7:08:09"}) {
        ImageInfoOwned info;
        info.set(INFO_CREATION_DATE, in);
        std::vector<TiffTextTag> tags = tiffBuildTextTags(&info);
        ASSERT_EQ(tags.size(), 1u);
        EXPECT_EQ(tags[0].data, std::string("2021:03:05 07:08:09\0", 20));
    }
    // A text that reads as no date gives no DateTime at all.
    ImageInfoOwned none;
    none.set(INFO_CREATION_DATE, u"last summer");
    EXPECT_TRUE(tiffBuildTextTags(&none).empty());
}

// DateTime needs a time: a date alone gets none made up (XMP keeps it).
TEST(TiffTags, DateWithoutTimeGivesNoDateTime)
{
    ImageInfoOwned info;
    info.set(INFO_CREATION_DATE, u"2021:03:05");
    EXPECT_TRUE(tiffBuildTextTags(&info).empty());
}

// libtiff keeps texts of up to three bytes inside their entries; our TIFF
// reader, and the EXIF reader walking the same structure, read them from
// there in either byte order, and a four-byte text from its offset.
TEST(TiffTags, ShortTextsOfLibtiffReadFromTheirEntriesInBothByteOrders)
{
    QUILLON_REQUIRE_TOOL("convert");
    QUILLON_REQUIRE_TOOL("tiffset");
    QUILLON_REQUIRE_TOOL("tiffcp");
    QUILLON_REQUIRE_TOOL("tiffdump");
    TempDir dir;
    const std::string made = shellQuote((dir / "made.tif").string());
    ASSERT_EQ(run("convert -size 4x3 xc:gray -depth 8 " + made), 0);
    for (const char* order : {"-B", "-L"}) {
        SCOPED_TRACE(order);
        const std::filesystem::path file = dir / (std::string("order") + order + ".tif");
        // tiffset keeps the byte order tiffcp chose.
        ASSERT_EQ(run(std::string("tiffcp ") + order + " " + made + " " + shellQuote(file.string())), 0);
        for (const char* set : {"269 ab", "271 A", "315 abc", "33432 abcd"})
            ASSERT_EQ(run(std::string("tiffset -s ") + set + " " + shellQuote(file.string())), 0);
        const std::vector<uint8_t> bytes = readFile(file);
        ASSERT_EQ(bytes[0], order[1] == 'B' ? 'M' : 'I');
        // The file really holds them inside the entries.
        const std::string dump = runOutput("tiffdump " + shellQuote(file.string()));
        EXPECT_NE(dump.find("DocumentName (269) ASCII (2) 3<ab\\0>"), std::string::npos) << dump;

        ResultCode rc;
        Ref<ImageReader> reader;
        Ref<Image> image = decodeFile(file, &rc, &reader);
        ASSERT_EQ(rc, RC_OK);
        const FieldTexts texts = {
            {INFO_TITLE, "ab"}, {INFO_CAMERA_MAKE, "A"}, {INFO_AUTHOR, "abc"}, {INFO_COPYRIGHT, "abcd"}};
        expectFieldTexts(reader->info, texts);

        ImageInfoBag bag;
        exifParse(bag, bytes.data(), bytes.size());
        expectFieldTexts(bag, texts);
    }
}
