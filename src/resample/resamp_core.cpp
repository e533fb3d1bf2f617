#include "resample/resamp_core.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "core/filter_design.h"
#include "core/sx_aligned.h"
#include "core/sx_simd.h"
#include "core/sx_state.h"

namespace {

constexpr sx::StateTag kTag{{'R', 'S', 'M', 'P'}, 2};
constexpr double kTwo32 = 4294967296.0;
// Branch selection multiplies a 32-bit accumulator by L in 64 bits, and the ring
// is sized from T: both limits keep that arithmetic and every size exact.
constexpr size_t kMaxPhases = size_t{1} << 32;
constexpr size_t kMaxTaps = size_t{1} << 24;
constexpr size_t kBuiltinPhases = 4096;
constexpr size_t kBuiltinTaps = 19;
constexpr size_t kMaxOut = 65536;
// Control form: the most inputs it waits for before an output is the 10^6 of a
// rate at or below 10^-6, plus one for a wrapped fraction; a pending count above
// that no object reaches.
constexpr uint32_t kMaxCtrlPending = 1000001;
// Inputs pushed while outputs were owed (out full) stop being counted here: each
// one is worked through, one pass each, by the next call, so the count bounds
// that call's work. A caller that keeps giving too little room loses the outputs
// owed beyond it, which would be computed over a ring that has long moved on.
constexpr int32_t kMaxCtrlBacklog = static_cast<int32_t>(kMaxOut);

// Kernels work on vectors of eight floats (four complex samples, or four taps
// each stored twice to meet I and Q). The AVX2 form holds one in a register;
// the portable form, compiled from the same source, splits every operation
// into two SSE halves lane by lane, so both give the same bits.
#pragma GCC diagnostic ignored "-Wpsabi"
typedef float v8f __attribute__((vector_size(32)));
typedef float v4f __attribute__((vector_size(16)));
typedef int32_t v8i __attribute__((vector_size(32)));

inline __attribute__((always_inline)) v8f load8(const float *p) {
    v8f v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline __attribute__((always_inline)) void store8(float *p, v8f v) { std::memcpy(p, &v, sizeof v); }

// Taps per branch held in registers by the specialised kernels: up to eight
// vectors (32 taps); longer branches run a loop over memory.
constexpr size_t kMaxRegVectors = 8;
// New inputs staged per round into the interpolating form's delay line.
constexpr size_t kStage = 2048;

// The built-in 4096 x 19 bank: a Kaiser-windowed sinc (60 dB window) with its
// zeros every 4096 points, so each branch passes DC with gain close to 1 and
// the cutoff is the input Nyquist frequency. Computed once per process.
const std::vector<float> &builtin_bank() {
    static std::vector<float> bank;
    static std::once_flag once;
    std::call_once(once, [] {
        const size_t L = kBuiltinPhases, T = kBuiltinTaps;
        const double M = 9.5 * static_cast<double>(L);
        const double beta = 5.65326;
        const double i0b = sx::design::bessel_i0(beta, sx::design::I0Rule::bank);
        std::vector<double> h(L * T);
        for (size_t j = 0; j < L * T; ++j) {
            const double d = static_cast<double>(j) - M;
            const double w = sx::design::kaiser_value(d / M, beta, i0b, sx::design::I0Rule::bank);
            if (d == 0.0) {
                h[j] = 1.0;
            } else {
                const double a = M_PI * d / static_cast<double>(L);
                h[j] = w * std::sin(a) / a;
            }
        }
        bank.resize(L * T);
        for (size_t p = 0; p < L; ++p)
            for (size_t k = 0; k < T; ++k) bank[p * T + k] = static_cast<float>(h[k * L + p]);
    });
    return bank;
}

// Per-input control step: whole inputs to consume and the fractional advance
// per output for an effective ratio r.
struct CtrlStep {
    uint32_t adv;
    uint32_t fstep;
};

CtrlStep ctrl_step(double r) {
    if (!(r > 1e-6)) return {1000000u, 0u};
    const double q = 1.0 / r;
    const double whole = std::trunc(q);
    const double frac = q - whole;
    const double f = kTwo32 * frac;
    if (f > 0.0) {
        // q < 1e6 here, so whole fits; f < 2^32 unless rounding reached it.
        const uint32_t fs = f >= 4294967295.0 ? 4294967295u : static_cast<uint32_t>(f);
        return {static_cast<uint32_t>(whole), fs};
    }
    return {whole >= 4294967295.0 ? 4294967295u : static_cast<uint32_t>(whole), 0u};
}

size_t smallest_pow2_at_least(size_t n) { return std::bit_ceil(n < 1 ? size_t{1} : n); }

}  // namespace

struct resamp_t {
    double rate = 0.0;
    size_t L = 0;              // branches
    size_t T = 0;              // taps per branch
    int interp = 0;            // 1: interpolating block form
    size_t nv = 0;             // vectors of four taps per branch: ceil(T / 4)
    // L rows of 8 * nv floats: coefficient k of a branch twice (it meets I and
    // Q), zero past T. Rows start on 32-byte boundaries.
    sx::AlignedBuf<float> bank;
    // The last vector of a window with its lanes past T cleared: those lanes
    // read samples older than the branch (or not yet pushed), which must not
    // reach an output even as 0 * inf.
    v8i tail_mask = {};
    uint32_t phase = 0;
    uint32_t step = 0;
    // Delay line, newest sample at line[pos] and older ones above it: the k-th
    // most recent input is line[pos + k], so a window is contiguous. Inputs are
    // staged below pos in rounds and a push only moves pos down, so the kernel
    // never reads a sample just stored. When pos reaches 0 the history is moved
    // back to the top.
    sx::AlignedBuf<cf32_t> line;
    size_t hist = 0;           // samples kept above pos: max(S, 4 * nv)
    size_t pos = 0;
    // The saved ring: S samples, and the position its newest sample would have
    // in a ring of S that moves down one place per push.
    size_t S = 1;
    size_t ring_pos = 0;
    // Decimating form: D[k] = dacc[T - 1 - k] (k < T) and E[k] = dhist[T - 2 - k]
    // (k < T - 1), complex, 8 * nv floats each; lanes past those are scratch.
    sx::AlignedBuf<float> D, E;
    uint32_t ctrl_phase = 0;
    uint32_t ctrl_pending = 0;
    int32_t ctrl_backlog = 0;

    size_t row(uint32_t acc) const { return static_cast<size_t>((static_cast<uint64_t>(acc) * L) >> 32); }
    const float *branch(uint32_t acc) const { return bank.data() + row(acc) * 8 * nv; }
    const float *window(size_t at) const { return reinterpret_cast<const float *>(line.data() + at); }
    size_t top() const { return line.size() - hist; }
    // Moves the history back to the top of the line, making room below it.
    void rewind() {
        std::memmove(static_cast<void *>(line.data() + top()), line.data() + pos, hist * sizeof(cf32_t));
        pos = top();
    }
    void push(cf32_t x) {
        if (pos == 0) rewind();
        line[--pos] = x;
        ring_pos = (ring_pos - 1) & (S - 1);
    }
};

namespace {

// A ratio is finite and not negative: a negative one has no meaning, and the
// decimating form would scale samples by it (a float conversion out of range
// for a large one).
// The 32-bit phase step holds a ratio only within [2^-32, 2^32]: outside it the
// step truncates to 0 and the object would run at some other ratio (one output
// per input) without a word. 0 stays the documented all-zero form.
bool rate_ok(double rate) { return rate == 0.0 || (rate >= RESAMP_MIN_RATE && rate <= RESAMP_MAX_RATE); }

void apply_rate(resamp_t *r, double rate) {
    r->rate = rate;
    r->interp = rate >= 1.0;
    uint32_t step = 0;
    if (rate >= 1.0) {
        const double q = kTwo32 / rate;
        if (q > 0.0 && q < kTwo32) step = static_cast<uint32_t>(q);
    } else {
        const double q = kTwo32 * rate;
        if (q > 0.0) step = static_cast<uint32_t>(q);
    }
    r->step = step;
}

size_t state_bytes_for(size_t S, size_t T) { return 40 + 16 * S + 8 * T + (T >= 2 ? 8 * (T - 1) : 0); }

cf32_t lane(const sx::AlignedBuf<float> &v, size_t k) { return {v[2 * k], v[2 * k + 1]}; }

}  // namespace

bool resamp_state_valid(const resamp_t *r, const uint8_t *blob) {
    if (r == nullptr || !sx::state_header_ok(blob, kTag, state_bytes_for(r->S, r->T))) return false;
    uint64_t pos;
    uint32_t pending;
    int32_t backlog;
    std::memcpy(&pos, blob + 20, 8);
    std::memcpy(&pending, blob + 32, 4);
    std::memcpy(&backlog, blob + 36, 4);
    // Counters only within what a running object reaches: a larger backlog
    // would be worked through, pass by pass, by the next control call.
    if (pos >= r->S || pending > kMaxCtrlPending || backlog < 0 || backlog > kMaxCtrlBacklog) return false;
    // Both halves of the doubled ring must agree, or the kernel would read a
    // window that no input sequence could have produced.
    const uint8_t *ring = blob + 40;
    return std::memcmp(ring, ring + 8 * r->S, 8 * r->S) == 0;
}

void resamp_state_apply(resamp_t *r, const uint8_t *blob) {
    sx::StateReader rd(blob);
    rd.skip(sx::kStateHeaderBytes);
    r->phase = rd.get<uint32_t>();
    r->ring_pos = static_cast<size_t>(rd.get<uint64_t>());
    r->ctrl_phase = rd.get<uint32_t>();
    r->ctrl_pending = rd.get<uint32_t>();
    r->ctrl_backlog = rd.get<int32_t>();
    // ring[ring_pos + k] is the k-th most recent input: line[pos + k].
    r->line.zero();
    r->pos = r->top();
    const uint8_t *ring = rd.pos();
    for (size_t k = 0; k < r->S; ++k)
        std::memcpy(static_cast<void *>(&r->line[r->pos + k]), ring + 8 * (r->ring_pos + k), 8);
    rd.skip(16 * r->S);
    r->D.zero();
    r->E.zero();
    for (size_t k = 0; k < r->T; ++k) {
        const cf32_t v = rd.get<cf32_t>();
        r->D[2 * (r->T - 1 - k)] = v.real();
        r->D[2 * (r->T - 1 - k) + 1] = v.imag();
    }
    for (size_t k = 0; k + 1 < r->T; ++k) {
        const cf32_t v = rd.get<cf32_t>();
        r->E[2 * (r->T - 2 - k)] = v.real();
        r->E[2 * (r->T - 2 - k) + 1] = v.imag();
    }
}

namespace {

// One output of the interpolating kernel: sum_k bank[row][k] * x[k] over the
// window x (newest first). Vectors of four taps go alternately to two
// accumulators (partial sums by tap k mod 8), which are added, folded to four
// lanes and then to I and Q, always in this order. NV > 0 fixes the vector
// count at compile time (registers, unrolled); NV = 0 reads it from r.
template <size_t NV>
inline __attribute__((always_inline)) cf32_t dot(const resamp_t *r, const float *__restrict b,
                                                 const float *__restrict x) {
    const size_t nv = NV ? NV : r->nv;
    const v8f last = (v8f)((v8i)load8(x + 8 * (nv - 1)) & r->tail_mask);
    v8f a, c;
    if (nv == 1) {
        a = load8(b) * last;
        c = v8f{};
    } else {
        a = load8(b) * load8(x);
        c = load8(b + 8) * (nv == 2 ? last : load8(x + 8));
        for (size_t v = 2; v < nv; ++v) {
            const v8f p = load8(b + 8 * v) * (v + 1 == nv ? last : load8(x + 8 * v));
            if (v & 1)
                c += p;
            else
                a += p;
        }
    }
    const v8f s = a + c;
    const v4f h = __builtin_shufflevector(s, s, 0, 1, 2, 3) + __builtin_shufflevector(s, s, 4, 5, 6, 7);
    return {h[0] + h[2], h[1] + h[3]};
}

// One complex sample in all four lane pairs, built in registers in both forms
// (a broadcast written otherwise goes through the stack in the portable one).
typedef double v2d __attribute__((vector_size(16)));
inline __attribute__((always_inline)) v8f broadcast_sample(const cf32_t *x) {
    double d;
    std::memcpy(&d, x, sizeof d);
    const v2d t = {d, d};
    const v4f h = (v4f)t;
    return __builtin_shufflevector(h, h, 0, 1, 2, 3, 0, 1, 2, 3);
}

// Stages m inputs below pos, newest lowest: line[pos - 1 - i] = in[i].
inline __attribute__((always_inline)) void stage(resamp_t *r, const cf32_t *__restrict in, size_t m) {
    cf32_t *__restrict d = r->line.data() + r->pos - 1;
    for (size_t i = 0; i < m; ++i) d[-static_cast<ptrdiff_t>(i)] = in[i];
}

// Interpolating form: one output per accumulator step, an input pushed at
// every wrap; stops once all n_in inputs are in or out is full. Returns the
// outputs written; `used` receives the inputs consumed.
template <size_t NV>
inline __attribute__((always_inline)) size_t interp_loop(resamp_t *r, const cf32_t *in, size_t n_in, cf32_t *out,
                                                         size_t out_cap, size_t &used) {
    const uint32_t step = r->step;
    uint32_t ph = r->phase;
    size_t m = 0, u = 0;
    while (u < n_in && m < out_cap) {
        if (r->pos == 0) r->rewind();
        const size_t k = std::min(n_in - u, std::min(r->pos, kStage));
        stage(r, in + u, k);
        // Consuming the k staged inputs moves pos down to stop.
        size_t p = r->pos;
        const size_t stop = p - k;
        while (m < out_cap) {
            out[m++] = dot<NV>(r, r->branch(ph), r->window(p));
            const uint32_t nx = ph + step;
            const bool wrapped = nx <= ph;
            ph = nx;
            if (wrapped && --p == stop) break;
        }
        u += r->pos - p;
        r->pos = p;
    }
    r->ring_pos = (r->ring_pos - u) & (r->S - 1);
    r->phase = ph;
    used = u;
    return m;
}

// Decimating form, transposed: each input, scaled by the rate, is spread over
// the accumulators D of the output period in progress with the branch of its
// own instant; an output completes at every wrap, when E (the partial sums of
// the periods before) moves up one tap and takes D in: out = E'[T - 1] with
// E'[k] = E[k - 1] + D[k] (E[-1] = 0), then D = 0. NV as in dot(); with NV
// fixed D lives in registers for the whole call, and E too when ERegs (the
// portable form has half the register width, and keeps a long E in memory).
template <size_t NV, bool ERegs>
inline __attribute__((always_inline)) size_t decim_loop(resamp_t *r, const cf32_t *in, size_t n_in, cf32_t *out,
                                                        size_t out_cap) {
    constexpr size_t kRegs = NV ? NV : 1;
    constexpr bool kE = NV > 0 && ERegs;
    const size_t nv = NV ? NV : r->nv;
    const size_t T = r->T;
    const uint32_t step = r->step;
    const float rf = static_cast<float>(r->rate);
    const v8f rate = {rf, rf, rf, rf, rf, rf, rf, rf};
    v8f dreg[kRegs], ereg[kRegs];
    v8f *D = NV ? dreg : reinterpret_cast<v8f *>(r->D.data());
    v8f *E = kE ? ereg : reinterpret_cast<v8f *>(r->E.data());
    if constexpr (NV > 0)
        for (size_t v = 0; v < NV; ++v) dreg[v] = load8(r->D.data() + 8 * v);
    if constexpr (kE)
        for (size_t v = 0; v < NV; ++v) ereg[v] = load8(r->E.data() + 8 * v);
    // The output is lane pair T - 1 of E', in its last vector.
    const size_t ol = 2 * ((T - 1) % 4);
    uint32_t ph = r->phase;
    size_t m = 0;
    for (size_t i = 0; i < n_in && m < out_cap; ++i) {
        const v8f xs = broadcast_sample(in + i) * rate;
        const float *__restrict b = r->branch(ph);
        for (size_t v = 0; v < nv; ++v) D[v] += load8(b + 8 * v) * xs;
        const uint32_t nx = ph + step;
        if (nx <= ph) {
            v8f below = {};
            for (size_t v = 0; v < nv; ++v) {
                const v8f cur = E[v];
                E[v] = __builtin_shufflevector(below, cur, 6, 7, 8, 9, 10, 11, 12, 13) + D[v];
                D[v] = v8f{};
                below = cur;
            }
            const v8f o = E[nv - 1];
            out[m++] = {o[ol], o[ol + 1]};
        }
        ph = nx;
    }
    if constexpr (NV > 0)
        for (size_t v = 0; v < NV; ++v) store8(r->D.data() + 8 * v, dreg[v]);
    if constexpr (kE)
        for (size_t v = 0; v < NV; ++v) store8(r->E.data() + 8 * v, ereg[v]);
    r->phase = ph;
    return m;
}

// Control form, input by input: with the effective ratio rate + ctrl[i], the
// outputs owed before input i are written (over the window as it stands), then
// the input is pushed. Outputs that find out full stay owed (ctrl_pending 0 on
// the next call) and the input is pushed anyway, counted in ctrl_backlog so a
// later input is not pushed twice. Inputs are taken while out has room, and
// the first `must` of them in any case. NV as in dot().
template <size_t NV>
inline __attribute__((always_inline)) size_t ctrl_loop(resamp_t *r, const cf32_t *in, const double *ctrl, size_t n,
                                                       cf32_t *out, size_t out_cap, size_t must) {
    size_t w = 0;
    for (size_t i = 0; i < n && (i < must || w < out_cap); ++i) {
        const CtrlStep cs = ctrl_step(r->rate + ctrl[i]);
        bool owed = false;  // out filled up while outputs were still due before this input
        for (;;) {
            while (r->ctrl_pending == 0 && w < out_cap) {
                out[w++] = dot<NV>(r, r->branch(r->ctrl_phase), r->window(r->pos));
                const uint32_t nx = r->ctrl_phase + cs.fstep;
                r->ctrl_pending = cs.adv + (nx < r->ctrl_phase ? 1u : 0u);
                r->ctrl_phase = nx;
            }
            if (r->ctrl_pending == 0) {
                owed = true;
                break;
            }
            --r->ctrl_pending;
            if (r->ctrl_backlog == 0) break;
            --r->ctrl_backlog;
            if (w >= out_cap) {
                owed = true;
                break;
            }
        }
        r->push(in[i]);
        if (owed && r->ctrl_backlog < kMaxCtrlBacklog) ++r->ctrl_backlog;
    }
    return w;
}

// Every form in both builds, specialised for branches of up to kMaxRegVectors
// vectors; Forms<0> serves longer ones.
template <size_t NV> struct Forms {
    static size_t interp_generic(resamp_t *r, const cf32_t *in, size_t n, cf32_t *out, size_t cap, size_t &used) {
        return interp_loop<NV>(r, in, n, out, cap, used);
    }
    SX_TARGET_AVX2 static size_t interp_avx2(resamp_t *r, const cf32_t *in, size_t n, cf32_t *out, size_t cap,
                                             size_t &used) {
        return interp_loop<NV>(r, in, n, out, cap, used);
    }
    static size_t decim_generic(resamp_t *r, const cf32_t *in, size_t n, cf32_t *out, size_t cap) {
        return decim_loop<NV, (NV <= 3)>(r, in, n, out, cap);
    }
    SX_TARGET_AVX2 static size_t decim_avx2(resamp_t *r, const cf32_t *in, size_t n, cf32_t *out, size_t cap) {
        return decim_loop<NV, true>(r, in, n, out, cap);
    }
    static size_t ctrl_generic(resamp_t *r, const cf32_t *in, const double *ctrl, size_t n, cf32_t *out,
                               size_t cap, size_t must) {
        return ctrl_loop<NV>(r, in, ctrl, n, out, cap, must);
    }
    SX_TARGET_AVX2 static size_t ctrl_avx2(resamp_t *r, const cf32_t *in, const double *ctrl, size_t n, cf32_t *out,
                                           size_t cap, size_t must) {
        return ctrl_loop<NV>(r, in, ctrl, n, out, cap, must);
    }
    static cf32_t dot_generic(const resamp_t *r, uint32_t acc) { return dot<NV>(r, r->branch(acc), r->window(r->pos)); }
    SX_TARGET_AVX2 static cf32_t dot_avx2(const resamp_t *r, uint32_t acc) {
        return dot<NV>(r, r->branch(acc), r->window(r->pos));
    }
};

// Calls f.template operator()<NV>() with the specialisation for r's branch length.
template <class F> auto dispatch(const resamp_t *r, F &&f) {
    if (r->nv > kMaxRegVectors) return f.template operator()<0>();
    switch (r->nv) {
        case 1: return f.template operator()<1>();
        case 2: return f.template operator()<2>();
        case 3: return f.template operator()<3>();
        case 4: return f.template operator()<4>();
        case 5: return f.template operator()<5>();
        case 6: return f.template operator()<6>();
        case 7: return f.template operator()<7>();
        default: return f.template operator()<8>();
    }
}

size_t interp(resamp_t *r, const cf32_t *in, size_t n, cf32_t *out, size_t cap, size_t &used) {
    const bool avx2 = sx::simd::avx2();
    return dispatch(r, [&]<size_t NV>() {
        return avx2 ? Forms<NV>::interp_avx2(r, in, n, out, cap, used)
                    : Forms<NV>::interp_generic(r, in, n, out, cap, used);
    });
}

size_t decim(resamp_t *r, const cf32_t *in, size_t n, cf32_t *out, size_t cap) {
    const bool avx2 = sx::simd::avx2();
    return dispatch(r, [&]<size_t NV>() {
        return avx2 ? Forms<NV>::decim_avx2(r, in, n, out, cap) : Forms<NV>::decim_generic(r, in, n, out, cap);
    });
}

size_t ctrl(resamp_t *r, const cf32_t *in, const double *c, size_t n, cf32_t *out, size_t cap, size_t must) {
    const bool avx2 = sx::simd::avx2();
    return dispatch(r, [&]<size_t NV>() {
        return avx2 ? Forms<NV>::ctrl_avx2(r, in, c, n, out, cap, must)
                    : Forms<NV>::ctrl_generic(r, in, c, n, out, cap, must);
    });
}

// The interpolating kernel over the current window, at accumulator acc.
cf32_t kernel_any(const resamp_t *r, uint32_t acc) {
    const bool avx2 = sx::simd::avx2();
    return dispatch(r, [&]<size_t NV>() {
        return avx2 ? Forms<NV>::dot_avx2(r, acc) : Forms<NV>::dot_generic(r, acc);
    });
}

// The counter part of resamp_execute_ctrl_push without the kernel: with room
// for every output the backlog only drains. ctrl_at(i) is input i's deviation.
template <class CtrlAt> size_t ctrl_outputs(const resamp_t *r, size_t n, size_t limit, CtrlAt ctrl_at) {
    uint32_t ph = r->ctrl_phase, pending = r->ctrl_pending;
    int32_t backlog = r->ctrl_backlog;
    size_t count = 0;
    for (size_t i = 0; i < n; ++i) {
        const CtrlStep cs = ctrl_step(r->rate + ctrl_at(i));
        for (;;) {
            while (pending == 0) {
                if (count++ >= limit) return SIZE_MAX;
                const uint32_t nx = ph + cs.fstep;
                pending = cs.adv + (nx < ph ? 1u : 0u);
                ph = nx;
            }
            --pending;
            if (backlog == 0) break;
            --backlog;
        }
    }
    return count;
}

}  // namespace

extern "C" {

resamp_t *resamp_create_from_bank(size_t L, size_t T, float *bank, double rate) {
    std::unique_ptr<float, decltype(&std::free)> owned(bank, &std::free);
    if (L == 0 || T == 0 || bank == nullptr || L > kMaxPhases || T > kMaxTaps || !rate_ok(rate)) return nullptr;
    const size_t nv = (T + 3) / 4;
    if (L > SIZE_MAX / (8 * nv * sizeof(float))) return nullptr;
    std::unique_ptr<resamp_t> r(new (std::nothrow) resamp_t);
    if (!r) return nullptr;
    r->L = L;
    r->T = T;
    r->nv = nv;
    if (!r->bank.allocate(L * 8 * nv)) return nullptr;
    for (size_t p = 0; p < L; ++p)
        for (size_t k = 0; k < T; ++k) {
            float *d = r->bank.data() + p * 8 * nv + 2 * k;
            d[0] = d[1] = bank[p * T + k];
        }
    owned.reset();
    for (size_t l = 0; l < 8; ++l) r->tail_mask[l] = 4 * (nv - 1) + l / 2 < T ? -1 : 0;
    r->S = smallest_pow2_at_least(T);
    r->hist = std::max(r->S, 4 * nv);
    if (!r->line.allocate(r->hist + kStage) || !r->D.allocate(8 * nv) || !r->E.allocate(8 * nv)) return nullptr;
    r->pos = r->top();
    apply_rate(r.get(), rate);
    return r.release();
}

resamp_t *resamp_create_custom(size_t L, size_t T, const float *bank, double rate) {
    if (L == 0 || T == 0 || bank == nullptr || !(rate > 0.0) || L > kMaxPhases || T > kMaxTaps) return nullptr;
    if (L > SIZE_MAX / (T * sizeof(float))) return nullptr;
    auto *copy = static_cast<float *>(std::malloc(L * T * sizeof(float)));
    if (copy == nullptr) return nullptr;
    std::memcpy(copy, bank, L * T * sizeof(float));
    return resamp_create_from_bank(L, T, copy, rate);
}

resamp_t *resamp_create(double rate) {
    if (!rate_ok(rate)) return nullptr;
    try {
        const std::vector<float> &b = builtin_bank();
        auto *copy = static_cast<float *>(std::malloc(b.size() * sizeof(float)));
        if (copy == nullptr) return nullptr;
        std::memcpy(copy, b.data(), b.size() * sizeof(float));
        return resamp_create_from_bank(kBuiltinPhases, kBuiltinTaps, copy, rate);
    } catch (const std::exception &) {
        return nullptr;
    }
}

void resamp_destroy(resamp_t *r) { delete r; }

void resamp_reset(resamp_t *r) {
    if (r == nullptr) return;
    r->phase = 0;
    r->ring_pos = 0;
    r->ctrl_phase = 0;
    r->ctrl_pending = 0;
    r->ctrl_backlog = 0;
    r->line.zero();
    r->pos = r->top();
    r->D.zero();
    r->E.zero();
}

size_t resamp_state_bytes(const resamp_t *r) { return r == nullptr ? 0 : state_bytes_for(r->S, r->T); }

void resamp_get_state(const resamp_t *r, void *blob) {
    if (r == nullptr || blob == nullptr) return;
    sx::StateWriter w(blob);
    w.header(kTag, state_bytes_for(r->S, r->T));
    w.put(r->phase);
    w.put(static_cast<uint64_t>(r->ring_pos));
    w.put(r->ctrl_phase);
    w.put(r->ctrl_pending);
    w.put(r->ctrl_backlog);
    // The ring as a ring of S moving down one place per push would hold it:
    // ring[ring_pos + k] (both halves) is the k-th most recent input.
    for (size_t half = 0; half < 2; ++half)
        for (size_t j = 0; j < r->S; ++j) w.put(r->line[r->pos + ((j - r->ring_pos) & (r->S - 1))]);
    for (size_t k = 0; k < r->T; ++k) w.put(lane(r->D, r->T - 1 - k));
    for (size_t k = 0; k + 1 < r->T; ++k) w.put(lane(r->E, r->T - 2 - k));
}

int resamp_set_state(resamp_t *r, const void *blob) {
    const auto *p = static_cast<const uint8_t *>(blob);
    if (!resamp_state_valid(r, p)) return SX_ERR_INVALID;
    resamp_state_apply(r, p);
    return SX_OK;
}

double resamp_get_rate(const resamp_t *r) { return r == nullptr ? 0.0 : r->rate; }

int resamp_set_rate(resamp_t *r, double rate) {
    if (r == nullptr || !rate_ok(rate)) return SX_ERR_INVALID;
    apply_rate(r, rate);
    return SX_OK;
}

size_t resamp_get_num_phases(const resamp_t *r) { return r == nullptr ? 0 : r->L; }
size_t resamp_get_num_taps(const resamp_t *r) { return r == nullptr ? 0 : r->T; }

double resamp_dc_gain(const resamp_t *r) {
    if (r == nullptr) return 0.0;
    double s = 0.0;
    for (size_t k = 0; k < r->T; ++k) s += r->bank[2 * k];
    return s;
}

double resamp_get_ctrl_acc(const resamp_t *r) { return r == nullptr ? 0.0 : r->ctrl_phase / kTwo32; }

size_t resamp_execute(resamp_t *r, const cf32_t *in, size_t n_in, cf32_t *out, size_t out_cap) {
    if (r == nullptr || in == nullptr || out == nullptr) return 0;
    size_t used;
    if (r->interp) return interp(r, in, n_in, out, out_cap, used);
    return decim(r, in, n_in, out, out_cap);
}

size_t resamp_execute_outputs(const resamp_t *r, size_t n_in) {
    if (r == nullptr || n_in == 0) return 0;
    const unsigned __int128 step = r->step, ph = r->phase;
    if (step == 0) return n_in;
    unsigned __int128 m;
    if (r->interp) {
        // The k-th push follows the output whose step first reaches k * 2^32.
        const unsigned __int128 target = (static_cast<unsigned __int128>(n_in) << 32) - ph;
        m = (target + step - 1) / step;
    } else {
        m = (ph + static_cast<unsigned __int128>(n_in) * step) >> 32;
    }
    return m > SIZE_MAX ? SIZE_MAX : static_cast<size_t>(m);
}

size_t resamp_interp_inputs_needed(const resamp_t *r, size_t n_out) {
    if (r == nullptr) return 0;
    if (r->step == 0) return n_out;
    const unsigned __int128 v = (static_cast<unsigned __int128>(n_out) * r->step + r->phase) >> 32;
    return v > SIZE_MAX ? SIZE_MAX : static_cast<size_t>(v);
}

size_t resamp_interp_fill(resamp_t *r, const cf32_t *in, cf32_t *out, size_t n_out) {
    if (r == nullptr || out == nullptr || n_out == 0) return 0;
    const size_t need = resamp_interp_inputs_needed(r, n_out);
    if (in == nullptr && need > 0) return 0;
    // The block form stops right after pushing the last of the inputs needed;
    // the outputs still due after it push nothing (their steps do not wrap).
    size_t used;
    size_t m = interp(r, in, need, out, n_out, used);
    for (; m < n_out; ++m) {
        out[m] = kernel_any(r, r->phase);
        r->phase += r->step;
    }
    return used;
}

size_t resamp_execute_ctrl_push(resamp_t *r, cf32_t *out, size_t out_cap, cf32_t x, double ctrl) {
    if (r == nullptr || (out == nullptr && out_cap > 0)) return 0;
    return ::ctrl(r, &x, &ctrl, 1, out, out_cap, 1);
}

size_t resamp_execute_ctrl(resamp_t *r, const cf32_t *in, const double *ctrl, size_t n, cf32_t *out,
                           size_t out_cap) {
    if (r == nullptr || in == nullptr || ctrl == nullptr) return 0;
    return ::ctrl(r, in, ctrl, n, out, out_cap, 0);
}

size_t resamp_execute_ctrl_outputs(const resamp_t *r, const double *ctrl, size_t n, size_t limit) {
    if (r == nullptr || ctrl == nullptr) return 0;
    return ctrl_outputs(r, n, limit, [ctrl](size_t i) { return ctrl[i]; });
}

size_t resamp_execute_ctrl_outputs_fixed(const resamp_t *r, double ctrl, size_t n, size_t limit) {
    if (r == nullptr) return 0;
    return ctrl_outputs(r, n, limit, [ctrl](size_t) { return ctrl; });
}

double kaiser_beta(double atten) { return sx::design::kaiser_beta_stopband(atten); }

long long kaiser_num_taps(long long num_phases, double atten, double pb, double sb) {
    return sx::design::kaiser_num_taps(num_phases, atten, pb, sb);
}

resamp_t *Resampler_create(double rate) { return resamp_create(rate); }
resamp_t *Resampler_create_custom(size_t num_phases, size_t num_taps, const float *bank, double rate) {
    return resamp_create_custom(num_phases, num_taps, bank, rate);
}
void Resampler_destroy(resamp_t *r) { resamp_destroy(r); }
void Resampler_reset(resamp_t *r) { resamp_reset(r); }
size_t Resampler_state_bytes(const resamp_t *r) { return resamp_state_bytes(r); }
void Resampler_get_state(const resamp_t *r, void *blob) { resamp_get_state(r, blob); }
int Resampler_set_state(resamp_t *r, const void *blob) { return resamp_set_state(r, blob); }
size_t Resampler_execute(resamp_t *r, const cf32_t *x, size_t x_len, cf32_t *out, size_t out_len) {
    return resamp_execute(r, x, x_len, out, out_len);
}
size_t Resampler_execute_max_out(const resamp_t *) { return kMaxOut; }
double Resampler_get_rate(const resamp_t *r) { return resamp_get_rate(r); }
int Resampler_set_rate(resamp_t *r, double rate) { return resamp_set_rate(r, rate); }
double Resampler_get_ctrl_acc(const resamp_t *r) { return resamp_get_ctrl_acc(r); }
size_t Resampler_get_num_phases(const resamp_t *r) { return resamp_get_num_phases(r); }
size_t Resampler_get_num_taps(const resamp_t *r) { return resamp_get_num_taps(r); }
size_t Resampler_execute_ctrl(resamp_t *r, const cf32_t *x, size_t x_len, const double *ctrl, size_t ctrl_len,
                              cf32_t *out, size_t out_len) {
    return resamp_execute_ctrl(r, x, ctrl, x_len < ctrl_len ? x_len : ctrl_len, out, out_len);
}
size_t Resampler_execute_ctrl_max_out(const resamp_t *) { return kMaxOut; }

}  // extern "C"
