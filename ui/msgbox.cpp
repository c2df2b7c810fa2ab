#include "ui/msgbox.h"

#include <QCloseEvent>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QStyle>

#include "ui/ui_kit.h"

namespace quillon::ui {

namespace {

// Button x and width in dialog units, by number of buttons.
struct ButtonGeometry {
    int x, width;
};
const ButtonGeometry kButtonGeometry[4][4] = {
    {{91, 68}},
    {{45, 68}, {129, 78}},
    {{17, 68}, {92, 68}, {167, 68}},
    {{17, 54}, {72, 54}, {126, 54}, {180, 55}},
};

bool isCancelLabel(QString label)
{
    if (label.startsWith(u'&')) label.remove(0, 1);
    return label.compare(QStringLiteral("Cancel"), Qt::CaseInsensitive) == 0;
}

} // namespace

QString msgBoxLayoutText(const QString& text)
{
    int breaks = 3 - (int(text.size()) + 40) / 50;
    if (breaks < 0) breaks = 0;
    return QString(breaks, u'\n') + text;
}

MsgBoxDialog::MsgBoxDialog(QWidget* owner, const QString& text, const QString& caption,
                           const std::vector<MsgButton>& buttons)
    : QDialog(owner)
{
    setWindowTitle(caption);
    setWindowFlag(Qt::WindowStaysOnTopHint);
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    setModal(true);
    applyDialogColours(this);
    dialogSetIcons(this);

    // Dialog units follow the font: a quarter of the average character width
    // across, an eighth of the line height down.
    QFontMetrics fm(font());
    const double ux = fm.averageCharWidth() / 4.0, uy = fm.height() / 8.0;
    auto px = [&](int dluX, int dluY, int dluW, int dluH) {
        return QRect(int(dluX * ux + 0.5), int(dluY * uy + 0.5), int(dluW * ux + 0.5), int(dluH * uy + 0.5));
    };
    int boxWidth = int(252 * ux + 0.5);
    int boxHeight = int(96 * uy + 0.5);

    auto* label = new QLabel(msgBoxLayoutText(text), this);
    label->setObjectName(QStringLiteral("ctl5000"));
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setTextFormat(Qt::PlainText);

    auto* icon = new QLabel(this);
    icon->setObjectName(QStringLiteral("ctl5000icon"));
    QRect iconRect = px(7, 23, 20, 20);
    icon->setGeometry(iconRect);
    icon->setPixmap(appIcon().pixmap(iconRect.size()));

    const size_t n = std::min<size_t>(buttons.size(), 4);
    std::vector<QRect> places;
    for (size_t i = 0; i < n; ++i) {
        auto* b = new QPushButton(buttons[i].label, this);
        b->setObjectName(QStringLiteral("ctl%1").arg(5001 + int(i)));
        const ButtonGeometry& g = kButtonGeometry[n - 1][i];
        QRect place = px(g.x, 70, g.width, 17);
        // The widths in dialog units were chosen for another font: a label
        // that needs more room widens its button.
        place.setWidth(std::max(place.width(), b->sizeHint().width()));
        places.push_back(place);
        // Enter presses the focused button, as the platform's boxes do.
        b->setAutoDefault(true);
        const int id = 5001 + int(i);
        connect(b, &QPushButton::clicked, this, [this, id] {
            endedWith_ = id;
            done(id);
        });
        buttons_.push_back(b);
    }
    bool fits = n == 0 || places.back().right() < boxWidth;
    for (size_t i = 1; i < n; ++i) fits = fits && places[i - 1].right() < places[i].left();
    if (!fits) {
        // Widened buttons no longer fit their places: the row is set anew,
        // centred, and the box grows when it must.
        const int gap = int(4 * ux + 0.5), margin = int(7 * ux + 0.5);
        int row = gap * int(n - 1);
        for (const QRect& p : places) row += p.width();
        boxWidth = std::max(boxWidth, row + 2 * margin);
        int x = (boxWidth - row) / 2;
        for (QRect& p : places) {
            p.moveLeft(x);
            x += p.width() + gap;
        }
    }
    // The text keeps its margin on the right of a box that grew.
    QRect textPlace = px(37, 7, 212, 63);
    textPlace.setRight(std::max(textPlace.right(), boxWidth - 1 - int(3 * ux + 0.5)));
    // A text longer than its place (a list of files) makes the box taller,
    // the buttons staying below it, rather than being cut off.
    const int grow = std::max(0, label->heightForWidth(textPlace.width()) - textPlace.height());
    textPlace.setHeight(textPlace.height() + grow);
    boxHeight += grow;
    for (size_t i = 0; i < n; ++i) buttons_[i]->setGeometry(places[i].translated(0, grow));
    setFixedSize(boxWidth, boxHeight);
    label->setGeometry(textPlace);

    if (!buttons_.empty()) buttons_.front()->setFocus();
}

void MsgBoxDialog::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Escape) {
        reject();
        return;
    }
    QDialog::keyPressEvent(event);
}

void MsgBoxDialog::reject()
{
    // Esc presses a button labelled "Cancel"; without one the box closes
    // with its close value.
    for (size_t i = 0; i < buttons_.size(); ++i)
        if (isCancelLabel(buttons_[i]->text())) {
            endedWith_ = 5001 + int(i);
            done(endedWith_);
            return;
        }
    endedWith_ = 5005;
    done(5005);
}

void MsgBoxDialog::closeEvent(QCloseEvent* event)
{
    endedWith_ = 5005;
    QDialog::closeEvent(event);
}

int32_t msgBoxCustom(QWidget* owner, const QString& text, const QString& caption,
                     const std::vector<MsgButton>& buttons, int32_t closeValue)
{
    if (buttons.empty()) return closeValue;
    if (closeValue == -1) closeValue = buttons.front().value;
    if (auto& hook = uiHooks().msgBox) return hook(owner, text, caption, buttons, closeValue);
    MsgBoxDialog box(owner, text, caption, buttons);
    box.exec();
    int id = box.endedWith();
    if (id >= 5001 && id <= 5004) return buttons[size_t(id - 5001)].value;
    return closeValue;
}

int32_t msgBox(QWidget* owner, const QString& text, const QString& caption, uint32_t style)
{
    std::vector<MsgButton> set;
    int32_t safe = -1; // the answer when the box is closed without a button
    switch (style & 0xF) {
    case MB_OK:
        set = {{QStringLiteral("&OK"), IDOK}};
        break;
    case MB_OKCANCEL:
        set = {{QStringLiteral("&OK"), IDOK}, {QStringLiteral("&Cancel"), IDCANCEL}};
        safe = IDCANCEL;
        break;
    case MB_ABORTRETRYIGNORE:
        set = {{QStringLiteral("&Abort"), IDABORT}, {QStringLiteral("&Retry"), IDRETRY},
               {QStringLiteral("&Ignore"), IDIGNORE}};
        break;
    case MB_YESNOCANCEL:
        set = {{QStringLiteral("&Yes"), IDYES}, {QStringLiteral("&No"), IDNO}, {QStringLiteral("Cancel"), IDCANCEL}};
        safe = IDCANCEL;
        break;
    case MB_YESNO:
        set = {{QStringLiteral("&Yes"), IDYES}, {QStringLiteral("&No"), IDNO}};
        safe = IDNO;
        break;
    case MB_RETRYCANCEL:
        set = {{QStringLiteral("&Retry"), IDRETRY}, {QStringLiteral("&Cancel"), IDCANCEL}};
        safe = IDCANCEL;
        break;
    default:
        return IDOK;
    }
    int32_t closeValue = safe;
    if (closeValue == -1) {
        // Sets without a refusing answer close with their default button.
        if (style & MB_DEFBUTTON3) closeValue = set.size() >= 3 ? set[2].value : 0;
        else if (style & MB_DEFBUTTON2) closeValue = set.size() >= 2 ? set[1].value : 0;
    }
    return msgBoxCustom(owner, text, caption, set, closeValue);
}

} // namespace quillon::ui
