#pragma once
// Shared objects (images, readers, writers, mapped files, cache requests)
// carry one atomic count; it starts at 1 and the release that brings it to 0
// destroys the object.
#include <atomic>
#include <cstdint>
#include <utility>

namespace quillon {

class RefCounted {
public:
    RefCounted() = default;
    RefCounted(const RefCounted&) = delete;
    RefCounted& operator=(const RefCounted&) = delete;

    void addRef() const { refCount_.fetch_add(1, std::memory_order_relaxed); }
    uint32_t refCount() const { return refCount_.load(std::memory_order_acquire); }

protected:
    virtual ~RefCounted() = default;
    // Drops one reference without deleting; true when it was the last, and
    // the caller must then destroy the object (used to free chains without
    // recursion).
    static bool dropReference(const RefCounted* object)
    {
        return object->refCount_.fetch_sub(1, std::memory_order_acq_rel) == 1;
    }

private:
    friend void objectRelease(const RefCounted* object);
    mutable std::atomic<uint32_t> refCount_{1};
};

// Drops one reference; the last one deletes the object. Null is ignored.
inline void objectRelease(const RefCounted* object)
{
    if (object && object->refCount_.fetch_sub(1, std::memory_order_acq_rel) == 1)
        delete object;
}

// An owning pointer that holds one reference.
template <class T>
class Ref {
public:
    Ref() = default;
    Ref(std::nullptr_t) {}
    // Adopts a reference the caller already owns (as a factory returns it).
    static Ref adopt(T* p) { Ref r; r.p_ = p; return r; }
    // Takes a further reference to an object someone else owns.
    static Ref share(T* p) { if (p) p->addRef(); return adopt(p); }

    Ref(const Ref& o) : p_(o.p_) { if (p_) p_->addRef(); }
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    template <class U>
    Ref(Ref<U>&& o) noexcept : p_(o.release()) {}
    Ref& operator=(Ref o) noexcept { std::swap(p_, o.p_); return *this; }
    ~Ref() { objectRelease(p_); }

    T* get() const { return p_; }
    T* operator->() const { return p_; }
    T& operator*() const { return *p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // Gives up ownership without releasing.
    T* release() { return std::exchange(p_, nullptr); }
    void reset() { objectRelease(std::exchange(p_, nullptr)); }

private:
    T* p_ = nullptr;
};

} // namespace quillon
