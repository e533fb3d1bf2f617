#include "spectral/windows.h"

#include "core/filter_design.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <numbers>
#include <stdexcept>
#include <vector>

namespace {

// NaN sorts after every number, so sorting never sees an inconsistent order.
bool nan_last_less(float a, float b) { return a < b || (!std::isnan(a) && std::isnan(b)); }

}  // namespace

namespace sx::spectral {

double median_inplace(float *v, size_t n) {
    if (n == 0) return 0.0;
    float *mid = v + n / 2;
    std::nth_element(v, mid, v + n, nan_last_less);
    if (n % 2 == 1) return *mid;
    const float lower = *std::max_element(v, mid, nan_last_less);
    return (static_cast<double>(lower) + static_cast<double>(*mid)) / 2.0;
}

}  // namespace sx::spectral

extern "C" {

void kaiser_window(float *w, uint64_t N, float beta) { sx::design::kaiser_window(w, N, beta); }

void hann_window(float *w, uint64_t N) {
    if (N == 0) return;
    if (N == 1) {
        w[0] = 1.0f;
        return;
    }
    const double step = 2.0 * std::numbers::pi / (static_cast<double>(N) - 1.0);
    for (uint64_t k = 0; k < N; ++k) {
        const float c = static_cast<float>(std::cos(step * static_cast<double>(k)));
        w[k] = 0.5f * (1.0f - c);
    }
    // The cosine of 2*pi is not exactly 1 in floating point; the ends are zero by definition.
    w[0] = 0.0f;
    w[N - 1] = 0.0f;
}

void blackman_harris_window(float *w, uint64_t N) {
    if (N == 0) return;
    if (N == 1) {
        w[0] = 1.0f;
        return;
    }
    const double step = 2.0 * std::numbers::pi / (static_cast<double>(N) - 1.0);
    for (uint64_t k = 0; k < N; ++k) {
        const double t = step * static_cast<double>(k);
        w[k] = static_cast<float>(0.35875 - 0.48829 * std::cos(t) + 0.14128 * std::cos(2.0 * t) -
                                  0.01168 * std::cos(3.0 * t));
    }
}

double kaiser_beta_for_sidelobe(double A) { return sx::design::kaiser_beta_sidelobe(A); }

float kaiser_enbw(const float *w, uint64_t N) {
    double s = 0.0, s2 = 0.0;
    for (uint64_t i = 0; i < N; ++i) {
        const double v = w[i];
        s += v;
        s2 += v * v;
    }
    if (N == 0) return std::numeric_limits<float>::quiet_NaN();
    return static_cast<float>(static_cast<double>(N) * s2 / (s * s));
}

void magnitude_db_cf32(const float *x, uint64_t N, float *out, float lin_floor, float offset_db) {
    for (uint64_t k = 0; k < N; ++k) {
        const float re = x[2 * k], im = x[2 * k + 1];
        float m = std::sqrt(re * re + im * im);
        if (m < lin_floor) m = lin_floor;
        out[k] = 20.0f * std::log10(m) + offset_db;
    }
}

void magnitude_db_cf64(const double *x, uint64_t N, float *out, double lin_floor, float offset_db) {
    for (uint64_t k = 0; k < N; ++k) {
        const double re = x[2 * k], im = x[2 * k + 1];
        double m = std::sqrt(re * re + im * im);
        if (m < lin_floor) m = lin_floor;
        out[k] = static_cast<float>(20.0 * std::log10(m)) + offset_db;
    }
}

uint64_t find_peaks_f32(const float *db, uint64_t N, uint64_t n_peaks, sx_peak_t *out, float min_db) {
    if (N <= 2 || n_peaks == 0) return 0;
    // A local maximum needs a strictly lower left neighbour, so at most every
    // other bin qualifies: N/2 + 1 records always suffice.
    const uint64_t room = N / 2 + 1;
    // A count beyond the address space makes even the nothrow new[] throw.
    if (room > SIZE_MAX / sizeof(sx_peak_t)) return 0;
    std::unique_ptr<sx_peak_t[]> cand(new (std::nothrow) sx_peak_t[room]);
    if (!cand) return 0;
    uint64_t count = 0;
    const float inv_n = 1.0f / static_cast<float>(N);
    const auto half = static_cast<int64_t>(N / 2);
    for (uint64_t i = 1; i + 1 < N && count < room; ++i) {
        const float l = db[i - 1], c = db[i], r = db[i + 1];
        if (!(c > min_db && c > l && c >= r)) continue;
        const float d = l + r - 2.0f * c;
        float delta = 0.0f;
        if (d != 0.0f) delta = std::clamp(0.5f * (l - r) / d, -0.5f, 0.5f);
        // An infinite neighbour (the dB of an exact zero) leaves no parabola to
        // fit: report the bin itself rather than a NaN frequency and level,
        // which would also leave the sort below without a consistent order.
        if (std::isnan(delta)) delta = 0.0f;
        const float level = delta == 0.0f ? c : c + 0.25f * (r - l) * delta;
        const float offset = static_cast<float>(static_cast<int64_t>(i) - half);
        cand[count++] = sx_peak_t{(offset + delta) * inv_n, level};
    }
    std::sort(cand.get(), cand.get() + count,
              [](const sx_peak_t &a, const sx_peak_t &b) { return a.level_db > b.level_db; });
    const uint64_t m = std::min(n_peaks, count);
    std::copy_n(cand.get(), m, out);
    return m;
}

double obw_from_power(const double *pwr, uint64_t N, double fs, double frac) {
    return sx::spectral::obw_walk(N, fs, frac, [pwr](size_t k) { return pwr[k]; });
}

double noise_floor_db(const float *db, uint64_t N) {
    if (N == 0) return 0.0;
    std::vector<float> v;
    try {
        v.assign(db, db + N);
    } catch (const std::exception &) {  // bad_alloc, or length_error beyond max_size()
        return 0.0;
    }
    return sx::spectral::median_inplace(v.data(), v.size());
}

}  // extern "C"
