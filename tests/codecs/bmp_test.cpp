// BMP reading against files made by ImageMagick and netpbm, hand-built
// run-length and header variants, and writing read back by both tools.
#include "codecs/more/bmp.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <climits>
#include <cstring>
#include <functional>
#include <vector>

#include "app/format_table.h"
#include "core/byte_cursor.h"
#include "core/convert.h"
#include "core/image_reader.h"
#include "core/image_writer.h"
#include "core/text.h"
#include "platform/memory.h"
#include "support/codec_support.h"
#include "support/test_support.h"

using namespace quillon;
using namespace quillon::test;
namespace fs = std::filesystem;

namespace {

// A bitmap with a 40-byte (or longer) header; the caller appends the rest.
std::vector<uint8_t> header(int32_t w, int32_t h, uint16_t bits, uint32_t compression, uint32_t infoSize,
                            uint32_t paletteEntries, uint32_t extraBeforePixels = 0)
{
    std::vector<uint8_t> v = {'B', 'M'};
    le32(v, 0);
    le32(v, 0);
    le32(v, 14 + infoSize + paletteEntries * 4 + extraBeforePixels);
    le32(v, infoSize);
    le32(v, uint32_t(w));
    le32(v, uint32_t(h));
    le16(v, 1);
    le16(v, bits);
    le32(v, compression);
    le32(v, 0);
    le32(v, 2835);
    le32(v, 2835);
    le32(v, 0);
    le32(v, 0);
    v.resize(14 + infoSize, 0);
    return v;
}

// An OS/2 bitmap array of two 2 x 2 24-bit bitmaps with core headers.
std::vector<uint8_t> arrayFile()
{
    auto entry = [](std::vector<uint8_t>& v, uint32_t next, const uint8_t (&rows)[2][8]) {
        const uint32_t start = uint32_t(v.size());
        v.insert(v.end(), {'B', 'A'});
        le32(v, 14);
        le32(v, next);
        le16(v, 1024);
        le16(v, 768);
        v.insert(v.end(), {'B', 'M'});
        le32(v, 14 + 12 + 16);
        le32(v, 0);
        le32(v, start + 14 + 14 + 12);  // from the start of the whole file
        le32(v, 12);
        le16(v, 2);
        le16(v, 2);
        le16(v, 1);
        le16(v, 24);
        for (const auto& row : rows) v.insert(v.end(), row, row + 8);
    };
    std::vector<uint8_t> v;
    const uint8_t first[2][8] = {{10, 20, 30, 40, 50, 60, 0, 0}, {70, 80, 90, 100, 200, 120, 0, 0}};
    const uint8_t second[2][8] = {{1, 1, 1, 2, 2, 2, 0, 0}, {3, 3, 3, 4, 4, 4, 0, 0}};
    entry(v, 14 + 14 + 12 + 16, first);
    entry(v, 0, second);
    return v;
}

class BmpFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        QUILLON_REQUIRE_TOOL("convert");
        QUILLON_REQUIRE_TOOL("ppmtobmp");
        src = dir / "src.ppm";
        ASSERT_EQ(run("convert -size 37x23 gradient:red-blue -swirl 90 -fill '#20c040' -draw 'circle 10,10 14,14' -depth 8 " +
                      shellQuote(src.string())),
                  0);
    }
    TempDir dir;
    fs::path src;
};

} // namespace

TEST_F(BmpFiles, ImageMagickAndNetpbmFilesDecodeLikeTheirOwnDecodes)
{
    // Bit fields scale to the full range, as ImageMagick's own reading.
    const std::vector<MadeFile> made = {
        {"t24.bmp", "convert SRC -compress None BMP3:OUT"},
        {"t8.bmp", "convert SRC -colors 200 -type palette -compress None BMP3:OUT"},
        {"t4.bmp", "convert SRC -colors 16 -type palette -compress None BMP3:OUT"},
        {"t1.bmp", "convert SRC -monochrome -compress None BMP3:OUT"},
        {"rle8.bmp", "convert SRC -colors 200 -type palette -compress RLE BMP3:OUT"},
        {"t555.bmp", "convert SRC -define bmp:subtype=RGB555 BMP:OUT"},
        {"t565.bmp", "convert SRC -define bmp:subtype=RGB565 BMP:OUT"},
        {"t32.bmp", "convert SRC -define bmp:subtype=ARGB32 -alpha set -channel A -fx 'i/w' +channel BMP:OUT"},
        {"t32v3.bmp", "convert SRC -alpha set -channel A -fx 'j/h' +channel BMP3:OUT"},
        {"core24.bmp", "ppmtobmp -os2 SRC > OUT"},
        {"core8.bmp", "pnmquant 200 SRC | ppmtobmp -os2 > OUT"},
        {"win4.bmp", "pnmquant 16 SRC | ppmtobmp -windows -bpp 4 > OUT"},
        {"win1.bmp", "pnmquant 2 SRC | ppmtobmp -windows -bpp 1 > OUT"},
        {"win8.bmp", "pnmquant 100 SRC | ppmtobmp -windows -bpp 8 > OUT"},
    };
    expectMadeFilesDecodeLikeImageMagick(dir.path(), made, src, true);
}

TEST_F(BmpFiles, EveryCutOfAFileIsDamageAndKeepsTheRowsBeforeIt)
{
    // Made by ImageMagick: uncompressed 24-bit and 8-bit, and run-length.
    for (const char* kind : {"t24", "t8", "rle8"}) {
        SCOPED_TRACE(kind);
        fs::path out = dir / (std::string(kind) + ".bmp");
        std::string opts = std::string(kind) == "t24" ? "-compress None"
                           : std::string(kind) == "t8" ? "-colors 60 -type palette -compress None"
                                                       : "-colors 60 -type palette -compress RLE";
        ASSERT_EQ(run("convert " + shellQuote(src.string()) + " " + opts + " BMP3:" + shellQuote(out.string())), 0);
        std::vector<uint8_t> whole = readFile(out);
        EXPECT_GT(expectEveryCutIsDamage(whole, "x.bmp", 44), 0u);
        Decoded full = decodeBytesFull(whole, "x.bmp");
        ASSERT_EQ(full.rc, RC_OK);
        Ref<Image> fullRgba = asRgba8(full.image.get());
        const uint32_t w = fullRgba->width, h = fullRgba->height;
        const uint32_t dataStart = loadU32le(&whole[10]);
        const uint32_t rowBytes = std::string(kind) == "t24" ? (w * 3 + 3) & ~3u : (w + 3) & ~3u;
        for (size_t cut = 1; cut < whole.size(); ++cut) {
            std::vector<uint8_t> part(whole.begin(), whole.begin() + ptrdiff_t(cut));
            Decoded d = decodeBytesFull(part, "x.bmp");
            if (cut < 44) {
                EXPECT_EQ(d.rc, RC_UNKNOWN_FORMAT) << cut;  // shorter than any header the probe knows
                continue;
            }
            const uint32_t pixelBytes = std::string(kind) == "t24" ? w * 3 : w;
            // Only the end-of-bitmap code, or the last row's padding, is
            // missing: every pixel is there.
            if (std::string(kind) == "rle8" && d.rc == RC_OK) {
                // Run lengths may end early and still draw every pixel (the
                // last codes pad the row): a success only when nothing is
                // missing.
                Ref<Image> rgba = asRgba8(d.image.get());
                for (uint32_t y = 0; y < h; ++y)
                    ASSERT_EQ(std::memcmp(rgba->row<Rgba8>(y), fullRgba->row<Rgba8>(y), size_t(w) * 4), 0) << cut;
                EXPECT_GT(cut + 8, whole.size());
                continue;
            }
            if (std::string(kind) != "rle8" && cut >= whole.size() - (rowBytes - pixelBytes)) {
                EXPECT_EQ(d.rc, RC_OK) << cut;
                continue;
            }
            ASSERT_EQ(d.rc, RC_CORRUPT_FILE) << cut;
            if (std::string(kind) == "rle8") continue;
            // Uncompressed: not even one row of pixels is no picture at all;
            // otherwise the bottom rows that are whole in the cut file equal
            // the whole file's, the rest are zeros.
            if (cut < dataStart + pixelBytes) {
                EXPECT_FALSE(d.image) << cut;
                continue;
            }
            ASSERT_TRUE(d.image) << cut;
            Ref<Image> rgba = asRgba8(d.image.get());
            uint32_t rowsThere = uint32_t((cut - dataStart) / rowBytes);
            for (uint32_t r = 0; r < h; ++r) {
                uint32_t y = h - 1 - r;
                const Rgba8* got = rgba->row<Rgba8>(y);
                const Rgba8* want = fullRgba->row<Rgba8>(y);
                if (r < rowsThere) {
                    ASSERT_EQ(std::memcmp(got, want, size_t(w) * 4), 0) << "cut " << cut << " row " << y;
                } else if (r > rowsThere) {
                    for (uint32_t x = 0; x < w; ++x) {
                        // Zeros: black in 24 bits, palette entry 0 in 8.
                        const Rgba8 zero = std::string(kind) == "t24" ? Rgba8{0, 0, 0, 255} : rgba->row<Rgba8>(y)[0];
                        ASSERT_EQ(std::memcmp(&got[x], &zero, 4), 0) << "cut " << cut << " row " << y;
                    }
                }
            }
        }
    }
}

// Damaged palette files whose pixel-data offset points into the palette,
// or at its start as some writers leave it: the palette the header declares
// is read, and the picture comes out as Pillow recovers it.
TEST_F(BmpFiles, DataOffsetsInsideThePaletteReadAsPillowReadsThem)
{
    const std::string pillow = pillowDecoder();
    struct Made {
        const char* name;
        const char* options;
    } made[] = {
        {"t8", "-colors 200 -type palette -compress None BMP3"},
        {"t4", "-colors 16 -type palette -compress None BMP3"},
        {"t1", "-monochrome -compress None BMP3"},
        {"rle8", "-colors 200 -type palette -compress RLE BMP3"},
        {"v5", "-colors 100 -type palette -compress None BMP"},
    };
    for (const Made& m : made) {
        const fs::path whole = dir / (std::string(m.name) + ".bmp");
        ASSERT_EQ(run("convert " + shellQuote(src.string()) + " " + m.options + ":" + shellQuote(whole.string())), 0)
            << m.name;
        const std::vector<uint8_t> bytes = readFile(whole);
        const uint32_t paletteStart = 14 + loadU32le(&bytes[14]);
        ASSERT_LT(paletteStart, loadU32le(&bytes[10])) << m.name;
        // At the palette's start, and (where the data is not run codes,
        // which each reader resynchronises its own way) one entry into it.
        for (uint32_t into : {0u, 4u}) {
            if (into && std::string(m.name) == "rle8") continue;
            const std::string what = std::string(m.name) + " offset +" + std::to_string(into);
            std::vector<uint8_t> damaged = bytes;
            const uint32_t offset = paletteStart + into;
            std::memcpy(&damaged[10], &offset, 4);
            const fs::path file = dir / "damaged.bmp";
            writeFile(file, damaged);
            Decoded d = decodeFileFull(file);
            ASSERT_EQ(d.rc, RC_OK) << what;
            Pnm oracle;
            ASSERT_TRUE(oracleDecode(pillow, file, oracle)) << what;
            expectEqualPixels(d.image.get(), oracle, what);
            Ref<Image> rgba = asRgba8(d.image.get());
            for (uint32_t y = 0; y < rgba->height; ++y)
                for (uint32_t x = 0; x < rgba->width; ++x) ASSERT_EQ(rgba->row<Rgba8>(y)[x].a, 255) << what;
        }
    }

    // Indices past a palette of 2 (8 bits) or 3 (4 bits) declared entries
    // read as opaque black.
    for (uint16_t bits : {8, 4}) {
        const uint32_t declared = bits == 8 ? 2 : 3;
        std::vector<uint8_t> v = header(4, 1, bits, 0, 40, declared);
        std::memcpy(&v[46], &declared, 4);
        for (uint32_t i = 0; i < declared; ++i) v.insert(v.end(), {uint8_t(40 * i + 10), 20, 30, 0});
        if (bits == 8) v.insert(v.end(), {0, 1, 5, 255});
        else v.insert(v.end(), {0x01, 0x45, 0, 0});
        Decoded d = decodeBytesFull(v, "x.bmp");
        ASSERT_EQ(d.rc, RC_OK) << bits;
        Ref<Image> rgba = asRgba8(d.image.get());
        EXPECT_EQ(rgba->row<Rgba8>(0)[1].b, 50) << bits;
        for (uint32_t x : {2u, 3u}) {
            const Rgba8 p = rgba->row<Rgba8>(0)[x];
            EXPECT_TRUE(p.r == 0 && p.g == 0 && p.b == 0 && p.a == 255) << bits << " pixel " << x;
        }
    }
}

TEST_F(BmpFiles, TopDownAndBitFieldVariantsBuiltFromATrueColourFile)
{
    Pnm p;
    ASSERT_TRUE(readPnm(src, p));
    // Top-down 24-bit: rows in file order, negative height.
    uint32_t rowBytes = (p.width * 3 + 3) & ~3u;
    std::vector<uint8_t> v = header(int32_t(p.width), -int32_t(p.height), 24, 0, 40, 0);
    for (uint32_t y = 0; y < p.height; ++y) {
        for (uint32_t x = 0; x < p.width; ++x)
            v.push_back(uint8_t(p.at(x, y, 2))), v.push_back(uint8_t(p.at(x, y, 1))), v.push_back(uint8_t(p.at(x, y, 0)));
        v.resize(v.size() + rowBytes - p.width * 3, 0);
    }
    ResultCode rc;
    Ref<Image> img = decodeBytes(v, &rc, "x.bmp");
    ASSERT_EQ(rc, RC_OK);
    expectEqualPixels(img.get(), p, "top-down");
    // Bit fields that are plain 8-bit channels with alpha: read as 32-bit
    // with straight alpha; a 56-byte header carries the alpha mask.
    std::vector<uint8_t> b = header(int32_t(p.width), int32_t(p.height), 32, 3, 56, 0);
    uint32_t masks[4] = {0xFF0000, 0xFF00, 0xFF, 0xFF000000};
    for (int i = 0; i < 4; ++i) std::memcpy(&b[14 + 40 + 4 * i], &masks[i], 4);
    for (uint32_t y = p.height; y-- > 0;)
        for (uint32_t x = 0; x < p.width; ++x)
            b.push_back(uint8_t(p.at(x, y, 2))), b.push_back(uint8_t(p.at(x, y, 1))), b.push_back(uint8_t(p.at(x, y, 0))),
                b.push_back(uint8_t(x * 7));
    Ref<ImageReader> reader;
    Ref<Image> bf = decodeBytes(b, &rc, "x.bmp");
    ASSERT_EQ(rc, RC_OK);
    EXPECT_EQ(bf->alphaKind, ALPHA_STRAIGHT);
    expectEqualPixels(bf.get(), p, "bit fields", false);
    EXPECT_EQ(bf->row<Rgba8>(0)[3].a, 21);
}

TEST(BmpReader, HeaderVariantsAndEdgeCases)
{
    ResultCode rc;
    // 32-bit, 40-byte header: all fourth bytes 0 reads opaque...
    std::vector<uint8_t> v = header(2, 1, 32, 0, 40, 0);
    const uint8_t px[8] = {1, 2, 3, 0, 4, 5, 6, 0};
    v.insert(v.end(), px, px + 8);
    Ref<Image> img = decodeBytes(v, &rc, "x.bmp");
    ASSERT_EQ(rc, RC_OK);
    EXPECT_EQ(img->alphaKind, ALPHA_NONE);
    EXPECT_EQ(img->row<Rgba8>(0)[1].a, 255);
    // ...one non-zero fourth byte gives the whole image its alpha.
    v[v.size() - 1] = 9;
    img = decodeBytes(v, &rc, "x.bmp");
    ASSERT_EQ(rc, RC_OK);
    EXPECT_EQ(img->alphaKind, ALPHA_STRAIGHT);
    EXPECT_EQ(img->row<Rgba8>(0)[0].a, 0);
    EXPECT_EQ(img->row<Rgba8>(0)[1].a, 9);
    EXPECT_EQ(u16ToUtf8(img->info()->get(INFO_DENSITY)), "2835 x 2835 ppm");

    // 16-bit without compression is 5-5-5; a 5-bit 31 reads as 255, 16 as
    // 132 (its bits repeated).
    std::vector<uint8_t> s = header(2, 1, 16, 0, 40, 0);
    le16(s, 0x7C00 | 16);  // red 31, blue 16
    le16(s, 0x03E0 | 0x8000);  // green 31, top bit ignored
    img = decodeBytes(s, &rc, "x.bmp");
    ASSERT_EQ(rc, RC_OK);
    EXPECT_EQ(img->row<Rgba8>(0)[0].r, 255);
    EXPECT_EQ(img->row<Rgba8>(0)[0].g, 0);
    EXPECT_EQ(img->row<Rgba8>(0)[0].b, 132);
    EXPECT_EQ(img->row<Rgba8>(0)[1].g, 255);
    EXPECT_EQ(img->row<Rgba8>(0)[1].a, 255);
    EXPECT_EQ(img->alphaKind, ALPHA_NONE);

    // Alpha fields of 1 and 4 bits (V3 headers with an alpha mask): opaque
    // is 255, and the image declares straight alpha.
    struct AlphaCase { uint32_t r, g, b, a, pixel; uint8_t alpha, red; };
    for (AlphaCase c : {AlphaCase{0x7C00, 0x3E0, 0x1F, 0x8000, 0xFC00, 255, 255},
                        AlphaCase{0x7C00, 0x3E0, 0x1F, 0x8000, 0x7C00, 0, 255},
                        AlphaCase{0xF00, 0xF0, 0xF, 0xF000, 0xF800, 255, 136},
                        AlphaCase{0xF00, 0xF0, 0xF, 0xF000, 0x5F00, 85, 255}}) {
        std::vector<uint8_t> a = header(1, 1, 16, 3, 56, 0);
        for (int i = 0; i < 4; ++i) std::memcpy(&a[54 + 4 * i], i == 0 ? &c.r : i == 1 ? &c.g : i == 2 ? &c.b : &c.a, 4);
        le16(a, c.pixel);
        le16(a, 0);
        img = decodeBytes(a, &rc, "a.bmp");
        ASSERT_EQ(rc, RC_OK);
        EXPECT_EQ(img->alphaKind, ALPHA_STRAIGHT) << std::hex << c.pixel;
        EXPECT_EQ(img->row<Rgba8>(0)[0].a, c.alpha) << std::hex << c.pixel;
        EXPECT_EQ(img->row<Rgba8>(0)[0].r, c.red) << std::hex << c.pixel;
    }

    // 2 bits, compression 4 and 5, planes 2, an unknown header size.
    for (auto bad : {header(2, 1, 2, 0, 40, 4), header(2, 1, 24, 4, 40, 0), header(2, 1, 24, 5, 40, 0),
                     header(2, 1, 24, 1, 40, 0), header(2, 1, 8, 3, 40, 0)}) {
        bad.resize(bad.size() + 64, 0);
        decodeBytes(bad, &rc, "x.bmp");
        EXPECT_EQ(rc, RC_UNSUPPORTED_SUBFORMAT);
    }
    std::vector<uint8_t> planes = header(2, 1, 24, 0, 40, 0);
    planes[26] = 2;
    planes.resize(planes.size() + 16, 0);
    decodeBytes(planes, &rc, "x.bmp");
    EXPECT_EQ(rc, RC_UNSUPPORTED_SUBFORMAT);
    std::vector<uint8_t> odd = header(2, 1, 24, 0, 40, 0);
    odd[14] = 41;
    odd.resize(odd.size() + 16, 0);
    Ref<MappedFile> f = Ref<MappedFile>::adopt(memoryStreamCreate(odd.data(), odd.size(), "x.bmp"));
    EXPECT_EQ(bmpProbe(f.get()), RC_UNSUPPORTED_SUBFORMAT);
    // The user is told so, not that the format is unknown, by either name.
    decodeBytes(odd, &rc, "x.bmp");
    EXPECT_EQ(rc, RC_UNSUPPORTED_SUBFORMAT);
    decodeBytes(odd, &rc, "x.dat");
    EXPECT_EQ(rc, RC_UNSUPPORTED_SUBFORMAT);

    // OS/2 "BA" arrays: a 14-byte array header, then the first bitmap's
    // file header (at 14) and core header (at 28); offsets count from the
    // start of the file. The array's second entry is not read.
    std::vector<uint8_t> ba = arrayFile();
    img = decodeBytes(ba, &rc, "x.bmp");
    ASSERT_EQ(rc, RC_OK);
    ASSERT_EQ(img->width, 2u);
    EXPECT_EQ(img->row<Rgba8>(1)[0].r, 30); // the first stored row is the bottom one
    EXPECT_EQ(img->row<Rgba8>(1)[0].b, 10);
    EXPECT_EQ(img->row<Rgba8>(0)[1].g, 200);
}

TEST(BmpReader, HandBuiltRunLengthFiles)
{
    ResultCode rc;
    // RLE4, 6 x 4, bottom row first: a run, an end of line, a delta, an
    // absolute run of 3 nibbles (padded to a word), the end of the bitmap.
    std::vector<uint8_t> v = header(6, -4, 4, 2, 40, 16); // negative height is ignored for run lengths
    for (uint32_t i = 0; i < 16; ++i) le32(v, i * 0x111111);
    const uint8_t data[] = {
        5, 0x12,       // row 3 (bottom): 1 2 1 2 1
        0, 0,          // end of line
        0, 2, 2, 1,    // delta: right 2, up 1 -> row 1, x 2
        0, 3, 0xAB, 0xC0, // absolute: A B C (2 bytes, word-aligned)
        1, 0xF0,       // one F
        0, 0,          // end of line -> row 0
        2, 0x77,       // 7 7
        0, 1,          // end of bitmap
        9, 9,          // never read
    };
    v.insert(v.end(), data, data + sizeof data);
    Ref<Image> img = decodeBytes(v, &rc, "x.rle");
    ASSERT_EQ(rc, RC_OK);
    ASSERT_EQ(img->pixelFormat, PF_INDEXED8);
    const uint8_t expect[4][6] = {{7, 7, 0, 0, 0, 0}, {0, 0, 0xA, 0xB, 0xC, 0xF}, {0, 0, 0, 0, 0, 0}, {1, 2, 1, 2, 1, 0}};
    const uint8_t* rows[4];
    for (uint32_t y = 0; y < 4; ++y) rows[y] = img->row<uint8_t>(y);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 6; ++x) EXPECT_EQ(rows[y][x], expect[y][x]) << x << "," << y;
    EXPECT_EQ(u16ToUtf8(img->info()->get(INFO_COMPRESSION)), "RLE");

    // RLE8 whose runs, absolute runs and deltas overshoot the row and the
    // image: clipped, never written outside.
    std::vector<uint8_t> r8 = header(3, 2, 8, 1, 40, 4);
    for (uint32_t i = 0; i < 4; ++i) le32(r8, i * 0x404040);
    const uint8_t d8[] = {200, 1, 0, 0, 0, 5, 1, 2, 3, 2, 3, 0, 0, 2, 250, 250, 7, 3};
    r8.insert(r8.end(), d8, d8 + sizeof d8);
    img = decodeBytes(r8, &rc, "x.bmp");
    ASSERT_EQ(rc, RC_OK);
    EXPECT_EQ(img->row<uint8_t>(1)[2], 1);
    EXPECT_EQ(img->row<uint8_t>(0)[0], 1);
    EXPECT_EQ(img->row<uint8_t>(0)[2], 3);
    // Pixel data at an odd file offset: the word alignment of absolute runs
    // counts from the start of the pixel data, as writers produce it.
    std::vector<uint8_t> odd = header(5, 1, 8, 1, 40, 4, 1);
    for (uint32_t i = 0; i < 4; ++i) le32(odd, i * 0x404040);
    odd.push_back(0xEE); // the odd byte before the pixel data
    const uint8_t dOdd[] = {0, 3, 1, 2, 3, 0, 2, 3, 0, 1};
    odd.insert(odd.end(), dOdd, dOdd + sizeof dOdd);
    img = decodeBytes(odd, &rc, "x.bmp");
    ASSERT_EQ(rc, RC_OK);
    const uint8_t wantOdd[5] = {1, 2, 3, 3, 3};
    for (int x = 0; x < 5; ++x) EXPECT_EQ(img->row<uint8_t>(0)[x], wantOdd[x]) << x;
    // Cut in the middle of an absolute run: keeps what it has, and says
    // the file is damaged.
    r8.resize(r8.size() - 10);
    Decoded cut = decodeBytesFull(r8, "x.bmp");
    EXPECT_EQ(cut.rc, RC_CORRUPT_FILE);
    ASSERT_TRUE(cut.image);
    EXPECT_EQ(cut.image->row<uint8_t>(1)[2], 1);
    // Without any pixel data at all.
    std::vector<uint8_t> none = header(3, 2, 8, 1, 40, 4);
    for (uint32_t i = 0; i < 4; ++i) le32(none, i * 0x404040);
    decodeBytes(none, &rc, "x.bmp");
    EXPECT_EQ(rc, RC_CORRUPT_FILE);
    // A last row drawn out without its end-of-line code is whole.
    std::vector<uint8_t> noEnd = header(2, 2, 8, 1, 40, 4);
    for (uint32_t i = 0; i < 4; ++i) le32(noEnd, i * 0x404040);
    const uint8_t dNoEnd[] = {2, 1, 0, 0, 2, 3};
    noEnd.insert(noEnd.end(), dNoEnd, dNoEnd + sizeof dNoEnd);
    img = decodeBytes(noEnd, &rc, "x.bmp");
    ASSERT_EQ(rc, RC_OK);
    EXPECT_EQ(img->row<uint8_t>(0)[1], 3);
}

TEST(BmpReader, TruncatedAndLyingHeadersNeverReadOutside)
{
    ResultCode rc;
    std::vector<uint8_t> v = header(5, 5, 24, 0, 40, 0);
    v.resize(v.size() + 20, 0x55); // pixel data cut after one row
    Decoded cut = decodeBytesFull(v, "x.bmp");
    ASSERT_EQ(cut.rc, RC_CORRUPT_FILE);  // damaged, not a success
    Ref<Image> img = cut.image;          // but kept for display
    EXPECT_EQ(img->row<Rgba8>(4)[0].r, 0x55); // the bottom row was there
    EXPECT_EQ(img->row<Rgba8>(0)[0].r, 0);    // the rest reads as zeros
    EXPECT_EQ(img->row<Rgba8>(0)[4].a, 255);
    // Every pixel of the kept image is set, whatever fresh memory held.
    for (int fill : {0xA5, 0x5A}) {
        setAllocationFill(fill);
        Decoded again = decodeBytesFull(v, "x.bmp");
        setAllocationFill(-1);
        ASSERT_TRUE(again.image);
        for (uint32_t y = 0; y < 5; ++y)
            EXPECT_EQ(std::memcmp(again.image->rowBytesPtr(y), img->rowBytesPtr(y), 5 * 4), 0) << fill << " " << y;
    }
    // A last row without its padding lacks no pixel.
    v.resize(v.size() - 20 + 5 * 16 + 15, 0x55);
    img = decodeBytes(v, &rc, "x.bmp");
    EXPECT_EQ(rc, RC_OK);
    // 20000 x 20000 declared, 16 bytes there: refused before a picture of
    // 1.6 GB is made, and never a success.
    std::vector<uint8_t> huge70 = header(20000, 20000, 24, 0, 40, 0);
    huge70.resize(70, 0);
    ASSERT_EQ(huge70.size(), 70u);
    int64_t liveBefore = Image::liveCount();
    Decoded big = decodeBytesFull(huge70, "x.bmp");
    EXPECT_EQ(big.rc, RC_CORRUPT_FILE);
    EXPECT_FALSE(big.image);
    EXPECT_EQ(Image::liveCount(), liveBefore);
    // A 56-byte header in a file that ends inside it.
    std::vector<uint8_t> shortHdr = header(4, 4, 32, 3, 56, 0);
    shortHdr.resize(60);
    decodeBytes(shortHdr, &rc, "x.bmp");
    EXPECT_TRUE(failed(rc));
    // Height INT_MIN, zero and absurd widths.
    std::vector<uint8_t> minH = header(4, INT_MIN, 24, 0, 40, 0);
    minH.resize(minH.size() + 32, 0);
    decodeBytes(minH, &rc, "x.bmp");
    EXPECT_EQ(rc, RC_CORRUPT_FILE);
    std::vector<uint8_t> huge = header(0x7FFFFFFF, 0x7FFFFFFF, 32, 0, 40, 0);
    huge.resize(huge.size() + 32, 0);
    decodeBytes(huge, &rc, "x.bmp");
    EXPECT_TRUE(failed(rc));
    // A data offset far past the end, a palette that runs into the end.
    std::vector<uint8_t> lying = header(3, 3, 8, 0, 40, 256);
    uint32_t far = 0xFFFFFF00u;
    std::memcpy(&lying[10], &far, 4);
    lying.resize(lying.size() + 10, 0x33);
    img = decodeBytes(lying, &rc, "x.bmp");
    EXPECT_EQ(rc, RC_CORRUPT_FILE);
    // Shorter than the probe's 44 bytes.
    std::vector<uint8_t> tiny = {'B', 'M', 0, 0};
    decodeBytes(tiny, &rc, "x.bmp");
    EXPECT_EQ(rc, RC_UNKNOWN_FORMAT);
}

TEST(BmpReader, HostileHeadersGiveTheirExactCode)
{
    // A sound 4 x 3 8-bit file, then one field changed at a time.
    auto sound = [] {
        std::vector<uint8_t> v = header(4, 3, 8, 0, 40, 2);
        le32(v, 0x000000);
        le32(v, 0xFFFFFF);
        v.resize(v.size() + 3 * 4, 1);
        return v;
    };
    auto put32 = [](std::vector<uint8_t>& v, size_t at, uint32_t x) { std::memcpy(&v[at], &x, 4); };
    auto put16 = [](std::vector<uint8_t>& v, size_t at, uint16_t x) { std::memcpy(&v[at], &x, 2); };
    struct Case {
        const char* what;
        std::function<void(std::vector<uint8_t>&)> patch;
        ResultCode rc;
    } cases[] = {
        {"sound", [](std::vector<uint8_t>&) {}, RC_OK},
        {"info size 41", [&](auto& v) { put32(v, 14, 41); }, RC_UNSUPPORTED_SUBFORMAT},
        {"info size past the end", [&](auto& v) { put32(v, 14, 124); v.resize(100); }, RC_CORRUPT_FILE},
        {"width 0", [&](auto& v) { put32(v, 18, 0); }, RC_CORRUPT_FILE},
        {"width negative", [&](auto& v) { put32(v, 18, uint32_t(-4)); }, RC_CORRUPT_FILE},
        {"height 0", [&](auto& v) { put32(v, 22, 0); }, RC_CORRUPT_FILE},
        {"height INT_MIN", [&](auto& v) { put32(v, 22, 0x80000000u); }, RC_CORRUPT_FILE},
        {"planes 3", [&](auto& v) { put16(v, 26, 3); }, RC_UNSUPPORTED_SUBFORMAT},
        {"2 bits", [&](auto& v) { put16(v, 28, 2); }, RC_UNSUPPORTED_SUBFORMAT},
        {"compression 6", [&](auto& v) { put32(v, 30, 6); }, RC_UNSUPPORTED_SUBFORMAT},
        {"bit fields at 8 bits", [&](auto& v) { put32(v, 30, 3); }, RC_UNSUPPORTED_SUBFORMAT},
        {"data offset past the end", [&](auto& v) { put32(v, 10, 0xFFFFFF00u); }, RC_CORRUPT_FILE},
        {"width no row can fill", [&](auto& v) { put32(v, 18, 0x7FFFFFFF); }, RC_CORRUPT_FILE},
        {"pixels cut", [](auto& v) { v.resize(v.size() - 1); }, RC_CORRUPT_FILE},
        // Rows the file cannot hold, of a picture no allocation could take:
        // the size is a lie, not a large picture.
        {"rows far past the end",
         [&](auto& v) { put32(v, 18, 12); put32(v, 22, 0x7FFFFFFF); v.resize(v.size() + 8, 0); }, RC_CORRUPT_FILE},
        {"rows far past the end, top-down", [&](auto& v) { put32(v, 22, 0x80000001u); }, RC_CORRUPT_FILE},
    };
    setAllocationCap(uint64_t(64) << 20);
    for (const Case& c : cases) {
        std::vector<uint8_t> v = sound();
        c.patch(v);
        Decoded d = decodeBytesFull(v, "x.bmp");
        EXPECT_EQ(d.rc, c.rc) << c.what;
    }
    // The 128-byte file of 6 x 2147483647 24-bit pixels is damaged. A file
    // that holds every row of a picture larger than memory allows is too
    // large; one row short, it is damaged too.
    std::vector<uint8_t> lie = header(6, 0x7FFFFFFF, 24, 0, 40, 0);
    lie.resize(128, 0x44);
    EXPECT_EQ(decodeBytesFull(lie, "x.bmp").rc, RC_CORRUPT_FILE);
    setAllocationCap(uint64_t(1) << 20);
    std::vector<uint8_t> large = header(600, 600, 24, 0, 40, 0);
    large.resize(large.size() + 600 * 600 * 3, 0x44);
    EXPECT_EQ(decodeBytesFull(large, "x.bmp").rc, RC_OUT_OF_MEMORY);
    large.resize(large.size() - 600 * 3 * 2);
    EXPECT_EQ(decodeBytesFull(large, "x.bmp").rc, RC_CORRUPT_FILE);
    setAllocationCap(0);
    // Bit-field masks that the file does not hold.
    std::vector<uint8_t> masks = header(2, 2, 16, 3, 40, 0);
    masks.resize(60);
    EXPECT_EQ(decodeBytesFull(masks, "x.bmp").rc, RC_CORRUPT_FILE);
}

namespace {

Ref<Image> indexedImage(uint32_t w, uint32_t h, uint32_t colours)
{
    Ref<Image> img = Ref<Image>::adopt(imageCreate(PF_INDEXED8, packSize(w, h)));
    for (uint32_t i = 0; i < 256; ++i) img->palette()[i] = 0xFF000000u | ((i * 37) << 16 & 0xFF0000) | ((i * 91) << 8 & 0xFF00) | (i * 13 & 0xFF);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            // Runs and noise, so both coders have something to do.
            uint32_t v = (x / 5 + y) % colours;
            if ((x * 7 + y * 3) % 11 == 0) v = (x * y) % colours;
            img->row<uint8_t>(y)[x] = uint8_t(v);
        }
    img->indexedView()->paletteChanged();
    return img;
}

Ref<Image> rgbaImage(uint32_t w, uint32_t h, bool alpha)
{
    Ref<Image> img = Ref<Image>::adopt(imageCreate(PF_RGBA8, packSize(w, h)));
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x)
            img->row<Rgba8>(y)[x] = {uint8_t(x * 9), uint8_t(y * 11), uint8_t(x * y), uint8_t(alpha ? (x * 23 + y) : 255)};
    img->alphaKind = alpha ? ALPHA_STRAIGHT : ALPHA_NONE;
    return img;
}

ResultCode writeBmp(Image* img, const fs::path& path, const char16_t* sub, uint32_t mask, uint32_t* bits = nullptr)
{
    registerAllFormats();
    int32_t i = formatFindByExtension(std::u16string_view(u"bmp"), true);
    EXPECT_GE(i, 0);
    const FormatDescriptor* d = formatRegistry().at(i);
    Ref<ImageWriter> w = Ref<ImageWriter>::adopt(d->createWriter(path, d));
    return w->write(img, sub, mask, 0, true, nullptr, bits);
}

} // namespace

TEST(BmpWriter, EverySubFormatAndColourFormatReadsBackInBothTools)
{
    QUILLON_REQUIRE_TOOL("convert");
    QUILLON_REQUIRE_TOOL("bmptopnm");
    TempDir dir;
    struct Case {
        const char* name;
        Ref<Image> img;
        const char16_t* sub;
        uint32_t mask;
        uint32_t bits;
    } cases[] = {
        {"p1", indexedImage(45, 7, 2), u"Normal", 0x1, 1},
        {"p4", indexedImage(33, 9, 16), u"Normal", 0x8, 4},
        {"p8", indexedImage(301, 6, 256), u"Normal", 0x80, 8},
        {"rle4", indexedImage(301, 6, 16), u"RLE compressed", 0x8, 4},
        {"rle8", indexedImage(300, 7, 256), u"RLE compressed", 0x80, 8},
        {"rle4odd", indexedImage(7, 3, 3), u"RLE compressed", 0x8, 4},
        {"c24", rgbaImage(31, 5, false), u"Normal", 0x4000, 24},
        {"c32", rgbaImage(31, 5, true), u"Normal", 0x8000, 32},
        {"auto24", rgbaImage(10, 3, false), nullptr, CF_AUTO, 24},
        {"auto32", rgbaImage(10, 3, true), nullptr, CF_AUTO, 32},
    };
    for (Case& c : cases) {
        fs::path out = dir / (std::string(c.name) + ".bmp");
        Ref<Image> original = Ref<Image>::adopt(imageConvertNew(c.img.get(), false, false, PF_RGBA8));
        uint32_t bits = 0;
        ASSERT_EQ(writeBmp(c.img.get(), out, c.sub, c.mask, &bits), RC_OK) << c.name;
        EXPECT_EQ(bits, c.bits) << c.name;
        for (const char* tool : {"convert", "bmptopnm"}) {
            Pnm p;
            ASSERT_TRUE(oracleDecode(tool, out, p)) << c.name << " " << tool;
            // netpbm drops the fourth byte of BI_RGB files; ImageMagick keeps it.
            expectEqualPixels(original.get(), p, std::string(c.name) + " " + tool, std::string(tool) == "convert");
        }
        // And our own reader agrees.
        ResultCode rc;
        Ref<Image> back = decodeFile(out, &rc);
        ASSERT_EQ(rc, RC_OK) << c.name;
        Pnm p;
        ASSERT_TRUE(oracleDecode("convert", out, p));
        expectEqualPixels(back.get(), p, std::string(c.name) + " ours");
    }
    // 15-bit: the top five bits of each channel.
    Ref<Image> img = rgbaImage(13, 4, false);
    fs::path out = dir / "c15.bmp";
    ASSERT_EQ(writeBmp(img.get(), out, u"Normal", 0x1000), RC_OK);
    Pnm p;
    ASSERT_TRUE(oracleDecode("bmptopnm", out, p));
    for (uint32_t y = 0; y < 4; ++y)
        for (uint32_t x = 0; x < 13; ++x) {
            Rgba8 s = img->row<Rgba8>(y)[x];
            EXPECT_EQ(p.at(x, y, 0) >> 3, s.r >> 3u);
            EXPECT_EQ(p.at(x, y, 1) >> 3, s.g >> 3u);
            EXPECT_EQ(p.at(x, y, 2) >> 3, s.b >> 3u);
        }
}

TEST(BmpWriter, HeaderFieldsDensityAndSubFormatRules)
{
    TempDir dir;
    Ref<Image> img = rgbaImage(3, 2, false);
    img->info()->set(INFO_DENSITY, u"96 ppi");
    ASSERT_EQ(writeBmp(img.get(), dir / "a.bmp", u"Normal", 0x4000), RC_OK);
    auto b = readFile(dir / "a.bmp");
    ASSERT_EQ(b.size(), 54u + 2 * 12);
    EXPECT_EQ(loadU32le(&b[2]), 54u + 24u);
    EXPECT_EQ(loadU32le(&b[10]), 54u);
    EXPECT_EQ(loadU32le(&b[38]), 3780u);
    EXPECT_EQ(loadU32le(&b[42]), 3780u);
    img->info()->set(INFO_DENSITY, u"2835 x 1000 ppm");
    ASSERT_EQ(writeBmp(img.get(), dir / "b.bmp", u"Normal", 0x4000), RC_OK);
    b = readFile(dir / "b.bmp");
    EXPECT_EQ(loadU32le(&b[38]), 2835u);
    EXPECT_EQ(loadU32le(&b[42]), 1000u);
    // "RLE compressed" asked for two colours writes an uncompressed 1-bit
    // file (a descriptor that lets the 1-bit format through to the encoder).
    Ref<Image> two = indexedImage(9, 2, 2);
    const char16_t* const rleOnly[] = {u"RLE compressed", u""};
    const ColourFormatFlags oneBit[] = {0x1};
    FormatDescriptor test{u"bmp", u"test", bmpProbe, bmpReaderCreate, bmpWriterCreate, rleOnly, oneBit};
    {
        Ref<ImageWriter> w = Ref<ImageWriter>::adopt(bmpWriterCreate(dir / "d.bmp", &test));
        ASSERT_EQ(w->write(two.get(), u"RLE compressed", CF_AUTO, 0, true, nullptr, nullptr), RC_OK);
    }
    b = readFile(dir / "d.bmp");
    EXPECT_EQ(loadU16le(&b[28]), 1u);
    EXPECT_EQ(loadU32le(&b[30]), 0u);
    ResultCode rc;
    Ref<Image> back = decodeFile(dir / "d.bmp", &rc);
    ASSERT_EQ(rc, RC_OK);
    for (uint32_t x = 0; x < 9; ++x) EXPECT_EQ(back->row<uint8_t>(1)[x], two->row<uint8_t>(1)[x]);
    // The real descriptor's run-length sub-format has no 1-bit format.
    EXPECT_EQ(writeBmp(two.get(), dir / "c.bmp", u"RLE compressed", 0x1), RC_UNSUPPORTED_COLOUR_FORMAT);
    EXPECT_EQ(writeBmp(two.get(), dir / "e.bmp", u"rle compressed", CF_AUTO), RC_UNSUPPORTED_SUBFORMAT);
    // 32 bits keep straight alpha as it is, which is how readers take it.
    Ref<Image> a = rgbaImage(2, 1, true);
    a->row<Rgba8>(0)[1] = {200, 100, 50, 128};
    ASSERT_EQ(writeBmp(a.get(), dir / "f.bmp", u"Normal", 0x8000), RC_OK);
    b = readFile(dir / "f.bmp");
    EXPECT_EQ(b[54 + 4], 200);
    EXPECT_EQ(b[54 + 7], 128);
    // A folder that cannot hold the file.
    EXPECT_EQ(writeBmp(a.get(), dir / "no" / "x.bmp", u"Normal", 0x8000), RC_CREATE_FAILED);
    // A full disk.
    if (access("/dev/full", W_OK) == 0) {
        Ref<Image> big = rgbaImage(300, 300, false);
        EXPECT_EQ(writeBmp(big.get(), "/dev/full", u"Normal", 0x4000), RC_WRITE_FAILED);
    }
}

TEST(BmpWriter, RowsLongerThanTheOutputBufferComeOutWhole)
{
    // Run-length rows of 70,000 pixels of noise pass the output's buffer in
    // one write each, between small writes of codes and the header patch.
    // Pillow reads them (ImageMagick's policy refuses such widths).
    QUILLON_REQUIRE_TOOL(kSystemPython);
    TempDir dir;
    Ref<Image> img = indexedImage(70000, 3, 256);
    uint32_t seed = 1;
    for (uint32_t y = 0; y < 3; ++y)
        for (uint32_t x = 0; x < 70000; ++x) {
            seed = seed * 1103515245u + 12345u;
            img->row<uint8_t>(y)[x] = uint8_t(seed >> 24);
        }
    for (const char16_t* sub : {u"RLE compressed", u"Normal"}) {
        fs::path out = dir / (sub[0] == u'R' ? "rle.bmp" : "plain.bmp");
        ASSERT_EQ(writeBmp(img.get(), out, sub, CF_256_COLOURS), RC_OK);
        auto b = readFile(out);
        EXPECT_EQ(loadU32le(&b[2]), b.size());
        if (sub[0] == u'R') {
            EXPECT_GT(b.size(), 3u * 65536 + 1078);  // every row one write past the buffer
        }
        Pnm p;
        ASSERT_TRUE(oracleDecode(pillowDecoder(), out, p));
        expectEqualPixels(img.get(), p, out.filename().string(), false);
    }
}

TEST(BmpWriter, RunLengthRowsDecodeToTheirInput)
{
    // Every minimum run on rows built to hit the segment limits: long runs,
    // long literals, alternating pairs and lengths around 255.
    std::vector<std::vector<uint8_t>> rows;
    for (uint32_t n : {1u, 2u, 3u, 254u, 255u, 256u, 300u, 511u, 700u}) {
        std::vector<uint8_t> flat(n, 5), lit(n), pairs(n), mixed(n);
        for (uint32_t i = 0; i < n; ++i) {
            lit[i] = uint8_t(i * 7 % 16);
            pairs[i] = (i & 1) ? 3 : 9;
            mixed[i] = (i / 9) % 3 == 0 ? uint8_t(i % 16) : uint8_t((i / 40) % 16);
        }
        rows.insert(rows.end(), {flat, lit, pairs, mixed});
    }
    for (int four = 0; four < 2; ++four)
        for (uint32_t minRun = four ? 4 : 2; minRun <= (four ? 16u : 6u); ++minRun)
            for (const auto& row : rows) {
                std::vector<uint8_t> out(row.size() * 2 + 8);
                uint32_t n = four ? bmpEncodeRle4Row(out.data(), row.data(), uint32_t(row.size()), minRun)
                                  : bmpEncodeRle8Row(out.data(), row.data(), uint32_t(row.size()), minRun);
                ASSERT_LE(n, out.size());
                // Decode it with the rules of the format.
                std::vector<uint8_t> dec;
                size_t p = 0;
                bool eol = false;
                while (p + 1 < n) {
                    uint8_t a = out[p], b = out[p + 1];
                    p += 2;
                    if (a) {
                        for (uint32_t i = 0; i < a; ++i) dec.push_back(four ? ((i & 1) ? b & 15 : b >> 4) : b);
                    } else if (b == 0) {
                        eol = true;
                        break;
                    } else {
                        ASSERT_GE(b, 3);
                        uint32_t bytes = four ? (b + 1u) / 2 : b;
                        for (uint32_t i = 0; i < b; ++i) dec.push_back(four ? ((i & 1) ? out[p + i / 2] & 15 : out[p + i / 2] >> 4) : out[p + i]);
                        p += bytes + (bytes & 1);
                    }
                }
                EXPECT_TRUE(eol);
                EXPECT_EQ(p, n);
                EXPECT_EQ(dec, row) << "four " << four << " minRun " << minRun << " size " << row.size();
            }
}

TEST(BmpWriter, TrueColourToRunLengthConvertsEndToEnd)
{
    QUILLON_REQUIRE_TOOL("convert");
    TempDir dir;
    // A true-colour file in, through the registry, the decode driver, the
    // palette reduction of the write driver and the run-length coder.
    ASSERT_EQ(run("convert -size 64x48 gradient:yellow-navy -depth 8 -compress None BMP3:" +
                  shellQuote((dir / "in.bmp").string())),
              0);
    ResultCode rc;
    Ref<Image> img = decodeFile(dir / "in.bmp", &rc);
    ASSERT_EQ(rc, RC_OK);
    uint32_t bits = 0;
    ASSERT_EQ(writeBmp(img.get(), dir / "out.bmp", u"RLE compressed", CF_AUTO, &bits), RC_OK);
    EXPECT_EQ(bits, 8u);
    auto b = readFile(dir / "out.bmp");
    EXPECT_EQ(loadU32le(&b[30]), 1u); // RLE8
    EXPECT_EQ(loadU32le(&b[2]), b.size());
    Ref<Image> back = decodeFile(dir / "out.bmp", &rc);
    ASSERT_EQ(rc, RC_OK);
    Pnm p;
    ASSERT_TRUE(oracleDecode("convert", dir / "out.bmp", p));
    expectEqualPixels(back.get(), p, "rle8 out");
    // Close to the true-colour source.
    Ref<Image> a = asRgba8(img.get()), c = asRgba8(back.get());
    double err = 0;
    for (uint32_t y = 0; y < 48; ++y)
        for (uint32_t x = 0; x < 64; ++x) {
            Rgba8 s = a->row<Rgba8>(y)[x], t = c->row<Rgba8>(y)[x];
            err += std::abs(s.r - t.r) + std::abs(s.g - t.g) + std::abs(s.b - t.b);
        }
    EXPECT_LT(err / (64 * 48 * 3), 4.0);
    // The caller's image is still true colour.
    EXPECT_EQ(img->pixelFormat, PF_RGBA8);
}
