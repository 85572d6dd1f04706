// The modulation classes of the digital source types and of the bits source's mappings:
// which mapping a type plays, its class name and its order.
#pragma once

#include <cstdint>

namespace qn {

struct LinearClass {
    uint32_t bitmod;    // WFM_BITMOD_* mapping
    uint32_t type;      // WFM_TYPE_* of the same name, or WFM_TYPE_COUNT when only bits name it
    const char *family; // "psk", "qam", "apsk", "ask"
    uint32_t order;     // points of the constellation (2 for on-off keying)
    uint32_t bits_per_symbol;
};

// The class of a mapping, or null for a code outside the table.
const LinearClass *linear_class_of_bitmod(uint32_t bitmod);
// The class a linear source type plays, or null when the type is not one of them.
const LinearClass *linear_class_of_type(uint32_t type);
// The class of a type that refers "auto" SNRs to its symbol rate and offsets "ebno" ones
// by 10 log10(bits_per_symbol) by that rule (those after dsss); null for the others.
const LinearClass *symbol_rate_class_of_type(uint32_t type);
// Why n ring ratios do not fit an APSK mapping (null when they do, or the mapping is no
// APSK): one per ring beyond the inner one, each above 1 and above the one before.
const char *apsk_rings_error(uint32_t bitmod, const double *ratios, uint64_t n);
// Es/N0 - Eb/N0 in dB for the class's bits per symbol.
double ebno_offset_db(const LinearClass &c);

}  // namespace qn
