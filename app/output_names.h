#pragma once
// How an output's folder and file name follow from its source, the job's
// folder options and the output format. Pure functions of their arguments, so
// every rule is testable without a batch.
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace quillon {

// 8-bit to 7-bit: accented letters to their base letter, other symbols to a
// look-alike.
extern const uint8_t asciiNameTable[256];
// Every character below U+0100 through asciiNameTable, everything above "_".
std::u16string asciiFileName(std::u16string_view name);

// The part of the source folder kept under the output folder:
// levels < 0 keeps the last -levels folders, levels >= 0 drops the first
// levels + 1 components (the first being the root). The result is relative
// and ends with "/" unless empty.
std::filesystem::path keptSubFolders(const std::filesystem::path& sourceFolder, int levels);

// The sub-folder name of a format slot: "%s - %s%s - %s" made safe for a
// file name (" becomes ', * x, < (, > ), and / \ : ? | become ",").
std::u16string slotSubFolderName(std::u16string_view formatDescription, std::u16string_view subFormat,
                                 int32_t compParam, std::u16string_view colourName);
std::u16string sanitizeFolderName(std::u16string_view name);

// The output file name: the override name (used whole) or the source's file
// name with its extension replaced, then "." and the format's extension.
std::u16string outputFileName(std::u16string_view sourceFileName, std::u16string_view overrideName,
                              std::u16string_view extension);

// A typed folder starting with "~" alone or "~/" is under the home folder
// ($HOME), as in a shell; "~name" and every other path stay as they are.
std::filesystem::path expandHomeFolder(const std::filesystem::path& path);

// Creates the folder with every missing parent; false for an empty path or
// when a folder cannot be created.
bool directoryCreatePath(const std::filesystem::path& path);

} // namespace quillon
