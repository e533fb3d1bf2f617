#include "ddc/ddc_core.h"

#include <algorithm>
#include <cmath>
#include <new>

#include "core/sx_state.h"
#include "ddc/ddc_mix.h"
#include "resample/RateConverter_core.h"

using sx::ddc::kBoundLimit;
using sx::ddc::kMixBlock;

namespace {

constexpr sx::StateTag kTag{{'D', 'D', 'C', '_'}, 1};
// Header, then the rate as f64, then the oscillator's blob.
constexpr size_t kRateOffset = sx::kStateHeaderBytes;
constexpr size_t kLoOffset = kRateOffset + 8;

}  // namespace

struct ddc {
    lo osc{};
    RateConverter_t *rc = nullptr;
    double rate = 0.0;
    int narrow_pulse = 0;
    alignas(64) cf32_t mixed[kMixBlock];

    ~ddc() { RateConverter_destroy(rc); }
    size_t rc_offset() const { return kLoOffset + lo_state_bytes(&osc); }
};

namespace {

bool usable_rate(double rate) { return std::isfinite(rate) && rate > 0.0; }

ddc *finish_create(ddc *d, double norm_freq) {
    if (d->rc == nullptr || lo_init(&d->osc, norm_freq) != SX_OK) {
        delete d;
        return nullptr;
    }
    return d;
}

// Block by block, stopping once out is full: input past that point is not
// mixed, so the oscillator stays where the output stopped. convert(x, k, y,
// cap) takes one mixed block through the converter.
template <class Convert>
size_t mix_blocks(ddc *d, const cf32_t *in, size_t n, cf32_t *out, size_t out_cap, uint32_t extra, Convert convert) {
    size_t w = 0;
    for (size_t i = 0; i < n && w < out_cap; i += kMixBlock) {
        const size_t k = std::min(kMixBlock, n - i);
        sx::ddc::mix(&d->osc, extra, in + i, d->mixed, k);
        w += convert(d->mixed, k, out + w, out_cap - w);
    }
    return w;
}

}  // namespace

extern "C" {

ddc *ddc_create(double norm_freq, double rate) {
    if (!usable_rate(rate) || !std::isfinite(norm_freq)) return nullptr;
    auto *d = new (std::nothrow) ddc;
    if (d == nullptr) return nullptr;
    d->rate = rate;
    d->rc = RateConverter_create(0, rate);
    return finish_create(d, norm_freq);
}

ddc *ddc_create_matched(int pulse, size_t span, size_t num_phases, double norm_freq, double rate, double beta,
                        double pulse_sps) {
    if ((pulse != 0 && pulse != 1) || !usable_rate(rate) || !std::isfinite(norm_freq)) return nullptr;
    auto *d = new (std::nothrow) ddc;
    if (d == nullptr) return nullptr;
    d->rate = rate;
    d->narrow_pulse = (pulse == 0 && pulse_sps < 4.0) ? 1 : 0;
    d->rc = RateConverter_create_matched(1, pulse, span, num_phases, rate, beta, pulse_sps);
    return finish_create(d, norm_freq);
}

void ddc_destroy(ddc *d) { delete d; }

void ddc_reset(ddc *d) {
    if (d == nullptr) return;
    lo_reset(&d->osc);
    RateConverter_reset(d->rc);
}

size_t ddc_state_bytes(const ddc *d) {
    return d == nullptr ? 0 : d->rc_offset() + RateConverter_state_bytes(d->rc);
}

void ddc_get_state(const ddc *d, void *blob) {
    if (d == nullptr || blob == nullptr) return;
    sx::StateWriter w(blob);
    w.header(kTag, ddc_state_bytes(d));
    w.put(d->rate);
    lo_get_state(&d->osc, w.pos());
    RateConverter_get_state(d->rc, static_cast<uint8_t *>(blob) + d->rc_offset());
}

int ddc_set_state(ddc *d, const void *blob) {
    if (d == nullptr || blob == nullptr) return SX_ERR_INVALID;
    const auto *p = static_cast<const uint8_t *>(blob);
    sx::StateReader r(p);
    if (!r.header(kTag, ddc_state_bytes(d)) || r.get<double>() != d->rate) return SX_ERR_INVALID;
    if (!sx::lo_state_valid(&d->osc, p + kLoOffset) || !RateConverter_state_valid(d->rc, p + d->rc_offset()))
        return SX_ERR_INVALID;
    sx::lo_state_apply(&d->osc, p + kLoOffset);
    RateConverter_state_apply(d->rc, p + d->rc_offset());
    return SX_OK;
}

double ddc_get_norm_freq(const ddc *d) { return d == nullptr ? 0.0 : lo_get_norm_freq(&d->osc); }

int ddc_set_norm_freq(ddc *d, double norm_freq) {
    return d == nullptr ? SX_ERR_INVALID : lo_set_norm_freq(&d->osc, norm_freq);
}

double ddc_get_rate(const ddc *d) { return d == nullptr ? 0.0 : d->rate; }
double ddc_terminal_rate(const ddc *d) { return d == nullptr ? 0.0 : RateConverter_terminal_rate(d->rc); }

size_t ddc_execute(ddc *d, const cf32_t *in, size_t n, cf32_t *out, size_t out_cap) {
    if (d == nullptr || in == nullptr || out == nullptr) return 0;
    return mix_blocks(d, in, n, out, out_cap, 0, sx::ddc::Plain{d->rc});
}

size_t ddc_execute_ctrl(ddc *d, const cf32_t *in, size_t n, cf32_t *out, size_t out_cap, double rate_ctrl,
                        double freq_ctrl) {
    if (d == nullptr || in == nullptr || out == nullptr) return 0;
    return mix_blocks(d, in, n, out, out_cap, sx::lo_increment(freq_ctrl), sx::ddc::Steered{d->rc, rate_ctrl});
}

size_t ddc_execute_ctrl_push_tap2(ddc *d, cf32_t *out, size_t out_cap, cf32_t x, double rate_ctrl,
                                  double freq_ctrl, cf32_t *mix, int *mix_valid, float *tap, int *tap_valid) {
    if (mix_valid != nullptr) *mix_valid = 0;
    if (tap_valid != nullptr) *tap_valid = 0;
    // With no room at all the converter would drop the sample: take nothing.
    if (d == nullptr || out == nullptr || out_cap == 0) return 0;
    cf32_t m;
    sx::ddc::mix(&d->osc, sx::lo_increment(freq_ctrl), &x, &m, 1);
    if (mix != nullptr) *mix = m;
    if (mix_valid != nullptr) *mix_valid = 1;
    return RateConverter_execute_ctrl_push_tap(d->rc, out, out_cap, m, rate_ctrl, tap, tap_valid);
}

size_t ddc_execute_ctrl_push_tap(ddc *d, cf32_t *out, size_t out_cap, cf32_t x, double rate_ctrl, double freq_ctrl,
                                 cf32_t *mix, int *mix_valid) {
    return ddc_execute_ctrl_push_tap2(d, out, out_cap, x, rate_ctrl, freq_ctrl, mix, mix_valid, nullptr, nullptr);
}

size_t ddc_execute_ctrl_push(ddc *d, cf32_t *out, size_t out_cap, cf32_t x, double rate_ctrl, double freq_ctrl) {
    return ddc_execute_ctrl_push_tap2(d, out, out_cap, x, rate_ctrl, freq_ctrl, nullptr, nullptr, nullptr, nullptr);
}

size_t ddc_execute_max_out(const ddc *d, size_t n) {
    if (d == nullptr) return 0;
    // Every stage but an interpolating terminal resampler gives at most one
    // output per input.
    if (d->rate <= 1.0) return n;
    return sx::ddc::beyond_limit(d->rate, n, 0.0) ? SIZE_MAX : RateConverter_execute_outputs(d->rc, n, kBoundLimit);
}

size_t ddc_execute_ctrl_max_out(const ddc *d, size_t n) { return ddc_execute_ctrl_outputs_max(d, n, 0.0); }

size_t ddc_execute_ctrl_outputs_max(const ddc *d, size_t n, double rate_ctrl) {
    if (d == nullptr) return 0;
    if (d->rate <= 1.0 && rate_ctrl <= 0.0) return n;
    if (!std::isfinite(rate_ctrl) || sx::ddc::beyond_limit(d->rate, n, rate_ctrl)) return SIZE_MAX;
    return std::max(n, RateConverter_execute_ctrl_outputs(d->rc, n, rate_ctrl, kBoundLimit));
}

size_t ddc_execute_ctrl_push_max_out(const ddc *d) {
    if (d == nullptr) return 0;
    return d->rate > 1.0 ? static_cast<size_t>(d->rate) + 2 : 3;
}

size_t ddc_execute_ctrl_push_outputs_max(const ddc *d, double rate_ctrl) {
    if (d == nullptr) return 0;
    if (!std::isfinite(rate_ctrl) || sx::ddc::beyond_limit(d->rate, 1, rate_ctrl)) return SIZE_MAX;
    return std::max(ddc_execute_ctrl_push_max_out(d), RateConverter_execute_ctrl_outputs(d->rc, 1, rate_ctrl, kBoundLimit));
}

size_t ddc_run(ddc *d, const void *state_in, void *state_out, const cf32_t *in, size_t n, cf32_t *out,
               size_t out_cap) {
    return sx::ddc::run_stateless<ddc_set_state, ddc_execute, ddc_get_state>(d, state_in, state_out, in, n, out,
                                                                              out_cap);
}

double ddc_get_bank_sps(const ddc *d) { return d == nullptr ? 0.0 : RateConverter_get_bank_sps(d->rc); }
int ddc_get_narrow_pulse(const ddc *d) { return d == nullptr ? 0 : d->narrow_pulse; }
int ddc_get_clipped(const ddc *d) { return d == nullptr ? 0 : RateConverter_get_clipped(d->rc); }

int ddc_enable_agc(ddc *d, double agc_rate, double agc_alpha) {
    return d == nullptr ? SX_ERR_INVALID : RateConverter_enable_agc(d->rc, agc_rate, agc_alpha);
}
double ddc_agc_gain_db(const ddc *d) { return d == nullptr ? 0.0 : RateConverter_agc_gain_db(d->rc); }

int ddc_set_telemetry(ddc *d, sx_tlm *tlm, const char *prefix, uint32_t decim) {
    return d == nullptr ? SX_ERR_INVALID : RateConverter_set_telemetry(d->rc, tlm, prefix, decim);
}

}  // extern "C"
