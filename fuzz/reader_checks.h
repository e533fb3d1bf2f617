// What every opened capture must satisfy, whatever bytes it was made of: reads
// stay within their announced bound, a bounded capture never yields more than
// it declares, a reset replays the same samples, and every published keyword
// or header field is a well-formed record.
#pragma once
#include <cstring>
#include <vector>

#include "capture_files/iqreader_core.h"
#include "fuzz_support.h"

namespace fuzz {

inline void check_records(const iqreader *r) {
    for (size_t i = 0; i < iqreader_num_keywords(r); ++i) {
        const wfm_kw_record *k = iqreader_keyword(r, i);
        require(k != nullptr && k->value != nullptr && k->count >= 1, "keyword record present");
        require(k->elem_size == wfm_kw_elem_size(k->code), "keyword element size of its code");
        require(iqreader_find_keyword(r, k->tag) != nullptr, "keyword found by its tag");
    }
    for (size_t i = 0; i < iqreader_num_header_fields(r); ++i) {
        const wfm_kw_record *k = iqreader_header_field(r, i);
        require(k != nullptr && k->value != nullptr && k->count >= 1, "header field present");
        require(iqreader_find_header_field(r, iqreader_header_tag(r, i)) != nullptr, "header field by tag");
    }
}

// Reads everything in chunks of `chunk` samples; returns the samples read.
inline std::vector<float> read_all(iqreader *r, size_t chunk) {
    std::vector<float> all, buf(2 * chunk);
    for (;;) {
        const size_t bound = iqreader_read_max_out(r, chunk);
        const size_t n = iqreader_read(r, chunk, buf.data(), chunk);
        require(n <= bound, "a read stays within read_max_out");
        if (n == 0) break;
        all.insert(all.end(), buf.begin(), buf.begin() + static_cast<ptrdiff_t>(2 * n));
    }
    return all;
}

inline void check_reader(iqreader *r, size_t chunk) {
    iqreader_info_t info{};
    iqreader_info(r, &info);
    require(info.file_type >= 0 && info.file_type <= 3, "file type 0..3");
    require(info.sample_type >= 0 && info.sample_type <= 9, "sample type 0..9");
    check_records(r);
    const uint64_t declared = iqreader_get_num_samples(r);
    const std::vector<float> first = read_all(r, chunk);
    const uint64_t got = first.size() / 2;
    if (info.file_type == 2) require(got <= declared, "a BLUE capture yields at most its declared samples");
    if (info.file_type != 2) require(got == declared, "raw, CSV and SigMF captures yield their sample count");
    if (info.mode == IQR_MODE_SCALAR)
        for (size_t i = 1; i < first.size(); i += 2) require(first[i] == 0.0f, "scalar samples are real");
    iqreader_reset(r);
    const std::vector<float> again = read_all(r, chunk + 3);
    require(again.size() == first.size() &&
                (first.empty() || std::memcmp(again.data(), first.data(), first.size() * sizeof(float)) == 0),
            "a reset replays the same samples");
}

}  // namespace fuzz
