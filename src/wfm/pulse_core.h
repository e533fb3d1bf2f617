// Pulse shaping: analytic root-raised-cosine and raised-cosine pulses, unit-energy
// RRC taps and their polyphase arrangement for interpolation by the symbol rate.
#pragma once
#include "core/sx_status.h"

#ifdef __cplusplus
extern "C" {
#endif

/* t     n times [symbol periods]; out  n pulse values (not normalised; peak 1 - beta + 4 beta/pi)
 * beta  roll-off, 0..1 (outside: every value is 0) */
SX_API void rrc_h(const double *t, size_t n, double *out, double beta);
/* Raised-cosine (Nyquist) pulse; 1 at t = 0, 0 at every other integer t. */
SX_API void rc_h(const double *t, size_t n, double *out, double beta);
/* Number of taps 2*span*sps + 1, or 0 when that is below 1 or does not fit a size. */
SX_API size_t wfm_rrc_num_taps(int sps, int span);
/* Fills wfm_rrc_num_taps(sps, span) unit-energy taps centred on the middle one
 * (sps [samples/symbol], span [symbols each side]); returns the scale applied
 * (1 when the energy is not positive). */
SX_API double wfm_rrc_taps(int sps, int span, float *out, double beta);
/* wfm_rrc_taps for sps > 0 and span > 0; otherwise the taps are zeros. */
SX_API void rrc_taps(int sps, int span, float *out, double beta);
/* out  P rows of K: row p, entry k = taps[p + k*P], 0 past n_taps. */
SX_API void wfm_polyphase_bank(const float *taps, size_t n_taps, size_t P, size_t K, float *out);
/* Unit-energy RRC taps times sqrt(sps) as sps phases of 2*span + 1 taps.
 * 0, SX_ERR_INVALID for sps or span below 1 (out untouched), or SX_ERR_NOMEM when the
 * scratch taps cannot be allocated (out zero-filled). */
SX_API int wfm_rrc_polyphase_bank(int sps, int span, float *out, double beta);

#ifdef __cplusplus
}
#endif
