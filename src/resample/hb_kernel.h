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
#include <vector>

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

// An n-tap branch laid out for hb_block: the first floor(n/2) taps, halved
// (their sign alternated with k for the real-to-complex form), and the
// offsets of the two samples each one meets, in floats for samples of
// `stride` floats. An odd n pairs the first-of-pair stream from the second
// newest sample on.
struct HbBranch {
    size_t n = 0, half = 0;
    bool even = false;
    std::vector<float> coef;
    std::vector<ptrdiff_t> o1, o2;
    ptrdiff_t oc = 0;  // the centre sample's offset

    // Throws std::bad_alloc when memory runs out.
    void design(size_t taps_n, const float *taps, size_t stride, bool alternate) {
        n = taps_n;
        half = n / 2;
        even = (n % 2) == 0;
        coef.resize(half);
        o1.resize(half);
        o2.resize(half);
        for (size_t k = 0; k < half; ++k) {
            coef[k] = 0.5f * ((alternate && (k & 1)) ? -taps[k] : taps[k]);
            o1[k] = static_cast<ptrdiff_t>(stride * (k + (even ? 0 : 1)));
            o2[k] = static_cast<ptrdiff_t>(stride * (n - 1 - k));
        }
        oc = static_cast<ptrdiff_t>(stride * half);
    }
    template <int W, bool Sub, bool Centre>
    inline __attribute__((always_inline)) void run(float *y, const float *cen, float c0, const float *p,
                                                   size_t nf) const {
        hb_block<W, Sub, Centre>(y, cen, c0, p, coef.data(), o1.data(), o2.data(), half, nf);
    }
};

}  // namespace rate
