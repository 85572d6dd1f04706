#include "det_math.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>

namespace qn {
namespace {

// pi/2 split into three 33-bit pieces, each with the exact remainder after it, so that
// n * piece is exact for |n| < 2^20.
constexpr double kInvPio2 = 0x1.45f306dc9c883p-1;
constexpr double kPio2_1 = 0x1.921fb54400000p+0;
constexpr double kPio2_2 = 0x1.0b4611a600000p-34;
constexpr double kPio2_2t = 0x1.3198a2e037073p-69;
constexpr double kPio2_3 = 0x1.3198a2e000000p-69;
constexpr double kPio2_3t = 0x1.b839a252049c1p-104;

struct Reduced {
    double hi, lo;  // x - n * pi/2 as an unevaluated sum, |hi| <= pi/4 (about)
    int quadrant;   // n mod 4
};

// Round half to even without the floating-point environment round trip of nearbyint,
// which costs more than a whole sine: the same result for |v| < 2^51.
double round_even(double v) {
    constexpr double shift = 0x1.8p52;
    return std::fabs(v) < 0x1p51 ? (v + shift) - shift : std::nearbyint(v);
}

Reduced reduce_pio2(double x) {
    const double fn = round_even(x * kInvPio2);
    // The tail after kPio2_1 is kPio2_2 + kPio2_2t (+ kPio2_3 ...), removed in two rounds.
    double r = x - fn * kPio2_1;
    double t = r;
    double w = fn * kPio2_2;
    r = t - w;
    w = fn * kPio2_2t - ((t - r) - w);
    t = r;
    w = fn * kPio2_3;
    r = t - w;
    w = fn * kPio2_3t - ((t - r) - w);
    const double hi = r - w;
    const double lo = (r - hi) - w;
    const double wrapped = std::fabs(fn) < 0x1p62 ? fn : std::fmod(fn, 4.0);
    const int quadrant = static_cast<int>(static_cast<int64_t>(wrapped) & 3);
    return {hi, lo, quadrant};
}

// Taylor coefficients (-1)^k / (2k+1)! and (-1)^k / (2k)!, correctly rounded.
constexpr double kSin[] = {-0.16666666666666666,    0.008333333333333333,   -0.0001984126984126984,
                           2.7557319223985893e-06,  -2.505210838544172e-08, 1.6059043836821613e-10,
                           -7.647163731819816e-13,  2.8114572543455206e-15, -8.22063524662433e-18,
                           1.9572941063391263e-20};
constexpr double kCos[] = {0.041666666666666664,   -0.001388888888888889,  2.48015873015873e-05,
                           -2.755731922398589e-07, 2.08767569878681e-09,   -1.1470745597729725e-11,
                           4.779477332387385e-14,  -1.5619206968586225e-16, 4.110317623312165e-19};

template <std::size_t N>
double horner(const double (&c)[N], double z) {
    double p = c[N - 1];
    for (std::size_t k = N - 1; k-- > 0;) p = c[k] + z * p;
    return p;
}

// sin(hi + lo) for |hi| <= pi/4, |lo| tiny.
double sin_kernel(double hi, double lo) {
    const double z = hi * hi;
    return hi + (hi * z * horner(kSin, z) + lo);
}

// cos(hi + lo) for |hi| <= pi/4: 1 - z/2 is formed with its rounding error carried along.
double cos_kernel(double hi, double lo) {
    const double z = hi * hi;
    const double hz = 0.5 * z;
    const double w = 1.0 - hz;
    return w + (((1.0 - w) - hz) + (z * z * horner(kCos, z) - hi * lo));
}

constexpr double kInvLn2 = 1.4426950408889634;
constexpr double kLn2Hi = 0x1.62e42fee00000p-1;  // 32 bits: n * kLn2Hi is exact for |n| < 2^21
constexpr double kLn2Lo = 0x1.a39ef35793c76p-33;
// 1/k! for k = 2 ... 14.
constexpr double kExp[] = {0.5,
                           0.16666666666666666,
                           0.041666666666666664,
                           0.008333333333333333,
                           0.001388888888888889,
                           0.0001984126984126984,
                           2.48015873015873e-05,
                           2.7557319223985893e-06,
                           2.755731922398589e-07,
                           2.505210838544172e-08,
                           2.08767569878681e-09,
                           1.6059043836821613e-10,
                           1.1470745597729725e-11};

}  // namespace

double det_sin(double x) {
    if (!std::isfinite(x)) return x - x;
    const Reduced r = reduce_pio2(x);
    switch (r.quadrant) {
        case 0: return sin_kernel(r.hi, r.lo);
        case 1: return cos_kernel(r.hi, r.lo);
        case 2: return -sin_kernel(r.hi, r.lo);
        default: return -cos_kernel(r.hi, r.lo);
    }
}

double det_cos(double x) {
    if (!std::isfinite(x)) return x - x;
    const Reduced r = reduce_pio2(x);
    switch (r.quadrant) {
        case 0: return cos_kernel(r.hi, r.lo);
        case 1: return -sin_kernel(r.hi, r.lo);
        case 2: return -cos_kernel(r.hi, r.lo);
        default: return sin_kernel(r.hi, r.lo);
    }
}

void det_sincos(double x, double *sin_out, double *cos_out) {
    if (!std::isfinite(x)) {
        *sin_out = *cos_out = x - x;
        return;
    }
    const Reduced r = reduce_pio2(x);
    const double s = sin_kernel(r.hi, r.lo);
    const double c = cos_kernel(r.hi, r.lo);
    switch (r.quadrant) {
        case 0: *sin_out = s; *cos_out = c; break;
        case 1: *sin_out = c; *cos_out = -s; break;
        case 2: *sin_out = -s; *cos_out = -c; break;
        default: *sin_out = -c; *cos_out = s; break;
    }
}

namespace {

typedef double Doubles2 __attribute__((vector_size(16)));
typedef double Doubles4 __attribute__((vector_size(32)));
typedef uint64_t Words2 __attribute__((vector_size(16)));
typedef uint64_t Words4 __attribute__((vector_size(32)));
typedef float Floats2 __attribute__((vector_size(8)));
typedef float Floats4 __attribute__((vector_size(16)));

// cos x and sin x for x in [-8, 8]: one reduction by pi/2 and short series, for a double or
// for every lane of a vector of doubles (D, with W its 64-bit words): one source, so that
// every path performs exactly the scalar operations. (Vectors go by reference and bit casts
// are the builtin: a 256-bit value must not cross a call of a function built without AVX.)
template <typename D, typename W>
[[gnu::always_inline]] inline void phasor(const D &x, D &cos_out, D &sin_out) {
    constexpr double pio2_lo = 0x1.0b4611a626331p-34;  // pi/2 - kPio2_1
    constexpr double shift = 0x1.8p52;                 // adding it rounds to an integer in the low bits
    const D shifted = x * kInvPio2 + shift;
    const D fn = shifted - shift;
    const D r = (x - fn * kPio2_1) - fn * pio2_lo;
    const D z = r * r;
    // Taylor series to r^13 and r^14: truncation below 2e-14 on |r| <= pi/4.
    const D s = r + r * z * (kSin[0] + z * (kSin[1] + z * (kSin[2] + z * (kSin[3] + z * (kSin[4] + z * kSin[5])))));
    const D c = 1.0 + z * (-0.5 + z * (kCos[0] + z * (kCos[1] + z * (kCos[2] + z * (kCos[3] + z * kCos[4])))));
    // Quadrant selects and sign flips on the bit patterns, so the code has no branch.
    const W quadrant = __builtin_bit_cast(W, shifted);
    const W swap = W{} - (quadrant & 1);
    const W s_bits = __builtin_bit_cast(W, s), c_bits = __builtin_bit_cast(W, c);
    sin_out = __builtin_bit_cast(D, ((s_bits & ~swap) | (c_bits & swap)) ^ ((quadrant & 2) << 62));
    cos_out = __builtin_bit_cast(D, ((c_bits & ~swap) | (s_bits & swap)) ^ (((quadrant + 1) & 2) << 62));
}

// Phasors from..n-1 one at a time: the scalar path, and the tail of the vector paths.
QN_SCALAR_PATH void phasors_scalar(const float *angle, cf32 *out, std::size_t from, std::size_t n) {
    for (std::size_t i = from; i < n; ++i) {
        double c, s;
        phasor<double, uint64_t>(angle[i], c, s);
        out[i] = {static_cast<float>(c), static_cast<float>(s)};
    }
}

// F holds as many floats as D holds doubles.
template <typename D, typename W, typename F>
[[gnu::always_inline]] inline void phasors_vector(const float *angle, cf32 *out, std::size_t n) {
    constexpr std::size_t kLanes = sizeof(D) / sizeof(double);
    std::size_t i = 0;
    for (; i + kLanes <= n; i += kLanes) {
        F angles;
        std::memcpy(&angles, angle + i, sizeof angles);
        D c, s;
        phasor<D, W>(__builtin_convertvector(angles, D), c, s);
        const F re = __builtin_convertvector(c, F), im = __builtin_convertvector(s, F);
        for (std::size_t j = 0; j < kLanes; ++j) out[i + j] = {re[j], im[j]};
    }
    phasors_scalar(angle, out, i, n);
}

void phasors_sse2(const float *angle, cf32 *out, std::size_t n) {
    phasors_vector<Doubles2, Words2, Floats2>(angle, out, n);
}

[[gnu::target("avx2")]] void phasors_avx2(const float *angle, cf32 *out, std::size_t n) {
    phasors_vector<Doubles4, Words4, Floats4>(angle, out, n);
}

}  // namespace

void det_phasors(SimdLevel level, const float *angle, cf32 *out, std::size_t n) {
    switch (level) {
    case SimdLevel::scalar: phasors_scalar(angle, out, 0, n); break;
    case SimdLevel::sse2: phasors_sse2(angle, out, n); break;
    case SimdLevel::avx2: phasors_avx2(angle, out, n); break;
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (angle[i] >= -8.0f && angle[i] <= 8.0f) continue;
        double s, c;
        det_sincos(angle[i], &s, &c);
        out[i] = cf32{static_cast<float>(c), static_cast<float>(s)};
    }
}

void det_phasors(const float *angle, cf32 *out, std::size_t n) { det_phasors(best_simd_level(), angle, out, n); }

double det_log_reduced(double f, double e) {
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

double det_log(double x) {
    if (!(x > 0.0) || std::isinf(x)) return x == 0.0 ? -HUGE_VAL : (x > 0.0 ? x : NAN);
    int e = 0;
    double f = std::frexp(x, &e);  // x = f 2^e, f in [1/2, 1)
    if (f < 0.7071067811865476) {
        f *= 2.0;
        --e;
    }
    return det_log_reduced(f, e);
}

double det_exp(double x) {
    if (std::isnan(x)) return x;
    if (x > 709.8) return HUGE_VAL;
    if (x < -745.2) return 0.0;
    const double fn = round_even(x * kInvLn2);
    const double r = (x - fn * kLn2Hi) - fn * kLn2Lo;
    const double em1 = r + r * r * horner(kExp, r);  // e^r - 1, |r| <= ln2/2
    return std::ldexp(1.0 + em1, static_cast<int>(fn));
}

}  // namespace qn
