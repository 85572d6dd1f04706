// Captures under stress: rows that are half valid, sizes no machine could hold, a
// writer killed in the middle of a capture and a capture truncated under its follower.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

#include "blue_fixture.hpp"
#include "capture_files.hpp"
#include "qn_interrupt.h"
#include "tolvane_core.h"
#include "wfm_keywords.h"
#include "wfm_writer_core.h"

using namespace fixture;

namespace {

struct ReaderDeleter {
    void operator()(Reader *r) const { tolvane_destroy(r); }
};
using ReaderPtr = std::unique_ptr<Reader, ReaderDeleter>;

std::vector<cf32> read_all(Reader *r, size_t chunk) {
    std::vector<cf32> all, buf(chunk);
    while (size_t got = tolvane_read(r, chunk, buf.data(), buf.size())) all.insert(all.end(), buf.begin(), buf.begin() + got);
    return all;
}

std::vector<cf32> follow_to_end(Reader *r, size_t chunk) {
    std::vector<cf32> all, buf(chunk);
    while (size_t got = tolvane_read_follow(r, chunk, buf.data(), buf.size()))
        all.insert(all.end(), buf.begin(), buf.begin() + got);
    return all;
}

class HardenedCaptures : public CaptureDir {};

// A row with a first number but no second stops reading there for good, whatever the
// number of rows asked per call: reading never resumes in the middle of the bad row.
TEST_F(HardenedCaptures, CsvReadingStopsForGoodAtAHalfValidRow) {
    struct Case {
        const char *text;
        size_t rows;
    };
    const Case cases[] = {
        {"1,2\n3\n4,5\n6,7\n", 1},
        {"1,2\n3 4\n5,6\n", 1},
        {"1,2\n3,4", 2},
    };
    for (const Case &c : cases) {
        for (size_t chunk : {1u, 2u, 64u}) {
            SCOPED_TRACE(std::string(c.text) + " in calls of " + std::to_string(chunk));
            ReaderPtr r(tolvane_create(write_text("h.csv", c.text).c_str(), 0, 0));
            ASSERT_TRUE(r);
            EXPECT_EQ(read_all(r.get(), chunk).size(), c.rows);
            cf32 more[8];
            EXPECT_EQ(tolvane_read(r.get(), 8, more, 8), 0u);
            EXPECT_EQ(tolvane_get_num_samples(r.get()), c.rows);
            tolvane_reset(r.get());
            const auto again = read_all(r.get(), chunk);
            ASSERT_EQ(again.size(), c.rows);
            EXPECT_EQ(again[0].re, 1.0f);
            EXPECT_EQ(again[0].im, 2.0f);
        }
    }
}

// Keyword records and counts that claim sizes near the limits of the integer types are
// refused whole; nothing is read or written past the real bytes.
TEST(HardenedKeywords, AbsurdLengthsAreRefused) {
    EXPECT_EQ(wfm_kw_entry_size(1, size_t{1} << 31), 0u);
    EXPECT_EQ(wfm_kw_entry_size(255, SIZE_MAX - 3), 0u);
    EXPECT_EQ(wfm_kw_entry_size(SIZE_MAX, 8), 0u);

    // A count whose byte size wraps around must not become a small record.
    unsigned char dst[64] = {};
    const double one = 1.0;
    for (size_t count : {SIZE_MAX / 8 + 2, SIZE_MAX, size_t{1} << 61})
        EXPECT_EQ(wfm_kw_encode(dst, sizeof dst, "W", 'D', &one, count, 0), 0u) << count;

    for (bool big : {false, true}) {
        SCOPED_TRACE(big ? "be" : "le");
        for (int32_t claimed : {INT32_MAX, INT32_MIN, -8, 1 << 30}) {
            Bytes rec = kw_record("SIZE", 'L', &claimed, 1, big);
            store_field<int32_t>(rec.data(), claimed, big);
            KeywordEntry e{};
            size_t consumed = 0;
            EXPECT_EQ(wfm_kw_decode(rec.data(), rec.size(), big, &e, &consumed), -1) << claimed;
            EXPECT_EQ(e.data, nullptr);
        }
    }
}

// 10^15 declared samples (and counts that large asked of the reader) cost nothing
// beyond the samples really present.
TEST_F(HardenedCaptures, AbsurdSampleCountsStayWithinTheFile) {
    const std::string p = path("huge.blue");
    Writer *w = wfm_writer_create(p.c_str(), TOLVANE_FTYPE_BLUE, TOLVANE_STYPE_CF32, 0, 1000000000000000ull, 0,
                                  1e6, 0.0, 0.0, 0.0);
    ASSERT_NE(w, nullptr);
    const cf32 samples[3] = {{1, 2}, {3, 4}, {5, 6}};
    ASSERT_EQ(wfm_writer_write(w, samples, 3), 3u);
    ASSERT_EQ(wfm_writer_flush(w), 0);

    // Still open: the header declares 10^15 samples, the file holds three.
    ReaderPtr r(tolvane_create(p.c_str(), 0, 0));
    ASSERT_TRUE(r);
    EXPECT_EQ(tolvane_get_num_samples(r.get()), 3u);
    EXPECT_EQ(tolvane_get_declared_samples(r.get()), 1000000000000000ull);
    cf32 out[8];
    EXPECT_EQ(tolvane_read(r.get(), SIZE_MAX, out, 8), 3u);
    tolvane_set_follow_timeout_ms(r.get(), 30);
    tolvane_reset(r.get());
    EXPECT_EQ(follow_to_end(r.get(), 8).size(), 3u);
    EXPECT_EQ(tolvane_get_ending(r.get()), TOLVANE_END_TIMEOUT);

    ASSERT_EQ(wfm_writer_close(w), 0);
    ReaderPtr closed(tolvane_create(p.c_str(), 0, 0));
    EXPECT_EQ(tolvane_get_num_samples(closed.get()), 3u);

    // Raw files of every wire type read with a count far beyond them.
    const size_t component_bytes[] = {4, 8, 4, 2, 1};
    for (int32_t stype = 0; stype <= 4; ++stype) {
        ReaderPtr rr(tolvane_create(write_file("r.raw", Bytes(160, 0)).c_str(), stype, 0));
        std::vector<cf32> all(200);
        EXPECT_EQ(tolvane_read(rr.get(), SIZE_MAX, all.data(), all.size()), 80 / component_bytes[stype]) << stype;
    }
}

// A BLUE writer killed with SIGKILL part way through: a follower returns every whole
// sample that reached the file, in order, and nothing else (not the torn last sample).
TEST_F(HardenedCaptures, WriterKilledMidCaptureLosesNoWholeSample) {
    const std::string p = path("killed.blue");
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    const pid_t writer = fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
        close(report[0]);
        Writer *w = wfm_writer_create(p.c_str(), TOLVANE_FTYPE_BLUE, TOLVANE_STYPE_CF32, 0, 0, 0, 1e6, 0.0, 0.0,
                                      0.0);
        if (!w) _exit(1);
        std::vector<cf32> chunk(37);
        for (uint64_t written = 0;;) {
            for (size_t i = 0; i < chunk.size(); ++i)
                chunk[i] = {static_cast<float>(written + i), -static_cast<float>(written + i)};
            written += wfm_writer_write(w, chunk.data(), chunk.size());
            if (wfm_writer_flush(w) != 0) _exit(1);
            if (write(report[1], &written, sizeof written) != sizeof written) _exit(1);
            usleep(2000);
        }
    }
    close(report[1]);

    uint64_t flushed = 0;
    ASSERT_EQ(read(report[0], &flushed, sizeof flushed), ssize_t(sizeof flushed));  // the header is there
    ReaderPtr r(tolvane_create(p.c_str(), 0, 0));
    ASSERT_TRUE(r);
    tolvane_set_follow_timeout_ms(r.get(), 400);

    std::thread killer([&] {
        while (flushed < 2000 && read(report[0], &flushed, sizeof flushed) == ssize_t(sizeof flushed)) {
        }
        kill(writer, SIGKILL);
    });
    std::vector<cf32> got = follow_to_end(r.get(), 100);
    killer.join();
    close(report[0]);
    int status = 0;
    ASSERT_EQ(waitpid(writer, &status, 0), writer);
    ASSERT_TRUE(WIFSIGNALED(status));

    // A torn write: half of one more sample reached the file before the end.
    const Bytes torn = {0, 0, 0x80};
    const int fd = ::open(p.c_str(), O_WRONLY | O_APPEND);
    ASSERT_EQ(write(fd, torn.data(), torn.size()), ssize_t(torn.size()));
    close(fd);
    const std::vector<cf32> rest = follow_to_end(r.get(), 100);
    got.insert(got.end(), rest.begin(), rest.end());
    EXPECT_EQ(tolvane_get_ending(r.get()), TOLVANE_END_TIMEOUT);

    const uint64_t whole = (read_file(p).size() - 512) / sizeof(cf32);
    EXPECT_GE(whole, flushed);
    ASSERT_EQ(got.size(), whole);
    for (size_t i = 0; i < got.size(); ++i) {
        ASSERT_EQ(got[i].re, static_cast<float>(i)) << i;
        ASSERT_EQ(got[i].im, -static_cast<float>(i)) << i;
    }
}

// A capture cut short (even below its header) while it is followed: the follower ends at
// once with "truncated", never splicing what comes later onto what it read; a stop from
// another thread still ends the wait on what is left.
TEST_F(HardenedCaptures, FollowerOfATruncatedCaptureEnds) {
    for (off_t cut : {off_t{0}, off_t{100}, off_t{512}, off_t{512 + 4 * 10 + 1}}) {
        SCOPED_TRACE("cut to " + std::to_string(cut));
        Bytes b = hcb(3, false, 0);
        for (int i = 0; i < 200; ++i) put<int16_t>(b, static_cast<int16_t>(i), false);
        const std::string p = write_file("cut.blue", b);
        ReaderPtr r(tolvane_create(p.c_str(), 0, 0));
        ASSERT_TRUE(r);
        tolvane_set_follow_timeout_ms(r.get(), 150);
        std::vector<cf32> buf(60);
        ASSERT_EQ(tolvane_read_follow(r.get(), 60, buf.data(), buf.size()), 60u);
        ASSERT_EQ(truncate(p.c_str(), cut), 0);
        EXPECT_EQ(follow_to_end(r.get(), 60).size(), 0u);
        EXPECT_EQ(tolvane_get_ending(r.get()), TOLVANE_END_TRUNCATED);

        // From the start again: what is left is read, then only the stop (raised from another
        // thread) ends it; a file cut before its first sample is truncated at once.
        tolvane_reset(r.get());
        tolvane_set_follow_timeout_ms(r.get(), 0);
        tolvane_set_follow_grace_ms(r.get(), 50);
        tolvane_set_stop_fn(r.get(), qn_interrupted);
        qn_resume();
        std::thread stopper([] {
            usleep(200000);
            qn_interrupt();
        });
        EXPECT_EQ(follow_to_end(r.get(), 60).size(), cut > 512 ? 10u : 0u);
        stopper.join();
        qn_resume();
        EXPECT_EQ(tolvane_get_ending(r.get()), cut >= 512 ? TOLVANE_END_INTERRUPTED : TOLVANE_END_TRUNCATED);
    }
}

}  // namespace
