#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <vector>

#include "awgn_core.h"
#include "awgn_core.hpp"
#include "blob_bytes.hpp"
#include "lo_core.h"
#include "simd_paths.hpp"

namespace {

using qn::test::Bytes;
using Samples = std::vector<cf32>;

// The generator written out plainly, with the logarithm taken in long double and rounded
// once: the stream the library must reproduce bit for bit.
struct ReferenceNoise {
    uint64_t s[4];
    float amplitude;

    static uint64_t mix(uint64_t z) {
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    ReferenceNoise(uint64_t seed, float amp) : amplitude(amp) {
        for (uint64_t i = 0; i < 4; ++i) s[i] = mix(seed + (i + 1) * 0x9E3779B97F4A7C15ull);
    }
    uint64_t next() {
        const uint64_t r = std::rotl(s[0] + s[3], 23) + s[0];
        const uint64_t t = s[1] << 17;
        s[2] ^= s[0];
        s[3] ^= s[1];
        s[1] ^= s[2];
        s[0] ^= s[3];
        s[2] ^= t;
        s[3] = std::rotl(s[3], 45);
        return r;
    }
    cf32 sample() {
        const float u = static_cast<float>((next() >> 40) + 1) * 0x1p-24f;
        const uint32_t idx = static_cast<uint32_t>(next() >> 48);
        const float ln = static_cast<float>(logl(static_cast<long double>(u)));
        const float rho = std::sqrt(-2.0f * ln) * amplitude;
        return {rho * lo_sin_lut[(idx + 16384) & 65535], rho * lo_sin_lut[idx]};
    }
};

Samples generate(Awgn *g, size_t n) {
    Samples out(n);
    EXPECT_EQ(awgn_generate(g, n, out.data(), n), n);
    return out;
}

bool same_bits(const Samples &a, const Samples &b) {
    // (memcmp must not see the null data of empty vectors)
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(cf32)) == 0);
}

TEST(AwgnStream, MatchesThePlainGeneratorBitForBit) {
    for (uint64_t seed : {0ull, 1ull, 0xDEADBEEFCAFEF00Dull}) {
        for (float amplitude : {1.0f, 0.3f}) {
            Awgn *g = awgn_create(seed, amplitude);  // fills the sine table the reference reads
            ReferenceNoise ref(seed, amplitude);
            Samples want(1003);  // not a multiple of the vector width
            for (cf32 &v : want) v = ref.sample();
            EXPECT_TRUE(same_bits(generate(g, want.size()), want)) << seed;
            awgn_destroy(g);
        }
    }
}

// Every generator path gives the plain generator's samples for any count, and leaves the
// stream where the next sample follows on.
class NoisePaths : public testing::TestWithParam<qn::test::PathAndLength> {};

TEST_P(NoisePaths, MatchThePlainGeneratorAndContinueIt) {
    const auto [level, n] = GetParam();
    for (uint64_t seed : {0ull, 0xDEADBEEFCAFEF00Dull}) {
        Awgn *g = awgn_create(seed, 0.3f);
        ReferenceNoise ref(seed, 0.3f);
        Samples want(n + 5);
        for (cf32 &v : want) v = ref.sample();
        Samples got(n + 5);
        qn::generate_noise(g, level, got.data(), n);
        qn::generate_noise(g, qn::SimdLevel::scalar, got.data() + n, 5);
        EXPECT_TRUE(same_bits(got, want)) << seed;
        awgn_destroy(g);
    }
}

// Laid onto a signal, every path gives noise * gain + signal in that float order, the signs
// of zero included.
TEST_P(NoisePaths, LaidOntoASignalAddTheScaledNoise) {
    const auto [level, n] = GetParam();
    const float gain = 0.7f;
    Samples signal(n);
    for (size_t k = 0; k < n; ++k)
        signal[k] = k % 3 ? cf32{0.25f * static_cast<float>(k % 7) - 1.0f, -0.5f} : cf32{-0.0f, 0.0f};
    Awgn *g = awgn_create(9, 0.3f);
    ReferenceNoise ref(9, 0.3f);
    Samples want(n);
    for (size_t k = 0; k < n; ++k) {
        const cf32 z = ref.sample();
        want[k] = cf32{z.re * gain + signal[k].re, z.im * gain + signal[k].im};
    }
    Samples got(n);
    const qn::NoiseOnto onto{gain, signal.data()};
    qn::generate_noise(g, level, got.data(), n, &onto);
    EXPECT_TRUE(same_bits(got, want));
    awgn_destroy(g);
}

QN_INSTANTIATE_OVER_PATHS(NoisePaths);

bool ln_correctly_rounded(uint32_t m) {
    const float u = static_cast<float>(m) * 0x1p-24f;
    return qn::ln_u24(m) == static_cast<float>(logl(static_cast<long double>(u)));
}

// The logarithm the generator used before its table-driven form, kept here verbatim as the
// definition of the stream's radius: ln(2^e f) = e ln 2 + 2 atanh((f - 1) / (f + 1)) with f
// folded into [sqrt(1/2), sqrt(2)], in double precision, rounded once.
float earlier_ln_u24(uint32_t m) {
    constexpr double c[] = {0.3333333333333335,  0.19999999999949095, 0.14285714313285103, 0.11111105518908294,
                            0.09091448091741543, 0.07665743617932867, 0.07309671726756307};
    constexpr double kLn2Hi = 0x1.62e42fee00000p-1;
    constexpr double kLn2Lo = 0x1.a39ef35793c76p-33;
    const uint32_t bits = std::bit_cast<uint32_t>(static_cast<float>(m));
    int32_t e = static_cast<int32_t>(bits >> 23) - (127 + 24);
    uint32_t mant = (bits & 0x007FFFFFu) | 0x3F800000u;
    if (mant > 0x3FB504F3u) {
        mant -= 0x00800000u;
        e += 1;
    }
    const double f = std::bit_cast<float>(mant), ed = e;
    const double s = (f - 1.0) / (f + 1.0);
    const double z = s * s;
    const double z2 = z * z;
    const double z4 = z2 * z2;
    const double p = ((c[0] + z * c[1]) + z2 * (c[2] + z * c[3])) + z4 * ((c[4] + z * c[5]) + z2 * c[6]);
    const double two_s = s + s;
    return static_cast<float>(ed * kLn2Hi + (two_s + (two_s * z * p + ed * kLn2Lo)));
}

// The logarithm equals the earlier one for every one of its 2^24 arguments, and so does every
// vector kernel's radius; it is correctly rounded (checked against long double on a sample,
// dense near the powers of two), so its bits cannot depend on the machine.
TEST(AwgnStream, LogarithmAndKernelsEqualTheEarlierRadiusEverywhere) {
    long differ = 0;
    for (uint32_t m = 1; m <= (1u << 24); ++m) differ += qn::ln_u24(m) != earlier_ln_u24(m);
    EXPECT_EQ(differ, 0);

    long wrong_ln = 0;
    for (uint32_t m = 1; m <= (1u << 24); m += 29) wrong_ln += !ln_correctly_rounded(m);
    for (uint32_t p = 1; p <= (1u << 24); p <<= 1)
        for (uint32_t m = p - p / 64; m <= p + p / 64 && m <= (1u << 24); ++m) wrong_ln += !ln_correctly_rounded(m);
    EXPECT_EQ(wrong_ln, 0);
    EXPECT_EQ(qn::ln_u24(1u << 24), 0.0f);
    EXPECT_EQ(qn::noise_radius(1u << 24, 1.0f), 0.0f);

    long wrong_kernel = 0;
    for (uint32_t m = 1; m <= (1u << 24); m += 4) {
        const uint32_t ms[4] = {m, m + 1, m + 2, m + 3};
        for (auto kernel : qn::simd_levels_here()) {
            float radius[4];
            qn::noise_radius4(kernel, ms, 0.75f, radius);
            for (int j = 0; j < 4; ++j)
                wrong_kernel += radius[j] != std::sqrt(-2.0f * earlier_ln_u24(ms[j])) * 0.75f;
        }
    }
    EXPECT_EQ(wrong_kernel, 0);
}

TEST(AwgnSeeding, SplitMixWordsAndLanesInTheBlob) {
    Awgn *g = awgn_create(0, 1.0f);
    ASSERT_EQ(awgn_state_bytes(g), 304u);
    Bytes blob(304);
    awgn_get_state(g, blob.data());
    const Bytes header = {'A', 'W', 'G', 'N', 1, 0, 1, 0, 0x30, 1, 0, 0, 0, 0, 0, 0};
    EXPECT_TRUE(std::equal(header.begin(), header.end(), blob.begin()));
    // The first SplitMix64 outputs from state 0.
    const uint64_t splitmix0[] = {0xE220A8397B1DCDAFull, 0x6E789E6AA1B965F4ull, 0x06C45D188009454Full,
                                  0xF88BB8A8724C81ECull};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(qn::test::read_le<uint64_t>(blob, 16 + 8 * i), splitmix0[i]) << i;
    // Lane j, word i is output i + j: lane 0 equals s, neighbouring lanes share shifted words.
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 8; ++j) {
            const uint64_t word = qn::test::read_le<uint64_t>(blob, 48 + 64 * i + 8 * j);
            EXPECT_EQ(word, ReferenceNoise::mix((i + j + 1) * 0x9E3779B97F4A7C15ull)) << i << "," << j;
            if (i + j < 4) {
                EXPECT_EQ(word, splitmix0[i + j]);
            }
        }
    awgn_destroy(g);
}

TEST(AwgnStream, ResetReseedSplitsAndOneShot) {
    Awgn *a = awgn_create(42, 1.0f);
    Awgn *b = awgn_create(42, 1.0f);
    const Samples first = generate(a, 100);
    EXPECT_TRUE(same_bits(first, generate(b, 100)));

    Samples split(100);
    awgn_reset(a);
    EXPECT_EQ(awgn_generate(a, 60, split.data(), 60), 60u);
    EXPECT_EQ(awgn_generate(a, 40, split.data() + 60, 100), 40u);
    EXPECT_TRUE(same_bits(first, split));
    EXPECT_EQ(awgn_generate(a, 10, split.data(), 3), 3u);
    EXPECT_EQ(awgn_generate(a, 0, split.data(), 3), 0u);
    EXPECT_EQ(awgn_generate(nullptr, 10, split.data(), 10), 0u);
    EXPECT_EQ(awgn_generate(a, 10, nullptr, 10), 0u);

    awgn_reseed(b, 7);
    const Samples seven = generate(b, 100);
    EXPECT_FALSE(same_bits(first, seven));
    awgn_reseed(b, 42);
    EXPECT_TRUE(same_bits(first, generate(b, 100)));

    Samples one_shot(100);
    EXPECT_EQ(awgn(7, 100, one_shot.data(), 1.0f), 0);
    EXPECT_TRUE(same_bits(seven, one_shot));
    EXPECT_EQ(awgn(7, 5, nullptr, 1.0f), -1);
    EXPECT_EQ(awgn(7, 0, nullptr, 1.0f), 0);
    awgn_destroy(a);
    awgn_destroy(b);
    awgn_destroy(nullptr);
    EXPECT_EQ(awgn_generate_max_out(), 65536u);
}

TEST(AwgnStream, AmplitudeScalesAndZeroStillAdvances) {
    Awgn *silent = awgn_create(3, 0.0f);
    Awgn *loud = awgn_create(3, 2.0f);
    const Samples zeros = generate(silent, 257);
    for (const cf32 &z : zeros) ASSERT_TRUE(z.re == 0.0f && z.im == 0.0f);
    generate(loud, 257);
    Bytes s1(304), s2(304);
    awgn_get_state(silent, s1.data());
    awgn_get_state(loud, s2.data());
    EXPECT_EQ(s1, s2);  // two generator steps per sample whatever the amplitude

    awgn_set_amplitude(silent, 0.5f);
    EXPECT_EQ(awgn_get_amplitude(silent), 0.5f);
    awgn_reset(silent);
    awgn_reset(loud);
    const Samples half = generate(silent, 64), twice = generate(loud, 64);
    for (size_t k = 0; k < 64; ++k) {
        EXPECT_FLOAT_EQ(twice[k].re, 4.0f * half[k].re);
        EXPECT_FLOAT_EQ(twice[k].im, 4.0f * half[k].im);
    }
    awgn_destroy(silent);
    awgn_destroy(loud);
}

TEST(AwgnStream, GaussianStatistics) {
    const float amplitude = 0.5f;
    Awgn *g = awgn_create(11, amplitude);
    const Samples x = generate(g, 400000);
    double sum_re = 0, sum_im = 0, power = 0, cross = 0, fourth = 0;
    for (const cf32 &v : x) {
        sum_re += v.re;
        sum_im += v.im;
        power += double(v.re) * v.re + double(v.im) * v.im;
        cross += double(v.re) * v.im;
        fourth += std::pow(double(v.re), 4);
    }
    const double n = double(x.size()), var = double(amplitude) * amplitude;
    EXPECT_NEAR(sum_re / n, 0.0, 0.005);
    EXPECT_NEAR(sum_im / n, 0.0, 0.005);
    EXPECT_NEAR(power / n, 2 * var, 0.01 * 2 * var);
    EXPECT_NEAR(cross / n, 0.0, 0.01 * var);
    EXPECT_NEAR(fourth / n / (var * var), 3.0, 0.06);  // Gaussian kurtosis
    awgn_destroy(g);
}

TEST(AwgnSnr, AmplitudeForSnr) {
    EXPECT_EQ(awgn_amplitude_for_snr(0.0f, 1.0f), 0.70710677f);
    for (float snr : {-10.0f, 0.0f, 13.0f, 30.0f}) {
        const float a = awgn_amplitude_for_snr(snr, 2.0f);
        EXPECT_NEAR(2.0 * a * a, 2.0 / std::pow(10.0, snr / 10.0), 1e-5 * 2.0 / std::pow(10.0, snr / 10.0));
        EXPECT_NEAR(awgn_amplitude_for_snr(snr + 10.0f, 2.0f), a / std::sqrt(10.0f), 1e-6 * a);
    }
}

TEST(AwgnState, RoundTripAndRefusals) {
    Awgn *g = awgn_create(99, 1.0f);
    generate(g, 37);
    Bytes blob(304);
    awgn_get_state(g, blob.data());
    const Samples rest = generate(g, 50);

    Awgn *other = awgn_create(5, 1.0f);
    ASSERT_EQ(awgn_set_state(other, blob.data()), 0);
    EXPECT_TRUE(same_bits(rest, generate(other, 50)));

    Bytes before(304), after(304);
    for (const auto &damage : qn::test::kHeaderDamages) {
        Bytes bad = blob;
        bad[damage.offset] = damage.value;
        awgn_get_state(other, before.data());
        EXPECT_EQ(awgn_set_state(other, bad.data()), -4) << damage.what;
        awgn_get_state(other, after.data());
        EXPECT_EQ(before, after) << damage.what;
    }
    Bytes small = blob, version2 = blob;
    qn::test::write_le<uint32_t>(small, 8, 20);
    version2[4] = 2;
    EXPECT_EQ(awgn_set_state(other, small.data()), -4);
    EXPECT_EQ(awgn_set_state(other, version2.data()), -4);
    awgn_destroy(g);
    awgn_destroy(other);
}

}  // namespace

namespace {

// FNV-1a over the bytes of a stream: a compact fingerprint of millions of samples.
uint64_t fingerprint(const Samples &x) {
    uint64_t h = 0xCBF29CE484222325ull;
    const auto *bytes = reinterpret_cast<const unsigned char *>(x.data());
    for (size_t k = 0; k < x.size() * sizeof(cf32); ++k) h = (h ^ bytes[k]) * 0x100000001B3ull;
    return h;
}

// Call sizes below, at and above every block size the generator might use, and odd ones.
constexpr size_t kIrregularCalls[] = {1,     3,    4093, 65536, 70001, 5,      8191,  16391,
                                      131072, 2048, 4096, 33333, 4095, 262147, 12289, 7};

Samples stream_in_calls(Awgn *g, size_t total) {
    Samples out(total);
    for (size_t done = 0, call = 0; done < total; ++call) {
        const size_t n = std::min(kIrregularCalls[call % std::size(kIrregularCalls)], total - done);
        EXPECT_EQ(awgn_generate(g, n, out.data() + done, n), n);
        done += n;
    }
    return out;
}

// A long stream, pinned by fingerprints of its known output, is the same whether it comes in
// one call or in calls of irregular sizes, and whatever path the CPU runs.
TEST(AwgnStream, LongStreamsKeepTheirKnownFingerprints) {
    struct Case {
        uint64_t seed;
        float amplitude;
        uint64_t fingerprint;
    };
    const Case cases[] = {
        {0, 1.0f, 0xD1F8FA7F59F68C82ull},
        {1, 0.7f, 0xF1EECDDBFD0F0321ull},
        {0xDEADBEEFCAFEF00Dull, 1.0f, 0x869F9B607B78641Bull},
        {12345678901234567ull, 0.25f, 0x4A7AEAFA8A1B203Eull},
    };
    constexpr size_t kTotal = 1500000;
    for (const Case &c : cases) {
        Awgn *g = awgn_create(c.seed, c.amplitude);
        const Samples whole = generate(g, kTotal);
        EXPECT_EQ(fingerprint(whole), c.fingerprint) << c.seed;
        awgn_reset(g);
        EXPECT_TRUE(same_bits(stream_in_calls(g, kTotal), whole)) << c.seed;
        for (auto level : qn::simd_levels_here()) {
            awgn_reset(g);
            Samples got(kTotal);
            for (size_t done = 0, call = 0; done < kTotal; ++call) {
                const size_t n = std::min(kIrregularCalls[(call + 5) % std::size(kIrregularCalls)], kTotal - done);
                qn::generate_noise(g, level, got.data() + done, n);
                done += n;
            }
            EXPECT_TRUE(same_bits(got, whole)) << c.seed << " level " << int(level);
        }
        awgn_destroy(g);
    }
}

}  // namespace
