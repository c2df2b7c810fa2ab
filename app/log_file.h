#pragma once
// The batch's log: plain UTF-8 text with CR LF line ends, only ever appended
// to, one dated header per run.
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>
#include <string_view>

namespace quillon {

class LogFile {
public:
    // Opens (creating when missing) and writes the run's header. `now` is the
    // local time of the header; a file that cannot be opened makes every
    // later write a no-op.
    bool open(const std::filesystem::path& path, const std::tm& now);
    ~LogFile();
    LogFile() = default;
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    bool isOpen() const { return file_ != nullptr; }
    // One line: the 8-bit prefix ("Reading:  ", "Writing: " ...) then the
    // text, its control characters escaped.
    void writeLine(std::string_view prefix, std::u16string_view text);
    void writeLine(std::u16string_view text = {}) { writeLine({}, text); }
    void writeLine(std::string_view prefix, std::string_view ascii);
    // Writes the run's last line and closes: "Batch finished.", or for a run
    // that stopped before its end "Batch interrupted.", so that a log read
    // later tells a cancelled run from a whole one.
    void finish(bool interrupted = false);
    void close();

private:
    std::FILE* file_ = nullptr;
};

// The log's place: "Quillon log.txt" in the program's folder when that is
// writable, otherwise in the "Quillon" folder of the user's configuration.
std::filesystem::path logFilePath(const std::filesystem::path& programFolder,
                                  const std::filesystem::path& configFolder);

// "Time: 12.3s", "Time: 1m1s", "Time: 1h2m5s".
std::u16string batchFormatElapsed(float seconds);

// "-- 5 December 2026, 17:05 --"
std::string logHeaderDate(const std::tm& t);

} // namespace quillon
