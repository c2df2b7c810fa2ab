// Preset files of any bytes: the INI reader, the encodings and the preset
// loader with its checks.
#include <cstdint>

#include "app/presets.h"
#include "platform/profile.h"

using namespace quillon;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    ProfileFile file = ProfileFile::fromBytes(data, size);
    JobSettings settings;
    presetLoadFrom(settings, file);
    if (settings.iOutFormats < 1 || settings.iOutFormats > 8) __builtin_trap();
    file.set(u"Quillon", u"iOutFormats", u"2");
    (void)file.text();
    return 0;
}
