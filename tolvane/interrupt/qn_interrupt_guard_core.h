/* Interrupt guards: the forwarding handlers of a list of signals (and optionally a poll
 * latency) installed for a scope, and put back as they were when the guard is destroyed. */
#ifndef QN_INTERRUPT_GUARD_CORE_H
#define QN_INTERRUPT_GUARD_CORE_H

#include "qn_interrupt.h"

QN_EXTERN_C_BEGIN

/* Null arguments follow the null rule of qn_api.h, except that the flag functions below do
 * not use their guard: a null guard reaches the flag as any other. */

typedef struct InterruptGuard InterruptGuard;

/* Clears the flag, sets latency_ms unless it is 0, installs the signals in list order.
 * Null when n > 8, the list is null with n > 0, or a signal cannot be installed (then
 * everything it had installed is put back first). */
QN_API InterruptGuard *qn_interrupt_guard_create(const int *signals, size_t n, int latency_ms);
/* Restores the guard's signals in reverse order and its latency, frees it. */
QN_API void qn_interrupt_guard_destroy(InterruptGuard *guard);

/* The process-wide flag, reached through a guard (the guard itself is not used). */
QN_API void qn_interrupt_guard_interrupt(InterruptGuard *guard);
QN_API int qn_interrupt_guard_interrupted(InterruptGuard *guard);
QN_API void qn_interrupt_guard_resume(InterruptGuard *guard);
QN_API int qn_interrupt_guard_latency_ms(InterruptGuard *guard);

QN_EXTERN_C_END

#endif
