// Extended-header keyword walk, in both byte orders, as the capture reader does
// it. Every decoded entry must stay inside the buffer and hold count × element
// size bytes, and must encode back into an entry that decodes to the same record.
#include <cstring>
#include <vector>

#include "capture_files/keywords.h"
#include "fuzz_support.h"

using fuzz::require;

static void round_trip(const wfm_kw_record &rec, int big_endian) {
    const size_t tag_len = std::strlen(rec.tag);
    if (tag_len == 0) return;  // a tag of NUL bytes has no text form to encode
    const size_t value_bytes = rec.count * rec.elem_size;
    const size_t need = wfm_kw_entry_size(tag_len, value_bytes);
    require(need >= 8 + tag_len + value_bytes && need % 8 == 0, "entry size covers prefix, value and tag");
    std::vector<uint8_t> buf(need);
    const size_t n = wfm_kw_encode(buf.data(), buf.size(), rec.tag, rec.code, rec.value, rec.count, big_endian);
    if (n == 0) {
        // Only an entry too long for the 32-bit length field may be refused.
        require(need > 0x7fffffffu, "a decoded record re-encodes");
        return;
    }
    require(n == need, "encode writes the entry size");
    wfm_kw_record back{};
    size_t len = 0;
    require(wfm_kw_decode(buf.data(), n, big_endian, &back, &len) == 0, "re-encoded entry decodes");
    require(len == n, "decoded length is the encoded length");
    require(back.code == rec.code && back.count == rec.count && back.elem_size == rec.elem_size,
            "round trip keeps code and count");
    require(std::strcmp(back.tag, rec.tag) == 0, "round trip keeps the tag");
    require(std::memcmp(back.value, rec.value, value_bytes) == 0, "round trip keeps the value");
    wfm_kw_record_clear(&back);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    for (int be = 0; be < 2; ++be) {
        size_t off = 0;
        while (size - off >= 8) {
            wfm_kw_record rec{};
            size_t len = 0;
            const int rc = wfm_kw_decode(data + off, size - off, be, &rec, &len);
            require(rc >= -1 && rc <= 1, "decode returns -1, 0 or 1");
            if (rc < 0) break;
            require(len >= 8 && len <= size - off, "entry length stays inside the buffer");
            if (rc == 0) {
                require(rec.value != nullptr && rec.count >= 1, "decoded value present");
                require(rec.elem_size == wfm_kw_elem_size(rec.code) && rec.elem_size > 0, "element size of the code");
                require(8 + rec.count * rec.elem_size + std::strlen(rec.tag) <= len, "value and tag inside the entry");
                const int std_rc = wfm_kw_check_standard(rec.tag, rec.code, rec.value, rec.count * rec.elem_size);
                require(std_rc >= -1 && std_rc <= 1, "standard check returns -1, 0 or 1");
                round_trip(rec, be);
                wfm_kw_record_clear(&rec);
            }
            off += len;
        }
    }
    return 0;
}
