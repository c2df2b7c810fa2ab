// The Photoshop resource walk (with the EXIF, IPTC and XMP readers behind
// it) and the IPTC reader on arbitrary bytes, then the IPTC writer over what
// was read.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "codecs/main/iptc.h"

using namespace quillon;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    ImageInfoBag bag;
    psResourcesParse(bag, data, size);
    iptcParse(bag, data, size);
    ImageInfoOwned owned;
    infoCopyAll(&owned, &bag);
    std::vector<uint8_t> block(iptcMeasure(&owned));
    if (iptcWrite(block.data(), &owned) != block.size()) __builtin_trap();
    ImageInfoBag again;
    iptcParse(again, block.data(), block.size());
    return 0;
}
