// SigMF metadata: building the JSON document written beside a capture (with
// optional composer annotations), naming the metadata file, and parsing the
// fields a reader needs (datatype, sample rate, centre frequency).
#pragma once
#include "capture_files/composer.h"
#include "core/sx_status.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Longest metadata file name, in characters (a longer one is refused, never truncated). */
#define WFM_SIGMF_NAME_MAX 1023

/* Compact JSON metadata document, NUL-terminated, to be released with
 * wfm_sigmf_meta_free. Null when sample_type is above 9 or the document cannot
 * be built.
 * sample_type  capture index 0..9; big_endian 0/1 (no suffix for 8-bit types)
 * segs, n_segs composer segments for the annotations (null/0 for none)
 * fs [Hz] (omitted when 0 and not derivable from the segments), fc [Hz] (omitted
 * when 0), t0 [s since 1970 UTC] (datetime omitted when 0). */
SX_API char *wfm_sigmf_meta_json(int sample_type, int big_endian, const wfm_segment *segs, size_t n_segs, double fs,
                                 double fc, double t0);
/* As wfm_sigmf_meta_json, naming the data file in global "core:dataset" when
 * `dataset` is not null: the sidecar of a raw capture, whose data file is not a
 * "<base>.sigmf-data" that SigMF readers would find by name. */
SX_API char *wfm_sigmf_meta_json_dataset(int sample_type, int big_endian, const wfm_segment *segs, size_t n_segs,
                                         double fs, double fc, double t0, const char *dataset);
SX_API void wfm_sigmf_meta_free(char *json);

/* Version of the "tessel" SigMF extension (the annotation keys "tessel:..."),
 * declared in global "core:extensions" by every document that uses its keys. */
#define WFM_SIGMF_TESSEL_VERSION "1.0.0"

/* SigMF datatype text for a capture index ("cf32_le", "ri8", ...) into out[0..cap).
 * Returns 0, or -1 for a bad index or too small a buffer. */
SX_API int wfm_sigmf_datatype(int sample_type, int big_endian, char *out, size_t cap);

/* Metadata file name for a capture path: "<base>.sigmf-meta" when the path is
 * longer than 10 characters and ends in ".sigmf-data" (base = text before the
 * last '.' that follows the last '/'), otherwise path + ".sigmf-meta".
 * Returns 0, or -1 for a null argument or a name that would not fit in
 * min(cap, WFM_SIGMF_NAME_MAX + 1) bytes. */
SX_API int wfm_sigmf_meta_path(const char *path, char *out, size_t cap);

/* What a reader takes from a metadata document. */
typedef struct wfm_sigmf_info {
    int sample_type;    /* capture index 0..9 */
    int big_endian;     /* 1 when the datatype text after the element name contains "be" */
    double fs;          /* global core:sample_rate when numeric, else 0 */
    double fc;          /* captures[0] core:frequency when numeric, else 0 */
    int fc_present;     /* 1 when fc came from core:frequency */
} wfm_sigmf_info;

/* Parses a metadata document of `len` bytes (need not be NUL-terminated).
 * Returns 0, or -1 when the text is empty, not JSON, or lacks an object "global"
 * with a valid string "core:datatype" ("c"|"r" then f32|f64|i32|i16|i8).
 * On failure *out is left untouched. */
SX_API int wfm_sigmf_meta_parse(const char *text, size_t len, wfm_sigmf_info *out);
/* As wfm_sigmf_meta_parse; a refusal worth naming to the user (a datatype this
 * reader does not support, such as an unsigned one; a recording of several
 * channels, global "core:num_channels" above 1) writes its reason to
 * why[0..why_cap) as NUL-terminated text; otherwise why[0] = 0. A
 * "core:num_channels" that is not a whole number of at least 1 is malformed. */
SX_API int wfm_sigmf_meta_parse_why(const char *text, size_t len, wfm_sigmf_info *out, char *why, size_t why_cap);

/* Reads the whole metadata file at `meta_path` and parses it. Returns 0 or -1.
 * Only a non-empty regular file of at most 64 MiB is read: a FIFO, device or
 * directory under that name is refused at once, never waited on. */
SX_API int wfm_sigmf_meta_read(const char *meta_path, wfm_sigmf_info *out);
/* As wfm_sigmf_meta_read, with the reason of wfm_sigmf_meta_parse_why. */
SX_API int wfm_sigmf_meta_read_why(const char *meta_path, wfm_sigmf_info *out, char *why, size_t why_cap);

#ifdef __cplusplus
}
#endif
