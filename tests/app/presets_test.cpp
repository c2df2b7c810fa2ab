#include "app/presets.h"

#include <gtest/gtest.h>

#include "app/format_table.h"
#include "core/format.h"
#include "core/text.h"
#include "platform/profile.h"
#include "settings_support.h"
#include "support/test_support.h"

using namespace quillon;
using quillon::test::TempDir;

namespace {

std::string fileText(const std::filesystem::path& p)
{
    std::vector<uint8_t> b = test::readFile(p);
    return std::string(b.begin(), b.end());
}

bool hasKey(const std::filesystem::path& p, const char* key)
{
    return ProfileFile(p).get(u"Quillon", asciiToU16(key)).has_value();
}

} // namespace

TEST(Presets, AdjustmentsAreKeptInHundredths)
{
    TempDir dir;
    auto file = dir / "a.qpt";
    JobSettings s;
    s.adjustments.setColour(&AdjustmentSettings::contrast, 0.123f);
    s.adjustments.setColour(&AdjustmentSettings::brightness, -0.335f);
    s.adjustments.setGamma(1.5f);
    s.adjustments.setSharpness(0.006f);
    s.iSetPPI = 300;
    ASSERT_TRUE(presetSave(s, file));
    std::string text = fileText(file);
    EXPECT_NE(text.find("[Quillon]\n"), std::string::npos);
    EXPECT_NE(text.find("\niContrast=12\n"), std::string::npos);
    EXPECT_NE(text.find("\niBrightness=-33\n"), std::string::npos);
    EXPECT_NE(text.find("\niGamma=50\n"), std::string::npos);
    EXPECT_NE(text.find("\niSharpness=1\n"), std::string::npos);
    EXPECT_NE(text.find("\niSetPPI=300\n"), std::string::npos);

    JobSettings back;
    presetLoad(back, file);
    EXPECT_FLOAT_EQ(back.adjustments.contrast, 0.12f);
    EXPECT_FLOAT_EQ(back.adjustments.brightness, -0.33f);
    EXPECT_FLOAT_EQ(back.adjustments.gamma, 1.5f);
    EXPECT_FLOAT_EQ(back.adjustments.sharpness, 0.01f);
    EXPECT_EQ(back.adjustments.colourCount, 3u);
    EXPECT_EQ(back.adjustments.otherCount, 1u);
    EXPECT_EQ(back.iSetPPI, 300);

    // Keys written by hand load through the same rule.
    test::writeFile(file, std::string("[Quillon]\niContrast=12\niGamma=-20\niColor=0\n"));
    JobSettings hand;
    hand.adjustments.setColour(&AdjustmentSettings::saturation, 0.5f);
    presetLoad(hand, file);
    EXPECT_FLOAT_EQ(hand.adjustments.contrast, 0.12f);
    EXPECT_FLOAT_EQ(hand.adjustments.gamma, 0.8f);
    EXPECT_EQ(hand.adjustments.saturation, 0.0f);
    EXPECT_EQ(hand.adjustments.colourCount, 2u);
}

TEST(Presets, SwitchedOffGroupsAreAbsentAndLeftAlone)
{
    TempDir dir;
    auto file = dir / "groups.qpt";
    JobSettings on;
    test::fillPresetFields(on);
    ASSERT_TRUE(presetSave(on, file));
    EXPECT_TRUE(hasKey(file, "iFrameColorG"));
    EXPECT_TRUE(hasKey(file, "index.szBODY"));

    JobSettings off;
    ASSERT_TRUE(presetSave(off, file)); // over the earlier file
    std::string text = fileText(file);
    EXPECT_EQ(text.find("iFrame"), std::string::npos);
    EXPECT_EQ(text.find("index."), std::string::npos);
    EXPECT_TRUE(hasKey(file, "eFrameType"));
    EXPECT_TRUE(hasKey(file, "bIndex"));

    JobSettings current;
    test::fillPresetFields(current);
    presetLoad(current, file);
    EXPECT_EQ(current.eFrameType, 0u);
    EXPECT_EQ(current.iFrameWidth, 21);
    EXPECT_EQ(current.dwFrameColor, 0xFF123456u);
    EXPECT_EQ(current.dwFrameEdgeClr, 0xFFABCDEFu);
    EXPECT_EQ(current.index.bIndex, 0);
    EXPECT_EQ(current.index.iCols, 3);
    EXPECT_EQ(current.index.szBODY, "bgcolor=#000000 \x80\xE9");
    EXPECT_TRUE(current.index.szIconSubdir == u"thumbs ✓");
}

TEST(Presets, FrameColoursLoadOpaque)
{
    TempDir dir;
    auto file = dir / "frame.qpt";
    test::writeFile(file, std::string("[Quillon]\neFrameType=1\niFrameWidth=3\niFrameColorR=255\niFrameColorG=1\n"
                                      "iFrameColorB=0\niFrameEdgeColorR=0\n"));
    JobSettings s;
    s.dwFrameColor = 0x00000000;
    s.dwFrameEdgeClr = 0x00102030;
    ASSERT_TRUE(presetLoad(s, file));
    EXPECT_EQ(s.eFrameType, 1u);
    EXPECT_EQ(s.iFrameWidth, 3);
    EXPECT_EQ(s.dwFrameColor, 0xFFFF0100u);
    EXPECT_EQ(s.dwFrameEdgeClr, 0xFF002030u); // G and B kept

    // A channel outside a byte, or a style the frame step does not know, is
    // a typo: the preset is refused and the frame stays as it was.
    for (const char* line : {"iFrameColorB=300", "iFrameEdgeColorR=-4", "eFrameType=7"}) {
        // The first of two equal keys counts.
        test::writeFile(file, std::string("[Quillon]\n") + line + "\neFrameType=2\niFrameWidth=9\n");
        std::string why;
        EXPECT_FALSE(presetLoad(s, file, nullptr, &why)) << line;
        EXPECT_EQ(why.rfind(std::string(line) + " is out of range (0 to", 0), 0u) << why;
        EXPECT_EQ(s.eFrameType, 1u);
        EXPECT_EQ(s.iFrameWidth, 3);
    }
}

TEST(Presets, SlotsBeyondTheCountAreDeletedAndKeptOnLoad)
{
    TempDir dir;
    auto file = dir / "slots.qpt";
    JobSettings five;
    test::fillPresetFields(five);
    five.index.bIndex = 0; // which takes two outputs
    five.iOutFormats = 5;
    ASSERT_TRUE(presetSave(five, file));
    EXPECT_TRUE(hasKey(file, "szSubFormat4"));
    five.iOutFormats = 3;
    ASSERT_TRUE(presetSave(five, file));
    for (const char* k : {"iFormatId3", "iColorFormat3", "szSubFormat3", "iCompParam3", "iFormatId4", "szSubFormat4",
                          "iCompParam4"})
        EXPECT_FALSE(hasKey(file, k)) << k;
    EXPECT_TRUE(hasKey(file, "iFormatId2"));
    // Each output keeps its number; the last numbers used stay the store's.
    EXPECT_TRUE(hasKey(file, "iCompParam2"));
    EXPECT_FALSE(hasKey(file, "iLastQualityPercent"));

    JobSettings job;
    job.iOutFormats = 5;
    for (int i = 0; i < 5; ++i) job.slots[i].iFormatId = 30 + i, job.slots[i].iCompParam = 80;
    presetLoad(job, file);
    EXPECT_EQ(job.iOutFormats, 3u);
    EXPECT_EQ(job.slots[1].iFormatId, -1);
    EXPECT_EQ(job.slots[1].iColorFormat, 0xFFFFFFFFu);
    EXPECT_EQ(job.slots[2].iFormatId, 4);
    EXPECT_EQ(job.slots[3].iFormatId, 33);
    EXPECT_EQ(job.slots[4].iFormatId, 34);
    EXPECT_EQ(job.slots[0].iCompParam, 10);
    EXPECT_EQ(job.slots[1].iCompParam, 20);
    EXPECT_EQ(job.slots[3].iCompParam, 80);
    EXPECT_EQ(job.iKeepSubDirLevels, -3);
}

TEST(Presets, LegacyKeysFillSlotZeroAndAreDeletedOnSave)
{
    TempDir dir;
    auto file = dir / "old.qpt";
    test::writeFile(file, std::string("[Quillon]\r\niFormatId=7\r\niColorFormat=256\r\nszSubFormat=LZW compressed\r\n"
                                      "iColorFormat0=16384\r\n"));
    JobSettings s;
    s.iOutFormats = 4;
    presetLoad(s, file);
    EXPECT_EQ(s.iOutFormats, 1u); // no count in the file: one output
    EXPECT_EQ(s.slots[0].iFormatId, 7);
    EXPECT_EQ(s.slots[0].iColorFormat, 16384u); // the slot key comes after
    EXPECT_TRUE(s.slots[0].szSubFormat == u"LZW compressed");
    ASSERT_TRUE(presetSave(s, file));
    EXPECT_FALSE(hasKey(file, "iFormatId"));
    EXPECT_FALSE(hasKey(file, "szSubFormat"));
    EXPECT_TRUE(hasKey(file, "iFormatId0"));
    EXPECT_NE(fileText(file).find("\r\n"), std::string::npos); // line ends kept
}

TEST(Presets, WrittenPresetsReadBackIdentically)
{
    TempDir dir;
    JobSettings s;
    test::fillPresetFields(s);
    ASSERT_TRUE(presetSave(s, dir / "one.qpt"));
    JobSettings back;
    presetLoad(back, dir / "one.qpt");
    test::expectSame(back, s, false);
    ASSERT_TRUE(presetSave(back, dir / "two.qpt"));
    EXPECT_EQ(fileText(dir / "two.qpt"), fileText(dir / "one.qpt"));
}

TEST(Presets, WindowsPresetsInUtf16AndWindows1252Load)
{
    QUILLON_REQUIRE_TOOL("python3");
    TempDir dir;
    const char* text = "[Quillon]\r\nszOutDir=C:\\Users\\Zoë\\Out\\\r\niOutFormats=2\r\niFormatId1=-1\r\n"
                       "iKeepSubDirLevels=-2\r\nbIndex=1\r\nindex.szBODY=bgcolor=#FFFFFF € é\r\n";
    test::writeFile(dir / "src.txt", std::string(text));
    ASSERT_EQ(test::run("python3 -c \"import sys; d=open(sys.argv[1],encoding='utf-8',newline='').read(); "
                        "open(sys.argv[2],'w',encoding='utf-16',newline='').write(d); "
                        "open(sys.argv[3],'wb').write(d.encode('cp1252'))\" " +
                        test::shellQuote((dir / "src.txt").string()) + " " + test::shellQuote((dir / "w16.qpt").string()) +
                        " " + test::shellQuote((dir / "ansi.qpt").string())),
              0);
    for (const char* name : {"w16.qpt", "ansi.qpt"}) {
        JobSettings s;
        presetLoad(s, dir / name);
        EXPECT_EQ(pathToU16(s.szOutDir), u"C:\\Users\\Zoë\\Out\\") << name;
        EXPECT_EQ(s.iOutFormats, 2u) << name;
        EXPECT_EQ(s.slots[1].iFormatId, -1) << name;
        EXPECT_EQ(s.iKeepSubDirLevels, -2) << name;
        EXPECT_EQ(s.index.szBODY, "bgcolor=#FFFFFF \x80 \xE9") << name;
    }
}

// Each value that is no number, or that the load would use although it is
// out of its key's range, refuses the whole preset with one line naming the
// key and its value; nothing of the preset is taken. Values the load does
// not use (a slot past the count, the frame with the frame off) must still
// be numbers.
TEST(Presets, TyposAreRefusedByTheirKeyAndValue)
{
    TempDir dir;
    FormatRegistry reg;
    registerAllFormats(reg);
    const int jpg = reg.findByExtension(std::u16string_view(u"x.jpg"), true);
    const int bmp = reg.findByExtension(std::u16string_view(u"x.bmp"), true);
    const std::string jpeg = "iFormatId0=" + std::to_string(jpg) + "\nszSubFormat0=Normal, by Quality:\n";
    const std::string jpegSize = "iFormatId0=" + std::to_string(jpg) + "\nszSubFormat0=Normal, to Size:\n";
    const struct {
        std::string lines, why;
    } cases[] = {
        {"iOutFormats=9", "iOutFormats=9 is out of range (1 to 8)"},
        {"iOutFormats=0", "iOutFormats=0 is out of range (1 to 8)"},
        {"iOutFormats=99999999999", "iOutFormats=99999999999 is out of range (1 to 8)"},
        {"iOutFormats=two", "iOutFormats=two is not a number"},
        {"iFormatId0=abc", "iFormatId0=abc is not a number"},
        {"iFormatId0=-7", "iFormatId0=-7 names no output format (0 to 40, or -1 for each output's own extension)"},
        {jpeg + "iCompParam0=abc", "iCompParam0=abc is not a number"},
        {jpeg + "iCompParam0=0", "iCompParam0=0 is out of range (1 to 100 for a quality)"},
        {jpeg + "iCompParam0=-5", "iCompParam0=-5 is out of range (1 to 100 for a quality)"},
        {jpeg + "iCompParam0=101", "iCompParam0=101 is out of range (1 to 100 for a quality)"},
        {jpeg + "iCompParam0=", "iCompParam0= is not a number"},
        {jpeg + "iCompParam0=75 %", "iCompParam0=75 % is not a number"},
        {jpegSize + "iCompParam0=0", "iCompParam0=0 is out of range (1 or more)"},
        {"iFormatId0=" + std::to_string(bmp) + "\niCompParam0=-1", "iCompParam0=-1 is out of range (0 or more)"},
        {"iColorFormat0=512", "iColorFormat0=512 names no colour format (-1 for automatic, or the number of one)"},
        {"iColorFormat0=0", "iColorFormat0=0 names no colour format (-1 for automatic, or the number of one)"},
        {"bSaveInSrcDirs=2", "bSaveInSrcDirs=2 is out of range (0 or 1)"},
        {"bSaveInSrcDirs=yes", "bSaveInSrcDirs=yes is not a number"},
        {"eResize=3", "eResize=3 is out of range (0 to 2)"},
        {"iResizeX=-5", "iResizeX=-5 is out of range (1 or more)"},
        {"iResizeY=0", "iResizeY=0 is out of range (1 or more)"},
        {"i3ResizeFactor=0", "i3ResizeFactor=0 is out of range (1 or more)"},
        {"eResizeMethod=0", "eResizeMethod=0 is out of range (1 to 8)"},
        {"iSetPPI=0", "iSetPPI=0 is out of range (1 or more)"},
        {"iKeepSubDirLevels=1.5", "iKeepSubDirLevels=1.5 is not a number"},
        {"iContrast=0x10", "iContrast=0x10 is not a number"},
        {"eOrientation=16", "eOrientation=16 is out of range (0 to 15)"},
        {"eFrameType=1\niFrameWidth=-3", "iFrameWidth=-3 is out of range (0 or more)"},
        {"bIndex=1\nindex.iCols=0", "index.iCols=0 is out of range (1 or more)"},
        {"bIndex=1\nindex.iResizeX=-1", "index.iResizeX=-1 is out of range (1 or more)"},
        {"bIndex=1\nindex.iSpacing=-2", "index.iSpacing=-2 is out of range (0 or more)"},
        {"bIndex=1\nindex.eLinkURL=3", "index.eLinkURL=3 is out of range (0 to 2)"},
        {"bIndex=0\nindex.iCols=many", "index.iCols=many is not a number"},
        {"eFrameType=0\niFrameColorR=red", "iFrameColorR=red is not a number"},
        {"iOutFormats=1\niCompParam5=x", "iCompParam5=x is not a number"},
    };
    for (const auto& c : cases) {
        const auto file = dir / "typo.qpt";
        test::writeFile(file, "[Quillon]\nszOutDir=/srv/typo/\nbUndither=1\n" + c.lines + "\n");
        JobSettings s;
        s.iOutFormats = 3;
        std::string why;
        EXPECT_FALSE(presetLoad(s, file, &reg, &why)) << c.lines;
        EXPECT_EQ(why, c.why) << c.lines;
        EXPECT_EQ(s.iOutFormats, 3u) << c.lines;
        EXPECT_TRUE(s.szOutDir.empty()) << c.lines;
        EXPECT_EQ(s.bUndither, 0) << c.lines;
    }

    // What the load does not use is not judged by its range: a format past
    // the count, the single-output key when slot 0 has its own.
    test::writeFile(dir / "fine.qpt", "[Quillon]\niOutFormats=1\niFormatId=99\niFormatId0=" + std::to_string(bmp) +
                                          "\niFormatId3=99\niColorFormat3=512\neFrameType=0\niFrameColorR=300\n");
    std::string why;
    JobSettings s;
    EXPECT_TRUE(presetLoad(s, dir / "fine.qpt", &reg, &why)) << why;
    EXPECT_EQ(s.slots[0].iFormatId, bmp);
}

// Hostile files: nothing crashes, long texts are cut, and a preset is either
// refused or leaves every value within its range.
TEST(Presets, HostilePresetsAreRefusedOrLoadWithinRange)
{
    TempDir dir;
    auto file = dir / "bad.qpt";
    test::writeFile(file, std::string("[Quillon]\niOutFormats=99999999999\niFormatId5=-7\niFormatId1=-1\n"
                                      "iResizeX=-5\niResizeY=0\ni3ResizeFactor=0\nbIndex=1\nindex.iCols=0\n"
                                      "index.iResizeX=-1\niFrameWidth=-3\neFrameType=1\niContrast=2147483647\n"
                                      "iSetPPI=123\neResizeMethod=0\n"));
    JobSettings s;
    EXPECT_FALSE(presetLoad(s, file));
    test::expectSame(s, JobSettings{}, true);

    test::writeFile(file, std::string("[Quillon]\nszSubFormat2=") + std::string(100, 'x') +
                              "\nbIndex=1\nindex.szBODY=" + std::string(400, 'b') + "\n");
    ASSERT_TRUE(presetLoad(s, file));
    EXPECT_EQ(s.slots[2].szSubFormat.size(), 47u);
    EXPECT_EQ(s.index.szBODY, std::string(255, 'b'));

    // No section of ours, or no file at all: refused, and nothing changes
    // (not even the count and slot 0's number).
    test::writeFile(file, std::string("[Other]\niOutFormats=3\nbUndither=1\n"));
    JobSettings job;
    job.iOutFormats = 6;
    job.slots[0].iCompParam = 90;
    std::string why;
    EXPECT_FALSE(presetLoad(job, file, nullptr, &why));
    EXPECT_EQ(why, "has no [Quillon] section");
    EXPECT_EQ(job.iOutFormats, 6u);
    EXPECT_EQ(job.slots[0].iCompParam, 90);
    EXPECT_EQ(job.bUndither, 0);
    job.bUndither = 1;
    EXPECT_FALSE(presetLoad(job, dir / "missing.qpt", nullptr, &why));
    EXPECT_EQ(why, "no such preset");
    EXPECT_EQ(job.bUndither, 1);
    EXPECT_EQ(job.iOutFormats, 6u);

    // Binary garbage.
    std::vector<uint8_t> garbage(5000);
    uint32_t x = 7;
    for (auto& b : garbage) x = x * 1664525u + 1013904223u, b = uint8_t(x >> 24);
    test::writeFile(file, garbage);
    JobSettings g;
    presetLoad(g, file);
    EXPECT_GE(g.iOutFormats, 1u);
    EXPECT_LE(g.iOutFormats, 8u);
}

// A preset whose section header or keys are misspelt would leave the whole
// job to the settings store: it is refused, saying which of the two it is.
// Keys outside the section are still of no account, and a section that
// holds any key of ours loads.
TEST(Presets, WithoutAKeyOfOursInItsSectionAPresetIsRefused)
{
    TempDir dir;
    auto file = dir / "p.qpt";
    struct Case {
        const char* text;
        const char* why; // empty: loads
    } cases[] = {
        {"[Quilon]\niOutFormats=2\niFormatId0=28\n", "has no [Quillon] section"},
        {"", "has no [Quillon] section"},
        {"iFormatId0=28\n[Other]\nbUndither=1\n", "has no [Quillon] section"},
        {"[Quillon\n", "its [Quillon] section holds no key of a preset"},
        {"[Quillon]\n", "its [Quillon] section holds no key of a preset"},
        {"; a comment\n [ quillon ] \niFormatIdO=28\nszOutFolder=/x/\n", "its [Quillon] section holds no key of a preset"},
        {"[Quillon]\n[Other]\niFormatId0=28\n", "its [Quillon] section holds no key of a preset"},
        // One key is enough, whatever its letter case and however little it
        // says; an index text counts without bIndex too.
        {"[QUILLON]\nSZOUTDIR=/x/\n", ""},
        {"[Other]\nbUndither=1\n[Quillon]\nbUndither=0\n", ""},
        {"[Quillon]\nindex.szBODY=bgcolor=#000000\n", ""},
        {"[Quillon]\niCompParam7=5\n", ""},
    };
    for (const Case& c : cases) {
        test::writeFile(file, std::string(c.text));
        JobSettings s;
        s.bUndither = 1;
        s.iOutFormats = 4;
        const JobSettings before = s;
        std::string why;
        const bool loaded = presetLoad(s, file, nullptr, &why);
        EXPECT_EQ(loaded, *c.why == 0) << c.text;
        EXPECT_EQ(why, c.why) << c.text;
        if (!loaded) test::expectSame(s, before, true);
    }
    // Keys of another section are not read.
    test::writeFile(file, std::string("[Other]\nbUndither=1\n[Quillon]\nbUndither=0\n"));
    JobSettings s;
    ASSERT_TRUE(presetLoad(s, file));
    EXPECT_EQ(s.bUndither, 0);

    // A preset that cannot be read is refused as such.
    test::writeFile(file, std::string("[Quillon]\nbUndither=1\n"));
    std::filesystem::permissions(file, std::filesystem::perms::none);
    if (!ProfileFile(file).readable()) {
        std::string why;
        EXPECT_FALSE(presetLoad(s, file, nullptr, &why));
        EXPECT_EQ(why, "cannot be read");
    }
    std::filesystem::permissions(file, std::filesystem::perms::owner_all);

    // The example shipped and a preset the wizard saved both load.
    EXPECT_EQ(presetRefusal(QUILLON_SOURCE_DIR "/examples/to-bmp.qpt"), "");
    JobSettings saved;
    ASSERT_TRUE(presetSave(saved, dir / "saved.qpt"));
    EXPECT_TRUE(presetLoad(s, dir / "saved.qpt"));
}

TEST(Presets, NamesAreFileNamesInThePresetFolder)
{
    TempDir dir;
    PresetFile p;
    ASSERT_TRUE(presetDirInitAt(p, dir.path()));
    EXPECT_EQ(p.folder, dir / "Quillon");
    EXPECT_TRUE(std::filesystem::is_directory(p.folder));
    EXPECT_FALSE(p.setName(u""));
    EXPECT_FALSE(p.setName(u"../escape"));
    EXPECT_FALSE(p.setName(u"a/b"));
    EXPECT_FALSE(p.setName(std::u16string(u"a\0b", 3)));
    EXPECT_TRUE(p.path.empty());
    ASSERT_TRUE(p.setName(u"My job"));
    EXPECT_EQ(p.path, dir / "Quillon/My job.qpt");
    ASSERT_TRUE(p.setName(u".."));
    EXPECT_EQ(p.path, dir / "Quillon/...qpt"); // stays inside the folder

    JobSettings s;
    test::fillPresetFields(s);
    ASSERT_TRUE(presetSave(s, dir / "Quillon/My job.qpt"));
    ASSERT_TRUE(presetSave(s, dir / "Quillon/Ärger.qpt"));
    test::writeFile(dir / "Quillon/notes.txt", std::string("x"));
    std::filesystem::create_directory(dir / "Quillon/folder.qpt");
    EXPECT_EQ(presetNames(p), (std::vector<std::u16string>{u"My job", u"Ärger"}));
    EXPECT_TRUE(presetDelete(p, u"My job"));
    EXPECT_FALSE(presetDelete(p, u"My job"));
    EXPECT_FALSE(presetDelete(p, u"../notes"));
    EXPECT_EQ(presetNames(p), (std::vector<std::u16string>{u"Ärger"}));

    // A preset named in an old code page is listed, chosen and deleted by
    // its own bytes.
    const std::filesystem::path latin1 = dir / "Quillon" / "caf\xe9.qpt";
    ASSERT_TRUE(presetSave(s, latin1));
    const std::vector<std::u16string> names = presetNames(p);
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names[1], u"Ärger");
    ASSERT_TRUE(p.setName(names[0]));
    EXPECT_EQ(p.path, latin1);
    EXPECT_TRUE(presetDelete(p, names[0]));
    EXPECT_FALSE(std::filesystem::exists(latin1));

    // Without a roaming folder presets are disabled, not written to "/Quillon".
    PresetFile none;
    EXPECT_FALSE(presetDirInitAt(none, {}));
    EXPECT_FALSE(none.setName(u"x"));
    EXPECT_TRUE(presetNames(none).empty());
}

TEST(Presets, TheProcessPresetUsesTheJobSettings)
{
    TempDir dir;
    test::ScopedEnv xdg("XDG_CONFIG_HOME", dir.path().c_str());
    ASSERT_TRUE(presetDirInit(nullptr, 590));
    PresetFile& p = presetFile();
    EXPECT_EQ(p.comboId, 590u);
    JobSettings saved = jobSettings();
    jobSettings().iSetPPI = 77;
    ASSERT_TRUE(p.setName(u"ppi"));
    ASSERT_TRUE(p.save());
    jobSettings().iSetPPI = 1;
    p.load();
    EXPECT_EQ(jobSettings().iSetPPI, 77);
    // An explicit file leaves the current preset alone.
    std::filesystem::path other = dir / "other.qpt";
    test::writeFile(other, std::string("[Quillon]\niSetPPI=5\n"));
    p.load(&other);
    EXPECT_EQ(jobSettings().iSetPPI, 5);
    EXPECT_EQ(p.path, dir / "Quillon/ppi.qpt");
    jobSettings() = saved;
    {
        test::ScopedEnv noXdg("XDG_CONFIG_HOME", nullptr);
        test::ScopedEnv noHome("HOME", nullptr);
        EXPECT_FALSE(presetDirInit(nullptr, 590));
        EXPECT_FALSE(p.save());
    }
}

// Each output keeps its quality, factor or target size through a save and a
// load, and a number written by hand is used; without the key the slot takes
// the last number used, as before. A preset whose outputs name a format we
// do not have is refused whole and says which key.
TEST(Presets, OutputsKeepTheirNumbersAndUnknownFormatsAreRefused)
{
    TempDir dir;
    FormatRegistry reg;
    registerAllFormats(reg);
    const int jpg = reg.findByExtension(std::u16string_view(u"x.jpg"), true);
    const int png = reg.findByExtension(std::u16string_view(u"x.png"), true);
    JobSettings s;
    s.iOutFormats = 2;
    s.slots[0] = {jpg, CF_AUTO, 90, u"Normal, by Quality:"};
    s.slots[1] = {jpg, CF_AUTO, 120, u"Progressive, to Size:"};
    const auto file = dir / "job.qpt";
    ASSERT_TRUE(presetSave(s, file));
    EXPECT_NE(fileText(file).find("\niCompParam0=90\n"), std::string::npos);
    EXPECT_NE(fileText(file).find("\niCompParam1=120\n"), std::string::npos);
    JobSettings back;
    back.iLastQualityPercent = 60;
    EXPECT_TRUE(presetLoad(back, file, &reg));
    EXPECT_EQ(back.slots[0].iCompParam, 90);
    EXPECT_EQ(back.slots[1].iCompParam, 120);

    const std::string head = "[Quillon]\niFormatId0=" + std::to_string(jpg) + "\nszSubFormat0=Normal, by Quality:\n";
    test::writeFile(file, head + "iCompParam0=95\n");
    EXPECT_TRUE(presetLoad(back, file, &reg));
    EXPECT_EQ(back.slots[0].iCompParam, 95);
    test::writeFile(file, head);
    EXPECT_TRUE(presetLoad(back, file, &reg));
    EXPECT_EQ(back.slots[0].iCompParam, 60);

    JobSettings job;
    job.slots[0] = {png, CF_AUTO, 0, u"Normal"};
    test::writeFile(file, "[Quillon]\niOutFormats=2\niFormatId0=" + std::to_string(jpg) +
                              "\niFormatId1=99\nbUndither=1\nszOutDir=/elsewhere/\n");
    std::string why;
    EXPECT_FALSE(presetLoad(job, file, &reg, &why));
    EXPECT_EQ(why, "iFormatId1=99 names no output format (0 to 40, or -1 for each output's own extension)");
    EXPECT_EQ(presetRefusal(file, &reg), why);
    EXPECT_EQ(job.iOutFormats, 1u);
    EXPECT_EQ(job.slots[0].iFormatId, png);
    EXPECT_EQ(job.bUndither, 0);
    EXPECT_TRUE(job.szOutDir.empty());
    // The single-output key counts unless slot 0's own key follows it.
    test::writeFile(file, std::string("[Quillon]\niFormatId=41\n"));
    EXPECT_FALSE(presetLoad(job, file, &reg));
    test::writeFile(file, "[Quillon]\niFormatId=41\niFormatId0=" + std::to_string(png) + "\n");
    EXPECT_TRUE(presetLoad(job, file, &reg));
    EXPECT_EQ(presetRefusal(file, &reg), "");
}

// Every preset the wizard saves loads again, whatever the output, colour and
// number, and whatever a typed field held: what is in range comes back as
// it was, a quality above 100 as the 100 the writers use.
TEST(Presets, EverySavedPresetLoadsAgain)
{
    TempDir dir;
    FormatRegistry reg;
    registerAllFormats(reg);
    const auto file = dir / "saved.qpt";
    int combinations = 0;
    for (int32_t id = 0; id < reg.count(); ++id) {
        const FormatDescriptor* d = reg.at(id);
        if (!d->createWriter) continue;
        for (uint32_t sub = 0; sub < d->subFormatCount(); ++sub) {
            std::vector<uint32_t> colours{CF_AUTO};
            for (uint32_t bit = 1; bit != 0; bit <<= 1)
                if (d->subFormatCaps && (d->subFormatCaps[sub] & bit)) colours.push_back(bit);
            const uint8_t kind = d->paramKind(sub);
            for (uint32_t colour : colours)
                for (int32_t parameter : {0, 1, 77, 150, -5}) {
                    JobSettings s;
                    s.slots[0] = {id, colour, parameter, d->subFormatNames[sub]};
                    ASSERT_TRUE(presetSave(s, file, &reg));
                    JobSettings back;
                    back.iLastQualityPercent = 60;
                    std::string why;
                    ASSERT_TRUE(presetLoad(back, file, &reg, &why)) << why << " " << fileText(file);
                    EXPECT_EQ(back.slots[0].iFormatId, id);
                    EXPECT_TRUE(back.slots[0].szSubFormat == d->subFormatNames[sub]);
                    EXPECT_EQ(back.slots[0].iColorFormat, colour);
                    int32_t expected = std::max(parameter, 0);
                    if (kind == PARAM_QUALITY) expected = parameter >= 1 ? std::min(parameter, 100) : 60;
                    if (kind == PARAM_SIZE_KB) expected = parameter >= 1 ? parameter : back.iLastSizeKB;
                    if (kind == PARAM_FACTOR) expected = parameter >= 1 ? parameter : back.iLastXFactor;
                    EXPECT_EQ(back.slots[0].iCompParam, expected) << id << " " << sub << " " << parameter;
                    ++combinations;
                }
        }
    }
    EXPECT_GT(combinations, 300);

    // Fields the option pages store as typed ("0 when unreadable") are left
    // out when out of range: loading keeps what the settings hold there.
    JobSettings typed;
    test::fillPresetFields(typed);
    typed.iOutFormats = 1;
    typed.slots[0] = {reg.findByExtension(std::u16string_view(u"x.png"), true), CF_AUTO, 0, u"Normal"};
    typed.i3ResizeFactor = 0;
    typed.iSetPPI = -3;
    typed.iFrameWidth = -1;
    typed.index.iCols = 0;
    typed.index.iSpacing = -4;
    typed.eResize = 7;
    typed.eResizeMethod = 0;
    typed.adjustments.setOrientation(0x13);
    ASSERT_TRUE(presetSave(typed, file, &reg));
    JobSettings back;
    std::string why;
    ASSERT_TRUE(presetLoad(back, file, &reg, &why)) << why;
    const JobSettings defaults;
    EXPECT_EQ(back.i3ResizeFactor, defaults.i3ResizeFactor);
    EXPECT_EQ(back.iSetPPI, defaults.iSetPPI);
    EXPECT_EQ(back.iFrameWidth, defaults.iFrameWidth);
    EXPECT_EQ(back.index.iCols, defaults.index.iCols);
    EXPECT_EQ(back.index.iSpacing, defaults.index.iSpacing);
    EXPECT_EQ(back.eResize, defaults.eResize);
    EXPECT_EQ(back.eResizeMethod, defaults.eResizeMethod);
    EXPECT_EQ(back.adjustments.orientation, 0);
    EXPECT_EQ(back.iResizeX, typed.iResizeX);      // in range: kept
    EXPECT_EQ(back.dwFrameColor, typed.dwFrameColor);
}

// A preset that names an output folder writes there: "beside the sources"
// comes from the settings only when the preset names neither key.
TEST(Presets, AnOutputFolderInThePresetIsWhereOutputsGo)
{
    TempDir dir;
    const auto file = dir / "out.qpt";
    const struct {
        const char* lines;
        uint8_t sameFolder;
    } cases[] = {
        {"szOutDir=/srv/out/", 0},
        {"szOutDir=/srv/out/\nbSaveInSrcDirs=1", 1},
        {"bSaveInSrcDirs=0", 0},
        {"iOutFormats=1", 1},
        {"szOutDir=", 1},
    };
    for (const auto& c : cases) {
        test::writeFile(file, std::string("[Quillon]\n") + c.lines + "\n");
        JobSettings s;
        s.bSaveInSrcDirs = 1; // the wizard's last session
        ASSERT_TRUE(presetLoad(s, file)) << c.lines;
        EXPECT_EQ(s.bSaveInSrcDirs, c.sameFolder) << c.lines;
    }
}

namespace {

// One output of a format the registry writes, by extension and sub-format
// name; the colour is the sub-format's first one, or "Auto".
OutputFormatSlot output(const FormatRegistry& reg, const char16_t* name, const char16_t* subFormat, int32_t number,
                        bool autoColour)
{
    const int32_t id = reg.findByExtension(std::u16string_view(name), true);
    const FormatDescriptor* d = reg.at(id);
    EXPECT_NE(d, nullptr) << u16ToUtf8(name);
    if (!d) return {};
    const int32_t sub = d->subFormatIndex(subFormat);
    EXPECT_GE(sub, 0) << u16ToUtf8(subFormat);
    uint32_t colour = CF_AUTO;
    if (!autoColour && sub >= 0 && d->subFormatCaps) colour = d->subFormatCaps[sub] & (0u - d->subFormatCaps[sub]);
    return {id, colour, number, subFormat};
}

} // namespace

// A preset the wizard saves with every option in use loads again and gives
// back what was saved: eight outputs, the frame, the colour adjustments and
// the more options, and the index with the two outputs it takes. So does
// one saved with the frame and the index off. No key a save writes is one a
// load refuses.
TEST(Presets, EveryOptionTheWizardSavesLoadsBack)
{
    TempDir dir;
    FormatRegistry reg;
    registerAllFormats(reg);
    JobSettings all;
    test::fillPresetFields(all);
    all.iOutFormats = kMaxOutputFormats;
    all.slots = {output(reg, u"x.jpg", u"Progressive, Quality:", 85, true),
                 output(reg, u"x.jpg", u"Arithmetic, to Size:", 300, true),
                 output(reg, u"x.png", u"Super optimized", 0, false),
                 output(reg, u"x.bmp", u"RLE compressed", 0, false),
                 output(reg, u"x.gif", u"Interlaced", 0, true),
                 output(reg, u"x.tiff", u"JPEG, by Quality:", 40, false),
                 output(reg, u"x.webp", u"Lossy, by Quality:", 100, true),
                 OutputFormatSlot{-1, CF_AUTO, 0, u"Default"}};
    ASSERT_EQ(all.eFrameType, 2u);
    ASSERT_EQ(all.index.bIndex, 1);
    ASSERT_TRUE(all.adjustments.colourCount > 0 && all.adjustments.otherCount > 0);
    // With the index, saved over eight outputs as no page leaves them: its two.
    const auto indexed = dir / "index.qpt";
    ASSERT_TRUE(presetSave(all, indexed, &reg));
    EXPECT_TRUE(hasKey(indexed, "index.bUseAsciiFileNames"));
    JobSettings back;
    std::string why;
    ASSERT_TRUE(presetLoad(back, indexed, &reg, &why)) << why << "\n" << fileText(indexed);
    all.iOutFormats = 2;
    test::expectSame(back, all, false);
    all.index.bIndex = 0;
    all.iOutFormats = kMaxOutputFormats;
    const auto file = dir / "every.qpt";
    ASSERT_TRUE(presetSave(all, file, &reg));
    for (const char* k : {"iFormatId7", "szSubFormat7", "iCompParam6", "iFrameEdgeColorB", "iGamma",
                          "bShowMoreOptions", "bCreateLogFile"})
        EXPECT_TRUE(hasKey(file, k)) << k;
    ASSERT_TRUE(presetLoad(back, file, &reg, &why)) << why << "\n" << fileText(file);
    test::expectSame(back, all, false);

    // Saved with the groups off: loads, and leaves the frame and index
    // settings it does not hold as they were.
    JobSettings off = all;
    off.iOutFormats = 3;
    off.eFrameType = 0;
    off.index.bIndex = 0;
    off.bShowMoreOptions = 0;
    ASSERT_TRUE(presetSave(off, dir / "off.qpt", &reg));
    JobSettings current;
    current.iFrameWidth = 2;
    current.index.iCols = 9;
    ASSERT_TRUE(presetLoad(current, dir / "off.qpt", &reg, &why)) << why << "\n" << fileText(dir / "off.qpt");
    EXPECT_EQ(current.iOutFormats, 3u);
    EXPECT_EQ(current.eFrameType, 0u);
    EXPECT_EQ(current.iFrameWidth, 2);
    EXPECT_EQ(current.index.bIndex, 0);
    EXPECT_EQ(current.index.iCols, 9);
    EXPECT_EQ(current.dwFrameColor, JobSettings{}.dwFrameColor);
    current.iFrameWidth = off.iFrameWidth;
    current.dwFrameColor = off.dwFrameColor;
    current.dwFrameEdgeClr = off.dwFrameEdgeClr;
    current.index = off.index;
    test::expectSame(current, off, false);

    // The same over the preset that had everything on: its frame and index
    // keys and its later outputs go, and what is left loads.
    ASSERT_TRUE(presetSave(off, file, &reg));
    EXPECT_FALSE(hasKey(file, "iFormatId3"));
    EXPECT_FALSE(hasKey(file, "iFrameWidth"));
    EXPECT_TRUE(presetLoad(current, file, &reg, &why)) << why;
    ASSERT_TRUE(presetSave(off, indexed, &reg));
    EXPECT_FALSE(hasKey(indexed, "index.iCols"));
    EXPECT_TRUE(presetLoad(current, indexed, &reg, &why)) << why;
}

// A key of the [Quillon] section that the program does not know is a typo:
// loading around it would take that option from the settings store (a
// misspelt iFormatId0 writes the store's format). The preset is refused,
// naming the key and, when one is close, the key meant.
TEST(Presets, MisspeltKeysAreRefusedWithTheKeyMeant)
{
    TempDir dir;
    FormatRegistry reg;
    registerAllFormats(reg);
    const std::string png = std::to_string(reg.findByExtension(std::u16string_view(u"x.png"), true));
    const std::string head = "[Quillon]\nszOutDir=/srv/typo/\nbUndither=1\niOutFormats=4\n";
    const struct {
        std::string lines, why;
    } cases[] = {
        {"iFormatld0=" + png + "\nszSubFormat0=Normal",
         "iFormatld0=" + png + " is not a key of a preset (did you mean iFormatId0?)"},
        {"bSaveInSrcDir=1", "bSaveInSrcDir=1 is not a key of a preset (did you mean bSaveInSrcDirs?)"},
        // Of the same output, not the first one that is as close.
        {"szSubFormt3=Normal", "szSubFormt3=Normal is not a key of a preset (did you mean szSubFormat3?)"},
        {"iColourFormat5=-1", "iColourFormat5=-1 is not a key of a preset (did you mean iColorFormat5?)"},
        {"iCompParma2=7", "iCompParma2=7 is not a key of a preset (did you mean iCompParam2?)"},
        {"iFormatIdO=" + png, "iFormatIdO=" + png + " is not a key of a preset (did you mean iFormatId0?)"},
        // Whether the index or the frame is on or not.
        {"bIndex=1\nindex.iCol=3", "index.iCol=3 is not a key of a preset (did you mean index.iCols?)"},
        {"index.bLinkToNw=0", "index.bLinkToNw=0 is not a key of a preset (did you mean index.bLinkToNew?)"},
        {"eFrameType=0\niFrameColourR=1", "iFrameColourR=1 is not a key of a preset (did you mean iFrameColorR?)"},
        {"ICONTRAST=5\niSaturation=10", "iSaturation=10 is not a key of a preset"},
        {"quality=90", "quality=90 is not a key of a preset"},
        // Before a value that the misspelling may have caused.
        {"iFormatld0=" + png + "\niCompParam0=0",
         "iFormatld0=" + png + " is not a key of a preset (did you mean iFormatId0?)"},
        {"iOutFormats=9\nbSkipExisting=1\nbSkipExsting=1",
         "bSkipExsting=1 is not a key of a preset (did you mean bSkipExisting?)"},
    };
    const auto file = dir / "typo.qpt";
    for (const auto& c : cases) {
        test::writeFile(file, head + c.lines + "\n");
        JobSettings s;
        s.iOutFormats = 2;
        const JobSettings before = s;
        std::string why;
        EXPECT_FALSE(presetLoad(s, file, &reg, &why)) << c.lines;
        EXPECT_EQ(why, c.why) << c.lines;
        test::expectSame(s, before, true);
    }

    // Keys compare without regard to case; keys of other sections are not
    // looked at; the values of the settings store are known too (they are
    // passed over), but never offered as the key meant.
    test::writeFile(file, "[Other]\nbogus=1\n[QUILLON]\nSZOUTDIR=/srv/case/\nbundither=1\nIFORMATID0=" + png +
                              "\niLastQualityPercent=20\nnConverted=4\nfContrast=1\nindex.bImageRes=1\n[More]\nx=1\n");
    JobSettings s;
    std::string why;
    ASSERT_TRUE(presetLoad(s, file, &reg, &why)) << why;
    EXPECT_EQ(s.szOutDir, "/srv/case/");
    EXPECT_EQ(s.bUndither, 1);
    EXPECT_EQ(s.iLastQualityPercent, JobSettings{}.iLastQualityPercent);
    EXPECT_EQ(presetRefusal(file, &reg), "");
}

// A preset that cannot be read is refused as such, for every user: a folder
// named like a preset, and a file too large to be one.
TEST(Presets, UnreadablePresetsAreRefusedEvenForRoot)
{
    TempDir dir;
    std::filesystem::create_directory(dir / "folder.qpt");
    test::writeFile(dir / "large.qpt", "[Quillon]\nbUndither=1\n;" + std::string(size_t(5) << 20, 'x') + "\n");
    for (const char* name : {"folder.qpt", "large.qpt"}) {
        JobSettings s;
        s.iOutFormats = 5;
        std::string why;
        EXPECT_FALSE(presetLoad(s, dir / name, nullptr, &why)) << name;
        EXPECT_EQ(why, "cannot be read") << name;
        EXPECT_EQ(presetRefusal(dir / name), "cannot be read") << name;
        EXPECT_EQ(s.iOutFormats, 5u) << name;
        EXPECT_EQ(s.bUndither, 0) << name;
    }
}
