// Arbitrary-ratio polyphase resampler for cf32 streams, driven by a 32-bit
// phase accumulator: a fixed-ratio block form (interpolating for rate >= 1,
// transposed decimating for rate < 1), an exact-count interpolating form, and a
// per-input control form steered by a timing loop. Plus the Kaiser design
// formulas used to size its banks, and the thin Resampler_* layer used by the
// resample module's Resampler type.
//
// Bank layout: L branches of T taps, branch-major: coefficient k of branch p is
// bank[p * T + k]; coefficient 0 applies to the newest input. Branch p stands
// for the output instant p / L of an input period after the newest sample.
// The branch of an accumulator value acc is (acc * L) >> 32, which is
// acc >> (32 - log2 L) for a power-of-two L and stays inside the bank for any L.
#pragma once
#include "resample/fir_core.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct resamp_t resamp_t;

/* The ratios a 32-bit phase step can hold (besides 0): 2^-32 ... 2^32. */
#define RESAMP_MIN_RATE (1.0 / 4294967296.0)
#define RESAMP_MAX_RATE 4294967296.0

/* Built-in bank: L = 4096 branches of T = 19 taps (Kaiser-windowed sinc, cutoff
 * at the input Nyquist frequency, 60 dB design).
 * rate  output-to-input ratio; >= 1 interpolates, < 1 decimates (0 gives one
 *       all-zero output per input). Returns null when rate is NaN, or not 0
 *       and outside [2^-32, 2^32] (the ratios the 32-bit step can hold), or
 *       memory runs out. */
SX_API resamp_t *resamp_create(double rate);
/* L     branches, >= 1 (any count; a power of two is the usual choice)
 * T     taps per branch, >= 1
 * bank  L * T float32, branch-major; copied
 * rate  output-to-input ratio, > 0 and finite
 * Returns null on a bad argument, a size overflow or allocation failure. */
SX_API resamp_t *resamp_create_custom(size_t L, size_t T, const float *bank, double rate);
/* As resamp_create_custom, but takes ownership of a bank allocated with
 * malloc (it is freed with free, also when creation fails). */
SX_API resamp_t *resamp_create_from_bank(size_t L, size_t T, float *bank, double rate);
/* Frees the resampler and its bank; null is accepted. */
SX_API void resamp_destroy(resamp_t *r);
/* Zeroes phase, ring, accumulators and the control counters; rate and bank stay. */
SX_API void resamp_reset(resamp_t *r);

/* State blob: header "RSMP" v2, u32 phase, u64 ring_pos (unaligned), u32
 * ctrl_phase, u32 ctrl_pending, i32 ctrl_backlog, the ring (2 * S cf32, S the
 * smallest power of two >= T), dacc (T cf32), dhist ((T - 1) cf32 when T >= 2). */
SX_API size_t resamp_state_bytes(const resamp_t *r);
SX_API void resamp_get_state(const resamp_t *r, void *blob);
/* 0, or SX_ERR_INVALID (-4) with nothing changed (bad header, size, ring
 * position or control counters). */
SX_API int resamp_set_state(resamp_t *r, const void *blob);

SX_API double resamp_get_rate(const resamp_t *r);
/* New ratio, glitch-free within one form (phase, ring, accumulators kept).
 * rate  0, or within [2^-32, 2^32]; >= 1 selects the interpolating form, < 1 the
 *       decimating form. Returns 0, or SX_ERR_INVALID (-4) for any other rate
 *       (nothing changed). */
SX_API int resamp_set_rate(resamp_t *r, double rate);
SX_API size_t resamp_get_num_phases(const resamp_t *r);
SX_API size_t resamp_get_num_taps(const resamp_t *r);
/* Sum of branch 0's coefficients, in double. */
SX_API double resamp_dc_gain(const resamp_t *r);
/* Control-form fractional accumulator, in [0, 1). */
SX_API double resamp_get_ctrl_acc(const resamp_t *r);

/* Fixed-ratio block form: consumes inputs until all n_in are used or out_cap
 * outputs are written (inputs left then are dropped; size out with
 * resamp_execute_outputs). Returns the number of outputs written. */
SX_API size_t resamp_execute(resamp_t *r, const cf32_t *in, size_t n_in, cf32_t *out, size_t out_cap);
/* Exact number of outputs resamp_execute writes for n_in inputs from the
 * current state with an unlimited out; SIZE_MAX when that does not fit. */
SX_API size_t resamp_execute_outputs(const resamp_t *r, size_t n_in);

/* Inputs the next n_out interpolated outputs consume:
 * (n_out * step + phase) >> 32 in 64-bit arithmetic (saturated), n_out when step = 0. */
SX_API size_t resamp_interp_inputs_needed(const resamp_t *r, size_t n_out);
/* Produces exactly n_out outputs with the interpolating kernel whatever the
 * form; in must hold at least resamp_interp_inputs_needed(r, n_out) samples.
 * Returns the number of inputs consumed. */
SX_API size_t resamp_interp_fill(resamp_t *r, const cf32_t *in, cf32_t *out, size_t n_out);

/* Control form, one input sample x with rate deviation ctrl (effective ratio
 * rate + ctrl). Writes the outputs it completes (0, 1 or several, at most
 * out_cap; outputs still owed come out at the next call). */
SX_API size_t resamp_execute_ctrl_push(resamp_t *r, cf32_t *out, size_t out_cap, cf32_t x, double ctrl);
/* Pushes in[i] with ctrl[i] for i = 0.. while inputs remain and fewer than
 * out_cap outputs are written; inputs left once out is full are not processed.
 * Returns the number of outputs written. */
SX_API size_t resamp_execute_ctrl(resamp_t *r, const cf32_t *in, const double *ctrl, size_t n, cf32_t *out,
                                  size_t out_cap);

/* Exact number of outputs resamp_execute_ctrl writes for these n inputs and
 * control values from the current state with an unlimited out; SIZE_MAX when
 * it exceeds limit (an effective ratio near or beyond 2^32 has no bound). */
SX_API size_t resamp_execute_ctrl_outputs(const resamp_t *r, const double *ctrl, size_t n, size_t limit);
/* As resamp_execute_ctrl_outputs with the same ctrl for every input. */
SX_API size_t resamp_execute_ctrl_outputs_fixed(const resamp_t *r, double ctrl, size_t n, size_t limit);

/* Kaiser window shape parameter for a stop-band attenuation [dB]. */
SX_API double kaiser_beta(double atten);
/* Taps per branch of a Kaiser-designed bank of num_phases branches:
 * atten [dB], pb and sb pass- and stop-band edges as fractions of the input
 * sample rate (sb > pb). 0 when num_phases <= 0 or the arguments are not usable
 * (non-finite, sb <= pb, a result that does not fit or would be negative). */
SX_API long long kaiser_num_taps(long long num_phases, double atten, double pb, double sb);

/* Resampler_*: the layer behind resample.Resampler, forwarding one to one. */
SX_API resamp_t *Resampler_create(double rate);
SX_API resamp_t *Resampler_create_custom(size_t num_phases, size_t num_taps, const float *bank, double rate);
SX_API void Resampler_destroy(resamp_t *r);
SX_API void Resampler_reset(resamp_t *r);
SX_API size_t Resampler_state_bytes(const resamp_t *r);
SX_API void Resampler_get_state(const resamp_t *r, void *blob);
SX_API int Resampler_set_state(resamp_t *r, const void *blob);
SX_API size_t Resampler_execute(resamp_t *r, const cf32_t *x, size_t x_len, cf32_t *out, size_t out_len);
/* 65536, whatever the state. */
SX_API size_t Resampler_execute_max_out(const resamp_t *r);
SX_API double Resampler_get_rate(const resamp_t *r);
SX_API int Resampler_set_rate(resamp_t *r, double rate);
SX_API double Resampler_get_ctrl_acc(const resamp_t *r);
SX_API size_t Resampler_get_num_phases(const resamp_t *r);
SX_API size_t Resampler_get_num_taps(const resamp_t *r);
/* Processes min(x_len, ctrl_len) inputs as resamp_execute_ctrl. */
SX_API size_t Resampler_execute_ctrl(resamp_t *r, const cf32_t *x, size_t x_len, const double *ctrl, size_t ctrl_len,
                                     cf32_t *out, size_t out_len);
/* 65536, whatever the state. */
SX_API size_t Resampler_execute_ctrl_max_out(const resamp_t *r);

#ifdef __cplusplus
}

// Two-pass restore for composite blocks: validate the blob region (header,
// size, ring position, control counters), then apply it.
bool resamp_state_valid(const resamp_t *r, const uint8_t *blob);
void resamp_state_apply(resamp_t *r, const uint8_t *blob);
#endif
