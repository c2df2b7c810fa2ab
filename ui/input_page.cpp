#include "ui/input_page.h"

#include <algorithm>
#include <cstdio>

#include <QApplication>
#include <QDateTime>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QGridLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMimeData>
#include <QPainter>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionViewItem>
#include <QTimer>
#include <QTreeView>
#include <QUrl>
#include <QVBoxLayout>

#include "app/command_line.h"
#include "app/job_settings.h"
#include "app/presets.h"
#include "core/format.h"
#include "core/text.h"
#include "ui/about_dialog.h"
#include "ui/add_directory_dialog.h"
#include "ui/file_sheet.h"
#include "ui/image_open_dialog.h"
#include "ui/msgbox.h"
#include "ui/rename_dialog.h"
#include "ui/ui_kit.h"

namespace quillon::ui {

namespace {

QString qs(std::u16string_view t) { return QString::fromUtf16(t.data(), qsizetype(t.size())); }

// Row icons by kind (0 colour, 1 palette, 2 grey), with the alpha overlay.
QIcon kindIcon(int kind, bool alpha)
{
    static QIcon cache[3][2];
    QIcon& icon = cache[kind % 3][alpha ? 1 : 0];
    if (!icon.isNull()) return icon;
    for (int size : {16, 20, 24, 32, 48}) {
        QPixmap pm(size, size);
        pm.fill(Qt::transparent);
        QPainter p(&pm);
        p.setRenderHint(QPainter::Antialiasing);
        QRectF r(size * 0.1, size * 0.15, size * 0.8, size * 0.7);
        QLinearGradient g(r.topLeft(), r.bottomRight());
        if (kind == 2) {
            g.setColorAt(0, QColor(30, 30, 30));
            g.setColorAt(1, QColor(230, 230, 230));
        } else if (kind == 1) {
            g.setColorAt(0, QColor(200, 40, 40));
            g.setColorAt(0.5, QColor(40, 160, 40));
            g.setColorAt(1, QColor(40, 40, 200));
        } else {
            g.setColorAt(0, QColor(0, 120, 220));
            g.setColorAt(1, QColor(255, 200, 80));
        }
        p.setPen(QPen(QColor(60, 60, 60), 1));
        p.setBrush(g);
        p.drawRect(r);
        if (alpha) {
            // The overlay: a checkered corner, as transparency is usually shown.
            qreal c = size * 0.4;
            QRectF o(size - c, size - c, c, c);
            p.fillRect(o, Qt::white);
            p.fillRect(QRectF(o.x(), o.y(), c / 2, c / 2), Qt::gray);
            p.fillRect(QRectF(o.x() + c / 2, o.y() + c / 2, c / 2, c / 2), Qt::gray);
        }
        icon.addPixmap(pm);
    }
    return icon;
}

// Whether the file's name ends in the extension of a known image format.
// Rows are listed by their content, but the desktop chooses what to do with
// a file by its name, so "View image" hands over only files named as images.
bool namedAsImage(const std::filesystem::path& path)
{
    std::u16string name = pathToU16(path.filename());
    size_t dot = name.rfind(u'.');
    if (dot == std::u16string::npos || dot + 1 == name.size()) return false;
    std::u16string ext = name.substr(dot + 1);
    for (char16_t& c : ext) c = asciiLower(c);
    const FormatRegistry& reg = formatRegistry();
    for (int32_t i = 0; i < reg.count(); ++i)
        if (const char16_t* e = reg.at(i)->extension; e && ext == e) return true;
    return false;
}

// The width a cell of the view needs for `text`, margins included, as its
// delegate measures it.
int cellWidth(QTreeView* view, const QString& text)
{
    QStyleOptionViewItem cell;
    cell.initFrom(view);
    cell.text = text;
    cell.features = QStyleOptionViewItem::HasDisplay;
    cell.font = view->font();
    return view->style()->sizeFromContents(QStyle::CT_ItemViewItem, &cell, QSize(), view).width();
}

// Adds one file the user chose; one that cannot be added is noted with
// why, for the one box that follows the whole addition.
void addChosen(InputList& list, const std::filesystem::path& path, std::vector<FileNotAdded>& notAdded)
{
    const ResultCode rc = fileListAddFile(list, path, false, true);
    if (failed(rc)) notAdded.push_back({path, rc});
}

// An input by its full name, however it was given: a file named twice, or
// named relatively first, is one input.
std::string inputName(const std::filesystem::path& path)
{
    std::error_code ec;
    std::filesystem::path full = std::filesystem::absolute(path, ec);
    return (ec ? path : full).lexically_normal().native();
}

const FileCompare kColumnCompare[5] = {fileListCompareName, fileListCompareResolution, fileListCompareBits,
                                       fileListCompareSize, fileListCompareFolder};

} // namespace

// ---- model ----

int InputListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(std::min(shown_, list_.rowCount()));
}

int InputListModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : 5; }

QVariant InputListModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() < 0 || size_t(index.row()) >= shown_ || shown_ > list_.rowCount()) return {};
    const FileEntry& e = list_.row(listRow(index.row()));
    if (role == Qt::DisplayRole) return qs(fileListColumnText(e, index.column()));
    if (role == Qt::DecorationRole && index.column() == 0)
        return kindIcon(e.kind, e.hasAlpha || !e.alphaFilePath.empty());
    if (role == Qt::TextAlignmentRole) {
        if (index.column() == 1 || index.column() == 2) return int(Qt::AlignCenter);
        if (index.column() == 3) return int(Qt::AlignRight | Qt::AlignVCenter);
    }
    return {};
}

QVariant InputListModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    static const char* const titles[5] = {"File name", "Resolution", "Data", "Size", "File path"};
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 && section < 5)
        return QString::fromLatin1(titles[section]);
    return {};
}

void InputListModel::rowsInsertedAtTop(size_t count)
{
    if (count == 0) return;
    beginInsertRows({}, 0, int(count) - 1);
    shown_ += count;
    endInsertRows();
}

void InputListModel::reset()
{
    beginResetModel();
    shown_ = list_.rowCount();
    endResetModel();
}

// ---- page ----

InputPage::InputPage(QWidget* parent) : WizardPage(PAGE_INPUT_FILES, parent)
{
    list_ = std::make_unique<InputList>(this);
    model_ = new InputListModel(*list_, this);
    setAcceptDrops(true);

    auto* title = new QLabel(QStringLiteral("Input files:"), this);
    setTitleStyle(title);
    controls().add(417, title);
    count_ = new QLabel(this);
    count_->setMinimumWidth(120);
    count_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    setHintStyle(count_);
    controls().add(410, count_);

    view_ = new QTreeView(this);
    view_->setModel(model_);
    view_->setRootIsDecorated(false);
    view_->setUniformRowHeights(true);
    view_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    view_->setSelectionBehavior(QAbstractItemView::SelectRows);
    view_->setContextMenuPolicy(Qt::CustomContextMenu);
    view_->setAccessibleName(QStringLiteral("File list"));
    view_->header()->setSectionsClickable(true);
    view_->header()->setSortIndicatorShown(false);
    const int widths[5] = {152, 72, 36, 66, 204};
    for (int i = 0; i < 5; ++i) view_->header()->resizeSection(i, widths[i]);
    // Those widths suit a small font; the two number columns hold at least
    // a large photograph's values (sides of five digits, a file under
    // 100 MB) and their titles in the font the list really has.
    FileEntry large;
    large.width = large.height = 10000;
    large.fileSize = 99999999;
    for (int c : {1, 3}) {
        const int text = cellWidth(view_, qs(fileListColumnText(large, c)));
        view_->header()->resizeSection(c, std::max({widths[c], text, view_->header()->sectionSizeHint(c)}));
    }
    view_->installEventFilter(this);
    view_->setAcceptDrops(false);
    controls().add(409, view_);

    auto* buttons = new QVBoxLayout;
    const struct {
        int id;
        const char* text;
    } kButtons[] = {{CMD_ADD_FILES, " Add files..."}, {CMD_ADD_DIRECTORY, " Add dir..."}, {CMD_REMOVE_FILES, " Remove"},
                    {CMD_CLEAR_ALL, " Clear all"},    {CMD_ABOUT, "   About"}};
    for (const auto& b : kButtons) {
        auto* button = new QPushButton(QString::fromLatin1(b.text), this);
        button->setAutoDefault(false);
        addControl(b.id, button);
        buttons->addWidget(button);
    }
    buttons->addStretch(1);

    auto* hint1 = new QLabel(QStringLiteral("You can also drag'n'drop files from the Windows Explorer."), this);
    // A label shows "&" as it is (it has no buddy to give a mnemonic to).
    auto* hint2 = new QLabel(
        QStringLiteral("Right click file for more commands.\nDouble click for file info & tools."), this);
    setHintStyle(hint1);
    setHintStyle(hint2);
    controls().add(415, hint1);
    controls().add(416, hint2);

    auto* grid = new QGridLayout(this);
    auto* top = new QHBoxLayout;
    top->addWidget(title);
    top->addStretch(1);
    top->addWidget(count_);
    grid->addLayout(top, 0, 0);
    grid->addWidget(view_, 1, 0);
    grid->addLayout(buttons, 1, 1);
    grid->addWidget(hint1, 2, 0, 1, 2);
    grid->addWidget(hint2, 3, 0, 1, 2);
    grid->setColumnStretch(0, 1);
    grid->setRowStretch(1, 1);

    connect(view_->header(), &QHeaderView::sectionClicked, this, [this](int column) {
        if (column >= 0 && column < 5) fileListSort(*list_, kColumnCompare[column]);
    });
    connect(view_->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] { updateCount(); });
    connect(view_, &QTreeView::doubleClicked, this, [this](const QModelIndex& index) {
        if (index.isValid()) runCommand(CMD_FILE_INFO);
    });
    connect(view_, &QTreeView::customContextMenuRequested, this, [this](const QPoint& at) {
        std::unique_ptr<QMenu> menu = buildContextMenu();
        QAction* chosen = menu->exec(view_->viewport()->mapToGlobal(at));
        if (chosen && chosen->data().isValid()) runCommand(chosen->data().toInt());
    });
    updateCount();
}

InputPage::~InputPage()
{
    // The view may still ask for rows while the page goes; it has none once
    // the list is gone. The list calls back into the page while it is freed.
    view_->setModel(nullptr);
    list_.reset();
}

std::vector<size_t> InputPage::selectedRows() const
{
    std::vector<size_t> rows;
    for (const QModelIndex& i : view_->selectionModel()->selectedRows()) rows.push_back(model_->listRow(i.row()));
    std::sort(rows.begin(), rows.end());
    return rows;
}

void InputPage::updateCount() { count_->setText(qs(list_->countText(selectedRows().size()))); }

void InputPage::onActivated()
{
    if (frame()) frame()->setNextText(QStringLiteral("Next >"));
}

std::unique_ptr<QMenu> InputPage::buildContextMenu()
{
    auto menu = std::make_unique<QMenu>(this);
    auto add = [&](QMenu* m, const QString& text, int id) {
        QAction* a = m->addAction(text);
        a->setData(id);
        return a;
    };
    const std::vector<size_t> rows = selectedRows();
    const bool selected = !rows.empty();
    if (selected) {
        QAction* info = add(menu.get(), QStringLiteral("File info && tools..."), CMD_FILE_INFO);
        menu->setDefaultAction(info);
        add(menu.get(), QStringLiteral("View image"), CMD_VIEW_IMAGE);
        add(menu.get(), rows.size() == 1 ? QStringLiteral("Remove file") : QStringLiteral("Remove files"),
            CMD_REMOVE_FILES);
        menu->addSeparator();
    }
    add(menu.get(), QStringLiteral("Add files..."), CMD_ADD_FILES);
    add(menu.get(), QStringLiteral("Add directory..."), CMD_ADD_DIRECTORY);
    if (list_->rowCount() > 0) add(menu.get(), QStringLiteral("Clear all"), CMD_CLEAR_ALL);
    if (selected) {
        menu->addSeparator();
        add(menu.get(), QStringLiteral("Override file name..."), CMD_OVERRIDE_NAME);
        add(menu.get(), QStringLiteral("Add alpha from 2nd file..."), CMD_ADD_ALPHA_FILE);
        bool anyAlpha = false;
        int common = -1;
        bool same = true;
        for (size_t r : rows) {
            const FileEntry& e = list_->row(r);
            anyAlpha |= !e.alphaFilePath.empty();
            int o = e.orientation();
            if (common == -1) common = o;
            else if (common != o) same = false;
        }
        if (anyAlpha) add(menu.get(), QStringLiteral("Clear 2nd alpha file"), CMD_CLEAR_ALPHA_FILE);
        add(menu.get(), QStringLiteral("View meta data..."), CMD_VIEW_METADATA);
        QMenu* rotate = menu->addMenu(QStringLiteral("Rotate image"));
        const char* const names[4] = {"Don't rotate", "Rotate 90\u00B0 ccw", "Rotate 180\u00B0", "Rotate 90\u00B0 cw"};
        for (int i = 0; i < 4; ++i) {
            QAction* a = add(rotate, QString::fromUtf8(names[i]), CMD_ROTATE_NONE + i);
            a->setCheckable(true);
            a->setChecked(same && (common & 3) == i);
        }
        rotate->addSeparator();
        bool h = same && (common & ORIENT_MIRROR_H);
        bool v = same && (common & ORIENT_MIRROR_V);
        QAction* mh = add(rotate, QStringLiteral("Mirror horizontally"),
                          h ? CMD_MIRROR_HORIZONTAL_OFF : CMD_MIRROR_HORIZONTAL_ON);
        mh->setCheckable(true);
        mh->setChecked(h);
        QAction* mv = add(rotate, QStringLiteral("Mirror vertically"), v ? CMD_MIRROR_VERTICAL_OFF : CMD_MIRROR_VERTICAL_ON);
        mv->setCheckable(true);
        mv->setChecked(v);
    }
    if (list_->rowCount() > 0) {
        menu->addSeparator();
        add(menu.get(), QStringLiteral("Pattern rename files"), CMD_PATTERN_RENAME);
    }
    return menu;
}

void InputPage::runCommand(int id)
{
    std::vector<size_t> rows = selectedRows();
    switch (id) {
    case CMD_ADD_FILES: {
        QStringList paths = openDlgRun(frame() ? static_cast<QWidget*>(frame()) : this,
                                       QStringLiteral("Add file - Quillon"), QString(), true);
        std::vector<FileNotAdded> notAdded;
        busy(true);
        for (const QString& p : paths) {
            if (stopScan_) break;
            addChosen(*list_, qStringToPath(p), notAdded);
        }
        busy(false);
        noteNotAdded(notAdded);
        break;
    }
    case CMD_ADD_DIRECTORY: {
        static AddDirectoryParams params = [] {
            AddDirectoryParams p;
            std::vector<std::string> recent = jobSettings().recentFolders.entries();
            if (!recent.empty()) p.folder = recent.front();
            p.filter = u"*.jpg";
            return p;
        }();
        if (!addDirectoryDialogRun(this, params)) break;
        std::vector<FileNotAdded> notAdded;
        addDirectoryAccepted(*list_, params, &notAdded);
        noteNotAdded(notAdded);
        break;
    }
    case CMD_REMOVE_FILES:
        fileListRemoveSelected(*list_, rows);
        break;
    case CMD_CLEAR_ALL:
        clearAll();
        break;
    case CMD_VIEW_IMAGE:
        for (size_t r : rows)
            if (namedAsImage(list_->row(r).path)) shellOpen(pathToQString(list_->row(r).path));
        break;
    case CMD_ADD_ALPHA_FILE: {
        if (rows.empty()) break;
        QStringList chosen = openDlgRun(this, QStringLiteral("Add alpha plane file - Quillon"),
                                        pathToQString(list_->row(rows.front()).path), false);
        if (!chosen.isEmpty()) fileListSetAlphaPlane(*list_, rows, qStringToPath(chosen.front()));
        break;
    }
    case CMD_CLEAR_ALPHA_FILE:
        list_->clearAlphaPlane(rows);
        break;
    case CMD_FILE_INFO:
    case CMD_OVERRIDE_NAME:
    case CMD_VIEW_METADATA: {
        auto first = std::find_if(rows.begin(), rows.end(), [this](size_t r) { return list_->row(r).used(); });
        if (first == rows.end()) break;
        const size_t row = *first;
        FileEntry& entry = list_->row(row);
        const int start = id == CMD_FILE_INFO ? SHEET_LAST : id == CMD_OVERRIDE_NAME ? SHEET_FILE_INFO : SHEET_METADATA;
        if (fileInfoSheetShow(frame() ? static_cast<QWidget*>(frame()) : this, entry, start)) rowsChanged();
        break;
    }
    case CMD_ROTATE_NONE:
    case CMD_ROTATE_90_CCW:
    case CMD_ROTATE_180:
    case CMD_ROTATE_90_CW:
        fileListSetOrientation(*list_, rows, 3, uint8_t(id - CMD_ROTATE_NONE));
        break;
    case CMD_MIRROR_VERTICAL_ON:
    case CMD_MIRROR_VERTICAL_OFF:
        fileListSetOrientation(*list_, rows, ORIENT_MIRROR_V, id == CMD_MIRROR_VERTICAL_ON ? ORIENT_MIRROR_V : 0);
        break;
    case CMD_MIRROR_HORIZONTAL_ON:
    case CMD_MIRROR_HORIZONTAL_OFF:
        fileListSetOrientation(*list_, rows, ORIENT_MIRROR_H, id == CMD_MIRROR_HORIZONTAL_ON ? ORIENT_MIRROR_H : 0);
        break;
    case CMD_ABOUT:
        aboutDialogRun(frame() ? static_cast<QWidget*>(frame()) : this);
        break;
    case CMD_PATTERN_RENAME:
        if (renameDialogRun(frame() ? static_cast<QWidget*>(frame()) : this, renameParams))
            renameListRows(renameParams, *list_, rows);
        break;
    default:
        break;
    }
    view_->viewport()->update();
    updateCount();
}

void InputPage::addDropped(const QStringList& paths)
{
    std::vector<FileNotAdded> notAdded;
    busy(true);
    for (const QString& p : paths) {
        if (stopScan_) break;
        std::filesystem::path path = qStringToPath(p);
        std::error_code ec;
        if (std::filesystem::is_directory(path, ec)) list_->addDirectory(path, nullptr, &notAdded);
        else addChosen(*list_, path, notAdded);
    }
    busy(false);
    noteNotAdded(notAdded);
}

void InputPage::clearAll()
{
    fileListClearAll(*list_);
    notAdded_.clear();
    notAddedNames_.clear();
}

void InputPage::noteNotAdded(const std::vector<FileNotAdded>& files, bool box)
{
    for (const FileNotAdded& f : files) {
        std::string name = inputName(f.path);
        if (notAddedNames_.insert(name).second) {
            notAdded_.push_back(f);
            continue;
        }
        // Named again: the newer reason stands.
        for (FileNotAdded& old : notAdded_)
            if (inputName(old.path) == name) old = f;
    }
    // One box for the whole addition, naming each file: a box per file
    // would leave the user to click through them without learning which.
    if (box && !files.empty()) showError(notAddedText(files), u"Error - Quillon");
}

void InputPage::parseCommandLine()
{
    InputListCommandTarget target(*list_);
    // A long command line (a shell's wildcard) fills the list like a scan.
    busy(true);
    bool silent = commandLineHandle(arguments, target);
    busy(false);
    // Named inputs that added nothing make the run a failure, whatever the
    // batch does with the rest; the caller learns which and why.
    for (const std::string& line : target.failures) std::fprintf(stderr, "Quillon: %s\n", line.c_str());
    if (!target.failures.empty()) argumentsFailed = true;
    // The wizard's user is told as the user of "Add files..." is; a silent
    // run has nobody to answer a box.
    noteNotAdded(target.notAdded, !silent && !jobSettings().silentMode);
    if (silent && frame()) {
        frame()->silent = true;
        frame()->showMinimized();
        frame()->pressNextLater();
    }
}

void InputPage::showError(std::u16string_view text, std::u16string_view caption)
{
    msgBox(frame() ? static_cast<QWidget*>(frame()) : this, qs(text), qs(caption), MB_OK | MB_ICONEXCLAMATION);
}

void InputPage::busy(bool on)
{
    if (on) {
        if (busyDepth_++ == 0) {
            stopScan_ = false;
            QApplication::setOverrideCursor(Qt::WaitCursor);
            // The first row shows at once, so the window answers from the start.
            lastFlushMs_ = 0;
        }
    } else if (busyDepth_ > 0 && --busyDepth_ == 0) {
        flushRows();
        QApplication::restoreOverrideCursor();
    }
}

void InputPage::rowInserted(FileEntry& entry)
{
    // A file that could not be added before (since put right) is an input
    // like the others now.
    if (!notAddedNames_.empty()) {
        const std::string name = inputName(entry.path);
        if (notAddedNames_.erase(name))
            std::erase_if(notAdded_, [&](const FileNotAdded& f) { return inputName(f.path) == name; });
    }
    pending_.push_back(&entry);
    if (busyDepth_ == 0) {
        flushRows();
        return;
    }
    // A long scan shows its rows a batch at a time, a few times a second,
    // and keeps the window painted in between; a view told of each row on
    // its own spends the scan repainting.
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (now - lastFlushMs_ >= 150) {
        flushRows();
        pumpDuringScan();
        lastFlushMs_ = QDateTime::currentMSecsSinceEpoch();
    }
}

namespace {

// While a scan runs, the window repaints and Escape stops the scan; every
// other key and click waits, since the list is still changing under it.
class ScanInputFilter : public QObject {
public:
    explicit ScanInputFilter(bool& stop) : stop_(stop) {}

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        switch (event->type()) {
        case QEvent::KeyPress:
            if (static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) stop_ = true;
            return true;
        case QEvent::KeyRelease:
        case QEvent::ShortcutOverride:
        case QEvent::Shortcut:
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::MouseMove:
        case QEvent::Wheel:
        case QEvent::ContextMenu:
        case QEvent::DragEnter:
        case QEvent::DragMove:
        case QEvent::Drop:
        case QEvent::TouchBegin:
        case QEvent::TouchUpdate:
        case QEvent::TouchEnd:
        case QEvent::Close:
            return true;
        default:
            return false;
        }
    }

private:
    bool& stop_;
};

} // namespace

void InputPage::pumpDuringScan()
{
    ScanInputFilter filter(stopScan_);
    qApp->installEventFilter(&filter);
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    qApp->removeEventFilter(&filter);
}

void InputPage::flushRows()
{
    if (pending_.empty()) return;
    view_->setUpdatesEnabled(false);
    // Newest first, above the rows already shown.
    shown_.insert(shown_.begin(), pending_.rbegin(), pending_.rend());
    const size_t count = pending_.size();
    pending_.clear();
    model_->rowsInsertedAtTop(count);
    view_->setUpdatesEnabled(true);
    updateCount();
}

void InputPage::rowsChanged()
{
    // A reset forgets the selection; the files selected before stay
    // selected wherever they now are, as rows of the platform's list do.
    std::vector<const FileEntry*> selected;
    for (size_t r : selectedRows())
        if (r < shown_.size()) selected.push_back(shown_[r]);
    const FileEntry* current = nullptr;
    if (QModelIndex c = view_->currentIndex(); c.isValid() && size_t(c.row()) < shown_.size())
        current = shown_[size_t(c.row())];

    pending_.clear();
    model_->reset();
    shown_.clear();
    for (size_t r = 0; r < list_->rowCount(); ++r) shown_.push_back(&list_->row(r));

    if (!selected.empty() || current) {
        std::sort(selected.begin(), selected.end());
        QItemSelection selection;
        for (size_t r = 0; r < shown_.size(); ++r) {
            QModelIndex i = model_->index(int(r), 0);
            if (shown_[r] == current) view_->selectionModel()->setCurrentIndex(i, QItemSelectionModel::NoUpdate);
            if (std::binary_search(selected.begin(), selected.end(), shown_[r])) selection.select(i, i);
        }
        view_->selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    }
    updateCount();
}

void InputPage::dragEnterEvent(QDragEnterEvent* event)
{
    if (event->mimeData()->hasUrls()) event->acceptProposedAction();
}

void InputPage::dropEvent(QDropEvent* event)
{
    QStringList paths;
    // Taken by the bytes the addresses encode: a name that is not UTF-8
    // would lose them in Qt's decoding.
    for (const QUrl& url : event->mimeData()->urls())
        if (url.isLocalFile()) paths << pathToQString(localFileOf(url));
    event->acceptProposedAction();
    addDropped(paths);
}

bool InputPage::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == view_ && event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(event)->key() == Qt::Key_Delete) {
        runCommand(CMD_REMOVE_FILES);
        return true;
    }
    return WizardPage::eventFilter(watched, event);
}

} // namespace quillon::ui
