#include "core/resample.h"

#include <gtest/gtest.h>

#include "core/box_reduce.h"
#include "resample_support.h"

using namespace quillon;
using namespace quillon::test;

namespace {

const PixelFormat kDirect[] = {PF_RGBA8, PF_RGBA16, PF_RGBA_FLOAT, PF_GRAY8, PF_GRAY16, PF_GRAY_FLOAT};

struct SizeCase { uint32_t sw, sh, dw, dh; };

std::string sizeName(const SizeCase& s)
{
    return std::to_string(s.sw) + "x" + std::to_string(s.sh) + "-" + std::to_string(s.dw) + "x" + std::to_string(s.dh);
}

// Runs resampleRun for every format over the given sizes and compares each
// result byte for byte with the numpy port of the fixed-point algorithm.
void expectMatchesOracle(const std::vector<SizeCase>& sizes, const std::vector<PixelFormat>& formats)
{
    TempDir dir;
    std::vector<std::string> lines;
    auto base = [&](PixelFormat f, const SizeCase& s) { return dir / ("f" + std::to_string(f) + "-" + sizeName(s)); };
    for (PixelFormat f : formats)
        for (const SizeCase& s : sizes) {
            Ref<Image> src = Ref<Image>::adopt(makeTestImage(f, s.sw, s.sh, s.sw * 31 + s.sh + f));
            ASSERT_TRUE(src);
            writeRaw(src.get(), base(f, s).string() + ".in");
            lines.push_back("cubic " + std::to_string(f) + " " + std::to_string(s.sw) + " " + std::to_string(s.sh) +
                            " " + std::to_string(s.dw) + " " + std::to_string(s.dh) + " " + base(f, s).string() +
                            ".in " + base(f, s).string() + ".out");
        }
    ASSERT_TRUE(runOracleBatch(dir, lines));
    for (PixelFormat f : formats)
        for (const SizeCase& s : sizes) {
            SCOPED_TRACE("format " + std::to_string(f) + " " + sizeName(s));
            Ref<Image> src = Ref<Image>::adopt(makeTestImage(f, s.sw, s.sh, s.sw * 31 + s.sh + f));
            Ref<Image> dst = Ref<Image>::adopt(imageCreate(f, packSize(s.dw, s.dh)));
            ASSERT_EQ(resampleRun(0, dst.get(), src.get(), nullptr), RC_OK);
            EXPECT_EQ(rawDifferences(dst.get(), readRaw(base(f, s).string() + ".out")), 0);
        }
}

} // namespace

TEST(ResampleWeights, TableMatchesGeneratorAndTellingRows)
{
    const ResampleWeightRow* t = resampleWeightTable();
    const int16_t telling[][5] = {{0, 0, 16384, 0, 0},         {1, -31, 16383, 32, 0},
                                  {2, -62, 16382, 66, 0},       {64, -1151, 14208, 3712, -383},
                                  {128, -1023, 9216, 9216, -1023}, {192, -383, 3712, 14208, -1151},
                                  {255, 0, 32, 16383, -31}};
    for (const auto& r : telling)
        for (int i = 0; i < 4; ++i) EXPECT_EQ(t[r[0]][i], r[i + 1]) << "phase " << r[0] << " tap " << i;
    const float* tf = resampleWeightTableFloat();
    for (int p = 0; p < 256; ++p)
        for (int i = 0; i < 4; ++i) ASSERT_EQ(tf[p * 4 + i], t[p][i] / 16384.0f);

    QUILLON_REQUIRE_ORACLE();
    TempDir dir;
    ASSERT_EQ(run(std::string(kOracle) + " " + shellQuote(oracleScript()) + " weights " +
                  shellQuote((dir / "w").string())), 0);
    std::vector<uint8_t> raw = readFile(dir / "w");
    ASSERT_EQ(raw.size(), 256u * 4 * 2);
    EXPECT_EQ(std::memcmp(raw.data(), t, raw.size()), 0);
}

// The paths of the engine: box only, cubic then box, the exact x2 and x4
// kernels, the general kernel both ways, tiny and one-pixel sources (whole
// rows through the edge scratch), and a reduction below 2 in one axis only.
TEST(ResampleEngine, EveryFormatAndPathMatchesNumpyPort)
{
    QUILLON_REQUIRE_ORACLE();
    expectMatchesOracle({{40, 40, 10, 10},
                         {40, 40, 12, 12},
                         {65, 33, 7, 5},
                         {20, 20, 40, 40},
                         {20, 15, 80, 60},
                         {20, 20, 40, 30},
                         {13, 9, 29, 17},
                         {50, 30, 31, 23},
                         {50, 30, 20, 29},
                         {1, 1, 5, 3},
                         {1, 12, 3, 5},
                         {12, 1, 7, 4},
                         {7, 5, 3, 9},
                         {9, 3, 16, 2},
                         {8, 8, 8, 8},
                         {64, 45, 32, 22},
                         {30, 20, 30, 27},
                         {300, 200, 9, 6}},
                        {std::begin(kDirect), std::end(kDirect)});
}

// Reductions whose halving is not exact average the cubic rows as they are
// made instead of storing the cubic pass as an image: the pixels must be
// those of the two steps run apart (cubic pass, then box averaging), on
// every format, on odd sizes, with equal widths (the copying row kernel),
// and beyond 16 (the chain behind the first box step).
TEST(ResampleEngine, FusedBoxAveragingEqualsTheTwoSteps)
{
    const SizeCase sizes[] = {{302, 169, 151, 84}, {301, 169, 150, 84}, {301, 169, 149, 83},
                              {257, 255, 31, 63},  {97, 33, 11, 16},   {999, 333, 30, 10},  {41, 1000, 20, 7}};
    for (PixelFormat f : kDirect)
        for (const SizeCase& s : sizes) {
            SCOPED_TRACE("format " + std::to_string(f) + " " + sizeName(s));
            Ref<Image> src = Ref<Image>::adopt(makeTestImage(f, s.sw, s.sh, s.sw + 7 * s.dh + f));
            Ref<Image> fused = Ref<Image>::adopt(imageCreate(f, packSize(s.dw, s.dh)));
            ASSERT_EQ(resampleRun(3, fused.get(), src.get(), nullptr), RC_OK);
            uint32_t shift = 1;
            while ((s.dw << (shift + 1)) <= s.sw && (s.dh << (shift + 1)) <= s.sh) ++shift;
            Ref<Image> mid = Ref<Image>::adopt(imageCreate(f, packSize(s.dw << shift, s.dh << shift)));
            Ref<Image> apart = Ref<Image>::adopt(imageCreate(f, packSize(s.dw, s.dh)));
            ASSERT_EQ(resampleSetup(mid.get(), src.get(), nullptr), RC_OK);
            ASSERT_EQ(imageShrinkPow2(apart.get(), mid.get(), nullptr), RC_OK);
            const size_t bytes = size_t(s.dw) * fused->bytesPerPixel();
            for (uint32_t y = 0; y < s.dh; ++y)
                ASSERT_EQ(std::memcmp(fused->rowBytesPtr(y), apart->rowBytesPtr(y), bytes), 0) << "row " << y;
        }
}

// Sources 32,768 pixels wide and more put x * stepX past 2^31; rows past
// 65,535 do the same vertically. Both must still sample the right pixels.
TEST(ResampleEngine, PanoramaWidthsAndTallSources)
{
    QUILLON_REQUIRE_ORACLE();
    expectMatchesOracle({{40000, 3, 32000, 2}, {40000, 2, 30001, 3}}, {PF_RGBA8});
    expectMatchesOracle({{2, 70000, 3, 50000}}, {PF_GRAY8});
}

TEST(ResampleEngine, SharedSourceIsNeverWritten)
{
    // Edge pixels are prepared in the engine's own scratch: a source image
    // that other threads may read must stay byte for byte as it was, slack
    // included.
    for (PixelFormat f : kDirect) {
        Ref<Image> src = Ref<Image>::adopt(makeTestImage(f, 30, 6, 5));
        const size_t bytes = src->rowBytes() * src->rowsAllocated();
        for (uint32_t y = 0; y < src->rowsAllocated(); ++y) {
            uint8_t* row = src->rowBytesPtr(y);
            const size_t used = y < src->height ? size_t(src->width) * src->bytesPerPixel() : 0;
            std::memset(row + used, 0x5A, src->rowBytes() - used);
        }
        std::vector<uint8_t> before(static_cast<const uint8_t*>(src->pixels()),
                                    static_cast<const uint8_t*>(src->pixels()) + bytes);
        for (uint32_t dw : {20u, 60u, 45u, 120u}) {
            Ref<Image> dst = Ref<Image>::adopt(imageCreate(f, packSize(dw, dw / 5)));
            ASSERT_EQ(resampleRun(3, dst.get(), src.get(), nullptr), RC_OK);
        }
        EXPECT_EQ(std::memcmp(before.data(), src->pixels(), bytes), 0) << "format " << int(f);
    }
}

TEST(ResampleEngine, AbortAndParameterErrors)
{
    Ref<Image> src = Ref<Image>::adopt(makeTestImage(PF_RGBA8, 32, 32, 9));
    for (uint32_t w : {48u, 16u, 12u}) {
        Ref<Image> dst = Ref<Image>::adopt(imageCreate(PF_RGBA8, packSize(w, w)));
        for (uint32_t y = 0; y < w; ++y) std::memset(dst->rowBytesPtr(y), 0xC3, w * 4);
        std::atomic<uint8_t> abort{1};
        EXPECT_EQ(resampleRun(0, dst.get(), src.get(), &abort), RC_CANCELLED);
        EXPECT_EQ(dst->rowBytesPtr(0)[0], 0xC3);
        EXPECT_EQ(dst->rowBytesPtr(w - 1)[w * 4 - 1], 0xC3);
    }
    Ref<Image> gray = Ref<Image>::adopt(imageCreate(PF_GRAY8, packSize(40, 40)));
    EXPECT_EQ(resampleRun(0, gray.get(), src.get(), nullptr), RC_GENERAL_FAILURE);
    Ref<Image> ia = Ref<Image>::adopt(imageCreate(PF_INDEXED8, packSize(10, 10)));
    Ref<Image> ib = Ref<Image>::adopt(imageCreate(PF_INDEXED8, packSize(15, 15)));
    EXPECT_EQ(resampleRun(0, ib.get(), ia.get(), nullptr), RC_UNSUPPORTED_COLOUR_FORMAT);
}
