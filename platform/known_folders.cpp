#include "platform/known_folders.h"

#include <cstdlib>

namespace quillon {

std::filesystem::path roamingAppDataFolder()
{
    // Relative values are invalid by the XDG rules and would make the
    // settings depend on the current folder.
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && xdg[0] == '/') return std::filesystem::path(xdg);
    const char* home = std::getenv("HOME");
    if (home && home[0] == '/') return std::filesystem::path(home) / ".config";
    return {};
}

} // namespace quillon
