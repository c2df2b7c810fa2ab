// Headless batch driver for the JPEG benchmarks: every input named on the
// command line is decoded, resized with Catmull-Rom (to 50%, or to a width
// with the aspect kept) and written as JPEG at quality 85, as a silent
// batch does.
//   bench_jpeg_batch OUTDIR [--no-read-ahead] [--no-overlap] [--width N] INPUT...
// --no-overlap encodes each output before the next input is loaded.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "batch_driver.h"

using namespace quillon;

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s OUTDIR [--no-read-ahead] [--no-overlap] [--width N] INPUT...\n",
                     argv[0]);
        return 2;
    }
    JobSettings& s = bench::halfSizeJob(argv[1], u"x.jpg", u"Normal, by Quality:");
    s.slots[0].iCompParam = 85;
    int first = 2;
    bool readAhead = true, overlap = true;
    for (; first < argc && std::strncmp(argv[first], "--", 2) == 0; ++first) {
        if (std::strcmp(argv[first], "--no-read-ahead") == 0) {
            readAhead = false;
        } else if (std::strcmp(argv[first], "--no-overlap") == 0) {
            overlap = false;
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
    return bench::runQuietBatch(s, list, readAhead, overlap);
}
