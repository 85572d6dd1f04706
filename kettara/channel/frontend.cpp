#include "frontend.hpp"

#include "det_math.hpp"

namespace qn::channel {

IqImbalance::IqImbalance(double gain_db, double phase_deg) {
    const double g = det_exp(2.302585092994046 * (gain_db * 0.05));
    const double phi = phase_deg * (3.141592653589793 / 180.0);
    double s, c;
    det_sincos(phi, &s, &c);
    mu_ = cf32{static_cast<float>((1.0 + g * c) * 0.5), static_cast<float>((-g * s) * 0.5)};
    nu_ = cf32{static_cast<float>((1.0 - g * c) * 0.5), static_cast<float>((-g * s) * 0.5)};
}

void IqImbalance::steps(cf32 *io, std::size_t n) const {
    const cf32 m = mu_, v = nu_;
    for (std::size_t k = 0; k < n; ++k) {
        const cf32 x = io[k];
        io[k] = cf32{(m.re * x.re - m.im * x.im) + (v.re * x.re + v.im * x.im),
                     (m.re * x.im + m.im * x.re) + (v.im * x.re - v.re * x.im)};
    }
}

DcOffset::DcOffset(double re, double im) : dc_{static_cast<float>(re), static_cast<float>(im)} {}

void DcOffset::steps(cf32 *io, std::size_t n) const {
    for (std::size_t k = 0; k < n; ++k) io[k] = cf32{io[k].re + dc_.re, io[k].im + dc_.im};
}

void Frontend::set_iq_imbalance(double gain_db, double phase_deg) {
    iq_ = IqImbalance(gain_db, phase_deg);
    has_iq_ = true;
}

void Frontend::set_dc_offset(double re, double im) {
    dc_ = DcOffset(re, im);
    has_dc_ = true;
}

void Frontend::steps(cf32 *io, std::size_t n) const {
    if (has_iq_) iq_.steps(io, n);
    if (has_dc_) dc_.steps(io, n);
}

}  // namespace qn::channel
