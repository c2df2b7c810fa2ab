#include "core/box_reduce.h"

#include <gtest/gtest.h>

#include "resample_support.h"

using namespace quillon;
using namespace quillon::test;

namespace {

const PixelFormat kDirect[] = {PF_RGBA8, PF_RGBA16, PF_RGBA_FLOAT, PF_GRAY8, PF_GRAY16, PF_GRAY_FLOAT};

} // namespace

// Every format and factor (32 chains through an intermediate reduced by 16),
// with sizes that leave partial blocks, exactly against numpy.
TEST(ShrinkPow2, EveryFormatAndFactorMatchesNumpy)
{
    QUILLON_REQUIRE_ORACLE();
    TempDir dir;
    struct Case { PixelFormat f; uint32_t k, sw, sh; std::string name; };
    std::vector<Case> cases;
    std::vector<std::string> lines;
    for (PixelFormat f : kDirect)
        for (uint32_t k : {2u, 4u, 8u, 16u, 32u, 64u}) {
            Case c{f, k, k * 5 + k - 1, k * 3 + (k > 2 ? 1 : 0), "s" + std::to_string(f) + "_" + std::to_string(k)};
            cases.push_back(c);
            Ref<Image> src = Ref<Image>::adopt(makeTestImage(f, c.sw, c.sh, k * 7 + f));
            writeRaw(src.get(), dir / (c.name + ".in"));
            lines.push_back("shrink " + std::to_string(f) + " " + std::to_string(c.sw) + " " + std::to_string(c.sh) +
                            " " + std::to_string(c.sw / k) + " " + std::to_string(c.sh / k) + " " +
                            (dir / (c.name + ".in")).string() + " " + (dir / (c.name + ".out")).string());
        }
    ASSERT_TRUE(runOracleBatch(dir, lines));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Ref<Image> src = Ref<Image>::adopt(makeTestImage(c.f, c.sw, c.sh, c.k * 7 + c.f));
        Ref<Image> dst = Ref<Image>::adopt(imageCreate(c.f, packSize(c.sw / c.k, c.sh / c.k)));
        ASSERT_EQ(imageShrinkPow2(dst.get(), src.get(), nullptr), RC_OK);
        EXPECT_EQ(rawDifferences(dst.get(), readRaw(dir / (c.name + ".out"))), 0);
    }
}

TEST(ShrinkPow2, RoundingOfTinyBlocks)
{
    Ref<Image> src = Ref<Image>::adopt(imageCreate(PF_GRAY8, packSize(4, 2)));
    uint8_t* r0 = src->row<uint8_t>(0);
    uint8_t* r1 = src->row<uint8_t>(1);
    r0[0] = 0, r0[1] = 0, r1[0] = 0, r1[1] = 1;  // 1 / 4 rounds down
    r0[2] = 0, r0[3] = 0, r1[2] = 1, r1[3] = 1;  // 2 / 4 rounds up
    Ref<Image> dst = Ref<Image>::adopt(imageCreate(PF_GRAY8, packSize(2, 1)));
    ASSERT_EQ(imageShrinkPow2(dst.get(), src.get(), nullptr), RC_OK);
    EXPECT_EQ(dst->row<uint8_t>(0)[0], 0);
    EXPECT_EQ(dst->row<uint8_t>(0)[1], 1);
}

TEST(ShrinkPow2, RejectsMismatchedImages)
{
    auto make = [](PixelFormat f, uint32_t w, uint32_t h) { return Ref<Image>::adopt(imageCreate(f, packSize(w, h))); };
    Ref<Image> src = make(PF_RGBA8, 64, 64);
    EXPECT_EQ(imageShrinkPow2(make(PF_GRAY8, 32, 32).get(), src.get(), nullptr), RC_GENERAL_FAILURE);
    EXPECT_EQ(imageShrinkPow2(make(PF_RGBA8, 10, 10).get(), src.get(), nullptr), RC_INVALID_PARAMETER);
    EXPECT_EQ(imageShrinkPow2(make(PF_RGBA8, 64, 64).get(), src.get(), nullptr), RC_INVALID_PARAMETER);
    EXPECT_EQ(imageShrinkPow2(make(PF_INDEXED8, 32, 32).get(), make(PF_INDEXED8, 64, 64).get(), nullptr),
              RC_UNSUPPORTED_COLOUR_FORMAT);
    // A destination taller than the width's factor allows would make the
    // kernel read rows below the source: refused.
    EXPECT_EQ(imageShrinkPow2(make(PF_RGBA8, 32, 40).get(), src.get(), nullptr), RC_INVALID_PARAMETER);
    EXPECT_EQ(imageShrinkPow2(make(PF_RGBA8, 2, 8).get(), src.get(), nullptr), RC_INVALID_PARAMETER);
    EXPECT_EQ(imageShrinkPow2(make(PF_GRAY8, 1, 1).get(), make(PF_GRAY8, 64, 8).get(), nullptr),
              RC_INVALID_PARAMETER);
}

TEST(ShrinkPow2, AbortLeavesRowsUnwrittenAndReportsCancelled)
{
    Ref<Image> src = Ref<Image>::adopt(makeTestImage(PF_RGBA8, 64, 64, 1));
    for (uint32_t w : {32u, 2u}) {
        Ref<Image> dst = Ref<Image>::adopt(imageCreate(PF_RGBA8, packSize(w, w)));
        for (uint32_t y = 0; y < w; ++y) std::memset(dst->rowBytesPtr(y), 0xAB, w * 4);
        std::atomic<uint8_t> abort{1};
        EXPECT_EQ(imageShrinkPow2(dst.get(), src.get(), &abort), RC_CANCELLED);
        EXPECT_EQ(dst->rowBytesPtr(0)[0], 0xAB);
    }
}
