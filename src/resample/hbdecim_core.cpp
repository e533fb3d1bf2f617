#include "resample/hbdecim_core.h"

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

constexpr sx::StateTag kTag{{'H', 'B', 'D', 'C'}, 1};
constexpr size_t kMaxTaps = size_t{1} << 20;
// Pairs handled per pass: both work streams (history + chunk) stay in L1.
constexpr size_t kChunk = 512;

}  // namespace

// The delay lines are kept as two linear streams, history (the last S samples,
// oldest first) followed by the pairs of the current chunk, so every output of
// a chunk reads a contiguous window and a block of outputs fills the vector
// lanes. The doubled rings of the state blob are derived from them.
struct hbdecim_t {
    size_t n = 0, half = 0, S = 1;
    std::vector<float> coef;        // half taps, each h[k] / 2
    std::vector<ptrdiff_t> o1, o2;  // product offsets in floats
    ptrdiff_t oc = 0;               // centre offset in floats
    bool even = false;
    sx::AlignedBuf<cf32_t> wa, wb;   // S + kChunk each
    size_t pos_a = 0, pos_b = 0;    // ring positions of the blob layout
    int32_t pending = 0;
    cf32_t pend{};
};

namespace {

void run_kernel_generic(float *y, const float *cen, const float *p, const hbdecim_t *h, size_t nf) {
    rate::hb_block<4, false, true>(y, cen, 0.5f, p, h->coef.data(), h->o1.data(), h->o2.data(), h->half, nf);
}
SX_TARGET_AVX2 void run_kernel_avx2(float *y, const float *cen, const float *p, const hbdecim_t *h,
                                                     size_t nf) {
    rate::hb_block<8, false, true>(y, cen, 0.5f, p, h->coef.data(), h->o1.data(), h->o2.data(), h->half, nf);
}

// Outputs for m pairs already placed after the history.
void compute(const hbdecim_t *h, size_t m, cf32_t *out) {
    const float *A = reinterpret_cast<const float *>(h->wa.data()) + 2 * h->S;
    const float *B = reinterpret_cast<const float *>(h->wb.data()) + 2 * h->S;
    const float *cen = (h->even ? B : A) - h->oc;
    const float *p = h->even ? A : B;
    float *y = reinterpret_cast<float *>(out);
    if (sx::simd::avx2())
        run_kernel_avx2(y, cen, p, h, 2 * m);
    else
        run_kernel_generic(y, cen, p, h, 2 * m);
}

// After m pairs: the last S samples become the history, the ring positions move.
void advance(hbdecim_t *h, size_t m) {
    std::memmove(static_cast<void *>(h->wa.data()), h->wa.data() + m, h->S * sizeof(cf32_t));
    std::memmove(static_cast<void *>(h->wb.data()), h->wb.data() + m, h->S * sizeof(cf32_t));
    const size_t mask = h->S - 1;
    h->pos_a = (h->pos_a - m) & mask;
    h->pos_b = (h->pos_b - m) & mask;
}

size_t state_bytes_for(size_t S) { return 44 + 32 * S; }

}  // namespace

bool hbdecim_state_valid(const hbdecim_t *h, const uint8_t *blob) {
    if (h == nullptr || !sx::state_header_ok(blob, kTag, state_bytes_for(h->S))) return false;
    uint64_t pa, pb;
    int32_t pending;
    std::memcpy(&pa, blob + 16, 8);
    std::memcpy(&pb, blob + 24, 8);
    std::memcpy(&pending, blob + 32, 4);
    if (pa >= h->S || pb >= h->S || (pending != 0 && pending != 1)) return false;
    // The two halves of a doubled ring always agree; a blob where they do not
    // was not written by this block.
    const size_t rb = h->S * sizeof(cf32_t);
    return rate::hb_ring_halves_agree(blob + 44, rb) && rate::hb_ring_halves_agree(blob + 44 + 2 * rb, rb);
}

void hbdecim_state_apply(hbdecim_t *h, const uint8_t *blob) {
    uint64_t pa, pb;
    std::memcpy(&pa, blob + 16, 8);
    std::memcpy(&pb, blob + 24, 8);
    std::memcpy(&h->pending, blob + 32, 4);
    std::memcpy(static_cast<void *>(&h->pend), blob + 36, sizeof(cf32_t));
    h->pos_a = static_cast<size_t>(pa);
    h->pos_b = static_cast<size_t>(pb);
    const size_t rb = h->S * sizeof(cf32_t);
    rate::hb_get_ring(blob + 44, h->wa.data(), h->S, h->pos_a);
    rate::hb_get_ring(blob + 44 + 2 * rb, h->wb.data(), h->S, h->pos_b);
}

extern "C" {

hbdecim_t *hbdecim_create(size_t n, const float *taps) {
    if (n == 0 || n > kMaxTaps || taps == nullptr) return nullptr;
    try {
        auto h = std::make_unique<hbdecim_t>();
        h->n = n;
        h->half = n / 2;
        h->even = (n % 2) == 0;
        h->S = n == 1 ? 1 : std::max<size_t>(2, std::bit_ceil(n));
        h->coef.resize(h->half);
        h->o1.resize(h->half);
        h->o2.resize(h->half);
        for (size_t k = 0; k < h->half; ++k) {
            h->coef[k] = 0.5f * taps[k];
            h->o1[k] = static_cast<ptrdiff_t>(2 * (k + (h->even ? 0 : 1)));
            h->o2[k] = static_cast<ptrdiff_t>(2 * (n - 1 - k));
        }
        h->oc = static_cast<ptrdiff_t>(2 * h->half);
        if (!h->wa.allocate(h->S + kChunk) || !h->wb.allocate(h->S + kChunk)) return nullptr;
        return h.release();
    } catch (const std::exception &) {
        return nullptr;
    }
}

void hbdecim_destroy(hbdecim_t *h) { delete h; }

void hbdecim_reset(hbdecim_t *h) {
    if (h == nullptr) return;
    h->wa.zero();
    h->wb.zero();
    h->pos_a = h->pos_b = 0;
    h->pending = 0;
    h->pend = cf32_t{};
}

size_t hbdecim_state_bytes(const hbdecim_t *h) { return h == nullptr ? 0 : state_bytes_for(h->S); }

void hbdecim_get_state(const hbdecim_t *h, void *blob) {
    if (h == nullptr || blob == nullptr) return;
    sx::StateWriter w(blob);
    w.header(kTag, state_bytes_for(h->S));
    w.put(static_cast<uint64_t>(h->pos_a));
    w.put(static_cast<uint64_t>(h->pos_b));
    w.put(h->pending);
    w.put(h->pend);
    rate::hb_put_ring(w, h->wa.data(), h->S, h->pos_a);
    rate::hb_put_ring(w, h->wb.data(), h->S, h->pos_b);
}

int hbdecim_set_state(hbdecim_t *h, const void *blob) {
    const auto *p = static_cast<const uint8_t *>(blob);
    if (!hbdecim_state_valid(h, p)) return SX_ERR_INVALID;
    hbdecim_state_apply(h, p);
    return SX_OK;
}

double hbdecim_get_rate(const hbdecim_t *) { return 0.5; }
size_t hbdecim_get_num_taps(const hbdecim_t *h) { return h == nullptr ? 0 : h->n; }

double hbdecim_dc_gain(const hbdecim_t *h) {
    if (h == nullptr) return 0.0;
    double s = 0.5;
    for (size_t k = 0; k < h->half; ++k) s += 2.0 * h->coef[k];
    return s;
}

size_t hbdecim_execute_outputs(const hbdecim_t *h, size_t n_in) {
    if (h == nullptr) return 0;
    return n_in / 2 + ((h->pending && (n_in & 1)) ? 1 : 0);
}

size_t hbdecim_execute(hbdecim_t *h, const cf32_t *in, size_t n_in, cf32_t *out, size_t out_cap) {
    if (h == nullptr || in == nullptr || out == nullptr || n_in == 0 || out_cap == 0) return 0;
    size_t pairs = hbdecim_execute_outputs(h, n_in);
    if (pairs > out_cap) pairs = out_cap;
    size_t idx = 0, done = 0;
    cf32_t *A = h->wa.data() + h->S, *B = h->wb.data() + h->S;
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
    // A trailing odd sample, or the sample after the last pair out had room
    // for, waits for the next call.
    if (idx < n_in) {
        h->pending = 1;
        h->pend = in[idx];
    }
    return done;
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
