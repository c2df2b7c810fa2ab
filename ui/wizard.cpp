#include "ui/wizard.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QStackedWidget>
#include <QTimer>
#include <QVBoxLayout>

#include "ui/ui_kit.h"

namespace quillon::ui {

// ---- ControlMap ----

void ControlMap::add(int id, QWidget* widget)
{
    widget->setObjectName(QStringLiteral("ctl%1").arg(id));
    controls_.insert(id, widget);
}

QCheckBox* ControlMap::check(int id) const { return qobject_cast<QCheckBox*>(get(id)); }
QComboBox* ControlMap::combo(int id) const { return qobject_cast<QComboBox*>(get(id)); }
QLineEdit* ControlMap::edit(int id) const { return qobject_cast<QLineEdit*>(get(id)); }
QSlider* ControlMap::slider(int id) const { return qobject_cast<QSlider*>(get(id)); }
QPushButton* ControlMap::button(int id) const { return qobject_cast<QPushButton*>(get(id)); }

int ControlMap::getInt(int id, int dflt) const
{
    QString text;
    if (auto* e = edit(id)) text = e->text();
    else if (auto* c = combo(id)) text = c->currentText();
    else return dflt;
    // Like a "%d" scan: blanks, an optional sign, digits; the rest is ignored.
    std::string s = text.toStdString();
    size_t i = 0;
    while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
    bool neg = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) neg = s[i++] == '-';
    if (i >= s.size() || !std::isdigit(static_cast<unsigned char>(s[i]))) return dflt;
    long long v = 0;
    while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) {
        v = v * 10 + (s[i++] - '0');
        if (v > 0x7FFFFFFF) v = 0x7FFFFFFF;
    }
    return int(neg ? -v : v);
}

int ControlMap::selData(int id, int dflt) const
{
    auto* c = combo(id);
    if (!c || c->currentIndex() < 0) return dflt;
    QVariant d = c->currentData();
    return d.isValid() ? d.toInt() : dflt;
}

void ControlMap::setChecked(int id, bool on)
{
    if (auto* b = qobject_cast<QAbstractButton*>(get(id))) {
        QSignalBlocker block(b);
        b->setChecked(on);
    }
}

void ControlMap::setText(int id, const QString& text)
{
    QWidget* w = get(id);
    if (!w) return;
    QSignalBlocker block(w);
    if (auto* e = qobject_cast<QLineEdit*>(w)) e->setText(text);
    else if (auto* c = qobject_cast<QComboBox*>(w)) c->setEditText(text);
    else if (auto* b = qobject_cast<QAbstractButton*>(w)) b->setText(text);
    else w->setProperty("text", text);
}

void ControlMap::setEnabled(int id, bool on)
{
    if (QWidget* w = get(id)) w->setEnabled(on);
}

void ControlMap::selectData(int id, int data)
{
    if (auto* c = combo(id)) {
        QSignalBlocker block(c);
        int i = c->findData(data);
        c->setCurrentIndex(i);
    }
}

// ---- WizardPage ----

WizardPage::WizardPage(int index, QWidget* parent) : QWidget(parent), index_(index)
{
    applyDialogColours(this);
}

void WizardPage::addControl(int id, QWidget* widget)
{
    controls_.add(id, widget);
    // Only user actions reach the handler; values set by code stay silent.
    if (auto* c = qobject_cast<QComboBox*>(widget)) {
        connect(c, &QComboBox::activated, this, [this, id] { onCommand(id); });
        if (c->isEditable() && c->lineEdit())
            connect(c->lineEdit(), &QLineEdit::textEdited, this, [this, id] { onCommand(id); });
    } else if (auto* b = qobject_cast<QAbstractButton*>(widget)) {
        connect(b, &QAbstractButton::clicked, this, [this, id] { onCommand(id); });
    } else if (auto* e = qobject_cast<QLineEdit*>(widget)) {
        connect(e, &QLineEdit::textEdited, this, [this, id] { onCommand(id); });
    } else if (auto* s = qobject_cast<QSlider*>(widget)) {
        connect(s, &QSlider::sliderMoved, this, [this, id] { onCommand(id); });
        connect(s, &QSlider::actionTriggered, this, [this, id] {
            QTimer::singleShot(0, this, [this, id] { onCommand(id); });
        });
    }
}

int WizardPage::onNext()
{
    controlsToSettings();
    return frame_ ? wizardForwardTarget(index_, frame_->nav()) : WIZ_NEIGHBOUR;
}

int WizardPage::onBack()
{
    controlsToSettings();
    return frame_ ? wizardBackTarget(index_, frame_->nav()) : WIZ_NEIGHBOUR;
}

int WizardPage::buttons() const
{
    if (index_ == PAGE_INPUT_FILES) return WIZB_NEXT;
    if (index_ == PAGE_PROCESSING) return WIZB_BACK | WIZB_DISABLEDFINISH;
    return WIZB_BACK | WIZB_NEXT;
}

// ---- WizardFrame ----

WizardFrame::WizardFrame(QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("wizard"));
    applyDialogColours(this);
    dialogSetIcons(this);
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    setWindowFlag(Qt::WindowMinimizeButtonHint, true);

    stack_ = new QStackedWidget(this);
    back_ = new QPushButton(QStringLiteral("< &Back"), this);
    next_ = new QPushButton(QStringLiteral("Next >"), this);
    finish_ = new QPushButton(QStringLiteral("Finish"), this);
    cancel_ = new QPushButton(QStringLiteral("Cancel"), this);
    help_ = new QPushButton(QStringLiteral("&Help"), this);
    back_->setObjectName(QStringLiteral("wizBack"));
    next_->setObjectName(QStringLiteral("ctl12324"));
    finish_->setObjectName(QStringLiteral("ctl12325"));
    cancel_->setObjectName(QStringLiteral("ctl2"));
    help_->setObjectName(QStringLiteral("wizHelp"));
    for (QPushButton* b : {back_, finish_, cancel_, help_}) b->setAutoDefault(false);
    next_->setDefault(true);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(back_);
    buttons->addWidget(next_);
    buttons->addWidget(finish_);
    buttons->addSpacing(12);
    buttons->addWidget(cancel_);
    buttons->addWidget(help_);
    auto* line = new QFrame(this);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(stack_, 1);
    layout->addWidget(line);
    layout->addLayout(buttons);

    connect(back_, &QPushButton::clicked, this, &WizardFrame::pressBack);
    connect(next_, &QPushButton::clicked, this, &WizardFrame::pressNext);
    connect(finish_, &QPushButton::clicked, this, &WizardFrame::pressFinish);
    connect(cancel_, &QPushButton::clicked, this, &WizardFrame::pressCancel);
    connect(help_, &QPushButton::clicked, this, [this] { helpShow(this, 0); });
    resize(640, 480);
}

void WizardFrame::addPage(WizardPage* page)
{
    page->frame_ = this;
    pages_.push_back(page);
    stack_->addWidget(page);
    // The first page is activated once the event loop runs, unless a caller
    // has already moved to a page: activating that one again would start
    // the processing page's batch a second time.
    if (pages_.size() == 1)
        QTimer::singleShot(0, this, [this] {
            if (currentPage() && !activatedOnce_) activate(currentPage());
        });
}

WizardPage* WizardFrame::page(int index) const
{
    return index >= 0 && index < int(pages_.size()) ? pages_[size_t(index)] : nullptr;
}

WizardPage* WizardFrame::currentPage() const { return qobject_cast<WizardPage*>(stack_->currentWidget()); }

int WizardFrame::currentIndex() const { return stack_->currentIndex(); }

void WizardFrame::setCurrentPage(int index)
{
    WizardPage* p = page(index);
    if (!p) return;
    stack_->setCurrentWidget(p);
    activate(p);
}

void WizardFrame::activate(WizardPage* page)
{
    activatedOnce_ = true;
    if (!page->initialised_) {
        page->initialised_ = true;
        page->onInit();
    }
    refreshActivation();
    page->settingsToControls();
    page->updateControlStates();
    page->onActivated();
    Q_EMIT pageActivated(page->pageIndex());
    int i = page->pageIndex();
    if (silent && i >= PAGE_OUTPUT_OPTIONS && i <= PAGE_INDEX_OPTIONS) pressNextLater();
}

void WizardFrame::refreshActivation()
{
    WizardPage* page = currentPage();
    if (!page) return;
    int i = page->pageIndex();
    setButtons(page->buttons());
    if (i == PAGE_PROCESSING) {
        setFinishText(QStringLiteral("New batch"));
        setCancelText(QStringLiteral("Cancel"));
    } else {
        setNextText(QString::fromStdU16String(wizardNextText(i, nav())));
        setCancelText(QStringLiteral("Cancel"));
    }
    setWindowTitle(QString::fromStdU16String(wizardPageCaption(i)) + QStringLiteral(" - Quillon"));
}

void WizardFrame::setButtons(int flags)
{
    back_->setVisible(true);
    back_->setEnabled(flags & WIZB_BACK);
    bool finish = flags & (WIZB_FINISH | WIZB_DISABLEDFINISH);
    next_->setVisible(!finish);
    next_->setEnabled(flags & WIZB_NEXT);
    finish_->setVisible(finish);
    finish_->setEnabled(flags & WIZB_FINISH);
}

void WizardFrame::setNextText(const QString& text) { next_->setText(text); }
void WizardFrame::setFinishText(const QString& text) { finish_->setText(text); }
void WizardFrame::setCancelText(const QString& text) { cancel_->setText(text); }
void WizardFrame::setBackEnabled(bool on) { back_->setEnabled(on); }

void WizardFrame::pressNextLater()
{
    QTimer::singleShot(0, this, [this] { pressNext(); });
}

void WizardFrame::pressCancelLater()
{
    QTimer::singleShot(0, this, [this] { pressCancel(); });
}

void WizardFrame::pressNext()
{
    WizardPage* p = currentPage();
    if (!p || !next_->isEnabled() || next_->isHidden()) return;
    int target = p->onNext();
    if (target == WIZ_STAY) return;
    if (target == WIZ_NEIGHBOUR) target = p->pageIndex() + 1;
    setCurrentPage(target);
}

void WizardFrame::pressBack()
{
    WizardPage* p = currentPage();
    if (!p || !back_->isEnabled()) return;
    int target = p->onBack();
    if (target == WIZ_STAY) return;
    if (target == WIZ_NEIGHBOUR) target = p->pageIndex() - 1;
    setCurrentPage(target);
}

void WizardFrame::pressFinish()
{
    if (WizardPage* p = currentPage(); p && finish_->isEnabled()) p->onFinish();
}

void WizardFrame::pressCancel()
{
    WizardPage* p = currentPage();
    if (p && !p->queryCancel()) return;
    closing_ = true;
    done(QDialog::Rejected);
}

void WizardFrame::reject() { pressCancel(); }

void WizardFrame::closeEvent(QCloseEvent* event)
{
    if (closing_) {
        event->accept();
        return;
    }
    WizardPage* p = currentPage();
    if (p && !p->queryCancel()) {
        event->ignore();
        return;
    }
    closing_ = true;
    event->accept();
    done(QDialog::Rejected);
}

void WizardFrame::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_F1) {
        helpShow(this, 0);
        return;
    }
    QDialog::keyPressEvent(event);
}

} // namespace quillon::ui
