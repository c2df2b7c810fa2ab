// Neochrome pictures from ppmtoneo against neotoppm, hand-built headers with
// explicit sizes, the probe's limits.
#include <gtest/gtest.h>

#include "platform/memory.h"
#include "support/codec_support.h"

using namespace quillon;
using namespace quillon::test;
namespace fs = std::filesystem;

// ppmtoneo leaves the size fields zero; the resolution word gives the size.
// neotoppm scales the 3-bit channels to 255, we to 0..240 as the machine
// showed them: the indices and their palette nibbles must agree.
TEST(Neochrome, PpmtoneoPicturesDecodeLikeNeotoppm)
{
    QUILLON_REQUIRE_TOOL("ppmtoneo");
    TempDir dir;
    const fs::path ppm = dir / "in.ppm", neo = dir / "pic.neo";
    ASSERT_EQ(run("convert -seed 4 -size 320x200 plasma:fractal -colors 16 " + shellQuote(ppm.string())), 0);
    ASSERT_EQ(run("ppmtoneo " + shellQuote(ppm.string()) + " > " + shellQuote(neo.string()) + " 2>/dev/null"), 0);
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
                    ADD_FAILURE() << x << "," << y << " channel " << c << ": " << ours[c] << " vs " << oracle.at(x, y, c);
        }
    EXPECT_EQ(bad, 0);
}

namespace {

std::vector<uint8_t> neoHeader(uint32_t planes, uint32_t w, uint32_t h, uint32_t resolution = 0)
{
    std::vector<uint8_t> b(128, 0);
    b[3] = uint8_t(resolution);
    b[4] = 0x0F; // entry 0: 0x0FFF, the brightest white
    b[5] = 0xFF;
    b[7] = 0x08; // entry 1: blue nibble 8, which is the lowest bit
    b[53] = uint8_t(planes);
    b[59] = uint8_t(w);
    b[61] = uint8_t(h);
    return b;
}

} // namespace

TEST(Neochrome, ExplicitSizesPlanesAndPalette)
{
    // 20 x 2 at 2 planes: two groups of 16 pixels per row.
    std::vector<uint8_t> b = neoHeader(2, 20, 2);
    for (int row = 0; row < 2; ++row)
        for (int group = 0; group < 2; ++group) {
            be16(b, 0x8000);             // plane 0: leftmost pixel
            be16(b, group ? 0x8000 : 0); // plane 1
        }
    ResultCode rc;
    Ref<Image> image = decodeBytes(b, &rc, "small.neo");
    ASSERT_EQ(rc, RC_OK);
    ASSERT_EQ(image->width, 20u);
    ASSERT_EQ(image->pixelFormat, PF_INDEXED8);
    EXPECT_EQ(image->row<uint8_t>(0)[0], 1);
    EXPECT_EQ(image->row<uint8_t>(0)[16], 3);
    EXPECT_EQ(image->row<uint8_t>(1)[1], 0);
    EXPECT_EQ(image->palette()[0], 0xFFF0F0F0u);
    EXPECT_EQ(image->palette()[1], 0xFF000010u);

    // Five planes, or a resolution word the machine never had: not Neochrome.
    for (auto bad : {neoHeader(5, 20, 2), neoHeader(0, 0, 0, 3)}) {
        bad.resize(128 + 400, 0);
        decodeBytes(bad, &rc, "bad.neo");
        EXPECT_EQ(rc, RC_UNKNOWN_FORMAT);
    }
    // A size no row of which the data can fill is refused from the header.
    std::vector<uint8_t> lying = neoHeader(4, 255, 255);
    lying[58] = lying[60] = 0xFF;  // 65535 x 65535
    setAllocationCap(uint64_t(64) << 20);
    decodeBytes(lying, &rc, "lying.neo");
    setAllocationCap(0);
    EXPECT_EQ(rc, RC_CORRUPT_FILE);
    // Rows missing at the end.
    std::vector<uint8_t> cut = neoHeader(0, 0, 0, 2);
    cut.resize(128 + 80 * 10, 0xFF);
    Decoded d = decodeBytesFull(cut, "cut.neo");
    EXPECT_EQ(d.rc, RC_CORRUPT_FILE);
    ASSERT_TRUE(d.image);
    EXPECT_EQ(d.image->height, 400u);
    EXPECT_EQ(d.image->row<uint8_t>(9)[639], 1);
    EXPECT_EQ(d.image->row<uint8_t>(10)[0], 0);
}
