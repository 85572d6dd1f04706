// Code paths of the sample kernels. Every vector path performs, lane by lane, exactly the
// floating-point operations of the kernel's scalar path (no fused multiply-add, no
// reassociation), so the path the CPU runs changes the speed, never the bits. The tests
// compare every path with the scalar one and the kernel benchmark times each of them, all
// from the list below.
#pragma once

#include <span>

// Marks a scalar path: built without the auto-vectoriser, so that it stays the plain code
// the vector paths are measured and checked against.
#if defined(__clang__)
#define QN_SCALAR_PATH
#else
#define QN_SCALAR_PATH [[gnu::optimize("no-tree-vectorize")]]
#endif

namespace qn {

enum class SimdLevel { scalar, sse2, avx2 };

[[nodiscard]] constexpr const char *simd_level_name(SimdLevel level) {
    switch (level) {
    case SimdLevel::scalar: return "scalar";
    case SimdLevel::sse2: return "sse2";
    case SimdLevel::avx2: return "avx2";
    }
    return "?";
}

// The paths this CPU runs, scalar first and the widest last (SSE2 is part of x86-64).
[[nodiscard]] inline std::span<const SimdLevel> simd_levels_here() {
    static constexpr SimdLevel kAll[] = {SimdLevel::scalar, SimdLevel::sse2, SimdLevel::avx2};
    static const std::size_t count = __builtin_cpu_supports("avx2") ? 3 : 2;
    return {kAll, count};
}

// The path the kernels take by default: the widest this CPU runs.
[[nodiscard]] inline SimdLevel best_simd_level() { return simd_levels_here().back(); }

}  // namespace qn
