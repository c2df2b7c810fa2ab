// The fax decoder on arbitrary coded data. The first five bytes choose the
// coding (mode, 2-D option, fill order), the width and the row count; the
// rest is the coded data.
#include <cstdint>
#include <vector>

#include "codecs/main/fax.h"

using namespace quillon;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 5) return 0;
    static const uint32_t kModes[] = {FAX_MODE_MH, FAX_MODE_T4, FAX_MODE_T6, FAX_MODE_MH_WORD};
    uint32_t mode = kModes[data[0] & 3];
    uint32_t options = (data[1] & 1) ? FAX_T4_2D : 0;
    uint32_t flags = (data[1] & 2) ? FAX_FILL_LSB_FIRST : 0;
    uint32_t width = (uint32_t(data[2]) | (uint32_t(data[3] & 0x0F) << 8)) + 1;
    uint32_t rows = data[4] % 64 + 1;
    // Rows a little longer than needed, as strips of wider images have.
    uint32_t bytesPerRow = (width + 7) / 8 + (data[1] >> 7);
    FaxDecoder fax;
    if (faxDecoderInit(fax, mode, options, bytesPerRow, width, flags) != RC_OK) return 0;
    // Exact size, plus a partial last row, so any write past it is caught.
    std::vector<uint8_t> out(size_t(bytesPerRow) * rows - (data[1] & 4 ? 1 : 0));
    fax.setInput(data + 5, size - 5);
    fax.decodeRows(out.data(), out.size());
    // Bits beyond the width stay clear.
    for (size_t r = 0; r + bytesPerRow <= out.size(); r += bytesPerRow) {
        if (width % 8 && (out[r + width / 8] & (0xFF >> (width % 8)))) __builtin_trap();
        for (uint32_t b = (width + 7) / 8; b < bytesPerRow; ++b)
            if (out[r + b]) __builtin_trap();
    }
    return 0;
}
