// What the 2:1 halfband decimators share around their arithmetic: the ring
// length, the head of their state blobs, and (for the float decimators) the
// two pair streams with the pending odd sample, the chunked execute loop and
// the doubled rings of the blob.
//
// Every blob starts, after its header, with u64 pos_a, u64 pos_b, i32 pending
// flag and the pending sample; a decimator may add fields before its rings.
// The rings are doubled: ring[(pos + k) & (S - 1)] is the k-th newest sample,
// written in both halves.
#pragma once
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/sx_aligned.h"
#include "core/sx_state.h"

namespace rate {

constexpr size_t kHbPosAOffset = 16, kHbPosBOffset = 24, kHbPendingOffset = 32, kHbPendOffset = 36;

// Ring length for an n-tap branch: the smallest power of two >= n, at least 2
// (1 when n = 1).
inline size_t hb_ring_len(size_t n) { return n == 1 ? 1 : std::max<size_t>(2, std::bit_ceil(n)); }

// Positions inside a ring of S and a pending flag of 0 or 1.
inline bool hb_head_ok(const uint8_t *blob, size_t S) {
    uint64_t pa, pb;
    int32_t pending;
    std::memcpy(&pa, blob + kHbPosAOffset, 8);
    std::memcpy(&pb, blob + kHbPosBOffset, 8);
    std::memcpy(&pending, blob + kHbPendingOffset, 4);
    return pa < S && pb < S && (pending == 0 || pending == 1);
}

// The two halves of a doubled ring always agree; a blob where they do not was
// not written by the block.
inline bool hb_ring_halves_agree(const uint8_t *ring, size_t half_bytes) {
    return std::memcmp(ring, ring + half_bytes, half_bytes) == 0;
}

// hist holds the last S samples oldest first (hist[S - 1] newest).
template <class T> void hb_put_ring(sx::StateWriter &w, const T *hist, size_t S, size_t pos) {
    uint8_t *ring = w.pos();
    for (size_t k = 0; k < S; ++k) {
        const size_t i = (pos + k) & (S - 1);
        std::memcpy(ring + i * sizeof(T), hist + S - 1 - k, sizeof(T));
        std::memcpy(ring + (i + S) * sizeof(T), hist + S - 1 - k, sizeof(T));
    }
    w.skip(2 * S * sizeof(T));
}

template <class T> void hb_get_ring(const uint8_t *ring, T *hist, size_t S, size_t pos) {
    for (size_t k = 0; k < S; ++k)
        std::memcpy(static_cast<void *>(hist + S - 1 - k), ring + ((pos + k) & (S - 1)) * sizeof(T), sizeof(T));
}

// The delay lines of a float decimator, kept as two linear streams of T (one
// for the first, one for the second sample of each pair): history (the last S
// samples, oldest first) followed by the pairs of the current chunk, so every
// output of a chunk reads a contiguous window. The ring positions of the blob
// layout move with them.
template <class T> struct HbPairs {
    size_t S = 1;
    sx::AlignedBuf<T> wa, wb;  // S + chunk each
    size_t pos_a = 0, pos_b = 0;
    int32_t pending = 0;
    T pend{};

    bool allocate(size_t ring_len, size_t chunk) {
        S = ring_len;
        return wa.allocate(S + chunk) && wb.allocate(S + chunk);
    }
    void reset() {
        wa.zero();
        wb.zero();
        pos_a = pos_b = 0;
        pending = 0;
        pend = T{};
    }
    // Where the pairs of the current chunk go (after the history).
    T *first() { return wa.data() + S; }
    T *second() { return wb.data() + S; }
    const T *first() const { return wa.data() + S; }
    const T *second() const { return wb.data() + S; }

    size_t outputs(size_t n_in) const { return n_in / 2 + ((pending && (n_in & 1)) ? 1 : 0); }

    // After m pairs: the last S samples become the history, the ring positions move.
    void advance(size_t m) {
        std::memmove(static_cast<void *>(wa.data()), wa.data() + m, S * sizeof(T));
        std::memmove(static_cast<void *>(wb.data()), wb.data() + m, S * sizeof(T));
        pos_a = (pos_a - m) & (S - 1);
        pos_b = (pos_b - m) & (S - 1);
    }

    // Stages the pairs of n_in inputs chunk by chunk, at most out_cap of them,
    // and calls compute(m, done) once the m pairs of a chunk are in place (done:
    // the outputs written before them). Returns the outputs written.
    template <size_t Chunk, class Compute> size_t execute(const T *in, size_t n_in, size_t out_cap, Compute &&compute) {
        const size_t pairs = std::min(outputs(n_in), out_cap);
        size_t idx = 0, done = 0;
        T *A = first(), *B = second();
        while (done < pairs) {
            const size_t m = std::min(Chunk, pairs - done);
            size_t j = 0;
            if (pending) {
                A[0] = pend;
                B[0] = in[idx++];
                pending = 0;
                j = 1;
            }
            for (; j < m; ++j, idx += 2) {
                A[j] = in[idx];
                B[j] = in[idx + 1];
            }
            compute(m, done);
            advance(m);
            done += m;
        }
        // A trailing odd sample, or the sample after the last pair out had
        // room for, waits for the next call.
        if (idx < n_in) {
            pending = 1;
            pend = in[idx];
        }
        return done;
    }

    // Blob head after the header: positions, pending flag, pending sample.
    void put_head(sx::StateWriter &w) const {
        w.put(static_cast<uint64_t>(pos_a));
        w.put(static_cast<uint64_t>(pos_b));
        w.put(pending);
        w.put(pend);
    }
    void put_rings(sx::StateWriter &w) const {
        hb_put_ring(w, wa.data(), S, pos_a);
        hb_put_ring(w, wb.data(), S, pos_b);
    }
    static size_t rings_bytes(size_t ring_len) { return 4 * ring_len * sizeof(T); }
    bool rings_ok(const uint8_t *rings) const {
        const size_t rb = S * sizeof(T);
        return hb_ring_halves_agree(rings, rb) && hb_ring_halves_agree(rings + 2 * rb, rb);
    }
    // Restores what put_head and put_rings wrote, from a blob already checked
    // with hb_head_ok and rings_ok.
    void apply(const uint8_t *blob, const uint8_t *rings) {
        uint64_t pa, pb;
        std::memcpy(&pa, blob + kHbPosAOffset, 8);
        std::memcpy(&pb, blob + kHbPosBOffset, 8);
        std::memcpy(&pending, blob + kHbPendingOffset, 4);
        std::memcpy(static_cast<void *>(&pend), blob + kHbPendOffset, sizeof(T));
        pos_a = static_cast<size_t>(pa);
        pos_b = static_cast<size_t>(pb);
        hb_get_ring(rings, wa.data(), S, pos_a);
        hb_get_ring(rings + 2 * S * sizeof(T), wb.data(), S, pos_b);
    }
};

}  // namespace rate
