// Measurements the impairment tests take of their outputs, in double precision.
#pragma once

#include <cmath>
#include <complex>
#include <cstddef>
#include <vector>

#include "qn_api.h"

namespace measure {

using Complex = std::complex<double>;
constexpr double kPi = 3.141592653589793;

inline Complex of(cf32 v) { return {v.re, v.im}; }

// The correlation of x with a unit tone at f (cycles per sample), over [from, x.size()).
inline Complex tone(const std::vector<cf32> &x, double f, std::size_t from = 0) {
    Complex sum = 0.0;
    for (std::size_t n = from; n < x.size(); ++n) sum += of(x[n]) * std::polar(1.0, -2.0 * kPi * f * double(n));
    return sum / double(x.size() - from);
}

inline double db(double power) { return 10.0 * std::log10(power); }

// Samples of a unit tone at f.
inline std::vector<cf32> unit_tone(double f, std::size_t n, double amplitude = 1.0) {
    std::vector<cf32> x(n);
    for (std::size_t k = 0; k < n; ++k) {
        const Complex v = std::polar(amplitude, 2.0 * kPi * f * double(k));
        x[k] = cf32{float(v.real()), float(v.imag())};
    }
    return x;
}

// A random QPSK chip sequence of unit power (a PN probe).
inline std::vector<cf32> qpsk_chips(std::size_t n, unsigned seed) {
    std::vector<cf32> x(n);
    unsigned state = seed;
    const float a = float(std::sqrt(0.5));
    for (cf32 &v : x) {
        state = state * 1664525u + 1013904223u;
        v = cf32{(state >> 31) ? a : -a, ((state >> 30) & 1) ? a : -a};
    }
    return x;
}

}  // namespace measure
