// Sample codec: unit-scale complex float samples (cf32, I then Q) to and from
// the ten wire sample types, with the gain, peak and clip accounting that the
// capture writer and the stream sink apply. One component (sx_sample_codec),
// compiled into every module that writes or reads wire samples.
//
// Wire types are numbered by capture index: cf32 0, cf64 1, ci32 2, ci16 3,
// ci8 4, then their scalar twins f32 5, f64 6, i32 7, i16 8, i8 9 (element
// kind = index mod 5). A scalar wire type carries the real part only.
//
// Integer quantisation (writer and sink): x > 1 gives full scale (2147483647,
// 32767, 127); otherwise max(-1, x) times full scale, truncated toward zero,
// so -1 gives -full scale, never the most negative code. NaN gives 0.
// Dequantisation (reader): code × the nearest double to 1/full scale, rounded
// to float. Float types are carried as they are (float64 narrowed on reading).
#pragma once
#include <cstddef>
#include <cstdint>

#include "core/sx_status.h"

namespace sx::codec {

enum Wire : int {
    kCF32 = 0, kCF64 = 1, kCI32 = 2, kCI16 = 3, kCI8 = 4,
    kF32 = 5, kF64 = 6, kI32 = 7, kI16 = 8, kI8 = 9,
};
inline constexpr int kWireCount = 10;

struct WireInfo {
    const char *name;        // "cf32" ... "i8"
    sx_sample_type_t code;   // two-letter format code as a u16 (SX_SAMPLE_*)
    uint8_t elem_bytes;      // 4, 8, 4, 2, 1
    uint8_t sample_bytes;    // elem_bytes × (2 complex, 1 scalar)
    bool is_complex;
    bool is_integer;
    double full_scale;       // 2^(n-1) - 1 for integers, 1 for floats
    double recip;            // nearest double to 1/full_scale (1 for floats)
};

// The wire type's description; wire must be in 0..9 (valid_wire).
const WireInfo &wire_info(int wire);
inline bool valid_wire(int wire) { return wire >= 0 && wire < kWireCount; }

// One component x (already times the gain) to an integer code of full scale
// `full` (2147483647, 32767 or 127): saturating, truncating, NaN to 0. The
// clamp is done in float (exact) and the product in double, which holds every
// float × 32767 or × 127 exactly, so no value just below a code rounds onto it.
inline int32_t quantise(float x, double full) {
    x = x > 1.0f ? 1.0f : x;
    x = x < -1.0f ? -1.0f : x;
    x = x == x ? x : 0.0f;
    return static_cast<int32_t>(static_cast<double>(x) * full);
}

// Which components count toward the clip count: none, the real part only
// (scalar wire types), or both.
enum class ClipCount { none, real_only, both };
// The writer's rule: clips are counted only while tracking, only for integer
// wire types, on both components of a complex type and the real part of a scalar one.
ClipCount clip_rule(int wire, bool tracking);

// Peak and clip accounting over I' = I·gain, Q' = Q·gain (single precision) of
// n samples: peak = max(peak, |I'|, |Q'|) over both components whatever the
// wire type (a NaN never becomes the peak; an infinity does); clips += the
// number of counted components with |x'| > 1.
void account(const float *iq, size_t n, float gain, ClipCount count, float &peak, uint64_t &clips);

// True when encoding is a plain copy: cf32 at gain exactly 1 in host byte order.
bool encode_is_copy(int wire, float gain, bool big_endian);

// Encodes n samples times gain into out (n × sample_bytes bytes) in the given
// byte order (big_endian true: big, false: little). A scalar type takes the
// real parts. out must not overlap iq.
void encode(int wire, const float *iq, size_t n, float gain, bool big_endian, void *out);

// Decodes n wire samples (n × sample_bytes bytes, in the given byte order) to
// unit-scale cf32 pairs in out; a scalar type gives Q exactly 0.
void decode(int wire, const void *in, size_t n, bool big_endian, float *out);

}  // namespace sx::codec
