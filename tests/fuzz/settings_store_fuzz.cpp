// Settings store files of any bytes, and any bytes as the stored list of
// recent folders.
#include <cstdint>

#include "app/job_settings.h"
#include "platform/settings_store.h"

using namespace quillon;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    auto store = SettingsStore::fromBytes(data, size);
    if (!store) return 0;
    JobSettings settings;
    settingsLoadFrom(settings, store.get());
    auto raw = SettingsStore::fromBytes(nullptr, 0);
    raw->writeBinary("LastPathsW", data, uint32_t(size));
    raw->writeDword("iOutPath", size ? data[0] % 12 : 0);
    JobSettings fromList;
    settingsLoadFrom(fromList, raw.get());
    if (fromList.recentFolders.used > fromList.recentFolders.capacity || fromList.recentFolders.count > 10) __builtin_trap();
    mruAddPath(fromList.recentFolders, std::filesystem::path("/added/"));
    return 0;
}
