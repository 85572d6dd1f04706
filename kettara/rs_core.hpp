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

}  // namespace kettara
