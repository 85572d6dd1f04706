// Noise internals reachable from the tests: the radius in its plain form and the block
// kernels the generator uses, which must agree with it bit for bit.
#pragma once

#include <cstddef>
#include <cstdint>

#include "awgn_core.h"
#include "simd_level.hpp"

namespace qn {

// Single-precision natural logarithm of u = m * 2^-24 for 1 <= m <= 2^24, correctly rounded.
[[nodiscard]] float ln_u24(uint32_t m);

// Box-Muller radius: sqrt(-2 ln u) * amplitude in single precision.
[[nodiscard]] float noise_radius(uint32_t m, float amplitude);

// out[k] = noise_radius(m[k], amplitude) for k < 4, computed by the generator's kernel for
// the given level.
void noise_radius4(SimdLevel level, const uint32_t *m, float amplitude, float *out);

// Noise laid onto a signal as it is generated: out[k] = noise[k] * gain + signal[k], in that
// float order, signal[k] standing beside out[k].
struct NoiseOnto {
    float gain;
    const cf32 *signal;
};

// Noise already in out[0 .. n) laid onto the signal: out[k] = out[k] * gain + signal[k].
void lay_noise_onto(const NoiseOnto &onto, cf32 *out, std::size_t n);

// The next n samples of g through the generator loop of the given level (awgn_generate
// takes the widest the CPU runs); laid onto a signal when onto is given.
void generate_noise(Awgn *g, SimdLevel level, cf32 *out, std::size_t n, const NoiseOnto *onto = nullptr);

}  // namespace qn
