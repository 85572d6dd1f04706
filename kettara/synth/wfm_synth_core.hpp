// Internal helpers of the waveform synthesiser shared with the source attachments.
#pragma once

#include <cstdint>

#include "wfm_spec.h"

namespace qn {

// Waveform types that play symbols and can therefore be pulse-shaped.
constexpr bool is_symbol_type(uint32_t wtype) {
    switch (wtype) {
    case WFM_TYPE_PN: case WFM_TYPE_BPSK: case WFM_TYPE_QPSK:
    case WFM_TYPE_BITS: case WFM_TYPE_SYMBOLS: case WFM_TYPE_DSSS:
        return true;
    default:
        return false;
    }
}

}  // namespace qn
