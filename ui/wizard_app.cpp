#include "ui/wizard_app.h"

#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <ctime>

#include "app/app_paths.h"
#include "app/batch.h"
#include "app/job_settings.h"
#include "app/log_file.h"
#include "app/run_report.h"
#include "app/taskbar_progress.h"
#include "core/image_cache.h"
#include "platform/known_folders.h"
#include "ui/index_options_page.h"
#include "ui/input_page.h"
#include "ui/more_options_page.h"
#include "ui/multi_formats_page.h"
#include "ui/output_options_page.h"
#include "ui/processing_page.h"
#include "ui/ui_kit.h"

namespace quillon::ui {

WizardApp::WizardApp(std::vector<std::string> args) : frame_(std::make_unique<WizardFrame>())
{
    input_ = new InputPage;
    input_->arguments = std::move(args);
    frame_->addPage(input_);
    frame_->addPage(new OutputOptionsPage);
    frame_->addPage(new MultiFormatsPage);
    frame_->addPage(new MoreOptionsPage);
    frame_->addPage(new IndexOptionsPage);
    processing_ = new ProcessingPage;
    processing_->exitWhenDone = reinterpret_cast<bool*>(&jobSettings().exitWhenDone);
    processing_->clearInputList = [this] { input_->clearAll(); };
    processing_->runBatch = [this](ProcessingPage& page) { runBatch(page); };
    frame_->addPage(processing_);
    frame_->navSettings = [] {
        const JobSettings& s = jobSettings();
        return NavSettings{int(s.iOutFormats), s.bShowMoreOptions != 0, s.index.bIndex != 0};
    };
    frame_->setCurrentPage(PAGE_INPUT_FILES);
    // The command line is handled once the page is up, from the event loop.
    QTimer::singleShot(0, input_, [this] { input_->parseCommandLine(); });
}

WizardApp::~WizardApp() = default;

int WizardApp::exec()
{
    execResult_ = frame_->exec();
    return execResult_;
}

int WizardApp::exitStatus() const
{
    // A silent run reports success only when its batch wrote everything; a
    // run that never got to its batch has failed.
    if (execResult_ == kWizardSilentCheckFailed) return 1;
    if (input_->argumentsFailed) return 1;
    if (batchStatus_ >= 0) return batchStatus_;
    return frame_->silent || jobSettings().silentMode ? 1 : 0;
}

void WizardApp::runBatch(ProcessingPage& page)
{
    JobSettings& s = jobSettings();
    // The page's cancel confirmation clears the very flag the batch polls.
    BatchContext ctx{s, input_->list(), page, page.runningFlag()};
    ctx.cache = &imageCache();
    std::unique_ptr<TaskbarProgress> taskbar = taskbarProgressCreate();
    ctx.taskbar = taskbar.get();
    ctx.logPath = logFilePath(appFolder(), roamingAppDataFolder());
    ctx.notAdded = &input_->notAdded();
    ctx.localTime = [] {
        std::time_t t = std::time(nullptr);
        std::tm local{};
        localtime_r(&t, &local);
        return local;
    };
    ctx.milliseconds = [] {
        return uint64_t(std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now().time_since_epoch())
                            .count());
    };
    BatchResult r = batchRun(ctx);
    const int outputs = int(std::clamp<uint32_t>(s.iOutFormats, 1, kMaxOutputFormats));
    const int inputsLeftOut = int(input_->notAdded().size());
    const RunReport report = batchRunReport(r, inputsLeftOut, outputs,
                                            s.bCreateLogFile ? ctx.logPath : std::filesystem::path());
    batchStatus_ = report.status;
    // No window tells the caller of a silent run what went wrong: a line
    // for each file that failed does, and one with the counts and the log
    // that holds the details.
    if (s.silentMode) {
        for (const std::string& failure : report.failures) std::fprintf(stderr, "%s\n", failure.c_str());
        if (!report.line.empty()) std::fprintf(stderr, "%s\n", report.line.c_str());
        std::fflush(stderr);
    }
}

} // namespace quillon::ui
