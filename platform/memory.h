#pragma once
// Pixel and codec memory: 16-byte aligned (large blocks on a huge-page
// boundary), never throws, and refuses sizes beyond what the machine can
// actually provide. Linux overcommits, so without the cap an absurd header
// size would "succeed" and the process would be killed later instead of
// failing cleanly with an out-of-memory result.
#include <cstddef>
#include <cstdint>

namespace quillon {

// Null when size is 0, exceeds the cap, or the allocation fails.
void* alignedAlloc(uint64_t size);
// Same, with the block zero-filled.
void* alignedAllocZero(uint64_t size);
// Large blocks freed here are kept (the most recent, up to a bounded total)
// for reuse by later requests of any size; releaseSpareMemory hands them back.
void alignedFree(void* block);
void releaseSpareMemory();
// Zeroes n bytes inside a block from alignedAlloc. The whole pages of a
// large span are handed back to the system instead of written: they read as
// zeros afterwards and take memory again only once written, so clearing
// memory nobody touched (the rows a damaged file never reached) costs next
// to nothing.
void clearAllocated(void* p, uint64_t n);

// The largest single allocation alignedAlloc will attempt.
uint64_t allocationCap();
// Overrides the cap (tests); 0 restores the value from the system.
void setAllocationCap(uint64_t bytes);
// Fills every block alignedAlloc hands out with `byte` (tests: whatever
// reads memory nobody wrote then shows); -1 leaves blocks as they come.
void setAllocationFill(int byte);

// MemAvailable + SwapFree from /proc/meminfo, in bytes; the stand-in for the
// "available page file" figure of the original platform.
uint64_t availableMemory();

// Checked size arithmetic: false on overflow, *out untouched then.
inline bool checkedMul(uint64_t a, uint64_t b, uint64_t* out)
{
    uint64_t r;
    if (__builtin_mul_overflow(a, b, &r)) return false;
    *out = r;
    return true;
}
inline bool checkedAdd(uint64_t a, uint64_t b, uint64_t* out)
{
    uint64_t r;
    if (__builtin_add_overflow(a, b, &r)) return false;
    *out = r;
    return true;
}

// RAII owner of an alignedAlloc block.
template <class T>
class AlignedBuffer {
public:
    AlignedBuffer() = default;
    explicit AlignedBuffer(uint64_t count, bool zero = false) { allocate(count, zero); }
    ~AlignedBuffer() { alignedFree(ptr_); }
    AlignedBuffer(const AlignedBuffer&) = delete;
    AlignedBuffer& operator=(const AlignedBuffer&) = delete;
    AlignedBuffer(AlignedBuffer&& o) noexcept : ptr_(o.ptr_), count_(o.count_) { o.ptr_ = nullptr; o.count_ = 0; }
    AlignedBuffer& operator=(AlignedBuffer&& o) noexcept
    {
        if (this != &o) {
            alignedFree(ptr_);
            ptr_ = o.ptr_; count_ = o.count_;
            o.ptr_ = nullptr; o.count_ = 0;
        }
        return *this;
    }
    // False (and empty) when the size overflows or memory is short.
    bool allocate(uint64_t count, bool zero = false)
    {
        alignedFree(ptr_);
        ptr_ = nullptr;
        count_ = 0;
        uint64_t bytes;
        if (!checkedMul(count, sizeof(T), &bytes)) return false;
        ptr_ = static_cast<T*>(zero ? alignedAllocZero(bytes) : alignedAlloc(bytes));
        if (ptr_) count_ = count;
        return ptr_ != nullptr;
    }
    T* get() const { return ptr_; }
    T* data() const { return ptr_; }
    uint64_t size() const { return count_; }
    T& operator[](uint64_t i) const { return ptr_[i]; }
    explicit operator bool() const { return ptr_ != nullptr; }
    T* release() { T* p = ptr_; ptr_ = nullptr; count_ = 0; return p; }

private:
    T* ptr_ = nullptr;
    uint64_t count_ = 0;
};

// Faults in the pages of a block of rows ahead of their use, one page a call.
// The kernel clears a fresh page on its first write, which for a large image
// costs as much as decoding into it; this lets a thread with time to spare
// take that cost off the thread that will fill the rows. It stores a zero
// byte without reading first (on older kernels a read maps the shared zero
// page, and the write after it then gets a small page, not a huge one), so it
// is only for rows whose pixel bytes are all overwritten afterwards; the
// bytes between one row's pixels and the next row are never touched.
class PageToucher {
public:
    PageToucher(uint8_t* base, size_t stride, size_t rowBytes, uint32_t rows)
        : base_(base), stride_(stride), rowBytes_(rowBytes), end_(uint64_t(rows) * stride)
    {
    }

    // Touches the next page not touched yet, at row `firstRow` or below it;
    // false when there is none.
    bool touchNext(uint64_t firstRow);

private:
    uint8_t* base_;
    uint64_t stride_, rowBytes_, end_, next_ = 0;
};

} // namespace quillon
