// The buffer type of every kernel: elements on a 64-byte boundary (a cache line,
// and the widest vector), owned and freed like a std::unique_ptr. A vector
// load then never splits a cache line or a page for a reason that depends on
// where the allocator happened to put the buffer, so a kernel runs at one
// speed from one object to the next.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <type_traits>

namespace sx {

inline constexpr size_t kAlign = 64;

template <class T> class AlignedBuf {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>,
                  "kernel buffers hold plain numbers");

public:
    AlignedBuf() = default;

    // `count` zeroed elements in place of the old ones (whose contents are
    // lost). False, with the buffer unchanged, when the size overflows or
    // memory runs out.
    bool allocate(size_t count) noexcept {
        size_t bytes;
        // No object may exceed PTRDIFF_MAX bytes; asking the allocator for more
        // only gets a failure (or, under a sanitizer, an abort).
        if (__builtin_mul_overflow(count, sizeof(T), &bytes) || bytes > size_t{PTRDIFF_MAX} - kAlign) return false;
        bytes = (bytes + kAlign - 1) / kAlign * kAlign;
        void *q = std::aligned_alloc(kAlign, bytes == 0 ? kAlign : bytes);
        if (q == nullptr) return false;
        std::memset(q, 0, bytes);
        p_.reset(static_cast<T *>(q));
        n_ = count;
        return true;
    }
    // allocate(), unless the buffer holds at least `count` elements already.
    bool reserve(size_t count) noexcept { return count <= n_ || allocate(count); }
    void zero() noexcept {
        if (n_ != 0) std::memset(static_cast<void *>(p_.get()), 0, n_ * sizeof(T));
    }

    T *data() noexcept { return p_.get(); }
    const T *data() const noexcept { return p_.get(); }
    T *get() noexcept { return p_.get(); }
    const T *get() const noexcept { return p_.get(); }
    size_t size() const noexcept { return n_; }
    bool empty() const noexcept { return n_ == 0; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    T &operator[](size_t i) noexcept { return p_[i]; }
    const T &operator[](size_t i) const noexcept { return p_[i]; }
    T *begin() noexcept { return p_.get(); }
    T *end() noexcept { return p_.get() + n_; }
    const T *begin() const noexcept { return p_.get(); }
    const T *end() const noexcept { return p_.get() + n_; }

private:
    struct Free {
        void operator()(T *q) const noexcept { std::free(q); }
    };
    std::unique_ptr<T[], Free> p_;
    size_t n_ = 0;
};

// A buffer of `count` zeroed elements; empty (false) on overflow or failure.
template <class T> AlignedBuf<T> make_aligned(size_t count) noexcept {
    AlignedBuf<T> b;
    b.allocate(count);
    return b;
}

}  // namespace sx
