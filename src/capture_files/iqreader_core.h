// Capture reader: opens a raw, CSV, BLUE (attached or detached) or SigMF capture,
// detects its type from content and sibling files, and returns unit-scale complex
// samples (interleaved float32 I, Q) whatever the wire type. It also publishes the
// capture's metadata (fs, fc, t0 and their sources, BLUE header fields, keywords)
// and can follow a capture that another writer is still appending to.
//
// Every number read from a file is distrusted: offsets and sizes are checked in
// 64-bit arithmetic against the file's size before they are used to seek or to
// size an allocation, and a header or keyword area that does not hold together
// is refused (the open fails) or skipped (its keywords are dropped).
#pragma once
#include "capture_files/keywords.h"
#include "core/sx_status.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct iqreader iqreader;

/* Stop request for follow mode: no arguments, non-zero = stop requested. */
typedef int (*iqreader_stop_fn)(void);

/* Source enumerations (numbers at the core interface). */
enum { IQR_FC_NONE = 0, IQR_FC_FREQ = 1, IQR_FC_RF_FREQ = 2, IQR_FC_CENTER_FREQ = 3, IQR_FC_F_C = 4, IQR_FC_SIGMF = 5 };
enum { IQR_FS_NONE = 0, IQR_FS_XDELTA = 1, IQR_FS_SIGMF = 2 };
enum { IQR_T0_NONE = 0, IQR_T0_TIMECODE = 1 };
/* How the last follow call ended. */
enum { IQR_END_NONE = 0, IQR_END_EOF = 1, IQR_END_TIMEOUT = 2, IQR_END_INTERRUPTED = 3 };
enum { IQR_MODE_COMPLEX = 0, IQR_MODE_SCALAR = 1 };
enum { IQR_ENDIAN_LE = 0, IQR_ENDIAN_BE = 1 };

/* Everything iqreader_info reports, in the order it fills it. */
typedef struct iqreader_info_t {
    int file_type;           /* 0 raw, 1 csv, 2 blue, 3 sigmf */
    int sample_type;         /* capture index 0..9 */
    int mode;                /* IQR_MODE_* */
    int endian;              /* IQR_ENDIAN_* */
    double fs;               /* sample rate [Hz], 0 when unknown */
    double fc;               /* centre frequency [Hz], 0 when unknown */
    uint64_t num_samples;    /* as iqreader_get_num_samples */
    int fc_source;           /* IQR_FC_* */
    uint64_t trailing_bytes; /* payload bytes after the last whole sample */
    int fs_source;           /* IQR_FS_* */
    double t0;               /* capture start [s since the UNIX epoch], 0 when unknown */
    int t0_source;           /* IQR_T0_* */
} iqreader_info_t;

/* path         capture to open (".sigmf-data" and ".det" names find their siblings)
 * stype_hint   capture index 0..9, used only by the headerless types (raw, csv)
 * endian_hint  0 little, 1 big, used only by raw captures
 * Returns null when the file is missing, its type cannot be recognised, its
 * metadata is unreadable or its header does not hold together. */
SX_API iqreader *iqreader_create(const char *path, int stype_hint, int endian_hint);
/* As iqreader_create; when the open fails for a reason worth naming (a SigMF
 * datatype that is not supported, a multi-channel SigMF recording), that reason
 * is written to why[0..why_cap) as NUL-terminated text, else why[0] = 0. */
SX_API iqreader *iqreader_create_why(const char *path, int stype_hint, int endian_hint, char *why, size_t why_cap);
/* Closes the files and frees everything; null is harmless. */
SX_API void iqreader_destroy(iqreader *r);

/* Up to min(count, capacity) samples into `out` (2 floats each); 0 at the end. */
SX_API size_t iqreader_read(iqreader *r, size_t count, float *out, size_t capacity);
/* The most samples a read can return now: n, bounded by the whole samples the
 * capture holds from the read position (for a CSV, by the rows its remaining
 * bytes can hold), so a result sized by it never exceeds what exists. */
SX_API size_t iqreader_read_max_out(const iqreader *r, size_t n);
/* Like iqreader_read, but waits for a live capture to grow. Returns 0 only when
 * the capture ended; iqreader_get_ending says how (eof, timeout, interrupted). */
SX_API size_t iqreader_read_follow(iqreader *r, size_t count, float *out, size_t capacity);
/* The most samples a follow call returns: n, bounded by the larger of what a
 * read could return now and IQR_FOLLOW_CHUNK (a follow call returns what has
 * arrived, and the caller calls again for more). */
#define IQR_FOLLOW_CHUNK ((size_t)1 << 20)
SX_API size_t iqreader_read_follow_max_out(const iqreader *r, size_t n);
/* Back to the first sample; metadata unchanged. */
SX_API void iqreader_reset(iqreader *r);

SX_API int iqreader_get_file_type(const iqreader *r);
SX_API int iqreader_get_sample_type(const iqreader *r);
SX_API int iqreader_get_mode(const iqreader *r);
SX_API int iqreader_get_endian(const iqreader *r);
SX_API double iqreader_get_fs(const iqreader *r);
SX_API double iqreader_get_fc(const iqreader *r);
SX_API int iqreader_get_fc_source(const iqreader *r);
SX_API int iqreader_get_fs_source(const iqreader *r);
SX_API double iqreader_get_t0(const iqreader *r);
SX_API int iqreader_get_t0_source(const iqreader *r);
SX_API uint64_t iqreader_get_trailing_bytes(const iqreader *r);
/* Declared sample count; a CSV counts its rows on the first request. */
SX_API uint64_t iqreader_get_num_samples(iqreader *r);
SX_API int iqreader_get_ending(const iqreader *r);
/* Follow budgets [ms]: timeout 0 waits forever; grace is the wait after a stop request. */
SX_API uint32_t iqreader_get_follow_timeout_ms(const iqreader *r);
SX_API void iqreader_set_follow_timeout_ms(iqreader *r, uint32_t ms);
SX_API uint32_t iqreader_get_follow_grace_ms(const iqreader *r);
SX_API void iqreader_set_follow_grace_ms(iqreader *r, uint32_t ms);
SX_API void iqreader_set_stop_fn(iqreader *r, iqreader_stop_fn fn);
SX_API void iqreader_info(iqreader *r, iqreader_info_t *out);

/* Keywords (HCB keyword area then extended header, in load order). */
SX_API size_t iqreader_num_keywords(const iqreader *r);
SX_API const wfm_kw_record *iqreader_keyword(const iqreader *r, size_t i);
SX_API const char *iqreader_keyword_tag(const iqreader *r, size_t i);
SX_API const wfm_kw_record *iqreader_find_keyword(const iqreader *r, const char *tag);
/* BLUE header fields, in header order, each as a decoded keyword record. */
SX_API size_t iqreader_num_header_fields(const iqreader *r);
SX_API const wfm_kw_record *iqreader_header_field(const iqreader *r, size_t i);
SX_API const char *iqreader_header_tag(const iqreader *r, size_t i);
SX_API const wfm_kw_record *iqreader_find_header_field(const iqreader *r, const char *tag);

#ifdef __cplusplus
}
#endif
