// Accumulating trace: folds successive float32 frames (bin powers) into one
// double-precision vector as a running mean, an exponential average, a
// max-hold or a min-hold.
#pragma once
#include "core/sx_status.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct acc_trace acc_trace;

/* len    trace length [values], >= 1
 * mode   0 mean, 1 exponential, 2 max-hold, 3 min-hold
 * alpha  exponential smoothing factor (>= 1 holds the latest frame, 0 the first)
 * Returns null for len 0, an unknown mode or failed allocation. */
SX_API acc_trace *acc_trace_create(uint64_t len, unsigned mode, double alpha);
SX_API void acc_trace_destroy(acc_trace *t);
/* Values all 0, count 0. */
SX_API void acc_trace_reset(acc_trace *t);
/* 24 + 8*len: header, frame count (u64), values (float64). */
SX_API size_t acc_trace_state_bytes(const acc_trace *t);
SX_API void acc_trace_get_state(const acc_trace *t, void *blob);
/* 0, or -4 with the trace untouched when the header does not match. */
SX_API int acc_trace_set_state(acc_trace *t, const void *blob);
/* Folds the first len values of frame; a frame shorter than len is ignored. */
SX_API void acc_trace_accumulate(acc_trace *t, const float *frame, size_t n_frame);
/* Writes min(len, out_cap) values as float32, or nothing before the first frame;
 * returns the number written. `count` is not used. */
SX_API size_t acc_trace_value(const acc_trace *t, size_t count, float *out, size_t out_cap);
SX_API size_t acc_trace_value_max_out(const acc_trace *t);
/* Frames folded so far. */
SX_API uint64_t acc_trace_count(const acc_trace *t);

#ifdef __cplusplus
}

// Two-pass restore for composites: check a blob region, then apply it.
bool acc_trace_state_valid(const acc_trace *t, const uint8_t *blob);
void acc_trace_state_apply(acc_trace *t, const uint8_t *blob);
#endif
