#include "spectral/corr_core.h"

#include <cstring>
#include <memory>
#include <new>

#include "core/sx_state.h"
#include "spectral/corr2d_core.h"
#include "spectral/fft_core.h"

using sx::AlignedBuf;
using sx::make_aligned;
using sx::spectral::cf32;
using sx::spectral::Engine;

struct corr {
    std::unique_ptr<Engine> fwd;  // n points, forward
    std::unique_ptr<Engine> inv;  // n_out points, inverse
    AlignedBuf<cf32> ref_spec;    // conj(FFT(ref))
    AlignedBuf<cf32> xspec;       // the current frame's spectrum
    AlignedBuf<cf32> acc;         // coherent accumulator
    AlignedBuf<cf32> padded;      // n_out bins, only when n_out != n
    uint64_t n, n_out, dwell, count;
};

namespace sx::spectral {

void cmac(cf32 *__restrict acc, const cf32 *__restrict x, const cf32 *__restrict r, size_t n) {
    // Plain float arithmetic: std::complex multiplication adds NaN recovery
    // calls that keep the loop scalar.
    auto *a = reinterpret_cast<float *>(acc);
    const auto *p = reinterpret_cast<const float *>(x);
    const auto *q = reinterpret_cast<const float *>(r);
    for (size_t k = 0; k < 2 * n; k += 2) {
        const float xr = p[k], xi = p[k + 1], rr = q[k], ri = q[k + 1];
        a[k] += xr * rr - xi * ri;
        a[k + 1] += xr * ri + xi * rr;
    }
}

void conj_inplace(cf32 *v, size_t n) {
    auto *f = reinterpret_cast<float *>(v);
    for (size_t k = 1; k < 2 * n; k += 2) f[k] = -f[k];
}

void scale_inplace(cf32 *v, size_t n, float s) {
    auto *f = reinterpret_cast<float *>(v);
    for (size_t k = 0; k < 2 * n; ++k) f[k] *= s;
}

namespace {
sx::StateTag tag_of(const char t[4]) {
    sx::StateTag st{};
    std::memcpy(st.tag, t, 4);
    st.version = 1;
    return st;
}
}  // namespace

void acc_state_put(void *blob, const char tag[4], size_t state_bytes, uint64_t count, const cf32 *acc, size_t n) {
    sx::StateWriter w(blob);
    w.header(tag_of(tag), state_bytes);
    w.put(count);
    w.bytes(acc, n * sizeof(cf32));
}

bool acc_state_ok(const uint8_t *blob, const char tag[4], size_t state_bytes, uint64_t dwell) {
    sx::StateReader r(blob);
    if (!r.header(tag_of(tag), state_bytes)) return false;
    const auto count = r.get<uint64_t>();
    return dwell == 0 || count < dwell;
}

uint64_t acc_state_get(const uint8_t *blob, cf32 *acc, size_t n) {
    sx::StateReader r(blob);
    r.skip(sx::kStateHeaderBytes);
    const auto count = r.get<uint64_t>();
    r.bytes(acc, n * sizeof(cf32));
    return count;
}

bool corr_state_ok(const corr *h, const uint8_t *blob) {
    return acc_state_ok(blob, "CORR", corr_state_bytes(h), h->dwell);
}

void corr_state_apply(corr *h, const uint8_t *blob) { h->count = acc_state_get(blob, h->acc.data(), h->n); }

}  // namespace sx::spectral

namespace {
auto *c32(const float *p) { return reinterpret_cast<const cf32 *>(p); }
auto *c32(float *p) { return reinterpret_cast<cf32 *>(p); }

void load_ref(corr *h, const float *ref) {
    h->fwd->cf32(c32(ref), h->n, h->ref_spec.data(), h->n);
    sx::spectral::conj_inplace(h->ref_spec.data(), h->n);
}
}  // namespace

extern "C" {

corr *corr_create(const float *ref, uint64_t n, uint64_t dwell, int, uint64_t n_out) {
    if (n_out == 0) n_out = n;
    if (ref == nullptr || n == 0 || n_out < n || n_out > sx::spectral::kMaxFftPoints) return nullptr;
    auto *h = new (std::nothrow) corr{};
    if (h == nullptr) return nullptr;
    h->n = n;
    h->n_out = n_out;
    h->dwell = dwell;
    h->fwd = Engine::create(1, n, false, -1);
    h->inv = Engine::create(1, n_out, false, +1);
    h->ref_spec = make_aligned<cf32>(n);
    h->xspec = make_aligned<cf32>(n);
    h->acc = make_aligned<cf32>(n);
    if (n_out != n) h->padded = make_aligned<cf32>(n_out);
    if (!h->fwd || !h->inv || !h->ref_spec || !h->xspec || !h->acc || (n_out != n && !h->padded)) {
        delete h;
        return nullptr;
    }
    load_ref(h, ref);
    return h;
}

void corr_destroy(corr *h) { delete h; }

void corr_reset(corr *h) {
    h->acc.zero();
    h->count = 0;
}

size_t corr_state_bytes(const corr *h) { return 24 + 8 * h->n; }

void corr_get_state(const corr *h, void *blob) {
    sx::spectral::acc_state_put(blob, "CORR", corr_state_bytes(h), h->count, h->acc.data(), h->n);
}

int corr_set_state(corr *h, const void *blob) {
    const auto *p = static_cast<const uint8_t *>(blob);
    if (!sx::spectral::corr_state_ok(h, p)) return SX_ERR_INVALID;
    sx::spectral::corr_state_apply(h, p);
    return SX_OK;
}

void corr_set_ref(corr *h, const float *ref) {
    load_ref(h, ref);
    corr_reset(h);
}

size_t corr_execute(corr *h, const float *x, size_t n_in, float *out, size_t out_cap) {
    const size_t n = h->n;
    h->fwd->cf32(c32(x), n_in < n ? n_in : n, h->xspec.data(), n);
    sx::spectral::cmac(h->acc.data(), h->xspec.data(), h->ref_spec.data(), n);
    if (++h->count != h->dwell) return 0;
    const cf32 *src = h->acc.data();
    if (h->n_out != n) {
        corr2d_zeropad_1d(reinterpret_cast<const float *>(src), n, reinterpret_cast<float *>(h->padded.data()),
                          h->n_out);
        src = h->padded.data();
    }
    // The engine truncates to out_cap itself (through its own scratch).
    const size_t m = h->inv->cf32(src, h->n_out, c32(out), out_cap);
    sx::spectral::scale_inplace(c32(out), m, 1.0f / static_cast<float>(n));
    corr_reset(h);
    return m;
}

size_t corr_execute_max_out(const corr *h) { return h->n_out; }
uint64_t corr_n(const corr *h) { return h->n; }
uint64_t corr_n_out(const corr *h) { return h->n_out; }
uint64_t corr_dwell(const corr *h) { return h->dwell; }
uint64_t corr_count(const corr *h) { return h->count; }

}  // extern "C"
