#include <array>
#include <cstring>

#include "awgn_kernels.hpp"

namespace qn {
namespace {

// Large requests run as eight lanes: a tile of 8 L samples is cut into eight runs of L, and
// lane j starts at the stream's state 2 j L steps ahead (exact jump-ahead), so each lane
// draws exactly the words the one serial generator would have drawn for its run. The lanes'
// integer chains run side by side in vectors; the samples are then shaped in separate passes
// over a small block, and lane 7 ends where the serial generator would end.
// (Only ever used inside inlined kernels, so the vector ABI note of GCC does not apply.)
#pragma GCC diagnostic ignored "-Wpsabi"
using U64x4 = uint64_t __attribute__((vector_size(32)));

// Lane lengths with precomputed jumps: the largest that fits is taken, so the jump costs
// (256 steps of the serial generator) stay small beside the tile.
constexpr std::size_t kLaneLengths[] = {256, 512, 1024, 2048, 4096, 8192};
constexpr std::size_t kLanes = 8;
static_assert(kMinLanedSamples == kLanes * kLaneLengths[0]);
// Samples per lane shaped at a time: the drawn words and radii of one block, and the angle
// table's lines its samples read, stay in L1.
constexpr std::size_t kLaneBlock = 32;

struct LaneJumps {
    std::size_t lane_samples;
    // Word w of x^(2 j L) mod P for lane j, its bits reversed: shifting left brings the
    // coefficients of x^0, x^1, ... of that word to the sign bit in turn.
    alignas(32) uint64_t reversed[4][kLanes];
};

uint64_t reverse_bits(uint64_t v) {
    uint64_t r = 0;
    for (int i = 0; i < 64; ++i, v >>= 1) r = (r << 1) | (v & 1);
    return r;
}

const std::array<LaneJumps, std::size(kLaneLengths)> &lane_jumps() {
    static const auto table = [] {
        std::array<LaneJumps, std::size(kLaneLengths)> t{};
        for (std::size_t i = 0; i < t.size(); ++i) {
            t[i].lane_samples = kLaneLengths[i];
            for (std::size_t j = 0; j < kLanes; ++j) {
                const Gf2Poly q = xoshiro_jump_polynomial(2 * j * kLaneLengths[i]);
                for (int w = 0; w < 4; ++w) t[i].reversed[w][j] = reverse_bits(q[w]);
            }
        }
        return t;
    }();
    return table;
}

// Eight xoshiro states, word-major: lanes 0-3 in group 0, lanes 4-7 in group 1.
struct LaneStates {
    U64x4 s[2][4];
};

[[gnu::always_inline]] inline U64x4 broadcast(uint64_t v) { return U64x4{} + v; }

[[gnu::always_inline]] inline U64x4 load4(const uint64_t *p) {
    U64x4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Lane j = q_j(A) s: one walk of 256 serial steps, adding each state into the lanes whose
// polynomial has that coefficient set.
[[gnu::always_inline]] inline void start_lanes(const Xoshiro &x, const LaneJumps &jumps, LaneStates &lanes) {
    uint64_t s0 = x.s0, s1 = x.s1, s2 = x.s2, s3 = x.s3;
    U64x4 a0{}, a1{}, a2{}, a3{}, b0{}, b1{}, b2{}, b3{};
    for (int word = 0; word < 4; ++word) {
        U64x4 qa = load4(&jumps.reversed[word][0]), qb = load4(&jumps.reversed[word][4]);
        for (int bit = 0; bit < 64; ++bit) {
            const U64x4 ma = -(qa >> 63), mb = -(qb >> 63);
            qa += qa;
            qb += qb;
            const U64x4 v0 = broadcast(s0), v1 = broadcast(s1), v2 = broadcast(s2), v3 = broadcast(s3);
            a0 ^= v0 & ma;
            a1 ^= v1 & ma;
            a2 ^= v2 & ma;
            a3 ^= v3 & ma;
            b0 ^= v0 & mb;
            b1 ^= v1 & mb;
            b2 ^= v2 & mb;
            b3 ^= v3 & mb;
            xoshiro_advance(s0, s1, s2, s3);
        }
    }
    lanes = LaneStates{{{a0, a1, a2, a3}, {b0, b1, b2, b3}}};
}

[[gnu::always_inline]] inline U64x4 rotl(U64x4 v, int k) { return (v << k) | (v >> (64 - k)); }

[[gnu::always_inline]] inline U64x4 lane_next(U64x4 &s0, U64x4 &s1, U64x4 &s2, U64x4 &s3) {
    const U64x4 r = rotl(s0 + s3, 23) + s0;
    xoshiro_advance(s0, s1, s2, s3);
    return r;
}

// One block of the lanes' samples: lane j's sample t has its radius word (the first of its
// two steps) at radius_words[t * 8 + j] and its angle word at angle_words[t * 8 + j]. The chain
// stores them whole and spends nothing on unpacking; the shaping passes take the bits they
// need, the radius in two passes (arguments and table rows, then the logarithms).
struct LaneBlock {
    alignas(32) uint64_t radius_words[kLaneBlock * kLanes];
    alignas(32) uint64_t angle_words[kLaneBlock * kLanes];
    alignas(32) uint32_t radius_arguments[kLaneBlock * kLanes];
    alignas(32) uint32_t log_row_offsets[kLaneBlock * kLanes];
    alignas(32) float rho[kLaneBlock * kLanes];
};

[[gnu::always_inline]] inline void store4(uint64_t *p, const U64x4 &v) { std::memcpy(p, &v, sizeof v); }

// Both groups' chains interleave.
[[gnu::always_inline]] inline void draw_lanes(LaneStates &lanes, LaneBlock &block) {
    U64x4 a0 = lanes.s[0][0], a1 = lanes.s[0][1], a2 = lanes.s[0][2], a3 = lanes.s[0][3];
    U64x4 b0 = lanes.s[1][0], b1 = lanes.s[1][1], b2 = lanes.s[1][2], b3 = lanes.s[1][3];
    for (std::size_t k = 0; k < kLaneBlock * kLanes; k += kLanes) {
        store4(block.radius_words + k, lane_next(a0, a1, a2, a3));
        store4(block.radius_words + k + 4, lane_next(b0, b1, b2, b3));
        store4(block.angle_words + k, lane_next(a0, a1, a2, a3));
        store4(block.angle_words + k + 4, lane_next(b0, b1, b2, b3));
    }
    lanes = LaneStates{{{a0, a1, a2, a3}, {b0, b1, b2, b3}}};
}

// The radius arguments (w >> 40) + 1, 1 ... 2^24, of four words: from their high halves.
[[gnu::always_inline]] inline __m128i radius_arguments4(const uint64_t *words) {
    const __m128 lo = _mm_loadu_ps(reinterpret_cast<const float *>(words));
    const __m128 hi = _mm_loadu_ps(reinterpret_cast<const float *>(words + 2));
    const __m128i high_halves = _mm_castps_si128(_mm_shuffle_ps(lo, hi, _MM_SHUFFLE(3, 1, 3, 1)));
    return _mm_add_epi32(_mm_srli_epi32(high_halves, 8), _mm_set1_epi32(1));
}

// The same for eight words (the in-lane shuffle leaves them in the order 0 1 4 5 2 3 6 7,
// the permute restores it).
[[gnu::target("avx2")]] inline __m256i radius_arguments8(const uint64_t *words) {
    const __m256 lo = _mm256_loadu_ps(reinterpret_cast<const float *>(words));
    const __m256 hi = _mm256_loadu_ps(reinterpret_cast<const float *>(words + 4));
    const __m256i high_halves = _mm256_castps_si256(_mm256_shuffle_ps(lo, hi, _MM_SHUFFLE(3, 1, 3, 1)));
    const __m256i in_order = _mm256_permute4x64_epi64(high_halves, _MM_SHUFFLE(3, 1, 2, 0));
    return _mm256_add_epi32(_mm256_srli_epi32(in_order, 8), _mm256_set1_epi32(1));
}

[[gnu::always_inline]] inline uint32_t angle_of(uint64_t angle_word) { return static_cast<uint32_t>(angle_word >> 48); }

// The angle table is too large for L1: asking for a sample's (cos, sin) pair while its radius
// is computed lets the output pass find it there. Spread among the logarithms the requests
// cost little; issued all at once, or from the chain, they stall it.
[[gnu::always_inline]] inline void prefetch_angles(const CosSin *table, const uint64_t *angle_words, std::size_t count) {
    for (std::size_t j = 0; j < count; ++j)
        _mm_prefetch(reinterpret_cast<const char *>(&table[angle_of(angle_words[j])]), _MM_HINT_T0);
}

// The radius arguments and logarithm row offsets of the block's samples k ... k + 3 (k + 7).
[[gnu::always_inline]] inline void log_arguments4(LaneBlock &block, std::size_t k) {
    const __m128i m = radius_arguments4(block.radius_words + k);
    _mm_store_si128(reinterpret_cast<__m128i *>(block.radius_arguments + k), m);
    _mm_store_si128(reinterpret_cast<__m128i *>(block.log_row_offsets + k), log_row_offsets4(m));
}

[[gnu::target("avx2")]] inline void log_arguments8(LaneBlock &block, std::size_t k) {
    const __m256i m = radius_arguments8(block.radius_words + k);
    _mm256_store_si256(reinterpret_cast<__m256i *>(block.radius_arguments + k), m);
    _mm256_store_si256(reinterpret_cast<__m256i *>(block.log_row_offsets + k), log_row_offsets8(m));
}

// The radii of the block's samples k ... k + 3 (k + 7).
[[gnu::always_inline]] inline void radii4(LaneBlock &block, std::size_t k, const LogRow *table, float amplitude) {
    const __m128i m = _mm_load_si128(reinterpret_cast<const __m128i *>(block.radius_arguments + k));
    _mm_store_ps(block.rho + k, radius4(ln4_sse2(table, m, block.log_row_offsets + k), _mm_set1_ps(amplitude)));
}

[[gnu::target("avx2")]] inline void radii8(LaneBlock &block, std::size_t k, const LogRow *table, float amplitude) {
    const __m256i m = _mm256_load_si256(reinterpret_cast<const __m256i *>(block.radius_arguments + k));
    const __m128 ln_lo = ln4_avx2(table, _mm256_castsi256_si128(m), block.log_row_offsets + k);
    const __m128 ln_hi = ln4_avx2(table, _mm256_extracti128_si256(m, 1), block.log_row_offsets + k + 4);
    _mm256_store_ps(block.rho + k, radius8(ln_lo, ln_hi, _mm256_set1_ps(amplitude)));
}

template <SimdLevel level>
[[gnu::always_inline]] inline void lane_radii(LaneBlock &block, float amplitude) {
    constexpr std::size_t width = level == SimdLevel::avx2 ? 8 : 4;
    for (std::size_t k = 0; k < kLaneBlock * kLanes; k += width) {
        if constexpr (level == SimdLevel::avx2) log_arguments8(block, k);
        else log_arguments4(block, k);
    }
    const LogRow *table = log_rows();
    const CosSin *angles = angle_table();
    for (std::size_t k = 0; k < kLaneBlock * kLanes; k += width) {
        prefetch_angles(angles, block.angle_words + k, width);
        if constexpr (level == SimdLevel::avx2) radii8(block, k, table, amplitude);
        else radii4(block, k, table, amplitude);
    }
}

// Lane j's samples of the block go to out[j * lane_samples + t], two lanes by two samples at a
// time: a sample's (cos, sin) pair is one 64-bit read, each lane's two samples one 16-byte
// write, and the products one multiply by the radii duplicated (a float product has the same
// bits at any vector width).
[[gnu::always_inline]] inline __m128 angle_pairs(const CosSin *table, uint64_t first, uint64_t second) {
    const __m128 lo = _mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<const __m64 *>(&table[angle_of(first)]));
    return _mm_loadh_pi(lo, reinterpret_cast<const __m64 *>(&table[angle_of(second)]));
}

// Fetches the line of a lane's run that the output pass reaches two blocks later: eight lanes
// write (and, laid onto a signal, read) too many streams for the hardware prefetcher, and
// unfetched, the stores and the signal's loads wait on memory; one block ahead is too close
// for lines that come from memory. (A prefetch beyond the end of an array is harmless.)
[[gnu::always_inline]] inline void fetch_ahead(const cf32 *run, std::size_t t) {
    _mm_prefetch(reinterpret_cast<const char *>(run + 2 * kLaneBlock + (t & ~std::size_t{7})), _MM_HINT_T0);
}

// Lane j's samples of the block go to out[j * lane_samples + t]; laid onto the signal, they
// are noise * gain + signal, the signal standing at the same places as out.
template <bool onto>
[[gnu::always_inline]] inline void lane_samples_out(const LaneBlock &block, cf32 *out, std::size_t lane_samples,
                                                    const cf32 *signal, float gain) {
    const CosSin *table = angle_table();
    const __m128 g = _mm_set1_ps(gain);
    auto put = [&](cf32 *dst, const cf32 *beside, __m128 noise) {
        if constexpr (onto) noise = _mm_add_ps(_mm_mul_ps(noise, g), _mm_loadu_ps(&beside->re));
        _mm_storeu_ps(&dst->re, noise);
    };
    for (std::size_t j = 0; j < kLanes; j += 2) {
        const std::size_t run = j * lane_samples;
        cf32 *even = out + run, *odd = even + lane_samples;
        const cf32 *signal_even = onto ? signal + run : even, *signal_odd = signal_even + lane_samples;
        for (std::size_t t = 0; t < kLaneBlock; t += 2) {
            const std::size_t k = t * kLanes + j, next = k + kLanes;
            const __m128 rho_t = _mm_castpd_ps(_mm_load_sd(reinterpret_cast<const double *>(block.rho + k)));
            const __m128 rho_next = _mm_castpd_ps(_mm_load_sd(reinterpret_cast<const double *>(block.rho + next)));
            const __m128 rho = _mm_unpacklo_ps(rho_t, rho_next);  // even lane's two, then odd lane's two
            const __m128 cs_even = angle_pairs(table, block.angle_words[k], block.angle_words[next]);
            const __m128 cs_odd = angle_pairs(table, block.angle_words[k + 1], block.angle_words[next + 1]);
            switch (t % 8) {  // a line of each of the four runs every 8 samples
            case 0: fetch_ahead(even, t); break;
            case 2: fetch_ahead(odd, t); break;
            case 4: if constexpr (onto) fetch_ahead(signal_even, t); break;
            case 6: if constexpr (onto) fetch_ahead(signal_odd, t); break;
            }
            put(even + t, signal_even + t, _mm_mul_ps(_mm_unpacklo_ps(rho, rho), cs_even));
            put(odd + t, signal_odd + t, _mm_mul_ps(_mm_unpackhi_ps(rho, rho), cs_odd));
        }
    }
}

// A tile into out; laid onto signal[0 ..) when given, block by block, so that the signal
// streams in while the samples are shaped.
template <SimdLevel level, bool onto>
[[gnu::always_inline]] inline void generate_tile(Xoshiro &x, const LaneJumps &jumps, float amplitude, cf32 *out,
                                                 const cf32 *signal, float gain) {
    LaneBlock block;
    LaneStates lanes;
    start_lanes(x, jumps, lanes);
    for (std::size_t at = 0; at < jumps.lane_samples; at += kLaneBlock) {
        draw_lanes(lanes, block);
        lane_radii<level>(block, amplitude);
        lane_samples_out<onto>(block, out + at, jumps.lane_samples, onto ? signal + at : nullptr, gain);
    }
    x = Xoshiro{lanes.s[1][0][3], lanes.s[1][1][3], lanes.s[1][2][3], lanes.s[1][3][3]};  // lane 7's end
}

// Whole tiles, largest lane length first; returns the samples written (a multiple of 8 x 256).
template <SimdLevel level>
[[gnu::always_inline]] inline std::size_t generate_laned(Xoshiro &x, float amplitude, cf32 *out, std::size_t n,
                                                         const NoiseOnto *onto) {
    const auto &jumps = lane_jumps();
    std::size_t done = 0;
    for (std::size_t i = jumps.size(); i-- > 0;) {
        const std::size_t tile = kLanes * jumps[i].lane_samples;
        for (; n - done >= tile; done += tile) {
            if (onto) generate_tile<level, true>(x, jumps[i], amplitude, out + done, onto->signal + done, onto->gain);
            else generate_tile<level, false>(x, jumps[i], amplitude, out + done, nullptr, 0.0f);
        }
    }
    return done;
}

}  // namespace

std::size_t generate_laned_sse2(Xoshiro &x, float amplitude, cf32 *out, std::size_t n, const NoiseOnto *onto) {
    return generate_laned<SimdLevel::sse2>(x, amplitude, out, n, onto);
}

[[gnu::target("avx2"), gnu::flatten]] std::size_t generate_laned_avx2(Xoshiro &x, float amplitude, cf32 *out,
                                                                      std::size_t n, const NoiseOnto *onto) {
    return generate_laned<SimdLevel::avx2>(x, amplitude, out, n, onto);
}

}  // namespace qn
