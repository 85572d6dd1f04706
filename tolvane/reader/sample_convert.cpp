// Wire samples to cf32 at unit scale: a plain scalar path for every wire layout, and SSE2
// and AVX2 paths for the little-endian complex integer and offset-binary captures that
// receivers write.
#include "sample_convert.hpp"

#include <immintrin.h>

#include <array>
#include <cstring>

#include "capture_format.hpp"

namespace tolvane {
namespace {

// Integer codes at unit scale: 1/2147483647, 1/32767, 1/127 as doubles.
constexpr double kUnitCi32 = 4.6566128752457969e-10;
constexpr double kUnitCi16 = 3.0518509475997192e-05;
constexpr double kUnitCi8 = 0.007874015748031496;

// A code becomes code x unit in double, rounded to float.
auto scaled(double unit) {
    return [unit](auto code) { return static_cast<float>(static_cast<double>(code) * unit); };
}

// Offset-binary codes at unit scale, one table entry per code: (c - h) / h in double with
// h = 2^(n-1) - 0.5, rounded to float.
template <typename Code>
const float *offset_binary_table() {
    static const auto table = [] {
        constexpr size_t kCodes = size_t{1} << (8 * sizeof(Code));
        constexpr double half = (kCodes - 1) / 2.0;
        std::array<float, kCodes> t{};
        for (size_t c = 0; c < kCodes; ++c) t[c] = static_cast<float>((static_cast<double>(c) - half) / half);
        return t;
    }();
    return table.data();
}

template <typename Code>
auto offset_binary() {
    return [table = offset_binary_table<Code>()](Code code) { return table[code]; };
}

template <typename T, bool Big, typename Convert>
void convert_run(const unsigned char *src, size_t n, cf32 *out, bool complex, const Convert &convert) {
    if (complex) {
        // Components in order: re, im, re, im ... exactly the layout of cf32.
        float *dst = &out[0].re;
        for (size_t i = 0; i < 2 * n; ++i) dst[i] = convert(load_field<T>(src + i * sizeof(T), Big));
    } else {
        for (size_t i = 0; i < n; ++i) out[i] = {convert(load_field<T>(src + i * sizeof(T), Big)), 0.0f};
    }
}

template <typename T, typename Convert>
void convert_typed(const unsigned char *src, size_t n, cf32 *out, bool big, bool complex, const Convert &convert) {
    big ? convert_run<T, true>(src, n, out, complex, convert) : convert_run<T, false>(src, n, out, complex, convert);
}

void convert_scalar(const WireLayout &wire, const unsigned char *src, size_t n, cf32 *out) {
    const bool big = wire.big_endian, complex = wire.complex;
    const auto as_float = [](auto v) { return static_cast<float>(v); };
    switch (wire.sample_type) {
        case TOLVANE_STYPE_CF32: return convert_typed<float>(src, n, out, big, complex, as_float);
        case TOLVANE_STYPE_CF64: return convert_typed<double>(src, n, out, big, complex, as_float);
        case TOLVANE_STYPE_CI32: return convert_typed<int32_t>(src, n, out, big, complex, scaled(kUnitCi32));
        case TOLVANE_STYPE_CI16: return convert_typed<int16_t>(src, n, out, big, complex, scaled(kUnitCi16));
        case TOLVANE_STYPE_CU8: return convert_typed<uint8_t>(src, n, out, big, complex, offset_binary<uint8_t>());
        case TOLVANE_STYPE_CU16: return convert_typed<uint16_t>(src, n, out, big, complex, offset_binary<uint16_t>());
        default: return convert_typed<int8_t>(src, n, out, big, complex, scaled(kUnitCi8));
    }
}

// ---- vector paths: little-endian complex integer codes ----
// Each step loads the wire bytes of a group of samples before it stores them, and a group's
// output ends at or below the next group's wire bytes, so they may run forward in place.

// Four codes from little-endian wire bytes, widened to 32-bit lanes.
template <typename T>
__m128i load4_sse2(const unsigned char *p) {
    if constexpr (sizeof(T) == 4) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    } else if constexpr (sizeof(T) == 2) {
        const __m128i codes = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(p));
        return _mm_srai_epi32(_mm_unpacklo_epi16(codes, codes), 16);  // sign-extended
    } else {
        int32_t four;
        std::memcpy(&four, p, sizeof four);
        const __m128i codes = _mm_cvtsi32_si128(four);
        const __m128i doubled = _mm_unpacklo_epi8(codes, codes);
        return _mm_srai_epi32(_mm_unpacklo_epi16(doubled, doubled), 24);  // sign-extended
    }
}

template <typename T>
void convert_le_complex_sse2(const unsigned char *src, size_t n, cf32 *out, double unit) {
    const __m128d u = _mm_set1_pd(unit);
    float *dst = &out[0].re;
    size_t c = 0;  // components done
    for (; c + 4 <= 2 * n; c += 4) {
        const __m128i codes = load4_sse2<T>(src + c * sizeof(T));
        const __m128 lo = _mm_cvtpd_ps(_mm_mul_pd(_mm_cvtepi32_pd(codes), u));
        const __m128 hi = _mm_cvtpd_ps(_mm_mul_pd(_mm_cvtepi32_pd(_mm_shuffle_epi32(codes, 0x0E)), u));
        _mm_storeu_ps(dst + c, _mm_movelh_ps(lo, hi));
    }
    convert_run<T, false>(src + c * sizeof(T), n - c / 2, out + c / 2, true, scaled(unit));
}

// Eight codes from little-endian wire bytes, widened to 32-bit lanes.
template <typename T>
[[gnu::target("avx2")]] __m256i load8_avx2(const unsigned char *p) {
    if constexpr (sizeof(T) == 4) {
        return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
    } else if constexpr (sizeof(T) == 2) {
        return _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)));
    } else {
        return _mm256_cvtepi8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(p)));
    }
}

template <typename T>
[[gnu::target("avx2")]] void convert_le_complex_avx2(const unsigned char *src, size_t n, cf32 *out, double unit) {
    const __m256d u = _mm256_set1_pd(unit);
    float *dst = &out[0].re;
    size_t c = 0;  // components done
    for (; c + 8 <= 2 * n; c += 8) {
        const __m256i codes = load8_avx2<T>(src + c * sizeof(T));
        const __m128 lo = _mm256_cvtpd_ps(_mm256_mul_pd(_mm256_cvtepi32_pd(_mm256_castsi256_si128(codes)), u));
        const __m128 hi = _mm256_cvtpd_ps(_mm256_mul_pd(_mm256_cvtepi32_pd(_mm256_extracti128_si256(codes, 1)), u));
        _mm256_storeu_ps(dst + c, _mm256_set_m128(hi, lo));
    }
    convert_run<T, false>(src + c * sizeof(T), n - c / 2, out + c / 2, true, scaled(unit));
}

// Offset-binary codes: (c - h) / h in float arithmetic. c - h is exact in float, and one
// rounded float division gives the same bits as the double quotient rounded to float for
// every 8- and 16-bit code (checked code by code in the tests).
template <typename T>
__m128i load4_unsigned_sse2(const unsigned char *p) {
    const __m128i zero = _mm_setzero_si128();
    if constexpr (sizeof(T) == 2) {
        return _mm_unpacklo_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(p)), zero);
    } else {
        int32_t four;
        std::memcpy(&four, p, sizeof four);
        return _mm_unpacklo_epi16(_mm_unpacklo_epi8(_mm_cvtsi32_si128(four), zero), zero);
    }
}

template <typename T>
void convert_offset_complex_sse2(const unsigned char *src, size_t n, cf32 *out) {
    constexpr float half = static_cast<float>(((size_t{1} << (8 * sizeof(T))) - 1) / 2.0);
    const __m128 h = _mm_set1_ps(half);
    float *dst = &out[0].re;
    size_t c = 0;
    for (; c + 4 <= 2 * n; c += 4) {
        const __m128 codes = _mm_cvtepi32_ps(load4_unsigned_sse2<T>(src + c * sizeof(T)));
        _mm_storeu_ps(dst + c, _mm_div_ps(_mm_sub_ps(codes, h), h));
    }
    convert_run<T, false>(src + c * sizeof(T), n - c / 2, out + c / 2, true, offset_binary<T>());
}

template <typename T>
[[gnu::target("avx2")]] void convert_offset_complex_avx2(const unsigned char *src, size_t n, cf32 *out) {
    constexpr float half = static_cast<float>(((size_t{1} << (8 * sizeof(T))) - 1) / 2.0);
    const __m256 h = _mm256_set1_ps(half);
    float *dst = &out[0].re;
    size_t c = 0;
    for (; c + 8 <= 2 * n; c += 8) {
        const __m128i wire = sizeof(T) == 2 ? _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + c * sizeof(T)))
                                            : _mm_loadl_epi64(reinterpret_cast<const __m128i *>(src + c * sizeof(T)));
        const __m256i wide = sizeof(T) == 2 ? _mm256_cvtepu16_epi32(wire) : _mm256_cvtepu8_epi32(wire);
        const __m256 codes = _mm256_cvtepi32_ps(wide);
        _mm256_storeu_ps(dst + c, _mm256_div_ps(_mm256_sub_ps(codes, h), h));
    }
    convert_run<T, false>(src + c * sizeof(T), n - c / 2, out + c / 2, true, offset_binary<T>());
}

template <typename T>
void convert_offset_complex(const unsigned char *src, size_t n, cf32 *out, ConvertPath path) {
    if (path == ConvertPath::avx2) return convert_offset_complex_avx2<T>(src, n, out);
    convert_offset_complex_sse2<T>(src, n, out);
}

template <typename T>
void convert_le_complex(const unsigned char *src, size_t n, cf32 *out, double unit, ConvertPath path) {
    if (path == ConvertPath::avx2) return convert_le_complex_avx2<T>(src, n, out, unit);
    convert_le_complex_sse2<T>(src, n, out, unit);
}

}  // namespace

std::span<const ConvertPath> convert_paths_here() {
    static constexpr ConvertPath kAll[] = {ConvertPath::scalar, ConvertPath::sse2, ConvertPath::avx2};
    static const size_t count = __builtin_cpu_supports("avx2") ? 3 : 2;
    return {kAll, count};
}

void convert_samples(const WireLayout &wire, const unsigned char *src, size_t n, cf32 *out, ConvertPath path) {
    if (path == ConvertPath::scalar || wire.big_endian || !wire.complex) return convert_scalar(wire, src, n, out);
    switch (wire.sample_type) {
        case TOLVANE_STYPE_CI32: return convert_le_complex<int32_t>(src, n, out, kUnitCi32, path);
        case TOLVANE_STYPE_CI16: return convert_le_complex<int16_t>(src, n, out, kUnitCi16, path);
        case TOLVANE_STYPE_CI8: return convert_le_complex<int8_t>(src, n, out, kUnitCi8, path);
        case TOLVANE_STYPE_CU8: return convert_offset_complex<uint8_t>(src, n, out, path);
        case TOLVANE_STYPE_CU16: return convert_offset_complex<uint16_t>(src, n, out, path);
        default: return convert_scalar(wire, src, n, out);
    }
}

void convert_samples(const WireLayout &wire, const unsigned char *src, size_t n, cf32 *out) {
    convert_samples(wire, src, n, out, convert_paths_here().back());
}

}  // namespace tolvane
