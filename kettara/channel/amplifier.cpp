#include "amplifier.hpp"

#include <cmath>

#include "det_math.hpp"

namespace qn::channel {
namespace {

double db_amplitude(double db) { return det_exp(2.302585092994046 * (db * 0.05)); }

}  // namespace

Amplifier::Amplifier(const AmplifierParams &p)
    : p_(p), drive_in_(db_amplitude(p.drive_db)), drive_out_(db_amplitude(-p.drive_db)) {
    cubic_c_ = det_exp(2.302585092994046 * (p.iip3_db * -0.1));
    cubic_peak_r_ = std::sqrt(1.0 / (3.0 * cubic_c_));
    cubic_peak_out_ = cubic_peak_r_ * (2.0 / 3.0);
}

void Amplifier::curve(double r, double &magnitude, double &phase) const {
    phase = 0.0;
    switch (p_.model) {
    case AmplifierModel::rapp: {
        if (r == 0.0) {
            magnitude = 0.0;
            return;
        }
        const double two_p = 2.0 * p_.smoothness;
        const double knee = det_exp(two_p * det_log(r / p_.saturation));
        magnitude = r * det_exp(det_log(1.0 + knee) * (-1.0 / two_p));
        return;
    }
    case AmplifierModel::saleh: {
        const double r2 = r * r;
        magnitude = p_.alpha_a * r / (1.0 + p_.beta_a * r2);
        phase = p_.alpha_p * r2 / (1.0 + p_.beta_p * r2);
        return;
    }
    case AmplifierModel::cubic:
        magnitude = r <= cubic_peak_r_ ? r * (1.0 - cubic_c_ * (r * r)) : cubic_peak_out_;
        return;
    }
}

void Amplifier::steps(cf32 *io, std::size_t n) const {
    for (std::size_t k = 0; k < n; ++k) {
        const double xr = io[k].re * drive_in_, xi = io[k].im * drive_in_;
        const double r = std::sqrt(xr * xr + xi * xi);
        if (r == 0.0) {
            io[k] = cf32{0.0f, 0.0f};
            continue;
        }
        double magnitude = 0.0, phase = 0.0;
        curve(r, magnitude, phase);
        const double scale = magnitude / r * drive_out_;
        double s = 0.0, c = 1.0;
        if (phase != 0.0) det_sincos(phase, &s, &c);
        io[k] = cf32{static_cast<float>(scale * (xr * c - xi * s)), static_cast<float>(scale * (xr * s + xi * c))};
    }
}

}  // namespace qn::channel
