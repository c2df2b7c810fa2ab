#pragma once
// One batch over a few inputs, as the wizard runs it, for tests outside the
// batch's own: every format registered, the inputs added as the input page
// adds them, an output folder, and whatever else the test set in the job.
#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "app/batch.h"
#include "app/format_table.h"
#include "app/input_list.h"
#include "app/job_settings.h"
#include "core/format.h"
#include "core/text.h"
#include "support/quiet_batch_ui.h"

namespace quillon::test {

struct BatchJob {
    FormatRegistry registry;
    JobSettings settings;
    QuietBatchUi ui;

    // Output folder `outDir` (created), one output per input in the format
    // written by `extension` ("jpg") with `subFormat` and `parameter`,
    // automatic colour, existing outputs replaced.
    BatchJob(const std::filesystem::path& outDir, const char* extension, const char16_t* subFormat,
             int32_t parameter = 0)
    {
        registerAllFormats(registry);
        std::filesystem::create_directories(outDir);
        settings.szOutDir = outDir / "";
        settings.bNoOverwritePrompt = 1;
        settings.iOutFormats = 1;
        OutputFormatSlot& slot = settings.slots[0];
        slot.iFormatId = registry.findByExtension(std::u16string_view(utf8ToU16(std::string("x.") + extension)), true);
        EXPECT_GE(slot.iFormatId, 0) << extension;
        slot.szSubFormat = subFormat;
        slot.iColorFormat = CF_AUTO;
        slot.iCompParam = parameter;
        ui.cancelAllRemaining = false;
    }

    // Adds every input (each must be readable) and runs the batch.
    BatchResult run(const std::vector<std::filesystem::path>& inputs)
    {
        InputListHooks hooks;
        hooks.registry = &registry;
        InputList list(&hooks);
        for (const std::filesystem::path& p : inputs) EXPECT_EQ(list.addFile(p, false, false), RC_OK) << p;
        bool running = false;
        BatchContext ctx{settings, list, ui, running};
        ctx.registry = &registry;
        return batchRun(ctx);
    }
};

} // namespace quillon::test
