#include "app/app_paths.h"

#include <system_error>

namespace quillon {

namespace {
std::filesystem::path g_appPath;
} // namespace

const std::filesystem::path& appPath() { return g_appPath; }

std::filesystem::path appFolder() { return g_appPath.parent_path(); }

void setAppPath(const std::filesystem::path& path) { g_appPath = path; }

void appPathInit(const char* argv0)
{
    std::error_code ec;
    std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec || exe.empty()) {
        exe = argv0 ? std::filesystem::path(argv0) : std::filesystem::path();
        std::filesystem::path abs = std::filesystem::absolute(exe, ec);
        if (!ec) exe = abs;
    }
    g_appPath = exe;
}

void pathSplitNameExt(std::u16string_view path, std::u16string_view* name, std::u16string_view* extension)
{
    size_t slash = path.rfind(u'/');
    std::u16string_view n = slash == std::u16string_view::npos ? path : path.substr(slash + 1);
    std::u16string_view ext = n.substr(n.size());
    if (n.size() >= 2 && n.substr(n.size() - 2) == u"..") {
        ext = n.substr(n.size());
    } else {
        size_t dot = n.rfind(u'.');
        if (dot != std::u16string_view::npos) ext = n.substr(dot);
    }
    if (name) *name = n;
    if (extension) *extension = ext;
}

} // namespace quillon
