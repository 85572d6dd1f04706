// The shaping stage: turns a family's symbols into samples, held rectangular for nsps
// samples or through a root-raised-cosine filter (a polyphase interpolator when nsps is a
// power of two, zero-stuffing into an FIR otherwise). Other families leave `cur` held.
#pragma once

#include <cstddef>
#include <cstdint>

#include "synth_family.hpp"
#include "synth_parts.hpp"

namespace qn::synth {

struct Shaping {
    int32_t nsps = 1;
    int32_t sym_pos = 0;  // samples of the current symbol already played
    cf32 cur{0.0f, 0.0f};  // the symbol being held
    FirPtr fir;
    ResampPtr resamp;
    uint8_t primed = 0;   // the interpolator has run its discarded first symbol

    // Unit-energy taps scaled by sqrt(nsps); QN_ERR_INVALID with nothing changed on failure.
    int set_rrc(const float *taps, size_t n);
    // Readies a request: a position outside the symbol restarts it; primes the interpolator.
    void begin_request(Family &f, PnGen *pn);
    // m (<= kChunk) samples of the family's baseband.
    void run(Family &f, PnGen *pn, cf32 *out, size_t m);
    void rewind(cf32 rest);

private:
    [[nodiscard]] size_t symbol_starts(size_t m) const;
    void hold_or_stuff(Family &f, PnGen *pn, cf32 *out, size_t m);
    void interpolate(Family &f, PnGen *pn, cf32 *out, size_t m);
    void prime(Family &f, PnGen *pn);
};

}  // namespace qn::synth
