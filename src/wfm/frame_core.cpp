#include "wfm/frame_core.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "wfm/ccsds_tm_core.h"
#include "wfm/crc16_core.h"
#include "wfm/gold_core.h"
#include "wfm/pn_core.h"

namespace {

constexpr uint64_t kMaxBits = WFM_FRAME_MAX_BITS;
constexpr uint64_t kCrcBits = 16;

// a + b and a * b, refused (false) past the frame ceiling, so no later sum of
// lengths can wrap.
bool add_bits(uint64_t a, uint64_t b, uint64_t &r) { return !__builtin_add_overflow(a, b, &r) && r <= kMaxBits; }
bool mul_bits(uint64_t a, uint64_t b, uint64_t &r) { return !__builtin_mul_overflow(a, b, &r) && r <= kMaxBits; }

// The expansion a stage applies to its span: num/den, 0/0 when it stays inside the frame.
struct Ratio {
    uint32_t num = 0, den = 0;
    bool emits() const { return num != 0 && den != 0; }
};

bool stage_runs(const wfm_stage_t &s) { return s.n_fields != 0; }

// Layout with the expansion of each stage given (the declared one, or what its
// kernel really produces).
int layout_with(const wfm_frame_desc_t &d, const Ratio *ratio, wfm_frame_layout_t &L) {
    if (d.n_fields > WFM_FRAME_MAX_FIELDS || d.n_stages > WFM_FRAME_MAX_STAGES) return -1;
    std::memset(&L, 0, sizeof L);
    L.n_fields = d.n_fields;
    L.n_stages = d.n_stages;
    for (uint32_t k = 0; k < d.n_stages; ++k) {
        const wfm_stage_t &s = d.stages[k];
        if ((ratio[k].num == 0) != (ratio[k].den == 0)) return -1;  // a zero half: no defined expansion
        if (stage_runs(s) && uint64_t{s.first_field} + s.n_fields > d.n_fields) return -1;
    }
    uint64_t off = 0;
    for (uint32_t i = 0; i < d.n_fields; ++i) {
        const wfm_seq_t &f = d.fields[i];
        uint64_t bits = 0;
        if (f.derived_by == 0) {
            if (!mul_bits(f.len, std::max<uint64_t>(f.reps, 1), bits)) return -1;
        } else {
            if (f.derived_by < 0 || static_cast<uint32_t>(f.derived_by) > d.n_stages) return -1;
            const wfm_stage_t &s = d.stages[f.derived_by - 1];
            if (stage_runs(s)) {
                if (uint64_t{s.first_field} + s.n_fields != uint64_t{i} + 1) return -1;
                // A derived field over nothing is itself empty (no CRC of an empty payload).
                bool covers = false;
                for (uint32_t j = s.first_field; j < i; ++j) covers = covers || L.field_bits[j] != 0;
                if (covers && f.derived_bits > kMaxBits) return -1;
                bits = covers ? f.derived_bits : 0;
            }
        }
        L.field_off[i] = off;
        L.field_bits[i] = bits;
        if (!add_bits(off, bits, off)) return -1;
    }
    L.total = L.wire = off;
    for (uint32_t k = 0; k < d.n_stages; ++k) {
        const wfm_stage_t &s = d.stages[k];
        if (!stage_runs(s)) continue;
        uint64_t sum = 0;
        for (uint32_t j = s.first_field; j < s.first_field + s.n_fields; ++j) sum += L.field_bits[j];
        if (sum == 0) continue;
        L.stage_first[k] = L.field_off[s.first_field];
        L.stage_bits[k] = sum;
        if (ratio[k].emits()) {
            uint64_t grown;
            if (__builtin_mul_overflow(sum, uint64_t{ratio[k].num}, &grown)) return -1;
            grown /= ratio[k].den;
            if (!add_bits(L.total - sum, grown, L.wire)) return -1;
        }
    }
    return 0;
}

std::array<Ratio, WFM_FRAME_MAX_STAGES> declared_ratios(const wfm_frame_desc_t &d) {
    std::array<Ratio, WFM_FRAME_MAX_STAGES> r{};
    for (uint32_t k = 0; k < d.n_stages && k < WFM_FRAME_MAX_STAGES; ++k)
        r[k] = {d.stages[k].emit_num, d.stages[k].emit_den};
    return r;
}

const wfm_stage_op_t *find_op(const wfm_frame_ops_t *ops, uint32_t kind) {
    if (ops == nullptr) return nullptr;
    for (uint32_t i = 0; i < ops->n_entries && i < WFM_FRAME_MAX_OPS; ++i)
        if (ops->entries[i].kind == kind) return &ops->entries[i];
    return nullptr;
}

bool builtin(uint32_t kind) { return kind == WFM_STAGE_CRC16 || kind == WFM_STAGE_INTERLEAVE; }

// What runs each stage at assembly: a built-in kernel, or the table's single
// in-place or emitting kernel, whose stated expansion sizes the wire.
struct Plan {
    std::array<const wfm_stage_op_t *, WFM_FRAME_MAX_STAGES> op{};
    std::array<Ratio, WFM_FRAME_MAX_STAGES> ratio{};
    wfm_frame_layout_t L{};
};

bool plan_assembly(const wfm_frame_desc_t &d, const wfm_frame_ops_t *ops, Plan &p) {
    if (d.n_stages > WFM_FRAME_MAX_STAGES) return false;
    int emitter = -1;
    for (uint32_t k = 0; k < d.n_stages; ++k) {
        const wfm_stage_t &s = d.stages[k];
        if (!stage_runs(s)) continue;
        // A later running stage would find its span inside the expanded stream.
        if (emitter >= 0) return false;
        if (builtin(s.kind)) continue;
        const wfm_stage_op_t *op = find_op(ops, s.kind);
        if (op == nullptr || (op->inplace == nullptr) == (op->emit == nullptr)) return false;
        if (op->emit != nullptr) {
            if (op->emit_num == 0 || op->emit_den == 0) return false;
            p.ratio[k] = {op->emit_num, op->emit_den};
            emitter = static_cast<int>(k);
        }
        p.op[k] = op;
    }
    return layout_with(d, p.ratio.data(), p.L) == 0;
}

// Writes field f (len bits, then reps - 1 copies) at out.
bool write_field(const wfm_seq_t &f, uint64_t bits, uint8_t *out) {
    if (bits == 0) return true;
    const uint64_t len = f.len;
    switch (f.kind) {
    case WFM_SEQ_LITERAL:
        if (f.lit == nullptr) return false;
        for (uint64_t j = 0; j < len; ++j) out[j] = f.lit[j] & 1;
        break;
    case WFM_SEQ_PN: {
        uint64_t poly = f.poly;
        if (poly == 0 && f.reg_bits >= 2 && f.reg_bits <= 64) poly = mls_poly(f.reg_bits);
        std::unique_ptr<pn, void (*)(pn *)> g(pn_create(poly, f.seed == 0 ? 1 : f.seed, f.reg_bits,
                                                        static_cast<int>(f.lfsr)),
                                              pn_destroy);
        if (!g || pn_generate(g.get(), len, out, len) != len) return false;
        break;
    }
    case WFM_SEQ_GOLD: {
        std::unique_ptr<gold, void (*)(gold *)> g(gold_create(f.taps_a, f.seed_a == 0 ? 1 : f.seed_a, f.taps_b,
                                                              f.seed_b == 0 ? 1 : f.seed_b, f.reg_bits),
                                                  gold_destroy);
        if (!g || gold_generate(g.get(), len, out, len) != len) return false;
        break;
    }
    case WFM_SEQ_DOTTED:
        for (uint64_t j = 0; j < len; ++j) out[j] = static_cast<uint8_t>(1 - (j & 1));
        break;
    default:
        return false;
    }
    for (uint64_t at = len; at < bits; at += len) std::memcpy(out + at, out, len);
    return true;
}

// The CRC field of a CRC stage is the last field it covers and holds 16 bits:
// a shorter one would let the CRC overwrite covered bits, a longer one would
// leave bits the kernel never writes.
bool crc_field_ok(const wfm_frame_desc_t &d, const wfm_frame_layout_t &L, const wfm_stage_t &s) {
    return L.field_bits[s.first_field + s.n_fields - 1] == kCrcBits && d.n_fields != 0;
}

uint16_t crc_of(const uint8_t *bits, uint64_t n) { return sx::seq::crc16_update(sx::seq::kCrc16Init, bits, n); }

uint16_t read16(const uint8_t *bits) {
    uint16_t v = 0;
    for (uint64_t i = 0; i < kCrcBits; ++i) v = static_cast<uint16_t>((v << 1) | (bits[i] & 1));
    return v;
}

// Block interleaver permutation of units: forward moves input unit i*R + j to
// output unit j*D + i. `tmp` holds n bytes (null: allocated here).
int permute(uint8_t *bits, uint64_t n, uint32_t depth, uint32_t unit_bits, bool forward, uint8_t *tmp) {
    const uint64_t D = std::max<uint32_t>(depth, 1), U = std::max<uint32_t>(unit_bits, 1);
    const uint64_t block = D * U;  // both below 2^32: no overflow
    if (n % block != 0) return -1;
    const uint64_t R = n / block;
    if (n == 0 || D == 1 || R == 1) return 0;  // the identity
    std::unique_ptr<uint8_t[]> own;
    if (tmp == nullptr) {
        own.reset(new (std::nothrow) uint8_t[n]);
        if (!own) return SX_ERR_NOMEM;
        tmp = own.get();
    }
    for (uint64_t i = 0; i < D; ++i)
        for (uint64_t j = 0; j < R; ++j) {
            const uint64_t a = (i * R + j) * U, b = (j * D + i) * U;
            if (forward)
                std::memcpy(tmp + b, bits + a, U);
            else
                std::memcpy(tmp + a, bits + b, U);
        }
    std::memcpy(bits, tmp, n);
    return 0;
}

// Undoes the stages of d on the frame's own bits in place, in reverse order.
// `scratch` holds L.total bytes for the interleaver (null: it allocates).
int check_inplace(const wfm_frame_desc_t &d, const wfm_frame_ops_t *ops, const wfm_frame_layout_t &L, uint8_t *bits,
                  wfm_frame_check_t &r, uint8_t *scratch) {
    r = {};
    bool all_ok = true;
    for (uint32_t k = d.n_stages; k-- > 0;) {
        const wfm_stage_t &s = d.stages[k];
        if (!stage_runs(s) || L.stage_bits[k] == 0) continue;
        uint8_t *span = bits + L.stage_first[k];
        const uint64_t n = L.stage_bits[k];
        wfm_stage_report_t rep{};
        if (s.kind == WFM_STAGE_CRC16) {
            rep.units = 1;
            rep.ok = crc_field_ok(d, L, s) && wfm_crc16_stage_ok(span, n) == 1;
        } else if (s.kind == WFM_STAGE_INTERLEAVE) {
            const int rc = permute(span, n, s.depth, s.unit_bits, false, scratch);
            if (rc == SX_ERR_NOMEM) return -1;
            rep.units = 1;
            rep.ok = rc == 0;
        } else {
            const wfm_stage_op_t *op = find_op(ops, s.kind);
            if (op == nullptr || op->undo == nullptr) continue;  // no undo: not counted
            if (op->undo(ops->ctx, &s, span, n, &rep) < 0) rep = {1, 0, 0, 0};
        }
        ++r.checked;
        r.units += rep.units;
        r.ok += rep.ok;
        r.corrected += rep.corrected;
        r.symbols += rep.symbols;
        all_ok = all_ok && rep.ok == rep.units;
    }
    if (r.checked == 0) return -1;
    r.passed = all_ok ? 1 : 0;
    return static_cast<int>(r.passed);
}

int crc_verdict(const wfm_frame_desc_t &d, const wfm_frame_layout_t &L, const uint8_t *rx, uint64_t rx_len) {
    if (rx == nullptr || rx_len < L.total) return -1;
    for (uint32_t k = 0; k < d.n_stages; ++k) {
        const wfm_stage_t &s = d.stages[k];
        if (s.kind != WFM_STAGE_CRC16 || !stage_runs(s)) continue;
        if (L.stage_bits[k] == 0 || !crc_field_ok(d, L, s)) return -1;
        return wfm_crc16_stage_ok(rx + L.stage_first[k], L.stage_bits[k]);
    }
    return -1;
}

void set_seq(wfm_seq_t &dst, const wfm_seq_t &src, uint64_t reps) {
    dst = src;
    dst.reps = reps;
    dst.derived_by = 0;
    dst.derived_bits = 0;
}

}  // namespace

// ---- Built-in kernels ----------------------------------------------------------

int wfm_interleave(uint8_t *bits, uint64_t n, uint32_t depth, uint32_t unit_bits) {
    return bits == nullptr ? -1 : permute(bits, n, depth, unit_bits, true, nullptr);
}
int wfm_deinterleave(uint8_t *bits, uint64_t n, uint32_t depth, uint32_t unit_bits) {
    return bits == nullptr ? -1 : permute(bits, n, depth, unit_bits, false, nullptr);
}

int wfm_crc16_stage(uint8_t *bits, uint64_t n) {
    if (bits == nullptr || n <= kCrcBits) return -1;
    const uint16_t c = crc_of(bits, n - kCrcBits);
    for (uint64_t i = 0; i < kCrcBits; ++i) bits[n - kCrcBits + i] = static_cast<uint8_t>((c >> (15 - i)) & 1);
    return 0;
}

int wfm_crc16_stage_ok(const uint8_t *bits, uint64_t n) {
    if (bits == nullptr || n <= kCrcBits) return -1;
    return crc_of(bits, n - kCrcBits) == read16(bits + n - kCrcBits) ? 1 : 0;
}

// ---- Description level ---------------------------------------------------------

int wfm_frame_describe(const wfm_frame_t *f, wfm_frame_desc_t *desc) {
    if (f == nullptr || desc == nullptr || (f->crc != 0 && f->crc != 1)) return -1;
    std::memset(desc, 0, sizeof *desc);
    desc->n_fields = 4;
    set_seq(desc->fields[0], f->preamble, f->preamble_reps);
    if (f->preamble_reps == 0) {  // no preamble: an empty literal keeps the indices
        desc->fields[0] = wfm_seq_t{};
    }
    set_seq(desc->fields[1], f->sync, 1);
    set_seq(desc->fields[2], f->payload, 1);
    desc->fields[3] = wfm_seq_t{};
    desc->fields[3].derived_by = 1;
    desc->fields[3].derived_bits = kCrcBits;
    desc->n_stages = 1;
    desc->stages[0] = wfm_stage_t{WFM_STAGE_CRC16, 2, f->crc == 1 ? 2u : 0u, 0, 0, 0, 0};
    return 0;
}

int wfm_frame_desc_layout(const wfm_frame_desc_t *desc, wfm_frame_layout_t *layout) {
    if (desc == nullptr || layout == nullptr || desc->n_stages > WFM_FRAME_MAX_STAGES) return -1;
    const auto r = declared_ratios(*desc);
    return layout_with(*desc, r.data(), *layout);
}

uint64_t wfm_frame_assemble(const wfm_frame_desc_t *desc, const wfm_frame_ops_t *ops, uint8_t *out,
                            uint64_t capacity) {
    if (desc == nullptr || out == nullptr) return 0;
    const wfm_frame_desc_t &d = *desc;
    Plan p;
    if (!plan_assembly(d, ops, p)) return 0;
    const wfm_frame_layout_t &L = p.L;
    if (L.wire == 0 || L.wire > capacity) return 0;
    // The frame's own bits sit at the end of the wire so an expanding stage can
    // write its stream ahead of them.
    const uint64_t base = L.wire > L.total ? L.wire - L.total : 0;
    uint8_t *own = out + base;
    for (uint32_t i = 0; i < d.n_fields; ++i) {
        const wfm_seq_t &f = d.fields[i];
        if (f.derived_by != 0) {
            std::memset(own + L.field_off[i], 0, L.field_bits[i]);  // until its stage writes it
        } else if (!write_field(f, L.field_bits[i], own + L.field_off[i])) {
            return 0;
        }
    }
    for (uint32_t k = 0; k < d.n_stages; ++k) {
        const wfm_stage_t &s = d.stages[k];
        const uint64_t n = L.stage_bits[k];
        if (!stage_runs(s) || n == 0) continue;
        uint8_t *span = own + L.stage_first[k];
        int rc = 0;
        if (s.kind == WFM_STAGE_CRC16) {
            rc = crc_field_ok(d, L, s) ? wfm_crc16_stage(span, n) : -1;
        } else if (s.kind == WFM_STAGE_INTERLEAVE) {
            rc = wfm_interleave(span, n, s.depth, s.unit_bits);
        } else if (p.op[k]->inplace != nullptr) {
            rc = p.op[k]->inplace(ops->ctx, &s, span, n);
        } else {
            // The bits before the span move to the start, the expanded span
            // follows them, and the bits after it close up behind (they are
            // already in place when the stream grows).
            const uint64_t first = L.stage_first[k], after = L.total - first - n;
            std::memmove(out, own, first);
            const uint64_t want = L.wire - after - first;
            const uint64_t got = p.op[k]->emit(ops->ctx, &s, span, n, out + first, want);
            if (got != want) return 0;
            std::memmove(out + first + want, span + n, after);
        }
        if (rc != 0) return 0;
    }
    return L.wire;
}

uint64_t wfm_frame_wire_bits(const wfm_frame_desc_t *desc, const wfm_frame_ops_t *ops) {
    Plan p;
    return desc != nullptr && plan_assembly(*desc, ops, p) ? p.L.wire : 0;
}

int wfm_frame_check(const wfm_frame_desc_t *desc, const wfm_frame_ops_t *ops, const uint8_t *bits,
                    wfm_frame_check_t *out) {
    wfm_frame_check_t r{};
    wfm_frame_layout_t L;
    int rc = -1;
    if (desc != nullptr && bits != nullptr && wfm_frame_desc_layout(desc, &L) == 0 && L.total != 0) {
        if (uint8_t *copy = static_cast<uint8_t *>(std::malloc(L.total))) {
            std::memcpy(copy, bits, L.total);
            rc = check_inplace(*desc, ops, L, copy, r, nullptr);
            std::free(copy);
        }
    }
    if (rc < 0) r = {};
    else r.stages = desc->n_stages;  // as the frame object reports it
    if (out != nullptr) *out = r;
    return rc;
}

int wfm_frame_desc_crc_ok(const wfm_frame_desc_t *desc, const uint8_t *rx, uint64_t rx_len) {
    wfm_frame_layout_t L;
    if (desc == nullptr || wfm_frame_desc_layout(desc, &L) != 0) return -1;
    return crc_verdict(*desc, L, rx, rx_len);
}

int wfm_frame_layout(const wfm_frame_t *f, wfm_frame_fields_t *out) {
    wfm_frame_desc_t d;
    wfm_frame_layout_t L;
    if (out == nullptr || wfm_frame_describe(f, &d) != 0 || wfm_frame_desc_layout(&d, &L) != 0) return -1;
    *out = {L.field_off[0], L.field_bits[0], L.field_off[1], L.field_bits[1], L.field_off[2],
            L.field_bits[2], L.field_off[3], L.field_bits[3], L.total};
    return 0;
}

uint64_t wfm_frame_nbits(const wfm_frame_t *f) {
    wfm_frame_desc_t d;
    wfm_frame_layout_t L;
    if (wfm_frame_describe(f, &d) != 0 || wfm_frame_desc_layout(&d, &L) != 0) return 0;
    return L.wire;
}

uint64_t wfm_frame_bits(const wfm_frame_t *f, uint8_t *out, uint64_t capacity) {
    wfm_frame_desc_t d;
    if (wfm_frame_describe(f, &d) != 0) return 0;
    return wfm_frame_assemble(&d, nullptr, out, capacity);
}

int wfm_frame_crc_ok(const wfm_frame_t *f, const uint8_t *rx, uint64_t rx_len) {
    wfm_frame_desc_t d;
    if (wfm_frame_describe(f, &d) != 0) return -1;
    return wfm_frame_desc_crc_ok(&d, rx, rx_len);
}

// ---- Frame object ----------------------------------------------------------------

struct frame {
    wfm_frame_desc_t desc{};
    std::array<std::vector<uint8_t>, WFM_FRAME_MAX_FIELDS> lit;  // owned literal bits behind desc.fields[i].lit
    wfm_frame_layout_t layout{};  // the declared layout until built, then the assembled one
    std::vector<uint8_t> bits;    // the wire bits, once built
    std::vector<uint8_t> work;    // 2 x the frame's own length, once built: check copy and interleaver scratch
    wfm_frame_ops_t ops{};
    bool built = false;
    bool has_ops = false;
    bool named = false;  // the four-field description, fields not added to
    uint64_t rx_ok = 0, rx_units = 0, rx_checked = 0, rx_symbols = 0;

    const wfm_frame_ops_t *table() const { return has_ops ? &ops : nullptr; }
    void relayout() {
        if (wfm_frame_desc_layout(&desc, &layout) != 0) layout = wfm_frame_layout_t{};
    }
};

namespace {

// Copies the literal bits of field i into the frame (bit 0 of each byte).
bool own_literal(frame &fr, uint32_t i) {
    wfm_seq_t &f = fr.desc.fields[i];
    if (f.kind != WFM_SEQ_LITERAL || f.derived_by != 0 || f.len == 0 || f.lit == nullptr) {
        f.lit = nullptr;
        return true;
    }
    if (f.len > kMaxBits) return false;
    fr.lit[i].resize(f.len);
    for (uint64_t j = 0; j < f.len; ++j) fr.lit[i][j] = f.lit[j] & 1;
    f.lit = fr.lit[i].data();
    return true;
}

frame *make_desc(const wfm_frame_t *f) {
    if (f == nullptr) return nullptr;
    wfm_frame_desc_t d;
    wfm_frame_layout_t L;
    if (wfm_frame_describe(f, &d) != 0 || wfm_frame_desc_layout(&d, &L) != 0) return nullptr;
    try {
        auto fr = std::make_unique<frame>();
        if (L.total != 0) {
            fr->desc = d;
            fr->named = true;
            for (uint32_t i = 0; i < d.n_fields; ++i)
                if (!own_literal(*fr, i)) return nullptr;
        }
        fr->relayout();
        return fr.release();
    } catch (const std::exception &) {
        return nullptr;
    }
}

}  // namespace

frame *frame_create(const wfm_frame_t *f) {
    frame *fr = make_desc(f);
    if (fr != nullptr && frame_build_ops(fr, nullptr) != 0) {
        frame_destroy(fr);
        return nullptr;
    }
    return fr;
}

frame *frame_create_desc(const wfm_frame_t *f) { return make_desc(f); }

void frame_destroy(frame *fr) { delete fr; }

int frame_add_field(frame *fr, const uint8_t *lit, uint64_t lit_len, int32_t kind, uint64_t gen_len, uint64_t reps,
                    uint64_t poly, uint64_t seed, uint32_t reg_bits, uint32_t lfsr, uint64_t taps_a, uint64_t seed_a,
                    uint64_t taps_b, uint64_t seed_b, int32_t derived_by, uint64_t derived_bits) {
    if (fr == nullptr || fr->built || fr->desc.n_fields >= WFM_FRAME_MAX_FIELDS) return -1;
    if (kind < WFM_SEQ_LITERAL || kind > WFM_SEQ_DOTTED || lfsr > 1) return -1;
    if (derived_by < 0 || derived_by > WFM_FRAME_MAX_STAGES) return -1;
    uint64_t bits;
    const uint64_t len = derived_by != 0 ? 0 : kind == WFM_SEQ_LITERAL ? lit_len : gen_len;
    if (!mul_bits(len, std::max<uint64_t>(reps, 1), bits) || derived_bits > kMaxBits) return -1;
    if (derived_by == 0 && kind == WFM_SEQ_LITERAL && lit_len != 0 && lit == nullptr) return -1;
    const uint32_t i = fr->desc.n_fields;
    wfm_seq_t &f = fr->desc.fields[i];
    f = wfm_seq_t{kind, len, lit, poly, seed, reg_bits, lfsr, taps_a, seed_a, taps_b, seed_b,
                  reps, derived_bits, derived_by};
    try {
        if (!own_literal(*fr, i)) return -1;
    } catch (const std::exception &) {
        f = wfm_seq_t{};
        return -1;
    }
    fr->desc.n_fields = i + 1;
    fr->named = false;
    fr->relayout();
    return static_cast<int>(i);
}

int frame_add_stage(frame *fr, uint32_t kind, uint32_t first_field, uint32_t n_fields, uint32_t depth,
                    uint32_t emit_num, uint32_t emit_den, uint32_t unit_bits) {
    if (fr == nullptr || fr->built || fr->desc.n_stages >= WFM_FRAME_MAX_STAGES) return -1;
    if (kind > WFM_STAGE_INTERLEAVE || (emit_num == 0) != (emit_den == 0)) return -1;
    if (n_fields != 0 && uint64_t{first_field} + n_fields > WFM_FRAME_MAX_FIELDS) return -1;
    const uint32_t k = fr->desc.n_stages++;
    fr->desc.stages[k] = wfm_stage_t{kind, first_field, n_fields, depth, unit_bits, emit_num, emit_den};
    fr->relayout();
    return static_cast<int>(k);
}

int frame_build_ops(frame *fr, const wfm_frame_ops_t *ops) {
    if (fr == nullptr || fr->built) return -1;
    Plan p;
    if (!plan_assembly(fr->desc, ops, p) || p.L.wire == 0) return -1;
    try {
        std::vector<uint8_t> bits(p.L.wire), work(2 * p.L.total);
        if (wfm_frame_assemble(&fr->desc, ops, bits.data(), bits.size()) != p.L.wire) return -1;
        fr->bits = std::move(bits);
        fr->work = std::move(work);
    } catch (const std::exception &) {
        return -1;
    }
    fr->layout = p.L;
    fr->has_ops = ops != nullptr;
    if (ops != nullptr) fr->ops = *ops;
    fr->built = true;
    return 0;
}

int frame_build(frame *fr) {
    if (fr == nullptr) return -1;
    // The outer code's block encoder knows interleaving depths 1..5 and 8 only.
    for (uint32_t k = 0; k < fr->desc.n_stages; ++k) {
        const wfm_stage_t &s = fr->desc.stages[k];
        if (s.kind == WFM_STAGE_RS && stage_runs(s) && !((s.depth >= 1 && s.depth <= 5) || s.depth == 8)) return -1;
    }
    wfm_frame_ops_t ops{};
    if (ccsds_tm_frame_ops(&ops, nullptr) != 0) return -1;
    return frame_build_ops(fr, &ops);
}

int frame_is_built(const frame *fr) { return fr->built ? 1 : 0; }

uint64_t frame_nbits(const frame *fr) { return fr->layout.wire; }

uint64_t frame_bits(frame *fr, uint64_t n, uint8_t *out, uint64_t capacity) {
    const uint64_t w = fr->bits.size();
    if (!fr->built || w == 0 || out == nullptr) return 0;
    const uint64_t copies = std::min(n, capacity / w);
    for (uint64_t c = 0; c < copies; ++c) std::memcpy(out + c * w, fr->bits.data(), w);
    return copies * w;
}

uint64_t frame_bits_max_out(const frame *fr, uint64_t n) {
    uint64_t r;
    return __builtin_mul_overflow(n, fr->layout.wire, &r) ? UINT64_MAX : r;
}

void frame_layout(const frame *fr, wfm_frame_fields_t *out) {
    const wfm_frame_layout_t &L = fr->layout;
    *out = wfm_frame_fields_t{};
    if (!fr->named) return;  // only the four-field description names its fields
    *out = {L.field_off[0], L.field_bits[0], L.field_off[1], L.field_bits[1], L.field_off[2],
            L.field_bits[2], L.field_off[3], L.field_bits[3], L.total};
}

void frame_desc_layout(const frame *fr, wfm_frame_layout_t *out) { *out = fr->layout; }
uint32_t frame_n_fields(const frame *fr) { return fr->desc.n_fields; }
uint32_t frame_n_stages(const frame *fr) { return fr->desc.n_stages; }
uint64_t frame_field_off(const frame *fr, uint64_t i) { return i < fr->layout.n_fields ? fr->layout.field_off[i] : 0; }
uint64_t frame_field_bits(const frame *fr, uint64_t i) {
    return i < fr->layout.n_fields ? fr->layout.field_bits[i] : 0;
}
uint64_t frame_stage_first(const frame *fr, uint64_t i) {
    return i < fr->layout.n_stages ? fr->layout.stage_first[i] : 0;
}
uint64_t frame_stage_bits(const frame *fr, uint64_t i) {
    return i < fr->layout.n_stages ? fr->layout.stage_bits[i] : 0;
}

int frame_crc_ok(const frame *fr, const uint8_t *rx, uint64_t rx_len) {
    if (rx_len < fr->layout.wire) return -1;
    return crc_verdict(fr->desc, fr->layout, rx, rx_len);
}

uint64_t frame_deframe(frame *fr, const uint8_t *rx, uint64_t rx_len, uint8_t *out, uint64_t capacity) {
    fr->rx_ok = fr->rx_units = fr->rx_checked = fr->rx_symbols = 0;
    const uint64_t n = fr->layout.total;
    if (n == 0 || rx == nullptr || out == nullptr || rx_len < n || capacity < n) return 0;
    std::memmove(out, rx, n);
    wfm_frame_check_t r;
    check_inplace(fr->desc, fr->table(), fr->layout, out, r, fr->work.empty() ? nullptr : fr->work.data());
    fr->rx_ok = r.ok;
    fr->rx_units = r.units;
    fr->rx_checked = r.checked;
    fr->rx_symbols = r.symbols;
    return n;
}

uint64_t frame_deframe_max_out(const frame *fr) { return fr->layout.total; }

void frame_check(frame *fr, const uint8_t *rx, uint64_t rx_len, wfm_frame_check_t *out) {
    *out = wfm_frame_check_t{};
    const uint64_t n = fr->layout.total;
    if (rx == nullptr || n == 0 || rx_len < n) return;
    if (fr->work.empty()) {  // not built: a private copy of its own
        wfm_frame_check(&fr->desc, fr->table(), rx, out);
    } else {
        std::memcpy(fr->work.data(), rx, n);
        check_inplace(fr->desc, fr->table(), fr->layout, fr->work.data(), *out, fr->work.data() + n);
    }
    out->stages = fr->desc.n_stages;
}

uint64_t frame_rx_ok(const frame *fr) { return fr->rx_ok; }
uint64_t frame_rx_units(const frame *fr) { return fr->rx_units; }
uint64_t frame_rx_checked(const frame *fr) { return fr->rx_checked; }
uint64_t frame_rx_symbols(const frame *fr) { return fr->rx_symbols; }
