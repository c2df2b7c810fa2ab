#pragma once
// The whole wizard: the six pages in their frame, the running flag, and the
// batch wired to the processing page.
#include <memory>
#include <string>
#include <vector>

#include "ui/wizard.h"

namespace quillon::ui {

class InputPage;
class ProcessingPage;

class WizardApp {
public:
    // args: the program's arguments, without the program itself.
    explicit WizardApp(std::vector<std::string> args);
    ~WizardApp();

    WizardFrame& frame() { return *frame_; }
    InputPage& inputPage() { return *input_; }
    ProcessingPage& processingPage() { return *processing_; }

    // Shows the wizard and runs it until it closes.
    int exec();
    // The process's exit status after exec(): 0 when the last batch wrote
    // every output of every input (or, outside silent mode, when none ran),
    // 1 when anything was skipped or failed, the batch was interrupted, or a
    // silent run could not start it.
    int exitStatus() const;

private:
    void runBatch(ProcessingPage& page);

    std::unique_ptr<WizardFrame> frame_;
    InputPage* input_ = nullptr;
    ProcessingPage* processing_ = nullptr;
    int execResult_ = 0;
    int batchStatus_ = -1; // -1: no batch ran
};

} // namespace quillon::ui
