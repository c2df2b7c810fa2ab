#include "ui/add_directory_dialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include "core/text.h"
#include "ui/msgbox.h"
#include "ui/ui_kit.h"

namespace quillon::ui {

AddDirectoryDialog::AddDirectoryDialog(QWidget* owner, const AddDirectoryParams& p) : QDialog(owner)
{
    setWindowTitle(QStringLiteral("Add directory - Quillon"));
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    applyDialogColours(this);
    dialogSetIcons(this);
    folder_ = new QLineEdit(pathToQString(p.folder), this);
    folder_->setObjectName(QStringLiteral("ctl750"));
    auto* browse = new QPushButton(QStringLiteral("..."), this);
    browse->setObjectName(QStringLiteral("ctl755"));
    browse->setAutoDefault(false);
    recurse_ = new QCheckBox(QStringLiteral("Recursively scan all sub-directories"), this);
    recurse_->setObjectName(QStringLiteral("ctl751"));
    recurse_->setChecked(p.recurse);
    filterOn_ = new QCheckBox(QStringLiteral("Use file filter to add specific files only:"), this);
    filterOn_->setObjectName(QStringLiteral("ctl752"));
    filterOn_->setChecked(p.filterOn);
    filter_ = new QLineEdit(QString::fromStdU16String(p.filter), this);
    filter_->setObjectName(QStringLiteral("ctl754"));
    filter_->setMaxLength(128);
    filter_->setEnabled(p.filterOn);
    auto* hint = new QLabel(QStringLiteral("Use * for any string, ? for any char, and ; to separate multiple filter "
                                           "strings. Here's an example:  fun*.jpg; ????.gif"),
                            this);
    hint->setWordWrap(true);
    setHintStyle(hint);
    auto* buttons = new QDialogButtonBox(this);
    buttons->addButton(QStringLiteral("Continue"), QDialogButtonBox::AcceptRole);
    buttons->addButton(QDialogButtonBox::Cancel);

    auto* grid = new QGridLayout(this);
    auto* row = new QHBoxLayout;
    row->addWidget(folder_, 1);
    row->addWidget(browse);
    grid->addLayout(row, 0, 0);
    grid->addWidget(recurse_, 1, 0);
    grid->addWidget(filterOn_, 2, 0);
    grid->addWidget(filter_, 3, 0);
    grid->addWidget(hint, 4, 0);
    grid->addWidget(buttons, 5, 0);
    resize(460, sizeHint().height());

    connect(filterOn_, &QCheckBox::toggled, filter_, &QLineEdit::setEnabled);
    connect(browse, &QPushButton::clicked, this, [this] {
        QString path = folder_->text();
        if (browseForFolder(this, QStringLiteral("Please select a directory path to scan for image files"), path,
                            true))
            folder_->setText(path);
    });
    connect(buttons, &QDialogButtonBox::accepted, this, &AddDirectoryDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &AddDirectoryDialog::reject);
}

AddDirectoryParams AddDirectoryDialog::params() const
{
    AddDirectoryParams p;
    p.folder = qStringToPath(folder_->text());
    p.filter = filter_->text().toStdU16String();
    p.filterOn = filterOn_->isChecked();
    p.recurse = recurse_->isChecked();
    return p;
}

void AddDirectoryDialog::accept()
{
    QString folder = folder_->text().trimmed();
    if (folder.isEmpty()) {
        msgBox(this, QStringLiteral("Please select a directory first!\n\nUse the [...] button to browse..."),
               QStringLiteral("Quillon"), MB_OK | MB_ICONEXCLAMATION);
        return;
    }
    std::error_code ec;
    if (!std::filesystem::is_directory(qStringToPath(folder), ec)) {
        msgBox(this, QStringLiteral("The directory doesn't exist!"), QStringLiteral("Quillon"),
               MB_OK | MB_ICONEXCLAMATION);
        return;
    }
    QDialog::accept();
}

bool addDirectoryDialogRun(QWidget* owner, AddDirectoryParams& params)
{
    AddDirectoryDialog dialog(owner, params);
    if (dialog.exec() != QDialog::Accepted) return false;
    params = dialog.params();
    return !params.folder.empty();
}

} // namespace quillon::ui
