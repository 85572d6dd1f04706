#include "awgn_core.h"

#include <immintrin.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <new>

#include "awgn_core.hpp"
#include "det_math.hpp"
#include "lo_core.h"
#include "lo_core.hpp"
#include "simd_level.hpp"
#include "splitmix.hpp"
#include "state_blob.hpp"

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

// The generator's own copy of the sine table, extended by a quarter turn so that the cosine,
// read a quarter turn ahead, never wraps: lut[i] = lo_sin_lut[i mod 65536]. Filled once, on
// the first creation of a generator (a function-local static: safe from several threads).
constexpr uint32_t kQuarterTurn = 16384;
float lut[65536 + kQuarterTurn];

void ensure_noise_table() {
    static const bool filled = [] {
        ensure_sin_table();
        std::copy_n(lo_sin_lut, 65536, lut);
        std::copy_n(lo_sin_lut, kQuarterTurn, lut + 65536);
        return true;
    }();
    (void)filled;
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
        const uint64_t t = s1 << 17;
        s2 ^= s0;
        s3 ^= s1;
        s1 ^= s2;
        s0 ^= s3;
        s2 ^= t;
        s3 = std::rotl(s3, 45);
        return r;
    }
};

// ln(f) = 2 atanh(s) = 2 s + 2 s z p(z) with s = (f - 1) / (f + 1), z = s^2: p is a degree-6
// Chebyshev fit of (atanh(s) / s - 1) / z on z in [0, 0.0295] (f within [sqrt(1/2), sqrt(2)]),
// within 1.7e-16, which keeps ln f within 2^-57 relative: enough for a correctly rounded float.
constexpr double kAtanh[] = {0.3333333333333335,  0.19999999999949095, 0.14285714313285103, 0.11111105518908294,
                             0.09091448091741543, 0.07665743617932867, 0.07309671726756307};
constexpr double kLn2Hi = 0x1.62e42fee00000p-1;  // exact times any exponent below 2^21
constexpr double kLn2Lo = 0x1.a39ef35793c76p-33;

// m = 2^(e + 24) * f with f in [sqrt(1/2), sqrt(2)], taken from the float bits of m (exact).
constexpr uint32_t kSqrt2Bits = 0x3FB504F3;
constexpr int32_t kExponentBias = 127 + 24;

// ln(2^e * f) in double precision, for a double or a vector of doubles: one source, so that
// every lane of the vector kernels performs exactly the scalar operations.
// (Vectors go by reference: a 256-bit value must not cross a call of a function built
// without AVX.)
template <typename V>
[[gnu::always_inline]] inline void ln_scaled(const V &f, const V &e, V &ln) {
    const double *c = kAtanh;  // summed in Estrin's order: a short dependency chain
    const V s = (f - 1.0) / (f + 1.0);
    const V z = s * s;
    const V z2 = z * z;
    const V z4 = z2 * z2;
    const V p = ((c[0] + z * c[1]) + z2 * (c[2] + z * c[3])) + z4 * ((c[4] + z * c[5]) + z2 * c[6]);
    const V two_s = s + s;
    ln = e * kLn2Hi + (two_s + (two_s * z * p + e * kLn2Lo));
}

struct Reduced4 {
    __m128 f;    // in [sqrt(1/2), sqrt(2)]
    __m128i e;   // m = 2^(e + 24) * f
};

[[gnu::always_inline]] inline Reduced4 reduce4(__m128i m) {
    const __m128i bits = _mm_castps_si128(_mm_cvtepi32_ps(m));
    const __m128i e = _mm_sub_epi32(_mm_srli_epi32(bits, 23), _mm_set1_epi32(kExponentBias));
    const __m128i mant = _mm_or_si128(_mm_and_si128(bits, _mm_set1_epi32(0x007FFFFF)), _mm_set1_epi32(0x3F800000));
    const __m128i halve = _mm_cmpgt_epi32(mant, _mm_set1_epi32(kSqrt2Bits));
    return {_mm_castsi128_ps(_mm_sub_epi32(mant, _mm_and_si128(halve, _mm_set1_epi32(0x00800000)))),
            _mm_sub_epi32(e, halve)};
}

[[gnu::always_inline]] inline __m128 radius4(__m128 ln, __m128 amplitude) {
    return _mm_mul_ps(_mm_sqrt_ps(_mm_mul_ps(_mm_set1_ps(-2.0f), ln)), amplitude);
}

// Four radii at once, lane by lane the operations of noise_radius: doubles two at a time.
inline __m128 noise_radius4_sse2(__m128i m, __m128 amplitude) {
    const Reduced4 r = reduce4(m);
    __m128d ln01, ln23;
    ln_scaled<__m128d>(_mm_cvtps_pd(r.f), _mm_cvtepi32_pd(r.e), ln01);
    ln_scaled<__m128d>(_mm_cvtps_pd(_mm_movehl_ps(r.f, r.f)), _mm_cvtepi32_pd(_mm_shuffle_epi32(r.e, 0x0E)), ln23);
    return radius4(_mm_movelh_ps(_mm_cvtpd_ps(ln01), _mm_cvtpd_ps(ln23)), amplitude);
}

// The same with the four doubles in one register.
[[gnu::target("avx2")]] inline __m128 noise_radius4_avx2(__m128i m, __m128 amplitude) {
    const Reduced4 r = reduce4(m);
    __m256d ln;
    ln_scaled<__m256d>(_mm256_cvtps_pd(r.f), _mm256_cvtepi32_pd(r.e), ln);
    return radius4(_mm256_cvtpd_ps(ln), amplitude);
}

template <SimdLevel level>
[[gnu::always_inline]] inline __m128 noise_radius4(__m128i m, __m128 amplitude) {
    if constexpr (level == SimdLevel::avx2) return noise_radius4_avx2(m, amplitude);
    else return noise_radius4_sse2(m, amplitude);
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
    for (std::size_t pass = 0; pass < passes; ++pass, out += 4) {
        alignas(16) uint32_t m[4];
        alignas(16) float cosv[4];
        alignas(16) float sinv[4];
        for (int j = 0; j < 4; ++j) {
            uint32_t angle;
            draw(x, m[j], angle);
            cosv[j] = lut[angle + kQuarterTurn];
            sinv[j] = lut[angle];
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

[[gnu::target("avx2")]] void generate4_avx2(Xoshiro &x, float amplitude, cf32 *out, std::size_t passes) {
    generate4<SimdLevel::avx2>(x, amplitude, out, passes);
}

}  // namespace

float ln_u24(uint32_t m) {
    const uint32_t bits = std::bit_cast<uint32_t>(static_cast<float>(m));
    int32_t e = static_cast<int32_t>(bits >> 23) - kExponentBias;
    uint32_t mant = (bits & 0x007FFFFFu) | 0x3F800000u;
    if (mant > kSqrt2Bits) {
        mant -= 0x00800000u;
        e += 1;
    }
    double ln;
    ln_scaled<double>(std::bit_cast<float>(mant), static_cast<double>(e), ln);
    return static_cast<float>(ln);
}

float noise_radius(uint32_t m, float amplitude) { return std::sqrt(-2.0f * ln_u24(m)) * amplitude; }

void generate_noise(Awgn *g, SimdLevel level, cf32 *out, std::size_t n) {
    Xoshiro x{g->s[0], g->s[1], g->s[2], g->s[3]};
    const std::size_t passes = n / 4;
    if (level == SimdLevel::avx2) generate4_avx2(x, g->amplitude, out, passes);
    else generate4_sse2(x, g->amplitude, out, passes);
    for (std::size_t k = 4 * passes; k < n; ++k) {
        uint32_t m, angle;
        draw(x, m, angle);
        const float rho = noise_radius(m, g->amplitude);
        out[k].re = rho * lut[angle + kQuarterTurn];
        out[k].im = rho * lut[angle];
    }
    g->s[0] = x.s0;
    g->s[1] = x.s1;
    g->s[2] = x.s2;
    g->s[3] = x.s3;
}

void noise_radius4(SimdLevel level, const uint32_t *m, float amplitude, float *out) {
    const __m128i mv = _mm_loadu_si128(reinterpret_cast<const __m128i *>(m));
    const __m128 amp = _mm_set1_ps(amplitude);
    _mm_storeu_ps(out, level == SimdLevel::avx2 ? noise_radius4<SimdLevel::avx2>(mv, amp)
                                                   : noise_radius4<SimdLevel::sse2>(mv, amp));
}

}  // namespace qn

extern "C" {

Awgn *awgn_create(uint64_t seed, float amplitude) {
    qn::ensure_noise_table();
    Awgn *g = new (std::nothrow) Awgn;
    if (!g) return nullptr;
    g->seed = seed;
    g->amplitude = amplitude;
    qn::seed_generator(g);
    return g;
}

void awgn_destroy(Awgn *g) { delete g; }

void awgn_reset(Awgn *g) { qn::seed_generator(g); }

void awgn_reseed(Awgn *g, uint64_t seed) {
    g->seed = seed;
    qn::seed_generator(g);
}

float awgn_get_amplitude(const Awgn *g) { return g->amplitude; }
void awgn_set_amplitude(Awgn *g, float amplitude) { g->amplitude = amplitude; }

size_t awgn_generate_max_out(void) { return 65536; }

size_t awgn_generate(Awgn *g, size_t n, cf32 *out, size_t out_cap) {
    const size_t count = n < out_cap ? n : out_cap;
    qn::generate_noise(g, qn::best_simd_level(), out, count);
    return count;
}

int awgn(uint64_t seed, size_t n, cf32 *out, float amplitude) {
    if (!out && n > 0) return -1;
    Awgn *g = awgn_create(seed, amplitude);
    if (!g) return -6;
    awgn_generate(g, n, out, n);
    awgn_destroy(g);
    return 0;
}

float awgn_amplitude_for_snr(float snr_db, float signal_power) {
    const float a = snr_db * 0.1f * -2.3025851f;
    return std::sqrt(qn::det_expf(a) * (signal_power * 0.5f));
}

size_t awgn_state_bytes(const Awgn *) { return qn::kStateBytes; }

void awgn_get_state(const Awgn *g, void *out) {
    auto *bytes = static_cast<unsigned char *>(out);
    qn::blob::write_header(bytes, qn::kMagic, 1, qn::kStateBytes);
    for (int i = 0; i < 4; ++i) qn::blob::put<uint64_t>(bytes + 16 + 8 * i, g->s[i]);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 8; ++j) qn::blob::put<uint64_t>(bytes + 48 + 64 * i + 8 * j, g->lanes[i][j]);
}

int awgn_set_state(Awgn *g, const void *blob) {
    const auto *bytes = static_cast<const unsigned char *>(blob);
    if (!qn::blob::header_matches(bytes, qn::kMagic, 1, qn::kStateBytes)) return -4;
    for (int i = 0; i < 4; ++i) g->s[i] = qn::blob::get<uint64_t>(bytes + 16 + 8 * i);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 8; ++j) g->lanes[i][j] = qn::blob::get<uint64_t>(bytes + 48 + 64 * i + 8 * j);
    return 0;
}

}  // extern "C"
