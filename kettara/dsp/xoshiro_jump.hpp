// Exact jump-ahead for xoshiro256: its state transition A is linear over GF(2), so the state
// after d steps is q(A) s with q = x^d mod P, P the characteristic polynomial of A. The noise
// generator uses it to start independent lanes at known points of one stream.
#pragma once

#include <array>
#include <cstdint>

namespace qn {

using XoshiroState = std::array<uint64_t, 4>;

// A polynomial over GF(2) of degree below 256: bit i of word i / 64 is the coefficient of x^i.
using Gf2Poly = std::array<uint64_t, 4>;

// One xoshiro256 state transition (the output is not needed to move the state), on one
// 64-bit word per state word or on a vector of lanes.
template <typename Word>
[[gnu::always_inline]] inline void xoshiro_advance(Word &s0, Word &s1, Word &s2, Word &s3) {
    const Word t = s1 << 17;
    s2 ^= s0;
    s3 ^= s1;
    s1 ^= s2;
    s0 ^= s3;
    s2 ^= t;
    s3 = (s3 << 45) | (s3 >> 19);
}

// The characteristic polynomial of A without its leading x^256 term; derived once per process.
[[nodiscard]] const Gf2Poly &xoshiro_characteristic();

// x^d mod P: applied to a state, it advances the state by d steps.
[[nodiscard]] Gf2Poly xoshiro_jump_polynomial(uint64_t d);

// q(A) s.
[[nodiscard]] XoshiroState xoshiro_apply(const Gf2Poly &q, XoshiroState s);

}  // namespace qn
