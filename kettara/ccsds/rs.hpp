// The CCSDS Reed-Solomon layer's shared limits.
#pragma once

#include <cstdint>

namespace kettara {

// Interleaving depths of the CCSDS outer code: 1 to 5 and 8.
constexpr bool rs_depth_valid(uint32_t depth) { return (depth >= 1 && depth <= 5) || depth == 8; }

}  // namespace kettara
