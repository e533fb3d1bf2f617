#include "core/sx_tlm_capture_core.h"

#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>

#include "core/sx_tlm_core.h"

namespace {

constexpr size_t kRec = sizeof(sx_tlm_record);
constexpr size_t kFirstStore = 16384;

struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};
using Records = std::unique_ptr<sx_tlm_record[], FreeDeleter>;

Records alloc_records(size_t n) {
    if (n > SIZE_MAX / kRec) return nullptr;
    return Records(static_cast<sx_tlm_record *>(std::malloc(n * kRec)));
}

// Staging wanted for a block bound: several blocks' worth for small bounds so
// hand-overs (and waits on the writer) are rare, down to one block for huge
// ones. 0 when the byte size would overflow.
size_t staging_for(uint64_t bound) {
    const uint64_t mult = bound <= 131072 ? 8 : bound <= 262144 ? 4 : bound <= 524288 ? 2 : 1;
    if (bound > SIZE_MAX / kRec / mult) return 0;
    return static_cast<size_t>(bound * mult);
}

}  // namespace

struct sx_tlm_capture {
    sx_tlm *ctx = nullptr;
    uint64_t block_samples = 0;
    const sx_sample_clock *clock = nullptr;

    bool file_mode = false;
    std::string path;
    FILE *fp = nullptr;

    uint64_t ring_bound = 0;

    Records stage[2];
    size_t fill[2] = {0, 0};
    size_t stage_cap = 0;
    int active = 0;

    // Writer hand-off (file mode). `handed`, `stop` and `writer_error` are
    // guarded by `mu`; a handed stage belongs to the writer until it is given back.
    std::mutex mu;
    std::condition_variable work;
    std::condition_variable done;
    std::thread writer;
    int handed = -1;
    bool stop = false;
    int writer_error = 0;

    // Memory store (memory mode).
    Records store;
    size_t store_count = 0;
    size_t store_cap = 0;

    uint64_t count = 0;
    uint64_t dropped_at_open = 0;
    uint64_t dropped = 0;
    int caller_error = 0;
    bool closed = false;
    int verdict = 0;
};

namespace {

void note(sx_tlm_capture *c, int rc) {
    if (rc != 0 && c->caller_error == 0) c->caller_error = rc;
}

void writer_main(sx_tlm_capture *c) {
    std::unique_lock<std::mutex> lk(c->mu);
    for (;;) {
        while (c->handed < 0) {
            if (c->stop) return;
            c->work.wait(lk);
        }
        const int idx = c->handed;
        lk.unlock();
        const size_t n = c->fill[idx];
        const int rc = std::fwrite(c->stage[idx].get(), kRec, n, c->fp) == n ? 0 : SX_ERR_SEND;
        lk.lock();
        c->fill[idx] = 0;
        c->handed = -1;
        if (rc != 0 && c->writer_error == 0) c->writer_error = rc;
        c->done.notify_all();
    }
}

void wait_writer_idle(sx_tlm_capture *c) {
    std::unique_lock<std::mutex> lk(c->mu);
    c->done.wait(lk, [c] { return c->handed < 0; });
}

int store_append(sx_tlm_capture *c, const sx_tlm_record *recs, size_t n) {
    if (n == 0) return 0;
    if (n > SIZE_MAX - c->store_count) return SX_ERR_NOMEM;
    const size_t need = c->store_count + n;
    if (need > c->store_cap) {
        size_t cap = c->store_cap == 0 ? kFirstStore : c->store_cap;
        while (cap < need) {
            if (cap > SIZE_MAX / 2) return SX_ERR_NOMEM;
            cap *= 2;
        }
        if (cap > SIZE_MAX / kRec) return SX_ERR_NOMEM;
        void *p = std::realloc(c->store.get(), cap * kRec);
        if (p == nullptr) return SX_ERR_NOMEM;
        (void)c->store.release();
        c->store.reset(static_cast<sx_tlm_record *>(p));
        c->store_cap = cap;
    }
    std::memcpy(c->store.get() + c->store_count, recs, n * kRec);
    c->store_count = need;
    return 0;
}

int swap(sx_tlm_capture *c) {
    const int a = c->active;
    if (c->fill[a] == 0) return 0;
    if (!c->file_mode) {
        const int rc = store_append(c, c->stage[a].get(), c->fill[a]);
        if (rc == 0) c->fill[a] = 0;
        return rc;
    }
    // The back-pressure point: a boundary waits here while the writer still
    // holds the other stage. It is between blocks, never inside a DSP loop.
    std::unique_lock<std::mutex> lk(c->mu);
    while (c->handed >= 0) {
        if (c->writer_error != 0) return c->writer_error;
        c->done.wait(lk);
    }
    if (c->writer_error != 0) return c->writer_error;
    c->handed = a;
    c->active = a ^ 1;
    c->work.notify_one();
    return 0;
}

// Move everything the ring holds into the stages, handing over full stages.
int drain(sx_tlm_capture *c) {
    for (;;) {
        const int a = c->active;
        const size_t room = c->stage_cap - c->fill[a];
        const size_t got = sx_tlm_read(c->ctx, 0, c->stage[a].get() + c->fill[a], room);
        c->fill[a] += got;
        c->count += got;
        if (c->fill[a] < c->stage_cap) return 0;
        const int rc = swap(c);
        if (rc != 0) return rc;
    }
}

// Staging and ring sized for `bound`. Staging grows only while the writer
// holds no stage; the active stage's records move over. The ring resize keeps
// unread records, so nothing emitted before this point is lost.
int size_for(sx_tlm_capture *c, uint64_t bound) {
    const size_t want = staging_for(bound);
    if (want == 0 || bound > SIZE_MAX) return SX_ERR_NOMEM;
    if (c->stage_cap < want) {
        if (c->file_mode) wait_writer_idle(c);
        Records s0 = alloc_records(want);
        Records s1 = alloc_records(want);
        if (!s0 || !s1) return SX_ERR_NOMEM;
        for (int i = 0; i < 2; ++i) {
            Records &fresh = i == 0 ? s0 : s1;
            if (c->fill[i] != 0) std::memcpy(fresh.get(), c->stage[i].get(), c->fill[i] * kRec);
        }
        c->stage[0] = std::move(s0);
        c->stage[1] = std::move(s1);
        c->stage_cap = want;
    }
    if (sx_tlm_resize(c->ctx, static_cast<size_t>(bound)) != 0) return SX_ERR_NOMEM;
    c->ring_bound = bound;
    return 0;
}

void stop_writer(sx_tlm_capture *c) {
    if (!c->writer.joinable()) return;
    {
        std::unique_lock<std::mutex> lk(c->mu);
        c->done.wait(lk, [c] { return c->handed < 0; });
        c->stop = true;
        c->work.notify_one();
    }
    c->writer.join();
}

void put_json_string(FILE *f, const char *s) {
    std::fputc('"', f);
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(s); *p != 0; ++p) {
        if (*p < 0x20)
            std::fprintf(f, "\\u%04x", *p);
        else if (*p == '"' || *p == '\\')
            std::fprintf(f, "\\%c", *p);
        else
            std::fputc(*p, f);
    }
    std::fputc('"', f);
}

int write_sidecar(const sx_tlm_capture *c) {
    std::string name;
    try {
        name = c->path + "-meta";
    } catch (const std::bad_alloc &) {
        return SX_ERR_NOMEM;
    }
    FILE *f = std::fopen(name.c_str(), "w");
    if (f == nullptr) return SX_ERR_SEND;
    const sx_tlm *ctx = c->ctx;
    std::fprintf(f, "{\n");
    std::fprintf(f, "  \"records\": %zu,\n", static_cast<size_t>(c->count));
    std::fprintf(f, "  \"dropped\": %llu,\n", static_cast<unsigned long long>(c->dropped));
    std::fprintf(f, "  \"capacity\": %zu,\n", sx_tlm_capacity(ctx));
    std::fprintf(f, "  \"block_samples\": %zu,\n", static_cast<size_t>(c->block_samples));
    if (c->clock != nullptr) {
        // JSON has no NaN or infinity: a rate that is not finite is left out
        // like an unset one.
        if (c->clock->fs != 0 && std::isfinite(c->clock->fs)) std::fprintf(f, "  \"fs\": %.17g,\n", c->clock->fs);
        if (c->clock->anchored != 0)
            std::fprintf(f, "  \"epoch_real_ns\": %llu,\n", static_cast<unsigned long long>(c->clock->epoch_real_ns));
    }
    std::fprintf(f, "  \"dtype\": [[\"n\", \"<u8\"], [\"value\", \"<f4\"], [\"probe\", \"<u2\"], [\"flags\", \"<u2\"]],\n");
    const size_t np = sx_tlm_probe_count(ctx);
    std::fprintf(f, "  \"probes\": {");
    for (size_t i = 0; i < np; ++i) {
        std::fprintf(f, i == 0 ? "\n    " : ",\n    ");
        put_json_string(f, sx_tlm_probe_name(ctx, static_cast<int>(i)));
        std::fprintf(f, ": %zu", i);
    }
    std::fprintf(f, np == 0 ? "}\n}\n" : "\n  }\n}\n");
    const bool bad = std::ferror(f) != 0;
    if (std::fclose(f) != 0 || bad) return SX_ERR_SEND;
    return 0;
}

sx_tlm_capture *open_capture(sx_tlm *ctx, uint64_t block_samples, const char *path, const sx_sample_clock *clock) {
    if (ctx == nullptr || block_samples == 0 || ctx->capture != nullptr) return nullptr;
    const uint64_t bound = sx_tlm_block_bound(ctx, block_samples);
    if (bound == 0) return nullptr;
    sx_tlm_capture *c = nullptr;
    try {
        c = new sx_tlm_capture;
        c->ctx = ctx;
        c->block_samples = block_samples;
        c->clock = clock;
        if (path != nullptr) {
            c->file_mode = true;
            c->path = path;
            c->fp = std::fopen(path, "wb");
            if (c->fp == nullptr) {
                delete c;
                return nullptr;
            }
        }
        if (size_for(c, bound) != 0) {
            if (c->fp != nullptr) std::fclose(c->fp);
            delete c;
            return nullptr;
        }
        if (c->file_mode) c->writer = std::thread(writer_main, c);
    } catch (const std::exception &) {  // bad_alloc, or system_error from the thread
        if (c != nullptr) {
            if (c->fp != nullptr) std::fclose(c->fp);
            delete c;
        }
        return nullptr;
    }
    c->dropped_at_open = sx_tlm_dropped(ctx);
    ctx->capture = c;
    ctx->block_hook = sx_tlm_capture_block;
    return c;
}

}  // namespace

extern "C" {

sx_tlm_capture *sx_tlm_capture_open(sx_tlm *ctx, uint64_t block_samples, const char *path,
                                    const sx_sample_clock *clock) {
    return open_capture(ctx, block_samples, path, clock);
}

sx_tlm_capture *sx_tlm_capture_open_memory(sx_tlm *ctx, uint64_t block_samples, const sx_sample_clock *clock) {
    return open_capture(ctx, block_samples, nullptr, clock);
}

int sx_tlm_capture_block(sx_tlm_capture *c) {
    if (c == nullptr || c->closed || c->ctx == nullptr) return SX_ERR_INVALID;
    int rc = drain(c);
    if (rc != 0) return rc;
    // The ring is empty and the producer is between blocks: the one moment the
    // ring may grow for probes registered since the last boundary.
    const uint64_t bound = sx_tlm_block_bound(c->ctx, c->block_samples);
    if (bound > c->ring_bound && size_for(c, bound) != 0) return SX_ERR_NOMEM;
    if (c->stage_cap - c->fill[c->active] < c->ring_bound) return swap(c);
    return 0;
}

int sx_tlm_capture_close(sx_tlm_capture *c) {
    if (c == nullptr) return SX_ERR_INVALID;
    if (c->closed) return c->verdict;
    note(c, drain(c));
    if (c->file_mode) {
        stop_writer(c);
        const int a = c->active;
        if (c->fill[a] != 0 && std::fwrite(c->stage[a].get(), kRec, c->fill[a], c->fp) != c->fill[a])
            note(c, SX_ERR_SEND);
        c->fill[a] = 0;
    } else {
        const int a = c->active;
        const int rc = store_append(c, c->stage[a].get(), c->fill[a]);
        note(c, rc);
        if (rc == 0) c->fill[a] = 0;
    }
    c->dropped = sx_tlm_dropped(c->ctx) - c->dropped_at_open;
    if (c->file_mode) {
        if (std::fclose(c->fp) != 0) note(c, SX_ERR_SEND);
        c->fp = nullptr;
        note(c, write_sidecar(c));
    }
    if (c->ctx->capture == c) {
        c->ctx->capture = nullptr;
        c->ctx->block_hook = nullptr;
    }
    c->closed = true;
    const int first = c->writer_error != 0 ? c->writer_error : c->caller_error;
    c->verdict = first != 0 ? first : c->dropped != 0 ? SX_ERR_INVALID : SX_OK;
    return c->verdict;
}

int sx_tlm_capture_detach(sx_tlm_capture *c) {
    if (c == nullptr) return SX_ERR_INVALID;
    const int v = sx_tlm_capture_close(c);
    c->ctx = nullptr;
    return v;
}

int sx_tlm_capture_destroy(sx_tlm_capture *c) {
    if (c == nullptr) return 0;
    const int v = c->ctx != nullptr ? sx_tlm_capture_close(c) : c->verdict;
    delete c;
    return v;
}

uint64_t sx_tlm_capture_count(const sx_tlm_capture *c) { return c == nullptr ? 0 : c->count; }
uint64_t sx_tlm_capture_dropped(const sx_tlm_capture *c) { return c == nullptr ? 0 : c->dropped; }
sx_tlm *sx_tlm_capture_context(const sx_tlm_capture *c) { return c == nullptr ? nullptr : c->ctx; }

const sx_tlm_record *sx_tlm_capture_records(const sx_tlm_capture *c) {
    return (c == nullptr || c->store_count == 0) ? nullptr : c->store.get();
}

size_t sx_tlm_capture_read_max_out(const sx_tlm_capture *c) { return c == nullptr ? 0 : c->store_count; }

size_t sx_tlm_capture_read(const sx_tlm_capture *c, size_t n, sx_tlm_record *out, size_t out_capacity) {
    if (c == nullptr || out == nullptr) return 0;
    size_t take = c->store_count;
    if (n != 0 && n < take) take = n;
    if (take > out_capacity) take = out_capacity;
    if (take != 0) std::memcpy(out, c->store.get(), take * kRec);
    return take;
}

}  // extern "C"
