#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "asm.h"
#include "asm.hpp"

namespace {

const std::vector<uint8_t> kMarker = {0, 0, 0, 1, 1, 0, 1, 0, 1, 1, 0, 0, 1, 1, 1, 1,
                                      1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 1, 1, 1, 0, 1};

TEST(Asm, MarkerBitsAreSentMostSignificantFirst) {
    std::vector<uint8_t> bits(32, 9);
    ccsds_tm_asm_bits(bits.data());
    EXPECT_EQ(bits, kMarker);
}

TEST(Asm, MarkerBitsAreFilledOnceAcrossThreads) {
    std::vector<const uint8_t *> seen(8);
    std::vector<std::thread> threads;
    for (size_t t = 0; t < seen.size(); ++t) threads.emplace_back([&, t] { seen[t] = kettara::asm_marker_bits(); });
    for (auto &th : threads) th.join();
    for (const uint8_t *p : seen) {
        EXPECT_EQ(p, seen[0]);
        EXPECT_EQ(std::vector<uint8_t>(p, p + 32), kMarker);
    }
}

struct FindCase {
    const char *name;
    size_t lead;                // zero bits before the marker
    std::vector<size_t> flips;  // marker bits flipped
    bool complement;
    uint32_t max_errors;
    int found;
    uint32_t errors;
    uint32_t inverted;
};

class AsmFind : public ::testing::TestWithParam<FindCase> {};

TEST_P(AsmFind, EarliestAcceptableWindow) {
    const FindCase &c = GetParam();
    std::vector<uint8_t> bits(c.lead, 0);
    for (size_t j = 0; j < 32; ++j) bits.push_back(kMarker[j] ^ static_cast<uint8_t>(c.complement));
    for (size_t j : c.flips) bits[c.lead + j] ^= 1;
    AsmMatch m = {77, 77, 77};
    ASSERT_EQ(ccsds_tm_asm_find(bits.data(), bits.size(), c.max_errors, &m), c.found);
    if (c.found) {
        EXPECT_EQ(m.pos, c.lead);
        EXPECT_EQ(m.errors, c.errors);
        EXPECT_EQ(m.inverted, c.inverted);
    } else {
        EXPECT_EQ(m.pos, 77u);
        EXPECT_EQ(m.inverted, 77u);
        EXPECT_EQ(m.errors, 77u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AsmFind,
    ::testing::Values(FindCase{"exact", 0, {}, false, 0, 1, 0, 0},
                      FindCase{"complement", 0, {}, true, 0, 1, 0, 1},
                      FindCase{"three_errors_over_two", 0, {0, 9, 31}, false, 2, 0, 0, 0},
                      FindCase{"three_errors_within_three", 0, {0, 9, 31}, false, 3, 1, 3, 0},
                      FindCase{"complement_with_errors", 40, {4, 5}, true, 2, 1, 2, 1},
                      FindCase{"after_zeros", 100, {}, false, 0, 1, 0, 0},
                      FindCase{"sixteen_counts_as_marker", 0, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15},
                               false, 16, 1, 16, 0}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(Asm, ShortInputIsNotSearched) {
    AsmMatch m = {5, 6, 7};
    EXPECT_EQ(ccsds_tm_asm_find(kMarker.data(), 31, 32, &m), 0);
    EXPECT_EQ(m.pos, 5u);
    EXPECT_EQ(m.inverted, 6u);
    EXPECT_EQ(m.errors, 7u);
}

TEST(Asm, InputBytesCountByTheirLowestBit) {
    std::vector<uint8_t> bits;
    for (uint8_t b : kMarker) bits.push_back(b ? 3 : 2);
    AsmMatch m{};
    ASSERT_EQ(ccsds_tm_asm_find(bits.data(), bits.size(), 0, &m), 1);
    EXPECT_EQ(m.errors, 0u);
}

// The search takes the first acceptable window, not the best one.
TEST(Asm, FirstAcceptableWindowWins) {
    std::vector<uint8_t> bits(64, 0);
    std::copy(kMarker.begin(), kMarker.end(), bits.begin() + 32);
    AsmMatch m{};
    ASSERT_EQ(ccsds_tm_asm_find(bits.data(), bits.size(), 13, &m), 1);
    EXPECT_EQ(m.pos, 0u);  // zeros differ from the marker in 19 bits, from its complement in 13
    EXPECT_EQ(m.errors, 13u);
    EXPECT_EQ(m.inverted, 1u);
    ASSERT_EQ(ccsds_tm_asm_find(bits.data(), bits.size(), 0, &m), 1);
    EXPECT_EQ(m.pos, 32u);
}

}  // namespace
