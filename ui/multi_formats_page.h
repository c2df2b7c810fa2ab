#pragma once
// "Select multiple output formats": the eight output format rows and the
// switch that puts each format's outputs into a sub-folder of its own. Shown
// when two or more outputs are chosen and no index is made.
//
// Start-up needs to set nothing; the page edits jobSettings() (or the record
// it is given).
#include "ui/format_rows.h"
#include "ui/wizard.h"

namespace quillon::ui {

class MultiFormatsPage final : public WizardPage {
    Q_OBJECT
public:
    explicit MultiFormatsPage(QWidget* parent = nullptr);
    explicit MultiFormatsPage(JobSettings& settings, QWidget* parent = nullptr);

    // The formats the rows offer; null: the process's registry.
    void setRegistry(const FormatRegistry* registry) { rows_.registry = registry; }

    void settingsToControls() override;
    void controlsToSettings() override;
    void onCommand(int id) override;
    int onNext() override;
    int onBack() override;

private:
    JobSettings& settings_;
    FormatRows rows_;
};

} // namespace quillon::ui
