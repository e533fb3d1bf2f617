#include "wfm/viterbi_core.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>

#include "core/sx_aligned.h"
#include "core/sx_simd.h"
#include "core/sx_state.h"

namespace {

constexpr int kStates = VITERBI27_STATES;
constexpr int kHalf = kStates / 2;
constexpr uint64_t kDelay = VITERBI27_DELAY;
constexpr uint64_t kBlock = VITERBI27_BLOCK;
// Decisions the decoder must hold: the bits behind a traceback point plus a
// whole period of new ones.
constexpr uint64_t kWindow = kBlock + kDelay;
constexpr uint64_t kRing = 2048;  // power of two >= kWindow
static_assert(kRing >= kWindow && (kRing & (kRing - 1)) == 0);
constexpr unsigned kGen0 = 0x79, kGen1 = 0x5B, kInvert = 2;

// Metrics are renormalised every kRenorm bits (at fixed bit positions). One
// branch costs at most 508 and every state is reachable from every other in
// six bits, so right after a renormalisation no metric exceeds
// max(kOffStart, 6 * 508), and j bits later none exceeds kOffStart + j * 508,
// below 32768: the metrics fit signed 16-bit lanes, whose compares and packs
// are single instructions.
constexpr uint64_t kRenorm = 32;
constexpr uint16_t kBranchMax = 508;
constexpr uint16_t kOffStart = 10000;  // above any six-bit path cost: the start state is forced
static_assert(kOffStart + kRenorm * kBranchMax < 32768 && kOffStart > 6 * kBranchMax);
static_assert(kBlock % kRenorm == 0);

constexpr sx::StateTag kTag{{'V', 'T', '2', '7'}, 1};
constexpr size_t kStateBytes = sx::kStateHeaderBytes + 2 * 8 + kStates * 2 + kWindow * 8;

constexpr int parity(unsigned x) { return __builtin_parity(x); }

// Butterfly i joins old states 2i and 2i+1 to new states i and i+32. Its
// branch 2i -> i carries a = 2i; both generators have their first and last
// taps set, so the branches 2i+1 -> i and 2i -> i+32 send the complement and
// 2i+1 -> i+32 the same pair again. The tables hold, per butterfly, all-ones
// where the symbol sent on branch 2i -> i is a 0.
//
// The step is written with GCC's generic vectors and the SSE2/AVX2 pack and
// mask builtins: 16-bit metrics, eight per SSE2 register in the portable form,
// sixteen per AVX2 register in the fast one. Both do the same integer
// operations lane for lane, so they make the same decisions. 256-bit vectors
// only pass between functions built for AVX2 (and are inlined there), so the
// calling-convention change -Wpsabi warns about never matters.
#pragma GCC diagnostic ignored "-Wpsabi"
typedef int16_t v16 __attribute__((vector_size(32)));
typedef int16_t h16 __attribute__((vector_size(16)));
typedef int32_t h32 __attribute__((vector_size(16)));
typedef long long v4q __attribute__((vector_size(32)));
typedef char v8 __attribute__((vector_size(32)));

struct BranchMasks {
    alignas(32) int16_t first[kHalf];
    alignas(32) int16_t second[kHalf];
};
constexpr BranchMasks make_masks() {
    BranchMasks m{};
    for (int i = 0; i < kHalf; ++i) {
        const unsigned a = 2u * static_cast<unsigned>(i);
        m.first[i] = (parity(kGen0 & a) ^ (kInvert & 1)) ? 0 : -1;
        m.second[i] = (parity(kGen1 & a) ^ ((kInvert >> 1) & 1)) ? 0 : -1;
    }
    return m;
}
constexpr BranchMasks kMasks = make_masks();

#define SX_INLINE inline __attribute__((always_inline))

// The two forms: W metrics per vector (8 in an SSE2 register, 16 in an AVX2
// one). Each says how to split 2W metrics into the W even and W odd states,
// and how to turn the compare masks of 2W states into 2W bits.
struct Generic {
    using V = h16;
    static constexpr int W = 8;
    // Metrics are below 32768, so the saturating packs are exact.
    static SX_INLINE void split(V a, V b, V &even, V &odd) {
        even = __builtin_ia32_packssdw128((reinterpret_cast<h32>(a) << 16) >> 16,
                                          (reinterpret_cast<h32>(b) << 16) >> 16);
        odd = __builtin_ia32_packssdw128(reinterpret_cast<h32>(a) >> 16, reinterpret_cast<h32>(b) >> 16);
    }
    static SX_INLINE uint32_t bits(V a, V b) {
        return static_cast<uint32_t>(__builtin_ia32_pmovmskb128(__builtin_ia32_packsswb128(a, b)));
    }
};
struct Avx2 {
    using V = v16;
    static constexpr int W = 16;
    // The 256-bit packs work per 128-bit lane; the quadword permute puts the
    // four quarters back in order.
    static SX_TARGET_AVX2 inline V order(V x) {
        return reinterpret_cast<V>(__builtin_ia32_permdi256(reinterpret_cast<v4q>(x), 0xD8));
    }
    static SX_TARGET_AVX2 inline void split(V a, V b, V &even, V &odd) {
        typedef int32_t v32 __attribute__((vector_size(32)));
        const v32 a32 = reinterpret_cast<v32>(a), b32 = reinterpret_cast<v32>(b);
        even = order(reinterpret_cast<V>(__builtin_ia32_packssdw256((a32 << 16) >> 16, (b32 << 16) >> 16)));
        odd = order(reinterpret_cast<V>(__builtin_ia32_packssdw256(a32 >> 16, b32 >> 16)));
    }
    static SX_TARGET_AVX2 inline uint32_t bits(V a, V b) {
        const v8 x = reinterpret_cast<v8>(__builtin_ia32_packsswb256(a, b));
        return static_cast<uint32_t>(__builtin_ia32_pmovmskb256(reinterpret_cast<v8>(order(reinterpret_cast<V>(x)))));
    }
};

// One add-compare-select step over the metrics m (states qW .. qW+W-1 in
// m[q]) for the symbol pair (r0, r1); returns the decisions, bit s set when
// new state s came from its odd predecessor (on a tie the even one wins).
// A symbol r costs 127 + (r or -r), the sign picked by the mask f (all-ones
// for a 0 sent): (r ^ f) - f, so a branch costs (r0 ^ f0) + (r1 ^ f1) + k with
// k = 254 - f0 - f1 fixed per butterfly. Butterflies gW .. gW+W-1 read
// m[2g], m[2g+1] and write new states gW.. (m[g]) and 32+gW.. (m[G+g]).
template <class F>
SX_INLINE uint64_t acs_step(typename F::V *m, const typename F::V *f0, const typename F::V *f1,
                            const typename F::V *k, int r0, int r1) {
    using V = typename F::V;
    constexpr int G = kHalf / F::W;
    const V vr0 = static_cast<int16_t>(r0) - V{}, vr1 = static_cast<int16_t>(r1) - V{};
    V lo[G], hi[G], dlo[G], dhi[G];
    for (int g = 0; g < G; ++g) {
        V e, o;
        F::split(m[2 * g], m[2 * g + 1], e, o);
        const V bm = (vr0 ^ f0[g]) + (vr1 ^ f1[g]) + k[g];
        const V cbm = static_cast<int16_t>(kBranchMax) - bm;
        const V a0 = e + bm, a1 = o + cbm, b0 = e + cbm, b1 = o + bm;
        dlo[g] = a1 < a0;
        dhi[g] = b1 < b0;
        lo[g] = a1 < a0 ? a1 : a0;
        hi[g] = b1 < b0 ? b1 : b0;
    }
    uint64_t d = 0;
    for (int g = 0; g < G; g += 2) {
        d |= static_cast<uint64_t>(F::bits(dlo[g], dlo[g + 1])) << (g * F::W);
        d |= static_cast<uint64_t>(F::bits(dhi[g], dhi[g + 1])) << (kHalf + g * F::W);
    }
    for (int g = 0; g < G; ++g) {
        m[g] = lo[g];
        m[G + g] = hi[g];
    }
    return d;
}

// m steps over the symbol pairs at sym, decision masks to dec.
template <class F>
SX_INLINE void acs(uint16_t *__restrict metric, const int8_t *__restrict sym, size_t m, uint64_t *__restrict dec) {
    using V = typename F::V;
    constexpr int G = kHalf / F::W;
    V v[2 * G], f0[G], f1[G], k[G];
    std::memcpy(v, metric, sizeof v);
    std::memcpy(f0, kMasks.first, sizeof f0);
    std::memcpy(f1, kMasks.second, sizeof f1);
    for (int g = 0; g < G; ++g) k[g] = static_cast<int16_t>(2 * 127) - f0[g] - f1[g];
    for (size_t j = 0; j < m; ++j) dec[j] = acs_step<F>(v, f0, f1, k, sym[2 * j], sym[2 * j + 1]);
    std::memcpy(metric, v, sizeof v);
}

SX_TARGET_AVX2 void acs_avx2(uint16_t *metric, const int8_t *sym, size_t m, uint64_t *dec) {
    acs<Avx2>(metric, sym, m, dec);
}
void acs_generic(uint16_t *metric, const int8_t *sym, size_t m, uint64_t *dec) { acs<Generic>(metric, sym, m, dec); }

void acs_run(uint16_t *metric, const int8_t *sym, size_t m, uint64_t *dec) {
    if (sx::simd::avx2())
        acs_avx2(metric, sym, m, dec);
    else
        acs_generic(metric, sym, m, dec);
}

// Soft-symbol sources: fill `n` int8 symbols starting at symbol `at`.
struct FromI8 {
    const int8_t *p;
    const int8_t *view(size_t at, size_t, int8_t *) const { return p + at; }
    static constexpr bool kDirect = true;
};
struct FromF32 {
    const float *p;
    const int8_t *view(size_t at, size_t n, int8_t *buf) const {
        for (size_t i = 0; i < n; ++i) {
            float v = p[at + i] * 32.0f;
            v = v > 127.0f ? 127.0f : v;
            v = v < -127.0f ? -127.0f : v;
            if (!(v == v)) v = 0.0f;  // NaN: an erasure
            buf[i] = static_cast<int8_t>(static_cast<int>(v + (v >= 0.0f ? 0.5f : -0.5f)));
        }
        return buf;
    }
    static constexpr bool kDirect = false;
};
struct FromHard {
    const uint8_t *p;
    const int8_t *view(size_t at, size_t n, int8_t *buf) const {
        for (size_t i = 0; i < n; ++i) buf[i] = (p[at + i] & 1) ? -127 : 127;
        return buf;
    }
    static constexpr bool kDirect = false;
};

// The one symbol value the metric does not accept (its cost would leave 0..254).
inline void clamp_i8(const int8_t *src, size_t n, int8_t *dst) {
    for (size_t i = 0; i < n; ++i) dst[i] = src[i] == -128 ? static_cast<int8_t>(-127) : src[i];
}

// Bits emitted in total once `total` bits have been decoded (before a flush).
constexpr uint64_t emitted_at(uint64_t total) { return total < kBlock ? 0 : total / kBlock * kBlock - kDelay; }

}  // namespace

struct viterbi27 {
    alignas(64) uint16_t metric[kStates];
    int start_state;
    uint64_t total;    // bits decoded since create, reset or flush
    uint64_t emitted;  // of which written out
    sx::AlignedBuf<uint64_t> dec;  // decision of bit k at k % kRing
};

namespace {

void start(viterbi27 *v) {
    const int s = v->start_state;
    for (int i = 0; i < kStates; ++i) v->metric[i] = (s < 0 || i == s) ? 0 : kOffStart;
    v->total = v->emitted = 0;
}

void renormalise(uint16_t *metric) {
    uint16_t lo = metric[0];
    for (int i = 1; i < kStates; ++i) lo = std::min(lo, metric[i]);
    for (int i = 0; i < kStates; ++i) metric[i] = static_cast<uint16_t>(metric[i] - lo);
}

int best_state(const uint16_t *metric) {
    int s = 0;
    for (int i = 1; i < kStates; ++i)
        if (metric[i] < metric[s]) s = i;
    return s;
}

// Walks the decisions back from state s after the last bit decoded to the
// first pending one and writes the pending bits older than `upto` to out.
void traceback(const viterbi27 *v, int s, uint64_t upto, uint8_t *__restrict out) {
    const uint64_t *__restrict dec = v->dec.data();
    const uint64_t first = v->emitted;
    unsigned st = static_cast<unsigned>(s);
    auto back = [&](uint64_t k) {
        const unsigned x = static_cast<unsigned>(dec[k & (kRing - 1)] >> st) & 1u;
        st = ((st << 1) & (kStates - 1)) | x;
    };
    uint64_t k = v->total;
    while (k > upto) back(--k);
    while (k > first) {
        --k;
        out[k - first] = static_cast<uint8_t>(st >> 5);
        back(k);
    }
}

template <class Src> int64_t decode(viterbi27 *v, const Src &src, size_t n_soft, uint8_t *out, size_t capacity) {
    if (v == nullptr || (n_soft & 1) != 0 || (n_soft != 0 && src.p == nullptr)) return SX_ERR_INVALID;
    const uint64_t pairs = n_soft / 2;
    if (pairs > (uint64_t{1} << 62) - v->total) return SX_ERR_INVALID;
    const uint64_t emit = emitted_at(v->total + pairs) - v->emitted;
    if (emit > capacity || (emit != 0 && out == nullptr)) return SX_ERR_INVALID;

    constexpr size_t kChunk = 256;  // pairs converted at a time for non-int8 sources
    alignas(64) int8_t buf[2 * kChunk];
    uint64_t written = 0;
    size_t done = 0;
    while (done < pairs) {
        // Stop at the next renormalisation point (every traceback point is one) and at the end.
        const uint64_t to_renorm = kRenorm - v->total % kRenorm;
        const size_t m = static_cast<size_t>(std::min<uint64_t>({to_renorm, pairs - done, kChunk}));
        const int8_t *sym = src.view(2 * done, 2 * m, buf);
        if constexpr (Src::kDirect) {
            clamp_i8(sym, 2 * m, buf);
            sym = buf;
        }
        // A run never crosses the ring's end: runs stop at multiples of kRenorm, which divides kRing.
        acs_run(v->metric, sym, m, v->dec.data() + (v->total & (kRing - 1)));
        v->total += m;
        done += m;
        if (v->total % kRenorm == 0) renormalise(v->metric);
        if (v->total % kBlock == 0) {
            const uint64_t upto = v->total - kDelay;
            traceback(v, best_state(v->metric), upto, out + written);
            written += upto - v->emitted;
            v->emitted = upto;
        }
    }
    return static_cast<int64_t>(written);
}

template <class Src>
int64_t decode_block(const Src &src, size_t n_soft, int start_state, int terminated, uint8_t *out, size_t capacity) {
    if ((n_soft & 1) != 0 || n_soft / 2 > capacity || (n_soft != 0 && (src.p == nullptr || out == nullptr)))
        return SX_ERR_INVALID;
    if (start_state < VITERBI27_UNKNOWN_STATE || start_state >= kStates) return SX_ERR_INVALID;
    viterbi27 *v = viterbi27_create(start_state);
    if (v == nullptr) return SX_ERR_NOMEM;
    int64_t a = decode(v, src, n_soft, out, capacity);
    int64_t b = a < 0 ? a
                      : viterbi27_flush_to(v, terminated ? 0 : best_state(v->metric), out + a,
                                           capacity - static_cast<size_t>(a));
    viterbi27_destroy(v);
    return b < 0 ? b : a + b;
}

}  // namespace

extern "C" {

viterbi27 *viterbi27_create(int start_state) {
    if (start_state < VITERBI27_UNKNOWN_STATE || start_state >= kStates) return nullptr;
    auto *v = new (std::nothrow) viterbi27;
    if (v == nullptr) return nullptr;
    if (!v->dec.allocate(kRing)) {
        delete v;
        return nullptr;
    }
    v->start_state = start_state;
    start(v);
    return v;
}

void viterbi27_destroy(viterbi27 *v) { delete v; }

void viterbi27_reset(viterbi27 *v) {
    if (v != nullptr) start(v);
}

size_t viterbi27_decode_max_out(const viterbi27 *v, size_t n_soft) {
    if (v == nullptr) return 0;
    return static_cast<size_t>(v->total - v->emitted) + n_soft / 2;
}

size_t viterbi27_flush_max_out(const viterbi27 *v) {
    return v == nullptr ? 0 : static_cast<size_t>(v->total - v->emitted);
}

int64_t viterbi27_decode(viterbi27 *v, const int8_t *soft, size_t n_soft, uint8_t *out, size_t capacity) {
    return decode(v, FromI8{soft}, n_soft, out, capacity);
}
int64_t viterbi27_decode_f32(viterbi27 *v, const float *soft, size_t n_soft, uint8_t *out, size_t capacity) {
    return decode(v, FromF32{soft}, n_soft, out, capacity);
}
int64_t viterbi27_decode_hard(viterbi27 *v, const uint8_t *bits, size_t n_soft, uint8_t *out, size_t capacity) {
    return decode(v, FromHard{bits}, n_soft, out, capacity);
}

int64_t viterbi27_flush_to(viterbi27 *v, int end_state, uint8_t *out, size_t capacity) {
    if (v == nullptr || end_state < 0 || end_state >= kStates) return SX_ERR_INVALID;
    const uint64_t n = v->total - v->emitted;
    if (n > capacity || (n != 0 && out == nullptr)) return SX_ERR_INVALID;
    traceback(v, end_state, v->total, out);
    start(v);
    return static_cast<int64_t>(n);
}

int64_t viterbi27_flush(viterbi27 *v, uint8_t *out, size_t capacity) {
    if (v == nullptr) return SX_ERR_INVALID;
    return viterbi27_flush_to(v, best_state(v->metric), out, capacity);
}

size_t viterbi27_state_bytes(const viterbi27 *) { return kStateBytes; }

void viterbi27_get_state(const viterbi27 *v, void *blob) {
    sx::StateWriter w(blob);
    w.header(kTag, kStateBytes);
    w.put(v->total);
    w.put(v->emitted);
    w.bytes(v->metric, sizeof v->metric);
    // Pending decisions, oldest first, then zeros up to the fixed window.
    uint64_t k = v->emitted;
    for (uint64_t i = 0; i < kWindow; ++i, ++k) w.put<uint64_t>(k < v->total ? v->dec[k & (kRing - 1)] : 0);
}

int viterbi27_set_state(viterbi27 *v, const void *blob) {
    if (v == nullptr || blob == nullptr) return SX_ERR_INVALID;
    sx::StateReader r(blob);
    if (!r.header(kTag, kStateBytes)) return SX_ERR_INVALID;
    const auto total = r.get<uint64_t>();
    const auto emitted = r.get<uint64_t>();
    // Counters must be ones this decoder can reach: bits are emitted only at
    // fixed points, so `emitted` follows from `total`.
    if (total > (uint64_t{1} << 62) || emitted != emitted_at(total)) return SX_ERR_INVALID;
    uint16_t metric[kStates];
    r.bytes(metric, sizeof metric);
    const uint64_t cap = kOffStart + total % kRenorm * kBranchMax;
    for (uint16_t m : metric)
        if (m > cap) return SX_ERR_INVALID;
    std::memcpy(v->metric, metric, sizeof metric);
    v->total = total;
    v->emitted = emitted;
    for (uint64_t i = 0, k = emitted; i < kWindow; ++i, ++k) {
        const auto d = r.get<uint64_t>();
        if (k < total) v->dec[k & (kRing - 1)] = d;
    }
    return SX_OK;
}

int64_t viterbi27_decode_block(const int8_t *soft, size_t n_soft, int start_state, int terminated, uint8_t *out,
                               size_t capacity) {
    return decode_block(FromI8{soft}, n_soft, start_state, terminated, out, capacity);
}
int64_t viterbi27_decode_block_f32(const float *soft, size_t n_soft, int start_state, int terminated, uint8_t *out,
                                   size_t capacity) {
    return decode_block(FromF32{soft}, n_soft, start_state, terminated, out, capacity);
}
int64_t viterbi27_decode_block_hard(const uint8_t *bits, size_t n_soft, int start_state, int terminated,
                                    uint8_t *out, size_t capacity) {
    return decode_block(FromHard{bits}, n_soft, start_state, terminated, out, capacity);
}

}  // extern "C"
