// The noise generator's state and its serial stream: the handle behind the C interface, the
// xoshiro256++ steps it takes and the two words each sample draws.
#pragma once

#include <bit>
#include <cstdint>

#include "xoshiro_jump.hpp"

struct Awgn {
    uint64_t s[4];         // xoshiro256++ state
    uint64_t seed;         // for awgn_reset
    float amplitude;       // standard deviation of each of re and im
    uint64_t lanes[4][8];  // auxiliary lane states, word-major: lanes[word][lane]
};

namespace qn {

// The stream's state and the auxiliary lane words, both from g->seed through SplitMix64.
void seed_generator(Awgn *g);

struct Xoshiro {
    uint64_t s0, s1, s2, s3;

    uint64_t next() {
        const uint64_t r = std::rotl(s0 + s3, 23) + s0;
        xoshiro_advance(s0, s1, s2, s3);
        return r;
    }
};

// Two generator steps per sample: the radius from the top 24 bits of the first (u in (0, 1],
// so the logarithm is finite), the angle from the top 16 bits of the second.
[[gnu::always_inline]] inline void draw(Xoshiro &x, uint32_t &m, uint32_t &angle) {
    m = static_cast<uint32_t>((x.next() >> 40) + 1);
    angle = static_cast<uint32_t>(x.next() >> 48);
}

}  // namespace qn
