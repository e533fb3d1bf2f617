// Stream transport over NATS: one context per endpoint and role (publisher,
// subscriber, work-queue push and pull, requester, replier), typed sends with
// fragmentation, framed receives with reassembly, interruptible waits.
//
// Endpoint: "nats://host[:port][/stream]"; the stream name defaults to "default".
// Subjects: "iq.<stream>.<suffix>" (publish/subscribe), "work.<stream>.<suffix>"
// (work queue, JetStream stream "SX_WORK_<stream>", durable consumer
// "SX_PULL_<stream>"), and the stream name itself (request/reply). A stream name
// must form valid subject tokens: no blanks or control characters, no "*" or
// ">", no empty token.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "core/sx_status.h"
#include "stream/stream_core.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct sx_stream_ctx sx_stream_ctx;

enum {
    SX_ROLE_PUB = 0,
    SX_ROLE_SUB = 1,
    SX_ROLE_PUSH = 2,
    SX_ROLE_PULL = 3,
    SX_ROLE_REQ = 4,
    SX_ROLE_REP = 5,
};

/* Creation: null for a bad sample type or endpoint, a failed connection or a
 * failed set-up of the role's subscription or server-side objects. */
SX_API sx_stream_ctx *sx_pub_create(const char *endpoint, sx_sample_type_t sample_type);
SX_API sx_stream_ctx *sx_pub_create_tlm(const char *endpoint);
SX_API sx_stream_ctx *sx_sub_create(const char *endpoint);
SX_API sx_stream_ctx *sx_push_create(const char *endpoint, sx_sample_type_t sample_type);
SX_API sx_stream_ctx *sx_pull_create(const char *endpoint);
SX_API sx_stream_ctx *sx_req_create(const char *endpoint);
SX_API sx_stream_ctx *sx_rep_create(const char *endpoint);

SX_API void sx_pub_destroy(sx_stream_ctx *ctx);
SX_API void sx_sub_destroy(sx_stream_ctx *ctx);
SX_API void sx_push_destroy(sx_stream_ctx *ctx);
SX_API void sx_pull_destroy(sx_stream_ctx *ctx);
SX_API void sx_req_destroy(sx_stream_ctx *ctx);
SX_API void sx_rep_destroy(sx_stream_ctx *ctx);

/* Typed sends: n samples (n > 0) of interleaved I/Q; fs [Hz] and fc [Hz] go into
 * the header. Only the publisher fragments a frame larger than the server's max
 * payload; the other roles refuse it with SX_ERR_TOO_BIG. */
#define SX_DECLARE_SENDS(role)                                                                                   \
    SX_API int sx_##role##_send_cf32(sx_stream_ctx *ctx, const float *samples, size_t n, double fs, double fc);   \
    SX_API int sx_##role##_send_cf64(sx_stream_ctx *ctx, const double *samples, size_t n, double fs, double fc);  \
    SX_API int sx_##role##_send_ci32(sx_stream_ctx *ctx, const int32_t *samples, size_t n, double fs, double fc); \
    SX_API int sx_##role##_send_ci16(sx_stream_ctx *ctx, const int16_t *samples, size_t n, double fs, double fc); \
    SX_API int sx_##role##_send_ci8(sx_stream_ctx *ctx, const int8_t *samples, size_t n, double fs, double fc);
SX_DECLARE_SENDS(pub)
SX_DECLARE_SENDS(push)
SX_DECLARE_SENDS(req)
SX_DECLARE_SENDS(rep)
#undef SX_DECLARE_SENDS

/* n telemetry records of 16 bytes (kind 1). */
SX_API int sx_pub_send_tlm16(sx_stream_ctx *ctx, const void *records, size_t n, double fs, double fc);
/* The end-of-stream frame. */
SX_API int sx_pub_send_eos(sx_stream_ctx *ctx);
/* The next frame sent carries `ns` as its timestamp instead of the clock. */
SX_API void sx_ctx_set_timestamp_ns(sx_stream_ctx *ctx, uint64_t ns);

/* Raw request/reply: the bytes as they are, no frame. */
SX_API int sx_req_send(sx_stream_ctx *ctx, const void *data, size_t length);
SX_API int sx_rep_send(sx_stream_ctx *ctx, const void *data, size_t length);
SX_API int sx_req_recv(sx_stream_ctx *ctx, sx_msg **out, size_t *length);
SX_API int sx_rep_recv(sx_stream_ctx *ctx, sx_msg **out, size_t *length);

/* Framed receives: 0 with a handle (and the header when hdr is given), or a
 * failure status and no handle. SX_ERR_EOF for an end-of-stream frame. */
SX_API int sx_sub_recv(sx_stream_ctx *ctx, sx_msg **out, sx_frame_header *hdr);
SX_API int sx_pull_recv(sx_stream_ctx *ctx, sx_msg **out, sx_frame_header *hdr);
SX_API int sx_req_recv_signal(sx_stream_ctx *ctx, sx_msg **out, sx_frame_header *hdr);
SX_API int sx_rep_recv_signal(sx_stream_ctx *ctx, sx_msg **out, sx_frame_header *hdr);

/* Receive timeout [ms]: < 0 waits for ever, 0 counts as 1 ms. */
SX_API int sx_sub_set_timeout(sx_stream_ctx *ctx, int64_t ms);
SX_API int sx_pull_set_timeout(sx_stream_ctx *ctx, int64_t ms);
SX_API int sx_req_set_timeout(sx_stream_ctx *ctx, int64_t ms);
SX_API int sx_rep_set_timeout(sx_stream_ctx *ctx, int64_t ms);

/* Waits for the server to confirm what was sent; timeout_ms <= 0 means 2000. */
SX_API int sx_pub_flush(sx_stream_ctx *ctx, int64_t timeout_ms);
/* Stops receiving, flushes what is pending and closes the connection, waiting
 * up to timeout_ms (<= 0 means 5000); the context must still be destroyed. */
SX_API int sx_stream_drain(sx_stream_ctx *ctx, int64_t timeout_ms);
/* The server's max payload as read at connection [bytes]; 0 for null. */
SX_API int64_t sx_stream_max_payload(const sx_stream_ctx *ctx);
/* Fragmented frames still being reassembled on a receiving context, and those
 * given up unfinished (see sx_reasm_abandoned). */
SX_API size_t sx_stream_pending_frames(const sx_stream_ctx *ctx);
SX_API uint64_t sx_stream_abandoned_frames(const sx_stream_ctx *ctx);

/* The process-wide interrupt, under the transport's names. */
SX_API void sx_stream_interrupt(void);
SX_API void sx_stream_resume(void);
SX_API int sx_stream_interrupted(void);
SX_API void sx_stream_set_interrupt_latency_ms(uint32_t ms);
SX_API uint32_t sx_stream_interrupt_latency_ms(void);
SX_API int sx_stream_interrupt_on_signal(int sig);
SX_API int sx_stream_restore_signal(int sig);

#ifdef __cplusplus
}
#endif
