#pragma once
// Where the program lives: its folder holds the help pages and, when it is
// writable, the log file.
#include <filesystem>
#include <string_view>

namespace quillon {

// The program's full path, from /proc/self/exe (or argv[0] when that fails).
const std::filesystem::path& appPath();
// The folder of appPath(); empty when the path has no folder part.
std::filesystem::path appFolder();
void setAppPath(const std::filesystem::path& path);
// Sets appPath() from /proc/self/exe, falling back to argv0.
void appPathInit(const char* argv0);

// Splits a file name into name and extension, both views into `path`:
// `name` starts after the last "/"; the extension starts at the last "." of
// the name (dot included) and is empty when the name has no dot or ends in
// "..".
void pathSplitNameExt(std::u16string_view path, std::u16string_view* name, std::u16string_view* extension);

} // namespace quillon
