#include "core/sx_tlm_core.h"

#include "core/sx_mirror.h"

#include <bit>
#include <cstdint>
#include <cstring>
#include <new>

namespace {

// The inline hot path is also exported out of line, so ctypes callers and
// other languages can reach the same code the DSP loops inline.
[[gnu::used]] void (*const keep_emit)(sx_tlm *, int, double) = sx_tlm_emit;
[[gnu::used]] void (*const keep_set_now)(sx_tlm *, uint64_t) = sx_tlm_set_now;

constexpr size_t kRec = sizeof(sx_tlm_record);

// The capacity granted for a power-of-two request: doubled until one copy of the
// buffer covers a page, so both halves of the mirror are page-aligned. 0 when
// the request is not a non-zero power of two or the doubled mapping would not
// fit the address arithmetic.
size_t granted_capacity(size_t requested) {
    if (requested == 0 || !std::has_single_bit(requested)) return 0;
    const size_t page = sx::page_size();
    size_t cap = requested;
    for (;;) {
        if (cap > SIZE_MAX / (2 * kRec)) return 0;
        if (cap * kRec >= page) break;
        cap *= 2;
    }
    return (cap * kRec) % page == 0 ? cap : 0;
}

sx_tlm_record *map_mirror(size_t bytes) { return static_cast<sx_tlm_record *>(sx::mirror_map(bytes)); }

void unmap_mirror(sx_tlm_record *base, uint64_t capacity) { sx::mirror_unmap(base, capacity * kRec); }

sx_tlm_ring *ring_new() {
    void *p = ::operator new(sizeof(sx_tlm_ring), std::align_val_t{64}, std::nothrow);
    if (p == nullptr) return nullptr;
    std::memset(p, 0, sizeof(sx_tlm_ring));
    return static_cast<sx_tlm_ring *>(p);
}

void ring_delete(sx_tlm_ring *r) {
    if (r == nullptr) return;
    unmap_mirror(r->base, r->capacity);
    ::operator delete(r, std::align_val_t{64});
}

bool name_ok(const char *name) { return name != nullptr && strnlen(name, SX_TLM_NAME_MAX) < SX_TLM_NAME_MAX; }

int find(const sx_tlm *ctx, const char *name) {
    for (uint32_t i = 0; i < ctx->probe_count; ++i)
        if (std::strcmp(ctx->probes[i].name, name) == 0) return static_cast<int>(i);
    return -1;
}

void prime(sx_tlm_probe_slot &p, uint32_t decim) {
    p.decim = decim;
    p.phase = decim - 1;
}

}  // namespace

extern "C" {

sx_tlm *sx_tlm_create(size_t ring_records) {
    const size_t cap = granted_capacity(ring_records);
    if (cap == 0) return nullptr;
    auto *ctx = new (std::nothrow) sx_tlm{};
    if (ctx == nullptr) return nullptr;
    ctx->ring = ring_new();
    if (ctx->ring != nullptr) ctx->ring->base = map_mirror(cap * kRec);
    if (ctx->ring == nullptr || ctx->ring->base == nullptr) {
        ring_delete(ctx->ring);
        delete ctx;
        return nullptr;
    }
    ctx->ring->capacity = cap;
    ctx->ring->mask = cap - 1;
    return ctx;
}

void sx_tlm_destroy(sx_tlm *ctx) {
    if (ctx == nullptr) return;
    ring_delete(ctx->ring);
    delete ctx;
}

int sx_tlm_probe(sx_tlm *ctx, const char *name, uint32_t decim) {
    if (ctx == nullptr || !name_ok(name) || decim == 0) return SX_ERR_INVALID;
    int id = find(ctx, name);
    if (id < 0) {
        if (ctx->probe_count >= SX_TLM_MAX_PROBES) return SX_ERR_INVALID;
        id = static_cast<int>(ctx->probe_count);
        sx_tlm_probe_slot &p = ctx->probes[id];
        std::memset(p.name, 0, sizeof p.name);
        std::memcpy(p.name, name, std::strlen(name));
        p.emitted = 0;
        ctx->probe_count += 1;
    }
    prime(ctx->probes[id], decim);
    return id;
}

int sx_tlm_probe_id(const sx_tlm *ctx, const char *name) {
    if (ctx == nullptr || name == nullptr) return SX_ERR_INVALID;
    const int id = find(ctx, name);
    return id < 0 ? SX_ERR_INVALID : id;
}

int sx_tlm_set_decim(sx_tlm *ctx, const char *name, uint32_t decim) {
    if (ctx == nullptr || name == nullptr || decim == 0) return SX_ERR_INVALID;
    const int id = find(ctx, name);
    if (id < 0) return SX_ERR_INVALID;
    prime(ctx->probes[id], decim);
    return SX_OK;
}

const char *sx_tlm_probe_name(const sx_tlm *ctx, int id) {
    if (ctx == nullptr || id < 0 || static_cast<uint32_t>(id) >= ctx->probe_count) return nullptr;
    return ctx->probes[id].name;
}

size_t sx_tlm_probe_count(const sx_tlm *ctx) { return ctx == nullptr ? 0 : ctx->probe_count; }

int sx_tlm_probe_id_at(const sx_tlm *ctx, size_t index) {
    if (ctx == nullptr || index >= ctx->probe_count) return SX_ERR_INVALID;
    return static_cast<int>(index);
}

size_t sx_tlm_capacity(const sx_tlm *ctx) { return ctx == nullptr ? 0 : ctx->ring->capacity; }

int sx_tlm_emit_checked(sx_tlm *ctx, int id, double value) {
    if (ctx == nullptr || id < 0 || static_cast<uint32_t>(id) >= ctx->probe_count) return SX_ERR_INVALID;
    sx_tlm_emit(ctx, id, value);
    return SX_OK;
}

size_t sx_tlm_avail(const sx_tlm *ctx) {
    if (ctx == nullptr) return 0;
    const sx_tlm_ring *r = ctx->ring;
    return __atomic_load_n(&r->head, __ATOMIC_ACQUIRE) - __atomic_load_n(&r->tail, __ATOMIC_RELAXED);
}

size_t sx_tlm_read_max_out(const sx_tlm *ctx) { return sx_tlm_avail(ctx); }

size_t sx_tlm_read(sx_tlm *ctx, size_t n, sx_tlm_record *out, size_t out_capacity) {
    if (ctx == nullptr || out == nullptr) return 0;
    sx_tlm_ring *r = ctx->ring;
    const uint64_t head = __atomic_load_n(&r->head, __ATOMIC_ACQUIRE);
    const uint64_t tail = __atomic_load_n(&r->tail, __ATOMIC_RELAXED);
    size_t take = head - tail;
    if (n != 0 && n < take) take = n;
    if (take > out_capacity) take = out_capacity;
    if (take == 0) return 0;
    std::memcpy(out, r->base + (tail & r->mask), take * kRec);
    // Release: the producer may reuse these slots only after the copy is done.
    __atomic_store_n(&r->tail, tail + take, __ATOMIC_RELEASE);
    return take;
}

void sx_tlm_demux_counts(const sx_tlm_record *records, size_t count, size_t *counts, size_t ncounts) {
    if (counts == nullptr) return;
    for (size_t i = 0; i < ncounts; ++i) counts[i] = 0;
    if (records == nullptr) return;
    for (size_t i = 0; i < count; ++i)
        if (records[i].probe < ncounts) counts[records[i].probe] += 1;
}

void sx_tlm_demux(const sx_tlm_record *records, size_t count, float *const *values, uint64_t *const *indices,
                  const size_t *capacities, size_t nprobes) {
    if (capacities == nullptr || nprobes == 0 || records == nullptr) return;
    const size_t np = nprobes < SX_TLM_MAX_PROBES ? nprobes : SX_TLM_MAX_PROBES;
    size_t fill[SX_TLM_MAX_PROBES] = {};
    for (size_t i = 0; i < count; ++i) {
        const size_t id = records[i].probe;
        if (id >= np || fill[id] >= capacities[id]) continue;
        if (values != nullptr && values[id] != nullptr) values[id][fill[id]] = records[i].value;
        if (indices != nullptr && indices[id] != nullptr) indices[id][fill[id]] = records[i].n;
        fill[id] += 1;
    }
}

uint64_t sx_tlm_dropped(const sx_tlm *ctx) {
    return ctx == nullptr ? 0 : __atomic_load_n(&ctx->ring->dropped, __ATOMIC_RELAXED);
}

uint64_t sx_tlm_emitted(const sx_tlm *ctx, int id) {
    if (ctx == nullptr || id < 0 || static_cast<uint32_t>(id) >= ctx->probe_count) return 0;
    return ctx->probes[id].emitted;
}

void sx_tlm_stats(const sx_tlm *ctx, sx_tlm_stats_t *out) {
    if (out == nullptr) return;
    *out = sx_tlm_stats_t{};
    if (ctx == nullptr) return;
    out->dropped = sx_tlm_dropped(ctx);
    for (uint32_t i = 0; i < ctx->probe_count; ++i) out->emitted += ctx->probes[i].emitted;
    out->capacity = ctx->ring->capacity;
    out->probes = ctx->probe_count;
}

uint64_t sx_tlm_block_bound(const sx_tlm *ctx, uint64_t block_samples) {
    if (ctx == nullptr || block_samples == 0 || ctx->probe_count == 0) return 0;
    if (block_samples > UINT64_MAX / ctx->probe_count) return UINT64_MAX;
    return block_samples * ctx->probe_count;
}

int sx_tlm_resize(sx_tlm *ctx, size_t min_records) {
    if (ctx == nullptr) return SX_ERR_INVALID;
    sx_tlm_ring *r = ctx->ring;
    if (r->capacity >= min_records) return SX_OK;
    if (min_records > (SIZE_MAX >> 1) + 1) return SX_ERR_INVALID;
    const size_t cap = granted_capacity(std::bit_ceil(min_records));
    if (cap == 0) return SX_ERR_INVALID;
    sx_tlm_record *base = map_mirror(cap * kRec);
    if (base == nullptr) return SX_ERR_INVALID;
    // Unread records move over in order rather than vanish: the new ring is
    // larger than the old one, so they always fit.
    const uint64_t unread = r->head - r->tail;
    if (unread != 0) std::memcpy(base, r->base + (r->tail & r->mask), unread * kRec);
    unmap_mirror(r->base, r->capacity);
    r->base = base;
    r->capacity = cap;
    r->mask = cap - 1;
    r->tail = 0;
    __atomic_store_n(&r->head, unread, __ATOMIC_RELEASE);
    return SX_OK;
}

}  // extern "C"
