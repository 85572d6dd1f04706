// Static taps measured by correlating a PN probe, and their normalisation.
#include <gtest/gtest.h>

#include "measure.hpp"
#include "multipath.hpp"

using namespace measure;
using qn::channel::Multipath;
using qn::channel::PathSpec;

namespace {

std::vector<cf32> through(Multipath &m, const std::vector<cf32> &x) {
    std::vector<cf32> y(x.size());
    std::vector<cf32> part(x.size());
    m.load(x.data(), x.size());
    for (std::size_t p = 0; p < m.paths(); ++p) {
        m.path_steps(p, part.data());
        for (std::size_t k = 0; k < x.size(); ++k)
            y[k] = p == 0 ? part[k] : cf32{part[k].re + y[k].re, part[k].im + y[k].im};
    }
    m.advance();
    return y;
}

// Two periods of a Zadoff-Chu probe of prime length: its periodic autocorrelation is zero at
// every lag but 0, so the correlation at one tap's lag sees no other tap.
constexpr std::size_t kPeriod = 1021;

std::vector<cf32> probe() {
    std::vector<cf32> x(2 * kPeriod);
    for (std::size_t n = 0; n < x.size(); ++n) {
        const std::size_t k = n % kPeriod;
        const Complex v = std::polar(1.0, -kPi * double(k * (k + 1) % (2 * kPeriod)) / double(kPeriod));
        x[n] = cf32{float(v.real()), float(v.imag())};
    }
    return x;
}

// The response at lag d: the correlation of the second period of y with the probe d late.
Complex response(const std::vector<cf32> &y, const std::vector<cf32> &x, std::size_t d) {
    Complex sum = 0.0;
    for (std::size_t n = kPeriod; n < 2 * kPeriod; ++n) sum += of(y[n]) * std::conj(of(x[n - d]));
    return sum / double(kPeriod);
}

TEST(Multipath, ImpulseResponseOfAProbeIsTheTaps) {
    const std::vector<PathSpec> paths{{0, 0, 0}, {3, -3, 1.0}, {11, -8, -2.5}, {40, -12, 3.0}};
    for (bool normalise : {true, false}) {
        Multipath m(paths, normalise);
        const std::vector<cf32> x = probe();
        const std::vector<cf32> y = through(m, x);
        double power = 0.0;
        for (const PathSpec &p : paths) power += std::pow(10.0, p.gain_db / 10.0);
        const double scale_db = normalise ? -db(power) : 0.0;
        for (const PathSpec &p : paths) {
            const Complex h = response(y, x, static_cast<std::size_t>(p.delay));
            EXPECT_NEAR(db(std::norm(h)), p.gain_db + scale_db, 0.1) << p.delay;
            EXPECT_NEAR(std::remainder(std::arg(h) - p.phase, 2 * kPi) * 180 / kPi, 0.0, 1.0) << p.delay;
        }
    }
}

TEST(Multipath, FractionalDelayShiftsAToneByItsDelay) {
    // A slow tone comes out late by exactly the delay (plus the filter's latency, which the
    // stage drops).
    for (double delay : {0.25, 2.5, 6.8}) {
        Multipath m({{delay, 0, 0}}, true);
        const std::vector<cf32> x = unit_tone(0.004, 8192), y = through(m, x);
        const double lag = std::arg(tone(y, 0.004, 512) / tone(x, 0.004, 512)) / (-2 * kPi * 0.004);
        EXPECT_NEAR(lag, delay + double(m.latency()), 0.01) << delay;
    }
}

}  // namespace
