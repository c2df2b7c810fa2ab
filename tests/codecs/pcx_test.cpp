// PCX reading against files made by ImageMagick and netpbm, hand-built
// layouts, hostile headers, the run-length coder, and writing read back by
// both tools.
#include "codecs/more/pcx.h"

#include <unistd.h>

#include "codecs/raster_oracle.h"
#include "core/byte_cursor.h"
#include "platform/memory.h"

using namespace quillon;
using namespace quillon::test;
namespace fs = std::filesystem;

namespace {

std::vector<uint8_t> pcxHeader(uint32_t version, uint32_t encoding, uint32_t bits, uint32_t planes, uint32_t w,
                               uint32_t h, uint32_t bpl)
{
    std::vector<uint8_t> v(128, 0);
    v[0] = 10, v[1] = uint8_t(version), v[2] = uint8_t(encoding), v[3] = uint8_t(bits);
    v[8] = uint8_t(w - 1), v[9] = uint8_t((w - 1) >> 8);
    v[10] = uint8_t(h - 1), v[11] = uint8_t((h - 1) >> 8);
    v[65] = uint8_t(planes);
    v[66] = uint8_t(bpl), v[67] = uint8_t(bpl >> 8);
    for (int i = 0; i < 16; ++i) v[16 + 3 * i] = uint8_t(i * 16), v[17 + 3 * i] = uint8_t(i), v[18 + 3 * i] = 7;
    return v;
}

// Decodes a run-length stream back into bytes.
std::vector<uint8_t> unrle(const uint8_t* p, size_t n)
{
    std::vector<uint8_t> out;
    for (size_t i = 0; i < n;) {
        uint8_t b = p[i++];
        if (b >= 0xC0) out.insert(out.end(), b & 0x3F, p[i++]);
        else out.push_back(b);
    }
    return out;
}

} // namespace

TEST(PcxReader, FilesFromImageMagickAndNetpbmDecodeAsTheToolsDo)
{
    QUILLON_REQUIRE_TOOL("convert");
    QUILLON_REQUIRE_TOOL("ppmtopcx");
    QUILLON_REQUIRE_TOOL("pcxtoppm");
    TempDir dir;
    fs::path src = dir / "src.ppm";
    ASSERT_TRUE(makeSwirlPicture(src));
    const std::string s = shellQuote(src.string());
    struct Case {
        const char* name;
        std::string command;  // writes the file named by $OUT
        // ImageMagick reads single-plane 1-bit files with 1 as black,
        // whatever the header's palette says; pcxtoppm follows the palette.
        bool magick = true;
    } cases[] = {
        {"im24odd", "convert " + s + " pcx:$OUT"},
        {"im24even", "convert " + s + " -crop 36x11+0+0 pcx:$OUT"},
        {"im8", "convert " + s + " -colors 100 -type palette pcx:$OUT"},
        {"im1", "convert " + s + " -monochrome pcx:$OUT", false},
        {"im1px", "convert -size 1x1 xc:'#c08040' pcx:$OUT"},
        {"netpbm24", "ppmtopcx -24bit < " + s + " > $OUT"},
        {"netpbm8", "pnmquant 200 < " + s + " 2>/dev/null | ppmtopcx -8bit > $OUT"},
        {"netpbm16planes", "pnmquant 16 < " + s + " 2>/dev/null | ppmtopcx -planes 4 > $OUT"},
        {"netpbm4planes", "pnmquant 4 < " + s + " 2>/dev/null | ppmtopcx -planes 2 > $OUT"},
        {"netpbm16packed", "pnmquant 16 < " + s + " 2>/dev/null | ppmtopcx -packed > $OUT"},
        {"netpbm2packed", "pnmquant 2 < " + s + " 2>/dev/null | ppmtopcx -packed > $OUT", false},
        {"netpbmbw", "ppmtopgm < " + s + " | pgmtopbm 2>/dev/null | ppmtopcx > $OUT", false},
        // Pillow pads each plane of an odd-width row to an even length.
        {"pillow24odd", std::string(kSystemPython) + " -c \"import sys; from PIL import Image; "
                                                     "Image.open(sys.argv[1]).convert('RGB').save(sys.argv[2], 'PCX')\" " +
                            s + " $OUT"},
    };
    for (const Case& c : cases) {
        fs::path file = dir / (std::string(c.name) + ".pcx");
        ASSERT_TRUE(makeWithCommand(c.command, file)) << c.name;
        Decoded d = decodeFileFull(file);
        ASSERT_EQ(d.rc, RC_OK) << c.name;
        Pnm p;
        ASSERT_TRUE(oracleDecode("pcxtoppm", file, p)) << c.name;
        expectEqualPixels(d.image.get(), p, std::string(c.name) + " vs pcxtoppm", false);
        if (!c.magick) continue;
        ASSERT_TRUE(oracleDecode("convert", file, p)) << c.name;
        expectEqualPixels(d.image.get(), p, std::string(c.name) + " vs ImageMagick", false);
    }
}

TEST(PcxReader, HandBuiltLayoutsAndPalettes)
{
    // 4 bits, one plane, an odd width: only the row's own pixels.
    std::vector<uint8_t> f = pcxHeader(5, 0, 4, 1, 3, 1, 2);
    f.insert(f.end(), {0x12, 0x3F});
    Decoded d = decodeBytesFull(f, "a.pcx");
    ASSERT_EQ(d.rc, RC_OK);
    EXPECT_EQ(d.image->row<uint8_t>(0)[0], 1);
    EXPECT_EQ(d.image->row<uint8_t>(0)[2], 3);
    EXPECT_EQ(d.image->palette()[3], 0xFF300307u);

    // 8 bits with no trailing palette: the header's 16 entries, the rest black.
    f = pcxHeader(5, 0, 8, 1, 2, 1, 2);
    f.insert(f.end(), {5, 200});
    d = decodeBytesFull(f, "b.pcx");
    ASSERT_EQ(d.rc, RC_OK);
    EXPECT_EQ(d.image->palette()[5], 0xFF500507u);
    EXPECT_EQ(d.image->palette()[200], 0xFF000000u);

    // Version 0 takes the planes from the bits field and uses the default
    // palette; entry 9 is 5555FF.
    f = pcxHeader(0, 0, 4, 0, 8, 1, 1);
    f.insert(f.end(), {0x80, 0x00, 0x00, 0x80});
    d = decodeBytesFull(f, "c.pcx");
    ASSERT_EQ(d.rc, RC_OK);
    EXPECT_EQ(d.image->row<uint8_t>(0)[0], 9);
    EXPECT_EQ(asRgba8(d.image.get())->row<Rgba8>(0)[0].b, 0xFF);

    // Four 8-bit planes carry alpha; three planes at an odd width sit
    // width bytes apart.
    f = pcxHeader(5, 1, 8, 4, 1, 1, 1);
    f.insert(f.end(), {10, 20, 30, 0xC1, 0xC8});
    d = decodeBytesFull(f, "d.pcx");
    ASSERT_EQ(d.rc, RC_OK);
    Rgba8 p = d.image->row<Rgba8>(0)[0];
    EXPECT_EQ(p.r, 10);
    EXPECT_EQ(p.g, 20);
    EXPECT_EQ(p.b, 30);
    EXPECT_EQ(p.a, 0xC8);
}

// Only 256-colour files end with a palette: a 16-colour file whose data
// happens to hold 0x0C where such a palette would start keeps its header's
// colours and all of its data.
TEST(PcxReader, EndPaletteOnlyForOneEightBitPlane)
{
    QUILLON_REQUIRE_TOOL("ppmtopcx");
    QUILLON_REQUIRE_TOOL("pcxtoppm");
    TempDir dir;
    fs::path src = dir / "src.ppm", file = dir / "planes.pcx";
    // Put 0x0C where the end palette would start, on a byte that is data,
    // not a run's count, so that the file stays whole; a few pictures are
    // tried until that byte is data.
    bool patched = false;
    for (int seed = 3; seed < 12 && !patched; ++seed) {
        ASSERT_EQ(run("convert -seed " + std::to_string(seed) + " -size 64x40 plasma:fractal -colors 16 -depth 8 " +
                      shellQuote(src.string())),
                  0);
        ASSERT_TRUE(makeWithCommand("ppmtopcx -planes 4 < " + shellQuote(src.string()) + " > $OUT", file));
        std::vector<uint8_t> f = readFile(file);
        ASSERT_GT(f.size(), 128u + 769);
        ASSERT_EQ(f[1], 5);
        ASSERT_EQ(f[65], 4);
        const size_t at = f.size() - 769;
        size_t i = 128;
        while (i < at) i += f[i] >= 0xC0 ? 2 : 1;
        if (i == at && f[at] >= 0xC0) continue;
        f[at] = 12;
        writeFile(file, f);
        patched = true;
    }
    ASSERT_TRUE(patched);
    Decoded d = decodeFileFull(file);
    ASSERT_EQ(d.rc, RC_OK);
    Pnm p;
    ASSERT_TRUE(oracleDecode("pcxtoppm", file, p));
    expectEqualPixels(d.image.get(), p, "patched 4-plane file vs pcxtoppm", false);
}

// Colour planes sit bytes-per-line apart; files that an older writer of
// ours made, with planes packed width apart in a padded line, still read.
TEST(PcxReader, ColourPlaneSpacing)
{
    for (bool older : {false, true}) {
        // 3 x 1, bytes per line 4: red, green and blue of each pixel.
        std::vector<uint8_t> f = pcxHeader(5, 0, 8, 3, 3, 1, 4);
        if (older) f[12] = 3, f[14] = 1;
        const std::vector<uint8_t> padded = {1, 2, 3, 0, 4, 5, 6, 0, 7, 8, 9, 0};
        const std::vector<uint8_t> packed = {1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 0, 0};
        const std::vector<uint8_t>& rows = older ? packed : padded;
        f.insert(f.end(), rows.begin(), rows.end());
        Decoded d = decodeBytesFull(f, "rgb.pcx");
        ASSERT_EQ(d.rc, RC_OK) << older;
        for (uint32_t x = 0; x < 3; ++x) {
            const Rgba8 p = d.image->row<Rgba8>(0)[x];
            EXPECT_EQ(p.r, 1 + x) << older << " pixel " << x;
            EXPECT_EQ(p.g, 4 + x) << older << " pixel " << x;
            EXPECT_EQ(p.b, 7 + x) << older << " pixel " << x;
        }
    }
}

TEST(PcxReader, UnsupportedHostileAndTruncatedFiles)
{
    auto withRow = [](std::vector<uint8_t> v, size_t n) {
        v.resize(v.size() + n, 0);
        return v;
    };
    std::vector<uint8_t> noProbe = pcxHeader(5, 0, 8, 1, 4, 4, 4);
    noProbe[2] = 2;
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        ResultCode rc;
    } cases[] = {
        {"2-bit CGA", withRow(pcxHeader(5, 0, 2, 1, 4, 1, 2), 2), RC_UNSUPPORTED_SUBFORMAT},
        {"8 bits x 2 planes", withRow(pcxHeader(5, 0, 8, 2, 4, 1, 4), 8), RC_UNSUPPORTED_SUBFORMAT},
        {"encoding 2", withRow(noProbe, 16), RC_UNKNOWN_FORMAT},
        {"row shorter than the layout", withRow(pcxHeader(5, 0, 8, 3, 40, 2, 2), 12), RC_CORRUPT_FILE},
        {"1-bit plane shorter than the width", withRow(pcxHeader(5, 0, 1, 4, 40, 2, 2), 16), RC_CORRUPT_FILE},
        // Wide 1-bit rows must not expand past the image's own row.
        {"wide 1-bit rows", withRow(pcxHeader(5, 0, 1, 1, 3, 2, 60000), 120000), RC_OK},
        {"wide 4-bit rows", withRow(pcxHeader(5, 0, 4, 1, 3, 2, 60000), 120000), RC_OK},
        {"no pixels", pcxHeader(5, 0, 8, 1, 4, 4, 4), RC_CORRUPT_FILE},
        {"runs that stop early", withRow(pcxHeader(5, 1, 8, 1, 4, 4, 4), 1), RC_CORRUPT_FILE},
    };
    for (const Case& c : cases) EXPECT_EQ(decodeBytesFull(c.bytes, "h.pcx").rc, c.rc) << c.what;

    // Runs that could not fill the rows even at 63 bytes from two: damaged,
    // refused before any image is made; runs of 63 to the last row are whole.
    std::vector<uint8_t> runs = pcxHeader(5, 1, 8, 1, 2000, 2000, 2000);
    setAllocationCap(uint64_t(1) << 20);
    Decoded few = decodeBytesFull(withRow(runs, 64), "few.pcx");
    setAllocationCap(0);
    EXPECT_EQ(few.rc, RC_CORRUPT_FILE);
    EXPECT_EQ(few.image.get(), nullptr);
    for (uint32_t i = 0; i < (2000 * 2000 + 62) / 63; ++i) runs.insert(runs.end(), {0xFF, 5});
    Decoded whole = decodeBytesFull(runs, "whole.pcx");
    EXPECT_EQ(whole.rc, RC_OK);
    ASSERT_TRUE(whole.image);
    EXPECT_EQ(whole.image->row<uint8_t>(1999)[1999], 5);

    // Larger than memory allows: too large when the data can fill every
    // row, coded or raw; a lie when it cannot, even at the greatest
    // expansion (two runs short) or raw (from one row to a row short).
    setAllocationCap(uint64_t(1) << 20);
    EXPECT_EQ(decodeBytesFull(runs, "whole.pcx").rc, RC_OUT_OF_MEMORY);
    runs.resize(runs.size() - 4);
    few = decodeBytesFull(runs, "short.pcx");
    EXPECT_EQ(few.rc, RC_CORRUPT_FILE);
    EXPECT_EQ(few.image.get(), nullptr);
    const std::vector<uint8_t> raw = pcxHeader(5, 0, 8, 1, 2000, 2000, 2000);
    EXPECT_EQ(decodeBytesFull(withRow(raw, 2000 * 2000), "raw.pcx").rc, RC_OUT_OF_MEMORY);
    for (size_t rows : {1, 1999}) {
        few = decodeBytesFull(withRow(raw, 2000 * rows), "raw.pcx");
        EXPECT_EQ(few.rc, RC_CORRUPT_FILE) << rows;
        EXPECT_EQ(few.image.get(), nullptr) << rows;
    }
    setAllocationCap(0);

    // Cuts inside the header claim nothing; inside the run-length data the
    // rows decoded so far are kept.
    std::vector<uint8_t> f = pcxHeader(5, 1, 8, 1, 4, 3, 4);
    f.insert(f.end(), {0xC4, 7, 0xC4, 9, 0xC4, 11});
    ASSERT_EQ(decodeBytesFull(f, "t.pcx").rc, RC_OK);
    expectCutsFail(f, 0, 128, RC_UNKNOWN_FORMAT, "t.pcx");
    Decoded d = decodeBytesFull(std::vector<uint8_t>(f.begin(), f.begin() + 132), "t.pcx");
    EXPECT_EQ(d.rc, RC_CORRUPT_FILE);
    ASSERT_TRUE(d.image);
    EXPECT_EQ(d.image->row<uint8_t>(0)[3], 7);
    EXPECT_EQ(d.image->row<uint8_t>(1)[0], 9);
    EXPECT_EQ(d.image->row<uint8_t>(2)[0], 0);
}

TEST(PcxWriter, RunLengthRows)
{
    std::vector<uint8_t> in(64, 0x41);
    std::vector<uint8_t> out(2 * in.size());
    uint32_t n = pcxEncodeRow(out.data(), in.data(), 64);
    ASSERT_EQ(n, 3u);
    EXPECT_EQ(out[0], 0xFF);
    EXPECT_EQ(out[1], 0x41);
    EXPECT_EQ(out[2], 0x41);
    // High single bytes are escaped; a mixed row codes back to itself.
    in = {0xC0, 1, 2, 2, 0xFF, 0xFF, 0xFF, 3};
    for (int i = 0; i < 200; ++i) in.push_back(uint8_t(i % 7 == 0 ? 0xE0 : i / 9));
    out.assign(2 * in.size(), 0);
    n = pcxEncodeRow(out.data(), in.data(), uint32_t(in.size()));
    EXPECT_EQ(out[0], 0xC1);
    EXPECT_EQ(out[1], 0xC0);
    EXPECT_EQ(unrle(out.data(), n), in);
}

TEST(PcxWriter, EveryColourFormatReadsBackInBothTools)
{
    QUILLON_REQUIRE_TOOL("convert");
    QUILLON_REQUIRE_TOOL("pcxtoppm");
    TempDir dir;
    struct Case {
        const char* name;
        Ref<Image> img;
        uint32_t mask;
        uint32_t bits;
        bool magick = true;  // see above: not for single-plane 1-bit files
    } cases[] = {
        {"c2", indexedRamp(21, 5, 2), CF_2_COLOURS, 1, false},
        {"c4", indexedRamp(19, 6, 4), CF_4_COLOURS, 2},
        {"c16", indexedRamp(33, 7, 16), CF_16_COLOURS, 4},
        {"c256", indexedRamp(35, 9, 200), CF_256_COLOURS, 8},
        {"c24odd", rampImage(31, 5, false), CF_RGB24, 24},
        {"c24even", rampImage(30, 5, false), CF_RGB24, 24},
        {"one", rampImage(1, 1, false), CF_RGB24, 24},
    };
    for (Case& c : cases) {
        fs::path out = dir / (std::string(c.name) + ".pcx");
        uint32_t bits = 0;
        ASSERT_EQ(writeAs(u"pcx", c.img.get(), out, u"Normal", c.mask, &bits), RC_OK) << c.name;
        EXPECT_EQ(bits, c.bits) << c.name;
        Pnm p;
        ASSERT_TRUE(oracleDecode("pcxtoppm", out, p)) << c.name;
        expectEqualPixels(c.img.get(), p, std::string(c.name) + " pcxtoppm", false);
        if (c.magick) {
            ASSERT_TRUE(oracleDecode("convert", out, p)) << c.name;
            expectEqualPixels(c.img.get(), p, std::string(c.name) + " ImageMagick", false);
        }
        Decoded d = decodeFileFull(out);
        ASSERT_EQ(d.rc, RC_OK) << c.name;
        expectEqualPixels(d.image.get(), p, std::string(c.name) + " ours", false);
        // Palette layouts pad each plane's line to an even length (the
        // widths above are odd); colour lines stay the width.
        const std::vector<uint8_t> bytes = readFile(out);
        const uint32_t bpl = loadU16le(&bytes[66]), w = c.img->width;
        if (c.bits <= 8) {
            EXPECT_EQ(bpl % 2, 0u) << c.name;
            EXPECT_GE(bpl, (w * bytes[3] + 7) / 8) << c.name;
        } else {
            EXPECT_EQ(bpl, w) << c.name;
        }
    }
}

TEST(PcxWriter, MostUsedColourFirstAndTheSameFileTwice)
{
    TempDir dir;
    Ref<Image> img = indexedRamp(16, 4, 3);
    // Index 200 makes the most runs: every other pixel.
    for (uint32_t y = 0; y < 4; ++y)
        for (uint32_t x = 0; x < 16; x += 2) img->row<uint8_t>(y)[x] = 200;
    // A 256-entry palette image needs colours past 16 to stay 8-bit.
    img->row<uint8_t>(0)[1] = 255;
    uint32_t before[256];
    std::copy(img->palette(), img->palette() + 256, before);
    std::vector<uint32_t> colours;
    for (uint32_t y = 0; y < 4; ++y)
        for (uint32_t x = 0; x < 16; ++x) colours.push_back(before[img->row<uint8_t>(y)[x]]);
    ASSERT_EQ(writeAs(u"pcx", img.get(), dir / "a.pcx", u"Normal", CF_256_COLOURS), RC_OK);
    ASSERT_EQ(writeAs(u"pcx", img.get(), dir / "b.pcx", u"Normal", CF_256_COLOURS), RC_OK);
    std::vector<uint8_t> a = readFile(dir / "a.pcx");
    EXPECT_EQ(a, readFile(dir / "b.pcx"));
    ASSERT_GT(a.size(), 128u + 769);
    const uint8_t* tail = &a[a.size() - 769];
    EXPECT_EQ(tail[0], 12);
    uint32_t c0 = 0xFF000000u | uint32_t(tail[1]) << 16 | uint32_t(tail[2]) << 8 | tail[3];
    EXPECT_EQ(c0, before[200]);
    // The caller's image still shows the same colours (the write may only
    // renumber its palette).
    for (uint32_t y = 0; y < 4; ++y)
        for (uint32_t x = 0; x < 16; ++x) EXPECT_EQ(img->palette()[img->row<uint8_t>(y)[x]], colours[y * 16 + x]);
    // Header: version 5, one 8-bit plane, an even bytes-per-line.
    EXPECT_EQ(a[1], 5);
    EXPECT_EQ(a[3], 8);
    EXPECT_EQ(a[65], 1);
    EXPECT_EQ(loadU16le(&a[66]), 16u);

    Ref<Image> rgb = rampImage(40, 40, false);
    EXPECT_EQ(writeAs(u"pcx", rgb.get(), dir / "no" / "x.pcx", u"Normal", CF_RGB24), RC_CREATE_FAILED);
    if (access("/dev/full", W_OK) == 0) {
        Ref<Image> big = rampImage(300, 300, false);
        EXPECT_EQ(writeAs(u"pcx", big.get(), "/dev/full", u"Normal", CF_RGB24), RC_WRITE_FAILED);
    }
}
