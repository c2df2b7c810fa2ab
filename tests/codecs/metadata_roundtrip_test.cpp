// Metadata through real batches: inputs tagged by exiftool in JPEG, TIFF,
// PNG and WebP are converted by the batch engine to JPEG, TIFF, WebP and
// PNG and read back by exiftool (values as UTF-8 text, and its -validate
// warnings); then every output is converted again into its own format,
// which must leave every tag as it was.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "app/batch.h"
#include "app/format_table.h"
#include "app/input_list.h"
#include "app/job_settings.h"
#include "metadata_test_util.h"
#include "support/quiet_batch_ui.h"

using namespace quillon;
using namespace quillon::test;
using namespace quillon::test::meta;
namespace fs = std::filesystem;

namespace {

const std::string kTaken = "2019:07:14 10:11:12", kModified = "2023:01:02 03:04:05";
// Accented Latin, Polish with Japanese, Latin with an emoji (beyond the
// first 65536 code points), ASCII; and a comment that is Latin and Polish.
const std::string kTitle = "Caf\u00e9 Stra\u00dfe", kAuthor = "\u0141ukasz W\u00f3jcik \u5c71\u7530",
                  kDescription = "Zo\u00eb \U0001F600 M\u00fcller", kCopyright = "(c) Harbour Press",
                  kComment = "Caf\u00e9 \u00fcber Stra\u00dfe \u0141\u00f3d\u017a";

struct Source {
    std::string name, tags;  // the file and exiftool's arguments for it
    std::string title, comments, author, date;
    uint32_t dpi;  // 0: none
};

std::string exifTexts()
{
    return " -DocumentName=" + shellQuote(kTitle) + " -ImageDescription=" + shellQuote(kDescription) +
           " -Artist=" + shellQuote(kAuthor) + " -Copyright=" + shellQuote(kCopyright) + " '-DateTimeOriginal=" +
           kTaken + "' '-ModifyDate=" + kModified + "'";
}

const std::vector<Source>& sources()
{
    static const std::vector<Source> s = {
        // As cameras write them: no JFIF segment, the density in EXIF only.
        {"camera.jpg", "-JFIF:all= -IFD0:XResolution=300 -IFD0:YResolution=300 -IFD0:ResolutionUnit=2" + exifTexts(),
         kTitle, kDescription, kAuthor, kTaken, 300},
        {"scan.tif", exifTexts(), kTitle, kDescription, kAuthor, kTaken, 0},
        {"drawing.png",
         "-PNG:Title=" + shellQuote(kTitle) + " -PNG:Description=" + shellQuote(kDescription) + " -PNG:Author=" +
             shellQuote(kAuthor) + " -PNG:Copyright=" + shellQuote(kCopyright) + " '-PNG:CreationTime=" + kTaken + "'",
         kTitle, kDescription, kAuthor, kTaken, 0},
        // exiftool gives a WebP's EXIF 72 dpi of its own.
        {"phone.webp", exifTexts(), kTitle, kDescription, kAuthor, kTaken, 72},
        {"note.jpg", "-Comment=" + shellQuote(kComment) + " -Artist=" + shellQuote(kAuthor) + " -Copyright=" +
                         shellQuote(kCopyright),
         "note", kComment, kAuthor, "", 0},
    };
    return s;
}

// What exiftool -G1 -n must read from the output of `s` in format `ext`;
// an empty value: the tag must be absent.
std::map<std::string, std::string> expected(const Source& s, const std::string& ext)
{
    const std::string dpi = s.dpi ? std::to_string(s.dpi) : "";
    const std::string perMetre = s.dpi ? std::to_string(std::lround(s.dpi / 0.0254)) : "";
    if (ext == "png")
        return {{"PNG:Title", s.title},       {"PNG:Description", s.comments},
                {"PNG:Author", s.author},     {"PNG:Copyright", kCopyright},
                {"PNG:CreationTime", s.date}, {"PNG-pHYs:PixelsPerUnitX", perMetre}};
    std::map<std::string, std::string> m = {
        {"IFD0:DocumentName", s.title},  {"IFD0:ImageDescription", s.comments}, {"IFD0:Artist", s.author},
        {"IFD0:Copyright", kCopyright},  {"IFD0:ModifyDate", s.date},           {"ExifIFD:DateTimeOriginal", s.date},
        {"ExifIFD:ISOSpeed", ""},        {"XMP-xmp:CreateDate", s.date},        {"XMP-dc:Title", s.title},
        {"XMP-dc:Description", s.comments}, {"XMP-dc:Creator", s.author},       {"XMP-dc:Rights", kCopyright},
        {"XMP-tiff:XResolution", dpi}};
    if (ext == "jpg") {
        m["File:Comment"] = s.comments;
        m["JFIF:ResolutionUnit"] = s.dpi ? "1" : "0";
        m["JFIF:XResolution"] = s.dpi ? dpi : "1";
    } else if (ext == "tiff") {
        // TIFF requires the resolution: unit 1 and 1/1 say there is none.
        m["IFD0:ResolutionUnit"] = s.dpi ? "2" : "1";
        m["IFD0:XResolution"] = m["IFD0:YResolution"] = s.dpi ? dpi : "1";
    }
    return m;
}

// The warnings no output may bring: exiftool asks for the tags a camera
// writes where we write only what the picture holds, and calls PNG's
// creation time in EXIF form (which exiftool writes too) non-standard.
void expectNoWarnings(const fs::path& file)
{
    for (const std::string& w : exiftoolWarnings(file)) {
        const bool allowed = w.find("Missing required JPEG") != w.npos ||
                             w.find("Missing required TIFF ExifIFD") != w.npos ||
                             w.find("[minor] Text/EXIF chunk(s) found after PNG IDAT") != w.npos ||
                             w.find("[minor] Non standard PNG date/time format") != w.npos;
        if (!allowed) ADD_FAILURE() << file.filename() << ": " << w;
    }
}

// Every input into each format of `exts` (null: the input's own) in `out`,
// each in its first sub-format: quality, uncompressed, lossless, normal.
void convert(const std::vector<fs::path>& inputs, const fs::path& out, const std::vector<const char*>& exts)
{
    std::vector<meta::BatchFormat> formats;
    for (const char* ext : exts) formats.push_back({ext ? fs::path(std::string("x.") + ext) : fs::path(), u""});
    EXPECT_EQ(meta::convertInBatch(inputs, out, formats).converted, int32_t(inputs.size() * exts.size()));
}

} // namespace

TEST(MetadataRoundTrip, DateTakenDensityAndTextsReachEveryFormatAndStayThere)
{
    for (const char* tool : {"exiftool", "convert", "cwebp", "tiffinfo"}) QUILLON_REQUIRE_TOOL(tool);
    TempDir dir;
    for (const char* sub : {"in", "gen1", "gen2"}) fs::create_directories(dir / sub);
    const std::string png = shellQuote((dir / "plain.png").string());
    ASSERT_EQ(run("convert -size 40x30 gradient:orange-navy -depth 8 -strip " + png), 0);
    std::vector<fs::path> inputs;
    for (const Source& s : sources()) {
        const fs::path p = dir / "in" / s.name;
        const std::string made =
            p.extension() == ".webp" ? "cwebp -quiet -lossless " + png + " -o " : "convert " + png + " ";
        ASSERT_EQ(run(made + shellQuote(p.string()) + " && exiftool -q -q -overwrite_original " + s.tags + " " +
                      shellQuote(p.string())),
                  0)
            << s.name;
        inputs.push_back(p);
    }
    const std::vector<const char*> formats = {"jpg", "tiff", "webp", "png"};
    convert(inputs, dir / "gen1", formats);

    std::vector<fs::path> outputs;
    for (const Source& s : sources()) {
        for (const std::string ext : formats) {
            const fs::path out = dir / "gen1" / (fs::path(s.name).stem().string() + "." + ext);
            SCOPED_TRACE(out.filename().string());
            ASSERT_TRUE(fs::exists(out));
            outputs.push_back(out);
            auto got = exiftoolJson(out, "-G1");
            for (const auto& [tag, want] : expected(s, ext)) {
                if (want.empty()) EXPECT_EQ(got.count(tag), 0u) << tag << " = " << got[tag];
                else EXPECT_EQ(got[tag], want) << tag;
            }
            expectNoWarnings(out);
            if (ext == "tiff") {
                const std::string res = runOutput("tiffinfo " + shellQuote(out.string()) + " 2>&1");
                EXPECT_NE(res.find(s.dpi ? "Resolution: " + std::to_string(s.dpi) + ", " + std::to_string(s.dpi) +
                                               " pixels/inch"
                                         : std::string("Resolution: 1, 1 (unitless)")),
                          std::string::npos);
            }
        }
    }

    // A second conversion of each output into its own format changes no tag.
    convert(outputs, dir / "gen2", {nullptr});
    for (const fs::path& first : outputs) {
        auto a = exiftoolJson(first, "-G1"), b = exiftoolJson(dir / "gen2" / first.filename(), "-G1");
        const auto ofTheFile = [](const auto& tag) {
            return tag.first.rfind("System:", 0) == 0 || tag.first == "SourceFile";
        };
        std::erase_if(a, ofTheFile);
        std::erase_if(b, ofTheFile);
        EXPECT_EQ(a, b) << first.filename();
    }
}
