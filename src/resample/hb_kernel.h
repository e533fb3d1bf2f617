// The inner product shared by the float halfband decimators, computed across a
// block of outputs: lane t of the result is
//   y[t] = c0 * cen[t] + sum_k h[k] * (p[t - o1[k]] +/- p[t - o2[k]])
// accumulated in that order (centre first, k ascending) in single precision.
// Each output keeps its own sequential sum, so the vector forms (4 floats,
// portable; 8 floats, AVX2 chosen at run time through core/sx_simd.h) and the
// scalar tail give the same bits, whatever the block boundaries.
#pragma once
#include <cstddef>
#include <cstring>

#include "core/sx_simd.h"

namespace rate {

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"
typedef float hb_v4f __attribute__((vector_size(16)));
typedef float hb_v8f __attribute__((vector_size(32)));
template <int W> struct HbVec;
template <> struct HbVec<4> {
    using type = hb_v4f;
};
template <> struct HbVec<8> {
    using type = hb_v8f;
};

template <int W, bool Sub, bool Centre>
inline __attribute__((always_inline)) void hb_block(float *__restrict y, const float *__restrict cen, float c0,
                                                   const float *__restrict p, const float *__restrict h,
                                                   const ptrdiff_t *__restrict o1, const ptrdiff_t *__restrict o2,
                                                   size_t nk, size_t nf) {
    using V = typename HbVec<W>::type;
    auto ld = [](const float *q) {
        V v;
        std::memcpy(&v, q, sizeof v);
        return v;
    };
    size_t t = 0;
    // Two vectors per pass: independent sums keep the adder busy.
    for (; t + 2 * W <= nf; t += 2 * W) {
        V a0, a1;
        if constexpr (Centre) {
            a0 = c0 * ld(cen + t);
            a1 = c0 * ld(cen + t + W);
        } else {
            a0 = V{} ;
            a1 = V{};
        }
        for (size_t k = 0; k < nk; ++k) {
            const float *q1 = p + t - o1[k], *q2 = p + t - o2[k];
            if constexpr (Sub) {
                a0 += h[k] * (ld(q1) - ld(q2));
                a1 += h[k] * (ld(q1 + W) - ld(q2 + W));
            } else {
                a0 += h[k] * (ld(q1) + ld(q2));
                a1 += h[k] * (ld(q1 + W) + ld(q2 + W));
            }
        }
        std::memcpy(y + t, &a0, sizeof a0);
        std::memcpy(y + t + W, &a1, sizeof a1);
    }
    for (; t < nf; ++t) {
        float a = Centre ? c0 * cen[t] : 0.0f;
        for (size_t k = 0; k < nk; ++k) {
            if constexpr (Sub)
                a += h[k] * (p[t - o1[k]] - p[t - o2[k]]);
            else
                a += h[k] * (p[t - o1[k]] + p[t - o2[k]]);
        }
        y[t] = a;
    }
}
#pragma GCC diagnostic pop

}  // namespace rate
