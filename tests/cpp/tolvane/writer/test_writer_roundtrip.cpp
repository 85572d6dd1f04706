// Captures written by the Writer and read back by the Reader: samples and metadata.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "capture_files.hpp"
#include "tolvane_core.h"
#include "wfm_writer_core.h"

namespace {

enum { kRaw = 0, kCsv = 1, kBlue = 2, kSigmf = 3 };
constexpr double kScale[] = {0, 0, 2147483647.0, 32767.0, 127.0};
const char *const kSuffix[] = {".iq", ".csv", ".blue", ".sigmf-data"};

std::vector<cf32> test_samples() {
    std::vector<cf32> s;
    for (int i = 0; i < 37; ++i) {
        const float phase = 0.37f * static_cast<float>(i);
        s.push_back({0.9f * std::cos(phase), -0.9f * std::sin(phase)});
    }
    s.push_back({1.0f, -1.0f});
    s.push_back({1.5f, -2.0f});  // clipped to full scale on integer types
    return s;
}

// What a reader should give back for a written component.
double expected_component(float v, int stype) {
    if (stype <= 1) return v;
    const double s = kScale[stype];
    const double code = v > 1.0f ? s : std::trunc(std::max(static_cast<double>(v), -1.0) * s);
    return static_cast<float>(code * (1.0 / s));
}

struct Params {
    int ftype;
    int stype;
    bool big_endian;
};

class WriterRoundTrip : public CaptureDir, public ::testing::WithParamInterface<Params> {};

TEST_P(WriterRoundTrip, SamplesAndMetadataComeBack) {
    const auto [ftype, stype, be] = GetParam();
    const std::string p = path(std::string("capture") + kSuffix[ftype]);
    const double fs = 2.4e6, fc = 1.2e9, t0 = 1700000000.25;
    const std::vector<cf32> samples = test_samples();

    Writer *w = wfm_writer_create(p.c_str(), ftype, stype, be, 0, 0, fs, fc, 0.0, t0);
    ASSERT_NE(w, nullptr);
    ASSERT_EQ(wfm_writer_write(w, samples.data(), 10), 10u);  // several calls, one capture
    ASSERT_EQ(wfm_writer_write(w, samples.data() + 10, samples.size() - 10), samples.size() - 10);
    if (ftype == kBlue) {
        const char creator[] = "quennel";
        ASSERT_EQ(wfm_writer_add_keyword(w, "CREATOR", 'A', creator, 7), 0);
        const int16_t taps[] = {-3, 7};
        ASSERT_EQ(wfm_writer_add_keyword(w, "TAPS", 'I', taps, 2), 0);
    }
    ASSERT_EQ(wfm_writer_close(w), 0);

    Reader *r = tolvane_create(p.c_str(), stype, be);  // the hints matter for raw and CSV only
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(tolvane_get_file_type(r), ftype);
    EXPECT_EQ(tolvane_get_sample_type(r), stype);
    EXPECT_EQ(tolvane_get_endian(r), (ftype == kSigmf && stype == 4) ? 0 : static_cast<int>(be));
    EXPECT_EQ(tolvane_get_num_samples(r), samples.size());
    EXPECT_EQ(tolvane_get_trailing_bytes(r), 0u);

    std::vector<cf32> back(samples.size() + 5);
    ASSERT_EQ(tolvane_read(r, back.size(), back.data(), back.size()), samples.size());
    for (size_t i = 0; i < samples.size(); ++i) {
        // CSV prints cf32 with 9 decimals; every other path is exact.
        const double tol = ftype == kCsv && stype == 0 ? 1e-9 : 0.0;
        EXPECT_NEAR(back[i].re, expected_component(samples[i].re, stype), tol) << i;
        EXPECT_NEAR(back[i].im, expected_component(samples[i].im, stype), tol) << i;
    }

    if (ftype == kBlue) {
        EXPECT_NEAR(tolvane_get_fs(r), fs, 1e-6);
        EXPECT_EQ(tolvane_get_fc(r), fc);
        EXPECT_EQ(tolvane_get_fc_source(r), TOLVANE_FC_FREQ);
        EXPECT_EQ(tolvane_get_t0(r), t0);
        const KeywordEntry *creator = tolvane_find_keyword(r, "CREATOR");
        ASSERT_NE(creator, nullptr);
        EXPECT_EQ(std::string(static_cast<const char *>(creator->data), creator->count), "quennel");
        const KeywordEntry *taps = tolvane_find_keyword(r, "TAPS");
        ASSERT_NE(taps, nullptr);
        ASSERT_EQ(taps->count, 2u);
        EXPECT_EQ(static_cast<const int16_t *>(taps->data)[1], 7);
    } else if (ftype == kSigmf) {
        EXPECT_EQ(tolvane_get_fs(r), fs);
        EXPECT_EQ(tolvane_get_fc(r), fc);
        EXPECT_EQ(tolvane_get_fc_source(r), TOLVANE_FC_SIGMF);
    }
    tolvane_destroy(r);
}

std::vector<Params> all_params() {
    std::vector<Params> out;
    for (int ftype = kRaw; ftype <= kSigmf; ++ftype)
        for (int stype = 0; stype <= 4; ++stype)
            for (bool be : {false, true})
                if (ftype != kCsv || !be) out.push_back({ftype, stype, be});  // CSV text has no byte order
    return out;
}

std::string param_name(const ::testing::TestParamInfo<Params> &info) {
    static const char *const ftypes[] = {"raw", "csv", "blue", "sigmf"};
    static const char *const stypes[] = {"cf32", "cf64", "ci32", "ci16", "ci8"};
    return std::string(ftypes[info.param.ftype]) + "_" + stypes[info.param.stype] +
           (info.param.big_endian ? "_be" : "_le");
}

INSTANTIATE_TEST_SUITE_P(AllCaptures, WriterRoundTrip, ::testing::ValuesIn(all_params()), param_name);

// A follower sees the samples of a live capture and stops at the marker the close writes.
TEST_F(CaptureDir, FollowerEndsAtTheWritersClose) {
    const std::string p = path("live.blue");
    Writer *w = wfm_writer_create(p.c_str(), kBlue, 3, 0, 0, 0, 1e6, 0.0, 0.0, 0.0);
    ASSERT_NE(w, nullptr);
    Reader *r = tolvane_create(p.c_str(), 0, 0);
    ASSERT_NE(r, nullptr);  // the header alone is already readable
    tolvane_set_follow_timeout_ms(r, 2000);

    const std::vector<cf32> samples = test_samples();
    std::vector<cf32> back(64);
    ASSERT_EQ(wfm_writer_write(w, samples.data(), 20), 20u);
    ASSERT_EQ(wfm_writer_flush(w), 0);
    EXPECT_EQ(tolvane_read_follow(r, back.size(), back.data(), back.size()), 20u);
    ASSERT_EQ(wfm_writer_write(w, samples.data() + 20, 5), 5u);
    ASSERT_EQ(wfm_writer_close(w), 0);
    EXPECT_EQ(tolvane_read_follow(r, back.size(), back.data(), back.size()), 5u);
    EXPECT_EQ(back[4].re, expected_component(samples[24].re, 3));
    EXPECT_EQ(tolvane_read_follow(r, back.size(), back.data(), back.size()), 0u);
    EXPECT_EQ(tolvane_get_ending(r), TOLVANE_END_EOF);
    tolvane_destroy(r);
}

}  // namespace
