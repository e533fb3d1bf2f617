// Telemetry context, probe table, ring descriptor and the 16-byte record.
//
// Several extension modules compile their own copy of the telemetry ring and
// operate on one context created by another module (it crosses as a capsule),
// so every size and offset here is a binary contract between separately
// compiled code. Change nothing without changing every module at once; the
// static_asserts below catch an accidental change at compile time.
#pragma once
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define SX_TLM_NAME_MAX 32   /* bytes of a probe name including the NUL: at most 31 characters */
#define SX_TLM_MAX_PROBES 64 /* size of the probe table; ids are 0..63 */
#define SX_TLM_CAPSULE "kolvane.telemetry.sx_tlm"

/* One telemetry record: the unit of the ring, of reads, of captures and of capture files. */
typedef struct sx_tlm_record {
    uint64_t n;     /* sample index stamped by the last sx_tlm_set_now */
    float value;    /* emitted scalar, narrowed to single precision */
    uint16_t probe; /* probe id */
    uint16_t flags; /* reserved, always 0 */
} sx_tlm_record;

/* One probe table entry. */
typedef struct sx_tlm_probe_slot {
    char name[SX_TLM_NAME_MAX]; /* NUL-terminated */
    uint32_t decim;             /* emit every decim-th event, >= 1 */
    uint32_t phase;             /* events since the last emitted one */
    uint64_t emitted;           /* records written for this probe */
} sx_tlm_probe_slot;

/* Ring descriptor. The producer writes head, the consumer writes tail, and any
 * producer bumps dropped atomically: each counter sits on its own cache line so
 * the two threads never share a line they write. */
typedef struct sx_tlm_ring {
    sx_tlm_record *base; /* start of the double-mapped buffer (2 x capacity records of address space) */
    uint64_t mask;       /* capacity - 1 */
    uint64_t capacity;   /* records, a power of two */
    uint8_t pad0[40];
    uint64_t head; /* total records ever written (producer only; release store) */
    uint8_t pad1[56];
    uint64_t tail; /* total records ever read (consumer only; release store) */
    uint8_t pad2[56];
    uint64_t dropped; /* records lost because the ring was full (atomic add) */
    uint8_t pad3[56];
} sx_tlm_ring;

struct sx_tlm_capture;
/* Called by sx_tlm_set_now with the open capture at each block boundary. */
typedef int (*sx_tlm_block_fn)(struct sx_tlm_capture *cap);

/* The telemetry context. */
typedef struct sx_tlm {
    sx_tlm_ring *ring;
    uint64_t now;         /* stamp written into every subsequent record */
    uint32_t probe_count; /* 0..64 */
    uint32_t pad0;
    sx_tlm_probe_slot probes[SX_TLM_MAX_PROBES];
    struct sx_tlm_capture *capture; /* open capture or null */
    sx_tlm_block_fn block_hook;     /* called with `capture` by sx_tlm_set_now, or null */
} sx_tlm;

/* Counters returned by sx_tlm_stats, in this order. */
typedef struct sx_tlm_stats_t {
    uint64_t dropped;
    uint64_t emitted; /* sum over all probes */
    uint64_t capacity;
    uint64_t probes; /* probe count */
} sx_tlm_stats_t;

#ifdef __cplusplus
}

static_assert(sizeof(float) == 4);
static_assert(sizeof(void *) == 8, "the context layout is defined for 64-bit targets");

static_assert(sizeof(sx_tlm_record) == 16);
static_assert(offsetof(sx_tlm_record, n) == 0);
static_assert(offsetof(sx_tlm_record, value) == 8);
static_assert(offsetof(sx_tlm_record, probe) == 12);
static_assert(offsetof(sx_tlm_record, flags) == 14);

static_assert(sizeof(sx_tlm_probe_slot) == 48);
static_assert(offsetof(sx_tlm_probe_slot, name) == 0);
static_assert(offsetof(sx_tlm_probe_slot, decim) == 32);
static_assert(offsetof(sx_tlm_probe_slot, phase) == 36);
static_assert(offsetof(sx_tlm_probe_slot, emitted) == 40);

static_assert(sizeof(sx_tlm_ring) == 256);
static_assert(offsetof(sx_tlm_ring, base) == 0);
static_assert(offsetof(sx_tlm_ring, mask) == 8);
static_assert(offsetof(sx_tlm_ring, capacity) == 16);
static_assert(offsetof(sx_tlm_ring, head) == 64);
static_assert(offsetof(sx_tlm_ring, tail) == 128);
static_assert(offsetof(sx_tlm_ring, dropped) == 192);

static_assert(offsetof(sx_tlm, ring) == 0);
static_assert(offsetof(sx_tlm, now) == 8);
static_assert(offsetof(sx_tlm, probe_count) == 16);
static_assert(offsetof(sx_tlm, probes) == 24);
static_assert(offsetof(sx_tlm, capture) == 24 + 64 * 48);
static_assert(offsetof(sx_tlm, block_hook) == 24 + 64 * 48 + 8);
static_assert(sizeof(sx_tlm) == 24 + 64 * 48 + 16);

static_assert(sizeof(sx_tlm_stats_t) == 32);
static_assert(offsetof(sx_tlm_stats_t, dropped) == 0);
static_assert(offsetof(sx_tlm_stats_t, emitted) == 8);
static_assert(offsetof(sx_tlm_stats_t, capacity) == 16);
static_assert(offsetof(sx_tlm_stats_t, probes) == 24);
#endif
