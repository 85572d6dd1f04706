// Capture files of every kind through tolvane_create and the reads: content-detected
// files, CSV by name, detached BLUE (header and .det payload), BLUE with a detached flag,
// SigMF metadata with its data file. Input: layout byte, hint byte, 16-bit length of the
// first file, the first file, the second file.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tolvane_core.h"

namespace {

const std::string &scratch_dir() {
    static const std::string dir = [] {
        char pattern[] = "/tmp/fuzz_capture_XXXXXX";
        if (!mkdtemp(pattern)) abort();
        return std::string(pattern);
    }();
    return dir;
}

std::string put_file(const char *name, const uint8_t *data, size_t size) {
    const std::string path = scratch_dir() + "/" + name;
    FILE *f = fopen(path.c_str(), "wb");
    if (!f || fwrite(data, 1, size, f) != size || fclose(f) != 0) abort();
    return path;
}

void remove_files() {
    for (const char *name : {"c.bin", "c.csv", "c.hdr", "c.det", "c.blue", "c.sigmf-meta", "c.sigmf-data"})
        unlink((scratch_dir() + "/" + name).c_str());
}

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

    remove_files();
    std::string path;
    switch (layout) {
    case 0: path = put_file("c.bin", data, size); break;
    case 1: path = put_file("c.csv", data, size); break;
    case 2:
        put_file("c.hdr", data, first);
        path = put_file("c.det", second, second_size);
        break;
    case 3:
        path = put_file("c.blue", data, first);
        put_file("c.det", second, second_size);
        break;
    default:
        put_file("c.sigmf-meta", data, first);
        path = put_file("c.sigmf-data", second, second_size);
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
        while (size_t got = tolvane_read_follow(r, chunk, buf.data(), buf.size()))
            if (got > chunk) abort();
    }
    tolvane_destroy(r);
    return 0;
}
