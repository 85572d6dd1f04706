#include "phase_noise.hpp"

#include <cmath>

#include "det_math.hpp"
#include "state_blob.hpp"

namespace qn::channel {
namespace {

constexpr char kMagic[] = "PHNS";
constexpr double kTwoPi = 6.283185307179586;

double power_of_db(double db) { return det_exp(2.302585092994046 * (db * 0.1)); }

}  // namespace

std::unique_ptr<PhaseNoise> PhaseNoise::create(uint64_t seed, double fs, double dbc_hz, double offset,
                                               bool has_floor, double floor_dbc_hz) {
    std::unique_ptr<PhaseNoise> p(new PhaseNoise);
    p->draws_.reset(awgn_create(seed, 1.0f));
    if (!p->draws_) return nullptr;
    p->step_ = std::sqrt(power_of_db(dbc_hz) / fs) * (kTwoPi * offset);
    p->floor_ = has_floor ? std::sqrt(power_of_db(floor_dbc_hz) * fs) : 0.0;
    return p;
}

void PhaseNoise::add_angles(double *angle, std::size_t n) {
    noise_.resize(n);
    awgn_generate(draws_.get(), n, noise_.data(), n);
    for (std::size_t k = 0; k < n; ++k) {
        angle[k] += phase_ + floor_ * noise_[k].im;
        phase_ += step_ * noise_[k].re;
        if (phase_ >= 3.141592653589793 || phase_ < -3.141592653589793)
            phase_ -= kTwoPi * std::nearbyint(phase_ / kTwoPi);
    }
}

void PhaseNoise::reset() {
    awgn_reset(draws_.get());
    phase_ = 0.0;
}

std::size_t PhaseNoise::state_bytes() const { return blob::kHeaderBytes + 8 + awgn_state_bytes(draws_.get()); }

void PhaseNoise::get_state(unsigned char *out) const {
    blob::write_header(out, kMagic, 1, static_cast<uint32_t>(state_bytes()));
    blob::put<double>(out + 16, phase_);
    awgn_get_state(draws_.get(), out + 24);
}

bool PhaseNoise::set_state(const unsigned char *in) {
    if (!blob::header_matches(in, kMagic, 1, state_bytes())) return false;
    if (awgn_set_state(draws_.get(), in + 24) != QN_OK) return false;
    phase_ = blob::get<double>(in + 16);
    return true;
}

}  // namespace qn::channel
