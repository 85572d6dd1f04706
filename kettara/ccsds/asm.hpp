// The process-wide marker bits, shared with the telemetry frame descriptors.
#pragma once

#include <cstdint>

namespace kettara {

inline constexpr uint32_t kAsmWord = 0x1ACFFC1Du;
inline constexpr unsigned kAsmBits = 32;

// The 32 marker bits, one per byte, most significant first; filled once per process.
const uint8_t *asm_marker_bits();

}  // namespace kettara
