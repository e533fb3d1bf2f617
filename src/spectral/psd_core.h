// Averaging power-spectrum estimator: consecutive non-overlapping frames of n
// samples are windowed, zero-padded to a power-of-two transform length nfft,
// transformed, reordered so DC sits at bin nfft/2, and folded into an
// accumulating trace (mean, exponential, max-hold or min-hold). Spectra and
// measures are read from the trace.
//
// Bin k of every output stands for frequency (k - nfft/2)*fs/nfft.
#pragma once
#include "core/sx_status.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct psd psd;

/* n           frame (window) length [samples], >= 2
 * window      0 Hann, 1 Kaiser, 2 Blackman-Harris
 * pad         zero-padding factor; nfft = smallest power of two >= n*pad (0 counts as 1)
 * bits        ADC depth; when non-zero full_scale becomes 2^(bits-1), 1..64
 * mode        trace mode: 0 mean, 1 exponential, 2 max-hold, 3 min-hold
 * fs          sample rate [Hz], > 0 and finite
 * beta        Kaiser shape parameter (ignored by the other windows)
 * full_scale  amplitude that reads 0 dBFS, > 0 and finite
 * alpha       exponential smoothing factor
 * Returns null on a bad parameter, nfft above 2^28, a window whose sum is not
 * positive (it would make every spectrum NaN), or failed allocation. */
SX_API psd *psd_create(uint64_t n, unsigned window, uint64_t pad, uint64_t bits, unsigned mode, double fs, float beta,
                       double full_scale, double alpha);
SX_API void psd_destroy(psd *h);
SX_API void psd_reset(psd *h);
/* 16 + 24 + 8*nfft: the "PSD " header followed by the trace's blob. */
SX_API size_t psd_state_bytes(const psd *h);
SX_API void psd_get_state(const psd *h, void *blob);
SX_API int psd_set_state(psd *h, const void *blob);

/* Fold floor(n_in/n) frames of cf32 (interleaved) / float32 input; the rest is
 * dropped. Returns the number of frames folded. */
SX_API size_t psd_accumulate(psd *h, const float *x, size_t n_in);
SX_API size_t psd_accumulate_real(psd *h, const float *x, size_t n_in);

/* Spectra (float32); write nothing and return 0 before the first frame.
 * `count` is not used by the core. */
SX_API size_t psd_power_twosided(psd *h, size_t count, float *out, size_t out_cap);
SX_API size_t psd_power_onesided(psd *h, size_t count, float *out, size_t out_cap);
SX_API size_t psd_psd_db(psd *h, size_t count, float *out, size_t out_cap);
SX_API size_t psd_psd_dbhz(psd *h, size_t count, float *out, size_t out_cap);
SX_API size_t psd_power_twosided_max_out(const psd *h);
SX_API size_t psd_power_onesided_max_out(const psd *h);
SX_API size_t psd_psd_db_max_out(const psd *h);
SX_API size_t psd_psd_dbhz_max_out(const psd *h);

/* bands: [lo0, hi0, lo1, hi1, ...] in Hz (n_values doubles; a trailing odd value
 * is ignored). Power in each band [dBFS], -200 for an empty band. */
SX_API size_t psd_band_power(psd *h, const double *bands, size_t n_values, float *out, size_t out_cap);
SX_API size_t psd_band_power_max_out(const psd *h);
SX_API double psd_total_band_power(psd *h, const double *bands, size_t n_values);
/* Width [Hz] holding `fraction` of the power. */
SX_API double psd_occupied_bw(psd *h, double fraction);
/* Median of the dBFS trace [dB]. */
SX_API double psd_noise_floor(psd *h);
/* Highest dBFS bin in [lo_hz, hi_hz] minus the noise floor [dB]. */
SX_API double psd_snr(psd *h, double lo_hz, double hi_hz);
/* Strongest minus second strongest peak above min_db [dB]; 0 with fewer than two. */
SX_API double psd_sfdr(psd *h, float min_db);

/* Construction values, for the binding's properties. */
SX_API uint64_t psd_n(const psd *h);
SX_API uint64_t psd_nfft(const psd *h);
SX_API uint64_t psd_bits(const psd *h);
SX_API uint64_t psd_count(const psd *h);
SX_API unsigned psd_mode(const psd *h);
SX_API double psd_fs(const psd *h);
SX_API double psd_full_scale(const psd *h);
/* Equivalent noise bandwidth of the window [bins], and the same in Hz (enbw*fs/n). */
SX_API double psd_enbw(const psd *h);
SX_API double psd_rbw(const psd *h);

#ifdef __cplusplus
}
#endif
