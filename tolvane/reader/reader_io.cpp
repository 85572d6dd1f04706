// The reader's file access: lengths, positioned reads, and what the payload holds.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "tolvane_core.hpp"

namespace tolvane {

std::optional<uint64_t> file_length(FILE *f) {
    struct stat st;
    if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    return static_cast<uint64_t>(st.st_size);
}

size_t read_at(FILE *f, uint64_t offset, void *dst, size_t len, int *error) {
    size_t got = 0;
    while (got < len) {
        const ssize_t r = pread(fileno(f), static_cast<char *>(dst) + got, len - got, static_cast<off_t>(offset + got));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && error != nullptr) *error = errno;
        if (r <= 0) break;
        got += static_cast<size_t>(r);
    }
    return got;
}

namespace {

size_t system_read(FILE *f, void *dst, size_t len, int &error) {
    errno = 0;
    const size_t got = std::fread(dst, 1, len, f);
    if (got < len && std::ferror(f)) error = errno != 0 ? errno : EIO;
    return got;
}

size_t system_read_at(FILE *f, uint64_t offset, void *dst, size_t len, int &error) {
    return read_at(f, offset, dst, len, &error);
}

}  // namespace

const ReaderIo &system_io() {
    static constexpr ReaderIo io{system_read, system_read_at};
    return io;
}

void compute_trailing(Reader &r) {
    const auto length = file_length(r.file.get());
    if (!length || *length < r.payload_start) return;
    uint64_t available = *length - r.payload_start;
    if (r.payload_limited) available = std::min(available, r.readable_bytes);
    r.trailing_bytes = available % r.stride();
}

uint64_t samples_in_file(Reader &r) {
    const auto length = file_length(r.file.get());
    return length && *length > r.payload_start ? (*length - r.payload_start) / r.stride() : 0;
}

}  // namespace tolvane
