// The noise kernels' shared pieces: the logarithm and radius of four or eight arguments on
// each code path, one source for every lane and the scalar form, and the kernel entry points
// the dispatch chooses among.
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "awgn_core.hpp"
#include "awgn_generator.hpp"
#include "awgn_tables.hpp"
#include "simd_level.hpp"

namespace qn {

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

// The serial generator four samples at a time: passes x 4 samples into out.
void generate4_sse2(Xoshiro &x, float amplitude, cf32 *out, std::size_t passes);
void generate4_avx2(Xoshiro &x, float amplitude, cf32 *out, std::size_t passes);

// noise_radius4 of four arguments on a vector path.
void radius4_sse2(const uint32_t *m, float amplitude, float *out);
void radius4_avx2(const uint32_t *m, float amplitude, float *out);

// The jumped lanes: whole tiles of at least kMinLanedSamples; returns the samples written.
inline constexpr std::size_t kMinLanedSamples = 8 * 256;
std::size_t generate_laned_sse2(Xoshiro &x, float amplitude, cf32 *out, std::size_t n, const NoiseOnto *onto);
std::size_t generate_laned_avx2(Xoshiro &x, float amplitude, cf32 *out, std::size_t n, const NoiseOnto *onto);

}  // namespace qn
