// Helpers for the state-blob tests of the primitives.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

namespace qn::test {

using Bytes = std::vector<unsigned char>;

template <typename T>
T read_le(const Bytes &b, std::size_t at) {
    T v;
    std::memcpy(&v, b.data() + at, sizeof v);
    return v;
}

template <typename T>
void write_le(Bytes &b, std::size_t at, T v) {
    std::memcpy(b.data() + at, &v, sizeof v);
}

// The header damages a restore must refuse: magic, version, the byte 1, the size field.
struct HeaderDamage {
    const char *what;
    std::size_t offset;
    unsigned char value;
};

inline const HeaderDamage kHeaderDamages[] = {
    {"magic", 0, 'X'},
    {"version 3", 4, 3},
    {"version high byte", 5, 1},
    {"byte 6", 6, 0},
    {"size field", 8, 0xFF},
};

}  // namespace qn::test
