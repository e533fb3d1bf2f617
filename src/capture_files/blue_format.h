// BLUE capture layout shared by the writer and the reader: the 512-byte header
// control block (HCB), the format codes and capture index table, and the byte-
// order helpers both sides use so that they agree byte for byte.
//
// Byte order: a capture is entirely little- or big-endian. Every numeric HCB
// field, payload element and numeric keyword element is stored in that order.
// The writer records "EEEI" (little) or "IEEE" (big) in both head_rep and
// data_rep; a reader decides from head_rep alone: exactly "IEEE" means big,
// anything else little. Character fields (version, head_rep, data_rep, format,
// the HCB keyword area) are written as characters in either order.
#pragma once
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Capture index of the ten sample types (core interfaces of the capture modules). */
enum {
    WFM_CAP_CF32 = 0,
    WFM_CAP_CF64 = 1,
    WFM_CAP_CI32 = 2,
    WFM_CAP_CI16 = 3,
    WFM_CAP_CI8 = 4,
    WFM_CAP_F32 = 5,
    WFM_CAP_F64 = 6,
    WFM_CAP_I32 = 7,
    WFM_CAP_I16 = 8,
    WFM_CAP_I8 = 9,
    WFM_CAP_COUNT = 10,
};

/* Element kind = capture index mod 5; indices 5..9 are the scalar twins of 0..4. */
enum { WFM_ELEM_F32 = 0, WFM_ELEM_F64 = 1, WFM_ELEM_I32 = 2, WFM_ELEM_I16 = 3, WFM_ELEM_I8 = 4 };

/* File types at the core interfaces of the writer and reader. */
enum { WFM_FILE_RAW = 0, WFM_FILE_CSV = 1, WFM_FILE_BLUE = 2, WFM_FILE_SIGMF = 3 };

/* Seconds from 1950-01-01 00:00:00 UTC (BLUE timecode epoch) to the UNIX epoch. */
#define WFM_BLUE_EPOCH_OFFSET 631152000.0

/* HCB size, and the unit of ext_start (in blocks from the start of the file). */
#define WFM_BLUE_HCB_BYTES 512
#define WFM_BLUE_BLOCK 512

/* HCB field offsets (type-1000 layout). A=chars, L=i32, I=i16, D=double. */
enum {
    WFM_HCB_VERSION = 0,     /* A4 "BLUE" */
    WFM_HCB_HEAD_REP = 4,    /* A4 "EEEI" | "IEEE" */
    WFM_HCB_DATA_REP = 8,    /* A4 same as head_rep */
    WFM_HCB_DETACHED = 12,   /* L  */
    WFM_HCB_PROTECTED = 16,  /* L  */
    WFM_HCB_PIPE = 20,       /* L  non-zero while a writer still appends (this system's writer: 1 until close) */
    WFM_HCB_EXT_START = 24,  /* L  extended header start in 512-byte blocks; 0 = none */
    WFM_HCB_EXT_SIZE = 28,   /* L  extended header bytes; 0 = none */
    WFM_HCB_DATA_START = 32, /* D  payload byte offset */
    WFM_HCB_DATA_SIZE = 40,  /* D  payload bytes; 0 while a live capture is being written */
    WFM_HCB_TYPE = 48,       /* L  1000 */
    WFM_HCB_FORMAT = 52,     /* A2 mode letter then element letter */
    WFM_HCB_FLAGMASK = 54,   /* I  */
    WFM_HCB_TIMECODE = 56,   /* D  seconds since 1950-01-01 UTC; 0 = unknown */
    WFM_HCB_INLET = 64,      /* I  */
    WFM_HCB_OUTLETS = 66,    /* I  */
    WFM_HCB_OUTMASK = 68,    /* L  */
    WFM_HCB_PIPELOC = 72,    /* L  */
    WFM_HCB_PIPESIZE = 76,   /* L  */
    WFM_HCB_IN_BYTE = 80,    /* D  */
    WFM_HCB_OUT_BYTE = 88,   /* D  */
    WFM_HCB_OUTBYTES = 96,   /* D×8 */
    WFM_HCB_KEYLENGTH = 160, /* L  bytes used in the keyword area, NULs included */
    WFM_HCB_KEYWORDS = 164,  /* A92 "TAG=value\0" items */
    WFM_HCB_XSTART = 256,    /* D  */
    WFM_HCB_XDELTA = 264,    /* D  1/fs, 0 when fs unknown */
    WFM_HCB_XUNITS = 272,    /* L  */
};
#define WFM_HCB_KEYWORDS_MAX 92
#define WFM_BLUE_TYPE_1000 1000

/* One row of the capture index table. */
typedef struct wfm_capture_type {
    const char *name;   /* "cf32" ... "i8" */
    char format[2];     /* BLUE format letters, e.g. 'C','F' */
    uint8_t elem_bytes; /* 4, 8, 4, 2, 1 */
    uint8_t is_complex; /* 1 for indices 0..4 */
    uint8_t is_integer; /* int32/int16/int8 elements */
    uint8_t sample_bytes; /* elem_bytes × (2 complex, 1 scalar) */
} wfm_capture_type;

/* Indexed by capture index 0..9. */
static const wfm_capture_type WFM_CAPTURE_TYPES[WFM_CAP_COUNT] = {
    {"cf32", {'C', 'F'}, 4, 1, 0, 8},  {"cf64", {'C', 'D'}, 8, 1, 0, 16}, {"ci32", {'C', 'L'}, 4, 1, 1, 8},
    {"ci16", {'C', 'I'}, 2, 1, 1, 4},  {"ci8", {'C', 'B'}, 1, 1, 1, 2},   {"f32", {'S', 'F'}, 4, 0, 0, 4},
    {"f64", {'S', 'D'}, 8, 0, 0, 8},   {"i32", {'S', 'L'}, 4, 0, 1, 4},   {"i16", {'S', 'I'}, 2, 0, 1, 2},
    {"i8", {'S', 'B'}, 1, 0, 1, 1},
};

/* Capture index from BLUE format letters, or -1 when the pair is not accepted
 * (mode must be 'C' or 'S', element one of 'F','D','L','I','B'). */
static inline int wfm_capture_index_from_format(char mode, char elem) {
    int kind;
    switch (elem) {
    case 'F': kind = WFM_ELEM_F32; break;
    case 'D': kind = WFM_ELEM_F64; break;
    case 'L': kind = WFM_ELEM_I32; break;
    case 'I': kind = WFM_ELEM_I16; break;
    case 'B': kind = WFM_ELEM_I8; break;
    default: return -1;
    }
    if (mode == 'C') return kind;
    if (mode == 'S') return kind + 5;
    return -1;
}

/* ---- byte-order helpers: load/store in the capture's byte order (be != 0: big) ---- */

static inline void wfm_bswap_copy(void *dst, const void *src, size_t n, int be) {
    const uint8_t *s = (const uint8_t *)src;
    uint8_t *d = (uint8_t *)dst;
    int swap = (be != 0) != (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__);
    if (!swap) {
        memcpy(d, s, n);
        return;
    }
    for (size_t i = 0; i < n; ++i) d[i] = s[n - 1 - i];
}
static inline int32_t wfm_load_i32(const uint8_t *p, int be) {
    int32_t v;
    wfm_bswap_copy(&v, p, 4, be);
    return v;
}
static inline int16_t wfm_load_i16(const uint8_t *p, int be) {
    int16_t v;
    wfm_bswap_copy(&v, p, 2, be);
    return v;
}
static inline double wfm_load_f64(const uint8_t *p, int be) {
    double v;
    wfm_bswap_copy(&v, p, 8, be);
    return v;
}
static inline void wfm_store_i32(uint8_t *p, int32_t v, int be) { wfm_bswap_copy(p, &v, 4, be); }
static inline void wfm_store_i16(uint8_t *p, int16_t v, int be) { wfm_bswap_copy(p, &v, 2, be); }
static inline void wfm_store_f64(uint8_t *p, double v, int be) { wfm_bswap_copy(p, &v, 8, be); }

#ifdef __cplusplus
}
static_assert(WFM_HCB_KEYWORDS + WFM_HCB_KEYWORDS_MAX == WFM_HCB_XSTART, "keyword area ends at xstart");
static_assert(WFM_HCB_OUTBYTES + 8 * 8 == WFM_HCB_KEYLENGTH, "outbytes is eight doubles");
static_assert(WFM_HCB_XUNITS + 4 <= WFM_BLUE_HCB_BYTES, "adjunct fits the HCB");
static_assert(WFM_HCB_DATA_SIZE == 40 && WFM_HCB_EXT_START == 24 && WFM_HCB_KEYLENGTH == 160, "patched fields");
#endif
