// Differential target: one block of coefficients (the first 128 bytes,
// little-endian) and a quantisation table (the next 128; missing entries 1)
// through the dispatched inverse DCT and the scalar one, which must agree
// byte for byte; also in place, as the decoder calls it.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "codecs/main/jpeg_internal.h"

using namespace quillon::jpeg_internal;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    alignas(16) int16_t block[64] = {};
    alignas(16) uint16_t quant[64];
    for (int i = 0; i < 64; ++i) {
        if (size >= size_t(2 * i + 2)) block[i] = int16_t(data[2 * i] | (data[2 * i + 1] << 8));
        size_t at = 128 + 2 * size_t(i);
        quant[i] = size >= at + 2 ? uint16_t(data[at] | (data[at + 1] << 8)) : 1;
    }
    uint8_t expected[64], got[64];
    idctBlockScalar(block, quant, expected);
    idctBlock(block, quant, got);
    if (std::memcmp(expected, got, 64) != 0) std::abort();
    idctBlock(block, quant, reinterpret_cast<uint8_t*>(block));
    if (std::memcmp(expected, block, 64) != 0) std::abort();
    return 0;
}
