#pragma once
// The byte source every codec reads its input from. `MappedFile` is the
// interface; a file on disk is either read into a padded heap buffer (small
// files) or memory-mapped (the rest), and bytes in memory can be presented
// the same way (tests, fuzzers, images embedded in other files).
//
// Another process may truncate a file while it is mapped. Pages that vanish
// that way read as zeros instead of killing the process: a codec then sees
// a damaged file, which it must survive anyway, and the source remembers it
// (`cutShort`) so that the decode fails even where zeros are valid pixels.
#include <cstdint>
#include <filesystem>
#include <string>

#include "platform/refcount.h"

namespace quillon {

// Device, inode, size and modification time in nanoseconds: a file's
// identity beyond what the one-second time text of the information record
// can tell apart.
struct FileStamp {
    uint64_t device = 0;
    uint64_t inode = 0;
    uint64_t size = 0;
    int64_t mtimeNs = 0;
    bool operator==(const FileStamp&) const = default;
};

class MappedFile : public RefCounted {
public:
    // The whole input; never null for an opened file with data.
    virtual const uint8_t* data() const = 0;
    virtual uint64_t size() const = 0;
    virtual const std::filesystem::path& name() const = 0;
    // Last-write time in 100-ns ticks since 1601-01-01 UTC; false when the
    // source has none.
    virtual bool lastWriteTime(uint64_t* fileTime) const = 0;
    // False for sources that are not files.
    virtual bool stamp(FileStamp* out) const { (void)out; return false; }
    // True once part of the data vanished while it was being read (the
    // file was cut short under its mapping): what was read there were
    // zeros, not the file's bytes.
    virtual bool cutShort() const { return false; }

protected:
    ~MappedFile() override = default;
};

// Opens and maps a file; null when it cannot be opened, is not a regular
// file, is empty or cannot be read or mapped (the caller reports
// RC_OPEN_FAILED).
MappedFile* mappedFileOpen(const std::filesystem::path& path);

// Presents bytes in memory as a source named `name`. With `copy` the bytes
// are copied (into a padded buffer); without it they are borrowed and must
// outlive the source. Null when out of memory.
MappedFile* memoryStreamCreate(const void* data, uint64_t size, const std::filesystem::path& name,
                               bool copy = true);

// Size of the file behind an open descriptor; UINT64_MAX when it fails.
uint64_t fileGetSize(int fd);

// Stat of a path without opening it for reading; false when it fails.
bool fileStampOf(const std::filesystem::path& path, FileStamp* out, uint64_t* fileTime = nullptr);

// Files up to this size (a few hundred KiB) are read into memory instead of
// being mapped (tests change it to exercise either path).
uint64_t mappedFileHeapLimit();
void setMappedFileHeapLimit(uint64_t bytes);

// Zero bytes that follow the data of heap-held sources.
constexpr uint32_t kSourcePadding = 64;

} // namespace quillon
