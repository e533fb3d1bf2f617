#include "stream/stream_nats.h"

#include <nats/nats.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>

#include "core/sx_interrupt_guard_core.h"

namespace {

constexpr size_t kHead = SX_FRAME_HEADER_BYTES;
constexpr size_t kFragHead = SX_FRAME_HEADER_BYTES + SX_FRAME_EXT_BYTES;
constexpr int64_t kDefaultMaxPayload = 1048576;
constexpr size_t kMaxUrl = 511;
constexpr int kReconnectWaitMs = 100;
constexpr int kReconnectBufBytes = 8388608;
constexpr int64_t kAckWaitNs = 5000000000LL;
constexpr int64_t kMaxAckPending = 1000;
constexpr int64_t kDrainPollMs = 20;
constexpr std::align_val_t kBufAlign{64};

}  // namespace

struct sx_stream_ctx {
    int role = 0;
    uint16_t kind = SX_KIND_DATA;
    sx_sample_type_t sample_type = 0;
    uint64_t seq = 0;
    uint64_t ts_override = 0;
    bool ts_set = false;
    natsConnection *nc = nullptr;
    natsSubscription *sub = nullptr;
    jsCtx *js = nullptr;
    std::string stream;  // stream name as given
    std::string prefix;  // "iq.<stream>." or "work.<stream>." for the sending roles
    std::string subject; // reused subject buffer
    std::string inbox;   // requester's reply inbox
    std::string reply;   // replier's remembered reply subject
    bool has_reply = false;
    int64_t timeout_ms = -1;
    int64_t max_payload = kDefaultMaxPayload;
    unsigned char *buf = nullptr;  // send buffer, grown on demand, reused
    size_t buf_cap = 0;
    sx_reasm *reasm = nullptr;

    ~sx_stream_ctx() {
        if (sub != nullptr) natsSubscription_Destroy(sub);
        if (js != nullptr) jsCtx_Destroy(js);
        if (nc != nullptr) natsConnection_Destroy(nc);
        ::operator delete(buf, kBufAlign);
        sx_reasm_destroy(reasm);
    }
};

namespace {

using Ctx = sx_stream_ctx;

int map_send(natsStatus s) {
    if (s == NATS_OK) return SX_OK;
    if (s == NATS_CONNECTION_CLOSED || s == NATS_DRAINING) return SX_ERR_CLOSED;
    return SX_ERR_SEND;
}

// Subject tokens: no blank or control character, no wildcard, none empty.
bool valid_subject_name(const std::string &s) {
    if (s.empty() || s.front() == '.' || s.back() == '.') return false;
    char prev = 0;
    for (unsigned char ch : s) {
        if (ch <= 0x20 || ch == 0x7f || ch == '*' || ch == '>') return false;
        if (ch == '.' && prev == '.') return false;
        prev = static_cast<char>(ch);
    }
    return true;
}

std::string sanitised(const char *prefix, const std::string &name) {
    std::string out(prefix);
    for (char ch : name) out.push_back((ch == ' ' || ch == '*' || ch == '.' || ch == '>') ? '_' : ch);
    return out;
}

bool parse_endpoint(const char *endpoint, std::string &url, std::string &stream) {
    static constexpr char kScheme[] = "nats://";
    constexpr size_t scheme_len = sizeof kScheme - 1;
    if (endpoint == nullptr || std::strncmp(endpoint, kScheme, scheme_len) != 0) return false;
    const char *rest = endpoint + scheme_len;
    const char *slash = std::strchr(rest, '/');
    const size_t server_len = slash ? static_cast<size_t>(slash - rest) : std::strlen(rest);
    // A URL that does not fit is refused rather than cut short to another server.
    if (server_len == 0 || scheme_len + server_len > kMaxUrl) return false;
    url.assign(endpoint, scheme_len + server_len);
    stream = (slash != nullptr && slash[1] != '\0') ? std::string(slash + 1) : std::string("default");
    return valid_subject_name(stream);
}

bool connect(Ctx *c, const std::string &url) {
    natsOptions *o = nullptr;
    if (natsOptions_Create(&o) != NATS_OK) return false;
    natsStatus s = natsOptions_SetURL(o, url.c_str());
    if (s == NATS_OK) s = natsOptions_SetAllowReconnect(o, true);
    if (s == NATS_OK) s = natsOptions_SetMaxReconnect(o, -1);
    if (s == NATS_OK) s = natsOptions_SetReconnectWait(o, kReconnectWaitMs);
    if (s == NATS_OK) s = natsOptions_SetReconnectBufSize(o, kReconnectBufBytes);
    if (s == NATS_OK) s = natsConnection_Connect(&c->nc, o);
    natsOptions_Destroy(o);
    return s == NATS_OK;
}

// Flushed so that the server knows the interest when create returns: a frame
// published right after it is not missed.
bool subscribe_sync(Ctx *c, const char *subject) {
    return natsConnection_SubscribeSync(&c->sub, c->nc, subject) == NATS_OK &&
           natsSubscription_SetPendingLimits(c->sub, -1, -1) == NATS_OK && natsConnection_Flush(c->nc) == NATS_OK;
}

bool setup_push(Ctx *c) {
    if (natsConnection_JetStream(&c->js, c->nc, nullptr) != NATS_OK) return false;
    const std::string name = sanitised("SX_WORK_", c->stream);
    const std::string subj = "work." + c->stream + ".>";
    const char *subjects[] = {subj.c_str()};
    jsStreamConfig cfg;
    jsStreamConfig_Init(&cfg);
    cfg.Name = name.c_str();
    cfg.Subjects = subjects;
    cfg.SubjectsLen = 1;
    cfg.Retention = js_WorkQueuePolicy;
    cfg.Storage = js_FileStorage;
    cfg.Replicas = 1;
    jsStreamInfo *si = nullptr;
    jsErrCode je{};
    if (js_AddStream(&si, c->js, &cfg, nullptr, &je) != NATS_OK) {
        if (js_GetStreamInfo(&si, c->js, name.c_str(), nullptr, &je) != NATS_OK) return false;
    }
    jsStreamInfo_Destroy(si);
    return true;
}

// The durable consumer is made (or found) on its own and the subscription bound
// to it: a consumer that the subscribe call itself creates is deleted by the
// client when that subscription is unsubscribed or drained, which would pull
// the queue from under every other worker sharing it.
bool setup_pull(Ctx *c) {
    if (natsConnection_JetStream(&c->js, c->nc, nullptr) != NATS_OK) return false;
    const std::string stream = sanitised("SX_WORK_", c->stream);
    const std::string durable = sanitised("SX_PULL_", c->stream);
    const std::string subj = "work." + c->stream + ".>";
    jsConsumerConfig cc;
    jsConsumerConfig_Init(&cc);
    cc.Durable = durable.c_str();
    cc.AckPolicy = js_AckExplicit;
    cc.AckWait = kAckWaitNs;
    cc.MaxAckPending = kMaxAckPending;
    cc.FilterSubject = subj.c_str();
    jsConsumerInfo *ci = nullptr;
    jsErrCode je{};
    if (js_AddConsumer(&ci, c->js, stream.c_str(), &cc, nullptr, &je) != NATS_OK) {
        if (js_GetConsumerInfo(&ci, c->js, stream.c_str(), durable.c_str(), nullptr, &je) != NATS_OK) return false;
    }
    jsConsumerInfo_Destroy(ci);
    jsSubOptions so;
    jsSubOptions_Init(&so);
    so.Stream = stream.c_str();
    so.Consumer = durable.c_str();
    so.ManualAck = true;
    return js_PullSubscribe(&c->sub, c->js, subj.c_str(), durable.c_str(), nullptr, &so, &je) == NATS_OK;
}

bool setup_requester(Ctx *c) {
    natsInbox *inbox = nullptr;
    if (natsInbox_Create(&inbox) != NATS_OK) return false;
    c->inbox.assign(inbox);
    natsInbox_Destroy(inbox);
    return subscribe_sync(c, c->inbox.c_str());
}

Ctx *create(int role, uint16_t kind, sx_sample_type_t sample_type, const char *endpoint) {
    try {
        std::string url, stream;
        if (!parse_endpoint(endpoint, url, stream)) return nullptr;
        std::unique_ptr<Ctx> c(new Ctx);
        c->role = role;
        c->kind = kind;
        c->sample_type = sample_type;
        c->stream = std::move(stream);
        if (role == SX_ROLE_PUB) c->prefix = "iq." + c->stream + ".";
        if (role == SX_ROLE_PUSH) c->prefix = "work." + c->stream + ".";
        if (!connect(c.get(), url)) return nullptr;
        bool ok = true;
        switch (role) {
        case SX_ROLE_SUB: ok = subscribe_sync(c.get(), ("iq." + c->stream + ".>").c_str()); break;
        case SX_ROLE_PUSH: ok = setup_push(c.get()); break;
        case SX_ROLE_PULL: ok = setup_pull(c.get()); break;
        case SX_ROLE_REQ: ok = setup_requester(c.get()); break;
        case SX_ROLE_REP: ok = subscribe_sync(c.get(), c->stream.c_str()); break;
        default: break;
        }
        if (!ok) return nullptr;
        // A message length crosses the client's interface as an int.
        const int64_t mp = natsConnection_GetMaxPayload(c->nc);
        c->max_payload = mp > 0 ? std::min<int64_t>(mp, std::numeric_limits<int>::max()) : kDefaultMaxPayload;
        if (role == SX_ROLE_SUB || role == SX_ROLE_REQ || role == SX_ROLE_REP) {
            c->reasm = sx_reasm_create(c->max_payload);
            if (c->reasm == nullptr) return nullptr;
        }
        return c.release();
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

bool grow(Ctx *c, size_t need) {
    if (need <= c->buf_cap) return true;
    auto *p = static_cast<unsigned char *>(::operator new(need, kBufAlign, std::nothrow));
    if (p == nullptr) return false;
    ::operator delete(c->buf, kBufAlign);
    c->buf = p;
    c->buf_cap = need;
    return true;
}

// One message on the role's destination; the subject suffix is the frame's.
int publish(Ctx *c, const char *suffix, const unsigned char *data, size_t len) {
    natsStatus s;
    switch (c->role) {
    case SX_ROLE_PUB:
    case SX_ROLE_PUSH:
        c->subject.assign(c->prefix).append(suffix);
        if (c->role == SX_ROLE_PUB) return map_send(natsConnection_Publish(c->nc, c->subject.c_str(), data, static_cast<int>(len)));
        {
            jsPubAck *ack = nullptr;
            jsErrCode je{};
            s = js_Publish(&ack, c->js, c->subject.c_str(), data, static_cast<int>(len), nullptr, &je);
            jsPubAck_Destroy(ack);
            return map_send(s);
        }
    case SX_ROLE_REQ:
        s = natsConnection_PublishRequest(c->nc, c->stream.c_str(), c->inbox.c_str(), data, static_cast<int>(len));
        if (s == NATS_OK) s = natsConnection_Flush(c->nc);
        return map_send(s);
    case SX_ROLE_REP:
        if (!c->has_reply) return SX_ERR_SEND;
        s = natsConnection_Publish(c->nc, c->reply.c_str(), data, static_cast<int>(len));
        if (s == NATS_OK) s = natsConnection_Flush(c->nc);
        return map_send(s);
    default: return SX_ERR_INVALID;
    }
}

uint64_t next_timestamp(Ctx *c) {
    if (c->ts_set) {
        c->ts_set = false;
        return c->ts_override;
    }
    return sx_get_timestamp_ns();
}

bool sending_role(int role) { return role == SX_ROLE_PUB || role == SX_ROLE_PUSH || role == SX_ROLE_REQ || role == SX_ROLE_REP; }

// Builds and sends one frame of n elements (n = 0 only for end of stream).
// Sizes are checked before the frame takes a sequence number, so a refused
// call leaves no gap in the sequence.
int send_frame(Ctx *c, uint16_t kind, sx_sample_type_t type, const void *data, size_t n, double fs, double fc) {
    const size_t e = sx_element_size(kind, type);
    uint64_t len = 0;
    if (kind != SX_KIND_EOS) {
        if (data == nullptr || n == 0 || e == 0) return SX_ERR_INVALID;
        if (n > std::numeric_limits<uint32_t>::max() / e) return SX_ERR_TOO_BIG;
        len = static_cast<uint64_t>(n) * e;
    }
    const auto M = static_cast<uint64_t>(c->max_payload);
    const bool whole = kHead + len <= M;
    if (!whole && c->role != SX_ROLE_PUB) return SX_ERR_TOO_BIG;
    if (!whole && (M <= kFragHead || M - kFragHead < e)) return SX_ERR_INVALID;
    if (c->role == SX_ROLE_REP && !c->has_reply) return SX_ERR_SEND;

    const char *suffix = sx::stream::subject_suffix(kind, type);
    sx_frame_header h = sx::stream::make_header(kind, type, static_cast<uint32_t>(len), c->seq, 0, fs, fc, n);
    h.timestamp_ns = next_timestamp(c);
    ++c->seq;
    const auto *src = static_cast<const unsigned char *>(data);
    if (whole) {
        if (!grow(c, kHead + len)) return SX_ERR_NOMEM;
        std::memcpy(c->buf, &h, kHead);
        if (len) std::memcpy(c->buf + kHead, src, len);
        return publish(c, suffix, c->buf, kHead + len);
    }
    const uint64_t chunk = (M - kFragHead) / e * e;
    const uint64_t count = (len + chunk - 1) / chunk;
    if (count > std::numeric_limits<uint32_t>::max()) return SX_ERR_TOO_BIG;
    if (!grow(c, kFragHead + chunk)) return SX_ERR_NOMEM;
    for (uint64_t i = 0; i < count; ++i) {
        const uint64_t off = i * chunk;
        const uint64_t flen = std::min(len - off, chunk);
        sx_frame_header fh = h;
        fh.flags = SX_FRAME_FLAG_FRAG;
        fh.payload_bytes = static_cast<uint32_t>(flen);
        fh.num_samples = flen / e;
        const sx_frag_ext x{static_cast<uint32_t>(i), static_cast<uint32_t>(count), len, off};
        std::memcpy(c->buf, &fh, kHead);
        std::memcpy(c->buf + kHead, &x, sizeof x);
        std::memcpy(c->buf + kFragHead, src + off, flen);
        const int rc = publish(c, suffix, c->buf, kFragHead + flen);
        if (rc != SX_OK) return rc;
    }
    return SX_OK;
}

int typed_send(Ctx *c, int role, sx_sample_type_t type, const void *data, size_t n, double fs, double fc) {
    // A telemetry context would read n 16-byte records from an array of samples.
    if (c == nullptr || c->role != role || c->kind != SX_KIND_DATA) return SX_ERR_INVALID;
    return send_frame(c, SX_KIND_DATA, type, data, n, fs, fc);
}

// Waits for one message, looking at the interrupt at least once per latency period.
int wait_msg(Ctx *c, natsMsg **out) {
    *out = nullptr;
    if (sx_interrupted()) return SX_ERR_INTERRUPTED;
    const bool forever = c->timeout_ms < 0;
    int64_t left = c->timeout_ms == 0 ? 1 : c->timeout_ms;
    for (;;) {
        const int64_t latency = std::max<int64_t>(1, sx_interrupt_latency_ms());
        const int64_t chunk = forever ? latency : std::min(latency, left);
        natsStatus s;
        if (c->role == SX_ROLE_PULL) {
            natsMsgList list{};
            jsErrCode je{};
            s = natsSubscription_Fetch(&list, c->sub, 1, chunk, &je);
            if (s == NATS_OK) {
                if (list.Count < 1 || list.Msgs == nullptr) {
                    natsMsgList_Destroy(&list);
                    return SX_ERR_RECV;
                }
                *out = list.Msgs[0];
                list.Msgs[0] = nullptr;
                natsMsgList_Destroy(&list);
                return SX_OK;
            }
        } else {
            s = natsSubscription_NextMsg(out, c->sub, chunk);
            if (s == NATS_OK) return SX_OK;
        }
        if (s != NATS_TIMEOUT) return SX_ERR_RECV;
        if (sx_interrupted()) return SX_ERR_INTERRUPTED;
        if (!forever) {
            left -= chunk;
            // A quiet spell while the server is away is an outage, not a timeout.
            if (left <= 0)
                return natsConnection_Status(c->nc) == NATS_CONN_STATUS_CONNECTED ? SX_ERR_TIMEOUT : SX_ERR_RECV;
        }
    }
}

void remember_reply(Ctx *c, natsMsg *m) {
    const char *r = natsMsg_GetReply(m);
    c->has_reply = false;
    if (r != nullptr && *r != '\0') {
        try {
            c->reply.assign(r);
            c->has_reply = true;
        } catch (const std::bad_alloc &) {
        }
    }
}

int recv_framed(Ctx *c, int role, sx_msg **out, sx_frame_header *hdr) {
    if (c == nullptr || out == nullptr) return SX_ERR_INVALID;
    *out = nullptr;
    if (c->role != role || c->sub == nullptr) return SX_ERR_INVALID;
    const bool pull = role == SX_ROLE_PULL;
    for (;;) {
        natsMsg *m = nullptr;
        int rc = wait_msg(c, &m);
        if (rc != SX_OK) return rc;
        if (role == SX_ROLE_REP) remember_reply(c, m);
        sx_frame_header h;
        sx_frag_ext x;
        int has_ext = 0;
        const void *payload = nullptr;
        size_t plen = 0;
        if (sx_frame_parse(natsMsg_GetData(m), static_cast<size_t>(natsMsg_GetDataLength(m)), &h, &x, &has_ext,
                           &payload, &plen) != SX_OK) {
            // A work-queue message nobody acknowledges comes back every ack
            // wait for ever: take a malformed one off the queue.
            if (pull) natsMsg_Ack(m, nullptr);
            natsMsg_Destroy(m);
            return SX_ERR_INVALID;
        }
        if (h.kind == SX_KIND_EOS) {
            if (hdr != nullptr) *hdr = h;
            if (pull) natsMsg_Ack(m, nullptr);
            natsMsg_Destroy(m);
            return SX_ERR_EOF;
        }
        if (!has_ext || pull) {
            sx_msg *msg = sx::stream::wrap(m, has_ext ? kFragHead : kHead, h.kind, h.sample_type, h.num_samples);
            if (msg == nullptr) {
                natsMsg_Destroy(m);
                return SX_ERR_NOMEM;
            }
            if (hdr != nullptr) *hdr = h;
            *out = msg;
            return SX_OK;
        }
        rc = sx::stream::reasm_feed(c->reasm, natsMsg_GetSubject(m), h, x, static_cast<const unsigned char *>(payload),
                                    plen, out, hdr);
        natsMsg_Destroy(m);
        if (rc == 1) return SX_OK;
        if (rc < 0) return rc;
    }
}

int recv_raw(Ctx *c, int role, sx_msg **out, size_t *length) {
    if (c == nullptr || out == nullptr || length == nullptr) return SX_ERR_INVALID;
    *out = nullptr;
    *length = 0;
    if (c->role != role || c->sub == nullptr) return SX_ERR_INVALID;
    natsMsg *m = nullptr;
    const int rc = wait_msg(c, &m);
    if (rc != SX_OK) return rc;
    if (role == SX_ROLE_REP) remember_reply(c, m);
    sx_msg *msg = sx::stream::wrap(m, 0, 0, 0, 0);
    if (msg == nullptr) {
        natsMsg_Destroy(m);
        return SX_ERR_NOMEM;
    }
    *out = msg;
    *length = static_cast<size_t>(natsMsg_GetDataLength(m));
    return SX_OK;
}

int raw_send(Ctx *c, int role, const void *data, size_t length) {
    if (c == nullptr || c->role != role || (data == nullptr && length > 0)) return SX_ERR_INVALID;
    if (length > static_cast<uint64_t>(c->max_payload)) return SX_ERR_TOO_BIG;
    return publish(c, "", static_cast<const unsigned char *>(data), length);
}

int set_timeout(Ctx *c, int64_t ms) {
    if (c == nullptr) return SX_ERR_INVALID;
    c->timeout_ms = ms < 0 ? -1 : ms;
    return SX_OK;
}

}  // namespace

extern "C" {

sx_stream_ctx *sx_pub_create(const char *endpoint, sx_sample_type_t t) {
    return sx_sample_type_is_valid(t) ? create(SX_ROLE_PUB, SX_KIND_DATA, t, endpoint) : nullptr;
}
sx_stream_ctx *sx_pub_create_tlm(const char *endpoint) { return create(SX_ROLE_PUB, SX_KIND_TLM, 0, endpoint); }
sx_stream_ctx *sx_sub_create(const char *endpoint) { return create(SX_ROLE_SUB, SX_KIND_DATA, 0, endpoint); }
sx_stream_ctx *sx_push_create(const char *endpoint, sx_sample_type_t t) {
    return sx_sample_type_is_valid(t) ? create(SX_ROLE_PUSH, SX_KIND_DATA, t, endpoint) : nullptr;
}
sx_stream_ctx *sx_pull_create(const char *endpoint) { return create(SX_ROLE_PULL, SX_KIND_DATA, 0, endpoint); }
sx_stream_ctx *sx_req_create(const char *endpoint) { return create(SX_ROLE_REQ, SX_KIND_DATA, 0, endpoint); }
sx_stream_ctx *sx_rep_create(const char *endpoint) { return create(SX_ROLE_REP, SX_KIND_DATA, 0, endpoint); }

void sx_pub_destroy(sx_stream_ctx *c) { delete c; }
void sx_sub_destroy(sx_stream_ctx *c) { delete c; }
void sx_push_destroy(sx_stream_ctx *c) { delete c; }
void sx_pull_destroy(sx_stream_ctx *c) { delete c; }
void sx_req_destroy(sx_stream_ctx *c) { delete c; }
void sx_rep_destroy(sx_stream_ctx *c) { delete c; }

#define SX_DEFINE_SENDS(role, ROLE)                                                                           \
    int sx_##role##_send_cf32(sx_stream_ctx *c, const float *s, size_t n, double fs, double fc) {              \
        return typed_send(c, ROLE, SX_SAMPLE_CF32, s, n, fs, fc);                                              \
    }                                                                                                          \
    int sx_##role##_send_cf64(sx_stream_ctx *c, const double *s, size_t n, double fs, double fc) {             \
        return typed_send(c, ROLE, SX_SAMPLE_CF64, s, n, fs, fc);                                              \
    }                                                                                                          \
    int sx_##role##_send_ci32(sx_stream_ctx *c, const int32_t *s, size_t n, double fs, double fc) {            \
        return typed_send(c, ROLE, SX_SAMPLE_CI32, s, n, fs, fc);                                              \
    }                                                                                                          \
    int sx_##role##_send_ci16(sx_stream_ctx *c, const int16_t *s, size_t n, double fs, double fc) {            \
        return typed_send(c, ROLE, SX_SAMPLE_CI16, s, n, fs, fc);                                              \
    }                                                                                                          \
    int sx_##role##_send_ci8(sx_stream_ctx *c, const int8_t *s, size_t n, double fs, double fc) {              \
        return typed_send(c, ROLE, SX_SAMPLE_CI8, s, n, fs, fc);                                               \
    }
SX_DEFINE_SENDS(pub, SX_ROLE_PUB)
SX_DEFINE_SENDS(push, SX_ROLE_PUSH)
SX_DEFINE_SENDS(req, SX_ROLE_REQ)
SX_DEFINE_SENDS(rep, SX_ROLE_REP)
#undef SX_DEFINE_SENDS

int sx_pub_send_tlm16(sx_stream_ctx *c, const void *records, size_t n, double fs, double fc) {
    if (c == nullptr || !sending_role(c->role)) return SX_ERR_INVALID;
    return send_frame(c, SX_KIND_TLM, 0, records, n, fs, fc);
}

int sx_pub_send_eos(sx_stream_ctx *c) {
    if (c == nullptr || !sending_role(c->role)) return SX_ERR_INVALID;
    return send_frame(c, SX_KIND_EOS, 0, nullptr, 0, 0.0, 0.0);
}

void sx_ctx_set_timestamp_ns(sx_stream_ctx *c, uint64_t ns) {
    if (c == nullptr) return;
    c->ts_override = ns;
    c->ts_set = true;
}

int sx_req_send(sx_stream_ctx *c, const void *data, size_t length) { return raw_send(c, SX_ROLE_REQ, data, length); }
int sx_rep_send(sx_stream_ctx *c, const void *data, size_t length) { return raw_send(c, SX_ROLE_REP, data, length); }
int sx_req_recv(sx_stream_ctx *c, sx_msg **out, size_t *length) { return recv_raw(c, SX_ROLE_REQ, out, length); }
int sx_rep_recv(sx_stream_ctx *c, sx_msg **out, size_t *length) { return recv_raw(c, SX_ROLE_REP, out, length); }

int sx_sub_recv(sx_stream_ctx *c, sx_msg **out, sx_frame_header *h) { return recv_framed(c, SX_ROLE_SUB, out, h); }
int sx_pull_recv(sx_stream_ctx *c, sx_msg **out, sx_frame_header *h) { return recv_framed(c, SX_ROLE_PULL, out, h); }
int sx_req_recv_signal(sx_stream_ctx *c, sx_msg **out, sx_frame_header *h) {
    return recv_framed(c, SX_ROLE_REQ, out, h);
}
int sx_rep_recv_signal(sx_stream_ctx *c, sx_msg **out, sx_frame_header *h) {
    return recv_framed(c, SX_ROLE_REP, out, h);
}

int sx_sub_set_timeout(sx_stream_ctx *c, int64_t ms) { return set_timeout(c, ms); }
int sx_pull_set_timeout(sx_stream_ctx *c, int64_t ms) { return set_timeout(c, ms); }
int sx_req_set_timeout(sx_stream_ctx *c, int64_t ms) { return set_timeout(c, ms); }
int sx_rep_set_timeout(sx_stream_ctx *c, int64_t ms) { return set_timeout(c, ms); }

int sx_pub_flush(sx_stream_ctx *c, int64_t timeout_ms) {
    if (c == nullptr || c->nc == nullptr) return SX_ERR_INVALID;
    const natsStatus s = natsConnection_FlushTimeout(c->nc, timeout_ms <= 0 ? 2000 : timeout_ms);
    if (s == NATS_OK) return SX_OK;
    return s == NATS_TIMEOUT ? SX_ERR_TIMEOUT : SX_ERR_SEND;
}

int sx_stream_drain(sx_stream_ctx *c, int64_t timeout_ms) {
    if (c == nullptr || c->nc == nullptr) return SX_ERR_INVALID;
    // A synchronous subscription's backlog is only emptied by its reader, so
    // a drain that waited for it would never finish: stop the interest first.
    if (c->sub != nullptr) natsSubscription_Unsubscribe(c->sub);
    if (natsConnection_Drain(c->nc) != NATS_OK) return SX_ERR_SEND;
    int64_t left = timeout_ms <= 0 ? 5000 : timeout_ms;
    for (;;) {
        if (natsConnection_IsClosed(c->nc)) return SX_OK;
        if (left <= 0) return SX_ERR_TIMEOUT;
        nats_Sleep(kDrainPollMs);
        left -= kDrainPollMs;
    }
}

int64_t sx_stream_max_payload(const sx_stream_ctx *c) { return c ? c->max_payload : 0; }
size_t sx_stream_pending_frames(const sx_stream_ctx *c) { return c ? sx_reasm_pending(c->reasm) : 0; }
uint64_t sx_stream_abandoned_frames(const sx_stream_ctx *c) { return c ? sx_reasm_abandoned(c->reasm) : 0; }

void sx_stream_interrupt(void) { sx_interrupt(); }
void sx_stream_resume(void) { sx_resume(); }
int sx_stream_interrupted(void) { return sx_interrupted(); }
void sx_stream_set_interrupt_latency_ms(uint32_t ms) { sx_set_interrupt_latency_ms(ms); }
uint32_t sx_stream_interrupt_latency_ms(void) { return sx_interrupt_latency_ms(); }
int sx_stream_interrupt_on_signal(int sig) { return sx_interrupt_on_signal(sig); }
int sx_stream_restore_signal(int sig) { return sx_restore_signal(sig); }

}  // extern "C"
