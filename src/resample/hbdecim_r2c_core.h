// Real-to-complex 2:1 halfband decimator (f32 in, cf32 out). It folds a shift
// by a quarter of the input rate into the halfband: one real stream becomes one
// complex stream at half the rate, the band [0, fs/2] of the input centred on
// zero. Same pairing and branch convention as hbdecim (hbdecim_core.h), with
// the branch taps alternated in sign, a centre sign and an output sign that
// toggles from one output to the next; the output is scaled by 2 to restore
// the amplitude the real-to-complex step halves.
#pragma once
#include "resample/fir_core.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct hbdecim_r2c_t hbdecim_r2c_t;

/* n     branch length, >= 1 (at most 2^20)
 * taps  the n branch taps; copied
 * Returns null when n is 0 or too large, taps is null, or memory runs out. */
SX_API hbdecim_r2c_t *hbdecim_r2c_create(size_t n, const float *taps);
SX_API void hbdecim_r2c_destroy(hbdecim_r2c_t *h);
/* Zeroes the delay lines, positions, pending sample and the sign toggle. */
SX_API void hbdecim_r2c_reset(hbdecim_r2c_t *h);

/* State blob: header "HBR2" v1, u64 pos_a, u64 pos_b, i32 pending flag, f32
 * pending sample, i32 sign toggle, ring_a (2S f32), ring_b (2S f32); 44 + 16 S. */
SX_API size_t hbdecim_r2c_state_bytes(const hbdecim_r2c_t *h);
SX_API void hbdecim_r2c_get_state(const hbdecim_r2c_t *h, void *blob);
/* 0, or SX_ERR_INVALID (-4) with nothing changed. */
SX_API int hbdecim_r2c_set_state(hbdecim_r2c_t *h, const void *blob);

/* Always 0.5. */
SX_API double hbdecim_r2c_get_rate(const hbdecim_r2c_t *h);
SX_API size_t hbdecim_r2c_get_num_taps(const hbdecim_r2c_t *h);

/* n_in real samples in, floor((pending + n_in) / 2) complex outputs when out_cap
 * allows (the pairing rules of hbdecim_execute). Returns the outputs written. */
SX_API size_t hbdecim_r2c_execute(hbdecim_r2c_t *h, const float *in, size_t n_in, cf32_t *out, size_t out_cap);
/* Outputs hbdecim_r2c_execute writes for n_in more inputs with an unlimited out. */
SX_API size_t hbdecim_r2c_execute_outputs(const hbdecim_r2c_t *h, size_t n_in);

#ifdef __cplusplus
}

#include <cstdint>
bool hbdecim_r2c_state_valid(const hbdecim_r2c_t *h, const uint8_t *blob);
void hbdecim_r2c_state_apply(hbdecim_r2c_t *h, const uint8_t *blob);
#endif
