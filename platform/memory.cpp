#include "platform/memory.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include <sys/mman.h>
#include <unistd.h>

namespace quillon {

namespace {

std::atomic<uint64_t> g_capOverride{0};
std::atomic<uint64_t> g_systemCap{0};
std::atomic<int> g_fill{-1};

uint64_t readMeminfoKb(const char* text, const char* key)
{
    const char* p = std::strstr(text, key);
    if (!p) return 0;
    p += std::strlen(key);
    while (*p == ' ' || *p == ':' || *p == '\t') ++p;
    return std::strtoull(p, nullptr, 10);
}

} // namespace

uint64_t availableMemory()
{
    std::FILE* f = std::fopen("/proc/meminfo", "r");
    if (!f) return 0;
    char buf[8192];
    size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    buf[n] = 0;
    uint64_t kb = readMeminfoKb(buf, "MemAvailable") + readMeminfoKb(buf, "SwapFree");
    return kb * 1024;
}

uint64_t allocationCap()
{
    if (uint64_t o = g_capOverride.load(std::memory_order_relaxed)) return o;
    uint64_t cap = g_systemCap.load(std::memory_order_relaxed);
    if (!cap) {
        // Read once: the figure is a sanity bound on single blocks, not a
        // budget, so it need not track the machine's load.
        cap = availableMemory();
        if (!cap) cap = uint64_t(8) << 30;
        g_systemCap.store(cap, std::memory_order_relaxed);
    }
    return cap;
}

void setAllocationCap(uint64_t bytes) { g_capOverride.store(bytes, std::memory_order_relaxed); }

namespace {

#if defined(__SANITIZE_ADDRESS__)
#define QUILLON_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUILLON_ADDRESS_SANITIZER 1
#endif
#endif

// Blocks from this size on are mapped directly and advised to use huge
// pages. Pixel buffers are written end to end right after they are made,
// and on 4 KiB pages every first touch is a fault: a 100 MB image costs some
// 25,000 of them, which can take longer than decoding the image. Under the
// address sanitizer every block stays with malloc so overruns are caught.
#if defined(QUILLON_ADDRESS_SANITIZER)
constexpr uint64_t kMappedFrom = UINT64_MAX;
#else
constexpr uint64_t kMappedFrom = uint64_t(4) << 20;
#endif
constexpr uintptr_t kHugePage = uintptr_t(2) << 20;

// Sits in the 16 bytes before every block, so alignedFree knows how the
// block was obtained.
struct BlockHeader {
    uint64_t mappedLength;  // 0: from malloc
    void* base;             // what to hand back
};
static_assert(sizeof(BlockHeader) == 16);

uintptr_t pageSize()
{
    static const uintptr_t size = [] {
        long s = sysconf(_SC_PAGESIZE);
        return s > 0 ? uintptr_t(s) : uintptr_t(4096);
    }();
    return size;
}

void* mapBlock(uint64_t rounded)
{
    const uintptr_t page = pageSize();
    // Room to place the block on a huge-page boundary with its header on the
    // page below.
    uint64_t length;
    if (!checkedAdd(rounded, kHugePage + page, &length) || length > SIZE_MAX) return nullptr;
    length &= ~uint64_t(page - 1);
    void* raw = mmap(nullptr, size_t(length), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    const uintptr_t start = reinterpret_cast<uintptr_t>(raw);
    const uintptr_t data = (start + sizeof(BlockHeader) + kHugePage - 1) & ~(kHugePage - 1);
    // Give back what the alignment left over on either side.
    const uintptr_t keepFrom = (data - sizeof(BlockHeader)) & ~(page - 1);
    const uintptr_t keepTo = (data + uintptr_t(rounded) + page - 1) & ~(page - 1);
    if (keepFrom > start) munmap(raw, keepFrom - start);
    if (start + length > keepTo) munmap(reinterpret_cast<void*>(keepTo), start + length - keepTo);
    // Advice only: without it (or with huge pages switched off) the block
    // works the same, just with more faults.
    madvise(reinterpret_cast<void*>(data), size_t(rounded), MADV_HUGEPAGE);
    auto* header = reinterpret_cast<BlockHeader*>(data) - 1;
    header->mappedLength = keepTo - keepFrom;
    header->base = reinterpret_cast<void*>(keepFrom);
    return reinterpret_cast<void*>(data);
}

// Freed mapped blocks are kept, a few of the most recent, for later
// requests of about their size. A batch makes image after image of much the
// same size, and pages still mapped skip the kernel clearing each of them
// again on its first write, which costs as much as decoding into them. Only
// requests that need no zero fill take them.
constexpr int kSpareBlocks = 4;
struct Spares {
    std::mutex lock;
    BlockHeader* blocks[kSpareBlocks] = {};  // most recent first
    int count = 0;
    uint64_t bytes = 0;
};
Spares& spares()
{
    static Spares s;
    return s;
}

uint64_t capacity(const BlockHeader* header)
{
    return reinterpret_cast<uintptr_t>(header->base) + header->mappedLength - reinterpret_cast<uintptr_t>(header + 1);
}

void unmapBlock(BlockHeader* header) { munmap(header->base, size_t(header->mappedLength)); }

void* takeSpare(uint64_t rounded)
{
    Spares& s = spares();
    std::lock_guard<std::mutex> hold(s.lock);
    int best = -1;
    for (int i = 0; i < s.count; ++i) {
        const uint64_t have = capacity(s.blocks[i]);
        // A much larger block would hold memory the request does not need.
        if (have >= rounded && rounded >= have - have / 4 && (best < 0 || have < capacity(s.blocks[best]))) best = i;
    }
    if (best < 0) return nullptr;
    BlockHeader* taken = s.blocks[best];
    for (int i = best; i + 1 < s.count; ++i) s.blocks[i] = s.blocks[i + 1];
    --s.count;
    s.bytes -= taken->mappedLength;
    return taken + 1;
}

// Keeps a freed block, letting the oldest go while more than a few are kept
// or together they would hold more than an eighth of the memory cap or
// 1 GiB: kept blocks are memory the process holds without using it.
void keepSpare(BlockHeader* header)
{
    BlockHeader* gone[kSpareBlocks + 1];
    int goneCount = 0;
    {
        Spares& s = spares();
        std::lock_guard<std::mutex> hold(s.lock);
        const uint64_t limit = std::min(allocationCap() / 8, uint64_t(1) << 30);
        if (header->mappedLength > limit) {
            gone[goneCount++] = header;
        } else {
            while (s.count == kSpareBlocks || (s.count > 0 && s.bytes + header->mappedLength > limit)) {
                gone[goneCount++] = s.blocks[--s.count];
                s.bytes -= gone[goneCount - 1]->mappedLength;
            }
            for (int i = s.count; i > 0; --i) s.blocks[i] = s.blocks[i - 1];
            s.blocks[0] = header;
            ++s.count;
            s.bytes += header->mappedLength;
        }
    }
    for (int i = 0; i < goneCount; ++i) unmapBlock(gone[i]);
}

// The block and whether it is known to be zero-filled already.
void* allocateBlock(uint64_t size, bool wantZero, bool* zeroed)
{
    *zeroed = false;
    if (size == 0 || size > allocationCap()) return nullptr;
    // Round up so the block is a whole number of 16-byte groups; kernels read
    // and write in such groups.
    uint64_t rounded;
    if (!checkedAdd(size, 15, &rounded)) return nullptr;
    rounded &= ~uint64_t(15);
    if (rounded >= kMappedFrom) {
        if (!wantZero)
            if (void* p = takeSpare(rounded)) return p;
        if (void* p = mapBlock(rounded)) {
            *zeroed = true;
            return p;
        }
    }
    uint64_t total;
    if (!checkedAdd(rounded, sizeof(BlockHeader), &total) || total > SIZE_MAX) return nullptr;
    void* raw = std::aligned_alloc(16, static_cast<size_t>(total));
    if (!raw) return nullptr;
    auto* header = static_cast<BlockHeader*>(raw);
    header->mappedLength = 0;
    header->base = raw;
    return header + 1;
}

} // namespace

void* alignedAlloc(uint64_t size)
{
    bool zeroed;
    void* p = allocateBlock(size, false, &zeroed);
    const int fill = g_fill.load(std::memory_order_relaxed);
    if (p && fill >= 0) std::memset(p, fill, static_cast<size_t>(size));
    return p;
}

void setAllocationFill(int byte) { g_fill.store(byte, std::memory_order_relaxed); }

void* alignedAllocZero(uint64_t size)
{
    bool zeroed;
    void* p = allocateBlock(size, true, &zeroed);
    if (p && !zeroed) std::memset(p, 0, static_cast<size_t>(size));
    return p;
}

void alignedFree(void* block)
{
    if (!block) return;
    BlockHeader* header = static_cast<BlockHeader*>(block) - 1;
    if (!header->mappedLength) {
        std::free(header->base);
        return;
    }
    keepSpare(header);
}

void releaseSpareMemory()
{
    BlockHeader* gone[kSpareBlocks];
    int goneCount = 0;
    {
        Spares& s = spares();
        std::lock_guard<std::mutex> hold(s.lock);
        while (s.count > 0) gone[goneCount++] = s.blocks[--s.count];
        s.bytes = 0;
    }
    for (int i = 0; i < goneCount; ++i) unmapBlock(gone[i]);
}

bool PageToucher::touchNext(uint64_t firstRow)
{
    uint64_t at = std::max(next_, firstRow * stride_);
    while (at < end_ && at % stride_ >= rowBytes_) at = (at / stride_ + 1) * stride_;
    if (at >= end_) return false;
    *static_cast<volatile uint8_t*>(base_ + at) = 0;
    const uintptr_t address = reinterpret_cast<uintptr_t>(base_ + at);
    next_ = at + (pageSize() - address % pageSize());
    return true;
}

} // namespace quillon
