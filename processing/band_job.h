#pragma once
// The row range a processing worker covers. Every caller runs one band over
// all rows on its own thread; the abort pointer and task collection are kept
// so a band could become a task, and are null today.
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
