// Whole-process driver for the resampling benchmark: reads an 8-bit PPM,
// resamples it and writes a PPM, so that its wall time can be set beside
// ImageMagick's and libvips' on the same files.
//
//   bench_resample resize IN OUT WIDTH HEIGHT FILTER   (FILTER: a ResizeFilter id)
//   bench_resample shrink IN OUT FACTOR               (power-of-two box reduction)
//   bench_resample pair IN WIDTH HEIGHT FILTER_A FILTER_B RUNS
//       the same resize with two filters, alternately in one process, timing
//       the resample alone: the medians and the per-pair ratios A / B
//   bench_resample time IN WIDTH HEIGHT FILTER RUNS
//   (BANDS=n in the environment caps the row bands an image splits into:
//   BANDS=1 runs every resample on one thread)
//       seconds of each resample alone, one a line (for pairs of builds),
//       with the CPU seconds of all threads beside them
#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/box_reduce.h"
#include "core/image.h"
#include "ppm_io.h"
#include "core/resize.h"
#include "platform/tasks.h"

using namespace quillon;
using bench::readPpm;
using bench::writePpm;

namespace {

int usage()
{
    std::fprintf(stderr,
                 "usage: bench_resample resize IN OUT WIDTH HEIGHT FILTER\n"
                 "       bench_resample shrink IN OUT FACTOR\n"
                 "       bench_resample pair IN WIDTH HEIGHT FILTER_A FILTER_B RUNS\n"
                 "       bench_resample time IN WIDTH HEIGHT FILTER RUNS\n");
    return 2;
}

// Seconds of one resample into an existing destination (its pages already
// touched, as a batch's reused blocks are); negative on failure.
double timedResample(Image* dst, const Image* src, uint8_t filter)
{
    const auto start = std::chrono::steady_clock::now();
    const ResultCode rc = imageResample(dst, src, filter, nullptr);
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (failed(rc)) {
        std::fprintf(stderr, "resample failed: %08X\n", rc);
        return -1;
    }
    return s;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

int timingModes(const std::string& mode, char** argv, const Image* src)
{
    const uint32_t w = uint32_t(std::atoi(argv[3])), h = uint32_t(std::atoi(argv[4]));
    const uint8_t filterA = uint8_t(std::atoi(argv[5]));
    Ref<Image> a = Ref<Image>::adopt(imageCreate(PF_RGBA8, packSize(w, h)));
    if (!a) return 1;
    if (mode == "time") {
        const int runs = std::max(1, std::atoi(argv[6]));
        if (timedResample(a.get(), src, filterA) < 0) return 1;  // warm-up
        auto cpu = [] {
            timespec t;
            clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
            return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
        };
        for (int i = 0; i < runs; ++i) {
            const double before = cpu();
            const double s = timedResample(a.get(), src, filterA);
            if (s < 0) return 1;
            std::printf("%.6f %.6f\n", s, cpu() - before);
        }
        return 0;
    }
    const uint8_t filterB = uint8_t(std::atoi(argv[6]));
    const int runs = std::max(1, std::atoi(argv[7]));
    Ref<Image> b = Ref<Image>::adopt(imageCreate(PF_RGBA8, packSize(w, h)));
    if (!b) return 1;
    if (timedResample(a.get(), src, filterA) < 0 || timedResample(b.get(), src, filterB) < 0) return 1;
    std::vector<double> ta, tb, ratio;
    for (int i = 0; i < runs; ++i) {
        const double sa = timedResample(a.get(), src, filterA);
        const double sb = timedResample(b.get(), src, filterB);
        if (sa < 0 || sb < 0) return 1;
        ta.push_back(sa);
        tb.push_back(sb);
        ratio.push_back(sa / sb);
    }
    std::sort(ratio.begin(), ratio.end());
    std::printf("filter %d %.4fs, filter %d %.4fs, ratio median %.2f (spread %.2f-%.2f, %d pairs)\n", filterA,
                median(ta), filterB, median(tb), median(ratio), ratio.front(), ratio.back(), runs);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 5) return usage();
    std::unique_ptr<RowBandOverride> bandCap;
    if (const char* bands = std::getenv("BANDS"); bands && *bands)
        bandCap = std::make_unique<RowBandOverride>(unsigned(std::max(1, std::atoi(bands))), uint64_t(512 * 1024));
    const std::string mode = argv[1];
    Ref<Image> src = Ref<Image>::adopt(readPpm(argv[2]));
    if (!src) {
        std::fprintf(stderr, "cannot read %s\n", argv[2]);
        return 1;
    }
    if ((mode == "time" && argc == 7) || (mode == "pair" && argc == 8)) return timingModes(mode, argv, src.get());
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
