#pragma once
// The batch: every input of the list loaded and processed once, then written
// in each of the job's output formats, with the log, the HTML index, progress
// and cancellation. It runs on the interface's thread and talks to the user
// only through BatchUi.
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>

#include "app/batch_ui.h"
#include "core/image.h"
#include "core/result.h"
#include "platform/refcount.h"

namespace quillon {

struct JobSettings;
struct FileEntry;
class InputList;
class FormatRegistry;
class ImageCache;
class TaskbarProgress;

// The result of the write step for an existing output left alone.
constexpr ResultCode WRITE_SKIPPED = 2;

struct BatchContext {
    JobSettings& settings;
    InputList& inputs;
    BatchUi& ui;
    // The running flag: the batch sets it and polls it; the interface clears
    // it to cancel.
    bool& running;
    const FormatRegistry* registry = nullptr; // null: the process's
    ImageCache* cache = nullptr;              // null: no cache, no read-ahead
    TaskbarProgress* taskbar = nullptr;
    // Where the log goes when the job asks for one; empty: no log.
    std::filesystem::path logPath{};
    // Local time for the log's header, and a millisecond clock.
    std::function<std::tm()> localTime{};
    std::function<uint64_t()> milliseconds{};
};

struct BatchResult {
    int32_t total = 0, done = 0, converted = 0, skipped = 0;
    bool interrupted = false;
    bool emptyList = false;
};

BatchResult batchRun(BatchContext& context);

// Loads and processes one input as the job says. On success `out` holds the
// processed image (a private copy: never the cache's own) and w/h its size.
ResultCode batchLoadInput(Ref<Image>& out, const std::filesystem::path& path, const FileEntry* entry,
                          uint32_t* width, uint32_t* height, const std::filesystem::path* nextPath,
                          const JobSettings& settings, ImageCache* cache, const FormatRegistry* registry);

// The orientation that applies `first`, then `second`.
uint8_t orientationCompose(uint8_t first, uint8_t second);

// Writes one output. The image goes to a temporary file beside the target,
// which replaces the target only when everything was written; a failure
// leaves any existing file as it was. Returns 0, WRITE_SKIPPED or a failure.
// `outputPath` may change (Rename). bitsOut receives the bits per pixel.
ResultCode batchWriteOutput(BatchContext& context, std::filesystem::path& outputPath, Image* image, int slotIndex,
                            uint32_t* bitsOut);

} // namespace quillon
