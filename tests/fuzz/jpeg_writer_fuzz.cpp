// Differential target: one MCU of samples through each converting JPEG sample
// writer and its scalar form, and the input as 4-byte pixels through the
// YCbCr row conversion and its scalar form; each pair must agree byte for
// byte. Byte 0 chooses the writer and the gap at the end of each row; the
// samples follow (missing ones 128).
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "codecs/main/jpeg_decoder.h"
#include "codecs/main/jpeg_internal.h"
#include "core/convert.h"

using namespace quillon;
using namespace quillon::jpeg_internal;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    struct Writer {
        JpegSampleWriter vector, scalar;
        uint32_t blocks, width, height;
    };
    static const Writer writers[] = {
        {write444Rgb, write444RgbScalar, 3, 8, 8},
        {write422Rgb, write422RgbScalar, 4, 16, 8},
        {write440Rgb, write440RgbScalar, 4, 8, 16},
        {write420Rgb, write420RgbScalar, 6, 16, 16},
    };
    static std::unique_ptr<JpegDecoder> d(jpegDecoderCreate());
    if (!d || size == 0) return 0;

    const Writer& w = writers[data[0] & 3];
    const size_t stride = size_t(w.width) * 4 + (data[0] >> 2);
    uint8_t samples[6 * 64];
    std::memset(samples, 128, sizeof samples);
    std::memcpy(samples, data + 1, std::min(size - 1, sizeof samples));
    // Exact size, so the address checker sees a write past the last row.
    const size_t bytes = (w.height - 1) * stride + size_t(w.width) * 4;
    std::vector<uint8_t> a(bytes, 0x5A), b(bytes, 0x5A);
    d->strideBytes = stride;
    w.vector(*d, a.data(), samples, nullptr, 3);
    w.scalar(*d, b.data(), samples, nullptr, 3);
    if (a != b) std::abort();

    const uint32_t pixels = uint32_t(size / 4);
    std::vector<uint8_t> p(data, data + size_t(pixels) * 4), q = p;
    ycbcrToRgbRow(p.data(), pixels);
    ycbcrToRgbRowScalar(q.data(), pixels);
    if (p != q) std::abort();
    return 0;
}
