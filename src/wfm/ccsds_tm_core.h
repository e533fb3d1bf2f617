// CCSDS telemetry channel coding: the attached sync marker and its search, the
// pseudo-randomiser (the 8-stage legacy sequence and a 17-stage one), the
// Reed-Solomon (255,223) outer code in dual-basis symbols with interleaving,
// the rate-1/2 K=7 convolutional inner code, a whole-CADU encoder and decoder,
// and the operations table through which frame descriptions run these codes
// as stages.
//
// Bits are unpacked, one per byte (bit 0 read); octets are bytes; multi-bit
// values are unpacked most significant bit first (the first bit on the wire).
#pragma once
#include "core/sx_status.h"
#include "wfm/conv_core.h"
#include "wfm/frame_desc.h"
#include "wfm/rs_core.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
    CCSDS_TM_RS_N = 255,
    CCSDS_TM_RS_K = 223,
    CCSDS_TM_RS_PARITY = 32,
    CCSDS_TM_RS_MAX_DEPTH = 8,
    CCSDS_TM_ASM_BITS = 32,
};

typedef struct ccsds_tm_rand_desc_t {
    uint32_t taps;    /* feedback taps (parity of state & taps enters at bit 0) */
    uint32_t initial; /* state at the start of every sequence */
    uint32_t stages;  /* register length, 1..32 */
    uint64_t period;  /* informational; the generator does not read it */
} ccsds_tm_rand_desc_t;

typedef struct ccsds_tm_rand_t {
    uint32_t state, taps, mask, top;
} ccsds_tm_rand_t;

/* 17 stages, taps 0x10004, initial 0x38E3 (the CADU coder and the default stage). */
SX_API extern const ccsds_tm_rand_desc_t CCSDS_TM_RAND;
/* 8 stages, taps 0x95, initial 0xFF, period 255 (a randomise stage of depth 2). */
SX_API extern const ccsds_tm_rand_desc_t CCSDS_TM_RAND_LEGACY;
/* K = 7, generators 0x79 and 0x5B, the second output inverted. */
SX_API extern const conv_desc_t CCSDS_TM_CONV;
/* 8-bit symbols, field polynomial 0x87, 32 roots, first root 112, primitive power 11. */
SX_API extern const rs_desc_t CCSDS_TM_RS;

/* ---- randomiser ---- */
/* desc null = CCSDS_TM_RAND. 0, or -4 for stages outside 1..32. */
SX_API int ccsds_tm_rand_init(ccsds_tm_rand_t *st, const ccsds_tm_rand_desc_t *desc);
/* The next sequence bit (the register's top stage), then one shift. */
SX_API uint8_t ccsds_tm_rand_step(ccsds_tm_rand_t *st);
/* The first n sequence bits. 0, or -4 (nothing written). */
SX_API int ccsds_tm_rand_seq_with(const ccsds_tm_rand_desc_t *desc, uint8_t *out, size_t n);
SX_API int ccsds_tm_rand_seq(uint8_t *out, size_t n);
/* bits[i] = (bits[i] & 1) XOR sequence bit i, the sequence restarting on every
 * call; applying it twice restores 0/1 input. 0, or -4 (nothing changed). */
SX_API int ccsds_tm_randomise_with(const ccsds_tm_rand_desc_t *desc, uint8_t *bits, size_t n);
SX_API int ccsds_tm_randomise(uint8_t *bits, size_t n);

/* ---- attached sync marker ---- */
typedef struct ccsds_tm_asm_result_t {
    uint64_t position; /* first bit of the marker */
    uint32_t errors;   /* bit mismatches (against the complement when inverted) */
    uint32_t inverted; /* 1: seen with inverted polarity */
} ccsds_tm_asm_result_t;

/* out  32 bits of 0x1ACFFC1D, first on the wire first. */
SX_API void ccsds_tm_asm_bits(uint8_t *out);
/* First start i (0..n-32) whose 32 bits differ from the marker, or from its
 * complement, in at most max_errors places. 1 found (result filled), 0 not
 * (also for fewer than 32 bits or a null pointer). */
SX_API int ccsds_tm_asm_find(const uint8_t *bits, size_t n, uint32_t max_errors, ccsds_tm_asm_result_t *result);

/* ---- Reed-Solomon (255,223), dual-basis octets ---- */
typedef struct ccsds_tm_rs_stats_t {
    uint32_t depth;     /* interleaving depth I */
    uint32_t corrected; /* codewords repaired */
    uint32_t failed;    /* codewords found uncorrectable (left unchanged) */
    uint32_t symbols;   /* symbols repaired over all codewords */
} ccsds_tm_rs_stats_t;

SX_API uint8_t ccsds_tm_rs_conv_to_dual(uint8_t x);
SX_API uint8_t ccsds_tm_rs_dual_to_conv(uint8_t x);
/* The shared code object (built once per process; null only if it cannot be built). */
SX_API const rs_code_t *ccsds_tm_rs_code(void);
/* Its 33 generator coefficients (conventional basis, ascending degree). */
SX_API const uint8_t *ccsds_tm_rs_generator(void);
/* data223 dual-basis data; parity32 receives the dual-basis parity. 0 or -4. */
SX_API int ccsds_tm_rs_encode(const uint8_t *data223, uint8_t *parity32);
/* 1 when every syndrome of the 255 octets is zero, else 0 (-4 for null). */
SX_API int ccsds_tm_rs_codeword_ok(const uint8_t *codeword255);
/* Symbols corrected in place (0 clean); negative when uncorrectable, the
 * codeword then left unchanged. */
SX_API int ccsds_tm_rs_decode(uint8_t *codeword255);
/* Depth I in {1,2,3,4,5,8}: codeword k takes data octets k, k+I, ...; out
 * receives the I*223 data octets then the parity, symbol j of codeword k at
 * I*223 + k + j*I. out may be data itself (with room for I*255 octets).
 * Returns I*255, or 0 for any other depth or a null pointer. */
SX_API size_t ccsds_tm_rs_encode_block(const uint8_t *data, uint32_t depth, uint8_t *out);
/* Decodes an interleaved block of I*255 octets in place (repairs written back).
 * stats may be null. Returns I*223, or 0 for a depth outside the set above. */
SX_API size_t ccsds_tm_rs_decode_block(uint8_t *block, uint32_t depth, ccsds_tm_rs_stats_t *stats);

/* ---- CADU ---- */
typedef struct ccsds_tm_frame_cfg_t {
    uint32_t rs_depth;  /* 0 = no outer code, else 1..5 or 8 */
    uint32_t randomise; /* non-zero: randomise the coded block (17-stage sequence) */
    uint32_t asm_;      /* non-zero: the 32-bit marker in front */
    uint32_t conv;      /* non-zero: the rate-1/2 inner code over the whole CADU */
} ccsds_tm_frame_cfg_t;

typedef struct ccsds_tm_frame_layout_t {
    uint64_t tf_bits;      /* transfer frame: 8F */
    uint64_t cadu_bits;    /* marker + coded block */
    uint64_t channel_bits; /* after the inner code */
    uint64_t asm_off, asm_bits;
    uint64_t rs_off, rs_bits;     /* the RS code block (0 bits without RS) */
    uint64_t rand_off, rand_bits; /* the randomised span (0 bits when off) */
    uint64_t conv_off, conv_bits; /* the convolutional span (0 bits when off) */
} ccsds_tm_frame_layout_t;

typedef struct ccsds_tm_frame_stats_t {
    uint64_t octets;     /* transfer-frame octets delivered */
    uint32_t codewords;  /* RS codewords decoded */
    uint32_t good;       /* of them decoded (clean or repaired) */
    uint32_t corrected;  /* of them repaired */
    uint32_t symbols;    /* symbols repaired */
} ccsds_tm_frame_stats_t;

/* Layout of a CADU carrying F transfer-frame octets (F = I*223 with RS; F > 0).
 * Returns the channel bits, or 0 for an invalid configuration or F. */
SX_API uint64_t ccsds_tm_frame_layout(const ccsds_tm_frame_cfg_t *cfg, uint64_t F, ccsds_tm_frame_layout_t *layout);
/* Encodes F octets into channel bits at out (capacity bits). conv_register
 * carries the inner code's state between CADUs (null: a fresh zero register).
 * Returns the channel bits, or 0 (capacity below them, bad arguments). */
SX_API uint64_t ccsds_tm_frame_encode(const ccsds_tm_frame_cfg_t *cfg, uint32_t *conv_register, const uint8_t *octets,
                                      uint64_t F, uint8_t *out, uint64_t capacity);
/* Decodes n hard bits of one CADU (inner code already removed) into transfer-
 * frame octets at out (capacity octets; nothing written past it, and nothing
 * at all when the frame does not fit). stats may be null. Returns the octets,
 * or 0. */
SX_API uint64_t ccsds_tm_frame_decode(const ccsds_tm_frame_cfg_t *cfg, const uint8_t *bits, uint64_t n, uint8_t *out,
                                      uint64_t capacity, ccsds_tm_frame_stats_t *stats);

/* ---- frame-description glue ---- */
/* Fills the operations table: kind 1 outer code (in place, undo), kind 2
 * randomiser (in place, undo; legacy sequence for depth 2), kind 3 inner code
 * (emitting 2/1 from a fresh zero register). 0, or -4 for a null table. */
SX_API int ccsds_tm_frame_ops(wfm_frame_ops_t *table, void *ctx);
/* The CADU of cfg as a description: fields marker, transfer frame (the
 * caller's 8F unpacked bits, kept by reference), RS parity; stages rs, randomise,
 * conv (each covering what the CADU coder covers). 0 or -1. */
SX_API int ccsds_tm_frame_describe(const ccsds_tm_frame_cfg_t *cfg, uint64_t F, const uint8_t *bits,
                                   wfm_frame_desc_t *desc);

typedef struct ccsds_tm_frame_plan_t {
    uint32_t asm_;                 /* non-zero: the marker as the first field */
    const uint8_t *preamble;       /* preamble bits (kept by reference), or null */
    uint64_t preamble_len;         /* bits; 0 = no preamble */
    uint64_t preamble_reps;        /* repetitions, 0 meaning one */
    const uint8_t *sync;           /* sync bits, or null */
    uint64_t sync_len;             /* bits; 0 = no sync word */
    const uint8_t *payload;        /* payload bits */
    uint64_t payload_len;          /* bits, > 0 */
    uint32_t crc;                  /* non-zero: CRC-16 after the payload */
    uint32_t rs_depth;             /* 0 none, else 1..5 or 8; payload (+CRC) must be depth*1784 bits */
    uint32_t randomise;            /* 0 none, 2 the legacy sequence, any other value the 17-stage one */
    uint32_t conv;                 /* non-zero: the inner code over every field */
    uint32_t interleave_depth;     /* 0 none, else block-interleaver rows */
    uint32_t interleave_unit_bits; /* bits per interleaver unit, 0 read as 1 */
} ccsds_tm_frame_plan_t;

/* A general description from a frame plan: fields marker, preamble, sync, payload,
 * CRC, RS parity (each when present); stages crc16, rs, randomise, interleave,
 * conv (each only when asked for). 0 or -1. */
SX_API int ccsds_tm_frame_desc_of(const ccsds_tm_frame_plan_t *plan, wfm_frame_desc_t *desc);

#ifdef __cplusplus
}
#endif
