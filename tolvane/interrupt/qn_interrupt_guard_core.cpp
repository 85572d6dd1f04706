#include "qn_interrupt_guard_core.h"

#include <new>

namespace {
constexpr size_t kMaxGuardSignals = 8;
}

struct InterruptGuard {
    int signals[kMaxGuardSignals] = {};  // in installation order
    uint64_t count = 0;
    int latency_ms = 0;                  // 0: the guard leaves the latency alone
    int previous_latency_ms = 0;
};

namespace {

void release(InterruptGuard *guard) {
    while (guard->count > 0) qn_restore_signal(guard->signals[--guard->count]);
    if (guard->latency_ms != 0) qn_set_interrupt_latency_ms(guard->previous_latency_ms);
    delete guard;
}

}  // namespace

extern "C" {

InterruptGuard *qn_interrupt_guard_create(const int *signals, size_t n, int latency_ms) {
    if (n > kMaxGuardSignals || (n > 0 && !signals)) return nullptr;
    auto *guard = new (std::nothrow) InterruptGuard;
    if (!guard) return nullptr;
    qn_resume();
    if (latency_ms != 0) {
        guard->latency_ms = latency_ms;
        guard->previous_latency_ms = qn_interrupt_latency_ms();
        qn_set_interrupt_latency_ms(latency_ms);
    }
    for (size_t i = 0; i < n; ++i) {
        if (qn_interrupt_on_signal(signals[i]) != QN_OK) {
            release(guard);
            return nullptr;
        }
        guard->signals[guard->count++] = signals[i];
    }
    return guard;
}

void qn_interrupt_guard_destroy(InterruptGuard *guard) {
    if (guard) release(guard);
}

void qn_interrupt_guard_interrupt(InterruptGuard *) { qn_interrupt(); }
int qn_interrupt_guard_interrupted(InterruptGuard *) { return qn_interrupted(); }
void qn_interrupt_guard_resume(InterruptGuard *) { qn_resume(); }
int qn_interrupt_guard_latency_ms(InterruptGuard *) { return qn_interrupt_latency_ms(); }

}  // extern "C"
