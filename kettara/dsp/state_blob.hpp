// The 16-byte header every state blob starts with, and little-endian field access.
// Header: 4-byte magic, uint16 version, a byte 1, a byte 0, uint32 total size, uint32 0.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace qn::blob {

static_assert(std::endian::native == std::endian::little, "blobs are stored in host order");

inline constexpr std::size_t kHeaderBytes = 16;

template <typename T>
inline void put(unsigned char *at, T value) {
    std::memcpy(at, &value, sizeof value);
}

template <typename T>
[[nodiscard]] inline T get(const unsigned char *at) {
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

inline void write_header(unsigned char *out, const char (&magic)[5], uint16_t version,
                         uint32_t total_size) {
    std::memcpy(out, magic, 4);
    put<uint16_t>(out + 4, version);
    out[6] = 1;
    out[7] = 0;
    put<uint32_t>(out + 8, total_size);
    put<uint32_t>(out + 12, 0);
}

// Byte 7 and the trailing zero word are not checked: only what identifies the layout.
[[nodiscard]] inline bool header_matches(const unsigned char *in, const char (&magic)[5],
                                         uint16_t version, std::size_t expected_size) {
    return std::memcmp(in, magic, 4) == 0 && get<uint16_t>(in + 4) == version && in[6] == 1 &&
           get<uint32_t>(in + 8) == expected_size;
}

}  // namespace qn::blob
