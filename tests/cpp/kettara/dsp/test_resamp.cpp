#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <complex>
#include <cstring>
#include <vector>

#include "blob_bytes.hpp"
#include "resamp_core.h"
#include "resamp_core.hpp"
#include "simd_paths.hpp"

namespace {

using qn::test::Bytes;
using Samples = std::vector<cf32>;

Samples tone(size_t n, double freq) {
    Samples x(n);
    for (size_t i = 0; i < n; ++i) {
        const double a = 2 * M_PI * freq * double(i);
        x[i] = {float(std::cos(a)), float(std::sin(a))};
    }
    return x;
}

bool same_bits(const Samples &a, const Samples &b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(cf32)) == 0;
}

struct StateFields {
    uint32_t acc, ctrl_acc, ctrl_skip, ctrl_backlog;
    uint64_t ring_idx;
};

StateFields fields(const Resamp *r) {
    Bytes blob(resamp_state_bytes(r));
    resamp_get_state(r, blob.data());
    using qn::test::read_le;
    return {read_le<uint32_t>(blob, 16), read_le<uint32_t>(blob, 28), read_le<uint32_t>(blob, 32),
            read_le<uint32_t>(blob, 36), read_le<uint64_t>(blob, 20)};
}

// Every kernel path of the dot product sums in the fixed order, for any number of taps.
class PolyphaseDotPaths : public testing::TestWithParam<qn::test::PathAndLength> {};

TEST_P(PolyphaseDotPaths, PartialSumsInTheFixedOrder) {
    const auto [level, n] = GetParam();
    std::vector<float> taps(n);
    Samples x(n);
    for (size_t k = 0; k < n; ++k) {
        taps[k] = 1.0f / float(k + 3) - 0.1f;
        x[k] = {float(k) * 0.37f - 1.1f, 1.0f / float(k + 1)};
    }
    float s[4][2] = {};
    size_t k = 0;
    for (; k + 4 <= n; k += 4)
        for (int j = 0; j < 4; ++j) {
            s[j][0] += taps[k + j] * x[k + j].re;
            s[j][1] += taps[k + j] * x[k + j].im;
        }
    float re = (s[0][0] + s[2][0]) + (s[1][0] + s[3][0]);
    float im = (s[0][1] + s[2][1]) + (s[1][1] + s[3][1]);
    for (; k < n; ++k) {
        re += taps[k] * x[k].re;
        im += taps[k] * x[k].im;
    }
    const cf32 y = qn::polyphase_dot(level, taps.data(), x.data(), n);
    EXPECT_EQ(std::bit_cast<uint32_t>(y.re), std::bit_cast<uint32_t>(re));
    EXPECT_EQ(std::bit_cast<uint32_t>(y.im), std::bit_cast<uint32_t>(im));
}

QN_INSTANTIATE_OVER_PATHS(PolyphaseDotPaths);

TEST(ResampCreate, StepsAndRefusals) {
    const float bank[8] = {1, 1, 1, 1, 1, 1, 1, 1};
    struct Case {
        double rate;
        uint32_t step;
    } steps[] = {{1.0, 0}, {4.0, 0x40000000u}, {0.5, 0x80000000u}, {0.75, 0xC0000000u}, {3.0, 1431655765u},
                 {4294967296.0, 1}, {0x1p-32, 1}};
    for (const auto &c : steps) {
        Resamp *r = resamp_create_custom(4, 2, bank, c.rate);
        ASSERT_NE(r, nullptr) << c.rate;
        EXPECT_EQ(resamp_interp_inputs_needed(r, 1) , c.step == 0 ? 1u : 0u) << c.rate;
        EXPECT_EQ(resamp_interp_inputs_needed(r, 1u << 20), c.step == 0 ? 1u << 20 : (uint64_t(c.step) << 20) >> 32);
        EXPECT_EQ(resamp_get_rate(r), c.rate);
        resamp_destroy(r);
    }
    const double bad_rates[] = {0.0, -1.0, NAN, INFINITY, 0x1p33, 0x1p-33};
    for (double rate : bad_rates) EXPECT_EQ(resamp_create_custom(4, 2, bank, rate), nullptr) << rate;
    EXPECT_EQ(resamp_create(NAN), nullptr);
    struct Shape {
        size_t phases, taps;
    } bad_shapes[] = {{3, 2}, {0, 2}, {4, 0}, {6, 1}, {size_t(1) << 33, 1}};
    for (const auto &s : bad_shapes) EXPECT_EQ(resamp_create_custom(s.phases, s.taps, bank, 1.0), nullptr) << s.phases;
    EXPECT_EQ(resamp_create_custom(4, 2, nullptr, 1.0), nullptr);
    // The caller's bank survives every refusal (a sanitizer build would catch a free of it).
    EXPECT_EQ(bank[7], 1.0f);
    resamp_destroy(nullptr);

    Resamp *r = resamp_create_custom(4, 2, bank, 2.0);
    resamp_set_rate(r, NAN);
    resamp_set_rate(r, 0x1p40);
    EXPECT_EQ(resamp_get_rate(r), 2.0);
    resamp_set_rate(r, 0.25);
    EXPECT_EQ(resamp_get_rate(r), 0.25);
    EXPECT_EQ(resamp_get_num_phases(r), 4u);
    EXPECT_EQ(resamp_get_num_taps(r), 2u);
    resamp_destroy(r);
}

TEST(ResampInterp, RateFourPushesAfterEveryFourthOutput) {
    const float bank[4] = {1.0f, 0.5f, 0.25f, 0.125f};  // one tap per phase: output = tap * newest
    Resamp *r = resamp_create_custom(4, 1, bank, 4.0);
    ASSERT_EQ(resamp_interp_inputs_needed(r, 8), 2u);
    const cf32 in[2] = {{2, -2}, {4, 8}};
    cf32 out[8];
    ASSERT_EQ(resamp_interp_fill(r, in, out, 8), 2u);
    for (int k = 0; k < 4; ++k) EXPECT_TRUE(out[k].re == 0.0f && out[k].im == 0.0f) << k;
    for (int k = 4; k < 8; ++k) {
        EXPECT_EQ(out[k].re, 2.0f * bank[k - 4]) << k;
        EXPECT_EQ(out[k].im, -2.0f * bank[k - 4]) << k;
    }
    // The block interpolator with exactly the needed inputs gives the same outputs.
    Resamp *b = resamp_create_custom(4, 1, bank, 4.0);
    cf32 out2[8];
    EXPECT_EQ(resamp_execute(b, in, 2, out2, 8), 8u);
    EXPECT_EQ(0, std::memcmp(out, out2, sizeof out));
    EXPECT_EQ(resamp_execute(b, in, 0, out2, 8), 0u);
    EXPECT_EQ(resamp_execute(b, in, 2, out2, 0), 0u);
    resamp_destroy(r);
    resamp_destroy(b);

    const float unit = 1.0f;
    Resamp *same = resamp_create_custom(1, 1, &unit, 1.0);
    EXPECT_EQ(resamp_interp_inputs_needed(same, 5), 5u);
    cf32 o[3];
    EXPECT_EQ(resamp_interp_fill(same, in, o, 2), 2u);
    EXPECT_TRUE(o[1].re == 2.0f && o[1].im == -2.0f);  // each output before its own input
    resamp_destroy(same);
}

TEST(ResampDecimate, HalfRateSumsPairsThroughTheDelayLine) {
    const float bank[2] = {1.0f, 1.0f};
    Resamp *r = resamp_create_custom(2, 1, bank, 0.5);
    const Samples x = tone(10, 0.1);
    Samples y(10);
    ASSERT_EQ(resamp_execute(r, x.data(), 10, y.data(), 10), 5u);
    for (int k = 0; k < 5; ++k) {
        EXPECT_EQ(y[k].re, x[2 * k].re * 0.5f + x[2 * k + 1].re * 0.5f) << k;
        EXPECT_EQ(y[k].im, x[2 * k].im * 0.5f + x[2 * k + 1].im * 0.5f) << k;
    }
    // Stops when the output is full.
    resamp_reset(r);
    EXPECT_EQ(resamp_execute(r, x.data(), 10, y.data(), 2), 2u);
    resamp_destroy(r);
}

// The built-in bank is a unit-gain lowpass: a tone comes out with unit amplitude at the
// frequency scaled by 1 / rate, whether interpolating or decimating.
TEST(ResampBuiltin, BankShapeAndTonesAcrossRates) {
    Resamp *r = resamp_create(1.0);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(resamp_get_num_phases(r), 4096u);
    EXPECT_EQ(resamp_get_num_taps(r), 19u);
    EXPECT_NEAR(resamp_dc_gain(r), 1.0, 2e-3);
    EXPECT_EQ(resamp_state_bytes(r), 848u);
    resamp_destroy(r);
    std::vector<float> bank(4096 * 19);
    qn::builtin_bank(bank.data());
    EXPECT_EQ(bank[2048 * 19 + 9], 1.0f);  // the prototype's centre
    for (float v : bank) ASSERT_TRUE(std::isfinite(v));

    for (double rate : {1.5, 0.75, 3.0, 0.4}) {
        const double freq = 0.03;
        Resamp *rs = resamp_create(rate);
        const Samples x = tone(4000, freq);
        Samples y(12000);
        const size_t n = resamp_execute(rs, x.data(), x.size(), y.data(), y.size());
        ASSERT_GT(n, 1000u);
        const std::complex<double> turn = std::polar(1.0, 2 * M_PI * freq / rate);
        for (size_t k = 100; k + 1 < n - 50; ++k) {
            const std::complex<double> a(y[k].re, y[k].im), b(y[k + 1].re, y[k + 1].im);
            ASSERT_NEAR(std::abs(a), 1.0, 5e-3) << rate << " " << k;
            ASSERT_NEAR(std::abs(b - a * turn), 0.0, 1e-2) << rate << " " << k;
        }
        resamp_destroy(rs);
    }
}

TEST(ResampCtrl, VariableRatioPushes) {
    const float bank[4] = {1.0f, 1.0f, 1.0f, 1.0f};
    Resamp *r = resamp_create_custom(4, 1, bank, 2.0);
    cf32 out[8];
    // Rate 2: two outputs per input; a full buffer carries the input over to later pushes.
    EXPECT_EQ(resamp_execute_ctrl_push(r, out, 1, {1, 0}, 0.0), 1u);
    EXPECT_EQ(fields(r).ctrl_backlog, 1u);
    EXPECT_EQ(resamp_execute_ctrl_push(r, out, 8, {2, 0}, 0.0), 3u);
    EXPECT_EQ(fields(r).ctrl_backlog, 0u);
    EXPECT_EQ(resamp_get_ctrl_acc(r), 0.0);

    // ctrl = -rate: the next output is a million inputs away.
    EXPECT_EQ(resamp_execute_ctrl_push(r, out, 8, {3, 0}, -2.0), 1u);
    EXPECT_EQ(fields(r).ctrl_skip, 999999u);

    // Ratio rate + ctrl = 4: four outputs per input. With room for only three per push, the
    // fourth comes with a later push and the inputs not yet counted pile up.
    resamp_reset(r);
    EXPECT_EQ(fields(r).ctrl_skip, 0u);
    const Samples x = tone(40, 0.05);
    const std::vector<double> ctrl(40, 2.0);
    Samples all(200), pieces;
    EXPECT_EQ(resamp_execute_ctrl(r, x.data(), ctrl.data(), 40, all.data(), 200), 160u);
    EXPECT_EQ(resamp_execute_ctrl(r, x.data(), ctrl.data(), 0, all.data(), 200), 0u);
    Resamp *small = resamp_create_custom(4, 1, bank, 2.0);
    for (size_t i = 0; i < 40; ++i) {
        cf32 few[3];
        const size_t got = resamp_execute_ctrl(small, &x[i], &ctrl[i], 1, few, 3);
        pieces.insert(pieces.end(), few, few + got);
    }
    ASSERT_EQ(pieces.size(), 120u);
    EXPECT_EQ(0, std::memcmp(pieces.data(), all.data(), 3 * sizeof(cf32)));
    EXPECT_EQ(fields(small).ctrl_backlog, 10u);  // 40 inputs pushed, 120 / 4 counted
    resamp_destroy(small);
    resamp_destroy(r);
    resamp_destroy(nullptr);
}

TEST(ResampState, BlobLayoutRoundTripAndRefusals) {
    Resamp *r = resamp_create(0.75);
    const Samples x = tone(101, 0.02);
    Samples y(200);
    resamp_execute(r, x.data(), 101, y.data(), 200);
    cf32 extra[4];
    resamp_execute_ctrl_push(r, extra, 1, {0.5f, 0.5f}, 0.6);
    Bytes blob(848);
    resamp_get_state(r, blob.data());
    const Bytes header = {'R', 'S', 'M', 'P', 2, 0, 1, 0, 0x50, 3, 0, 0, 0, 0, 0, 0};
    EXPECT_TRUE(std::equal(header.begin(), header.end(), blob.begin()));
    const StateFields f = fields(r);
    EXPECT_LT(f.ring_idx, 32u);

    Resamp *other = resamp_create(0.75);
    ASSERT_EQ(resamp_set_state(other, blob.data()), 0);
    Samples a(100), b(100);
    const Samples more = tone(60, 0.07);
    const size_t na = resamp_execute(r, more.data(), 60, a.data(), 100);
    EXPECT_EQ(resamp_execute(other, more.data(), 60, b.data(), 100), na);
    EXPECT_TRUE(same_bits(a, b));
    resamp_get_state(other, blob.data());  // continue from a state with a busy decimator
    for (const auto &damage : qn::test::kHeaderDamages) {
        Bytes bad = blob;
        bad[damage.offset] = damage.value;
        EXPECT_EQ(resamp_set_state(other, bad.data()), -4) << damage.what;
    }
    Bytes outside = blob;
    qn::test::write_le<uint64_t>(outside, 20, 32);  // one past the ring
    EXPECT_EQ(resamp_set_state(other, outside.data()), -4);
    Bytes before(848), after(848);
    resamp_get_state(other, before.data());
    qn::test::write_le<uint64_t>(outside, 20, ~uint64_t{0});
    EXPECT_EQ(resamp_set_state(other, outside.data()), -4);
    resamp_get_state(other, after.data());
    EXPECT_EQ(before, after);

    const float small_bank[4] = {1, 1, 1, 1};
    Resamp *one_tap = resamp_create_custom(4, 1, small_bank, 1.0);
    EXPECT_EQ(resamp_state_bytes(one_tap), 40u + 16u + 8u);
    EXPECT_EQ(resamp_set_state(one_tap, blob.data()), -4);
    resamp_destroy(r);
    resamp_destroy(other);
    resamp_destroy(one_tap);
}

}  // namespace
