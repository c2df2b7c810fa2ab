// RawImage descriptions: the tokenizer, numbers and parser table-driven; the
// reader over sample files ImageMagick writes (gray:, rgb:, rgba:) in
// interleaved, separated and planar layouts; the writer's exact text and data
// read back by ImageMagick; files that are missing, short or not files.
#include "codecs/more/rawimage.h"

#include <sys/stat.h>
#include <unistd.h>

#include "codecs/raster_oracle.h"

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

TEST_F(RawImageFiles, WriterNamesFailuresAndExistingFiles)
{
    Ref<Image> img = rampImage(4, 2, false);
    // The batch writes through a hidden temporary: data files take the
    // real name.
    fs::path temp = dir / ".shot.raw.0123456789abcdef.part";
    ASSERT_EQ(writeAs(u"raw", img.get(), temp, u"Interleaved", CF_RGB24), RC_OK);
    EXPECT_TRUE(fs::exists(dir / "shot.RGB"));
    std::vector<uint8_t> b = readFile(temp);
    EXPECT_NE(std::string(b.begin(), b.end()).find("file \"shot.RGB\""), std::string::npos);

    // An existing data file whose description is not being replaced stays.
    writeFile(dir / "new.RGB", std::string("keep"));
    EXPECT_EQ(writeAs(u"raw", img.get(), dir / ".new.raw.0123456789abcdef.part", u"Interleaved", CF_RGB24),
              RC_CREATE_FAILED);
    EXPECT_EQ(readFile(dir / "new.RGB").size(), 4u);
    // When it is, the data file is replaced.
    writeFile(dir / "new.raw", std::string("old"));
    EXPECT_EQ(writeAs(u"raw", img.get(), dir / ".new.raw.0123456789abcdef.part", u"Interleaved", CF_RGB24), RC_OK);
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
