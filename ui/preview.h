#pragma once
// The sheet's "Preview" page: the file as the batch would turn it, with the
// sheet's unconfirmed changes, decoded and processed on a background task of
// the page's own and drawn centred on white. Leaving the page stops and waits
// for that task, then offers the cache the decoded image exactly as it was
// decoded; everything the preview changes is a private copy.
#include <QImage>
#include <QPushButton>

#include <functional>
#include <memory>

#include "core/image.h"
#include "core/image_reader.h"
#include "platform/refcount.h"
#include "processing/adjustment_settings.h"
#include "ui/file_sheet.h"

namespace quillon::ui {

// The scale that fits an image of iw x ih into w x h keeping its aspect
// ratio; 1.0 when it fits already.
double previewFitFactor(int w, int h, uint32_t iw, uint32_t ih);

// The first frame of `source` processed into a new image (source untouched):
// sharpening, orientation, colour, crop and the alpha plane of `alpha` (may
// be null). A step that fails is left out. RC_CANCELLED when `cancel` is set.
ResultCode previewProcess(Ref<Image>& out, const Image* source, ImageReader* alpha,
                          const AdjustmentSettings* adjustments, const AbortFlag* cancel);

// A copy of the image in 8-bit ARGB for drawing; a null image on failure.
QImage previewToQImage(const Image* image);

// The picture control: draws the finished preview centred, the middle part
// when it is larger; white until then.
class PreviewControl : public QPushButton {
    Q_OBJECT
public:
    explicit PreviewControl(QWidget* parent);
    void setPicture(const QImage& picture);
    const QImage& picture() const { return picture_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QImage picture_;
};

class PreviewPage final : public SheetPage {
    Q_OBJECT
public:
    PreviewPage(FileSheet& sheet, FileEntry& entry);
    ~PreviewPage() override;

    void activated() override;
    void left() override;
    void sheetShown() override;

    PreviewControl* control() const { return control_; }
    // True while a loader has been scheduled and has not been waited for.
    bool loading() const;
    // Waits for the loader and shows its result (tests; the page itself
    // never blocks on it). A page whose sheet was never shown fits the
    // picture to the control as it stands.
    void waitForLoader();
    // Shows the loader's picture once it is there.
    void collect();

    struct Load;

private:
    void woken();
    // Hands the loader the control's size once the sheet shows it laid
    // out; with evenHidden, whatever size it has now.
    void tellArea(bool evenHidden);

    PreviewControl* control_;
    std::shared_ptr<Load> load_;
    // The loader never calls into Qt: it hands its picture over under the
    // load's lock and then only writes to this descriptor, which the page
    // watches on its own thread. Without one the page looks for the picture
    // on a timer instead.
    int wake_ = -1;
    QObject* wakeWatch_ = nullptr;
};

SheetPage* previewPageCreate(FileSheet& sheet, FileEntry& entry);

// Tests only: when set, the loader calls it with its cancel flag once the
// file is decoded and before it is processed, so that a test can leave the
// page while the loader is at work.
std::function<void(const AbortFlag* cancel)>& previewLoaderHook();

} // namespace quillon::ui
