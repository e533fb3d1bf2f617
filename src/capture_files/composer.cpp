#include "capture_files/composer.h"

extern "C" {

double wfm_draw_range(uint32_t seed, uint64_t stream, uint64_t k1, uint64_t k2, uint64_t k3, uint32_t salt, double lo,
                      double hi) {
    const uint64_t key = (k3 << 16) ^ (static_cast<uint64_t>(salt) << 8) ^ (k2 << 40) ^ (k1 << 48) ^
                         (stream << 32) ^ (static_cast<uint64_t>(seed) * 0xd1b54a32d192ed03ULL);
    // SplitMix64 finaliser: a stateless, well-mixed hash of the key.
    uint64_t x = key + 0x9e3779b97f4a7c15ULL;
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ULL;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebULL;
    x ^= x >> 31;
    const uint64_t m = x >> 11;
    return lo + static_cast<double>(m) * ((hi - lo) * 0x1p-53);
}

uint64_t wfm_draw_samples(uint32_t seed, uint64_t stream, uint64_t k1, uint64_t k2, uint32_t salt, uint64_t lo,
                          uint64_t hi) {
    const double v = wfm_draw_range(seed, stream, k1, k2, 0, salt, static_cast<double>(lo), static_cast<double>(hi)) + 0.5;
    // The draw lies in [lo, hi] for ordered bounds; reversed or huge bounds are clamped
    // so the conversion to an integer is always defined.
    if (!(v > 0.0)) return 0;
    if (v >= 18446744073709551616.0) return UINT64_MAX;
    return static_cast<uint64_t>(v);
}

uint64_t wfm_compose_spans(const wfm_segment *segs, size_t n_segs, wfm_span *spans, size_t cap) {
    if (segs == nullptr || n_segs == 0) return 0;
    uint64_t offset = 0, total = 0;
    for (size_t i = 0; i < n_segs; ++i) {
        const wfm_segment &s = segs[i];
        const uint64_t n = s.reps == 0 ? 1 : s.reps;
        const uint32_t seed = (s.n_descs > 0 && s.descs != nullptr) ? s.descs[0].seed : 1u;
        // Spans past the capacity are only counted, never drawn: a huge repetition
        // count costs nothing when sizing the array.
        for (uint64_t j = 0; spans != nullptr && j < n && total + j < cap; ++j) {
            const uint64_t burst =
                (s.flags & WFM_SEG_DRAW_BURST) ? wfm_draw_samples(seed, 0, j, i, 16, s.burst, s.burst_hi) : s.burst;
            const uint64_t tail =
                (s.flags & WFM_SEG_DRAW_TAIL) ? wfm_draw_samples(seed, 0, j, i, 32, s.tail, s.tail_hi) : s.tail;
            const uint64_t lead =
                (s.flags & WFM_SEG_DRAW_LEAD) ? wfm_draw_samples(seed, 0, j, i, 64, s.lead, s.lead_hi) : s.lead;
            spans[total + j] = {i, j, offset, lead, burst, tail};
            offset += lead + burst + tail;
        }
        total += n;
    }
    return total;
}

}  // extern "C"
