#include "core/timing_core.h"

#include <cerrno>
#include <cmath>
#include <ctime>
#include <new>

#include "core/sx_interrupt_guard_core.h"

namespace {

uint64_t now_ns(clockid_t id) {
    timespec ts{};
    clock_gettime(id, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

// Round-half-up nanoseconds of n samples at fs, in extended precision. A rate
// that is not positive (NaN included) gives 0; an offset beyond the u64 range
// saturates instead of converting out of range.
uint64_t offset_ns(double fs, uint64_t n) {
    if (!(fs > 0)) return 0;
    const long double v = static_cast<long double>(n) / static_cast<long double>(fs) * 1e9L + 0.5L;
    if (!(v < 18446744073709551616.0L)) return UINT64_MAX;
    return static_cast<uint64_t>(v);
}

uint64_t sat_add(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

}  // namespace

extern "C" {

uint64_t sx_mono_ns(void) { return now_ns(CLOCK_MONOTONIC); }
uint64_t sx_real_ns(void) { return now_ns(CLOCK_REALTIME); }

void sx_sample_clock_init(sx_sample_clock *c, double fs, uint32_t drop_backlog) {
    if (c == nullptr) return;
    *c = sx_sample_clock{};
    c->fs = fs;
    c->drop_backlog = drop_backlog;
    c->t0_mono_ns = sx_mono_ns();
    c->epoch_real_ns = sx_real_ns();
}

sx_sample_clock *sx_sample_clock_create(double fs, uint32_t drop_backlog) {
    auto *c = new (std::nothrow) sx_sample_clock;
    if (c != nullptr) sx_sample_clock_init(c, fs, drop_backlog);
    return c;
}

void sx_sample_clock_destroy(sx_sample_clock *c) { delete c; }

void sx_sample_clock_reset(sx_sample_clock *c) {
    if (c != nullptr) sx_sample_clock_init(c, c->fs, c->drop_backlog);
}

double sx_sample_clock_pace(sx_sample_clock *c, uint64_t count) {
    if (c == nullptr) return 0.0;
    c->n += count;
    const uint64_t deadline = sat_add(c->t0_mono_ns, offset_ns(c->fs, c->n));
    uint64_t now = sx_mono_ns();
    const double slack = static_cast<double>(static_cast<long double>(deadline) - static_cast<long double>(now)) * 1e-9;
    if (now < deadline) {
        // Sleep in slices of at most one interrupt latency so a requested
        // interrupt ends the wait promptly.
        for (;;) {
            if (sx_interrupted()) return slack;
            now = sx_mono_ns();
            if (now >= deadline) break;
            const uint64_t slice = static_cast<uint64_t>(sx_interrupt_latency_ms()) * 1000000ull;
            const uint64_t wake = now + (deadline - now < slice ? deadline - now : slice);
            timespec ts{static_cast<time_t>(wake / 1000000000ull), static_cast<long>(wake % 1000000000ull)};
            int rc;
            while ((rc = clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr)) == EINTR)
                if (sx_interrupted()) return slack;
            if (rc != 0) break;  // an invalid wake time: do not spin
        }
        return slack;
    }
    const uint64_t late = now - deadline;
    c->late_count += 1;
    if (late > c->max_late_ns) c->max_late_ns = late;
    if (c->drop_backlog != 0) c->t0_mono_ns += late;
    return slack;
}

uint64_t sx_sample_clock_stamp_at(const sx_sample_clock *c, uint64_t n) {
    if (c == nullptr) return 0;
    // Modular on purpose: track() stores real - offset, and adding the offset back
    // must return exactly the tracked time even when the subtraction wrapped.
    return c->epoch_real_ns + offset_ns(c->fs, n);
}

uint64_t sx_sample_clock_stamp(const sx_sample_clock *c) { return c == nullptr ? 0 : sx_sample_clock_stamp_at(c, c->n); }

int sx_sample_clock_track(sx_sample_clock *c, uint64_t real_ns, uint64_t n, uint64_t tolerance_ns) {
    if (c == nullptr || n < c->n) return 0;
    if (c->anchored == 0) {
        c->epoch_real_ns = real_ns - offset_ns(c->fs, n);
        c->n = n;
        c->anchored = 1;
        return 1;
    }
    const uint64_t predicted = sx_sample_clock_stamp_at(c, n);
    c->n = n;
    const uint64_t d = real_ns - predicted;
    const uint64_t err = d <= UINT64_MAX / 2 ? d : 0 - d;
    if (err <= tolerance_ns) return 0;
    c->epoch_real_ns = real_ns - offset_ns(c->fs, n);
    return 1;
}

void sx_sample_clock_resync(sx_sample_clock *c) {
    if (c == nullptr) return;
    const uint64_t deadline = sat_add(c->t0_mono_ns, offset_ns(c->fs, c->n));
    const uint64_t now = sx_mono_ns();
    if (now > deadline) c->t0_mono_ns += now - deadline;
}

void sx_sample_clock_stats(const sx_sample_clock *c, sx_sample_clock *out) {
    if (c != nullptr && out != nullptr) *out = *c;
}

}  // extern "C"
