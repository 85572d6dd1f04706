// A static tapped delay line: path p delays the input by d_p samples (the integer part by
// the history, a fractional part by a 32-tap Blackman-windowed sinc whose taps sum to 1) and
// scales it by g_p = 10^(gain_db / 20) e^{j phase}, the gains normalised to unit total power
// unless told otherwise. When a path is fractional every path carries the filter's latency
// of 15 samples, which the channel stage discards at the start, so that the delays are
// exact. Each path's output is kept apart for the fading that may follow.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "qn_api.h"

namespace qn::channel {

struct PathSpec {
    double delay;    // samples, >= 0
    double gain_db;
    double phase;    // radians
};

class Multipath {
public:
    Multipath(const std::vector<PathSpec> &paths, bool normalise);

    std::size_t paths() const { return gains_.size(); }
    // Samples the stage must drop at the start so that output n is the input delayed by d_p.
    std::size_t latency() const { return latency_; }
    cf32 gain(std::size_t p) const { return gains_[p]; }

    // The next n inputs: load them, take each path's output (gain applied) for them, then
    // advance, which keeps the newest of them as the history.
    void load(const cf32 *in, std::size_t n);
    void reserve(std::size_t n) { work_.reserve(history_.size() + n); }
    void path_steps(std::size_t p, cf32 *out) const;
    void advance();
    void reset();

    std::size_t state_bytes() const;
    void get_state(unsigned char *out) const;
    bool set_state(const unsigned char *in);

    static constexpr std::size_t kHalfTaps = 16;

private:
    struct Path {
        std::size_t offset;       // history position of taps[0]: the whole delay less the filter
        std::vector<float> taps;  // real interpolation taps, one for an integer delay
    };
    std::vector<Path> taps_;
    std::vector<cf32> gains_;
    std::size_t latency_ = 0;
    std::size_t span_ = 1;      // history length needed: the longest path's reach
    std::vector<cf32> history_;  // the last span_ - 1 inputs, oldest first
    std::vector<cf32> work_;
};

}  // namespace qn::channel
