#include "capture_files/iqreader_core.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "capture_files/blue_format.h"
#include "capture_files/sigmf_meta.h"
#include "core/sample_codec.h"
#include "core/sx_interrupt_guard_core.h"

namespace {

// Sizes and offsets beyond this are absurd for any file and are refused; it also
// keeps every sum of two of them far from 64-bit overflow.
constexpr uint64_t kMaxBytes = uint64_t{1} << 62;
// Samples converted per pass: bounds the staging buffer whatever the caller asks.
constexpr size_t kChunkSamples = size_t{1} << 15;
// Longest CSV line kept for parsing, line break excluded: two numbers printed
// with 17 significant digits take under 60 characters. A longer line is skipped.
constexpr size_t kCsvLineMax = 256;
// Largest extended header we load; anything longer is skipped as implausible.
constexpr uint64_t kMaxExtBytes = uint64_t{64} << 20;
// Most keywords kept from one extended header. Each decoded keyword costs a few
// hundred bytes whatever its size in the file, so without a cap a header of
// tiny entries would cost twenty times its own size in memory.
constexpr size_t kMaxExtKeywords = size_t{1} << 16;

// ---------------------------------------------------------------------------
// Files

struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int f) : fd(f) {}
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    Fd(Fd &&o) noexcept : fd(o.fd) { o.fd = -1; }
    Fd &operator=(Fd &&o) noexcept {
        std::swap(fd, o.fd);
        return *this;
    }
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
    bool ok() const { return fd >= 0; }
};

// Opens a regular file for reading. Directories, pipes and devices are not
// captures; O_NONBLOCK keeps the open of a FIFO from waiting for a writer.
Fd open_read(const std::string &path) {
    Fd f(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat st;
    if (f.ok() && (::fstat(f.fd, &st) != 0 || !S_ISREG(st.st_mode))) return Fd();
    return f;
}

// Current size of an open file; false when it cannot be measured.
bool file_size(int fd, uint64_t &size) {
    struct stat st;
    if (::fstat(fd, &st) != 0 || st.st_size < 0) return false;
    size = static_cast<uint64_t>(st.st_size);
    return true;
}

// Positioned read of up to `n` bytes (short only at the end of the file or on error).
size_t pread_full(int fd, void *buf, size_t n, uint64_t off) {
    size_t got = 0;
    auto *p = static_cast<uint8_t *>(buf);
    while (got < n) {
        const ssize_t r = ::pread(fd, p + got, n - got, static_cast<off_t>(off + got));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        got += static_cast<size_t>(r);
    }
    return got;
}

struct FileCloser {
    void operator()(FILE *f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

bool ends_with(const std::string &s, const char *suffix) {
    const size_t n = std::strlen(suffix);
    return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

// The path without its extension: the text before the last '.' when that '.'
// comes after the last '/', otherwise the whole path.
std::string base_of(const std::string &path) {
    const size_t dot = path.rfind('.');
    const size_t slash = path.rfind('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return path;
    return path.substr(0, dot);
}

// A double from a file as a byte count or offset: NaN, infinities and values
// beyond kMaxBytes are refused; negative values count as 0; fractions truncate.
bool bytes_from_double(double v, uint64_t &out) {
    if (std::isnan(v) || v >= static_cast<double>(kMaxBytes)) return false;
    out = v > 0 ? static_cast<uint64_t>(v) : 0;
    return true;
}

// ---------------------------------------------------------------------------
// Keyword records

struct Record {
    wfm_kw_record r{};
    Record() = default;
    Record(const Record &) = delete;
    Record &operator=(const Record &) = delete;
    Record(Record &&o) noexcept : r(o.r) { o.r.value = nullptr; }
    Record &operator=(Record &&o) noexcept {
        std::swap(r, o.r);
        return *this;
    }
    ~Record() { wfm_kw_record_clear(&r); }
};

// A record from host-order bytes; false (nothing appended) when allocation fails.
bool push_record(std::vector<Record> &list, const char *tag, char code, size_t elem_size, size_t count,
                 const void *value) noexcept {
    try {
        Record rec;
        std::snprintf(rec.r.tag, sizeof rec.r.tag, "%s", tag);
        rec.r.code = code;
        rec.r.elem_size = elem_size;
        rec.r.count = count;
        rec.r.value = static_cast<uint8_t *>(std::malloc(elem_size * count));
        if (rec.r.value == nullptr) return false;
        std::memcpy(rec.r.value, value, elem_size * count);
        list.push_back(std::move(rec));
        return true;
    } catch (const std::bad_alloc &) {
        return false;
    }
}

// ---------------------------------------------------------------------------
// BLUE header control block

struct Hcb {
    int capidx = 0;
    bool be = false;
    int32_t detached = 0;
    bool live = false;      // pipe field set: a writer is still appending
    uint64_t ext_start = 0; // bytes
    uint64_t ext_size = 0;  // bytes
    uint64_t data_start = 0;
    uint64_t data_size = 0;
    double timecode = 0;
    double xdelta = 0;
    int32_t keylength = 0;
};

bool parse_hcb(const uint8_t *h, Hcb &out) {
    if (std::memcmp(h + WFM_HCB_VERSION, "BLUE", 4) != 0) return false;
    const int idx = wfm_capture_index_from_format(static_cast<char>(h[WFM_HCB_FORMAT]),
                                                  static_cast<char>(h[WFM_HCB_FORMAT + 1]));
    if (idx < 0) return false;
    Hcb v;
    v.capidx = idx;
    v.be = std::memcmp(h + WFM_HCB_HEAD_REP, "IEEE", 4) == 0;
    v.detached = wfm_load_i32(h + WFM_HCB_DETACHED, v.be);
    v.live = wfm_load_i32(h + WFM_HCB_PIPE, v.be) != 0;
    const int32_t ext_blocks = wfm_load_i32(h + WFM_HCB_EXT_START, v.be);
    v.ext_start = ext_blocks >= 1 ? static_cast<uint64_t>(ext_blocks) * WFM_BLUE_BLOCK : 0;
    const int32_t ext_size = wfm_load_i32(h + WFM_HCB_EXT_SIZE, v.be);
    v.ext_size = ext_size > 0 ? static_cast<uint64_t>(ext_size) : 0;
    // A payload cannot start before the file does: a negative offset is malformed,
    // while a negative size only means "unknown".
    const double data_start = wfm_load_f64(h + WFM_HCB_DATA_START, v.be);
    if (data_start < 0 || !bytes_from_double(data_start, v.data_start)) return false;
    if (!bytes_from_double(wfm_load_f64(h + WFM_HCB_DATA_SIZE, v.be), v.data_size)) return false;
    v.timecode = wfm_load_f64(h + WFM_HCB_TIMECODE, v.be);
    v.xdelta = wfm_load_f64(h + WFM_HCB_XDELTA, v.be);
    v.keylength = wfm_load_i32(h + WFM_HCB_KEYLENGTH, v.be);
    out = v;
    return true;
}

// Every HCB field as a keyword record, in header order, values in host order.
void publish_hcb_fields(const uint8_t *h, bool be, std::vector<Record> &out) {
    struct Field {
        const char *name;
        int offset;
        char code;
        int count;
    };
    static constexpr Field fields[] = {
        {"version", WFM_HCB_VERSION, 'A', 4},   {"head_rep", WFM_HCB_HEAD_REP, 'A', 4},
        {"data_rep", WFM_HCB_DATA_REP, 'A', 4}, {"detached", WFM_HCB_DETACHED, 'L', 1},
        {"protected", WFM_HCB_PROTECTED, 'L', 1}, {"pipe", WFM_HCB_PIPE, 'L', 1},
        {"ext_start", WFM_HCB_EXT_START, 'L', 1}, {"ext_size", WFM_HCB_EXT_SIZE, 'L', 1},
        {"data_start", WFM_HCB_DATA_START, 'D', 1}, {"data_size", WFM_HCB_DATA_SIZE, 'D', 1},
        {"type", WFM_HCB_TYPE, 'L', 1},           {"format", WFM_HCB_FORMAT, 'A', 2},
        {"flagmask", WFM_HCB_FLAGMASK, 'I', 1},   {"timecode", WFM_HCB_TIMECODE, 'D', 1},
        {"inlet", WFM_HCB_INLET, 'I', 1},         {"outlets", WFM_HCB_OUTLETS, 'I', 1},
        {"outmask", WFM_HCB_OUTMASK, 'L', 1},     {"pipeloc", WFM_HCB_PIPELOC, 'L', 1},
        {"pipesize", WFM_HCB_PIPESIZE, 'L', 1},   {"in_byte", WFM_HCB_IN_BYTE, 'D', 1},
        {"out_byte", WFM_HCB_OUT_BYTE, 'D', 1},   {"outbytes", WFM_HCB_OUTBYTES, 'D', 8},
        {"keylength", WFM_HCB_KEYLENGTH, 'L', 1}, {"xstart", WFM_HCB_XSTART, 'D', 1},
        {"xdelta", WFM_HCB_XDELTA, 'D', 1},       {"xunits", WFM_HCB_XUNITS, 'L', 1},
    };
    for (const Field &f : fields) {
        const size_t es = wfm_kw_elem_size(f.code);
        uint8_t host[64];
        for (int i = 0; i < f.count; ++i) {
            const uint8_t *src = h + f.offset + i * es;
            if (f.code == 'A')
                host[i] = src[0];
            else
                wfm_bswap_copy(host + i * es, src, es, be);
        }
        push_record(out, f.name, f.code, es, static_cast<size_t>(f.count), host);
    }
}

// "TAG=value\0" items of the HCB keyword area.
void load_hcb_keywords(const uint8_t *h, int32_t keylength, std::vector<Record> &out) {
    if (keylength < 1) return;
    const size_t len = std::min<size_t>(static_cast<size_t>(keylength), WFM_HCB_KEYWORDS_MAX);
    const char *area = reinterpret_cast<const char *>(h + WFM_HCB_KEYWORDS);
    size_t start = 0;
    while (start < len) {
        size_t end = start;
        while (end < len && area[end] != '\0') ++end;
        const char *item = area + start;
        const size_t item_len = end - start;
        const void *eq = std::memchr(item, '=', item_len);
        if (eq != nullptr) {
            const size_t tag_len = static_cast<size_t>(static_cast<const char *>(eq) - item);
            if (tag_len >= 1 && tag_len <= WFM_KW_TAG_MAX) {
                char tag[WFM_KW_TAG_MAX + 1];
                std::memcpy(tag, item, tag_len);
                tag[tag_len] = '\0';
                const size_t value_len = item_len - tag_len - 1;
                // An empty value is one element: the terminating NUL.
                static const char nul = '\0';
                push_record(out, tag, 'A', 1, value_len ? value_len : 1,
                            value_len ? item + tag_len + 1 : &nul);
            }
        }
        start = end + 1;
    }
}

// The extended header: entries at ext_start of `fd`. An area that does not lie
// within the file is skipped; a malformed entry ends the walk.
void load_ext_header(int fd, uint64_t file_bytes, const Hcb &hcb, std::vector<Record> &out) {
    if (hcb.ext_start == 0 || hcb.ext_size <= 7) return;
    if (hcb.ext_start > file_bytes || hcb.ext_size > kMaxExtBytes) return;
    const uint64_t n = std::min(hcb.ext_size, file_bytes - hcb.ext_start);
    std::vector<uint8_t> buf;
    try {
        buf.resize(static_cast<size_t>(n));
    } catch (const std::bad_alloc &) {
        return;
    }
    const size_t got = pread_full(fd, buf.data(), buf.size(), hcb.ext_start);
    size_t off = 0;
    size_t kept = 0;
    while (got - off >= 8 && kept < kMaxExtKeywords) {
        Record rec;
        size_t len = 0;
        const int rc = wfm_kw_decode(buf.data() + off, got - off, hcb.be ? 1 : 0, &rec.r, &len);
        if (rc < 0 || len == 0) break;
        if (rc == 0) {
            try {
                out.push_back(std::move(rec));
                ++kept;
            } catch (const std::bad_alloc &) {
            }
        }
        off += len;
    }
}

// Whole text of an 'A' record as one number followed only by blanks.
bool parse_number_text(const wfm_kw_record &r, double &v) {
    char text[64];
    const size_t n = std::min<size_t>(r.count, sizeof text - 1);
    std::memcpy(text, r.value, n);
    text[n] = '\0';
    char *end = nullptr;
    errno = 0;
    const double d = std::strtod(text, &end);
    if (end == text) return false;
    while (*end == ' ' || *end == '\t' || *end == '\r' || *end == '\n') ++end;
    if (*end != '\0') return false;
    v = d;
    return true;
}

bool record_number(const wfm_kw_record &r, double &v) {
    if (r.count < 1 || r.value == nullptr || wfm_kw_elem_size(r.code) != r.elem_size) return false;
    switch (r.code) {
    case 'B': v = static_cast<int8_t>(r.value[0]); return true;
    case 'I': { int16_t x; std::memcpy(&x, r.value, 2); v = x; return true; }
    case 'L':
    case 'T': { int32_t x; std::memcpy(&x, r.value, 4); v = x; return true; }
    case 'X': { int64_t x; std::memcpy(&x, r.value, 8); v = static_cast<double>(x); return true; }
    case 'F': { float x; std::memcpy(&x, r.value, 4); v = x; return true; }
    case 'D': std::memcpy(&v, r.value, 8); return true;
    default: return false;
    }
}

// fc from the first of FREQ, RF_FREQ, CENTER_FREQ, F_C that any record gives a
// value for. A numeric record outranks text; otherwise the later one wins.
void lookup_fc(const std::vector<Record> &kws, double &fc, int &source) {
    static const char *const tags[] = {"FREQ", "RF_FREQ", "CENTER_FREQ", "F_C"};
    for (int t = 0; t < 4; ++t) {
        bool found = false, numeric = false;
        double value = 0;
        for (const Record &rec : kws) {
            if (std::strcmp(rec.r.tag, tags[t]) != 0) continue;
            double v;
            if (rec.r.code == 'A') {
                if (numeric || rec.r.value == nullptr || !parse_number_text(rec.r, v)) continue;
            } else {
                if (!record_number(rec.r, v)) continue;
                numeric = true;
            }
            value = v;
            found = true;
        }
        if (found) {
            fc = value;
            source = IQR_FC_FREQ + t;
            return;
        }
    }
    fc = 0;
    source = IQR_FC_NONE;
}

// ---------------------------------------------------------------------------
// CSV detection

// "Ordinary decimal floating-point syntax": sign, digits, optional fraction,
// optional exponent. Advances p past the number.
bool scan_decimal(const char *&p) {
    const char *s = p;
    if (*s == '+' || *s == '-') ++s;
    bool digits = false;
    while (*s >= '0' && *s <= '9') ++s, digits = true;
    if (*s == '.') {
        ++s;
        while (*s >= '0' && *s <= '9') ++s, digits = true;
    }
    if (!digits) return false;
    if (*s == 'e' || *s == 'E') {
        const char *e = s + 1;
        if (*e == '+' || *e == '-') ++e;
        if (*e >= '0' && *e <= '9') {
            while (*e >= '0' && *e <= '9') ++e;
            s = e;
        }
    }
    p = s;
    return true;
}

void skip_blanks(const char *&p) {
    while (*p == ' ' || *p == '\t') ++p;
}

bool looks_like_csv(const uint8_t *head, size_t n, bool complex) {
    if (std::memchr(head, '\0', n) != nullptr) return false;
    size_t i = 0;
    while (i < n && (head[i] == '\r' || head[i] == '\n')) ++i;
    size_t j = i;
    while (j < n && head[j] != '\r' && head[j] != '\n') ++j;
    if (j - i >= 255) return false;
    char line[256];
    std::memcpy(line, head + i, j - i);
    line[j - i] = '\0';
    const char *p = line;
    skip_blanks(p);
    if (!scan_decimal(p)) return false;
    if (complex) {
        skip_blanks(p);
        if (*p != ',') return false;
        ++p;
        skip_blanks(p);
        if (!scan_decimal(p)) return false;
    }
    skip_blanks(p);
    return *p == '\0';
}

int64_t now_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void sleep_ms(int64_t ms) {
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(ms / 1000);
    ts.tv_nsec = static_cast<long>((ms % 1000) * 1000000);
    // An interrupted sleep returns early on purpose: the caller looks at the stop
    // request again at once.
    clock_nanosleep(CLOCK_MONOTONIC, 0, &ts, nullptr);
}

}  // namespace

// ---------------------------------------------------------------------------

struct iqreader {
    Fd data;        // binary payload (raw, blue, sigmf)
    Fd marker;      // detached BLUE: the header file, whose data_size marks the end
    File csv;       // CSV text stream
    int file_type = WFM_FILE_RAW;
    int kind = 0;
    bool complex = true;
    bool be = false;
    size_t stride = 8;
    int wire = WFM_CAP_CF32; // capture index of the wire type
    double recip = 1.0;      // 1/full scale of an integer kind (CSV rows hold integer codes)

    double fs = 0, fc = 0, t0 = 0;
    int fs_source = IQR_FS_NONE, fc_source = IQR_FC_NONE, t0_source = IQR_T0_NONE;

    uint64_t declared = 0;
    // BLUE payload bound in bytes, valid when `bounded`: a capture whose header
    // carries no end-of-capture mark yet is still being written and is read up
    // to the end of the file.
    uint64_t data_size = 0;
    bool bounded = false;
    bool live = false;      // the header says a writer is still appending: data_size is only its hint
    uint64_t ext_start = 0; // BLUE extended header offset from the header [bytes]; 0 = none
    uint64_t payload_start = 0;
    uint64_t pos = 0;       // absolute offset of the next sample in `data`
    uint64_t trailing = 0;
    std::vector<uint8_t> buf;

    std::vector<Record> keywords;
    std::vector<Record> header;

    uint32_t timeout_ms = 0, grace_ms = 0;
    int ending = IQR_END_NONE;
    iqreader_stop_fn stop = nullptr;

    bool csv_counted = false;
    uint64_t csv_rows = 0;
};

namespace {

void set_type(iqreader &r, int capidx, bool be) {
    r.kind = capidx % 5;
    r.complex = capidx < 5;
    r.be = be;
    r.stride = WFM_CAPTURE_TYPES[capidx].sample_bytes;
    r.wire = capidx;
    r.recip = sx::codec::wire_info(capidx).recip;
}

// Shared by attached and detached BLUE: metadata from the HCB and its keywords.
void take_blue_metadata(iqreader &r, const uint8_t *h, const Hcb &hcb, int hdr_fd, uint64_t hdr_bytes) {
    set_type(r, hcb.capidx, hcb.be);
    // Non-finite header doubles carry no information: they leave fs and t0 unknown.
    r.fs = hcb.xdelta != 0 ? 1.0 / hcb.xdelta : 0.0;
    if (!std::isfinite(r.fs)) r.fs = 0.0;
    r.fs_source = r.fs != 0 ? IQR_FS_XDELTA : IQR_FS_NONE;
    if (hcb.timecode != 0 && std::isfinite(hcb.timecode)) {
        r.t0 = hcb.timecode - WFM_BLUE_EPOCH_OFFSET;
        r.t0_source = IQR_T0_TIMECODE;
    }
    r.data_size = hcb.data_size;
    r.ext_start = hcb.ext_start;
    r.live = hcb.live;
    publish_hcb_fields(h, hcb.be, r.header);
    load_hcb_keywords(h, hcb.keylength, r.keywords);
    load_ext_header(hdr_fd, hdr_bytes, hcb, r.keywords);
    lookup_fc(r.keywords, r.fc, r.fc_source);
}

// The payload bound from a BLUE header's pipe field, data_size and ext_start
// (bytes). While the pipe field says the capture is live, data_size holds only
// the `total` hint given at open, which is no end: what the file holds is read.
// The writer patches data_size when it closes, so a non-zero value ends the payload.
// A capture closed with no samples keeps data_size 0; it is told apart from one
// still being written by its extended header pointer, which only a closing
// writer sets. The payload of an attached capture then ends where that header
// begins, so its bytes are never taken for samples. A detached payload has its
// own file and is unbounded until data_size says otherwise.
void set_bound(iqreader &r, bool live, uint64_t data_size, uint64_t ext_start) {
    r.ext_start = ext_start;
    r.live = live;
    if (live) {
        r.data_size = 0;
        r.bounded = false;
    } else if (data_size != 0) {
        r.data_size = data_size;
        r.bounded = true;
    } else if (ext_start != 0 && !r.marker.ok()) {
        r.data_size = ext_start > r.payload_start ? ext_start - r.payload_start : 0;
        r.bounded = true;
    } else {
        r.data_size = 0;
        r.bounded = false;
    }
}

// Payload geometry once the data file and its start are known.
bool finish_binary(iqreader &r) {
    uint64_t end = 0;
    if (!file_size(r.data.fd, end) || r.payload_start > end) return false;
    if (r.file_type == WFM_FILE_BLUE) set_bound(r, r.live, r.data_size, r.ext_start);
    const uint64_t in_file = end - r.payload_start;
    const uint64_t payload = r.bounded ? std::min(r.data_size, in_file) : in_file;
    r.trailing = payload % r.stride;
    // A BLUE capture left unclosed still carries data_size 0: count what is there.
    r.declared = (r.bounded ? r.data_size : in_file) / r.stride;
    r.pos = r.payload_start;
    return true;
}

bool open_sigmf(iqreader &r, const std::string &path, char *why, size_t why_cap) {
    wfm_sigmf_info info{};
    if (wfm_sigmf_meta_read_why((base_of(path) + ".sigmf-meta").c_str(), &info, why, why_cap) != 0) return false;
    if (info.sample_type < 0 || info.sample_type >= WFM_CAP_COUNT) return false;
    set_type(r, info.sample_type, info.big_endian != 0);
    r.file_type = WFM_FILE_SIGMF;
    r.fs = info.fs;
    r.fs_source = info.fs != 0 ? IQR_FS_SIGMF : IQR_FS_NONE;
    if (info.fc_present) {
        r.fc = info.fc;
        r.fc_source = IQR_FC_SIGMF;
    }
    r.data = open_read(path);
    if (!r.data.ok()) return false;
    r.payload_start = 0;
    return finish_binary(r);
}

bool open_detached(iqreader &r, const std::string &path) {
    const std::string base = base_of(path);
    Fd hdr;
    for (const char *ext : {".hdr", ".prm", ".tmp"}) {
        hdr = open_read(base + ext);
        if (hdr.ok()) break;
    }
    if (!hdr.ok()) return false;
    uint8_t h[WFM_BLUE_HCB_BYTES];
    uint64_t hdr_bytes = 0;
    Hcb hcb;
    if (!file_size(hdr.fd, hdr_bytes) || pread_full(hdr.fd, h, sizeof h, 0) != sizeof h || !parse_hcb(h, hcb))
        return false;
    take_blue_metadata(r, h, hcb, hdr.fd, hdr_bytes);
    r.data = open_read(path);
    if (!r.data.ok()) return false;
    r.marker = std::move(hdr);
    r.file_type = WFM_FILE_BLUE;
    r.payload_start = 0;
    return finish_binary(r);
}

bool open_by_content(iqreader &r, const std::string &path, int hint, int endian_hint) {
    Fd f = open_read(path);
    uint64_t bytes = 0;
    if (!f.ok() || !file_size(f.fd, bytes)) return false;
    uint8_t head[WFM_BLUE_HCB_BYTES];
    const size_t n = pread_full(f.fd, head, sizeof head, 0);
    if (n >= 4 && std::memcmp(head, "BLUE", 4) == 0) {
        Hcb hcb;
        if (n < sizeof head || !parse_hcb(head, hcb)) return false;
        take_blue_metadata(r, head, hcb, f.fd, bytes);
        r.file_type = WFM_FILE_BLUE;
        if (hcb.detached != 0) {
            r.data = open_read(base_of(path) + ".det");
            if (!r.data.ok()) return false;
            r.marker = std::move(f);
            r.payload_start = 0;
        } else {
            if (hcb.data_start > bytes) return false;
            r.data = std::move(f);
            r.payload_start = hcb.data_start;
        }
        return finish_binary(r);
    }
    set_type(r, hint, endian_hint != 0);
    if (looks_like_csv(head, n, hint < 5) || ends_with(path, ".csv")) {
        // The descriptor already checked to be a regular file becomes the text
        // stream: opening the name again could find another file in its place.
        r.csv.reset(::fdopen(f.fd, "r"));
        if (!r.csv) return false;
        f.fd = -1;
        r.file_type = WFM_FILE_CSV;
        r.payload_start = 0;
        return true;
    }
    r.file_type = WFM_FILE_RAW;
    r.data = std::move(f);
    r.payload_start = 0;
    return finish_binary(r);
}

// ---------------------------------------------------------------------------
// Reading

// Reads up to n whole samples at r.pos; never consumes a partial trailing sample.
size_t read_binary(iqreader &r, size_t n, float *out) {
    size_t done = 0;
    while (done < n) {
        const size_t want = std::min(n - done, kChunkSamples);
        const size_t bytes = want * r.stride;
        if (r.buf.size() < bytes) {
            try {
                r.buf.resize(std::max(bytes, std::min(kChunkSamples * r.stride, size_t{1} << 20)));
            } catch (const std::bad_alloc &) {
                return done;
            }
        }
        const size_t got = pread_full(r.data.fd, r.buf.data(), bytes, r.pos);
        const size_t whole = got / r.stride;
        sx::codec::decode(r.wire, r.buf.data(), whole, r.be, out + 2 * done);
        r.pos += whole * r.stride;
        done += whole;
        if (whole < want) break;
    }
    return done;
}

// Samples left before the payload bound (data_size), or `avail` when unbounded.
uint64_t within_bound(const iqreader &r, uint64_t avail) {
    if (!r.bounded) return avail;
    const uint64_t consumed = r.pos - r.payload_start;
    const uint64_t left = consumed < r.data_size ? (r.data_size - consumed) / r.stride : 0;
    return std::min(left, avail);
}

// A CSV row is one line: the number (scalar) or two numbers separated by a comma
// (complex), with blanks around them and a CR before the line break allowed.
bool parse_csv_line(const char *line, bool complex, double &a, double &b) {
    char *end = nullptr;
    a = std::strtod(line, &end);
    if (end == line) return false;
    const char *p = end;
    if (complex) {
        skip_blanks(p);
        if (*p != ',') return false;
        ++p;
        b = std::strtod(p, &end);
        if (end == p) return false;
        p = end;
    }
    while (*p == ' ' || *p == '\t' || *p == '\r') ++p;
    return *p == '\0';
}

enum class CsvLine { Row, Skipped, End };

// The next line of the CSV. A line that does not hold one row (malformed, blank,
// holding a NUL, or longer than any row can be) is consumed and reported as
// skipped, so it never joins the next line nor hides the rows after it. Only
// the line's first kCsvLineMax - 1 bytes are kept: a longer one is read through
// to its end without being stored. `live` leaves a last line that has no line
// break yet unconsumed: a writer may still be appending it.
CsvLine csv_line(iqreader &r, float *out, bool live) {
    FILE *f = r.csv.get();
    const long start = live ? std::ftell(f) : 0;
    char line[kCsvLineMax];
    size_t len = 0;
    bool whole = true, ended = false;
    int c;
    while ((c = getc_unlocked(f)) != EOF) {
        if (c == '\n') {
            ended = true;
            break;
        }
        if (c == '\0' || len == sizeof line - 1)
            whole = false;
        else
            line[len++] = static_cast<char>(c);
    }
    if (!ended) {
        // Clear end-of-file so that rows a writer appends later are seen.
        std::clearerr(f);
        if (live && start >= 0) {
            std::fseek(f, start, SEEK_SET);
            return CsvLine::End;
        }
        if (len == 0 && whole) return CsvLine::End;
    }
    line[len] = '\0';
    double a = 0, b = 0;
    if (!whole || !parse_csv_line(line, r.complex, a, b)) return CsvLine::Skipped;
    const double s = r.recip;
    out[0] = static_cast<float>(r.kind >= WFM_ELEM_I32 ? a * s : a);
    out[1] = r.complex ? static_cast<float>(r.kind >= WFM_ELEM_I32 ? b * s : b) : 0.0f;
    return CsvLine::Row;
}

size_t read_csv(iqreader &r, size_t n, float *out, bool live) {
    size_t i = 0;
    while (i < n) {
        const CsvLine k = csv_line(r, out + 2 * i, live);
        if (k == CsvLine::End) break;
        if (k == CsvLine::Row) ++i;
    }
    return i;
}

// Re-reads the end-of-capture mark (pipe, ext_start and data_size) from the
// header with one positioned read, so the patch a writer makes at close is seen.
// The writer clears the pipe field last, so a header read as closed already holds
// the final data_size and ext_start. A data_size that cannot be trusted leaves
// the bound as it was.
void reread_marker(iqreader &r) {
    uint8_t b[WFM_HCB_DATA_SIZE + 8 - WFM_HCB_PIPE];
    uint64_t size = 0;
    const int fd = r.marker.ok() ? r.marker.fd : r.data.fd;
    if (pread_full(fd, b, sizeof b, WFM_HCB_PIPE) != sizeof b ||
        !bytes_from_double(wfm_load_f64(b + (WFM_HCB_DATA_SIZE - WFM_HCB_PIPE), r.be), size))
        return;
    const bool live = wfm_load_i32(b, r.be) != 0;
    const int32_t blocks = wfm_load_i32(b + (WFM_HCB_EXT_START - WFM_HCB_PIPE), r.be);
    set_bound(r, live, size, blocks >= 1 ? static_cast<uint64_t>(blocks) * WFM_BLUE_BLOCK : 0);
}

// Samples a read from the current position can return at most, from the file
// size and the payload bound as last seen: a CSV row takes at least two bytes
// ("1" and a line break; four for "1,2") except the last, which may lack the break.
uint64_t readable_bound(const iqreader &r) {
    uint64_t end = 0;
    if (r.file_type == WFM_FILE_CSV) {
        FILE *f = r.csv.get();
        const long here = std::ftell(f);
        if (here < 0 || !file_size(fileno(f), end) || end <= static_cast<uint64_t>(here)) return 0;
        return (end - static_cast<uint64_t>(here) + 1) / (r.complex ? 4 : 2);
    }
    if (!file_size(r.data.fd, end) || end <= r.pos) return 0;
    return within_bound(r, (end - r.pos) / r.stride);
}

// Whole samples at most n that may be read now. For BLUE the file end is measured
// before the header is read again: a writer patches the header before it appends
// padding or an extended header, so bytes seen here past the payload are always
// cut off by the bound read next.
uint64_t readable_now(iqreader &r, uint64_t n) {
    uint64_t end = 0, avail = 0;
    if (file_size(r.data.fd, end) && end > r.pos) avail = (end - r.pos) / r.stride;
    if (r.file_type == WFM_FILE_BLUE) reread_marker(r);
    return within_bound(r, std::min(avail, n));
}

}  // namespace

extern "C" {

iqreader *iqreader_create(const char *path, int stype_hint, int endian_hint) {
    return iqreader_create_why(path, stype_hint, endian_hint, nullptr, 0);
}

iqreader *iqreader_create_why(const char *path, int stype_hint, int endian_hint, char *why, size_t why_cap) {
    if (why != nullptr && why_cap > 0) why[0] = '\0';
    if (path == nullptr || stype_hint < 0 || stype_hint >= WFM_CAP_COUNT) return nullptr;
    try {
        auto r = std::make_unique<iqreader>();
        const std::string p(path);
        bool ok;
        if (p.size() > 10 && ends_with(p, ".sigmf-data"))
            ok = open_sigmf(*r, p, why, why_cap);
        else if (p.size() > 3 && ends_with(p, ".det"))
            ok = open_detached(*r, p);
        else
            ok = open_by_content(*r, p, stype_hint, endian_hint);
        return ok ? r.release() : nullptr;
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

void iqreader_destroy(iqreader *r) { delete r; }

size_t iqreader_read(iqreader *r, size_t count, float *out, size_t capacity) {
    if (r == nullptr || out == nullptr) return 0;
    const size_t n = std::min(count, capacity);
    if (n == 0) return 0;
    if (r->file_type == WFM_FILE_CSV) return read_csv(*r, n, out, false);
    return read_binary(*r, static_cast<size_t>(readable_now(*r, n)), out);
}

size_t iqreader_read_max_out(const iqreader *r, size_t n) { return r == nullptr ? 0 : std::min<uint64_t>(n, readable_bound(*r)); }
size_t iqreader_read_follow_max_out(const iqreader *r, size_t n) {
    return r == nullptr ? 0 : std::min<uint64_t>(n, std::max<uint64_t>(readable_bound(*r), IQR_FOLLOW_CHUNK));
}

size_t iqreader_read_follow(iqreader *r, size_t count, float *out, size_t capacity) {
    if (r == nullptr) return 0;
    r->ending = IQR_END_NONE;
    const size_t n = std::min(count, capacity);
    if (n == 0 || out == nullptr) return 0;
    bool stopping = false;
    int64_t deadline = r->timeout_ms ? now_ms() + r->timeout_ms : 0;
    for (;;) {
        if (r->file_type == WFM_FILE_CSV) {
            const size_t got = read_csv(*r, n, out, true);
            if (got > 0) return got;
        } else {
            const uint64_t k = readable_now(*r, n);
            if (k > 0) {
                const size_t got = read_binary(*r, static_cast<size_t>(k), out);
                if (got > 0) return got;
            } else if (r->bounded && within_bound(*r, UINT64_MAX) == 0) {
                r->ending = IQR_END_EOF;
                return 0;
            }
        }
        // Nothing to return yet: wait, unless a budget or a stop request says otherwise.
        int this_end = IQR_END_TIMEOUT;
        if (stopping) {
            this_end = IQR_END_INTERRUPTED;
        } else if (r->stop != nullptr && r->stop()) {
            stopping = true;
            this_end = IQR_END_INTERRUPTED;
            if (r->grace_ms == 0) {
                r->ending = IQR_END_INTERRUPTED;
                return 0;
            }
            deadline = now_ms() + r->grace_ms;
        }
        // The process-wide waiting latency (100 ms unless set) bounds each sleep.
        int64_t slice = sx_interrupt_latency_ms();
        if (deadline != 0) {
            const int64_t left = deadline - now_ms();
            if (left <= 0) {
                r->ending = this_end;
                return 0;
            }
            slice = std::min(slice, left);
        }
        sleep_ms(slice);
    }
}

void iqreader_reset(iqreader *r) {
    if (r == nullptr) return;
    r->pos = r->payload_start;
    if (r->csv) {
        std::clearerr(r->csv.get());
        std::fseek(r->csv.get(), static_cast<long>(r->payload_start), SEEK_SET);
    }
}

int iqreader_get_file_type(const iqreader *r) { return r ? r->file_type : 0; }
int iqreader_get_sample_type(const iqreader *r) { return r ? r->kind + (r->complex ? 0 : 5) : 0; }
int iqreader_get_mode(const iqreader *r) { return r && !r->complex ? IQR_MODE_SCALAR : IQR_MODE_COMPLEX; }
int iqreader_get_endian(const iqreader *r) { return r && r->be ? IQR_ENDIAN_BE : IQR_ENDIAN_LE; }
double iqreader_get_fs(const iqreader *r) { return r ? r->fs : 0.0; }
double iqreader_get_fc(const iqreader *r) { return r ? r->fc : 0.0; }
int iqreader_get_fc_source(const iqreader *r) { return r ? r->fc_source : 0; }
int iqreader_get_fs_source(const iqreader *r) { return r ? r->fs_source : 0; }
double iqreader_get_t0(const iqreader *r) { return r ? r->t0 : 0.0; }
int iqreader_get_t0_source(const iqreader *r) { return r ? r->t0_source : 0; }
uint64_t iqreader_get_trailing_bytes(const iqreader *r) { return r ? r->trailing : 0; }
int iqreader_get_ending(const iqreader *r) { return r ? r->ending : 0; }
uint32_t iqreader_get_follow_timeout_ms(const iqreader *r) { return r ? r->timeout_ms : 0; }
void iqreader_set_follow_timeout_ms(iqreader *r, uint32_t ms) {
    if (r) r->timeout_ms = ms;
}
uint32_t iqreader_get_follow_grace_ms(const iqreader *r) { return r ? r->grace_ms : 0; }
void iqreader_set_follow_grace_ms(iqreader *r, uint32_t ms) {
    if (r) r->grace_ms = ms;
}
void iqreader_set_stop_fn(iqreader *r, iqreader_stop_fn fn) {
    if (r) r->stop = fn;
}

uint64_t iqreader_get_num_samples(iqreader *r) {
    if (r == nullptr) return 0;
    if (r->file_type != WFM_FILE_CSV || r->csv_counted) return r->file_type == WFM_FILE_CSV ? r->csv_rows : r->declared;
    FILE *f = r->csv.get();
    const long here = std::ftell(f);
    if (here < 0 || std::fseek(f, static_cast<long>(r->payload_start), SEEK_SET) != 0) return r->csv_rows;
    uint64_t rows = 0;
    float row[2];
    for (CsvLine k; (k = csv_line(*r, row, false)) != CsvLine::End;) rows += k == CsvLine::Row;
    std::clearerr(f);
    if (std::fseek(f, here, SEEK_SET) != 0) return r->csv_rows;
    r->csv_rows = rows;
    r->csv_counted = true;
    return rows;
}

void iqreader_info(iqreader *r, iqreader_info_t *out) {
    if (r == nullptr || out == nullptr) return;
    out->file_type = iqreader_get_file_type(r);
    out->sample_type = iqreader_get_sample_type(r);
    out->mode = iqreader_get_mode(r);
    out->endian = iqreader_get_endian(r);
    out->fs = r->fs;
    out->fc = r->fc;
    out->num_samples = iqreader_get_num_samples(r);
    out->fc_source = r->fc_source;
    out->trailing_bytes = r->trailing;
    out->fs_source = r->fs_source;
    out->t0 = r->t0;
    out->t0_source = r->t0_source;
}

size_t iqreader_num_keywords(const iqreader *r) { return r ? r->keywords.size() : 0; }
const wfm_kw_record *iqreader_keyword(const iqreader *r, size_t i) {
    return (r && i < r->keywords.size()) ? &r->keywords[i].r : nullptr;
}
const char *iqreader_keyword_tag(const iqreader *r, size_t i) {
    const wfm_kw_record *k = iqreader_keyword(r, i);
    return k ? k->tag : nullptr;
}
const wfm_kw_record *iqreader_find_keyword(const iqreader *r, const char *tag) {
    if (r == nullptr || tag == nullptr) return nullptr;
    for (const Record &k : r->keywords)
        if (std::strcmp(k.r.tag, tag) == 0) return &k.r;
    return nullptr;
}

size_t iqreader_num_header_fields(const iqreader *r) { return r ? r->header.size() : 0; }
const wfm_kw_record *iqreader_header_field(const iqreader *r, size_t i) {
    return (r && i < r->header.size()) ? &r->header[i].r : nullptr;
}
const char *iqreader_header_tag(const iqreader *r, size_t i) {
    const wfm_kw_record *k = iqreader_header_field(r, i);
    return k ? k->tag : nullptr;
}
const wfm_kw_record *iqreader_find_header_field(const iqreader *r, const char *tag) {
    if (r == nullptr || tag == nullptr) return nullptr;
    for (const Record &k : r->header)
        if (std::strcmp(k.r.tag, tag) == 0) return &k.r;
    return nullptr;
}

}  // extern "C"
