// PC Paint pictures built byte by byte (no tool here writes them): every
// depth, blocks that fill the picture from its end, long runs, palettes.
#include <gtest/gtest.h>

#include "platform/memory.h"
#include "support/codec_support.h"

using namespace quillon;
using namespace quillon::test;

namespace {

struct Block {
    std::vector<uint8_t> packed;
    uint32_t unpacked;
    uint8_t marker = 0xFE;
};

std::vector<uint8_t> picture(uint32_t w, uint32_t h, uint8_t bits, uint8_t paletteType,
                             const std::vector<uint8_t>& palette, const std::vector<Block>& blocks)
{
    std::vector<uint8_t> b;
    le16(b, 0x1234);
    le16(b, w);
    le16(b, h);
    le16(b, 0);
    le16(b, 0);
    b.push_back(bits);
    b.push_back(paletteType);
    b.insert(b.end(), {0, 0, 0});
    le16(b, uint32_t(palette.size()));
    b.insert(b.end(), palette.begin(), palette.end());
    le16(b, uint32_t(blocks.size()));
    for (const Block& k : blocks) {
        le16(b, uint32_t(k.packed.size() + 5));
        le16(b, k.unpacked);
        b.push_back(k.marker);
        b.insert(b.end(), k.packed.begin(), k.packed.end());
    }
    return b;
}

std::vector<uint8_t> grey256()
{
    std::vector<uint8_t> p;
    for (int i = 0; i < 256; ++i) p.insert(p.end(), {uint8_t(i / 4), uint8_t(i / 4), uint8_t(63 - i / 4)});
    return p;
}

} // namespace

// Eight bits, two blocks: the first block holds the last row.
TEST(PcPaint, BlocksFillThePictureFromItsEnd)
{
    const std::vector<Block> blocks = {{{7, 8, 9}, 3}, {{0xFE, 2, 5, 6}, 3}};
    ResultCode rc;
    Ref<Image> image = decodeBytes(picture(3, 2, 8, 0, grey256(), blocks), &rc, "p.pic");
    ASSERT_EQ(rc, RC_OK);
    EXPECT_EQ(image->row<uint8_t>(0)[0], 5);
    EXPECT_EQ(image->row<uint8_t>(0)[1], 5);
    EXPECT_EQ(image->row<uint8_t>(0)[2], 6);
    EXPECT_EQ(image->row<uint8_t>(1)[2], 9);
    // 768 palette bytes: 256 entries of 6-bit values, widened by 4.
    EXPECT_EQ(image->palette()[9], 0xFF0808F4u);
}

TEST(PcPaint, LongRunsAndEveryDepth)
{
    ResultCode rc;
    // A run of 300 through the two-byte count, then one literal: 301 x 1.
    Ref<Image> run = decodeBytes(picture(301, 1, 8, 0, grey256(), {{{0xFE, 0, 0x2C, 0x01, 4, 9}, 301}}), &rc, "r.pic");
    ASSERT_EQ(rc, RC_OK);
    EXPECT_EQ(run->row<uint8_t>(0)[299], 4);
    EXPECT_EQ(run->row<uint8_t>(0)[300], 9);

    // One bit, no palette: grey, 1 is white.
    Ref<Image> mono = decodeBytes(picture(10, 1, 1, 0, {}, {{{0x80, 0x40}, 2}}), &rc, "m.pic");
    ASSERT_EQ(rc, RC_OK);
    Ref<Image> rgba = asRgba8(mono.get());
    EXPECT_EQ(rgba->row<Rgba8>(0)[0].r, 255);
    EXPECT_EQ(rgba->row<Rgba8>(0)[1].r, 0);
    EXPECT_EQ(rgba->row<Rgba8>(0)[9].r, 255);

    // Four bits as packed nibbles with the 16-byte palette: 0x3F is (96, 96, 96).
    std::vector<uint8_t> ega(16, 0);
    ega[3] = 0x3F;
    ega[12] = 0x01;
    Ref<Image> packed = decodeBytes(picture(3, 1, 4, 0xFF, ega, {{{0x3C, 0x30}, 2}}), &rc, "n.pic");
    ASSERT_EQ(rc, RC_OK);
    EXPECT_EQ(packed->row<uint8_t>(0)[0], 3);
    EXPECT_EQ(packed->row<uint8_t>(0)[1], 12);
    EXPECT_EQ(packed->row<uint8_t>(0)[2], 3);
    EXPECT_EQ(packed->palette()[3], 0xFF606060u);
    EXPECT_EQ(packed->palette()[12], 0xFF200000u);

    // Four bits as planes: ten pixels need two bytes per plane.
    Ref<Image> planar =
        decodeBytes(picture(10, 1, 4, 0, ega, {{{0x80, 0x40, 0x00, 0x40, 0x80, 0x00, 0x00, 0x40}, 8}}), &rc, "q.pic");
    ASSERT_EQ(rc, RC_OK);
    EXPECT_EQ(planar->row<uint8_t>(0)[0], 5);
    EXPECT_EQ(planar->row<uint8_t>(0)[1], 0);
    EXPECT_EQ(planar->row<uint8_t>(0)[9], 11);
}

TEST(PcPaint, DamagedAndUnsupportedFiles)
{
    ResultCode rc;
    decodeBytes(picture(4, 1, 2, 0, {}, {{{1}, 1}}), &rc, "two.pic");
    EXPECT_EQ(rc, RC_UNSUPPORTED_SUBFORMAT);
    // A block size below its own header.
    std::vector<uint8_t> bad = picture(4, 1, 8, 0, {}, {{{1, 2, 3, 4}, 4}});
    bad[bad.size() - 9] = 3;
    Decoded d = decodeBytesFull(bad, "small.pic");
    EXPECT_EQ(d.rc, RC_CORRUPT_FILE);
    // Blocks missing at the end: the rows they held (the first) are empty.
    d = decodeBytesFull(picture(2, 2, 8, 0, grey256(), {{{7, 8}, 2}}), "cut.pic");
    EXPECT_EQ(d.rc, RC_CORRUPT_FILE);
    ASSERT_TRUE(d.image);
    // A palette of 900 bytes: 256 entries, pixels behind all 900.
    std::vector<uint8_t> big = grey256();
    big.resize(900, 0x3F);
    Ref<Image> image = decodeBytes(picture(1, 1, 8, 0, big, {{{200}, 1}}), &rc, "big.pic");
    ASSERT_EQ(rc, RC_OK);
    EXPECT_EQ(image->row<uint8_t>(0)[0], 200);

    // Blocks of one 65535-byte run each fill 2000 x 2000: whole. One such
    // block cannot: damaged, refused before any image is made.
    const Block longRun = {{0xFE, 0, 0xFF, 0xFF, 6}, 65535};
    std::vector<Block> blocks(61, longRun);
    blocks.push_back({{0xFE, 0, 2365 & 255, 2365 >> 8, 6}, 2365});
    d = decodeBytesFull(picture(2000, 2000, 8, 0, {}, blocks), "whole.pic");
    EXPECT_EQ(d.rc, RC_OK);
    ASSERT_TRUE(d.image);
    EXPECT_EQ(d.image->row<uint8_t>(0)[0], 6);
    setAllocationCap(uint64_t(1) << 20);
    d = decodeBytesFull(picture(2000, 2000, 8, 0, {}, {longRun}), "few.pic");
    EXPECT_EQ(d.rc, RC_CORRUPT_FILE);
    EXPECT_EQ(d.image.get(), nullptr);
    // Larger than memory allows: too large when the blocks can fill it, a
    // lie when they cannot even as runs of 65535 (four blocks short).
    EXPECT_EQ(decodeBytesFull(picture(2000, 2000, 8, 0, {}, blocks), "whole.pic").rc, RC_OUT_OF_MEMORY);
    blocks.resize(blocks.size() - 4);
    d = decodeBytesFull(picture(2000, 2000, 8, 0, {}, blocks), "short.pic");
    EXPECT_EQ(d.rc, RC_CORRUPT_FILE);
    EXPECT_EQ(d.image.get(), nullptr);
    setAllocationCap(0);
}
