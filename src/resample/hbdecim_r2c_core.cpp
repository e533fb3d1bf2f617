#include "resample/hbdecim_r2c_core.h"

#include <cstring>
#include <memory>
#include <new>

#include "core/sx_state.h"
#include "resample/hb_kernel.h"
#include "resample/hb_pairs.h"
#include "core/sx_aligned.h"

namespace {

constexpr sx::StateTag kTag{{'H', 'B', 'R', '2'}, 1};
constexpr size_t kMaxTaps = size_t{1} << 20;
constexpr size_t kChunk = 1024;
constexpr size_t kToggleOffset = 40, kRingsOffset = 44;

}  // namespace

// Same structure as hbdecim: two linear real streams (history of S samples,
// then the chunk), the doubled rings of the blob derived from them.
struct hbdecim_r2c_t {
    rate::HbBranch b;
    float sigma = 1.0f;             // centre sign
    rate::HbPairs<float> d;
    sx::AlignedBuf<float> sums;      // kChunk branch products
    int32_t toggle = 0;             // 1: the next output is negated
};

namespace {

void sums_generic(float *y, const float *p, const hbdecim_r2c_t *h, size_t m) {
    h->b.run<4, true, false>(y, nullptr, 0.0f, p, m);
}
SX_TARGET_AVX2 void sums_avx2(float *y, const float *p, const hbdecim_r2c_t *h, size_t m) {
    h->b.run<8, true, false>(y, nullptr, 0.0f, p, m);
}

void compute(hbdecim_r2c_t *h, size_t m, cf32_t *out) {
    const float *A = h->d.first(), *B = h->d.second();
    const float *cen = (h->b.even ? B : A) - h->b.oc;
    const float *p = h->b.even ? A : B;
    float *s = h->sums.data();
    if (sx::simd::avx2())
        sums_avx2(s, p, h, m);
    else
        sums_generic(s, p, h, m);
    const float cs = h->sigma * 0.5f;
    float sign = h->toggle ? -1.0f : 1.0f;
    for (size_t j = 0; j < m; ++j) {
        const float c = cs * cen[j];
        const float re = h->b.even ? s[j] : c, im = h->b.even ? c : s[j];
        out[j] = cf32_t(2.0f * re * sign, 2.0f * im * sign);
        sign = -sign;
    }
    h->toggle = sign < 0.0f ? 1 : 0;
}

size_t state_bytes_for(size_t S) { return kRingsOffset + rate::HbPairs<float>::rings_bytes(S); }

}  // namespace

bool hbdecim_r2c_state_valid(const hbdecim_r2c_t *h, const uint8_t *blob) {
    if (h == nullptr || !sx::state_header_ok(blob, kTag, state_bytes_for(h->d.S))) return false;
    int32_t toggle;
    std::memcpy(&toggle, blob + kToggleOffset, 4);
    return rate::hb_head_ok(blob, h->d.S) && (toggle == 0 || toggle == 1) && h->d.rings_ok(blob + kRingsOffset);
}

void hbdecim_r2c_state_apply(hbdecim_r2c_t *h, const uint8_t *blob) {
    std::memcpy(&h->toggle, blob + kToggleOffset, 4);
    h->d.apply(blob, blob + kRingsOffset);
}

extern "C" {

hbdecim_r2c_t *hbdecim_r2c_create(size_t n, const float *taps) {
    if (n == 0 || n > kMaxTaps || taps == nullptr) return nullptr;
    try {
        auto h = std::make_unique<hbdecim_r2c_t>();
        h->b.design(n, taps, 1, true);
        if (h->b.even)
            h->sigma = (n % 4) == 2 ? 1.0f : -1.0f;
        else
            h->sigma = ((n - 1) & 2) != 0 ? -1.0f : 1.0f;
        if (!h->d.allocate(rate::hb_ring_len(n), kChunk) || !h->sums.allocate(kChunk)) return nullptr;
        return h.release();
    } catch (const std::exception &) {
        return nullptr;
    }
}

void hbdecim_r2c_destroy(hbdecim_r2c_t *h) { delete h; }

void hbdecim_r2c_reset(hbdecim_r2c_t *h) {
    if (h == nullptr) return;
    h->d.reset();
    h->toggle = 0;
}

size_t hbdecim_r2c_state_bytes(const hbdecim_r2c_t *h) { return h == nullptr ? 0 : state_bytes_for(h->d.S); }

void hbdecim_r2c_get_state(const hbdecim_r2c_t *h, void *blob) {
    if (h == nullptr || blob == nullptr) return;
    sx::StateWriter w(blob);
    w.header(kTag, state_bytes_for(h->d.S));
    h->d.put_head(w);
    w.put(h->toggle);
    h->d.put_rings(w);
}

int hbdecim_r2c_set_state(hbdecim_r2c_t *h, const void *blob) {
    const auto *p = static_cast<const uint8_t *>(blob);
    if (!hbdecim_r2c_state_valid(h, p)) return SX_ERR_INVALID;
    hbdecim_r2c_state_apply(h, p);
    return SX_OK;
}

double hbdecim_r2c_get_rate(const hbdecim_r2c_t *) { return 0.5; }
size_t hbdecim_r2c_get_num_taps(const hbdecim_r2c_t *h) { return h == nullptr ? 0 : h->b.n; }

size_t hbdecim_r2c_execute_outputs(const hbdecim_r2c_t *h, size_t n_in) {
    return h == nullptr ? 0 : h->d.outputs(n_in);
}

size_t hbdecim_r2c_execute(hbdecim_r2c_t *h, const float *in, size_t n_in, cf32_t *out, size_t out_cap) {
    if (h == nullptr || in == nullptr || out == nullptr || n_in == 0 || out_cap == 0) return 0;
    return h->d.execute<kChunk>(in, n_in, out_cap, [&](size_t m, size_t done) { compute(h, m, out + done); });
}

}  // extern "C"
