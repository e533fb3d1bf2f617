#include "resample/hbdecim_r2c_core.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "core/sx_state.h"
#include "resample/hb_kernel.h"
#include "core/sx_aligned.h"

namespace {

constexpr sx::StateTag kTag{{'H', 'B', 'R', '2'}, 1};
constexpr size_t kMaxTaps = size_t{1} << 20;
constexpr size_t kChunk = 1024;

}  // namespace

// Same structure as hbdecim: two linear real streams (history of S samples,
// then the chunk), the doubled rings of the blob derived from them.
struct hbdecim_r2c_t {
    size_t n = 0, half = 0, S = 1;
    std::vector<float> coef;        // 0.5 (-1)^k h[k]
    std::vector<ptrdiff_t> o1, o2;  // product offsets
    ptrdiff_t oc = 0;               // centre offset
    bool even = false;
    float sigma = 1.0f;             // centre sign
    sx::AlignedBuf<float> wa, wb;    // S + kChunk each
    sx::AlignedBuf<float> sums;      // kChunk branch products
    size_t pos_a = 0, pos_b = 0;
    int32_t pending = 0;
    float pend = 0.0f;
    int32_t toggle = 0;             // 1: the next output is negated
};

namespace {

void sums_generic(float *y, const float *p, const hbdecim_r2c_t *h, size_t m) {
    rate::hb_block<4, true, false>(y, nullptr, 0.0f, p, h->coef.data(), h->o1.data(), h->o2.data(), h->half, m);
}
SX_TARGET_AVX2 void sums_avx2(float *y, const float *p, const hbdecim_r2c_t *h, size_t m) {
    rate::hb_block<8, true, false>(y, nullptr, 0.0f, p, h->coef.data(), h->o1.data(), h->o2.data(), h->half, m);
}

void compute(hbdecim_r2c_t *h, size_t m, cf32_t *out) {
    const float *A = h->wa.data() + h->S, *B = h->wb.data() + h->S;
    const float *cen = (h->even ? B : A) - h->oc;
    const float *p = h->even ? A : B;
    float *s = h->sums.data();
    if (sx::simd::avx2())
        sums_avx2(s, p, h, m);
    else
        sums_generic(s, p, h, m);
    const float cs = h->sigma * 0.5f;
    float sign = h->toggle ? -1.0f : 1.0f;
    for (size_t j = 0; j < m; ++j) {
        const float c = cs * cen[j];
        const float re = h->even ? s[j] : c, im = h->even ? c : s[j];
        out[j] = cf32_t(2.0f * re * sign, 2.0f * im * sign);
        sign = -sign;
    }
    h->toggle = sign < 0.0f ? 1 : 0;
}

void advance(hbdecim_r2c_t *h, size_t m) {
    std::memmove(h->wa.data(), h->wa.data() + m, h->S * sizeof(float));
    std::memmove(h->wb.data(), h->wb.data() + m, h->S * sizeof(float));
    h->pos_a = (h->pos_a - m) & (h->S - 1);
    h->pos_b = (h->pos_b - m) & (h->S - 1);
}

size_t state_bytes_for(size_t S) { return 44 + 16 * S; }

}  // namespace

bool hbdecim_r2c_state_valid(const hbdecim_r2c_t *h, const uint8_t *blob) {
    if (h == nullptr || !sx::state_header_ok(blob, kTag, state_bytes_for(h->S))) return false;
    uint64_t pa, pb;
    int32_t pending, toggle;
    std::memcpy(&pa, blob + 16, 8);
    std::memcpy(&pb, blob + 24, 8);
    std::memcpy(&pending, blob + 32, 4);
    std::memcpy(&toggle, blob + 40, 4);
    if (pa >= h->S || pb >= h->S || (pending != 0 && pending != 1) || (toggle != 0 && toggle != 1)) return false;
    const size_t rb = h->S * sizeof(float);
    return rate::hb_ring_halves_agree(blob + 44, rb) && rate::hb_ring_halves_agree(blob + 44 + 2 * rb, rb);
}

void hbdecim_r2c_state_apply(hbdecim_r2c_t *h, const uint8_t *blob) {
    uint64_t pa, pb;
    std::memcpy(&pa, blob + 16, 8);
    std::memcpy(&pb, blob + 24, 8);
    std::memcpy(&h->pending, blob + 32, 4);
    std::memcpy(&h->pend, blob + 36, 4);
    std::memcpy(&h->toggle, blob + 40, 4);
    h->pos_a = static_cast<size_t>(pa);
    h->pos_b = static_cast<size_t>(pb);
    const size_t rb = h->S * sizeof(float);
    rate::hb_get_ring(blob + 44, h->wa.data(), h->S, h->pos_a);
    rate::hb_get_ring(blob + 44 + 2 * rb, h->wb.data(), h->S, h->pos_b);
}

extern "C" {

hbdecim_r2c_t *hbdecim_r2c_create(size_t n, const float *taps) {
    if (n == 0 || n > kMaxTaps || taps == nullptr) return nullptr;
    try {
        auto h = std::make_unique<hbdecim_r2c_t>();
        h->n = n;
        h->half = n / 2;
        h->even = (n % 2) == 0;
        h->S = n == 1 ? 1 : std::max<size_t>(2, std::bit_ceil(n));
        h->coef.resize(h->half);
        h->o1.resize(h->half);
        h->o2.resize(h->half);
        for (size_t k = 0; k < h->half; ++k) {
            h->coef[k] = 0.5f * ((k & 1) ? -taps[k] : taps[k]);
            h->o1[k] = static_cast<ptrdiff_t>(k + (h->even ? 0 : 1));
            h->o2[k] = static_cast<ptrdiff_t>(n - 1 - k);
        }
        h->oc = static_cast<ptrdiff_t>(h->half);
        if (h->even)
            h->sigma = (n % 4) == 2 ? 1.0f : -1.0f;
        else
            h->sigma = ((n - 1) & 2) != 0 ? -1.0f : 1.0f;
        if (!h->wa.allocate(h->S + kChunk) || !h->wb.allocate(h->S + kChunk) || !h->sums.allocate(kChunk))
            return nullptr;
        return h.release();
    } catch (const std::exception &) {
        return nullptr;
    }
}

void hbdecim_r2c_destroy(hbdecim_r2c_t *h) { delete h; }

void hbdecim_r2c_reset(hbdecim_r2c_t *h) {
    if (h == nullptr) return;
    h->wa.zero();
    h->wb.zero();
    h->pos_a = h->pos_b = 0;
    h->pending = 0;
    h->pend = 0.0f;
    h->toggle = 0;
}

size_t hbdecim_r2c_state_bytes(const hbdecim_r2c_t *h) { return h == nullptr ? 0 : state_bytes_for(h->S); }

void hbdecim_r2c_get_state(const hbdecim_r2c_t *h, void *blob) {
    if (h == nullptr || blob == nullptr) return;
    sx::StateWriter w(blob);
    w.header(kTag, state_bytes_for(h->S));
    w.put(static_cast<uint64_t>(h->pos_a));
    w.put(static_cast<uint64_t>(h->pos_b));
    w.put(h->pending);
    w.put(h->pend);
    w.put(h->toggle);
    rate::hb_put_ring(w, h->wa.data(), h->S, h->pos_a);
    rate::hb_put_ring(w, h->wb.data(), h->S, h->pos_b);
}

int hbdecim_r2c_set_state(hbdecim_r2c_t *h, const void *blob) {
    const auto *p = static_cast<const uint8_t *>(blob);
    if (!hbdecim_r2c_state_valid(h, p)) return SX_ERR_INVALID;
    hbdecim_r2c_state_apply(h, p);
    return SX_OK;
}

double hbdecim_r2c_get_rate(const hbdecim_r2c_t *) { return 0.5; }
size_t hbdecim_r2c_get_num_taps(const hbdecim_r2c_t *h) { return h == nullptr ? 0 : h->n; }

size_t hbdecim_r2c_execute_outputs(const hbdecim_r2c_t *h, size_t n_in) {
    if (h == nullptr) return 0;
    return n_in / 2 + ((h->pending && (n_in & 1)) ? 1 : 0);
}

size_t hbdecim_r2c_execute(hbdecim_r2c_t *h, const float *in, size_t n_in, cf32_t *out, size_t out_cap) {
    if (h == nullptr || in == nullptr || out == nullptr || n_in == 0 || out_cap == 0) return 0;
    const size_t pairs = std::min(hbdecim_r2c_execute_outputs(h, n_in), out_cap);
    size_t idx = 0, done = 0;
    float *A = h->wa.data() + h->S, *B = h->wb.data() + h->S;
    while (done < pairs) {
        const size_t m = std::min(kChunk, pairs - done);
        size_t j = 0;
        if (h->pending) {
            A[0] = h->pend;
            B[0] = in[idx++];
            h->pending = 0;
            j = 1;
        }
        for (; j < m; ++j, idx += 2) {
            A[j] = in[idx];
            B[j] = in[idx + 1];
        }
        compute(h, m, out + done);
        advance(h, m);
        done += m;
    }
    if (idx < n_in) {
        h->pending = 1;
        h->pend = in[idx];
    }
    return done;
}

}  // extern "C"
