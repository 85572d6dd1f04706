#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "blob_bytes.hpp"
#include "fir_core.h"
#include "fir_core.hpp"
#include "simd_paths.hpp"

namespace {

using qn::test::Bytes;
using Samples = std::vector<cf32>;

Samples ramp(size_t n) {
    Samples x(n);
    for (size_t i = 0; i < n; ++i) x[i] = {0.25f * float(i) - 3.0f, 1.0f / float(i + 1)};
    return x;
}

bool same_bits(const Samples &a, const Samples &b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(cf32)) == 0);
}

// The direct form written out, zero history before the first sample.
Samples reference_real(const std::vector<float> &taps, const Samples &x) {
    Samples y(x.size());
    for (size_t i = 0; i < x.size(); ++i) {
        float re = 0.0f, im = 0.0f;
        for (size_t k = 0; k < taps.size() && k <= i; ++k) {
            re += taps[k] * x[i - k].re;
            im += taps[k] * x[i - k].im;
        }
        for (size_t k = i + 1; k < taps.size(); ++k) {  // the zero history still adds its products
            re += taps[k] * 0.0f;
            im += taps[k] * 0.0f;
        }
        y[i] = {re, im};
    }
    return y;
}

std::vector<float> uneven_taps(size_t n) {
    std::vector<float> taps(n);
    for (size_t k = 0; k < n; ++k) taps[k] = 0.01f * float(k % 7) - 0.02f + 0.001f * float(k);
    return taps;
}

TEST(FirExecute, RealTapsMatchTheDirectForm) {
    const std::vector<float> taps = uneven_taps(65);
    const Samples x = ramp(301);
    Fir *f = fir_create_real(taps.data(), taps.size());
    Samples y(x.size());
    ASSERT_EQ(fir_execute(f, x.data(), x.size(), y.data()), x.size());
    EXPECT_TRUE(same_bits(y, reference_real(taps, x)));
    fir_destroy(f);
}

// Every kernel path straight on a work buffer (num_taps - 1 zeros of history, then the
// input) gives the direct form's bits.
class FirPaths : public testing::TestWithParam<qn::test::PathAndLength> {};

TEST_P(FirPaths, RealTapsMatchTheDirectForm) {
    const auto [level, n] = GetParam();
    const Samples x = ramp(n);
    for (size_t num_taps : {1, 2, 65}) {
        const std::vector<float> taps = uneven_taps(num_taps);
        Samples work(num_taps - 1 + n, cf32{0, 0});
        std::copy(x.begin(), x.end(), work.begin() + (num_taps - 1));
        Samples z(n);
        qn::fir_real_taps(level, taps.data(), taps.size(), work.data(), z.data(), z.size());
        EXPECT_TRUE(same_bits(z, reference_real(taps, x))) << num_taps << " taps";
    }
}

QN_INSTANTIATE_OVER_PATHS(FirPaths);

TEST(FirExecute, ComplexTapsFormEachProductThenAdd) {
    const cf32 taps[] = {{1.0f, 5.0f}, {2.0f, -1.0f}, {0.5f, 0.25f}};
    Fir *f = fir_create(taps, 3);
    EXPECT_EQ(fir_get_is_real(f), 0);
    EXPECT_EQ(fir_dc_gain(f), 3.5);
    const Samples x = ramp(20);
    Samples y(20);
    ASSERT_EQ(fir_execute(f, x.data(), 20, y.data()), 20u);
    for (size_t i = 0; i < 20; ++i) {
        float re = 0.0f, im = 0.0f;
        for (size_t k = 0; k < 3; ++k) {
            const cf32 v = k <= i ? x[i - k] : cf32{0, 0};
            re += taps[k].re * v.re - taps[k].im * v.im;
            im += taps[k].re * v.im + taps[k].im * v.re;
        }
        EXPECT_EQ(y[i].re, re) << i;
        EXPECT_EQ(y[i].im, im) << i;
    }
    fir_destroy(f);
    const cf32 two[] = {{1, 5}, {2, -1}};
    Fir *g = fir_create(two, 2);
    EXPECT_EQ(fir_dc_gain(g), 3.0);
    fir_destroy(g);
}

TEST(FirExecute, PiecesInPlaceAndOneTap) {
    const float taps[] = {0.5f, -0.25f, 0.125f, 1.0f};
    const Samples x = ramp(10);
    Fir *whole = fir_create_real(taps, 4);
    Samples once(10);
    fir_execute(whole, x.data(), 10, once.data());

    Fir *pieces = fir_create_real(taps, 4);
    Samples inplace = x;  // filtered in place, in calls of 1, 2, 3 and 4 samples
    size_t at = 0;
    for (size_t n : {1u, 2u, 3u, 4u}) {
        ASSERT_EQ(fir_execute(pieces, inplace.data() + at, n, inplace.data() + at), n);
        at += n;
    }
    EXPECT_TRUE(same_bits(once, inplace));

    fir_reset(pieces);
    Samples again(10);
    fir_execute(pieces, x.data(), 10, again.data());
    EXPECT_TRUE(same_bits(once, again));

    const float gain = 3.0f;
    Fir *one = fir_create_real(&gain, 1);
    Samples scaled(10);
    fir_execute(one, x.data(), 10, scaled.data());
    for (size_t i = 0; i < 10; ++i) EXPECT_TRUE(scaled[i].re == 3.0f * x[i].re && scaled[i].im == 3.0f * x[i].im);
    EXPECT_EQ(fir_state_bytes(one), 16u);
    Bytes blob(16);
    fir_get_state(one, blob.data());
    EXPECT_EQ(fir_set_state(one, blob.data()), 0);
    fir_reset(one);
    fir_destroy(whole);
    fir_destroy(pieces);
    fir_destroy(one);
}

TEST(FirExecute, RefusalsLeaveEverythingUnchanged) {
    const float taps[] = {1.0f, 2.0f};
    EXPECT_EQ(fir_create_real(nullptr, 2), nullptr);
    EXPECT_EQ(fir_create_real(taps, 0), nullptr);
    EXPECT_EQ(fir_create(nullptr, 1), nullptr);
    fir_destroy(nullptr);
    EXPECT_EQ(fir_execute_max_out(), 0u);

    Fir *f = fir_create_real(taps, 2);
    EXPECT_EQ(fir_get_num_taps(f), 2u);
    EXPECT_EQ(fir_get_is_real(f), 1);
    const Samples x = ramp(3);
    Samples y(3, cf32{7, 7});
    fir_execute(f, x.data(), 3, y.data());
    Bytes before(fir_state_bytes(f)), after(fir_state_bytes(f));
    fir_get_state(f, before.data());
    Samples untouched(3, cf32{7, 7});
    EXPECT_EQ(fir_execute(f, nullptr, 3, untouched.data()), 0u);
    EXPECT_EQ(fir_execute(f, x.data(), 3, nullptr), 0u);
    EXPECT_EQ(fir_execute(f, x.data(), 0, untouched.data()), 0u);
    EXPECT_EQ(fir_execute(nullptr, x.data(), 3, untouched.data()), 0u);
    fir_get_state(f, after.data());
    EXPECT_EQ(before, after);
    EXPECT_EQ(untouched[0].re, 7.0f);
    fir_destroy(f);
}

TEST(FirState, BlobLayoutRoundTripAndRefusals) {
    const float taps5[] = {1, 2, 3, 4, 5}, taps7[] = {1, 2, 3, 4, 5, 6, 7};
    Fir *f = fir_create_real(taps5, 5);
    ASSERT_EQ(fir_state_bytes(f), 48u);
    const Samples x = ramp(9);
    Samples y(9);
    fir_execute(f, x.data(), 9, y.data());
    Bytes blob(48);
    fir_get_state(f, blob.data());
    const Bytes header = {'F', 'I', 'R', '_', 1, 0, 1, 0, 48, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_TRUE(std::equal(header.begin(), header.end(), blob.begin()));
    for (int k = 0; k < 4; ++k) {  // the newest four inputs, oldest first
        EXPECT_EQ(qn::test::read_le<float>(blob, 16 + 8 * k), x[5 + k].re);
        EXPECT_EQ(qn::test::read_le<float>(blob, 20 + 8 * k), x[5 + k].im);
    }

    Fir *g = fir_create_real(taps5, 5);
    ASSERT_EQ(fir_set_state(g, blob.data()), 0);
    Samples a(6), b(6);
    const Samples more = ramp(6);
    fir_execute(f, more.data(), 6, a.data());
    fir_execute(g, more.data(), 6, b.data());
    EXPECT_TRUE(same_bits(a, b));

    Fir *seven = fir_create_real(taps7, 7);
    EXPECT_EQ(fir_set_state(seven, blob.data()), -4);
    for (const auto &damage : qn::test::kHeaderDamages) {
        Bytes bad = blob;
        bad[damage.offset] = damage.value;
        EXPECT_EQ(fir_set_state(g, bad.data()), -4) << damage.what;
    }
    fir_destroy(f);
    fir_destroy(g);
    fir_destroy(seven);
}

}  // namespace
