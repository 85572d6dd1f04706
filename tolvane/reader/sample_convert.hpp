// Wire samples to cf32 at unit scale. Float components are rounded to float; an integer
// code becomes code x unit in double (unit = 1 / full scale), rounded once to float; an
// offset-binary code c of n bits becomes (c - h) / h in double, h = 2^(n-1) - 0.5. The
// vector paths perform exactly these operations lane by lane, so the path changes the
// speed, never the bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "tolvane_core.h"

namespace tolvane {

// How the samples of a capture are stored.
struct WireLayout {
    int32_t sample_type;
    bool big_endian;
    bool complex;
};

enum class ConvertPath { scalar, sse2, avx2 };

// The paths this CPU runs, scalar first and the widest last.
std::span<const ConvertPath> convert_paths_here();

// Converts n samples from src into out with the widest path this CPU runs. The conversion
// may run forward in place: out may start at src or below it, as long as sample i of out
// ends at or below the start of wire sample i + 1 for every i (a block whose wire bytes
// sit at the tail of its own output).
void convert_samples(const WireLayout &wire, const unsigned char *src, size_t n, cf32 *out);
// The same through a chosen path, one of convert_paths_here().
void convert_samples(const WireLayout &wire, const unsigned char *src, size_t n, cf32 *out, ConvertPath path);

}  // namespace tolvane
