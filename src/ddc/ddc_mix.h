// What the complex- and real-input down-converters share: the mixer and the
// size of the block they mix at a time. Internal C++, compiled into each
// down-converter core.
#pragma once
#include <cstddef>
#include <cstdint>

#include "resample/fir_core.h"
#include "wfm/lo_core.h"

namespace sx::ddc {

// Mixed samples are produced a block of this many at a time into scratch held
// by the down-converter itself: a call never allocates, so no input is consumed
// before its room exists, and the block stays in the first-level cache between
// the mixer and the converter's first stage.
inline constexpr size_t kMixBlock = 2048;

// Largest count a bound reports before it gives up (SIZE_MAX): no call can
// produce that much, and the figure stays exact in double.
inline constexpr size_t kBoundLimit = size_t{1} << 52;

// y = x times the oscillator, n samples; the phase advances by phase_inc +
// extra per sample (extra: a frequency deviation for this call only).
inline void mix(lo *l, uint32_t extra, const cf32_t *x, cf32_t *y, size_t n) {
    lo_mix(l, extra, reinterpret_cast<const float *>(x), reinterpret_cast<float *>(y), n);
}

}  // namespace sx::ddc
