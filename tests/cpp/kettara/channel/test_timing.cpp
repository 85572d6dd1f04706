// The emitter's clock and timing offset through the resampler: a fractional delay measured on
// a slow tone, a clock offset measured as the tone's frequency scale, and a saved state.
#include <gtest/gtest.h>

#include "measure.hpp"
#include "plan_testing.hpp"
#include "timing.hpp"

using namespace measure;
using qn::channel::Timing;

namespace {

std::vector<cf32> through(Timing &t, const std::vector<cf32> &x) {
    std::vector<cf32> y;
    t.push(x.data(), x.size(), y);
    return y;
}

TEST(Timing, FractionalOffsetDelaysByThatMuch) {
    const double f = 0.01;
    const std::vector<cf32> x = unit_tone(f, 8192);
    for (double d : {0.0001, 0.25, 0.5, 0.75, 0.999}) {
        const auto t = Timing::create(0.0, d);
        ASSERT_NE(t, nullptr);
        const std::vector<cf32> y = through(*t, x);
        ASSERT_GE(y.size(), 8000u);
        const std::vector<cf32> head(x.begin(), x.begin() + static_cast<std::ptrdiff_t>(y.size()));
        const double lag = std::arg(tone(y, f, 64) / tone(head, f, 64)) / (-2 * kPi * f);
        EXPECT_NEAR(lag, d, 0.01) << d;
    }
}

TEST(Timing, ClockOffsetScalesEveryFrequency) {
    const double f = 0.05;
    const std::vector<cf32> x = unit_tone(f, 400000);
    for (double ppm : {40.0, -100.0, 250.0, 0.5}) {
        const auto t = Timing::create(ppm, 0.3);
        const std::vector<cf32> y = through(*t, x);
        Complex turn = 0.0;
        for (std::size_t n = 64; n + 1 < y.size(); ++n) turn += of(y[n + 1]) * std::conj(of(y[n]));
        const double measured_ppm = (std::arg(turn) / (2 * kPi) / f - 1.0) * 1e6;
        EXPECT_NEAR(measured_ppm, ppm, 0.1) << ppm;
        // A fast clock packs more inputs into each output: fewer outputs than inputs.
        EXPECT_NEAR(double(y.size()), x.size() / (1.0 + ppm * 1e-6), 12.0) << ppm;
    }
}

TEST(Timing, SavedStateContinuesTheSameOutputs) {
    const std::vector<cf32> x = qpsk_chips(6000, 3);
    const auto whole = Timing::create(-70.0, 0.6);
    const std::vector<cf32> all = through(*whole, x);
    const auto first = Timing::create(-70.0, 0.6);
    std::vector<cf32> y;
    first->push(x.data(), 2500, y);
    std::vector<unsigned char> blob(first->state_bytes());
    first->get_state(blob.data());
    const auto later = Timing::create(-70.0, 0.6);
    ASSERT_TRUE(later->set_state(blob.data()));
    later->push(x.data() + 2500, x.size() - 2500, y);
    EXPECT_TRUE(plan_testing::identical(y, all));
}

}  // namespace
