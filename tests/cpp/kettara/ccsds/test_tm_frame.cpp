#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "asm.h"
#include "conv.h"
#include "desc.h"
#include "frame.h"
#include "rand.h"
#include "rs.h"

namespace {

using Bits = std::vector<uint8_t>;

std::vector<uint8_t> random_octets(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    std::vector<uint8_t> v(n);
    for (auto &b : v) b = static_cast<uint8_t>(gen());
    return v;
}

Bits unpack(const std::vector<uint8_t> &octets) {
    Bits bits;
    for (uint8_t o : octets)
        for (int b = 7; b >= 0; --b) bits.push_back((o >> b) & 1);
    return bits;
}

size_t payload_octets(const TmFrameConfig &cfg) { return cfg.rs_depth ? 223u * cfg.rs_depth : 100u; }

// The chain built step by step from the primitives, each in its own buffer.
Bits reference_frame(const TmFrameConfig &cfg, const std::vector<uint8_t> &payload, uint32_t &conv_state) {
    std::vector<uint8_t> block = payload;
    if (cfg.rs_depth) {
        block.resize(255u * cfg.rs_depth);
        EXPECT_EQ(ccsds_tm_rs_encode_block(payload.data(), cfg.rs_depth, block.data()), block.size());
    }
    Bits body = unpack(block);
    if (cfg.randomise) ccsds_tm_randomise(body.data(), body.size());
    Bits frame(cfg.asm_ ? 32 : 0);
    ccsds_tm_asm_bits(frame.data());
    frame.insert(frame.end(), body.begin(), body.end());
    if (!cfg.conv) return frame;
    Bits coded(2 * frame.size());
    conv_encode(&conv_state, &CCSDS_TM_CONV, frame.data(), frame.size(), coded.data(), coded.size());
    return coded;
}

Bits encode(const TmFrameConfig &cfg, const std::vector<uint8_t> &payload, uint32_t *conv_state = nullptr) {
    Bits out(ccsds_tm_frame_layout(&cfg, payload.size(), nullptr) + 5, 9);
    const size_t n = ccsds_tm_frame_encode(&cfg, conv_state, payload.data(), payload.size(), out.data(), out.size());
    out.resize(n);
    return out;
}

Bits assemble(const TmFrameConfig &cfg, const std::vector<uint8_t> &payload, uint32_t *conv_state = nullptr) {
    const Bits payload_bits = unpack(payload);
    FrameDesc desc;
    EXPECT_EQ(ccsds_tm_frame_describe(&cfg, payload.size(), payload_bits.data(), &desc), 0);
    UnitOpsTable ops;
    ccsds_tm_frame_ops(&ops, conv_state);
    Bits out(ccsds_tm_frame_layout(&cfg, payload.size(), nullptr), 9);
    out.resize(wfm_frame_assemble(&desc, &ops, out.data(), out.size()));
    return out;
}

std::string name_of(const TmFrameConfig &c) {
    return "rs" + std::to_string(c.rs_depth) + (c.randomise ? "_rand" : "") + (c.asm_ ? "_asm" : "") +
           (c.conv ? "_conv" : "");
}

TEST(TmFrameLayout, ExactSizesAndOffsets) {
    struct Case {
        TmFrameConfig cfg;
        size_t octets;
        TmFrameLayout expect;
    };
    const Case cases[] = {
        {{1, 1, 1, 1}, 223, {2040, 2072, 4144, 0, 32, 32, 2040, 32, 2040, 0, 2072}},
        {{0, 0, 1, 0}, 100, {800, 832, 832, 0, 32, 0, 0, 0, 0, 0, 0}},
        {{5, 1, 0, 0}, 1115, {10200, 10200, 10200, 0, 0, 0, 10200, 0, 10200, 0, 0}},
        {{8, 0, 1, 1}, 1784, {16320, 16352, 32704, 0, 32, 32, 16320, 0, 0, 0, 16352}},
        {{0, 7, 0, 1}, 1, {8, 8, 16, 0, 0, 0, 0, 0, 8, 0, 8}},
    };
    for (const auto &c : cases) {
        TmFrameLayout l;
        std::memset(&l, 0xEE, sizeof l);
        EXPECT_EQ(ccsds_tm_frame_layout(&c.cfg, c.octets, &l), c.expect.coded_bits) << name_of(c.cfg);
        EXPECT_EQ(std::memcmp(&l, &c.expect, sizeof l), 0) << name_of(c.cfg);
    }
}

TEST(TmFrameLayout, PayloadMustFillTheCodeblock) {
    const std::vector<uint8_t> payload(2000, 0);
    Bits out(40000);
    struct Case {
        uint32_t depth;
        size_t octets;
    };
    for (const Case c : {Case{1, 222}, Case{1, 224}, Case{6, 1338}, Case{7, 1561}, Case{9, 2007}, Case{0, 0},
                         Case{2, 223}}) {
        const TmFrameConfig cfg = {c.depth, 1, 1, 1};
        EXPECT_EQ(ccsds_tm_frame_layout(&cfg, c.octets, nullptr), 0u) << c.depth << " " << c.octets;
        EXPECT_EQ(ccsds_tm_frame_encode(&cfg, nullptr, payload.data(), c.octets, out.data(), out.size()), 0u);
        FrameDesc desc;
        EXPECT_EQ(ccsds_tm_frame_describe(&cfg, c.octets, out.data(), &desc), -1);
    }
    EXPECT_EQ(ccsds_tm_frame_layout(nullptr, 223, nullptr), 0u);
    const TmFrameConfig cfg = {1, 0, 0, 0};
    EXPECT_EQ(ccsds_tm_frame_describe(&cfg, 223, out.data(), nullptr), -1);
    EXPECT_EQ(ccsds_tm_frame_describe(nullptr, 223, out.data(), nullptr), -1);
}

class TmFrameChain : public ::testing::TestWithParam<TmFrameConfig> {};

// Encode, the unit form assembled by the frame machinery, and the chain built by hand agree,
// frame after frame with one running convolutional state.
TEST_P(TmFrameChain, EncodeAndAssemblyMatchTheChain) {
    const TmFrameConfig cfg = GetParam();
    uint32_t ref_state = 0, enc_state = 0, unit_state = 0;
    for (uint32_t frame = 0; frame < 3; ++frame) {
        const auto payload = random_octets(payload_octets(cfg), frame + 10 * cfg.rs_depth);
        const Bits expect = reference_frame(cfg, payload, ref_state);
        EXPECT_EQ(encode(cfg, payload, &enc_state), expect) << frame;
        EXPECT_EQ(assemble(cfg, payload, &unit_state), expect) << frame;
    }
    EXPECT_EQ(enc_state, ref_state);
    EXPECT_EQ(unit_state, ref_state);
}

INSTANTIATE_TEST_SUITE_P(Configs, TmFrameChain,
                         ::testing::Values(TmFrameConfig{0, 0, 0, 0}, TmFrameConfig{0, 1, 1, 1},
                                           TmFrameConfig{0, 0, 0, 1}, TmFrameConfig{1, 1, 1, 1},
                                           TmFrameConfig{2, 0, 1, 0}, TmFrameConfig{3, 1, 0, 0},
                                           TmFrameConfig{5, 1, 1, 1}, TmFrameConfig{8, 1, 1, 1}),
                         [](const auto &info) { return name_of(info.param); });

TEST(TmFrameEncode, AnyNonZeroRandomiseIsTheSeventeenStageOne) {
    const auto payload = random_octets(223, 4);
    EXPECT_EQ(encode({1, 2, 1, 0}, payload), encode({1, 1, 1, 0}, payload));
    EXPECT_EQ(encode({1, 0xFFFFFFFF, 1, 0}, payload), encode({1, 1, 1, 0}, payload));
}

TEST(TmFrameEncode, RefusesTooSmallABuffer) {
    const TmFrameConfig cfg = {1, 1, 1, 1};
    const auto payload = random_octets(223, 5);
    Bits out(4144 + 8, 9);
    EXPECT_EQ(ccsds_tm_frame_encode(&cfg, nullptr, payload.data(), 223, out.data(), 4143), 0u);
    EXPECT_EQ(out[4143], 9);
    EXPECT_EQ(ccsds_tm_frame_encode(&cfg, nullptr, nullptr, 223, out.data(), out.size()), 0u);
    EXPECT_EQ(ccsds_tm_frame_encode(&cfg, nullptr, payload.data(), 223, nullptr, out.size()), 0u);
    uint32_t state = 0x3F;
    EXPECT_EQ(ccsds_tm_frame_encode(&cfg, &state, payload.data(), 223, out.data(), 4144), 4144u);
}

// A running state changes at most the first six bit pairs of the next frame, and none
// when the previous frame ended in six zeros.
TEST(TmFrameEncode, ConvolutionalStateCarriesAcrossFrames) {
    const TmFrameConfig cfg = {0, 0, 1, 1};
    const auto payload = random_octets(100, 6);
    auto ends_in_ones = payload;
    ends_in_ones[99] = 0xFF;
    auto ends_in_zeros = payload;
    ends_in_zeros[99] = 0x80;
    const Bits fresh = encode(cfg, payload);
    for (const auto &first : {ends_in_ones, ends_in_zeros}) {
        uint32_t state = 0;
        encode(cfg, first, &state);
        const Bits next = encode(cfg, payload, &state);
        ASSERT_EQ(next.size(), fresh.size());
        EXPECT_TRUE(std::equal(next.begin() + 12, next.end(), fresh.begin() + 12));
        EXPECT_EQ(std::equal(next.begin(), next.begin() + 12, fresh.begin()), first[99] == 0x80);
    }
}

class TmFrameDecode : public ::testing::TestWithParam<TmFrameConfig> {};

// Up to 16 corrupted octets per codeword, and a damaged marker, still give the payload back.
TEST_P(TmFrameDecode, CorrectsAndCounts) {
    const TmFrameConfig cfg = GetParam();
    const uint32_t depth = cfg.rs_depth;
    const auto payload = random_octets(223u * depth, depth);
    Bits frame = encode(cfg, payload);
    const size_t body = cfg.asm_ ? 32 : 0;
    if (cfg.asm_) frame[3] ^= 1;

    std::mt19937 gen(depth);
    for (uint32_t cw = 0; cw < depth; ++cw) {
        const uint32_t errors = cw == 0 ? 0 : 16 - cw % 3;
        for (uint32_t e = 0; e < errors; ++e) {
            const size_t octet = cw + (e * 15 + cw) % 255 * depth;  // distinct octets of codeword cw
            frame[body + 8 * octet + gen() % 8] ^= 1;
        }
    }
    std::vector<uint8_t> out(payload.size() + 3, 0xAB);
    TmDecodeStats stats;
    ASSERT_EQ(ccsds_tm_frame_decode(&cfg, frame.data(), frame.size(), out.data(), out.size(), &stats), payload.size());
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), out.begin()));
    EXPECT_EQ(out[payload.size()], 0xAB);
    uint32_t symbols = 0;
    for (uint32_t cw = 1; cw < depth; ++cw) symbols += 16 - cw % 3;
    EXPECT_EQ(stats.payload_octets, payload.size());
    EXPECT_EQ(stats.codewords, depth);
    EXPECT_EQ(stats.codewords_ok, depth);
    EXPECT_EQ(stats.codewords_corrected, depth - 1);
    EXPECT_EQ(stats.symbols_corrected, symbols);

    // The same frame checked through the unit form gets the same counts per unit.
    const Bits payload_bits = unpack(payload);
    FrameDesc desc;
    ASSERT_EQ(ccsds_tm_frame_describe(&cfg, payload.size(), payload_bits.data(), &desc), 0);
    UnitOpsTable ops;
    ccsds_tm_frame_ops(&ops, nullptr);
    FrameCheckReport report;
    EXPECT_EQ(wfm_frame_check(&desc, &ops, frame.data(), &report), 1);
    EXPECT_EQ(report.nchecked, cfg.randomise ? 2u : 1u);
    const UnitCheck &rs = report.units[0];
    EXPECT_EQ(rs.examined, depth);
    EXPECT_EQ(rs.ok, depth);
    EXPECT_EQ(rs.corrected_units, depth - 1);
    EXPECT_EQ(rs.corrected_symbols, symbols);
    EXPECT_EQ(rs.valid, 1u);
    const Bits clean = encode({depth, 0, cfg.asm_, 0}, payload);
    EXPECT_TRUE(std::equal(clean.begin() + static_cast<long>(body), clean.end(), frame.begin() + static_cast<long>(body)));
}

INSTANTIATE_TEST_SUITE_P(Configs, TmFrameDecode,
                         ::testing::Values(TmFrameConfig{1, 1, 1, 0}, TmFrameConfig{2, 0, 0, 0},
                                           TmFrameConfig{4, 1, 0, 0}, TmFrameConfig{5, 1, 1, 0},
                                           TmFrameConfig{8, 0, 1, 0}),
                         [](const auto &info) { return name_of(info.param); });

TEST(TmFrameDecodeEdges, UncorrectableCodewordShowsInTheCounts) {
    const TmFrameConfig cfg = {2, 1, 1, 0};
    const auto payload = random_octets(446, 8);
    Bits frame = encode(cfg, payload);
    for (size_t octet = 0; octet < 40; ++octet) frame[32 + 8 * (1 + 2 * octet)] ^= 1;  // codeword 1
    std::vector<uint8_t> out(446);
    TmDecodeStats stats;
    EXPECT_EQ(ccsds_tm_frame_decode(&cfg, frame.data(), frame.size(), out.data(), out.size(), &stats), 446u);
    EXPECT_EQ(stats.codewords, 2u);
    EXPECT_EQ(stats.codewords_ok, 1u);
    EXPECT_EQ(stats.codewords_corrected, 0u);
    for (size_t j = 0; j < 223; ++j) EXPECT_EQ(out[2 * j], payload[2 * j]);
}

TEST(TmFrameDecodeEdges, WithoutReedSolomonThePayloadIsEveryOctet) {
    const TmFrameConfig cfg = {0, 1, 1, 0};
    const auto payload = random_octets(37, 9);
    Bits frame = encode(cfg, payload);
    for (auto &b : frame) b |= 2;  // only the lowest bit counts
    std::vector<uint8_t> out(37);
    TmDecodeStats stats;
    std::memset(&stats, 0xEE, sizeof stats);
    ASSERT_EQ(ccsds_tm_frame_decode(&cfg, frame.data(), frame.size(), out.data(), out.size(), &stats), 37u);
    EXPECT_EQ(out, payload);
    EXPECT_EQ(stats.payload_octets, 37u);
    EXPECT_EQ(stats.codewords + stats.codewords_ok + stats.codewords_corrected + stats.symbols_corrected, 0u);
}

TEST(TmFrameDecodeEdges, RefusesMalformedInput) {
    const Bits bits(2072 + 8, 0);
    std::vector<uint8_t> out(300);
    struct Case {
        TmFrameConfig cfg;
        size_t n_bits;
        size_t out_cap;
    };
    for (const Case &c : {Case{{0, 0, 1, 0}, 32, 300}, Case{{0, 0, 1, 0}, 30, 300}, Case{{0, 0, 0, 0}, 0, 300},
                          Case{{0, 0, 0, 0}, 801, 300}, Case{{1, 0, 1, 0}, 2080, 300},
                          Case{{1, 0, 1, 0}, 2072, 222}, Case{{0, 0, 1, 0}, 832, 99}, Case{{6, 0, 0, 0}, 2040, 300}})
        EXPECT_EQ(ccsds_tm_frame_decode(&c.cfg, bits.data(), c.n_bits, out.data(), c.out_cap, nullptr), 0u)
            << name_of(c.cfg) << " " << c.n_bits << " " << c.out_cap;
    const TmFrameConfig cfg = {1, 0, 1, 0};
    EXPECT_EQ(ccsds_tm_frame_decode(&cfg, bits.data(), 2072, out.data(), 223, nullptr), 223u);
}

TEST(TmFrameUnits, TableAndUnitChecks) {
    UnitOpsTable ops = {nullptr, 0, nullptr};
    ccsds_tm_frame_ops(nullptr, nullptr);
    int context = 0;
    ccsds_tm_frame_ops(&ops, &context);
    ASSERT_EQ(ops.count, 3u);
    EXPECT_EQ(ops.context, &context);
    const UnitOps &outer = ops.entries[0];
    const UnitOps &rand = ops.entries[1];
    const UnitOps &inner = ops.entries[2];
    EXPECT_EQ(outer.kind, 1u);
    EXPECT_EQ(rand.kind, 2u);
    EXPECT_EQ(inner.kind, 3u);
    EXPECT_TRUE(outer.in_unit && !outer.emit && outer.undo);
    EXPECT_TRUE(rand.in_unit && !rand.emit && rand.undo);
    EXPECT_TRUE(!inner.in_unit && inner.emit && !inner.undo);

    // The outer unit refuses a depth the codec lacks or a span that is not the codeblock.
    Bits span(2040 * 8, 0);
    UnitCheck check = {7, 7, 7, 7, 7};
    for (uint32_t depth : {0u, 6u, 7u, 9u}) {
        const FrameUnit unit = {1, 1, 2, depth, 0, 0};
        EXPECT_EQ(outer.in_unit(&unit, span.data(), 2040u * depth, nullptr), -1) << depth;
        EXPECT_EQ(outer.undo(&unit, span.data(), 2040u * depth, &check, nullptr), -1) << depth;
    }
    const FrameUnit depth2 = {1, 1, 2, 2, 0, 0};
    EXPECT_EQ(outer.in_unit(&depth2, span.data(), 4079, nullptr), -1);
    EXPECT_EQ(outer.undo(&depth2, span.data(), 4081, &check, nullptr), -1);
    EXPECT_EQ(check.valid, 7u);

    // The randomiser's param 2 is the legacy sequence.
    const FrameUnit legacy = {2, 1, 1, 2, 0, 0};
    Bits zeros(255, 0), expect(255);
    ccsds_tm_rand_seq_with(&CCSDS_TM_RAND_LEGACY, expect.data(), expect.size());
    EXPECT_EQ(rand.in_unit(&legacy, zeros.data(), zeros.size(), nullptr), 0);
    EXPECT_EQ(zeros, expect);
    EXPECT_EQ(rand.undo(&legacy, zeros.data(), zeros.size(), &check, nullptr), 0);
    EXPECT_EQ(zeros, Bits(255, 0));
    EXPECT_EQ(check.examined, 1u);
    EXPECT_EQ(check.ok, 1u);
    EXPECT_EQ(check.valid, 1u);

    // The inner unit refuses a buffer too small for the coded frame and keeps its state.
    uint32_t state = 0x21;
    const FrameUnit conv = {3, 0, 3, 0, 2, 1};
    Bits raw(10, 1), coded(19, 9);
    EXPECT_EQ(inner.emit(&conv, raw.data(), raw.size(), coded.data(), coded.size(), &state), 0u);
    EXPECT_EQ(state, 0x21u);
    EXPECT_EQ(coded, Bits(19, 9));
}

}  // namespace
