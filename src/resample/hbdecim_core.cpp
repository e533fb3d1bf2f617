#include "resample/hbdecim_core.h"

#include <memory>
#include <new>

#include "core/sx_state.h"
#include "resample/hb_kernel.h"
#include "resample/hb_pairs.h"

namespace {

constexpr sx::StateTag kTag{{'H', 'B', 'D', 'C'}, 1};
constexpr size_t kMaxTaps = size_t{1} << 20;
// Pairs handled per pass: both work streams (history + chunk) stay in L1.
constexpr size_t kChunk = 512;
constexpr size_t kRingsOffset = 44;

}  // namespace

// The delay lines are two linear streams (rate::HbPairs), so every output of a
// chunk reads a contiguous window and a block of outputs fills the vector
// lanes. The doubled rings of the state blob are derived from them.
struct hbdecim_t {
    rate::HbBranch b;
    rate::HbPairs<cf32_t> d;
};

namespace {

void run_kernel_generic(float *y, const float *cen, const float *p, const hbdecim_t *h, size_t nf) {
    h->b.run<4, false, true>(y, cen, 0.5f, p, nf);
}
SX_TARGET_AVX2 void run_kernel_avx2(float *y, const float *cen, const float *p, const hbdecim_t *h, size_t nf) {
    h->b.run<8, false, true>(y, cen, 0.5f, p, nf);
}

// Outputs for m pairs already placed after the history.
void compute(const hbdecim_t *h, size_t m, cf32_t *out) {
    const float *A = reinterpret_cast<const float *>(h->d.first());
    const float *B = reinterpret_cast<const float *>(h->d.second());
    const float *cen = (h->b.even ? B : A) - h->b.oc;
    const float *p = h->b.even ? A : B;
    float *y = reinterpret_cast<float *>(out);
    if (sx::simd::avx2())
        run_kernel_avx2(y, cen, p, h, 2 * m);
    else
        run_kernel_generic(y, cen, p, h, 2 * m);
}

size_t state_bytes_for(size_t S) { return kRingsOffset + rate::HbPairs<cf32_t>::rings_bytes(S); }

}  // namespace

bool hbdecim_state_valid(const hbdecim_t *h, const uint8_t *blob) {
    return h != nullptr && sx::state_header_ok(blob, kTag, state_bytes_for(h->d.S)) &&
           rate::hb_head_ok(blob, h->d.S) && h->d.rings_ok(blob + kRingsOffset);
}

void hbdecim_state_apply(hbdecim_t *h, const uint8_t *blob) { h->d.apply(blob, blob + kRingsOffset); }

extern "C" {

hbdecim_t *hbdecim_create(size_t n, const float *taps) {
    if (n == 0 || n > kMaxTaps || taps == nullptr) return nullptr;
    try {
        auto h = std::make_unique<hbdecim_t>();
        h->b.design(n, taps, 2, false);
        if (!h->d.allocate(rate::hb_ring_len(n), kChunk)) return nullptr;
        return h.release();
    } catch (const std::exception &) {
        return nullptr;
    }
}

void hbdecim_destroy(hbdecim_t *h) { delete h; }

void hbdecim_reset(hbdecim_t *h) {
    if (h != nullptr) h->d.reset();
}

size_t hbdecim_state_bytes(const hbdecim_t *h) { return h == nullptr ? 0 : state_bytes_for(h->d.S); }

void hbdecim_get_state(const hbdecim_t *h, void *blob) {
    if (h == nullptr || blob == nullptr) return;
    sx::StateWriter w(blob);
    w.header(kTag, state_bytes_for(h->d.S));
    h->d.put_head(w);
    h->d.put_rings(w);
}

int hbdecim_set_state(hbdecim_t *h, const void *blob) {
    const auto *p = static_cast<const uint8_t *>(blob);
    if (!hbdecim_state_valid(h, p)) return SX_ERR_INVALID;
    hbdecim_state_apply(h, p);
    return SX_OK;
}

double hbdecim_get_rate(const hbdecim_t *) { return 0.5; }
size_t hbdecim_get_num_taps(const hbdecim_t *h) { return h == nullptr ? 0 : h->b.n; }

double hbdecim_dc_gain(const hbdecim_t *h) {
    if (h == nullptr) return 0.0;
    double s = 0.5;
    for (size_t k = 0; k < h->b.half; ++k) s += 2.0 * h->b.coef[k];
    return s;
}

size_t hbdecim_execute_outputs(const hbdecim_t *h, size_t n_in) {
    return h == nullptr ? 0 : h->d.outputs(n_in);
}

size_t hbdecim_execute(hbdecim_t *h, const cf32_t *in, size_t n_in, cf32_t *out, size_t out_cap) {
    if (h == nullptr || in == nullptr || out == nullptr || n_in == 0 || out_cap == 0) return 0;
    return h->d.execute<kChunk>(in, n_in, out_cap, [&](size_t m, size_t done) { compute(h, m, out + done); });
}

hbdecim_t *HalfbandDecimator_create(const float *taps, size_t n) { return hbdecim_create(n, taps); }
void HalfbandDecimator_destroy(hbdecim_t *h) { hbdecim_destroy(h); }
void HalfbandDecimator_reset(hbdecim_t *h) { hbdecim_reset(h); }
size_t HalfbandDecimator_state_bytes(const hbdecim_t *h) { return hbdecim_state_bytes(h); }
void HalfbandDecimator_get_state(const hbdecim_t *h, void *blob) { hbdecim_get_state(h, blob); }
int HalfbandDecimator_set_state(hbdecim_t *h, const void *blob) { return hbdecim_set_state(h, blob); }
size_t HalfbandDecimator_execute(hbdecim_t *h, const cf32_t *in, size_t n_in, cf32_t *out, size_t out_cap) {
    return hbdecim_execute(h, in, n_in, out, out_cap);
}
size_t HalfbandDecimator_execute_max_out(const hbdecim_t *) { return 32768; }
double HalfbandDecimator_get_rate(const hbdecim_t *h) { return hbdecim_get_rate(h); }
size_t HalfbandDecimator_get_num_taps(const hbdecim_t *h) { return hbdecim_get_num_taps(h); }

}  // extern "C"
