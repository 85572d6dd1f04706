#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <initializer_list>

#include "wfm_resolve.h"

namespace {

const double kTenLog8 = 10.0 * std::log10(8.0);

struct SnrCase {
    uint32_t mode, type;
    int32_t sps;
    uint64_t code_len;
    double sps_data, snr, expected;
};

TEST(SnrOverFs, ModesAndTypes) {
    const SnrCase cases[] = {
        {WFM_MODE_AUTO, WFM_TYPE_BPSK, 8, 0, 0, 10, 10 - kTenLog8},
        {WFM_MODE_AUTO, WFM_TYPE_QPSK, 8, 0, 0, 10, 10 - kTenLog8},
        {WFM_MODE_AUTO, WFM_TYPE_TONE, 8, 0, 0, 10, 10},
        {WFM_MODE_AUTO, WFM_TYPE_BITS, 8, 0, 0, 10, 10},
        {WFM_MODE_FS, WFM_TYPE_BPSK, 8, 0, 0, 10, 10},
        {WFM_MODE_EBNO, WFM_TYPE_QPSK, 4, 0, 0, 7, (7 + 3.010299956639812) - std::log10(4.0) * 10.0},
        {WFM_MODE_EBNO, WFM_TYPE_BITS, 4, 0, 0, 7, 7 - std::log10(4.0) * 10.0},
        {WFM_MODE_ESNO, WFM_TYPE_TONE, 8, 0, 0, 10, 10 - kTenLog8},
        {WFM_MODE_ESNO, WFM_TYPE_BPSK, 0, 0, 0, 10, 10},  // sps below 1 counts as 1
        {7, WFM_TYPE_BPSK, 8, 0, 0, 10, 10},              // unknown mode: unchanged
        // dsss: explicit samples per symbol, else sps x code length, else sps
        {WFM_MODE_ESNO, WFM_TYPE_DSSS, 4, 0, 1000, 12, 12 - 30},
        {WFM_MODE_ESNO, WFM_TYPE_DSSS, 4, 25, 0, 12, 12 - 20},
        {WFM_MODE_AUTO, WFM_TYPE_DSSS, 10, 0, 0, 12, 12 - 10},
        {WFM_MODE_AUTO, WFM_TYPE_DSSS, 10, 0, -5, 12, 12 - 10},
    };
    for (const SnrCase &c : cases) {
        EXPECT_DOUBLE_EQ(wfm_snr_over_fs(c.mode, c.type, c.sps, c.code_len, c.sps_data, c.snr),
                         c.expected)
            << "mode " << c.mode << " type " << c.type << " sps " << c.sps;
    }
}

TEST(SourceCreateSnr, OnlyNoisyDsssIsReferredHere) {
    SourceSpec bpsk{};
    bpsk.type = WFM_TYPE_BPSK;
    bpsk.sps = 8;
    bpsk.snr_mode = WFM_MODE_AUTO;
    uint32_t mode = 99;
    EXPECT_EQ(wfm_source_create_snr(&bpsk, &mode, 1.0, 10.0), 10.0);
    EXPECT_EQ(mode, WFM_MODE_AUTO);

    SourceSpec dsss{};
    dsss.type = WFM_TYPE_DSSS;
    dsss.sps = 4;
    dsss.snr_mode = WFM_MODE_ESNO;
    dsss.symbol_rate = 1000;
    EXPECT_DOUBLE_EQ(wfm_source_create_snr(&dsss, &mode, 1e6, 12.0), 12.0 - 30.0);
    EXPECT_EQ(mode, WFM_MODE_FS);
    mode = 99;
    EXPECT_EQ(wfm_source_create_snr(&dsss, &mode, 1e6, 100.0), 100.0);
    EXPECT_EQ(mode, WFM_MODE_ESNO);
}

// A segment whose source array comes from malloc, as resolution may grow it.
struct Seg {
    SegmentSpec s{};
    explicit Seg(std::initializer_list<SourceSpec> sources) {
        s.fs = 1.0;
        s.n_sources = sources.size();
        s.sources = static_cast<SourceSpec *>(std::malloc(sources.size() * sizeof(SourceSpec)));
        size_t i = 0;
        for (const SourceSpec &src : sources) s.sources[i++] = src;
    }
    ~Seg() { std::free(s.sources); }
    const SourceSpec &operator[](size_t i) const { return s.sources[i]; }
};

SourceSpec source(uint32_t type, double snr, double level = 0, uint32_t seed = 1) {
    SourceSpec s{};
    s.type = type;
    s.snr = snr;
    s.level = level;
    s.seed = seed;
    s.sps = 8;
    return s;
}

TEST(ResolveNoise, ReferenceSourceSetsAnAppendedFloor) {
    const double floor = 0 - (10 - kTenLog8);
    Seg tone_bpsk{source(WFM_TYPE_TONE, 100), source(WFM_TYPE_BPSK, 10, 0, 7)};
    ASSERT_EQ(wfm_resolve_noise(&tone_bpsk.s, 1), 0);
    ASSERT_EQ(tone_bpsk.s.n_sources, 3u);
    EXPECT_EQ(tone_bpsk[0].level, 0.0);
    EXPECT_EQ(tone_bpsk[0].snr, 100.0);
    EXPECT_EQ(tone_bpsk[1].level, 0.0);
    EXPECT_EQ(tone_bpsk[1].snr, 100.0);
    EXPECT_EQ(tone_bpsk[2].type, uint32_t{WFM_TYPE_NOISE});
    EXPECT_EQ(tone_bpsk[2].seed, 7u);
    EXPECT_DOUBLE_EQ(tone_bpsk[2].level, floor);

    Seg two_bpsk{source(WFM_TYPE_BPSK, 10), source(WFM_TYPE_BPSK, 13)};
    ASSERT_EQ(wfm_resolve_noise(&two_bpsk.s, 1), 0);
    ASSERT_EQ(two_bpsk.s.n_sources, 3u);
    EXPECT_DOUBLE_EQ(two_bpsk[1].level, 13 + floor);
    EXPECT_EQ(two_bpsk[1].snr, 100.0);
    EXPECT_DOUBLE_EQ(two_bpsk[2].level, floor);
}

TEST(ResolveNoise, ExplicitNoiseSourceIsTheFloor) {
    SourceSpec qpsk = source(WFM_TYPE_QPSK, 6);
    qpsk.snr_mode = WFM_MODE_EBNO;  // no conversion by mode against an explicit floor
    Seg seg{qpsk, source(WFM_TYPE_NOISE, 100, -20)};
    ASSERT_EQ(wfm_resolve_noise(&seg.s, 1), 0);
    ASSERT_EQ(seg.s.n_sources, 2u);
    EXPECT_EQ(seg[0].level, -14.0);
    EXPECT_EQ(seg[0].snr, 100.0);
}

TEST(ResolveNoise, LoneAndNoiselessSegmentsAreUntouched) {
    Seg lone{source(WFM_TYPE_BPSK, 10)};
    Seg clean{source(WFM_TYPE_TONE, 100), source(WFM_TYPE_BPSK, 100, -3)};
    SegmentSpec both[2] = {lone.s, clean.s};
    ASSERT_EQ(wfm_resolve_noise(both, 2), 0);
    EXPECT_EQ(both[0].n_sources, 1u);
    EXPECT_EQ(both[0].sources[0].snr, 10.0);
    EXPECT_EQ(both[1].n_sources, 2u);
    EXPECT_EQ(both[1].sources[1].level, -3.0);
}

TEST(ResolveNoise, LevelledNoisySourceBesideAFloorFails) {
    Seg after_ref{source(WFM_TYPE_BPSK, 10), source(WFM_TYPE_TONE, 20, 3)};
    EXPECT_EQ(wfm_resolve_noise(&after_ref.s, 1), -1);
    Seg with_noise{source(WFM_TYPE_TONE, 20, 3), source(WFM_TYPE_NOISE, 100, -10)};
    EXPECT_EQ(wfm_resolve_noise(&with_noise.s, 1), -1);
    // The reference itself may carry a level: the floor moves with it.
    Seg ref_level{source(WFM_TYPE_TONE, 20, 3), source(WFM_TYPE_TONE, 100)};
    ASSERT_EQ(wfm_resolve_noise(&ref_level.s, 1), 0);
    EXPECT_EQ(ref_level[2].level, 3.0 - 20.0);
}

TEST(LevelGain, MatchesTenToTheLevelOverTwenty) {
    EXPECT_EQ(wfm_level_gain(0.0), 1.0f);
    EXPECT_EQ(wfm_level_gain(20.0), 10.0f);
    EXPECT_EQ(wfm_level_gain(-40.0), 0.01f);
    EXPECT_EQ(wfm_level_gain(-2000.0), 0.0f);
    // A level whose gain single precision cannot hold counts as 0 dB; -inf silences.
    EXPECT_EQ(wfm_level_gain(1e4), 1.0f);
    EXPECT_EQ(wfm_level_gain(INFINITY), 1.0f);
    EXPECT_EQ(wfm_level_gain(NAN), 1.0f);
    EXPECT_EQ(wfm_level_gain(-INFINITY), 0.0f);
    EXPECT_EQ(wfm_level_gain(760.0), static_cast<float>(std::exp(2.302585092994046 * 38.0)));
    int mismatches = 0;
    for (int i = -30000; i <= 30000; ++i) {
        const double level = i * 0.01;
        const float libm = static_cast<float>(std::exp(2.302585092994046 * (level * 0.05)));
        mismatches += wfm_level_gain(level) != libm;
    }
    EXPECT_EQ(mismatches, 0);
}

}  // namespace
