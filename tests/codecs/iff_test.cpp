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

namespace {

// Uncompressed ILBM rows of `planes` bit planes for the chunky values
// index(x, y).
template <class F>
std::vector<uint8_t> planarBody(uint32_t w, uint32_t h, uint32_t planes, F index)
{
    const uint32_t rowBytes = (w + 15) / 16 * 2;
    std::vector<uint8_t> body;
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t p = 0; p < planes; ++p) {
            std::vector<uint8_t> plane(rowBytes, 0);
            for (uint32_t x = 0; x < w; ++x)
                if (index(x, y) >> p & 1) plane[x / 8] |= uint8_t(0x80 >> (x % 8));
            body.insert(body.end(), plane.begin(), plane.end());
        }
    return body;
}

// Sixteen 12-bit colour registers for one line, the first one red from
// line 1 on.
std::vector<uint8_t> lineRegisters(uint32_t line)
{
    std::vector<uint8_t> v;
    for (uint32_t i = 0; i < 16; ++i) be16(v, line && i == 0 ? 0xF00 : i);
    return v;
}

} // namespace

// Files whose colour registers change from line to line (ilbmtoppm draws
// line 1 of each of these in other colours than line 0): drawn with their
// first palette they would be wrong, so they are refused from the header;
// BEAM and RAST carry the same kind of table per line under other names.
// Without a palette, 24 planes, the changes do not matter.
TEST(Iff, PaletteChangesPerLineAreRefused)
{
    const uint32_t w = 16, h = 2;
    std::vector<uint8_t> pchg;
    // Uncompressed, 12-bit changes, lines 0 and 1, line 1 changed: register
    // 1 becomes red.
    for (uint32_t v : {0u, 1u, 0u, 2u, 1u, 1u, 1u, 1u}) be16(pchg, v);
    be32(pchg, 1);
    be32(pchg, 0x40000000);
    pchg.insert(pchg.end(), {1, 0});
    be16(pchg, 0x1F00);
    std::vector<uint8_t> sham = {0, 0};
    std::vector<uint8_t> ctbl;
    for (uint32_t y = 0; y < h; ++y) {
        const std::vector<uint8_t> line = lineRegisters(y);
        sham.insert(sham.end(), line.begin(), line.end());
        ctbl.insert(ctbl.end(), line.begin(), line.end());
    }
    std::vector<uint8_t> ham;
    be32(ham, 0x800);
    const std::vector<uint8_t> cmap(16 * 3, 0);
    const auto ones = [](uint32_t, uint32_t) { return 1u; };
    struct Case {
        const char* what;
        std::vector<uint8_t> file;
    } cases[] = {
        {"PCHG", form("ILBM", {{"BMHD", bmhd(w, h, 2)}, {"CMAP", cmap}, {"PCHG", pchg}, {"BODY", planarBody(w, h, 2, ones)}})},
        {"PCHG after the body",
         form("ILBM", {{"BMHD", bmhd(w, h, 2)}, {"CMAP", cmap}, {"BODY", planarBody(w, h, 2, ones)}, {"PCHG", pchg}})},
        {"PCHG, chunky form", form("PBM ", {{"BMHD", bmhd(w, h, 8)}, {"CMAP", cmap}, {"PCHG", pchg}, {"BODY", std::vector<uint8_t>(w * h, 1)}})},
        {"SHAM", form("ILBM", {{"BMHD", bmhd(w, h, 6)}, {"CMAP", cmap}, {"CAMG", ham}, {"SHAM", sham},
                               {"BODY", planarBody(w, h, 6, ones)}})},
        {"CTBL", form("ILBM", {{"BMHD", bmhd(w, h, 4)}, {"CMAP", cmap}, {"CTBL", ctbl}, {"BODY", planarBody(w, h, 4, ones)}})},
        {"BEAM", form("ILBM", {{"BMHD", bmhd(w, h, 4)}, {"CMAP", cmap}, {"BEAM", ctbl}, {"BODY", planarBody(w, h, 4, ones)}})},
        {"RAST", form("ILBM", {{"BMHD", bmhd(w, h, 4)}, {"CMAP", cmap}, {"RAST", ctbl}, {"BODY", planarBody(w, h, 4, ones)}})},
    };
    for (const Case& c : cases) {
        Decoded d = decodeBytesFull(c.file, "changes.iff");
        EXPECT_EQ(d.rc, RC_UNSUPPORTED_SUBFORMAT) << c.what;
        EXPECT_EQ(d.image.get(), nullptr) << c.what;
    }
    Decoded deep = decodeBytesFull(
        form("ILBM", {{"BMHD", bmhd(w, h, 24)}, {"PCHG", pchg}, {"BODY", planarBody(w, h, 24, [](uint32_t x, uint32_t) {
                                                                    return 0x0102u * x;
                                                                })}}),
        "deep.iff");
    ASSERT_EQ(deep.rc, RC_OK);
    EXPECT_EQ(pixel(deep.image, 3, 1).g, 3);
}

// A colour map given only in CMYK is drawn in its colours (an RGB map, when
// there is one too, stands first); one given nowhere stays the grey ramp of
// the indices. ilbmtoppm is the reference; it rounds CMYK conversions up
// where ours, as for CMYK pixels of every format, rounds down.
TEST(Iff, CmykColourMapsAndNoColourMap)
{
    QUILLON_REQUIRE_TOOL("ilbmtoppm");
    TempDir dir;
    const uint32_t w = 16, h = 16;
    std::vector<uint8_t> cmyk, cmap;
    for (uint32_t i = 0; i < 256; ++i) {
        cmyk.insert(cmyk.end(), {uint8_t(i * 37), uint8_t(i * 91 + 20), uint8_t(255 - i), uint8_t(i * 53 % 256)});
        cmap.insert(cmap.end(), {uint8_t(i * 13), uint8_t(i * 7 + 50), uint8_t(i * 29)});
    }
    cmyk[4 * 9 + 3] = 255; // black whatever its colour
    std::fill(cmyk.begin() + 4 * 10, cmyk.begin() + 4 * 11, 0); // white
    const auto all = [](uint32_t x, uint32_t y) { return y * 16 + x; };
    std::vector<uint8_t> ehb;
    be32(ehb, 0x80);
    struct Case {
        const char* what;
        std::vector<uint8_t> file;
        int tolerance;
        bool greyRamp = false;
    } cases[] = {
        {"8 planes, CMYK only", form("ILBM", {{"BMHD", bmhd(w, h, 8)}, {"CMYK", cmyk}, {"BODY", planarBody(w, h, 8, all)}}), 1},
        {"4 planes, CMYK before the header",
         form("ILBM", {{"CMYK", cmyk}, {"BMHD", bmhd(w, h, 4)}, {"BODY", planarBody(w, h, 4, all)}}), 1},
        {"extra half-bright, CMYK only",
         form("ILBM", {{"BMHD", bmhd(w, h, 6)},
                       {"CMYK", std::vector<uint8_t>(cmyk.begin(), cmyk.begin() + 32 * 4)},
                       {"CAMG", ehb},
                       {"BODY", planarBody(w, h, 6, all)}}),
         1},
        {"CMYK and CMAP",
         form("ILBM", {{"BMHD", bmhd(w, h, 8)}, {"CMYK", cmyk}, {"CMAP", cmap}, {"BODY", planarBody(w, h, 8, all)}}), 0},
        {"no colour map", form("ILBM", {{"BMHD", bmhd(w, h, 8)}, {"BODY", planarBody(w, h, 8, all)}}), 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path file = dir / "map.iff";
        writeFile(file, c.file);
        Pnm oracle;
        ASSERT_TRUE(oracleDecode("ilbmtoppm IN", file, oracle));
        Decoded d = decodeFileFull(file);
        ASSERT_EQ(d.rc, RC_OK);
        EXPECT_EQ(d.image->pixelFormat, c.greyRamp ? PF_GRAY8 : PF_INDEXED8);
        Ref<Image> rgba = asRgba8(d.image.get());
        int bad = 0;
        for (uint32_t y = 0; y < h; ++y)
            for (uint32_t x = 0; x < w; ++x) {
                const Rgba8 p = rgba->row<Rgba8>(y)[x];
                const int got[3] = {p.r, p.g, p.b};
                for (uint32_t k = 0; k < 3; ++k)
                    if (std::abs(got[k] - int(oracle.at(x, y, k))) > c.tolerance && ++bad < 4)
                        ADD_FAILURE() << "pixel " << x << "," << y << " channel " << k << ": " << got[k] << " for "
                                      << oracle.at(x, y, k);
            }
        EXPECT_EQ(bad, 0);
    }
}

namespace {

std::vector<uint8_t> chunkBytes(const char* id, const std::vector<uint8_t>& data)
{
    std::vector<uint8_t> out(id, id + 4);
    be32(out, uint32_t(data.size()));
    out.insert(out.end(), data.begin(), data.end());
    if (data.size() & 1) out.push_back(0);
    return out;
}

} // namespace

// The FORM's length says where the picture ends: chunks after it (a tool's
// trailer, another file run on) are not read, though a later colour map or
// body would change the picture, and a body that runs past it is cut there.
// ilbmtoppm reads the same picture.
TEST(Iff, NothingAfterTheFormsEndIsRead)
{
    QUILLON_REQUIRE_TOOL("ilbmtoppm");
    TempDir dir;
    std::vector<uint8_t> cmap;
    for (uint32_t i = 0; i < 8; ++i) cmap.insert(cmap.end(), {uint8_t(i * 30), uint8_t(200 - i * 20), uint8_t(i * 7 + 1)});
    const auto index = [](uint32_t x, uint32_t y) { return (x + y) % 8; };
    const std::vector<uint8_t> sound =
        form("ILBM", {{"BMHD", bmhd(16, 2, 3)}, {"CMAP", cmap}, {"BODY", planarBody(16, 2, 3, index)}});
    ASSERT_GT(sound.size(), 40u);  // nothing padded after the form
    std::vector<uint8_t> trailed = sound;
    for (const std::vector<uint8_t>& c :
         {chunkBytes("CMAP", std::vector<uint8_t>(8 * 3, 0xEE)),
          chunkBytes("BODY", planarBody(16, 2, 3, [](uint32_t, uint32_t) { return 7u; }))})
        trailed.insert(trailed.end(), c.begin(), c.end());
    writeFile(dir / "trailed.iff", trailed);
    Pnm oracle;
    ASSERT_TRUE(oracleDecode("ilbmtoppm IN", dir / "trailed.iff", oracle));
    Decoded d = decodeBytesFull(trailed, "trailed.iff");
    ASSERT_EQ(d.rc, RC_OK);
    expectEqualPixels(d.image.get(), oracle, "trailed");
    for (uint32_t y = 0; y < 2; ++y)
        for (uint32_t x = 0; x < 16; ++x) {
            const Rgba8 p = pixel(d.image, x, y);
            const uint8_t* want = &cmap[3 * index(x, y)];
            ASSERT_TRUE(p.r == want[0] && p.g == want[1] && p.b == want[2]) << x << "," << y;
        }

    // The form ends after the body's first row; the second row lies in the
    // file after it, and stays unread.
    std::vector<uint8_t> cut = sound;
    const uint32_t rowBytes = 3 * 2;
    const uint32_t formLength = uint32_t(sound.size() - 8 - rowBytes);
    cut[4] = uint8_t(formLength >> 24), cut[5] = uint8_t(formLength >> 16), cut[6] = uint8_t(formLength >> 8),
    cut[7] = uint8_t(formLength);
    Decoded c = decodeBytesFull(cut, "cut.iff");
    EXPECT_EQ(c.rc, RC_CORRUPT_FILE);
    ASSERT_TRUE(c.image);
    for (uint32_t x = 0; x < 16; ++x) {
        EXPECT_EQ(c.image->row<uint8_t>(0)[x], index(x, 0)) << x;
        EXPECT_EQ(c.image->row<uint8_t>(1)[x], 0) << x;
    }
}

// A CMYK colour map holds four bytes an entry: one of four entries gives
// four colours, the other entries of a three-plane palette stay the grey
// ramp, and nothing past the chunk is read, whether a chunk follows it or
// it ends the file (read from an exact-size buffer, so that a read past
// the end shows in the sanitizer build).
TEST(Iff, CmykColourMapEntriesAreFourBytes)
{
    const std::vector<uint8_t> cmyk = {0, 0, 0, 0, 255, 0, 0, 0, 0, 255, 0, 0, 0, 0, 255, 0};
    const std::vector<uint8_t> body = planarBody(16, 1, 3, [](uint32_t x, uint32_t) { return x % 8; });
    struct Case {
        const char* what;
        std::vector<uint8_t> file;
    } cases[] = {
        {"before the body", form("ILBM", {{"BMHD", bmhd(16, 1, 3)}, {"CMYK", cmyk}, {"BODY", body}})},
        {"ending the file", form("ILBM", {{"BMHD", bmhd(16, 1, 3)}, {"BODY", body}, {"CMYK", cmyk}})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_GT(c.file.size(), 40u);  // nothing padded after the map
        Decoded d = decodeBytesFull(c.file, "cmyk.iff");
        ASSERT_EQ(d.rc, RC_OK);
        const uint32_t colours[4][3] = {{255, 255, 255}, {0, 255, 255}, {255, 0, 255}, {255, 255, 0}};
        for (uint32_t x = 0; x < 8; ++x) {
            const Rgba8 p = pixel(d.image, x, 0);
            if (x < 4) {
                EXPECT_TRUE(p.r == colours[x][0] && p.g == colours[x][1] && p.b == colours[x][2]) << x;
            } else {
                const uint32_t grey = x * 255 / 7;
                EXPECT_TRUE(p.r == grey && p.g == grey && p.b == grey)
                    << x << ": " << int(p.r) << "," << int(p.g) << "," << int(p.b);
            }
        }
    }
}

// A CMYK entry's red is 255 x (1 - C/255) x (1 - K/255), and likewise green
// and blue with M and Y, rounded down as CMYK pixels of every format are
// (ilbmtoppm rounds up, so it is no reference for the last step).
TEST(Iff, CmykColourMapRoundsDown)
{
    std::vector<uint8_t> cmyk;
    uint32_t seed = 12345;
    for (uint32_t i = 0; i < 256 * 4; ++i) {
        seed = seed * 1103515245u + 12345u;
        cmyk.push_back(uint8_t(seed >> 16));
    }
    Decoded d = decodeBytesFull(
        form("ILBM", {{"BMHD", bmhd(16, 16, 8)}, {"CMYK", cmyk},
                      {"BODY", planarBody(16, 16, 8, [](uint32_t x, uint32_t y) { return y * 16 + x; })}}),
        "round.iff");
    ASSERT_EQ(d.rc, RC_OK);
    ASSERT_EQ(d.image->pixelFormat, PF_INDEXED8);
    int fractional = 0, bad = 0;
    for (uint32_t i = 0; i < 256; ++i) {
        const uint32_t argb = d.image->palette()[i];
        const uint32_t got[3] = {argb >> 16 & 255, argb >> 8 & 255, argb & 255};
        const uint32_t k = cmyk[4 * i + 3];
        for (uint32_t c = 0; c < 3; ++c) {
            // The largest v with v x 255 at most (255 - C)(255 - K) x 255 / 255.
            const uint32_t exact255 = (255 - cmyk[4 * i + c]) * (255 - k);
            fractional += exact255 % 255 != 0;
            if (!(got[c] * 255 <= exact255 && exact255 < (got[c] + 1) * 255) && ++bad < 4)
                ADD_FAILURE() << "entry " << i << " channel " << c << ": " << got[c] << " for " << exact255 << "/255";
        }
    }
    EXPECT_EQ(bad, 0);
    EXPECT_GT(fractional, 500);
}
