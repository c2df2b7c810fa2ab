#pragma once
// Helpers of the JPEG decoder tests: source pictures cut from a real photo,
// streams made by cjpeg, reference planes from djpeg, and our decoder run
// into an exact-size buffer (so ASan sees any write past it).
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "codecs/main/jpeg_decoder.h"
#include "core/result.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

namespace quillon::test {

struct JpegOutput {
    ResultCode rc = RC_GENERAL_FAILURE;
    uint32_t width = 0, height = 0;          // image size (reduced: rounded up to /8)
    uint32_t rowPixels = 0, rows = 0, bpp = 0;
    uint8_t colourSpace = 0;
    bool usedBands = false;
    uint32_t scansOnTasks = 0;               // scans handed to the task pool
    bool paddingIntact = true;               // the bytes after each row kept `fill`
    std::vector<uint8_t> pixels;             // rows x rowPixels x bpp
    uint8_t at(uint32_t x, uint32_t y, uint32_t c) const { return pixels[(size_t(y) * rowPixels + x) * bpp + c]; }
};

struct JpegDecodeOptions {
    bool reduced = false;
    bool convert = true;
    int8_t band = -1;
    int8_t bandSplit = -1;
    int64_t rows = -1;                       // destination rows; -1: all decoded rows
    const std::atomic<uint8_t>* abortByte = nullptr;
    uint8_t fill = 0xA5;                     // initial buffer contents
    uint32_t padding = 0;                    // bytes after each row's pixels
};

JpegOutput jpegDecodeBytes(const std::vector<uint8_t>& bytes, const JpegDecodeOptions& options = {});
// jpegDecodeBytes with every worker of the task pool kept busy until
// releaseAfterMs after the decode starts (-1: until it has ended).
JpegOutput jpegDecodeWithPoolBusy(const std::vector<uint8_t>& bytes, const JpegDecodeOptions& options,
                                  int releaseAfterMs);

// A w x h RGB picture cut from one of the installed photographs (cached).
Pnm photoCrop(uint32_t width, uint32_t height, uint32_t x0 = 37, uint32_t y0 = 53);

// cjpeg over a picture with the given arguments; empty on failure.
std::vector<uint8_t> cjpegBytes(const TempDir& dir, const Pnm& picture, const std::string& args);
// djpeg over a stream with the given arguments, parsed.
bool djpegDecode(const TempDir& dir, const std::vector<uint8_t>& bytes, const std::string& args, Pnm& out);
// Our Y plane (component 0, no colour conversion) equals the reference's.
void expectSameY(const JpegOutput& ours, const Pnm& ref, const std::string& what);
// Our raw Y of a stream against djpeg -grayscale (1/8 with `reduced`).
void expectExactY(const TempDir& dir, const std::vector<uint8_t>& jpg, bool reduced, const std::string& what);

} // namespace quillon::test

namespace quillon::test {

// Tests that compare with cjpeg and djpeg: skipped where the tools are
// missing, failed in CI, where they must be present.
class JpegToolsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!haveTool("cjpeg") || !haveTool("djpeg")) {
            if (std::getenv("CI")) FAIL() << "missing cjpeg/djpeg";
            GTEST_SKIP() << "missing cjpeg/djpeg";
        }
    }
    TempDir dir;
};

// Encodes samples (width x height x components, interleaved) with
// libjpeg-turbo, for streams cjpeg cannot make. jpegSpace and inSpace are
// J_COLOR_SPACE values; adobe chooses whether the Adobe segment is written.
std::vector<uint8_t> libjpegEncode(const std::vector<uint8_t>& samples, uint32_t width, uint32_t height,
                                   int components, int inSpace, int jpegSpace, bool adobe, int quality = 90);

} // namespace quillon::test
