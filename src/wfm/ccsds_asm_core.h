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
#endif
