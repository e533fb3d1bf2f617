#include "wfm/conv_core.h"

namespace {

uint32_t outputs_of(const conv_desc_t &d, uint32_t window) {
    uint32_t o = 0;
    for (int32_t j = 0; j < d.n; ++j)
        o |= (static_cast<uint32_t>(__builtin_parity(d.gen[j] & window)) ^ ((d.invert >> j) & 1u)) << j;
    return o;
}

}  // namespace

extern "C" {

int conv_code_valid(const conv_desc_t *d) {
    if (d == nullptr || d->k < 2 || d->k > CONV_MAX_K || d->n < 1 || d->n > CONV_MAX_OUTPUTS) return 0;
    for (int32_t j = 0; j < d->n; ++j)
        if (d->gen[j] == 0 || d->gen[j] >= (1u << d->k)) return 0;
    return d->invert < (1u << d->n);
}

void conv_enc_init(uint32_t *reg) {
    if (reg != nullptr) *reg = 0;
}

uint32_t conv_outputs(const conv_desc_t *d, uint32_t reg, uint8_t bit) {
    if (!conv_code_valid(d)) return 0;
    const uint32_t mask = (1u << (d->k - 1)) - 1;
    return outputs_of(*d, (reg & mask) | (static_cast<uint32_t>(bit & 1) << (d->k - 1)));
}

size_t conv_encode(uint32_t *reg, const conv_desc_t *d, const uint8_t *bits, size_t n, uint8_t *out, size_t capacity) {
    if (reg == nullptr || !conv_code_valid(d) || (n > 0 && (bits == nullptr || out == nullptr))) return 0;
    const uint32_t K = static_cast<uint32_t>(d->k), nout = static_cast<uint32_t>(d->n);
    const uint32_t mask = (1u << (K - 1)) - 1;
    if (*reg > mask) return 0;
    size_t total;
    if (__builtin_mul_overflow(n, static_cast<size_t>(nout), &total) || total > capacity) return 0;
    // In one buffer the input must sit far enough behind the output's start that
    // no output lands on an input bit not yet read.
    const uintptr_t o = reinterpret_cast<uintptr_t>(out), b = reinterpret_cast<uintptr_t>(bits);
    const bool overlap = n > 0 && o < b + n && b < o + total;
    if (overlap && (b < o || b - o < total - n)) return 0;

    // Every window of K bits (newest on top) maps to its n outputs.
    uint8_t table[1u << CONV_MAX_K];
    for (uint32_t w = 0; w < (1u << K); ++w) table[w] = static_cast<uint8_t>(outputs_of(*d, w));

    uint32_t r = *reg;
    if (nout == 2) {
        for (size_t i = 0; i < n; ++i) {
            const uint32_t a = r | (static_cast<uint32_t>(bits[i] & 1) << (K - 1));
            const uint8_t o = table[a];
            out[2 * i] = o & 1;
            out[2 * i + 1] = static_cast<uint8_t>(o >> 1);
            r = a >> 1;
        }
    } else {
        for (size_t i = 0; i < n; ++i) {
            const uint32_t a = r | (static_cast<uint32_t>(bits[i] & 1) << (K - 1));
            const uint8_t o = table[a];
            for (uint32_t j = 0; j < nout; ++j) out[i * nout + j] = (o >> j) & 1;
            r = a >> 1;
        }
    }
    *reg = r;
    return total;
}

}  // extern "C"
