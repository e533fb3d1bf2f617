// The 65536-entry single-precision sine table shared in value (not in storage)
// by the oscillator and the noise source: lut[i] = sinf(i * 2pi/65536), with the
// angle step rounded to single precision and lut[0] exactly 0. A quarter table
// ahead of an index reads its cosine.
#pragma once
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace sx {

inline constexpr size_t kSineLutSize = 65536;
inline constexpr uint32_t kSineLutQuarter = 16384;

inline void fill_sine_lut(float *lut) {
    lut[0] = 0.0f;
    for (size_t i = 1; i < kSineLutSize; ++i) lut[i] = std::sin(static_cast<float>(i) * 9.58738e-5f);
}

// Fills lut exactly once per process, whichever thread comes first; every
// caller returns only once the table is complete. Oscillators and noise sources
// are created from threads that do not hold the interpreter lock (a
// down-converter per thread), so a plain ready flag would be a data race.
// Internal linkage: an inline function's closure would be a vague-linkage
// symbol that the standard library's default visibility exports.
static inline void fill_sine_lut_once(float *lut, std::once_flag &once) {
    std::call_once(once, [lut] { fill_sine_lut(lut); });
}

}  // namespace sx
