// Captures written by the capture writer read back by the reader: every file type, sample
// type and byte order, and a writer process followed while it writes.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>

#include "capture_files.hpp"
#include "reader_ptr.hpp"
#include "wfm_writer_core.h"

namespace {

const std::vector<cf32> kSamples = {{0.5f, -0.25f}, {-1.0f, 1.0f}, {0.123f, -0.987f}, {0.0f, 3.0e-5f}, {-0.75f, 0.0625f}};
constexpr double kScale[] = {0, 0, 2147483647.0, 32767.0, 127.0};

// What a component becomes on the wire and back at unit scale.
float through_wire(float v, int stype) {
    if (stype < 2) return v;
    const double code = std::trunc(std::max<double>(v, -1.0) * kScale[stype]);
    return static_cast<float>(code * (1.0 / kScale[stype]));
}

class RoundTrip : public CaptureDir {};

TEST_F(RoundTrip, EveryFileTypeSampleTypeAndByteOrder) {
    struct Kind {
        const char *name;
        int32_t ftype;
    };
    const Kind kinds[] = {{"c.raw", 0}, {"c.csv", 1}, {"c.blue", 2}, {"c.sigmf-data", 3}};
    for (const Kind &k : kinds) {
        for (int32_t stype = 0; stype < 5; ++stype) {
            for (int32_t big : {0, 1}) {
                if (k.ftype == 1 && big) continue;  // text has no byte order
                SCOPED_TRACE(std::string(k.name) + " stype " + std::to_string(stype) + (big ? " be" : " le"));
                const std::string p = path(k.name);
                Writer *w = wfm_writer_create(p.c_str(), k.ftype, stype, big, 0, 0, 2.4e6, 1.2e9, 0.0, 1.7e9);
                ASSERT_NE(w, nullptr);
                ASSERT_EQ(wfm_writer_write(w, kSamples.data(), kSamples.size()), kSamples.size());
                ASSERT_EQ(wfm_writer_close(w), 0);

                ReaderPtr r(tolvane_create(p.c_str(), stype, big));
                ASSERT_TRUE(r);
                ReaderInfo info;
                tolvane_info(r.get(), &info);
                EXPECT_EQ(info.file_type, k.ftype);
                EXPECT_EQ(info.sample_type, stype);
                EXPECT_EQ(info.endian, k.ftype == 3 && stype == 4 ? 0 : big);  // SigMF "ci8" has no byte order
                EXPECT_EQ(info.num_samples, kSamples.size());
                EXPECT_EQ(info.trailing_bytes, 0u);
                if (k.ftype >= 2) {
                    EXPECT_DOUBLE_EQ(info.fs, 2.4e6);
                    EXPECT_EQ(info.fc, 1.2e9);
                    EXPECT_EQ(info.fc_source, k.ftype == 2 ? TOLVANE_FC_FREQ : TOLVANE_FC_SIGMF);
                }
                if (k.ftype == 2) {
                    EXPECT_DOUBLE_EQ(info.t0, 1.7e9);
                    EXPECT_EQ(info.t0_source, TOLVANE_T0_TIMECODE);
                }
                std::vector<cf32> got(kSamples.size() + 3);
                ASSERT_EQ(tolvane_read(r.get(), got.size(), got.data(), got.size()), kSamples.size());
                for (size_t i = 0; i < kSamples.size(); ++i) {
                    // CSV prints floats with 9 decimals; every binary path is exact.
                    const float tol = k.ftype == 1 && stype < 2 ? 1e-9f : 0.0f;
                    EXPECT_NEAR(got[i].re, through_wire(kSamples[i].re, stype), tol) << i;
                    EXPECT_NEAR(got[i].im, through_wire(kSamples[i].im, stype), tol) << i;
                }
            }
        }
    }
}

TEST_F(RoundTrip, FollowingALiveWriterReturnsItsSamplesThenEnds) {
    const std::string p = path("live.blue");
    std::vector<cf32> samples(300);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = {static_cast<float>(i) / 512.0f, -0.5f};

    const pid_t pid = fork();
    if (pid == 0) {
        Writer *w = wfm_writer_create(p.c_str(), 2, 3, 1, 0, 0, 1e6, 1.2e9, 0.0, 0.0);
        bool ok = w != nullptr;
        for (size_t at = 0, n = 1; ok && at < samples.size(); at += n, n = n * 3 % 97 + 1) {
            n = std::min(n, samples.size() - at);
            ok = wfm_writer_write(w, &samples[at], n) == n && wfm_writer_flush(w) == 0;
            usleep(15000);
        }
        ok = ok && wfm_writer_add_keyword(w, "COMMENT", 'A', "after the samples", 17) == 0;
        _exit(wfm_writer_close(w) == 0 && ok ? 0 : 1);
    }
    // The writer puts its header out at open.
    const auto header_written = [&] {
        std::error_code missing;
        const auto size = std::filesystem::file_size(p, missing);
        return !missing && size >= 512;
    };
    for (int i = 0; i < 1000 && !header_written(); ++i) usleep(2000);
    ReaderPtr r(tolvane_create(p.c_str(), 0, 0));
    ASSERT_TRUE(r);
    tolvane_set_follow_timeout_ms(r.get(), 10000);  // a safety net, never reached
    std::vector<cf32> got, buf(64);
    while (size_t n = tolvane_read_follow(r.get(), buf.size(), buf.data(), buf.size()))
        got.insert(got.end(), buf.begin(), buf.begin() + n);
    EXPECT_EQ(tolvane_get_ending(r.get()), TOLVANE_END_EOF);
    ASSERT_EQ(got.size(), samples.size());
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].re, through_wire(samples[i].re, 3)) << i;
        EXPECT_EQ(got[i].im, through_wire(samples[i].im, 3)) << i;
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
