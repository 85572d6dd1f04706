#include "qn_interrupt.h"

#include <atomic>
#include <cerrno>
#include <csignal>

namespace {

constexpr int32_t kDefaultLatencyMs = 100;
constexpr int kSlotCount = 8;

// The flag is written by signal handlers and other threads and polled by long waits:
// single atomic loads and stores on the shared 32-bit words, never a read-modify-write.
InterruptState own_state{0, kDefaultLatencyMs};
std::atomic<InterruptState *> shared_state{&own_state};

void store_word(int32_t &word, int32_t value) { std::atomic_ref<int32_t>(word).store(value); }
int32_t load_word(int32_t &word) { return std::atomic_ref<int32_t>(word).load(); }

struct SignalSlot {
    int sig = 0;
    struct sigaction previous {};
    std::atomic<int> in_use{0};
};
SignalSlot signal_slots[kSlotCount];

SignalSlot *slot_holding(int sig) {
    for (SignalSlot &slot : signal_slots)
        if (slot.in_use.load() && slot.sig == sig) return &slot;
    return nullptr;
}

// Runs in signal context: raise the flag, then hand the signal on to the handler that was
// there before. It does not re-raise, so a default disposition only raises the flag.
void qn_sig_forward(int sig, siginfo_t *info, void *context) {
    const int saved_errno = errno;
    store_word(shared_state.load()->interrupted, 1);
    if (const SignalSlot *slot = slot_holding(sig)) {
        const struct sigaction &prev = slot->previous;
        if (prev.sa_flags & SA_SIGINFO) {
            if (prev.sa_sigaction) prev.sa_sigaction(sig, info, context);
        } else if (prev.sa_handler != SIG_DFL && prev.sa_handler != SIG_IGN) {
            prev.sa_handler(sig);
        }
    }
    errno = saved_errno;
}

}  // namespace

extern "C" {

void qn_interrupt(void) { store_word(shared_state.load()->interrupted, 1); }

void qn_resume(void) { store_word(shared_state.load()->interrupted, 0); }

int qn_interrupted(void) { return load_word(shared_state.load()->interrupted) != 0 ? 1 : 0; }

void qn_set_interrupt_latency_ms(int ms) {
    store_word(shared_state.load()->latency_ms, ms == 0 ? kDefaultLatencyMs : ms);
}

int qn_interrupt_latency_ms(void) { return load_word(shared_state.load()->latency_ms); }

int qn_interrupt_on_signal(int sig) {
    if (slot_holding(sig)) return QN_OK;
    SignalSlot *free_slot = nullptr;
    for (SignalSlot &slot : signal_slots) {
        if (!slot.in_use.load()) {
            free_slot = &slot;
            break;
        }
    }
    if (!free_slot) return QN_ERR_SIGNAL;
    // The slot is complete before the handler goes in, so a signal that arrives at once
    // already finds the disposition to hand on to.
    if (sigaction(sig, nullptr, &free_slot->previous) != 0) return QN_ERR_SIGNAL;
    free_slot->sig = sig;
    free_slot->in_use.store(1);
    struct sigaction forward {};
    forward.sa_sigaction = qn_sig_forward;
    forward.sa_flags = SA_RESTART | SA_SIGINFO;
    sigemptyset(&forward.sa_mask);
    if (sigaction(sig, &forward, nullptr) != 0) {
        free_slot->in_use.store(0);
        return QN_ERR_SIGNAL;
    }
    return QN_OK;
}

int qn_restore_signal(int sig) {
    SignalSlot *slot = slot_holding(sig);
    if (!slot) return QN_ERR_SIGNAL;
    const int rc = sigaction(sig, &slot->previous, nullptr);
    slot->in_use.store(0);
    return rc == 0 ? QN_OK : QN_ERR_SIGNAL;
}

InterruptState *qn_interrupt_guard_state_ptr(void) { return shared_state.load(); }

void qn_interrupt_guard_state_adopt(InterruptState *state) {
    if (state) shared_state.store(state);
}

}  // extern "C"
