// Sun raster reading against files made by ImageMagick and netpbm, hand-built
// variants, hostile headers, and writing read back by both tools.
#include "codecs/more/sunras.h"

#include <unistd.h>

#include "codecs/raster_oracle.h"
#include "core/byte_cursor.h"
#include "platform/memory.h"

using namespace quillon;
using namespace quillon::test;
namespace fs = std::filesystem;

namespace {

std::vector<uint8_t> sunHeader(uint32_t w, uint32_t h, uint32_t depth, uint32_t length, uint32_t type,
                               uint32_t mapType, uint32_t mapLength)
{
    std::vector<uint8_t> v;
    for (uint32_t x : {0x59A66A95u, w, h, depth, length, type, mapType, mapLength}) be32(v, x);
    return v;
}

} // namespace

TEST(SunRasterReader, FilesFromImageMagickAndNetpbmDecodeAsTheToolsDo)
{
    QUILLON_REQUIRE_TOOL("convert");
    QUILLON_REQUIRE_TOOL("pnmtorast");
    QUILLON_REQUIRE_TOOL("rasttopnm");
    TempDir dir;
    fs::path src = dir / "src.ppm";
    ASSERT_TRUE(makeSwirlPicture(src));
    const std::string s = shellQuote(src.string());
    struct Case {
        const char* name;
        std::string command;  // writes the file named by $OUT
    } cases[] = {
        {"im24", "convert " + s + " sun:$OUT"},
        {"im24even", "convert " + s + " -crop 36x11+0+0 sun:$OUT"},
        {"im8", "convert " + s + " -colors 13 -type palette sun:$OUT"},
        {"im1", "convert " + s + " -monochrome sun:$OUT"},
        {"im32", "convert " + s + " \\( +clone -fx 'i/w' \\) -alpha off -compose copy_opacity -composite sun:$OUT"},
        {"netpbm24", "pnmtorast -standard < " + s + " > $OUT"},
        {"netpbm8", "pnmquant 20 < " + s + " 2>/dev/null | pnmtorast -standard > $OUT"},
        {"netpbmgrey", "ppmtopgm < " + s + " | pnmtorast -standard > $OUT"},
        {"netpbm1", "ppmtopgm < " + s + " | pgmtopbm 2>/dev/null | pnmtorast -standard > $OUT"},
        {"netpbm1wide", "pbmmake -gray 35 3 | pnmtorast -standard > $OUT"},
    };
    for (const Case& c : cases) {
        fs::path file = dir / (std::string(c.name) + ".ras");
        ASSERT_TRUE(makeWithCommand(c.command, file)) << c.name;
        Decoded d = decodeFileFull(file);
        ASSERT_EQ(d.rc, RC_OK) << c.name;
        Pnm p;
        ASSERT_TRUE(oracleDecode("convert", file, p)) << c.name;
        expectEqualPixels(d.image.get(), p, std::string(c.name) + " vs ImageMagick");
        ASSERT_TRUE(oracleDecode("rasttopnm", file, p)) << c.name;
        expectEqualPixels(d.image.get(), p, std::string(c.name) + " vs rasttopnm", false);
    }
}

TEST(SunRasterReader, HandBuiltLayouts)
{
    // Type 3 stores red first.
    std::vector<uint8_t> f = sunHeader(1, 1, 24, 3, 3, 0, 0);
    f.insert(f.end(), {0xFF, 0x00, 0x00, 0x00});
    Decoded d = decodeBytesFull(f, "a.ras");
    ASSERT_EQ(d.rc, RC_OK);
    Rgba8 p = asRgba8(d.image.get())->row<Rgba8>(0)[0];
    EXPECT_EQ(p.r, 255);
    EXPECT_EQ(p.g, 0);
    EXPECT_EQ(p.b, 0);

    // Depth 8 without a map is grey.
    f = sunHeader(3, 1, 8, 3, 1, 0, 0);
    f.insert(f.end(), {10, 128, 250, 0});
    d = decodeBytesFull(f, "g.ras");
    ASSERT_EQ(d.rc, RC_OK);
    EXPECT_EQ(d.image->pixelFormat, PF_GRAY8);
    EXPECT_EQ(d.image->row<uint8_t>(0)[1], 128);

    // A file whose length counts unpadded rows and whose data has no
    // padding: 3 x 2 at 24 bits, 9 bytes a row.
    f = sunHeader(3, 2, 24, 18, 1, 0, 0);
    for (int i = 0; i < 18; ++i) f.push_back(uint8_t(i * 10));
    d = decodeBytesFull(f, "u.ras");
    ASSERT_EQ(d.rc, RC_OK);
    Rgba8 q = asRgba8(d.image.get())->row<Rgba8>(1)[0];
    EXPECT_EQ(q.b, 90);
    EXPECT_EQ(q.r, 110);
    // The same length with padded data (as ImageMagick writes): padded.
    f = sunHeader(3, 2, 24, 18, 1, 0, 0);
    for (int i = 0; i < 20; ++i) f.push_back(uint8_t(i * 10));
    d = decodeBytesFull(f, "p.ras");
    ASSERT_EQ(d.rc, RC_OK);
    q = asRgba8(d.image.get())->row<Rgba8>(1)[0];
    EXPECT_EQ(q.b, 100);

    // 32-bit pixels whose first byte is zero everywhere are opaque.
    f = sunHeader(2, 1, 32, 8, 1, 0, 0);
    f.insert(f.end(), {0, 1, 2, 3, 0, 4, 5, 6});
    d = decodeBytesFull(f, "z.ras");
    ASSERT_EQ(d.rc, RC_OK);
    q = d.image->row<Rgba8>(0)[1];
    EXPECT_EQ(q.a, 255);
    EXPECT_EQ(q.b, 4);
    EXPECT_EQ(q.r, 6);

    // A bitmap without a map: 1 is black.
    f = sunHeader(3, 1, 1, 2, 1, 0, 0);
    f.insert(f.end(), {0xA0, 0x00});
    d = decodeBytesFull(f, "b.ras");
    ASSERT_EQ(d.rc, RC_OK);
    Ref<Image> bw = asRgba8(d.image.get());
    EXPECT_EQ(bw->row<Rgba8>(0)[0].r, 0);
    EXPECT_EQ(bw->row<Rgba8>(0)[1].r, 255);
}

TEST(SunRasterReader, UnsupportedHostileAndTruncatedFiles)
{
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        ResultCode rc;
    } cases[] = {
        {"run-length type", sunHeader(2, 2, 8, 0, 2, 0, 0), RC_UNSUPPORTED_SUBFORMAT},
        {"type 4", sunHeader(2, 2, 8, 0, 4, 0, 0), RC_UNSUPPORTED_SUBFORMAT},
        {"16 bits", sunHeader(2, 2, 16, 0, 1, 0, 0), RC_UNSUPPORTED_SUBFORMAT},
        {"raw map type", sunHeader(2, 2, 8, 0, 1, 2, 6), RC_UNSUPPORTED_SUBFORMAT},
        {"zero width", sunHeader(0, 2, 8, 0, 1, 0, 0), RC_CORRUPT_FILE},
        {"zero height", sunHeader(2, 0, 8, 0, 1, 0, 0), RC_CORRUPT_FILE},
        {"map past the end", sunHeader(2, 2, 8, 4, 1, 1, 0xFFFFFFF0), RC_CORRUPT_FILE},
        // No image can take it, and no data is there: a lie, not a picture
        // too large for memory.
        {"huge size", sunHeader(0xFFFFFFFF, 0xFFFFFFFF, 32, 0, 1, 0, 0), RC_CORRUPT_FILE},
        {"no pixels", sunHeader(4, 4, 24, 0, 1, 0, 0), RC_CORRUPT_FILE},
    };
    setAllocationCap(uint64_t(256) << 20);
    for (const Case& c : cases) EXPECT_EQ(decodeBytesFull(c.bytes, "h.ras").rc, c.rc) << c.what;
    // A big size with less data than its first row: refused before any
    // image is made.
    std::vector<uint8_t> lying = sunHeader(30000, 30000, 32, 0, 1, 0, 0);
    lying.resize(lying.size() + 16, 0);
    Decoded few = decodeBytesFull(lying, "l.ras");
    EXPECT_EQ(few.rc, RC_CORRUPT_FILE);
    EXPECT_EQ(few.image.get(), nullptr);
    // With a row of data, the size is a lie all the same. Every row of a
    // picture larger than memory allows, padded or not: too large; a row
    // short even unpadded, a lie.
    lying.resize(32 + 30000 * 4, 0);
    EXPECT_EQ(decodeBytesFull(lying, "l.ras").rc, RC_CORRUPT_FILE);
    setAllocationCap(uint64_t(1) << 20);
    std::vector<uint8_t> large = sunHeader(1101, 1000, 8, 1101 * 1000, 1, 0, 0);
    large.resize(32 + 1102 * 1000, 0x44);
    EXPECT_EQ(decodeBytesFull(large, "l.ras").rc, RC_OUT_OF_MEMORY);
    large.resize(32 + 1101 * 1000);
    EXPECT_EQ(decodeBytesFull(large, "l.ras").rc, RC_OUT_OF_MEMORY);
    large.resize(large.size() - 1101);
    few = decodeBytesFull(large, "l.ras");
    EXPECT_EQ(few.rc, RC_CORRUPT_FILE);
    EXPECT_EQ(few.image.get(), nullptr);
    setAllocationCap(0);

    // Cuts: inside the header nothing claims the file; inside the pixels the
    // rows read so far are kept and the rest is black.
    std::vector<uint8_t> f = sunHeader(5, 4, 8, 24, 1, 1, 6);
    f.insert(f.end(), {0, 255, 0, 255, 0, 255});
    for (int i = 0; i < 24; ++i) f.push_back(uint8_t(i & 1));
    ASSERT_EQ(decodeBytesFull(f, "t.ras").rc, RC_OK);
    expectCutsFail(f, 0, 32, RC_UNKNOWN_FORMAT, "t.ras");
    expectCutsFail(f, 32, 38, RC_CORRUPT_FILE, "t.ras");
    Decoded d = decodeBytesFull(std::vector<uint8_t>(f.begin(), f.begin() + 38 + 6 + 3), "t.ras");
    EXPECT_EQ(d.rc, RC_CORRUPT_FILE);
    ASSERT_TRUE(d.image);
    const uint8_t* r0 = d.image->row<uint8_t>(0);
    EXPECT_EQ(r0[0], 0);
    EXPECT_EQ(r0[1], 1);
    for (uint32_t y = 1; y < 4; ++y)
        for (uint32_t x = 0; x < 5; ++x) EXPECT_EQ(d.image->row<uint8_t>(y)[x], y == 1 && x == 1 ? 1 : 0) << x << y;
}

TEST(SunRasterWriter, EveryColourFormatReadsBackInBothTools)
{
    QUILLON_REQUIRE_TOOL("convert");
    QUILLON_REQUIRE_TOOL("rasttopnm");
    TempDir dir;
    struct Case {
        const char* name;
        Ref<Image> img;
        uint32_t mask;
        uint32_t bits;
        bool alpha;
        // ImageMagick takes a set bit of a 1-bit file as map entry 0;
        // rasttopnm, like us, as entry 1.
        bool magick = true;
    } cases[] = {
        {"c2", indexedRamp(21, 5, 2), CF_2_COLOURS, 1, false, false},
        {"c256", indexedRamp(33, 7, 200), CF_256_COLOURS, 8, false},
        {"grey", greyRamp(13, 4), CF_GRAY8, 8, false},
        {"c24", rampImage(31, 5, false), CF_RGB24, 24, false},
        {"c24even", rampImage(30, 5, false), CF_RGB24, 24, false},
        {"c32", rampImage(11, 6, true), CF_RGBA32, 32, true},
    };
    for (Case& c : cases) {
        fs::path out = dir / (std::string(c.name) + ".ras");
        uint32_t bits = 0;
        ASSERT_EQ(writeAs(u"ras", c.img.get(), out, u"Normal", c.mask, &bits), RC_OK) << c.name;
        EXPECT_EQ(bits, c.bits) << c.name;
        Pnm p;
        if (c.magick) {
            ASSERT_TRUE(oracleDecode("convert", out, p)) << c.name;
            expectEqualPixels(c.img.get(), p, std::string(c.name) + " ImageMagick", c.alpha);
        }
        ASSERT_TRUE(oracleDecode("rasttopnm", out, p)) << c.name;
        expectEqualPixels(c.img.get(), p, std::string(c.name) + " rasttopnm", false);
        Decoded d = decodeFileFull(out);
        ASSERT_EQ(d.rc, RC_OK) << c.name;
        expectEqualPixels(d.image.get(), p, std::string(c.name) + " ours", false);
        if (c.alpha) {
            ASSERT_TRUE(oracleDecode("convert", out, p));
            expectEqualPixels(d.image.get(), p, std::string(c.name) + " ours with alpha", true);
        }
    }
}

TEST(SunRasterWriter, RowSizesMapAndFailures)
{
    TempDir dir;
    Ref<Image> two = indexedRamp(5, 1, 2);
    ASSERT_EQ(writeAs(u"ras", two.get(), dir / "a.ras", u"Normal", CF_2_COLOURS), RC_OK);
    std::vector<uint8_t> b = readFile(dir / "a.ras");
    ASSERT_EQ(b.size(), 32u + 6 + 2);
    EXPECT_EQ(loadU32be(&b[12]), 1u);
    EXPECT_EQ(loadU32be(&b[16]), 2u);
    EXPECT_EQ(loadU32be(&b[28]), 6u);
    // Index pattern 0 1 0 1 0 packed from the most significant bit.
    EXPECT_EQ(b[38], 0x50);

    Ref<Image> pal = indexedRamp(5, 1, 256);
    ASSERT_EQ(writeAs(u"ras", pal.get(), dir / "b.ras", u"Normal", CF_256_COLOURS), RC_OK);
    b = readFile(dir / "b.ras");
    ASSERT_EQ(b.size(), 32u + 768 + 6);
    EXPECT_EQ(loadU32be(&b[16]), 6u);
    EXPECT_EQ(loadU32be(&b[24]), 1u);
    EXPECT_EQ(loadU32be(&b[28]), 768u);

    Ref<Image> rgb = rampImage(40, 40, false);
    EXPECT_EQ(writeAs(u"ras", rgb.get(), dir / "no" / "x.ras", u"Normal", CF_RGB24), RC_CREATE_FAILED);
    if (access("/dev/full", W_OK) == 0) {
        Ref<Image> big = rampImage(300, 300, false);
        EXPECT_EQ(writeAs(u"ras", big.get(), "/dev/full", u"Normal", CF_RGB24), RC_WRITE_FAILED);
    }
}

// Premultiplied pixels are written straight, from a copy: the file keeps
// the colours a reader shows and the caller's image keeps its values.
TEST(SunRasterWriter, PremultipliedAlphaWrittenStraight)
{
    QUILLON_REQUIRE_TOOL("convert");
    Ref<Image> img = Ref<Image>::adopt(imageCreate(PF_RGBA8, packSize(3, 1)));
    img->alphaKind = ALPHA_PREMULTIPLIED;
    const uint32_t straight[3][4] = {{200, 100, 50, 128}, {255, 0, 0, 255}, {40, 80, 120, 64}};
    for (uint32_t x = 0; x < 3; ++x) {
        const uint32_t a = straight[x][3];
        img->row<Rgba8>(0)[x] = {uint8_t((straight[x][2] * a + 127) / 255), uint8_t((straight[x][1] * a + 127) / 255),
                                 uint8_t((straight[x][0] * a + 127) / 255), uint8_t(a)};
    }
    const std::vector<uint8_t> before(img->rowBytesPtr(0), img->rowBytesPtr(0) + 12);
    TempDir dir;
    const fs::path out = dir / "p.ras";
    ASSERT_EQ(writeAs(u"ras", img.get(), out, u"Normal", CF_RGBA32), RC_OK);
    EXPECT_EQ(std::vector<uint8_t>(img->rowBytesPtr(0), img->rowBytesPtr(0) + 12), before);
    Pnm p;
    ASSERT_TRUE(oracleDecode("convert", out, p));
    ASSERT_EQ(p.channels, 4u);
    for (uint32_t x = 0; x < 3; ++x)
        for (uint32_t c = 0; c < 4; ++c)
            EXPECT_NEAR(p.at(x, 0, c) * 255.0 / p.maxval, straight[x][c], 2.0) << "pixel " << x << " channel " << c;
}
