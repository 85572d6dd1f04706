// Reading the samples of one call: wire bytes read in blocks and converted while they are
// still in cache, and a large read of a regular file shared by worker threads.
#include <algorithm>
#include <cerrno>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <new>
#include <tuple>

#include "qn_parallel.hpp"
#include "tolvane_core.hpp"

using namespace tolvane;

namespace {

// Samples converted per file read, so their wire bytes are still in cache when converted.
constexpr size_t kBlockSamples = 65536;
// Reads of at least this many samples are shared between threads: from there on, starting a
// thread (tens of microseconds) is a small part of what it takes over.
constexpr size_t kSharedMinSamples = size_t{1} << 20;
// Beyond a few threads the memory bus, not the processors, sets the pace of a read.
constexpr unsigned kMaxReadThreads = 4;

// The output of a shared read in stripes that end at huge-page boundaries of its address
// space, so that no two threads fault in the same huge page of a fresh array at once (one
// would wait while the other clears it).
struct Stripes {
    static constexpr size_t kBytes = size_t{2} << 20;
    static constexpr size_t kSamples = kBytes / sizeof(cf32);
    size_t n;
    size_t lead;  // samples before the first boundary
    size_t count;

    Stripes(const cf32 *out, size_t n_samples)
        : n(n_samples),
          lead(std::min(n_samples, (kBytes - reinterpret_cast<uintptr_t>(out) % kBytes) % kBytes / sizeof(cf32))),
          count(1 + (n_samples - lead + kSamples - 1) / kSamples) {}

    std::pair<size_t, size_t> bounds(size_t k) const {
        if (k == 0) return {0, lead};
        const size_t first = lead + (k - 1) * kSamples;
        return {first, std::min(n, first + kSamples)};
    }
};

// The read error nearest the start of a shared read, whichever thread met it.
class FirstError {
public:
    void note(size_t at, int code) {
        std::lock_guard lock(mutex_);
        if (at < at_) std::tie(at_, code_) = std::pair{at, code};
    }
    // The error code when the samples read stop at `done` because of it, else 0.
    int stopping_at(size_t done) const { return at_ == done ? code_ : 0; }

private:
    std::mutex mutex_;
    size_t at_ = SIZE_MAX;
    int code_ = 0;
};

// Lowers value to bound when that is smaller, whatever the other threads store meanwhile.
void lower_to(std::atomic<size_t> &value, size_t bound) {
    size_t now = value.load(std::memory_order_relaxed);
    while (bound < now && !value.compare_exchange_weak(now, bound, std::memory_order_relaxed)) {
    }
}

}  // namespace

// Where the wire bytes of the n samples to be stored at out are read to. A wire sample no
// wider than a cf32 goes to the tail of its own output block and is converted forward in
// place: no intermediate buffer, and the copy out of the page cache lands in the output
// itself. Sample i is written over bytes 8i ... 8i + 7 of the block, below the wire bytes of
// every sample after it, so nothing is overwritten before it is read. Wider samples go to
// scratch.
unsigned char *Reader::wire_slot(cf32 *out, size_t n, unsigned char *scratch) const {
    if (reads_through_buffer()) return scratch;
    return reinterpret_cast<unsigned char *>(out) + n * (sizeof(cf32) - stride());
}

// Frames of several channels are first packed down to the chosen channel's samples, in
// place: sample i moves to i x sample_bytes, never above where it was read from.
void Reader::convert_wire(unsigned char *wire, size_t n, cf32 *out) const {
    if (channels > 1) {
        const size_t bytes = sample_bytes();
        for (size_t i = 0; i < n; ++i) std::memmove(wire + i * bytes, wire + i * stride() + channel * bytes, bytes);
    }
    if (sample_type == TOLVANE_STYPE_CF32 && endian == TOLVANE_ENDIAN_LE && mode == TOLVANE_MODE_COMPLEX &&
        channels == 1)
        return;  // the wire bytes are the samples, already in place
    convert_samples(wire_layout(), wire, n, out);
}

size_t Reader::read_wire(void *dst, size_t n) {
    const size_t s = stride();
    int failure = 0;
    const size_t got = io->read(file.get(), dst, n * s, failure);
    if (const size_t partial = got % s; partial != 0) fseeko(file.get(), -static_cast<off_t>(partial), SEEK_CUR);
    if (failure == EAGAIN && pipe != nullptr) failure = 0;  // a follow-read found no more bytes yet
    if (failure != 0) keep_error(failure, next_sample());
    return got / s;
}

size_t Reader::read_block(size_t n, cf32 *out) {
    n = std::min(n, SIZE_MAX / (2 * sizeof(double)));  // so the byte count of any stride fits
    std::clearerr(file.get());  // a capture may have grown since the last end of file
    if (n >= kSharedMinSamples && !reads_through_buffer()) {
        if (const auto done = read_shared(n, out)) return *done;
    }
    const size_t block = std::min(n, kBlockSamples);
    if (reads_through_buffer() && conv.size() < block * stride()) {
        try {
            conv.resize(block * stride());
        } catch (const std::bad_alloc &) {
            return 0;
        }
    }
    size_t done = 0;
    while (done < n) {
        const size_t want = std::min(n - done, block);
        unsigned char *wire = wire_slot(out + done, want, conv.data());
        const size_t whole = read_wire(wire, want);
        convert_wire(wire, whole, out + done);
        done += whole;
        if (whole < want) break;
    }
    return done;
}

// A large read of a regular file, shared by worker threads: each takes the next stripe of
// the output, reads the wire bytes of its blocks at their file offsets and converts them, so
// the page faults of a fresh output, the copies out of the page cache and the conversions run
// side by side. The samples produced end at the first block that came back short; the stream
// then stands after them. Nothing is read when there is one processor or the file has no
// known position or length (a pipe): the caller reads from the stream instead.
std::optional<size_t> Reader::read_shared(size_t n, cf32 *out) {
    const unsigned threads = std::min(qn::usable_processors(), kMaxReadThreads);
    const off_t at = ftello(file.get());
    const auto length = file_length(file.get());
    if (threads < 2 || at < 0 || !length) return std::nullopt;
    const uint64_t start = static_cast<uint64_t>(at);
    const size_t s = stride();
    n = static_cast<size_t>(std::min<uint64_t>(n, *length > start ? (*length - start) / s : 0));
    if (n < kSharedMinSamples) return std::nullopt;

    const Stripes stripes(out, n);
    std::atomic<size_t> end{n};  // where the whole samples read so far stop
    FirstError first_error;
    auto read_stripe = [&](uint64_t k) {
        const auto [first, last] = stripes.bounds(k);
        for (size_t pos = first; pos < last && pos < end.load(std::memory_order_relaxed); pos += kBlockSamples) {
            const size_t want = std::min(last - pos, kBlockSamples);
            unsigned char *wire = wire_slot(out + pos, want, nullptr);
            int failure = 0;
            const size_t whole = io->read_at(file.get(), start + pos * s, wire, want * s, failure) / s;
            convert_wire(wire, whole, out + pos);
            if (whole < want) lower_to(end, pos + whole);
            if (failure != 0) first_error.note(pos + whole, failure);
        }
    };
    qn::run_jobs(stripes.count, threads, read_stripe);
    const size_t done = end.load();
    fseeko(file.get(), static_cast<off_t>(start + done * s), SEEK_SET);
    if (const int code = first_error.stopping_at(done)) keep_error(code, next_sample());
    return done;
}
