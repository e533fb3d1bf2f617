// Fragment reassembly driven by compact fragment descriptions. Every
// fragment's payload byte at whole-payload position p is pattern(key, seq, p),
// so a completed frame must hold exactly that pattern over its whole length:
// a frame handed out with a hole, a misplaced fragment or a wrong length fails.
// A refused fragment must leave the frames in progress as they were.
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "stream/stream_core.h"

using fuzz::require;

namespace {

constexpr int64_t kMaxPayload = 88 + 512;
constexpr size_t kOpBytes = 11;

uint8_t pattern(unsigned key, uint64_t seq, uint64_t p) {
    return static_cast<uint8_t>(key * 37u + seq * 101u + p * 7u + (p >> 8));
}

struct Kind {
    uint16_t kind, type;
    size_t elem;
};
constexpr Kind kKinds[] = {{0, 0x4643, 8}, {0, 0x4243, 2}, {1, 0, 16}, {0, 0x4453, 8}, {2, 0, 0}, {0, 0x1234, 0}};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    sx_reasm *r = sx_reasm_create(kMaxPayload);
    require(r != nullptr, "reassembler created");
    std::vector<uint8_t> frame;
    for (size_t at = 0; at + kOpBytes <= size; at += kOpBytes) {
        const uint8_t *op = data + at;
        const unsigned key = op[0] & 3;
        const uint64_t seq = op[1] & 3;
        const Kind &k = kKinds[(op[0] >> 2) % (sizeof kKinds / sizeof kKinds[0])];
        const size_t unit = k.elem ? k.elem : 1;
        const uint32_t index = op[2] & 15, count = op[3] & 15;
        const uint64_t total = static_cast<uint64_t>(op[4] | (op[5] << 8)) * unit;
        const uint64_t offset = static_cast<uint64_t>(op[6] | (op[7] << 8)) * unit;
        size_t len = static_cast<size_t>(op[8] | (op[9] << 8)) % 1024;
        const uint8_t corrupt = op[10];

        frame.assign(88 + len, 0);
        sx_frame_header h{};
        std::memcpy(h.magic, "SXSTREAM", 8);
        std::memcpy(h.byte_order, "EEEI", 4);
        h.sample_type = k.type;
        h.kind = k.kind;
        h.version = 2;
        h.flags = SX_FRAME_FLAG_FRAG;
        h.payload_bytes = static_cast<uint32_t>(len);
        h.seq = seq;
        h.timestamp_ns = 1000 + seq;
        h.num_samples = len / unit;
        const sx_frag_ext x{index, count, total, offset};
        std::memcpy(frame.data(), &h, 64);
        std::memcpy(frame.data() + 64, &x, 24);
        for (size_t j = 0; j < len; ++j) frame[88 + j] = pattern(key, seq, offset + j);
        size_t length = frame.size();
        // A damaged header byte: anything but the frame's identity (seq,
        // timestamp) and the extension, which the payload pattern depends on.
        if (corrupt & 0x80) {
            const size_t i = corrupt & 0x1f;
            frame[i < 24 ? i : 56 + (i - 24)] ^= 0x01;
        }
        if ((corrupt & 0x40) && length > 0) --length;        // a message cut short

        const char keys[4][2] = {"a", "b", "c", "d"};
        const size_t pending = sx_reasm_pending(r);
        const uint64_t abandoned = sx_reasm_abandoned(r);
        sx_msg *msg = nullptr;
        sx_frame_header out{};
        const int rc = sx_reasm_push(r, keys[key], frame.data(), length, &msg, &out);
        require(rc == 0 || rc == 1 || rc == SX_ERR_INVALID, "push returns 0, 1 or SX_ERR_INVALID");
        if (rc < 0) {
            require(sx_reasm_pending(r) == pending && sx_reasm_abandoned(r) == abandoned,
                    "a refused fragment changes nothing");
            continue;
        }
        require(sx_reasm_pending(r) <= 8, "at most 8 frames in progress");
        if (rc == 0) {
            require(msg == nullptr, "no message before completion");
            continue;
        }
        require(msg != nullptr, "a completed frame yields a message");
        const size_t n = sx_msg_size(msg);
        const auto *p = static_cast<const uint8_t *>(sx_msg_data(msg));
        require(n == total && n == out.payload_bytes, "completed payload has the total length");
        const size_t e = sx_element_size(out.kind, out.sample_type);
        require(e != 0 && sx_msg_num_samples(msg) * e == n && out.num_samples == n / e, "sample count of the whole");
        require(out.seq == seq && out.flags == 0, "header of the whole frame");
        for (size_t j = 0; j < n; ++j) require(p[j] == pattern(key, seq, j), "every byte in its place");
        sx_msg_free(msg);
    }
    sx_reasm_destroy(r);
    return 0;
}
