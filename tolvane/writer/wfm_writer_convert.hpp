// Conversion of cf32 components to a capture's wire type, with gain, peak and clipping.
// The scalar kernel is the reference; the vector kernel gives the same bytes, faster.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace tolvane::writer {

// Gain, peak and clipping of the components on their way to the wire.
struct Level {
    float gain;
    bool count_clips;  // integer wire types with clipping tracked
    float peak;        // largest |component| after the gain; a NaN never raises it
    uint64_t clipped;  // components beyond full scale

    float apply(float x) {
        const float v = x * gain;
        const float a = std::fabs(v);
        peak = a > peak ? a : peak;
        clipped += static_cast<uint64_t>(count_clips && a > 1.0f);
        return v;
    }
};

// Integer code at full scale S: S above 1.0, truncation of max(v, -1) x S in double
// otherwise (so -1 and below give -S, never the most negative code), 0 for a NaN.
template <typename Int>
Int integer_code(float v, double scale) {
    if (v > 1.0f) return static_cast<Int>(scale);
    if (v >= -1.0f) return static_cast<Int>(static_cast<double>(v) * scale);
    if (v < -1.0f) return static_cast<Int>(-scale);
    return 0;
}

// Offset-binary code of n bits for v (h = 2^(n-1) - 0.5 is both scale and offset): v h + h
// rounded to the nearest code, halves up, and clipped to 0 .. 2^n - 1; a NaN gives the code
// of 0.
template <typename Code>
Code offset_code(float v, double half) {
    const double top = 2.0 * half;
    if (!(v == v)) v = 0.0f;
    const double code = std::floor(static_cast<double>(v) * half + half + 0.5);
    return static_cast<Code>(code < 0.0 ? 0.0 : code > top ? top : code);
}

// Converts n components (interleaved re, im) of sample type stype into out, in host
// byte order, updating level.
void convert_components(int stype, const float *in, size_t n, Level &level, unsigned char *out);
void convert_components_scalar(int stype, const float *in, size_t n, Level &level, unsigned char *out);

// Reverses the bytes of each of n elements of elem_size bytes in place.
void reverse_elements(unsigned char *data, size_t n, size_t elem_size);

}  // namespace tolvane::writer
