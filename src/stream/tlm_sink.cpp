#include "stream/tlm_sink.h"

#include <new>

#include "stream/stream_nats.h"

namespace {
constexpr size_t kRecordsPerFrame = 512;  // 8192 payload bytes
}

struct sx_tlm_sink {
    sx_stream_ctx *pub = nullptr;
    uint64_t sent = 0;
    alignas(64) sx_tlm_record buf[kRecordsPerFrame];
};

extern "C" {

sx_tlm_sink *sx_tlm_sink_open(const char *endpoint) {
    auto *s = new (std::nothrow) sx_tlm_sink;
    if (s == nullptr) return nullptr;
    s->pub = sx_pub_create_tlm(endpoint);
    if (s->pub == nullptr) {
        delete s;
        return nullptr;
    }
    return s;
}

int64_t sx_tlm_sink_pump(sx_tlm_sink *s, sx_tlm *ctx) {
    if (s == nullptr) return SX_ERR_INVALID;
    int64_t total = 0;
    for (;;) {
        const size_t n = sx_tlm_read(ctx, kRecordsPerFrame, s->buf, kRecordsPerFrame);
        if (n == 0) return total;
        const int rc = sx_pub_send_tlm16(s->pub, s->buf, n, 0.0, 0.0);
        if (rc != SX_OK) return rc;
        s->sent += n;
        total += static_cast<int64_t>(n);
    }
}

uint64_t sx_tlm_sink_sent(const sx_tlm_sink *s) { return s ? s->sent : 0; }

void sx_tlm_sink_close(sx_tlm_sink *s) {
    if (s == nullptr) return;
    sx_pub_destroy(s->pub);
    delete s;
}

}  // extern "C"
