// CRC-16-CCITT over unpacked bits (polynomial 0x1021, initial 0xFFFF, no
// reflection, no final XOR), first bit first. Frames and spread bursts use it.
#pragma once
#include "core/sx_status.h"

#ifdef __cplusplus
extern "C" {
#endif

/* bits  n unpacked bits, bit 0 of each byte read. */
SX_API uint16_t crc16(const uint8_t *bits, size_t n);

#ifdef __cplusplus
}

namespace sx::seq {
inline constexpr uint16_t kCrc16Init = 0xFFFF;
// Continues a CRC over n more unpacked bits, so a frame's CRC can run over
// fields that are not contiguous: crc16(b, n) = crc16_update(kCrc16Init, b, n).
constexpr uint16_t crc16_update(uint16_t crc, const uint8_t *bits, size_t n) {
    uint32_t c = crc;
    for (size_t i = 0; i < n; ++i) {
        const uint32_t feedback = ((c >> 15) ^ bits[i]) & 1;
        c = ((c << 1) & 0xFFFF) ^ (feedback ? 0x1021u : 0u);
    }
    return static_cast<uint16_t>(c);
}
}  // namespace sx::seq
#endif
