#include "capture_files/iqwriter_core.h"

#include <stdio_ext.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <new>
#include <string>

#include "capture_files/sigmf_meta.h"
#include "capture_files/keywords.h"
#include "capture_files/write_blue_header.h"
#include "core/sample_codec.h"

struct iqwriter {
    FILE *f = nullptr;
    bool owned = false;
    int ftype = 0, stype = 0, be = 0;
    uint64_t written = 0;
    uint8_t *buf = nullptr; // conversion buffer, grown on demand
    size_t buf_cap = 0;
    float peak = 0.0f;
    uint64_t clips = 0;
    bool track = false;
    float gain = 1.0f;
    char hcb_kw[WFM_HCB_KEYWORDS_MAX] = {};
    size_t hcb_kw_len = 0;
    uint8_t *ext = nullptr; // extended-header entries, written at close
    size_t ext_len = 0, ext_cap = 0;
    bool user_keywords = false; // keywords the caller asked for (not the automatic FREQ)
    double fs = 0, fc = 0, t0 = 0;
    std::string path;          // kept only when a metadata file is written at close
    off_t pos = -1;            // stream offset of the next payload byte; -1 when not seekable
    bool live = false;         // the header's pipe field says "still being written" until close
    bool broken = false;       // a partial sample reached a stream that cannot be rolled back
};

namespace {

bool is_tag(const char *tag, std::initializer_list<const char *> names) {
    for (const char *n : names)
        if (std::strcmp(tag, n) == 0) return true;
    return false;
}

bool grow(uint8_t *&p, size_t &cap, size_t need) {
    if (cap >= need) return true;
    void *q = std::realloc(p, need);
    if (q == nullptr) return false;
    p = static_cast<uint8_t *>(q);
    cap = need;
    return true;
}

// Bytes of buf[0..got) that form whole units: samples of `unit` bytes, or whole
// lines when unit is 0. Also returns the end of the unit that `got` falls in.
size_t whole_units(const uint8_t *buf, size_t got, size_t len, size_t unit, size_t *next_end) {
    if (unit > 0) {
        const size_t keep = got / unit * unit;
        *next_end = keep + unit <= len ? keep + unit : len;
        return keep;
    }
    size_t keep = got;
    while (keep > 0 && buf[keep - 1] != '\n') --keep;
    size_t end = got;
    while (end < len && buf[end] != '\n') ++end;
    *next_end = end < len ? end + 1 : len;
    return keep;
}

// Writes buf[0..len) and returns the bytes that landed as whole units. A short
// write is first completed to the end of the unit it stopped in; when that
// fails too, the stream is cut back to the last whole unit, so a partial sample
// or line never shifts what follows. The stream keeps its error indicator.
//
// A caller's stream may be buffered, where fwrite accepts bytes that a later
// flush fails to write: the block is flushed at once (free on the writer's own
// unbuffered stream, whose fwrite count is exact), and after a failure a regular
// file's size says how much of the block really landed.
size_t emit(iqwriter *w, const uint8_t *buf, size_t len, size_t unit) {
    if (w->broken) return 0;
    FILE *f = w->f;
    const off_t start = w->pos;
    size_t got = std::fwrite(buf, 1, len, f);
    if (got == len && std::fflush(f) == 0) {
        if (start >= 0) w->pos = start + static_cast<off_t>(len);
        return len;
    }
    std::fflush(f);
    __fpurge(f); // what could not be written must not be retried later
    const int fd = fileno(f);
    struct stat st;
    const bool regular = start >= 0 && fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (!regular && !w->owned) {
        // A caller's stream that is no file may be buffered: how much of the
        // block got out is unknown, so none of it is counted.
        w->broken = true;
        w->pos = -1;
        return 0;
    }
    if (regular) {
        const off_t landed = st.st_size > start ? st.st_size - start : 0;
        if (static_cast<uint64_t>(landed) < got) got = static_cast<size_t>(landed);
        if (fseeko(f, start + static_cast<off_t>(got), SEEK_SET) != 0) {
            w->broken = true;
            w->pos = -1;
            return 0;
        }
    }
    size_t next_end = 0;
    size_t keep = whole_units(buf, got, len, unit, &next_end);
    if (keep < got) {
        const size_t rest = next_end - got;
        if (std::fwrite(buf + got, 1, rest, f) == rest && std::fflush(f) == 0) {
            keep = next_end;
            got = next_end;
        } else {
            std::fflush(f);
            __fpurge(f);
        }
    }
    if (regular) {
        const off_t target = start + static_cast<off_t>(keep);
        if (fstat(fd, &st) == 0 && (st.st_size <= target || ftruncate(fd, target) == 0) &&
            fseeko(f, target, SEEK_SET) == 0) {
            w->pos = target;
            return keep;
        }
    } else if (keep == got) {
        return keep;
    }
    // Nothing can be rolled back (a pipe): stop writing rather than shift every later sample.
    w->broken = true;
    w->pos = -1;
    return keep;
}

size_t write_binary(iqwriter *w, const float *iq, size_t n) {
    const size_t s = sx::codec::wire_info(w->stype).sample_bytes;
    if (n > SIZE_MAX / s) return 0;
    const size_t bytes = n * s;
    const uint8_t *src;
    if (sx::codec::encode_is_copy(w->stype, w->gain, w->be != 0)) {
        src = reinterpret_cast<const uint8_t *>(iq); // the wire format is the input format
    } else {
        if (!grow(w->buf, w->buf_cap, bytes)) return 0;
        sx::codec::encode(w->stype, iq, n, w->gain, w->be != 0, w->buf);
        src = w->buf;
    }
    return emit(w, src, bytes, s) / s;
}

// One text line per sample. Lines are formatted a few thousand at a time and
// each batch is written at once, so the buffer stays small whatever the block
// size (a line may need up to 128 bytes although most take a few dozen).
size_t write_csv(iqwriter *w, const float *iq, size_t n) {
    const wfm_capture_type &t = WFM_CAPTURE_TYPES[w->stype];
    const int kind = w->stype % 5;
    // "%0.9f" of the largest float is 49 characters; two values, a comma and a newline fit 128.
    constexpr size_t kLineMax = 128;
    constexpr size_t kBatch = 4096;
    if (!grow(w->buf, w->buf_cap, (n < kBatch ? n : kBatch) * kLineMax)) return 0;
    char *p = reinterpret_cast<char *>(w->buf);
    const float g = w->gain;
    size_t lines = 0;
    for (size_t j0 = 0; j0 < n; j0 += kBatch) {
        const size_t j1 = n - j0 < kBatch ? n : j0 + kBatch;
        size_t len = 0;
        bool formatted = true;
        for (size_t j = j0; j < j1; ++j) {
            const float i = iq[2 * j] * g, q = iq[2 * j + 1] * g;
            int k;
            if (kind == WFM_ELEM_F32) {
                k = t.is_complex ? std::snprintf(p + len, kLineMax, "%0.9f,%0.9f\n", i, q)
                                 : std::snprintf(p + len, kLineMax, "%0.9f\n", i);
            } else if (kind == WFM_ELEM_F64) {
                k = t.is_complex ? std::snprintf(p + len, kLineMax, "%0.17g,%0.17g\n", double(i), double(q))
                                 : std::snprintf(p + len, kLineMax, "%0.17g\n", double(i));
            } else {
                const double full = sx::codec::wire_info(w->stype).full_scale;
                const long a = sx::codec::quantise(i, full), b = sx::codec::quantise(q, full);
                k = t.is_complex ? std::snprintf(p + len, kLineMax, "%ld,%ld\n", a, b)
                                 : std::snprintf(p + len, kLineMax, "%ld\n", a);
            }
            if (k <= 0 || static_cast<size_t>(k) >= kLineMax) {
                formatted = false;
                break;
            }
            len += static_cast<size_t>(k);
        }
        const size_t keep = len > 0 ? emit(w, w->buf, len, 0) : 0;
        for (size_t b = 0; b < keep; ++b) lines += w->buf[b] == '\n';
        // Writing stops at the first line that could not be formatted or written.
        if (!formatted || keep < len) break;
    }
    return lines;
}

void free_writer(iqwriter *w) {
    std::free(w->buf);
    std::free(w->ext);
    delete w;
}

bool put_at(FILE *f, long off, const uint8_t *b, size_t n) {
    return std::fseek(f, off, SEEK_SET) == 0 && std::fwrite(b, 1, n, f) == n && std::fflush(f) == 0;
}

// The header is complete before anything is appended after the payload: the
// keyword area, data_size, ext_start/ext_size, and last the pipe field cleared
// (the capture is no longer live), each flushed, and only then the padding and
// the extended header. A follower that still sees the capture live therefore
// never finds bytes past the payload, and one that sees it closed finds the
// final data_size and stops where the payload does. An empty capture also gets
// ext_start, pointing at the block after the payload, even with no extended
// header (ext_size 0), so that a reader that does not look at the pipe field
// does not take its data_size of 0 for "still being written".
bool finish_blue(iqwriter *w) {
    FILE *f = w->f;
    if (std::fseek(f, WFM_HCB_DATA_SIZE, SEEK_SET) != 0) {
        // Not seekable (a pipe): the header cannot be patched. That alone is
        // expected, but keywords the caller asked for would be lost silently.
        return !w->user_keywords;
    }
    bool ok = std::fseek(f, 0, SEEK_END) == 0;
    const off_t p = ftello(f);
    if (!ok || p < 0) return false;
    uint8_t b[8];
    if (w->hcb_kw_len > 0) {
        wfm_store_i32(b, static_cast<int32_t>(w->hcb_kw_len), w->be);
        ok = put_at(f, WFM_HCB_KEYLENGTH, b, 4) &&
             put_at(f, WFM_HCB_KEYWORDS, reinterpret_cast<const uint8_t *>(w->hcb_kw), w->hcb_kw_len);
    }
    const double data_size = static_cast<double>(w->written) * WFM_CAPTURE_TYPES[w->stype].sample_bytes;
    wfm_store_f64(b, data_size, w->be);
    ok = put_at(f, WFM_HCB_DATA_SIZE, b, 8) && ok;
    const off_t pad = (WFM_BLUE_BLOCK - p % WFM_BLUE_BLOCK) % WFM_BLUE_BLOCK;
    const off_t blocks = (p + pad) / WFM_BLUE_BLOCK;
    // Both fields are signed 32-bit: a capture too long for them gets no
    // extended header rather than a wrapped pointer.
    bool ext = w->ext_len > 0 || w->written == 0;
    if (ext && (blocks > INT32_MAX || w->ext_len > static_cast<size_t>(INT32_MAX))) {
        ext = false;
        ok = false;
    }
    if (ext) {
        wfm_store_i32(b, static_cast<int32_t>(blocks), w->be);
        wfm_store_i32(b + 4, static_cast<int32_t>(w->ext_len), w->be);
        if (!put_at(f, WFM_HCB_EXT_START, b, 8)) return false;
    }
    if (w->live) {
        wfm_store_i32(b, 0, w->be);
        if (!put_at(f, WFM_HCB_PIPE, b, 4)) return false;
    }
    if (ext && w->ext_len > 0) {
        static const uint8_t zeros[WFM_BLUE_BLOCK] = {};
        const size_t zn = static_cast<size_t>(pad);
        if (fseeko(f, p, SEEK_SET) != 0 || std::fwrite(zeros, 1, zn, f) != zn ||
            std::fwrite(w->ext, 1, w->ext_len, f) != w->ext_len || std::fflush(f) != 0) {
            // Nothing may point at a partial extended header: cut it off so the
            // file ends where its payload does, and record it as empty.
            __fpurge(f);
            const int fd = fileno(f);
            if (fd >= 0) (void)!ftruncate(fd, p);
            wfm_store_i32(b, 0, w->be);
            put_at(f, WFM_HCB_EXT_SIZE, b, 4);
            return false;
        }
    }
    return std::fseek(f, 0, SEEK_END) == 0 && ok;
}

bool add_ext_entry(iqwriter *w, const char *tag, char code, const void *value, size_t count) {
    const size_t es = wfm_kw_elem_size(code);
    const size_t tag_len = std::strlen(tag);
    if (es == 0 || count > SIZE_MAX / es) return false;
    const size_t len = wfm_kw_entry_size(tag_len, count * es);
    if (len == 0 || len > SIZE_MAX - w->ext_len) return false;
    size_t cap = w->ext_cap == 0 ? 256 : w->ext_cap;
    while (cap < w->ext_len + len) {
        if (cap > SIZE_MAX / 2) return false;
        cap *= 2;
    }
    if (!grow(w->ext, w->ext_cap, cap)) return false;
    const size_t n = wfm_kw_encode(w->ext + w->ext_len, w->ext_cap - w->ext_len, tag, code, value, count, w->be);
    if (n == 0) return false;
    w->ext_len += n;
    return true;
}

}  // namespace

extern "C" {

iqwriter *iqwriter_open(FILE *f, int file_type, int sample_type, int big_endian, uint64_t total, double fs, double fc,
                        double t0) {
    if (f == nullptr || sample_type < 0 || sample_type >= WFM_CAP_COUNT || file_type < 0 || file_type > 3)
        return nullptr;
    iqwriter *w = new (std::nothrow) iqwriter;
    if (w == nullptr) return nullptr;
    w->f = f;
    w->ftype = file_type;
    w->stype = sample_type;
    w->be = big_endian != 0;
    w->fs = fs;
    w->fc = fc;
    w->t0 = t0;
    if (file_type == WFM_FILE_BLUE) {
        // Flushed at once: on a caller's buffered stream only the flush shows that
        // the header really reached the file (and a follower sees it sooner).
        // On a stream that can seek back, the header says the capture is live
        // (pipe 1) until close: the `total` hint in data_size is no end a
        // follower may stop at. A stream that cannot seek is never patched, so
        // it keeps the plain header and the hint.
        uint8_t hcb[WFM_BLUE_HCB_BYTES];
        w->live = ftello(f) >= 0;
        if (wfm_blue_build_hcb(hcb, sample_type, w->be, total, 0, fs, fc, WFM_BLUE_HCB_BYTES, t0) != 0) {
            free_writer(w);
            return nullptr;
        }
        if (w->live) wfm_store_i32(hcb + WFM_HCB_PIPE, 1, w->be);
        if (std::fwrite(hcb, 1, sizeof hcb, f) != sizeof hcb || std::fflush(f) != 0) {
            free_writer(w);
            return nullptr;
        }
        if (fc != 0.0) {
            const int n = std::snprintf(w->hcb_kw, sizeof w->hcb_kw, "FREQ=%.17g", fc);
            w->hcb_kw_len = static_cast<size_t>(n) + 1;
            if (!add_ext_entry(w, "FREQ", 'D', &fc, 1)) {
                free_writer(w);
                return nullptr;
            }
        }
    }
    w->pos = ftello(f);
    return w;
}

iqwriter *iqwriter_create(const char *path, int file_type, int sample_type, int big_endian, uint64_t total,
                          int sidecar, double fs, double fc, double headroom_db, double t0) {
    // Everything is checked before the file is opened, so a refusal leaves no file behind.
    if (path == nullptr || sample_type < 0 || sample_type >= WFM_CAP_COUNT || file_type < 0 || file_type > 3 ||
        !std::isfinite(headroom_db))
        return nullptr;
    // The gain is kept as a float: a headroom below about -770 dB has none.
    const double gain = headroom_db != 0.0 ? std::exp(-0.05 * headroom_db * std::log(10.0)) : 1.0;
    if (!(gain <= std::numeric_limits<float>::max())) return nullptr;
    const size_t len = std::strlen(path);
    if (file_type == WFM_FILE_SIGMF && (len <= 10 || std::strcmp(path + len - 11, ".sigmf-data") != 0))
        return nullptr;
    const bool keep_path =
        file_type == WFM_FILE_SIGMF || (sidecar && (file_type == WFM_FILE_RAW || file_type == WFM_FILE_CSV));
    char meta[WFM_SIGMF_NAME_MAX + 1];
    if (keep_path && wfm_sigmf_meta_path(path, meta, sizeof meta) != 0) return nullptr;
    FILE *f = std::fopen(path, "wb");
    if (f == nullptr) return nullptr;
    // Unbuffered: every write call is one system call of whole samples, so what
    // the writer counts is exactly what reached the file, and a follower sees each
    // block as soon as write() returns.
    std::setvbuf(f, nullptr, _IONBF, 0);
    iqwriter *w = iqwriter_open(f, file_type, sample_type, big_endian, total, fs, fc, t0);
    if (w == nullptr) {
        std::fclose(f);
        return nullptr;
    }
    w->owned = true;
    try {
        if (keep_path) w->path = path;
    } catch (const std::bad_alloc &) {
        std::fclose(f);
        free_writer(w);
        return nullptr;
    }
    w->gain = static_cast<float>(gain);
    return w;
}

size_t iqwriter_write(iqwriter *w, const float *iq, size_t n) {
    if (w == nullptr || n == 0 || iq == nullptr || w->f == nullptr) return 0;
    // Peak and clips describe the capture, so they cover only the samples that
    // reached it. They are taken while the block is warm in the cache and taken
    // again over the leading `done` samples after a short write.
    const sx::codec::ClipCount rule = sx::codec::clip_rule(w->stype, w->track);
    float peak = w->peak;
    uint64_t clips = 0;
    sx::codec::account(iq, n, w->gain, rule, peak, clips);
    const size_t done = w->ftype == WFM_FILE_CSV ? write_csv(w, iq, n) : write_binary(w, iq, n);
    if (done < n) {
        peak = w->peak;
        clips = 0;
        sx::codec::account(iq, done, w->gain, rule, peak, clips);
    }
    w->peak = peak;
    w->clips += clips;
    w->written += done;
    return done;
}

int iqwriter_add_keyword(iqwriter *w, const char *tag, char code, const void *value, size_t count) {
    if (w == nullptr || w->ftype != WFM_FILE_BLUE || tag == nullptr || value == nullptr || count == 0 ||
        wfm_kw_elem_size(code) == 0)
        return -1;
    const size_t tag_len = std::strlen(tag);
    // The header area is NUL-separated text: a value holding a NUL would be cut
    // there on reading, so such a value goes to the extended header instead.
    if (code == 'A' && is_tag(tag, {"CREATOR", "IO", "PACKET", "PKT_BYTE_COUNT", "TC_PREC", "VER"}) &&
        count <= WFM_HCB_KEYWORDS_MAX && w->hcb_kw_len + tag_len + count + 2 <= WFM_HCB_KEYWORDS_MAX &&
        std::memchr(value, '\0', count) == nullptr) {
        char *p = w->hcb_kw + w->hcb_kw_len;
        std::memcpy(p, tag, tag_len);
        p[tag_len] = '=';
        std::memcpy(p + tag_len + 1, value, count);
        p[tag_len + 1 + count] = '\0';
        w->hcb_kw_len += tag_len + count + 2;
        w->user_keywords = true;
        return 0;
    }
    if (!add_ext_entry(w, tag, code, value, count)) return -1;
    w->user_keywords = true;
    return 0;
}

int iqwriter_flush(iqwriter *w) {
    if (w == nullptr || w->f == nullptr || std::ferror(w->f) || w->broken) return -1;
    return std::fflush(w->f) == 0 ? 0 : -1;
}

void iqwriter_set_gain(iqwriter *w, float gain) {
    if (w != nullptr) w->gain = gain;
}
void iqwriter_track_clipping(iqwriter *w, int on) {
    if (w != nullptr) w->track = on != 0;
}
double iqwriter_peak(const iqwriter *w) { return w == nullptr ? 0.0 : w->peak; }
double iqwriter_get_peak_dbfs(const iqwriter *w) {
    const double p = iqwriter_peak(w);
    return p > 0.0 ? 20.0 * std::log10(p) : -INFINITY;
}
int iqwriter_get_clipped(const iqwriter *w) {
    return w != nullptr && w->peak > 1.0f && WFM_CAPTURE_TYPES[w->stype].is_integer;
}
double iqwriter_clip_fraction(const iqwriter *w) {
    if (w == nullptr || w->written == 0) return 0.0;
    return static_cast<double>(w->clips) / (2.0 * static_cast<double>(w->written));
}
double iqwriter_get_clip_fraction(const iqwriter *w) { return iqwriter_clip_fraction(w); }
uint64_t iqwriter_samples_written(const iqwriter *w) { return w == nullptr ? 0 : w->written; }
uint64_t iqwriter_clip_count(const iqwriter *w) { return w == nullptr ? 0 : w->clips; }

int write_sigmf_sidecar(iqwriter *w) {
    if (w == nullptr || w->path.empty()) return -1;
    char name[WFM_SIGMF_NAME_MAX + 1];
    if (wfm_sigmf_meta_path(w->path.c_str(), name, sizeof name) != 0) return -1;
    // A raw capture is a SigMF "non-conforming dataset": its sidecar names the
    // data file (beside it, so by its bare name), which readers would otherwise
    // look for as "<base>.sigmf-data". A CSV holds text, no dataset at all.
    const char *dataset = nullptr;
    if (w->ftype == WFM_FILE_RAW) {
        const char *slash = std::strrchr(w->path.c_str(), '/');
        dataset = slash != nullptr ? slash + 1 : w->path.c_str();
    }
    char *json = wfm_sigmf_meta_json_dataset(w->stype, w->be, nullptr, 0, w->fs, w->fc, w->t0, dataset);
    if (json == nullptr) return -1;
    int rc = -1;
    FILE *f = std::fopen(name, "w");
    if (f != nullptr) {
        const size_t n = std::strlen(json);
        const bool wrote = std::fwrite(json, 1, n, f) == n;
        rc = (std::fclose(f) == 0 && wrote) ? 0 : -1;
    }
    wfm_sigmf_meta_free(json);
    return rc;
}

int iqwriter_close(iqwriter *w) {
    if (w == nullptr) return 0;
    bool ok = !w->broken;
    if (w->ftype == WFM_FILE_BLUE) ok = finish_blue(w) && ok;
    if (std::ferror(w->f)) ok = false;
    if (w->owned) {
        if (std::fclose(w->f) != 0) ok = false;
    } else if (std::fflush(w->f) != 0) {
        ok = false;
    }
    w->f = nullptr;
    if (ok && !w->path.empty() && write_sigmf_sidecar(w) != 0) ok = false;
    free_writer(w);
    return ok ? 0 : -1;
}

int iqwriter_destroy(iqwriter *w) { return iqwriter_close(w); }

}  // extern "C"
