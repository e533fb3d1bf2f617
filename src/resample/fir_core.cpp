#include "resample/fir_core.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "core/sx_aligned.h"
#include "core/sx_simd.h"
#include "core/sx_state.h"

namespace {

constexpr sx::StateTag kTag{{'F', 'I', 'R', '_'}, 1};
// Taps beyond this cannot be a filter anyone runs, and keep every size below
// (history, work, blob) far from overflowing.
constexpr size_t kMaxTaps = size_t{1} << 28;

}  // namespace

struct fir_t {
    sx::AlignedBuf<float> taps_r;   // real taps, or empty
    sx::AlignedBuf<cf32_t> taps_c;  // complex taps, or empty
    sx::AlignedBuf<float> taps_s;   // complex taps: (-hi, hi) repeated over 8 floats per tap
    sx::AlignedBuf<cf32_t> history; // last num_taps - 1 inputs, oldest first
    sx::AlignedBuf<cf32_t> work;    // history followed by the current block
    size_t num_taps = 0;
};

namespace {

template <class T> fir_t *make(const T *taps, size_t count) {
    if (taps == nullptr || count == 0 || count > kMaxTaps) return nullptr;
    std::unique_ptr<fir_t> f(new (std::nothrow) fir_t);
    if (!f) return nullptr;
    if constexpr (std::is_same_v<T, float>) {
        if (!f->taps_r.allocate(count)) return nullptr;
        std::memcpy(f->taps_r.data(), taps, count * sizeof(float));
    } else {
        if (!f->taps_c.allocate(count) || !f->taps_s.allocate(count * 8)) return nullptr;
        std::memcpy(static_cast<void *>(f->taps_c.data()), taps, count * sizeof(cf32_t));
        for (size_t j = 0; j < count; ++j)
            for (size_t k = 0; k < 8; k += 2) {
                f->taps_s[8 * j + k] = -taps[j].imag();
                f->taps_s[8 * j + k + 1] = taps[j].imag();
            }
    }
    if (!f->history.allocate(count - 1)) return nullptr;
    f->num_taps = count;
    return f.release();
}

// out[i] = sum_j h[j] * w[i + T - 1 - j], accumulated tap 0 first in single
// precision. w is the work buffer as interleaved floats. The tap loop runs over
// a block of outputs held in four vector accumulators, so each output keeps its
// own sequential sum while the block fills the vector lanes. W floats per
// vector: 4 (the portable form, SSE2 on every x86-64) or 8 (the AVX2 form,
// chosen at run time; no FMA, so both give bit-identical results).
// The 8-float helpers below are always inlined into AVX2 functions, so the
// ABI of passing such vectors between differently compiled functions (what
// -Wpsabi warns about) never comes into play.
#pragma GCC diagnostic ignored "-Wpsabi"
typedef float v4f __attribute__((vector_size(16)));
typedef float v8f __attribute__((vector_size(32)));
template <int W> struct VecOf;
template <> struct VecOf<4> {
    using type = v4f;
};
template <> struct VecOf<8> {
    using type = v8f;
};
template <int W> using vec = typename VecOf<W>::type;

template <int W> inline __attribute__((always_inline)) vec<W> loadu(const float *p) {
    vec<W> v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// A shuffle of lane 0, which the compiler emits as one broadcast (an
// initializer list of eight copies becomes a chain of lane inserts).
template <int W> inline __attribute__((always_inline)) vec<W> splat(float a) {
    const v4f t = {a, 0.0f, 0.0f, 0.0f};
    if constexpr (W == 4)
        return __builtin_shufflevector(t, t, 0, 0, 0, 0);
    else
        return __builtin_shufflevector(t, t, 0, 0, 0, 0, 0, 0, 0, 0);
}

// (re, im) -> (im, re) in every complex pair.
template <int W> inline __attribute__((always_inline)) vec<W> swap_pairs(vec<W> v) {
    if constexpr (W == 4)
        return __builtin_shufflevector(v, v, 1, 0, 3, 2);
    else
        return __builtin_shufflevector(v, v, 1, 0, 3, 2, 5, 4, 7, 6);
}

template <int W, bool Complex>
inline __attribute__((always_inline)) void filter_blocks(const float *__restrict h,
                                                         const float *__restrict hsign, size_t T,
                                                         const float *__restrict w, size_t n,
                                                         float *__restrict out, size_t &done) {
    // Eight accumulators: enough independent sums to hide the add latency.
    constexpr int kAcc = 8;
    constexpr size_t kOutputs = kAcc * W / 2;  // complex outputs per block
    size_t i = 0;
    for (; i + kOutputs <= n; i += kOutputs) {
        vec<W> a[kAcc];
        for (int q = 0; q < kAcc; ++q) a[q] = splat<W>(0);
        const float *base = w + 2 * (i + T - 1);
        for (size_t j = 0; j < T; ++j) {
            const float *x = base - 2 * j;
            if constexpr (Complex) {
                // re = hr*xr + (-hi)*xi, im = hr*xi + hi*xr: the complex product,
                // rounded as written, then added to the running sum.
                const vec<W> hr = splat<W>(h[2 * j]);
                const vec<W> hs = loadu<W>(hsign + 8 * j);
                for (int q = 0; q < kAcc; ++q) {
                    const vec<W> xq = loadu<W>(x + q * W);
                    a[q] += hr * xq + hs * swap_pairs<W>(xq);
                }
            } else {
                const vec<W> hj = splat<W>(h[j]);
                for (int q = 0; q < kAcc; ++q) a[q] += hj * loadu<W>(x + q * W);
            }
        }
        std::memcpy(out + 2 * i, a, sizeof a);
    }
    done = i;
}

template <bool Complex>
void filter_tail(const float *__restrict h, size_t T, const float *__restrict w, size_t from, size_t n,
                 float *__restrict out) {
    for (size_t i = from; i < n; ++i) {
        float re = 0.0f, im = 0.0f;
        const float *base = w + 2 * (i + T - 1);
        for (size_t j = 0; j < T; ++j) {
            const float xr = base[-2 * static_cast<ptrdiff_t>(j)], xi = base[-2 * static_cast<ptrdiff_t>(j) + 1];
            if constexpr (Complex) {
                const float hr = h[2 * j], hi = h[2 * j + 1];
                re += hr * xr - hi * xi;
                im += hr * xi + hi * xr;
            } else {
                re += h[j] * xr;
                im += h[j] * xi;
            }
        }
        out[2 * i] = re;
        out[2 * i + 1] = im;
    }
}

template <bool Complex>
SX_TARGET_AVX2 void filter_avx2(const float *h, const float *hsign, size_t T, const float *w,
                                                 size_t n, float *out) {
    size_t done;
    filter_blocks<8, Complex>(h, hsign, T, w, n, out, done);
    filter_tail<Complex>(h, T, w, done, n, out);
}

template <bool Complex>
void filter_generic(const float *h, const float *hsign, size_t T, const float *w, size_t n, float *out) {
    size_t done;
    filter_blocks<4, Complex>(h, hsign, T, w, n, out, done);
    filter_tail<Complex>(h, T, w, done, n, out);
}

// hsign: for complex taps, (-hi, hi) over 8 floats per tap; unused for real taps.
template <bool Complex>
void filter(const float *h, const float *hsign, size_t T, const float *w, size_t n, float *out) {
    if (sx::simd::avx2())
        filter_avx2<Complex>(h, hsign, T, w, n, out);
    else
        filter_generic<Complex>(h, hsign, T, w, n, out);
}

constexpr size_t state_bytes_for(size_t num_taps) {
    return sx::kStateHeaderBytes + (num_taps < 2 ? 0 : 8 * (num_taps - 1));
}

}  // namespace

bool fir_state_valid(const fir_t *f, const uint8_t *blob) {
    return f != nullptr && sx::state_header_ok(blob, kTag, state_bytes_for(f->num_taps));
}

void fir_state_apply(fir_t *f, const uint8_t *blob) {
    if (!f->history.empty())
        std::memcpy(static_cast<void *>(f->history.data()), blob + sx::kStateHeaderBytes,
                    f->history.size() * sizeof(cf32_t));
}

extern "C" {

fir_t *fir_create(const cf32_t *taps, size_t count) { return make(taps, count); }
fir_t *fir_create_real(const float *taps, size_t count) { return make(taps, count); }
void fir_destroy(fir_t *f) { delete f; }

void fir_reset(fir_t *f) {
    if (f != nullptr) f->history.zero();
}

size_t fir_state_bytes(const fir_t *f) { return f == nullptr ? 0 : state_bytes_for(f->num_taps); }

void fir_get_state(const fir_t *f, void *blob) {
    if (f == nullptr || blob == nullptr) return;
    sx::StateWriter w(blob);
    w.header(kTag, state_bytes_for(f->num_taps));
    w.bytes(f->history.data(), f->history.size() * sizeof(cf32_t));
}

int fir_set_state(fir_t *f, const void *blob) {
    const auto *p = static_cast<const uint8_t *>(blob);
    if (!fir_state_valid(f, p)) return SX_ERR_INVALID;
    fir_state_apply(f, p);
    return SX_OK;
}

size_t fir_get_num_taps(const fir_t *f) { return f == nullptr ? 0 : f->num_taps; }
int fir_get_is_real(const fir_t *f) { return f != nullptr && !f->taps_r.empty(); }

double fir_dc_gain(const fir_t *f) {
    if (f == nullptr) return 0.0;
    double s = 0.0;
    for (float h : f->taps_r) s += h;
    for (const cf32_t &h : f->taps_c) s += h.real();
    return s;
}

size_t fir_execute(fir_t *f, const cf32_t *in, size_t n, cf32_t *out) {
    if (f == nullptr || in == nullptr || out == nullptr || n == 0) return 0;
    const size_t hist = f->num_taps - 1;
    if (n > (SIZE_MAX / sizeof(cf32_t)) - hist) return 0;
    const auto lo_in = reinterpret_cast<uintptr_t>(in), lo_out = reinterpret_cast<uintptr_t>(out);
    const bool overlap = lo_in < lo_out + n * sizeof(cf32_t) && lo_out < lo_in + n * sizeof(cf32_t);
    // Without overlap only the outputs that reach back into the history go
    // through the scratch buffer; the rest read the input where it is. With
    // overlap (in-place filtering) the whole block is staged first.
    const size_t staged = overlap ? n : std::min(n, hist);
    const size_t need = hist + staged;
    if (!f->work.reserve(need)) return 0;
    cf32_t *w = f->work.data();
    if (hist) std::memcpy(static_cast<void *>(w), f->history.data(), hist * sizeof(cf32_t));
    if (staged) std::memcpy(static_cast<void *>(w + hist), in, staged * sizeof(cf32_t));
    auto run = [&](const cf32_t *src, size_t count, cf32_t *dst) {
        const auto *sf = reinterpret_cast<const float *>(src);
        auto *df = reinterpret_cast<float *>(dst);
        if (!f->taps_r.empty())
            filter<false>(f->taps_r.data(), nullptr, f->num_taps, sf, count, df);
        else
            filter<true>(reinterpret_cast<const float *>(f->taps_c.data()), f->taps_s.data(), f->num_taps, sf, count,
                         df);
    };
    if (staged) run(w, staged, out);
    // Outputs from index hist on need no history: out[hist + i] reads in[i .. i + hist].
    if (staged < n) run(in, n - staged, out + staged);
    // The new history is the last hist samples of history + input.
    if (hist)
        std::memcpy(static_cast<void *>(f->history.data()), staged < n ? in + n - hist : w + n, hist * sizeof(cf32_t));
    return n;
}

size_t fir_execute_max_out(const fir_t *) { return 0; }

}  // extern "C"
