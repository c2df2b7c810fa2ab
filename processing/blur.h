#pragma once
// Neighbourhood filters on one sampled Gaussian kernel: an edge-keeping blur
// (the batch's undithering step) and an unsharp mask.
#include <cstdint>

#include "core/result.h"
#include "processing/band_job.h"

namespace quillon {

class Image;

// The n x n kernel as f32 in rows of outStride (a multiple of 16) entries,
// the padding zero; alignedAlloc memory the caller frees with alignedFree.
// Null when memory runs out or radius/sigma are unusable (not finite, sigma
// not above 0, radius beyond 1000).
float* gaussianKernel(uint32_t* outSize, uint32_t* outStride, double radius, double sigma);

// The integer form: each entry truncated to 1/256 units, the centre raised so
// that the entries sum to exactly 256. Same layout as gaussianKernel.
uint8_t* gaussianKernelU8(const float* kernel, uint32_t size, uint32_t stride);

// dst and src of one size, formats may differ; threshold in 8-bit units
// (255 and above: plain blur). dst may be src.
ResultCode imageBlur(Image* dst, const Image* src, int32_t threshold, float radius, float sigma);
// Every frame of the chain with radius 3.5; palette frames become PF_RGBA8.
ResultCode imageBlurFrames(Image** slot, int32_t threshold, float sigma);

// Unsharp mask: channels move from their 5 x 5 blur by amount where the
// difference reaches threshold (8-bit units). A not-finite amount is refused.
ResultCode imageSharpen(Image* dst, const Image* src, uint32_t threshold, float amount);
// Every frame of the chain with threshold 8; palette frames become PF_RGBA8.
ResultCode imageSharpenFrames(Image** slot, float amount);

} // namespace quillon
