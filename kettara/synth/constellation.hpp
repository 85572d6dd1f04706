// Constellations of the linear modulations, and the mapper that turns each symbol's bits
// into its point (pi/4-QPSK keeping its phase, offset QPSK delaying its quadrature rail).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "qn_api.h"

namespace qn::synth {

// The most bits one symbol of any mapping carries (1024-QAM).
constexpr uint32_t kMaxBitsPerSymbol = 10;

// The points of mapping `bitmod` (a WFM_BITMOD_* code), indexed by the label of the
// symbol's bits (first bit most significant), all built once; count is 2^bits.
struct Constellation {
    const cf32 *points;
    uint32_t bits;
};
Constellation constellation(uint32_t bitmod);
// The default ring radius ratios of an APSK mapping (one for 16APSK, two for 32APSK);
// null for the other mappings.
const double *default_apsk_rings(uint32_t bitmod);

class SymbolMapper {
public:
    // bitmod must be a WFM_BITMOD_* code; nsps sizes offset QPSK's delay line (nsps / 2);
    // rings, when given, are the ring ratios of an APSK mapping (valid ones) instead of its
    // defaults.
    SymbolMapper(uint32_t bitmod, int nsps, const double *rings = nullptr);
    // Moves keep the table pointing into the moved buffer; a copy would not.
    SymbolMapper(const SymbolMapper &) = delete;
    SymbolMapper &operator=(const SymbolMapper &) = delete;
    SymbolMapper(SymbolMapper &&) = default;
    SymbolMapper &operator=(SymbolMapper &&) = default;

    [[nodiscard]] uint32_t bits_per_symbol() const { return table_.bits; }
    // The point of the next symbol's label.
    cf32 map(uint32_t label);
    // Applied to the shaped samples: offset QPSK's quadrature rail runs nsps / 2 late.
    void finish(cf32 *out, size_t m);
    void rewind();

    // Running state of the differential phase and the delay line.
    [[nodiscard]] size_t state_bytes() const;
    void save(uint8_t *out) const;
    [[nodiscard]] bool fits(const uint8_t *in) const;
    void restore(const uint8_t *in);

private:
    std::vector<cf32> own_;  // an APSK table of other rings than the default ones
    Constellation table_;
    bool differential_;
    uint8_t phase_ = 0;           // pi/4-QPSK phase in eighths of a turn
    std::vector<float> delayed_;  // offset QPSK: the quadrature values still to come out
    size_t delay_pos_ = 0;
};

}  // namespace qn::synth
