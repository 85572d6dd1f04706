#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "det_math.hpp"
#include "simd_paths.hpp"

namespace {

// Every phasor path gives the scalar path's bits: angles across the fast range and either
// side of its ends, with the slow-path angles (large, infinite, NaN) among them.
class PhasorPaths : public testing::TestWithParam<qn::test::PathAndLength> {};

TEST_P(PhasorPaths, MatchTheScalarPath) {
    const auto [level, n] = GetParam();
    const float unusual[] = {8.0f, -8.0f, 8.000001f, 100.0f, -1.0e6f, 3.0e30f, INFINITY, NAN, -0.0f};
    std::vector<float> angles(n);
    for (size_t i = 0; i < n; ++i)
        angles[i] = i % 7 == 3 ? unusual[(i / 7) % std::size(unusual)] : -8.5f + 17.0f * float(i) / float(n);
    std::vector<cf32> want(n), got(n);
    qn::det_phasors(qn::SimdLevel::scalar, angles.data(), want.data(), n);
    qn::det_phasors(level, angles.data(), got.data(), n);
    EXPECT_TRUE(n == 0 || std::memcmp(got.data(), want.data(), n * sizeof(cf32)) == 0);
}

QN_INSTANTIATE_OVER_PATHS(PhasorPaths);

}  // namespace
