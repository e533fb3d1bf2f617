// Real-input digital down-converter: a real-to-complex halfband decimator turns
// the f32 stream into a complex one at half the rate (folding in a quarter-rate
// shift), the oscillator mixes at that intermediate rate, and a RateConverter
// at twice the requested ratio finishes. Plain and matched-filter variants,
// a block form and the two control ports, as for the complex-input ddc.
#pragma once
#include "core/sx_status.h"
#include "core/sx_tlm_core.h"
#include "resample/fir_core.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ddcr ddcr;

/* norm_freq  oscillator frequency [cycles per intermediate sample, fs_in/2], finite
 * rate       end-to-end output-to-input ratio, 0 < rate < 0.5
 * Returns null on a bad argument, a part that cannot be built, or when memory
 * runs out. */
SX_API ddcr *ddcr_create(double norm_freq, double rate);
/* Matched variant; pulse, span, num_phases, beta and pulse_sps as for
 * ddc_create_matched (the converter runs at ratio 2 * rate). */
SX_API ddcr *ddcr_create_matched(int pulse, size_t span, size_t num_phases, double norm_freq, double rate,
                                 double beta, double pulse_sps);
SX_API void ddcr_destroy(ddcr *d);
/* Decimator, oscillator phase and converter back to their state after create. */
SX_API void ddcr_reset(ddcr *d);

/* State blob: header "DDCR" v1, f64 rate, the decimator's blob, the
 * oscillator's blob, the converter's blob. */
SX_API size_t ddcr_state_bytes(const ddcr *d);
SX_API void ddcr_get_state(const ddcr *d, void *blob);
/* 0, or SX_ERR_INVALID (-4) with nothing changed. */
SX_API int ddcr_set_state(ddcr *d, const void *blob);

/* Oscillator frequency [cycles per intermediate sample]. */
SX_API double ddcr_get_norm_freq(const ddcr *d);
SX_API int ddcr_set_norm_freq(ddcr *d, double norm_freq);
SX_API double ddcr_get_rate(const ddcr *d);
/* Ratio of the terminal resampler that rate_ctrl deviates (0 when the plan ends otherwise). */
SX_API double ddcr_terminal_rate(const ddcr *d);

/* Block form over n real samples (an odd sample waits inside the decimator for
 * its pair). Outputs never exceed n. */
SX_API size_t ddcr_execute(ddcr *d, const float *in, size_t n, cf32_t *out, size_t out_cap);
/* freq_ctrl is in cycles per intermediate sample: a discriminator measuring in
 * cycles per input sample doubles its value. */
SX_API size_t ddcr_execute_ctrl(ddcr *d, const float *in, size_t n, cf32_t *out, size_t out_cap, double rate_ctrl,
                                double freq_ctrl);
/* One real sample: every other push completes an intermediate sample; the
 * pushes between return 0 and leave the oscillator where it is. With out_cap 0
 * the sample is not taken. */
SX_API size_t ddcr_execute_ctrl_push(ddcr *d, cf32_t *out, size_t out_cap, float x, double rate_ctrl,
                                     double freq_ctrl);
SX_API size_t ddcr_execute_ctrl_push_tap(ddcr *d, cf32_t *out, size_t out_cap, float x, double rate_ctrl,
                                         double freq_ctrl, cf32_t *mix, int *mix_valid);
SX_API size_t ddcr_execute_ctrl_push_tap2(ddcr *d, cf32_t *out, size_t out_cap, float x, double rate_ctrl,
                                          double freq_ctrl, cf32_t *mix, int *mix_valid, float *tap,
                                          int *tap_valid);

/* 0: size out from the input length. */
SX_API size_t ddcr_execute_max_out(const ddcr *d);
SX_API size_t ddcr_execute_ctrl_max_out(const ddcr *d);
/* Most outputs ddcr_execute_ctrl can write for n inputs at this rate_ctrl: at
 * least n; SIZE_MAX for a deviation that is not finite or gives more than 2^28
 * outputs. */
SX_API size_t ddcr_execute_ctrl_outputs_max(const ddcr *d, size_t n, double rate_ctrl);
/* 3. */
SX_API size_t ddcr_execute_ctrl_push_max_out(const ddcr *d);
/* The outputs one push can complete at this rate_ctrl; SIZE_MAX as above. */
SX_API size_t ddcr_execute_ctrl_push_outputs_max(const ddcr *d, double rate_ctrl);

SX_API size_t ddcr_run(ddcr *d, const void *state_in, void *state_out, const float *in, size_t n, cf32_t *out,
                       size_t out_cap);

SX_API double ddcr_get_bank_sps(const ddcr *d);
SX_API int ddcr_get_narrow_pulse(const ddcr *d);
SX_API int ddcr_get_clipped(const ddcr *d);
/* As ddc_enable_agc and ddc_agc_gain_db, on the converter after the
 * real-to-complex stage. */
SX_API int ddcr_enable_agc(ddcr *d, double agc_rate, double agc_alpha);
SX_API double ddcr_agc_gain_db(const ddcr *d);
SX_API int ddcr_set_telemetry(ddcr *d, sx_tlm *tlm, const char *prefix, uint32_t decim);

#ifdef __cplusplus
}
#endif
