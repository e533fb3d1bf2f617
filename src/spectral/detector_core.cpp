#include "spectral/detector_core.h"

#include "spectral/corr_core.h"
#include "spectral/detector_impl.h"

namespace {

struct Traits1D {
    using Corr = corr;
    using Result = det_result_t;
    static constexpr size_t kLastBytes = 8 + 3 * 4 + 4;
    static sx::StateTag tag() { return {{'D', 'E', 'T', '1'}, 1}; }
    static void destroy(corr *c) { corr_destroy(c); }
    static void reset(corr *c) { corr_reset(c); }
    static size_t execute(corr *c, const float *x, size_t n, float *out, size_t cap) {
        return corr_execute(c, x, n, out, cap);
    }
    static size_t state_bytes(const corr *c) { return corr_state_bytes(c); }
    static void get_state(const corr *c, void *p) { corr_get_state(c, p); }
    static bool state_ok(const corr *c, const uint8_t *p) { return sx::spectral::corr_state_ok(c, p); }
    static void state_apply(corr *c, const uint8_t *p) { sx::spectral::corr_state_apply(c, p); }
    template <class D> static void place(const D &, Result &r, size_t at) { r.lag = at; }
    static void put_last(sx::StateWriter &w, const Result &r) {
        w.put(r.lag);
        w.put(r.peak_mag);
        w.put(r.noise_est);
        w.put(r.test_stat);
    }
    template <class D> static bool get_last(sx::StateReader &rd, Result &r, const D &d) {
        r.lag = rd.get<uint64_t>();
        r.peak_mag = rd.get<float>();
        r.noise_est = rd.get<float>();
        r.test_stat = rd.get<float>();
        return r.lag < d.n;
    }
};

}  // namespace

struct detector : sx::spectral::Detector<Traits1D> {};

extern "C" {

detector *detector_create(const float *ref, uint64_t n, uint64_t dwell, uint64_t noise_lo, uint64_t noise_hi,
                          int noise_mode, float threshold, int nthreads) {
    if (ref == nullptr || n == 0) return nullptr;
    auto *h = new (std::nothrow) detector{};
    if (h == nullptr) return nullptr;
    if (!h->init(corr_create(ref, n, dwell, nthreads, n), n, noise_lo, noise_hi, noise_mode, threshold)) {
        delete h;
        return nullptr;
    }
    return h;
}

void detector_destroy(detector *h) { delete h; }
void detector_reset(detector *h) { h->reset(); }
size_t detector_state_bytes(const detector *h) { return h->state_bytes(); }
void detector_get_state(const detector *h, void *blob) { h->get_state(blob); }
int detector_set_state(detector *h, const void *blob) { return h->set_state(blob); }

void detector_set_ref(detector *h, const float *ref) {
    h->reset();
    corr_set_ref(h->corr, ref);
}

void detector_set_threshold(detector *h, float t) { h->threshold = t; }

size_t detector_push(detector *h, const float *x, size_t n_in, det_result_t *results, size_t max_results) {
    return h->push(x, n_in, results, max_results);
}

void detector_set_corr_buffer(detector *h, float *buf) {
    h->out = buf != nullptr ? reinterpret_cast<sx::spectral::cf32 *>(buf) : h->own_out.data();
}
const float *detector_last_corr(const detector *h) { return reinterpret_cast<const float *>(h->out); }

int detector_last(const detector *h, det_result_t *out) {
    if (!h->has_last) return 0;
    *out = h->last;
    return 1;
}

int detector_set_telemetry(detector *h, sx_tlm *tlm, const char *prefix, uint32_t decim) {
    return h->set_telemetry(tlm, prefix, decim);
}

uint64_t detector_n(const detector *h) { return h->n; }
uint64_t detector_dwell(const detector *h) { return corr_dwell(h->corr); }
uint64_t detector_count(const detector *h) { return corr_count(h->corr); }
uint64_t detector_ring_cap(const detector *h) { return h->cap; }
uint64_t detector_noise_lo(const detector *h) { return h->lo; }
uint64_t detector_noise_hi(const detector *h) { return h->hi; }
float detector_threshold(const detector *h) { return h->threshold; }
int detector_has_last(const detector *h) { return static_cast<int>(h->has_last); }

}  // extern "C"
