#include "app/log_file.h"

#include <unistd.h>

#include <cstring>

#include "core/text.h"

namespace quillon {

namespace {

const char* const kMonths[12] = {"Januari", "February", "March",     "April",   "May",      "June",
                                 "July",    "August",   "September", "October", "November", "December"};

} // namespace

std::string logHeaderDate(const std::tm& t)
{
    char buf[96];
    int month = t.tm_mon >= 0 && t.tm_mon < 12 ? t.tm_mon : 0;
    std::snprintf(buf, sizeof buf, "-- %d %s %d, %d:%d%d --", t.tm_mday, kMonths[month], t.tm_year + 1900, t.tm_hour,
                  t.tm_min / 10, t.tm_min % 10);
    return buf;
}

bool LogFile::open(const std::filesystem::path& path, const std::tm& now)
{
    close();
    file_ = std::fopen(path.c_str(), "ab");
    if (!file_) return false;
    long size = std::ftell(file_);
    if (size <= 0) writeLine({}, std::string_view("Quillon log file"));
    writeLine();
    writeLine({}, std::string_view(logHeaderDate(now)));
    return true;
}

LogFile::~LogFile() { close(); }

void LogFile::writeLine(std::string_view prefix, std::u16string_view text)
{
    if (!file_) return;
    std::string line(prefix);
    // A name holding a line break must not start a line of its own.
    line += escapeControls(u16ToUtf8(text));
    line += "\r\n";
    // Write failures are not fatal to the batch; the log is a courtesy.
    std::fwrite(line.data(), 1, line.size(), file_);
    std::fflush(file_);
}

void LogFile::writeLine(std::string_view prefix, std::string_view ascii)
{
    if (!file_) return;
    std::string line(prefix);
    line += escapeControls(ascii);
    line += "\r\n";
    std::fwrite(line.data(), 1, line.size(), file_);
    std::fflush(file_);
}

void LogFile::finish(bool interrupted)
{
    writeLine({}, std::string_view(interrupted ? "Batch interrupted." : "Batch finished."));
    close();
}

void LogFile::close()
{
    if (file_) std::fclose(file_);
    file_ = nullptr;
}

std::filesystem::path logFilePath(const std::filesystem::path& programFolder,
                                  const std::filesystem::path& configFolder)
{
    const char* name = "Quillon log.txt";
    if (!programFolder.empty() && access(programFolder.c_str(), W_OK) == 0) return programFolder / name;
    if (configFolder.empty()) return {};
    std::error_code ec;
    std::filesystem::create_directories(configFolder / "Quillon", ec);
    return configFolder / "Quillon" / name;
}

std::u16string batchFormatElapsed(float s)
{
    char buf[64];
    if (s < 60.0f) {
        std::snprintf(buf, sizeof buf, "Time: %.1fs", double(s));
    } else {
        int m = int(s * 0.016666668f);
        const int allMinutes = m;
        std::string text = "Time: ";
        if (m >= 60) {
            text += std::to_string(m / 60) + "h";
            m %= 60;
        }
        std::snprintf(buf, sizeof buf, "%s%dm%ds", text.c_str(), m, int(s - float(allMinutes) * 60.0f));
    }
    return asciiToU16(buf);
}

} // namespace quillon
