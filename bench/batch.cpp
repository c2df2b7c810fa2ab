// Headless batch driver for the benchmark: resize to 50% with Catmull-Rom,
// sharpen, write BMP, for every input named on the command line.
//   bench_batch OUTDIR [--no-read-ahead] [--width N] [--no-sharpen] INPUT...
// --width N resizes to N pixels wide, keeping the aspect, instead of 50%.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/batch.h"
#include "app/format_table.h"
#include "app/input_list.h"
#include "app/job_settings.h"
#include "core/format.h"
#include "core/image_cache.h"

using namespace quillon;

namespace {

struct QuietUi final : BatchUi {
    void setInputText(std::u16string_view) override {}
    void setOutputText(std::u16string_view) override {}
    void setProgressRange(int32_t) override {}
    void setProgress(int32_t) override {}
    void setStatus(std::u16string_view) override {}
    void setTime(std::u16string_view) override {}
    void setTitle(std::u16string_view) override {}
    void pumpEvents() override {}
    void setBusy(bool) override {}
    void emptyList() override {}
    void closeWizard() override {}
    void batchEnded(bool) override {}
    int32_t askOverwrite(std::u16string_view) override { return OVERWRITE_REPLACE; }
    bool askRenameTarget(std::filesystem::path&) override { return false; }
    int32_t askContinue(std::u16string_view, std::u16string_view) override { return ERROR_CONTINUE; }
    bool askCancelAllRemaining() override { return false; }
};

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s OUTDIR [--no-read-ahead] [--width N] [--no-sharpen] INPUT...\n", argv[0]);
        return 2;
    }
    registerAllFormats();
    JobSettings& s = jobSettings();
    s = JobSettings{};
    s.szOutDir = std::filesystem::path(argv[1]) / "";
    s.iOutFormats = 1;
    s.slots[0].iFormatId = formatRegistry().findByExtension(std::u16string_view(u"x.bmp"), true);
    s.slots[0].szSubFormat = u"Normal";
    s.slots[0].iColorFormat = 0xFFFFFFFF;
    s.bNoOverwritePrompt = 1;
    s.eResize = 1;
    s.i3ResizeFactor = 50000;
    s.eResizeMethod = 3;
    s.adjustments.setSharpness(0.5f);
    int first = 2;
    bool readAhead = true;
    for (; first < argc && std::strncmp(argv[first], "--", 2) == 0; ++first) {
        if (std::strcmp(argv[first], "--no-read-ahead") == 0) {
            readAhead = false;
        } else if (std::strcmp(argv[first], "--no-sharpen") == 0) {
            s.adjustments.setSharpness(0.0f);
        } else if (std::strcmp(argv[first], "--width") == 0 && first + 1 < argc) {
            s.eResize = 2;
            s.iResizeX = uint32_t(std::strtoul(argv[++first], nullptr, 10));
            s.iResizeY = 1000000;  // the width decides, the aspect is kept
            s.bResizeKeepAspect = 1;
        } else {
            std::fprintf(stderr, "unknown option %s\n", argv[first]);
            return 2;
        }
    }
    InputList list;
    for (int i = first; i < argc; ++i) list.addFile(argv[i], false, false);
    QuietUi ui;
    bool running = false;
    BatchContext ctx{s, list, ui, running};
    imageCache().allFrames = 1;
    imageCache().readAheadAllFrames = 1;
    ctx.cache = readAhead ? &imageCache() : nullptr;
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
