// Maximal-length shift-register (PN) generator, Galois or Fibonacci realisation,
// and the table of primitive polynomials by register length.
#pragma once
#include "core/sx_status.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct pn pn;

/* poly    feedback tap mask (Galois right-shift convention), masked to `length` bits
 * seed    initial register, non-zero as given (checked before masking)
 * length  register length [stages], 1..64
 * lfsr    0 Galois, 1 Fibonacci (any other value counts as Galois)
 * Returns null on a zero seed, a length outside 1..64 or allocation failure. */
SX_API pn *pn_create(uint64_t poly, uint64_t seed, uint32_t length, int lfsr);
SX_API void pn_destroy(pn *p);
SX_API void pn_reset(pn *p);
SX_API size_t pn_state_bytes(const pn *p);
SX_API void pn_get_state(const pn *p, void *blob);
/* 0, or -4 (nothing changed) for a bad header or a register with bits outside the width. */
SX_API int pn_set_state(pn *p, const void *blob);
/* Writes min(n, capacity) chips (one per byte, 0 or 1); returns the count. */
SX_API size_t pn_generate(pn *p, size_t n, uint8_t *out, size_t capacity);
SX_API size_t pn_generate_max_out(const pn *p);

/* Primitive polynomial tap mask for an n-stage register, n = 2..64; 0 otherwise. */
SX_API uint64_t mls_poly(uint32_t n);

#ifdef __cplusplus
}
#endif
