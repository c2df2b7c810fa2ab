#include "ui/wizard_app.h"

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include "app/format_table.h"
#include "app/input_list.h"
#include "app/job_settings.h"
#include "core/format.h"
#include "support/test_support.h"
#include "ui_wait.h"
#include "ui/add_directory_dialog.h"
#include "ui/hooks.h"
#include "ui/input_page.h"
#include "ui/msgbox.h"
#include "ui/processing_page.h"

using namespace quillon;
using namespace quillon::ui;
namespace fs = std::filesystem;

namespace {

struct WizardAppTest : ::testing::Test {
    test::TempDir dir;
    JobSettings saved;

    static void SetUpTestSuite()
    {
        if (formatRegistry().count() == 0) registerAllFormats();
    }
    void SetUp() override
    {
        QUILLON_REQUIRE_TOOL("convert");
        uiHooks() = {};
        fs::create_directories(dir / "out");
        JobSettings& s = jobSettings();
        s = JobSettings{};
        s.szOutDir = dir / "out/";
        s.iOutFormats = 1;
        s.slots[0].iFormatId = formatRegistry().findByExtension(std::u16string_view(u"x.bmp"), true);
        s.slots[0].szSubFormat = u"Normal";
        s.slots[0].iColorFormat = 0xFFFFFFFF;
    }
    void TearDown() override
    {
        uiHooks() = {};
        jobSettings() = JobSettings{};
    }
    fs::path bmp(const std::string& name)
    {
        fs::path p = dir / name;
        EXPECT_EQ(test::run("convert -size 32x16 gradient:white-black BMP3:" + test::shellQuote(p.string())), 0);
        return p;
    }
};

} // namespace

TEST_F(WizardAppTest, ABatchRunsThroughTheRealPages)
{
    fs::path a = bmp("a.bmp"), b = bmp("b.bmp");
    WizardApp app({a.string(), b.string()});
    // The command line is handled from the event loop.
    UI_WAIT_EQ(int(app.inputPage().list().rowCount()), 2, 3000);
    app.frame().show();
    app.frame().setCurrentPage(PAGE_PROCESSING);
    UI_WAIT_EQ(app.frame().windowTitle(), QStringLiteral("Batch Completed! - Quillon"), 10000);
    EXPECT_TRUE(fs::exists(dir / "out" / "a.bmp"));
    EXPECT_TRUE(fs::exists(dir / "out" / "b.bmp"));
    EXPECT_EQ(app.processingPage().controls().get(703)->property("text").toString(),
              QStringLiteral(" Converted 2 out of 2 files!"));
    EXPECT_EQ(app.frame().cancelButton()->text(), QStringLiteral("Close"));
    EXPECT_FALSE(app.processingPage().running());
}

TEST_F(WizardAppTest, TheFailurePromptComesWithTheFailingFileOnThePage)
{
    fs::path a = bmp("a.bmp"), b = bmp("b.bmp"), c = bmp("c.bmp");
    WizardApp app({a.string(), b.string(), c.string()});
    UI_WAIT_EQ(int(app.inputPage().list().rowCount()), 3, 3000);
    // Listed as a picture, no longer one when the batch comes to it.
    test::writeFile(b, std::string("not a picture"));
    std::vector<std::pair<std::string, std::string>> shown; // caption, input line
    std::string outputLine;
    uiHooks().msgBox = [&](QWidget*, const QString&, const QString& caption, const std::vector<MsgButton>&,
                           int32_t closeValue) {
        shown.push_back({caption.toStdString(),
                         app.processingPage().controls().get(700)->property("text").toString().toStdString()});
        outputLine = app.processingPage().controls().get(701)->property("text").toString().toStdString();
        return closeValue; // go on with the next file
    };
    app.frame().show();
    app.frame().setCurrentPage(PAGE_PROCESSING);
    UI_WAIT_EQ(app.frame().windowTitle().startsWith(QStringLiteral("Batch")), true, 10000);
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].first, "b.bmp");
    EXPECT_EQ(shown[0].second, b.string());
    // Nothing of b is written, so no output is named; a's would mislead.
    EXPECT_EQ(outputLine, "");
    EXPECT_TRUE(fs::exists(dir / "out" / "c.bmp"));
}

TEST_F(WizardAppTest, CancelConfirmedStopsTheRunAndKeepsTheWizard)
{
    std::vector<std::string> args;
    for (int i = 0; i < 6; ++i) args.push_back(bmp("f" + std::to_string(i) + ".bmp").string());
    WizardApp app(args);
    UI_WAIT_EQ(int(app.inputPage().list().rowCount()), 6, 3000);
    int asked = 0;
    uiHooks().msgBox = [&](QWidget*, const QString& text, const QString&, const std::vector<MsgButton>&, int32_t) {
        if (text == QStringLiteral("Are you sure you want to cancel the ongoing batch?")) ++asked;
        return IDYES;
    };
    app.frame().show();
    app.frame().setCurrentPage(PAGE_PROCESSING);
    // Posted after the batch's start: it arrives while the batch pumps events.
    bool wasRunning = false;
    QTimer::singleShot(0, &app.frame(), [&] {
        wasRunning = app.processingPage().running();
        app.frame().pressCancel();
    });
    UI_WAIT_EQ(app.frame().windowTitle(), QStringLiteral("Batch interrupted! - Quillon"), 10000);
    EXPECT_TRUE(wasRunning);
    EXPECT_EQ(asked, 1);
    EXPECT_TRUE(app.frame().isVisible());
    int written = 0;
    for (const auto& e : fs::directory_iterator(dir / "out")) written += e.path().extension() == ".bmp";
    EXPECT_LT(written, 6);
    // The bar stays where the run stopped: a full one would say all was done.
    auto* bar = qobject_cast<QProgressBar*>(app.processingPage().controls().get(702));
    ASSERT_NE(bar, nullptr);
    EXPECT_EQ(bar->maximum(), 6);
    EXPECT_EQ(bar->value(), written);
}

TEST_F(WizardAppTest, TheOverwriteQuestionSaysWhenTheOutputIsTheInputItself)
{
    fs::path a = bmp("a.bmp");
    jobSettings().bSaveInSrcDirs = 1;
    WizardApp app({a.string()});
    UI_WAIT_EQ(int(app.inputPage().list().rowCount()), 1, 3000);
    QWidget* time = app.processingPage().controls().get(711);
    time->setProperty("text", QStringLiteral("Time: 7.5s")); // what the last batch showed
    QString text, caption, timeShown;
    uiHooks().msgBox = [&](QWidget*, const QString& t, const QString& c, const std::vector<MsgButton>&, int32_t) {
        text = t;
        caption = c;
        timeShown = time->property("text").toString();
        return int32_t(OVERWRITE_REPLACE);
    };
    app.frame().show();
    app.frame().setCurrentPage(PAGE_PROCESSING);
    UI_WAIT_EQ(app.frame().windowTitle(), QStringLiteral("Batch Completed! - Quillon"), 10000);
    EXPECT_EQ(caption, QStringLiteral("Replace existing file?"));
    EXPECT_EQ(text.toStdString(), "The following output file aldready exists:\n        \n" + a.string() +
                                      "\nThis file is the input file being converted.\n"
                                      "        \nWhat would you like to do with it?");
    // The question comes before the first file ends: the time is this run's.
    EXPECT_EQ(timeShown, QStringLiteral("Time: 0.0s"));
    EXPECT_EQ(app.processingPage().controls().get(703)->property("text").toString(),
              QStringLiteral(" Converted 1 out of 1 file!"));
}

TEST_F(WizardAppTest, AnOutputRefusedForAnEarlierOneCountsAsFailed)
{
    fs::create_directories(dir / "x");
    fs::create_directories(dir / "y");
    fs::path a = bmp("x/p.bmp"), b = bmp("y/p.bmp");
    WizardApp app({a.string(), b.string()});
    UI_WAIT_EQ(int(app.inputPage().list().rowCount()), 2, 3000);
    std::vector<std::pair<QString, QString>> shown; // caption, text
    uiHooks().msgBox = [&](QWidget*, const QString& t, const QString& c, const std::vector<MsgButton>&, int32_t close) {
        shown.push_back({c, t});
        return close; // go on
    };
    app.frame().show();
    app.frame().setCurrentPage(PAGE_PROCESSING);
    UI_WAIT_EQ(app.frame().windowTitle(), QStringLiteral("Batch Completed! - Quillon"), 10000);
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].first, QStringLiteral("p.bmp"));
    EXPECT_EQ(shown[0].second.toStdString(), "Not written: " + (dir / "out" / "p.bmp").string() +
                                                 " was already written in this batch, from " + a.string() + ".");
    EXPECT_EQ(app.processingPage().controls().get(703)->property("text").toString(),
              QStringLiteral(" Converted 1 out of 2 files, 1 file failed!"));
    auto* bar = qobject_cast<QProgressBar*>(app.processingPage().controls().get(702));
    ASSERT_NE(bar, nullptr);
    EXPECT_EQ(bar->value(), 2);
}

// A folder named on the command line with files that look like pictures
// but are not: the wizard names them in the box "Add files..." shows, and
// the run counts them as failed, as a silent run of the folder does. A new
// batch starts without them.
TEST_F(WizardAppTest, InputsTheListCouldNotTakeAreNamedAndCountAsFailed)
{
    fs::create_directories(dir / "in");
    bmp("in/a.bmp");
    bmp("in/b.bmp");
    test::writeFile(dir / "in" / "empty.jpg", std::string());
    test::writeFile(dir / "in" / "list.png", std::string("shopping list"));
    std::vector<QString> shown; // caption: text
    uiHooks().msgBox = [&](QWidget*, const QString& t, const QString& c, const std::vector<MsgButton>&, int32_t close) {
        shown.push_back(c + ": " + t);
        return close;
    };
    WizardApp app({(dir / "in").string()});
    app.frame().show();
    UI_WAIT_EQ(int(app.inputPage().list().rowCount()), 2, 3000);
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0], QStringLiteral("Error - Quillon: These 2 files could not be added:\n\n"
                                       "empty.jpg: Couldn't open file\nlist.png: Unknown file format"));
    app.frame().setCurrentPage(PAGE_PROCESSING);
    UI_WAIT_EQ(app.frame().windowTitle(), QStringLiteral("Batch Completed! - Quillon"), 10000);
    EXPECT_EQ(app.processingPage().controls().get(703)->property("text").toString(),
              QStringLiteral(" Converted 2 out of 4 files, 2 files failed!"));
    EXPECT_EQ(shown.size(), 1u);
    EXPECT_EQ(app.exitStatus(), 1);
    app.frame().finishButton()->click(); // "New batch"
    EXPECT_EQ(app.inputPage().list().rowCount(), 0u);
    EXPECT_TRUE(app.inputPage().notAdded().empty());

    // The same folder through "Add dir...", with no argument to fail: the
    // files left out fail the run by themselves.
    jobSettings().bSkipExisting = 1; // the outputs of the run before
    WizardApp added({});
    added.frame().show();
    std::function<void()> drive = [&] {
        auto* d = qobject_cast<AddDirectoryDialog*>(QApplication::activeModalWidget());
        if (!d) return QTimer::singleShot(10, drive);
        d->folderEdit()->setText(QString::fromStdString((dir / "in").string()));
        d->filterBox()->setChecked(false);
        d->accept();
    };
    QTimer::singleShot(0, drive);
    added.inputPage().runCommand(CMD_ADD_DIRECTORY);
    ASSERT_EQ(added.inputPage().notAdded().size(), 2u);
    added.frame().setCurrentPage(PAGE_PROCESSING);
    UI_WAIT_EQ(added.frame().windowTitle(), QStringLiteral("Batch Completed! - Quillon"), 10000);
    EXPECT_EQ(added.exitStatus(), 1);
}

TEST_F(WizardAppTest, EmptyListSendsTheUserBack)
{
    WizardApp app({});
    QString shown;
    uiHooks().msgBox = [&](QWidget*, const QString& text, const QString&, const std::vector<MsgButton>&, int32_t c) {
        shown = text;
        return c;
    };
    app.frame().setCurrentPage(PAGE_PROCESSING);
    UI_WAIT_EQ(app.frame().currentIndex(), int(PAGE_INPUT_FILES), 3000);
    EXPECT_EQ(shown, QStringLiteral("You must add at least one file to the \"Input files\" list!"));
}
