// Bit packing and codeblock steps shared by the telemetry frame operations and their
// coding units.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kettara {

inline constexpr size_t kMaxCodeblockOctets = 255 * 8;

// Octets to bits, most significant first.
void unpack_octets(const uint8_t *octets, size_t n_octets, uint8_t *bits);
// Bits (lowest bit of each byte) to octets, most significant first; with `derandomise`
// each bit is first XORed with the 17-stage randomiser sequence.
void pack_bits(const uint8_t *bits, size_t n_octets, uint8_t *octets, bool derandomise = false);

}  // namespace kettara
