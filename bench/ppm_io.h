#pragma once
// The benchmark drivers read and write binary PPM (P6, maxval 255): the
// format every peer tool reads and writes too, so both sides do the same I/O.
#include <algorithm>
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

// Rows move through one reused buffer of about this many bytes, so the I/O
// costs the same as a peer tool's streaming reads and writes.
constexpr size_t kChunkBytes = size_t(4) << 20;

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
        const size_t rowBytes = size_t(width) * 3;
        const uint32_t rowsPerChunk = img ? uint32_t(std::max<size_t>(1, kChunkBytes / rowBytes)) : 0;
        std::vector<uint8_t> chunk(img ? rowBytes * rowsPerChunk : 0);
        for (uint32_t y = 0; img && y < height; y += rowsPerChunk) {
            const uint32_t rows = std::min<uint32_t>(rowsPerChunk, uint32_t(height) - y);
            if (std::fread(chunk.data(), 1, rowBytes * rows, f) != rowBytes * rows) {
                objectRelease(img);
                img = nullptr;
                break;
            }
            for (uint32_t r = 0; r < rows; ++r) {
                const uint8_t* in = chunk.data() + r * rowBytes;
                uint8_t* out = img->row<uint8_t>(y + r);
                for (uint32_t x = 0; x < width; ++x, in += 3, out += 4) {
                    out[0] = in[2];
                    out[1] = in[1];
                    out[2] = in[0];
                    out[3] = 255;
                }
            }
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
    const size_t rowBytes = size_t(img->width) * 3;
    const uint32_t rowsPerChunk = uint32_t(std::max<size_t>(1, kChunkBytes / rowBytes));
    std::vector<uint8_t> chunk(rowBytes * rowsPerChunk);
    bool ok = true;
    for (uint32_t y = 0; ok && y < img->height; y += rowsPerChunk) {
        const uint32_t rows = std::min<uint32_t>(rowsPerChunk, img->height - y);
        for (uint32_t r = 0; r < rows; ++r) {
            uint8_t* out = chunk.data() + r * rowBytes;
            if (pal) {
                const uint8_t* in = img->row<uint8_t>(y + r);
                for (uint32_t x = 0; x < img->width; ++x, out += 3) {
                    const uint32_t c = pal[in[x]];
                    out[0] = uint8_t(c >> 16);
                    out[1] = uint8_t(c >> 8);
                    out[2] = uint8_t(c);
                }
            } else {
                const uint8_t* in = img->row<uint8_t>(y + r);
                for (uint32_t x = 0; x < img->width; ++x, in += 4, out += 3) {
                    out[0] = in[2];
                    out[1] = in[1];
                    out[2] = in[0];
                }
            }
        }
        ok = std::fwrite(chunk.data(), 1, rowBytes * rows, f) == rowBytes * rows;
    }
    return std::fclose(f) == 0 && ok;
}

} // namespace quillon::bench
