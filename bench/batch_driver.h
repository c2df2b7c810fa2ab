#pragma once
// What the headless batch drivers share: the run itself, with the tests'
// quiet batch interface answering as a silent batch does, and its report.
// Each driver only sets up what it writes.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string_view>

#include "app/batch.h"
#include "app/format_table.h"
#include "app/input_list.h"
#include "app/job_settings.h"
#include "core/format.h"
#include "core/image_cache.h"
#include "support/quiet_batch_ui.h"

namespace quillon::bench {

// The job the drivers start from: one output in the format written as
// `fileName`'s extension, in `subFormat`, the colour format left to the
// writer, every picture resized to 50% with Catmull-Rom, into `outDir`.
inline JobSettings& halfSizeJob(const char* outDir, const char16_t* fileName, const char16_t* subFormat)
{
    registerAllFormats();
    JobSettings& s = jobSettings();
    s = JobSettings{};
    s.szOutDir = std::filesystem::path(outDir) / "";
    s.iOutFormats = 1;
    s.slots[0].iFormatId = formatRegistry().findByExtension(std::u16string_view(fileName), true);
    s.slots[0].szSubFormat = subFormat;
    s.slots[0].iColorFormat = 0xFFFFFFFF;
    s.bNoOverwritePrompt = 1;
    s.eResize = 1;
    s.i3ResizeFactor = 50000;
    s.eResizeMethod = 3;
    return s;
}

// Converts every file of `list` with `s`, reading `depth` inputs ahead (0:
// as many as the batch chooses) through the decoded image cache unless told
// not to read ahead, and encoding each output beside the next input's
// loading unless told not to; the exit status is 0 only when every file was
// converted.
inline int runQuietBatch(JobSettings& s, InputList& list, bool readAhead, bool overlap = true, uint32_t depth = 0)
{
    // Answers as a silent batch does: replace, go on after errors.
    test::QuietBatchUi ui;
    ui.overwriteAnswer = OVERWRITE_REPLACE;
    ui.cancelAllRemaining = false;
    bool running = false;
    BatchContext ctx{s, list, ui, running};
    imageCache().allFrames = 1;
    imageCache().readAheadAllFrames = 1;
    ctx.cache = readAhead ? &imageCache() : nullptr;
    ctx.overlap = overlap;
    ctx.readAhead = depth;
    ctx.milliseconds = [] {
        return uint64_t(std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now().time_since_epoch())
                            .count());
    };
    BatchResult r = batchRun(ctx);
    std::fprintf(stderr, "converted %d of %d\n", r.converted, r.total);
    imageCacheDestroy(&imageCache());
    return r.converted == r.total ? 0 : 1;
}

// Reads the options the drivers share from argv[first] on (--no-read-ahead,
// --read-ahead N, --no-overlap, --width N, and those `own` accepts: it is
// given an option and returns whether it was one of the driver's), then runs
// the batch over the inputs that follow them. 2 for an unknown option.
template <class Own>
inline int runQuietBatchFromArgs(JobSettings& s, int argc, char** argv, int first, Own own)
{
    bool readAhead = true, overlap = true;
    uint32_t depth = 0;
    for (; first < argc && std::strncmp(argv[first], "--", 2) == 0; ++first) {
        if (std::strcmp(argv[first], "--no-read-ahead") == 0) {
            readAhead = false;
        } else if (std::strcmp(argv[first], "--read-ahead") == 0 && first + 1 < argc) {
            depth = uint32_t(std::strtoul(argv[++first], nullptr, 10));
        } else if (std::strcmp(argv[first], "--no-overlap") == 0) {
            overlap = false;
        } else if (std::strcmp(argv[first], "--width") == 0 && first + 1 < argc) {
            s.eResize = 2;
            s.iResizeX = uint32_t(std::strtoul(argv[++first], nullptr, 10));
            s.iResizeY = 1000000;  // the width decides, the aspect is kept
            s.bResizeKeepAspect = 1;
        } else if (!own(argv[first])) {
            std::fprintf(stderr, "unknown option %s\n", argv[first]);
            return 2;
        }
    }
    InputList list;
    for (int i = first; i < argc; ++i) list.addFile(argv[i], false, false);
    return runQuietBatch(s, list, readAhead, overlap, depth);
}

} // namespace quillon::bench
