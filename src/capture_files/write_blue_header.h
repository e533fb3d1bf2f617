// Building and writing the 512-byte BLUE header control block.
#pragma once
#include <stdio.h>

#include "capture_files/blue_format.h"
#include "core/sx_status.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Fills hcb[0..512) (type-1000 layout, see blue_format.h):
 * sample_type  capture index 0..9
 * big_endian   0 "EEEI", else "IEEE"; numeric fields in that order
 * total        expected samples; data_size = total × bytes per sample (0 = unknown)
 * detached     written as is into `detached`
 * fs           sample rate [Hz]; xdelta = 1/fs, 0 when fs == 0
 * fc           centre frequency [Hz]; != 0 puts "FREQ=%.17g\0" in the keyword area
 * data_start   payload byte offset written as is
 * t0           start [s since 1970 UTC]; != 0 (NaN included) gives timecode t0 + 631152000
 * Returns 0, or -1 for a null hcb or a sample type above 9. */
SX_API int wfm_blue_build_hcb(uint8_t *hcb, int sample_type, int big_endian, uint64_t total, int detached,
                              double fs, double fc, double data_start, double t0);

/* Builds the HCB and writes its 512 bytes at the stream's current position.
 * Returns 0, or -1 for a null stream, a sample type above 9, or a short write. */
SX_API int wfm_blue_write_hcb(FILE *f, int sample_type, int big_endian, uint64_t total, int detached, double fs,
                              double fc, double data_start, double t0);

/* Opens `path` for writing (truncating), writes the HCB, closes it.
 * Returns 0, or -1 when the open, the write or the close fails. */
SX_API int write_blue_header(const char *path, int sample_type, int big_endian, uint64_t total, int detached,
                             double fs, double fc, double data_start, double t0);

#ifdef __cplusplus
}
#endif
