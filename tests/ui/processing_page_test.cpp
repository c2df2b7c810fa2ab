#include "ui/processing_page.h"

#include <QCheckBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include "ui/hooks.h"
#include "ui_wait.h"
#include "ui/msgbox.h"

using namespace quillon;
using namespace quillon::ui;

namespace {

struct Harness {
    WizardFrame frame;
    ProcessingPage* page;
    bool exitWhenDone = false;
    int cleared = 0;
    std::vector<QString> boxes;
    int32_t answer = IDNO;
    Harness()
    {
        uiHooks() = {};
        uiHooks().msgBox = [this](QWidget*, const QString& text, const QString&, const std::vector<MsgButton>&,
                                  int32_t) {
            boxes.push_back(text);
            return answer;
        };
        for (int i = 0; i < PAGE_PROCESSING; ++i) frame.addPage(new WizardPage(i));
        page = new ProcessingPage;
        page->exitWhenDone = &exitWhenDone;
        page->clearInputList = [this] { ++cleared; };
        frame.addPage(page);
        frame.navSettings = [] { return NavSettings{2, false, false}; };
    }
    ~Harness() { uiHooks() = {}; }
};

// A stand-in batch: ten outputs, polling the running flag after each.
void fakeBatch(ProcessingPage& p, int* finishedAt)
{
    p.setRunning(true);
    p.setProgressRange(10);
    int done = 0;
    while (p.running() && done < 10) {
        ++done;
        p.setProgress(done);
        p.pumpEvents();
        if (done == 3) p.frame()->pressCancel(); // the user presses Cancel mid-run
    }
    *finishedAt = done;
    p.batchEnded(done < 10);
    p.setRunning(false);
}

} // namespace

TEST(ProcessingPage, CancelRefusedLetsTheBatchFinish)
{
    Harness h;
    int finishedAt = -1;
    h.page->runBatch = [&](ProcessingPage& p) { fakeBatch(p, &finishedAt); };
    h.answer = IDNO;
    h.frame.setCurrentPage(PAGE_PROCESSING);
    UI_WAIT_EQ(finishedAt, 10, 2000);
    ASSERT_EQ(h.boxes.size(), 1u);
    EXPECT_EQ(h.boxes[0], QStringLiteral("Are you sure you want to cancel the ongoing batch?"));
    EXPECT_EQ(h.frame.cancelButton()->text(), QStringLiteral("Close"));
    EXPECT_TRUE(h.frame.finishButton()->isEnabled());
    EXPECT_EQ(h.frame.finishButton()->text(), QStringLiteral("New batch"));
}

TEST(ProcessingPage, CancelConfirmedStopsTheBatchAndKeepsTheWizard)
{
    Harness h;
    int finishedAt = -1;
    h.page->runBatch = [&](ProcessingPage& p) { fakeBatch(p, &finishedAt); };
    h.answer = IDYES;
    h.frame.show();
    h.frame.setCurrentPage(PAGE_PROCESSING);
    UI_WAIT_EQ(finishedAt, 3, 2000);
    EXPECT_TRUE(h.frame.isVisible());
    EXPECT_EQ(h.page->controls().get(703)->property("text").toString(), QStringLiteral("Cancelling, please wait..."));
    // Back while idle follows the skipping rules; Cancel while idle closes.
    h.frame.pressBack();
    EXPECT_EQ(h.frame.currentIndex(), int(PAGE_MULTIPLE_FORMATS));
}

TEST(ProcessingPage, NewBatchClearsTheListAndExitWhenDoneIsTheJobSwitch)
{
    Harness h;
    int finishedAt = -1;
    h.page->runBatch = [&](ProcessingPage& p) { fakeBatch(p, &finishedAt); };
    h.answer = IDNO;
    h.frame.setCurrentPage(PAGE_PROCESSING);
    UI_WAIT_EQ(finishedAt, 10, 2000);
    h.page->controls().check(710)->click();
    EXPECT_TRUE(h.exitWhenDone);
    h.frame.finishButton()->click();
    EXPECT_EQ(h.frame.currentIndex(), int(PAGE_INPUT_FILES));
    EXPECT_EQ(h.cleared, 1);
    EXPECT_EQ(h.frame.cancelButton()->text(), QStringLiteral("Cancel"));
}

TEST(ProcessingPage, QuestionsCloseWithTheirSafeAnswers)
{
    Harness h;
    std::vector<std::pair<QString, int32_t>> asked;
    uiHooks().msgBox = [&](QWidget*, const QString&, const QString& caption, const std::vector<MsgButton>&,
                           int32_t closeValue) {
        asked.push_back({caption, closeValue});
        return closeValue; // the user closes every box
    };
    EXPECT_EQ(h.page->askOverwrite(u"The following output file aldready exists"), OVERWRITE_CANCEL);
    EXPECT_EQ(h.page->askContinue(u"Unknown file format", u"a.bmp"), ERROR_CONTINUE);
    EXPECT_TRUE(h.page->askCancelAllRemaining());
    ASSERT_EQ(asked.size(), 3u);
    EXPECT_EQ(asked[0].first, QStringLiteral("Replace existing file?"));
    EXPECT_EQ(asked[2].first, QStringLiteral("Cancel all remaining?"));

    std::filesystem::path target = "/tmp/out.bmp";
    uiHooks().fileDialog = [](QWidget*, const FileDialogRequest& r) {
        EXPECT_TRUE(r.save);
        EXPECT_EQ(r.title, QStringLiteral("Please select a new output file name"));
        EXPECT_EQ(r.fileName, QStringLiteral("out.bmp"));
        return FileDialogResult{true, {QStringLiteral("/tmp/renamed.bmp")}, 0};
    };
    EXPECT_TRUE(h.page->askRenameTarget(target));
    EXPECT_EQ(target, std::filesystem::path("/tmp/renamed.bmp"));
    uiHooks().fileDialog = [](QWidget*, const FileDialogRequest&) { return FileDialogResult{}; };
    EXPECT_FALSE(h.page->askRenameTarget(target));

    // A name that is not UTF-8, offered and taken back as it was (the user
    // only changed the folder's last letter), keeps its bytes.
    target = "/tmp/\xE9t\xE9/caf\xE9.bmp";
    uiHooks().fileDialog = [](QWidget*, const FileDialogRequest& r) {
        return FileDialogResult{true, {r.startFolder.chopped(1) + QStringLiteral("2/") + r.fileName}, 0};
    };
    EXPECT_TRUE(h.page->askRenameTarget(target));
    EXPECT_EQ(target.native(), "/tmp/\xE9t2/caf\xE9.bmp");
}
