// Driver for the quantisation and conversion benchmarks; the script beside it
// times whole runs against the peer.
//   bench_quantize quantize IN.ppm OUT.ppm [colours] [plain]
//       reads a binary PPM, reduces it to a palette (dithered unless "plain")
//       and writes the palette colours back as PPM.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/quantize.h"

#include "ppm_io.h"

using namespace quillon;
using bench::readPpm;
using bench::writePpm;

namespace {

int fail(const char* what)
{
    std::fprintf(stderr, "bench_quantize: %s\n", what);
    return 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 4) return fail("usage: quantize IN OUT [colours] [plain]");
    const std::string mode = argv[1];
    Ref<Image> src = Ref<Image>::adopt(readPpm(argv[2]));
    if (!src) return fail("cannot read the input PPM");
    if (mode == "quantize") {
        QuantizeOptions o;
        o.colourCount = argc > 4 ? uint32_t(std::atoi(argv[4])) : 256;
        o.dither = !(argc > 5 && std::strcmp(argv[5], "plain") == 0);
        Ref<Image> dst = Ref<Image>::adopt(imageCreate(PF_INDEXED8, src->size()));
        if (!dst) return fail("out of memory");
        if (failed(imageQuantize(dst.get(), src.get(), o))) return fail("quantisation failed");
        return writePpm(argv[3], dst.get()) ? 0 : fail("cannot write the output");
    }
    return fail("unknown mode");
}
