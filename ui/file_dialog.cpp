#include "ui/file_dialog.h"

#include <QFileDialog>
#include <QUrl>

#include "ui/ui_kit.h"

namespace quillon::ui {

FileDialogResult fileDlgRun(QWidget* owner, const FileDialogRequest& request)
{
    if (auto& hook = uiHooks().fileDialog) return hook(owner, request);
    QFileDialog dialog(owner, request.title, request.startFolder);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    // Asking before replacing is the batch's business, not the dialog's.
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
    dialog.setAcceptMode(request.save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode(request.save ? QFileDialog::AnyFile
                                    : (request.multiSelect ? QFileDialog::ExistingFiles : QFileDialog::ExistingFile));
    if (!request.filters.isEmpty()) {
        dialog.setNameFilters(request.filters);
        if (request.filterIndex >= 0 && request.filterIndex < request.filters.size())
            dialog.selectNameFilter(request.filters[request.filterIndex]);
    }
    if (!request.okLabel.isEmpty()) dialog.setLabelText(QFileDialog::Accept, request.okLabel);
    if (!request.fileName.isEmpty()) dialog.selectFile(request.fileName);
    dialogSetIcons(&dialog);
    FileDialogResult result;
    if (dialog.exec() != QDialog::Accepted) return result;
    result.paths = dialog.selectedFiles();
    result.accepted = !result.paths.isEmpty();
    result.filterIndex = int(request.filters.indexOf(dialog.selectedNameFilter()));
    if (result.filterIndex < 0) result.filterIndex = 0;
    return result;
}

QString askNewOutputName(QWidget* owner, const QString& currentPath)
{
    // Split by our own means: the path may hold bytes that are not UTF-8,
    // kept in the text as pathToQString keeps them.
    const std::filesystem::path path = qStringToPath(currentPath);
    FileDialogRequest request;
    request.save = true;
    request.title = QStringLiteral("Please select a new output file name");
    request.startFolder = pathToQString(path.parent_path());
    request.fileName = pathToQString(path.filename());
    request.filters = {QStringLiteral("All files (*)")};
    FileDialogResult r = fileDlgRun(owner, request);
    return r.accepted ? r.paths.front() : QString();
}

} // namespace quillon::ui
