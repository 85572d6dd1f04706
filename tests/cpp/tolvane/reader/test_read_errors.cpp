// Read errors are not the end of a capture: a reader whose file fails past an offset
// returns every whole sample before it, then keeps the error (its errno and the sample
// it stopped at) until a reset, for plain reads, shared large reads and follow-reads.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "blue_fixture.hpp"
#include "capture_files.hpp"
#include "reader_ptr.hpp"
#include "tolvane_core.hpp"

using namespace fixture;

namespace {

// A file system that fails every byte from file offset Limit on with EIO.
template <uint64_t Limit>
size_t failing_read(FILE *f, void *dst, size_t len, int &error) {
    const off_t at = ftello(f);
    const uint64_t allowed = at >= 0 && static_cast<uint64_t>(at) < Limit ? Limit - static_cast<uint64_t>(at) : 0;
    if (len <= allowed) return system_io().read(f, dst, len, error);
    const size_t got = system_io().read(f, dst, static_cast<size_t>(allowed), error);
    error = EIO;
    return got;
}

template <uint64_t Limit>
size_t failing_read_at(FILE *f, uint64_t offset, void *dst, size_t len, int &error) {
    const uint64_t allowed = offset < Limit ? Limit - offset : 0;
    if (len <= allowed) return system_io().read_at(f, offset, dst, len, error);
    const size_t got = system_io().read_at(f, offset, dst, static_cast<size_t>(allowed), error);
    error = EIO;
    return got;
}

template <uint64_t Limit>
const ReaderIo *failing_io() {
    static constexpr ReaderIo io{failing_read<Limit>, failing_read_at<Limit>};
    return &io;
}

enum class Kind { raw, blue, csv };

struct Case {
    const char *name;
    Kind kind;
    int stype;
    size_t samples;
    const ReaderIo *io;
    size_t chunk;  // samples per call
    bool follow;
    size_t expected;  // whole samples before the failing offset
};

size_t read_some(Reader *r, bool follow, size_t n, cf32 *out) {
    return follow ? tolvane_read_follow(r, n, out, n) : tolvane_read(r, n, out, n);
}

// Reads until a call returns 0; the samples read.
size_t read_until_empty(Reader *r, const Case &c, std::vector<cf32> &out) {
    size_t done = 0;
    while (done < out.size()) {
        const size_t got = read_some(r, c.follow, std::min(c.chunk, out.size() - done), out.data() + done);
        if (got == 0) break;
        done += got;
    }
    return done;
}

class ReadErrorTest : public CaptureDir {
protected:
    // Samples of a simple ramp in the case's container.
    std::string write_capture(const Case &c) const {
        Bytes b;
        if (c.kind == Kind::csv) {
            std::string text;
            for (size_t i = 0; i < c.samples; ++i) text += std::to_string(i) + "," + std::to_string(i % 7) + "\n";
            b.assign(text.begin(), text.end());
        } else {
            if (c.kind == Kind::blue) b = hcb(c.stype, false, c.samples);
            for (size_t i = 0; i < 2 * c.samples; ++i) put_component(b, c.stype, static_cast<double>(i % 101), false);
        }
        return write_file(c.kind == Kind::csv ? "x.csv" : c.kind == Kind::blue ? "x.blue" : "x.iq", b);
    }
};

TEST_F(ReadErrorTest, ReadsStopAtTheErrorAndKeepIt) {
    // The CSV rows "i,i%7\n" before offset 4000: rows 0-9 take 40 bytes, 10-99 take 450,
    // 100-999 take 5400, so 4000 bytes end inside row 100 + (4000 - 490) / 6 = 685.
    const Case cases[] = {
        {"raw cf32, mid-sample", Kind::raw, 0, 2000, failing_io<4099>(), 100, false, 512},
        {"raw ci16, one shared read", Kind::raw, 3, (size_t{1} << 21) + 5, failing_io<5000001>(), size_t{1} << 22,
         false, 1250000},
        {"attached BLUE ci8", Kind::blue, 4, 5000, failing_io<4096>(), 1000, false, (4096 - 512) / 2},
        {"raw cf32, followed", Kind::raw, 0, 2000, failing_io<4099>(), 100, true, 512},
        {"CSV, followed", Kind::csv, 0, 2000, failing_io<4000>(), 64, true, 685},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string p = write_capture(c);
        ReaderPtr clean(tolvane_create(p.c_str(), c.stype, 0));
        ReaderPtr faulty(tolvane_create(p.c_str(), c.stype, 0));
        ASSERT_TRUE(clean && faulty);
        faulty->io = c.io;
        tolvane_set_follow_timeout_ms(clean.get(), 1);
        tolvane_set_follow_timeout_ms(faulty.get(), 1);

        std::vector<cf32> expected(c.samples + 1), got(c.samples + 1);
        ASSERT_EQ(read_until_empty(clean.get(), c, expected), c.samples);
        EXPECT_EQ(tolvane_get_error(clean.get()), 0);  // the end of the capture is no error

        for (int round = 0; round < 2; ++round) {  // the error comes back after a reset, as it should
            ASSERT_EQ(read_until_empty(faulty.get(), c, got), c.expected);
            EXPECT_EQ(std::memcmp(got.data(), expected.data(), c.expected * sizeof(cf32)), 0);
            EXPECT_EQ(tolvane_get_error(faulty.get()), EIO);
            EXPECT_EQ(tolvane_get_error_sample(faulty.get()), c.expected);
            EXPECT_EQ(tolvane_get_ending(faulty.get()), TOLVANE_END_NONE);
            // Kept: no later read takes the samples after the gap for the next ones.
            faulty->io = &system_io();
            EXPECT_EQ(read_some(faulty.get(), c.follow, c.chunk, got.data()), 0u);
            EXPECT_EQ(tolvane_get_error(faulty.get()), EIO);
            faulty->io = c.io;
            tolvane_reset(faulty.get());
            EXPECT_EQ(tolvane_get_error(faulty.get()), 0);
            EXPECT_EQ(tolvane_get_error_sample(faulty.get()), 0u);
        }
    }
}

}  // namespace

// An open that fails tells a file system's refusal (its errno) from a capture refused for
// what it holds (0).
TEST_F(ReadErrorTest, FailedOpensTellFileSystemErrorsFromRefusals) {
    std::filesystem::create_directory(path("folder"));
    write_text("nometa.sigmf-data", "12345678");
    write_text("short.blue", "BLUE and no more");
    write_text("badmeta.sigmf-meta", "{}");
    write_text("badmeta.sigmf-data", "12345678");
    write_text("fine.iq", "12345678");
    const struct {
        const char *name;
        int error;
        bool opens;
    } cases[] = {
        {"missing.iq", ENOENT, false},           {"folder", EISDIR, false},
        {"nometa.sigmf-data", ENOENT, false},    {"short.blue", 0, false},
        {"badmeta.sigmf-data", 0, false},        {"fine.iq", 0, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        int32_t error = -1;
        ReaderPtr r(tolvane_open(path(c.name).c_str(), 0, 0, &error));
        EXPECT_EQ(r != nullptr, c.opens);
        EXPECT_EQ(error, c.error);
    }
}
