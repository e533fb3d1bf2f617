// Maximum-likelihood (Viterbi) decoder for the CCSDS rate-1/2, constraint-length-7
// convolutional code: generators 0x79 (171 octal) for the first output and 0x5B
// (133 octal) for the second, the second output inverted on the wire.
//
// Trellis. The encoder register holds the last six input bits, the newest in
// bit 5; for input bit b it forms a = register | (b << 6), sends
// parity(0x79 & a) then parity(0x5B & a) ^ 1, and keeps a >> 1. A decoder state
// is that register value (0..63); the first symbol pair belongs to the first
// input bit.
//
// Soft symbols. int8: positive means bit 0, the magnitude is the confidence
// (+127 a sure 0, -127 a sure 1, 0 an erasure); -128 counts as -127. float32:
// positive means bit 0 with a clean symbol nominally at +-1.0; it is scaled by
// 32, rounded and saturated to +-127 (so values beyond about +-3.97 count as
// sure), NaN counts as an erasure. Hard bits (uint8): bit 0 of each byte,
// 0 -> +127, 1 -> -127.
//
// Metric. Each symbol costs 127 - r for a 0 and 127 + r for a 1 (r the int8
// value after the mapping above); path metrics are 16-bit, renormalised by
// subtracting their minimum every 32 bits, so no sum can wrap. On equal
// metrics the predecessor whose dropped bit is 0 wins. The add-compare-select
// step has an AVX2 form and a portable form that give identical decisions
// (KOLVANE_SIMD=generic selects the portable one).
//
// Streaming form. Decisions are kept for every bit not yet emitted. Whenever
// the total number of decoded bits since the start (or the last reset or
// flush) reaches a multiple of VITERBI27_BLOCK, the decoder traces back from
// the state with the best metric at that point and emits every bit that lies
// at least VITERBI27_DELAY bits behind it. The emission points depend only on
// the bit position, never on how the input was split into calls, so any
// chunking gives the same output as one call. A decode call therefore emits
// bits in steps of VITERBI27_BLOCK (the first VITERBI27_BLOCK - VITERBI27_DELAY
// bits once VITERBI27_BLOCK bits are in) and may emit none; flush traces back
// from the end of the input and emits the rest.
#pragma once
#include "core/sx_status.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
    VITERBI27_STATES = 64,
    /* Decision delay [bits]: a streamed bit is final once this many later bits are in. */
    VITERBI27_DELAY = 96,
    /* Traceback period [bits]: the streaming decoder emits at multiples of it. */
    VITERBI27_BLOCK = 1024,
    /* start_state meaning "not known": every state starts with the same metric. */
    VITERBI27_UNKNOWN_STATE = -1,
};

typedef struct viterbi27 viterbi27;

/* start_state  encoder register before the first bit, 0..63 (0 for a fresh
 *              encoder), or VITERBI27_UNKNOWN_STATE (-1) when the stream is
 *              joined in the middle.
 * Returns null for a start_state outside -1..63 or when memory runs out. */
SX_API viterbi27 *viterbi27_create(int start_state);
SX_API void viterbi27_destroy(viterbi27 *v);
/* Back to the state right after create: metrics from start_state, nothing pending. */
SX_API void viterbi27_reset(viterbi27 *v);

/* Most bits the next decode call with n_soft symbols can emit (bits pending
 * plus n_soft / 2); an out buffer of this size is always enough. */
SX_API size_t viterbi27_decode_max_out(const viterbi27 *v, size_t n_soft);
/* Bits a flush would emit now (the bits pending). */
SX_API size_t viterbi27_flush_max_out(const viterbi27 *v);

/* Decode n_soft symbols (n_soft / 2 bits), writing the bits this call
 * completes (0/1 bytes) to out. Returns the bits written, or SX_ERR_INVALID
 * (nothing consumed, state unchanged) when n_soft is odd, a pointer is null
 * while its count is not zero, or capacity is below what the call emits. */
SX_API int64_t viterbi27_decode(viterbi27 *v, const int8_t *soft, size_t n_soft, uint8_t *out, size_t capacity);
SX_API int64_t viterbi27_decode_f32(viterbi27 *v, const float *soft, size_t n_soft, uint8_t *out, size_t capacity);
SX_API int64_t viterbi27_decode_hard(viterbi27 *v, const uint8_t *bits, size_t n_soft, uint8_t *out,
                                     size_t capacity);

/* End the stream: trace back from the best state at the last bit decoded
 * (viterbi27_flush) or from end_state 0..63 (viterbi27_flush_to; 0 for a
 * stream whose last six bits are zeros), write every pending bit, then reset.
 * Returns the bits written, or SX_ERR_INVALID (state unchanged) for a bad
 * end_state, a null out with bits pending, or capacity below
 * viterbi27_flush_max_out. */
SX_API int64_t viterbi27_flush(viterbi27 *v, uint8_t *out, size_t capacity);
SX_API int64_t viterbi27_flush_to(viterbi27 *v, int end_state, uint8_t *out, size_t capacity);

/* State blob: header "VT27" version 1, then the bit counters, the 64 path
 * metrics and the pending decisions. Fixed size. set_state checks the whole
 * blob (header, counters against the decision window, metric spread) before
 * changing anything; returns 0 or SX_ERR_INVALID. */
SX_API size_t viterbi27_state_bytes(const viterbi27 *v);
SX_API void viterbi27_get_state(const viterbi27 *v, void *blob);
SX_API int viterbi27_set_state(viterbi27 *v, const void *blob);

/* One shot over a whole block: n_soft / 2 bits into out, traced back from
 * state 0 when terminated (the encoder was flushed with six zero bits, which
 * are decoded too) or from the best end state otherwise. Same bits as the
 * streaming decoder followed by a flush. Returns n_soft / 2, SX_ERR_INVALID
 * (odd n_soft, bad start_state, null pointer with a non-zero count, capacity
 * below n_soft / 2) or SX_ERR_NOMEM. */
SX_API int64_t viterbi27_decode_block(const int8_t *soft, size_t n_soft, int start_state, int terminated,
                                      uint8_t *out, size_t capacity);
SX_API int64_t viterbi27_decode_block_f32(const float *soft, size_t n_soft, int start_state, int terminated,
                                          uint8_t *out, size_t capacity);
SX_API int64_t viterbi27_decode_block_hard(const uint8_t *bits, size_t n_soft, int start_state, int terminated,
                                           uint8_t *out, size_t capacity);

#ifdef __cplusplus
}
#endif
