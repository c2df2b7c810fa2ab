#pragma once
// Name matching for the input list: the wildcard filter of folder scans and
// the pattern rename that rebuilds output names from the parts a pattern
// captured. Both work on the UTF-16 names the list shows.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quillon {

struct FileEntry;
class InputList;

// Upper-case fold for name comparisons: ASCII, Latin-1, Latin Extended-A,
// Greek and Cyrillic. Locale-independent, so sorting and matching give the
// same result on every machine.
char16_t foldUpper(char16_t c);
// Negative, 0 or positive, comparing folded characters.
int compareFolded(std::u16string_view a, std::u16string_view b);

// '?' takes one character. A run of '*' and '?' containing a star takes as
// many characters as it holds '?'s and then any further run; when such a run
// ends the pattern it needs at least one character, so "fun*" matches
// "funny" but not "fun". Other characters compare folded. An empty pattern
// matches nothing.
bool wildcardMatch(std::u16string_view pattern, std::u16string_view name);

// True when name matches one of the ';'-separated patterns of filter (blanks
// after a ';' are skipped).
bool filterMatch(std::u16string_view filter, std::u16string_view name);

// The rename dialog's values; they last for the life of the wizard.
struct RenamePatternParams {
    std::u16string inputPattern = u"*";
    std::u16string outputPattern = u"*";
    uint8_t onlySelected = 0;
    uint8_t caseSensitive = 0;
};

// What one wildcard of the input pattern took from the name: `start` is an
// offset into the matched name.
struct RenameCapture {
    size_t start = 0;
    int32_t length = 0;
    char16_t kind = u'*'; // '*', or the character a '?' took
};

// Matches left to right without backtracking: a star takes characters up to
// the first place where the literal run that follows it appears. Fills
// captures (cleared first) in pattern order.
bool renameMatch(std::u16string_view pattern, std::u16string_view name, bool caseSensitive,
                 std::vector<RenameCapture>& captures);

// Builds a name from outputPattern: '?' takes the next character still held
// by a capture, '*' all that is left of the next star's capture, anything
// else is copied. Consumes the captures.
std::u16string renameBuild(std::u16string_view outputPattern, std::u16string_view name,
                           std::vector<RenameCapture>& captures);

// The name a rename works on: the entry's output name or file name, cut at
// its last '.'.
std::u16string renameBaseName(const FileEntry& entry);

// Renames one entry; true when its overrideName changed.
bool renameEntry(const RenamePatternParams& params, FileEntry& entry);

// Renames the given rows (the selected ones or all, in display order, as the
// dialog's onlySelected says); returns how many changed.
size_t renameEntries(const RenamePatternParams& params, const std::vector<FileEntry*>& rows);

// The dialog's command on the input list: the selected rows (display
// positions) when params.onlySelected, else every row, in display order; the
// list's rows are repainted when any changed. Returns how many changed.
size_t renameListRows(const RenamePatternParams& params, InputList& list, std::vector<size_t> selectedRows);

} // namespace quillon
