#include "platform/mapped_file.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/memory.h"

namespace quillon {

namespace {

// Files up to this size are read into a heap buffer: for them one read costs
// less than setting up and tearing down a mapping (measured). Larger ones
// are mapped, so their bytes are read from the page cache where they lie
// instead of being copied into fresh pages the kernel must clear first.
constexpr uint64_t kDefaultHeapLimit = uint64_t(256) << 10;
// A file that cannot be protected against truncation while mapped (the
// table of live mappings is full) is still read into memory up to this size.
constexpr uint64_t kUnguardedCopyLimit = uint64_t(64) << 20;
std::atomic<uint64_t> g_heapLimit{kDefaultHeapLimit};

uint64_t ticksOf(const struct timespec& t)
{
    return uint64_t(int64_t(t.tv_sec) + 11644473600LL) * 10000000ULL + uint64_t(t.tv_nsec) / 100;
}

FileStamp stampOf(const struct stat& st)
{
    FileStamp s;
    s.device = uint64_t(st.st_dev);
    s.inode = uint64_t(st.st_ino);
    s.size = uint64_t(st.st_size);
    s.mtimeNs = int64_t(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
    return s;
}

// ---- protection of live mappings against truncation -------------------
//
// A page of a mapping whose file was cut short raises SIGBUS on access. The
// handler replaces that page with a zero page and lets the access repeat.
// Live mappings sit in a fixed table the handler can read without locks.

constexpr int kGuardSlots = 256;
std::atomic<uintptr_t> g_guardStart[kGuardSlots];
std::atomic<uintptr_t> g_guardEnd[kGuardSlots];
// Set by the handler when a page of the slot's mapping vanished.
std::atomic<uint8_t> g_guardCut[kGuardSlots];
struct sigaction g_previousBus;
std::once_flag g_installOnce;
bool g_installed = false;

void busHandler(int sig, siginfo_t* info, void* context)
{
    uintptr_t addr = reinterpret_cast<uintptr_t>(info ? info->si_addr : nullptr);
    for (int i = 0; i < kGuardSlots; ++i) {
        uintptr_t start = g_guardStart[i].load(std::memory_order_acquire);
        if (!start || addr < start) continue;
        if (addr >= g_guardEnd[i].load(std::memory_order_acquire)) continue;
        uintptr_t page = uintptr_t(sysconf(_SC_PAGESIZE));
        void* at = reinterpret_cast<void*>(addr & ~(page - 1));
        if (mmap(at, page, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) != MAP_FAILED) {
            g_guardCut[i].store(1, std::memory_order_release);
            return;
        }
        break;
    }
    // Not ours: behave as if we had never been installed.
    if (g_previousBus.sa_flags & SA_SIGINFO) {
        if (g_previousBus.sa_sigaction) {
            g_previousBus.sa_sigaction(sig, info, context);
            return;
        }
    } else if (g_previousBus.sa_handler != SIG_DFL && g_previousBus.sa_handler != SIG_IGN) {
        g_previousBus.sa_handler(sig);
        return;
    }
    signal(SIGBUS, SIG_DFL);
    raise(SIGBUS);
}

void installGuard()
{
    std::call_once(g_installOnce, [] {
        struct sigaction sa;
        std::memset(&sa, 0, sizeof sa);
        sa.sa_sigaction = busHandler;
        sa.sa_flags = SA_SIGINFO | SA_NODEFER;
        sigemptyset(&sa.sa_mask);
        g_installed = sigaction(SIGBUS, &sa, &g_previousBus) == 0;
    });
}

int guardAdd(const void* start, uint64_t length)
{
    installGuard();
    if (!g_installed) return -1;
    uintptr_t page = uintptr_t(sysconf(_SC_PAGESIZE));
    uintptr_t s = reinterpret_cast<uintptr_t>(start);
    uintptr_t e = (s + uintptr_t(length) + page - 1) & ~(page - 1);
    // Claim a free slot with a start no address reaches, then set its end,
    // then its real start: the handler never pairs a start with another
    // mapping's end, and a taken slot's end is never touched.
    for (int i = 0; i < kGuardSlots; ++i) {
        uintptr_t expected = 0;
        if (!g_guardStart[i].compare_exchange_strong(expected, UINTPTR_MAX, std::memory_order_acq_rel)) continue;
        g_guardEnd[i].store(e, std::memory_order_release);
        g_guardCut[i].store(0, std::memory_order_release);
        g_guardStart[i].store(s, std::memory_order_release);
        return i;
    }
    return -1;
}

void guardRemove(int slot)
{
    if (slot < 0) return;
    g_guardStart[slot].store(0, std::memory_order_release);
}

// ---- sources -------------------------------------------------------------

class HeapSource final : public MappedFile {
public:
    HeapSource(std::filesystem::path name, uint8_t* bytes, uint64_t size, bool owned, bool hasTime,
               uint64_t time, bool hasStamp, FileStamp stamp)
        : name_(std::move(name)), bytes_(bytes), size_(size), owned_(owned), hasTime_(hasTime), time_(time),
          hasStamp_(hasStamp), stamp_(stamp)
    {
    }
    const uint8_t* data() const override { return bytes_; }
    uint64_t size() const override { return size_; }
    const std::filesystem::path& name() const override { return name_; }
    bool lastWriteTime(uint64_t* fileTime) const override
    {
        if (!hasTime_) return false;
        if (fileTime) *fileTime = time_;
        return true;
    }
    bool stamp(FileStamp* out) const override
    {
        if (!hasStamp_) return false;
        if (out) *out = stamp_;
        return true;
    }

private:
    ~HeapSource() override
    {
        if (owned_) alignedFree(bytes_);
    }
    std::filesystem::path name_;
    uint8_t* bytes_;
    uint64_t size_;
    bool owned_;
    bool hasTime_;
    uint64_t time_;
    bool hasStamp_;
    FileStamp stamp_;
};

class MappedSource final : public MappedFile {
public:
    MappedSource(std::filesystem::path name, void* view, uint64_t size, uint64_t time, FileStamp stamp, int guard)
        : name_(std::move(name)), view_(view), size_(size), time_(time), stamp_(stamp), guard_(guard)
    {
    }
    const uint8_t* data() const override { return static_cast<const uint8_t*>(view_); }
    uint64_t size() const override { return size_; }
    const std::filesystem::path& name() const override { return name_; }
    bool lastWriteTime(uint64_t* fileTime) const override
    {
        if (fileTime) *fileTime = time_;
        return true;
    }
    bool stamp(FileStamp* out) const override
    {
        if (out) *out = stamp_;
        return true;
    }
    bool cutShort() const override { return guard_ >= 0 && g_guardCut[guard_].load(std::memory_order_acquire); }

private:
    ~MappedSource() override
    {
        guardRemove(guard_);
        munmap(view_, size_t(size_));
    }
    std::filesystem::path name_;
    void* view_;
    uint64_t size_;
    uint64_t time_;
    FileStamp stamp_;
    int guard_;
};

bool readAll(int fd, uint8_t* dst, uint64_t size)
{
    uint64_t done = 0;
    while (done < size) {
        ssize_t n = ::pread(fd, dst + done, size_t(size - done), off_t(done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) return false; // shrank while we read it
        done += uint64_t(n);
    }
    return true;
}

} // namespace

uint64_t mappedFileHeapLimit() { return g_heapLimit.load(std::memory_order_relaxed); }
void setMappedFileHeapLimit(uint64_t bytes)
{
    g_heapLimit.store(bytes ? bytes : kDefaultHeapLimit, std::memory_order_relaxed);
}

uint64_t fileGetSize(int fd)
{
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) return UINT64_MAX;
    return uint64_t(st.st_size);
}

bool fileStampOf(const std::filesystem::path& path, FileStamp* out, uint64_t* fileTime)
{
    struct stat st;
    if (path.empty() || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    if (out) *out = stampOf(st);
    if (fileTime) *fileTime = ticksOf(st.st_mtim);
    return true;
}

MappedFile* mappedFileOpen(const std::filesystem::path& path)
{
    if (path.empty()) return nullptr;
    // Without O_NONBLOCK a named pipe would block here until a writer came;
    // it is refused below as not a regular file. Reads of files ignore it.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0) {
        ::close(fd);
        return nullptr;
    }
    uint64_t size = uint64_t(st.st_size);
    uint64_t time = ticksOf(st.st_mtim);
    FileStamp stamp = stampOf(st);
    MappedFile* result = nullptr;
    bool copy = size <= mappedFileHeapLimit();
    if (!copy && size <= SIZE_MAX) {
        void* view = mmap(nullptr, size_t(size), PROT_READ, MAP_PRIVATE, fd, 0);
        if (view != MAP_FAILED) {
            int guard = guardAdd(view, size);
            if (guard < 0 && size <= kUnguardedCopyLimit) {
                munmap(view, size_t(size));
                copy = true;
            } else {
                result = new (std::nothrow) MappedSource(path, view, size, time, stamp, guard);
                if (!result) {
                    guardRemove(guard);
                    munmap(view, size_t(size));
                }
            }
        } else {
            copy = size <= kUnguardedCopyLimit;
        }
    }
    if (copy) {
        uint64_t total;
        if (checkedAdd(size, kSourcePadding, &total)) {
            auto* bytes = static_cast<uint8_t*>(alignedAlloc(total));
            if (bytes) {
                std::memset(bytes + size, 0, kSourcePadding);
                if (readAll(fd, bytes, size))
                    result = new (std::nothrow) HeapSource(path, bytes, size, true, true, time, true, stamp);
                if (!result) alignedFree(bytes);
            }
        }
    }
    ::close(fd);
    return result;
}

MappedFile* memoryStreamCreate(const void* data, uint64_t size, const std::filesystem::path& name, bool copy)
{
    if (!copy) {
        return new (std::nothrow)
            HeapSource(name, const_cast<uint8_t*>(static_cast<const uint8_t*>(data)), size, false, false, 0, false, {});
    }
    uint64_t total;
    if (!checkedAdd(size, kSourcePadding, &total)) return nullptr;
    auto* bytes = static_cast<uint8_t*>(alignedAlloc(total));
    if (!bytes) return nullptr;
    if (size) std::memcpy(bytes, data, size_t(size));
    std::memset(bytes + size, 0, kSourcePadding);
    MappedFile* result = new (std::nothrow) HeapSource(name, bytes, size, true, false, 0, false, {});
    if (!result) alignedFree(bytes);
    return result;
}

} // namespace quillon
