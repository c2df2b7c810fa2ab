#pragma once
// The first wizard page: the input list with its buttons, context menu,
// keyboard, drag and drop and the command-line hand-off.
#include <QAbstractTableModel>

#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "app/input_list.h"
#include "app/rename.h"
#include "ui/wizard.h"

class QLabel;
class QMenu;
class QTreeView;

namespace quillon::ui {

// The list's rows in display order, newest first, for the view.
class InputListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    explicit InputListModel(InputList& list, QObject* parent = nullptr) : QAbstractTableModel(parent), list_(list) {}
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    // The list has `count` more rows at its top than the view was told of.
    void rowsInsertedAtTop(size_t count);
    void reset();
    // The list row shown at a view row: rows added to the list but not yet
    // announced sit above the shown ones.
    size_t listRow(int viewRow) const { return size_t(viewRow) + (list_.rowCount() - shown_); }

private:
    InputList& list_;
    size_t shown_ = 0;
};

// Commands shared by the buttons and the context menu.
enum InputCommand : int {
    CMD_ADD_FILES = 400,
    CMD_ADD_DIRECTORY = 401,
    CMD_REMOVE_FILES = 402,
    CMD_CLEAR_ALL = 403,
    CMD_ABOUT = 404,
    CMD_VIEW_IMAGE = 405,
    CMD_ADD_ALPHA_FILE = 411,
    CMD_CLEAR_ALPHA_FILE = 412,
    CMD_FILE_INFO = 414,
    CMD_ROTATE_NONE = 420,
    CMD_ROTATE_90_CCW = 421,
    CMD_ROTATE_180 = 422,
    CMD_ROTATE_90_CW = 423,
    CMD_MIRROR_VERTICAL_ON = 424,
    CMD_MIRROR_VERTICAL_OFF = 425,
    CMD_MIRROR_HORIZONTAL_ON = 426,
    CMD_MIRROR_HORIZONTAL_OFF = 427,
    CMD_OVERRIDE_NAME = 428,
    CMD_VIEW_METADATA = 429,
    CMD_PATTERN_RENAME = 430,
};

class InputPage final : public WizardPage, public InputListHooks {
    Q_OBJECT
public:
    explicit InputPage(QWidget* parent = nullptr);
    ~InputPage() override;

    InputList& list() { return *list_; }
    QTreeView* view() const { return view_; }
    InputListModel* model() const { return model_; }
    // The display rows selected in the view, in ascending order.
    std::vector<size_t> selectedRows() const;
    // The arguments the program was started with (without the program).
    std::vector<std::string> arguments;
    // Set when an argument named a missing file, folder or preset, or a file
    // that is no readable image.
    bool argumentsFailed = false;
    // The inputs of the list as it now is that could not be added (named on
    // the command line, chosen, dropped or found in a folder), each once,
    // with why. A run counts them as failed and its log names them, as a
    // silent run of the same inputs does; they go with the list.
    const std::vector<FileNotAdded>& notAdded() const { return notAdded_; }
    // The rename dialog's last values; they last as long as the wizard.
    RenamePatternParams renameParams;

    // The context menu for the current selection (not shown).
    std::unique_ptr<QMenu> buildContextMenu();
    // Runs one command of the buttons or the menu.
    void runCommand(int id);
    // Empties the list, and with it what could not be added to it.
    void clearAll();
    // Adds dropped paths: folders are scanned, files added, and those that
    // could not be added named in one box.
    void addDropped(const QStringList& paths);

    // WizardPage
    void onCommand(int id) override { runCommand(id); }
    void onActivated() override;
    int onNext() override { return PAGE_OUTPUT_OPTIONS; }
    void parseCommandLine() override;

    // InputListHooks
    void showError(std::u16string_view text, std::u16string_view caption) override;
    void busy(bool on) override;
    void rowInserted(FileEntry& entry) override;
    void rowsChanged() override;
    bool scanStopped() override { return stopScan_; }

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void updateCount();
    // Keeps the files of one addition that could not be added and, with
    // `box`, names them in one box.
    void noteNotAdded(const std::vector<FileNotAdded>& files, bool box = true);
    // Announces the rows added since the last time, in one insertion.
    void flushRows();
    // Lets the window repaint during a scan; only Escape gets through.
    void pumpDuringScan();

    std::unique_ptr<InputList> list_;
    InputListModel* model_;
    QTreeView* view_;
    QLabel* count_;
    int busyDepth_ = 0;
    // The entry each display row showed when the view last learnt of it, so
    // that a selection can follow its files when rows are reordered.
    std::vector<const FileEntry*> shown_;
    // Rows added during a scan and not yet shown, oldest first.
    std::vector<const FileEntry*> pending_;
    qint64 lastFlushMs_ = 0;
    // Escape pressed during a scan.
    bool stopScan_ = false;
    std::vector<FileNotAdded> notAdded_;
    // Their full names, by which a file added again is known: looked up for
    // every row a scan adds.
    std::unordered_set<std::string> notAddedNames_;
};

} // namespace quillon::ui
