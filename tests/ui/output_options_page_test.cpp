#include "ui/output_options_page.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

#include <fstream>

#include "app/presets.h"
#include "option_pages_support.h"
#include "support/test_support.h"

using namespace quillon;
using namespace quillon::ui;
using namespace quillon::test;
namespace fs = std::filesystem;

namespace {

struct OutputPage {
    FakeFormats formats;
    ScriptedBoxes boxes;
    TempDir presets;
    JobSettings s;
    OutputOptionsPage* page;
    WizardHarness wizard;
    OutputPage() : page(makePage()), wizard(s, {page})
    {
        s.slots[0] = {FakeFormats::kBmp, 0xFFFFFFFFu, 0, u"Normal"};
        wizard.frame.setCurrentPage(PAGE_OUTPUT_OPTIONS);
    }
    OutputOptionsPage* makePage()
    {
        auto* p = new OutputOptionsPage(s);
        p->setRegistry(&formats.registry);
        p->setPresetFolder(presets.path());
        return p;
    }
    void reload() { page->settingsToControls(); }
    // Saves a preset `name` with output folder `dir`, then shows the wizard
    // with the focus in it, for tests that type and click like a user.
    void savePresetAndShow(const char* dir, const char* name)
    {
        reload();
        ControlMap& c = page->controls();
        c.setText(501, dir);
        c.setText(590, name);
        click(*page, 591);
        ASSERT_TRUE(fs::exists(presets / (std::string(name) + ".qpt")));
        wizard.frame.show();
        wizard.frame.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&wizard.frame));
    }
};

} // namespace

TEST(OutputOptionsPage, EveryFieldSurvivesControlsAndBack)
{
    OutputPage t;
    JobSettings& s = t.s;
    s.szOutDir = "/tmp/out dir/";
    s.bSaveInSrcDirs = 0;
    s.bNoOverwritePrompt = 1;
    s.bSkipExisting = 1;
    s.bDeleteSrcFiles = 1;
    s.bKeepSubDirs = 1;
    s.iKeepSubDirLevels = -3;
    s.slots[0] = {FakeFormats::kJpg, 0x100, 85, u"Normal, by Quality:"};
    s.quantize.dither = s.quantize.ditherTo8Bit = s.quantize.ditherHighColour = 0;
    s.quantize.useFixedPalette = 1;
    s.quantize.useGivenPalette = 1;
    s.eResize = 2;
    s.i3ResizeFactor = 33500;
    s.iResizeX = 1365;
    s.iResizeY = 768;
    s.eResizeMethod = 6;
    s.bResizeOnlyDown = 0;
    s.bResizeKeepAspect = 0;
    s.bSetPPI = 1;
    s.iSetPPI = 450;
    s.bShowMoreOptions = 1;
    s.bCreateLogFile = 1;
    s.iOutFormats = 3;
    JobSettings before = s;
    t.reload();
    EXPECT_EQ(text(*t.page, 514), "33.50");
    EXPECT_EQ(text(*t.page, 515), "1365 x 768");
    EXPECT_EQ(text(*t.page, 620), "85 %");
    EXPECT_EQ(text(*t.page, 830), "8-bit gray");
    EXPECT_EQ(text(*t.page, 528), "lower levels of source path preserved");
    EXPECT_TRUE(checked(*t.page, 757));
    t.page->controlsToSettings();
    EXPECT_EQ(s.szOutDir, before.szOutDir);
    EXPECT_EQ(s.iKeepSubDirLevels, -3);
    EXPECT_EQ(s.slots[0].iFormatId, FakeFormats::kJpg);
    EXPECT_EQ(s.slots[0].szSubFormat, u"Normal, by Quality:");
    EXPECT_EQ(s.slots[0].iColorFormat, 0x100u);
    EXPECT_EQ(s.slots[0].iCompParam, 85);
    EXPECT_EQ(s.iLastQualityPercent, 85);
    for (auto [name, got, want] : std::vector<std::tuple<const char*, int64_t, int64_t>>{
             {"bNoOverwritePrompt", s.bNoOverwritePrompt, 1}, {"bSkipExisting", s.bSkipExisting, 1},
             {"bDeleteSrcFiles", s.bDeleteSrcFiles, 1},       {"bKeepSubDirs", s.bKeepSubDirs, 1},
             {"dither", s.quantize.dither, 0},                {"ditherHighColour", s.quantize.ditherHighColour, 0},
             {"bFixedPalette", s.quantize.useFixedPalette, 1}, {"bSharedPalette", s.quantize.useGivenPalette, 1},
             {"eResize", s.eResize, 2},                       {"i3ResizeFactor", s.i3ResizeFactor, 33500},
             {"iResizeX", s.iResizeX, 1365},                  {"iResizeY", s.iResizeY, 768},
             {"eResizeMethod", s.eResizeMethod, 6},           {"bResizeOnlyDown", s.bResizeOnlyDown, 0},
             {"bResizeKeepAspect", s.bResizeKeepAspect, 0},   {"bSetPPI", s.bSetPPI, 1},
             {"iSetPPI", s.iSetPPI, 450},                     {"bShowMoreOptions", s.bShowMoreOptions, 1},
             {"bCreateLogFile", s.bCreateLogFile, 1},         {"iOutFormats", s.iOutFormats, 3},
             {"bIndex", s.index.bIndex, 0}})
        EXPECT_EQ(got, want) << name;
}

TEST(OutputOptionsPage, EachControlStoresItsOwnSetting)
{
    // Changed one at a time from the defaults, each control moves exactly
    // the setting behind it.
    struct Case {
        int id;
        std::function<void(OutputOptionsPage&)> change;
        std::function<int64_t(const JobSettings&)> field;
        int64_t want;
    };
    auto tick = [](int id) { return [id](OutputOptionsPage& p) { p.controls().setChecked(id, !p.controls().check(id)->isChecked()); }; };
    auto type = [](int id, QString v) { return [id, v](OutputOptionsPage& p) { p.controls().setText(id, v); }; };
    std::vector<Case> cases = {
        {504, tick(504), [](auto& s) { return s.bSaveInSrcDirs; }, 1},
        {503, tick(503), [](auto& s) { return s.bNoOverwritePrompt; }, 1},
        {508, tick(508), [](auto& s) { return s.bSkipExisting; }, 1},
        {505, tick(505), [](auto& s) { return s.bDeleteSrcFiles; }, 1},
        {526, tick(526), [](auto& s) { return s.bKeepSubDirs; }, 1},
        {527, type(527, "4"), [](auto& s) { return s.iKeepSubDirLevels; }, 4},
        {528, [](auto& p) { p.controls().combo(528)->setCurrentIndex(0); }, [](auto& s) { return s.iKeepSubDirLevels; }, -1},
        {519, tick(519), [](auto& s) { return s.quantize.ditherTo8Bit; }, 0},
        {520, tick(520), [](auto& s) { return s.quantize.useFixedPalette; }, 1},
        {522, tick(522), [](auto& s) { return s.quantize.useGivenPalette; }, 1},
        {511, tick(511), [](auto& s) { return s.eResize; }, 1},
        {513, [](auto& p) { p.controls().setChecked(511, true); p.controls().setChecked(513, true); },
         [](auto& s) { return s.eResize; }, 2},
        {514, type(514, "12.5"), [](auto& s) { return s.i3ResizeFactor; }, 12500},
        {515, type(515, "640 x 480"), [](auto& s) { return s.iResizeX * 10000 + s.iResizeY; }, 6400480},
        {524, [](auto& p) { p.controls().combo(524)->setCurrentIndex(0); }, [](auto& s) { return s.eResizeMethod; }, 1},
        {517, tick(517), [](auto& s) { return s.bResizeOnlyDown; }, 0},
        {525, tick(525), [](auto& s) { return s.bResizeKeepAspect; }, 0},
        {587, tick(587), [](auto& s) { return s.bSetPPI; }, 1},
        {588, type(588, "96"), [](auto& s) { return s.iSetPPI; }, 96},
        {529, tick(529), [](auto& s) { return s.bShowMoreOptions; }, 1},
        {570, tick(570), [](auto& s) { return s.index.bIndex * 10 + s.iOutFormats; }, 12},
        {501, type(501, "/srv/pictures/"), [](auto& s) { return int64_t(s.szOutDir == "/srv/pictures/"); }, 1},
    };
    for (const Case& c : cases) {
        OutputPage t;
        JobSettings defaults = t.s;
        t.reload();
        c.change(*t.page);
        t.page->controlsToSettings();
        EXPECT_EQ(c.field(t.s), c.want) << "control " << c.id;
        // Nothing else moved (sampled over the fields most easily confused).
        if (c.id != 527 && c.id != 528) {
            EXPECT_EQ(t.s.iKeepSubDirLevels, defaults.iKeepSubDirLevels) << c.id;
        }
        if (c.id != 511 && c.id != 513) {
            EXPECT_EQ(t.s.eResize, defaults.eResize) << c.id;
        }
        if (c.id != 570) {
            EXPECT_EQ(t.s.iOutFormats, defaults.iOutFormats) << c.id;
        }
    }
}

TEST(OutputOptionsPage, NumbersAreReadAsTheUserTypesThem)
{
    OutputPage t;
    ControlMap& c = t.page->controls();
    t.reload();
    c.setText(514, "33,5");
    c.setText(515, "not a size");
    c.setText(588, "abc");
    c.setText(527, "x");
    t.page->controlsToSettings();
    EXPECT_EQ(t.s.i3ResizeFactor, 33500);
    EXPECT_EQ(t.s.iResizeX, 800u); // unreadable: unchanged
    EXPECT_EQ(t.s.iResizeY, 600u);
    EXPECT_EQ(t.s.iSetPPI, 0);
    EXPECT_EQ(t.s.iKeepSubDirLevels, 0);
    t.reload();
    EXPECT_EQ(text(*t.page, 514), "33.50");
    c.setText(514, "-0.0004");
    t.page->controlsToSettings();
    EXPECT_EQ(t.s.i3ResizeFactor, 0);
    c.setText(514, "-2.25");
    t.page->controlsToSettings();
    EXPECT_EQ(t.s.i3ResizeFactor, -2250);
}

TEST(OutputOptionsPage, QualityIsShownWithItsUnitAndCappedAtAHundred)
{
    OutputPage t;
    t.s.iLastQualityPercent = 75;
    t.s.iLastSizeKB = 40;
    t.reload();
    EXPECT_EQ(items(*t.page, 810), QStringList({"BMP - Windows bitmap format", "JPG - JPEG image file", "TIF - Tag image file format"}));
    EXPECT_FALSE(enabled(*t.page, 620)); // BMP takes no number
    chooseText(*t.page, 810, "JPG - JPEG image file");
    EXPECT_EQ(text(*t.page, 820), "Normal, by Quality:");
    EXPECT_EQ(text(*t.page, 620), "75 %");
    EXPECT_TRUE(enabled(*t.page, 620));
    EXPECT_EQ(t.s.slots[0].iCompParam, 75);
    chooseText(*t.page, 820, "Normal, to Size:");
    EXPECT_EQ(text(*t.page, 620), "40 KB");
    chooseText(*t.page, 820, "Normal, by Quality:");
    t.page->controls().setText(620, "150");
    t.page->controlsToSettings();
    EXPECT_EQ(t.s.slots[0].iCompParam, 100);
    EXPECT_EQ(t.s.iLastQualityPercent, 100);
    // A quality carries over to another format's quality sub-format.
    t.page->controls().setText(620, "60 %");
    t.page->controlsToSettings();
    chooseText(*t.page, 810, "TIF - Tag image file format");
    chooseText(*t.page, 820, "JPEG, by Quality:");
    EXPECT_EQ(text(*t.page, 620), "60 %");
    chooseText(*t.page, 820, "Scaled by:");
    EXPECT_EQ(text(*t.page, 620), "10 x");
    chooseText(*t.page, 820, "Uncompressed");
    EXPECT_EQ(text(*t.page, 620), "");
    EXPECT_FALSE(enabled(*t.page, 620));
    EXPECT_EQ(t.s.slots[0].iCompParam, 0);
    EXPECT_EQ(items(*t.page, 830), QStringList({"Auto color", "24-bit clr", "16-bit gray"}));
}

TEST(OutputOptionsPage, ShowingThePageWritesNothing)
{
    OutputPage t;
    JobSettings& s = t.s;
    // A first start: slot 0 names the read-only format at index 0 and a
    // sub-format that no format has.
    s.slots[0] = {0, 31, 0, u"Default"};
    s.iOutFormats = 3;
    s.szOutDir = "/x/";
    s.bSaveInSrcDirs = 1;
    t.reload();
    t.page->updateControlStates();
    EXPECT_EQ(s.slots[0].iFormatId, 0);
    EXPECT_EQ(s.slots[0].szSubFormat, u"Default");
    EXPECT_EQ(s.slots[0].iCompParam, 0);
    EXPECT_EQ(s.iOutFormats, 3u);
    EXPECT_EQ(s.szOutDir, "/x/");
    // What it shows is what the batch would write.
    EXPECT_EQ(text(*t.page, 810), "BMP - Windows bitmap format");
    EXPECT_EQ(text(*t.page, 820), "Normal");
    EXPECT_EQ(text(*t.page, 830), "Auto color");
    EXPECT_EQ(text(*t.page, 501), "");
    t.page->controlsToSettings();
    EXPECT_EQ(s.slots[0].iFormatId, FakeFormats::kBmp);
    EXPECT_EQ(s.slots[0].iColorFormat, 0xFFFFFFFFu);
    EXPECT_EQ(s.szOutDir, "/x/");
}

TEST(OutputOptionsPage, FormatByExtensionSurvivesThePage)
{
    OutputPage t;
    t.s.slots[0] = {-1, 0xFFFFFFFFu, 0, u"Normal"};
    t.reload();
    EXPECT_EQ(t.page->controls().combo(810)->currentIndex(), -1);
    t.page->controlsToSettings();
    EXPECT_EQ(t.s.slots[0].iFormatId, -1);
}

TEST(OutputOptionsPage, ControlStatesFollowTheirSwitches)
{
    OutputPage t;
    OutputOptionsPage& p = *t.page;
    ControlMap& c = p.controls();
    // Folder: {save in source, index} -> folder edit enabled
    for (auto [same, index, folder] : {std::tuple{0, 0, 1}, {1, 0, 0}, {1, 1, 1}, {0, 1, 1}}) {
        c.setChecked(504, same);
        c.setChecked(570, index);
        p.updateControlStates();
        EXPECT_EQ(enabled(p, 501), bool(folder)) << same << index;
        EXPECT_EQ(enabled(p, 502), bool(folder)) << same << index;
        EXPECT_EQ(enabled(p, 757), !index);
    }
    // Kept levels: {save in source, keep} -> {526, 527/528}
    for (auto [same, keep, box, levels] : {std::tuple{0, 0, 1, 0}, {0, 1, 1, 1}, {1, 1, 0, 0}}) {
        c.setChecked(504, same);
        c.setChecked(526, keep);
        p.updateControlStates();
        EXPECT_EQ(enabled(p, 526), bool(box));
        EXPECT_EQ(enabled(p, 527), bool(levels));
        EXPECT_EQ(enabled(p, 528), bool(levels));
    }
    // Resizing: {resize, by factor} -> factor and fit controls
    c.setChecked(511, false);
    p.updateControlStates();
    for (int id : {512, 513, 514, 515, 517, 524, 525, 758}) EXPECT_FALSE(enabled(p, id)) << id;
    c.setChecked(511, true);
    c.setChecked(512, true);
    p.updateControlStates();
    for (int id : {512, 513, 514, 516, 524, 758}) EXPECT_TRUE(enabled(p, id)) << id;
    for (int id : {515, 517, 525}) EXPECT_FALSE(enabled(p, id)) << id;
    click(p, 513);
    EXPECT_FALSE(enabled(p, 514));
    for (int id : {515, 517, 525}) EXPECT_TRUE(enabled(p, id)) << id;
    c.setChecked(587, false);
    p.updateControlStates();
    EXPECT_FALSE(enabled(p, 588));
    click(p, 587);
    EXPECT_TRUE(enabled(p, 588));
}

TEST(OutputOptionsPage, PaletteBoxesFollowTheColourFormat)
{
    OutputPage t;
    t.reload();
    OutputOptionsPage& p = *t.page;
    auto states = [&] { return std::tuple{enabled(p, 519), enabled(p, 520), enabled(p, 522)}; };
    EXPECT_EQ(states(), std::tuple(true, false, false)); // automatic
    chooseText(p, 830, "256 clrs");
    EXPECT_EQ(states(), std::tuple(true, true, true));
    EXPECT_EQ(t.s.slots[0].iColorFormat, 0x80u);
    chooseText(p, 830, "2 clrs");
    EXPECT_EQ(states(), std::tuple(true, true, true));
    chooseText(p, 830, "8-bit gray");
    EXPECT_EQ(states(), std::tuple(true, false, false));
    chooseText(p, 830, "24-bit clr");
    EXPECT_EQ(states(), std::tuple(false, false, false));
    chooseText(p, 830, "32-bit clr+A ");
    EXPECT_EQ(states(), std::tuple(false, false, false));
    // A colour the new sub-format cannot write falls back to automatic.
    chooseText(p, 820, "RLE compressed");
    EXPECT_EQ(text(p, 830), "Auto color");
    EXPECT_EQ(t.s.slots[0].iColorFormat, 0xFFFFFFFFu);
}

TEST(OutputOptionsPage, IndexAndMultipleFormatsDecideTheOutputs)
{
    OutputPage t;
    OutputOptionsPage& p = *t.page;
    QPushButton* next = t.wizard.frame.nextButton();
    t.reload();
    EXPECT_EQ(next->text(), "Start >");
    click(p, 757);
    EXPECT_EQ(t.s.iOutFormats, 2u);
    EXPECT_EQ(next->text(), "Next >");
    t.s.iOutFormats = 3;
    click(p, 570);
    EXPECT_EQ(t.s.index.bIndex, 1);
    EXPECT_EQ(t.s.iOutFormats, 2u);
    EXPECT_FALSE(checked(p, 757));
    EXPECT_FALSE(enabled(p, 757));
    click(p, 570);
    EXPECT_EQ(t.s.index.bIndex, 0);
    EXPECT_EQ(t.s.iOutFormats, 1u);
    EXPECT_FALSE(checked(p, 757));
    EXPECT_EQ(next->text(), "Start >");
    click(p, 529);
    EXPECT_EQ(t.s.bShowMoreOptions, 1);
    EXPECT_EQ(next->text(), "Next >");
}

TEST(OutputOptionsPage, LeavingWithoutMoreOptionsResetsThem)
{
    OutputPage t;
    JobSettings& s = t.s;
    s.bShowMoreOptions = 1;
    s.bNoErrorPrompts = s.bCreateLogFile = s.bUseAsciiFileNames = s.bUndither = 1;
    s.adjustments.setColour(&AdjustmentSettings::contrast, 0.25f);
    s.adjustments.setOrientation(3);
    s.eFrameType = 2;
    t.reload();
    t.page->controlsToSettings();
    EXPECT_EQ(s.bCreateLogFile, 1); // kept while the page is on
    click(*t.page, 529);
    t.page->controlsToSettings();
    EXPECT_EQ(s.bNoErrorPrompts + s.bCreateLogFile + s.bUseAsciiFileNames + s.bUndither, 0);
    EXPECT_TRUE(s.adjustments.isNeutral());
    EXPECT_EQ(s.adjustments.contrast, 0.0f);
    EXPECT_EQ(s.eFrameType, 0u);
}

TEST(OutputOptionsPage, SaveInSourceFolderKeepsTheTypedFolder)
{
    OutputPage t;
    OutputOptionsPage& p = *t.page;
    t.reload();
    p.controls().setText(501, "/data/out/");
    click(p, 504);
    EXPECT_EQ(text(p, 501), "");
    EXPECT_FALSE(enabled(p, 501));
    EXPECT_EQ(t.s.szOutDir, "/data/out/");
    p.controlsToSettings();
    EXPECT_EQ(t.s.szOutDir, "/data/out/"); // not overwritten by the empty edit
    // With the index the folder is in use again: shown, read and required.
    click(p, 570);
    EXPECT_EQ(text(p, 501), "/data/out/");
    EXPECT_TRUE(enabled(p, 501));
    click(p, 504);
    EXPECT_EQ(text(p, 501), "/data/out/");
    // A folder typed while the index is on survives switching the index off.
    click(p, 504);
    p.controls().setText(501, "/data/typed/");
    click(p, 570);
    EXPECT_EQ(text(p, 501), "");
    p.controlsToSettings();
    EXPECT_EQ(t.s.szOutDir, "/data/typed/");
    click(p, 570);
    EXPECT_EQ(text(p, 501), "/data/typed/");
}

TEST(OutputOptionsPage, BrowsingSetsTheFolderWithItsSeparator)
{
    OutputPage t;
    QString startSeen;
    uiHooks().browseFolder = [&](QWidget*, const QString& prompt, const QString& start) -> std::optional<QString> {
        EXPECT_EQ(prompt, "Please select the batch output folder");
        startSeen = start;
        return QString("/chosen/folder");
    };
    t.s.szOutDir = "/old/";
    t.reload();
    click(*t.page, 502);
    EXPECT_EQ(startSeen, "/old");
    EXPECT_EQ(t.s.szOutDir, "/chosen/folder/");
    EXPECT_EQ(text(*t.page, 501), "/chosen/folder/");
    uiHooks().browseFolder = [](QWidget*, const QString&, const QString&) -> std::optional<QString> { return {}; };
    click(*t.page, 502);
    EXPECT_EQ(t.s.szOutDir, "/chosen/folder/");
    click(*t.page, 500);
    EXPECT_EQ(t.boxes.help, std::vector<int>{9901});
}

// ---- the output check ----

TEST(OutputCheck, AsksBeforeCreatingAMissingFolder)
{
    ScriptedBoxes boxes;
    TempDir dir;
    JobSettings s;
    QWidget owner;
    EXPECT_FALSE(outputOptionsValidate(&owner, s, false));
    ASSERT_EQ(boxes.asked.size(), 1u);
    EXPECT_EQ(boxes.asked[0].text, "You must select an output directory first!");
    EXPECT_EQ(boxes.asked[0].caption, "Quillon");

    fs::path nested = dir.path() / "a" / "b c";
    s.szOutDir = nested;
    boxes.answers = {IDNO};
    EXPECT_FALSE(outputOptionsValidate(&owner, s, false));
    ASSERT_EQ(boxes.asked.size(), 2u);
    EXPECT_EQ(boxes.asked[1].text, "The output directory does not exist!\n\nCreate it?");
    EXPECT_EQ(boxes.asked[1].caption, QString::fromStdString(nested.string()));
    EXPECT_EQ(boxes.asked[1].buttons, (std::vector<QString>{"&Yes", "&No"}));
    EXPECT_FALSE(fs::exists(nested));
    EXPECT_EQ(s.szOutDir, nested.string() + "/"); // the separator is added either way

    // Closing the box is a refusal too.
    EXPECT_FALSE(outputOptionsValidate(&owner, s, false));
    EXPECT_FALSE(fs::exists(nested));

    boxes.answers = {IDYES};
    EXPECT_TRUE(outputOptionsValidate(&owner, s, false));
    EXPECT_TRUE(fs::is_directory(nested));
    size_t asked = boxes.asked.size();
    EXPECT_TRUE(outputOptionsValidate(&owner, s, false)); // exists now: nothing asked
    EXPECT_EQ(boxes.asked.size(), asked);
}

TEST(OutputCheck, RelativeFolderIsTakenFromTheCurrentFolder)
{
    ScriptedBoxes boxes;
    TempDir dir;
    fs::path cwd = fs::current_path();
    fs::current_path(dir.path());
    JobSettings s;
    s.szOutDir = "converted";
    QWidget owner;
    bool ok = outputOptionsValidate(&owner, s, true);
    fs::current_path(cwd);
    EXPECT_TRUE(ok);
    EXPECT_EQ(s.szOutDir, (dir.path() / "converted").string() + "/");
    EXPECT_TRUE(fs::is_directory(dir.path() / "converted"));
}

TEST(OutputCheck, FolderThatCannotBeCreatedIsReported)
{
    ScriptedBoxes boxes;
    TempDir dir;
    writeFile(dir / "file", std::string("x"));
    JobSettings s;
    s.szOutDir = dir / "file" / "sub/";
    QWidget owner;
    boxes.answers = {IDYES};
    EXPECT_FALSE(outputOptionsValidate(&owner, s, false));
    ASSERT_EQ(boxes.asked.size(), 2u);
    EXPECT_EQ(boxes.asked[1].text, "Couldn't create output directory!");
}

TEST(OutputCheck, DeletingSourcesIsConfirmedAndSaveInSourceNeedsNoFolder)
{
    ScriptedBoxes boxes;
    JobSettings s;
    s.bSaveInSrcDirs = 1;
    s.bDeleteSrcFiles = 1;
    QWidget owner;
    EXPECT_FALSE(outputOptionsValidate(&owner, s, false)); // closed: not confirmed
    ASSERT_EQ(boxes.asked.size(), 1u);
    EXPECT_EQ(boxes.asked[0].text,
              "Are you sure that you want that the input files to be deleted after they have been converted?");
    EXPECT_EQ(boxes.asked[0].caption, "Please confirm 'Delete source files' option!");
    boxes.answers = {IDYES};
    EXPECT_TRUE(outputOptionsValidate(&owner, s, false));
    // With the index the folder is needed after all.
    s.bDeleteSrcFiles = 0;
    s.index.bIndex = 1;
    EXPECT_FALSE(outputOptionsValidate(&owner, s, false));
    EXPECT_EQ(boxes.asked.back().text, "You must select an output directory first!");
}

TEST(OutputCheck, SilentModeAsksNothing)
{
    ScriptedBoxes boxes;
    TempDir dir;
    JobSettings s;
    s.szOutDir = dir / "new" / "deep";
    s.bDeleteSrcFiles = 1;
    QWidget owner;
    EXPECT_TRUE(outputOptionsValidate(&owner, s, true));
    EXPECT_TRUE(fs::is_directory(dir / "new" / "deep"));
    EXPECT_TRUE(boxes.asked.empty());
}

TEST(OutputCheck, SilentFailureEndsTheWizardWithItsMessageOnStandardError)
{
    OutputPage t;
    t.wizard.frame.silent = true;
    t.s.szOutDir.clear();
    testing::internal::CaptureStderr();
    t.wizard.frame.pressNext();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(t.boxes.asked.empty());
    EXPECT_NE(err.find("You must select an output directory first!"), std::string::npos) << err;
    EXPECT_EQ(t.wizard.frame.result(), kWizardSilentCheckFailed);
    EXPECT_EQ(t.wizard.frame.currentIndex(), PAGE_OUTPUT_OPTIONS);
}

TEST(OutputOptionsPage, NextChecksThenSkipsAsTheSettingsSay)
{
    OutputPage t;
    TempDir out;
    t.s.szOutDir = out.path();
    t.s.bShowMoreOptions = 1;
    t.reload();
    t.wizard.frame.pressNext();
    EXPECT_EQ(t.wizard.frame.currentIndex(), PAGE_MORE_OPTIONS);
    EXPECT_EQ(t.s.szOutDir, out.path().string() + "/");
    t.wizard.frame.setCurrentPage(PAGE_OUTPUT_OPTIONS);
    t.page->controls().setText(501, "");
    t.wizard.frame.pressNext();
    EXPECT_EQ(t.wizard.frame.currentIndex(), PAGE_OUTPUT_OPTIONS); // refused
    EXPECT_EQ(t.s.szOutDir, "");                                  // but stored
    t.wizard.frame.pressBack();
    EXPECT_EQ(t.wizard.frame.currentIndex(), PAGE_INPUT_FILES);
}

// ---- presets ----

TEST(OutputOptionsPage, PresetsAreSavedListedLoadedAndDeleted)
{
    OutputPage t;
    OutputOptionsPage& p = *t.page;
    ControlMap& c = p.controls();
    t.reload();
    // An empty name is refused with a message.
    click(p, 591);
    ASSERT_EQ(t.boxes.asked.size(), 1u);
    EXPECT_EQ(t.boxes.asked[0].text, "You must enter a name for the preset before you can save it");
    EXPECT_EQ(t.boxes.asked[0].caption, "Quillon");

    c.setText(501, "/srv/web/");
    c.setChecked(511, true);
    c.setText(514, "25");
    chooseText(p, 810, "JPG - JPEG image file");
    c.setText(620, "90");
    c.setText(590, "My job");
    click(p, 591);
    EXPECT_TRUE(fs::exists(t.presets / "My job.qpt"));
    EXPECT_EQ(p.presetList(), QStringList{"My job"});
    EXPECT_EQ(text(p, 590), "My job");

    // Something else, then the preset again from the list.
    c.setText(501, "/elsewhere/");
    c.setChecked(511, false);
    chooseText(p, 810, "BMP - Windows bitmap format");
    EXPECT_EQ(text(p, 590), ""); // a change is no longer the preset
    p.controlsToSettings();
    EXPECT_EQ(t.s.eResize, 0u);
    choose(p, 590, 0);
    EXPECT_EQ(t.s.szOutDir, "/srv/web/");
    EXPECT_EQ(t.s.eResize, 1u);
    EXPECT_EQ(t.s.i3ResizeFactor, 25000);
    EXPECT_EQ(t.s.slots[0].iFormatId, FakeFormats::kJpg);
    EXPECT_EQ(text(p, 501), "/srv/web/");
    EXPECT_TRUE(checked(p, 511));
    EXPECT_EQ(text(p, 514), "25.00");
    EXPECT_EQ(text(p, 810), "JPG - JPEG image file");
    EXPECT_EQ(text(p, 590), "My job");

    // A name typed but not listed deletes nothing.
    c.setText(590, "Other");
    click(p, 592);
    EXPECT_TRUE(fs::exists(t.presets / "My job.qpt"));
    c.setText(590, "My job");
    click(p, 592);
    EXPECT_FALSE(fs::exists(t.presets / "My job.qpt"));
    EXPECT_TRUE(p.presetList().isEmpty());
    EXPECT_EQ(text(p, 590), "");
}

TEST(OutputOptionsPage, PresetNamesCannotLeaveTheFolder)
{
    OutputPage t;
    t.reload();
    t.page->controls().setText(590, "../escape");
    click(*t.page, 591);
    EXPECT_FALSE(fs::exists(t.presets.path().parent_path() / "escape.qpt"));
    ASSERT_EQ(t.boxes.asked.size(), 1u);
    EXPECT_EQ(t.boxes.asked[0].text, "A preset name cannot contain '/'");
}

TEST(OutputOptionsPage, HandWrittenPresetLoads)
{
    OutputPage t;
    // As typed in a text editor: CRLF, blanks around the values, a comment,
    // keys in another case and order, quotes around a text.
    std::string ini =
        "; my conversion\r\n"
        "[quillon]\r\n"
        "szoutdir = \"/srv/hand made/\"\r\n"
        "iOutFormats=1\r\n"
        "szSubFormat0=Normal, to Size:\r\n"
        "iFormatId0 = 2\r\n"
        "iColorFormat0=-1\r\n"
        "eResize=2\r\n"
        "iResizeX=1024\r\n"
        "iResizeY=768\r\n"
        "bSkipExisting=1\r\n";
    writeFile(t.presets / "Hand.qpt", ini);
    writeFile(t.presets / "notes.txt", std::string("not a preset"));
    t.page->setPresetFolder(t.presets.path());
    EXPECT_EQ(t.page->presetList(), QStringList{"Hand"});
    choose(*t.page, 590, 0);
    EXPECT_EQ(text(*t.page, 501), "/srv/hand made/");
    EXPECT_EQ(text(*t.page, 810), "JPG - JPEG image file");
    EXPECT_EQ(text(*t.page, 820), "Normal, to Size:");
    EXPECT_EQ(text(*t.page, 620), "50 KB");
    EXPECT_EQ(text(*t.page, 515), "1024 x 768");
    EXPECT_TRUE(checked(*t.page, 513));
    EXPECT_TRUE(checked(*t.page, 508));
}

// A preset naming an output format the program does not have is refused
// with the reason, and the page keeps what it showed.
TEST(OutputOptionsPage, APresetOfAnUnknownFormatIsRefusedWithItsReason)
{
    OutputPage t;
    ScriptedBoxes boxes;
    writeFile(t.presets / "Odd.qpt", std::string("[Quillon]\nszOutDir=/srv/odd/\niOutFormats=1\niFormatId0=99\n"));
    t.page->setPresetFolder(t.presets.path());
    const QString folder = text(*t.page, 501);
    choose(*t.page, 590, 0);
    ASSERT_EQ(boxes.asked.size(), 1u);
    EXPECT_TRUE(boxes.asked[0].text.contains("iFormatId0=99")) << boxes.asked[0].text.toStdString();
    EXPECT_EQ(text(*t.page, 501), folder);
    EXPECT_EQ(text(*t.page, 590), "");
}

// A preset with a typo (a number that is none, a value out of its key's
// range, a misspelt key) is refused with the key and its value, and the
// page keeps what it showed; what the page saves itself, odd typed fields
// included, loads.
TEST(OutputOptionsPage, APresetWithATypoIsRefusedAndSavedPresetsLoad)
{
    OutputPage t;
    const std::string jpeg = "[Quillon]\nszOutDir=/srv/typo/\niFormatId0=2\nszSubFormat0=Normal, by Quality:\n";
    writeFile(t.presets / "A.qpt", jpeg + "iCompParam0=101\n");
    writeFile(t.presets / "B.qpt", jpeg + "iOutFormats=9\n");
    writeFile(t.presets / "C.qpt", jpeg + "bSaveInSrcDirs=yes\n");
    // Misspelt keys: loaded around, they would leave the page's format and
    // folder in place.
    writeFile(t.presets / "D.qpt", std::string("[Quillon]\nszOutDir=/srv/typo/\niFormatld0=2\n"));
    writeFile(t.presets / "E.qpt", jpeg + "bSaveInSrcDir=1\n");
    t.page->setPresetFolder(t.presets.path());
    t.reload();
    const QString folder = text(*t.page, 501);
    const char* const reasons[] = {"iCompParam0=101 is out of range (1 to 100 for a quality)",
                                   "iOutFormats=9 is out of range (1 to 8)", "bSaveInSrcDirs=yes is not a number",
                                   "iFormatld0=2 is not a key of a preset (did you mean iFormatId0?)",
                                   "bSaveInSrcDir=1 is not a key of a preset (did you mean bSaveInSrcDirs?)"};
    for (int i = 0; i < 5; ++i) {
        t.boxes.asked.clear();
        choose(*t.page, 590, i);
        ASSERT_EQ(t.boxes.asked.size(), 1u) << i;
        EXPECT_EQ(t.boxes.asked[0].text, QStringLiteral("The preset cannot be loaded:\n\n") + reasons[i]);
        EXPECT_EQ(text(*t.page, 501), folder);
        EXPECT_EQ(text(*t.page, 590), "");
        EXPECT_EQ(t.s.slots[0].iFormatId, FakeFormats::kBmp);
    }

    // Saved from the page with fields typed as no number (factor, density):
    // the page stores 0 there, the preset leaves them out, and it loads.
    ControlMap& c = t.page->controls();
    c.setText(501, "/srv/saved/");
    chooseText(*t.page, 810, "TIF - Tag image file format");
    chooseText(*t.page, 820, "Scaled by:");
    c.setText(620, "3");
    c.setText(514, "half");
    c.setChecked(587, true);
    c.setText(588, "dense");
    c.setText(590, "Typed");
    click(*t.page, 591);
    t.boxes.asked.clear();
    c.setText(501, "/elsewhere/");
    choose(*t.page, 590, t.page->presetList().indexOf("Typed"));
    EXPECT_TRUE(t.boxes.asked.empty()) << t.boxes.asked[0].text.toStdString();
    EXPECT_EQ(text(*t.page, 501), "/srv/saved/");
    EXPECT_EQ(text(*t.page, 820), "Scaled by:");
    EXPECT_EQ(t.s.slots[0].iCompParam, 3);
    EXPECT_EQ(text(*t.page, 590), "Typed");
}

TEST(OutputOptionsPage, TypingAListedPresetNameAndSavingKeepsTheChanges)
{
    // Saving over a preset by typing its name: leaving the name field must
    // not load that preset first, or the changes would be lost and the save
    // would write the old preset back.
    OutputPage t;
    OutputOptionsPage& p = *t.page;
    ControlMap& c = p.controls();
    ASSERT_NO_FATAL_FAILURE(t.savePresetAndShow("/srv/old/", "web"));
    // The changes first, then the name typed over the old one, then Save by
    // mouse (the name field loses the focus on the way).
    c.edit(501)->setFocus();
    c.edit(501)->selectAll();
    QTest::keyClicks(c.edit(501), "/srv/new/");
    QLineEdit* name = c.combo(590)->lineEdit();
    name->setFocus();
    name->selectAll();
    QTest::keyClicks(name, "web");
    ASSERT_EQ(text(p, 590), "web");
    QTest::mouseClick(c.button(591), Qt::LeftButton);
    EXPECT_TRUE(t.boxes.asked.empty());
    EXPECT_EQ(text(p, 501), "/srv/new/");
    EXPECT_EQ(t.s.szOutDir, "/srv/new/");
    JobSettings loaded;
    presetLoad(loaded, t.presets / "web.qpt", &t.formats.registry);
    EXPECT_EQ(loaded.szOutDir, "/srv/new/");
}

TEST(OutputOptionsPage, ANewPresetNameIsNotCompletedIntoAListedOne)
{
    // Typing "photo" beside a listed "photos" saves a new preset "photo";
    // completing the name would replace "photos" without a word.
    OutputPage t;
    OutputOptionsPage& p = *t.page;
    ControlMap& c = p.controls();
    ASSERT_NO_FATAL_FAILURE(t.savePresetAndShow("/srv/photos/", "photos"));
    c.setText(501, "/srv/other/");
    QLineEdit* name = c.combo(590)->lineEdit();
    name->setFocus();
    name->selectAll();
    QTest::keyClicks(name, "photo");
    EXPECT_EQ(text(p, 590), "photo");
    QTest::mouseClick(c.button(591), Qt::LeftButton);
    EXPECT_TRUE(fs::exists(t.presets / "photo.qpt"));
    JobSettings kept;
    presetLoad(kept, t.presets / "photos.qpt", &t.formats.registry);
    EXPECT_EQ(kept.szOutDir, "/srv/photos/");
}
