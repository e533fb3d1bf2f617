#include "core/sx_simd.h"

#include <cstdlib>
#include <cstring>

namespace {

int detect() {
    const char *force = std::getenv("KOLVANE_SIMD");
    if (force != nullptr && std::strcmp(force, "generic") == 0) return SX_SIMD_GENERIC;
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") ? SX_SIMD_AVX2 : SX_SIMD_GENERIC;
}

}  // namespace

extern "C" int sx_simd_level(void) {
    static const int level = detect();
    return level;
}
