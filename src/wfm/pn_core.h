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

#include <bit>

namespace sx::seq {
// Register mask of a length-stage register: 2^length - 1, all ones for 64.
constexpr uint64_t width_mask(uint32_t length) { return length >= 64 ? ~uint64_t{0} : (uint64_t{1} << length) - 1; }
// Parity (XOR of all bits) of x: the feedback of the tapped stages x = taps & reg.
constexpr uint64_t parity(uint64_t x) { return static_cast<uint64_t>(std::popcount(x) & 1); }
// One Galois (right-shifting) step: returns the output bit (the low stage
// before the step) and advances reg.
constexpr uint64_t galois_step(uint64_t &reg, uint64_t poly, uint64_t mask) {
    const uint64_t bit = reg & 1;
    reg = mask & ((reg >> 1) ^ (poly & (0 - bit)));
    return bit;
}
// One left-shifting Fibonacci step as the Gold registers take it: the parity of
// the tapped stages (read before the shift) enters at bit 0, the top bit drops.
constexpr void fibonacci_left_step(uint64_t &reg, uint64_t taps, uint64_t mask) {
    reg = mask & ((reg << 1) | parity(taps & reg));
}
}  // namespace sx::seq
#endif
