// Gold-code generator: two Fibonacci (left-shifting) registers stepped in lock-step,
// output the XOR of their top stages. The defaults of the Python type give CCSDS
// Gold code #365.
#pragma once
#include "core/sx_status.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct gold gold;

/* taps_a, taps_b  feedback tap masks, masked to `length` bits
 * seed_a, seed_b  initial registers, non-zero as given
 * length          register length [stages], 1..64 */
SX_API gold *gold_create(uint64_t taps_a, uint64_t seed_a, uint64_t taps_b, uint64_t seed_b, uint32_t length);
SX_API void gold_destroy(gold *g);
SX_API void gold_reset(gold *g);
SX_API size_t gold_state_bytes(const gold *g);
SX_API void gold_get_state(const gold *g, void *blob);
/* 0, or -4 (nothing changed) for a bad header or a register with bits outside the width. */
SX_API int gold_set_state(gold *g, const void *blob);
/* Writes min(n, capacity) chips; returns the count. */
SX_API size_t gold_generate(gold *g, size_t n, uint8_t *out, size_t capacity);
SX_API size_t gold_generate_max_out(const gold *g);

#ifdef __cplusplus
}
#endif
