#include "asm.h"

#include <array>
#include <cstring>

#include "asm.hpp"

namespace kettara {

const uint8_t *asm_marker_bits() {
    // A function-local static is filled exactly once, even when first uses race.
    static const std::array<uint8_t, kAsmBits> bits = [] {
        std::array<uint8_t, kAsmBits> b{};
        for (unsigned j = 0; j < kAsmBits; ++j) b[j] = static_cast<uint8_t>((kAsmWord >> (kAsmBits - 1 - j)) & 1u);
        return b;
    }();
    return bits.data();
}

}  // namespace kettara

extern "C" {

void ccsds_tm_asm_bits(uint8_t *out) {
    if (out) std::memcpy(out, kettara::asm_marker_bits(), kettara::kAsmBits);
}

int ccsds_tm_asm_find(const uint8_t *bits, size_t n, uint32_t max_errors, AsmMatch *out) {
    if (!bits || n < kettara::kAsmBits) return 0;
    // The window slides one bit at a time: its newest bit enters at bit 0.
    uint32_t window = 0;
    for (size_t i = 0; i < n; ++i) {
        window = (window << 1) | (bits[i] & 1u);
        if (i + 1 < kettara::kAsmBits) continue;
        const uint32_t d = static_cast<uint32_t>(__builtin_popcount(window ^ kettara::kAsmWord));
        const uint32_t inverted = (kettara::kAsmBits - d) < d;
        const uint32_t e = inverted ? kettara::kAsmBits - d : d;
        if (e <= max_errors) {
            if (out) *out = AsmMatch{i + 1 - kettara::kAsmBits, inverted, e};
            return 1;
        }
    }
    return 0;
}

}  // extern "C"
