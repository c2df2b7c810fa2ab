#include "ui/file_sheet.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QTabWidget>
#include <QVBoxLayout>

#include <cmath>
#include <cstdlib>

#include "core/format.h"
#include "core/image_cache.h"
#include "core/image_reader.h"
#include "core/text.h"
#include "ui/hooks.h"
#include "ui/image_open_dialog.h"
#include "ui/msgbox.h"
#include "ui/preview.h"
#include "ui/ui_kit.h"

namespace quillon::ui {

namespace {

QString qs(const char16_t* t) { return t ? QString::fromUtf16(t) : QString(); }
QString qs(const std::u16string& t) { return QString::fromUtf16(t.data(), qsizetype(t.size())); }
std::u16string u16of(const QString& t) { return std::u16string(reinterpret_cast<const char16_t*>(t.utf16()), size_t(t.size())); }

QWidget* messageOwner(QWidget* page)
{
    QWidget* w = page->window();
    return w && w->parentWidget() ? w->parentWidget()->window() : w;
}

QString resultText(ResultCode rc)
{
    const char16_t* t = errorText(rc);
    return t && *t ? qs(t) : QStringLiteral("Unknown error");
}

bool isTicked(ControlMap& c, int id)
{
    QCheckBox* b = c.check(id);
    return b && b->isChecked();
}

// The decoded image of the entry's file as the metadata page sees it: the
// cache's when it holds the file, else a decode on the spot that is not kept.
// A pending read-ahead of the same file is waited for, one of another file
// cancelled, so the background decoder never works on this file meanwhile.
ResultCode decodeForMetadata(const std::filesystem::path& path, Ref<Image>& out)
{
    out.reset();
    Ref<ImageReader> reader;
    ResultCode rc = imageFileOpen(reader, path, true);
    if (failed(rc)) return rc;
    Image* image = nullptr;
    rc = imageCacheGetOrDecode(&imageCache(), &image, reader.get(), nullptr, nullptr);
    Ref<Image> held = Ref<Image>::adopt(image);
    if (failed(rc)) return rc;
    if (!held || !held->info()) return RC_CORRUPT_FILE;
    out = std::move(held);
    return RC_OK;
}

// ------------------------------------------------------------ File info

class FileInfoPage final : public SheetPage {
public:
    FileInfoPage(FileSheet& sheet, FileEntry& entry) : SheetPage(sheet, entry)
    {
        auto* title = new QLabel(QStringLiteral("File information:"), this);
        setTitleStyle(title);
        addControl(1233, title);
        info_ = new QPlainTextEdit(this);
        info_->setReadOnly(true);
        info_->setLineWrapMode(QPlainTextEdit::NoWrap);
        info_->setTabStopDistance(QFontMetricsF(info_->font()).horizontalAdvance(QLatin1Char('x')) * 14);
        addControl(1200, info_);
        auto* nameOn = new QCheckBox(QStringLiteral("File name override:"), this);
        addControl(1201, nameOn);
        auto* name = new QLineEdit(this);
        name->setMaxLength(511);
        addControl(1202, name);
        auto* nameHint = new QLabel(
            QStringLiteral("Type in a name to give the output file a different name than that of the input file."), this);
        nameHint->setWordWrap(true);
        setHintStyle(nameHint);
        addControl(1234, nameHint);
        auto* alphaOn = new QCheckBox(QStringLiteral("Add alpha from:"), this);
        addControl(1203, alphaOn);
        auto* alpha = new QLineEdit(this);
        alpha->setMaxLength(511);
        addControl(1204, alpha);
        auto* browse = new QPushButton(QStringLiteral("..."), this);
        browse->setAutoDefault(false);
        addControl(1205, browse);
        auto* alphaHint = new QLabel(QStringLiteral(
                                         "Here you can choose to add alpha-plane information from a second file (the 2nd "
                                         "file will be converted to a grayscale which is then used as alpha for the output)."),
                                     this);
        alphaHint->setWordWrap(true);
        setHintStyle(alphaHint);
        addControl(1235, alphaHint);
        auto* rotate = new QComboBox(this);
        addControl(1206, rotate);
        auto* mirrorH = new QCheckBox(QStringLiteral("Mirror horizontally"), this);
        addControl(1207, mirrorH);
        auto* mirrorV = new QCheckBox(QStringLiteral("Mirror vertically"), this);
        addControl(1208, mirrorV);

        auto* grid = new QGridLayout(this);
        grid->addWidget(title, 0, 0, 1, 3);
        grid->addWidget(info_, 1, 0, 1, 3);
        grid->addWidget(nameOn, 2, 0);
        grid->addWidget(name, 2, 1, 1, 2);
        grid->addWidget(nameHint, 3, 0, 1, 3);
        grid->addWidget(alphaOn, 4, 0);
        grid->addWidget(alpha, 4, 1);
        grid->addWidget(browse, 4, 2);
        grid->addWidget(alphaHint, 5, 0, 1, 3);
        auto* turn = new QHBoxLayout;
        turn->addWidget(new QLabel(QStringLiteral("Rotate image:"), this));
        turn->addWidget(rotate);
        turn->addWidget(mirrorH);
        turn->addWidget(mirrorV);
        turn->addStretch(1);
        grid->addLayout(turn, 6, 0, 1, 3);
        grid->setRowStretch(1, 1);
        grid->setColumnStretch(1, 1);

        // Loading.
        const bool hasName = !entry_.overrideName.empty();
        nameOn->setChecked(hasName);
        name->setText(qs(entry_.overrideName));
        const bool hasAlpha = !entry_.alphaFilePath.empty();
        alphaOn->setChecked(hasAlpha);
        alpha->setText(hasAlpha ? pathToQString(entry_.alphaFilePath) : QString());
        const char* const turns[4] = {"0\u00b0", "90\u00b0 ccw", "180\u00b0", "90\u00b0 cw"};
        for (int i = 0; i < 4; ++i) rotate->addItem(QString::fromUtf8(turns[i]), i);
        const uint8_t o = entry_.orientation();
        rotate->setCurrentIndex(o & 3);
        mirrorH->setChecked(o & 8);
        mirrorV->setChecked(o & 4);
        updateStates();
        fillInfo();

        connect(nameOn, &QCheckBox::clicked, this, [this] { updateStates(); });
        connect(alphaOn, &QCheckBox::clicked, this, [this] { updateStates(); });
        connect(browse, &QPushButton::clicked, this, [this] {
            QStringList chosen =
                openDlgRun(this, QStringLiteral("Add alpha plane file - Quillon"), pathToQString(entry_.path), false);
            if (!chosen.isEmpty()) controls().setText(1204, chosen.front());
        });
        alphaOn->setFocus();
    }

    // The rotation and mirroring the controls show now.
    uint8_t orientation()
    {
        int o = controls().selData(1206, 0) & 3;
        if (isTicked(controls(), 1207)) o ^= 8;
        if (isTicked(controls(), 1208)) o ^= 4;
        return uint8_t(o);
    }
    // The alpha file the controls name now (empty when none).
    QString alphaPath() { return isTicked(controls(), 1203) ? controls().edit(1204)->text() : QString(); }

    bool validate() override
    {
        if (!isTicked(controls(), 1203)) return true;
        const QString path = controls().edit(1204)->text();
        QString message;
        if (path.isEmpty()) {
            message = QStringLiteral("No alpha file specified!");
        } else if (std::error_code ec; !std::filesystem::exists(qStringToPath(path), ec)) {
            message = QStringLiteral("Alpha file does not exist!");
        } else {
            Ref<ImageReader> reader;
            ResultCode rc = imageFileOpen(reader, qStringToPath(path), true);
            if (failed(rc)) message = QStringLiteral("Invalid alpha file: %1").arg(resultText(rc));
        }
        if (message.isEmpty()) return true;
        msgBox(messageOwner(this), message, QStringLiteral("Quillon"), MB_OK | MB_ICONEXCLAMATION);
        controls().setChecked(1203, false);
        updateStates();
        return false;
    }

    void apply() override
    {
        if (isTicked(controls(), 1201)) entry_.overrideName = u16of(controls().edit(1202)->text());
        else entry_.overrideName.clear();
        if (isTicked(controls(), 1203)) entry_.alphaFilePath = qStringToPath(controls().edit(1204)->text());
        else entry_.alphaFilePath.clear();
        fileEntrySetOrientation(entry_, orientation());
    }

    void activated() override { sheetLastPage() = SHEET_FILE_INFO; }

private:
    void updateStates()
    {
        const bool name = isTicked(controls(), 1201), alpha = isTicked(controls(), 1203);
        controls().setEnabled(1202, name);
        controls().setEnabled(1204, alpha);
        controls().setEnabled(1205, alpha);
    }

    void line(const QString& label, const QString& value)
    {
        info_->appendPlainText(label + QStringLiteral(":\t") + value);
    }

    void fillInfo()
    {
        line(QStringLiteral("Source file"), pathToQString(entry_.path));
        line(QStringLiteral("File size"), fileSizeText(entry_.fileSize));
        Ref<ImageReader> reader;
        ResultCode rc = imageFileOpen(reader, entry_.path, true);
        if (failed(rc)) {
            line(QStringLiteral("Error"), resultText(rc));
            return;
        }
        line(QStringLiteral("File format"), qs(reader->info.get(INFO_FORMAT)));
        line(QStringLiteral("Compression"), qs(reader->info.get(INFO_COMPRESSION)));
        line(QStringLiteral("Resolution"),
             QStringLiteral("%1 x %2 x %3").arg(reader->width).arg(reader->height).arg(reader->bitsPerPixel));
        int frames = 0;
        for (const ImageReader* r = reader.get(); r; r = r->nextFrame()) ++frames;
        if (frames > 1) line(QStringLiteral("Frames/pages"), QString::number(frames));
        // The file's own model: a reader that converts colours itself (a
        // CMYK document with transparency, say) hands over RGB pixels but
        // keeps the file's model in the record.
        const char16_t* model = reader->info.get(INFO_COLOUR_MODEL);
        QString space = model && *model ? qs(model) : qs(colourModelName(reader->colourModel));
        if (reader->alphaKind == ALPHA_STRAIGHT) space += QStringLiteral(" + Alpha");
        else if (reader->alphaKind == ALPHA_PREMULTIPLIED) space += QStringLiteral(" + Premult Alpha");
        line(QStringLiteral("Color space"), space);
    }

    QPlainTextEdit* info_;
};

// ------------------------------------------------------------- Metadata

struct MetaField {
    int id;
    int field;
};
const MetaField kMetaFields[] = {{1210, INFO_TITLE},    {1213, INFO_AUTHOR}, {1211, INFO_COMMENTS},
                                 {1212, INFO_COPYRIGHT}, {1215, INFO_CREATION_DATE}, {1214, INFO_SOURCE},
                                 {1220, INFO_GPS}};

class MetadataPage final : public SheetPage {
public:
    MetadataPage(FileSheet& sheet, FileEntry& entry) : SheetPage(sheet, entry)
    {
        auto* grid = new QGridLayout(this);
        int row = 0;
        auto labelled = [&](const char* label, int id, QWidget* w) {
            grid->addWidget(new QLabel(QString::fromUtf8(label), this), row, 0);
            grid->addWidget(w, row++, 1, 1, 4);
            addControl(id, w);
        };
        labelled("Title:", 1210, edit());
        labelled("Author:", 1213, edit());
        auto* comments = new QPlainTextEdit(this);
        comments->setMaximumHeight(60);
        labelled("Comments:", 1211, comments);
        labelled("Copyright:", 1212, edit());
        labelled("Create date:", 1215, edit());
        grid->addWidget(new QLabel(QStringLiteral("Pixel density:"), this), row, 0);
        QLineEdit* dx = edit();
        QLineEdit* dy = edit();
        dx->setMaxLength(31);
        dy->setMaxLength(31);
        auto* unit = new QComboBox(this);
        unit->addItem(QStringLiteral("pixels/meter"), 0);
        unit->addItem(QStringLiteral("pixels/inch"), 1);
        addControl(1216, dx);
        addControl(1217, dy);
        addControl(1218, unit);
        grid->addWidget(dx, row, 1);
        grid->addWidget(new QLabel(QStringLiteral("x"), this), row, 2);
        grid->addWidget(dy, row, 3);
        grid->addWidget(unit, row++, 4);
        labelled("Source:", 1214, edit());
        grid->addWidget(new QLabel(QStringLiteral("Keywords:"), this), row, 0);
        auto* keys = new QGridLayout;
        for (int i = 0; i < 9; ++i) {
            QLineEdit* k = edit();
            addControl(1221 + i, k);
            keys->addWidget(k, i / 3, i % 3);
        }
        grid->addLayout(keys, row++, 1, 1, 4);
        labelled("GPS geotag:", 1220, edit());
        auto* note = new QLabel(QStringLiteral("--> Here you can override the source file meta info!"), this);
        setHintStyle(note);
        addControl(1236, note);
        grid->addWidget(note, row++, 0, 1, 5);
        grid->setColumnStretch(1, 1);
        grid->setColumnStretch(3, 1);

        Ref<Image> image;
        decodeForMetadata(entry_.path, image);
        const ImageInfo* own = image ? image->info() : nullptr;
        const ImageInfoOwned* over = entry_.metadataOverride.get();
        const uint64_t cleared = over ? entry_.metadataCleared : 0;
        for (const MetaField& m : kMetaFields) show(m.id, m.field, own, over, cleared);
        for (int i = 0; i < 9; ++i) show(1221 + i, INFO_KEYWORD_FIRST + i, own, over, cleared);
        QString density;
        if (over && over->has(INFO_DENSITY)) density = qs(over->get(INFO_DENSITY));
        else if (own && own->has(INFO_DENSITY) && !((cleared >> INFO_DENSITY) & 1))
            density = qs(own->get(INFO_DENSITY));
        const bool ppm = density.contains(QStringLiteral("ppm"));
        if (!density.isEmpty()) {
            uint32_t d[2] = {0, 0};
            std::u16string t = u16of(density);
            if (parseResolution(d, t.c_str(), !ppm)) {
                controls().setText(1216, QString::number(d[0]));
                controls().setText(1217, QString::number(d[1]));
            }
        }
        controls().selectData(1218, ppm ? 0 : 1);
    }

    bool validate() override
    {
        // The file must still decode for its own values to be compared with;
        // when it does not, OK goes on and leaves the metadata as it was.
        ResultCode rc = decodeForMetadata(entry_.path, image_);
        if (succeeded(rc)) return true;
        image_.reset();
        msgBox(messageOwner(this),
               QStringLiteral("The file can no longer be read (%1); its meta data stays unchanged.").arg(resultText(rc)),
               QStringLiteral("Quillon"), MB_OK | MB_ICONEXCLAMATION);
        return true;
    }

    void apply() override
    {
        if (!image_) return;
        const ImageInfo* own = image_->info();
        auto fresh = std::make_unique<ImageInfoOwned>();
        uint64_t cleared = 0;
        int count = 0;
        for (const MetaField& m : kMetaFields) count += read(m.id, m.field, own, *fresh, cleared);
        for (int i = 0; i < 9; ++i) count += read(1221 + i, INFO_KEYWORD_FIRST + i, own, *fresh, cleared);
        const int64_t x = std::strtoll(controls().edit(1216)->text().trimmed().toLatin1().constData(), nullptr, 10);
        const int64_t y = std::strtoll(controls().edit(1217)->text().trimmed().toLatin1().constData(), nullptr, 10);
        const QString density = densityText(x, y, controls().selData(1218, 1) != 0);
        const QString ownDensity = own->has(INFO_DENSITY) ? qs(own->get(INFO_DENSITY)) : QString();
        if (density != ownDensity) count += storeOverride(*fresh, INFO_DENSITY, density, cleared);
        entry_.metadataOverride = count ? std::move(fresh) : nullptr;
        entry_.metadataCleared = count ? cleared : 0;
        image_.reset();
    }

    void activated() override { sheetLastPage() = SHEET_METADATA; }

private:
    QLineEdit* edit()
    {
        auto* e = new QLineEdit(this);
        e->setMaxLength(4096);
        return e;
    }

    QString text(int id)
    {
        if (auto* p = qobject_cast<QPlainTextEdit*>(controls().get(id))) return p->toPlainText().left(4096);
        return controls().edit(id)->text();
    }

    void show(int id, int field, const ImageInfo* own, const ImageInfoOwned* over, uint64_t cleared)
    {
        QString t;
        if (over && over->get(field)) t = qs(over->get(field));
        else if (own && own->get(field) && !((cleared >> field) & 1)) t = qs(own->get(field));
        if (auto* p = qobject_cast<QPlainTextEdit*>(controls().get(id))) p->setPlainText(t);
        else controls().setText(id, t);
    }

    // 1 when the control's text is an override of the file's own value.
    int read(int id, int field, const ImageInfo* own, ImageInfoOwned& into, uint64_t& cleared)
    {
        const QString t = text(id);
        const QString mine = own && own->has(field) ? qs(own->get(field)) : QString();
        if (t.isEmpty() && mine.isEmpty()) return 0;
        if (t == mine) return 0;
        return storeOverride(into, field, t, cleared);
    }

    // A record holds no empty text: an emptied field is kept as cleared, so
    // that the file's own value does not come back.
    static int storeOverride(ImageInfoOwned& into, int field, const QString& t, uint64_t& cleared)
    {
        std::u16string v = u16of(t);
        into.set(field, v.c_str());
        if (!into.has(field)) cleared |= uint64_t(1) << field;
        return 1;
    }

    Ref<Image> image_;
};

// ---------------------------------------------------------- Adjustments

enum class Kind { Colour, Gamma, Sharpness };

struct AdjustRow {
    int box;
    int sliders[3];
    int label;
    int min, max;
    double scale; // position = value x scale
    float AdjustmentSettings::*fields[3];
    Kind kind;
    const char* text;
};

const AdjustRow kRows[] = {
    {530, {531, 0, 0}, 532, -100, 200, 200, {&AdjustmentSettings::contrast}, Kind::Colour, "Contrast control:"},
    {539, {540, 0, 0}, 541, -100, 200, 100, {&AdjustmentSettings::brightness}, Kind::Colour, "Brightness control:"},
    {536, {537, 0, 0}, 538, -100, 200, 100, {&AdjustmentSettings::sharpness}, Kind::Sharpness, "Sharpness control:"},
    {542, {543, 0, 0}, 544, -100, 100, 200, {&AdjustmentSettings::hue}, Kind::Colour, "Hue control:"},
    {533, {534, 0, 0}, 535, -100, 100, 100, {&AdjustmentSettings::saturation}, Kind::Colour, "Saturation control:"},
    {545, {546, 0, 0}, 547, 0, 200, 100, {&AdjustmentSettings::gamma}, Kind::Gamma, "Gamma control:"},
    {548, {549, 0, 0}, 550, -100, 100, 200, {&AdjustmentSettings::luminance}, Kind::Colour, "Luminance control:"},
    {551,
     {552, 554, 553},
     555,
     -100,
     100,
     200,
     {&AdjustmentSettings::red, &AdjustmentSettings::green, &AdjustmentSettings::blue},
     Kind::Colour,
     "R-G-B-bias control:"},
};
constexpr int kInvertBox = 556;

int neutralPosition(const AdjustRow& r) { return r.kind == Kind::Gamma ? 100 : 0; }

class AdjustmentsPage final : public SheetPage {
public:
    AdjustmentsPage(FileSheet& sheet, FileEntry& entry) : SheetPage(sheet, entry)
    {
        auto* grid = new QGridLayout(this);
        int row = 0;
        const AdjustmentSettings neutral;
        const AdjustmentSettings& a = entry_.adjustments ? *entry_.adjustments : neutral;
        for (const AdjustRow& r : kRows) {
            auto* box = new QCheckBox(QString::fromUtf8(r.text), this);
            addControl(r.box, box);
            grid->addWidget(box, row, 0);
            auto* sliders = new QHBoxLayout;
            bool off = true;
            for (int s = 0; s < 3 && r.sliders[s]; ++s) {
                auto* slider = new QSlider(Qt::Horizontal, this);
                slider->setRange(r.min, r.max);
                int pos = adjustPosition(a.*(r.fields[s]), r.scale);
                slider->setValue(pos);
                off = off && pos == neutralPosition(r);
                addControl(r.sliders[s], slider);
                sliders->addWidget(slider);
                connect(slider, &QSlider::valueChanged, this, [this] { updateLabels(); });
            }
            grid->addLayout(sliders, row, 1);
            auto* label = new QLabel(this);
            label->setMinimumWidth(90);
            addControl(r.label, label);
            grid->addWidget(label, row++, 2);
            box->setChecked(!off);
            connect(box, &QCheckBox::clicked, this, [this] { resetLabels(); });
        }
        auto* invert = new QCheckBox(QStringLiteral("Inverted colors"), this);
        invert->setChecked(a.invert != 0);
        addControl(kInvertBox, invert);
        grid->addWidget(invert, row++, 0, 1, 3);
        auto* note1 = new QLabel(
            QStringLiteral("These controls are compatible with the adjustment controls of Brevik-Software's Lumora viewer."),
            this);
        auto* note2 = new QLabel(
            QStringLiteral("Adjustments saved with the Lumora viewer beside an image preset these controls when the "
                           "image is added."),
            this);
        for (QLabel* n : {note1, note2}) {
            n->setWordWrap(true);
            setHintStyle(n);
            grid->addWidget(n, row++, 0, 1, 3);
        }
        addControl(1237, note1);
        addControl(1238, note2);
        grid->setColumnStretch(1, 1);
        updateLabels();
        resetLabels();
    }

    void apply() override { adjustPageReadControls(this, entry_.adjustments); }
    void activated() override { sheetLastPage() = SHEET_ADJUSTMENTS; }

private:
    void updateLabels()
    {
        for (const AdjustRow& r : kRows) {
            QStringList parts;
            for (int s = 0; s < 3 && r.sliders[s]; ++s)
                parts << QString::asprintf("%.2f", controls().slider(r.sliders[s])->value() * 0.01);
            controls().setText(r.label, parts.join(QStringLiteral(", ")));
        }
    }

    void resetLabels()
    {
        for (const AdjustRow& r : kRows) {
            const bool on = isTicked(controls(), r.box);
            for (int s = 0; s < 3 && r.sliders[s]; ++s) {
                controls().setEnabled(r.sliders[s], on);
                if (!on) {
                    QSignalBlocker block(controls().slider(r.sliders[s]));
                    controls().slider(r.sliders[s])->setValue(neutralPosition(r));
                }
            }
            controls().setEnabled(r.label, on);
        }
        updateLabels();
    }
};

} // namespace

// ------------------------------------------------------------ shared

SheetPage::SheetPage(FileSheet& sheet, FileEntry& entry) : QWidget(nullptr), sheet_(sheet), entry_(entry) {}

int& sheetLastPage()
{
    static int last = SHEET_FILE_INFO;
    return last;
}

QString fileSizeText(uint64_t size)
{
    return QStringLiteral("%1 Bytes  (%2 KB)").arg(size).arg((size + 512) / 1024);
}

QString densityText(int64_t x, int64_t y, bool perInch)
{
    if (x == 0 && y == 0) return QString();
    x = std::llabs(x);
    y = std::llabs(y);
    if (y == 0) y = x;
    if (x == 0) x = y;
    return QStringLiteral("%1 x %2 %3").arg(x).arg(y).arg(perInch ? QStringLiteral("ppi") : QStringLiteral("ppm"));
}

int adjustPosition(double value, double scale)
{
    double x = value * scale;
    return int(x < 0 ? x - 0.499 : x + 0.499);
}

void fileEntrySetOrientation(FileEntry& entry, uint8_t orientation)
{
    if (!entry.adjustments && orientation == 0) return;
    if (!entry.adjustments) entry.adjustments = std::make_unique<AdjustmentSettings>();
    entry.adjustments->setOrientation(orientation);
}

void adjustPageReadControls(SheetPage* page, std::unique_ptr<AdjustmentSettings>& adjustments)
{
    if (!page) return;
    ControlMap& c = page->controls();
    bool any = isTicked(c, kInvertBox);
    for (const AdjustRow& r : kRows) any = any || isTicked(c, r.box);
    if (!any && !adjustments) return;
    if (!adjustments) adjustments = std::make_unique<AdjustmentSettings>();
    AdjustmentSettings& a = *adjustments;
    for (const AdjustRow& r : kRows) {
        const bool on = isTicked(c, r.box);
        for (int s = 0; s < 3 && r.sliders[s]; ++s) {
            const float neutral = r.kind == Kind::Gamma ? 1.0f : 0.0f;
            const float value = on ? float(c.slider(r.sliders[s])->value() / r.scale) : neutral;
            switch (r.kind) {
            case Kind::Colour: a.setColour(r.fields[s], value); break;
            case Kind::Gamma: a.setGamma(value); break;
            case Kind::Sharpness: a.setSharpness(value); break;
            }
        }
    }
    a.setInvert(isTicked(c, kInvertBox));
}

// ------------------------------------------------------------ the sheet

FileSheet::FileSheet(QWidget* owner, FileEntry& entry, int startPage) : QDialog(owner), entry_(entry)
{
    setWindowTitle(qs(entry_.fileName) + QStringLiteral(" - Quillon"));
    applyDialogColours(this);
    tabs_ = new QTabWidget(this);
    const char* const captions[4] = {"File info", "Metadata", "Adjustments", "Preview"};
    for (const char* c : captions) {
        auto* holder = new QWidget;
        new QVBoxLayout(holder);
        holder->layout()->setContentsMargins(0, 0, 0, 0);
        tabs_->addTab(holder, QString::fromUtf8(c));
    }
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, [this] { confirm(); });
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(tabs_);
    layout->addWidget(buttons);
    resize(620, 460);

    if (startPage < 0 || startPage > 3) startPage = sheetLastPage();
    if (startPage < 0 || startPage > 3) startPage = SHEET_FILE_INFO;
    showPage(startPage);
    connect(tabs_, &QTabWidget::currentChanged, this, [this](int index) { switched(index); });
}

FileSheet::~FileSheet()
{
    // The preview's loader must be stopped before the pages go.
    if (active_ >= 0 && pages_[size_t(active_)]) pages_[size_t(active_)]->left();
    active_ = -1;
}

SheetPage* FileSheet::build(int index)
{
    if (pages_[size_t(index)]) return pages_[size_t(index)];
    SheetPage* page = nullptr;
    switch (index) {
    case SHEET_FILE_INFO: page = new FileInfoPage(*this, entry_); break;
    case SHEET_METADATA: page = new MetadataPage(*this, entry_); break;
    case SHEET_ADJUSTMENTS: page = new AdjustmentsPage(*this, entry_); break;
    default: page = previewPageCreate(*this, entry_); break;
    }
    tabs_->widget(index)->layout()->addWidget(page);
    // Shown now rather than from the event loop, so that a page built into
    // a sheet already on screen has its size when it is activated.
    page->show();
    pages_[size_t(index)] = page;
    return page;
}

void FileSheet::switched(int index)
{
    if (index == active_) return;
    if (active_ >= 0 && pages_[size_t(active_)]) pages_[size_t(active_)]->left();
    active_ = index;
    if (index >= 0) build(index)->activated();
}

void FileSheet::showPage(int index)
{
    if (tabs_->currentIndex() != index) {
        QSignalBlocker block(tabs_);
        tabs_->setCurrentIndex(index);
    }
    switched(index);
}

int FileSheet::currentPage() const { return tabs_->currentIndex(); }

bool FileSheet::confirm()
{
    for (int i = 0; i < 4; ++i)
        if (pages_[size_t(i)] && !pages_[size_t(i)]->validate()) {
            showPage(i);
            return false;
        }
    // The preview stops first: it reads the other pages' controls.
    if (active_ >= 0 && pages_[size_t(active_)]) pages_[size_t(active_)]->left();
    active_ = -1;
    for (SheetPage* p : pages_)
        if (p) p->apply();
    accept();
    return true;
}

void FileSheet::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (active_ >= 0 && pages_[size_t(active_)]) pages_[size_t(active_)]->sheetShown();
}

void FileSheet::done(int result)
{
    if (active_ >= 0 && pages_[size_t(active_)]) pages_[size_t(active_)]->left();
    active_ = -1;
    QDialog::done(result);
}

bool fileInfoSheetShow(QWidget* owner, FileEntry& entry, int startPage)
{
    if (auto& hook = uiHooks().fileSheet) return hook(owner, entry, startPage);
    FileSheet sheet(owner, entry, startPage);
    return sheet.exec() == QDialog::Accepted;
}

} // namespace quillon::ui
