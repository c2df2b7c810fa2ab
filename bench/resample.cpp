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
#include "core/resize.h"

using namespace quillon;

namespace {

bool readToken(FILE* f, std::string& out)
{
    out.clear();
    int c = fgetc(f);
    while (c != EOF) {
        if (c == '#') {
            while (c != EOF && c != '\n') c = fgetc(f);
        } else if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            if (!out.empty()) return true;
        } else {
            out.push_back(char(c));
        }
        c = fgetc(f);
    }
    return !out.empty();
}

Image* readPpm(const char* path)
{
    FILE* f = std::fopen(path, "rb");
    if (!f) return nullptr;
    std::string magic, w, h, maxval;
    Image* img = nullptr;
    if (readToken(f, magic) && magic == "P6" && readToken(f, w) && readToken(f, h) && readToken(f, maxval) &&
        maxval == "255") {
        const uint32_t width = uint32_t(std::strtoul(w.c_str(), nullptr, 10));
        const uint32_t height = uint32_t(std::strtoul(h.c_str(), nullptr, 10));
        img = imageCreate(PF_RGBA8, packSize(width, height));
        std::vector<uint8_t> row(size_t(width) * 3);
        for (uint32_t y = 0; img && y < height; ++y) {
            if (std::fread(row.data(), 1, row.size(), f) != row.size()) {
                objectRelease(img);
                img = nullptr;
                break;
            }
            Rgba8* out = img->row<Rgba8>(y);
            for (uint32_t x = 0; x < width; ++x) out[x] = {row[x * 3 + 2], row[x * 3 + 1], row[x * 3], 255};
        }
    }
    std::fclose(f);
    return img;
}

bool writePpm(const char* path, const Image* img)
{
    FILE* f = std::fopen(path, "wb");
    if (!f) return false;
    std::fprintf(f, "P6\n%u %u\n255\n", img->width, img->height);
    std::vector<uint8_t> row(size_t(img->width) * 3);
    bool ok = true;
    for (uint32_t y = 0; ok && y < img->height; ++y) {
        const Rgba8* in = img->row<Rgba8>(y);
        for (uint32_t x = 0; x < img->width; ++x) {
            row[x * 3] = in[x].r;
            row[x * 3 + 1] = in[x].g;
            row[x * 3 + 2] = in[x].b;
        }
        ok = std::fwrite(row.data(), 1, row.size(), f) == row.size();
    }
    return std::fclose(f) == 0 && ok;
}

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
