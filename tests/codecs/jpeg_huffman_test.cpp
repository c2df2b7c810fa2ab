// Huffman decoding at the edges of its fast paths, against djpeg: noise
// pictures, whose blocks often run to their last coefficient without an end
// of block (so the next block's codes follow at once), at every sampling and
// at one eighth; and streams with a restart marker after every MCU, cut at
// every byte, where each MCU before the cut must match djpeg's decode of the
// whole stream and each MCU after it must come out level grey.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "jpeg_decoder_test_util.h"

using namespace quillon;
using namespace quillon::test;

namespace {

// Uniform noise over a gentle gradient (a fixed generator, so every run
// codes the same stream).
Pnm noisePicture(uint32_t width, uint32_t height, uint32_t seed)
{
    Pnm p = Pnm::rgb8(width, height);
    uint32_t state = seed;
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x)
            for (uint32_t c = 0; c < 3; ++c) {
                state = state * 1664525u + 1013904223u;
                uint32_t base = (x * 3 + y * 2 + c * 60) & 255;
                p.samples[(size_t(y) * width + x) * 3 + c] = uint16_t((base + (state >> 24)) / 2);
            }
    return p;
}

class JpegHuffman : public JpegToolsTest {};

// Start of the entropy-coded data: just past the first SOS segment.
size_t scanDataStart(const std::vector<uint8_t>& jpg)
{
    size_t i = 2;
    while (i + 4 <= jpg.size() && jpg[i] == 0xFF) {
        size_t len = (size_t(jpg[i + 2]) << 8) | jpg[i + 3];
        if (jpg[i + 1] == 0xDA) return i + 2 + len;
        i += 2 + len;
    }
    return 0;
}

} // namespace

TEST_F(JpegHuffman, NoiseBlocksThatRunToTheirLastCoefficientMatchDjpeg)
{
    const Pnm pic = noisePicture(67, 45, 7);
    for (const char* args :
         {"-sample 1x1", "-sample 1x1 -quality 100", "-sample 2x2 -quality 100 -optimize", "-sample 2x1 -optimize",
          "-sample 4x1 -quality 95", "-grayscale -quality 100", "-grayscale -optimize -quality 90",
          "-sample 1x1 -quality 100 -restart 1B", "-sample 2x2 -quality 100 -restart 3B"}) {
        auto jpg = cjpegBytes(dir, pic, args);
        expectExactY(dir, jpg, false, args);
        expectExactY(dir, jpg, true, std::string(args) + " 1/8");
    }
}

TEST_F(JpegHuffman, StreamsCutAtEveryByteKeepTheMcusBeforeTheCut)
{
    struct Case {
        const char* args;
        uint32_t mcuWidth, mcuHeight;
    };
    const Pnm pic = noisePicture(64, 32, 11);
    for (const Case& k : {Case{"-grayscale -quality 100 -restart 1B", 8, 8},
                          Case{"-sample 2x2 -quality 95 -optimize -restart 1B", 16, 16}}) {
        const auto jpg = cjpegBytes(dir, pic, k.args);
        ASSERT_FALSE(jpg.empty()) << k.args;
        Pnm full;
        ASSERT_TRUE(djpegDecode(dir, jpg, "-grayscale -pnm", full)) << k.args;
        Pnm eighth;
        ASSERT_TRUE(djpegDecode(dir, jpg, "-grayscale -scale 1/8 -pnm", eighth)) << k.args;
        const size_t start = scanDataStart(jpg);
        ASSERT_GT(start, 0u) << k.args;
        const uint32_t mcusPerRow = (pic.width + k.mcuWidth - 1) / k.mcuWidth;
        const uint32_t mcuCount = mcusPerRow * ((pic.height + k.mcuHeight - 1) / k.mcuHeight);

        size_t markers = 0;  // restart markers wholly before the cut
        for (size_t cut = start; cut <= jpg.size(); ++cut) {
            if (cut >= start + 2 && jpg[cut - 2] == 0xFF && jpg[cut - 1] >= 0xD0 && jpg[cut - 1] <= 0xD7) ++markers;
            const std::vector<uint8_t> part(jpg.begin(), jpg.begin() + cut);
            for (bool reduced : {false, true}) {
                JpegDecodeOptions o;
                o.reduced = reduced;
                o.convert = false;
                const JpegOutput ours = jpegDecodeBytes(part, o);
                // Only the end-of-image marker may be missing.
                ASSERT_EQ(ours.rc, cut + 2 >= jpg.size() ? RC_OK : RC_CORRUPT_FILE) << k.args << " cut at " << cut;
                const Pnm& ref = reduced ? eighth : full;
                const uint32_t scale = reduced ? 8 : 1;
                const uint32_t w = k.mcuWidth / scale, h = k.mcuHeight / scale;
                // MCU `markers` is the one the cut falls in: anything goes there.
                for (uint32_t m = 0; m < mcuCount; ++m) {
                    if (m == markers) continue;
                    const uint32_t x0 = (m % mcusPerRow) * w, y0 = (m / mcusPerRow) * h;
                    for (uint32_t y = y0; y < y0 + h && y < ref.height; ++y)
                        for (uint32_t x = x0; x < x0 + w && x < ref.width; ++x) {
                            const uint32_t want = m < markers ? ref.at(x, y, 0) : 128;
                            ASSERT_EQ(ours.at(x, y, 0), want)
                                << k.args << (reduced ? " 1/8" : "") << " cut at " << cut << ", MCU " << m
                                << " of " << mcuCount << " (" << x << ", " << y << ")";
                        }
                }
            }
        }
        EXPECT_EQ(markers, mcuCount - 1) << k.args;
    }
}
