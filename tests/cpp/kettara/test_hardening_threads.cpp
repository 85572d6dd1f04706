// First uses from several threads at once of everything filled once per process: the
// noise generator's table, the randomiser period, the Reed-Solomon tables and the marker
// bits behind the telemetry frames. Every thread must see the finished tables. And one
// finished plan rendered from several threads at once.
// (Each test runs in a process of its own, so these are real first uses; make check-tsan
// runs them under ThreadSanitizer.)
#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "awgn_core.h"
#include "frame.h"
#include "plan_testing.hpp"

namespace {

template <typename Work>
void on_threads_at_once(size_t n, Work work) {
    std::vector<std::thread> threads;
    for (size_t t = 0; t < n; ++t) threads.emplace_back(work, t);
    for (auto &th : threads) th.join();
}

TEST(ThreadedFirstUse, NoiseGeneratorsOnEveryThreadDrawTheSameSequence) {
    std::vector<std::vector<cf32>> drawn(6, std::vector<cf32>(512));
    on_threads_at_once(drawn.size(), [&](size_t t) {
        Awgn *g = awgn_create(77, 1.0f);
        awgn_generate(g, drawn[t].size(), drawn[t].data(), drawn[t].size());
        awgn_destroy(g);
    });
    for (const auto &d : drawn) EXPECT_EQ(std::memcmp(d.data(), drawn[0].data(), d.size() * sizeof(cf32)), 0);
}

TEST(ThreadedFirstUse, TelemetryFramesOnEveryThreadEncodeAndDecodeAlike) {
    const TmFrameConfig cfg{2, 1, 1, 0};
    std::vector<uint8_t> payload(223 * 2);
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 29 + 3);
    const size_t bits = ccsds_tm_frame_layout(&cfg, payload.size(), nullptr);
    std::vector<std::vector<uint8_t>> coded(6, std::vector<uint8_t>(bits));
    std::vector<int> ok(coded.size(), 0);
    on_threads_at_once(coded.size(), [&](size_t t) {
        if (ccsds_tm_frame_encode(&cfg, nullptr, payload.data(), payload.size(), coded[t].data(), bits) != bits) return;
        std::vector<uint8_t> damaged = coded[t], back(payload.size());
        for (size_t i = 40; i < 40 + 8 * 5; i += 8) damaged[i] ^= 1;  // five octets of the codeblock
        TmDecodeStats stats{};
        ok[t] = ccsds_tm_frame_decode(&cfg, damaged.data(), bits, back.data(), back.size(), &stats) == payload.size() &&
                back == payload && stats.codewords_ok == 2 && stats.symbols_corrected == 5;
    });
    for (size_t t = 0; t < coded.size(); ++t) {
        EXPECT_TRUE(ok[t]) << t;
        EXPECT_EQ(coded[t], coded[0]);
    }
}

// Every thread renders other overrides at once; each result equals the same render made alone.
TEST(ThreadedPlan, ConcurrentRendersOfOnePlanEqualSingleRenders) {
    using namespace plan_testing;
    const PlanPtr plan = prepare(R"({"segments": [{"num_samples": 6000, "off_samples": [10, 300], "sum": [
        {"type": "tone", "freq": 0.05, "background": true}, {"type": "qpsk", "snr": 8, "sps": 4, "seed": 5},
        {"type": "chirp", "freq": -0.2, "f_end": 0.2, "level": -3}]}]})");
    ASSERT_TRUE(plan);
    const std::vector<std::string> overrides = {
        "", R"({"seed": 3})", R"({"snr": -5, "seed": 4})", R"({"gains": [0, -6, 3], "phases": [0, 1, 2]})",
        R"({"enable": [true, false, 1], "seed": 9})", R"({"snr": 20})"};
    std::vector<Samples> together(overrides.size());
    on_threads_at_once(overrides.size(), [&](size_t t) {
        for (int pass = 0; pass < 3; ++pass) together[t] = render(plan.get(), overrides[t]);
    });
    for (size_t t = 0; t < overrides.size(); ++t)
        EXPECT_TRUE(identical(together[t], render(plan.get(), overrides[t]))) << overrides[t];
}

}  // namespace
