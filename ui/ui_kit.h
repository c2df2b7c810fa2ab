#pragma once
// The small kit every dialog uses: colours, icons, the message pump, opening
// addresses and help, and the folder browser.
#include <QColor>
#include <QIcon>
#include <QString>

#include <filesystem>

class QWidget;
class QLabel;
class QUrl;

namespace quillon::ui {

// RGB(220, 240, 255): the background of every dialog.
inline QColor dialogBackground() { return QColor(220, 240, 255); }
// Section titles and hints.
inline QColor titleColour() { return QColor(0x00, 0x46, 0xD5); }
inline QColor hintColour() { return QColor(0x60, 0x60, 0x60); }

// Paints the widget's background with the dialog colour.
void applyDialogColours(QWidget* widget);
void setTitleStyle(QLabel* label);
void setHintStyle(QLabel* label);

// The program's icon, drawn at every size the desktop asks for.
QIcon appIcon();
void dialogSetIcons(QWidget* window);
// The icon tier for a metric in pixels: 16, 20, 24, 32 or 48.
int iconTier(int metric);

// A path as the controls show it and back. A name's bytes that are not
// UTF-8 survive the round trip (see pathToU16); Qt's own file-name
// conversions would turn them into U+FFFD, so paths never go through them.
QString pathToQString(const std::filesystem::path& path);
std::filesystem::path qStringToPath(const QString& text);
// The file: address of a path, its bytes outside the unreserved ASCII
// characters percent-encoded, so that the address names the very file.
QUrl fileUrl(const std::filesystem::path& path);
// The local file a file: address names, by the bytes its percent-encoding
// stands for; empty for any other address.
std::filesystem::path localFileOf(const QUrl& url);

// Handles pending events; 0 when the application is shutting down.
int pumpMessages();
// Opens an address or file with the desktop's handler; true when accepted.
// An absolute path (as pathToQString gives it) is opened by its bytes.
bool shellOpen(const QString& target);
// Opens help topic `topic` (0 means the general topic 9900) from the help
// pages beside the program; nothing happens when they are missing.
void helpShow(QWidget* owner, int topic);
// The help page of a topic, or an empty string when it is not installed.
QString helpPagePath(int topic);
// A folder chooser; `path` is the start folder (with useStartFolder) and
// receives the choice. True when a folder was chosen.
bool browseForFolder(QWidget* owner, const QString& prompt, QString& path, bool useStartFolder);

} // namespace quillon::ui
