// Fading gains: independent processes for independent seeds, and a restored index that
// continues exactly; the distributions and the Doppler spectrum are measured in Python.
#include <gtest/gtest.h>

#include "channel_stage.hpp"
#include "fading.hpp"
#include "measure.hpp"
#include "plan_testing.hpp"

using namespace measure;
using qn::channel::Fading;

namespace {

std::vector<cf32> gains(Fading &f, std::size_t n) {
    std::vector<cf32> g(n);
    f.gains(g.data(), n);
    return g;
}

TEST(Fading, PathsOfOneSourceAreUncorrelated) {
    for (uint32_t seed : {1u, 77u, 4000000000u}) {
        Fading a(qn::channel::channel_stream_seed(seed, 2), false, 0.01, 0.0, 16);
        Fading b(qn::channel::channel_stream_seed(seed, 3), false, 0.01, 0.0, 16);
        const std::vector<cf32> ga = gains(a, 1 << 18), gb = gains(b, 1 << 18);
        Complex cross = 0.0;
        double pa = 0.0, pb = 0.0;
        for (std::size_t n = 0; n < ga.size(); ++n) {
            cross += of(ga[n]) * std::conj(of(gb[n]));
            pa += std::norm(of(ga[n]));
            pb += std::norm(of(gb[n]));
        }
        EXPECT_LT(std::abs(cross) / std::sqrt(pa * pb), 0.05) << seed;
        EXPECT_NEAR(pa / double(ga.size()), 1.0, 0.15) << seed;
    }
}

TEST(Fading, RestoredIndexContinuesTheSameGains) {
    Fading whole(9, true, 0.003, 3.0, 16);
    const std::vector<cf32> all = gains(whole, 5000);
    Fading first(9, true, 0.003, 3.0, 16);
    gains(first, 1500);  // mid-block: the restore rotates up from the block's start
    unsigned char blob[Fading::kStateBytes];
    first.get_state(blob);
    Fading later(9, true, 0.003, 3.0, 16);
    ASSERT_TRUE(later.set_state(blob));
    EXPECT_TRUE(plan_testing::identical(gains(later, 3500), std::vector<cf32>(all.begin() + 1500, all.end())));
}

}  // namespace
