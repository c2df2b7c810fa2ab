#include "ui/processing_page.h"

#include <QApplication>
#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include "core/text.h"
#include "ui/file_dialog.h"
#include "ui/msgbox.h"
#include "ui/ui_kit.h"

namespace quillon::ui {

namespace {
QString qs(std::u16string_view t) { return QString::fromUtf16(t.data(), qsizetype(t.size())); }
} // namespace

ProcessingPage::ProcessingPage(QWidget* parent) : WizardPage(PAGE_PROCESSING, parent)
{
    auto* layout = new QVBoxLayout(this);
    auto* title1 = new QLabel(QStringLiteral(" Currently processing"), this);
    setTitleStyle(title1);
    controls().add(1301, title1);
    layout->addWidget(title1);
    input_ = new QLabel(this);
    output_ = new QLabel(this);
    for (QLabel* l : {input_, output_}) {
        l->setTextFormat(Qt::PlainText);
        l->setMinimumWidth(200);
        l->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    }
    controls().add(700, input_);
    controls().add(701, output_);
    layout->addWidget(input_);
    layout->addWidget(output_);
    layout->addSpacing(12);

    auto* title2 = new QLabel(QStringLiteral(" Batch progress"), this);
    setTitleStyle(title2);
    controls().add(1302, title2);
    layout->addWidget(title2);
    progress_ = new QProgressBar(this);
    progress_->setTextVisible(false);
    controls().add(702, progress_);
    layout->addWidget(progress_);
    status_ = new QLabel(QStringLiteral("Wait..."), this);
    time_ = new QLabel(QStringLiteral("Time: -"), this);
    controls().add(703, status_);
    controls().add(711, time_);
    layout->addWidget(status_);
    layout->addWidget(time_);
    layout->addStretch(1);

    auto* row = new QHBoxLayout;
    auto* exitBox = new QCheckBox(QStringLiteral("Exit when done"), this);
    addControl(710, exitBox);
    auto* minimise = new QPushButton(QStringLiteral("--"), this);
    minimise->setToolTip(QStringLiteral("Minimise"));
    minimise->setAutoDefault(false);
    addControl(709, minimise);
    row->addWidget(exitBox);
    row->addStretch(1);
    row->addWidget(minimise);
    layout->addLayout(row);
}

void ProcessingPage::onInit()
{
    if (exitWhenDone) controls().setChecked(710, *exitWhenDone);
}

void ProcessingPage::onActivated()
{
    input_->clear();
    output_->clear();
    // Start the batch from the event loop, once the page has shown.
    QTimer::singleShot(0, this, [this] {
        if (runBatch) runBatch(*this);
    });
}

void ProcessingPage::onCommand(int id)
{
    if (id == 709) {
        if (QWidget* w = window()) w->showMinimized();
    } else if (id == 710) {
        if (exitWhenDone) *exitWhenDone = controls().check(710)->isChecked();
    }
}

bool ProcessingPage::confirmCancel()
{
    if (msgBox(frame(), QStringLiteral("Are you sure you want to cancel the ongoing batch?"), QStringLiteral("Quillon"),
               MB_YESNO | MB_ICONQUESTION) == IDYES) {
        running_ = false;
        status_->setText(QStringLiteral("Cancelling, please wait..."));
    }
    return false;
}

int ProcessingPage::onBack()
{
    if (running_) {
        confirmCancel();
        return WIZ_STAY;
    }
    return frame() ? wizardBackTarget(PAGE_PROCESSING, frame()->nav()) : WIZ_NEIGHBOUR;
}

bool ProcessingPage::queryCancel()
{
    if (running_) return confirmCancel();
    return true;
}

void ProcessingPage::onFinish()
{
    if (running_ || !frame()) return;
    frame()->setCurrentPage(PAGE_INPUT_FILES);
    if (clearInputList) clearInputList();
}

void ProcessingPage::setInputText(std::u16string_view text)
{
    input_->setText(qs(text));
    input_->repaint();
}

void ProcessingPage::setOutputText(std::u16string_view text)
{
    output_->setText(qs(text));
    output_->repaint();
}

void ProcessingPage::setProgressRange(int32_t total) { progress_->setRange(0, total > 0 ? total : 1); }
void ProcessingPage::setProgress(int32_t done) { progress_->setValue(done); }
void ProcessingPage::setStatus(std::u16string_view text) { status_->setText(qs(text)); }
void ProcessingPage::setTime(std::u16string_view text) { time_->setText(qs(text)); }

void ProcessingPage::setTitle(std::u16string_view text)
{
    if (frame()) frame()->setWindowTitle(qs(text));
}

void ProcessingPage::pumpEvents() { pumpMessages(); }
void ProcessingPage::pumpWhileEncoding() { pumpMessages(); }

void ProcessingPage::setBusy(bool busy)
{
    if (busy == busy_) return;
    busy_ = busy;
    if (busy) QApplication::setOverrideCursor(Qt::WaitCursor);
    else QApplication::restoreOverrideCursor();
}

void ProcessingPage::emptyList()
{
    msgBox(frame(), QStringLiteral("You must add at least one file to the \"Input files\" list!"),
           QStringLiteral("Quillon"), MB_OK | MB_ICONEXCLAMATION);
    if (frame()) frame()->setCurrentPage(PAGE_INPUT_FILES);
}

void ProcessingPage::closeWizard()
{
    if (frame()) frame()->pressCancelLater();
}

void ProcessingPage::batchEnded(bool)
{
    if (!frame()) return;
    frame()->setButtons(WIZB_BACK | WIZB_FINISH);
    frame()->setCancelText(QStringLiteral("Close"));
    QApplication::alert(frame(), 192);
    QApplication::beep();
}

int32_t ProcessingPage::askOverwrite(std::u16string_view text)
{
    // Closing the question must never replace the file.
    int32_t answer = msgBoxCustom(frame(), qs(text), QStringLiteral("Replace existing file?"),
                                  {{QStringLiteral("Replace"), OVERWRITE_REPLACE},
                                   {QStringLiteral("Cancel"), OVERWRITE_CANCEL},
                                   {QStringLiteral("Rename"), OVERWRITE_RENAME},
                                   {QStringLiteral("Replace All"), OVERWRITE_REPLACE_ALL}},
                                  OVERWRITE_CANCEL);
    setFocus();
    return answer;
}

bool ProcessingPage::askRenameTarget(std::filesystem::path& path)
{
    QString chosen = askNewOutputName(frame(), pathToQString(path));
    if (chosen.isEmpty()) return false;
    path = qStringToPath(chosen);
    return true;
}

int32_t ProcessingPage::askContinue(std::u16string_view text, std::u16string_view caption)
{
    return msgBoxCustom(this, qs(text), qs(caption),
                        {{QStringLiteral("Continue..."), ERROR_CONTINUE}, {QStringLiteral("Cancel batch"), ERROR_CANCEL_BATCH}},
                        -1);
}

bool ProcessingPage::askCancelAllRemaining()
{
    return msgBoxCustom(frame(), QStringLiteral("Cancel all files remaining in the batch?"),
                        QStringLiteral("Cancel all remaining?"),
                        {{QStringLiteral("Yes, cancel all"), 1}, {QStringLiteral("No, only this one"), 0}}, -1) == 1;
}

} // namespace quillon::ui
