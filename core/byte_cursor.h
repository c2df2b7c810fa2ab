#pragma once
// The one way codecs read file data: every read is bounds-checked. A read past
// the end yields zeros and sets a sticky flag, so a parser can read a whole
// header and test once whether the data held it.
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quillon {

class ByteCursor {
public:
    ByteCursor() = default;
    ByteCursor(const uint8_t* data, size_t size) : data_(data), size_(data ? size : 0) {}
    ByteCursor(const void* data, size_t size) : ByteCursor(static_cast<const uint8_t*>(data), size) {}

    const uint8_t* data() const { return data_; }
    size_t size() const { return size_; }
    size_t pos() const { return pos_; }
    size_t remaining() const { return size_ - pos_; }
    bool atEnd() const { return pos_ >= size_; }
    // True once any read or seek went past the end.
    bool overrun() const { return overrun_; }
    bool has(size_t n) const { return n <= size_ - pos_; }

    bool seek(size_t pos)
    {
        if (pos > size_) {
            overrun_ = true;
            pos_ = size_;
            return false;
        }
        pos_ = pos;
        return true;
    }
    bool skip(size_t n)
    {
        if (!has(n)) {
            overrun_ = true;
            pos_ = size_;
            return false;
        }
        pos_ += n;
        return true;
    }
    // Pointer to the next n bytes (and moves past them), or null.
    const uint8_t* take(size_t n)
    {
        if (!has(n)) {
            overrun_ = true;
            pos_ = size_;
            return nullptr;
        }
        const uint8_t* p = data_ + pos_;
        pos_ += n;
        return p;
    }
    // Pointer to the next n bytes without moving, or null.
    const uint8_t* peek(size_t n) const { return has(n) ? data_ + pos_ : nullptr; }
    bool read(void* dst, size_t n)
    {
        const uint8_t* p = take(n);
        if (!p) {
            std::memset(dst, 0, n);
            return false;
        }
        std::memcpy(dst, p, n);
        return true;
    }

    uint8_t u8()
    {
        const uint8_t* p = take(1);
        return p ? p[0] : 0;
    }
    uint16_t u16le()
    {
        const uint8_t* p = take(2);
        return p ? uint16_t(p[0] | (p[1] << 8)) : 0;
    }
    uint16_t u16be()
    {
        const uint8_t* p = take(2);
        return p ? uint16_t((p[0] << 8) | p[1]) : 0;
    }
    uint32_t u32le()
    {
        const uint8_t* p = take(4);
        return p ? uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24) : 0;
    }
    uint32_t u32be()
    {
        const uint8_t* p = take(4);
        return p ? (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]) : 0;
    }
    uint64_t u64le()
    {
        uint64_t lo = u32le();
        return lo | (uint64_t(u32le()) << 32);
    }
    uint64_t u64be()
    {
        uint64_t hi = u32be();
        return (hi << 32) | u32be();
    }
    int16_t i16le() { return int16_t(u16le()); }
    int16_t i16be() { return int16_t(u16be()); }
    int32_t i32le() { return int32_t(u32le()); }
    int32_t i32be() { return int32_t(u32be()); }
    float f32le()
    {
        uint32_t v = u32le();
        float f;
        std::memcpy(&f, &v, 4);
        return f;
    }
    float f32be()
    {
        uint32_t v = u32be();
        float f;
        std::memcpy(&f, &v, 4);
        return f;
    }
    double f64be()
    {
        uint64_t v = u64be();
        double d;
        std::memcpy(&d, &v, 8);
        return d;
    }

private:
    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
    size_t pos_ = 0;
    bool overrun_ = false;
};

// Unchecked little/big-endian loads for hot loops whose bounds were checked
// once beforehand.
inline uint16_t loadU16le(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
inline uint16_t loadU16be(const uint8_t* p) { return uint16_t((p[0] << 8) | p[1]); }
inline uint32_t loadU32le(const uint8_t* p)
{
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline uint32_t loadU32be(const uint8_t* p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

} // namespace quillon
