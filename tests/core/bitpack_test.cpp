// The shared PackBits decoder against Apple's published example and against
// strips libtiff compressed (through ImageMagick), with hostile streams cut
// and overlong; sample unpacking at every depth; row unpremultiplication.
#include "core/bitpack.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "core/convert.h"
#include "support/codec_support.h"
#include "support/test_support.h"

using namespace quillon;
using namespace quillon::test;

namespace {

std::vector<uint8_t> decodeAll(const std::vector<uint8_t>& in, size_t outSize, PackBitsResult* result = nullptr)
{
    // Exact-size copies: a read or write past either end is the sanitizer's.
    std::unique_ptr<uint8_t[]> src(new uint8_t[std::max<size_t>(in.size(), 1)]);
    std::copy(in.begin(), in.end(), src.get());
    std::vector<uint8_t> out(outSize + 4, 0xEE);
    PackBitsResult r = packBitsDecode(out.data(), outSize, src.get(), in.size());
    for (size_t i = outSize; i < outSize + 4; ++i) EXPECT_EQ(out[i], 0xEE) << "written past the end";
    out.resize(r.written);
    if (result) *result = r;
    return out;
}

} // namespace

TEST(PackBits, ApplesExampleAndEdgeCodes)
{
    // Technical Note TN1023's example stream and its unpacked data.
    const std::vector<uint8_t> packed = {0xFE, 0xAA, 0x02, 0x80, 0x00, 0x2A, 0xFD, 0xAA, 0x03, 0x80, 0x00,
                                         0x2A, 0x22, 0xF7, 0xAA};
    const std::vector<uint8_t> unpacked = {0xAA, 0xAA, 0xAA, 0x80, 0x00, 0x2A, 0xAA, 0xAA, 0xAA, 0xAA, 0x80, 0x00,
                                           0x2A, 0x22, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
    PackBitsResult r;
    EXPECT_EQ(decodeAll(packed, unpacked.size(), &r), unpacked);
    EXPECT_EQ(r.consumed, packed.size());
    // 128 is no code at all; 129 repeats 128 times; 127 copies 128 bytes.
    std::vector<uint8_t> edge = {0x80, 0x81, 0x07, 0x7F};
    for (int i = 0; i < 128; ++i) edge.push_back(uint8_t(i));
    std::vector<uint8_t> out = decodeAll(edge, 256, &r);
    ASSERT_EQ(out.size(), 256u);
    EXPECT_EQ(out[0], 7);
    EXPECT_EQ(out[127], 7);
    EXPECT_EQ(out[128], 0);
    EXPECT_EQ(out[255], 127);
    EXPECT_EQ(r.consumed, edge.size());
}

TEST(PackBits, BoundedOnInputAndOutput)
{
    PackBitsResult r;
    // A run longer than the room left: cut at the output's end, the whole
    // code consumed, so the next row starts at the next code.
    std::vector<uint8_t> out = decodeAll({0xF9, 0x11, 0x00, 0x22}, 5, &r);
    EXPECT_EQ(out, std::vector<uint8_t>(5, 0x11));
    EXPECT_EQ(r.consumed, 2u);
    // A literal longer than the room left: the same.
    out = decodeAll({0x05, 1, 2, 3, 4, 5, 6, 0x00, 9}, 3, &r);
    EXPECT_EQ(out, (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(r.consumed, 7u);
    // A literal cut by the input's end keeps what is there and says so.
    out = decodeAll({0x05, 1, 2}, 10, &r);
    EXPECT_EQ(out, (std::vector<uint8_t>{1, 2}));
    EXPECT_EQ(r.consumed, 3u);
    // A run whose byte is missing writes nothing.
    out = decodeAll({0x00, 9, 0xFE}, 10, &r);
    EXPECT_EQ(out, (std::vector<uint8_t>{9}));
    // Nothing in, nothing out; no room, nothing read.
    EXPECT_TRUE(decodeAll({}, 10).empty());
    out = decodeAll({0x00, 1}, 0, &r);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(r.consumed, 0u);
    // Random streams never pass either bound.
    std::mt19937 random(7);
    for (int round = 0; round < 500; ++round) {
        std::vector<uint8_t> in(random() % 40);
        for (auto& b : in) b = uint8_t(random());
        size_t room = random() % 300;
        out = decodeAll(in, room, &r);
        EXPECT_LE(out.size(), room);
        EXPECT_LE(r.consumed, in.size());
    }
}

TEST(PackBits, DecodesStripsLibtiffCompressed)
{
    QUILLON_REQUIRE_TOOL("convert");
    QUILLON_REQUIRE_TOOL(kSystemPython);
    TempDir dir;
    // Runs, literals and runs longer than 128 in a 300-wide grey image.
    Pnm p;
    p.width = 300, p.height = 7, p.channels = 1, p.maxval = 255;
    p.samples.resize(300 * 7);
    std::mt19937 random(11);
    for (uint32_t y = 0; y < 7; ++y)
        for (uint32_t x = 0; x < 300; ++x)
            p.samples[y * 300 + x] = uint16_t(x < 140 ? y * 30 : (x / 3) % 5 == 0 ? random() % 256 : x / 17);
    ASSERT_TRUE(writePnm(dir / "in.pgm", p));
    ASSERT_EQ(run("convert " + shellQuote((dir / "in.pgm").string()) + " -compress RLE -define tiff:rows-per-strip=7 " +
                  shellQuote((dir / "x.tif").string())),
              0);
    // The strip's bytes as libtiff wrote them, found by Pillow.
    ASSERT_EQ(run(std::string(kSystemPython) + " -c \"import sys; from PIL import Image; im = Image.open(sys.argv[1]); "
                  "assert im.info.get('compression') == 'packbits'; "
                  "o, n = im.tag_v2[273][0], im.tag_v2[279][0]; d = open(sys.argv[1], 'rb').read(); "
                  "open(sys.argv[2], 'wb').write(d[o:o + n])\" " +
                  shellQuote((dir / "x.tif").string()) + " " + shellQuote((dir / "strip").string())),
              0);
    std::vector<uint8_t> strip = readFile(dir / "strip");
    ASSERT_FALSE(strip.empty());
    PackBitsResult r;
    std::vector<uint8_t> out = decodeAll(strip, 300 * 7, &r);
    ASSERT_EQ(out.size(), 300u * 7);
    EXPECT_EQ(r.consumed, strip.size());
    for (size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], p.samples[i]) << i;
    // Row by row, as a codec with per-row coding would call it.
    size_t pos = 0;
    for (uint32_t y = 0; y < 7; ++y) {
        uint8_t row[300];
        PackBitsResult rr = packBitsDecode(row, 300, strip.data() + pos, strip.size() - pos);
        ASSERT_EQ(rr.written, 300u);
        pos += rr.consumed;
        for (uint32_t x = 0; x < 300; ++x) ASSERT_EQ(row[x], p.samples[y * 300 + x]) << x << "," << y;
    }
    EXPECT_EQ(pos, strip.size());
}

TEST(UnpackSamples, EveryDepthMostSignificantFirstAndExactlyCountWritten)
{
    const uint8_t src[2] = {0xB4, 0x1F};
    struct Case {
        uint32_t bits;
        size_t count;
        std::vector<uint8_t> want;
    } cases[] = {
        {1, 16, {1, 0, 1, 1, 0, 1, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1}},
        {1, 11, {1, 0, 1, 1, 0, 1, 0, 0, 0, 0, 0}},
        {1, 3, {1, 0, 1}},
        {2, 8, {2, 3, 1, 0, 0, 1, 3, 3}},
        {2, 5, {2, 3, 1, 0, 0}},
        {4, 4, {11, 4, 1, 15}},
        {4, 3, {11, 4, 1}},
        {8, 2, {0xB4, 0x1F}},
    };
    for (const Case& c : cases) {
        // Exactly the bytes the samples need, so a read past them is caught.
        size_t need = size_t(packedBytes(c.count, c.bits));
        std::unique_ptr<uint8_t[]> in(new uint8_t[need]);
        std::copy(src, src + need, in.get());
        std::vector<uint8_t> out(c.count + 3, 0xEE);
        unpackSamples(out.data(), in.get(), c.count, c.bits);
        EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + ptrdiff_t(c.count)), c.want) << c.bits << " " << c.count;
        EXPECT_EQ(out[c.count], 0xEE) << c.bits << " " << c.count;
    }
}

TEST(UnpremultiplyRow, StraightColoursFromACopyLeavingTheSource)
{
    const Rgba8 src[5] = {{128, 64, 0, 128}, {10, 20, 30, 0}, {1, 2, 3, 255}, {3, 2, 1, 4}, {200, 200, 200, 100}};
    Rgba8 dst[5];
    unpremultiplyRow8(dst, src, 5);
    // 128 x 255 / 128 = 255; 64 x 255 / 128 = 127.5, rounded up.
    EXPECT_EQ(dst[0].b, 255);
    EXPECT_EQ(dst[0].g, 128);
    EXPECT_EQ(dst[0].r, 0);
    EXPECT_EQ(dst[0].a, 128);
    // Transparent and opaque pixels are as they were.
    EXPECT_EQ(dst[1].r, 30);
    EXPECT_EQ(dst[2].g, 2);
    // 3 x 255 / 4 = 191.25; 2 x 255 / 4 = 127.5; 1 x 255 / 4 = 63.75.
    EXPECT_EQ(dst[3].b, 191);
    EXPECT_EQ(dst[3].g, 128);
    EXPECT_EQ(dst[3].r, 64);
    // A colour brighter than its alpha allows (damaged data) clamps.
    EXPECT_EQ(dst[4].r, 255);
    EXPECT_EQ(src[0].b, 128);  // the source row is untouched
    // In place too.
    Rgba8 same[1] = {{50, 100, 150, 200}};
    unpremultiplyRow8(same, same, 1);
    EXPECT_EQ(same[0].b, 64);   // 63.75
    EXPECT_EQ(same[0].g, 128);  // 127.5
    EXPECT_EQ(same[0].r, 191);  // 191.25
    const Rgba16 s16[2] = {{32768, 16384, 0, 32768}, {7, 7, 7, 0}};
    Rgba16 d16[2];
    unpremultiplyRow16(d16, s16, 2);
    EXPECT_EQ(d16[0].b, 65535);
    EXPECT_EQ(d16[0].g, 32768);  // 32767.5
    EXPECT_EQ(d16[1].b, 7);
}

TEST(GreyRamp, OnlyTheWholeOpaqueRampCounts)
{
    uint32_t pal[256];
    fillGreyRamp(pal);
    EXPECT_TRUE(isOpaqueGreyRamp(pal));
    pal[255] = 0x00FFFFFF;
    EXPECT_FALSE(isOpaqueGreyRamp(pal));
    fillGreyRamp(pal);
    pal[17] = 0xFF111112;
    EXPECT_FALSE(isOpaqueGreyRamp(pal));
    EXPECT_FALSE(isOpaqueGreyRamp(nullptr));
}
