// The machinery shared by the 1-D and 2-D correlation detectors: the mirrored
// sample ring, the push loop, the peak and noise measurement, telemetry and
// the state blob. Each detector supplies a traits type naming its correlator
// calls, its result record and its blob tag. Internal C++.
#pragma once
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

#include "core/sx_aligned.h"
#include "core/sx_mirror.h"
#include "core/sx_state.h"
#include "core/sx_tlm_core.h"
#include "spectral/corr_core.h"
#include "spectral/detector_core.h"
#include "spectral/fft_core.h"

namespace sx::spectral {

// Largest ring tried when the mapping of a smaller one fails.
inline constexpr uint64_t kMaxRingSamples = uint64_t{1} << 28;
inline constexpr size_t kSampleBytes = 8;  // one cf32

template <class Traits> struct Detector {
    using Corr = typename Traits::Corr;
    using Result = typename Traits::Result;

    Corr *corr = nullptr;
    float *ring = nullptr;  // 2*cap samples of address space, mirrored
    uint64_t cap = 0, mask = 0, head = 0, tail = 0;
    AlignedBuf<cf32> own_out;
    cf32 *out = nullptr;  // where dumps go: own_out or the caller's buffer
    AlignedBuf<float> mag, noise;
    uint64_t n = 0, lo = 0, hi = 0;
    int mode = 0;
    float threshold = 0.0f;
    Result last{};
    uint32_t has_last = 0;
    sx_tlm *tlm = nullptr;
    int probe[3] = {-1, -1, -1};

    ~Detector() {
        mirror_unmap(ring, cap * kSampleBytes);
        Traits::destroy(corr);
    }

    // Geometry, ring and buffers; the correlator is made by the caller first.
    bool init(Corr *c, uint64_t frame, uint64_t noise_lo, uint64_t noise_hi, int noise_mode, float t) {
        corr = c;
        if (corr == nullptr || frame == 0 || frame > kMaxRingSamples || noise_mode < 0 || noise_mode > 3)
            return false;
        n = frame;
        const uint64_t a = std::min(noise_lo, n - 1), b = std::min(noise_hi, n - 1);
        lo = std::min(a, b);
        hi = std::max(a, b);
        mode = noise_mode;
        threshold = t;
        uint64_t c_len = 2;
        while (c_len < std::max<uint64_t>(n, 512)) c_len *= 2;
        while (c_len * kSampleBytes < page_size()) c_len *= 2;
        for (; c_len <= kMaxRingSamples; c_len *= 2) {
            ring = static_cast<float *>(mirror_map(c_len * kSampleBytes));
            if (ring != nullptr) break;
        }
        if (ring == nullptr) return false;
        cap = c_len;
        mask = cap - 1;
        own_out = make_aligned<cf32>(n);
        mag = make_aligned<float>(n);
        noise = make_aligned<float>(hi - lo + 1);
        out = own_out.data();
        return own_out && mag && noise;
    }

    void reset() {
        head = tail = 0;
        Traits::reset(corr);
        has_last = 0;
        last = Result{};
    }

    size_t push(const float *x, size_t n_in, Result *results, size_t max_results) {
        size_t written = 0, pos = 0;
        while (pos < n_in && written < max_results) {
            const size_t k = std::min<uint64_t>(n_in - pos, cap - (head - tail));
            if (k != 0) std::memcpy(ring + 2 * (head & mask), x + 2 * pos, k * kSampleBytes);
            head += k;
            pos += k;
            while (written < max_results && head - tail >= n) {
                const float *frame = ring + 2 * (tail & mask);
                const size_t m = Traits::execute(corr, frame, n, reinterpret_cast<float *>(out), n);
                tail += n;
                if (m != 0 && measure()) results[written++] = last;
            }
            if (k == 0) break;
        }
        return written;
    }

    // Peak and noise of the latest dump; true when the record fires.
    bool measure() {
        const size_t len = n;
        const float *__restrict c = reinterpret_cast<const float *>(out);
        float *__restrict m = mag.data();
        for (size_t j = 0; j < len; ++j) m[j] = std::sqrt(c[2 * j] * c[2 * j] + c[2 * j + 1] * c[2 * j + 1]);
        size_t at = 0;
        const float peak = peak_of(m, len, at);
        const float nz = noise_estimate();
        const float stat = nz > 0.0f ? peak / nz : 0.0f;
        has_last = 1;
        Traits::place(*this, last, at);
        last.peak_mag = peak;
        last.noise_est = nz;
        last.test_stat = stat;
        if (tlm != nullptr) {
            sx_tlm_emit(tlm, probe[0], peak);
            sx_tlm_emit(tlm, probe[1], nz);
            sx_tlm_emit(tlm, probe[2], stat);
        }
        // A NaN threshold never fires (both tests fail); a negative one always does.
        return threshold == 0.0f || stat > threshold;
    }

    // The result of an upward scan that replaces only on a strictly larger
    // value (ties and NaNs never win), in two vectorisable passes: the largest
    // value over eight lanes, then its first position.
    static float peak_of(const float *__restrict m, size_t len, size_t &at) {
        at = 0;
        if (std::isnan(m[0])) return m[0];  // nothing is larger than a leading NaN
        float lane[8];
        std::fill_n(lane, 8, m[0]);
        size_t j = 0;
        for (; j + 8 <= len; j += 8)
            for (size_t l = 0; l < 8; ++l) lane[l] = m[j + l] > lane[l] ? m[j + l] : lane[l];
        float peak = lane[0];
        for (size_t l = 1; l < 8; ++l) peak = lane[l] > peak ? lane[l] : peak;
        for (; j < len; ++j) peak = m[j] > peak ? m[j] : peak;
        while (m[at] != peak) ++at;
        return peak;
    }

    float noise_estimate() {
        const float *__restrict m = mag.data() + lo;
        const size_t cnt = hi - lo + 1;
        switch (mode) {
            case DET_NOISE_MEDIAN: {
                float *s = noise.data();
                std::memcpy(s, m, cnt * sizeof(float));
                // NaN sorts above everything, so the order stays strict and weak.
                auto less = [](float a, float b) { return a < b || (std::isnan(b) && !std::isnan(a)); };
                std::nth_element(s, s + cnt / 2, s + cnt, less);
                return s[cnt / 2];
            }
            case DET_NOISE_MIN: {
                float v = m[0];
                for (size_t j = 1; j < cnt; ++j) v = m[j] < v ? m[j] : v;
                return v;
            }
            case DET_NOISE_MAX: {
                float v = m[0];
                for (size_t j = 1; j < cnt; ++j) v = m[j] > v ? m[j] : v;
                return v;
            }
            default: {
                // Four partial sums: independent chains the compiler can keep in
                // vector registers.
                float s0 = 0, s1 = 0, s2 = 0, s3 = 0;
                size_t j = 0;
                for (; j + 4 <= cnt; j += 4) {
                    s0 += m[j];
                    s1 += m[j + 1];
                    s2 += m[j + 2];
                    s3 += m[j + 3];
                }
                for (; j < cnt; ++j) s0 += m[j];
                return ((s0 + s1) + (s2 + s3)) / static_cast<float>(cnt);
            }
        }
    }

    int set_telemetry(sx_tlm *ctx, const char *prefix, uint32_t decim) {
        if (ctx == nullptr) {
            tlm = nullptr;
            probe[0] = probe[1] = probe[2] = -1;
            return SX_OK;
        }
        if (prefix == nullptr) prefix = "det";
        static const char *const kinds[3] = {"peak", "noise", "stat"};
        char names[3][SX_TLM_NAME_MAX];
        for (int i = 0; i < 3; ++i) {
            const int len = std::snprintf(names[i], SX_TLM_NAME_MAX, "%s.%s", prefix, kinds[i]);
            // A cut name would merge probes or alias another block's.
            if (len < 0 || len >= SX_TLM_NAME_MAX) return SX_ERR_INVALID;
        }
        if (decim == 0) return SX_ERR_INVALID;
        int ids[3];
        for (int i = 0; i < 3; ++i)
            if ((ids[i] = sx_tlm_probe(ctx, names[i], decim)) < 0) return SX_ERR_INVALID;
        tlm = ctx;
        std::copy(ids, ids + 3, probe);
        return SX_OK;
    }

    // ---- state blob

    size_t state_bytes() const {
        return kStateHeaderBytes + Traits::state_bytes(corr) + 8 + cap * kSampleBytes + Traits::kLastBytes;
    }

    void get_state(void *blob) const {
        StateWriter w(blob);
        w.header(Traits::tag(), state_bytes());
        Traits::get_state(corr, w.pos());
        w.skip(Traits::state_bytes(corr));
        const uint64_t u = head - tail;
        w.put(u);
        w.bytes(ring + 2 * (tail & mask), u * kSampleBytes);
        std::memset(w.pos(), 0, (cap - u) * kSampleBytes);
        w.skip((cap - u) * kSampleBytes);
        Traits::put_last(w, last);
        w.put(has_last);
    }

    int set_state(const void *blob) {
        StateReader r(blob);
        if (!r.header(Traits::tag(), state_bytes())) return SX_ERR_INVALID;
        const uint8_t *corr_blob = r.pos();
        if (!Traits::state_ok(corr, corr_blob)) return SX_ERR_INVALID;
        r.skip(Traits::state_bytes(corr));
        const auto u = r.get<uint64_t>();
        if (u > cap) return SX_ERR_INVALID;
        const uint8_t *samples = r.pos();
        r.skip(cap * kSampleBytes);
        Result l{};
        if (!Traits::get_last(r, l, *this)) return SX_ERR_INVALID;
        const auto hl = r.get<uint32_t>();
        if (hl > 1) return SX_ERR_INVALID;
        // Everything checked: apply.
        Traits::state_apply(corr, corr_blob);
        head = u;
        tail = 0;
        std::memcpy(ring, samples, u * kSampleBytes);
        last = l;
        has_last = hl;
        return SX_OK;
    }
};

}  // namespace sx::spectral
