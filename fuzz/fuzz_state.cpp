// State blobs of every stateful core. The first input byte picks the block;
// the rest is XOR-ed onto a valid blob taken after some processing, so the
// fuzzer starts from acceptance and explores both the header and every field a
// restore checks. Properties: a refused blob leaves the state byte for byte as
// it was; an accepted one leaves a block that processes without fault and whose
// saved state restores into a twin and saves back identically.
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "ddc/ddc_core.h"
#include "ddc/ddcr_core.h"
#include "fuzz_support.h"
#include "resample/RateConverter_core.h"
#include "resample/agc_core.h"
#include "resample/cic_core.h"
#include "resample/farrow_core.h"
#include "resample/fir_core.h"
#include "resample/hbdecim_core.h"
#include "resample/hbdecim_q15_core.h"
#include "resample/hbdecim_r2c_core.h"
#include "resample/resamp_core.h"
#include "spectral/acc_trace_core.h"
#include "spectral/corr2d_core.h"
#include "spectral/corr_core.h"
#include "spectral/detector_core.h"
#include "spectral/psd_core.h"
#include "wfm/awgn_core.h"
#include "wfm/gold_core.h"
#include "wfm/lo_core.h"
#include "wfm/pn_core.h"
#include "wfm/viterbi_core.h"
#include "wfm/wfm_synth_core.h"

using fuzz::require;

namespace {

constexpr size_t kIn = 96, kOut = 8192;
float g_in[2 * kIn];
float g_out[2 * kOut];
int16_t g_q15_in[2 * kIn], g_q15_out[2 * kOut];
uint8_t g_bits[kOut];
int8_t g_soft[2 * kIn];
det_result_t g_det[64];
det_result2d_t g_det2[64];
const float kTaps[8] = {0.02f, -0.05f, 0.1f, 0.3f, 0.3f, 0.1f, -0.05f, 0.02f};

cf32_t *cin() { return reinterpret_cast<cf32_t *>(g_in); }
cf32_t *cout_() { return reinterpret_cast<cf32_t *>(g_out); }

struct Block {
    virtual ~Block() = default;
    virtual size_t bytes() = 0;
    virtual void get(void *blob) = 0;
    virtual int set(const void *blob) = 0;
    virtual void run() = 0;
};

template <class T, auto Destroy, auto Bytes, auto Get, auto Set> struct Typed final : Block {
    T *h;
    void (*step)(T *);
    Typed(T *handle, void (*s)(T *)) : h(handle), step(s) { require(h != nullptr, "block created"); }
    ~Typed() override { Destroy(h); }
    size_t bytes() override { return Bytes(h); }
    void get(void *blob) override { Get(h, blob); }
    int set(const void *blob) override { return Set(h, blob); }
    void run() override { step(h); }
};

template <class T, auto Destroy, auto Bytes, auto Get, auto Set>
std::function<std::unique_ptr<Block>()> maker(T *(*create)(), void (*step)(T *)) {
    return [create, step] { return std::make_unique<Typed<T, Destroy, Bytes, Get, Set>>(create(), step); };
}

#define KV_STATE(p) p##_destroy, p##_state_bytes, p##_get_state, p##_set_state

const std::vector<std::function<std::unique_ptr<Block>()>> &makers() {
    static const std::vector<std::function<std::unique_ptr<Block>()>> table = {
        maker<fir_t, KV_STATE(fir)>([] { return fir_create_real(kTaps, 8); },
                                    [](fir_t *f) { fir_execute(f, cin(), kIn, cout_()); }),
        maker<resamp_t, KV_STATE(resamp)>([] { return resamp_create(1.37); },
                                          [](resamp_t *r) { resamp_execute(r, cin(), kIn, cout_(), kOut); }),
        maker<resamp_t, resamp_destroy, resamp_state_bytes, resamp_get_state, Resampler_set_state>(
            [] { return Resampler_create(0.61); },
            [](resamp_t *r) { Resampler_execute(r, cin(), kIn, cout_(), kOut); }),
        maker<hbdecim_t, KV_STATE(hbdecim)>([] { return hbdecim_create(8, kTaps); },
                                            [](hbdecim_t *h) { hbdecim_execute(h, cin(), kIn, cout_(), kOut); }),
        maker<hbdecim_r2c_t, KV_STATE(hbdecim_r2c)>(
            [] { return hbdecim_r2c_create(8, kTaps); },
            [](hbdecim_r2c_t *h) { hbdecim_r2c_execute(h, g_in, kIn, cout_(), kOut); }),
        maker<hbdecim_q15_t, KV_STATE(hbdecim_q15)>(
            [] { return hbdecim_q15_create(8, kTaps); },
            [](hbdecim_q15_t *h) { hbdecim_q15_execute(h, g_q15_in, kIn, g_q15_out, kOut); }),
        maker<cic_t, KV_STATE(cic)>([] { return cic_create(8); },
                                    [](cic_t *c) { cic_decimate(c, cin(), kIn, cout_(), kOut); }),
        maker<farrow_t, KV_STATE(farrow)>([] { return farrow_create(2); },
                                          [](farrow_t *f) { farrow_delay(f, cin(), kIn, cout_(), kOut, 0.3); }),
        maker<agc_t, KV_STATE(agc)>([] { return agc_create(-6.0, 0.01, 0.5); },
                                    [](agc_t *a) { agc_steps(a, cin(), cout_(), kIn); }),
        maker<RateConverter_t, KV_STATE(RateConverter)>(
            [] { return RateConverter_create(1, 0.137); },
            [](RateConverter_t *c) { RateConverter_execute(c, cin(), kIn, cout_(), kOut); }),
        maker<ddc, KV_STATE(ddc)>([] { return ddc_create(0.1, 0.3); },
                                  [](ddc *d) { ddc_execute(d, cin(), kIn, cout_(), kOut); }),
        maker<ddcr, KV_STATE(ddcr)>([] { return ddcr_create(0.2, 0.45); },
                                    [](ddcr *d) { ddcr_execute(d, g_in, kIn, cout_(), kOut); }),
        maker<psd, KV_STATE(psd)>([] { return psd_create(32, 0, 1, 0, 1, 1e3, 0.0f, 1.0, 0.25); },
                                  [](psd *p) {
                                      psd_accumulate(p, g_in, kIn);
                                      psd_psd_db(p, 0, g_out, kOut);
                                      psd_occupied_bw(p, 0.99);
                                      psd_noise_floor(p);
                                  }),
        maker<acc_trace, KV_STATE(acc_trace)>([] { return acc_trace_create(32, 0, 0.5); },
                                              [](acc_trace *t) {
                                                  acc_trace_accumulate(t, g_in, 32);
                                                  acc_trace_value(t, 0, g_out, kOut);
                                              }),
        maker<pn, KV_STATE(pn)>([] { return pn_create(0x60, 1, 7, 0); },
                                [](pn *p) { pn_generate(p, kIn, g_bits, kOut); }),
        maker<struct awgn, KV_STATE(awgn)>([] { return awgn_create(7, 0.5f); },
                                           [](struct awgn *a) { awgn_generate(a, kIn, g_out, kOut); }),
        maker<gold, KV_STATE(gold)>([] { return gold_create(0x12, 1, 0x1e, 1, 5); },
                                    [](gold *g) { gold_generate(g, kIn, g_bits, kOut); }),
        maker<lo, KV_STATE(lo)>([] { return lo_create(0.013); }, [](lo *l) { lo_steps(l, kIn, g_out, kOut); }),
        maker<wfm_synth, KV_STATE(wfm_synth)>(
            [] { return wfm_synth_create(WFM_SYNTH_QPSK, 0, 3, 4, 7, 0, 1e3, 50.0, 20.0, 0.0, 0); },
            [](wfm_synth *e) { wfm_synth_steps(e, g_out, kIn); }),
        maker<wfm_synth, KV_STATE(wfm_synth)>(
            [] { return wfm_synth_create(WFM_SYNTH_CHIRP, 1, 5, 1, 7, 0, 1e3, -100.0, 10.0, 300.0, 0); },
            [](wfm_synth *e) { wfm_synth_steps(e, g_out, kIn); }),
        maker<corr, KV_STATE(corr)>([] { return corr_create(g_in, 16, 4, 1, 0); },
                                    [](corr *c) { corr_execute(c, g_in, 16, g_out, kOut); }),
        maker<corr2d, KV_STATE(corr2d)>([] { return corr2d_create(g_in, 4, 4, 3, 1, 0, 0); },
                                        [](corr2d *c) { corr2d_execute(c, g_in, 16, g_out, kOut); }),
        maker<detector, KV_STATE(detector)>([] { return detector_create(g_in, 32, 2, 5, 20, 0, 0.0f, 1); },
                                            [](detector *d) { detector_push(d, g_in, 40, g_det, 64); }),
        maker<detector2d, KV_STATE(detector2d)>(
            [] { return detector2d_create(g_in, 4, 8, 2, 3, 12, 0.0f, 1, 1); },
            [](detector2d *d) { detector2d_push(d, g_in, 40, g_det2, 64); }),
        maker<viterbi27, KV_STATE(viterbi27)>([] { return viterbi27_create(0); },
                                              [](viterbi27 *v) { viterbi27_decode(v, g_soft, 2 * kIn, g_bits, kOut); }),
    };
    return table;
}

#undef KV_STATE

struct Pair {
    std::unique_ptr<Block> a, b;
    std::vector<uint8_t> valid;
};

// Blocks are built once per type (plans and tables are costly); every run
// starts from the same valid state, so runs do not depend on one another.
Pair &pair_for(size_t i) {
    static std::vector<std::unique_ptr<Pair>> pairs(makers().size());
    if (!pairs[i]) {
        auto p = std::make_unique<Pair>();
        p->a = makers()[i]();
        p->b = makers()[i]();
        for (int k = 0; k < 3; ++k) p->a->run();
        p->valid.resize(p->a->bytes());
        p->a->get(p->valid.data());
        pairs[i] = std::move(p);
    }
    return *pairs[i];
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    for (size_t i = 0; i < kIn; ++i) {
        g_in[2 * i] = 0.7f * static_cast<float>((i * 37) % 19) / 19.0f - 0.3f;
        g_in[2 * i + 1] = 0.5f - static_cast<float>((i * 11) % 7) / 7.0f;
        g_q15_in[2 * i] = static_cast<int16_t>(i * 611);
        g_q15_in[2 * i + 1] = static_cast<int16_t>(-static_cast<int>(i) * 377);
        g_soft[2 * i] = static_cast<int8_t>((i * 29) % 255 - 127);
        g_soft[2 * i + 1] = static_cast<int8_t>(127 - (i * 53) % 255);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    Pair &p = pair_for(data[0] % makers().size());
    const size_t n = p.valid.size();
    require(p.a->set(p.valid.data()) == 0, "a saved state restores");

    std::vector<uint8_t> blob(p.valid), before(n), after(n);
    for (size_t i = 1; i < size && i - 1 < n; ++i) blob[i - 1] ^= data[i];
    p.a->get(before.data());
    if (p.a->set(blob.data()) != 0) {
        p.a->get(after.data());
        require(before == after, "a refused blob changes nothing");
        return 0;
    }
    p.a->run();
    p.a->get(after.data());
    require(p.b->set(after.data()) == 0, "a state saved after an accepted blob restores");
    std::vector<uint8_t> twin(n);
    p.b->get(twin.data());
    require(twin == after, "restore then save gives the same blob");
    return 0;
}
