// Complex 2:1 halfband decimator (cf32 in, cf32 out). The design input is the
// halfband's non-trivial branch (the taps at odd offsets from the centre); the
// centre tap is one half. Only the first floor(n/2) taps are read: the branch is
// taken as symmetric, and each coefficient meets a pair of samples added first.
//
// Inputs are consumed in pairs (first, second); a trailing odd sample stays
// pending for the next call, so block boundaries never change the output.
// One output per pair:
//   n even: y = 0.5 B[n/2]  + sum_{k<n/2} (h[k]/2) (A[k] + A[n-1-k])
//   n odd:  y = 0.5 A[n/2]  + sum_{k<n/2} (h[k]/2) (B[k+1] + B[n-1-k])
// with A[k] / B[k] the k-th newest first / second sample of a pair.
#pragma once
#include "resample/fir_core.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct hbdecim_t hbdecim_t;

/* n     branch length, >= 1 (at most 2^20)
 * taps  the n branch taps; copied (halved)
 * Returns null when n is 0 or too large, taps is null, or memory runs out. */
SX_API hbdecim_t *hbdecim_create(size_t n, const float *taps);
/* Frees the decimator; null is accepted. */
SX_API void hbdecim_destroy(hbdecim_t *h);
/* Zeroes both delay lines, their positions and the pending sample. */
SX_API void hbdecim_reset(hbdecim_t *h);

/* State blob: header "HBDC" v1, u64 pos_a, u64 pos_b, i32 pending flag, cf32
 * pending sample, ring_a (2S cf32), ring_b (2S cf32); 44 + 32 S bytes, S the
 * smallest power of two >= n (at least 2; 1 when n = 1). */
SX_API size_t hbdecim_state_bytes(const hbdecim_t *h);
SX_API void hbdecim_get_state(const hbdecim_t *h, void *blob);
/* 0, or SX_ERR_INVALID (-4) with nothing changed (header, size, ring positions,
 * pending flag, rings whose two halves disagree). */
SX_API int hbdecim_set_state(hbdecim_t *h, const void *blob);

/* Always 0.5. */
SX_API double hbdecim_get_rate(const hbdecim_t *h);
/* The branch length n given to create. */
SX_API size_t hbdecim_get_num_taps(const hbdecim_t *h);
/* 0.5 + 2 * sum_{k<n/2} h[k]/2; 0.5 when n < 2. */
SX_API double hbdecim_dc_gain(const hbdecim_t *h);

/* Decimates n_in samples: floor((pending + n_in) / 2) outputs when out_cap
 * allows. Once out_cap outputs are written the call stops; the sample after
 * the last full pair stays pending and later input of the call is not
 * processed. Returns the number of outputs written. */
SX_API size_t hbdecim_execute(hbdecim_t *h, const cf32_t *in, size_t n_in, cf32_t *out, size_t out_cap);
/* Outputs hbdecim_execute writes for n_in more inputs with an unlimited out. */
SX_API size_t hbdecim_execute_outputs(const hbdecim_t *h, size_t n_in);

/* HalfbandDecimator_*: the layer behind resample.HalfbandDecimator. */
SX_API hbdecim_t *HalfbandDecimator_create(const float *taps, size_t n);
SX_API void HalfbandDecimator_destroy(hbdecim_t *h);
SX_API void HalfbandDecimator_reset(hbdecim_t *h);
SX_API size_t HalfbandDecimator_state_bytes(const hbdecim_t *h);
SX_API void HalfbandDecimator_get_state(const hbdecim_t *h, void *blob);
SX_API int HalfbandDecimator_set_state(hbdecim_t *h, const void *blob);
SX_API size_t HalfbandDecimator_execute(hbdecim_t *h, const cf32_t *in, size_t n_in, cf32_t *out, size_t out_cap);
/* 32768, whatever the state. */
SX_API size_t HalfbandDecimator_execute_max_out(const hbdecim_t *h);
SX_API double HalfbandDecimator_get_rate(const hbdecim_t *h);
SX_API size_t HalfbandDecimator_get_num_taps(const hbdecim_t *h);

#ifdef __cplusplus
}

#include <cstdint>
// Two-pass restore for composite blocks: validate the blob region, then apply it.
bool hbdecim_state_valid(const hbdecim_t *h, const uint8_t *blob);
void hbdecim_state_apply(hbdecim_t *h, const uint8_t *blob);
#endif
