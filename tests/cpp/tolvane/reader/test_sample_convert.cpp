// Wire samples to cf32: every code path this CPU runs gives the scalar path's bits, for every
// ci16 and ci8 code and ci32 codes over the whole range, into a separate output and forward in
// place from the tail of the output, at lengths that leave every remainder of a vector step.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "blue_fixture.hpp"
#include "sample_convert.hpp"

using namespace fixture;

namespace {

// The components of every code of ci16 and ci8, and of ci32 codes spread over its range with
// both extremes, as little- or big-endian wire bytes.
Bytes all_codes(int stype, bool big) {
    Bytes b;
    if (stype == TOLVANE_STYPE_CI32) {
        uint32_t x = 12345;
        put<int32_t>(b, std::numeric_limits<int32_t>::max(), big);
        put<int32_t>(b, std::numeric_limits<int32_t>::min(), big);
        for (int i = 0; i < 65534; ++i) put<int32_t>(b, static_cast<int32_t>(x = x * 1664525u + 1013904223u), big);
    } else if (stype == TOLVANE_STYPE_CU8 || stype == TOLVANE_STYPE_CU16) {
        const int codes = stype == TOLVANE_STYPE_CU16 ? 65536 : 256;
        for (int code = 0; code < codes; ++code) put_component(b, stype, code, big);
    } else {
        const int bits = stype == TOLVANE_STYPE_CI16 ? 16 : 8;
        for (int code = -(1 << (bits - 1)); code < (1 << (bits - 1)); ++code) put_component(b, stype, code, big);
    }
    return b;
}

std::vector<cf32> convert(const WireLayout &wire, const Bytes &bytes, size_t n, ConvertPath path) {
    std::vector<cf32> out(n);
    convert_samples(wire, bytes.data(), n, out.data(), path);
    return out;
}

// The conversion run forward in place, the wire bytes at the tail of the output.
std::vector<cf32> convert_in_place(const WireLayout &wire, const Bytes &bytes, size_t n, ConvertPath path) {
    std::vector<cf32> out(n);
    const size_t wire_bytes = n * ELEM[wire.sample_type] * (wire.complex ? 2 : 1);
    auto *tail = reinterpret_cast<unsigned char *>(out.data()) + n * sizeof(cf32) - wire_bytes;
    std::memcpy(tail, bytes.data(), wire_bytes);
    convert_samples(wire, tail, n, out.data(), path);
    return out;
}

bool same_bits(const std::vector<cf32> &a, const std::vector<cf32> &b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(cf32)) == 0;
}

}  // namespace

TEST(SampleConvert, ScalarPathIsTheCodeTimesTheUnitRoundedOnce) {
    const double units[] = {0.0, 0.0, 1.0 / 2147483647, 1.0 / 32767, 1.0 / 127};
    for (int stype : {TOLVANE_STYPE_CI32, TOLVANE_STYPE_CI16, TOLVANE_STYPE_CI8}) {
        SCOPED_TRACE(stype);
        const Bytes bytes = all_codes(stype, false);
        const size_t components = bytes.size() / ELEM[stype];
        const auto got = convert({stype, false, false}, bytes, components, ConvertPath::scalar);
        for (size_t i = 0; i < components; ++i) {
            const double code = stype == TOLVANE_STYPE_CI32 ? load_field<int32_t>(&bytes[4 * i], false)
                                : stype == TOLVANE_STYPE_CI16 ? load_field<int16_t>(&bytes[2 * i], false)
                                                              : load_field<int8_t>(&bytes[i], false);
            ASSERT_EQ(got[i].re, static_cast<float>(code * units[stype])) << "component " << i;
            ASSERT_EQ(std::memcmp(&got[i].im, "\0\0\0\0", 4), 0);
        }
    }
}

// Offset binary, as RTL-SDR receivers write it: the ends are -1 and +1 and the two middle
// codes lie half a code either side of 0, for every code (c - h) / h rounded once.
TEST(SampleConvert, OffsetBinaryCodesAreCenteredHalfACodeOffZero) {
    struct Case {
        int stype;
        double half;
        std::vector<std::pair<int, float>> exact;
    };
    const Case cases[] = {
        {TOLVANE_STYPE_CU8, 127.5, {{0, -1.0f}, {255, 1.0f}, {127, -1.0f / 255}, {128, 1.0f / 255}}},
        {TOLVANE_STYPE_CU16, 32767.5, {{0, -1.0f}, {65535, 1.0f}, {32767, -1.0f / 65535}, {32768, 1.0f / 65535}}},
    };
    for (const Case &c : cases) {
        for (bool big : {false, true}) {
            SCOPED_TRACE(c.stype + 10 * big);
            const Bytes bytes = all_codes(c.stype, big);
            const size_t codes = bytes.size() / ELEM[c.stype];
            const auto got = convert({c.stype, big, false}, bytes, codes, ConvertPath::scalar);
            for (size_t code = 0; code < codes; ++code) {
                ASSERT_EQ(got[code].re, static_cast<float>((static_cast<double>(code) - c.half) / c.half)) << code;
                ASSERT_EQ(got[code].im, 0.0f);
            }
            for (const auto &[code, value] : c.exact) EXPECT_FLOAT_EQ(got[static_cast<size_t>(code)].re, value);
        }
    }
}

TEST(SampleConvert, EveryPathGivesTheScalarBitsSeparateAndInPlace) {
    for (int stype = 0; stype < kComplexTypeCount; ++stype) {
        for (bool big : {false, true}) {
            for (bool complex : {true, false}) {
                const WireLayout wire{stype, big, complex};
                // Float types: the ci32 codes' bytes are as good a set of bit patterns as any.
                const Bytes bytes = all_codes(stype < TOLVANE_STYPE_CI32 ? TOLVANE_STYPE_CI32 : stype, big);
                const size_t whole = bytes.size() / (ELEM[stype] * (complex ? 2 : 1));
                for (size_t n : {whole, whole - 1, whole - 2, whole - 3, size_t{5}}) {
                    SCOPED_TRACE(std::to_string(stype) + (big ? " be" : " le") + (complex ? " complex " : " scalar ") +
                                 std::to_string(n));
                    const auto expected = convert(wire, bytes, n, ConvertPath::scalar);
                    for (ConvertPath path : convert_paths_here()) {
                        SCOPED_TRACE(static_cast<int>(path));
                        EXPECT_TRUE(same_bits(convert(wire, bytes, n, path), expected));
                        if (ELEM[stype] * (complex ? 2 : 1) <= sizeof(cf32)) {
                            EXPECT_TRUE(same_bits(convert_in_place(wire, bytes, n, path), expected));
                        }
                    }
                }
            }
        }
    }
}
