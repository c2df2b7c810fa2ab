// The JPEG decoder on patched and hand-made streams: the colour-space
// decision, refusals of malformed headers and tables, damaged and cut data.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "jpeg_decoder_test_util.h"
#include "platform/memory.h"

using namespace quillon;
using namespace quillon::test;

namespace {

using Bytes = std::vector<uint8_t>;

// Offset of the first marker `code` in the header part of a stream (the
// 0xFF), or npos.
size_t findMarker(const Bytes& jpg, uint8_t code)
{
    size_t i = 2;
    while (i + 4 <= jpg.size() && jpg[i] == 0xFF) {
        if (jpg[i + 1] == code) return i;
        if (jpg[i + 1] == 0xDA) break;
        i += 2 + ((jpg[i + 2] << 8) | jpg[i + 3]);
    }
    return std::string::npos;
}

size_t findFrame(const Bytes& jpg)
{
    for (uint8_t code : {0xC0, 0xC1, 0xC2})
        if (size_t at = findMarker(jpg, code); at != std::string::npos) return at;
    return std::string::npos;
}

Bytes withoutSegment(const Bytes& jpg, uint8_t code)
{
    size_t at = findMarker(jpg, code);
    if (at == std::string::npos) return jpg;
    size_t len = (jpg[at + 2] << 8) | jpg[at + 3];
    Bytes out(jpg.begin(), jpg.begin() + at);
    out.insert(out.end(), jpg.begin() + at + 2 + len, jpg.end());
    return out;
}

// An Adobe APP14 segment with the given transform, right after SOI.
Bytes withAdobe(const Bytes& jpg, int transform)
{
    Bytes seg = {0xFF, 0xEE, 0x00, 0x0E, 'A', 'd', 'o', 'b', 'e', 0x00, 0x64, 0x00, 0x00, 0x00, 0x00,
                 uint8_t(transform)};
    Bytes out = withoutSegment(jpg, 0xEE);
    out.insert(out.begin() + 2, seg.begin(), seg.end());
    return out;
}

Bytes withIds(Bytes jpg, std::initializer_list<uint8_t> ids)
{
    size_t f = findFrame(jpg);
    size_t i = 0;
    for (uint8_t id : ids) jpg[f + 10 + 3 * i++] = id;
    // The scan headers name the components by id too.
    for (size_t p = f; p + 1 < jpg.size(); ++p)
        if (jpg[p] == 0xFF && jpg[p + 1] == 0xDA) {
            uint32_t ns = jpg[p + 4];
            for (uint32_t k = 0; k < ns; ++k) {
                uint8_t old = jpg[p + 5 + 2 * k];
                jpg[p + 5 + 2 * k] = *(ids.begin() + (old - 1));
            }
            break;
        }
    return jpg;
}

ResultCode headerOf(const Bytes& jpg)
{
    JpegDecoder* d = jpegDecoderCreate();
    d->setInput(jpg.data(), jpg.size());
    ResultCode rc = d->readHeader();
    delete d;
    return rc;
}

uint8_t reportedSpace(const Bytes& jpg, bool convert)
{
    JpegDecodeOptions o;
    o.convert = convert;
    JpegOutput out = jpegDecodeBytes(jpg, o);
    EXPECT_EQ(out.rc, RC_OK);
    return out.colourSpace;
}

class JpegStreams : public ::testing::Test {
protected:
    void SetUp() override { QUILLON_REQUIRE_TOOL("cjpeg"); }
    TempDir dir;
};

} // namespace

TEST_F(JpegStreams, ColourSpaceFromComponentsAdobeTransformAndIds)
{
    Pnm pic = photoCrop(24, 16);
    Bytes ycc = cjpegBytes(dir, pic, "-sample 1x1");
    Bytes grey = cjpegBytes(dir, pic, "-grayscale -sample 2x2");
    ASSERT_FALSE(ycc.empty());
    // Raw samples: the frame's own colour space.
    EXPECT_EQ(reportedSpace(ycc, false), JPEG_CS_YCBCR);
    EXPECT_EQ(reportedSpace(withIds(ycc, {'R', 'G', 'B'}), false), JPEG_CS_RGB);
    EXPECT_EQ(reportedSpace(withIds(ycc, {7, 8, 9}), false), JPEG_CS_YCBCR);
    EXPECT_EQ(reportedSpace(withAdobe(ycc, 0), false), JPEG_CS_RGB);
    EXPECT_EQ(reportedSpace(withAdobe(withIds(ycc, {'R', 'G', 'B'}), 1), false), JPEG_CS_YCBCR);
    EXPECT_EQ(reportedSpace(withAdobe(withIds(ycc, {'R', 'G', 'B'}), 2), false), JPEG_CS_RGB);
    // Colour output is B, G, R, 255 whatever the frame held.
    EXPECT_EQ(reportedSpace(ycc, true), JPEG_CS_RGB);
    EXPECT_EQ(reportedSpace(withAdobe(ycc, 0), true), JPEG_CS_RGB);
    EXPECT_EQ(reportedSpace(grey, true), JPEG_CS_L);

    // A short APP14, or one that is not Adobe's, is not an Adobe segment.
    Bytes shortAdobe = ycc;
    Bytes seg = {0xFF, 0xEE, 0x00, 0x0D, 'A', 'd', 'o', 'b', 'e', 0, 0x64, 0, 0, 0, 0};
    shortAdobe.insert(shortAdobe.begin() + 2, seg.begin(), seg.end());
    EXPECT_EQ(reportedSpace(withIds(shortAdobe, {'R', 'G', 'B'}), false), JPEG_CS_RGB);
    EXPECT_EQ(reportedSpace(withIds(shortAdobe, {1, 2, 3}), false), JPEG_CS_YCBCR);

    if (haveTool("convert")) {
        writePnm(dir / "c.ppm", pic);
        ASSERT_EQ(run("convert " + shellQuote((dir / "c.ppm").string()) + " -colorspace CMYK " +
                      shellQuote((dir / "c.jpg").string())),
                  0);
        // ImageMagick codes CMYK as YCCK (Adobe transform 2).
        Bytes cmyk = readFile(dir / "c.jpg");
        EXPECT_EQ(reportedSpace(cmyk, true), JPEG_CS_YCCK);
        EXPECT_EQ(reportedSpace(withAdobe(cmyk, 0), true), JPEG_CS_CMYL);
        Bytes bare = withoutSegment(cmyk, 0xEE);
        EXPECT_EQ(reportedSpace(withIds(bare, {'C', 'M', 'Y', 'K'}), true), JPEG_CS_CMYL);
        EXPECT_EQ(reportedSpace(withIds(bare, {1, 2, 3, 4}), true), JPEG_CS_CMYK);
        EXPECT_EQ(reportedSpace(withAdobe(withIds(bare, {'C', 'M', 'Y', 'K'}), 1), true), JPEG_CS_CMYL);
    }
}

TEST_F(JpegStreams, OneComponentFrameIgnoresItsSamplingByte)
{
    QUILLON_REQUIRE_TOOL("djpeg");
    Pnm pic = photoCrop(37, 21);
    Bytes grey = cjpegBytes(dir, pic, "-grayscale");
    Bytes patched = grey;
    size_t f = findFrame(patched);
    ASSERT_EQ(patched[f + 11], 0x11);
    patched[f + 11] = 0x22;
    JpegDecodeOptions o;
    JpegOutput a = jpegDecodeBytes(grey, o), b = jpegDecodeBytes(patched, o);
    ASSERT_EQ(b.rc, RC_OK);
    EXPECT_EQ(b.rowPixels, 40u);
    EXPECT_EQ(a.pixels, b.pixels);
}

TEST_F(JpegStreams, MalformedHeadersAreRefused)
{
    Pnm pic = photoCrop(24, 16);
    Bytes jpg = cjpegBytes(dir, pic, "-sample 2x2");
    ASSERT_FALSE(jpg.empty());
    const size_t f = findFrame(jpg);

    Bytes noSoi(jpg.begin() + 2, jpg.end());
    EXPECT_EQ(headerOf(noSoi), RC_CORRUPT_FILE);
    EXPECT_EQ(headerOf(Bytes(jpg.begin(), jpg.begin() + f)), RC_UNSUPPORTED_SUBFORMAT);  // ends before SOF
    EXPECT_EQ(headerOf(Bytes{0xFF, 0xD8}), RC_UNSUPPORTED_SUBFORMAT);

    for (uint8_t code : {0xC3, 0xC7, 0xC8, 0xCB, 0xCF}) {
        Bytes b = jpg;
        b[f + 1] = code;
        EXPECT_EQ(headerOf(b), RC_UNSUPPORTED_SUBFORMAT) << int(code);
    }
    // Differential frames are read but not decoded.
    for (uint8_t code : {0xC5, 0xC6}) {
        Bytes b = jpg;
        b[f + 1] = code;
        EXPECT_EQ(headerOf(b), RC_OK);
        EXPECT_EQ(jpegDecodeBytes(b).rc, RC_UNSUPPORTED_SUBFORMAT);
    }

    // 12-bit samples are valid but not read; other precisions are damage.
    Bytes precision = jpg;
    precision[f + 4] = 12;
    EXPECT_EQ(headerOf(precision), RC_UNSUPPORTED_SUBFORMAT);
    precision[f + 4] = 9;
    EXPECT_EQ(headerOf(precision), RC_CORRUPT_FILE);
    Bytes zeroWidth = jpg;
    zeroWidth[f + 7] = zeroWidth[f + 8] = 0;
    EXPECT_EQ(headerOf(zeroWidth), RC_CORRUPT_FILE);
    Bytes badFactor = jpg;
    badFactor[f + 11] = 0x52;
    EXPECT_EQ(headerOf(badFactor), RC_CORRUPT_FILE);
    Bytes badQuant = jpg;
    badQuant[f + 12] = 4;
    EXPECT_EQ(headerOf(badQuant), RC_CORRUPT_FILE);

    // Factors 3 and 2: the largest is no multiple of the other.
    Bytes indivisible = jpg;
    indivisible[f + 11] = 0x31;
    indivisible[f + 14] = 0x21;
    EXPECT_EQ(headerOf(indivisible), RC_OK);
    EXPECT_EQ(jpegDecodeBytes(indivisible).rc, RC_UNSUPPORTED_SUBFORMAT);

    // Five components: count and length patched consistently.
    Bytes five(jpg.begin(), jpg.begin() + f);
    const uint8_t sof[] = {0xFF, 0xC0, 0x00, 23, 8, 0, 8, 0, 8, 5, 1, 0x11, 0, 2, 0x11, 0, 3, 0x11, 0,
                           4,    0x11, 0,    5,  0x11, 0};
    five.insert(five.end(), sof, sof + sizeof sof);
    five.push_back(0xFF);
    five.push_back(0xD9);
    EXPECT_EQ(headerOf(five), RC_UNSUPPORTED_SUBFORMAT);

    // DQT: table number above 3; a segment longer than the data.
    size_t q = findMarker(jpg, 0xDB);
    Bytes dqt = jpg;
    dqt[q + 4] = 0x04;
    EXPECT_EQ(headerOf(dqt), RC_CORRUPT_FILE);
    Bytes cut(jpg.begin(), jpg.begin() + q + 30);
    EXPECT_EQ(headerOf(cut), RC_CORRUPT_FILE);
    Bytes longApp = {0xFF, 0xD8, 0xFF, 0xE1, 0x40, 0x00, 'E', 'x', 'i', 'f'};
    EXPECT_EQ(headerOf(longApp), RC_CORRUPT_FILE);
    Bytes shortLength = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x01, 0xFF, 0xD9};
    EXPECT_EQ(headerOf(shortLength), RC_CORRUPT_FILE);
    Bytes unknownMarker = {0xFF, 0xD8, 0xFF, 0x02, 0xFF, 0xD9};
    EXPECT_EQ(headerOf(unknownMarker), RC_CORRUPT_FILE);
    Bytes badDri = {0xFF, 0xD8, 0xFF, 0xDD, 0x00, 0x05, 0x00, 0x01, 0x00, 0xFF, 0xD9};
    EXPECT_EQ(headerOf(badDri), RC_CORRUPT_FILE);
}

TEST_F(JpegStreams, MalformedHuffmanTablesAndScansAreRefused)
{
    Pnm pic = photoCrop(24, 16);
    Bytes jpg = cjpegBytes(dir, pic, "-sample 2x2");
    Bytes prog = cjpegBytes(dir, pic, "-sample 2x2 -progressive");
    ASSERT_FALSE(jpg.empty());
    ASSERT_FALSE(prog.empty());
    size_t h = findMarker(jpg, 0xC4);
    ASSERT_EQ(jpg[h + 4], 0x00);  // DC table 0 comes first: 16 counts, 12 symbols

    Bytes bigDc = jpg;
    bigDc[h + 4 + 17 + 11] = 16;  // a DC category of 16 bits
    EXPECT_EQ(jpegDecodeBytes(bigDc).rc, RC_CORRUPT_FILE);
    Bytes overfull = jpg;
    overfull[h + 4 + 1] = 3;  // three codes of length 1
    EXPECT_EQ(jpegDecodeBytes(overfull).rc, RC_CORRUPT_FILE);
    Bytes badNumber = jpg;
    badNumber[h + 4] = 0x04;
    EXPECT_EQ(jpegDecodeBytes(badNumber).rc, RC_CORRUPT_FILE);

    // Scan header naming table numbers above 3, or tables never defined.
    size_t s = jpg.size();
    for (size_t i = 2; i + 1 < jpg.size(); ++i)
        if (jpg[i] == 0xFF && jpg[i + 1] == 0xDA) { s = i; break; }
    ASSERT_LT(s, jpg.size());
    Bytes tableFour = jpg;
    tableFour[s + 6] = 0x44;
    EXPECT_EQ(jpegDecodeBytes(tableFour).rc, RC_CORRUPT_FILE);
    Bytes tableTwo = jpg;
    tableTwo[s + 6] = 0x22;
    EXPECT_EQ(jpegDecodeBytes(tableTwo).rc, RC_CORRUPT_FILE);
    Bytes wrongId = jpg;
    wrongId[s + 5] = 9;
    EXPECT_EQ(jpegDecodeBytes(wrongId).rc, RC_CORRUPT_FILE);

    // Progressive: an AC scan of two components; Ah not Al + 1.
    std::vector<size_t> scans;
    for (size_t i = 2; i + 1 < prog.size(); ++i)
        if (prog[i] == 0xFF && prog[i + 1] == 0xDA) scans.push_back(i);
    ASSERT_GE(scans.size(), 3u);
    for (size_t at : scans) {
        uint32_t ns = prog[at + 4];
        uint8_t ssv = prog[at + 5 + 2 * ns];
        uint8_t ahal = prog[at + 7 + 2 * ns];
        if (ssv > 0 && ns == 1) {
            Bytes b = prog;
            b[at + 7 + 2 * ns] = uint8_t(((ahal & 15) + 2) << 4 | (ahal & 15));
            EXPECT_EQ(jpegDecodeBytes(b).rc, RC_CORRUPT_FILE);
            Bytes two = prog;
            // Same length, second pair names component 2: Ns 2 needs two more bytes.
            two[at + 3] = uint8_t(two[at + 3] + 2);
            two[at + 4] = 2;
            two.insert(two.begin() + at + 7, {2, 0x00});
            EXPECT_EQ(jpegDecodeBytes(two).rc, RC_CORRUPT_FILE);
            break;
        }
    }
}

TEST(JpegHandMade, SixteenBitQuantiserTimesCoefficientKeepsThirtyTwoBits)
{
    // 8x8 grey, SOF1 with a 16-bit DQT whose DC quantiser is 40000; the
    // typical tables code a DC difference of +1 and an end of block. The
    // dequantised value 40000 does not fit 16 bits.
    Bytes jpg = {0xFF, 0xD8, 0xFF, 0xDB, 0x00, 0x83, 0x10, 0x9C, 0x40};
    for (int i = 1; i < 64; ++i) {
        jpg.push_back(0);
        jpg.push_back(1);
    }
    const uint8_t rest[] = {0xFF, 0xC1, 0x00, 0x0B, 8, 0, 8, 0, 8, 1, 1, 0x11, 0,
                            0xFF, 0xDA, 0x00, 0x08, 1, 1, 0x00, 0, 63, 0, 0x5A, 0xFF, 0xD9};
    jpg.insert(jpg.end(), rest, rest + sizeof rest);
    for (bool reduced : {false, true}) {
        JpegDecodeOptions o;
        o.reduced = reduced;
        JpegOutput out = jpegDecodeBytes(jpg, o);
        ASSERT_EQ(out.rc, RC_OK);
        for (uint8_t v : out.pixels) EXPECT_EQ(v, 255);
    }
}

TEST(JpegHandMade, OneBitAcCodeWithEightValueBits)
{
    // 64x8 grey with its own tables: the AC symbol 0x08 (eight value bits)
    // has the one-bit code 0, end of block is 10. The blocks carry +200 and
    // -200 in turn at the first AC position; both values need more than the
    // eight signed bits that a short code and its value share in a lookup.
    // Eight blocks, so that most are decoded with the data well ahead.
    Bytes jpg = {0xFF, 0xD8, 0xFF, 0xDB, 0x00, 0x43, 0x00};
    jpg.insert(jpg.end(), 64, 1);
    const uint8_t rest[] = {
        0xFF, 0xC0, 0x00, 0x0B, 8, 0, 8, 0, 64, 1, 1, 0x11, 0,
        0xFF, 0xC4, 0x00, 0x14, 0x00, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x00,
        0xFF, 0xC4, 0x00, 0x15, 0x10, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x08, 0x00,
        0xFF, 0xDA, 0x00, 0x08, 1, 1, 0x00, 0, 63, 0,
        // 0 | 0 11001000 | 10, then 0 | 0 00110111 | 10, four times
        0x32, 0x20, 0xDE, 0x32, 0x20, 0xDE, 0x32, 0x20, 0xDE, 0x32, 0x20, 0xDE, 0xFF, 0xD9};
    jpg.insert(jpg.end(), rest, rest + sizeof rest);
    TempDir dir;
    QUILLON_REQUIRE_TOOL("djpeg");
    Pnm ref;
    ASSERT_TRUE(djpegDecode(dir, jpg, "-grayscale -pnm", ref));
    JpegDecodeOptions o;
    JpegOutput out = jpegDecodeBytes(jpg, o);
    ASSERT_EQ(out.rc, RC_OK);
    ASSERT_EQ(ref.width, 64u);
    for (uint32_t y = 0; y < 8; ++y)
        for (uint32_t x = 0; x < 64; ++x) EXPECT_EQ(out.at(x, y, 0), ref.at(x, y, 0)) << x << "," << y;
}

TEST(JpegHandMade, ReducedOutputNeverWritesPastTheDestinationRows)
{
    // 4:2:0, 16 x 9: the one-eighth decode has two rows per MCU row, the image
    // needs two rows, and a destination of exactly that is the decode
    // driver's case (rows past it belong to someone else).
    TempDir dir;
    QUILLON_REQUIRE_TOOL("cjpeg");
    Pnm pic = photoCrop(16, 9);
    Bytes jpg = cjpegBytes(dir, pic, "-sample 2x2");
    for (int64_t rows : {1, 2}) {
        JpegDecodeOptions o;
        o.reduced = true;
        o.rows = rows;
        JpegOutput out = jpegDecodeBytes(jpg, o);  // exact-size buffer: ASan guards it
        EXPECT_EQ(out.rc, RC_OK);
        JpegDecodeOptions all;
        all.reduced = true;
        JpegOutput full = jpegDecodeBytes(jpg, all);
        EXPECT_TRUE(std::equal(out.pixels.begin(), out.pixels.end(), full.pixels.begin()));
    }
    JpegDecodeOptions o;
    o.rows = 9;
    Pnm big = photoCrop(40, 33);
    Bytes prog = cjpegBytes(dir, big, "-sample 2x2 -progressive");
    JpegDecodeOptions pall;
    JpegOutput full = jpegDecodeBytes(prog, pall);
    JpegOutput part = jpegDecodeBytes(prog, o);
    EXPECT_EQ(part.rc, RC_OK);
    EXPECT_TRUE(std::equal(part.pixels.begin(), part.pixels.end(), full.pixels.begin()));
}

// The segments of a stream from SOI on: each marker segment, and each scan
// with its entropy-coded data, as separate byte strings (EOI left out).
static std::vector<Bytes> splitSegments(const Bytes& jpg)
{
    std::vector<Bytes> out;
    size_t i = 2;
    while (i + 4 <= jpg.size() && jpg[i] == 0xFF && jpg[i + 1] != 0xD9) {
        size_t next = i + 2 + ((jpg[i + 2] << 8) | jpg[i + 3]);
        if (jpg[i + 1] == 0xDA)
            while (next + 1 < jpg.size() &&
                   !(jpg[next] == 0xFF && jpg[next + 1] != 0 && (jpg[next + 1] < 0xD0 || jpg[next + 1] > 0xD7)))
                ++next;
        out.emplace_back(jpg.begin() + i, jpg.begin() + next);
        i = next;
    }
    return out;
}

TEST_F(JpegStreams, ScanOfAllComponentsAfterAPartialOneConvertsColoursOnce)
{
    // A stream whose luma scan is followed by a scan of all three components
    // (so luma comes twice): the second scan replaces every sample, and
    // djpeg's output equals that of the one-scan stream. Ours must too, in
    // any band mode; the frame is never banded since its first scan lacks
    // components.
    Pnm pic = photoCrop(64, 48);
    writeFile(dir / "three.txt", std::string("0;\n1;\n2;\n"));
    Bytes three = cjpegBytes(dir, pic, "-sample 2x2 -scans " + shellQuote((dir / "three.txt").string()));
    Bytes one = cjpegBytes(dir, pic, "-sample 2x2");
    ASSERT_FALSE(three.empty());
    ASSERT_FALSE(one.empty());
    // Both use the typical tables and the same quantisers: the headers of
    // the one-scan stream serve for the luma scan of the other.
    Bytes spliced = {0xFF, 0xD8};
    const Bytes* firstScan = nullptr;
    std::vector<Bytes> threeSegments = splitSegments(three), oneSegments = splitSegments(one);
    for (const Bytes& seg : threeSegments)
        if (seg[1] == 0xDA && !firstScan) firstScan = &seg;
    ASSERT_NE(firstScan, nullptr);
    for (const Bytes& seg : oneSegments) {
        if (seg[1] == 0xDA) spliced.insert(spliced.end(), firstScan->begin(), firstScan->end());
        spliced.insert(spliced.end(), seg.begin(), seg.end());
    }
    spliced.push_back(0xFF);
    spliced.push_back(0xD9);
    Pnm refOne, refSpliced;
    ASSERT_TRUE(djpegDecode(dir, one, "-pnm", refOne));
    ASSERT_TRUE(djpegDecode(dir, spliced, "-pnm", refSpliced));
    ASSERT_EQ(refOne.samples, refSpliced.samples);

    JpegOutput expected = jpegDecodeBytes(one);
    ASSERT_EQ(expected.rc, RC_OK);
    for (int8_t band : {int8_t(-1), int8_t(1)}) {
        JpegDecodeOptions o;
        o.band = band;
        JpegOutput out = jpegDecodeBytes(spliced, o);
        ASSERT_EQ(out.rc, RC_OK);
        EXPECT_EQ(out.colourSpace, expected.colourSpace);
        EXPECT_FALSE(out.usedBands);
        EXPECT_TRUE(out.pixels == expected.pixels) << int(band);
    }
}

TEST_F(JpegStreams, CutSequentialStreamKeepsTheRowsBeforeTheCut)
{
    Pnm pic = photoCrop(64, 64);
    Bytes jpg = cjpegBytes(dir, pic, "-sample 2x2 -restart 1");
    JpegDecodeOptions raw;
    JpegOutput full = jpegDecodeBytes(jpg, raw);
    ASSERT_EQ(full.rc, RC_OK);
    // Cut just after the third restart marker: MCU rows 0..2 are complete.
    size_t markers = 0, cutAt = 0;
    for (size_t i = findMarker(jpg, 0xDA); i + 1 < jpg.size(); ++i)
        if (jpg[i] == 0xFF && jpg[i + 1] >= 0xD0 && jpg[i + 1] <= 0xD7 && ++markers == 3) {
            cutAt = i + 2;
            break;
        }
    ASSERT_GT(cutAt, 0u);
    Bytes cut(jpg.begin(), jpg.begin() + cutAt);
    for (uint8_t fill : {0x00, 0xFF}) {
        raw.fill = fill;
        JpegOutput part = jpegDecodeBytes(cut, raw);
        ASSERT_EQ(part.rc, RC_CORRUPT_FILE);
        size_t rowBytes = size_t(part.rowPixels) * part.bpp;
        EXPECT_TRUE(std::equal(part.pixels.begin(), part.pixels.begin() + 48 * rowBytes, full.pixels.begin()));
    }
    raw.fill = 0x00;
    JpegOutput a = jpegDecodeBytes(cut, raw);
    raw.fill = 0xFF;
    JpegOutput b = jpegDecodeBytes(cut, raw);
    EXPECT_TRUE(a.pixels == b.pixels);
}

TEST_F(JpegStreams, CutProgressiveAndMultiScanStreamsLeaveNoOldMemory)
{
    Pnm pic = photoCrop(48, 40);
    writeFile(dir / "three.txt", std::string("0;\n1;\n2;\n"));
    Bytes prog = cjpegBytes(dir, pic, "-sample 2x2 -progressive");
    Bytes multi = cjpegBytes(dir, pic, "-sample 2x2 -scans " + shellQuote((dir / "three.txt").string()));
    ASSERT_FALSE(prog.empty());
    ASSERT_FALSE(multi.empty());
    for (const Bytes* src : {&prog, &multi}) {
        std::vector<size_t> scans;
        for (size_t i = 2; i + 1 < src->size(); ++i)
            if ((*src)[i] == 0xFF && (*src)[i + 1] == 0xDA) scans.push_back(i);
        ASSERT_GE(scans.size(), 2u);
        // Cut inside the entropy-coded data of the first, second and last
        // scans (table segments cut short are refused, not decoded).
        auto inData = [&](size_t scan) {
            size_t start = scan + 2 + (((*src)[scan + 2] << 8) | (*src)[scan + 3]);
            size_t stop = start;
            while (stop + 1 < src->size() &&
                   !((*src)[stop] == 0xFF && (*src)[stop + 1] != 0 && ((*src)[stop + 1] & 0xF8) != 0xD0))
                ++stop;
            return (start + stop) / 2;
        };
        for (size_t cutAt : {inData(scans[0]), inData(scans[1]), inData(scans.back()), src->size() - 3}) {
            Bytes cut(src->begin(), src->begin() + cutAt);
            for (bool convert : {false, true}) {
                JpegDecodeOptions o;
                o.convert = convert;
                o.fill = 0x00;
                JpegOutput a = jpegDecodeBytes(cut, o);
                o.fill = 0xFF;
                JpegOutput b = jpegDecodeBytes(cut, o);
                ASSERT_EQ(a.rc, RC_CORRUPT_FILE) << cutAt;
                // Raw output leaves the fourth byte of three-component
                // pixels alone; every sample byte must be written.
                if (!convert)
                    for (size_t i = 3; i < a.pixels.size(); i += 4) a.pixels[i] = b.pixels[i] = 0;
                EXPECT_TRUE(a.pixels == b.pixels) << "cut at " << cutAt << (src == &prog ? " progressive" : " multi");
            }
        }
    }
}

TEST_F(JpegStreams, ComponentsWhoseScansNeverCameAreNeutral)
{
    // A frame in three scans cut after its luma scan, and a frame with no
    // scan at all: what is missing decodes as blocks without coefficients
    // (level 128), as djpeg has it, so the picture is the grey of its luma
    // rather than tinted by chroma samples of 0.
    Pnm pic = photoCrop(48, 40);
    writeFile(dir / "three.txt", std::string("0;\n1;\n2;\n"));
    Bytes multi = cjpegBytes(dir, pic, "-sample 2x2 -scans " + shellQuote((dir / "three.txt").string()));
    ASSERT_FALSE(multi.empty());
    std::vector<size_t> scans;
    for (size_t i = 2; i + 1 < multi.size(); ++i)
        if (multi[i] == 0xFF && multi[i + 1] == 0xDA) scans.push_back(i);
    ASSERT_EQ(scans.size(), 3u);
    const Bytes eoi = {0xFF, 0xD9};

    Bytes lumaOnly(multi.begin(), multi.begin() + long(scans[1]));
    lumaOnly.insert(lumaOnly.end(), eoi.begin(), eoi.end());
    Pnm ref;
    ASSERT_TRUE(djpegDecode(dir, lumaOnly, "-pnm", ref));
    JpegOutput ours = jpegDecodeBytes(lumaOnly);
    ASSERT_EQ(ours.rc, RC_CORRUPT_FILE);
    size_t off = 0;
    for (uint32_t y = 0; y < ref.height; ++y)
        for (uint32_t x = 0; x < ref.width; ++x)
            for (uint32_t c = 0; c < 3; ++c) off += ours.at(x, y, 2 - c) != ref.at(x, y, c);
    EXPECT_EQ(off, 0u);

    // djpeg refuses a frame without scans; ours decodes it as all level 128.
    Bytes noScan(multi.begin(), multi.begin() + long(scans[0]));
    noScan.insert(noScan.end(), eoi.begin(), eoi.end());
    ours = jpegDecodeBytes(noScan);
    ASSERT_EQ(ours.rc, RC_CORRUPT_FILE);
    off = 0;
    for (uint32_t y = 0; y < ours.height; ++y)
        for (uint32_t x = 0; x < ours.width; ++x)
            for (uint32_t c = 0; c < 3; ++c) off += ours.at(x, y, c) != 128;
    EXPECT_EQ(off, 0u);
}

TEST_F(JpegStreams, DamagedAndCutStreamsNeverFailBadly)
{
    Pnm pic = photoCrop(40, 24);
    writeFile(dir / "three.txt", std::string("0;\n1 2;\n"));
    std::vector<Bytes> sources = {
        cjpegBytes(dir, pic, "-sample 2x2 -restart 1"),
        cjpegBytes(dir, pic, "-sample 2x1 -progressive"),
        cjpegBytes(dir, pic, "-sample 4x1 -scans " + shellQuote((dir / "three.txt").string())),
        cjpegBytes(dir, pic, "-grayscale -progressive -restart 1B"),
        cjpegBytes(dir, pic, "-rgb -sample 1x1"),
    };
    std::mt19937 rng(1234);
    size_t runs = 0;
    auto check = [&](const Bytes& b) {
        for (bool reduced : {false, true}) {
            JpegDecodeOptions o;
            o.reduced = reduced;
            ResultCode rc = jpegDecodeBytes(b, o).rc;
            EXPECT_TRUE(rc == RC_OK || rc == RC_CORRUPT_FILE || rc == RC_UNSUPPORTED_SUBFORMAT ||
                        rc == RC_OUT_OF_MEMORY)
                << std::hex << rc;
            ++runs;
        }
    };
    for (const Bytes& src : sources) {
        ASSERT_FALSE(src.empty());
        for (size_t cut = 0; cut < src.size(); cut += 1 + src.size() / 97) check(Bytes(src.begin(), src.begin() + cut));
        for (int trial = 0; trial < 60; ++trial) {
            Bytes b = src;
            int flips = 1 + int(rng() % 4);
            for (int k = 0; k < flips; ++k) b[rng() % b.size()] ^= uint8_t(1u << (rng() % 8));
            check(b);
        }
    }
    EXPECT_GT(runs, 1000u);
}

TEST_F(JpegStreams, ProgressRisesToItsTotal)
{
    struct Recorder : JpegProgress {
        std::vector<std::pair<uint32_t, uint32_t>> calls;
        void report(uint32_t done, uint32_t total) override { calls.emplace_back(done, total); }
    };
    Pnm pic = photoCrop(64, 48);
    for (const char* args : {"-sample 2x2", "-sample 2x2 -progressive", "-grayscale"}) {
        Bytes jpg = cjpegBytes(dir, pic, args);
        JpegDecoder* d = jpegDecoderCreate();
        d->setInput(jpg.data(), jpg.size());
        ASSERT_EQ(d->readHeader(), RC_OK);
        uint32_t bpp = d->componentCount() == 1 ? 1 : 4;
        std::vector<uint8_t> pixels(size_t(d->alignedWidth()) * d->alignedHeight() * bpp);
        Recorder rec;
        ASSERT_EQ(d->decode(pixels.data(), bpp, size_t(d->alignedWidth()) * bpp, uint32_t(d->alignedHeight()), false,
                            &rec, nullptr),
                  RC_OK);
        delete d;
        ASSERT_GE(rec.calls.size(), 3u) << args;
        for (size_t i = 0; i < rec.calls.size(); ++i) {
            EXPECT_LE(rec.calls[i].first, rec.calls[i].second) << args;
            if (i) {
                EXPECT_GE(rec.calls[i].first, rec.calls[i - 1].first) << args;
            }
        }
        EXPECT_GT(rec.calls.back().first, rec.calls.back().second / 2) << args;
    }
}

TEST(JpegHandMade, HugeProgressiveFrameRunsOutOfMemoryCleanly)
{
    // 65535 x 65535, three components at 4:4:4: the coefficients of the whole
    // image would take about 25 GB.
    Bytes jpg = {0xFF, 0xD8, 0xFF, 0xC2, 0x00, 0x11, 8, 0xFF, 0xFF, 0xFF, 0xFF, 3,
                 1,    0x11, 0,    2,    0x11, 0,    3, 0x11, 0,    0xFF, 0xDA, 0x00,
                 0x0C, 3,    1,    0x00, 2,    0x11, 3, 0x11, 0,    0,    0,    0xFF, 0xD9};
    JpegDecoder* d = jpegDecoderCreate();
    d->setInput(jpg.data(), jpg.size());
    ASSERT_EQ(d->readHeader(), RC_OK);
    ASSERT_EQ(d->alignedWidth(), 65536);
    uint8_t pixel[4] = {};
    // The stride is what the caller claims; nothing may be written before the
    // coefficient buffer exists, and it cannot.
    setAllocationCap(64u << 20);
    ResultCode rc = d->decode(pixel, 4, size_t(65536) * 4, 1, false, nullptr, nullptr);
    setAllocationCap(0);
    EXPECT_EQ(rc, RC_OUT_OF_MEMORY);
    delete d;
}
