// FIR internals reachable from the tests.
#pragma once

#include <cstddef>

#include "qn_api.h"
#include "simd_level.hpp"

namespace qn {

// out[i] = sum over k of taps[k] * work[i + num_taps - 1 - k], summed from 0 in increasing
// k, for i < n, by the kernel of the given level.
void fir_real_taps(SimdLevel level, const float *taps, std::size_t num_taps, const cf32 *work, cf32 *out,
                   std::size_t n);

}  // namespace qn
