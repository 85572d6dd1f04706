// Transcendental functions built only from IEEE additions, multiplications and divisions,
// so that their results are the same bits on every x86-64 machine. The C library picks
// FMA variants of sin, cos and exp at run time on some CPUs, and those may differ in the
// last bit; waveform tables and filter designs must not.
#pragma once

namespace qn {

// Sine and cosine, within about one unit in the last place for |x| below 1.6e6
// (three-part Cody-Waite reduction); larger arguments lose accuracy but stay deterministic.
[[nodiscard]] double det_sin(double x);
[[nodiscard]] double det_cos(double x);
// Both at once from one reduction: the same bits as det_sin and det_cos.
void det_sincos(double x, double *sin_out, double *cos_out);

// e^x within about one unit in the last place; overflows to infinity, underflows to 0.
[[nodiscard]] double det_exp(double x);

// Single-precision e^x: the double result rounded once to float.
[[nodiscard]] inline float det_expf(float x) { return static_cast<float>(det_exp(x)); }

}  // namespace qn
