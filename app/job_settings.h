#pragma once
// The one record of every option of a conversion job, its defaults, and its
// persistence in the settings store. The fields bear the names of their
// stored values.
#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "core/quantize_options.h"
#include "processing/adjustment_settings.h"

namespace quillon {

class FormatRegistry;
class SettingsStore;

constexpr int kMaxOutputFormats = 8;
constexpr char16_t kSettingsVersion[] = u"5.2";
constexpr char kSettingsKey[] = "Software\\Brevik-Software\\Quillon 5";

// One output of the job.
struct OutputFormatSlot {
    int32_t iFormatId = 0;        // registry index, or -1: format by the output's extension
    uint32_t iColorFormat = 31;   // ColourFormatFlags; 0xFFFFFFFF is "Auto"
    int32_t iCompParam = 0;       // quality, factor or size; 0 when none given
    std::u16string szSubFormat = u"Default"; // at most 47 characters
};

// The recent output folders: UTF-8 paths one after another, each ended by a
// NUL, most recent first, and one more NUL after the last.
struct RecentFolderList {
    static constexpr uint32_t kCapacity = 1024;
    std::array<uint8_t, kCapacity> block{};
    uint32_t capacity = kCapacity;
    uint32_t used = 1;   // bytes in use, the final NUL included
    uint32_t count = 0;
    uint32_t maxCount = 10;

    // The entries, most recent first.
    std::vector<std::string> entries() const;
    void clear();
};

// Longest entry mruAddPath keeps, in bytes with its NUL.
constexpr uint32_t kRecentEntryMaxBytes = 779;

struct IndexSettings {
    uint8_t bIndex = 0;
    std::u16string szIconSubdir = u"ico";
    uint32_t iResizeX = 160;
    uint32_t iResizeY = 120;
    uint8_t bResizeOnlyDown = 1;
    int32_t iCols = 6;
    int32_t iSpacing = 8;
    uint8_t bFileName = 1;
    uint8_t bFileExt = 0;
    uint8_t bImageRes = 0;
    uint8_t bImageBorder = 1;
    uint8_t bLinkToNew = 1;
    uint8_t bUseValidURIs = 1;
    std::string szBODY = "bgcolor=#F8F8FF text=#000000 link=#2060A0 vlink=#802000"; // Windows-1252
    uint32_t eIconURL = 1;
    std::string szIconURL = "https://www.example.com/icons/";
    uint32_t eLinkURL = 1;
    std::string szLinkURL = "https://www.example.com/images/";
    uint8_t bUseAsciiFileNames = 1;
};

// Longest 8-bit index text, in bytes without its NUL.
constexpr size_t kIndexTextMax = 255;

struct JobSettings {
    uint8_t silentMode = 0;   // never stored
    uint8_t exitWhenDone = 0; // never stored
    uint8_t bShowMoreOptions = 0;
    std::filesystem::path szOutDir; // ends with "/" once chosen
    // bDither sets all three dithering switches, bFixedPalette, bSharedPalette.
    QuantizeOptions quantize{.ditherTo8Bit = 1, .ditherHighColour = 1};
    uint32_t nConverted = 0;
    uint32_t iOutFormats = 1;
    std::array<OutputFormatSlot, kMaxOutputFormats> slots{};
    uint8_t bMultiOutInSubDirs = 0;
    uint8_t bNoOverwritePrompt = 0;
    uint8_t bSaveInSrcDirs = 0;
    uint8_t bDeleteSrcFiles = 0;
    uint8_t bNoErrorPrompts = 0;
    uint8_t bSkipExisting = 0;
    uint8_t bCreateLogFile = 0;
    uint8_t bUseAsciiFileNames = 0;
    uint8_t bKeepSubDirs = 0;
    int32_t iKeepSubDirLevels = 1;
    int32_t iLastQualityPercent = 75;
    int32_t iLastXFactor = 10;
    int32_t iLastSizeKB = 50;
    uint32_t eResize = 0;
    uint32_t iResizeX = 800;
    uint32_t iResizeY = 600;
    int32_t i3ResizeFactor = 50000;
    uint32_t eResizeMethod = 3;
    uint8_t bResizeOnlyDown = 1;
    uint8_t bResizeKeepAspect = 1;
    uint8_t bSetPPI = 0;
    int32_t iSetPPI = 300;
    uint8_t bUndither = 0;
    AdjustmentSettings adjustments;
    uint32_t eFrameType = 0;
    int32_t iFrameWidth = 14;
    uint32_t dwFrameColor = 0xFF000000;
    uint32_t dwFrameEdgeClr = 0xFFFFFFFF;
    uint8_t bPreview = 1;
    IndexSettings index;
    RecentFolderList recentFolders;
};

// The process's record. Its palette options are the ones the conversions use
// once settingsLoad() has run.
JobSettings& jobSettings();

// Loads the process's record from the settings store (defaults where a value
// is absent or unusable, or when there is no store) and installs its palette
// options. Returns 1. The slots are checked against the process's format
// registry only when it is already filled: start-up registers the formats
// first, or calls normalizeSlots(jobSettings()) once it has. Without
// writeBack the store is only read (a first start stays a first start).
int settingsLoad(bool writeBack = true);
// Writes the process's record back; silent when the store cannot be opened
// or written.
void settingsSave();

// The same on a given record and store (null: nothing stored). Load returns
// true on a first start (no settings stored yet). Format indices are checked
// against, and the slots made writable with, the given registry once it
// holds formats; before that they are taken as stored.
bool settingsLoadFrom(JobSettings& settings, SettingsStore* store, const FormatRegistry* registry = nullptr,
                      bool writeBack = true);
void settingsSaveTo(JobSettings& settings, SettingsStore* store);

// The name of every value the settings store holds for the job: what
// settingsSaveTo writes (every slot's number included) and the version.
std::vector<std::string> settingsValueNames();

// Called with the help topic to open on a first start; the user interface
// installs it. Without one, nothing opens.
void setFirstStartHelp(std::function<void(int topic)> open);
constexpr int kHelpTopicMain = 9900;

// Puts a folder at the front of the list (an equal entry moves there); its
// UTF-8 form is cut to the last whole character within the entry limit.
void mruAddPath(RecentFolderList& list, const std::filesystem::path& path);

// Compares version texts such as "5.2" and "5.10": runs of digits by their
// value, everything else by code unit. Negative, zero or positive.
int compareVersions(std::u16string_view a, std::u16string_view b);

// Checks of loaded values: anything else keeps its default. A format index
// is -1 (by extension) or an index of the registry (any index >= 0 while the
// registry is still empty). Null registry: the process's.
bool validOutFormats(int64_t n);
// A resize filter the option pages offer (1 nearest neighbour .. 8 B-spline of
// degree 5); any other makes every resize fail.
bool validResizeMethod(int64_t filter);
// A frame style the frame step knows in the low byte (0 none, 1 flat, 2 toned).
bool validFrameType(uint32_t type);
bool validFormatId(int64_t id, const FormatRegistry* registry = nullptr);

// Makes one output slot writable: a format index >= 0 moves forward to the
// first format that can write (the first writable one overall when none
// follows), an unknown sub-format name becomes the format's first, a colour
// that is neither "Auto" (-1) nor one flag of the sub-format's mask becomes
// "Auto", and a number of 0 becomes the last one used for the sub-format's
// kind. A slot choosing its format by extension (-1) keeps its values.
void normalizeSlot(OutputFormatSlot& slot, const JobSettings& settings, const FormatRegistry* registry = nullptr);
// Every slot of the record; nothing while the registry is empty.
void normalizeSlots(JobSettings& settings, const FormatRegistry* registry = nullptr);

} // namespace quillon
