#include "codecs/main/xmp.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "metadata_test_util.h"
#include "platform/output_file.h"

using namespace quillon;
using namespace quillon::test;
using namespace quillon::test::meta;

namespace {

const std::string kXmpPrefix(kXmpJpegIdentifier);

const char* kXmpArgs =
    " '-XMP-dc:Title=A & B <c> \"q\"' -XMP-dc:Creator=Jo '-XMP-dc:Description=Caf\xC3\xA9 \xE4\xB8\xAD'"
    " '-XMP-dc:Rights=(c) Jo' -XMP-tiff:Make=Canon '-XMP-tiff:Model=EOS 5' -XMP-tiff:XResolution=300"
    " -XMP-tiff:YResolution=300 -XMP-tiff:ResolutionUnit#=2 '-XMP-xmp:CreateDate=2021:03:05 07:08:09'"
    " '-XMP-exif:GPSLatitude=48.8568 S' '-XMP-exif:GPSLongitude=2.3508 W' -XMP-exif:GPSAltitude=12"
    " -XMP-exif:GPSAltitudeRef#=1";

std::string subjectArgs(int n)
{
    std::string s;
    for (int i = 1; i <= n; ++i) s += " -XMP-dc:Subject=k" + std::to_string(i);
    return s;
}

void expectExiftoolFields(const ImageInfo& bag)
{
    EXPECT_EQ(fieldUtf8(bag, INFO_TITLE), "A & B <c> \"q\"");
    EXPECT_EQ(fieldUtf8(bag, INFO_AUTHOR), "Jo");
    EXPECT_EQ(fieldUtf8(bag, INFO_COMMENTS), "Caf\xC3\xA9 \xE4\xB8\xAD");
    EXPECT_EQ(fieldUtf8(bag, INFO_COPYRIGHT), "(c) Jo");
    EXPECT_EQ(fieldUtf8(bag, INFO_CAMERA_MAKE), "Canon");
    EXPECT_EQ(fieldUtf8(bag, INFO_CAMERA_MODEL), "EOS 5");
    EXPECT_EQ(fieldUtf8(bag, INFO_DENSITY), "300 x 300 ppi");
    EXPECT_EQ(fieldUtf8(bag, INFO_CREATION_DATE), "2021-03-05T07:08:09");
    EXPECT_EQ(fieldUtf8(bag, INFO_GPS), "48\u00B051'24.48\" S, 2\u00B021'2.88\" W, -12m");
    for (int i = 0; i < 9; ++i) EXPECT_EQ(fieldUtf8(bag, INFO_KEYWORD_FIRST + i), "k" + std::to_string(i + 1));
}

std::vector<uint8_t> exiftoolPacket(const TempDir& dir, const std::string& args)
{
    std::vector<uint8_t> jpeg = exiftoolTagged(dir, args);
    return jpegSegment(jpeg, 0xE1, kXmpPrefix);
}

std::vector<uint8_t> toUtf16(const std::vector<uint8_t>& utf8, bool bigEndian)
{
    std::u16string w = utf8ToU16(std::string_view(reinterpret_cast<const char*>(utf8.data()), utf8.size()));
    std::vector<uint8_t> out;
    for (char16_t c : w) {
        if (bigEndian) out.insert(out.end(), {uint8_t(c >> 8), uint8_t(c)});
        else out.insert(out.end(), {uint8_t(c), uint8_t(c >> 8)});
    }
    return out;
}

std::vector<uint8_t> build(const ImageInfo& info)
{
    XmpBuildState count;
    size_t n = xmpBuild(count, &info);
    std::vector<uint8_t> out(n);
    if (n) {
        XmpBuildState fill(out.data());
        EXPECT_EQ(xmpBuild(fill, &info), n);
        EXPECT_EQ(size_t(fill.write - out.data()), n);
    }
    return out;
}

} // namespace

TEST(Xmp, ReadsExiftoolPacketsInElementAndAttributeForms)
{
    QUILLON_REQUIRE_TOOL("exiftool");
    QUILLON_REQUIRE_TOOL("convert");
    TempDir dir;
    for (const char* form : {"", " -api XMPShorthand=1"}) {
        SCOPED_TRACE(form);
        std::vector<uint8_t> packet = exiftoolPacket(dir, std::string(kXmpArgs) + subjectArgs(12) + form);
        ASSERT_FALSE(packet.empty());
        ImageInfoBag bag;
        xmpParse(bag, packet.data(), packet.size());
        expectExiftoolFields(bag);
    }
}

TEST(Xmp, Utf16LittleEndianIsReadAndBigEndianIgnored)
{
    QUILLON_REQUIRE_TOOL("exiftool");
    QUILLON_REQUIRE_TOOL("convert");
    TempDir dir;
    std::vector<uint8_t> packet = exiftoolPacket(dir, std::string(kXmpArgs) + subjectArgs(12));
    std::vector<uint8_t> le = toUtf16(packet, false), be = toUtf16(packet, true);
    // Odd offsets inside a file are common; the reader must not care.
    std::vector<uint8_t> shifted(le.size() + 1);
    std::memcpy(shifted.data() + 1, le.data(), le.size());
    ImageInfoBag bag;
    xmpParse(bag, shifted.data() + 1, le.size());
    expectExiftoolFields(bag);
    ImageInfoBag none;
    xmpParse(none, be.data(), be.size());
    for (int f = 0; f < INFO_FIELD_COUNT; ++f) EXPECT_FALSE(none.has(f)) << f;
}

TEST(Xmp, DensityOnlyFillsAnEmptyField)
{
    QUILLON_REQUIRE_TOOL("exiftool");
    QUILLON_REQUIRE_TOOL("convert");
    TempDir dir;
    std::vector<uint8_t> packet =
        exiftoolPacket(dir, "-XMP-tiff:XResolution=300 -XMP-tiff:YResolution=300 -XMP-tiff:ResolutionUnit#=2");
    ImageInfoBag bag;
    bag.set(INFO_DENSITY, u"72 x 72 ppi");
    xmpParse(bag, packet.data(), packet.size());
    EXPECT_EQ(fieldUtf8(bag, INFO_DENSITY), "72 x 72 ppi");
    std::vector<uint8_t> cm =
        exiftoolPacket(dir, "-XMP-tiff:XResolution=50 -XMP-tiff:YResolution=40 -XMP-tiff:ResolutionUnit#=3");
    ImageInfoBag bag2;
    xmpParse(bag2, cm.data(), cm.size());
    EXPECT_EQ(fieldUtf8(bag2, INFO_DENSITY), "5000 x 4000 ppm");
}

namespace {

void setAll(ImageInfoOwned& info)
{
    info.set(INFO_TITLE, u"Fish & <chips> \"here\" 'there'");
    info.set(INFO_AUTHOR, u"J\u00F6rg \U0001F600");
    info.set(INFO_COMMENTS, u"</dc:description><dc:rights>injected</dc:rights>");
    info.set(INFO_COPYRIGHT, u"\u00A9 2021");
    info.set(INFO_CREATION_DATE, u"21/3/5 7:08:09");
    info.set(INFO_DENSITY, u"300 x 200 ppi");
    info.set(INFO_CAMERA_MAKE, u"Canon");
    info.set(INFO_CAMERA_MODEL, u"EOS R&D");
    info.set(INFO_GPS, u"48\u00B051'24.499\" S, 2\u00B021'59.996\" W, -12m");
    for (int i = 0; i < 9; ++i) info.set(INFO_KEYWORD_FIRST + i, asciiToU16("kw" + std::to_string(i)).c_str());
}

} // namespace

TEST(Xmp, WrittenPacketReadsBackInExiftoolWithoutWarnings)
{
    QUILLON_REQUIRE_TOOL("exiftool");
    QUILLON_REQUIRE_TOOL("convert");
    TempDir dir;
    ImageInfoOwned info;
    setAll(info);
    std::vector<uint8_t> packet = build(info);
    ASSERT_FALSE(packet.empty());
    std::filesystem::path file = dir / "ours.jpg";
    writeFile(file, withSegment(plainJpeg(dir), 0xE1, kXmpPrefix, packet));
    auto m = exiftoolJson(file);
    EXPECT_EQ(m["Title"], "Fish & <chips> \"here\" 'there'");
    EXPECT_EQ(m["Creator"], "J\xC3\xB6rg \xF0\x9F\x98\x80");
    EXPECT_EQ(m["Description"], "</dc:description><dc:rights>injected</dc:rights>");
    EXPECT_EQ(m["Rights"], "\xC2\xA9 2021");
    EXPECT_EQ(m["CreateDate"], "2021:03:05 07:08:09");
    EXPECT_EQ(m["XResolution"], "300");
    EXPECT_EQ(m["YResolution"], "200");
    EXPECT_EQ(m["ResolutionUnit"], "2");
    EXPECT_EQ(m["Make"], "Canon");
    EXPECT_EQ(m["Model"], "EOS R&D");
    EXPECT_NEAR(std::stod(m["GPSLatitude"]), -(48 + 51 / 60.0 + 24.5 / 3600), 1e-7);
    EXPECT_NEAR(std::stod(m["GPSLongitude"]), -(2 + 22 / 60.0), 1e-7);
    EXPECT_EQ(m["GPSAltitude"], "-12");  // exiftool signs it by the reference
    EXPECT_EQ(m["GPSAltitudeRef"], "1");
    EXPECT_EQ(m["Subject"], "kw0|kw1|kw2|kw3|kw4|kw5|kw6|kw7|kw8");
    for (const std::string& w : exiftoolWarnings(file)) ADD_FAILURE() << w;
}

TEST(Xmp, WrittenPacketIsWellFormedXmlThatXmllintReadsBack)
{
    // exiftool forgives a bare "&"; an XML parser does not.
    QUILLON_REQUIRE_TOOL("xmllint");
    TempDir dir;
    ImageInfoOwned info;
    setAll(info);
    std::vector<uint8_t> packet = build(info);
    const std::filesystem::path file = dir / "packet.xml";
    writeFile(file, packet);
    EXPECT_EQ(run("xmllint --noout " + shellQuote(file.string()) + " 2>/dev/null"), 0);
    auto text = [&](const char* property, const char* item) {
        std::string path = std::string("string(//*[local-name()='") + property + "']" + item + ")";
        std::string out =
            runOutput("xmllint --xpath " + shellQuote(path) + " " + shellQuote(file.string()) + " 2>/dev/null");
        if (!out.empty() && out.back() == '\n') out.pop_back();
        return out;
    };
    EXPECT_EQ(text("title", "//*[local-name()='li']"), fieldUtf8(info, INFO_TITLE));
    EXPECT_EQ(text("creator", "//*[local-name()='li']"), fieldUtf8(info, INFO_AUTHOR));
    EXPECT_EQ(text("description", "//*[local-name()='li']"), fieldUtf8(info, INFO_COMMENTS));
    EXPECT_EQ(text("Model", ""), "EOS R&D");
}

TEST(Xmp, WrittenPacketReadsBackHere)
{
    ImageInfoOwned info;
    setAll(info);
    std::vector<uint8_t> packet = build(info);
    ImageInfoBag bag;
    xmpParse(bag, packet.data(), packet.size());
    for (int f : {INFO_TITLE, INFO_AUTHOR, INFO_COMMENTS, INFO_COPYRIGHT, INFO_CAMERA_MAKE, INFO_CAMERA_MODEL})
        EXPECT_EQ(fieldUtf8(bag, f), fieldUtf8(info, f)) << f;
    for (int f = INFO_KEYWORD_FIRST; f <= INFO_KEYWORD_LAST; ++f) EXPECT_EQ(fieldUtf8(bag, f), fieldUtf8(info, f));
    EXPECT_EQ(fieldUtf8(bag, INFO_CREATION_DATE), "2021-03-05T07:08:09");
    EXPECT_EQ(fieldUtf8(bag, INFO_DENSITY), "300 x 200 ppi");
    EXPECT_EQ(fieldUtf8(bag, INFO_GPS), "48\u00B051'24.50\" S, 2\u00B022'0.00\" W, -12m");
    // Nothing injected: the rights are the copyright, not the comment's.
    EXPECT_EQ(fieldUtf8(bag, INFO_COPYRIGHT), "\xC2\xA9 2021");
}

TEST(Xmp, CreateDateForms)
{
    struct Case {
        const char16_t* in;
        const char* out;  // null: no CreateDate
    } cases[] = {
        {u"21/3/5 7:08:09", "2021-03-05T07:08:09"},
        {u"99-12-31", "1999-12-31"},
        {u"2021:03:05 07:08:59.7", "2021-03-05T07:09:00"},
        {u"2021:03:05 23:59:59.6", "2021-03-06T00:00:00"},
        {u"2021:02:28 23:59:59.9", "2021-03-01T00:00:00"},
        {u"2024:02:28 23:59:59.9", "2024-02-29T00:00:00"},
        {u"2021:12:31 24:00:00", "2022-01-01T00:00:00"},
        {u"2021:03:05 24:00:01", "2021-03-05"},
        {u"2021:03:05 07:08:09.5", "2021-03-05T07:08:09"},
        {u"2021-03-05T07:08:09+01:30", "2021-03-05T07:08:09+01:30"},
        {u"2021:13:05", nullptr},
        {u"5/3/2021", nullptr},
        {u"yesterday", nullptr},
    };
    for (const Case& c : cases) {
        ImageInfoOwned info;
        info.set(INFO_CREATION_DATE, c.in);
        std::vector<uint8_t> p = build(info);
        std::string text(p.begin(), p.end());
        if (!c.out) {
            EXPECT_EQ(text.find("CreateDate"), std::string::npos) << u16ToUtf8(c.in);
            continue;
        }
        EXPECT_NE(text.find(std::string("<xap:CreateDate>") + c.out + "</xap:CreateDate>"), std::string::npos)
            << u16ToUtf8(c.in) << "\n"
            << text;
    }
}

TEST(Xmp, EmptyRecordGivesNoPacketAndFileWriteMatchesBuild)
{
    ImageInfoOwned info;
    info.set(INFO_SOURCE, u"not an XMP field");
    EXPECT_TRUE(build(info).empty());
    info.set(INFO_TITLE, u"t");
    TempDir dir;
    OutputFile out;
    ASSERT_EQ(out.create(dir / "x.xmp"), RC_OK);
    EXPECT_EQ(xmpWriteToFile(out, &info), RC_OK);
    ASSERT_EQ(out.close(), RC_OK);
    EXPECT_EQ(readFile(dir / "x.xmp"), build(info));
}

namespace {

std::string dcPacket(const std::string& properties)
{
    return "<?xpacket begin='' id='W5M0MpCehiHzreSzNTczkc9d'?><x:xmpmeta xmlns:x='adobe:ns:meta/'>"
           "<rdf:RDF xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'>"
           "<rdf:Description rdf:about='' xmlns:dc='http://purl.org/dc/elements/1.1/'>" +
           properties + "</rdf:Description></rdf:RDF></x:xmpmeta>";
}

std::string keywordList(const ImageInfo& info)
{
    std::string all;
    for (int f = INFO_KEYWORD_FIRST; f <= INFO_KEYWORD_LAST; ++f) all += fieldUtf8(info, f) + "|";
    return all;
}

} // namespace

TEST(Xmp, SubjectItemsReplaceTheWholeListWithoutBlanksOrRepeats)
{
    struct Case {
        const char* items;
        const char* expected;  // the nine fields after a list of "old1".."old3"
    } cases[] = {
        {"<rdf:li>one</rdf:li><rdf:li>   </rdf:li><rdf:li>three</rdf:li>", "one|three||||||||"},
        {"<rdf:li>new1</rdf:li>", "new1|||||||||"},
        {"<rdf:li/><rdf:li>a</rdf:li><rdf:li>a</rdf:li><rdf:li> b</rdf:li><rdf:li>b</rdf:li><rdf:li>c</rdf:li>",
         "a| b|c|||||||"},
        // A bag with nothing in it is no list: the one there stays.
        {"<rdf:li> </rdf:li><rdf:li/>", "old1|old2|old3|||||||"},
        {"", "old1|old2|old3|||||||"},
    };
    for (const Case& c : cases) {
        const std::string packet = dcPacket(std::string("<dc:subject><rdf:Bag>") + c.items +
                                            "</rdf:Bag></dc:subject><!-- <dc:title>not this</dc:title> -->");
        ImageInfoBag bag;
        for (int i = 0; i < 3; ++i) bag.set(INFO_KEYWORD_FIRST + i, asciiToU16("old" + std::to_string(i + 1)).c_str());
        xmpParse(bag, reinterpret_cast<const uint8_t*>(packet.data()), packet.size());
        EXPECT_EQ(keywordList(bag), c.expected) << c.items;
        EXPECT_FALSE(bag.has(INFO_TITLE));
    }
}

TEST(Xmp, LanguageAlternativesGiveTheDefaultItemElseTheFirst)
{
    struct Case {
        const char* items;
        const char* expected;
    } cases[] = {
        {"<rdf:li xml:lang='de-DE'>Hafen</rdf:li><rdf:li xml:lang='x-default'>Harbour</rdf:li>", "Harbour"},
        {"<rdf:li xml:lang=\"fr-FR\">Port</rdf:li><rdf:li xml:lang = \"X-Default\">Harbour</rdf:li>", "Harbour"},
        {"<rdf:li xml:lang='de-DE'>Hafen</rdf:li><rdf:li xml:lang='fr-FR'>Port</rdf:li>", "Hafen"},
        {"<rdf:li xml:lang='x-default-not'>Hafen</rdf:li><rdf:li>Port</rdf:li>", "Hafen"},
        {"<rdf:li xml:lang='x-default'>Harbour</rdf:li><rdf:li xml:lang='x-default'>Second</rdf:li>", "Harbour"},
    };
    for (const Case& c : cases) {
        std::string properties;
        for (const char* name : {"title", "description", "rights"})
            properties += std::string("<dc:") + name + "><rdf:Alt>" + c.items + "</rdf:Alt></dc:" + name + ">";
        const std::string packet = dcPacket(properties);
        ImageInfoBag bag;
        xmpParse(bag, reinterpret_cast<const uint8_t*>(packet.data()), packet.size());
        for (int f : {INFO_TITLE, INFO_COMMENTS, INFO_COPYRIGHT}) EXPECT_EQ(fieldUtf8(bag, f), c.expected) << c.items;
    }

    // exiftool's packets of one title in three languages, the default given
    // last: each reads as exiftool reads the plain title.
    QUILLON_REQUIRE_TOOL("exiftool");
    QUILLON_REQUIRE_TOOL("convert");
    TempDir dir;
    std::vector<uint8_t> packet = exiftoolPacket(
        dir, "-XMP-dc:Title-de-DE=Hafen -XMP-dc:Title-fr-FR=Port -XMP-dc:Title=Harbour '-XMP-dc:Rights-de-DE=(c) Jo'");
    ImageInfoBag bag;
    xmpParse(bag, packet.data(), packet.size());
    EXPECT_EQ(fieldUtf8(bag, INFO_TITLE), "Harbour");
    EXPECT_EQ(fieldUtf8(bag, INFO_COPYRIGHT), "(c) Jo");
}

TEST(Xmp, DecimalParser)
{
    const char* s = " \t-42x";
    const char* p = s;
    EXPECT_EQ(parseDecimalA(p, s + std::strlen(s), 7), 42);
    EXPECT_EQ(*p, 'x');
    const char* q = s;
    EXPECT_EQ(parseDecimalA(q, s + 3, 7), 7);  // the digits lie past the end
    const char16_t* w = u"  15/1";
    EXPECT_EQ(parseDecimalW(w, w + 6, -1), 15);
}

TEST(Xmp, HostilePacketsStayInsideAndEndQuickly)
{
    ImageInfoOwned info;
    setAll(info);
    std::vector<uint8_t> good = build(info);
    std::mt19937 rng(11);
    for (size_t cut = 0; cut <= good.size(); cut += 3) {
        std::vector<uint8_t> part(good.begin(), good.begin() + cut);
        ImageInfoBag bag;
        xmpParse(bag, part.data(), part.size());
    }
    for (int round = 0; round < 2000; ++round) {
        std::vector<uint8_t> bad = good;
        for (int k = 0; k < 6; ++k) bad[rng() % bad.size()] = "<>/:&'\"= x"[rng() % 10];
        ImageInfoBag bag;
        xmpParse(bag, bad.data(), bad.size());
        ImageInfoOwned copy;
        infoCopyAll(&copy, &bag);
    }
    // Many elements that never close: the scan must stay roughly linear.
    std::string packet = "<?xpacket begin='' id=''?><rdf:Description xmlns:tiff='http://ns.adobe.com/tiff/1.0/'>";
    for (int i = 0; i < 200000; ++i) packet += "<tiff:Make>";
    ImageInfoBag bag;
    xmpParse(bag, reinterpret_cast<const uint8_t*>(packet.data()), packet.size());
    EXPECT_FALSE(bag.has(INFO_CAMERA_MAKE));
}

// A keyword of control characters only (a tab written as "&#9;", or as
// itself) is as blank as one of spaces: it takes no place in the list, and a
// bag holding nothing else leaves the list that was there.
TEST(Xmp, SubjectItemsOfControlCharactersAreBlank)
{
    struct Case {
        const char* items;
        const char* expected;  // the nine fields after a list of "old1".."old3"
    } cases[] = {
        {"<rdf:li>one</rdf:li><rdf:li>&#9;</rdf:li><rdf:li>two</rdf:li>", "one|two||||||||"},
        {"<rdf:li>&#x9;&#10;&#13;</rdf:li><rdf:li>one</rdf:li>", "one|||||||||"},
        {"<rdf:li>\t</rdf:li><rdf:li> \t </rdf:li><rdf:li>one</rdf:li>", "one|||||||||"},
        {"<rdf:li>&#9;</rdf:li>", "old1|old2|old3|||||||"},
    };
    for (const Case& c : cases) {
        const std::string packet = dcPacket(std::string("<dc:subject><rdf:Bag>") + c.items + "</rdf:Bag></dc:subject>");
        ImageInfoBag bag;
        for (int i = 0; i < 3; ++i) bag.set(INFO_KEYWORD_FIRST + i, asciiToU16("old" + std::to_string(i + 1)).c_str());
        xmpParse(bag, reinterpret_cast<const uint8_t*>(packet.data()), packet.size());
        EXPECT_EQ(keywordList(bag), c.expected) << c.items;
    }
}
