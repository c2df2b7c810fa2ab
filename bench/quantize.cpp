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

using namespace quillon;

namespace {

int fail(const char* what)
{
    std::fprintf(stderr, "bench_quantize: %s\n", what);
    return 1;
}

bool readToken(FILE* f, long* out)
{
    int c;
    do {
        c = std::fgetc(f);
        if (c == '#')
            while (c != '\n' && c != EOF) c = std::fgetc(f);
    } while (c == ' ' || c == '\t' || c == '\n' || c == '\r');
    if (c < '0' || c > '9') return false;
    long v = 0;
    while (c >= '0' && c <= '9') {
        v = v * 10 + (c - '0');
        if (v > 1000000) return false;
        c = std::fgetc(f);
    }
    *out = v;
    return true;
}

Image* readPpm(const char* path)
{
    FILE* f = std::fopen(path, "rb");
    if (!f) return nullptr;
    long w = 0, h = 0, maxval = 0;
    char magic[2] = {};
    Image* img = nullptr;
    if (std::fread(magic, 1, 2, f) == 2 && magic[0] == 'P' && magic[1] == '6' && readToken(f, &w) && readToken(f, &h) &&
        readToken(f, &maxval) && maxval == 255 && w > 0 && h > 0) {
        img = imageCreate(PF_RGBA8, packSize(uint32_t(w), uint32_t(h)));
        std::vector<uint8_t> row(size_t(w) * 3);
        for (long y = 0; img && y < h; ++y) {
            if (std::fread(row.data(), 1, row.size(), f) != row.size()) {
                objectRelease(img);
                img = nullptr;
                break;
            }
            Rgba8* p = img->row<Rgba8>(uint32_t(y));
            for (long x = 0; x < w; ++x) p[x] = {row[x * 3 + 2], row[x * 3 + 1], row[x * 3], 255};
        }
    }
    std::fclose(f);
    return img;
}

bool writePpm(const char* path, const Image* ix)
{
    FILE* f = std::fopen(path, "wb");
    if (!f) return false;
    std::fprintf(f, "P6\n%u %u\n255\n", ix->width, ix->height);
    std::vector<uint8_t> row(size_t(ix->width) * 3);
    const uint32_t* pal = ix->palette();
    bool ok = true;
    for (uint32_t y = 0; y < ix->height && ok; ++y) {
        const uint8_t* p = ix->row<uint8_t>(y);
        for (uint32_t x = 0; x < ix->width; ++x) {
            uint32_t c = pal[p[x]];
            row[x * 3] = uint8_t(c >> 16);
            row[x * 3 + 1] = uint8_t(c >> 8);
            row[x * 3 + 2] = uint8_t(c);
        }
        ok = std::fwrite(row.data(), 1, row.size(), f) == row.size();
    }
    return std::fclose(f) == 0 && ok;
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
