// Seeded complex white Gaussian noise (xoshiro256++ uniforms, Box-Muller with a
// sine table) and the two calibration formulas that turn an SNR or Eb/No into a
// noise amplitude.
#pragma once
#include "core/sx_status.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The record is `struct awgn`: the one-shot function below owns the plain name. */
struct awgn;

/* seed       any value, 0 included
 * amplitude  per-component standard deviation sigma (complex power 2*sigma^2)
 * Returns null only when memory runs out. */
SX_API struct awgn *awgn_create(uint64_t seed, float amplitude);
SX_API void awgn_destroy(struct awgn *a);
/* Re-seeds the generator and the lane bank from the stored seed. */
SX_API void awgn_reset(struct awgn *a);
/* Stores a new seed, then resets. */
SX_API void awgn_reseed(struct awgn *a, uint64_t seed);
SX_API float awgn_get_amplitude(const struct awgn *a);
SX_API void awgn_set_amplitude(struct awgn *a, float amplitude);
SX_API size_t awgn_state_bytes(const struct awgn *a);
SX_API void awgn_get_state(const struct awgn *a, void *blob);
SX_API int awgn_set_state(struct awgn *a, const void *blob);
/* Writes min(n, capacity) complex samples (interleaved f32 pairs); returns the count. */
SX_API size_t awgn_generate(struct awgn *a, size_t n, float *out, size_t capacity);
SX_API size_t awgn_generate_max_out(const struct awgn *a);
/* One shot: n samples of a fresh source into out. 0, or SX_ERR_NOMEM. */
SX_API int awgn(uint64_t seed, size_t n, float *out, float amplitude);

/* sigma for a target SNR over the full sample rate [dB] and a signal power. */
SX_API float awgn_amplitude_for_snr(float snr_db, float signal_power);
SX_API float wfm_awgn_amplitude(float snr_db, float signal_power);
/* SNR over fs [dB] of an Eb/No [dB] at bits_per_symbol and samples_per_symbol. */
SX_API float wfm_ebno_to_snr_db(float ebno_db, int bits_per_symbol, float samples_per_symbol);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
#include <cstdint>
namespace sx {
// Two-pass restore for composites: validate the blob, then apply it.
bool awgn_state_valid(const struct awgn *a, const uint8_t *blob);
void awgn_state_apply(struct awgn *a, const uint8_t *blob);
}  // namespace sx
#endif
