// Frame check and deframe on received bits: a clean frame with bit errors at
// positions the input lists (two bytes each). Descriptions: a four-field frame
// with CRC-16, a CADU (marker, Reed-Solomon, randomiser) and a general CCSDS
// description with CRC, outer code, legacy randomiser and block interleaver.
// Properties: the received bits are never written; a clean frame passes;
// a CRC-only frame with one to three flipped bits under its CRC fails; the
// frame object and the description agree; a check repeats identically.
#include <cstring>
#include <memory>
#include <set>
#include <vector>

#include "fuzz_support.h"
#include "wfm/ccsds_tm_core.h"
#include "wfm/frame_core.h"

using fuzz::require;

namespace {

struct Case {
    wfm_frame_desc_t desc{};
    wfm_frame_layout_t layout{};
    std::vector<uint8_t> clean;  // the frame's own bits
    uint64_t crc_first = 0, crc_bits = 0;  // span under the CRC, 0 bits when the check is not CRC-only
    std::unique_ptr<frame, void (*)(frame *)> object{nullptr, frame_destroy};
};

std::vector<uint8_t> g_store[8];  // literal bits the descriptions borrow
wfm_frame_ops_t g_ops;

std::vector<uint8_t> &bits_of(int slot, size_t n, unsigned mul) {
    g_store[slot].resize(n);
    for (size_t i = 0; i < n; ++i) g_store[slot][i] = static_cast<uint8_t>(((i * mul) >> 3 ^ i) & 1);
    return g_store[slot];
}

void finish(Case &c) {
    require(wfm_frame_desc_layout(&c.desc, &c.layout) == 0, "layout of a fixture");
    require(c.layout.wire == c.layout.total, "fixtures keep their bits in the frame");
    c.clean.resize(c.layout.total);
    require(wfm_frame_assemble(&c.desc, &g_ops, c.clean.data(), c.clean.size()) == c.layout.total,
            "a fixture assembles");
}

std::vector<Case> &cases() {
    static std::vector<Case> all = [] {
        require(ccsds_tm_frame_ops(&g_ops, nullptr) == 0, "operations table");
        std::vector<Case> v(3);
        // Four-field frame with CRC-16 over the payload, also as a frame object.
        wfm_frame_t f{};
        f.preamble.kind = 0;
        f.preamble.len = 8;
        f.preamble.lit = bits_of(0, 8, 5).data();
        f.preamble_reps = 2;
        f.sync.len = 16;
        f.sync.lit = bits_of(1, 16, 11).data();
        f.payload.len = 200;
        f.payload.lit = bits_of(2, 200, 7).data();
        f.crc = 1;
        require(wfm_frame_describe(&f, &v[0].desc) == 0, "four-field description");
        finish(v[0]);
        v[0].crc_first = v[0].layout.field_off[2];
        v[0].crc_bits = v[0].layout.field_bits[2] + v[0].layout.field_bits[3];
        v[0].object.reset(frame_create(&f));
        require(v[0].object != nullptr, "four-field frame object");
        // A CADU: marker, one Reed-Solomon codeword, randomiser.
        const ccsds_tm_frame_cfg_t cfg{1, 1, 1, 0};
        require(ccsds_tm_frame_describe(&cfg, 223, bits_of(3, 223 * 8, 13).data(), &v[1].desc) == 0, "CADU");
        finish(v[1]);
        // CRC, outer code, legacy randomiser and a 5-row interleaver of octets.
        ccsds_tm_frame_plan_t s{};
        s.asm_ = 1;
        s.sync = bits_of(4, 8, 3).data();
        s.sync_len = 8;
        s.payload = bits_of(5, 1784 - 16, 9).data();
        s.payload_len = 1784 - 16;
        s.crc = 1;
        s.rs_depth = 1;
        s.randomise = 2;
        s.interleave_depth = 5;
        s.interleave_unit_bits = 8;
        require(ccsds_tm_frame_desc_of(&s, &v[2].desc) == 0, "general description");
        finish(v[2]);
        return v;
    }();
    return all;
}

bool same(const wfm_frame_check_t &a, const wfm_frame_check_t &b) { return std::memcmp(&a, &b, sizeof a) == 0; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    Case &c = cases()[data[0] % cases().size()];
    const uint64_t total = c.layout.total;
    std::vector<uint8_t> rx(c.clean);
    std::set<uint64_t> flipped;
    for (size_t i = 1; i + 1 < size; i += 2) {
        const uint64_t pos = (data[i] | (data[i + 1] << 8)) % total;
        rx[pos] ^= 1;
        if (!flipped.erase(pos)) flipped.insert(pos);
    }
    const std::vector<uint8_t> sent(rx);

    wfm_frame_check_t rec{}, again{};
    const int rc = wfm_frame_check(&c.desc, &g_ops, rx.data(), &rec);
    require(rc >= -1 && rc <= 1, "check returns -1, 0 or 1");
    require(rx == sent, "a check leaves the received bits alone");
    require(rec.checked <= rec.stages && rec.ok <= rec.units && rec.corrected <= rec.units, "check record bounds");
    require(rc < 0 || (rec.passed == rc && rec.stages == c.desc.n_stages), "the verdict and stages are the record's");
    require(wfm_frame_check(&c.desc, &g_ops, rx.data(), &again) == rc && same(rec, again), "a check repeats");
    if (flipped.empty()) require(rc == 1, "a clean frame passes");
    if (c.crc_bits && !flipped.empty() && flipped.size() <= 3) {
        bool under_crc = true;
        for (uint64_t p : flipped) under_crc &= p >= c.crc_first && p < c.crc_first + c.crc_bits;
        if (under_crc) require(rc == 0, "CRC-16 catches up to three flipped bits");
    }

    if (frame *fr = c.object.get()) {
        wfm_frame_check_t obj{};
        frame_check(fr, rx.data(), rx.size(), &obj);
        require(rc < 0 || same(obj, rec), "the frame object checks as its description does");
        std::vector<uint8_t> out(total + 7, 0xAA);
        const uint64_t n = frame_deframe(fr, rx.data(), rx.size(), out.data(), total);
        require(n == total && out[total] == 0xAA, "deframe writes the frame length and no more");
        const uint64_t cut = (data[0] >> 4) % total;  // a received span one to sixteen bits short
        frame_check(fr, rx.data(), total - 1 - cut, &obj);
        const wfm_frame_check_t zero{};
        require(same(obj, zero), "a short span gives the all-zero record");
        require(frame_deframe(fr, rx.data(), total - 1 - cut, out.data(), total) == 0, "short span refused");
        require(rx == sent, "deframe into another buffer leaves the received bits alone");
    }
    return 0;
}
