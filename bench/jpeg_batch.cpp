// Headless batch driver for the JPEG benchmark: every input named on the
// command line is decoded, resized to 50% with Catmull-Rom and written as
// JPEG at quality 85, as a silent batch does.
//   bench_jpeg_batch OUTDIR [--no-read-ahead] INPUT...
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

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
        std::fprintf(stderr, "usage: %s OUTDIR [--no-read-ahead] INPUT...\n", argv[0]);
        return 2;
    }
    registerAllFormats();
    JobSettings& s = jobSettings();
    s = JobSettings{};
    s.szOutDir = std::filesystem::path(argv[1]) / "";
    s.iOutFormats = 1;
    s.slots[0].iFormatId = formatRegistry().findByExtension(std::u16string_view(u"x.jpg"), true);
    s.slots[0].szSubFormat = u"Normal, by Quality:";
    s.slots[0].iColorFormat = 0xFFFFFFFF;
    s.slots[0].iCompParam = 85;
    s.bNoOverwritePrompt = 1;
    s.eResize = 1;
    s.i3ResizeFactor = 50000;
    s.eResizeMethod = 3;
    int first = 2;
    bool readAhead = true;
    if (std::strcmp(argv[2], "--no-read-ahead") == 0) {
        readAhead = false;
        ++first;
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
