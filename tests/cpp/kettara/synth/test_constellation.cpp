// Constellations of the linear modulations and the symbol mapper's differential phase and
// offset quadrature rail.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <string>
#include <vector>

#include "constellation.hpp"
#include "wfm_classes.hpp"
#include "wfm_spec.h"

namespace {

using qn::synth::constellation;
using qn::synth::SymbolMapper;

struct Point {
    uint32_t bitmod;
    uint32_t label;
    double re;
    double im;
};

// Points written out from the definitions: PSK exp(j 2 pi i / M) with Gray(i) = label;
// QAM rails 2j - (L - 1) with Gray(j) the rail's bits, over sqrt(2 (M - 1) / 3); ASK over
// sqrt((M^2 - 1) / 3); on-off keying sqrt(2).
const double kTwoPi = 6.283185307179586;
// Inner ring radii of the default APSK constellations at unit average power.
const double kR16 = std::sqrt(16 / (4 + 12 * 3.15 * 3.15));
const double kR32 = std::sqrt(32 / (4 + 12 * 2.84 * 2.84 + 16 * 5.27 * 5.27));

double distance(cf32 a, cf32 b) { return std::hypot(double(a.re) - b.re, double(a.im) - b.im); }

const Point kPoints[] = {
    {WFM_BITMOD_8PSK, 0b000, 1.0, 0.0},
    {WFM_BITMOD_8PSK, 0b011, std::cos(kTwoPi * 2 / 8), std::sin(kTwoPi * 2 / 8)},  // i = 2
    {WFM_BITMOD_8PSK, 0b100, std::cos(kTwoPi * 7 / 8), std::sin(kTwoPi * 7 / 8)},  // i = 7
    {WFM_BITMOD_16PSK, 0b1000, std::cos(kTwoPi * 15 / 16), std::sin(kTwoPi * 15 / 16)},
    {WFM_BITMOD_32PSK, 0b00011, std::cos(kTwoPi * 2 / 32), std::sin(kTwoPi * 2 / 32)},
    {WFM_BITMOD_64PSK, 0b100000, std::cos(kTwoPi * 63 / 64), std::sin(kTwoPi * 63 / 64)},
    {WFM_BITMOD_16QAM, 0b0000, -3 / std::sqrt(10.0), -3 / std::sqrt(10.0)},
    {WFM_BITMOD_16QAM, 0b1011, 3 / std::sqrt(10.0), 1 / std::sqrt(10.0)},  // rails 10 -> j 3, 11 -> j 2
    {WFM_BITMOD_16QAM, 0b0110, -1 / std::sqrt(10.0), 3 / std::sqrt(10.0)},
    {WFM_BITMOD_64QAM, 0b100111, 7 / std::sqrt(42.0), 3 / std::sqrt(42.0)},  // 100 -> j 7, 111 -> j 5
    {WFM_BITMOD_256QAM, 0b00000001, -15 / std::sqrt(170.0), -13 / std::sqrt(170.0)},
    {WFM_BITMOD_1024QAM, 0b1000000000, 31 / std::sqrt(682.0), -31 / std::sqrt(682.0)},
    {WFM_BITMOD_OOK, 1, std::sqrt(2.0), 0.0},
    {WFM_BITMOD_OOK, 0, 0.0, 0.0},
    {WFM_BITMOD_4ASK, 0b10, 3 / std::sqrt(5.0), 0.0},
    {WFM_BITMOD_4ASK, 0b01, -1 / std::sqrt(5.0), 0.0},
    {WFM_BITMOD_8ASK, 0b110, 1 / std::sqrt(21.0), 0.0},  // j 4
    {WFM_BITMOD_OQPSK, 0b10, -0.70710677, 0.70710677},
    // Cross QAM: grid points beyond the cross's half-width fold onto the rows beyond it.
    {WFM_BITMOD_32QAM, 0b00000, -3 / std::sqrt(20.0), -5 / std::sqrt(20.0)},   // (-7, -3) folded
    {WFM_BITMOD_32QAM, 0b01101, -3 / std::sqrt(20.0), -1 / std::sqrt(20.0)},   // inside the cross
    {WFM_BITMOD_128QAM, 0b1000000, 7 / std::sqrt(82.0), -11 / std::sqrt(82.0)},  // (15, -7) folded
    // APSK: last two bits the quadrant (Gray), leading bits the place in it, odd quadrants mirrored.
    {WFM_BITMOD_16APSK, 0b1100, kR16 * std::cos(kTwoPi / 8), kR16 * std::sin(kTwoPi / 8)},
    {WFM_BITMOD_16APSK, 0b0001, 3.15 * kR16 * std::cos(kTwoPi * 3 / 8), 3.15 * kR16 * std::sin(kTwoPi * 3 / 8)},
    {WFM_BITMOD_16APSK, 0b0111, 3.15 * kR16 * std::cos(kTwoPi * 195 / 360), 3.15 * kR16 * std::sin(kTwoPi * 195 / 360)},
    {WFM_BITMOD_32APSK, 0b11010, kR32 * std::cos(kTwoPi * 315 / 360), kR32 * std::sin(kTwoPi * 315 / 360)},
    {WFM_BITMOD_32APSK, 0b01000, 5.27 * kR32 * std::cos(kTwoPi * 78.75 / 360), 5.27 * kR32 * std::sin(kTwoPi * 78.75 / 360)},
};

TEST(Constellation, PointsFollowTheirDefinitions) {
    for (const Point &p : kPoints) {
        const cf32 got = constellation(p.bitmod).points[p.label];
        EXPECT_NEAR(got.re, p.re, 2e-7) << p.bitmod << " " << p.label;
        EXPECT_NEAR(got.im, p.im, 2e-7) << p.bitmod << " " << p.label;
    }
}

TEST(Constellation, EveryMappingHasUnitAveragePowerAndDistinctPoints) {
    for (uint32_t b = WFM_BITMOD_BPSK; b < WFM_BITMOD_COUNT; ++b) {
        const auto c = constellation(b);
        const uint32_t m = b == WFM_BITMOD_PI4QPSK ? 8 : 1u << c.bits;
        EXPECT_EQ(c.bits, qn::linear_class_of_bitmod(b)->bits_per_symbol);
        double power = 0.0, closest = 1e9;
        for (uint32_t i = 0; i < m; ++i) {
            power += double(c.points[i].re) * c.points[i].re + double(c.points[i].im) * c.points[i].im;
            for (uint32_t j = 0; j < i; ++j)
                closest = std::min(closest, distance(c.points[i], c.points[j]));
        }
        EXPECT_NEAR(power / m, 1.0, 1e-6) << BITMOD_NAMES[b];
        EXPECT_GT(closest, 0.05) << BITMOD_NAMES[b];
    }
}

// Gray labelling: the points nearest each other differ in one bit.
TEST(Constellation, NearestNeighboursDifferInOneBit) {
    for (uint32_t b : {WFM_BITMOD_8PSK, WFM_BITMOD_32PSK, WFM_BITMOD_64QAM, WFM_BITMOD_1024QAM, WFM_BITMOD_8ASK}) {
        const auto c = constellation(b);
        const uint32_t m = 1u << c.bits;
        double closest = 1e9;
        for (uint32_t i = 0; i < m; ++i)
            for (uint32_t j = 0; j < i; ++j)
                closest = std::min(closest, distance(c.points[i], c.points[j]));
        for (uint32_t i = 0; i < m; ++i)
            for (uint32_t j = 0; j < i; ++j) {
                if (distance(c.points[i], c.points[j]) < closest * 1.01) {
                    EXPECT_EQ(__builtin_popcount(i ^ j), 1) << BITMOD_NAMES[b] << " " << i << " " << j;
                }
            }
    }
}

TEST(SymbolMapper, ApskRingsSetTheRadiusRatios) {
    const double rings[] = {2.0, 3.5};
    SymbolMapper m(WFM_BITMOD_32APSK, 1, rings);
    const cf32 inner = m.map(0b11000), middle = m.map(0b10000), outer = m.map(0b00000);
    EXPECT_NEAR(std::hypot(middle.re, middle.im) / std::hypot(inner.re, inner.im), 2.0, 1e-6);
    EXPECT_NEAR(std::hypot(outer.re, outer.im) / std::hypot(inner.re, inner.im), 3.5, 1e-6);
    double power = 0.0;
    for (uint32_t v = 0; v < 32; ++v) power += std::norm(std::complex<double>(m.map(v).re, m.map(v).im));
    EXPECT_NEAR(power / 32, 1.0, 1e-6);
}

struct RingsCase {
    uint32_t bitmod;
    std::vector<double> ratios;
    bool ok;
};

TEST(SymbolMapper, RingRatiosMustGrowOutwardsOnePerOuterRing) {
    const RingsCase cases[] = {
        {WFM_BITMOD_16APSK, {3.15}, true},        {WFM_BITMOD_16APSK, {1.0}, false},
        {WFM_BITMOD_16APSK, {2.0, 3.0}, false},   {WFM_BITMOD_32APSK, {2.84, 5.27}, true},
        {WFM_BITMOD_32APSK, {3.0, 2.0}, false},   {WFM_BITMOD_32APSK, {2.0, NAN}, false},
        {WFM_BITMOD_32APSK, {2.0}, false},        {WFM_BITMOD_16QAM, {0.5}, true},  // no APSK: nothing to check
    };
    for (const RingsCase &c : cases) {
        EXPECT_EQ(qn::apsk_rings_error(c.bitmod, c.ratios.data(), c.ratios.size()) == nullptr, c.ok)
            << BITMOD_NAMES[c.bitmod] << " " << c.ratios.size();
    }
}

TEST(SymbolMapper, Pi4QpskStepsThePhaseByItsDibits) {
    SymbolMapper m(WFM_BITMOD_PI4QPSK, 4);
    // Dibits 00, 01, 11, 10 step by +1, +3, -3, -1 eighths of a turn.
    const uint32_t dibits[] = {0b00, 0b01, 0b11, 0b10, 0b11, 0b11};
    const int phases[] = {1, 4, 1, 0, 5, 2};
    for (size_t k = 0; k < 6; ++k) {
        const cf32 p = m.map(dibits[k]);
        EXPECT_NEAR(p.re, std::cos(kTwoPi * phases[k] / 8), 2e-7) << k;
        EXPECT_NEAR(p.im, std::sin(kTwoPi * phases[k] / 8), 2e-7) << k;
    }
    std::vector<uint8_t> state(m.state_bytes());
    ASSERT_EQ(state.size(), 1u);
    m.save(state.data());
    EXPECT_EQ(state[0], 2);
    state[0] = 8;
    EXPECT_FALSE(m.fits(state.data()));
    m.rewind();
    EXPECT_NEAR(m.map(0b00).re, std::cos(kTwoPi / 8), 2e-7);
}

TEST(SymbolMapper, OffsetQpskDelaysTheQuadratureRailByHalfASymbol) {
    SymbolMapper m(WFM_BITMOD_OQPSK, 6);
    std::vector<cf32> x(8);
    for (size_t k = 0; k < x.size(); ++k) x[k] = cf32{float(k), float(10 + k)};
    m.finish(x.data(), 2);
    m.finish(x.data() + 2, 6);  // across calls the delay line carries on
    for (size_t k = 0; k < x.size(); ++k) {
        EXPECT_EQ(x[k].re, float(k));
        EXPECT_EQ(x[k].im, k < 3 ? 0.0f : float(10 + k - 3));
    }
    EXPECT_EQ(m.state_bytes(), 8u + 3 * sizeof(float));
}

}  // namespace
