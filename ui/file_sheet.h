#pragma once
// The per-file sheet: one input file's information and metadata, and what the
// batch does with that file alone (output name, alpha file, orientation,
// metadata, colour adjustments), with a preview. Pages are built when first
// shown; OK checks every built page before any of them changes the entry, so
// a refused OK leaves nothing half-applied.
#include <QDialog>
#include <QString>

#include <array>
#include <cstdint>

#include "app/input_list.h"
#include "ui/wizard.h"

class QTabWidget;

namespace quillon::ui {

enum SheetPageIndex : int {
    SHEET_FILE_INFO = 0,
    SHEET_METADATA = 1,
    SHEET_ADJUSTMENTS = 2,
    SHEET_PREVIEW = 3,
    // Open on the page the user had last.
    SHEET_LAST = -1,
};

class FileSheet;

// A page of the sheet; built on first show, it reads the entry once and
// writes it only in apply().
class SheetPage : public QWidget {
    Q_OBJECT
public:
    SheetPage(FileSheet& sheet, FileEntry& entry);
    ControlMap& controls() { return controls_; }
    // OK was pressed: false keeps the sheet open (the page said why).
    virtual bool validate() { return true; }
    // Writes the page's changes into the entry; runs only after every built
    // page validated.
    virtual void apply() {}
    virtual void activated() {}
    virtual void left() {}
    // The sheet has just been shown with this page active: its size is
    // now the one the user sees.
    virtual void sheetShown() {}

protected:
    void addControl(int id, QWidget* widget) { controls_.add(id, widget); }
    FileSheet& sheet_;
    FileEntry& entry_;

private:
    ControlMap controls_;
};

class FileSheet : public QDialog {
    Q_OBJECT
public:
    FileSheet(QWidget* owner, FileEntry& entry, int startPage);
    ~FileSheet() override;

    QTabWidget* tabs() const { return tabs_; }
    // The page at `index` when it has been built, else null.
    SheetPage* page(int index) const { return pages_[size_t(index)]; }
    // Shows a page, building it first when needed.
    void showPage(int index);
    int currentPage() const;
    // What OK does: validate every built page, then apply them in order and
    // close. False when the sheet stays open.
    bool confirm();
    FileEntry& entry() { return entry_; }

    void done(int result) override;

protected:
    void showEvent(QShowEvent* event) override;

private:
    SheetPage* build(int index);
    void switched(int index);

    FileEntry& entry_;
    QTabWidget* tabs_;
    std::array<SheetPage*, 4> pages_{};
    int active_ = -1;
};

// The page the last sheet showed; a sheet opened on SHEET_LAST starts there.
int& sheetLastPage();

// Opens the modal sheet for one entry; true when it was confirmed. Tests
// answer it through the hook of the same name.
bool fileInfoSheetShow(QWidget* owner, FileEntry& entry, int startPage);

// The entry's orientation, creating or keeping its adjustment record as the
// list does elsewhere: nothing is created for orientation 0.
void fileEntrySetOrientation(FileEntry& entry, uint8_t orientation);

// "%lld Bytes  (%d KB)" with the size rounded to kilobytes.
QString fileSizeText(uint64_t size);

// The density text the metadata page stores for its two numbers and unit:
// empty when both are 0, else both made positive, a missing one taking the
// other's value.
QString densityText(int64_t x, int64_t y, bool perInch);

// Slider position of an adjustment value: value x scale, rounded half away
// from zero.
int adjustPosition(double value, double scale);

// The adjustment page's rows applied to a record: the same rules the page
// uses on OK and the preview uses for unconfirmed changes. `page` null does
// nothing.
void adjustPageReadControls(SheetPage* page, std::unique_ptr<AdjustmentSettings>& adjustments);

} // namespace quillon::ui
