#include "stream/stream_core.h"

#include <nats/nats.h>
#include <time.h>

#include <cstring>
#include <limits>
#include <iterator>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <vector>

struct sx_msg {
    int origin;  // 1: wraps a transport message; 2: owns a reassembled payload
    uint16_t kind;
    sx_sample_type_t sample_type;
    uint64_t num_samples;
    size_t offset;
    natsMsg *nmsg;
    unsigned char *buf;
    size_t buf_len;
};

namespace {

constexpr char kMagic[8] = {'S', 'X', 'S', 'T', 'R', 'E', 'A', 'M'};
constexpr char kHostRep[] = "EEEI";
constexpr size_t kExtEnd = SX_FRAME_HEADER_BYTES + SX_FRAME_EXT_BYTES;
// Frames of different senders that may be in progress at once on one receiver;
// a new one beyond this replaces the one that has waited longest.
constexpr size_t kMaxInProgress = 8;

// Reassembled payloads are handed out as sample arrays: keep them cache-line aligned.
constexpr std::align_val_t kBufAlign{64};

unsigned char *alloc_buf(size_t n) {
    return static_cast<unsigned char *>(::operator new(n ? n : 1, kBufAlign, std::nothrow));
}
void free_buf(unsigned char *p) { ::operator delete(p, kBufAlign); }

}  // namespace

struct sx_reasm {
    struct Frame {
        std::string key;
        uint64_t seq = 0, ts = 0, order = 0;
        uint16_t kind = 0;
        sx_sample_type_t type = 0;
        uint32_t count = 0;
        uint64_t total = 0, covered = 0;
        size_t elem = 0;
        sx_frame_header first{};
        unsigned char *buf = nullptr;
        std::map<uint64_t, uint64_t> ranges;  // received byte ranges, start -> end, disjoint

        Frame() = default;
        Frame(const Frame &) = delete;
        Frame &operator=(const Frame &) = delete;
        ~Frame() { free_buf(buf); }
    };
    int64_t max_payload = 0;
    uint64_t next_order = 0;
    uint64_t abandoned = 0;
    std::vector<std::unique_ptr<Frame>> frames;
};

namespace {

void drop(sx_reasm *r, const sx_reasm::Frame *f) {
    for (auto it = r->frames.begin(); it != r->frames.end(); ++it)
        if (it->get() == f) {
            r->frames.erase(it);
            return;
        }
}

}  // namespace

namespace sx::stream {

sx_frame_header make_header(uint16_t kind, sx_sample_type_t sample_type, uint32_t payload_bytes, uint64_t seq,
                            uint64_t timestamp_ns, double fs, double fc, uint64_t num_samples) {
    sx_frame_header h{};
    std::memcpy(h.magic, kMagic, sizeof kMagic);
    std::memcpy(h.byte_order, kHostRep, 4);
    h.sample_type = kind == SX_KIND_DATA ? sample_type : 0;
    h.kind = kind;
    h.version = SX_FRAME_VERSION;
    h.payload_bytes = payload_bytes;
    h.seq = seq;
    h.timestamp_ns = timestamp_ns;
    h.fs = fs;
    h.fc = fc;
    h.num_samples = num_samples;
    return h;
}

const char *subject_suffix(uint16_t kind, sx_sample_type_t sample_type) {
    if (kind == SX_KIND_TLM) return "TLM16";
    if (kind == SX_KIND_EOS) return "EOS";
    return sx_sample_type_str(sample_type);
}

sx_msg *wrap(natsMsg *m, size_t offset, uint16_t kind, sx_sample_type_t sample_type, uint64_t num_samples) {
    auto *msg = new (std::nothrow) sx_msg{};
    if (msg == nullptr) return nullptr;
    msg->origin = 1;
    msg->kind = kind;
    msg->sample_type = sample_type;
    msg->num_samples = num_samples;
    msg->offset = offset;
    msg->nmsg = m;
    return msg;
}

int reasm_feed(sx_reasm *r, std::string_view key, const sx_frame_header &h, const sx_frag_ext &x,
               const unsigned char *payload, size_t len, sx_msg **out, sx_frame_header *hdr) {
    const size_t e = sx_element_size(h.kind, h.sample_type);
    const uint64_t total = x.total_bytes, off = x.frag_offset;
    // A fragment always carries whole elements of a frame whose payload fits
    // the header's 32-bit length field, at an element boundary inside it, and
    // no more of them than a message can hold: so the buffer it asks for is
    // bounded by what the fragments themselves can bring.
    const uint64_t chunk_max = static_cast<uint64_t>(r->max_payload) - kExtEnd;
    if (e == 0 || x.frag_count == 0 || x.frag_index >= x.frag_count || len == 0 || total == 0 ||
        total > std::numeric_limits<uint32_t>::max() || total % e != 0 || off % e != 0 || off > total ||
        len > total - off || len > chunk_max || total > static_cast<uint64_t>(x.frag_count) * chunk_max ||
        x.frag_count > total / e)
        return SX_ERR_INVALID;

    sx_reasm::Frame *f = nullptr;
    for (auto &p : r->frames)
        if (p->seq == h.seq && p->ts == h.timestamp_ns && p->key == key) f = p.get();
    if (f != nullptr) {
        if (f->kind != h.kind || f->type != h.sample_type || f->count != x.frag_count || f->total != total)
            return SX_ERR_INVALID;
    } else {
        auto nf = std::unique_ptr<sx_reasm::Frame>(new (std::nothrow) sx_reasm::Frame);
        if (!nf) return SX_ERR_NOMEM;
        try {
            nf->key.assign(key);
        } catch (const std::bad_alloc &) {
            return SX_ERR_NOMEM;
        }
        nf->buf = alloc_buf(total);
        if (nf->buf == nullptr) return SX_ERR_NOMEM;
        nf->seq = h.seq;
        nf->ts = h.timestamp_ns;
        nf->kind = h.kind;
        nf->type = h.sample_type;
        nf->count = x.frag_count;
        nf->total = total;
        nf->elem = e;
        nf->first = h;
        if (r->frames.size() >= kMaxInProgress) {
            size_t oldest = 0;
            for (size_t i = 1; i < r->frames.size(); ++i)
                if (r->frames[i]->order < r->frames[oldest]->order) oldest = i;
            r->frames.erase(r->frames.begin() + static_cast<ptrdiff_t>(oldest));
            ++r->abandoned;
        }
        nf->order = r->next_order++;
        f = nf.get();
        try {
            r->frames.push_back(std::move(nf));
        } catch (const std::bad_alloc &) {
            return SX_ERR_NOMEM;
        }
    }

    // The received ranges stay disjoint: an exact repeat is ignored, any other
    // overlap is refused, so "covered == total" means every byte arrived.
    const uint64_t end = off + len;
    auto next = f->ranges.lower_bound(off);
    if (next != f->ranges.end() && next->first == off && next->second == end) return 0;
    if (next != f->ranges.end() && next->first < end) return SX_ERR_INVALID;
    if (next != f->ranges.begin() && std::prev(next)->second > off) return SX_ERR_INVALID;
    try {
        f->ranges.emplace_hint(next, off, end);
    } catch (const std::bad_alloc &) {
        return SX_ERR_NOMEM;
    }
    std::memcpy(f->buf + off, payload, len);
    f->covered += len;
    if (f->covered < f->total) return 0;

    auto *msg = new (std::nothrow) sx_msg{};
    if (msg == nullptr) {
        drop(r, f);
        return SX_ERR_NOMEM;
    }
    msg->origin = 2;
    msg->kind = f->kind;
    msg->sample_type = f->type;
    msg->num_samples = f->total / f->elem;
    msg->buf = f->buf;
    msg->buf_len = f->total;
    f->buf = nullptr;
    if (hdr != nullptr) {
        *hdr = f->first;
        hdr->flags = static_cast<uint16_t>(hdr->flags & ~SX_FRAME_FLAG_FRAG);
        hdr->payload_bytes = static_cast<uint32_t>(f->total);
        hdr->num_samples = msg->num_samples;
    }
    drop(r, f);
    *out = msg;
    return 1;
}

}  // namespace sx::stream

extern "C" {

size_t sx_element_size(uint16_t kind, sx_sample_type_t sample_type) {
    if (kind == SX_KIND_TLM) return 16;
    if (kind == SX_KIND_DATA) return sx_sample_size(sample_type);
    return 0;
}

int sx_frame_parse(const void *data, size_t length, sx_frame_header *hdr, sx_frag_ext *ext, int *has_ext,
                   const void **payload, size_t *payload_len) {
    if (data == nullptr || hdr == nullptr || ext == nullptr || has_ext == nullptr || payload == nullptr ||
        payload_len == nullptr || length < SX_FRAME_HEADER_BYTES)
        return SX_ERR_INVALID;
    const auto *p = static_cast<const unsigned char *>(data);
    sx_frame_header h;
    std::memcpy(&h, p, sizeof h);
    if (std::memcmp(h.magic, kMagic, sizeof kMagic) != 0 || h.version != SX_FRAME_VERSION || h.flags >= 2)
        return SX_ERR_INVALID;
    if (std::memcmp(h.byte_order, kHostRep, 4) != 0) return SX_ERR_INVALID;
    sx_frag_ext x{};
    size_t head = SX_FRAME_HEADER_BYTES;
    if (h.flags & SX_FRAME_FLAG_FRAG) {
        if (length < kExtEnd) return SX_ERR_INVALID;
        std::memcpy(&x, p + SX_FRAME_HEADER_BYTES, sizeof x);
        head = kExtEnd;
    }
    const size_t plen = length - head;
    if (static_cast<uint64_t>(h.payload_bytes) != plen) return SX_ERR_INVALID;
    if (h.kind != SX_KIND_EOS) {
        const size_t e = sx_element_size(h.kind, h.sample_type);
        // Division, not multiplication: num_samples comes from outside and a
        // product could wrap onto the right length.
        if (e == 0 || plen % e != 0 || h.num_samples != plen / e) return SX_ERR_INVALID;
    } else if (plen != 0 || h.num_samples != 0 || h.sample_type != 0) {
        return SX_ERR_INVALID;
    }
    *hdr = h;
    *ext = x;
    *has_ext = (h.flags & SX_FRAME_FLAG_FRAG) ? 1 : 0;
    *payload = p + head;
    *payload_len = plen;
    return SX_OK;
}

const void *sx_msg_data(const sx_msg *msg) {
    if (msg == nullptr) return nullptr;
    if (msg->origin == 1) return natsMsg_GetData(msg->nmsg) + msg->offset;
    if (msg->origin == 2) return msg->buf;
    return nullptr;
}

size_t sx_msg_size(const sx_msg *msg) {
    if (msg == nullptr) return 0;
    if (msg->origin == 1) return static_cast<size_t>(natsMsg_GetDataLength(msg->nmsg)) - msg->offset;
    if (msg->origin == 2) return msg->buf_len;
    return 0;
}

uint64_t sx_msg_num_samples(const sx_msg *msg) { return msg ? msg->num_samples : 0; }
int sx_msg_kind(const sx_msg *msg) { return msg ? msg->kind : 0; }
int sx_msg_sample_type(const sx_msg *msg) { return msg ? msg->sample_type : 0; }

int sx_msg_ack(sx_msg *msg) {
    if (msg == nullptr) return SX_ERR_INVALID;
    if (msg->origin != 1) return SX_OK;
    // The acknowledgement waits for the server's confirmation: a plain ack is
    // only queued, so a worker whose server went away would be told "done"
    // and the block handed to another worker later, done twice. Now a lost
    // acknowledgement is a status, and the caller knows the block may return.
    return natsMsg_AckSync(msg->nmsg, nullptr, nullptr) == NATS_OK ? SX_OK : SX_ERR_SEND;
}

void sx_msg_free(sx_msg *msg) {
    if (msg == nullptr) return;
    if (msg->origin == 1) natsMsg_Destroy(msg->nmsg);
    free_buf(msg->buf);
    delete msg;
}

uint64_t sx_get_timestamp_ns(void) {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

const char *sx_host_rep(void) { return kHostRep; }

}  // extern "C"

namespace {

template <class T> double mean_power_of(const void *data, size_t n, double scale) {
    const T *p = static_cast<const T *>(data);
    double a0 = 0, a1 = 0, a2 = 0, a3 = 0;
    size_t i = 0;
    for (; i + 2 <= n; i += 2) {
        const double i0 = static_cast<double>(p[2 * i]), q0 = static_cast<double>(p[2 * i + 1]);
        const double i1 = static_cast<double>(p[2 * i + 2]), q1 = static_cast<double>(p[2 * i + 3]);
        a0 += i0 * i0;
        a1 += q0 * q0;
        a2 += i1 * i1;
        a3 += q1 * q1;
    }
    for (; i < n; ++i) {
        const double x = static_cast<double>(p[2 * i]), y = static_cast<double>(p[2 * i + 1]);
        a0 += x * x;
        a1 += y * y;
    }
    return (a0 + a1 + a2 + a3) * scale * scale / static_cast<double>(n);
}

}  // namespace

extern "C" {

double sx_mean_power(sx_sample_type_t sample_type, const void *data, size_t n) {
    if (data == nullptr || n == 0) return 0.0;
    switch (sample_type) {
    case SX_SAMPLE_CF32: return mean_power_of<float>(data, n, 1.0);
    case SX_SAMPLE_CF64: return mean_power_of<double>(data, n, 1.0);
    case SX_SAMPLE_CI32: return mean_power_of<int32_t>(data, n, 1.0 / 2147483647.0);
    case SX_SAMPLE_CI16: return mean_power_of<int16_t>(data, n, 1.0 / 32767.0);
    case SX_SAMPLE_CI8: return mean_power_of<int8_t>(data, n, 1.0 / 127.0);
    default: return 0.0;
    }
}

double sx_msg_mean_power(const sx_msg *msg) {
    if (msg == nullptr || msg->kind != SX_KIND_DATA) return 0.0;
    const size_t e = sx_sample_size(msg->sample_type);
    if (e == 0) return 0.0;
    // The count the payload really holds, whatever the handle was told.
    return sx_mean_power(msg->sample_type, sx_msg_data(msg), sx_msg_size(msg) / e);
}

sx_reasm *sx_reasm_create(int64_t max_payload) {
    if (max_payload <= static_cast<int64_t>(kExtEnd)) return nullptr;
    auto *r = new (std::nothrow) sx_reasm;
    if (r != nullptr) r->max_payload = max_payload;
    return r;
}

void sx_reasm_destroy(sx_reasm *r) { delete r; }

size_t sx_reasm_pending(const sx_reasm *r) { return r ? r->frames.size() : 0; }
uint64_t sx_reasm_abandoned(const sx_reasm *r) { return r ? r->abandoned : 0; }

int sx_reasm_push(sx_reasm *r, const char *key, const void *data, size_t length, sx_msg **out, sx_frame_header *hdr) {
    if (r == nullptr || key == nullptr || out == nullptr) return SX_ERR_INVALID;
    *out = nullptr;
    sx_frame_header h;
    sx_frag_ext x;
    int has_ext = 0;
    const void *payload = nullptr;
    size_t plen = 0;
    if (sx_frame_parse(data, length, &h, &x, &has_ext, &payload, &plen) != SX_OK || !has_ext) return SX_ERR_INVALID;
    return sx::stream::reasm_feed(r, key, h, x, static_cast<const unsigned char *>(payload), plen, out, hdr);
}

}  // extern "C"
