// The CCSDS attached sync marker 0x1ACFFC1D as 32 unpacked bits, first on the wire first.
#pragma once
#include "core/sx_status.h"

#ifdef __cplusplus
extern "C" {
#endif

/* out  32 bytes, each 0 or 1. */
SX_API void ccsds_asm_bits(uint8_t *out);

#ifdef __cplusplus
}

#include <array>

namespace sx::seq {
inline constexpr uint32_t kCcsdsAsm = 0x1ACFFC1Du;
inline constexpr size_t kCcsdsAsmBits = 32;
// The marker as unpacked bits, first on the wire first; a constant table, so
// no first-use fill and nothing to guard between threads.
inline constexpr std::array<uint8_t, kCcsdsAsmBits> kCcsdsAsmPattern = [] {
    std::array<uint8_t, kCcsdsAsmBits> a{};
    for (size_t i = 0; i < kCcsdsAsmBits; ++i) a[i] = static_cast<uint8_t>((kCcsdsAsm >> (31 - i)) & 1);
    return a;
}();
}  // namespace sx::seq
#endif
