// The LZW segment decoder alone: any code stream into a small buffer.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "codecs/main/tiff.h"

using namespace quillon;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2) return 0;
    // The first two bytes choose the output size, so the stream is cut at
    // every length in turn.
    std::vector<uint8_t> out(size_t(data[0]) << 6 | data[1]);
    TiffLzwResult r = tiffLzwDecode(out.data(), data + 2, out.size(), size - 2);
    if (r.produced > out.size() || r.consumed > size - 2) __builtin_trap();
    return 0;
}
