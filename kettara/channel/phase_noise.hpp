// Oscillator phase noise: a Wiener phase phi[n + 1] = phi[n] + s w[n] whose spectrum
// L(f) = s^2 fs / (4 pi^2 f^2) (dBc per unit of fs, the single-sideband convention: half the
// one-sided phase spectrum) is the requested density at the offset f0 and falls 20 dB per
// decade, so s^2 = 10^(L / 10) (2 pi f0)^2 / fs; plus an optional white phase floor of that
// density (variance 10^(F / 10) fs), each from its own Gaussian draws (the real and imaginary
// parts of one noise stream). Offsets and densities are in the unit of fs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "awgn_core.h"

namespace qn::channel {

class PhaseNoise {
public:
    // Null when the generator cannot be allocated.
    static std::unique_ptr<PhaseNoise> create(uint64_t seed, double fs, double dbc_hz, double offset,
                                              bool has_floor, double floor_dbc_hz);

    // Adds the phase (radians) of the next n samples to angle[0 .. n).
    void add_angles(double *angle, std::size_t n);
    void reserve(std::size_t n) { noise_.reserve(n); }
    void reset();

    std::size_t state_bytes() const;
    void get_state(unsigned char *out) const;
    bool set_state(const unsigned char *in);

private:
    struct AwgnFree {
        void operator()(Awgn *g) const { awgn_destroy(g); }
    };
    PhaseNoise() = default;

    std::unique_ptr<Awgn, AwgnFree> draws_;
    double step_ = 0.0;   // s, the Wiener step's standard deviation
    double floor_ = 0.0;  // standard deviation of the white phase
    double phase_ = 0.0;  // the Wiener phase, in [-pi, pi)
    std::vector<cf32> noise_;
};

}  // namespace qn::channel
