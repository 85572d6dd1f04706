#include "channel_stage.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "det_math.hpp"
#include "splitmix.hpp"
#include "state_blob.hpp"
#include "wfm_draw.h"

namespace qn::channel {
namespace {

constexpr char kMagic[] = "CHST";
constexpr double kTwoPi = 6.283185307179586;
// The most samples one pull can leave waiting: a pull of kPull inputs makes at most
// kPull q + 1 outputs, q below 1.001.
constexpr std::size_t kReadyCap = 2 * ChannelStage::kPull;

double value_of(const WfmChannelValue &v, uint32_t seed, uint32_t pass, uint64_t instance, uint64_t segment,
                uint64_t source, uint32_t field) {
    return v.ranged ? wfm_draw_range(seed, pass, instance, segment, source, field, v.lo, v.hi) : v.lo;
}

AmplifierParams amplifier_params(const WfmChannelSpec &c, double drive_db) {
    AmplifierParams p;
    p.model = c.pa_model == WFM_PA_SALEH ? AmplifierModel::saleh
              : c.pa_model == WFM_PA_CUBIC ? AmplifierModel::cubic
                                           : AmplifierModel::rapp;
    p.smoothness = c.pa_smoothness;
    p.saturation = c.pa_saturation;
    p.alpha_a = c.saleh_alpha_a;
    p.beta_a = c.saleh_beta_a;
    p.alpha_p = c.saleh_alpha_p;
    p.beta_p = c.saleh_beta_p;
    p.iip3_db = c.pa_iip3_db;
    p.drive_db = drive_db;
    return p;
}

std::vector<ProfilePoint> profile_of(const WfmChannelSpec &c) {
    std::vector<ProfilePoint> points;
    for (uint64_t i = 0; i < c.n_profile && i < WFM_CHANNEL_MAX_PROFILE; ++i)
        points.push_back({c.profile_t[i], c.profile_df[i]});
    return points;
}

std::vector<PathSpec> paths_of(const WfmChannelSpec &c) {
    std::vector<PathSpec> paths;
    for (uint64_t i = 0; i < c.n_delays && i < WFM_CHANNEL_MAX_PATHS; ++i)
        paths.push_back({c.path_delay[i], i < c.n_gains ? c.path_gain_db[i] : 0.0,
                         i < c.n_phases ? c.path_phase[i] : 0.0});
    return paths;
}

cf32 times(cf32 a, cf32 b) { return cf32{a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re}; }

}  // namespace

ChannelValues fixed_values(const WfmChannelSpec &c) {
    return ChannelValues{c.pa_drive_db.lo,   c.pn_dbc_hz.lo, c.freq_drift.lo, c.clock_ppm.lo,
                         c.timing_offset.lo, c.doppler.lo,   c.k_db.lo};
}

ChannelValues drawn_values(const WfmChannelSpec &c, uint32_t seed, uint32_t pass, uint64_t instance,
                           uint64_t segment, uint64_t source) {
    auto draw = [&](const WfmChannelValue &v, uint32_t field) {
        return value_of(v, seed, pass, instance, segment, source, field);
    };
    return ChannelValues{draw(c.pa_drive_db, WFM_DRAW_DRIVE_DB),       draw(c.pn_dbc_hz, WFM_DRAW_DBC_HZ),
                         draw(c.freq_drift, WFM_DRAW_FREQ_DRIFT),      draw(c.clock_ppm, WFM_DRAW_CLOCK_PPM),
                         draw(c.timing_offset, WFM_DRAW_TIMING_OFFSET), draw(c.doppler, WFM_DRAW_DOPPLER),
                         draw(c.k_db, WFM_DRAW_K_DB)};
}

uint64_t channel_stream_seed(uint32_t seed, uint32_t tag) {
    return splitmix_finish(((uint64_t{seed} << 8) | tag) + 0x63686E6C00000000ull);
}

ChannelStage::ChannelStage(double fs, const ChannelValues &v, const WfmChannelSpec &spec, bool frequency)
    : freq_(fs, frequency ? v.freq_drift : 0.0, frequency ? profile_of(spec) : std::vector<ProfilePoint>{}) {}

namespace {

double rate_or_one(double fs) { return fs > 0.0 && std::isfinite(fs) ? fs : 1.0; }

}  // namespace

std::unique_ptr<ChannelStage> ChannelStage::create(const WfmChannelSpec &spec, const ChannelValues &v, double fs,
                                                   uint32_t seed, uint32_t fading_seed, Parts parts) {
    fs = rate_or_one(fs);
    const bool before = parts != Parts::paths, after = parts != Parts::before_paths;
    std::unique_ptr<ChannelStage> s(new ChannelStage(fs, v, spec, before));
    if (before && spec.pa_model != WFM_PA_NONE)
        s->amplifier_ = std::make_unique<Amplifier>(amplifier_params(spec, v.drive_db));
    if (before && spec.has_phase_noise) {
        s->phase_noise_ = PhaseNoise::create(channel_stream_seed(seed, 1), fs, v.dbc_hz, spec.pn_offset,
                                             spec.pn_has_floor != 0, spec.pn_floor_dbc_hz);
        if (!s->phase_noise_) return nullptr;
    }
    if (before && (v.clock_ppm != 0.0 || v.timing_offset != 0.0)) {
        s->timing_ = Timing::create(v.clock_ppm, v.timing_offset);
        if (!s->timing_) return nullptr;
    }
    const std::vector<PathSpec> paths = after ? paths_of(spec) : std::vector<PathSpec>{};
    if (!paths.empty()) {
        s->multipath_ = std::make_unique<Multipath>(paths, spec.normalise != 0);
        s->latency_left_ = s->multipath_->latency();
    }
    if (after && spec.fading_model != WFM_FADING_NONE) {
        const std::size_t processes = std::max<std::size_t>(paths.size(), 1);
        for (std::size_t p = 0; p < processes; ++p)
            s->fading_.emplace_back(channel_stream_seed(fading_seed, static_cast<uint32_t>(2 + p)),
                                    spec.fading_model == WFM_FADING_RICIAN, v.doppler / fs, v.k_db, spec.sinusoids);
    }
    // Every buffer at its largest now: a step never allocates.
    for (std::vector<cf32> *v : {&s->pulled_, &s->moved_, &s->path_out_, &s->gains_, &s->sum_, &s->ready_, &s->phasors_})
        v->reserve(kReadyCap);
    s->angles_.reserve(kReadyCap);
    s->angles_f_.reserve(kReadyCap);
    if (s->multipath_) s->multipath_->reserve(kReadyCap);
    if (s->phase_noise_) s->phase_noise_->reserve(kPull);
    return s;
}

// The phase noise and the carrier offset, as one rotation by their summed angle.
void ChannelStage::rotate(std::vector<cf32> &x) {
    if (!phase_noise_ && !freq_.active()) return;
    const std::size_t n = x.size();
    angles_.assign(n, 0.0);
    if (phase_noise_) phase_noise_->add_angles(angles_.data(), n);
    if (freq_.active()) freq_.add_angles(angles_.data(), n);
    angles_f_.resize(n);
    for (std::size_t k = 0; k < n; ++k)
        angles_f_[k] = static_cast<float>(angles_[k] - kTwoPi * std::nearbyint(angles_[k] / kTwoPi));
    phasors_.resize(n);
    det_phasors(angles_f_.data(), phasors_.data(), n);
    for (std::size_t k = 0; k < n; ++k) x[k] = times(x[k], phasors_[k]);
}

// The taps, each faded by its own process, summed in tap order; or flat fading.
void ChannelStage::through_paths(std::vector<cf32> &x) {
    const std::size_t n = x.size();
    if (!multipath_) {
        if (fading_.empty()) return;
        gains_.resize(n);
        fading_[0].gains(gains_.data(), n);
        for (std::size_t k = 0; k < n; ++k) x[k] = times(x[k], gains_[k]);
        return;
    }
    multipath_->load(x.data(), n);
    sum_.resize(n);
    path_out_.resize(n);
    gains_.resize(n);
    for (std::size_t p = 0; p < multipath_->paths(); ++p) {
        multipath_->path_steps(p, path_out_.data());
        if (!fading_.empty()) {
            fading_[p].gains(gains_.data(), n);
            for (std::size_t k = 0; k < n; ++k) path_out_[k] = times(path_out_[k], gains_[k]);
        }
        if (p == 0) {
            std::copy(path_out_.begin(), path_out_.end(), sum_.begin());
        } else {
            for (std::size_t k = 0; k < n; ++k)
                sum_[k] = cf32{path_out_[k].re + sum_[k].re, path_out_[k].im + sum_[k].im};
        }
    }
    multipath_->advance();
    x.swap(sum_);
}

void ChannelStage::refill(Synth *source) {
    pulled_.resize(kPull);
    wfm_synth_steps(source, pulled_.data(), kPull);
    if (amplifier_) amplifier_->steps(pulled_.data(), kPull);
    rotate(pulled_);
    if (timing_) {
        moved_.clear();
        timing_->push(pulled_.data(), kPull, moved_);
    } else {
        moved_.swap(pulled_);
    }
    through_paths(moved_);
    const std::size_t drop = std::min<uint64_t>(latency_left_, moved_.size());
    latency_left_ -= drop;
    ready_.erase(ready_.begin(), ready_.begin() + static_cast<std::ptrdiff_t>(ready_at_));
    ready_at_ = 0;
    ready_.insert(ready_.end(), moved_.begin() + static_cast<std::ptrdiff_t>(drop), moved_.end());
}

void ChannelStage::steps(Synth *source, cf32 *out, std::size_t n) {
    while (n > 0) {
        if (ready_at_ == ready_.size()) refill(source);
        const std::size_t m = std::min(n, ready_.size() - ready_at_);
        std::copy_n(ready_.data() + ready_at_, m, out);
        ready_at_ += m;
        out += m;
        n -= m;
    }
}

void ChannelStage::reset() {
    if (phase_noise_) phase_noise_->reset();
    freq_.reset();
    if (timing_) timing_->reset();
    if (multipath_) {
        multipath_->reset();
        latency_left_ = multipath_->latency();
    }
    for (Fading &f : fading_) f.reset();
    ready_.clear();
    ready_at_ = 0;
}

// Header, the samples waiting (count, then kReadyCap slots), the latency still to drop, then
// each part's own blob in stage order.
std::size_t ChannelStage::state_bytes() const {
    std::size_t bytes = blob::kHeaderBytes + 16 + kReadyCap * sizeof(cf32) + FreqIntegrator::kStateBytes;
    if (phase_noise_) bytes += phase_noise_->state_bytes();
    if (timing_) bytes += timing_->state_bytes();
    if (multipath_) bytes += multipath_->state_bytes();
    return bytes + fading_.size() * Fading::kStateBytes;
}

void ChannelStage::get_state(unsigned char *out) const {
    blob::write_header(out, kMagic, 1, static_cast<uint32_t>(state_bytes()));
    const std::size_t waiting = ready_.size() - ready_at_;
    blob::put<uint64_t>(out + 16, waiting);
    blob::put<uint64_t>(out + 24, latency_left_);
    unsigned char *at = out + 32;
    std::memset(at, 0, kReadyCap * sizeof(cf32));
    if (waiting) std::memcpy(at, ready_.data() + ready_at_, waiting * sizeof(cf32));
    at += kReadyCap * sizeof(cf32);
    freq_.get_state(at);
    at += FreqIntegrator::kStateBytes;
    if (phase_noise_) {
        phase_noise_->get_state(at);
        at += phase_noise_->state_bytes();
    }
    if (timing_) {
        timing_->get_state(at);
        at += timing_->state_bytes();
    }
    if (multipath_) {
        multipath_->get_state(at);
        at += multipath_->state_bytes();
    }
    for (const Fading &f : fading_) {
        f.get_state(at);
        at += Fading::kStateBytes;
    }
}

bool ChannelStage::set_state(const unsigned char *in) {
    if (!blob::header_matches(in, kMagic, 1, state_bytes())) return false;
    // A part that refuses its blob leaves the parts before it restored: they go back.
    std::vector<unsigned char> before(state_bytes());
    get_state(before.data());
    if (apply_state(in)) return true;
    apply_state(before.data());
    return false;
}

bool ChannelStage::apply_state(const unsigned char *in) {
    const uint64_t waiting = blob::get<uint64_t>(in + 16);
    if (waiting > kReadyCap) return false;
    const unsigned char *parts = in + 32 + kReadyCap * sizeof(cf32);
    FreqIntegrator freq = freq_;
    if (!freq.set_state(parts)) return false;
    const unsigned char *at = parts + FreqIntegrator::kStateBytes;
    if (phase_noise_ && !phase_noise_->set_state(at)) return false;
    if (phase_noise_) at += phase_noise_->state_bytes();
    if (timing_ && !timing_->set_state(at)) return false;
    if (timing_) at += timing_->state_bytes();
    if (multipath_ && !multipath_->set_state(at)) return false;
    if (multipath_) at += multipath_->state_bytes();
    for (Fading &f : fading_) {
        if (!f.set_state(at)) return false;
        at += Fading::kStateBytes;
    }
    freq_ = freq;
    latency_left_ = blob::get<uint64_t>(in + 24);
    ready_.assign(waiting, cf32{});
    if (waiting) std::memcpy(ready_.data(), in + 32, waiting * sizeof(cf32));
    ready_at_ = 0;
    return true;
}

}  // namespace qn::channel
