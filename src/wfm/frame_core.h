// Frames: the four-field frame (preamble, sync word, payload, optional CRC-16),
// general frame descriptions built field by field and stage by stage, their
// layout, assembly (transmit side) and check / repair (receive side), and the
// frame object that owns a description, its literal bits and its assembled
// wire bits.
//
// Bits are one per byte (0 or 1; only bit 0 is read). Lengths are in bits.
// Stage kinds 0 (CRC-16) and 4 (block interleaver) are built in; the others
// come through an operations table (frame_desc.h).
#pragma once
#include "wfm/frame_desc.h"

#ifdef __cplusplus
extern "C" {
#endif

/* No frame is longer than this many bits (a quarter GiB of unpacked bits): a
 * larger geometry is refused rather than allocated. */
#define WFM_FRAME_MAX_BITS (UINT64_C(1) << 28)

/* The four-field frame. For a literal field `len` is the number of literal
 * bits at `lit`; for a generated one (pn, gold, dotted) the number of bits it
 * generates. Only the preamble repeats (preamble_reps, 0 = no preamble); the
 * `reps`, `derived_*` members of the three fields are ignored. */
typedef struct wfm_frame_t {
    wfm_seq_t preamble, sync, payload;
    uint64_t preamble_reps;
    int32_t crc; /* 0 none, 1 CRC-16 over the payload */
} wfm_frame_t;

/* Fields 0..3 of a layout by name (zeros for a description built with add_field). */
typedef struct wfm_frame_fields_t {
    uint64_t preamble_off, preamble_bits, sync_off, sync_bits, payload_off, payload_bits, crc_off, crc_bits,
        total_bits;
} wfm_frame_fields_t;

/* What a check found, summed over the stages it could undo. */
typedef struct wfm_frame_check_t {
    int64_t passed;   /* 1 every checked stage passed, else 0 (also when nothing was checked) */
    uint64_t stages;  /* stages of the description */
    uint64_t checked; /* stages undone */
    uint64_t units, ok, corrected, symbols;
} wfm_frame_check_t;

/* ---- Description level -------------------------------------------------- */

/* The description of a four-field frame: field 0 preamble (repeated
 * preamble_reps times, empty when 0), 1 sync, 2 payload, 3 CRC (derived by
 * stage 0, 16 bits); stage 0 CRC-16 over fields 2..3, running only when crc is
 * 1. The description borrows the literal arrays of `f`. 0, or -1 for a crc
 * other than 0/1. */
SX_API int wfm_frame_describe(const wfm_frame_t *f, wfm_frame_desc_t *desc);

/* Offsets and lengths of every field and stage span, the frame's own length
 * and its wire length (from the declared expansion of the last emitting
 * stage). 0, or -1 for too many fields or stages, a stage span past the
 * fields, a derived field that is not the last its stage covers, an expansion
 * with a zero half (emit_num or emit_den 0 but not both), or a length past
 * WFM_FRAME_MAX_BITS. */
SX_API int wfm_frame_desc_layout(const wfm_frame_desc_t *desc, wfm_frame_layout_t *layout);

/* Assembles one frame into out[0..wire). Stage kernels for kinds 1..3 come
 * from `ops` (may be null: such stages are then refused). Returns the wire
 * length, or 0 when the layout is refused, the wire is empty or above
 * `capacity`, a field is unbuildable (a literal with bits and no array, a
 * generator that cannot be made), or a stage refuses its span. The wire length
 * follows what the kernels really emit; it can differ from the layout's when a
 * description declares an expansion that its kernel does not produce. */
SX_API uint64_t wfm_frame_assemble(const wfm_frame_desc_t *desc, const wfm_frame_ops_t *ops, uint8_t *out,
                                   uint64_t capacity);

/* The wire length wfm_frame_assemble would produce with `ops` (0 when it would
 * refuse the plan or the layout): the size to give it. */
SX_API uint64_t wfm_frame_wire_bits(const wfm_frame_desc_t *desc, const wfm_frame_ops_t *ops);

/* Checks one frame's own bits (layout total of them at `bits`, read only):
 * stages undone in reverse order on a private copy. Returns passed (1/0), or -1
 * when no stage could be checked (record all zeros) or on a refused layout or
 * allocation failure. `out` may be null. */
SX_API int wfm_frame_check(const wfm_frame_desc_t *desc, const wfm_frame_ops_t *ops, const uint8_t *bits,
                           wfm_frame_check_t *out);

/* CRC verdict of the first running CRC-16 stage over rx: 1 equal, 0 not, -1
 * without such a stage (or with an empty span) or when rx_len is below the
 * frame's length. */
SX_API int wfm_frame_desc_crc_ok(const wfm_frame_desc_t *desc, const uint8_t *rx, uint64_t rx_len);

/* The same for a four-field frame. */
SX_API int wfm_frame_layout(const wfm_frame_t *f, wfm_frame_fields_t *out); /* 0 / -1 */
SX_API uint64_t wfm_frame_nbits(const wfm_frame_t *f);                      /* wire bits, 0 when refused */
SX_API uint64_t wfm_frame_bits(const wfm_frame_t *f, uint8_t *out, uint64_t capacity); /* as assemble */
SX_API int wfm_frame_crc_ok(const wfm_frame_t *f, const uint8_t *rx, uint64_t rx_len);

/* Built-in stage kernels over one span of n bits. Interleaver: depth rows
 * (0 read as 1) of units of unit_bits bits (0 read as 1); n must be a
 * multiple of depth * unit_bits. 0, or -1 when refused (nothing changed) or
 * -6 when the scratch cannot be allocated. */
SX_API int wfm_interleave(uint8_t *bits, uint64_t n, uint32_t depth, uint32_t unit_bits);
SX_API int wfm_deinterleave(uint8_t *bits, uint64_t n, uint32_t depth, uint32_t unit_bits);
/* CRC-16 into the last 16 bits of the span (n >= 17), most significant first. 0 / -1. */
SX_API int wfm_crc16_stage(uint8_t *bits, uint64_t n);
/* 1 when the last 16 bits hold the CRC of the rest, 0 when not, -1 for n < 17. */
SX_API int wfm_crc16_stage_ok(const uint8_t *bits, uint64_t n);

/* ---- Frame object ------------------------------------------------------- */

typedef struct frame frame;

/* A four-field frame, described and assembled at once with the built-in
 * kernels. Null when the frame would be empty, a field is unbuildable, the
 * geometry is refused or allocation fails. Literal bits are copied. */
SX_API frame *frame_create(const wfm_frame_t *f);
/* The same description, not assembled: fields and stages may be added before
 * frame_build. The four fields and the CRC stage are entered only when the
 * four-field frame holds at least one bit. Null on a refused geometry or
 * allocation failure. */
SX_API frame *frame_create_desc(const wfm_frame_t *f);
SX_API void frame_destroy(frame *fr);

/* A new field: literal bits (lit_len of them, copied) for kind 0, gen_len
 * generated bits for kinds 1..3, repeated reps times (0 = once); a derived
 * field (derived_by = producing stage + 1) holds derived_bits. Returns the
 * field index, or -1 after build, with 8 fields, a kind outside 0..3, lfsr
 * outside 0..1, derived_by outside 0..6, a literal with bits but no array, or
 * a length past WFM_FRAME_MAX_BITS. */
SX_API int frame_add_field(frame *fr, const uint8_t *lit, uint64_t lit_len, int32_t kind, uint64_t gen_len,
                           uint64_t reps, uint64_t poly, uint64_t seed, uint32_t reg_bits, uint32_t lfsr,
                           uint64_t taps_a, uint64_t seed_a, uint64_t taps_b, uint64_t seed_b, int32_t derived_by,
                           uint64_t derived_bits);
/* A new stage over fields first_field..first_field+n_fields-1 (n_fields 0: it
 * does not run). Returns the stage index, or -1 after build, with 6 stages, a
 * kind outside 0..4, a span past the 8 fields, or an expansion with one zero
 * half. */
SX_API int frame_add_stage(frame *fr, uint32_t kind, uint32_t first_field, uint32_t n_fields, uint32_t depth,
                           uint32_t emit_num, uint32_t emit_den, uint32_t unit_bits);
/* Assembles the description with `ops` (null: built-in kernels only). 0, or -1
 * when already built, the layout is refused, the wire is empty, a running
 * stage has no kernel, or assembly fails; nothing stays built on failure. */
SX_API int frame_build_ops(frame *fr, const wfm_frame_ops_t *ops);
/* frame_build_ops with the CCSDS channel coder's operations table. */
SX_API int frame_build(frame *fr);
SX_API int frame_is_built(const frame *fr);

/* Wire bits of one frame (after build; before it, the declared layout's). */
SX_API uint64_t frame_nbits(const frame *fr);
/* n copies of the wire bits, as many whole copies as fit in capacity; 0 before build. */
SX_API uint64_t frame_bits(frame *fr, uint64_t n, uint8_t *out, uint64_t capacity);
/* n * wire bits, saturating at UINT64_MAX. */
SX_API uint64_t frame_bits_max_out(const frame *fr, uint64_t n);

SX_API void frame_layout(const frame *fr, wfm_frame_fields_t *out);
SX_API void frame_desc_layout(const frame *fr, wfm_frame_layout_t *out);
SX_API uint32_t frame_n_fields(const frame *fr);
SX_API uint32_t frame_n_stages(const frame *fr);
/* 0 for an index out of range. */
SX_API uint64_t frame_field_off(const frame *fr, uint64_t i);
SX_API uint64_t frame_field_bits(const frame *fr, uint64_t i);
SX_API uint64_t frame_stage_first(const frame *fr, uint64_t i);
SX_API uint64_t frame_stage_bits(const frame *fr, uint64_t i);

/* 1, 0 or -1 (no running CRC stage, or rx_len below the wire bits). */
SX_API int frame_crc_ok(const frame *fr, const uint8_t *rx, uint64_t rx_len);
/* Copies the first frame-length bits of rx to out and undoes the stages there
 * (repairs applied), storing the read-backs. Before build only the built-in
 * stages are undone. Returns the frame length, or 0
 * (read-backs zeroed) when rx or out is too short. out may equal rx. */
SX_API uint64_t frame_deframe(frame *fr, const uint8_t *rx, uint64_t rx_len, uint8_t *out, uint64_t capacity);
/* The frame's own length, whatever rx_len is. */
SX_API uint64_t frame_deframe_max_out(const frame *fr);
/* Check of rx (unchanged; undone on the frame's own work copy); the all-zero
 * record when rx is shorter than the frame. */
SX_API void frame_check(frame *fr, const uint8_t *rx, uint64_t rx_len, wfm_frame_check_t *out);

/* Read-backs of the last deframe. */
SX_API uint64_t frame_rx_ok(const frame *fr);
SX_API uint64_t frame_rx_units(const frame *fr);
SX_API uint64_t frame_rx_checked(const frame *fr);
SX_API uint64_t frame_rx_symbols(const frame *fr);

#ifdef __cplusplus
}
#endif
