#include "ui/format_rows.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QSignalBlocker>

#include "ui/wizard.h"

namespace quillon::ui {

namespace {

QString qs(std::u16string_view t) { return QString::fromUtf16(t.data(), qsizetype(t.size())); }

constexpr size_t kSubFormatMaxChars = 47;

bool writable(const FormatDescriptor* d) { return d && d->createWriter && d->subFormatCount() > 0; }

bool isSingleFlag(uint32_t c) { return c != 0 && c != CF_AUTO && (c & (c - 1)) == 0; }

} // namespace

QString paramText(uint8_t kind, int32_t value)
{
    switch (kind) {
    case PARAM_QUALITY: return QStringLiteral("%1 %").arg(value);
    case PARAM_FACTOR: return QStringLiteral("%1 x").arg(value);
    case PARAM_SIZE_KB: return QStringLiteral("%1 KB").arg(value);
    default: return QString();
    }
}

QString formatEntryText(const FormatDescriptor& d)
{
    return qs(d.extension).toUpper() + QStringLiteral(" - ") + qs(d.description);
}

uint8_t FormatRows::paramKind(int32_t formatId, std::u16string_view subFormat) const
{
    const FormatDescriptor* d = reg().at(formatId);
    if (!writable(d)) return PARAM_NONE;
    int32_t sub = d->subFormatIndex(subFormat);
    return sub < 0 ? uint8_t(PARAM_NONE) : d->paramKind(uint32_t(sub));
}

uint32_t FormatRows::colourMask(int32_t formatId, std::u16string_view subFormat) const
{
    const FormatDescriptor* d = reg().at(formatId);
    if (!writable(d) || !d->subFormatCaps) return 0;
    int32_t sub = d->subFormatIndex(subFormat);
    return sub < 0 ? 0 : d->subFormatCaps[sub];
}

void FormatRows::setRowEnabled(int i, bool on)
{
    controls.setEnabled(kRowFormatId + i, on);
    controls.setEnabled(kRowSubFormatId + i, on);
    controls.setEnabled(kRowColourId + i, on);
}

void FormatRows::fillFormats(int i, const OutputFormatSlot& slot)
{
    QComboBox* c = controls.combo(kRowFormatId + i);
    if (!c) return;
    QSignalBlocker block(c);
    c->clear();
    const FormatRegistry& r = reg();
    for (int32_t k = 0; k < r.count(); ++k)
        if (writable(r.at(k))) c->addItem(formatEntryText(*r.at(k)), k);
    // A slot that takes its format from each output's extension has no entry;
    // the row then shows nothing rather than claim a format it does not use.
    c->setCurrentIndex(c->findData(slot.iFormatId));
}

void FormatRows::fillSubFormats(int i, const OutputFormatSlot& slot)
{
    QComboBox* c = controls.combo(kRowSubFormatId + i);
    if (!c) return;
    QSignalBlocker block(c);
    c->clear();
    const FormatDescriptor* d = reg().at(slot.iFormatId);
    if (!writable(d)) return;
    for (uint32_t k = 0; k < d->subFormatCount(); ++k) c->addItem(qs(d->subFormatNames[k]));
    c->setCurrentIndex(0);
    int found = c->findText(qs(slot.szSubFormat), Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (found >= 0) c->setCurrentIndex(found);
}

void FormatRows::fillColoursAndParam(int i, const OutputFormatSlot& slot, bool enabled)
{
    uint8_t kind = paramKind(slot.iFormatId, slot.szSubFormat);
    if (QLineEdit* e = controls.edit(kRowParamId + i)) {
        controls.setText(kRowParamId + i, paramText(kind, slot.iCompParam));
        e->setEnabled(kind != PARAM_NONE && enabled);
    }
    QComboBox* c = controls.combo(kRowColourId + i);
    if (!c) return;
    QSignalBlocker block(c);
    c->clear();
    if (!writable(reg().at(slot.iFormatId))) return;
    uint32_t mask = colourMask(slot.iFormatId, slot.szSubFormat);
    // "Auto color" lets the writer choose within the mask; it is stored as
    // CF_AUTO, the value every other part of the program reads as automatic.
    c->addItem(QStringLiteral("Auto color"), QVariant(uint32_t(CF_AUTO)));
    for (int bit = 0; bit < 32; ++bit) {
        uint32_t flag = 1u << bit;
        if (!(mask & flag)) continue;
        const char16_t* name = colourFormatName(flag);
        c->addItem(name ? qs(name) : QStringLiteral("Unknown"), QVariant(flag));
    }
    c->setCurrentIndex(0);
    if (isSingleFlag(slot.iColorFormat)) {
        int found = c->findData(QVariant(slot.iColorFormat));
        if (found >= 0) c->setCurrentIndex(found);
    }
}

void FormatRows::show(int i)
{
    if (i < 0 || i >= kMaxOutputFormats) return;
    OutputFormatSlot slot = settings.slots[size_t(i)];
    normalizeSlot(slot, settings, &reg());
    bool active = uint32_t(i) < settings.iOutFormats;
    controls.setChecked(kRowCheckId + i, active);
    fillFormats(i, slot);
    fillSubFormats(i, slot);
    fillColoursAndParam(i, slot, active);
    setRowEnabled(i, active);
}

void FormatRows::formatChosen(int i, bool updatePalette)
{
    OutputFormatSlot& slot = settings.slots[size_t(i)];
    QComboBox* c = controls.combo(kRowFormatId + i);
    if (!c || c->currentIndex() < 0) return;
    // The number's kind is judged against the format the number was given
    // for, so a quality survives a change between two formats that take one.
    uint8_t oldKind = paramKind(slot.iFormatId, slot.szSubFormat);
    slot.iFormatId = c->currentData().toInt();
    fillSubFormats(i, slot);
    QComboBox* sub = controls.combo(kRowSubFormatId + i);
    if (sub && sub->currentIndex() >= 0) {
        // Both are set before the number is judged, as for a sub-format choice.
        std::u16string name = sub->currentText().left(kSubFormatMaxChars).toStdU16String();
        uint8_t newKind = paramKind(slot.iFormatId, name);
        slot.szSubFormat = name;
        if (newKind != oldKind) slot.iCompParam = 0;
    }
    // Re-judge from the new sub-format (its kind now equals the slot's).
    subFormatChosen(i, updatePalette);
}

void FormatRows::subFormatChosen(int i, bool updatePalette)
{
    OutputFormatSlot& slot = settings.slots[size_t(i)];
    QComboBox* sub = controls.combo(kRowSubFormatId + i);
    if (!sub || sub->currentIndex() < 0) return;
    uint8_t oldKind = paramKind(slot.iFormatId, slot.szSubFormat);
    slot.szSubFormat = sub->currentText().left(kSubFormatMaxChars).toStdU16String();
    uint8_t kind = paramKind(slot.iFormatId, slot.szSubFormat);
    if (kind != oldKind) slot.iCompParam = 0;
    switch (kind) {
    case PARAM_QUALITY: if (slot.iCompParam == 0) slot.iCompParam = settings.iLastQualityPercent; break;
    case PARAM_FACTOR: if (slot.iCompParam == 0) slot.iCompParam = settings.iLastXFactor; break;
    case PARAM_SIZE_KB: if (slot.iCompParam == 0) slot.iCompParam = settings.iLastSizeKB; break;
    default: slot.iCompParam = 0; break;
    }
    fillColoursAndParam(i, slot, uint32_t(i) < settings.iOutFormats);
    colourChosen(i, updatePalette);
}

void FormatRows::colourChosen(int i, bool updatePalette)
{
    OutputFormatSlot& slot = settings.slots[size_t(i)];
    QComboBox* c = controls.combo(kRowColourId + i);
    if (c && c->currentIndex() >= 0) slot.iColorFormat = c->currentData().toUInt();
    if (updatePalette) updatePaletteBoxes(i);
}

void FormatRows::countChanged(int i)
{
    QCheckBox* box = controls.check(kRowCheckId + i);
    if (!box) return;
    uint32_t old = settings.iOutFormats;
    if (!box->isChecked()) {
        settings.iOutFormats = i == 0 ? 1 : uint32_t(i);
        for (uint32_t r = settings.iOutFormats; r < std::max(old, uint32_t(i) + 1) && r < kMaxOutputFormats; ++r)
            show(int(r));
        if (i == 0) controls.setChecked(kRowCheckId, true);
    } else {
        settings.iOutFormats = uint32_t(i) + 1;
        for (uint32_t r = std::min(old, uint32_t(i)); r <= uint32_t(i); ++r) show(int(r));
    }
}

void FormatRows::store(int i)
{
    OutputFormatSlot& slot = settings.slots[size_t(i)];
    QComboBox* f = controls.combo(kRowFormatId + i);
    QComboBox* sub = controls.combo(kRowSubFormatId + i);
    QComboBox* colour = controls.combo(kRowColourId + i);
    if (f && f->currentIndex() >= 0 && sub && sub->currentIndex() >= 0) {
        slot.iFormatId = f->currentData().toInt();
        slot.szSubFormat = sub->currentText().left(kSubFormatMaxChars).toStdU16String();
        if (colour && colour->currentIndex() >= 0) slot.iColorFormat = colour->currentData().toUInt();
    }
    int n = controls.getInt(kRowParamId + i, slot.iCompParam);
    if (n > 0) slot.iCompParam = n;
}

void FormatRows::updatePaletteBoxes(int i)
{
    uint32_t c = uint32_t(controls.selData(kRowColourId + i, int(CF_AUTO)));
    int32_t bits = isSingleFlag(c) ? colourFormatBits(c) : -1;
    if (bits <= 0) {
        controls.setEnabled(kDitherBoxId, true);
        controls.setEnabled(kFixedPaletteBoxId, false);
        controls.setEnabled(kSharedPaletteBoxId, false);
        return;
    }
    bool palette = bits >= 1 && bits <= 8 && c != CF_GRAY8;
    controls.setEnabled(kDitherBoxId, bits < 24);
    controls.setEnabled(kFixedPaletteBoxId, palette);
    controls.setEnabled(kSharedPaletteBoxId, palette);
}

} // namespace quillon::ui
