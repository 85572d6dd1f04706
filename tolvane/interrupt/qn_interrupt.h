/* The process-wide interrupt flag and the signal handlers that raise it.
 *
 * The flag lives in an InterruptState that another module may own (the Python package
 * adopts one for every native module of the process). A handler installed here raises
 * the flag and then hands the signal on to whatever handler was there before. */
#ifndef QN_INTERRUPT_H
#define QN_INTERRUPT_H

#include "qn_api.h"

QN_EXTERN_C_BEGIN

/* Null arguments follow the null rule of qn_api.h. */

/* Two aligned 32-bit words, read and written as single atomic loads and stores. */
typedef struct InterruptState {
    int32_t interrupted; /* 0 or 1; a level: stays set until qn_resume */
    int32_t latency_ms;  /* poll latency requested of long waits */
} InterruptState;

QN_API void qn_interrupt(void);
QN_API void qn_resume(void);
QN_API int qn_interrupted(void);
/* ms = 0 selects the default of 100. */
QN_API void qn_set_interrupt_latency_ms(int ms);
QN_API int qn_interrupt_latency_ms(void);

/* Installs the forwarding handler for sig (once; a second call changes nothing).
 * At most 8 signals at a time. QN_OK, or QN_ERR_SIGNAL on failure. */
QN_API int qn_interrupt_on_signal(int sig);
/* Puts back the disposition sig had before qn_interrupt_on_signal. QN_OK, or QN_ERR_SIGNAL. */
QN_API int qn_restore_signal(int sig);

/* The state in use: the library's own until another is adopted (a null pointer is ignored). */
QN_API InterruptState *qn_interrupt_guard_state_ptr(void);
QN_API void qn_interrupt_guard_state_adopt(InterruptState *state);

QN_EXTERN_C_END

#endif
