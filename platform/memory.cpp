#include "platform/memory.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace quillon {

namespace {

std::atomic<uint64_t> g_capOverride{0};
std::atomic<uint64_t> g_systemCap{0};

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

void* alignedAlloc(uint64_t size)
{
    if (size == 0 || size > allocationCap()) return nullptr;
    // Round up so the block is a whole number of 16-byte groups; kernels read
    // and write in such groups.
    uint64_t rounded;
    if (!checkedAdd(size, 15, &rounded)) return nullptr;
    rounded &= ~uint64_t(15);
    if (rounded > SIZE_MAX) return nullptr;
    return std::aligned_alloc(16, static_cast<size_t>(rounded));
}

void* alignedAllocZero(uint64_t size)
{
    void* p = alignedAlloc(size);
    if (p) std::memset(p, 0, static_cast<size_t>(size));
    return p;
}

void alignedFree(void* block) { std::free(block); }

} // namespace quillon
