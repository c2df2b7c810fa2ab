// The JPEG decoder on arbitrary bytes: header, then a full-size and a
// one-eighth decode into exact-size buffers, and a full-size one with rows
// handed to the row task whatever the size.
#include <cstdint>
#include <vector>

#include "codecs/main/jpeg_decoder.h"

using namespace quillon;

namespace {

void decodeOnce(const uint8_t* data, size_t size, bool reduced, bool bands = false)
{
    JpegDecoder* d = jpegDecoderCreate();
    if (!d) return;
    if (bands) d->bandMode = 1;
    d->setInput(data, size);
    if (succeeded(d->readHeader())) {
        uint32_t div = reduced ? 8 : 1;
        uint64_t rowPixels = uint64_t(d->alignedWidth()) / div;
        uint64_t rows = uint64_t(d->alignedHeight()) / div;
        uint32_t bpp = d->componentCount() == 1 ? 1 : 4;
        // Keep the fuzzer's memory and time modest; sizes this large say
        // nothing new. Even a reduced decode walks every block of the image.
        uint64_t fullPixels = uint64_t(d->alignedWidth()) * uint64_t(d->alignedHeight());
        if (rowPixels * rows * bpp <= (uint64_t(1) << 24) && fullPixels <= (uint64_t(1) << 22)) {
            std::vector<uint8_t> pixels(rowPixels * rows * bpp);
            // One row short of the decoded height exercises the clipping.
            uint32_t destRows = uint32_t(rows > 1 && (size & 1) ? rows - 1 : rows);
            d->decode(pixels.data(), bpp, rowPixels * bpp, destRows, reduced, nullptr, nullptr);
        }
    }
    delete d;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    decodeOnce(data, size, false);
    decodeOnce(data, size, true);
    decodeOnce(data, size, false, true);
    return 0;
}
