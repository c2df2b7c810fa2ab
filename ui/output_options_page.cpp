#include "ui/output_options_page.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <system_error>

#include "app/output_names.h"
#include "app/presets.h"
#include "core/text.h"
#include "ui/msgbox.h"
#include "ui/ui_kit.h"

namespace quillon::ui {

namespace fs = std::filesystem;

namespace {

QString qs(std::u16string_view t) { return QString::fromUtf16(t.data(), qsizetype(t.size())); }

struct FitSize {
    int x, y;
};
constexpr FitSize kFitSizes[] = {{16, 16},     {32, 32},     {64, 64},     {80, 60},     {100, 75},    {160, 120},
                                 {320, 240},   {512, 384},   {640, 480},   {720, 576},   {800, 600},   {1024, 768},
                                 {1152, 864},  {1280, 720},  {1280, 960},  {1280, 1024}, {1365, 768},  {1600, 1200},
                                 {1680, 1050}, {1920, 1080}, {1920, 1200}, {1920, 1440}, {2048, 1536}};
constexpr int kDensities[] = {72, 96, 150, 200, 225, 300, 450, 600, 1200};

struct Method {
    const char* name;
    int filter;
};
constexpr Method kMethods[] = {
    {"Nearest neighbour (1x1 filter)", 1},   {"Bilinear interpolation (2x2 filter)", 2},
    {"Catmull-Rom spline (4x4 filter)", 3},  {"Cubic I-MOMS (4x4 filter)", 4},
    {"2nd degree B-spline (3x3 filter)", 5}, {"3rd degree B-spline (4x4 filter)", 6},
    {"4th degree B-spline (5x5 filter)", 7}, {"5th degree B-spline (6x6 filter)", 8},
};

const QString kCaption = QStringLiteral("Quillon");

// Check boxes and radio buttons alike.
bool isOn(const ControlMap& c, int id)
{
    auto* b = qobject_cast<QAbstractButton*>(c.get(id));
    return b && b->isChecked();
}

QLabel* sectionTitle(const QString& text, QWidget* parent)
{
    auto* l = new QLabel(text, parent);
    setTitleStyle(l);
    return l;
}

// A "%d x %d" scan: both numbers or nothing.
bool scanSize(const QString& text, int& x, int& y)
{
    std::string s = text.toStdString();
    int a = 0, b = 0;
    // A size of nothing would make every image (or thumbnail) vanish.
    if (std::sscanf(s.c_str(), "%d x %d", &a, &b) != 2 || a <= 0 || b <= 0) return false;
    x = a;
    y = b;
    return true;
}

} // namespace

void fillFitSizes(QComboBox* combo)
{
    QSignalBlocker block(combo);
    combo->clear();
    for (const FitSize& f : kFitSizes) combo->addItem(QStringLiteral("%1 x %2").arg(f.x).arg(f.y));
}

bool scanFitSize(const QString& text, int& x, int& y) { return scanSize(text, x, y); }

// ---- the output check ----

namespace {

// A silent run has nobody to answer: the message goes to standard error and
// the wizard closes, so the run ends instead of waiting on a hidden box.
void silentFailure(QWidget* page, const QString& message)
{
    std::fprintf(stderr, "Quillon: %s\n", message.toLocal8Bit().constData());
    std::fflush(stderr);
    QWidget* w = page;
    while (w && !qobject_cast<WizardFrame*>(w)) w = w->parentWidget();
    if (auto* frame = qobject_cast<WizardFrame*>(w)) frame->done(kWizardSilentCheckFailed);
}

bool fail(QWidget* page, bool silent, const QString& message)
{
    if (silent) silentFailure(page, message);
    else msgBox(page, message, kCaption, MB_OK | MB_ICONEXCLAMATION);
    return false;
}

} // namespace

bool outputOptionsValidate(QWidget* page, JobSettings& s, bool silent)
{
    // With the index on, index.html goes to the output folder even when the
    // images go beside their sources, so the folder is required then too.
    if (!s.bSaveInSrcDirs || s.index.bIndex) {
        if (s.szOutDir.empty()) return fail(page, silent, QStringLiteral("You must select an output directory first!"));
        // A relative folder means the one under the current folder now, not
        // wherever a later run happens to start.
        std::error_code ec;
        s.szOutDir = expandHomeFolder(s.szOutDir);
        if (s.szOutDir.is_relative()) {
            fs::path absolute = fs::absolute(s.szOutDir, ec);
            if (!ec) s.szOutDir = absolute;
        }
        std::string dir = s.szOutDir.native();
        if (dir.back() != '/') s.szOutDir = dir + '/';
        fs::path folder = s.szOutDir.parent_path();
        if (!fs::is_directory(folder, ec)) {
            if (!silent) {
                int32_t answer = msgBox(page, QStringLiteral("The output directory does not exist!\n\nCreate it?"),
                                        pathToQString(folder), MB_YESNO | MB_ICONQUESTION);
                if (answer != IDYES) return false;
            }
            if (!directoryCreatePath(folder))
                return fail(page, silent, QStringLiteral("Couldn't create output directory!"));
        }
    }
    if (s.bDeleteSrcFiles && !silent) {
        int32_t answer = msgBox(
            page, QStringLiteral("Are you sure that you want that the input files to be deleted after they have been converted?"),
            QStringLiteral("Please confirm 'Delete source files' option!"), MB_YESNO | MB_ICONQUESTION);
        if (answer != IDYES) return false;
    }
    return true;
}

// ---- the page ----

OutputOptionsPage::OutputOptionsPage(QWidget* parent) : OutputOptionsPage(jobSettings(), parent) {}

OutputOptionsPage::OutputOptionsPage(JobSettings& settings, QWidget* parent)
    : WizardPage(PAGE_OUTPUT_OPTIONS, parent), settings_(settings), rows_{controls(), settings, nullptr}
{
    build();
}

void OutputOptionsPage::build()
{
    auto* layout = new QVBoxLayout(this);

    // Output file
    auto* t1 = sectionTitle(QStringLiteral(" Output file"), this);
    controls().add(1241, t1);
    layout->addWidget(t1);
    auto* file = new QGridLayout;
    auto* outDir = new QLineEdit(this);
    outDir->setMaxLength(4096);
    addControl(501, outDir);
    auto* browse = new QPushButton(QStringLiteral("..."), this);
    browse->setAutoDefault(false);
    browse->setMaximumWidth(40);
    addControl(502, browse);
    file->addWidget(outDir, 0, 0, 1, 3);
    file->addWidget(browse, 0, 3);
    auto* sameDir = new QCheckBox(QStringLiteral("Save in same directory as source"), this);
    addControl(504, sameDir);
    auto* overwrite = new QCheckBox(QStringLiteral("Overwrite existing files without prompting"), this);
    addControl(503, overwrite);
    auto* skip = new QCheckBox(QStringLiteral("Skip existing files without prompting"), this);
    addControl(508, skip);
    auto* del = new QCheckBox(QStringLiteral("Delete source files"), this);
    addControl(505, del);
    file->addWidget(sameDir, 1, 0, 1, 2);
    file->addWidget(overwrite, 1, 2, 1, 2);
    file->addWidget(skip, 2, 0, 1, 2);
    file->addWidget(del, 2, 2, 1, 2);
    auto* keep = new QCheckBox(QStringLiteral("Keep the input path sub-directory structure:"), this);
    addControl(526, keep);
    auto* levels = new QLineEdit(this);
    levels->setMaxLength(8);
    levels->setMaximumWidth(50);
    addControl(527, levels);
    auto* levelsKind = new QComboBox(this);
    addControl(528, levelsKind);
    auto* keepRow = new QHBoxLayout;
    keepRow->addWidget(keep);
    keepRow->addWidget(levels);
    keepRow->addWidget(levelsKind, 1);
    file->addLayout(keepRow, 3, 0, 1, 4);
    layout->addLayout(file);

    // Output format
    auto* t2 = sectionTitle(QStringLiteral(" Output format"), this);
    controls().add(1242, t2);
    layout->addWidget(t2);
    auto* fmt = new QGridLayout;
    auto* format = new QComboBox(this);
    format->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    format->setMinimumContentsLength(18);
    addControl(kRowFormatId, format);
    auto* sub = new QComboBox(this);
    sub->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    sub->setMinimumContentsLength(12);
    addControl(kRowSubFormatId, sub);
    auto* colour = new QComboBox(this);
    addControl(kRowColourId, colour);
    auto* param = new QLineEdit(this);
    param->setMaxLength(32);
    param->setMaximumWidth(70);
    addControl(kRowParamId, param);
    auto* formats = new QPushButton(QStringLiteral("File formats..."), this);
    formats->setAutoDefault(false);
    addControl(500, formats);
    fmt->addWidget(format, 0, 0, 1, 2);
    fmt->addWidget(sub, 0, 2);
    fmt->addWidget(colour, 0, 3);
    fmt->addWidget(param, 0, 4);
    fmt->addWidget(formats, 0, 5);
    auto* dither = new QCheckBox(QStringLiteral("Use dithering if reducing color depth"), this);
    addControl(kDitherBoxId, dither);
    auto* fixed = new QCheckBox(QStringLiteral("Use fixed Windows standard palette"), this);
    addControl(kFixedPaletteBoxId, fixed);
    auto* shared = new QCheckBox(QStringLiteral("Use shared palette for all files"), this);
    addControl(kSharedPaletteBoxId, shared);
    fmt->addWidget(dither, 1, 0, 1, 2);
    fmt->addWidget(fixed, 1, 2, 1, 2);
    fmt->addWidget(shared, 1, 4, 1, 2);
    layout->addLayout(fmt);

    // Image size
    auto* t3 = sectionTitle(QStringLiteral(" Image Size "), this);
    controls().add(1243, t3);
    layout->addWidget(t3);
    auto* size = new QGridLayout;
    auto* resize = new QCheckBox(QStringLiteral("Resize images:"), this);
    addControl(511, resize);
    auto* byFactor = new QRadioButton(QStringLiteral("By factor:"), this);
    addControl(512, byFactor);
    auto* factor = new QLineEdit(this);
    factor->setMaxLength(255);
    factor->setMaximumWidth(80);
    addControl(514, factor);
    auto* percent = new QLabel(QStringLiteral("%"), this);
    controls().add(516, percent);
    auto* toFit = new QRadioButton(QStringLiteral("To fit in:"), this);
    addControl(513, toFit);
    auto* fit = new QComboBox(this);
    fit->setEditable(true);
    addControl(515, fit);
    auto* methodLabel = new QLabel(QStringLiteral("Resampling method:"), this);
    controls().add(758, methodLabel);
    auto* method = new QComboBox(this);
    addControl(524, method);
    auto* onlyDown = new QCheckBox(QStringLiteral("Never enlargen"), this);
    addControl(517, onlyDown);
    auto* aspect = new QCheckBox(QStringLiteral("Keep aspect ratio"), this);
    addControl(525, aspect);
    auto* setPpi = new QCheckBox(QStringLiteral("Set PPI:"), this);
    addControl(587, setPpi);
    auto* ppi = new QComboBox(this);
    ppi->setEditable(true);
    addControl(588, ppi);
    size->addWidget(resize, 0, 0);
    size->addWidget(byFactor, 0, 1);
    size->addWidget(factor, 0, 2);
    size->addWidget(percent, 0, 3);
    size->addWidget(methodLabel, 0, 4);
    size->addWidget(method, 0, 5);
    size->addWidget(toFit, 1, 1);
    size->addWidget(fit, 1, 2, 1, 2);
    size->addWidget(onlyDown, 1, 4);
    size->addWidget(aspect, 1, 5);
    size->addWidget(setPpi, 2, 0);
    size->addWidget(ppi, 2, 1);
    layout->addLayout(size);

    // What follows
    auto* more = new QCheckBox(QStringLiteral("Select more options (more on 'Next >')"), this);
    addControl(529, more);
    auto* multi = new QCheckBox(QStringLiteral("Multiple output formats (more on 'Next >')"), this);
    addControl(757, multi);
    auto* index = new QCheckBox(QStringLiteral("Create image index (more on 'Next >')"), this);
    addControl(570, index);
    auto* follow = new QGridLayout;
    follow->addWidget(more, 0, 0);
    follow->addWidget(multi, 0, 1);
    follow->addWidget(index, 1, 0);
    layout->addLayout(follow);

    // Presets
    auto* presetRow = new QHBoxLayout;
    presetRow->addWidget(new QLabel(QStringLiteral("Preset list:"), this));
    auto* preset = new QComboBox(this);
    preset->setEditable(true);
    preset->setInsertPolicy(QComboBox::NoInsert);
    preset->lineEdit()->setMaxLength(259);
    // Registered by hand: only a choice from the list loads a preset; typing
    // a name only prepares a save.
    controls().add(590, preset);
    connect(preset, &QComboBox::activated, this, [this] { presetChosen(); });
    // The combo also reports a typed name that matches a listed one as
    // chosen once the name field loses the focus, which would load that
    // preset over the settings the user is about to save under its name.
    QObject::disconnect(preset->lineEdit(), SIGNAL(editingFinished()), preset, nullptr);
    // Nor is a name completed into a listed one: typing "photo" beside
    // "photos" would otherwise save over "photos".
    preset->setCompleter(nullptr);
    auto* save = new QPushButton(QStringLiteral("Save"), this);
    save->setAutoDefault(false);
    addControl(591, save);
    auto* remove = new QPushButton(QStringLiteral("Delete"), this);
    remove->setAutoDefault(false);
    addControl(592, remove);
    presetRow->addWidget(preset, 1);
    presetRow->addWidget(save);
    presetRow->addWidget(remove);
    layout->addLayout(presetRow);
    layout->addStretch(1);
}

bool OutputOptionsPage::silent() const { return (frame() && frame()->silent) || settings_.silentMode; }

void OutputOptionsPage::setPresetFolder(const fs::path& folder)
{
    presetFolder_ = folder;
    presetFolderSet_ = true;
    presetFill();
}

void OutputOptionsPage::onInit()
{
    if (!presetFolderSet_) {
        presetDirInit(this, 590);
        presetFolder_ = presetFile().folder;
        presetFolderSet_ = true;
    }
    presetFill();
}

void OutputOptionsPage::settingsToControls()
{
    ControlMap& c = controls();
    const JobSettings& s = settings_;
    c.setText(501, s.bSaveInSrcDirs && !s.index.bIndex ? QString() : pathToQString(s.szOutDir));
    rows_.show(0);
    c.setChecked(504, s.bSaveInSrcDirs);
    c.setChecked(503, s.bNoOverwritePrompt);
    c.setChecked(508, s.bSkipExisting);
    c.setChecked(505, s.bDeleteSrcFiles);
    c.setChecked(526, s.bKeepSubDirs);
    c.setText(527, QString::number(std::abs(int64_t(s.iKeepSubDirLevels))));
    if (QComboBox* k = c.combo(528)) {
        QSignalBlocker block(k);
        k->clear();
        k->addItem(QStringLiteral("lower levels of source path preserved"), 0);
        k->addItem(QStringLiteral("upper levels of source path discarded"), 1);
        k->setCurrentIndex(s.iKeepSubDirLevels >= 0 ? 1 : 0);
    }
    c.setChecked(757, s.iOutFormats >= 2 && !s.index.bIndex);
    c.setChecked(kDitherBoxId, s.quantize.dither);
    c.setChecked(kFixedPaletteBoxId, s.quantize.useFixedPalette);
    c.setChecked(kSharedPaletteBoxId, s.quantize.useGivenPalette);
    rows_.updatePaletteBoxes(0);
    c.setChecked(511, s.eResize != 0);
    if (s.eResize == 2) c.setChecked(513, true);
    else c.setChecked(512, true);
    int64_t hundredths = (int64_t(s.i3ResizeFactor) + 5) / 10;
    c.setText(514, QString::asprintf("%.2lf", double(hundredths) * 0.01));
    if (QComboBox* fit = c.combo(515)) fillFitSizes(fit);
    c.setText(515, QStringLiteral("%1 x %2").arg(s.iResizeX).arg(s.iResizeY));
    if (QComboBox* m = c.combo(524)) {
        QSignalBlocker block(m);
        m->clear();
        for (const Method& k : kMethods) m->addItem(QString::fromLatin1(k.name), k.filter);
        int found = m->findData(int(s.eResizeMethod));
        m->setCurrentIndex(found >= 0 ? found : m->count() - 1);
    }
    c.setChecked(517, s.bResizeOnlyDown);
    c.setChecked(525, s.bResizeKeepAspect);
    c.setChecked(587, s.bSetPPI);
    if (QComboBox* p = c.combo(588)) {
        QSignalBlocker block(p);
        p->clear();
        for (int d : kDensities) p->addItem(QString::number(d));
    }
    c.setText(588, QString::number(s.iSetPPI));
    c.setChecked(529, s.bShowMoreOptions);
    c.setChecked(570, s.index.bIndex);
    updateControlStates();
    c.setText(590, QString());
}

void OutputOptionsPage::controlsToSettings()
{
    ControlMap& c = controls();
    JobSettings& s = settings_;
    // The folder edit is read whenever it is in use (always with the index
    // on), judged by the boxes as they are now: a folder put aside by ticking
    // "Save in same directory as source" is not replaced by the emptied edit.
    if (!isOn(c, 504) || isOn(c, 570)) s.szOutDir = qStringToPath(c.edit(501)->text());

    rows_.store(0);
    OutputFormatSlot& slot = s.slots[0];
    switch (rows_.paramKind(slot.iFormatId, slot.szSubFormat)) {
    case PARAM_QUALITY:
        if (slot.iCompParam > 100) slot.iCompParam = 100;
        s.iLastQualityPercent = slot.iCompParam;
        break;
    case PARAM_FACTOR: s.iLastXFactor = slot.iCompParam; break;
    case PARAM_SIZE_KB: s.iLastSizeKB = slot.iCompParam; break;
    default: break;
    }

    s.bDeleteSrcFiles = isOn(c, 505);
    s.bSaveInSrcDirs = isOn(c, 504);
    s.bNoOverwritePrompt = isOn(c, 503);
    s.bSkipExisting = isOn(c, 508);
    s.bKeepSubDirs = isOn(c, 526);
    int levels = c.getInt(527, 0);
    s.iKeepSubDirLevels = c.combo(528)->currentIndex() == 0 ? -levels : levels;

    uint8_t dither = isOn(c, kDitherBoxId);
    s.quantize.dither = s.quantize.ditherTo8Bit = s.quantize.ditherHighColour = dither;
    s.quantize.useFixedPalette = isOn(c, kFixedPaletteBoxId);
    s.quantize.useGivenPalette = isOn(c, kSharedPaletteBoxId);

    if (!isOn(c, 511)) s.eResize = 0;
    else if (isOn(c, 512)) s.eResize = 1;
    else if (isOn(c, 513)) s.eResize = 2;

    // A factor typed with a decimal comma reads as with a point.
    std::string factorText = c.edit(514)->text().left(255).toStdString();
    if (size_t comma = factorText.find(','); comma != std::string::npos) factorText[comma] = '.';
    double factor = 0;
    if (std::sscanf(factorText.c_str(), "%lf", &factor) != 1 || !std::isfinite(factor)) factor = 0;
    double scaled = factor * 1000.0;
    scaled = scaled >= 0 ? scaled + 0.499 : scaled - 0.499;
    if (scaled > 2147483647.0) scaled = 2147483647.0;
    if (scaled < -2147483647.0) scaled = -2147483647.0;
    s.i3ResizeFactor = int32_t(scaled);

    int x, y;
    if (scanSize(c.combo(515)->currentText(), x, y)) {
        s.iResizeX = uint32_t(x);
        s.iResizeY = uint32_t(y);
    }
    s.eResizeMethod = uint32_t(c.selData(524, int(s.eResizeMethod)));
    s.bResizeOnlyDown = isOn(c, 517);
    s.bResizeKeepAspect = isOn(c, 525);
    s.bSetPPI = isOn(c, 587);
    s.iSetPPI = c.getInt(588, 0);

    s.bShowMoreOptions = isOn(c, 529);
    s.index.bIndex = isOn(c, 570);
    if (s.index.bIndex) s.iOutFormats = 2;

    if (!s.bShowMoreOptions) {
        s.bNoErrorPrompts = 0;
        s.bCreateLogFile = 0;
        s.bUseAsciiFileNames = 0;
        s.bUndither = 0;
        s.adjustments = AdjustmentSettings{};
        s.eFrameType = 0;
    }
}

void OutputOptionsPage::updateControlStates()
{
    ControlMap& c = controls();
    bool sameDir = isOn(c, 504);
    bool index = isOn(c, 570);
    c.setEnabled(501, !sameDir || index);
    c.setEnabled(502, !sameDir || index);
    c.setEnabled(526, !sameDir);
    bool keep = !sameDir && isOn(c, 526);
    c.setEnabled(527, keep);
    c.setEnabled(528, keep);
    c.setEnabled(757, !index);
    bool resize = isOn(c, 511);
    bool byFactor = resize && isOn(c, 512);
    bool toFit = resize && isOn(c, 513);
    for (int id : {512, 513, 524, 758}) c.setEnabled(id, resize);
    for (int id : {514, 516}) c.setEnabled(id, byFactor);
    for (int id : {515, 517, 525}) c.setEnabled(id, toFit);
    c.setEnabled(588, isOn(c, 587));
}

void OutputOptionsPage::refreshNext()
{
    if (frame() && frame()->currentPage() == this) frame()->refreshActivation();
}

void OutputOptionsPage::onCommand(int id)
{
    ControlMap& c = controls();
    JobSettings& s = settings_;
    if (id != 500 && id != 590 && id != 591 && id != 592) c.setText(590, QString());
    switch (id) {
    case 511:
    case 512:
    case 513:
    case 526:
    case 587: updateControlStates(); break;
    case 502: {
        QString start = c.edit(501)->text();
        if (start.isEmpty()) start = pathToQString(s.szOutDir);
        QString chosen = start;
        if (browseForFolder(this, QStringLiteral("Please select the batch output folder"), chosen, true)) {
            if (!chosen.endsWith(u'/')) chosen += u'/';
            s.szOutDir = qStringToPath(chosen);
            c.setText(501, chosen);
        }
        break;
    }
    case 504:
        if (isOn(c, 504) && !isOn(c, 570)) {
            s.szOutDir = qStringToPath(c.edit(501)->text());
            c.setText(501, QString());
        } else {
            c.setText(501, pathToQString(s.szOutDir));
        }
        updateControlStates();
        break;
    case 529:
        s.bShowMoreOptions = isOn(c, 529);
        refreshNext();
        break;
    case 757:
        if (isOn(c, 757)) {
            if (s.iOutFormats < 2) s.iOutFormats = 2;
        } else {
            s.iOutFormats = 1;
        }
        refreshNext();
        break;
    case 570:
        s.index.bIndex = isOn(c, 570);
        // The index writes its thumbnails as the second output, and only then.
        s.iOutFormats = s.index.bIndex ? 2 : 1;
        c.setChecked(757, false);
        // With outputs beside their sources the folder edit is in use only
        // with the index: shown when it comes on, put aside (not lost) when
        // it goes off.
        if (isOn(c, 504)) {
            if (s.index.bIndex) {
                c.setText(501, pathToQString(s.szOutDir));
            } else {
                s.szOutDir = qStringToPath(c.edit(501)->text());
                c.setText(501, QString());
            }
        }
        refreshNext();
        updateControlStates();
        break;
    case kRowFormatId: rows_.formatChosen(0, true); break;
    case kRowSubFormatId: rows_.subFormatChosen(0, true); break;
    case kRowColourId: rows_.colourChosen(0, true); break;
    case 500: helpShow(this, 9901); break;
    case 591: presetSave(); break;
    case 592: presetDelete(); break;
    default: break;
    }
}

int OutputOptionsPage::onNext()
{
    controlsToSettings();
    if (!outputOptionsValidate(this, settings_, silent())) return WIZ_STAY;
    NavSettings nav{int(settings_.iOutFormats), settings_.bShowMoreOptions != 0, settings_.index.bIndex != 0};
    return wizardForwardTarget(pageIndex(), nav);
}

int OutputOptionsPage::onBack()
{
    controlsToSettings();
    return PAGE_INPUT_FILES;
}

// ---- presets ----

QStringList OutputOptionsPage::presetList() const
{
    QStringList out;
    if (QComboBox* p = const_cast<OutputOptionsPage*>(this)->controls().combo(590))
        for (int i = 0; i < p->count(); ++i) out << p->itemText(i);
    return out;
}

void OutputOptionsPage::presetFill()
{
    QComboBox* p = controls().combo(590);
    if (!p) return;
    QString text = p->currentText();
    QSignalBlocker block(p);
    p->clear();
    PresetFile preset;
    preset.folder = presetFolder_;
    for (const std::u16string& name : presetNames(preset)) p->addItem(qs(name));
    p->setCurrentIndex(-1);
    p->setEditText(text);
}

void OutputOptionsPage::presetChosen()
{
    QComboBox* p = controls().combo(590);
    if (!p || p->currentIndex() < 0) return;
    QString name = p->itemText(p->currentIndex());
    PresetFile preset;
    preset.folder = presetFolder_;
    if (!preset.setName(name.toStdU16String())) return;
    std::string why;
    if (!presetLoad(settings_, preset.path, rows_.registry, &why)) {
        // Nothing of it was taken: the controls keep what they showed.
        msgBox(this, QStringLiteral("The preset cannot be loaded:\n\n") + QString::fromStdString(why), kCaption,
               MB_OK | MB_ICONEXCLAMATION);
        controls().setText(590, QString());
        return;
    }
    settingsToControls();
    // The controls now hold the preset: its name stays shown until a change.
    controls().setText(590, name);
    refreshNext();
}

void OutputOptionsPage::presetSave()
{
    controlsToSettings();
    QComboBox* p = controls().combo(590);
    QString name = p->currentText().left(259);
    if (name.isEmpty()) {
        msgBox(this, QStringLiteral("You must enter a name for the preset before you can save it"), kCaption,
               MB_OK | MB_ICONEXCLAMATION);
        p->setFocus();
        return;
    }
    PresetFile preset;
    preset.folder = presetFolder_;
    if (!preset.setName(name.toStdU16String())) {
        // A name with a folder separator would leave the preset folder.
        if (!presetFolder_.empty())
            msgBox(this, QStringLiteral("A preset name cannot contain '/'"), kCaption, MB_OK | MB_ICONEXCLAMATION);
        p->setFocus();
        return;
    }
    quillon::presetSave(settings_, preset.path, rows_.registry);
    presetFill();
    controls().setText(590, name);
}

void OutputOptionsPage::presetDelete()
{
    QComboBox* p = controls().combo(590);
    QString name = p->currentText();
    // Only a listed preset is deleted, so a typed name never removes a file
    // the list did not offer.
    int listed = p->findText(name, Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (name.isEmpty() || listed < 0) return;
    PresetFile preset;
    preset.folder = presetFolder_;
    quillon::presetDelete(preset, name.toStdU16String());
    QSignalBlocker block(p);
    p->removeItem(listed);
    p->setCurrentIndex(-1);
    p->setEditText(QString());
}

} // namespace quillon::ui
