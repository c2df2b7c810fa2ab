#pragma once
// "Select index options": the HTML thumbnail index. The thumbnail format is
// output row 1 (with the index on, the second of exactly two outputs), then
// the thumbnail size, the layout and the HTML details.
//
// Start-up needs to set nothing; the page edits jobSettings() (or the record
// it is given).
#include "ui/format_rows.h"
#include "ui/wizard.h"

namespace quillon::ui {

class IndexOptionsPage final : public WizardPage {
    Q_OBJECT
public:
    explicit IndexOptionsPage(QWidget* parent = nullptr);
    explicit IndexOptionsPage(JobSettings& settings, QWidget* parent = nullptr);

    // The formats the row offers; null: the process's registry.
    void setRegistry(const FormatRegistry* registry) { rows_.registry = registry; }

    void settingsToControls() override;
    void controlsToSettings() override;
    void updateControlStates() override;
    void onCommand(int id) override;
    int onNext() override;
    int onBack() override;

private:
    JobSettings& settings_;
    FormatRows rows_;
};

} // namespace quillon::ui
