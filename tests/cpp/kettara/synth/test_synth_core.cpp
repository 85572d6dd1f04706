// Waveform synthesiser: creation, configuration, stepping, state blob.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "awgn_core.h"
#include "det_math.hpp"
#include "lo_core.h"
#include "pn_core.h"
#include "wfm_dsp.h"
#include "wfm_spec.h"
#include "wfm_synth_core.h"

namespace {

struct SynthDeleter {
    void operator()(Synth *s) const { wfm_synth_destroy(s); }
};
using SynthPtr = std::unique_ptr<Synth, SynthDeleter>;

constexpr double kNoNoise = 100.0;

SynthPtr make(uint32_t wtype, int nsps = 1, double freq = 0.0, double snr = kNoNoise, int mode = WFM_MODE_FS,
              uint32_t seed = 7, double f_end = 0.0, uint32_t pn_length = 9) {
    return SynthPtr(wfm_synth_create(wtype, mode, seed, nsps, pn_length, 0, 1.0, freq, snr, f_end, 0));
}

std::vector<cf32> run(Synth *s, size_t n) {
    std::vector<cf32> out(n);
    wfm_synth_steps(s, out.data(), n);
    return out;
}

std::vector<cf32> run_in_blocks(Synth *s, size_t n, size_t block) {
    std::vector<cf32> out(n);
    for (size_t done = 0; done < n; done += std::min(block, n - done)) {
        wfm_synth_steps(s, out.data() + done, std::min(block, n - done));
    }
    return out;
}

bool same_bits(const std::vector<cf32> &a, const std::vector<cf32> &b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(cf32)) == 0;
}

std::vector<uint8_t> state_of(const Synth *s) {
    std::vector<uint8_t> blob(wfm_synth_state_bytes(s));
    wfm_synth_get_state(s, blob.data());
    return blob;
}

std::vector<uint8_t> pn_chips(uint64_t seed, uint32_t degree, size_t n) {
    PnGen *pn = pn_create(pn_default_poly(degree), seed, degree, 0);
    std::vector<uint8_t> chips(n);
    pn_generate(pn, n, chips.data(), n);
    pn_destroy(pn);
    return chips;
}

std::vector<float> rrc_taps(int sps, int span, double beta) {
    std::vector<float> taps(2 * sps * span + 1);
    wfm_rrc_taps(sps, span, taps.data(), beta);
    return taps;
}

void expect_cf32(cf32 got, float re, float im) {
    EXPECT_EQ(got.re, re);
    EXPECT_EQ(got.im, im);
}

// ---------------------------------------------------------------------------------------
// Creation

TEST(SynthCreate, StoresSamplesPerSymbolOfAtLeastOne) {
    for (int nsps : {0, -3}) {
        SynthPtr s = make(WFM_TYPE_BPSK, nsps);
        ASSERT_TRUE(s);
        EXPECT_EQ(wfm_synth_get_nsps(s.get()), 1);
    }
}

TEST(SynthCreate, PnTypesNeedAPolynomialDsssDoesNot) {
    for (uint32_t t : {WFM_TYPE_PN, WFM_TYPE_BPSK, WFM_TYPE_QPSK}) {
        EXPECT_FALSE(make(t, 1, 0.0, kNoNoise, WFM_MODE_FS, 7, 0.0, 65)) << t;
    }
    SynthPtr dsss = make(WFM_TYPE_DSSS, 1, 0.0, kNoNoise, WFM_MODE_FS, 7, 0.0, 65);
    ASSERT_TRUE(dsss);
    EXPECT_EQ(wfm_synth_state_bytes(dsss.get()), 83u);  // no PN generator
}

TEST(SynthCreate, ToneWithoutOffsetOrNoiseIsTheConstantOne) {
    SynthPtr s = make(WFM_TYPE_TONE);
    EXPECT_EQ(wfm_synth_state_bytes(s.get()), 83u);
    for (cf32 v : run(s.get(), 5)) expect_cf32(v, 1.0f, 0.0f);
}

TEST(SynthCreate, NoiseOnlyBelowOneHundredDecibels) {
    EXPECT_EQ(wfm_synth_state_bytes(make(WFM_TYPE_TONE, 1, 0.0, 100.0).get()), 83u);
    EXPECT_EQ(wfm_synth_state_bytes(make(WFM_TYPE_TONE, 1, 0.0, NAN).get()), 83u);
    EXPECT_EQ(wfm_synth_state_bytes(make(WFM_TYPE_TONE, 1, 0.0, 99.9).get()), 83u + 304u);
}

// The noise generator runs at the amplitude of the per-sample SNR the mode asks for.
struct NoiseCase {
    uint32_t wtype;
    int mode;
    int nsps;
    double snr;
    double per_sample_snr;
};

class SynthNoiseLevel : public ::testing::TestWithParam<NoiseCase> {};

TEST_P(SynthNoiseLevel, MatchesAGeneratorAtTheConvertedSnr) {
    const NoiseCase c = GetParam();
    SynthPtr s = make(c.wtype, c.nsps, 0.0, c.snr, c.mode, 99);
    ASSERT_TRUE(s);
    std::vector<cf32> got(64), want(64);
    wfm_synth_noise_steps(s.get(), got.data(), got.size());
    Awgn *ref = awgn_create(99, awgn_amplitude_for_snr(static_cast<float>(c.per_sample_snr), 1.0f));
    awgn_generate(ref, want.size(), want.data(), want.size());
    awgn_destroy(ref);
    EXPECT_TRUE(same_bits(got, want));
}

const double kLog8 = 10.0 * std::log10(8.0);
const double kLog4 = 10.0 * std::log10(4.0);

INSTANTIATE_TEST_SUITE_P(
    Modes, SynthNoiseLevel,
    ::testing::Values(NoiseCase{WFM_TYPE_BPSK, WFM_MODE_AUTO, 8, 10.0, 10.0 - kLog8},
                      NoiseCase{WFM_TYPE_QPSK, WFM_MODE_AUTO, 8, 10.0, 10.0 - kLog8},
                      NoiseCase{WFM_TYPE_BITS, WFM_MODE_AUTO, 8, 10.0, 10.0},
                      NoiseCase{WFM_TYPE_BPSK, WFM_MODE_FS, 8, 10.0, 10.0},
                      NoiseCase{WFM_TYPE_QPSK, WFM_MODE_EBNO, 4, 10.0, (10.0 + 3.010299956639812) - kLog4},
                      NoiseCase{WFM_TYPE_BITS, WFM_MODE_EBNO, 4, 10.0, 10.0 - kLog4},
                      NoiseCase{WFM_TYPE_TONE, WFM_MODE_ESNO, 8, 10.0, 10.0 - kLog8},
                      NoiseCase{WFM_TYPE_BPSK, 9, 8, 10.0, 10.0}));

TEST(SynthCreate, NoiseTypeIsUnitPowerWhateverItsSnr) {
    SynthPtr s = make(WFM_TYPE_NOISE, 1, 0.0, 40.0, WFM_MODE_ESNO);
    const std::vector<cf32> v = run(s.get(), 200000);
    double p = 0.0;
    for (cf32 x : v) p += double(x.re) * x.re + double(x.im) * x.im;
    EXPECT_NEAR(p / v.size(), 1.0, 0.01);
}

// ---------------------------------------------------------------------------------------
// Configuration

TEST(SynthConfig, CallsOnAnotherTypeChangeNothing) {
    SynthPtr tone = make(WFM_TYPE_TONE);
    const uint8_t bits[] = {1, 0};
    const cf32 sym{1.0f, 1.0f};
    const float taps[] = {1.0f};
    EXPECT_EQ(wfm_synth_set_bits(tone.get(), bits, 2, 1), 0);
    EXPECT_EQ(wfm_synth_set_symbols(tone.get(), &sym, 1), 0);
    EXPECT_EQ(wfm_synth_set_dsss_cont(tone.get(), bits, 2, 1, bits, 2, 2.0), 0);
    EXPECT_EQ(wfm_synth_set_rrc(tone.get(), taps, 1), 0);
    EXPECT_EQ(wfm_synth_state_bytes(tone.get()), 83u);
    for (cf32 v : run(tone.get(), 4)) expect_cf32(v, 1.0f, 0.0f);
}

TEST(SynthConfig, BadArgumentsAreRefusedAndKeepThePreviousSetting) {
    SynthPtr bits = make(WFM_TYPE_BITS);
    const uint8_t one[] = {1};
    ASSERT_EQ(wfm_synth_set_bits(bits.get(), one, 1, 0), 0);
    EXPECT_EQ(wfm_synth_set_bits(bits.get(), one, 0, 0), -1);
    EXPECT_EQ(wfm_synth_set_bits(bits.get(), nullptr, 1, 0), -1);
    EXPECT_EQ(wfm_synth_set_bits(bits.get(), one, 1, WFM_BITMOD_COUNT), -1);
    for (cf32 v : run(bits.get(), 3)) expect_cf32(v, 1.0f, 0.0f);  // still on-off keyed 1s

    SynthPtr syms = make(WFM_TYPE_SYMBOLS);
    EXPECT_EQ(wfm_synth_set_symbols(syms.get(), nullptr, 1), -1);

    SynthPtr dsss = make(WFM_TYPE_DSSS);
    const uint8_t code[] = {1, 0, 1};
    EXPECT_EQ(wfm_synth_set_dsss_cont(dsss.get(), nullptr, 3, 0, nullptr, 0, 2.0), -1);
    EXPECT_EQ(wfm_synth_set_dsss_cont(dsss.get(), code, 0, 0, nullptr, 0, 2.0), -1);
    EXPECT_EQ(wfm_synth_set_dsss_cont(dsss.get(), code, 3, 0, nullptr, 0, 0.5), -1);
    EXPECT_EQ(wfm_synth_set_dsss_cont(dsss.get(), code, 3, 0, nullptr, 0, NAN), -1);
    EXPECT_EQ(wfm_synth_set_dsss_cont(dsss.get(), code, 3, 3, nullptr, 0, 2.0), -1);
    EXPECT_EQ(wfm_synth_set_dsss_cont(dsss.get(), code, 3, 1, nullptr, 0, 2.0), -1);
    SynthPtr no_pn = make(WFM_TYPE_DSSS, 1, 0.0, kNoNoise, WFM_MODE_FS, 7, 0.0, 65);
    EXPECT_EQ(wfm_synth_set_dsss_cont(no_pn.get(), code, 3, 2, nullptr, 0, 2.0), -1);
    EXPECT_EQ(wfm_synth_set_dsss(dsss.get(), nullptr, 0, 0, nullptr, 0, nullptr, 0, code, 3, 0), -1);
}

// Which shaping filter the taps install shows in the blob's presence bytes.
TEST(SynthConfig, RrcInstallsAnInterpolatorAtPowersOfTwoElseAFir) {
    struct Case {
        int nsps;
        bool fir;
    };
    for (Case c : {Case{8, false}, Case{6, true}, Case{1, false}}) {
        SynthPtr s = make(WFM_TYPE_BPSK, c.nsps);
        const std::vector<float> taps = rrc_taps(c.nsps, 4, 0.35);
        ASSERT_EQ(wfm_synth_set_rrc(s.get(), taps.data(), taps.size()), 0);
        const std::vector<uint8_t> blob = state_of(s.get());
        EXPECT_EQ(blob[78], c.fir ? 1 : 0) << c.nsps;
        EXPECT_EQ(blob[79], c.fir ? 0 : 1) << c.nsps;
    }
}

TEST(SynthConfig, ChirpSpanIsSetOnce) {
    SynthPtr once = make(WFM_TYPE_CHIRP, 1, 0.0, kNoNoise, WFM_MODE_FS, 7, 0.2);
    SynthPtr twice = make(WFM_TYPE_CHIRP, 1, 0.0, kNoNoise, WFM_MODE_FS, 7, 0.2);
    wfm_synth_set_chirp_span(once.get(), 100);
    wfm_synth_set_chirp_span(twice.get(), 100);
    wfm_synth_set_chirp_span(twice.get(), 10);
    EXPECT_TRUE(same_bits(run(once.get(), 300), run(twice.get(), 300)));
}

TEST(SynthConfig, ResetReturnsToTheStreamStart) {
    SynthPtr s = make(WFM_TYPE_QPSK, 6, 0.01, 5.0);
    const std::vector<float> taps = rrc_taps(6, 3, 0.25);
    ASSERT_EQ(wfm_synth_set_rrc(s.get(), taps.data(), taps.size()), 0);
    const std::vector<cf32> first = run(s.get(), 1000);
    wfm_synth_reset(s.get());
    EXPECT_TRUE(same_bits(run(s.get(), 1000), first));
}

// ---------------------------------------------------------------------------------------
// Stepping: exact values

TEST(SynthSteps, QuarterRateToneFollowsTheOscillatorTable) {
    SynthPtr s = make(WFM_TYPE_TONE, 1, 0.25);
    Lo *lo = lo_create(0.25);
    std::vector<cf32> want(8);
    lo_steps(lo, 8, want.data(), 8);
    lo_destroy(lo);
    const std::vector<cf32> got = run(s.get(), 8);
    for (size_t k = 0; k < 8; ++k) expect_cf32(got[k], want[k].re, want[k].im);
    EXPECT_NEAR(got[1].im, 1.0f, 1e-6f);
    EXPECT_NEAR(got[2].re, -1.0f, 1e-6f);
}

TEST(SynthSteps, RectangularBpskHoldsEachChipForItsSymbol) {
    SynthPtr s = make(WFM_TYPE_BPSK, 4, 0.0, kNoNoise, WFM_MODE_FS, 5, 0.0, 7);
    const std::vector<cf32> got = run_in_blocks(s.get(), 8, 3);  // calls of 3, 3, 2
    const std::vector<uint8_t> chips = pn_chips(5, 7, 2);
    for (size_t k = 0; k < 8; ++k) expect_cf32(got[k], chips[k / 4] ? -1.0f : 1.0f, 0.0f);
}

TEST(SynthSteps, QpskMapsChipPairsToQuadrants) {
    SynthPtr s = make(WFM_TYPE_QPSK, 1, 0.0, kNoNoise, WFM_MODE_FS, 3, 0.0, 5);
    const std::vector<cf32> got = run(s.get(), 16);
    const std::vector<uint8_t> chips = pn_chips(3, 5, 32);
    for (size_t k = 0; k < 16; ++k) {
        expect_cf32(got[k], chips[2 * k] ? -0.70710677f : 0.70710677f, chips[2 * k + 1] ? -0.70710677f : 0.70710677f);
    }
}

struct BitsCase {
    std::vector<uint8_t> pattern;
    uint32_t modulation;
    std::vector<cf32> symbols;  // one per symbol, repeating with the pattern
};

class SynthBits : public ::testing::TestWithParam<BitsCase> {};

TEST_P(SynthBits, MapsPatternsToGrayCodedPoints) {
    const BitsCase &c = GetParam();
    SynthPtr s = make(WFM_TYPE_BITS, 2);
    ASSERT_EQ(wfm_synth_set_bits(s.get(), c.pattern.data(), c.pattern.size(), c.modulation), 0);
    const size_t n = 4 * c.symbols.size();
    const std::vector<cf32> got = run(s.get(), n);
    for (size_t k = 0; k < n; ++k) {
        const cf32 want = c.symbols[(k / 2) % c.symbols.size()];
        expect_cf32(got[k], want.re, want.im);
    }
}

// Point k of an M-point constellation, as the mapping defines it.
cf32 psk(int k, int m, double offset = 0.0) {
    const double angle = k * 6.283185307179586 / m + offset;
    return cf32{static_cast<float>(std::cos(angle)), static_cast<float>(std::sin(angle))};
}
const double kQuarterPi = 0.7853981633974483;

INSTANTIATE_TEST_SUITE_P(
    Modulations, SynthBits,
    ::testing::Values(
        BitsCase{{1, 0}, 0, {{1.0f, 0.0f}, {0.0f, 0.0f}}},
        BitsCase{{0, 1}, 1, {{1.0f, 0.0f}, {-1.0f, 1.2246468e-16f}}},
        BitsCase{{1, 1}, 2, {psk(2, 4, kQuarterPi)}},
        // 00, 01, 11, 10 go round the quadrants
        BitsCase{{0, 0, 0, 1, 1, 1, 1, 0}, 2,
                 {{0.70710677f, 0.70710677f}, {-0.70710677f, 0.70710677f}, {-0.70710677f, -0.70710677f},
                  {0.70710677f, -0.70710677f}}},
        BitsCase{{1, 1, 1}, 3, {psk(5, 8)}},  // label 7 is point 5
        // a pattern shorter than a symbol wraps: 1 0 | 1 1 | 0 1 (byte 7 counts as 1)
        BitsCase{{7, 0, 1}, 2, {psk(3, 4, kQuarterPi), psk(2, 4, kQuarterPi), psk(1, 4, kQuarterPi)}}));

TEST(SynthSteps, SymbolsCycleInOrder) {
    SynthPtr s = make(WFM_TYPE_SYMBOLS);
    const cf32 syms[] = {{1.0f, 2.0f}, {3.0f, 4.0f}, {5.0f, 6.0f}};
    ASSERT_EQ(wfm_synth_set_symbols(s.get(), syms, 3), 0);
    const std::vector<cf32> got = run(s.get(), 7);
    for (size_t k = 0; k < 7; ++k) expect_cf32(got[k], syms[k % 3].re, syms[k % 3].im);
}

TEST(SynthSteps, ChirpFrequencyRampsOverItsFirstRequestThenHolds) {
    const double f0 = 0.01, f1 = 0.2;
    const size_t span = 1000;
    SynthPtr s = make(WFM_TYPE_CHIRP, 1, f0, kNoNoise, WFM_MODE_FS, 7, f1);
    std::vector<cf32> v = run(s.get(), span);
    const std::vector<cf32> tail = run(s.get(), 200);
    v.insert(v.end(), tail.begin(), tail.end());
    for (size_t k = 0; k + 1 < v.size(); ++k) {
        const double dphi = std::arg(std::complex<double>(v[k + 1].re, v[k + 1].im) *
                                     std::conj(std::complex<double>(v[k].re, v[k].im)));
        const double inst = dphi / (2.0 * M_PI);
        const double want = k < span ? f0 + (f1 - f0) * double(k) / span : f1;
        ASSERT_NEAR(inst, want, 2e-6) << k;
    }
}

// The phase recursion is fixed to the bit: (phase + f) + k * rate, wrapped by its floor,
// single-precision sine and cosine of the double phase.
TEST(SynthSteps, ChirpSamplesFollowThePhaseRecursionExactly) {
    struct Case {
        double f0, f1;
    };
    for (Case c : {Case{-0.2, 0.3}, Case{0.45, -0.45}, Case{0.0, 1.7}, Case{-3.25, -0.5}}) {
        constexpr uint64_t span = 700;
        SynthPtr s = make(WFM_TYPE_CHIRP, 1, c.f0, kNoNoise, WFM_MODE_FS, 7, c.f1);
        wfm_synth_set_chirp_span(s.get(), span);
        const std::vector<cf32> got = run(s.get(), 1000);
        const double rate = (c.f1 - c.f0) / double(span);
        double phase = 0.0;
        for (uint64_t k = 0; k < got.size(); ++k) {
            const float angle = static_cast<float>(6.283185307179586 * phase);
            cf32 want;
            qn::det_phasors(&angle, &want, 1);
            ASSERT_EQ(std::memcmp(&got[k], &want, sizeof want), 0) << k;
            phase = (phase + c.f0) + (k < span ? double(k) * rate : double(span) * rate);
            phase -= std::floor(phase);
        }
    }
}

// Single-precision phasors are the double-precision sine and cosine rounded, apart from
// rare halfway cases; angles outside the fast range and NaN take the general pair.
TEST(SynthSteps, PhasorsAreTheRoundedSineAndCosine) {
    std::vector<float> angles;
    for (float a = -8.5f; a <= 8.5f; a += 1.0e-4f) angles.push_back(a);
    for (float a : {100.0f, -1.0e6f, 3.0e30f, INFINITY, NAN}) angles.push_back(a);
    std::vector<cf32> got(angles.size());
    qn::det_phasors(angles.data(), got.data(), angles.size());
    size_t differ = 0;
    for (size_t i = 0; i < angles.size(); ++i) {
        double s, c;
        qn::det_sincos(angles[i], &s, &c);
        const cf32 want{static_cast<float>(c), static_cast<float>(s)};
        if (std::isnan(angles[i])) {
            EXPECT_TRUE(std::isnan(got[i].re) && std::isnan(got[i].im));
        } else if (std::memcmp(&got[i], &want, sizeof want) != 0) {
            ++differ;
            ASSERT_NEAR(got[i].re, want.re, 1.2e-7) << angles[i];
            ASSERT_NEAR(got[i].im, want.im, 1.2e-7) << angles[i];
        }
    }
    EXPECT_LT(differ, angles.size() / 10000);
}

TEST(SynthSteps, ContinuousDsssChangesDataBitsAtFractionalBoundaries) {
    SynthPtr s = make(WFM_TYPE_DSSS);
    const uint8_t code[] = {0};
    const uint8_t data[] = {1, 0, 1, 0};
    ASSERT_EQ(wfm_synth_set_dsss_cont(s.get(), code, 1, 1, data, 4, 2.5), 0);
    const std::vector<cf32> got = run(s.get(), 10);
    const float want[] = {-1, -1, -1, 1, 1, -1, -1, -1, 1, 1};
    for (size_t k = 0; k < 10; ++k) expect_cf32(got[k], want[k], 0.0f);
}

TEST(SynthSteps, FramedDsssReplacesContinuousSpreading) {
    SynthPtr s = make(WFM_TYPE_DSSS);
    const uint8_t code[] = {0, 1};
    const uint8_t payload[] = {1};
    ASSERT_EQ(wfm_synth_set_dsss_cont(s.get(), code, 2, 0, nullptr, 0, 1.0), 0);
    ASSERT_EQ(wfm_synth_set_dsss(s.get(), nullptr, 0, 0, code, 2, nullptr, 0, payload, 1, 0), 0);
    const std::vector<cf32> got = run(s.get(), 2);
    expect_cf32(got[0], -1.0f, 1.2246468e-16f);  // chip 1 (code 0 xor bit 1)
    expect_cf32(got[1], 1.0f, 0.0f);
}

// Stepping and noise-only stepping draw from one noise stream; a reseed restarts it.
TEST(SynthSteps, NoiseStepsContinueTheNoiseOfTheStream) {
    SynthPtr noise_only = make(WFM_TYPE_BPSK, 4, 0.1, 6.0);
    std::vector<cf32> want(100);
    wfm_synth_noise_steps(noise_only.get(), want.data(), want.size());

    SynthPtr mixed = make(WFM_TYPE_BPSK, 4, 0.1, 6.0);
    run(mixed.get(), 40);
    std::vector<cf32> rest(60);
    wfm_synth_noise_steps(mixed.get(), rest.data(), rest.size());
    EXPECT_TRUE(same_bits(rest, std::vector<cf32>(want.begin() + 40, want.end())));

    wfm_synth_reseed_noise(mixed.get(), 1234);
    wfm_synth_reseed_noise(nullptr, 1234);
    std::vector<cf32> reseeded(50), fresh(50);
    wfm_synth_noise_steps(mixed.get(), reseeded.data(), reseeded.size());
    Awgn *ref = awgn_create(1234, awgn_amplitude_for_snr(6.0f, 1.0f));
    awgn_generate(ref, fresh.size(), fresh.data(), fresh.size());
    awgn_destroy(ref);
    EXPECT_TRUE(same_bits(reseeded, fresh));
}

TEST(SynthSteps, NoiseStepsWithoutNoiseWriteZeros) {
    SynthPtr s = make(WFM_TYPE_BPSK);
    std::vector<cf32> v(10, cf32{5.0f, 5.0f});
    wfm_synth_noise_steps(s.get(), v.data(), v.size());
    for (cf32 x : v) expect_cf32(x, 0.0f, 0.0f);
}

// The chirp's sine-cosine pair is bit for bit the separate machine-independent functions,
// halfway points of the quadrant rounding and huge arguments included.
TEST(SynthSteps, ChirpSineCosinePairEqualsTheSeparateFunctions) {
    const auto bits = [](double v) {
        uint64_t u;
        std::memcpy(&u, &v, sizeof u);
        return u;
    };
    const double xs[] = {0.0, -0.0, 0.7853981633974483, 2.356194490192345, -3.9269908169872414,
                         6.2831855, 1e-300, 123456.789, -987654.321, 3.0e15, -7.1e18, 1e300, NAN, INFINITY};
    for (double x : xs) {
        double s, c;
        qn::det_sincos(x, &s, &c);
        EXPECT_EQ(bits(s), bits(qn::det_sin(x))) << x;
        EXPECT_EQ(bits(c), bits(qn::det_cos(x))) << x;
        if (std::fabs(x) < 1e6) {
            EXPECT_NEAR(s, std::sin(x), 2e-16) << x;
            EXPECT_NEAR(c, std::cos(x), 2e-16) << x;
        }
    }
}

// ---------------------------------------------------------------------------------------
// Call-size independence and save/restore, over every kind of source

struct Recipe {
    std::string name;
    std::function<SynthPtr()> build;
};

SynthPtr with_rrc(SynthPtr s, int nsps) {
    const std::vector<float> taps = rrc_taps(nsps, 4, 0.35);
    wfm_synth_set_rrc(s.get(), taps.data(), taps.size());
    return s;
}

std::vector<Recipe> recipes() {
    static const uint8_t bits[] = {1, 0, 0, 1, 1, 1, 0};
    static const cf32 syms[] = {{1.0f, 0.5f}, {-0.5f, 1.0f}, {0.0f, -1.0f}};
    static const uint8_t code[] = {1, 1, 0, 1, 0};
    return {
        {"tone", [] { return make(WFM_TYPE_TONE, 1, 0.013, 20.0); }},
        {"noise", [] { return make(WFM_TYPE_NOISE); }},
        {"pn", [] { return make(WFM_TYPE_PN, 3, 0.0, 10.0, WFM_MODE_AUTO); }},
        {"bpsk_fir", [] { return with_rrc(make(WFM_TYPE_BPSK, 6, -0.1, 12.0), 6); }},
        {"qpsk_interp", [] { return with_rrc(make(WFM_TYPE_QPSK, 8, 0.05, 8.0, WFM_MODE_EBNO), 8); }},
        {"qpsk_one_phase", [] { return with_rrc(make(WFM_TYPE_QPSK, 1, 0.0, 3.0), 1); }},
        {"chirp", [] {
             SynthPtr s = make(WFM_TYPE_CHIRP, 1, -0.2, 15.0, WFM_MODE_FS, 7, 0.3);
             wfm_synth_set_chirp_span(s.get(), 7000);
             return s;
         }},
        {"bits", [] {
             SynthPtr s = make(WFM_TYPE_BITS, 5, 0.02);
             wfm_synth_set_bits(s.get(), bits, sizeof bits, 3);
             return s;
         }},
        {"bits_interp", [] {
             SynthPtr s = make(WFM_TYPE_BITS, 4);
             wfm_synth_set_bits(s.get(), bits, sizeof bits, 2);
             return with_rrc(std::move(s), 4);
         }},
        {"symbols", [] {
             SynthPtr s = make(WFM_TYPE_SYMBOLS, 3, 0.0, 6.0);
             wfm_synth_set_symbols(s.get(), syms, 3);
             return with_rrc(std::move(s), 3);
         }},
        {"dsss_framed", [] {
             SynthPtr s = make(WFM_TYPE_DSSS, 2, 0.1);
             wfm_synth_set_dsss(s.get(), code, 5, 2, code, 5, bits, 3, bits, 7, 1);
             return s;
         }},
        {"dsss_continuous_pn", [] {
             SynthPtr s = make(WFM_TYPE_DSSS, 2, 0.0, 4.0);
             wfm_synth_set_dsss_cont(s.get(), code, 5, 2, nullptr, 0, 3.7);
             return s;
         }},
        {"qam1024_interp", [] { return with_rrc(make(WFM_TYPE_1024QAM, 4, 0.03, 25.0, WFM_MODE_AUTO, 7, 0.0, 23), 4); }},
        {"psk8_fir", [] { return with_rrc(make(WFM_TYPE_8PSK, 6, 0.0, 12.0, WFM_MODE_EBNO), 6); }},
        {"pi4qpsk", [] { return make(WFM_TYPE_PI4QPSK, 3, -0.05, 9.0); }},
        {"oqpsk_interp", [] { return with_rrc(make(WFM_TYPE_OQPSK, 8, 0.0, 9.0), 8); }},
        {"bits_oqpsk", [] {
             SynthPtr s = make(WFM_TYPE_BITS, 6);
             wfm_synth_set_bits(s.get(), bits, sizeof bits, WFM_BITMOD_OQPSK);
             return s;
         }},
        {"bits_pi4qpsk_fir", [] {
             SynthPtr s = make(WFM_TYPE_BITS, 5);
             wfm_synth_set_bits(s.get(), bits, sizeof bits, WFM_BITMOD_PI4QPSK);
             return with_rrc(std::move(s), 5);
         }},
    };
}

class SynthStream : public ::testing::TestWithParam<Recipe> {};

TEST_P(SynthStream, BlockSizesDoNotChangeTheSamples) {
    constexpr size_t n = 3 * 4096 + 5;
    const std::vector<cf32> whole = run(GetParam().build().get(), n);
    for (size_t block : {size_t{1}, size_t{4095}, size_t{4096}, size_t{4097}}) {
        EXPECT_TRUE(same_bits(run_in_blocks(GetParam().build().get(), n, block), whole)) << block;
    }
}

TEST_P(SynthStream, RestoredStateContinuesBitIdentically) {
    for (size_t cut : {size_t{0}, size_t{1}, size_t{2047}, size_t{5001}}) {
        SynthPtr a = GetParam().build();
        run(a.get(), cut);
        const std::vector<uint8_t> blob = state_of(a.get());
        SynthPtr b = GetParam().build();
        run(b.get(), 333);  // a different position, overwritten by the restore
        ASSERT_EQ(wfm_synth_set_state(b.get(), blob.data()), 0) << cut;
        EXPECT_TRUE(same_bits(run(b.get(), 3000), run(a.get(), 3000))) << cut;
    }
}

INSTANTIATE_TEST_SUITE_P(Sources, SynthStream, ::testing::ValuesIn(recipes()),
                         [](const auto &info) { return info.param.name; });

// ---------------------------------------------------------------------------------------
// State blob

TEST(SynthState, BlobSizeCountsThePresentParts) {
    SynthPtr s = make(WFM_TYPE_BPSK, 4, 0.1, 10.0);
    EXPECT_EQ(wfm_synth_state_bytes(s.get()), 83u + 20u + 304u + 24u);
    const std::vector<uint8_t> blob = state_of(s.get());
    EXPECT_EQ(std::memcmp(blob.data(), "WFMS\x02\x00\x01\x00", 8), 0);
    uint32_t size = 0;
    std::memcpy(&size, blob.data() + 8, 4);
    EXPECT_EQ(size, blob.size());
    EXPECT_EQ(std::memcmp(blob.data() + 78, "\x00\x00\x01\x01\x01", 5), 0);
    EXPECT_EQ(std::memcmp(blob.data() + 83, "LO__", 4), 0);
    EXPECT_EQ(std::memcmp(blob.data() + 103, "AWGN", 4), 0);
    EXPECT_EQ(std::memcmp(blob.data() + 407, "PN__", 4), 0);
}

TEST(SynthState, ScalarFieldsSitAtTheirOffsets) {
    SynthPtr s = make(WFM_TYPE_SYMBOLS, 3);
    const cf32 syms[] = {{0.25f, -0.5f}, {1.0f, 0.0f}};
    ASSERT_EQ(wfm_synth_set_symbols(s.get(), syms, 2), 0);
    run(s.get(), 4);  // symbol 1 is playing, one sample into it
    const std::vector<uint8_t> blob = state_of(s.get());
    int32_t sym_pos;
    float re, im;
    uint64_t sym_idx;
    std::memcpy(&sym_pos, blob.data() + 16, 4);
    std::memcpy(&re, blob.data() + 20, 4);
    std::memcpy(&im, blob.data() + 24, 4);
    std::memcpy(&sym_idx, blob.data() + 36, 8);
    EXPECT_EQ(sym_pos, 1);
    EXPECT_EQ(re, 1.0f);
    EXPECT_EQ(im, 0.0f);
    EXPECT_EQ(sym_idx, 0u);
}

// A refused blob leaves the receiver exactly as it was.
struct Corruption {
    std::string name;
    size_t offset;
    std::vector<uint8_t> bytes;
};

class SynthStateRefusal : public ::testing::TestWithParam<Corruption> {};

TEST_P(SynthStateRefusal, ChangesNothing) {
    const auto build = [] {
        SynthPtr s = make(WFM_TYPE_BITS, 4, 0.1, 10.0);
        const uint8_t bits[] = {1, 0, 1};
        wfm_synth_set_bits(s.get(), bits, 3, 1);
        return s;
    };
    SynthPtr src = build();
    run(src.get(), 9);
    std::vector<uint8_t> blob = state_of(src.get());
    const Corruption &c = GetParam();
    std::memcpy(blob.data() + c.offset, c.bytes.data(), c.bytes.size());

    SynthPtr dst = build();
    run(dst.get(), 2);
    const std::vector<uint8_t> before = state_of(dst.get());
    EXPECT_EQ(wfm_synth_set_state(dst.get(), blob.data()), -4);
    EXPECT_EQ(state_of(dst.get()), before);
}

INSTANTIATE_TEST_SUITE_P(
    Blobs, SynthStateRefusal,
    ::testing::Values(Corruption{"magic", 0, {'W', 'F', 'M', 'T'}}, Corruption{"version", 4, {1, 0}},
                      Corruption{"byte6", 6, {0}}, Corruption{"size", 8, {0, 1, 0, 0}},
                      Corruption{"sym_pos_past_symbol", 16, {4, 0, 0, 0}},
                      Corruption{"sym_pos_negative", 16, {0xff, 0xff, 0xff, 0xff}},
                      Corruption{"data_pos_past_pattern", 28, {3, 0, 0, 0, 0, 0, 0, 0}},
                      Corruption{"sym_idx_without_symbols", 36, {1, 0, 0, 0, 0, 0, 0, 0}},
                      Corruption{"fir_presence", 78, {1}}, Corruption{"noise_absence", 81, {0}},
                      Corruption{"oscillator_blob", 83, {'X'}}, Corruption{"noise_blob", 103 + 4, {2}}),
    [](const auto &info) { return info.param.name; });

TEST(SynthState, NoiseBlobDoesNotFitANoiselessSource) {
    SynthPtr noisy = make(WFM_TYPE_TONE, 1, 0.1, 10.0);
    SynthPtr quiet = make(WFM_TYPE_TONE, 1, 0.1, 100.0);
    EXPECT_EQ(wfm_synth_set_state(quiet.get(), state_of(noisy.get()).data()), -4);
}

// ---------------------------------------------------------------------------------------
// Accessors that break the configuration never make stepping unsafe

TEST(SynthAccessors, TypeChangedToOneWithoutGeneratorHoldsTheCurrentValue) {
    const uint32_t types[] = {WFM_TYPE_PN, WFM_TYPE_QPSK, WFM_TYPE_BITS, WFM_TYPE_SYMBOLS, WFM_TYPE_DSSS, 42};
    for (uint32_t t : types) {
        SynthPtr s = make(WFM_TYPE_TONE);
        wfm_synth_set_wtype(s.get(), t);
        EXPECT_EQ(wfm_synth_get_wtype(s.get()), t);
        for (cf32 v : run(s.get(), 5)) expect_cf32(v, 1.0f, 0.0f);
    }
}

TEST(SynthAccessors, InterpolatorWithoutSymbolsPlaysSilence) {
    SynthPtr s = make(WFM_TYPE_BITS, 4);
    const std::vector<float> taps = rrc_taps(4, 2, 0.5);
    ASSERT_EQ(wfm_synth_set_rrc(s.get(), taps.data(), taps.size()), 0);
    for (cf32 v : run(s.get(), 40)) expect_cf32(v, 0.0f, 0.0f);
}

TEST(SynthAccessors, SymbolPositionOutsideTheSymbolRestartsIt) {
    SynthPtr s = make(WFM_TYPE_BPSK, 4, 0.0, kNoNoise, WFM_MODE_FS, 5, 0.0, 7);
    wfm_synth_set_nsps(s.get(), 0);
    EXPECT_EQ(wfm_synth_get_nsps(s.get()), 1);
    wfm_synth_set_nsps(s.get(), 4);
    wfm_synth_set_sym_pos(s.get(), 9);
    const std::vector<cf32> got = run(s.get(), 8);
    const std::vector<uint8_t> chips = pn_chips(5, 7, 2);
    for (size_t k = 0; k < 8; ++k) expect_cf32(got[k], chips[k / 4] ? -1.0f : 1.0f, 0.0f);
    EXPECT_EQ(wfm_synth_get_sym_pos(s.get()), 0);
}

TEST(SynthAccessors, CurrentValueIsTheHeldBaseband) {
    SynthPtr s = make(WFM_TYPE_CHIRP);
    wfm_synth_set_cur_re(s.get(), 0.5f);
    wfm_synth_set_cur_im(s.get(), -2.0f);
    EXPECT_EQ(wfm_synth_get_cur_re(s.get()), 0.5f);
    EXPECT_EQ(wfm_synth_get_cur_im(s.get()), -2.0f);
    const std::vector<cf32> got = run(s.get(), 1);  // phase 0: carrier (1, 0)
    expect_cf32(got[0], 0.5f, -2.0f);
}

}  // namespace
