#include "core/sample_codec.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

namespace sx::codec {

namespace {

constexpr WireInfo kWires[kWireCount] = {
    {"cf32", SX_SAMPLE_CF32, 4, 8, true, false, 1.0, 1.0},
    {"cf64", SX_SAMPLE_CF64, 8, 16, true, false, 1.0, 1.0},
    {"ci32", SX_SAMPLE_CI32, 4, 8, true, true, 2147483647.0, 1.0 / 2147483647.0},
    {"ci16", SX_SAMPLE_CI16, 2, 4, true, true, 32767.0, 1.0 / 32767.0},
    {"ci8", SX_SAMPLE_CI8, 1, 2, true, true, 127.0, 1.0 / 127.0},
    {"f32", SX_SAMPLE_F32, 4, 4, false, false, 1.0, 1.0},
    {"f64", SX_SAMPLE_F64, 8, 8, false, false, 1.0, 1.0},
    {"i32", SX_SAMPLE_I32, 4, 4, false, true, 2147483647.0, 1.0 / 2147483647.0},
    {"i16", SX_SAMPLE_I16, 2, 2, false, true, 32767.0, 1.0 / 32767.0},
    {"i8", SX_SAMPLE_I8, 1, 1, false, true, 127.0, 1.0 / 127.0},
};

constexpr bool kHostBig = __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__;

template <class U> inline U bswap(U u) {
    if constexpr (sizeof(U) == 2) return __builtin_bswap16(u);
    if constexpr (sizeof(U) == 4) return __builtin_bswap32(u);
    if constexpr (sizeof(U) == 8) return __builtin_bswap64(u);
    return u;
}

template <class T> using Bits = std::conditional_t<
    sizeof(T) == 1, uint8_t,
    std::conditional_t<sizeof(T) == 2, uint16_t, std::conditional_t<sizeof(T) == 4, uint32_t, uint64_t>>>;

// ---- encoding -------------------------------------------------------------

// n samples (stride 1 over 2n components for complex, the real parts only for
// scalar) into out, in host order. The integer loops vectorise only because
// this file is built without trapping math (the clamps are compares).
template <class T, bool Complex> void convert(const float *__restrict iq, size_t n, float g, T *__restrict out) {
    const size_t m = Complex ? 2 * n : n;
    constexpr size_t step = Complex ? 1 : 2;
    if constexpr (std::is_same_v<T, float>) {
        for (size_t i = 0; i < m; ++i) out[i] = iq[i * step] * g;
    } else if constexpr (std::is_same_v<T, double>) {
        for (size_t i = 0; i < m; ++i) out[i] = static_cast<double>(iq[i * step] * g);
    } else {
        const double full = static_cast<double>(std::numeric_limits<T>::max());
        for (size_t i = 0; i < m; ++i) out[i] = static_cast<T>(quantise(iq[i * step] * g, full));
    }
}

template <class T, bool Complex> void encode_as(const float *iq, size_t n, float g, bool swap, void *out) {
    T *o = static_cast<T *>(out);
    convert<T, Complex>(iq, n, g, o);
    if constexpr (sizeof(T) > 1) {
        if (swap) {
            using U = Bits<T>;
            U *p = static_cast<U *>(out);
            const size_t m = Complex ? 2 * n : n;
            for (size_t i = 0; i < m; ++i) p[i] = bswap(p[i]);
        }
    }
}

// ---- decoding -------------------------------------------------------------

template <class T, bool Swap> inline float load_elem(const uint8_t *p, double recip) {
    T v;
    if constexpr (Swap && sizeof(T) > 1) {
        Bits<T> u;
        std::memcpy(&u, p, sizeof u);
        u = bswap(u);
        std::memcpy(&v, &u, sizeof v);
    } else {
        std::memcpy(&v, p, sizeof v);
    }
    if constexpr (std::is_same_v<T, float>)
        return v;
    else if constexpr (std::is_same_v<T, double>)
        return static_cast<float>(v);
    else
        return static_cast<float>(static_cast<double>(v) * recip);
}

template <class T, bool Swap, bool Complex>
void decode_as(const uint8_t *__restrict src, size_t n, float *__restrict out, double recip) {
    constexpr size_t es = sizeof(T);
    if constexpr (Complex) {
        const size_t m = 2 * n;
        for (size_t j = 0; j < m; ++j) out[j] = load_elem<T, Swap>(src + j * es, recip);
    } else {
        for (size_t i = 0; i < n; ++i) {
            out[2 * i] = load_elem<T, Swap>(src + i * es, recip);
            out[2 * i + 1] = 0.0f;
        }
    }
}

template <class T, bool Complex> void decode_order(const void *in, size_t n, bool swap, float *out, double recip) {
    const auto *src = static_cast<const uint8_t *>(in);
    if (swap)
        decode_as<T, true, Complex>(src, n, out, recip);
    else
        decode_as<T, false, Complex>(src, n, out, recip);
}

// Calls f.template operator()<T, Complex>() for the wire's element type.
template <class F> void dispatch(int wire, F &&f) {
    switch (wire) {
    case kCF32: f.template operator()<float, true>(); break;
    case kCF64: f.template operator()<double, true>(); break;
    case kCI32: f.template operator()<int32_t, true>(); break;
    case kCI16: f.template operator()<int16_t, true>(); break;
    case kCI8: f.template operator()<int8_t, true>(); break;
    case kF32: f.template operator()<float, false>(); break;
    case kF64: f.template operator()<double, false>(); break;
    case kI32: f.template operator()<int32_t, false>(); break;
    case kI16: f.template operator()<int16_t, false>(); break;
    default: f.template operator()<int8_t, false>(); break;
    }
}

}  // namespace

const WireInfo &wire_info(int wire) { return kWires[wire]; }

ClipCount clip_rule(int wire, bool tracking) {
    const WireInfo &t = kWires[wire];
    if (!tracking || !t.is_integer) return ClipCount::none;
    return t.is_complex ? ClipCount::both : ClipCount::real_only;
}

// The running maximum is kept in two 4-lane vectors: GCC does not vectorise a
// float max reduction by itself without fast-math, and this loop runs over
// every sample written.
void account(const float *iq, size_t n, float g, ClipCount count, float &peak, uint64_t &clips) {
    typedef float v4f __attribute__((vector_size(16)));
    typedef int32_t v4i __attribute__((vector_size(16)));
    const size_t m = 2 * n;
    const v4f gv = {g, g, g, g};
    const v4i abs_mask = {0x7fffffff, 0x7fffffff, 0x7fffffff, 0x7fffffff};
    v4f m0 = {}, m1 = {};
    size_t i = 0;
    for (; i + 8 <= m; i += 8) {
        v4f a, b;
        std::memcpy(&a, iq + i, sizeof a);
        std::memcpy(&b, iq + i + 4, sizeof b);
        a = reinterpret_cast<v4f>(reinterpret_cast<v4i>(a * gv) & abs_mask);
        b = reinterpret_cast<v4f>(reinterpret_cast<v4i>(b * gv) & abs_mask);
        // A NaN never compares greater, so it never becomes the peak.
        m0 = a > m0 ? a : m0;
        m1 = b > m1 ? b : m1;
    }
    float pk = peak;
    for (int k = 0; k < 4; ++k) {
        pk = m0[k] > pk ? m0[k] : pk;
        pk = m1[k] > pk ? m1[k] : pk;
    }
    for (; i < m; ++i) {
        const float a = std::fabs(iq[i] * g);
        pk = a > pk ? a : pk;
    }
    peak = pk;
    uint64_t c = 0;
    if (count == ClipCount::both) {
        for (size_t j = 0; j < m; ++j) c += std::fabs(iq[j] * g) > 1.0f;
    } else if (count == ClipCount::real_only) {
        for (size_t j = 0; j < n; ++j) c += std::fabs(iq[2 * j] * g) > 1.0f;
    }
    clips += c;
}

bool encode_is_copy(int wire, float gain, bool big_endian) {
    return wire == kCF32 && gain == 1.0f && big_endian == kHostBig;
}

void encode(int wire, const float *iq, size_t n, float gain, bool big_endian, void *out) {
    const bool swap = big_endian != kHostBig;
    dispatch(wire, [&]<class T, bool Complex>() { encode_as<T, Complex>(iq, n, gain, swap, out); });
}

void decode(int wire, const void *in, size_t n, bool big_endian, float *out) {
    const bool swap = big_endian != kHostBig;
    const double recip = kWires[wire].recip;
    dispatch(wire, [&]<class T, bool Complex>() { decode_order<T, Complex>(in, n, swap, out, recip); });
}

}  // namespace sx::codec
