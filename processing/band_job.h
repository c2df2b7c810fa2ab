#pragma once
// The row range a processing worker covers. Callers cut an image's rows into
// bands with runRowBands (platform/tasks.h), which runs them on the task
// pool; the task collection field is unused.
#include <atomic>
#include <cstdint>

namespace quillon {

class Image;

struct BandJob {
    const Image* source = nullptr;
    Image* destination = nullptr;
    uint32_t firstRow = 0;
    uint32_t endRow = 0; // exclusive
    const std::atomic<uint8_t>* abort = nullptr;
    void* tasks = nullptr;
};

} // namespace quillon
