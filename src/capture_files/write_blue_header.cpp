#include "capture_files/write_blue_header.h"

#include <cstdio>
#include <cstring>

extern "C" {

int wfm_blue_build_hcb(uint8_t *hcb, int sample_type, int big_endian, uint64_t total, int detached, double fs,
                       double fc, double data_start, double t0) {
    if (hcb == nullptr || sample_type < 0 || sample_type >= WFM_CAP_COUNT) return -1;
    const wfm_capture_type &t = WFM_CAPTURE_TYPES[sample_type];
    const int be = big_endian != 0;
    std::memset(hcb, 0, WFM_BLUE_HCB_BYTES);
    const char *rep = be ? "IEEE" : "EEEI";
    std::memcpy(hcb + WFM_HCB_VERSION, "BLUE", 4);
    std::memcpy(hcb + WFM_HCB_HEAD_REP, rep, 4);
    std::memcpy(hcb + WFM_HCB_DATA_REP, rep, 4);
    wfm_store_i32(hcb + WFM_HCB_DETACHED, detached, be);
    wfm_store_f64(hcb + WFM_HCB_DATA_START, data_start, be);
    // In double: a huge hint must not wrap through 64-bit multiplication.
    wfm_store_f64(hcb + WFM_HCB_DATA_SIZE, static_cast<double>(total) * t.sample_bytes, be);
    wfm_store_i32(hcb + WFM_HCB_TYPE, WFM_BLUE_TYPE_1000, be);
    hcb[WFM_HCB_FORMAT] = static_cast<uint8_t>(t.format[0]);
    hcb[WFM_HCB_FORMAT + 1] = static_cast<uint8_t>(t.format[1]);
    // NaN compares unequal to 0, so a NaN t0 is carried as a NaN timecode.
    wfm_store_f64(hcb + WFM_HCB_TIMECODE, t0 != 0.0 ? t0 + WFM_BLUE_EPOCH_OFFSET : 0.0, be);
    if (fc != 0.0) {
        // "FREQ=" + %.17g of a double is at most 5 + 24 characters, well inside 92.
        char item[WFM_HCB_KEYWORDS_MAX];
        const int n = std::snprintf(item, sizeof item, "FREQ=%.17g", fc);
        if (n > 0 && static_cast<size_t>(n) < sizeof item) {
            std::memcpy(hcb + WFM_HCB_KEYWORDS, item, static_cast<size_t>(n) + 1);
            wfm_store_i32(hcb + WFM_HCB_KEYLENGTH, n + 1, be);
        }
    }
    wfm_store_f64(hcb + WFM_HCB_XDELTA, fs != 0.0 ? 1.0 / fs : 0.0, be);
    wfm_store_i32(hcb + WFM_HCB_XUNITS, 1, be);
    return 0;
}

int wfm_blue_write_hcb(FILE *f, int sample_type, int big_endian, uint64_t total, int detached, double fs, double fc,
                       double data_start, double t0) {
    if (f == nullptr) return -1;
    uint8_t hcb[WFM_BLUE_HCB_BYTES];
    if (wfm_blue_build_hcb(hcb, sample_type, big_endian, total, detached, fs, fc, data_start, t0) != 0) return -1;
    return std::fwrite(hcb, 1, sizeof hcb, f) == sizeof hcb ? 0 : -1;
}

int write_blue_header(const char *path, int sample_type, int big_endian, uint64_t total, int detached, double fs,
                      double fc, double data_start, double t0) {
    if (path == nullptr || sample_type < 0 || sample_type >= WFM_CAP_COUNT) return -1;
    FILE *f = std::fopen(path, "wb");
    if (f == nullptr) return -1;
    const int rc = wfm_blue_write_hcb(f, sample_type, big_endian, total, detached, fs, fc, data_start, t0);
    const int crc = std::fclose(f);
    return (rc == 0 && crc == 0) ? 0 : -1;
}

}  // extern "C"
