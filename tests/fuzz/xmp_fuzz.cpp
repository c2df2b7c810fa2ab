// The XMP reader on arbitrary packets (8-bit and, from a first byte, as
// UTF-16 behind the standard start), and the writer over what was read.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "codecs/main/xmp.h"

using namespace quillon;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    ImageInfoBag bag;
    xmpParse(bag, data, size);
    ImageInfoOwned owned;
    infoCopyAll(&owned, &bag);
    XmpBuildState count;
    size_t n = xmpBuild(count, &owned);
    std::vector<uint8_t> packet(n);
    if (n) {
        XmpBuildState fill(packet.data());
        if (xmpBuild(fill, &owned) != n) __builtin_trap();
    }
    ImageInfoBag again;
    xmpParse(again, packet.data(), packet.size());
    return 0;
}
