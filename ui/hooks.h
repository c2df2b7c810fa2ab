#pragma once
// Every modal interaction of the program goes through these hooks. In the
// program they are empty and the real dialogs run; tests install scripted
// answers and record what was asked.
#include <QColor>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>
#include <vector>

class QWidget;

namespace quillon {
struct FileEntry;
}

namespace quillon::ui {

struct MsgButton {
    QString label;
    int32_t value;
};

struct FileDialogRequest {
    bool save = false;
    bool multiSelect = false;
    QString title;
    QString startFolder;
    QStringList filters;  // "Description (*.a *.b)"
    int filterIndex = 0;
    QString okLabel;
    QString fileName;
};

struct FileDialogResult {
    bool accepted = false;
    QStringList paths;
    int filterIndex = 0;
};

struct UiHooks {
    std::function<int32_t(QWidget* owner, const QString& text, const QString& caption,
                          const std::vector<MsgButton>& buttons, int32_t closeValue)>
        msgBox;
    std::function<FileDialogResult(QWidget* owner, const FileDialogRequest& request)> fileDialog;
    std::function<std::optional<QString>(QWidget* owner, const QString& prompt, const QString& start)> browseFolder;
    std::function<std::optional<QColor>(QWidget* owner, const QColor& initial)> chooseColour;
    std::function<bool(const QString& target)> shellOpen;
    std::function<void(int topic)> helpShow;
    // Ends the program at once, leaving its settings as they were stored.
    std::function<void()> quitWithoutSaving;
    // The per-file sheet for one entry at a start page; true when confirmed.
    std::function<bool(QWidget* owner, FileEntry& entry, int startPage)> fileSheet;
};

// The process-wide hooks; tests reset them between cases.
UiHooks& uiHooks();

} // namespace quillon::ui
