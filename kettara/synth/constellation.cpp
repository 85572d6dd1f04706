// Constellation points of the symbol families, computed once.
#include "constellation.hpp"

#include <array>

#include "det_math.hpp"

namespace qn::synth {
namespace {

constexpr double kTwoPi = 6.283185307179586;

using PskTable = std::array<cf32, 8>;

}  // namespace

cf32 gray_psk(int bits_per_symbol, uint32_t label) {
    static const std::array<PskTable, 4> tables = [] {
        std::array<PskTable, 4> t{};
        for (int b = 1; b <= 3; ++b) {
            const uint32_t m = 1u << b;
            for (uint32_t v = 0; v < m; ++v) {
                uint32_t k = 0;
                for (uint32_t g = v; g != 0; g >>= 1) k ^= g;
                double angle = static_cast<double>(k) * kTwoPi / static_cast<double>(m);
                if (b == 2) angle += 0.7853981633974483;
                t[b][v] = cf32{static_cast<float>(qn::det_cos(angle)), static_cast<float>(qn::det_sin(angle))};
            }
        }
        return t;
    }();
    return tables[static_cast<size_t>(bits_per_symbol)][label];
}

}  // namespace qn::synth
