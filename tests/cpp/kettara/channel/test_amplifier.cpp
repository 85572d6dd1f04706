// Amplifier curves measured from a swept amplitude, and the cubic model's intercept point
// from a two-tone test.
#include <gtest/gtest.h>

#include "amplifier.hpp"
#include "measure.hpp"

using namespace measure;
using qn::channel::Amplifier;
using qn::channel::AmplifierModel;
using qn::channel::AmplifierParams;

namespace {

struct Curve {
    double gain_db, phase_deg;
};

// The amplifier's gain and phase at input magnitude r, measured on a sample of phase 0.3.
Curve measured(const Amplifier &pa, double r) {
    std::vector<cf32> x{cf32{float(r * std::cos(0.3)), float(r * std::sin(0.3))}};
    const Complex in = of(x[0]);
    pa.steps(x.data(), 1);
    const Complex ratio = of(x[0]) / in;
    return {db(std::norm(ratio)), std::arg(ratio) * 180.0 / kPi};
}

TEST(Amplifier, RappAndSalehCurvesFollowTheirFormulas) {
    AmplifierParams rapp;
    rapp.model = AmplifierModel::rapp;
    rapp.smoothness = 2.5;
    rapp.saturation = 0.8;
    AmplifierParams saleh;
    saleh.model = AmplifierModel::saleh;
    AmplifierParams driven = rapp;
    driven.drive_db = 6.0;
    const double d = std::pow(10.0, 6.0 / 20.0);
    for (double r = 0.02; r < 2.0; r *= 1.25) {
        const double rapp_out = r / std::pow(1.0 + std::pow(r / 0.8, 5.0), 1.0 / 5.0);
        Curve c = measured(Amplifier(rapp), r);
        EXPECT_NEAR(c.gain_db, db(std::pow(rapp_out / r, 2.0)), 0.01) << r;
        EXPECT_NEAR(c.phase_deg, 0.0, 0.1) << r;

        const double a = 2.1587 * r / (1.0 + 1.1517 * r * r), phi = 4.0033 * r * r / (1.0 + 9.1040 * r * r);
        c = measured(Amplifier(saleh), r);
        EXPECT_NEAR(c.gain_db, db(std::pow(a / r, 2.0)), 0.01) << r;
        EXPECT_NEAR(c.phase_deg, phi * 180.0 / kPi, 0.1) << r;

        // Driven: the curve at r d, scaled back by d.
        const double driven_out = r * d / std::pow(1.0 + std::pow(r * d / 0.8, 5.0), 1.0 / 5.0) / d;
        EXPECT_NEAR(measured(Amplifier(driven), r).gain_db, db(std::pow(driven_out / r, 2.0)), 0.01) << r;
    }
}

TEST(Amplifier, SmallSignalsKeepTheirLevel) {
    for (AmplifierModel m : {AmplifierModel::rapp, AmplifierModel::cubic}) {
        AmplifierParams p;
        p.model = m;
        p.iip3_db = 10.0;
        p.drive_db = -20.0;
        EXPECT_NEAR(measured(Amplifier(p), 0.01).gain_db, 0.0, 1e-4);
    }
}

TEST(Amplifier, CubicInterceptFromTwoTones) {
    for (double iip3 : {-10.0, 0.0, 12.0}) {
        AmplifierParams p;
        p.model = AmplifierModel::cubic;
        p.iip3_db = iip3;
        const double tone_db = iip3 - 30.0, amplitude = std::pow(10.0, tone_db / 20.0);
        const double f1 = 1.0 / 64, f2 = 1.25 / 64;
        std::vector<cf32> x = unit_tone(f1, 8192, amplitude);
        const std::vector<cf32> second = unit_tone(f2, 8192, amplitude);
        for (std::size_t k = 0; k < x.size(); ++k) x[k] = cf32{x[k].re + second[k].re, x[k].im + second[k].im};
        Amplifier(p).steps(x.data(), x.size());
        const double fundamental = db(std::norm(tone(x, f1))), im3 = db(std::norm(tone(x, 2 * f1 - f2)));
        EXPECT_NEAR(tone_db + (fundamental - im3) / 2.0, iip3, 0.2) << iip3;
    }
}

}  // namespace
