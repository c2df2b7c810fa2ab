// DirectDraw surfaces: ImageMagick's files decoded by us and by it; every
// sub-format we write read back by ImageMagick; colour blocks read and
// written as Pillow and ImageMagick take them; block coder edge cases;
// hostile headers; the encoder's bytes against the plain search and across
// task-pool lanes, and its abort byte.
#include <gtest/gtest.h>

#include <zlib.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <thread>

#include "app/format_table.h"
#include "codecs/more/dds.h"
#include "core/byte_cursor.h"
#include "core/text.h"
#include "core/image_writer.h"
#include "platform/memory.h"
#include "platform/tasks.h"
#include "support/codec_support.h"

using namespace quillon;
using namespace quillon::test;
namespace fs = std::filesystem;

namespace {

// Worst channel difference (colour, and alpha when asked) to an oracle.
int worstDifference(Image* image, const Pnm& oracle, bool alpha)
{
    Ref<Image> rgba = asRgba8(image);
    if (!rgba || rgba->width != oracle.width || rgba->height != oracle.height) return 999;
    int worst = 0;
    for (uint32_t y = 0; y < oracle.height; ++y)
        for (uint32_t x = 0; x < oracle.width; ++x) {
            const Rgba8 p = rgba->row<Rgba8>(y)[x];
            const int ours[4] = {p.r, p.g, p.b, p.a};
            for (uint32_t c = 0; c < (alpha && oracle.channels == 4 ? 4u : 3u); ++c)
                worst = std::max(worst, std::abs(ours[c] - int(oracle.at(x, y, c))));
        }
    return worst;
}

double psnr(Image* a, Image* b)
{
    Ref<Image> ra = asRgba8(a), rb = asRgba8(b);
    double se = 0;
    for (uint32_t y = 0; y < ra->height; ++y)
        for (uint32_t x = 0; x < ra->width; ++x) {
            const Rgba8 p = ra->row<Rgba8>(y)[x], q = rb->row<Rgba8>(y)[x];
            for (int d : {p.r - q.r, p.g - q.g, p.b - q.b}) se += double(d) * d;
        }
    return 10 * std::log10(255.0 * 255.0 / (se / (3.0 * ra->width * ra->height) + 1e-9));
}

const FormatDescriptor* ddsRow()
{
    for (int i = 0; i < kFormatTableRows; ++i)
        if (std::u16string_view(formatTableRow(i)->extension) == u"dds") return formatTableRow(i);
    return nullptr;
}

// What the block search meets in photographs, with alpha: smooth ramps,
// fine noise, flat patches and sharp edges in colour; alpha opaque, clear,
// noisy and ramped, changing within blocks.
Ref<Image> searchSource(uint32_t w, uint32_t h)
{
    Ref<Image> image = Ref<Image>::adopt(imageCreate(PF_RGBA8, packSize(w, h)));
    uint32_t seed = 12345;
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            seed = seed * 1103515245u + 12345u;
            const uint8_t noise = uint8_t(seed >> 24);
            const uint32_t kind = (x / 12 + y / 9) % 4;
            const uint8_t r = kind == 0   ? uint8_t(x * 255 / w)
                              : kind == 1 ? noise
                              : kind == 2 ? 200
                                          : uint8_t(x < w / 2 ? 30 : 220);
            const uint8_t g = kind == 1 ? uint8_t(noise / 2 + y) : uint8_t(y * 255 / h);
            const uint8_t b = kind == 3 ? uint8_t((x * 7 + y * 3) & 255) : uint8_t(128 + (noise & 31));
            const uint32_t band = (y / 6) % 4;
            const uint8_t a = band == 0 ? 255 : band == 1 ? (x % 5 ? 0 : 255) : band == 2 ? noise : uint8_t(x * 13);
            image->row<Rgba8>(y)[x] = {b, g, r, a};
        }
    image->alphaKind = ALPHA_STRAIGHT;
    return image;
}

// The writer's own result: the output is closed by the writer's end, after
// the result is taken, so an encoder that leaves bytes unwritten in the
// output's buffer cannot pass for one that wrote them.
ResultCode writeDds(Image* image, const char16_t* sub, uint32_t colourFlag, const fs::path& path)
{
    Ref<ImageWriter> w = Ref<ImageWriter>::adopt(ddsWriterCreate(path, ddsRow()));
    return w->write(image, sub, colourFlag, 0, false, nullptr, nullptr);
}

// Pillow's decode with its alpha.
const std::string kPillow = pillowDecoder(true);

// A DDS header (128 bytes) of a w x h texture with the given pixel format.
std::vector<uint8_t> ddsHeader(uint32_t pfFlags, uint32_t bits, const char* fourCc, uint32_t r, uint32_t a,
                               uint32_t w = 3, uint32_t h = 2)
{
    std::vector<uint8_t> b = {'D', 'D', 'S', ' '};
    le32(b, 124);
    le32(b, 0x1007);
    le32(b, h);
    le32(b, w);
    b.resize(76, 0);
    le32(b, 32);
    le32(b, pfFlags);
    b.insert(b.end(), fourCc, fourCc + 4);
    le32(b, bits);
    le32(b, r);
    le32(b, 0xFF00);
    le32(b, 0xFF);
    le32(b, a);
    le32(b, 0x1000);
    b.resize(128, 0);
    return b;
}

} // namespace

TEST(Dds, ImageMagickFilesDecodeLikeImageMagick)
{
    QUILLON_REQUIRE_TOOL("convert");
    TempDir dir;
    const fs::path src = dir / "src.png";
    // Alpha changes from pixel to pixel, so that each pixel of a block has
    // an alpha of its own to be read from its own place.
    ASSERT_EQ(run("convert -seed 3 -size 37x21 plasma:fractal -alpha set -channel A -fx '(3*i+5*j)%16/15' +channel " +
                  shellQuote(src.string())), 0);
    for (const char* compression : {"none", "dxt1", "dxt5"}) {
        SCOPED_TRACE(compression);
        const fs::path file = dir / (std::string(compression) + ".dds");
        ASSERT_EQ(run("convert " + shellQuote(src.string()) + " -define dds:compression=" + compression +
                      " -define dds:mipmaps=3 " + shellQuote(file.string())), 0);
        Pnm oracle;
        ASSERT_TRUE(oracleDecode("convert", file, oracle));
        ResultCode rc;
        Ref<Image> image = decodeFile(file, &rc);
        ASSERT_EQ(rc, RC_OK);
        ASSERT_EQ(image->width, 37u);
        // Block endpoints may be widened with different rounding.
        EXPECT_LE(worstDifference(image.get(), oracle, std::string(compression) != "dxt1"),
                  std::string(compression) == "none" ? 0 : 2);
    }
    // ImageMagick writes no DXT3 (asked for it, it writes DXT5): ours, of
    // the same source, is read alike by ImageMagick, Pillow and us.
    SCOPED_TRACE("dxt3");
    Ref<Image> source = decodeFile(src);
    ASSERT_TRUE(source);
    const fs::path dxt3 = dir / "dxt3.dds";
    ASSERT_EQ(writeDds(source.get(), u"DXT3 (no mip-map)", CF_RGBA32, dxt3), RC_OK);
    Ref<Image> image = decodeFile(dxt3);
    ASSERT_TRUE(image);
    for (const std::string& tool : {std::string("convert"), kPillow}) {
        Pnm oracle;
        ASSERT_TRUE(oracleDecode(tool, dxt3, oracle));
        EXPECT_LE(worstDifference(image.get(), oracle, true), 2) << tool.substr(0, 7);
    }
}

// Everything we write: ImageMagick reads the surface we meant, close to the
// source; the header says the power-of-two size and level count.
TEST(Dds, EverySubFormatReadsBackInImageMagick)
{
    QUILLON_REQUIRE_TOOL("convert");
    TempDir dir;
    Ref<Image> source = Ref<Image>::adopt(imageCreate(PF_RGBA8, packSize(64, 32)));
    for (uint32_t y = 0; y < 32; ++y)
        for (uint32_t x = 0; x < 64; ++x)
            source->row<Rgba8>(y)[x] = {uint8_t(x * 4), uint8_t(128 + 100 * std::sin(x / 5.0 + y / 7.0)),
                                        uint8_t(y * 8), 255};
    for (int i = 0; kDdsSubFormats[i][0]; ++i) {
        const char16_t* sub = kDdsSubFormats[i];
        const bool uncompressed = std::u16string_view(sub).substr(0, 3) != u"DXT";
        for (uint32_t flag : {CF_RGBA32, CF_RGB24, CF_RGBA16}) {
            if (!(kDdsSubFormatCaps[i] & flag)) continue;
            const std::string what = u16ToUtf8(sub) + " " + std::to_string(flag);
            SCOPED_TRACE(what);
            const fs::path file = dir / "out.dds";
            ASSERT_EQ(writeDds(source.get(), sub, flag, file), RC_OK);
            const std::vector<uint8_t> bytes = readFile(file);
            ASSERT_GE(bytes.size(), 128u);
            EXPECT_EQ(loadU32le(bytes.data() + 16), 64u);
            EXPECT_EQ(loadU32le(bytes.data() + 28), std::u16string_view(sub).find(u"mip-mapped") != std::u16string_view::npos ? 7u : 1u);
            // ImageMagick knows DXT2 and DXT4 by the names of their
            // straight-alpha twins; an opaque image reads the same.
            std::vector<uint8_t> patched = bytes;
            if (patched[87] == '2' || patched[87] == '4') ++patched[87];
            writeFile(dir / "peer.dds", patched);
            Pnm oracle;
            ASSERT_TRUE(oracleDecode("convert", dir / "peer.dds", oracle));
            Ref<Image> ours = decodeFile(file);
            ASSERT_TRUE(ours);
            EXPECT_LE(worstDifference(ours.get(), oracle, false), 2);
            const double quality = psnr(ours.get(), source.get());
            EXPECT_GT(quality, uncompressed ? (flag == CF_RGBA16 ? 30.0 : 99.0) : 30.0) << quality;
        }
    }
}

TEST(Dds, SurfaceSizesAndTheCallersImage)
{
    TempDir dir;
    // 100 x 60 becomes 128 x 64 with eight levels.
    Ref<Image> image = Ref<Image>::adopt(imageCreate(PF_RGBA8, packSize(100, 60)));
    for (uint32_t y = 0; y < 60; ++y)
        for (uint32_t x = 0; x < 100; ++x) image->row<Rgba8>(y)[x] = {uint8_t(x), uint8_t(y), 200, uint8_t(x + y)};
    image->alphaKind = ALPHA_STRAIGHT;
    const std::vector<uint8_t> before(image->rowBytesPtr(0), image->rowBytesPtr(0) + image->rowBytes() * 60);
    ASSERT_EQ(writeDds(image.get(), u"DXT2 (mip-mapped)", CF_RGBA32, dir / "a.dds"), RC_OK);
    std::vector<uint8_t> bytes = readFile(dir / "a.dds");
    EXPECT_EQ(loadU32le(bytes.data() + 12), 64u);
    EXPECT_EQ(loadU32le(bytes.data() + 16), 128u);
    EXPECT_EQ(loadU32le(bytes.data() + 28), 8u);
    // Premultiplying for DXT2 happened on a copy.
    EXPECT_EQ(std::memcmp(before.data(), image->rowBytesPtr(0), before.size()), 0);
    EXPECT_EQ(image->alphaKind, ALPHA_STRAIGHT);

    // DXT2 stores premultiplied colour: read as DXT3 by ImageMagick, a pixel
    // of alpha a shows its colour times a / 255.
    if (haveTool("convert")) {
        std::memcpy(bytes.data() + 84, "DXT3", 4);
        writeFile(dir / "b.dds", bytes);
        ASSERT_EQ(run("convert " + shellQuote((dir / "b.dds").string()) + " -crop 1x1+96+10 -depth 8 rgba:" +
                      shellQuote((dir / "p.raw").string())), 0);
        const std::vector<uint8_t> p = readFile(dir / "p.raw");
        ASSERT_EQ(p.size(), 4u);
        EXPECT_NEAR(p[0], 200 * p[3] / 255.0, 12);
    }

    // A 1 x 1 image: a 1 x 1 surface, one level, one block of that pixel.
    Ref<Image> one = Ref<Image>::adopt(imageCreate(PF_RGBA8, packSize(1, 1)));
    one->row<Rgba8>(0)[0] = {40, 80, 120, 255};
    ASSERT_EQ(writeDds(one.get(), u"DXT1 (mip-mapped)", CF_RGBA32, dir / "c.dds"), RC_OK);
    bytes = readFile(dir / "c.dds");
    ASSERT_EQ(bytes.size(), 128u + 8u);
    EXPECT_EQ(loadU32le(bytes.data() + 28), 1u);
    Ref<Image> back = decodeFile(dir / "c.dds");
    ASSERT_TRUE(back);
    const Rgba8 q = back->row<Rgba8>(0)[0];
    EXPECT_NEAR(q.r, 120, 4);
    EXPECT_NEAR(q.g, 80, 4);
    EXPECT_NEAR(q.b, 40, 4);

    // Files far smaller than the output's buffer fail on a full disk too.
    EXPECT_EQ(writeDds(image.get(), u"DXT1 (mip-mapped)", CF_RGBA32, "/dev/full"), RC_WRITE_FAILED);
    EXPECT_EQ(writeDds(one.get(), u"Uncomp(no mip-map)", CF_RGB24, "/dev/full"), RC_WRITE_FAILED);
}

TEST(Dds, BlockCoderEdgeCases)
{
    uint32_t px[16];
    uint8_t block[8];
    // All transparent in DXT1.
    for (uint32_t& p : px) p = 0x10FFFFFF;
    ddsWriteColourBlock(block, px, true);
    const uint8_t clear[8] = {0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(std::memcmp(block, clear, 8), 0);
    // A uniform opaque block: equal endpoints, every index 0.
    for (uint32_t& p : px) p = 0xFF3060A0;
    ddsWriteColourBlock(block, px, false);
    EXPECT_EQ(loadU16le(block), loadU16le(block + 2));
    EXPECT_EQ(loadU32le(block + 4), 0u);
    // Three-colour mode of DXT1: index 3 is transparent black.
    const uint8_t three[8] = {0x00, 0x00, 0xFF, 0xFF, 0xFF, 0x55, 0, 0};
    ddsDecodeColourBlock(three, px, true);
    EXPECT_EQ(px[0], 0u);
    EXPECT_EQ(px[4], 0xFFFFFFFFu);
    EXPECT_EQ(px[8], 0xFF000000u);
    // Six-value alpha: indices 6 and 7 are 0 and 255.
    const uint8_t alpha[8] = {10, 20, 0x3E, 0, 0, 0, 0, 0};
    for (uint32_t& p : px) p = 0;
    ddsDecodeAlphaBlock(alpha, px);
    EXPECT_EQ(px[0] >> 24, 0u);
    EXPECT_EQ(px[1] >> 24, 255u);
    EXPECT_EQ(px[2] >> 24, 10u);
}

TEST(Dds, HostileAndUnsupportedHeaders)
{
    const auto header = [](uint32_t pfFlags, uint32_t bits, const char* fourCc, uint32_t r, uint32_t a) {
        return ddsHeader(pfFlags, bits, fourCc, r, a);
    };
    ResultCode rc;
    // Full-width masks and an alpha flag with no alpha bits.
    std::vector<uint8_t> wide = header(0x41, 32, "\0\0\0\0", 0xFFFFFFFF, 0);
    for (int i = 0; i < 2 * 3; ++i) le32(wide, 0xFFFFFFFF);
    Ref<Image> image = decodeBytes(wide, &rc, "w.dds");
    ASSERT_EQ(rc, RC_OK);
    EXPECT_EQ(image->alphaKind, ALPHA_NONE);
    EXPECT_EQ(image->row<Rgba8>(1)[2].r, 255);
    std::vector<uint8_t> eight = header(0x40, 8, "\0\0\0\0", 0xE0, 0);
    eight.resize(eight.size() + 8, 0);
    decodeBytes(eight, &rc, "e.dds");
    EXPECT_EQ(rc, RC_UNSUPPORTED_SUBFORMAT);
    std::vector<uint8_t> bc7 = header(0x4, 0, "DX10", 0, 0);
    bc7.resize(bc7.size() + 64, 0);
    decodeBytes(bc7, &rc, "x.dds");
    EXPECT_EQ(rc, RC_UNSUPPORTED_SUBFORMAT);
    // Blocks that end early: the rows they held stay, the rest are cleared.
    std::vector<uint8_t> cut = header(0x4, 0, "DXT1", 0, 0);
    cut[12] = 8;  // 8 rows: two block rows, one present
    for (int i = 0; i < 8; ++i) cut.push_back(i < 4 ? 0xFF : 0);
    Decoded d = decodeBytesFull(cut, "c.dds");
    EXPECT_EQ(d.rc, RC_CORRUPT_FILE);
    ASSERT_TRUE(d.image);
    EXPECT_EQ(d.image->row<Rgba8>(0)[0].r, 255);
    EXPECT_EQ(d.image->row<Rgba8>(7)[0].a, 0);
    // A surface its data cannot fill one block row of is refused from the
    // header, before memory for it is asked for.
    std::vector<uint8_t> huge = header(0x4, 0, "DXT1", 0, 0);
    huge[13] = 0x80, huge[17] = 0x80;  // 32771 x 32770
    huge.resize(huge.size() + 16, 0);
    setAllocationCap(uint64_t(64) << 20);
    decodeBytes(huge, &rc, "h.dds");
    EXPECT_EQ(rc, RC_CORRUPT_FILE);
    // With that block row, the size is a lie all the same, not a picture
    // too large for memory.
    huge.resize(128 + (32771 + 3) / 4 * 8, 0);
    decodeBytes(huge, &rc, "h.dds");
    EXPECT_EQ(rc, RC_CORRUPT_FILE);
    // Every block row, or every pixel row, of a picture larger than memory
    // allows: too large; a block row or a byte short, a lie.
    setAllocationCap(uint64_t(1) << 20);
    std::vector<uint8_t> blocks = ddsHeader(0x4, 0, "DXT1", 0, 0, 1024, 1024);
    blocks.resize(128 + 256 * 256 * 8, 0x55);
    std::vector<uint8_t> pixels = ddsHeader(0x41, 32, "\0\0\0\0", 0xFF0000, 0xFF000000, 600, 600);
    pixels.resize(128 + 600 * 600 * 4, 0x55);
    const auto tooLargeOrALie = [](std::vector<uint8_t> file, size_t shortBy, const char* what) {
        EXPECT_EQ(decodeBytesFull(file, "l.dds").rc, RC_OUT_OF_MEMORY) << what;
        file.resize(file.size() - shortBy);
        Decoded lie = decodeBytesFull(file, "l.dds");
        EXPECT_EQ(lie.rc, RC_CORRUPT_FILE) << what;
        EXPECT_EQ(lie.image.get(), nullptr) << what;
    };
    tooLargeOrALie(blocks, 256 * 8, "blocks");
    tooLargeOrALie(pixels, 1, "pixels");
    setAllocationCap(0);
    // A header size beyond the file.
    std::vector<uint8_t> lying = header(0x4, 0, "DXT1", 0, 0);
    lying[4] = 0xFF, lying[5] = 0xFF;
    decodeBytes(lying, &rc, "l.dds");
    EXPECT_EQ(rc, RC_CORRUPT_FILE);
}

// Colour blocks whose colour 0 is not above colour 1 have three colours and
// transparent black in DXT1 only; beside an alpha block (DXT2 to DXT5) they
// keep four colours, as Pillow, ImageMagick and graphics hardware read them.
TEST(Dds, ColourBlocksBesideAlphaAlwaysHaveFourColours)
{
    QUILLON_REQUIRE_TOOL("convert");
    QUILLON_REQUIRE_TOOL(kSystemPython);
    TempDir dir;
    // Colour 0 below colour 1, equal to it, and above it; each row of a
    // block runs through the indices in another order.
    const uint32_t ends[3][2] = {{0x1234, 0xC8F0}, {0x7BEF, 0x7BEF}, {0xF81F, 0x07E6}};
    for (const char* fourCc : {"DXT1", "DXT2", "DXT3", "DXT4", "DXT5"}) {
        SCOPED_TRACE(fourCc);
        const bool dxt1 = fourCc[3] == '1';
        std::vector<uint8_t> file = ddsHeader(0x4, 0, fourCc, 0, 0, 12, 4);
        for (const auto& e : ends) {
            if (fourCc[3] == '2' || fourCc[3] == '3') {
                for (uint32_t i = 0; i < 8; ++i) file.push_back(uint8_t(0x1F * i + 0x0C));
            } else if (!dxt1) {
                const uint8_t alpha[8] = {230, 20, 0x88, 0xC6, 0xFA, 0x05, 0x39, 0x77};
                file.insert(file.end(), alpha, alpha + 8);
            }
            le16(file, e[0]);
            le16(file, e[1]);
            le32(file, 0x4EB1E41B);
        }
        writeFile(dir / "ours.dds", file);
        Decoded ours = decodeFileFull(dir / "ours.dds");
        ASSERT_EQ(ours.rc, RC_OK);
        // Neither oracle knows the premultiplied kinds: read by the names of
        // their straight-alpha twins, their colours are the same.
        if (fourCc[3] == '2' || fourCc[3] == '4') ++file[87];
        writeFile(dir / "peer.dds", file);
        for (const std::string& tool : {std::string("convert"), kPillow}) {
            SCOPED_TRACE(tool.substr(0, 7));
            Pnm oracle;
            ASSERT_TRUE(oracleDecode(tool, dir / "peer.dds", oracle));
            // Endpoints widen with other rounding in the oracles.
            EXPECT_LE(worstDifference(ours.image.get(), oracle, fourCc[3] != '2' && fourCc[3] != '4'), 2);
        }
    }
}

// Beside an alpha block every reader takes a colour block as four colours.
// Our DXT5 colour blocks, moved into a DXT1 file where three-colour blocks
// are read as three colours, must read the same: no block relies on a mode
// the DXT5 readers do not have.
TEST(Dds, WrittenColourBlocksBesideAlphaAreFourColourBlocks)
{
    QUILLON_REQUIRE_TOOL("convert");
    QUILLON_REQUIRE_TOOL(kSystemPython);
    TempDir dir;
    const fs::path src = dir / "src.png";
    ASSERT_EQ(run("convert -seed 7 -size 128x64 plasma:fractal -blur 0x1 " + shellQuote(src.string())), 0);
    Ref<Image> source = decodeFile(src);
    ASSERT_TRUE(source);
    for (const char16_t* sub : {u"DXT3 (no mip-map)", u"DXT5 (no mip-map)"}) {
        SCOPED_TRACE(u16ToUtf8(sub));
        ASSERT_EQ(writeDds(source.get(), sub, CF_RGBA32, dir / "ours.dds"), RC_OK);
        const std::vector<uint8_t> file = readFile(dir / "ours.dds");
        ASSERT_EQ(file.size(), 128u + 32 * 16 * 16);
        std::vector<uint8_t> colours = ddsHeader(0x4, 0, "DXT1", 0, 0, 128, 64);
        for (size_t at = 128 + 8; at < file.size(); at += 16) colours.insert(colours.end(), &file[at], &file[at + 8]);
        writeFile(dir / "colours.dds", colours);
        for (const std::string& tool : {std::string("convert"), kPillow}) {
            Pnm beside, alone;
            ASSERT_TRUE(oracleDecode(tool, dir / "ours.dds", beside));
            ASSERT_TRUE(oracleDecode(tool, dir / "colours.dds", alone));
            int worst = 0;
            for (uint32_t y = 0; y < 64; ++y)
                for (uint32_t x = 0; x < 128; ++x)
                    for (uint32_t c = 0; c < 3; ++c)
                        worst = std::max(worst, std::abs(int(beside.at(x, y, c)) - int(alone.at(x, y, c))));
            EXPECT_EQ(worst, 0) << tool.substr(0, 7);
        }
    }
}

// The search that the encoder spreads over the task pool and prunes must
// choose what the plain exhaustive search chose: these are checksums of the
// plain search's files, whose rules did not change with it (DXT1, and DXT5
// whose colour blocks had only four colours by then).
TEST(DdsWriter, FasterSearchWritesTheExhaustiveSearchsBytes)
{
    TempDir dir;
    Ref<Image> withAlpha = searchSource(128, 64);
    Ref<Image> opaque = searchSource(128, 64);
    opaque->alphaKind = ALPHA_NONE;
    for (uint32_t y = 0; y < 64; ++y)
        for (uint32_t x = 0; x < 128; ++x) opaque->row<Rgba8>(y)[x].a = 255;
    const struct {
        Image* image;
        const char16_t* sub;
        uint32_t crc;
    } cases[] = {
        {opaque.get(), u"DXT1 (no mip-map)", 0x2A9EDFB5u},
        {withAlpha.get(), u"DXT1 (no mip-map)", 0x2D9AE2AEu},
        {withAlpha.get(), u"DXT5 (no mip-map)", 0xDAD99DC1u},
        {opaque.get(), u"DXT5 (no mip-map)", 0xA8F4D516u},
    };
    for (const auto& c : cases) {
        const fs::path file = dir / "out.dds";
        ASSERT_EQ(writeDds(c.image, c.sub, CF_RGBA32, file), RC_OK);
        const std::vector<uint8_t> bytes = readFile(file);
        EXPECT_EQ(crc32(0, bytes.data(), uInt(bytes.size())), c.crc)
            << u16ToUtf8(c.sub) << (c.image == opaque.get() ? " opaque" : " with alpha");
    }
}

// Rows of blocks go to the task pool: any number of lanes gives the bytes
// of one, for every kind, with levels down to 1 x 1 (blocks that the surface
// does not fill) from a source of odd size.
TEST(DdsWriter, BlockRowsOnTheTaskPoolGiveTheOneLaneBytes)
{
    TempDir dir;
    Ref<Image> source = searchSource(150, 97);
    for (const char16_t* sub : {u"DXT1 (mip-mapped)", u"DXT2 (mip-mapped)", u"DXT3 (mip-mapped)", u"DXT4 (mip-mapped)",
                                u"DXT5 (mip-mapped)", u"DXT5 (no mip-map)"}) {
        SCOPED_TRACE(u16ToUtf8(sub));
        std::vector<uint8_t> one;
        for (unsigned lanes : {1u, 2u, 3u, 8u}) {
            RowBandOverride bands(lanes, 0);
            ASSERT_EQ(writeDds(source.get(), sub, CF_RGBA32, dir / "out.dds"), RC_OK);
            const std::vector<uint8_t> bytes = readFile(dir / "out.dds");
            if (lanes == 1) one = bytes;
            EXPECT_TRUE(bytes == one) << lanes << " lanes";
        }
    }
}

// The caller's abort byte, handed to the writer, ends a long
// encoding with RC_CANCELLED (the write path then drops the file), whether
// it was set before the write or while the blocks are searched.
TEST(DdsWriter, AbortByteEndsTheEncoding)
{
    TempDir dir;
    Ref<Image> large = searchSource(1024, 1024);
    // One level of the source's own size: no resampling, which would stop
    // by itself.
    for (const char16_t* sub : {u"DXT5 (no mip-map)", u"Uncomp(no mip-map)"}) {
        SCOPED_TRACE(u16ToUtf8(sub));
        AbortFlag stop{1};
        Ref<ImageWriter> w = Ref<ImageWriter>::adopt(ddsWriterCreate(dir / "set.dds", ddsRow()));
        w->abort = &stop;
        EXPECT_EQ(w->write(large.get(), sub, CF_RGBA32, 0, false, nullptr, nullptr), RC_CANCELLED);
    }
    AbortFlag stop{0};
    Ref<ImageWriter> w = Ref<ImageWriter>::adopt(ddsWriterCreate(dir / "later.dds", ddsRow()));
    w->abort = &stop;
    std::thread cancel([&stop] { stop.store(1); });
    EXPECT_EQ(w->write(large.get(), u"DXT5 (no mip-map)", CF_RGBA32, 0, false, nullptr, nullptr), RC_CANCELLED);
    cancel.join();
}

// The alpha a DXT3 file stores is each pixel's own, in its own place, as the
// peers read it: four bits of it, which a reader widens back to within 15
// levels of the source. Our own reader agreeing with theirs would not show
// a writer that puts alphas in the wrong place, since it would read them
// from there alike.
TEST(DdsWriter, WrittenDxt3AlphaIsTheSourcesAsThePeersReadIt)
{
    QUILLON_REQUIRE_TOOL("convert");
    QUILLON_REQUIRE_TOOL(kSystemPython);
    TempDir dir;
    // Every pixel of a block has an alpha of its own, far from its
    // neighbours' across and down.
    Ref<Image> source = Ref<Image>::adopt(imageCreate(PF_RGBA8, packSize(64, 32)));
    for (uint32_t y = 0; y < 32; ++y)
        for (uint32_t x = 0; x < 64; ++x)
            source->row<Rgba8>(y)[x] = {uint8_t(x * 4), 90, uint8_t(y * 8), uint8_t((x * 67 + y * 101) % 256)};
    source->alphaKind = ALPHA_STRAIGHT;
    const fs::path file = dir / "alpha.dds";
    ASSERT_EQ(writeDds(source.get(), u"DXT3 (no mip-map)", CF_RGBA32, file), RC_OK);
    for (const std::string& tool : {std::string("convert"), kPillow}) {
        SCOPED_TRACE(tool.substr(0, 7));
        Pnm oracle;
        ASSERT_TRUE(oracleDecode(tool, file, oracle));
        ASSERT_EQ(oracle.channels, 4u);
        ASSERT_EQ(oracle.width, 64u);
        ASSERT_EQ(oracle.height, 32u);
        int worst = 0;
        for (uint32_t y = 0; y < 32; ++y)
            for (uint32_t x = 0; x < 64; ++x)
                worst = std::max(worst, std::abs(int(oracle.at(x, y, 3)) - int(source->row<Rgba8>(y)[x].a)));
        EXPECT_LE(worst, 15);
    }
}
