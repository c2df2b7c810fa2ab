#pragma once
// The file a writer produces: created anew (an existing file is emptied),
// opened for reading and writing, written through a small buffer, every
// write checked. Closed by its destructor.
#include <cstddef>
#include <cstdint>
#include <filesystem>

#include "core/result.h"

namespace quillon {

class OutputFile {
public:
    OutputFile() = default;
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // RC_CREATE_FAILED when the file cannot be created.
    ResultCode create(const std::filesystem::path& path);
    bool isOpen() const { return fd_ >= 0; }
    const std::filesystem::path& path() const { return path_; }

    // RC_WRITE_FAILED when the file is not open or the data cannot be
    // written; once a write has failed every later one fails too.
    ResultCode write(const void* data, size_t size);
    ResultCode writeU8(uint8_t v) { return write(&v, 1); }
    ResultCode writeU16le(uint16_t v);
    ResultCode writeU32le(uint32_t v);
    ResultCode writeU16be(uint16_t v);
    ResultCode writeU32be(uint32_t v);
    // Reads back what was written (some formats patch their headers from
    // it); *got receives the byte count. RC_READ_FAILED on error.
    ResultCode read(void* data, size_t size, size_t* got);
    ResultCode seek(uint64_t position);
    uint64_t tell() const { return position_; }
    // Current length of the file, buffered bytes included.
    uint64_t size();
    // Writes out the buffer; RC_WRITE_FAILED on error.
    ResultCode flush();
    // Flushes and closes; RC_WRITE_FAILED when anything failed on the way.
    ResultCode close();
    // True once any write failed.
    bool failedWrite() const { return failed_; }

private:
    int fd_ = -1;
    std::filesystem::path path_;
    uint64_t position_ = 0;  // logical position (buffer included)
    uint64_t bufferStart_ = 0;
    size_t used_ = 0;
    bool failed_ = false;
    uint8_t* buffer_ = nullptr;
};

} // namespace quillon
