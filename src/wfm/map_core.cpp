#include "wfm/map_core.h"

namespace {
constexpr float kInvSqrt2 = 0.70710677f;
}

extern "C" {

void bpsk_map(const uint8_t *bits, size_t n, float *out) {
    for (size_t i = 0; i < n; ++i) {
        out[2 * i] = 1.0f - 2.0f * static_cast<float>(bits[i] & 1);
        out[2 * i + 1] = 0.0f;
    }
}

void qpsk_map(const uint8_t *syms, size_t n, float *out) {
    for (size_t i = 0; i < n; ++i) {
        out[2 * i] = (1.0f - 2.0f * static_cast<float>(syms[i] & 1)) * kInvSqrt2;
        out[2 * i + 1] = (1.0f - 2.0f * static_cast<float>((syms[i] >> 1) & 1)) * kInvSqrt2;
    }
}

}  // extern "C"
