#include "ui/index_options_page.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

#include "core/text.h"
#include "ui/ui_kit.h"

namespace quillon::ui {

namespace {

// The HTML texts are 8-bit (Windows-1252) and at most 128 characters here.
constexpr int kHtmlTextMax = 128;

QString fromAnsi(const std::string& bytes)
{
    std::u16string wide = latin1ToU16(bytes);
    return QString::fromUtf16(wide.data(), qsizetype(wide.size()));
}

std::string toAnsi(const QString& text)
{
    std::string out = u16ToApprox(text.left(kHtmlTextMax).toStdU16String());
    if (out.size() > kIndexTextMax) out.resize(kIndexTextMax);
    return out;
}

bool isOn(const ControlMap& c, int id)
{
    auto* b = qobject_cast<QAbstractButton*>(c.get(id));
    return b && b->isChecked();
}

} // namespace

IndexOptionsPage::IndexOptionsPage(QWidget* parent) : IndexOptionsPage(jobSettings(), parent) {}

IndexOptionsPage::IndexOptionsPage(JobSettings& settings, QWidget* parent)
    : WizardPage(PAGE_INDEX_OPTIONS, parent), settings_(settings), rows_{controls(), settings, nullptr}
{
    auto* layout = new QVBoxLayout(this);
    auto* description = new QLabel(
        QStringLiteral("This function creates an 'index.html' page with image thumbnails linked to the full-sized images"),
        this);
    description->setWordWrap(true);
    setHintStyle(description);
    controls().add(571, description);
    layout->addWidget(description);

    auto* t1 = new QLabel(QStringLiteral(" Thumbnail image "), this);
    setTitleStyle(t1);
    controls().add(1251, t1);
    layout->addWidget(t1);
    auto* thumb = new QGridLayout;
    thumb->addWidget(new QLabel(QStringLiteral("File format:"), this), 0, 0);
    auto* format = new QComboBox(this);
    format->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    format->setMinimumContentsLength(18);
    addControl(kRowFormatId + 1, format);
    auto* sub = new QComboBox(this);
    sub->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    sub->setMinimumContentsLength(12);
    addControl(kRowSubFormatId + 1, sub);
    auto* colour = new QComboBox(this);
    addControl(kRowColourId + 1, colour);
    auto* param = new QLineEdit(this);
    param->setMaxLength(32);
    param->setMaximumWidth(70);
    addControl(kRowParamId + 1, param);
    auto* row = new QHBoxLayout;
    row->addWidget(format, 2);
    row->addWidget(sub, 1);
    row->addWidget(colour);
    row->addWidget(param);
    thumb->addLayout(row, 0, 1, 1, 3);
    thumb->addWidget(new QLabel(QStringLiteral("Maximum thumbnail size:"), this), 1, 0);
    auto* size = new QComboBox(this);
    size->setEditable(true);
    addControl(515, size);
    thumb->addWidget(size, 1, 1);
    thumb->addWidget(new QLabel(QStringLiteral("pixels"), this), 1, 2);
    auto* onlyDown = new QCheckBox(QStringLiteral("Never enlarge"), this);
    addControl(517, onlyDown);
    thumb->addWidget(onlyDown, 1, 3);
    thumb->addWidget(new QLabel(QStringLiteral("Sub-directory:"), this), 2, 0);
    auto* subdir = new QLineEdit(this);
    subdir->setMaxLength(259);
    addControl(573, subdir);
    thumb->addWidget(subdir, 2, 1);
    layout->addLayout(thumb);

    auto* t2 = new QLabel(QStringLiteral(" HTML layout"), this);
    setTitleStyle(t2);
    controls().add(1252, t2);
    layout->addWidget(t2);
    auto* html = new QGridLayout;
    html->addWidget(new QLabel(QStringLiteral("Columns per row:"), this), 0, 0);
    auto* cols = new QLineEdit(this);
    cols->setMaxLength(6);
    cols->setMaximumWidth(60);
    addControl(572, cols);
    html->addWidget(cols, 0, 1);
    html->addWidget(new QLabel(QStringLiteral("Thumbnail spacing:"), this), 0, 2);
    auto* spacing = new QLineEdit(this);
    spacing->setMaxLength(6);
    spacing->setMaximumWidth(60);
    addControl(576, spacing);
    html->addWidget(spacing, 0, 3);
    html->addWidget(new QLabel(QStringLiteral("pixels"), this), 0, 4);
    auto* names = new QCheckBox(QStringLiteral("Show file names"), this);
    addControl(575, names);
    auto* exts = new QCheckBox(QStringLiteral("Show file extensions"), this);
    addControl(577, exts);
    auto* res = new QCheckBox(QStringLiteral("Show image resolutions"), this);
    addControl(578, res);
    auto* borders = new QCheckBox(QStringLiteral("Add borders to thumbnails"), this);
    addControl(574, borders);
    auto* newWindow = new QCheckBox(QStringLiteral("Open image links new window"), this);
    addControl(584, newWindow);
    html->addWidget(names, 1, 0, 1, 2);
    html->addWidget(exts, 1, 2, 1, 3);
    html->addWidget(res, 2, 0, 1, 2);
    html->addWidget(borders, 2, 2, 1, 3);
    html->addWidget(newWindow, 3, 0, 1, 2);
    auto* bodyLabel = new QLabel(QStringLiteral("<BODY> tag:"), this);
    bodyLabel->setTextFormat(Qt::PlainText); // not markup: the tag's name is the text
    html->addWidget(bodyLabel, 4, 0);
    auto* body = new QLineEdit(this);
    body->setMaxLength(kHtmlTextMax);
    addControl(579, body);
    html->addWidget(body, 4, 1, 1, 4);
    auto* iconUrl = new QCheckBox(QStringLiteral("Replace the thumbnail image paths with:"), this);
    addControl(580, iconUrl);
    auto* iconUrlText = new QLineEdit(this);
    iconUrlText->setMaxLength(kHtmlTextMax);
    addControl(581, iconUrlText);
    html->addWidget(iconUrl, 5, 0, 1, 2);
    html->addWidget(iconUrlText, 5, 2, 1, 3);
    auto* linkUrl = new QCheckBox(QStringLiteral("Replace the linked image paths with:"), this);
    addControl(582, linkUrl);
    auto* linkUrlText = new QLineEdit(this);
    linkUrlText->setMaxLength(kHtmlTextMax);
    addControl(583, linkUrlText);
    html->addWidget(linkUrl, 6, 0, 1, 2);
    html->addWidget(linkUrlText, 6, 2, 1, 3);
    auto* validUris = new QCheckBox(
        QStringLiteral("Translate forbidden characters into escape codes in HTTP paths (e.g. space into %20)"), this);
    addControl(585, validUris);
    auto* ascii = new QCheckBox(
        QStringLiteral("Translate all image file names into 7-bit ASCII (required by many web-servers)"), this);
    addControl(586, ascii);
    html->addWidget(validUris, 7, 0, 1, 5);
    html->addWidget(ascii, 8, 0, 1, 5);
    layout->addLayout(html);
    layout->addStretch(1);
}

void IndexOptionsPage::settingsToControls()
{
    ControlMap& c = controls();
    const IndexSettings& ix = settings_.index;
    rows_.show(1);
    c.setText(573, QString::fromStdU16String(ix.szIconSubdir));
    fillFitSizes(c.combo(515));
    c.setText(515, QStringLiteral("%1 x %2").arg(ix.iResizeX).arg(ix.iResizeY));
    c.setChecked(517, ix.bResizeOnlyDown);
    c.setText(572, QString::number(ix.iCols));
    c.setText(576, QString::number(ix.iSpacing));
    c.setChecked(575, ix.bFileName);
    c.setChecked(577, ix.bFileExt);
    c.setChecked(578, ix.bImageRes);
    c.setChecked(574, ix.bImageBorder);
    c.setChecked(584, ix.bLinkToNew);
    c.setText(579, fromAnsi(ix.szBODY));
    c.setText(581, fromAnsi(ix.szIconURL));
    c.setText(583, fromAnsi(ix.szLinkURL));
    c.setChecked(580, ix.eIconURL == 2);
    c.setChecked(582, ix.eLinkURL == 2);
    c.setChecked(585, ix.bUseValidURIs);
    // 7-bit output names apply to the index's names as well.
    c.setChecked(586, ix.bUseAsciiFileNames || settings_.bUseAsciiFileNames);
    updateControlStates();
}

void IndexOptionsPage::updateControlStates()
{
    ControlMap& c = controls();
    c.setEnabled(577, isOn(c, 575));
    c.setEnabled(581, isOn(c, 580));
    c.setEnabled(583, isOn(c, 582));
}

void IndexOptionsPage::controlsToSettings()
{
    ControlMap& c = controls();
    IndexSettings& ix = settings_.index;
    rows_.store(1);
    ix.szIconSubdir = c.edit(573)->text().left(259).toStdU16String();
    int x, y;
    if (scanFitSize(c.combo(515)->currentText(), x, y)) {
        ix.iResizeX = uint32_t(x);
        ix.iResizeY = uint32_t(y);
    }
    ix.bResizeOnlyDown = isOn(c, 517);
    ix.iCols = c.getInt(572, 0);
    ix.iSpacing = c.getInt(576, 0);
    ix.bFileName = isOn(c, 575);
    ix.bFileExt = isOn(c, 577);
    ix.bImageRes = isOn(c, 578);
    ix.bImageBorder = isOn(c, 574);
    ix.bLinkToNew = isOn(c, 584);
    ix.szBODY = toAnsi(c.edit(579)->text());
    ix.szIconURL = toAnsi(c.edit(581)->text());
    ix.szLinkURL = toAnsi(c.edit(583)->text());
    ix.eIconURL = isOn(c, 580) ? 2 : 1;
    ix.eLinkURL = isOn(c, 582) ? 2 : 1;
    ix.bUseValidURIs = isOn(c, 585);
    ix.bUseAsciiFileNames = isOn(c, 586);
    if (!ix.bUseAsciiFileNames) settings_.bUseAsciiFileNames = 0;
}

void IndexOptionsPage::onCommand(int id)
{
    switch (id) {
    case kRowFormatId + 1: rows_.formatChosen(1, false); break;
    case kRowSubFormatId + 1: rows_.subFormatChosen(1, false); break;
    case kRowColourId + 1: rows_.colourChosen(1, false); break;
    case 575:
    case 580:
    case 582: updateControlStates(); break;
    default: break;
    }
}

int IndexOptionsPage::onNext()
{
    controlsToSettings();
    return PAGE_PROCESSING;
}

int IndexOptionsPage::onBack()
{
    controlsToSettings();
    return settings_.bShowMoreOptions ? PAGE_MORE_OPTIONS : PAGE_OUTPUT_OPTIONS;
}

} // namespace quillon::ui
