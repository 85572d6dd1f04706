#include "multipath.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "det_math.hpp"
#include "state_blob.hpp"

namespace qn::channel {
namespace {

constexpr char kMagic[] = "MPTH";
constexpr double kPi = 3.141592653589793;

// Taps t[m], m < 2 M, of a delay of M - 1 + frac samples: sinc(m - c) times a Blackman window,
// scaled to sum to 1.
std::vector<float> fractional_taps(double frac) {
    constexpr std::size_t taps = 2 * Multipath::kHalfTaps;
    const double centre = static_cast<double>(Multipath::kHalfTaps - 1) + frac;
    std::vector<double> h(taps);
    double sum = 0.0;
    for (std::size_t m = 0; m < taps; ++m) {
        const double u = static_cast<double>(m) - centre;
        const double sinc = det_sin(kPi * u) / (kPi * u);
        const double w = (u + static_cast<double>(Multipath::kHalfTaps)) / static_cast<double>(taps);
        const double window = 0.42 - 0.5 * det_cos(2.0 * kPi * w) + 0.08 * det_cos(4.0 * kPi * w);
        h[m] = sinc * window;
        sum += h[m];
    }
    std::vector<float> out(taps);
    for (std::size_t m = 0; m < taps; ++m) out[m] = static_cast<float>(h[m] / sum);
    return out;
}

}  // namespace

Multipath::Multipath(const std::vector<PathSpec> &paths, bool normalise) {
    bool fractional = false;
    double power = 0.0;
    std::vector<double> amplitude;
    for (const PathSpec &p : paths) {
        fractional = fractional || p.delay != std::floor(p.delay);
        amplitude.push_back(det_exp(2.302585092994046 * (p.gain_db * 0.05)));
        power += amplitude.back() * amplitude.back();
    }
    const double scale = normalise && power > 0.0 ? 1.0 / std::sqrt(power) : 1.0;
    latency_ = fractional ? kHalfTaps - 1 : 0;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        const double whole = std::floor(paths[i].delay), frac = paths[i].delay - whole;
        Path path;
        if (frac != 0.0) {
            path.taps = fractional_taps(frac);
            path.offset = static_cast<std::size_t>(whole);
        } else {
            path.taps = {1.0f};
            path.offset = static_cast<std::size_t>(whole) + latency_;
        }
        span_ = std::max(span_, path.offset + path.taps.size());
        taps_.push_back(std::move(path));
        double s, c;
        det_sincos(paths[i].phase, &s, &c);
        const double a = amplitude[i] * scale;
        gains_.push_back(cf32{static_cast<float>(a * c), static_cast<float>(a * s)});
    }
    history_.assign(span_ - 1, cf32{0.0f, 0.0f});
}

void Multipath::load(const cf32 *in, std::size_t n) {
    work_.resize(history_.size() + n);
    std::copy(history_.begin(), history_.end(), work_.begin());
    std::copy(in, in + n, work_.begin() + static_cast<std::ptrdiff_t>(history_.size()));
}

// out[k] = g * sum over m of taps[m] x[k - offset - m], x the history followed by the loaded
// inputs, the taps in increasing m.
void Multipath::path_steps(std::size_t p, cf32 *out) const {
    const std::size_t h = history_.size(), n = work_.size() - h;
    const Path &path = taps_[p];
    const cf32 g = gains_[p];
    for (std::size_t k = 0; k < n; ++k) {
        const cf32 *newest = work_.data() + h + k - path.offset;
        float re = 0.0f, im = 0.0f;
        for (std::size_t m = 0; m < path.taps.size(); ++m) {
            re = re + path.taps[m] * newest[-static_cast<std::ptrdiff_t>(m)].re;
            im = im + path.taps[m] * newest[-static_cast<std::ptrdiff_t>(m)].im;
        }
        out[k] = cf32{g.re * re - g.im * im, g.re * im + g.im * re};
    }
}

void Multipath::advance() {
    const std::size_t h = history_.size();
    std::copy(work_.end() - static_cast<std::ptrdiff_t>(h), work_.end(), history_.begin());
}

void Multipath::reset() { std::fill(history_.begin(), history_.end(), cf32{0.0f, 0.0f}); }

std::size_t Multipath::state_bytes() const { return blob::kHeaderBytes + history_.size() * sizeof(cf32); }

void Multipath::get_state(unsigned char *out) const {
    blob::write_header(out, kMagic, 1, static_cast<uint32_t>(state_bytes()));
    if (!history_.empty()) std::memcpy(out + blob::kHeaderBytes, history_.data(), history_.size() * sizeof(cf32));
}

bool Multipath::set_state(const unsigned char *in) {
    if (!blob::header_matches(in, kMagic, 1, state_bytes())) return false;
    if (!history_.empty()) std::memcpy(history_.data(), in + blob::kHeaderBytes, history_.size() * sizeof(cf32));
    return true;
}

}  // namespace qn::channel
