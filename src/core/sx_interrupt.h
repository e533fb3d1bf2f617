// Process-wide interrupt state shared by every module's copy of the interrupt
// guard. The layout is a binary contract: the package's interrupt module owns
// one instance and hands it out as a capsule; the other modules adopt it.
#pragma once
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct sx_interrupt_state {
    uint32_t interrupted; /* non-zero once an interrupt was requested (sticky) */
    uint32_t latency_ms;  /* longest sleep of a waiting loop between two looks at the flag */
} sx_interrupt_state;

#define SX_INTERRUPT_CAPSULE "kolvane.sx_interrupt_guard._qz_procglobal"
#define SX_INTERRUPT_DEFAULT_LATENCY_MS 100u

#ifdef __cplusplus
}
static_assert(sizeof(sx_interrupt_state) == 8);
static_assert(offsetof(sx_interrupt_state, interrupted) == 0);
static_assert(offsetof(sx_interrupt_state, latency_ms) == 4);
#endif
