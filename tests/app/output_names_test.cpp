#include "app/output_names.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "core/text.h"
#include "support/test_support.h"

using namespace quillon;
namespace fs = std::filesystem;

TEST(OutputNames, KeptSubFolderLevels)
{
    // The source folder /pics/2024/trip: "/" is the first component.
    fs::path src = "/pics/2024/trip";
    EXPECT_EQ(keptSubFolders(src, -2), fs::path("2024/trip/"));
    EXPECT_EQ(keptSubFolders(src, -5), fs::path("pics/2024/trip/")); // the root is never copied
    EXPECT_EQ(keptSubFolders(src, 0), fs::path("pics/2024/trip/"));
    EXPECT_EQ(keptSubFolders(src, 1), fs::path("2024/trip/"));
    EXPECT_EQ(keptSubFolders(src, 3), fs::path());
    EXPECT_EQ(keptSubFolders("/", -1), fs::path());
    // A source named through ".." keeps the output inside the output folder.
    EXPECT_EQ(keptSubFolders("/work/out/../pics", -2), fs::path("out/pics/"));
    EXPECT_EQ(keptSubFolders("/work/./../pics", 0), fs::path("work/pics/"));
}

TEST(OutputNames, FileNamesAndExtensions)
{
    EXPECT_EQ(outputFileName(u"photo.final.tif", u"", u"jpg"), u"photo.final.jpg");
    EXPECT_EQ(outputFileName(u"README", u"", u"jpg"), u"README.jpg");
    EXPECT_EQ(outputFileName(u"a..", u"", u"jpg"), u"a...jpg");
    EXPECT_EQ(outputFileName(u"x.tif", u"day1", u"png"), u"day1.png");
    EXPECT_EQ(outputFileName(u"x.tif", u"1.2b", u"png"), u"1.2b.png");
    EXPECT_EQ(outputFileName(u"x.tif", u"../up/day1", u"png"), u".._up_day1.png");
    // Written by the source's own extension when it has none: no dot left.
    EXPECT_EQ(outputFileName(u"noext", u"", u""), u"noext");
}

TEST(OutputNames, SevenBitNames)
{
    EXPECT_EQ(asciiFileName(u"Caf\u00e9.jpg"), u"Cafe.jpg");
    EXPECT_EQ(asciiFileName(u"\u4E2D\u6587.png"), u"__.png");
    EXPECT_EQ(asciiFileName(u"Stra\u00dfe \u00d7 \u0080.bmp"), u"StraBe x E.bmp");
    // The division sign would become a folder separator: it stays in the name.
    EXPECT_EQ(asciiFileName(u"a\u00f7b"), u"a_b");
    // Every byte of the table is 7-bit.
    for (int i = 0; i < 256; ++i) EXPECT_LT(asciiNameTable[i], 0x80) << i;
    // Names that are not UTF-8 are read by their Latin-1 and Windows-1252
    // bytes, as the table is; a UTF-8 name gives the same 7-bit name.
    EXPECT_EQ(u16ToNameBytes(asciiFileName(pathToU16("caf\xE9.jpg"))), "cafe.jpg");
    EXPECT_EQ(u16ToNameBytes(asciiFileName(pathToU16("\x93quote\x94 \xF7.jpg"))), "\"quote\" _.jpg");
    EXPECT_EQ(asciiFileName(pathToU16("caf\xE9.jpg")), asciiFileName(pathToU16("caf\xC3\xA9.jpg")));
}

TEST(OutputNames, SlotSubFolderNames)
{
    EXPECT_EQ(slotSubFolderName(u"JPEG image file", u"Normal, by Quality:", 85, u"24-bit clr"),
              u"JPEG image file - Normal, by Quality, 85 - 24-bit clr");
    EXPECT_EQ(slotSubFolderName(u"Windows bitmap format", u"Normal", 0, u"Auto"),
              u"Windows bitmap format - Normal - Auto");
    EXPECT_EQ(sanitizeFolderName(u"a\"b*c<d>e/f\\g:h?i|j"), u"a'bxc(d)e,f,g,h,i,j");
}

TEST(OutputNames, DirectoryCreatePath)
{
    test::TempDir dir;
    EXPECT_FALSE(directoryCreatePath(""));
    EXPECT_TRUE(directoryCreatePath(dir / "a/b/c"));
    EXPECT_TRUE(fs::is_directory(dir / "a/b/c"));
    EXPECT_TRUE(directoryCreatePath(dir / "a/b/c")); // already there
    test::writeFile(dir / "file", std::string("x"));
    EXPECT_FALSE(directoryCreatePath(dir / "file/sub"));
}

TEST(OutputNames, TildeIsTheHomeFolder)
{
    const char* saved = std::getenv("HOME");
    std::string keep = saved ? saved : "";
    setenv("HOME", "/home/someone", 1);
    EXPECT_EQ(expandHomeFolder("~"), fs::path("/home/someone"));
    EXPECT_EQ(expandHomeFolder("~/out/"), fs::path("/home/someone/out/"));
    EXPECT_EQ(expandHomeFolder("~other/out"), fs::path("~other/out"));
    EXPECT_EQ(expandHomeFolder("out/~"), fs::path("out/~"));
    EXPECT_EQ(expandHomeFolder("/abs/~/x"), fs::path("/abs/~/x"));
    setenv("HOME", "/", 1);
    EXPECT_EQ(expandHomeFolder("~/x"), fs::path("/x"));
    if (saved) setenv("HOME", keep.c_str(), 1);
    else unsetenv("HOME");
}
