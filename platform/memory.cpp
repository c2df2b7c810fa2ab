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

// Blocks from this size on are mapped directly, so that freed ones can be
// kept, cut and grown for later requests (below), and start on a huge-page
// boundary, so that a system that backs memory with huge pages by itself
// can give them some. They are not advised to use huge pages: where huge
// pages come only on request (the usual setting), a fault in an advised
// block makes one there and then, compacting memory or, in a virtual
// machine, waiting for the host to hand back memory it took while free.
// Started after another program, or after two idle seconds, a batch took
// twice as long with the advice as on small pages; huge pages came faster
// only for memory freed a moment before, which a batch meets only when it
// starts straight after another. Under the address sanitizer every block
// stays with malloc so overruns are caught.
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
    auto* header = reinterpret_cast<BlockHeader*>(data) - 1;
    header->mappedLength = keepTo - keepFrom;
    header->base = reinterpret_cast<void*>(keepFrom);
    return reinterpret_cast<void*>(data);
}

// Freed mapped blocks are kept for later requests. A batch makes image after
// image, and pages still mapped skip the kernel clearing each of them again
// on its first write, which costs as much as decoding into them. Images of a
// batch differ in size, so a kept block serves a request of any size: cut to
// it (the rest kept as a block of its own) or grown to it (only the new part
// is fresh memory). A request for zeros clears the reused part itself, which
// costs less than the kernel's faults and clearing of fresh pages.
constexpr int kSpareBlocks = 8;
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

// What the pool may hold: kept blocks are memory the process holds without
// using it, so a little more than the largest images of a batch, where the
// reuse pays, and a small share of the machine's memory.
uint64_t spareLimit() { return std::min(allocationCap() / 16, uint64_t(256) << 20); }

uint64_t capacity(const BlockHeader* header)
{
    return reinterpret_cast<uintptr_t>(header->base) + header->mappedLength - reinterpret_cast<uintptr_t>(header + 1);
}

void unmapBlock(BlockHeader* header) { munmap(header->base, size_t(header->mappedLength)); }

// Keeps a freed block, letting the oldest go while too many are kept or
// together they would hold more than spareLimit.
void keepSpare(BlockHeader* header)
{
    BlockHeader* gone[kSpareBlocks + 1];
    int goneCount = 0;
    {
        Spares& s = spares();
        std::lock_guard<std::mutex> hold(s.lock);
        const uint64_t limit = spareLimit();
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

// Cuts a kept block down to `rounded` bytes when it is more than half as
// large again. A smaller excess stays with the block: it is held either way,
// and whole, the block can serve a request of its full size later, where cut
// pieces would each be too small (in a batch whose images come in a few
// sizes the blocks settle on the largest and no page is fresh after the
// first few images). What lies beyond a cut becomes a block of its own, on
// the next huge-page boundary with its header on the page below, and goes
// back to the pool; a rest too small to be a mapped block goes back to the
// system.
void trimBlock(BlockHeader* header, uint64_t rounded)
{
    const uintptr_t page = pageSize();
    const uintptr_t data = reinterpret_cast<uintptr_t>(header + 1);
    const uintptr_t base = reinterpret_cast<uintptr_t>(header->base);
    const uintptr_t end = base + uintptr_t(header->mappedLength);
    const uintptr_t frontEnd = (data + uintptr_t(rounded) + page - 1) & ~(page - 1);
    const uint64_t excess = end - frontEnd;
    if (excess < 2 * kHugePage || excess <= rounded / 2) return;
    header->mappedLength = frontEnd - base;
    const uintptr_t tailData = (frontEnd + sizeof(BlockHeader) + kHugePage - 1) & ~(kHugePage - 1);
    if (tailData >= end || end - tailData < kMappedFrom) {
        munmap(reinterpret_cast<void*>(frontEnd), end - frontEnd);
        return;
    }
    const uintptr_t tailFrom = (tailData - sizeof(BlockHeader)) & ~(page - 1);
    if (tailFrom > frontEnd) munmap(reinterpret_cast<void*>(frontEnd), tailFrom - frontEnd);
    auto* tail = reinterpret_cast<BlockHeader*>(tailData) - 1;
    tail->mappedLength = end - tailFrom;
    tail->base = reinterpret_cast<void*>(tailFrom);
    keepSpare(tail);
}

// Addresses that one thread lets go of and another takes over through the
// kernel (a mapping moved away, another grown into the gap) are ordered by
// the kernel alone, which the thread sanitizer cannot see. Passing through
// the pool's lock on both sides of such a move states that order.
void passPoolLock() { std::lock_guard<std::mutex> hold(spares().lock); }

// Grows a kept block to `rounded` bytes, keeping the pages it has: in place
// when the addresses after it are free, else moved (the kernel moves page
// tables, not bytes) to where its data starts on a huge-page boundary again.
// Null when it cannot grow; the block is then as it was.
BlockHeader* growBlock(BlockHeader* header, uint64_t rounded)
{
    const uintptr_t page = pageSize();
    const uintptr_t base = reinterpret_cast<uintptr_t>(header->base);
    const uintptr_t offset = reinterpret_cast<uintptr_t>(header + 1) - base;
    uint64_t length;
    if (!checkedAdd(rounded, offset + page - 1, &length)) return nullptr;
    length &= ~uint64_t(page - 1);
    uint64_t reserve;
    if (!checkedAdd(length, kHugePage, &reserve) || reserve > SIZE_MAX) return nullptr;
    const size_t oldLength = size_t(header->mappedLength);
    passPoolLock();
    void* at = mremap(header->base, oldLength, size_t(length), 0);
    if (at == MAP_FAILED) {
        void* room = mmap(nullptr, size_t(reserve), PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (room == MAP_FAILED) return nullptr;
        const uintptr_t r = reinterpret_cast<uintptr_t>(room);
        const uintptr_t target = ((r + offset + kHugePage - 1) & ~(kHugePage - 1)) - offset;
        at = mremap(header->base, oldLength, size_t(length), MREMAP_MAYMOVE | MREMAP_FIXED,
                    reinterpret_cast<void*>(target));
        if (at == MAP_FAILED) {
            munmap(room, size_t(reserve));
            return nullptr;
        }
        if (target > r) munmap(room, target - r);
        if (r + reserve > target + length)
            munmap(reinterpret_cast<void*>(target + length), size_t(r + reserve - target - length));
    }
    passPoolLock();
    auto* moved = reinterpret_cast<BlockHeader*>(reinterpret_cast<uintptr_t>(at) + offset) - 1;
    moved->mappedLength = length;
    moved->base = at;
    return moved;
}

// A kept block made to hold `rounded` bytes, or null; *used is how many of
// its first bytes may hold old data (past them it is fresh, zero memory).
// The block nearest in size is taken: a cut wastes none of a larger one, a
// growth adds only what the smaller one lacks.
void* takeSpare(uint64_t rounded, uint64_t* used)
{
    BlockHeader* taken = nullptr;
    {
        Spares& s = spares();
        std::lock_guard<std::mutex> hold(s.lock);
        int best = -1;
        uint64_t bestGap = UINT64_MAX;
        for (int i = 0; i < s.count; ++i) {
            const uint64_t have = capacity(s.blocks[i]);
            const uint64_t gap = have >= rounded ? have - rounded : rounded - have;
            if (gap < bestGap) {
                best = i;
                bestGap = gap;
            }
        }
        if (best < 0) return nullptr;
        taken = s.blocks[best];
        for (int i = best; i + 1 < s.count; ++i) s.blocks[i] = s.blocks[i + 1];
        --s.count;
        s.bytes -= taken->mappedLength;
    }
    *used = capacity(taken);
    if (*used >= rounded) {
        trimBlock(taken, rounded);
        return taken + 1;
    }
    if (BlockHeader* grown = growBlock(taken, rounded)) return grown + 1;
    keepSpare(taken);
    return nullptr;
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
        uint64_t used;
        if (void* p = takeSpare(rounded, &used)) {
            if (wantZero) {
                std::memset(p, 0, size_t(std::min(used, size)));
                *zeroed = true;
            }
            return p;
        }
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

void clearAllocated(void* p, uint64_t n)
{
    auto* bytes = static_cast<uint8_t*>(p);
    if (n >= kMappedFrom) {
        // Private anonymous memory that is advised away reads back as zeros;
        // the partial pages at either end are written as usual.
        const uintptr_t page = pageSize();
        const uintptr_t start = reinterpret_cast<uintptr_t>(bytes);
        const uintptr_t from = (start + page - 1) & ~(page - 1);
        const uintptr_t to = (start + uintptr_t(n)) & ~(page - 1);
        if (to > from && madvise(reinterpret_cast<void*>(from), to - from, MADV_DONTNEED) == 0) {
            std::memset(bytes, 0, from - start);
            std::memset(reinterpret_cast<void*>(to), 0, start + uintptr_t(n) - to);
            return;
        }
    }
    std::memset(bytes, 0, static_cast<size_t>(n));
}

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
