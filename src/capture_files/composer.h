// Composer and drawing: the layout of a composed capture (segments repeated,
// each repetition a lead gap, a burst and a tail gap) and the stateless hash
// that draws random lengths from (seed, segment, repetition, purpose).
//
// The segment and waveform-description records are built by the caller, so their
// byte layout is part of the interface (checked below with static_assert).
#pragma once
#include "core/sx_status.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The fields of a 280-byte waveform description that the composer and the SigMF
 * annotations read; the bytes in between belong to the synthesis side. */
typedef struct wfm_wave_desc {
    int32_t type;           /*   0  0 tone, 1 noise, 2 pn, 3 bpsk, 4 qpsk, 5 chirp, 6 bits, 7 symbols, 8 dsss */
    uint8_t pad0_[4];
    double freq;            /*   8  frequency offset [Hz] */
    double snr;             /*  16  SNR [dB] */
    int32_t snr_mode;       /*  24  0 auto, 1 fs, 2 ebno, 3 esno */
    uint32_t seed;          /*  28  */
    int32_t sps;            /*  32  samples per symbol */
    int32_t pn_length;      /*  36  */
    uint64_t pn_poly;       /*  40  */
    uint8_t pad1_[24];
    double chirp_end;       /*  72  chirp end frequency [Hz] */
    uint8_t pad2_[160];
    double dsss_symbol_rate; /* 240 */
    int32_t dsss_data;      /* 248  non-zero: data flag set */
    uint8_t pad3_[28];
} wfm_wave_desc;

/* Segment flags. */
enum { WFM_SEG_DRAW_BURST = 0x10, WFM_SEG_DRAW_TAIL = 0x20, WFM_SEG_DRAW_LEAD = 0x40 };

/* A 96-byte segment record. */
typedef struct wfm_segment {
    const wfm_wave_desc *descs; /*  0  waveform descriptions (may be null when n_descs is 0) */
    uint64_t n_descs;           /*  8  */
    double fs;                  /* 16  sample rate of the segment [Hz] */
    uint64_t burst;             /* 24  burst length base [samples] */
    uint64_t tail;              /* 32  tail gap base [samples] */
    uint32_t flags;             /* 40  WFM_SEG_DRAW_* */
    uint8_t pad0_[4];
    uint64_t burst_hi;          /* 48  burst upper bound */
    uint64_t tail_hi;           /* 56  tail gap upper bound */
    uint64_t reps;              /* 64  repetitions, 0 counts as 1 */
    uint64_t lead;              /* 72  lead gap base [samples] */
    uint64_t lead_hi;           /* 80  lead gap upper bound */
    uint8_t unused_[8];         /* 88  not read */
} wfm_segment;

/* One emitted repetition; the burst occupies [offset + lead, offset + lead + burst). */
typedef struct wfm_span {
    uint64_t segment, rep, offset, lead, burst, tail;
} wfm_span;

/* Uniform double in [lo, hi) drawn from a SplitMix64 hash of the key fields. */
SX_API double wfm_draw_range(uint32_t seed, uint64_t stream, uint64_t k1, uint64_t k2, uint64_t k3, uint32_t salt,
                             double lo, double hi);

/* wfm_draw_range(seed, stream, k1, k2, 0, salt, lo, hi) rounded half up to an integer. */
SX_API uint64_t wfm_draw_samples(uint32_t seed, uint64_t stream, uint64_t k1, uint64_t k2, uint32_t salt, uint64_t lo,
                                 uint64_t hi);

/* Lays out the spans of `n_segs` segments. Stores at most `cap` spans into `spans`
 * (may be null to size the array) and returns the total number of spans. */
SX_API uint64_t wfm_compose_spans(const wfm_segment *segs, size_t n_segs, wfm_span *spans, size_t cap);

#ifdef __cplusplus
}
#include <cstddef>
static_assert(sizeof(wfm_wave_desc) == 280, "waveform description is 280 bytes");
static_assert(offsetof(wfm_wave_desc, freq) == 8 && offsetof(wfm_wave_desc, snr_mode) == 24 &&
                  offsetof(wfm_wave_desc, seed) == 28 && offsetof(wfm_wave_desc, pn_poly) == 40 &&
                  offsetof(wfm_wave_desc, chirp_end) == 72 && offsetof(wfm_wave_desc, dsss_symbol_rate) == 240 &&
                  offsetof(wfm_wave_desc, dsss_data) == 248,
              "waveform description offsets");
static_assert(sizeof(wfm_segment) == 96, "segment record is 96 bytes");
static_assert(offsetof(wfm_segment, fs) == 16 && offsetof(wfm_segment, flags) == 40 &&
                  offsetof(wfm_segment, burst_hi) == 48 && offsetof(wfm_segment, reps) == 64 &&
                  offsetof(wfm_segment, lead_hi) == 80,
              "segment offsets");
static_assert(sizeof(wfm_span) == 48, "span is six u64");
#endif
