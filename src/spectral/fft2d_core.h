// Fixed-size 2-D complex DFT engine over a row-major ny x nx grid: a pass of
// ny row transforms (length nx) then nx column transforms (length ny), planned
// once at create. Same conventions as the 1-D engine (fft_core.h): interleaved
// complex, no scaling, natural bin order, single precision for cf32 only when
// both nx and ny qualify, truncation to out_cap through a one-time scratch.
#pragma once
#include "core/sx_status.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct fft2d fft2d;

/* ny, nx    rows and columns, each >= 1, ny*nx <= 2^28
 * sign      < 0 forward, >= 0 inverse
 * nthreads  accepted and ignored
 * Returns null on a zero or oversized geometry or failed allocation. */
SX_API fft2d *fft2d_create(uint64_t ny, uint64_t nx, int sign, int nthreads);
SX_API void fft2d_destroy(fft2d *h);
SX_API void fft2d_reset(fft2d *h);
SX_API uint64_t fft2d_ny(const fft2d *h);
SX_API uint64_t fft2d_nx(const fft2d *h);
SX_API int fft2d_sign(const fft2d *h);

/* Read at most n_in of the ny*nx row-major input samples (missing ones are
 * zero); write min(ny*nx, out_cap) bins and return that count. */
SX_API size_t fft2d_execute_cf64(fft2d *h, const double *in, size_t n_in, double *out, size_t out_cap);
SX_API size_t fft2d_execute_cf32(fft2d *h, const float *in, size_t n_in, float *out, size_t out_cap);
SX_API size_t fft2d_execute_inplace_cf64(fft2d *h, const double *in, size_t n_in, double *out, size_t out_cap);
SX_API size_t fft2d_execute_inplace_cf32(fft2d *h, const float *in, size_t n_in, float *out, size_t out_cap);
SX_API size_t fft2d_execute_cf64_max_out(const fft2d *h);
SX_API size_t fft2d_execute_cf32_max_out(const fft2d *h);
SX_API size_t fft2d_execute_inplace_cf64_max_out(const fft2d *h);
SX_API size_t fft2d_execute_inplace_cf32_max_out(const fft2d *h);

#ifdef __cplusplus
}
#endif
