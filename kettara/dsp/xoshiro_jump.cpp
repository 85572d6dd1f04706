#include "xoshiro_jump.hpp"

#include <vector>

namespace qn {
namespace {

constexpr int kDegree = 256;

bool coefficient(const Gf2Poly &p, int i) { return (p[i / 64] >> (i % 64)) & 1; }

// P is the minimal polynomial of one state bit's sequence (Berlekamp-Massey over 2 x 256 of
// its values); the transition's period is 2^256 - 1, so that is the characteristic polynomial.
Gf2Poly derive_characteristic() {
    uint64_t s0 = 1, s1 = 2, s2 = 3, s3 = 4;
    std::vector<uint8_t> bits(2 * kDegree);
    for (uint8_t &b : bits) {
        b = s0 & 1;
        xoshiro_advance(s0, s1, s2, s3);
    }
    // Connection polynomial C (C[0] = 1) with bits[n] = sum of C[i] bits[n - i], i = 1 ... len.
    std::vector<uint8_t> c(bits.size() + 1), b(bits.size() + 1), t;
    c[0] = b[0] = 1;
    int len = 0, shift = 1;
    for (int n = 0; n < static_cast<int>(bits.size()); ++n) {
        uint8_t d = bits[n];
        for (int i = 1; i <= len; ++i) d ^= c[i] & bits[n - i];
        if (!d) {
            ++shift;
            continue;
        }
        t = c;
        for (int i = 0; i + shift < static_cast<int>(c.size()); ++i) c[i + shift] ^= b[i];
        if (2 * len <= n) {
            len = n + 1 - len;
            b = t;
            shift = 1;
        } else {
            ++shift;
        }
    }
    // P(x) = x^len C(1/x): the coefficient of x^k is C[len - k].
    Gf2Poly p{};
    for (int k = 0; k < kDegree && len == kDegree; ++k)
        if (c[kDegree - k]) p[k / 64] |= uint64_t{1} << (k % 64);
    return p;
}

Gf2Poly times_x(Gf2Poly a) {
    const bool overflow = a[3] >> 63;
    for (int w = 3; w > 0; --w) a[w] = (a[w] << 1) | (a[w - 1] >> 63);
    a[0] <<= 1;
    if (overflow)
        for (int w = 0; w < 4; ++w) a[w] ^= xoshiro_characteristic()[w];
    return a;
}

Gf2Poly multiply(const Gf2Poly &a, const Gf2Poly &b) {
    Gf2Poly r{};
    for (int i = kDegree - 1; i >= 0; --i) {
        r = times_x(r);
        if (coefficient(b, i))
            for (int w = 0; w < 4; ++w) r[w] ^= a[w];
    }
    return r;
}

}  // namespace

const Gf2Poly &xoshiro_characteristic() {
    static const Gf2Poly p = derive_characteristic();
    return p;
}

Gf2Poly xoshiro_jump_polynomial(uint64_t d) {
    Gf2Poly result{1, 0, 0, 0};
    Gf2Poly power{2, 0, 0, 0};  // x^(2^k)
    for (; d; d >>= 1) {
        if (d & 1) result = multiply(result, power);
        power = multiply(power, power);
    }
    return result;
}

XoshiroState xoshiro_apply(const Gf2Poly &q, XoshiroState s) {
    XoshiroState acc{};
    for (int i = 0; i < kDegree; ++i) {
        if (coefficient(q, i))
            for (int w = 0; w < 4; ++w) acc[w] ^= s[w];
        xoshiro_advance(s[0], s[1], s[2], s[3]);
    }
    return acc;
}

}  // namespace qn
