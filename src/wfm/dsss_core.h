// Direct-sequence spreading: complex symbols spread by a chip code, two-code
// bursts (an unmodulated acquisition preamble, then a frame whose every bit is
// spread by a data code) and the reference chip stream of continuous spreading.
//
// Chips and bits are one per byte; only bit 0 is read. A chip c stands for the
// real symbol +1 when c is 0 and -1 when c is 1.
#pragma once
#include "wfm/frame_core.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Kernel: each of the n interleaved complex symbols (2n floats) becomes sf
 * chips, -s where code[j] is 1, else s (code holds at least sf chips). */
SX_API void wfm_dsss_spread(const float *syms, size_t n, const uint8_t *code, size_t sf, float *out);
/* n * sf complex values into out (2 n sf floats): nothing for sf <= 0 (returns
 * 0), zeros when the code is shorter than sf. Returns the values written, or 0
 * when n * sf overflows. */
SX_API size_t dsss_spread(const float *syms, size_t n, const uint8_t *code, size_t code_len, int sf, float *out);

/* Burst of a frame description: acq_len * acq_reps acquisition chips, then
 * data_code_len chips per frame bit (the frame's declared wire bits; a frame
 * whose kernels expand it otherwise is sized by wfm_frame_wire_bits). 0 when the frame
 * has bits but there is no data code, the burst is empty, the description's
 * layout is refused or the length overflows. */
SX_API uint64_t wfm_dsss_desc_nchips(const wfm_frame_desc_t *desc, uint64_t acq_len, uint64_t acq_reps,
                                     uint64_t data_code_len);
/* Writes the burst (frame assembled with `ops`, may be null, and as long as
 * its kernels make it); returns the chips written, or 0 when the geometry is refused, it exceeds capacity, a code or
 * the output is missing, or the frame does not assemble. */
SX_API uint64_t wfm_dsss_desc_chips(const wfm_frame_desc_t *desc, const wfm_frame_ops_t *ops, const uint8_t *acq_code,
                                    uint64_t acq_len, uint64_t acq_reps, const uint8_t *data_code,
                                    uint64_t data_code_len, uint8_t *out, uint64_t capacity);

/* The same for the frame [sync | payload | CRC-16 of the payload when crc != 0]. */
SX_API uint64_t wfm_frame_dsss_nchips(uint64_t acq_len, uint64_t acq_reps, uint64_t data_code_len, uint64_t sync_len,
                                      uint64_t payload_len, int crc);
/* out holds wfm_frame_dsss_nchips(...) chips. */
SX_API uint64_t wfm_frame_dsss_chips(const uint8_t *acq_code, uint64_t acq_len, uint64_t acq_reps,
                                     const uint8_t *data_code, uint64_t data_code_len, const uint8_t *sync,
                                     uint64_t sync_len, const uint8_t *payload, uint64_t payload_len, int crc,
                                     uint8_t *out);

/* Reference stream of continuous spreading: chip i = code[i mod code_len] XOR
 * payload[floor(i / chips_per_symbol) mod payload_len], the same symbol
 * boundaries the engine uses. Returns n, with the symbol index of the last chip
 * in *last_symbol (may be null); 0 for a missing or empty code or payload,
 * n = 0, chips_per_symbol not above 0 (or NaN), or a symbol index past 2^63. */
SX_API uint64_t wfm_cont_dsss_chips(const uint8_t *code, uint64_t code_len, const uint8_t *payload,
                                    uint64_t payload_len, uint64_t n, uint8_t *out, double chips_per_symbol,
                                    uint64_t *last_symbol);

typedef struct wfm_synth wfm_synth;
/* Installs the burst of [sync | payload | CRC-16 when crc != 0] on a "dsss"
 * engine, which then plays it chip by chip, back to back. 0, or -1 (nothing
 * changed) for another waveform type, a refused geometry or allocation failure. */
SX_API int wfm_synth_set_dsss(wfm_synth *e, const uint8_t *acq_code, uint64_t acq_len, uint64_t acq_reps,
                              const uint8_t *data_code, uint64_t data_code_len, const uint8_t *sync,
                              uint64_t sync_len, const uint8_t *payload, uint64_t payload_len, int crc);

#ifdef __cplusplus
}
#endif
