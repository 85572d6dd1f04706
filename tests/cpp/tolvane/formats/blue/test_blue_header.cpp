// The BLUE header control block as the writer lays it out, byte by byte.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "capture_files.hpp"
#include "capture_format.hpp"
#include "write_blue_header.h"

using namespace tolvane;
using namespace tolvane::blue;

namespace {

class BlueHeaderWrite : public CaptureDir {
protected:
    std::vector<unsigned char> header(int32_t stype, bool big, uint64_t n, int detached, double fs, double fc,
                                      double t0) {
        const std::string p = path("h.hdr");
        EXPECT_EQ(write_blue_header(p.c_str(), stype, big, n, detached, fs, fc, 512.0, t0), 0);
        return read_file(p);
    }
};

TEST_F(BlueHeaderWrite, LaysOutEveryFieldInEitherByteOrder) {
    for (bool big : {false, true}) {
        SCOPED_TRACE(big ? "big-endian" : "little-endian");
        const auto h = header(3, big, 1000, 7, 2.4e6, 1.2e9, 1.7e9);
        ASSERT_EQ(h.size(), 512u);
        EXPECT_EQ(std::memcmp(&h[0], big ? "BLUEIEEEIEEE" : "BLUEEEEIEEEI", 12), 0);
        EXPECT_EQ(load_field<int32_t>(&h[kDetached], big), 1);
        EXPECT_EQ(load_field<int32_t>(&h[kExtStart], big), 0);
        EXPECT_EQ(load_field<double>(&h[kDataStart], big), 512.0);
        EXPECT_EQ(load_field<double>(&h[kDataSize], big), 4000.0);
        EXPECT_EQ(load_field<int32_t>(&h[kType], big), 1000);
        EXPECT_EQ(std::memcmp(&h[kFormat], "CI", 2), 0);
        EXPECT_EQ(load_field<double>(&h[kTimecode], big), 1.7e9 + 631152000.0);
        EXPECT_EQ(load_field<int32_t>(&h[kKeylength], big), 16);
        EXPECT_EQ(std::memcmp(&h[kKeywordArea], "FREQ=1200000000\0", 16), 0);
        EXPECT_EQ(load_field<double>(&h[kXdelta], big), 1.0 / 2.4e6);
        EXPECT_EQ(load_field<int32_t>(&h[kXunits], big), 1);
        // Everything the writer does not set stays zero.
        for (size_t i : {16, 20, 28, 54, 64, 80, 96, 200, 256, 276, 511})
            EXPECT_EQ(h[i], 0) << "byte " << i;
    }
}

TEST_F(BlueHeaderWrite, UnsetTimeFrequencyAndRateStayZero) {
    const auto h = header(0, false, 0, 0, 0.0, 0.0, 0.0);
    EXPECT_EQ(load_field<double>(&h[kTimecode], false), 0.0);
    EXPECT_EQ(load_field<int32_t>(&h[kKeylength], false), 0);
    EXPECT_EQ(h[kKeywordArea], 0);
    EXPECT_EQ(load_field<double>(&h[kXdelta], false), 0.0);
    EXPECT_EQ(load_field<double>(&h[kDataSize], false), 0.0);
}

TEST_F(BlueHeaderWrite, FormatAndSizeFollowTheSampleType) {
    const char *formats[] = {"CF", "CD", "CL", "CI", "CB"};
    const double bytes_per_sample[] = {8, 16, 8, 4, 2};
    for (int32_t stype = 0; stype < 5; ++stype) {
        const auto h = header(stype, false, 3, 0, 1.0, 0.0, 0.0);
        EXPECT_EQ(std::memcmp(&h[kFormat], formats[stype], 2), 0) << stype;
        EXPECT_EQ(load_field<double>(&h[kDataSize], false), 3 * bytes_per_sample[stype]) << stype;
    }
}

TEST_F(BlueHeaderWrite, RefusesWhatItCannotRepresent) {
    FILE *f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(wfm_blue_write_hcb(nullptr, 0, 0, 1, 0, 1.0, 0.0, 512.0, 0.0), -1);
    EXPECT_EQ(wfm_blue_write_hcb(f, 5, 0, 1, 0, 1.0, 0.0, 512.0, 0.0), -1);
    EXPECT_EQ(wfm_blue_write_hcb(f, -1, 0, 1, 0, 1.0, 0.0, 512.0, 0.0), -1);
    EXPECT_EQ(wfm_blue_write_hcb(f, 0, 0, 1, 0, 1.0, 0.0, NAN, 0.0), -1);
    EXPECT_EQ(wfm_blue_write_hcb(f, 0, 0, 1, 0, 1.0, 0.0, -512.0, 0.0), -1);
    // A sample count whose byte size wraps 64 bits would declare a wrong size.
    EXPECT_EQ(wfm_blue_write_hcb(f, 1, 0, UINT64_MAX / 8, 0, 1.0, 0.0, 512.0, 0.0), -1);
    EXPECT_EQ(std::ftell(f), 0);  // nothing partial reached the file
    EXPECT_EQ(wfm_blue_write_hcb(f, 0, 0, 1, 0, 1.0, 0.0, 512.0, 0.0), 0);
    EXPECT_EQ(std::ftell(f), 512);
    std::fclose(f);
    EXPECT_EQ(write_blue_header(path("missing/dir.hdr").c_str(), 0, 0, 1, 0, 1.0, 0.0, 0.0, 0.0), -1);
    EXPECT_EQ(write_blue_header(nullptr, 0, 0, 1, 0, 1.0, 0.0, 0.0, 0.0), -1);
}

}  // namespace
