// Reed-Solomon internals shared by the generic codec and the CCSDS layer.
#pragma once

#include <cstdint>

#include "rs_core.h"

namespace kettara {

// Exponent of the root of g(x) used for syndrome i: prim * (fcr + i) mod nn.
uint32_t rs_root_log(const RsCodec &rs, uint32_t i);

// Steps 2 onwards of decoding once the syndromes are known (at least one non-zero):
// Berlekamp-Massey, Chien search, Forney. Returns the symbols corrected, or -1 with the
// codeword unchanged.
int rs_correct(const RsCodec &rs, uint8_t *codeword, const uint8_t *synd);

// Syndromes of the polynomial of n coefficients (poly[0] the highest power) by Horner's
// rule; mul_root(i, s) returns s times the root of syndrome i. True when all are zero.
template <typename MulRoot>
bool horner_syndromes(uint32_t n, uint32_t nroots, const uint8_t *poly, uint8_t *synd, MulRoot mul_root) {
    // All syndromes advance together, symbol by symbol: their chains run side by side.
    // They live in a local array, which the polynomial's bytes cannot alias.
    uint8_t s[RS_MAX_NROOTS];
    for (uint32_t i = 0; i < nroots; ++i) s[i] = poly[0];
    for (uint32_t j = 1; j < n; ++j) {
        const uint8_t sym = poly[j];
        for (uint32_t i = 0; i < nroots; ++i) s[i] = mul_root(i, s[i]) ^ sym;
    }
    uint8_t any = 0;
    for (uint32_t i = 0; i < nroots; ++i) {
        synd[i] = s[i];
        any |= s[i];
    }
    return any == 0;
}

}  // namespace kettara
