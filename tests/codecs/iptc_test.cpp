#include "codecs/main/iptc.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "codecs/main/exif.h"
#include "codecs/main/xmp.h"
#include "metadata_test_util.h"

using namespace quillon;
using namespace quillon::test;
using namespace quillon::test::meta;

namespace {

const std::string kPhotoshopPrefix("Photoshop 3.0\0", 14);

std::vector<uint8_t> resource(uint16_t id, const std::vector<uint8_t>& data, const std::string& name = "",
                              const char* signature = "8BIM")
{
    std::vector<uint8_t> r(signature, signature + 4);
    r.push_back(uint8_t(id >> 8));
    r.push_back(uint8_t(id));
    r.push_back(uint8_t(name.size()));
    r.insert(r.end(), name.begin(), name.end());
    if ((name.size() + 1) & 1) r.push_back(0);
    uint32_t n = uint32_t(data.size());
    r.insert(r.end(), {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)});
    r.insert(r.end(), data.begin(), data.end());
    if (n & 1) r.push_back(0);
    return r;
}

std::vector<uint8_t> dataset(uint8_t number, const std::string& text, uint8_t record = 2)
{
    std::vector<uint8_t> d{0x1C, record, number, uint8_t(text.size() >> 8), uint8_t(text.size())};
    d.insert(d.end(), text.begin(), text.end());
    return d;
}

std::vector<uint8_t> cat(std::initializer_list<std::vector<uint8_t>> parts)
{
    std::vector<uint8_t> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

} // namespace

TEST(Iptc, ReadsWhatExiftoolWroteAndExifWinsInsideOneBlock)
{
    QUILLON_REQUIRE_TOOL("exiftool");
    QUILLON_REQUIRE_TOOL("convert");
    TempDir dir;
    std::string args = "-IPTC:ObjectName=Obj '-IPTC:By-line=Bob B' -IPTC:Source=Src '-IPTC:CopyrightNotice=(c) B'"
                       " '-IPTC:Caption-Abstract=A caption  ' -IPTC:DateCreated=2021:03:05";
    for (int i = 1; i <= 12; ++i) args += " -IPTC:Keywords=k" + std::to_string(i);
    std::vector<uint8_t> jpeg = exiftoolTagged(dir, args);
    std::vector<uint8_t> block = jpegSegment(jpeg, 0xED, kPhotoshopPrefix);
    ASSERT_FALSE(block.empty());
    ImageInfoBag bag;
    psResourcesParse(bag, block.data(), block.size());
    EXPECT_EQ(fieldUtf8(bag, INFO_TITLE), "Obj");
    EXPECT_EQ(fieldUtf8(bag, INFO_AUTHOR), "Bob B");
    EXPECT_EQ(fieldUtf8(bag, INFO_SOURCE), "Src");
    EXPECT_EQ(fieldUtf8(bag, INFO_COPYRIGHT), "(c) B");
    EXPECT_EQ(fieldUtf8(bag, INFO_COMMENTS), "A caption");
    EXPECT_EQ(fieldUtf8(bag, INFO_CREATION_DATE), "2021:03:05");
    for (int i = 0; i < 9; ++i) EXPECT_EQ(fieldUtf8(bag, INFO_KEYWORD_FIRST + i), "k" + std::to_string(i + 1));

    // The same IPTC data behind an EXIF resource that names another author,
    // even when the EXIF resource comes later in the block.
    ImageInfoOwned exifInfo;
    exifInfo.set(INFO_AUTHOR, u"Ann");
    exifInfo.set(INFO_CAMERA_MAKE, u"Make");
    exifInfo.set(INFO_CAMERA_MODEL, u"Model");
    std::vector<uint8_t> exif(exifBlockSize(&exifInfo));
    exifBlockWrite(exif.data(), &exifInfo);
    std::vector<uint8_t> both = cat({block, resource(PS_RESOURCE_EXIF, exif)});
    ImageInfoBag bag2;
    psResourcesParse(bag2, both.data(), both.size());
    EXPECT_EQ(fieldUtf8(bag2, INFO_AUTHOR), "Ann");
    EXPECT_EQ(fieldUtf8(bag2, INFO_TITLE), "Obj");
}

TEST(Iptc, Utf8TextsAreReadAsUtf8UnlessAnotherCharsetIsDeclared)
{
    QUILLON_REQUIRE_TOOL("exiftool");
    QUILLON_REQUIRE_TOOL("convert");
    TempDir dir;
    const std::string grosse = "Gr\xC3\xB6\xC3\x9F" "e", jorg = "J\xC3\xB6rg";
    // Texts whose first byte is beyond ASCII in every encoding.
    const std::string copyright = "\xC2\xA9 2021 Zo\xC3\xAB M\xC3\xBCller", eclair = "\xC3\x89" "clair",
                      lukasz = "\xC5\x81ukasz Nowak", photo = "\xE5\x86\x99\xE7\x9C\x9F of Zo\xC3\xAB",
                      orsted = "\xC3\x98rsted";
    // UTF-8 without a declared character set, Windows-1252 (exiftool's
    // default, which has no Polish or Japanese letters), and UTF-8 declared
    // in the envelope record.
    struct Case {
        const char* charset;
        std::string byline, title;
    } cases[] = {
        {"-charset iptc=UTF8", lukasz, photo},
        {"", jorg, orsted},
        {"-IPTC:CodedCharacterSet=UTF8", lukasz, photo},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.charset);
        std::vector<uint8_t> jpeg = exiftoolTagged(
            dir,
            std::string(c.charset) + " '-IPTC:Caption-Abstract=" + grosse + "' '-IPTC:By-line=" + c.byline +
                "' '-IPTC:ObjectName=" + c.title + "' '-IPTC:CopyrightNotice=" + copyright + "' '-IPTC:Keywords=" +
                eclair + "' '-IPTC:Source=" + orsted + "'",
            "c" + std::to_string(n++) + ".jpg");
        std::vector<uint8_t> block = jpegSegment(jpeg, 0xED, kPhotoshopPrefix);
        ASSERT_FALSE(block.empty());
        ImageInfoBag bag;
        psResourcesParse(bag, block.data(), block.size());
        EXPECT_EQ(fieldUtf8(bag, INFO_COMMENTS), grosse);
        EXPECT_EQ(fieldUtf8(bag, INFO_AUTHOR), c.byline);
        EXPECT_EQ(fieldUtf8(bag, INFO_TITLE), c.title);
        EXPECT_EQ(fieldUtf8(bag, INFO_COPYRIGHT), copyright);
        EXPECT_EQ(fieldUtf8(bag, INFO_KEYWORD_FIRST), eclair);
        EXPECT_EQ(fieldUtf8(bag, INFO_SOURCE), orsted);
    }
    // Declared ISO 8859-1 (ESC . A): the same bytes are Latin letters.
    std::vector<uint8_t> latin = cat({dataset(90, "\x1B.A", 1), dataset(120, grosse)});
    ImageInfoBag bag;
    iptcParse(bag, latin.data(), latin.size());
    EXPECT_EQ(fieldUtf8(bag, INFO_COMMENTS), "Gr\xC3\x83\xC2\xB6\xC3\x83\xC5\xB8" "e");
}

TEST(Iptc, ResourceWalk)
{
    std::string packet =
        "<?xpacket begin='' id='W5M0MpCehiHzreSzNTczkc9d'?><rdf:Description xmlns:tiff='http://ns.adobe.com/tiff/"
        "1.0/'><tiff:Make>XmpMake</tiff:Make></rdf:Description>";
    std::vector<uint8_t> xmp(packet.begin(), packet.end());
    // An odd-sized IPTC resource with a name, then the XMP one.
    std::vector<uint8_t> iptc = dataset(5, "Odds");
    ASSERT_EQ(iptc.size() % 2, 1u);
    std::vector<uint8_t> block = cat({resource(1000, {1, 2, 3}, "x", "MeSa"), resource(PS_RESOURCE_IPTC, iptc, "ab"),
                                      resource(PS_RESOURCE_XMP, xmp)});
    ImageInfoBag bag;
    psResourcesParse(bag, block.data(), block.size());
    EXPECT_EQ(fieldUtf8(bag, INFO_TITLE), "Odds");
    EXPECT_EQ(fieldUtf8(bag, INFO_CAMERA_MAKE), "XmpMake");

    // Two EXIF resources: only the second counts.
    ImageInfoOwned a, b;
    for (ImageInfoOwned* info : {&a, &b}) {
        info->set(INFO_CAMERA_MAKE, info == &a ? u"First" : u"Second");
        info->set(INFO_CAMERA_MODEL, u"M");
        info->set(INFO_TITLE, u"T");
    }
    std::vector<uint8_t> ea(exifBlockSize(&a)), eb(exifBlockSize(&b));
    exifBlockWrite(ea.data(), &a);
    exifBlockWrite(eb.data(), &b);
    std::vector<uint8_t> twice = cat({resource(PS_RESOURCE_EXIF, ea), resource(PS_RESOURCE_EXIF, eb)});
    ImageInfoBag bag2;
    psResourcesParse(bag2, twice.data(), twice.size());
    EXPECT_EQ(fieldUtf8(bag2, INFO_CAMERA_MAKE), "Second");

    // A resource claiming more than 100 MiB ends the walk even when the
    // data holds it; a resource cut by the end of the data ends it too.
    std::vector<uint8_t> huge = resource(PS_RESOURCE_IPTC, dataset(5, "Big"));
    huge[8] = 0x06, huge[9] = 0x40, huge[10] = 0, huge[11] = 1;  // 0x6400001 bytes
    huge.resize(huge.size() + 0x6400001, 0);
    std::vector<uint8_t> after = resource(PS_RESOURCE_XMP, xmp);
    huge.insert(huge.end(), after.begin(), after.end());
    ImageInfoBag bag3;
    psResourcesParse(bag3, huge.data(), huge.size());
    EXPECT_FALSE(bag3.has(INFO_TITLE));
    EXPECT_FALSE(bag3.has(INFO_CAMERA_MAKE));
    std::vector<uint8_t> cut = resource(PS_RESOURCE_IPTC, dataset(5, "Cut"));
    ImageInfoBag bag4;
    psResourcesParse(bag4, cut.data(), cut.size() - 2);
    EXPECT_FALSE(bag4.has(INFO_TITLE));
}

TEST(Iptc, DatasetsAreBoundedAndExtendedLengthsSkipped)
{
    // Extended length (top bit set, 2 length bytes) on a caption, then a
    // title that must still be found after it.
    std::vector<uint8_t> ext{0x1C, 2, 120, 0x80, 0x02, 0x00, 0x04, 'L', 'o', 'n', 'g'};
    std::vector<uint8_t> block = cat({ext, dataset(5, "Title")});
    ImageInfoBag bag;
    iptcParse(bag, block.data(), block.size());
    EXPECT_EQ(fieldUtf8(bag, INFO_TITLE), "Title");
    EXPECT_FALSE(bag.has(INFO_COMMENTS));

    // A caption whose length runs past the block: nothing is borrowed. The
    // backing bytes go on, so reading past the block would show.
    std::vector<uint8_t> backing = dataset(120, std::string(100, 'x'));
    ImageInfoBag bag2;
    iptcParse(bag2, backing.data(), 5 + 10);
    EXPECT_FALSE(bag2.has(INFO_COMMENTS));

    // Other records, empty data and unknown datasets are passed over; blanks
    // set nothing. A first byte beyond ASCII is text like any other (not
    // UTF-8 here, so Windows-1252).
    std::vector<uint8_t> mixed = cat({dataset(5, "One", 1), dataset(5, ""), dataset(5, "\xE9t\xE9"), dataset(200, "x"),
                                      dataset(80, "   "), dataset(80, "Au  ")});
    ImageInfoBag bag3;
    iptcParse(bag3, mixed.data(), mixed.size());
    EXPECT_EQ(fieldUtf8(bag3, INFO_TITLE), "\xC3\xA9t\xC3\xA9");
    EXPECT_EQ(fieldUtf8(bag3, INFO_AUTHOR), "Au");
}

TEST(Iptc, KeywordsAreTakenWholeOnlyIntoAnEmptyListWithoutBlanksOrRepeats)
{
    auto keywords = [](const ImageInfo& info) {
        std::string all;
        for (int f = INFO_KEYWORD_FIRST; f <= INFO_KEYWORD_LAST; ++f) all += fieldUtf8(info, f) + "|";
        return all;
    };
    std::vector<uint8_t> block;
    for (const char* k : {"k1", "  ", "k2", "k1", "k2  ", "k3"}) block = cat({block, dataset(25, k)});
    ImageInfoBag fresh;
    iptcParse(fresh, block.data(), block.size());
    EXPECT_EQ(keywords(fresh), "k1|k2|k3|||||||");
    // A list from another source, even one that leaves its first field
    // empty, is kept whole: the two lists are never mixed.
    for (int f : {int(INFO_KEYWORD_FIRST), INFO_KEYWORD_FIRST + 1}) {
        ImageInfoBag bag;
        bag.set(f, u"xmp");
        iptcParse(bag, block.data(), block.size());
        EXPECT_EQ(keywords(bag), f == INFO_KEYWORD_FIRST ? "xmp|||||||||" : "|xmp||||||||");
    }
    // Twelve distinct keywords: the first nine.
    std::vector<uint8_t> twelve;
    for (int i = 1; i <= 12; ++i) twelve = cat({twelve, dataset(25, "k" + std::to_string(i))});
    ImageInfoBag bag;
    iptcParse(bag, twelve.data(), twelve.size());
    EXPECT_EQ(keywords(bag), "k1|k2|k3|k4|k5|k6|k7|k8|k9|");
}

namespace {

// The UTF-8 text of at most `limit` bytes that keeps whole characters of
// `text`, without trailing blanks.
std::string utf8Prefix(const std::string& text, size_t limit)
{
    std::string out;
    for (size_t i = 0; i < text.size();) {
        uint8_t lead = uint8_t(text[i]);
        size_t n = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        if (out.size() + n > limit) break;
        out += text.substr(i, n);
        i += n;
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

std::string repeated(const std::string& unit, size_t times)
{
    std::string s;
    for (size_t i = 0; i < times; ++i) s += unit;
    return s;
}

} // namespace

TEST(Iptc, WrittenAsUtf8WithinTheStandardLimitsAndReadBackByExiftool)
{
    // Each text is longer than its dataset may be, in characters of one to
    // four bytes, so most cuts fall inside a character.
    struct Case {
        int field;
        const char* tag;
        size_t limit;
        std::string text;
    } cases[] = {
        {INFO_TITLE, "ObjectName", 64, "\xE5\x86\x99\xE7\x9C\x9F of " + repeated("Zo\xC3\xAB \xE5\x86\x99 ", 12)},
        {INFO_AUTHOR, "By-line", 32, "\xC5\x81ukasz " + repeated("\xC5\xBB", 20)},
        {INFO_COPYRIGHT, "CopyrightNotice", 128, repeated("\xC2\xA9 2021 Zo\xC3\xAB M\xC3\xBCller ", 10)},
        // Longer than a dataset length can say: cut, never wrapped.
        {INFO_COMMENTS, "Caption-Abstract", 2000, repeated("Cr\xC3\xA8me br\xC3\xBBl\xC3\xA9" "e ", 5000)},
        {INFO_KEYWORD_FIRST, "Keywords", 64, "a" + repeated("\xC3\x89" "clair", 20)},
        {INFO_SOURCE, "Source", 32, "S" + repeated("\xF0\x9F\x98\x80", 20)},
    };
    ImageInfoOwned info;
    for (const Case& c : cases) info.set(c.field, utf8ToU16(c.text).c_str());
    info.set(INFO_CREATION_DATE, u"21/3/5 7:08:09");
    std::string moreKeywords;
    for (int i = 1; i < 9; ++i) {
        info.set(INFO_KEYWORD_FIRST + i, asciiToU16("k" + std::to_string(i)).c_str());
        moreKeywords += "|k" + std::to_string(i);
    }
    uint32_t n = iptcMeasure(&info);
    std::vector<uint8_t> out(n + 16, 0xEE);
    ASSERT_EQ(iptcWrite(out.data(), &info), n);
    EXPECT_EQ(out[n], 0xEE);
    out.resize(n);
    // The character set comes first, as the envelope record must.
    ASSERT_GE(out.size(), 8u);
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 8),
              (std::vector<uint8_t>{0x1C, 1, 90, 0, 3, 0x1B, '%', 'G'}));
    ImageInfoBag bag;
    iptcParse(bag, out.data(), out.size());
    for (const Case& c : cases) EXPECT_EQ(fieldUtf8(bag, c.field), utf8Prefix(c.text, c.limit)) << c.tag;
    EXPECT_EQ(fieldUtf8(bag, INFO_CREATION_DATE), "2021:03:05");

    QUILLON_REQUIRE_TOOL("exiftool");
    QUILLON_REQUIRE_TOOL("convert");
    TempDir dir;
    std::filesystem::path file = dir / "ours.jpg";
    writeFile(file, withSegment(plainJpeg(dir), 0xED, kPhotoshopPrefix, resource(PS_RESOURCE_IPTC, out)));
    auto m = exiftoolJson(file);
    for (const Case& c : cases) {
        const std::string expected = utf8Prefix(c.text, c.limit);
        EXPECT_EQ(m[c.tag], expected + (c.field == INFO_KEYWORD_FIRST ? moreKeywords : "")) << c.tag;
        EXPECT_GT(expected.size() + 4, c.limit) << c.tag;  // cut no shorter than it must be
    }
    EXPECT_EQ(m["CodedCharacterSet"], "\x1B%G");
    EXPECT_EQ(m["DateCreated"], "2021:03:05");
    for (const std::string& w : exiftoolWarnings(file)) ADD_FAILURE() << w;
}

TEST(Iptc, AsciiTextsAreWrittenByteForByteWithoutACharacterSet)
{
    ImageInfoOwned info;
    info.set(INFO_TITLE, u"Obj");
    info.set(INFO_COMMENTS, u"A caption");
    info.set(INFO_AUTHOR, u"Bob B");
    info.set(INFO_KEYWORD_FIRST, u"k0");
    info.set(INFO_KEYWORD_FIRST + 1, u"k1");
    std::vector<uint8_t> out(iptcMeasure(&info));
    ASSERT_EQ(iptcWrite(out.data(), &info), out.size());
    EXPECT_EQ(out, cat({dataset(5, "Obj"), dataset(120, "A caption"), dataset(80, "Bob B"), dataset(25, "k0"),
                        dataset(25, "k1")}));
}

TEST(Iptc, DateThatIsNoDateIsWrittenAsItIs)
{
    ImageInfoOwned info;
    info.set(INFO_CREATION_DATE, u"last summer");
    std::vector<uint8_t> out(iptcMeasure(&info));
    ASSERT_EQ(iptcWrite(out.data(), &info), out.size());
    ImageInfoBag bag;
    iptcParse(bag, out.data(), out.size());
    EXPECT_EQ(fieldUtf8(bag, INFO_CREATION_DATE), "last summer");

    // Time Created joins the date in either order, as far as it reads as a
    // time; a date with unknown parts (00) stays as it came.
    const std::pair<std::vector<uint8_t>, std::string> read[] = {
        {cat({dataset(60, "143000+0100"), dataset(55, "20091229")}), "2009:12:29 14:30:00+01:00"},
        {cat({dataset(55, "20091229"), dataset(60, "235959-0530"), dataset(55, "20100101")}),
         "2009:12:29 23:59:59-05:30"},
        {cat({dataset(55, "20091229"), dataset(60, "143000")}), "2009:12:29 14:30:00"},
        {cat({dataset(55, "20091229"), dataset(60, "1430")}), "2009:12:29"},
        {cat({dataset(55, "20091229"), dataset(60, "996000+0100")}), "2009:12:29"},
        {cat({dataset(55, "20090000"), dataset(60, "143000")}), "20090000"},
    };
    for (const auto& [block, want] : read) {
        ImageInfoBag b;
        iptcParse(b, block.data(), block.size());
        EXPECT_EQ(fieldUtf8(b, INFO_CREATION_DATE), want);
    }
}

TEST(Iptc, HostileBlocksNeverCrash)
{
    std::vector<uint8_t> iptc;
    for (int i = 0; i < 5; ++i) iptc = cat({iptc, dataset(uint8_t(i ? 25 : 5), "val" + std::to_string(i))});
    std::vector<uint8_t> good = cat({resource(PS_RESOURCE_IPTC, iptc, "n"), resource(PS_RESOURCE_XMP, iptc)});
    std::mt19937 rng(5);
    for (size_t cut = 0; cut <= good.size(); ++cut) {
        std::vector<uint8_t> part(good.begin(), good.begin() + cut);
        ImageInfoBag bag;
        psResourcesParse(bag, part.data(), part.size());
        iptcParse(bag, part.data(), part.size());
    }
    for (int round = 0; round < 3000; ++round) {
        std::vector<uint8_t> bad = good;
        for (int k = 0; k < 3; ++k) bad[rng() % bad.size()] = uint8_t(rng());
        ImageInfoBag bag;
        psResourcesParse(bag, bad.data(), bad.size());
        iptcParse(bag, bad.data(), bad.size());
        ImageInfoOwned copy;
        infoCopyAll(&copy, &bag);
    }
}

// A Keywords dataset of control characters only is as blank as one of
// spaces: it takes no place in the list.
TEST(Iptc, KeywordsOfControlCharactersAreBlank)
{
    std::vector<uint8_t> block;
    for (const char* k : {"\t", "k1", "\r\n", " \t ", "k2"}) block = cat({block, dataset(25, k)});
    ImageInfoBag bag;
    iptcParse(bag, block.data(), block.size());
    std::string all;
    for (int f = INFO_KEYWORD_FIRST; f <= INFO_KEYWORD_LAST; ++f) all += fieldUtf8(bag, f) + "|";
    EXPECT_EQ(all, "k1|k2||||||||");
}
