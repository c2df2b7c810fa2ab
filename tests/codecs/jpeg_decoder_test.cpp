// The JPEG decoder against libjpeg-turbo's djpeg: the Y plane exactly (djpeg
// -grayscale gives Y with no upsampling or colour conversion), full size and
// one eighth, over samplings, sizes, restart intervals and scan scripts.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "jpeg_decoder_test_util.h"

using namespace quillon;
using namespace quillon::test;

namespace {

struct Sampling {
    const char* name;
    const char* args;
    bool grey;
};
const Sampling kSamplings[] = {
    {"444", "-sample 1x1", false}, {"422", "-sample 2x1", false}, {"440", "-sample 1x2", false},
    {"420", "-sample 2x2", false}, {"411", "-sample 4x1", false}, {"grey", "-grayscale", true},
};

struct Size {
    uint32_t w, h;
};
const Size kSizes[] = {{1, 1}, {17, 9}, {257, 131}};

// Progressive scripts with successive approximation down to Al 0 for every
// coefficient (djpeg smooths blocks whose coefficients stay inexact, so
// every script here completes them), and one whose first DC scan holds only
// the chroma components.
const char* kColourScript =
    "0 1 2: 0 0 0 2;\n"
    "0: 1 5 0 2;\n"
    "2: 1 63 0 1;\n"
    "1: 1 63 0 1;\n"
    "0: 6 63 0 2;\n"
    "0: 1 63 2 1;\n"
    "0 1 2: 0 0 2 1;\n"
    "0 1 2: 0 0 1 0;\n"
    "2: 1 63 1 0;\n"
    "1: 1 63 1 0;\n"
    "0: 1 63 1 0;\n";
const char* kSplitDcScript =
    "1 2: 0 0 0 1;\n"
    "0: 0 0 0 1;\n"
    "0: 1 63 0 0;\n"
    "1: 1 63 0 0;\n"
    "2: 1 63 0 0;\n"
    "0 1 2: 0 0 1 0;\n";
const char* kGreyScript =
    "0: 0 0 0 1;\n"
    "0: 1 9 0 2;\n"
    "0: 10 63 0 1;\n"
    "0: 1 9 2 1;\n"
    "0: 1 63 1 0;\n"
    "0: 0 0 1 0;\n";
// Sequential frames in several scans.
const char* kThreeScans = "0;\n1;\n2;\n";
const char* kTwoScans = "1 2;\n0;\n";

std::string scriptArg(const TempDir& dir, const std::string& name, const char* script)
{
    writeFile(dir / name, std::string(script));
    return "-scans " + shellQuote((dir / name).string());
}

class JpegExactY : public JpegToolsTest {};

} // namespace

TEST_F(JpegExactY, BaselineRestartsAndOneEighthOverSamplingsAndSizes)
{
    for (const Sampling& s : kSamplings)
        for (const Size& size : kSizes) {
            Pnm pic = photoCrop(size.w, size.h);
            for (const char* extra : {"", "-restart 1", "-restart 3B", "-quality 97"}) {
                std::string what = std::string(s.name) + " " + std::to_string(size.w) + "x" +
                                   std::to_string(size.h) + " " + extra;
                auto jpg = cjpegBytes(dir, pic, std::string(s.args) + " " + extra);
                expectExactY(dir, jpg, false, what);
                expectExactY(dir, jpg, true, what + " 1/8");
            }
        }
}

TEST_F(JpegExactY, ProgressiveScriptsOverSamplingsAndSizes)
{
    const std::string colour = scriptArg(dir, "colour.txt", kColourScript);
    const std::string split = scriptArg(dir, "split.txt", kSplitDcScript);
    const std::string grey = scriptArg(dir, "grey.txt", kGreyScript);
    for (const Sampling& s : kSamplings)
        for (const Size& size : kSizes) {
            Pnm pic = photoCrop(size.w, size.h);
            std::vector<std::string> variants = {"-progressive", "-progressive -restart 2B"};
            if (s.grey) {
                variants.push_back(grey);
            } else {
                variants.push_back(colour);
                variants.push_back(split);
                variants.push_back(colour + " -restart 1");
            }
            for (const std::string& v : variants) {
                std::string what = std::string(s.name) + " " + std::to_string(size.w) + "x" +
                                   std::to_string(size.h) + " " + v;
                auto jpg = cjpegBytes(dir, pic, std::string(s.args) + " " + v);
                expectExactY(dir, jpg, false, what);
                expectExactY(dir, jpg, true, what + " 1/8");
            }
        }
}

TEST_F(JpegExactY, SequentialFramesInSeveralScans)
{
    const std::string three = scriptArg(dir, "three.txt", kThreeScans);
    const std::string two = scriptArg(dir, "two.txt", kTwoScans);
    for (const Sampling& s : kSamplings) {
        if (s.grey) continue;
        for (const Size& size : kSizes) {
            Pnm pic = photoCrop(size.w, size.h);
            for (const std::string& v : {three, two, three + " -restart 2B"}) {
                std::string what = std::string(s.name) + " " + std::to_string(size.w) + "x" +
                                   std::to_string(size.h) + " " + v;
                auto jpg = cjpegBytes(dir, pic, std::string(s.args) + " " + v);
                expectExactY(dir, jpg, false, what);
                expectExactY(dir, jpg, true, what + " 1/8");
            }
        }
    }
}

TEST_F(JpegExactY, LargeImagesWholeAndInBands)
{
    Pnm pic = photoCrop(1500, 1100);
    for (const char* args : {"-sample 2x2", "-sample 2x2 -progressive", "-sample 1x1 -restart 5", "-grayscale"}) {
        auto jpg = cjpegBytes(dir, pic, args);
        expectExactY(dir, jpg, false, args);
        expectExactY(dir, jpg, true, std::string(args) + " 1/8");
    }
}

TEST_F(JpegExactY, StreamWithoutHuffmanTablesUsesTheTypicalOnes)
{
    Pnm pic = photoCrop(64, 48);
    auto jpg = cjpegBytes(dir, pic, "-sample 2x2");
    ASSERT_FALSE(jpg.empty());
    // Remove every DHT segment (cjpeg without -optimize codes with the
    // typical tables of the standard).
    std::vector<uint8_t> stripped(jpg.begin(), jpg.begin() + 2);
    size_t i = 2, dhts = 0;
    while (i + 4 <= jpg.size() && jpg[i] == 0xFF && jpg[i + 1] != 0xDA) {
        size_t len = (jpg[i + 2] << 8) | jpg[i + 3];
        if (jpg[i + 1] == 0xC4) ++dhts;
        else stripped.insert(stripped.end(), jpg.begin() + i, jpg.begin() + i + 2 + len);
        i += 2 + len;
    }
    stripped.insert(stripped.end(), jpg.begin() + i, jpg.end());
    ASSERT_GT(dhts, 0u);
    JpegDecodeOptions raw;
    raw.convert = false;
    JpegOutput a = jpegDecodeBytes(jpg, raw), b = jpegDecodeBytes(stripped, raw);
    ASSERT_EQ(a.rc, RC_OK);
    ASSERT_EQ(b.rc, RC_OK);
    EXPECT_EQ(a.pixels, b.pixels);
}
