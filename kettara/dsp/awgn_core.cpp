#include "awgn_core.h"

#include <immintrin.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <cmath>
#include <new>

#include "awgn_core.hpp"
#include "det_math.hpp"
#include "lo_core.h"
#include "lo_core.hpp"
#include "simd_level.hpp"
#include "splitmix.hpp"
#include "state_blob.hpp"
#include "xoshiro_jump.hpp"

struct Awgn {
    uint64_t s[4];         // xoshiro256++ state
    uint64_t seed;         // for awgn_reset
    float amplitude;       // standard deviation of each of re and im
    uint64_t lanes[4][8];  // auxiliary lane states, word-major: lanes[word][lane]
};

namespace qn {
namespace {

constexpr std::size_t kStateBytes = 304;
constexpr char kMagic[] = "AWGN";

// The angle table: entry i holds (cos, sin) of i / 65536 of a turn as lo_sin_lut gives them
// (the cosine read a quarter turn ahead), so a sample makes one table read, not two. Filled
// once, on the first creation of a generator (a function-local static: safe from several
// threads), then only read.
struct CosSin {
    float c, s;
};
constexpr uint32_t kQuarterTurn = 16384;

const CosSin *angle_table() {
    static const CosSin *const table = [] {
        ensure_sin_table();
        auto *t = new CosSin[65536];
        for (uint32_t i = 0; i < 65536; ++i) t[i] = {lo_sin_lut[(i + kQuarterTurn) & 65535], lo_sin_lut[i]};
        return t;
    }();
    return table;
}

void seed_generator(Awgn *g) {
    for (uint64_t i = 0; i < 4; ++i) g->s[i] = splitmix_finish(g->seed + (i + 1) * kSplitMixGamma);
    for (uint64_t i = 0; i < 4; ++i)
        for (uint64_t j = 0; j < 8; ++j) g->lanes[i][j] = splitmix_finish(g->seed + (i + j + 1) * kSplitMixGamma);
}

struct Xoshiro {
    uint64_t s0, s1, s2, s3;

    uint64_t next() {
        const uint64_t r = std::rotl(s0 + s3, 23) + s0;
        xoshiro_advance(s0, s1, s2, s3);
        return r;
    }
};

// The logarithm of u = m 2^-24 in double precision, rounded once to float. m = 2^(e + 24) f
// with f in [1, 2) from the float bits of m (exact); f is rounded to the nearest 1 + i / 128,
// and with c_i, 1 / (1 + i / 128) rounded to 10 bits (so f c_i - 1 = r is exact, |r| < 2^-7.8),
// ln u = e ln 2 - ln c_i + ln(1 + r), the last by its series to r^5. At i = 128, c is 1/2 and
// its logarithm joins the exponent, so near u = 1 nothing cancels. A test over all 2^24
// arguments proves the result equal to the correctly rounded logarithm used before.
//
// One table row per exponent and i, found from the float bits of m rounded at the seventh
// mantissa bit: a rounding up to i = 128 carries into the exponent and lands on the next
// exponent's i = 0, whose row is the same. A row holds c_i 2^-(e + 24), so that m times it is
// f c_i exactly without taking f apart, and e ln 2 - ln c_i (in the two parts of ln 2: the
// high part times e is exact), so a sample adds only ln(1 + r).
constexpr double kLn2Hi = 0x1.62e42fee00000p-1;  // exact times any exponent below 2^21
constexpr double kLn2Lo = 0x1.a39ef35793c76p-33;
constexpr uint32_t kLogSteps = 128;
constexpr int32_t kLowestExponent = -24;                         // e of m in [1, 2)
constexpr uint32_t kLogRows = -kLowestExponent * kLogSteps + 1;  // up to m = 2^24 (e = 0, i = 0)
constexpr uint32_t kLogRowBits = 0x3F800000u - (1u << 15);       // float bits of 1, less half a step

struct LogRow {
    double scaled_c;   // c_i 2^-(e + 24)
    double ln_offset;  // e ln 2 - ln c_i
};

// ln(2^e f) for f in [sqrt(1/2), sqrt(2)] by 2 atanh((f - 1) / (f + 1)), within 2^-57
// relative: used only to fill the table.
double ln_by_atanh(double f, double e) {
    constexpr double c[] = {0.3333333333333335,  0.19999999999949095, 0.14285714313285103, 0.11111105518908294,
                            0.09091448091741543, 0.07665743617932867, 0.07309671726756307};
    const double s = (f - 1.0) / (f + 1.0);
    const double z = s * s;
    const double z2 = z * z;
    const double z4 = z2 * z2;
    const double q = ((c[0] + z * c[1]) + z2 * (c[2] + z * c[3])) + z4 * ((c[4] + z * c[5]) + z2 * c[6]);
    const double two_s = s + s;
    return e * kLn2Hi + (two_s + (two_s * z * q + e * kLn2Lo));
}

// c_i, 1 / (1 + i / 128) in 10 significant bits, and -ln c_i.
std::pair<double, double> log_step(uint32_t i) {
    if (i == 0) return {1.0, 0.0};
    const double exact = 1.0 / (1.0 + i / static_cast<double>(kLogSteps));
    const double c =
        std::bit_cast<double>((std::bit_cast<uint64_t>(exact) + (uint64_t{1} << 42)) & ~((uint64_t{1} << 43) - 1));
    const bool low = c < 0.7071067811865476;
    return {c, -ln_by_atanh(low ? 2.0 * c : c, low ? -1.0 : 0.0)};
}

const LogRow *log_rows() {
    static const std::array<LogRow, kLogRows> table = [] {
        std::array<LogRow, kLogRows> t{};
        for (uint32_t row = 0; row < kLogRows; ++row) {
            const auto [c, minus_ln_c] = log_step(row % kLogSteps);
            const int32_t e = static_cast<int32_t>(row / kLogSteps) + kLowestExponent;
            const double ed = e;
            t[row] = {std::ldexp(c, -(e - kLowestExponent)), (ed * kLn2Hi + minus_ln_c) + ed * kLn2Lo};
        }
        return t;
    }();
    return table.data();
}

// ln u from m and the row's two values, for a double or a vector of doubles: one source, so
// that every lane of the vector kernels performs exactly the scalar operations. (Vectors go by
// reference: a 256-bit value must not cross a call of a function built without AVX.)
template <typename V>
[[gnu::always_inline]] inline void ln_from_row(const V &m, const V &scaled_c, const V &ln_offset, V &ln) {
    const V r = m * scaled_c - 1.0;
    const V r2 = r * r;
    const V q = (-0.5 + r * (1.0 / 3.0)) + r2 * (-0.25 + r * 0.2);
    ln = ln_offset + (r + r2 * q);
}

// Where the table rows of four or eight arguments lie: byte offsets, the row number
// (bits - kLogRowBits) >> 16 times 16. The kernels read the offsets from memory, which costs
// less than extracting them from a register.
static_assert(sizeof(LogRow) == 16);

[[gnu::always_inline]] inline __m128i log_row_offsets4(__m128i m) {
    const __m128i bits = _mm_castps_si128(_mm_cvtepi32_ps(m));
    return _mm_and_si128(_mm_srli_epi32(_mm_sub_epi32(bits, _mm_set1_epi32(kLogRowBits)), 12), _mm_set1_epi32(-16));
}

[[gnu::target("avx2")]] inline __m256i log_row_offsets8(__m256i m) {
    const __m256i bits = _mm256_castps_si256(_mm256_cvtepi32_ps(m));
    return _mm256_and_si256(_mm256_srli_epi32(_mm256_sub_epi32(bits, _mm256_set1_epi32(kLogRowBits)), 12),
                            _mm256_set1_epi32(-16));
}

[[gnu::always_inline]] inline __m128d log_row(const LogRow *table, uint32_t offset) {
    return _mm_loadu_pd(reinterpret_cast<const double *>(reinterpret_cast<const char *>(table) + offset));
}

// The logarithms of four arguments, doubles two at a time.
[[gnu::always_inline]] inline __m128 ln4_sse2(const LogRow *table, __m128i m, const uint32_t *offsets) {
    const __m128d s0 = log_row(table, offsets[0]), s1 = log_row(table, offsets[1]);
    const __m128d s2 = log_row(table, offsets[2]), s3 = log_row(table, offsets[3]);
    __m128d ln01, ln23;
    ln_from_row<__m128d>(_mm_cvtepi32_pd(m), _mm_unpacklo_pd(s0, s1), _mm_unpackhi_pd(s0, s1), ln01);
    ln_from_row<__m128d>(_mm_cvtepi32_pd(_mm_shuffle_epi32(m, 0x0E)), _mm_unpacklo_pd(s2, s3),
                         _mm_unpackhi_pd(s2, s3), ln23);
    return _mm_movelh_ps(_mm_cvtpd_ps(ln01), _mm_cvtpd_ps(ln23));
}

// The logarithms of four arguments with the four doubles in one register.
[[gnu::target("avx2")]] inline __m128 ln4_avx2(const LogRow *table, __m128i m, const uint32_t *offsets) {
    const __m256d s02 = _mm256_set_m128d(log_row(table, offsets[2]), log_row(table, offsets[0]));
    const __m256d s13 = _mm256_set_m128d(log_row(table, offsets[3]), log_row(table, offsets[1]));
    __m256d ln;
    ln_from_row<__m256d>(_mm256_cvtepi32_pd(m), _mm256_unpacklo_pd(s02, s13), _mm256_unpackhi_pd(s02, s13), ln);
    return _mm256_cvtpd_ps(ln);
}

[[gnu::always_inline]] inline __m128 radius4(__m128 ln, __m128 amplitude) {
    return _mm_mul_ps(_mm_sqrt_ps(_mm_mul_ps(_mm_set1_ps(-2.0f), ln)), amplitude);
}

[[gnu::target("avx2")]] inline __m256 radius8(__m128 ln_lo, __m128 ln_hi, __m256 amplitude) {
    const __m256 ln = _mm256_set_m128(ln_hi, ln_lo);
    return _mm256_mul_ps(_mm256_sqrt_ps(_mm256_mul_ps(_mm256_set1_ps(-2.0f), ln)), amplitude);
}

// Four radii at once, lane by lane the operations of noise_radius.
template <SimdLevel level>
[[gnu::always_inline]] inline __m128 noise_radius4(__m128i m, __m128 amplitude) {
    alignas(16) uint32_t offsets[4];
    _mm_store_si128(reinterpret_cast<__m128i *>(offsets), log_row_offsets4(m));
    if constexpr (level == SimdLevel::avx2) return radius4(ln4_avx2(log_rows(), m, offsets), amplitude);
    else return radius4(ln4_sse2(log_rows(), m, offsets), amplitude);
}

// Two generator steps per sample: the radius from the top 24 bits of the first (u in (0, 1],
// so the logarithm is finite), the angle from the top 16 bits of the second.
[[gnu::always_inline]] inline void draw(Xoshiro &x, uint32_t &m, uint32_t &angle) {
    m = static_cast<uint32_t>((x.next() >> 40) + 1);
    angle = static_cast<uint32_t>(x.next() >> 48);
}

// Four samples per pass: small enough that the integer generator of one pass and the
// floating-point shaping of the previous one run side by side.
template <SimdLevel level>
[[gnu::always_inline]] inline void generate4(Xoshiro &state, float amplitude, cf32 *out, std::size_t passes) {
    Xoshiro x = state;  // a local copy stays in registers: out cannot alias it
    const __m128 amp = _mm_set1_ps(amplitude);
    const CosSin *table = angle_table();
    for (std::size_t pass = 0; pass < passes; ++pass, out += 4) {
        alignas(16) uint32_t m[4];
        alignas(16) float cosv[4];
        alignas(16) float sinv[4];
        for (int j = 0; j < 4; ++j) {
            uint32_t angle;
            draw(x, m[j], angle);
            cosv[j] = table[angle].c;
            sinv[j] = table[angle].s;
        }
        const __m128 rho = noise_radius4<level>(_mm_load_si128(reinterpret_cast<const __m128i *>(m)), amp);
        const __m128 re = _mm_mul_ps(rho, _mm_load_ps(cosv));
        const __m128 im = _mm_mul_ps(rho, _mm_load_ps(sinv));
        _mm_storeu_ps(&out[0].re, _mm_unpacklo_ps(re, im));
        _mm_storeu_ps(&out[2].re, _mm_unpackhi_ps(re, im));
    }
    state = x;
}

void generate4_sse2(Xoshiro &x, float amplitude, cf32 *out, std::size_t passes) {
    generate4<SimdLevel::sse2>(x, amplitude, out, passes);
}

[[gnu::target("avx2"), gnu::flatten]] void generate4_avx2(Xoshiro &x, float amplitude, cf32 *out, std::size_t passes) {
    generate4<SimdLevel::avx2>(x, amplitude, out, passes);
}

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
constexpr std::size_t kMinLanedSamples = kLanes * kLaneLengths[0];
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

template <SimdLevel level>
[[gnu::always_inline]] inline void radius4(const uint32_t *m, float amplitude, float *out) {
    _mm_storeu_ps(out, noise_radius4<level>(_mm_loadu_si128(reinterpret_cast<const __m128i *>(m)), _mm_set1_ps(amplitude)));
}

[[gnu::target("avx2"), gnu::flatten]] void radius4_avx2(const uint32_t *m, float amplitude, float *out) {
    radius4<SimdLevel::avx2>(m, amplitude, out);
}

std::size_t generate_laned_sse2(Xoshiro &x, float amplitude, cf32 *out, std::size_t n, const NoiseOnto *onto) {
    return generate_laned<SimdLevel::sse2>(x, amplitude, out, n, onto);
}

[[gnu::target("avx2"), gnu::flatten]] std::size_t generate_laned_avx2(Xoshiro &x, float amplitude, cf32 *out,
                                                                      std::size_t n, const NoiseOnto *onto) {
    return generate_laned<SimdLevel::avx2>(x, amplitude, out, n, onto);
}

}  // namespace

void lay_noise_onto(const NoiseOnto &onto, cf32 *out, std::size_t n) {
    for (std::size_t k = 0; k < n; ++k)
        out[k] = cf32{out[k].re * onto.gain + onto.signal[k].re, out[k].im * onto.gain + onto.signal[k].im};
}

float ln_u24(uint32_t m) {
    const uint32_t row = (std::bit_cast<uint32_t>(static_cast<float>(m)) - kLogRowBits) >> 16;
    const LogRow &r = log_rows()[row];
    double ln;
    ln_from_row<double>(m, r.scaled_c, r.ln_offset, ln);
    return static_cast<float>(ln);
}

float noise_radius(uint32_t m, float amplitude) { return std::sqrt(-2.0f * ln_u24(m)) * amplitude; }

// The one place the noise kernels are chosen: lanes for large requests, then the serial
// generator four samples at a time, then one at a time; each of the level's own build.
void generate_noise(Awgn *g, SimdLevel level, cf32 *out, std::size_t n, const NoiseOnto *onto) {
    Xoshiro x{g->s[0], g->s[1], g->s[2], g->s[3]};
    std::size_t laid = 0;  // the lanes lay their own samples onto the signal
    std::size_t done = 0;
    if (level != SimdLevel::scalar) {  // the scalar path draws and shapes one sample at a time
        const bool avx2 = level == SimdLevel::avx2;
        if (n >= kMinLanedSamples)
            laid = done = avx2 ? generate_laned_avx2(x, g->amplitude, out, n, onto)
                               : generate_laned_sse2(x, g->amplitude, out, n, onto);
        const std::size_t passes = (n - done) / 4;
        if (avx2) generate4_avx2(x, g->amplitude, out + done, passes);
        else generate4_sse2(x, g->amplitude, out + done, passes);
        done += 4 * passes;
    }
    const CosSin *table = angle_table();
    for (std::size_t k = done; k < n; ++k) {
        uint32_t m, angle;
        draw(x, m, angle);
        const float rho = noise_radius(m, g->amplitude);
        out[k].re = rho * table[angle].c;
        out[k].im = rho * table[angle].s;
    }
    if (onto) lay_noise_onto(NoiseOnto{onto->gain, onto->signal + laid}, out + laid, n - laid);
    g->s[0] = x.s0;
    g->s[1] = x.s1;
    g->s[2] = x.s2;
    g->s[3] = x.s3;
}

void noise_radius4(SimdLevel level, const uint32_t *m, float amplitude, float *out) {
    switch (level) {
    case SimdLevel::scalar:
        for (int k = 0; k < 4; ++k) out[k] = noise_radius(m[k], amplitude);
        break;
    case SimdLevel::sse2: radius4<SimdLevel::sse2>(m, amplitude, out); break;
    case SimdLevel::avx2: radius4_avx2(m, amplitude, out); break;
    }
}

}  // namespace qn

extern "C" {

Awgn *awgn_create(uint64_t seed, float amplitude) {
    qn::angle_table();
    qn::log_rows();
    Awgn *g = new (std::nothrow) Awgn;
    if (!g) return nullptr;
    g->seed = seed;
    g->amplitude = amplitude;
    qn::seed_generator(g);
    return g;
}

void awgn_destroy(Awgn *g) { delete g; }

void awgn_reset(Awgn *g) {
    if (g) qn::seed_generator(g);
}

void awgn_reseed(Awgn *g, uint64_t seed) {
    if (!g) return;
    g->seed = seed;
    qn::seed_generator(g);
}

float awgn_get_amplitude(const Awgn *g) { return g ? g->amplitude : 0.0f; }
void awgn_set_amplitude(Awgn *g, float amplitude) {
    if (g) g->amplitude = amplitude;
}

size_t awgn_generate_max_out(void) { return 65536; }

size_t awgn_generate(Awgn *g, size_t n, cf32 *out, size_t out_cap) {
    if (!g || !out) return 0;
    const size_t count = n < out_cap ? n : out_cap;
    qn::generate_noise(g, qn::best_simd_level(), out, count);
    return count;
}

int awgn(uint64_t seed, size_t n, cf32 *out, float amplitude) {
    if (!out && n > 0) return QN_ERR_INVALID;
    Awgn *g = awgn_create(seed, amplitude);
    if (!g) return QN_ERR_NOMEM;
    awgn_generate(g, n, out, n);
    awgn_destroy(g);
    return QN_OK;
}

float awgn_amplitude_for_snr(float snr_db, float signal_power) {
    const float a = snr_db * 0.1f * -2.3025851f;
    return std::sqrt(qn::det_expf(a) * (signal_power * 0.5f));
}

size_t awgn_state_bytes(const Awgn *g) { return g ? qn::kStateBytes : 0; }

void awgn_get_state(const Awgn *g, void *out) {
    if (!g || !out) return;
    auto *bytes = static_cast<unsigned char *>(out);
    qn::blob::write_header(bytes, qn::kMagic, 1, qn::kStateBytes);
    for (int i = 0; i < 4; ++i) qn::blob::put<uint64_t>(bytes + 16 + 8 * i, g->s[i]);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 8; ++j) qn::blob::put<uint64_t>(bytes + 48 + 64 * i + 8 * j, g->lanes[i][j]);
}

int awgn_set_state(Awgn *g, const void *blob) {
    if (!g || !blob) return QN_ERR_INVALID;
    const auto *bytes = static_cast<const unsigned char *>(blob);
    if (!qn::blob::header_matches(bytes, qn::kMagic, 1, qn::kStateBytes)) return QN_ERR_STATE;
    for (int i = 0; i < 4; ++i) g->s[i] = qn::blob::get<uint64_t>(bytes + 16 + 8 * i);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 8; ++j) g->lanes[i][j] = qn::blob::get<uint64_t>(bytes + 48 + 64 * i + 8 * j);
    return QN_OK;
}

}  // extern "C"
