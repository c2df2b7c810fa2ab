#include "platform/memory.h"

#include <gtest/gtest.h>

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
