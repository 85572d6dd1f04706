// The emitter's sample clock and path delay, through the library's polyphase resampler in
// its variable-ratio mode: output k is the input at time k q - d, q = 1 + clock_ppm 1e-6 (a
// fast clock packs more of the emitter's samples into each received one) and d the
// fractional timing offset. The resampler's own group delay is absorbed by dropping its
// first outputs and starting it at the matching fractional phase.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "qn_api.h"
#include "resamp_core.h"

namespace qn::channel {

class Timing {
public:
    // Null when the resampler cannot be created.
    static std::unique_ptr<Timing> create(double clock_ppm, double offset);

    // Pushes n inputs and appends the outputs they complete to out.
    void push(const cf32 *in, std::size_t n, std::vector<cf32> &out);
    void reset();

    std::size_t state_bytes() const;
    void get_state(unsigned char *out) const;
    bool set_state(const unsigned char *in);

private:
    struct ResampFree {
        void operator()(Resamp *r) const { resamp_destroy(r); }
    };
    Timing() = default;
    void start();

    std::unique_ptr<Resamp, ResampFree> resamp_;
    double ctrl_ = 0.0;
    uint32_t start_phase_ = 0;
    bool lead_zero_ = false;
    uint64_t skip_ = 0;     // outputs to drop at the start
    uint64_t dropped_ = 0;  // of those, already dropped
};

}  // namespace qn::channel
