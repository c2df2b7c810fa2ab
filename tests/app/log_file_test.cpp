#include "app/log_file.h"

#include <gtest/gtest.h>

#include "support/test_support.h"

using namespace quillon;

namespace {
std::tm at(int year, int month, int day, int hour, int minute)
{
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    return t;
}
std::string readText(const std::filesystem::path& p)
{
    auto b = test::readFile(p);
    return std::string(b.begin(), b.end());
}
} // namespace

TEST(LogFile, FirstRunWritesTitleThenEveryRunAppendsAHeader)
{
    test::TempDir dir;
    auto path = dir / "Quillon log.txt";
    {
        LogFile log;
        ASSERT_TRUE(log.open(path, at(2026, 12, 5, 17, 5)));
        log.writeLine("Reading:  ", u"/photos/caf\u00e9 \u4E2D.jpg");
        log.writeLine("Result: ", std::string_view("Ok."));
        log.writeLine();
        log.finish();
    }
    {
        // A name that would forge a line of its own stays on its line.
        LogFile log;
        ASSERT_TRUE(log.open(path, at(2027, 1, 9, 7, 30)));
        log.writeLine("Reading:  ", u"/in/a\nResult: Ok.png");
        log.writeLine("Error: ", std::string_view("/in/b\tc\r.png: Unknown file format"));
        log.finish();
    }
    EXPECT_EQ(readText(path),
              "Quillon log file\r\n\r\n-- 5 December 2026, 17:05 --\r\n"
              "Reading:  /photos/caf\xC3\xA9 \xE4\xB8\xAD.jpg\r\nResult: Ok.\r\n\r\nBatch finished.\r\n"
              "\r\n-- 9 Januari 2027, 7:30 --\r\nReading:  /in/a\\nResult: Ok.png\r\n"
              "Error: /in/b\\tc\\x0D.png: Unknown file format\r\nBatch finished.\r\n");
}

TEST(LogFile, UnopenableFileMakesWritesNoOps)
{
    LogFile log;
    EXPECT_FALSE(log.open("/nonexistent-folder/x/log.txt", at(2026, 1, 1, 0, 0)));
    log.writeLine("Writing: ", u"x");
    log.finish();
    EXPECT_FALSE(log.isOpen());
}

TEST(LogFile, PlaceFallsBackToTheConfigFolder)
{
    test::TempDir dir;
    EXPECT_EQ(logFilePath(dir.path(), "/cfg"), dir / "Quillon log.txt");
    std::filesystem::create_directories(dir / "ro");
    std::filesystem::permissions(dir / "ro", std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
    bool rootCanWrite = access((dir / "ro").c_str(), W_OK) == 0; // root ignores permissions
    auto p = logFilePath(dir / "ro", dir / "cfg");
    if (!rootCanWrite) {
        EXPECT_EQ(p, dir / "cfg" / "Quillon" / "Quillon log.txt");
        EXPECT_TRUE(std::filesystem::is_directory(dir / "cfg" / "Quillon"));
    }
    EXPECT_EQ(logFilePath("/nonexistent-program-folder", dir / "cfg"), dir / "cfg" / "Quillon" / "Quillon log.txt");
    std::filesystem::permissions(dir / "ro", std::filesystem::perms::owner_all);
}

TEST(LogFile, ElapsedTimeTexts)
{
    EXPECT_EQ(batchFormatElapsed(59.95f), u"Time: 60.0s");
    EXPECT_EQ(batchFormatElapsed(0.0f), u"Time: 0.0s");
    EXPECT_EQ(batchFormatElapsed(61.5f), u"Time: 1m1s");
    EXPECT_EQ(batchFormatElapsed(3725.0f), u"Time: 1h2m5s");
    EXPECT_EQ(batchFormatElapsed(7200.0f), u"Time: 2h0m0s");
}
