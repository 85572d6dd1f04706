// Constellation points of the symbol families.
#pragma once

#include <cstdint>

#include "qn_api.h"

namespace qn::synth {

// Gray-coded PSK for 1, 2 (offset by pi/4) and 3 bits per symbol: the point of the
// received label, exp(j 2 pi k / M) with k the index whose Gray code is the label.
cf32 gray_psk(int bits_per_symbol, uint32_t label);

}  // namespace qn::synth
