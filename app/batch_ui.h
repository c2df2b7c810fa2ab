#pragma once
// What the batch asks of its user interface. The processing page implements
// it with widgets; tests implement it with scripted answers. The batch runs
// on the interface's thread and calls pumpEvents() between outputs, so a
// cancel click can clear the running flag in the middle of a run.
#include <cstdint>
#include <filesystem>
#include <string_view>

namespace quillon {

// Answers of the overwrite question.
enum OverwriteAnswer : int32_t { OVERWRITE_REPLACE = 1, OVERWRITE_REPLACE_ALL = 2, OVERWRITE_RENAME = 3, OVERWRITE_CANCEL = 4 };
// Answers of the error question.
enum ErrorAnswer : int32_t { ERROR_CONTINUE = 1, ERROR_CANCEL_BATCH = 2 };

class BatchUi {
public:
    virtual ~BatchUi() = default;

    // The processing page's texts and progress.
    virtual void setInputText(std::u16string_view text) = 0;   // the input being read
    virtual void setOutputText(std::u16string_view text) = 0;  // the output being written
    virtual void setProgressRange(int32_t total) = 0;
    virtual void setProgress(int32_t done) = 0;
    virtual void setStatus(std::u16string_view text) = 0;
    virtual void setTime(std::u16string_view text) = 0;
    virtual void setTitle(std::u16string_view text) = 0;
    // Lets the interface handle pending events (repaints, a cancel click).
    virtual void pumpEvents() = 0;
    // Called over and over while an output is being encoded on another
    // thread, so that a cancel click can stop a long encoding; the batch's
    // order of events does not depend on it.
    virtual void pumpWhileEncoding() {}
    virtual void setBusy(bool busy) = 0;

    // The list is empty: tell the user and return to the input page.
    virtual void emptyList() = 0;
    // Closes the wizard (silent runs, "Exit when done").
    virtual void closeWizard() = 0;
    // The end of a run: Back and Finish enabled, Cancel reads "Close".
    virtual void batchEnded(bool interrupted) = 0;

    // "Replace existing file?" Closing the question answers Cancel.
    virtual int32_t askOverwrite(std::u16string_view text) = 0;
    // The new name after "Rename"; false when the user gave none.
    virtual bool askRenameTarget(std::filesystem::path& path) = 0;
    // An error: "Continue..." or "Cancel batch" (closing continues).
    virtual int32_t askContinue(std::u16string_view text, std::u16string_view caption) = 0;
    // "Cancel all files remaining in the batch?": true to cancel all (closing
    // also cancels all).
    virtual bool askCancelAllRemaining() = 0;
};

} // namespace quillon
