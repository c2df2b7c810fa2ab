#include "core/bitpack.h"

#include <algorithm>
#include <cstring>

namespace quillon {

PackBitsResult packBitsDecode(uint8_t* out, size_t outSize, const uint8_t* in, size_t inSize)
{
    PackBitsResult r;
    size_t pos = 0;
    while (r.written < outSize && pos < inSize) {
        const uint8_t n = in[pos++];
        if (n < 128) {
            const size_t len = size_t(n) + 1;
            const size_t have = std::min(len, inSize - pos);
            const size_t take = std::min(have, outSize - r.written);
            std::memcpy(out + r.written, in + pos, take);
            r.written += take;
            pos += have;
        } else if (n > 128) {
            if (pos >= inSize) break;  // a run without its byte: nothing to repeat
            const size_t len = 257 - size_t(n);
            const size_t take = std::min(len, outSize - r.written);
            std::memset(out + r.written, in[pos++], take);
            r.written += take;
        }
    }
    r.consumed = pos;
    return r;
}

void unpackSamples(uint8_t* dst, const uint8_t* src, size_t count, uint32_t bits)
{
    switch (bits) {
    case 1: {
        const size_t whole = count / 8;
        for (size_t i = 0; i < whole; ++i) {
            const uint8_t b = src[i];
            uint8_t* d = dst + 8 * i;
            for (int k = 0; k < 8; ++k) d[k] = uint8_t((b >> (7 - k)) & 1);
        }
        for (size_t x = whole * 8; x < count; ++x) dst[x] = uint8_t((src[x >> 3] >> (7 - (x & 7))) & 1);
        break;
    }
    case 2:
        for (size_t x = 0; x < count; ++x) dst[x] = uint8_t((src[x >> 2] >> (6 - 2 * (x & 3))) & 3);
        break;
    case 4: {
        const size_t whole = count / 2;
        for (size_t i = 0; i < whole; ++i) {
            dst[2 * i] = src[i] >> 4;
            dst[2 * i + 1] = src[i] & 15;
        }
        if (count & 1) dst[count - 1] = src[whole] >> 4;
        break;
    }
    case 8: std::memcpy(dst, src, count); break;
    default: std::memset(dst, 0, count); break;
    }
}

} // namespace quillon
