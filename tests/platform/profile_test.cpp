#include "platform/profile.h"

#include <gtest/gtest.h>

#include "core/text.h"
#include "support/test_support.h"

using namespace quillon;
using quillon::test::TempDir;

namespace {
ProfileFile fromText(std::string_view text)
{
    return ProfileFile::fromBytes(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}
} // namespace

TEST(Profile, LookupRules)
{
    ProfileFile f = fromText("; a comment line\n"
                             "top=outside any section\n"
                             "[Other]\n"
                             "Key=other section\n"
                             "  [ Quillon ]  \r\n"
                             "  Key  =  spaced value  \r\n"
                             "key=second copy\n"
                             ";Hidden=1\n"
                             "Quoted=\"  kept blanks  \"\n"
                             "Single='x'\n"
                             "Twice=\"\"inner\"\"\n"
                             "Uneven=\"open\n"
                             "Empty=\n"
                             "Equals=a=b\n"
                             "[QUILLON]\n"
                             "Late=from the second section\n");
    EXPECT_EQ(f.get(u"quillon", u"KEY"), u"spaced value");
    EXPECT_EQ(f.get(u"Other", u"key"), u"other section");
    EXPECT_FALSE(f.get(u"Quillon", u"Hidden"));
    EXPECT_FALSE(f.get(u"Quillon", u";Hidden"));
    EXPECT_EQ(f.get(u"Quillon", u"Quoted"), u"  kept blanks  ");
    EXPECT_EQ(f.get(u"Quillon", u"Single"), u"x");
    EXPECT_EQ(f.get(u"Quillon", u"Twice"), u"\"inner\"");
    EXPECT_EQ(f.get(u"Quillon", u"Uneven"), u"\"open");
    EXPECT_EQ(f.get(u"Quillon", u"Empty"), u"");
    EXPECT_EQ(f.get(u"Quillon", u"Equals"), u"a=b");
    // Only the first section of a name is read.
    EXPECT_FALSE(f.get(u"Quillon", u"Late"));
    EXPECT_FALSE(f.get(u"Missing", u"Key"));
    EXPECT_EQ(f.getString(u"Quillon", u"Missing", u"fallback"), u"fallback");
    EXPECT_EQ(f.getString(u"Quillon", u"Key", u"", 7), u"spaced");
}

TEST(Profile, SignedIntegers)
{
    ProfileFile f = fromText("[s]\na=-1\nb=+17\nc= 42 trailing\nd=abc\ne=4294967297\nf=-2147483648\ng=\n");
    EXPECT_EQ(f.getInt(u"s", u"a", 5), -1);
    EXPECT_EQ(f.getInt(u"s", u"b", 5), 17);
    EXPECT_EQ(f.getInt(u"s", u"c", 5), 42);
    EXPECT_EQ(f.getInt(u"s", u"d", 5), 5);
    EXPECT_EQ(f.getInt(u"s", u"e", 5), 1); // wraps like a 32-bit register
    EXPECT_EQ(f.getInt(u"s", u"f", 5), INT32_MIN);
    EXPECT_EQ(f.getInt(u"s", u"g", 5), 5);
    EXPECT_EQ(f.getInt(u"s", u"absent", 5), 5);
}

TEST(Profile, EditsKeepTheRestOfTheFile)
{
    ProfileFile f = fromText("; keep me\r\n[A]\r\nx=1\r\ny=2\r\n\r\n[B]\r\nz=3\r\nz=shadowed\r\n");
    EXPECT_TRUE(f.set(u"a", u"Y", u"20"));      // in place
    EXPECT_TRUE(f.set(u"A", u"new", u"n"));      // appended to its section
    EXPECT_TRUE(f.setInt(u"C", u"neg", -5));     // new section at the end
    f.remove(u"b", u"Z");                        // every copy goes
    f.remove(u"nosuch", u"key");
    EXPECT_EQ(f.text(), "; keep me\r\n[A]\r\nx=1\r\nY=20\r\nnew=n\r\n\r\n[B]\r\n[C]\r\nneg=-5\r\n");
    EXPECT_FALSE(f.get(u"B", u"z"));
    EXPECT_EQ(f.getInt(u"C", u"neg", 0), -5);
}

TEST(Profile, ValuesReadBackAsWritten)
{
    ProfileFile f;
    const std::u16string values[] = {u"  leading", u"trailing ", u"\"quoted\"", u"'", u"plain ; not a comment", u""};
    for (size_t i = 0; i < std::size(values); ++i) EXPECT_TRUE(f.set(u"S", asciiToU16("k" + std::to_string(i)), values[i]));
    ProfileFile back = fromText(f.text());
    for (size_t i = 0; i < std::size(values); ++i) EXPECT_EQ(back.get(u"S", asciiToU16("k" + std::to_string(i))), values[i]);
    // A line break cannot be kept: the key is dropped rather than split.
    EXPECT_TRUE(f.set(u"S", u"multi", u"one"));
    EXPECT_FALSE(f.set(u"S", u"multi", u"one\ntwo"));
    EXPECT_FALSE(f.get(u"S", u"multi"));
}

TEST(Profile, ReadsEveryEncodingAndWritesUtf8)
{
    QUILLON_REQUIRE_TOOL("python3");
    TempDir dir;
    const std::string text = "[Quillon]\r\nszOutDir=/tmp/Bilder – é/\r\nbody=€ sign\r\n";
    test::writeFile(dir / "utf8.txt", text);
    // An independent encoder makes the UTF-16 files, both byte orders.
    ASSERT_EQ(test::run("python3 -c \"import sys; d=open(sys.argv[1],encoding='utf-8',newline='').read(); "
                        "open(sys.argv[2],'wb').write(b'\\xff\\xfe'+d.encode('utf-16-le')); "
                        "open(sys.argv[3],'wb').write(b'\\xfe\\xff'+d.encode('utf-16-be')); "
                        "open(sys.argv[4],'wb').write(d.replace('–','-').encode('cp1252')); "
                        "open(sys.argv[5],'wb').write(b'\\xef\\xbb\\xbf'+d.encode('utf-8'))\" " +
                        test::shellQuote((dir / "utf8.txt").string()) + " " + test::shellQuote((dir / "le.txt").string()) +
                        " " + test::shellQuote((dir / "be.txt").string()) + " " +
                        test::shellQuote((dir / "cp1252.txt").string()) + " " + test::shellQuote((dir / "bom8.txt").string())),
              0);
    for (const char* name : {"utf8.txt", "le.txt", "be.txt", "bom8.txt"}) {
        ProfileFile f(dir / name);
        EXPECT_TRUE(f.readable()) << name;
        EXPECT_EQ(f.get(u"Quillon", u"szOutDir"), u"/tmp/Bilder – é/") << name;
        EXPECT_EQ(f.get(u"Quillon", u"body"), u"€ sign") << name;
    }
    ProfileFile ansi(dir / "cp1252.txt");
    EXPECT_EQ(ansi.get(u"Quillon", u"szOutDir"), u"/tmp/Bilder - é/");
    EXPECT_EQ(ansi.get(u"Quillon", u"body"), u"€ sign");

    // A UTF-16 file is rewritten as UTF-8, keeping its line ends.
    ProfileFile le(dir / "le.txt");
    le.set(u"Quillon", u"added", u"ü");
    ASSERT_TRUE(le.save(dir / "le.txt"));
    std::string expected = text + "added=ü\r\n";
    EXPECT_EQ(test::readFile(dir / "le.txt"), std::vector<uint8_t>(expected.begin(), expected.end()));

    ProfileFile missing(dir / "nope.ini");
    EXPECT_FALSE(missing.readable());
    EXPECT_FALSE(missing.get(u"Quillon", u"szOutDir"));
}

// ";" opens a comment only as a line's first character after blanks; after
// a value it belongs to the value, as the README tells preset writers.
TEST(Profile, CommentsOnlyStartLines)
{
    ProfileFile f = fromText("[Quillon]\n"
                             "  \t; Indented=1\n"
                             "iCompParam0=90 ; quality\n"
                             "szOutDir=/srv/out ; photos\n");
    EXPECT_FALSE(f.get(u"Quillon", u"Indented"));
    EXPECT_FALSE(f.get(u"Quillon", u"; Indented"));
    EXPECT_EQ(f.get(u"Quillon", u"iCompParam0"), u"90 ; quality");
    EXPECT_EQ(f.get(u"Quillon", u"szOutDir"), u"/srv/out ; photos");
}
