// Complex-input digital down-converter: the oscillator mixes a cf32 stream to
// baseband, then a RateConverter changes its rate, in one pass. Plain and
// matched-filter variants, a block form, and the two control ports a receiver's
// loops steer: a frequency deviation added to the oscillator and a rate
// deviation added to the converter's terminal resampler.
#pragma once
#include "core/sx_status.h"
#include "core/sx_tlm_core.h"
#include "resample/fir_core.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ddc ddc;

/* norm_freq  oscillator frequency [cycles per input sample], finite; a tone at
 *            +f comes to DC with norm_freq = -f
 * rate       output-to-input ratio, > 0 and finite
 * Returns null on a bad argument, a converter that cannot be built, or when
 * memory runs out. */
SX_API ddc *ddc_create(double norm_freq, double rate);
/* The converter ends in a matched filter for a symbol pulse:
 * pulse       0 rectangle one symbol wide ("iandd"), 1 root-raised cosine; 2 (none) is refused
 * span        RRC half-length [symbols], >= 1
 * num_phases  branches of the matched bank, a power of two >= 2
 * beta        RRC roll-off, 0..1
 * pulse_sps   samples per symbol at the output, > 0
 * norm_freq, rate as for ddc_create. */
SX_API ddc *ddc_create_matched(int pulse, size_t span, size_t num_phases, double norm_freq, double rate,
                               double beta, double pulse_sps);
/* Frees everything; null is accepted. */
SX_API void ddc_destroy(ddc *d);
/* Oscillator phase to 0 and every converter memory cleared. */
SX_API void ddc_reset(ddc *d);

/* State blob: header "DDC_" v1, f64 rate, the oscillator's blob, the
 * converter's blob. */
SX_API size_t ddc_state_bytes(const ddc *d);
SX_API void ddc_get_state(const ddc *d, void *blob);
/* 0, or SX_ERR_INVALID (-4) with nothing changed: every part and the rate are
 * checked before any is restored. */
SX_API int ddc_set_state(ddc *d, const void *blob);

SX_API double ddc_get_norm_freq(const ddc *d);
/* Phase-continuous; SX_ERR_INVALID (nothing changed) for NaN or infinity. */
SX_API int ddc_set_norm_freq(ddc *d, double norm_freq);
/* End-to-end output-to-input ratio. */
SX_API double ddc_get_rate(const ddc *d);
/* Ratio of the terminal resampler that rate_ctrl deviates (0 when the plan ends otherwise). */
SX_API double ddc_terminal_rate(const ddc *d);

/* Block form: mixes and converts n samples; returns the outputs written (at
 * most out_cap; size out with ddc_execute_max_out). */
SX_API size_t ddc_execute(ddc *d, const cf32_t *in, size_t n, cf32_t *out, size_t out_cap);
/* Steered block form: rate_ctrl [ratio] is added to the terminal resampler's
 * rate, freq_ctrl [cycles per input sample] to the oscillator, for this block
 * only. Size out with ddc_execute_ctrl_outputs_max. */
SX_API size_t ddc_execute_ctrl(ddc *d, const cf32_t *in, size_t n, cf32_t *out, size_t out_cap, double rate_ctrl,
                               double freq_ctrl);
/* One input sample with its deviations; returns the outputs it completes
 * (outputs beyond out_cap are not lost: they come out at the next push). With
 * out_cap 0 the sample is not taken (the oscillator does not advance). */
SX_API size_t ddc_execute_ctrl_push(ddc *d, cf32_t *out, size_t out_cap, cf32_t x, double rate_ctrl,
                                    double freq_ctrl);
/* As ddc_execute_ctrl_push, also reporting the mixed sample (mix, mix_valid;
 * either may be null). */
SX_API size_t ddc_execute_ctrl_push_tap(ddc *d, cf32_t *out, size_t out_cap, cf32_t x, double rate_ctrl,
                                        double freq_ctrl, cf32_t *mix, int *mix_valid);
/* As ddc_execute_ctrl_push_tap, also reporting the sample that entered the
 * converter's terminal stage (tap: two f32, tap_valid; either may be null). */
SX_API size_t ddc_execute_ctrl_push_tap2(ddc *d, cf32_t *out, size_t out_cap, cf32_t x, double rate_ctrl,
                                         double freq_ctrl, cf32_t *mix, int *mix_valid, float *tap,
                                         int *tap_valid);

/* Most outputs ddc_execute can write for n inputs: n for a rate <= 1, else
 * the exact count from the current state; SIZE_MAX above 2^28 outputs (no
 * single call is sized for more). */
SX_API size_t ddc_execute_max_out(const ddc *d, size_t n);
/* The same bound for ddc_execute_ctrl with no rate deviation. */
SX_API size_t ddc_execute_ctrl_max_out(const ddc *d, size_t n);
/* Most outputs ddc_execute_ctrl can write for n inputs at this rate_ctrl (a
 * positive deviation raises the output rate): at least n; SIZE_MAX for a
 * deviation that is not finite or gives more than 2^28 outputs. */
SX_API size_t ddc_execute_ctrl_outputs_max(const ddc *d, size_t n, double rate_ctrl);
/* (size_t)rate + 2 for a rate > 1, else 3: the outputs one push completes
 * without a rate deviation. */
SX_API size_t ddc_execute_ctrl_push_max_out(const ddc *d);
/* The outputs one push can complete at this rate_ctrl; SIZE_MAX as above. */
SX_API size_t ddc_execute_ctrl_push_outputs_max(const ddc *d, double rate_ctrl);

/* Stateless pattern: restore state_in (if not null; 0 outputs when refused),
 * execute one block, save into state_out (if not null). */
SX_API size_t ddc_run(ddc *d, const void *state_in, void *state_out, const cf32_t *in, size_t n, cf32_t *out,
                      size_t out_cap);

/* Samples per symbol at the matched filter's input (converter's figure). */
SX_API double ddc_get_bank_sps(const ddc *d);
/* 1 for a matched rectangle with pulse_sps < 4. */
SX_API int ddc_get_narrow_pulse(const ddc *d);
/* 1 once a CIC stage of the converter has clipped its input. */
SX_API int ddc_get_clipped(const ddc *d);
/* Matched variant only: an AGC in front of the matched filter, loop rate
 * agc_rate per input sample of that filter, smoothing agc_alpha in (0, 1];
 * it reports to the context given to ddc_set_telemetry. 0, or
 * SX_ERR_INVALID (-4) with the previous AGC kept. */
SX_API int ddc_enable_agc(ddc *d, double agc_rate, double agc_alpha);
/* The AGC's applied gain [dB]; 0 without one. */
SX_API double ddc_agc_gain_db(const ddc *d);
/* Attaches a telemetry context (null detaches) to the converter's AGC;
 * prefix null means "agc". 0 or SX_ERR_INVALID. */
SX_API int ddc_set_telemetry(ddc *d, sx_tlm *tlm, const char *prefix, uint32_t decim);

#ifdef __cplusplus
}
#endif
