#include "spectral/corr2d_core.h"
#include "spectral/detector_core.h"
#include "spectral/detector_impl.h"

namespace {

struct Traits2D {
    using Corr = corr2d;
    using Result = det_result2d_t;
    static constexpr size_t kLastBytes = 8 + 8 + 3 * 4 + 4;
    static sx::StateTag tag() { return {{'D', 'E', 'T', '2'}, 1}; }
    static void destroy(corr2d *c) { corr2d_destroy(c); }
    static void reset(corr2d *c) { corr2d_reset(c); }
    static size_t execute(corr2d *c, const float *x, size_t n, float *out, size_t cap) {
        return corr2d_execute(c, x, n, out, cap);
    }
    static size_t state_bytes(const corr2d *c) { return corr2d_state_bytes(c); }
    static void get_state(const corr2d *c, void *p) { corr2d_get_state(c, p); }
    static bool state_ok(const corr2d *c, const uint8_t *p) { return sx::spectral::corr2d_state_ok(c, p); }
    static void state_apply(corr2d *c, const uint8_t *p) { sx::spectral::corr2d_state_apply(c, p); }
    template <class D> static void place(const D &d, Result &r, size_t at) {
        const uint64_t nx = corr2d_nx(d.corr);
        r.row = at / nx;
        r.col = at % nx;
    }
    static void put_last(sx::StateWriter &w, const Result &r) {
        w.put(r.row);
        w.put(r.col);
        w.put(r.peak_mag);
        w.put(r.noise_est);
        w.put(r.test_stat);
    }
    template <class D> static bool get_last(sx::StateReader &rd, Result &r, const D &d) {
        r.row = rd.get<uint64_t>();
        r.col = rd.get<uint64_t>();
        r.peak_mag = rd.get<float>();
        r.noise_est = rd.get<float>();
        r.test_stat = rd.get<float>();
        return r.row < corr2d_ny(d.corr) && r.col < corr2d_nx(d.corr);
    }
};

}  // namespace

struct detector2d : sx::spectral::Detector<Traits2D> {};

extern "C" {

detector2d *detector2d_create(const float *ref, uint64_t ny, uint64_t nx, uint64_t dwell, uint64_t noise_lo,
                              uint64_t noise_hi, float threshold, int noise_mode, int nthreads) {
    uint64_t n;
    if (ref == nullptr || ny == 0 || nx == 0 || __builtin_mul_overflow(ny, nx, &n)) return nullptr;
    auto *h = new (std::nothrow) detector2d{};
    if (h == nullptr) return nullptr;
    if (!h->init(corr2d_create(ref, ny, nx, dwell, nthreads, 0, 0), n, noise_lo, noise_hi, noise_mode, threshold)) {
        delete h;
        return nullptr;
    }
    return h;
}

void detector2d_destroy(detector2d *h) { delete h; }
void detector2d_reset(detector2d *h) { h->reset(); }
size_t detector2d_state_bytes(const detector2d *h) { return h->state_bytes(); }
void detector2d_get_state(const detector2d *h, void *blob) { h->get_state(blob); }
int detector2d_set_state(detector2d *h, const void *blob) { return h->set_state(blob); }

int detector2d_set_ref(detector2d *h, const float *ref) {
    h->reset();
    return corr2d_set_ref(h->corr, ref);
}

void detector2d_set_threshold(detector2d *h, float t) { h->threshold = t; }

size_t detector2d_push(detector2d *h, const float *x, size_t n_in, det_result2d_t *results, size_t max_results) {
    return h->push(x, n_in, results, max_results);
}

void detector2d_set_corr_buffer(detector2d *h, float *buf) {
    h->out = buf != nullptr ? reinterpret_cast<sx::spectral::cf32 *>(buf) : h->own_out.data();
}
const float *detector2d_last_corr(const detector2d *h) { return reinterpret_cast<const float *>(h->out); }

int detector2d_last(const detector2d *h, det_result2d_t *out) {
    if (!h->has_last) return 0;
    *out = h->last;
    return 1;
}

int detector2d_set_telemetry(detector2d *h, sx_tlm *tlm, const char *prefix, uint32_t decim) {
    return h->set_telemetry(tlm, prefix, decim);
}

uint64_t detector2d_ny(const detector2d *h) { return corr2d_ny(h->corr); }
uint64_t detector2d_nx(const detector2d *h) { return corr2d_nx(h->corr); }
uint64_t detector2d_n(const detector2d *h) { return h->n; }
uint64_t detector2d_dwell(const detector2d *h) { return corr2d_dwell(h->corr); }
uint64_t detector2d_count(const detector2d *h) { return corr2d_count(h->corr); }
uint64_t detector2d_ring_cap(const detector2d *h) { return h->cap; }
uint64_t detector2d_noise_lo(const detector2d *h) { return h->lo; }
uint64_t detector2d_noise_hi(const detector2d *h) { return h->hi; }
float detector2d_threshold(const detector2d *h) { return h->threshold; }
int detector2d_has_last(const detector2d *h) { return static_cast<int>(h->has_last); }

}  // extern "C"
