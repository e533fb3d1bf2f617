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
#endif
