// The default randomiser's sequence, shared with the telemetry frame decoder.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kettara {

inline constexpr size_t kDefaultRandPeriod = 131071;

// The default randomiser's whole period, one bit per byte, generated once per process.
const uint8_t *default_rand_period();

// Hands emit(i, bit) the first n bits of the default randomiser's sequence.
template <typename Emit>
void for_each_default_rand_bit(size_t n, Emit emit) {
    const uint8_t *period = default_rand_period();
    for (size_t i = 0, k = 0; i < n; ++i) {
        emit(i, period[k]);
        if (++k == kDefaultRandPeriod) k = 0;
    }
}

}  // namespace kettara
