// Unmodulated families: the tone (the carrier alone), the noise type (its own noise alone)
// and the chirp (a carrier of its own sweeping from freq to f_end).
#include <cmath>

#include "det_math.hpp"
#include "synth_family.hpp"
#include "wfm_spec.h"
#include "synth_setup.hpp"

namespace qn::synth {
namespace {

constexpr double kTwoPi = 6.283185307179586;

// v - floor(v), bit for bit, with a short dependency chain for the usual chirp phases in
// [-1, 2): the floor is then -1, 0 or 1, and subtracting -0.0 for 0 turns a -0 into +0
// exactly as subtracting floor(-0) = -0 does.
double minus_floor(double v) {
    if (!(v >= -1.0 && v < 2.0)) return v - std::floor(v);
    const double whole = v >= 1.0 ? 1.0 : (v < 0.0 ? -1.0 : -0.0);
    return v - whole;
}

Traits unmodulated(uint32_t wtype) {
    Traits t;
    t.noise_only = wtype == WFM_TYPE_NOISE;
    t.own_carrier = wtype == WFM_TYPE_CHIRP;
    if (wtype == WFM_TYPE_TONE || wtype == WFM_TYPE_CHIRP) t.rest = cf32{1.0f, 0.0f};
    return t;
}

class Chirp final : public Family, public ChirpSpan {
public:
    explicit Chirp(const Params &p) : Family(unmodulated(WFM_TYPE_CHIRP)), start_(p.freq_norm), end_(p.freq_end_norm) {}

    void set_span(uint64_t span) override {
        if (span_ != 0 || span == 0) return;
        span_ = span;
        rate_ = (end_ - start_) / static_cast<double>(span);
    }
    // A chirp without a preset span sweeps over its first request.
    void begin_request(size_t n) override {
        if (span_ == 0) set_span(n);
    }
    void carrier(cf32 *out, size_t m) override {
        const double held_step = static_cast<double>(span_) * rate_;
        float angle[kChunk];
        for (size_t i = 0; i < m; ++i) {
            angle[i] = static_cast<float>(kTwoPi * phase_);
            const uint64_t k = pos_;
            const double p = phase_ + start_;
            phase_ = minus_floor(k < span_ ? p + static_cast<double>(k) * rate_ : p + held_step);
            pos_ = k + 1;
        }
        qn::det_phasors(angle, out, m);
    }
    void rewind() override {
        phase_ = 0.0;
        pos_ = 0;
    }
    void save(uint8_t *fixed) const override {
        put<double>(fixed, slot::kChirpPhase, phase_);
        put<uint64_t>(fixed, slot::kChirpPos, pos_);
    }
    void restore(const uint8_t *fixed) override {
        phase_ = get<double>(fixed, slot::kChirpPhase);
        pos_ = get<uint64_t>(fixed, slot::kChirpPos);
    }

private:
    double start_;
    double end_;
    double rate_ = 0.0;
    double phase_ = 0.0;
    uint64_t pos_ = 0;
    uint64_t span_ = 0;
};

}  // namespace

std::unique_ptr<Family> make_tone_family(const Params &p) {
    if (p.wtype == WFM_TYPE_CHIRP) return std::make_unique<Chirp>(p);
    return std::make_unique<Family>(unmodulated(p.wtype));
}

}  // namespace qn::synth
