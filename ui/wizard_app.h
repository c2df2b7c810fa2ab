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

private:
    void runBatch(ProcessingPage& page);

    std::unique_ptr<WizardFrame> frame_;
    InputPage* input_ = nullptr;
    ProcessingPage* processing_ = nullptr;
};

} // namespace quillon::ui
