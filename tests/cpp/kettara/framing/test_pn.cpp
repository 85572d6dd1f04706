// PN and Gold generators: exact sequences, periods, refusals, chunking and state blobs.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gold_core.h"
#include "pn_core.h"

namespace {

std::string bits_of(const std::vector<uint8_t> &v) {
    std::string s;
    for (uint8_t b : v) s += char('0' + b);
    return s;
}

std::vector<uint8_t> pn_bits(PnGen *pn, size_t n) {
    std::vector<uint8_t> v(n);
    EXPECT_EQ(pn_generate(pn, n, v.data(), n), n);
    return v;
}

std::vector<uint8_t> gold_bits(GoldGen *g, size_t n) {
    std::vector<uint8_t> v(n);
    EXPECT_EQ(gold_generate(g, n, v.data(), n), n);
    return v;
}

// The smallest p such that the sequence repeats with period p.
size_t period_of(const std::vector<uint8_t> &v) {
    for (size_t p = 1; p < v.size(); ++p)
        if (std::equal(v.begin() + p, v.end(), v.begin())) return p;
    return v.size();
}

struct PnCase {
    uint32_t degree;
    uint64_t poly;
    int32_t lfsr;
    const char *first;
    size_t period;
};

class PnSequence : public ::testing::TestWithParam<PnCase> {};

TEST_P(PnSequence, FirstBitsAndPeriod) {
    const PnCase c = GetParam();
    PnGen *pn = pn_create(c.poly, 1, c.degree, c.lfsr);
    ASSERT_NE(pn, nullptr);
    const auto v = pn_bits(pn, 4 * c.period);
    EXPECT_EQ(bits_of(v).substr(0, std::string(c.first).size()), c.first);
    EXPECT_EQ(period_of(v), c.period);
    pn_destroy(pn);
}

INSTANTIATE_TEST_SUITE_P(Known, PnSequence,
                         ::testing::Values(PnCase{4, 0x9, 0, "111101011001000", 15},
                                           PnCase{4, 0x9, 1, "100010011010111", 15},
                                           PnCase{3, 0x5, 0, "1110100", 7},
                                           PnCase{3, 0x5, 7, "1110100", 7}));  // any lfsr but 1 is Galois

TEST(PnDefaultPoly, TableEntriesAndMaximalPeriods) {
    EXPECT_EQ(pn_default_poly(0), 0u);
    EXPECT_EQ(pn_default_poly(1), 0u);
    EXPECT_EQ(pn_default_poly(65), 0u);
    EXPECT_EQ(pn_default_poly(8), 0x8Eu);
    EXPECT_EQ(pn_default_poly(33), 0x100000029u);
    EXPECT_EQ(pn_default_poly(64), 0x800000000000000Du);
    for (uint32_t d = 2; d <= 64; ++d) EXPECT_EQ(pn_default_poly(d) >> (d - 1), 1u) << "degree " << d;
    // The default masks give maximal-length sequences in both register forms.
    for (uint32_t d = 2; d <= 14; ++d) {
        for (int32_t lfsr : {0, 1}) {
            PnGen *pn = pn_create(pn_default_poly(d), 1, d, lfsr);
            const size_t full = (size_t{1} << d) - 1;
            EXPECT_EQ(period_of(pn_bits(pn, 2 * full + 3)), full) << "degree " << d << " lfsr " << lfsr;
            pn_destroy(pn);
        }
    }
}

// Long runs take eight bits per step; one bit per call always takes the plain register
// step. Both must give the same bits, whatever the taps and the register length.
TEST(PnGenerate, LongRunsMatchSingleSteps) {
    struct Case {
        uint32_t degree;
        uint64_t poly;
    };
    const Case cases[] = {
        {8, 0x8E}, {9, 0x108}, {16, 0x8016}, {31, 0x40000004}, {33, 0x100000029},
        {64, 0x800000000000000D}, {64, 0xFFFFFFFFFFFFFFFF}, {40, 0x5A5A5A5A5A},
        {20, 1u << 11},  // highest Fibonacci tap at degree - 8: eight new bits are independent
        {20, 1u << 12},  // one tap higher: they are not
        {7, 0x41}, {3, 0x5},
    };
    for (const Case &c : cases) {
        for (int32_t lfsr : {0, 1}) {
            PnGen *whole = pn_create(c.poly, 0x9E3779B97F4A7C15u, c.degree, lfsr);
            PnGen *single = pn_create(c.poly, 0x9E3779B97F4A7C15u, c.degree, lfsr);
            const auto got = pn_bits(whole, 10003);
            std::vector<uint8_t> expected(10003);
            for (uint8_t &b : expected) ASSERT_EQ(pn_generate(single, 1, &b, 1), 1u);
            EXPECT_EQ(got, expected) << "degree " << c.degree << " lfsr " << lfsr;
            EXPECT_EQ(whole->state, single->state);
            pn_destroy(whole);
            pn_destroy(single);
        }
    }
}

TEST(PnCreate, RefusalsAndMasking) {
    EXPECT_EQ(pn_create(0x9, 0, 4, 0), nullptr);
    EXPECT_EQ(pn_create(0x9, 1, 0, 0), nullptr);
    EXPECT_EQ(pn_create(0x9, 1, 65, 0), nullptr);
    EXPECT_EQ(gold_create(0x12, 0, 0x1E, 1, 5), nullptr);
    EXPECT_EQ(gold_create(0x12, 1, 0x1E, 0, 5), nullptr);
    EXPECT_EQ(gold_create(0x12, 1, 0x1E, 1, 0), nullptr);
    EXPECT_EQ(gold_create(0x12, 1, 0x1E, 1, 65), nullptr);

    // Seed bits above the register are masked off after the zero test: zeros for ever.
    for (int32_t lfsr : {0, 1}) {
        PnGen *pn = pn_create(0x9, 0x10, 4, lfsr);
        ASSERT_NE(pn, nullptr);
        EXPECT_EQ(bits_of(pn_bits(pn, 20)), std::string(20, '0'));
        pn_destroy(pn);
    }

    PnGen *wide = pn_create(0xFFFFFFFFFFFFFFFFu, 0x8000000000000001u, 64, 0);
    ASSERT_NE(wide, nullptr);
    EXPECT_EQ(wide->poly, 0xFFFFFFFFFFFFFFFFu);
    EXPECT_EQ(wide->seed, 0x8000000000000001u);
    EXPECT_EQ(wide->mask, 0xFFFFFFFFFFFFFFFFu);
    pn_destroy(wide);

    PnGen *narrow = pn_create(0xFF, 0xFF, 4, 1);
    EXPECT_EQ(narrow->poly, 0xFu);
    EXPECT_EQ(narrow->seed, 0xFu);
    EXPECT_EQ(narrow->taps, 0xFu);  // poly bit 3 is ignored, bit 0 always taps
    pn_destroy(narrow);

    pn_destroy(nullptr);
    gold_destroy(nullptr);
    EXPECT_EQ(pn_generate_max_out(), 0u);
    EXPECT_EQ(gold_generate_max_out(), 0u);
}

TEST(PnGenerate, ShortCapacityAdvancesOnlyWhatWasWritten) {
    PnGen *whole = pn_create(0x9, 1, 4, 0);
    PnGen *part = pn_create(0x9, 1, 4, 0);
    const auto expected = pn_bits(whole, 20);
    std::vector<uint8_t> got(20, 9);
    EXPECT_EQ(pn_generate(part, 100, got.data(), 7), 7u);
    EXPECT_EQ(got[7], 9);
    EXPECT_EQ(pn_generate(part, 13, got.data() + 7, 13), 13u);
    EXPECT_EQ(got, expected);

    pn_reset(part);
    EXPECT_EQ(pn_bits(part, 20), expected);
    pn_destroy(whole);
    pn_destroy(part);
}

TEST(Gold, FirstBitsPeriodAndReset) {
    GoldGen *g = gold_create(0x12, 1, 0x1E, 1, 5);
    ASSERT_NE(g, nullptr);
    const auto v = gold_bits(g, 93);
    // Equal registers until their feedback first differs, so the XOR starts with zeros.
    EXPECT_EQ(bits_of(v).substr(0, 8), "00000001");
    EXPECT_EQ(period_of(v), 31u);

    std::vector<uint8_t> head(40, 9);
    gold_reset(g);
    EXPECT_EQ(gold_generate(g, 50, head.data(), 5), 5u);
    EXPECT_EQ(head[5], 9);
    EXPECT_EQ(gold_generate(g, 35, head.data() + 5, 35), 35u);
    EXPECT_EQ(head, std::vector<uint8_t>(v.begin(), v.begin() + 40));
    gold_destroy(g);
}

// State blobs: exact bytes, a bit-identical continuation in a fresh object, and -4 refusals.
TEST(PnState, BlobBytesAndRestore) {
    PnGen *pn = pn_create(pn_default_poly(31), 0x1234567, 31, 1);
    ASSERT_EQ(pn_state_bytes(pn), 24u);
    pn_bits(pn, 1000);
    uint8_t blob[24];
    pn_get_state(pn, blob);
    const uint8_t header[16] = {'P', 'N', '_', '_', 1, 0, 1, 0, 24, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(std::vector<uint8_t>(blob, blob + 16), std::vector<uint8_t>(header, header + 16));
    uint64_t reg = 0;
    for (int i = 7; i >= 0; --i) reg = reg << 8 | blob[16 + i];
    EXPECT_EQ(reg, pn->state);

    PnGen *fresh = pn_create(pn_default_poly(31), 0x1234567, 31, 1);
    ASSERT_EQ(pn_set_state(fresh, blob), 0);
    EXPECT_EQ(pn_bits(fresh, 500), pn_bits(pn, 500));

    for (int at : {0, 3, 4, 5, 6, 8}) {
        uint8_t bad[24];
        std::copy(blob, blob + 24, bad);
        bad[at] ^= 0x40;
        const uint64_t before = fresh->state;
        EXPECT_EQ(pn_set_state(fresh, bad), -4) << "byte " << at;
        EXPECT_EQ(fresh->state, before);
    }
    pn_destroy(pn);
    pn_destroy(fresh);
}

TEST(GoldState, BlobBytesAndRestore) {
    GoldGen *g = gold_create(0x12, 3, 0x1E, 5, 5);
    ASSERT_EQ(gold_state_bytes(g), 32u);
    gold_bits(g, 17);
    uint8_t blob[32];
    gold_get_state(g, blob);
    const uint8_t header[16] = {'G', 'O', 'L', 'D', 1, 0, 1, 0, 32, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(std::vector<uint8_t>(blob, blob + 16), std::vector<uint8_t>(header, header + 16));
    EXPECT_EQ(blob[16], g->state1);
    EXPECT_EQ(blob[24], g->state2);

    GoldGen *fresh = gold_create(0x12, 3, 0x1E, 5, 5);
    ASSERT_EQ(gold_set_state(fresh, blob), 0);
    EXPECT_EQ(gold_bits(fresh, 100), gold_bits(g, 100));

    uint8_t pn_blob[32] = {};
    PnGen *pn = pn_create(0x9, 1, 4, 0);
    pn_get_state(pn, pn_blob);
    EXPECT_EQ(gold_set_state(fresh, pn_blob), -4);
    blob[8] = 24;
    EXPECT_EQ(gold_set_state(fresh, blob), -4);
    pn_destroy(pn);
    gold_destroy(g);
    gold_destroy(fresh);
}

}  // namespace
