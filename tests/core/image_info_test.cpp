#include "core/image_info.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "core/image.h"

using namespace quillon;

namespace {
std::u16string str(const char16_t* p) { return p ? std::u16string(p) : std::u16string(u"<null>"); }
} // namespace

TEST(InfoBag, BorrowedTextTrimsBlanksAndConvertsOnce)
{
    static const char text[] = "abc  ";
    ImageInfoBag bag;
    infoSetBorrowed(bag, INFO_TITLE, text, 5, BORROW_CP1252);
    EXPECT_EQ(bag.length(INFO_TITLE), 3u);
    EXPECT_EQ(str(bag.get(INFO_TITLE)), u"abc");
    infoSetBorrowed(bag, INFO_COMMENTS, text, 0, BORROW_CP1252);
    EXPECT_EQ(str(bag.get(INFO_COMMENTS)), u"abc  ");

    static const char utf8[] = "Gr\xC3\xBC\xC3\x9F" "e";
    infoSetBorrowed(bag, INFO_AUTHOR, utf8, 0, BORROW_UTF8);
    EXPECT_EQ(bag.encoding(INFO_AUTHOR), ImageInfoBag::ENC_UTF8_NUL);
    const char16_t* first = bag.get(INFO_AUTHOR);
    EXPECT_EQ(str(first), u"Gr\u00FC\u00DFe");
    EXPECT_EQ(bag.encoding(INFO_AUTHOR), ImageInfoBag::ENC_OWNED);
    EXPECT_EQ(bag.get(INFO_AUTHOR), first);

    // Blanks only leave the field empty.
    infoSetBorrowed(bag, INFO_SOURCE, "   ", 3, BORROW_UTF8);
    EXPECT_FALSE(bag.has(INFO_SOURCE));
    EXPECT_EQ(bag.get(INFO_SOURCE), nullptr);
}

TEST(InfoBag, CountedTextIsNeverReadPastItsLength)
{
    // Text that ends exactly at the end of an exact-size block: deciding how
    // to store it must not look at the byte after it (ASan checks).
    std::unique_ptr<char[]> exact(new char[4]{'d', 'a', 't', 'a'});
    ImageInfoBag bag;
    infoSetBorrowed(bag, INFO_COMMENTS, exact.get(), 4, BORROW_CP1252);
    EXPECT_TRUE(bag.has(INFO_COMMENTS));
    EXPECT_EQ(str(bag.get(INFO_COMMENTS)), u"data");

    std::unique_ptr<char[]> utf8(new char[3]{'x', char(0xC3), char(0xA9)});
    infoSetBorrowed(bag, INFO_TITLE, utf8.get(), 3, BORROW_UTF8);
    EXPECT_EQ(str(bag.get(INFO_TITLE)), u"x\u00E9");
}

TEST(InfoBag, LongTextKeepsItsFullLength)
{
    std::string big(70000, 'x');
    ImageInfoBag bag;
    infoSetBorrowed(bag, INFO_COMMENTS, big.data(), uint32_t(big.size()), BORROW_CP1252);
    EXPECT_EQ(std::u16string(bag.get(INFO_COMMENTS)).size(), 70000u);
}

TEST(InfoBag, Utf16BorrowedAlignedAndMisaligned)
{
    alignas(4) static const char16_t aligned[] = u"hello";
    ImageInfoBag bag;
    infoSetBorrowed(bag, INFO_TITLE, aligned, 0, BORROW_UTF16);
    EXPECT_EQ(bag.get(INFO_TITLE), aligned); // NUL-terminated UTF-16 is used in place
    // Misaligned UTF-16 in file data is copied, never dereferenced in place.
    alignas(4) uint8_t raw[16] = {0, 'h', 0, 'i', 0, ' ', 0, 0, 0};
    infoSetBorrowed(bag, INFO_AUTHOR, raw + 1, 3, BORROW_UTF16);
    EXPECT_EQ(str(bag.get(INFO_AUTHOR)), u"hi");
    infoSetBorrowed(bag, INFO_AUTHOR, nullptr, 0, BORROW_UTF16);
    EXPECT_FALSE(bag.has(INFO_AUTHOR));
}

TEST(InfoOwned, SetSanitisesAndCopies)
{
    ImageInfoOwned info;
    info.set(INFO_TITLE, u"  Tab\there");
    EXPECT_EQ(str(info.get(INFO_TITLE)), u"Tab here");
    // Every control character at the range's edges becomes a blank; the
    // first printable one, and DEL beyond the range, stay.
    const char16_t edges[] = {u'a', 0x01, u'b', 0x1F, u'c', 0x20, u'd', 0x7F, u'e', 0};
    info.set(INFO_TITLE, edges);
    const char16_t want[] = {u'a', u' ', u'b', u' ', u'c', u' ', u'd', 0x7F, u'e', 0};
    EXPECT_EQ(str(info.get(INFO_TITLE)), std::u16string(want));
    info.set(INFO_TITLE, u"    ");
    EXPECT_FALSE(info.has(INFO_TITLE));
    info.set(99, u"ignored");
    EXPECT_EQ(info.get(99), nullptr);

    ImageInfoBag bag;
    infoSetText(bag, INFO_AUTHOR, "\x80uro");
    bag.set(INFO_COPYRIGHT, u"(c)");
    ImageInfoOwned copy;
    copy.set(INFO_PAGE, u"kept");
    infoCopyAll(&copy, &bag);
    EXPECT_EQ(str(copy.get(INFO_AUTHOR)), u"\u20ACuro");
    EXPECT_EQ(str(copy.get(INFO_COPYRIGHT)), u"(c)");
    EXPECT_EQ(str(copy.get(INFO_PAGE)), u"kept");
    infoCopyAll(&copy, &copy); // no-op, no crash
    infoCopyAll(&copy, nullptr);
}

TEST(InfoOwned, ImageCopyInfo)
{
    Image* a = imageCreate(PF_GRAY8, packSize(2, 2));
    Image* b = imageCreate(PF_RGBA8, packSize(1, 1));
    ASSERT_TRUE(a && b);
    a->info()->set(INFO_TITLE, u"t");
    EXPECT_TRUE(imageCopyInfo(b, a));
    EXPECT_EQ(str(b->info()->get(INFO_TITLE)), u"t");
    uint32_t pal[2] = {0, 0};
    Image* p = paletteImageCreate(pal, 2);
    EXPECT_FALSE(imageCopyInfo(p, a));
    EXPECT_FALSE(imageCopyInfo(nullptr, a));
    objectRelease(a);
    objectRelease(b);
    objectRelease(p);
}

TEST(InfoParsers, Orientation)
{
    EXPECT_EQ(orientationFromName(u"Unrotated"), 0);
    EXPECT_EQ(orientationFromName(u"Rotated 90"), 1);
    EXPECT_EQ(orientationFromName(u"Rotated 270"), 3);
    EXPECT_EQ(orientationFromName(u"Mirrored"), 8);
    EXPECT_EQ(orientationFromName(u"Bottom-Up"), 4);
    EXPECT_EQ(orientationFromName(u"Rotated 90 & Bottom-Up"), 5);
    EXPECT_EQ(orientationFromName(u"Rotated 270 & Bottom-Up"), 7);
    EXPECT_EQ(orientationFromName(u"rotated 90"), 0);
    EXPECT_EQ(orientationFromName(nullptr), 0);
}

TEST(InfoParsers, Resolution)
{
    uint32_t r[2] = {};
    EXPECT_TRUE(parseResolution(r, u"300 ppi", false));
    EXPECT_EQ(r[0], 11811u);
    EXPECT_EQ(r[1], 11811u);
    EXPECT_TRUE(parseResolution(r, u"72 x 96 PPI", true));
    EXPECT_EQ(r[0], 72u);
    EXPECT_EQ(r[1], 96u);
    EXPECT_TRUE(parseResolution(r, u"3780 ppm", true));
    EXPECT_EQ(r[0], 96u);
    EXPECT_TRUE(parseResolution(r, u"150x ppm", false));
    EXPECT_EQ(r[1], 150u);
    EXPECT_FALSE(parseResolution(r, u"72 dpi", true));
    EXPECT_FALSE(parseResolution(r, u"0 ppi", true));
    EXPECT_FALSE(parseResolution(r, u"", true));
    EXPECT_FALSE(parseResolution(r, nullptr, true));
    // Negative and huge values are refused, never wrapped into a plausible
    // density or pushed through an overflowing float conversion.
    EXPECT_FALSE(parseResolution(r, u"-300 ppi", false));
    EXPECT_FALSE(parseResolution(r, u"4294967295 ppi", false));
    EXPECT_FALSE(parseResolution(r, u"99999999999 ppm", true));
    EXPECT_FALSE(parseResolution(r, u"72 x -5 ppi", true));
}

TEST(InfoParsers, GpsPosition)
{
    GpsPosition g;
    ASSERT_TRUE(parseGpsPosition(g, u"48\u00B051'24.5\" N, 2\u00B021'3\" E"));
    EXPECT_EQ(g.latDegrees, 48u);
    EXPECT_EQ(g.latMinutes, 51u);
    EXPECT_FLOAT_EQ(g.latSeconds, 24.5f);
    EXPECT_EQ(g.latRef, 'N');
    EXPECT_EQ(g.lonDegrees, 2u);
    EXPECT_EQ(g.lonMinutes, 21u);
    EXPECT_FLOAT_EQ(g.lonSeconds, 3.0f);
    EXPECT_EQ(g.lonRef, 'E');
    EXPECT_FALSE(g.hasAltitude);

    ASSERT_TRUE(parseGpsPosition(g, u"48\u00B051'24.5\" N, 2\u00B021'3\" E, 35.2"));
    EXPECT_TRUE(g.hasAltitude);
    EXPECT_FLOAT_EQ(g.altitude, 35.2f);

    // Below sea level keeps its value.
    ASSERT_TRUE(parseGpsPosition(g, u"33\u00B010'0\" s, 70\u00B040'0\" w, -12.5"));
    EXPECT_EQ(g.latRef, 'S');
    EXPECT_EQ(g.lonRef, 'W');
    EXPECT_FLOAT_EQ(g.altitude, -12.5f);
    ASSERT_TRUE(parseGpsPosition(g, u"1\u00B02'3\" N, 4\u00B05'6\" E, -0.5"));
    EXPECT_FLOAT_EQ(g.altitude, -0.5f);

    EXPECT_FALSE(parseGpsPosition(g, u""));
    EXPECT_FALSE(parseGpsPosition(g, u"48"));
    EXPECT_FALSE(parseGpsPosition(g, u"48\u00B051'24.5\""));
    EXPECT_FALSE(parseGpsPosition(g, u"48\u00B051'24.5\" N, "));
    EXPECT_FALSE(parseGpsPosition(g, u"48\u00B051'24.5\" N, 2\u00B021'3\""));
    std::u16string digits(5000, u'9');
    parseGpsPosition(g, (digits + u"\u00B0" + digits + u"'" + digits + u"." + digits).c_str());
}

TEST(InfoParsers, FileTime)
{
    // 2024-03-05 07:08:09 UTC
    EXPECT_EQ(formatFileTime(fileTimeFromUnix(1709622489, 0)), u"2024-03-05, 07:08:09");
    EXPECT_EQ(formatFileTime(fileTimeFromUnix(0, 999999999)), u"1970-01-01, 00:00:00");
    EXPECT_EQ(formatFileTime(0), u"1601-01-01, 00:00:00");
}

TEST(InfoParsers, FileTimeAgreesWithDateTool)
{
    // GNU date is an independent calendar implementation.
    uint64_t seeds[] = {1, 951782400, 4102444799ULL, 2147483647ULL, 1234567890, 3000000000ULL};
    for (uint64_t t : seeds) {
        std::string expect;
        FILE* p = popen(("date -u -d @" + std::to_string(t) + " +'%Y-%m-%d, %H:%M:%S'").c_str(), "r");
        ASSERT_TRUE(p);
        char buf[64] = {};
        if (fgets(buf, sizeof buf, p)) expect = buf;
        pclose(p);
        while (!expect.empty() && expect.back() == '\n') expect.pop_back();
        std::u16string got = formatFileTime(fileTimeFromUnix(int64_t(t), 0));
        EXPECT_EQ(std::string(got.begin(), got.end()), expect) << t;
    }
}
