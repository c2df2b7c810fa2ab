// Arithmetic-coded JPEG streams (the corpus holds SOF9 and SOF10 files with
// restarts and DAC segments) through the decoder, full size and one eighth,
// into exact-size buffers.
#include <cstdint>
#include <vector>

#include "codecs/main/jpeg_decoder.h"

using namespace quillon;

namespace {

void decodeOnce(const uint8_t* data, size_t size, bool reduced)
{
    JpegDecoder* d = jpegDecoderCreate();
    if (!d) return;
    d->convertColour = !reduced;
    d->setInput(data, size);
    if (succeeded(d->readHeader())) {
        uint32_t div = reduced ? 8 : 1;
        uint64_t rowPixels = uint64_t(d->alignedWidth()) / div;
        uint64_t rows = uint64_t(d->alignedHeight()) / div;
        uint32_t bpp = d->componentCount() == 1 ? 1 : 4;
        // Small frames keep the fuzzer fast; size adds nothing to the entropy decoding.
        if (rowPixels * rows * bpp <= (uint64_t(1) << 20)) {
            std::vector<uint8_t> pixels(rowPixels * rows * bpp);
            d->decode(pixels.data(), bpp, rowPixels * bpp, uint32_t(rows), reduced, nullptr, nullptr);
        }
    }
    delete d;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    decodeOnce(data, size, false);
    decodeOnce(data, size, true);
    return 0;
}
