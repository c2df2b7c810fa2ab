#include "platform/settings_store.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "platform/known_folders.h"
#include "support/test_support.h"

using namespace quillon;
using quillon::test::TempDir;

TEST(SettingsStore, ValuesRoundTripWithCaseInsensitiveNames)
{
    TempDir dir;
    auto file = dir / "Vendor/App/settings";
    {
        auto s = SettingsStore::openFile(file);
        ASSERT_TRUE(s);
        EXPECT_EQ(s->valueCount(), 0u);
        s->writeByte("bFlag", 1);
        s->writeDword("iNumber", 0xFFFFFFFEu);
        s->writeString("szText", u"Grüße ✓");
        s->writeString8("szAnsi", "caf\xE9 \x80");
        uint8_t blob[5] = {1, 0, 2, 0, 3};
        s->writeBinary("Blob", blob, 5);
        s->writeDword("INUMBER", 7); // same value, other spelling
        ASSERT_TRUE(s->commit());
    }
    auto s = SettingsStore::openFile(file);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->valueCount(), 5u);
    uint8_t flag = 0;
    EXPECT_TRUE(s->readByte("BFLAG", flag));
    EXPECT_EQ(flag, 1);
    uint32_t n = 0;
    EXPECT_TRUE(s->readDword("inumber", n));
    EXPECT_EQ(n, 7u);
    std::u16string text;
    EXPECT_TRUE(s->readString("sztext", text, 128));
    EXPECT_EQ(text, u"Grüße ✓");
    std::string ansi;
    EXPECT_TRUE(s->readString8("szAnsi", ansi, 64));
    EXPECT_EQ(ansi, "caf\xE9 \x80");
    uint8_t got[5] = {};
    uint32_t size = 5;
    ValueType type;
    EXPECT_TRUE(s->query("blob", &type, got, &size));
    EXPECT_EQ(type, ValueType::Binary);
    EXPECT_EQ(size, 5u);
    EXPECT_EQ(got[4], 3);
}

TEST(SettingsStore, SizedReadsLeaveTheDefault)
{
    auto s = SettingsStore::fromBytes(nullptr, 0);
    ASSERT_TRUE(s);
    uint8_t two[2] = {1, 2};
    s->writeBinary("Short", two, 2);
    s->writeDword("Dword", 5);
    s->writeString("Text", u"abc"); // 8 bytes with its NUL

    uint32_t n = 99;
    EXPECT_FALSE(s->readDword("Short", n)); // wrong size
    EXPECT_FALSE(s->readDword("Absent", n));
    EXPECT_EQ(n, 99u);
    uint8_t b = 42;
    EXPECT_FALSE(s->readByte("Dword", b)); // larger than the buffer
    EXPECT_EQ(b, 42);

    std::u16string text = u"default";
    EXPECT_FALSE(s->readString("Text", text, 7));
    EXPECT_EQ(text, u"default");
    EXPECT_TRUE(s->readString("Text", text, 8));
    EXPECT_EQ(text, u"abc");

    std::string ansi = "keep";
    EXPECT_FALSE(s->readString8("Text", ansi, 3));
    EXPECT_TRUE(s->readString8("Text", ansi, 4));
    EXPECT_EQ(ansi, "abc");

    uint8_t buf[1] = {7};
    uint32_t size = 1;
    EXPECT_FALSE(s->query("Short", nullptr, buf, &size));
    EXPECT_EQ(size, 2u); // tells the size needed
    EXPECT_EQ(buf[0], 7);

    s->deleteValue("SHORT");
    EXPECT_FALSE(s->hasValue("Short"));
    EXPECT_FALSE(s->commit()); // tied to no file
}

TEST(SettingsStore, DamagedFileIsKeptAsideOpensEmptyAndIsReplacedOnCommit)
{
    TempDir dir;
    auto file = dir / "settings";
    {
        auto s = SettingsStore::openFile(file);
        for (int i = 0; i < 20; ++i) s->writeDword("v" + std::to_string(i), uint32_t(i));
        ASSERT_TRUE(s->commit());
    }
    std::vector<uint8_t> good = test::readFile(file);
    ASSERT_GT(good.size(), 100u);

    std::vector<std::vector<uint8_t>> damaged;
    damaged.emplace_back(good.begin(), good.end() - 1);            // cut by one byte
    damaged.emplace_back(good.begin(), good.begin() + good.size() / 2);
    damaged.push_back(good);
    damaged.back()[good.size() / 2] ^= 0x40;                       // one flipped bit
    damaged.emplace_back(good.begin(), good.begin() + 3);           // a stub
    for (size_t i = 0; i < damaged.size(); ++i) {
        const std::vector<uint8_t>& bytes = damaged[i];
        test::writeFile(file, bytes);
        auto s = SettingsStore::openFile(file);
        ASSERT_TRUE(s);
        EXPECT_EQ(s->valueCount(), 0u);
        uint32_t v = 1234;
        EXPECT_FALSE(s->readDword("v3", v));
        // The damaged bytes are kept aside before anything replaces them,
        // each beside those damaged before: settings.bad, then
        // settings.bad.2 and on, the older ones as they were.
        for (size_t k = 0; k <= i; ++k) {
            const std::string name = k == 0 ? "settings.bad" : "settings.bad." + std::to_string(k + 1);
            EXPECT_EQ(test::readFile(dir / name), damaged[k]) << name;
        }
        EXPECT_FALSE(std::filesystem::exists(dir / ("settings.bad." + std::to_string(i + 2))));
        // Even with no new values, the unusable file is rewritten.
        ASSERT_TRUE(s->commit());
        auto again = SettingsStore::openFile(file);
        EXPECT_EQ(again->valueCount(), 0u);
        EXPECT_NE(test::readFile(file), bytes);
    }
}

namespace {

// A file system that cannot refuse to replace a file when renaming: the
// refusing rename fails there as it does on those (EINVAL or ENOSYS).
int g_unsupportedCalls = 0;
int g_unsupportedErrno = EINVAL;
int renameWithoutNoReplace(const char*, const char*)
{
    ++g_unsupportedCalls;
    errno = g_unsupportedErrno;
    return -1;
}

// Puts that rename in place for the life of the object.
struct RenameCannotRefuse {
    RenameCannotRefuse() { SettingsStore::setNoReplaceRename(renameWithoutNoReplace); }
    ~RenameCannotRefuse() { SettingsStore::setNoReplaceRename(nullptr); }
};

} // namespace

// Where the file system cannot rename without replacing, a damaged file
// still goes aside beside the older ones, never over one of them.
TEST(SettingsStore, DamagedFileGoesAsideWithoutReplacingWhereRenameCannotRefuse)
{
    TempDir dir;
    const auto file = dir / "settings";
    auto text = [&](const char* name) {
        const std::vector<uint8_t> bytes = test::readFile(dir / name);
        return std::string(bytes.begin(), bytes.end());
    };
    test::writeFile(dir / "settings.bad", std::string("kept from before"));
    RenameCannotRefuse seam;
    const struct {
        int errnoValue;
        const char *content, *keptAs;
    } runs[] = {{EINVAL, "first damaged", "settings.bad.2"}, {ENOSYS, "second damaged", "settings.bad.3"}};
    for (const auto& run : runs) {
        g_unsupportedErrno = run.errnoValue;
        g_unsupportedCalls = 0;
        test::writeFile(file, std::string(run.content));
        auto s = SettingsStore::openFile(file);
        ASSERT_TRUE(s);
        EXPECT_EQ(s->valueCount(), 0u);
        EXPECT_GE(g_unsupportedCalls, 1);
        EXPECT_FALSE(std::filesystem::exists(file));
        EXPECT_EQ(text(run.keptAs), run.content);
        ASSERT_TRUE(s->commit());
    }
    EXPECT_EQ(text("settings.bad"), "kept from before");
    EXPECT_EQ(text("settings.bad.2"), "first damaged");
    EXPECT_FALSE(std::filesystem::exists(dir / "settings.bad.4"));
}

TEST(SettingsStore, AnyFlippedBitInsideValueDataIsCaught)
{
    // Damage the layout checks cannot see: the bytes of values themselves,
    // where only the checksum tells a changed setting from the saved one.
    const uint8_t pattern[12] = {0x51, 0xA2, 0x03, 0xF4, 0x65, 0x16, 0x87, 0x38, 0xC9, 0x7A, 0x0B, 0xDC};
    TempDir dir;
    {
        auto s = SettingsStore::openFile(dir / "settings");
        ASSERT_TRUE(s);
        s->writeDword("iBefore", 17);
        s->writeBinary("Blob", pattern, sizeof pattern);
        s->writeString("szAfter", u"text");
        ASSERT_TRUE(s->commit());
    }
    std::vector<uint8_t> good = test::readFile(dir / "settings");
    auto at = std::search(good.begin(), good.end(), pattern, pattern + sizeof pattern);
    ASSERT_NE(at, good.end());
    const size_t start = size_t(at - good.begin());
    ASSERT_EQ(SettingsStore::fromBytes(good.data(), good.size())->valueCount(), 3u);
    for (size_t i = 0; i < sizeof pattern; ++i)
        for (int bit : {0, 7}) {
            std::vector<uint8_t> bad = good;
            bad[start + i] ^= uint8_t(1u << bit);
            auto d = SettingsStore::fromBytes(bad.data(), bad.size());
            ASSERT_TRUE(d);
            EXPECT_EQ(d->valueCount(), 0u) << "byte " << i << " bit " << bit;
        }
}

namespace {
void exitAtCommit() { _exit(37); }
} // namespace

TEST(SettingsStore, DeathBeforeRenameKeepsTheOldFile)
{
    TempDir dir;
    auto file = dir / "settings";
    {
        auto s = SettingsStore::openFile(file);
        s->writeDword("Answer", 41);
        ASSERT_TRUE(s->commit());
    }
    std::vector<uint8_t> before = test::readFile(file);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        auto s = SettingsStore::openFile(file);
        s->writeDword("Answer", 42);
        s->writeString("More", std::u16string(2000, u'x'));
        SettingsStore::setCommitHook(exitAtCommit);
        s->commit();
        _exit(0); // the hook never ran
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 37);
    EXPECT_EQ(test::readFile(file), before);
    auto s = SettingsStore::openFile(file);
    uint32_t v = 0;
    EXPECT_TRUE(s->readDword("Answer", v));
    EXPECT_EQ(v, 41u);
}

TEST(SettingsStore, LinkedFileStaysALink)
{
    TempDir dir;
    std::filesystem::create_directory(dir / "dotfiles");
    std::filesystem::create_directory(dir / "cfg");
    std::filesystem::create_symlink("../dotfiles/settings", dir / "cfg/settings");
    auto s = SettingsStore::openFile(dir / "cfg/settings");
    s->writeDword("x", 5);
    ASSERT_TRUE(s->commit());
    EXPECT_TRUE(std::filesystem::is_symlink(dir / "cfg/settings"));
    auto back = SettingsStore::openFile(dir / "dotfiles/settings");
    uint32_t v = 0;
    EXPECT_TRUE(back->readDword("x", v));
    EXPECT_EQ(v, 5u);
}

TEST(SettingsStore, LocationFollowsTheConfigFolder)
{
    EXPECT_EQ(settingsStorePath("/cfg", "Software\\Brevik-Software\\Quillon 5"),
              std::filesystem::path("/cfg/Brevik-Software/Quillon 5/settings"));
    EXPECT_TRUE(settingsStorePath("/cfg", "Software\\..\\x").empty());
    EXPECT_TRUE(settingsStorePath("/cfg", "Software\\a/b").empty());
    EXPECT_TRUE(settingsStorePath("", "Software\\A").empty());

    TempDir dir;
    {
        test::ScopedEnv xdg("XDG_CONFIG_HOME", dir.path().c_str());
        EXPECT_EQ(roamingAppDataFolder(), dir.path());
        auto s = SettingsStore::open("Software\\Brevik-Software\\Quillon 5");
        ASSERT_TRUE(s);
        s->writeDword("x", 1);
        ASSERT_TRUE(s->commit());
        EXPECT_TRUE(std::filesystem::exists(dir / "Brevik-Software/Quillon 5/settings"));
    }
    {
        test::ScopedEnv xdg("XDG_CONFIG_HOME", "relative/folder");
        test::ScopedEnv home("HOME", "/home/someone");
        EXPECT_EQ(roamingAppDataFolder(), std::filesystem::path("/home/someone/.config"));
    }
    {
        test::ScopedEnv xdg("XDG_CONFIG_HOME", nullptr);
        test::ScopedEnv home("HOME", nullptr);
        EXPECT_TRUE(roamingAppDataFolder().empty());
        EXPECT_EQ(SettingsStore::open("Software\\Brevik-Software\\Quillon 5"), nullptr);
    }
    // A folder that cannot be created.
    test::writeFile(dir / "plainfile", std::string("x"));
    EXPECT_EQ(SettingsStore::openFile(dir / "plainfile/sub/settings"), nullptr);
}

TEST(SettingsStore, Windows1252RoundTrip)
{
    std::string all;
    for (int b = 1; b < 256; ++b) all.push_back(char(b));
    EXPECT_EQ(u16ToCp1252(cp1252ToU16(all)), all);
    EXPECT_EQ(cp1252ToU16("\x80\x9F"), u"€Ÿ");
    EXPECT_EQ(u16ToCp1252(u"€Ÿé"), "\x80\x9F\xE9");
    // Characters without a byte of their own are approximated.
    std::string approx = u16ToCp1252(u"Č✓");
    ASSERT_EQ(approx.size(), 2u);
    EXPECT_EQ(approx[0], 'C');
    EXPECT_EQ(approx[1], '?');
}
