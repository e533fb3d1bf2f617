#include "spectral/psd_core.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>
#include <memory>
#include <new>

#include "core/sx_simd.h"
#include "core/sx_state.h"
#include "spectral/acc_trace_core.h"
#include "spectral/fft_core.h"
#include "spectral/windows.h"

namespace {

using sx::AlignedBuf;
using sx::make_aligned;
using cf32 = std::complex<float>;

constexpr sx::StateTag kTag{{'P', 'S', 'D', ' '}, 1};
constexpr double kFloorLin = 1e-20;
constexpr double kFloorDb = -200.0;

struct TraceDeleter {
    void operator()(acc_trace *t) const { acc_trace_destroy(t); }
};

}  // namespace

struct psd {
    std::unique_ptr<sx::spectral::Engine> fft;
    std::unique_ptr<acc_trace, TraceDeleter> trace;
    AlignedBuf<float> window;   // n values, each stored twice (re and im weight)
    AlignedBuf<cf32> frame;     // windowed, zero-padded frame
    AlignedBuf<cf32> spectrum;  // transform output
    AlignedBuf<float> power;    // DC-centred bin powers; also the trace read back
    AlignedBuf<float> db;       // dBFS trace for the median, SNR and SFDR
    double sum_w, sum_w2, enbw;
    size_t n, nfft;
    double fs, full_scale;
    uint64_t bits;
    unsigned mode;
};

namespace {

// The loops of one frame, each on its own distinct buffers.
inline void window_complex(float *__restrict fr, const float *__restrict src, const float *__restrict w2, size_t n) {
    // One contiguous multiply by the doubled window: no shuffles.
    for (size_t i = 0; i < 2 * n; ++i) fr[i] = src[i] * w2[i];
}

inline void window_real(float *__restrict fr, const float *__restrict src, const float *__restrict w2, size_t n) {
    for (size_t j = 0; j < n; ++j) {
        fr[2 * j] = src[j] * w2[2 * j];
        fr[2 * j + 1] = 0.0f;
    }
}

// Bin powers of the spectrum s, rotated so that DC lands at nfft/2.
inline void bin_powers(float *__restrict p, const float *__restrict s, size_t nfft) {
    const size_t half = nfft / 2;
    for (size_t k = 0; k < half; ++k) p[k + half] = s[2 * k] * s[2 * k] + s[2 * k + 1] * s[2 * k + 1];
    for (size_t k = half; k < nfft; ++k) p[k - half] = s[2 * k] * s[2 * k] + s[2 * k + 1] * s[2 * k + 1];
}

// Windows each frame into h->frame (the zero padding beyond n was set at
// create and is never written), transforms it and folds its bin powers into
// the trace.
template <bool Real> inline void fold_frames(psd *h, const float *x, size_t frames) {
    const size_t n = h->n, nfft = h->nfft, step = Real ? n : 2 * n;
    float *fr = reinterpret_cast<float *>(h->frame.get());
    const float *s = reinterpret_cast<const float *>(h->spectrum.get());
    for (size_t f = 0; f < frames; ++f) {
        const float *src = x + f * step;
        if constexpr (Real) window_real(fr, src, h->window.get(), n);
        else window_complex(fr, src, h->window.get(), n);
        // The next frame's input is most likely out of cache: request it now,
        // so that it arrives while this frame is transformed.
        if (f + 1 < frames) {
            const char *next = reinterpret_cast<const char *>(src + step);
            for (size_t b = 0; b < step * sizeof(float); b += 64) __builtin_prefetch(next + b);
        }
        h->fft->cf32(h->frame.get(), nfft, h->spectrum.get(), nfft);
        bin_powers(h->power.get(), s, nfft);
        acc_trace_accumulate(h->trace.get(), h->power.get(), nfft);
    }
}

template <bool Real> void fold_frames_generic(psd *h, const float *x, size_t frames) { fold_frames<Real>(h, x, frames); }
template <bool Real> SX_TARGET_AVX2 void fold_frames_avx2(psd *h, const float *x, size_t frames) {
    fold_frames<Real>(h, x, frames);
}

template <bool Real> size_t accumulate(psd *h, const float *x, size_t n_in) {
    const size_t frames = n_in / h->n;
    if (sx::simd::avx2()) fold_frames_avx2<Real>(h, x, frames);
    else fold_frames_generic<Real>(h, x, frames);
    return frames;
}

// Reads the trace into the power buffer as float32; false when it holds no frame.
bool load_trace(psd *h) { return acc_trace_value(h->trace.get(), 0, h->power.get(), h->nfft) != 0; }

// dBFS of every bin into the db scratch (trace already loaded into power).
void fill_db(psd *h) {
    const double k = 1.0 / (h->sum_w * h->full_scale * h->sum_w * h->full_scale);
    const float *p = h->power.get();
    float *d = h->db.get();
    for (size_t i = 0; i < h->nfft; ++i) d[i] = static_cast<float>(10.0 * std::log10(std::max(p[i] * k, kFloorLin)));
}

// Band edges [Hz] to an inclusive bin range. A band may lie outside the
// spectrum altogether, or be emptied by the clamping (hi < lo): SNR tells the
// two apart.
struct BinRange {
    bool outside;  // entirely below or above the spectrum (or NaN edges)
    int64_t lo, hi;
};

BinRange band_bins(const psd *h, double a, double b) {
    const double hi = std::max(a, b), lo = std::min(a, b);
    const double nf = static_cast<double>(h->nfft);
    const double half = static_cast<double>(h->nfft / 2);
    double khi = std::round(hi * nf / h->fs + half);
    double klo = std::round(lo * nf / h->fs + half);
    if (std::isnan(khi) || std::isnan(klo)) return {true, 0, -1};
    if (khi < 0.0 || klo >= nf) return {true, 0, -1};
    // Both are now inside [0, nfft) after clamping, so the conversions are exact.
    khi = std::min(khi, nf - 1.0);
    klo = std::max(klo, 0.0);
    return {false, static_cast<int64_t>(klo), static_cast<int64_t>(khi)};
}

// Parseval-normalised power inside a band, referred to full scale (linear);
// negative for an empty band.
double band_sum(const psd *h, double a, double b) {
    const BinRange r = band_bins(h, a, b);
    if (r.outside || r.hi < r.lo) return -1.0;
    const float *p = h->power.get();
    double s = 0.0;
    for (int64_t k = r.lo; k <= r.hi; ++k) s += p[k];
    return s / (h->full_scale * h->full_scale * static_cast<double>(h->nfft) * h->sum_w2);
}

double to_db(double lin) { return 10.0 * std::log10(std::max(lin, kFloorLin)); }

}  // namespace

extern "C" {

psd *psd_create(uint64_t n, unsigned window, uint64_t pad, uint64_t bits, unsigned mode, double fs, float beta,
                double full_scale, double alpha) {
    if (bits > 64) return nullptr;
    if (bits != 0) full_scale = std::ldexp(1.0, static_cast<int>(bits) - 1);
    // An infinite rate or scale would turn every frequency and level into NaN.
    if (n < 2 || !(fs > 0.0) || !std::isfinite(fs) || window > 2 || !(full_scale > 0.0) ||
        !std::isfinite(full_scale) || mode > 3)
        return nullptr;
    if (pad == 0) pad = 1;
    uint64_t want;
    if (__builtin_mul_overflow(n, pad, &want) || want > sx::spectral::kMaxFftPoints) return nullptr;
    size_t nfft = 1;
    while (nfft < want) nfft <<= 1;
    try {
        std::unique_ptr<psd> h(new psd{});
        h->n = static_cast<size_t>(n);
        h->nfft = nfft;
        h->fs = fs;
        h->full_scale = full_scale;
        h->bits = bits;
        h->mode = mode;
        h->window = make_aligned<float>(2 * h->n);
        h->frame = make_aligned<cf32>(nfft);
        h->spectrum = make_aligned<cf32>(nfft);
        h->power = make_aligned<float>(nfft);
        h->db = make_aligned<float>(nfft);
        if (!h->window || !h->frame || !h->spectrum || !h->power || !h->db) return nullptr;
        // The window is computed into the upper half, then spread over the
        // whole buffer as (w0, w0, w1, w1, ...), front to back without overlap.
        float *w2 = h->window.get();
        float *w = w2 + h->n;
        if (window == 0) hann_window(w, n);
        else if (window == 1) kaiser_window(w, n, beta);
        else blackman_harris_window(w, n);
        double s = 0.0, s2 = 0.0;
        for (size_t i = 0; i < h->n; ++i) {
            s += w[i];
            s2 += static_cast<double>(w[i]) * w[i];
        }
        for (size_t i = 0; i < h->n; ++i) w2[2 * i] = w2[2 * i + 1] = w[i];
        // Every scaling divides by the window sum: a window summing to zero
        // (Hann of two points) or worse cannot give a spectrum.
        if (!(s > 0.0) || !(s2 > 0.0)) return nullptr;
        h->sum_w = s;
        h->sum_w2 = s2;
        h->enbw = static_cast<double>(n) * s2 / (s * s);
        h->fft = sx::spectral::Engine::create(1, nfft, false, -1);
        h->trace.reset(acc_trace_create(nfft, mode, alpha));
        if (!h->fft || !h->trace) return nullptr;
        return h.release();
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

void psd_destroy(psd *h) { delete h; }
void psd_reset(psd *h) { acc_trace_reset(h->trace.get()); }

size_t psd_state_bytes(const psd *h) { return sx::kStateHeaderBytes + acc_trace_state_bytes(h->trace.get()); }

void psd_get_state(const psd *h, void *blob) {
    sx::StateWriter w(blob);
    w.header(kTag, psd_state_bytes(h));
    acc_trace_get_state(h->trace.get(), w.pos());
}

int psd_set_state(psd *h, const void *blob) {
    const auto *p = static_cast<const uint8_t *>(blob);
    if (!sx::state_header_ok(p, kTag, psd_state_bytes(h))) return SX_ERR_INVALID;
    if (!acc_trace_state_valid(h->trace.get(), p + sx::kStateHeaderBytes)) return SX_ERR_INVALID;
    acc_trace_state_apply(h->trace.get(), p + sx::kStateHeaderBytes);
    return SX_OK;
}

size_t psd_accumulate(psd *h, const float *x, size_t n_in) { return accumulate<false>(h, x, n_in); }
size_t psd_accumulate_real(psd *h, const float *x, size_t n_in) { return accumulate<true>(h, x, n_in); }

size_t psd_power_twosided(psd *h, size_t, float *out, size_t out_cap) {
    if (!load_trace(h)) return 0;
    const size_t m = std::min(h->nfft, out_cap);
    const double s2 = h->sum_w * h->sum_w;
    const float *p = h->power.get();
    for (size_t k = 0; k < m; ++k) out[k] = static_cast<float>(p[k] / s2);
    return m;
}

size_t psd_power_onesided(psd *h, size_t, float *out, size_t out_cap) {
    if (!load_trace(h)) return 0;
    const size_t half = h->nfft / 2;
    const size_t m = std::min(half + 1, out_cap);
    const double s2 = h->sum_w * h->sum_w;
    const float *p = h->power.get();
    for (size_t i = 0; i < m; ++i) {
        double v;
        if (i == 0) v = p[half];
        else if (i < half) v = static_cast<double>(p[half + i]) + static_cast<double>(p[half - i]);
        else v = p[0];
        out[i] = static_cast<float>(v / s2);
    }
    return m;
}

size_t psd_psd_db(psd *h, size_t, float *out, size_t out_cap) {
    if (!load_trace(h)) return 0;
    fill_db(h);
    const size_t m = std::min(h->nfft, out_cap);
    std::copy_n(h->db.get(), m, out);
    return m;
}

size_t psd_psd_dbhz(psd *h, size_t, float *out, size_t out_cap) {
    if (!load_trace(h)) return 0;
    fill_db(h);
    const double corr = 10.0 * std::log10(h->fs * h->sum_w2 / (h->sum_w * h->sum_w));
    const size_t m = std::min(h->nfft, out_cap);
    const float *d = h->db.get();
    for (size_t k = 0; k < m; ++k) out[k] = static_cast<float>(d[k] - corr);
    return m;
}

size_t psd_power_twosided_max_out(const psd *h) { return h->nfft; }
size_t psd_power_onesided_max_out(const psd *h) { return h->nfft / 2 + 1; }
size_t psd_psd_db_max_out(const psd *h) { return h->nfft; }
size_t psd_psd_dbhz_max_out(const psd *h) { return h->nfft; }

size_t psd_band_power(psd *h, const double *bands, size_t n_values, float *out, size_t out_cap) {
    if (!load_trace(h)) return 0;
    const size_t nb = std::min(out_cap, n_values / 2);
    for (size_t i = 0; i < nb; ++i) {
        const double s = band_sum(h, bands[2 * i], bands[2 * i + 1]);
        out[i] = static_cast<float>(s < 0.0 ? kFloorDb : to_db(s));
    }
    return nb;
}

size_t psd_band_power_max_out(const psd *) { return 0; }

double psd_total_band_power(psd *h, const double *bands, size_t n_values) {
    if (n_values < 2 || !load_trace(h)) return kFloorDb;
    double total = 0.0;
    for (size_t i = 0; i < n_values / 2; ++i) {
        const double s = band_sum(h, bands[2 * i], bands[2 * i + 1]);
        if (s > 0.0) total += s;
    }
    return to_db(total);
}

double psd_occupied_bw(psd *h, double fraction) {
    if (!load_trace(h)) return 0.0;
    const double s2 = h->sum_w * h->sum_w;
    const float *p = h->power.get();
    return sx::spectral::obw_walk(h->nfft, h->fs, fraction, [p, s2](size_t k) { return p[k] / s2; });
}

double psd_noise_floor(psd *h) {
    if (!load_trace(h)) return 0.0;
    fill_db(h);
    return sx::spectral::median_inplace(h->db.get(), h->nfft);
}

double psd_snr(psd *h, double lo_hz, double hi_hz) {
    if (!load_trace(h)) return 0.0;
    fill_db(h);
    const BinRange r = band_bins(h, lo_hz, hi_hz);
    if (r.outside) return 0.0;
    if (r.hi < r.lo) return -std::numeric_limits<double>::infinity();
    const float *d = h->db.get();
    float peak = d[r.lo];
    for (int64_t k = r.lo + 1; k <= r.hi; ++k) peak = std::max(peak, d[k]);
    // The median reorders the scratch, so the band maximum is taken first.
    const double nf = sx::spectral::median_inplace(h->db.get(), h->nfft);
    return static_cast<double>(peak) - nf;
}

double psd_sfdr(psd *h, float min_db) {
    if (!load_trace(h)) return 0.0;
    fill_db(h);
    sx_peak_t peaks[16];
    const uint64_t np = find_peaks_f32(h->db.get(), h->nfft, 16, peaks, min_db);
    if (np < 2) return 0.0;
    return static_cast<double>(peaks[0].level_db) - static_cast<double>(peaks[1].level_db);
}

uint64_t psd_n(const psd *h) { return h->n; }
uint64_t psd_nfft(const psd *h) { return h->nfft; }
uint64_t psd_bits(const psd *h) { return h->bits; }
uint64_t psd_count(const psd *h) { return acc_trace_count(h->trace.get()); }
unsigned psd_mode(const psd *h) { return h->mode; }
double psd_fs(const psd *h) { return h->fs; }
double psd_full_scale(const psd *h) { return h->full_scale; }
double psd_enbw(const psd *h) { return h->enbw; }
double psd_rbw(const psd *h) { return h->enbw * h->fs / static_cast<double>(h->n); }

}  // extern "C"
