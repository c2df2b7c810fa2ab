#pragma once
// Preset files: named copies of the job settings in INI files with the
// extension ".qpt", kept in the "Quillon" folder of the roaming application
// data folder.
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "app/job_settings.h"

namespace quillon {

constexpr char16_t kPresetSection[] = u"Quillon";
constexpr char kPresetFolderName[] = "Quillon";
constexpr char kPresetExtension[] = ".qpt";
// Why a preset named is not loaded when there is no such file.
constexpr char kNoSuchPresetText[] = "no such preset";

// Reads a preset's keys into settings; a key that is absent (or a file that
// cannot be read) leaves its field as it was, except that the number of
// outputs starts at 1 and slot 0's number at 0, and that a preset naming an
// output folder but not bSaveInSrcDirs writes into that folder.
// Format indices are checked and the slots made writable as by
// settingsLoadFrom (null registry: the process's).
// A preset is refused whole (false, settings untouched, `why` naming the
// key and its value) when a number is no number, or when a value the load
// uses lies outside its key's range: a format the registry does not hold,
// 9 outputs, a quality of 101, a count of outputs other than the index's
// 2; or when its [Quillon] section holds a key that no load, save or
// settings store uses (`why` naming it, and the key meant when one is
// close). A typo is never quietly read as something
// else, or passed over. So is a file that is missing or cannot be read, or
// that holds no key of ours in a [Quillon] section (a misspelt section
// header, say): loading it would leave the job as the settings store has
// it.
bool presetLoad(JobSettings& settings, const std::filesystem::path& file, const FormatRegistry* registry = nullptr,
                std::string* why = nullptr);
bool presetLoadFrom(JobSettings& settings, const class ProfileFile& file, const FormatRegistry* registry = nullptr,
                    std::string* why = nullptr);
// Why the preset would be refused on top of the process's settings; empty
// when it can be loaded.
std::string presetRefusal(const std::filesystem::path& file, const FormatRegistry* registry = nullptr);
// Writes settings into the file (keeping its other sections and keys). False
// when the file cannot be written. A value outside its key's range is left
// out (a quality above 100 is written as 100, the index's two outputs
// whatever the count), so that every preset saved loads again.
bool presetSave(const JobSettings& settings, const std::filesystem::path& file,
                const FormatRegistry* registry = nullptr);

class PresetFile {
public:
    virtual ~PresetFile() = default;
    // Load or save the process's job settings: with a file, that one;
    // without, the current preset (`path`). Nothing happens without either.
    // False when the preset was refused (see presetLoad).
    virtual bool load(const std::filesystem::path* file = nullptr, std::string* why = nullptr);
    virtual bool save(const std::filesystem::path* file = nullptr);

    // Chooses the current preset by name: path = folder / (name + ".qpt").
    // False (path unchanged) when presets are disabled or the name is empty,
    // holds "/" or a NUL, and so could name a file outside the folder.
    bool setName(std::u16string_view name);

    void* dialog = nullptr;
    uint32_t comboId = 590;
    std::filesystem::path folder; // empty: presets disabled
    std::filesystem::path path;   // the current preset, or empty
};

PresetFile& presetFile();

// Remembers the dialog and combo box and sets the preset folder, creating it
// when missing. False (presets disabled) when there is no roaming
// application data folder or the folder cannot be created.
bool presetDirInit(void* dialog, uint32_t comboId);
// The same with a given roaming folder (tests).
bool presetDirInitAt(PresetFile& preset, const std::filesystem::path& roaming);

// The names of the presets in the folder (file names without ".qpt"), in
// name order.
std::vector<std::u16string> presetNames(const PresetFile& preset);
// Deletes the named preset; false when there is no such file or the name is
// refused.
bool presetDelete(PresetFile& preset, std::u16string_view name);

} // namespace quillon
