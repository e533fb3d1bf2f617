#include "wfm/pulse_core.h"

#include <cmath>
#include <memory>
#include <new>
#include <numbers>

namespace {

constexpr double kPi = std::numbers::pi;

// The RRC value at t without the roll-off range test (taps use it as is).
double rrc_value(double t, double beta) {
    const double at = std::fabs(t);
    if (at < 1e-9) return 1.0 + beta * (4.0 / kPi - 1.0);
    if (beta > 0.0 && std::fabs(at - 1.0 / (4.0 * beta)) < 1e-9)
        return (beta / std::numbers::sqrt2) *
               ((1.0 + 2.0 / kPi) * std::sin(kPi / (4.0 * beta)) + (1.0 - 2.0 / kPi) * std::cos(kPi / (4.0 * beta)));
    const double q = 4.0 * beta * t;
    return (std::sin(kPi * t * (1.0 - beta)) + q * std::cos(kPi * t * (1.0 + beta))) / (kPi * t * (1.0 - q * q));
}

double rc_value(double t, double beta) {
    const double at = std::fabs(t);
    if (at < 1e-9) return 1.0;
    if (beta > 0.0 && std::fabs(at - 1.0 / (2.0 * beta)) < 1e-9) return (beta / 2.0) * std::sin(kPi / (2.0 * beta));
    const double q = 2.0 * beta * t;
    return std::sin(kPi * t) / (kPi * t) * std::cos(kPi * beta * t) / (1.0 - q * q);
}

bool beta_ok(double beta) { return beta >= 0.0 && beta <= 1.0; }

}  // namespace

extern "C" {

void rrc_h(const double *t, size_t n, double *out, double beta) {
    const bool ok = beta_ok(beta);
    for (size_t i = 0; i < n; ++i) out[i] = ok ? rrc_value(t[i], beta) : 0.0;
}

void rc_h(const double *t, size_t n, double *out, double beta) {
    const bool ok = beta_ok(beta);
    for (size_t i = 0; i < n; ++i) out[i] = ok ? rc_value(t[i], beta) : 0.0;
}

size_t wfm_rrc_num_taps(int sps, int span) {
    long long prod;
    if (__builtin_mul_overflow(static_cast<long long>(span), static_cast<long long>(sps), &prod)) return 0;
    if (prod < 0 || prod > (static_cast<long long>(SIZE_MAX / 8) - 1) / 2) return 0;
    return static_cast<size_t>(2 * prod + 1);
}

double wfm_rrc_taps(int sps, int span, float *out, double beta) {
    const size_t n = wfm_rrc_num_taps(sps, span);
    const double centre = static_cast<double>(span) * static_cast<double>(sps);
    double energy = 0.0;
    for (size_t i = 0; i < n; ++i) {
        const double t = (static_cast<double>(i) - centre) / static_cast<double>(sps);
        const float v = static_cast<float>(rrc_value(t, beta));
        out[i] = v;
        energy += static_cast<double>(v) * static_cast<double>(v);
    }
    const double scale = energy > 0.0 ? 1.0 / std::sqrt(energy) : 1.0;
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<float>(static_cast<double>(out[i]) * scale);
    return scale;
}

void rrc_taps(int sps, int span, float *out, double beta) {
    if (sps > 0 && span > 0) {
        wfm_rrc_taps(sps, span, out, beta);
        return;
    }
    const size_t n = wfm_rrc_num_taps(sps, span);
    for (size_t i = 0; i < n; ++i) out[i] = 0.0f;
}

void wfm_polyphase_bank(const float *taps, size_t n_taps, size_t P, size_t K, float *out) {
    for (size_t p = 0; p < P; ++p)
        for (size_t k = 0; k < K; ++k) {
            const size_t src = p + k * P;
            out[p * K + k] = src < n_taps ? taps[src] : 0.0f;
        }
}

int wfm_rrc_polyphase_bank(int sps, int span, float *out, double beta) {
    if (sps < 1 || span < 1) return SX_ERR_INVALID;
    const size_t n = wfm_rrc_num_taps(sps, span);
    if (n == 0) return SX_ERR_INVALID;
    const size_t P = static_cast<size_t>(sps);
    const size_t K = 2 * static_cast<size_t>(span) + 1;
    std::unique_ptr<float[]> taps(new (std::nothrow) float[n]);
    if (!taps) {
        for (size_t i = 0; i < P * K; ++i) out[i] = 0.0f;
        return SX_ERR_NOMEM;
    }
    wfm_rrc_taps(sps, span, taps.get(), beta);
    const float gain = std::sqrt(static_cast<float>(sps));
    for (size_t i = 0; i < n; ++i) taps[i] *= gain;
    wfm_polyphase_bank(taps.get(), n, P, K, out);
    return SX_OK;
}

}  // extern "C"
