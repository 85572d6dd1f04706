#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "conv.h"

namespace {

std::vector<uint8_t> encode(uint32_t &state, const std::vector<uint8_t> &in, const ConvSpec &spec = CCSDS_TM_CONV) {
    std::vector<uint8_t> out(in.size() * spec.n, 9);
    EXPECT_EQ(conv_encode(&state, &spec, in.data(), in.size(), out.data(), out.size()), out.size());
    return out;
}

TEST(Conv, CcsdsImpulseResponse) {
    uint32_t state = 0;
    EXPECT_EQ(encode(state, {1, 0, 0, 0, 0, 0, 0}), (std::vector<uint8_t>{1, 0, 1, 1, 1, 0, 1, 0, 0, 1, 0, 0, 1, 0}));
    EXPECT_EQ(state, 0u);
    EXPECT_EQ(encode(state, {0, 0, 0, 0}), (std::vector<uint8_t>{0, 1, 0, 1, 0, 1, 0, 1}));
}

TEST(Conv, OutputsOfOneStep) {
    EXPECT_EQ(conv_outputs(&CCSDS_TM_CONV, 0, 1), 0b01u);   // G1 = 1, G2 = 1 inverted
    EXPECT_EQ(conv_outputs(&CCSDS_TM_CONV, 0, 0), 0b10u);
    EXPECT_EQ(conv_outputs(&CCSDS_TM_CONV, 0x01, 0), 0b01u);  // oldest input: both taps set
    EXPECT_EQ(conv_outputs(&CCSDS_TM_CONV, 0x20, 2), 0b11u);  // bit read by its lowest bit; only G1 taps u(t-1)
}

TEST(Conv, SplitCallsContinueTheStream) {
    std::mt19937 gen(1);
    std::vector<uint8_t> in(1000);
    for (auto &b : in) b = static_cast<uint8_t>(gen() & 0xFF);  // only the lowest bit counts
    uint32_t whole_state = 0;
    const auto whole = encode(whole_state, in);
    uint32_t state = 0;
    std::vector<uint8_t> pieces;
    for (size_t at = 0, step = 1; at < in.size(); at += step, step = step * 3 % 97 + 1) {
        const std::vector<uint8_t> part(in.begin() + at, in.begin() + std::min(in.size(), at + step));
        const auto coded = encode(state, part);
        pieces.insert(pieces.end(), coded.begin(), coded.end());
    }
    EXPECT_EQ(pieces, whole);
    EXPECT_EQ(state, whole_state);
}

// Frame assembly hands the encoder its input right-aligned inside the output buffer.
TEST(Conv, InputRightAlignedInTheOutputBuffer) {
    std::mt19937 gen(2);
    for (uint32_t n : {1u, 2u, 3u, 6u}) {
        const ConvSpec spec = {7, n, {0x79, 0x5B, 0x65, 0x47, 0x6D, 0x5F}, 0x15};
        std::vector<uint8_t> in(333);
        for (auto &b : in) b = static_cast<uint8_t>(gen() & 1);
        uint32_t expect_state = 0x2A;
        const auto expect = encode(expect_state, in, spec);

        std::vector<uint8_t> buf(in.size() * n);
        std::copy(in.begin(), in.end(), buf.end() - static_cast<long>(in.size()));
        uint32_t state = 0x2A;
        ASSERT_EQ(conv_encode(&state, &spec, buf.data() + buf.size() - in.size(), in.size(), buf.data(), buf.size()),
                  buf.size());
        EXPECT_EQ(buf, expect) << n;
        EXPECT_EQ(state, expect_state);
    }
}

TEST(Conv, CodeValidity) {
    const ConvSpec cases[] = {
        {10, 2, {0x79, 0x5B}, 0}, {1, 1, {1}, 0},          {7, 0, {0x79}, 0},
        {7, 7, {1, 1, 1, 1, 1, 1}, 0}, {7, 2, {0x79, 0}, 0}, {7, 2, {0x80, 0x5B}, 0},
    };
    for (const auto &spec : cases) EXPECT_EQ(conv_code_valid(&spec), 0) << spec.K << " " << spec.n;
    EXPECT_EQ(conv_code_valid(nullptr), 0);
    EXPECT_EQ(conv_code_valid(&CCSDS_TM_CONV), 1);
    const ConvSpec widest = {9, 6, {0x1FF, 1, 2, 3, 4, 5}, 0xFFFFFFFF};
    EXPECT_EQ(conv_code_valid(&widest), 1);
}

TEST(Conv, RefusesWithoutWritingOrAdvancing) {
    const std::vector<uint8_t> in = {1, 1, 0, 1};
    std::vector<uint8_t> out(8, 7);
    uint32_t state = 0x15;
    const ConvSpec bad = {10, 2, {0x79, 0x5B}, 0};
    EXPECT_EQ(conv_encode(&state, &CCSDS_TM_CONV, in.data(), in.size(), out.data(), 7), 0u);
    EXPECT_EQ(conv_encode(&state, &CCSDS_TM_CONV, in.data(), 0, out.data(), 8), 0u);
    EXPECT_EQ(conv_encode(&state, &bad, in.data(), in.size(), out.data(), 8), 0u);
    EXPECT_EQ(conv_encode(&state, &CCSDS_TM_CONV, in.data(), SIZE_MAX, out.data(), SIZE_MAX), 0u);
    EXPECT_EQ(conv_encode(nullptr, &CCSDS_TM_CONV, in.data(), in.size(), out.data(), 8), 0u);
    EXPECT_EQ(out, std::vector<uint8_t>(8, 7));
    EXPECT_EQ(state, 0x15u);
    conv_enc_init(&state);
    EXPECT_EQ(state, 0u);
}

}  // namespace
