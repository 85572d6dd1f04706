#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "rs.h"
#include "rs_core.h"

namespace {

std::vector<uint8_t> random_bytes(size_t n, uint32_t seed, uint8_t mask = 0xFF) {
    std::mt19937 gen(seed);
    std::vector<uint8_t> v(n);
    for (auto &b : v) b = static_cast<uint8_t>(gen() & mask);
    return v;
}

// Flips `count` distinct symbols of v (at positions first + j * stride) by non-zero values.
std::vector<size_t> corrupt(std::vector<uint8_t> &v, size_t count, uint32_t seed, size_t span, size_t first = 0,
                            size_t stride = 1, uint8_t mask = 0xFF) {
    std::mt19937 gen(seed);
    std::vector<size_t> idx(span);
    for (size_t j = 0; j < span; ++j) idx[j] = j;
    std::shuffle(idx.begin(), idx.end(), gen);
    idx.resize(count);
    for (size_t &j : idx) {
        j = first + j * stride;
        v[j] ^= static_cast<uint8_t>(1 + gen() % mask);
    }
    return idx;
}

std::vector<uint8_t> ccsds_codeword(uint32_t seed) {
    auto cw = random_bytes(CCSDS_RS_N, seed);
    ccsds_tm_rs_encode(cw.data(), cw.data() + CCSDS_RS_K);
    return cw;
}

TEST(CcsdsRs, GeneratorCoefficients) {
    const uint8_t *g = ccsds_tm_rs_generator();
    const std::vector<uint8_t> coeffs(g, g + 33);
    EXPECT_EQ(coeffs.front(), 1);
    EXPECT_EQ(coeffs.back(), 1);
    EXPECT_EQ(coeffs[1], 0x5B);
    EXPECT_TRUE(std::equal(coeffs.begin(), coeffs.end(), coeffs.rbegin()));
}

TEST(CcsdsRs, DualBasisRowsAndInverse) {
    const uint8_t to_dual[8] = {0x8D, 0xEF, 0xEC, 0x86, 0xFA, 0x99, 0xAF, 0x7B};
    const uint8_t to_conv[8] = {0xC5, 0x42, 0x2E, 0xFD, 0xF0, 0x79, 0xAC, 0xCC};
    for (int b = 0; b < 8; ++b) {
        EXPECT_EQ(ccsds_tm_rs_conv_to_dual(static_cast<uint8_t>(0x80 >> b)), to_dual[b]);
        EXPECT_EQ(ccsds_tm_rs_dual_to_conv(static_cast<uint8_t>(0x80 >> b)), to_conv[b]);
    }
    EXPECT_EQ(ccsds_tm_rs_conv_to_dual(0x81), 0x8D ^ 0x7B);
    for (int x = 0; x < 256; ++x) {
        const auto o = static_cast<uint8_t>(x);
        EXPECT_EQ(ccsds_tm_rs_dual_to_conv(ccsds_tm_rs_conv_to_dual(o)), o);
        EXPECT_EQ(ccsds_tm_rs_conv_to_dual(ccsds_tm_rs_dual_to_conv(o)), o);
    }
}

TEST(CcsdsRs, ZeroDataHasZeroParity) {
    std::vector<uint8_t> data(CCSDS_RS_K, 0), parity(CCSDS_RS_PARITY, 0xAA);
    ccsds_tm_rs_encode(data.data(), parity.data());
    EXPECT_EQ(parity, std::vector<uint8_t>(CCSDS_RS_PARITY, 0));
}

// The shared encoder is the generic one on conventional-basis octets.
TEST(CcsdsRs, ParityIsTheGenericCodecsInTheDualBasis) {
    RsCodec rs;
    ASSERT_EQ(rs_init(&rs, &CCSDS_TM_RS), 1);
    for (uint32_t seed = 1; seed <= 5; ++seed) {
        const auto data = random_bytes(CCSDS_RS_K, seed);
        std::vector<uint8_t> conventional(CCSDS_RS_K), expect(CCSDS_RS_PARITY), parity(CCSDS_RS_PARITY);
        for (size_t i = 0; i < data.size(); ++i) conventional[i] = ccsds_tm_rs_dual_to_conv(data[i]);
        rs_encode(&rs, conventional.data(), expect.data());
        for (auto &p : expect) p = ccsds_tm_rs_conv_to_dual(p);
        ccsds_tm_rs_encode(data.data(), parity.data());
        EXPECT_EQ(parity, expect) << seed;
    }
}

TEST(CcsdsRs, SixteenErrorsAreCorrectedAnywhere) {
    for (uint32_t seed = 1; seed <= 20; ++seed) {
        const auto sent = ccsds_codeword(seed);
        ASSERT_EQ(ccsds_tm_rs_codeword_ok(sent.data()), 1);
        auto received = sent;
        corrupt(received, 16, seed + 100, CCSDS_RS_N);
        EXPECT_EQ(ccsds_tm_rs_codeword_ok(received.data()), 0);
        EXPECT_EQ(ccsds_tm_rs_decode(received.data()), 16) << seed;
        EXPECT_EQ(received, sent) << seed;
    }
    auto clean = ccsds_codeword(7);
    const auto copy = clean;
    EXPECT_EQ(ccsds_tm_rs_decode(clean.data()), 0);
    EXPECT_EQ(clean, copy);
}

TEST(CcsdsRs, UncorrectableCodewordIsLeftAsReceived) {
    int failures = 0;
    for (uint32_t seed = 1; seed <= 20; ++seed) {
        auto received = ccsds_codeword(seed);
        corrupt(received, 17 + seed % 20, seed + 200, CCSDS_RS_N);
        const auto copy = received;
        const int result = ccsds_tm_rs_decode(received.data());
        if (result < 0) {
            ++failures;
            EXPECT_EQ(received, copy) << seed;
        }
    }
    EXPECT_EQ(failures, 20);  // beyond 16 errors a miscorrection is possible, but none occurs here
}

TEST(CcsdsRs, DecodesConcurrentlyFromFirstUse) {
    std::vector<int> ok(6, 0);
    std::vector<std::thread> threads;
    for (uint32_t t = 0; t < ok.size(); ++t)
        threads.emplace_back([&, t] {
            for (uint32_t k = 0; k < 10; ++k) {
                const auto sent = ccsds_codeword(t * 100 + k);
                auto received = sent;
                corrupt(received, 1 + k, t * 100 + k + 50, CCSDS_RS_N);
                ok[t] += ccsds_tm_rs_decode(received.data()) == static_cast<int>(1 + k) && received == sent;
            }
        });
    for (auto &th : threads) th.join();
    for (int n : ok) EXPECT_EQ(n, 10);
}

TEST(CcsdsRsBlock, InvalidDepthOrPointerIsRefused) {
    std::vector<uint8_t> block(CCSDS_RS_N * 8, 0);
    for (uint32_t depth : {0u, 6u, 7u, 9u, 16u}) {
        EXPECT_EQ(ccsds_tm_rs_encode_block(block.data(), depth, block.data()), 0u) << depth;
        EXPECT_EQ(ccsds_tm_rs_decode_block(block.data(), depth, nullptr), 0u) << depth;
    }
    EXPECT_EQ(ccsds_tm_rs_encode_block(nullptr, 1, block.data()), 0u);
    EXPECT_EQ(ccsds_tm_rs_decode_block(nullptr, 1, nullptr), 0u);
}

TEST(CcsdsRsBlock, DepthTwoInterleavesParity) {
    const uint32_t depth = 2;
    const auto data = random_bytes(CCSDS_RS_K * depth, 3);
    std::vector<uint8_t> block(CCSDS_RS_N * depth);
    ASSERT_EQ(ccsds_tm_rs_encode_block(data.data(), depth, block.data()), 510u);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), block.begin()));
    for (uint32_t i = 0; i < depth; ++i) {
        std::vector<uint8_t> message(CCSDS_RS_K), parity(CCSDS_RS_PARITY);
        for (size_t j = 0; j < CCSDS_RS_K; ++j) message[j] = data[i + j * depth];
        ccsds_tm_rs_encode(message.data(), parity.data());
        for (size_t j = 0; j < CCSDS_RS_PARITY; ++j) EXPECT_EQ(block[446 + i + 2 * j], parity[j]) << i << " " << j;
    }
}

class CcsdsRsDepth : public ::testing::TestWithParam<uint32_t> {};

TEST_P(CcsdsRsDepth, SixteenErrorsPerCodewordRoundTrip) {
    const uint32_t depth = GetParam();
    const size_t n = CCSDS_RS_N * depth;
    auto block = random_bytes(n, depth);
    ASSERT_EQ(ccsds_tm_rs_encode_block(block.data(), depth, block.data()), n);  // in place
    const auto sent = block;

    RsBlockStats stats = {99, 99, 99, 99};
    EXPECT_EQ(ccsds_tm_rs_decode_block(block.data(), depth, &stats), CCSDS_RS_K * depth);
    EXPECT_EQ(stats.depth, depth);
    EXPECT_EQ(stats.corrected + stats.failed + stats.symbols, 0u);

    for (uint32_t i = 0; i < depth; ++i) corrupt(block, 16 - i, 10 * depth + i, CCSDS_RS_N, i, depth);
    EXPECT_EQ(ccsds_tm_rs_decode_block(block.data(), depth, &stats), CCSDS_RS_K * depth);
    EXPECT_EQ(block, sent);
    EXPECT_EQ(stats.corrected, depth);
    EXPECT_EQ(stats.failed, 0u);
    EXPECT_EQ(stats.symbols, 16 * depth - depth * (depth - 1) / 2);

    // A codeword beyond repair stays as received; the others are corrected.
    corrupt(block, 3, 7, CCSDS_RS_N, 0, depth);
    auto expect = sent;
    if (depth > 1) {
        corrupt(block, 40, 8, CCSDS_RS_N, depth - 1, depth);
        for (size_t j = 0; j < CCSDS_RS_N; ++j) expect[depth - 1 + j * depth] = block[depth - 1 + j * depth];
    }
    EXPECT_EQ(ccsds_tm_rs_decode_block(block.data(), depth, &stats), CCSDS_RS_K * depth);
    EXPECT_EQ(block, expect);
    EXPECT_EQ(stats.failed, depth > 1 ? 1u : 0u);
    EXPECT_EQ(stats.corrected, 1u);
    EXPECT_EQ(stats.symbols, 3u);
}

INSTANTIATE_TEST_SUITE_P(Depths, CcsdsRsDepth, ::testing::Values(1u, 2u, 3u, 4u, 5u, 8u));

struct ValidCase {
    RsSpec spec;
    int valid;
};

TEST(RsCore, CodeValidity) {
    const ValidCase cases[] = {
        {{8, 0x87, 32, 112, 11}, 1}, {{4, 0x3, 4, 0, 1}, 1},    {{2, 0x3, 2, 0, 1}, 1},
        {{8, 0x87, 33, 112, 11}, 0}, {{9, 0x87, 32, 0, 1}, 0},  {{1, 0x1, 2, 0, 1}, 0},
        {{8, 0x86, 32, 0, 1}, 0},    {{8, 0, 32, 0, 1}, 0},     {{4, 0x13, 4, 0, 1}, 0},
        {{4, 0x3, 4, 0, 5}, 0},      {{4, 0x3, 4, 0, 0}, 0},    {{4, 0x3, 0, 0, 1}, 0},
        {{4, 0x3, 16, 0, 1}, 0},     {{8, 0x87, 66, 0, 1}, 0},  {{2, 0x3, 4, 0, 1}, 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(rs_code_valid(&c.spec), c.valid)
            << c.spec.symsize << " " << c.spec.gfpoly << " " << c.spec.nroots << " " << c.spec.prim;
    EXPECT_EQ(rs_code_valid(nullptr), 0);
}

TEST(RsCore, InitRejectsFieldPolynomialThatIsNotPrimitive) {
    RsCodec rs;
    const RsSpec irreducible_not_primitive = {4, 0xF, 4, 0, 1};  // x^4+x^3+x^2+x+1 has order 5
    EXPECT_EQ(rs_code_valid(&irreducible_not_primitive), 1);
    EXPECT_EQ(rs_init(&rs, &irreducible_not_primitive), 0);
    const RsSpec reducible = {8, 0x01, 32, 0, 1};
    EXPECT_EQ(rs_init(&rs, &reducible), 0);
    const RsSpec ok = {4, 0x3, 4, 0, 1};
    ASSERT_EQ(rs_init(&rs, &ok), 1);
    EXPECT_EQ(rs.nn, 15u);
    EXPECT_EQ(rs.kk, 11u);
    EXPECT_EQ(rs.t, 2u);
    const uint8_t powers[] = {1, 2, 4, 8, 3, 6, 12, 11, 5, 10, 7, 14, 15, 13, 9};
    for (int i = 0; i < 15; ++i) {
        EXPECT_EQ(rs.alpha_to[i], powers[i]);
        EXPECT_EQ(rs.alpha_to[15 + i % 14], powers[i % 14]);
        EXPECT_EQ(rs.index_of[powers[i]], i);
    }
    EXPECT_EQ(rs.index_of[0], 255);
    EXPECT_EQ(rs.index_of[16], 255);
    // (x + 1)(x + a)(x + a^2)(x + a^3) = x^4 + a^12 x^3 + a^4 x^2 + x + a^6
    const uint8_t gen[] = {12, 1, 3, 15, 1};
    EXPECT_TRUE(std::equal(gen, gen + 5, rs_generator(&rs)));
}

class RsCoreCode : public ::testing::TestWithParam<RsSpec> {};

// Every correctable pattern is corrected, for roots that start anywhere and step by any prim.
TEST_P(RsCoreCode, CorrectsUpToTErrors) {
    RsCodec rs;
    ASSERT_EQ(rs_init(&rs, &GetParam()), 1);
    const uint8_t mask = static_cast<uint8_t>(rs.nn);
    for (uint32_t seed = 1; seed <= 30; ++seed) {
        auto cw = random_bytes(rs.nn, seed, mask);
        rs_encode(&rs, cw.data(), cw.data() + rs.kk);
        ASSERT_EQ(rs_codeword_ok(&rs, cw.data()), 1);
        const auto sent = cw;
        const uint32_t errors = 1 + seed % rs.t;
        corrupt(cw, errors, seed, rs.nn, 0, 1, mask);
        EXPECT_EQ(rs_decode(&rs, cw.data()), static_cast<int>(errors)) << seed;
        EXPECT_EQ(cw, sent) << seed;
    }
}

INSTANTIATE_TEST_SUITE_P(Codes, RsCoreCode,
                         ::testing::Values(RsSpec{4, 0x3, 4, 0, 1}, RsSpec{4, 0x3, 6, 1, 2}, RsSpec{3, 0x3, 2, 5, 3},
                                           RsSpec{8, 0x1D, 16, 0, 1}, RsSpec{8, 0x87, 32, 112, 11},
                                           RsSpec{6, 0x3, 10, 1000, 5}),
                         [](const auto &info) {
                             const RsSpec &c = info.param;
                             std::string name = "m";
                             for (const auto &[label, value] : {std::pair{"", c.symsize},
                                                                {"_roots", static_cast<int32_t>(c.nroots)},
                                                                {"_fcr", static_cast<int32_t>(c.fcr)},
                                                                {"_prim", static_cast<int32_t>(c.prim)}})
                                 name.append(label).append(std::to_string(value));
                             return name;
                         });

TEST(RsCore, SymbolBitsAboveTheFieldAreIgnored) {
    RsCodec rs;
    const RsSpec spec = {4, 0x3, 4, 0, 1};
    ASSERT_EQ(rs_init(&rs, &spec), 1);
    auto cw = random_bytes(rs.nn, 5, 0x0F);
    rs_encode(&rs, cw.data(), cw.data() + rs.kk);
    for (auto &b : cw) b |= 0xF0;
    EXPECT_EQ(rs_codeword_ok(&rs, cw.data()), 1);
    EXPECT_EQ(rs_decode(&rs, cw.data()), 0);
}

}  // namespace
