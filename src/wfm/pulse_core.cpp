#include "wfm/pulse_core.h"

#include <cmath>
#include <memory>
#include <new>

#include "core/filter_design.h"

namespace design = sx::design;

extern "C" {

void rrc_h(const double *t, size_t n, double *out, double beta) {
    const bool ok = design::rolloff_ok(beta);
    for (size_t i = 0; i < n; ++i) out[i] = ok ? design::rrc_pulse(t[i], beta) : 0.0;
}

void rc_h(const double *t, size_t n, double *out, double beta) {
    const bool ok = design::rolloff_ok(beta);
    for (size_t i = 0; i < n; ++i) out[i] = ok ? design::rc_pulse(t[i], beta) : 0.0;
}

size_t wfm_rrc_num_taps(int sps, int span) { return design::rrc_num_taps(sps, span); }

double wfm_rrc_taps(int sps, int span, float *out, double beta) {
    return design::rrc_unit_energy_taps(sps, span, out, beta);
}

void rrc_taps(int sps, int span, float *out, double beta) {
    if (sps > 0 && span > 0) {
        design::rrc_unit_energy_taps(sps, span, out, beta);
        return;
    }
    const size_t n = design::rrc_num_taps(sps, span);
    for (size_t i = 0; i < n; ++i) out[i] = 0.0f;
}

void wfm_polyphase_bank(const float *taps, size_t n_taps, size_t P, size_t K, float *out) {
    design::polyphase_bank(taps, n_taps, P, K, out);
}

int wfm_rrc_polyphase_bank(int sps, int span, float *out, double beta) {
    if (sps < 1 || span < 1) return SX_ERR_INVALID;
    const size_t n = design::rrc_num_taps(sps, span);
    if (n == 0) return SX_ERR_INVALID;
    const size_t P = static_cast<size_t>(sps);
    const size_t K = 2 * static_cast<size_t>(span) + 1;
    std::unique_ptr<float[]> taps(new (std::nothrow) float[n]);
    if (!taps) {
        for (size_t i = 0; i < P * K; ++i) out[i] = 0.0f;
        return SX_ERR_NOMEM;
    }
    design::rrc_unit_energy_taps(sps, span, taps.get(), beta);
    const float gain = std::sqrt(static_cast<float>(sps));
    for (size_t i = 0; i < n; ++i) taps[i] *= gain;
    design::polyphase_bank(taps.get(), n, P, K, out);
    return SX_OK;
}

}  // extern "C"
