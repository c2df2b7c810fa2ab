#include "codecs/main/fax.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/byte_cursor.h"
#include "platform/memory.h"
#include "support/test_support.h"

using namespace quillon;
using namespace quillon::test;

namespace {

// What the fax tests need from a TIFF file: its size, coding tags and the
// bytes of each strip.
struct TiffStrips {
    uint32_t width = 0, height = 0, compression = 1, fillOrder = 1, t4Options = 0, rowsPerStrip = 0;
    std::vector<std::vector<uint8_t>> strips;
};

std::vector<uint32_t> tagValues(ByteCursor& file, bool little, uint16_t type, uint32_t count, size_t valuePos)
{
    std::vector<uint32_t> values;
    size_t unit = type == 3 ? 2 : 4;
    if (type != 3 && type != 4) return values;
    size_t pos = valuePos;
    ByteCursor at = file;
    if (unit * count > 4) {
        at.seek(valuePos);
        pos = little ? at.u32le() : at.u32be();
    }
    at.seek(pos);
    for (uint32_t i = 0; i < count && !at.overrun(); ++i)
        values.push_back(unit == 2 ? (little ? at.u16le() : at.u16be()) : (little ? at.u32le() : at.u32be()));
    return values;
}

bool readTiffStrips(const std::filesystem::path& path, TiffStrips& out)
{
    std::vector<uint8_t> bytes = readFile(path);
    ByteCursor file(bytes.data(), bytes.size());
    uint16_t order = file.u16le();
    bool little = order == 0x4949;
    if (!little && order != 0x4D4D) return false;
    file.skip(2);
    file.seek(little ? file.u32le() : file.u32be());
    uint16_t entries = little ? file.u16le() : file.u16be();
    std::vector<uint32_t> offsets, counts;
    for (uint16_t i = 0; i < entries; ++i) {
        uint16_t tag = little ? file.u16le() : file.u16be();
        uint16_t type = little ? file.u16le() : file.u16be();
        uint32_t count = little ? file.u32le() : file.u32be();
        size_t valuePos = file.pos();
        file.skip(4);
        std::vector<uint32_t> v = tagValues(file, little, type, count, valuePos);
        if (v.empty()) continue;
        switch (tag) {
        case 256: out.width = v[0]; break;
        case 257: out.height = v[0]; break;
        case 259: out.compression = v[0]; break;
        case 266: out.fillOrder = v[0]; break;
        case 273: offsets = v; break;
        case 278: out.rowsPerStrip = v[0]; break;
        case 279: counts = v; break;
        case 292: out.t4Options = v[0]; break;
        }
    }
    if (file.overrun() || offsets.size() != counts.size() || offsets.empty()) return false;
    if (out.rowsPerStrip == 0 || out.rowsPerStrip > out.height) out.rowsPerStrip = out.height;
    for (size_t i = 0; i < offsets.size(); ++i) {
        if (uint64_t(offsets[i]) + counts[i] > bytes.size()) return false;
        out.strips.emplace_back(bytes.begin() + offsets[i], bytes.begin() + offsets[i] + counts[i]);
    }
    return true;
}

uint32_t rowBytes(uint32_t width) { return (width + 7) / 8; }

// Our decoding of every strip of a fax-coded TIFF; *allRows is false when
// any strip stopped early.
std::vector<uint8_t> decodeTiff(const TiffStrips& t, bool* allRows)
{
    FaxDecoder fax;
    uint32_t bpr = rowBytes(t.width);
    std::vector<uint8_t> rows(size_t(bpr) * t.height, 0xA5);
    *allRows = false;
    if (faxDecoderInit(fax, t.compression, t.t4Options, bpr, t.width, t.fillOrder == 2 ? FAX_FILL_LSB_FIRST : 0) !=
        RC_OK)
        return {};
    *allRows = true;
    for (size_t s = 0; s < t.strips.size(); ++s) {
        uint32_t first = uint32_t(s) * t.rowsPerStrip;
        if (first >= t.height) break;
        uint32_t count = std::min(t.rowsPerStrip, t.height - first);
        fax.setInput(t.strips[s].data(), t.strips[s].size());
        if (fax.decodeRows(rows.data() + size_t(first) * bpr, size_t(count) * bpr) != 1) *allRows = false;
    }
    return rows;
}

std::vector<uint8_t> joinStrips(const TiffStrips& t)
{
    std::vector<uint8_t> all;
    for (const auto& s : t.strips) all.insert(all.end(), s.begin(), s.end());
    all.resize(size_t(rowBytes(t.width)) * t.height);
    return all;
}

// First row where two packed images differ, or -1.
long firstDifferentRow(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, uint32_t bpr)
{
    for (size_t i = 0; i < std::min(a.size(), b.size()); ++i)
        if (a[i] != b[i]) return long(i / bpr);
    return a.size() == b.size() ? -1 : long(std::min(a.size(), b.size()) / bpr);
}

// A bi-level test page of the given width: lines of text, a dithered ramp,
// dithered noise (runs of every length), solid black and white bands (the
// long make-up codes) and more text. Written as an uncompressed
// min-is-white TIFF.
bool makePage(const TempDir& dir, uint32_t width, const std::string& name)
{
    std::string w = std::to_string(width);
    std::string d = dir.path().string() + "/";
    std::string cmd =
        "set -e; cd " + shellQuote(d) + ";"
        "pbmtext -builtin fixed 'Quillon fax page: The quick brown fox jumps over the lazy dog 0123456789' "
        "| pamcut -left 0 -width " + w + " -pad > t1.pbm;"
        "pgmramp -diagonal " + w + " 40 | pamditherbw -floyd | pamtopnm > d1.pbm;"
        "pgmnoise -randomseed=7 " + w + " 24 | pamditherbw -threshold | pamtopnm > d2.pbm;"
        "pbmmake -black " + w + " 3 > b.pbm; pbmmake -white " + w + " 4 > w.pbm;"
        "pbmtext -builtin bdf 'Second line of text, with a wider font' "
        "| pamcut -left 0 -width " + w + " -pad > t2.pbm;"
        "pamcat -tb t1.pbm d1.pbm w.pbm d2.pbm b.pbm t2.pbm w.pbm b.pbm | pamtopnm > " + name + ".pbm;"
        "pnmtotiff -miniswhite " + name + ".pbm > " + name + ".tif 2>/dev/null";
    return run(cmd) == 0;
}

// Bit strings written first bit first, for hand-made coded data.
struct BitWriter {
    std::vector<uint8_t> bytes;
    int used = 8;
    void put(const std::string& bits)
    {
        for (char c : bits) {
            if (used == 8) {
                bytes.push_back(0);
                used = 0;
            }
            if (c == '1') bytes.back() |= uint8_t(0x80 >> used);
            ++used;
        }
    }
};

const char* kEofb = "000000000001000000000001";

} // namespace

TEST(FaxDecoder, RefusesBadParameters)
{
    FaxDecoder fax;
    EXPECT_EQ(faxDecoderInit(fax, 5, 0, 2, 16, 0), RC_INVALID_PARAMETER);
    EXPECT_EQ(faxDecoderInit(fax, 1, 0, 2, 16, 0), RC_INVALID_PARAMETER);
    EXPECT_EQ(faxDecoderInit(fax, FAX_MODE_T6, 0, 1, 16, 0), RC_INVALID_PARAMETER);
    EXPECT_EQ(faxDecoderInit(fax, FAX_MODE_T6, 0, 0, 0, 0), RC_INVALID_PARAMETER);
    EXPECT_EQ(faxDecoderInit(fax, FAX_MODE_T6, 0, 0x20000000, 0xFFFFFFFFu, 0), RC_INVALID_PARAMETER);
    EXPECT_EQ(faxDecoderInit(fax, FAX_MODE_T6, 0, 2, 16, 0), RC_OK);
    // A failed second preparation leaves a decoder that decodes nothing,
    // not one that works on freed lists.
    setAllocationCap(4096);
    EXPECT_EQ(faxDecoderInit(fax, FAX_MODE_T6, 0, 100000, 800000, 0), RC_OUT_OF_MEMORY);
    setAllocationCap(0);
    const uint8_t data[] = {0xFF, 0xFF};
    uint8_t rows[4] = {1, 2, 3, 4};
    fax.setInput(data, sizeof data);
    EXPECT_EQ(fax.decodeRows(rows, sizeof rows), 0);
    for (uint8_t b : rows) EXPECT_EQ(b, 0);
}

// Every coding tiffcp offers, in both fill orders, at widths that end on odd
// bits and need the long make-up codes: our rows must equal libtiff's own
// decoding of the same file exactly.
TEST(FaxDecoder, MatchesLibtiffForEveryCodingAndFillOrder)
{
    QUILLON_REQUIRE_TOOL("tiffcp");
    QUILLON_REQUIRE_TOOL("pbmtext");
    TempDir dir;
    for (uint32_t width : {1u, 1727u, 2001u}) {
        std::string page = "page" + std::to_string(width);
        ASSERT_TRUE(makePage(dir, width, page)) << width;
        for (const char* coding : {"g3", "g3:2d", "g3:fill", "g4"}) {
            for (const char* fill : {"msb2lsb", "lsb2msb"}) {
                SCOPED_TRACE(std::to_string(width) + " " + coding + " " + fill);
                std::string coded = (dir / "coded.tif").string(), plain = (dir / "plain.tif").string();
                ASSERT_EQ(run("tiffcp -c " + std::string(coding) + " -f " + fill + " " +
                              shellQuote((dir / (page + ".tif")).string()) + " " + shellQuote(coded)),
                          0);
                // libtiff keeps the fill order on uncompressed data too; ask for
                // the usual one so the strip is plain rows.
                ASSERT_EQ(run("tiffcp -c none -f msb2lsb " + shellQuote(coded) + " " + shellQuote(plain)), 0);
                TiffStrips c, p;
                ASSERT_TRUE(readTiffStrips(coded, c));
                ASSERT_TRUE(readTiffStrips(plain, p));
                ASSERT_EQ(c.fillOrder, std::string(fill) == "lsb2msb" ? 2u : 1u);
                ASSERT_EQ(c.compression, std::string(coding) == "g4" ? 4u : 3u);
                bool allRows = false;
                std::vector<uint8_t> ours = decodeTiff(c, &allRows);
                EXPECT_TRUE(allRows);
                EXPECT_EQ(firstDifferentRow(ours, joinStrips(p), rowBytes(width)), -1);
            }
        }
    }
}

// Modified Huffman rows (byte-aligned) and their 16-bit aligned variant,
// written by libtiff's own coders through the test helper.
TEST(FaxDecoder, ModifiedHuffmanRowsFromLibtiff)
{
    QUILLON_REQUIRE_TOOL("tiffcp");
    QUILLON_REQUIRE_TOOL("pbmtext");
    const std::string helper = std::string(QUILLON_TEST_TOOLS) + "/fax_rle_tiff";
    QUILLON_REQUIRE_TOOL(helper);
    TempDir dir;
    for (uint32_t width : {1u, 1727u, 2001u}) {
        std::string page = "page" + std::to_string(width);
        ASSERT_TRUE(makePage(dir, width, page));
        for (int mode : {2, 32771}) {
            for (int fill : {1, 2}) {
                SCOPED_TRACE(std::to_string(width) + " mode " + std::to_string(mode) + " fill " + std::to_string(fill));
                std::string coded = (dir / "coded.tif").string();
                ASSERT_EQ(run(shellQuote(helper) + " " + shellQuote((dir / (page + ".tif")).string()) + " " +
                              shellQuote(coded) + " " + std::to_string(mode) + " " + std::to_string(fill)),
                          0);
                TiffStrips c, p;
                ASSERT_TRUE(readTiffStrips(coded, c));
                // libtiff 4.5 cannot read its own word-aligned rows one pixel
                // wide back, so the reference is the page that was coded.
                ASSERT_TRUE(readTiffStrips(dir / (page + ".tif"), p));
                ASSERT_EQ(c.compression, uint32_t(mode));
                bool allRows = false;
                std::vector<uint8_t> ours = decodeTiff(c, &allRows);
                EXPECT_TRUE(allRows);
                EXPECT_EQ(firstDifferentRow(ours, joinStrips(p), rowBytes(width)), -1);
            }
        }
    }
}

// Group 4 data damaged after a known row: the rows before it are exact, the
// decoder says rows are missing, and every row it did not reach is white.
TEST(FaxDecoder, DamagedGroup4KeepsEarlierRows)
{
    QUILLON_REQUIRE_TOOL("tiffcp");
    QUILLON_REQUIRE_TOOL("pbmtext");
    TempDir dir;
    const uint32_t width = 1727;
    ASSERT_TRUE(makePage(dir, width, "page"));
    std::string d = dir.path().string() + "/";
    // The top rows alone, coded the same way: where their coding ends in
    // the whole page's data is where damage may begin without touching them.
    const uint32_t keep = 60;
    ASSERT_EQ(run("cd " + shellQuote(d) + " && pamcut -top 0 -height " + std::to_string(keep) +
                  " page.pbm | pnmtotiff -miniswhite > top.tif 2>/dev/null && "
                  "tiffcp -c g4 -r 100000 top.tif top4.tif && tiffcp -c g4 -r 100000 page.tif page4.tif && "
                  "tiffcp -c none page4.tif plain.tif"),
              0);
    TiffStrips top, whole, plain;
    ASSERT_TRUE(readTiffStrips(dir / "top4.tif", top));
    ASSERT_TRUE(readTiffStrips(dir / "page4.tif", whole));
    ASSERT_TRUE(readTiffStrips(dir / "plain.tif", plain));
    ASSERT_EQ(whole.strips.size(), 1u);
    const std::vector<uint8_t>& full = whole.strips[0];
    size_t common = 0;
    while (common < top.strips[0].size() && common < full.size() && top.strips[0][common] == full[common]) ++common;
    // The byte after the common prefix holds the last bits of the kept rows.
    size_t damageAt = common + 1;
    ASSERT_LT(damageAt + 100, full.size());
    std::vector<uint8_t> expected = joinStrips(plain);
    const uint32_t bpr = rowBytes(width);

    std::mt19937 rng(13);
    for (int variant = 0; variant < 4; ++variant) {
        SCOPED_TRACE(variant);
        std::vector<uint8_t> data = full;
        if (variant == 0) data.resize(damageAt); // cut short
        for (size_t i = damageAt; i < data.size(); ++i) {
            if (variant == 1) data[i] = 0;                     // zeros: an early EOFB
            if (variant == 2) data[i] = uint8_t(rng());        // noise
            if (variant == 3 && (i - damageAt) % 7 == 0) data[i] ^= 0x5A; // scattered flips
        }
        // Decoded over two different fillings: a row left untouched would
        // show the filling.
        std::vector<uint8_t> rows[2];
        int result[2];
        for (int pass = 0; pass < 2; ++pass) {
            FaxDecoder fax;
            ASSERT_EQ(faxDecoderInit(fax, FAX_MODE_T6, 0, bpr, width, 0), RC_OK);
            rows[pass].assign(expected.size(), pass ? 0x5A : 0xA5);
            fax.setInput(data.data(), data.size());
            result[pass] = fax.decodeRows(rows[pass].data(), rows[pass].size());
        }
        EXPECT_EQ(rows[0], rows[1]);
        EXPECT_EQ(result[0], result[1]);
        long firstBad = firstDifferentRow(rows[0], expected, bpr);
        EXPECT_TRUE(firstBad == -1 || firstBad >= long(keep)) << firstBad;
        if (variant <= 1) {
            EXPECT_EQ(result[0], 0);
            // Everything after the damage is white.
            for (size_t i = size_t(keep + 1) * bpr; i < rows[0].size(); ++i) ASSERT_EQ(rows[0][i], 0) << i;
        }
    }
}

// Hand-made Group 4 rows, 16 pixels wide, for the faults no encoder makes.
TEST(FaxDecoder, HostileTwoDimensionalCodes)
{
    const uint32_t width = 16, bpr = 2;
    auto decode = [&](const BitWriter& w, uint32_t rowsWanted, int* result) {
        FaxDecoder fax;
        EXPECT_EQ(faxDecoderInit(fax, FAX_MODE_T6, 0, bpr, width, 0), RC_OK);
        // A canary after the rows catches painting past the last row.
        std::vector<uint8_t> rows(rowsWanted * bpr + 4, 0xA5);
        fax.setInput(w.bytes.data(), w.bytes.size());
        *result = fax.decodeRows(rows.data(), rowsWanted * bpr);
        for (int i = 0; i < 4; ++i) EXPECT_EQ(rows[rowsWanted * bpr + i], 0xA5);
        rows.resize(rowsWanted * bpr);
        return rows;
    };
    const std::string H = "001", V0 = "1", VR3 = "0000011", VL3 = "0000010";
    const std::string W0 = "00110101", W1 = "000111", W2 = "0111", W4 = "1011", W6 = "1110", W8 = "10011",
                      W10 = "00111";
    const std::string B0 = "0000110111", B1 = "010", B2 = "11", B4 = "011", B5 = "0011", B12 = "0000111";
    int result = -1;

    {
        SCOPED_TRACE("a change left of a0 makes the row invalid");
        BitWriter w;
        w.put(H + W4 + B4 + V0);   // row 0: ....####........
        w.put(H + W2 + B1 + VL3);  // row 1: b1 = 4, a1 = 1 < a0 = 3
        w.put(V0 + V0 + V0 + V0);  // would be a copy of row 0 if decoding went on
        w.put(kEofb);
        std::vector<uint8_t> rows = decode(w, 4, &result);
        EXPECT_EQ(result, 0);
        EXPECT_EQ(rows, (std::vector<uint8_t>{0x0F, 0x00, 0x20, 0x00, 0, 0, 0, 0}));
    }
    {
        SCOPED_TRACE("a change beyond the width is clamped");
        BitWriter w;
        w.put(H + W10 + B5 + V0); // row 0: black 10..15
        w.put(V0 + VR3);          // row 1: black from 10 to b1 = 15 + 3 = 18 -> 16
        w.put(V0 + V0);           // row 2: a copy of row 1
        w.put(kEofb);
        std::vector<uint8_t> rows = decode(w, 3, &result);
        EXPECT_EQ(result, 1);
        EXPECT_EQ(rows, (std::vector<uint8_t>{0x00, 0x3E, 0x00, 0x3F, 0x00, 0x3F}));
    }
    {
        SCOPED_TRACE("zero-length runs cannot overflow the row's list");
        BitWriter w;
        for (int i = 0; i < 40; ++i) w.put(H + W0 + B0);
        w.put(V0);
        w.put(V0);
        w.put(kEofb);
        std::vector<uint8_t> rows = decode(w, 2, &result);
        EXPECT_EQ(result, 0);
        EXPECT_EQ(rows, (std::vector<uint8_t>{0, 0, 0, 0}));
    }
    {
        SCOPED_TRACE("every reference row ends in sentinels, not stale entries");
        BitWriter w;
        w.put(H + W1 + B1 + H + W8 + B2 + V0); // row 0: changes 1 2 10 12 16
        w.put(V0 + V0 + V0 + V0 + V0);        // row 1: copy of row 0
        w.put(H + W4 + B12);                  // row 2: changes 4 16, in row 0's list
        w.put(H + W6 + B2 + V0);              // row 3: b1 after a0 = 8 must be the end
        w.put(kEofb);
        std::vector<uint8_t> rows = decode(w, 4, &result);
        EXPECT_EQ(result, 1);
        EXPECT_EQ(rows, (std::vector<uint8_t>{0x40, 0x30, 0x40, 0x30, 0x0F, 0xFF, 0x03, 0x00}));
    }
    {
        SCOPED_TRACE("an early EOFB leaves the rows after it white");
        BitWriter w;
        w.put(H + W4 + B4 + V0);
        w.put(kEofb);
        std::vector<uint8_t> rows = decode(w, 3, &result);
        EXPECT_EQ(result, 0);
        EXPECT_EQ(rows, (std::vector<uint8_t>{0x0F, 0x00, 0, 0, 0, 0}));
    }
}

// T.4 rows resynchronise at the next EOL after a bad two-dimensional row;
// Modified Huffman data with a bad code stops quietly and whitens the rest.
TEST(FaxDecoder, BadRowsInOneAndTwoDimensionalData)
{
    const uint32_t width = 16, bpr = 2;
    const std::string EOL = "000000000001";
    const std::string W4 = "1011", B4 = "011", W8 = "10011", W16 = "101010", B12 = "0000111";
    {
        BitWriter w;
        w.put(EOL + "1" + W4 + B4 + W8);       // 1-D row
        w.put(EOL + "0" + "0000010" + "1");    // 2-D row: VL3 at b1 = 4 gives 1; then V0
        w.put("0000");                         // fill bits before the EOL
        w.put(EOL + "1" + W4 + B12);           // 1-D row
        w.put(EOL + "0" + "001" + "000000001"); // 2-D: H then no white code
        w.put(EOL + "0" + "1" + "1");          // 2-D: V0 V0 against a white row
        FaxDecoder fax;
        ASSERT_EQ(faxDecoderInit(fax, FAX_MODE_T4, FAX_T4_2D, bpr, width, 0), RC_OK);
        std::vector<uint8_t> rows(5 * bpr, 0xA5);
        fax.setInput(w.bytes.data(), w.bytes.size());
        EXPECT_EQ(fax.decodeRows(rows.data(), rows.size()), 1);
        EXPECT_EQ(rows, (std::vector<uint8_t>{0x0F, 0x00, 0x7F, 0x00, 0x0F, 0xFF, 0x00, 0x00, 0x00, 0x00}));
    }
    {
        BitWriter w;
        w.put(W16 + "00");         // row 0: white, filled to the byte
        w.put(W4 + B4 + W8 + "0000"); // row 1
        w.put("0000000011111111"); // no white code is eight zeros and a one
        FaxDecoder fax;
        ASSERT_EQ(faxDecoderInit(fax, FAX_MODE_MH, 0, bpr, width, 0), RC_OK);
        std::vector<uint8_t> rows(4 * bpr, 0xA5);
        fax.setInput(w.bytes.data(), w.bytes.size());
        EXPECT_EQ(fax.decodeRows(rows.data(), rows.size()), 1);
        EXPECT_EQ(rows, (std::vector<uint8_t>{0x00, 0x00, 0x0F, 0x00, 0x00, 0x00, 0x00, 0x00}));
    }
}

// Data that ends before the rows do, inside the last row or before a row
// begins, stops every coding with 0, whatever the zeros made up past its end
// would decode as; the rows it did give are kept.
TEST(FaxDecoder, DataThatEndsBeforeTheRowsIsReportedInEveryCoding)
{
    const uint32_t width = 16, bpr = 2;
    const std::string EOL = "000000000001", H = "001", V0 = "1";
    const std::string W0 = "00110101", W4 = "1011", B4 = "011", W8 = "10011", B12 = "0000111";
    // ....####........ then ....############, as rows of each coding.
    struct Coding {
        const char* name;
        uint32_t mode, options;
        std::string first, second;
    } codings[] = {
        {"Modified Huffman", FAX_MODE_MH, 0, W4 + B4 + W8 + "0000", W4 + B12 + "00000"},
        {"word-aligned", FAX_MODE_MH_WORD, 0, W4 + B4 + W8 + "0000", W4 + B12 + "00000"},
        {"T.4", FAX_MODE_T4, 0, EOL + W4 + B4 + W8, EOL + W4 + B12},
        {"T.4 2-D", FAX_MODE_T4, FAX_T4_2D, EOL + "1" + W4 + B4 + W8, EOL + "0" + V0 + H + B12 + W0},
        {"T.6", FAX_MODE_T6, 0, H + W4 + B4 + V0, V0 + H + B12 + W0},
    };
    const std::vector<uint8_t> expected = {0x0F, 0x00, 0x0F, 0xFF};
    for (const Coding& c : codings) {
        SCOPED_TRACE(c.name);
        BitWriter w;
        w.put(c.first + c.second);
        const size_t firstBytes = c.first.size() / 8;  // bytes holding nothing but the first row
        for (size_t n = 0; n <= w.bytes.size(); ++n) {
            SCOPED_TRACE(n);
            FaxDecoder fax;
            ASSERT_EQ(faxDecoderInit(fax, c.mode, c.options, bpr, width, 0), RC_OK);
            std::vector<uint8_t> rows(4, 0xA5);
            fax.setInput(w.bytes.data(), n);
            const int result = fax.decodeRows(rows.data(), rows.size());
            if (n == w.bytes.size()) {
                EXPECT_EQ(result, 1);
                EXPECT_EQ(rows, expected);
                continue;
            }
            EXPECT_EQ(result, 0);
            if (n > firstBytes) {
                EXPECT_EQ(std::vector<uint8_t>(rows.begin(), rows.begin() + 2),
                          std::vector<uint8_t>(expected.begin(), expected.begin() + 2));
            }
        }
    }
}
