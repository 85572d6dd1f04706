// Capture files of every kind through tolvane_create and the reads: content-detected
// files, CSV by name, detached BLUE (header and .det payload), BLUE with a detached flag,
// SigMF metadata with its data file. Input: layout byte, hint byte, 16-bit length of the
// first file, the first file, the second file.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "tolvane_core.h"

namespace {

// While a follow runs on the fuzzing thread its polls do not sleep: the follow budget is
// spent at once, so a follow costs its reads alone. Every other sleep (libFuzzer's own
// threads) sleeps as usual.
thread_local bool polls_without_sleeping = false;

// One scratch folder per process, in memory where the system offers it (/dev/shm), reused
// by every input and removed when the process exits. Each layout has a folder of its own,
// and writes all its files on every input, so files of one input never meet another's.
class Scratch {
public:
    Scratch() {
        std::string pattern = (access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + std::string("/fuzz_capture_XXXXXX");
        if (!mkdtemp(pattern.data())) abort();
        root_ = pattern;
        for (int layout = 0; layout < 5; ++layout)
            if (mkdir(folder(layout).c_str(), 0700) != 0) abort();
    }
    ~Scratch() { remove_all(); }  // at exit, libFuzzer's included
    Scratch(const Scratch &) = delete;
    Scratch &operator=(const Scratch &) = delete;

    static Scratch &instance() {
        static Scratch scratch;
        return scratch;
    }

    std::string folder(int layout) const { return root_ + "/" + std::to_string(layout); }

    // The file name in the layout's folder, holding exactly data[0 .. size).
    std::string put(int layout, const char *name, const uint8_t *data, size_t size) const {
        const std::string path = folder(layout) + "/" + name;
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0 || (size && write(fd, data, size) != static_cast<ssize_t>(size)) || close(fd) != 0) abort();
        return path;
    }

private:
    void remove_all() const {
        for (int layout = 0; layout < 5; ++layout) {
            const std::string dir = folder(layout);
            if (DIR *d = opendir(dir.c_str())) {
                while (const dirent *e = readdir(d))
                    if (e->d_name[0] != '.') unlink((dir + "/" + e->d_name).c_str());
                closedir(d);
            }
            rmdir(dir.c_str());
        }
        rmdir(root_.c_str());
    }

    std::string root_;
};

void walk_metadata(Reader *r) {
    ReaderInfo info;
    tolvane_info(r, &info);
    if (info.file_type < 0 || info.file_type > 3 || info.sample_type < 0 || info.sample_type > 4) abort();
    for (size_t i = 0; i < tolvane_num_keywords(r); ++i) {
        const KeywordEntry *k = tolvane_keyword(r, i);
        if (!k || k->count == 0 || !k->data || tolvane_keyword_tag(r, i) != k->tag) abort();
        volatile uint8_t last = static_cast<const uint8_t *>(k->data)[k->count * k->elem_size - 1];
        (void)last;
    }
    for (size_t i = 0; i < tolvane_num_header_fields(r); ++i)
        if (!tolvane_header_field(r, i) || !tolvane_header_tag(r, i)) abort();
    if (tolvane_keyword(r, tolvane_num_keywords(r)) || tolvane_header_field(r, tolvane_num_header_fields(r))) abort();
    tolvane_find_keyword(r, "FREQ");
    tolvane_find_header_field(r, "data_size");
}

uint64_t read_all(Reader *r, size_t chunk) {
    std::vector<cf32> buf(chunk);
    uint64_t total = 0;
    while (size_t got = tolvane_read(r, chunk, buf.data(), buf.size())) {
        if (got > chunk) abort();
        total += got;
    }
    return total;
}

}  // namespace

// The follow's sleep: at once while polls_without_sleeping, else the system's.
extern "C" int nanosleep(const timespec *request, timespec *remaining) {
    if (polls_without_sleeping) return 0;
    const long r = syscall(SYS_nanosleep, request, remaining);
    if (r < 0) return -1;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 4) return 0;
    const int layout = data[0] % 5;
    const int32_t hint_type = data[1] % 5;
    const int32_t hint_endian = (data[1] >> 3) & 1;
    const bool follow = (data[1] >> 4) & 1;
    const size_t chunk = 1 + (data[1] >> 5) * 37;
    size_t first = data[2] | size_t{data[3]} << 8;
    data += 4;
    size -= 4;
    if (first > size) first = size;
    const uint8_t *second = data + first;
    const size_t second_size = size - first;

    const Scratch &scratch = Scratch::instance();
    std::string path;
    switch (layout) {
    case 0: path = scratch.put(layout, "c.bin", data, size); break;
    case 1: path = scratch.put(layout, "c.csv", data, size); break;
    case 2:
        scratch.put(layout, "c.hdr", data, first);
        path = scratch.put(layout, "c.det", second, second_size);
        break;
    case 3:
        path = scratch.put(layout, "c.blue", data, first);
        scratch.put(layout, "c.det", second, second_size);
        break;
    default:
        scratch.put(layout, "c.sigmf-meta", data, first);
        path = scratch.put(layout, "c.sigmf-data", second, second_size);
        break;
    }

    Reader *r = tolvane_create(path.c_str(), hint_type, hint_endian);
    if (!r) return 0;
    walk_metadata(r);
    const uint64_t total = read_all(r, chunk);
    if (tolvane_get_file_type(r) != TOLVANE_FTYPE_CSV && total > tolvane_get_num_samples(r)) abort();
    tolvane_reset(r);
    if (read_all(r, 4096) != total) abort();
    if (follow) {
        tolvane_reset(r);
        tolvane_set_follow_timeout_ms(r, 1);
        std::vector<cf32> buf(chunk);
        polls_without_sleeping = true;
        while (size_t got = tolvane_read_follow(r, chunk, buf.data(), buf.size()))
            if (got > chunk) abort();
        polls_without_sleeping = false;
    }
    tolvane_destroy(r);
    return 0;
}
