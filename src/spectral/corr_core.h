// 1-D FFT cross-correlator with coherent integrate-and-dump. The conjugate
// spectrum of the reference is computed once; every frame of n cf32 samples
// costs one forward FFT and n complex multiply-adds into a spectral
// accumulator, and every dwell-th frame the accumulator is transformed back
// once (summing cross-spectra then inverting equals summing the per-frame
// correlations), scaled by 1/n and emitted.
//
// Output m (lag m, circular order: negative lags wrap from the top) of a dump
// with n_out = n is sum over the dwell frames of sum_j x[(j+m) mod n]*conj(ref[j]).
// n_out > n interpolates the same correlation onto a finer grid by zero-padding
// the accumulated spectrum.
#pragma once
#include "core/sx_status.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct corr corr;

/* ref       n cf32 reference samples (interleaved), read during the call only
 * n         frame and reference length [samples], 1 .. 2^28
 * dwell     frames summed per dump; 0 never dumps
 * nthreads  accepted and ignored
 * n_out     output length, >= n; 0 means n
 * Returns null for n = 0, n_out < n, oversized lengths or failed allocation. */
SX_API corr *corr_create(const float *ref, uint64_t n, uint64_t dwell, int nthreads, uint64_t n_out);
SX_API void corr_destroy(corr *h);
/* Zeroes the accumulator and the frame counter; the reference is kept. */
SX_API void corr_reset(corr *h);
/* 24 + 8*n: "CORR" header, frame counter (u64), accumulator (n cf32). */
SX_API size_t corr_state_bytes(const corr *h);
SX_API void corr_get_state(const corr *h, void *blob);
/* 0, or -4 (nothing changed) for a wrong header or a frame counter that is not
 * below a non-zero dwell. */
SX_API int corr_set_state(corr *h, const void *blob);
/* Replaces the reference with n new samples, then resets. */
SX_API void corr_set_ref(corr *h, const float *ref);
/* Folds one frame: reads min(n_in, n) samples of x, missing ones count as zero.
 * Returns 0 on a frame that does not complete the dwell (out untouched);
 * on a dump writes min(n_out, out_cap) values and returns that count. */
SX_API size_t corr_execute(corr *h, const float *x, size_t n_in, float *out, size_t out_cap);
SX_API size_t corr_execute_max_out(const corr *h);
SX_API uint64_t corr_n(const corr *h);
SX_API uint64_t corr_n_out(const corr *h);
SX_API uint64_t corr_dwell(const corr *h);
SX_API uint64_t corr_count(const corr *h);

#ifdef __cplusplus
}

#include <complex>
#include <cstdint>

namespace sx::spectral {

using cf32 = std::complex<float>;

// acc[k] += x[k] * r[k] over n bins (plain float arithmetic, vectorised).
void cmac(cf32 *acc, const cf32 *x, const cf32 *r, size_t n);
// out[k] = conj(out[k]) in place.
void conj_inplace(cf32 *v, size_t n);
// v[k] *= s over n values.
void scale_inplace(cf32 *v, size_t n, float s);

// The blob of a correlator (both dimensions): header, frame counter, accumulator.
// acc_state_ok also refuses a counter at or above a non-zero dwell, which would
// otherwise never meet the dwell again until the 64-bit counter wrapped.
void acc_state_put(void *blob, const char tag[4], size_t state_bytes, uint64_t count, const cf32 *acc, size_t n);
bool acc_state_ok(const uint8_t *blob, const char tag[4], size_t state_bytes, uint64_t dwell);
uint64_t acc_state_get(const uint8_t *blob, cf32 *acc, size_t n);

// The two halves of corr_set_state, for blocks that embed a correlator and
// must check every part of their own blob before applying any.
bool corr_state_ok(const corr *h, const uint8_t *blob);
void corr_state_apply(corr *h, const uint8_t *blob);

}  // namespace sx::spectral
#endif
