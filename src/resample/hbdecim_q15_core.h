// Fixed-point 2:1 halfband decimator: interleaved int16 I/Q in and out, branch
// taps in Q2.14. Same pairing and branch convention as hbdecim
// (hbdecim_core.h); each output is
//   saturate_int16((sum_k q[k] (x_a + x_b) + centre * 16384 + 16384) >> 15)
// per component, with 64-bit accumulation (round half up).
#pragma once
#include <stdint.h>

#include "core/sx_status.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct hbdecim_q15_t hbdecim_q15_t;

/* n     branch length, >= 1 (at most 2^20)
 * taps  the n branch taps (float); each of the first floor(n/2) becomes Q2.14:
 *       32767 above 1.999939, -32768 below -2, else round-half-away(h * 16384)
 * Returns null when n is 0 or too large, taps is null, or memory runs out. */
SX_API hbdecim_q15_t *hbdecim_q15_create(size_t n, const float *taps);
SX_API void hbdecim_q15_destroy(hbdecim_q15_t *h);
SX_API void hbdecim_q15_reset(hbdecim_q15_t *h);

/* State blob: header "HB15" v1, u64 pos_a, u64 pos_b, i32 pending flag, i16
 * pending I, i16 pending Q, the four rings (first I, first Q, second I, second
 * Q; 2S int16 each); 40 + 16 S bytes. */
SX_API size_t hbdecim_q15_state_bytes(const hbdecim_q15_t *h);
SX_API void hbdecim_q15_get_state(const hbdecim_q15_t *h, void *blob);
SX_API int hbdecim_q15_set_state(hbdecim_q15_t *h, const void *blob);

SX_API double hbdecim_q15_get_rate(const hbdecim_q15_t *h);
SX_API size_t hbdecim_q15_get_num_taps(const hbdecim_q15_t *h);

/* in    n_in complex samples as interleaved int16 I/Q (2 n_in values)
 * out   room for out_cap complex samples (2 out_cap values)
 * Returns the complex outputs written (pairing rules of hbdecim_execute). */
SX_API size_t hbdecim_q15_execute(hbdecim_q15_t *h, const int16_t *in, size_t n_in, int16_t *out, size_t out_cap);
/* 0: callers size out from the input. */
SX_API size_t hbdecim_q15_execute_max_out(const hbdecim_q15_t *h);

#ifdef __cplusplus
}
#endif
