// RawImage descriptions: the tokenizer, numbers and parser table-driven; the
// reader over sample files ImageMagick writes (gray:, rgb:, rgba:) in
// interleaved, separated and planar layouts; the writer's exact text and data
// read back by ImageMagick; files that are missing, short or not files; and
// outputs of a real batch, written under temporary names, read back.
#include "codecs/more/rawimage.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>

#include "app/batch.h"
#include "app/input_list.h"
#include "app/job_settings.h"
#include "codecs/raster_oracle.h"
#include "core/text.h"
#include "support/quiet_batch_ui.h"

using namespace quillon;
using namespace quillon::test;
namespace fs = std::filesystem;

namespace {

std::vector<std::pair<std::string, bool>> tokens(const std::string& text)
{
    TokenCursor c(text.data(), text.size());
    std::vector<std::pair<std::string, bool>> out;
    std::string t;
    bool more;
    while (c.next(&t, &more)) out.emplace_back(t, more);
    return out;
}

RawImageDescription parse(const std::string& text, bool* ok = nullptr)
{
    RawImageDescription d;
    bool r = rawImageParse(text, "/data/dir/desc.raw", &d);
    if (ok) *ok = r;
    return d;
}

} // namespace

TEST(RawImageText, Tokens)
{
    using T = std::vector<std::pair<std::string, bool>>;
    struct Case {
        const char* text;
        T want;
    } cases[] = {
        {"width=2; height 1 ;", {{"width", true}, {"2", false}, {"height", true}, {"1", false}}},
        {"a /* b; c */ d // e;\n f", {{"a", true}, {"d", true}, {"f", false}}},
        {"file \"two words.bin\";x", {{"file", true}, {"two words.bin", false}, {"x", false}}},
        {"\"a\"b c\";", {{"a\"b c", false}}},
        {"\"\" x", {{"\"\"", true}, {"x", false}}},
        {"\t\r\n;;==", {}},
        {"L {\n\tfile a.bin; }", {{"L", true}, {"{", true}, {"file", true}, {"a.bin", false}, {"}", false}}},
    };
    for (const Case& c : cases) EXPECT_EQ(tokens(c.text), c.want) << c.text;
    // 510 characters are one token; 511 are none, and end the statement.
    std::string a(510, 'a'), b(511, 'b');
    EXPECT_EQ(tokens(a + " x"), (T{{a, true}, {"x", false}}));
    EXPECT_EQ(tokens(b + " x"), (T{{"", false}, {"x", false}}));
}

TEST(RawImageText, Numbers)
{
    struct Case {
        const char* text;
        bool ok;
        int64_t value;
    } cases[] = {
        {"10", true, 10},    {"10h", true, 16},  {"ffH", true, 255},        {"-4", true, -4},
        {"+7", true, 7},     {"12abc", true, 12}, {"abc", false, 0},         {"-", false, 0},
        {"2147483647", true, 2147483647}, {"2147483648", false, 0}, {"99999999999999999999", false, 0},
        {"-2147483648", true, -2147483648LL},
    };
    for (const Case& c : cases) {
        int64_t v = 0;
        EXPECT_EQ(rawImageNumber(c.text, &v), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(v, c.value) << c.text;
        }
    }
}

TEST(RawImageText, Parser)
{
    bool ok;
    RawImageDescription d = parse("rawimage { width=2; height=1; format=uint8; L { file \"a.bin\"; } }", &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(d.width, 2u);
    EXPECT_EQ(d.height, 1u);
    EXPECT_EQ(d.channels, 1u);
    EXPECT_EQ(d.sampleBytes, 1u);
    EXPECT_EQ(d.channel[0].file, fs::path("/data/dir/a.bin"));
    EXPECT_EQ(d.channel[0].delta, 1);

    d = parse("RawImage { width 10h; format uint16; r { start -4; delta 6; } g { } b { file sub\\x.bin; } }");
    EXPECT_EQ(d.width, 16u);
    EXPECT_EQ(d.sampleBytes, 2u);
    EXPECT_EQ(d.channels, 3u);
    EXPECT_EQ(d.rgbKeys, 3u);
    EXPECT_EQ(d.channel[0].index, 2u);
    EXPECT_EQ(d.channel[0].start, -4);
    EXPECT_EQ(d.channel[0].delta, 6);
    EXPECT_EQ(d.channel[1].delta, 2);  // unset: the sample size
    EXPECT_EQ(d.channel[0].file, fs::path("/data/dir/desc.raw"));
    EXPECT_EQ(d.channel[2].file, fs::path("sub/x.bin"));

    // Upper-case sample types are not known; a fifth channel is skipped;
    // nested blocks follow the same rules; a later top-level file replaces
    // the channels' files; texts keep 100 characters.
    std::string longName(150, 'n');
    d = parse("RawImage { format UINT16; Y { delta 3; } Cb { } Cr { } A { } L { start 9; } { height 4; } "
              "unknown 1 2 3; file /abs/all.bin; name \"" + longName + "\"; comment \"a b\"; }");
    EXPECT_EQ(d.sampleBytes, 1u);
    EXPECT_EQ(d.channels, 4u);
    EXPECT_EQ(d.ycbcrKeys, 3u);
    EXPECT_EQ(d.channel[0].start, 9);  // "L" shares index 0 with "Y"
    EXPECT_EQ(d.height, 4u);
    EXPECT_EQ(d.channel[3].file, fs::path("/abs/all.bin"));
    EXPECT_EQ(d.name, longName.substr(0, 100));
    EXPECT_EQ(d.comment, "a b");

    parse("Raw Image { }", &ok);
    EXPECT_FALSE(ok);
    parse(std::string(511, 'R') + " { }", &ok);
    EXPECT_FALSE(ok);
    d = parse("RawImage { width -5; height 3; }", &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(d.width, 0u);
}

class RawImageFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        QUILLON_REQUIRE_TOOL("convert");
        src = dir / "src.png";
        ASSERT_EQ(run("convert -size 13x7 gradient:red-blue -swirl 90 -fill '#20c04080' -draw 'circle 6,3 9,5' " +
                      shellQuote(src.string())),
                  0);
    }
    void sh(const std::string& command) { ASSERT_EQ(run("cd " + shellQuote(dir.path().string()) + " && " + command), 0) << command; }
    Decoded describe(const std::string& name, const std::string& text)
    {
        writeFile(dir / name, text);
        return decodeFileFull(dir / name);
    }
    TempDir dir;
    fs::path src;
};

TEST_F(RawImageFiles, LayoutsOverImageMagickSamples)
{
    sh("convert src.png -depth 8 rgba:all.rgba && convert src.png -depth 8 gray:all.gray && "
       "convert src.png -depth 8 rgb:all.rgb && convert src.png -depth 16 -endian LSB rgb:all16.rgb && "
       "for c in R G B; do convert src.png -channel $c -separate -depth 8 gray:plane.$c; done && "
       "(printf 'HEADER'; cat plane.R plane.G plane.B) > planar.bin");
    Pnm rgba, grey;
    ASSERT_TRUE(oracleDecode("convert", src, rgba));
    sh("convert -size 13x7 -depth 8 gray:all.gray g.pam && "
       "convert -size 13x7 -depth 16 -endian LSB rgb:all16.rgb -depth 16 all16.pam");
    ASSERT_TRUE(readPnm(dir / "g.pam", grey));
    Pnm deep;
    ASSERT_TRUE(readPnm(dir / "all16.pam", deep));
    const std::string head = "RawImage { width 13; height 7;\n";
    struct Case {
        const char* name;
        std::string text;
        const Pnm* want;
        bool alpha;
    } cases[] = {
        {"interleaved", head + "file all.rgb; R { start 0; delta 3; } G { start 1; delta 3; } B { start 2; delta 3; } }",
         &rgba, false},
        {"with alpha", head + "file \"all.rgba\"; R { start 0; delta 4; } R { } G { start 1; delta 4; }"
                              " B { start 2; delta 4; } A { start 3; delta 4; } }",
         &rgba, true},
        {"separated", head + "R { file plane.R; } G { file plane.G; } B { file plane.B; } }", &rgba, false},
        {"planar", head + "file planar.bin; R { start 6; } G { start 97; } B { start 188; } }", &rgba, false},
        {"grey", head + "L { file all.gray; } }", &grey, false},
    };
    for (const Case& c : cases) {
        Decoded d = describe(std::string(c.name) + ".raw", c.text);
        ASSERT_EQ(d.rc, RC_OK) << c.name;
        expectEqualPixels(d.image.get(), *c.want, c.name, c.alpha);
    }
    // 16-bit samples as they are.
    Decoded d = describe("deep.raw", head + "format uint16; file all16.rgb; R { delta 6; } G { start 2; delta 6; } "
                                            "B { start 4; delta 6; } }");
    ASSERT_EQ(d.rc, RC_OK);
    ASSERT_EQ(d.image->pixelFormat, PF_RGBA16);
    for (uint32_t y = 0; y < 7; ++y)
        for (uint32_t x = 0; x < 13; ++x) {
            Rgba16 q = d.image->row<Rgba16>(y)[x];
            EXPECT_EQ(q.r, deep.at(x, y, 0)) << x << "," << y;
            EXPECT_EQ(q.g, deep.at(x, y, 1)) << x << "," << y;
            EXPECT_EQ(q.b, deep.at(x, y, 2)) << x << "," << y;
            EXPECT_EQ(q.a, 65535) << x << "," << y;
        }
}

TEST_F(RawImageFiles, MissingShortAndNonFiles)
{
    sh("convert src.png -depth 8 gray:all.gray && head -c 50 all.gray > short.gray && mkfifo pipe.gray");
    EXPECT_EQ(describe("a.raw", "RawImage { width 13; height 7; L { file none.gray; } }").rc, RC_OPEN_FAILED);
    EXPECT_EQ(describe("b.raw", "RawImage { width 13; height 7; L { file pipe.gray; } }").rc, RC_OPEN_FAILED);
    EXPECT_EQ(describe("c.raw", "RawImage { width 13; height 7; L { file /dev/zero; } }").rc, RC_OPEN_FAILED);
    EXPECT_EQ(describe("d.raw", "RawImage { width 13; height 7; file all.gray; }").rc, RC_CORRUPT_FILE);
    EXPECT_EQ(describe("e.raw", "RawImage { height 7; L { file all.gray; } }").rc, RC_CORRUPT_FILE);
    EXPECT_EQ(describe("f.raw", "Raw Image { width 13; height 7; L { file all.gray; } }").rc, RC_UNKNOWN_FORMAT);
    Decoded d = describe("g.raw", "RawImage { width 13; height 7; L { file short.gray; } }");
    EXPECT_EQ(d.rc, RC_CORRUPT_FILE);
    ASSERT_TRUE(d.image);
    std::vector<uint8_t> bytes = readFile(dir / "all.gray");
    EXPECT_EQ(d.image->row<uint8_t>(3)[10], bytes[3 * 13 + 10]);
    EXPECT_EQ(d.image->row<uint8_t>(3)[11], 0);
}

// Descriptions from other systems name their data files in Windows-1252;
// here the files may be named in UTF-8 or keep those bytes. Either is
// found, and the folder the description lies in keeps its own bytes,
// whatever they are.
TEST_F(RawImageFiles, DataFilesNamedInWindows1252)
{
    const std::string folder = "caf\xE9";
    fs::create_directories(dir / folder);
    sh("convert src.png -depth 8 gray:all.gray && cp all.gray " + shellQuote(folder + "/gr\xC3\xBCn.gray") +
       " && cp all.gray " + shellQuote(folder + "/\xE9t\xE9.gray"));
    const std::vector<uint8_t> bytes = readFile(dir / "all.gray");
    for (const char* name : {"gr\xFCn.gray", "\xE9t\xE9.gray"}) {
        SCOPED_TRACE(name);
        Decoded d = describe(folder + "/d.raw", std::string("RawImage { width 13; height 7; L { file ") + name +
                                                     "; } }");
        ASSERT_EQ(d.rc, RC_OK);
        EXPECT_EQ(d.image->row<uint8_t>(3)[10], bytes[3 * 13 + 10]);
    }
}

TEST_F(RawImageFiles, WriterTextAndData)
{
    Ref<Image> img = rampImage(5, 3, true);
    img->info()->set(INFO_TITLE, u"Caf\u00e9 \"x\"");
    ASSERT_EQ(writeAs(u"raw", img.get(), dir / "photo.raw", u"Interleaved", CF_RGBA32), RC_OK);
    std::vector<uint8_t> b = readFile(dir / "photo.raw");
    EXPECT_EQ(std::string(b.begin(), b.end()),
              "RawImage {\r\n\twidth 5;\r\n\theight 3;\r\n\tformat uint8;\r\n\tname \"Caf\xe9 'x'\";\r\n"
              "\tfile \"photo.RGBA\";\r\n"
              "\tR {\r\n\t\tstart 0;\r\n\t\tdelta 4;\r\n\t}\r\n\tG {\r\n\t\tstart 1;\r\n\t\tdelta 4;\r\n\t}\r\n"
              "\tB {\r\n\t\tstart 2;\r\n\t\tdelta 4;\r\n\t}\r\n\tA {\r\n\t\tstart 3;\r\n\t\tdelta 4;\r\n\t}\r\n}\r\n");
    Pnm p;
    sh("convert -size 5x3 -depth 8 rgba:photo.RGBA photo.pam");
    ASSERT_TRUE(readPnm(dir / "photo.pam", p));
    expectEqualPixels(img.get(), p, "interleaved data");
    Decoded d = decodeFileFull(dir / "photo.raw");
    ASSERT_EQ(d.rc, RC_OK);
    expectEqualPixels(d.image.get(), p, "read back");

    Ref<Image> opaque = rampImage(5, 3, false);
    opaque->info()->set(INFO_TITLE, u"Caf\u00e9 \"x\"");
    ASSERT_EQ(writeAs(u"raw", opaque.get(), dir / "sep.raw", u"Separated", CF_RGB24), RC_OK);
    b = readFile(dir / "sep.raw");
    EXPECT_EQ(std::string(b.begin(), b.end()),
              "RawImage {\r\n\twidth 5;\r\n\theight 3;\r\n\tformat uint8;\r\n\tname \"Caf\xe9 'x'\";\r\n"
              "\tR {\r\n\t\tfile \"sep.R\";\r\n\t}\r\n\tG {\r\n\t\tfile \"sep.G\";\r\n\t}\r\n"
              "\tB {\r\n\t\tfile \"sep.B\";\r\n\t}\r\n}\r\n");
    sh("convert -size 5x3 -depth 8 gray:sep.R gray:sep.G gray:sep.B -combine sep.pam");
    ASSERT_TRUE(readPnm(dir / "sep.pam", p));
    expectEqualPixels(opaque.get(), p, "separated data", false);

    Ref<Image> grey = greyRamp(4, 2);
    ASSERT_EQ(writeAs(u"raw", grey.get(), dir / "lum", u"Luminance", CF_GRAY8), RC_OK);
    std::vector<uint8_t> lum = readFile(dir / "lum.L");
    ASSERT_EQ(lum.size(), 8u);
    for (uint32_t i = 0; i < 8; ++i) EXPECT_EQ(lum[i], grey->row<uint8_t>(i / 4)[i % 4]);
}

namespace {

// Writes under `written` what will be named `final`, as the batch does; with
// `temporaries`, the writer leaves its data files at temporaries it names
// there (the target with "~"), for the caller to put in place.
ResultCode writeUnder(Image* img, const fs::path& written, const fs::path& final, const char16_t* sub, uint32_t flag,
                      std::vector<fs::path>* temporaries = nullptr)
{
    registerAllFormats();
    const FormatDescriptor* d = formatRegistry().at(formatFindByExtension(std::u16string_view(u"raw"), true));
    Ref<ImageWriter> w = Ref<ImageWriter>::adopt(d->createWriter(written, d));
    w->finalPath = final;
    if (temporaries)
        w->companionTemporary = [temporaries](const fs::path& target) {
            temporaries->push_back(target.string() + "~");
            return temporaries->back();
        };
    return w->write(img, sub, flag, 0, false, nullptr, nullptr);
}

} // namespace

TEST_F(RawImageFiles, WriterNamesFailuresAndExistingFiles)
{
    Ref<Image> img = rampImage(4, 2, false);
    // Written under another name: the data files take the output's own.
    const fs::path temp = dir / ".shot.raw.quillon-12-0123456789abcdef.part";
    ASSERT_EQ(writeUnder(img.get(), temp, dir / "shot.raw", u"Interleaved", CF_RGB24), RC_OK);
    EXPECT_EQ(readFile(dir / "shot.RGB").size(), 4u * 2 * 3);
    std::vector<uint8_t> b = readFile(temp);
    EXPECT_NE(std::string(b.begin(), b.end()).find("\tfile \"shot.RGB\";"), std::string::npos);
    // A caller that names the temporaries places them itself.
    std::vector<fs::path> temps;
    ASSERT_EQ(writeUnder(img.get(), dir / "sep.tmp", dir / "sep.raw", u"Separated", CF_RGB24, &temps), RC_OK);
    EXPECT_EQ(temps, (std::vector<fs::path>{dir / "sep.R~", dir / "sep.G~", dir / "sep.B~"}));
    for (const fs::path& t : temps) EXPECT_EQ(readFile(t).size(), 4u * 2) << t;
    EXPECT_FALSE(fs::exists(dir / "sep.R"));

    // An existing data file whose description is not being replaced stays.
    writeFile(dir / "new.RGB", std::string("keep"));
    EXPECT_EQ(writeUnder(img.get(), dir / ".new.tmp", dir / "new.raw", u"Interleaved", CF_RGB24), RC_CREATE_FAILED);
    EXPECT_EQ(readFile(dir / "new.RGB").size(), 4u);
    // When it is, the data file is replaced.
    writeFile(dir / "new.raw", std::string("old"));
    EXPECT_EQ(writeUnder(img.get(), dir / ".new.tmp", dir / "new.raw", u"Interleaved", CF_RGB24), RC_OK);
    EXPECT_EQ(readFile(dir / "new.RGB").size(), 4u * 2 * 3);

    // A data file that cannot be made leaves no data files behind.
    fs::create_directory(dir / ".bad.G.part");
    EXPECT_EQ(writeAs(u"raw", img.get(), dir / "bad.raw", u"Separated", CF_RGB24), RC_CREATE_FAILED);
    EXPECT_FALSE(fs::exists(dir / "bad.R"));
    EXPECT_FALSE(fs::exists(dir / ".bad.R.part"));
    EXPECT_EQ(writeAs(u"raw", img.get(), dir / "no" / "x.raw", u"Separated", CF_RGB24), RC_CREATE_FAILED);

    // A description that cannot reach the disk (a full one) while its
    // folder has room for the data: no data file is left behind.
    if (access("/dev/full", W_OK) == 0) {
        fs::create_symlink("/dev/full", dir / "full.raw");
        for (const char16_t* sub : {u"Interleaved", u"Separated"}) {
            EXPECT_EQ(writeAs(u"raw", img.get(), dir / "full.raw", sub, CF_RGB24), RC_WRITE_FAILED);
            for (const char* data : {"full.RGB", "full.R", "full.G", "full.B"}) {
                EXPECT_FALSE(fs::exists(dir / data)) << data;
                EXPECT_FALSE(fs::exists(dir / ("." + std::string(data) + ".part"))) << data;
            }
        }
    }
}

// ---- through a batch ----

namespace {

struct RawBatch {
    FormatRegistry reg;
    InputListHooks hooks;
    std::unique_ptr<InputList> list;
    JobSettings s;
    QuietBatchUi ui;

    RawBatch(const fs::path& out, const char16_t* sub, uint32_t colour)
    {
        registerAllFormats(reg);
        hooks.registry = &reg;
        list = std::make_unique<InputList>(&hooks);
        s.szOutDir = out / "";
        s.iOutFormats = 1;
        s.slots[0].iFormatId = reg.findByExtension(std::u16string_view(u"x.raw"), true);
        s.slots[0].szSubFormat = sub;
        s.slots[0].iColorFormat = colour;
        s.bNoOverwritePrompt = 1;
    }
    BatchResult run(const std::vector<fs::path>& inputs)
    {
        list->clearAll();
        for (const fs::path& p : inputs) EXPECT_EQ(list->addFile(p, false, false), RC_OK) << p;
        bool running = false;
        BatchContext ctx{s, *list, ui, running};
        ctx.registry = &reg;
        return batchRun(ctx);
    }
};

// Every name in `folder` that starts with a dot.
std::vector<std::string> hiddenNames(const fs::path& folder)
{
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(folder))
        if (e.path().filename().string()[0] == '.') out.push_back(e.path().filename().string());
    return out;
}

// Sample c of pixel (x, y) as the image holds it.
uint32_t sampleOf(const Image* image, uint32_t x, uint32_t y, uint32_t c)
{
    static const uint32_t kBgra[] = {2, 1, 0, 3};  // R, G, B, A in a pixel
    switch (image->pixelFormat) {
    case PF_GRAY8: return image->row<uint8_t>(y)[x];
    case PF_RGBA8: return reinterpret_cast<const uint8_t*>(&image->row<Rgba8>(y)[x])[kBgra[c]];
    case PF_RGBA16: return reinterpret_cast<const uint16_t*>(&image->row<Rgba16>(y)[x])[kBgra[c]];
    default: ADD_FAILURE() << "pixel format " << image->pixelFormat; return 0;
    }
}

} // namespace

// A batch writes each description under a temporary name: the description
// still names the data files by the output's own name, they lie beside it
// holding the source's samples as ImageMagick decodes them, our reader reads
// them back, and nothing hidden is left in the folder.
TEST_F(RawImageFiles, BatchOutputsNameTheirDataByTheOutputsName)
{
    // 8-bit inputs are written as they are; 16-bit ones as 64-bit colour.
    sh("convert src.png -depth 8 photo.png && convert src.png -colorspace Gray -depth 8 grey.pgm && "
       "convert -size 9x5 gradient:'#102030'-'#f0e0d0' "
       "-alpha set -channel A -evaluate set 40% +channel -depth 16 deep.png");
    struct Case {
        const char16_t* sub;
        uint32_t colour;
        const char* input;
        const char* oracle;  // ImageMagick's raw form of the input
        std::vector<std::string> data;
    } cases[] = {
        {u"Interleaved", CF_RGBA32, "photo.png", "-depth 8 rgba:", {"photo.RGBA"}},
        {u"Separated", CF_RGB24, "photo.png", "-depth 8 rgb:", {"photo.R", "photo.G", "photo.B"}},
        {u"Luminance", CF_GRAY8, "grey.pgm", "-depth 8 gray:", {"grey.L"}},
        {u"Separated", CF_RGBA64, "deep.png", "-depth 16 -endian LSB rgba:", {"deep.R", "deep.G", "deep.B", "deep.A"}},
    };
    for (const Case& c : cases) {
        const std::string what = u16ToUtf8(c.sub) + " " + c.input;
        const fs::path out = dir / ("out-" + std::to_string(&c - cases));
        fs::create_directories(out);
        RawBatch batch(out, c.sub, c.colour);
        ASSERT_EQ(batch.run({dir / c.input}).converted, 1)
            << what << ": " << (batch.ui.errors.empty() ? "" : u16ToUtf8(batch.ui.errors[0]));
        EXPECT_EQ(hiddenNames(out), std::vector<std::string>{}) << what;

        const fs::path desc = out / (fs::path(c.input).stem().string() + ".raw");
        std::vector<uint8_t> text = readFile(desc);
        RawImageDescription d;
        ASSERT_TRUE(rawImageParse(std::string(text.begin(), text.end()), desc, &d)) << what;
        const uint32_t channels = d.channels, sb = d.sampleBytes;
        std::set<fs::path> named;
        for (uint32_t k = 0; k < channels; ++k) named.insert(d.channel[k].file);
        std::set<fs::path> want;
        for (const std::string& f : c.data) want.insert(out / f);
        EXPECT_EQ(named, want) << what;

        // The data against ImageMagick's samples of the source.
        sh(std::string("convert ") + c.input + " " + c.oracle + "oracle.bin");
        const std::vector<uint8_t> oracle = readFile(dir / "oracle.bin");
        std::vector<uint8_t> got;
        if (c.data.size() == 1) {
            got = readFile(out / c.data[0]);
        } else {
            std::vector<std::vector<uint8_t>> planes;
            for (const std::string& f : c.data) planes.push_back(readFile(out / f));
            for (size_t i = 0; i < planes[0].size(); i += sb)
                for (const auto& p : planes)
                    if (i + sb <= p.size())
                        got.insert(got.end(), p.begin() + ptrdiff_t(i), p.begin() + ptrdiff_t(i + sb));
        }
        EXPECT_EQ(got, oracle) << what;

        // Our reader finds them by the description and reads the same.
        Decoded back = decodeFileFull(desc);
        ASSERT_EQ(back.rc, RC_OK) << what;
        ASSERT_EQ(oracle.size(), size_t(back.image->width) * back.image->height * channels * sb) << what;
        size_t mismatches = 0;
        for (uint32_t y = 0; y < back.image->height; ++y)
            for (uint32_t x = 0; x < back.image->width; ++x)
                for (uint32_t k = 0; k < channels; ++k) {
                    const size_t at = ((size_t(y) * back.image->width + x) * channels + k) * sb;
                    const uint32_t want = sb == 1 ? oracle[at] : uint32_t(oracle[at] | oracle[at + 1] << 8);
                    mismatches += sampleOf(back.image.get(), x, y, k) != want;
                }
        EXPECT_EQ(mismatches, 0u) << what;
    }
}

// An output replacing an earlier one: a write that fails (here at the
// file size limit, as on a full disk) leaves the old description and data
// as they were and nothing hidden; one that succeeds replaces both, and the
// data file keeps the permissions it had.
TEST_F(RawImageFiles, BatchKeepsTheOldDataUntilTheNewIsComplete)
{
    const fs::path out = dir / "out";
    fs::create_directories(out);
    writeFile(out / "src.raw", std::string("RawImage { width 1; height 1; file src.RGB; }"));
    writeFile(out / "src.RGB", std::string("old"));
    fs::permissions(out / "src.RGB", fs::perms(0640));
    RawBatch batch(out, u"Interleaved", CF_RGB24);

    struct rlimit old {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    struct rlimit small = old;
    small.rlim_cur = 200;  // room for the description, not for the data
    sighandler_t was = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    BatchResult r = batch.run({src});
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, was);
    EXPECT_EQ(r.failed, 1);
    std::vector<uint8_t> kept = readFile(out / "src.RGB");
    EXPECT_EQ(std::string(kept.begin(), kept.end()), "old");
    kept = readFile(out / "src.raw");
    EXPECT_EQ(std::string(kept.begin(), kept.end()), "RawImage { width 1; height 1; file src.RGB; }");
    EXPECT_EQ(hiddenNames(out), std::vector<std::string>{});

    r = batch.run({src});
    EXPECT_EQ(r.converted, 1);
    EXPECT_EQ(readFile(out / "src.RGB").size(), 13u * 7 * 3);
    EXPECT_EQ(fs::status(out / "src.RGB").permissions() & fs::perms::all, fs::perms(0640));
    EXPECT_EQ(hiddenNames(out), std::vector<std::string>{});
    Decoded back = decodeFileFull(out / "src.raw");
    EXPECT_EQ(back.rc, RC_OK);
}
