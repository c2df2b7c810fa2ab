#include "ui/preview.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPainter>
#include <QSocketNotifier>
#include <QTimer>
#include <QVBoxLayout>

#include <sys/eventfd.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <vector>

#include "core/convert.h"
#include "core/format.h"
#include "core/image_cache.h"
#include "core/resize.h"
#include "processing/blur.h"
#include "processing/colour_adjust.h"
#include "processing/geometry.h"
#include "ui/ui_kit.h"

namespace quillon::ui {

double previewFitFactor(int w, int h, uint32_t iw, uint32_t ih)
{
    if (w <= 0 || h <= 0 || iw == 0 || ih == 0) return 1.0;
    if (iw <= uint32_t(w) && ih <= uint32_t(h)) return 1.0;
    if (uint64_t(iw) * uint64_t(h) < uint64_t(ih) * uint64_t(w)) return double(h) / ih;
    return double(w) / iw;
}

namespace {

// The first frame of an animation placed on its canvas, as a player shows
// it; null for a still image or a frame that fills its canvas.
Ref<Image> animationCanvas(const Image* frame)
{
    const FrameInfo& f = frame->frameInfo;
    // A page of a document has no canvas; decoding may leave out the
    // further frames, so a frame's own canvas tells an animation.
    if (f.duration == kPageEndDuration) return {};
    const uint32_t w = std::max(frame->width, f.canvasWidth), h = std::max(frame->height, f.canvasHeight);
    if (w == frame->width && h == frame->height && f.x == 0 && f.y == 0) return {};
    Ref<Image> canvas = Ref<Image>::adopt(imageCreate(PF_RGBA8, packSize(w, h)));
    Ref<Image> top = Ref<Image>::adopt(imageConvertNew(frame, false, false, PF_RGBA8));
    if (!canvas || !top) return {};
    canvas->alphaKind = frame->alphaKind;
    imageFillRectArgb(canvas.get(), 0, packSize(w, h), f.backgroundColour);
    const bool blend = f.blend != 0 && frame->alphaKind != ALPHA_NONE;
    for (uint32_t y = 0; y < top->height; ++y) {
        const int64_t cy = int64_t(f.y) + y;
        if (cy < 0 || cy >= int64_t(h)) continue;
        const Rgba8* s = top->row<Rgba8>(y);
        Rgba8* d = canvas->row<Rgba8>(uint32_t(cy));
        for (uint32_t x = 0; x < top->width; ++x) {
            const int64_t cx = int64_t(f.x) + x;
            if (cx < 0 || cx >= int64_t(w)) continue;
            Rgba8& o = d[cx];
            if (!blend || s[x].a == 255) {
                o = s[x];
                continue;
            }
            if (s[x].a == 0) continue;
            // Straight alpha "over": the result's alpha and colour.
            const uint32_t sa = s[x].a, da = o.a * (255 - sa) / 255, a = sa + da;
            o.r = uint8_t((s[x].r * sa + o.r * da + a / 2) / a);
            o.g = uint8_t((s[x].g * sa + o.g * da + a / 2) / a);
            o.b = uint8_t((s[x].b * sa + o.b * da + a / 2) / a);
            o.a = uint8_t(a);
        }
    }
    return canvas;
}

} // namespace

ResultCode previewProcess(Ref<Image>& out, const Image* source, ImageReader* alpha,
                          const AdjustmentSettings* adjustments, const AbortFlag* cancel)
{
    out.reset();
    if (!source) return RC_INVALID_PARAMETER;
    // The source may be the cache's image: every step works on a copy of the
    // first frame alone. Palette images are shown through their colours.
    PixelFormat format = source->pixelFormat == PF_INDEXED8 ? PF_RGBA8 : PF_SAME;
    Ref<Image> work = Ref<Image>::adopt(imageConvertNew(source, false, false, format));
    if (!work) return RC_OUT_OF_MEMORY;
    if (Ref<Image> canvas = animationCanvas(work.get())) work = std::move(canvas);
    const AdjustmentSettings neutral;
    const AdjustmentSettings& a = adjustments ? *adjustments : neutral;
    auto stopped = [&] { return aborted(cancel); };

    // The batch's order: sharpening, then orientation, then colour.
    if (a.sharpness != 0 && !stopped()) {
        Ref<Image> next = Ref<Image>::adopt(imageCreate(work->pixelFormat, work->size()));
        if (next && succeeded(imageSharpen(next.get(), work.get(), 7, a.sharpness))) work = std::move(next);
    }
    if (a.orientation != 0 && !stopped()) {
        const bool swap = (a.orientation & 1) != 0;
        uint64_t size = swap ? packSize(work->height, work->width) : work->size();
        Ref<Image> next = Ref<Image>::adopt(imageCreate(work->pixelFormat, size));
        if (next && succeeded(imageRotateFlip(next.get(), work.get(), a.orientation))) {
            next->alphaKind = work->alphaKind;
            work = std::move(next);
        }
    }
    if (a.colourCount > 0 && !stopped()) imageColorAdjust(work.get(), work.get(), a);
    if ((a.crop[0] | a.crop[1] | a.crop[2] | a.crop[3]) && !stopped()) {
        uint32_t x = a.crop[0], y = a.crop[1], w = a.crop[2], h = a.crop[3];
        if (x < work->width && y < work->height && w && h && w <= work->width - x && h <= work->height - y) {
            Ref<Image> next = Ref<Image>::adopt(imageCreate(work->pixelFormat, packSize(w, h)));
            if (next && succeeded(imageCropCopy(next.get(), work.get(), packSize(x, y)))) {
                next->alphaKind = work->alphaKind;
                work = std::move(next);
            }
        }
    }
    if (alpha && !stopped()) {
        Image* slot = work.release();
        // A mask that cannot be applied leaves the picture as it was.
        imageApplyAlphaMask(&slot, alpha, &imageCache());
        work = Ref<Image>::adopt(slot);
    }
    if (stopped()) return RC_CANCELLED;
    out = std::move(work);
    return RC_OK;
}

QImage previewToQImage(const Image* image)
{
    if (!image || image->width == 0 || image->height == 0) return {};
    Ref<Image> rgba;
    const Image* src = image;
    if (image->pixelFormat != PF_RGBA8) {
        rgba = Ref<Image>::adopt(imageConvertNew(image, false, false, PF_RGBA8));
        if (!rgba) return {};
        src = rgba.get();
    }
    const bool premultiplied = image->alphaKind == ALPHA_PREMULTIPLIED;
    QImage out(int(src->width), int(src->height),
               premultiplied ? QImage::Format_ARGB32_Premultiplied : QImage::Format_ARGB32);
    if (out.isNull()) return {};
    for (uint32_t y = 0; y < src->height; ++y) {
        const Rgba8* s = src->row<Rgba8>(y);
        auto* d = reinterpret_cast<QRgb*>(out.scanLine(int(y)));
        for (uint32_t x = 0; x < src->width; ++x) {
            uint8_t alphaValue = image->alphaKind == ALPHA_NONE ? 255 : s[x].a;
            d[x] = qRgba(s[x].r, s[x].g, s[x].b, alphaValue);
        }
    }
    return out;
}

// ---------------------------------------------------------------- control

PreviewControl::PreviewControl(QWidget* parent) : QPushButton(parent)
{
    setFlat(true);
    setAutoDefault(false);
    setMinimumSize(200, 150);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    setCursor(Qt::PointingHandCursor);
}

void PreviewControl::setPicture(const QImage& picture)
{
    picture_ = picture;
    update();
}

void PreviewControl::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    const QRect r = rect();
    p.fillRect(r, Qt::white);
    if (picture_.isNull()) return;
    const int iw = picture_.width(), ih = picture_.height();
    // Larger than the control: its middle part; smaller: centred.
    const int sx = iw > r.width() ? (iw - r.width()) / 2 : 0;
    const int sy = ih > r.height() ? (ih - r.height()) / 2 : 0;
    const int dx = iw > r.width() ? 0 : (r.width() - iw) / 2;
    const int dy = ih > r.height() ? 0 : (r.height() - ih) / 2;
    p.drawImage(QPoint(r.x() + dx, r.y() + dy), picture_,
                QRect(sx, sy, std::min(iw, r.width()), std::min(ih, r.height())));
}

// ------------------------------------------------------------------- page

// One activation's loading: created on activation, handed to the loader,
// torn down when the page is left. The loader gets a plain pointer: leaving
// the page always cancels, wakes and waits for it before anything here goes,
// and the task group, declared first, is destroyed last.
struct PreviewPage::Load {
    TaskGroup tasks;
    AbortFlag cancel{0};
    // Exists before the loader is scheduled, so that leaving can always wake
    // a loader that waits for the read-ahead.
    Ref<CacheNotify> signal;
    // The loader's alone once it is scheduled; it closes them when done.
    Ref<ImageReader> reader;
    Ref<ImageReader> alpha;
    std::unique_ptr<AdjustmentSettings> adjustments;
    int wake = -1;
    std::mutex lock;
    // Under lock: the control's size, which the page learns only once the
    // sheet has laid it out, often after the decode has started.
    QSize area;
    bool areaSet = false;
    std::condition_variable areaKnown;
    // Under lock: the finished picture and the decoded image as decoded.
    QImage picture;
    bool finished = false;
    Ref<Image> decoded;
};

namespace {

// Tells the page's thread that a picture is there: a write to an event
// descriptor, which the sanitizers see as the hand-off it is (a posted Qt
// event synchronises inside Qt, where they cannot look).
void previewWake(int fd)
{
    if (fd < 0) return;
    const uint64_t one = 1;
    // Fails only when the counter is full, which wakes the page anyway.
    [[maybe_unused]] ssize_t written = ::write(fd, &one, sizeof one);
}

// The picture of one load, and the decoded image it was made from; a null
// picture when the file cannot be shown or the load is cancelled.
QImage previewLoadPicture(PreviewPage::Load& load, Ref<Image>& decoded)
{
    if (aborted(&load.cancel)) return {};
    ImageCache* cache = &imageCache();
    // The cache's read-ahead decodes the file, so a decode already under way
    // for the batch or an earlier preview is shared.
    if (imageCacheRequest(cache, load.reader->fileName(), 0, false, load.signal.get(), nullptr))
        load.signal->event.wait();
    if (aborted(&load.cancel)) return {};
    Image* image = nullptr;
    ResultCode rc = imageCacheGetOrDecode(cache, &image, load.reader.get(), nullptr, &load.cancel);
    decoded = Ref<Image>::adopt(image);
    if (failed(rc) || !decoded || aborted(&load.cancel)) return {};
    if (const auto& hook = previewLoaderHook()) hook(&load.cancel);

    Ref<Image> shown;
    rc = previewProcess(shown, decoded.get(), load.alpha.get(), load.adjustments.get(), &load.cancel);
    if (failed(rc)) return {};
    QSize area;
    {
        std::unique_lock<std::mutex> hold(load.lock);
        load.areaKnown.wait(hold, [&] { return load.areaSet || aborted(&load.cancel); });
        area = load.area;
    }
    if (aborted(&load.cancel)) return {};
    double factor = previewFitFactor(area.width(), area.height(), shown->width, shown->height);
    if (factor != 1.0) {
        uint32_t w = std::max<uint32_t>(1, uint32_t(shown->width * factor + 0.5));
        uint32_t h = std::max<uint32_t>(1, uint32_t(shown->height * factor + 0.5));
        Ref<Image> scaled = Ref<Image>::adopt(imageCreate(shown->pixelFormat, packSize(w, h)));
        if (scaled && succeeded(imageResample(scaled.get(), shown.get(), 0, &load.cancel))) shown = std::move(scaled);
    }
    return previewToQImage(shown.get());
}

void previewLoadTask(PreviewPage::Load& load)
{
    Ref<Image> decoded;
    QImage picture = previewLoadPicture(load, decoded);
    // The files are closed as soon as they are read.
    load.reader.reset();
    load.alpha.reset();
    if (picture.isNull() || aborted(&load.cancel)) return;
    {
        std::lock_guard<std::mutex> hold(load.lock);
        load.picture = std::move(picture);
        load.finished = true;
        load.decoded = std::move(decoded);
    }
    previewWake(load.wake);
}

} // namespace

std::function<void(const AbortFlag*)>& previewLoaderHook()
{
    static std::function<void(const AbortFlag*)> hook;
    return hook;
}

PreviewPage::PreviewPage(FileSheet& sheet, FileEntry& entry) : SheetPage(sheet, entry)
{
    control_ = new PreviewControl(this);
    controls().add(1219, control_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(control_);
    connect(control_, &QPushButton::clicked, this, [this] {
        // The desktop picks a program by the name, and a file accepted by
        // its content may be named as anything.
        if (formatFindByExtension(entry_.path, false) >= 0) shellOpen(pathToQString(entry_.path));
    });
    wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_ >= 0) {
        auto* watch = new QSocketNotifier(qintptr(wake_), QSocketNotifier::Read, this);
        connect(watch, &QSocketNotifier::activated, this, &PreviewPage::woken);
        wakeWatch_ = watch;
    } else {
        auto* poll = new QTimer(this);
        poll->setInterval(40);
        connect(poll, &QTimer::timeout, this, &PreviewPage::woken);
        wakeWatch_ = poll;
    }
}

PreviewPage::~PreviewPage()
{
    left();
    // The watcher goes before the descriptor it watches.
    delete wakeWatch_;
    if (wake_ >= 0) ::close(wake_);
}

bool PreviewPage::loading() const { return load_ != nullptr; }

void PreviewPage::woken()
{
    if (wake_ >= 0) {
        // Empties the counter; a load left meanwhile finds nothing to show.
        uint64_t count;
        [[maybe_unused]] ssize_t got = ::read(wake_, &count, sizeof count);
    }
    collect();
}

void PreviewPage::activated()
{
    sheetLastPage() = SHEET_PREVIEW;
    left();
    auto load = std::make_shared<Load>();
    // The sheet's unconfirmed changes count.
    if (entry_.adjustments) load->adjustments = std::make_unique<AdjustmentSettings>(*entry_.adjustments);
    adjustPageReadControls(sheet_.page(SHEET_ADJUSTMENTS), load->adjustments);
    QString alphaPath;
    if (SheetPage* info = sheet_.page(SHEET_FILE_INFO)) {
        ControlMap& c = info->controls();
        if (c.check(1203)->isChecked()) alphaPath = c.edit(1204)->text();
        int o = c.selData(1206, 0) & 3;
        if (c.check(1207)->isChecked()) o ^= 8;
        if (c.check(1208)->isChecked()) o ^= 4;
        if (o || load->adjustments) {
            if (!load->adjustments) load->adjustments = std::make_unique<AdjustmentSettings>();
            load->adjustments->setOrientation(uint8_t(o));
        }
    } else if (!entry_.alphaFilePath.empty()) {
        alphaPath = pathToQString(entry_.alphaFilePath);
    }
    control_->setPicture(QImage());
    if (failed(imageFileOpen(load->reader, entry_.path, true))) return;
    // A missing or unreadable alpha file is reported by the first page on OK.
    std::error_code ec;
    if (!alphaPath.isEmpty() && std::filesystem::exists(qStringToPath(alphaPath), ec))
        imageFileOpen(load->alpha, qStringToPath(alphaPath), true);
    load->wake = wake_;
    load->signal = Ref<CacheNotify>::adopt(new CacheNotify);
    load_ = load;
    if (auto* poll = qobject_cast<QTimer*>(wakeWatch_)) poll->start();
    Load* raw = load.get();
    load->tasks.run([raw] { previewLoadTask(*raw); });
    tellArea(false);
}

namespace {

// Lays out at once, from the window down, the widgets whose layout waits
// for the event loop: a page just put into a shown sheet is one of them.
void settleLayouts(QWidget* widget)
{
    std::vector<QWidget*> chain;
    for (QWidget* w = widget; w; w = w->isWindow() ? nullptr : w->parentWidget()) chain.push_back(w);
    for (auto w = chain.rbegin(); w != chain.rend(); ++w)
        if (QLayout* layout = (*w)->layout()) layout->activate();
}

} // namespace

void PreviewPage::tellArea(bool evenHidden)
{
    if (!load_ || (!evenHidden && !control_->window()->isVisible())) return;
    settleLayouts(control_);
    QSize area = control_->contentsRect().size();
    if (area.width() < 16 || area.height() < 16) area = control_->minimumSize();
    std::lock_guard<std::mutex> hold(load_->lock);
    if (load_->areaSet) return;
    load_->area = area;
    load_->areaSet = true;
    load_->areaKnown.notify_all();
}

void PreviewPage::sheetShown() { tellArea(false); }

void PreviewPage::waitForLoader()
{
    if (!load_) return;
    tellArea(true);
    std::unique_lock<std::mutex> hold(load_->lock);
    const bool done = load_->finished;
    hold.unlock();
    if (!done) {
        // Only tests come here before the loader has finished.
        load_->tasks.wait();
    }
    collect();
}

void PreviewPage::collect()
{
    if (!load_) return;
    std::lock_guard<std::mutex> hold(load_->lock);
    if (!load_->finished) return;
    if (auto* poll = qobject_cast<QTimer*>(wakeWatch_)) poll->stop();
    if (control_->picture().isNull()) control_->setPicture(load_->picture);
}

void PreviewPage::left()
{
    // The picture shown belongs to the load being left; coming back loads
    // the file again with the sheet's settings of then.
    control_->setPicture(QImage());
    if (auto* poll = qobject_cast<QTimer*>(wakeWatch_)) poll->stop();
    std::shared_ptr<Load> load = std::move(load_);
    load_.reset();
    if (!load) return;
    load->cancel.store(1);
    if (load->signal) load->signal->event.set();
    {
        std::lock_guard<std::mutex> hold(load->lock);
        load->areaKnown.notify_all();
    }
    load->tasks.wait();
    std::lock_guard<std::mutex> hold(load->lock);
    // Only the image as it was decoded goes to the cache.
    if (load->decoded && load->decoded->info()) imageCacheInsert(&imageCache(), load->decoded.get(), false);
    load->decoded.reset();
    load->picture = QImage();
    load->adjustments.reset();
}

SheetPage* previewPageCreate(FileSheet& sheet, FileEntry& entry) { return new PreviewPage(sheet, entry); }

} // namespace quillon::ui
