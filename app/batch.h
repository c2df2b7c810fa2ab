#pragma once
// The batch: every input of the list loaded and processed once, then written
// in each of the job's output formats, with the log, the HTML index, progress
// and cancellation. It runs on the interface's thread and talks to the user
// only through BatchUi.
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "app/batch_ui.h"
#include "core/image.h"
#include "core/result.h"
#include "platform/refcount.h"

namespace quillon {

struct JobSettings;
struct FileEntry;
struct FileNotAdded;
class InputList;
class FormatRegistry;
class ImageCache;
class TaskbarProgress;

// The result of the write step for an existing output left alone.
constexpr ResultCode WRITE_SKIPPED = 2;

// What a run has claimed: its inputs, known by identity (device and inode)
// and by name, and the outputs it has written. An output may replace its
// own source, but never another input nor anything the run wrote before:
// two inputs that map to one output name would otherwise leave one picture
// with nobody's pixels, and a deleted source with no output at all.
class OutputClaims {
public:
    void addInput(const std::filesystem::path& input);
    // The source is about to be deleted: its inode may come back as a new
    // file; its name stays claimed.
    void inputDeleted(const std::filesystem::path& input);
    // An output written, from `source`.
    void addWritten(const std::filesystem::path& output, const std::filesystem::path& source);
    // The input (other than `source`) that `output` would replace, or the
    // source of an earlier output at that place (then `written` is set);
    // empty when none.
    std::filesystem::path conflict(const std::filesystem::path& output, const std::filesystem::path* source,
                                   bool* written = nullptr) const;

private:
    // The path made absolute, its folder resolved (links, "." and "..").
    std::string nameOf(const std::filesystem::path& path) const;

    using Id = std::pair<uint64_t, uint64_t>;
    // Folders already resolved: a batch's paths share a few folders.
    mutable std::map<std::string, std::string> folders_;
    std::map<Id, std::filesystem::path> inputIds_, writtenIds_;
    std::map<std::string, std::filesystem::path> inputNames_, writtenNames_;
};

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
    // Inputs the list could not take, with why: failures of the run that
    // came before it, which its log names first. Null: none.
    const std::vector<FileNotAdded>* notAdded = nullptr;
    // Local time for the log's header, and a millisecond clock.
    std::function<std::tm()> localTime{};
    std::function<uint64_t()> milliseconds{};
    // The run's claims; batchRun fills its own when none is given.
    OutputClaims* claims = nullptr;
    // Each input's last output is encoded on a background task while the
    // next input is loaded and processed. Whatever the user sees (questions,
    // log lines, progress, outputs appearing, the index) keeps its order;
    // false does one thing at a time.
    bool overlap = true;
    // How many inputs the cache decodes ahead at once (at most the cache's
    // kMaxReadAhead): each costs the memory of one decoded input. 0: two,
    // and more, up to one a core, as far as memory allows, while the run
    // waits for them with cores to spare.
    uint32_t readAhead = 0;
};

struct BatchResult {
    int32_t total = 0, done = 0, converted = 0, skipped = 0;
    // Of `skipped`: the outputs that failed (rather than existing outputs
    // left alone, or outputs never reached after an interruption).
    int32_t failed = 0;
    // Sources whose outputs were all written but which could not be deleted
    // as the job asked.
    int32_t notDeleted = 0;
    bool interrupted = false;
    bool emptyList = false;
    // The HTML index could not be written (the old one, if any, stays).
    bool indexFailed = false;
    // One line for each input that could not be read, whose output was not
    // written for a failure, or that could not be deleted: its path, ": "
    // and why, naming the output (UTF-8). A run without a window has no
    // other place to say which files they were.
    std::vector<std::string> failures;
};

BatchResult batchRun(BatchContext& context);

// Loads and processes one input as the job says. On success `out` holds the
// processed image (a private copy: never the cache's own) and w/h its size.
// The cache reads `nextPath` ahead, and as many of `laterPaths` (the inputs
// after it, in order) as it reads files ahead at once besides. `readNotes`
// receives what the reader put right in a damaged file (one line each, for
// the log), also when the load then fails. `framesRead` receives how many
// pages or frames the file was read with, before any processing.
ResultCode batchLoadInput(Ref<Image>& out, const std::filesystem::path& path, const FileEntry* entry,
                          uint32_t* width, uint32_t* height, const std::filesystem::path* nextPath,
                          const JobSettings& settings, ImageCache* cache, const FormatRegistry* registry,
                          std::span<const std::filesystem::path* const> laterPaths = {},
                          std::vector<std::string>* readNotes = nullptr, uint32_t* framesRead = nullptr);

// The orientation that applies `first`, then `second`.
uint8_t orientationCompose(uint8_t first, uint8_t second);

// Writes one output. The image goes to a temporary file beside the target,
// which replaces the target only when everything was written; a failure
// leaves any existing file as it was. Returns 0, WRITE_SKIPPED or a failure.
// `outputPath` may change (Rename). bitsOut receives the bits per pixel.
// With the context's claims, an output that would replace another input
// (not `source`) or an earlier output of the run is refused with
// RC_CREATE_FAILED, and `refusal` receives the reason naming both files; an
// input there before the run that the job keeps as an existing output is
// skipped, since it replaces nothing.
// So is an output that would replace a read-only file, or replace `source`
// while holding fewer than its `sourceFrames` frames.
ResultCode batchWriteOutput(BatchContext& context, std::filesystem::path& outputPath, Image* image, int slotIndex,
                            uint32_t* bitsOut, const std::filesystem::path* source = nullptr,
                            std::u16string* refusal = nullptr, uint32_t sourceFrames = 0);

} // namespace quillon
