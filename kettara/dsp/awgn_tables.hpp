// The noise generator's two tables, each filled once (function-local statics: safe from
// several threads), then only read: the angle table and the logarithm rows.
#pragma once

#include <cstdint>

namespace qn {

// The angle table: entry i holds (cos, sin) of i / 65536 of a turn as lo_sin_lut gives them
// (the cosine read a quarter turn ahead), so a sample makes one table read, not two; filled
// on the first creation of a generator.
struct CosSin {
    float c, s;
};

const CosSin *angle_table();

// The logarithm of u = m 2^-24 in double precision, rounded once to float. m = 2^(e + 24) f
// with f in [1, 2) from the float bits of m (exact); f is rounded to the nearest 1 + i / 128,
// and with c_i, 1 / (1 + i / 128) rounded to 10 bits (so f c_i - 1 = r is exact, |r| < 2^-7.8),
// ln u = e ln 2 - ln c_i + ln(1 + r), the last by its series to r^5. At i = 128, c is 1/2 and
// its logarithm joins the exponent, so near u = 1 nothing cancels. A test over all 2^24
// arguments proves the result equal to the correctly rounded logarithm used before.
//
// One table row per exponent and i, found from the float bits of m rounded at the seventh
// mantissa bit: a rounding up to i = 128 carries into the exponent and lands on the next
// exponent's i = 0, whose row is the same. A row holds c_i 2^-(e + 24), so that m times it is
// f c_i exactly without taking f apart, and e ln 2 - ln c_i (in the two parts of ln 2: the
// high part times e is exact), so a sample adds only ln(1 + r).
inline constexpr uint32_t kLogSteps = 128;
inline constexpr int32_t kLowestExponent = -24;                         // e of m in [1, 2)
inline constexpr uint32_t kLogRows = -kLowestExponent * kLogSteps + 1;  // up to m = 2^24 (e = 0, i = 0)
inline constexpr uint32_t kLogRowBits = 0x3F800000u - (1u << 15);       // float bits of 1, less half a step

struct LogRow {
    double scaled_c;   // c_i 2^-(e + 24)
    double ln_offset;  // e ln 2 - ln c_i
};

const LogRow *log_rows();

}  // namespace qn
