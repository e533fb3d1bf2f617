#include "wfm/ccsds_asm_core.h"

extern "C" void ccsds_asm_bits(uint8_t *out) {
    constexpr uint32_t kMarker = 0x1ACFFC1Du;
    for (int i = 0; i < 32; ++i) out[i] = static_cast<uint8_t>((kMarker >> (31 - i)) & 1);
}
