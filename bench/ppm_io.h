#pragma once
// The benchmark drivers read and write binary PPM (P6, maxval 255): the
// format every peer tool reads and writes too, so both sides do the same I/O.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/image.h"

namespace quillon::bench {

inline bool readPpmToken(FILE* f, std::string& out)
{
    out.clear();
    int c;
    while ((c = std::fgetc(f)) != EOF) {
        if (c == '#') {
            while ((c = std::fgetc(f)) != EOF && c != '\n') {}
        } else if (c > ' ') {
            break;
        }
    }
    while (c != EOF && c > ' ') {
        out += char(c);
        c = std::fgetc(f);
    }
    return !out.empty();
}

// A PF_RGBA8 image with opaque alpha, or null.
inline Image* readPpm(const char* path)
{
    FILE* f = std::fopen(path, "rb");
    if (!f) return nullptr;
    std::string magic, w, h, maxval;
    Image* img = nullptr;
    if (readPpmToken(f, magic) && magic == "P6" && readPpmToken(f, w) && readPpmToken(f, h) &&
        readPpmToken(f, maxval) && maxval == "255") {
        const unsigned long width = std::strtoul(w.c_str(), nullptr, 10);
        const unsigned long height = std::strtoul(h.c_str(), nullptr, 10);
        if (width > 0 && height > 0 && width <= 0xFFFFFFFFul && height <= 0xFFFFFFFFul)
            img = imageCreate(PF_RGBA8, packSize(uint32_t(width), uint32_t(height)));
        std::vector<uint8_t> row(img ? size_t(width) * 3 : 0);
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

// Writes a PF_RGBA8 or PF_INDEXED8 image; false on any failure.
inline bool writePpm(const char* path, const Image* img)
{
    const uint32_t* pal = img->palette();
    if (img->pixelFormat != PF_RGBA8 && !pal) return false;
    FILE* f = std::fopen(path, "wb");
    if (!f) return false;
    std::fprintf(f, "P6\n%u %u\n255\n", img->width, img->height);
    std::vector<uint8_t> row(size_t(img->width) * 3);
    bool ok = true;
    for (uint32_t y = 0; ok && y < img->height; ++y) {
        for (uint32_t x = 0; x < img->width; ++x) {
            uint8_t r, g, b;
            if (pal) {
                uint32_t c = pal[img->row<uint8_t>(y)[x]];
                r = uint8_t(c >> 16), g = uint8_t(c >> 8), b = uint8_t(c);
            } else {
                const Rgba8& p = img->row<Rgba8>(y)[x];
                r = p.r, g = p.g, b = p.b;
            }
            row[x * 3] = r;
            row[x * 3 + 1] = g;
            row[x * 3 + 2] = b;
        }
        ok = std::fwrite(row.data(), 1, row.size(), f) == row.size();
    }
    return std::fclose(f) == 0 && ok;
}

} // namespace quillon::bench
