// TGA reading against files made by ImageMagick and netpbm, hand-built
// variants no tool writes, hostile and truncated files, and every writer
// format read back by both tools.
#include "codecs/more/tga.h"

#include <unistd.h>

#include "codecs/raster_oracle.h"
#include "core/byte_cursor.h"
#include "platform/memory.h"

using namespace quillon;
using namespace quillon::test;
namespace fs = std::filesystem;

namespace {

std::vector<uint8_t> tgaHeader(uint32_t type, uint32_t w, uint32_t h, uint32_t depth, uint32_t descriptor,
                               uint32_t mapType = 0, uint32_t first = 0, uint32_t mapLength = 0,
                               uint32_t mapBits = 0)
{
    std::vector<uint8_t> v = {0, uint8_t(mapType), uint8_t(type)};
    le16(v, first);
    le16(v, mapLength);
    v.push_back(uint8_t(mapBits));
    le32(v, 0);
    le16(v, w);
    le16(v, h);
    v.push_back(uint8_t(depth));
    v.push_back(uint8_t(descriptor));
    return v;
}

// An extension area with the given attributes type and the footer after it.
void appendFooter(std::vector<uint8_t>& v, uint8_t attributes)
{
    uint32_t at = uint32_t(v.size());
    std::vector<uint8_t> ext(495, 0);
    ext[0] = 495 & 255, ext[1] = 495 >> 8;
    ext[494] = attributes;
    v.insert(v.end(), ext.begin(), ext.end());
    le32(v, at);
    le32(v, 0);
    const char sig[] = "TRUEVISION-XFILE.";
    v.insert(v.end(), sig, sig + 18);
}

// ImageMagick leaves a bottom-up file's rows as stored and only records
// their orientation; turned upright it decodes as other readers do.
const char* const kMagick = "convert IN -auto-orient -depth 8 -type TrueColorAlpha pam:-";

Rgba8 pixel(const Decoded& d, uint32_t x, uint32_t y) { return asRgba8(d.image.get())->row<Rgba8>(y)[x]; }

} // namespace

TEST(TgaReader, FilesFromImageMagickAndNetpbmDecodeAsTheToolsDo)
{
    QUILLON_REQUIRE_TOOL("convert");
    QUILLON_REQUIRE_TOOL("pamtotga");
    QUILLON_REQUIRE_TOOL("tgatoppm");
    TempDir dir;
    fs::path src = dir / "src.ppm";
    ASSERT_TRUE(makeSwirlPicture(src));
    const std::string s = shellQuote(src.string());
    struct Case {
        const char* name;
        std::string command;  // writes the file named by $OUT
        bool alpha = false;
    } cases[] = {
        {"im_raw", "convert " + s + " tga:$OUT"},
        {"im_rle", "convert " + s + " -compress RLE tga:$OUT"},
        {"im_topdown", "convert " + s + " -orient TopLeft tga:$OUT"},
        {"im_topdown_rle", "convert " + s + " -orient TopLeft -compress RLE tga:$OUT"},
        {"im_map", "convert " + s + " -colors 50 -type palette tga:$OUT"},
        {"im_map_rle", "convert " + s + " -colors 50 -type palette -compress RLE tga:$OUT"},
        {"im_grey", "convert " + s + " -colorspace gray tga:$OUT"},
        {"im_alpha", "convert " + s + " -alpha set -channel A -fx 'i/w' tga:$OUT", true},
        {"im_alpha_rle", "convert " + s + " -alpha set -channel A -fx 'j/h' -compress RLE tga:$OUT", true},
        {"pam_rle", "pamtotga -rgb " + s + " > $OUT"},
        {"pam_raw", "pamtotga -rgb -norle " + s + " > $OUT"},
        {"pam_map", "pnmquant 40 " + s + " 2>/dev/null | pamtotga -cmap > $OUT"},
        {"pam_map_raw", "pnmquant 40 " + s + " 2>/dev/null | pamtotga -cmap -norle > $OUT"},
        {"pam_map16", "pnmquant 40 " + s + " 2>/dev/null | pamtotga -cmap16 > $OUT"},
        {"pam_grey", "ppmtopgm " + s + " | pamtotga > $OUT"},
        {"pam_mono", "ppmtopgm " + s + " | pgmtopbm 2>/dev/null | pamtotga -mono -norle > $OUT"},
    };
    for (const Case& c : cases) {
        fs::path file = dir / (std::string(c.name) + ".tga");
        ASSERT_TRUE(makeWithCommand(c.command, file)) << c.name;
        Decoded d = decodeFileFull(file);
        ASSERT_EQ(d.rc, RC_OK) << c.name;
        Pnm p;
        // 15-bit map entries widen by a shift here, by scaling in the tools.
        int low = std::string(c.name) == "pam_map16" ? 3 : 0;
        ASSERT_TRUE(oracleDecode("tgatoppm", file, p)) << c.name;
        expectEqualPixels(d.image.get(), p, std::string(c.name) + " vs tgatoppm", false, low);
        ASSERT_TRUE(oracleDecode(kMagick, file, p)) << c.name;
        expectEqualPixels(d.image.get(), p, std::string(c.name) + " vs ImageMagick", c.alpha, low);
        EXPECT_EQ(d.image->alphaKind, c.alpha ? ALPHA_STRAIGHT : ALPHA_NONE) << c.name;
    }
}

TEST(TgaReader, HandBuiltVariants)
{
    // A colour map starting at index 3 with 15-bit entries: entry 0x7FFF is
    // shifted to 248, while a 15-bit pixel 0x7FFF scales to 255.
    std::vector<uint8_t> f = tgaHeader(1, 2, 1, 8, 0x20, 1, 3, 2, 15);
    le16(f, 0x7FFF);
    le16(f, 0x001F);
    f.insert(f.end(), {3, 4});
    Decoded d = decodeBytesFull(f, "map.tga");
    ASSERT_EQ(d.rc, RC_OK);
    EXPECT_EQ(d.image->palette()[3], 0xFFF8F8F8u);
    EXPECT_EQ(d.image->palette()[4], 0xFF0000F8u);
    f = tgaHeader(2, 1, 1, 15, 0x20);
    le16(f, 0x7FFF);
    d = decodeBytesFull(f, "p15.tga");
    ASSERT_EQ(d.rc, RC_OK);
    EXPECT_EQ(pixel(d, 0, 0).r, 255);
    EXPECT_EQ(pixel(d, 0, 0).a, 255);

    // 16-bit RLE with one alpha bit and straight alpha in the extension
    // area: bit 15 is the alpha. A repeat packet of 2, a literal of 1, bottom
    // row first.
    f = tgaHeader(10, 3, 1, 16, 0x01);
    f.push_back(0x81);
    le16(f, 0x801F);
    f.push_back(0x00);
    le16(f, 0x03E0);
    appendFooter(f, 3);
    d = decodeBytesFull(f, "a16.tga");
    ASSERT_EQ(d.rc, RC_OK);
    EXPECT_EQ(d.image->alphaKind, ALPHA_STRAIGHT);
    EXPECT_EQ(pixel(d, 1, 0).b, 255);
    EXPECT_EQ(pixel(d, 1, 0).a, 255);
    EXPECT_EQ(pixel(d, 2, 0).g, 255);
    EXPECT_EQ(pixel(d, 2, 0).a, 0);
    // Without the extension area the same pixels are opaque.
    f.resize(f.size() - 495 - 26);
    d = decodeBytesFull(f, "a16.tga");
    ASSERT_EQ(d.rc, RC_OK);
    EXPECT_EQ(d.image->alphaKind, ALPHA_NONE);
    EXPECT_EQ(pixel(d, 2, 0).a, 255);

    // 32 bits: attributes type 4 is premultiplied; type 0 drops the alpha.
    for (uint8_t attr : {4, 0}) {
        f = tgaHeader(2, 1, 2, 32, 0x08);
        f.insert(f.end(), {10, 20, 30, 40, 50, 60, 70, 80});
        appendFooter(f, attr);
        d = decodeBytesFull(f, "a32.tga");
        ASSERT_EQ(d.rc, RC_OK);
        EXPECT_EQ(d.image->alphaKind, attr == 4 ? ALPHA_PREMULTIPLIED : ALPHA_NONE);
        // Bottom-up: the first pixel stored is the lower row.
        EXPECT_EQ(d.image->row<Rgba8>(1)[0].b, 10);
        EXPECT_EQ(d.image->row<Rgba8>(0)[0].a, attr == 4 ? 80 : 255);
    }

    // A true-colour image that carries a colour map skips it.
    f = tgaHeader(2, 1, 1, 24, 0x20, 1, 0, 2, 24);
    f.insert(f.end(), {1, 1, 1, 2, 2, 2, 0x11, 0x22, 0x33});
    d = decodeBytesFull(f, "skip.tga");
    ASSERT_EQ(d.rc, RC_OK);
    EXPECT_EQ(pixel(d, 0, 0).b, 0x11);
    EXPECT_EQ(pixel(d, 0, 0).r, 0x33);
}

TEST(TgaReader, ProbeNeedsTheExtension)
{
    std::vector<uint8_t> f = tgaHeader(3, 2, 1, 8, 0x20);
    f.insert(f.end(), {9, 200});
    for (const char* name : {"x.tga", "X.TGA", "photo.targa", "p.TarGa"})
        EXPECT_EQ(decodeBytesFull(f, name).rc, RC_OK) << name;
    for (const char* name : {"x.bin", "x.tga.bak", "tga", ".tga"})
        EXPECT_EQ(decodeBytesFull(f, name).rc, RC_UNKNOWN_FORMAT) << name;
}

// Rows stored right to left make a TGA file all the same (ImageMagick
// writes and reads them), one we do not read.
TEST(TgaReader, RightToLeftRowsAreAVariantWeDoNotRead)
{
    QUILLON_REQUIRE_TOOL("convert");
    TempDir dir;
    for (const char* orient : {"TopRight", "BottomRight"}) {
        const fs::path f = dir / (std::string(orient) + ".tga");
        ASSERT_EQ(run(std::string("convert -size 5x3 gradient:red-blue -orient ") + orient + " " +
                      shellQuote(f.string())),
                  0);
        std::vector<uint8_t> bytes = readFile(f);
        ASSERT_GT(bytes.size(), 18u);
        ASSERT_TRUE(bytes[17] & 0x10) << orient;
        Pnm p;
        EXPECT_TRUE(oracleDecode("convert", f, p)) << orient;
        EXPECT_EQ(decodeBytesFull(bytes, "r.tga").rc, RC_UNSUPPORTED_SUBFORMAT) << orient;
    }
}

TEST(TgaReader, HostileAndTruncatedFiles)
{
    auto withData = [](std::vector<uint8_t> v, size_t n) {
        v.resize(v.size() + n, 7);
        return v;
    };
    std::vector<uint8_t> idPastEnd = withData(tgaHeader(3, 2, 2, 8, 0), 4);
    idPastEnd[0] = 200;
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        ResultCode rc;
    } cases[] = {
        {"right to left", withData(tgaHeader(2, 2, 2, 24, 0x10), 12), RC_UNSUPPORTED_SUBFORMAT},
        {"depth 12", withData(tgaHeader(2, 2, 2, 12, 0), 12), RC_UNKNOWN_FORMAT},
        {"no image data", withData(tgaHeader(0, 2, 2, 8, 0), 4), RC_UNSUPPORTED_SUBFORMAT},
        {"Huffman coded", withData(tgaHeader(33, 2, 2, 8, 0, 1, 0, 2, 24), 10), RC_UNSUPPORTED_SUBFORMAT},
        {"interleaved", withData(tgaHeader(3, 2, 2, 8, 0x40), 4), RC_UNSUPPORTED_SUBFORMAT},
        {"map type 2", withData(tgaHeader(3, 2, 2, 8, 0, 2), 4), RC_UNSUPPORTED_SUBFORMAT},
        {"mapped, no map", withData(tgaHeader(1, 2, 2, 8, 0, 1, 0, 0, 24), 4), RC_UNSUPPORTED_SUBFORMAT},
        {"mapped, 8-bit entries", withData(tgaHeader(1, 2, 2, 8, 0, 1, 0, 2, 8), 6), RC_UNSUPPORTED_SUBFORMAT},
        {"mapped, 16-bit pixels", withData(tgaHeader(1, 2, 2, 16, 0, 1, 0, 2, 24), 14), RC_CORRUPT_FILE},
        {"true colour, 8 bits", withData(tgaHeader(2, 2, 2, 8, 0), 4), RC_CORRUPT_FILE},
        {"grey, 16 bits", withData(tgaHeader(3, 2, 2, 16, 0), 8), RC_UNSUPPORTED_SUBFORMAT},
        {"zero width", withData(tgaHeader(3, 0, 2, 8, 0), 4), RC_CORRUPT_FILE},
        {"image ID past the end", idPastEnd, RC_CORRUPT_FILE},
        {"map past the end", withData(tgaHeader(1, 2, 2, 8, 0, 1, 0, 256, 32), 100), RC_CORRUPT_FILE},
        {"far too much data", withData(tgaHeader(3, 2, 2, 8, 0), 2000), RC_UNSUPPORTED_SUBFORMAT},
        // Rows the file cannot hold, of a picture no allocation could take:
        // the size is a lie, not a large picture.
        {"huge raw image, data for a row", withData(tgaHeader(2, 65535, 65535, 32, 0), 65535 * 4), RC_CORRUPT_FILE},
        // Raw data that cannot fill even one row: refused before any image.
        {"huge raw image, little data", withData(tgaHeader(2, 65535, 65535, 32, 0), 64), RC_CORRUPT_FILE},
        {"RLE runs past the image", withData(tgaHeader(11, 2, 2, 8, 0), 6), RC_OK},
        // Packets that could not fill the image even as runs of 128 pixels:
        // damaged, refused before any image is made.
        {"huge RLE image, few packets", withData(tgaHeader(10, 65535, 65535, 32, 0), 64), RC_CORRUPT_FILE},
    };
    setAllocationCap(uint64_t(256) << 20);
    for (const Case& c : cases) EXPECT_EQ(decodeBytesFull(c.bytes, "h.tga").rc, c.rc) << c.what;
    // Every row of a picture larger than memory allows: too large; a row
    // short, damaged.
    setAllocationCap(uint64_t(1) << 20);
    std::vector<uint8_t> large = withData(tgaHeader(2, 600, 600, 24, 0), size_t(600) * 600 * 3);
    EXPECT_EQ(decodeBytesFull(large, "l.tga").rc, RC_OUT_OF_MEMORY);
    large.resize(large.size() - 600 * 3);
    EXPECT_EQ(decodeBytesFull(large, "l.tga").rc, RC_CORRUPT_FILE);
    setAllocationCap(0);
    std::vector<uint8_t> runs = tgaHeader(11, 2000, 2000, 8, 0x20);
    Decoded few = decodeBytesFull(withData(runs, 64), "few.tga");
    EXPECT_EQ(few.rc, RC_CORRUPT_FILE);
    EXPECT_EQ(few.image.get(), nullptr);
    // Runs of 128 pixels to the last one: a whole file.
    for (uint32_t i = 0; i < 2000 * 2000 / 128; ++i) runs.insert(runs.end(), {0xFF, 9});
    Decoded whole = decodeBytesFull(runs, "whole.tga");
    EXPECT_EQ(whole.rc, RC_OK);
    ASSERT_TRUE(whole.image);
    EXPECT_EQ(whole.image->row<uint8_t>(1999)[1999], 9);

    // An extension offset that points past the end, or a footer overlapping
    // the area, is ignored.
    std::vector<uint8_t> f = tgaHeader(2, 1, 1, 32, 0x28);
    f.insert(f.end(), {1, 2, 3, 4});
    appendFooter(f, 4);
    for (int i = 0; i < 4; ++i) f[f.size() - 26 + i] = 0xFF;
    Decoded d = decodeBytesFull(f, "e.tga");
    ASSERT_EQ(d.rc, RC_OK);
    EXPECT_EQ(d.image->alphaKind, ALPHA_STRAIGHT);

    // Cuts in the header claim nothing; cuts in the data keep the rows
    // before. Top-down RLE, 3 rows of 4 grey pixels, a packet spanning rows.
    f = tgaHeader(11, 4, 3, 8, 0x20);
    f.insert(f.end(), {0x85, 7, 0x01, 8, 9, 0x83, 11});
    ASSERT_EQ(decodeBytesFull(f, "t.tga").rc, RC_OK);
    expectCutsFail(f, 0, 19, RC_UNKNOWN_FORMAT, "t.tga");
    d = decodeBytesFull(std::vector<uint8_t>(f.begin(), f.begin() + 22), "t.tga");
    EXPECT_EQ(d.rc, RC_CORRUPT_FILE);
    ASSERT_TRUE(d.image);
    EXPECT_EQ(d.image->row<uint8_t>(1)[1], 7);
    EXPECT_EQ(d.image->row<uint8_t>(1)[2], 8);
    EXPECT_EQ(d.image->row<uint8_t>(1)[3], 0);
    EXPECT_EQ(d.image->row<uint8_t>(2)[0], 0);
    // Raw bottom-up: the bottom row arrives first and is kept.
    f = tgaHeader(2, 2, 2, 24, 0);
    f.insert(f.end(), {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
    d = decodeBytesFull(std::vector<uint8_t>(f.begin(), f.end() - 4), "r.tga");
    EXPECT_EQ(d.rc, RC_CORRUPT_FILE);
    ASSERT_TRUE(d.image);
    EXPECT_EQ(d.image->row<Rgba8>(1)[1].b, 4);
    EXPECT_EQ(d.image->row<Rgba8>(0)[0].b, 7);
    EXPECT_EQ(d.image->row<Rgba8>(0)[1].b, 0);
}

TEST(TgaReader, RunDecoderStaysInsideItsBuffers)
{
    // A repeat packet of 128 three-byte pixels where two are wanted, then a
    // literal cut short by the data.
    const uint8_t in[] = {0xFF, 1, 2, 3, 0x03, 4, 5, 6, 7};
    uint8_t out[3 * 4 + 1];
    std::memset(out, 0xEE, sizeof out);
    TgaRunDecoder dec(in, sizeof in, 3);
    EXPECT_EQ(dec.unpack(out, 2), 2u);
    EXPECT_EQ(out[5], 3);
    EXPECT_EQ(out[6], 0xEE);
    EXPECT_EQ(dec.unpack(out, 4), 4u);  // the rest of the repeat
    TgaRunDecoder cut(in + 4, 5, 3);
    EXPECT_EQ(cut.unpack(out, 4), 1u);
    EXPECT_EQ(out[0], 4);
}

TEST(TgaWriter, EveryColourFormatReadsBackInBothTools)
{
    QUILLON_REQUIRE_TOOL("convert");
    QUILLON_REQUIRE_TOOL("tgatoppm");
    TempDir dir;
    struct Case {
        const char* name;
        Ref<Image> img;
        uint32_t mask;
        uint32_t bits;
        int lowBits = 0;
        bool alpha = false;
    } cases[] = {
        {"c256", indexedRamp(35, 9, 200), CF_256_COLOURS, 8},
        {"grey", greyRamp(21, 6), CF_GRAY8, 8},
        {"rgb15", rampImage(31, 5, false), CF_RGB15, 15, 3},
        {"rgba16", rampImage(31, 5, true), CF_RGBA16, 16, 3},
        {"rgb24", rampImage(31, 5, false), CF_RGB24, 24},
        {"rgba32", rampImage(30, 7, true), CF_RGBA32, 32, 0, true},
    };
    for (Case& c : cases) {
        fs::path out = dir / (std::string(c.name) + ".tga");
        uint32_t bits = 0;
        ASSERT_EQ(writeAs(u"tga", c.img.get(), out, u"Normal", c.mask, &bits), RC_OK) << c.name;
        EXPECT_EQ(bits, c.bits) << c.name;
        Pnm p;
        ASSERT_TRUE(oracleDecode("tgatoppm", out, p)) << c.name;
        expectEqualPixels(c.img.get(), p, std::string(c.name) + " tgatoppm", false, c.lowBits);
        ASSERT_TRUE(oracleDecode(kMagick, out, p)) << c.name;
        expectEqualPixels(c.img.get(), p, std::string(c.name) + " ImageMagick", c.alpha, c.lowBits);
        Decoded d = decodeFileFull(out);
        ASSERT_EQ(d.rc, RC_OK) << c.name;
        expectEqualPixels(d.image.get(), p, std::string(c.name) + " ours", c.alpha);
    }
}

TEST(TgaWriter, AlphaFormatsEndWithTheExtensionAreaAndFooter)
{
    TempDir dir;
    Ref<Image> img = rampImage(5, 3, true);
    ASSERT_EQ(writeAs(u"tga", img.get(), dir / "a.tga", u"Normal", CF_RGBA32), RC_OK);
    std::vector<uint8_t> a = readFile(dir / "a.tga");
    ASSERT_EQ(a.size(), 18u + 5 * 3 * 4 + 495 + 26);
    EXPECT_EQ(a[16], 32);
    EXPECT_EQ(a[17], 8);  // eight alpha bits, bottom row first
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&a[a.size() - 18])), "TRUEVISION-XFILE.");
    uint32_t ext = loadU32le(&a[a.size() - 26]);
    ASSERT_EQ(ext, 18u + 60);
    EXPECT_EQ(loadU16le(&a[ext]), 495u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&a[ext + 426])), "Vexa++ v2.3");
    EXPECT_EQ(loadU16le(&a[ext + 478]), 1u);
    EXPECT_EQ(loadU16le(&a[ext + 480]), 1u);
    EXPECT_EQ(a[ext + 494], 3);
    // The first pixel stored is the bottom row's.
    Rgba8 bottom = img->row<Rgba8>(2)[0];
    EXPECT_EQ(a[18], bottom.b);
    EXPECT_EQ(a[21], bottom.a);

    // Premultiplied pixels are stored as they are and say so.
    img->alphaKind = ALPHA_PREMULTIPLIED;
    ASSERT_EQ(writeAs(u"tga", img.get(), dir / "p.tga", u"Normal", CF_RGBA32), RC_OK);
    std::vector<uint8_t> p = readFile(dir / "p.tga");
    EXPECT_EQ(p[loadU32le(&p[p.size() - 26]) + 494], 4);
    // 24 bits carry no footer; an opaque image's 16-bit pixels set bit 15.
    Ref<Image> opaque = rampImage(4, 2, false);
    ASSERT_EQ(writeAs(u"tga", opaque.get(), dir / "o.tga", u"Normal", CF_RGB24), RC_OK);
    EXPECT_EQ(readFile(dir / "o.tga").size(), 18u + 4 * 2 * 3);
    ASSERT_EQ(writeAs(u"tga", opaque.get(), dir / "o16.tga", u"Normal", CF_RGBA16), RC_OK);
    std::vector<uint8_t> o = readFile(dir / "o16.tga");
    EXPECT_EQ(o[17], 1);
    EXPECT_TRUE(loadU16le(&o[18]) & 0x8000);
    EXPECT_EQ(o[loadU32le(&o[o.size() - 26]) + 494], 1);

    EXPECT_EQ(writeAs(u"tga", opaque.get(), dir / "no" / "x.tga", u"Normal", CF_RGB24), RC_CREATE_FAILED);
    if (access("/dev/full", W_OK) == 0) {
        Ref<Image> big = rampImage(300, 300, true);
        EXPECT_EQ(writeAs(u"tga", big.get(), "/dev/full", u"Normal", CF_RGBA32), RC_WRITE_FAILED);
    }
}
