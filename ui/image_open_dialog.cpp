#include "ui/image_open_dialog.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QLabel>
#include <QLayout>
#include <QPushButton>
#include <QUrl>

#include "app/job_settings.h"
#include "core/format.h"
#include "core/image_info.h"
#include "core/image_reader.h"
#include "core/text.h"
#include "ui/file_dialog.h"
#include "ui/hooks.h"
#include "ui/ui_kit.h"

namespace quillon::ui {

QStringList imageOpenFilters()
{
    const FormatRegistry& reg = formatRegistry();
    QStringList patterns;
    QStringList each;
    for (int32_t i = 0; i < reg.count(); ++i) {
        const FormatDescriptor* d = reg.at(i);
        if (!d->createReader) continue;
        QString ext = QString::fromUtf16(d->extension);
        patterns << QStringLiteral("*.") + ext;
        each << ext.toUpper() + QStringLiteral(" - ") + QString::fromUtf16(d->description) + QStringLiteral(" (*.") +
                    ext + QStringLiteral(")");
    }
    QStringList filters;
    if (!patterns.isEmpty()) filters << QStringLiteral("Supported file types (") + patterns.join(u' ') + u')';
    filters << QStringLiteral("All files (*)");
    filters << each;
    return filters;
}

bool imageFileInfoTexts(const QString& path, QString* format, QString* resolution)
{
    const std::filesystem::path file = qStringToPath(path);
    std::error_code ec;
    if (!std::filesystem::is_regular_file(file, ec)) return false;
    QFileInfo fi(path);
    Ref<ImageReader> reader;
    if (failed(imageFileOpen(reader, file, false))) return false;
    // Icons and cursors of one pixel say nothing worth showing.
    if (uint64_t(reader->width) * reader->height <= 1 && fi.suffix().startsWith(u'i', Qt::CaseInsensitive))
        return false;
    if (format) format->clear();
    if (format && reader->info.get(INFO_FORMAT)) *format = QString::fromUtf16(reader->info.get(INFO_FORMAT));
    if (resolution)
        *resolution = QStringLiteral("%1 x %2 x %3").arg(reader->width).arg(reader->height).arg(reader->bitsPerPixel);
    return true;
}

QStringList openDlgRun(QWidget* owner, const QString& title, const QString& currentPath, bool multiSelect)
{
    FileDialogRequest request;
    request.title = title;
    request.multiSelect = multiSelect;
    request.filters = imageOpenFilters();
    request.okLabel = QStringLiteral("Add");
    std::vector<std::string> recent = jobSettings().recentFolders.entries();
    if (!recent.empty()) request.startFolder = pathToQString(recent.front());
    if (!currentPath.isEmpty()) request.fileName = QFileInfo(currentPath).fileName();
    if (uiHooks().fileDialog) {
        FileDialogResult r = uiHooks().fileDialog(owner, request);
        return r.accepted ? r.paths : QStringList();
    }

    QFileDialog dialog(owner, request.title, request.startFolder);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setFileMode(multiSelect ? QFileDialog::ExistingFiles : QFileDialog::ExistingFile);
    dialog.setNameFilters(request.filters);
    dialog.setLabelText(QFileDialog::Accept, request.okLabel);
    if (!request.fileName.isEmpty()) dialog.selectFile(request.fileName);
    QList<QUrl> places = dialog.sidebarUrls();
    for (const std::string& folder : recent)
        if (!folder.empty()) places << fileUrl(folder);
    dialog.setSidebarUrls(places);
    dialogSetIcons(&dialog);

    // The information panel and the "Formats" button below the file list.
    auto* panel = new QWidget(&dialog);
    auto* grid = new QGridLayout(panel);
    grid->setContentsMargins(0, 0, 0, 0);
    auto* formatText = new QLabel(panel);
    auto* sizeText = new QLabel(panel);
    formatText->setObjectName(QStringLiteral("ctl2001"));
    sizeText->setObjectName(QStringLiteral("ctl2011"));
    auto* formats = new QPushButton(QStringLiteral("Formats"), panel);
    formats->setObjectName(QStringLiteral("ctl2020"));
    grid->addWidget(new QLabel(QStringLiteral("File format:"), panel), 0, 0);
    grid->addWidget(formatText, 0, 1);
    grid->addWidget(new QLabel(QStringLiteral("Resolution:"), panel), 1, 0);
    grid->addWidget(sizeText, 1, 1);
    grid->addWidget(formats, 0, 2, 2, 1);
    grid->setColumnStretch(1, 1);
    // Below the file-type row, across the whole width of the dialog.
    if (auto* g = qobject_cast<QGridLayout*>(dialog.layout())) g->addWidget(panel, g->rowCount(), 0, 1, g->columnCount());
    else if (dialog.layout()) dialog.layout()->addWidget(panel);
    QObject::connect(formats, &QPushButton::clicked, &dialog, [&dialog] { helpShow(&dialog, 9901); });
    QObject::connect(&dialog, &QFileDialog::currentChanged, &dialog, [=](const QString& path) {
        QString f, r;
        if (!imageFileInfoTexts(path, &f, &r)) f.clear(), r.clear();
        formatText->setText(f);
        sizeText->setText(r);
    });
    if (dialog.exec() != QDialog::Accepted) return {};
    return dialog.selectedFiles();
}

} // namespace quillon::ui
