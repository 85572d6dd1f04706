// Noise internals reachable from the tests: the radius in its plain form and the block
// kernels the generator uses, which must agree with it bit for bit.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qn {

// Single-precision natural logarithm of u = m * 2^-24 for 1 <= m <= 2^24, correctly rounded.
[[nodiscard]] float ln_u24(uint32_t m);

// Box-Muller radius: sqrt(-2 ln u) * amplitude in single precision.
[[nodiscard]] float noise_radius(uint32_t m, float amplitude);

// The vector kernels of the generator; every kernel gives the bits of noise_radius.
enum class ShapeKernel { sse2, avx2 };
// The widest kernel this CPU runs.
[[nodiscard]] ShapeKernel best_shape_kernel();
// out[k] = noise_radius(m[k], amplitude) for k < 4, computed by the given kernel.
void noise_radius4(ShapeKernel kernel, const uint32_t *m, float amplitude, float *out);

}  // namespace qn
