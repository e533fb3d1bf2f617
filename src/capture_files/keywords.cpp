#include "capture_files/keywords.h"

#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "capture_files/blue_format.h"

extern "C" {

size_t wfm_kw_elem_size(char code) {
    switch (code) {
    case 'A':
    case 'B': return 1;
    case 'I': return 2;
    case 'L':
    case 'T':
    case 'F': return 4;
    case 'X':
    case 'D': return 8;
    default: return 0;
    }
}

size_t wfm_kw_entry_size(size_t tag_len, size_t value_bytes) {
    size_t body = tag_len + value_bytes;
    if (body < tag_len || body > SIZE_MAX - 16) return 0;
    const size_t pad = (8 - body % 8) % 8;
    return body + pad + 8;
}

size_t wfm_kw_encode(uint8_t *dst, size_t cap, const char *tag, char code, const void *value, size_t count,
                     int big_endian) {
    if (dst == nullptr || tag == nullptr || value == nullptr || count == 0) return 0;
    const size_t es = wfm_kw_elem_size(code);
    if (es == 0) return 0;
    const size_t tag_len = std::strlen(tag);
    if (tag_len < 1 || tag_len > WFM_KW_TAG_MAX) return 0;
    if (count > static_cast<size_t>(INT32_MAX) / es) return 0;
    const size_t value_len = count * es;
    const size_t len = wfm_kw_entry_size(tag_len, value_len);
    // The length field is a signed 32-bit integer and the capacity is counted up to 2^31-1.
    const size_t cap31 = cap > static_cast<size_t>(INT32_MAX) ? static_cast<size_t>(INT32_MAX) : cap;
    if (len == 0 || len > static_cast<size_t>(INT32_MAX) || cap31 < len) return 0;
    std::memset(dst, 0, len);
    wfm_store_i32(dst, static_cast<int32_t>(len), big_endian);
    // Prefix + tag + padding is at most 8 + 255 + 7, so it always fits the i16 field.
    wfm_store_i16(dst + 4, static_cast<int16_t>(len - value_len), big_endian);
    dst[6] = static_cast<uint8_t>(tag_len);
    dst[7] = static_cast<uint8_t>(code);
    const auto *src = static_cast<const uint8_t *>(value);
    for (size_t i = 0; i < count; ++i) wfm_bswap_copy(dst + 8 + i * es, src + i * es, es, big_endian);
    std::memcpy(dst + 8 + value_len, tag, tag_len);
    return len;
}

int wfm_kw_decode(const uint8_t *entry, size_t avail, int big_endian, wfm_kw_record *out, size_t *entry_len) {
    if (entry == nullptr || out == nullptr || entry_len == nullptr || avail < 8) return -1;
    const int32_t len = wfm_load_i32(entry, big_endian);
    const int16_t rest = wfm_load_i16(entry + 4, big_endian);
    if (len < 8 || rest < 8 || static_cast<size_t>(len) > avail || rest > len) return -1;
    const size_t value_len = static_cast<size_t>(len - rest);
    const size_t tag_len = entry[6];
    if (static_cast<size_t>(len) < value_len + tag_len + 8) return -1;
    *entry_len = static_cast<size_t>(len);
    const char code = static_cast<char>(entry[7]);
    const size_t es = wfm_kw_elem_size(code);
    if (es == 0 || value_len == 0 || value_len % es != 0) return 1;
    auto *buf = static_cast<uint8_t *>(std::malloc(value_len));
    if (buf == nullptr) return -1;
    const size_t count = value_len / es;
    for (size_t i = 0; i < count; ++i) wfm_bswap_copy(buf + i * es, entry + 8 + i * es, es, big_endian);
    std::memcpy(out->tag, entry + 8 + value_len, tag_len);
    out->tag[tag_len] = '\0';
    out->code = code;
    out->elem_size = es;
    out->count = count;
    out->value = buf;
    return 0;
}

void wfm_kw_record_clear(wfm_kw_record *r) {
    if (r == nullptr) return;
    std::free(r->value);
    r->value = nullptr;
    r->count = 0;
}

int wfm_kw_check_standard(const char *tag, char code, const void *value, size_t value_len) {
    if (tag == nullptr) return 0;
    const auto *v = static_cast<const char *>(value);
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    if (std::strcmp(tag, "ACQDATE") == 0) {
        if (code != 'A' || v == nullptr || (value_len != 6 && value_len != 8)) return -1;
        for (size_t i = 0; i < value_len; ++i)
            if (!digit(v[i]) && v[i] != '.') return -1;
        if (value_len == 6 && v[2] != '.') return -1;
        return 1;
    }
    if (std::strcmp(tag, "ACQTIME") == 0) {
        if (code != 'A' || v == nullptr || value_len != 8) return -1;
        for (size_t i : {size_t{0}, size_t{1}, size_t{3}, size_t{4}, size_t{6}, size_t{7}})
            if (!digit(v[i])) return -1;
        return (v[2] == ':' && v[5] == ':') ? 1 : -1;
    }
    if (std::strcmp(tag, "COMMENT") == 0 || std::strcmp(tag, "TIMELINE") == 0) return code == 'A' ? 1 : -1;
    if (std::strcmp(tag, "SUBREC_DEF") == 0 || std::strcmp(tag, "SUBREC_DESCRIP") == 0 ||
        std::strcmp(tag, "T4INDEX") == 0)
        return -1;
    return 0;
}

}  // extern "C"
