// The kernel paths this CPU runs crossed with output lengths: the parameters of the tests
// that hold every vector path to the bits of the scalar path.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <tuple>
#include <vector>

#include "simd_level.hpp"

namespace qn::test {

using PathAndLength = std::tuple<qn::SimdLevel, std::size_t>;

// Nothing, every remainder modulo the vector widths, the block sizes of the kernels (up
// to four vectors of eight floats) and one either side, a long odd run, and runs long
// enough for the noise generator's lanes (from 2,048 samples), exactly and with a rest.
inline const std::vector<std::size_t> kPathLengths = {0,  1,  2,  3,  4,  5,    7,    8,   9,
                                                      12, 13, 15, 16, 17, 64, 1003, 2048, 5003};

inline auto paths_and_lengths() {
    const auto paths = qn::simd_levels_here();
    return testing::Combine(testing::ValuesIn(paths.begin(), paths.end()), testing::ValuesIn(kPathLengths));
}

inline std::string path_and_length_name(const testing::TestParamInfo<PathAndLength> &info) {
    return std::string(qn::simd_level_name(std::get<0>(info.param))) + "_" + std::to_string(std::get<1>(info.param));
}

}  // namespace qn::test

// Instantiates the test suite `suite` (a TestWithParam<PathAndLength>) over every path here
// and every length.
#define QN_INSTANTIATE_OVER_PATHS(suite) \
    INSTANTIATE_TEST_SUITE_P(Paths, suite, qn::test::paths_and_lengths(), qn::test::path_and_length_name)
