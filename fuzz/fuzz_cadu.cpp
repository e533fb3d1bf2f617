// CADU decoding of received hard bits: a CADU encoded from known octets with
// bit errors at positions the input lists. The first byte picks the outer code
// depth, the randomiser and the marker, and may cut the bits short. Properties:
// the decoder never writes past its capacity and returns all or nothing; its
// statistics hold together; a clean CADU decodes to the octets sent; with the
// outer code, any error pattern of at most 16 octets per codeword outside the
// marker is repaired exactly; without it, exactly the flipped bits differ.
#include <algorithm>
#include <bit>
#include <map>
#include <set>
#include <vector>

#include "fuzz_support.h"
#include "wfm/ccsds_tm_core.h"

using fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    static const uint32_t kDepths[] = {0, 1, 2, 3, 4, 5, 8};
    const uint8_t sel = data[0];
    const ccsds_tm_frame_cfg_t cfg{kDepths[sel % 7], (sel >> 3) & 1u, (sel >> 4) & 1u, 0};
    const uint64_t F = cfg.rs_depth ? 223ull * cfg.rs_depth : 40;
    std::vector<uint8_t> octets(F);
    for (uint64_t i = 0; i < F; ++i) octets[i] = static_cast<uint8_t>(i * 7 + 3);
    ccsds_tm_frame_layout_t lay{};
    const uint64_t nbits = ccsds_tm_frame_layout(&cfg, F, &lay);
    require(nbits > 0 && nbits == lay.cadu_bits, "layout of a CADU without the inner code");
    std::vector<uint8_t> bits(nbits);
    require(ccsds_tm_frame_encode(&cfg, nullptr, octets.data(), F, bits.data(), nbits) == nbits, "encode");

    std::set<uint64_t> flipped;
    for (size_t i = 1; i + 1 < size; i += 2) {
        const uint64_t pos = (data[i] | (data[i + 1] << 8)) % nbits;
        bits[pos] ^= 1;
        if (!flipped.erase(pos)) flipped.insert(pos);
    }
    const bool cut = (sel >> 5) & 1;
    const uint64_t n = cut ? nbits - 1 - (sel >> 6) : nbits;

    std::vector<uint8_t> out(F + 16, 0x5A);
    ccsds_tm_frame_stats_t st{};
    const uint64_t got = ccsds_tm_frame_decode(&cfg, bits.data(), n, out.data(), F, &st);
    require(got == 0 || got == F, "all octets or none");
    require(std::all_of(out.begin() + static_cast<ptrdiff_t>(F), out.end(), [](uint8_t b) { return b == 0x5A; }),
            "nothing past the capacity");
    require(st.good <= st.codewords && st.corrected <= st.good, "statistics hold together");
    require(st.octets == got, "statistics count the octets delivered");
    std::vector<uint8_t> small(F);
    require(ccsds_tm_frame_decode(&cfg, bits.data(), n, small.data(), F - 1, nullptr) == 0, "short capacity refused");
    if (cut) return 0;

    bool marker_hit = false;
    std::map<uint64_t, std::set<uint64_t>> bad;  // codeword -> octets in error
    for (uint64_t p : flipped) {
        if (p < lay.asm_bits) {
            marker_hit = true;
            continue;
        }
        const uint64_t octet = (p - lay.rs_off) / 8;
        bad[cfg.rs_depth ? octet % cfg.rs_depth : 0].insert(octet);
    }
    if (flipped.empty()) {
        require(got == F && std::equal(octets.begin(), octets.end(), out.begin()), "a clean CADU decodes as sent");
        require(st.corrected == 0, "nothing repaired in a clean CADU");
    }
    if (marker_hit) return 0;
    if (cfg.rs_depth) {
        bool repairable = true;
        for (auto &[cw, octs] : bad) repairable &= octs.size() <= 16;
        if (repairable)
            require(got == F && std::equal(octets.begin(), octets.end(), out.begin()), "repairable errors repaired");
    } else {
        require(got == F, "an uncoded CADU is always delivered");
        uint64_t differing = 0;
        for (uint64_t i = 0; i < F; ++i) differing += std::popcount(static_cast<unsigned>(octets[i] ^ out[i]));
        require(differing == flipped.size(), "without the outer code exactly the flipped bits differ");
    }
    return 0;
}
