// Lossless telemetry capture: drains a context's ring completely at every block
// boundary (through the context's block hook, so sx_tlm_set_now is enough) and
// sizes the ring so one block can never overflow it. Records go to memory or to
// a file written by a background thread, with a JSON sidecar at "<path>-meta".
//
// Statuses: -2 for a failed write, close or sidecar; -4 for a hole (records
// dropped) or misuse; -6 for exhausted memory or a size that overflows.
#pragma once
#include "core/sx_status.h"
#include "core/sx_tlm_layout.h"
#include "core/timing_core.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct sx_tlm_capture sx_tlm_capture;

/* ctx: borrowed, must outlive the capture (or be let go with sx_tlm_capture_detach);
 * block_samples: most input samples processed between two boundaries, > 0;
 * path: data file (opened "wb"), or null for memory mode;
 * clock: borrowed, optional, read at close for the sidecar's "fs" and "epoch_real_ns".
 * Null when ctx is null, block_samples is 0, the context already has a capture,
 * no probes are registered, the file cannot be opened, or memory, the ring
 * resize or the writer thread cannot be had. */
SX_API sx_tlm_capture *sx_tlm_capture_open(sx_tlm *ctx, uint64_t block_samples, const char *path,
                                           const sx_sample_clock *clock);
SX_API sx_tlm_capture *sx_tlm_capture_open_memory(sx_tlm *ctx, uint64_t block_samples, const sx_sample_clock *clock);
/* One block boundary; -4 when cap is null or closed. */
SX_API int sx_tlm_capture_block(sx_tlm_capture *cap);
/* Final drain, flush, sidecar, detach. Idempotent: later calls return the first verdict. */
SX_API int sx_tlm_capture_close(sx_tlm_capture *cap);
/* Close if still open, then let go of the context for good: afterwards
 * sx_tlm_capture_context returns null and nothing touches the context again.
 * Called before the context is destroyed. Returns the verdict. */
SX_API int sx_tlm_capture_detach(sx_tlm_capture *cap);
/* Close if still open, release everything; returns the verdict. */
SX_API int sx_tlm_capture_destroy(sx_tlm_capture *cap);

SX_API uint64_t sx_tlm_capture_count(const sx_tlm_capture *cap);
/* Records the ring dropped during the capture; 0 until close. */
SX_API uint64_t sx_tlm_capture_dropped(const sx_tlm_capture *cap);
SX_API sx_tlm *sx_tlm_capture_context(const sx_tlm_capture *cap);

/* Memory mode: records handed over so far (all of them after close). */
SX_API const sx_tlm_record *sx_tlm_capture_records(const sx_tlm_capture *cap);
SX_API size_t sx_tlm_capture_read_max_out(const sx_tlm_capture *cap);
/* Copy the first n accumulated records (0 = all), at most out_capacity, without consuming. */
SX_API size_t sx_tlm_capture_read(const sx_tlm_capture *cap, size_t n, sx_tlm_record *out, size_t out_capacity);

#ifdef __cplusplus
}
#endif
