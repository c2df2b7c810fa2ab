// IFF bitmaps: ppmtoilbm's variants against ilbmtoppm, and hand-built files
// for what no tool here writes (extra half-bright, the "PBM " form, masks,
// transparent colours, short colour maps, damaged bodies).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "platform/memory.h"
#include "support/codec_support.h"

using namespace quillon;
using namespace quillon::test;
namespace fs = std::filesystem;

TEST(Iff, PpmtoilbmVariantsDecodeLikeIlbmtoppm)
{
    QUILLON_REQUIRE_TOOL("ppmtoilbm");
    TempDir dir;
    const fs::path src = dir / "src.ppm";
    ASSERT_EQ(run("convert -seed 2 -size 37x19 plasma:fractal -colors 12 " + shellQuote(src.string())), 0);
    for (const char* options : {"", "-nocompress", "-hamforce", "-hamforce -nocompress", "-ham8", "-24force",
                                "-24force -nocompress", "-fixplanes 8"}) {
        SCOPED_TRACE(options);
        const fs::path iff = dir / "out.iff";
        ASSERT_EQ(run(std::string("ppmtoilbm ") + options + " " + shellQuote(src.string()) + " > " +
                      shellQuote(iff.string()) + " 2>/dev/null"),
                  0);
        Pnm oracle;
        ASSERT_TRUE(oracleDecode("ilbmtoppm IN", iff, oracle));
        ResultCode rc;
        Ref<Image> image = decodeFile(iff, &rc);
        ASSERT_EQ(rc, RC_OK);
        if (std::string(options).find("ham") == std::string::npos) {
            expectEqualPixels(image.get(), oracle, options, false);
            continue;
        }
        // Hold-and-modify levels are 4 or 6 bits: we widen them as the
        // display hardware did (v x 17 for 4 bits), ilbmtoppm otherwise. A wrong
        // control code or plane would be far off.
        Ref<Image> rgba = asRgba8(image.get());
        int worst = 0;
        for (uint32_t y = 0; y < oracle.height; ++y)
            for (uint32_t x = 0; x < oracle.width; ++x) {
                const Rgba8 p = rgba->row<Rgba8>(y)[x];
                worst = std::max({worst, std::abs(p.r - int(oracle.at(x, y, 0))),
                                  std::abs(p.g - int(oracle.at(x, y, 1))), std::abs(p.b - int(oracle.at(x, y, 2)))});
            }
        EXPECT_LE(worst, 9);
    }
}

namespace {

struct Chunk {
    const char* id;
    std::vector<uint8_t> data;
};

std::vector<uint8_t> form(const char* type, const std::vector<Chunk>& chunks)
{
    std::vector<uint8_t> body(type, type + 4);
    for (const Chunk& c : chunks) {
        body.insert(body.end(), c.id, c.id + 4);
        be32(body, uint32_t(c.data.size()));
        body.insert(body.end(), c.data.begin(), c.data.end());
        if (c.data.size() & 1) body.push_back(0);
    }
    std::vector<uint8_t> out = {'F', 'O', 'R', 'M'};
    be32(out, uint32_t(body.size()));
    out.insert(out.end(), body.begin(), body.end());
    if (out.size() < 40) out.resize(40, 0);
    return out;
}

std::vector<uint8_t> bmhd(uint32_t w, uint32_t h, uint8_t planes, uint8_t masking = 0, uint8_t compression = 0,
                          uint16_t transparent = 0)
{
    std::vector<uint8_t> b;
    be16(b, w);
    be16(b, h);
    be32(b, 0);
    b.push_back(planes);
    b.push_back(masking);
    b.push_back(compression);
    b.push_back(0);
    be16(b, transparent);
    b.insert(b.end(), {10, 11});
    be16(b, 320);
    be16(b, 200);
    return b;
}

Rgba8 pixel(const Ref<Image>& image, uint32_t x, uint32_t y) { return asRgba8(image.get())->row<Rgba8>(y)[x]; }

} // namespace

// Six planes of extra half-bright: index 35 is entry 3 at half brightness.
TEST(Iff, ExtraHalfBrightAndTransparentColour)
{
    std::vector<uint8_t> cmap(32 * 3, 0);
    cmap[9] = 200, cmap[10] = 100, cmap[11] = 51;
    // One row, 16 pixels: pixel 0 has index 35 (planes 0, 1 and 5 set).
    std::vector<uint8_t> body(6 * 2, 0);
    body[0] = body[2] = body[10] = 0x80;
    std::vector<uint8_t> camg;
    be32(camg, 0x80);
    ResultCode rc;
    Ref<Image> image =
        decodeBytes(form("ILBM", {{"BMHD", bmhd(16, 1, 6)}, {"CMAP", cmap}, {"CAMG", camg}, {"BODY", body}}), &rc, "e.iff");
    ASSERT_EQ(rc, RC_OK);
    const Rgba8 p = pixel(image, 0, 0);
    EXPECT_EQ(p.r, 100);
    EXPECT_EQ(p.g, 50);
    EXPECT_EQ(p.b, 25);

    // Masking 2 with transparent colour 5; one plane of 3 colours short of a map.
    std::vector<uint8_t> body3(3 * 2, 0);
    body3[0] = body3[4] = 0x80; // pixel 0: index 5
    Decoded d = decodeBytesFull(form("ILBM", {{"BMHD", bmhd(3, 1, 3, 2, 0, 5)}, {"CMAP", {1, 2, 3}}, {"BODY", body3}}),
                                "t.iff");
    ASSERT_EQ(d.rc, RC_OK);
    EXPECT_EQ(d.image->palette()[5] >> 24, 0u);
    EXPECT_EQ(d.image->palette()[0], 0xFF010203u);
    EXPECT_EQ(d.image->row<uint8_t>(0)[0], 5);
}

// Hold-and-modify, six planes: entry 0, then blue, red and green replaced.
TEST(Iff, HoldAndModifyRow)
{
    std::vector<uint8_t> cmap(16 * 3, 0);
    // Chunky values 0x00, 0x1F, 0x2F, 0x3F as six planes of one 16-pixel row.
    const uint8_t values[4] = {0x00, 0x1F, 0x2F, 0x3F};
    std::vector<uint8_t> body(6 * 2, 0);
    for (uint32_t x = 0; x < 4; ++x)
        for (uint32_t p = 0; p < 6; ++p)
            if (values[x] >> p & 1) body[p * 2] |= uint8_t(0x80 >> x);
    std::vector<uint8_t> camg;
    be32(camg, 0x800);
    ResultCode rc;
    Ref<Image> image =
        decodeBytes(form("ILBM", {{"BMHD", bmhd(4, 1, 6)}, {"CMAP", cmap}, {"CAMG", camg}, {"BODY", body}}), &rc, "h.iff");
    ASSERT_EQ(rc, RC_OK);
    const Rgba8 a = pixel(image, 0, 0), b = pixel(image, 1, 0), c = pixel(image, 2, 0), e = pixel(image, 3, 0);
    EXPECT_TRUE(a.r == 0 && a.g == 0 && a.b == 0);
    EXPECT_TRUE(b.r == 0 && b.g == 0 && b.b == 255);
    EXPECT_TRUE(c.r == 255 && c.g == 0 && c.b == 255);
    EXPECT_TRUE(e.r == 255 && e.g == 255 && e.b == 255);
}

// The chunky form, a mask plane stepped over, ByteRun1 with its no-op code.
TEST(Iff, ChunkyFormMaskPlaneAndRunLengths)
{
    std::vector<uint8_t> cmap;
    for (int i = 0; i < 256; ++i) cmap.insert(cmap.end(), {uint8_t(i), uint8_t(255 - i), 7});
    ResultCode rc;
    Ref<Image> chunky =
        decodeBytes(form("PBM ", {{"BMHD", bmhd(3, 2, 8)}, {"CMAP", cmap}, {"BODY", {1, 2, 3, 0, 4, 5, 6, 0}}}), &rc,
                    "c.lbm");
    ASSERT_EQ(rc, RC_OK);
    EXPECT_EQ(chunky->row<uint8_t>(1)[2], 6);
    EXPECT_EQ(pixel(chunky, 2, 1).g, 249);

    // One plane plus its mask, compressed: row = plane (2 bytes) + mask (2 bytes).
    std::vector<uint8_t> rle = {0x80, 0x01, 0xF0, 0x0F, uint8_t(-1), 0xFF};
    Ref<Image> masked =
        decodeBytes(form("ILBM", {{"BMHD", bmhd(16, 1, 1, 1, 1)}, {"CMAP", {0, 0, 0, 255, 255, 255}}, {"BODY", rle}}),
                    &rc, "m.iff");
    ASSERT_EQ(rc, RC_OK);
    EXPECT_EQ(masked->row<uint8_t>(0)[0], 1);
    EXPECT_EQ(masked->row<uint8_t>(0)[4], 0);
    EXPECT_EQ(masked->row<uint8_t>(0)[15], 1);
}

// The chunky form holds one byte per pixel whatever its plane count; with
// fewer than 8 planes its colour map is shorter. ilbmtoppm reads only the
// 8-plane form, so each file is compared with its 8-plane twin (of an even
// width: ilbmtoppm does not pad rows to an even length).
TEST(Iff, ChunkyFormsOfFewerPlanesReadLikeTheirEightPlaneTwins)
{
    QUILLON_REQUIRE_TOOL("ilbmtoppm");
    TempDir dir;
    const uint32_t w = 6, h = 5, rowLength = 6;
    for (uint8_t planes : {1, 2, 4, 6})
        for (uint8_t compression : {0, 1}) {
            const std::string what = std::to_string(planes) + " planes, compression " + std::to_string(compression);
            const uint32_t colours = 1u << planes;
            std::vector<uint8_t> cmap;
            for (uint32_t i = 0; i < colours; ++i)
                cmap.insert(cmap.end(), {uint8_t(i * 255 / (colours - 1)), uint8_t(255 - i * 3), uint8_t(i * 37)});
            std::vector<uint8_t> body;
            for (uint32_t y = 0; y < h; ++y) {
                // A ByteRun1 row: one literal run of the whole row.
                if (compression) body.push_back(uint8_t(rowLength - 1));
                for (uint32_t x = 0; x < rowLength; ++x) body.push_back(uint8_t((x * 5 + y * 3) % colours));
            }
            auto file = [&](uint8_t p) {
                return form("PBM ", {{"BMHD", bmhd(w, h, p, 0, compression)}, {"CMAP", cmap}, {"BODY", body}});
            };
            const fs::path twin = dir / "twin.lbm";
            writeFile(twin, file(8));
            Pnm oracle;
            ASSERT_TRUE(oracleDecode("ilbmtoppm IN", twin, oracle)) << what;
            Decoded d = decodeBytesFull(file(planes), "few.lbm");
            ASSERT_EQ(d.rc, RC_OK) << what;
            EXPECT_EQ(d.reader->bitsPerPixel, planes) << what;
            expectEqualPixels(d.image.get(), oracle, what);
        }
}

TEST(Iff, DamagedAndUnsupportedFiles)
{
    ResultCode rc;
    decodeBytes(form("ILBM", {{"BMHD", bmhd(4, 1, 1, 0, 2)}, {"BODY", {0, 0}}}), &rc, "c2.iff");
    EXPECT_EQ(rc, RC_UNSUPPORTED_SUBFORMAT);
    decodeBytes(form("ILBM", {{"BMHD", bmhd(4, 1, 12)}, {"BODY", {0, 0}}}), &rc, "p12.iff");
    EXPECT_EQ(rc, RC_UNSUPPORTED_SUBFORMAT);
    decodeBytes(form("ILBM", {{"BMHD", bmhd(4, 1, 1)}}), &rc, "nobody.iff");
    EXPECT_EQ(rc, RC_CORRUPT_FILE);
    decodeBytes(form("ILBM", {{"BMHD", {0, 4, 0}}, {"BODY", {0, 0}}}), &rc, "shortbmhd.iff");
    EXPECT_EQ(rc, RC_CORRUPT_FILE);
    // A colour map before the header is not used: the grey ramp stands.
    Ref<Image> image =
        decodeBytes(form("ILBM", {{"CMAP", {9, 9, 9, 8, 8, 8}}, {"BMHD", bmhd(1, 1, 1)}, {"BODY", {0x80, 0}}}), &rc, "o.iff");
    ASSERT_EQ(rc, RC_OK);
    EXPECT_EQ(image->palette()[1], 0xFFFFFFFFu);
    // A raw body that cannot fill one row of the size the header claims is
    // refused from the header, before memory for the picture is asked for.
    setAllocationCap(uint64_t(64) << 20);
    decodeBytes(form("ILBM", {{"BMHD", bmhd(30000, 30000, 8)}, {"BODY", {1, 2, 3, 4}}}), &rc, "lying.iff");
    EXPECT_EQ(rc, RC_CORRUPT_FILE);
    // So is a compressed body that could not fill the rows even as runs of
    // 128 bytes; runs of 128 to the last row are a whole picture.
    std::vector<uint8_t> runs = {0x81, 5, 0x81, 5};
    for (const char* type : {"ILBM", "PBM "}) {
        decodeBytes(form(type, {{"BMHD", bmhd(30000, 30000, 8, 0, 1)}, {"BODY", runs}}), &rc, "few.iff");
        EXPECT_EQ(rc, RC_CORRUPT_FILE) << type;
    }
    setAllocationCap(0);
    runs.resize(1024 * 1024 / 128 * 2, 0x81);
    Decoded whole = decodeBytesFull(form("PBM ", {{"BMHD", bmhd(1024, 1024, 8, 0, 1)}, {"BODY", runs}}), "whole.lbm");
    EXPECT_EQ(whole.rc, RC_OK);
    ASSERT_TRUE(whole.image);
    EXPECT_EQ(whole.image->row<uint8_t>(1023)[1023], 0x81);
    // Larger than memory allows: too large when the body can fill every
    // row, coded or stored; a lie when it cannot, even as runs of 128 (two
    // runs short) or stored (from one row to a row short).
    setAllocationCap(uint64_t(1) << 20);
    EXPECT_EQ(decodeBytesFull(form("PBM ", {{"BMHD", bmhd(1024, 1024, 8, 0, 1)}, {"BODY", runs}}), "l.lbm").rc,
              RC_OUT_OF_MEMORY);
    runs.resize(runs.size() - 4);
    Decoded lie = decodeBytesFull(form("PBM ", {{"BMHD", bmhd(1024, 1024, 8, 0, 1)}, {"BODY", runs}}), "l.lbm");
    EXPECT_EQ(lie.rc, RC_CORRUPT_FILE);
    EXPECT_EQ(lie.image.get(), nullptr);
    std::vector<uint8_t> stored(1100 * 1000, 3);
    EXPECT_EQ(decodeBytesFull(form("PBM ", {{"BMHD", bmhd(1100, 1000, 8)}, {"BODY", stored}}), "l.lbm").rc,
              RC_OUT_OF_MEMORY);
    for (size_t rows : {1, 999}) {
        stored.resize(1100 * rows);
        lie = decodeBytesFull(form("PBM ", {{"BMHD", bmhd(1100, 1000, 8)}, {"BODY", stored}}), "l.lbm");
        EXPECT_EQ(lie.rc, RC_CORRUPT_FILE) << rows;
        EXPECT_EQ(lie.image.get(), nullptr) << rows;
    }
    setAllocationCap(0);
    // A body that ends after the first of three rows.
    Decoded d = decodeBytesFull(form("ILBM", {{"BMHD", bmhd(8, 3, 1)}, {"BODY", {0xFF, 0xFF}}}), "cut.iff");
    EXPECT_EQ(d.rc, RC_CORRUPT_FILE);
    ASSERT_TRUE(d.image);
    EXPECT_EQ(d.image->row<uint8_t>(0)[7], 1);
    EXPECT_EQ(d.image->row<uint8_t>(2)[7], 0);
}
