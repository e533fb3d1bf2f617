// The common 16-byte state-blob header and the cursor types every core uses to
// save and restore its mutable state. Internal C++ (not part of the C ABI).
//
// Restoring is always two passes: validate the whole blob (every part's header
// and every index it would restore), then apply it. A composite block validates
// all of its parts before applying any, so a refused blob changes nothing.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace sx {

inline constexpr size_t kStateHeaderBytes = 16;

struct StateTag {
    char tag[4];
    uint16_t version;
};

static_assert(sizeof(uint64_t) == 8 && sizeof(uint16_t) == 2);

// Writes tag, version, flag 1, pad 0 and total_bytes at p.
inline void state_header_put(uint8_t *p, const StateTag &t, size_t state_bytes) {
    std::memcpy(p, t.tag, 4);
    std::memcpy(p + 4, &t.version, 2);
    p[6] = 1;
    p[7] = 0;
    const uint64_t total = state_bytes;
    std::memcpy(p + 8, &total, 8);
}

// Header check of one block's blob region: size floor, tag, version, flag and
// the low 32 bits of total_bytes against this block's state_bytes.
inline bool state_header_ok(const uint8_t *p, const StateTag &t, size_t state_bytes) {
    if (p == nullptr || state_bytes < kStateHeaderBytes) return false;
    uint16_t version;
    uint64_t total;
    std::memcpy(&version, p + 4, 2);
    std::memcpy(&total, p + 8, 8);
    return std::memcmp(p, t.tag, 4) == 0 && version == t.version && p[6] == 1 &&
           static_cast<uint32_t>(total) == static_cast<uint32_t>(state_bytes);
}

// Sequential little-endian writer over a caller-sized blob (the host is little-endian).
class StateWriter {
public:
    explicit StateWriter(void *buf) : p_(static_cast<uint8_t *>(buf)) {}
    void header(const StateTag &t, size_t state_bytes) {
        state_header_put(p_, t, state_bytes);
        p_ += kStateHeaderBytes;
    }
    template <class T> void put(const T &v) {
        static_assert(std::is_trivially_copyable_v<T>);
        std::memcpy(p_, &v, sizeof(T));
        p_ += sizeof(T);
    }
    void bytes(const void *src, size_t n) {
        if (n) std::memcpy(p_, src, n);
        p_ += n;
    }
    uint8_t *pos() { return p_; }
    void skip(size_t n) { p_ += n; }

private:
    uint8_t *p_;
};

// Sequential reader over a blob whose size the caller has already checked.
class StateReader {
public:
    explicit StateReader(const void *buf) : p_(static_cast<const uint8_t *>(buf)) {}
    bool header(const StateTag &t, size_t state_bytes) {
        const bool ok = state_header_ok(p_, t, state_bytes);
        p_ += kStateHeaderBytes;
        return ok;
    }
    template <class T> T get() {
        static_assert(std::is_trivially_copyable_v<T>);
        T v;
        std::memcpy(&v, p_, sizeof(T));
        p_ += sizeof(T);
        return v;
    }
    void bytes(void *dst, size_t n) {
        if (n) std::memcpy(dst, p_, n);
        p_ += n;
    }
    const uint8_t *pos() const { return p_; }
    void skip(size_t n) { p_ += n; }

private:
    const uint8_t *p_;
};

}  // namespace sx
