#include "wfm/ccsds_asm_core.h"

#include <cstring>

extern "C" void ccsds_asm_bits(uint8_t *out) {
    std::memcpy(out, sx::seq::kCcsdsAsmPattern.data(), sx::seq::kCcsdsAsmBits);
}
