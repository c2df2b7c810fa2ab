// The information-record parsers on arbitrary UTF-16 text, and borrowed
// counted text that ends exactly at the end of the input.
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/image_info.h"

using namespace quillon;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    size_t units = size / 2;
    std::vector<char16_t> text(units + 1, 0);
    if (units) std::memcpy(text.data(), data, units * 2);
    uint32_t res[2];
    parseResolution(res, text.data(), true);
    parseResolution(res, text.data(), false);
    GpsPosition gps;
    parseGpsPosition(gps, text.data());
    orientationFromName(text.data());
    ImageInfoBag bag;
    if (size) {
        infoSetBorrowed(bag, INFO_COMMENTS, data, uint32_t(size), BORROW_UTF8);
        infoSetBorrowed(bag, INFO_TITLE, data, uint32_t(size), BORROW_CP1252);
        // A length of 0 would mean NUL-ended text, which these bytes are not.
        if (units) infoSetBorrowed(bag, INFO_AUTHOR, data, uint32_t(units), BORROW_UTF16);
        ImageInfoOwned owned;
        infoCopyAll(&owned, &bag);
    }
    return 0;
}
