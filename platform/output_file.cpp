#include "platform/output_file.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/memory.h"

namespace quillon {

namespace {
constexpr size_t kBufferSize = 65536;

bool writeAll(int fd, const uint8_t* p, size_t n, uint64_t at)
{
    while (n) {
        ssize_t w = ::pwrite(fd, p, n, off_t(at));
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (w == 0) return false;
        p += w;
        n -= size_t(w);
        at += uint64_t(w);
    }
    return true;
}
} // namespace

OutputFile::~OutputFile() { close(); }

ResultCode OutputFile::create(const std::filesystem::path& path)
{
    close();
    failed_ = false;
    position_ = bufferStart_ = 0;
    used_ = 0;
    path_ = path;
    if (path.empty()) return RC_CREATE_FAILED;
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd_ < 0) return RC_CREATE_FAILED;
    buffer_ = static_cast<uint8_t*>(alignedAlloc(kBufferSize));
    if (!buffer_) {
        ::close(fd_);
        fd_ = -1;
        return RC_OUT_OF_MEMORY;
    }
    return RC_OK;
}

ResultCode OutputFile::flush()
{
    if (fd_ < 0) return RC_WRITE_FAILED;
    if (used_) {
        if (!failed_ && !writeAll(fd_, buffer_, used_, bufferStart_)) failed_ = true;
        used_ = 0;
    }
    bufferStart_ = position_;
    return failed_ ? RC_WRITE_FAILED : RC_OK;
}

ResultCode OutputFile::write(const void* data, size_t size)
{
    if (fd_ < 0 || failed_) return RC_WRITE_FAILED;
    const uint8_t* p = static_cast<const uint8_t*>(data);
    if (size >= kBufferSize) {
        if (failed(flush())) return RC_WRITE_FAILED;
        if (!writeAll(fd_, p, size, position_)) {
            failed_ = true;
            return RC_WRITE_FAILED;
        }
        position_ += size;
        bufferStart_ = position_;
        return RC_OK;
    }
    if (used_ + size > kBufferSize && failed(flush())) return RC_WRITE_FAILED;
    std::memcpy(buffer_ + used_, p, size);
    used_ += size;
    position_ += size;
    return RC_OK;
}

ResultCode OutputFile::writeU16le(uint16_t v)
{
    uint8_t b[2] = {uint8_t(v), uint8_t(v >> 8)};
    return write(b, 2);
}
ResultCode OutputFile::writeU32le(uint32_t v)
{
    uint8_t b[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
    return write(b, 4);
}
ResultCode OutputFile::writeU16be(uint16_t v)
{
    uint8_t b[2] = {uint8_t(v >> 8), uint8_t(v)};
    return write(b, 2);
}
ResultCode OutputFile::writeU32be(uint32_t v)
{
    uint8_t b[4] = {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
    return write(b, 4);
}

ResultCode OutputFile::read(void* data, size_t size, size_t* got)
{
    if (got) *got = 0;
    if (fd_ < 0) return RC_READ_FAILED;
    if (failed(flush())) return RC_READ_FAILED;
    size_t done = 0;
    auto* p = static_cast<uint8_t*>(data);
    while (done < size) {
        ssize_t r = ::pread(fd_, p + done, size - done, off_t(position_ + done));
        if (r < 0) {
            if (errno == EINTR) continue;
            return RC_READ_FAILED;
        }
        if (r == 0) break;
        done += size_t(r);
    }
    position_ += done;
    bufferStart_ = position_;
    if (got) *got = done;
    return RC_OK;
}

ResultCode OutputFile::seek(uint64_t position)
{
    if (fd_ < 0) return RC_WRITE_FAILED;
    if (failed(flush())) return RC_WRITE_FAILED;
    position_ = bufferStart_ = position;
    return RC_OK;
}

uint64_t OutputFile::size()
{
    if (fd_ < 0) return 0;
    struct stat st;
    uint64_t onDisk = fstat(fd_, &st) == 0 ? uint64_t(st.st_size) : 0;
    uint64_t buffered = bufferStart_ + used_;
    return onDisk > buffered ? onDisk : buffered;
}

ResultCode OutputFile::close()
{
    if (fd_ < 0) return failed_ ? RC_WRITE_FAILED : RC_OK;
    flush();
    if (::close(fd_) != 0) failed_ = true;
    fd_ = -1;
    alignedFree(buffer_);
    buffer_ = nullptr;
    return failed_ ? RC_WRITE_FAILED : RC_OK;
}

} // namespace quillon
