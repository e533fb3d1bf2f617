// Stream sink: unit-scale cf32 blocks, times a gain, converted to one of the five
// complex wire types (cf32, cf64, ci32, ci16, ci8) with the capture writer's
// quantisation, peak and optional clip accounting, each published as one data
// frame on "iq.<stream>.<type>"; then end of stream and drain.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "core/sx_status.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct wfm_stream_sink wfm_stream_sink;

/* 1: the stream transport is present in this build. */
SX_API int wfm_stream_sink_available(void);
/* endpoint: "nats://host[:port][/stream]"; wire: 0 cf32, 1 cf64, 2 ci32, 3 ci16, 4 ci8.
 * Null for another wire index, a refused endpoint, no server or no memory. */
SX_API wfm_stream_sink *wfm_stream_sink_open(const char *endpoint, int wire);
/* samples: n interleaved I/Q float pairs at unit full scale; fs, fc [Hz] go into
 * the frame header. The publish status, or -1 for a null sink, null samples
 * with n > 0, or a conversion buffer that cannot grow. */
SX_API int wfm_stream_sink_send(wfm_stream_sink *s, const float *samples, size_t n, double fs, double fc);
/* 0 when the sink or its publisher is missing. */
SX_API int wfm_stream_sink_send_eos(wfm_stream_sink *s);
/* timeout_ms <= 0 means 5000. 0 when the sink or its publisher is missing. */
SX_API int wfm_stream_sink_drain(wfm_stream_sink *s, int64_t timeout_ms);
SX_API void wfm_stream_sink_close(wfm_stream_sink *s);
SX_API void wfm_stream_sink_track_clipping(wfm_stream_sink *s, int on);
/* gain: linear factor applied before conversion, stored as float; 0, or -4 for
 * a null sink or a gain that is not finite in single precision (it would turn
 * every sample into the same code). */
SX_API int wfm_stream_sink_set_gain(wfm_stream_sink *s, double gain);
/* Largest |I·g| or |Q·g| sent to an integer wire type; 0 for null. */
SX_API double wfm_stream_sink_peak(const wfm_stream_sink *s);
/* Clipped components / components sent to an integer type; 0 when none. */
SX_API double wfm_stream_sink_clip_fraction(const wfm_stream_sink *s);

#ifdef __cplusplus
}
#endif
