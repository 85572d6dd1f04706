#include "rs.h"

#include <array>
#include <cstring>

#include "rs.hpp"
#include "rs_core.hpp"

const RsSpec CCSDS_TM_RS = {8, 0x87u, 32u, 112u, 11u};

namespace {

using ByteMap = std::array<uint8_t, 256>;

// A linear map over the bits of an octet: the XOR of one row per set bit, bit 7 first.
constexpr ByteMap linear_map(const std::array<uint8_t, 8> &rows) {
    ByteMap map{};
    for (unsigned x = 0; x < 256; ++x) {
        uint8_t y = 0;
        for (unsigned b = 0; b < 8; ++b)
            if (x & (0x80u >> b)) y ^= rows[b];
        map[x] = y;
    }
    return map;
}

constexpr ByteMap kToDual = linear_map({0x8D, 0xEF, 0xEC, 0x86, 0xFA, 0x99, 0xAF, 0x7B});
constexpr ByteMap kToConv = linear_map({0xC5, 0x42, 0x2E, 0xFD, 0xF0, 0x79, 0xAC, 0xCC});

constexpr bool maps_are_inverse() {
    for (unsigned x = 0; x < 256; ++x)
        if (kToConv[kToDual[x]] != x) return false;
    return true;
}
static_assert(maps_are_inverse());

// The 32 parity octets of the division register packed in four words, octet j in bits
// 8 (j mod 8) of word j / 8, so that one step shifts and XORs whole words.
constexpr unsigned kRegisterWords = CCSDS_RS_PARITY / 8;
using ParityRegister = std::array<uint64_t, kRegisterWords>;

// The shared codec, with the table of "multiply by the root" of every syndrome and, for
// every feedback octet, the register image of feedback x g(x): a parity step costs four
// word XORs.
struct CcsdsCodec {
    RsCodec rs{};
    uint8_t root_mul[CCSDS_RS_PARITY][256]{};
    ParityRegister feedback_rows[256]{};
};

const CcsdsCodec &shared_codec() {
    // A function-local static is built exactly once, even when first calls race.
    static const CcsdsCodec codec = [] {
        CcsdsCodec c;
        rs_init(&c.rs, &CCSDS_TM_RS);
        for (uint32_t i = 0; i < CCSDS_RS_PARITY; ++i) {
            const uint32_t root = kettara::rs_root_log(c.rs, i);
            for (unsigned x = 1; x < 256; ++x) c.root_mul[i][x] = c.rs.alpha_to[c.rs.index_of[x] + root];
        }
        for (unsigned fb = 1; fb < 256; ++fb)
            for (unsigned j = 0; j < CCSDS_RS_PARITY; ++j) {
                const uint8_t g = c.rs.genpoly[CCSDS_RS_PARITY - 1 - j];
                const uint64_t term = g ? c.rs.alpha_to[c.rs.index_of[fb] + c.rs.index_of[g]] : 0;
                c.feedback_rows[fb][j / 8] |= term << (8 * (j % 8));
            }
        return c;
    }();
    return codec;
}

// Parity of 223 conventional-basis data octets: the division register of the generic
// encoder, shifted one octet per data octet.
void conventional_parity(const CcsdsCodec &c, const uint8_t *data, uint8_t *parity) {
    ParityRegister reg{};
    for (unsigned i = 0; i < CCSDS_RS_K; ++i) {
        const ParityRegister &row = c.feedback_rows[(reg[0] & 0xFFu) ^ data[i]];
        for (unsigned w = 0; w + 1 < kRegisterWords; ++w) reg[w] = ((reg[w] >> 8) | (reg[w + 1] << 56)) ^ row[w];
        reg[kRegisterWords - 1] = (reg[kRegisterWords - 1] >> 8) ^ row[kRegisterWords - 1];
    }
    for (unsigned j = 0; j < CCSDS_RS_PARITY; ++j) parity[j] = static_cast<uint8_t>(reg[j / 8] >> (8 * (j % 8)));
}

// Syndromes of a conventional-basis codeword; true when all are zero. The received word is
// d(x) x^32 + p(x), and d(x) x^32 mod g(x) is the parity its data should carry, so its
// remainder mod g(x) is that parity XOR the received one. g(x) vanishes at every root:
// the syndromes are those of the remainder, by Horner's rule over 32 coefficients.
bool syndromes(const CcsdsCodec &c, const uint8_t *codeword, uint8_t *synd) {
    uint8_t remainder[CCSDS_RS_PARITY];
    conventional_parity(c, codeword, remainder);
    uint8_t any = 0;
    for (unsigned j = 0; j < CCSDS_RS_PARITY; ++j) {
        remainder[j] ^= codeword[CCSDS_RS_K + j];
        any |= remainder[j];
    }
    if (any == 0) {
        std::memset(synd, 0, CCSDS_RS_PARITY);
        return true;
    }
    return kettara::horner_syndromes(CCSDS_RS_PARITY, CCSDS_RS_PARITY, remainder, synd,
                                     [&c](uint32_t i, uint8_t s) { return c.root_mul[i][s]; });
}

void to_conventional(const uint8_t *dual, uint8_t *conv, size_t n) {
    for (size_t i = 0; i < n; ++i) conv[i] = kToConv[dual[i]];
}

void to_dual(const uint8_t *conv, uint8_t *dual, size_t n) {
    for (size_t i = 0; i < n; ++i) dual[i] = kToDual[conv[i]];
}

// Decodes a dual-basis codeword in place; rewritten only when symbols were corrected.
int decode_dual(uint8_t *codeword) {
    const CcsdsCodec &c = shared_codec();
    uint8_t conv[CCSDS_RS_N];
    uint8_t synd[CCSDS_RS_PARITY];
    to_conventional(codeword, conv, CCSDS_RS_N);
    if (syndromes(c, conv, synd)) return 0;
    const int corrected = kettara::rs_correct(c.rs, conv, synd);
    if (corrected > 0) to_dual(conv, codeword, CCSDS_RS_N);
    return corrected;
}

}  // namespace

extern "C" {

uint8_t ccsds_tm_rs_conv_to_dual(uint8_t x) { return kToDual[x]; }
uint8_t ccsds_tm_rs_dual_to_conv(uint8_t x) { return kToConv[x]; }

const uint8_t *ccsds_tm_rs_generator(void) { return shared_codec().rs.genpoly; }

void ccsds_tm_rs_encode(const uint8_t *data, uint8_t *parity) {
    if (!data || !parity) return;
    uint8_t conv[CCSDS_RS_K];
    to_conventional(data, conv, CCSDS_RS_K);
    conventional_parity(shared_codec(), conv, parity);
    to_dual(parity, parity, CCSDS_RS_PARITY);
}

int ccsds_tm_rs_codeword_ok(const uint8_t *codeword) {
    if (!codeword) return 0;
    uint8_t conv[CCSDS_RS_N];
    uint8_t synd[CCSDS_RS_PARITY];
    to_conventional(codeword, conv, CCSDS_RS_N);
    return syndromes(shared_codec(), conv, synd) ? 1 : 0;
}

int ccsds_tm_rs_decode(uint8_t *codeword) { return codeword ? decode_dual(codeword) : QN_ERR_INVALID; }

// Codeword i of a depth-I codeblock is made of the octets at i + j * I, j = 0 .. 254:
// the data octets first, then the parity octets that follow all the data.
size_t ccsds_tm_rs_encode_block(const uint8_t *data, uint32_t depth, uint8_t *out) {
    if (!data || !out || !kettara::rs_depth_valid(depth)) return 0;
    if (out != data) std::memcpy(out, data, size_t{CCSDS_RS_K} * depth);
    uint8_t message[CCSDS_RS_K];
    uint8_t parity[CCSDS_RS_PARITY];
    for (uint32_t i = 0; i < depth; ++i) {
        for (unsigned j = 0; j < CCSDS_RS_K; ++j) message[j] = out[i + j * depth];
        ccsds_tm_rs_encode(message, parity);
        for (unsigned j = 0; j < CCSDS_RS_PARITY; ++j) out[i + (CCSDS_RS_K + j) * depth] = parity[j];
    }
    return size_t{CCSDS_RS_N} * depth;
}

size_t ccsds_tm_rs_decode_block(uint8_t *codeblock, uint32_t depth, RsBlockStats *stats) {
    if (!codeblock || !kettara::rs_depth_valid(depth)) return 0;
    RsBlockStats counts{depth, 0, 0, 0};
    uint8_t codeword[CCSDS_RS_N];
    for (uint32_t i = 0; i < depth; ++i) {
        for (unsigned j = 0; j < CCSDS_RS_N; ++j) codeword[j] = codeblock[i + j * depth];
        const int result = decode_dual(codeword);
        if (result == RS_UNCORRECTABLE) {
            ++counts.failed;
        } else if (result > 0) {
            ++counts.corrected;
            counts.symbols += static_cast<uint32_t>(result);
            for (unsigned j = 0; j < CCSDS_RS_N; ++j) codeblock[i + j * depth] = codeword[j];
        }
    }
    if (stats) *stats = counts;
    return size_t{CCSDS_RS_K} * depth;
}

}  // extern "C"
