// Frame descriptions: the representation that frames, the CCSDS channel coder
// and the DSSS burst builder share. A description lists up to 8 bit fields and
// up to 6 stages (transforms); each stage declares the span of fields it
// covers, so the transmit side (assembly) and the receive side (check, deframe)
// agree on what every stage covered.
//
// Bits are one per byte (0 or 1; only bit 0 is read). Lengths are in bits.
//
// Stage kernels that this file's users do not build in (the outer code, the
// randomiser and the inner code) come through an operations table, so the
// frame code does not depend on the channel coder and the coder can describe
// its CADU as a frame.
#pragma once
#include "core/sx_status.h"

#ifdef __cplusplus
extern "C" {
#endif

enum { WFM_FRAME_MAX_FIELDS = 8, WFM_FRAME_MAX_STAGES = 6 };

typedef enum wfm_seq_kind_t {
    WFM_SEQ_LITERAL = 0,
    WFM_SEQ_PN = 1,
    WFM_SEQ_GOLD = 2,
    WFM_SEQ_DOTTED = 3, /* 1, 0, 1, 0, ... */
} wfm_seq_kind_t;

typedef enum wfm_stage_kind_t {
    WFM_STAGE_CRC16 = 0,      /* built in */
    WFM_STAGE_RS = 1,         /* outer code: operations table, in place + undo */
    WFM_STAGE_RANDOMISE = 2,  /* operations table, in place + undo */
    WFM_STAGE_CONV = 3,       /* inner code: operations table, emitting, no undo */
    WFM_STAGE_INTERLEAVE = 4, /* built in */
} wfm_stage_kind_t;

/* One field. A description does not own `lit`: whoever fills the description
 * keeps the literal bits alive as long as the description is used (the frame
 * object holds its own copies). */
typedef struct wfm_seq_t {
    int32_t kind;          /* wfm_seq_kind_t */
    uint64_t len;          /* literal: literal bits; generated kinds: output bits */
    const uint8_t *lit;    /* literal bits, len of them (bit 0 of each byte) */
    uint64_t poly, seed;   /* PN polynomial (0 = mls_poly(reg_bits)) and seed (0 = 1) */
    uint32_t reg_bits;     /* PN/Gold register width, 1..64 */
    uint32_t lfsr;         /* 0 Galois, 1 Fibonacci */
    uint64_t taps_a, seed_a, taps_b, seed_b; /* Gold registers (a zero seed becomes 1) */
    uint64_t reps;         /* repetitions, 0 meaning one */
    uint64_t derived_bits; /* length of a derived field */
    int32_t derived_by;    /* 0: caller's bits; else the producing stage's index + 1 */
} wfm_seq_t;

typedef struct wfm_stage_t {
    uint32_t kind;        /* wfm_stage_kind_t */
    uint32_t first_field; /* first covered field */
    uint32_t n_fields;    /* covered fields; 0 = the stage does not run */
    uint32_t depth;       /* outer code: interleaving depth; randomiser: 2 = legacy sequence;
                             interleaver: rows */
    uint32_t unit_bits;   /* interleaver: bits per unit, 0 read as 1 */
    uint32_t emit_num, emit_den; /* expansion of an emitting stage; 0 when it stays in the frame */
} wfm_stage_t;

typedef struct wfm_frame_desc_t {
    wfm_seq_t fields[WFM_FRAME_MAX_FIELDS];
    uint32_t n_fields;
    wfm_stage_t stages[WFM_FRAME_MAX_STAGES];
    uint32_t n_stages;
} wfm_frame_desc_t;

typedef struct wfm_frame_layout_t {
    uint64_t field_off[WFM_FRAME_MAX_FIELDS];
    uint64_t field_bits[WFM_FRAME_MAX_FIELDS];
    uint32_t n_fields;
    uint64_t stage_first[WFM_FRAME_MAX_STAGES];
    uint64_t stage_bits[WFM_FRAME_MAX_STAGES];
    uint32_t n_stages;
    uint64_t total; /* the frame's own length */
    uint64_t wire;  /* the length after an emitting stage (= total when none emits) */
} wfm_frame_layout_t;

/* What undoing one stage found. */
typedef struct wfm_stage_report_t {
    uint64_t units;     /* units checked (1 for CRC/randomiser/interleaver, codewords for the outer code) */
    uint64_t ok;        /* units that passed / decoded */
    uint64_t corrected; /* units repaired */
    uint64_t symbols;   /* symbols repaired */
} wfm_stage_report_t;

/* Stage kernels of the operations table. `bits` is the stage's span (nbits bits)
 * inside one frame. Each returns 0, or a negative status when it refuses the
 * span (wrong size for its code, bad depth). */
typedef int (*wfm_stage_inplace_fn)(void *ctx, const wfm_stage_t *stage, uint8_t *bits, uint64_t nbits);
typedef int (*wfm_stage_undo_fn)(void *ctx, const wfm_stage_t *stage, uint8_t *bits, uint64_t nbits,
                                 wfm_stage_report_t *report);
/* An emitting kernel reads n_in bits at `in` and writes n_in * emit_num / emit_den
 * bits at `out` (returned; 0 on refusal or when more than `capacity`). `out` may
 * start at or before `in` inside the same buffer (the input is staged at the end
 * so the expanded stream can be written ahead of it): the kernel reads each input
 * bit before it writes any output that could overlap it. */
typedef uint64_t (*wfm_stage_emit_fn)(void *ctx, const wfm_stage_t *stage, const uint8_t *in, uint64_t n_in,
                                      uint8_t *out, uint64_t capacity);

typedef struct wfm_stage_op_t {
    uint32_t kind; /* wfm_stage_kind_t */
    wfm_stage_inplace_fn inplace;
    wfm_stage_emit_fn emit;
    wfm_stage_undo_fn undo;
    /* The expansion the emitting kernel really produces (2/1 for the rate-1/2
     * inner code); 0/0 for in-place kernels. Assembly sizes the wire from this,
     * never from what a description merely declares. */
    uint32_t emit_num, emit_den;
} wfm_stage_op_t;

enum { WFM_FRAME_MAX_OPS = 8 };
typedef struct wfm_frame_ops_t {
    wfm_stage_op_t entries[WFM_FRAME_MAX_OPS];
    uint32_t n_entries;
    void *ctx;
} wfm_frame_ops_t;

#ifdef __cplusplus
}
#endif
