#include "app/job_settings.h"

#include <gtest/gtest.h>

#include <cstring>

#include "core/quantize_options.h"
#include "core/text.h"
#include "platform/settings_store.h"
#include "settings_support.h"
#include "support/test_support.h"

using namespace quillon;
using quillon::test::TempDir;

namespace {

struct HelpSpy {
    int calls = 0;
    int topic = 0;
    HelpSpy()
    {
        setFirstStartHelp([this](int t) { ++calls, topic = t; });
    }
    ~HelpSpy() { setFirstStartHelp(nullptr); }
};

std::unique_ptr<SettingsStore> openStore(const TempDir& dir) { return SettingsStore::openFile(dir / "settings"); }

// Loads a fresh record from the store file of dir.
JobSettings loadFresh(const TempDir& dir)
{
    JobSettings s;
    auto store = openStore(dir);
    settingsLoadFrom(s, store.get());
    return s;
}

void saveTo(const TempDir& dir, JobSettings& s)
{
    auto store = openStore(dir);
    settingsSaveTo(s, store.get());
}

} // namespace

TEST(JobSettings, FirstStartGivesDefaultsAndWritesTheVersion)
{
    TempDir dir;
    HelpSpy help;
    JobSettings s = loadFresh(dir);
    EXPECT_EQ(help.calls, 1);
    EXPECT_EQ(help.topic, 9900);
    test::expectSame(s, JobSettings{}, true);
    // The defaults themselves, written out: a wrong initialiser in the
    // record would pass the comparison above.
    EXPECT_EQ(s.bShowMoreOptions, 0);
    EXPECT_EQ(s.nConverted, 0u);
    EXPECT_EQ(s.bMultiOutInSubDirs, 0);
    EXPECT_EQ(s.bNoOverwritePrompt, 0);
    EXPECT_EQ(s.bSaveInSrcDirs, 0);
    EXPECT_EQ(s.bDeleteSrcFiles, 0);
    EXPECT_EQ(s.bNoErrorPrompts, 0);
    EXPECT_EQ(s.bSkipExisting, 0);
    EXPECT_EQ(s.bCreateLogFile, 0);
    EXPECT_EQ(s.bUseAsciiFileNames, 0);
    EXPECT_EQ(s.bKeepSubDirs, 0);
    EXPECT_EQ(s.iKeepSubDirLevels, 1);
    EXPECT_EQ(s.iLastQualityPercent, 75);
    EXPECT_EQ(s.iLastXFactor, 10);
    EXPECT_EQ(s.iLastSizeKB, 50);
    EXPECT_EQ(s.eResize, 0u);
    EXPECT_EQ(s.iResizeX, 800u);
    EXPECT_EQ(s.iResizeY, 600u);
    EXPECT_EQ(s.i3ResizeFactor, 50000);
    EXPECT_EQ(s.eResizeMethod, 3u);
    EXPECT_EQ(s.bResizeOnlyDown, 1);
    EXPECT_EQ(s.bResizeKeepAspect, 1);
    EXPECT_EQ(s.bSetPPI, 0);
    EXPECT_EQ(s.iSetPPI, 300);
    EXPECT_EQ(s.bUndither, 0);
    EXPECT_EQ(s.eFrameType, 0u);
    EXPECT_EQ(s.iFrameWidth, 14);
    EXPECT_EQ(s.dwFrameColor, 0xFF000000u);
    EXPECT_EQ(s.dwFrameEdgeClr, 0xFFFFFFFFu);
    EXPECT_EQ(s.bPreview, 1);
    EXPECT_EQ(s.index.bIndex, 0);
    EXPECT_TRUE(s.index.szIconSubdir == u"ico");
    EXPECT_EQ(s.index.iResizeX, 160u);
    EXPECT_EQ(s.index.iResizeY, 120u);
    EXPECT_EQ(s.index.bResizeOnlyDown, 1);
    EXPECT_EQ(s.index.iCols, 6);
    EXPECT_EQ(s.index.iSpacing, 8);
    EXPECT_EQ(s.index.bFileName, 1);
    EXPECT_EQ(s.index.bFileExt, 0);
    EXPECT_EQ(s.index.bImageRes, 0);
    EXPECT_EQ(s.index.bImageBorder, 1);
    EXPECT_EQ(s.index.bLinkToNew, 1);
    EXPECT_EQ(s.index.bUseValidURIs, 1);
    EXPECT_EQ(s.index.eIconURL, 1u);
    EXPECT_EQ(s.index.eLinkURL, 1u);
    EXPECT_EQ(s.index.bUseAsciiFileNames, 1);
    EXPECT_EQ(s.recentFolders.count, 0u);
    for (const OutputFormatSlot& slot : s.slots) {
        EXPECT_EQ(slot.iFormatId, 0);
        EXPECT_EQ(slot.iColorFormat, 31u);
        EXPECT_EQ(slot.iCompParam, 0);
        EXPECT_TRUE(slot.szSubFormat == u"Default");
    }
    EXPECT_TRUE(s.szOutDir.empty());
    EXPECT_EQ(s.iOutFormats, 1u);
    EXPECT_EQ(s.slots[7].iFormatId, 0);
    EXPECT_EQ(s.slots[7].iColorFormat, 31u);
    EXPECT_TRUE(s.slots[7].szSubFormat == u"Default");
    EXPECT_EQ(s.quantize.dither, 1);
    EXPECT_EQ(s.index.szBODY, "bgcolor=#F8F8FF text=#000000 link=#2060A0 vlink=#802000");

    auto store = openStore(dir);
    std::u16string version;
    EXPECT_TRUE(store->readString("VersionNumber", version, 128));
    EXPECT_TRUE(version == u"5.2");
    uint32_t size = 100;
    EXPECT_FALSE(store->query("VersionNumber", nullptr, nullptr, &size) && size != 8);
    EXPECT_EQ(size, 8u);

    // Later starts open no help.
    loadFresh(dir);
    EXPECT_EQ(help.calls, 1);
}

TEST(JobSettings, OlderVersionsAreUpgradedWithoutHelp)
{
    HelpSpy help;
    const std::pair<const char16_t*, const char16_t*> cases[] = {
        {u"5.1", u"5.2"}, {u"5.2", u"5.2"}, {u"5.10", u"5.10"}, {u"4.9.9", u"5.2"}, {u"6.0", u"6.0"}};
    for (auto [stored, after] : cases) {
        TempDir dir;
        {
            auto store = openStore(dir);
            store->writeString("VersionNumber", stored);
            store->commit();
        }
        loadFresh(dir);
        auto store = openStore(dir);
        std::u16string version;
        store->readString("versionnumber", version, 128);
        EXPECT_TRUE(version == after) << test::shellQuote(u16ToUtf8(stored));
    }
    EXPECT_EQ(help.calls, 0);
}

TEST(JobSettings, EveryFieldRoundTripsAndTheFileIsStable)
{
    TempDir dir;
    JobSettings s;
    test::fillPresetFields(s);
    test::fillStoreOnlyFields(s);
    mruAddPath(s.recentFolders, std::filesystem::path("/older/"));
    loadFresh(dir); // the first start writes the version
    saveTo(dir, s);
    std::vector<uint8_t> first = test::readFile(dir / "settings");

    JobSettings back = loadFresh(dir);
    test::expectSame(back, s, true);
    EXPECT_EQ(back.recentFolders.entries(), (std::vector<std::string>{"/srv/out dir/Ünïcode/", "/older/"}));

    saveTo(dir, back);
    EXPECT_EQ(test::readFile(dir / "settings"), first);

    // The stored forms themselves: a float as its bits, a flag as one byte.
    auto store = openStore(dir);
    uint32_t bits = 0;
    ASSERT_TRUE(store->readDword("fBrightness", bits));
    float f;
    std::memcpy(&f, &bits, 4);
    EXPECT_EQ(f, -0.5f);
    uint32_t size = 16;
    ValueType type;
    uint8_t buf[16];
    ASSERT_TRUE(store->query("bUndither", &type, buf, &size));
    EXPECT_EQ(type, ValueType::Binary);
    EXPECT_EQ(size, 1u);
    size = 16;
    ASSERT_TRUE(store->query("iColorFormat1", &type, buf, &size));
    EXPECT_EQ(type, ValueType::Dword);
}

TEST(JobSettings, LegacySingleOutputSpreadsToEverySlotAndIsDeleted)
{
    TempDir dir;
    {
        auto store = openStore(dir);
        store->writeString("VersionNumber", u"5.2");
        store->writeDword("iFormatId", 5);
        store->writeDword("iColorFormat", 0x4000);
        store->writeString("szSubFormat", u"RLE compressed");
        store->writeDword("iFormatId3", 9); // a slot value wins over the legacy one
        store->commit();
    }
    JobSettings s = loadFresh(dir);
    for (int i = 0; i < kMaxOutputFormats; ++i) {
        EXPECT_EQ(s.slots[i].iFormatId, i == 3 ? 9 : 5);
        EXPECT_EQ(s.slots[i].iColorFormat, 0x4000u);
        EXPECT_TRUE(s.slots[i].szSubFormat == u"RLE compressed");
    }
    saveTo(dir, s);
    auto store = openStore(dir);
    EXPECT_FALSE(store->hasValue("iFormatId"));
    EXPECT_FALSE(store->hasValue("iColorFormat"));
    EXPECT_FALSE(store->hasValue("szSubFormat"));
    EXPECT_TRUE(store->hasValue("iFormatId7"));
}

TEST(JobSettings, ZeroNumberKeepsTheStoredOne)
{
    TempDir dir;
    JobSettings s;
    s.slots[2].iCompParam = 75;
    saveTo(dir, s);
    JobSettings back = loadFresh(dir);
    EXPECT_EQ(back.slots[2].iCompParam, 75);
    back.slots[2].iCompParam = 0;
    saveTo(dir, back);
    EXPECT_EQ(loadFresh(dir).slots[2].iCompParam, 75);
    EXPECT_EQ(loadFresh(dir).slots[3].iCompParam, 0);
}

TEST(JobSettings, UnusableValuesKeepTheirDefaults)
{
    TempDir dir;
    {
        auto store = openStore(dir);
        store->writeString("VersionNumber", u"5.2");
        store->writeDword("iOutFormats", 9);
        store->writeDword("iFormatId0", uint32_t(-2));
        store->writeDword("iFormatId1", uint32_t(-1)); // by extension: kept
        store->writeDword("index.iCols", 0);
        store->writeDword("iResizeX", 0);
        store->writeDword("iResizeY", 0x80000000u);
        store->writeDword("index.iResizeX", 0);
        store->writeDword("i3ResizeFactor", uint32_t(-5));
        store->writeDword("iFrameWidth", uint32_t(-1));
        store->writeDword("eResizeMethod", 9);
        store->writeDword("eFrameType", 3);
        uint32_t nan = 0x7FC00000;
        store->writeDword("fContrast", nan);
        store->writeDword("fGamma", 0x7F800000); // infinity
        uint8_t four[4] = {1, 1, 1, 1};
        store->writeBinary("bUndither", four, 4);  // larger than a flag
        store->writeByte("iSetPPI", 7);            // smaller than a number
        store->writeString("szSubFormat2", std::u16string(48, u'x')); // 98 bytes > 96
        store->writeString8("index.szBODY", std::string(256, 'b'));  // no room for the NUL
        store->commit();
    }
    JobSettings s = loadFresh(dir);
    JobSettings d;
    EXPECT_EQ(s.iOutFormats, 1u);
    EXPECT_EQ(s.slots[0].iFormatId, 0);
    EXPECT_EQ(s.slots[1].iFormatId, -1);
    EXPECT_EQ(s.index.iCols, 6);
    EXPECT_EQ(s.iResizeX, 800u);
    EXPECT_EQ(s.iResizeY, 600u);
    EXPECT_EQ(s.index.iResizeX, 160u);
    EXPECT_EQ(s.i3ResizeFactor, 50000);
    EXPECT_EQ(s.iFrameWidth, 14);
    EXPECT_EQ(s.eResizeMethod, 3u);
    EXPECT_EQ(s.eFrameType, 0u);
    EXPECT_EQ(s.adjustments.contrast, 0.0f);
    EXPECT_EQ(s.adjustments.gamma, 1.0f);
    EXPECT_TRUE(s.adjustments.isNeutral());
    EXPECT_EQ(s.bUndither, 0);
    EXPECT_EQ(s.iSetPPI, 300);
    EXPECT_TRUE(s.slots[2].szSubFormat == u"Default");
    EXPECT_EQ(s.index.szBODY, d.index.szBODY);

    // A flag stored as any non-zero byte reads as 1; other sizes of
    // LastPathsW beyond its block are refused.
    {
        auto store = openStore(dir);
        store->writeByte("bUndither", 9);
        std::vector<uint8_t> big(1025, 'a');
        store->writeBinary("LastPathsW", big.data(), uint32_t(big.size()));
        store->commit();
    }
    s = loadFresh(dir);
    EXPECT_EQ(s.bUndither, 1);
    EXPECT_EQ(s.recentFolders.count, 0u);
}

TEST(JobSettings, AdjustmentCountersFollowTheLoadedValues)
{
    TempDir dir;
    JobSettings s;
    s.adjustments.setColour(&AdjustmentSettings::red, 0.5f);
    s.adjustments.setGamma(0.8f);
    s.adjustments.setOrientation(3);
    saveTo(dir, s);
    JobSettings back = loadFresh(dir);
    EXPECT_EQ(back.adjustments.colourCount, 2u);
    EXPECT_EQ(back.adjustments.otherCount, 1u);
}

TEST(RecentFolders, MostRecentFirstAndTenAtMost)
{
    RecentFolderList list;
    EXPECT_EQ(list.used, 1u);
    for (int i = 0; i < 11; ++i) mruAddPath(list, std::filesystem::path("/f" + std::to_string(i) + "/"));
    std::vector<std::string> e = list.entries();
    ASSERT_EQ(e.size(), 10u);
    EXPECT_EQ(e.front(), "/f10/");
    EXPECT_EQ(e.back(), "/f1/"); // the oldest went
    EXPECT_EQ(list.count, 10u);
    EXPECT_EQ(list.used, 1u + 9 * 5 + 6); // nine of "/fN/" and one "/f10/", NULs included

    mruAddPath(list, std::filesystem::path("/f5/")); // moves to the front
    e = list.entries();
    EXPECT_EQ(e.size(), 10u);
    EXPECT_EQ(e[0], "/f5/");
    EXPECT_EQ(e[1], "/f10/");
    mruAddPath(list, std::filesystem::path("/f5/"));
    EXPECT_EQ(list.entries(), e);
    // Paths are exact here: a folder differing in letter case is another one.
    mruAddPath(list, std::filesystem::path("/F5/"));
    EXPECT_EQ(list.entries()[0], "/F5/");
    EXPECT_EQ(list.entries()[1], "/f5/");
    mruAddPath(list, std::filesystem::path());
    EXPECT_EQ(list.entries()[0], "/F5/");
    // The block ends with two NULs behind the last entry's text.
    EXPECT_EQ(list.block[list.used - 1], 0);
    EXPECT_EQ(list.block[list.used - 2], 0);
}

TEST(RecentFolders, LongFoldersAreCutOnCharacterBoundariesAndFillTheBlock)
{
    RecentFolderList list;
    // 1 + 389 two-byte characters = 779 bytes: the last one does not fit.
    std::string folder = "/";
    for (int i = 0; i < 389; ++i) folder += "é";
    mruAddPath(list, std::filesystem::path(folder));
    std::string entry = list.entries().at(0);
    EXPECT_EQ(entry.size(), 777u);
    EXPECT_EQ(entry, folder.substr(0, 777));
    EXPECT_EQ(utf8ToU16(entry).size(), 389u); // "/" and 388 whole characters

    // Long entries push others out before the block fills up.
    RecentFolderList full;
    for (int i = 0; i < 3; ++i) mruAddPath(full, std::filesystem::path("/" + std::string(400, char('a' + i))));
    std::vector<std::string> e = full.entries();
    ASSERT_EQ(e.size(), 2u);
    EXPECT_EQ(e[0][1], 'c');
    EXPECT_EQ(e[1][1], 'b');
    EXPECT_LT(full.used, full.capacity);
}

TEST(RecentFolders, OutputFolderBecomesTheRememberedPosition)
{
    TempDir dir;
    JobSettings s;
    for (const char* f : {"/d/", "/c/", "/b/", "/a/"}) mruAddPath(s.recentFolders, std::filesystem::path(f));
    s.szOutDir = "/d/"; // position 3
    saveTo(dir, s);
    JobSettings back = loadFresh(dir);
    EXPECT_EQ(back.szOutDir, std::filesystem::path("/d/"));
    EXPECT_EQ(back.recentFolders.entries(), (std::vector<std::string>{"/a/", "/b/", "/c/", "/d/"}));

    back.szOutDir = "/new/";
    saveTo(dir, back);
    JobSettings third = loadFresh(dir);
    EXPECT_EQ(third.szOutDir, std::filesystem::path("/new/"));
    EXPECT_EQ(third.recentFolders.entries().size(), 5u);

    // An empty folder at exit: the most recent one next time.
    third.recentFolders.clear();
    mruAddPath(third.recentFolders, std::filesystem::path("/recent/"));
    third.szOutDir.clear();
    saveTo(dir, third);
    EXPECT_EQ(loadFresh(dir).szOutDir, std::filesystem::path("/recent/"));

    // A folder too long to keep whole is not remembered as a shorter one.
    JobSettings longOne = loadFresh(dir);
    longOne.szOutDir = "/" + std::string(900, 'x') + "/";
    saveTo(dir, longOne);
    JobSettings after = loadFresh(dir);
    EXPECT_TRUE(after.szOutDir.empty());
    EXPECT_EQ(after.recentFolders.entries(), (std::vector<std::string>{"/recent/"}));
}

TEST(RecentFolders, HostileStoredListsStayInsideTheBlock)
{
    auto loadList = [](const std::vector<uint8_t>& block, uint32_t outPath) {
        TempDir dir;
        {
            auto store = openStore(dir);
            store->writeString("VersionNumber", u"5.2");
            store->writeBinary("LastPathsW", block.data(), uint32_t(block.size()));
            store->writeDword("iOutPath", outPath);
            store->commit();
        }
        return loadFresh(dir);
    };
    // 1,024 bytes without any terminator.
    JobSettings s = loadList(std::vector<uint8_t>(1024, 'A'), 0);
    EXPECT_EQ(s.recentFolders.count, 0u);
    EXPECT_EQ(s.recentFolders.used, 1u);
    EXPECT_TRUE(s.szOutDir.empty());

    // An entry that ends on the block's last byte leaves no room for the
    // list's final NUL: it is dropped, the ones before it stay.
    std::vector<uint8_t> block;
    for (const char* f : {"/one/", "/two/"}) block.insert(block.end(), f, f + std::strlen(f) + 1);
    size_t rest = 1024 - block.size() - 1;
    block.insert(block.end(), rest, 'z');
    block.push_back(0);
    ASSERT_EQ(block.size(), 1024u);
    s = loadList(block, 1);
    EXPECT_EQ(s.recentFolders.entries(), (std::vector<std::string>{"/one/", "/two/"}));
    EXPECT_EQ(s.szOutDir, std::filesystem::path("/two/"));
    s = loadList(block, 2); // the dropped entry: no folder rather than another one
    EXPECT_TRUE(s.szOutDir.empty());

    // Twelve entries are cut to ten; positions outside the list give no folder.
    block.clear();
    for (int i = 0; i < 12; ++i) {
        std::string f = "/p" + std::to_string(i) + "/";
        block.insert(block.end(), f.begin(), f.end());
        block.push_back(0);
    }
    s = loadList(block, 10);
    EXPECT_EQ(s.recentFolders.count, 10u);
    EXPECT_TRUE(s.szOutDir.empty());
    s = loadList(block, uint32_t(-1));
    EXPECT_TRUE(s.szOutDir.empty());
    s = loadList(block, 9);
    EXPECT_EQ(s.szOutDir, std::filesystem::path("/p9/"));
}

TEST(JobSettings, ProcessRecordUsesTheConfigFolder)
{
    TempDir dir;
    test::ScopedEnv xdg("XDG_CONFIG_HOME", dir.path().c_str());
    JobSettings& js = jobSettings();
    JobSettings saved = js;
    EXPECT_EQ(settingsLoad(), 1);
    EXPECT_EQ(&globalQuantizeOptions(), &js.quantize);
    js.iSetPPI = 600;
    js.szOutDir = "/somewhere/";
    settingsSave();
    js.iSetPPI = 1;
    settingsLoad();
    EXPECT_EQ(js.iSetPPI, 600);
    EXPECT_EQ(js.szOutDir, std::filesystem::path("/somewhere/"));
    EXPECT_TRUE(std::filesystem::exists(dir / "Brevik-Software/Quillon 5/settings"));

    // A load that only reads leaves a first start's store unwritten.
    {
        TempDir fresh;
        test::ScopedEnv other("XDG_CONFIG_HOME", fresh.path().c_str());
        settingsLoad(false);
        EXPECT_FALSE(std::filesystem::exists(fresh / "Brevik-Software/Quillon 5/settings"));
        settingsLoad();
        EXPECT_TRUE(std::filesystem::exists(fresh / "Brevik-Software/Quillon 5/settings"));
    }

    // Without a store nothing is read or written, and nothing fails.
    {
        test::writeFile(dir / "file", std::string("x"));
        test::ScopedEnv bad("XDG_CONFIG_HOME", (dir / "file").c_str());
        js.iSetPPI = 5;
        settingsLoad();
        EXPECT_EQ(js.iSetPPI, 5);
        settingsSave();
        EXPECT_FALSE(std::filesystem::exists(dir / "file/Brevik-Software"));
    }
    setGlobalQuantizeOptions(nullptr);
    js = saved;
}

TEST(JobSettings, DamagedStoreLoadsDefaultsAndIsReplaced)
{
    TempDir dir;
    JobSettings s;
    test::fillPresetFields(s);
    saveTo(dir, s);
    std::vector<uint8_t> bytes = test::readFile(dir / "settings");
    ASSERT_GT(bytes.size(), 10u);
    bytes.resize(bytes.size() - 10);
    test::writeFile(dir / "settings", bytes);
    JobSettings back = loadFresh(dir);
    test::expectSame(back, JobSettings{}, true);
    saveTo(dir, s);
    test::expectSame(loadFresh(dir), s, false);
}

TEST(JobSettings, VersionsCompareByTheirNumbers)
{
    EXPECT_LT(compareVersions(u"0.0", u"5.2"), 0);
    EXPECT_LT(compareVersions(u"5.1", u"5.2"), 0);
    EXPECT_EQ(compareVersions(u"5.2", u"5.2"), 0);
    EXPECT_EQ(compareVersions(u"5.02", u"5.2"), 0);
    EXPECT_GT(compareVersions(u"5.10", u"5.2"), 0);
    EXPECT_GT(compareVersions(u"5.2.1", u"5.2"), 0);
    EXPECT_LT(compareVersions(u"", u"5.2"), 0);
    EXPECT_LT(compareVersions(u"5.2", u"5.2b"), 0);
    EXPECT_GT(compareVersions(u"99999999999999999999", u"5.2"), 0);
}
