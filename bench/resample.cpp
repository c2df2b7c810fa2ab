// Whole-process driver for the resampling benchmark: reads an 8-bit PPM,
// resamples it on one thread and writes a PPM, so that its wall time can be
// set beside ImageMagick's and libvips' on the same files.
//
//   bench_resample resize IN OUT WIDTH HEIGHT FILTER   (FILTER: a ResizeFilter id)
//   bench_resample shrink IN OUT FACTOR               (power-of-two box reduction)
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/box_reduce.h"
#include "core/image.h"
#include "ppm_io.h"
#include "core/resize.h"

using namespace quillon;
using bench::readPpm;
using bench::writePpm;

namespace {

int usage()
{
    std::fprintf(stderr,
                 "usage: bench_resample resize IN OUT WIDTH HEIGHT FILTER\n"
                 "       bench_resample shrink IN OUT FACTOR\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 5) return usage();
    const std::string mode = argv[1];
    Ref<Image> src = Ref<Image>::adopt(readPpm(argv[2]));
    if (!src) {
        std::fprintf(stderr, "cannot read %s\n", argv[2]);
        return 1;
    }
    Ref<Image> dst;
    ResultCode rc;
    if (mode == "resize" && argc == 7) {
        const uint32_t w = uint32_t(std::atoi(argv[4])), h = uint32_t(std::atoi(argv[5]));
        dst = Ref<Image>::adopt(imageCreate(PF_RGBA8, packSize(w, h)));
        if (!dst) return 1;
        rc = imageResample(dst.get(), src.get(), uint8_t(std::atoi(argv[6])), nullptr);
    } else if (mode == "shrink" && argc == 5) {
        const uint32_t k = uint32_t(std::atoi(argv[4]));
        uint32_t shift = 0;
        while ((1u << shift) < k) ++shift;
        dst = Ref<Image>::adopt(imageCreate(PF_RGBA8, packSize(src->width >> shift, src->height >> shift)));
        if (!dst) return 1;
        rc = imageShrinkPow2(dst.get(), src.get(), nullptr);
    } else {
        return usage();
    }
    if (failed(rc)) {
        std::fprintf(stderr, "resample failed: %08X\n", rc);
        return 1;
    }
    src.reset();
    if (!writePpm(argv[3], dst.get())) {
        std::fprintf(stderr, "cannot write %s\n", argv[3]);
        return 1;
    }
    return 0;
}
