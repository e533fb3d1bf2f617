// The rate converter's halfband branch, also the first stage of the real-input
// down-converter: 18 symmetric taps summing to 1.00056, then a zero, so as a
// 19-tap branch the odd-length rule centres the 18 taps on the centre sample.
#pragma once
#include <cstddef>

namespace rate {

inline constexpr size_t kHalfbandBranchTaps = 19;
inline constexpr float kHalfbandBranch[kHalfbandBranchTaps] = {
    0.00157905f, -0.00467577f, 0.01044318f, -0.02017462f, 0.03579893f, -0.06086637f, 0.10411341f,
    -0.19753781f, 0.63160092f,  0.63160092f, -0.19753781f, 0.10411341f, -0.06086637f, 0.03579893f,
    -0.02017462f, 0.01044318f,  -0.00467577f, 0.00157905f, 0.0f};

}  // namespace rate
