#include "ui/more_options_page.h"

#include <QLabel>
#include <QSlider>

#include "option_pages_support.h"
#include "support/test_support.h"

using namespace quillon;
using namespace quillon::ui;
using namespace quillon::test;

namespace {

struct MorePage {
    ScriptedBoxes boxes;
    TempDir out;
    JobSettings s;
    MoreOptionsPage* page;
    WizardHarness wizard;
    MorePage() : page(new MoreOptionsPage(s)), wizard(s, {page})
    {
        s.szOutDir = out.path().string() + "/";
        s.bShowMoreOptions = 1;
    }
    void show() { wizard.frame.setCurrentPage(PAGE_MORE_OPTIONS); }
    QSlider* slider(int id) { return page->controls().slider(id); }
    // A user drag: the position changes and the slider reports the move.
    void drag(int id, int position)
    {
        slider(id)->setSliderPosition(position);
        Q_EMIT slider(id)->sliderMoved(position);
    }
};

} // namespace

TEST(MoreOptionsPage, EveryFieldSurvivesControlsAndBack)
{
    MorePage t;
    JobSettings& s = t.s;
    s.bUndither = 1;
    AdjustmentSettings& a = s.adjustments;
    a.setColour(&AdjustmentSettings::contrast, 0.25f);
    a.setColour(&AdjustmentSettings::brightness, -0.33f);
    a.setSharpness(0.5f);
    a.setColour(&AdjustmentSettings::saturation, 1.0f);
    a.setGamma(1.5f);
    a.setColour(&AdjustmentSettings::red, 0.1f);
    a.setColour(&AdjustmentSettings::blue, -0.25f);
    a.setOrientation(3);
    s.eFrameType = 2;
    s.iFrameWidth = 21;
    s.dwFrameColor = 0xFF102030;
    s.dwFrameEdgeClr = 0x80405060;
    s.bCreateLogFile = s.bNoErrorPrompts = s.bUseAsciiFileNames = 1;
    JobSettings before = s;
    t.show();
    EXPECT_EQ(t.slider(531)->value(), 50);
    EXPECT_EQ(text(*t.page, 532), "0.50");
    EXPECT_EQ(t.slider(540)->value(), -33);
    EXPECT_EQ(t.slider(537)->value(), 50);
    EXPECT_EQ(t.slider(534)->value(), 100);
    EXPECT_EQ(t.slider(546)->value(), 150);
    EXPECT_EQ(text(*t.page, 547), "1.50");
    EXPECT_EQ((std::tuple{t.slider(552)->value(), t.slider(554)->value(), t.slider(553)->value()}), std::tuple(20, 0, -50));
    EXPECT_EQ(text(*t.page, 555), "0.20, 0.00, -0.50");
    EXPECT_EQ(text(*t.page, 507), "Rotate 90\u00b0 cw");
    EXPECT_EQ(text(*t.page, 594), "Toned border");
    EXPECT_EQ(text(*t.page, 595), "21");
    for (int id : {523, 530, 539, 536, 533, 545, 551, 506, 593, 509, 510, 601}) EXPECT_TRUE(checked(*t.page, id)) << id;
    t.page->controlsToSettings();
    const AdjustmentSettings& b = before.adjustments;
    EXPECT_EQ(a.contrast, b.contrast);
    EXPECT_FLOAT_EQ(a.brightness, b.brightness);
    EXPECT_EQ(a.sharpness, b.sharpness);
    EXPECT_EQ(a.saturation, b.saturation);
    EXPECT_EQ(a.gamma, b.gamma);
    EXPECT_FLOAT_EQ(a.red, b.red);
    EXPECT_EQ(a.green, b.green);
    EXPECT_EQ(a.blue, b.blue);
    EXPECT_EQ(a.orientation, 3);
    EXPECT_EQ(a.colourCount, b.colourCount);
    EXPECT_EQ(a.otherCount, b.otherCount);
    EXPECT_EQ(s.eFrameType, 2u);
    EXPECT_EQ(s.iFrameWidth, 21);
    EXPECT_EQ(s.dwFrameColor, 0xFF102030u);
    EXPECT_EQ(s.dwFrameEdgeClr, 0x80405060u);
    EXPECT_EQ(s.bUndither + s.bCreateLogFile + s.bNoErrorPrompts + s.bUseAsciiFileNames, 4);
}

TEST(MoreOptionsPage, SlidersStoreTheirScaledValues)
{
    MorePage t;
    t.show();
    click(*t.page, 530);
    t.drag(531, 50);
    EXPECT_EQ(text(*t.page, 532), "0.50");
    click(*t.page, 551);
    t.drag(554, -13);
    EXPECT_EQ(text(*t.page, 555), "0.00, -0.13, 0.00");
    t.page->controlsToSettings();
    EXPECT_EQ(t.s.adjustments.contrast, 0.25f);
    EXPECT_FLOAT_EQ(t.s.adjustments.green, -0.065f);
    EXPECT_EQ(t.s.adjustments.colourCount, 2u);
    // Shown again, the sliders come back where they were.
    t.page->settingsToControls();
    EXPECT_EQ(t.slider(531)->value(), 50);
    EXPECT_EQ(t.slider(554)->value(), -13);
    // Gamma off: neutral position, "1.00" and 1.0 stored.
    t.s.adjustments.setGamma(0.7f);
    t.page->settingsToControls();
    EXPECT_EQ(t.slider(546)->value(), 70);
    click(*t.page, 545);
    EXPECT_EQ(t.slider(546)->value(), 100);
    EXPECT_EQ(text(*t.page, 547), "1.00");
    EXPECT_FALSE(enabled(*t.page, 546));
    t.page->controlsToSettings();
    EXPECT_EQ(t.s.adjustments.gamma, 1.0f);
    EXPECT_EQ(t.s.adjustments.colourCount, 2u);
    // Off means neutral whatever the slider showed.
    click(*t.page, 530);
    EXPECT_EQ(text(*t.page, 532), "0.00");
    t.page->controlsToSettings();
    EXPECT_EQ(t.s.adjustments.contrast, 0.0f);
    EXPECT_EQ(t.s.adjustments.colourCount, 1u);
}

TEST(MoreOptionsPage, OrientationCountsAsAnOperation)
{
    MorePage t;
    t.s.adjustments.setSharpness(0.2f);
    t.show();
    click(*t.page, 506);
    EXPECT_TRUE(enabled(*t.page, 507));
    chooseText(*t.page, 507, "Mirror Horizontal");
    t.page->controlsToSettings();
    EXPECT_EQ(t.s.adjustments.orientation, 8);
    EXPECT_EQ(t.s.adjustments.otherCount, 2u);
    click(*t.page, 506);
    EXPECT_FALSE(enabled(*t.page, 507));
    t.page->controlsToSettings();
    EXPECT_EQ(t.s.adjustments.orientation, 0);
    EXPECT_EQ(t.s.adjustments.otherCount, 1u);
}

TEST(MoreOptionsPage, AnOrientationTheListCannotShowIsKept)
{
    // A turn with mirroring (from a preset) has no entry; leaving the page
    // must not turn it into the first entry's quarter turn.
    MorePage t;
    t.s.adjustments.setOrientation(5);
    t.show();
    EXPECT_TRUE(checked(*t.page, 506));
    t.page->controlsToSettings();
    EXPECT_EQ(t.s.adjustments.orientation, 5);
    chooseText(*t.page, 507, "Rotate 180\u00b0 ccw");
    t.page->controlsToSettings();
    EXPECT_EQ(t.s.adjustments.orientation, 2);
}

TEST(MoreOptionsPage, FrameControlsAndColours)
{
    MorePage t;
    t.s.dwFrameColor = 0xFF0000FF;
    t.show();
    for (int id : {594, 595, 596, 597, 598, 599, 600}) EXPECT_FALSE(enabled(*t.page, id)) << id;
    click(*t.page, 593);
    for (int id : {594, 595, 596, 597, 598, 599, 600}) EXPECT_TRUE(enabled(*t.page, id)) << id;
    auto* button = static_cast<ColourButton*>(t.page->controls().get(598));
    button->resize(40, 20);
    QImage shot = button->grab().toImage();
    EXPECT_EQ(shot.pixelColor(shot.width() / 2, shot.height() / 2), QColor(0, 0, 255)); // pure blue
    // The chooser sees the colour and sets a new one; the alpha byte stays.
    QColor offered;
    uiHooks().chooseColour = [&](QWidget*, const QColor& initial) -> std::optional<QColor> {
        offered = initial;
        return QColor(0x12, 0x34, 0x56);
    };
    click(*t.page, 598);
    EXPECT_EQ(offered, QColor(0, 0, 255));
    EXPECT_EQ(t.s.dwFrameColor, 0xFF123456u);
    shot = button->grab().toImage();
    EXPECT_EQ(shot.pixelColor(shot.width() / 2, shot.height() / 2), QColor(0x12, 0x34, 0x56));
    uiHooks().chooseColour = [](QWidget*, const QColor&) -> std::optional<QColor> { return {}; };
    click(*t.page, 600);
    EXPECT_EQ(t.s.dwFrameEdgeClr, 0xFFFFFFFFu); // cancelled: unchanged
    chooseText(*t.page, 594, "Flat border");
    t.page->controls().setText(595, "x");
    t.page->controlsToSettings();
    EXPECT_EQ(t.s.eFrameType, 1u);
    EXPECT_EQ(t.s.iFrameWidth, 0);
    click(*t.page, 593);
    t.page->controlsToSettings();
    EXPECT_EQ(t.s.eFrameType, 0u);
    // A disabled colour button shows the face colour.
    shot = button->grab().toImage();
    EXPECT_NE(shot.pixelColor(shot.width() / 2, shot.height() / 2), QColor(0x12, 0x34, 0x56));
}

TEST(MoreOptionsPage, IndexSwitchMakesTheThumbnailOutput)
{
    MorePage t;
    t.s.iOutFormats = 5;
    t.show();
    QPushButton* next = t.wizard.frame.nextButton();
    EXPECT_EQ(next->text(), "Start >");
    click(*t.page, 570);
    EXPECT_EQ(t.s.index.bIndex, 1);
    EXPECT_EQ(t.s.iOutFormats, 2u);
    EXPECT_EQ(next->text(), "Next >");
    t.wizard.frame.pressNext();
    EXPECT_EQ(t.wizard.frame.currentIndex(), PAGE_INDEX_OPTIONS);
    t.wizard.frame.setCurrentPage(PAGE_MORE_OPTIONS);
    click(*t.page, 570);
    EXPECT_EQ(t.s.iOutFormats, 1u);
    t.wizard.frame.pressBack();
    EXPECT_EQ(t.wizard.frame.currentIndex(), PAGE_OUTPUT_OPTIONS);
    t.s.iOutFormats = 3;
    t.wizard.frame.setCurrentPage(PAGE_MORE_OPTIONS);
    t.wizard.frame.pressBack();
    EXPECT_EQ(t.wizard.frame.currentIndex(), PAGE_MULTIPLE_FORMATS);
}

TEST(MoreOptionsPage, NextRunsTheOutputCheck)
{
    MorePage t;
    t.s.szOutDir.clear();
    t.show();
    t.wizard.frame.pressNext();
    EXPECT_EQ(t.wizard.frame.currentIndex(), PAGE_MORE_OPTIONS);
    ASSERT_EQ(t.boxes.asked.size(), 1u);
    EXPECT_EQ(t.boxes.asked[0].text, "You must select an output directory first!");
    t.s.szOutDir = t.out.path();
    t.wizard.frame.pressNext();
    EXPECT_EQ(t.wizard.frame.currentIndex(), PAGE_PROCESSING);
}
