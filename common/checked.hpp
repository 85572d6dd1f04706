// Size arithmetic on untrusted counts (scene values, header fields, blob lengths):
// every product and sum that sizes a buffer goes through these, and an overflow is a failure.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>

namespace qn {

template <typename T>
[[nodiscard]] constexpr std::optional<T> checked_mul(T a, T b) {
    T r{};
    if (__builtin_mul_overflow(a, b, &r)) return std::nullopt;
    return r;
}

template <typename T>
[[nodiscard]] constexpr std::optional<T> checked_add(T a, T b) {
    T r{};
    if (__builtin_add_overflow(a, b, &r)) return std::nullopt;
    return r;
}

// Unsigned sum that stops at the largest value instead of wrapping.
template <typename T>
[[nodiscard]] constexpr T saturating_add(T a, T b) {
    T r{};
    if (__builtin_add_overflow(a, b, &r)) return std::numeric_limits<T>::max();
    return r;
}

// A double converted to an unsigned count: NaN and negatives give 0, values at or
// above the largest count give the largest count, fractions are truncated.
template <typename T>
[[nodiscard]] constexpr T saturating_count(double v) {
    if (!(v > 0.0)) return 0;
    constexpr double top = static_cast<double>(std::numeric_limits<T>::max());
    if (v >= top) return std::numeric_limits<T>::max();
    return static_cast<T>(v);
}

// A double converted to a signed integer field: NaN gives 0, out-of-range values clamp.
template <typename T>
[[nodiscard]] constexpr T clamped_int(double v) {
    if (std::isnan(v)) return 0;
    constexpr double lo = static_cast<double>(std::numeric_limits<T>::min());
    constexpr double hi = static_cast<double>(std::numeric_limits<T>::max());
    if (v <= lo) return std::numeric_limits<T>::min();
    if (v >= hi) return std::numeric_limits<T>::max();
    return static_cast<T>(v);
}

// A seed read from a number (scene "seed", render override "seed"): truncated toward zero
// to a 64-bit signed integer (NaN gives 0, out-of-range values clamp), of which the low
// 32 bits are kept, i.e. reduced modulo 2^32: -1 gives 4294967295, 2^32 + 1 gives 1.
[[nodiscard]] constexpr uint32_t seed_from_number(double v) {
    return static_cast<uint32_t>(static_cast<uint64_t>(clamped_int<int64_t>(v)));
}

// A double rounded to float; values beyond the float range become infinities, as in IEEE
// arithmetic, without an out-of-range conversion.
[[nodiscard]] constexpr float to_float(double v) {
    constexpr double top = static_cast<double>(std::numeric_limits<float>::max());
    if (v > top) return std::numeric_limits<float>::infinity();
    if (v < -top) return -std::numeric_limits<float>::infinity();
    return static_cast<float>(v);
}

}  // namespace qn
