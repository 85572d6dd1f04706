#include "wfm_writer_convert.hpp"

#include <emmintrin.h>

#include <algorithm>
#include <cstring>
#include <type_traits>

#include "capture_format.hpp"
#include "tolvane_core.h"

namespace tolvane::writer {
namespace {

// The stype of a wire element type, for its full scale.
template <typename Wire>
constexpr int kWireType = std::is_same_v<Wire, float>      ? TOLVANE_STYPE_CF32
                          : std::is_same_v<Wire, double>   ? TOLVANE_STYPE_CF64
                          : std::is_same_v<Wire, int32_t>  ? TOLVANE_STYPE_CI32
                          : std::is_same_v<Wire, int16_t>  ? TOLVANE_STYPE_CI16
                          : std::is_same_v<Wire, uint8_t>  ? TOLVANE_STYPE_CU8
                          : std::is_same_v<Wire, uint16_t> ? TOLVANE_STYPE_CU16
                                                           : TOLVANE_STYPE_CI8;

template <typename Wire>
void scalar(const float *in, size_t n, Level &level, unsigned char *out) {
    [[maybe_unused]] const double scale = SCALE[kWireType<Wire>];
    for (size_t i = 0; i < n; ++i, out += sizeof(Wire)) {
        const float v = level.apply(in[i]);
        Wire w;
        if constexpr (std::is_unsigned_v<Wire>) {
            w = offset_code<Wire>(v, scale);
        } else if constexpr (std::is_integral_v<Wire>) {
            w = integer_code<Wire>(v, scale);
        } else {
            w = static_cast<Wire>(v);
        }
        std::memcpy(out, &w, sizeof w);
    }
}

// Four components per step with SSE2 (every x86-64 has it); the tail goes through the
// scalar kernel. Every operation is the scalar one lane by lane, so the bytes agree.
template <typename Wire>
void vector(const float *in, size_t n, Level &level, unsigned char *out) {
    const size_t body = n & ~size_t{3};
    const __m128 gain = _mm_set1_ps(level.gain);
    const __m128 abs_mask = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
    const __m128 one = _mm_set1_ps(1.0f);
    const __m128 minus_one = _mm_set1_ps(-1.0f);
    __m128 peak = _mm_set1_ps(level.peak);
    uint64_t clipped = 0;
    const __m128d scale = _mm_set1_pd(SCALE[kWireType<Wire>]);

    for (size_t i = 0; i < body; i += 4, out += 4 * sizeof(Wire)) {
        const __m128 v = _mm_mul_ps(_mm_loadu_ps(in + i), gain);
        const __m128 a = _mm_and_ps(v, abs_mask);
        peak = _mm_max_ps(a, peak);  // a > peak ? a : peak, as the scalar kernel
        if (level.count_clips) clipped += __builtin_popcount(_mm_movemask_ps(_mm_cmpgt_ps(a, one)));
        if constexpr (std::is_same_v<Wire, float>) {
            _mm_storeu_ps(reinterpret_cast<float *>(out), v);
        } else if constexpr (std::is_same_v<Wire, double>) {
            _mm_storeu_pd(reinterpret_cast<double *>(out), _mm_cvtps_pd(v));
            _mm_storeu_pd(reinterpret_cast<double *>(out) + 2, _mm_cvtps_pd(_mm_movehl_ps(v, v)));
        } else {
            // Clamping to [-1, 1] keeps a NaN (maxps and minps return their second operand
            // then); the clamped ends give exactly -S and S, and a NaN lane is zeroed after.
            const __m128 clamped = _mm_min_ps(one, _mm_max_ps(minus_one, v));
            const __m128i lo = _mm_cvttpd_epi32(_mm_mul_pd(_mm_cvtps_pd(clamped), scale));
            const __m128i hi = _mm_cvttpd_epi32(_mm_mul_pd(_mm_cvtps_pd(_mm_movehl_ps(clamped, clamped)), scale));
            const __m128i code = _mm_and_si128(_mm_unpacklo_epi64(lo, hi), _mm_castps_si128(_mm_cmpord_ps(v, v)));
            if constexpr (std::is_same_v<Wire, int32_t>) {
                _mm_storeu_si128(reinterpret_cast<__m128i *>(out), code);
            } else if constexpr (std::is_same_v<Wire, int16_t>) {
                _mm_storel_epi64(reinterpret_cast<__m128i *>(out), _mm_packs_epi32(code, code));
            } else {
                const __m128i narrow = _mm_packs_epi16(_mm_packs_epi32(code, code), code);
                const int32_t four = _mm_cvtsi128_si32(narrow);
                std::memcpy(out, &four, 4);
            }
        }
    }
    float lanes[4];
    _mm_storeu_ps(lanes, peak);
    level.peak = std::max({lanes[0], lanes[1], lanes[2], lanes[3]});
    level.clipped += clipped;
    scalar<Wire>(in + body, n - body, level, out);
}

}  // namespace

void convert_components(int stype, const float *in, size_t n, Level &level, unsigned char *out) {
    switch (stype) {
        case TOLVANE_STYPE_CF32: return vector<float>(in, n, level, out);
        case TOLVANE_STYPE_CF64: return vector<double>(in, n, level, out);
        case TOLVANE_STYPE_CI32: return vector<int32_t>(in, n, level, out);
        case TOLVANE_STYPE_CI16: return vector<int16_t>(in, n, level, out);
        case TOLVANE_STYPE_CU8: return scalar<uint8_t>(in, n, level, out);
        case TOLVANE_STYPE_CU16: return scalar<uint16_t>(in, n, level, out);
        default: return vector<int8_t>(in, n, level, out);
    }
}

void convert_components_scalar(int stype, const float *in, size_t n, Level &level, unsigned char *out) {
    switch (stype) {
        case TOLVANE_STYPE_CF32: return scalar<float>(in, n, level, out);
        case TOLVANE_STYPE_CF64: return scalar<double>(in, n, level, out);
        case TOLVANE_STYPE_CI32: return scalar<int32_t>(in, n, level, out);
        case TOLVANE_STYPE_CI16: return scalar<int16_t>(in, n, level, out);
        case TOLVANE_STYPE_CU8: return scalar<uint8_t>(in, n, level, out);
        case TOLVANE_STYPE_CU16: return scalar<uint16_t>(in, n, level, out);
        default: return scalar<int8_t>(in, n, level, out);
    }
}

void reverse_elements(unsigned char *data, size_t n, size_t elem_size) {
    for (size_t i = 0; i < n; ++i, data += elem_size) std::reverse(data, data + elem_size);
}

}  // namespace tolvane::writer
