#pragma once
// The second wizard page, "Select output options": the output folder and its
// rules, the first output format, palette options, resizing, the pixel
// density, the switches that decide which pages follow, and the presets.
// It also holds the output check that every option page runs on Next.
//
// Start-up needs to set nothing beyond the wizard frame's navSettings (read
// from the same JobSettings). Presets live in the "Quillon" folder of the
// roaming configuration folder; the page finds it on its first activation.
#include <filesystem>

#include "ui/format_rows.h"
#include "ui/wizard.h"

namespace quillon::ui {

// The wizard's result when a silent run stops at the output check: the
// message went to standard error and the process should end with status 1.
constexpr int kWizardSilentCheckFailed = 2;

// The output check, run on Next of the output-options, multiple-formats and
// more-options pages: an output folder is required (unless outputs go beside
// their sources and no index is made), a missing one is created after asking
// (without asking in silent mode), and deleting the sources is confirmed
// (not in silent mode). False keeps the page. In silent mode a failure
// cannot be shown: its message goes to standard error and the wizard that
// owns `page` closes with kWizardSilentCheckFailed.
bool outputOptionsValidate(QWidget* page, JobSettings& settings, bool silent);

class OutputOptionsPage final : public WizardPage {
    Q_OBJECT
public:
    explicit OutputOptionsPage(QWidget* parent = nullptr);
    explicit OutputOptionsPage(JobSettings& settings, QWidget* parent = nullptr);

    // The formats the rows offer; null: the process's registry.
    void setRegistry(const FormatRegistry* registry) { rows_.registry = registry; }
    // The preset folder (tests; normally found on the first activation).
    void setPresetFolder(const std::filesystem::path& folder);
    const std::filesystem::path& presetFolder() const { return presetFolder_; }

    void settingsToControls() override;
    void controlsToSettings() override;
    void updateControlStates() override;
    void onCommand(int id) override;
    void onInit() override;
    int onNext() override;
    int onBack() override;

    // The preset list as shown (names without ".qpt").
    QStringList presetList() const;

private:
    void build();
    bool silent() const;
    void presetFill();
    void presetChosen();
    void presetSave();
    void presetDelete();
    void refreshNext();

    JobSettings& settings_;
    FormatRows rows_;
    std::filesystem::path presetFolder_;
    bool presetFolderSet_ = false;
};

} // namespace quillon::ui
