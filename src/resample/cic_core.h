// CIC decimator for cf32 streams: four integrators and four combs (N = 4,
// differential delay 1), ratio R a power of two in 2..2048. Each component is
// converted to 16-bit offset binary (Q2.14, truncated toward zero; the
// representable range is [-2, 2), values outside clip to its ends and set a
// sticky flag), filtered in wrapping 64-bit unsigned arithmetic (exact, since
// 65535 R^4 < 2^64), and converted back after a shift by 4 log2(R), so the DC
// gain is exactly 1 and the stage needs no multiplies.
//
// Plus the closed-form maximally-flat droop compensator designer (ciccompmf).
#pragma once
#include <stdint.h>

#include "resample/fir_core.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct cic_t cic_t;

/* R  decimation ratio, a power of two with 2 <= R <= 2048.
 * Returns null for any other R or when memory runs out. */
SX_API cic_t *cic_create(uint32_t R);
SX_API void cic_destroy(cic_t *c);
/* Zeroes the registers, the phase and the clipped flag; R and shift stay. */
SX_API void cic_reset(cic_t *c);
/* New ratio (same rule as cic_create), then a reset: 0, or SX_ERR_INVALID (-4)
 * with nothing changed. */
SX_API int cic_reconfigure(cic_t *c, uint32_t R);

/* State blob: header "CIC_" v2, the sixteen u64 registers (integ_i[4],
 * integ_q[4], comb_i[4], comb_q[4]), u32 phase, u8 clipped; 149 bytes for every R. */
SX_API size_t cic_state_bytes(const cic_t *c);
SX_API void cic_get_state(const cic_t *c, void *blob);
/* 0, or SX_ERR_INVALID (-4) with nothing changed (header, size, a phase >= R
 * or a clipped flag other than 0/1). */
SX_API int cic_set_state(cic_t *c, const void *blob);

SX_API uint32_t cic_get_R(const cic_t *c);
/* 4 log2(R). */
SX_API uint32_t cic_get_shift(const cic_t *c);
/* 1 when an input component was out of range since create / reset. */
SX_API int cic_get_clipped(const cic_t *c);
/* (R^2)^2 / 2^shift: exactly 1 for every accepted R. */
SX_API double cic_dc_gain(const cic_t *c);

/* Decimates n_in samples: floor((phase + n_in) / R) outputs, of which the first
 * out_cap are written; the registers advance over every input regardless.
 * Returns the number written. */
SX_API size_t cic_decimate(cic_t *c, const cf32_t *in, size_t n_in, cf32_t *out, size_t out_cap);
/* Outputs cic_decimate produces for n_in more inputs. */
SX_API size_t cic_decimate_outputs(const cic_t *c, size_t n_in);
/* 0: callers size out from the input length. */
SX_API size_t cic_decimate_max_out(const cic_t *c);

/* Droop compensator of an N-stage CIC of ratio R, M taps, maximally flat
 * error at DC (closed form), DC gain exactly 1, written symmetric into out.
 * Odd M in 1..19 and even M in 2..18 are supported; other M fill out with
 * zeros; M = 0 writes nothing. */
SX_API void ciccompmf(double *out, unsigned N, unsigned R, unsigned M);
/* Solves the n x n system a x = b in place (row-major a; the solution
 * replaces b) by Gaussian elimination with partial pivoting. 0, or
 * SX_ERR_INVALID (-4) for a singular system or null arguments. */
SX_API int ciccomp_solve(double *a, double *b, size_t n);

#ifdef __cplusplus
}

bool cic_state_valid(const cic_t *c, const uint8_t *blob);
void cic_state_apply(cic_t *c, const uint8_t *blob);
#endif
