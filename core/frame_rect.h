#pragma once
// A frame's rectangle on an animation's canvas, as the animated writers
// follow what a decoder composes.

#include <algorithm>
#include <cstdint>

namespace quillon {

struct FrameRect {
    uint32_t x = 0, y = 0, width = 0, height = 0;
    bool empty() const { return !width || !height; }
    bool operator==(const FrameRect& o) const
    {
        return x == o.x && y == o.y && width == o.width && height == o.height;
    }
    bool contains(uint32_t px, uint32_t py) const { return px >= x && py >= y && px - x < width && py - y < height; }
    // The smallest rectangle holding both; sums in 64 bits, so rectangles
    // at the far edge of a 32-bit canvas cannot wrap.
    FrameRect unite(const FrameRect& o) const
    {
        if (o.empty()) return *this;
        if (empty()) return o;
        uint64_t x0 = std::min(x, o.x), y0 = std::min(y, o.y);
        uint64_t x1 = std::max(uint64_t(x) + width, uint64_t(o.x) + o.width);
        uint64_t y1 = std::max(uint64_t(y) + height, uint64_t(o.y) + o.height);
        return {uint32_t(x0), uint32_t(y0), uint32_t(x1 - x0), uint32_t(y1 - y0)};
    }
};

} // namespace quillon
