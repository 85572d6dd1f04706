#include "freq_integrator.hpp"

#include <cmath>
#include <utility>

#include "state_blob.hpp"
#include "wfm_channel_write.hpp"

namespace qn::channel {
namespace {

constexpr char kMagic[] = "FINT";
constexpr double kTwoPi = 6.283185307179586;

}  // namespace

FreqIntegrator::FreqIntegrator(double fs, double drift, std::vector<ProfilePoint> profile)
    : fs_(fs > 0.0 ? fs : 1.0), drift_(drift) {
    for (const ProfilePoint &p : profile) {
        times_.push_back(p.t);
        offsets_.push_back(p.df);
    }
}

double FreqIntegrator::offset_at(uint64_t n) const {
    const double t = static_cast<double>(n) / fs_;
    return (drift_ * t + wfm::profile_offset(times_.data(), offsets_.data(), times_.size(), t)) / fs_;
}

void FreqIntegrator::add_angles(double *angle, std::size_t n) {
    for (std::size_t k = 0; k < n; ++k) {
        angle[k] += kTwoPi * phase_;
        phase_ += offset_at(n_++);
        if (phase_ >= 0.5 || phase_ < -0.5) phase_ -= std::nearbyint(phase_);
    }
}

void FreqIntegrator::reset() {
    n_ = 0;
    phase_ = 0.0;
}

void FreqIntegrator::get_state(unsigned char *out) const {
    blob::write_header(out, kMagic, 1, kStateBytes);
    blob::put<uint64_t>(out + 16, n_);
    blob::put<double>(out + 24, phase_);
}

bool FreqIntegrator::set_state(const unsigned char *in) {
    if (!blob::header_matches(in, kMagic, 1, kStateBytes)) return false;
    n_ = blob::get<uint64_t>(in + 16);
    phase_ = blob::get<double>(in + 24);
    return true;
}

}  // namespace qn::channel
