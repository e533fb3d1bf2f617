// Construction arguments and setters of the cores, as raw numbers from the
// input: any double (NaN, infinities, subnormals, huge values) and any integer.
// A create either refuses (null) or yields a block that processes a short
// block and is destroyed; conversions of outside numbers to sizes and counts
// never overflow (UndefinedBehaviorSanitizer aborts on one) and never lead to
// an allocation beyond libFuzzer's memory limit.
#include <cstring>
#include <vector>

#include "ddc/ddc_core.h"
#include "ddc/ddcr_core.h"
#include "fuzz_support.h"
#include "resample/RateConverter_core.h"
#include "resample/agc_core.h"
#include "resample/cic_core.h"
#include "resample/resamp_core.h"
#include "spectral/acc_trace_core.h"
#include "spectral/psd_core.h"
#include "wfm/awgn_core.h"
#include "wfm/lo_core.h"
#include "wfm/pn_core.h"
#include "wfm/wfm_synth_core.h"

using fuzz::require;

namespace {

// Reads fixed-size values from the input, zeros past its end.
class Args {
public:
    Args(const uint8_t *d, size_t n) : d_(d), n_(n) {}
    template <class T> T get() {
        T v{};
        uint8_t b[sizeof(T)] = {};
        for (size_t i = 0; i < sizeof(T) && at_ < n_; ++i) b[i] = d_[at_++];
        std::memcpy(&v, b, sizeof v);
        return v;
    }
    double f() { return get<double>(); }
    uint64_t u() { return get<uint64_t>(); }
    // A count of input samples: that of an array that exists (the sizing
    // calls take time in proportion to it, as the processing calls do).
    size_t n() { return get<uint32_t>() % (1u << 20); }

private:
    const uint8_t *d_;
    size_t n_, at_ = 0;
};

constexpr size_t kN = 64, kCap = 1 << 16;
std::vector<float> g_in(2 * kN, 0.25f), g_out(2 * kCap);
cf32_t *cin() { return reinterpret_cast<cf32_t *>(g_in.data()); }
cf32_t *cout_() { return reinterpret_cast<cf32_t *>(g_out.data()); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    Args a(data + 1, size - 1);
    switch (data[0] % 13) {
        case 0:
            if (resamp_t *r = resamp_create(a.f())) {
                resamp_execute(r, cin(), kN, cout_(), kCap);
                resamp_set_rate(r, a.f());
                resamp_execute_outputs(r, a.n());
                resamp_execute(r, cin(), kN, cout_(), kCap);
                resamp_destroy(r);
            }
            break;
        case 1: {
            const int comp = static_cast<int>(a.u() & 1);
            if (RateConverter_t *c = RateConverter_create(comp, a.f())) {
                RateConverter_execute(c, cin(), kN, cout_(), kCap);
                RateConverter_execute_outputs(c, a.n(), a.u());
                RateConverter_execute_ctrl_outputs(c, a.n(), a.f(), kCap);
                RateConverter_destroy(c);
            }
            break;
        }
        case 2: {
            const int pulse = static_cast<int>(a.u() % 4);
            const size_t span = a.u() % 65, phases = size_t{1} << (a.u() % 13);
            if (ddc *d = ddc_create_matched(pulse, span, phases, a.f(), a.f(), a.f(), a.f())) {
                ddc_execute(d, cin(), kN, cout_(), kCap);
                ddc_set_norm_freq(d, a.f());
                ddc_execute_ctrl_outputs_max(d, a.n(), a.f());
                ddc_destroy(d);
            }
            break;
        }
        case 3:
            if (cic_t *c = cic_create(static_cast<uint32_t>(a.u()))) {
                cic_decimate(c, cin(), kN, cout_(), kCap);
                cic_reconfigure(c, static_cast<uint32_t>(a.u()));
                cic_decimate_outputs(c, a.n());
                cic_destroy(c);
            }
            break;
        case 4:
            if (agc_t *g = agc_create(a.f(), a.f(), a.f())) {
                agc_set_block_len(g, static_cast<int64_t>(a.u()));
                agc_steps(g, cin(), cout_(), kN);
                agc_destroy(g);
            }
            break;
        case 5: {
            const double mu = a.f(), alpha = a.f(), err = a.f(), tol = a.f();
            agc_settling_samples(mu, alpha, err, tol);
            kaiser_num_taps(static_cast<long long>(a.u()), a.f(), a.f(), a.f());
            kaiser_beta(a.f());
            wfm_awgn_amplitude(static_cast<float>(a.f()), static_cast<float>(a.f()));
            wfm_ebno_to_snr_db(static_cast<float>(a.f()), static_cast<int>(a.u()), static_cast<float>(a.f()));
            break;
        }
        case 6: {
            const uint64_t n = a.u() % 5000, pad = a.u() % 64, bits = a.u() % 80;
            const unsigned window = static_cast<unsigned>(a.u() % 4), mode = static_cast<unsigned>(a.u() % 5);
            const double fs = a.f();
            const float beta = static_cast<float>(a.f());
            const double fsc = a.f(), alpha = a.f();
            if (psd *p = psd_create(n, window, pad, bits, mode, fs, beta, fsc, alpha)) {
                std::vector<float> x(2 * n, 0.5f), out(psd_psd_db_max_out(p) + 1);
                psd_accumulate(p, x.data(), n);
                psd_psd_db(p, 0, out.data(), out.size());
                const double bands[4] = {a.f(), a.f(), a.f(), a.f()};
                psd_total_band_power(p, bands, 4);
                psd_occupied_bw(p, a.f());
                psd_snr(p, a.f(), a.f());
                psd_sfdr(p, static_cast<float>(a.f()));
                psd_destroy(p);
            }
            break;
        }
        case 7:
            if (pn *p = pn_create(a.u(), a.u(), static_cast<uint32_t>(a.u()), static_cast<int>(a.u()))) {
                std::vector<uint8_t> bits(kN);
                pn_generate(p, kN, bits.data(), bits.size());
                pn_destroy(p);
            }
            mls_poly(static_cast<uint32_t>(a.u()));
            break;
        case 8:
            if (lo *l = lo_create(a.f())) {
                lo_steps(l, kN, g_out.data(), kCap);
                lo_set_norm_freq(l, a.f());
                const double ctrl[4] = {a.f(), a.f(), a.f(), a.f()};
                lo_steps_ctrl(l, ctrl, 4, g_out.data(), kCap);
                lo_destroy(l);
            }
            break;
        case 9: {
            const int type = static_cast<int>(a.u() % 10), snr_mode = static_cast<int>(a.u() % 5);
            const uint32_t seed = static_cast<uint32_t>(a.u());
            const int sps = static_cast<int>(a.u() % 64), pn_len = static_cast<int>(a.u() % 70);
            const uint64_t poly = a.u();
            const double fs = a.f(), freq = a.f(), snr = a.f(), f_end = a.f();
            if (wfm_synth *e = wfm_synth_create(type, snr_mode, seed, sps, pn_len, poly, fs, freq, snr, f_end,
                                                static_cast<int>(a.u() % 3))) {
                wfm_synth_steps(e, g_out.data(), kN);
                wfm_synth_set_chirp_span(e, a.u());
                wfm_synth_set_nsps(e, static_cast<int>(a.u()));
                wfm_synth_steps(e, g_out.data(), kN);
                wfm_synth_destroy(e);
            }
            break;
        }
        case 10:
            if (struct awgn *n = awgn_create(a.u(), static_cast<float>(a.f()))) {
                awgn_generate(n, kN, g_out.data(), kCap);
                awgn_destroy(n);
            }
            break;
        case 11:
            if (acc_trace *t = acc_trace_create(a.u() % 100000, static_cast<unsigned>(a.u()), a.f())) {
                std::vector<float> frame(acc_trace_value_max_out(t), 1.0f);
                acc_trace_accumulate(t, frame.data(), frame.size());
                acc_trace_value(t, 0, frame.data(), frame.size());
                acc_trace_destroy(t);
            }
            break;
        default: {
            const double nf = a.f(), rate = a.f();
            if (ddcr *d = ddcr_create(nf, rate)) {
                ddcr_execute(d, g_in.data(), kN, cout_(), kCap);
                ddcr_destroy(d);
            }
            break;
        }
    }
    return 0;
}
