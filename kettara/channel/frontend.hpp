// The receiver's own effects on a whole segment, after the sum and the noise: IQ imbalance
// y = mu x + nu conj(x) with mu = (1 + g e^{-j phi}) / 2, nu = (1 - g e^{j phi}) / 2,
// g = 10^(e / 20), then a DC offset. Neither keeps running state.
#pragma once

#include <cstddef>

#include "qn_api.h"

namespace qn::channel {

class IqImbalance {
public:
    IqImbalance(double gain_db, double phase_deg);
    void steps(cf32 *io, std::size_t n) const;
    cf32 mu() const { return mu_; }
    cf32 nu() const { return nu_; }

private:
    cf32 mu_, nu_;
};

class DcOffset {
public:
    DcOffset(double re, double im);
    void steps(cf32 *io, std::size_t n) const;

private:
    cf32 dc_;
};

// Both in their order; either may be absent.
class Frontend {
public:
    Frontend() = default;
    void set_iq_imbalance(double gain_db, double phase_deg);
    void set_dc_offset(double re, double im);
    bool empty() const { return !has_iq_ && !has_dc_; }
    void steps(cf32 *io, std::size_t n) const;

private:
    IqImbalance iq_{0.0, 0.0};
    DcOffset dc_{0.0, 0.0};
    bool has_iq_ = false, has_dc_ = false;
};

}  // namespace qn::channel
