// Texts, keywords and density through a real batch: exiftool-made inputs of
// every format that carries metadata (JPEG, TIFF, PNG, WebP, PSD), converted
// to every format that writes it, read back by exiftool as UTF-8, and
// converted once more without any further change.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "app/batch.h"
#include "app/format_table.h"
#include "app/input_list.h"
#include "app/job_settings.h"
#include "codecs/main/xmp.h"
#include "core/byte_cursor.h"
#include "metadata_test_util.h"
#include "support/quiet_batch_ui.h"

using namespace quillon;
using namespace quillon::test;
namespace fs = std::filesystem;

namespace {

using Tags = std::map<std::string, std::string>;

// Texts whose first byte is beyond ASCII, in scripts one to three bytes
// long in UTF-8.
const std::string kTitle = "\xE5\x86\x99\xE7\x9C\x9F of Zo\xC3\xAB", kAuthor = "\xC5\x81ukasz Nowak",
                  kDescription = "Cr\xC3\xA8me br\xC3\xBBl\xC3\xA9" "e",
                  kCopyright = "\xC2\xA9 2021 Zo\xC3\xAB M\xC3\xBCller", kKeyword = "\xC3\x89" "clair";
// What Windows-1252 can say, for IPTC written in exiftool's default set.
const std::string kLatinTitle = "\xC3\x98rsted ved havet", kLatinAuthor = "\xC3\x85sa Berg";

enum Field { TITLE, AUTHOR, DESCRIPTION, COPYRIGHT, KEYWORDS, FIELDS };

// An XMP packet as other programs write it: the title's German item before
// the default one, and the keywords as given (an empty one included).
std::string xmpPacket(const std::vector<std::string>& subjects)
{
    std::string bag;
    for (const std::string& s : subjects) bag += "<rdf:li>" + s + "</rdf:li>";
    return "<?xpacket begin='\xEF\xBB\xBF' id='W5M0MpCehiHzreSzNTczkc9d'?>\n"
           "<x:xmpmeta xmlns:x='adobe:ns:meta/'><rdf:RDF xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'>\n"
           "<rdf:Description rdf:about='' xmlns:dc='http://purl.org/dc/elements/1.1/'>\n"
           "<dc:title><rdf:Alt><rdf:li xml:lang='de-DE'>Hafen</rdf:li><rdf:li xml:lang='x-default'>" +
           kTitle + "</rdf:li></rdf:Alt></dc:title>\n<dc:creator><rdf:Seq><rdf:li>" + kAuthor +
           "</rdf:li></rdf:Seq></dc:creator>\n<dc:description><rdf:Alt><rdf:li xml:lang='x-default'>" + kDescription +
           "</rdf:li></rdf:Alt></dc:description>\n<dc:rights><rdf:Alt><rdf:li xml:lang='en-GB'>(c) Zoe</rdf:li>"
           "<rdf:li xml:lang='x-default'>" + kCopyright + "</rdf:li></rdf:Alt></dc:rights>\n<dc:subject><rdf:Bag>" +
           bag + "</rdf:Bag></dc:subject>\n</rdf:Description></rdf:RDF></x:xmpmeta>\n<?xpacket end='w'?>";
}

std::string iptcArgs(const std::string& title, const std::string& author, const std::vector<std::string>& keywords)
{
    std::string a = " '-IPTC:ObjectName=" + title + "' '-IPTC:By-line=" + author + "' '-IPTC:Caption-Abstract=" +
                    kDescription + "' '-IPTC:CopyrightNotice=" + kCopyright + "'";
    for (const std::string& k : keywords) a += " '-IPTC:Keywords=" + k + "'";
    return a;
}

struct Input {
    std::string file;  // its extension says how the picture is made
    std::string tags;  // exiftool's arguments; XMP comes from the packet file
    std::vector<std::string> subjects;  // the packet's keywords; none: no packet
    bool dpi300;                        // made with 300 pixels per inch
    std::vector<std::string> expected;  // by Field
};

struct Output {
    const char* extension;  // as the batch names it
    const char16_t* probe;  // a name the registry finds the writer by
    const char* subFormat;
    bool xmp, iptc;
    std::pair<const char*, const char*> density;  // tag and value at 300 dpi
};

const Output kOutputs[] = {
    {"jpg", u"x.jpg", "Normal, by Quality:", true, false, {"JFIF:XResolution", "300"}},
    {"tiff", u"x.tiff", "Uncompressed", true, false, {"EXIF:XResolution", "300"}},
    {"webp", u"x.webp", "Lossless", true, false, {"XMP:XResolution", "300"}},
    {"psd", u"x.psd", "Normal", true, true, {"Photoshop:XResolution", "300"}},
    {"png", u"x.png", "Normal", false, false, {"PNG:PixelsPerUnitX", "11811"}},
};

// The tags an output holds each field in.
std::vector<std::pair<std::string, Field>> fieldTags(const Output& o)
{
    std::vector<std::pair<std::string, Field>> t;
    if (o.xmp)
        t.insert(t.end(), {{"XMP:Title", TITLE}, {"XMP:Creator", AUTHOR}, {"XMP:Description", DESCRIPTION},
                           {"XMP:Rights", COPYRIGHT}, {"XMP:Subject", KEYWORDS}});
    if (o.iptc)
        t.insert(t.end(), {{"IPTC:ObjectName", TITLE}, {"IPTC:By-line", AUTHOR}, {"IPTC:Caption-Abstract", DESCRIPTION},
                           {"IPTC:CopyrightNotice", COPYRIGHT}, {"IPTC:Keywords", KEYWORDS}});
    // PNG has no keywords.
    if (!o.xmp)
        t.insert(t.end(), {{"PNG:Title", TITLE}, {"PNG:Author", AUTHOR}, {"PNG:Description", DESCRIPTION},
                           {"PNG:Copyright", COPYRIGHT}});
    return t;
}

// One batch over `inputs` into `outDir`, writing each input in every format
// of `outputs`.
BatchResult convert(const std::vector<fs::path>& inputs, const fs::path& outDir, const std::vector<Output>& outputs)
{
    std::vector<meta::BatchFormat> formats;
    for (const Output& o : outputs) formats.push_back({fs::path(o.probe), utf8ToU16(o.subFormat)});
    return meta::convertInBatch(inputs, outDir, formats);
}

// exiftool's tags of many files in one run, by file.
std::map<fs::path, Tags> exiftoolTags(const std::vector<fs::path>& files)
{
    std::string command = "exiftool -j -G -n";
    for (const fs::path& f : files) command += " " + shellQuote(f.string());
    const std::string json = runOutput(command + " 2>/dev/null");
    std::map<fs::path, Tags> out;
    for (size_t start = 0; (start = json.find('{', start)) != std::string::npos;) {
        size_t end = json.find("\n}", start);
        if (end == std::string::npos) break;
        Tags t = meta::parseExiftoolJson(json.substr(start, end - start));
        out[t["SourceFile"]] = t;
        start = end;
    }
    return out;
}

// `exiftool -validate` warnings that concern what we write. Those it always
// finds in files of ours are left out: the tags a camera writes (our EXIF
// holds what the picture holds), and the PNG writer's text chunks after the
// pixels, which is where it places them.
std::vector<std::string> newWarnings(const fs::path& file)
{
    std::vector<std::string> out;
    for (const std::string& w : meta::exiftoolUnexpectedWarnings(file))
        if (w.find("after PNG IDAT") == std::string::npos) out.push_back(w);
    return out;
}

} // namespace

TEST(MetadataBatch, TextsKeywordsAndDensityReachEveryOutputAsUtf8AndStayThere)
{
    for (const char* tool : {"exiftool", "convert", "cwebp"}) QUILLON_REQUIRE_TOOL(tool);
    registerAllFormats();
    TempDir dir;
    const std::vector<std::string> all = {kTitle, kAuthor, kDescription, kCopyright, kKeyword + "|old2|old3"};
    auto keywords = [&](const std::string& list) {
        std::vector<std::string> e = all;
        e[KEYWORDS] = list;
        return e;
    };
    const std::vector<std::string> mine = {kKeyword, "old2", "old3"}, old = {"old1", "old2", "old3"};
    const std::vector<Input> rows = {
        // IPTC alone: UTF-8 declared, UTF-8 undeclared, Windows-1252.
        {"iptc-declared.jpg", "-IPTC:CodedCharacterSet=UTF8" + iptcArgs(kTitle, kAuthor, mine), {}, false, all},
        {"iptc-undeclared.tif", "-charset iptc=UTF8" + iptcArgs(kTitle, kAuthor, mine), {}, false, all},
        {"iptc-latin.psd", iptcArgs(kLatinTitle, kLatinAuthor, mine), {}, true,
         {kLatinTitle, kLatinAuthor, kDescription, kCopyright, kKeyword + "|old2|old3"}},
        // Both: the XMP's keywords whole, its default title.
        {"mixed-jpg.jpg", "-IPTC:CodedCharacterSet=UTF8" + iptcArgs("Old", "Old", old), {"new1"}, false,
         keywords("new1")},
        {"mixed-psd.psd", "-IPTC:CodedCharacterSet=UTF8" + iptcArgs("Old", "Old", old), {"new1"}, false,
         keywords("new1")},
        {"emptyfirst.tif", "-charset iptc=UTF8" + iptcArgs("Old", "Old", {"a", "b"}), {"", "a", "b", "a"}, false,
         keywords("a|b")},
        // XMP alone.
        {"xmp-png.png", "", mine, false, all},
        {"xmp-webp.webp", "", {kKeyword, "", "old2", "old3"}, false, all},
    };

    fs::create_directories(dir / "in");
    std::vector<fs::path> inputs;
    for (const Input& r : rows) {
        const fs::path file = dir / "in" / r.file;
        const std::string ext = file.extension().string();
        const std::string q = shellQuote(file.string());
        std::string make = "convert -size 24x16 gradient:teal-orange ";
        if (r.dpi300) make += "-density 300 -units PixelsPerInch ";
        if (ext == ".webp") {
            const std::string ppm = shellQuote((dir / "in" / "w.ppm").string());
            make += ppm + " && cwebp -quiet " + ppm + " -o " + q;
        } else {
            make += "-strip " + q;
        }
        ASSERT_EQ(run(make), 0) << make;
        std::string tags = r.tags;
        if (!r.subjects.empty()) {
            const fs::path packet = dir / "in" / (r.file + ".xmp");
            const std::string text = xmpPacket(r.subjects);
            writeFile(packet, std::vector<uint8_t>(text.begin(), text.end()));
            tags += " '-XMP<=" + packet.string() + "'";
        }
        if (!tags.empty()) {
            ASSERT_EQ(run("exiftool -q -q -overwrite_original " + tags + " " + q), 0) << tags;
        }
        inputs.push_back(file);
    }

    const std::vector<Output> outputs(std::begin(kOutputs), std::end(kOutputs));
    std::vector<fs::path> gen1, gen2;
    for (const Input& r : rows)
        for (const Output& o : kOutputs) {
            const std::string name = fs::path(r.file).stem().string() + "." + o.extension;
            gen1.push_back(dir / "gen1" / name);
            gen2.push_back(dir / "gen2" / name);
        }
    EXPECT_EQ(convert(inputs, dir / "gen1", outputs).converted, int32_t(gen1.size()));
    // Each output once more in its own format, as it was written.
    for (const Output& o : kOutputs) {
        std::vector<fs::path> again;
        for (const fs::path& p : gen1)
            if (p.extension() == std::string(".") + o.extension) again.push_back(p);
        EXPECT_EQ(convert(again, dir / "gen2", {o}).converted, int32_t(again.size())) << o.extension;
    }
    std::map<fs::path, Tags> tags1 = exiftoolTags(gen1), tags2 = exiftoolTags(gen2);

    size_t k = 0;
    for (const Input& r : rows)
        for (const Output& o : kOutputs) {
            const fs::path& out = gen1[k];
            const fs::path& again = gen2[k++];
            SCOPED_TRACE(out.filename().string());
            ASSERT_TRUE(fs::exists(out));
            Tags& t = tags1[out];
            for (const auto& [tag, field] : fieldTags(o)) EXPECT_EQ(t[tag], r.expected[field]) << tag;
            if (r.dpi300) {
                EXPECT_EQ(t[o.density.first], o.density.second);
            }
            for (const std::string& w : newWarnings(out)) ADD_FAILURE() << w;
            // The second generation is the first.
            Tags& t2 = tags2[again];
            for (const auto& [tag, field] : fieldTags(o)) EXPECT_EQ(t2[tag], t[tag]) << tag << " again";
            EXPECT_EQ(t2[o.density.first], t[o.density.first]) << "density again";
        }
}

// Keywords of control characters only, in the XMP of a JPEG: no blank
// keyword reaches the XMP of any output, nor the IPTC of a Photoshop one.
TEST(MetadataBatch, KeywordsOfControlCharactersReachNoOutput)
{
    for (const char* tool : {"exiftool", "convert"}) QUILLON_REQUIRE_TOOL(tool);
    TempDir dir;
    fs::create_directories(dir / "in");
    const fs::path in = dir / "in" / "tabs.jpg";
    const std::string packet = xmpPacket({"&#9;", "one", "\t", "&#10;&#9;", "two"});
    writeFile(in, meta::withSegment(meta::plainJpeg(dir), 0xE1, std::string(kXmpJpegIdentifier),
                                    std::vector<uint8_t>(packet.begin(), packet.end())));
    const std::vector<Output> outputs = {kOutputs[0], kOutputs[1], kOutputs[3]};
    EXPECT_EQ(convert({in}, dir / "out", outputs).converted, 3);
    for (const Output& o : outputs) {
        const fs::path out = dir / "out" / (std::string("tabs.") + o.extension);
        SCOPED_TRACE(out.filename().string());
        Tags t = exiftoolTags({out})[out];
        EXPECT_EQ(t["XMP:Subject"], "one|two");
        if (o.iptc) {
            EXPECT_EQ(t["IPTC:Keywords"], "one|two");
        }
    }
}

// The date a photograph was taken, through a batch into JPEG and TIFF: an
// EXIF date taken stays, whether a differing XMP CreateDate comes before or
// after it; an IPTC date reaches the XMP as a date alone, and with its time
// the EXIF dates too, with no time made up. Exposure values and the position
// arrive as the input holds them, also from a TIFF whose Exif and GPS
// pointers are of the type IFD and whose XMP and IPTC are UNDEFINED.
TEST(MetadataBatch, DateTakenExposureAndPositionAreKeptAndIptcDatesReachTheOutputs)
{
    for (const char* tool : {"exiftool", "convert"}) QUILLON_REQUIRE_TOOL(tool);
    TempDir dir;
    fs::create_directories(dir / "in");
    const std::string taken = "2007:06:02 20:15:20";
    const std::string both = "'-EXIF:DateTimeOriginal=" + taken + "' '-XMP-xmp:CreateDate=2007:06:03 00:07:25'";
    const std::string iptcDate = "-IPTC:DateCreated=2009:12:29";
    struct Case {
        std::string file, tags;
        int order;  // JPEG: 0 as exiftool wrote it, 1 EXIF then XMP, 2 XMP then EXIF; TIFF: 3 retyped
        std::string exifDate, xmpDate;  // as exiftool reads them back; empty: none
    } cases[] = {
        {"xmp-after.jpg", both, 1, taken, taken},
        {"xmp-before.jpg", both, 2, taken, taken},
        // TIFF reads its tags in order: XMP's (700) before the Exif IFD's.
        {"camera.tif", both, 0, taken, taken},
        {"iptc-date.jpg", iptcDate, 0, "", "2009:12:29"},
        {"iptc-time.jpg", iptcDate + " -IPTC:TimeCreated=14:30:00+01:00", 0, "2009:12:29 14:30:00",
         "2009:12:29 14:30:00+01:00"},
        {"ifd-typed.tif", both + " '-IFD0:ModifyDate=2007:06:03 04:15:20' -ExposureTime=1/320"
                                 " '-GPSLatitude=35 39 30.96' -GPSLatitudeRef=N"
                                 " '-GPSLongitude=139 44 43.5' -GPSLongitudeRef=E -XMP-dc:Subject=harbour"
                                 " -IPTC:By-line=Kari",
         3, taken, taken},
        {"exposure-640.jpg", both + " -ExposureTime=1/640 -FocalLength=4.3 -ExposureCompensation=2/3"
                                    " '-GPSLatitude=35 39 30.96' -GPSLatitudeRef=S '-GPSLongitude=139 44 43.5'"
                                    " -GPSLongitudeRef=W",
         0, taken, taken},
        {"exposure-3200.tif", both + " -ExposureTime=1/3200 -FNumber=7.1 -ExposureCompensation=-1/3", 0, taken,
         taken},
    };
    // Each output tag and the input tag it must equal, as exiftool reads them.
    const std::pair<const char*, const char*> kept[] = {
        {"EXIF:ExposureTime", "EXIF:ExposureTime"}, {"EXIF:FNumber", "EXIF:FNumber"},
        {"EXIF:FocalLength", "EXIF:FocalLength"},   {"EXIF:ExposureCompensation", "EXIF:ExposureCompensation"},
        {"EXIF:GPSLatitude", "EXIF:GPSLatitude"},   {"EXIF:GPSLongitude", "EXIF:GPSLongitude"},
        {"XMP:Subject", "XMP:Subject"},             {"XMP:Creator", "IPTC:By-line"},
    };
    std::vector<fs::path> inputs;
    for (const Case& c : cases) {
        const fs::path file = dir / "in" / c.file;
        const std::string q = shellQuote(file.string());
        ASSERT_EQ(run("convert -size 24x16 gradient:teal-orange -strip " + q +
                      " && exiftool -q -q -overwrite_original " + c.tags + " " + q),
                  0)
            << c.file;
        if (c.order == 1 || c.order == 2) {
            const std::vector<uint8_t> tagged = readFile(file);
            const std::string exifId("Exif\0\0", 6), xmpId(kXmpJpegIdentifier);
            std::pair<std::string, std::vector<uint8_t>> segments[] = {
                {exifId, meta::jpegSegment(tagged, 0xE1, exifId)}, {xmpId, meta::jpegSegment(tagged, 0xE1, xmpId)}};
            ASSERT_FALSE(segments[0].second.empty() || segments[1].second.empty());
            // Each goes in right after SOI: the later one comes first.
            if (c.order == 1) std::swap(segments[0], segments[1]);
            std::vector<uint8_t> out = meta::plainJpeg(dir);
            for (const auto& [id, payload] : segments) out = meta::withSegment(out, 0xE1, id, payload);
            writeFile(file, out);
        }
        if (c.order == 3) {
            // The types other writers give: IFD (13) for the pointers, UNDEFINED for the packets.
            std::vector<uint8_t> f = readFile(file);
            ASSERT_EQ(f[0], 'I');
            const size_t ifd = loadU32le(&f[4]);
            int retyped = 0;
            for (size_t e = ifd + 2; e < ifd + 2 + 12 * size_t(loadU16le(&f[ifd])); e += 12) {
                const uint16_t tag = loadU16le(&f[e]), type = loadU16le(&f[e + 2]);
                if (tag != 700 && tag != 33723 && tag != 34665 && tag != 34853) continue;
                f[e + 2] = tag == 34665 || tag == 34853 ? 13 : 7;
                if (tag == 33723 && type == 4) {  // its count was of LONGs
                    const uint32_t bytes = 4 * loadU32le(&f[e + 4]);
                    for (int i = 0; i < 4; ++i) f[e + 4 + i] = uint8_t(bytes >> (8 * i));
                }
                ++retyped;
            }
            ASSERT_EQ(retyped, 4);
            writeFile(file, f);
        }
        inputs.push_back(file);
    }
    const std::map<fs::path, Tags> sources = exiftoolTags(inputs);
    const std::vector<Output> outputs = {kOutputs[0], kOutputs[1]};
    EXPECT_EQ(convert(inputs, dir / "out", outputs).converted, int32_t(inputs.size() * outputs.size()));
    for (const Case& c : cases)
        for (const Output& o : outputs) {
            const fs::path out = dir / "out" / (fs::path(c.file).stem().string() + "." + o.extension);
            SCOPED_TRACE(out.filename().string());
            Tags t = exiftoolTags({out})[out];
            EXPECT_EQ(t["EXIF:DateTimeOriginal"], c.exifDate);
            EXPECT_EQ(t["EXIF:ModifyDate"], c.exifDate);
            EXPECT_EQ(t["XMP:CreateDate"], c.xmpDate);
            Tags source = sources.at(dir / "in" / c.file);
            for (const auto& [tag, from] : kept) EXPECT_EQ(t[tag], source[from]) << tag;
            for (const std::string& w : newWarnings(out)) ADD_FAILURE() << w;
        }
}
