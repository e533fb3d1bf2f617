#include "resample/agc_core.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

#include "core/sx_state.h"

namespace {

constexpr sx::StateTag kTag{{'A', 'G', 'C', ' '}, 3};
constexpr size_t kStateBytes = 120;
constexpr double kPowMax = 0x1p257;  // largest power the loop takes in
constexpr size_t kSettleCap = size_t{1} << 22;

// 10^(d/20) without a library exponential: 2^k times a quartic of the fraction.
double amp(double d) {
    if (!(d <= 6159.073711285056)) return d != d ? 0.0 : 0x1p1023;
    if (d < -6159.073711285056) return 0.0;
    const double v = d * 0.16609640474436813;
    const double k = std::floor(v);
    const double f = (v - k) * 0.6931471805599453;
    const double p = 1.0 + f + f * f / 2.0 + f * f * f / 6.0 + f * f * f * f / 24.0;
    return std::ldexp(p, static_cast<int>(k));
}

// 10 log10(p) from the binary exponent and an odd series in (M - 1) / (M + 1).
double db(double p) {
    if (p < 0.0) return -300.00004019312837;
    if (!(p <= kPowMax)) return 773.6470888564317;
    int e;
    const double M = 2.0 * std::frexp(p + 1e-30, &e);
    const double m = (M - 1.0) / (M + 1.0);
    return 3.010299956639812 * ((e - 1) + 2.885390081777927 * (m + m * m * m / 3.0));
}

double bound_gain(double g) {
    if (g > AGC_GAIN_LIMIT_DB) return AGC_GAIN_LIMIT_DB;
    if (g < -AGC_GAIN_LIMIT_DB) return -AGC_GAIN_LIMIT_DB;
    return g;
}

double sane_power(double p) { return (p != p || p > kPowMax) ? kPowMax : p; }

// Component clamp that also turns a NaN (only a NaN input makes one) into 0,
// so every output is finite.
float clampc(float v, float c) {
    if (v != v) return 0.0f;
    return v > c ? c : (v < -c ? -c : v);
}

}  // namespace

struct agc_t {
    double ref_db, mu, alpha;
    int64_t steps_block;
    double clamp_db;
    int64_t block_len;
    double gain_db, level, gain_lin;
    uint64_t count;
    float clamp_amp;
    sx_tlm *tlm;
    int gain_probe, level_probe;
};

namespace {

void emit(agc_t *a, double level_db) {
    if (a->tlm == nullptr) return;
    sx_tlm_emit(a->tlm, a->gain_probe, a->gain_db);
    sx_tlm_emit(a->tlm, a->level_probe, level_db);
}

double ramp_factor(double x, double n) {
    // 1 - (1 - x)^n, exact at the ends.
    if (x <= 0.0) return 0.0;
    if (x >= 1.0) return 1.0;
    return -std::expm1(n * std::log1p(-x));
}

}  // namespace

bool agc_state_valid(const agc_t *a, const uint8_t *blob) {
    if (a == nullptr || !sx::state_header_ok(blob, kTag, kStateBytes)) return false;
    double d[10];
    std::memcpy(d, blob + 16, sizeof d);
    int64_t steps_block, block_len;
    uint64_t count;
    std::memcpy(&steps_block, blob + 40, 8);
    std::memcpy(&block_len, blob + 56, 8);
    std::memcpy(&count, blob + 88, 8);
    float clamp_amp;
    std::memcpy(&clamp_amp, blob + 96, 4);
    // ref_db, mu, alpha, clamp_db, gain_db, level, gain_lin must be finite.
    for (int i : {0, 1, 2, 4, 6, 7, 8})
        if (!std::isfinite(d[i])) return false;
    if (std::fabs(d[6]) > AGC_GAIN_LIMIT_DB || d[7] < 0.0 || d[8] < 0.0) return false;
    if (steps_block < 1 || block_len < 1 || count >= static_cast<uint64_t>(block_len)) return false;
    return std::isfinite(clamp_amp) && clamp_amp >= 0.0f;
}

void agc_state_apply(agc_t *a, const uint8_t *blob) {
    sx::StateReader r(blob);
    r.skip(sx::kStateHeaderBytes);
    a->ref_db = r.get<double>();
    a->mu = r.get<double>();
    a->alpha = r.get<double>();
    a->steps_block = r.get<int64_t>();
    a->clamp_db = r.get<double>();
    a->block_len = r.get<int64_t>();
    a->gain_db = r.get<double>();
    a->level = r.get<double>();
    a->gain_lin = r.get<double>();
    a->count = r.get<uint64_t>();
    a->clamp_amp = r.get<float>();
}

extern "C" {

agc_t *agc_create(double ref_db, double mu, double alpha) {
    if (!std::isfinite(ref_db) || !std::isfinite(mu) || !std::isfinite(alpha)) return nullptr;
    auto *a = new (std::nothrow) agc_t{};
    if (a == nullptr) return nullptr;
    a->ref_db = ref_db;
    a->mu = mu;
    a->alpha = alpha;
    a->steps_block = 8;
    a->clamp_db = 120.0;
    a->block_len = 1;
    a->clamp_amp = 1e6f;
    a->tlm = nullptr;
    a->gain_probe = a->level_probe = -1;
    agc_reset(a);
    a->clamp_amp = 1e6f;
    return a;
}

void agc_destroy(agc_t *a) { delete a; }

void agc_reset(agc_t *a) {
    if (a == nullptr) return;
    a->gain_db = 0.0;
    a->count = 0;
    a->gain_lin = 1.0;
    a->level = std::pow(10.0, a->ref_db / 10.0);
    if (!std::isfinite(a->level)) a->level = kPowMax;
    a->clamp_amp = static_cast<float>(amp(a->clamp_db));
}

size_t agc_state_bytes(const agc_t *a) { return a == nullptr ? 0 : kStateBytes; }

void agc_get_state(const agc_t *a, void *blob) {
    if (a == nullptr || blob == nullptr) return;
    std::memset(blob, 0, kStateBytes);
    sx::StateWriter w(blob);
    w.header(kTag, kStateBytes);
    w.put(a->ref_db);
    w.put(a->mu);
    w.put(a->alpha);
    w.put(a->steps_block);
    w.put(a->clamp_db);
    w.put(a->block_len);
    w.put(a->gain_db);
    w.put(a->level);
    w.put(a->gain_lin);
    w.put(a->count);
    w.put(a->clamp_amp);
}

int agc_set_state(agc_t *a, const void *blob) {
    const auto *p = static_cast<const uint8_t *>(blob);
    if (!agc_state_valid(a, p)) return SX_ERR_INVALID;
    agc_state_apply(a, p);
    return SX_OK;
}

int agc_set_block_len(agc_t *a, int64_t block_len) {
    if (a == nullptr || block_len < 1) return SX_ERR_INVALID;
    a->block_len = block_len;
    a->count = 0;
    return SX_OK;
}

double agc_get_gain_db(const agc_t *a) { return a == nullptr ? 0.0 : a->gain_db; }

double agc_get_applied_gain_db(const agc_t *a) {
    if (a == nullptr) return 0.0;
    if (!(a->gain_lin >= 0x1p-1022)) return -6153.053111371775;
    if (a->gain_lin > 1.7976931348623157e308) return 6165.094311198335;
    return 20.0 * std::log10(a->gain_lin);
}

int agc_set_telemetry(agc_t *a, sx_tlm *tlm, const char *prefix, uint32_t decim) {
    if (a == nullptr) return SX_ERR_INVALID;
    if (tlm == nullptr) {
        a->tlm = nullptr;
        a->gain_probe = a->level_probe = -1;
        return SX_OK;
    }
    if (prefix == nullptr) prefix = "agc";
    char gname[SX_TLM_NAME_MAX], lname[SX_TLM_NAME_MAX];
    const int gn = std::snprintf(gname, sizeof gname, "%s.gain_db", prefix);
    const int ln = std::snprintf(lname, sizeof lname, "%s.level_db", prefix);
    // A cut name would make the two probes one (or alias another block's).
    if (gn < 0 || ln < 0 || gn >= SX_TLM_NAME_MAX || ln >= SX_TLM_NAME_MAX || decim == 0) return SX_ERR_INVALID;
    const int g = sx_tlm_probe(tlm, gname, decim);
    if (g < 0) return SX_ERR_INVALID;
    const int l = sx_tlm_probe(tlm, lname, decim);
    if (l < 0) return SX_ERR_INVALID;
    a->tlm = tlm;
    a->gain_probe = g;
    a->level_probe = l;
    return SX_OK;
}

cf32_t agc_step(agc_t *a, cf32_t x) {
    if (a->count == 0) a->gain_lin = amp(a->gain_db);
    const float g = static_cast<float>(a->gain_lin);
    const cf32_t y(x.real() * g, x.imag() * g);
    const double p = sane_power(static_cast<double>(y.real()) * y.real() + static_cast<double>(y.imag()) * y.imag());
    if (a->alpha >= 1.0)
        a->level = p;
    else
        a->level += a->alpha * (p - a->level);
    a->count += 1;
    const uint64_t blk = a->block_len < 1 ? 1 : static_cast<uint64_t>(a->block_len);
    if (a->count >= blk) {
        const double L = db(a->level);
        a->gain_db = bound_gain(a->gain_db + (a->ref_db - L) * static_cast<double>(blk) * 4.0 * a->mu);
        a->clamp_amp = static_cast<float>(amp(a->clamp_db));
        a->count = 0;
        emit(a, L);
    }
    const float c = a->clamp_amp;
    return cf32_t(clampc(y.real(), c), clampc(y.imag(), c));
}

size_t agc_steps(agc_t *a, const cf32_t *in, cf32_t *out, size_t n) {
    if (a == nullptr || in == nullptr || out == nullptr) return 0;
    const size_t blk = a->steps_block < 1 ? 1 : static_cast<size_t>(a->steps_block);
    double prev = a->gain_lin;
    for (size_t base = 0; base < n; base += blk) {
        const size_t N = std::min(blk, n - base);
        const double Nd = static_cast<double>(N);
        const double v = ramp_factor(a->alpha, Nd), w = ramp_factor(4.0 * a->mu, Nd);
        const double o = amp(a->gain_db);
        float e = 0.0f;
        for (size_t i = 0; i < N; ++i) {
            const float g = static_cast<float>(prev + static_cast<double>(i + 1) * (o - prev) / Nd);
            const cf32_t y(in[base + i].real() * g, in[base + i].imag() * g);
            out[base + i] = y;
            e += y.real() * y.real() + y.imag() * y.imag();
        }
        double E = sane_power(static_cast<double>(e) / Nd);
        if (E < 0.0) E = 0.0;
        if (v < 1.0) E = a->level + v * (E - a->level);
        const double L = db(E);
        const float c = static_cast<float>(amp(a->clamp_db));
        for (size_t i = 0; i < N; ++i)
            out[base + i] = cf32_t(clampc(out[base + i].real(), c), clampc(out[base + i].imag(), c));
        a->gain_db = bound_gain(a->gain_db + (a->ref_db - L) * w);
        a->level = E;
        emit(a, L);
        prev = o;
    }
    a->gain_lin = prev;
    return n;
}

size_t agc_settling_samples(double mu, double alpha, double err_db, double tol_db) {
    if (!(mu > 0.0) || !(alpha > 0.0 && alpha <= 1.0) || !(tol_db > 0.0) || !std::isfinite(err_db)) return 0;
    if (tol_db >= std::fabs(err_db)) return 1;
    const double cap = 16.0 / mu;
    const size_t limit = (cap >= static_cast<double>(kSettleCap) ? kSettleCap : static_cast<size_t>(cap)) + 1;
    agc_t *a = agc_create(0.0, mu, alpha);
    if (a == nullptr) return 0;
    const float s = static_cast<float>(std::pow(10.0, -err_db / 20.0));
    const cf32_t x(0.8f * s, 0.6f * s);
    size_t k = 0;
    for (size_t i = 1; i <= limit; ++i) {
        agc_step(a, x);
        if (std::fabs(a->gain_db - err_db) <= tol_db) {
            k = i;
            break;
        }
    }
    agc_destroy(a);
    return k;
}

size_t settling_samples(double mu, double alpha, double err_db, double tol_db) {
    return agc_settling_samples(mu, alpha, err_db, tol_db);
}

}  // extern "C"
