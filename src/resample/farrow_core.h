// Farrow-structure fractional delay for cf32 streams: a linear, parabolic or
// cubic polynomial over a four-sample delay line. out[i] is the input
// interpolated at i - 2 + mu (group delay 2 for every order); the first two
// outputs after create or reset are the filling transient.
#pragma once
#include "resample/fir_core.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct farrow_t farrow_t;

/* order  0 linear, 1 parabolic, 2 cubic. Null for another order or no memory. */
SX_API farrow_t *farrow_create(int order);
SX_API void farrow_destroy(farrow_t *f);
/* Zeroes the delay line; the order stays. */
SX_API void farrow_reset(farrow_t *f);

/* State blob: header "FRRW" v1, d0..d3 (4 cf32), order (i32); 52 bytes. */
SX_API size_t farrow_state_bytes(const farrow_t *f);
SX_API void farrow_get_state(const farrow_t *f, void *blob);
/* Restores the delay line and the order: 0, or SX_ERR_INVALID (-4) with
 * nothing changed (header, size, an order other than 0, 1, 2). */
SX_API int farrow_set_state(farrow_t *f, const void *blob);

/* Always 2. */
SX_API int farrow_get_group_delay(const farrow_t *f);
/* 0: one output per input. */
SX_API size_t farrow_delay_max_out(const farrow_t *f);
/* Delays min(n_in, out_cap) inputs by the fraction mu of a sample (mu is used
 * in single precision, normally in [0, 1]); returns that count. */
SX_API size_t farrow_delay(farrow_t *f, const cf32_t *in, size_t n_in, cf32_t *out, size_t out_cap, double mu);

#ifdef __cplusplus
}
#endif
