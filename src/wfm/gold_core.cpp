#include "wfm/gold_core.h"

#include <algorithm>
#include <new>

#include "core/sx_state.h"
#include "wfm/pn_core.h"

namespace {
constexpr sx::StateTag kTag{{'G', 'O', 'L', 'D'}, 1};
constexpr size_t kStateBytes = sx::kStateHeaderBytes + 16;
}  // namespace

struct gold {
    uint64_t reg_a, reg_b;
    uint64_t taps_a, taps_b;
    uint64_t seed_a, seed_b;
    uint64_t mask;
    int length;
};

extern "C" {

gold *gold_create(uint64_t taps_a, uint64_t seed_a, uint64_t taps_b, uint64_t seed_b, uint32_t length) {
    if (seed_a == 0 || seed_b == 0 || length == 0 || length > 64) return nullptr;
    auto *g = new (std::nothrow) gold{};
    if (g == nullptr) return nullptr;
    g->mask = sx::seq::width_mask(length);
    g->taps_a = taps_a & g->mask;
    g->taps_b = taps_b & g->mask;
    g->seed_a = seed_a & g->mask;
    g->seed_b = seed_b & g->mask;
    g->reg_a = g->seed_a;
    g->reg_b = g->seed_b;
    g->length = static_cast<int>(length);
    return g;
}

void gold_destroy(gold *g) { delete g; }

void gold_reset(gold *g) {
    g->reg_a = g->seed_a;
    g->reg_b = g->seed_b;
}

size_t gold_state_bytes(const gold *) { return kStateBytes; }

void gold_get_state(const gold *g, void *blob) {
    sx::StateWriter w(blob);
    w.header(kTag, kStateBytes);
    w.put(g->reg_a);
    w.put(g->reg_b);
}

int gold_set_state(gold *g, const void *blob) {
    sx::StateReader r(blob);
    if (!r.header(kTag, kStateBytes)) return SX_ERR_INVALID;
    // Both registers are checked before either is stored: a refused blob changes nothing.
    const auto a = r.get<uint64_t>();
    const auto b = r.get<uint64_t>();
    if (((a | b) & ~g->mask) != 0) return SX_ERR_INVALID;
    g->reg_a = a;
    g->reg_b = b;
    return SX_OK;
}

size_t gold_generate(gold *g, size_t n, uint8_t *out, size_t capacity) {
    const size_t count = std::min(n, capacity);
    uint64_t a = g->reg_a, b = g->reg_b;
    const uint64_t ta = g->taps_a, tb = g->taps_b, mask = g->mask;
    const int top = g->length - 1;
    for (size_t i = 0; i < count; ++i) {
        out[i] = static_cast<uint8_t>(((a >> top) ^ (b >> top)) & 1);
        sx::seq::fibonacci_left_step(b, tb, mask);
        sx::seq::fibonacci_left_step(a, ta, mask);
    }
    g->reg_a = a;
    g->reg_b = b;
    return count;
}

size_t gold_generate_max_out(const gold *) { return 0; }

}  // extern "C"
