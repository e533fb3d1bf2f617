#include "wfm/awgn_core.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <new>

#include "core/sx_state.h"
#include "wfm/sine_lut.h"

namespace {

constexpr sx::StateTag kTag{{'A', 'W', 'G', 'N'}, 1};
constexpr size_t kLanes = 8;
constexpr size_t kStateBytes = sx::kStateHeaderBytes + 4 * 8 + 4 * kLanes * 8;
static_assert(kStateBytes == 304);
constexpr size_t kMaxOut = 65536;
constexpr uint64_t kGamma = 0x9E3779B97F4A7C15ull;

float g_lut[sx::kSineLutSize];
std::once_flag g_lut_once;

// Filled on the first create of the process; read-only afterwards.
void ensure_lut() { sx::fill_sine_lut_once(g_lut, g_lut_once); }

constexpr uint64_t mix(uint64_t z) {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

constexpr uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

// Natural logarithm of a positive normal float, branch-free so loops over it
// vectorise: x = m * 2^e with m in [sqrt(1/2), sqrt(2)), ln m by the atanh series
// in s = (m-1)/(m+1) (|s| <= 0.172, five terms reach single precision).
inline float log_pos(float x) {
    const uint32_t bits = std::bit_cast<uint32_t>(x);
    const uint32_t frac = bits & 0x007FFFFFu;
    // Mantissas at or above sqrt(2) (0x3504F3) take exponent -1 instead of 0;
    // integer selects keep the loop free of branches.
    const uint32_t big = frac >= 0x003504F3u ? 1u : 0u;
    const int32_t e = static_cast<int32_t>(bits >> 23) - 127 + static_cast<int32_t>(big);
    const float m = std::bit_cast<float>(frac | (0x3F800000u - (big << 23)));
    const float s = (m - 1.0f) / (m + 1.0f);
    const float s2 = s * s;
    const float poly = s2 * (0.33333333f + s2 * (0.2f + s2 * (0.14285714f + s2 * 0.11111111f)));
    const float ef = static_cast<float>(e);
    return ef * 0.693145751953125f + (2.0f * s + (2.0f * s * poly + ef * 1.42860677e-06f));
}

}  // namespace

struct awgn {
    uint64_t s[4];
    uint64_t seed;
    float amplitude;
    uint64_t lanes[4][kLanes];
};
// The function awgn() hides the plain type name.
using Awgn = struct awgn;

namespace {

void seed_all(Awgn *a) {
    for (int i = 0; i < 4; ++i) a->s[i] = mix(a->seed + static_cast<uint64_t>(i + 1) * kGamma);
    for (size_t k = 0; k < kLanes; ++k)
        for (size_t j = 0; j < 4; ++j) a->lanes[j][k] = mix(a->seed + static_cast<uint64_t>(k + 1 + j) * kGamma);
}

}  // namespace

namespace sx {

// The generator's four words are never all zero: that is the one state its
// step maps onto itself, which no seed leads to (every word is a distinct
// bijective mix of the seed), and from which it would only ever repeat itself.
bool awgn_state_valid(const Awgn *, const uint8_t *blob) {
    if (!state_header_ok(blob, kTag, kStateBytes)) return false;
    uint64_t s[4];
    std::memcpy(s, blob + kStateHeaderBytes, sizeof s);
    return (s[0] | s[1] | s[2] | s[3]) != 0;
}

void awgn_state_apply(Awgn *a, const uint8_t *blob) {
    StateReader r(blob);
    r.skip(kStateHeaderBytes);
    r.bytes(a->s, sizeof a->s);
    r.bytes(a->lanes, sizeof a->lanes);
}

}  // namespace sx

extern "C" {

Awgn *awgn_create(uint64_t seed, float amplitude) {
    auto *a = new (std::nothrow) Awgn{};
    if (a == nullptr) return nullptr;
    ensure_lut();
    a->seed = seed;
    a->amplitude = amplitude;
    seed_all(a);
    return a;
}

void awgn_destroy(Awgn *a) { delete a; }
void awgn_reset(Awgn *a) { seed_all(a); }

void awgn_reseed(Awgn *a, uint64_t seed) {
    a->seed = seed;
    seed_all(a);
}

float awgn_get_amplitude(const Awgn *a) { return a->amplitude; }
void awgn_set_amplitude(Awgn *a, float amplitude) { a->amplitude = amplitude; }
size_t awgn_state_bytes(const Awgn *) { return kStateBytes; }

void awgn_get_state(const Awgn *a, void *blob) {
    sx::StateWriter w(blob);
    w.header(kTag, kStateBytes);
    w.bytes(a->s, sizeof a->s);
    w.bytes(a->lanes, sizeof a->lanes);
}

int awgn_set_state(Awgn *a, const void *blob) {
    const auto *b = static_cast<const uint8_t *>(blob);
    if (!sx::awgn_state_valid(a, b)) return SX_ERR_INVALID;
    sx::awgn_state_apply(a, b);
    return SX_OK;
}

size_t awgn_generate(Awgn *a, size_t n, float *out, size_t capacity) {
    const size_t count = std::min(n, capacity);
    // Three passes per block: the serial generator fills uniform and phase words,
    // a vectorised pass turns the uniforms into radii, a last pass reads the table.
    constexpr size_t kBlock = 512;
    int32_t ku[kBlock];  // 24-bit values: signed converts to float without a branch
    uint32_t kp[kBlock];
    float r[kBlock];
    uint64_t s0 = a->s[0], s1 = a->s[1], s2 = a->s[2], s3 = a->s[3];
    const float amp = a->amplitude;
    const float *lut = g_lut;
    for (size_t done = 0; done < count;) {
        const size_t m = std::min(kBlock, count - done);
        for (size_t i = 0; i < m; ++i) {
            for (int w = 0; w < 2; ++w) {
                const uint64_t x = rotl(s0 + s3, 23) + s0;
                const uint64_t t = s1 << 17;
                s2 ^= s0;
                s3 ^= s1;
                s1 ^= s2;
                s0 ^= s3;
                s2 ^= t;
                s3 = rotl(s3, 45);
                if (w == 0)
                    ku[i] = static_cast<int32_t>(x >> 40);
                else
                    kp[i] = static_cast<uint32_t>(x >> 48);
            }
        }
        for (size_t i = 0; i < m; ++i) {
            // (k + 1) * 2^-24 lies in (0, 1] and is exact in single precision.
            const float u = static_cast<float>(ku[i] + 1) * 5.9604645e-08f;
            r[i] = std::sqrt(-2.0f * log_pos(u)) * amp;
        }
        float *o = out + 2 * done;
        for (size_t i = 0; i < m; ++i) {
            const uint32_t p = kp[i];
            o[2 * i] = r[i] * lut[(p + sx::kSineLutQuarter) & 0xFFFFu];
            o[2 * i + 1] = r[i] * lut[p];
        }
        done += m;
    }
    a->s[0] = s0;
    a->s[1] = s1;
    a->s[2] = s2;
    a->s[3] = s3;
    return count;
}

size_t awgn_generate_max_out(const Awgn *) { return kMaxOut; }

int awgn(uint64_t seed, size_t n, float *out, float amplitude) {
    Awgn *a = awgn_create(seed, amplitude);
    if (a == nullptr) return SX_ERR_NOMEM;
    awgn_generate(a, n, out, n);
    awgn_destroy(a);
    return SX_OK;
}

float awgn_amplitude_for_snr(float snr_db, float signal_power) {
    return std::sqrt(std::exp(snr_db * 0.1f * -2.3025851f) * signal_power * 0.5f);
}

float wfm_awgn_amplitude(float snr_db, float signal_power) { return awgn_amplitude_for_snr(snr_db, signal_power); }

float wfm_ebno_to_snr_db(float ebno_db, int bits_per_symbol, float samples_per_symbol) {
    return ebno_db + 10.0f * std::log10(static_cast<float>(bits_per_symbol)) - 10.0f * std::log10(samples_per_symbol);
}

}  // extern "C"
