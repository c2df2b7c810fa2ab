// Neochrome pictures from ppmtoneo against neotoppm, hand-built headers with
// explicit sizes, the probe's limits.
#include <gtest/gtest.h>

#include "platform/memory.h"
#include "support/codec_support.h"

using namespace quillon;
using namespace quillon::test;
namespace fs = std::filesystem;

// ppmtoneo leaves the size fields and the colour-cycling words zero; other
// writers fill in a step count and 320 x 200. Both decode as neotoppm
// does. neotoppm scales the 3-bit channels to 255, we to 0..240 as the
// machine showed them: the indices and their palette nibbles must agree.
TEST(Neochrome, PpmtoneoPicturesDecodeLikeNeotoppm)
{
    QUILLON_REQUIRE_TOOL("ppmtoneo");
    TempDir dir;
    const fs::path ppm = dir / "in.ppm", neo = dir / "pic.neo";
    ASSERT_EQ(run("convert -seed 4 -size 320x200 plasma:fractal -colors 16 " + shellQuote(ppm.string())), 0);
    ASSERT_EQ(run("ppmtoneo " + shellQuote(ppm.string()) + " > " + shellQuote(neo.string()) + " 2>/dev/null"), 0);
    for (bool filled : {false, true}) {
        SCOPED_TRACE(filled ? "step count and size filled in" : "as ppmtoneo wrote it");
        if (filled) {
            std::vector<uint8_t> b = readFile(neo);
            ASSERT_GE(b.size(), 128u);
            b[53] = 5;                                // steps of colour cycling
            b[58] = 0x01, b[59] = 0x40, b[61] = 200;  // 320 x 200
            writeFile(neo, b);
        }
        Pnm oracle;
        ASSERT_TRUE(oracleDecode("neotoppm IN", neo, oracle));
        ResultCode rc;
        Ref<Image> image = decodeFile(neo, &rc);
        ASSERT_EQ(rc, RC_OK);
        ASSERT_EQ(image->width, 320u);
        ASSERT_EQ(image->height, 200u);
        Ref<Image> rgba = asRgba8(image.get());
        int bad = 0;
        for (uint32_t y = 0; y < 200; ++y)
            for (uint32_t x = 0; x < 320; ++x) {
                const Rgba8 p = rgba->row<Rgba8>(y)[x];
                const int ours[3] = {p.r, p.g, p.b};
                for (uint32_t c = 0; c < 3; ++c)
                    if (((ours[c] >> 5) * 255 + 3) / 7 != oracle.at(x, y, c) && ++bad < 4)
                        ADD_FAILURE() << x << "," << y << " channel " << c << ": " << ours[c] << " vs "
                                      << oracle.at(x, y, c);
            }
        EXPECT_EQ(bad, 0);
    }
}

namespace {

// A header as writers fill it: the resolution, a step count of colour
// cycling at 52 and the nominal 320 x 200 at 58.
std::vector<uint8_t> neoHeader(uint32_t resolution, uint32_t steps = 7)
{
    std::vector<uint8_t> b(128, 0);
    b[3] = uint8_t(resolution);
    b[4] = 0x0F; // entry 0: 0x0FFF, the brightest white
    b[5] = 0xFF;
    b[7] = 0x08; // entry 1: blue nibble 8, which is the lowest bit
    b[53] = uint8_t(steps);
    b[58] = 0x01, b[59] = 0x40;
    b[61] = 200;
    return b;
}

} // namespace

TEST(Neochrome, ResolutionGivesSizeAndPlanes)
{
    // Medium resolution: 640 x 200 at 2 planes, 40 groups of 16 pixels a row.
    std::vector<uint8_t> b = neoHeader(1, 5);
    for (int row = 0; row < 200; ++row)
        for (int group = 0; group < 40; ++group) {
            be16(b, row < 2 && group < 2 ? 0x8000 : 0);   // plane 0: leftmost pixel
            be16(b, row < 2 && group == 1 ? 0x8000 : 0);  // plane 1
        }
    ResultCode rc;
    Ref<Image> image = decodeBytes(b, &rc, "medium.neo");
    ASSERT_EQ(rc, RC_OK);
    ASSERT_EQ(image->width, 640u);
    ASSERT_EQ(image->height, 200u);
    ASSERT_EQ(image->pixelFormat, PF_INDEXED8);
    EXPECT_EQ(image->row<uint8_t>(0)[0], 1);
    EXPECT_EQ(image->row<uint8_t>(0)[16], 3);
    EXPECT_EQ(image->row<uint8_t>(1)[1], 0);
    EXPECT_EQ(image->row<uint8_t>(2)[0], 0);
    EXPECT_EQ(image->palette()[0], 0xFFF0F0F0u);
    EXPECT_EQ(image->palette()[1], 0xFF000010u);

    // Size words that lie change nothing: the screen is what the data holds.
    std::vector<uint8_t> lying = neoHeader(0);
    lying[58] = lying[59] = lying[60] = lying[61] = 0xFF;
    lying.resize(128 + 32000, 0x11);
    setAllocationCap(uint64_t(64) << 20);
    Decoded d = decodeBytesFull(lying, "lying.neo");
    setAllocationCap(0);
    EXPECT_EQ(d.rc, RC_OK);
    ASSERT_TRUE(d.image);
    EXPECT_EQ(d.image->width, 320u);

    // A resolution word the machine never had: not Neochrome.
    std::vector<uint8_t> bad = neoHeader(3);
    bad.resize(128 + 400, 0);
    decodeBytes(bad, &rc, "bad.neo");
    EXPECT_EQ(rc, RC_UNKNOWN_FORMAT);
    // Rows missing at the end.
    std::vector<uint8_t> cut = neoHeader(2, 0);
    cut.resize(128 + 80 * 10, 0xFF);
    d = decodeBytesFull(cut, "cut.neo");
    EXPECT_EQ(d.rc, RC_CORRUPT_FILE);
    ASSERT_TRUE(d.image);
    EXPECT_EQ(d.image->height, 400u);
    EXPECT_EQ(d.image->row<uint8_t>(9)[639], 1);
    EXPECT_EQ(d.image->row<uint8_t>(10)[0], 0);
}
