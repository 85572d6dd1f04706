#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rand.h"

namespace {

std::vector<uint8_t> bits_of(const std::string &text) {
    std::vector<uint8_t> bits;
    for (char c : text)
        if (c == '0' || c == '1') bits.push_back(static_cast<uint8_t>(c - '0'));
    return bits;
}

std::vector<uint8_t> sequence(const RandSpec *spec, size_t n) {
    std::vector<uint8_t> out(n, 9);
    ccsds_tm_rand_seq_with(spec, out.data(), n);
    return out;
}

// Steps from the seed until the register comes back to it.
uint64_t register_period(const RandSpec &spec) {
    RandState st;
    ccsds_tm_rand_init(&st, &spec);
    const uint32_t start = st.state;
    uint64_t steps = 0;
    do {
        ccsds_tm_rand_step(&st);
        ++steps;
    } while (st.state != start && steps <= spec.period);
    return steps;
}

struct RandCase {
    const RandSpec *spec;
    const char *prefix;
};

class RandSequence : public ::testing::TestWithParam<RandCase> {};

TEST_P(RandSequence, PrefixAndPeriod) {
    const RandSpec &spec = *GetParam().spec;
    const auto prefix = bits_of(GetParam().prefix);
    EXPECT_EQ(sequence(&spec, prefix.size()), prefix);
    EXPECT_EQ(register_period(spec), spec.period);

    const auto seq = sequence(&spec, 2 * spec.period);
    EXPECT_TRUE(std::equal(seq.begin(), seq.begin() + spec.period, seq.begin() + spec.period));
}

INSTANTIATE_TEST_SUITE_P(Randomisers, RandSequence,
                         ::testing::Values(RandCase{&CCSDS_TM_RAND, "0001 1100 0111 0001 1011 1001 0001 1011 1010 1001"},
                                           RandCase{&CCSDS_TM_RAND_LEGACY,
                                                    "1111 1111 0100 1000 0000 1110 1100 0000 1001 1010"}));

TEST(Rand, DefaultIsTheSeventeenStageRandomiser) {
    const size_t n = 1000;
    std::vector<uint8_t> plain(n);
    ccsds_tm_rand_seq(plain.data(), n);
    EXPECT_EQ(plain, sequence(&CCSDS_TM_RAND, n));
    EXPECT_EQ(plain, sequence(nullptr, n));

    std::vector<uint8_t> legacy(255, 0);
    ccsds_tm_randomise_with(&CCSDS_TM_RAND_LEGACY, legacy.data(), legacy.size());
    EXPECT_EQ(legacy, sequence(&CCSDS_TM_RAND_LEGACY, 255));
}

TEST(Rand, RandomiseIsAnInvolutionRestartedEveryCall) {
    std::vector<uint8_t> input(300);
    for (size_t i = 0; i < input.size(); ++i) input[i] = static_cast<uint8_t>((i * 7 + i / 3) & 1);
    auto whole = input;
    ccsds_tm_randomise(whole.data(), whole.size());
    auto twice = whole;
    ccsds_tm_randomise(twice.data(), twice.size());
    EXPECT_EQ(twice, input);

    auto halves = input;
    ccsds_tm_randomise(halves.data(), 150);
    ccsds_tm_randomise(halves.data() + 150, 150);
    EXPECT_NE(halves, whole);
    EXPECT_TRUE(std::equal(halves.begin(), halves.begin() + 150, whole.begin()));
}

TEST(Rand, InputBytesCountByTheirLowestBit) {
    std::vector<uint8_t> bits = {2, 3, 2, 3, 0xFE, 0xFF};
    std::vector<uint8_t> expect = {0, 1, 0, 1, 0, 1};
    const auto seq = sequence(nullptr, bits.size());
    for (size_t i = 0; i < expect.size(); ++i) expect[i] ^= seq[i];
    ccsds_tm_randomise(bits.data(), bits.size());
    EXPECT_EQ(bits, expect);
}

// A register length the shift arithmetic cannot hold gives an all-zero sequence instead.
TEST(Rand, DegreeOutsideOneToThirtyOneOutputsZeros) {
    for (uint32_t degree : {0u, 32u, 33u, 0xFFFFFFFFu}) {
        const RandSpec spec = {0x95u, 0xFFu, degree, 0};
        EXPECT_EQ(sequence(&spec, 64), std::vector<uint8_t>(64, 0)) << degree;
        RandState st = {0xFFFFFFFFu, 0xFFFFFFFFu, degree};
        EXPECT_EQ(ccsds_tm_rand_step(&st), 0) << degree;
    }
    const RandSpec widest = {0x48000000u, 0x7FFFFFFFu, 31u, 0};
    EXPECT_EQ(sequence(&widest, 31), std::vector<uint8_t>(31, 1));
}

}  // namespace
