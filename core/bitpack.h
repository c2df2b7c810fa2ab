#pragma once
// Byte-level helpers that several codecs share: the PackBits / ByteRun1
// run-length decoder (MacPaint, PSD, TIFF, IFF) and the unpacking of 1-, 2-
// and 4-bit samples into one byte each. Both are bounded on input and on
// output, so a hostile stream can neither overrun its buffer nor the row.
#include <array>
#include <cstddef>
#include <cstdint>

namespace quillon {

struct PackBitsResult {
    size_t written = 0;   // bytes stored in the output
    size_t consumed = 0;  // input bytes used, whole codes only
};

// Decodes PackBits (ByteRun1) data: a control byte n of 0..127 is followed by
// n + 1 literal bytes; 129..255 (-127..-1 as a signed byte) repeat the next
// byte 257 - n times; 128 is skipped. Stops when `outSize` bytes are written
// or the input ends. A run or literal that would pass the output's end is
// cut there, and its whole code still counts as consumed, so decoding row by
// row goes on at the next code. A literal cut by the input's end keeps the
// bytes that are there. `written < outSize` means the input ran out: the
// caller decides whether that is damage (it usually is) and fills the rest.
PackBitsResult packBitsDecode(uint8_t* out, size_t outSize, const uint8_t* in, size_t inSize);

// Unpacks `count` samples of `bits` bits (1, 2, 4 or 8), most significant
// first, from `src` into one byte each (0 .. 2^bits - 1) in `dst`. Reads
// exactly (count * bits + 7) / 8 bytes of `src`; writes exactly `count`.
void unpackSamples(uint8_t* dst, const uint8_t* src, size_t count, uint32_t bits);

// Bytes a row of `count` samples of `bits` bits occupies, unpadded.
inline uint64_t packedBytes(uint64_t count, uint32_t bits) { return (count * bits + 7) / 8; }

// Each byte with its bits in the other order: data stored least
// significant bit first (TIFF FillOrder 2) read as most significant first.
constexpr std::array<uint8_t, 256> kBitReversal = [] {
    std::array<uint8_t, 256> r{};
    for (int i = 0; i < 256; ++i)
        for (int b = 0; b < 8; ++b)
            if (i & (1 << b)) r[size_t(i)] = uint8_t(r[size_t(i)] | (0x80 >> b));
    return r;
}();

} // namespace quillon
