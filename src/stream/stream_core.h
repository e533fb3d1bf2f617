// Stream frames: the 64-byte header with its optional 24-byte fragment
// extension, their validation, reassembly of fragmented frames, received-message
// handles, and the small helpers senders and receivers share (timestamps, mean
// power, element sizes).
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "core/sx_status.h"

#ifdef __cplusplus
extern "C" {
#endif

#define SX_FRAME_HEADER_BYTES 64
#define SX_FRAME_EXT_BYTES 24
#define SX_FRAME_VERSION 2
#define SX_FRAME_FLAG_FRAG 1u

enum { SX_KIND_DATA = 0, SX_KIND_TLM = 1, SX_KIND_EOS = 2 };

/* All integers in the sender's byte order, which must be little-endian ("EEEI"). */
typedef struct sx_frame_header {
    char magic[8];          /* "SXSTREAM" */
    char byte_order[4];     /* "EEEI" */
    uint16_t sample_type;   /* format code of a data frame's samples; 0 otherwise */
    uint16_t kind;          /* 0 data, 1 telemetry, 2 end of stream */
    uint16_t version;       /* 2 */
    uint16_t flags;         /* bit 0: the fragment extension follows */
    uint32_t payload_bytes; /* bytes after the header (and extension) */
    uint64_t seq;           /* per-sender sequence number from 0 */
    uint64_t timestamp_ns;  /* UNIX epoch [ns] */
    double fs;              /* sample rate [Hz] */
    double fc;              /* centre frequency [Hz] */
    uint64_t num_samples;   /* samples or telemetry records in this payload */
} sx_frame_header;

typedef struct sx_frag_ext {
    uint32_t frag_index;  /* 0-based */
    uint32_t frag_count;  /* fragments of the frame */
    uint64_t total_bytes; /* payload of the whole frame */
    uint64_t frag_offset; /* where this fragment's payload goes in the whole payload */
} sx_frag_ext;

/* A received message: a wrapped transport message (no copy) or a reassembled payload. */
typedef struct sx_msg sx_msg;

/* Validates one frame. On success fills the header, the extension and has_ext
 * (extension zeroed and has_ext 0 when absent), the payload pointer (into data)
 * and its length; returns 0. Anything malformed: SX_ERR_INVALID. */
SX_API int sx_frame_parse(const void *data, size_t length, sx_frame_header *hdr, sx_frag_ext *ext, int *has_ext,
                          const void **payload, size_t *payload_len);

/* Bytes per element: kind 1 -> 16 (a telemetry record), kind 0 -> sx_sample_size, else 0. */
SX_API size_t sx_element_size(uint16_t kind, sx_sample_type_t sample_type);

SX_API const void *sx_msg_data(const sx_msg *msg);
SX_API size_t sx_msg_size(const sx_msg *msg);
SX_API uint64_t sx_msg_num_samples(const sx_msg *msg);
SX_API int sx_msg_kind(const sx_msg *msg);
SX_API int sx_msg_sample_type(const sx_msg *msg);
/* Acknowledges a wrapped work-queue message and waits for the server to
 * confirm it: 0, -2 when the acknowledgement fails or is not confirmed (the
 * message may then be delivered again), 0 for a reassembled payload, -4 for null. */
SX_API int sx_msg_ack(sx_msg *msg);
SX_API void sx_msg_free(sx_msg *msg);

/* CLOCK_REALTIME in ns since the UNIX epoch. */
SX_API uint64_t sx_get_timestamp_ns(void);
/* Mean of I^2 + Q^2 over n samples at unit full scale; 0 for scalar types, n = 0 or null data. */
SX_API double sx_mean_power(sx_sample_type_t sample_type, const void *data, size_t n);
/* The same over a data message's payload; 0 for null or a non-data kind. */
SX_API double sx_msg_mean_power(const sx_msg *msg);
/* "EEEI": the byte-order tag of this host. */
SX_API const char *sx_host_rep(void);

/* Reassembly of fragmented frames, usable without a transport. One table holds
 * the frames in progress, each keyed by its origin (a caller-chosen key such as
 * the subject), its seq and its timestamp, so interleaved frames of several
 * senders do not disturb one another. max_payload bounds a fragment the way the
 * transport does [bytes], > 88. */
typedef struct sx_reasm sx_reasm;
SX_API sx_reasm *sx_reasm_create(int64_t max_payload);
SX_API void sx_reasm_destroy(sx_reasm *r);
/* Frames in progress. */
SX_API size_t sx_reasm_pending(const sx_reasm *r);
/* Frames given up unfinished: at most 8 are kept in progress, and a new one
 * beyond that replaces the one that has waited longest (a sender that died
 * mid-frame must not hold its slot for ever). */
SX_API uint64_t sx_reasm_abandoned(const sx_reasm *r);
/* Feeds one validated-or-not fragment (a whole frame with extension). Returns 1
 * with *out (and *hdr when given) set when this fragment completes its frame, 0
 * when it was taken (or was a repeat) and the frame is still incomplete, or
 * SX_ERR_INVALID / SX_ERR_NOMEM; a refused fragment leaves every frame in progress
 * as it was. */
SX_API int sx_reasm_push(sx_reasm *r, const char *key, const void *data, size_t length, sx_msg **out,
                         sx_frame_header *hdr);

#ifdef __cplusplus
}

static_assert(sizeof(sx_frame_header) == SX_FRAME_HEADER_BYTES);
static_assert(offsetof(sx_frame_header, byte_order) == 8);
static_assert(offsetof(sx_frame_header, sample_type) == 12);
static_assert(offsetof(sx_frame_header, kind) == 14);
static_assert(offsetof(sx_frame_header, version) == 16);
static_assert(offsetof(sx_frame_header, flags) == 18);
static_assert(offsetof(sx_frame_header, payload_bytes) == 20);
static_assert(offsetof(sx_frame_header, seq) == 24);
static_assert(offsetof(sx_frame_header, timestamp_ns) == 32);
static_assert(offsetof(sx_frame_header, fs) == 40);
static_assert(offsetof(sx_frame_header, fc) == 48);
static_assert(offsetof(sx_frame_header, num_samples) == 56);
static_assert(sizeof(sx_frag_ext) == SX_FRAME_EXT_BYTES);
static_assert(offsetof(sx_frag_ext, frag_count) == 4);
static_assert(offsetof(sx_frag_ext, total_bytes) == 8);
static_assert(offsetof(sx_frag_ext, frag_offset) == 16);

#include <string_view>

typedef struct __natsMsg natsMsg;

namespace sx::stream {

// The 64-byte header of a frame about to be sent; flags 0.
sx_frame_header make_header(uint16_t kind, sx_sample_type_t sample_type, uint32_t payload_bytes, uint64_t seq,
                            uint64_t timestamp_ns, double fs, double fc, uint64_t num_samples);

// Subject suffix of a frame: "CF32" ... for data, "TLM16", "EOS".
const char *subject_suffix(uint16_t kind, sx_sample_type_t sample_type);

// A handle wrapping a transport message; the payload starts at `offset`. Takes
// ownership of `m` only on success (null on allocation failure).
sx_msg *wrap(natsMsg *m, size_t offset, uint16_t kind, sx_sample_type_t sample_type, uint64_t num_samples);

// Feeds a fragment whose header and extension are already parsed.
int reasm_feed(sx_reasm *r, std::string_view key, const sx_frame_header &h, const sx_frag_ext &x,
               const unsigned char *payload, size_t len, sx_msg **out, sx_frame_header *hdr);

}  // namespace sx::stream
#endif
