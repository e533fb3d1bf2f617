// Closed-form droop compensator for a CIC decimator: the FIR whose response
// matches 1 / G(w) with maximally flat error at DC, G the CIC response referred
// to the decimated rate. All in double precision, from Taylor series in w^2.
#include <cmath>
#include <cstring>
#include <utility>

#include "resample/cic_core.h"

namespace {

// Bernoulli numbers B2, B4, ..., B18: nine terms of ln(sin x / x), which bounds
// the compensator length (odd M <= 19, even M <= 18).
constexpr double ciccomp_berno[9] = {1.0 / 6,       -1.0 / 30, 1.0 / 42,        -1.0 / 30,    5.0 / 66,
                                     -691.0 / 2730, 7.0 / 6,   -3617.0 / 510.0, 43867.0 / 798};
constexpr int kTerms = 9;

double factorial(int n) {
    double f = 1.0;
    for (int i = 2; i <= n; ++i) f *= i;
    return f;
}

// q[0..kTerms]: Taylor coefficients of 1 / G(w) in powers of w^2, from
// ln G = N [L(w/2) - L(w/(2R))], L(x) = ln(sin x / x) = sum_j a_j x^(2j),
// a_j = (-1)^j 2^(2j-1) B_2j / (j (2j)!), exponentiated as a series.
void inverse_series(unsigned N, unsigned R, double *q) {
    double s[kTerms + 1] = {0};
    for (int j = 1; j <= kTerms; ++j) {
        const double a = ((j & 1) ? -1.0 : 1.0) * std::ldexp(ciccomp_berno[j - 1], 2 * j - 1) / (j * factorial(2 * j));
        const double p = std::ldexp(1.0, -2 * j) - std::pow(2.0 * R, -2.0 * j);
        // 1 / G = exp(-ln G)
        s[j] = -static_cast<double>(N) * a * p;
    }
    q[0] = 1.0;
    for (int r = 1; r <= kTerms; ++r) {
        double acc = 0.0;
        for (int j = 1; j <= r; ++j) acc += j * s[j] * q[r - j];
        q[r] = acc / r;
    }
}

}  // namespace

extern "C" {

int ciccomp_solve(double *a, double *b, size_t n) {
    if (a == nullptr || b == nullptr) return SX_ERR_INVALID;
    for (size_t col = 0; col < n; ++col) {
        size_t piv = col;
        for (size_t r = col + 1; r < n; ++r)
            if (std::fabs(a[r * n + col]) > std::fabs(a[piv * n + col])) piv = r;
        if (!(a[piv * n + col] != 0.0)) return SX_ERR_INVALID;
        if (piv != col) {
            for (size_t k = 0; k < n; ++k) std::swap(a[piv * n + k], a[col * n + k]);
            std::swap(b[piv], b[col]);
        }
        for (size_t r = col + 1; r < n; ++r) {
            const double f = a[r * n + col] / a[col * n + col];
            for (size_t k = col; k < n; ++k) a[r * n + k] -= f * a[col * n + k];
            b[r] -= f * b[col];
        }
    }
    for (size_t i = n; i-- > 0;) {
        double v = b[i];
        for (size_t k = i + 1; k < n; ++k) v -= a[i * n + k] * b[k];
        b[i] = v / a[i * n + i];
    }
    return SX_OK;
}

void ciccompmf(double *out, unsigned N, unsigned R, unsigned M) {
    if (out == nullptr || M == 0) return;
    std::memset(out, 0, M * sizeof(double));
    const bool odd = (M & 1) != 0;
    if ((odd && M > 19) || (!odd && M > 18) || R == 0) return;
    if (M == 1) {
        out[0] = 1.0;
        return;
    }
    const size_t n = odd ? (M - 1) / 2 : M / 2;
    double q[kTerms + 1];
    inverse_series(N, R, q);
    // Coefficient of w^(2r) in 2 sum_k h_k cos(d_k w) is 2 (-1)^r d_k^(2r) / (2r)!
    // times h_k, with d_k = k (odd M) or k - 1/2 (even M).
    double a[9 * 9], b[9];
    for (size_t row = 0; row < n; ++row) {
        // Odd M: orders 1..n match 1/G (h0 takes up the DC gain). Even M: the
        // first row fixes the DC gain at 1, then orders 1..n-1 match 1/G.
        const int r = odd ? static_cast<int>(row) + 1 : static_cast<int>(row);
        const double scale = 2.0 * ((r & 1) ? -1.0 : 1.0) / factorial(2 * r);
        for (size_t k = 1; k <= n; ++k) {
            const double d = odd ? static_cast<double>(k) : static_cast<double>(k) - 0.5;
            a[row * n + (k - 1)] = scale * std::pow(d, 2.0 * r);
        }
        b[row] = r == 0 ? 1.0 : q[r];
    }
    if (ciccomp_solve(a, b, n) != SX_OK) return;
    if (odd) {
        double h0 = 1.0;
        for (size_t k = 0; k < n; ++k) h0 -= 2.0 * b[k];
        out[n] = h0;
        for (size_t k = 1; k <= n; ++k) out[n - k] = out[n + k] = b[k - 1];
    } else {
        for (size_t k = 1; k <= n; ++k) out[n - k] = out[n + k - 1] = b[k - 1];
    }
}

}  // extern "C"
