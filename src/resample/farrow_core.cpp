#include "resample/farrow_core.h"

#include <cstring>
#include <new>

#include "core/sx_state.h"

namespace {

constexpr sx::StateTag kTag{{'F', 'R', 'R', 'W'}, 1};
constexpr size_t kStateBytes = 52;

bool order_ok(int32_t order) { return order >= 0 && order <= 2; }

}  // namespace

struct farrow_t {
    cf32_t d[4];  // d[3] newest
    int32_t order;
};

namespace {

// The polynomial of one component around x0 = d1, evaluated at mu.
template <int Order> inline float poly(float xm1, float x0, float x1, float x2, float mu) {
    if constexpr (Order == 0) {
        return x0 + mu * (x1 - x0);
    } else if constexpr (Order == 1) {
        return x0 + mu * ((x1 - x0) + 0.5f * (mu - 1.0f) * (xm1 + x2 - x0 - x1));
    } else {
        constexpr float sixth = 0.16666667f;
        const float c1 = (6.0f * x1 - 2.0f * xm1 - x2 - 3.0f * x0) * sixth;
        const float c2 = (x1 + xm1 - 2.0f * x0) * 0.5f;
        const float c3 = (x2 - 3.0f * x1 + 3.0f * x0 - xm1) * sixth;
        return x0 + mu * (c1 + mu * (c2 + mu * c3));
    }
}

// Outputs for inputs 0..n-1 read the delay line followed by the inputs, a
// sliding window of four; the line keeps the last four samples at the end.
template <int Order> void run(farrow_t *f, const cf32_t *in, size_t n, cf32_t *out, float mu) {
    cf32_t a = f->d[1], b = f->d[2], c = f->d[3];
    for (size_t i = 0; i < n; ++i) {
        const cf32_t x = in[i];
        out[i] = cf32_t(poly<Order>(a.real(), b.real(), c.real(), x.real(), mu),
                        poly<Order>(a.imag(), b.imag(), c.imag(), x.imag(), mu));
        f->d[0] = a;
        a = b;
        b = c;
        c = x;
    }
    f->d[1] = a;
    f->d[2] = b;
    f->d[3] = c;
}

}  // namespace

extern "C" {

farrow_t *farrow_create(int order) {
    if (!order_ok(order)) return nullptr;
    auto *f = new (std::nothrow) farrow_t{};
    if (f != nullptr) f->order = order;
    return f;
}

void farrow_destroy(farrow_t *f) { delete f; }

void farrow_reset(farrow_t *f) {
    if (f == nullptr) return;
    for (cf32_t &v : f->d) v = cf32_t{};
}

size_t farrow_state_bytes(const farrow_t *f) { return f == nullptr ? 0 : kStateBytes; }

void farrow_get_state(const farrow_t *f, void *blob) {
    if (f == nullptr || blob == nullptr) return;
    sx::StateWriter w(blob);
    w.header(kTag, kStateBytes);
    w.bytes(f->d, sizeof f->d);
    w.put(f->order);
}

int farrow_set_state(farrow_t *f, const void *blob) {
    const auto *p = static_cast<const uint8_t *>(blob);
    if (f == nullptr || !sx::state_header_ok(p, kTag, kStateBytes)) return SX_ERR_INVALID;
    int32_t order;
    std::memcpy(&order, p + 48, 4);
    if (!order_ok(order)) return SX_ERR_INVALID;
    std::memcpy(static_cast<void *>(f->d), p + 16, sizeof f->d);
    f->order = order;
    return SX_OK;
}

int farrow_get_group_delay(const farrow_t *) { return 2; }
size_t farrow_delay_max_out(const farrow_t *) { return 0; }

size_t farrow_delay(farrow_t *f, const cf32_t *in, size_t n_in, cf32_t *out, size_t out_cap, double mu) {
    if (f == nullptr || in == nullptr || out == nullptr) return 0;
    const size_t n = n_in < out_cap ? n_in : out_cap;
    if (n == 0) return 0;
    const float m = static_cast<float>(mu);
    switch (f->order) {
    case 0: run<0>(f, in, n, out, m); break;
    case 1: run<1>(f, in, n, out, m); break;
    default: run<2>(f, in, n, out, m); break;
    }
    return n;
}

}  // extern "C"
