#include "app/input_list.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <system_error>

#include "app/job_settings.h"
#include "app/rename.h"
#include "core/format.h"
#include "core/image_reader.h"
#include "core/text.h"
#include "processing/colour_adjust.h"

namespace quillon {

namespace fs = std::filesystem;

void FileEntry::release()
{
    path.clear();
    fileName.clear();
    overrideName.clear();
    alphaFilePath.clear();
    metadataOverride.reset();
    metadataCleared = 0;
    adjustments.reset();
    width = height = 0;
    bitsPerPixel = 0;
    fileSize = 0;
    kind = 0;
    sampleType = u'?';
    hasAlpha = 0;
    device = inode = 0;
}

uint8_t fileKindFor(uint8_t colourModel, PixelFormat format)
{
    if (colourModel == 1 || colourModel == 2) return 2;
    return format == PF_INDEXED8 ? 1 : 0;
}

char16_t sampleTypeFor(PixelFormat format)
{
    switch (format) {
    case PF_RGBA8:
    case PF_GRAY8: return u'b';
    case PF_RGBA16:
    case PF_GRAY16: return u'w';
    case PF_RGBA_FLOAT:
    case PF_GRAY_FLOAT: return u'f';
    case PF_INDEXED8: return u'i';
    default: return u'?';
    }
}

namespace {

int sign(int64_t v) { return v < 0 ? -1 : (v > 0 ? 1 : 0); }

template <class T>
int compareValues(T a, T b) { return a < b ? -1 : (a > b ? 1 : 0); }

uint64_t pixelCount(const FileEntry& e) { return uint64_t(e.width) * e.height; }

// Offset of the file-name part in a path's text.
size_t nameOffset(std::u16string_view text)
{
    size_t slash = text.rfind(u'/');
    return slash == std::u16string_view::npos ? 0 : slash + 1;
}

std::u16string folderPart(const FileEntry& e)
{
    std::u16string text = pathToU16(e.path);
    text.resize(nameOffset(text));
    return text;
}

struct Identity {
    bool known = false;
    bool regular = false;
    uint64_t device = 0, inode = 0;
};

Identity identify(const fs::path& path, int* error = nullptr)
{
    Identity id;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        if (error) *error = errno;
        return id;
    }
    id.known = true;
    id.regular = S_ISREG(st.st_mode);
    id.device = uint64_t(st.st_dev);
    id.inode = uint64_t(st.st_ino);
    return id;
}

} // namespace

int fileListCompareName(const FileEntry& a, const FileEntry& b, int direction)
{
    return compareFolded(a.fileName, b.fileName) * direction;
}

int fileListCompareResolution(const FileEntry& a, const FileEntry& b, int direction)
{
    int r = compareValues(pixelCount(a), pixelCount(b));
    if (r == 0) r = compareValues(a.bitsPerPixel, b.bitsPerPixel);
    return r * direction;
}

int fileListCompareBits(const FileEntry& a, const FileEntry& b, int direction)
{
    int r = compareValues(a.bitsPerPixel, b.bitsPerPixel);
    if (r == 0) r = compareValues(pixelCount(a), pixelCount(b));
    return r * direction;
}

int fileListCompareSize(const FileEntry& a, const FileEntry& b, int direction)
{
    return compareValues(a.fileSize, b.fileSize) * direction;
}

int fileListCompareFolder(const FileEntry& a, const FileEntry& b, int direction)
{
    return sign(compareFolded(folderPart(a), folderPart(b))) * direction;
}

InputList::InputList(InputListHooks* hooks) : hooks_(hooks ? hooks : &defaultHooks_) {}

InputList::~InputList() = default;

FileEntry& InputList::entryAt(size_t index)
{
    size_t chunk = index / kChunkEntries;
    while (chunks_.size() <= chunk) chunks_.push_back(std::make_unique<FileEntry[]>(kChunkEntries));
    return chunks_[chunk][index % kChunkEntries];
}

const FileEntry* InputList::slot(size_t index) const
{
    if (index >= fileCount_) return nullptr;
    const FileEntry& e = chunks_[index / kChunkEntries][index % kChunkEntries];
    return e.used() ? &e : nullptr;
}

bool InputList::isDuplicate(const fs::path& path, uint64_t device, uint64_t inode) const
{
    if (paths_.count(path.native())) return true;
    if (inode == 0) return false;
    auto it = identities_.find({device, inode});
    if (it == identities_.end()) return false;
    // A listed file deleted since may have handed its inode to a new file:
    // only a listed file that still has this identity makes a duplicate.
    Identity listed = identify(it->second);
    return listed.known && listed.device == device && listed.inode == inode;
}

void InputList::forget(FileEntry& entry)
{
    paths_.erase(entry.path.native());
    if (entry.inode != 0) {
        auto it = identities_.find({entry.device, entry.inode});
        if (it != identities_.end() && it->second == entry.path) identities_.erase(it);
    }
}

ResultCode InputList::addFile(const fs::path& given, bool showErrors, bool rememberFolder)
{
    return addFile(given, showErrors, rememberFolder, true, false);
}

ResultCode InputList::addFile(fs::path path, bool showErrors, bool rememberFolder, bool sidecarMayExist,
                              bool knownRegular)
{
    // Entries hold full paths: a name relative to the current folder (a
    // command-line argument) would keep other folder levels, and name
    // another file once the current folder changes.
    std::error_code absEc;
    if (!path.is_absolute() && !path.empty()) {
        fs::path full = fs::absolute(path, absEc);
        if (absEc) return RC_OPEN_FAILED;
        // "./" parts name nothing; ".." stays, since through a symbolic link
        // it need not lead back where the text says.
        path.clear();
        for (const fs::path& part : full)
            if (part != ".") path /= part;
    }
    if (rememberFolder && path.has_filename()) {
        fs::path folder = path.parent_path();
        if (!folder.empty()) hooks_->rememberFolder(folder / "");
    }

    // A file from a folder listing is known to be regular; its identity
    // comes from the probe's open file, which saves a look-up per file of
    // a large folder.
    Identity id;
    if (knownRegular) id.known = id.regular = true;
    else id = identify(path);
    if (isDuplicate(path, id.device, id.known ? id.inode : 0)) return RC_OK;

    ProbedImage probed;
    // Only regular files are probed: opening a FIFO or a device could block
    // or never end.
    ResultCode rc = !id.known ? RC_OPEN_FAILED : (!id.regular ? RC_OPEN_FAILED : hooks_->probe(path, probed));
    if (failed(rc)) {
        if (showErrors) hooks_->showError(errorText(rc), u"Error - Quillon");
        return rc;
    }
    if (knownRegular) {
        if (probed.inode != 0) {
            id.device = probed.device;
            id.inode = probed.inode;
        } else {
            id = identify(path);
        }
        if (id.inode != 0 && isDuplicate(path, id.device, id.inode)) return RC_OK;
    }
    if (probed.path.empty()) probed.path = path;
    if (probed.path.native() != path.native() && paths_.count(probed.path.native())) return RC_OK;

    FileEntry& e = entryAt(fileCount_++);
    e.path = std::move(probed.path);
    std::u16string text = pathToU16(e.path);
    e.fileName = text.substr(nameOffset(text));
    e.fileSize = probed.fileSize;
    e.width = probed.width;
    e.height = probed.height;
    e.bitsPerPixel = probed.bitsPerPixel;
    e.kind = fileKindFor(probed.colourModel, probed.pixelFormat);
    e.hasAlpha = probed.alphaKind != ALPHA_NONE ? 1 : 0;
    e.sampleType = sampleTypeFor(probed.pixelFormat);
    e.device = id.device;
    e.inode = id.inode;

    auto adj = std::make_unique<AdjustmentSettings>();
    if (sidecarMayExist && hooks_->readSidecar(*adj, e.path)) {
        for (float AdjustmentSettings::*field :
             {&AdjustmentSettings::luminance, &AdjustmentSettings::red, &AdjustmentSettings::green,
              &AdjustmentSettings::blue})
            if ((*adj).*field > 1.0f) adj->setColour(field, 1.0f);
        e.adjustments = std::move(adj);
    } else {
        uint8_t orientation = orientationFromName(probed.orientation.c_str());
        if (orientation != 0) {
            adj->setOrientation(orientation);
            e.adjustments = std::move(adj);
        }
    }

    paths_.insert(e.path.native());
    if (e.inode != 0) identities_[{e.device, e.inode}] = e.path;
    rows_.push_back(&e);
    lastSortCompare_ = nullptr;
    hooks_->rowInserted(e);
    return RC_OK;
}

void InputList::addDirectory(const fs::path& folder, const AddDirectoryParams* params,
                             std::vector<FileNotAdded>* leftOut)
{
    if (folder.empty()) return;
    hooks_->busy(true);

    struct Name {
        fs::path name;
        // What the name leads to (links followed): the listing tells for
        // plain entries, so only links cost a look-up.
        fs::file_type type;
        bool operator<(const Name& other) const { return name < other.name; }
    };
    struct Level {
        fs::path folder;
        std::vector<Name> names;
        size_t next = 0;
    };
    // An error when the folder, or part of it, could not be listed.
    auto listFolder = [](const fs::path& dir, Level& level) {
        level.folder = dir;
        std::error_code ec;
        fs::directory_iterator it(dir, ec);
        for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
            std::error_code typeEc;
            fs::file_type type = it->is_directory(typeEc)      ? fs::file_type::directory
                                 : it->is_regular_file(typeEc) ? fs::file_type::regular
                                                               : fs::file_type::unknown;
            level.names.push_back({it->path().filename(), type});
        }
        // Name order, so that a scan adds the same files in the same order
        // on every run.
        std::sort(level.names.begin(), level.names.end());
        return ec;
    };
    // Every file found is named from the top folder's full path, worked out
    // once rather than once per file.
    fs::path top = folder;
    if (top.is_relative()) {
        std::error_code ec;
        fs::path full = fs::absolute(folder, ec);
        if (!ec) {
            top.clear();
            for (const fs::path& part : full)
                if (part != ".") top /= part;
        }
    }

    // Folders already entered, by identity: a symbolic link back to an
    // ancestor (or to a folder seen before) is not entered again.
    std::set<std::pair<uint64_t, uint64_t>> entered;
    Identity topId = identify(top);
    if (topId.known) entered.insert({topId.device, topId.inode});

    bool recurse = !params || params->recurse;
    bool filterOn = params && params->filterOn;
    const FormatRegistry& registry = hooks_->registry ? *hooks_->registry : formatRegistry();
    // A name the user would take for a picture of ours.
    auto leftOutIfOurs = [&](const fs::path& full, ResultCode rc) {
        if (leftOut && registry.findByExtension(full.filename(), false) >= 0) leftOut->push_back({full, rc});
    };
    // A folder that could not be read is named whatever the filter: the
    // files it holds are lost to the run as much as an unreadable picture.
    auto folderLeftOut = [&](const fs::path& dir, const std::string& why) {
        if (leftOut) leftOut->push_back({dir, RC_OPEN_FAILED, why});
    };
    std::vector<Level> stack(1);
    if (std::error_code ec = listFolder(top, stack.back())) folderLeftOut(top, ec.message());

    while (!stack.empty() && !hooks_->scanStopped()) {
        Level& level = stack.back();
        if (level.next == level.names.size()) {
            stack.pop_back();
            continue;
        }
        const Name listed = level.names[level.next++];
        const fs::path& name = listed.name;
        fs::path full = level.folder / name;
        const fs::file_type type = listed.type;
        if (type == fs::file_type::directory) {
            if (!recurse || name.native().front() == '.') continue;
            int error = 0;
            Identity id = identify(full, &error);
            if (!id.known) {
                folderLeftOut(full, std::error_code(error, std::generic_category()).message());
                continue;
            }
            if (!entered.insert({id.device, id.inode}).second) continue;
            Level child;
            if (std::error_code ec = listFolder(full, child)) folderLeftOut(full, ec.message());
            stack.push_back(std::move(child)); // `level` is not used past here
        } else {
            if (filterOn && !filterMatch(params->filter, pathToU16(name))) continue;
            // A link to nowhere, a pipe or a device: nothing to open.
            if (type != fs::file_type::regular) {
                leftOutIfOurs(full, RC_OPEN_FAILED);
                continue;
            }
            // The listing tells whether the file has a side-car, which
            // saves a failed open per file on a folder of thousands.
            fs::path sidecar = name;
            sidecar += ".qxa";
            const bool sidecarListed =
                std::binary_search(level.names.begin(), level.names.end(), Name{sidecar, fs::file_type::regular});
            const ResultCode rc = addFile(full, false, false, sidecarListed, true);
            if (failed(rc)) leftOutIfOurs(full, rc);
        }
    }
    hooks_->busy(false);
}

void InputList::removeRows(std::vector<size_t> rows)
{
    // One pass over the rows, however many go.
    std::vector<uint8_t> gone(rows_.size(), 0);
    bool any = false;
    for (size_t r : rows) {
        if (r >= rows_.size()) continue;
        gone[rows_.size() - 1 - r] = 1;
        any = true;
    }
    if (!any) return;
    size_t kept = 0;
    for (size_t i = 0; i < rows_.size(); ++i) {
        FileEntry* e = rows_[i];
        if (gone[i]) {
            forget(*e);
            e->release();
        } else {
            rows_[kept++] = e;
        }
    }
    rows_.resize(kept);
    hooks_->rowsChanged();
}

void InputList::clearAll()
{
    hooks_->busy(true);
    for (size_t i = rows_.size(); i-- > 0;) rows_[i]->release();
    rows_.clear();
    for (auto& chunk : chunks_)
        for (size_t i = 0; i < kChunkEntries; ++i) chunk[i].release();
    if (chunks_.size() > 1) chunks_.resize(1);
    fileCount_ = 0;
    paths_.clear();
    identities_.clear();
    hooks_->rowsChanged();
    hooks_->busy(false);
}

void InputList::sort(FileCompare compare)
{
    if (!compare) return;
    hooks_->busy(true);
    int direction = compare == lastSortCompare_ ? -1 : 1;
    std::stable_sort(rows_.rbegin(), rows_.rend(),
                     [&](const FileEntry* a, const FileEntry* b) { return compare(*a, *b, direction) < 0; });
    lastSortCompare_ = direction == 1 ? compare : nullptr;
    hooks_->rowsChanged();
    hooks_->busy(false);
}

void InputList::setOrientation(const std::vector<size_t>& rows, uint8_t mask, uint8_t value)
{
    for (size_t r : rows) {
        if (r >= rows_.size()) continue;
        FileEntry& e = row(r);
        if (!e.adjustments) {
            if (value == 0) continue;
            e.adjustments = std::make_unique<AdjustmentSettings>();
        }
        uint8_t old = e.adjustments->orientation;
        e.adjustments->setOrientation(uint8_t((old & ~mask) | value));
    }
    hooks_->rowsChanged();
}

ResultCode InputList::setAlphaPlane(const std::vector<size_t>& rows, const fs::path& path)
{
    Identity id = identify(path);
    ProbedImage probed;
    ResultCode rc = (!id.known || !id.regular) ? RC_OPEN_FAILED : hooks_->probe(path, probed);
    if (failed(rc)) {
        hooks_->showError(errorText(rc), u"Error - Quillon");
        return rc;
    }
    for (size_t r : rows)
        if (r < rows_.size()) row(r).alphaFilePath = path;
    hooks_->rowsChanged();
    return RC_OK;
}

void InputList::clearAlphaPlane(const std::vector<size_t>& rows)
{
    for (size_t r : rows)
        if (r < rows_.size()) row(r).alphaFilePath.clear();
    hooks_->rowsChanged();
}

std::u16string InputList::countText(size_t selectedRows) const
{
    if (selectedRows > 0) return asciiToU16(std::to_string(selectedRows)) + u" selected";
    if (rows_.empty()) return std::u16string();
    return asciiToU16(std::to_string(rows_.size())) + (rows_.size() == 1 ? u" file" : u" files");
}

std::string FileNotAdded::why() const
{
    return reason.empty() ? u16ToUtf8(errorText(rc)) : reason;
}

std::u16string notAddedText(const std::vector<FileNotAdded>& files)
{
    std::u16string text = files.size() == 1
                              ? std::u16string(u"This file could not be added:\n")
                              : u"These " + asciiToU16(std::to_string(files.size())) + u" files could not be added:\n";
    const size_t listed = std::min(files.size(), kNotAddedListed);
    for (size_t i = 0; i < listed; ++i) {
        const fs::path& path = files[i].path;
        // A folder may be named with a trailing '/'.
        const fs::path name = path.has_filename() ? path.filename() : path.parent_path().filename();
        text += u"\n" + pathToU16(name) + u": " + utf8ToU16(files[i].why());
    }
    if (files.size() > listed)
        text += u"\n...and " + asciiToU16(std::to_string(files.size() - listed)) + u" more.";
    return text;
}

std::u16string formatGroupedNumber(uint64_t value)
{
    std::string digits = std::to_string(value);
    std::u16string out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += u' ';
        out += char16_t(digits[i]);
    }
    return out;
}

std::u16string fileListFolderText(const FileEntry& entry)
{
    std::u16string folder = folderPart(entry);
    return folder.empty() ? pathToU16(entry.path) : folder;
}

std::u16string fileListColumnText(const FileEntry& entry, int column)
{
    auto number = [](int64_t v) { return asciiToU16(std::to_string(v)); };
    switch (column) {
    case 0: {
        std::u16string text = entry.fileName;
        if (!entry.alphaFilePath.empty()) {
            std::u16string alpha = pathToU16(entry.alphaFilePath);
            text += u" {image} + " + alpha.substr(nameOffset(alpha)) + u" {alpha}";
        }
        if (!entry.overrideName.empty()) text += u" -> " + entry.overrideName;
        return text;
    }
    case 1: {
        bool turned = (entry.orientation() & ORIENT_ROTATION_MASK) % 2 == 1;
        uint32_t a = turned ? entry.height : entry.width;
        uint32_t b = turned ? entry.width : entry.height;
        return number(a) + u" \u00B7 " + number(b);
    }
    case 2: return std::u16string(1, entry.sampleType) + u"|" + number(entry.bitsPerPixel);
    case 3: return formatGroupedNumber(entry.fileSize);
    case 4: return fileListFolderText(entry);
    default: return std::u16string();
    }
}

const char16_t* addDirectoryCheck(const fs::path& folder)
{
    if (folder.empty()) return u"Please select a directory first!\n\nUse the [...] button to browse...";
    std::error_code ec;
    if (!fs::is_directory(folder, ec)) return u"The directory doesn't exist!";
    return nullptr;
}

ResultCode InputListHooks::probe(const fs::path& path, ProbedImage& out)
{
    Ref<ImageReader> reader;
    ResultCode rc = imageFileOpen(reader, path, true, registry);
    if (failed(rc)) return rc;
    out.path = reader->fileName();
    out.fileSize = reader->fileSize();
    out.width = reader->width;
    out.height = reader->height;
    out.bitsPerPixel = int32_t(reader->bitsPerPixel);
    out.colourModel = reader->colourModel;
    out.pixelFormat = reader->pixelFormat;
    out.alphaKind = reader->alphaKind;
    const char16_t* orientation = reader->info.get(INFO_ORIENTATION);
    out.orientation = orientation ? orientation : u"";
    FileStamp stamp;
    if (reader->input && reader->input->stamp(&stamp)) {
        out.device = stamp.device;
        out.inode = stamp.inode;
    }
    return RC_OK;
}

void InputListHooks::rememberFolder(const fs::path& folder)
{
    mruAddPath(jobSettings().recentFolders, folder);
}

void addDirectoryAccepted(InputList& list, AddDirectoryParams& params, std::vector<FileNotAdded>* leftOut)
{
    std::string text = params.folder.native();
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    if (text.empty()) return;
    params.folder = text;
    if (text == "/") text.clear();
    list.hooks().rememberFolder(fs::path(text + "/"));
    list.addDirectory(params.folder, &params, leftOut);
}

bool InputListHooks::readSidecar(AdjustmentSettings& adjustments, const fs::path& imagePath)
{
    return adjustSidecarRead(adjustments, imagePath) != 0;
}

} // namespace quillon
