#include "ui/rename_dialog.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeView>

#include <gtest/gtest.h>

#include "app/format_table.h"
#include "core/format.h"
#include "support/test_support.h"
#include "ui/hooks.h"
#include "ui/input_page.h"

using namespace quillon;
using namespace quillon::ui;
namespace fs = std::filesystem;

namespace {

std::string u8(std::u16string_view t) { return QString::fromUtf16(t.data(), qsizetype(t.size())).toStdString(); }

// What a user types and ticks in the dialog, and how they leave it.
struct Typed {
    QString input;
    QString output;
    bool onlySelected = false;
    bool caseSensitive = false;
    bool cancel = false;
};

struct RenameDialogTest : ::testing::Test {
    test::TempDir dir;
    std::unique_ptr<InputPage> page;
    // The values the dialog showed when it opened.
    RenamePatternParams shown;

    static void SetUpTestSuite()
    {
        if (formatRegistry().count() == 0) registerAllFormats();
    }
    void SetUp() override
    {
        QUILLON_REQUIRE_TOOL("convert");
        uiHooks() = {};
        page = std::make_unique<InputPage>();
    }
    void TearDown() override { uiHooks() = {}; }

    FileEntry& add(const std::string& name)
    {
        fs::path p = dir / name;
        fs::create_directories(p.parent_path());
        EXPECT_EQ(test::run("convert -size 4x3 xc:navy BMP3:" + test::shellQuote(p.string())), 0);
        EXPECT_EQ(fileListAddFile(page->list(), p, false, false), RC_OK) << name;
        for (FileEntry* e : page->list().rows())
            if (e->path == p) return *e;
        throw std::runtime_error("not listed: " + name);
    }

    // Runs the page's rename command, typing into the dialog by control id
    // as a user would.
    void rename(const Typed& typed)
    {
        bool driven = false;
        std::function<void()> drive = [&] {
            auto* d = qobject_cast<RenameDialog*>(QApplication::activeModalWidget());
            if (!d) {
                QTimer::singleShot(10, drive);
                return;
            }
            driven = true;
            shown = d->params();
            auto* in = d->findChild<QLineEdit*>("ctl840");
            auto* out = d->findChild<QLineEdit*>("ctl841");
            auto* only = d->findChild<QCheckBox*>("ctl842");
            auto* cs = d->findChild<QCheckBox*>("ctl843");
            ASSERT_TRUE(in && out && only && cs);
            in->selectAll();
            QTest::keyClick(in, Qt::Key_Delete);
            QTest::keyClicks(in, typed.input);
            out->selectAll();
            QTest::keyClick(out, Qt::Key_Delete);
            QTest::keyClicks(out, typed.output);
            // A click on the box itself: the widget may be wider than its text.
            auto tick = [](QCheckBox* box) { QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(6, box->height() / 2)); };
            if (only->isChecked() != typed.onlySelected) tick(only);
            if (cs->isChecked() != typed.caseSensitive) tick(cs);
            QPushButton* leave = d->findChild<QPushButton*>(typed.cancel ? "ctl2" : "ctl1");
            ASSERT_NE(leave, nullptr);
            QTest::mouseClick(leave, Qt::LeftButton);
        };
        QTimer::singleShot(0, drive);
        page->runCommand(CMD_PATTERN_RENAME);
        EXPECT_TRUE(driven);
    }

    void select(std::initializer_list<const FileEntry*> entries)
    {
        page->view()->clearSelection();
        for (int r = 0; r < page->model()->rowCount(); ++r)
            for (const FileEntry* e : entries)
                if (&page->list().row(page->model()->listRow(r)) == e)
                    page->view()->selectionModel()->select(page->model()->index(r, 0),
                                                           QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
    std::string firstColumn(const FileEntry& e) { return u8(fileListColumnText(e, 0)); }
};

TEST_F(RenameDialogTest, WildcardsCaptureAndRebuildNames)
{
    FileEntry& img = add("IMG_0042.jpg");
    FileEntry& dsc = add("DSC_0001.jpg");
    rename({"IMG_*", "Holiday *"});
    EXPECT_EQ(u8(img.overrideName), "Holiday 0042");
    EXPECT_TRUE(dsc.overrideName.empty());
    EXPECT_NE(firstColumn(img).find(" -> Holiday 0042"), std::string::npos) << firstColumn(img);
    EXPECT_EQ(firstColumn(dsc), "DSC_0001.jpg");

    // The first underscore ends the first star.
    FileEntry& abc = add("a_b_c.bmp");
    rename({"*_*", "*-*"});
    EXPECT_EQ(u8(abc.overrideName), "a-b_c");
    // "Holiday 0042" and "DSC_0001" matched as well: "*" around "_".
    EXPECT_EQ(u8(dsc.overrideName), "DSC-0001");
    EXPECT_EQ(u8(img.overrideName), "Holiday 0042");
}

TEST_F(RenameDialogTest, QuestionMarksAndOnlySelectedRows)
{
    FileEntry& x = add("x/abcdef.bmp");
    FileEntry& y = add("y/abcdef.bmp");
    select({&x});
    rename({"???*", "*", true});
    EXPECT_EQ(u8(x.overrideName), "def");
    EXPECT_TRUE(y.overrideName.empty());

    select({&y});
    // The star passes over the question marks' captures still unused.
    rename({"???*", "?-*", true});
    EXPECT_EQ(u8(y.overrideName), "a-def");
    EXPECT_EQ(u8(x.overrideName), "def");

    // A second rename works on the name the first one gave.
    select({&x});
    rename({"???*", "?-*", true});
    EXPECT_EQ(u8(x.overrideName), "d-");
}

TEST_F(RenameDialogTest, CaseSensitivityAndRememberedValues)
{
    FileEntry& e = add("IMG_1.jpg");
    rename({"img_*", "shot *", false, true});
    EXPECT_TRUE(e.overrideName.empty());
    // The dialog opens with what was typed last time.
    rename({"img_*", "shot *", false, false});
    EXPECT_EQ(u8(shown.inputPattern), "img_*");
    EXPECT_EQ(u8(shown.outputPattern), "shot *");
    EXPECT_EQ(shown.caseSensitive, 1);
    EXPECT_EQ(u8(e.overrideName), "shot 1");

    // Cancel keeps both the names and the values.
    rename({"*", "gone", true, true, true});
    EXPECT_EQ(u8(e.overrideName), "shot 1");
    EXPECT_EQ(u8(page->renameParams.outputPattern), "shot *");
    EXPECT_EQ(page->renameParams.onlySelected, 0);
}

TEST_F(RenameDialogTest, OfferedOnlyWithRowsAndShowsItsTexts)
{
    auto offered = [this] {
        std::unique_ptr<QMenu> menu = page->buildContextMenu();
        for (QAction* a : menu->actions())
            if (a->text() == "Pattern rename files") return a->data().toInt() == CMD_PATTERN_RENAME;
        return false;
    };
    EXPECT_FALSE(offered());
    add("one.bmp");
    EXPECT_TRUE(offered());

    RenameDialog d(nullptr, RenamePatternParams{});
    EXPECT_EQ(d.windowTitle(), "Pattern renaming of output files");
    EXPECT_EQ(d.inputEdit()->text(), "*");
    EXPECT_EQ(d.outputEdit()->text(), "*");
    EXPECT_EQ(d.inputEdit()->maxLength(), 259);
    QStringList labels;
    for (QLabel* l : d.findChildren<QLabel*>()) labels << l->text();
    EXPECT_TRUE(labels.contains("Input file name pattern:"));
    EXPECT_TRUE(labels.contains("Output file name pattern:"));
    EXPECT_TRUE(labels.contains("Use * and ? wildcards plus alphanumerals for pattern matching.\n"
                                "Note: File exensions are not included!"));
    EXPECT_EQ(d.onlySelectedBox()->text(), "Only rename selected files");
    EXPECT_EQ(d.caseSensitiveBox()->text(), "Case sensitive pattern");
}

} // namespace
