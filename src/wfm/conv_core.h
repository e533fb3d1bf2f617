// Generic feed-forward convolutional encoder: constraint length K = 2..9,
// n = 1..6 outputs per input bit, each the parity of its generator's taps over
// the newest input bit and the K-1 previous ones, optionally inverted.
//
// Bits are unpacked, one per byte (bit 0 read). Generator bit K-1 taps the
// newest input bit, bit 0 the oldest.
#pragma once
#include "core/sx_status.h"

#ifdef __cplusplus
extern "C" {
#endif

enum { CONV_MAX_OUTPUTS = 6, CONV_MAX_K = 9 };

typedef struct conv_desc_t {
    int32_t k;                            /* constraint length, 2..9 */
    int32_t n;                            /* outputs per input bit, 1..6 */
    uint32_t gen[CONV_MAX_OUTPUTS];       /* generators 0..n-1: non-zero, below 2^k */
    uint32_t invert;                      /* bit j set: output j inverted; below 2^n */
} conv_desc_t;

/* 1 when desc passes the tests above, else 0. */
SX_API int conv_code_valid(const conv_desc_t *desc);
/* The encoder register (the last K-1 input bits): starts all zero. */
SX_API void conv_enc_init(uint32_t *reg);
/* The n output bits for input `bit` (bit 0 read) after register `reg`, output j
 * in bit j of the result; the register is not advanced. 0 for an invalid desc. */
SX_API uint32_t conv_outputs(const conv_desc_t *desc, uint32_t reg, uint8_t bit);
/* Encodes n bits through *reg (advanced; it persists between calls so
 * consecutive blocks can share it), writing n * desc->n bits: for each input
 * bit its outputs in order 0..n-1. `out` may overlap `bits` when the input is
 * staged at or past out + n*(desc->n - 1), e.g. at the end of the output
 * buffer: every input bit is read before the outputs that could cover it are
 * written. Returns the output bits, or 0 for an invalid desc, a null
 * pointer, a register wider than K-1 bits, a size overflow or a capacity below
 * the output length or an overlap other than the one above (nothing written
 * then). */
SX_API size_t conv_encode(uint32_t *reg, const conv_desc_t *desc, const uint8_t *bits, size_t n, uint8_t *out,
                          size_t capacity);

#ifdef __cplusplus
}
#endif
