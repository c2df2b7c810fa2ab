// Benchmark driver for the processing operations: reads a binary PPM, runs
// one operation on the whole image and writes the result as PPM, so that a
// whole process compares with a peer tool doing the same.
//
// usage: bench_processing OP IN.ppm OUT.ppm
// OP: sharpen (unsharp mask, amount 1), rotate90 (a quarter turn clockwise),
//     adjust (hue and saturation turned, brightness raised), blur (undither).
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/image.h"
#include "ppm_io.h"
#include "processing/adjustment_settings.h"
#include "processing/blur.h"
#include "processing/colour_adjust.h"
#include "processing/geometry.h"

using namespace quillon;
using bench::readPpm;
using bench::writePpm;

namespace {

} // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s sharpen|rotate90|adjust|blur IN.ppm OUT.ppm\n", argv[0]);
        return 2;
    }
    const std::string op = argv[1];
    Image* img = readPpm(argv[2]);
    if (!img) {
        std::fprintf(stderr, "cannot read %s\n", argv[2]);
        return 1;
    }
    ResultCode rc = RC_INVALID_PARAMETER;
    if (op == "sharpen") {
        rc = imageSharpenFrames(&img, 1.0f);
    } else if (op == "rotate90") {
        rc = imageRotateFrames(&img, 3);
    } else if (op == "adjust") {
        AdjustmentSettings adj;
        adj.setColour(&AdjustmentSettings::hue, 0.25f);
        adj.setColour(&AdjustmentSettings::saturation, 0.3f);
        adj.setColour(&AdjustmentSettings::brightness, 0.1f);
        rc = imageColorAdjustFrames(img, adj);
    } else if (op == "blur") {
        rc = imageBlurFrames(&img, 40, 0.7f);
    }
    if (failed(rc)) {
        std::fprintf(stderr, "%s failed: %08x\n", op.c_str(), rc);
        objectRelease(img);
        return 1;
    }
    bool ok = writePpm(argv[3], img);
    objectRelease(img);
    return ok ? 0 : 1;
}
