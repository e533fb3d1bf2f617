#include "resample/RateConverter_core.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "core/filter_design.h"
#include "core/sx_state.h"
#include "resample/agc_core.h"
#include "resample/cic_core.h"
#include "resample/hb_branch.h"
#include "resample/hbdecim_core.h"
#include "core/sx_aligned.h"
#include "resample/resamp_core.h"

namespace {

constexpr sx::StateTag kTag{{'R', 'C', 'V', 'T'}, 2};
// Inputs per pass through the leading stages; every stage before the last one
// decimates, so each intermediate block fits the same scratch.
constexpr size_t kChunk = 4096;
constexpr int kCompTaps = 7;
// A matched bank larger than this is a mistake in its parameters, not a filter.
constexpr double kMaxBankTaps = 65536.0;
constexpr size_t kMaxBankFloats = size_t{1} << 26;
constexpr size_t kPrefixMax = SX_TLM_NAME_MAX - 1 - 9;  // room for ".level_db"

struct PlanStage {
    int type = -1;
    int R = 0;
    double rate = 0.0;
    int compensate = 0;
};

struct Stage {
    int type = -1;
    hbdecim_t *hb = nullptr;
    cic_t *cic = nullptr;
    fir_t *comp = nullptr;
    int R = 0;
    resamp_t *rs = nullptr;
    double rate = 0.0;

    void release() {
        hbdecim_destroy(hb);
        cic_destroy(cic);
        fir_destroy(comp);
        resamp_destroy(rs);
        *this = Stage{};
    }
};

// Largest CIC ratio a plan uses; below it a resampler takes the rest.
constexpr int kMaxCicR = 2048;

// A plan's terminal resampler runs at this ratio times at most kMaxCicR, so
// these bounds keep its 32-bit phase step non-zero and every plan buildable
// (set_rate relies on it; past them the step truncated to 0 and ran 1:1).
bool rate_ok(double r) { return r >= RESAMP_MIN_RATE / kMaxCicR && r <= RESAMP_MAX_RATE; }

// The cheapest cascade for a ratio. A matched converter always ends in a
// resampler (it carries the matched bank) and never compensates a CIC stage
// itself (the compensator is folded into the bank).
int plan(double rate, bool matched, int compensate, PlanStage out[3]) {
    int n = 0;
    auto rs = [&](double r) { out[n++] = PlanStage{RC_STAGE_RESAMPLER, 0, r, 0}; };
    auto hb = [&] { out[n++] = PlanStage{RC_STAGE_HALFBAND, 0, 0.0, 0}; };
    auto cic = [&](int R) { out[n++] = PlanStage{RC_STAGE_CIC, R, 0.0, matched ? 0 : (compensate ? 1 : 0)}; };
    const double D = 1.0 / rate;
    if (rate >= 1.0 || D < 2.0) {
        rs(rate);
        return n;
    }
    const double e = std::log2(D);
    const double h = std::round(e);
    if (std::fabs(e - h) < 1e-9) {
        double dec;
        if (h == 1.0) {
            hb();
            dec = 2.0;
        } else if (h == 2.0) {
            hb();
            hb();
            dec = 4.0;
        } else {
            const int R = h > 11.0 ? kMaxCicR : (1 << static_cast<int>(h));
            cic(R);
            dec = R;
        }
        if (matched || D != dec) rs(dec * rate);
        return n;
    }
    if (D >= 8.0) {
        const double l = std::floor(e);
        const int lo = l > 10.0 ? kMaxCicR : (1 << static_cast<int>(l));
        const int hi = l > 10.0 ? kMaxCicR : (1 << (static_cast<int>(l) + 1));
        const int R = std::fabs(std::log2(hi * rate)) < std::fabs(std::log2(lo * rate)) ? hi : lo;
        cic(R);
        if (matched || std::fabs(R * rate - 1.0) > 1e-6) rs(R * rate);
        return n;
    }
    rs(rate);
    return n;
}

}  // namespace

struct RateConverter_t {
    double rate = 1.0;
    int compensate = 0;
    int num_stages = 0;
    Stage st[3];
    sx::AlignedBuf<cf32_t> buf_a, buf_b;
    sx::AlignedBuf<double> ctrl_buf;  // kChunk copies of the last block's ctrl
    double ctrl_fill = 0.0;
    bool ctrl_filled = false;
    int pulse = RC_PULSE_NONE;
    double beta = 0.0;
    size_t span = 0;
    double pulse_sps = 0.0;
    size_t num_phases = 0;
    int narrow_pulse = 0;
    agc_t *agc = nullptr;
    double bank_sps = 0.0, pulse_energy = 0.0, ref_db = 0.0;
    double agc_rate = 0.0, agc_alpha = 0.0;
    sx_tlm *tlm = nullptr;
    char tlm_prefix[SX_TLM_NAME_MAX] = "agc";
    uint32_t tlm_decim = 1;

    ~RateConverter_t() {
        clear_stages();
        agc_destroy(agc);
    }
    void clear_stages() {
        for (Stage &s : st) s.release();
        num_stages = 0;
    }
    bool matched() const { return pulse != RC_PULSE_NONE; }
    Stage &last() { return st[num_stages - 1]; }
    const Stage &last() const { return st[num_stages - 1]; }
};

namespace {

// The matched bank for a terminal stage of rate S (branch-major, malloc'd, as
// resamp_create_from_bank takes it). Sets bank_sps, pulse_energy and ref_db.
float *design_bank(RateConverter_t *c, double S, int fold_R, size_t &num_taps) {
    const double h = c->pulse_sps / S;
    if (!std::isfinite(h) || !(h > 0.0)) return nullptr;
    const double delta = 1.0 / h;
    const bool is_rrc = c->pulse == RC_PULSE_RRC;
    const double o = is_rrc ? 2.0 * static_cast<double>(c->span) : 1.0;
    const double m = is_rrc ? static_cast<double>(c->span) : 0.5;
    const double tf = std::ceil((o + delta) * h);
    if (!std::isfinite(tf) || tf < 0.0 || tf > kMaxBankTaps) return nullptr;
    const size_t count = static_cast<size_t>(tf) + 1;
    num_taps = count + (fold_R ? kCompTaps - 1 : 0);
    const size_t L = c->num_phases;
    if (L > kMaxBankFloats / num_taps) return nullptr;
    auto *bank = static_cast<float *>(std::calloc(L * num_taps, sizeof(float)));
    if (bank == nullptr) return nullptr;
    double w[kCompTaps];
    if (fold_R) ciccompmf(w, 4, static_cast<unsigned>(fold_R), kCompTaps);
    auto pulse = [&](double tau) {
        if (is_rrc) return sx::design::rrc_pulse(tau, c->beta);
        return (tau >= -0.5 && tau < 0.5) ? 1.0 : 0.0;
    };
    const double Lh = static_cast<double>(L) * h;
    for (size_t j = 0; j < L; ++j) {
        float *row = bank + j * num_taps;
        for (size_t k = 0; k < count; ++k) {
            const double p = pulse(m - static_cast<double>(j) / Lh - static_cast<double>(k) * delta);
            if (fold_R)
                for (int i = 0; i < kCompTaps; ++i) row[k + i] += static_cast<float>(p * w[i]);
            else
                row[k] = static_cast<float>(p);
        }
    }
    double E = 0.0;
    for (size_t k = 0; k < count; ++k) {
        const double p = pulse(m - static_cast<double>(k) * delta);
        E += p * p;
    }
    if (E > 0.0) {
        const float s = static_cast<float>(1.0 / E);
        for (size_t i = 0; i < L * num_taps; ++i) bank[i] *= s;
        c->ref_db = 10.0 * std::log10(E / h);
    } else {
        c->ref_db = 0.0;
    }
    c->bank_sps = h;
    c->pulse_energy = E;
    return bank;
}

bool build_stages(RateConverter_t *c) {
    PlanStage p[3];
    const int n = plan(c->rate, c->matched(), c->compensate, p);
    for (int i = 0; i < n; ++i) {
        Stage &s = c->st[i];
        s.type = p[i].type;
        c->num_stages = i + 1;
        if (p[i].type == RC_STAGE_HALFBAND) {
            s.hb = hbdecim_create(rate::kHalfbandBranchTaps, rate::kHalfbandBranch);
            if (s.hb == nullptr) break;
        } else if (p[i].type == RC_STAGE_CIC) {
            s.R = p[i].R;
            s.cic = cic_create(static_cast<uint32_t>(p[i].R));
            if (s.cic == nullptr) break;
            if (p[i].compensate) {
                double w[kCompTaps];
                float wf[kCompTaps];
                ciccompmf(w, 4, static_cast<unsigned>(p[i].R), kCompTaps);
                for (int k = 0; k < kCompTaps; ++k) wf[k] = static_cast<float>(w[k]);
                s.comp = fir_create_real(wf, kCompTaps);
                if (s.comp == nullptr) break;
            }
        } else {
            s.rate = p[i].rate;
            if (c->matched() && i == n - 1) {
                const int fold = (c->compensate && p[0].type == RC_STAGE_CIC) ? p[0].R : 0;
                size_t taps = 0;
                float *bank = design_bank(c, p[i].rate, fold, taps);
                if (bank == nullptr) break;
                s.rs = resamp_create_from_bank(c->num_phases, taps, bank, p[i].rate);
            } else {
                s.rs = resamp_create(p[i].rate);
            }
            if (s.rs == nullptr) break;
        }
        if (i == n - 1) return true;
    }
    c->clear_stages();
    return false;
}

// An AGC for the current bank, with the converter's telemetry; null on failure.
agc_t *make_agc(const RateConverter_t *c, double agc_rate, double agc_alpha) {
    if (!(c->bank_sps > 0.0)) return nullptr;
    agc_t *a = agc_create(c->ref_db, agc_rate / c->bank_sps, agc_alpha);
    if (a == nullptr) return nullptr;
    agc_set_block_len(a, 8);
    if (c->tlm != nullptr && agc_set_telemetry(a, c->tlm, c->tlm_prefix, c->tlm_decim) != SX_OK) {
        agc_destroy(a);
        return nullptr;
    }
    return a;
}

size_t run_stage(Stage &s, const cf32_t *in, size_t n, cf32_t *out, size_t cap) {
    switch (s.type) {
    case RC_STAGE_HALFBAND: return hbdecim_execute(s.hb, in, n, out, cap);
    case RC_STAGE_CIC: {
        const size_t m = cic_decimate(s.cic, in, n, out, cap);
        if (s.comp != nullptr && m > 0) fir_execute(s.comp, out, m, out);
        return m;
    }
    default: return resamp_execute(s.rs, in, n, out, cap);
    }
}

size_t stage_outputs(const Stage &s, size_t n) {
    switch (s.type) {
    case RC_STAGE_HALFBAND: return hbdecim_execute_outputs(s.hb, n);
    case RC_STAGE_CIC: return cic_decimate_outputs(s.cic, n);
    default: return resamp_execute_outputs(s.rs, n);
    }
}

// Runs the leading stages (all but the last) over one chunk of at most kChunk
// inputs; returns the block that reaches the last stage.
const cf32_t *run_leading(RateConverter_t *c, const cf32_t *in, size_t &n) {
    const cf32_t *p = in;
    for (int i = 0; i + 1 < c->num_stages; ++i) {
        cf32_t *dst = (i & 1) ? c->buf_b.data() : c->buf_a.data();
        n = run_stage(c->st[i], p, n, dst, kChunk);
        p = dst;
    }
    return p;
}

size_t execute_ctrl(RateConverter_t *c, const cf32_t *in, size_t n_in, cf32_t *out, size_t out_cap, double ctrl) {
    resamp_t *rs = c->last().rs;
    size_t written = 0;
    for (size_t base = 0; base < n_in; base += kChunk) {
        size_t m = std::min(kChunk, n_in - base);
        const cf32_t *p = run_leading(c, in + base, m);
        if (c->agc == nullptr) {
            // The resampler's own loop over the block (the same pushes, one
            // kernel dispatch per call).
            if (c->ctrl_fill != ctrl || !c->ctrl_filled) {
                std::fill(c->ctrl_buf.begin(), c->ctrl_buf.end(), ctrl);
                c->ctrl_fill = ctrl;
                c->ctrl_filled = true;
            }
            written += resamp_execute_ctrl(rs, p, c->ctrl_buf.data(), m, out + written, out_cap - written);
            continue;
        }
        for (size_t j = 0; j < m && written < out_cap; ++j)
            written += resamp_execute_ctrl_push(rs, out + written, out_cap - written, agc_step(c->agc, p[j]), ctrl);
    }
    return written;
}

size_t part_bytes(const RateConverter_t *c) {
    size_t total = sx::kStateHeaderBytes;
    for (int i = 0; i < c->num_stages; ++i) {
        const Stage &s = c->st[i];
        if (s.type == RC_STAGE_HALFBAND) total += hbdecim_state_bytes(s.hb);
        if (s.type == RC_STAGE_CIC) total += cic_state_bytes(s.cic) + (s.comp ? fir_state_bytes(s.comp) : 0);
        if (s.type == RC_STAGE_RESAMPLER) total += resamp_state_bytes(s.rs);
    }
    if (c->agc != nullptr) total += agc_state_bytes(c->agc);
    return total;
}

size_t sat_size(double v) { return v >= 1.8e19 ? SIZE_MAX : static_cast<size_t>(v); }

}  // namespace

bool RateConverter_state_valid(const RateConverter_t *c, const uint8_t *blob) {
    if (c == nullptr || !sx::state_header_ok(blob, kTag, part_bytes(c))) return false;
    const uint8_t *p = blob + sx::kStateHeaderBytes;
    for (int i = 0; i < c->num_stages; ++i) {
        const Stage &s = c->st[i];
        if (s.type == RC_STAGE_HALFBAND) {
            if (!hbdecim_state_valid(s.hb, p)) return false;
            p += hbdecim_state_bytes(s.hb);
        } else if (s.type == RC_STAGE_CIC) {
            if (!cic_state_valid(s.cic, p)) return false;
            p += cic_state_bytes(s.cic);
            if (s.comp != nullptr) {
                if (!fir_state_valid(s.comp, p)) return false;
                p += fir_state_bytes(s.comp);
            }
        } else {
            if (!resamp_state_valid(s.rs, p)) return false;
            p += resamp_state_bytes(s.rs);
        }
    }
    return c->agc == nullptr || agc_state_valid(c->agc, p);
}

void RateConverter_state_apply(RateConverter_t *c, const uint8_t *blob) {
    const uint8_t *p = blob + sx::kStateHeaderBytes;
    for (int i = 0; i < c->num_stages; ++i) {
        Stage &s = c->st[i];
        if (s.type == RC_STAGE_HALFBAND) {
            hbdecim_state_apply(s.hb, p);
            p += hbdecim_state_bytes(s.hb);
        } else if (s.type == RC_STAGE_CIC) {
            cic_state_apply(s.cic, p);
            p += cic_state_bytes(s.cic);
            if (s.comp != nullptr) {
                fir_state_apply(s.comp, p);
                p += fir_state_bytes(s.comp);
            }
        } else {
            resamp_state_apply(s.rs, p);
            p += resamp_state_bytes(s.rs);
        }
    }
    if (c->agc != nullptr) agc_state_apply(c->agc, p);
}

extern "C" {

RateConverter_t *RateConverter_create(int compensate, double rate) {
    if (!rate_ok(rate)) return nullptr;
    try {
        auto c = std::make_unique<RateConverter_t>();
        c->rate = rate;
        c->compensate = compensate ? 1 : 0;
        if (!c->buf_a.allocate(kChunk) || !c->buf_b.allocate(kChunk) || !c->ctrl_buf.allocate(kChunk) ||
            !build_stages(c.get()))
            return nullptr;
        return c.release();
    } catch (const std::exception &) {
        return nullptr;
    }
}

RateConverter_t *RateConverter_create_matched(int compensate, int pulse, size_t span, size_t num_phases, double rate,
                                              double beta, double pulse_sps) {
    if (!rate_ok(rate) || !sx::design::rolloff_ok(beta) || span < 1 || span > (size_t{1} << 20) ||
        !(std::isfinite(pulse_sps) && pulse_sps > 0.0) || num_phases < 2 || (num_phases & (num_phases - 1)) != 0 ||
        num_phases > (size_t{1} << 24) || (pulse != RC_PULSE_IANDD && pulse != RC_PULSE_RRC))
        return nullptr;
    try {
        auto c = std::make_unique<RateConverter_t>();
        c->rate = rate;
        c->compensate = compensate ? 1 : 0;
        c->pulse = pulse;
        c->beta = beta;
        c->span = span;
        c->pulse_sps = pulse_sps;
        c->num_phases = num_phases;
        c->narrow_pulse = (pulse == RC_PULSE_IANDD && pulse_sps < 4.0) ? 1 : 0;
        if (!c->buf_a.allocate(kChunk) || !c->buf_b.allocate(kChunk) || !c->ctrl_buf.allocate(kChunk) ||
            !build_stages(c.get()))
            return nullptr;
        return c.release();
    } catch (const std::exception &) {
        return nullptr;
    }
}

void RateConverter_destroy(RateConverter_t *c) { delete c; }

void RateConverter_reset(RateConverter_t *c) {
    if (c == nullptr) return;
    for (int i = 0; i < c->num_stages; ++i) {
        Stage &s = c->st[i];
        hbdecim_reset(s.hb);
        cic_reset(s.cic);
        fir_reset(s.comp);
        resamp_reset(s.rs);
    }
    agc_reset(c->agc);
}

size_t RateConverter_state_bytes(const RateConverter_t *c) { return c == nullptr ? 0 : part_bytes(c); }

void RateConverter_get_state(const RateConverter_t *c, void *blob) {
    if (c == nullptr || blob == nullptr) return;
    sx::StateWriter w(blob);
    w.header(kTag, part_bytes(c));
    for (int i = 0; i < c->num_stages; ++i) {
        const Stage &s = c->st[i];
        if (s.type == RC_STAGE_HALFBAND) {
            hbdecim_get_state(s.hb, w.pos());
            w.skip(hbdecim_state_bytes(s.hb));
        } else if (s.type == RC_STAGE_CIC) {
            cic_get_state(s.cic, w.pos());
            w.skip(cic_state_bytes(s.cic));
            if (s.comp != nullptr) {
                fir_get_state(s.comp, w.pos());
                w.skip(fir_state_bytes(s.comp));
            }
        } else {
            resamp_get_state(s.rs, w.pos());
            w.skip(resamp_state_bytes(s.rs));
        }
    }
    if (c->agc != nullptr) agc_get_state(c->agc, w.pos());
}

int RateConverter_set_state(RateConverter_t *c, const void *blob) {
    const auto *p = static_cast<const uint8_t *>(blob);
    if (!RateConverter_state_valid(c, p)) return SX_ERR_INVALID;
    RateConverter_state_apply(c, p);
    return SX_OK;
}

size_t RateConverter_execute(RateConverter_t *c, const cf32_t *in, size_t n_in, cf32_t *out, size_t out_cap) {
    if (c == nullptr || in == nullptr || c->num_stages == 0) return 0;
    if (out == nullptr) out_cap = 0;
    if (c->matched()) return execute_ctrl(c, in, n_in, out, out_cap, 0.0);
    if (c->num_stages == 1) return run_stage(c->st[0], in, n_in, out, out_cap);
    size_t written = 0;
    for (size_t base = 0; base < n_in; base += kChunk) {
        size_t m = std::min(kChunk, n_in - base);
        const cf32_t *p = run_leading(c, in + base, m);
        written += run_stage(c->last(), p, m, out + written, out_cap - written);
    }
    return written;
}

size_t RateConverter_execute_ctrl(RateConverter_t *c, const cf32_t *in, size_t n_in, cf32_t *out, size_t out_cap,
                                  double ctrl) {
    if (c == nullptr || in == nullptr || c->num_stages == 0) return 0;
    if (c->last().type != RC_STAGE_RESAMPLER) return RateConverter_execute(c, in, n_in, out, out_cap);
    if (out == nullptr) out_cap = 0;
    return execute_ctrl(c, in, n_in, out, out_cap, ctrl);
}

size_t RateConverter_execute_ctrl_push_tap(RateConverter_t *c, cf32_t *out, size_t out_cap, cf32_t x, double ctrl,
                                           float *tap, int *tap_valid) {
    if (tap_valid != nullptr) *tap_valid = 0;
    if (c == nullptr || out == nullptr || c->num_stages == 0 || out_cap == 0) return 0;
    cf32_t s = x;
    for (int i = 0; i + 1 < c->num_stages; ++i) {
        cf32_t y;
        if (run_stage(c->st[i], &s, 1, &y, 1) == 0) return 0;
        s = y;
    }
    Stage &last = c->last();
    if (last.type == RC_STAGE_RESAMPLER && c->agc != nullptr) s = agc_step(c->agc, s);
    if (tap != nullptr) {
        tap[0] = s.real();
        tap[1] = s.imag();
    }
    if (tap_valid != nullptr) *tap_valid = 1;
    if (last.type == RC_STAGE_RESAMPLER) return resamp_execute_ctrl_push(last.rs, out, out_cap, s, ctrl);
    return run_stage(last, &s, 1, out, out_cap);
}

size_t RateConverter_execute_ctrl_push(RateConverter_t *c, cf32_t *out, size_t out_cap, cf32_t x, double ctrl) {
    return RateConverter_execute_ctrl_push_tap(c, out, out_cap, x, ctrl, nullptr, nullptr);
}

size_t RateConverter_execute_max_out(const RateConverter_t *c) {
    if (c == nullptr) return 0;
    return c->rate > 1.0 ? sat_size(65536.0 * c->rate) + 2 : 65538;
}

size_t RateConverter_execute_ctrl_max_out(const RateConverter_t *) { return 0; }

size_t RateConverter_execute_ctrl_push_max_out(const RateConverter_t *c) {
    if (c == nullptr) return 0;
    return c->rate > 1.0 ? sat_size(c->rate) + 2 : 3;
}

size_t RateConverter_execute_ctrl_outputs(const RateConverter_t *c, size_t n_in, double ctrl, size_t limit) {
    if (c == nullptr || c->num_stages == 0) return 0;
    if (!std::isfinite(ctrl)) return SIZE_MAX;
    size_t n = n_in;
    for (int i = 0; i + 1 < c->num_stages; ++i) n = stage_outputs(c->st[i], n);
    const Stage &last = c->last();
    if (last.type != RC_STAGE_RESAMPLER) n = stage_outputs(last, n);
    else n = resamp_execute_ctrl_outputs_fixed(last.rs, ctrl, n, limit);
    return n > limit ? SIZE_MAX : n;
}

size_t RateConverter_execute_outputs(const RateConverter_t *c, size_t n_in, size_t limit) {
    if (c == nullptr || c->num_stages == 0) return 0;
    if (c->matched()) return RateConverter_execute_ctrl_outputs(c, n_in, 0.0, limit);
    size_t n = n_in;
    for (int i = 0; i < c->num_stages; ++i) n = stage_outputs(c->st[i], n);
    return n > limit ? SIZE_MAX : n;
}

double RateConverter_get_rate(const RateConverter_t *c) { return c == nullptr ? 0.0 : c->rate; }

double RateConverter_terminal_rate(const RateConverter_t *c) {
    if (c == nullptr || c->num_stages == 0 || c->last().type != RC_STAGE_RESAMPLER) return 0.0;
    return resamp_get_rate(c->last().rs);
}

void RateConverter_set_rate(RateConverter_t *c, double rate) {
    if (c == nullptr || !rate_ok(rate)) return;
    c->clear_stages();
    c->rate = rate;
    if (!build_stages(c)) {
        agc_destroy(c->agc);
        c->agc = nullptr;
        return;
    }
    if (c->agc != nullptr) {
        agc_destroy(c->agc);
        c->agc = make_agc(c, c->agc_rate, c->agc_alpha);
    }
}

int RateConverter_num_stages(const RateConverter_t *c) { return c == nullptr ? 0 : c->num_stages; }

int RateConverter_stage_type(const RateConverter_t *c, int index) {
    if (c == nullptr || index < 0 || index >= c->num_stages) return -1;
    return c->st[index].type;
}

int RateConverter_stage_label(const RateConverter_t *c, int index, char *buf, size_t size) {
    if (c == nullptr || index < 0 || index >= c->num_stages || buf == nullptr || size == 0) return 0;
    const Stage &s = c->st[index];
    switch (s.type) {
    case RC_STAGE_HALFBAND: std::snprintf(buf, size, "HalfbandDecimator"); break;
    case RC_STAGE_CIC: std::snprintf(buf, size, s.comp ? "CIC(%d)+FIR" : "CIC(%d)", s.R); break;
    case RC_STAGE_RESAMPLER:
        if (c->matched() && index == c->num_stages - 1)
            std::snprintf(buf, size, "Resampler(%g,%s)", s.rate, c->pulse == RC_PULSE_RRC ? "rrc" : "iandd");
        else
            std::snprintf(buf, size, "Resampler(%g)", s.rate);
        break;
    default: std::snprintf(buf, size, "Unknown"); break;
    }
    return 1;
}

const char *RateConverter_stages_value(const RateConverter_t *c, int index) {
    static char buf[64];
    return RateConverter_stage_label(c, index, buf, sizeof buf) ? buf : nullptr;
}

int RateConverter_num_bank_shape(const RateConverter_t *c) {
    return (c != nullptr && c->num_stages > 0 && c->last().type == RC_STAGE_RESAMPLER) ? 2 : 0;
}

size_t RateConverter_bank_shape_value(const RateConverter_t *c, int index) {
    if (RateConverter_num_bank_shape(c) == 0) return 0;
    if (index == 0) return resamp_get_num_phases(c->last().rs);
    if (index == 1) return resamp_get_num_taps(c->last().rs);
    return 0;
}

double RateConverter_get_bank_sps(const RateConverter_t *c) { return c == nullptr ? 0.0 : c->bank_sps; }
int RateConverter_get_narrow_pulse(const RateConverter_t *c) { return c == nullptr ? 0 : c->narrow_pulse; }

int RateConverter_get_clipped(const RateConverter_t *c) {
    if (c == nullptr) return 0;
    for (int i = 0; i < c->num_stages; ++i)
        if (c->st[i].cic != nullptr && cic_get_clipped(c->st[i].cic)) return 1;
    return 0;
}

double RateConverter_gain(const RateConverter_t *c) {
    if (c == nullptr) return 0.0;
    double g = 1.0;
    for (int i = 0; i < c->num_stages; ++i) {
        const Stage &s = c->st[i];
        if (s.type == RC_STAGE_HALFBAND) g *= hbdecim_dc_gain(s.hb);
        if (s.type == RC_STAGE_CIC) g *= cic_dc_gain(s.cic) * (s.comp ? fir_dc_gain(s.comp) : 1.0);
        if (s.type == RC_STAGE_RESAMPLER) g *= resamp_dc_gain(s.rs);
    }
    return g;
}

int RateConverter_enable_agc(RateConverter_t *c, double agc_rate, double agc_alpha) {
    if (c == nullptr || !c->matched() || !(agc_rate > 0.0) || !std::isfinite(agc_rate) ||
        !(agc_alpha > 0.0 && agc_alpha <= 1.0))
        return SX_ERR_INVALID;
    agc_t *a = make_agc(c, agc_rate, agc_alpha);
    if (a == nullptr) return SX_ERR_INVALID;
    agc_destroy(c->agc);
    c->agc = a;
    c->agc_rate = agc_rate;
    c->agc_alpha = agc_alpha;
    return SX_OK;
}

double RateConverter_agc_ref_db(const RateConverter_t *c) { return c == nullptr ? 0.0 : c->ref_db; }
double RateConverter_agc_gain_db(const RateConverter_t *c) {
    return (c == nullptr || c->agc == nullptr) ? 0.0 : agc_get_applied_gain_db(c->agc);
}

int RateConverter_set_telemetry(RateConverter_t *c, sx_tlm *tlm, const char *prefix, uint32_t decim) {
    if (c == nullptr) return SX_ERR_INVALID;
    if (prefix == nullptr) prefix = "agc";
    if (tlm != nullptr && (std::strlen(prefix) > kPrefixMax || decim == 0)) return SX_ERR_INVALID;
    if (c->agc != nullptr && agc_set_telemetry(c->agc, tlm, prefix, decim) != SX_OK) return SX_ERR_INVALID;
    c->tlm = tlm;
    if (tlm != nullptr) {
        std::snprintf(c->tlm_prefix, sizeof c->tlm_prefix, "%s", prefix);
        c->tlm_decim = decim;
    }
    return SX_OK;
}

size_t RateConverter_convert(int compensate, const cf32_t *in, size_t n_in, cf32_t *out, size_t out_cap,
                             double rate) {
    RateConverter_t *c = RateConverter_create(compensate, rate);
    if (c == nullptr) return 0;
    const size_t m = RateConverter_execute(c, in, n_in, out, out_cap);
    RateConverter_destroy(c);
    return m;
}

}  // extern "C"
