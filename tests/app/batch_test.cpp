#include "app/batch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <cstring>
#include <map>
#include <set>
#include <thread>

#include "app/format_table.h"
#include "app/input_list.h"
#include "app/job_settings.h"
#include "app/run_report.h"
#include "app/taskbar_progress.h"
#include "core/format.h"
#include "core/image_cache.h"
#include "core/image_reader.h"
#include "core/image_writer.h"
#include "core/text.h"
#include "platform/memory.h"
#include "support/test_support.h"

using namespace quillon;
namespace fs = std::filesystem;

namespace {

// Records what the batch shows and answers its questions from a script.
struct ScriptedUi : BatchUi {
    std::vector<std::u16string> statuses, titles, inputs, outputs, times;
    std::vector<int32_t> progress;
    int32_t range = -1;
    int emptyCalls = 0, closeCalls = 0, endCalls = 0, pumps = 0;
    int overwriteQuestions = 0, continueQuestions = 0, cancelAllQuestions = 0;
    std::vector<int32_t> overwriteAnswers; // consumed in order; then Cancel
    int32_t continueAnswer = ERROR_CONTINUE;
    bool cancelAll = true;
    fs::path renameTo;
    std::function<void()> onPump, onEncodePump;
    std::u16string lastOverwriteText;

    void setInputText(std::u16string_view t) override { inputs.emplace_back(t); }
    void setOutputText(std::u16string_view t) override { outputs.emplace_back(t); }
    void setProgressRange(int32_t total) override { range = total; }
    void setProgress(int32_t done) override { progress.push_back(done); }
    void setStatus(std::u16string_view t) override { statuses.emplace_back(t); }
    void setTime(std::u16string_view t) override { times.emplace_back(t); }
    void setTitle(std::u16string_view t) override { titles.emplace_back(t); }
    void pumpEvents() override
    {
        ++pumps;
        if (onPump) onPump();
    }
    void pumpWhileEncoding() override
    {
        if (onEncodePump) onEncodePump();
    }
    void setBusy(bool) override {}
    void emptyList() override { ++emptyCalls; }
    void closeWizard() override { ++closeCalls; }
    void batchEnded(bool) override { ++endCalls; }
    int32_t askOverwrite(std::u16string_view text) override
    {
        ++overwriteQuestions;
        lastOverwriteText = text;
        if (overwriteAnswers.empty()) return OVERWRITE_CANCEL;
        int32_t a = overwriteAnswers.front();
        overwriteAnswers.erase(overwriteAnswers.begin());
        return a;
    }
    bool askRenameTarget(fs::path& path) override
    {
        if (renameTo.empty()) return false;
        path = renameTo;
        return true;
    }
    std::u16string lastContinueText, lastContinueCaption;
    int32_t askContinue(std::u16string_view text, std::u16string_view caption) override
    {
        ++continueQuestions;
        lastContinueText = text;
        lastContinueCaption = caption;
        return continueAnswer;
    }
    bool askCancelAllRemaining() override
    {
        ++cancelAllQuestions;
        return cancelAll;
    }
};

// Records the taskbar's states and progress.
struct RecordingTaskbar : TaskbarProgress {
    std::vector<uint32_t> states;
    std::vector<std::pair<int32_t, int32_t>> progress;
    void setProgress(int32_t done, int32_t total) override { progress.emplace_back(done, total); }
    void setState(uint32_t flags) override { states.push_back(flags); }
};

struct BatchFixture : ::testing::Test {
    test::TempDir dir;
    FormatRegistry reg;
    InputListHooks hooks;
    std::unique_ptr<InputList> list;
    JobSettings s;
    ScriptedUi ui;
    RecordingTaskbar taskbar;
    bool running = false;
    uint64_t clockMs = 0;

    void SetUp() override
    {
        QUILLON_REQUIRE_TOOL("convert");
        registerAllFormats(reg);
        hooks.registry = &reg;
        list = std::make_unique<InputList>(&hooks);
        fs::create_directories(dir / "in");
        fs::create_directories(dir / "out");
        s.szOutDir = dir / "out/";
        s.iOutFormats = 1;
        setSlot(0, "bmp", u"Normal", CF_AUTO);
    }

    void setSlot(int k, const char* ext, const char16_t* sub, uint32_t colour)
    {
        OutputFormatSlot& slot = s.slots[size_t(k)];
        slot.iFormatId = reg.findByExtension(std::u16string_view(utf8ToU16(std::string("x.") + ext)), true);
        ASSERT_GE(slot.iFormatId, 0) << ext;
        slot.szSubFormat = sub;
        slot.iColorFormat = colour;
    }

    fs::path makeInput(const std::string& name, const std::string& spec = "40x30 gradient:red-blue")
    {
        fs::path p = dir / "in" / name;
        size_t x = spec.find(' ');
        std::string cmd = "convert -size " + spec.substr(0, x) + " " + spec.substr(x + 1) + " -type TrueColor BMP3:" +
                          test::shellQuote(p.string());
        EXPECT_EQ(test::run(cmd), 0);
        EXPECT_EQ(list->addFile(p, false, false), RC_OK);
        return p;
    }

    ImageCache* cache = nullptr;
    // The interface the run talks to when not `ui`; whether it encodes
    // beside the next input's loading.
    BatchUi* shownTo = nullptr;
    bool overlap = true;
    uint32_t readAhead = 2;
    // Inputs the list could not take before the run.
    std::vector<FileNotAdded> notAdded;

    BatchResult runBatch(const fs::path& logPath = {})
    {
        BatchContext ctx{s, *list, shownTo ? *shownTo : ui, running};
        ctx.registry = &reg;
        ctx.taskbar = &taskbar;
        ctx.cache = cache;
        ctx.overlap = overlap;
        ctx.readAhead = readAhead;
        ctx.logPath = logPath;
        ctx.notAdded = &notAdded;
        ctx.localTime = [] {
            std::tm t{};
            t.tm_year = 126;
            t.tm_mon = 11;
            t.tm_mday = 5;
            t.tm_hour = 17;
            t.tm_min = 5;
            return t;
        };
        ctx.milliseconds = [this] { return clockMs += 250; };
        return batchRun(ctx);
    }

    std::string identify(const fs::path& p)
    {
        std::string out = test::runOutput("identify -format '%w %h' " + test::shellQuote(p.string()) + " 2>/dev/null");
        return out;
    }
};

std::string text(const std::u16string& t) { return u16ToUtf8(t); }

} // namespace

TEST_F(BatchFixture, ThreeInputsTwoOutputs)
{
    makeInput("a.bmp");
    makeInput("b.bmp", "17x9 xc:orange");
    makeInput("c.bmp");
    s.iOutFormats = 2;
    s.bMultiOutInSubDirs = 1;
    setSlot(1, "bmp", u"RLE compressed", CF_256_COLOURS);
    s.slots[1].iCompParam = 0;
    BatchResult r = runBatch();
    EXPECT_EQ(r.total, 6);
    EXPECT_EQ(r.converted, 6);
    EXPECT_EQ(r.skipped, 0);
    EXPECT_FALSE(r.interrupted);
    EXPECT_EQ(ui.range, 6);
    EXPECT_EQ(ui.progress.back(), 6);
    EXPECT_EQ(text(ui.statuses.back()), " Converted 6 out of 6 files!");
    EXPECT_EQ(taskbar.states.back(), uint32_t(TBPF_NOPROGRESS));
    EXPECT_EQ(text(ui.titles.back()), "Batch Completed! - Quillon");
    EXPECT_EQ(s.nConverted, 6u);
    EXPECT_FALSE(running);
    fs::path sub0 = dir / "out" / "Windows bitmap format - Normal - Auto";
    fs::path sub1 = dir / "out" / "Windows bitmap format - RLE compressed - 256 clrs";
    EXPECT_EQ(identify(sub0 / "b.bmp"), "17 9");
    EXPECT_EQ(identify(sub1 / "a.bmp"), "40 30");
    // Progress advanced one step per output.
    std::vector<int32_t> steps;
    for (int32_t p : ui.progress)
        if (p > 0 && (steps.empty() || p != steps.back())) steps.push_back(p);
    EXPECT_EQ(steps, (std::vector<int32_t>{1, 2, 3, 4, 5, 6}));
    // No temporary file is left behind.
    for (const auto& e : fs::recursive_directory_iterator(dir / "out"))
        EXPECT_EQ(e.path().string().find(".part"), std::string::npos) << e.path();
}

namespace {

// An 8-bit RLE bitmap whose codes leave most pixels unset: a delta jump, an
// early end of line and an end of bitmap half way up.
std::vector<uint8_t> sparseRle8(uint32_t w, uint32_t h)
{
    const std::vector<uint8_t> codes = {5, 7, 0, 2, 3, 2, 4, 200, 0, 0, 0, 3, 9, 10, 11, 0, 2, 250, 0, 1};
    std::vector<uint8_t> v(14 + 40 + 1024);
    auto put32 = [&](size_t at, uint32_t x) {
        for (int i = 0; i < 4; ++i) v[at + size_t(i)] = uint8_t(x >> (8 * i));
    };
    v[0] = 'B';
    v[1] = 'M';
    put32(10, uint32_t(v.size()));
    put32(14, 40);
    put32(18, w);
    put32(22, h);
    v[26] = 1;
    v[28] = 8;
    put32(30, 1);
    put32(34, uint32_t(codes.size()));
    for (uint32_t i = 0; i < 256; ++i) put32(54 + 4 * i, i * 0x010301u);
    v.insert(v.end(), codes.begin(), codes.end());
    put32(2, uint32_t(v.size()));
    return v;
}

} // namespace

// Whatever fresh memory holds must never reach an output: decoders fill
// every pixel (also of a file cut short or of codes that skip pixels),
// processing reads only what was written, writers store only pixels and set
// bytes. The same batch runs with every new block first filled with one
// byte, then with another; an output byte that differs between the two came
// from memory nobody wrote.
TEST_F(BatchFixture, OutputsNeverShowWhatFreshMemoryHeld)
{
    const auto convert = [&](const std::string& name, const std::string& args) {
        const fs::path p = dir / "in" / name;
        ASSERT_EQ(test::run("convert " + args + test::shellQuote(p.string())), 0) << args;
        ASSERT_EQ(list->addFile(p, false, false), RC_OK);
    };
    convert("true.bmp", "-size 67x45 plasma:red-blue -type TrueColor BMP3:");
    convert("palette.bmp", "-size 53x31 gradient:yellow-navy -type Palette -colors 100 BMP3:");
    convert("rle.bmp", "-size 45x37 gradient:red-green -type Palette -colors 60 -compress RLE BMP3:");
    convert("alpha.bmp", "-size 41x29 gradient:red-none -type TrueColorAlpha BMP:");
    convert("mono.bmp", "-size 35x27 pattern:checkerboard -monochrome BMP3:");
    const fs::path cut = dir / "in" / "cut.bmp";
    std::vector<uint8_t> whole = test::readFile(dir / "in" / "true.bmp");
    whole.resize(whole.size() * 3 / 5);
    test::writeFile(cut, whole);
    ASSERT_EQ(list->addFile(cut, false, false), RC_OK);
    const fs::path sparse = dir / "in" / "sparse.bmp";
    test::writeFile(sparse, sparseRle8(24, 16));
    ASSERT_EQ(list->addFile(sparse, false, false), RC_OK);

    s.iOutFormats = 2;
    s.bMultiOutInSubDirs = 1;
    setSlot(1, "bmp", u"RLE compressed", CF_256_COLOURS);
    s.bResizeOnlyDown = 0;
    s.bResizeKeepAspect = 0;
    s.iResizeX = 71;
    s.iResizeY = 23;
    s.iFrameWidth = 5;
    // Every resampling method, each with other processing beside it.
    for (uint32_t method = 0; method < 9; ++method) {
        SCOPED_TRACE(method);
        s.eResize = method == 0 ? 0 : 1;
        s.eResizeMethod = method;
        s.bUndither = method & 1;
        s.eFrameType = method % 3;
        s.adjustments = AdjustmentSettings();
        s.adjustments.setSharpness(method % 4 == 1 ? 1.5f : 0.0f);
        s.adjustments.setOrientation(method % 8);
        if (method % 3 == 2) s.adjustments.setColour(&AdjustmentSettings::contrast, 30.0f);
        std::map<std::string, std::vector<uint8_t>> first;
        for (int fill : {0xA5, 0x5A}) {
            const fs::path out = dir / ("out-" + std::to_string(method) + "-" + std::to_string(fill));
            s.szOutDir = out.string() + "/";
            setAllocationFill(fill);
            BatchResult r = runBatch();
            setAllocationFill(-1);
            // The file cut short is damaged: none of its outputs is written.
            EXPECT_EQ(r.converted, r.total - 2);
            for (const auto& e : fs::recursive_directory_iterator(out)) {
                if (!e.is_regular_file()) continue;
                const std::string key = fs::relative(e.path(), out).string();
                std::vector<uint8_t> bytes = test::readFile(e.path());
                if (fill == 0xA5) {
                    first[key] = std::move(bytes);
                    continue;
                }
                ASSERT_TRUE(first.count(key)) << key;
                EXPECT_TRUE(first[key] == bytes) << key << " differs with the memory fill";
            }
        }
        EXPECT_EQ(first.size(), 12u);
        for (const auto& [key, bytes] : first) EXPECT_EQ(key.find("cut"), std::string::npos) << key;
    }
}

TEST_F(BatchFixture, EmptyListAsksOrClosesInSilentMode)
{
    BatchResult r = runBatch();
    EXPECT_TRUE(r.emptyList);
    EXPECT_EQ(ui.emptyCalls, 1);
    s.silentMode = 1;
    runBatch();
    EXPECT_EQ(ui.closeCalls, 1);
    EXPECT_EQ(ui.emptyCalls, 1);
}

TEST_F(BatchFixture, OverwriteRulesKeepOrReplaceTheExistingFile)
{
    makeInput("a.bmp");
    fs::path target = dir / "out" / "a.bmp";
    test::writeFile(target, std::string("precious"));
    auto unchanged = [&] {
        auto b = test::readFile(target);
        return std::string(b.begin(), b.end()) == "precious";
    };

    s.bSkipExisting = 1;
    BatchResult r = runBatch();
    EXPECT_EQ(r.skipped, 1);
    EXPECT_TRUE(unchanged());
    s.bSkipExisting = 0;

    s.bNoErrorPrompts = 1; // no prompts: an existing output is skipped
    r = runBatch();
    EXPECT_EQ(r.skipped, 1);
    EXPECT_EQ(ui.overwriteQuestions, 0);
    EXPECT_TRUE(unchanged());
    s.bNoErrorPrompts = 0;

    ui.overwriteAnswers = {OVERWRITE_CANCEL};
    r = runBatch();
    EXPECT_EQ(ui.overwriteQuestions, 1);
    EXPECT_EQ(r.converted, 0);
    EXPECT_TRUE(unchanged());
    EXPECT_EQ(ui.lastOverwriteText, u"The following output file aldready exists:\n        \n" + pathToU16(target) +
                                        u"\n        \nWhat would you like to do with it?");
    EXPECT_EQ(ui.cancelAllQuestions, 0); // the only input is the last

    // Rename, then no name given: cancelled like the question itself.
    ui.overwriteAnswers = {OVERWRITE_RENAME};
    r = runBatch();
    EXPECT_EQ(r.converted, 0);
    EXPECT_EQ(r.skipped, 0);
    EXPECT_TRUE(unchanged());

    ui.renameTo = dir / "out" / "renamed.bmp";
    ui.overwriteAnswers = {OVERWRITE_RENAME};
    r = runBatch();
    EXPECT_EQ(r.converted, 1);
    EXPECT_TRUE(unchanged());
    EXPECT_EQ(identify(ui.renameTo), "40 30");

    ui.overwriteAnswers = {OVERWRITE_REPLACE};
    r = runBatch();
    EXPECT_EQ(r.converted, 1);
    EXPECT_EQ(identify(target), "40 30");

    // A read-only file is left alone by the job's rules as any other, and
    // when the answer would replace it the output fails and says why.
    test::writeFile(target, std::string("precious"));
    fs::permissions(target, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    s.bSkipExisting = 1;
    r = runBatch();
    EXPECT_EQ(r.skipped, 1);
    EXPECT_EQ(r.failed, 0);
    s.bSkipExisting = 0;
    ui.overwriteAnswers = {OVERWRITE_REPLACE};
    r = runBatch();
    EXPECT_EQ(r.failed, 1);
    EXPECT_EQ(text(ui.lastContinueText), "Not written: " + target.string() + ": Read-only file");
    EXPECT_TRUE(unchanged());
}

TEST_F(BatchFixture, ReplaceAllLastsOneBatch)
{
    makeInput("a.bmp");
    makeInput("b.bmp");
    test::writeFile(dir / "out" / "a.bmp", std::string("old"));
    test::writeFile(dir / "out" / "b.bmp", std::string("old"));
    ui.overwriteAnswers = {OVERWRITE_REPLACE_ALL};
    BatchResult r = runBatch();
    EXPECT_EQ(r.converted, 2);
    EXPECT_EQ(ui.overwriteQuestions, 1);
    EXPECT_EQ(s.bNoOverwritePrompt, 0);
    ui.overwriteAnswers = {OVERWRITE_CANCEL, OVERWRITE_CANCEL};
    ui.cancelAll = false;
    runBatch();
    EXPECT_EQ(ui.overwriteQuestions, 3); // asked again in the next run
}

TEST_F(BatchFixture, FailedWriteKeepsTheExistingFileAndTheSource)
{
    fs::path src = makeInput("a.bmp");
    fs::path target = dir / "out" / "a.bmp";
    test::writeFile(target, std::string("precious"));
    s.bNoOverwritePrompt = 1;
    s.bDeleteSrcFiles = 1;
    s.bNoErrorPrompts = 1;
    s.slots[0].iColorFormat = CF_RGB_FLOAT; // a colour format BMP cannot store
    BatchResult r = runBatch();
    EXPECT_EQ(r.converted, 0);
    EXPECT_EQ(r.skipped, 1);
    auto b = test::readFile(target);
    EXPECT_EQ(std::string(b.begin(), b.end()), "precious");
    EXPECT_TRUE(fs::exists(src));
    EXPECT_EQ(text(ui.statuses.back()), "1 file failed!");
}

TEST_F(BatchFixture, SourceDeletedOnlyAfterEverySuccessfulOutput)
{
    fs::path a = makeInput("a.bmp");
    s.bDeleteSrcFiles = 1;
    BatchResult r = runBatch();
    EXPECT_EQ(r.converted, 1);
    EXPECT_FALSE(fs::exists(a));

    // An output that is the source itself (same folder, same format) keeps it.
    list->clearAll();
    fs::path b = makeInput("b.bmp");
    s.bSaveInSrcDirs = 1;
    s.bNoOverwritePrompt = 1;
    r = runBatch();
    EXPECT_EQ(r.converted, 1);
    EXPECT_TRUE(fs::exists(b));
    EXPECT_EQ(identify(b), "40 30");

    // The source reached through a symbolic link to its folder is the same file.
    s.bSaveInSrcDirs = 0;
    fs::create_directory_symlink(dir / "in", dir / "linked");
    s.szOutDir = dir / "linked/";
    r = runBatch();
    EXPECT_TRUE(fs::exists(b));

    // One output of two fails (a colour format the writer cannot store):
    // the other is written, the source stays.
    list->clearAll();
    fs::path c = makeInput("c.bmp");
    s.szOutDir = dir / "out2/";
    s.bNoOverwritePrompt = 0;
    s.iOutFormats = 2;
    s.bMultiOutInSubDirs = 1;
    setSlot(1, "bmp", u"Normal", CF_AUTO);
    s.slots[0].iColorFormat = CF_RGB_FLOAT;
    ui.continueAnswer = ERROR_CONTINUE;
    r = runBatch();
    EXPECT_EQ(r.converted, 1);
    EXPECT_EQ(ui.continueQuestions, 1);
    EXPECT_TRUE(fs::exists(c));

    // A document of two pages goes only when one of its outputs holds both:
    // a bitmap holds the first alone, a TIFF beside it holds both.
    list->clearAll();
    fs::path d = dir / "in" / "d.tif";
    ASSERT_EQ(test::run("convert -size 20x10 xc:red xc:blue TIFF:" + test::shellQuote(d.string())), 0);
    ASSERT_EQ(list->addFile(d, false, false), RC_OK);
    s.slots[0].iColorFormat = CF_AUTO;
    s.iOutFormats = 1;
    s.bNoOverwritePrompt = 1;
    r = runBatch();
    EXPECT_EQ(r.converted, 1);
    EXPECT_EQ(r.notDeleted, 1);
    EXPECT_EQ(r.failures, (std::vector<std::string>{d.string() + ": Not deleted: its outputs hold 1 of 2 pages"}));
    EXPECT_TRUE(fs::exists(d));
    s.iOutFormats = 2;
    setSlot(1, "tiff", u"Uncompressed", CF_AUTO);
    r = runBatch();
    EXPECT_EQ(r.converted, 2);
    EXPECT_EQ(r.notDeleted, 0);
    EXPECT_FALSE(fs::exists(d));
}

TEST_F(BatchFixture, WriteErrorWithCancelBatchInterrupts)
{
    for (int i = 0; i < 5; ++i) makeInput("f" + std::to_string(i) + ".bmp");
    s.iOutFormats = 2;
    setSlot(1, "bmp", u"Normal", CF_AUTO);
    s.slots[0].iColorFormat = CF_RGB_FLOAT;
    ui.continueAnswer = ERROR_CANCEL_BATCH;
    BatchResult r = runBatch();
    EXPECT_TRUE(r.interrupted);
    EXPECT_EQ(r.done, 1);
    EXPECT_EQ(r.skipped, 10);
    EXPECT_EQ(text(ui.statuses.back()), "Interrupted after 1 file!");
    EXPECT_EQ(text(ui.inputs.back()), "  Interrupted");
    EXPECT_EQ(text(ui.titles.back()), "Batch interrupted! - Quillon");
    EXPECT_EQ(ui.continueQuestions, 1);
}

TEST_F(BatchFixture, ReadErrorWithContinueGoesOn)
{
    makeInput("a.bmp");
    fs::path bad = dir / "in" / "b.bmp";
    makeInput("b.bmp");
    makeInput("c.bmp");
    test::writeFile(bad, std::string("BM this is not a bitmap"));
    s.iOutFormats = 2;
    s.bMultiOutInSubDirs = 1;
    setSlot(1, "bmp", u"RLE compressed", CF_AUTO);
    BatchResult r = runBatch();
    EXPECT_EQ(r.converted, 4);
    EXPECT_EQ(r.skipped, 2);
    EXPECT_FALSE(r.interrupted);
    EXPECT_EQ(ui.continueQuestions, 1);
    EXPECT_EQ(text(ui.lastContinueText), "Unknown file format");
    EXPECT_EQ(text(ui.lastContinueCaption), "b.bmp");
    EXPECT_EQ(text(ui.titles.back()), "Batch Completed! - Quillon");
    EXPECT_EQ(text(ui.statuses.back()), " Converted 4 out of 6 files, 2 files failed!");
    EXPECT_EQ(taskbar.states, (std::vector<uint32_t>{TBPF_INDETERMINATE, TBPF_NORMAL, TBPF_ERROR}));
    EXPECT_EQ(taskbar.progress.back(), std::make_pair(6, 6));
}

TEST_F(BatchFixture, CancelFromTheInterfaceStopsAfterTheCurrentOutput)
{
    for (int i = 0; i < 4; ++i) makeInput("f" + std::to_string(i) + ".bmp");
    ui.onPump = [this] {
        if (ui.progress.size() && ui.progress.back() == 2) running = false;
    };
    BatchResult r = runBatch();
    EXPECT_TRUE(r.interrupted);
    EXPECT_EQ(r.converted, 2);
    EXPECT_EQ(r.skipped, 2);
    EXPECT_EQ(text(ui.statuses.back()), "Interrupted after 2 files!");
}

TEST_F(BatchFixture, LogTextIsExact)
{
    fs::path a = makeInput("a.bmp");
    s.bCreateLogFile = 1;
    fs::path log = dir / "Quillon log.txt";
    runBatch(log);
    auto b = test::readFile(log);
    std::string got(b.begin(), b.end());
    std::string out = (dir / "out" / "a.bmp").string();
    EXPECT_EQ(got, "Quillon log file\r\n\r\n-- 5 December 2026, 17:05 --\r\n\r\n"
                   "Output format 0: Windows bitmap format (Normal - 0 - Auto)\r\n\r\n"
                   "Reading:  " + a.string() + "\r\nWriting: " + out + "\r\nResult: Ok.\r\n\r\nBatch finished.\r\n");

    // A second run appends its own header; a path outside Latin-1 is UTF-8;
    // an existing output left alone and an unreadable input are told apart.
    fs::path cjk = makeInput("\xE5\x86\x99\xE7\x9C\x9F.bmp");
    fs::path bad = makeInput("z.bmp");
    test::writeFile(bad, std::string("BM broken"));
    s.bNoErrorPrompts = 1;
    runBatch(log);
    b = test::readFile(log);
    std::string second(b.begin() + ptrdiff_t(got.size()), b.end());
    std::string cjkOut = (dir / "out" / "\xE5\x86\x99\xE7\x9C\x9F.bmp").string();
    EXPECT_EQ(second, "\r\n-- 5 December 2026, 17:05 --\r\n\r\n"
                      "Output format 0: Windows bitmap format (Normal - 0 - Auto)\r\n\r\n"
                      "Reading:  " + a.string() + "\r\nWriting: " + out + "\r\nResult: Skipped!\r\n\r\n"
                      "Reading:  " + cjk.string() + "\r\nWriting: " + cjkOut + "\r\nResult: Ok.\r\n\r\n"
                      "Reading:  " + bad.string() + "\r\nError: Unknown file format\r\n"
                      "Batch finished.\r\n");
}

TEST_F(BatchFixture, LogNamesSlotsWithoutAWritableFormat)
{
    makeInput("a.bmp");
    s.bCreateLogFile = 1;
    s.bNoErrorPrompts = 1;
    s.iOutFormats = 3;
    s.slots[1].iFormatId = -1;
    s.slots[1].szSubFormat = u"Normal";
    s.slots[1].iColorFormat = CF_AUTO;
    s.slots[2] = s.slots[1];
    s.slots[2].iFormatId = int32_t(reg.count()); // past every format
    s.bMultiOutInSubDirs = 1;
    BatchResult r = runBatch(dir / "log.txt");
    EXPECT_EQ(r.converted, 2); // by extension: the source's own, bmp
    EXPECT_EQ(r.skipped, 1);
    auto b = test::readFile(dir / "log.txt");
    std::string log(b.begin(), b.end());
    EXPECT_NE(log.find("Output format 1: (chosen by each output's extension) (Normal - 0 - Auto)\r\n"
                       "Output format 2: (no format that can write) (Normal - 0 - Auto)\r\n\r\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("Result: Error: Unknown file format\r\n"), std::string::npos);
}

TEST_F(BatchFixture, HtmlIndexWithThumbnails)
{
    for (int i = 0; i < 7; ++i) makeInput("p" + std::to_string(i) + ".bmp", "400x100 gradient:red-blue");
    s.index.bIndex = 1;
    s.index.iCols = 3;
    s.iOutFormats = 2;
    setSlot(1, "bmp", u"Normal", CF_AUTO);
    BatchResult r = runBatch();
    EXPECT_EQ(r.converted, 14);
    // The whole page, made by hand from the index's format.
    auto golden = test::readFile(test::dataPath("app/index_7_in_3_columns.html"));
    auto page = test::readFile(dir / "out" / "index.html");
    EXPECT_EQ(std::string(page.begin(), page.end()), std::string(golden.begin(), golden.end()));

    // The resolution line: the processed size and output 0's bits.
    list->clearAll();
    makeInput("p0.bmp", "400x100 gradient:red-blue");
    s.index.bImageRes = 1;
    s.bNoOverwritePrompt = 1;
    r = runBatch();
    EXPECT_EQ(r.converted, 2);
    auto bytes = test::readFile(dir / "out" / "index.html");
    std::string html(bytes.begin(), bytes.end());
    EXPECT_NE(html.find("<a href=\"p0.bmp\" target=_blank><img src=\"ico/p0.bmp\" width=160 height=40 border=1>"
                        "<br/></a>p0<br/>400x100x24<br/>"),
              std::string::npos)
        << html;
    EXPECT_EQ(identify(dir / "out" / "ico" / "p3.bmp"), "160 40");
    EXPECT_EQ(identify(dir / "out" / "p3.bmp"), "400 100");
    EXPECT_NE(html.rfind("</html>\r\n"), std::string::npos);
}

TEST_F(BatchFixture, LoadPipelineResizeRules)
{
    fs::path a = makeInput("a.bmp", "101x75 xc:gray");
    Ref<Image> img;
    uint32_t w = 0, h = 0;
    s.eResize = 1;
    s.i3ResizeFactor = 50000;
    ASSERT_EQ(batchLoadInput(img, a, nullptr, &w, &h, nullptr, s, nullptr, &reg), RC_OK);
    EXPECT_EQ(w, 50u);
    EXPECT_EQ(h, 37u);
    s.i3ResizeFactor = 100000;
    ASSERT_EQ(batchLoadInput(img, a, nullptr, &w, &h, nullptr, s, nullptr, &reg), RC_OK);
    EXPECT_EQ(w, 101u);
    // No factor, or a negative one, is no resize; a tiny one keeps a pixel.
    for (int32_t f : {0, -50000}) {
        s.i3ResizeFactor = f;
        ASSERT_EQ(batchLoadInput(img, a, nullptr, &w, &h, nullptr, s, nullptr, &reg), RC_OK);
        EXPECT_EQ(w, 101u) << f;
        EXPECT_EQ(h, 75u) << f;
    }
    s.i3ResizeFactor = 1;
    ASSERT_EQ(batchLoadInput(img, a, nullptr, &w, &h, nullptr, s, nullptr, &reg), RC_OK);
    EXPECT_EQ(w, 1u);
    EXPECT_EQ(h, 1u);
    fs::path strip = makeInput("strip.bmp", "4000x2 xc:gray");
    s.eResize = 2;
    s.iResizeX = 800;
    s.iResizeY = 600;
    s.bResizeKeepAspect = 1;
    ASSERT_EQ(batchLoadInput(img, strip, nullptr, &w, &h, nullptr, s, nullptr, &reg), RC_OK);
    EXPECT_EQ(w, 800u);
    EXPECT_EQ(h, 1u); // 2 x 800 / 4000 would be 0

    fs::path tall = makeInput("tall.bmp", "300x400 xc:gray");
    s.eResize = 2;
    s.iResizeX = 80;
    s.iResizeY = 60;
    s.bResizeKeepAspect = 1;
    s.bResizeOnlyDown = 1;
    ASSERT_EQ(batchLoadInput(img, tall, nullptr, &w, &h, nullptr, s, nullptr, &reg), RC_OK);
    EXPECT_EQ(w, 45u);
    EXPECT_EQ(h, 60u);
    s.bResizeKeepAspect = 0;
    ASSERT_EQ(batchLoadInput(img, tall, nullptr, &w, &h, nullptr, s, nullptr, &reg), RC_OK);
    EXPECT_EQ(w, 80u);
    EXPECT_EQ(h, 60u);
    s.iResizeX = 800;
    s.iResizeY = 600;
    ASSERT_EQ(batchLoadInput(img, a, nullptr, &w, &h, nullptr, s, nullptr, &reg), RC_OK);
    EXPECT_EQ(w, 101u); // only down: small images stay

    // The file's own orientation and the density text.
    s.eResize = 0;
    s.bSetPPI = 1;
    s.iSetPPI = 150;
    FileEntry entry;
    entry.path = tall;
    entry.adjustments = std::make_unique<AdjustmentSettings>();
    entry.adjustments->setOrientation(1);
    ASSERT_EQ(batchLoadInput(img, tall, &entry, &w, &h, nullptr, s, nullptr, &reg), RC_OK);
    EXPECT_EQ(w, 400u);
    EXPECT_EQ(h, 300u);
    EXPECT_EQ(std::u16string(img->info()->get(INFO_DENSITY)), u"150 x 150 ppi");

    // A missing alpha file fails the input with the open failure.
    entry.alphaFilePath = dir / "in" / "missing.bmp";
    EXPECT_EQ(batchLoadInput(img, tall, &entry, &w, &h, nullptr, s, nullptr, &reg), RC_OPEN_FAILED);
    EXPECT_FALSE(img);
}

TEST(BatchOrientation, ComposeTurnsAndMirrors)
{
    EXPECT_EQ(orientationCompose(1, 1), 2);
    EXPECT_EQ(orientationCompose(3, 1), 0);
    EXPECT_EQ(orientationCompose(0, ORIENT_MIRROR_H), ORIENT_MIRROR_H);
    // Mirroring twice is nothing; both mirrors are a half turn.
    EXPECT_EQ(orientationCompose(ORIENT_MIRROR_H, ORIENT_MIRROR_H), 0);
    EXPECT_EQ(orientationCompose(ORIENT_MIRROR_V, ORIENT_MIRROR_H) & 3, 2);
    // Turn then mirror differs from mirror then turn.
    EXPECT_NE(orientationCompose(1, ORIENT_MIRROR_H), orientationCompose(ORIENT_MIRROR_H, 1));
}

TEST_F(BatchFixture, ReadAheadThroughTheCacheLeavesSharedImagesUntouched)
{
    ImageCache localCache;
    localCache.allFrames = 1;
    localCache.readAheadAllFrames = 1;
    localCache.setRegistry(&reg);
    cache = &localCache;
    fs::path a = makeInput("a.bmp", "8x8 xc:white");
    makeInput("b.bmp", "8x8 xc:white");
    makeInput("c.bmp", "8x8 xc:white");
    s.adjustments.setInvert(true);
    BatchResult r = runBatch();
    EXPECT_EQ(r.converted, 3);
    std::string px = test::runOutput("convert " + test::shellQuote((dir / "out" / "c.bmp").string()) +
                                     " -format '%[pixel:p{0,0}]' info:");
    EXPECT_TRUE(px.find("black") != std::string::npos || px.find("(0,0,0)") != std::string::npos) << px;

    // Someone else (the preview) holds the decoded image: the batch processes
    // a copy and the holder's image stays as decoded.
    Ref<ImageReader> reader;
    ASSERT_EQ(imageFileOpen(reader, a, true, &reg), RC_OK);
    Image* raw = nullptr;
    ASSERT_EQ(imageCacheGetOrDecode(&localCache, &raw, reader.get(), nullptr, nullptr), RC_OK);
    Ref<Image> held = Ref<Image>::adopt(raw);
    Ref<Image> processed;
    ASSERT_EQ(batchLoadInput(processed, a, nullptr, nullptr, nullptr, nullptr, s, &localCache, &reg), RC_OK);
    EXPECT_NE(processed.get(), held.get());
    EXPECT_EQ(held->row<Rgba8>(0)[0].r, 255);
    EXPECT_EQ(processed->row<Rgba8>(0)[0].r, 0);
    imageCacheDestroy(&localCache);
}

TEST_F(BatchFixture, LongNamesConvertAsLongAsTheFileSystemTakesThem)
{
    // 250 bytes of name: the output's own name fits the file system's limit
    // of 255, so nothing about writing it beside the target may push it over.
    std::string stem(246, 'n');
    makeInput(stem + ".bmp");
    BatchResult r = runBatch();
    EXPECT_EQ(r.converted, 1);
    EXPECT_EQ(identify(dir / "out" / (stem + ".bmp")), "40 30");
    for (const auto& e : fs::directory_iterator(dir / "out")) EXPECT_EQ(e.path().filename().string(), stem + ".bmp");
}

TEST_F(BatchFixture, ReadOnlySourceIsNotDeleted)
{
    fs::path a = makeInput("a.bmp");
    fs::permissions(a, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    s.bDeleteSrcFiles = 1;
    BatchResult r = runBatch();
    EXPECT_EQ(r.converted, 1);
    EXPECT_TRUE(fs::exists(a));
    EXPECT_EQ(identify(dir / "out" / "a.bmp"), "40 30");
    EXPECT_EQ(text(ui.statuses.back()), " Converted 1 out of 1 file!");
}

// A source the job said to delete that is still there is named with why, in
// the log and in the run's report, and fails the run; its output stays
// written and counted, and the sources after it are deleted as asked.
TEST_F(BatchFixture, SourceThatCannotBeDeletedIsAFailure)
{
    fs::path a = makeInput("a.bmp");
    fs::path b = makeInput("b.bmp", "17x9 xc:orange");
    fs::permissions(a, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    s.bDeleteSrcFiles = 1;
    s.bCreateLogFile = 1;
    BatchResult r = runBatch(dir / "log.txt");
    EXPECT_EQ(r.converted, 2);
    EXPECT_EQ(r.skipped, 0);
    EXPECT_EQ(r.failed, 0);
    EXPECT_EQ(r.notDeleted, 1);
    EXPECT_TRUE(fs::exists(a));
    EXPECT_FALSE(fs::exists(b));
    EXPECT_EQ(identify(dir / "out" / "a.bmp"), "40 30");
    EXPECT_EQ(identify(dir / "out" / "b.bmp"), "17 9");
    EXPECT_EQ(r.failures, (std::vector<std::string>{a.string() + ": Not deleted: Read-only file"}));
    auto bytes = test::readFile(dir / "log.txt");
    std::string log(bytes.begin(), bytes.end());
    EXPECT_NE(log.find("Writing: " + (dir / "out" / "a.bmp").string() + "\r\nResult: Ok.\r\n\r\nError: " + a.string() +
                       ": Not deleted: Read-only file\r\n\r\nReading:  " + b.string() + "\r\n"),
              std::string::npos)
        << log;

    RunReport report = batchRunReport(r, 0, 1, dir / "log.txt");
    EXPECT_EQ(report.status, 1);
    EXPECT_EQ(report.failures, (std::vector<std::string>{"Quillon: " + a.string() + ": Not deleted: Read-only file"}));
    EXPECT_EQ(report.line,
              "Quillon: 2 written, 0 skipped, 0 failed; 1 source not deleted; log: " + (dir / "log.txt").string());
    // With an input lost besides, and more than one such source.
    r.notDeleted = 2;
    EXPECT_EQ(batchRunReport(r, 1, 1, {}).line, "Quillon: 2 written, 0 skipped, 1 failed; 2 sources not deleted");
}

TEST_F(BatchFixture, SourceKeptWhenAnOutputTurnsOutToBeIt)
{
    s.bDeleteSrcFiles = 1;
    s.bNoOverwritePrompt = 1;

    // Rename onto the source: that output is the source, so it stays.
    fs::path a = makeInput("a.bmp", "40x30 xc:red");
    test::writeFile(dir / "out" / "a.bmp", std::string("old"));
    s.bNoOverwritePrompt = 0;
    ui.overwriteAnswers = {OVERWRITE_RENAME};
    ui.renameTo = a;
    BatchResult r = runBatch();
    EXPECT_EQ(r.converted, 1);
    EXPECT_TRUE(fs::exists(a));
    auto old = test::readFile(dir / "out" / "a.bmp");
    EXPECT_EQ(std::string(old.begin(), old.end()), "old");

    // The output folder spelt with "./" is the source's folder.
    list->clearAll();
    s.bNoOverwritePrompt = 1;
    fs::path b = makeInput("b.bmp");
    s.szOutDir = dir / "in" / "." / "";
    r = runBatch();
    EXPECT_EQ(r.converted, 1);
    EXPECT_TRUE(fs::exists(b));

    // Beside the source with two outputs: the first replaces the source, so
    // the second's success must not delete the converted result.
    list->clearAll();
    fs::path c = makeInput("c.bmp");
    s.szOutDir = dir / "out/";
    s.bSaveInSrcDirs = 1;
    s.iOutFormats = 2;
    // A second writable format under an extension of its own.
    static FormatDescriptor other = *reg.at(reg.findByExtension(std::u16string_view(u"x.bmp"), true));
    other.extension = u"bmpx";
    reg.add(&other);
    setSlot(0, "bmp", u"Normal", CF_AUTO);
    setSlot(1, "bmpx", u"Normal", CF_AUTO);
    r = runBatch();
    EXPECT_EQ(r.converted, 2);
    EXPECT_EQ(identify(c), "40 30");
    EXPECT_EQ(identify(dir / "in" / "c.bmpx"), "40 30");
}

TEST_F(BatchFixture, IndexThumbnailAloneDoesNotDeleteTheSource)
{
    // Output 0 (the full-size image) fails; the thumbnail after it succeeds.
    fs::path a = makeInput("a.bmp");
    s.bDeleteSrcFiles = 1;
    s.bNoErrorPrompts = 1;
    s.index.bIndex = 1;
    s.iOutFormats = 2;
    s.slots[0].iColorFormat = CF_RGB_FLOAT;
    setSlot(1, "bmp", u"Normal", CF_AUTO);
    BatchResult r = runBatch();
    EXPECT_EQ(r.converted, 1);
    EXPECT_EQ(r.skipped, 1);
    EXPECT_TRUE(fs::exists(a));
    EXPECT_TRUE(fs::exists(dir / "out" / "ico" / "a.bmp"));
    EXPECT_FALSE(fs::exists(dir / "out" / "a.bmp"));
}

TEST_F(BatchFixture, CancelledOverwriteAsksToCancelAllExceptOnTheLastInput)
{
    makeInput("a.bmp");
    makeInput("b.bmp");
    test::writeFile(dir / "out" / "a.bmp", std::string("old"));
    test::writeFile(dir / "out" / "b.bmp", std::string("old"));
    ui.overwriteAnswers = {OVERWRITE_CANCEL, OVERWRITE_CANCEL};
    ui.cancelAll = false;
    BatchResult r = runBatch();
    EXPECT_EQ(ui.overwriteQuestions, 2);
    EXPECT_EQ(ui.cancelAllQuestions, 1);
    EXPECT_EQ(r.converted, 0);
    EXPECT_EQ(r.skipped, 0); // cancelled outputs count neither way
    EXPECT_FALSE(r.interrupted);

    // "Yes, cancel all" on the first: the rest is never reached.
    ui.overwriteAnswers = {OVERWRITE_CANCEL};
    ui.cancelAll = true;
    r = runBatch();
    EXPECT_TRUE(r.interrupted);
    EXPECT_EQ(r.done, 1);
    EXPECT_EQ(r.skipped, 1);
    EXPECT_EQ(text(ui.statuses.back()), "Interrupted after 1 file!");
    EXPECT_EQ(text(ui.titles.back()), "Batch interrupted! - Quillon");
}

TEST_F(BatchFixture, FullDiskKeepsTheExistingOutputAndTheSource)
{
    // A folder too small for the output: needs the right to mount a tmpfs.
    fs::path small = dir / "small";
    fs::create_directories(small);
    if (test::run("mount -t tmpfs -o size=16k tmpfs " + test::shellQuote(small.string()) + " 2>/dev/null") != 0)
        GTEST_SKIP() << "cannot mount a small tmpfs here";
    struct Unmount {
        fs::path p;
        ~Unmount() { test::run("umount " + test::shellQuote(p.string())); }
    } unmount{small};

    fs::path src = makeInput("big.bmp", "200x200 gradient:red-blue"); // 120 KB as 24-bit
    test::writeFile(small / "big.bmp", std::string("precious"));
    s.szOutDir = small / "";
    s.bNoOverwritePrompt = 1;
    s.bDeleteSrcFiles = 1;
    s.bNoErrorPrompts = 1;
    s.bCreateLogFile = 1;
    BatchResult r = runBatch(dir / "log.txt");
    EXPECT_EQ(r.converted, 0);
    EXPECT_EQ(r.skipped, 1);
    auto b = test::readFile(small / "big.bmp");
    EXPECT_EQ(std::string(b.begin(), b.end()), "precious");
    EXPECT_TRUE(fs::exists(src));
    // No temporary file left behind.
    EXPECT_EQ(std::distance(fs::directory_iterator(small), fs::directory_iterator()), 1);
    auto log = test::readFile(dir / "log.txt");
    EXPECT_NE(std::string(log.begin(), log.end()).find("Result: Error: Couldn't write to file\r\n"), std::string::npos);
}

TEST_F(BatchFixture, IndexAddressesTheThumbnailFolderByTheNameItWasCreatedWith)
{
    makeInput("p0.bmp", "400x100 gradient:red-blue");
    s.index.bIndex = 1;
    s.index.szIconSubdir = u"small:thumbs";
    s.index.bUseValidURIs = 0;
    s.iOutFormats = 2;
    setSlot(1, "bmp", u"Normal", CF_AUTO);
    BatchResult r = runBatch();
    EXPECT_EQ(r.converted, 2);
    // ":" cannot stay in a folder name the index shares with other systems.
    EXPECT_EQ(identify(dir / "out" / "small,thumbs" / "p0.bmp"), "160 40");
    auto bytes = test::readFile(dir / "out" / "index.html");
    std::string html(bytes.begin(), bytes.end());
    EXPECT_NE(html.find("<img src=\"small,thumbs/p0.bmp\""), std::string::npos) << html;
}

TEST_F(BatchFixture, SharedPalettePassRunsForPaletteOutputsOnly)
{
    makeInput("a.bmp", "20x10 gradient:red-yellow");
    makeInput("b.bmp", "20x10 gradient:blue-green");
    makeInput("c.bmp", "20x10 xc:gray");
    s.iOutFormats = 2;
    s.bMultiOutInSubDirs = 1;
    s.bCreateLogFile = 1;
    s.quantize.useGivenPalette = 1;
    setSlot(0, "bmp", u"Normal", CF_RGB24);
    setSlot(1, "bmp", u"Normal", CF_256_COLOURS);
    setGlobalQuantizeOptions(&s.quantize);
    // The pass allocates the palette for the process's record, which lives
    // as long as the process; this record is the test's.
    struct Reset {
        QuantizeOptions& q;
        ~Reset()
        {
            setGlobalQuantizeOptions(nullptr);
            alignedFree(q.palette);
            q.palette = nullptr;
        }
    } reset{s.quantize};
    BatchResult r = runBatch(dir / "log.txt");
    EXPECT_EQ(r.converted, 6);
    EXPECT_EQ(s.quantize.useGivenPalette, 1);
    EXPECT_NE(std::find(ui.statuses.begin(), ui.statuses.end(), u"Calculating shared palette..."), ui.statuses.end());
    auto log = test::readFile(dir / "log.txt");
    EXPECT_NE(std::string(log.begin(), log.end()).find("\r\nComputing shared palette...\r\nReading:  "),
              std::string::npos);
    // Every 256-colour output carries the one palette the pass built.
    fs::path sub = dir / "out" / "Windows bitmap format - Normal - 256 clrs";
    auto palette = [&](const char* name) {
        auto b = test::readFile(sub / name);
        EXPECT_GT(b.size(), 54u + 1024u);
        return std::vector<uint8_t>(b.begin() + 54, b.begin() + std::min<size_t>(b.size(), 54 + 1024));
    };
    EXPECT_EQ(palette("a.bmp"), palette("b.bmp"));
    EXPECT_EQ(palette("a.bmp"), palette("c.bmp"));

    // Without a palette output the pass is skipped and the switch goes off.
    list->clearAll();
    makeInput("d.bmp");
    s.iOutFormats = 1;
    ui.statuses.clear();
    r = runBatch();
    EXPECT_EQ(r.converted, 1);
    EXPECT_EQ(s.quantize.useGivenPalette, 0);
    EXPECT_EQ(std::find(ui.statuses.begin(), ui.statuses.end(), u"Calculating shared palette..."), ui.statuses.end());
}

TEST_F(BatchFixture, SilentRunShowsNoBoxAndClosesTheWizard)
{
    makeInput("a.bmp");
    fs::path bad = makeInput("b.bmp");
    test::writeFile(bad, std::string("BM not a bitmap"));
    s.silentMode = 1;
    BatchResult r = runBatch();
    EXPECT_EQ(r.converted, 1);
    EXPECT_EQ(r.skipped, 1);
    EXPECT_EQ(ui.continueQuestions, 0);
    EXPECT_EQ(s.bNoErrorPrompts, 1);
    EXPECT_EQ(ui.closeCalls, 1);

    // "Exit when done" closes only a run that was not interrupted.
    s.silentMode = 0;
    s.bNoErrorPrompts = 0;
    s.exitWhenDone = 1;
    s.bNoOverwritePrompt = 1;
    ui.continueAnswer = ERROR_CANCEL_BATCH;
    r = runBatch();
    EXPECT_TRUE(r.interrupted);
    EXPECT_EQ(ui.closeCalls, 1);
    list->clearAll();
    makeInput("c.bmp");
    r = runBatch();
    EXPECT_FALSE(r.interrupted);
    EXPECT_EQ(ui.closeCalls, 2);
}

TEST_F(BatchFixture, IndexWithoutAnOutputFolderLeavesTheCurrentFolderAlone)
{
    makeInput("a.bmp", "400x100 gradient:red-blue");
    fs::create_directories(dir / "cwd");
    test::writeFile(dir / "cwd" / "index.html", std::string("precious"));
    struct Cwd {
        fs::path old = fs::current_path();
        ~Cwd() { fs::current_path(old); }
    } restore;
    fs::current_path(dir / "cwd");
    s.szOutDir.clear();
    s.bSaveInSrcDirs = 1;
    s.bNoOverwritePrompt = 1; // output 0 replaces its source
    s.index.bIndex = 1;
    s.iOutFormats = 2;
    setSlot(1, "bmp", u"Normal", CF_AUTO);
    BatchResult r = runBatch();
    EXPECT_EQ(r.converted, 2);
    EXPECT_EQ(identify(dir / "in" / "ico" / "a.bmp"), "160 40");
    auto b = test::readFile(dir / "cwd" / "index.html");
    EXPECT_EQ(std::string(b.begin(), b.end()), "precious");
}

TEST_F(BatchFixture, RemovedRowsLeaveTheRestToConvertInTheOrderAdded)
{
    for (const char* n : {"a.bmp", "b.bmp", "c.bmp", "d.bmp"}) makeInput(n);
    // Rows show the newest first: d, c, b, a. Remove d and b.
    list->removeRows({0, 2});
    s.bCreateLogFile = 1;
    BatchResult r = runBatch(dir / "log.txt");
    EXPECT_EQ(r.total, 2);
    EXPECT_EQ(r.converted, 2);
    EXPECT_TRUE(fs::exists(dir / "out" / "a.bmp"));
    EXPECT_TRUE(fs::exists(dir / "out" / "c.bmp"));
    EXPECT_FALSE(fs::exists(dir / "out" / "b.bmp"));
    EXPECT_FALSE(fs::exists(dir / "out" / "d.bmp"));
    auto b = test::readFile(dir / "log.txt");
    std::string log(b.begin(), b.end());
    EXPECT_LT(log.find("in/a.bmp"), log.find("in/c.bmp"));
}

TEST_F(BatchFixture, SubFolderOfAColourChoiceTheTableLacksSaysAuto)
{
    makeInput("a.bmp", "40x30 xc:red");
    s.iOutFormats = 2;
    s.bMultiOutInSubDirs = 1;
    s.bCreateLogFile = 1;
    s.slots[0].iColorFormat = CF_2_COLOURS | CF_4_COLOURS; // two flags: no name of its own
    setSlot(1, "bmp", u"RLE compressed", CF_256_COLOURS);
    s.slots[1].iCompParam = 5;
    BatchResult r = runBatch(dir / "log.txt");
    EXPECT_EQ(r.converted, 2);
    EXPECT_TRUE(fs::exists(dir / "out" / "Windows bitmap format - Normal - Auto" / "a.bmp"));
    EXPECT_TRUE(fs::exists(dir / "out" / "Windows bitmap format - RLE compressed 5 - 256 clrs" / "a.bmp"));
    auto b = test::readFile(dir / "log.txt");
    EXPECT_NE(std::string(b.begin(), b.end()).find("Output format 0: Windows bitmap format (Normal - 0 - Unknown)\r\n"),
              std::string::npos);
}

TEST_F(BatchFixture, ReplacedOutputKeepsItsPermissions)
{
    makeInput("a.bmp");
    fs::path target = dir / "out" / "a.bmp";
    test::writeFile(target, std::string("old"));
    fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write);
    s.bNoOverwritePrompt = 1;
    BatchResult r = runBatch();
    EXPECT_EQ(r.converted, 1);
    EXPECT_EQ(identify(target), "40 30");
    EXPECT_EQ(fs::status(target).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(BatchFixture, OutputThatLinksToTheSourceReplacesItAndKeepsIt)
{
    fs::path a = makeInput("a.bmp", "40x30 xc:blue");
    fs::path link = dir / "out" / "a.bmp";
    fs::create_symlink(a, link);
    s.bNoOverwritePrompt = 1;
    s.bDeleteSrcFiles = 1;
    s.eResize = 1;
    s.i3ResizeFactor = 50000;
    BatchResult r = runBatch();
    EXPECT_EQ(r.converted, 1);
    // Written where the link points: the source, which therefore stays.
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_TRUE(fs::exists(a));
    EXPECT_EQ(identify(a), "20 15");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "in"), fs::directory_iterator()), 1);
}

TEST_F(BatchFixture, OutputCountStaysWithinTheSlots)
{
    makeInput("a.bmp");
    s.bNoErrorPrompts = 1;
    s.iOutFormats = 1000;
    BatchResult r = runBatch();
    EXPECT_EQ(r.total, kMaxOutputFormats);
    s.iOutFormats = 0;
    r = runBatch();
    EXPECT_EQ(r.total, 1);
}

TEST_F(BatchFixture, CancelAfterAnInputsLastOutputStillDeletesItsSource)
{
    fs::path a = makeInput("a.bmp");
    fs::path b = makeInput("b.bmp");
    s.bDeleteSrcFiles = 1;
    s.iOutFormats = 2;
    s.bMultiOutInSubDirs = 1;
    setSlot(1, "bmp", u"RLE compressed", CF_AUTO);
    // Cancelled after a's two outputs: a's source goes, b is never read.
    ui.onPump = [this] {
        if (ui.progress.size() && ui.progress.back() == 2) running = false;
    };
    BatchResult r = runBatch();
    EXPECT_TRUE(r.interrupted);
    EXPECT_EQ(r.converted, 2);
    EXPECT_FALSE(fs::exists(a));
    EXPECT_TRUE(fs::exists(b));

    // Cancelled between an input's outputs: its source stays.
    list->clearAll();
    fs::path c = makeInput("c.bmp");
    ui.onPump = [this] {
        if (ui.progress.size() && ui.progress.back() == 1) running = false;
    };
    r = runBatch();
    EXPECT_EQ(r.converted, 1);
    EXPECT_TRUE(fs::exists(c));
}

// ---------------------------------------------------------------- inputs never lost

namespace {

// The colour of one pixel as ImageMagick reads it.
std::string pixelAt(const fs::path& p, int x = 1, int y = 1)
{
    return test::runOutput("convert " + test::shellQuote(p.string()) + " -format '%[pixel:p{" + std::to_string(x) +
                           "," + std::to_string(y) + "}]' info: 2>/dev/null");
}

// A format whose reader finds its pixel data cut short: the rows are filled
// and the decode reports a corrupt file.
ResultCode probeCut(MappedFile* f)
{
    return f->size() >= 4 && std::memcmp(f->data(), "CUT!", 4) == 0 ? RC_OK : RC_UNKNOWN_FORMAT;
}
class CutReader final : public ImageReader {
public:
    using ImageReader::ImageReader;

protected:
    ResultCode readHeader(const void*) override
    {
        width = 8;
        height = 6;
        pixelFormat = PF_RGBA8;
        colourModel = CM_RGB;
        bitsPerPixel = 24;
        return RC_OK;
    }
    ResultCode readPixels(Image* image, bool, Progress*, AbortFlag*) override
    {
        for (uint32_t y = 0; y < image->height; ++y) std::memset(image->row<Rgba8>(y), 0, size_t(image->width) * 4);
        return RC_CORRUPT_FILE;
    }
};
ImageReader* cutCreate(MappedFile* f, const FormatDescriptor* d) { return new CutReader(f, d); }
const FormatDescriptor kCutFormat{u"cut", u"Cut-short test format", probeCut, cutCreate};

} // namespace

TEST_F(BatchFixture, InputsThatMapToOneOutputKeepTheFirstAndFailTheRest)
{
    // A bitmap and an RLE bitmap of one name, converted beside their
    // sources: the bitmap is rewritten from itself, the other is refused.
    s.bSaveInSrcDirs = 1;
    s.bNoOverwritePrompt = 1;
    s.bNoErrorPrompts = 1;
    for (bool rleFirst : {true, false}) {
        SCOPED_TRACE(rleFirst ? "RLE added first" : "bitmap added first");
        list->clearAll();
        fs::remove_all(dir / "in");
        fs::create_directories(dir / "in");
        fs::path bmp = dir / "in" / "photo.bmp", rle = dir / "in" / "photo.rle";
        ASSERT_EQ(test::run("convert -size 20x20 xc:red -type TrueColor BMP3:" + test::shellQuote(bmp.string())), 0);
        ASSERT_EQ(test::run("convert -size 20x20 xc:blue -type Palette -compress RLE BMP3:" +
                            test::shellQuote(rle.string())),
                  0);
        for (const fs::path& p : rleFirst ? std::vector{rle, bmp} : std::vector{bmp, rle})
            ASSERT_EQ(list->addFile(p, false, false), RC_OK);
        const fs::path logPath = dir / ("log" + std::to_string(rleFirst) + ".txt");
        s.bCreateLogFile = 1;
        BatchResult r = runBatch(logPath);
        EXPECT_EQ(r.converted, 1);
        EXPECT_EQ(r.failed, 1);
        EXPECT_EQ(r.skipped, 1);
        EXPECT_EQ(pixelAt(bmp), "srgb(255,0,0)");
        EXPECT_EQ(pixelAt(rle), "srgb(0,0,255)");
        // The log names the refused output and the input it would replace.
        auto log = test::readFile(logPath);
        std::string logText(log.begin(), log.end());
        EXPECT_NE(logText.find("Not written: " + bmp.string()), std::string::npos) << logText;
    }
}

TEST_F(BatchFixture, SameNamesInTwoFoldersNeverCostAPicture)
{
    fs::create_directories(dir / "in" / "x");
    fs::create_directories(dir / "in" / "y");
    ASSERT_EQ(test::run("convert -size 20x20 xc:lime -type TrueColor BMP3:" + test::shellQuote((dir / "in/x/a.bmp").string())), 0);
    ASSERT_EQ(test::run("convert -size 20x20 xc:yellow -type TrueColor BMP3:" + test::shellQuote((dir / "in/y/a.bmp").string())), 0);
    AddDirectoryParams params;
    params.recurse = 1;
    list->addDirectory(dir / "in", &params);
    ASSERT_EQ(list->fileCount(), 2u);
    s.bDeleteSrcFiles = 1;
    s.bNoOverwritePrompt = 1;
    s.bNoErrorPrompts = 1;
    BatchResult r = runBatch();
    EXPECT_EQ(r.converted, 1);
    EXPECT_EQ(r.failed, 1);
    // One source became the output and went; the other is still there, and
    // the output holds the first one's pixels.
    const bool xGone = !fs::exists(dir / "in/x/a.bmp"), yGone = !fs::exists(dir / "in/y/a.bmp");
    ASSERT_NE(xGone, yGone);
    EXPECT_EQ(pixelAt(dir / "out/a.bmp"), xGone ? "srgb(0,255,0)" : "srgb(255,255,0)");
    EXPECT_EQ(pixelAt(dir / (xGone ? "in/y/a.bmp" : "in/x/a.bmp")), xGone ? "srgb(255,255,0)" : "srgb(0,255,0)");
}

TEST_F(BatchFixture, RenameAnswerIsCheckedLikeAnyOutput)
{
    fs::path a = makeInput("a.bmp", "20x20 xc:red");
    fs::path b = makeInput("b.bmp", "20x20 xc:blue");
    test::writeFile(dir / "out" / "a.bmp", std::string("old a"));
    // a's output is renamed onto the input b.
    ui.overwriteAnswers = {OVERWRITE_RENAME};
    ui.renameTo = b;
    ui.continueAnswer = ERROR_CONTINUE;
    BatchResult r = runBatch();
    EXPECT_EQ(r.converted, 1);
    EXPECT_EQ(r.failed, 1);
    EXPECT_EQ(pixelAt(b), "srgb(0,0,255)");
    EXPECT_EQ(pixelAt(dir / "out" / "b.bmp"), "srgb(0,0,255)");
    EXPECT_EQ(ui.continueQuestions, 1);
    EXPECT_NE(text(ui.lastContinueText).find(b.string()), std::string::npos);

    // Renamed onto an output this run already wrote.
    list->clearAll();
    a = makeInput("a.bmp", "20x20 xc:red");
    b = makeInput("b.bmp", "20x20 xc:blue");
    fs::remove(dir / "out" / "a.bmp");
    ui.overwriteAnswers = {OVERWRITE_RENAME};
    ui.renameTo = dir / "out" / "a.bmp";
    ui.continueQuestions = 0;
    r = runBatch();
    EXPECT_EQ(r.converted, 1);
    EXPECT_EQ(r.failed, 1);
    EXPECT_EQ(pixelAt(dir / "out" / "a.bmp"), "srgb(255,0,0)");
    EXPECT_EQ(ui.continueQuestions, 1);
    EXPECT_NE(text(ui.lastContinueText).find(a.string()), std::string::npos);
}

TEST_F(BatchFixture, NamesThatBecomeTheSameAsciiNameKeepTheFirst)
{
    // Two characters outside the 8-bit range each: both names become "__".
    fs::path one = makeInput("\xE6\x97\xA5\xE6\x9C\xAC.bmp", "20x20 xc:red");
    fs::path two = makeInput("\xE4\xB8\xAD\xE5\x9B\xBD.bmp", "20x20 xc:blue");
    s.bUseAsciiFileNames = 1;
    s.bNoOverwritePrompt = 1;
    s.bDeleteSrcFiles = 1;
    s.bNoErrorPrompts = 1;
    BatchResult r = runBatch();
    EXPECT_EQ(r.converted, 1);
    EXPECT_EQ(r.failed, 1);
    EXPECT_FALSE(fs::exists(one));
    EXPECT_TRUE(fs::exists(two));
    EXPECT_EQ(pixelAt(dir / "out" / "__.bmp"), "srgb(255,0,0)");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "out"), fs::directory_iterator()), 1);
}

TEST_F(BatchFixture, TwoOutputsOfOneNameWithoutSubFolders)
{
    fs::path a = makeInput("a.bmp", "20x20 xc:red");
    s.iOutFormats = 2;
    s.bMultiOutInSubDirs = 0;
    setSlot(1, "bmp", u"RLE compressed", CF_256_COLOURS);
    s.bDeleteSrcFiles = 1;
    s.bNoOverwritePrompt = 1;
    s.bNoErrorPrompts = 1;
    BatchResult r = runBatch();
    EXPECT_EQ(r.converted, 1);
    EXPECT_EQ(r.failed, 1);
    // The first output stays as written, and the source is kept: not every
    // output of it was written.
    EXPECT_TRUE(fs::exists(a));
    EXPECT_EQ(test::runOutput("identify -format '%[compression]' " + test::shellQuote((dir / "out/a.bmp").string())),
              "None");
}

TEST_F(BatchFixture, InputWhosePixelsEndEarlyFailsAndStays)
{
    reg.add(&kCutFormat);
    fs::path cut = dir / "in" / "short.cut";
    test::writeFile(cut, std::string("CUT!rest of a file that ends early"));
    s.bDeleteSrcFiles = 1;
    s.bNoErrorPrompts = 1;
    s.bNoOverwritePrompt = 1;
    s.silentMode = 1;
    for (bool cached : {false, true}) {
        SCOPED_TRACE(cached ? "through the cache" : "without the cache");
        list->clearAll();
        ASSERT_EQ(list->addFile(cut, false, false), RC_OK);
        fs::path good = makeInput("good.bmp");
        ImageCache localCache;
        localCache.setRegistry(&reg);
        cache = cached ? &localCache : nullptr;
        BatchResult r = runBatch();
        cache = nullptr;
        imageCacheDestroy(&localCache);
        EXPECT_EQ(r.converted, 1);
        EXPECT_EQ(r.failed, 1);
        EXPECT_TRUE(fs::exists(cut));
        EXPECT_FALSE(fs::exists(dir / "out" / "short.bmp"));
        EXPECT_FALSE(fs::exists(good));
    }
}

// ---------------------------------------------------------------- the index's addresses and its file

namespace {

// Every href and src of the page, decoded as a browser does (percent-escapes
// are UTF-8), checked to name a file beside or below the page. Prints the
// number of addresses, then those that lead nowhere.
std::string addressesThatLeadNowhere(const fs::path& folder)
{
    const std::string script =
        "import os, re, sys, urllib.parse\n"
        "d = sys.argv[1]\n"
        "html = open(os.path.join(d, 'index.html'), encoding='latin-1').read()\n"
        "refs = re.findall(r'(?:href|src)=\"([^\"]*)\"', html)\n"
        "bad = [r for r in refs if not os.path.isfile(os.path.join(d, urllib.parse.unquote(r, errors='strict')))]\n"
        "print(len(refs), *bad, end='')\n";
    return test::runOutput("python3 -c " + test::shellQuote(script) + " " + test::shellQuote(folder.string()));
}

} // namespace

TEST_F(BatchFixture, IndexAddressesFindNonAsciiNamesAndKeptSubFolders)
{
    QUILLON_REQUIRE_TOOL("python3");
    fs::create_directories(dir / "in" / "trip");
    fs::create_directories(dir / "in" / "home");
    for (const char* name : {"trip/Caf\xC3\xA9 au lait.bmp", "home/\xE6\x97\xA5\xE6\x9C\xAC#1.bmp"}) {
        fs::path p = dir / "in" / name;
        ASSERT_EQ(test::run("convert -size 300x200 gradient:red-blue -type TrueColor BMP3:" +
                            test::shellQuote(p.string())),
                  0);
        ASSERT_EQ(list->addFile(p, false, false), RC_OK);
    }
    s.index.bIndex = 1;
    s.index.bUseAsciiFileNames = 0;
    s.bUseAsciiFileNames = 0;
    s.iOutFormats = 2;
    setSlot(1, "bmp", u"Normal", CF_AUTO);
    s.bNoOverwritePrompt = 1;
    for (bool keep : {false, true})
        for (bool valid : {false, true}) {
            SCOPED_TRACE(std::string(keep ? "kept sub-folders" : "flat") + (valid ? ", valid addresses" : ""));
            s.bKeepSubDirs = keep;
            s.iKeepSubDirLevels = -1;
            s.index.bUseValidURIs = valid;
            BatchResult r = runBatch();
            EXPECT_EQ(r.converted, 4);
            EXPECT_EQ(addressesThatLeadNowhere(dir / "out"), "4");
        }
    // The kept structure holds the thumbnails too.
    EXPECT_EQ(identify(dir / "out" / "trip" / "ico" / "Caf\xC3\xA9 au lait.bmp"), "160 106");
}

TEST_F(BatchFixture, IndexThatCannotBeWrittenLeavesTheOldOneAndIsReported)
{
    // A folder whose disk is full: needs the right to mount a tmpfs.
    fs::path small = dir / "small";
    fs::create_directories(small);
    if (test::run("mount -t tmpfs -o size=64k tmpfs " + test::shellQuote(small.string()) + " 2>/dev/null") != 0)
        GTEST_SKIP() << "cannot mount a small tmpfs here";
    struct Unmount {
        fs::path p;
        ~Unmount() { test::run("umount " + test::shellQuote(p.string())); }
    } unmount{small};
    test::writeFile(small / "index.html", std::string("old index"));
    test::run("dd if=/dev/zero of=" + test::shellQuote((small / "filler").string()) + " bs=1k 2>/dev/null");

    makeInput("a.bmp", "20x20 xc:red");
    // The outputs go beside their sources; only the page goes to the full disk.
    s.szOutDir = small / "";
    s.bSaveInSrcDirs = 1;
    s.index.bIndex = 1;
    s.iOutFormats = 2;
    setSlot(1, "bmp", u"Normal", CF_AUTO);
    s.bCreateLogFile = 1;
    BatchResult r = runBatch(dir / "log.txt");
    EXPECT_TRUE(r.indexFailed);
    auto old = test::readFile(small / "index.html");
    EXPECT_EQ(std::string(old.begin(), old.end()), "old index");
    auto log = test::readFile(dir / "log.txt");
    EXPECT_NE(std::string(log.begin(), log.end()).find("index.html: Couldn't write to file"), std::string::npos);
    EXPECT_EQ(std::distance(fs::directory_iterator(small), fs::directory_iterator()), 2);
}

TEST_F(BatchFixture, IndexPageNeverReplacesAnInputOfThatName)
{
    // A bitmap that happens to be called index.html, found by its contents.
    fs::path page = dir / "out" / "index.html";
    ASSERT_EQ(test::run("convert -size 20x20 xc:red -type TrueColor BMP3:" + test::shellQuote(page.string())), 0);
    ASSERT_EQ(list->addFile(page, false, false), RC_OK);
    s.index.bIndex = 1;
    s.iOutFormats = 2;
    setSlot(1, "bmp", u"Normal", CF_AUTO);
    BatchResult r = runBatch();
    EXPECT_EQ(r.converted, 2);
    EXPECT_TRUE(r.indexFailed);
    EXPECT_EQ(pixelAt(page), "srgb(255,0,0)");
    EXPECT_NE(text(ui.statuses.back()).find("another input of this batch"), std::string::npos);
}

// ---------------------------------------------------------------- encoding beside the next input

namespace {

// Everything the batch shows and asks, in one sequence, with the output
// folder's files at every drain of the message queue: two runs that show
// the same sequence showed the user the same thing in the same order, and
// made their files appear at the same moments.
struct SequenceUi final : BatchUi {
    ScriptedUi& answers;
    fs::path folder;
    std::vector<std::string> events;

    SequenceUi(ScriptedUi& a, fs::path f) : answers(a), folder(std::move(f)) {}
    void add(const std::string& what, std::u16string_view t = {})
    {
        events.push_back(what + " " + u16ToUtf8(std::u16string(t)));
    }

    std::string files() const
    {
        std::set<std::string> names;
        for (const auto& e : fs::recursive_directory_iterator(folder)) {
            std::string n = e.path().lexically_relative(folder).string();
            names.insert(n.find(".part") != std::string::npos ? "(temporary)" : n);
        }
        std::string out;
        for (const auto& n : names) out += n + ";";
        return out;
    }

    void setInputText(std::u16string_view t) override { add("input", t); }
    void setOutputText(std::u16string_view t) override { add("output", t); }
    void setProgressRange(int32_t n) override { add("range " + std::to_string(n)); }
    void setProgress(int32_t n) override
    {
        answers.setProgress(n);
        add("progress " + std::to_string(n));
    }
    void setStatus(std::u16string_view t) override { add("status", t); }
    void setTime(std::u16string_view t) override { add("time", t); }
    void setTitle(std::u16string_view t) override { add("title", t); }
    void pumpEvents() override
    {
        add("pump " + files());
        answers.pumpEvents();
    }
    void setBusy(bool b) override { add(b ? "busy" : "idle"); }
    void emptyList() override { add("empty"); }
    void closeWizard() override { add("close"); }
    void batchEnded(bool i) override { add(i ? "ended, interrupted" : "ended"); }
    int32_t askOverwrite(std::u16string_view t) override
    {
        int32_t a = answers.askOverwrite(t);
        add("overwrite? " + std::to_string(a), t);
        return a;
    }
    bool askRenameTarget(fs::path& p) override
    {
        bool a = answers.askRenameTarget(p);
        add("rename? " + p.string());
        return a;
    }
    int32_t askContinue(std::u16string_view t, std::u16string_view c) override
    {
        int32_t a = answers.askContinue(t, c);
        add("continue? " + std::to_string(a) + " " + u16ToUtf8(std::u16string(c)), t);
        return a;
    }
    bool askCancelAllRemaining() override
    {
        bool a = answers.askCancelAllRemaining();
        add(a ? "cancel all? yes" : "cancel all? no");
        return a;
    }
};

// A test format: "OVL!", width and height in one byte each, then the
// pixels as RGB. Its reader counts the files it opens; its writer fails
// half way through a picture of kOvlFailWidth pixels, and when told to,
// waits (a bounded while) until the input after its own was opened, noting
// whether that happened while it was still encoding.
constexpr uint32_t kOvlFailWidth = 13;
constexpr uint32_t kOvlFirstWidth = 20;  // of the waiting test's first input
std::atomic<int> gOvlOpened{0};
std::atomic<int> gOvlDecoded{0};
std::atomic<bool> gOvlWaitForNext{false};
std::atomic<int> gOvlInputs{0};
std::atomic<int> gOvlOverlapped{0};

// The batch tests' tiny formats: a magic of three letters and "!", then
// the width and the height in one byte each.
template <char A, char B, char C>
ResultCode probeTiny(MappedFile* f)
{
    const char magic[4] = {A, B, C, '!'};
    return f->size() >= 6 && std::memcmp(f->data(), magic, 4) == 0 ? RC_OK : RC_UNKNOWN_FORMAT;
}

class TinyReader : public ImageReader {
public:
    using ImageReader::ImageReader;

protected:
    ResultCode readHeader(const void*) override
    {
        width = fileData()[4];
        height = fileData()[5];
        pixelFormat = PF_RGBA8;
        colourModel = CM_RGB;
        bitsPerPixel = 24;
        opened();
        return RC_OK;
    }
    virtual void opened() {}
};

class OvlReader final : public TinyReader {
public:
    using TinyReader::TinyReader;

protected:
    void opened() override { gOvlOpened.fetch_add(1); }
    ResultCode readPixels(Image* image, bool, Progress*, AbortFlag*) override
    {
        gOvlDecoded.fetch_add(1);
        for (uint32_t y = 0; y < image->height; ++y)
            for (uint32_t x = 0; x < image->width; ++x)
                image->row<Rgba8>(y)[x] = Rgba8{uint8_t(x * 9), uint8_t(y * 7), uint8_t(image->width), 255};
        return RC_OK;
    }
};

class OvlWriter final : public ImageWriter {
public:
    using ImageWriter::ImageWriter;

protected:
    ResultCode encode(Image* image, const char16_t*, uint32_t, uint32_t, int32_t, bool, void*) override
    {
        const int input = int(image->width) - int(kOvlFirstWidth);
        if (gOvlWaitForNext.load() && input + 1 < gOvlInputs.load()) {
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (gOvlOpened.load() < input + 2 && std::chrono::steady_clock::now() < until)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            if (gOvlOpened.load() >= input + 2) gOvlOverlapped.fetch_add(1);
        }
        uint8_t head[6] = {'O', 'V', 'L', '!', uint8_t(image->width), uint8_t(image->height)};
        ResultCode rc = output.write(head, sizeof head);
        for (uint32_t y = 0; y < image->height && succeeded(rc); ++y) {
            if (image->width == kOvlFailWidth && y == image->height / 2) return RC_WRITE_FAILED;
            for (uint32_t x = 0; x < image->width && succeeded(rc); ++x) {
                const Rgba8& p = image->row<Rgba8>(y)[x];
                const uint8_t rgb[3] = {p.r, p.g, p.b};
                rc = output.write(rgb, 3);
            }
        }
        return rc;
    }
};

ImageReader* ovlRead(MappedFile* f, const FormatDescriptor* d) { return new OvlReader(f, d); }
const char16_t* const kOvlNames[] = {u"Normal", u""};
const ColourFormatFlags kOvlCaps[] = {CF_RGB24};
const FormatDescriptor kOvlFormat{u"ovl", u"Overlap test format", probeTiny<'O', 'V', 'L'>, ovlRead,
                                  writerCreate<OvlWriter>, kOvlNames, kOvlCaps};

fs::path makeOvl(const fs::path& folder, const std::string& name, uint8_t w, uint8_t h)
{
    fs::path p = folder / name;
    test::writeFile(p, std::string("OVL!") + char(w) + char(h));
    return p;
}

// Every file below `folder` with its bytes.
std::map<std::string, std::vector<uint8_t>> filesBelow(const fs::path& folder)
{
    std::map<std::string, std::vector<uint8_t>> out;
    for (const auto& e : fs::recursive_directory_iterator(folder))
        if (e.is_regular_file()) out[e.path().lexically_relative(folder).string()] = test::readFile(e.path());
    return out;
}

struct BatchOverlap : BatchFixture {
    struct Seen {
        BatchResult r;
        std::vector<std::string> events;
        std::string log;
        std::map<std::string, std::vector<uint8_t>> outputs;
    };

    void SetUp() override
    {
        BatchFixture::SetUp();
        reg.add(&kOvlFormat);
        s.bCreateLogFile = 1;
    }

    // The batch as it is, through the cache with its read-ahead, run one
    // thing at a time (one input read ahead, each output encoded before the
    // next input is loaded) and then reading two inputs ahead with the
    // encoding beside the next input's loading; `prepare` sets up the output
    // folder and the answers before each run.
    std::pair<Seen, Seen> runBoth(const std::function<void()>& prepare)
    {
        std::pair<Seen, Seen> seen;
        seen.first = runOnce(false, 1, prepare);
        seen.second = runOnce(true, 2, prepare);
        return seen;
    }

    // One run through a fresh cache reading `depth` inputs ahead, with each
    // last output encoded beside the next input's loading or not.
    Seen runOnce(bool on, uint32_t depth, const std::function<void()>& prepare)
    {
        Seen out;
        fs::remove_all(dir / "out");
        fs::create_directories(dir / "out");
        fs::remove(dir / "log.txt");
        ui = ScriptedUi{};
        prepare();
        SequenceUi sequence(ui, dir / "out");
        shownTo = &sequence;
        overlap = on;
        readAhead = depth;
        ImageCache localCache;
        localCache.allFrames = 1;
        localCache.readAheadAllFrames = 1;
        localCache.setRegistry(&reg);
        cache = &localCache;
        out.r = runBatch(dir / "log.txt");
        // Whatever stopped the run, nothing it read ahead goes on or
        // stays behind in the cache.
        EXPECT_EQ(localCache.pending, nullptr);
        EXPECT_EQ(localCache.count(), 0u);
        cache = nullptr;
        imageCacheDestroy(&localCache);
        shownTo = nullptr;
        out.events = sequence.events;
        auto b = test::readFile(dir / "log.txt");
        out.log.assign(b.begin(), b.end());
        out.outputs = filesBelow(dir / "out");
        return out;
    }

    static void expectSame(const Seen& a, const Seen& b)
    {
        EXPECT_EQ(a.events, b.events);
        EXPECT_EQ(a.log, b.log);
        EXPECT_EQ(a.outputs, b.outputs);
        EXPECT_EQ(a.r.converted, b.r.converted);
        EXPECT_EQ(a.r.skipped, b.r.skipped);
        EXPECT_EQ(a.r.failed, b.r.failed);
        EXPECT_EQ(a.r.done, b.r.done);
        EXPECT_EQ(a.r.interrupted, b.r.interrupted);
        for (const auto& [name, bytes] : b.outputs) EXPECT_EQ(name.find(".part"), std::string::npos) << name;
    }
};

} // namespace

// The next input is loaded while the current one's last output encodes on
// another thread: the encoder of each input but the last finds the next
// input opened before it has finished.
TEST_F(BatchOverlap, NextInputLoadsWhileTheLastOutputEncodes)
{
    const int n = 3;
    for (int i = 0; i < n; ++i)
        ASSERT_EQ(list->addFile(makeOvl(dir / "in", "p" + std::to_string(i) + ".ovl", uint8_t(kOvlFirstWidth + i), 4),
                                false, false),
                  RC_OK);
    setSlot(0, "ovl", u"Normal", CF_AUTO);
    gOvlOpened = 0;
    gOvlOverlapped = 0;
    gOvlInputs = n;
    gOvlWaitForNext = true;
    BatchResult r = runBatch();
    gOvlWaitForNext = false;
    EXPECT_EQ(r.converted, n);
    EXPECT_EQ(gOvlOverlapped.load(), n - 1);
    EXPECT_EQ(gOvlOpened.load(), n);  // each input read once
}

// Two outputs an input, the second one encoded beside the next input: an
// encoding that fails, an unreadable input after it, an overwrite answered
// with Rename. Every question, text, log line and file comes as when one
// thing is done at a time, and the outputs are the same bytes.
TEST_F(BatchOverlap, QuestionsLogAndOutputsKeepTheirOrder)
{
    makeInput("a.bmp");
    makeInput("b.bmp", "13x9 xc:orange");  // its second output fails while encoding
    fs::path bad = makeInput("c.bmp");
    test::writeFile(bad, std::string("BM broken"));
    makeInput("d.bmp", "17x11 plasma:");
    makeInput("e.bmp", "25x20 gradient:green-white");
    s.iOutFormats = 2;
    setSlot(1, "ovl", u"Normal", CF_AUTO);
    auto [off, on] = runBoth([&] {
        test::writeFile(dir / "out" / "d.bmp", std::string("old"));
        ui.overwriteAnswers = {OVERWRITE_RENAME};
        ui.renameTo = dir / "out" / "d renamed.bmp";
    });
    expectSame(off, on);
    EXPECT_EQ(on.r.converted, 7);
    EXPECT_EQ(on.r.failed, 3);  // b's second output, c's two
    EXPECT_EQ(on.outputs.count("b.ovl"), 0u);
    EXPECT_EQ(on.outputs.count("d renamed.bmp"), 1u);
    std::string old(on.outputs["d.bmp"].begin(), on.outputs["d.bmp"].end());
    EXPECT_EQ(old, "old");
    // b's failure is told before c is read, and c's before d is.
    const size_t fail = on.log.find("Result: Error: ");
    EXPECT_LT(fail, on.log.find("Reading:  " + bad.string()));
    EXPECT_LT(on.log.find("Error: Unknown file format"), on.log.find("Reading:  " + (dir / "in" / "d.bmp").string()));
    EXPECT_EQ(identify(dir / "out" / "e.bmp"), "25 20");
}

// Cancelled from the interface after the second input, and stopped with
// "Cancel batch" at an encoding that fails: the input loaded ahead is
// dropped, no temporary stays behind, the outputs written are whole.
TEST_F(BatchOverlap, StoppingMidRunLeavesWholeOutputsOnly)
{
    for (int i = 0; i < 5; ++i) makeInput("f" + std::to_string(i) + ".bmp", "31x17 gradient:red-blue");
    auto [off, on] = runBoth([&] {
        ui.onPump = [this] {
            if (!ui.progress.empty() && ui.progress.back() == 2) running = false;
        };
    });
    expectSame(off, on);
    EXPECT_TRUE(on.r.interrupted);
    EXPECT_EQ(on.r.converted, 2);
    ASSERT_EQ(on.outputs.size(), 2u);
    EXPECT_EQ(identify(dir / "out" / "f1.bmp"), "31 17");

    list->clearAll();
    makeInput("g0.bmp");
    makeInput("g1.bmp", "13x9 xc:orange");
    makeInput("g2.bmp");
    makeInput("g3.bmp");
    setSlot(0, "ovl", u"Normal", CF_AUTO);
    auto [off2, on2] = runBoth([&] { ui.continueAnswer = ERROR_CANCEL_BATCH; });
    expectSame(off2, on2);
    EXPECT_TRUE(on2.r.interrupted);
    EXPECT_EQ(on2.r.done, 2);
    EXPECT_EQ(on2.r.converted, 1);
    ASSERT_EQ(on2.outputs.size(), 1u);
    EXPECT_EQ(on2.outputs.begin()->first, "g0.ovl");
    EXPECT_EQ(on2.outputs.begin()->second.size(), 6u + 40 * 30 * 3);
}

// Reading two inputs ahead, each input is still decoded once: taking one
// out of the cache leaves the next, already decoded, where it is.
TEST_F(BatchOverlap, EachInputDecodedOnceReadingTwoAhead)
{
    const int n = 8;
    for (int i = 0; i < n; ++i)
        ASSERT_EQ(list->addFile(makeOvl(dir / "in", "q" + std::to_string(i) + ".ovl", uint8_t(30 + i), 20), false,
                                false),
                  RC_OK);
    ImageCache localCache;
    localCache.setRegistry(&reg);
    cache = &localCache;
    gOvlDecoded = 0;
    BatchResult r = runBatch();
    cache = nullptr;
    EXPECT_EQ(r.converted, n);
    EXPECT_EQ(gOvlDecoded.load(), n);
    EXPECT_EQ(localCache.readAheadDepth.load(), 1u);  // as it was before the run
    imageCacheDestroy(&localCache);
}

// Inputs that clash on one name write one picture: the index shows that one
// once, not one cell per input pointing at it. A rerun that keeps the
// existing outputs keeps their cells, still once each.
TEST_F(BatchFixture, IndexListsEachPictureThatIsThereOnce)
{
    fs::create_directories(dir / "in" / "x");
    fs::create_directories(dir / "in" / "y");
    makeInput("a.bmp", "300x200 xc:red");
    makeInput("x/a.bmp", "300x200 xc:green");
    makeInput("y/a.bmp", "300x200 xc:blue");
    makeInput("b.bmp", "300x200 xc:white");
    s.index.bIndex = 1;
    s.iOutFormats = 2;
    s.bNoErrorPrompts = 1;
    setSlot(1, "bmp", u"Normal", CF_AUTO);
    auto cells = [&] {
        auto bytes = test::readFile(dir / "out" / "index.html");
        const std::string html(bytes.begin(), bytes.end());
        std::vector<std::string> hrefs;
        for (size_t at = html.find("<a href=\""); at != std::string::npos; at = html.find("<a href=\"", at + 1))
            hrefs.push_back(html.substr(at + 9, html.find('"', at + 9) - at - 9));
        return hrefs;
    };
    BatchResult r = runBatch();
    EXPECT_EQ(r.converted, 4);
    EXPECT_EQ(r.failed, 4);
    EXPECT_EQ(cells(), (std::vector<std::string>{"a.bmp", "b.bmp"}));

    s.bSkipExisting = 1;
    r = runBatch();
    EXPECT_EQ(r.converted, 0);
    EXPECT_EQ(cells(), (std::vector<std::string>{"a.bmp", "b.bmp"}));
}

// A target size that even the lowest quality cannot reach is said in the
// log with the size written, not as a plain "Ok.".
TEST_F(BatchFixture, TargetSizeNotReachedIsLogged)
{
    makeInput("noise.bmp", "800x600 plasma:fractal");
    makeInput("small.bmp", "32x32 xc:gray");
    s.bCreateLogFile = 1;
    setSlot(0, "jpg", u"Normal, to Size:", CF_AUTO);
    s.slots[0].iCompParam = 2;
    BatchResult r = runBatch(dir / "log.txt");
    EXPECT_EQ(r.converted, 2);
    auto b = test::readFile(dir / "log.txt");
    const std::string log(b.begin(), b.end());
    const uint64_t noise = fs::file_size(dir / "out" / "noise.jpg");
    ASSERT_GT(noise, 2048u);
    EXPECT_LE(fs::file_size(dir / "out" / "small.jpg"), 2048u);
    char want[96];
    std::snprintf(want, sizeof want, "Result: Target size not reached: %.1f KB written for 2 KB.\r\n",
                  double(noise) / 1024.0);
    EXPECT_NE(log.find((dir / "out" / "noise.jpg").string() + "\r\n" + want), std::string::npos) << log;
    EXPECT_NE(log.find((dir / "out" / "small.jpg").string() + "\r\nResult: Ok.\r\n"), std::string::npos) << log;
}

// ---------------------------------------------------------------- reading many inputs ahead

namespace {

// A test format for reading ahead: "RAH!", width and height in one byte
// each. Its reader counts its decodes and, while told to, holds the decodes
// of every input after the first two until the batch stops it.
std::atomic<int> gRahDecoded{0};
std::atomic<bool> gRahHold{false};
// Each decode sleeps this long (a decode that keeps to one thread and leaves
// the cores idle); how many decodes ran at once, at most.
std::atomic<int> gRahSleepMs{0};
std::atomic<int> gRahRunning{0};
std::atomic<int> gRahMostAtOnce{0};
constexpr uint8_t kRahFirstWidth = 40;

class RahReader final : public TinyReader {
public:
    using TinyReader::TinyReader;

protected:
    ResultCode readPixels(Image* image, bool, Progress*, AbortFlag* abort) override
    {
        if (image->width >= kRahFirstWidth + 2)
            while (gRahHold.load()) {
                if (aborted(abort)) return RC_OK;
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        const int running = gRahRunning.fetch_add(1) + 1;
        int most = gRahMostAtOnce.load();
        while (running > most && !gRahMostAtOnce.compare_exchange_weak(most, running)) {
        }
        if (gRahSleepMs.load() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(gRahSleepMs.load()));
        gRahRunning.fetch_sub(1);
        gRahDecoded.fetch_add(1);
        for (uint32_t y = 0; y < image->height; ++y)
            for (uint32_t x = 0; x < image->width; ++x)
                image->row<Rgba8>(y)[x] = Rgba8{uint8_t(x * 5), uint8_t(y * 3), uint8_t(image->width), 255};
        return RC_OK;
    }
};

class RahWriter final : public ImageWriter {
public:
    using ImageWriter::ImageWriter;

protected:
    ResultCode encode(Image* image, const char16_t*, uint32_t, uint32_t, int32_t, bool, void*) override
    {
        const uint8_t head[6] = {'R', 'A', 'H', '!', uint8_t(image->width), uint8_t(image->height)};
        return output.write(head, sizeof head);
    }
};

ImageReader* rahRead(MappedFile* f, const FormatDescriptor* d) { return new RahReader(f, d); }
const char16_t* const kRahNames[] = {u"Normal", u""};
const ColourFormatFlags kRahCaps[] = {CF_RGB24};
const FormatDescriptor kRahFormat{u"rah", u"Read-ahead test format", probeTiny<'R', 'A', 'H'>, rahRead,
                                  writerCreate<RahWriter>, kRahNames, kRahCaps};

struct BatchReadAhead : BatchOverlap {
    void SetUp() override
    {
        BatchOverlap::SetUp();
        reg.add(&kRahFormat);
        gRahDecoded = 0;
        gRahHold = false;
        gRahSleepMs = 0;
        gRahMostAtOnce = 0;
    }

    fs::path makeRah(const std::string& name, uint8_t w)
    {
        fs::path p = dir / "in" / name;
        test::writeFile(p, std::string("RAH!") + char(w) + char(7));
        EXPECT_EQ(list->addFile(p, false, false), RC_OK);
        return p;
    }

    // A progressive JPEG large enough that its scans and rows go to the
    // task pool, made by ImageMagick.
    fs::path makeProgressive(const std::string& name, const std::string& size, int seed)
    {
        fs::path p = dir / "in" / name;
        EXPECT_EQ(test::run("convert -size " + size + " -seed " + std::to_string(seed) +
                            " plasma: -blur 0x1 -interlace JPEG -quality 92 " + test::shellQuote(p.string())),
                  0);
        EXPECT_EQ(list->addFile(p, false, false), RC_OK);
        return p;
    }

    // One run: reading `depth` inputs ahead (0: the batch's own choice)
    // with each last output encoded beside the next input; or, with
    // `oneThread`, one input at a time, each output encoded before the next
    // input, and every row band and decode on the calling thread.
    Seen runAt(uint32_t depth, bool oneThread, const std::function<void()>& prepare)
    {
        std::unique_ptr<RowBandOverride> bands;
        if (oneThread) bands = std::make_unique<RowBandOverride>(1, 0);
        return runOnce(!oneThread, oneThread ? 1 : depth, prepare);
    }
};

} // namespace

// Progressive and baseline JPEGs, a damaged one and one that is no picture,
// resized and written as JPEG and BMP: whatever the depth of the read-ahead,
// and whether decodes and row bands spread over the cores or keep to one
// thread, the user sees the same questions, texts and files in the same
// order, the log is the same, and every output has the same bytes.
TEST_F(BatchReadAhead, OutputsAndWhatTheUserSeesAreTheSameAtEveryDepthAndThreadCount)
{
    makeProgressive("p1.jpg", "900x700", 1);
    makeProgressive("p2.jpg", "640x960", 2);
    fs::path base = dir / "in" / "b1.jpg";
    ASSERT_EQ(test::run("convert -size 700x500 -seed 3 plasma: -quality 90 " + test::shellQuote(base.string())), 0);
    ASSERT_EQ(list->addFile(base, false, false), RC_OK);
    fs::path cut = makeProgressive("cut.jpg", "800x600", 4);
    std::vector<uint8_t> bytes = test::readFile(cut);
    bytes.resize(bytes.size() * 2 / 3);
    test::writeFile(cut, std::string(bytes.begin(), bytes.end()));
    // Added as a picture, then overwritten.
    fs::path bad = makeProgressive("not.jpg", "64x64", 7);
    test::writeFile(bad, std::string("no picture at all"));
    makeProgressive("p3.jpg", "1200x400", 5);
    makeInput("small.bmp", "33x21 gradient:green-white");
    makeProgressive("p4.jpg", "500x500", 6);
    s.iOutFormats = 2;
    setSlot(0, "jpg", u"Normal, by Quality:", CF_AUTO);
    s.slots[0].iCompParam = 85;
    setSlot(1, "bmp", u"Normal", CF_AUTO);
    s.eResize = 1;
    s.i3ResizeFactor = 60000;
    s.eResizeMethod = 3;
    s.bNoErrorPrompts = 1;
    auto prepare = [] {};
    const Seen one = runAt(1, true, prepare);
    EXPECT_EQ(one.r.converted, 12);
    EXPECT_EQ(one.r.failed, 4);
    for (uint32_t depth : {2u, 4u, 0u}) {
        SCOPED_TRACE(depth);
        const Seen many = runAt(depth, false, prepare);
        expectSame(one, many);
    }
}

// Stopped after the first input while eight inputs are being read ahead
// (all but the next held until they are told to stop: the next is loaded
// while the first is written), and a run whose last input is gone by
// the time it is read: when the batch returns, no read-ahead is pending or
// running and nothing it decoded stays in the cache.
TEST_F(BatchReadAhead, EveryReadAheadEndsWithTheRun)
{
    for (int i = 0; i < 10; ++i) makeRah("s" + std::to_string(i) + ".rah", uint8_t(kRahFirstWidth + i));
    setSlot(0, "rah", u"Normal", CF_AUTO);
    gRahHold = true;
    auto stopAfterFirst = [&] {
        ui.onPump = [this] {
            if (!ui.progress.empty() && ui.progress.back() == 1) running = false;
        };
    };
    const Seen stopped = runAt(8, false, stopAfterFirst);
    EXPECT_TRUE(stopped.r.interrupted);
    EXPECT_EQ(stopped.r.converted, 1);
    const int decoded = gRahDecoded.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(gRahDecoded.load(), decoded);
    gRahHold = false;

    list->clearAll();
    for (int i = 0; i < 6; ++i) makeRah("t" + std::to_string(i) + ".rah", uint8_t(kRahFirstWidth + i));
    fs::path gone = makeRah("gone.rah", 60);
    fs::remove(gone);
    const Seen whole = runAt(8, false, [] {});
    EXPECT_FALSE(whole.r.interrupted);
    EXPECT_EQ(whole.r.converted, 6);
    EXPECT_EQ(whole.r.failed, 1);
}

// Left to choose, the batch reads two inputs ahead, and more while it finds
// itself waiting for them with cores to spare: inputs whose decoding keeps
// to one thread soon decode several at once. Each is still decoded once.
TEST_F(BatchReadAhead, ReadsFurtherAheadWhileItWaitsWithCoresToSpare)
{
    if (taskPoolWorkers() < 4) GTEST_SKIP() << "too few cores to read further ahead";
    const int n = 16;
    for (int i = 0; i < n; ++i) makeRah("u" + std::to_string(i) + ".rah", uint8_t(kRahFirstWidth + i));
    setSlot(0, "rah", u"Normal", CF_AUTO);
    gRahSleepMs = 15;
    const Seen chosen = runAt(0, false, [] {});
    EXPECT_EQ(chosen.r.converted, n);
    EXPECT_EQ(gRahDecoded.load(), n);
    EXPECT_GT(gRahMostAtOnce.load(), 2);
}

// A cancel while a long output is being encoded stops the encoder part way:
// nothing of it is left, not even its temporary, and the next input is not
// started.
TEST_F(BatchFixture, CancelStopsALongEncodingPartWay)
{
    makeInput("big.bmp", "2048x2048 plasma:fractal");
    makeInput("after.bmp");
    setSlot(0, "dds", u"DXT5 (mip-mapped)", CF_AUTO);
    int encodePumps = 0;
    ui.onEncodePump = [&] {
        if (++encodePumps == 1) running = false;
    };
    const BatchResult r = runBatch();
    EXPECT_GE(encodePumps, 1);
    EXPECT_TRUE(r.interrupted);
    EXPECT_EQ(r.converted, 0);
    EXPECT_TRUE(fs::is_empty(dir / "out"));
}

// ---------------------------------------------------------------- what a run says happened

// Each input that failed, in reading or in writing, is named with why, for
// a run without a window; the status tells outputs that failed from those left alone, as
// the silent run's summary does.
TEST_F(BatchFixture, FailedFilesAreNamedAndCountedApartFromSkippedOnes)
{
    fs::create_directories(dir / "in" / "x");
    makeInput("a.bmp");
    fs::path bad = makeInput("b.bmp");
    test::writeFile(bad, std::string("BM this is not a bitmap"));
    fs::path c = makeInput("c.bmp");
    fs::path otherC = makeInput("x/c.bmp");
    test::writeFile(dir / "out" / "a.bmp", std::string("kept"));
    s.bSkipExisting = 1;
    s.bNoErrorPrompts = 1;
    BatchResult r = runBatch();
    EXPECT_EQ(r.converted, 1);
    EXPECT_EQ(r.skipped, 3);
    EXPECT_EQ(r.failed, 2);
    EXPECT_EQ(text(ui.statuses.back()), " Converted 1 out of 4 files, 1 file skipped, 2 files failed!");
    const std::string refused = otherC.string() + ": Not written: " + (dir / "out" / "c.bmp").string() +
                                " was already written in this batch, from " + c.string() + ".";
    EXPECT_EQ(r.failures, (std::vector<std::string>{bad.string() + ": Unknown file format", refused}));
    const RunReport report = batchRunReport(r, 0, 1, {});
    EXPECT_EQ(report.failures,
              (std::vector<std::string>{"Quillon: " + bad.string() + ": Unknown file format", "Quillon: " + refused}));
    EXPECT_EQ(report.line, "Quillon: 1 written, 1 skipped, 2 failed");
    EXPECT_TRUE(fs::exists(otherC));

    // An output the writer cannot make: its input, then the output's path.
    list->clearAll();
    fs::path d = makeInput("d.bmp");
    s.slots[0].iColorFormat = CF_RGB_FLOAT;
    r = runBatch();
    EXPECT_EQ(r.failures, (std::vector<std::string>{d.string() + ": Not written: " + (dir / "out" / "d.bmp").string() +
                                                     ": Unsupported color format specified"}));
    EXPECT_EQ(text(ui.statuses.back()), "1 file failed!");

    // Inputs the list could not take: their outputs count among the failed
    // and the total, as a silent run counts them.
    list->clearAll();
    makeInput("e.bmp");
    s.slots[0].iColorFormat = CF_AUTO;
    s.iOutFormats = 2;
    setSlot(1, "png", u"Normal", CF_AUTO);
    notAdded = {{dir / "in" / "gone.bmp", RC_OPEN_FAILED}};
    runBatch();
    EXPECT_EQ(text(ui.statuses.back()), " Converted 2 out of 4 files, 2 files failed!");
}

// Replacing an input with its own output is allowed, but the question says
// that the file is the input, whichever way its path is spelt.
TEST_F(BatchFixture, TheOverwriteQuestionSaysWhenTheOutputIsItsOwnInput)
{
    fs::path a = makeInput("a.bmp", "40x30 xc:red");
    s.bSaveInSrcDirs = 1;
    ui.overwriteAnswers = {OVERWRITE_REPLACE};
    BatchResult r = runBatch();
    EXPECT_EQ(r.converted, 1);
    EXPECT_EQ(ui.lastOverwriteText, u"The following output file aldready exists:\n        \n" + pathToU16(a) +
                                        u"\nThis file is the input file being converted.\n"
                                        u"        \nWhat would you like to do with it?");

    // Through a link to its folder: the same file by device and inode.
    s.bSaveInSrcDirs = 0;
    fs::create_directory_symlink(dir / "in", dir / "linked");
    s.szOutDir = dir / "linked/";
    ui.overwriteAnswers = {OVERWRITE_CANCEL};
    runBatch();
    EXPECT_EQ(ui.lastOverwriteText, u"The following output file aldready exists:\n        \n" +
                                        pathToU16(dir / "linked" / "a.bmp") +
                                        u"\nThis file is the input file being converted.\n"
                                        u"        \nWhat would you like to do with it?");
    EXPECT_EQ(ui.overwriteQuestions, 2);
}

// The log names the file a rename wrote, and a run cut short says so; the
// bar stays where the run stopped, and each run's time starts from zero.
TEST_F(BatchFixture, LogProgressAndTimeSayWhereTheRunStopped)
{
    fs::path a = makeInput("a.bmp");
    makeInput("b.bmp");
    makeInput("c.bmp");
    test::writeFile(dir / "out" / "a.bmp", std::string("old"));
    ui.overwriteAnswers = {OVERWRITE_RENAME};
    ui.renameTo = dir / "out" / "renamed.bmp";
    ui.onPump = [this] {
        if (ui.progress.size() && ui.progress.back() == 1) running = false;
    };
    s.bCreateLogFile = 1;
    const fs::path log = dir / "log.txt";
    BatchResult r = runBatch(log);
    EXPECT_TRUE(r.interrupted);
    EXPECT_EQ(r.converted, 1);
    EXPECT_EQ(identify(ui.renameTo), "40 30");
    auto bytes = test::readFile(log);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()),
              "Quillon log file\r\n\r\n-- 5 December 2026, 17:05 --\r\n\r\n"
              "Output format 0: Windows bitmap format (Normal - 0 - Auto)\r\n\r\n"
              "Reading:  " + a.string() + "\r\nWriting: " + ui.renameTo.string() +
                  "\r\nResult: Ok.\r\n\r\nBatch interrupted.\r\n");
    EXPECT_EQ(ui.progress.back(), 1);
    EXPECT_EQ(taskbar.progress.back(), std::make_pair(1, 3));
    EXPECT_EQ(text(ui.statuses.back()), "Interrupted after 1 file!");
    ASSERT_FALSE(ui.times.empty());
    EXPECT_EQ(text(ui.times.front()), "Time: 0.0s");

    // The next run starts its time from zero too, whatever the last one
    // showed; run whole, it ends with a full bar.
    ui.onPump = {};
    const size_t before = ui.times.size();
    EXPECT_NE(text(ui.times.back()), "Time: 0.0s");
    s.bNoOverwritePrompt = 1;
    r = runBatch();
    EXPECT_FALSE(r.interrupted);
    ASSERT_GT(ui.times.size(), before);
    EXPECT_EQ(text(ui.times[before]), "Time: 0.0s");
    EXPECT_EQ(ui.progress.back(), 3);
    EXPECT_EQ(taskbar.progress.back(), std::make_pair(3, 3));
}

// One output that keeps each source's format: the writer is that of the
// codec reading the source's extension, the name and extension are the
// source's, and a sub-format or colour format the chosen writer lacks is
// its first sub-format and "Auto", as for an output that names the format.
// A source of a format we only read is a failed output that says so.
TEST_F(BatchFixture, EachSourceIsWrittenInItsOwnFormat)
{
    QUILLON_REQUIRE_TOOL("compare");
    struct Source {
        const char* name;
        const char* made; // ImageMagick's output format
        const char* is;   // what identify says of the output
        bool lossless;
    } sources[] = {{"a.jpeg", "JPG", "JPEG", false}, {"b.JPG", "JPG", "JPEG", false},
                   {"c.tif", "TIFF", "TIFF", true},  {"d.dib", "BMP3", "BMP3", true},
                   {"e.webp", "WEBP", "WEBP", true}, {"f.png", "PNG24", "PNG", true},
                   {"g.bmp", "PNG24", "BMP3", true}, {"h.ppm", "PPM", "", false}};
    for (const Source& src : sources) {
        const fs::path p = dir / "in" / src.name;
        const std::string lossless = std::string(src.made) == "WEBP" ? "-define webp:lossless=true " : "";
        ASSERT_EQ(test::run("convert -size 24x16 gradient:gold-navy -depth 8 " + lossless + src.made + ":" +
                            test::shellQuote(p.string())),
                  0);
        ASSERT_EQ(list->addFile(p, false, false), RC_OK) << src.name;
    }
    s.bNoErrorPrompts = 1;
    s.bCreateLogFile = 1;
    int n = 0;
    for (const char16_t* sub : {u"", u"Default", u"Normal, by Quality:", u"Lossless"}) {
        SCOPED_TRACE(text(sub));
        const fs::path out = dir / ("out" + std::to_string(n++));
        fs::create_directories(out);
        s.szOutDir = out / "";
        s.slots[0].iFormatId = -1;
        s.slots[0].szSubFormat = sub;
        s.slots[0].iColorFormat = 31; // no single colour format
        s.slots[0].iCompParam = 0;
        const BatchResult r = runBatch(dir / "log.txt");
        EXPECT_EQ(r.converted, 7);
        EXPECT_EQ(r.failed, 1);
        for (const Source& src : sources) {
            const fs::path in = dir / "in" / src.name, o = out / src.name;
            if (!*src.is) {
                EXPECT_FALSE(fs::exists(o));
                continue;
            }
            EXPECT_EQ(test::runOutput("identify -format '%m' " + test::shellQuote(o.string()) + " 2>/dev/null"),
                      src.is)
                << src.name;
            if (src.lossless) {
                EXPECT_EQ(test::runOutput("compare -quiet -metric AE " + test::shellQuote(in.string()) + " " +
                                          test::shellQuote(o.string()) + " null: 2>&1"),
                          "0")
                    << src.name;
            }
        }
        // The slot itself is left as it was.
        EXPECT_EQ(s.slots[0].iFormatId, -1);
        EXPECT_EQ(text(s.slots[0].szSubFormat), text(sub));
        // A JPEG written without a number of its own takes the last quality.
        EXPECT_EQ(test::runOutput("identify -format '%Q' " + test::shellQuote((out / "a.jpeg").string())), "75");
        const std::string why = "Not written: " + (out / "h.ppm").string() + ": This format can only be read";
        EXPECT_EQ(r.failures, (std::vector<std::string>{(dir / "in" / "h.ppm").string() + ": " + why}));
        auto b = test::readFile(dir / "log.txt");
        EXPECT_NE(std::string(b.begin(), b.end()).find("Result: Error: " + why + "\r\n"), std::string::npos);
    }
}
