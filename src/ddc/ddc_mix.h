// What the complex- and real-input down-converters share: the mixer, the
// size of the block they mix at a time, the converter calls of the block forms
// and the stateless run. Internal C++, compiled into each down-converter core.
#pragma once
#include <cstddef>
#include <cstdint>

#include "core/sx_status.h"
#include "resample/RateConverter_core.h"
#include "resample/fir_core.h"
#include "wfm/lo_core.h"

namespace sx::ddc {

// Mixed samples are produced a block of this many at a time into scratch held
// by the down-converter itself: a call never allocates, so no input is consumed
// before its room exists, and the block stays in the first-level cache between
// the mixer and the converter's first stage.
inline constexpr size_t kMixBlock = 2048;

// Largest output count a bound reports before it gives up (SIZE_MAX): more
// than any one call is asked to produce (2^28 complex64 samples are 2 GiB).
inline constexpr size_t kBoundLimit = size_t{1} << 28;

// True when n inputs at this overall rate, run rate_ctrl faster, would give
// more outputs than kBoundLimit on average: the exact count (which walks the
// outputs one by one) is then not worth taking.
inline bool beyond_limit(double rate, size_t n, double rate_ctrl) {
    const double per_input = rate + (rate_ctrl > 0.0 ? rate_ctrl : 0.0);
    return !(static_cast<double>(n) * per_input + per_input < static_cast<double>(kBoundLimit));
}

// y = x times the oscillator, n samples; the phase advances by phase_inc +
// extra per sample (extra: a frequency deviation for this call only).
inline void mix(lo *l, uint32_t extra, const cf32_t *x, cf32_t *y, size_t n) {
    lo_mix_input(l, extra, reinterpret_cast<const float *>(x), reinterpret_cast<float *>(y), n);
}

// The converter call for one mixed block, plain or steered by a rate
// deviation (the block forms' execute and execute_ctrl).
struct Plain {
    RateConverter_t *rc;
    size_t operator()(const cf32_t *x, size_t m, cf32_t *y, size_t cap) const {
        return RateConverter_execute(rc, x, m, y, cap);
    }
};
struct Steered {
    RateConverter_t *rc;
    double rate_ctrl;
    size_t operator()(const cf32_t *x, size_t m, cf32_t *y, size_t cap) const {
        return RateConverter_execute_ctrl(rc, x, m, y, cap, rate_ctrl);
    }
};

// The stateless form of a down-converter: restore state_in (when given; a
// refused blob runs nothing), execute one block, save into state_out (when
// given). Returns the outputs written.
template <auto SetState, auto Execute, auto GetState, class D, class In>
size_t run_stateless(D *d, const void *state_in, void *state_out, const In *in, size_t n, cf32_t *out,
                     size_t out_cap) {
    if (d == nullptr) return 0;
    if (state_in != nullptr && SetState(d, state_in) != SX_OK) return 0;
    const size_t w = Execute(d, in, n, out, out_cap);
    if (state_out != nullptr) GetState(d, state_out);
    return w;
}

}  // namespace sx::ddc
