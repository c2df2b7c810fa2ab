// Headless batch driver for the JPEG benchmark: every input named on the
// command line is decoded, resized to 50% with Catmull-Rom and written as
// JPEG at quality 85, as a silent batch does.
//   bench_jpeg_batch OUTDIR [--no-read-ahead] INPUT...
#include <cstdio>
#include <cstring>

#include "batch_driver.h"

using namespace quillon;

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s OUTDIR [--no-read-ahead] INPUT...\n", argv[0]);
        return 2;
    }
    JobSettings& s = bench::halfSizeJob(argv[1], u"x.jpg", u"Normal, by Quality:");
    s.slots[0].iCompParam = 85;
    int first = 2;
    bool readAhead = true;
    if (std::strcmp(argv[2], "--no-read-ahead") == 0) {
        readAhead = false;
        ++first;
    }
    InputList list;
    for (int i = first; i < argc; ++i) list.addFile(argv[i], false, false);
    return bench::runQuietBatch(s, list, readAhead);
}
