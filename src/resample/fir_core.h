// Direct-form FIR filter over complex float (cf32) streams, with complex or real
// taps. One component shared by every module that filters (waveform synthesis,
// rate conversion, down-conversion).
#pragma once
#include "core/sx_status.h"

#ifdef __cplusplus
#include <complex>
#endif

// One complex float sample, I then Q (two float32). In C++ it is
// std::complex<float>, which has exactly that layout.
#ifndef SX_CF32_T_DEFINED
#define SX_CF32_T_DEFINED
#ifdef __cplusplus
typedef std::complex<float> cf32_t;
#else
typedef struct { float re, im; } cf32_t;
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct fir_t fir_t;

/* taps   complex taps, tap 0 applies to the newest sample; copied
 * count  number of taps, >= 1
 * Returns null when taps is null, count is 0 or too large, or memory runs out. */
SX_API fir_t *fir_create(const cf32_t *taps, size_t count);
/* As fir_create with real taps (both I and Q are scaled by each tap). */
SX_API fir_t *fir_create_real(const float *taps, size_t count);
/* Frees the filter; null is accepted. */
SX_API void fir_destroy(fir_t *f);
/* Zeroes the history (the last num_taps - 1 inputs). */
SX_API void fir_reset(fir_t *f);

/* State blob: header "FIR_" v1, then the history ((num_taps - 1) cf32).
 * 16 bytes when num_taps < 2, else 8 * num_taps + 8. */
SX_API size_t fir_state_bytes(const fir_t *f);
SX_API void fir_get_state(const fir_t *f, void *blob);
/* 0, or SX_ERR_INVALID (-4) with nothing changed on a malformed blob. */
SX_API int fir_set_state(fir_t *f, const void *blob);

SX_API size_t fir_get_num_taps(const fir_t *f);
/* 1 for real taps, 0 for complex taps. */
SX_API int fir_get_is_real(const fir_t *f);
/* Sum of the real taps (or of the real parts of the complex taps), in double. */
SX_API double fir_dc_gain(const fir_t *f);

/* Filters n samples: out[i] = sum_j h[j] * x[i - j] across calls.
 * in and out may be the same buffer (in-place filtering).
 * Returns n, or 0 with nothing changed when f, in or out is null, n is 0 or
 * the scratch buffer cannot grow. */
SX_API size_t fir_execute(fir_t *f, const cf32_t *in, size_t n, cf32_t *out);
/* 0: one output per input, callers size out from n. */
SX_API size_t fir_execute_max_out(const fir_t *f);

#ifdef __cplusplus
}

#include <cstdint>
// Two-pass restore for composite blocks: validate the blob region (header and
// size), then apply it. fir_set_state == valid ? apply : -4.
bool fir_state_valid(const fir_t *f, const uint8_t *blob);
void fir_state_apply(fir_t *f, const uint8_t *blob);
#endif
