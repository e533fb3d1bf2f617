#include "wfm/lo_core.h"

#include <algorithm>
#include <cmath>
#include <new>

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

// The one oscillator loop behind the step forms and the mixer: the phase lives
// in a local, and both the per-sample extra increment (none, or a frequency
// control input) and what becomes of each value (stored, or multiplied into an
// input) are inlined.
template <class Extra, class Sink> void lo_run(lo *l, size_t count, Extra extra, Sink sink) {
    const float *lut = lo_sin_lut;
    const uint32_t inc = l->phase_inc;
    uint32_t ph = l->phase;
    for (size_t i = 0; i < count; ++i) {
        const uint32_t idx = ph >> 16;
        sink(i, lut[(idx + kSineLutQuarter) & 0xFFFFu], lut[idx]);
        ph += inc + extra(i);
    }
    l->phase = ph;
}

template <class Extra> size_t lo_store(lo *l, size_t n, float *out, size_t capacity, Extra extra) {
    const size_t count = std::min(n, capacity);
    lo_run(l, count, extra, [out](size_t i, float c, float s) {
        out[2 * i] = c;
        out[2 * i + 1] = s;
    });
    return count;
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
    return sx::lo_store(l, n, out, capacity, [](size_t) { return uint32_t{0}; });
}

size_t lo_steps_max_out(const lo *) { return kMaxOut; }

size_t lo_steps_ctrl(lo *l, const double *ctrl, size_t n, float *out, size_t capacity) {
    return sx::lo_store(l, n, out, capacity, [ctrl](size_t i) { return sx::lo_increment(ctrl[i]); });
}

size_t lo_steps_ctrl_max_out(const lo *) { return kMaxOut; }

void lo_mix(lo *l, uint32_t extra_inc, const float *__restrict in, float *__restrict out, size_t n) {
    sx::lo_run(l, n, [extra_inc](size_t) { return extra_inc; }, [in, out](size_t i, float c, float s) {
        const float xr = in[2 * i], xi = in[2 * i + 1];
        out[2 * i] = xr * c - xi * s;
        out[2 * i + 1] = xr * s + xi * c;
    });
}

}  // extern "C"
