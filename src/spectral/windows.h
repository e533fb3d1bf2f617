// Windows and spectral measures: pure helpers shared by the PSD estimator and
// exposed one-to-one as module functions.
//
// Spectra given to the peak finder and band measures are DC-centred: bin N/2
// (integer division) is DC, bin 0 is -fs/2.
#pragma once
#include "core/sx_status.h"

#ifdef __cplusplus
extern "C" {
#endif

/* One spectral peak: frequency as a fraction of the sample rate (DC-centred,
 * in [-0.5, 0.5)) and its interpolated level [dB]. */
typedef struct sx_peak_t {
    float freq_norm;
    float level_db;
} sx_peak_t;

/* Window generators fill w[0..N-1]; N = 0 leaves w untouched, N = 1 gives [1].
 * Kaiser: beta >= 0 shape parameter (0 = rectangular). Values are computed in
 * double and rounded to float, except Hann, which finishes in float. */
SX_API void kaiser_window(float *w, uint64_t N, float beta);
SX_API void hann_window(float *w, uint64_t N);
SX_API void blackman_harris_window(float *w, uint64_t N);
/* Kaiser beta for a window sidelobe level atten_db [dB]; 0 for <= 13.26 and NaN. */
SX_API double kaiser_beta_for_sidelobe(double atten_db);
/* Equivalent noise bandwidth N*sum(w^2)/sum(w)^2 [bins] of any window; NaN for N = 0. */
SX_API float kaiser_enbw(const float *w, uint64_t N);
/* out[k] = 20*log10(max(|x[k]|, lin_floor)) + offset_db; a NaN magnitude stays NaN. */
SX_API void magnitude_db_cf32(const float *x, uint64_t N, float *out, float lin_floor, float offset_db);
SX_API void magnitude_db_cf64(const double *x, uint64_t N, float *out, double lin_floor, float offset_db);
/* Local maxima above min_db of a DC-centred dB spectrum, refined by a parabola
 * through the three bins, strongest first; writes at most n_peaks records and
 * returns the count (0 when N <= 2, n_peaks = 0 or on allocation failure). */
SX_API uint64_t find_peaks_f32(const float *db, uint64_t N, uint64_t n_peaks, sx_peak_t *out, float min_db);
/* Width [Hz] of the band holding `frac` of the total linear power pwr[0..N-1]
 * at sample rate fs [Hz]; 0 for N = 0 or a non-positive total. */
SX_API double obw_from_power(const double *pwr, uint64_t N, double fs, double frac);
/* Median of db[0..N-1] (mean of the middle two for even N); 0 for N = 0. */
SX_API double noise_floor_db(const float *db, uint64_t N);

#ifdef __cplusplus
}

#include <cstddef>

namespace sx::spectral {
// Median of v[0..n-1], reordering v in place (no allocation); NaNs sort last.
double median_inplace(float *v, size_t n);

// Occupied bandwidth over N bins whose linear power p(k) the caller supplies.
// The lower edge is the first bin where the running sum reaches
// (1 - frac)/2 of the total and is non-zero: with frac = 1 the threshold is 0,
// and leading empty bins are no part of the occupied band. The upper edge is
// the first bin, at or after the lower one, where it reaches (1 + frac)/2.
template <class P> double obw_walk(size_t N, double fs, double frac, P p) {
    if (N == 0) return 0.0;
    double total = 0.0;
    for (size_t k = 0; k < N; ++k) total += p(k);
    if (!(total > 0.0)) return 0.0;
    const double lo_t = (1.0 - frac) / 2.0 * total, hi_t = (1.0 + frac) / 2.0 * total;
    size_t lo = 0, hi = N - 1;
    bool have_lo = false;
    double c = 0.0;
    for (size_t k = 0; k < N; ++k) {
        c += p(k);
        if (!have_lo && c >= lo_t && c > 0.0) {
            lo = k;
            have_lo = true;
        }
        if (have_lo && c >= hi_t) {
            hi = k;
            break;
        }
    }
    if (hi < lo) hi = lo;
    return static_cast<double>(hi - lo + 1) * fs / static_cast<double>(N);
}
}  // namespace sx::spectral
#endif
