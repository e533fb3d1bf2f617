#include "resample/hbdecim_q15_core.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "core/sx_state.h"
#include "core/sx_aligned.h"
#include "resample/hb_pairs.h"

namespace {

constexpr sx::StateTag kTag{{'H', 'B', '1', '5'}, 1};
constexpr size_t kMaxTaps = size_t{1} << 20;

int16_t to_q14(float h) {
    if (h > 1.999939f) return 32767;
    if (!(h >= -2.0f)) return h != h ? 0 : -32768;
    return static_cast<int16_t>(std::lround(static_cast<double>(h) * 16384.0));
}

int16_t sat16(int64_t v) { return static_cast<int16_t>(std::clamp<int64_t>(v, -32768, 32767)); }

}  // namespace

// Four doubled int16 rings (first-of-pair I and Q, second-of-pair I and Q),
// written at pos and pos + S with pos moving downwards, so the k-th newest
// sample of a ring is ring[pos + k] without a wrap test.
struct hbdecim_q15_t {
    size_t n = 0, half = 0, S = 1;
    bool even = false;
    sx::AlignedBuf<int16_t> q;  // half taps padded to a multiple of 16
    sx::AlignedBuf<int16_t> ring[4];
    size_t pos_a = 0, pos_b = 0;
    int32_t pending = 0;
    int16_t pend_i = 0, pend_q = 0;

    void push(int r, size_t pos, int16_t v) {
        ring[r][pos] = v;
        ring[r][pos + S] = v;
    }
    // One component: product sum over the pairs of ring p, centre of ring c.
    int16_t out(const int16_t *p, const int16_t *c) const {
        int64_t acc = 0;
        const size_t off = even ? 0 : 1;
        for (size_t k = 0; k < half; ++k) {
            const int32_t pair = static_cast<int32_t>(p[k + off]) + p[n - 1 - k];
            acc += static_cast<int64_t>(q[k]) * pair;
        }
        return sat16((acc + static_cast<int64_t>(c[half]) * 16384 + 16384) >> 15);
    }
};

namespace {

size_t state_bytes_for(size_t S) { return 40 + 16 * S; }

}  // namespace

extern "C" {

hbdecim_q15_t *hbdecim_q15_create(size_t n, const float *taps) {
    if (n == 0 || n > kMaxTaps || taps == nullptr) return nullptr;
    try {
        auto h = std::make_unique<hbdecim_q15_t>();
        h->n = n;
        h->half = n / 2;
        h->even = (n % 2) == 0;
        h->S = rate::hb_ring_len(n);
        if (!h->q.allocate(std::max<size_t>(16, (h->half + 15) / 16 * 16))) return nullptr;
        for (size_t k = 0; k < h->half; ++k) h->q[k] = to_q14(taps[k]);
        for (auto &r : h->ring)
            if (!r.allocate(2 * h->S)) return nullptr;
        return h.release();
    } catch (const std::exception &) {
        return nullptr;
    }
}

void hbdecim_q15_destroy(hbdecim_q15_t *h) { delete h; }

void hbdecim_q15_reset(hbdecim_q15_t *h) {
    if (h == nullptr) return;
    for (auto &r : h->ring) r.zero();
    h->pos_a = h->pos_b = 0;
    h->pending = 0;
    h->pend_i = h->pend_q = 0;
}

size_t hbdecim_q15_state_bytes(const hbdecim_q15_t *h) { return h == nullptr ? 0 : state_bytes_for(h->S); }

void hbdecim_q15_get_state(const hbdecim_q15_t *h, void *blob) {
    if (h == nullptr || blob == nullptr) return;
    sx::StateWriter w(blob);
    w.header(kTag, state_bytes_for(h->S));
    w.put(static_cast<uint64_t>(h->pos_a));
    w.put(static_cast<uint64_t>(h->pos_b));
    w.put(h->pending);
    w.put(h->pend_i);
    w.put(h->pend_q);
    for (const auto &r : h->ring) w.bytes(r.data(), 2 * h->S * sizeof(int16_t));
}

int hbdecim_q15_set_state(hbdecim_q15_t *h, const void *blob) {
    const auto *p = static_cast<const uint8_t *>(blob);
    if (h == nullptr || !sx::state_header_ok(p, kTag, state_bytes_for(h->S))) return SX_ERR_INVALID;
    if (!rate::hb_head_ok(p, h->S)) return SX_ERR_INVALID;
    const size_t rb = h->S * sizeof(int16_t);
    for (int r = 0; r < 4; ++r)
        if (!rate::hb_ring_halves_agree(p + 40 + 2 * rb * r, rb)) return SX_ERR_INVALID;
    uint64_t pa, pb;
    int32_t pending;
    std::memcpy(&pa, p + 16, 8);
    std::memcpy(&pb, p + 24, 8);
    std::memcpy(&pending, p + 32, 4);
    h->pos_a = static_cast<size_t>(pa);
    h->pos_b = static_cast<size_t>(pb);
    h->pending = pending;
    std::memcpy(&h->pend_i, p + 36, 2);
    std::memcpy(&h->pend_q, p + 38, 2);
    for (int r = 0; r < 4; ++r) std::memcpy(h->ring[r].data(), p + 40 + 2 * rb * r, 2 * rb);
    return SX_OK;
}

double hbdecim_q15_get_rate(const hbdecim_q15_t *) { return 0.5; }
size_t hbdecim_q15_get_num_taps(const hbdecim_q15_t *h) { return h == nullptr ? 0 : h->n; }
size_t hbdecim_q15_execute_max_out(const hbdecim_q15_t *) { return 0; }

size_t hbdecim_q15_execute(hbdecim_q15_t *h, const int16_t *in, size_t n_in, int16_t *out, size_t out_cap) {
    if (h == nullptr || in == nullptr || out == nullptr || n_in == 0 || out_cap == 0) return 0;
    const size_t mask = h->S - 1;
    size_t idx = 0, done = 0;
    while (done < out_cap) {
        if (!h->pending) {
            if (idx >= n_in) break;
            h->pend_i = in[2 * idx];
            h->pend_q = in[2 * idx + 1];
            h->pending = 1;
            ++idx;
        }
        if (idx >= n_in) break;
        const int16_t ai = h->pend_i, aq = h->pend_q;
        h->pending = 0;
        h->pos_a = (h->pos_a - 1) & mask;
        h->pos_b = (h->pos_b - 1) & mask;
        h->push(0, h->pos_a, ai);
        h->push(1, h->pos_a, aq);
        h->push(2, h->pos_b, in[2 * idx]);
        h->push(3, h->pos_b, in[2 * idx + 1]);
        ++idx;
        const int16_t *Ai = h->ring[0].data() + h->pos_a, *Aq = h->ring[1].data() + h->pos_a;
        const int16_t *Bi = h->ring[2].data() + h->pos_b, *Bq = h->ring[3].data() + h->pos_b;
        if (h->even) {
            out[2 * done] = h->out(Ai, Bi);
            out[2 * done + 1] = h->out(Aq, Bq);
        } else {
            out[2 * done] = h->out(Bi, Ai);
            out[2 * done + 1] = h->out(Bq, Aq);
        }
        ++done;
    }
    if (!h->pending && idx < n_in) {
        h->pending = 1;
        h->pend_i = in[2 * idx];
        h->pend_q = in[2 * idx + 1];
    }
    return done;
}

}  // extern "C"
