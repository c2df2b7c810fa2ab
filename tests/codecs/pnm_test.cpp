// Portable any-maps and float maps made by netpbm and ImageMagick, decoded by
// us and by netpbm; hand-built headers; truncation; float byte orders.
#include <gtest/gtest.h>

#include <cstring>

#include "codecs/more/pnm.h"
#include "platform/memory.h"
#include "support/codec_support.h"

using namespace quillon;
using namespace quillon::test;
namespace fs = std::filesystem;

namespace {

std::vector<uint8_t> bytesOf(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

struct Fixture {
    const char* name;
    const char* make;  // a shell command writing OUT from the picture at SRC
};

// Our decode of `file` succeeds and shows exactly what `tool` (an
// oracleDecode tool) decodes.
void expectDecodedAs(const std::string& tool, const fs::path& file, const std::string& what)
{
    Pnm oracle;
    ASSERT_TRUE(oracleDecode(tool, file, oracle)) << what;
    ResultCode rc;
    Ref<Image> image = decodeFile(file, &rc);
    ASSERT_EQ(rc, RC_OK) << what;
    expectEqualPixels(image.get(), oracle, what);
}

std::string expand(std::string cmd, const fs::path& src, const fs::path& out)
{
    for (auto [key, value] : {std::pair<std::string, std::string>{"SRC", shellQuote(src.string())},
                              {"OUT", shellQuote(out.string())}}) {
        for (size_t at; (at = cmd.find(key)) != std::string::npos;) cmd.replace(at, key.size(), value);
    }
    return cmd;
}

} // namespace

// Every text and binary type at the maximum values writers use, against
// netpbm's own reading scaled to 8 bits.
TEST(Pnm, NetpbmFilesDecodeLikeNetpbm)
{
    QUILLON_REQUIRE_TOOL("pnmdepth");
    QUILLON_REQUIRE_TOOL("convert");
    TempDir dir;
    const fs::path src = dir / "src.ppm";
    ASSERT_EQ(run("convert -seed 3 -size 37x23 plasma:fractal -depth 8 " + shellQuote(src.string())), 0);
    const Fixture fixtures[] = {
        {"p6.ppm", "cp SRC OUT"},
        {"p5.pgm", "ppmtopgm SRC > OUT"},
        {"p4.pbm", "ppmtopgm SRC | pamthreshold | pamtopnm > OUT"},
        {"p3.ppm", "pnmtoplainpnm SRC > OUT"},
        {"p2.pgm", "ppmtopgm SRC | pnmtoplainpnm > OUT"},
        {"p1.pbm", "ppmtopgm SRC | pamthreshold | pamtopnm | pnmtoplainpnm > OUT"},
        {"p6-65535.ppm", "pnmdepth 65535 SRC > OUT"},
        {"p6-1023.ppm", "pnmdepth 1023 SRC > OUT"},
        {"p6-15.ppm", "pnmdepth 15 SRC > OUT"},
        {"p5-1023.pgm", "ppmtopgm SRC | pnmdepth 1023 > OUT"},
        {"p5-15.pgm", "ppmtopgm SRC | pnmdepth 15 > OUT"},
        {"p2-15.pgm", "ppmtopgm SRC | pnmdepth 15 | pnmtoplainpnm > OUT"},
        {"p3-100.ppm", "pnmdepth 100 SRC | pnmtoplainpnm > OUT"},
    };
    for (const Fixture& f : fixtures) {
        SCOPED_TRACE(f.name);
        const fs::path file = dir / f.name;
        ASSERT_EQ(run(expand(f.make, src, file)), 0) << f.make;
        expectDecodedAs("cat IN", file, f.name);
    }
}

// Headers as people write them by hand: comments anywhere, CR LF, samples
// split over lines, a missing width.
TEST(Pnm, HandWrittenHeaders)
{
    struct Case {
        const char* text;
        uint32_t w, h;
        std::vector<uint8_t> grey;
    };
    const Case cases[] = {
        {"P2\n# made by hand\n3 # width\n1\n255\n0 128\n255\n", 3, 1, {0, 128, 255}},
        {"P1\r\n4 1\r\n0101", 4, 1, {255, 0, 255, 0}},
        {"P1 2 2 1 0\n0 1\n", 2, 2, {0, 255, 255, 0}},
        {"P2 2 1 15 0 15", 2, 1, {0, 255}},
        {"P5\n#c1\n#c2\n2 1\n255\n\x07\x80", 2, 1, {7, 128}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        ResultCode rc;
        Ref<Image> image = decodeBytes(bytesOf(c.text), &rc, "hand.pnm");
        ASSERT_EQ(rc, RC_OK);
        ASSERT_EQ(image->width, c.w);
        ASSERT_EQ(image->height, c.h);
        Ref<Image> rgba = asRgba8(image.get());
        for (uint32_t i = 0; i < c.w * c.h; ++i) EXPECT_EQ(rgba->row<Rgba8>(i / c.w)[i % c.w].r, c.grey[i]) << i;
    }
    const uint8_t* p = reinterpret_cast<const uint8_t*>("P2 # 12\n 40x");
    const uint8_t* end = p + 12;
    p += 2;
    EXPECT_EQ(pnmNextInt(p, end, 32), 40u);
    EXPECT_EQ(pnmNextInt(p, end, 32), 1u);
}

// Maximum values out of range, zero sizes and the like fail with the code
// that says why; nothing reads past the data.
TEST(Pnm, BadHeadersFailWithTheirCode)
{
    struct Case {
        const char* text;
        ResultCode rc;
    };
    const Case cases[] = {
        {"P7 1 1 255 x", RC_UNKNOWN_FORMAT},  // not claimed by the probe
        {"P5 2 2 70000 abcdefgh", RC_UNSUPPORTED_SUBFORMAT},
        {"P2 2 2 1023 1 2 3 4", RC_UNSUPPORTED_SUBFORMAT},
        {"P5 2 2 0 abcd", RC_CORRUPT_FILE},
        {"P6 0 2 255 ", RC_CORRUPT_FILE},
    };
    for (const Case& c : cases) {
        ResultCode rc;
        decodeBytes(bytesOf(c.text), &rc, "bad.pnm");
        EXPECT_EQ(rc, c.rc) << c.text;
    }
    // Sizes the data cannot fill even one row of are refused from the
    // header, before any memory is asked for.
    const Case lying[] = {
        {"P6 20000 20000 255\nabc", RC_CORRUPT_FILE},
        {"PF 20000 20000 -1.0\nabcd", RC_CORRUPT_FILE},
        {"P5 100 2000000 255\n", RC_CORRUPT_FILE},
        {"P1 20000 20000\n0101", RC_CORRUPT_FILE},
        {"P2 20000 20000 255\n1 2 3", RC_CORRUPT_FILE},
        {"P3 20000 20000 255\n1 2 3", RC_CORRUPT_FILE},
    };
    setAllocationCap(uint64_t(64) << 20);
    for (const Case& c : lying) {
        ResultCode rc;
        decodeBytes(bytesOf(c.text), &rc, "lying.pnm");
        EXPECT_EQ(rc, c.rc) << c.text;
    }
    // A row of data, or a row of digits, for a picture no allocation could
    // take: the size is a lie, not a picture too large for memory.
    std::string tall = "P5 100 2000000 255\n" + std::string(100, 'x');
    Decoded d = decodeBytesFull(bytesOf(tall), "tall.pgm");
    EXPECT_EQ(d.rc, RC_CORRUPT_FILE);
    EXPECT_EQ(d.image.get(), nullptr);
    std::string text = "P1 100 2000000\n" + std::string(100, '1');
    EXPECT_EQ(decodeBytesFull(bytesOf(text), "text.pbm").rc, RC_CORRUPT_FILE);
    setAllocationCap(0);
}

// Every row of a picture larger than memory allows: too large. One row
// short, its size is a lie, refused before any image is made.
TEST(Pnm, PicturesTooLargeForMemoryAreSoOnlyWhenTheFileHoldsThem)
{
    struct Case {
        const char* name;
        std::string header;
        char sample;
        size_t row;  // bytes or digits
    } cases[] = {
        {"p5", "P5 1100 1000 255\n", 'x', 1100},
        {"p1", "P1 1100 1000\n", '1', 1100},
    };
    setAllocationCap(uint64_t(1) << 20);
    for (const Case& c : cases) {
        std::string f = c.header + std::string(c.row * 1000, c.sample);
        EXPECT_EQ(decodeBytesFull(bytesOf(f), "big.pnm").rc, RC_OUT_OF_MEMORY) << c.name;
        f.resize(f.size() - c.row);
        Decoded d = decodeBytesFull(bytesOf(f), "big.pnm");
        EXPECT_EQ(d.rc, RC_CORRUPT_FILE) << c.name;
        EXPECT_EQ(d.image.get(), nullptr) << c.name;
    }
    setAllocationCap(0);
}

// An arbitrary map is of the family, a kind we do not read; "P7" without
// its line break is nothing of ours.
TEST(Pnm, ArbitraryMapsAreAVariantWeDoNotRead)
{
    QUILLON_REQUIRE_TOOL("convert");
    TempDir dir;
    const fs::path pam = dir / "x.pam";
    ASSERT_EQ(run("convert -size 3x2 xc:red " + shellQuote(pam.string())), 0);
    const std::vector<uint8_t> bytes = readFile(pam);
    ASSERT_GT(bytes.size(), 3u);
    ASSERT_EQ(std::string(bytes.begin(), bytes.begin() + 3), "P7\n");
    for (const char* name : {"x.pam", "x.pnm"}) EXPECT_EQ(decodeBytesFull(bytes, name).rc, RC_UNSUPPORTED_SUBFORMAT);
    EXPECT_EQ(decodeBytesFull(bytesOf("P7 332\n#XVVERSION"), "x.pnm").rc, RC_UNKNOWN_FORMAT);
}

// Data that ends early: the rows that were there are kept, the rest are
// cleared, and the decode says the file is damaged.
TEST(Pnm, TruncatedDataIsReportedWithTheRowsThatWereThere)
{
    std::string p5 = "P5 4 3 255\n";
    for (int i = 0; i < 12; ++i) p5 += char(10 + i * 20);
    std::string p2 = "P2 2 2 255 1 2 3";
    for (const std::string& whole : {p5, p2}) {
        const std::string cut = whole == p5 ? whole.substr(0, whole.size() - 5) : whole;
        Decoded d = decodeBytesFull(bytesOf(cut), "cut.pgm");
        EXPECT_EQ(d.rc, RC_CORRUPT_FILE) << cut;
        ASSERT_TRUE(d.image);
        EXPECT_EQ(d.image->row<uint8_t>(0)[0], whole == p5 ? 10 : 1);
        EXPECT_EQ(d.image->row<uint8_t>(d.image->height - 1)[d.image->width - 1], 0);
    }
}

// Float maps store the bottom row first; the sign of the scale says the
// byte order. Samples of 0 and 1 survive any transfer curve unchanged.
TEST(Pnm, FloatMapsInBothByteOrdersMatchTheirSource)
{
    QUILLON_REQUIRE_TOOL("pamtopfm");
    TempDir dir;
    Pnm pnm = Pnm::rgb8(5, 4);
    for (uint32_t i = 0; i < pnm.samples.size(); ++i) pnm.samples[i] = ((i * 7) % 5) < 2 ? 255 : 0;
    ASSERT_TRUE(writePnm(dir / "src.ppm", pnm));
    Pnm grey = pnm;
    grey.channels = 1;
    grey.samples.resize(size_t(grey.width) * grey.height);
    for (uint32_t i = 0; i < grey.samples.size(); ++i) grey.samples[i] = (i % 3) ? 255 : 0;
    ASSERT_TRUE(writePnm(dir / "src.pgm", grey));
    for (const char* endian : {"big", "little"})
        for (const char* source : {"src.ppm", "src.pgm"}) {
            SCOPED_TRACE(std::string(endian) + " " + source);
            const fs::path pfm = dir / "out.pfm";
            ASSERT_EQ(run(std::string("pamtopfm -endian=") + endian + " " + shellQuote((dir / source).string()) + " > " +
                          shellQuote(pfm.string())),
                      0);
            Pnm oracle;
            ASSERT_TRUE(readPnm(dir / source, oracle));
            ResultCode rc;
            Ref<Image> image = decodeFile(pfm, &rc);
            ASSERT_EQ(rc, RC_OK);
            EXPECT_EQ(image->pixelFormat, std::string(source) == "src.ppm" ? PF_RGBA_FLOAT : PF_GRAY_FLOAT);
            expectEqualPixels(image.get(), oracle, source);
        }
}

// One whitespace byte ends a binary header; samples of 10 and 13 after it
// are data, whether the file holds a second picture (as netpbm streams do)
// or ends with a newline.
TEST(Pnm, BinaryDataStartsOneByteAfterTheHeader)
{
    QUILLON_REQUIRE_TOOL("pamtopnm");
    struct Case {
        const char* name;
        std::string header;
        std::vector<uint8_t> data;
    };
    const Case cases[] = {
        {"p4", "P4\n16 2\n", {10, 13, 13, 10}},
        {"p5", "P5\n4 1\n255\n", {10, 13, 10, 200}},
        {"p6", "P6\n2 1\n255\n", {13, 10, 10, 13, 90, 10}},
        {"p5-16", "P5\n2 1\n65535\n", {0x0A, 0x0D, 0x0D, 0x0A}},
    };
    TempDir dir;
    for (const Case& c : cases) {
        for (const char* tail : {"two pictures", "newline", "nothing"}) {
            SCOPED_TRACE(std::string(c.name) + ", then " + tail);
            std::vector<uint8_t> f = bytesOf(c.header);
            f.insert(f.end(), c.data.begin(), c.data.end());
            if (tail[0] == 't') {
                f.insert(f.end(), c.header.begin(), c.header.end());
                f.insert(f.end(), c.data.size(), 0x55);
            } else if (tail[0] == 'n') {
                f.push_back('\n');
            }
            const fs::path file = dir / (std::string(c.name) + ".pnm");
            writeFile(file, f);
            expectDecodedAs("pamtopnm IN", file, c.name);
        }
    }
    // A float map whose first sample starts with a newline byte reads the
    // same with a newline after its data as without.
    std::vector<uint8_t> f = bytesOf("Pf\n2 1\n-1.0\n");
    for (uint8_t b : {0x0A, 0x00, 0x80, 0x3E, 0x00, 0x00, 0x00, 0x3F}) f.push_back(b);
    Decoded whole = decodeBytesFull(f, "f.pfm");
    ASSERT_EQ(whole.rc, RC_OK);
    f.push_back('\n');
    Decoded more = decodeBytesFull(f, "g.pfm");
    ASSERT_EQ(more.rc, RC_OK);
    for (uint32_t x = 0; x < 2; ++x) EXPECT_EQ(more.image->row<float>(0)[x], whole.image->row<float>(0)[x]) << x;
    EXPECT_NE(whole.image->row<float>(0)[0], whole.image->row<float>(0)[1]);
}
