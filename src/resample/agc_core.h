// Power-tracking AGC for cf32 samples, working in decibels: it measures the
// smoothed output power, compares it with a reference level and integrates the
// error into a gain in dB; the linear gain is re-derived only at block
// boundaries, with polynomial approximations of 10^(x/20) and 10 log10(x)
// instead of library calls in the loop. Outputs are clamped to a fixed
// amplitude (1e6 per component by default) and always finite. The integrated
// gain is held within +/- AGC_GAIN_LIMIT_DB, so silence or a tiny input never
// drives it towards infinity. Can report its gain and level to a telemetry
// context.
#pragma once
#include "core/sx_tlm_core.h"
#include "resample/fir_core.h"

/* Bound of the integrated gain [dB]: 10^15 linear, finite in single precision
 * times any sample below 3e23. */
#define AGC_GAIN_LIMIT_DB 300.0

#ifdef __cplusplus
extern "C" {
#endif

typedef struct agc_t agc_t;

/* ref_db  target output power [dB], finite
 * mu      loop gain per sample, finite (>= 0 for a converging loop)
 * alpha   power smoothing factor in (0, 1], 1 = none
 * Returns null for a non-finite argument or when memory runs out. */
SX_API agc_t *agc_create(double ref_db, double mu, double alpha);
SX_API void agc_destroy(agc_t *a);
/* gain 0 dB, level at the reference, block count 0, unity linear gain. */
SX_API void agc_reset(agc_t *a);

/* State blob: header "AGC " v3, 120 bytes: ref_db, mu, alpha, steps_block,
 * clamp_db, block_len, gain_db, level, gain_lin, count (8 bytes each),
 * clamp_amp (f32), 4 reserved bytes, zeros. The telemetry hookup is kept. */
SX_API size_t agc_state_bytes(const agc_t *a);
SX_API void agc_get_state(const agc_t *a, void *blob);
/* 0, or SX_ERR_INVALID (-4) with nothing changed (header, size, a non-finite
 * value, a gain outside the limit, block lengths below 1, a count past the block). */
SX_API int agc_set_state(agc_t *a, const void *blob);

/* Block length of the per-sample step (>= 1; the rate converter uses 8):
 * 0, or SX_ERR_INVALID (-4). Restarts the block count. */
SX_API int agc_set_block_len(agc_t *a, int64_t block_len);
/* The integrated gain [dB]. */
SX_API double agc_get_gain_db(const agc_t *a);
/* 20 log10 of the linear gain in use; -6153.053111371775 below the smallest
 * normal double, 6165.094311198335 above the largest. */
SX_API double agc_get_applied_gain_db(const agc_t *a);

/* Attach (tlm non-null) or detach (null) telemetry. Probes "<prefix>.gain_db"
 * and "<prefix>.level_db" (prefix "agc" when null) are registered with decim.
 * 0, or SX_ERR_INVALID (-4) with the hookup unchanged when a name would exceed
 * 31 characters (the two would be cut to one name) or registration fails. */
SX_API int agc_set_telemetry(agc_t *a, sx_tlm *tlm, const char *prefix, uint32_t decim);

/* One per-sample step: scales x by the block's gain, updates the power
 * estimate, closes the block every block_len samples (gain update, telemetry:
 * gain_db then level_db) and returns the clamped sample. */
SX_API cf32_t agc_step(agc_t *a, cf32_t x);
/* Block form: blocks of steps_block samples with the gain ramped linearly to
 * each block's target; in and out may be the same buffer. Returns n. */
SX_API size_t agc_steps(agc_t *a, const cf32_t *in, cf32_t *out, size_t n);

/* Samples an AGC (ref 0 dB, mu, alpha, block length 1) needs on a constant
 * input err_db below the reference until its gain is within tol_db of err_db;
 * 0 when not computable (mu <= 0, alpha outside (0, 1], tol_db <= 0, err_db
 * not finite) or not reached within min(16 / mu, 2^22) + 1 samples. */
SX_API size_t agc_settling_samples(double mu, double alpha, double err_db, double tol_db);
SX_API size_t settling_samples(double mu, double alpha, double err_db, double tol_db);

#ifdef __cplusplus
}

#include <cstdint>
bool agc_state_valid(const agc_t *a, const uint8_t *blob);
void agc_state_apply(agc_t *a, const uint8_t *blob);
#endif
