// Telemetry sink: empties a telemetry ring and publishes its 16-byte records as
// telemetry frames (subject "iq.<stream>.TLM16"), at most 512 records a frame.
#pragma once
#include <stdint.h>

#include "core/sx_status.h"
#include "core/sx_tlm_core.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct sx_tlm_sink sx_tlm_sink;

/* endpoint: "nats://host[:port][/stream]". Null when the publisher cannot be made. */
SX_API sx_tlm_sink *sx_tlm_sink_open(const char *endpoint);
/* Sends what the ring holds now, without blocking: the records sent by this
 * call, or the first failing send status (the records of that frame are lost).
 * The sink is the ring's one consumer while it pumps. */
SX_API int64_t sx_tlm_sink_pump(sx_tlm_sink *sink, sx_tlm *ctx);
/* Records sent over the sink's life. */
SX_API uint64_t sx_tlm_sink_sent(const sx_tlm_sink *sink);
SX_API void sx_tlm_sink_close(sx_tlm_sink *sink);

#ifdef __cplusplus
}
#endif
