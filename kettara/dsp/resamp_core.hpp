// Resampler internals reachable from the tests.
#pragma once

#include <cstddef>

#include "qn_api.h"
#include "resamp_core.h"
#include "simd_level.hpp"

namespace qn {

// sum over k < num_taps of taps[k] * x[k]: four partial sums over k mod 4 combined as
// (s0 + s2) + (s1 + s3), then the remaining taps in increasing k; by the kernel of the
// given level (the resampler takes the widest the CPU runs).
[[nodiscard]] cf32 polyphase_dot(SimdLevel level, const float *taps, const cf32 *x, std::size_t num_taps);

// The built-in bank: 4,096 phases x 19 taps of a Kaiser-windowed sinc.
inline constexpr std::size_t kBuiltinPhases = 4096;
inline constexpr std::size_t kBuiltinTaps = 19;
void builtin_bank(float *bank);

// Sets the variable-ratio mode's fractional phase (units of 2^-32 of an input), so that its
// outputs start a chosen fraction of a sample late.
void set_ctrl_phase(Resamp *r, uint32_t phase);

}  // namespace qn
