#include "ui/ui_kit.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>
#include <QUrl>
#include <QWidget>

#include "app/app_paths.h"
#include "app/formats_help.h"
#include "core/format.h"
#include "core/text.h"
#include "ui/hooks.h"

namespace quillon::ui {

UiHooks& uiHooks()
{
    static UiHooks hooks;
    return hooks;
}

void applyDialogColours(QWidget* widget)
{
    QPalette pal = widget->palette();
    pal.setColor(QPalette::Window, dialogBackground());
    widget->setPalette(pal);
    widget->setAutoFillBackground(true);
}

void setTitleStyle(QLabel* label)
{
    QPalette pal = label->palette();
    pal.setColor(QPalette::WindowText, titleColour());
    label->setPalette(pal);
    QFont f = label->font();
    f.setBold(true);
    label->setFont(f);
}

void setHintStyle(QLabel* label)
{
    QPalette pal = label->palette();
    pal.setColor(QPalette::WindowText, hintColour());
    label->setPalette(pal);
}

namespace {

QPixmap drawIcon(int size)
{
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal s = size;
    // Two overlapping picture frames: one converted into another.
    p.setPen(QPen(QColor(0, 70, 213), s / 16.0));
    p.setBrush(QColor(220, 240, 255));
    p.drawRoundedRect(QRectF(s * 0.06, s * 0.06, s * 0.62, s * 0.62), s * 0.08, s * 0.08);
    p.setBrush(QColor(255, 214, 120));
    p.drawRoundedRect(QRectF(s * 0.32, s * 0.32, s * 0.62, s * 0.62), s * 0.08, s * 0.08);
    QPainterPath hill;
    hill.moveTo(s * 0.36, s * 0.88);
    hill.lineTo(s * 0.55, s * 0.6);
    hill.lineTo(s * 0.7, s * 0.76);
    hill.lineTo(s * 0.78, s * 0.66);
    hill.lineTo(s * 0.9, s * 0.88);
    hill.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(46, 139, 87));
    p.drawPath(hill);
    return pm;
}

} // namespace

QIcon appIcon()
{
    static QIcon icon = [] {
        QIcon i;
        for (int s : {16, 20, 24, 32, 48, 64, 128}) i.addPixmap(drawIcon(s));
        return i;
    }();
    return icon;
}

void dialogSetIcons(QWidget* window) { window->setWindowIcon(appIcon()); }

int iconTier(int metric)
{
    if (metric <= 16) return 16;
    if (metric <= 20) return 20;
    if (metric <= 24) return 24;
    if (metric <= 32) return 32;
    return 48;
}

QString pathToQString(const std::filesystem::path& path) { return QString::fromStdU16String(pathToU16(path)); }

std::filesystem::path qStringToPath(const QString& text) { return u16ToPath(text.toStdU16String()); }

QUrl fileUrl(const std::filesystem::path& path)
{
    const std::string& bytes = path.native();
    QByteArray address("file://");
    address += QByteArray(bytes.data(), qsizetype(bytes.size())).toPercentEncoding("/");
    return QUrl::fromEncoded(address, QUrl::StrictMode);
}

std::filesystem::path localFileOf(const QUrl& url)
{
    if (!url.isLocalFile()) return {};
    // The encoded form keeps a %XX that is not UTF-8 as it is; the decoded
    // one would have replaced it.
    const QByteArray bytes = QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1());
    return std::filesystem::path(std::string(bytes.constData(), size_t(bytes.size())));
}

int pumpMessages()
{
    if (QCoreApplication::closingDown()) return 0;
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    return QCoreApplication::closingDown() ? 0 : 1;
}

bool shellOpen(const QString& target)
{
    if (auto& hook = uiHooks().shellOpen) return hook(target);
    QUrl url = target.startsWith(u'/') ? fileUrl(qStringToPath(target)) : QUrl::fromUserInput(target);
    return QDesktopServices::openUrl(url);
}

QString helpPagePath(int topic)
{
    if (topic == 0) topic = 9900;
    if (topic == 9901) {
        // The list of formats comes from the registry of this very program.
        QString folder = QStandardPaths::writableLocation(QStandardPaths::CacheLocation);
        if (folder.isEmpty()) folder = QDir::tempPath();
        QDir().mkpath(folder);
        QString path = folder + QStringLiteral("/formats.html");
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return QString();
        std::string html = formatsHelpHtml(formatRegistry());
        file.write(html.data(), qint64(html.size()));
        return path;
    }
    std::filesystem::path page = appFolder() / "help" / (std::to_string(topic) + ".html");
    std::error_code ec;
    return std::filesystem::exists(page, ec) ? pathToQString(page) : QString();
}

void helpShow(QWidget*, int topic)
{
    if (topic == 0) topic = 9900;
    if (auto& hook = uiHooks().helpShow) {
        hook(topic);
        return;
    }
    QString page = helpPagePath(topic);
    if (page.isEmpty()) return;
    QDesktopServices::openUrl(page.startsWith(u'/') ? fileUrl(qStringToPath(page)) : QUrl::fromLocalFile(page));
}

bool browseForFolder(QWidget* owner, const QString& prompt, QString& path, bool useStartFolder)
{
    QString start = useStartFolder ? path : QString();
    if (useStartFolder && start.size() > 1 && start.endsWith(u'/')) start.chop(1);
    std::optional<QString> chosen;
    if (auto& hook = uiHooks().browseFolder) {
        chosen = hook(owner, prompt, start);
    } else {
        QFileDialog dialog(owner, prompt, start);
        dialog.setOption(QFileDialog::DontUseNativeDialog);
        dialog.setFileMode(QFileDialog::Directory);
        dialog.setOption(QFileDialog::ShowDirsOnly);
        dialogSetIcons(&dialog);
        if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
            chosen = dialog.selectedFiles().front();
    }
    if (!chosen || chosen->isEmpty()) return false;
    path = *chosen;
    return true;
}

} // namespace quillon::ui
