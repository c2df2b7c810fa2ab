#pragma once
// The last wizard page: it runs the batch as soon as it shows, displays its
// progress, confirms cancellation and offers a new batch.
#include <functional>

#include "app/batch_ui.h"
#include "ui/wizard.h"

class QLabel;
class QProgressBar;

namespace quillon::ui {

class ProcessingPage final : public WizardPage, public BatchUi {
    Q_OBJECT
public:
    explicit ProcessingPage(QWidget* parent = nullptr);

    // Runs one batch against this page; set by the program's start-up.
    std::function<void(ProcessingPage& page)> runBatch;
    // Empties the input list for "New batch".
    std::function<void()> clearInputList;
    // The "Exit when done" switch of the job (not stored between sessions).
    bool* exitWhenDone = nullptr;

    // The running flag: set by the batch, cleared here to cancel it.
    bool running() const { return running_; }
    void setRunning(bool on) { running_ = on; }
    // The flag itself, for the batch to poll.
    bool& runningFlag() { return running_; }

    // WizardPage
    void onInit() override;
    void onActivated() override;
    int onNext() override { return WIZ_STAY; }
    int onBack() override;
    bool queryCancel() override;
    void onFinish() override;
    void onCommand(int id) override;

    // BatchUi
    void setInputText(std::u16string_view text) override;
    void setOutputText(std::u16string_view text) override;
    void setProgressRange(int32_t total) override;
    void setProgress(int32_t done) override;
    void setStatus(std::u16string_view text) override;
    void setTime(std::u16string_view text) override;
    void setTitle(std::u16string_view text) override;
    void pumpEvents() override;
    void pumpWhileEncoding() override;
    void setBusy(bool busy) override;
    void emptyList() override;
    void closeWizard() override;
    void batchEnded(bool interrupted) override;
    int32_t askOverwrite(std::u16string_view text) override;
    bool askRenameTarget(std::filesystem::path& path) override;
    int32_t askContinue(std::u16string_view text, std::u16string_view caption) override;
    bool askCancelAllRemaining() override;

private:
    // True when the user confirmed stopping the running batch.
    bool confirmCancel();

    QLabel *input_, *output_, *status_, *time_;
    QProgressBar* progress_;
    bool running_ = false;
    bool busy_ = false;
};

} // namespace quillon::ui
