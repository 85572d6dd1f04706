#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <thread>
#include <vector>

#include "awgn_core.h"
#include "blob_bytes.hpp"
#include "lo_core.h"
#include "lo_core.hpp"

namespace {

using qn::test::Bytes;

constexpr float kTableStep = 0x1.921fb6p-14f;

TEST(LoTable, EntriesAreTheCorrectlyRoundedSineOfTheFloatAngle) {
    Lo lo;
    lo_init(&lo, 0.0);
    EXPECT_EQ(std::bit_cast<uint32_t>(kTableStep), 0x38C90FDBu);
    EXPECT_EQ(std::bit_cast<uint32_t>(lo_sin_lut[0]), 0u);
    for (int i = 1; i < 65536; ++i) {
        const float angle = static_cast<float>(i) * kTableStep;
        ASSERT_EQ(lo_sin_lut[i], static_cast<float>(sinl(static_cast<long double>(angle)))) << "entry " << i;
    }
    EXPECT_EQ(lo_sin_lut[16384], 1.0f);
    EXPECT_NE(lo_sin_lut[32768], 0.0f);  // float(32768) * K is not exactly pi
    EXPECT_LT(std::fabs(lo_sin_lut[32768]), 1e-6f);
}

// Eight threads make the first oscillators and noise generators of the process at once; each
// must see the finished tables, so all their streams equal the ones made afterwards.
bool first_fills_from_threads_agree() {
    constexpr int kThreads = 8;
    std::vector<std::vector<cf32>> tones(kThreads, std::vector<cf32>(64));
    std::vector<std::vector<cf32>> noises(kThreads, std::vector<cf32>(64));
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t, &tones, &noises] {
            Awgn *g = awgn_create(5, 1.0f);
            Lo *lo = lo_create(0.01);
            lo_steps(lo, 64, tones[t].data(), 64);
            awgn_generate(g, 64, noises[t].data(), 64);
            lo_destroy(lo);
            awgn_destroy(g);
        });
    for (auto &th : threads) th.join();
    Lo *lo = lo_create(0.01);
    Awgn *g = awgn_create(5, 1.0f);
    std::vector<cf32> tone(64), noise(64);
    lo_steps(lo, 64, tone.data(), 64);
    awgn_generate(g, 64, noise.data(), 64);
    bool same = tone[16].im > 0.5f;
    for (int t = 0; t < kThreads; ++t)
        same = same && std::memcmp(tones[t].data(), tone.data(), 64 * sizeof(cf32)) == 0 &&
               std::memcmp(noises[t].data(), noise.data(), 64 * sizeof(cf32)) == 0;
    return same;
}

// In a fresh process, so that nothing filled the tables before.
TEST(LoTable, FirstFillFromManyThreadsAtOnce) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::exit(first_fills_from_threads_agree() ? 0 : 1), ::testing::ExitedWithCode(0), "");
}

struct IncrementCase {
    double freq;
    uint32_t inc;
};

TEST(LoIncrement, WrapsFrequenciesIntoOneTurn) {
    const IncrementCase cases[] = {
        {0.0, 0},
        {0.25, 0x40000000u},
        {-0.25, 0xC0000000u},
        {1.25, 0x40000000u},
        {0.5, 0x80000000u},
        {0.1, 429496729u},          // truncated, not rounded
        {-1e-300, 0xFFFFFFFFu},     // 1 - tiny rounds to 1.0: one increment short of a turn
        {std::nan(""), 0},
        {INFINITY, 0},
        {-3.0, 0},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(qn::phase_increment(c.freq), c.inc) << c.freq;
        Lo *lo = lo_create(c.freq);
        EXPECT_EQ(lo_get_phase_inc(lo), c.inc);
        lo_destroy(lo);
    }
    Lo *lo = lo_create(1.25);
    EXPECT_EQ(lo_get_norm_freq(lo), 1.25);
    lo_set_phase(lo, 77);
    lo_set_norm_freq(lo, -0.25);
    EXPECT_EQ(lo_get_phase(lo), 77u);
    EXPECT_EQ(lo_get_phase_inc(lo), 0xC0000000u);
    EXPECT_EQ(lo_get_norm_freq(lo), -0.25);
    lo_destroy(lo);
}

TEST(LoSteps, QuarterTurnCyclesThroughTheTableEntries) {
    Lo *lo = lo_create(0.25);
    cf32 out[5];
    ASSERT_EQ(lo_steps(lo, 5, out, 5), 5u);
    const int sin_idx[] = {0, 16384, 32768, 49152, 0};
    for (int k = 0; k < 5; ++k) {
        EXPECT_EQ(out[k].re, lo_sin_lut[(sin_idx[k] + 16384) % 65536]) << k;
        EXPECT_EQ(out[k].im, lo_sin_lut[sin_idx[k]]) << k;
    }
    EXPECT_EQ(out[0].re, 1.0f);
    EXPECT_EQ(out[0].im, 0.0f);
    EXPECT_EQ(out[1].im, 1.0f);
    EXPECT_EQ(out[2].re, -1.0f);
    EXPECT_EQ(out[3].im, -1.0f);
    EXPECT_EQ(lo_get_phase(lo), 5u * 0x40000000u);
    lo_destroy(lo);

    Lo dc;
    lo_init(&dc, 0.0);
    ASSERT_EQ(lo_steps(&dc, 3, out, 3), 3u);
    for (int k = 0; k < 3; ++k) EXPECT_TRUE(out[k].re == 1.0f && out[k].im == 0.0f);
}

TEST(LoSteps, IndexesWithTheUpperSixteenBitsOnly) {
    Lo *lo = lo_create(0.0);
    lo_set_phase(lo, 0x0001FFFFu);  // index 1, lower bits ignored
    cf32 out;
    lo_steps(lo, 1, &out, 1);
    EXPECT_EQ(out.im, lo_sin_lut[1]);
    EXPECT_EQ(out.re, lo_sin_lut[16385]);
    lo_destroy(lo);
}

TEST(LoSteps, CountsAndSplitsAgreeWithOneCall) {
    Lo *whole = lo_create(0.0123);
    Lo *parts = lo_create(0.0123);
    std::vector<cf32> a(1000), b(1000);
    lo_steps(whole, 1000, a.data(), 1000);
    size_t done = 0;
    for (size_t n : {1u, 0u, 7u, 300u, 692u}) done += lo_steps(parts, n, b.data() + done, n);
    ASSERT_EQ(done, 1000u);
    EXPECT_EQ(0, std::memcmp(a.data(), b.data(), sizeof(cf32) * 1000));

    const uint32_t phase = lo_get_phase(parts);
    EXPECT_EQ(lo_steps(parts, 0, b.data(), 10), 0u);
    EXPECT_EQ(lo_steps(parts, 10, b.data(), 0), 0u);
    EXPECT_EQ(lo_get_phase(parts), phase);
    EXPECT_EQ(lo_steps(parts, 10, b.data(), 4), 4u);
    EXPECT_EQ(lo_get_phase(parts), phase + 4 * lo_get_phase_inc(parts));
    lo_reset(parts);
    EXPECT_EQ(lo_get_phase(parts), 0u);
    EXPECT_EQ(lo_get_phase_inc(parts), lo_get_phase_inc(whole));
    lo_destroy(whole);
    lo_destroy(parts);
    lo_destroy(nullptr);
    EXPECT_EQ(lo_steps_max_out(), 65536u);
    EXPECT_EQ(lo_steps_ctrl_max_out(), 65536u);
}

TEST(LoSteps, ControlInputOffsetsFromTheNextSample) {
    Lo *lo = lo_create(0.125);
    const double ctrl[] = {0.25, 0.0, -0.25, 1.5};
    cf32 out[4];
    ASSERT_EQ(lo_steps_ctrl(lo, ctrl, 4, out, 4), 4u);
    const uint32_t phases[] = {0, 0x60000000u, 0x80000000u, 0x60000000u};
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(out[k].im, lo_sin_lut[phases[k] >> 16]) << k;
        EXPECT_EQ(out[k].re, lo_sin_lut[((phases[k] >> 16) + 16384) & 65535]) << k;
    }
    EXPECT_EQ(lo_get_phase(lo), 0x60000000u + 0x20000000u + 0x80000000u);
    EXPECT_EQ(lo_get_phase_inc(lo), 0x20000000u);
    EXPECT_EQ(lo_get_norm_freq(lo), 0.125);

    // All-zero control is plain stepping.
    Lo *plain = lo_create(0.3);
    Lo *ctl = lo_create(0.3);
    std::vector<double> zeros(100, 0.0);
    std::vector<cf32> a(100), b(100);
    lo_steps(plain, 100, a.data(), 100);
    EXPECT_EQ(lo_steps_ctrl(ctl, zeros.data(), 100, b.data(), 60), 60u);
    EXPECT_EQ(0, std::memcmp(a.data(), b.data(), sizeof(cf32) * 60));
    lo_destroy(lo);
    lo_destroy(plain);
    lo_destroy(ctl);
}

TEST(LoState, BlobLayoutRoundTripAndRefusals) {
    Lo *lo = lo_create(0.01);
    ASSERT_EQ(lo_state_bytes(lo), 20u);
    lo_set_phase(lo, 0x12345678u);
    Bytes blob(20);
    lo_get_state(lo, blob.data());
    const Bytes expected = {'L', 'O', '_', '_', 1, 0, 1, 0, 20, 0, 0, 0, 0, 0, 0, 0, 0x78, 0x56, 0x34, 0x12};
    EXPECT_EQ(blob, expected);

    // Save mid-stream, restore into another oscillator of the same frequency: same samples.
    cf32 before[50], after[50];
    Lo *other = lo_create(0.01);
    ASSERT_EQ(lo_set_state(other, blob.data()), 0);
    lo_steps(lo, 50, before, 50);
    lo_steps(other, 50, after, 50);
    EXPECT_EQ(0, std::memcmp(before, after, sizeof before));

    Bytes odd = blob;
    odd[7] = 9;  // not checked
    EXPECT_EQ(lo_set_state(other, odd.data()), 0);

    Bytes version2 = blob;
    version2[4] = 2;
    EXPECT_EQ(lo_set_state(other, version2.data()), -4);
    for (const auto &damage : qn::test::kHeaderDamages) {
        Bytes bad = blob;
        bad[damage.offset] = damage.value;
        lo_set_phase(other, 5);
        EXPECT_EQ(lo_set_state(other, bad.data()), -4) << damage.what;
        EXPECT_EQ(lo_get_phase(other), 5u) << damage.what;
    }
    lo_destroy(lo);
    lo_destroy(other);
}

}  // namespace
