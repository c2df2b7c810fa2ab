#pragma once
// The separable four-tap Catmull-Rom resampler in fixed point: one pass over
// the destination rows with a ring of four horizontally filtered source rows,
// and power-of-two box averaging in front of it for reductions by 2 or more.
#include <atomic>
#include <cstdint>

#include "core/box_reduce.h"
#include "core/image.h"
#include "core/result.h"

namespace quillon {

// 256 phases x 4 taps in Q14 (16384 = 1.0) of the cubic convolution kernel
// with a = -0.5, rounded by (int)(16384 k + 0.5). Rows are not normalised.
using ResampleWeightRow = int16_t[4];
const ResampleWeightRow* resampleWeightTable();
// The same table as floats (entry / 16384) for the floating-point formats.
const float* resampleWeightTableFloat();

// Per-call horizontal tables: dstW + 8 rows of four weights (i16 or f32) and
// as many first-tap indexes. The rows behind the last have zero weights and
// repeat the last index.
struct ResampleTables {
    uint32_t dstW = 0;
    uint32_t srcW = 0;
    uint64_t stepX = 0;          // 16.16
    uint32_t rowBytes = 0;       // 8 (integer formats) or 16 (float formats)
    const void* weightTable = nullptr;  // resampleWeightTable() or resampleWeightTableFloat()
    void* block = nullptr;       // owned: the weight rows, then the indexes
    void* weights = nullptr;     // dstW + 8 rows of rowBytes
    int64_t* indexes = nullptr;  // dstW + 8 first-tap indexes (may be -1)
};
// Fills tables.block/weights/indexes from dstW, srcW, stepX, rowBytes and
// weightTable. RC_INVALID_PARAMETER for a zero width, RC_OUT_OF_MEMORY.
ResultCode resampleBuildTables(ResampleTables& tables);
void resampleFreeTables(ResampleTables& tables);

// Horizontal kernels by exact ratio.
// RESAMPLE_ROW_SAME: equal widths, where the general kernel only copies.
enum ResampleRowKind : uint8_t {
    RESAMPLE_ROW_GENERAL = 0,
    RESAMPLE_ROW_X2 = 1,
    RESAMPLE_ROW_X4 = 2,
    RESAMPLE_ROW_SAME = 3,
};

// The record handed to resampleWorker: one band of destination rows.
struct ResampleBandJob {
    const Image* source = nullptr;
    Image* destination = nullptr;
    uint32_t firstRow = 0;
    uint32_t endRow = 0;  // exclusive
    const std::atomic<uint8_t>* abort = nullptr;
    void* tasks = nullptr;  // unused: resampleSetup hands each band to the task pool itself
    int64_t startY = 0;     // 16.16; negative when the first row samples above row 0
    uint64_t stepY = 0;     // 16.16
    uint32_t lastSourceRow = 0;
    uint32_t midPixelBytes = 0;
    ResampleRowKind rowKind = RESAMPLE_ROW_GENERAL;
    ResampleTables* tables = nullptr;
    uint8_t* ring[4] = {};  // four intermediate rows of roundUp16(dstW) pixels and slack
    uint8_t* scratch = nullptr;  // edge pixels of the current source row
    // Box averaging behind the cubic rows: with shrinkShift > 0 the cubic
    // pass makes (destination size << shrinkShift) and each destination row
    // averages 2^shrinkShift of its rows, made into shrinkRows first.
    uint32_t shrinkShift = 0;
    ShrinkRowKernel shrinkRow = nullptr;
    uint8_t* shrinkRows = nullptr;  // 2^shrinkShift rows of shrinkRowBytes
    uint64_t shrinkRowBytes = 0;
};

// kernel is carried through but selects nothing: there is one weight table.
ResultCode resampleRun(uint32_t kernel, Image* dst, const Image* src, const std::atomic<uint8_t>* abort);
// Direct resampling without box averaging.
ResultCode resampleSetup(Image* dst, const Image* src, const std::atomic<uint8_t>* abort);
// Runs the destination rows of a band job.
void resampleWorker(ResampleBandJob& job);

} // namespace quillon
