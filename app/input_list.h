#pragma once
// The input list: one FileEntry per image the batch will convert, kept in
// slots that are never reused until the list is cleared, plus the rows as the
// list view shows them. Adding probes each file, reads its side-car
// adjustments or its orientation, and refuses duplicates; folders are scanned
// with wildcard filters and optional recursion. Everything here runs without
// a window; the page reaches the user through InputListHooks.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "core/image.h"
#include "core/image_info.h"
#include "core/result.h"
#include "processing/adjustment_settings.h"

namespace quillon {

class FormatRegistry;

struct FileEntry {
    // Empty marks an empty slot.
    std::filesystem::path path;
    // The file-name part of path, as shown and as renamed.
    std::u16string fileName;
    // Output base name chosen by the user; empty when none.
    std::u16string overrideName;
    // Image whose grey levels become the alpha plane; empty when none.
    std::filesystem::path alphaFilePath;
    std::unique_ptr<ImageInfoOwned> metadataOverride;
    // Fields (bit n: InfoField n) the override empties: a record cannot hold
    // an empty text, and a cleared title must not fall back to the file's.
    uint64_t metadataCleared = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    int32_t bitsPerPixel = 0;
    uint64_t fileSize = 0;
    uint8_t kind = 0;          // icon: 2 grey model, 1 palette, 0 other
    char16_t sampleType = u'?'; // 'b', 'w', 'f', 'i' or '?'
    uint8_t hasAlpha = 0;
    // The file's own adjustments; null when it has none.
    std::unique_ptr<AdjustmentSettings> adjustments;
    // Identity of the file when it was added, for refusing duplicates.
    uint64_t device = 0;
    uint64_t inode = 0;

    bool used() const { return !path.empty(); }
    uint8_t orientation() const { return adjustments ? adjustments->orientation : 0; }
    // Frees every member and marks the slot empty.
    void release();
};

// The parameters of a folder scan ("Add directory" and the command line).
struct AddDirectoryParams {
    std::filesystem::path folder;
    std::u16string filter;   // ';'-separated wildcard patterns
    uint8_t filterOn = 0;
    uint8_t recurse = 0;
};

// A file that added nothing, and why: one the user chose that could not be
// opened or is no picture, or one a folder scan passed over although its
// name has the extension of a format we read. A folder the scan could not
// read (or whose path is too long) is one too, with the system's reason.
struct FileNotAdded {
    std::filesystem::path path;
    ResultCode rc = RC_OK;
    // What the system said ("Permission denied"); when empty, the text of rc.
    // Braced, so that records naming the path and the code alone need not
    // name it.
    std::string reason{};

    // The reason, or the text of rc (UTF-8).
    std::string why() const;
};

// What adding a file needs to know from its reader.
struct ProbedImage {
    std::filesystem::path path; // as the reader reports it
    uint64_t fileSize = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    int32_t bitsPerPixel = 0;
    uint8_t colourModel = 0;    // the reader's ColourModel (1 "L", 2 "K")
    PixelFormat pixelFormat = PF_SAME;
    AlphaKind alphaKind = ALPHA_NONE;
    std::u16string orientation; // information field 15
    // The opened file's identity; 0 when the probe cannot tell.
    uint64_t device = 0, inode = 0;
};

// Entry fields derived from a reader, as the list's icons and columns use them.
uint8_t fileKindFor(uint8_t colourModel, PixelFormat format);
char16_t sampleTypeFor(PixelFormat format);

// The world around the list: probing and side-car reading (real ones by
// default), and what the page does for the user. Every method may be
// overridden; the defaults show nothing.
class InputListHooks {
public:
    virtual ~InputListHooks() = default;
    // Opens path with content sniffing (in registry, or the process's
    // registry when null) and reports its reader's header.
    virtual ResultCode probe(const std::filesystem::path& path, ProbedImage& out);
    // Reads the side-car adjustment file of imagePath; true when one was read.
    virtual bool readSidecar(AdjustmentSettings& adjustments, const std::filesystem::path& imagePath);
    // A message box with a warning icon.
    virtual void showError(std::u16string_view /*text*/, std::u16string_view /*caption*/) {}
    // Puts a folder (with its trailing '/') at the front of the recent paths
    // of the job settings.
    virtual void rememberFolder(const std::filesystem::path& folder);
    // Wait cursor on and off around scans and clearing.
    virtual void busy(bool /*on*/) {}
    // A row was inserted at the top (new files appear first).
    virtual void rowInserted(FileEntry& /*entry*/) {}
    // Rows were removed, reordered or changed their texts.
    virtual void rowsChanged() {}
    // True when the user asked to stop the folder scan under way; the files
    // added so far stay.
    virtual bool scanStopped() { return false; }

    const FormatRegistry* registry = nullptr;
};

// Compare callbacks of the column headers: the result times direction.
using FileCompare = int (*)(const FileEntry& a, const FileEntry& b, int direction);
int fileListCompareName(const FileEntry& a, const FileEntry& b, int direction);
int fileListCompareResolution(const FileEntry& a, const FileEntry& b, int direction);
int fileListCompareBits(const FileEntry& a, const FileEntry& b, int direction);
int fileListCompareSize(const FileEntry& a, const FileEntry& b, int direction);
int fileListCompareFolder(const FileEntry& a, const FileEntry& b, int direction);

// Orientation masks and values of fileListSetOrientation.
constexpr uint8_t ORIENT_ROTATION_MASK = 3;

class InputList {
public:
    static constexpr size_t kChunkEntries = 4096;

    // hooks must outlive the list; null uses the defaults.
    explicit InputList(InputListHooks* hooks = nullptr);
    ~InputList();
    InputList(const InputList&) = delete;
    InputList& operator=(const InputList&) = delete;

    // Slots, in the order files were added; the batch walks these, skipping
    // empty ones. entryAt allocates missing chunks for a valid index.
    size_t fileCount() const { return fileCount_; }
    FileEntry& entryAt(size_t index);
    const FileEntry* slot(size_t index) const;
    size_t chunkCount() const { return chunks_.size(); }

    // Rows in display order.
    size_t rowCount() const { return rows_.size(); }
    FileEntry& row(size_t index) const { return *rows_[rows_.size() - 1 - index]; }
    std::vector<FileEntry*> rows() const { return {rows_.rbegin(), rows_.rend()}; }

    // Adds one image; RC_OK also when it was a duplicate and left alone.
    ResultCode addFile(const std::filesystem::path& path, bool showErrors, bool rememberFolder);
    // Adds every file of folder; params null scans every level without filter.
    // Files of other extensions are passed over without a word; those of
    // ours that add nothing, and folders that cannot be read, go to
    // `leftOut` when given.
    void addDirectory(const std::filesystem::path& folder, const AddDirectoryParams* params,
                      std::vector<FileNotAdded>* leftOut = nullptr);

    // Removes the rows at the given display positions.
    void removeRows(std::vector<size_t> rows);
    void clearAll();

    // A header click: ascending, or descending when the same column was the
    // last ascending sort.
    void sort(FileCompare compare);
    FileCompare lastSortCompare() const { return lastSortCompare_; }

    // new = (old & ~mask) | value for each given row.
    void setOrientation(const std::vector<size_t>& rows, uint8_t mask, uint8_t value);
    // Probes path like an input and, when it opens, gives it to every given
    // row as the alpha-plane file.
    ResultCode setAlphaPlane(const std::vector<size_t>& rows, const std::filesystem::path& path);
    void clearAlphaPlane(const std::vector<size_t>& rows);

    // The count label: "%d selected", "%d file%s" or empty.
    std::u16string countText(size_t selectedRows) const;

    InputListHooks& hooks() const { return *hooks_; }

private:
    // sidecarMayExist false: the caller knows there is no "<name>.qxa";
    // knownRegular: a folder listing says the path leads to a regular file.
    ResultCode addFile(std::filesystem::path path, bool showErrors, bool rememberFolder, bool sidecarMayExist,
                       bool knownRegular);
    bool isDuplicate(const std::filesystem::path& path, uint64_t device, uint64_t inode) const;
    void forget(FileEntry& entry);

    InputListHooks defaultHooks_;
    InputListHooks* hooks_;
    std::vector<std::unique_ptr<FileEntry[]>> chunks_;
    size_t fileCount_ = 0;
    // Bottom row first: new files appear at the top, and a scan of many
    // files must not move every row down for each one.
    std::vector<FileEntry*> rows_;
    FileCompare lastSortCompare_ = nullptr;
    // The listed paths' texts: exact, and cheap to look up in a list of
    // many thousand files.
    std::unordered_set<std::string> paths_;
    // Device and inode of each listed file, with the path that had them.
    std::map<std::pair<uint64_t, uint64_t>, std::filesystem::path> identities_;
};

// The list view's texts for a row: 0 name (with alpha file and output name),
// 1 resolution, 2 sample type and bits, 3 size, 4 folder.
std::u16string fileListColumnText(const FileEntry& entry, int column);
// The folder part of path, up to and including its last '/'; the whole path
// when it has none.
std::u16string fileListFolderText(const FileEntry& entry);
// "1 234 567": blanks between groups of three digits.
std::u16string formatGroupedNumber(uint64_t value);

// The files of one addition that could not be added, listed at most this
// many, so that the box holding them stays on the screen.
constexpr size_t kNotAddedListed = 10;
// The text of the one box that names them: each file's name and why, then
// how many more there were.
std::u16string notAddedText(const std::vector<FileNotAdded>& files);

// The OK check of the "Add directory" dialog: null when folder can be
// scanned, else the message to show (caption "Quillon").
const char16_t* addDirectoryCheck(const std::filesystem::path& folder);
// After the dialog's OK: the folder goes to the recent paths with one
// trailing '/', is stored without it, and is scanned with params.
// The files it could not add go to `leftOut` when given.
void addDirectoryAccepted(InputList& list, AddDirectoryParams& params,
                          std::vector<FileNotAdded>* leftOut = nullptr);

// The operations under the names the rest of the program knows them by.
inline FileEntry& fileListEntryAt(InputList& list, size_t index) { return list.entryAt(index); }
inline ResultCode fileListAddFile(InputList& list, const std::filesystem::path& path, bool showErrors,
                                  bool rememberFolder)
{
    return list.addFile(path, showErrors, rememberFolder);
}
inline void fileListAddDirectory(InputList& list, const std::filesystem::path& folder,
                                 const AddDirectoryParams* params)
{
    list.addDirectory(folder, params);
}
inline void fileListRemoveSelected(InputList& list, std::vector<size_t> selectedRows)
{
    list.removeRows(std::move(selectedRows));
}
inline void fileListClearAll(InputList& list) { list.clearAll(); }
inline void fileListSort(InputList& list, FileCompare compare) { list.sort(compare); }
inline void fileListSetOrientation(InputList& list, const std::vector<size_t>& selectedRows, uint8_t mask,
                                   uint8_t value)
{
    list.setOrientation(selectedRows, mask, value);
}
inline ResultCode fileListSetAlphaPlane(InputList& list, const std::vector<size_t>& selectedRows,
                                        const std::filesystem::path& path)
{
    return list.setAlphaPlane(selectedRows, path);
}
inline std::u16string fileListUpdateCount(const InputList& list, size_t selectedRows)
{
    return list.countText(selectedRows);
}

} // namespace quillon
