#pragma once
// Open and save dialogs on Qt's own (non-native) file dialog, so that the
// places list, the OK label and the information texts work the same on every
// desktop. Every run goes through the hook layer first.
#include <QString>
#include <QStringList>

#include "ui/hooks.h"

class QWidget;

namespace quillon::ui {

// Runs one dialog; the result lists every chosen path, whole.
FileDialogResult fileDlgRun(QWidget* owner, const FileDialogRequest& request);

// The save dialog of the overwrite prompt's "Rename": one "All files" filter,
// starting with the current output's name. Empty when cancelled.
QString askNewOutputName(QWidget* owner, const QString& currentPath);

} // namespace quillon::ui
