#include "resample/cic_core.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <new>

#include "core/sx_state.h"

namespace {

constexpr sx::StateTag kTag{{'C', 'I', 'C', '_'}, 2};
constexpr size_t kStateBytes = 149;
// Inputs converted per pass before the integrators run over them.
constexpr size_t kChunk = 256;
// Largest float that still converts below 2: (32767 / 16384).
constexpr float kTop = 1.99993896484375f;

typedef uint64_t v2u __attribute__((vector_size(16)));

bool ratio_ok(uint32_t R) { return R >= 2 && R <= 2048 && std::has_single_bit(R); }

}  // namespace

struct cic_t {
    uint64_t integ_i[4], integ_q[4];
    uint64_t comb_i[4], comb_q[4];
    uint32_t R, phase, shift;
    uint8_t clipped;
};

namespace {

void clear(cic_t *c) {
    std::memset(c->integ_i, 0, sizeof c->integ_i);
    std::memset(c->integ_q, 0, sizeof c->integ_q);
    std::memset(c->comb_i, 0, sizeof c->comb_i);
    std::memset(c->comb_q, 0, sizeof c->comb_q);
    c->phase = 0;
    c->clipped = 0;
}

// Offset-binary Q2.14 code of each component (truncation toward zero); values
// outside [-2, 2) take the code of the nearer end and mark the call clipped. A
// NaN has no nearer end: it reads as 0 and counts as clipped. Branch-free, so
// the loop vectorises.
uint32_t convert(const float *__restrict v, uint32_t *__restrict u, size_t nf) {
    int32_t clip = 0;
    for (size_t i = 0; i < nf; ++i) {
        const float x = v[i];
        const int32_t in_range = (x >= -2.0f) & (x <= kTop);
        clip |= in_range ^ 1;
        float y = x > kTop ? kTop : x;
        y = y < -2.0f ? -2.0f : y;
        y = x == x ? y : 0.0f;
        u[i] = static_cast<uint32_t>(static_cast<int32_t>(y * 16384.0f) + 32768);
    }
    return static_cast<uint32_t>(clip);
}

float to_float(uint64_t c, uint32_t shift) {
    return (static_cast<float>((c >> shift) & 0xFFFF) - 32768.0f) * (1.0f / 16384.0f);
}

}  // namespace

bool cic_state_valid(const cic_t *c, const uint8_t *blob) {
    if (c == nullptr || !sx::state_header_ok(blob, kTag, kStateBytes)) return false;
    uint32_t phase;
    std::memcpy(&phase, blob + 144, 4);
    return phase < c->R && blob[148] <= 1;
}

void cic_state_apply(cic_t *c, const uint8_t *blob) {
    std::memcpy(c->integ_i, blob + 16, 32);
    std::memcpy(c->integ_q, blob + 48, 32);
    std::memcpy(c->comb_i, blob + 80, 32);
    std::memcpy(c->comb_q, blob + 112, 32);
    std::memcpy(&c->phase, blob + 144, 4);
    c->clipped = blob[148];
}

extern "C" {

cic_t *cic_create(uint32_t R) {
    if (!ratio_ok(R)) return nullptr;
    auto *c = new (std::nothrow) cic_t;
    if (c == nullptr) return nullptr;
    clear(c);
    c->R = R;
    c->shift = 4 * static_cast<uint32_t>(std::countr_zero(R));
    return c;
}

void cic_destroy(cic_t *c) { delete c; }

void cic_reset(cic_t *c) {
    if (c != nullptr) clear(c);
}

int cic_reconfigure(cic_t *c, uint32_t R) {
    if (c == nullptr || !ratio_ok(R)) return SX_ERR_INVALID;
    c->R = R;
    c->shift = 4 * static_cast<uint32_t>(std::countr_zero(R));
    clear(c);
    return SX_OK;
}

size_t cic_state_bytes(const cic_t *c) { return c == nullptr ? 0 : kStateBytes; }

void cic_get_state(const cic_t *c, void *blob) {
    if (c == nullptr || blob == nullptr) return;
    sx::StateWriter w(blob);
    w.header(kTag, kStateBytes);
    w.bytes(c->integ_i, 32);
    w.bytes(c->integ_q, 32);
    w.bytes(c->comb_i, 32);
    w.bytes(c->comb_q, 32);
    w.put(c->phase);
    w.put(c->clipped);
}

int cic_set_state(cic_t *c, const void *blob) {
    const auto *p = static_cast<const uint8_t *>(blob);
    if (!cic_state_valid(c, p)) return SX_ERR_INVALID;
    cic_state_apply(c, p);
    return SX_OK;
}

uint32_t cic_get_R(const cic_t *c) { return c == nullptr ? 0 : c->R; }
uint32_t cic_get_shift(const cic_t *c) { return c == nullptr ? 0 : c->shift; }
int cic_get_clipped(const cic_t *c) { return c == nullptr ? 0 : c->clipped; }

double cic_dc_gain(const cic_t *c) {
    if (c == nullptr) return 0.0;
    const double r2 = static_cast<double>(c->R) * c->R;
    return std::ldexp(r2 * r2, -static_cast<int>(c->shift));
}

size_t cic_decimate_outputs(const cic_t *c, size_t n_in) {
    if (c == nullptr) return 0;
    return n_in / c->R + ((n_in % c->R) + c->phase) / c->R;
}

size_t cic_decimate_max_out(const cic_t *) { return 0; }

size_t cic_decimate(cic_t *c, const cf32_t *in, size_t n_in, cf32_t *out, size_t out_cap) {
    if (c == nullptr || in == nullptr || n_in == 0) return 0;
    if (out == nullptr) out_cap = 0;
    alignas(64) uint32_t u[2 * kChunk];
    // I and Q chains side by side: each integrator is one two-lane add.
    v2u i1 = {c->integ_i[0], c->integ_q[0]}, i2 = {c->integ_i[1], c->integ_q[1]};
    v2u i3 = {c->integ_i[2], c->integ_q[2]}, i4 = {c->integ_i[3], c->integ_q[3]};
    const uint32_t R = c->R, shift = c->shift;
    uint32_t phase = c->phase, clip = 0;
    size_t written = 0;
    auto integrate = [&](size_t j) {
        const v2u x = {u[2 * j], u[2 * j + 1]};
        i1 += x;
        i2 += i1;
        i3 += i2;
        i4 += i3;
    };
    for (size_t base = 0; base < n_in; base += kChunk) {
        const size_t m = std::min(kChunk, n_in - base);
        clip |= convert(reinterpret_cast<const float *>(in + base), u, 2 * m);
        size_t j = 0;
        while (j < m) {
            // Integrate up to the next output instant without a test per sample.
            const size_t run = std::min<size_t>(m - j, R - 1 - phase);
            for (size_t e = j + run; j < e; ++j) integrate(j);
            phase += static_cast<uint32_t>(run);
            if (j == m) break;
            integrate(j++);
            phase = 0;
            uint64_t ci = i4[0], cq = i4[1];
            for (int s = 0; s < 4; ++s) {
                const uint64_t ti = ci - c->comb_i[s], tq = cq - c->comb_q[s];
                c->comb_i[s] = ci;
                c->comb_q[s] = cq;
                ci = ti;
                cq = tq;
            }
            if (written < out_cap) out[written] = cf32_t(to_float(ci, shift), to_float(cq, shift));
            ++written;
        }
    }
    for (int s = 0; s < 4; ++s) {
        const v2u &v = s == 0 ? i1 : s == 1 ? i2 : s == 2 ? i3 : i4;
        c->integ_i[s] = v[0];
        c->integ_q[s] = v[1];
    }
    c->phase = phase;
    if (clip) c->clipped = 1;
    return std::min(written, out_cap);
}

}  // extern "C"
