// Capture writer: unit-scale complex float samples to a raw, CSV, BLUE or SigMF
// capture in one of ten wire sample types, with gain, peak and clip accounting,
// BLUE keywords, and the header patched at close.
#pragma once
#include <stdio.h>

#include "capture_files/blue_format.h"
#include "core/sx_status.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct iqwriter iqwriter;

/* Opens `path` ("wb") and starts a capture.
 * file_type    WFM_FILE_RAW 0, CSV 1, BLUE 2, SIGMF 3
 * sample_type  capture index 0..9 (cf32 ... i8)
 * big_endian   0 little, 1 big (binary types; CSV ignores it)
 * total        expected samples, written to the BLUE header as data_size until close (0 = unknown)
 * sidecar      non-zero: raw and CSV captures get "<path>.sigmf-meta" at close
 * fs, fc       sample rate and centre frequency [Hz] (0 = unknown)
 * headroom_db  gain g = 10^(-headroom/20) applied before quantisation; 0 leaves g = 1
 * t0           start time [s since 1970 UTC]; 0 = unknown
 * Returns null, with nothing left open, for a SigMF path not ending in
 * ".sigmf-data", a metadata name that would exceed 1023 characters, bad types
 * or a headroom that is not finite or gives a gain beyond float range (all
 * refused before any file is created), a failed
 * open, or a failed header write (the file is then left as the write left it). */
SX_API iqwriter *iqwriter_create(const char *path, int file_type, int sample_type, int big_endian, uint64_t total,
                                 int sidecar, double fs, double fc, double headroom_db, double t0);

/* Starts a capture on a caller's stream (not closed by the writer, only flushed).
 * For BLUE writes the HCB at the current position (data_start 512). Null for a
 * null stream, bad types, or a failed header write. */
SX_API iqwriter *iqwriter_open(FILE *f, int file_type, int sample_type, int big_endian, uint64_t total, double fs,
                               double fc, double t0);

/* Writes n interleaved I/Q float pairs; returns the samples that reached the
 * stream (0..n). A short write leaves the file ending on a sample boundary. */
SX_API size_t iqwriter_write(iqwriter *w, const float *iq, size_t n);

/* BLUE only: queues a keyword written at close. code one of A B I L T X F D;
 * value holds count elements of the code's size in host order. Returns 0 or -1. */
SX_API int iqwriter_add_keyword(iqwriter *w, const char *tag, char code, const void *value, size_t count);

/* Flushes the stream; -1 for a null writer, a stream in error, or a failed flush. */
SX_API int iqwriter_flush(iqwriter *w);

SX_API void iqwriter_set_gain(iqwriter *w, float gain);
SX_API void iqwriter_track_clipping(iqwriter *w, int on);

/* Largest |I·g| or |Q·g| of the samples written; 0 for a null writer. */
SX_API double iqwriter_peak(const iqwriter *w);
/* 20·log10(peak), -inf when peak is 0. */
SX_API double iqwriter_get_peak_dbfs(const iqwriter *w);
/* 1 when peak > 1 and the wire type is an integer type. */
SX_API int iqwriter_get_clipped(const iqwriter *w);
/* clip count / (2 × samples written); 0 when nothing was written. */
SX_API double iqwriter_clip_fraction(const iqwriter *w);
SX_API double iqwriter_get_clip_fraction(const iqwriter *w);
/* Samples written so far. */
SX_API uint64_t iqwriter_samples_written(const iqwriter *w);
/* Number of clipped components counted while tracking was on. */
SX_API uint64_t iqwriter_clip_count(const iqwriter *w);

/* Finishes the capture (BLUE: data_size, keyword area, extended header; SigMF
 * and sidecar: metadata file) and frees the writer in every case.
 * Returns 0, or -1 when any step failed; a null writer gives 0. */
SX_API int iqwriter_close(iqwriter *w);
SX_API int iqwriter_destroy(iqwriter *w);

/* Writes the writer's SigMF metadata file next to its kept path. 0 or -1. */
SX_API int write_sigmf_sidecar(iqwriter *w);

#ifdef __cplusplus
}
#endif
