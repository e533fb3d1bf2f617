// 2-D FFT cross-correlator over row-major ny x nx frames, with coherent
// integrate-and-dump and optional interpolation onto ny_out x nx_out by
// zero-padding the accumulated spectrum. Output (0, 0) is lag (0, 0); each axis
// is in circular order, as for the 1-D correlator (corr_core.h).
//
// A reference that is zero outside its first row is correlated row by row with
// 1-D transforms of length nx ("row mode"), which gives the full 2-D result for
// such a reference at a fraction of the cost; ny_out is then ny.
#pragma once
#include "core/sx_status.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct corr2d corr2d;

/* ref           ny*nx cf32 samples, row-major, read during the call only
 * ny, nx        frame geometry, each >= 1, ny*nx <= 2^28
 * dwell         frames summed per dump, >= 1
 * nthreads      accepted and ignored
 * ny_out, nx_out output geometry, >= ny / >= nx; 0 means ny / nx
 * Returns null on a refused geometry, dwell 0 or failed allocation. */
SX_API corr2d *corr2d_create(const float *ref, uint64_t ny, uint64_t nx, uint64_t dwell, int nthreads,
                             uint64_t ny_out, uint64_t nx_out);
SX_API void corr2d_destroy(corr2d *h);
SX_API void corr2d_reset(corr2d *h);
/* 24 + 8*ny*nx: "CR2D" header, frame counter (u64), accumulator (ny*nx cf32). */
SX_API size_t corr2d_state_bytes(const corr2d *h);
SX_API void corr2d_get_state(const corr2d *h, void *blob);
/* 0, or -4 (nothing changed) for a wrong header or a counter not below dwell. */
SX_API int corr2d_set_state(corr2d *h, const void *blob);
/* 0 and reset; -1 (nothing changed) in row mode when the new reference has a
 * non-zero value outside row 0. */
SX_API int corr2d_set_ref(corr2d *h, const float *ref);
/* As corr_execute: reads min(n_in, ny*nx) samples (the rest count as zero);
 * returns 0 or, on a dump, min(ny_out*nx_out, out_cap) values written row-major. */
SX_API size_t corr2d_execute(corr2d *h, const float *x, size_t n_in, float *out, size_t out_cap);
SX_API size_t corr2d_execute_max_out(const corr2d *h);
SX_API uint64_t corr2d_ny(const corr2d *h);
SX_API uint64_t corr2d_nx(const corr2d *h);
SX_API uint64_t corr2d_ny_out(const corr2d *h);
SX_API uint64_t corr2d_nx_out(const corr2d *h);
SX_API uint64_t corr2d_n_out(const corr2d *h);
SX_API uint64_t corr2d_dwell(const corr2d *h);
SX_API uint64_t corr2d_count(const corr2d *h);
/* 1 when the correlator runs row by row (reference confined to row 0). */
SX_API int corr2d_row_mode(const corr2d *h);

/* Zero-pads a spectrum of L cf32 bins to M >= L: bins 0 .. L/2 keep their
 * place, the negative frequencies move to the top, and for even L the bin L/2
 * is split in halves between positions L/2 and M - L/2. M = L copies. */
SX_API void corr2d_zeropad_1d(const float *src, uint64_t L, float *dst, uint64_t M);

#ifdef __cplusplus
}

#include <cstdint>

namespace sx::spectral {
bool corr2d_state_ok(const corr2d *h, const uint8_t *blob);
void corr2d_state_apply(corr2d *h, const uint8_t *blob);
}  // namespace sx::spectral
#endif
