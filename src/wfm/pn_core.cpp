#include "wfm/pn_core.h"

#include <algorithm>
#include <new>

#include "core/sx_state.h"

namespace {

constexpr sx::StateTag kTag{{'P', 'N', '_', '_'}, 1};
constexpr size_t kStateBytes = sx::kStateHeaderBytes + 8;

// Galois right-shift tap masks of primitive polynomials, indexed by stage count.
constexpr uint64_t kMlsPoly[65] = {
    0, 0, 0x3, 0x5, 0x9, 0x12, 0x21, 0x41, 0x8E, 0x108, 0x204, 0x402, 0x829, 0x100D, 0x2015, 0x4001,
    0x8016, 0x10004, 0x20013, 0x40013, 0x80004, 0x100002, 0x200001, 0x400010, 0x80000D, 0x1000004,
    0x2000023, 0x4000013, 0x8000004, 0x10000002, 0x20000029, 0x40000004, 0x80000057, 0x100000029,
    0x200000073, 0x400000002, 0x80000003B, 0x100000001F, 0x2000000031, 0x4000000008, 0x800000001C,
    0x10000000004, 0x2000000001F, 0x4000000002C, 0x80000000032, 0x10000000000D, 0x200000000097,
    0x400000000010, 0x80000000005B, 0x1000000000038, 0x200000000000E, 0x4000000000025, 0x8000000000004,
    0x10000000000023, 0x2000000000003E, 0x40000000000023, 0x8000000000004A, 0x100000000000016,
    0x200000000000031, 0x40000000000003D, 0x800000000000001, 0x1000000000000013, 0x2000000000000034,
    0x4000000000000001, 0x800000000000000D,
};

constexpr bool table_is_exact() {
    for (uint32_t n = 2; n <= 64; ++n)
        if ((kMlsPoly[n] >> (n - 1)) != 1) return false;
    return true;
}
static_assert(table_is_exact(), "every tap mask is exactly n bits wide");

}  // namespace

struct pn {
    uint64_t poly;
    uint64_t seed;
    uint64_t reg;
    uint64_t mask;
    int fibonacci;
    uint64_t fib_taps;
    int top;
};

extern "C" {

uint64_t mls_poly(uint32_t n) { return (n >= 2 && n <= 64) ? kMlsPoly[n] : 0; }

pn *pn_create(uint64_t poly, uint64_t seed, uint32_t length, int lfsr) {
    if (seed == 0 || length == 0 || length > 64) return nullptr;
    auto *p = new (std::nothrow) pn{};
    if (p == nullptr) return nullptr;
    p->mask = sx::seq::width_mask(length);
    p->poly = poly & p->mask;
    p->seed = seed & p->mask;
    p->reg = p->seed;
    p->fibonacci = lfsr == 1;
    p->top = static_cast<int>(length) - 1;
    if (p->fibonacci) p->fib_taps = ((p->poly << 1) | 1) & p->mask;
    return p;
}

void pn_destroy(pn *p) { delete p; }
void pn_reset(pn *p) { p->reg = p->seed; }
size_t pn_state_bytes(const pn *) { return kStateBytes; }

void pn_get_state(const pn *p, void *blob) {
    sx::StateWriter w(blob);
    w.header(kTag, kStateBytes);
    w.put(p->reg);
}

int pn_set_state(pn *p, const void *blob) {
    sx::StateReader r(blob);
    if (!r.header(kTag, kStateBytes)) return SX_ERR_INVALID;
    // A register with bits outside the width was not saved from a block built
    // alike; the Fibonacci shift would carry those bits into the output.
    const auto reg = r.get<uint64_t>();
    if ((reg & ~p->mask) != 0) return SX_ERR_INVALID;
    p->reg = reg;
    return SX_OK;
}

size_t pn_generate(pn *p, size_t n, uint8_t *out, size_t capacity) {
    const size_t count = std::min(n, capacity);
    uint64_t reg = p->reg;
    const uint64_t mask = p->mask;
    if (p->fibonacci) {
        const uint64_t taps = p->fib_taps;
        const int top = p->top;
        for (size_t i = 0; i < count; ++i) {
            const uint64_t fb = sx::seq::parity(taps & reg);
            out[i] = static_cast<uint8_t>(reg & 1);
            reg = (reg >> 1) | (fb << top);
        }
    } else {
        const uint64_t poly = p->poly;
        for (size_t i = 0; i < count; ++i) out[i] = static_cast<uint8_t>(sx::seq::galois_step(reg, poly, mask));
    }
    p->reg = reg;
    return count;
}

size_t pn_generate_max_out(const pn *) { return 0; }

}  // extern "C"
