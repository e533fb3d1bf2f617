#include "wfm/lo_core.h"

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <mutex>
#include <new>

#include "core/sx_simd.h"
#include "core/sx_state.h"
#include "wfm/sine_lut.h"

namespace {

constexpr sx::StateTag kTag{{'L', 'O', '_', '_'}, 1};
constexpr size_t kStateBytes = sx::kStateHeaderBytes + 4;
constexpr size_t kMaxOut = 65536;

std::once_flag g_lut_once;

// Filled on the first lo_init of the process; read-only afterwards.
void ensure_lut() { sx::fill_sine_lut_once(lo_sin_lut, g_lut_once); }

}  // namespace

float lo_sin_lut[65536];

namespace sx {

uint32_t lo_increment(double f) {
    if (!std::isfinite(f)) return 0;
    const double frac = f - std::floor(f);
    const double v = frac * 4294967296.0;
    if (!(v > 0.0)) return 0;
    // A tiny negative f rounds frac up to exactly 1.
    if (frac >= 1.0) return 0xFFFFFFFFu;
    return static_cast<uint32_t>(v);
}

bool lo_state_valid(const lo *, const uint8_t *blob) { return state_header_ok(blob, kTag, kStateBytes); }

void lo_state_apply(lo *l, const uint8_t *blob) {
    StateReader r(blob);
    r.skip(kStateHeaderBytes);
    l->phase = r.get<uint32_t>();
}

// The controlled oscillator loop: the phase lives in a local and the
// per-sample extra increment is inlined.
template <class Extra> size_t lo_run(lo *l, size_t n, float *out, size_t capacity, Extra extra) {
    const size_t count = std::min(n, capacity);
    const float *lut = lo_sin_lut;
    const uint32_t inc = l->phase_inc;
    uint32_t ph = l->phase;
    for (size_t i = 0; i < count; ++i) {
        const uint32_t idx = ph >> 16;
        out[2 * i] = lut[(idx + kSineLutQuarter) & 0xFFFFu];
        out[2 * i + 1] = lut[idx];
        ph += inc + extra(i);
    }
    l->phase = ph;
    return count;
}

namespace {

// What each oscillator sample c becomes:
//   Carrier  c itself;
//   Held     a held symbol s on the carrier plus noise w, in the synthesis
//            engine's own order: ((sr*cr - si*ci) + wr, (sr*ci + si*cr) + wi);
//   Input    an input sample x (read through w) times the carrier, as the
//            down-converter mixes: (xr*cr - xi*ci, xr*ci + xi*cr).
enum class Form { Carrier, Held, Input };

template <Form F>
inline __attribute__((always_inline)) void emit(float *o, float cr, float ci, float sr, float si, const float *w) {
    if constexpr (F == Form::Held) {
        o[0] = sr * cr - si * ci + (w ? w[0] : 0.0f);
        o[1] = sr * ci + si * cr + (w ? w[1] : 0.0f);
    } else if constexpr (F == Form::Input) {
        o[0] = w[0] * cr - w[1] * ci;
        o[1] = w[0] * ci + w[1] * cr;
    } else {
        o[0] = cr;
        o[1] = ci;
    }
}

template <Form F> size_t run_generic(lo *l, size_t n, float sr, float si, const float *w, float *out) {
    const float *lut = lo_sin_lut;
    const uint32_t inc = l->phase_inc;
    uint32_t ph = l->phase;
    for (size_t i = 0; i < n; ++i) {
        const uint32_t idx = ph >> 16;
        emit<F>(out + 2 * i, lut[(idx + kSineLutQuarter) & 0xFFFFu], lut[idx], sr, si, w ? w + 2 * i : nullptr);
        ph += inc;
    }
    l->phase = ph;
    return n;
}

// The table again as (cosine, sine) pairs, for the AVX2 form: one 64-bit
// gather per sample instead of two 32-bit ones. Built from lo_sin_lut on the
// first use of that form; the same values, so the same bits.
alignas(64) float g_pairs[2 * kSineLutSize];
std::once_flag g_pairs_once;

void ensure_pairs() {
    std::call_once(g_pairs_once, [] {
        for (size_t i = 0; i < kSineLutSize; ++i) {
            g_pairs[2 * i] = lo_sin_lut[(i + kSineLutQuarter) & 0xFFFFu];
            g_pairs[2 * i + 1] = lo_sin_lut[i];
        }
    });
}

// Eight samples per step: the eight phases in one register, each sample's
// (cos, sin) pair fetched by a 64-bit gather, then mixed lane by lane as the
// one-sample loop does (addsub gives sr*cr - si*ci in I and sr*ci + si*cr in Q;
// for an input, its I and Q duplicated across each pair take the place of s).
template <Form F> SX_TARGET_AVX2 size_t run_avx2(lo *l, size_t n, float sr, float si, const float *w, float *out) {
    const uint32_t inc = l->phase_inc;
    const size_t n8 = n & ~size_t{7};
    if (n8 > 0) {
        ensure_pairs();
        const double *pairs = reinterpret_cast<const double *>(g_pairs);
        __m256i p = _mm256_add_epi32(_mm256_set1_epi32(static_cast<int>(l->phase)),
                                     _mm256_mullo_epi32(_mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7),
                                                        _mm256_set1_epi32(static_cast<int>(inc))));
        const __m256i step8 = _mm256_set1_epi32(static_cast<int>(inc * 8u));
        const __m256 vsr = _mm256_set1_ps(sr), vsi = _mm256_set1_ps(si);
        // Masked gathers with every lane enabled: the plain form leaves its
        // merge source undefined, which the compiler rightly warns about.
        const __m256d zero = _mm256_setzero_pd(), all = _mm256_castsi256_pd(_mm256_set1_epi64x(-1));
        for (size_t i = 0; i < n8; i += 8) {
            const __m256i idx = _mm256_srli_epi32(p, 16);
            __m256 c[2] = {
                _mm256_castpd_ps(_mm256_mask_i32gather_pd(zero, pairs, _mm256_castsi256_si128(idx), all, 8)),
                _mm256_castpd_ps(_mm256_mask_i32gather_pd(zero, pairs, _mm256_extracti128_si256(idx, 1), all, 8))};
            for (int h = 0; h < 2; ++h) {
                if constexpr (F == Form::Held) {
                    const __m256 swapped = _mm256_permute_ps(c[h], 0xB1);
                    c[h] = _mm256_addsub_ps(_mm256_mul_ps(vsr, c[h]), _mm256_mul_ps(vsi, swapped));
                    c[h] = _mm256_add_ps(c[h], w ? _mm256_loadu_ps(w + 2 * i + 8 * h) : _mm256_setzero_ps());
                } else if constexpr (F == Form::Input) {
                    const __m256 x = _mm256_loadu_ps(w + 2 * i + 8 * h);
                    const __m256 swapped = _mm256_permute_ps(c[h], 0xB1);
                    c[h] = _mm256_addsub_ps(_mm256_mul_ps(_mm256_moveldup_ps(x), c[h]),
                                            _mm256_mul_ps(_mm256_movehdup_ps(x), swapped));
                }
                _mm256_storeu_ps(out + 2 * i + 8 * h, c[h]);
            }
            p = _mm256_add_epi32(p, step8);
        }
        l->phase += static_cast<uint32_t>(n8) * inc;
    }
    run_generic<F>(l, n - n8, sr, si, w ? w + 2 * n8 : nullptr, out + 2 * n8);
    return n;
}

template <Form F> size_t run(lo *l, size_t n, float sr, float si, const float *w, float *out) {
    return simd::avx2() ? run_avx2<F>(l, n, sr, si, w, out) : run_generic<F>(l, n, sr, si, w, out);
}

}  // namespace

size_t lo_mix(lo *l, size_t n, float sr, float si, const float *w, float *out) {
    return run<Form::Held>(l, n, sr, si, w, out);
}

}  // namespace sx

extern "C" {

int lo_init(lo *l, double norm_freq) {
    ensure_lut();
    l->phase = 0;
    if (!std::isfinite(norm_freq)) {
        l->phase_inc = 0;
        l->norm_freq = 0.0;
        return SX_ERR_INVALID;
    }
    l->phase_inc = sx::lo_increment(norm_freq);
    l->norm_freq = norm_freq;
    return SX_OK;
}

lo *lo_create(double norm_freq) {
    if (!std::isfinite(norm_freq)) return nullptr;
    auto *l = new (std::nothrow) lo{};
    if (l == nullptr) return nullptr;
    lo_init(l, norm_freq);
    return l;
}

void lo_destroy(lo *l) { delete l; }
void lo_reset(lo *l) { l->phase = 0; }
double lo_get_norm_freq(const lo *l) { return l->norm_freq; }

int lo_set_norm_freq(lo *l, double norm_freq) {
    if (!std::isfinite(norm_freq)) return SX_ERR_INVALID;
    l->phase_inc = sx::lo_increment(norm_freq);
    l->norm_freq = norm_freq;
    return SX_OK;
}

uint32_t lo_get_phase(const lo *l) { return l->phase; }
void lo_set_phase(lo *l, uint32_t phase) { l->phase = phase; }
uint32_t lo_get_phase_inc(const lo *l) { return l->phase_inc; }
size_t lo_state_bytes(const lo *) { return kStateBytes; }

void lo_get_state(const lo *l, void *blob) {
    sx::StateWriter w(blob);
    w.header(kTag, kStateBytes);
    w.put(l->phase);
}

int lo_set_state(lo *l, const void *blob) {
    const auto *b = static_cast<const uint8_t *>(blob);
    if (!sx::lo_state_valid(l, b)) return SX_ERR_INVALID;
    sx::lo_state_apply(l, b);
    return SX_OK;
}

size_t lo_steps(lo *l, size_t n, float *out, size_t capacity) {
    return sx::run<sx::Form::Carrier>(l, std::min(n, capacity), 0.0f, 0.0f, nullptr, out);
}

size_t lo_steps_max_out(const lo *) { return kMaxOut; }

size_t lo_steps_ctrl(lo *l, const double *ctrl, size_t n, float *out, size_t capacity) {
    return sx::lo_run(l, n, out, capacity, [ctrl](size_t i) { return sx::lo_increment(ctrl[i]); });
}

size_t lo_steps_ctrl_max_out(const lo *) { return kMaxOut; }

void lo_mix_input(lo *l, uint32_t extra_inc, const float *in, float *out, size_t n) {
    if (n == 0) return;
    // Both forms read the increment once per call: the deviation rides on it
    // for this call only.
    const uint32_t inc = l->phase_inc;
    l->phase_inc = inc + extra_inc;
    sx::run<sx::Form::Input>(l, n, 0.0f, 0.0f, in, out);
    l->phase_inc = inc;
}

}  // extern "C"
