// Internal pieces shared by the PN and Gold generators and by frame assembly, which runs
// the generators in place without allocating them.
#pragma once

#include <cstdint>
#include <cstring>

#include "gold_core.h"
#include "pn_core.h"

namespace qn::lfsr {

inline constexpr uint32_t kMaxDegree = 64;

[[nodiscard]] constexpr uint64_t register_mask(uint32_t degree) {
    return degree >= 64 ? ~uint64_t{0} : (uint64_t{1} << degree) - 1;
}

[[nodiscard]] inline uint64_t parity(uint64_t v) { return static_cast<uint64_t>(__builtin_parityll(v)); }

// The 16-byte header every state blob starts with (little-endian).
inline void put_u16(uint8_t *p, uint16_t v) { p[0] = uint8_t(v); p[1] = uint8_t(v >> 8); }
inline void put_u32(uint8_t *p, uint32_t v) { for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i)); }
inline void put_u64(uint8_t *p, uint64_t v) { for (int i = 0; i < 8; ++i) p[i] = uint8_t(v >> (8 * i)); }
[[nodiscard]] inline uint64_t get_u64(const uint8_t *p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}
[[nodiscard]] inline uint32_t get_u32(const uint8_t *p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline void put_blob_header(uint8_t *p, const char magic[4], uint16_t version, uint32_t size) {
    std::memcpy(p, magic, 4);
    put_u16(p + 4, version);
    p[6] = 1;
    p[7] = 0;
    put_u32(p + 8, size);
    put_u32(p + 12, 0);
}

[[nodiscard]] inline bool blob_header_ok(const uint8_t *p, const char magic[4], uint16_t version,
                                         uint32_t size) {
    return std::memcmp(p, magic, 4) == 0 && (p[4] | p[5] << 8) == version && p[6] == 1 &&
           get_u32(p + 8) == size;
}

// Fill a generator in place; false on the arguments pn_create / gold_create refuse.
[[nodiscard]] bool pn_configure(PnGen &pn, uint64_t poly, uint64_t seed, uint32_t degree, int32_t lfsr);
[[nodiscard]] bool gold_configure(GoldGen &gold, uint64_t poly1, uint64_t seed1, uint64_t poly2,
                                  uint64_t seed2, uint32_t degree);

}  // namespace qn::lfsr
