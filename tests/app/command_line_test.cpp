#include "app/command_line.h"
#include "app/rename.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/format_table.h"
#include "app/input_list_fakes.h"
#include "core/format.h"
#include "core/text.h"
#include "settings_support.h"
#include "support/test_support.h"

using namespace quillon;
using namespace quillon::test;
namespace fs = std::filesystem;
using Names = std::vector<std::string>;

namespace {

Names tokens(const std::u16string& text)
{
    Names out;
    for (const std::u16string& t : commandLineTokenize(text)) out.push_back(u16ToUtf8(t));
    return out;
}

class RecordingTarget : public CommandLineTarget {
public:
    void addDirectory(const fs::path& folder, const AddDirectoryParams& p) override
    {
        calls.push_back("dir " + folder.filename().string() + " recurse=" + std::to_string(p.recurse) +
                        " filter=" + (p.filterOn ? u16ToUtf8(p.filter) : std::string("off")));
    }
    void addFile(const fs::path& file) override { calls.push_back("file " + file.filename().string()); }
    void loadPreset(const fs::path& file) override { calls.push_back("preset " + file.filename().string()); }
    void setSilent() override { calls.push_back("silent"); }
    void argumentMissing(const std::string& argument) override { missing.push_back(argument); }
    void unknownOption(const std::string& option) override { unknown.push_back(option); }
    void optionWithoutArgument(const std::string& option, const char* why) override
    {
        incomplete.push_back(option + ": " + why);
    }
    Names calls, missing, unknown, incomplete;
};

// Runs the test with the current folder inside dir, as a user would type
// relative names.
class InFolder {
public:
    explicit InFolder(const fs::path& dir) : old_(fs::current_path()) { fs::current_path(dir); }
    ~InFolder() { fs::current_path(old_); }

private:
    fs::path old_;
};

} // namespace

TEST(CommandLine, TokenizerQuoteRules)
{
    EXPECT_EQ(tokens(u"abc\"def ghi\"jkl"), (Names{"abcdef ghi", "jkl"}));
    EXPECT_EQ(tokens(u"C:/quillon.exe \"D:/my pics\" -RECURSE"),
              (Names{"C:/quillon.exe", "D:/my pics", "-RECURSE"}));
    EXPECT_EQ(tokens(u"  a   b  "), (Names{"a", "b"}));
    EXPECT_EQ(tokens(u"a \"\" b"), (Names{"a", "b"})); // an empty pair is no token
    EXPECT_EQ(tokens(u"a\"\"b"), (Names{"a", "b"}));   // the closing quote ends the token
    EXPECT_EQ(tokens(u"\"open to the end"), (Names{"open to the end"}));
    EXPECT_EQ(tokens(u"tab\tstays"), (Names{"tab\tstays"}));
    EXPECT_TRUE(tokens(u"").empty());
    EXPECT_TRUE(tokens(u"   \"\" ").empty());
}

TEST(CommandLine, OptionsApplyToTheFoldersThatFollow)
{
    TempDir dir;
    for (const char* d : {"my pics", "second", "third", "fourth", "fifth"}) fs::create_directories(dir / d);
    writeFile(dir / "x.QPT", std::string("[Quillon]\n"));
    writeFile(dir / ".qpt", std::string("[Quillon]\n"));
    writeFile(dir / "tool.exe", std::string("MZ"));
    writeImage(dir / "photo.jpg");
    InFolder here(dir.path());

    // The command line as a user types it on Windows, split by the
    // tokenizer; the program's own path is skipped by its ".exe".
    std::u16string text = u"C:/Quillon/quillon.exe \"my pics\" -RECURSE second /FILTER \"fun*.jpg; ????.gif\""
                          u" third -recurse missing.jpg fourth photo.jpg fifth x.QPT .qpt tool.exe -bogus /bogus"
                          u" /silent";
    std::vector<std::string> args;
    for (const std::u16string& t : commandLineTokenize(text)) args.push_back(u16ToUtf8(t));

    RecordingTarget target;
    EXPECT_TRUE(commandLineHandle(args, target));
    EXPECT_EQ(target.calls, (Names{
                                "dir my pics recurse=0 filter=off",
                                "dir second recurse=1 filter=off",
                                "dir third recurse=0 filter=fun*.jpg; ????.gif",
                                // the missing file leaves RECURSE pending
                                "dir fourth recurse=1 filter=fun*.jpg; ????.gif",
                                "file photo.jpg",
                                "dir fifth recurse=0 filter=fun*.jpg; ????.gif",
                                "preset x.QPT",
                                "file .qpt", // four characters: not a preset name
                                "silent",
                            }));
    // "/bogus" is a path that is not there; "-bogus" a typo of an option.
    EXPECT_EQ(target.unknown, (Names{"-bogus"}));
    EXPECT_EQ(target.missing, (Names{"missing.jpg", "/bogus"}));
}

TEST(CommandLine, SlashStartsAnOptionOnlyForOptionWords)
{
    TempDir dir;
    writeImage(dir / "RECURSE" / "a.png");
    writeImage(dir / "b.png");
    fs::create_directories(dir / "sub");
    RecordingTarget target;
    // Absolute paths are paths, even when they end in an option word.
    EXPECT_FALSE(commandLineHandle({(dir / "b.png").string(), (dir / "RECURSE").string(), "/RECURSE",
                                    (dir / "sub").string(), "-SILENT:no", "/Filter"},
                                   target));
    EXPECT_EQ(target.calls, (Names{"file b.png", "dir RECURSE recurse=0 filter=off", "dir sub recurse=1 filter=off"}));
    EXPECT_EQ(target.unknown, (Names{"-SILENT:no"}));
}

TEST(CommandLine, FilterAsTheLastTokenEndsHandling)
{
    TempDir dir;
    fs::create_directories(dir / "d");
    RecordingTarget target;
    EXPECT_TRUE(commandLineHandle({"-SILENT", "-FILTER"}, target));
    EXPECT_EQ(target.calls, (Names{"silent"}));

    // An empty filter leaves the one before it in force; a long one is cut.
    target.calls.clear();
    std::string longFilter = "*.png;" + std::string(200, 'x');
    EXPECT_FALSE(commandLineHandle({"-FILTER", "*.jpg", "-FILTER", "", (dir / "d").string(), "-FILTER", longFilter,
                                    (dir / "d").string()},
                                   target));
    ASSERT_EQ(target.calls.size(), 2u);
    EXPECT_EQ(target.calls[0], "dir d recurse=0 filter=*.jpg");
    EXPECT_EQ(target.calls[1], "dir d recurse=0 filter=" + longFilter.substr(0, kCommandLineFilterMax));
}

// A filter typed in the bytes of an old code page matches names of those
// bytes, as the names of the folder it limits are matched by theirs.
TEST(CommandLine, FilterKeepsBytesThatAreNotUtf8)
{
    TempDir dir;
    fs::create_directories(dir / "d");
    struct Filters : RecordingTarget {
        void addDirectory(const fs::path& folder, const AddDirectoryParams& p) override
        {
            RecordingTarget::addDirectory(folder, p);
            bytes.push_back(u16ToNameBytes(p.filter));
            matches.push_back(filterMatch(p.filter, pathToU16(fs::path("caf\xe9.png"))));
            matches.push_back(filterMatch(p.filter, pathToU16(fs::path("caf\xc3\xa9.png"))));
        }
        Names bytes;
        std::vector<bool> matches;
    } target;
    commandLineHandle({"-filter", "caf\xe9*.png", (dir / "d").string()}, target);
    EXPECT_EQ(target.bytes, (Names{"caf\xe9*.png"}));
    EXPECT_EQ(target.matches, (std::vector<bool>{true, false}));
}

TEST(CommandLine, ArgumentsReachTheInputListAndPresets)
{
    TempDir dir;
    writeImage(dir / "my pics" / "p1.png");
    writeImage(dir / "my pics" / "inner" / "p2.png");
    writeImage(dir / "second" / "s1.png");
    writeImage(dir / "second" / "deep" / "s2.png");
    writeImage(dir / "third" / "fun1.JPG");
    writeImage(dir / "third" / "abcd.gif");
    writeImage(dir / "third" / "abc.gif");
    writeImage(dir / "third" / "sub" / "fun2.jpg");
    writeImage(dir / "loose.png");
    writeFile(dir / "readme.txt", std::string("text"));
    writeFile(dir / "job.qpt", std::string("[Quillon]\n"));

    FakeHooks hooks;
    InputList list(&hooks);
    std::vector<fs::path> presets;
    int silent = 0;
    InputListCommandTarget target(
        list, [&](const fs::path& p) { presets.push_back(p); }, [&] { ++silent; });

    const std::vector<std::string> args = {
        (dir / "my pics").string(), "-RECURSE", (dir / "second").string(), "-FILTER", "fun*.jpg; ????.gif",
        (dir / "third").string(),   (dir / "loose.png").string(), (dir / "readme.txt").string(),
        (dir / "job.qpt").string(), "-SILENT",
    };
    EXPECT_TRUE(commandLineHandle(args, target));
    EXPECT_EQ(slotPaths(list, dir.path()), (Names{"my pics/p1.png", "second/deep/s2.png", "second/s1.png",
                                                  "third/abcd.gif", "third/fun1.JPG", "loose.png"}));
    EXPECT_TRUE(hooks.errors.empty()); // readme.txt is skipped without a box
    ASSERT_EQ(presets.size(), 1u);
    EXPECT_EQ(presets[0], dir / "job.qpt");
    EXPECT_EQ(silent, 1);
    // Single files put their folder at the front of the recent paths.
    ASSERT_EQ(hooks.remembered.size(), 2u);
    EXPECT_EQ(hooks.remembered[0].string(), dir.path().string() + "/");
}

TEST(CommandLine, SilentIsKnownBeforeAnythingRunsAndMissingNamesAreReported)
{
    EXPECT_TRUE(commandLineIsSilent({"a.jpg", "-SILENT"}));
    EXPECT_TRUE(commandLineIsSilent({"/silent"}));
    EXPECT_FALSE(commandLineIsSilent({"a.jpg", "-silentx"}));
    // The value of a filter is no option, whatever it reads.
    EXPECT_FALSE(commandLineIsSilent({"-filter", "-silent", "x"}));
    EXPECT_FALSE(commandLineIsSilent({}));

    TempDir dir;
    InFolder here(dir.path());
    test::writeFile(dir / "notes.txt", std::string("no image"));
    RecordingTarget target;
    commandLineHandle({"gone.bmp", "gone.qpt", "notes.txt"}, target);
    EXPECT_EQ(target.calls, (Names{"file notes.txt"}));
    EXPECT_EQ(target.missing, (Names{"gone.bmp", "gone.qpt"}));

    // The usual target says which argument added nothing, and why.
    FakeHooks hooks;
    InputList list(&hooks);
    InputListCommandTarget usual(list, [](const fs::path&) {}, [] {});
    commandLineHandle({"gone.bmp", "gone.qpt", "notes.txt"}, usual);
    ASSERT_EQ(usual.failures.size(), 3u);
    EXPECT_EQ(usual.failures[0], "gone.bmp: no such file or folder");
    EXPECT_EQ(usual.failures[1], "gone.qpt: no such preset");
    EXPECT_EQ(usual.failures[2], "notes.txt: Unknown file format");
    EXPECT_EQ(list.fileCount(), 0u);
    // The missing picture is an input lost as much as the file of unknown
    // format; a missing preset is none.
    EXPECT_EQ(usual.inputsLeftOut(), 2);
}

// Files of a named folder that look like pictures of ours but add nothing
// are named and counted as lost inputs, like a named file of unknown
// format; files of other extensions are nobody's pictures.
TEST(CommandLine, LostInputsAreNamedAndCounted)
{
    TempDir dir;
    FormatRegistry reg;
    registerAllFormats(reg);
    writeImage(dir / "in" / "a.png");
    writeFile(dir / "in" / "zero.jpg", std::string());
    writeFile(dir / "in" / "text.bmp", std::string("not a bitmap"));
    writeFile(dir / "in" / "notes.txt", std::string("words"));
    writeFile(dir / "lone.tif", std::string("no tiff"));

    FakeHooks hooks;
    hooks.registry = &reg;
    InputList list(&hooks);
    InputListCommandTarget target(list, [](const fs::path&) {}, [] {});
    commandLineHandle({(dir / "in").string(), (dir / "lone.tif").string()}, target);
    EXPECT_EQ(slotNames(list), (Names{"a.png"}));
    EXPECT_EQ(target.failures, (Names{(dir / "in" / "text.bmp").string() + ": Unknown file format",
                                      (dir / "in" / "zero.jpg").string() + ": Unknown file format",
                                      (dir / "lone.tif").string() + ": Unknown file format"}));
    EXPECT_EQ(target.inputsLeftOut(), 3);
}

// Before a silent run starts, the check finds every unknown option and
// every preset that would be refused, among the arguments as the run takes
// them: presets one on top of the other, the value after -filter no option.
TEST(CommandLine, TyposInOptionsAndPresetsAreFoundBeforeARun)
{
    TempDir dir;
    FormatRegistry reg;
    registerAllFormats(reg);
    const int jpg = reg.findByExtension(std::u16string_view(u"x.jpg"), true);
    writeFile(dir / "bad.qpt", "[Quillon]\niOutFormats=2\niFormatId0=" + std::to_string(jpg) + "\niFormatId1=99\n");
    writeFile(dir / "old.qpt", std::string("[Quillon]\niFormatId=-5\n"));
    writeFile(dir / "spare.qpt", "[Quillon]\niFormatId0=" + std::to_string(jpg) + "\niFormatId3=99\n");
    // A quality of 120 is a typo for a JPEG quality, a fine size in KB.
    writeFile(dir / "jpeg.qpt",
              "[Quillon]\niFormatId0=" + std::to_string(jpg) + "\nszSubFormat0=Normal, by Quality:\n");
    writeFile(dir / "size.qpt", std::string("[Quillon]\nszSubFormat0=Normal, to Size:\n"));
    writeFile(dir / "q120.qpt", std::string("[Quillon]\niCompParam0=120\n"));
    const Names refused = commandLineRefusals(
        {"-silent", (dir / "bad.qpt").string(), "-filter", (dir / "old.qpt").string(), (dir / "spare.qpt").string(),
         (dir / "old.qpt").string(), "-recurce", dir.path().string(), (dir / "jpeg.qpt").string(),
         (dir / "q120.qpt").string(), (dir / "size.qpt").string(), (dir / "q120.qpt").string(), "-Silent", "--help"},
        &reg);
    EXPECT_EQ(refused,
              (Names{(dir / "bad.qpt").string() + ": iFormatId1=99 names no output format (0 to 40, or -1 "
                                                  "for each output's own extension)",
                     (dir / "old.qpt").string() + ": iFormatId=-5 names no output format (0 to 40, or -1 "
                                                  "for each output's own extension)",
                     "-recurce: unknown option (the options are -recurse, -filter and -silent)",
                     (dir / "q120.qpt").string() + ": iCompParam0=120 is out of range (1 to 100 for a quality)",
                     "--help: unknown option (the options are -recurse, -filter and -silent)"}));

    // The usual target names an unknown option among its failures.
    FakeHooks hooks;
    InputList list(&hooks);
    InputListCommandTarget usual(list, [](const fs::path&) {}, [] {});
    commandLineHandle({"-recurce", dir.path().string()}, usual);
    EXPECT_EQ(usual.failures, (Names{"-recurce: unknown option (the options are -recurse, -filter and -silent)"}));
}

// -recurse or -filter after the last name, or -filter without its filter,
// would leave the folder before them scanned as if they were not there: the
// check before a silent run names each, and the wizard's own handling too.
TEST(CommandLine, OptionsWithoutTheirArgumentAreFoundBeforeARun)
{
    TempDir dir;
    fs::create_directories(dir / "d");
    const std::string d = (dir / "d").string();
    const std::string recurse = "no folder after it (-recurse goes before the folder it scans)";
    const std::string noFilter = "no filter after it (as in -filter \"*.jpg;*.png\" before a folder)";
    const std::string filterLast = "no folder after it (-filter goes before the folders it limits)";
    EXPECT_EQ(commandLineRefusals({"-silent", d, "-filter"}), (Names{"-filter: " + noFilter}));
    EXPECT_EQ(commandLineRefusals({"-silent", "-Filter", "", d}), (Names{"-Filter: " + noFilter}));
    EXPECT_EQ(commandLineRefusals({"-silent", d, "-filter", "*.jpg"}), (Names{"-filter: " + filterLast}));
    // An option word where the filter goes is a filter forgotten; a pattern
    // that starts with '-' is a filter.
    EXPECT_EQ(commandLineRefusals({"-silent", "-filter", "/recurse", d}), (Names{"-filter: " + noFilter}));
    EXPECT_TRUE(commandLineRefusals({"-silent", "-filter", "-*.jpg", d}).empty());
    // Options after it, and a filter's value, are no name for it.
    EXPECT_EQ(commandLineRefusals({"-silent", d, "-RECURSE", "/silent"}), (Names{"-RECURSE: " + recurse}));
    EXPECT_EQ(commandLineRefusals({"-silent", d, "/recurse", "-filter", "*.png"}),
              (Names{"/recurse: " + recurse, "-filter: " + filterLast}));
    // A name after them, whatever it names, is what they act on.
    EXPECT_TRUE(commandLineRefusals({"-recurse", "-filter", "*.png", d, "-silent"}).empty());
    EXPECT_TRUE(commandLineRefusals({"-silent", "-recurse", (dir / "gone").string(), "-filter", "x", d}).empty());
    // A preset is not: neither option acts on one, unless a folder has its
    // name; one after it passes it over.
    const std::string job = (dir / "job.qpt").string();
    writeFile(job, std::string("[Quillon]\nbDeleteSrcFiles=1\n"));
    fs::create_directories(dir / "pics.qpt");
    EXPECT_EQ(commandLineRefusals({"-silent", d, "-filter", "*.png", job}), (Names{"-filter: " + filterLast}));
    EXPECT_EQ(commandLineRefusals({"-silent", d, "-recurse", job}), (Names{"-recurse: " + recurse}));
    EXPECT_TRUE(commandLineRefusals({"-silent", "-recurse", job, d}).empty());
    EXPECT_TRUE(commandLineRefusals({"-silent", d, "-recurse", (dir / "pics.qpt").string()}).empty());
    RecordingTarget passedOver;
    commandLineHandle({"-recurse", job, d, "-filter", "*.png", job, d}, passedOver);
    EXPECT_EQ(passedOver.calls,
              (Names{"preset job.qpt", "dir d recurse=1 filter=off", "preset job.qpt", "dir d recurse=0 filter=*.png"}));
    EXPECT_TRUE(passedOver.incomplete.empty());

    // Handling goes on as before: the empty filter leaves none, the
    // recursion after the folder applies to nothing.
    RecordingTarget target;
    commandLineHandle({"-filter", "", d, "-recurse"}, target);
    EXPECT_EQ(target.calls, (Names{"dir d recurse=0 filter=off"}));
    EXPECT_EQ(target.incomplete, (Names{"-filter: " + noFilter, "-recurse: " + recurse}));

    FakeHooks hooks;
    InputList list(&hooks);
    InputListCommandTarget usual(list, [](const fs::path&) {}, [] {});
    commandLineHandle({d, "-filter"}, usual);
    EXPECT_EQ(usual.failures, (Names{"-filter: " + noFilter}));
    EXPECT_EQ(usual.inputsLeftOut(), 0);
}

// A preset named but not there, or with nothing of ours in it, would leave
// a silent run to the settings store's job: the check before the run names
// it, and the wizard's own handling names it among its failures and loads
// nothing. Missing pictures are no reason to refuse the run.
TEST(CommandLine, MissingAndEmptyPresetsAreFoundBeforeARun)
{
    TempDir dir;
    FormatRegistry reg;
    registerAllFormats(reg);
    writeFile(dir / "typo.qpt", std::string("[Quilon]\niFormatId0=28\nbDeleteSrcFiles=0\n"));
    writeFile(dir / "keys.qpt", std::string("[Quillon]\nFormatId0=28\n"));
    writeFile(dir / "good.qpt", std::string("[Quillon]\nbDeleteSrcFiles=0\n"));
    const std::string webb = (dir / "webb.qpt").string();
    const Names refused = commandLineRefusals({"-silent", (dir / "good.qpt").string(), webb,
                                               (dir / "gone.png").string(), (dir / "typo.qpt").string(),
                                               (dir / "keys.qpt").string(), dir.path().string()},
                                              &reg);
    EXPECT_EQ(refused, (Names{webb + ": no such preset", (dir / "typo.qpt").string() + ": has no [Quillon] section",
                              (dir / "keys.qpt").string() + ": its [Quillon] section holds no key of a preset"}));

    JobSettings& job = jobSettings();
    const JobSettings before = job;
    FakeHooks hooks;
    InputList list(&hooks);
    InputListCommandTarget usual(list);
    commandLineHandle({webb, (dir / "typo.qpt").string()}, usual);
    EXPECT_EQ(usual.failures,
              (Names{webb + ": no such preset", (dir / "typo.qpt").string() + ": has no [Quillon] section"}));
    test::expectSame(job, before, true);
    job = before;
}
