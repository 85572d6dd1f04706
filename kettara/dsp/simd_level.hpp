// Vector paths of the sample kernels. Every path performs, lane by lane, exactly the
// floating-point operations of the plain scalar code (no fused multiply-add, no
// reassociation), so the widest path the CPU offers changes the speed, never the bits.
#pragma once

namespace qn {

enum class SimdLevel { sse2, avx2 };

[[nodiscard]] inline SimdLevel best_simd_level() {
    static const SimdLevel best = __builtin_cpu_supports("avx2") ? SimdLevel::avx2 : SimdLevel::sse2;
    return best;
}

}  // namespace qn
