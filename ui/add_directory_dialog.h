#pragma once
// "Add directory": a folder, whether to scan its sub-folders, and an optional
// wildcard filter.
#include <QDialog>

#include "app/input_list.h"

class QCheckBox;
class QLineEdit;

namespace quillon::ui {

class AddDirectoryDialog : public QDialog {
    Q_OBJECT
public:
    AddDirectoryDialog(QWidget* owner, const AddDirectoryParams& params);
    // The values entered; valid after the dialog was accepted.
    AddDirectoryParams params() const;
    void accept() override;

    QLineEdit* folderEdit() const { return folder_; }
    QLineEdit* filterEdit() const { return filter_; }
    QCheckBox* recurseBox() const { return recurse_; }
    QCheckBox* filterBox() const { return filterOn_; }

private:
    QLineEdit *folder_, *filter_;
    QCheckBox *recurse_, *filterOn_;
};

// Runs the dialog on `params`; true when the user chose a folder.
bool addDirectoryDialogRun(QWidget* owner, AddDirectoryParams& params);

} // namespace quillon::ui
