// The render overrides of impaired scenes: carrier offsets per cache and fresh fading.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <string>

#include "plan_testing.hpp"

using namespace plan_testing;

namespace {

const std::string kTwoSources = R"({"segments": [{"num_samples": 6000, "off_samples": 100, "repeats": 2,
    "sum": [{"type": "tone", "freq": 0.1}, {"type": "qpsk", "snr": 20, "sps": 4,
             "channel": {"multipath": {"delays": [0, 1.5]}, "clock_ppm": 10}}]}]})";

// The mean correlation of samples [from, to) with a unit tone at f.
double tone_level(const Samples &x, double f, std::size_t from, std::size_t to) {
    std::complex<double> sum = 0.0;
    for (std::size_t n = from; n < to; ++n)
        sum += std::complex<double>(x[n].re, x[n].im) * std::polar(1.0, -2.0 * M_PI * f * double(n - from));
    return std::abs(sum) / double(to - from);
}

TEST(PlanChannel, CarrierOffsetsMoveEachCacheAndZerosChangeNothing) {
    const PlanPtr plan = prepare(kTwoSources);
    ASSERT_NE(plan, nullptr);
    const Samples plain = render(plan.get(), "");
    EXPECT_TRUE(identical(plain, compose(kTwoSources)));
    EXPECT_TRUE(identical(render(plan.get(), R"({"freq_offsets": [0, 0]})"), plain));

    const Samples moved = render(plan.get(), R"({"freq_offsets": [0.02, 0], "enable": [1, 0], "snr": 100})");
    // Each instance's on part carries the tone at 0.12 from its own start.
    for (std::size_t start : {0u, 6100u}) {
        EXPECT_NEAR(tone_level(moved, 0.12, start, start + 6000), 1.0, 1e-4) << start;
        EXPECT_LT(tone_level(moved, 0.1, start, start + 6000), 0.01) << start;
    }
    // A wrong length is ignored, as for the other per-cache arrays.
    EXPECT_TRUE(identical(render(plan.get(), R"({"freq_offsets": [0.02]})"), plain));
}

// A fading background (folded: it keeps the scene's fading), two fading sources (one with
// fractional taps) and one that does not fade.
const std::string kFading = R"({"segments": [{"num_samples": 5000, "repeats": 2, "off_samples": 50,
    "sum": [{"type": "tone", "freq": -0.3, "background": true, "seed": 2,
             "channel": {"fading": {"model": "rayleigh", "doppler": 0.02}}},
            {"type": "qpsk", "sps": 4, "snr": 15, "seed": 11,
             "channel": {"multipath": {"delays": [0, 2.5]}, "fading": {"model": "rayleigh", "doppler": 0.01}}},
            {"type": "tone", "freq": 0.2, "seed": 30, "channel": {"fading": {"model": "rician", "doppler": 0.003}}},
            {"type": "bpsk", "sps": 8, "freq": -0.1, "seed": 5}]}]})";

TEST(PlanChannel, FreshFadingPerSeedAndTheScenesOwnIsTheDefault) {
    const PlanPtr plan = prepare(kFading);
    ASSERT_NE(plan, nullptr);
    const Samples plain = render(plan.get(), "");
    EXPECT_TRUE(identical(plain, compose(kFading)));
    // The scene's own fading seed is its first fading source's.
    EXPECT_TRUE(identical(render(plan.get(), R"({"fading_seed": 2})"), plain));
    const Samples other = render(plan.get(), R"({"fading_seed": 3})");
    ASSERT_EQ(other.size(), plain.size());
    EXPECT_FALSE(identical(other, plain));
    EXPECT_TRUE(identical(render(plan.get(), R"({"fading_seed": 3})"), other));
    // Fresh fading keeps the power of the sources it fades, roughly: the gains have mean power 1.
    EXPECT_NEAR(power_db(other), power_db(plain), 3.0);

    // The same from a restored blob and from a streamed render.
    std::vector<unsigned char> blob(kettara_save_bytes(plan.get()));
    kettara_save(plan.get(), blob.data());
    const PlanPtr restored(kettara_restore(blob.data(), blob.size()));
    ASSERT_NE(restored, nullptr);
    EXPECT_TRUE(identical(render(restored.get(), R"({"fading_seed": 3})"), other));
    KettaraStream *stream = kettara_stream_create(kFading.c_str(), R"({"fading_seed": 3})");
    ASSERT_NE(stream, nullptr);
    Samples streamed(kettara_stream_len(stream));
    streamed.resize(kettara_stream_read(stream, streamed.data(), streamed.size()));
    kettara_stream_destroy(stream);
    EXPECT_TRUE(identical(streamed, other));
}

}  // namespace
