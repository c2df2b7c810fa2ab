#pragma once
// Small helpers of the processing tests: images filled with seeded random
// samples, and packed sample dumps that the Python references read.
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <random>
#include <string>
#include <vector>

#include "core/image.h"
#include "platform/refcount.h"

namespace quillon::test {

inline Ref<Image> makeImage(PixelFormat format, uint32_t w, uint32_t h, bool useDib = false)
{
    return Ref<Image>::adopt(imageCreate(format, packSize(w, h), useDib));
}

inline uint32_t channelsOf(PixelFormat f) { return f <= PF_RGBA_FLOAT ? 4 : 1; }

// Random samples; floats in -0.25 .. 1.25 so out-of-range values are covered.
inline void fillRandom(Image* img, uint32_t seed)
{
    std::mt19937 rng(seed);
    const uint32_t samples = img->width * channelsOf(img->pixelFormat);
    for (uint32_t y = 0; y < img->height; ++y) {
        switch (img->pixelFormat) {
        case PF_RGBA8:
        case PF_GRAY8:
        case PF_INDEXED8: {
            uint8_t* p = img->rowBytesPtr(y);
            for (uint32_t i = 0; i < samples; ++i) p[i] = uint8_t(rng());
            break;
        }
        case PF_RGBA16:
        case PF_GRAY16: {
            auto* p = img->row<uint16_t>(y);
            for (uint32_t i = 0; i < samples; ++i) p[i] = uint16_t(rng());
            break;
        }
        default: {
            auto* p = img->row<float>(y);
            for (uint32_t i = 0; i < samples; ++i) p[i] = float(rng() % 60001) / 40000.0f - 0.25f;
            break;
        }
        }
    }
    if (uint32_t* pal = img->palette())
        for (int i = 0; i < 256; ++i) pal[i] = rng();
}

// A chain of frames of the given sizes and positions on one canvas, filled
// with random pixels; each frame shows for `duration` milliseconds.
struct FrameSpec {
    uint32_t w, h;
    int32_t x, y;
};

inline Image* makeChain(PixelFormat f, std::initializer_list<FrameSpec> specs, uint32_t canvasW, uint32_t canvasH,
                        uint32_t duration = 0)
{
    Image* first = nullptr;
    Image* last = nullptr;
    uint32_t seed = 1;
    for (const FrameSpec& s : specs) {
        Image* img = imageCreate(f, packSize(s.w, s.h));
        if (!img) return first;
        fillRandom(img, seed++);
        img->frameInfo.x = s.x;
        img->frameInfo.y = s.y;
        img->frameInfo.canvasWidth = canvasW;
        img->frameInfo.canvasHeight = canvasH;
        img->frameInfo.duration = duration;
        if (last) {
            last->frameInfo.next = img;
            img->frameInfo.prev = last;
        } else {
            first = img;
        }
        last = img;
    }
    return first;
}

// The frames of a chain, first to last.
template <class I>
std::vector<I*> chainFrames(I* first)
{
    std::vector<I*> out;
    for (I* f = first; f; f = f->frameInfo.next) out.push_back(f);
    return out;
}

// The pixels without row padding.
inline std::vector<uint8_t> packedBytes(const Image* img)
{
    const size_t rowBytes = size_t(img->width) * img->bytesPerPixel();
    std::vector<uint8_t> out(rowBytes * img->height);
    for (uint32_t y = 0; y < img->height; ++y) std::memcpy(out.data() + y * rowBytes, img->rowBytesPtr(y), rowBytes);
    return out;
}

inline void unpackBytes(Image* img, const std::vector<uint8_t>& bytes)
{
    const size_t rowBytes = size_t(img->width) * img->bytesPerPixel();
    for (uint32_t y = 0; y < img->height && (y + 1) * rowBytes <= bytes.size(); ++y)
        std::memcpy(img->rowBytesPtr(y), bytes.data() + y * rowBytes, rowBytes);
}

inline const char* formatName(PixelFormat f)
{
    static const char* names[] = {"rgba8", "rgba16", "rgbaf", "gray8", "gray16", "grayf", "indexed8"};
    return f <= PF_INDEXED8 ? names[f] : "?";
}

// Sample i (in packed order) of an image as a double.
inline double sampleAt(const std::vector<uint8_t>& bytes, PixelFormat f, size_t i)
{
    switch (f) {
    case PF_RGBA16:
    case PF_GRAY16: {
        uint16_t v;
        std::memcpy(&v, bytes.data() + i * 2, 2);
        return v;
    }
    case PF_RGBA_FLOAT:
    case PF_GRAY_FLOAT: {
        float v;
        std::memcpy(&v, bytes.data() + i * 4, 4);
        return v;
    }
    default: return bytes[i];
    }
}

inline size_t sampleCount(const std::vector<uint8_t>& bytes, PixelFormat f)
{
    size_t per = (f == PF_RGBA16 || f == PF_GRAY16) ? 2 : (f == PF_RGBA_FLOAT || f == PF_GRAY_FLOAT) ? 4 : 1;
    return bytes.size() / per;
}

// The system interpreter, which has numpy (a user's PATH may not).
inline const char* kPython = "/usr/bin/python3";

inline std::string sourceFile(const std::string& relative)
{
    return std::string(QUILLON_SOURCE_DIR) + "/" + relative;
}

} // namespace quillon::test
