// MacPaint pages from pbmtomacp against macptopbm, with and without a
// MacBinary prefix; the size limits; damaged run-length data.
#include <gtest/gtest.h>

#include <cstring>

#include "codecs/more/macpaint.h"
#include "support/codec_support.h"

using namespace quillon;
using namespace quillon::test;
namespace fs = std::filesystem;

TEST(MacPaint, PbmtomacpPagesDecodeLikeMacptopbm)
{
    QUILLON_REQUIRE_TOOL("pbmtomacp");
    TempDir dir;
    const fs::path pbm = dir / "in.pbm", mac = dir / "page.mac";
    ASSERT_EQ(run("convert -size 300x200 xc:white -fill black -draw 'circle 150,100 150,20' -draw 'rectangle 5,5 60,40' "
                  "-monochrome " + shellQuote(pbm.string())), 0);
    ASSERT_EQ(run("pbmtomacp " + shellQuote(pbm.string()) + " > " + shellQuote(mac.string())), 0);
    Pnm oracle;
    ASSERT_TRUE(oracleDecode("macptopbm IN", mac, oracle));
    ResultCode rc;
    Ref<Image> image = decodeFile(mac, &rc);
    ASSERT_EQ(rc, RC_OK);
    expectEqualPixels(image.get(), oracle, "plain");

    // Behind a 128-byte MacBinary header the same page reads the same.
    std::vector<uint8_t> bytes = readFile(mac);
    std::vector<uint8_t> prefixed(128, 0);
    prefixed[1] = 4;
    std::copy(bytes.begin(), bytes.end(), std::back_inserter(prefixed));
    Ref<Image> behind = decodeBytes(prefixed, &rc, "prefixed.mac");
    ASSERT_EQ(rc, RC_OK);
    expectEqualPixels(behind.get(), oracle, "MacBinary");

    // Larger than any page can be: not MacPaint at all.
    std::vector<uint8_t> huge = bytes;
    huge.resize(53270, 0);
    Ref<MappedFile> tooLarge = Ref<MappedFile>::adopt(exactSourceCreate(huge, "huge.mac"));
    EXPECT_EQ(macPaintProbe(tooLarge.get()), RC_UNKNOWN_FORMAT);
    huge.resize(53269);
    Ref<MappedFile> largest = Ref<MappedFile>::adopt(exactSourceCreate(huge, "largest.mac"));
    EXPECT_EQ(macPaintProbe(largest.get()), RC_OK);

    // Cut inside the rows: the rows that were there stay, the rest is white.
    // (Still long enough to be told from other files as a page.)
    ASSERT_GT(bytes.size(), 2100u);
    std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + 2012);
    Decoded d = decodeBytesFull(cut, "cut.mac");
    EXPECT_EQ(d.rc, RC_CORRUPT_FILE);
    ASSERT_TRUE(d.image);
    ASSERT_EQ(d.image->width, 576u);
    ASSERT_EQ(d.image->height, 720u);
    Ref<Image> partial = asRgba8(d.image.get());
    EXPECT_EQ(partial->row<Rgba8>(719)[575].r, 255);
    Ref<Image> whole = asRgba8(image.get());
    EXPECT_EQ(std::memcmp(partial->row<Rgba8>(0), whole->row<Rgba8>(0), 576 * 4), 0);
}

// A version 2 header with its patterns; the 0x80 control byte does nothing.
TEST(MacPaint, VersionTwoWithNoOpCodes)
{
    std::vector<uint8_t> bytes(512, 0x55);
    bytes[0] = bytes[1] = bytes[2] = 0;
    bytes[3] = 2;
    for (uint32_t row = 0; row < 720; ++row) {
        bytes.push_back(0x80);                 // nothing
        bytes.push_back(uint8_t(-71));         // 72 copies of
        bytes.push_back(row == 3 ? 0xF0 : 0);  // this byte
    }
    ResultCode rc;
    Ref<Image> image = decodeBytes(bytes, &rc, "v2.mac");
    ASSERT_EQ(rc, RC_OK);
    Ref<Image> rgba = asRgba8(image.get());
    EXPECT_EQ(rgba->row<Rgba8>(3)[0].r, 0);
    EXPECT_EQ(rgba->row<Rgba8>(3)[4].r, 255);
    EXPECT_EQ(rgba->row<Rgba8>(2)[0].r, 255);
}
