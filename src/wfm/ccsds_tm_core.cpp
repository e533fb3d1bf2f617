#include "wfm/ccsds_tm_core.h"

#include <array>
#include <cstring>
#include <mutex>

#include "wfm/ccsds_asm_core.h"

extern "C" {
const ccsds_tm_rand_desc_t CCSDS_TM_RAND = {0x10004u, 0x38E3u, 17u, 131071u};
const ccsds_tm_rand_desc_t CCSDS_TM_RAND_LEGACY = {0x95u, 0xFFu, 8u, 255u};
const conv_desc_t CCSDS_TM_CONV = {7, 2, {0x79u, 0x5Bu, 0, 0, 0, 0}, 2u};
const rs_desc_t CCSDS_TM_RS = {8, 0x87u, 32u, 112, 11};
}

namespace {

constexpr uint32_t kN = CCSDS_TM_RS_N, kK = CCSDS_TM_RS_K, kP = CCSDS_TM_RS_PARITY;
constexpr uint32_t kMaxDepth = CCSDS_TM_RS_MAX_DEPTH;
constexpr uint64_t kCodeBlockBits = 8ull * kN; // 2040 bits per codeword in a CADU
constexpr uint64_t kAsmBits = CCSDS_TM_ASM_BITS;
// A CADU without RS holds any number of octets; this bound keeps every bit count
// derived from F (8F, marker, inner code) far from overflow.
constexpr uint64_t kMaxFrameOctets = uint64_t{1} << 56;

// The basis change is linear over GF(2): each table is the XOR of one constant
// per set bit (bit 7 first).
constexpr std::array<uint8_t, 256> basis_table(const std::array<uint8_t, 8> &cols) {
    std::array<uint8_t, 256> t{};
    for (uint32_t x = 0; x < 256; ++x) {
        uint8_t y = 0;
        for (uint32_t b = 0; b < 8; ++b)
            if (x & (0x80u >> b)) y ^= cols[b];
        t[x] = y;
    }
    return t;
}
constexpr auto kToDual = basis_table({0x8D, 0xEF, 0xEC, 0x86, 0xFA, 0x99, 0xAF, 0x7B});
constexpr auto kToConv = basis_table({0xC5, 0x42, 0x2E, 0xFD, 0xF0, 0x79, 0xAC, 0xCC});

// The shared code plus its feedback table moved into the dual basis: because the
// basis change T is linear, running the register on T(symbols) with row
// T(row[T^-1(f)]) yields T(parity) directly, so neither the data nor the parity
// needs converting on the encoder's path.
struct CcsdsRs {
    rs_code_t code;
    alignas(64) uint8_t dual_tab[256][RS_MAX_ROOTS];
    bool ok;
};

CcsdsRs g_rs;
std::once_flag g_rs_once;

const CcsdsRs *shared_rs() {
    std::call_once(g_rs_once, [] {
        g_rs.ok = rs_init(&g_rs.code, &CCSDS_TM_RS) == SX_OK;
        if (!g_rs.ok) return;
        for (uint32_t f = 0; f < 256; ++f)
            for (uint32_t j = 0; j < RS_MAX_ROOTS; ++j)
                g_rs.dual_tab[f][j] = kToDual[g_rs.code.enc_tab[kToConv[f]][j]];
    });
    return g_rs.ok ? &g_rs : nullptr;
}

bool block_depth_ok(uint32_t depth) { return (depth >= 1 && depth <= 5) || depth == 8; }

void encode_dual(const CcsdsRs &rs, const uint8_t *data, uint8_t *parity) {
    sx::rs::lfsr_encode(rs.dual_tab, kP, data, kK, 0xFF, parity);
}

int decode_dual(const CcsdsRs &rs, uint8_t *cw) {
    uint8_t rem[kP];
    encode_dual(rs, cw, rem);
    uint8_t any = 0;
    for (uint32_t j = 0; j < kP; ++j) {
        rem[j] ^= cw[kK + j];
        any |= rem[j];
    }
    if (any == 0) return 0;
    for (uint32_t j = 0; j < kP; ++j) rem[j] = kToConv[rem[j]];
    uint32_t pos[kP];
    uint8_t val[kP];
    const int n = sx::rs::decode_from_remainder(rs.code, rem, pos, val);
    if (n <= 0) return -1;
    for (int k = 0; k < n; ++k) cw[pos[k]] ^= kToDual[val[k]];
    return n;
}

void unpack(const uint8_t *octets, size_t n, uint8_t *bits) {
    for (size_t i = 0; i < n; ++i)
        for (uint32_t b = 0; b < 8; ++b) bits[8 * i + b] = (octets[i] >> (7 - b)) & 1;
}

void pack(const uint8_t *bits, size_t n, uint8_t *octets) {
    for (size_t i = 0; i < n; ++i) {
        uint32_t v = 0;
        for (uint32_t b = 0; b < 8; ++b) v = (v << 1) | (bits[8 * i + b] & 1u);
        octets[i] = static_cast<uint8_t>(v);
    }
}

bool rand_desc_ok(const ccsds_tm_rand_desc_t *d) { return d != nullptr && d->stages >= 1 && d->stages <= 32; }

void rand_start(ccsds_tm_rand_t &st, const ccsds_tm_rand_desc_t &d) {
    st.mask = d.stages >= 32 ? ~0u : (1u << d.stages) - 1;
    st.taps = d.taps & st.mask;
    st.state = d.initial & st.mask;
    st.top = d.stages - 1;
}

// Randomises n bits with a register held in locals.
void rand_xor(const ccsds_tm_rand_desc_t &d, uint8_t *bits, size_t n) {
    ccsds_tm_rand_t st;
    rand_start(st, d);
    uint32_t s = st.state;
    const uint32_t taps = st.taps, mask = st.mask, top = st.top;
    for (size_t i = 0; i < n; ++i) {
        bits[i] = static_cast<uint8_t>((bits[i] & 1u) ^ ((s >> top) & 1u));
        s = ((s << 1) | static_cast<uint32_t>(__builtin_parity(s & taps))) & mask;
    }
}

// Bit count without a library call (the baseline x86-64 target has no popcnt
// instruction); the marker search runs it once per input bit.
constexpr uint32_t bit_count(uint32_t x) {
    x = x - ((x >> 1) & 0x55555555u);
    x = (x & 0x33333333u) + ((x >> 2) & 0x33333333u);
    x = (x + (x >> 4)) & 0x0F0F0F0Fu;
    return (x * 0x01010101u) >> 24;
}

bool cfg_ok(const ccsds_tm_frame_cfg_t *cfg) {
    return cfg != nullptr && (cfg->rs_depth == 0 || block_depth_ok(cfg->rs_depth));
}

// ---- stage kernels ----

int rs_stage_span(const wfm_stage_t *st, uint64_t nbits) {
    if (st == nullptr || !block_depth_ok(st->depth) || nbits != st->depth * kCodeBlockBits) return 0;
    return static_cast<int>(st->depth);
}

int rs_stage_inplace(void *, const wfm_stage_t *st, uint8_t *bits, uint64_t nbits) {
    const int depth = rs_stage_span(st, nbits);
    if (depth == 0 || bits == nullptr) return SX_ERR_INVALID;
    const uint32_t d = static_cast<uint32_t>(depth);
    alignas(64) uint8_t blk[kMaxDepth * kN];
    pack(bits, d * kK, blk);
    if (ccsds_tm_rs_encode_block(blk, d, blk) == 0) return SX_ERR_INVALID;
    unpack(blk + d * kK, d * kP, bits + 8ull * d * kK);
    return SX_OK;
}

int rs_stage_undo(void *, const wfm_stage_t *st, uint8_t *bits, uint64_t nbits, wfm_stage_report_t *report) {
    if (report != nullptr) *report = wfm_stage_report_t{};
    const int depth = rs_stage_span(st, nbits);
    if (depth == 0 || bits == nullptr) return SX_ERR_INVALID;
    const uint32_t d = static_cast<uint32_t>(depth);
    alignas(64) uint8_t blk[kMaxDepth * kN];
    pack(bits, d * kN, blk);
    ccsds_tm_rs_stats_t s{};
    if (ccsds_tm_rs_decode_block(blk, d, &s) == 0) return SX_ERR_INVALID;
    if (s.corrected > 0) unpack(blk, d * kN, bits);
    if (report != nullptr) *report = {d, d - s.failed, s.corrected, s.symbols};
    return SX_OK;
}

const ccsds_tm_rand_desc_t &stage_rand_desc(const wfm_stage_t *st) {
    return st != nullptr && st->depth == 2 ? CCSDS_TM_RAND_LEGACY : CCSDS_TM_RAND;
}

int rand_stage_inplace(void *, const wfm_stage_t *st, uint8_t *bits, uint64_t nbits) {
    if (bits == nullptr && nbits > 0) return SX_ERR_INVALID;
    rand_xor(stage_rand_desc(st), bits, nbits);
    return SX_OK;
}

int rand_stage_undo(void *, const wfm_stage_t *st, uint8_t *bits, uint64_t nbits, wfm_stage_report_t *report) {
    if (report != nullptr) *report = wfm_stage_report_t{};
    if (bits == nullptr && nbits > 0) return SX_ERR_INVALID;
    rand_xor(stage_rand_desc(st), bits, nbits);
    if (report != nullptr) *report = {1, 1, 0, 0};
    return SX_OK;
}

uint64_t conv_stage_emit(void *, const wfm_stage_t *, const uint8_t *in, uint64_t n_in, uint8_t *out,
                         uint64_t capacity) {
    uint32_t reg = 0;  // every assembly starts the inner code afresh
    return conv_encode(&reg, &CCSDS_TM_CONV, in, n_in, out, capacity);
}

wfm_seq_t literal(const uint8_t *bits, uint64_t len) {
    wfm_seq_t f{};
    f.kind = WFM_SEQ_LITERAL;
    f.len = len;
    f.lit = len > 0 ? bits : nullptr;
    return f;
}

wfm_seq_t derived(int32_t stage, uint64_t nbits) {
    wfm_seq_t f{};
    f.kind = WFM_SEQ_LITERAL;
    f.derived_by = stage + 1;
    f.derived_bits = nbits;
    return f;
}

wfm_stage_t stage(uint32_t kind, uint32_t first, uint32_t n, uint32_t depth) {
    wfm_stage_t s{};
    s.kind = kind;
    s.first_field = first;
    s.n_fields = n;
    s.depth = depth;
    return s;
}

}  // namespace

extern "C" {

// ---- randomiser ----

int ccsds_tm_rand_init(ccsds_tm_rand_t *st, const ccsds_tm_rand_desc_t *desc) {
    if (desc == nullptr) desc = &CCSDS_TM_RAND;
    if (st == nullptr || !rand_desc_ok(desc)) return SX_ERR_INVALID;
    rand_start(*st, *desc);
    return SX_OK;
}

uint8_t ccsds_tm_rand_step(ccsds_tm_rand_t *st) {
    if (st == nullptr) return 0;
    const uint32_t s = st->state;
    st->state = ((s << 1) | static_cast<uint32_t>(__builtin_parity(s & st->taps))) & st->mask;
    return static_cast<uint8_t>((s >> (st->top & 31)) & 1u);
}

int ccsds_tm_rand_seq_with(const ccsds_tm_rand_desc_t *desc, uint8_t *out, size_t n) {
    if (!rand_desc_ok(desc) || (out == nullptr && n > 0)) return SX_ERR_INVALID;
    if (n > 0) std::memset(out, 0, n);
    rand_xor(*desc, out, n);
    return SX_OK;
}

int ccsds_tm_rand_seq(uint8_t *out, size_t n) { return ccsds_tm_rand_seq_with(&CCSDS_TM_RAND, out, n); }

int ccsds_tm_randomise_with(const ccsds_tm_rand_desc_t *desc, uint8_t *bits, size_t n) {
    if (!rand_desc_ok(desc) || (bits == nullptr && n > 0)) return SX_ERR_INVALID;
    rand_xor(*desc, bits, n);
    return SX_OK;
}

int ccsds_tm_randomise(uint8_t *bits, size_t n) { return ccsds_tm_randomise_with(&CCSDS_TM_RAND, bits, n); }

// ---- marker ----

void ccsds_tm_asm_bits(uint8_t *out) { ccsds_asm_bits(out); }

int ccsds_tm_asm_find(const uint8_t *bits, size_t n, uint32_t max_errors, ccsds_tm_asm_result_t *result) {
    if (bits == nullptr || result == nullptr || n < kAsmBits) return 0;
    // A 32-bit window slides over the bits; its distance to the marker is one bit count.
    uint32_t w = 0;
    for (size_t i = 0; i < n; ++i) {
        w = (w << 1) | (bits[i] & 1u);
        if (i + 1 < kAsmBits) continue;
        const uint32_t d = bit_count(w ^ sx::seq::kCcsdsAsm);
        const uint32_t e = d < 32 - d ? d : 32 - d;
        if (e <= max_errors) {
            *result = {i + 1 - kAsmBits, e, 32 - d < d ? 1u : 0u};
            return 1;
        }
    }
    return 0;
}

// ---- Reed-Solomon ----

uint8_t ccsds_tm_rs_conv_to_dual(uint8_t x) { return kToDual[x]; }
uint8_t ccsds_tm_rs_dual_to_conv(uint8_t x) { return kToConv[x]; }

const rs_code_t *ccsds_tm_rs_code(void) {
    const CcsdsRs *rs = shared_rs();
    return rs != nullptr ? &rs->code : nullptr;
}

const uint8_t *ccsds_tm_rs_generator(void) { return rs_generator(ccsds_tm_rs_code()); }

int ccsds_tm_rs_encode(const uint8_t *data223, uint8_t *parity32) {
    const CcsdsRs *rs = shared_rs();
    if (rs == nullptr || data223 == nullptr || parity32 == nullptr) return SX_ERR_INVALID;
    encode_dual(*rs, data223, parity32);
    return SX_OK;
}

int ccsds_tm_rs_codeword_ok(const uint8_t *cw) {
    const CcsdsRs *rs = shared_rs();
    if (rs == nullptr || cw == nullptr) return SX_ERR_INVALID;
    uint8_t p[kP];
    encode_dual(*rs, cw, p);
    return std::memcmp(p, cw + kK, kP) == 0;
}

int ccsds_tm_rs_decode(uint8_t *cw) {
    const CcsdsRs *rs = shared_rs();
    if (rs == nullptr || cw == nullptr) return SX_ERR_INVALID;
    return decode_dual(*rs, cw);
}

size_t ccsds_tm_rs_encode_block(const uint8_t *data, uint32_t depth, uint8_t *out) {
    const CcsdsRs *rs = shared_rs();
    if (rs == nullptr || !block_depth_ok(depth) || data == nullptr || out == nullptr) return 0;
    const size_t nd = static_cast<size_t>(depth) * kK;
    if (out != data) std::memmove(out, data, nd);
    uint8_t cw[kK], parity[kP];
    for (uint32_t k = 0; k < depth; ++k) {
        for (uint32_t j = 0; j < kK; ++j) cw[j] = out[k + j * depth];
        encode_dual(*rs, cw, parity);
        for (uint32_t j = 0; j < kP; ++j) out[nd + k + j * depth] = parity[j];
    }
    return static_cast<size_t>(depth) * kN;
}

size_t ccsds_tm_rs_decode_block(uint8_t *block, uint32_t depth, ccsds_tm_rs_stats_t *stats) {
    if (stats != nullptr) *stats = ccsds_tm_rs_stats_t{};
    const CcsdsRs *rs = shared_rs();
    if (rs == nullptr || !block_depth_ok(depth) || block == nullptr) return 0;
    ccsds_tm_rs_stats_t s{depth, 0, 0, 0};
    uint8_t cw[kN];
    for (uint32_t k = 0; k < depth; ++k) {
        for (uint32_t j = 0; j < kN; ++j) cw[j] = block[k + j * depth];
        const int r = decode_dual(*rs, cw);
        if (r < 0) {
            ++s.failed;
        } else if (r > 0) {
            ++s.corrected;
            s.symbols += static_cast<uint32_t>(r);
            for (uint32_t j = 0; j < kN; ++j) block[k + j * depth] = cw[j];
        }
    }
    if (stats != nullptr) *stats = s;
    return static_cast<size_t>(depth) * kK;
}

// ---- CADU ----

uint64_t ccsds_tm_frame_layout(const ccsds_tm_frame_cfg_t *cfg, uint64_t F, ccsds_tm_frame_layout_t *layout) {
    if (layout != nullptr) *layout = ccsds_tm_frame_layout_t{};
    if (!cfg_ok(cfg) || F == 0 || F > kMaxFrameOctets) return 0;
    const uint64_t depth = cfg->rs_depth;
    if (depth != 0 && F != depth * kK) return 0;
    ccsds_tm_frame_layout_t l{};
    l.tf_bits = 8 * F;
    const uint64_t coded = depth != 0 ? depth * kCodeBlockBits : l.tf_bits;
    l.asm_bits = cfg->asm_ ? kAsmBits : 0;
    l.cadu_bits = l.asm_bits + coded;
    l.channel_bits = cfg->conv ? 2 * l.cadu_bits : l.cadu_bits;
    l.rs_off = l.rand_off = l.asm_bits;
    l.rs_bits = depth != 0 ? coded : 0;
    l.rand_bits = cfg->randomise ? coded : 0;
    l.conv_bits = cfg->conv ? l.cadu_bits : 0;
    if (layout != nullptr) *layout = l;
    return l.channel_bits;
}

uint64_t ccsds_tm_frame_encode(const ccsds_tm_frame_cfg_t *cfg, uint32_t *conv_register, const uint8_t *octets,
                               uint64_t F, uint8_t *out, uint64_t capacity) {
    ccsds_tm_frame_layout_t l;
    const uint64_t channel = ccsds_tm_frame_layout(cfg, F, &l);
    if (channel == 0 || channel > capacity || octets == nullptr || out == nullptr) return 0;
    const uint32_t reg_mask = (1u << (CCSDS_TM_CONV.k - 1)) - 1;
    if (cfg->conv && conv_register != nullptr && *conv_register > reg_mask) return 0;
    if (cfg->rs_depth != 0 && shared_rs() == nullptr) return 0;

    // The CADU is staged at the end of the output so the inner code can write
    // its doubled stream ahead of it in the same buffer.
    uint8_t *cadu = out + (channel - l.cadu_bits);
    if (cfg->asm_) ccsds_asm_bits(cadu);
    uint8_t *coded = cadu + l.asm_bits;
    if (cfg->rs_depth != 0) {
        alignas(64) uint8_t blk[kMaxDepth * kN];
        const size_t n = ccsds_tm_rs_encode_block(octets, cfg->rs_depth, blk);
        unpack(blk, n, coded);
    } else {
        unpack(octets, F, coded);
    }
    if (cfg->randomise) rand_xor(CCSDS_TM_RAND, coded, l.cadu_bits - l.asm_bits);
    if (!cfg->conv) return channel;
    uint32_t reg = conv_register != nullptr ? *conv_register : 0;
    const size_t got = conv_encode(&reg, &CCSDS_TM_CONV, cadu, l.cadu_bits, out, capacity);
    if (conv_register != nullptr) *conv_register = reg;
    return got;
}

uint64_t ccsds_tm_frame_decode(const ccsds_tm_frame_cfg_t *cfg, const uint8_t *bits, uint64_t n, uint8_t *out,
                               uint64_t capacity, ccsds_tm_frame_stats_t *stats) {
    if (stats != nullptr) *stats = ccsds_tm_frame_stats_t{};
    if (!cfg_ok(cfg) || bits == nullptr || out == nullptr) return 0;
    const uint64_t asm_bits = cfg->asm_ ? kAsmBits : 0;
    if (n < asm_bits || (n - asm_bits) % 8 != 0) return 0;
    const uint32_t depth = cfg->rs_depth;
    if (depth != 0 && n - asm_bits != depth * kCodeBlockBits) return 0;
    const uint64_t F = depth != 0 ? uint64_t{depth} * kK : (n - asm_bits) / 8;
    ccsds_tm_frame_layout_t l;
    if (ccsds_tm_frame_layout(cfg, F, &l) == 0 || l.cadu_bits != n) return 0;
    if (F > capacity) return 0;  // the frame does not fit: write nothing

    const uint8_t *coded = bits + asm_bits;
    const uint64_t ncoded = n - asm_bits;
    alignas(64) uint8_t blk[kMaxDepth * kN];
    uint8_t *dst = depth != 0 ? blk : out;
    ccsds_tm_rand_t st;
    rand_start(st, CCSDS_TM_RAND);
    uint32_t s = st.state;
    for (uint64_t i = 0; i < ncoded / 8; ++i) {
        uint32_t v = 0;
        for (uint32_t b = 0; b < 8; ++b) {
            uint32_t bit = coded[8 * i + b] & 1u;
            if (cfg->randomise) {
                bit ^= (s >> st.top) & 1u;
                s = ((s << 1) | static_cast<uint32_t>(__builtin_parity(s & st.taps))) & st.mask;
            }
            v = (v << 1) | bit;
        }
        dst[i] = static_cast<uint8_t>(v);
    }
    if (depth != 0) {
        ccsds_tm_rs_stats_t rs{};
        if (ccsds_tm_rs_decode_block(blk, depth, &rs) == 0) return 0;
        std::memcpy(out, blk, F);
        if (stats != nullptr) *stats = {F, depth, depth - rs.failed, rs.corrected, rs.symbols};
    } else if (stats != nullptr) {
        stats->octets = F;
    }
    return F;
}

// ---- frame-description glue ----

int ccsds_tm_frame_ops(wfm_frame_ops_t *table, void *ctx) {
    if (table == nullptr) return SX_ERR_INVALID;
    *table = wfm_frame_ops_t{};
    table->entries[0] = {WFM_STAGE_RS, rs_stage_inplace, nullptr, rs_stage_undo, 0, 0};
    table->entries[1] = {WFM_STAGE_RANDOMISE, rand_stage_inplace, nullptr, rand_stage_undo, 0, 0};
    table->entries[2] = {WFM_STAGE_CONV, nullptr, conv_stage_emit, nullptr, 2, 1};
    table->n_entries = 3;
    table->ctx = ctx;
    return SX_OK;
}

int ccsds_tm_frame_describe(const ccsds_tm_frame_cfg_t *cfg, uint64_t F, const uint8_t *bits,
                            wfm_frame_desc_t *desc) {
    if (desc == nullptr) return -1;
    *desc = wfm_frame_desc_t{};
    if (ccsds_tm_frame_layout(cfg, F, nullptr) == 0 || bits == nullptr) return -1;
    const uint32_t depth = cfg->rs_depth;
    desc->fields[0] = literal(sx::seq::kCcsdsAsmPattern.data(), cfg->asm_ ? kAsmBits : 0);
    desc->fields[1] = literal(bits, 8 * F);
    desc->fields[2] = derived(0, uint64_t{depth} * 8 * kP);
    desc->n_fields = 3;
    desc->stages[0] = stage(WFM_STAGE_RS, 1, depth != 0 ? 2 : 0, depth);
    desc->stages[1] = stage(WFM_STAGE_RANDOMISE, 1, cfg->randomise ? (depth != 0 ? 2 : 1) : 0, 0);
    desc->stages[2] = stage(WFM_STAGE_CONV, 0, cfg->conv ? 3 : 0, 0);
    desc->stages[2].emit_num = 2;
    desc->stages[2].emit_den = 1;
    desc->n_stages = 3;
    return 0;
}

int ccsds_tm_frame_desc_of(const ccsds_tm_frame_plan_t *plan, wfm_frame_desc_t *desc) {
    if (desc == nullptr) return -1;
    *desc = wfm_frame_desc_t{};
    if (plan == nullptr || plan->payload == nullptr || plan->payload_len == 0) return -1;
    if ((plan->preamble_len > 0 && plan->preamble == nullptr) || (plan->sync_len > 0 && plan->sync == nullptr))
        return -1;
    const uint32_t depth = plan->rs_depth;
    if (depth != 0) {
        // The outer code covers payload (and CRC) as whole codewords' data.
        uint64_t covered;
        if (!block_depth_ok(depth) || __builtin_add_overflow(plan->payload_len, plan->crc ? 16u : 0u, &covered) ||
            covered != uint64_t{depth} * 8 * kK)
            return -1;
    }
    wfm_frame_desc_t d{};
    uint32_t nf = 0, ns = 0;
    if (plan->asm_) d.fields[nf++] = literal(sx::seq::kCcsdsAsmPattern.data(), kAsmBits);
    if (plan->preamble_len > 0) {
        d.fields[nf] = literal(plan->preamble, plan->preamble_len);
        d.fields[nf++].reps = plan->preamble_reps;
    }
    if (plan->sync_len > 0) d.fields[nf++] = literal(plan->sync, plan->sync_len);
    const uint32_t payload = nf;
    d.fields[nf++] = literal(plan->payload, plan->payload_len);
    const int32_t crc_stage = plan->crc ? 0 : -1;
    const int32_t rs_stage = depth != 0 ? crc_stage + 1 : -1;
    if (plan->crc) d.fields[nf++] = derived(crc_stage, 16);
    if (depth != 0) d.fields[nf++] = derived(rs_stage, uint64_t{depth} * 8 * kP);
    const uint32_t to_end = nf - payload;
    if (plan->crc) d.stages[ns++] = stage(WFM_STAGE_CRC16, payload, 2, 0);
    if (depth != 0) d.stages[ns++] = stage(WFM_STAGE_RS, payload, to_end, depth);
    if (plan->randomise) d.stages[ns++] = stage(WFM_STAGE_RANDOMISE, payload, to_end, plan->randomise);
    if (plan->interleave_depth) {
        d.stages[ns] = stage(WFM_STAGE_INTERLEAVE, payload, to_end, plan->interleave_depth);
        d.stages[ns++].unit_bits = plan->interleave_unit_bits;
    }
    if (plan->conv) {
        d.stages[ns] = stage(WFM_STAGE_CONV, 0, nf, 0);
        d.stages[ns].emit_num = 2;
        d.stages[ns++].emit_den = 1;
    }
    d.n_fields = nf;
    d.n_stages = ns;
    *desc = d;
    return 0;
}

}  // extern "C"
