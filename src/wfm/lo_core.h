// Numerically controlled oscillator: e^{+j 2 pi f n} from a 32-bit phase
// accumulator and a 65536-entry sine table. Shared by the synthesiser and the
// down-converter (compiled into each module from this one source).
#pragma once
#include "core/sx_status.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The record is public so a caller may embed one and lo_init it in place. */
typedef struct lo {
    uint32_t phase;     /* accumulator, a full turn is 2^32 */
    uint32_t phase_inc; /* added per sample */
    double norm_freq;   /* frequency as set [cycles/sample] */
} lo;

/* Sine table: lo_sin_lut[i] = sinf(i * 2pi/65536), filled on the first lo_init. */
SX_API extern float lo_sin_lut[65536];

/* norm_freq  frequency [cycles/sample], any finite value (wraps modulo 1).
 * Returns null for a NaN or infinite frequency or when memory runs out. */
SX_API lo *lo_create(double norm_freq);
/* Initialises a caller-provided record (phase 0). SX_ERR_INVALID for a NaN or
 * infinite frequency, which leaves the record at 0 cycles/sample. */
SX_API int lo_init(lo *l, double norm_freq);
SX_API void lo_destroy(lo *l);
/* phase <- 0; the frequency stays. */
SX_API void lo_reset(lo *l);
SX_API double lo_get_norm_freq(const lo *l);
/* Phase-continuous frequency change. SX_ERR_INVALID (nothing changed) for NaN or infinity. */
SX_API int lo_set_norm_freq(lo *l, double norm_freq);
SX_API uint32_t lo_get_phase(const lo *l);
SX_API void lo_set_phase(lo *l, uint32_t phase);
SX_API uint32_t lo_get_phase_inc(const lo *l);
SX_API size_t lo_state_bytes(const lo *l);
SX_API void lo_get_state(const lo *l, void *blob);
SX_API int lo_set_state(lo *l, const void *blob);
/* Writes min(n, capacity) samples (interleaved f32 pairs); returns the count. */
SX_API size_t lo_steps(lo *l, size_t n, float *out, size_t capacity);
SX_API size_t lo_steps_max_out(const lo *l);
/* As lo_steps, with ctrl[k] [cycles/sample] added to the frequency for sample k
 * only (a non-finite control value adds nothing). */
SX_API size_t lo_steps_ctrl(lo *l, const double *ctrl, size_t n, float *out, size_t capacity);
SX_API size_t lo_steps_ctrl_max_out(const lo *l);
/* Mixer: out[i] = in[i] * (the value lo_steps would give for sample i), n
 * interleaved f32 pairs, the complex product in single precision with each
 * product rounded before the sums (one sample or a block, either instruction
 * set, give the same bits). The phase advances by phase_inc + extra_inc per
 * sample (extra_inc: a deviation for this call only, see sx::lo_increment).
 * in and out must not overlap. */
SX_API void lo_mix_input(lo *l, uint32_t extra_inc, const float *in, float *out, size_t n);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
#include <cstdint>
namespace sx {
// Two-pass restore for composites: validate the blob, then apply it.
bool lo_state_valid(const lo *l, const uint8_t *blob);
void lo_state_apply(lo *l, const uint8_t *blob);
// Phase increment for a frequency [cycles/sample]; 0 for NaN or infinity.
uint32_t lo_increment(double norm_freq);
// The next n oscillator samples c mixed with a held symbol s plus noise w (n
// interleaved pairs; null for none, which adds +0): out = ((sr*cr - si*ci) + wr,
// (sr*ci + si*cr) + wi), the synthesis engine's output sample. Returns n.
size_t lo_mix(lo *l, size_t n, float sr, float si, const float *w, float *out);
}  // namespace sx
#endif
