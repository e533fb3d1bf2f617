#include "stream/iqsink.h"

#include <cmath>
#include <limits>
#include <new>

#include "core/sample_codec.h"
#include "stream/stream_nats.h"

namespace codec = sx::codec;

namespace {
constexpr std::align_val_t kBufAlign{64};
}

struct wfm_stream_sink {
    int wire = 0;
    sx_stream_ctx *pub = nullptr;
    unsigned char *buf = nullptr;  // conversion buffer, only grows
    size_t buf_cap = 0;
    float peak = 0.0f;
    uint64_t clips = 0;
    uint64_t counted = 0;
    bool tracking = false;
    float gain = 1.0f;

    ~wfm_stream_sink() {
        sx_pub_destroy(pub);
        ::operator delete(buf, kBufAlign);
    }
};

extern "C" {

int wfm_stream_sink_available(void) { return 1; }

wfm_stream_sink *wfm_stream_sink_open(const char *endpoint, int wire) {
    if (wire < codec::kCF32 || wire > codec::kCI8) return nullptr;
    auto *s = new (std::nothrow) wfm_stream_sink;
    if (s == nullptr) return nullptr;
    s->wire = wire;
    s->pub = sx_pub_create(endpoint, codec::wire_info(wire).code);
    if (s->pub == nullptr) {
        delete s;
        return nullptr;
    }
    return s;
}

int wfm_stream_sink_send(wfm_stream_sink *s, const float *samples, size_t n, double fs, double fc) {
    if (s == nullptr || (samples == nullptr && n > 0)) return -1;
    // The caller's block goes out as it is: no copy, no statistics.
    if (codec::encode_is_copy(s->wire, s->gain, false) || n == 0)
        return sx_pub_send_cf32(s->pub, samples, n, fs, fc);
    const codec::WireInfo &w = codec::wire_info(s->wire);
    // A frame's payload length is a 32-bit field: refuse before converting
    // (and allocating) what could never be sent.
    if (n > std::numeric_limits<uint32_t>::max() / w.sample_bytes) return SX_ERR_TOO_BIG;
    const size_t need = n * w.sample_bytes;
    if (need > s->buf_cap) {
        auto *p = static_cast<unsigned char *>(::operator new(need, kBufAlign, std::nothrow));
        if (p == nullptr) return -1;
        ::operator delete(s->buf, kBufAlign);
        s->buf = p;
        s->buf_cap = need;
    }
    if (w.is_integer) {
        codec::account(samples, n, s->gain, codec::clip_rule(s->wire, s->tracking), s->peak, s->clips);
        s->counted += 2 * static_cast<uint64_t>(n);
    }
    codec::encode(s->wire, samples, n, s->gain, false, s->buf);
    switch (s->wire) {
    case codec::kCF32: return sx_pub_send_cf32(s->pub, reinterpret_cast<const float *>(s->buf), n, fs, fc);
    case codec::kCF64: return sx_pub_send_cf64(s->pub, reinterpret_cast<const double *>(s->buf), n, fs, fc);
    case codec::kCI32: return sx_pub_send_ci32(s->pub, reinterpret_cast<const int32_t *>(s->buf), n, fs, fc);
    case codec::kCI16: return sx_pub_send_ci16(s->pub, reinterpret_cast<const int16_t *>(s->buf), n, fs, fc);
    default: return sx_pub_send_ci8(s->pub, reinterpret_cast<const int8_t *>(s->buf), n, fs, fc);
    }
}

int wfm_stream_sink_send_eos(wfm_stream_sink *s) { return (s && s->pub) ? sx_pub_send_eos(s->pub) : 0; }

int wfm_stream_sink_drain(wfm_stream_sink *s, int64_t timeout_ms) {
    return (s && s->pub) ? sx_stream_drain(s->pub, timeout_ms <= 0 ? 5000 : timeout_ms) : 0;
}

void wfm_stream_sink_close(wfm_stream_sink *s) { delete s; }

void wfm_stream_sink_track_clipping(wfm_stream_sink *s, int on) {
    if (s != nullptr) s->tracking = on != 0;
}

int wfm_stream_sink_set_gain(wfm_stream_sink *s, double gain) {
    if (s == nullptr || !std::isfinite(gain) || std::fabs(gain) > std::numeric_limits<float>::max())
        return SX_ERR_INVALID;
    s->gain = static_cast<float>(gain);
    return SX_OK;
}

double wfm_stream_sink_peak(const wfm_stream_sink *s) { return s ? static_cast<double>(s->peak) : 0.0; }

double wfm_stream_sink_clip_fraction(const wfm_stream_sink *s) {
    if (s == nullptr || s->counted == 0) return 0.0;
    return static_cast<double>(s->clips) / static_cast<double>(s->counted);
}

}  // extern "C"
