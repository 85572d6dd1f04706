#include <gtest/gtest.h>

#include <csignal>

#include "qn_interrupt.h"
#include "qn_interrupt_guard_core.h"

namespace {

volatile sig_atomic_t plain_calls = 0;
volatile sig_atomic_t info_calls = 0;
void plain_handler(int) { plain_calls = plain_calls + 1; }
void info_handler(int, siginfo_t *, void *) { info_calls = info_calls + 1; }

void set_plain_handler(int sig) {
    struct sigaction act {};
    act.sa_handler = plain_handler;
    sigemptyset(&act.sa_mask);
    ASSERT_EQ(sigaction(sig, &act, nullptr), 0);
}

void (*current_plain_handler(int sig))(int) {
    struct sigaction act {};
    sigaction(sig, nullptr, &act);
    return (act.sa_flags & SA_SIGINFO) ? nullptr : act.sa_handler;
}

bool forwarding_installed(int sig) {
    struct sigaction act {};
    sigaction(sig, nullptr, &act);
    return (act.sa_flags & SA_SIGINFO) && act.sa_sigaction != info_handler;
}

// Every test starts from default dispositions and free slots, whatever ran before it.
class InterruptTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (int sig : {SIGINT, SIGTERM, SIGUSR1, SIGUSR2}) {
            while (qn_restore_signal(sig) == 0) {}
            signal(sig, SIG_DFL);
        }
        qn_resume();
        qn_set_interrupt_latency_ms(0);
        plain_calls = 0;
        info_calls = 0;
    }
};

TEST_F(InterruptTest, FlagIsALevelUntilResumed) {
    EXPECT_EQ(qn_interrupted(), 0);
    qn_interrupt();
    EXPECT_EQ(qn_interrupted(), 1);
    EXPECT_EQ(qn_interrupted(), 1);
    qn_resume();
    EXPECT_EQ(qn_interrupted(), 0);
}

TEST_F(InterruptTest, LatencyZeroMeansDefault) {
    EXPECT_EQ(qn_interrupt_latency_ms(), 100);
    qn_set_interrupt_latency_ms(250);
    EXPECT_EQ(qn_interrupt_latency_ms(), 250);
    qn_set_interrupt_latency_ms(0);
    EXPECT_EQ(qn_interrupt_latency_ms(), 100);
}

TEST_F(InterruptTest, HandlerRaisesFlagAndForwardsToPreviousHandler) {
    set_plain_handler(SIGUSR1);
    struct sigaction info {};
    info.sa_sigaction = info_handler;
    info.sa_flags = SA_SIGINFO;
    sigemptyset(&info.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR2, &info, nullptr), 0);

    ASSERT_EQ(qn_interrupt_on_signal(SIGUSR1), 0);
    ASSERT_EQ(qn_interrupt_on_signal(SIGUSR2), 0);
    raise(SIGUSR1);
    EXPECT_EQ(qn_interrupted(), 1);
    EXPECT_EQ(plain_calls, 1);
    qn_resume();
    raise(SIGUSR2);
    EXPECT_EQ(qn_interrupted(), 1);
    EXPECT_EQ(info_calls, 1);

    EXPECT_EQ(qn_restore_signal(SIGUSR1), 0);
    EXPECT_EQ(qn_restore_signal(SIGUSR2), 0);
    EXPECT_EQ(current_plain_handler(SIGUSR1), plain_handler);
    EXPECT_EQ(qn_restore_signal(SIGUSR1), -4);
}

TEST_F(InterruptTest, IgnoredPreviousDispositionOnlyRaisesFlag) {
    signal(SIGUSR1, SIG_IGN);
    ASSERT_EQ(qn_interrupt_on_signal(SIGUSR1), 0);
    raise(SIGUSR1);
    EXPECT_EQ(qn_interrupted(), 1);
    EXPECT_EQ(qn_restore_signal(SIGUSR1), 0);
    EXPECT_EQ(current_plain_handler(SIGUSR1), SIG_IGN);
}

TEST_F(InterruptTest, EightSlotsAtMostAndReinstallUsesOneSlot) {
    ASSERT_EQ(qn_interrupt_on_signal(SIGRTMIN), 0);
    ASSERT_EQ(qn_interrupt_on_signal(SIGRTMIN), 0);
    for (int i = 1; i < 8; ++i) ASSERT_EQ(qn_interrupt_on_signal(SIGRTMIN + i), 0) << i;
    EXPECT_EQ(qn_interrupt_on_signal(SIGRTMIN + 8), -4);
    ASSERT_EQ(qn_restore_signal(SIGRTMIN + 3), 0);
    EXPECT_EQ(qn_interrupt_on_signal(SIGRTMIN + 8), 0);
    EXPECT_EQ(qn_restore_signal(SIGRTMIN + 8), 0);
    for (int i = 0; i < 8; ++i) {
        if (i == 3) continue;
        EXPECT_EQ(qn_restore_signal(SIGRTMIN + i), 0) << i;
    }
    EXPECT_EQ(qn_restore_signal(SIGRTMIN), -4);
}

TEST_F(InterruptTest, SignalsThatCannotBeCaughtAreRefused) {
    EXPECT_EQ(qn_interrupt_on_signal(SIGKILL), -4);
    EXPECT_EQ(qn_interrupt_on_signal(9999), -4);
    EXPECT_EQ(qn_restore_signal(SIGKILL), -4);
}

TEST_F(InterruptTest, GuardInstallsForItsScopeAndRestoresLatency) {
    set_plain_handler(SIGINT);
    qn_set_interrupt_latency_ms(40);
    qn_interrupt();
    const int signals[] = {SIGINT, SIGTERM};
    InterruptGuard *guard = qn_interrupt_guard_create(signals, 2, 250);
    ASSERT_NE(guard, nullptr);
    EXPECT_EQ(qn_interrupt_guard_interrupted(guard), 0);
    EXPECT_EQ(qn_interrupt_guard_latency_ms(guard), 250);
    EXPECT_TRUE(forwarding_installed(SIGINT));
    EXPECT_TRUE(forwarding_installed(SIGTERM));
    raise(SIGINT);
    EXPECT_EQ(qn_interrupted(), 1);
    EXPECT_EQ(plain_calls, 1);
    qn_interrupt_guard_destroy(guard);
    EXPECT_EQ(qn_interrupt_latency_ms(), 40);
    EXPECT_EQ(current_plain_handler(SIGINT), plain_handler);
    EXPECT_EQ(current_plain_handler(SIGTERM), SIG_DFL);
    qn_interrupt_guard_destroy(nullptr);
}

TEST_F(InterruptTest, GuardListsAnAlreadyInstalledSignalAndRestoresIt) {
    ASSERT_EQ(qn_interrupt_on_signal(SIGUSR1), 0);
    const int signals[] = {SIGUSR1};
    InterruptGuard *guard = qn_interrupt_guard_create(signals, 1, 0);
    ASSERT_NE(guard, nullptr);
    qn_interrupt_guard_destroy(guard);
    EXPECT_EQ(current_plain_handler(SIGUSR1), SIG_DFL);
    EXPECT_EQ(qn_restore_signal(SIGUSR1), -4);
}

TEST_F(InterruptTest, FailedGuardRollsBackEverything) {
    qn_set_interrupt_latency_ms(70);
    const int signals[] = {SIGUSR1, SIGUSR2, SIGKILL};
    EXPECT_EQ(qn_interrupt_guard_create(signals, 3, 500), nullptr);
    EXPECT_EQ(qn_interrupt_latency_ms(), 70);
    EXPECT_EQ(qn_restore_signal(SIGUSR1), -4);
    EXPECT_EQ(qn_restore_signal(SIGUSR2), -4);
    EXPECT_EQ(current_plain_handler(SIGUSR1), SIG_DFL);

    EXPECT_EQ(qn_interrupt_guard_create(signals, 9, 0), nullptr);
    EXPECT_EQ(qn_interrupt_guard_create(nullptr, 1, 0), nullptr);
    InterruptGuard *empty = qn_interrupt_guard_create(nullptr, 0, 0);
    EXPECT_NE(empty, nullptr);
    qn_interrupt_guard_destroy(empty);
}

TEST_F(InterruptTest, AdoptedStateIsSharedByEveryCaller) {
    InterruptState *own = qn_interrupt_guard_state_ptr();
    InterruptState other{0, 100};
    qn_interrupt_guard_state_adopt(&other);
    qn_interrupt_guard_state_adopt(nullptr);
    EXPECT_EQ(qn_interrupt_guard_state_ptr(), &other);
    qn_interrupt();
    EXPECT_EQ(other.interrupted, 1);
    EXPECT_EQ(own->interrupted, 0);
    other.interrupted = 0;
    EXPECT_EQ(qn_interrupted(), 0);
    qn_interrupt_guard_state_adopt(own);
}

}  // namespace
