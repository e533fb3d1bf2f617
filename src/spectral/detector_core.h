// Streaming correlation detectors. Input chunks of any length go into a
// mirrored sample ring; complete frames (n samples, 2-D: ny*nx) are cut from
// the concatenated stream, so the result does not depend on chunk boundaries,
// and run through a correlator with coherent integrate-and-dump (corr_core.h,
// corr2d_core.h). After every dump the correlation peak is measured against a
// noise estimate over an inclusive range of correlation bins; a dump whose
// statistic peak/noise passes the threshold yields a result record.
#pragma once
#include "core/sx_status.h"
#include "core/sx_tlm_core.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct detector detector;
typedef struct detector2d detector2d;

typedef struct det_result_t {
    uint64_t lag;      /* index of the peak (circular lag order) */
    float peak_mag;    /* |correlation| at the peak */
    float noise_est;   /* noise estimate over the noise bins */
    float test_stat;   /* peak_mag / noise_est, 0 when the noise is 0 */
} det_result_t;

typedef struct det_result2d_t {
    uint64_t row, col;
    float peak_mag, noise_est, test_stat;
} det_result2d_t;

/* Noise estimators over the noise bins. */
enum { DET_NOISE_MEAN = 0, DET_NOISE_MEDIAN = 1, DET_NOISE_MIN = 2, DET_NOISE_MAX = 3 };

/* ref         n cf32 reference samples, read during the call only
 * n           frame length [samples] = reference length, 1 .. 2^28
 * dwell       frames summed per dump; 0 never dumps
 * noise_lo, noise_hi  inclusive noise bin range; each clamped to n-1, swapped
 *             when reversed
 * noise_mode  DET_NOISE_*
 * threshold   0 fires on every dump; otherwise a record needs stat > threshold
 * nthreads    accepted and ignored
 * Ring capacity: the smallest power of two >= max(n, 512) whose byte size
 * covers a page. Null on a refused parameter or when memory or the mapping
 * cannot be had. */
SX_API detector *detector_create(const float *ref, uint64_t n, uint64_t dwell, uint64_t noise_lo, uint64_t noise_hi,
                                 int noise_mode, float threshold, int nthreads);
/* As detector_create over row-major ny x nx frames (dwell >= 1). Note the order
 * of threshold and noise_mode. */
SX_API detector2d *detector2d_create(const float *ref, uint64_t ny, uint64_t nx, uint64_t dwell, uint64_t noise_lo,
                                     uint64_t noise_hi, float threshold, int noise_mode, int nthreads);
SX_API void detector_destroy(detector *h);
SX_API void detector2d_destroy(detector2d *h);
/* Empties the ring, resets the correlator and forgets the last measurement. */
SX_API void detector_reset(detector *h);
SX_API void detector2d_reset(detector2d *h);

/* Blob: header ("DET1"/"DET2"), the correlator's blob, the unread sample count
 * (u64), ring_cap cf32 slots (the unread samples, then zeros), then the last
 * measurement. A blob is refused (-4, nothing changed) for a wrong header, a
 * refused correlator blob, an unread count above ring_cap, a last peak position
 * outside the frame or a has_last flag other than 0 or 1. */
SX_API size_t detector_state_bytes(const detector *h);
SX_API void detector_get_state(const detector *h, void *blob);
SX_API int detector_set_state(detector *h, const void *blob);
SX_API size_t detector2d_state_bytes(const detector2d *h);
SX_API void detector2d_get_state(const detector2d *h, void *blob);
SX_API int detector2d_set_state(detector2d *h, const void *blob);

/* Reset, then install a new reference of n (ny*nx) samples. The 2-D form
 * returns corr2d_set_ref's status. */
SX_API void detector_set_ref(detector *h, const float *ref);
SX_API int detector2d_set_ref(detector2d *h, const float *ref);
SX_API void detector_set_threshold(detector *h, float t);
SX_API void detector2d_set_threshold(detector2d *h, float t);

/* Feeds n_in cf32 samples and writes at most max_results records; returns the
 * number written. When the records run out, input not yet in the ring is
 * discarded (frames already in the ring stay for the next push). */
SX_API size_t detector_push(detector *h, const float *x, size_t n_in, det_result_t *results, size_t max_results);
SX_API size_t detector2d_push(detector2d *h, const float *x, size_t n_in, det_result2d_t *results,
                              size_t max_results);

/* Where dumps are written: `buf` (n cf32 values, kept alive by the caller
 * until it is replaced or the detector destroyed), or the detector's own
 * buffer again when null. The content of the new buffer is left as it is. */
SX_API void detector_set_corr_buffer(detector *h, float *buf);
SX_API void detector2d_set_corr_buffer(detector2d *h, float *buf);
/* The correlation vector of the latest dump (n cf32), wherever it is written. */
SX_API const float *detector_last_corr(const detector *h);
SX_API const float *detector2d_last_corr(const detector2d *h);
/* Latest measurement; 0 (nothing written) before the first dump. */
SX_API int detector_last(const detector *h, det_result_t *out);
SX_API int detector2d_last(const detector2d *h, det_result2d_t *out);

/* Attach (tlm non-null) or detach (null) telemetry: every dump emits its peak,
 * noise and statistic to the probes "<prefix>.peak", "<prefix>.noise" and
 * "<prefix>.stat" (prefix "det" when null), every decim-th dump. -4 when a
 * name would not fit, decim is 0 or the probe table is full. The context must
 * outlive the attachment. */
SX_API int detector_set_telemetry(detector *h, sx_tlm *tlm, const char *prefix, uint32_t decim);
SX_API int detector2d_set_telemetry(detector2d *h, sx_tlm *tlm, const char *prefix, uint32_t decim);

SX_API uint64_t detector_n(const detector *h);
SX_API uint64_t detector_dwell(const detector *h);
SX_API uint64_t detector_count(const detector *h);
SX_API uint64_t detector_ring_cap(const detector *h);
SX_API uint64_t detector_noise_lo(const detector *h);
SX_API uint64_t detector_noise_hi(const detector *h);
SX_API float detector_threshold(const detector *h);
SX_API int detector_has_last(const detector *h);
SX_API uint64_t detector2d_ny(const detector2d *h);
SX_API uint64_t detector2d_nx(const detector2d *h);
SX_API uint64_t detector2d_n(const detector2d *h);
SX_API uint64_t detector2d_dwell(const detector2d *h);
SX_API uint64_t detector2d_count(const detector2d *h);
SX_API uint64_t detector2d_ring_cap(const detector2d *h);
SX_API uint64_t detector2d_noise_lo(const detector2d *h);
SX_API uint64_t detector2d_noise_hi(const detector2d *h);
SX_API float detector2d_threshold(const detector2d *h);
SX_API int detector2d_has_last(const detector2d *h);

#ifdef __cplusplus
}
#endif
