// The side-car adjustment reader on arbitrary bytes, and the adjustment it
// yields applied to a small image of every format.
#include <cstddef>
#include <cstdint>

#include "core/image.h"
#include "processing/colour_adjust.h"

using namespace quillon;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    AdjustmentSettings adj;
    if (!adjustSidecarParse(adj, data, size)) return 0;
    for (int f = PF_RGBA8; f <= PF_INDEXED8; ++f) {
        Image* img = imageCreate(PixelFormat(f), packSize(3, 2));
        if (!img) continue;
        imageColorAdjust(img, img, adj);
        objectRelease(img);
    }
    return 0;
}
