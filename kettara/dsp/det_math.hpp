// Transcendental functions built only from IEEE additions, multiplications and divisions,
// so that their results are the same bits on every x86-64 machine. The C library picks
// FMA variants of sin, cos and exp at run time on some CPUs, and those may differ in the
// last bit; waveform tables and filter designs must not.
#pragma once

#include <cstddef>

#include "qn_api.h"
#include "simd_level.hpp"

namespace qn {

// Sine and cosine, within about one unit in the last place for |x| below 1.6e6
// (three-part Cody-Waite reduction); larger arguments lose accuracy but stay deterministic.
[[nodiscard]] double det_sin(double x);
[[nodiscard]] double det_cos(double x);
// Both at once from one reduction: the same bits as det_sin and det_cos.
void det_sincos(double x, double *sin_out, double *cos_out);

// Unit phasors (cos a, sin a) in single precision for n float angles. Angles in [-8, 8]
// take one reduction by pi/2 and short double-precision series, without branches, several
// angles at a time on the vector paths; their error lies far below a float's last place
// (the results are det_cos and det_sin rounded to float except near rare halfway points).
// Other angles, and NaN, go through det_sincos. The first form takes the widest path the
// CPU runs.
void det_phasors(const float *angle, cf32 *out, std::size_t n);
void det_phasors(SimdLevel level, const float *angle, cf32 *out, std::size_t n);

// e^x within about one unit in the last place; overflows to infinity, underflows to 0.
[[nodiscard]] double det_exp(double x);

// ln(2^e f) for f in [sqrt(1/2), sqrt(2)] by 2 atanh((f - 1) / (f + 1)), within 2^-57 relative.
[[nodiscard]] double det_log_reduced(double f, double e);
// ln x within about one unit in the last place: -inf at 0, NaN below 0 and for NaN.
[[nodiscard]] double det_log(double x);

// Single-precision e^x: the double result rounded once to float.
[[nodiscard]] inline float det_expf(float x) { return static_cast<float>(det_exp(x)); }

}  // namespace qn
