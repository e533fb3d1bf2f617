#include "ddc/ddcr_core.h"

#include <algorithm>
#include <cmath>
#include <new>

#include "core/sx_state.h"
#include "ddc/ddc_mix.h"
#include "resample/RateConverter_core.h"
#include "resample/hb_branch.h"
#include "resample/hbdecim_r2c_core.h"

using sx::ddc::kBoundLimit;
using sx::ddc::kMixBlock;

namespace {

constexpr sx::StateTag kTag{{'D', 'D', 'C', 'R'}, 1};
constexpr size_t kRateOffset = sx::kStateHeaderBytes;
constexpr size_t kR2cOffset = kRateOffset + 8;
// Real samples taken per block: a pending odd sample from the previous call
// makes at most kMixBlock + 1 intermediate samples of them.
constexpr size_t kRealBlock = 2 * kMixBlock;
constexpr size_t kHalfCap = kMixBlock + 2;

}  // namespace

struct ddcr {
    hbdecim_r2c_t *r2c = nullptr;
    lo osc{};
    RateConverter_t *rc = nullptr;
    double rate = 0.0;
    int narrow_pulse = 0;
    alignas(64) cf32_t half[kHalfCap];   // decimator output, at fs_in / 2
    alignas(64) cf32_t mixed[kHalfCap];  // the same after the oscillator

    ~ddcr() {
        RateConverter_destroy(rc);
        hbdecim_r2c_destroy(r2c);
    }
    size_t lo_offset() const { return kR2cOffset + hbdecim_r2c_state_bytes(r2c); }
    size_t rc_offset() const { return lo_offset() + lo_state_bytes(&osc); }
};

namespace {

bool usable_rate(double rate) { return rate > 0.0 && rate < 0.5; }

ddcr *make(double norm_freq, double rate) {
    if (!usable_rate(rate) || !std::isfinite(norm_freq)) return nullptr;
    auto *d = new (std::nothrow) ddcr;
    if (d == nullptr) return nullptr;
    d->rate = rate;
    d->r2c = hbdecim_r2c_create(::rate::kHalfbandBranchTaps, ::rate::kHalfbandBranch);
    if (d->r2c == nullptr || lo_init(&d->osc, norm_freq) != SX_OK) {
        delete d;
        return nullptr;
    }
    return d;
}

ddcr *finish_create(ddcr *d) {
    if (d->rc == nullptr) {
        delete d;
        return nullptr;
    }
    return d;
}

// Block by block through the decimator and the mixer, stopping once out is
// full. convert(x, m, y, cap) takes the m intermediate samples of one block
// through the converter.
template <class Convert>
size_t mix_blocks(ddcr *d, const float *in, size_t n, cf32_t *out, size_t out_cap, uint32_t extra,
                  Convert convert) {
    size_t w = 0;
    for (size_t i = 0; i < n && w < out_cap; i += kRealBlock) {
        const size_t m = hbdecim_r2c_execute(d->r2c, in + i, std::min(kRealBlock, n - i), d->half, kHalfCap);
        if (m == 0) continue;
        sx::ddc::mix(&d->osc, extra, d->half, d->mixed, m);
        w += convert(d->mixed, m, out + w, out_cap - w);
    }
    return w;
}

}  // namespace

extern "C" {

ddcr *ddcr_create(double norm_freq, double rate) {
    ddcr *d = make(norm_freq, rate);
    if (d == nullptr) return nullptr;
    d->rc = RateConverter_create(0, 2.0 * rate);
    return finish_create(d);
}

ddcr *ddcr_create_matched(int pulse, size_t span, size_t num_phases, double norm_freq, double rate, double beta,
                          double pulse_sps) {
    if (pulse != 0 && pulse != 1) return nullptr;
    ddcr *d = make(norm_freq, rate);
    if (d == nullptr) return nullptr;
    d->narrow_pulse = (pulse == 0 && pulse_sps < 4.0) ? 1 : 0;
    d->rc = RateConverter_create_matched(1, pulse, span, num_phases, 2.0 * rate, beta, pulse_sps);
    return finish_create(d);
}

void ddcr_destroy(ddcr *d) { delete d; }

void ddcr_reset(ddcr *d) {
    if (d == nullptr) return;
    hbdecim_r2c_reset(d->r2c);
    lo_reset(&d->osc);
    RateConverter_reset(d->rc);
}

size_t ddcr_state_bytes(const ddcr *d) {
    return d == nullptr ? 0 : d->rc_offset() + RateConverter_state_bytes(d->rc);
}

void ddcr_get_state(const ddcr *d, void *blob) {
    if (d == nullptr || blob == nullptr) return;
    auto *p = static_cast<uint8_t *>(blob);
    sx::StateWriter w(p);
    w.header(kTag, ddcr_state_bytes(d));
    w.put(d->rate);
    hbdecim_r2c_get_state(d->r2c, p + kR2cOffset);
    lo_get_state(&d->osc, p + d->lo_offset());
    RateConverter_get_state(d->rc, p + d->rc_offset());
}

int ddcr_set_state(ddcr *d, const void *blob) {
    if (d == nullptr || blob == nullptr) return SX_ERR_INVALID;
    const auto *p = static_cast<const uint8_t *>(blob);
    sx::StateReader r(p);
    if (!r.header(kTag, ddcr_state_bytes(d)) || r.get<double>() != d->rate) return SX_ERR_INVALID;
    if (!hbdecim_r2c_state_valid(d->r2c, p + kR2cOffset) || !sx::lo_state_valid(&d->osc, p + d->lo_offset()) ||
        !RateConverter_state_valid(d->rc, p + d->rc_offset()))
        return SX_ERR_INVALID;
    hbdecim_r2c_state_apply(d->r2c, p + kR2cOffset);
    sx::lo_state_apply(&d->osc, p + d->lo_offset());
    RateConverter_state_apply(d->rc, p + d->rc_offset());
    return SX_OK;
}

double ddcr_get_norm_freq(const ddcr *d) { return d == nullptr ? 0.0 : lo_get_norm_freq(&d->osc); }

int ddcr_set_norm_freq(ddcr *d, double norm_freq) {
    return d == nullptr ? SX_ERR_INVALID : lo_set_norm_freq(&d->osc, norm_freq);
}

double ddcr_get_rate(const ddcr *d) { return d == nullptr ? 0.0 : d->rate; }
double ddcr_terminal_rate(const ddcr *d) { return d == nullptr ? 0.0 : RateConverter_terminal_rate(d->rc); }

size_t ddcr_execute(ddcr *d, const float *in, size_t n, cf32_t *out, size_t out_cap) {
    if (d == nullptr || in == nullptr || out == nullptr) return 0;
    return mix_blocks(d, in, n, out, out_cap, 0, sx::ddc::Plain{d->rc});
}

size_t ddcr_execute_ctrl(ddcr *d, const float *in, size_t n, cf32_t *out, size_t out_cap, double rate_ctrl,
                         double freq_ctrl) {
    if (d == nullptr || in == nullptr || out == nullptr) return 0;
    return mix_blocks(d, in, n, out, out_cap, sx::lo_increment(freq_ctrl), sx::ddc::Steered{d->rc, rate_ctrl});
}

size_t ddcr_execute_ctrl_push_tap2(ddcr *d, cf32_t *out, size_t out_cap, float x, double rate_ctrl,
                                   double freq_ctrl, cf32_t *mix, int *mix_valid, float *tap, int *tap_valid) {
    if (mix_valid != nullptr) *mix_valid = 0;
    if (tap_valid != nullptr) *tap_valid = 0;
    if (d == nullptr || out == nullptr || out_cap == 0) return 0;
    cf32_t h;
    if (hbdecim_r2c_execute(d->r2c, &x, 1, &h, 1) == 0) return 0;
    cf32_t m;
    sx::ddc::mix(&d->osc, sx::lo_increment(freq_ctrl), &h, &m, 1);
    if (mix != nullptr) *mix = m;
    if (mix_valid != nullptr) *mix_valid = 1;
    return RateConverter_execute_ctrl_push_tap(d->rc, out, out_cap, m, rate_ctrl, tap, tap_valid);
}

size_t ddcr_execute_ctrl_push_tap(ddcr *d, cf32_t *out, size_t out_cap, float x, double rate_ctrl,
                                  double freq_ctrl, cf32_t *mix, int *mix_valid) {
    return ddcr_execute_ctrl_push_tap2(d, out, out_cap, x, rate_ctrl, freq_ctrl, mix, mix_valid, nullptr, nullptr);
}

size_t ddcr_execute_ctrl_push(ddcr *d, cf32_t *out, size_t out_cap, float x, double rate_ctrl, double freq_ctrl) {
    return ddcr_execute_ctrl_push_tap2(d, out, out_cap, x, rate_ctrl, freq_ctrl, nullptr, nullptr, nullptr,
                                       nullptr);
}

size_t ddcr_execute_max_out(const ddcr *) { return 0; }
size_t ddcr_execute_ctrl_max_out(const ddcr *) { return 0; }

size_t ddcr_execute_ctrl_outputs_max(const ddcr *d, size_t n, double rate_ctrl) {
    if (d == nullptr) return 0;
    if (rate_ctrl <= 0.0) return n;
    if (!std::isfinite(rate_ctrl) || sx::ddc::beyond_limit(d->rate, n, rate_ctrl)) return SIZE_MAX;
    const size_t m = hbdecim_r2c_execute_outputs(d->r2c, n);
    return std::max(n, RateConverter_execute_ctrl_outputs(d->rc, m, rate_ctrl, kBoundLimit));
}

size_t ddcr_execute_ctrl_push_max_out(const ddcr *) { return 3; }

size_t ddcr_execute_ctrl_push_outputs_max(const ddcr *d, double rate_ctrl) {
    if (d == nullptr) return 0;
    if (!std::isfinite(rate_ctrl) || sx::ddc::beyond_limit(d->rate, 1, rate_ctrl)) return SIZE_MAX;
    const size_t m = hbdecim_r2c_execute_outputs(d->r2c, 1);
    return std::max<size_t>(3, RateConverter_execute_ctrl_outputs(d->rc, m, rate_ctrl, kBoundLimit));
}

size_t ddcr_run(ddcr *d, const void *state_in, void *state_out, const float *in, size_t n, cf32_t *out,
                size_t out_cap) {
    return sx::ddc::run_stateless<ddcr_set_state, ddcr_execute, ddcr_get_state>(d, state_in, state_out, in, n, out,
                                                                                 out_cap);
}

double ddcr_get_bank_sps(const ddcr *d) { return d == nullptr ? 0.0 : RateConverter_get_bank_sps(d->rc); }
int ddcr_get_narrow_pulse(const ddcr *d) { return d == nullptr ? 0 : d->narrow_pulse; }
int ddcr_get_clipped(const ddcr *d) { return d == nullptr ? 0 : RateConverter_get_clipped(d->rc); }

int ddcr_enable_agc(ddcr *d, double agc_rate, double agc_alpha) {
    return d == nullptr ? SX_ERR_INVALID : RateConverter_enable_agc(d->rc, agc_rate, agc_alpha);
}
double ddcr_agc_gain_db(const ddcr *d) { return d == nullptr ? 0.0 : RateConverter_agc_gain_db(d->rc); }

int ddcr_set_telemetry(ddcr *d, sx_tlm *tlm, const char *prefix, uint32_t decim) {
    return d == nullptr ? SX_ERR_INVALID : RateConverter_set_telemetry(d->rc, tlm, prefix, decim);
}

}  // extern "C"
