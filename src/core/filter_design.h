// Filter and window design: the Bessel I0 series, Kaiser windows and their
// design formulas, root-raised-cosine and raised-cosine pulses, unit-energy RRC
// taps and polyphase arrangement. One component (sx_filter_design) compiled into
// every module that designs windows or banks (spectral, resample, wfm, ddc).
//
// Everything here is setup-time work in double precision, pure and reentrant.
// The C functions that the modules export (kaiser_window, kaiser_beta, rrc_h,
// ...) stay thin wrappers in the modules that export them, so linking this
// component adds no exported symbol to a module.
#pragma once
#include <cstddef>
#include <cstdint>

namespace sx::design {

// Stopping rule of the I0 power series sum_k ((x/2)^k / k!)^2. The spectral
// windows and the resampler's built-in bank are each defined with their own
// rule, and each keeps it so its values stay exactly what they are.
enum class I0Rule {
    // Term t_k = t_{k-1}·((x/2)/k)²; stop after adding the first term below
    // 1e-15 of the sum, or after 40 terms. Spectral windows.
    window,
    // Term u_k = u_{k-1}·(x/2)/k, squared; stop before adding a square below
    // 1e-20 of the sum, or once k reaches 29. Resampler banks.
    bank,
};

// Modified Bessel function of the first kind, order 0, at x (any real; even in x).
double bessel_i0(double x, I0Rule rule);

// Kaiser window at normalised position u in [-1, 1] (0 = centre, ±1 = ends):
// I0(beta·sqrt(1 - u²)) / i0_beta, where i0_beta = bessel_i0(beta, rule) is
// passed in so a caller filling many points computes it once. |u| > 1 reads
// as the end value.
double kaiser_value(double u, double beta, double i0_beta, I0Rule rule);

// Symmetric Kaiser window of n points (n = 0: untouched, n = 1: [1]), window
// rule, computed in double and rounded to float.
//   beta  shape >= 0 (0 = rectangular)
void kaiser_window(float *w, size_t n, double beta);

// Kaiser beta for a window sidelobe level atten_db [dB] (spectral windows):
// 0.12438·(A + 6.3) above 60 dB, 0.76609·(A − 13.26)^0.4 + 0.09834·(A − 13.26)
// above 13.26 dB, else (NaN included) 0.
double kaiser_beta_sidelobe(double atten_db);

// Kaiser beta for an FIR stop-band attenuation atten_db [dB] (filter banks):
// 0.1102·(A − 8.7) above 50 dB, 0.5842·(A − 21)^0.4 + 0.07886·(A − 21) from
// 21 to 50 dB, else (NaN included) 0. kaiser_beta_stopband(60) = 5.65326.
double kaiser_beta_stopband(double atten_db);

// Taps per branch of a Kaiser-designed bank of num_phases branches:
//   atten_db  stop-band attenuation [dB]
//   pb, sb    pass- and stop-band edges [fraction of the input sample rate], sb > pb
// N = (A − 8)·L / (2.285·2π·(sb − pb)) + 1, truncated, forced odd, divided by
// L, plus 1. 0 when num_phases <= 0, sb <= pb, or the count is not finite, does
// not fit, or would be negative. kaiser_num_taps(4096, 60, 0.4, 0.6) = 19.
long long kaiser_num_taps(long long num_phases, double atten_db, double pb, double sb);

// Root-raised-cosine pulse at t [symbol periods], roll-off beta in [0, 1]
// (not range-checked here), not normalised: peak 1 − beta + 4·beta/π. Finite
// at t = 0 and t = ±1/(4·beta).
double rrc_pulse(double t, double beta);
// Raised-cosine (Nyquist) pulse: 1 at t = 0, 0 at every other integer t;
// finite at t = ±1/(2·beta).
double rc_pulse(double t, double beta);
// True when beta is a usable roll-off, 0 <= beta <= 1 (false for NaN).
bool rolloff_ok(double beta);

// Number of taps 2·span·sps + 1 of an RRC filter (sps [samples/symbol], span
// [symbols each side]); 0 when that is below 1 or does not fit a size.
size_t rrc_num_taps(int sps, int span);
// Fills rrc_num_taps(sps, span) taps: the RRC pulse at t = (i − span·sps)/sps
// rounded to float, then scaled to unit energy (sum of squares in double).
// Returns the scale applied (1 when the energy is not positive).
double rrc_unit_energy_taps(int sps, int span, float *out, double beta);
// Polyphase arrangement of an interpolation filter: out holds P rows of K;
// row p, entry k = taps[p + k·P], 0 past n_taps.
void polyphase_bank(const float *taps, size_t n_taps, size_t P, size_t K, float *out);

}  // namespace sx::design
