#include "ui/rename_dialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/ui_kit.h"

namespace quillon::ui {

namespace {

// Names are held in 260-character buffers, the last for the terminator.
constexpr int kPatternLength = 259;

} // namespace

RenameDialog::RenameDialog(QWidget* owner, const RenamePatternParams& p) : QDialog(owner)
{
    setWindowTitle(QStringLiteral("Pattern renaming of output files"));
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    applyDialogColours(this);
    dialogSetIcons(this);

    input_ = new QLineEdit(QString::fromStdU16String(p.inputPattern), this);
    input_->setObjectName(QStringLiteral("ctl840"));
    input_->setMaxLength(kPatternLength);
    output_ = new QLineEdit(QString::fromStdU16String(p.outputPattern), this);
    output_->setObjectName(QStringLiteral("ctl841"));
    output_->setMaxLength(kPatternLength);
    auto* hint = new QLabel(QStringLiteral("Use * and ? wildcards plus alphanumerals for pattern matching.\n"
                                           "Note: File exensions are not included!"),
                            this);
    setHintStyle(hint);
    onlySelected_ = new QCheckBox(QStringLiteral("Only rename selected files"), this);
    onlySelected_->setObjectName(QStringLiteral("ctl842"));
    onlySelected_->setChecked(p.onlySelected != 0);
    caseSensitive_ = new QCheckBox(QStringLiteral("Case sensitive pattern"), this);
    caseSensitive_->setObjectName(QStringLiteral("ctl843"));
    caseSensitive_->setChecked(p.caseSensitive != 0);

    auto* buttons = new QDialogButtonBox(this);
    QPushButton* rename = buttons->addButton(QStringLiteral("Rename!"), QDialogButtonBox::AcceptRole);
    rename->setObjectName(QStringLiteral("ctl1"));
    rename->setDefault(true);
    QPushButton* cancel = buttons->addButton(QStringLiteral("Cancel"), QDialogButtonBox::RejectRole);
    cancel->setObjectName(QStringLiteral("ctl2"));

    auto* form = new QFormLayout;
    form->addRow(new QLabel(QStringLiteral("Input file name pattern:"), this), input_);
    form->addRow(new QLabel(QStringLiteral("Output file name pattern:"), this), output_);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(hint);
    layout->addWidget(onlySelected_);
    layout->addWidget(caseSensitive_);
    layout->addWidget(buttons);
    resize(420, sizeHint().height());

    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

RenamePatternParams RenameDialog::params() const
{
    RenamePatternParams p;
    p.inputPattern = input_->text().toStdU16String();
    p.outputPattern = output_->text().toStdU16String();
    p.onlySelected = onlySelected_->isChecked() ? 1 : 0;
    p.caseSensitive = caseSensitive_->isChecked() ? 1 : 0;
    return p;
}

bool renameDialogRun(QWidget* owner, RenamePatternParams& params)
{
    RenameDialog dialog(owner, params);
    if (dialog.exec() != QDialog::Accepted) return false;
    params = dialog.params();
    return true;
}

} // namespace quillon::ui
