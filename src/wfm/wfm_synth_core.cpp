#include "wfm/wfm_synth_core.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <numbers>
#include <stdexcept>
#include <vector>

#include "core/sx_aligned.h"
#include "core/sx_state.h"
#include "resample/fir_core.h"
#include "resample/resamp_core.h"
#include "wfm/awgn_core.h"
#include "wfm/lo_core.h"
#include "wfm/pn_core.h"
#include "wfm/pulse_core.h"

namespace {

constexpr sx::StateTag kTag{{'W', 'F', 'M', 'S'}, 2};
constexpr size_t kFixedBytes = 83;
constexpr size_t kChunk = 2048;  // noise, carrier and symbols are produced per chunk
constexpr size_t kBatch = 64;    // interpolator outputs per fill
constexpr size_t kBatchIn = kBatch + 1;
constexpr float kInvSqrt2 = 0.70710677f;

struct FirDel {
    void operator()(fir_t *p) const { fir_destroy(p); }
};
struct ResampDel {
    void operator()(resamp_t *p) const { resamp_destroy(p); }
};
struct LoDel {
    void operator()(lo *p) const { lo_destroy(p); }
};
struct AwgnDel {
    void operator()(struct awgn *p) const { awgn_destroy(p); }
};
struct PnDel {
    void operator()(pn *p) const { pn_destroy(p); }
};

struct Sym {
    float re, im;
};

bool is_pn_type(uint32_t t) { return t == WFM_SYNTH_PN || t == WFM_SYNTH_BPSK || t == WFM_SYNTH_QPSK; }
bool is_constant_type(uint32_t t) { return t == WFM_SYNTH_TONE || t == WFM_SYNTH_NOISE || t == WFM_SYNTH_CHIRP; }
bool starts_at_one(uint32_t t) { return t == WFM_SYNTH_TONE || t == WFM_SYNTH_CHIRP; }
bool is_pow2(int v) { return v > 0 && (v & (v - 1)) == 0; }

}  // namespace

struct wfm_synth {
    uint32_t wtype = 0;
    int32_t nsps = 1;
    int32_t sym_pos = 0;
    float cur_re = 0.0f, cur_im = 0.0f;
    double norm_freq = 0.0;
    double norm_f_end = 0.0;
    double chirp_rate = 0.0;
    double chirp_phase = 0.0;
    uint64_t chirp_n = 0;
    uint64_t chirp_span = 0;
    std::vector<uint8_t> pattern;
    uint64_t pattern_pos = 0;
    int32_t modulation = 0;
    std::vector<Sym> symbols;
    uint64_t symbol_pos = 0;
    double chips_per_symbol = 0.0;
    std::vector<uint8_t> code;
    int32_t data_mode = 0;
    uint64_t chip_count = 0;
    uint64_t last_symbol = 0;
    uint8_t cur_bit = 0;
    std::unique_ptr<fir_t, FirDel> fir;
    std::unique_ptr<resamp_t, ResampDel> resamp;
    uint8_t primed = 0;
    std::unique_ptr<lo, LoDel> osc;
    std::unique_ptr<struct awgn, AwgnDel> noise;
    std::unique_ptr<pn, PnDel> prn;

    // Kept to build a PN register when the waveform type later needs one.
    uint32_t seed = 0;
    int pn_length = 0;
    uint64_t pn_poly = 0;
    int lfsr = 0;

    // psk[k][raw bits]: the k-bit constellation with Gray decoding folded in.
    Sym psk[4][8] = {};
    // Per-chunk scratch, interleaved complex.
    sx::AlignedBuf<float> sym_buf, car_buf, noise_buf;
};

namespace {

void build_psk(wfm_synth *e) {
    for (int k = 1; k <= 3; ++k) {
        const int m = 1 << k;
        for (int raw = 0; raw < m; ++raw) {
            const int b = raw ^ (raw >> 1) ^ (raw >> 2);
            double angle = 2.0 * std::numbers::pi * b / m;
            if (k == 2) angle += std::numbers::pi / 4.0;
            e->psk[k][raw] = {static_cast<float>(std::cos(angle)), static_cast<float>(std::sin(angle))};
        }
    }
}

pn *make_pn(const wfm_synth *e) {
    const uint32_t len = e->pn_length < 0 ? 0u : static_cast<uint32_t>(e->pn_length);
    const uint64_t poly = e->pn_poly != 0 ? e->pn_poly : mls_poly(len);
    if (poly == 0) return nullptr;
    return pn_create(poly, e->seed == 0 ? 1 : e->seed, len, e->lfsr);
}

inline uint8_t pn_chip(wfm_synth *e) {
    uint8_t c = 0;
    pn_generate(e->prn.get(), 1, &c, 1);
    return c;
}

inline uint8_t next_pattern_elem(wfm_synth *e) {
    const uint8_t v = e->pattern[e->pattern_pos];
    if (++e->pattern_pos == e->pattern.size()) e->pattern_pos = 0;
    return v;
}

// The next symbol of the source; `interp` selects the polyphase rule for an empty
// source (0 instead of the held symbol). Latched symbols become cur.
Sym next_symbol(wfm_synth *e, bool interp) {
    const Sym held = interp ? Sym{0.0f, 0.0f} : Sym{e->cur_re, e->cur_im};
    Sym s;
    switch (e->wtype) {
    case WFM_SYNTH_PN:
    case WFM_SYNTH_BPSK:
        if (!e->prn) return held;
        s = {pn_chip(e) ? -1.0f : 1.0f, 0.0f};
        break;
    case WFM_SYNTH_QPSK: {
        if (!e->prn) return held;
        const uint8_t c1 = pn_chip(e);
        const uint8_t c2 = pn_chip(e);
        s = {(c1 ? -1.0f : 1.0f) * kInvSqrt2, (c2 ? -1.0f : 1.0f) * kInvSqrt2};
        break;
    }
    case WFM_SYNTH_SYMBOLS:
        if (e->symbols.empty()) return held;
        s = e->symbols[e->symbol_pos];
        if (++e->symbol_pos == e->symbols.size()) e->symbol_pos = 0;
        break;
    case WFM_SYNTH_DSSS:
        if (e->chips_per_symbol > 0.0) {
            const uint64_t h = e->chip_count;
            const double q = std::floor(static_cast<double>(h) / e->chips_per_symbol);
            const uint64_t si = q >= 1.8446744073709552e19 ? UINT64_MAX : static_cast<uint64_t>(q);
            if (h == 0 || si != e->last_symbol) {
                uint8_t bit = 0;
                if (e->data_mode == WFM_DSSS_DATA_BITS && !e->pattern.empty())
                    bit = e->pattern[si % e->pattern.size()] & 1;
                else if (e->data_mode == WFM_DSSS_DATA_PRBS && e->prn)
                    bit = pn_chip(e);
                e->last_symbol = si;
                e->cur_bit = bit;
            }
            const uint8_t chip = e->code[h % e->code.size()] & 1;
            e->chip_count = h + 1;
            s = {e->cur_bit == chip ? 1.0f : -1.0f, 0.0f};
            break;
        }
        [[fallthrough]];
    case WFM_SYNTH_BITS: {
        if (e->pattern.empty()) return held;
        const int k = e->modulation;
        if (k == 0) {
            s = {next_pattern_elem(e) != 0 ? 1.0f : 0.0f, 0.0f};
        } else {
            unsigned raw = 0;
            for (int j = 0; j < k; ++j) raw = (raw << 1) | (next_pattern_elem(e) & 1u);
            s = e->psk[k][raw];
        }
        break;
    }
    default:
        return {e->cur_re, e->cur_im};
    }
    e->cur_re = s.re;
    e->cur_im = s.im;
    return s;
}

// Runs the interpolator for n outputs into out (interleaved), feeding it exactly
// the symbols it asks for, in batches of at most kBatch outputs.
void interp_run(wfm_synth *e, float *out, size_t n) {
    resamp_t *r = e->resamp.get();
    cf32_t in[kBatchIn];
    for (size_t pos = 0; pos < n;) {
        size_t b = std::min(kBatch, n - pos);
        size_t need = resamp_interp_inputs_needed(r, b);
        while (need > kBatchIn && b > 1) {
            b /= 2;
            need = resamp_interp_inputs_needed(r, b);
        }
        for (size_t j = 0; j < need; ++j) {
            const Sym s = next_symbol(e, true);
            in[j] = cf32_t(s.re, s.im);
        }
        resamp_interp_fill(r, in, reinterpret_cast<cf32_t *>(out + 2 * pos), b);
        pos += b;
    }
}

// The interpolator's start-up transient: nsps outputs run and discarded.
void prime(wfm_synth *e) {
    float discard[2 * kBatch];
    for (size_t left = static_cast<size_t>(e->nsps); left > 0;) {
        const size_t b = std::min(kBatch, left);
        interp_run(e, discard, b);
        left -= b;
    }
    e->primed = 1;
}

void symbols_chunk(wfm_synth *e, float *out, size_t m) {
    if (is_constant_type(e->wtype)) {
        const float re = e->cur_re, im = e->cur_im;
        for (size_t i = 0; i < m; ++i) {
            out[2 * i] = re;
            out[2 * i + 1] = im;
        }
        return;
    }
    if (e->resamp) {
        if (!e->primed) prime(e);
        interp_run(e, out, m);
        return;
    }
    const bool stuff = static_cast<bool>(e->fir);
    const int32_t nsps = e->nsps;
    int32_t sp = e->sym_pos;
    Sym cur{e->cur_re, e->cur_im};
    for (size_t i = 0; i < m; ++i) {
        Sym v;
        if (sp == 0) {
            cur = next_symbol(e, false);
            v = cur;
        } else {
            v = stuff ? Sym{0.0f, 0.0f} : cur;
        }
        out[2 * i] = v.re;
        out[2 * i + 1] = v.im;
        if (++sp >= nsps) sp = 0;
    }
    e->sym_pos = sp;
    if (stuff) {
        auto *buf = reinterpret_cast<cf32_t *>(out);
        // The work buffer was grown to a whole chunk at set-up, so this cannot fail.
        if (fir_execute(e->fir.get(), buf, m, buf) != m) std::fill(out, out + 2 * m, 0.0f);
    }
}

inline double wrap_cycle(double x) {
    if (!std::isfinite(x)) return 0.0;
    x -= std::floor(x);
    return x >= 1.0 ? 0.0 : x;
}

void carrier_chunk(wfm_synth *e, float *out, size_t m) {
    if (e->osc) {
        lo_steps(e->osc.get(), m, out, m);
        return;
    }
    if (e->wtype == WFM_SYNTH_CHIRP) {
        double ph = e->chirp_phase;
        uint64_t cn = e->chirp_n;
        const uint64_t span = e->chirp_span;
        const double f0 = e->norm_freq, rate = e->chirp_rate;
        for (size_t i = 0; i < m; ++i) {
            const float a = 6.2831855f * static_cast<float>(ph);
            out[2 * i] = std::cos(a);
            out[2 * i + 1] = std::sin(a);
            ph = wrap_cycle(ph + f0 + rate * static_cast<double>(std::min(cn, span)));
            ++cn;
        }
        e->chirp_phase = ph;
        e->chirp_n = cn;
        return;
    }
    for (size_t i = 0; i < m; ++i) {
        out[2 * i] = 1.0f;
        out[2 * i + 1] = 0.0f;
    }
}

void noise_chunk(wfm_synth *e, float *out, size_t m) {
    if (e->noise)
        awgn_generate(e->noise.get(), m, out, m);
    else
        std::fill(out, out + 2 * m, 0.0f);
}

// A held symbol s (the types whose symbol never changes) needs no symbol pass:
// on the oscillator's carrier the oscillator mixes it in as it runs, and on the
// plain carrier 1 + 0j every product is one constant. Without noise nothing
// is added but +0, as the general sum does: the bits of the general path in
// produce(). False for a chirp, whose carrier only that path computes.
bool produce_held(wfm_synth *e, float *o, size_t m) {
    const float sr = e->cur_re, si = e->cur_im;
    if (e->osc) {
        const float *w = nullptr;
        if (e->noise) {
            awgn_generate(e->noise.get(), m, e->noise_buf.get(), m);
            w = e->noise_buf.get();
        }
        sx::lo_mix(e->osc.get(), m, sr, si, w, o);
        return true;
    }
    if (e->wtype == WFM_SYNTH_CHIRP) return false;
    const float one = 1.0f, zero = 0.0f;
    const float pr = sr * one - si * zero, pi = sr * zero + si * one;
    if (e->noise) {
        awgn_generate(e->noise.get(), m, o, m);
        for (size_t i = 0; i < m; ++i) {
            o[2 * i] = pr + o[2 * i];
            o[2 * i + 1] = pi + o[2 * i + 1];
        }
    } else {
        const float qr = pr + 0.0f, qi = pi + 0.0f;
        for (size_t i = 0; i < m; ++i) {
            o[2 * i] = qr;
            o[2 * i + 1] = qi;
        }
    }
    return true;
}

void produce(wfm_synth *e, float *out, size_t n) {
    float *s = e->sym_buf.get();
    float *c = e->car_buf.get();
    float *w = e->noise_buf.get();
    const bool held = is_constant_type(e->wtype);
    for (size_t done = 0; done < n;) {
        const size_t m = std::min(kChunk, n - done);
        if (held && produce_held(e, out + 2 * done, m)) {
            done += m;
            continue;
        }
        noise_chunk(e, w, m);
        carrier_chunk(e, c, m);
        symbols_chunk(e, s, m);
        float *o = out + 2 * done;
        for (size_t i = 0; i < m; ++i) {
            const float sr = s[2 * i], si = s[2 * i + 1], cr = c[2 * i], ci = c[2 * i + 1];
            o[2 * i] = sr * cr - si * ci + w[2 * i];
            o[2 * i + 1] = sr * ci + si * cr + w[2 * i + 1];
        }
        done += m;
    }
}

template <class T> T read_at(const uint8_t *p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Grows the filter's work buffer to a whole chunk now, so producing never allocates.
bool pregrow(fir_t *f, float *scratch) {
    std::fill(scratch, scratch + 2 * kChunk, 0.0f);
    auto *buf = reinterpret_cast<cf32_t *>(scratch);
    const bool ok = fir_execute(f, buf, kChunk, buf) == kChunk;
    fir_reset(f);
    return ok;
}

}  // namespace

extern "C" {

wfm_synth *wfm_synth_create(int type, int snr_mode, uint32_t seed, int sps, int pn_length, uint64_t pn_poly,
                            double fs, double freq, double snr, double f_end, int lfsr) {
    if (type < WFM_SYNTH_TONE || type > WFM_SYNTH_DSSS) return nullptr;
    if (snr_mode < WFM_SYNTH_SNR_AUTO || snr_mode > WFM_SYNTH_SNR_ESNO) return nullptr;
    if (!std::isfinite(fs) || !std::isfinite(freq) || !std::isfinite(f_end) || std::isnan(snr) ||
        snr == -HUGE_VAL)
        return nullptr;
    try {
        auto e = std::make_unique<wfm_synth>();
        e->wtype = static_cast<uint32_t>(type);
        e->nsps = sps > 0 ? sps : 1;
        e->norm_freq = fs != 0.0 ? freq / fs : 0.0;
        e->norm_f_end = fs != 0.0 ? f_end / fs : 0.0;
        if (!std::isfinite(e->norm_freq) || !std::isfinite(e->norm_f_end)) return nullptr;
        e->seed = seed;
        e->pn_length = pn_length;
        e->pn_poly = pn_poly;
        e->lfsr = lfsr == 1 ? 1 : 0;
        if (starts_at_one(e->wtype)) e->cur_re = 1.0f;
        build_psk(e.get());
        if (!e->sym_buf.allocate(2 * kChunk) || !e->car_buf.allocate(2 * kChunk) ||
            !e->noise_buf.allocate(2 * kChunk))
            return nullptr;

        if (type != WFM_SYNTH_NOISE && type != WFM_SYNTH_CHIRP && freq != 0.0) {
            e->osc.reset(lo_create(e->norm_freq));
            if (!e->osc) return nullptr;
        }
        if (is_pn_type(e->wtype)) {
            e->prn.reset(make_pn(e.get()));
            if (!e->prn) return nullptr;
        } else if (type == WFM_SYNTH_DSSS) {
            e->prn.reset(make_pn(e.get()));
        }
        float amplitude = -1.0f;
        if (type == WFM_SYNTH_NOISE) {
            amplitude = kInvSqrt2;
        } else if (snr < WFM_SYNTH_SNR_CLEAN) {
            const double per_symbol = 10.0 * std::log10(static_cast<double>(e->nsps));
            double g = snr;
            const bool psk = type == WFM_SYNTH_BPSK || type == WFM_SYNTH_QPSK;
            if (snr_mode == WFM_SYNTH_SNR_AUTO && psk) g = snr - per_symbol;
            if (snr_mode == WFM_SYNTH_SNR_EBNO)
                g = snr + (type == WFM_SYNTH_QPSK ? 3.010299956639812 : 0.0) - per_symbol;
            if (snr_mode == WFM_SYNTH_SNR_ESNO) g = snr - per_symbol;
            // An SNR so low that sigma overflows single precision (about -385 dB)
            // is refused: the noise would be nothing but inf and NaN.
            if (!(g >= -FLT_MAX)) return nullptr;  // would not even convert to a float
            amplitude = awgn_amplitude_for_snr(static_cast<float>(g), 1.0f);
            if (!std::isfinite(amplitude)) return nullptr;
        }
        if (amplitude >= 0.0f) {
            e->noise.reset(awgn_create(seed, amplitude));
            if (!e->noise) return nullptr;
        }
        return e.release();
    } catch (const std::exception &) {  // bad_alloc, or length_error for an absurd n
        return nullptr;
    }
}

void wfm_synth_destroy(wfm_synth *e) { delete e; }

void wfm_synth_reset(wfm_synth *e) {
    e->sym_pos = 0;
    e->pattern_pos = 0;
    e->symbol_pos = 0;
    e->chirp_phase = 0.0;
    e->chirp_n = 0;
    e->chip_count = 0;
    e->last_symbol = 0;
    e->cur_bit = 0;
    e->primed = 0;
    e->cur_re = starts_at_one(e->wtype) ? 1.0f : 0.0f;
    e->cur_im = 0.0f;
    if (e->fir) fir_reset(e->fir.get());
    if (e->resamp) resamp_reset(e->resamp.get());
    if (e->osc) lo_reset(e->osc.get());
    if (e->noise) awgn_reset(e->noise.get());
    if (e->prn) pn_reset(e->prn.get());
}

void wfm_synth_reseed_noise(wfm_synth *e, uint64_t seed) {
    if (e->noise) awgn_reseed(e->noise.get(), seed);
}

int wfm_synth_set_rrc(wfm_synth *e, const float *taps, size_t n) {
    if (is_constant_type(e->wtype)) return 0;
    if (taps == nullptr || n == 0) return -1;
    try {
        const float gain = std::sqrt(static_cast<float>(e->nsps));
        std::vector<float> scaled(taps, taps + n);
        for (float &t : scaled) t *= gain;
        if (!is_pow2(e->nsps)) {
            std::unique_ptr<fir_t, FirDel> f(fir_create_real(scaled.data(), n));
            if (!f || !pregrow(f.get(), e->sym_buf.get())) return -1;
            e->fir = std::move(f);
            e->resamp.reset();
            return 0;
        }
        const size_t P = static_cast<size_t>(e->nsps);
        const size_t K = n / P + (n % P != 0);
        size_t total;
        if (__builtin_mul_overflow(P, K, &total)) return -1;
        std::vector<float> bank(total);
        wfm_polyphase_bank(scaled.data(), n, P, K, bank.data());
        std::unique_ptr<resamp_t, ResampDel> r(resamp_create_custom(P, K, bank.data(), static_cast<double>(P)));
        if (!r) return -1;
        e->resamp = std::move(r);
        e->fir.reset();
        e->primed = 0;
        return 0;
    } catch (const std::exception &) {  // bad_alloc, or length_error for an absurd n
        return -1;
    }
}

int wfm_synth_set_bits(wfm_synth *e, const uint8_t *pattern, size_t n, int modulation) {
    if (e->wtype != WFM_SYNTH_BITS) return 0;
    if (pattern == nullptr || n == 0 || modulation < 0 || modulation > 3) return -1;
    try {
        std::vector<uint8_t> p(n);
        for (size_t i = 0; i < n; ++i) p[i] = pattern[i] != 0;
        e->pattern = std::move(p);
    } catch (const std::exception &) {  // bad_alloc, or length_error for an absurd n
        return -1;
    }
    e->pattern_pos = 0;
    e->modulation = modulation;
    return 0;
}

int wfm_synth_set_symbols(wfm_synth *e, const float *symbols, size_t n) {
    if (e->wtype != WFM_SYNTH_SYMBOLS) return 0;
    if (symbols == nullptr || n == 0) return -1;
    try {
        std::vector<Sym> s(n);
        std::memcpy(s.data(), symbols, n * sizeof(Sym));
        e->symbols = std::move(s);
    } catch (const std::exception &) {  // bad_alloc, or length_error for an absurd n
        return -1;
    }
    e->symbol_pos = 0;
    return 0;
}

int wfm_synth_set_dsss_chips(wfm_synth *e, const uint8_t *chips, size_t n) {
    if (e->wtype != WFM_SYNTH_DSSS) return 0;
    if (chips == nullptr || n == 0) return -1;
    try {
        e->pattern.assign(chips, chips + n);
    } catch (const std::exception &) {  // bad_alloc, or length_error for an absurd n
        return -1;
    }
    e->pattern_pos = 0;
    e->modulation = 1;
    e->chips_per_symbol = 0.0;  // burst mode
    return 0;
}

int wfm_synth_set_dsss_cont(wfm_synth *e, const uint8_t *code, size_t code_len, int data_mode,
                            const uint8_t *payload, size_t payload_len, double chips_per_symbol) {
    if (e->wtype != WFM_SYNTH_DSSS) return 0;
    if (code == nullptr || code_len == 0 || !std::isfinite(chips_per_symbol) || chips_per_symbol < 1.0) return -1;
    if (data_mode < WFM_DSSS_DATA_NONE || data_mode > WFM_DSSS_DATA_PRBS) return -1;
    const bool has_payload = payload != nullptr && payload_len > 0;
    if (data_mode == WFM_DSSS_DATA_BITS && !has_payload) return -1;
    if (data_mode == WFM_DSSS_DATA_PRBS && !e->prn) return -1;
    try {
        std::vector<uint8_t> c(code_len), p;
        for (size_t i = 0; i < code_len; ++i) c[i] = code[i] & 1;
        if (data_mode == WFM_DSSS_DATA_BITS) {
            p.resize(payload_len);
            for (size_t i = 0; i < payload_len; ++i) p[i] = payload[i] & 1;
        }
        e->code = std::move(c);
        e->pattern = std::move(p);
    } catch (const std::exception &) {  // bad_alloc, or length_error for an absurd n
        return -1;
    }
    e->pattern_pos = 0;
    e->chips_per_symbol = chips_per_symbol;
    e->data_mode = data_mode;
    e->modulation = 1;
    e->chip_count = 0;
    e->last_symbol = 0;
    e->cur_bit = 0;
    return 0;
}

void wfm_synth_set_chirp_span(wfm_synth *e, uint64_t n) {
    if (e->wtype != WFM_SYNTH_CHIRP || n == 0 || e->chirp_span != 0) return;
    e->chirp_span = n;
    e->chirp_rate = (e->norm_f_end - e->norm_freq) / static_cast<double>(n);
}

void wfm_synth_step(wfm_synth *e, float *out) { produce(e, out, 1); }

void wfm_synth_steps(wfm_synth *e, float *out, size_t n) {
    if (n == 0) return;
    wfm_synth_set_chirp_span(e, n);
    produce(e, out, n);
}

void wfm_synth_noise_steps(wfm_synth *e, float *out, size_t n) {
    for (size_t done = 0; done < n;) {
        const size_t m = std::min(kChunk, n - done);
        noise_chunk(e, out + 2 * done, m);
        done += m;
    }
}

uint32_t wfm_synth_get_wtype(const wfm_synth *e) { return e->wtype; }

int wfm_synth_set_wtype(wfm_synth *e, uint32_t wtype) {
    if (wtype > WFM_SYNTH_DSSS) return -1;
    // A type that needs a PN register or a noise source gets one built like
    // creation would have built it; nothing changes when that fails.
    std::unique_ptr<pn, PnDel> p;
    std::unique_ptr<struct awgn, AwgnDel> a;
    if (is_pn_type(wtype) && !e->prn) {
        p.reset(make_pn(e));
        if (!p) return -1;
    }
    if (wtype == WFM_SYNTH_NOISE && !e->noise) {
        a.reset(awgn_create(e->seed, kInvSqrt2));
        if (!a) return -1;
    }
    if (p) e->prn = std::move(p);
    if (a) e->noise = std::move(a);
    e->wtype = wtype;
    return 0;
}

int wfm_synth_get_nsps(const wfm_synth *e) { return e->nsps; }

int wfm_synth_set_nsps(wfm_synth *e, int nsps) {
    if (nsps < 1) return -1;
    e->nsps = nsps;
    // A hold past the new symbol length restarts at the next symbol.
    if (e->sym_pos >= nsps) e->sym_pos = 0;
    return 0;
}

int wfm_synth_get_sym_pos(const wfm_synth *e) { return e->sym_pos; }

int wfm_synth_set_sym_pos(wfm_synth *e, int sym_pos) {
    if (sym_pos < 0 || sym_pos >= e->nsps) return -1;
    e->sym_pos = sym_pos;
    return 0;
}

float wfm_synth_get_cur_re(const wfm_synth *e) { return e->cur_re; }
void wfm_synth_set_cur_re(wfm_synth *e, float v) { e->cur_re = v; }
float wfm_synth_get_cur_im(const wfm_synth *e) { return e->cur_im; }
void wfm_synth_set_cur_im(wfm_synth *e, float v) { e->cur_im = v; }

size_t wfm_synth_state_bytes(const wfm_synth *e) {
    size_t n = kFixedBytes;
    if (e->fir) n += fir_state_bytes(e->fir.get());
    if (e->resamp) n += resamp_state_bytes(e->resamp.get());
    if (e->osc) n += lo_state_bytes(e->osc.get());
    if (e->noise) n += awgn_state_bytes(e->noise.get());
    if (e->prn) n += pn_state_bytes(e->prn.get());
    return n;
}

void wfm_synth_get_state(const wfm_synth *e, void *blob) {
    sx::StateWriter w(blob);
    w.header(kTag, wfm_synth_state_bytes(e));
    w.put(e->sym_pos);
    w.put(e->cur_re);
    w.put(e->cur_im);
    w.put(e->pattern_pos);
    w.put(e->symbol_pos);
    w.put(e->chirp_phase);
    w.put(e->chirp_n);
    w.put(e->chip_count);
    w.put(e->last_symbol);
    w.put(e->cur_bit);
    w.put(e->primed);
    const uint8_t present[5] = {e->fir != nullptr, e->resamp != nullptr, e->osc != nullptr, e->noise != nullptr,
                                e->prn != nullptr};
    w.bytes(present, 5);
    if (e->fir) {
        fir_get_state(e->fir.get(), w.pos());
        w.skip(fir_state_bytes(e->fir.get()));
    }
    if (e->resamp) {
        resamp_get_state(e->resamp.get(), w.pos());
        w.skip(resamp_state_bytes(e->resamp.get()));
    }
    if (e->osc) {
        lo_get_state(e->osc.get(), w.pos());
        w.skip(lo_state_bytes(e->osc.get()));
    }
    if (e->noise) {
        awgn_get_state(e->noise.get(), w.pos());
        w.skip(awgn_state_bytes(e->noise.get()));
    }
    if (e->prn) pn_get_state(e->prn.get(), w.pos());
}

int wfm_synth_set_state(wfm_synth *e, const void *blob) {
    const auto *b = static_cast<const uint8_t *>(blob);
    if (!sx::state_header_ok(b, kTag, wfm_synth_state_bytes(e))) return SX_ERR_INVALID;

    // Pass 1: every position against the live object, every part's blob.
    const auto sym_pos = read_at<int32_t>(b + 16);
    const auto pattern_pos = read_at<uint64_t>(b + 28);
    const auto symbol_pos = read_at<uint64_t>(b + 36);
    const auto chirp_phase = read_at<double>(b + 44);
    const uint8_t cur_bit = b[76], primed = b[77];
    if (sym_pos < 0 || sym_pos >= e->nsps) return SX_ERR_INVALID;
    if (pattern_pos >= std::max<size_t>(e->pattern.size(), 1)) return SX_ERR_INVALID;
    if (symbol_pos >= std::max<size_t>(e->symbols.size(), 1)) return SX_ERR_INVALID;
    if (!(chirp_phase >= 0.0 && chirp_phase < 1.0)) return SX_ERR_INVALID;
    if (cur_bit > 1 || primed > 1) return SX_ERR_INVALID;
    const bool present[5] = {e->fir != nullptr, e->resamp != nullptr, e->osc != nullptr, e->noise != nullptr,
                             e->prn != nullptr};
    for (int i = 0; i < 5; ++i)
        if (b[78 + i] != (present[i] ? 1 : 0)) return SX_ERR_INVALID;
    const uint8_t *p = b + kFixedBytes;
    const uint8_t *fir_blob = p, *resamp_blob, *lo_blob, *awgn_blob, *pn_blob;
    if (e->fir) {
        if (!fir_state_valid(e->fir.get(), p)) return SX_ERR_INVALID;
        p += fir_state_bytes(e->fir.get());
    }
    resamp_blob = p;
    if (e->resamp) {
        if (!resamp_state_valid(e->resamp.get(), p)) return SX_ERR_INVALID;
        p += resamp_state_bytes(e->resamp.get());
    }
    lo_blob = p;
    if (e->osc) {
        if (!sx::lo_state_valid(e->osc.get(), p)) return SX_ERR_INVALID;
        p += lo_state_bytes(e->osc.get());
    }
    awgn_blob = p;
    if (e->noise) {
        if (!sx::awgn_state_valid(e->noise.get(), p)) return SX_ERR_INVALID;
        p += awgn_state_bytes(e->noise.get());
    }
    pn_blob = p;
    // The PN register has no separate check; its restore either succeeds or
    // changes nothing, so it goes first and the rest cannot fail after it.
    if (e->prn && pn_set_state(e->prn.get(), pn_blob) != SX_OK) return SX_ERR_INVALID;

    // Pass 2: apply.
    e->sym_pos = sym_pos;
    e->cur_re = read_at<float>(b + 20);
    e->cur_im = read_at<float>(b + 24);
    e->pattern_pos = pattern_pos;
    e->symbol_pos = symbol_pos;
    e->chirp_phase = chirp_phase;
    e->chirp_n = read_at<uint64_t>(b + 52);
    e->chip_count = read_at<uint64_t>(b + 60);
    e->last_symbol = read_at<uint64_t>(b + 68);
    e->cur_bit = cur_bit;
    e->primed = primed;
    if (e->fir) fir_state_apply(e->fir.get(), fir_blob);
    if (e->resamp) resamp_state_apply(e->resamp.get(), resamp_blob);
    if (e->osc) sx::lo_state_apply(e->osc.get(), lo_blob);
    if (e->noise) sx::awgn_state_apply(e->noise.get(), awgn_blob);
    return SX_OK;
}

}  // extern "C"
