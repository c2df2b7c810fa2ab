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
#include "processing/adjustment_settings.h"
#include "processing/blur.h"
#include "processing/colour_adjust.h"
#include "processing/geometry.h"

using namespace quillon;

namespace {

Image* readPpm(const char* path)
{
    FILE* f = std::fopen(path, "rb");
    if (!f) return nullptr;
    char magic[3] = {};
    unsigned w = 0, h = 0, maxval = 0;
    if (std::fscanf(f, "%2s %u %u %u", magic, &w, &h, &maxval) != 4 || std::strcmp(magic, "P6") != 0 ||
        maxval != 255) {
        std::fclose(f);
        return nullptr;
    }
    std::fgetc(f);
    Image* img = imageCreate(PF_RGBA8, packSize(w, h));
    std::vector<uint8_t> row(size_t(w) * 3);
    for (unsigned y = 0; img && y < h; ++y) {
        if (std::fread(row.data(), 1, row.size(), f) != row.size()) break;
        Rgba8* out = img->row<Rgba8>(y);
        for (unsigned x = 0; x < w; ++x) out[x] = {row[x * 3 + 2], row[x * 3 + 1], row[x * 3], 255};
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
    for (uint32_t y = 0; y < img->height && ok; ++y) {
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
