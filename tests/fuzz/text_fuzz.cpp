// Feeds arbitrary bytes to every text converter with small destinations.
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/text.h"

using namespace quillon;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) return 0;
    size_t dstSize = 1 + data[0] % 40;
    const char* src = reinterpret_cast<const char*>(data + 1);
    ptrdiff_t len = ptrdiff_t(size - 1);
    std::vector<char16_t> wide(dstSize);
    latin1ToWide(wide.data(), src, dstSize, len);
    utf8ToWideN(wide.data(), src, dstSize, len);
    (void)isMultibyteUtf8(src, size_t(len));
    // UTF-16 sources: an exact-size copy of the bytes as units.
    size_t units = (size - 1) / 2;
    std::vector<char16_t> u16(units + 1, 0);
    if (units) std::memcpy(u16.data(), data + 1, units * 2);
    std::vector<char> narrow(dstSize);
    wideToUtf8(narrow.data(), u16.data(), dstSize);
    utf16ToUtf8(narrow.data(), u16.data(), dstSize, units);
    wideToAnsiApprox(narrow.data(), u16.data(), dstSize);
    std::string bytes(src, size - 1);
    std::u16string back = utf8ToU16(bytes);
    (void)u16ToUtf8(back);
    // A name's bytes survive the trip through text whatever they are, and
    // a cut never lies past its limit.
    if (u16ToNameBytes(nameBytesToU16(bytes)) != bytes) __builtin_trap();
    if (nameCutPoint(bytes, dstSize) > dstSize) __builtin_trap();
    // Text written out is UTF-8 without the encoded form of a surrogate.
    const std::string written = u16ToUtf8(std::u16string_view(u16.data(), units));
    for (size_t i = 0; i + 1 < written.size(); ++i)
        if (uint8_t(written[i]) == 0xED && uint8_t(written[i + 1]) >= 0xA0) __builtin_trap();
    const char16_t* cursor = u16.data();
    parseUInt(cursor);
    return 0;
}
