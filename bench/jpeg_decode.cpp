// Decodes one JPEG file from memory to B, G, R, A pixels, with our decoder or
// (as the peer) with libjpeg-turbo in the same process, so whole-process
// timings compare like with like. Both decode into memory from the same
// allocator (platform/memory.h, not cleared first), so neither pays for
// clearing its image and freed blocks come back to both alike.
//   bench_jpeg_decode [--libjpeg] [--bands|--no-bands] [--eighth] [--repeat N] [--memory] FILE
//   bench_jpeg_decode --rounds N FILE
// --eighth decodes at one-eighth size: ours from the DC coefficients,
// libjpeg-turbo with scale 1/8 (what `djpeg -scale 1/8` does).
// --rounds times decodes in-process (the file read and process start-up left
// out): after one untimed decode of each kind, which starts the worker thread
// and brings the code and the allocator's memory in as a long batch has
// them, each round decodes once with our decoder on one thread, in bands (a
// progressive frame's scans and rows on the task pool) and at one-eighth
// size, and once with libjpeg-turbo at full and at one-eighth
// size, and prints the five times in seconds on a line. Decodes of one round
// run back to back, so a machine whose speed drifts affects them alike.
#include <sys/resource.h>

#include <chrono>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include <jpeglib.h>

#include "codecs/main/jpeg_decoder.h"
#include "platform/memory.h"

using namespace quillon;

namespace {

long peakKb()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

bool decodeOurs(const std::vector<uint8_t>& file, int bands, bool eighth, uint64_t& checksum, uint64_t& blocks,
                uint64_t& imageBytes)
{
    JpegDecoder* d = jpegDecoderCreate();
    if (!d) return false;
    d->bandMode = int8_t(bands);
    d->setInput(file.data(), file.size());
    if (failed(d->readHeader())) {
        delete d;
        return false;
    }
    uint32_t div = eighth ? 8 : 1;
    uint32_t bpp = d->componentCount() == 1 ? 1 : 4;
    uint64_t rowPixels = uint64_t(d->alignedWidth()) / div, rows = uint64_t(d->alignedHeight()) / div;
    imageBytes = rowPixels * rows * bpp;
    AlignedBuffer<uint8_t> pixels(imageBytes);
    ResultCode rc = d->decode(pixels.get(), bpp, rowPixels * bpp, uint32_t(rows), eighth, nullptr, nullptr);
    blocks = uint64_t(d->blocksPerMcu) * d->mcusPerRow * d->mcuRows;
    for (uint64_t i = 0; i < imageBytes; i += 4099) checksum += pixels[i];
    delete d;
    return succeeded(rc);
}

bool decodeLibjpeg(const std::vector<uint8_t>& file, bool eighth, uint64_t& checksum, uint64_t& imageBytes)
{
    jpeg_decompress_struct c;
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    jpeg_create_decompress(&c);
    jpeg_mem_src(&c, file.data(), file.size());
    jpeg_read_header(&c, TRUE);
    if (c.num_components == 3) c.out_color_space = JCS_EXT_BGRA;
    if (eighth) {
        c.scale_num = 1;
        c.scale_denom = 8;
    }
    jpeg_start_decompress(&c);
    size_t stride = size_t(c.output_width) * c.output_components;
    imageBytes = uint64_t(stride) * c.output_height;
    AlignedBuffer<uint8_t> pixels(imageBytes);
    if (!pixels) {
        jpeg_destroy_decompress(&c);
        return false;
    }
    // Two rows and more a call, so that the merged upsampling of 2x2
    // subsampled colour writes both its rows into the image rather than one
    // through a spare row.
    JSAMPROW rows[16];
    while (c.output_scanline < c.output_height) {
        JDIMENSION n = std::min<JDIMENSION>(16, c.output_height - c.output_scanline);
        for (JDIMENSION i = 0; i < n; ++i) rows[i] = pixels.get() + stride * (c.output_scanline + i);
        if (jpeg_read_scanlines(&c, rows, n) == 0) break;
    }
    bool complete = c.output_scanline == c.output_height;
    if (complete) jpeg_finish_decompress(&c);
    jpeg_destroy_decompress(&c);
    for (uint64_t i = 0; i < imageBytes; i += 4099) checksum += pixels[i];
    return complete;
}

} // namespace

int main(int argc, char** argv)
{
    bool peer = false, eighth = false, memory = false;
    int bands = -1, repeat = 1, rounds = 0;
    const char* path = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--libjpeg")) peer = true;
        else if (!std::strcmp(argv[i], "--bands")) bands = 1;
        else if (!std::strcmp(argv[i], "--no-bands")) bands = 0;
        else if (!std::strcmp(argv[i], "--eighth")) eighth = true;
        else if (!std::strcmp(argv[i], "--memory")) memory = true;
        else if (!std::strcmp(argv[i], "--repeat") && i + 1 < argc) repeat = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--rounds") && i + 1 < argc) rounds = std::atoi(argv[++i]);
        else path = argv[i];
    }
    if (!path) {
        std::fprintf(stderr, "usage: %s [--libjpeg] [--bands|--no-bands] [--eighth] [--repeat N] [--memory] FILE\n"
                             "       %s --rounds N FILE\n",
                     argv[0], argv[0]);
        return 2;
    }
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), {});
    long before = peakKb();
    uint64_t checksum = 0, blocks = 0, imageBytes = 0;

    if (rounds > 0) {
        struct Kind {
            bool peer;
            int bands;
            bool eighth;
        };
        const Kind kinds[] = {
            {false, 0, false}, {false, 1, false}, {false, -1, true}, {true, -1, false}, {true, -1, true}};
        auto decodeKind = [&](const Kind& k) {
            return k.peer ? decodeLibjpeg(file, k.eighth, checksum, imageBytes)
                          : decodeOurs(file, k.bands, k.eighth, checksum, blocks, imageBytes);
        };
        for (const Kind& k : kinds)
            if (!decodeKind(k)) {
                std::fprintf(stderr, "decode failed\n");
                return 1;
            }
        for (int r = 0; r < rounds; ++r) {
            for (const Kind& k : kinds) {
                auto start = std::chrono::steady_clock::now();
                if (!decodeKind(k)) return 1;
                std::printf("%.5f ", std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
            }
            std::printf("\n");
        }
        return checksum == 0xFFFFFFFFFFFFFFFFull;
    }

    for (int r = 0; r < std::max(repeat, 1); ++r)
        if (!(peer ? decodeLibjpeg(file, eighth, checksum, imageBytes)
                   : decodeOurs(file, bands, eighth, checksum, blocks, imageBytes))) {
            std::fprintf(stderr, "decode failed\n");
            return 1;
        }
    if (memory && !peer) {
        long grew = (peakKb() - before) * 1024;
        long budget = long(imageBytes + 128 * blocks + (1 << 20));
        std::printf("peak growth %.1f MB, budget %.1f MB (image %.1f MB + 128 B x %llu blocks + 1 MB)\n",
                    grew / 1048576.0, budget / 1048576.0, imageBytes / 1048576.0, (unsigned long long)blocks);
    }
    return checksum == 0xFFFFFFFFFFFFFFFFull;
}
