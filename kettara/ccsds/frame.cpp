#include "frame.h"

#include <cstring>

#include "asm.hpp"
#include "checked.hpp"
#include "conv.h"
#include "frame.hpp"
#include "rand.h"
#include "rand.hpp"
#include "rs.h"
#include "rs.hpp"

namespace kettara {

void unpack_octets(const uint8_t *octets, size_t n_octets, uint8_t *bits) {
    for (size_t i = 0; i < n_octets; ++i)
        for (unsigned b = 0; b < 8; ++b) bits[8 * i + b] = static_cast<uint8_t>((octets[i] >> (7 - b)) & 1u);
}

void pack_bits(const uint8_t *bits, size_t n_octets, uint8_t *octets, bool derandomise) {
    // Eight shifts per octet push out whatever it held before.
    const auto put = [bits, octets](size_t i, uint8_t rand_bit) {
        uint8_t &octet = octets[i / 8];
        octet = static_cast<uint8_t>((octet << 1) | ((bits[i] ^ rand_bit) & 1u));
    };
    if (derandomise) {
        for_each_default_rand_bit(8 * n_octets, put);
    } else {
        for (size_t i = 0; i < 8 * n_octets; ++i) put(i, 0);
    }
}

}  // namespace kettara

namespace {

constexpr uint64_t kCodewordBits = 8 * CCSDS_RS_N;

}  // namespace

extern "C" {

size_t ccsds_tm_frame_layout(const TmFrameConfig *cfg, size_t payload_octets, TmFrameLayout *layout) {
    if (!cfg || payload_octets == 0) return 0;
    const uint32_t depth = cfg->rs_depth;
    uint64_t body_bits = 0;
    if (depth != 0) {
        if (!kettara::rs_depth_valid(depth) || payload_octets != size_t{CCSDS_RS_K} * depth) return 0;
        body_bits = kCodewordBits * depth;
    } else {
        const auto bits = qn::checked_mul<uint64_t>(payload_octets, 8);
        if (!bits) return 0;
        body_bits = *bits;
    }
    const uint64_t asm_bits = cfg->asm_ ? kettara::kAsmBits : 0;
    const auto frame_bits = qn::checked_add<uint64_t>(body_bits, asm_bits);
    if (!frame_bits) return 0;
    const auto coded_bits = cfg->conv ? qn::checked_mul<uint64_t>(*frame_bits, 2) : frame_bits;
    if (!coded_bits || *coded_bits > SIZE_MAX) return 0;

    if (layout) {
        *layout = TmFrameLayout{};
        layout->body_bits = body_bits;
        layout->frame_bits = *frame_bits;
        layout->coded_bits = *coded_bits;
        layout->asm_bits = asm_bits;
        layout->rs_offset = depth ? asm_bits : 0;
        layout->rs_bits = depth ? body_bits : 0;
        layout->rand_offset = cfg->randomise ? asm_bits : 0;
        layout->rand_bits = cfg->randomise ? body_bits : 0;
        layout->conv_bits = cfg->conv ? *frame_bits : 0;
    }
    return static_cast<size_t>(*coded_bits);
}

size_t ccsds_tm_frame_encode(const TmFrameConfig *cfg, uint32_t *conv_state, const uint8_t *payload,
                             size_t payload_octets, uint8_t *out, size_t out_cap) {
    if (!payload || !out) return 0;
    TmFrameLayout l;
    const size_t coded_bits = ccsds_tm_frame_layout(cfg, payload_octets, &l);
    if (coded_bits == 0 || coded_bits > out_cap) return 0;

    // The unencoded frame sits right-aligned, so the convolutional encoder can write the
    // coded frame from the start of the same buffer.
    uint8_t *frame = out + (coded_bits - l.frame_bits);
    uint8_t *body = frame + l.asm_bits;
    if (cfg->rs_depth) {
        uint8_t codeblock[kettara::kMaxCodeblockOctets];
        if (ccsds_tm_rs_encode_block(payload, cfg->rs_depth, codeblock) == 0) return 0;
        kettara::unpack_octets(codeblock, l.body_bits / 8, body);
    } else {
        kettara::unpack_octets(payload, payload_octets, body);
    }
    if (cfg->randomise) ccsds_tm_randomise(body, l.body_bits);
    if (cfg->asm_) std::memcpy(frame, kettara::asm_marker_bits(), kettara::kAsmBits);
    if (cfg->conv) {
        uint32_t state = conv_state ? *conv_state : 0;
        if (conv_encode(&state, &CCSDS_TM_CONV, frame, l.frame_bits, out, out_cap) != coded_bits) return 0;
        if (conv_state) *conv_state = state;
    }
    return coded_bits;
}

size_t ccsds_tm_frame_decode(const TmFrameConfig *cfg, const uint8_t *bits, size_t n_bits, uint8_t *out,
                             size_t out_cap, TmDecodeStats *stats) {
    if (!cfg || !bits || !out) return 0;
    const size_t marker_bits = cfg->asm_ ? kettara::kAsmBits : 0;
    if (n_bits <= marker_bits || n_bits % 8 != 0) return 0;
    const size_t octets = (n_bits - marker_bits) / 8;
    const uint32_t depth = cfg->rs_depth;
    size_t payload_octets = octets;
    if (depth != 0) {
        if (octets != size_t{CCSDS_RS_N} * depth) return 0;
        payload_octets = size_t{CCSDS_RS_K} * depth;
    }
    TmFrameLayout l;
    if (ccsds_tm_frame_layout(cfg, payload_octets, &l) == 0 || l.frame_bits != n_bits || out_cap < payload_octets)
        return 0;

    TmDecodeStats result = {payload_octets, 0, 0, 0, 0};
    const uint8_t *body = bits + marker_bits;
    if (depth != 0) {
        uint8_t codeblock[kettara::kMaxCodeblockOctets];
        kettara::pack_bits(body, octets, codeblock, cfg->randomise != 0);
        RsBlockStats rs;
        ccsds_tm_rs_decode_block(codeblock, depth, &rs);
        std::memcpy(out, codeblock, payload_octets);
        result.codewords = depth;
        result.codewords_ok = depth - rs.failed;
        result.codewords_corrected = rs.corrected;
        result.symbols_corrected = rs.symbols;
    } else {
        kettara::pack_bits(body, octets, out, cfg->randomise != 0);
    }
    if (stats) *stats = result;
    return payload_octets;
}

}  // extern "C"
