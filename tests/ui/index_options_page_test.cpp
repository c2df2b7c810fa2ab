#include "ui/index_options_page.h"

#include "option_pages_support.h"
#include "support/test_support.h"

using namespace quillon;
using namespace quillon::ui;
using namespace quillon::test;

namespace {

struct IndexPage {
    FakeFormats formats;
    ScriptedBoxes boxes;
    JobSettings s;
    IndexOptionsPage* page;
    WizardHarness wizard;
    IndexPage() : page(makePage()), wizard(s, {page})
    {
        s.index.bIndex = 1;
        s.iOutFormats = 2;
        s.slots[1] = {FakeFormats::kJpg, 0x100, 60, u"Normal, by Quality:"};
    }
    IndexOptionsPage* makePage()
    {
        auto* p = new IndexOptionsPage(s);
        p->setRegistry(&formats.registry);
        return p;
    }
    void show() { wizard.frame.setCurrentPage(PAGE_INDEX_OPTIONS); }
};

} // namespace

TEST(IndexOptionsPage, EveryFieldSurvivesControlsAndBack)
{
    IndexPage t;
    IndexSettings& ix = t.s.index;
    ix.szIconSubdir = u"thumbs/\u00e9t\u00e9";
    ix.iResizeX = 320;
    ix.iResizeY = 240;
    ix.bResizeOnlyDown = 0;
    ix.iCols = 4;
    ix.iSpacing = 12;
    ix.bFileName = 1;
    ix.bFileExt = 1;
    ix.bImageRes = 1;
    ix.bImageBorder = 0;
    ix.bLinkToNew = 0;
    ix.szBODY = "bgcolor=#000000 text=\xe9";
    ix.eIconURL = 2;
    ix.szIconURL = "http://a/icons/";
    ix.eLinkURL = 1;
    ix.szLinkURL = "http://a/images/";
    ix.bUseValidURIs = 0;
    ix.bUseAsciiFileNames = 0;
    IndexSettings before = ix;
    t.show();
    EXPECT_EQ(text(*t.page, 811), "JPG - JPEG image file");
    EXPECT_EQ(text(*t.page, 621), "60 %");
    EXPECT_TRUE(enabled(*t.page, 811));
    EXPECT_EQ(text(*t.page, 515), "320 x 240");
    EXPECT_EQ(text(*t.page, 579), QString::fromUtf8("bgcolor=#000000 text=\u00e9"));
    EXPECT_TRUE(enabled(*t.page, 581));
    EXPECT_FALSE(enabled(*t.page, 583));
    EXPECT_EQ(t.wizard.frame.nextButton()->text(), "Start >");
    t.page->controlsToSettings();
    EXPECT_EQ(ix.szIconSubdir, before.szIconSubdir);
    EXPECT_EQ(ix.szBODY, before.szBODY);
    EXPECT_EQ(ix.szIconURL, before.szIconURL);
    EXPECT_EQ(ix.szLinkURL, before.szLinkURL);
    for (auto [name, got, want] : std::vector<std::tuple<const char*, int64_t, int64_t>>{
             {"iResizeX", ix.iResizeX, 320},       {"iResizeY", ix.iResizeY, 240},
             {"bResizeOnlyDown", ix.bResizeOnlyDown, 0}, {"iCols", ix.iCols, 4},
             {"iSpacing", ix.iSpacing, 12},        {"bFileName", ix.bFileName, 1},
             {"bFileExt", ix.bFileExt, 1},         {"bImageRes", ix.bImageRes, 1},
             {"bImageBorder", ix.bImageBorder, 0}, {"bLinkToNew", ix.bLinkToNew, 0},
             {"eIconURL", ix.eIconURL, 2},         {"eLinkURL", ix.eLinkURL, 1},
             {"bUseValidURIs", ix.bUseValidURIs, 0}, {"bUseAsciiFileNames", ix.bUseAsciiFileNames, 0},
             {"slot 1 quality", t.s.slots[1].iCompParam, 60}, {"slot 1 colour", t.s.slots[1].iColorFormat, 0x100}})
        EXPECT_EQ(got, want) << name;
}

TEST(IndexOptionsPage, TypedValuesAndStates)
{
    IndexPage t;
    t.show();
    ControlMap& c = t.page->controls();
    c.setText(572, "abc");
    c.setText(576, "7 px");
    c.setText(515, "0 x 100"); // no size: kept
    c.setText(573, "icons");
    c.setText(581, QString::fromUtf8("http://h/\u0141\u00f3d\u017a/"));
    t.page->controlsToSettings();
    EXPECT_EQ(t.s.index.iCols, 0);
    EXPECT_EQ(t.s.index.iSpacing, 7);
    EXPECT_EQ(t.s.index.iResizeX, 160u);
    EXPECT_EQ(t.s.index.szIconSubdir, u"icons");
    EXPECT_EQ(t.s.index.szIconURL, "http://h/L\xf3" "dz/"); // 8-bit: Latin-1 kept, others reduced
    // File names off: the extension box is disabled but keeps its value.
    c.setChecked(577, true);
    click(*t.page, 575);
    EXPECT_FALSE(checked(*t.page, 575));
    EXPECT_FALSE(enabled(*t.page, 577));
    EXPECT_TRUE(checked(*t.page, 577));
    t.page->controlsToSettings();
    EXPECT_EQ(t.s.index.bFileExt, 1);
    click(*t.page, 580);
    EXPECT_TRUE(enabled(*t.page, 581));
    click(*t.page, 582);
    EXPECT_TRUE(enabled(*t.page, 583));
    t.page->controlsToSettings();
    EXPECT_EQ(t.s.index.eIconURL, 2u);
    EXPECT_EQ(t.s.index.eLinkURL, 2u);
    // The thumbnail format row edits slot 1.
    chooseText(*t.page, 821, "Normal, to Size:");
    EXPECT_EQ(t.s.slots[1].szSubFormat, u"Normal, to Size:");
    EXPECT_EQ(text(*t.page, 621), "50 KB");
}

TEST(IndexOptionsPage, SevenBitNamesAreCoupledWithTheGlobalSwitch)
{
    IndexPage t;
    t.s.index.bUseAsciiFileNames = 0;
    t.s.bUseAsciiFileNames = 1;
    t.show();
    EXPECT_TRUE(checked(*t.page, 586));
    t.page->controlsToSettings();
    EXPECT_EQ(t.s.index.bUseAsciiFileNames, 1);
    EXPECT_EQ(t.s.bUseAsciiFileNames, 1);
    click(*t.page, 586);
    t.page->controlsToSettings();
    EXPECT_EQ(t.s.index.bUseAsciiFileNames, 0);
    EXPECT_EQ(t.s.bUseAsciiFileNames, 0);
}

TEST(IndexOptionsPage, NavigationNeedsNoCheck)
{
    IndexPage t;
    t.s.szOutDir.clear(); // no folder: the index page does not check it
    t.show();
    t.wizard.frame.pressNext();
    EXPECT_EQ(t.wizard.frame.currentIndex(), PAGE_PROCESSING);
    EXPECT_TRUE(t.boxes.asked.empty());
    t.show();
    t.wizard.frame.pressBack();
    EXPECT_EQ(t.wizard.frame.currentIndex(), PAGE_OUTPUT_OPTIONS);
    t.s.bShowMoreOptions = 1;
    t.show();
    t.wizard.frame.pressBack();
    EXPECT_EQ(t.wizard.frame.currentIndex(), PAGE_MORE_OPTIONS);
}
