#include "spectral/corr2d_core.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "spectral/corr_core.h"
#include "spectral/fft_core.h"

using sx::AlignedBuf;
using sx::make_aligned;
using sx::spectral::cf32;
using sx::spectral::Engine;

struct corr2d {
    std::unique_ptr<Engine> fwd;  // row mode: nx points; full mode: ny x nx
    std::unique_ptr<Engine> inv;  // row mode: nx_out points; full mode: ny_out x nx_out
    AlignedBuf<cf32> ref_spec;    // row mode: nx bins; full mode: ny*nx bins
    AlignedBuf<cf32> xspec;       // the current frame's spectrum (row mode: one row)
    AlignedBuf<cf32> acc;         // ny*nx bins
    AlignedBuf<cf32> rows;        // ny x nx_out: rows padded (decoupled output only)
    AlignedBuf<cf32> grid;        // ny_out x nx_out: rows and columns padded (full mode, decoupled)
    AlignedBuf<cf32> col, col_out;  // one column before and after padding (full mode, decoupled)
    AlignedBuf<cf32> scratch;     // n_out values, on first dump into a short out
    uint64_t ny, nx, n, ny_out, nx_out, n_out, dwell, count;
    bool row_mode, decoupled;
};

namespace {
auto *c32(const float *p) { return reinterpret_cast<const cf32 *>(p); }
auto *c32(float *p) { return reinterpret_cast<cf32 *>(p); }
auto *f32(const cf32 *p) { return reinterpret_cast<const float *>(p); }
auto *f32(cf32 *p) { return reinterpret_cast<float *>(p); }

bool rows_beyond_first_zero(const float *ref, uint64_t ny, uint64_t nx) {
    for (size_t k = 2 * nx; k < 2 * ny * nx; ++k)
        if (ref[k] != 0.0f) return false;
    return true;
}

void load_ref(corr2d *h, const float *ref) {
    const size_t bins = h->row_mode ? h->nx : h->n;
    h->fwd->cf32(c32(ref), bins, h->ref_spec.data(), bins);
    sx::spectral::conj_inplace(h->ref_spec.data(), bins);
}

// Row mode dump: each accumulated row, padded to nx_out, inverse-transformed
// into its output row.
void dump_rows(corr2d *h, cf32 *dst) {
    for (size_t y = 0; y < h->ny; ++y) {
        const cf32 *src = h->acc.data() + y * h->nx;
        if (h->decoupled) {
            cf32 *p = h->rows.data() + y * h->nx_out;
            corr2d_zeropad_1d(f32(src), h->nx, f32(p), h->nx_out);
            src = p;
        }
        h->inv->cf32(src, h->nx_out, dst + y * h->nx_out, h->nx_out);
    }
}

// Full mode dump: pad along rows, then along columns, one inverse 2-D transform.
void dump_full(corr2d *h, cf32 *dst) {
    const cf32 *src = h->acc.data();
    if (h->decoupled) {
        const size_t ny = h->ny, nx = h->nx, ny_out = h->ny_out, nx_out = h->nx_out;
        for (size_t y = 0; y < ny; ++y)
            corr2d_zeropad_1d(f32(h->acc.data() + y * nx), nx, f32(h->rows.data() + y * nx_out), nx_out);
        for (size_t c = 0; c < nx_out; ++c) {
            for (size_t y = 0; y < ny; ++y) h->col[y] = h->rows[y * nx_out + c];
            corr2d_zeropad_1d(f32(h->col.data()), ny, f32(h->col_out.data()), ny_out);
            for (size_t y = 0; y < ny_out; ++y) h->grid[y * nx_out + c] = h->col_out[y];
        }
        src = h->grid.data();
    }
    h->inv->cf32(src, h->n_out, dst, h->n_out);
}
}  // namespace

namespace sx::spectral {
bool corr2d_state_ok(const corr2d *h, const uint8_t *blob) {
    return acc_state_ok(blob, "CR2D", corr2d_state_bytes(h), h->dwell);
}
void corr2d_state_apply(corr2d *h, const uint8_t *blob) { h->count = acc_state_get(blob, h->acc.data(), h->n); }
}  // namespace sx::spectral

extern "C" {

void corr2d_zeropad_1d(const float *src, uint64_t L, float *dst, uint64_t M) {
    const cf32 *s = c32(src);
    cf32 *d = c32(dst);
    if (M == L) {
        std::memmove(d, s, L * sizeof(cf32));
        return;
    }
    std::fill(d, d + M, cf32{});
    const size_t half = L / 2;
    std::copy(s, s + half + 1, d);
    std::copy(s + half + 1, s + L, d + (M - L + half + 1));
    if (L % 2 == 0) {
        // The Nyquist bin belongs to both signs: split it so the padded
        // spectrum stays the band-limited interpolation of a real-valued
        // correlation shape.
        const cf32 v = s[half] * 0.5f;
        d[half] = v;
        d[M - half] = v;
    }
}

corr2d *corr2d_create(const float *ref, uint64_t ny, uint64_t nx, uint64_t dwell, int, uint64_t ny_out,
                      uint64_t nx_out) {
    if (ref == nullptr || ny == 0 || nx == 0 || dwell == 0) return nullptr;
    bool full = false;
    if (ny_out != 0) {
        if (ny_out < ny || (nx_out != 0 && nx_out < nx)) return nullptr;
        if (ny_out != ny) full = true;
    } else {
        ny_out = ny;
    }
    if (nx_out == 0) nx_out = nx;
    if (nx_out < nx) return nullptr;
    uint64_t n, n_out;
    if (__builtin_mul_overflow(ny, nx, &n) || __builtin_mul_overflow(ny_out, nx_out, &n_out) ||
        n_out > sx::spectral::kMaxFftPoints)
        return nullptr;
    const bool row_mode = !full && rows_beyond_first_zero(ref, ny, nx);

    auto *h = new (std::nothrow) corr2d{};
    if (h == nullptr) return nullptr;
    h->ny = ny;
    h->nx = nx;
    h->n = n;
    h->ny_out = ny_out;
    h->nx_out = nx_out;
    h->n_out = n_out;
    h->dwell = dwell;
    h->row_mode = row_mode;
    h->decoupled = ny_out != ny || nx_out != nx;
    bool ok;
    if (row_mode) {
        h->fwd = Engine::create(1, nx, false, -1);
        h->inv = Engine::create(1, nx_out, false, +1);
        h->ref_spec = make_aligned<cf32>(nx);
        h->xspec = make_aligned<cf32>(nx);
        if (h->decoupled) h->rows = make_aligned<cf32>(ny * nx_out);
        ok = !h->decoupled || h->rows;
    } else {
        h->fwd = Engine::create(ny, nx, true, -1);
        h->inv = Engine::create(ny_out, nx_out, true, +1);
        h->ref_spec = make_aligned<cf32>(n);
        h->xspec = make_aligned<cf32>(n);
        if (h->decoupled) {
            h->rows = make_aligned<cf32>(ny * nx_out);
            h->grid = make_aligned<cf32>(n_out);
            h->col = make_aligned<cf32>(ny);
            h->col_out = make_aligned<cf32>(ny_out);
        }
        ok = !h->decoupled || (h->rows && h->grid && h->col && h->col_out);
    }
    h->acc = make_aligned<cf32>(n);
    if (!ok || !h->fwd || !h->inv || !h->ref_spec || !h->xspec || !h->acc) {
        delete h;
        return nullptr;
    }
    load_ref(h, ref);
    return h;
}

void corr2d_destroy(corr2d *h) { delete h; }

void corr2d_reset(corr2d *h) {
    h->acc.zero();
    h->count = 0;
}

size_t corr2d_state_bytes(const corr2d *h) { return 24 + 8 * h->n; }

void corr2d_get_state(const corr2d *h, void *blob) {
    sx::spectral::acc_state_put(blob, "CR2D", corr2d_state_bytes(h), h->count, h->acc.data(), h->n);
}

int corr2d_set_state(corr2d *h, const void *blob) {
    const auto *p = static_cast<const uint8_t *>(blob);
    if (!sx::spectral::corr2d_state_ok(h, p)) return SX_ERR_INVALID;
    sx::spectral::corr2d_state_apply(h, p);
    return SX_OK;
}

int corr2d_set_ref(corr2d *h, const float *ref) {
    if (h->row_mode && !rows_beyond_first_zero(ref, h->ny, h->nx)) return SX_ERR_INIT;
    load_ref(h, ref);
    corr2d_reset(h);
    return SX_OK;
}

size_t corr2d_execute(corr2d *h, const float *x, size_t n_in, float *out, size_t out_cap) {
    const cf32 *in = c32(x);
    const size_t have = n_in < h->n ? n_in : h->n;
    if (h->row_mode) {
        const size_t nx = h->nx;
        for (size_t y = 0; y < h->ny; ++y) {
            const size_t at = y * nx;
            const size_t avail = have > at ? std::min(nx, have - at) : 0;
            h->fwd->cf32(in + at, avail, h->xspec.data(), nx);
            sx::spectral::cmac(h->acc.data() + at, h->xspec.data(), h->ref_spec.data(), nx);
        }
    } else {
        h->fwd->cf32(in, have, h->xspec.data(), h->n);
        sx::spectral::cmac(h->acc.data(), h->xspec.data(), h->ref_spec.data(), h->n);
    }
    if (++h->count != h->dwell) return 0;

    cf32 *dst = c32(out);
    if (out_cap < h->n_out) {
        if (!h->scratch) h->scratch = make_aligned<cf32>(h->n_out);
        dst = h->scratch.data();
    }
    size_t m = std::min<size_t>(out_cap, h->n_out);
    if (dst == nullptr) {
        m = 0;  // the scratch could not be had: nothing to report but an empty dump
    } else {
        if (h->row_mode)
            dump_rows(h, dst);
        else
            dump_full(h, dst);
        // Row mode inverts rows of nx_out points: the unscaled transform carries nx.
        const uint64_t len = h->row_mode ? h->nx : h->n;
        sx::spectral::scale_inplace(dst, m, 1.0f / static_cast<float>(len));
        if (dst != c32(out) && m != 0) std::memcpy(out, dst, m * sizeof(cf32));
    }
    corr2d_reset(h);
    return m;
}

size_t corr2d_execute_max_out(const corr2d *h) { return h->n_out; }
uint64_t corr2d_ny(const corr2d *h) { return h->ny; }
uint64_t corr2d_nx(const corr2d *h) { return h->nx; }
uint64_t corr2d_ny_out(const corr2d *h) { return h->ny_out; }
uint64_t corr2d_nx_out(const corr2d *h) { return h->nx_out; }
uint64_t corr2d_n_out(const corr2d *h) { return h->n_out; }
uint64_t corr2d_dwell(const corr2d *h) { return h->dwell; }
uint64_t corr2d_count(const corr2d *h) { return h->count; }
int corr2d_row_mode(const corr2d *h) { return h->row_mode ? 1 : 0; }

}  // extern "C"
