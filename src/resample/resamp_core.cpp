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

// The 8-float helpers are always inlined into AVX2 functions, so the ABI of
// passing such vectors between differently compiled functions (what -Wpsabi
// warns about) never comes into play.
#pragma GCC diagnostic ignored "-Wpsabi"
typedef float v4f __attribute__((vector_size(16)));
typedef float v8f __attribute__((vector_size(32)));
// Unaligned views for stores through typed pointers (so the compiler keeps
// the object's fields in registers across them).
typedef float v4fu __attribute__((vector_size(16), aligned(4)));
typedef float v8fu __attribute__((vector_size(32), aligned(4)));

inline __attribute__((always_inline)) v4f load4(const float *p) {
    v4f v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline __attribute__((always_inline)) v8f load8(const float *p) {
    v8f v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

bool have_avx2() {
    static const bool yes = __builtin_cpu_supports("avx2");
    return yes;
}

// Modified Bessel function of the first kind, order 0, by its power series.
double bessel_i0(double x) {
    const double half = x / 2.0;
    double sum = 1.0, term = 1.0;
    for (int k = 1; k < 29; ++k) {
        term *= half / k;
        const double t2 = term * term;
        if (t2 < 1e-20 * sum) break;
        sum += t2;
    }
    return sum;
}

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
        const double i0b = bessel_i0(beta);
        std::vector<double> h(L * T);
        for (size_t j = 0; j < L * T; ++j) {
            const double d = static_cast<double>(j) - M;
            const double u = d / M;
            const double w = bessel_i0(beta * std::sqrt(1.0 - u * u)) / i0b;
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

// One output of the interpolating kernel: sum_k b[k] * x[k] over T complex
// samples, with the bank row duplicated per component (b is 2T floats laid
// out like x). Four partial sums per component (taps k mod 4), combined in a
// fixed order; the AVX2 form computes exactly the same sums as the SSE form.
template <int W> inline __attribute__((always_inline)) cf32_t kernel(const float *__restrict b,
                                                                    const float *__restrict x, size_t T) {
    v4f a0 = {0, 0, 0, 0}, a1 = {0, 0, 0, 0};
    size_t k = 0;
    if constexpr (W == 8) {
        v8f a = {0, 0, 0, 0, 0, 0, 0, 0};
        for (; k + 4 <= T; k += 4) a += load8(b + 2 * k) * load8(x + 2 * k);
        a0 = __builtin_shufflevector(a, a, 0, 1, 2, 3);
        a1 = __builtin_shufflevector(a, a, 4, 5, 6, 7);
    } else {
        for (; k + 4 <= T; k += 4) {
            a0 += load4(b + 2 * k) * load4(x + 2 * k);
            a1 += load4(b + 2 * k + 4) * load4(x + 2 * k + 4);
        }
    }
    if (k + 2 <= T) {
        a0 += load4(b + 2 * k) * load4(x + 2 * k);
        k += 2;
    }
    a0 += a1;
    float re = a0[0] + a0[2], im = a0[1] + a0[3];
    if (k < T) {
        re += b[2 * k] * x[2 * k];
        im += b[2 * k + 1] * x[2 * k + 1];
    }
    return {re, im};
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
    size_t L = 0;                // branches
    size_t T = 0;                // taps per branch
    int interp = 0;              // 1: interpolating block form
    std::vector<float> bank;     // L * T, branch-major, as given
    size_t Tp = 0;               // T rounded up to a multiple of 4: row stride of bankd, length of dacc
    std::vector<float> bankd;    // L rows of 2 * Tp: each coefficient twice, to meet interleaved I/Q; zero padded
    uint32_t phase = 0;
    uint32_t step = 0;
    std::vector<cf32_t> ring;    // 2 * S, every sample written twice
    size_t S = 1;
    size_t ring_pos = 0;
    std::vector<cf32_t> dacc;    // Tp (+ slack) decimating accumulators, dacc[k] stored at T - 1 - k (padding unused)
    // Transposed partial sums dhist[0..T-2], held reversed (dhist[k] at T - 2 - k)
    // in one of two halves: each completed output writes the next half from the
    // current one, a plain element-wise add instead of a shift in place.
    std::vector<float> dh2;      // 2 halves of dh_half floats
    size_t dh_half = 0;          // 2 * Tp + 8 (room for whole vectors)
    size_t dcur = 0;             // half holding the live sums
    float *dh_live() { return dh2.data() + dcur * dh_half; }
    const float *dh_live() const { return dh2.data() + dcur * dh_half; }
    uint32_t ctrl_phase = 0;
    uint32_t ctrl_pending = 0;
    int32_t ctrl_backlog = 0;

    size_t row(uint32_t acc) const { return static_cast<size_t>((static_cast<uint64_t>(acc) * L) >> 32); }
    const float *branch(uint32_t acc) const { return bankd.data() + row(acc) * 2 * Tp; }
    const float *window(size_t pos) const { return reinterpret_cast<const float *>(ring.data() + pos); }
    void push(cf32_t x) {
        ring_pos = (ring_pos - 1) & (S - 1);
        ring[ring_pos] = x;
        ring[ring_pos + S] = x;
    }
};

namespace {

// A ratio is finite and not negative: a negative one has no meaning, and the
// decimating form would scale samples by it (a float conversion out of range
// for a large one).
bool rate_ok(double rate) { return std::isfinite(rate) && rate >= 0.0; }

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

}  // namespace

bool resamp_state_valid(const resamp_t *r, const uint8_t *blob) {
    if (r == nullptr || !sx::state_header_ok(blob, kTag, state_bytes_for(r->S, r->T))) return false;
    uint64_t pos;
    int32_t backlog;
    std::memcpy(&pos, blob + 20, 8);
    std::memcpy(&backlog, blob + 36, 4);
    if (pos >= r->S || backlog < 0) return false;
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
    rd.bytes(r->ring.data(), r->ring.size() * sizeof(cf32_t));
    for (size_t k = 0; k < r->T; ++k) r->dacc[r->T - 1 - k] = rd.get<cf32_t>();
    auto *e = reinterpret_cast<cf32_t *>(r->dh_live());
    for (size_t k = 0; k + 1 < r->T; ++k) e[r->T - 2 - k] = rd.get<cf32_t>();
}

namespace {

// Interpolating form: one output per accumulator step, an input pushed at
// every wrap; stops once all inputs are in or out is full. Returns the outputs
// written; `used` receives the inputs consumed.
template <int W>
inline __attribute__((always_inline)) size_t interp_loop(resamp_t *r, const cf32_t *in, size_t n_in, cf32_t *out,
                                                         size_t out_cap, size_t &used) {
    const size_t T = r->T;
    const uint32_t step = r->step;
    uint32_t ph = r->phase;
    size_t m = 0;
    used = 0;
    while (used < n_in && m < out_cap) {
        out[m++] = kernel<W>(r->branch(ph), r->window(r->ring_pos), T);
        const uint32_t nx = ph + step;
        if (nx <= ph) r->push(in[used++]);
        ph = nx;
    }
    r->phase = ph;
    return m;
}

// Decimating form, transposed: each input, scaled by the rate, is spread over
// the accumulators of the output period in progress with the branch of its
// own instant; an output completes at every wrap. dacc is held reversed so the
// spread is a plain element-wise update over whole vectors (the zero padding
// of the bank row only touches accumulators that are never read).
template <int W>
inline __attribute__((always_inline)) size_t decim_loop(resamp_t *r, const cf32_t *in, size_t n_in, cf32_t *out,
                                                        size_t out_cap) {
    const size_t T = r->T, T2p = 2 * r->Tp;
    const uint32_t step = r->step;
    const float rf = static_cast<float>(r->rate);
    float *__restrict da = reinterpret_cast<float *>(r->dacc.data());
    uint32_t ph = r->phase;
    size_t m = 0;
    bool fresh = false;
    for (size_t i = 0; i < n_in && m < out_cap; ++i) {
        const float xr = in[i].real() * rf, xi = in[i].imag() * rf;
        const float *__restrict b = r->branch(ph);
        // After a completed output the accumulators start from zero: the
        // first input of the next period writes them instead of adding.
        if constexpr (W == 8) {
            const v8f xs = {xr, xi, xr, xi, xr, xi, xr, xi};
            if (fresh)
                for (size_t k = 0; k < T2p; k += 8)
                    *reinterpret_cast<v8fu *>(da + k) = *reinterpret_cast<const v8fu *>(b + k) * xs;
            else
                for (size_t k = 0; k < T2p; k += 8)
                    *reinterpret_cast<v8fu *>(da + k) += *reinterpret_cast<const v8fu *>(b + k) * xs;
        } else {
            const v4f xs = {xr, xi, xr, xi};
            if (fresh)
                for (size_t k = 0; k < T2p; k += 4)
                    *reinterpret_cast<v4fu *>(da + k) = *reinterpret_cast<const v4fu *>(b + k) * xs;
            else
                for (size_t k = 0; k < T2p; k += 4)
                    *reinterpret_cast<v4fu *>(da + k) += *reinterpret_cast<const v4fu *>(b + k) * xs;
        }
        fresh = false;
        const uint32_t nx = ph + step;
        if (nx <= ph) {
            // dacc[k] is d[T - 1 - k], dhist[k] is e[T - 2 - k]:
            //   out = dhist[0] + dacc[0];  dhist'[k] = dhist[k + 1] + dacc[k + 1];
            //   dhist'[T - 2] = dacc[T - 1]
            // become e'[j] = e[j - 1] + d[j] for j >= 1 and e'[0] = d[0].
            const cf32_t *d = r->dacc.data();
            const float *e = r->dh_live();
            if (T == 1) {
                out[m++] = d[0];
            } else {
                out[m++] = reinterpret_cast<const cf32_t *>(e)[T - 2] + d[T - 1];
                float *en = r->dh2.data() + (r->dcur ^ 1) * r->dh_half;
                en[0] = da[0];
                en[1] = da[1];
                // Whole vectors over j = 1 .. T - 2 (2 .. 2T - 3 as floats); the
                // lanes past the end land in padding that is never read.
                for (size_t q = 2; q < 2 * (T - 1); q += W) {
                    if constexpr (W == 8)
                        *reinterpret_cast<v8fu *>(en + q) =
                            *reinterpret_cast<const v8fu *>(e + q - 2) + *reinterpret_cast<const v8fu *>(da + q);
                    else
                        *reinterpret_cast<v4fu *>(en + q) =
                            *reinterpret_cast<const v4fu *>(e + q - 2) + *reinterpret_cast<const v4fu *>(da + q);
                }
                r->dcur ^= 1;
            }
            fresh = true;
        }
        ph = nx;
    }
    if (fresh) std::memset(static_cast<void *>(da), 0, T2p * sizeof(float));
    r->phase = ph;
    return m;
}

size_t interp_sse(resamp_t *r, const cf32_t *in, size_t n, cf32_t *out, size_t cap, size_t &used) {
    return interp_loop<4>(r, in, n, out, cap, used);
}
__attribute__((target("avx2"))) size_t interp_avx2(resamp_t *r, const cf32_t *in, size_t n, cf32_t *out, size_t cap,
                                                   size_t &used) {
    return interp_loop<8>(r, in, n, out, cap, used);
}
size_t interp(resamp_t *r, const cf32_t *in, size_t n, cf32_t *out, size_t cap, size_t &used) {
    return have_avx2() ? interp_avx2(r, in, n, out, cap, used) : interp_sse(r, in, n, out, cap, used);
}
size_t decim_sse(resamp_t *r, const cf32_t *in, size_t n, cf32_t *out, size_t cap) {
    return decim_loop<4>(r, in, n, out, cap);
}
__attribute__((target("avx2"))) size_t decim_avx2(resamp_t *r, const cf32_t *in, size_t n, cf32_t *out, size_t cap) {
    return decim_loop<8>(r, in, n, out, cap);
}

// The exact-count and control forms use the interpolating kernel through this.
cf32_t kernel_any(const resamp_t *r, uint32_t acc) {
    return kernel<4>(r->branch(acc), r->window(r->ring_pos), r->T);
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
    if (L > SIZE_MAX / (2 * (T + 3) * sizeof(float))) return nullptr;
    try {
        auto r = std::make_unique<resamp_t>();
        r->L = L;
        r->T = T;
        r->bank.assign(bank, bank + L * T);
        owned.reset();
        r->Tp = (T + 3) & ~size_t{3};
        r->bankd.assign(L * r->Tp * 2, 0.0f);
        for (size_t p = 0; p < L; ++p)
            for (size_t k = 0; k < T; ++k) {
                float *d = r->bankd.data() + p * 2 * r->Tp + 2 * k;
                d[0] = d[1] = r->bank[p * T + k];
            }
        r->S = smallest_pow2_at_least(T);
        r->ring.assign(2 * r->S, cf32_t{});
        // Tp accumulators plus one vector of slack: the dhist update reads whole
        // vectors starting one sample in.
        r->dacc.assign(r->Tp + 4, cf32_t{});
        r->dh_half = 2 * r->Tp + 8;
        r->dh2.assign(2 * r->dh_half, 0.0f);
        apply_rate(r.get(), rate);
        return r.release();
    } catch (const std::exception &) {
        return nullptr;
    }
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
    std::fill(r->ring.begin(), r->ring.end(), cf32_t{});
    std::fill(r->dacc.begin(), r->dacc.end(), cf32_t{});
    std::fill(r->dh2.begin(), r->dh2.end(), 0.0f);
    r->dcur = 0;
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
    w.bytes(r->ring.data(), r->ring.size() * sizeof(cf32_t));
    for (size_t k = 0; k < r->T; ++k) w.put(r->dacc[r->T - 1 - k]);
    const auto *e = reinterpret_cast<const cf32_t *>(r->dh_live());
    for (size_t k = 0; k + 1 < r->T; ++k) w.put(e[r->T - 2 - k]);
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
    for (size_t k = 0; k < r->T; ++k) s += r->bank[k];
    return s;
}

double resamp_get_ctrl_acc(const resamp_t *r) { return r == nullptr ? 0.0 : r->ctrl_phase / kTwo32; }

size_t resamp_execute(resamp_t *r, const cf32_t *in, size_t n_in, cf32_t *out, size_t out_cap) {
    if (r == nullptr || in == nullptr || out == nullptr) return 0;
    size_t used;
    if (r->interp) return interp(r, in, n_in, out, out_cap, used);
    return have_avx2() ? decim_avx2(r, in, n_in, out, out_cap) : decim_sse(r, in, n_in, out, out_cap);
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
    if (in == nullptr && resamp_interp_inputs_needed(r, n_out) > 0) return 0;
    // The block form with no limit on the inputs: exactly n_out outputs.
    size_t used;
    interp(r, in, SIZE_MAX, out, n_out, used);
    return used;
}

size_t resamp_execute_ctrl_push(resamp_t *r, cf32_t *out, size_t out_cap, cf32_t x, double ctrl) {
    if (r == nullptr || (out == nullptr && out_cap > 0)) return 0;
    const CtrlStep cs = ctrl_step(r->rate + ctrl);
    size_t w = 0;
    // Pushed anyway when out is full; the outputs still owed are computed at
    // the next call over the ring as it then stands.
    auto full = [&] {
        r->push(x);
        if (r->ctrl_backlog < INT32_MAX) ++r->ctrl_backlog;
        return w;
    };
    for (;;) {
        while (r->ctrl_pending == 0) {
            if (w >= out_cap) return full();
            out[w++] = kernel_any(r, r->ctrl_phase);
            const uint32_t nx = r->ctrl_phase + cs.fstep;
            const uint32_t wrapped = nx < r->ctrl_phase ? 1u : 0u;
            r->ctrl_phase = nx;
            r->ctrl_pending = cs.adv + wrapped;
        }
        --r->ctrl_pending;
        if (r->ctrl_backlog == 0) {
            r->push(x);
            return w;
        }
        --r->ctrl_backlog;
        if (w >= out_cap) return full();
    }
}

size_t resamp_execute_ctrl(resamp_t *r, const cf32_t *in, const double *ctrl, size_t n, cf32_t *out,
                           size_t out_cap) {
    if (r == nullptr || in == nullptr || ctrl == nullptr) return 0;
    size_t w = 0;
    for (size_t i = 0; i < n && w < out_cap; ++i) w += resamp_execute_ctrl_push(r, out + w, out_cap - w, in[i], ctrl[i]);
    return w;
}

size_t resamp_execute_ctrl_outputs(const resamp_t *r, const double *ctrl, size_t n, size_t limit) {
    if (r == nullptr || ctrl == nullptr) return 0;
    return ctrl_outputs(r, n, limit, [ctrl](size_t i) { return ctrl[i]; });
}

size_t resamp_execute_ctrl_outputs_fixed(const resamp_t *r, double ctrl, size_t n, size_t limit) {
    if (r == nullptr) return 0;
    return ctrl_outputs(r, n, limit, [ctrl](size_t) { return ctrl; });
}

double kaiser_beta(double atten) {
    if (atten > 50.0) return 0.1102 * (atten - 8.7);
    if (atten >= 21.0) return 0.5842 * std::pow(atten - 21.0, 0.4) + 0.07886 * (atten - 21.0);
    return 0.0;
}

long long kaiser_num_taps(long long num_phases, double atten, double pb, double sb) {
    // A stop band at or below the pass band has no transition to size.
    if (num_phases <= 0 || !(sb > pb)) return 0;
    const double n = (atten - 8.0) * static_cast<double>(num_phases) * 0.06965205386953845 / (sb - pb) + 1.0;
    // Refused rather than converted: NaN, infinities and counts no bank could hold.
    if (!std::isfinite(n) || std::fabs(n) >= 9.0e15) return 0;
    const long long odd = static_cast<long long>(n) | 1;
    // An attenuation below 8 dB drives the count negative: no bank, 0.
    return std::max(0LL, odd / num_phases + 1);
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
