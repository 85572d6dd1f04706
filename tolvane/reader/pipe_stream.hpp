// Captures that arrive through a pipe, FIFO or character device: a stream that cannot
// seek. Content detection reads the head of such a capture before its reader opens it;
// the pipe stream hands those bytes out again ahead of the rest.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

namespace tolvane {

// The state behind a stdio stream over a file descriptor that cannot seek. It delivers
// the head bytes first, then reads the descriptor. It keeps the last bytes it delivered,
// so stdio may step back over a partial sample, a CSV row or its own read-ahead; seeking
// forward skips bytes; any other seek fails with ESPIPE.
class PipeStream {
public:
    PipeStream(int fd, const unsigned char *head, size_t n);
    ~PipeStream();
    PipeStream(const PipeStream &) = delete;
    PipeStream &operator=(const PipeStream &) = delete;

    // While set, a read that finds no bytes waiting fails with EAGAIN instead of
    // blocking: a follow-read returns what has arrived.
    void set_waiting_allowed(bool allowed) { waiting_allowed_ = allowed; }
    int fd() const { return fd_; }

    ssize_t read(char *dst, size_t len);
    int seek(int64_t *offset, int whence);

private:
    bool skip(uint64_t count);
    void remember(const char *bytes, size_t n);

    int fd_;
    uint64_t pos_ = 0;  // bytes delivered
    std::vector<char> replay_;  // delivered before the descriptor is read again
    size_t replay_at_ = 0;
    std::vector<char> recent_;  // the last bytes delivered, for stepping back
    bool waiting_allowed_ = true;
};

// A stdio stream (binary, read-only) that owns fd and the state above, or null.
// *stream points at that state while the stream is open.
FILE *open_pipe_stream(int fd, const unsigned char *head, size_t n, PipeStream **stream);

}  // namespace tolvane
