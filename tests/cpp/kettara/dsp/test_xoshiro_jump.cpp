#include <gtest/gtest.h>

#include "xoshiro_jump.hpp"

namespace {

qn::XoshiroState stepped(qn::XoshiroState s, uint64_t steps) {
    for (uint64_t k = 0; k < steps; ++k) qn::xoshiro_advance(s[0], s[1], s[2], s[3]);
    return s;
}

// The jump polynomial moves a state exactly as far as stepping does, for distances below,
// at and beyond the degree of the characteristic polynomial.
TEST(XoshiroJump, JumpsEqualSteppingAndThePolynomialAnnihilates) {
    const qn::Gf2Poly &p = qn::xoshiro_characteristic();
    EXPECT_NE(p, qn::Gf2Poly{});
    const qn::XoshiroState starts[] = {{1, 2, 3, 4}, {0xE220A8397B1DCDAFull, 0x6E789E6AA1B965F4ull,
                                                      0x06C45D188009454Full, 0xF88BB8A8724C81ECull}};
    for (const auto &s : starts) {
        for (uint64_t d : {0ull, 1ull, 2ull, 255ull, 256ull, 257ull, 4096ull, 16387ull, 131072ull})
            EXPECT_EQ(qn::xoshiro_apply(qn::xoshiro_jump_polynomial(d), s), stepped(s, d)) << d;
        // P(A) s = A^256 s + (P less its leading term)(A) s = 0.
        qn::XoshiroState sum = stepped(s, 256);
        const qn::XoshiroState rest = qn::xoshiro_apply(p, s);
        for (int w = 0; w < 4; ++w) sum[w] ^= rest[w];
        EXPECT_EQ(sum, qn::XoshiroState{});
    }
}

}  // namespace
