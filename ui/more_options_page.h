#pragma once
// "Select more options": the batch-wide colour adjustments, undithering, a
// fixed rotation or mirroring, the image frame with its two colours, the log
// file, error prompts, 7-bit output names and the index switch.
//
// Start-up needs to set nothing; the page edits jobSettings() (or the record
// it is given).
#include <QPushButton>

#include "ui/format_rows.h"
#include "ui/wizard.h"

namespace quillon::ui {

// A button showing a colour, raised when up and sunken when pressed; the
// face colour when disabled.
class ColourButton final : public QPushButton {
    Q_OBJECT
public:
    explicit ColourButton(QWidget* parent = nullptr);
    void setColour(const QColor& colour);
    QColor colour() const { return colour_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor colour_;
};

// 0xAARRGGBB and the colour it shows.
QColor frameColourToQColor(uint32_t value);
uint32_t frameColourFromQColor(const QColor& colour, uint32_t keepAlphaOf);

class MoreOptionsPage final : public WizardPage {
    Q_OBJECT
public:
    explicit MoreOptionsPage(QWidget* parent = nullptr);
    explicit MoreOptionsPage(JobSettings& settings, QWidget* parent = nullptr);

    void settingsToControls() override;
    void controlsToSettings() override;
    void updateControlStates() override;
    void onCommand(int id) override;
    int onNext() override;
    int onBack() override;

private:
    void refreshLabels();
    void chooseColour(int buttonId, uint32_t& value);

    JobSettings& settings_;
    // The stored orientation when the list has no entry for it (a turn
    // combined with mirroring, as a preset may hold): kept until the user
    // picks another entry.
    int unlistedOrientation_ = -1;
};

} // namespace quillon::ui
