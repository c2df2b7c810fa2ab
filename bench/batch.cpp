// Headless batch driver for the benchmark: resize to 50% with Catmull-Rom,
// sharpen, write BMP, for every input named on the command line.
//   bench_batch OUTDIR [--no-read-ahead] [--read-ahead N] [--no-overlap] [--width N] [--no-sharpen] INPUT...
// --width N resizes to N pixels wide, keeping the aspect, instead of 50%.
// --read-ahead N decodes up to N inputs ahead (2 unless told).
// --no-overlap encodes each output before the next input is loaded.
#include <cstdio>
#include <cstring>

#include "batch_driver.h"

using namespace quillon;

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr,
                     "usage: %s OUTDIR [--no-read-ahead] [--read-ahead N] [--no-overlap] [--width N] [--no-sharpen] "
                     "INPUT...\n",
                     argv[0]);
        return 2;
    }
    JobSettings& s = bench::halfSizeJob(argv[1], u"x.bmp", u"Normal");
    s.adjustments.setSharpness(0.5f);
    return bench::runQuietBatchFromArgs(s, argc, argv, 2, [&s](const char* option) {
        if (std::strcmp(option, "--no-sharpen") != 0) return false;
        s.adjustments.setSharpness(0.0f);
        return true;
    });
}
