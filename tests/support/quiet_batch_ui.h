#pragma once
// A batch interface for tests that run a batch without a window: it shows
// nothing, answers the overwrite question with `overwriteAnswer` (and a
// Rename with `renameTo`, none when it is empty), goes on after errors
// (keeping their texts) and answers the cancel-all question with
// `cancelAllRemaining`.
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "app/batch_ui.h"

namespace quillon::test {

struct QuietBatchUi final : BatchUi {
    int32_t overwriteAnswer = OVERWRITE_REPLACE_ALL;
    bool cancelAllRemaining = true;
    std::filesystem::path renameTo;
    std::vector<std::u16string> errors;

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
    int32_t askOverwrite(std::u16string_view) override { return overwriteAnswer; }
    bool askRenameTarget(std::filesystem::path& path) override
    {
        if (renameTo.empty()) return false;
        path = renameTo;
        return true;
    }
    int32_t askContinue(std::u16string_view text, std::u16string_view) override
    {
        errors.emplace_back(text);
        return ERROR_CONTINUE;
    }
    bool askCancelAllRemaining() override { return cancelAllRemaining; }
};

} // namespace quillon::test
