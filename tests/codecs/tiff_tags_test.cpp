#include "codecs/main/tiff_tags.h"

#include <gtest/gtest.h>

#include <cstring>

#include "metadata_test_util.h"

using namespace quillon;
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

TEST(TiffTags, BuiltEntriesArePaddedAndInTagOrder)
{
    ImageInfoOwned info;
    info.set(INFO_TITLE, u"ab");
    info.set(INFO_COPYRIGHT, u"\u0141ukasz \u20AC");
    info.set(INFO_CREATION_DATE, u"2021:03:05 07:08:09 +01:00");
    info.set(INFO_CAMERA_MAKE, u"Canon");
    info.set(INFO_AUTHOR, u"Ann");
    info.set(INFO_SOURCE, u"not a tag");
    std::vector<TiffTextTag> tags = tiffBuildTextTags(&info);
    ASSERT_EQ(tags.size(), 5u);
    uint16_t order[] = {269, 271, 306, 315, 33432};
    for (size_t i = 0; i < tags.size(); ++i) {
        EXPECT_EQ(tags[i].tag, order[i]);
        EXPECT_EQ(tags[i].data.size() % 2, 0u);
        EXPECT_GE(tags[i].data.size(), tags[i].count);
        EXPECT_GT(tags[i].count, 4u);  // never inside the entry
    }
    EXPECT_EQ(tags[0].count, 5u);
    EXPECT_EQ(tags[0].data, std::string("ab\0\0\0\0", 6));
    EXPECT_EQ(tags[1].count, 6u);
    EXPECT_EQ(tags[2].count, 20u);
    EXPECT_EQ(tags[2].data, std::string("2021:03:05 07:08:09\0", 20));
    EXPECT_EQ(tags[3].data, std::string("Ann\0\0\0", 6));
    EXPECT_EQ(tags[4].count, 12u);
    EXPECT_EQ(tags[4].data, std::string("\xC5\x81ukasz \xE2\x82\xAC\0", 12));
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

TEST(TiffTags, ShortDateIsPaddedWithBlanks)
{
    ImageInfoOwned info;
    info.set(INFO_CREATION_DATE, u"2021:03:05");
    std::vector<TiffTextTag> tags = tiffBuildTextTags(&info);
    ASSERT_EQ(tags.size(), 1u);
    EXPECT_EQ(tags[0].data, std::string("2021:03:05         \0", 20));
}
