// A stdio stream over a pipe, FIFO or character device, with the head that content
// detection read handed out first.
#include "pipe_stream.hpp"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <new>

namespace tolvane {
namespace {

// Enough to step back over stdio's own read-ahead (one buffer), a partial sample and a
// follow-read's chunk of CSV text.
constexpr size_t kRecentBytes = size_t{256} << 10;

ssize_t cookie_read(void *cookie, char *dst, size_t len) { return static_cast<PipeStream *>(cookie)->read(dst, len); }

int cookie_seek(void *cookie, off64_t *offset, int whence) {
    int64_t at = *offset;
    const int result = static_cast<PipeStream *>(cookie)->seek(&at, whence);
    *offset = at;
    return result;
}

int cookie_close(void *cookie) {
    delete static_cast<PipeStream *>(cookie);
    return 0;
}

}  // namespace

PipeStream::PipeStream(int fd, const unsigned char *head, size_t n) : fd_(fd), replay_(head, head + n) {}

PipeStream::~PipeStream() { ::close(fd_); }

void PipeStream::remember(const char *bytes, size_t n) {
    if (n >= kRecentBytes) {
        recent_.assign(bytes + n - kRecentBytes, bytes + n);
        return;
    }
    recent_.insert(recent_.end(), bytes, bytes + n);
    // Trimmed only when twice the window is held, so each byte is moved about once.
    if (recent_.size() > 2 * kRecentBytes) recent_.erase(recent_.begin(), recent_.end() - kRecentBytes);
}

ssize_t PipeStream::read(char *dst, size_t len) {
    ssize_t got = 0;
    if (replay_at_ < replay_.size()) {
        got = static_cast<ssize_t>(std::min(len, replay_.size() - replay_at_));
        std::memcpy(dst, replay_.data() + replay_at_, static_cast<size_t>(got));
        replay_at_ += static_cast<size_t>(got);
        if (replay_at_ == replay_.size()) replay_.clear(), replay_at_ = 0;
    } else {
        if (!waiting_allowed_) {
            pollfd ready{fd_, POLLIN, 0};
            if (::poll(&ready, 1, 0) == 0) {
                errno = EAGAIN;
                return -1;
            }
        }
        do {
            got = ::read(fd_, dst, len);
        } while (got < 0 && errno == EINTR);
        if (got <= 0) return got;
    }
    remember(dst, static_cast<size_t>(got));
    pos_ += static_cast<uint64_t>(got);
    return got;
}

bool PipeStream::skip(uint64_t count) {
    char scratch[4096];
    while (count > 0) {
        const ssize_t got = read(scratch, static_cast<size_t>(std::min<uint64_t>(count, sizeof scratch)));
        if (got <= 0) return false;
        count -= static_cast<uint64_t>(got);
    }
    return true;
}

int PipeStream::seek(int64_t *offset, int whence) {
    int64_t target = *offset;
    if (whence == SEEK_CUR) {
        target += static_cast<int64_t>(pos_);
    } else if (whence != SEEK_SET) {
        errno = ESPIPE;
        return -1;
    }
    if (target < 0) {
        errno = EINVAL;
        return -1;
    }
    const auto to = static_cast<uint64_t>(target);
    if (to > pos_ && !skip(to - pos_)) {
        errno = ESPIPE;
        return -1;
    }
    if (to < pos_) {
        const uint64_t back = pos_ - to;
        if (back > recent_.size()) {
            errno = ESPIPE;
            return -1;
        }
        std::vector<char> again(recent_.end() - static_cast<ptrdiff_t>(back), recent_.end());
        again.insert(again.end(), replay_.begin() + static_cast<ptrdiff_t>(replay_at_), replay_.end());
        replay_ = std::move(again);
        replay_at_ = 0;
        recent_.resize(recent_.size() - static_cast<size_t>(back));
        pos_ = to;
    }
    *offset = static_cast<int64_t>(pos_);
    return 0;
}

FILE *open_pipe_stream(int fd, const unsigned char *head, size_t n, PipeStream **stream) {
    PipeStream *state = nullptr;
    try {
        state = new PipeStream(fd, head, n);
    } catch (const std::bad_alloc &) {
        ::close(fd);
        return nullptr;
    }
    FILE *f = fopencookie(state, "rb", cookie_io_functions_t{cookie_read, nullptr, cookie_seek, cookie_close});
    if (f == nullptr) {
        delete state;
        return nullptr;
    }
    *stream = state;
    return f;
}

}  // namespace tolvane
