#pragma once
// The wizard: one window holding six pages addressed by position, with Back,
// Next, Finish, Cancel and Help. Pages decide where Next and Back lead; the
// frame only moves, relabels its buttons and titles itself after the page.
#include <QDialog>
#include <QHash>
#include <QPointer>

#include <functional>

#include "app/wizard_nav.h"

class QPushButton;
class QStackedWidget;
class QCheckBox;
class QComboBox;
class QLineEdit;
class QSlider;

namespace quillon::ui {

class WizardFrame;

// Buttons a page shows (bits as the platform's wizard used them).
enum WizardButtons : int { WIZB_BACK = 1, WIZB_NEXT = 2, WIZB_FINISH = 4, WIZB_DISABLEDFINISH = 8 };

// Where a page's Next or Back handler sends the wizard.
constexpr int WIZ_STAY = -1;
constexpr int WIZ_NEIGHBOUR = -2;

// Controls registered under their ids; tests and handlers find them by id.
class ControlMap {
public:
    void add(int id, QWidget* widget);
    QWidget* get(int id) const { return controls_.value(id); }
    QCheckBox* check(int id) const;
    QComboBox* combo(int id) const;
    QLineEdit* edit(int id) const;
    QSlider* slider(int id) const;
    QPushButton* button(int id) const;
    // The leading integer of a text control ("75 %" reads 75); dflt when none.
    int getInt(int id, int dflt) const;
    // The data of the selected combo entry, or dflt.
    int selData(int id, int dflt) const;
    // Setters that run no handler: handlers hang on user signals only.
    void setChecked(int id, bool on);
    void setText(int id, const QString& text);
    void setEnabled(int id, bool on);
    void selectData(int id, int data);

private:
    QHash<int, QWidget*> controls_;
};

class WizardPage : public QWidget {
    Q_OBJECT
public:
    WizardPage(int index, QWidget* parent = nullptr);
    int pageIndex() const { return index_; }
    WizardFrame* frame() const { return frame_; }
    ControlMap& controls() { return controls_; }

    // The private commands.
    virtual void settingsToControls() {}
    virtual void controlsToSettings() {}
    virtual void updateControlStates() {}
    virtual void parseCommandLine() {}
    // A user action on control `id` (clicks, choices, edits; never a value
    // set by code).
    virtual void onCommand(int id) { (void)id; }
    // First activation, before the settings are loaded.
    virtual void onInit() {}
    // After the frame made the page visible and loaded its settings.
    virtual void onActivated() {}
    // Next and Back: a page index, WIZ_STAY or WIZ_NEIGHBOUR.
    virtual int onNext();
    virtual int onBack();
    // Cancel or the close box: true lets the wizard close.
    virtual bool queryCancel() { return true; }
    // Finish ("New batch" on the last page).
    virtual void onFinish() {}
    // The buttons shown while the page is active.
    virtual int buttons() const;

protected:
    // Wires a widget's user signals to onCommand(id) and registers it.
    void addControl(int id, QWidget* widget);

private:
    friend class WizardFrame;
    int index_;
    WizardFrame* frame_ = nullptr;
    bool initialised_ = false;
    ControlMap controls_;
};

class WizardFrame : public QDialog {
    Q_OBJECT
public:
    explicit WizardFrame(QWidget* parent = nullptr);
    // Adds the pages in order; they must be created with indexes 0..5.
    void addPage(WizardPage* page);
    WizardPage* page(int index) const;
    WizardPage* currentPage() const;
    int currentIndex() const;

    // The settings that decide the page sequence.
    std::function<NavSettings()> navSettings;
    NavSettings nav() const { return navSettings ? navSettings() : NavSettings{}; }
    // In silent mode option pages leave themselves as soon as they show.
    bool silent = false;

    // Moves to a page and activates it.
    void setCurrentPage(int index);
    // Presses a button later, from the event loop (as a posted press would).
    void pressNextLater();
    void pressCancelLater();
    void pressNext();
    void pressBack();
    void pressCancel();
    void pressFinish();

    // What an active page sets on the frame.
    void setButtons(int flags);
    void setNextText(const QString& text);
    void setFinishText(const QString& text);
    void setCancelText(const QString& text);
    void setBackEnabled(bool on);
    // Re-runs the common activation steps (buttons, Next text, title) for the
    // current page, when a choice on it changes what follows.
    void refreshActivation();

    QPushButton* backButton() const { return back_; }
    QPushButton* nextButton() const { return next_; }
    QPushButton* finishButton() const { return finish_; }
    QPushButton* cancelButton() const { return cancel_; }
    QPushButton* helpButton() const { return help_; }

Q_SIGNALS:
    void pageActivated(int index);

protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void reject() override;

private:
    void activate(WizardPage* page);

    QStackedWidget* stack_;
    QPushButton *back_, *next_, *finish_, *cancel_, *help_;
    std::vector<WizardPage*> pages_;
    bool closing_ = false;
    bool activatedOnce_ = false;
};

} // namespace quillon::ui
