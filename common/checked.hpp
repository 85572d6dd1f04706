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

}  // namespace qn
