// Telemetry ring: named probes, a lock-free single-producer / single-consumer
// ring of 16-byte records, drained by the caller without stopping the producer.
//
// Every function accepts a null context and then does nothing and returns 0 or
// null, unless a status is listed. Statuses are those of sx_status.h.
#pragma once
#include "core/sx_status.h"
#include "core/sx_tlm_layout.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ring_records: requested capacity in records, a non-zero power of two; raised
 * to the page minimum (256 records on 4096-byte pages). Null when refused, when
 * the byte size overflows or when memory or the mapping cannot be had. */
SX_API sx_tlm *sx_tlm_create(size_t ring_records);
SX_API void sx_tlm_destroy(sx_tlm *ctx);

/* Register (or retune) a probe: id >= 0, or -4 for a null name, a name of 32
 * characters or more, decim 0 or a full table. Primes the probe so the next
 * event emits. */
SX_API int sx_tlm_probe(sx_tlm *ctx, const char *name, uint32_t decim);
/* Id of `name`, or -4 when null or unknown. */
SX_API int sx_tlm_probe_id(const sx_tlm *ctx, const char *name);
/* 0, or -4 for an unknown name or decim 0 (never registers). */
SX_API int sx_tlm_set_decim(sx_tlm *ctx, const char *name, uint32_t decim);
SX_API const char *sx_tlm_probe_name(const sx_tlm *ctx, int id);
SX_API size_t sx_tlm_probe_count(const sx_tlm *ctx);
/* `index` when below the probe count, else -4. */
SX_API int sx_tlm_probe_id_at(const sx_tlm *ctx, size_t index);
SX_API size_t sx_tlm_capacity(const sx_tlm *ctx);

/* 0, or -4 when ctx is null or id is not a registered probe; otherwise as sx_tlm_emit. */
SX_API int sx_tlm_emit_checked(sx_tlm *ctx, int id, double value);

/* Records ready to read (head - tail). */
SX_API size_t sx_tlm_avail(const sx_tlm *ctx);
SX_API size_t sx_tlm_read_max_out(const sx_tlm *ctx);
/* Copy up to n records (0 = all available), at most out_capacity, with one
 * memcpy; returns the count. Non-blocking. */
SX_API size_t sx_tlm_read(sx_tlm *ctx, size_t n, sx_tlm_record *out, size_t out_capacity);

/* counts[0..ncounts) := records per probe id (ids >= ncounts ignored). */
SX_API void sx_tlm_demux_counts(const sx_tlm_record *records, size_t count, size_t *counts, size_t ncounts);
/* Split records per probe into values[id] / indices[id], each filled up to capacities[id]. */
SX_API void sx_tlm_demux(const sx_tlm_record *records, size_t count, float *const *values, uint64_t *const *indices,
                         const size_t *capacities, size_t nprobes);

SX_API uint64_t sx_tlm_dropped(const sx_tlm *ctx);
/* Records written for probe `id`; 0 outside [0, probe count). */
SX_API uint64_t sx_tlm_emitted(const sx_tlm *ctx, int id);
SX_API void sx_tlm_stats(const sx_tlm *ctx, sx_tlm_stats_t *out);

/* block_samples x probe count; 0 for a null context, 0 samples or no probes;
 * UINT64_MAX when the product overflows. */
SX_API uint64_t sx_tlm_block_bound(const sx_tlm *ctx, uint64_t block_samples);
/* Grow the ring to at least min_records: 0, or -4 when the size overflows or the
 * new buffer cannot be had (the old ring stays). Unread records are carried over
 * in order; dropped is kept. Must not race with emits or reads. */
SX_API int sx_tlm_resize(sx_tlm *ctx, size_t min_records);

/* The two inline functions are also exported out of line (for ctypes callers).
 * Block boundary: run the open capture's hook, then stamp subsequent records with n. */
SX_API inline void sx_tlm_set_now(sx_tlm *ctx, uint64_t n) {
    if (ctx == 0) return;
    if (ctx->block_hook != 0) ctx->block_hook(ctx->capture);
    ctx->now = n;
}

/* Hot path, inlined into DSP loops. Only the table bound is checked (the id is
 * compared as unsigned, so a negative id from a failed registration is ignored).
 * A full ring drops the record and counts it; the producer never blocks. */
SX_API inline void sx_tlm_emit(sx_tlm *ctx, int id, double value) {
    if (ctx == 0) return;
    const uint32_t uid = (uint32_t)id;
    if (uid >= SX_TLM_MAX_PROBES) return;
    sx_tlm_probe_slot *p = &ctx->probes[uid];
    const uint32_t phase = p->phase + 1;
    if (phase < p->decim) {
        p->phase = phase;
        return;
    }
    p->phase = 0;
    sx_tlm_ring *r = ctx->ring;
    const uint64_t head = r->head;
    if (head - __atomic_load_n(&r->tail, __ATOMIC_ACQUIRE) >= r->capacity) {
        __atomic_fetch_add(&r->dropped, 1, __ATOMIC_RELAXED);
        return;
    }
    sx_tlm_record *rec = &r->base[head & r->mask];
    rec->n = ctx->now;
    rec->value = (float)value;
    rec->probe = (uint16_t)uid;
    rec->flags = 0;
    __atomic_store_n(&r->head, head + 1, __ATOMIC_RELEASE);
    p->emitted += 1;
}

#ifdef __cplusplus
}
#endif
