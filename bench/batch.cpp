// Headless batch driver for the benchmark: resize to 50% with Catmull-Rom,
// sharpen, write BMP, for every input named on the command line.
//   bench_batch OUTDIR [--no-read-ahead] [--read-ahead N] [--no-overlap] [--width N] [--no-sharpen] INPUT...
// --width N resizes to N pixels wide, keeping the aspect, instead of 50%.
// --read-ahead N decodes up to N inputs ahead (2 unless told).
// --no-overlap encodes each output before the next input is loaded.
#include <cstdio>
#include <cstdlib>
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
    int first = 2;
    bool readAhead = true, overlap = true;
    uint32_t depth = 2;
    for (; first < argc && std::strncmp(argv[first], "--", 2) == 0; ++first) {
        if (std::strcmp(argv[first], "--no-read-ahead") == 0) {
            readAhead = false;
        } else if (std::strcmp(argv[first], "--read-ahead") == 0 && first + 1 < argc) {
            depth = uint32_t(std::strtoul(argv[++first], nullptr, 10));
        } else if (std::strcmp(argv[first], "--no-overlap") == 0) {
            overlap = false;
        } else if (std::strcmp(argv[first], "--no-sharpen") == 0) {
            s.adjustments.setSharpness(0.0f);
        } else if (std::strcmp(argv[first], "--width") == 0 && first + 1 < argc) {
            s.eResize = 2;
            s.iResizeX = uint32_t(std::strtoul(argv[++first], nullptr, 10));
            s.iResizeY = 1000000;  // the width decides, the aspect is kept
            s.bResizeKeepAspect = 1;
        } else {
            std::fprintf(stderr, "unknown option %s\n", argv[first]);
            return 2;
        }
    }
    InputList list;
    for (int i = first; i < argc; ++i) list.addFile(argv[i], false, false);
    return bench::runQuietBatch(s, list, readAhead, overlap, depth);
}
