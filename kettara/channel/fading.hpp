// Sum-of-sinusoids fading with a Jakes (U-shaped) Doppler spectrum: the complex gain
//   g[n] = a_s / sqrt(N) sum_i exp(j (2 pi fd cos(alpha_i) n + phi_i)) + a_los exp(j phi_0),
// alpha_i = (2 pi i + theta) / N, with theta, phi_i and phi_0 uniform from the seed;
// Rayleigh: a_s = 1, a_los = 0; Rician with K = 10^(k_db / 10): a_s^2 = 1 / (K + 1),
// a_los^2 = K / (K + 1). Its mean power is 1 and its autocorrelation tends to
// J0(2 pi fd tau). Each sinusoid is set exactly at every 1,024th sample (counted from the
// start) and rotated in between, so the gains depend only on the sample index: the state is
// that index alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "qn_api.h"

namespace qn::channel {

class Fading {
public:
    Fading(uint64_t seed, bool rician, double doppler, double k_db, uint32_t sinusoids);

    // The gains of the next n samples.
    void gains(cf32 *out, std::size_t n);
    void reset() {
        n_ = 0;
        at_ = UINT64_MAX;
    }

    static constexpr std::size_t kStateBytes = 24;
    void get_state(unsigned char *out) const;
    bool set_state(const unsigned char *in);

private:
    struct Sinusoid {
        double cycles;  // fd cos(alpha_i), cycles per sample
        double phase;   // phi_i, radians
        double step_re, step_im;  // exp(j 2 pi cycles)
    };
    void set_exactly(uint64_t n);
    void rotate();

    std::vector<Sinusoid> sinusoids_;
    double scatter_ = 1.0;  // a_s / sqrt(N)
    cf32 los_{0.0f, 0.0f};
    uint64_t n_ = 0;
    // The sinusoids' phasors at the sample they were last advanced to.
    std::vector<double> re_, im_;
    uint64_t at_ = UINT64_MAX;
};

}  // namespace qn::channel
