// Follow mode: reading a capture that another process is still writing. Each call
// returns the whole samples (or CSV rows) that have arrived, polling every 100 ms while
// none have, until the writer's end-of-capture marker, a budget or a stop ends it.
#include <poll.h>
#include <time.h>

#include <cerrno>
#include <cmath>
#include <cstring>

#include "tolvane_core.hpp"

namespace tolvane {
namespace {

constexpr uint32_t kPollMs = 100;
constexpr size_t kCsvChunk = 1 << 16;

// Sleeps ms, or for a pipe (fd >= 0) waits at most ms for its next bytes or its end.
void wait_ms(uint32_t ms, int fd) {
    if (fd >= 0) {
        pollfd ready{fd, POLLIN, 0};
        ::poll(&ready, 1, static_cast<int>(ms));
        return;
    }
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

// Runs read with a pipe stream's reads returning what has arrived instead of blocking.
template <typename Read>
auto without_waiting(Reader &r, const Read &read) {
    r.pipe->set_waiting_allowed(false);
    std::clearerr(r.file.get());
    const auto result = read();
    r.pipe->set_waiting_allowed(true);
    return result;
}

// The data_size field of the header: the writer patches the real payload size there at
// close. A detached capture keeps it in its header file, never in the payload.
std::optional<uint64_t> read_marker(const Reader &r) {
    unsigned char bytes[8];
    size_t got = 0;
    if (r.marker_path.empty()) {
        got = read_at(r.file.get(), blue::kDataSize, bytes, sizeof bytes);
    } else if (FilePtr header = open_file(r.marker_path, "rb")) {
        got = read_at(header.get(), blue::kDataSize, bytes, sizeof bytes);
    }
    if (got != sizeof bytes) return std::nullopt;
    const double size = load_field<double>(bytes, r.endian == TOLVANE_ENDIAN_BE);
    if (!(size > 0.0 && size < 4611686018427387904.0)) return std::nullopt;
    return static_cast<uint64_t>(size);
}

// Re-read on every poll, so a size declared at open gives way to the one patched at close.
void refresh_marker(Reader &r) {
    auto size = read_marker(r);
    if (!size) return;
    size = std::min(*size, r.payload_cap);
    r.payload_bytes = *size;
    r.end_known = true;
    r.readable_bytes = *size;
    r.num_samples = *size / r.stride();
}

struct Poll {
    bool ended = false;      // the declared payload has been consumed, or a CSV row is malformed
    bool truncated = false;  // the file became shorter than the position read
    size_t produced = 0;
};

// The whole samples a pipe or character device holds now, within a declared payload. The
// end of the stream is the writer's end.
Poll poll_stream(Reader &r, size_t n, cf32 *out) {
    Poll poll;
    if (r.payload_limited) {
        const auto consumed = r.consumed_bytes();
        const uint64_t left = consumed && *consumed < r.readable_bytes ? (r.readable_bytes - *consumed) / r.stride() : 0;
        if (left == 0) {
            poll.ended = true;
            return poll;
        }
        n = static_cast<size_t>(std::min<uint64_t>(n, left));
    }
    poll.produced = without_waiting(r, [&] { return r.read_block(n, out); });
    poll.ended = poll.produced == 0 && std::feof(r.file.get());
    return poll;
}

// Whole binary samples available now, within the declared payload when there is one.
Poll poll_samples(Reader &r, size_t n, cf32 *out) {
    if (r.pipe != nullptr) return poll_stream(r, n, out);
    Poll poll;
    const auto length = file_length(r.file.get());
    const auto consumed = r.consumed_bytes();
    if (r.file_type == TOLVANE_FTYPE_BLUE) refresh_marker(r);  // after measuring: see the writer's close order
    if (!length || !consumed) {
        poll.ended = r.end_known;
        return poll;
    }
    if (*length < r.payload_start + *consumed) {
        poll.truncated = true;
        return poll;
    }
    const uint64_t stride = r.stride();
    uint64_t available = (*length - r.payload_start - *consumed) / stride;
    // The payload ends at the declared size, or at an extended header found after the
    // samples at open: the writer adds that only at close, so nothing more will come.
    const uint64_t end = r.end_known ? r.payload_bytes : r.payload_cap;
    if (end != UINT64_MAX) {
        const uint64_t left = *consumed < end ? (end - *consumed) / stride : 0;
        if (left == 0) {
            poll.ended = true;
            return poll;
        }
        available = std::min(available, left);
    }
    if (available == 0) return poll;
    poll.produced = r.read_block(static_cast<size_t>(std::min<uint64_t>(available, n)), out);
    // What follow mode has seen is what read and reset replay.
    const uint64_t seen = *consumed + poll.produced * stride;
    if (r.payload_limited && !r.end_known) r.readable_bytes = std::max(r.readable_bytes, seen);
    r.num_samples = std::max<uint64_t>(r.num_samples, seen / stride);
    return poll;
}

// Complete CSV lines available now; a line still being written stays in the file.
Poll poll_csv_rows(Reader &r, size_t n, cf32 *out) {
    Poll poll;
    FILE *f = r.file.get();
    const off_t at = ftello(f);
    if (at < 0) return poll;
    std::vector<char> text;
    size_t got = 0;
    int failure = 0;
    bool stream_ended = false;  // a pipe whose writer has gone: its last line is complete too
    if (r.pipe != nullptr) {
        text.resize(kCsvChunk + 2);
        got = without_waiting(r, [&] { return std::fread(text.data(), 1, kCsvChunk, f); });
        stream_ended = std::feof(f) != 0;
    } else {
        const auto length = file_length(f);
        if (!length || *length <= static_cast<uint64_t>(at)) {
            poll.truncated = length && *length < static_cast<uint64_t>(at);
            return poll;
        }
        text.resize(static_cast<size_t>(std::min<uint64_t>(*length - at, kCsvChunk)) + 1);
        got = r.io->read_at(f, static_cast<uint64_t>(at), text.data(), text.size() - 1, failure);
    }
    const size_t fetched = got;
    if (stream_ended && got > 0 && text[got - 1] != '\n') text[got++] = '\n';
    text[got] = '\0';
    size_t used = 0;
    for (char *line = text.data(); poll.produced < n;) {
        char *newline = static_cast<char *>(std::memchr(line, '\n', got - (line - text.data())));
        if (newline == nullptr) {
            // A line longer than the whole chunk can never complete into a row.
            poll.ended = used == 0 && got == kCsvChunk;
            break;
        }
        *newline = '\0';
        if (line[std::strspn(line, " \t\r")] != '\0') {
            const auto row = parse_csv_row(line);
            if (!row) {
                poll.ended = true;
                break;
            }
            out[poll.produced++] = r.csv_sample(row->first, row->second);
        }
        line = newline + 1;
        used = static_cast<size_t>(line - text.data());
    }
    fseeko(f, at + static_cast<off_t>(std::min(used, fetched)), SEEK_SET);
    if (stream_ended && poll.produced == 0) poll.ended = true;
    r.csv_rows_read += poll.produced;
    // A row cut by the error is no row: the error stops reading where the whole rows end.
    if (failure != 0 && poll.produced < n) r.keep_error(failure, r.csv_rows_read);
    return poll;
}

// The wait budget of one follow call. A stop request switches to the grace budget, but
// never lengthens a bounded wait that is already running.
struct Budget {
    uint32_t left;
    int fd;  // a pipe whose bytes end a wait early, or -1
    bool stopping = false;

    void on_stop(uint32_t grace) {
        stopping = true;
        if (grace != 0) left = left == 0 ? grace : std::min(left, grace);
    }
    // Sleeps one step; false when the budget ran out.
    bool wait() {
        if (left == 0) {
            wait_ms(kPollMs, fd);
            return true;
        }
        const uint32_t step = std::min(left, kPollMs);
        wait_ms(step, fd);
        left -= step;
        return left != 0;
    }
};

}  // namespace
}  // namespace tolvane

using namespace tolvane;

extern "C" {

size_t tolvane_read_follow(Reader *r, size_t count, cf32 *out, size_t capacity) {
    if (!r) return 0;
    r->ending = TOLVANE_END_NONE;
    const size_t n = std::min(count, capacity);
    if (n == 0 || out == nullptr || r->error != 0) return 0;
    Budget budget{r->follow_timeout_ms, r->pipe != nullptr ? r->pipe->fd() : -1};
    for (;;) {
        const Poll poll = r->file_type == TOLVANE_FTYPE_CSV ? poll_csv_rows(*r, n, out) : poll_samples(*r, n, out);
        if (poll.produced > 0 || r->error != 0) return poll.produced;
        if (poll.ended || poll.truncated) {
            r->ending = poll.truncated ? TOLVANE_END_TRUNCATED : TOLVANE_END_EOF;
            return 0;
        }
        if (!budget.stopping && r->stop_fn != nullptr && r->stop_fn() != 0) budget.on_stop(r->follow_grace_ms);
        if (!budget.wait()) {
            r->ending = budget.stopping ? TOLVANE_END_INTERRUPTED : TOLVANE_END_TIMEOUT;
            return 0;
        }
    }
}

size_t tolvane_read_follow_max_out(const Reader *r, size_t n) { return r ? n : 0; }
int32_t tolvane_get_ending(const Reader *r) { return r ? r->ending : TOLVANE_END_NONE; }
uint32_t tolvane_get_follow_timeout_ms(const Reader *r) { return r ? r->follow_timeout_ms : 0; }
void tolvane_set_follow_timeout_ms(Reader *r, uint32_t ms) {
    if (r) r->follow_timeout_ms = ms;
}
uint32_t tolvane_get_follow_grace_ms(const Reader *r) { return r ? r->follow_grace_ms : 0; }
void tolvane_set_follow_grace_ms(Reader *r, uint32_t ms) {
    if (r) r->follow_grace_ms = ms;
}
void tolvane_set_stop_fn(Reader *r, tolvane_stop_fn stop) {
    if (r) r->stop_fn = stop;
}

}  // extern "C"
