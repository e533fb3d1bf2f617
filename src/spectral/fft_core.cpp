#include "spectral/fft_core.h"

#include <fftw3.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>

#include "core/fftw_planner.h"

namespace sx::spectral {
namespace {

template <class R> struct Lib;

template <> struct Lib<double> {
    using plan = fftw_plan;
    using cplx = fftw_complex;
    static plan guru(int rank, const fftw_iodim64 *dims, int hrank, const fftw_iodim64 *how, void *in, void *out,
                     int sign) {
        return fftw_plan_guru64_dft(rank, dims, hrank, how, static_cast<cplx *>(in), static_cast<cplx *>(out), sign,
                                    FFTW_ESTIMATE);
    }
    static void exec(plan p, void *in, void *out) {
        fftw_execute_dft(p, static_cast<cplx *>(in), static_cast<cplx *>(out));
    }
    static void destroy(plan p) { fftw_destroy_plan(p); }
};

template <> struct Lib<float> {
    using plan = fftwf_plan;
    using cplx = fftwf_complex;
    static plan guru(int rank, const fftw_iodim64 *dims, int hrank, const fftw_iodim64 *how, void *in, void *out,
                     int sign) {
        return fftwf_plan_guru64_dft(rank, dims, hrank, how, static_cast<cplx *>(in), static_cast<cplx *>(out), sign,
                                     FFTW_ESTIMATE);
    }
    static void exec(plan p, void *in, void *out) {
        fftwf_execute_dft(p, static_cast<cplx *>(in), static_cast<cplx *>(out));
    }
    static void destroy(plan p) { fftwf_destroy_plan(p); }
};

bool checked_mul(size_t a, size_t b, size_t *r) { return !__builtin_mul_overflow(a, b, r); }

}  // namespace

bool fft_len_single(size_t len) {
    if (len < 16 || len % 16 != 0) return false;
    for (size_t f : {2, 3, 5})
        while (len % f == 0) len /= f;
    return len == 1;
}

// dst (cols x rows) = transpose of src (rows x cols), in tiles so both sides
// stay in cache; the last tile of a row or column may be partial. Eight
// elements of eight rows: with power-of-two row lengths the rows of a tile fall
// into one cache set, and sixteen of them (with the destination's) overflow
// its ways; eight tiles run up to four times faster on 512 x 512 and larger.
template <class C> void transpose(const C *__restrict src, size_t rows, size_t cols, C *__restrict dst) {
    constexpr size_t kTile = 8;
    for (size_t r0 = 0; r0 < rows; r0 += kTile) {
        const size_t r1 = std::min(rows, r0 + kTile);
        for (size_t c0 = 0; c0 < cols; c0 += kTile) {
            const size_t c1 = std::min(cols, c0 + kTile);
            for (size_t r = r0; r < r1; ++r)
                for (size_t c = c0; c < c1; ++c) dst[c * rows + r] = src[r * cols + c];
        }
    }
}

// One precision's transform over a fixed geometry. 1-D: one out-of-place plan.
// 2-D: a pass of ny row transforms, a tiled transpose, a pass of nx transforms
// over the now contiguous columns, and a transpose back; both passes run over
// contiguous data, which is much faster than strided column transforms.
// Plans are made on the engine's own buffers; caller buffers are used directly
// when their SIMD alignment matches, otherwise data goes through staging.
template <class R> class Plan {
public:
    using C = std::complex<R>;
    using L = Lib<R>;

    static std::unique_ptr<Plan> create(size_t ny, size_t nx, bool two_d, int sign) {
        std::unique_ptr<Plan> p(new (std::nothrow) Plan());
        if (!p) return nullptr;
        p->n_ = ny * nx;
        p->ny_ = ny;
        p->nx_ = nx;
        p->two_d_ = two_d;
        p->in_ = make_aligned<C>(p->n_);
        p->out_ = make_aligned<C>(p->n_);
        if (two_d) p->work_ = make_aligned<C>(p->n_);
        if (!p->in_ || !p->out_ || (two_d && !p->work_)) return nullptr;
        const int dir = sign < 0 ? FFTW_FORWARD : FFTW_BACKWARD;
        const auto sny = static_cast<ptrdiff_t>(ny), snx = static_cast<ptrdiff_t>(nx);
        const fftw_iodim64 row{snx, 1, 1}, rows{sny, snx, snx};
        const fftw_iodim64 col{sny, 1, 1}, cols{snx, sny, sny};
        // Planning and destruction are serialised by FFTW's own process-wide
        // lock; executing with the new-array interface needs none.
        sx::fftw_planner_make_safe();
        p->rows_ = L::guru(1, &row, 1, &rows, p->in_.get(), p->out_.get(), dir);
        if (p->rows_ == nullptr) return nullptr;
        if (two_d) {
            p->cols_ = L::guru(1, &col, 1, &cols, p->work_.get(), p->out_.get(), dir);
            if (p->cols_ == nullptr) return nullptr;
        }
        return p;
    }

    ~Plan() {
        if (rows_ != nullptr) L::destroy(rows_);
        if (cols_ != nullptr) L::destroy(cols_);
    }

    C *in() { return in_.get(); }

    // Transforms the first `avail` (<= n) samples of src, zero-extended, into dst.
    // The library reads src while it writes dst, so src is staged whenever the
    // two share memory (an out= view over the input shifted by a few samples).
    void run(const C *src, size_t avail, C *dst) {
        if (avail < n_ || overlap(src, dst) || !aligned(src)) {
            std::copy_n(src, avail, in_.get());
            std::fill(in_.get() + avail, in_.get() + n_, C{});
            src = in_.get();
        }
        transform(src, dst);
    }

    // Transforms what the caller loaded into in() and returns an engine buffer
    // holding the n bins.
    const C *run_staged() {
        C *r = two_d_ ? work_.get() : out_.get();
        transform(in_.get(), r);
        return r;
    }

    // Transforms what the caller loaded into in() into dst.
    void run_loaded(C *dst) { transform(in_.get(), dst); }

private:
    Plan() = default;
    // The library only asks that new arrays share the plan's 16-byte alignment,
    // but its 32-byte vector loads split cache lines on a buffer at 16 mod 32
    // (where large NumPy arrays usually start) and run about a quarter slower
    // than staging the data, so the direct path wants 32-byte alignment.
    bool aligned(const void *p) const { return reinterpret_cast<uintptr_t>(p) % 32 == 0; }
    bool overlap(const C *a, const C *b) const {
        const auto pa = reinterpret_cast<uintptr_t>(a), pb = reinterpret_cast<uintptr_t>(b);
        const uintptr_t bytes = n_ * sizeof(C);
        return pa < pb + bytes && pb < pa + bytes;
    }

    // src is aligned and distinct from dst.
    void transform(const C *src, C *dst) {
        if (!two_d_) {
            C *o = aligned(dst) ? dst : out_.get();
            L::exec(rows_, const_cast<C *>(src), o);
            if (o != dst) std::copy_n(o, n_, dst);
            return;
        }
        L::exec(rows_, const_cast<C *>(src), out_.get());
        transpose(out_.get(), ny_, nx_, work_.get());
        L::exec(cols_, work_.get(), out_.get());
        transpose(out_.get(), nx_, ny_, dst);
    }

    size_t n_ = 0, ny_ = 0, nx_ = 0;
    bool two_d_ = false;
    typename L::plan rows_ = nullptr;
    typename L::plan cols_ = nullptr;
    AlignedBuf<C> in_, out_, work_;
};

std::unique_ptr<Engine> Engine::create(size_t ny, size_t nx, bool two_d, int sign) {
    size_t n;
    if (ny == 0 || nx == 0 || !checked_mul(ny, nx, &n) || n > kMaxFftPoints) return nullptr;
    try {
        std::unique_ptr<Engine> e(new Engine());
        e->n_ = n;
        e->d_ = Plan<double>::create(ny, nx, two_d, sign);
        if (!e->d_) return nullptr;
        if (fft_len_single(nx) && (!two_d || fft_len_single(ny))) {
            e->f_ = Plan<float>::create(ny, nx, two_d, sign);
            if (!e->f_) return nullptr;
        }
        return e;
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

Engine::~Engine() = default;

// Where a call writes its n bins: the caller's buffer, or the truncation
// scratch (made once, on first need) when the caller holds fewer than n.
template <class T> T *Engine::dest(T *out, size_t cap) {
    if (cap >= n_) return out;
    if (!scratch_) scratch_ = make_aligned<std::complex<double>>(n_);
    return reinterpret_cast<T *>(scratch_.get());
}

template <class T> size_t Engine::finish(T *dst, T *out, size_t cap) {
    if (dst == out) return n_;
    std::copy_n(dst, cap, out);
    return cap;
}

size_t Engine::cf64(const std::complex<double> *in, size_t n_in, std::complex<double> *out, size_t cap) {
    auto *dst = dest(out, cap);
    if (dst == nullptr) return 0;
    d_->run(in, std::min(n_in, n_), dst);
    return finish(dst, out, cap);
}

size_t Engine::cf32(const std::complex<float> *in, size_t n_in, std::complex<float> *out, size_t cap) {
    auto *dst = dest(out, cap);
    if (dst == nullptr) return 0;
    const size_t avail = std::min(n_in, n_);
    if (f_) {
        f_->run(in, avail, dst);
    } else {
        std::complex<double> *w = d_->in();
        for (size_t i = 0; i < avail; ++i) w[i] = std::complex<double>(in[i].real(), in[i].imag());
        std::fill(w + avail, w + n_, std::complex<double>{});
        const std::complex<double> *r = d_->run_staged();
        for (size_t i = 0; i < n_; ++i)
            dst[i] = std::complex<float>(static_cast<float>(r[i].real()), static_cast<float>(r[i].imag()));
    }
    return finish(dst, out, cap);
}

// The integer-to-float scaling is fused into the load of the staging buffer.
template <class I>
void Engine::integer(const I *in, size_t n_values, float scale, std::complex<float> *out) {
    const size_t avail = std::min(n_values / 2, n_);
    if (f_) {
        std::complex<float> *w = f_->in();
        for (size_t i = 0; i < avail; ++i)
            w[i] = std::complex<float>(static_cast<float>(in[2 * i]) * scale, static_cast<float>(in[2 * i + 1]) * scale);
        std::fill(w + avail, w + n_, std::complex<float>{});
        f_->run_loaded(out);
    } else {
        std::complex<double> *w = d_->in();
        for (size_t i = 0; i < avail; ++i)
            w[i] = std::complex<double>(static_cast<float>(in[2 * i]) * scale, static_cast<float>(in[2 * i + 1]) * scale);
        std::fill(w + avail, w + n_, std::complex<double>{});
        const std::complex<double> *r = d_->run_staged();
        for (size_t i = 0; i < n_; ++i)
            out[i] = std::complex<float>(static_cast<float>(r[i].real()), static_cast<float>(r[i].imag()));
    }
}

size_t Engine::ci16(const int16_t *in, size_t n_values, std::complex<float> *out) {
    integer(in, n_values, 1.0f / 32768.0f, out);
    return n_;
}

size_t Engine::ci8(const int8_t *in, size_t n_values, std::complex<float> *out) {
    integer(in, n_values, 1.0f / 128.0f, out);
    return n_;
}

}  // namespace sx::spectral

using sx::spectral::Engine;

struct fft {
    std::unique_ptr<Engine> e;
    int sign;
};

namespace {
auto *c64(const double *p) { return reinterpret_cast<const std::complex<double> *>(p); }
auto *c64(double *p) { return reinterpret_cast<std::complex<double> *>(p); }
auto *c32(const float *p) { return reinterpret_cast<const std::complex<float> *>(p); }
auto *c32(float *p) { return reinterpret_cast<std::complex<float> *>(p); }
}  // namespace

extern "C" {

fft *fft_create(uint64_t n, int sign, int) {
    auto e = Engine::create(1, static_cast<size_t>(n), false, sign);
    if (!e) return nullptr;
    auto *h = new (std::nothrow) fft{std::move(e), sign};
    return h;
}

void fft_destroy(fft *h) { delete h; }
void fft_reset(fft *) {}
uint64_t fft_size(const fft *h) { return h->e->size(); }
int fft_sign(const fft *h) { return h->sign; }

size_t fft_execute_cf64(fft *h, const double *in, size_t n_in, double *out, size_t out_cap) {
    return h->e->cf64(c64(in), n_in, c64(out), out_cap);
}
size_t fft_execute_cf32(fft *h, const float *in, size_t n_in, float *out, size_t out_cap) {
    return h->e->cf32(c32(in), n_in, c32(out), out_cap);
}
size_t fft_execute_inplace_cf64(fft *h, const double *in, size_t n_in, double *out, size_t out_cap) {
    return h->e->cf64(c64(in), n_in, c64(out), out_cap);
}
size_t fft_execute_inplace_cf32(fft *h, const float *in, size_t n_in, float *out, size_t out_cap) {
    return h->e->cf32(c32(in), n_in, c32(out), out_cap);
}
size_t fft_execute_ci16(fft *h, const int16_t *in, size_t n_in, float *out) { return h->e->ci16(in, n_in, c32(out)); }
size_t fft_execute_ci8(fft *h, const int8_t *in, size_t n_in, float *out) { return h->e->ci8(in, n_in, c32(out)); }

size_t fft_execute_cf64_max_out(const fft *h) { return h->e->size(); }
size_t fft_execute_cf32_max_out(const fft *h) { return h->e->size(); }
size_t fft_execute_inplace_cf64_max_out(const fft *h) { return h->e->size(); }
size_t fft_execute_inplace_cf32_max_out(const fft *h) { return h->e->size(); }
size_t fft_execute_ci16_max_out(const fft *h) { return h->e->size(); }
size_t fft_execute_ci8_max_out(const fft *h) { return h->e->size(); }

}  // extern "C"
