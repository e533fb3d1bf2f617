// Bit-to-symbol mappers: BPSK and Gray-coded QPSK onto interleaved complex f32.
#pragma once
#include "core/sx_status.h"

#ifdef __cplusplus
extern "C" {
#endif

/* bits  n unpacked bits (only bit 0 read); out  n complex symbols (2n floats):
 * 0 -> +1, 1 -> -1. */
SX_API void bpsk_map(const uint8_t *bits, size_t n, float *out);
/* syms  n symbol indices (bits 0-1 read); out  n complex symbols:
 * re = (1 - 2*(s&1))/sqrt2, im = (1 - 2*((s>>1)&1))/sqrt2. */
SX_API void qpsk_map(const uint8_t *syms, size_t n, float *out);

#ifdef __cplusplus
}
#endif
