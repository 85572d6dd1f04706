#include "conv_core.h"

#include "checked.hpp"

namespace {

uint32_t output_word(const ConvSpec &spec, uint32_t reg) {
    uint32_t word = 0;
    for (uint32_t j = 0; j < spec.n; ++j) word |= static_cast<uint32_t>(__builtin_parity(reg & spec.polys[j])) << j;
    return word ^ (spec.invert & ((1u << spec.n) - 1u));
}

// Encodes with N outputs per input bit and returns the new state; word_of(reg) is the
// output word of a register value.
template <uint32_t N, typename WordOf>
uint32_t encode_run(uint32_t s, uint32_t input_shift, const uint8_t *in, size_t n_in, uint8_t *out, WordOf word_of) {
    for (size_t i = 0; i < n_in; ++i) {
        // Read the input bit before writing: the input may sit right-aligned in `out`,
        // where the last outputs of this bit overwrite it.
        const uint32_t reg = s | ((in[i] & 1u) << input_shift);
        const uint32_t word = word_of(reg);
        for (uint32_t j = 0; j < N; ++j) out[i * N + j] = static_cast<uint8_t>((word >> j) & 1u);
        s = reg >> 1;
    }
    return s;
}

template <typename WordOf>
uint32_t encode_any(uint32_t n, uint32_t s, uint32_t input_shift, const uint8_t *in, size_t n_in, uint8_t *out,
                    WordOf word_of) {
    switch (n) {
        case 1: return encode_run<1>(s, input_shift, in, n_in, out, word_of);
        case 2: return encode_run<2>(s, input_shift, in, n_in, out, word_of);
        case 3: return encode_run<3>(s, input_shift, in, n_in, out, word_of);
        case 4: return encode_run<4>(s, input_shift, in, n_in, out, word_of);
        case 5: return encode_run<5>(s, input_shift, in, n_in, out, word_of);
        default: return encode_run<6>(s, input_shift, in, n_in, out, word_of);
    }
}

}  // namespace

extern "C" {

int conv_code_valid(const ConvSpec *spec) {
    if (!spec || spec->K < 2 || spec->K > 9 || spec->n < 1 || spec->n > CONV_MAX_OUTPUTS) return 0;
    for (uint32_t j = 0; j < spec->n; ++j)
        if (spec->polys[j] == 0 || spec->polys[j] >= (1u << spec->K)) return 0;
    return 1;
}

uint32_t conv_outputs(const ConvSpec *spec, uint32_t state, uint32_t bit) {
    if (!conv_code_valid(spec)) return 0;
    return output_word(*spec, state | ((bit & 1u) << (spec->K - 1)));
}

void conv_enc_init(uint32_t *state) {
    if (state) *state = 0;
}

size_t conv_encode(uint32_t *state, const ConvSpec *spec, const uint8_t *in, size_t n_in, uint8_t *out,
                   size_t out_cap) {
    if (!state || !in || !out || n_in == 0 || !conv_code_valid(spec)) return 0;
    const auto n_out = qn::checked_mul<size_t>(n_in, spec->n);
    if (!n_out || *n_out > out_cap) return 0;

    const uint32_t s = *state & ((1u << (spec->K - 1)) - 1u);
    const uint32_t input_shift = spec->K - 1;
    const uint32_t registers = 1u << spec->K;
    if (n_in < registers) {
        *state = encode_any(spec->n, s, input_shift, in, n_in, out,
                            [spec](uint32_t reg) { return output_word(*spec, reg); });
        return *n_out;
    }
    // Long inputs look their output words up in a table of every register value.
    uint8_t words[1u << 9];
    for (uint32_t reg = 0; reg < registers; ++reg) words[reg] = static_cast<uint8_t>(output_word(*spec, reg));
    *state = encode_any(spec->n, s, input_shift, in, n_in, out, [&words](uint32_t reg) { return words[reg]; });
    return *n_out;
}

}  // extern "C"
