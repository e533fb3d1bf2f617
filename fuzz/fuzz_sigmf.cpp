// SigMF metadata parser: whatever the text, a parse either fails with a
// terminated reason or yields a valid capture index; a document written from
// what was parsed parses back to the same fields; a recording with metadata
// the parser accepts opens in the capture reader with the same description
// and reads as any capture must. The input also serves as a capture path for
// the metadata file name rule.
#include <cmath>
#include <cstring>
#include <string>

#include "capture_files/sigmf_meta.h"
#include "fuzz_support.h"
#include "reader_checks.h"

using fuzz::require;

static void open_recording(const uint8_t *data, size_t size, const wfm_sigmf_info &info) {
    static const uint8_t payload[77] = {1, 2, 3, 250, 128, 127, 0, 255, 9, 8, 7, 6, 5, 4, 3, 2, 1};
    fuzz::write_file("rec.sigmf-meta", data, size);
    const std::string path = fuzz::write_file("rec.sigmf-data", payload, sizeof payload);
    iqreader *r = iqreader_create(path.c_str(), 0, 0);
    require(r != nullptr, "a recording whose metadata parses opens");
    iqreader_info_t ri{};
    iqreader_info(r, &ri);
    require(ri.file_type == 3 && ri.sample_type == info.sample_type, "the reader takes the parsed sample type");
    if (info.sample_type % 5 != 4) require(ri.endian == info.big_endian, "the reader takes the parsed byte order");
    require((ri.fs == info.fs || (ri.fs != ri.fs && info.fs != info.fs)) && ri.fc == info.fc,
            "the reader takes the parsed rates");
    fuzz::check_reader(r, 3);
    iqreader_destroy(r);
}

static void rewrite_and_parse(const wfm_sigmf_info &info) {
    if (!std::isfinite(info.fs) || !std::isfinite(info.fc)) return;  // JSON has no text for them
    char *json = wfm_sigmf_meta_json(info.sample_type, info.big_endian, nullptr, 0, info.fs, info.fc, 0.0);
    require(json != nullptr, "a parsed description can be written");
    wfm_sigmf_info back{};
    require(wfm_sigmf_meta_parse(json, std::strlen(json), &back) == 0, "written metadata parses");
    require(back.sample_type == info.sample_type, "sample type survives");
    if (info.sample_type % 5 != 4) require(back.big_endian == info.big_endian, "byte order survives");
    require(back.fs == info.fs, "sample rate survives");
    require(back.fc == info.fc, "centre frequency survives");
    require(back.fc_present == (info.fc != 0.0), "frequency present exactly when non-zero");
    wfm_sigmf_meta_free(json);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const char *text = reinterpret_cast<const char *>(data);
    wfm_sigmf_info info{};
    char why[128];
    std::memset(why, 'x', sizeof why);
    const int rc = wfm_sigmf_meta_parse_why(text, size, &info, why, sizeof why);
    require(rc == 0 || rc == -1, "parse returns 0 or -1");
    require(std::memchr(why, 0, sizeof why) != nullptr, "reason is terminated inside its buffer");
    if (rc == 0) {
        require(info.sample_type >= 0 && info.sample_type <= 9, "capture index 0..9");
        require(info.big_endian == 0 || info.big_endian == 1, "byte order flag");
        require(info.fc_present == 0 || info.fc_present == 1, "fc presence flag");
        rewrite_and_parse(info);
        open_recording(data, size, info);
    }

    const std::string path(text, strnlen(text, size));
    char name[WFM_SIGMF_NAME_MAX + 1];
    if (wfm_sigmf_meta_path(path.c_str(), name, sizeof name) == 0) {
        const size_t n = std::strlen(name);
        require(n <= WFM_SIGMF_NAME_MAX, "name within its limit");
        require(n >= 11 && std::strcmp(name + n - 11, ".sigmf-meta") == 0, "name ends in .sigmf-meta");
    }
    return 0;
}
