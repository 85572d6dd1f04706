// Memoryless amplifier models on the complex envelope, r = |x|:
//   rapp:  A(r) = r / (1 + (r / Asat)^(2p))^(1 / (2p)), no phase change;
//   saleh: A(r) = alpha_a r / (1 + beta_a r^2), phi(r) = alpha_p r^2 / (1 + beta_p r^2);
//   cubic: y = x (1 - c |x|^2), c = 10^(-iip3_db / 10), so two tones of power P each give third-
//          order products of power P^3 c^2, equal to the tones at P = 10^(iip3_db / 10); beyond
//          the peak of the curve (|x|^2 = 1 / (3c)) the output magnitude holds its peak.
// The drive scales the input by 10^(D / 20) before the curve and the output by 10^(-D / 20)
// after it. Computed in double precision per sample; no running state.
#pragma once

#include <cstddef>

#include "qn_api.h"

namespace qn::channel {

enum class AmplifierModel { rapp, saleh, cubic };

struct AmplifierParams {
    AmplifierModel model = AmplifierModel::rapp;
    double smoothness = 2.0, saturation = 1.0;
    double alpha_a = 2.1587, beta_a = 1.1517, alpha_p = 4.0033, beta_p = 9.1040;
    double iip3_db = 0.0;
    double drive_db = 0.0;
};

class Amplifier {
public:
    explicit Amplifier(const AmplifierParams &p);
    // Output magnitude and phase shift (radians) for input magnitude r, before the drive.
    void curve(double r, double &magnitude, double &phase) const;
    void steps(cf32 *io, std::size_t n) const;

private:
    AmplifierParams p_;
    double drive_in_, drive_out_;
    double cubic_c_, cubic_peak_r_, cubic_peak_out_;
};

}  // namespace qn::channel
