#include "core/filter_design.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace sx::design {

namespace {
constexpr double kPi = std::numbers::pi;
}

double bessel_i0(double x, I0Rule rule) {
    const double half = x / 2.0;
    double sum = 1.0;
    if (rule == I0Rule::window) {
        double t = 1.0;
        for (int k = 1; k <= 40; ++k) {
            const double r = half / k;
            t *= r * r;
            sum += t;
            if (t < sum * 1e-15) break;
        }
    } else {
        double term = 1.0;
        for (int k = 1; k < 29; ++k) {
            term *= half / k;
            const double t2 = term * term;
            if (t2 < 1e-20 * sum) break;
            sum += t2;
        }
    }
    return sum;
}

double kaiser_value(double u, double beta, double i0_beta, I0Rule rule) {
    // Rounding can put the end points a hair outside [-1, 1].
    const double r = std::sqrt(std::max(0.0, 1.0 - u * u));
    return bessel_i0(beta * r, rule) / i0_beta;
}

void kaiser_window(float *w, size_t n, double beta) {
    if (n == 0) return;
    if (n == 1) {
        w[0] = 1.0f;
        return;
    }
    const double i0b = bessel_i0(beta, I0Rule::window);
    const double half = (static_cast<double>(n) - 1.0) / 2.0;
    const double scale = 2.0 / (static_cast<double>(n) - 1.0);
    for (size_t j = 0; j < n; ++j) {
        const double u = scale * (static_cast<double>(j) - half);
        w[j] = static_cast<float>(kaiser_value(u, beta, i0b, I0Rule::window));
    }
}

double kaiser_beta_sidelobe(double a) {
    if (a > 60.0) return 0.12438 * (a + 6.3);
    if (a > 13.26) return 0.76609 * std::pow(a - 13.26, 0.4) + 0.09834 * (a - 13.26);
    return 0.0;
}

double kaiser_beta_stopband(double a) {
    if (a > 50.0) return 0.1102 * (a - 8.7);
    if (a >= 21.0) return 0.5842 * std::pow(a - 21.0, 0.4) + 0.07886 * (a - 21.0);
    return 0.0;
}

long long kaiser_num_taps(long long num_phases, double atten_db, double pb, double sb) {
    // A stop band at or below the pass band has no transition to size.
    if (num_phases <= 0 || !(sb > pb)) return 0;
    const double n = (atten_db - 8.0) * static_cast<double>(num_phases) * 0.06965205386953845 / (sb - pb) + 1.0;
    // Refused rather than converted: NaN, infinities and counts no bank could hold.
    if (!std::isfinite(n) || std::fabs(n) >= 9.0e15) return 0;
    const long long odd = static_cast<long long>(n) | 1;
    // An attenuation below 8 dB drives the count negative: no bank, 0.
    return std::max(0LL, odd / num_phases + 1);
}

double rrc_pulse(double t, double beta) {
    const double at = std::fabs(t);
    if (at < 1e-9) return 1.0 + beta * (4.0 / kPi - 1.0);
    if (beta > 0.0 && std::fabs(at - 1.0 / (4.0 * beta)) < 1e-9)
        return (beta / std::numbers::sqrt2) *
               ((1.0 + 2.0 / kPi) * std::sin(kPi / (4.0 * beta)) + (1.0 - 2.0 / kPi) * std::cos(kPi / (4.0 * beta)));
    const double q = 4.0 * beta * t;
    return (std::sin(kPi * t * (1.0 - beta)) + q * std::cos(kPi * t * (1.0 + beta))) / (kPi * t * (1.0 - q * q));
}

double rc_pulse(double t, double beta) {
    const double at = std::fabs(t);
    if (at < 1e-9) return 1.0;
    if (beta > 0.0 && std::fabs(at - 1.0 / (2.0 * beta)) < 1e-9) return (beta / 2.0) * std::sin(kPi / (2.0 * beta));
    const double q = 2.0 * beta * t;
    return std::sin(kPi * t) / (kPi * t) * std::cos(kPi * beta * t) / (1.0 - q * q);
}

bool rolloff_ok(double beta) { return beta >= 0.0 && beta <= 1.0; }

size_t rrc_num_taps(int sps, int span) {
    long long prod;
    if (__builtin_mul_overflow(static_cast<long long>(span), static_cast<long long>(sps), &prod)) return 0;
    if (prod < 0 || prod > (static_cast<long long>(SIZE_MAX / 8) - 1) / 2) return 0;
    return static_cast<size_t>(2 * prod + 1);
}

double rrc_unit_energy_taps(int sps, int span, float *out, double beta) {
    const size_t n = rrc_num_taps(sps, span);
    const double centre = static_cast<double>(span) * static_cast<double>(sps);
    double energy = 0.0;
    for (size_t i = 0; i < n; ++i) {
        const double t = (static_cast<double>(i) - centre) / static_cast<double>(sps);
        const float v = static_cast<float>(rrc_pulse(t, beta));
        out[i] = v;
        energy += static_cast<double>(v) * static_cast<double>(v);
    }
    const double scale = energy > 0.0 ? 1.0 / std::sqrt(energy) : 1.0;
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<float>(static_cast<double>(out[i]) * scale);
    return scale;
}

void polyphase_bank(const float *taps, size_t n_taps, size_t P, size_t K, float *out) {
    for (size_t p = 0; p < P; ++p)
        for (size_t k = 0; k < K; ++k) {
            const size_t src = p + k * P;
            out[p * K + k] = src < n_taps ? taps[src] : 0.0f;
        }
}

}  // namespace sx::design
