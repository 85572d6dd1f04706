#include "timing.hpp"

#include <cmath>

#include "resamp_core.hpp"
#include "state_blob.hpp"

namespace qn::channel {
namespace {

constexpr char kMagic[] = "TIMG";
// Output j of the resampler at fractional phase f, before any skip, stands at input time
// j q - 10.5 + f (a first output before the first input, and the built-in bank's centre of
// 9.5 taps); a leading zero input makes that j q - 11.5 + f.
constexpr double kFirstOutputLag = 10.5;
constexpr std::size_t kMaxOutputsPerInput = 4;

}  // namespace

std::unique_ptr<Timing> Timing::create(double clock_ppm, double offset) {
    std::unique_ptr<Timing> t(new Timing);
    t->resamp_.reset(resamp_create(1.0));
    if (!t->resamp_) return nullptr;
    const double q = 1.0 + clock_ppm * 1e-6;
    t->ctrl_ = 1.0 / q - 1.0;
    // The output that stands at time -offset is output skip, at phase f in [0, 1).
    double lag = kFirstOutputLag - offset;
    double skip = std::floor(lag / q);
    double f = lag - skip * q;
    if (f >= 1.0) {  // a fast clock: one input more ahead brings the phase below 1
        t->lead_zero_ = true;
        skip += 1.0;
        f = f + 1.0 - q;
    }
    t->skip_ = static_cast<uint64_t>(skip);
    const double phase = std::floor(f * 4294967296.0);
    t->start_phase_ = phase >= 4294967295.0 ? 0xFFFFFFFFu : static_cast<uint32_t>(phase);
    t->start();
    return t;
}

void Timing::start() {
    resamp_reset(resamp_.get());
    set_ctrl_phase(resamp_.get(), start_phase_);
    dropped_ = 0;
    if (lead_zero_) {
        std::vector<cf32> none;
        const cf32 zero{0.0f, 0.0f};
        push(&zero, 1, none);
    }
}

void Timing::push(const cf32 *in, std::size_t n, std::vector<cf32> &out) {
    cf32 made[kMaxOutputsPerInput];
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t m = resamp_execute_ctrl_push(resamp_.get(), made, kMaxOutputsPerInput, in[i], ctrl_);
        for (std::size_t k = 0; k < m; ++k) {
            if (dropped_ < skip_) ++dropped_;
            else out.push_back(made[k]);
        }
    }
}

void Timing::reset() { start(); }

std::size_t Timing::state_bytes() const { return blob::kHeaderBytes + 8 + resamp_state_bytes(resamp_.get()); }

void Timing::get_state(unsigned char *out) const {
    blob::write_header(out, kMagic, 1, static_cast<uint32_t>(state_bytes()));
    blob::put<uint64_t>(out + 16, dropped_);
    resamp_get_state(resamp_.get(), out + 24);
}

bool Timing::set_state(const unsigned char *in) {
    if (!blob::header_matches(in, kMagic, 1, state_bytes())) return false;
    if (resamp_set_state(resamp_.get(), in + 24) != QN_OK) return false;
    dropped_ = blob::get<uint64_t>(in + 16);
    return true;
}

}  // namespace qn::channel
