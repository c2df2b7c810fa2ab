#include "app/temp_files.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "support/test_support.h"

using namespace quillon;
namespace fs = std::filesystem;

namespace {

// The id of a process that has ended (and been reaped).
pid_t endedProcess()
{
    pid_t pid = fork();
    if (pid == 0) _exit(0);
    waitpid(pid, nullptr, 0);
    return pid;
}

std::set<std::string> names(const fs::path& folder)
{
    std::set<std::string> out;
    for (const auto& e : fs::directory_iterator(folder)) out.insert(e.path().filename().string());
    return out;
}

std::string tempOf(pid_t pid, const std::string& target)
{
    return "." + target + ".quillon-" + std::to_string(pid) + "-0123456789abcdef.part";
}

} // namespace

// Only names made by the writer of a temporary carry an owner; a user's
// own hidden ".part" files and look-alikes do not.
TEST(TempFiles, NamesCarryTheWritersProcess)
{
    const fs::path t = temporaryBeside("/out/photo.jpg");
    EXPECT_EQ(t.parent_path(), fs::path("/out"));
    EXPECT_EQ(t.filename().string().rfind(".photo.jpg.quillon-", 0), 0u) << t;
    EXPECT_EQ(temporaryOwner(t.filename().string()), getpid());
    EXPECT_NE(temporaryBeside("/out/photo.jpg"), t);
    // A name at the file system's limit still leaves room for the tag.
    EXPECT_LE(temporaryBeside("/out/" + std::string(250, 'n') + ".png").filename().string().size(), 255u);
    EXPECT_EQ(temporaryOwner(tempOf(4242, "a.bmp")), 4242);
    for (const char* other : {".photo.jpg.part", "a.bmp.quillon-12-0123456789abcdef.part",
                              ".a.bmp.quillon-12-0123456789ABCDEF.part", ".a.bmp.quillon--0123456789abcdef.part",
                              ".a.bmp.quillon-1x-0123456789abcdef.part", ".a.bmp.quillon-12-0123456789abcde.part",
                              ".quillon-12-0123456789abcdef.part"})
        EXPECT_EQ(temporaryOwner(other), 0) << other;
}

// A later run removes what a run killed outright left, and nothing else:
// not the temporary of a process that still runs, nor its own, nor a
// user's file, a folder or a link of that shape.
TEST(TempFiles, StaleTemporariesOfEndedProcessesGo)
{
    test::TempDir dir;
    const pid_t ended = endedProcess();
    pid_t alive = fork();
    if (alive == 0) {
        pause();
        _exit(0);
    }
    test::writeFile(dir / tempOf(ended, "a.bmp"), std::string("half"));
    test::writeFile(dir / tempOf(alive, "b.bmp"), std::string("being written"));
    test::writeFile(dir / tempOf(getpid(), "c.bmp"), std::string("ours"));
    test::writeFile(dir / ".photo.jpg.part", std::string("the user's"));
    fs::create_directory(dir / tempOf(ended, "d.bmp"));
    fs::create_symlink(dir / ".photo.jpg.part", dir / tempOf(ended, "e.bmp"));
    EXPECT_EQ(removeStaleTemporaries(dir.path()), 1);
    kill(alive, SIGKILL);
    waitpid(alive, nullptr, 0);
    EXPECT_EQ(names(dir.path()), (std::set<std::string>{tempOf(alive, "b.bmp"), tempOf(getpid(), "c.bmp"),
                                                         ".photo.jpg.part", tempOf(ended, "d.bmp"),
                                                         tempOf(ended, "e.bmp")}));
    EXPECT_EQ(removeStaleTemporaries(dir / "missing"), 0);
}

// SIGINT and SIGTERM remove the temporary being written, and the process
// still ends by the signal; one no longer written stays for its owner.
TEST(TempFiles, SignalsTakeTheLiveTemporaryAlong)
{
    test::TempDir dir;
    for (int sig : {SIGINT, SIGTERM}) {
        const fs::path live = dir / ("live" + std::to_string(sig));
        const fs::path done = dir / ("done" + std::to_string(sig));
        EXPECT_EXIT(
            {
                installTemporaryCleanup();
                test::writeFile(done, std::string("x"));
                { LiveTemporary finished(done); }
                test::writeFile(live, std::string("x"));
                LiveTemporary writing(live);
                raise(sig);
            },
            ::testing::KilledBySignal(sig), "");
        EXPECT_FALSE(fs::exists(live)) << sig;
        EXPECT_TRUE(fs::exists(done)) << sig;
    }
    // A signal the process was started to ignore stays ignored.
    const fs::path kept = dir / "kept";
    EXPECT_EXIT(
        {
            signal(SIGINT, SIG_IGN);
            installTemporaryCleanup();
            test::writeFile(kept, std::string("x"));
            LiveTemporary writing(kept);
            raise(SIGINT);
            _exit(7);
        },
        ::testing::ExitedWithCode(7), "");
    EXPECT_TRUE(fs::exists(kept));
}

// An output's further files: their temporaries are named like the output's
// own (so signals and later runs find them), and they are placed together.
// One that cannot be placed takes the temporaries along and the files placed
// before it that were new, while a file it replaced stays replaced.
TEST(TempFiles, CompanionsArePlacedTogetherOrNotAtAll)
{
    test::TempDir dir;
    {
        CompanionFiles files;
        const fs::path a = files.temporaryFor(dir / "a.R"), b = files.temporaryFor(dir / "a.G");
        EXPECT_EQ(temporaryOwner(a.filename().string()), getpid());
        EXPECT_EQ(a.parent_path(), dir.path());
        test::writeFile(a, std::string("red"));
        test::writeFile(b, std::string("green"));
        ASSERT_TRUE(files.place());
        EXPECT_EQ(names(dir.path()), (std::set<std::string>{"a.R", "a.G"}));
    }
    test::writeFile(dir / "b.R", std::string("old"));
    fs::create_directories(dir / "b.B" / "in the way");
    CompanionFiles files;
    const fs::path r = files.temporaryFor(dir / "b.R"), g = files.temporaryFor(dir / "b.G"),
                   b = files.temporaryFor(dir / "b.B");
    for (const fs::path& p : {r, g, b}) test::writeFile(p, std::string("new"));
    EXPECT_FALSE(files.place());
    EXPECT_EQ(names(dir.path()), (std::set<std::string>{"a.R", "a.G", "b.R", "b.B"}));
    EXPECT_EQ(test::readFile(dir / "b.R").size(), 3u);
    // A read-only file among the targets (root included) stops them all
    // before any is placed, and is named.
    fs::permissions(dir / "a.G", fs::perms::owner_read | fs::perms::group_read);
    CompanionFiles guarded;
    const fs::path red = guarded.temporaryFor(dir / "a.R"), green = guarded.temporaryFor(dir / "a.G");
    test::writeFile(red, std::string("new red"));
    test::writeFile(green, std::string("new green"));
    fs::path readOnly;
    EXPECT_FALSE(guarded.place(&readOnly));
    EXPECT_EQ(readOnly, dir / "a.G");
    EXPECT_EQ(test::readFile(dir / "a.R").size(), 3u);
    EXPECT_EQ(test::readFile(dir / "a.G").size(), 5u);
    EXPECT_FALSE(fs::exists(red));
    EXPECT_FALSE(fs::exists(green));
    // Discarding removes what is left, and only that.
    CompanionFiles dropped;
    test::writeFile(dropped.temporaryFor(dir / "c.L"), std::string("x"));
    dropped.temporaryFor(dir / "c.A");  // never created
    dropped.discard();
    EXPECT_EQ(names(dir.path()), (std::set<std::string>{"a.R", "a.G", "b.R", "b.B"}));
}
