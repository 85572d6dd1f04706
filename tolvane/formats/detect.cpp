// Content detection: the one place that decides what container a capture is, before the
// reader of that container opens it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>

#include "container_readers.hpp"
#include "pipe_stream.hpp"
#include "tolvane_core.hpp"

namespace tolvane {
namespace {

enum class Container { raw, csv, blue, detached_blue, sigmf };

// The containers whose file name alone says what they are.
std::optional<Container> container_by_name(const std::string &path) {
    if (is_sigmf_data_path(path)) return Container::sigmf;
    if (ends_with(path, ".det")) return Container::detached_blue;
    return std::nullopt;
}

// The first line of a text capture must be a CSV row.
bool looks_like_csv(const unsigned char *head, size_t n) {
    if (std::memchr(head, 0, n) != nullptr) return false;
    size_t at = 0;
    while (at < n && (head[at] == '\r' || head[at] == '\n')) ++at;
    size_t end = at;
    while (end < n && head[end] != '\r' && head[end] != '\n') ++end;
    if (end - at >= 255) return false;
    char line[256] = {};
    std::memcpy(line, head + at, end - at);
    return parse_csv_row(line).has_value();
}

// The container of the n bytes at the head of a capture; nothing for a BLUE magic
// without a whole header control block behind it.
std::optional<Container> container_by_content(const std::string &path, const unsigned char *head, size_t n) {
    if (n >= 4 && std::memcmp(head, "BLUE", 4) == 0)
        return n == blue::kHcbSize ? std::optional{Container::blue} : std::nullopt;
    if ((n > 0 && looks_like_csv(head, n)) || ends_with(path, ".csv")) return Container::csv;
    return Container::raw;
}

// Up to len bytes from the start of fd; nothing when a read fails (a directory, a device
// that fails, a signal while a FIFO waits for its first bytes), its errno kept.
std::optional<size_t> read_head(Reader &r, int fd, unsigned char *head, size_t len) {
    size_t n = 0;
    while (n < len) {
        const ssize_t got = ::read(fd, head + n, len - n);
        if (got < 0) {
            r.failed_io(errno);
            return std::nullopt;
        }
        if (got == 0) break;
        n += static_cast<size_t>(got);
    }
    return n;
}

// The capture as a stdio stream at its first byte. A regular file is rewound; a pipe, FIFO
// or character device cannot be, so its stream hands out the head it gave first.
FilePtr stream_from_start(int fd, const unsigned char *head, size_t n, PipeStream **pipe) {
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        FilePtr file(lseek(fd, 0, SEEK_SET) == 0 ? fdopen(fd, "rb") : nullptr);
        if (!file) ::close(fd);
        return file;
    }
    return FilePtr(open_pipe_stream(fd, head, n, pipe));
}

bool open_by_content(Reader &r, const std::string &path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return r.failed_io(errno);
    unsigned char head[blue::kHcbSize];
    const auto n = read_head(r, fd, head, sizeof head);
    if (!n) {
        ::close(fd);
        return false;
    }
    const auto container = container_by_content(path, head, *n);
    if (!container) {
        ::close(fd);
        return false;
    }
    PipeStream *pipe = nullptr;
    FilePtr file = stream_from_start(fd, head, *n, &pipe);
    if (!file) return r.failed_io(errno);
    const FILE *opened = file.get();
    bool ok = true;
    switch (*container) {
        case Container::blue:
            ok = open_blue(r, path, std::move(file), head);
            break;
        case Container::csv:
            open_csv(r, std::move(file));
            break;
        default:
            open_raw(r, std::move(file));
            break;
    }
    if (ok && r.file.get() == opened) r.pipe = pipe;
    return ok;
}

}  // namespace

bool open_reader(Reader &r, const std::string &path) {
    if (const auto named = container_by_name(path))
        return *named == Container::sigmf ? open_sigmf(r, path) : open_detached_blue(r, path);
    return open_by_content(r, path);
}

}  // namespace tolvane
