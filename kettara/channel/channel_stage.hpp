// One source's transmitter and path, applied to its unit-power baseband before its level and
// the sum, in this order: amplifier, phase noise, carrier drift and profile, sample clock and
// timing offset, static taps, fading (per tap when there are taps, flat otherwise).
//
// The stage pulls its source's samples in fixed blocks, whatever the caller asks for, so a
// stream taken in any chunks is the same stream. Its random processes draw from streams of
// their own, derived from the source's seed (see channel_stream_seed), apart from the data
// and noise streams.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "amplifier.hpp"
#include "fading.hpp"
#include "freq_integrator.hpp"
#include "multipath.hpp"
#include "phase_noise.hpp"
#include "timing.hpp"
#include "wfm_channel_spec.h"
#include "wfm_synth_core.h"

namespace qn::channel {

// The values of the ranged keys for one instance.
struct ChannelValues {
    double drive_db = 0, dbc_hz = 0, freq_drift = 0, clock_ppm = 0, timing_offset = 0, doppler = 0, k_db = 0;
};

// The values as the scene gives them (the lower end of a range).
ChannelValues fixed_values(const WfmChannelSpec &c);
// The values of one instance: each ranged key drawn with the source's seed and its own field.
ChannelValues drawn_values(const WfmChannelSpec &c, uint32_t seed, uint32_t pass, uint64_t instance,
                           uint64_t segment, uint64_t source);

// The seed of random stream `tag` of a source seed: 1 the phase noise, 2 + p the fading of
// tap p. SplitMix64 of (seed << 8 | tag) plus a constant of its own, so these streams start
// nowhere near the data and noise streams seeded from the same number.
uint64_t channel_stream_seed(uint32_t seed, uint32_t tag);

class ChannelStage {
public:
    // Which parts a stage holds: all of them, those before the taps and fading (a plan keeps
    // that waveform to fade afresh), or only the taps and fading (the fresh fading itself).
    enum class Parts { all, before_paths, paths };

    // Null when a part cannot be allocated. fading_seed stands in for seed in the fading
    // streams (a plan's fresh fading); the scene's own is seed itself.
    static std::unique_ptr<ChannelStage> create(const WfmChannelSpec &spec, const ChannelValues &values, double fs,
                                                uint32_t seed, uint32_t fading_seed, Parts parts = Parts::all);

    // A paths-only stage: the taps and fading of the next x.size() samples, in place; the
    // first path_latency() outputs of a stream are the filter's and belong to no sample.
    void fade(std::vector<cf32> &x) { through_paths(x); }
    uint64_t path_latency() const { return multipath_ ? multipath_->latency() : 0; }

    // The next n samples of the source through the channel.
    void steps(Synth *source, cf32 *out, std::size_t n);
    void reset();

    std::size_t state_bytes() const;
    void get_state(unsigned char *out) const;
    bool set_state(const unsigned char *in);

    static constexpr std::size_t kPull = 512;

private:
    ChannelStage(double fs, const ChannelValues &v, const WfmChannelSpec &spec, bool frequency);
    void refill(Synth *source);
    void rotate(std::vector<cf32> &x);
    void through_paths(std::vector<cf32> &x);
    bool apply_state(const unsigned char *in);

    std::unique_ptr<Amplifier> amplifier_;
    std::unique_ptr<PhaseNoise> phase_noise_;
    FreqIntegrator freq_;
    std::unique_ptr<Timing> timing_;
    std::unique_ptr<Multipath> multipath_;
    std::vector<Fading> fading_;  // one per tap, or one for flat fading

    uint64_t latency_left_ = 0;
    std::vector<cf32> pulled_, moved_, path_out_, gains_, sum_, ready_;
    std::vector<double> angles_;
    std::vector<float> angles_f_;
    std::vector<cf32> phasors_;
    std::size_t ready_at_ = 0;
};

}  // namespace qn::channel
