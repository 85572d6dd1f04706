// A carrier offset that moves over time: df(t) = drift t + profile(t), t = n / fs seconds, in
// the unit of fs (drift per second), the profile piecewise linear between its points and held
// at its ends. The phase is the running sum of df / fs over the samples so far, in cycles, in
// double precision; its state carries it across chunks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qn::channel {

struct ProfilePoint {
    double t;   // seconds
    double df;  // in the unit of fs
};

class FreqIntegrator {
public:
    FreqIntegrator(double fs, double drift, std::vector<ProfilePoint> profile);

    bool active() const { return drift_ != 0.0 || !times_.empty(); }
    // The frequency offset at sample n, in cycles per sample.
    double offset_at(uint64_t n) const;
    // Adds 2 pi times the phase (cycles) of the next n samples to angle[0 .. n).
    void add_angles(double *angle, std::size_t n);
    void reset();

    static constexpr std::size_t kStateBytes = 32;
    void get_state(unsigned char *out) const;
    bool set_state(const unsigned char *in);

private:
    double fs_, drift_;
    std::vector<double> times_, offsets_;  // the profile's points
    uint64_t n_ = 0;
    double phase_ = 0.0;  // cycles, in [-0.5, 0.5)
};

}  // namespace qn::channel
