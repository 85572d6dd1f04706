// Oscillator internals shared with the noise generator.
#pragma once

#include <cstdint>

namespace qn {

// Fills lo_sin_lut exactly once per process; safe when first called on several threads.
void ensure_sin_table();

// Normalised frequency (cycles per sample) to a 32-bit phase increment, wrapping negative
// and above-one frequencies into [0, 1); NaN gives 0.
[[nodiscard]] uint32_t phase_increment(double norm_freq);

}  // namespace qn
