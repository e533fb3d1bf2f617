#include "wfm/crc16_core.h"

extern "C" uint16_t crc16(const uint8_t *bits, size_t n) {
    uint32_t crc = 0xFFFF;
    for (size_t i = 0; i < n; ++i) {
        const uint32_t feedback = ((crc >> 15) ^ bits[i]) & 1;
        crc = ((crc << 1) & 0xFFFF) ^ (feedback ? 0x1021u : 0u);
    }
    return static_cast<uint16_t>(crc);
}
