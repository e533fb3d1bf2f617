#include "wfm/crc16_core.h"

namespace {
// The code's check value over the bits of "123456789", in one pass and continued across a split.
constexpr bool crc16_self_check() {
    const char text[] = "123456789";
    uint8_t bits[72] = {};
    for (int i = 0; i < 72; ++i) bits[i] = static_cast<uint8_t>((text[i / 8] >> (7 - i % 8)) & 1);
    using sx::seq::crc16_update, sx::seq::kCrc16Init;
    return crc16_update(kCrc16Init, bits, 72) == 0x29B1 &&
           crc16_update(crc16_update(kCrc16Init, bits, 29), bits + 29, 43) == 0x29B1;
}
static_assert(crc16_self_check());
}  // namespace

extern "C" uint16_t crc16(const uint8_t *bits, size_t n) { return sx::seq::crc16_update(sx::seq::kCrc16Init, bits, n); }
