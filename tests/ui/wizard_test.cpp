#include "ui/wizard.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include "ui/hooks.h"
#include "ui_wait.h"

using namespace quillon;
using namespace quillon::ui;

namespace {

// A page that records its private commands and handler calls.
class ProbePage : public WizardPage {
public:
    explicit ProbePage(int index) : WizardPage(index)
    {
        auto* box = new QCheckBox("x", this);
        addControl(500, box);
        auto* edit = new QLineEdit(this);
        addControl(501, edit);
        auto* combo = new QComboBox(this);
        combo->addItem("a", 10);
        combo->addItem("b", 20);
        addControl(502, combo);
    }
    void settingsToControls() override { ++loads; }
    void controlsToSettings() override { ++stores; }
    void onCommand(int id) override { commands.push_back(id); }
    int onNext() override
    {
        if (failCheck) {
            controlsToSettings();
            return WIZ_STAY;
        }
        return WizardPage::onNext();
    }
    int loads = 0, stores = 0;
    bool failCheck = false;
    std::vector<int> commands;
};

struct Wizard {
    WizardFrame frame;
    ProbePage* pages[WIZARD_PAGE_COUNT];
    NavSettings settings;
    Wizard()
    {
        for (int i = 0; i < WIZARD_PAGE_COUNT; ++i) {
            pages[i] = new ProbePage(i);
            frame.addPage(pages[i]);
        }
        frame.navSettings = [this] { return settings; };
        frame.setCurrentPage(PAGE_INPUT_FILES);
    }
};

} // namespace

TEST(WizardFrame, NextAndBackFollowTheSkippingRules)
{
    Wizard w;
    w.settings = {3, false, true};
    EXPECT_EQ(w.frame.windowTitle(), QStringLiteral("Select input files - Quillon"));
    w.frame.pressNext();
    EXPECT_EQ(w.frame.currentIndex(), PAGE_OUTPUT_OPTIONS);
    EXPECT_EQ(w.frame.nextButton()->text(), QStringLiteral("Next >"));
    w.frame.pressNext();
    EXPECT_EQ(w.frame.currentIndex(), PAGE_INDEX_OPTIONS); // multiple formats skipped
    EXPECT_EQ(w.frame.nextButton()->text(), QStringLiteral("Start >"));
    EXPECT_EQ(w.frame.windowTitle(), QStringLiteral("Select index options - Quillon"));
    w.frame.pressNext();
    EXPECT_EQ(w.frame.currentIndex(), PAGE_PROCESSING);
    EXPECT_FALSE(w.frame.finishButton()->isHidden());
    EXPECT_TRUE(w.frame.nextButton()->isHidden());
    EXPECT_FALSE(w.frame.finishButton()->isEnabled());
    EXPECT_EQ(w.frame.finishButton()->text(), QStringLiteral("New batch"));
    // The options change while away: Back follows the current settings.
    w.settings = {2, false, false};
    w.frame.pressBack();
    EXPECT_EQ(w.frame.currentIndex(), PAGE_MULTIPLE_FORMATS);
    w.frame.pressBack();
    EXPECT_EQ(w.frame.currentIndex(), PAGE_OUTPUT_OPTIONS);
    EXPECT_EQ(w.frame.nextButton()->text(), QStringLiteral("Next >"));
}

TEST(WizardFrame, EachActivationLoadsSettingsAndLeavingStoresThem)
{
    Wizard w;
    w.frame.pressNext();
    ProbePage* out = w.pages[PAGE_OUTPUT_OPTIONS];
    EXPECT_EQ(out->loads, 1);
    out->failCheck = true;
    w.frame.pressNext();
    EXPECT_EQ(w.frame.currentIndex(), PAGE_OUTPUT_OPTIONS); // a failed check stays
    EXPECT_EQ(out->stores, 1);                               // but what it stored stays stored
    out->failCheck = false;
    w.frame.pressNext();
    EXPECT_EQ(w.frame.currentIndex(), PAGE_PROCESSING);
    w.frame.pressBack();
    EXPECT_EQ(out->loads, 2);
}

TEST(WizardFrame, HandlersRunOnUserActionsOnly)
{
    Wizard w;
    ProbePage* p = w.pages[0];
    ControlMap& c = p->controls();
    c.setChecked(500, true);
    c.setText(501, "75 %");
    c.selectData(502, 20);
    EXPECT_TRUE(p->commands.empty());
    EXPECT_TRUE(c.check(500)->isChecked());
    EXPECT_EQ(c.getInt(501, -1), 75);
    EXPECT_EQ(c.selData(502, -1), 20);
    c.setText(501, "abc");
    EXPECT_EQ(c.getInt(501, -1), -1);
    c.setText(501, " -12x");
    EXPECT_EQ(c.getInt(501, 0), -12);
    c.check(500)->click();
    EXPECT_EQ(p->commands, std::vector<int>{500});
    EXPECT_EQ(p->findChild<QCheckBox*>("ctl500"), c.check(500));
}

TEST(WizardFrame, SilentModeWalksTheOptionPages)
{
    Wizard w;
    w.settings = {1, true, false};
    w.frame.silent = true;
    w.frame.pressNext();
    // Output options and more options leave themselves, one posted press each.
    UI_WAIT_EQ(w.frame.currentIndex(), int(PAGE_PROCESSING), 2000);
    EXPECT_EQ(w.pages[PAGE_MORE_OPTIONS]->stores, 1);
}

TEST(WizardFrame, CancelAsksThePage)
{
    struct Stubborn : ProbePage {
        Stubborn() : ProbePage(0) {}
        bool queryCancel() override { return allow; }
        bool allow = false;
    };
    WizardFrame frame;
    auto* p = new Stubborn;
    frame.addPage(p);
    frame.setCurrentPage(0);
    frame.show();
    frame.pressCancel();
    EXPECT_TRUE(frame.isVisible());
    p->allow = true;
    frame.pressCancel();
    EXPECT_FALSE(frame.isVisible());
    EXPECT_EQ(frame.result(), int(QDialog::Rejected));
}

TEST(WizardFrame, HelpOpensTheGeneralTopic)
{
    std::vector<int> topics;
    uiHooks() = {};
    uiHooks().helpShow = [&](int t) { topics.push_back(t); };
    Wizard w;
    w.frame.helpButton()->click();
    QTest::keyClick(&w.frame, Qt::Key_F1);
    EXPECT_EQ(topics, (std::vector<int>{9900, 9900}));
    uiHooks() = {};
}
