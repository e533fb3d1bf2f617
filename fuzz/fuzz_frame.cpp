// Stream frame validation against an independent model of the frame rules:
// both must accept exactly the same byte strings, and an accepted frame's
// payload must lie inside the message and match its header.
#include <cstring>

#include "fuzz_support.h"
#include "stream/stream_core.h"

using fuzz::require;

template <class T> static T field(const uint8_t *p, size_t off) {
    T v;
    std::memcpy(&v, p + off, sizeof v);
    return v;
}

static size_t model_element_size(uint16_t kind, uint16_t type) {
    if (kind == 1) return 16;
    if (kind != 0) return 0;
    switch (type) {
    case 0x4243: return 2;  // CB
    case 0x4943: return 4;  // CI
    case 0x4C43: return 8;  // CL
    case 0x4643: return 8;  // CF
    case 0x4443: return 16; // CD
    case 0x4253: return 1;  // SB
    case 0x4953: return 2;  // SI
    case 0x4C53: return 4;  // SL
    case 0x4653: return 4;  // SF
    case 0x4453: return 8;  // SD
    default: return 0;
    }
}

static bool model_accepts(const uint8_t *p, size_t n) {
    if (n < 64) return false;
    if (std::memcmp(p, "SXSTREAM", 8) != 0 || std::memcmp(p + 8, "EEEI", 4) != 0) return false;
    const auto type = field<uint16_t>(p, 12), kind = field<uint16_t>(p, 14);
    const auto version = field<uint16_t>(p, 16), flags = field<uint16_t>(p, 18);
    if (version != 2 || flags > 1) return false;
    const size_t head = flags ? 88 : 64;
    if (n < head) return false;
    const unsigned __int128 payload = n - head;
    if (field<uint32_t>(p, 20) != payload) return false;  // the length field states the payload
    const auto count = field<uint64_t>(p, 56);
    if (kind == 2) return payload == 0 && count == 0 && type == 0;
    const size_t e = model_element_size(kind, type);
    return e != 0 && static_cast<unsigned __int128>(e) * count == payload;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    sx_frame_header h{};
    sx_frag_ext x{};
    int has_ext = -1;
    const void *payload = nullptr;
    size_t plen = 0;
    const int rc = sx_frame_parse(data, size, &h, &x, &has_ext, &payload, &plen);
    require(rc == 0 || rc == SX_ERR_INVALID, "parse returns 0 or SX_ERR_INVALID");
    require((rc == 0) == model_accepts(data, size), "parse agrees with the frame rules");
    if (rc != 0) return 0;
    const size_t head = has_ext ? 88 : 64;
    require(has_ext == (h.flags & 1), "extension present exactly when flagged");
    require(payload == data + head && plen == size - head, "payload follows the header");
    require(std::memcmp(&h, data, 64) == 0, "header copied as sent");
    if (has_ext) require(std::memcmp(&x, data + 64, 24) == 0, "extension copied as sent");
    if (h.kind == 0) {
        const double p = sx_mean_power(h.sample_type, payload, h.num_samples);
        require(!(p < 0), "mean power is not negative");
    }
    return 0;
}
