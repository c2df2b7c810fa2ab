#pragma once
// Helpers shared by the test binaries: temporary folders, running the
// independent tools that serve as oracles, and reading their PNM output.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <vector>

namespace quillon::test {

// A fresh folder under the system's temporary folder, removed on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

// Runs a shell command; returns its exit status (-1 when it could not run).
int run(const std::string& command);
// Runs a command and returns what it printed on standard output.
std::string runOutput(const std::string& command);
// True when the named program is on the PATH.
bool haveTool(const std::string& name);
// Quotes a string for the shell.
std::string shellQuote(const std::string& text);

std::vector<uint8_t> readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes);
void writeFile(const std::filesystem::path& path, const std::string& bytes);

// A decoded netpbm file (P1-P6, P7 with 1-4 channels): samples row by row,
// channels interleaved in file order (R, G, B[, A]); maxval up to 65535.
struct Pnm {
    uint32_t width = 0, height = 0, channels = 0, maxval = 0;
    std::vector<uint16_t> samples;
    // A width x height 8-bit RGB picture, all samples 0.
    static Pnm rgb8(uint32_t w, uint32_t h)
    {
        Pnm p;
        p.width = w;
        p.height = h;
        p.channels = 3;
        p.maxval = 255;
        p.samples.resize(size_t(w) * h * 3);
        return p;
    }
    uint16_t at(uint32_t x, uint32_t y, uint32_t c) const { return samples[(size_t(y) * width + x) * channels + c]; }
};
bool readPnm(const std::filesystem::path& path, Pnm& out);
bool writePnm(const std::filesystem::path& path, const Pnm& image);

// Sets an environment variable for the life of the object.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name)
    {
        if (const char* old = std::getenv(name)) old_ = old, had_ = true;
        if (value) setenv(name, value, 1);
        else unsetenv(name);
    }
    ~ScopedEnv()
    {
        if (had_) setenv(name_, old_.c_str(), 1);
        else unsetenv(name_);
    }

private:
    const char* name_;
    std::string old_;
    bool had_ = false;
};

// Path of a file under tests/data.
std::filesystem::path dataPath(const std::string& relative);

// The folder of the photographs some tests convert: Debian's
// lomiri-wallpapers-20.04, which the setup installs.
inline constexpr const char* kPhotoFolder = "/usr/share/backgrounds";
// The named photographs of that folder, or with no names every .jpg in it,
// sorted; empty when the folder or any named one is missing.
std::vector<std::filesystem::path> photographs(std::initializer_list<const char*> names = {});

} // namespace quillon::test

// Skips the current test when an oracle tool is missing, only outside CI and
// scripts/test: those install every tool, so there a missing one fails.
#define QUILLON_REQUIRE_TOOL(name)                                                   \
    do {                                                                             \
        if (!::quillon::test::haveTool(name)) {                                      \
            if (std::getenv("CI")) FAIL() << "missing oracle tool " << (name);       \
            GTEST_SKIP() << "missing oracle tool " << (name);                        \
        }                                                                            \
    } while (0)

// Skips the current test when `photos` (from photographs()) is empty, only
// outside CI and scripts/test: those install the photographs, so there their
// absence fails.
#define QUILLON_REQUIRE_PHOTOS(photos)                                                            \
    do {                                                                                          \
        if ((photos).empty()) {                                                                   \
            if (std::getenv("CI")) FAIL() << "missing photographs in " << ::quillon::test::kPhotoFolder; \
            GTEST_SKIP() << "missing photographs in " << ::quillon::test::kPhotoFolder;           \
        }                                                                                         \
    } while (0)
