// Headless batch driver for the JPEG benchmarks: every input named on the
// command line is decoded, resized with Catmull-Rom (to 50%, or to a width
// with the aspect kept) and written as JPEG at quality 85, as a silent
// batch does.
//   bench_jpeg_batch OUTDIR [--no-read-ahead] [--read-ahead N] [--no-overlap] [--width N] INPUT...
// --read-ahead N reads N inputs ahead (by default as many as the batch
// chooses); --no-overlap encodes each output before the next input is
// loaded.
#include <cstdio>

#include "batch_driver.h"

using namespace quillon;

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s OUTDIR [--no-read-ahead] [--read-ahead N] [--no-overlap] [--width N] INPUT...\n",
                     argv[0]);
        return 2;
    }
    JobSettings& s = bench::halfSizeJob(argv[1], u"x.jpg", u"Normal, by Quality:");
    s.slots[0].iCompParam = 85;
    return bench::runQuietBatchFromArgs(s, argc, argv, 2, [](const char*) { return false; });
}
