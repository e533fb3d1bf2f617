// 64-byte aligned storage for the rate-conversion stages: work buffers start on
// a cache line, so vector loads of a block never straddle one needlessly.
#pragma once
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

namespace rate {

struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};

// count zeroed elements of a trivially copyable T, or null (no exception) when
// the size overflows or memory runs out.
template <class T> class Aligned {
public:
    Aligned() = default;
    bool allocate(size_t count) {
        p_.reset();
        n_ = 0;
        if (count == 0) return true;
        if (count > (SIZE_MAX - 63) / sizeof(T)) return false;
        const size_t bytes = (count * sizeof(T) + 63) & ~size_t{63};
        void *p = std::aligned_alloc(64, bytes);
        if (p == nullptr) return false;
        std::memset(p, 0, bytes);
        p_.reset(static_cast<T *>(p));
        n_ = count;
        return true;
    }
    void zero() {
        if (n_) std::memset(static_cast<void *>(p_.get()), 0, n_ * sizeof(T));
    }
    T *data() { return p_.get(); }
    const T *data() const { return p_.get(); }
    T &operator[](size_t i) { return p_.get()[i]; }
    const T &operator[](size_t i) const { return p_.get()[i]; }
    size_t size() const { return n_; }

private:
    std::unique_ptr<T, FreeDeleter> p_;
    size_t n_ = 0;
};

}  // namespace rate
