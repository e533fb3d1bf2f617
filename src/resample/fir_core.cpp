#include "resample/fir_core.h"

#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "core/sx_state.h"

namespace {

constexpr sx::StateTag kTag{{'F', 'I', 'R', '_'}, 1};
// Taps beyond this cannot be a filter anyone runs, and keep every size below
// (history, work, blob) far from overflowing.
constexpr size_t kMaxTaps = size_t{1} << 32;
// Outputs computed per register block: 8 complex samples are 16 floats, four
// SSE registers of accumulators kept across the whole tap loop.
constexpr size_t kBlock = 8;

}  // namespace

struct fir_t {
    std::vector<float> taps_r;   // real taps, or empty
    std::vector<cf32_t> taps_c;  // complex taps, or empty
    std::vector<cf32_t> history; // last num_taps - 1 inputs, oldest first
    std::vector<cf32_t> work;    // history followed by the current block
    size_t num_taps = 0;
};

namespace {

template <class T> fir_t *make(const T *taps, size_t count) {
    if (taps == nullptr || count == 0 || count > kMaxTaps) return nullptr;
    try {
        auto f = std::make_unique<fir_t>();
        if constexpr (std::is_same_v<T, float>)
            f->taps_r.assign(taps, taps + count);
        else
            f->taps_c.assign(taps, taps + count);
        f->history.assign(count - 1, cf32_t{});
        f->num_taps = count;
        return f.release();
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

// out[i] = sum_j h[j] * w[i + T - 1 - j], accumulated tap 0 first in single
// precision. w is the work buffer as interleaved floats. Loops run over a block
// of outputs inside the tap loop, so each output keeps its own sequential sum
// while the block vectorises across outputs.
void filter_real(const float *__restrict h, size_t T, const float *__restrict w, size_t n, float *__restrict out) {
    size_t i = 0;
    for (; i + kBlock <= n; i += kBlock) {
        float acc[2 * kBlock] = {};
        const float *base = w + 2 * (i + T - 1);
        for (size_t j = 0; j < T; ++j) {
            const float hj = h[j];
            const float *x = base - 2 * j;
            for (size_t k = 0; k < 2 * kBlock; ++k) acc[k] += hj * x[k];
        }
        std::memcpy(out + 2 * i, acc, sizeof acc);
    }
    for (; i < n; ++i) {
        float re = 0.0f, im = 0.0f;
        const float *base = w + 2 * (i + T - 1);
        for (size_t j = 0; j < T; ++j) {
            re += h[j] * base[-2 * static_cast<ptrdiff_t>(j)];
            im += h[j] * base[-2 * static_cast<ptrdiff_t>(j) + 1];
        }
        out[2 * i] = re;
        out[2 * i + 1] = im;
    }
}

void filter_complex(const float *__restrict h, size_t T, const float *__restrict w, size_t n,
                    float *__restrict out) {
    size_t i = 0;
    for (; i + kBlock <= n; i += kBlock) {
        float acc[2 * kBlock] = {};
        const float *base = w + 2 * (i + T - 1);
        for (size_t j = 0; j < T; ++j) {
            const float hr = h[2 * j], hi = h[2 * j + 1];
            const float *x = base - 2 * j;
            for (size_t k = 0; k < kBlock; ++k) {
                const float xr = x[2 * k], xi = x[2 * k + 1];
                acc[2 * k] += hr * xr - hi * xi;
                acc[2 * k + 1] += hr * xi + hi * xr;
            }
        }
        std::memcpy(out + 2 * i, acc, sizeof acc);
    }
    for (; i < n; ++i) {
        float re = 0.0f, im = 0.0f;
        const float *base = w + 2 * (i + T - 1);
        for (size_t j = 0; j < T; ++j) {
            const float hr = h[2 * j], hi = h[2 * j + 1];
            const float xr = base[-2 * static_cast<ptrdiff_t>(j)], xi = base[-2 * static_cast<ptrdiff_t>(j) + 1];
            re += hr * xr - hi * xi;
            im += hr * xi + hi * xr;
        }
        out[2 * i] = re;
        out[2 * i + 1] = im;
    }
}

constexpr size_t state_bytes_for(size_t num_taps) {
    return sx::kStateHeaderBytes + (num_taps < 2 ? 0 : 8 * (num_taps - 1));
}

}  // namespace

bool fir_state_valid(const fir_t *f, const uint8_t *blob) {
    return f != nullptr && sx::state_header_ok(blob, kTag, state_bytes_for(f->num_taps));
}

void fir_state_apply(fir_t *f, const uint8_t *blob) {
    if (!f->history.empty())
        std::memcpy(f->history.data(), blob + sx::kStateHeaderBytes, f->history.size() * sizeof(cf32_t));
}

extern "C" {

fir_t *fir_create(const cf32_t *taps, size_t count) { return make(taps, count); }
fir_t *fir_create_real(const float *taps, size_t count) { return make(taps, count); }
void fir_destroy(fir_t *f) { delete f; }

void fir_reset(fir_t *f) {
    if (f != nullptr) std::fill(f->history.begin(), f->history.end(), cf32_t{});
}

size_t fir_state_bytes(const fir_t *f) { return f == nullptr ? 0 : state_bytes_for(f->num_taps); }

void fir_get_state(const fir_t *f, void *blob) {
    if (f == nullptr || blob == nullptr) return;
    sx::StateWriter w(blob);
    w.header(kTag, state_bytes_for(f->num_taps));
    w.bytes(f->history.data(), f->history.size() * sizeof(cf32_t));
}

int fir_set_state(fir_t *f, const void *blob) {
    const auto *p = static_cast<const uint8_t *>(blob);
    if (!fir_state_valid(f, p)) return SX_ERR_INVALID;
    fir_state_apply(f, p);
    return SX_OK;
}

size_t fir_get_num_taps(const fir_t *f) { return f == nullptr ? 0 : f->num_taps; }
int fir_get_is_real(const fir_t *f) { return f != nullptr && !f->taps_r.empty(); }

double fir_dc_gain(const fir_t *f) {
    if (f == nullptr) return 0.0;
    double s = 0.0;
    for (float h : f->taps_r) s += h;
    for (const cf32_t &h : f->taps_c) s += h.real();
    return s;
}

size_t fir_execute(fir_t *f, const cf32_t *in, size_t n, cf32_t *out) {
    if (f == nullptr || in == nullptr || out == nullptr || n == 0) return 0;
    const size_t hist = f->num_taps - 1;
    if (n > (SIZE_MAX / sizeof(cf32_t)) - hist) return 0;
    const size_t need = hist + n;
    if (f->work.size() < need) {
        try {
            f->work.resize(need);
        } catch (const std::bad_alloc &) {
            return 0;
        }
    }
    cf32_t *w = f->work.data();
    if (hist) std::memcpy(w, f->history.data(), hist * sizeof(cf32_t));
    // memmove: in and out may be one buffer, and a caller may pass inputs that
    // alias our scratch only through out, never through work.
    std::memmove(w + hist, in, n * sizeof(cf32_t));
    const auto *wf = reinterpret_cast<const float *>(w);
    auto *of = reinterpret_cast<float *>(out);
    if (!f->taps_r.empty())
        filter_real(f->taps_r.data(), f->num_taps, wf, n, of);
    else
        filter_complex(reinterpret_cast<const float *>(f->taps_c.data()), f->num_taps, wf, n, of);
    if (hist) std::memcpy(f->history.data(), w + n, hist * sizeof(cf32_t));
    return n;
}

size_t fir_execute_max_out(const fir_t *) { return 0; }

}  // extern "C"
