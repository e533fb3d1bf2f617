#include "wfm/dsss_core.h"

#include <cmath>
#include <cstring>
#include <new>
#include <vector>

#include "wfm/wfm_synth_core.h"

namespace {

// A burst: acq_len * acq_reps + data_code_len * frame bits chips, 0 when refused.
uint64_t burst_length(uint64_t frame_bits, uint64_t acq_len, uint64_t acq_reps, uint64_t data_code_len) {
    if (frame_bits != 0 && data_code_len == 0) return 0;  // frame bits need a data code
    uint64_t acq, data, total;
    if (__builtin_mul_overflow(acq_len, acq_reps, &acq) || __builtin_mul_overflow(data_code_len, frame_bits, &data) ||
        __builtin_add_overflow(acq, data, &total))
        return 0;
    return total;
}

wfm_frame_t sync_payload_frame(const uint8_t *sync, uint64_t sync_len, const uint8_t *payload, uint64_t payload_len,
                               int crc) {
    wfm_frame_t f{};
    f.sync.len = sync_len;
    f.sync.lit = sync;
    f.payload.len = payload_len;
    f.payload.lit = payload;
    f.crc = crc != 0 ? 1 : 0;
    return f;
}

}  // namespace

void wfm_dsss_spread(const float *__restrict syms, size_t n, const uint8_t *__restrict code, size_t sf,
                     float *__restrict out) {
    // Negation is a flip of both sign bits: one 64-bit XOR per chip, exact for
    // every value (NaN and signed zeros included), and it vectorises.
    constexpr uint64_t kSigns = 0x8000000080000000ull;
    for (size_t i = 0; i < n; ++i) {
        uint64_t s;
        std::memcpy(&s, syms + 2 * i, sizeof s);
        uint8_t *o = reinterpret_cast<uint8_t *>(out + 2 * i * sf);
        for (size_t j = 0; j < sf; ++j) {
            const uint64_t v = s ^ (kSigns & (0 - static_cast<uint64_t>(code[j] & 1)));
            std::memcpy(o + 8 * j, &v, sizeof v);
        }
    }
}

size_t dsss_spread(const float *syms, size_t n, const uint8_t *code, size_t code_len, int sf, float *out) {
    if (sf <= 0 || n == 0) return 0;
    const size_t f = static_cast<size_t>(sf);
    size_t total, floats;
    if (__builtin_mul_overflow(n, f, &total) || __builtin_mul_overflow(total, size_t{2}, &floats)) return 0;
    if (code == nullptr || code_len < f)
        std::memset(out, 0, floats * sizeof(float));
    else
        wfm_dsss_spread(syms, n, code, f, out);
    return total;
}

uint64_t wfm_dsss_desc_nchips(const wfm_frame_desc_t *desc, uint64_t acq_len, uint64_t acq_reps,
                              uint64_t data_code_len) {
    wfm_frame_layout_t L;
    if (desc == nullptr || wfm_frame_desc_layout(desc, &L) != 0) return 0;
    return burst_length(L.wire, acq_len, acq_reps, data_code_len);
}

uint64_t wfm_dsss_desc_chips(const wfm_frame_desc_t *desc, const wfm_frame_ops_t *ops, const uint8_t *acq_code,
                             uint64_t acq_len, uint64_t acq_reps, const uint8_t *data_code, uint64_t data_code_len,
                             uint8_t *out, uint64_t capacity) {
    // The frame is as long as its kernels really make it, whatever it declares.
    const uint64_t N = wfm_frame_wire_bits(desc, ops);
    const uint64_t total = burst_length(N, acq_len, acq_reps, data_code_len);
    if (desc == nullptr || total == 0 || total > capacity || out == nullptr) return 0;
    const uint64_t acq = acq_len * acq_reps, C = data_code_len;
    if ((acq != 0 && acq_code == nullptr) || (N != 0 && data_code == nullptr)) return 0;
    // The frame is assembled into the last N places of the output: spreading
    // bit k writes chips that end before bit k + 1, so no bit is overwritten
    // before it is read.
    uint8_t *frame_bits = out + (total - N);
    if (N != 0 && wfm_frame_assemble(desc, ops, frame_bits, N) != N) return 0;
    for (uint64_t r = 0; r < acq_reps && acq_len != 0; ++r)
        for (uint64_t j = 0; j < acq_len; ++j) out[r * acq_len + j] = acq_code[j] & 1;
    uint8_t *o = out + acq;
    for (uint64_t k = 0; k < N; ++k) {
        const uint8_t b = frame_bits[k] & 1;
        for (uint64_t j = 0; j < C; ++j) o[k * C + j] = (data_code[j] & 1) ^ b;
    }
    return total;
}

uint64_t wfm_frame_dsss_nchips(uint64_t acq_len, uint64_t acq_reps, uint64_t data_code_len, uint64_t sync_len,
                               uint64_t payload_len, int crc) {
    wfm_frame_t f = sync_payload_frame(nullptr, sync_len, nullptr, payload_len, crc);
    wfm_frame_desc_t d;
    if (wfm_frame_describe(&f, &d) != 0) return 0;
    return wfm_dsss_desc_nchips(&d, acq_len, acq_reps, data_code_len);
}

uint64_t wfm_frame_dsss_chips(const uint8_t *acq_code, uint64_t acq_len, uint64_t acq_reps, const uint8_t *data_code,
                              uint64_t data_code_len, const uint8_t *sync, uint64_t sync_len, const uint8_t *payload,
                              uint64_t payload_len, int crc, uint8_t *out) {
    wfm_frame_t f = sync_payload_frame(sync, sync_len, payload, payload_len, crc);
    wfm_frame_desc_t d;
    if (wfm_frame_describe(&f, &d) != 0) return 0;
    const uint64_t n = wfm_dsss_desc_nchips(&d, acq_len, acq_reps, data_code_len);
    return wfm_dsss_desc_chips(&d, nullptr, acq_code, acq_len, acq_reps, data_code, data_code_len, out, n);
}

uint64_t wfm_cont_dsss_chips(const uint8_t *code, uint64_t code_len, const uint8_t *payload, uint64_t payload_len,
                             uint64_t n, uint8_t *out, double chips_per_symbol, uint64_t *last_symbol) {
    if (code == nullptr || code_len == 0 || payload == nullptr || payload_len == 0 || n == 0 || out == nullptr)
        return 0;
    if (!(chips_per_symbol > 0.0)) return 0;  // NaN too
    // The last chip has the largest symbol index; it must convert exactly.
    if (!(std::floor(static_cast<double>(n - 1) / chips_per_symbol) < 9.2233720368547758e18)) return 0;
    uint64_t si = 0;
    for (uint64_t i = 0; i < n; ++i) {
        // Exactly the engine's arithmetic: floor(i / chips_per_symbol), not i * (1 / chips_per_symbol).
        si = static_cast<uint64_t>(std::floor(static_cast<double>(i) / chips_per_symbol));
        out[i] = static_cast<uint8_t>((code[i % code_len] ^ payload[si % payload_len]) & 1);
    }
    if (last_symbol != nullptr) *last_symbol = si;
    return n;
}

int wfm_synth_set_dsss(wfm_synth *e, const uint8_t *acq_code, uint64_t acq_len, uint64_t acq_reps,
                       const uint8_t *data_code, uint64_t data_code_len, const uint8_t *sync, uint64_t sync_len,
                       const uint8_t *payload, uint64_t payload_len, int crc) {
    if (e == nullptr || wfm_synth_get_wtype(e) != WFM_SYNTH_DSSS) return -1;
    const uint64_t n = wfm_frame_dsss_nchips(acq_len, acq_reps, data_code_len, sync_len, payload_len, crc);
    if (n == 0 || n > WFM_FRAME_MAX_BITS) return -1;
    try {
        std::vector<uint8_t> chips(n);
        if (wfm_frame_dsss_chips(acq_code, acq_len, acq_reps, data_code, data_code_len, sync, sync_len, payload,
                                 payload_len, crc, chips.data()) != n)
            return -1;
        return wfm_synth_set_dsss_chips(e, chips.data(), n) == 0 ? 0 : -1;
    } catch (const std::exception &) {
        return -1;
    }
}
