#include "awgn_kernels.hpp"

namespace qn {
namespace {

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

template <SimdLevel level>
[[gnu::always_inline]] inline void radius4(const uint32_t *m, float amplitude, float *out) {
    _mm_storeu_ps(out, noise_radius4<level>(_mm_loadu_si128(reinterpret_cast<const __m128i *>(m)), _mm_set1_ps(amplitude)));
}

}  // namespace

void generate4_sse2(Xoshiro &x, float amplitude, cf32 *out, std::size_t passes) {
    generate4<SimdLevel::sse2>(x, amplitude, out, passes);
}

[[gnu::target("avx2"), gnu::flatten]] void generate4_avx2(Xoshiro &x, float amplitude, cf32 *out, std::size_t passes) {
    generate4<SimdLevel::avx2>(x, amplitude, out, passes);
}

void radius4_sse2(const uint32_t *m, float amplitude, float *out) { radius4<SimdLevel::sse2>(m, amplitude, out); }

[[gnu::target("avx2"), gnu::flatten]] void radius4_avx2(const uint32_t *m, float amplitude, float *out) {
    radius4<SimdLevel::avx2>(m, amplitude, out);
}

}  // namespace qn
