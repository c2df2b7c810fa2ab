#include "ui/msgbox.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>

using namespace quillon::ui;

namespace {

// Runs `action` on the real box once it is showing.
void whenBoxShows(std::function<void(MsgBoxDialog*)> action)
{
    QTimer::singleShot(0, [action] {
        auto* box = qobject_cast<MsgBoxDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        action(box);
    });
}

void pressEscape(MsgBoxDialog* box)
{
    QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(box, &esc);
}

} // namespace

class MsgBoxTest : public ::testing::Test {
protected:
    void SetUp() override { uiHooks() = {}; }
};

TEST_F(MsgBoxTest, LeadingBreaksDependOnLength)
{
    EXPECT_EQ(msgBoxLayoutText(QStringLiteral("abc")), QStringLiteral("\n\n\nabc"));
    EXPECT_EQ(msgBoxLayoutText(QString(59, u'x')).count(u'\n'), 2);
    EXPECT_EQ(msgBoxLayoutText(QString(60, u'x')).count(u'\n'), 1);
    EXPECT_EQ(msgBoxLayoutText(QString(120, u'x')).count(u'\n'), 0);
}

TEST_F(MsgBoxTest, StandardSetsThroughTheHook)
{
    std::vector<MsgButton> seen;
    int32_t seenClose = 0;
    uiHooks().msgBox = [&](QWidget*, const QString&, const QString&, const std::vector<MsgButton>& b, int32_t c) {
        seen = b;
        seenClose = c;
        return b.back().value;
    };
    EXPECT_EQ(msgBox(nullptr, "t", "c", MB_YESNOCANCEL), IDCANCEL);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].label, QStringLiteral("&Yes"));
    EXPECT_EQ(seen[2].label, QStringLiteral("Cancel"));
    EXPECT_EQ(seenClose, IDCANCEL);
    msgBox(nullptr, "t", "c", MB_YESNO);
    EXPECT_EQ(seenClose, IDNO); // closing never means Yes
    msgBox(nullptr, "t", "c", MB_OK);
    EXPECT_EQ(seenClose, IDOK);
    msgBox(nullptr, "t", "c", MB_ABORTRETRYIGNORE | MB_DEFBUTTON3);
    EXPECT_EQ(seenClose, IDIGNORE);
    msgBox(nullptr, "t", "c", MB_OKCANCEL | MB_ICONEXCLAMATION);
    EXPECT_EQ(seenClose, IDCANCEL);
    seen.clear();
    EXPECT_EQ(msgBox(nullptr, "t", "c", 7), IDOK);
    EXPECT_TRUE(seen.empty()); // no box at all
}

TEST_F(MsgBoxTest, RealBoxButtonsAndLabels)
{
    whenBoxShows([](MsgBoxDialog* box) {
        ASSERT_EQ(box->buttonCount(), 4);
        EXPECT_EQ(box->button(1)->text(), QStringLiteral("Cancel"));
        EXPECT_EQ(box->windowTitle(), QStringLiteral("Caption"));
        EXPECT_TRUE(box->findChild<QLabel*>("ctl5000")->text().endsWith("Replace existing file?"));
        // The buttons sit left to right in one row.
        EXPECT_LT(box->button(0)->x(), box->button(3)->x());
        EXPECT_EQ(box->button(0)->y(), box->button(3)->y());
        box->button(2)->click();
    });
    int32_t r = msgBoxCustom(nullptr, "Replace existing file?", "Caption",
                             {{"Replace", 1}, {"Cancel", 4}, {"Rename", 3}, {"Replace All", 2}}, 4);
    EXPECT_EQ(r, 3);
}

TEST_F(MsgBoxTest, ButtonsAreAsWideAsTheirTextsAndStayInTheBox)
{
    const std::vector<std::vector<MsgButton>> sets = {
        {{"Yes, take me there", 1}, {"Not now", 0}},
        // Wider than the box: it grows.
        {{"Continue with the next file", 1}, {"Skip", 2}, {"Cancel the whole batch", 3}},
        {{"Replace", 1}, {"Cancel", 4}, {"Rename", 3}, {"Replace All", 2}},
    };
    for (const auto& set : sets) {
        whenBoxShows([](MsgBoxDialog* box) {
            for (int i = 0; i < box->buttonCount(); ++i) {
                QPushButton* b = box->button(i);
                const QString text = QString(b->text()).remove(u'&');
                EXPECT_GT(b->width(), QFontMetrics(b->font()).horizontalAdvance(text)) << text.toStdString();
                EXPECT_GE(b->width(), b->sizeHint().width()) << text.toStdString();
                EXPECT_GE(b->x(), 0);
                EXPECT_LE(b->geometry().right(), box->width() - 1) << text.toStdString();
                if (i > 0) {
                    EXPECT_LT(box->button(i - 1)->geometry().right(), b->x()) << text.toStdString();
                }
            }
            box->button(0)->click();
        });
        EXPECT_EQ(msgBoxCustom(nullptr, "Version 9 is out.", "Update", set, -1), 1);
    }
}

// A text of many lines (the files an addition could not add) grows the box
// downwards: every line shows, and the buttons stay below the text. A short
// text leaves the box at its usual size.
TEST_F(MsgBoxTest, ALongTextMakesTheBoxTaller)
{
    QString list = QStringLiteral("These 31 files could not be added:\n");
    for (int i = 0; i < 10; ++i)
        list += QStringLiteral("\nphotograph-%1.jpg: Corrupted, truncated or malformed file").arg(i);
    list += QStringLiteral("\n...and 21 more.");
    int usualHeight = 0;
    whenBoxShows([&](MsgBoxDialog* box) {
        usualHeight = box->height();
        box->button(0)->click();
    });
    msgBox(nullptr, "Short.", "Quillon", MB_OK);
    ASSERT_GT(usualHeight, 0);
    whenBoxShows([&](MsgBoxDialog* box) {
        auto* label = box->findChild<QLabel*>(QStringLiteral("ctl5000"));
        ASSERT_NE(label, nullptr);
        EXPECT_GE(label->height(), label->heightForWidth(label->width()));
        EXPECT_GT(box->height(), usualHeight);
        EXPECT_GT(box->button(0)->y(), label->geometry().bottom());
        EXPECT_LE(box->button(0)->geometry().bottom(), box->height() - 1);
        box->button(0)->click();
    });
    EXPECT_EQ(msgBox(nullptr, list, "Error - Quillon", MB_OK), IDOK);
}

TEST_F(MsgBoxTest, EscapePressesCancelOrAnswersTheCloseValue)
{
    whenBoxShows([](MsgBoxDialog* box) { pressEscape(box); });
    EXPECT_EQ(msgBoxCustom(nullptr, "x", "c", {{"Replace", 1}, {"&cancel", 4}, {"Rename", 3}}, -1), 4);

    // Yes/No has no Cancel: Esc closes with the safe answer, not Yes.
    whenBoxShows([](MsgBoxDialog* box) { pressEscape(box); });
    EXPECT_EQ(msgBox(nullptr, "Delete the source files?", "c", MB_YESNO), IDNO);

    // The close box too.
    whenBoxShows([](MsgBoxDialog* box) { box->close(); });
    EXPECT_EQ(msgBox(nullptr, "Create it?", "c", MB_YESNO), IDNO);

    // A custom box without a close value answers its first button.
    whenBoxShows([](MsgBoxDialog* box) { box->close(); });
    EXPECT_EQ(msgBoxCustom(nullptr, "x", "c", {{"Continue...", 1}, {"Cancel batch", 2}}, -1), 1);
}

TEST_F(MsgBoxTest, EnterPressesTheFocusedButton)
{
    whenBoxShows([](MsgBoxDialog* box) {
        box->button(1)->setFocus();
        QTest::keyClick(box->button(1), Qt::Key_Return);
    });
    EXPECT_EQ(msgBox(nullptr, "x", "c", MB_YESNO), IDNO);
}
