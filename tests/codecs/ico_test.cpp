// Icon and cursor reading against files made by icotool, netpbm and
// ImageMagick (bitmap and PNG entries, AND-mask transparency), the choice of
// entry in both directory orders, hand-built masks and hostile files.
#include "codecs/more/ico.h"

#include "codecs/raster_oracle.h"
#include "core/byte_cursor.h"
#include "platform/memory.h"

using namespace quillon;
using namespace quillon::test;
namespace fs = std::filesystem;

namespace {

// Pixels equal to the oracle's; where the oracle is fully transparent only
// the transparency counts.
void expectSameIcon(Image* image, const Pnm& p, const std::string& what)
{
    Ref<Image> rgba = asRgba8(image);
    ASSERT_TRUE(rgba) << what;
    ASSERT_EQ(rgba->width, p.width) << what;
    ASSERT_EQ(rgba->height, p.height) << what;
    ASSERT_EQ(p.channels, 4u) << what;
    int bad = 0;
    for (uint32_t y = 0; y < p.height; ++y)
        for (uint32_t x = 0; x < p.width; ++x) {
            Rgba8 q = rgba->row<Rgba8>(y)[x];
            uint32_t a = p.at(x, y, 3);
            bool same = a == 0 ? q.a == 0
                               : q.r == p.at(x, y, 0) && q.g == p.at(x, y, 1) && q.b == p.at(x, y, 2) && q.a == a;
            if (!same && bad++ < 3)
                ADD_FAILURE() << what << " at " << x << "," << y << ": ours " << int(q.r) << " " << int(q.g) << " "
                              << int(q.b) << " " << int(q.a) << " oracle " << p.at(x, y, 0) << " "
                              << p.at(x, y, 1) << " " << p.at(x, y, 2) << " " << a;
        }
    EXPECT_EQ(bad, 0) << what;
}

// Entry `index` (from 1) of an icon as icotool extracts it.
bool icotoolDecode(const fs::path& file, int index, Pnm& out)
{
    fs::path png = file;
    png += "." + std::to_string(index) + ".png";
    if (run("icotool -x -i " + std::to_string(index) + " -o " + shellQuote(png.string()) + " " +
            shellQuote(file.string()) + " 2>/dev/null") != 0)
        return false;
    return oracleDecode("pngtopam -alphapam IN", png, out);
}


std::vector<uint8_t> iconFile(const std::vector<std::vector<uint8_t>>& images, uint32_t type = 1)
{
    std::vector<uint8_t> v;
    le16(v, 0);
    le16(v, type);
    le16(v, uint32_t(images.size()));
    uint32_t at = 6 + 16 * uint32_t(images.size());
    for (const auto& im : images) {
        v.insert(v.end(), {0, 0, 0, 0});
        le16(v, 1);
        le16(v, 0);
        le32(v, uint32_t(im.size()));
        le32(v, at);
        at += uint32_t(im.size());
    }
    for (const auto& im : images) v.insert(v.end(), im.begin(), im.end());
    return v;
}

// A bitmap of w x h with `bits` bits, palette entry i = (i, 255 - i, 7),
// pixel indices from `index(x, y)` (or for 24 bits the colour (x, y, 9)),
// and the AND mask from `masked(x, y)`.
template <class Index, class Masked>
std::vector<uint8_t> bitmap(uint32_t w, uint32_t h, uint32_t bits, Index index, Masked masked)
{
    std::vector<uint8_t> v;
    le32(v, 40);
    le32(v, w);
    le32(v, 2 * h);
    le16(v, 1);
    le16(v, bits);
    v.resize(40, 0);
    if (bits <= 8)
        for (uint32_t i = 0; i < (1u << bits); ++i) v.insert(v.end(), {7, uint8_t(255 - i), uint8_t(i), 0});
    uint32_t row = (w * bits + 31) / 32 * 4, maskRow = (w + 31) / 32 * 4;
    for (uint32_t r = 0; r < h; ++r) {
        uint32_t y = h - 1 - r;
        std::vector<uint8_t> line(row, 0);
        for (uint32_t x = 0; x < w; ++x) {
            if (bits == 24) {
                line[3 * x] = 9, line[3 * x + 1] = uint8_t(y), line[3 * x + 2] = uint8_t(x);
            } else {
                uint32_t bit = x * bits;
                line[bit / 8] |= uint8_t(index(x, y) << (8 - bits - bit % 8));
            }
        }
        v.insert(v.end(), line.begin(), line.end());
    }
    for (uint32_t r = 0; r < h; ++r) {
        uint32_t y = h - 1 - r;
        std::vector<uint8_t> line(maskRow, 0);
        for (uint32_t x = 0; x < w; ++x)
            if (masked(x, y)) line[x / 8] |= uint8_t(0x80 >> (x % 8));
        v.insert(v.end(), line.begin(), line.end());
    }
    return v;
}

} // namespace

TEST(IcoReader, FilesFromIcotoolNetpbmAndImageMagickDecodeAsTheToolsDo)
{
    QUILLON_REQUIRE_TOOL("icotool");
    QUILLON_REQUIRE_TOOL("pamtowinicon");
    QUILLON_REQUIRE_TOOL("convert");
    TempDir dir;
    const std::string d = shellQuote(dir.path().string()) + "/";
    // 32 x 32 with a round opaque area, as full alpha and as an on/off mask,
    // and palettes of 2, 12 and 200 colours.
    ASSERT_EQ(run("cd " + d + " && convert -size 32x32 gradient:red-blue -swirl 90 -fill '#20c040' "
                  "-draw 'circle 10,5 14,7' \\( -size 32x32 xc:black -fill white -draw 'circle 16,16 16,3' "
                  "-blur 0x2 \\) -alpha off -compose copy_opacity -composite -depth 8 soft.png && "
                  "convert soft.png -channel A -threshold 50% +channel hard.png && "
                  "convert hard.png -colors 2 PNG8:p2.png && convert hard.png -colors 12 PNG8:p12.png && "
                  "convert hard.png -colors 200 PNG8:p200.png && convert -size 32x32 xc: -sparse-color bilinear "
                  "'0,0 red 31,0 lime 0,31 blue 31,31 white' hard.png -compose copy_opacity -composite PNG32:rich.png"),
              0);
    struct Case {
        const char* name;
        std::string command;  // run in the folder, writes the file named by $OUT
        uint32_t bits;
    } cases[] = {
        {"icotool1.ico", "icotool -c -o $OUT p2.png", 1},
        {"icotool4.ico", "icotool -c -o $OUT p12.png", 4},
        {"icotool8.ico", "icotool -c -o $OUT p200.png", 8},
        {"icotool24.ico", "icotool -c -b 24 -o $OUT rich.png", 24},
        {"icotool32.ico", "icotool -c -o $OUT soft.png", 32},
        {"icotoolpng.ico", "icotool -c -o $OUT -r soft.png", 32},
        {"cursor.cur", "icotool -c --cursor -X 3 -Y 5 -o $OUT p12.png", 4},
        {"netpbm4.ico", "pngtopam -alphapam p12.png | pamtowinicon > $OUT", 4},
        {"netpbm8.ico", "pngtopam -alphapam p200.png | pamtowinicon > $OUT", 8},
        {"netpbm32.ico", "pngtopam -alphapam soft.png | pamtowinicon > $OUT", 32},
        {"netpbmpng.ico", "pngtopam -alphapam soft.png | pamtowinicon -pngthreshold=16 > $OUT", 32},
        {"magick32.ico", "convert soft.png $OUT", 32},
        {"magickpng.ico", "convert soft.png -scale 256x256 $OUT", 32},
    };
    for (const Case& c : cases) {
        fs::path file = dir / c.name;
        ASSERT_EQ(run("cd " + d + " && OUT=" + shellQuote(file.string()) + "; " + c.command + " 2>/dev/null"), 0)
            << c.name;
        Decoded dec = decodeFileFull(file);
        ASSERT_EQ(dec.rc, RC_OK) << c.name;
        EXPECT_EQ(dec.reader->bitsPerPixel, c.bits) << c.name;
        Pnm p;
        ASSERT_TRUE(icotoolDecode(file, 1, p)) << c.name;
        expectSameIcon(dec.image.get(), p, std::string(c.name) + " vs icotool");
        ASSERT_TRUE(oracleDecode("convert IN -depth 8 -type TrueColorAlpha pam:-", file, p)) << c.name;
        expectSameIcon(dec.image.get(), p, std::string(c.name) + " vs ImageMagick");
    }
}

TEST(IcoReader, TheLargestEntryInEitherOrder)
{
    QUILLON_REQUIRE_TOOL("icotool");
    TempDir dir;
    const std::string d = shellQuote(dir.path().string()) + "/";
    ASSERT_EQ(run("cd " + d + " && convert -size 32x32 gradient:yellow-navy -alpha set -depth 8 PNG32:a32.png && "
                  "convert a32.png -scale 16x16 PNG32:a16.png && convert a32.png -scale 48x48 PNG32:a48.png && "
                  "convert a32.png -colors 100 PNG8:b32.png && "
                  "icotool -c -o small_then_png.ico a16.png -r a48.png && "
                  "icotool -c -o png_then_small.ico -r a48.png a16.png && "
                  "icotool -c -o bitmap8_then_png.ico b32.png -r a32.png && "
                  "icotool -c -o png_then_bitmap8.ico -r a32.png b32.png 2>/dev/null"),
              0);
    struct Case {
        const char* name;
        uint32_t size, bits, oracleIndex;
        bool png;
    } cases[] = {
        {"small_then_png.ico", 48, 32, 2, true},
        {"png_then_small.ico", 48, 32, 1, true},
        // A PNG entry must be larger in every respect; a later bitmap only
        // as large.
        {"bitmap8_then_png.ico", 32, 8, 1, false},
        {"png_then_bitmap8.ico", 32, 32, 1, true},
    };
    for (const Case& c : cases) {
        Decoded dec = decodeFileFull(dir / c.name);
        ASSERT_EQ(dec.rc, RC_OK) << c.name;
        EXPECT_EQ(dec.image->width, c.size) << c.name;
        EXPECT_EQ(dec.reader->bitsPerPixel, c.bits) << c.name;
        EXPECT_EQ(dec.reader->info.get(INFO_COMPRESSION) == std::u16string(u"PNG/Inflate"), c.png) << c.name;
        Pnm p;
        ASSERT_TRUE(icotoolDecode(dir / c.name, int(c.oracleIndex), p)) << c.name;
        expectSameIcon(dec.image.get(), p, c.name);
    }
}

TEST(IcoReader, MaskedPixelsTakeAFreePaletteEntry)
{
    auto none = [](uint32_t, uint32_t) { return false; };
    auto corner = [](uint32_t x, uint32_t y) { return x < 2 && y < 2; };
    // 4 bits: index 16 becomes transparent white.
    Decoded d = decodeBytesFull(iconFile({bitmap(5, 3, 4, [](uint32_t x, uint32_t) { return x; }, corner)}), "a.ico");
    ASSERT_EQ(d.rc, RC_OK);
    EXPECT_EQ(d.image->row<uint8_t>(0)[0], 16);
    EXPECT_EQ(d.image->row<uint8_t>(2)[1], 1);
    EXPECT_EQ(d.image->row<uint8_t>(0)[4], 4);
    EXPECT_EQ(d.image->palette()[16], 0x00FFFFFFu);
    EXPECT_EQ(d.image->palette()[4], 0xFF04FB07u);
    // 8 bits with free entries: the highest free one.
    d = decodeBytesFull(iconFile({bitmap(4, 4, 8, [](uint32_t x, uint32_t y) { return x + 4 * y; }, corner)}),
                        "b.ico");
    ASSERT_EQ(d.rc, RC_OK);
    EXPECT_EQ(d.image->row<uint8_t>(1)[1], 255);
    EXPECT_EQ(d.image->palette()[255], 0x00FFFFFFu);
    EXPECT_EQ(d.image->row<uint8_t>(3)[3], 15);

    // 8 bits whose visible pixels use all 256 entries: reduced to 255
    // colours, then index 255 is the transparent one.
    auto all = [](uint32_t x, uint32_t y) { return (x + 32 * y) & 255; };
    auto lastRows = [](uint32_t, uint32_t y) { return y >= 8; };
    d = decodeBytesFull(iconFile({bitmap(32, 10, 8, all, lastRows)}), "c.ico");
    ASSERT_EQ(d.rc, RC_OK);
    int transparent = 0;
    for (uint32_t y = 0; y < 10; ++y)
        for (uint32_t x = 0; x < 32; ++x) {
            uint8_t i = d.image->row<uint8_t>(y)[x];
            EXPECT_EQ(i == 255, y >= 8) << x << "," << y;
            transparent += i == 255;
        }
    EXPECT_EQ(transparent, 64);
    EXPECT_EQ(d.image->palette()[255], 0x00FFFFFFu);

    // 24 bits: opaque without mask bits, masked pixels transparent.
    d = decodeBytesFull(iconFile({bitmap(3, 2, 24, none, none)}), "d.ico");
    ASSERT_EQ(d.rc, RC_OK);
    Rgba8 p = d.image->row<Rgba8>(1)[2];
    EXPECT_EQ(p.r, 2);
    EXPECT_EQ(p.g, 1);
    EXPECT_EQ(p.a, 255);
    d = decodeBytesFull(iconFile({bitmap(3, 2, 24, none, corner)}), "e.cur");
    ASSERT_EQ(d.rc, RC_OK);
    EXPECT_EQ(d.image->row<Rgba8>(0)[0].a, 0);
    EXPECT_EQ(d.image->row<Rgba8>(0)[2].a, 255);
}

TEST(IcoReader, ProbeNeedsTheExtension)
{
    std::vector<uint8_t> f = iconFile({bitmap(4, 4, 1, [](uint32_t x, uint32_t) { return x & 1; },
                                              [](uint32_t, uint32_t) { return false; })});
    for (const char* name : {"a.ico", "B.ICO", "c.Cur"}) EXPECT_EQ(decodeBytesFull(f, name).rc, RC_OK) << name;
    for (const char* name : {"a.bin", "a.ico.old", "ico", ".ico"})
        EXPECT_EQ(decodeBytesFull(f, name).rc, RC_UNKNOWN_FORMAT) << name;
}

TEST(IcoReader, HostileAndTruncatedFiles)
{
    auto idx = [](uint32_t x, uint32_t y) { return (x + y) & 15; };
    auto none = [](uint32_t, uint32_t) { return false; };
    const std::vector<uint8_t> good = iconFile({bitmap(8, 4, 4, idx, none)});
    ASSERT_EQ(decodeBytesFull(good, "g.ico").rc, RC_OK);
    auto patched = [&](size_t at, std::vector<uint8_t> bytes) {
        std::vector<uint8_t> v = good;
        std::copy(bytes.begin(), bytes.end(), v.begin() + long(at));
        return v;
    };
    std::vector<uint8_t> big = patched(22 + 4, {0x40, 0x9C, 0, 0, 0xA0, 0x0F, 0, 0});  // 40000 x 2000
    big.resize(big.size() + 40000, 0);
    std::vector<uint8_t> pngLie = iconFile({{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'}});
    pngLie.resize(pngLie.size() + 60, 0);
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        ResultCode rc;
    } cases[] = {
        {"type 3", patched(2, {3}), RC_UNKNOWN_FORMAT},
        {"offset past the end", patched(18, {0xF0, 0xFF, 0xFF, 0x7F}), RC_UNKNOWN_FORMAT},
        {"header size past the end", patched(22, {0xFF, 0xFF, 0xFF, 0x0F}), RC_UNKNOWN_FORMAT},
        {"header size 12", patched(22, {12}), RC_UNKNOWN_FORMAT},
        {"two planes", patched(22 + 12, {2}), RC_UNKNOWN_FORMAT},
        {"only 16-bit", patched(22 + 14, {16}), RC_UNSUPPORTED_SUBFORMAT},
        {"only 2-bit", patched(22 + 14, {2}), RC_UNSUPPORTED_SUBFORMAT},
        {"negative width", patched(22 + 4, {0xF8, 0xFF, 0xFF, 0xFF}), RC_UNKNOWN_FORMAT},
        // Colour data that cannot fill even one row of a huge bitmap: refused
        // before any image is made; with that row, the size is a lie all the
        // same, not a picture too large for memory.
        {"huge width", patched(22 + 4, {0xFF, 0xFF, 0xFF, 0x7F}), RC_CORRUPT_FILE},
        {"big, a row of data", big, RC_CORRUPT_FILE},
        {"count larger than the directory", patched(4, {90}), RC_OK},
        {"PNG entry that is no PNG, sized past the end", pngLie, RC_UNKNOWN_FORMAT},
    };
    setAllocationCap(uint64_t(64) << 20);
    for (const Case& c : cases) EXPECT_EQ(decodeBytesFull(c.bytes, "h.ico").rc, c.rc) << c.what;
    // Every colour row of a picture larger than memory allows: too large,
    // with or without its mask. A byte short of its colour rows, its size
    // is a lie.
    setAllocationCap(uint64_t(1) << 20);
    std::vector<uint8_t> large = iconFile({bitmap(1100, 1000, 8, idx, none)});
    EXPECT_EQ(decodeBytesFull(large, "l.ico").rc, RC_OUT_OF_MEMORY);
    large.resize(large.size() - 1000 * 140);  // the mask
    EXPECT_EQ(decodeBytesFull(large, "l.ico").rc, RC_OUT_OF_MEMORY);
    large.pop_back();
    Decoded lie = decodeBytesFull(large, "l.ico");
    EXPECT_EQ(lie.rc, RC_CORRUPT_FILE);
    EXPECT_EQ(lie.image.get(), nullptr);
    setAllocationCap(0);

    // A 16-bit entry next to an 8-bit one: the one that can be read.
    auto opaque = none;
    std::vector<uint8_t> b16 = bitmap(16, 16, 8, idx, opaque);
    b16[14] = 16;
    Decoded d = decodeBytesFull(iconFile({bitmap(8, 8, 8, idx, opaque), b16}), "two.ico");
    ASSERT_EQ(d.rc, RC_OK);
    EXPECT_EQ(d.image->width, 8u);

    // Cuts: in the header nothing is claimed; in the colour rows the rows
    // before stay (bottom-up: the bottom ones); in the mask the colours stay.
    expectCutsFail(good, 0, 62, RC_UNKNOWN_FORMAT, "t.ico");
    size_t pixels = 22 + 40 + 64;
    d = decodeBytesFull(std::vector<uint8_t>(good.begin(), good.begin() + long(pixels + 4 + 2)), "t.ico");
    EXPECT_EQ(d.rc, RC_CORRUPT_FILE);
    ASSERT_TRUE(d.image);
    EXPECT_EQ(d.image->row<uint8_t>(3)[7], (7 + 3) & 15);
    EXPECT_EQ(d.image->row<uint8_t>(2)[0], 2);
    EXPECT_EQ(d.image->row<uint8_t>(2)[7], 0);
    EXPECT_EQ(d.image->row<uint8_t>(0)[1], 0);
    d = decodeBytesFull(std::vector<uint8_t>(good.begin(), good.end() - 2), "t.ico");
    EXPECT_EQ(d.rc, RC_CORRUPT_FILE);
    ASSERT_TRUE(d.image);
    EXPECT_EQ(d.image->row<uint8_t>(0)[5], 5);
}
