#include "platform/memory.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/refcount.h"

using namespace quillon;

TEST(Memory, AlignedAllocationAndCap)
{
    void* p = alignedAlloc(1);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u);
    alignedFree(p);
    EXPECT_EQ(alignedAlloc(0), nullptr);
    EXPECT_EQ(alignedAlloc(UINT64_MAX), nullptr);
    EXPECT_EQ(alignedAlloc(UINT64_MAX - 3), nullptr); // rounding must not wrap
    EXPECT_GT(availableMemory(), 0u);
    setAllocationCap(4096);
    EXPECT_EQ(alignedAlloc(4097), nullptr);
    void* q = alignedAllocZero(4096);
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(static_cast<uint8_t*>(q)[4095], 0);
    alignedFree(q);
    setAllocationCap(0);
    EXPECT_GT(allocationCap(), 4096u);
}

TEST(Memory, CheckedArithmetic)
{
    uint64_t r = 7;
    EXPECT_FALSE(checkedMul(uint64_t(1) << 40, uint64_t(1) << 30, &r));
    EXPECT_EQ(r, 7u);
    EXPECT_TRUE(checkedMul(1000, 1000, &r));
    EXPECT_EQ(r, 1000000u);
    EXPECT_FALSE(checkedAdd(UINT64_MAX, 1, &r));
    AlignedBuffer<uint32_t> big;
    EXPECT_FALSE(big.allocate(uint64_t(1) << 62));
    EXPECT_FALSE(big);
    AlignedBuffer<uint32_t> small(10, true);
    ASSERT_TRUE(small);
    EXPECT_EQ(small[9], 0u);
}

namespace {
struct Counted : RefCounted {
    static inline int alive = 0;
    Counted() { ++alive; }
    ~Counted() override { --alive; }
};
} // namespace

TEST(RefCount, ReleaseAtZeroAndRefHolder)
{
    auto* c = new Counted;
    EXPECT_EQ(c->refCount(), 1u);
    c->addRef();
    objectRelease(c);
    EXPECT_EQ(Counted::alive, 1);
    {
        Ref<Counted> a = Ref<Counted>::adopt(c);
        Ref<Counted> b = a;
        EXPECT_EQ(c->refCount(), 2u);
        Ref<Counted> moved = std::move(b);
        EXPECT_FALSE(b);
    }
    EXPECT_EQ(Counted::alive, 0);
    objectRelease(nullptr);
}

#include "core/byte_cursor.h"

TEST(ByteCursor, ReadsPastTheEndYieldZeroAndStick)
{
    const uint8_t bytes[] = {1, 2, 3, 4, 5};
    ByteCursor c(bytes, sizeof bytes);
    EXPECT_EQ(c.u16be(), 0x0102);
    EXPECT_EQ(c.u16le(), 0x0403);
    EXPECT_FALSE(c.overrun());
    EXPECT_EQ(c.u32le(), 0u); // only one byte left
    EXPECT_TRUE(c.overrun());
    EXPECT_TRUE(c.atEnd());
    ByteCursor d(bytes, sizeof bytes);
    EXPECT_FALSE(d.seek(6));
    EXPECT_TRUE(d.overrun());
    ByteCursor e(bytes, sizeof bytes);
    EXPECT_TRUE(e.skip(5));
    EXPECT_EQ(e.take(1), nullptr);
    ByteCursor f(bytes, sizeof bytes);
    EXPECT_FALSE(f.skip(SIZE_MAX)); // no wrap-around
    EXPECT_EQ(f.u8(), 0);
}

namespace {

// The smaps entry of the mapping that holds p.
std::string smapsEntryFor(const void* p)
{
    std::FILE* f = std::fopen("/proc/self/smaps", "r");
    if (!f) return {};
    const uintptr_t at = reinterpret_cast<uintptr_t>(p);
    std::string entry;
    bool inside = false;
    char line[512];
    while (std::fgets(line, sizeof line, f)) {
        unsigned long lo, hi;
        if (std::sscanf(line, "%lx-%lx ", &lo, &hi) == 2 && std::strchr(line, '-') < std::strchr(line, ' ')) {
            if (inside) break;
            inside = at >= lo && at < hi;
        }
        if (inside) entry += line;
    }
    std::fclose(f);
    return entry;
}

// Whether the mapping's flags (smaps' "VmFlags" line) ask for huge pages.
bool advisedHugePages(const std::string& entry)
{
    const size_t at = entry.find("VmFlags:");
    if (at == std::string::npos) return false;
    const std::string flags = " " + entry.substr(at + 8, entry.find('\n', at) - at - 8) + " ";
    return flags.find(" hg ") != std::string::npos;
}

// Pins the allocation cap, and with it what the pool of kept blocks may hold
// (a sixteenth of the cap, at most 256 MiB), for one test. Left to the
// system, the cap is the memory that was free when the process first asked,
// which on a busy machine can leave the pool too small to keep the blocks
// these tests expect kept.
class PinnedCap {
public:
    explicit PinnedCap(uint64_t bytes = uint64_t(8) << 30) { setAllocationCap(bytes); }
    ~PinnedCap() { setAllocationCap(0); }
    PinnedCap(const PinnedCap&) = delete;
    PinnedCap& operator=(const PinnedCap&) = delete;
};

} // namespace

// Large blocks take another path than small ones; both must give whole,
// writable, aligned blocks that alignedFree takes back, zeroed on request
// (a small block freed and asked for again is usually the same memory).
TEST(Memory, SmallAndLargeBlocksAreWholeAndZeroed)
{
    for (uint64_t size : {uint64_t(4096), uint64_t(4) << 20, (uint64_t(4) << 20) + 1, uint64_t(9437185), uint64_t(64) << 20}) {
        auto* p = static_cast<uint8_t*>(alignedAllocZero(size));
        ASSERT_NE(p, nullptr) << size;
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u);
        for (uint64_t i = 0; i < size; i += 4093) ASSERT_EQ(p[i], 0) << size << " at " << i;
        EXPECT_EQ(p[size - 1], 0);
        std::memset(p, 0xA5, size_t(size));
        alignedFree(p);
        // The same size again must be zeroed too, whatever memory it reuses.
        p = static_cast<uint8_t*>(alignedAllocZero(size));
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(p[size / 2], 0);
        EXPECT_EQ(p[size - 1], 0);
        alignedFree(p);
    }
    // Mixed sizes freed out of order.
    std::vector<void*> blocks;
    for (int i = 0; i < 24; ++i) blocks.push_back(alignedAlloc((uint64_t(1) << (10 + i % 14)) + uint64_t(i)));
    for (size_t i = 0; i < blocks.size(); i += 2) alignedFree(blocks[i]);
    for (size_t i = 1; i < blocks.size(); i += 2) alignedFree(blocks[i]);
}

// The page toucher writes into the pixel bytes of the rows from the one it is
// given on, reaches every page those bytes lie on, and leaves the bytes
// between rows (another owner's, or padding) and the rows before alone.
TEST(PageToucher, TouchesEveryPageOfTheRowsAheadAndNothingElse)
{
    struct Layout {
        size_t stride, rowBytes;
        uint32_t rows, firstRow;
    };
    // Rows sharing pages, rows spanning pages, and padding wider than a page.
    for (const Layout& l : {Layout{1000, 1000, 40, 0}, Layout{5000, 4000, 12, 3}, Layout{20000, 3000, 6, 1},
                            Layout{4096, 4095, 9, 8}}) {
        const size_t page = size_t(sysconf(_SC_PAGESIZE));
        const size_t bytes = l.stride * l.rows;
        auto* block = static_cast<uint8_t*>(alignedAlloc(bytes + page));
        ASSERT_NE(block, nullptr);
        // Off a page boundary, as an image's first row may be.
        uint8_t* base = block + 100;
        std::memset(base, 0xA5, bytes);
        PageToucher toucher(base, l.stride, l.rowBytes, l.rows);
        uint32_t touches = 0;
        while (toucher.touchNext(l.firstRow)) ASSERT_LT(++touches, 100000u);
        EXPECT_FALSE(toucher.touchNext(0));  // never goes back
        // Pages holding pixel bytes of the rows ahead, and those touched.
        std::set<uintptr_t> pixelPages, touchedPages;
        for (size_t at = 0; at < bytes; ++at) {
            const size_t row = at / l.stride, column = at % l.stride;
            const uintptr_t pageOf = reinterpret_cast<uintptr_t>(base + at) / page;
            if (row < l.firstRow || column >= l.rowBytes) {
                ASSERT_EQ(base[at], 0xA5) << "row " << row << " column " << column;
                continue;
            }
            pixelPages.insert(pageOf);
            if (base[at] == 0) touchedPages.insert(pageOf);
        }
        EXPECT_EQ(touchedPages, pixelPages);
        const size_t pagesWithPixels = pixelPages.size();
        EXPECT_LE(touches, pagesWithPixels);
        alignedFree(block);
    }
}

// A freed large block is kept for the next request of about its size: a
// batch makes image after image alike, and pages still mapped need not be
// cleared by the kernel again.
TEST(MemoryReuse, FreedLargeBlockServesTheNextOfItsSize)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "large blocks stay with malloc under the address sanitizer";
#endif
    PinnedCap cap;
    releaseSpareMemory();
    const uint64_t size = uint64_t(12) << 20;
    void* first = alignedAlloc(size);
    ASSERT_NE(first, nullptr);
    std::memset(first, 0x5A, size_t(size));
    alignedFree(first);
    void* again = alignedAlloc(size - 100000);
    EXPECT_EQ(again, first);
    std::memset(again, 0x5A, size_t(size - 100000));
    alignedFree(again);
    // A request for zeros gets the used block too, cleared.
    auto* zero = static_cast<uint8_t*>(alignedAllocZero(size));
    ASSERT_NE(zero, nullptr);
    EXPECT_EQ(static_cast<void*>(zero), again);
    for (uint64_t i = 0; i < size; i += 4093) ASSERT_EQ(zero[i], 0) << i;
    EXPECT_EQ(zero[size - 1], 0);
    alignedFree(zero);
    // Blocks of two sizes freed together (an image and its resized copy)
    // both serve the next pair.
    void* big = alignedAlloc(size);
    void* mid = alignedAlloc(size / 2);
    ASSERT_NE(big, nullptr);
    ASSERT_NE(mid, nullptr);
    alignedFree(big);
    alignedFree(mid);
    void* big2 = alignedAlloc(size);
    void* mid2 = alignedAlloc(size / 2);
    EXPECT_EQ(big2, big);
    EXPECT_EQ(mid2, mid);
    alignedFree(big2);
    alignedFree(mid2);
    releaseSpareMemory();
}

namespace {

// Four threads each make and free `rounds` blocks at once, of the size
// sizeOf(thread, round), zero-filled where zeroed(thread, round) says: every
// block is marked on each page, the thread yields, and the marks are checked
// before the block is freed. Returns how many marks (or zero-filled pages)
// were not as expected: a block handed to two owners shows as one.
template <class SizeOf, class Zeroed>
int sharedBlockFaults(int rounds, SizeOf sizeOf, Zeroed zeroed)
{
    constexpr int kThreads = 4;
    std::atomic<int> faults{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int r = 0; r < rounds; ++r) {
                const uint64_t size = sizeOf(t, r);
                const bool zero = zeroed(t, r);
                auto* p = static_cast<uint8_t*>(zero ? alignedAllocZero(size) : alignedAlloc(size));
                if (!p) {
                    ++faults;
                    return;
                }
                const uint8_t mark = uint8_t(t * 64 + r + 1);
                for (uint64_t i = 0; i < size; i += 4096) {
                    if (zero && p[i] != 0) ++faults;
                    p[i] = mark;
                }
                p[size - 1] = mark;
                std::this_thread::yield();
                for (uint64_t i = 0; i < size; i += 4096)
                    if (p[i] != mark) ++faults;
                if (p[size - 1] != mark) ++faults;
                alignedFree(p);
            }
        });
    for (std::thread& th : threads) th.join();
    return faults.load();
}

} // namespace

// Threads making and freeing large blocks of nearly the same size at once,
// as the decoder's read-ahead does beside the batch: no block may be handed
// to two owners, and zero-filled requests stay zero.
TEST(MemoryReuse, LiveBlocksNeverShareMemory)
{
    PinnedCap cap;
    const uint64_t base = uint64_t(6) << 20;
    EXPECT_EQ(sharedBlockFaults(
                  60, [&](int t, int r) { return base + uint64_t((t * 7 + r) % 5) * 65536; },
                  [](int t, int r) { return (r + t) % 3 == 0; }),
              0);
    releaseSpareMemory();
}

namespace {

// Anonymous memory the process holds, from the kernel's own count: resident
// or, when the machine is short of memory, swapped out.
uint64_t anonymousResident()
{
    std::FILE* f = std::fopen("/proc/self/status", "r");
    if (!f) return 0;
    char line[256];
    unsigned long long kb = 0, total = 0;
    while (std::fgets(line, sizeof line, f))
        if (std::sscanf(line, "RssAnon: %llu kB", &kb) == 1 || std::sscanf(line, "VmSwap: %llu kB", &kb) == 1)
            total += kb;
    std::fclose(f);
    return uint64_t(total) << 10;
}

bool holds(const uint8_t* p, uint64_t from, uint64_t to, uint8_t value)
{
    for (uint64_t i = from; i < to; i += 4093)
        if (p[i] != value) return false;
    return p[to - 1] == value;
}

} // namespace

// The images of a batch differ in size. A kept block serves a smaller request
// from its front and keeps the rest for the next one; a smaller kept block
// grows to a larger request with the pages it had (their old bytes show that
// they were not cleared again).
TEST(MemoryReuse, KeptBlocksServeRequestsOfOtherSizes)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "large blocks stay with malloc under the address sanitizer";
#endif
    PinnedCap cap;
    releaseSpareMemory();
    const uint64_t mib = uint64_t(1) << 20;
    auto* big = static_cast<uint8_t*>(alignedAlloc(40 * mib));
    ASSERT_NE(big, nullptr);
    std::memset(big, 0x11, size_t(40 * mib));
    alignedFree(big);
    // A request not much smaller takes the block whole, so that a later
    // request of the full size still finds it.
    auto* most = static_cast<uint8_t*>(alignedAlloc(32 * mib));
    ASSERT_EQ(most, big);
    alignedFree(most);
    auto* whole = static_cast<uint8_t*>(alignedAlloc(40 * mib));
    ASSERT_EQ(whole, big);
    EXPECT_TRUE(holds(whole, 0, 40 * mib, 0x11));
    alignedFree(whole);
    // Less than half the size: the front of the kept block.
    auto* front = static_cast<uint8_t*>(alignedAlloc(15 * mib));
    ASSERT_EQ(front, big);
    // The rest of it serves the next request, after the front and within it.
    auto* rest = static_cast<uint8_t*>(alignedAlloc(20 * mib));
    ASSERT_NE(rest, nullptr);
    EXPECT_GE(rest, front + 15 * mib);
    EXPECT_LE(rest + 20 * mib, big + 40 * mib);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(rest) % 16, 0u);
    EXPECT_TRUE(holds(rest, 0, 20 * mib, 0x11));
    std::memset(front, 0x22, size_t(15 * mib));
    std::memset(rest, 0x33, size_t(20 * mib));
    EXPECT_TRUE(holds(front, 0, 15 * mib, 0x22));
    alignedFree(rest);
    alignedFree(front);
    releaseSpareMemory();

    // Growing: the kept pages come along, the new ones are fresh.
    auto* small = static_cast<uint8_t*>(alignedAlloc(6 * mib));
    ASSERT_NE(small, nullptr);
    std::memset(small, 0x44, size_t(6 * mib));
    alignedFree(small);
    auto* grown = static_cast<uint8_t*>(alignedAlloc(30 * mib));
    ASSERT_NE(grown, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(grown) % (uintptr_t(2) << 20), 0u);
    EXPECT_TRUE(holds(grown, 0, 6 * mib, 0x44));
    EXPECT_TRUE(holds(grown, 8 * mib, 30 * mib, 0));
    std::memset(grown, 0x55, size_t(30 * mib));
    // A block made meanwhile must not overlap it.
    auto* other = static_cast<uint8_t*>(alignedAlloc(6 * mib));
    ASSERT_NE(other, nullptr);
    std::memset(other, 0x66, size_t(6 * mib));
    EXPECT_TRUE(holds(grown, 0, 30 * mib, 0x55));
    alignedFree(other);
    alignedFree(grown);
    // Zeros asked of a grown block: the kept part is cleared, the new part
    // comes clear.
    auto* zeros = static_cast<uint8_t*>(alignedAllocZero(50 * mib));
    ASSERT_NE(zeros, nullptr);
    EXPECT_TRUE(holds(zeros, 0, 50 * mib, 0));
    alignedFree(zeros);
    releaseSpareMemory();
}

// Large blocks, fresh or grown from a kept one, ask for no huge pages: where
// the system makes them only on request, each fault in an advised block
// makes one there and then, which after another program has run costs more
// than small pages. They still start on a huge-page boundary, for a system
// that hands out huge pages by itself.
TEST(Memory, LargeBlocksAskForNoHugePages)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "large blocks stay with malloc under the address sanitizer";
#endif
    PinnedCap cap;
    releaseSpareMemory();
    const uint64_t mib = uint64_t(1) << 20;
    auto* fresh = static_cast<uint8_t*>(alignedAlloc(16 * mib));
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(fresh) % (uintptr_t(2) << 20), 0u);
    std::memset(fresh, 0x77, size_t(16 * mib));
    std::string entry = smapsEntryFor(fresh);
    ASSERT_NE(entry.find("VmFlags:"), std::string::npos) << entry;
    EXPECT_FALSE(advisedHugePages(entry)) << entry;
    alignedFree(fresh);
    // The kept block grows to the larger request, its bytes coming along.
    auto* grown = static_cast<uint8_t*>(alignedAlloc(40 * mib));
    ASSERT_NE(grown, nullptr);
    ASSERT_TRUE(holds(grown, 0, 16 * mib, 0x77));
    std::memset(grown, 0x78, size_t(40 * mib));
    entry = smapsEntryFor(grown);
    ASSERT_NE(entry.find("VmFlags:"), std::string::npos) << entry;
    EXPECT_FALSE(advisedHugePages(entry)) << entry;
    alignedFree(grown);
    releaseSpareMemory();
}

// However many blocks are freed, the pool keeps a bounded amount: the memory
// the process holds after a burst of large images falls back.
TEST(Memory, KeptBlocksStayBounded)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "large blocks stay with malloc under the address sanitizer";
#endif
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the thread sanitizer's shadow of freed blocks counts as resident";
#endif
    PinnedCap cap;
    releaseSpareMemory();
    const uint64_t mib = uint64_t(1) << 20;
    const uint64_t before = anonymousResident();
    ASSERT_GT(before, 0u);
    std::vector<void*> blocks;
    for (int i = 0; i < 12; ++i) {
        const uint64_t size = (40 + uint64_t(i) * 7) * mib;
        void* p = alignedAlloc(size);
        ASSERT_NE(p, nullptr);
        std::memset(p, 1, size_t(size));
        blocks.push_back(p);
    }
    EXPECT_GT(anonymousResident(), before + 700 * mib);
    for (void* p : blocks) alignedFree(p);
    EXPECT_LT(anonymousResident(), before + 300 * mib);
    releaseSpareMemory();
    EXPECT_LT(anonymousResident(), before + 40 * mib);
}

// On a machine with little memory the pool keeps a sixteenth of what a
// single block may take: under a cap of 256 MiB, one block of 12 MiB, not
// the eight freed, and that one still serves the next request of its size.
TEST(Memory, KeptBlocksStayWithinASmallCapsShare)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "large blocks stay with malloc under the address sanitizer";
#endif
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the thread sanitizer's shadow of freed blocks counts as resident";
#endif
    PinnedCap cap(uint64_t(256) << 20);
    releaseSpareMemory();
    const uint64_t mib = uint64_t(1) << 20;
    const uint64_t before = anonymousResident();
    ASSERT_GT(before, 0u);
    std::vector<void*> blocks;
    for (int i = 0; i < 8; ++i) {
        void* p = alignedAlloc(12 * mib);
        ASSERT_NE(p, nullptr);
        std::memset(p, 1, size_t(12 * mib));
        blocks.push_back(p);
    }
    EXPECT_GT(anonymousResident(), before + 90 * mib);
    for (void* p : blocks) alignedFree(p);
    EXPECT_LT(anonymousResident(), before + 20 * mib);
    void* again = alignedAlloc(12 * mib);
    EXPECT_EQ(again, blocks.back());
    alignedFree(again);
    releaseSpareMemory();
}

// Threads making and freeing blocks of widely different sizes at once, so
// kept blocks are cut and grown while others are freed: no block may be
// handed to two owners.
TEST(MemoryReuse, BlocksOfMixedSizesNeverShareMemory)
{
    PinnedCap cap;
    const uint64_t mib = uint64_t(1) << 20;
    EXPECT_EQ(sharedBlockFaults(
                  40,
                  [&](int t, int r) {
                      return (4 + uint64_t((t * 13 + r * 7) % 29)) * mib + uint64_t(r) * 4096 + 16;
                  },
                  [](int, int) { return false; }),
              0);
    releaseSpareMemory();
}
