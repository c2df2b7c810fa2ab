// PNG reading against files made by ImageMagick and checked with pngcheck,
// compared with netpbm's pngtopam; hand-built chunk streams for
// transparency, text, animation and hostile headers.
#include "codecs/main/png.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/format_table.h"
#include "core/convert.h"
#include "core/image_reader.h"
#include "core/image_writer.h"
#include "platform/memory.h"
#include "platform/tasks.h"
#include "support/codec_support.h"
#include "support/test_support.h"

using namespace quillon;
using namespace quillon::test;
namespace fs = std::filesystem;

namespace {

Decoded decodePng(const std::vector<uint8_t>& bytes, bool allFrames = true)
{
    return decodeBytesFull(bytes, "t.png", allFrames);
}

Decoded decodePngFile(const fs::path& path) { return decodeFileFull(path); }

// An oracle's decode with every sample widened to 16 bits.
struct Samples16 {
    uint32_t width = 0, height = 0;
    std::vector<uint16_t> rgba;  // R, G, B, A per pixel
};

bool oracle(const fs::path& png, Samples16& out, const std::string& tool = "pngtopam -alphapam",
            const std::string& sink = "")
{
    fs::path pam = png;
    pam += ".pam";
    if (run(tool + " " + shellQuote(png.string()) + sink + " > " + shellQuote(pam.string()) + " 2>/dev/null") != 0)
        return false;
    Pnm p;
    if (!readPnm(pam, p) || p.maxval == 0) return false;
    out.width = p.width;
    out.height = p.height;
    out.rgba.resize(size_t(p.width) * p.height * 4);
    uint32_t scale = 65535 / p.maxval;
    bool grey = p.channels <= 2, alpha = p.channels == 2 || p.channels == 4;
    for (uint32_t y = 0; y < p.height; ++y)
        for (uint32_t x = 0; x < p.width; ++x) {
            uint16_t* o = &out.rgba[(size_t(y) * p.width + x) * 4];
            for (uint32_t c = 0; c < 3; ++c) o[c] = uint16_t(p.at(x, y, grey ? 0 : c) * scale);
            o[3] = alpha ? uint16_t(p.at(x, y, p.channels - 1) * scale) : 65535;
        }
    return true;
}

Samples16 ours(const Image* img)
{
    Samples16 s;
    Ref<Image> wide = Ref<Image>::adopt(imageConvertNew(img, false, false, PF_RGBA16));
    if (!wide) return s;
    s.width = wide->width;
    s.height = wide->height;
    for (uint32_t y = 0; y < s.height; ++y)
        for (uint32_t x = 0; x < s.width; ++x) {
            Rgba16 p = wide->row<Rgba16>(y)[x];
            s.rgba.insert(s.rgba.end(), {p.r, p.g, p.b, p.a});
        }
    return s;
}

void expectSame(const Samples16& a, const Samples16& b, const std::string& what)
{
    ASSERT_EQ(a.width, b.width) << what;
    ASSERT_EQ(a.height, b.height) << what;
    int bad = 0;
    for (size_t i = 0; i < a.rgba.size(); i += 4)
        if (std::memcmp(&a.rgba[i], &b.rgba[i], 8) != 0 && ++bad <= 3)
            ADD_FAILURE() << what << " pixel " << i / 4 << ": ours " << a.rgba[i] << " " << a.rgba[i + 1] << " "
                          << a.rgba[i + 2] << " " << a.rgba[i + 3] << " oracle " << b.rgba[i] << " " << b.rgba[i + 1]
                          << " " << b.rgba[i + 2] << " " << b.rgba[i + 3];
    EXPECT_EQ(bad, 0) << what;
}

void expectMatchesOracle(const fs::path& file, const std::string& what)
{
    Decoded d = decodePngFile(file);
    ASSERT_EQ(d.rc, RC_OK) << what;
    Samples16 want;
    ASSERT_TRUE(oracle(file, want)) << what;
    expectSame(ours(d.image.get()), want, what);
}

// ---- a chunk writer for hand-made files (zlib for the data and CRC) ----

const uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};

struct PngBytes {
    std::vector<uint8_t> bytes = std::vector<uint8_t>(kPngSignature, kPngSignature + 8);
    PngBytes& chunk(const char* type, const std::vector<uint8_t>& data)
    {
        be32(bytes, uint32_t(data.size()));
        size_t start = bytes.size();
        bytes.insert(bytes.end(), type, type + 4);
        bytes.insert(bytes.end(), data.begin(), data.end());
        be32(bytes, uint32_t(crc32(0, bytes.data() + start, uInt(bytes.size() - start))));
        return *this;
    }
    PngBytes& ihdr(uint32_t w, uint32_t h, uint8_t depth, uint8_t type, uint8_t interlace = 0)
    {
        std::vector<uint8_t> d;
        be32(d, w);
        be32(d, h);
        d.insert(d.end(), {depth, type, 0, 0, interlace});
        return chunk("IHDR", d);
    }
    PngBytes& idat(const std::vector<uint8_t>& raw) { return chunk("IDAT", deflated(raw)); }
    PngBytes& iend() { return chunk("IEND", {}); }
    static std::vector<uint8_t> deflated(const std::vector<uint8_t>& raw)
    {
        uLongf n = compressBound(uLong(raw.size()));
        std::vector<uint8_t> out(n);
        compress(out.data(), &n, raw.data(), uLong(raw.size()));
        out.resize(n);
        return out;
    }
};

std::vector<uint8_t> text(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

// Unfiltered rows (filter byte 0) of `rowBytes` bytes from a pattern.
std::vector<uint8_t> rawRows(uint32_t rows, uint32_t rowBytes, uint32_t seed = 1)
{
    std::vector<uint8_t> v;
    uint32_t s = seed;
    for (uint32_t y = 0; y < rows; ++y) {
        v.push_back(0);
        for (uint32_t i = 0; i < rowBytes; ++i) {
            s = s * 1103515245u + 12345u;
            v.push_back(uint8_t(s >> 16));
        }
    }
    return v;
}

const char* kSource = "-seed 3 -size 29x19 plasma:";

} // namespace

// Every colour type and depth, interlaced and not, as ImageMagick writes
// them; pngcheck confirms each file is what the row says before pngtopam
// judges our pixels.
TEST(PngRead, EveryColourTypeAndDepthMatchesPngtopam)
{
    QUILLON_REQUIRE_TOOL("convert");
    QUILLON_REQUIRE_TOOL("pngtopam");
    QUILLON_REQUIRE_TOOL("pngcheck");
    struct Case {
        const char* name;
        const char* options;
        const char* pngcheckSays;
    };
    const std::string alphaX = " -alpha set -channel A -fx 'i/w' +channel";
    const Case cases[] = {
        {"g1", "-colorspace Gray -define png:color-type=0 -define png:bit-depth=1", "1-bit grayscale"},
        {"g2", "-colorspace Gray -define png:color-type=0 -define png:bit-depth=2", "2-bit grayscale"},
        {"g4", "-colorspace Gray -define png:color-type=0 -define png:bit-depth=4", "4-bit grayscale"},
        {"g8", "-colorspace Gray -define png:color-type=0 -define png:bit-depth=8", "8-bit grayscale"},
        {"g16", "-colorspace Gray -depth 16 -define png:color-type=0 -define png:bit-depth=16", "16-bit grayscale"},
        {"p1", "+dither -colors 2 -define png:bit-depth=1", "1-bit palette"},
        {"p2", "+dither -colors 4 -define png:bit-depth=2", "2-bit palette"},
        {"p4", "+dither -colors 16 -define png:bit-depth=4", "4-bit palette"},
        {"p8", "+dither -colors 200 -define png:bit-depth=8", "8-bit palette"},
        {"p8t", "-alpha set -channel A -fx 'i<9?0:1' +channel +dither -colors 60", "8-bit palette+trns"},
        {"rgb8", "-define png:color-type=2 -define png:bit-depth=8", "24-bit RGB"},
        {"rgb16", "-depth 16 -define png:color-type=2 -define png:bit-depth=16", "48-bit RGB"},
        {"ga8", "-colorspace Gray -alpha set -channel A -fx 'i/w' +channel -define png:color-type=4 "
                "-define png:bit-depth=8",
         "16-bit grayscale+alpha"},
        {"ga16", "-colorspace Gray -alpha set -channel A -fx 'i/w' +channel -depth 16 -define png:color-type=4 "
                 "-define png:bit-depth=16",
         "32-bit grayscale+alpha"},
        {"rgba8", "-alpha set -channel A -fx 'j/h' +channel -define png:color-type=6 -define png:bit-depth=8",
         "32-bit RGB+alpha"},
        {"rgba16",
         "-alpha set -channel A -fx 'j/h' +channel -depth 16 -define png:color-type=6 -define png:bit-depth=16",
         "64-bit RGB+alpha"},
    };
    TempDir dir;
    for (const Case& c : cases)
        for (bool interlaced : {false, true}) {
            std::string name = std::string(c.name) + (interlaced ? "i" : "") + ".png";
            fs::path file = dir / name;
            // Palettes of fewer than 256 entries keep their depth only as png8.
            std::string format = c.name[0] == 'p' ? " png8:" : " png:";
            std::string cmd = std::string("convert ") + kSource + " " + c.options + (interlaced ? " -interlace PNG" : "") +
                              format + shellQuote(file.string()) + " 2>/dev/null";
            ASSERT_EQ(run(cmd), 0) << name;
            std::string check = runOutput("pngcheck " + shellQuote(file.string()));
            ASSERT_NE(check.find(std::string(c.pngcheckSays) + (interlaced ? ", interlaced" : ", non-interlaced")),
                      std::string::npos)
                << name << ": " << check;
            expectMatchesOracle(file, name);
        }
}

// Adam7 passes are empty for small sizes (no filter bytes at all); every
// size from 1x1 to 9x9 must scatter to the same pixels as pngtopam's.
TEST(PngRead, Adam7SmallSizes)
{
    QUILLON_REQUIRE_TOOL("convert");
    QUILLON_REQUIRE_TOOL("pngtopam");
    TempDir dir;
    for (uint32_t w = 1; w <= 9; ++w)
        for (uint32_t h = 1; h <= 9; ++h) {
            fs::path file = dir / ("a" + std::to_string(w) + "x" + std::to_string(h) + ".png");
            std::string size = std::to_string(w) + "x" + std::to_string(h);
            std::string cmd = "convert -seed " + std::to_string(w * 10 + h) + " -size " + size +
                              " xc: +noise Random -define png:color-type=2 -interlace PNG png:" +
                              shellQuote(file.string());
            ASSERT_EQ(run(cmd), 0);
            expectMatchesOracle(file, file.filename().string());
        }
}

// A tRNS key at every grey depth and for RGB at both depths: pixels of the
// key's value (compared at the file's depth) become transparent.
TEST(PngRead, TransparencyKeyAtEveryDepth)
{
    QUILLON_REQUIRE_TOOL("pngtopam");
    TempDir dir;
    struct Case {
        uint8_t type, depth;
        std::vector<uint8_t> key;
    };
    const Case cases[] = {
        {0, 1, {0, 1}},      {0, 2, {0, 2}}, {0, 4, {0, 15}}, {0, 8, {0, 0x5C}}, {0, 16, {0x12, 0x34}},
        {2, 8, {0, 7, 0, 9, 0, 200}}, {2, 16, {1, 2, 3, 4, 5, 6}},
    };
    for (const Case& c : cases) {
        uint32_t channels = c.type == 2 ? 3 : 1;
        uint32_t w = 13, h = 7, rowBytes = (w * c.depth * channels + 7) / 8;
        std::vector<uint8_t> raw = rawRows(h, rowBytes, c.depth);
        // Plant the key in a few pixels so it is certainly present.
        uint32_t sampleBytes = c.depth == 16 ? 2 : 1;
        if (c.depth >= 8)
            for (uint32_t y = 0; y < h; y += 2) {
                uint8_t* px = &raw[y * (rowBytes + 1) + 1 + 3 * channels * sampleBytes];
                for (uint32_t ch = 0; ch < channels; ++ch)
                    for (uint32_t b = 0; b < sampleBytes; ++b)
                        px[ch * sampleBytes + b] = c.key[2 * ch + (c.depth == 16 ? b : 1)];
            }
        PngBytes png;
        png.ihdr(w, h, c.depth, c.type).chunk("tRNS", c.key).idat(raw).iend();
        std::string name = "t" + std::to_string(c.type) + "_" + std::to_string(c.depth) + ".png";
        fs::path file = dir / name;
        writeFile(file, png.bytes);
        Decoded d = decodePngFile(file);
        ASSERT_EQ(d.rc, RC_OK) << name;
        EXPECT_EQ(d.image->alphaKind, ALPHA_STRAIGHT) << name;
        Samples16 mine = ours(d.image.get()), want;
        // pngtopam leaves RGB keys opaque; ImageMagick applies them.
        std::string tool = c.type == 2 ? "convert -depth 16 -alpha on" : "pngtopam -alphapam";
        std::string sink = c.type == 2 ? " pam:-" : "";
        ASSERT_TRUE(oracle(file, want, tool, sink)) << name;
        expectSame(mine, want, name);
        bool anyClear = false;
        for (size_t i = 3; i < mine.rgba.size(); i += 4) anyClear |= mine.rgba[i] == 0;
        EXPECT_TRUE(anyClear) << name;
    }
}

// A palette whose entries form the grey ramp but carry alpha must stay a
// palette: made grey, its transparency would be lost.
TEST(PngRead, GreyRampPaletteKeepsAlpha)
{
    std::vector<uint8_t> plte, trns(256, 255);
    for (int i = 0; i < 256; ++i) plte.insert(plte.end(), {uint8_t(i), uint8_t(i), uint8_t(i)});
    trns[7] = 0;
    std::vector<uint8_t> raw = {0, 7, 8, 9, 0, 255, 7, 100};
    PngBytes png;
    png.ihdr(3, 2, 8, 3).chunk("PLTE", plte).chunk("tRNS", trns).idat(raw).iend();
    Decoded d = decodePng(png.bytes);
    ASSERT_EQ(d.rc, RC_OK);
    Samples16 s = ours(d.image.get());
    EXPECT_EQ(s.rgba[3], 0);
    EXPECT_EQ(s.rgba[7], 65535);
    EXPECT_EQ(s.rgba[3 * 4 + 3], 65535);
    EXPECT_EQ(s.rgba[4 * 4 + 3], 0);
}

// Text chunks, background and density reach the information record.
TEST(PngRead, TextBackgroundAndDensity)
{
    std::vector<uint8_t> raw = rawRows(2, 6);
    std::vector<uint8_t> bkgd = {0x00, 0x12, 0x00, 0x34, 0x00, 0x56};
    std::vector<uint8_t> phys;
    be32(phys, 2835);
    be32(phys, 3780);
    phys.push_back(1);
    auto itxt = [](const std::string& keyword, const std::string& language, const std::string& value) {
        std::vector<uint8_t> v = text(keyword);
        v.insert(v.end(), {0, 0, 0});
        v.insert(v.end(), language.begin(), language.end());
        v.insert(v.end(), {0, 0});
        v.insert(v.end(), value.begin(), value.end());
        return v;
    };
    struct Case {
        std::string language;
        std::u16string title;
    };
    for (const Case& c : {Case{"de", u"Caf\u00e9"}, Case{"en", u"\u0160ib"}, Case{"", u"\u0160ib"}}) {
        PngBytes png;
        png.ihdr(2, 2, 8, 2)
            .chunk("bKGD", bkgd)
            .chunk("pHYs", phys)
            .chunk("tEXt", text(std::string("Title\0Caf\xe9", 10)))
            .chunk("iTXt", itxt("title", c.language, "\xc5\xa0ib"))
            .chunk("tEXt", text(std::string("Comment\0hello", 13)))
            .chunk("tEXt", text(std::string("Author\0", 7)))
            .chunk("tEXt", text(std::string("Private\0nope", 12)))
            .idat(raw)
            .iend();
        Decoded d = decodePng(png.bytes);
        ASSERT_EQ(d.rc, RC_OK);
        const ImageInfo* info = d.image->info();
        ASSERT_TRUE(info);
        ASSERT_TRUE(info->get(INFO_TITLE)) << c.language;
        EXPECT_EQ(std::u16string(info->get(INFO_TITLE)), c.title) << c.language;
        ASSERT_TRUE(info->get(INFO_COMMENTS));
        EXPECT_EQ(std::u16string(info->get(INFO_COMMENTS)), u"hello");
        EXPECT_FALSE(info->has(INFO_AUTHOR));
        ASSERT_TRUE(info->get(INFO_DENSITY));
        EXPECT_EQ(std::u16string(info->get(INFO_DENSITY)), u"2835 x 3780 ppm");
        ASSERT_TRUE(info->get(INFO_COMPRESSION));
        EXPECT_EQ(std::u16string(info->get(INFO_COMPRESSION)), u"Inflate");
        EXPECT_EQ(d.image->frameInfo.backgroundColour, 0xFF123456u);
    }
}

// What the file's structure allows and refuses, each with its exact code.
TEST(PngRead, HostileHeadersGiveTheirCodes)
{
    std::vector<uint8_t> raw = rawRows(2, 6);
    std::vector<uint8_t> fctlBad;  // outside the 2x2 canvas
    for (uint32_t v : {0u, 2u, 2u, 1u, 0u}) be32(fctlBad, v);
    fctlBad.insert(fctlBad.end(), {0, 1, 0, 10, 0, 0});
    std::vector<uint8_t> actl = {0, 0, 0, 1, 0, 0, 0, 0};
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        ResultCode rc;
    };
    std::vector<Case> cases;
    cases.push_back({"chunk before IHDR", PngBytes().chunk("tRNS", {0, 1}).ihdr(2, 2, 8, 2).idat(raw).iend().bytes,
                     RC_CORRUPT_FILE});
    cases.push_back({"second IHDR", PngBytes().ihdr(2, 2, 8, 2).ihdr(2, 2, 8, 0).idat(raw).iend().bytes,
                     RC_CORRUPT_FILE});
    cases.push_back({"short IHDR", PngBytes().chunk("IHDR", {0, 0, 0, 2, 0, 0, 0, 2, 8}).idat(raw).iend().bytes,
                     RC_CORRUPT_FILE});
    cases.push_back({"zero width", PngBytes().ihdr(0, 2, 8, 2).idat(raw).iend().bytes, RC_CORRUPT_FILE});
    cases.push_back({"width over 2^31", PngBytes().ihdr(0x80000000u, 2, 8, 2).idat(raw).iend().bytes,
                     RC_CORRUPT_FILE});
    cases.push_back({"grey+alpha at 4 bits", PngBytes().ihdr(2, 2, 4, 4).idat(raw).iend().bytes,
                     RC_UNSUPPORTED_SUBFORMAT});
    cases.push_back({"colour type 5", PngBytes().ihdr(2, 2, 8, 5).idat(raw).iend().bytes, RC_UNSUPPORTED_SUBFORMAT});
    cases.push_back({"RGB at 4 bits", PngBytes().ihdr(2, 2, 4, 2).idat(raw).iend().bytes, RC_UNSUPPORTED_SUBFORMAT});
    cases.push_back({"digit in a type", PngBytes().ihdr(2, 2, 8, 2).chunk("tE5t", {}).idat(raw).iend().bytes,
                     RC_CORRUPT_FILE});
    cases.push_back({"no image data", PngBytes().ihdr(2, 2, 8, 2).iend().bytes, RC_CORRUPT_FILE});
    cases.push_back({"palette image without PLTE", PngBytes().ihdr(2, 2, 8, 3).idat(raw).iend().bytes,
                     RC_CORRUPT_FILE});
    cases.push_back({"short pHYs is dropped", PngBytes().ihdr(2, 2, 8, 2).chunk("pHYs", {1}).idat(raw).iend().bytes,
                     RC_OK});
    cases.push_back({"short acTL", PngBytes().ihdr(2, 2, 8, 2).chunk("acTL", {0, 0}).idat(raw).iend().bytes,
                     RC_CORRUPT_FILE});
    cases.push_back({"short fcTL",
                     PngBytes().ihdr(2, 2, 8, 2).chunk("acTL", actl).chunk("fcTL", {0, 0, 0}).idat(raw).iend().bytes,
                     RC_CORRUPT_FILE});
    cases.push_back({"frame outside the canvas",
                     PngBytes().ihdr(2, 2, 8, 2).chunk("acTL", actl).idat(raw).chunk("fcTL", fctlBad).iend().bytes,
                     RC_CORRUPT_FILE});
    cases.push_back({"no IEND", PngBytes().ihdr(2, 2, 8, 2).idat(raw).bytes, RC_OK});
    cases.push_back({"empty IDAT chunks around the data",
                     PngBytes().ihdr(2, 2, 8, 2).chunk("IDAT", {}).idat(raw).chunk("IDAT", {}).iend().bytes, RC_OK});
    {
        // A length whose end wraps 32 bits.
        std::vector<uint8_t> b = PngBytes().ihdr(2, 2, 8, 2).idat(raw).iend().bytes;
        std::vector<uint8_t> huge = {0xFF, 0xFF, 0xFF, 0xF8, 't', 'E', 'X', 't'};
        b.insert(b.begin() + 33, huge.begin(), huge.end());
        cases.push_back({"chunk length near 2^32", b, RC_CORRUPT_FILE});
    }
    for (const Case& c : cases) {
        Decoded d = decodePng(c.bytes);
        EXPECT_EQ(d.rc, c.rc) << c.what;
    }
    // Too short for any header: refused by the probe as damaged, and by
    // the header reader when asked directly.
    std::vector<uint8_t> signature = PngBytes().bytes;
    EXPECT_EQ(decodePng(signature).rc, RC_CORRUPT_FILE);
    Ref<MappedFile> src = Ref<MappedFile>::adopt(memoryStreamCreate(signature.data(), signature.size(), "s.png", false));
    Ref<ImageReader> reader = Ref<ImageReader>::adopt(pngReaderCreate(src.get(), nullptr));
    EXPECT_EQ(reader->open(nullptr), RC_CORRUPT_FILE);
    // A size that fits the format, with data enough to fill it, but not the
    // memory cap.
    uint64_t cap = allocationCap();
    setAllocationCap(uint64_t(1) << 20);
    std::vector<uint8_t> blank(size_t(2000) * (1 + 2000 * 4), 0);
    Decoded big = decodePng(PngBytes().ihdr(2000, 2000, 8, 6).idat(blank).iend().bytes);
    EXPECT_EQ(big.rc, RC_OUT_OF_MEMORY);
    // Claiming a size that its data could never fill, even at deflate's
    // greatest expansion: damaged, and refused before any image is made, so
    // neither the cap nor the memory a blank picture would need is reached.
    for (uint32_t side : {2000u, 60000u}) {
        Decoded claim = decodePng(PngBytes().ihdr(side, side, 8, 6).idat(raw).iend().bytes);
        EXPECT_EQ(claim.rc, RC_CORRUPT_FILE) << side;
        EXPECT_EQ(claim.image.get(), nullptr) << side;
    }
    setAllocationCap(cap);
}

// A file cut anywhere: in the header it is damaged; inside the image data
// the rows before the cut are kept, the rest blank, and it is still damaged.
TEST(PngRead, TruncationSweep)
{
    QUILLON_REQUIRE_TOOL("convert");
    TempDir dir;
    fs::path file = dir / "g.png";
    ASSERT_EQ(run(std::string("convert ") + kSource + " -colorspace Gray -depth 8 -define png:color-type=0 " +
                  "-define png:compression-level=0 png:" + shellQuote(file.string())),
              0);
    std::vector<uint8_t> whole = readFile(file);
    Decoded full = decodePng(whole);
    ASSERT_EQ(full.rc, RC_OK);
    ASSERT_EQ(full.image->pixelFormat, PF_GRAY8);
    for (size_t cut = 1; cut < whole.size(); cut += 7) {
        std::vector<uint8_t> part(whole.begin(), whole.begin() + std::ptrdiff_t(cut));
        Decoded d = decodePng(part);
        if (cut < 22) {
            EXPECT_EQ(d.rc, cut < 8 ? RC_UNKNOWN_FORMAT : RC_CORRUPT_FILE) << cut;
            continue;
        }
        // Only a cut inside the trailing chunks can leave all rows.
        if (d.rc == RC_OK) continue;
        EXPECT_EQ(d.rc, RC_CORRUPT_FILE) << cut;
        if (!d.image || d.image->pixelFormat != PF_GRAY8) continue;
        // Every row decoded matches; the ones after it are blank.
        uint32_t y = 0;
        while (y < full.image->height &&
               std::memcmp(d.image->rowBytesPtr(y), full.image->rowBytesPtr(y), full.image->width) == 0)
            ++y;
        for (uint32_t r = y + 1; r < full.image->height; ++r)
            for (uint32_t x = 0; x < full.image->width; ++x)
                ASSERT_EQ(d.image->rowBytesPtr(r)[x], 0) << "cut " << cut << " row " << r;
    }
}

namespace {

// Straight-alpha canvas compositing as apngdis does it, to lay our raw
// frames (rectangles with dispose and blend) over one another.
struct Canvas {
    uint32_t width, height;
    std::vector<uint8_t> rgba;
    Canvas(uint32_t w, uint32_t h) : width(w), height(h), rgba(size_t(w) * h * 4, 0) {}
    uint8_t* at(uint32_t x, uint32_t y) { return &rgba[(size_t(y) * width + x) * 4]; }
    void draw(Image* frame)
    {
        Ref<Image> px = Ref<Image>::adopt(imageConvertNew(frame, false, false, PF_RGBA8));
        const FrameInfo& fi = frame->frameInfo;
        for (uint32_t y = 0; y < px->height; ++y)
            for (uint32_t x = 0; x < px->width; ++x) {
                Rgba8 s = px->row<Rgba8>(y)[x];
                uint8_t* d = at(uint32_t(fi.x) + x, uint32_t(fi.y) + y);
                uint8_t src[4] = {s.r, s.g, s.b, s.a};
                if (!fi.blend || s.a == 255 || d[3] == 0) {
                    if (fi.blend && s.a == 0) continue;
                    std::memcpy(d, src, 4);
                } else if (s.a != 0) {
                    uint32_t u = s.a * 255u, v = (255u - s.a) * d[3], al = u + v;
                    for (int c = 0; c < 3; ++c) d[c] = uint8_t((src[c] * u + d[c] * v) / al);
                    d[3] = uint8_t(al / 255);
                }
            }
    }
    void clear(const FrameInfo& fi, uint32_t w, uint32_t h)
    {
        for (uint32_t y = 0; y < h; ++y) std::memset(at(uint32_t(fi.x), uint32_t(fi.y) + y), 0, size_t(w) * 4);
    }
    Samples16 samples() const
    {
        Samples16 s;
        s.width = width;
        s.height = height;
        for (uint8_t v : rgba) s.rgba.push_back(uint16_t(v * 257));
        return s;
    }
};

// Transparent pixels compare by their alpha alone.
void expectSameVisible(Samples16 a, Samples16 b, const std::string& what)
{
    for (size_t i = 0; i < a.rgba.size() && i < b.rgba.size(); i += 4)
        if (a.rgba[i + 3] == 0 && b.rgba[i + 3] == 0)
            for (int c = 0; c < 3; ++c) a.rgba[i + size_t(c)] = b.rgba[i + size_t(c)] = 0;
    expectSame(a, b, what);
}

// Four 40x30 frames (one with a transparent background) for apngasm, with
// delays 1/10, 3/20, 1/10 and 7/100; returns their quoted paths.
std::string makeAnimationFrames(const TempDir& dir)
{
    std::string frames;
    for (int i = 1; i <= 4; ++i) {
        fs::path f = dir / ("f" + std::to_string(i) + ".png");
        std::string draw = "-fill red -draw 'rectangle " + std::to_string(i * 5) + ",5 " + std::to_string(i * 5 + 8) +
                           ",15' -fill 'rgba(0,0,255,0.5)' -draw 'circle 20,20 " + std::to_string(20 + i * 2) + ",20'";
        std::string background = i == 3 ? "xc:none" : "xc:white";
        if (run("convert -size 40x30 " + background + " " + draw + " png32:" + shellQuote(f.string())) != 0) return "";
        frames += " " + shellQuote(f.string());
    }
    writeFile(dir / "f2.txt", std::string("delay=3/20\n"));
    writeFile(dir / "f4.txt", std::string("delay=7/100\n"));
    return frames;
}

} // namespace

// Animations assembled by apngasm, with the default image inside the
// animation and outside it, in palette and RGB form: our frames laid over
// one another must give apngdis's frames, with its delays.
TEST(PngRead, AnimationMatchesApngdis)
{
    QUILLON_REQUIRE_TOOL("convert");
    QUILLON_REQUIRE_TOOL("apngasm");
    QUILLON_REQUIRE_TOOL("apngdis");
    QUILLON_REQUIRE_TOOL("pngtopam");
    TempDir dir;
    std::string frames = makeAnimationFrames(dir);
    struct Case {
        const char* name;
        const char* options;
        uint32_t hidden;  // frames of apngdis that are the default image only
    };
    for (const Case& c : {Case{"inside", "", 0}, Case{"outside", " -f", 1}, Case{"rgba", " -kc", 0},
                          Case{"rgba-outside", " -kc -f", 1}}) {
        fs::path anim = dir / (std::string(c.name) + ".png");
        ASSERT_EQ(run("apngasm " + shellQuote(anim.string()) + frames + " 1 10 -z0" + c.options + " > /dev/null"), 0);
        fs::path out = dir / c.name;
        fs::create_directories(out);
        fs::copy_file(anim, out / "a.png");
        ASSERT_EQ(run("cd " + shellQuote(out.string()) + " && apngdis a.png > /dev/null"), 0);

        Decoded d = decodePng(readFile(anim));
        ASSERT_EQ(d.rc, RC_OK) << c.name;
        Image* head = d.image.get();
        Canvas canvas(head->frameInfo.canvasWidth, head->frameInfo.canvasHeight);
        ASSERT_EQ(canvas.width, 40u) << c.name;
        uint32_t n = 0;
        for (Image* f = head; f; f = f->next(), ++n) {
            Canvas before = canvas;
            canvas.draw(f);
            std::string what = std::string(c.name) + " frame " + std::to_string(n);
            uint32_t disFrame = n + c.hidden;
            fs::path dis = out / ("apngframe" + std::to_string(disFrame + (c.hidden ? 0 : 1)) + ".png");
            Samples16 want;
            ASSERT_TRUE(oracle(dis, want)) << what;
            expectSameVisible(canvas.samples(), want, what);
            std::string txt = runOutput("cat " + shellQuote((out / ("apngframe" +
                                                                    std::to_string(disFrame + (c.hidden ? 0 : 1)) +
                                                                    ".txt")).string()));
            uint32_t num = 0, den = 0;
            ASSERT_EQ(std::sscanf(txt.c_str(), "delay=%u/%u", &num, &den), 2) << what;
            uint32_t ms = num == 0 ? 17 : (num * 1000 + (den ? den : 100) / 2) / (den ? den : 100);
            EXPECT_EQ(f->frameInfo.duration, ms) << what;
            if (f->frameInfo.dispose == 1 || (f->frameInfo.dispose == 2 && n == 0))
                canvas.clear(f->frameInfo, f->width, f->height);
            else if (f->frameInfo.dispose == 2)
                canvas = before;
        }
        EXPECT_EQ(n, 4u - c.hidden) << c.name;
        EXPECT_TRUE(head->frameInfo.loop) << c.name;
    }
}

namespace {

// Writes `image` through the registry's PNG writer.
ResultCode writePng(Image* image, const fs::path& path, const char16_t* subFormat, ColourFormatFlags mask,
                    bool allFrames = false)
{
    registerAllFormats();
    int32_t index = formatFindByExtension(std::u16string_view(u"x.png"), true);
    const FormatDescriptor* d = formatRegistry().at(index);
    if (!d || !d->createWriter) return RC_GENERAL_FAILURE;
    Ref<ImageWriter> w = Ref<ImageWriter>::adopt(d->createWriter(path, d));
    uint32_t bits = 0;
    ResultCode rc = w->write(image, subFormat, mask, 0, allFrames, nullptr, &bits);
    ResultCode closed = w->output.close();
    return failed(rc) ? rc : closed;
}

std::string pngcheckOf(const fs::path& file, const char* options = "-v")
{
    return runOutput(std::string("pngcheck ") + options + " " + shellQuote(file.string()) + " 2>&1; echo status=$?");
}

} // namespace

// Every colour format the writer offers, in both sub-formats: pngcheck finds
// no fault and the type asked for, pngtopam reads back the source's pixels,
// and trial compression never loses to the byte-sum choice.
TEST(PngWrite, EveryColourFormatRoundTrips)
{
    QUILLON_REQUIRE_TOOL("convert");
    QUILLON_REQUIRE_TOOL("pngtopam");
    QUILLON_REQUIRE_TOOL("pngcheck");
    struct Case {
        ColourFormatFlags flag;
        const char* source;
        const char* pngcheckSays;
    };
    const std::string big = "-seed 4 -size 90x61 plasma: ";
    const Case cases[] = {
        {CF_2_COLOURS, "+dither -colors 2 png8:", "1-bit palette"},
        {CF_4_COLOURS, "+dither -colors 4 png8:", "2-bit palette"},
        {CF_16_COLOURS, "+dither -colors 16 png8:", "4-bit palette"},
        {CF_256_COLOURS, "-alpha set -channel A -fx 'i<9?0:1' +channel +dither -colors 200 png8:",
         "8-bit palette"},
        {CF_GRAY8, "-colorspace Gray -depth 8 png:", "8-bit grayscale"},
        {CF_GRAY16, "-colorspace Gray -depth 16 png:", "16-bit grayscale"},
        {CF_RGB24, "-depth 8 png24:", "24-bit RGB"},
        {CF_RGB48, "-depth 16 -define png:color-type=2 png:", "48-bit RGB"},
        {CF_RGBA32, "-alpha set -channel A -fx 'j/h' +channel -depth 8 png32:", "32-bit RGB+alpha"},
        {CF_RGBA64, "-alpha set -channel A -fx 'j/h' +channel -depth 16 png:", "64-bit RGB+alpha"},
    };
    TempDir dir;
    for (const Case& c : cases) {
        std::string tag = std::to_string(c.flag);
        fs::path source = dir / ("src" + tag + ".png");
        ASSERT_EQ(run("convert " + big + c.source + shellQuote(source.string())), 0) << tag;
        Decoded d = decodePngFile(source);
        ASSERT_EQ(d.rc, RC_OK) << tag;
        Samples16 want;
        ASSERT_TRUE(oracle(source, want)) << tag;
        uint64_t sizes[2] = {};
        for (int sub = 0; sub < 2; ++sub) {
            fs::path out = dir / ("out" + tag + "_" + std::to_string(sub) + ".png");
            ASSERT_EQ(writePng(d.image.get(), out, kPngSubFormats[sub], c.flag), RC_OK) << tag;
            std::string what = tag + (sub ? " super" : " normal");
            std::string check = pngcheckOf(out, "-vv");
            EXPECT_NE(check.find("status=0"), std::string::npos) << what << check;
            EXPECT_NE(check.find(std::string(c.pngcheckSays) + ", non-interlaced"), std::string::npos) << what << check;
            // Grey rows are filtered only when trial compression chooses.
            if (c.flag == CF_256_COLOURS) {
                EXPECT_NE(check.find("tRNS"), std::string::npos) << check;
            }
            if (c.flag == CF_GRAY8 && sub == 0) {
                EXPECT_NE(check.find(" 0 0 0 0 (61 out of 61)"), std::string::npos) << check;
            }
            Samples16 got;
            ASSERT_TRUE(oracle(out, got)) << what;
            expectSame(got, want, what);
            sizes[sub] = fs::file_size(out);
        }
        EXPECT_LE(sizes[1], sizes[0]) << tag;
    }
}

// Density and text reach pHYs, tEXt and (for text beyond Latin-1) iTXt,
// and come back exactly.
TEST(PngWrite, DensityAndText)
{
    QUILLON_REQUIRE_TOOL("pngcheck");
    std::vector<uint8_t> raw = rawRows(3, 9);
    Decoded d = decodePng(PngBytes().ihdr(3, 3, 8, 2).idat(raw).iend().bytes);
    ASSERT_EQ(d.rc, RC_OK);
    ImageInfo* info = d.image->info();
    ASSERT_TRUE(info);
    info->set(INFO_DENSITY, u"72 x 72 ppi");
    info->set(INFO_TITLE, u"\u0160koda \u00e9t\u00e9");
    info->set(INFO_AUTHOR, u"Zo\u00eb");
    TempDir dir;
    fs::path out = dir / "t.png";
    ASSERT_EQ(writePng(d.image.get(), out, kPngSubFormats[0], CF_RGB24), RC_OK);
    std::string check = pngcheckOf(out, "-vt");
    EXPECT_NE(check.find("status=0"), std::string::npos) << check;
    EXPECT_NE(check.find("2835x2835 pixels/meter"), std::string::npos) << check;
    EXPECT_NE(check.find("Skoda \xe9t\xe9"), std::string::npos) << check;
    EXPECT_NE(check.find("iTXt"), std::string::npos) << check;
    // Author fits Latin-1: a tEXt alone.
    EXPECT_NE(check.find("iTXt at"), std::string::npos) << check;
    EXPECT_EQ(check.find("iTXt at", check.find("iTXt at") + 1), std::string::npos) << check;
    Decoded back = decodePngFile(out);
    ASSERT_EQ(back.rc, RC_OK);
    EXPECT_EQ(std::u16string(back.image->info()->get(INFO_TITLE)), u"\u0160koda \u00e9t\u00e9");
    EXPECT_EQ(std::u16string(back.image->info()->get(INFO_AUTHOR)), u"Zo\u00eb");
    EXPECT_EQ(std::u16string(back.image->info()->get(INFO_DENSITY)), u"2835 x 2835 ppm");

    info->set(INFO_DENSITY, u"300 dpi");
    ASSERT_EQ(writePng(d.image.get(), out, kPngSubFormats[0], CF_RGB24), RC_OK);
    EXPECT_EQ(pngcheckOf(out).find("pHYs"), std::string::npos);
}

// A failed write is reported, never a success.
TEST(PngWrite, WriteFailures)
{
    std::vector<uint8_t> raw = rawRows(40, 120);
    Decoded d = decodePng(PngBytes().ihdr(40, 40, 8, 2).idat(raw).iend().bytes);
    ASSERT_EQ(d.rc, RC_OK);
    if (fs::exists("/dev/full")) {
        EXPECT_EQ(writePng(d.image.get(), "/dev/full", kPngSubFormats[1], CF_RGB24), RC_WRITE_FAILED);
        // Frames deflated in pieces on several workers stop at the failure.
        Ref<Image> large = Ref<Image>::adopt(imageCreate(PF_RGBA8, packSize(1000, 1200)));
        ASSERT_TRUE(large);
        for (uint32_t y = 0; y < large->height; ++y)
            for (uint32_t x = 0; x < large->width; ++x)
                large->row<Rgba8>(y)[x] = {uint8_t(x * y), uint8_t(x), uint8_t(y), 255};
        RowBandOverride bands(8, 0);
        EXPECT_EQ(writePng(large.get(), "/dev/full", kPngSubFormats[0], CF_RGB24), RC_WRITE_FAILED);
        EXPECT_EQ(writePng(large.get(), "/dev/full", kPngSubFormats[1], CF_RGB24), RC_WRITE_FAILED);
    }
    EXPECT_EQ(writePng(d.image.get(), "/nonexistent-dir/x.png", kPngSubFormats[0], CF_RGB24), RC_CREATE_FAILED);
}

namespace {

struct ChunkInfo {
    std::string type;
    std::vector<uint8_t> data;
};

std::vector<ChunkInfo> chunksOf(const std::vector<uint8_t>& file)
{
    std::vector<ChunkInfo> out;
    for (size_t pos = 8; pos + 12 <= file.size();) {
        uint32_t n = uint32_t(file[pos]) << 24 | uint32_t(file[pos + 1]) << 16 | uint32_t(file[pos + 2]) << 8 | file[pos + 3];
        if (pos + 12 + n > file.size()) break;
        out.push_back({std::string(file.begin() + std::ptrdiff_t(pos + 4), file.begin() + std::ptrdiff_t(pos + 8)),
                       std::vector<uint8_t>(file.begin() + std::ptrdiff_t(pos + 8),
                                            file.begin() + std::ptrdiff_t(pos + 8 + n))});
        pos += 12 + n;
    }
    return out;
}

uint32_t be32At(const std::vector<uint8_t>& d, size_t at)
{
    return uint32_t(d[at]) << 24 | uint32_t(d[at + 1]) << 16 | uint32_t(d[at + 2]) << 8 | d[at + 3];
}

// Checks what every APNG reader relies on: sequence numbers 0, 1, 2... over
// fcTL and fdAT chunks, and every frame inside the header's size.
void expectWellFormedAnimation(const std::vector<uint8_t>& file, uint32_t frames, const std::string& what)
{
    std::vector<ChunkInfo> chunks = chunksOf(file);
    ASSERT_FALSE(chunks.empty()) << what;
    ASSERT_EQ(chunks[0].type, "IHDR") << what;
    uint32_t w = be32At(chunks[0].data, 0), h = be32At(chunks[0].data, 4);
    uint32_t next = 0, fctls = 0, actlFrames = 0;
    for (const ChunkInfo& c : chunks) {
        if (c.type == "acTL") actlFrames = be32At(c.data, 0);
        if (c.type != "fcTL" && c.type != "fdAT") continue;
        EXPECT_EQ(be32At(c.data, 0), next++) << what;
        if (c.type == "fcTL") {
            ++fctls;
            EXPECT_LE(uint64_t(be32At(c.data, 12)) + be32At(c.data, 4), w) << what;
            EXPECT_LE(uint64_t(be32At(c.data, 16)) + be32At(c.data, 8), h) << what;
        }
    }
    EXPECT_EQ(fctls, frames) << what;
    EXPECT_EQ(actlFrames, frames) << what;
}

} // namespace

// An animation read and written again: apngdis sees the same frames and
// delays in our file as in apngasm's.
TEST(PngWrite, AnimationRoundTripsThroughApngdis)
{
    QUILLON_REQUIRE_TOOL("convert");
    QUILLON_REQUIRE_TOOL("apngasm");
    QUILLON_REQUIRE_TOOL("apngdis");
    QUILLON_REQUIRE_TOOL("pngtopam");
    TempDir dir;
    std::string frames = makeAnimationFrames(dir);
    ASSERT_FALSE(frames.empty());
    fs::path anim = dir / "a.png";
    ASSERT_EQ(run("apngasm " + shellQuote(anim.string()) + frames + " 1 10 -kc -z0 > /dev/null"), 0);
    Decoded d = decodePngFile(anim);
    ASSERT_EQ(d.rc, RC_OK);
    for (int sub = 0; sub < 2; ++sub) {
        fs::path out = dir / ("w" + std::to_string(sub) + ".png");
        ASSERT_EQ(writePng(d.image.get(), out, kPngSubFormats[sub], CF_RGBA32, true), RC_OK);
        expectWellFormedAnimation(readFile(out), 4, out.filename().string());
        for (const fs::path& f : {anim, out}) {
            fs::path sub = dir / (f.stem().string() + "-dis");
            fs::create_directories(sub);
            fs::copy_file(f, sub / "x.png", fs::copy_options::overwrite_existing);
            ASSERT_EQ(run("cd " + shellQuote(sub.string()) + " && apngdis x.png > /dev/null"), 0);
        }
        for (int i = 1; i <= 4; ++i) {
            std::string name = "apngframe" + std::to_string(i);
            Samples16 want, got;
            ASSERT_TRUE(oracle(dir / "a-dis" / (name + ".png"), want));
            ASSERT_TRUE(oracle(dir / (out.stem().string() + "-dis") / (name + ".png"), got));
            expectSameVisible(got, want, out.filename().string() + " " + name);
            EXPECT_EQ(readFile(dir / "a-dis" / (name + ".txt")).size() > 0, true);
        }
        // The delays as apngdis reads them back (ours in ms over 1000).
        std::string delays;
        for (int i = 1; i <= 4; ++i)
            delays += runOutput("cat " + shellQuote((dir / (out.stem().string() + "-dis") /
                                                     ("apngframe" + std::to_string(i) + ".txt"))
                                                        .string()));
        EXPECT_EQ(delays, "delay=100/1000\ndelay=150/1000\ndelay=100/1000\ndelay=70/1000\n");
    }
}

// A first frame smaller than its canvas, frames placed beyond it or at a
// negative position, long and short delays: the header grows to hold every
// frame, the first is laid on the background colour, positions are never
// negative, long delays are counted in seconds and a frame that waits for
// its reader keeps the longest count of milliseconds.
TEST(PngWrite, AnimationCanvasAndDelays)
{
    QUILLON_REQUIRE_TOOL("apngdis");
    QUILLON_REQUIRE_TOOL("pngtopam");
    auto frame = [](uint32_t w, uint32_t h, Rgba8 colour) {
        Image* im = imageCreate(PF_RGBA8, packSize(w, h));
        for (uint32_t y = 0; y < h; ++y)
            for (uint32_t x = 0; x < w; ++x) im->row<Rgba8>(y)[x] = colour;
        return im;
    };
    Ref<Image> head = Ref<Image>::adopt(frame(6, 4, Rgba8{0, 0, 255, 255}));
    head->frameInfo.canvasWidth = 12;
    head->frameInfo.canvasHeight = 8;
    head->frameInfo.x = 2;
    head->frameInfo.y = 3;
    head->frameInfo.backgroundColour = 0xFF00FF00;
    head->frameInfo.duration = 100;
    head->frameInfo.loop = 1;
    Image* second = frame(5, 10, Rgba8{255, 0, 0, 255});
    second->frameInfo.x = -4;
    second->frameInfo.y = 1;
    second->frameInfo.duration = 70000;
    head->frameInfo.next = second;
    second->frameInfo.prev = head.get();
    Image* third = frame(3, 3, Rgba8{0, 0, 0, 255});
    third->frameInfo.x = 13;
    third->frameInfo.duration = 0xFFFFFFFF;
    second->frameInfo.next = third;
    third->frameInfo.prev = second;

    TempDir dir;
    fs::path out = dir / "c.png";
    ASSERT_EQ(writePng(head.get(), out, kPngSubFormats[0], CF_RGB24, true), RC_OK);
    std::vector<uint8_t> file = readFile(out);
    expectWellFormedAnimation(file, 3, "canvas");
    std::vector<ChunkInfo> chunks = chunksOf(file);
    EXPECT_EQ(be32At(chunks[0].data, 0), 16u);  // third frame's right edge
    EXPECT_EQ(be32At(chunks[0].data, 4), 11u);  // second frame's bottom
    std::vector<std::vector<uint8_t>> fctls;
    for (const ChunkInfo& c : chunks)
        if (c.type == "fcTL") fctls.push_back(c.data);
    ASSERT_EQ(fctls.size(), 3u);
    auto delay = [](const std::vector<uint8_t>& f) { return std::to_string(f[20] << 8 | f[21]) + "/" + std::to_string(f[22] << 8 | f[23]); };
    EXPECT_EQ(delay(fctls[0]), "100/1000");
    EXPECT_EQ(delay(fctls[1]), "70/1");
    EXPECT_EQ(delay(fctls[2]), "65535/1000");
    EXPECT_EQ(be32At(fctls[1], 12), 0u);

    ASSERT_EQ(run("cd " + shellQuote(dir.path().string()) + " && apngdis c.png > /dev/null"), 0);
    Samples16 first;
    ASSERT_TRUE(oracle(dir / "apngframe1.png", first));
    ASSERT_EQ(first.width, 16u);
    auto px = [&](uint32_t x, uint32_t y) {
        const uint16_t* p = &first.rgba[(size_t(y) * first.width + x) * 4];
        return std::to_string(p[0] >> 8) + "," + std::to_string(p[1] >> 8) + "," + std::to_string(p[2] >> 8);
    };
    EXPECT_EQ(px(0, 0), "0,255,0");   // background
    EXPECT_EQ(px(2, 3), "255,0,0");   // the first frame (red) at its place
    EXPECT_EQ(px(7, 6), "255,0,0");
    EXPECT_EQ(px(8, 6), "0,255,0");
}

// Delays of a hand-made animation whose default image is not shown: a zero
// denominator means hundredths, a zero numerator the shortest delay.
TEST(PngRead, FrameDelaysAndHiddenDefaultImage)
{
    auto fctl = [](uint32_t seq, uint32_t w, uint32_t h, uint32_t x, uint32_t y, uint16_t num, uint16_t den) {
        std::vector<uint8_t> d;
        for (uint32_t v : {seq, w, h, x, y}) be32(d, v);
        d.insert(d.end(), {uint8_t(num >> 8), uint8_t(num), uint8_t(den >> 8), uint8_t(den), 1, 0});
        return d;
    };
    auto fdat = [](uint32_t seq, const std::vector<uint8_t>& raw) {
        std::vector<uint8_t> d;
        be32(d, seq);
        std::vector<uint8_t> z = PngBytes::deflated(raw);
        d.insert(d.end(), z.begin(), z.end());
        return d;
    };
    std::vector<uint8_t> actl;
    be32(actl, 2);
    be32(actl, 1);
    PngBytes png;
    png.ihdr(3, 3, 8, 0)
        .chunk("acTL", actl)
        .idat(rawRows(3, 3))
        .chunk("fcTL", fctl(0, 2, 1, 1, 2, 1, 0))
        .chunk("fdAT", fdat(1, std::vector<uint8_t>{0, 10, 20}))
        .chunk("fcTL", fctl(2, 1, 2, 0, 0, 0, 5))
        .chunk("fdAT", fdat(3, std::vector<uint8_t>{0, 30, 0, 40}))
        .iend();
    Decoded d = decodePng(png.bytes);
    ASSERT_EQ(d.rc, RC_OK);
    Image* f = d.image.get();
    ASSERT_TRUE(f->next());
    EXPECT_FALSE(f->next()->next());
    EXPECT_EQ(f->width, 2u);
    EXPECT_EQ(f->frameInfo.duration, 10u);
    EXPECT_EQ(f->frameInfo.x, 1);
    EXPECT_EQ(f->frameInfo.y, 2);
    EXPECT_EQ(f->frameInfo.dispose, 1);
    EXPECT_FALSE(f->frameInfo.loop);
    EXPECT_EQ(f->row<uint8_t>(0)[1], 20);
    EXPECT_EQ(f->next()->frameInfo.duration, 17u);
    EXPECT_EQ(f->next()->row<uint8_t>(1)[0], 40);
}

// An XMP packet that exiftool stores in an iTXt chunk reaches the fields
// through the metadata reader.
TEST(PngRead, XmpPacketFromExiftool)
{
    QUILLON_REQUIRE_TOOL("convert");
    QUILLON_REQUIRE_TOOL("exiftool");
    TempDir dir;
    fs::path file = dir / "x.png";
    ASSERT_EQ(run("convert -size 4x4 xc:red png:" + shellQuote(file.string())), 0);
    ASSERT_EQ(run("exiftool -q -overwrite_original -XMP-dc:Title=Sunset '-XMP-dc:Creator=Ann Lee' " +
                  shellQuote(file.string())),
              0);
    Decoded d = decodePngFile(file);
    ASSERT_EQ(d.rc, RC_OK);
    const ImageInfo* info = d.image->info();
    ASSERT_TRUE(info->get(INFO_TITLE));
    EXPECT_EQ(std::u16string(info->get(INFO_TITLE)), u"Sunset");
    ASSERT_TRUE(info->get(INFO_AUTHOR));
    EXPECT_EQ(std::u16string(info->get(INFO_AUTHOR)), u"Ann Lee");
}

// Premultiplied pixels are written straight, from a copy: the caller's
// image keeps its own values.
TEST(PngWrite, PremultipliedAlphaWrittenStraight)
{
    QUILLON_REQUIRE_TOOL("pngtopam");
    for (PixelFormat format : {PF_RGBA8, PF_RGBA16}) {
        Ref<Image> img = Ref<Image>::adopt(imageCreate(format, packSize(3, 1)));
        img->alphaKind = ALPHA_PREMULTIPLIED;
        // Straight (200, 100, 50) at alpha 128, and two edge pixels.
        const uint32_t straight[3][4] = {{200, 100, 50, 128}, {255, 0, 0, 255}, {0, 0, 0, 0}};
        for (uint32_t x = 0; x < 3; ++x) {
            uint32_t a = straight[x][3];
            if (format == PF_RGBA8) {
                img->row<Rgba8>(0)[x] = {uint8_t((straight[x][2] * a + 127) / 255), uint8_t((straight[x][1] * a + 127) / 255),
                                         uint8_t((straight[x][0] * a + 127) / 255), uint8_t(a)};
            } else {
                uint32_t a16 = a * 257;
                img->row<Rgba16>(0)[x] = {uint16_t(straight[x][2] * 257 * a16 / 65535), uint16_t(straight[x][1] * 257 * a16 / 65535),
                                          uint16_t(straight[x][0] * 257 * a16 / 65535), uint16_t(a16)};
            }
        }
        std::vector<uint8_t> before(img->rowBytesPtr(0), img->rowBytesPtr(0) + 3 * img->bytesPerPixel());
        TempDir dir;
        fs::path out = dir / "p.png";
        ColourFormatFlags flag = format == PF_RGBA8 ? CF_RGBA32 : CF_RGBA64;
        ASSERT_EQ(writePng(img.get(), out, kPngSubFormats[0], flag), RC_OK);
        EXPECT_EQ(std::memcmp(before.data(), img->rowBytesPtr(0), before.size()), 0);
        Samples16 got;
        ASSERT_TRUE(oracle(out, got));
        for (int c = 0; c < 4; ++c) {
            EXPECT_NEAR(got.rgba[size_t(c)] / 257.0, straight[0][c], 1.0) << c;
            EXPECT_EQ(got.rgba[4 + size_t(c)], straight[1][c] * 257u) << c;
        }
        EXPECT_EQ(got.rgba[11], 0u);
    }
}

// A file of more frames than any animation needs stops making readers at
// the cap instead of growing without bound; the frames before it decode.
TEST(PngRead, FrameChainIsCapped)
{
    const uint32_t frames = ImageReader::kMaxFrames + 50;
    std::vector<uint8_t> actl;
    be32(actl, frames);
    be32(actl, 0);
    std::vector<uint8_t> z = PngBytes::deflated({0, 7});
    PngBytes png;
    png.ihdr(1, 1, 8, 0).chunk("acTL", actl);
    uint32_t seq = 0;
    for (uint32_t i = 0; i < frames; ++i) {
        std::vector<uint8_t> f;
        for (uint32_t v : {seq++, 1u, 1u, 0u, 0u}) be32(f, v);
        f.insert(f.end(), {0, 1, 0, 100, 0, 0});
        png.chunk("fcTL", f);
        if (i == 0) {
            png.chunk("IDAT", z);
            continue;
        }
        std::vector<uint8_t> d;
        be32(d, seq++);
        d.insert(d.end(), z.begin(), z.end());
        png.chunk("fdAT", d);
    }
    png.iend();
    Decoded d = decodePng(png.bytes);
    ASSERT_EQ(d.rc, RC_OK);
    uint32_t n = 0;
    for (Image* f = d.image.get(); f; f = f->next(), ++n)
        if (f->row<uint8_t>(0)[0] != 7) ADD_FAILURE() << "frame " << n;
    EXPECT_EQ(n, ImageReader::kMaxFrames);
}

namespace {

// A picture of gradients with noise of varying strength, so that rows choose
// different filters and deflate finds both long and short matches.
Image* patterned(PixelFormat format, uint32_t w, uint32_t h, uint32_t seed)
{
    Image* im = imageCreate(format, packSize(w, h));
    if (!im) return nullptr;
    if (format == PF_INDEXED8)
        for (uint32_t i = 0; i < 256; ++i) im->palette()[i] = 0xFF000000u | (i * 0x0F0B07u & 0xFFFFFFu);
    uint32_t s = seed;
    for (uint32_t y = 0; y < h; ++y) {
        uint8_t* row = im->rowBytesPtr(y);
        size_t bytes = size_t(w) * im->bytesPerPixel();
        for (size_t i = 0; i < bytes; ++i) {
            s = s * 1103515245u + 12345u;
            uint32_t x = uint32_t(i / im->bytesPerPixel());
            uint32_t noise = ((x / 97 + y / 31) % 3 == 0) ? (s >> 16) : ((s >> 16) & 7);
            row[i] = uint8_t(x / 3 + y * 2 + i % im->bytesPerPixel() * 40 + noise);
        }
        if (format == PF_RGBA8)
            for (uint32_t x = 0; x < w; ++x) im->row<Rgba8>(y)[x].a = 255;
        if (format == PF_RGBA16)
            for (uint32_t x = 0; x < w; ++x) im->row<Rgba16>(y)[x].a = 65535;
        if (format == PF_INDEXED8)
            for (uint32_t x = 0; x < w; ++x) row[x] &= 15;
    }
    return im;
}

} // namespace

// Frames large enough to be deflated in pieces on the task pool, one of
// them an animation's later frame: the bytes are the same on one worker and
// on several, pngcheck finds one sound stream, and pngtopam (which checks
// the stream's checksum) reads back every pixel, also where the last piece
// is short and where a single row is longer than deflate's window.
TEST(PngWrite, LargeFramesInPiecesDoNotDependOnWorkers)
{
    QUILLON_REQUIRE_TOOL("pngtopam");
    QUILLON_REQUIRE_TOOL("pngcheck");
    QUILLON_REQUIRE_TOOL("apngdis");
    struct Case {
        ColourFormatFlags flag;
        PixelFormat format;
        uint32_t w, h;
        int sub;
        bool animated;
    };
    const Case cases[] = {
        {CF_RGB24, PF_RGBA8, 1001, 1201, 0, false},  {CF_RGB24, PF_RGBA8, 12000, 40, 0, false},
        {CF_RGB48, PF_RGBA16, 700, 300, 0, false},   {CF_GRAY16, PF_GRAY16, 1000, 700, 0, false},
        {CF_16_COLOURS, PF_INDEXED8, 2001, 1100, 0, false}, {CF_RGB24, PF_RGBA8, 1500, 1000, 1, false},
        {CF_RGB24, PF_RGBA8, 1001, 401, 0, true},
    };
    TempDir dir;
    for (const Case& c : cases) {
        std::string what = std::to_string(c.flag) + " " + std::to_string(c.w) + "x" + std::to_string(c.h) +
                           (c.sub ? " super" : " normal") + (c.animated ? " animated" : "");
        Ref<Image> head = Ref<Image>::adopt(patterned(c.format, c.w, c.h, 1));
        ASSERT_TRUE(head) << what;
        Image* second = nullptr;
        if (c.animated) {
            second = patterned(c.format, c.w, c.h, 2);
            head->frameInfo.next = second;
            second->frameInfo.prev = head.get();
        }
        std::vector<uint8_t> files[3];
        const unsigned workers[3] = {1, 2, 8};
        for (int i = 0; i < 3; ++i) {
            RowBandOverride bands(workers[i], 0);
            fs::path out = dir / ("w" + std::to_string(workers[i]) + ".png");
            ASSERT_EQ(writePng(head.get(), out, kPngSubFormats[c.sub], c.flag, c.animated), RC_OK) << what;
            files[i] = readFile(out);
        }
        EXPECT_TRUE(files[0] == files[1] && files[0] == files[2]) << what;
        fs::path out = dir / "w8.png";
        std::string check = pngcheckOf(out);
        EXPECT_NE(check.find("status=0"), std::string::npos) << what << check;
        Samples16 got;
        ASSERT_TRUE(oracle(out, got)) << what;
        expectSame(got, ours(head.get()), what);
        if (c.sub == 1) {
            ASSERT_EQ(writePng(head.get(), dir / "n.png", kPngSubFormats[0], c.flag), RC_OK) << what;
            EXPECT_LE(files[2].size(), fs::file_size(dir / "n.png")) << what;
        }
        if (c.animated) {
            ASSERT_EQ(run("cd " + shellQuote(dir.path().string()) + " && apngdis w8.png > /dev/null"), 0) << what;
            Samples16 frame2;
            ASSERT_TRUE(oracle(dir / "apngframe2.png", frame2)) << what;
            expectSame(frame2, ours(second), what + " frame 2");
        }
    }
}

// Pieces are primed with the data before them: a picture whose rows all
// repeat one row of noise costs no more than in one stream of zlib's own
// (the file's other chunks take under 1 KiB).
TEST(PngWrite, PiecesReachBackIntoThePieceBefore)
{
    QUILLON_REQUIRE_TOOL("pngtopam");
    const uint32_t w = 3000, h = 1200;
    Ref<Image> img = Ref<Image>::adopt(patterned(PF_INDEXED8, w, 1, 5));
    Ref<Image> tall = Ref<Image>::adopt(imageCreate(PF_INDEXED8, packSize(w, h)));
    ASSERT_TRUE(img && tall);
    std::memcpy(tall->palette(), img->palette(), 256 * sizeof(uint32_t));
    for (uint32_t y = 0; y < h; ++y) std::memcpy(tall->rowBytesPtr(y), img->rowBytesPtr(0), w);
    TempDir dir;
    fs::path out = dir / "r.png";
    RowBandOverride bands(8, 0);
    ASSERT_EQ(writePng(tall.get(), out, kPngSubFormats[0], CF_256_COLOURS), RC_OK);
    std::vector<uint8_t> raw;
    for (uint32_t y = 0; y < h; ++y) {
        raw.push_back(0);
        raw.insert(raw.end(), img->rowBytesPtr(0), img->rowBytesPtr(0) + w);
    }
    uLongf one = compressBound(uLong(raw.size()));
    std::vector<uint8_t> z(one);
    ASSERT_EQ(compress2(z.data(), &one, raw.data(), uLong(raw.size()), 9), Z_OK);
    EXPECT_LT(fs::file_size(out), one + one / 50 + 1024);
    Samples16 got;
    ASSERT_TRUE(oracle(out, got));
    expectSame(got, ours(tall.get()), "repeated rows");
}
