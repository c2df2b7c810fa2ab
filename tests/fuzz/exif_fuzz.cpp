// The EXIF reader on arbitrary blocks, the sub-directory readers at an
// offset taken from the input, and the writer over whatever was read.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "codecs/main/exif.h"

using namespace quillon;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    ImageInfoBag bag;
    exifParse(bag, data, size);
    if (size >= 4) {
        uint32_t ifd = uint32_t(data[0]) | uint32_t(data[1]) << 8 | uint32_t(data[2]) << 16 | uint32_t(data[3]) << 24;
        exifParseExifIfd(bag, data, size, ifd, data[0] & 1);
        exifParseGpsIfd(bag, data, size, ifd, data[1] & 1);
    }
    ImageInfoOwned owned;
    infoCopyAll(&owned, &bag);
    std::vector<uint8_t> block(exifBlockSize(&owned));
    if (!block.empty() && exifBlockWrite(block.data(), &owned) != block.size()) __builtin_trap();
    ImageInfoBag again;
    exifParse(again, block.data(), block.size());
    return 0;
}
