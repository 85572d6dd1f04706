#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <vector>

#include "wfm_dsp.h"

namespace {

// The RRC response before normalisation, written from its definition.
double rrc_reference(double t, double beta) {
    if (std::fabs(t) < 1e-9) return 1.0 - beta + 4.0 * beta / M_PI;
    if (beta > 0 && std::fabs(std::fabs(t) - 0.25 / beta) < 1e-9)
        return beta / std::sqrt(2.0) *
               ((1 + 2 / M_PI) * std::sin(M_PI / (4 * beta)) + (1 - 2 / M_PI) * std::cos(M_PI / (4 * beta)));
    return (std::sin(M_PI * t * (1 - beta)) + 4 * beta * t * std::cos(M_PI * t * (1 + beta))) /
           (M_PI * t * (1 - 16 * beta * beta * t * t));
}

std::vector<float> rrc(int sps, int span, double beta) {
    std::vector<float> taps(2 * sps * span + 1);
    wfm_rrc_taps(sps, span, taps.data(), beta);
    return taps;
}

TEST(RrcTaps, UnitEnergyShapeAndTheSpecialPoints) {
    struct Case {
        int sps, span;
        double beta;
    } cases[] = {{1, 1, 0.35}, {4, 3, 0.25}, {8, 4, 0.5}, {5, 2, 0.0}, {3, 6, 1.0}};
    for (const auto &c : cases) {
        const std::vector<float> taps = rrc(c.sps, c.span, c.beta);
        const int n = c.sps * c.span;
        std::vector<double> ref(taps.size());
        double energy = 0, sum_sq = 0;
        for (size_t i = 0; i < taps.size(); ++i) {
            ref[i] = rrc_reference((double(i) - n) / c.sps, c.beta);
            energy += ref[i] * ref[i];
            sum_sq += double(taps[i]) * taps[i];
            ASSERT_TRUE(std::isfinite(taps[i]));
        }
        EXPECT_NEAR(sum_sq, 1.0, 1e-6) << c.sps << " " << c.beta;
        for (size_t i = 0; i < taps.size(); ++i) {
            EXPECT_NEAR(taps[i], ref[i] / std::sqrt(energy), 2e-7) << c.sps << " " << c.beta << " tap " << i;
            EXPECT_EQ(taps[i], taps[taps.size() - 1 - i]);  // symmetric
            EXPECT_LE(std::fabs(taps[i]), taps[n]);         // peak in the middle
        }
    }
    // The middle tap before normalisation is 1 - beta + 4 beta / pi; beta 0 gives a sinc.
    const std::vector<float> sinc = rrc(4, 2, 0.0);
    EXPECT_NEAR(sinc[4], 0.0f, 1e-7f);
    EXPECT_NEAR(sinc[8] / sinc[6], M_PI / 2, 1e-6);
    // beta 0.25, sps 4: taps N +- 4 sit on |t| = 1 and take the limit value.
    const std::vector<float> quarter = rrc(4, 3, 0.25);
    EXPECT_NEAR(quarter[12 + 4] / quarter[12], rrc_reference(1.0, 0.25) / rrc_reference(0.0, 0.25), 1e-6);

    // Roll-offs outside 0 to 1 are clamped: negative or NaN ones give the sinc, larger
    // ones the roll-off 1; never a division by zero on the tap grid.
    const std::vector<float> full = rrc(4, 3, 1.0);
    for (double beta : {-0.25, -0.5, -1e300, -double(INFINITY), double(NAN)}) EXPECT_EQ(rrc(4, 3, beta), rrc(4, 3, 0.0)) << beta;
    for (double beta : {1.5, 1e300, double(INFINITY)}) EXPECT_EQ(rrc(4, 3, beta), full) << beta;

    float untouched[3] = {7, 7, 7};
    wfm_rrc_taps(0, 1, untouched, 0.35);
    wfm_rrc_taps(2, 0, untouched, 0.35);
    EXPECT_EQ(untouched[0], 7.0f);
}

TEST(PolyphaseBank, PhasesTakeEveryNthTapZeroPadded) {
    const float taps[5] = {1, 2, 3, 4, 5};
    float bank[6];
    wfm_polyphase_bank(taps, 5, 2, 3, bank);
    const float want[6] = {1, 3, 5, 2, 4, 0};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(bank[i], want[i]) << i;
    float nothing[1] = {9};
    wfm_polyphase_bank(taps, 5, 2, 0, nothing);
    EXPECT_EQ(nothing[0], 9.0f);

    const std::vector<float> rrc42 = rrc(4, 2, 0.35);
    float rbank[20];
    wfm_rrc_polyphase_bank(4, 2, rbank, 0.35);
    for (int p = 0; p < 4; ++p)
        for (int k = 0; k < 5; ++k) {
            const size_t idx = size_t(p) + 4 * size_t(k);
            const float want_tap = idx < rrc42.size() ? rrc42[idx] * 2.0f : 0.0f;
            EXPECT_EQ(rbank[p * 5 + k], want_tap) << p << "," << k;
        }
    for (int p = 1; p < 4; ++p) EXPECT_EQ(rbank[p * 5 + 4], 0.0f);
    float kept[4] = {3, 3, 3, 3};
    wfm_rrc_polyphase_bank(0, 2, kept, 0.35);
    wfm_rrc_polyphase_bank(4, 0, kept, 0.35);
    EXPECT_EQ(kept[0], 3.0f);
}

TEST(DsssSpread, ChipOneNegatesBothSignBits) {
    const cf32 symbols[2] = {{1.0f, -2.0f}, {0.0f, 0.5f}};
    const uint8_t chips[3] = {0, 1, 0xFF};  // only the lowest bit counts
    cf32 out[6];
    wfm_dsss_spread(symbols, 2, chips, 3, out);
    const cf32 want[6] = {{1, -2}, {-1, 2}, {-1, 2}, {0, 0.5f}, {-0.0f, -0.5f}, {-0.0f, -0.5f}};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(std::bit_cast<uint32_t>(out[i].re), std::bit_cast<uint32_t>(want[i].re)) << i;
        EXPECT_EQ(std::bit_cast<uint32_t>(out[i].im), std::bit_cast<uint32_t>(want[i].im)) << i;
    }
    wfm_dsss_spread(symbols, 0, chips, 3, nullptr);
    wfm_dsss_spread(symbols, 2, chips, 0, nullptr);
}

TEST(DsssContinuous, FractionalBitsAndAContinuousCode) {
    const uint8_t code[3] = {1, 0, 1}, data[2] = {1, 0xFE};
    uint8_t out[8];
    ASSERT_EQ(wfm_cont_dsss_chips(code, 3, data, 2, 6, out, 2.5), 6u);
    const uint8_t want[6] = {0, 1, 0, 1, 0, 0};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(out[i], want[i]) << i;

    struct Bad {
        const uint8_t *code;
        size_t code_len;
        const uint8_t *data;
        size_t data_len, n;
        uint8_t *out;
        double cpb;
    } bad[] = {{code, 3, data, 2, 6, out, 0.0},  {code, 3, data, 2, 6, out, -1.0},
               {code, 3, data, 2, 6, out, NAN},  {nullptr, 3, data, 2, 6, out, 2.0},
               {code, 0, data, 2, 6, out, 2.0},  {code, 3, data, 0, 6, out, 2.0},
               {code, 3, data, 2, 0, out, 2.0},  {code, 3, nullptr, 2, 6, out, 2.0},
               {code, 3, data, 2, 6, nullptr, 2.0}};
    for (const auto &b : bad)
        EXPECT_EQ(wfm_cont_dsss_chips(b.code, b.code_len, b.data, b.data_len, b.n, b.out, b.cpb), 0u) << b.cpb;
}

}  // namespace
