#include "ui/multi_formats_page.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

#include "ui/output_options_page.h"
#include "ui/ui_kit.h"

namespace quillon::ui {

MultiFormatsPage::MultiFormatsPage(QWidget* parent) : MultiFormatsPage(jobSettings(), parent) {}

MultiFormatsPage::MultiFormatsPage(JobSettings& settings, QWidget* parent)
    : WizardPage(PAGE_MULTIPLE_FORMATS, parent), settings_(settings), rows_{controls(), settings, nullptr}
{
    auto* layout = new QVBoxLayout(this);
    auto* title = new QLabel(QStringLiteral(" Output formats"), this);
    setTitleStyle(title);
    controls().add(1250, title);
    layout->addWidget(title);
    auto* grid = new QGridLayout;
    for (int i = 0; i < kMaxOutputFormats; ++i) {
        auto* box = new QCheckBox(QStringLiteral("Out %1:").arg(i + 1), this);
        addControl(kRowCheckId + i, box);
        auto* format = new QComboBox(this);
        format->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
        format->setMinimumContentsLength(18);
        addControl(kRowFormatId + i, format);
        auto* sub = new QComboBox(this);
        sub->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
        sub->setMinimumContentsLength(12);
        addControl(kRowSubFormatId + i, sub);
        auto* colour = new QComboBox(this);
        addControl(kRowColourId + i, colour);
        auto* param = new QLineEdit(this);
        param->setMaxLength(32);
        param->setMaximumWidth(70);
        addControl(kRowParamId + i, param);
        grid->addWidget(box, i, 0);
        grid->addWidget(format, i, 1);
        grid->addWidget(sub, i, 2);
        grid->addWidget(colour, i, 3);
        grid->addWidget(param, i, 4);
    }
    grid->setColumnStretch(1, 2);
    grid->setColumnStretch(2, 1);
    layout->addLayout(grid);
    auto* subDirs = new QCheckBox(
        QStringLiteral("Save each output format to a separate sub-directory (named like \"\\file format - sub-format - "
                       "color format\\\")"),
        this);
    addControl(756, subDirs);
    layout->addWidget(subDirs);
    layout->addStretch(1);
}

void MultiFormatsPage::settingsToControls()
{
    for (int i = 0; i < kMaxOutputFormats; ++i) rows_.show(i);
    controls().setChecked(756, settings_.bMultiOutInSubDirs);
}

void MultiFormatsPage::controlsToSettings()
{
    for (int i = 0; i < kMaxOutputFormats; ++i) rows_.store(i);
    settings_.bMultiOutInSubDirs = controls().check(756)->isChecked();
}

void MultiFormatsPage::onCommand(int id)
{
    if (id >= kRowCheckId && id < kRowCheckId + kMaxOutputFormats) {
        rows_.countChanged(id - kRowCheckId);
        if (frame() && frame()->currentPage() == this) frame()->refreshActivation();
    } else if (id >= kRowFormatId && id < kRowFormatId + kMaxOutputFormats) {
        rows_.formatChosen(id - kRowFormatId, false);
    } else if (id >= kRowSubFormatId && id < kRowSubFormatId + kMaxOutputFormats) {
        rows_.subFormatChosen(id - kRowSubFormatId, false);
    } else if (id >= kRowColourId && id < kRowColourId + kMaxOutputFormats) {
        rows_.colourChosen(id - kRowColourId, false);
    }
}

int MultiFormatsPage::onNext()
{
    controlsToSettings();
    bool silent = (frame() && frame()->silent) || settings_.silentMode;
    if (!outputOptionsValidate(this, settings_, silent)) return WIZ_STAY;
    NavSettings nav{int(settings_.iOutFormats), settings_.bShowMoreOptions != 0, settings_.index.bIndex != 0};
    return wizardForwardTarget(pageIndex(), nav);
}

int MultiFormatsPage::onBack()
{
    controlsToSettings();
    return PAGE_OUTPUT_OPTIONS;
}

} // namespace quillon::ui
