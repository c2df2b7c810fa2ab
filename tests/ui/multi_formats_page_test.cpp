#include "ui/multi_formats_page.h"

#include "option_pages_support.h"
#include "support/test_support.h"
#include "ui/index_options_page.h"
#include "ui/more_options_page.h"
#include "ui/output_options_page.h"

using namespace quillon;
using namespace quillon::ui;
using namespace quillon::test;
namespace fs = std::filesystem;

namespace {

struct MultiPage {
    FakeFormats formats;
    ScriptedBoxes boxes;
    TempDir out;
    JobSettings s;
    MultiFormatsPage* page;
    WizardHarness wizard;
    MultiPage() : page(makePage()), wizard(s, {page})
    {
        s.szOutDir = out.path().string() + "/";
        s.iOutFormats = 5;
        const OutputFormatSlot slots[] = {
            {FakeFormats::kBmp, 0x80, 0, u"RLE compressed"},  {FakeFormats::kJpg, 0x100, 85, u"Normal, by Quality:"},
            {FakeFormats::kJpg, 0xFFFFFFFFu, 120, u"Normal, to Size:"}, {FakeFormats::kTif, 0x10000, 0, u"Uncompressed"},
            {FakeFormats::kTif, 0x4000, 4, u"Scaled by:"},    {FakeFormats::kBmp, 0x4000, 0, u"Normal"},
            {FakeFormats::kTif, 0x100, 70, u"JPEG, by Quality:"}, {FakeFormats::kBmp, 0x1, 0, u"Normal"},
        };
        for (int i = 0; i < kMaxOutputFormats; ++i) s.slots[size_t(i)] = slots[i];
        s.bMultiOutInSubDirs = 1;
        wizard.frame.setCurrentPage(PAGE_MULTIPLE_FORMATS);
    }
    MultiFormatsPage* makePage()
    {
        auto* p = new MultiFormatsPage(s);
        p->setRegistry(&formats.registry);
        return p;
    }
};

std::vector<bool> rowsOn(WizardPage& p)
{
    std::vector<bool> on;
    for (int i = 0; i < kMaxOutputFormats; ++i) on.push_back(checked(p, 800 + i) && enabled(p, 810 + i));
    return on;
}

} // namespace

TEST(MultiFormatsPage, EveryRowSurvivesControlsAndBack)
{
    MultiPage t;
    auto before = t.s.slots;
    EXPECT_EQ(text(*t.page, 811), "JPG - JPEG image file");
    EXPECT_EQ(text(*t.page, 621), "85 %");
    EXPECT_EQ(text(*t.page, 622), "120 KB");
    EXPECT_EQ(text(*t.page, 624), "4 x");
    EXPECT_EQ(text(*t.page, 623), "");
    EXPECT_EQ(text(*t.page, 830), "256 clrs");
    EXPECT_EQ(text(*t.page, 833), "16-bit gray");
    EXPECT_EQ(text(*t.page, 800), "Out 1:");
    EXPECT_EQ(text(*t.page, 807), "Out 8:");
    EXPECT_TRUE(checked(*t.page, 756));
    EXPECT_EQ(rowsOn(*t.page), (std::vector<bool>{1, 1, 1, 1, 1, 0, 0, 0}));
    EXPECT_FALSE(enabled(*t.page, 626)); // a quality row that is not an output
    t.page->controlsToSettings();
    for (int i = 0; i < kMaxOutputFormats; ++i) {
        EXPECT_EQ(t.s.slots[size_t(i)].iFormatId, before[size_t(i)].iFormatId) << i;
        EXPECT_EQ(t.s.slots[size_t(i)].szSubFormat, before[size_t(i)].szSubFormat) << i;
        EXPECT_EQ(t.s.slots[size_t(i)].iColorFormat, before[size_t(i)].iColorFormat) << i;
        EXPECT_EQ(t.s.slots[size_t(i)].iCompParam, before[size_t(i)].iCompParam) << i;
    }
    EXPECT_EQ(t.s.iOutFormats, 5u);
    EXPECT_EQ(t.s.bMultiOutInSubDirs, 1);
    t.page->controls().setChecked(756, false);
    t.page->controls().setText(621, "abc");
    t.page->controls().setText(622, "64 KB");
    t.page->controlsToSettings();
    EXPECT_EQ(t.s.bMultiOutInSubDirs, 0);
    EXPECT_EQ(t.s.slots[1].iCompParam, 85); // not a number: kept
    EXPECT_EQ(t.s.slots[2].iCompParam, 64);
}

TEST(MultiFormatsPage, CheckBoxesSetTheNumberOfOutputs)
{
    MultiPage t;
    click(*t.page, 802); // "Out 3:" off with five on
    EXPECT_EQ(t.s.iOutFormats, 2u);
    EXPECT_EQ(rowsOn(*t.page), (std::vector<bool>{1, 1, 0, 0, 0, 0, 0, 0}));
    EXPECT_FALSE(enabled(*t.page, 622));
    click(*t.page, 805); // "Out 6:" on with two on
    EXPECT_EQ(t.s.iOutFormats, 6u);
    EXPECT_EQ(rowsOn(*t.page), (std::vector<bool>{1, 1, 1, 1, 1, 1, 0, 0}));
    EXPECT_TRUE(enabled(*t.page, 622));
    EXPECT_FALSE(enabled(*t.page, 623)); // its sub-format takes no number
    click(*t.page, 800); // "Out 1:" cannot be unchecked
    EXPECT_EQ(t.s.iOutFormats, 1u);
    EXPECT_EQ(rowsOn(*t.page), (std::vector<bool>{1, 0, 0, 0, 0, 0, 0, 0}));
    click(*t.page, 807);
    EXPECT_EQ(t.s.iOutFormats, 8u);
    EXPECT_EQ(rowsOn(*t.page), std::vector<bool>(8, true));
    // The rows kept their slots while they were off.
    EXPECT_EQ(text(*t.page, 816), "TIF - Tag image file format");
    EXPECT_EQ(text(*t.page, 626), "70 %");
}

TEST(MultiFormatsPage, ANewKindOfNumberStartsFromTheLastOneUsed)
{
    MultiPage t;
    t.s.iLastSizeKB = 33;
    t.s.iLastXFactor = 7;
    chooseText(*t.page, 821, "Normal, to Size:");
    EXPECT_EQ(t.s.slots[1].iCompParam, 33);
    EXPECT_EQ(text(*t.page, 621), "33 KB");
    chooseText(*t.page, 814, "JPG - JPEG image file"); // factor 4 -> a quality
    EXPECT_EQ(t.s.slots[4].szSubFormat, u"Normal, by Quality:");
    EXPECT_EQ(text(*t.page, 624), "75 %");
    click(*t.page, 807);
    chooseText(*t.page, 816, "JPG - JPEG image file"); // a quality stays a quality
    EXPECT_EQ(text(*t.page, 626), "70 %");
    chooseText(*t.page, 833, "24-bit clr");
    EXPECT_EQ(t.s.slots[3].iColorFormat, 0x4000u);
}

TEST(MultiFormatsPage, NextChecksTheFolderAndFollowsTheSwitches)
{
    MultiPage t;
    WizardFrame& f = t.wizard.frame;
    EXPECT_EQ(f.nextButton()->text(), "Start >");
    f.pressNext();
    EXPECT_EQ(f.currentIndex(), PAGE_PROCESSING);
    f.setCurrentPage(PAGE_MULTIPLE_FORMATS);
    t.s.bShowMoreOptions = 1;
    f.setCurrentPage(PAGE_MULTIPLE_FORMATS);
    EXPECT_EQ(f.nextButton()->text(), "Next >");
    f.pressNext();
    EXPECT_EQ(f.currentIndex(), PAGE_MORE_OPTIONS);
    f.setCurrentPage(PAGE_MULTIPLE_FORMATS);
    t.s.szOutDir.clear();
    f.pressNext();
    EXPECT_EQ(f.currentIndex(), PAGE_MULTIPLE_FORMATS);
    ASSERT_FALSE(t.boxes.asked.empty());
    EXPECT_EQ(t.boxes.asked.back().text, "You must select an output directory first!");
    f.pressBack();
    EXPECT_EQ(f.currentIndex(), PAGE_OUTPUT_OPTIONS);
}

// Silent mode: each option page leaves itself, a missing output folder is
// created without a question, and the walk ends on the processing page.
TEST(SilentWalk, OptionPagesPassByThemselves)
{
    for (bool index : {false, true}) {
        FakeFormats formats;
        ScriptedBoxes boxes;
        TempDir out;
        JobSettings s;
        s.szOutDir = out.path() / "made" / "by the run";
        s.iOutFormats = 3;
        s.bShowMoreOptions = 1;
        s.index.bIndex = index;
        s.bDeleteSrcFiles = 1;
        auto* output = new OutputOptionsPage(s);
        output->setRegistry(&formats.registry);
        output->setPresetFolder(out.path() / "presets");
        auto* multi = new MultiFormatsPage(s);
        multi->setRegistry(&formats.registry);
        auto* more = new MoreOptionsPage(s);
        auto* indexPage = new IndexOptionsPage(s);
        indexPage->setRegistry(&formats.registry);
        WizardHarness w(s, {output, multi, more, indexPage});
        std::vector<int> seen;
        QObject::connect(&w.frame, &WizardFrame::pageActivated, [&](int i) { seen.push_back(i); });
        w.frame.silent = true;
        w.frame.setCurrentPage(PAGE_OUTPUT_OPTIONS);
        EXPECT_TRUE(waitFor([&] { return w.frame.currentIndex() == PAGE_PROCESSING; })) << index;
        std::vector<int> want = index ? std::vector<int>{1, 3, 4, 5} : std::vector<int>{1, 2, 3, 5};
        EXPECT_EQ(seen, want) << index;
        EXPECT_TRUE(fs::is_directory(out.path() / "made" / "by the run")) << index;
        EXPECT_TRUE(boxes.asked.empty()) << index;
        EXPECT_EQ(s.iOutFormats, index ? 2u : 3u);
    }
}
