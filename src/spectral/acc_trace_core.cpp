#include "spectral/acc_trace_core.h"

#include <algorithm>
#include <memory>
#include <new>

#include "core/sx_aligned.h"
#include "core/sx_simd.h"
#include "core/sx_state.h"
#include "spectral/fft_core.h"

namespace {
constexpr sx::StateTag kTag{{'A', 'T', 'R', 'C'}, 1};
}

struct acc_trace {
    sx::AlignedBuf<double> values;
    size_t len = 0;
    unsigned mode = 0;
    double alpha = 0.0;
    uint64_t count = 0;
};

namespace {

// The frame count saturates one below its wrap: a fold past 2^64 - 1 would
// read as an empty trace, and the largest count a blob may carry is the
// largest the trace ever reaches, so every state it reaches restores.
constexpr uint64_t kCountMax = UINT64_MAX - 1;

inline void fold(acc_trace *t, const float *__restrict x) {
    const size_t n = t->len;
    double *__restrict v = t->values.data();
    const uint64_t c = t->count;
    t->count = c + (c < kCountMax ? 1 : 0);
    if (c == 0) {
        for (size_t j = 0; j < n; ++j) v[j] = x[j];
        return;
    }
    switch (t->mode) {
        case 0: {
            const double k = 1.0 / (static_cast<double>(c) + 1.0);
            for (size_t j = 0; j < n; ++j) v[j] += (x[j] - v[j]) * k;
            break;
        }
        case 1: {
            const double a = t->alpha;
            if (a >= 1.0) {
                for (size_t j = 0; j < n; ++j) v[j] = x[j];
            } else {
                for (size_t j = 0; j < n; ++j) v[j] += (x[j] - v[j]) * a;
            }
            break;
        }
        case 2:
            for (size_t j = 0; j < n; ++j) {
                const double xj = x[j];
                v[j] = v[j] < xj ? xj : v[j];
            }
            break;
        default:
            for (size_t j = 0; j < n; ++j) {
                const double xj = x[j];
                v[j] = v[j] > xj ? xj : v[j];
            }
            break;
    }
}

// Elementwise folds: the AVX2 build gives the same bits as the portable one.
void fold_generic(acc_trace *t, const float *x) { fold(t, x); }
SX_TARGET_AVX2 void fold_avx2(acc_trace *t, const float *x) { fold(t, x); }

}  // namespace

extern "C" {

acc_trace *acc_trace_create(uint64_t len, unsigned mode, double alpha) {
    // 24 + 8*len must fit the blob size, and the vector must be allocatable.
    if (len == 0 || mode > 3 || len > (SIZE_MAX - 24) / 8) return nullptr;
    std::unique_ptr<acc_trace> t(new (std::nothrow) acc_trace);
    if (!t || !t->values.allocate(static_cast<size_t>(len))) return nullptr;
    t->len = static_cast<size_t>(len);
    t->mode = mode;
    t->alpha = alpha;
    return t.release();
}

void acc_trace_destroy(acc_trace *t) { delete t; }

void acc_trace_reset(acc_trace *t) {
    t->values.zero();
    t->count = 0;
}

size_t acc_trace_state_bytes(const acc_trace *t) { return 24 + 8 * t->len; }

void acc_trace_get_state(const acc_trace *t, void *blob) {
    sx::StateWriter w(blob);
    w.header(kTag, acc_trace_state_bytes(t));
    w.put(t->count);
    w.bytes(t->values.data(), 8 * t->len);
}

int acc_trace_set_state(acc_trace *t, const void *blob) {
    const auto *p = static_cast<const uint8_t *>(blob);
    if (!acc_trace_state_valid(t, p)) return SX_ERR_INVALID;
    acc_trace_state_apply(t, p);
    return SX_OK;
}

void acc_trace_accumulate(acc_trace *t, const float *x, size_t n_frame) {
    if (n_frame < t->len) return;
    if (sx::simd::avx2()) fold_avx2(t, x);
    else fold_generic(t, x);
}

size_t acc_trace_value(const acc_trace *t, size_t, float *out, size_t out_cap) {
    if (t->count == 0) return 0;
    const size_t m = std::min(t->len, out_cap);
    const double *v = t->values.data();
    for (size_t j = 0; j < m; ++j) out[j] = static_cast<float>(v[j]);
    return m;
}

size_t acc_trace_value_max_out(const acc_trace *t) { return t->len; }
uint64_t acc_trace_count(const acc_trace *t) { return t->count; }

}  // extern "C"

// A count above the saturation point is one the trace never reaches.
bool acc_trace_state_valid(const acc_trace *t, const uint8_t *blob) {
    if (!sx::state_header_ok(blob, kTag, acc_trace_state_bytes(t))) return false;
    uint64_t count;
    std::memcpy(&count, blob + sx::kStateHeaderBytes, sizeof count);
    return count <= kCountMax;
}

void acc_trace_state_apply(acc_trace *t, const uint8_t *blob) {
    sx::StateReader r(blob + sx::kStateHeaderBytes);
    t->count = r.get<uint64_t>();
    r.bytes(t->values.data(), 8 * t->len);
}
