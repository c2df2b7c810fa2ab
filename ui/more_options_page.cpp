#include "ui/more_options_page.h"

#include <QCheckBox>
#include <QColorDialog>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QSignalBlocker>
#include <QSlider>
#include <QStyleOptionButton>
#include <QVBoxLayout>

#include <cmath>

#include "ui/hooks.h"
#include "ui/output_options_page.h"
#include "ui/ui_kit.h"

namespace quillon::ui {

namespace {

enum class Setter { Colour, Gamma, Sharpness };

// One adjustment: its check box, slider(s) and label, the slider's range and
// neutral position, and the value one step of the slider stands for.
struct Adjustment {
    int box;
    int sliders[3];
    int label;
    int min, max, neutral;
    double step;
    float AdjustmentSettings::*fields[3];
    Setter setter;
};

const Adjustment kAdjustments[] = {
    {530, {531, 0, 0}, 532, -100, 100, 0, 0.005, {&AdjustmentSettings::contrast}, Setter::Colour},
    {539, {540, 0, 0}, 541, -100, 100, 0, 0.01, {&AdjustmentSettings::brightness}, Setter::Colour},
    {536, {537, 0, 0}, 538, -100, 100, 0, 0.01, {&AdjustmentSettings::sharpness}, Setter::Sharpness},
    {533, {534, 0, 0}, 535, -100, 100, 0, 0.01, {&AdjustmentSettings::saturation}, Setter::Colour},
    {545, {546, 0, 0}, 547, 0, 200, 100, 0.01, {&AdjustmentSettings::gamma}, Setter::Gamma},
    {551,
     {552, 554, 553},
     555,
     -50,
     50,
     0,
     0.005,
     {&AdjustmentSettings::red, &AdjustmentSettings::green, &AdjustmentSettings::blue},
     Setter::Colour},
};

struct Choice {
    const char* name;
    int value;
};
const Choice kOrientations[] = {{"Rotate 90\u00b0 ccw", 1},
                                {"Rotate 180\u00b0 ccw", 2},
                                {"Rotate 90\u00b0 cw", 3},
                                {"Mirror Vertical", 4},
                                {"Mirror Horizontal", 8}};
const Choice kFrames[] = {{"Flat border", 1}, {"Toned border", 2}};

void fillChoices(QComboBox* combo, const Choice* choices, size_t n, int select)
{
    QSignalBlocker block(combo);
    combo->clear();
    for (size_t i = 0; i < n; ++i) combo->addItem(QString::fromUtf8(choices[i].name), choices[i].value);
    combo->setCurrentIndex(0);
    int found = combo->findData(select);
    if (found >= 0) combo->setCurrentIndex(found);
}

bool isOn(const ControlMap& c, int id)
{
    auto* b = qobject_cast<QAbstractButton*>(c.get(id));
    return b && b->isChecked();
}

int sliderCount(const Adjustment& a) { return a.sliders[1] ? 3 : 1; }

// The slider position of a stored value, rounded half away from zero.
int positionOf(const Adjustment& a, float value)
{
    double v = a.setter == Setter::Gamma ? double(value) * 100.0 : double(value) / a.step;
    if (!std::isfinite(v)) v = a.neutral;
    long p = std::lround(std::clamp(v, double(a.min), double(a.max)));
    return int(p);
}

QString labelText(const Adjustment& a, const ControlMap& c, bool neutral)
{
    QStringList parts;
    for (int k = 0; k < sliderCount(a); ++k) {
        int p = neutral ? a.neutral : c.slider(a.sliders[k])->value();
        parts << QString::asprintf("%.2f", p * 0.01);
    }
    return parts.join(QStringLiteral(", "));
}

} // namespace

// ---- colour buttons ----

QColor frameColourToQColor(uint32_t value)
{
    return QColor(int((value >> 16) & 0xFF), int((value >> 8) & 0xFF), int(value & 0xFF));
}

uint32_t frameColourFromQColor(const QColor& colour, uint32_t keepAlphaOf)
{
    return (keepAlphaOf & 0xFF000000u) | (uint32_t(colour.red()) << 16) | (uint32_t(colour.green()) << 8) |
           uint32_t(colour.blue());
}

ColourButton::ColourButton(QWidget* parent) : QPushButton(parent)
{
    setAutoDefault(false);
    setMinimumSize(40, 22);
}

void ColourButton::setColour(const QColor& colour)
{
    colour_ = colour;
    update();
}

void ColourButton::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    QRect r = rect();
    QColor face = palette().color(QPalette::Button);
    p.fillRect(r.adjusted(0, 0, -1, -1), isEnabled() ? colour_ : face);
    // A two-line 3-D edge: light above and left when up, the reverse when
    // pressed.
    QColor light = palette().color(QPalette::Light), mid = palette().color(QPalette::Mid);
    QColor dark = palette().color(QPalette::Dark), shadow = palette().color(QPalette::Shadow);
    bool down = isDown();
    QColor outerTl = down ? shadow : light, outerBr = down ? light : shadow;
    QColor innerTl = down ? dark : face, innerBr = down ? face : mid;
    auto edge = [&](QRect box, const QColor& tl, const QColor& br) {
        p.setPen(tl);
        p.drawLine(box.topLeft(), box.topRight());
        p.drawLine(box.topLeft(), box.bottomLeft());
        p.setPen(br);
        p.drawLine(box.bottomLeft(), box.bottomRight());
        p.drawLine(box.topRight(), box.bottomRight());
    };
    edge(r, outerTl, outerBr);
    edge(r.adjusted(1, 1, -1, -1), innerTl, innerBr);
}

// ---- the page ----

MoreOptionsPage::MoreOptionsPage(QWidget* parent) : MoreOptionsPage(jobSettings(), parent) {}

MoreOptionsPage::MoreOptionsPage(JobSettings& settings, QWidget* parent)
    : WizardPage(PAGE_MORE_OPTIONS, parent), settings_(settings)
{
    auto* layout = new QVBoxLayout(this);
    auto title = [&](int id, const QString& text) {
        auto* l = new QLabel(text, this);
        setTitleStyle(l);
        controls().add(id, l);
        layout->addWidget(l);
    };

    title(1248, QStringLiteral(" Image adjustment"));
    auto* undither = new QCheckBox(QStringLiteral("Apply an undithering filter to input images"), this);
    addControl(523, undither);
    layout->addWidget(undither);
    auto* grid = new QGridLayout;
    const char* names[] = {"Contrast control:", "Brightness control:", "Sharpness control:",
                           "Saturation control:", "Gamma control:", "R-G-B-bias control:"};
    int row = 0;
    for (const Adjustment& a : kAdjustments) {
        auto* box = new QCheckBox(QString::fromLatin1(names[row]), this);
        addControl(a.box, box);
        grid->addWidget(box, row, 0);
        auto* sliders = new QHBoxLayout;
        for (int k = 0; k < sliderCount(a); ++k) {
            auto* s = new QSlider(Qt::Horizontal, this);
            s->setRange(a.min, a.max);
            s->setValue(a.neutral);
            addControl(a.sliders[k], s);
            sliders->addWidget(s);
        }
        grid->addLayout(sliders, row, 1);
        auto* label = new QLabel(this);
        label->setMinimumWidth(label->fontMetrics().horizontalAdvance(QStringLiteral("-0.00, -0.00, -0.00")));
        controls().add(a.label, label);
        grid->addWidget(label, row, 2);
        ++row;
    }
    grid->setColumnStretch(1, 1);
    layout->addLayout(grid);

    auto* shape = new QGridLayout;
    auto* orient = new QCheckBox(QStringLiteral("Change orientation:"), this);
    addControl(506, orient);
    auto* orientList = new QComboBox(this);
    addControl(507, orientList);
    shape->addWidget(orient, 0, 0);
    shape->addWidget(orientList, 0, 1);
    auto* frameBox = new QCheckBox(QStringLiteral("Add image frame:"), this);
    addControl(593, frameBox);
    auto* frameList = new QComboBox(this);
    addControl(594, frameList);
    auto* width = new QLineEdit(this);
    width->setMaxLength(6);
    width->setMaximumWidth(60);
    addControl(595, width);
    auto* pixels = new QLabel(QStringLiteral("pixels"), this);
    controls().add(596, pixels);
    shape->addWidget(frameBox, 1, 0);
    shape->addWidget(frameList, 1, 1);
    shape->addWidget(width, 1, 2);
    shape->addWidget(pixels, 1, 3);
    auto* c1Label = new QLabel(QStringLiteral("Frame color 1:"), this);
    controls().add(597, c1Label);
    auto* c1 = new ColourButton(this);
    addControl(598, c1);
    auto* c2Label = new QLabel(QStringLiteral("Frame color 2:"), this);
    controls().add(599, c2Label);
    auto* c2 = new ColourButton(this);
    addControl(600, c2);
    shape->addWidget(c1Label, 2, 0);
    shape->addWidget(c1, 2, 1);
    shape->addWidget(c2Label, 2, 2);
    shape->addWidget(c2, 2, 3);
    layout->addLayout(shape);

    title(1249, QStringLiteral(" Miscellaneous"));
    auto* log = new QCheckBox(QStringLiteral("Create log file"), this);
    addControl(509, log);
    auto* noErrors = new QCheckBox(QStringLiteral("Don't show error messages"), this);
    addControl(510, noErrors);
    auto* ascii = new QCheckBox(
        QStringLiteral("Translate output file names into 7-bit ASCII (to ensure compatibility with all file systems)"), this);
    addControl(601, ascii);
    auto* misc = new QGridLayout;
    misc->addWidget(log, 0, 0);
    misc->addWidget(noErrors, 0, 1);
    misc->addWidget(ascii, 1, 0, 1, 2);
    layout->addLayout(misc);

    title(1252, QStringLiteral(" HTML thumbnail image index"));
    auto* index = new QCheckBox(QStringLiteral("Create image index (options shown on Next >)"), this);
    addControl(570, index);
    layout->addWidget(index);
    layout->addStretch(1);
}

void MoreOptionsPage::settingsToControls()
{
    ControlMap& c = controls();
    const JobSettings& s = settings_;
    c.setChecked(523, s.bUndither);
    uint8_t orientation = s.adjustments.orientation;
    fillChoices(c.combo(507), kOrientations, std::size(kOrientations), orientation);
    unlistedOrientation_ = orientation != 0 && c.combo(507)->findData(int(orientation)) < 0 ? orientation : -1;
    c.setChecked(506, orientation != 0);
    fillChoices(c.combo(594), kFrames, std::size(kFrames), int(s.eFrameType & 0xFF));
    c.setChecked(593, s.eFrameType != 0);
    c.setText(595, QString::number(s.iFrameWidth));
    static_cast<ColourButton*>(c.get(598))->setColour(frameColourToQColor(s.dwFrameColor));
    static_cast<ColourButton*>(c.get(600))->setColour(frameColourToQColor(s.dwFrameEdgeClr));
    c.setChecked(509, s.bCreateLogFile);
    c.setChecked(510, s.bNoErrorPrompts);
    c.setChecked(601, s.bUseAsciiFileNames);
    for (const Adjustment& a : kAdjustments) {
        bool off = false;
        for (int k = 0; k < sliderCount(a); ++k) {
            QSlider* slider = c.slider(a.sliders[k]);
            QSignalBlocker block(slider);
            slider->setRange(a.min, a.max);
            slider->setValue(positionOf(a, s.adjustments.*(a.fields[k])));
            off = off || slider->value() != a.neutral;
        }
        c.setChecked(a.box, off);
    }
    c.setChecked(570, s.index.bIndex);
    refreshLabels();
    updateControlStates();
}

void MoreOptionsPage::refreshLabels()
{
    ControlMap& c = controls();
    for (const Adjustment& a : kAdjustments) c.setText(a.label, labelText(a, c, false));
}

void MoreOptionsPage::updateControlStates()
{
    ControlMap& c = controls();
    for (const Adjustment& a : kAdjustments) {
        bool on = isOn(c, a.box);
        for (int k = 0; k < sliderCount(a); ++k) {
            QSlider* slider = c.slider(a.sliders[k]);
            slider->setEnabled(on);
            if (!on) {
                QSignalBlocker block(slider);
                slider->setValue(a.neutral);
            }
        }
        c.setEnabled(a.label, on);
        if (!on) c.setText(a.label, labelText(a, c, true));
    }
    c.setEnabled(507, isOn(c, 506));
    bool frame = isOn(c, 593);
    for (int id : {594, 595, 596, 597, 598, 599, 600}) c.setEnabled(id, frame);
}

void MoreOptionsPage::controlsToSettings()
{
    ControlMap& c = controls();
    JobSettings& s = settings_;
    s.bUndither = isOn(c, 523);

    uint8_t orientation = 0;
    if (isOn(c, 506)) {
        if (unlistedOrientation_ >= 0) orientation = uint8_t(unlistedOrientation_);
        else orientation = uint8_t(c.selData(507, 0));
    }
    s.adjustments.setOrientation(orientation);

    // The style is the low byte; whatever the record holds above it stays.
    if (isOn(c, 593)) s.eFrameType = (s.eFrameType & 0xFFFFFF00u) | uint32_t(c.selData(594, 1) & 0xFF);
    else s.eFrameType = 0;
    s.iFrameWidth = c.getInt(595, 0);

    s.bCreateLogFile = isOn(c, 509);
    s.bNoErrorPrompts = isOn(c, 510);
    s.bUseAsciiFileNames = isOn(c, 601);

    for (const Adjustment& a : kAdjustments) {
        bool on = isOn(c, a.box);
        for (int k = 0; k < sliderCount(a); ++k) {
            int p = on ? c.slider(a.sliders[k])->value() : a.neutral;
            float v = float(p * a.step);
            switch (a.setter) {
            case Setter::Colour: s.adjustments.setColour(a.fields[k], v); break;
            case Setter::Gamma: s.adjustments.setGamma(v); break;
            case Setter::Sharpness: s.adjustments.setSharpness(v); break;
            }
        }
    }

    bool wasIndex = s.index.bIndex;
    s.index.bIndex = isOn(c, 570);
    // The index makes exactly two outputs: the image and its thumbnail.
    if (s.index.bIndex) s.iOutFormats = 2;
    else if (wasIndex) s.iOutFormats = 1;
}

void MoreOptionsPage::chooseColour(int buttonId, uint32_t& value)
{
    QColor initial = frameColourToQColor(value);
    std::optional<QColor> chosen;
    if (auto& hook = uiHooks().chooseColour) {
        chosen = hook(this, initial);
    } else {
        QColor c = QColorDialog::getColor(initial, this);
        if (c.isValid()) chosen = c;
    }
    if (!chosen || !chosen->isValid()) return;
    value = frameColourFromQColor(*chosen, value);
    static_cast<ColourButton*>(controls().get(buttonId))->setColour(frameColourToQColor(value));
}

void MoreOptionsPage::onCommand(int id)
{
    ControlMap& c = controls();
    switch (id) {
    case 530:
    case 539:
    case 536:
    case 533:
    case 545:
    case 551:
    case 506:
    case 593:
    case 594: updateControlStates(); break;
    case 507: unlistedOrientation_ = -1; break;
    case 570:
        settings_.index.bIndex = isOn(c, 570);
        settings_.iOutFormats = settings_.index.bIndex ? 2 : 1;
        if (frame() && frame()->currentPage() == this) frame()->refreshActivation();
        break;
    case 598: chooseColour(598, settings_.dwFrameColor); break;
    case 600: chooseColour(600, settings_.dwFrameEdgeClr); break;
    default:
        for (const Adjustment& a : kAdjustments)
            for (int k = 0; k < sliderCount(a); ++k)
                if (a.sliders[k] == id) refreshLabels();
        break;
    }
}

int MoreOptionsPage::onNext()
{
    controlsToSettings();
    bool silent = (frame() && frame()->silent) || settings_.silentMode;
    if (!outputOptionsValidate(this, settings_, silent)) return WIZ_STAY;
    return settings_.index.bIndex ? PAGE_INDEX_OPTIONS : PAGE_PROCESSING;
}

int MoreOptionsPage::onBack()
{
    controlsToSettings();
    return settings_.iOutFormats >= 2 && !settings_.index.bIndex ? PAGE_MULTIPLE_FORMATS : PAGE_OUTPUT_OPTIONS;
}

} // namespace quillon::ui
