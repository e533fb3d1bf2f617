#include "core/sx_interrupt_guard_core.h"

#include <atomic>
#include <new>

namespace {

// This copy's own state, used until the process-wide one is adopted at import.
sx_interrupt_state g_own_state = {0, SX_INTERRUPT_DEFAULT_LATENCY_MS};
std::atomic<sx_interrupt_state *> g_state{&g_own_state};

// The flag is written from signal handlers and other threads: one aligned 32-bit
// word, always accessed atomically so every module's copy agrees on the layout.
static_assert(std::atomic_ref<uint32_t>::is_always_lock_free, "the flag is set from signal handlers");
std::atomic_ref<uint32_t> flag() { return std::atomic_ref<uint32_t>(g_state.load(std::memory_order_acquire)->interrupted); }
std::atomic_ref<uint32_t> latency() { return std::atomic_ref<uint32_t>(g_state.load(std::memory_order_acquire)->latency_ms); }

struct Slot {
    std::atomic<int> sig{0};
    std::atomic<bool> used{false};
    struct sigaction previous {};
};
Slot g_slots[SX_INTERRUPT_MAX_SIGNALS];

Slot *find_slot(int sig) {
    for (auto &s : g_slots)
        if (s.used.load(std::memory_order_acquire) && s.sig.load(std::memory_order_relaxed) == sig) return &s;
    return nullptr;
}

// A released slot that last held `sig`; it still has the action it saved. Another
// module's copy that installed its forwarder over ours and is released after us
// (out of order, e.g. from another thread) puts our forwarder back although our
// slot is gone: that forwarder then chains through this slot.
const Slot *find_released(int sig) {
    for (auto &s : g_slots)
        if (!s.used.load(std::memory_order_acquire) && s.sig.load(std::memory_order_relaxed) == sig) return &s;
    return nullptr;
}

bool is_forwarder(const struct sigaction &a) { return (a.sa_flags & SA_SIGINFO) && a.sa_sigaction == sx_sig_forward; }

}  // namespace

struct sx_interrupt_guard {
    int signals[SX_INTERRUPT_MAX_SIGNALS];
    size_t count;
    uint32_t latency_set;
    uint32_t latency_before;
};

extern "C" {

void sx_interrupt(void) { flag().store(1, std::memory_order_release); }
void sx_resume(void) { flag().store(0, std::memory_order_release); }
int sx_interrupted(void) { return flag().load(std::memory_order_acquire) != 0; }

void sx_set_interrupt_latency_ms(uint32_t ms) {
    latency().store(ms ? ms : SX_INTERRUPT_DEFAULT_LATENCY_MS, std::memory_order_relaxed);
}
uint32_t sx_interrupt_latency_ms(void) { return latency().load(std::memory_order_relaxed); }

sx_interrupt_state *sx_interrupt_guard_state_ptr(void) { return g_state.load(std::memory_order_acquire); }

void sx_interrupt_guard_state_adopt(sx_interrupt_state *ptr) {
    if (ptr != nullptr) g_state.store(ptr, std::memory_order_release);
}

void sx_sig_forward(int sig, siginfo_t *info, void *ucontext) {
    sx_interrupt();
    const Slot *s = find_slot(sig);
    if (s == nullptr) s = find_released(sig);
    if (s == nullptr) return;
    const struct sigaction &prev = s->previous;
    if (prev.sa_flags & SA_SIGINFO) {
        // Never chain to ourselves: that would loop for ever inside the handler.
        if (prev.sa_sigaction != nullptr && !is_forwarder(prev)) prev.sa_sigaction(sig, info, ucontext);
    } else if (prev.sa_handler != SIG_DFL && prev.sa_handler != SIG_IGN && prev.sa_handler != nullptr) {
        prev.sa_handler(sig);
    }
}

int sx_interrupt_on_signal(int sig) {
    if (find_slot(sig) != nullptr) return SX_OK;
    Slot *free_slot = nullptr;
    for (auto &s : g_slots)
        if (!s.used.load(std::memory_order_acquire)) {
            free_slot = &s;
            break;
        }
    if (free_slot == nullptr) return SX_ERR_INVALID;
    struct sigaction previous {};
    if (sigaction(sig, nullptr, &previous) != 0) return SX_ERR_INVALID;
    if (is_forwarder(previous)) {
        // Our forwarder left installed without a slot (see find_released): save
        // what it chained to, not the forwarder itself.
        const Slot *r = find_released(sig);
        previous = r != nullptr ? r->previous : decltype(previous){};
        if (is_forwarder(previous)) previous = decltype(previous){};
    }
    // The slot is complete (signal and previous action) before the handler can run,
    // so a signal arriving right after installation is forwarded, not lost.
    free_slot->previous = previous;
    free_slot->sig.store(sig, std::memory_order_relaxed);
    free_slot->used.store(true, std::memory_order_release);
    struct sigaction act {};
    act.sa_sigaction = sx_sig_forward;
    act.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&act.sa_mask);
    if (sigaction(sig, &act, nullptr) != 0) {
        free_slot->used.store(false, std::memory_order_release);
        return SX_ERR_INVALID;
    }
    return SX_OK;
}

int sx_restore_signal(int sig) {
    Slot *s = find_slot(sig);
    if (s == nullptr) return SX_ERR_INVALID;
    if (sigaction(sig, &s->previous, nullptr) != 0) return SX_ERR_INVALID;
    s->used.store(false, std::memory_order_release);
    return SX_OK;
}

sx_interrupt_guard *sx_interrupt_guard_create(const int *signals, size_t count, uint32_t latency_ms) {
    if (count > SX_INTERRUPT_MAX_SIGNALS || (signals == nullptr && count > 0)) return nullptr;
    auto *g = new (std::nothrow) sx_interrupt_guard{};
    if (g == nullptr) return nullptr;
    sx_resume();
    if (latency_ms != 0) {
        g->latency_before = sx_interrupt_latency_ms();
        g->latency_set = latency_ms;
        sx_set_interrupt_latency_ms(latency_ms);
    }
    for (size_t i = 0; i < count; ++i) {
        // A signal already forwarded (by an enclosing guard, or listed twice) stays
        // with whoever installed it: restoring it here would end that guard's
        // forwarding early, and a refused guard would not leave things as they were.
        if (find_slot(signals[i]) != nullptr) continue;
        if (sx_interrupt_on_signal(signals[i]) != SX_OK) {
            while (g->count > 0) sx_restore_signal(g->signals[--g->count]);
            if (g->latency_set) sx_set_interrupt_latency_ms(g->latency_before);
            delete g;
            return nullptr;
        }
        g->signals[g->count++] = signals[i];
    }
    return g;
}

void sx_interrupt_guard_destroy(sx_interrupt_guard *g) {
    if (g == nullptr) return;
    while (g->count > 0) sx_restore_signal(g->signals[--g->count]);
    if (g->latency_set) sx_set_interrupt_latency_ms(g->latency_before);
    delete g;
}

void sx_interrupt_guard_interrupt(sx_interrupt_guard *) { sx_interrupt(); }
int sx_interrupt_guard_interrupted(sx_interrupt_guard *) { return sx_interrupted(); }
void sx_interrupt_guard_resume(sx_interrupt_guard *) { sx_resume(); }
uint32_t sx_interrupt_guard_latency_ms(sx_interrupt_guard *) { return sx_interrupt_latency_ms(); }

}  // extern "C"
