#pragma once
// The one entry point that changes the size of a single image, with its four
// families of filters, and the rectangle fill that paints backgrounds.
#include <atomic>
#include <cstdint>

#include "core/image.h"
#include "core/result.h"

namespace quillon {

// The filter ids of imageResample; the job setting eResizeMethod stores them.
// Ids 0, 3 and 4 run the same cubic engine and give identical pixels.
enum ResizeFilter : uint8_t {
    RF_PREVIEW = 0,       // internal callers
    RF_NEAREST = 1,
    RF_BILINEAR = 2,
    RF_CATMULL_ROM = 3,
    RF_CUBIC_IMOMS = 4,
    RF_BSPLINE2 = 5,
    RF_BSPLINE3 = 6,
    RF_BSPLINE4 = 7,
    RF_BSPLINE5 = 8,
};

// The selectable filters in id order, for the output options page; ends with
// a row whose id is 0 and whose name is null.
struct ResizeFilterEntry {
    uint64_t id;
    const char16_t* name;
};
extern const ResizeFilterEntry resizeFilterTable[];

// dst must already have the wanted size; its format may differ from src's.
// On success dst holds the resampled pixels, a copy of src's information
// record and src's alpha kind; src is never changed. A PF_GRAY8 source
// resampled by the cubic engine into a PF_INDEXED8 destination turns that
// destination into PF_GRAY8. The abort byte is only read.
ResultCode imageResample(Image* dst, const Image* src, uint8_t filter, const std::atomic<uint8_t>* abort);

// origin: x in the low 32 bits, y in the high 32 bits (both signed); size:
// width low, height high. colour: 0xAARRGGBB. The rectangle is clipped to
// the image.
void imageFillRectArgb(Image* img, uint64_t origin, uint64_t size, uint32_t colour);

// 0 at or below 0, 65535 at or above 1, else truncate(v x 65535 + 0.5).
uint16_t floatToU16(float v);

// The families behind imageResample; source and destination share a format.
ResultCode resampleNearest(Image* dst, const Image* src, const std::atomic<uint8_t>* abort);
ResultCode resampleBilinear(Image* dst, const Image* src, const std::atomic<uint8_t>* abort);
ResultCode resampleBSpline(Image* dst, const Image* src, uint32_t degree, const std::atomic<uint8_t>* abort);

// The poles of the interpolation prefilter of a degree (2 to 5) into poles[0
// .. 1]; their count, 0 for another degree.
int bsplinePoles(uint32_t degree, double* poles);
// The recursive interpolation prefilter with mirror-symmetric boundaries, in
// f64: the reference the f32 resampler is held to.
void bsplinePrefilter(double* line, uint64_t length, const double* poles, int poleCount);
// The B-spline interpolation of a coefficient plane at (x, y).
double bsplineWeights(const float* plane, uint32_t width, uint32_t height, uint32_t degree, double x, double y);

} // namespace quillon
