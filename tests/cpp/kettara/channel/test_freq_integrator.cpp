// A carrier that drifts or follows a profile: its measured instantaneous frequency, and the
// phase carried across chunks and a saved state.
#include <gtest/gtest.h>

#include "freq_integrator.hpp"
#include "measure.hpp"
#include "plan_testing.hpp"

using namespace measure;
using qn::channel::FreqIntegrator;

namespace {

// The rotation of a unit carrier through the integrator, n samples taken in chunks of `chunk`.
std::vector<cf32> carrier(FreqIntegrator &f, std::size_t n, std::size_t chunk) {
    std::vector<cf32> out(n);
    std::vector<double> angle;
    for (std::size_t at = 0; at < n; at += chunk) {
        const std::size_t m = std::min(chunk, n - at);
        angle.assign(m, 0.0);
        f.add_angles(angle.data(), m);
        for (std::size_t k = 0; k < m; ++k) out[at + k] = cf32{float(std::cos(angle[k])), float(std::sin(angle[k]))};
    }
    return out;
}

TEST(FreqIntegrator, MeasuredFrequencyFollowsDriftAndProfile) {
    struct Case {
        double fs, drift;
        std::vector<qn::channel::ProfilePoint> profile;
    };
    const Case cases[] = {
        {1000.0, 4.0, {}},                                            // 0 to 80 (0.08 fs) over 20 s
        {1.0, 0.0, {{2000, 0.01}, {12000, -0.03}, {16000, -0.03}}},  // held, ramped, held
        {50.0, -0.002, {{0, 1.0}, {300, 0.0}}},
    };
    constexpr std::size_t n = 20000, smooth = 64;
    for (const Case &c : cases) {
        FreqIntegrator f(c.fs, c.drift, c.profile);
        const std::vector<cf32> y = carrier(f, n, 1000);
        const FreqIntegrator reference(c.fs, c.drift, c.profile);
        double worst = 0.0;
        for (std::size_t k = 0; k + smooth < n; k += 97) {
            Complex sum = 0.0;
            double expected = 0.0;
            for (std::size_t j = k; j < k + smooth; ++j) {
                sum += of(y[j + 1]) * std::conj(of(y[j]));
                expected += reference.offset_at(j);
            }
            worst = std::max(worst, std::abs(std::arg(sum) / (2 * kPi) - expected / smooth));
        }
        EXPECT_LT(worst, 1e-4) << c.fs;
    }
}

TEST(FreqIntegrator, ChunksAndSavedStateContinueTheSamePhase) {
    const std::vector<qn::channel::ProfilePoint> profile{{0, 0.01}, {5000, 0.2}};
    FreqIntegrator whole(1.0, 1e-7, profile), pieces(1.0, 1e-7, profile);
    const std::vector<cf32> a = carrier(whole, 9000, 9000), b = carrier(pieces, 9000, 7);
    EXPECT_TRUE(plan_testing::identical(a, b));

    FreqIntegrator first(1.0, 1e-7, profile);
    carrier(first, 4321, 4321);
    unsigned char blob[FreqIntegrator::kStateBytes];
    first.get_state(blob);
    FreqIntegrator later(1.0, 1e-7, profile);
    ASSERT_TRUE(later.set_state(blob));
    const std::vector<cf32> rest = carrier(later, 9000 - 4321, 100);
    EXPECT_TRUE(plan_testing::identical(rest, std::vector<cf32>(a.begin() + 4321, a.end())));
    blob[0] = 'X';
    EXPECT_FALSE(later.set_state(blob));
}

}  // namespace
