#include "ui/input_page.h"

#include <QApplication>
#include <QCheckBox>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QStyleOptionViewItem>
#include <QUrl>
#include <QTest>
#include <QTimer>
#include <QTreeView>

#include <gtest/gtest.h>

#include <set>

#include "app/format_table.h"
#include "app/job_settings.h"
#include "core/format.h"
#include "support/test_support.h"
#include "ui_wait.h"
#include "ui/add_directory_dialog.h"
#include "ui/hooks.h"
#include "ui/image_open_dialog.h"
#include "ui/msgbox.h"
#include "ui/ui_kit.h"

#include <QFile>

using namespace quillon;
using namespace quillon::ui;
namespace fs = std::filesystem;

namespace {

struct InputPageTest : ::testing::Test {
    test::TempDir dir;
    std::unique_ptr<InputPage> page;
    std::vector<std::pair<QString, QString>> boxes; // text, caption

    static void SetUpTestSuite()
    {
        if (formatRegistry().count() == 0) registerAllFormats();
    }
    void SetUp() override
    {
        QUILLON_REQUIRE_TOOL("convert");
        uiHooks() = {};
        uiHooks().msgBox = [this](QWidget*, const QString& text, const QString& caption, const std::vector<MsgButton>&,
                                  int32_t closeValue) {
            boxes.push_back({text, caption});
            return closeValue;
        };
        page = std::make_unique<InputPage>();
        page->resize(600, 400);
    }
    void TearDown() override { uiHooks() = {}; }

    fs::path bmp(const std::string& name, const std::string& size = "20x10")
    {
        fs::path p = dir / name;
        fs::create_directories(p.parent_path());
        EXPECT_EQ(test::run("convert -size " + size + " xc:teal BMP3:" + test::shellQuote(p.string())), 0);
        return p;
    }
    QStringList column(int c)
    {
        QStringList out;
        for (int r = 0; r < page->model()->rowCount(); ++r)
            out << page->model()->data(page->model()->index(r, c), Qt::DisplayRole).toString();
        return out;
    }
    void selectRows(std::initializer_list<int> rows)
    {
        page->view()->clearSelection();
        for (int r : rows)
            page->view()->selectionModel()->select(page->model()->index(r, 0),
                                                   QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
    QString countLabel() { return page->controls().get(410)->property("text").toString(); }
};

} // namespace

TEST_F(InputPageTest, AddFilesThroughTheDialogWithDuplicatesAndBadFiles)
{
    fs::path a = bmp("a.bmp", "30x20"), b = bmp("b.bmp", "10x10");
    test::writeFile(dir / "bad.bmp", std::string("not an image"));
    FileDialogRequest seen;
    uiHooks().fileDialog = [&](QWidget*, const FileDialogRequest& r) {
        seen = r;
        return FileDialogResult{true,
                                {QString::fromStdString(a.string()), QString::fromStdString(b.string()),
                                 QString::fromStdString((dir / "bad.bmp").string()),
                                 QString::fromStdString(a.string())},
                                0};
    };
    page->runCommand(CMD_ADD_FILES);
    EXPECT_EQ(seen.title, QStringLiteral("Add file - Quillon"));
    EXPECT_EQ(seen.okLabel, QStringLiteral("Add"));
    ASSERT_GE(seen.filters.size(), 3);
    // Every readable extension, whichever codecs there are.
    EXPECT_TRUE(seen.filters[0].startsWith("Supported file types (*."));
    EXPECT_TRUE(seen.filters[0].contains("*.bmp ")) << seen.filters[0].toStdString();
    EXPECT_EQ(seen.filters[1], QStringLiteral("All files (*)"));
    EXPECT_EQ(page->model()->rowCount(), 2);
    // New files appear at the top.
    EXPECT_EQ(column(0), (QStringList{"b.bmp", "a.bmp"}));
    EXPECT_EQ(column(1)[1], QString::fromUtf8("30 \u00b7 20"));
    ASSERT_EQ(boxes.size(), 1u); // the bad file; the duplicate is refused quietly
    EXPECT_EQ(boxes[0].first, QStringLiteral("This file could not be added:\n\nbad.bmp: Unknown file format"));
    EXPECT_EQ(boxes[0].second, QStringLiteral("Error - Quillon"));
    EXPECT_EQ(countLabel(), QStringLiteral("2 files"));
    selectRows({0});
    EXPECT_EQ(countLabel(), QStringLiteral("1 selected"));
}

TEST_F(InputPageTest, SortByColumnsRemoveWithDeleteAndClear)
{
    bmp("m.bmp", "50x50");
    bmp("z.bmp", "10x10");
    bmp("a.bmp", "30x30");
    for (const char* n : {"m.bmp", "z.bmp", "a.bmp"}) fileListAddFile(page->list(), dir / n, true, true);
    page->view()->header()->sectionClicked(0);
    EXPECT_EQ(column(0), (QStringList{"a.bmp", "m.bmp", "z.bmp"}));
    page->view()->header()->sectionClicked(0);
    EXPECT_EQ(column(0), (QStringList{"z.bmp", "m.bmp", "a.bmp"}));
    page->view()->header()->sectionClicked(1);
    EXPECT_EQ(column(0), (QStringList{"z.bmp", "a.bmp", "m.bmp"}));
    selectRows({1});
    page->view()->setFocus();
    QTest::keyClick(page->view(), Qt::Key_Delete);
    EXPECT_EQ(column(0), (QStringList{"z.bmp", "m.bmp"}));
    page->runCommand(CMD_CLEAR_ALL);
    EXPECT_EQ(page->model()->rowCount(), 0);
    EXPECT_EQ(countLabel(), QString());
}

TEST_F(InputPageTest, DroppedFolderIsScannedAndDroppedFilesAreChecked)
{
    bmp("drop/one.bmp");
    bmp("drop/sub/two.bmp");
    test::writeFile(dir / "drop" / "notes.txt", std::string("text"));
    test::writeFile(dir / "drop" / "sub" / "list.png", std::string("shopping list"));
    fs::path single = bmp("single.bmp");
    test::writeFile(dir / "broken.bmp", std::string("BM"));
    page->addDropped({QString::fromStdString((dir / "drop").string()), QString::fromStdString(single.string()),
                      QString::fromStdString((dir / "broken.bmp").string())});
    QStringList names = column(0);
    names.sort();
    EXPECT_EQ(names, (QStringList{"one.bmp", "single.bmp", "two.bmp"}));
    // One box for the drop: the folder's file that looks like a picture and
    // the file dropped by itself; notes.txt is nobody's picture.
    ASSERT_EQ(boxes.size(), 1u);
    const QStringList lines = boxes[0].first.split(u'\n');
    ASSERT_EQ(lines.size(), 4) << boxes[0].first.toStdString();
    EXPECT_EQ(lines[0], QStringLiteral("These 2 files could not be added:"));
    EXPECT_EQ(lines[2], QStringLiteral("list.png: Unknown file format"));
    EXPECT_TRUE(lines[3].startsWith("broken.bmp: ")) << lines[3].toStdString();
    EXPECT_EQ(page->notAdded().size(), 2u);
}

// Files of one addition that cannot be added are named in one box, each
// with its reason, however many there are; past ten the box says how many
// more, so that it stays on the screen. Drops are one addition too.
TEST_F(InputPageTest, FilesThatCannotBeAddedAreNamedInOneBox)
{
    QStringList chosen;
    QStringList expected;
    for (int i = 0; i < 20; ++i) {
        const std::string name = "gone" + std::to_string(10 + i) + ".jpg"; // chosen, then gone
        chosen << QString::fromStdString((dir / name).string());
        expected << QString::fromStdString(name + ": Couldn't open file");
    }
    for (int i = 0; i < 10; ++i) {
        const std::string name = "text" + std::to_string(10 + i) + ".png";
        test::writeFile(dir / name, std::string("no picture"));
        chosen << QString::fromStdString((dir / name).string());
        expected << QString::fromStdString(name + ": Unknown file format");
    }
    chosen.insert(5, QString::fromStdString(bmp("fine.bmp").string()));
    test::writeFile(dir / "empty.jpg", std::string());
    chosen << QString::fromStdString((dir / "empty.jpg").string());
    uiHooks().fileDialog = [&](QWidget*, const FileDialogRequest&) { return FileDialogResult{true, chosen, 0}; };
    page->runCommand(CMD_ADD_FILES);
    EXPECT_EQ(column(0), QStringList{"fine.bmp"});
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].second, QStringLiteral("Error - Quillon"));
    const QStringList lines = boxes[0].first.split(u'\n');
    ASSERT_EQ(lines.size(), 13) << boxes[0].first.toStdString();
    EXPECT_EQ(lines[0], QStringLiteral("These 31 files could not be added:"));
    EXPECT_EQ(lines[1], QString());
    EXPECT_EQ(lines.mid(2, 10), expected.mid(0, 10));
    EXPECT_EQ(lines[12], QStringLiteral("...and 21 more."));

    // A drop of three bad files and a good one: one box naming the three.
    boxes.clear();
    page->addDropped({chosen[0], QString::fromStdString(bmp("other.bmp").string()), chosen[25],
                      QString::fromStdString((dir / "empty.jpg").string())});
    ASSERT_EQ(boxes.size(), 1u);
    const QStringList dropped = boxes[0].first.split(u'\n');
    ASSERT_EQ(dropped.size(), 5) << boxes[0].first.toStdString();
    EXPECT_EQ(dropped[0], QStringLiteral("These 3 files could not be added:"));
    EXPECT_EQ(dropped[2], expected[0]);
    EXPECT_EQ(dropped[3], expected[24]);
    EXPECT_TRUE(dropped[4].startsWith("empty.jpg: ")) << dropped[4].toStdString();
    EXPECT_EQ(page->model()->rowCount(), 2);
}

TEST_F(InputPageTest, ContextMenuFollowsTheSelection)
{
    auto actions = [](QMenu* m) {
        QStringList texts;
        for (QAction* a : m->actions())
            if (!a->isSeparator()) texts << a->text();
        return texts;
    };
    std::unique_ptr<QMenu> empty = page->buildContextMenu();
    EXPECT_EQ(actions(empty.get()), (QStringList{"Add files...", "Add directory..."}));

    fileListAddFile(page->list(), bmp("a.bmp"), true, true);
    fileListAddFile(page->list(), bmp("b.bmp"), true, true);
    selectRows({0});
    page->runCommand(CMD_ROTATE_90_CW);
    selectRows({0, 1});
    std::unique_ptr<QMenu> menu = page->buildContextMenu();
    QStringList texts = actions(menu.get());
    EXPECT_TRUE(texts.contains("Remove files"));
    EXPECT_TRUE(texts.contains("Clear all"));
    EXPECT_FALSE(texts.contains("Clear 2nd alpha file"));
    QMenu* rotate = nullptr;
    for (QAction* a : menu->actions())
        if (a->menu()) rotate = a->menu();
    ASSERT_NE(rotate, nullptr);
    for (QAction* a : rotate->actions()) {
        EXPECT_FALSE(a->isChecked()) << a->text().toStdString();
        if (a->text() == "Mirror horizontally") {
            EXPECT_EQ(a->data().toInt(), int(CMD_MIRROR_HORIZONTAL_ON));
        }
    }
    selectRows({1});
    std::unique_ptr<QMenu> one = page->buildContextMenu();
    EXPECT_TRUE(actions(one.get()).contains("Remove file"));
    // Row 1 alone (not rotated): "Don't rotate" is checked.
    for (QAction* a : one->actions())
        if (a->menu())
            for (QAction* r : a->menu()->actions())
                if (r->data().toInt() == CMD_ROTATE_NONE) {
                    EXPECT_TRUE(r->isChecked());
                }
}

TEST_F(InputPageTest, AddDirectoryDialogChecksItsFolder)
{
    bmp("scan/x1.jpg.bmp");
    bmp("scan/keep.bmp");
    bmp("scan/deep/keep2.bmp");
    test::writeFile(dir / "scan" / "kbad.bmp", std::string("not a picture"));
    test::writeFile(dir / "scan" / "kempty.bmp", std::string());
    QString folder = QString::fromStdString((dir / "scan").string());
    int step = 0;
    std::function<void()> drive = [&] {
        auto* d = qobject_cast<AddDirectoryDialog*>(QApplication::activeModalWidget());
        if (!d) {
            QTimer::singleShot(10, drive);
            return;
        }
        if (step == 0) {
            d->folderEdit()->setText(QString());
            d->accept(); // refused: no folder
            d->folderEdit()->setText(folder + "/missing");
            d->accept(); // refused: does not exist
            d->folderEdit()->setText(folder);
            d->filterBox()->setChecked(true);
            d->filterEdit()->setText("k*.bmp");
            d->recurseBox()->setChecked(true);
            ++step;
            d->accept();
        }
    };
    QTimer::singleShot(0, drive);
    page->runCommand(CMD_ADD_DIRECTORY);
    ASSERT_EQ(boxes.size(), 3u);
    EXPECT_TRUE(boxes[0].first.startsWith("Please select a directory first!"));
    EXPECT_EQ(boxes[1].first, QStringLiteral("The directory doesn't exist!"));
    // The scan's files that the filter takes but that are no pictures are
    // named as "Add files..." names them.
    EXPECT_EQ(boxes[2].first, QStringLiteral("These 2 files could not be added:\n\nkbad.bmp: Unknown file format\n"
                                             "kempty.bmp: Couldn't open file"));
    EXPECT_EQ(boxes[2].second, QStringLiteral("Error - Quillon"));
    QStringList names = column(0);
    names.sort();
    EXPECT_EQ(names, (QStringList{"keep.bmp", "keep2.bmp"}));
    // Found again, they are still two inputs lost; one put right and found
    // again is an input like the others; a cleared list has lost none.
    step = 0;
    QTimer::singleShot(0, drive);
    page->runCommand(CMD_ADD_DIRECTORY);
    EXPECT_EQ(page->notAdded().size(), 2u);
    fs::copy_file(dir / "scan" / "keep.bmp", dir / "scan" / "kbad.bmp", fs::copy_options::overwrite_existing);
    step = 0;
    QTimer::singleShot(0, drive);
    page->runCommand(CMD_ADD_DIRECTORY);
    ASSERT_EQ(page->notAdded().size(), 1u);
    EXPECT_EQ(page->notAdded()[0].path, dir / "scan" / "kempty.bmp");
    page->runCommand(CMD_CLEAR_ALL);
    EXPECT_TRUE(page->notAdded().empty());
    // The folder is remembered as adding one of its files remembers it, with
    // one trailing '/', so the recent list holds it once.
    fileListAddFile(page->list(), dir / "scan" / "keep.bmp", false, true);
    std::vector<std::string> recent = jobSettings().recentFolders.entries();
    const std::string scan = (dir / "scan").string();
    EXPECT_EQ(std::count_if(recent.begin(), recent.end(),
                            [&](const std::string& e) { return e == scan || e == scan + "/"; }),
              1);
    ASSERT_FALSE(recent.empty());
    EXPECT_EQ(recent.front(), scan + "/");
}

TEST_F(InputPageTest, FileInfoTextsOfTheOpenDialog)
{
    fs::path a = bmp("info.bmp", "64x32");
    QString format, res;
    ASSERT_TRUE(imageFileInfoTexts(QString::fromStdString(a.string()), &format, &res));
    EXPECT_EQ(format, QStringLiteral("Windows bitmap format"));
    EXPECT_EQ(res, QStringLiteral("64 x 32 x 24"));
    EXPECT_FALSE(imageFileInfoTexts(QString::fromStdString(dir.path().string()), &format, &res));
}

TEST_F(InputPageTest, FormatsHelpPageComesFromTheRegistry)
{
    QString page = helpPagePath(9901);
    ASSERT_FALSE(page.isEmpty());
    QFile f(page);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    QString html = QString::fromUtf8(f.readAll());
    EXPECT_TRUE(html.contains("Windows bitmap format"));
    EXPECT_TRUE(html.contains("Google WebP file format"));
}

TEST_F(InputPageTest, ViewImageOpensOnlyFilesNamedAsImages)
{
    // A picture is listed by its content whatever its name, but the desktop
    // picks the program to open a file by its name: a listed "run.desktop"
    // or "run.sh" would be run, not shown.
    fs::path named = bmp("shown.bmp");
    fs::path upper = bmp("SHOWN2.BMP");
    fs::path script = bmp("run.sh");
    fs::path launcher = bmp("run.desktop");
    fs::path bare = bmp("noextension");
    for (const fs::path& p : {named, upper, script, launcher, bare}) fileListAddFile(page->list(), p, true, true);
    ASSERT_EQ(page->model()->rowCount(), 5) << "every picture is listed by its content";
    QStringList opened;
    uiHooks().shellOpen = [&](const QString& target) {
        opened << target;
        return true;
    };
    selectRows({0, 1, 2, 3, 4});
    page->runCommand(CMD_VIEW_IMAGE);
    opened.sort();
    EXPECT_EQ(opened.join(u'\n').toStdString(), upper.string() + "\n" + named.string());
}

TEST_F(InputPageTest, TextsOfThePage)
{
    const std::pair<int, const char*> texts[] = {
        {417, "Input files:"},    {400, " Add files..."}, {401, " Add dir..."},
        {402, " Remove"},         {403, " Clear all"},    {404, "   About"},
        {415, "You can also drag'n'drop files from the Windows Explorer."},
        {416, "Right click file for more commands.\nDouble click for file info & tools."},
    };
    for (const auto& [id, text] : texts) {
        QWidget* w = page->controls().get(id);
        ASSERT_NE(w, nullptr) << id;
        EXPECT_EQ(w->property("text").toString().toStdString(), text) << id;
    }
    QStringList titles;
    for (int c = 0; c < 5; ++c) titles << page->model()->headerData(c, Qt::Horizontal, Qt::DisplayRole).toString();
    EXPECT_EQ(titles.join(u'|').toStdString(), "File name|Resolution|Data|Size|File path");
}

TEST_F(InputPageTest, ResolutionAndSizeColumnsFitAPhotographsValues)
{
    page->addDropped({QString::fromStdString(bmp("photo.bmp").string())});
    ASSERT_EQ(page->list().rowCount(), 1u);
    FileEntry& e = page->list().row(0);
    e.width = 6000;
    e.height = 4000;
    e.fileSize = 4379012;
    EXPECT_EQ(column(1).value(0), QString::fromUtf8("6000 \u00B7 4000"));
    EXPECT_EQ(column(3).value(0), QStringLiteral("4 379 012"));
    QTreeView* view = page->view();
    const QFontMetrics fm(view->font());
    QStyleOptionViewItem cell;
    cell.initFrom(view);
    for (int c : {1, 3}) {
        const QString shown = column(c).value(0);
        // The text itself, and the text with the margins the view's cells add.
        EXPECT_GT(view->columnWidth(c), fm.horizontalAdvance(shown)) << c;
        EXPECT_GE(view->columnWidth(c), view->itemDelegate()->sizeHint(cell, page->model()->index(0, c)).width()) << c;
        EXPECT_GE(view->columnWidth(c), view->header()->sectionSizeHint(c)) << c;
    }
}

TEST_F(InputPageTest, FilesFromTheCommandLineKeepTheWindowAlive)
{
    for (const char* name : {"c1.bmp", "c2.bmp", "c3.bmp"}) page->arguments.push_back(bmp(name).string());
    // Posted before the hand-off: it runs only if events are pumped while
    // the list fills.
    int rowsWhenPumped = -1;
    bool waitCursor = false;
    QTimer::singleShot(0, page.get(), [&] {
        rowsWhenPumped = page->model()->rowCount();
        waitCursor = QApplication::overrideCursor() && QApplication::overrideCursor()->shape() == Qt::WaitCursor;
    });
    page->parseCommandLine();
    EXPECT_EQ(page->model()->rowCount(), 3);
    EXPECT_GE(rowsWhenPumped, 1);
    EXPECT_LT(rowsWhenPumped, 3);
    EXPECT_TRUE(waitCursor);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

TEST_F(InputPageTest, SelectionSurvivesRotationSortingAndAlphaFiles)
{
    // As in the platform's list, commands and sorting change rows, not which
    // files are selected: a second command reaches the same files.
    fileListAddFile(page->list(), bmp("b.bmp"), true, true);
    fileListAddFile(page->list(), bmp("c.bmp"), true, true);
    fileListAddFile(page->list(), bmp("a.bmp"), true, true);
    ASSERT_EQ(column(0), (QStringList{"a.bmp", "c.bmp", "b.bmp"}));
    auto selectedNames = [&] {
        QStringList names;
        for (const QModelIndex& i : page->view()->selectionModel()->selectedRows())
            names << QString::fromStdString(page->list().row(size_t(i.row())).path.filename().string());
        names.sort();
        return names.join(u' ').toStdString();
    };
    selectRows({0, 2});
    page->runCommand(CMD_ROTATE_90_CW);
    EXPECT_EQ(selectedNames(), "a.bmp b.bmp");
    EXPECT_EQ(countLabel(), QStringLiteral("2 selected"));
    page->view()->header()->sectionClicked(0);
    ASSERT_EQ(column(0), (QStringList{"a.bmp", "b.bmp", "c.bmp"}));
    EXPECT_EQ(selectedNames(), "a.bmp b.bmp");
    page->runCommand(CMD_MIRROR_HORIZONTAL_ON);
    for (size_t r = 0; r < page->list().rowCount(); ++r) {
        const FileEntry& e = page->list().row(r);
        int expected = e.path.filename() == "c.bmp" ? 0 : (3 | ORIENT_MIRROR_H);
        EXPECT_EQ(e.orientation(), expected) << e.path;
    }
    uiHooks().fileDialog = [&](QWidget*, const FileDialogRequest&) {
        return FileDialogResult{true, {QString::fromStdString(bmp("alpha.bmp").string())}, 0};
    };
    page->runCommand(CMD_ADD_ALPHA_FILE);
    EXPECT_EQ(selectedNames(), "a.bmp b.bmp");
    page->runCommand(CMD_CLEAR_ALPHA_FILE);
    EXPECT_EQ(selectedNames(), "a.bmp b.bmp");
    // Removing and clearing leave nothing selected.
    page->runCommand(CMD_REMOVE_FILES);
    EXPECT_EQ(column(0), (QStringList{"c.bmp"}));
    EXPECT_EQ(selectedNames(), "");
}

TEST_F(InputPageTest, AFolderDroppedOnTheListIsScanned)
{
    bmp("dropped/one.bmp");
    bmp("dropped/deeper/two.bmp");
    page->show();
    // The window system gives a drop to the widget under the cursor or its
    // nearest parent that takes drops: the list must not swallow it.
    QWidget* target = page->view()->viewport();
    while (target && !target->acceptDrops() && !target->isWindow()) target = target->parentWidget();
    ASSERT_EQ(target, page.get());
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(QString::fromStdString((dir / "dropped").string())),
                  QUrl(QStringLiteral("https://example.com/remote.bmp"))});
    QPoint at = page->view()->viewport()->mapTo(page.get(), QPoint(20, 20));
    QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    EXPECT_TRUE(enter.isAccepted());
    QDropEvent drop(QPointF(at), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &drop);
    UI_WAIT_EQ(page->model()->rowCount(), 2, 3000);
    QStringList names = column(0);
    names.sort();
    EXPECT_EQ(names, (QStringList{"one.bmp", "two.bmp"}));
    EXPECT_TRUE(boxes.empty());
}

TEST_F(InputPageTest, AScanOfManyFilesReachesTheViewInBatches)
{
    fs::path first = bmp("many/f0000.bmp");
    const int kFiles = 3000;
    char name[32];
    for (int i = 1; i < kFiles; ++i) {
        std::snprintf(name, sizeof name, "f%04d.bmp", i);
        fs::copy_file(first, dir / "many" / name);
    }
    page->show();
    int insertions = 0;
    QObject::connect(page->model(), &QAbstractItemModel::rowsInserted, page.get(), [&] { ++insertions; });
    fileListAddDirectory(page->list(), dir / "many", nullptr);
    ASSERT_EQ(page->model()->rowCount(), kFiles);
    // Told of the rows a batch at a time, not one by one.
    EXPECT_LT(insertions, kFiles / 10);
    // Newest first, every file once.
    QStringList names = column(0);
    EXPECT_EQ(names.front(), QStringLiteral("f2999.bmp"));
    EXPECT_EQ(names.back(), QStringLiteral("f0000.bmp"));
    names.removeDuplicates();
    EXPECT_EQ(names.size(), kFiles);
    // The selection names the files it shows.
    selectRows({0, 2});
    std::vector<size_t> rows = page->selectedRows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(page->list().row(rows[1]).path.filename(), fs::path("f2997.bmp"));
    EXPECT_EQ(countLabel(), QStringLiteral("2 selected"));
}

TEST_F(InputPageTest, EscapeStopsAScanAndKeepsWhatItFound)
{
    fs::path first = bmp("many/f0000.bmp");
    for (int i = 1; i < 400; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "f%04d.bmp", i);
        fs::copy_file(first, dir / "many" / name);
    }
    page->show();
    // Pressed while the scan runs: the window takes it at its first pause.
    QCoreApplication::postEvent(page->view(), new QKeyEvent(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier));
    QCoreApplication::postEvent(page->view(), new QKeyEvent(QEvent::KeyRelease, Qt::Key_Escape, Qt::NoModifier));
    page->arguments = {(dir / "many").string()};
    page->parseCommandLine();
    const int shown = page->model()->rowCount();
    EXPECT_GE(shown, 1);
    EXPECT_LT(shown, 400);
    EXPECT_EQ(size_t(shown), page->list().rowCount());
    // The next scan starts afresh.
    fileListAddDirectory(page->list(), dir / "many", nullptr);
    EXPECT_EQ(page->model()->rowCount(), 400);
}

// Names from systems that do not write UTF-8 come in by their bytes: from a
// drop (whose addresses encode the bytes), from the add-directory dialog's
// folder and on to the desktop's viewer. Qt's own decoding of such names
// would turn each byte into U+FFFD and name no file.
TEST_F(InputPageTest, NamesThatAreNotUtf8KeepTheirBytes)
{
    const fs::path latin = bmp("caf\xE9.bmp");
    const fs::path inFolder = bmp("\xE9t\xE9/\x93q\x94.bmp");
    page->show();
    QMimeData data;
    const QByteArray base = QByteArray("file://") + QByteArray::fromStdString(dir.path().string());
    data.setUrls({QUrl::fromEncoded(base + "/caf%E9.bmp"), QUrl::fromEncoded(base + "/%E9t%E9")});
    QPoint at = page->view()->viewport()->mapTo(page.get(), QPoint(20, 20));
    QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(page.get(), &enter);
    QDropEvent drop(QPointF(at), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(page.get(), &drop);
    for (int i = 0; i < 300 && page->model()->rowCount() < 2; ++i) QTest::qWait(10);
    ASSERT_EQ(page->model()->rowCount(), 2);
    EXPECT_TRUE(boxes.empty()) << boxes[0].first.toStdString();
    std::set<std::string> paths;
    for (size_t r = 0; r < page->list().rowCount(); ++r) paths.insert(page->list().row(r).path.native());
    EXPECT_EQ(paths, (std::set<std::string>{latin.native(), inFolder.native()}));

    QStringList opened;
    uiHooks().shellOpen = [&](const QString& target) {
        opened << target;
        return true;
    };
    selectRows({0, 1});
    page->runCommand(CMD_VIEW_IMAGE);
    std::set<std::string> shown;
    for (const QString& t : opened) shown.insert(qStringToPath(t).native());
    EXPECT_EQ(shown, paths);
    // The address the desktop would get names the bytes.
    EXPECT_EQ(fileUrl(latin).toEncoded(), base + "/caf%E9.bmp");
    EXPECT_EQ(localFileOf(fileUrl(inFolder)), inFolder);

    // The dialog's folder, shown and taken back, is the same folder, and it
    // exists.
    AddDirectoryParams params;
    params.folder = inFolder.parent_path();
    AddDirectoryDialog dialog(page.get(), params);
    EXPECT_EQ(dialog.params().folder, params.folder);
    dialog.accept();
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_TRUE(boxes.empty());
}
