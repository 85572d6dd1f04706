// The SplitMix64 finaliser: a bijective 64-bit mixer, shared by the noise seeding and the
// deterministic range draws.
#pragma once

#include <cstdint>

namespace qn {

inline constexpr uint64_t kSplitMixGamma = 0x9E3779B97F4A7C15ull;

[[nodiscard]] constexpr uint64_t splitmix_finish(uint64_t z) {
    z ^= z >> 30;
    z *= 0xBF58476D1CE4E5B9ull;
    z ^= z >> 27;
    z *= 0x94D049BB133111EBull;
    z ^= z >> 31;
    return z;
}

}  // namespace qn
