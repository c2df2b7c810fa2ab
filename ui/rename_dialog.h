#pragma once
// "Pattern renaming of output files": the input and output wildcard patterns
// and the two switches of a pattern rename.
#include <QDialog>

#include "app/rename.h"

class QCheckBox;
class QLineEdit;

namespace quillon::ui {

class RenameDialog : public QDialog {
    Q_OBJECT
public:
    RenameDialog(QWidget* owner, const RenamePatternParams& params);
    // The values shown in the controls.
    RenamePatternParams params() const;

    QLineEdit* inputEdit() const { return input_; }
    QLineEdit* outputEdit() const { return output_; }
    QCheckBox* onlySelectedBox() const { return onlySelected_; }
    QCheckBox* caseSensitiveBox() const { return caseSensitive_; }

private:
    QLineEdit *input_, *output_;
    QCheckBox *onlySelected_, *caseSensitive_;
};

// Runs the dialog on `params`; "Rename!" stores the values and answers true,
// "Cancel" leaves them and answers false.
bool renameDialogRun(QWidget* owner, RenamePatternParams& params);

} // namespace quillon::ui
