// The synthesis engine: symbol source (held, FIR-shaped or polyphase-interpolated)
// times carrier (oscillator or linear chirp) plus calibrated noise, produced one
// sample or one block at a time with identical results, and saved and restored
// exactly as one composite state blob.
#pragma once
#include "core/sx_status.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
    WFM_SYNTH_TONE = 0,
    WFM_SYNTH_NOISE = 1,
    WFM_SYNTH_PN = 2,
    WFM_SYNTH_BPSK = 3,
    WFM_SYNTH_QPSK = 4,
    WFM_SYNTH_CHIRP = 5,
    WFM_SYNTH_BITS = 6,
    WFM_SYNTH_SYMBOLS = 7,
    WFM_SYNTH_DSSS = 8,
};

enum { WFM_SYNTH_SNR_AUTO = 0, WFM_SYNTH_SNR_FS = 1, WFM_SYNTH_SNR_EBNO = 2, WFM_SYNTH_SNR_ESNO = 3 };

/* At or above this SNR [dB] the engine has no noise source at all. */
#define WFM_SYNTH_SNR_CLEAN 100.0

/* Continuous spread-spectrum data source. */
enum { WFM_DSSS_DATA_NONE = 0, WFM_DSSS_DATA_BITS = 1, WFM_DSSS_DATA_PRBS = 2 };

typedef struct wfm_synth wfm_synth;

/* type       WFM_SYNTH_* (0..8)
 * snr_mode   WFM_SYNTH_SNR_* (0..3): the reference bandwidth of snr
 * seed       PN seed (0 becomes 1) and noise seed (used as given)
 * sps        samples per symbol; a value below 1 becomes 1
 * pn_length  PN register length [stages]; pn_poly 0 takes mls_poly(pn_length)
 * fs         sample rate [Hz], finite (0 makes both normalised frequencies 0)
 * freq       carrier, or chirp start, frequency [Hz], finite
 * snr        SNR [dB], not NaN and not -inf; >= WFM_SYNTH_SNR_CLEAN means no noise
 * f_end      chirp end frequency [Hz], finite
 * lfsr       0 Galois, 1 Fibonacci
 * Returns null on a bad argument, a PN type without a polynomial, or allocation failure. */
SX_API wfm_synth *wfm_synth_create(int type, int snr_mode, uint32_t seed, int sps, int pn_length, uint64_t pn_poly,
                                   double fs, double freq, double snr, double f_end, int lfsr);
SX_API void wfm_synth_destroy(wfm_synth *e);
/* Back to sample 0: positions, held symbol and every component; configuration stays. */
SX_API void wfm_synth_reset(wfm_synth *e);
/* Reseeds the noise source, if there is one. */
SX_API void wfm_synth_reseed_noise(wfm_synth *e, uint64_t seed);

/* Pulse shaping with n real taps (scaled by sqrt(nsps)): polyphase for a
 * power-of-two nsps, zero-stuffed FIR otherwise. 0, or -1 (nothing changed) for
 * empty taps, a size overflow or allocation failure. A no-op (0) on "tone",
 * "noise" and "chirp". */
SX_API int wfm_synth_set_rrc(wfm_synth *e, const float *taps, size_t n);
/* "bits" only (else a no-op, 0): n > 0 and modulation 0..3 (bits per symbol, 0 on-off). */
SX_API int wfm_synth_set_bits(wfm_synth *e, const uint8_t *pattern, size_t n, int modulation);
/* "symbols" only (else a no-op, 0): n > 0 interleaved complex f32 symbols. */
SX_API int wfm_synth_set_symbols(wfm_synth *e, const float *symbols, size_t n);
/* "dsss" only (else a no-op, 0): a burst of n > 0 chips played back to back, one-bit modulated. */
SX_API int wfm_synth_set_dsss_chips(wfm_synth *e, const uint8_t *chips, size_t n);
/* "dsss" only (else a no-op, 0): continuous spreading of a data source by a code.
 * code_len > 0; chips_per_symbol finite and >= 1; data_mode WFM_DSSS_DATA_*;
 * bits needs a payload, prbs needs the engine's PN register. */
SX_API int wfm_synth_set_dsss_cont(wfm_synth *e, const uint8_t *code, size_t code_len, int data_mode,
                                   const uint8_t *payload, size_t payload_len, double chips_per_symbol);
/* Chirp sweep length [samples]; acts once, on a "chirp", with n > 0. */
SX_API void wfm_synth_set_chirp_span(wfm_synth *e, uint64_t n);

/* One sample into out[0..1] (never sets the chirp span). */
SX_API void wfm_synth_step(wfm_synth *e, float *out);
/* n samples (2n floats); equals n single steps, except that the first non-empty
 * call on a chirp fixes its span to n. */
SX_API void wfm_synth_steps(wfm_synth *e, float *out, size_t n);
/* n samples of the noise source alone (zeros without one). */
SX_API void wfm_synth_noise_steps(wfm_synth *e, float *out, size_t n);

/* Accessors. The setters return 0, or -1 with nothing changed for a value the
 * engine cannot run with (wtype outside 0..8 or a PN type without a polynomial,
 * nsps below 1, sym_pos outside 0..nsps-1). Switching to a PN type builds the
 * PN register and switching to "noise" a unit-power noise source when missing. */
SX_API uint32_t wfm_synth_get_wtype(const wfm_synth *e);
SX_API int wfm_synth_set_wtype(wfm_synth *e, uint32_t wtype);
SX_API int wfm_synth_get_nsps(const wfm_synth *e);
SX_API int wfm_synth_set_nsps(wfm_synth *e, int nsps);
SX_API int wfm_synth_get_sym_pos(const wfm_synth *e);
SX_API int wfm_synth_set_sym_pos(wfm_synth *e, int sym_pos);
SX_API float wfm_synth_get_cur_re(const wfm_synth *e);
SX_API void wfm_synth_set_cur_re(wfm_synth *e, float v);
SX_API float wfm_synth_get_cur_im(const wfm_synth *e);
SX_API void wfm_synth_set_cur_im(wfm_synth *e, float v);

/* Blob: header "WFMS" v2, positions and held symbol (67 bytes), five presence
 * bytes, then the sub-blobs of fir, resampler, oscillator, noise and PN. */
SX_API size_t wfm_synth_state_bytes(const wfm_synth *e);
SX_API void wfm_synth_get_state(const wfm_synth *e, void *blob);
/* 0, or SX_ERR_INVALID (-4) with nothing changed. */
SX_API int wfm_synth_set_state(wfm_synth *e, const void *blob);

#ifdef __cplusplus
}
#endif
