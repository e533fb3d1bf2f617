#include "spectral/fft2d_core.h"

#include <new>

#include "spectral/fft_core.h"

using sx::spectral::Engine;

struct fft2d {
    std::unique_ptr<Engine> e;
    uint64_t ny, nx;
    int sign;
};

namespace {
auto *c64(const double *p) { return reinterpret_cast<const std::complex<double> *>(p); }
auto *c64(double *p) { return reinterpret_cast<std::complex<double> *>(p); }
auto *c32(const float *p) { return reinterpret_cast<const std::complex<float> *>(p); }
auto *c32(float *p) { return reinterpret_cast<std::complex<float> *>(p); }
}  // namespace

extern "C" {

fft2d *fft2d_create(uint64_t ny, uint64_t nx, int sign, int) {
    auto e = Engine::create(static_cast<size_t>(ny), static_cast<size_t>(nx), true, sign);
    if (!e) return nullptr;
    return new (std::nothrow) fft2d{std::move(e), ny, nx, sign};
}

void fft2d_destroy(fft2d *h) { delete h; }
void fft2d_reset(fft2d *) {}
uint64_t fft2d_ny(const fft2d *h) { return h->ny; }
uint64_t fft2d_nx(const fft2d *h) { return h->nx; }
int fft2d_sign(const fft2d *h) { return h->sign; }

size_t fft2d_execute_cf64(fft2d *h, const double *in, size_t n_in, double *out, size_t out_cap) {
    return h->e->cf64(c64(in), n_in, c64(out), out_cap);
}
size_t fft2d_execute_cf32(fft2d *h, const float *in, size_t n_in, float *out, size_t out_cap) {
    return h->e->cf32(c32(in), n_in, c32(out), out_cap);
}
size_t fft2d_execute_inplace_cf64(fft2d *h, const double *in, size_t n_in, double *out, size_t out_cap) {
    return h->e->cf64(c64(in), n_in, c64(out), out_cap);
}
size_t fft2d_execute_inplace_cf32(fft2d *h, const float *in, size_t n_in, float *out, size_t out_cap) {
    return h->e->cf32(c32(in), n_in, c32(out), out_cap);
}
size_t fft2d_execute_cf64_max_out(const fft2d *h) { return h->e->size(); }
size_t fft2d_execute_cf32_max_out(const fft2d *h) { return h->e->size(); }
size_t fft2d_execute_inplace_cf64_max_out(const fft2d *h) { return h->e->size(); }
size_t fft2d_execute_inplace_cf32_max_out(const fft2d *h) { return h->e->size(); }

}  // extern "C"
