#pragma once
// Where per-user files live on this platform.
#include <filesystem>

namespace quillon {

// The roaming application data folder: $XDG_CONFIG_HOME when it names an
// absolute folder, else $HOME/.config. Empty when neither gives one; callers
// then store nothing rather than fall back to the root of the file system.
std::filesystem::path roamingAppDataFolder();

} // namespace quillon
