// Pixar files built byte by byte (no tool writes them): grey, colour and
// colour with alpha, sizes that do not add up, data outside the file.
#include <gtest/gtest.h>

#include "codecs/more/pixar.h"
#include "support/codec_support.h"

using namespace quillon;
using namespace quillon::test;

namespace {

std::vector<uint8_t> pixarFile(uint32_t w, uint32_t h, uint32_t dataSize, const std::vector<uint8_t>& data)
{
    std::vector<uint8_t> b(520, 0);
    b[416] = uint8_t(h), b[417] = uint8_t(h >> 8);
    b[418] = uint8_t(w), b[419] = uint8_t(w >> 8);
    b[512] = 520 & 0xFF, b[513] = 520 >> 8;
    for (int i = 0; i < 4; ++i) b[516 + i] = uint8_t(dataSize >> (8 * i));
    b.resize(520 + data.size());
    std::copy(data.begin(), data.end(), b.begin() + 520);
    return b;
}

} // namespace

TEST(Pixar, OneThreeAndFourChannels)
{
    for (uint32_t channels : {1u, 3u, 4u}) {
        SCOPED_TRACE(channels);
        std::vector<uint8_t> data;
        for (uint32_t i = 0; i < 5 * 3 * channels; ++i) data.push_back(uint8_t(i * 13 + 1));
        ResultCode rc;
        Ref<Image> image = decodeBytes(pixarFile(5, 3, uint32_t(data.size()), data), &rc, "p.pxr");
        ASSERT_EQ(rc, RC_OK);
        ASSERT_EQ(image->width, 5u);
        ASSERT_EQ(image->height, 3u);
        EXPECT_EQ(image->alphaKind, channels == 4 ? ALPHA_STRAIGHT : ALPHA_NONE);
        Ref<Image> rgba = asRgba8(image.get());
        for (uint32_t i = 0; i < 15; ++i) {
            const Rgba8 p = rgba->row<Rgba8>(i / 5)[i % 5];
            const uint8_t* s = data.data() + i * channels;
            EXPECT_EQ(p.r, s[0]);
            EXPECT_EQ(p.g, channels == 1 ? s[0] : s[1]);
            EXPECT_EQ(p.b, channels == 1 ? s[0] : s[2]);
            EXPECT_EQ(p.a, channels == 4 ? s[3] : 255);
        }
    }
}

TEST(Pixar, SizesThatDoNotAddUp)
{
    ResultCode rc;
    decodeBytes(pixarFile(100, 50, 15001, std::vector<uint8_t>(15001)), &rc, "odd.pxr");
    EXPECT_EQ(rc, RC_UNSUPPORTED_SUBFORMAT);
    decodeBytes(pixarFile(100, 50, 10000, std::vector<uint8_t>(10000)), &rc, "two.pxr");
    EXPECT_EQ(rc, RC_UNSUPPORTED_SUBFORMAT);
    // Data said to lie past the end of the file.
    Ref<MappedFile> shortFile =
        Ref<MappedFile>::adopt(exactSourceCreate(pixarFile(100, 50, 15000, std::vector<uint8_t>(14999)), "short.pxr"));
    EXPECT_EQ(pixarProbe(shortFile.get()), RC_UNKNOWN_FORMAT);
    decodeBytes(pixarFile(100, 50, 15000, std::vector<uint8_t>(15000)), &rc, "ok.pxr");
    EXPECT_EQ(rc, RC_OK);
}
