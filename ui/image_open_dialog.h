#pragma once
// The open dialog for input images: the readable formats as filters, the
// recent output folders as places, and the format and size of the file under
// the cursor.
#include <QString>
#include <QStringList>

class QWidget;

namespace quillon::ui {

// "Supported file types", "All files", then one filter per readable
// extension, in registry order.
QStringList imageOpenFilters();
// "File format:" and "Resolution:" texts of a file; false when it is no
// image we can read.
bool imageFileInfoTexts(const QString& path, QString* format, QString* resolution);
// Runs the dialog; the chosen paths, empty when cancelled.
QStringList openDlgRun(QWidget* owner, const QString& title, const QString& currentPath, bool multiSelect);

} // namespace quillon::ui
