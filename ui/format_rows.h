#pragma once
// Output format rows: a format, sub-format and colour-format combo and a
// number edit (with a check box on the multiple-formats page) that edit one
// output slot of the job. The output-options, multiple-formats and index
// pages share these operations.
//
// Showing a row never changes the slot: the combos show the slot as the
// batch would write it (made writable by normalizeSlot). Only a user's
// choice in a row's combos, a click on its check box, or storing the page's
// controls writes into the slot.
#include <QString>

#include "app/job_settings.h"
#include "core/format.h"

class QWidget;
class QComboBox;

namespace quillon::ui {

class ControlMap;

// Control ids of row i.
constexpr int kRowCheckId = 800, kRowFormatId = 810, kRowSubFormatId = 820, kRowColourId = 830, kRowParamId = 620;

// Palette switches that follow row 0's colour format.
constexpr int kDitherBoxId = 519, kFixedPaletteBoxId = 520, kSharedPaletteBoxId = 522;

struct FormatRows {
    ControlMap& controls;
    JobSettings& settings;
    const FormatRegistry* registry = nullptr; // null: the process's

    const FormatRegistry& reg() const { return registry ? *registry : formatRegistry(); }

    // Loads slot i into its row: every list refilled, the slot's entries
    // selected, the number shown, and the row enabled while i is one of the
    // job's outputs.
    void show(int i);

    // The user chose a format in row i: the slot takes it, its sub-format
    // list is refilled (keeping the slot's sub-format when the new format has
    // one of that name), then as subFormatChosen.
    void formatChosen(int i, bool updatePaletteBoxes);
    // The user chose a sub-format: the slot takes its name; a change of the
    // number's kind drops the old number for the last one used of the new
    // kind; the colour list is refilled for the sub-format.
    void subFormatChosen(int i, bool updatePaletteBoxes);
    // The user chose a colour format.
    void colourChosen(int i, bool updatePaletteBoxes);
    // A click on row i's check box: the rows before it become outputs, those
    // from it on stop being outputs (row 0 always stays one).
    void countChanged(int i);

    // Stores row i into its slot: format, sub-format and colour from the
    // combos, the number when the edit holds a positive one (otherwise the
    // slot keeps its number).
    void store(int i);

    // Dithering and the palette boxes for row i's selected colour format:
    // dithering whenever the colour format is automatic or below 24 bits;
    // the fixed and shared palette for 1 to 8 bits, grey excepted.
    void updatePaletteBoxes(int i);

    // The number's kind of a format's sub-format (by name); 0 when unknown.
    uint8_t paramKind(int32_t formatId, std::u16string_view subFormat) const;
    // The colour mask of a format's sub-format; 0 when unknown.
    uint32_t colourMask(int32_t formatId, std::u16string_view subFormat) const;

private:
    void fillFormats(int i, const OutputFormatSlot& slot);
    void fillSubFormats(int i, const OutputFormatSlot& slot);
    void fillColoursAndParam(int i, const OutputFormatSlot& slot, bool enabled);
    void setRowEnabled(int i, bool on);
};

// The text of the number edit for a kind: "75 %", "10 x", "50 KB"; empty for
// none.
QString paramText(uint8_t kind, int32_t value);
// The fit sizes of the resize and thumbnail combos ("%d x %d"), and the
// scan of such a text: false unless both numbers are there.
void fillFitSizes(QComboBox* combo);
bool scanFitSize(const QString& text, int& x, int& y);

// The row's format entry: "BMP - Windows bitmap format".
QString formatEntryText(const FormatDescriptor& d);

} // namespace quillon::ui
