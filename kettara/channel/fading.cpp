#include "fading.hpp"

#include <cmath>

#include "det_math.hpp"
#include "splitmix.hpp"
#include "state_blob.hpp"

namespace qn::channel {
namespace {

constexpr char kMagic[] = "FADE";
constexpr double kTwoPi = 6.283185307179586;
constexpr uint64_t kExactEvery = 1024;

// The k-th uniform draw in [0, 1) of the seed's sequence.
double uniform(uint64_t seed, uint64_t k) {
    return static_cast<double>(splitmix_finish(seed + (k + 1) * kSplitMixGamma) >> 11) * 0x1p-53;
}

}  // namespace

Fading::Fading(uint64_t seed, bool rician, double doppler, double k_db, uint32_t sinusoids) {
    const uint32_t n = sinusoids > 0 ? sinusoids : 1;
    const double theta = kTwoPi * uniform(seed, 0);
    for (uint32_t i = 0; i < n; ++i) {
        const double alpha = (kTwoPi * i + theta) / n;
        Sinusoid s{};
        s.cycles = doppler * det_cos(alpha);
        s.phase = kTwoPi * uniform(seed, i + 2);
        det_sincos(kTwoPi * s.cycles, &s.step_im, &s.step_re);
        sinusoids_.push_back(s);
    }
    const double k = rician ? det_exp(2.302585092994046 * (k_db * 0.1)) : 0.0;
    scatter_ = std::sqrt(1.0 / (k + 1.0)) / std::sqrt(static_cast<double>(n));
    if (rician) {
        double s, c;
        det_sincos(kTwoPi * uniform(seed, 1), &s, &c);
        const double a = std::sqrt(k / (k + 1.0));
        los_ = cf32{static_cast<float>(a * c), static_cast<float>(a * s)};
    }
    re_.resize(n);
    im_.resize(n);
}

void Fading::set_exactly(uint64_t n) {
    const double index = static_cast<double>(n);
    for (std::size_t i = 0; i < sinusoids_.size(); ++i) {
        const double turns = sinusoids_[i].cycles * index;
        const double angle = kTwoPi * (turns - std::floor(turns)) + sinusoids_[i].phase;
        det_sincos(angle, &im_[i], &re_[i]);
    }
    at_ = n;
}

void Fading::rotate() {
    for (std::size_t i = 0; i < sinusoids_.size(); ++i) {
        const Sinusoid &s = sinusoids_[i];
        const double r = re_[i] * s.step_re - im_[i] * s.step_im;
        im_[i] = re_[i] * s.step_im + im_[i] * s.step_re;
        re_[i] = r;
    }
    ++at_;
}

void Fading::gains(cf32 *out, std::size_t count) {
    for (std::size_t k = 0; k < count; ++k, ++n_) {
        if (n_ % kExactEvery == 0) {
            set_exactly(n_);
        } else if (at_ + 1 == n_) {
            rotate();
        } else {  // after a restore: from the block's start, as an unbroken run would
            set_exactly(n_ - n_ % kExactEvery);
            while (at_ < n_) rotate();
        }
        double sum_re = 0.0, sum_im = 0.0;
        for (std::size_t i = 0; i < sinusoids_.size(); ++i) {
            sum_re += re_[i];
            sum_im += im_[i];
        }
        out[k] = cf32{static_cast<float>(sum_re * scatter_) + los_.re, static_cast<float>(sum_im * scatter_) + los_.im};
    }
}

void Fading::get_state(unsigned char *out) const {
    blob::write_header(out, kMagic, 1, kStateBytes);
    blob::put<uint64_t>(out + 16, n_);
}

bool Fading::set_state(const unsigned char *in) {
    if (!blob::header_matches(in, kMagic, 1, kStateBytes)) return false;
    n_ = blob::get<uint64_t>(in + 16);
    at_ = UINT64_MAX;
    return true;
}

}  // namespace qn::channel
