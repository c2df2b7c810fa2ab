#pragma once
// Power-of-two box reduction: averages k x k blocks (k = 2, 4, 8, 16, and
// larger powers through intermediates). The cubic and bilinear resamplers put
// it behind their own pass for large reductions so that every source pixel
// contributes to the result.
#include <atomic>
#include <cstdint>

#include "core/image.h"
#include "core/result.h"

namespace quillon {

// The record handed to a reduction kernel: one band of destination rows.
struct ShrinkBandJob {
    const Image* source = nullptr;
    Image* destination = nullptr;
    uint32_t firstRow = 0;
    uint32_t endRow = 0;  // exclusive
    const std::atomic<uint8_t>* abort = nullptr;
    void* tasks = nullptr;  // unused: the bands are handed to the task pool by the caller
};

// dst must exist with src's format and a size of src's size shifted right by
// the same number of bits in both axes. Columns and rows that do not fill a
// whole block are ignored. The abort byte is only read; once set the rows
// done so far stay written and the result is RC_CANCELLED.
ResultCode imageShrinkPow2(Image* dst, const Image* src, const std::atomic<uint8_t>* abort);

// One destination row of dstWidth pixels from the 2^shift source rows at
// rows[0 ..], with the arithmetic of the kernels below: for callers that
// make the source rows themselves and never hold them as one image.
using ShrinkRowKernel = void (*)(const void* const* rows, void* out, uint32_t dstWidth);
// shift 1 to 4 on a direct pixel format; null otherwise.
ShrinkRowKernel shrinkRowKernel(PixelFormat format, uint32_t shift);

// The reduction kernels, one per direct pixel format and factor.
using ShrinkKernel = void (*)(const ShrinkBandJob& job, const Image* source, const std::atomic<uint8_t>* abort);
void shrinkRgba8By2(const ShrinkBandJob&, const Image*, const std::atomic<uint8_t>*);
void shrinkRgba8By4(const ShrinkBandJob&, const Image*, const std::atomic<uint8_t>*);
void shrinkRgba8By8(const ShrinkBandJob&, const Image*, const std::atomic<uint8_t>*);
void shrinkRgba8By16(const ShrinkBandJob&, const Image*, const std::atomic<uint8_t>*);
void shrinkRgba16By2(const ShrinkBandJob&, const Image*, const std::atomic<uint8_t>*);
void shrinkRgba16By4(const ShrinkBandJob&, const Image*, const std::atomic<uint8_t>*);
void shrinkRgba16By8(const ShrinkBandJob&, const Image*, const std::atomic<uint8_t>*);
void shrinkRgba16By16(const ShrinkBandJob&, const Image*, const std::atomic<uint8_t>*);
void shrinkRgbaFloatBy2(const ShrinkBandJob&, const Image*, const std::atomic<uint8_t>*);
void shrinkRgbaFloatBy4(const ShrinkBandJob&, const Image*, const std::atomic<uint8_t>*);
void shrinkRgbaFloatBy8(const ShrinkBandJob&, const Image*, const std::atomic<uint8_t>*);
void shrinkRgbaFloatBy16(const ShrinkBandJob&, const Image*, const std::atomic<uint8_t>*);
void shrinkGray8By2(const ShrinkBandJob&, const Image*, const std::atomic<uint8_t>*);
void shrinkGray8By4(const ShrinkBandJob&, const Image*, const std::atomic<uint8_t>*);
void shrinkGray8By8(const ShrinkBandJob&, const Image*, const std::atomic<uint8_t>*);
void shrinkGray8By16(const ShrinkBandJob&, const Image*, const std::atomic<uint8_t>*);
void shrinkGray16By2(const ShrinkBandJob&, const Image*, const std::atomic<uint8_t>*);
void shrinkGray16By4(const ShrinkBandJob&, const Image*, const std::atomic<uint8_t>*);
void shrinkGray16By8(const ShrinkBandJob&, const Image*, const std::atomic<uint8_t>*);
void shrinkGray16By16(const ShrinkBandJob&, const Image*, const std::atomic<uint8_t>*);
void shrinkGrayFloatBy2(const ShrinkBandJob&, const Image*, const std::atomic<uint8_t>*);
void shrinkGrayFloatBy4(const ShrinkBandJob&, const Image*, const std::atomic<uint8_t>*);
void shrinkGrayFloatBy8(const ShrinkBandJob&, const Image*, const std::atomic<uint8_t>*);
void shrinkGrayFloatBy16(const ShrinkBandJob&, const Image*, const std::atomic<uint8_t>*);

} // namespace quillon
