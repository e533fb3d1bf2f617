#include "capture_files/sigmf_meta.h"

#include <cJSON.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <vector>

#include "capture_files/blue_format.h"

namespace {

constexpr const char *kElemNames[5] = {"f32", "f64", "i32", "i16", "i8"};
constexpr const char *kWaveLabels[9] = {"tone", "noise", "pn", "bpsk", "qpsk", "chirp", "bits", "symbols", "dsss"};
constexpr const char *kSnrModes[4] = {"auto", "fs", "ebno", "esno"};
constexpr int kWaveTone = 0, kWaveNoise = 1, kWaveChirp = 5, kWaveDsss = 8;
// A metadata document is a few hundred bytes; anything this large is not ours.
constexpr long kMetaMaxBytes = 64L << 20;

struct JsonDelete {
    void operator()(cJSON *j) const { cJSON_Delete(j); }
};
using Json = std::unique_ptr<cJSON, JsonDelete>;

// cJSON_Add*ToObject return null on failure; the document is then abandoned.
// JSON has no NaN or infinity (cJSON would print null, which is no number to any
// reader), so a non-finite value is left out like any other unknown one.
bool add_number(cJSON *o, const char *k, double v) {
    return !std::isfinite(v) || cJSON_AddNumberToObject(o, k, v) != nullptr;
}
bool add_string(cJSON *o, const char *k, const char *v) { return cJSON_AddStringToObject(o, k, v) != nullptr; }

// "YYYY-MM-DDTHH:MM:SS.uuuuuuZ", or false when t0 has no calendar time.
bool format_datetime(double t0, char *out, size_t cap) {
    // Beyond ±1e15 s (30 million years) time_t conversion and gmtime are meaningless.
    if (!std::isfinite(t0) || std::fabs(t0) > 1e15) return false;
    const double s = std::floor(t0);
    const long long us = static_cast<long long>(1e9 * (t0 - s)) / 1000;
    const time_t secs = static_cast<time_t>(s);
    struct tm tmv;
    if (gmtime_r(&secs, &tmv) == nullptr) return false;
    char date[64];
    if (std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &tmv) == 0) return false;
    const int n = std::snprintf(out, cap, "%s.%06lldZ", date, us);
    return n > 0 && static_cast<size_t>(n) < cap;
}

bool add_annotation(cJSON *arr, const wfm_segment &seg, const wfm_span &sp, const wfm_wave_desc &d, double fc) {
    cJSON *a = cJSON_CreateObject();
    if (a == nullptr) return false;
    if (!cJSON_AddItemToArray(arr, a)) {
        cJSON_Delete(a);
        return false;
    }
    double lower, upper;
    if (d.type == kWaveChirp) {
        lower = std::fmin(d.freq, d.chirp_end) + fc;
        upper = std::fmax(d.freq, d.chirp_end) + fc;
    } else {
        const double w = (d.type == kWaveTone || d.type == kWaveNoise || d.sps <= 0) ? 0.0 : seg.fs / d.sps / 2.0;
        lower = d.freq + fc - w;
        upper = d.freq + fc + w;
    }
    const bool known = d.type >= 0 && d.type < 9;
    bool ok = add_number(a, "core:sample_start", static_cast<double>(sp.offset + sp.lead)) &&
              add_number(a, "core:sample_count", static_cast<double>(sp.burst)) &&
              add_number(a, "core:freq_lower_edge", lower) && add_number(a, "core:freq_upper_edge", upper) &&
              (!known || add_string(a, "core:label", kWaveLabels[d.type])) && add_number(a, "tessel:snr", d.snr) &&
              (!(d.snr_mode >= 0 && d.snr_mode < 4) || add_string(a, "tessel:snr_mode", kSnrModes[d.snr_mode])) &&
              add_number(a, "tessel:sps", d.sps) && add_number(a, "tessel:seed", d.seed) &&
              add_number(a, "tessel:pn_length", d.pn_length) &&
              add_number(a, "tessel:pn_poly", static_cast<double>(d.pn_poly));
    if (ok && d.type == kWaveDsss && d.dsss_symbol_rate > 0) {
        ok = add_number(a, "tessel:symbol_rate", d.dsss_symbol_rate) &&
             (d.dsss_data == 0 || add_string(a, "tessel:data", "none"));
    }
    return ok;
}

// One annotation per description per span. A span array that cannot be
// allocated leaves the annotations empty, as the document is still useful.
bool add_annotations(cJSON *arr, const wfm_segment *segs, size_t n_segs, double fc) {
    const uint64_t total = wfm_compose_spans(segs, n_segs, nullptr, 0);
    if (total == 0 || total > SIZE_MAX / sizeof(wfm_span)) return true;
    std::vector<wfm_span> spans;
    try {
        spans.resize(static_cast<size_t>(total));
    } catch (const std::exception &) {
        return true;
    }
    wfm_compose_spans(segs, n_segs, spans.data(), spans.size());
    for (const wfm_span &sp : spans) {
        const wfm_segment &seg = segs[sp.segment];
        if (seg.n_descs == 0 || seg.descs == nullptr) continue;
        for (uint64_t k = 0; k < seg.n_descs; ++k)
            if (!add_annotation(arr, seg, sp, seg.descs[k], fc)) return false;
    }
    return true;
}

// global "core:extensions": [{"name": "tessel", "version": ..., "optional": true}].
// Optional: a reader that does not know the extension loses only the synthesis
// details of the annotations.
bool declare_tessel(cJSON *global) {
    cJSON *list = cJSON_AddArrayToObject(global, "core:extensions");
    cJSON *ext = cJSON_CreateObject();
    if (list == nullptr || ext == nullptr || !cJSON_AddItemToArray(list, ext)) {
        cJSON_Delete(ext);
        return false;
    }
    return add_string(ext, "name", "tessel") && add_string(ext, "version", WFM_SIGMF_TESSEL_VERSION) &&
           cJSON_AddTrueToObject(ext, "optional") != nullptr;
}

// fs of the segments when they all share one rate (NaN counts as different).
double common_rate(const wfm_segment *segs, size_t n_segs) {
    const double r = segs[0].fs;
    for (size_t i = 0; i < n_segs; ++i)
        if (!(segs[i].fs == r)) return 0.0;
    return r;
}

// Element kind from the datatype text after its 'c'/'r'; sets *rest past the name.
int parse_elem(const char *s, const char **rest) {
    for (int k = 0; k < 5; ++k) {
        const size_t n = std::strlen(kElemNames[k]);
        if (std::strncmp(s, kElemNames[k], n) == 0) {
            *rest = s + n;
            return k;
        }
    }
    return -1;
}

// A usable rate or frequency: finite (a huge exponent parses to infinity).
double finite_or_zero(const cJSON *n) { return (cJSON_IsNumber(n) && std::isfinite(n->valuedouble)) ? n->valuedouble : 0.0; }

}  // namespace

extern "C" {

int wfm_sigmf_datatype(int sample_type, int big_endian, char *out, size_t cap) {
    if (out == nullptr || sample_type < 0 || sample_type >= WFM_CAP_COUNT) return -1;
    const wfm_capture_type &t = WFM_CAPTURE_TYPES[sample_type];
    const char *suffix = t.elem_bytes == 1 ? "" : (big_endian ? "_be" : "_le");
    const int n = std::snprintf(out, cap, "%c%s%s", t.is_complex ? 'c' : 'r', kElemNames[sample_type % 5], suffix);
    return (n > 0 && static_cast<size_t>(n) < cap) ? 0 : -1;
}

char *wfm_sigmf_meta_json(int sample_type, int big_endian, const wfm_segment *segs, size_t n_segs, double fs,
                          double fc, double t0) {
    return wfm_sigmf_meta_json_dataset(sample_type, big_endian, segs, n_segs, fs, fc, t0, nullptr);
}

char *wfm_sigmf_meta_json_dataset(int sample_type, int big_endian, const wfm_segment *segs, size_t n_segs, double fs,
                                  double fc, double t0, const char *dataset) {
    char datatype[16];
    if (wfm_sigmf_datatype(sample_type, big_endian, datatype, sizeof datatype) != 0) return nullptr;
    if (segs == nullptr) n_segs = 0;
    if (n_segs > 0 && fs == 0.0) fs = common_rate(segs, n_segs);

    Json doc(cJSON_CreateObject());
    if (!doc) return nullptr;
    cJSON *global = cJSON_AddObjectToObject(doc.get(), "global");
    if (global == nullptr || !add_string(global, "core:datatype", datatype)) return nullptr;
    if (fs != 0.0 && !add_number(global, "core:sample_rate", fs)) return nullptr;
    if (!add_string(global, "core:version", "1.0.0") || !add_string(global, "core:description", "kolvane tessel") ||
        !add_string(global, "core:author", "kolvane tessel"))
        return nullptr;
    if (dataset != nullptr && !add_string(global, "core:dataset", dataset)) return nullptr;

    cJSON *captures = cJSON_AddArrayToObject(doc.get(), "captures");
    cJSON *cap = cJSON_CreateObject();
    if (captures == nullptr || cap == nullptr) {
        cJSON_Delete(cap);
        return nullptr;
    }
    if (!cJSON_AddItemToArray(captures, cap)) {
        cJSON_Delete(cap);
        return nullptr;
    }
    if (!add_number(cap, "core:sample_start", 0)) return nullptr;
    char when[96];
    if (t0 != 0.0 && format_datetime(t0, when, sizeof when) && !add_string(cap, "core:datetime", when)) return nullptr;
    if (fc != 0.0 && !add_number(cap, "core:frequency", fc)) return nullptr;

    cJSON *ann = cJSON_AddArrayToObject(doc.get(), "annotations");
    if (ann == nullptr) return nullptr;
    if (n_segs > 0 && !add_annotations(ann, segs, n_segs, fc)) return nullptr;
    // Every annotation carries "tessel:" keys; a reader is told what they are.
    if (cJSON_GetArraySize(ann) > 0 && !declare_tessel(global)) return nullptr;
    return cJSON_PrintUnformatted(doc.get());
}

void wfm_sigmf_meta_free(char *json) { cJSON_free(json); }

int wfm_sigmf_meta_path(const char *path, char *out, size_t cap) {
    if (path == nullptr || out == nullptr || cap == 0) return -1;
    const size_t len = std::strlen(path);
    static const char kData[] = ".sigmf-data";
    static const char kMeta[] = ".sigmf-meta";
    const size_t ext = sizeof kData - 1;
    const bool replace = len > 10 && std::strcmp(path + len - ext, kData) == 0;
    const size_t base = replace ? len - ext : len;
    const size_t need = base + (sizeof kMeta - 1);
    // A truncated name would put the metadata beside the wrong file: refuse it.
    if (need > WFM_SIGMF_NAME_MAX || need + 1 > cap) return -1;
    std::memcpy(out, path, base);
    std::memcpy(out + base, kMeta, sizeof kMeta);
    return 0;
}

int wfm_sigmf_meta_parse(const char *text, size_t len, wfm_sigmf_info *out) {
    return wfm_sigmf_meta_parse_why(text, len, out, nullptr, 0);
}

int wfm_sigmf_meta_parse_why(const char *text, size_t len, wfm_sigmf_info *out, char *why, size_t why_cap) {
    if (why != nullptr && why_cap > 0) why[0] = '\0';
    if (text == nullptr || out == nullptr || len == 0) return -1;
    Json doc(cJSON_ParseWithLength(text, len));
    if (!doc) return -1;
    const cJSON *global = cJSON_GetObjectItemCaseSensitive(doc.get(), "global");
    if (!cJSON_IsObject(global)) return -1;
    const cJSON *dt = cJSON_GetObjectItemCaseSensitive(global, "core:datatype");
    if (!cJSON_IsString(dt) || dt->valuestring == nullptr) return -1;
    const char *s = dt->valuestring;
    int scalar = -1;
    if (s[0] == 'c')
        scalar = 0;
    else if (s[0] == 'r')
        scalar = 1;
    const char *rest = nullptr;
    const int kind = scalar >= 0 ? parse_elem(s + 1, &rest) : -1;
    if (kind < 0) {
        if (why != nullptr && why_cap > 0)
            std::snprintf(why, why_cap,
                          "SigMF datatype \"%.40s\" is not supported (supported: cf32, cf64, ci32, ci16, ci8 and the "
                          "real rf32, rf64, ri32, ri16, ri8, with _le or _be)",
                          s);
        return -1;
    }
    // Several channels interleave their samples in the one data file: read as
    // one channel they would come back mixed. A count that is no whole number
    // of at least 1 does not describe any recording.
    const cJSON *nch = cJSON_GetObjectItemCaseSensitive(global, "core:num_channels");
    if (nch != nullptr) {
        const double c = cJSON_IsNumber(nch) ? nch->valuedouble : 0.0;
        if (!(c >= 1.0 && c <= 4294967295.0 && c == std::floor(c))) return -1;
        if (c > 1.0) {
            if (why != nullptr && why_cap > 0)
                std::snprintf(why, why_cap,
                              "SigMF recording has %.0f channels (core:num_channels); only single-channel "
                              "recordings are read",
                              c);
            return -1;
        }
    }
    wfm_sigmf_info info{};
    info.sample_type = kind + (scalar ? 5 : 0);
    info.big_endian = std::strstr(rest, "be") != nullptr;
    info.fs = finite_or_zero(cJSON_GetObjectItemCaseSensitive(global, "core:sample_rate"));
    const cJSON *captures = cJSON_GetObjectItemCaseSensitive(doc.get(), "captures");
    const cJSON *first = cJSON_IsArray(captures) ? cJSON_GetArrayItem(captures, 0) : nullptr;
    const cJSON *freq = cJSON_IsObject(first) ? cJSON_GetObjectItemCaseSensitive(first, "core:frequency") : nullptr;
    if (cJSON_IsNumber(freq) && std::isfinite(freq->valuedouble)) {
        info.fc = freq->valuedouble;
        info.fc_present = 1;
    }
    *out = info;
    return 0;
}

int wfm_sigmf_meta_read(const char *meta_path, wfm_sigmf_info *out) {
    return wfm_sigmf_meta_read_why(meta_path, out, nullptr, 0);
}

int wfm_sigmf_meta_read_why(const char *meta_path, wfm_sigmf_info *out, char *why, size_t why_cap) {
    if (why != nullptr && why_cap > 0) why[0] = '\0';
    if (meta_path == nullptr || out == nullptr) return -1;
    // Only a regular file is metadata. O_NONBLOCK keeps a FIFO under this name
    // from holding the open until some writer appears; fstat then refuses it.
    const int fd = ::open(meta_path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return -1;
    int rc = -1;
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 && st.st_size <= kMetaMaxBytes) {
        const size_t size = static_cast<size_t>(st.st_size);
        auto *buf = static_cast<char *>(std::malloc(size));
        size_t got = 0;
        while (buf != nullptr && got < size) {
            const ssize_t n = ::pread(fd, buf + got, size - got, static_cast<off_t>(got));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += static_cast<size_t>(n);
        }
        // A file that shrank under us is refused rather than parsed in part.
        if (buf != nullptr && got == size) rc = wfm_sigmf_meta_parse_why(buf, size, out, why, why_cap);
        std::free(buf);
    }
    ::close(fd);
    return rc;
}

}  // extern "C"
