// What the complex- and real-input down-converters share: the mixer and the
// size of the block they mix at a time.
// Internal C++, compiled into each down-converter core.
#pragma once
#include <cstddef>
#include <cstdint>

#include "resample/fir_core.h"
#include "wfm/lo_core.h"

namespace sx::ddc {

// Mixed samples are produced a block of this many at a time into scratch held
// by the down-converter itself: a call never allocates, so no input is consumed
// before its room exists, and the block stays in the first-level cache between
// the oscillator, the mixer and the converter's first stage.
inline constexpr size_t kMixBlock = 2048;

// Oscillator values for n samples, the phase advancing by phase_inc + extra
// per sample (extra: a frequency deviation for this call only, never stored).
inline void lo_values(lo *l, uint32_t extra, cf32_t *out, size_t n) {
    const uint32_t inc = l->phase_inc;
    l->phase_inc = inc + extra;
    lo_steps(l, n, reinterpret_cast<float *>(out), n);
    l->phase_inc = inc;
}

// y[i] = x[i] * y[i] in single precision, products rounded before the sums
// (the core is built without contraction), so one sample at a time and a
// whole block give the same bits.
inline void mix_inplace(const cf32_t *__restrict x, cf32_t *__restrict y, size_t n) {
    const float *xf = reinterpret_cast<const float *>(x);
    float *yf = reinterpret_cast<float *>(y);
    for (size_t i = 0; i < n; ++i) {
        const float xr = xf[2 * i], xi = xf[2 * i + 1];
        const float lr = yf[2 * i], li = yf[2 * i + 1];
        yf[2 * i] = xr * lr - xi * li;
        yf[2 * i + 1] = xr * li + xi * lr;
    }
}

// Mixes n samples of x into y with the oscillator, which advances n steps.
inline void mix(lo *l, uint32_t extra, const cf32_t *x, cf32_t *y, size_t n) {
    lo_values(l, extra, y, n);
    mix_inplace(x, y, n);
}

// Largest count a bound reports before it gives up (SIZE_MAX): no call can
// produce that much, and the figure stays exact in double.
inline constexpr size_t kBoundLimit = size_t{1} << 52;

}  // namespace sx::ddc
