// Multi-stage sample-rate converter for cf32 streams, any positive
// output-to-input ratio. At construction it plans the cheapest cascade of at
// most three stages (halfband decimators for 2 and 4, a CIC decimator with
// optional droop compensator for 8..2048, a polyphase resampler for the
// fractional residue) and runs them as one block. The matched variant ends in a
// resampler whose bank is a pulse-shaped matched filter (root-raised-cosine, or
// a one-symbol rectangle, integrate and dump) designed for the terminal stage's
// own rate, and can carry an AGC that reports to telemetry.
//
// Plan of a plain converter (D = 1 / rate):
//   rate >= 1 or D < 2             [Resampler(rate)]
//   D = 2, 4                       [halfband] / [halfband, halfband]
//   D = 2^h, h >= 3                [CIC(min(2^h, 2048))] (+ Resampler for a residue)
//   D >= 8 otherwise               [CIC(R), Resampler(R rate)], R the power of two
//                                  around D whose residue is nearest 1 in log2
//   2 < D < 8                      [Resampler(rate)]
#pragma once
#include "core/sx_tlm_core.h"
#include "resample/fir_core.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct RateConverter_t RateConverter_t;

/* Stage types. */
#define RC_STAGE_HALFBAND 0
#define RC_STAGE_CIC 1
#define RC_STAGE_RESAMPLER 2
/* Pulse of a matched converter; RC_PULSE_NONE marks a plain converter. */
#define RC_PULSE_IANDD 0
#define RC_PULSE_RRC 1
#define RC_PULSE_NONE 2

/* compensate  non-zero: each CIC stage is followed by its 7-tap droop compensator
 * rate        output-to-input ratio, within [2^-43, 2^32]
 * Returns null for a bad rate, a stage that cannot be built or no memory. */
SX_API RateConverter_t *RateConverter_create(int compensate, double rate);
/* compensate  non-zero: the droop compensator of a leading CIC is folded into the bank
 * pulse       RC_PULSE_IANDD (0) or RC_PULSE_RRC (1)
 * span        RRC half-length in symbols, >= 1
 * num_phases  branches of the matched bank, a power of two >= 2
 * rate        output-to-input ratio, within [2^-43, 2^32]
 * beta        RRC roll-off, 0..1
 * pulse_sps   samples per symbol at the output, > 0 and finite
 * Returns null on any bad argument, an oversized bank or no memory. */
SX_API RateConverter_t *RateConverter_create_matched(int compensate, int pulse, size_t span, size_t num_phases,
                                                     double rate, double beta, double pulse_sps);
/* Destroys the stages, the AGC and the buffers; null is accepted. */
SX_API void RateConverter_destroy(RateConverter_t *c);
/* Resets every stage (a CIC's compensator too) and the AGC; plan and rate stay. */
SX_API void RateConverter_reset(RateConverter_t *c);

/* State blob: header "RCVT" v2, then each stage's blob in order (a CIC stage:
 * its CIC blob, then its compensator's FIR blob when it has one), then the
 * AGC blob when an AGC exists. */
SX_API size_t RateConverter_state_bytes(const RateConverter_t *c);
SX_API void RateConverter_get_state(const RateConverter_t *c, void *blob);
/* Every part is validated before any is applied: 0, or SX_ERR_INVALID (-4)
 * with nothing changed. */
SX_API int RateConverter_set_state(RateConverter_t *c, const void *blob);

/* Block form: converts n_in samples, writes at most out_cap outputs. A stage
 * whose output is full takes no more input, so to lose nothing give out room
 * for RateConverter_execute_outputs + 1 (the same holds for _ctrl). A matched converter
 * behaves as RateConverter_execute_ctrl with ctrl = 0. Returns the count; 0
 * without stages or when the scratch buffers cannot grow. */
SX_API size_t RateConverter_execute(RateConverter_t *c, const cf32_t *in, size_t n_in, cf32_t *out, size_t out_cap);
/* Block form with the terminal resampler's ratio deviated by ctrl (referred to
 * that stage's rate); a cascade ending in a halfband or CIC ignores ctrl. */
SX_API size_t RateConverter_execute_ctrl(RateConverter_t *c, const cf32_t *in, size_t n_in, cf32_t *out,
                                         size_t out_cap, double ctrl);
/* One input sample with its control value; returns the outputs it completes. */
SX_API size_t RateConverter_execute_ctrl_push(RateConverter_t *c, cf32_t *out, size_t out_cap, cf32_t x,
                                              double ctrl);
/* As _push; tap (two floats) receives the sample that entered the terminal
 * stage and *tap_valid is set to 1 when one did (either may be null). */
SX_API size_t RateConverter_execute_ctrl_push_tap(RateConverter_t *c, cf32_t *out, size_t out_cap, cf32_t x,
                                                  double ctrl, float *tap, int *tap_valid);
/* (size_t)(65536 rate) + 2 when rate > 1, else 65538: bound for a 65536-sample block. */
SX_API size_t RateConverter_execute_max_out(const RateConverter_t *c);
/* 0: no bound of its own. */
SX_API size_t RateConverter_execute_ctrl_max_out(const RateConverter_t *c);
/* (size_t)rate + 2 when rate > 1, else 3: bound for one pushed input. */
SX_API size_t RateConverter_execute_ctrl_push_max_out(const RateConverter_t *c);
/* Exact outputs RateConverter_execute writes for n_in inputs from the current
 * state with an unlimited out; SIZE_MAX when it exceeds limit. */
SX_API size_t RateConverter_execute_outputs(const RateConverter_t *c, size_t n_in, size_t limit);
/* A bound on the outputs RateConverter_execute_ctrl writes for n_in inputs
 * with this ctrl; SIZE_MAX when it exceeds limit or ctrl is not finite. */
SX_API size_t RateConverter_execute_ctrl_outputs(const RateConverter_t *c, size_t n_in, double ctrl, size_t limit);

SX_API double RateConverter_get_rate(const RateConverter_t *c);
/* Ratio of the terminal resampler, the stage a control deviation (ctrl) is
 * added to, so a timing loop can scale its correction; 0 when the plan does
 * not end in a resampler (the deviation then has nothing to steer). */
SX_API double RateConverter_terminal_rate(const RateConverter_t *c);
/* Re-plans and rebuilds the cascade for a new rate (all memories from zero;
 * an AGC is re-created for the new bank). A rate outside [2^-43, 2^32] is ignored.
 * A failed rebuild leaves no stages (executes return 0). */
SX_API void RateConverter_set_rate(RateConverter_t *c, double rate);

SX_API int RateConverter_num_stages(const RateConverter_t *c);
/* Stage type (RC_STAGE_*) of stage index, -1 out of range. */
SX_API int RateConverter_stage_type(const RateConverter_t *c, int index);
/* Writes the label of stage index ("HalfbandDecimator", "CIC(8)+FIR",
 * "Resampler(0.8)", "Resampler(0.5,rrc)", ...) into buf (NUL-terminated, cut
 * to size); returns 0 for an index out of range, else 1. */
SX_API int RateConverter_stage_label(const RateConverter_t *c, int index, char *buf, size_t size);
/* The label formatted into one static buffer shared by all converters; null
 * out of range. Not thread-safe. */
SX_API const char *RateConverter_stages_value(const RateConverter_t *c, int index);
/* 2 when the last stage is a resampler, else 0. */
SX_API int RateConverter_num_bank_shape(const RateConverter_t *c);
/* index 0: num_phases, 1: num_taps of the terminal resampler; 0 otherwise. */
SX_API size_t RateConverter_bank_shape_value(const RateConverter_t *c, int index);
/* Samples per symbol at the terminal stage's input (matched), else 0. */
SX_API double RateConverter_get_bank_sps(const RateConverter_t *c);
/* 1 for a rectangular pulse with pulse_sps < 4. */
SX_API int RateConverter_get_narrow_pulse(const RateConverter_t *c);
/* 1 if any CIC stage's sticky clipped flag is set. */
SX_API int RateConverter_get_clipped(const RateConverter_t *c);
/* Product of the stages' DC gains; 1 with no stages. */
SX_API double RateConverter_gain(const RateConverter_t *c);

/* Matched converters only: AGC in front of the terminal resampler, loop rate
 * agc_rate / bank_sps, smoothing agc_alpha, block length 8, reference ref_db.
 * agc_rate > 0 and finite, agc_alpha in (0, 1]. 0, or SX_ERR_INVALID (-4)
 * with the previous AGC kept. */
SX_API int RateConverter_enable_agc(RateConverter_t *c, double agc_rate, double agc_alpha);
/* 10 log10(E / bank_sps) of the matched bank, 0 without one. */
SX_API double RateConverter_agc_ref_db(const RateConverter_t *c);
/* The AGC's applied gain [dB], 0 without an AGC. */
SX_API double RateConverter_agc_gain_db(const RateConverter_t *c);
/* Telemetry for the AGC (now and after every rebuild): context (null
 * detaches), probe prefix (null: "agc"; at most 22 characters so that
 * "<prefix>.level_db" fits a probe name), decimation >= 1. 0, or
 * SX_ERR_INVALID (-4) with nothing changed. The context must outlive the
 * converter or be detached first. */
SX_API int RateConverter_set_telemetry(RateConverter_t *c, sx_tlm *tlm, const char *prefix, uint32_t decim);

/* One-shot: create, execute, destroy; 0 when create fails. */
SX_API size_t RateConverter_convert(int compensate, const cf32_t *in, size_t n_in, cf32_t *out, size_t out_cap,
                                    double rate);

#ifdef __cplusplus
}

#include <cstdint>
// Two-pass restore for composite blocks (the down-converters): validate the
// whole blob region, then apply it.
bool RateConverter_state_valid(const RateConverter_t *c, const uint8_t *blob);
void RateConverter_state_apply(RateConverter_t *c, const uint8_t *blob);
#endif
