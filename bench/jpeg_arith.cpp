// Decodes JPEG files from memory into 4-byte pixels (BGRA) with our
// decoder, as the JPEG reader does; timed against djpeg on the same
// arithmetic-coded files. usage: bench_jpeg_arith [--single] file...
// (--single keeps the decode on one thread: no band-parallel rows).
#include <cstdio>
#include <cstring>
#include <vector>

#include "codecs/main/jpeg_decoder.h"
#include "platform/memory.h"

using namespace quillon;

int main(int argc, char** argv)
{
    bool single = false;
    int status = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--single") == 0) {
            single = true;
            continue;
        }
        std::FILE* f = std::fopen(argv[i], "rb");
        if (!f) return 1;
        std::vector<uint8_t> bytes;
        uint8_t buf[1 << 16];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.insert(bytes.end(), buf, buf + n);
        std::fclose(f);
        JpegDecoder* d = jpegDecoderCreate();
        if (!d) return 1;
        if (single) d->bandMode = 0;
        d->setInput(bytes.data(), bytes.size());
        ResultCode rc = d->readHeader();
        if (succeeded(rc)) {
            uint32_t bpp = d->componentCount() == 1 ? 1 : 4;
            size_t stride = size_t(d->alignedWidth()) * bpp;
            // The pixels go where the reader puts them: an image's block.
            AlignedBuffer<uint8_t> pixels(uint64_t(stride) * uint64_t(d->alignedHeight()));
            rc = pixels ? d->decode(pixels.get(), bpp, stride, uint32_t(d->alignedHeight()), false, nullptr, nullptr)
                        : RC_OUT_OF_MEMORY;
        }
        if (failed(rc)) {
            std::fprintf(stderr, "%s: decode failed (0x%08X)\n", argv[i], rc);
            status = 1;
        }
        delete d;
    }
    return status;
}
