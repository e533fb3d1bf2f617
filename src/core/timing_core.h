// Sample clock: paces a producer to real time, stamps sample indices with
// absolute time (t = epoch + n / fs) and anchors to external timestamps.
#pragma once
#include "core/sx_status.h"

#ifdef __cplusplus
extern "C" {
#endif

#define SX_SAMPLE_CLOCK_CAPSULE "kolvane.wfm.sx_sample_clock"

/* Shared by every module that reads a clock handed over as a capsule (a
 * telemetry capture reads fs, epoch and anchored at close): the layout is a
 * binary contract. */
typedef struct sx_sample_clock {
    double fs;              /* sample rate [Hz]; <= 0 (or NaN) disables rate arithmetic */
    uint64_t t0_mono_ns;    /* monotonic time [ns] at which sample 0 is due when pacing */
    uint64_t epoch_real_ns; /* UNIX time [ns] of sample 0, for stamping */
    uint64_t n;             /* current sample index: advanced by pace, set by track */
    uint64_t late_count;    /* pace calls that found the clock already behind */
    uint64_t max_late_ns;   /* largest lateness seen by pace [ns] */
    uint32_t drop_backlog;  /* non-zero: lateness is forgiven instead of caught up */
    uint32_t anchored;      /* set once track has anchored the epoch */
} sx_sample_clock;

/* CLOCK_MONOTONIC / CLOCK_REALTIME as tv_sec * 1e9 + tv_nsec. */
SX_API uint64_t sx_mono_ns(void);
SX_API uint64_t sx_real_ns(void);

/* fs: sample rate [Hz] (<= 0 disables pacing and stamping offsets);
 * drop_backlog: non-zero to forgive lateness. Null when memory cannot be had. */
SX_API sx_sample_clock *sx_sample_clock_create(double fs, uint32_t drop_backlog);
SX_API void sx_sample_clock_init(sx_sample_clock *clock, double fs, uint32_t drop_backlog);
SX_API void sx_sample_clock_destroy(sx_sample_clock *clock);
/* Restart the timeline from the current times, keeping fs and drop_backlog. */
SX_API void sx_sample_clock_reset(sx_sample_clock *clock);
/* Advance n by count and wait until sample n is due; the result is the slack in
 * seconds measured before waiting (positive early, negative late). The wait
 * ends early, without error, when the process-wide interrupt flag is set. */
SX_API double sx_sample_clock_pace(sx_sample_clock *clock, uint64_t count);
/* epoch_real_ns + offset of sample n [ns]. */
SX_API uint64_t sx_sample_clock_stamp_at(const sx_sample_clock *clock, uint64_t n);
SX_API uint64_t sx_sample_clock_stamp(const sx_sample_clock *clock);
/* Anchor to an external timestamp of sample n: 1 when the epoch was (re)set, 0
 * when n is stale or the prediction is within tolerance_ns. */
SX_API int sx_sample_clock_track(sx_sample_clock *clock, uint64_t real_ns, uint64_t n, uint64_t tolerance_ns);
/* Forgive any current lateness at once. */
SX_API void sx_sample_clock_resync(sx_sample_clock *clock);
SX_API void sx_sample_clock_stats(const sx_sample_clock *clock, sx_sample_clock *out);

#ifdef __cplusplus
}
#include <cstddef>
static_assert(sizeof(sx_sample_clock) == 56);
static_assert(offsetof(sx_sample_clock, fs) == 0);
static_assert(offsetof(sx_sample_clock, t0_mono_ns) == 8);
static_assert(offsetof(sx_sample_clock, epoch_real_ns) == 16);
static_assert(offsetof(sx_sample_clock, n) == 24);
static_assert(offsetof(sx_sample_clock, late_count) == 32);
static_assert(offsetof(sx_sample_clock, max_late_ns) == 40);
static_assert(offsetof(sx_sample_clock, drop_backlog) == 48);
static_assert(offsetof(sx_sample_clock, anchored) == 52);
#endif
