// Follow mode against a writer in another process that appends in uneven chunks (half
// samples included) with pauses, then closes the way the capture writer does: data_size
// patched first, then padding and the extended header. Budgets and stop requests.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include "blue_fixture.hpp"
#include "capture_files.hpp"
#include "reader_ptr.hpp"

using namespace fixture;

namespace {

// One step of the writer process: append bytes, overwrite bytes at an offset, or pause.
struct Step {
    enum Kind { Append, Patch, Pause } kind;
    Bytes bytes;
    off_t offset = 0;
    int ms = 0;
};

Step append(Bytes b) { return {Step::Append, std::move(b)}; }
Step patch_at(off_t offset, Bytes b) { return {Step::Patch, std::move(b), offset}; }
Step pause(int ms) { return {Step::Pause, {}, 0, ms}; }

pid_t spawn_writer(const std::string &path, const std::vector<Step> &steps) {
    const pid_t pid = fork();
    if (pid != 0) return pid;
    const int fd = ::open(path.c_str(), O_WRONLY);
    bool ok = fd >= 0;
    for (const Step &s : steps) {
        if (!ok) break;
        if (s.kind == Step::Pause) {
            usleep(static_cast<useconds_t>(s.ms) * 1000);
        } else if (s.kind == Step::Append) {
            ok = lseek(fd, 0, SEEK_END) >= 0 && write(fd, s.bytes.data(), s.bytes.size()) == ssize_t(s.bytes.size());
        } else {
            ok = pwrite(fd, s.bytes.data(), s.bytes.size(), s.offset) == ssize_t(s.bytes.size());
        }
    }
    _exit(ok ? 0 : 1);
}

void expect_writer_succeeded(pid_t pid) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// The payload cut into uneven pieces that split samples, with pauses between them.
std::vector<Step> in_uneven_chunks(const Bytes &payload) {
    static constexpr size_t sizes[] = {3, 50, 1, 77, 2, 6, 31};
    static constexpr int pauses[] = {40, 0, 130, 20, 0, 60, 110};
    std::vector<Step> steps;
    for (size_t at = 0, i = 0; at < payload.size(); ++i) {
        const size_t n = std::min(sizes[i % 7], payload.size() - at);
        steps.push_back(append(Bytes(payload.begin() + at, payload.begin() + at + n)));
        steps.push_back(pause(pauses[i % 7]));
        at += n;
    }
    return steps;
}

Bytes double_bytes(double v) {
    Bytes b;
    put<double>(b, v, false);
    return b;
}

constexpr size_t kSamples = 50;

Bytes ci16_payload(std::vector<cf32> &expected) {
    Bytes b;
    for (size_t i = 0; i < kSamples; ++i) {
        const int16_t re = static_cast<int16_t>(1000 + i), im = static_cast<int16_t>(-3 * i - 1);
        put<int16_t>(b, re, false);
        put<int16_t>(b, im, false);
        expected.push_back({static_cast<float>(re * (1.0 / 32767)), static_cast<float>(im * (1.0 / 32767))});
    }
    return b;
}

// The close of a BLUE writer: real data_size first, then padding and the extended header.
std::vector<Step> blue_close(size_t header_bytes, size_t payload_bytes) {
    const double fc = 1.2e9;
    const Bytes record = kw_record("FREQ", 'D', &fc, 1, false);
    const size_t end = header_bytes + payload_bytes;
    const size_t padded = (end + 511) / 512 * 512;
    Bytes ext(padded - end, 0);
    ext.insert(ext.end(), record.begin(), record.end());
    Bytes where;
    put<int32_t>(where, static_cast<int32_t>(padded / 512), false);
    put<int32_t>(where, static_cast<int32_t>(record.size()), false);
    return {patch_at(blue::kDataSize, double_bytes(double(payload_bytes))), append(ext), patch_at(blue::kExtStart, where)};
}

std::vector<cf32> follow_to_end(Reader *r, size_t chunk) {
    std::vector<cf32> all, buf(chunk);
    while (size_t got = tolvane_read_follow(r, chunk, buf.data(), buf.size()))
        all.insert(all.end(), buf.begin(), buf.begin() + got);
    return all;
}

void expect_same(const std::vector<cf32> &got, const std::vector<cf32> &expected) {
    ASSERT_EQ(got.size(), expected.size());
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].re, expected[i].re) << i;
        EXPECT_EQ(got[i].im, expected[i].im) << i;
    }
}

double elapsed_ms(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - since).count();
}

class FollowTest : public CaptureDir {};

// Declared at open: nothing, exactly what will be written, or more than will be written.
TEST_F(FollowTest, BlueWriterInAnotherProcessEndsWithExactlyItsSamples) {
    for (uint64_t declared : {uint64_t{0}, uint64_t{kSamples}, uint64_t{kSamples + 20}}) {
        SCOPED_TRACE("declared " + std::to_string(declared));
        std::vector<cf32> expected;
        const Bytes payload = ci16_payload(expected);
        const std::string p = write_file("live.blue", hcb(3, false, declared, 1e6));
        ReaderPtr r(tolvane_create(p.c_str(), 0, 0));
        ASSERT_TRUE(r);
        tolvane_set_follow_timeout_ms(r.get(), 10000);  // a safety net, never reached
        auto steps = in_uneven_chunks(payload);
        for (Step &s : blue_close(512, payload.size())) steps.push_back(std::move(s));
        const pid_t writer = spawn_writer(p, steps);

        expect_same(follow_to_end(r.get(), 7), expected);
        EXPECT_EQ(tolvane_get_ending(r.get()), TOLVANE_END_EOF);
        cf32 one;
        EXPECT_EQ(tolvane_read_follow(r.get(), 1, &one, 1), 0u);
        EXPECT_EQ(tolvane_get_ending(r.get()), TOLVANE_END_EOF);
        expect_writer_succeeded(writer);

        // read and reset agree with what following learnt
        EXPECT_EQ(tolvane_get_num_samples(r.get()), kSamples);
        EXPECT_EQ(tolvane_read(r.get(), 1, &one, 1), 0u);
        tolvane_reset(r.get());
        std::vector<cf32> again(2 * kSamples);
        EXPECT_EQ(tolvane_read(r.get(), again.size(), again.data(), again.size()), kSamples);
    }
}

TEST_F(FollowTest, DetachedCaptureTakesItsMarkerFromTheHeaderFile) {
    std::vector<cf32> expected;
    const Bytes payload = ci16_payload(expected);
    ASSERT_EQ(write_blue_header(path("d.hdr").c_str(), 3, 0, 0, 1, 1e6, 0.0, 0.0, 0.0), 0);
    const std::string det = write_file("d.det", {});
    ReaderPtr r(tolvane_create(det.c_str(), 0, 0));
    ASSERT_TRUE(r);
    tolvane_set_follow_timeout_ms(r.get(), 10000);
    auto steps = in_uneven_chunks(payload);
    const pid_t writer = spawn_writer(det, steps);
    expect_writer_succeeded(writer);
    // The payload is complete but unmarked: the bytes at offset 40 of the .det are samples.
    std::vector<cf32> buf(2 * kSamples);
    ASSERT_EQ(tolvane_read_follow(r.get(), buf.size(), buf.data(), buf.size()), kSamples);
    const pid_t closer = spawn_writer(path("d.hdr"), {pause(150), patch_at(blue::kDataSize, double_bytes(4.0 * kSamples))});
    EXPECT_EQ(tolvane_read_follow(r.get(), buf.size(), buf.data(), buf.size()), 0u);
    EXPECT_EQ(tolvane_get_ending(r.get()), TOLVANE_END_EOF);
    expect_writer_succeeded(closer);
}

TEST_F(FollowTest, CsvRowsArriveWholeNeverHalfARow) {
    std::string text;
    std::vector<cf32> expected;
    for (int i = 0; i < 40; ++i) {
        text += std::to_string(i) + ".25, " + std::to_string(-i) + "\n";
        expected.push_back({i + 0.25f, static_cast<float>(-i)});
    }
    const std::string p = write_text("live.csv", "");
    ReaderPtr r(tolvane_create(p.c_str(), 0, 0));
    ASSERT_TRUE(r);
    ASSERT_EQ(tolvane_get_file_type(r.get()), TOLVANE_FTYPE_CSV);
    tolvane_set_follow_timeout_ms(r.get(), 400);
    const pid_t writer = spawn_writer(p, in_uneven_chunks(Bytes(text.begin(), text.end())));
    expect_same(follow_to_end(r.get(), 5), expected);
    EXPECT_EQ(tolvane_get_ending(r.get()), TOLVANE_END_TIMEOUT);
    expect_writer_succeeded(writer);
}

int stop_requested() { return 1; }

// A capture that stops growing, without an end marker: the budgets end the wait. A BLUE
// capture whose data_size is still 0 has no marker yet.
TEST_F(FollowTest, BudgetsAndStopRequests) {
    Bytes raw;
    put<float>(raw, 0.5f, false);
    put<float>(raw, -0.5f, false);
    raw.push_back(1);  // half a sample that never completes
    Bytes blue = hcb(0, false, 0);
    blue.insert(blue.end(), raw.begin(), raw.end());
    const std::string raw_path = write_file("still.raw", raw), blue_path = write_file("still.blue", blue);
    struct Case {
        const char *what;
        const std::string &path;
        uint32_t timeout, grace;
        bool stop;
        int32_t ending;
        double min_ms;
    };
    const Case cases[] = {
        {"timeout 250", raw_path, 250, 0, false, TOLVANE_END_TIMEOUT, 250},
        {"timeout 100", raw_path, 100, 0, false, TOLVANE_END_TIMEOUT, 100},
        {"timeout 30", raw_path, 30, 0, false, TOLVANE_END_TIMEOUT, 30},
        {"data_size 0 is no marker", blue_path, 100, 0, false, TOLVANE_END_TIMEOUT, 100},
        {"stop with grace", raw_path, 0, 50, true, TOLVANE_END_INTERRUPTED, 50},
        {"stop keeps a running timeout", raw_path, 300, 0, true, TOLVANE_END_INTERRUPTED, 300},
        {"grace never lengthens a timeout", blue_path, 150, 5000, true, TOLVANE_END_INTERRUPTED, 150},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ReaderPtr r(tolvane_create(c.path.c_str(), 0, 0));
        tolvane_set_follow_timeout_ms(r.get(), c.timeout);
        tolvane_set_follow_grace_ms(r.get(), c.grace);
        EXPECT_EQ(tolvane_get_follow_timeout_ms(r.get()), c.timeout);
        EXPECT_EQ(tolvane_get_follow_grace_ms(r.get()), c.grace);
        if (c.stop) tolvane_set_stop_fn(r.get(), stop_requested);
        cf32 out[4];
        ASSERT_EQ(tolvane_read_follow(r.get(), 4, out, 4), 1u);  // data never consumes budget
        EXPECT_EQ(tolvane_get_ending(r.get()), TOLVANE_END_NONE);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(tolvane_read_follow(r.get(), 4, out, 4), 0u);
        const double ms = elapsed_ms(start);
        EXPECT_EQ(tolvane_get_ending(r.get()), c.ending);
        EXPECT_GE(ms, c.min_ms);
        EXPECT_LT(ms, c.min_ms + 2000);
    }
}

// With both budgets 0 a stop keeps waiting for the marker.
TEST_F(FollowTest, StopWithoutBudgetsStillWaitsForTheMarker) {
    const std::string p = write_file("m.blue", hcb(0, false, 0));
    ReaderPtr r(tolvane_create(p.c_str(), 0, 0));
    tolvane_set_stop_fn(r.get(), stop_requested);
    Bytes sample;
    put<float>(sample, 1.0f, false);
    put<float>(sample, 2.0f, false);
    const pid_t writer = spawn_writer(p, {pause(250), append(sample), patch_at(blue::kDataSize, double_bytes(8.0))});
    cf32 out[2];
    EXPECT_EQ(tolvane_read_follow(r.get(), 2, out, 2), 1u);
    EXPECT_EQ(out[0].im, 2.0f);
    EXPECT_EQ(tolvane_read_follow(r.get(), 2, out, 2), 0u);
    EXPECT_EQ(tolvane_get_ending(r.get()), TOLVANE_END_EOF);
    expect_writer_succeeded(writer);
}

}  // namespace

namespace {

// A finished capture whose declared size runs into its extended header: following it
// ends at the extended header, which is never returned as samples.
TEST_F(FollowTest, FinishedCaptureEndsBeforeItsExtendedHeader) {
    Bytes b = hcb(3, false, 0);
    for (int i = 0; i < 256; ++i) put<int16_t>(b, 7, false);
    patch<double>(b, blue::kDataSize, 1e6, false);
    const double fc = 5.0;
    append_extended_header(b, kw_record("FREQ", 'D', &fc, 1, false), false);
    ReaderPtr r(tolvane_create(write_file("done.blue", b).c_str(), 0, 0));
    ASSERT_TRUE(r);
    const auto got = follow_to_end(r.get(), 100);
    EXPECT_EQ(tolvane_get_ending(r.get()), TOLVANE_END_EOF);
    ASSERT_EQ(got.size(), 128u);
    for (const cf32 &s : got) EXPECT_EQ(s.im, static_cast<float>(7 * (1.0 / 32767)));
}

// Without a declared size the samples end at the extended header, also when it starts
// right at the payload start (a capture closed with no samples): read and follow agree,
// and following ends there, since a writer appends the extended header only at close.
TEST_F(FollowTest, ExtendedHeaderEndsAnUndeclaredPayload) {
    for (const size_t samples : {size_t{0}, size_t{64}}) {
        SCOPED_TRACE(samples);
        Bytes b = hcb(0, false, 0);
        for (size_t i = 0; i < samples; ++i) {
            put<float>(b, static_cast<float>(i), false);
            put<float>(b, -1.0f, false);
        }
        const double fc = 1.2e9;
        append_extended_header(b, kw_record("FREQ", 'D', &fc, 1, false), false);
        const std::string file = write_file("ext.blue", b);

        ReaderPtr plain(tolvane_create(file.c_str(), 0, 0));
        ASSERT_TRUE(plain);
        EXPECT_EQ(tolvane_get_num_samples(plain.get()), samples);
        std::vector<cf32> buf(samples + 8);
        EXPECT_EQ(tolvane_read(plain.get(), buf.size(), buf.data(), buf.size()), samples);

        ReaderPtr followed(tolvane_create(file.c_str(), 0, 0));
        ASSERT_TRUE(followed);
        tolvane_set_follow_timeout_ms(followed.get(), 2000);
        const auto got = follow_to_end(followed.get(), 10);
        EXPECT_EQ(tolvane_get_ending(followed.get()), TOLVANE_END_EOF);
        ASSERT_EQ(got.size(), samples);
        for (size_t i = 0; i < samples; ++i) EXPECT_EQ(got[i].re, static_cast<float>(i));
    }
}

}  // namespace
