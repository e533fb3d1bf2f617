// Interrupt flag, waiting-loop latency, signal forwarding and the interrupt guard.
#pragma once
#include <signal.h>

#include "core/sx_interrupt.h"
#include "core/sx_status.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct sx_interrupt_guard sx_interrupt_guard;

#define SX_INTERRUPT_MAX_SIGNALS 8

/* Flag and latency, on the state in use (this copy's own until one is adopted). */
SX_API void sx_interrupt(void);
SX_API void sx_resume(void);
SX_API int sx_interrupted(void);
/* ms: longest sleep between two looks at the flag [ms]; 0 selects the default 100. */
SX_API void sx_set_interrupt_latency_ms(uint32_t ms);
SX_API uint32_t sx_interrupt_latency_ms(void);
SX_API sx_interrupt_state *sx_interrupt_guard_state_ptr(void);
/* Make this copy use `ptr` (the process-wide state); null is ignored. */
SX_API void sx_interrupt_guard_state_adopt(sx_interrupt_state *ptr);

/* Install the forwarding handler for `sig`: 0, or -4 when no slot is free or sigaction fails. */
SX_API int sx_interrupt_on_signal(int sig);
/* Put back the action saved for `sig`: 0, or -4 when no slot holds it or restoring fails. */
SX_API int sx_restore_signal(int sig);
/* The handler: sets the flag, then chains to the action that was in force before.
 * A forwarder that another module's copy put back after this copy released the
 * signal (releases out of order) still chains to the action its slot saved; it
 * never chains to itself. */
SX_API void sx_sig_forward(int sig, siginfo_t *info, void *ucontext);

/* signals: `count` signal numbers (count <= 8); latency_ms: 0 keeps the current latency.
 * A signal that is already forwarded when the guard is created is left to whoever
 * installed it: the guard restores only the signals it installed itself. */
SX_API sx_interrupt_guard *sx_interrupt_guard_create(const int *signals, size_t count, uint32_t latency_ms);
SX_API void sx_interrupt_guard_destroy(sx_interrupt_guard *g);
SX_API void sx_interrupt_guard_interrupt(sx_interrupt_guard *g);
SX_API int sx_interrupt_guard_interrupted(sx_interrupt_guard *g);
SX_API void sx_interrupt_guard_resume(sx_interrupt_guard *g);
SX_API uint32_t sx_interrupt_guard_latency_ms(sx_interrupt_guard *g);

#ifdef __cplusplus
}
#endif
