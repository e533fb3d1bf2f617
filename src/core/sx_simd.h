// The one run-time choice of instruction set for every kernel that has a fast
// path. Each such kernel is built twice from one source: a portable form
// (baseline x86-64) and an AVX2 form, and both give exactly the same bits (the
// same operations on the same lanes in the same order, no fused multiply-add).
// The processor is asked once per module, at its first kernel call;
// KOLVANE_SIMD=generic in the environment by then forces the portable forms,
// so the path an AVX2 machine never takes can be tested on one.
#pragma once
#include "core/sx_status.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
    SX_SIMD_GENERIC = 0, /* portable forms */
    SX_SIMD_AVX2 = 1,    /* AVX2 forms */
};

/* The forms the kernels of this module run: SX_SIMD_AVX2 when the processor
 * has AVX2 and KOLVANE_SIMD is not "generic", else SX_SIMD_GENERIC. Decided on
 * the first call and fixed for the life of the process. */
SX_API int sx_simd_level(void);

#ifdef __cplusplus
}

namespace sx::simd {
inline bool avx2() { return sx_simd_level() == SX_SIMD_AVX2; }
}  // namespace sx::simd

// Marks the AVX2 form of a kernel. Helpers passing 256-bit vectors between such
// functions are always inlined into them, so the vector ABI that -Wpsabi warns
// about never applies.
#define SX_TARGET_AVX2 __attribute__((target("avx2")))
#endif
