// The receiver's IQ imbalance and DC offset, measured.
#include <gtest/gtest.h>

#include "frontend.hpp"
#include "measure.hpp"
#include "plan_testing.hpp"

using namespace measure;

namespace {

TEST(Frontend, ImageRejectionOfAToneIsThatOfTheModel) {
    struct Case {
        double gain_db, phase_deg;
    };
    for (const Case c : {Case{0.5, 3.0}, Case{-1.0, 0.0}, Case{0.0, -5.0}, Case{2.0, 10.0}}) {
        const double g = std::pow(10.0, c.gain_db / 20.0), phi = c.phase_deg * kPi / 180.0;
        const Complex mu = (1.0 + g * std::polar(1.0, -phi)) / 2.0, nu = (1.0 - g * std::polar(1.0, phi)) / 2.0;
        const double expected = db(std::norm(mu) / std::norm(nu));
        std::vector<cf32> x = unit_tone(0.0625, 4096);
        qn::channel::IqImbalance(c.gain_db, c.phase_deg).steps(x.data(), x.size());
        const double measured = db(std::norm(tone(x, 0.0625)) / std::norm(tone(x, -0.0625)));
        EXPECT_NEAR(measured, expected, 0.1) << c.gain_db << " dB " << c.phase_deg << " deg";
    }
}

TEST(Frontend, NoImbalanceIsTheIdentityAndDcIsAddedExactly) {
    std::vector<cf32> x = unit_tone(0.1, 512);
    const std::vector<cf32> original = x;
    qn::channel::IqImbalance(0.0, 0.0).steps(x.data(), x.size());
    EXPECT_TRUE(plan_testing::identical(x, original));
    std::vector<cf32> zeros(64, cf32{0.0f, 0.0f});
    qn::channel::DcOffset(0.125, -0.375).steps(zeros.data(), zeros.size());
    for (const cf32 &v : zeros) {
        EXPECT_EQ(v.re, 0.125f);
        EXPECT_EQ(v.im, -0.375f);
    }
}

TEST(Frontend, AppliesToTheWholeSegmentAfterTheNoise) {
    // The gaps carry the offset too: the receiver adds it to whatever arrives.
    const auto out = plan_testing::compose(R"({"segments": [{"type": "tone", "freq": 0.1, "num_samples": 100,
        "delay_samples": 10, "off_samples": 20, "frontend": {"dc_offset": [0.25, -0.5]}}]})");
    ASSERT_EQ(out.size(), 130u);
    for (std::size_t k : {0u, 9u, 110u, 129u}) {
        EXPECT_EQ(out[k].re, 0.25f) << k;
        EXPECT_EQ(out[k].im, -0.5f) << k;
    }
}

}  // namespace
