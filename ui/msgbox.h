#pragma once
// The program's own message box: a fixed-size box with an icon, the text set
// lower when it is short, and one to four buttons with standard or custom
// labels, each as wide as its label needs (the box grows when they must).
#include <QDialog>
#include <QString>

#include <vector>

#include "ui/hooks.h"

class QPushButton;

namespace quillon::ui {

// Message box styles and answers (the values callers compare against).
constexpr uint32_t MB_OK = 0, MB_OKCANCEL = 1, MB_ABORTRETRYIGNORE = 2, MB_YESNOCANCEL = 3, MB_YESNO = 4,
                   MB_RETRYCANCEL = 5;
constexpr uint32_t MB_DEFBUTTON2 = 0x100, MB_DEFBUTTON3 = 0x200;
constexpr uint32_t MB_ICONEXCLAMATION = 0x30, MB_ICONQUESTION = 0x20, MB_ICONINFORMATION = 0x40,
                   MB_ICONERROR = 0x10;
constexpr int32_t IDOK = 1, IDCANCEL = 2, IDABORT = 3, IDRETRY = 4, IDIGNORE = 5, IDYES = 6, IDNO = 7;

// Shows the box modally. Returns the value of the button pressed, or
// closeValue when the box is closed without one (close box, Esc without a
// "Cancel" button); closeValue -1 stands for the first button's value.
int32_t msgBoxCustom(QWidget* owner, const QString& text, const QString& caption,
                     const std::vector<MsgButton>& buttons, int32_t closeValue);
// The standard button sets. Closing a box whose set has a No or Cancel
// answers that, never Yes, OK or Retry.
int32_t msgBox(QWidget* owner, const QString& text, const QString& caption, uint32_t style);

// The text placed behind leading line breaks so that short texts sit lower.
QString msgBoxLayoutText(const QString& text);

// The dialog itself, exposed for tests that drive the real widget.
class MsgBoxDialog : public QDialog {
    Q_OBJECT
public:
    MsgBoxDialog(QWidget* owner, const QString& text, const QString& caption, const std::vector<MsgButton>& buttons);
    // The id of the control that ended the box: 5001-5004 for the buttons,
    // 5005 when it was closed without one.
    int endedWith() const { return endedWith_; }
    QPushButton* button(int i) const { return buttons_[size_t(i)]; }
    int buttonCount() const { return int(buttons_.size()); }

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void reject() override;

private:
    std::vector<QPushButton*> buttons_;
    int endedWith_ = 5005;
};

} // namespace quillon::ui
