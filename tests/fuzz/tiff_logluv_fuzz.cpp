// One SGI LogLuv RLE byte plane: any input into a short row, one byte in
// every four, as the segment decoder places it.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "codecs/main/tiff.h"

using namespace quillon;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) return 0;
    const size_t pixels = data[0];
    std::vector<uint8_t> row(pixels * 4 + 1, 0);
    size_t filled = 0;
    size_t used = tiffLogLuvRlePlane(row.data() + 1, pixels, 4, data + 1, size - 1, &filled);
    if (used > size - 1 || filled > pixels) __builtin_trap();
    return 0;
}
