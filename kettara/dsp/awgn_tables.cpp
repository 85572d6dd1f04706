#include "awgn_tables.hpp"

#include <array>
#include <bit>
#include <cmath>
#include <utility>

#include "det_math.hpp"
#include "lo_core.h"
#include "lo_core.hpp"

namespace qn {
namespace {

constexpr uint32_t kQuarterTurn = 16384;
constexpr double kLn2Hi = 0x1.62e42fee00000p-1;  // exact times any exponent below 2^21
constexpr double kLn2Lo = 0x1.a39ef35793c76p-33;

// c_i, 1 / (1 + i / 128) in 10 significant bits, and -ln c_i.
std::pair<double, double> log_step(uint32_t i) {
    if (i == 0) return {1.0, 0.0};
    const double exact = 1.0 / (1.0 + i / static_cast<double>(kLogSteps));
    const double c =
        std::bit_cast<double>((std::bit_cast<uint64_t>(exact) + (uint64_t{1} << 42)) & ~((uint64_t{1} << 43) - 1));
    const bool low = c < 0.7071067811865476;
    return {c, -det_log_reduced(low ? 2.0 * c : c, low ? -1.0 : 0.0)};
}

}  // namespace

const CosSin *angle_table() {
    static const CosSin *const table = [] {
        ensure_sin_table();
        auto *t = new CosSin[65536];
        for (uint32_t i = 0; i < 65536; ++i) t[i] = {lo_sin_lut[(i + kQuarterTurn) & 65535], lo_sin_lut[i]};
        return t;
    }();
    return table;
}

const LogRow *log_rows() {
    static const std::array<LogRow, kLogRows> table = [] {
        std::array<LogRow, kLogRows> t{};
        for (uint32_t row = 0; row < kLogRows; ++row) {
            const auto [c, minus_ln_c] = log_step(row % kLogSteps);
            const int32_t e = static_cast<int32_t>(row / kLogSteps) + kLowestExponent;
            const double ed = e;
            t[row] = {std::ldexp(c, -(e - kLowestExponent)), (ed * kLn2Hi + minus_ln_c) + ed * kLn2Lo};
        }
        return t;
    }();
    return table.data();
}

}  // namespace qn
