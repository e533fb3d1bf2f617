// Fixed-length 1-D complex DFT engine, planned once at create and executed any
// number of times without planning or allocating. The arithmetic is FFTW3's.
//
// Complex data is interleaved (re, im): cf64 = two doubles, cf32 = two floats.
// Neither direction scales: forward then inverse returns n times the input.
// cf64 always runs in double precision. cf32, ci16 and ci8 run in single
// precision when n is >= 16, a multiple of 16 and has no prime factor other than
// 2, 3 and 5; any other length is widened to double and narrowed back, so the
// precision of a result depends only on the length, never on the buffers given.
#pragma once
#include "core/sx_status.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct fft fft;

/* n         transform length [complex samples], 1 .. 2^28
 * sign      < 0 forward (e^-2πikm/n), >= 0 inverse (e^+2πikm/n)
 * nthreads  accepted and ignored: every transform is single-threaded
 * Returns null for n = 0, n too large, or failed allocation. */
SX_API fft *fft_create(uint64_t n, int sign, int nthreads);
SX_API void fft_destroy(fft *h);
/* The engine has no mutable state: nothing to do. */
SX_API void fft_reset(fft *h);
SX_API uint64_t fft_size(const fft *h);
SX_API int fft_sign(const fft *h);

/* All execute calls read at most n_in input elements (complex samples; for
 * ci16/ci8: integer values, two per sample) and treat missing samples up to n
 * as zero, so a short input is never read past its end. They write
 * min(n, out_cap) bins in natural order and return that count; when out_cap < n
 * the transform goes through a scratch buffer allocated on first need, and if
 * that allocation fails the call writes nothing and returns 0.
 * `in` and `out` may be the same buffer or overlap in any way: the bins are
 * those of the input as it was. `in` is never modified except where `out`
 * covers it. The _inplace_ forms copy the input into the output and transform it
 * there, which gives exactly the same bins. */
SX_API size_t fft_execute_cf64(fft *h, const double *in, size_t n_in, double *out, size_t out_cap);
SX_API size_t fft_execute_cf32(fft *h, const float *in, size_t n_in, float *out, size_t out_cap);
SX_API size_t fft_execute_inplace_cf64(fft *h, const double *in, size_t n_in, double *out, size_t out_cap);
SX_API size_t fft_execute_inplace_cf32(fft *h, const float *in, size_t n_in, float *out, size_t out_cap);
/* Integer I/Q scaled by 2^-15 / 2^-7 (the most negative code reads -1.0);
 * always writes n cf32 values to out and returns n. */
SX_API size_t fft_execute_ci16(fft *h, const int16_t *in, size_t n_in, float *out);
SX_API size_t fft_execute_ci8(fft *h, const int8_t *in, size_t n_in, float *out);

SX_API size_t fft_execute_cf64_max_out(const fft *h);
SX_API size_t fft_execute_cf32_max_out(const fft *h);
SX_API size_t fft_execute_inplace_cf64_max_out(const fft *h);
SX_API size_t fft_execute_inplace_cf32_max_out(const fft *h);
SX_API size_t fft_execute_ci16_max_out(const fft *h);
SX_API size_t fft_execute_ci8_max_out(const fft *h);

#ifdef __cplusplus
}

#include <complex>
#include <cstddef>
#include <memory>

#include "core/sx_aligned.h"

namespace sx::spectral {

// Largest transform (total points) an engine accepts. Beyond it the buffers
// and twiddle tables run into tens of gigabytes, and the transform library
// aborts the process when its own allocation fails, so we refuse up front.
inline constexpr size_t kMaxFftPoints = size_t{1} << 28;

// Lengths that the single-precision path takes: >= 16, a multiple of 16, and
// only the factors 2, 3 and 5.
bool fft_len_single(size_t len);

// Engine buffers: 64-byte aligned, which also meets the transform library's
// SIMD alignment, so plans made on them run on any buffer aligned alike.
using sx::AlignedBuf;
using sx::make_aligned;

template <class R> class Plan;

// The transform machinery shared by the 1-D and 2-D engines: ny rows of nx
// points (ny = 1 and no column pass for 1-D), a double-precision plan always
// and a single-precision plan when the geometry qualifies.
class Engine {
public:
    // Null on a zero or oversized geometry or a failed allocation.
    static std::unique_ptr<Engine> create(size_t ny, size_t nx, bool two_d, int sign);
    ~Engine();

    size_t size() const { return n_; }
    size_t cf64(const std::complex<double> *in, size_t n_in, std::complex<double> *out, size_t cap);
    size_t cf32(const std::complex<float> *in, size_t n_in, std::complex<float> *out, size_t cap);
    size_t ci16(const int16_t *in, size_t n_values, std::complex<float> *out);
    size_t ci8(const int8_t *in, size_t n_values, std::complex<float> *out);

private:
    Engine() = default;
    template <class T> T *dest(T *out, size_t cap);
    template <class T> size_t finish(T *dst, T *out, size_t cap);
    template <class I> void integer(const I *in, size_t n_values, float scale, std::complex<float> *out);

    size_t n_ = 0;
    std::unique_ptr<Plan<double>> d_;
    std::unique_ptr<Plan<float>> f_;
    AlignedBuf<std::complex<double>> scratch_;  // truncation scratch, n x 16 bytes
};

}  // namespace sx::spectral
#endif
